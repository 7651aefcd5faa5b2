#include "components/encoder/engine/pipewire_audio.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <list>
#include <cstring>
#include <mutex>
#include <thread>

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/dict.h>

namespace encoder::engine {

namespace {

// The ring holds this much sound: far more than the audio thread is ever
// behind, so the data thread never has to drop a buffer.
constexpr int kRingSeconds = 4;
// Readings kept between two reads: one a graph cycle, several seconds' worth.
constexpr std::size_t kReadingSlots = 1024;
// How long a connection may take to start streaming.
constexpr auto kStartDeadline = std::chrono::seconds(3);
// A sink followed to the device behind it, at most this many steps.
constexpr int kMaxSteps = 4;

rt::Text words(const char* s) { return rt::fromUtf8(s != nullptr ? s : ""); }

std::once_flag pwInitOnce;

}  // namespace

std::int64_t pipeWireAfterBufferNs(const PipeWireTime& t, std::int64_t frames, int streamRate, bool monitor) {
  const double delayNs =
      t.rateDenom != 0 ? static_cast<double>(t.delay) * 1e9 * t.rateNum / static_cast<double>(t.rateDenom) : 0.0;
  const double perFrameNs = 1e9 / streamRate;
  const double bufferedNs = static_cast<double>(t.buffered) * perFrameNs;
  const double now = static_cast<double>(t.nowNs);
  const double at = monitor ? now + delayNs - bufferedNs + static_cast<double>(frames) * perFrameNs
                            : now - delayNs - bufferedNs;
  return static_cast<std::int64_t>(at);
}

std::string deviceBehind(const std::vector<PipeWireNode>& nodes, const std::vector<PipeWireLink>& links,
                         const std::string& sink) {
  auto byName = [&](const std::string& name) -> const PipeWireNode* {
    for (const auto& n : nodes)
      if (n.name == name) return &n;
    return nullptr;
  };
  const PipeWireNode* at = byName(sink);
  for (int step = 0; at != nullptr && !at->group.empty() && step < kMaxSteps; ++step) {
    // The group's playback stream, and the sink it plays into.
    const PipeWireNode* next = nullptr;
    for (const auto& n : nodes) {
      if (n.group != at->group || n.id == at->id || n.mediaClass != "Stream/Output/Audio") continue;
      for (const auto& l : links) {
        if (l.outputNode != n.id) continue;
        for (const auto& m : nodes)
          if (m.id == l.inputNode && m.mediaClass == "Audio/Sink") next = &m;
      }
    }
    if (next == nullptr || next == at) break;
    at = next;
  }
  return at != nullptr ? at->name : sink;
}

struct PipeWireAudio::Impl {
  PipeWireAudio& self;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_registry* registry = nullptr;
  pw_stream* stream = nullptr;
  spa_hook coreListener{}, registryListener{}, streamListener{};
  int syncSeq = -1;
  bool synced = false;
  std::vector<PipeWireNode> nodes;
  std::vector<PipeWireLink> links;
  // Sinks and playback streams, bound for their full properties: the
  // registry's announcement leaves out the node group.
  struct Bound {
    Impl* impl;
    std::size_t node;  // in `nodes`
    pw_proxy* proxy;
    spa_hook listener;
  };
  std::list<Bound> bound;
  bool collecting = false;  // while the graph is looked at, at the start
  pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
  // Set on the loop's thread when the connection or the stream failed.
  std::atomic<bool> broken{false};

  // The data thread's hand-over, single producer (the data thread) and
  // single consumer (the audio thread): frames and their readings.
  std::vector<std::int16_t> ring;
  std::size_t capacity = 0;  // frames
  std::atomic<std::uint64_t> head{0}, tail{0};  // frames written, taken
  struct TimedReading {
    std::int64_t index;
    std::int64_t ns;
  };
  std::array<TimedReading, kReadingSlots> readings{};
  std::atomic<std::uint32_t> readingHead{0}, readingTail{0};

  explicit Impl(PipeWireAudio& s) : self(s) {}

  void signal() { pw_thread_loop_signal(self.loop_, false); }

  static void onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* d = static_cast<Impl*>(data);
    if (id == PW_ID_CORE && seq == d->syncSeq) {
      d->synced = true;
      d->signal();
    }
  }
  static void onCoreError(void* data, std::uint32_t id, int, int, const char*) {
    auto* d = static_cast<Impl*>(data);
    if (id != PW_ID_CORE) return;
    d->broken = true;
    d->signal();
  }
  static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                       const spa_dict* props) {
    auto* d = static_cast<Impl*>(data);
    if (props == nullptr || !d->collecting) return;
    auto get = [&](const char* key) {
      const char* v = spa_dict_lookup(props, key);
      return std::string(v != nullptr ? v : "");
    };
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      d->nodes.push_back({id, get(PW_KEY_NODE_NAME), get(PW_KEY_MEDIA_CLASS), get(PW_KEY_NODE_GROUP)});
      const std::string& cls = d->nodes.back().mediaClass;
      if (cls != "Audio/Sink" && cls != "Stream/Output/Audio") return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
      auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(d->registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
      if (proxy == nullptr) return;
      Bound& b = d->bound.emplace_back(Bound{d, d->nodes.size() - 1, proxy, {}});
      pw_node_add_listener(reinterpret_cast<pw_node*>(proxy), &b.listener, &kNodeEvents, &b);
#pragma GCC diagnostic pop
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
      const auto out = static_cast<std::uint32_t>(std::strtoul(get(PW_KEY_LINK_OUTPUT_NODE).c_str(), nullptr, 10));
      const auto in = static_cast<std::uint32_t>(std::strtoul(get(PW_KEY_LINK_INPUT_NODE).c_str(), nullptr, 10));
      d->links.push_back({out, in});
    }
  }
  static void onNodeInfo(void* data, const pw_node_info* info) {
    auto* b = static_cast<Bound*>(data);
    if (info == nullptr || info->props == nullptr) return;
    if (const char* g = spa_dict_lookup(info->props, PW_KEY_NODE_GROUP)) b->impl->nodes[b->node].group = g;
  }
  static const pw_node_events kNodeEvents;
  void unbind() {
    for (Bound& b : bound) {
      spa_hook_remove(&b.listener);
      pw_proxy_destroy(b.proxy);
    }
    bound.clear();
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* d = static_cast<Impl*>(data);
    d->state = state;
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) d->broken = true;
    d->signal();
  }

  // On the data thread: the buffer's frames into the ring, its timing into
  // the readings. Never waits, never allocates.
  static void onProcess(void* data) {
    auto* d = static_cast<Impl*>(data);
    const auto channels = static_cast<std::size_t>(d->self.channels_);
    while (pw_buffer* b = pw_stream_dequeue_buffer(d->stream)) {
      const spa_data& sd = b->buffer->datas[0];
      const std::size_t frames = sd.chunk != nullptr ? sd.chunk->size / (channels * sizeof(std::int16_t)) : 0;
      const std::uint64_t head = d->head.load(std::memory_order_relaxed);
      const std::uint64_t tail = d->tail.load(std::memory_order_acquire);
      if (frames > 0 && head + frames - tail <= d->capacity) {
        // A corrupted buffer keeps its place in the stream as silence.
        const bool usable = sd.data != nullptr && (sd.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0 &&
                            sd.chunk->offset + frames * channels * sizeof(std::int16_t) <= sd.maxsize;
        const auto* src = usable ? static_cast<const std::int16_t*>(SPA_PTROFF(sd.data, sd.chunk->offset, void))
                                 : nullptr;
        for (std::size_t i = 0; i < frames; ++i) {
          std::int16_t* to = d->ring.data() + ((head + i) % d->capacity) * channels;
          if (src != nullptr)
            std::memcpy(to, src + i * channels, channels * sizeof(std::int16_t));
          else
            std::memset(to, 0, channels * sizeof(std::int16_t));
        }
        d->head.store(head + frames, std::memory_order_release);
      }
      pw_time t{};
      if (pw_stream_get_time_n(d->stream, &t, sizeof t) == 0 && t.rate.denom != 0 && t.now > 0) {
        const PipeWireTime pt{t.now, t.rate.num, t.rate.denom, t.delay, static_cast<std::int64_t>(t.buffered)};
        const std::uint32_t rh = d->readingHead.load(std::memory_order_relaxed);
        if (rh - d->readingTail.load(std::memory_order_acquire) < kReadingSlots) {
          // The time of the sample after this cycle's buffer, even one a
          // full ring dropped: its frames do not count, so the reading then
          // tells a stop of that length.
          d->readings[rh % kReadingSlots] = {
              static_cast<std::int64_t>(d->head.load(std::memory_order_relaxed)),
              pipeWireAfterBufferNs(pt, static_cast<std::int64_t>(frames), d->self.rate_, d->self.monitor_)};
          d->readingHead.store(rh + 1, std::memory_order_release);
        }
      }
      pw_stream_queue_buffer(d->stream, b);
    }
  }
};

const pw_node_events PipeWireAudio::Impl::kNodeEvents = [] {
  pw_node_events e{};
  e.version = PW_VERSION_NODE_EVENTS;
  e.info = PipeWireAudio::Impl::onNodeInfo;
  return e;
}();

namespace {

const pw_core_events kCoreEvents = [] {
  pw_core_events e{};
  e.version = PW_VERSION_CORE_EVENTS;
  e.done = PipeWireAudio::Impl::onCoreDone;
  e.error = PipeWireAudio::Impl::onCoreError;
  return e;
}();

const pw_registry_events kRegistryEvents = [] {
  pw_registry_events e{};
  e.version = PW_VERSION_REGISTRY_EVENTS;
  e.global = PipeWireAudio::Impl::onGlobal;
  return e;
}();

const pw_stream_events kStreamEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = PipeWireAudio::Impl::onStateChanged;
  e.process = PipeWireAudio::Impl::onProcess;
  return e;
}();

}  // namespace

bool PipeWireAudio::connect(rt::Text& error) {
  Impl& d = *impl_;
  d.broken = false;
  d.synced = false;
  d.collecting = true;
  d.nodes.clear();
  d.links.clear();
  d.state = PW_STREAM_STATE_UNCONNECTED;
  d.head = 0;
  d.tail = 0;
  d.readingHead = 0;
  d.readingTail = 0;
  priming_ = monitor_;
  timespec until{};
  pw_thread_loop_get_time(
      loop_, &until,
      static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(kStartDeadline).count()));
  auto waitFor = [&](auto ready) {
    while (!ready() && !d.broken) {
      if (pw_thread_loop_timed_wait_full(loop_, &until) == -ETIMEDOUT) return ready();
    }
    return ready() && !d.broken;
  };
  d.core = pw_context_connect(d.context, nullptr, 0);
  if (d.core == nullptr) {
    error = u"PipeWire is not reachable (" + words(std::strerror(errno)) + u")";
    return false;
  }
  // PipeWire's interface calls are C macros that cast.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
  pw_core_add_listener(d.core, &d.coreListener, &kCoreEvents, &d);
  d.registry = pw_core_get_registry(d.core, PW_VERSION_REGISTRY, 0);
  if (d.registry != nullptr) pw_registry_add_listener(d.registry, &d.registryListener, &kRegistryEvents, &d);
  d.syncSeq = pw_core_sync(d.core, PW_ID_CORE, 0);
#pragma GCC diagnostic pop
  if (!waitFor([&] { return d.synced; })) {
    error = u"PipeWire did not answer";
    return false;
  }
  // Once more, for the bound nodes' properties.
  d.synced = false;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
  d.syncSeq = pw_core_sync(d.core, PW_ID_CORE, 0);
#pragma GCC diagnostic pop
  const bool answered = waitFor([&] { return d.synced; });
  d.collecting = false;
  d.unbind();
  if (!answered) {
    error = u"PipeWire did not answer";
    return false;
  }
  recorded_ = monitor_ ? deviceBehind(d.nodes, d.links, target_) : target_;

  pw_properties* props =
      pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Production",
                        PW_KEY_NODE_NAME, "Grabvid", PW_KEY_APP_NAME, "Grabvid", nullptr);
  if (!recorded_.empty()) pw_properties_set(props, PW_KEY_TARGET_OBJECT, recorded_.c_str());
  if (monitor_) pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
  d.stream = pw_stream_new(d.core, "Grabvid recording", props);
  if (d.stream == nullptr) {
    error = u"PipeWire could not create a stream";
    return false;
  }
  pw_stream_add_listener(d.stream, &d.streamListener, &kStreamEvents, &d);
  std::uint8_t buffer[512];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_audio_info_raw raw{};
  raw.format = SPA_AUDIO_FORMAT_S16;
  raw.rate = static_cast<std::uint32_t>(rate_);
  raw.channels = static_cast<std::uint32_t>(channels_);
  if (channels_ == 2) {
    raw.position[0] = SPA_AUDIO_CHANNEL_FL;
    raw.position[1] = SPA_AUDIO_CHANNEL_FR;
  } else if (channels_ == 1) {
    raw.position[0] = SPA_AUDIO_CHANNEL_MONO;
  }
  const spa_pod* params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &raw)};
  // No latency of our own is asked for: the graph keeps its quantum.
  const auto flags =
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  if (const int r = pw_stream_connect(d.stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1); r < 0) {
    error = u"PipeWire refused the recording stream (" + words(std::strerror(-r)) + u")";
    return false;
  }
  if (!waitFor([&] { return d.state == PW_STREAM_STATE_STREAMING; })) {
    error = u"PipeWire's recording stream did not start";
    return false;
  }
  return true;
}

void PipeWireAudio::disconnect() {
  if (!impl_) return;
  Impl& d = *impl_;
  d.unbind();
  if (d.stream != nullptr) {
    spa_hook_remove(&d.streamListener);
    pw_stream_destroy(d.stream);  // the data thread is done with it on return
    d.stream = nullptr;
  }
  if (d.registry != nullptr) {
    spa_hook_remove(&d.registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(d.registry));
    d.registry = nullptr;
  }
  if (d.core != nullptr) {
    spa_hook_remove(&d.coreListener);
    pw_core_disconnect(d.core);
    d.core = nullptr;
  }
}

std::unique_ptr<PipeWireAudio> PipeWireAudio::open(int sampleRate, int channels, const std::string& target,
                                                   bool monitor, rt::Text& error) {
  std::call_once(pwInitOnce, [] { pw_init(nullptr, nullptr); });
  std::unique_ptr<PipeWireAudio> a(new PipeWireAudio);
  a->rate_ = sampleRate;
  a->channels_ = channels;
  a->target_ = target;
  a->monitor_ = monitor;
  a->impl_ = std::make_unique<Impl>(*a);
  Impl& d = *a->impl_;
  d.capacity = static_cast<std::size_t>(sampleRate) * kRingSeconds;
  d.ring.assign(d.capacity * static_cast<std::size_t>(channels), 0);
  a->loop_ = pw_thread_loop_new("vardel-audio", nullptr);
  // client-rt.conf loads module-rt, which asks for real-time scheduling of
  // the data thread (directly, or through RealtimeKit): it must run within
  // every graph cycle, or that cycle's sound is lost.
  if (a->loop_ != nullptr)
    d.context = pw_context_new(pw_thread_loop_get_loop(a->loop_),
                               pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
  if (a->loop_ == nullptr || d.context == nullptr || pw_thread_loop_start(a->loop_) < 0) {
    error = u"PipeWire could not be set up in this process";
    return nullptr;
  }
  pw_thread_loop_lock(a->loop_);
  const bool ok = a->connect(error);
  pw_thread_loop_unlock(a->loop_);
  if (!ok) return nullptr;
  return a;
}

PipeWireAudio::~PipeWireAudio() {
  if (loop_ == nullptr) return;
  pw_thread_loop_lock(loop_);
  disconnect();
  pw_thread_loop_unlock(loop_);
  pw_thread_loop_stop(loop_);
  if (impl_ && impl_->context != nullptr) pw_context_destroy(impl_->context);
  pw_thread_loop_destroy(loop_);
}

bool PipeWireAudio::read(std::vector<std::int16_t>& samples, std::int64_t& first, std::vector<Reading>& readings,
                         Link& link, rt::Text&) {
  samples.clear();
  readings.clear();
  link = Link::Up;
  Impl& d = *impl_;
  if (!lost_ && d.broken) {
    // PipeWire went away (or dropped our stream): what it delivered is all
    // there is of this connection. A new one is tried at once.
    pw_thread_loop_lock(loop_);
    disconnect();
    pw_thread_loop_unlock(loop_);
    lost_ = true;
    nextAttempt_ = Clock::now();
  }
  if (lost_) {
    if (!interrupted_ && Clock::now() >= nextAttempt_) {
      nextAttempt_ = Clock::now() + std::chrono::milliseconds(500);
      rt::Text ignored;  // a failed attempt is simply tried again
      pw_thread_loop_lock(loop_);
      const bool ok = connect(ignored);
      if (!ok) disconnect();
      pw_thread_loop_unlock(loop_);
      if (ok) {
        lost_ = false;
        link = Link::Back;
      }
    }
    if (lost_) {
      link = Link::Lost;
      first = 0;
      for (int i = 0; i < 10 && !interrupted_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return true;
    }
  }
  // The data thread delivers a buffer a graph cycle: looked for in short
  // steps, never longer than 50 ms in all.
  for (int i = 0; i < 25; ++i) {
    if (d.head.load(std::memory_order_acquire) != d.tail.load(std::memory_order_relaxed) ||
        d.readingHead.load(std::memory_order_acquire) != d.readingTail.load(std::memory_order_relaxed) ||
        interrupted_ || d.broken)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // Readings first: each bounds only frames already in the ring.
  const std::uint32_t rh = d.readingHead.load(std::memory_order_acquire);
  for (std::uint32_t r = d.readingTail.load(std::memory_order_relaxed); r != rh; ++r) {
    const Impl::TimedReading& tr = d.readings[r % kReadingSlots];
    readings.push_back({tr.index, Clock::time_point(std::chrono::nanoseconds(tr.ns))});
  }
  d.readingTail.store(rh, std::memory_order_release);
  const std::uint64_t head = d.head.load(std::memory_order_acquire);
  const std::uint64_t tail = d.tail.load(std::memory_order_relaxed);
  const auto channels = static_cast<std::size_t>(channels_);
  samples.resize(static_cast<std::size_t>(head - tail) * channels);
  for (std::uint64_t f = tail; f < head; ++f)
    std::memcpy(samples.data() + (f - tail) * channels, d.ring.data() + (f % d.capacity) * channels,
                channels * sizeof(std::int16_t));
  d.tail.store(head, std::memory_order_release);
  first = static_cast<std::int64_t>(tail);
  if (priming_) {
    const std::size_t skip = dropPriming(samples.data(), samples.size() / channels);
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(skip * channels));
    first += static_cast<std::int64_t>(skip);
  }
  return true;
}

std::size_t PipeWireAudio::dropPriming(const std::int16_t* data, std::size_t frames) {
  const auto channels = static_cast<std::size_t>(channels_);
  std::size_t n = 0;
  while (n < frames && std::all_of(data + n * channels, data + (n + 1) * channels, [](std::int16_t v) { return v == 0; }))
    ++n;
  priming_ = n == frames;
  return n;
}

bool PipeWireAudio::awaitFirstSamples(std::chrono::milliseconds limit) {
  // Until sound has arrived: a monitor's leading zeros are taken off the
  // ring meanwhile (read() would leave them out anyway).
  Impl& d = *impl_;
  const auto deadline = Clock::now() + limit;
  const auto channels = static_cast<std::size_t>(channels_);
  for (;;) {
    const std::uint64_t head = d.head.load(std::memory_order_acquire);
    std::uint64_t tail = d.tail.load(std::memory_order_relaxed);
    while (priming_ && tail < head) {
      if (dropPriming(d.ring.data() + (tail % d.capacity) * channels, 1) == 0) break;
      ++tail;
    }
    d.tail.store(tail, std::memory_order_release);
    if (tail < head) return true;
    if (Clock::now() >= deadline || d.broken) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void PipeWireAudio::interrupt() { interrupted_ = true; }

}  // namespace encoder::engine
