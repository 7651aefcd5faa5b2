// vardel_sync_source: sound whose every click is known in time, for the
// lip-sync tests and benchmark. The sound is a steady 440 Hz tone at a fifth
// of full scale, with a click (20 ms of 1 kHz at four fifths) about every
// second, so a recording shows both where each click lies and every moment
// the sound was missing.
//
//   vardel_sync_source --play [--flash X,Y,SIZE | --flash-wayland X,Y,SIZE] [--latency-ms N]
//                      [--heard-at SINK] SECONDS
//       plays into the default PulseAudio sink, clicks at 1 s + k s +
//       (k mod 5) * 7 ms of the stream. With --flash, a black square X
//       window (override-redirect, at X,Y) turns white for 200 ms at the
//       moment each click is heard, as the playback stream's timing reports
//       it: the sink's read index at the server's time stamp plus the sink's
//       latency (on PipeWire's pulse server, as PipeWire's own capture of
//       the sink's monitor times it). An X server draws it at once. With
//       --flash-wayland the square is a window of a Wayland desktop (sway:
//       floating, moved to X,Y with swaymsg), which the compositor shows at
//       its next frame: the moment it was shown comes from its frame
//       callback. --heard-at SINK (PipeWire only): a click counts as heard
//       when SINK plays it, not the default sink: the device behind a
//       default sink that delays the sound (a loopback standing in for a
//       Bluetooth headset).
//   vardel_sync_source --fifo PATH --speed S [--bursts MS,MS,...] [--flash X,Y,SIZE] SECONDS
//       a sound card with a clock of its own, for PulseAudio's pipe source:
//       writes the sound into PATH at S times the nominal rate of the steady
//       clock (1.002: 2000 ppm fast), what is due every MS milliseconds (the
//       burst lengths take turns every 10 s; default 10), with a click at
//       every whole second of the steady clock since it started; with
//       --flash, the square turns white at each of those seconds.
//
// Both take the nominal rate 48000 Hz, stereo, signed 16 bits. They ask for
// a higher priority where they may: they stand in for hardware, whose
// timing a busy machine does not disturb. --play prints "ready" once the
// sound is playing, one "click K HEARD SHOWN" line per flash (seconds on the
// steady clock: when the click was heard, when the flash was on screen), and
// "underruns=N" at the end; --fifo prints "ready" once it writes.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <pipewire/pipewire.h>
#include <pulse/pulseaudio.h>
#include <spa/param/audio/format-utils.h>
#include <xcb/xcb.h>

#include "tools/wayland_square.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr double kPi = 3.14159265358979323846;
constexpr double kToneAmplitude = 0.2, kClickAmplitude = 0.8;
constexpr std::int64_t kClickSamples = kRate / 50;  // 20 ms

std::atomic<int> gStop{0};  // lock-free: set from the signal handler
void onSignal(int) { gStop = 1; }

double seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

// Sample `n` of the sound, given where the click nearest to it starts.
std::int16_t sampleAt(std::int64_t n, std::int64_t clickStart) {
  const std::int64_t inClick = n - clickStart;
  const double v = inClick >= 0 && inClick < kClickSamples
                       ? kClickAmplitude * std::sin(2 * kPi * 1000.0 * static_cast<double>(inClick) / kRate)
                       : kToneAmplitude * std::sin(2 * kPi * 440.0 * static_cast<double>(n) / kRate);
  return static_cast<std::int16_t>(std::lround(v * 32767));
}

// --- Played, with flashes ------------------------------------------------------

// Where click k starts in the played stream.
std::int64_t playedClick(std::int64_t k) {
  return std::llround((1.0 + static_cast<double>(k) + 0.007 * static_cast<double>(k % 5)) * kRate);
}

struct Player {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  std::int64_t generated = 0;  // frames written into the stream
  std::atomic<int> underruns{0};
  bool timingDone = false;
  bool timingOk = false;

  static void signal(void* self) { pa_threaded_mainloop_signal(static_cast<Player*>(self)->loop, 0); }
  static void onContext(pa_context*, void* self) { signal(self); }
  static void onStream(pa_stream*, void* self) { signal(self); }
  static void onUnderflow(pa_stream*, void* self) { ++static_cast<Player*>(self)->underruns; }
  static void onWrite(pa_stream* s, std::size_t bytes, void* self) {
    auto* p = static_cast<Player*>(self);
    const auto frames = static_cast<std::int64_t>(bytes / (kChannels * sizeof(std::int16_t)));
    std::vector<std::int16_t> buf(static_cast<std::size_t>(frames * kChannels));
    for (std::int64_t i = 0; i < frames; ++i) {
      const std::int64_t n = p->generated + i;
      // The last click that starts at or before n (they are about a second apart).
      const std::int64_t k = std::max<std::int64_t>(0, n / kRate - 1);
      const std::int64_t start = playedClick(k + 1) <= n ? playedClick(k + 1) : playedClick(k);
      const std::int16_t v = sampleAt(n, start);
      for (int c = 0; c < kChannels; ++c) buf[static_cast<std::size_t>(i * kChannels + c)] = v;
    }
    pa_stream_write(s, buf.data(), buf.size() * sizeof(std::int16_t), nullptr, 0, PA_SEEK_RELATIVE);
    p->generated += frames;
  }
  std::string serverName;
  static void onServerInfo(pa_context*, const pa_server_info* i, void* self) {
    auto* p = static_cast<Player*>(self);
    if (i != nullptr && i->server_name != nullptr) p->serverName = i->server_name;
    signal(self);
  }
  static void onTiming(pa_stream*, int success, void* self) {
    auto* p = static_cast<Player*>(self);
    p->timingOk = success != 0;
    p->timingDone = true;
    signal(self);
  }

  bool open(int latencyMs) {
    loop = pa_threaded_mainloop_new();
    context = pa_context_new(pa_threaded_mainloop_get_api(loop), "vardel_sync_source");
    pa_context_set_state_callback(context, &Player::onContext, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0 || pa_threaded_mainloop_start(loop) < 0)
      return false;
    pa_threaded_mainloop_lock(loop);
    while (pa_context_get_state(context) != PA_CONTEXT_READY) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) return pa_threaded_mainloop_unlock(loop), false;
      pa_threaded_mainloop_wait(loop);
    }
    if (pa_operation* o = pa_context_get_server_info(context, &Player::onServerInfo, this)) {
      while (pa_operation_get_state(o) == PA_OPERATION_RUNNING) pa_threaded_mainloop_wait(loop);
      pa_operation_unref(o);
    }
    const pa_sample_spec spec{PA_SAMPLE_S16LE, kRate, kChannels};
    stream = pa_stream_new(context, "clicks", &spec, nullptr);
    pa_stream_set_state_callback(stream, &Player::onStream, this);
    pa_stream_set_write_callback(stream, &Player::onWrite, this);
    pa_stream_set_underflow_callback(stream, &Player::onUnderflow, this);
    pa_buffer_attr attr{};
    attr.maxlength = attr.prebuf = attr.minreq = attr.fragsize = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(kRate * latencyMs / 1000 * kChannels * 2);
    pa_stream_connect_playback(stream, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr);
    while (pa_stream_get_state(stream) != PA_STREAM_READY) {
      if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) return pa_threaded_mainloop_unlock(loop), false;
      pa_threaded_mainloop_wait(loop);
    }
    pa_threaded_mainloop_unlock(loop);
    return true;
  }

  // When stream frame `n` is heard, from a fresh timing reading; false when
  // the server gives none.
  bool heardAt(std::int64_t n, Clock::time_point& at) {
    pa_threaded_mainloop_lock(loop);
    timingDone = false;
    if (pa_operation* o = pa_stream_update_timing_info(stream, &Player::onTiming, this)) pa_operation_unref(o);
    while (!timingDone) pa_threaded_mainloop_wait(loop);
    const pa_timing_info* i = timingOk ? pa_stream_get_timing_info(stream) : nullptr;
    const bool ok = i != nullptr && !i->read_index_corrupt;
    if (ok) {
      // The sink has taken frames up to read_index; the last of them is
      // heard once the sink's latency has passed since the server's snapshot.
      const double readFrames = static_cast<double>(i->read_index) / (kChannels * 2);
      const double offset = (static_cast<double>(i->sink_usec) - static_cast<double>(i->transport_usec)) / 1e6 +
                            (static_cast<double>(n) - readFrames) / kRate;
      at = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(offset));
    }
    pa_threaded_mainloop_unlock(loop);
    return ok;
  }
};

// PipeWire's pulse server answers a latency query with its last cycle's
// figures and leaves out the buffer already queued in the stream, so a click
// timed from its answer would be flashed some 20 to 40 ms before the sink
// plays it. On that server the clicks are timed by PipeWire itself: a
// capture of the default sink's monitor, whose every buffer carries the time
// of the graph cycle in which the sink played it.
class SinkMonitor {
 public:
  ~SinkMonitor() {
    if (loop_ != nullptr) pw_thread_loop_stop(loop_);
    if (stream_ != nullptr) pw_stream_destroy(stream_);
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
  }
  // `sink`: whose monitor; empty for the default sink's.
  bool open(const std::string& sink) {
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("vardel-sync-monitor", nullptr);
    if (loop_ == nullptr) return false;
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_STREAM_CAPTURE_SINK, "true", nullptr);
    if (!sink.empty()) pw_properties_set(props, PW_KEY_TARGET_OBJECT, sink.c_str());
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.process = &SinkMonitor::onProcess;
      return e;
    }();
    stream_ = pw_stream_new_simple(pw_thread_loop_get_loop(loop_), "vardel_sync_source monitor", props, &events, this);
    if (stream_ == nullptr) return false;
    std::uint8_t buffer[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_audio_info_raw raw{};
    raw.format = SPA_AUDIO_FORMAT_F32;
    raw.rate = kRate;
    raw.channels = kChannels;
    const spa_pod* params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &raw)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) == 0 &&
           pw_thread_loop_start(loop_) == 0;
  }
  // When the next click not yet taken was played; false when none came by
  // the deadline.
  bool next(Clock::time_point deadline, Clock::time_point& at) {
    std::unique_lock lock(m_);
    if (!cv_.wait_until(lock, deadline, [&] { return !onsets_.empty(); })) return false;
    at = onsets_.front();
    onsets_.pop_front();
    return true;
  }

 private:
  // A click starts where the sound rises above the tone's level after half a
  // second below it (the click itself crosses zero).
  static void onProcess(void* self) {
    auto* m = static_cast<SinkMonitor*>(self);
    pw_buffer* b = pw_stream_dequeue_buffer(m->stream_);
    if (b == nullptr) return;
    const spa_data& d = b->buffer->datas[0];
    pw_time t{};
    pw_stream_get_time_n(m->stream_, &t, sizeof t);
    if (d.data != nullptr && d.chunk != nullptr) {
      const auto* v = static_cast<const float*>(SPA_PTROFF(d.data, d.chunk->offset, void));
      const std::uint32_t frames = d.chunk->size / (sizeof(float) * kChannels);
      for (std::uint32_t i = 0; i < frames; ++i) {
        if (std::abs(v[i * kChannels]) <= 0.5f) {
          ++m->quiet_;
          continue;
        }
        if (m->quiet_ >= kRate / 2) {
          const Clock::time_point at{std::chrono::nanoseconds(t.now + std::int64_t{i} * 1'000'000'000 / kRate)};
          std::lock_guard lock(m->m_);
          m->onsets_.push_back(at);
          m->cv_.notify_one();
        }
        m->quiet_ = 0;
      }
    }
    pw_stream_queue_buffer(m->stream_, b);
  }

  pw_thread_loop* loop_ = nullptr;
  pw_stream* stream_ = nullptr;
  std::int64_t quiet_ = 0;  // touched by PipeWire's thread only
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Clock::time_point> onsets_;
};

// The flashing square: paint() turns it white or black and returns when the
// screen showed it.
class Square {
 public:
  virtual ~Square() = default;
  virtual Clock::time_point paint(bool white) = 0;
};

// On an X display: drawn at once, shown once the server has done it.
class XSquare final : public Square {
 public:
  bool open(int x, int y, int size) {
    c_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c_)) return false;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    white_ = screen->white_pixel;
    black_ = screen->black_pixel;
    win_ = xcb_generate_id(c_);
    const std::uint32_t values[] = {black_, 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, win_, screen->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(size),
                      0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_, win_);
    sync();
    return !xcb_connection_has_error(c_);
  }
  ~XSquare() override {
    if (c_ != nullptr) xcb_disconnect(c_);
  }
  Clock::time_point paint(bool white) override {
    const std::uint32_t pixel = white ? white_ : black_;
    xcb_change_window_attributes(c_, win_, XCB_CW_BACK_PIXEL, &pixel);
    xcb_clear_area(c_, 0, win_, 0, 0, 0, 0);
    sync();
    return Clock::now();
  }

 private:
  // Returns once the X server has done everything asked so far.
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }
  xcb_connection_t* c_ = nullptr;
  xcb_window_t win_ = 0;
  std::uint32_t white_ = 0, black_ = 0;
};

// On a Wayland desktop: shown at the compositor's next frame.
class WlSquare final : public Square {
 public:
  explicit WlSquare(std::unique_ptr<sync_tool::WaylandSquare> w) : w_(std::move(w)) {}
  Clock::time_point paint(bool white) override { return w_->paint(white); }

 private:
  std::unique_ptr<sync_tool::WaylandSquare> w_;
};

enum class Flash { None, X11, Wayland };
struct Place {
  int x = 0, y = 0, size = 0;
};

// The square asked for, or nullptr (also when none is: check `flash`).
std::unique_ptr<Square> openSquare(Flash flash, Place at) {
  if (flash == Flash::X11) {
    auto sq = std::make_unique<XSquare>();
    if (sq->open(at.x, at.y, at.size)) return sq;
    std::fprintf(stderr, "vardel_sync_source: cannot open the X window\n");
  } else if (flash == Flash::Wayland) {
    std::string why;
    if (auto w = sync_tool::WaylandSquare::open(at.x, at.y, at.size, why)) return std::make_unique<WlSquare>(std::move(w));
    std::fprintf(stderr, "vardel_sync_source: cannot open the Wayland window: %s\n", why.c_str());
  }
  return nullptr;
}

// Flashes the square for a click heard at `heard` and says so.
void flashFor(Square& square, std::int64_t k, Clock::time_point heard) {
  std::this_thread::sleep_until(heard);
  const Clock::time_point shown = square.paint(true);
  std::printf("click %lld %.6f %.6f\n", static_cast<long long>(k), seconds(heard), seconds(shown));
  std::fflush(stdout);
  std::this_thread::sleep_until(heard + std::chrono::milliseconds(200));
  square.paint(false);
}

int play(double duration, int latencyMs, Flash flash, Place place, const std::string& heardAt) {
  Player player;
  if (!player.open(latencyMs)) {
    std::fprintf(stderr, "vardel_sync_source: cannot play into the default sink (%s)\n",
                 player.context != nullptr ? pa_strerror(pa_context_errno(player.context)) : "no memory");
    return 1;
  }
  std::unique_ptr<Square> square = openSquare(flash, place);
  if (flash != Flash::None && !square) return 1;
  std::unique_ptr<SinkMonitor> monitor;
  if (square && player.serverName.find("PipeWire") != std::string::npos) {
    monitor = std::make_unique<SinkMonitor>();
    if (!monitor->open(heardAt)) {
      std::fprintf(stderr, "vardel_sync_source: cannot capture the sink's monitor through PipeWire\n");
      return 1;
    }
  }
  std::printf("ready\n");
  std::fflush(stdout);
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(duration));
  std::int64_t k = 0;
  while (!gStop && Clock::now() < end) {
    Clock::time_point at;
    if (monitor) {
      if (monitor->next(Clock::now() + std::chrono::milliseconds(200), at)) flashFor(*square, k++, at);
      continue;
    }
    if (!square || !player.heardAt(playedClick(k), at)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    // The reading nearest the moment is the best: wait in steps until close.
    if (at - Clock::now() > std::chrono::milliseconds(40)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    flashFor(*square, k++, at);
  }
  std::printf("underruns=%d\n", player.underruns.load());
  std::fflush(stdout);
  return 0;
}

// --- A sound card of its own, into a FIFO ---------------------------------------

int feed(const char* path, double speed, const std::vector<int>& burstsMs, double duration, Flash flash,
         Place place) {
  std::unique_ptr<Square> square = openSquare(flash, place);
  if (flash != Flash::None && !square) return 1;
  const int fd = ::open(path, O_WRONLY);
  if (fd < 0) {
    std::fprintf(stderr, "vardel_sync_source: cannot open %s\n", path);
    return 1;
  }
  const double real = kRate * speed;  // frames the card makes per second of the steady clock
  const auto start = Clock::now();
  // The flashes keep the steady clock's seconds, whatever the writes do.
  std::thread flasher;
  if (square)
    flasher = std::thread([&] {
      for (int k = 1; !gStop && k < duration; ++k) flashFor(*square, k, start + std::chrono::seconds(k));
    });
  std::int64_t written = 0;
  std::vector<std::int16_t> buf;
  bool announced = false;
  auto next = start;
  while (!gStop) {
    const double now = std::chrono::duration<double>(Clock::now() - start).count();
    if (now >= duration) break;
    const auto due = static_cast<std::int64_t>(now * real);
    buf.clear();
    for (std::int64_t n = written; n < due; ++n) {
      // Sample n is made at n / real seconds; a click starts at each whole second.
      const std::int16_t v = sampleAt(n, std::llround(std::round(static_cast<double>(n) / real) * real));
      for (int c = 0; c < kChannels; ++c) buf.push_back(v);
    }
    const auto* p = reinterpret_cast<const char*>(buf.data());
    std::size_t left = buf.size() * sizeof(std::int16_t);
    while (left > 0) {
      const ssize_t w = ::write(fd, p, left);
      if (w < 0) {
        std::fprintf(stderr, "vardel_sync_source: writing %s failed\n", path);
        return 1;
      }
      p += w;
      left -= static_cast<std::size_t>(w);
    }
    written = due;
    if (!announced) {
      std::printf("ready\n");
      std::fflush(stdout);
      announced = true;
    }
    const int burst = burstsMs[static_cast<std::size_t>(now / 10) % burstsMs.size()];
    next += std::chrono::milliseconds(burst);
    std::this_thread::sleep_until(next);
  }
  gStop = 1;
  if (flasher.joinable()) flasher.join();
  ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  bool playMode = false;
  Flash flash = Flash::None;
  Place at;
  std::string fifo;
  double speed = 1.0, duration = -1;
  int latencyMs = 50;
  std::string heardAt;
  std::vector<int> bursts{10};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--play") {
      playMode = true;
    } else if ((a == "--flash" || a == "--flash-wayland") && more) {
      if (std::sscanf(argv[++i], "%d,%d,%d", &at.x, &at.y, &at.size) != 3 || at.size <= 0) {
        std::fprintf(stderr, "vardel_sync_source: %s wants X,Y,SIZE\n", a.c_str());
        return 2;
      }
      flash = a == "--flash" ? Flash::X11 : Flash::Wayland;
    } else if (a == "--latency-ms" && more) {
      latencyMs = std::atoi(argv[++i]);
    } else if (a == "--heard-at" && more) {
      heardAt = argv[++i];
    } else if (a == "--fifo" && more) {
      fifo = argv[++i];
    } else if (a == "--speed" && more) {
      speed = std::atof(argv[++i]);
    } else if (a == "--bursts" && more) {
      bursts.clear();
      for (char* s = argv[++i]; *s != '\0';) {
        bursts.push_back(static_cast<int>(std::strtol(s, &s, 10)));
        if (*s == ',') ++s;
      }
    } else if (a[0] != '-') {
      duration = std::atof(a.c_str());
    } else {
      std::fprintf(stderr, "vardel_sync_source: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (duration <= 0 || playMode == !fifo.empty() || bursts.empty()) {
    std::fprintf(stderr, "usage: vardel_sync_source --play [--flash X,Y,SIZE] [--latency-ms N] SECONDS\n"
                         "       vardel_sync_source --fifo PATH --speed S [--bursts MS,...] [--flash X,Y,SIZE] SECONDS\n"
                         "       (--flash-wayland X,Y,SIZE in place of --flash on a Wayland desktop)\n");
    return 2;
  }
  setpriority(PRIO_PROCESS, 0, -10);  // where allowed; see above
  return playMode ? play(duration, latencyMs, flash, at, heardAt) : feed(fifo.c_str(), speed, bursts, duration, flash, at);
}
