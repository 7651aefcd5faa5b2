// vardel_pw_producer: a PipeWire video node standing in for a compositor's
// screen cast in the portal source's tests. It drives its own stream and
// sends a frame only when its picture changed, with the changed rectangles
// in the frame's damage metadata, the way a compositor does.
//
//   vardel_pw_producer [--width W] [--height H] [--format BGRx|RGBx]
//
// Connects to the PipeWire of the environment (PIPEWIRE_RUNTIME_DIR /
// XDG_RUNTIME_DIR) and prints "node N" once the node exists, "streaming"
// when linked. Commands, one a line on standard input:
//   fill R G B             the whole picture in one colour
//   rect X Y W H R G B     a rectangle; only it is reported as damaged
//   hidden X Y W H R G B   a rectangle drawn but reported nowhere, so a
//                          reader that follows the damage does not see it
//   size W H               a new picture size (filled with the last fill
//                          colour), renegotiated with the reader
//   corrupt                the next frame is flagged corrupted and black
//   quit
// Each processed command is acknowledged with "ok N" (N counts frames sent)
// once its frame went out, or at once while no reader is linked (the first
// frame after linking then shows it).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wpedantic"
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#pragma GCC diagnostic pop

namespace {

struct Rect {
  int x, y, w, h;
};

struct Producer {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  spa_source* timer = nullptr;
  spa_video_format format = SPA_VIDEO_FORMAT_BGRx;
  int width = 320, height = 240;
  std::vector<std::uint8_t> image;  // in the stream's format, width * 4 a row
  std::uint8_t fillColour[3] = {0, 0, 0};
  std::vector<Rect> damage;
  bool full = true, corruptNext = false, pending = false, streaming = false;
  int acksOwed = 0;
  long frames = 0;
  std::string input;

  void put(int x, int y, int w, int h, int r, int g, int b) {
    for (int row = std::max(0, y); row < std::min(height, y + h); ++row)
      for (int col = std::max(0, x); col < std::min(width, x + w); ++col) {
        std::uint8_t* p = image.data() + (static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
                                          static_cast<std::size_t>(col)) * 4;
        const bool rgb = format == SPA_VIDEO_FORMAT_RGBx;
        p[0] = static_cast<std::uint8_t>(rgb ? r : b);
        p[1] = static_cast<std::uint8_t>(g);
        p[2] = static_cast<std::uint8_t>(rgb ? b : r);
        p[3] = 255;
      }
  }

  const spa_pod* enumFormat(spa_pod_builder* b) const {
    const spa_rectangle size{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
    const spa_fraction rate{25, 1};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(format),
        SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
#pragma GCC diagnostic pop
  }

  void command(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    int x = 0, y = 0, w = 0, h = 0, r = 0, g = 0, b = 0;
    if (verb == "fill" && (in >> r >> g >> b)) {
      fillColour[0] = static_cast<std::uint8_t>(r);
      fillColour[1] = static_cast<std::uint8_t>(g);
      fillColour[2] = static_cast<std::uint8_t>(b);
      put(0, 0, width, height, r, g, b);
      full = true;
    } else if (verb == "rect" && (in >> x >> y >> w >> h >> r >> g >> b)) {
      put(x, y, w, h, r, g, b);
      damage.push_back({x, y, w, h});
    } else if (verb == "hidden" && (in >> x >> y >> w >> h >> r >> g >> b)) {
      put(x, y, w, h, r, g, b);
      std::printf("ok %ld\n", frames);
      std::fflush(stdout);
      return;
    } else if (verb == "size" && (in >> w >> h) && w > 0 && h > 0) {
      width = w;
      height = h;
      image.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4, 0);
      put(0, 0, w, h, fillColour[0], fillColour[1], fillColour[2]);
      full = true;
      std::uint8_t buffer[1024];
      spa_pod_builder pb = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
      const spa_pod* params[1] = {enumFormat(&pb)};
      pw_stream_update_params(stream, params, 1);
    } else if (verb == "corrupt") {
      corruptNext = true;
    } else if (verb == "quit") {
      pw_main_loop_quit(loop);
      return;
    } else {
      std::fprintf(stderr, "vardel_pw_producer: unknown command: %s\n", line.c_str());
      return;
    }
    pending = true;
    if (streaming) {
      ++acksOwed;  // acknowledged once its frame went out
    } else {
      // Not linked yet: the first frame after linking carries it.
      std::printf("ok %ld\n", frames);
      std::fflush(stdout);
    }
  }

  static void onInput(void* data, int fd, std::uint32_t mask) {
    auto* p = static_cast<Producer*>(data);
    char buf[4096];
    const ssize_t n = (mask & SPA_IO_IN) != 0 ? read(fd, buf, sizeof buf) : 0;
    if (n <= 0) {
      pw_main_loop_quit(p->loop);
      return;
    }
    p->input.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = p->input.find('\n')) != std::string::npos) {
      const std::string line = p->input.substr(0, nl);
      p->input.erase(0, nl + 1);
      p->command(line);
    }
  }

  // Frames go out on this tick while a change waits and the link stands.
  static void onTick(void* data, std::uint64_t) {
    auto* p = static_cast<Producer*>(data);
    if (p->pending && p->streaming) pw_stream_trigger_process(p->stream);
  }

  static void onProcess(void* data) {
    auto* p = static_cast<Producer*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(p->stream);
    if (b == nullptr) return;  // none free: the next tick tries again
    spa_buffer* buf = b->buffer;
    spa_data& d = buf->datas[0];
    const std::uint32_t stride = static_cast<std::uint32_t>(p->width) * 4;
    const std::uint32_t size = stride * static_cast<std::uint32_t>(p->height);
    if (d.data == nullptr || d.maxsize < size) {
      // A buffer of the previous size, before renegotiation settled.
      d.chunk->size = 0;
      pw_stream_queue_buffer(p->stream, b);
      return;
    }
    const bool corrupt = p->corruptNext;
    if (corrupt)
      std::memset(d.data, 0, size);
    else
      std::memcpy(d.data, p->image.data(), size);
    d.chunk->offset = 0;
    d.chunk->size = size;
    d.chunk->stride = static_cast<std::int32_t>(stride);
    d.chunk->flags = corrupt ? SPA_CHUNK_FLAG_CORRUPTED : 0;
    if (auto* h = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
      h->pts = -1;
      h->flags = corrupt ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
      h->seq = static_cast<std::uint64_t>(p->frames);
      h->dts_offset = 0;
    }
    if (spa_meta* m = spa_buffer_find_meta(buf, SPA_META_VideoDamage)) {
      auto* r = static_cast<spa_meta_region*>(spa_meta_first(m));
      std::vector<Rect> rects = p->damage;
      if (p->full) rects = {{0, 0, p->width, p->height}};
      std::size_t i = 0;
      for (; i < rects.size() && spa_meta_check(r, m); ++i, ++r) {
        r->region.position.x = rects[i].x;
        r->region.position.y = rects[i].y;
        r->region.size.width = static_cast<std::uint32_t>(rects[i].w);
        r->region.size.height = static_cast<std::uint32_t>(rects[i].h);
      }
      if (i < rects.size()) {  // more than fits: say the whole picture
        r = static_cast<spa_meta_region*>(spa_meta_first(m));
        r->region = SPA_REGION(0, 0, static_cast<std::uint32_t>(p->width), static_cast<std::uint32_t>(p->height));
        ++r;
      }
      if (spa_meta_check(r, m)) r->region = SPA_REGION(0, 0, 0, 0);
    }
    pw_stream_queue_buffer(p->stream, b);
    p->corruptNext = false;
    if (!corrupt) {
      p->damage.clear();
      p->full = false;
    }
    p->pending = false;
    ++p->frames;
    for (; p->acksOwed > 0; --p->acksOwed) std::printf("ok %ld\n", p->frames);
    std::fflush(stdout);
  }

  static void onState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* p = static_cast<Producer*>(data);
    if (state == PW_STREAM_STATE_PAUSED && !p->streaming) {
      std::printf("node %u\n", pw_stream_get_node_id(p->stream));
    } else if (state == PW_STREAM_STATE_STREAMING) {
      p->streaming = true;
      p->full = true;
      p->pending = true;
      std::printf("streaming\n");
    } else if (state == PW_STREAM_STATE_ERROR) {
      std::fprintf(stderr, "vardel_pw_producer: stream error: %s\n", error != nullptr ? error : "");
      pw_main_loop_quit(p->loop);
    }
    if (state != PW_STREAM_STATE_STREAMING && state != PW_STREAM_STATE_ERROR) p->streaming = false;
    std::fflush(stdout);
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* p = static_cast<Producer*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) return;
    spa_video_info_raw f{};
    if (spa_format_video_raw_parse(param, &f) < 0) return;
    const int stride = static_cast<int>(f.size.width) * 4;
    std::uint8_t buffer[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[3];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(stride * static_cast<int>(f.size.height)), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
        SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * 16, sizeof(spa_meta_region) * 1,
                                 sizeof(spa_meta_region) * 16)));
#pragma GCC diagnostic pop
    pw_stream_update_params(p->stream, params, 3);
    p->full = true;
    p->pending = true;
  }

  static void onQuit(void* data, int) { pw_main_loop_quit(static_cast<Producer*>(data)->loop); }
};

}  // namespace

int main(int argc, char** argv) {
  Producer p;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--width" && i + 1 < argc) p.width = std::atoi(argv[++i]);
    else if (a == "--height" && i + 1 < argc) p.height = std::atoi(argv[++i]);
    else if (a == "--format" && i + 1 < argc) p.format = std::string(argv[++i]) == "RGBx" ? SPA_VIDEO_FORMAT_RGBx : SPA_VIDEO_FORMAT_BGRx;
    else {
      std::fprintf(stderr, "usage: vardel_pw_producer [--width W] [--height H] [--format BGRx|RGBx]\n");
      return 2;
    }
  }
  if (p.width <= 0 || p.height <= 0) return 2;
  p.image.assign(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) * 4, 0);
  p.put(0, 0, p.width, p.height, 0, 0, 0);

  pw_init(&argc, &argv);
  p.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(p.loop);
  pw_loop_add_signal(loop, SIGINT, Producer::onQuit, &p);
  pw_loop_add_signal(loop, SIGTERM, Producer::onQuit, &p);
  pw_loop_add_io(loop, STDIN_FILENO, SPA_IO_IN | SPA_IO_HUP | SPA_IO_ERR, false, Producer::onInput, &p);
  p.timer = pw_loop_add_timer(loop, Producer::onTick, &p);
  timespec first{0, 1}, every{0, 10 * 1000 * 1000};
  pw_loop_update_timer(loop, p.timer, &first, &every, false);

  pw_context* context = pw_context_new(loop, nullptr, 0);
  pw_core* core = context != nullptr ? pw_context_connect(context, nullptr, 0) : nullptr;
  if (core == nullptr) {
    std::fprintf(stderr, "vardel_pw_producer: cannot connect to PipeWire: %s\n", std::strerror(errno));
    return 1;
  }
  p.stream = pw_stream_new(core, "vardel-test-screen",
                           pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video",
                                             PW_KEY_MEDIA_CATEGORY, "Source", nullptr));
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = Producer::onState;
    e.param_changed = Producer::onParamChanged;
    e.process = Producer::onProcess;
    return e;
  }();
  pw_stream_add_listener(p.stream, &p.listener, &events, &p);
  std::uint8_t buffer[1024];
  spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[1] = {p.enumFormat(&b)};
  if (pw_stream_connect(p.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params,
                        1) < 0) {
    std::fprintf(stderr, "vardel_pw_producer: cannot connect the stream\n");
    return 1;
  }
  pw_main_loop_run(p.loop);
  pw_stream_destroy(p.stream);
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_main_loop_destroy(p.loop);
  pw_deinit();
  return 0;
}
