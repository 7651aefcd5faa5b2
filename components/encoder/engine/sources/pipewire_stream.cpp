#include "components/encoder/engine/sources/pipewire_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <libyuv.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace encoder::engine::pipewire {

namespace {

rt::Text words(const char* s) { return rt::fromUtf8(s != nullptr ? s : ""); }

std::string secondsText(std::chrono::milliseconds ms) {
  const auto s = (ms.count() + 999) / 1000;
  return std::to_string(s) + (s == 1 ? " second" : " seconds");
}

bool isAccepted(spa_video_format f) {
  return f == SPA_VIDEO_FORMAT_BGRx || f == SPA_VIDEO_FORMAT_BGRA || f == SPA_VIDEO_FORMAT_RGBx ||
         f == SPA_VIDEO_FORMAT_RGBA;
}

// Bands beyond this many fold into the ones around them.
constexpr std::size_t kMaxBands = 32;

}  // namespace

void addBand(std::vector<Band>& bands, int top, int bottom) {
  if (bottom <= top) return;
  Band b{top, bottom};
  auto it = std::lower_bound(bands.begin(), bands.end(), b, [](const Band& x, const Band& y) { return x.top < y.top; });
  it = bands.insert(it, b);
  // Merge with the neighbours it touches or overlaps.
  std::vector<Band> merged;
  merged.reserve(bands.size());
  for (const Band& x : bands) {
    if (!merged.empty() && x.top <= merged.back().bottom)
      merged.back().bottom = std::max(merged.back().bottom, x.bottom);
    else
      merged.push_back(x);
  }
  // Too many bands: join the two closest ones until few enough remain.
  while (merged.size() > kMaxBands) {
    std::size_t best = 0;
    for (std::size_t i = 1; i + 1 < merged.size(); ++i)
      if (merged[i + 1].top - merged[i].bottom < merged[best + 1].top - merged[best].bottom) best = i;
    merged[best].bottom = merged[best + 1].bottom;
    merged.erase(merged.begin() + static_cast<std::ptrdiff_t>(best) + 1);
  }
  bands.swap(merged);
}

struct Stream::Impl {
  Stream& self;
  std::uint32_t node = 0;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_registry* registry = nullptr;
  pw_stream* stream = nullptr;
  spa_hook coreListener{}, registryListener{}, streamListener{};
  int syncSeq = -1;
  bool synced = false;
  bool formatReady = false;
  spa_video_info_raw format{};
  bool fullNext = true;  // the next frame replaces the whole mirror

  explicit Impl(Stream& s) : self(s) {}

  void lose(const rt::Text& why) {
    {
      std::lock_guard<std::mutex> lock(self.mutex_);
      if (!self.lost_) {
        self.lost_ = true;
        self.lostWhy_ = why;
      }
    }
    pw_thread_loop_signal(self.loop_, false);
  }

  static void onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* d = static_cast<Impl*>(data);
    if (id == PW_ID_CORE && seq == d->syncSeq) {
      d->synced = true;
      pw_thread_loop_signal(d->self.loop_, false);
    }
  }

  static void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* d = static_cast<Impl*>(data);
    if (id != PW_ID_CORE) return;
    d->lose(u"the connection to PipeWire was lost (" +
            words(message != nullptr && *message != '\0' ? message : std::strerror(-res)) + u")");
  }

  static void onGlobalRemove(void* data, std::uint32_t id) {
    auto* d = static_cast<Impl*>(data);
    if (id == d->node) d->lose(u"the screen-cast stream ended (its source went away)");
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* d = static_cast<Impl*>(data);
    if (state == PW_STREAM_STATE_ERROR)
      d->lose(u"the screen-cast stream ended (" + words(error != nullptr ? error : "stream error") + u")");
    else if (state == PW_STREAM_STATE_UNCONNECTED)
      d->lose(u"the screen-cast stream ended (disconnected)");
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* d = static_cast<Impl*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) return;
    spa_video_info_raw f{};
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
        mediaSubtype != SPA_MEDIA_SUBTYPE_raw || spa_format_video_raw_parse(param, &f) < 0 ||
        !isAccepted(f.format) || f.size.width == 0 || f.size.height == 0 || f.size.width > 16384 ||
        f.size.height > 16384) {
      d->lose(u"the screen-cast stream offered a picture format Grabvid cannot read");
      return;
    }
    {
      std::lock_guard<std::mutex> lock(d->self.mutex_);
      const int w = static_cast<int>(f.size.width), h = static_cast<int>(f.size.height);
      Mirror& m = d->self.mirror_;
      if (m.width != w || m.height != h) {
        d->self.pixels_.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0);
        m.pixels = d->self.pixels_.data();
        m.stride = w * 4;
        m.width = w;
        m.height = h;
        m.cropX = m.cropY = 0;
        m.cropWidth = w;
        m.cropHeight = h;
        m.any = false;
      }
      d->fullNext = true;
    }
    d->format = f;
    d->formatReady = true;

    // Shared memory we can map, and the metadata that says what changed.
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[4];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(8, 2, 32), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
        SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * 16, sizeof(spa_meta_region) * 1,
                                 sizeof(spa_meta_region) * 16)));
    params[3] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
    pw_stream_update_params(d->stream, params, 4);
    pw_thread_loop_signal(d->self.loop_, false);
  }

  static void onProcess(void* data) {
    auto* d = static_cast<Impl*>(data);
    pw_buffer* b = nullptr;
    while ((b = pw_stream_dequeue_buffer(d->stream)) != nullptr) {
      d->consume(b->buffer);
      pw_stream_queue_buffer(d->stream, b);
    }
  }

  // Copies what changed in one buffer into the mirror. Buffers that are
  // empty, marked corrupted or smaller than their picture are skipped.
  void consume(spa_buffer* buf) {
    if (buf == nullptr || buf->n_datas < 1) return;
    const spa_data& sd = buf->datas[0];
    if (sd.data == nullptr || sd.chunk == nullptr || sd.chunk->size == 0 ||
        (sd.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0)
      return;
    auto* header = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)));
    if (header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) return;

    std::lock_guard<std::mutex> lock(self.mutex_);
    Mirror& m = self.mirror_;
    if (m.width <= 0 || m.height <= 0) return;
    const std::size_t w = static_cast<std::size_t>(m.width), h = static_cast<std::size_t>(m.height);
    const std::size_t stride = sd.chunk->stride > 0 ? static_cast<std::size_t>(sd.chunk->stride) : w * 4;
    const std::size_t offset = sd.chunk->offset;
    if (stride < w * 4 || offset >= sd.maxsize || sd.maxsize - offset < stride * (h - 1) + w * 4 ||
        static_cast<std::size_t>(sd.chunk->size) < stride * (h - 1) + w * 4)
      return;
    const auto* src = static_cast<const std::uint8_t*>(sd.data) + offset;

    // The part of the buffer that is the picture.
    int cx = 0, cy = 0, cw = m.width, ch = m.height;
    if (auto* c = static_cast<spa_meta_region*>(spa_buffer_find_meta_data(buf, SPA_META_VideoCrop, sizeof(spa_meta_region)));
        c != nullptr && spa_meta_region_is_valid(c)) {
      const long x = c->region.position.x, y = c->region.position.y;
      const long cwl = c->region.size.width, chl = c->region.size.height;
      if (x >= 0 && y >= 0 && x + cwl <= m.width && y + chl <= m.height) {
        cx = static_cast<int>(x);
        cy = static_cast<int>(y);
        cw = static_cast<int>(cwl);
        ch = static_cast<int>(chl);
      }
    }
    bool full = fullNext || !m.any || cx != m.cropX || cy != m.cropY || cw != m.cropWidth || ch != m.cropHeight;
    std::vector<Band> changed;
    if (!full) {
      bool described = false;
      if (spa_meta* dm = spa_buffer_find_meta(buf, SPA_META_VideoDamage); dm != nullptr) {
        spa_meta_region* r = nullptr;
        spa_meta_for_each(r, dm) {
          if (!spa_meta_region_is_valid(r)) break;
          described = true;
          const long top = std::max<long>(0, r->region.position.y);
          const long bottom = std::min<long>(m.height, long{r->region.position.y} + long{r->region.size.height});
          addBand(changed, static_cast<int>(top), static_cast<int>(bottom));
        }
      }
      full = !described;  // no damage said means all of it may have changed
    }
    if (full) {
      changed.clear();
      changed.push_back({0, m.height});
    }
    for (const Band& band : changed) {
      const std::uint8_t* from = src + stride * static_cast<std::size_t>(band.top);
      std::uint8_t* to = self.pixels_.data() + static_cast<std::size_t>(m.stride) * static_cast<std::size_t>(band.top);
      const int rows = band.bottom - band.top;
      if (format.format == SPA_VIDEO_FORMAT_RGBx || format.format == SPA_VIDEO_FORMAT_RGBA)
        libyuv::ABGRToARGB(from, static_cast<int>(stride), to, m.stride, m.width, rows);
      else
        libyuv::CopyPlane(from, static_cast<int>(stride), to, m.stride, m.width * 4, rows);
      addBand(self.bands_, band.top, band.bottom);
    }
    m.cropX = cx;
    m.cropY = cy;
    m.cropWidth = cw;
    m.cropHeight = ch;
    m.capturedNs = header != nullptr && header->pts > 0 ? header->pts : 0;
    m.any = true;
    fullNext = false;
  }
};

namespace {

const pw_core_events kCoreEvents = [] {
  pw_core_events e{};
  e.version = PW_VERSION_CORE_EVENTS;
  e.done = Stream::Impl::onCoreDone;
  e.error = Stream::Impl::onCoreError;
  return e;
}();

const pw_registry_events kRegistryEvents = [] {
  pw_registry_events e{};
  e.version = PW_VERSION_REGISTRY_EVENTS;
  e.global_remove = Stream::Impl::onGlobalRemove;
  return e;
}();

const pw_stream_events kStreamEvents = [] {
  pw_stream_events e{};
  e.version = PW_VERSION_STREAM_EVENTS;
  e.state_changed = Stream::Impl::onStateChanged;
  e.param_changed = Stream::Impl::onParamChanged;
  e.process = Stream::Impl::onProcess;
  return e;
}();

std::once_flag pwInitOnce;

}  // namespace

std::unique_ptr<Stream> Stream::open(int fd, std::uint32_t node, int framesPerSecond,
                                     std::chrono::milliseconds deadline, rt::Text& error) {
  std::call_once(pwInitOnce, [] { pw_init(nullptr, nullptr); });
  const rt::Text cannot = u"Cannot record the screen: ";
  std::unique_ptr<Stream> s(new Stream);
  s->impl_ = std::make_unique<Impl>(*s);
  Impl& d = *s->impl_;
  d.node = node;
  s->loop_ = pw_thread_loop_new("vardel-screencast", nullptr);
  if (s->loop_ != nullptr) d.context = pw_context_new(pw_thread_loop_get_loop(s->loop_), nullptr, 0);
  if (s->loop_ == nullptr || d.context == nullptr || pw_thread_loop_start(s->loop_) < 0) {
    if (fd >= 0) close(fd);
    error = cannot + u"PipeWire could not be set up in this process.";
    return nullptr;
  }
  pw_thread_loop_lock(s->loop_);
  timespec until{};
  pw_thread_loop_get_time(s->loop_, &until, static_cast<std::int64_t>(deadline.count()) * SPA_NSEC_PER_MSEC);
  // Waits (lock held) until `ready()` or the stream is lost or the deadline passes.
  auto waitFor = [&](auto ready) {
    while (!ready()) {
      {
        std::lock_guard<std::mutex> lock(s->mutex_);
        if (s->lost_) return false;
      }
      if (pw_thread_loop_timed_wait_full(s->loop_, &until) == -ETIMEDOUT) return ready();
    }
    return true;
  };
  auto lostWhy = [&] {
    std::lock_guard<std::mutex> lock(s->mutex_);
    return s->lostWhy_;
  };

  d.core = pw_context_connect_fd(d.context, fd, nullptr, 0);
  if (d.core == nullptr) {
    pw_thread_loop_unlock(s->loop_);
    error = cannot + u"PipeWire is not reachable through the connection the desktop portal opened (" +
            words(std::strerror(errno)) + u").";
    return nullptr;
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
    const rt::Text why = lostWhy();
    pw_thread_loop_unlock(s->loop_);
    error = cannot + u"PipeWire is not reachable through the connection the desktop portal opened" +
            (why.empty() ? u" (no answer within " + rt::fromUtf8(secondsText(deadline)) + u")." : u": " + why + u".");
    return nullptr;
  }

  d.stream = pw_stream_new(d.core, "Grabvid screen",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (d.stream == nullptr) {
    pw_thread_loop_unlock(s->loop_);
    error = cannot + u"PipeWire could not create a stream.";
    return nullptr;
  }
  pw_stream_add_listener(d.stream, &d.streamListener, &kStreamEvents, &d);

  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_rectangle defSize{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
  const spa_fraction defRate{static_cast<std::uint32_t>(framesPerSecond), 1}, minRate{0, 1}, maxRate{1000, 1};
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
  const int r = pw_stream_connect(
      d.stream, PW_DIRECTION_INPUT, node,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  if (r < 0) {
    pw_thread_loop_unlock(s->loop_);
    error = cannot + u"PipeWire refused the screen-cast stream (" + words(std::strerror(-r)) + u").";
    return nullptr;
  }
  if (!waitFor([&] { return d.formatReady; })) {
    const rt::Text why = lostWhy();
    pw_thread_loop_unlock(s->loop_);
    error = cannot + u"the screen-cast stream delivered no picture format" +
            (why.empty() ? u" within " + rt::fromUtf8(secondsText(deadline)) + u"." : u": " + why + u".");
    return nullptr;
  }
  s->firstWidth_ = static_cast<int>(d.format.size.width);
  s->firstHeight_ = static_cast<int>(d.format.size.height);
  pw_thread_loop_unlock(s->loop_);
  return s;
}

Stream::~Stream() {
  if (loop_ == nullptr) return;
  if (impl_) {
    pw_thread_loop_lock(loop_);
    if (impl_->stream != nullptr) {
      spa_hook_remove(&impl_->streamListener);
      pw_stream_disconnect(impl_->stream);
      pw_stream_destroy(impl_->stream);
    }
    if (impl_->registry != nullptr) {
      spa_hook_remove(&impl_->registryListener);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(impl_->registry));
    }
    if (impl_->core != nullptr) {
      spa_hook_remove(&impl_->coreListener);
      pw_core_disconnect(impl_->core);
    }
    pw_thread_loop_unlock(loop_);
  }
  pw_thread_loop_stop(loop_);
  if (impl_ && impl_->context != nullptr) pw_context_destroy(impl_->context);
  pw_thread_loop_destroy(loop_);
}

}  // namespace encoder::engine::pipewire
