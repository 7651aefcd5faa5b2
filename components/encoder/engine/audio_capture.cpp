#include "components/encoder/engine/audio_capture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace encoder::engine {

namespace {
// Holds PulseAudio's loop lock for one scope.
class Locked {
 public:
  explicit Locked(pa_threaded_mainloop* l) : l_(l) { pa_threaded_mainloop_lock(l_); }
  ~Locked() { pa_threaded_mainloop_unlock(l_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  pa_threaded_mainloop* l_;
};

// How many of `frames` frames at `data` are digital silence before the
// first sound (all of them when the server reported a hole).
std::size_t leadingZeroFrames(const void* data, std::size_t frames, int channels) {
  if (data == nullptr) return frames;
  const auto* v = static_cast<const std::int16_t*>(data);
  const auto per = static_cast<std::size_t>(channels);
  std::size_t n = 0;
  while (n < frames && std::all_of(v + n * per, v + (n + 1) * per, [](std::int16_t x) { return x == 0; })) ++n;
  return n;
}
}  // namespace

void AudioCapture::onContextState(pa_context*, void* self) {
  pa_threaded_mainloop_signal(static_cast<AudioCapture*>(self)->loop_, 0);
}
void AudioCapture::onStreamState(pa_stream*, void* self) {
  pa_threaded_mainloop_signal(static_cast<AudioCapture*>(self)->loop_, 0);
}
void AudioCapture::onReadable(pa_stream*, std::size_t, void* self) {
  pa_threaded_mainloop_signal(static_cast<AudioCapture*>(self)->loop_, 0);
}

void AudioCapture::requestReading() {
  if (readingAsked_) return;
  if (pa_operation* o = pa_stream_update_timing_info(stream_, &AudioCapture::onTiming, this)) {
    pa_operation_unref(o);
    readingAsked_ = true;
    lastAsked_ = Clock::now();
  }
}

// The server's answer: its write index, and at its time stamp the latency
// of what the source has captured but not yet delivered (less, for the
// monitor of a sink, what that sink has been given but not yet played: a
// monitor hears a sample when it is played). The next sample to be
// delivered is captured at the time stamp less the one plus the other.
void AudioCapture::onTiming(pa_stream* s, int success, void* self) {
  auto* a = static_cast<AudioCapture*>(self);
  if (s != a->stream_) return;  // the answer of a connection given up since
  a->readingAsked_ = false;
  const pa_timing_info* i = success ? pa_stream_get_timing_info(s) : nullptr;
  if (i == nullptr || i->write_index_corrupt || i->write_index < 0) return;
  const auto now = Clock::now();
  // transport_usec: how long ago the server took its snapshot.
  auto offset = std::chrono::microseconds(static_cast<std::int64_t>(i->sink_usec) -
                                          static_cast<std::int64_t>(i->source_usec) -
                                          static_cast<std::int64_t>(i->transport_usec));
  const auto frameBytes = static_cast<std::int64_t>(a->channels_) * 2;
  const std::int64_t index = i->write_index / frameBytes;
  if (a->pipeWireMonitor_) {
    // PipeWire's pulse server reports no latency for a monitor and answers
    // as soon as a cycle's block has arrived, but its sink plays that block
    // through the cycle that has just begun: the next sample is heard a
    // whole cycle after the reading. Until the cycle's length is known a
    // reading would place the sound a cycle early, so there is none.
    a->cycle_.observe(index);
    if (a->cycle_.frames() == 0) return;
    offset += std::chrono::microseconds(a->cycle_.frames() * 1'000'000 / a->sampleRate_);
  }
  a->readings_.push_back({index, now + offset});
  pa_threaded_mainloop_signal(a->loop_, 0);
}

namespace {
timeval inReadingTime() {
  timeval tv{};
  pa_gettimeofday(&tv);
  pa_timeval_add(&tv, AudioCapture::kReadingMs * PA_USEC_PER_MSEC);
  return tv;
}
}  // namespace

// While the source delivers nothing, readings still come, so the time it
// stood still is known; while the server is gone, a waiting read looks
// again at the connection.
void AudioCapture::onTimer(pa_mainloop_api* api, pa_time_event* e, const timeval*, void* self) {
  auto* a = static_cast<AudioCapture*>(self);
  if (a->stream_ != nullptr && pa_stream_get_state(a->stream_) == PA_STREAM_READY &&
      Clock::now() - a->lastAsked_ >= std::chrono::milliseconds(kReadingMs))
    a->requestReading();
  if (a->lost_) pa_threaded_mainloop_signal(a->loop_, 0);
  const timeval next = inReadingTime();
  api->time_restart(e, &next);
}

void AudioCapture::learnServer() {
  struct Answers {
    pa_threaded_mainloop* loop;
    bool pipeWire = false;
    std::string source, monitored;
  } answers{loop_, false, {}, {}};
  auto await = [&](pa_operation* o) {
    if (o == nullptr) return;
    while (pa_operation_get_state(o) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop_);
    pa_operation_unref(o);
  };
  await(pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info* i, void* p) {
        auto* a = static_cast<Answers*>(p);
        a->pipeWire = i != nullptr && i->server_name != nullptr && std::strstr(i->server_name, "PipeWire") != nullptr;
        pa_threaded_mainloop_signal(a->loop, 0);
      },
      &answers));
  await(pa_context_get_source_info_by_index(
      context_, pa_stream_get_device_index(stream_),
      [](pa_context*, const pa_source_info* i, int eol, void* p) {
        auto* a = static_cast<Answers*>(p);
        if (eol == 0 && i != nullptr) {
          a->source = i->name != nullptr ? i->name : "";
          if (i->monitor_of_sink != PA_INVALID_INDEX && i->monitor_of_sink_name != nullptr)
            a->monitored = i->monitor_of_sink_name;
        }
        pa_threaded_mainloop_signal(a->loop, 0);
      },
      &answers));
  onPipeWire_ = answers.pipeWire;
  sourceName_ = answers.source;
  monitoredSink_ = answers.monitored;
  pipeWireMonitor_ = onPipeWire_ && !monitoredSink_.empty();
}

bool AudioCapture::beginConnection(bool autospawn, rt::Text& error) {
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "Vardel screen recorder");
  if (context_ == nullptr) {
    error = rt::fromUtf8(pa_strerror(PA_ERR_INTERNAL));
    return false;
  }
  pa_context_set_state_callback(context_, &AudioCapture::onContextState, this);
  if (pa_context_connect(context_, nullptr, autospawn ? PA_CONTEXT_NOFLAGS : PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    error = rt::fromUtf8(pa_strerror(pa_context_errno(context_)));
    return false;
  }
  return true;
}

bool AudioCapture::beginStream(rt::Text& error) {
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_S16LE;
  spec.rate = static_cast<std::uint32_t>(sampleRate_);
  spec.channels = static_cast<std::uint8_t>(channels_);
  stream_ = pa_stream_new(context_, "Recording", &spec, nullptr);
  if (stream_ == nullptr) {
    error = rt::fromUtf8(pa_strerror(pa_context_errno(context_)));
    return false;
  }
  pa_stream_set_state_callback(stream_, &AudioCapture::onStreamState, this);
  pa_stream_set_read_callback(stream_, &AudioCapture::onReadable, this);
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(sampleRate_ * kFragmentMs / 1000 * channels_ * 2);
  if (pa_stream_connect_record(stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
    error = rt::fromUtf8(pa_strerror(pa_context_errno(context_)));
    return false;
  }
  return true;
}

void AudioCapture::finishStream() {
  delivered_ = 0;
  cycle_ = CycleLength{};
  readingAsked_ = false;
  learnServer();
  primingZeros_ = pipeWireMonitor_;
  requestReading();
}

void AudioCapture::closeConnection() {
  if (stream_ != nullptr) {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  if (context_ != nullptr) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  readings_.clear();
  readingAsked_ = false;
}

bool AudioCapture::reconnect() {
  rt::Text ignored;  // a failed attempt is simply tried again
  if (context_ == nullptr) {
    if (interrupted_ || Clock::now() < nextAttempt_) return false;
    nextAttempt_ = Clock::now() + std::chrono::milliseconds(kRetryMs);
    // Not spawning a server of our own: the desktop's session restarts its own.
    if (!beginConnection(false, ignored)) {
      closeConnection();
      return false;
    }
  }
  const pa_context_state_t cs = pa_context_get_state(context_);
  if (!PA_CONTEXT_IS_GOOD(cs)) {
    closeConnection();
    return false;
  }
  if (cs != PA_CONTEXT_READY) return false;
  if (stream_ == nullptr && !beginStream(ignored)) {
    closeConnection();
    return false;
  }
  const pa_stream_state_t ss = pa_stream_get_state(stream_);
  if (!PA_STREAM_IS_GOOD(ss)) {
    closeConnection();
    return false;
  }
  if (ss != PA_STREAM_READY) return false;
  finishStream();
  return true;
}

std::unique_ptr<AudioCapture> AudioCapture::open(int sampleRate, int channels, rt::Text& error) {
  std::unique_ptr<AudioCapture> a(new AudioCapture);
  a->channels_ = channels;
  a->sampleRate_ = sampleRate;
  const rt::Text noServer = u"Cannot record the default audio input: no audio server is available (";
  a->loop_ = pa_threaded_mainloop_new();
  if (a->loop_ == nullptr || pa_threaded_mainloop_start(a->loop_) < 0) {
    error = noServer + rt::fromUtf8(pa_strerror(PA_ERR_INTERNAL)) + u").";
    return nullptr;
  }
  Locked lock(a->loop_);
  rt::Text why;
  if (!a->beginConnection(true, why)) {
    error = noServer + why + u").";
    return nullptr;
  }
  for (;;) {
    const pa_context_state_t st = pa_context_get_state(a->context_);
    if (st == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(st)) {
      error = noServer + rt::fromUtf8(pa_strerror(pa_context_errno(a->context_))) + u").";
      return nullptr;
    }
    pa_threaded_mainloop_wait(a->loop_);
  }
  if (!a->beginStream(why)) {
    error = u"Cannot record the default audio input: " + why + u".";
    return nullptr;
  }
  for (;;) {
    const pa_stream_state_t st = pa_stream_get_state(a->stream_);
    if (st == PA_STREAM_READY) break;
    if (!PA_STREAM_IS_GOOD(st)) {
      error = u"Cannot record the default audio input: " +
              rt::fromUtf8(pa_strerror(pa_context_errno(a->context_))) + u".";
      return nullptr;
    }
    pa_threaded_mainloop_wait(a->loop_);
  }
  a->finishStream();
  const timeval first = inReadingTime();
  a->timer_ = pa_threaded_mainloop_get_api(a->loop_)->time_new(pa_threaded_mainloop_get_api(a->loop_), &first,
                                                              &AudioCapture::onTimer, a.get());
  return a;
}

AudioCapture::~AudioCapture() {
  if (loop_ == nullptr) return;
  pa_threaded_mainloop_stop(loop_);
  if (timer_ != nullptr) pa_threaded_mainloop_get_api(loop_)->time_free(timer_);
  closeConnection();
  pa_threaded_mainloop_free(loop_);
}

bool AudioCapture::read(std::vector<std::int16_t>& samples, std::int64_t& first, std::vector<Reading>& readings,
                        Link& link, rt::Text& error) {
  samples.clear();
  readings.clear();
  link = Link::Up;
  Locked lock(loop_);
  for (bool waited = false;; waited = true) {
    if (!lost_ && (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) ||
                   !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)))) {
      // The server went away, or dropped our stream: what it delivered is
      // all there is of this connection. A new one is tried at once.
      closeConnection();
      lost_ = true;
      nextAttempt_ = Clock::now();
    }
    if (lost_) {
      if (reconnect()) {
        lost_ = false;
        link = Link::Back;
      } else {
        link = Link::Lost;
        first = delivered_;
        // Back to the caller after a wake-up (the timer's, at least every
        // kReadingMs), so the recording goes on meanwhile.
        if (waited || interrupted_) return true;
        pa_threaded_mainloop_wait(loop_);
        continue;
      }
    }
    // After interrupt() a read no longer waits, but still hands over what
    // the server has already delivered: the last moments before a stop.
    if (pa_stream_readable_size(stream_) > 0 || !readings_.empty() || interrupted_) break;
    pa_threaded_mainloop_wait(loop_);
  }
  first = delivered_;
  const auto frameBytes = static_cast<std::size_t>(channels_) * sizeof(std::int16_t);
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0) {
      error = u"The audio recording stopped: " + rt::fromUtf8(pa_strerror(pa_context_errno(context_))) + u".";
      return false;
    }
    if (bytes == 0) break;
    std::size_t frames = bytes / frameBytes;
    if (primingZeros_ && samples.empty()) {
      const std::size_t skip = leadingZeroFrames(data, frames, channels_);
      primingZeros_ = skip == frames;
      first += static_cast<std::int64_t>(skip);
      delivered_ += static_cast<std::int64_t>(skip);
      frames -= skip;
      if (data != nullptr) data = static_cast<const std::int16_t*>(data) + skip * static_cast<std::size_t>(channels_);
    }
    // The server hands over whole frames; a hole it reports (data lost on
    // its side) keeps its place in the stream as silence.
    const std::size_t count = frames * static_cast<std::size_t>(channels_);
    const std::size_t at = samples.size();
    samples.resize(at + count);
    if (data != nullptr)
      std::memcpy(samples.data() + at, data, count * sizeof(std::int16_t));
    else
      std::fill(samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end(), std::int16_t{0});
    pa_stream_drop(stream_);
  }
  delivered_ += static_cast<std::int64_t>(samples.size()) / channels_;
  if (!samples.empty()) requestReading();
  readings.swap(readings_);
  return true;
}

bool AudioCapture::dropPriming() {
  const auto frameBytes = static_cast<std::size_t>(channels_) * sizeof(std::int16_t);
  while (primingZeros_ && pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) break;
    const std::size_t frames = bytes / frameBytes;
    if (leadingZeroFrames(data, frames, channels_) < frames) return true;  // read() takes the rest
    pa_stream_drop(stream_);
    delivered_ += static_cast<std::int64_t>(frames);
  }
  return !primingZeros_ && (delivered_ > 0 || pa_stream_readable_size(stream_) > 0);
}

bool AudioCapture::awaitFirstSamples(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    {
      Locked lock(loop_);
      if (dropPriming()) return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void AudioCapture::interrupt() {
  Locked lock(loop_);
  interrupted_ = true;
  pa_threaded_mainloop_signal(loop_, 0);
}

}  // namespace encoder::engine
