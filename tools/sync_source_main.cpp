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
//   vardel_sync_source --pw-card NAME --speed S [--bursts MS,MS,...] [--flash X,Y,SIZE] SECONDS
//       the same card on PipeWire, whose pipe source has no clock of its own
//       (it reads the pipe at the pace of whatever drives its graph): a
//       source node NAME that drives its graph itself, as a USB sound card
//       does. Its timer wakes every MS milliseconds as above and runs one
//       graph cycle after another for the frames made since, each stamped
//       with the moment the card made them, so the nodes that follow it
//       see 48000 * S frames a second.
//
// All take the nominal rate 48000 Hz, stereo, signed 16 bits. They ask for
// a higher priority where they may: they stand in for hardware, whose
// timing a busy machine does not disturb. --play prints "ready" once the
// sound is playing, one "click K HEARD SHOWN" line per flash (seconds on the
// steady clock: when the click was heard, when the flash was on screen), and
// "underruns=N" at the end; on PipeWire, before that, one "played_hole FROM
// SECONDS" line for every stretch of 6 ms or more that the sink itself
// played without the tone (its graph lost a cycle of the player's sound), as
// its monitor shows. --fifo and --pw-card print "ready" once they deliver.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
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
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <pipewire/pipewire.h>
#include <pulse/pulseaudio.h>
#include <spa/node/io.h>
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

// Sample `n` of the card's sound, the card making `real` frames a second of
// the steady clock: sample n is made at n / real seconds, and a click starts
// at each whole second.
std::int16_t cardSample(std::int64_t n, double real) {
  return sampleAt(n, std::llround(std::round(static_cast<double>(n) / real) * real));
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

// The format of this tool's PipeWire streams: the nominal rate, stereo.
const spa_pod* streamFormat(spa_pod_builder& b, spa_audio_format format) {
  spa_audio_info_raw raw{};
  raw.format = format;
  raw.rate = kRate;
  raw.channels = kChannels;
  raw.position[0] = SPA_AUDIO_CHANNEL_FL;
  raw.position[1] = SPA_AUDIO_CHANNEL_FR;
  return spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &raw);
}

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
    const spa_pod* params[] = {streamFormat(b, SPA_AUDIO_FORMAT_F32)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) == 0 &&
           pw_thread_loop_start(loop_) == 0;
  }
  // The stretches the sink played without the tone so far: when each began
  // (steady clock) and how long it was, in seconds.
  std::vector<std::pair<double, double>> holes() {
    std::lock_guard lock(m_);
    return holes_;
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
  // second below it (the click itself crosses zero). The tone is gone where
  // no sample rises above a twentieth of full scale for 6 ms.
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
        const std::int64_t at = t.now + std::int64_t{i} * 1'000'000'000 / kRate;
        if (std::abs(v[i * kChannels]) < 0.05f) {
          if (m->silentSince_ < 0) m->silentSince_ = at;
        } else if (m->silentSince_ >= 0) {
          if (at - m->silentSince_ >= 6'000'000) {
            std::lock_guard lock(m->m_);
            m->holes_.emplace_back(static_cast<double>(m->silentSince_) / 1e9,
                                   static_cast<double>(at - m->silentSince_) / 1e9);
          }
          m->silentSince_ = -1;
        }
        if (std::abs(v[i * kChannels]) <= 0.5f) {
          ++m->quiet_;
          continue;
        }
        if (m->quiet_ >= kRate / 2) {
          std::lock_guard lock(m->m_);
          m->onsets_.push_back(Clock::time_point{std::chrono::nanoseconds(at)});
          m->cv_.notify_one();
        }
        m->quiet_ = 0;
      }
    }
    pw_stream_queue_buffer(m->stream_, b);
  }

  pw_thread_loop* loop_ = nullptr;
  pw_stream* stream_ = nullptr;
  std::int64_t quiet_ = 0;         // touched by PipeWire's thread only
  std::int64_t silentSince_ = -1;  // likewise: ns, while the tone is gone
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Clock::time_point> onsets_;
  std::vector<std::pair<double, double>> holes_;
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
  if (monitor)
    for (const auto& [from, length] : monitor->holes()) std::printf("played_hole %.6f %.6f\n", from, length);
  std::printf("underruns=%d\n", player.underruns.load());
  std::fflush(stdout);
  return 0;
}

// --- A sound card of its own, into a FIFO ---------------------------------------

// The card's flashes keep the steady clock's seconds since `start`, whatever
// the sound does; none without a square.
std::thread flashSeconds(Square* square, Clock::time_point start, double duration) {
  if (square == nullptr) return {};
  return std::thread([=] {
    for (int k = 1; !gStop && k < duration; ++k) flashFor(*square, k, start + std::chrono::seconds(k));
  });
}

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
  std::thread flasher = flashSeconds(square.get(), start, duration);
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
      const std::int16_t v = cardSample(n, real);
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


// --- The same card as a PipeWire node that drives its graph ---------------------

constexpr int kFrameBytes = kChannels * static_cast<int>(sizeof(std::int16_t));

std::int64_t monotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);  // the steady clock's own
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// A source node that is the driver of its graph: its timer wakes in the
// bursts asked for, and for every quantum of frames the card has made since
// it runs one graph cycle (the next only once the last is done). The cycle's
// clock says when the card made the frame after the cycle's buffer, so a
// node that follows it times every buffer as the card made it, however late
// the burst delivered it.
//
// Threads: the main loop (this thread) paces the cycles; PipeWire's data
// thread fills the buffers and the clock. made_ and quantum_ pass between
// them.
class PwCard {
 public:
  PwCard(double speed, std::vector<int> burstsMs, double duration)
      : speed_(speed), real_(kRate * speed), bursts_(std::move(burstsMs)), duration_(duration) {}
  ~PwCard() {
    if (stream_ != nullptr) pw_stream_destroy(stream_);
    if (registry_ != nullptr) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    if (core_ != nullptr) pw_core_disconnect(core_);
    if (timer_ != nullptr) pw_loop_destroy_source(pw_main_loop_get_loop(loop_), timer_);
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) pw_main_loop_destroy(loop_);
  }

  bool open(const std::string& name) {
    pw_init(nullptr, nullptr);
    loop_ = pw_main_loop_new(nullptr);
    if (loop_ == nullptr) return false;
    pw_loop* loop = pw_main_loop_get_loop(loop_);
    // client-rt.conf: module-rt makes the data thread real-time where it
    // may, as a sound card's interrupt is not held up by a busy machine.
    context_ = pw_context_new(loop, pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (context_ == nullptr) return false;
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) return false;
    // The links from the card, to hear when a follower comes or goes.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_ == nullptr) return false;
    static const pw_registry_events registryEvents = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global = &PwCard::onGlobal;
      e.global_remove = &PwCard::onGlobalRemove;
      return e;
    }();
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
#pragma GCC diagnostic pop
    timer_ = pw_loop_add_timer(loop, &PwCard::onTimer, this);
    // A driver whose quantum (and rate) stay as they are when a follower
    // joins: the frames of a cycle are counted when it starts, so a quantum
    // changed under a running cycle would put its clock off its frames.
    // priority.driver as an ALSA card's: it drives the graph of whatever
    // links to it.
    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS, "Audio/Source",
        PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_DESCRIPTION, "vardel_sync_source card", PW_KEY_NODE_LATENCY,
        "1024/48000", PW_KEY_NODE_RATE, "1/48000", PW_KEY_NODE_LOCK_QUANTUM, "true", PW_KEY_PRIORITY_DRIVER, "2000",
        nullptr);
    stream_ = pw_stream_new(core_, "vardel_sync_source card", props);
    if (timer_ == nullptr || stream_ == nullptr) return false;
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &PwCard::onStateChanged;
      e.io_changed = &PwCard::onIoChanged;
      e.process = &PwCard::onProcess;
      e.trigger_done = &PwCard::onTriggerDone;
      return e;
    }();
    pw_stream_add_listener(stream_, &listener_, &events, this);
    std::uint8_t buffer[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {streamFormat(b, SPA_AUDIO_FORMAT_S16)};
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) == 0;
  }

  // Runs the card until its time is up or it is told to stop.
  void run(Clock::time_point start) {
    // This thread paces the cycles and hears of their end: real-time where
    // it may (below PipeWire's data threads), or a busy machine holds a
    // burst's cycles up behind everything else.
    sched_param sp{};
    sp.sched_priority = 70;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    startNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()).count();
    nextWakeNs_ = startNs_;
    armTimer();
    pw_main_loop_run(loop_);
  }

 private:
  // When the card makes frame n.
  std::int64_t madeAtNs(std::int64_t n) const {
    return startNs_ + static_cast<std::int64_t>(std::llround(static_cast<double>(n) * 1e9 / real_));
  }
  int burstMs(std::int64_t nowNs) const {
    const auto tens = static_cast<std::size_t>((nowNs - startNs_) / 10'000'000'000);
    return bursts_[tens % bursts_.size()];
  }
  void armTimer() {
    timespec at{};
    at.tv_sec = static_cast<time_t>(nextWakeNs_ / 1'000'000'000);
    at.tv_nsec = static_cast<long>(nextWakeNs_ % 1'000'000'000);
    pw_loop_update_timer(pw_main_loop_get_loop(loop_), timer_, &at, nullptr, true);
  }

  // The next cycle, when the card has made all of its frames and the last
  // cycle is done.
  void triggerIfDue() {
    if (inCycle_ || !streaming_ || !pw_stream_is_driving(stream_)) return;
    const std::int64_t made = made_.load(std::memory_order_acquire);
    if (madeAtNs(made + quantum_.load(std::memory_order_relaxed)) > monotonicNs()) return;
    inCycle_ = true;
    cycleSinceNs_ = monotonicNs();
    pw_stream_trigger_process(stream_);
  }

  static void onTimer(void* self, std::uint64_t) {
    auto* c = static_cast<PwCard*>(self);
    const std::int64_t now = monotonicNs();
    if (gStop || now - c->startNs_ >= static_cast<std::int64_t>(c->duration_ * 1e9)) {
      pw_main_loop_quit(c->loop_);
      return;
    }
    if (!c->driverSaid_ && c->streaming_ && !pw_stream_is_driving(c->stream_)) {
      std::fprintf(stderr, "vardel_sync_source: the card is not the driver of its graph\n");
      c->driverSaid_ = true;
    }
    // A follower that joins or leaves while a cycle runs can leave that
    // cycle unfinished for good (the driver hears of a cycle's end from the
    // followers it started), and waiting for it would stop the card. A slow
    // cycle must not be taken for one: moving on while followers still run
    // loses them a quantum, and on this machine one core may stand still for
    // a tenth of a second while the other runs. So a cycle counts as stuck
    // after a second, which no cycle takes; or, begun right after a link to
    // the card came or went, after a few quanta. The card then moves on as a
    // sound card's next period would, and PipeWire ends the old cycle as the
    // next one starts.
    const double quantumNs = 1e9 * static_cast<double>(c->quantum_.load(std::memory_order_relaxed)) / c->real_;
    const bool afterChange = c->cycleSinceNs_ - c->linksChangedNs_ < kChangeNs;
    const double patienceNs = afterChange ? kQuantaAfterChange * quantumNs : 1e9;
    if (c->inCycle_ && static_cast<double>(now - c->cycleSinceNs_) > patienceNs) {
      std::fprintf(stderr, "vardel_sync_source: the graph cycle started at %.3f s did not finish%s\n",
                   static_cast<double>(c->cycleSinceNs_ - c->startNs_) / 1e9,
                   afterChange ? " (a link to the card had just come or gone)" : "");
      c->inCycle_ = false;
    }
    c->nextWakeNs_ += std::int64_t{c->burstMs(now)} * 1'000'000;
    if (c->nextWakeNs_ < now) c->nextWakeNs_ = now;  // held up: the next burst from here
    c->armTimer();
    c->triggerIfDue();
  }

  static void onGlobal(void* self, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                       const spa_dict* props) {
    auto* c = static_cast<PwCard*>(self);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) != 0 || props == nullptr) return;
    const char* out = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
    if (out == nullptr || std::strtoul(out, nullptr, 10) != pw_stream_get_node_id(c->stream_)) return;
    c->links_.push_back(id);
    c->linksChangedNs_ = monotonicNs();
  }
  static void onGlobalRemove(void* self, std::uint32_t id) {
    auto* c = static_cast<PwCard*>(self);
    if (std::erase(c->links_, id) > 0) c->linksChangedNs_ = monotonicNs();
  }

  static void onTriggerDone(void* self) {
    auto* c = static_cast<PwCard*>(self);
    c->inCycle_ = false;
    if (!c->announced_) {
      std::printf("ready\n");
      std::fflush(stdout);
      c->announced_ = true;
    }
    c->triggerIfDue();  // the rest of this burst, one cycle after another
  }

  static void onStateChanged(void* self, pw_stream_state, pw_stream_state state, const char* error) {
    auto* c = static_cast<PwCard*>(self);
    c->streaming_ = state == PW_STREAM_STATE_STREAMING;
    if (!c->streaming_) c->inCycle_ = false;
    if (state == PW_STREAM_STATE_ERROR) {
      std::fprintf(stderr, "vardel_sync_source: the card's stream failed: %s\n", error != nullptr ? error : "");
      pw_main_loop_quit(c->loop_);
    }
  }

  // The clock block comes on the main loop and is used on the data thread:
  // handed over there, as the stream hands over its position.
  static int setClock(spa_loop*, bool, std::uint32_t, const void* data, std::size_t, void* self) {
    static_cast<PwCard*>(self)->clock_ = *static_cast<spa_io_clock* const*>(data);
    return 0;
  }
  static void onIoChanged(void* self, std::uint32_t id, void* area, std::uint32_t size) {
    if (id != SPA_IO_Clock) return;
    auto* c = static_cast<PwCard*>(self);
    spa_io_clock* clock = area != nullptr && size >= sizeof(spa_io_clock) ? static_cast<spa_io_clock*>(area) : nullptr;
    pw_data_loop_invoke(pw_context_get_data_loop(c->context_), &PwCard::setClock, 0, &clock, sizeof clock, true, c);
  }

  // On the data thread, at the start of each cycle: a quantum of the card's
  // frames, and the clock that times them.
  static void onProcess(void* self) {
    auto* c = static_cast<PwCard*>(self);
    pw_buffer* b = pw_stream_dequeue_buffer(c->stream_);
    if (b == nullptr) return;
    spa_data& d = b->buffer->datas[0];
    spa_io_clock* clock = c->clock_;
    const bool driving = clock != nullptr && pw_stream_is_driving(c->stream_);
    std::uint64_t frames = driving && clock->duration > 0 ? clock->duration : (b->requested > 0 ? b->requested : 1024);
    frames = std::min<std::uint64_t>(frames, d.maxsize / kFrameBytes);
    if (d.data == nullptr || frames == 0) {
      pw_stream_queue_buffer(c->stream_, b);
      return;
    }
    const std::int64_t made = c->made_.load(std::memory_order_relaxed);
    auto* out = static_cast<std::int16_t*>(d.data);
    for (std::uint64_t i = 0; i < frames; ++i) {
      const std::int16_t v = cardSample(made + static_cast<std::int64_t>(i), c->real_);
      for (int ch = 0; ch < kChannels; ++ch) out[i * kChannels + static_cast<std::uint64_t>(ch)] = v;
    }
    d.chunk->offset = 0;
    d.chunk->stride = kFrameBytes;
    d.chunk->size = static_cast<std::uint32_t>(frames * kFrameBytes);
    const auto n = static_cast<std::int64_t>(frames);
    if (driving) {
      // What the graph's nodes read of the cycle (pw_stream_get_time_n's
      // now is nsec): the moment the frame after this buffer is made, no
      // delay beyond it; rate_diff as an ALSA driver gives it, the card's
      // frames per nominal frame of the monotonic clock.
      clock->nsec = static_cast<std::uint64_t>(c->madeAtNs(made + n));
      clock->position = static_cast<std::uint64_t>(made);
      clock->duration = frames;
      clock->delay = 0;
      clock->rate_diff = c->speed_;
      clock->next_nsec = static_cast<std::uint64_t>(c->madeAtNs(made + 2 * n));
      c->quantum_.store(n, std::memory_order_relaxed);
    }
    c->made_.store(made + n, std::memory_order_release);
    pw_stream_queue_buffer(c->stream_, b);
  }

  const double speed_, real_;
  const std::vector<int> bursts_;
  const double duration_;
  pw_main_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_source* timer_ = nullptr;
  pw_registry* registry_ = nullptr;
  spa_hook listener_{}, registryListener_{};
  // A cycle that began this soon after a link to the card came or went is
  // stuck after this many quanta.
  static constexpr std::int64_t kChangeNs = 1'000'000'000;
  static constexpr double kQuantaAfterChange = 4;
  std::int64_t startNs_ = 0, nextWakeNs_ = 0, cycleSinceNs_ = 0;  // main loop
  std::int64_t linksChangedNs_ = std::numeric_limits<std::int64_t>::min() / 2;  // main loop
  std::vector<std::uint32_t> links_;  // main loop: the links from the card
  bool streaming_ = false, inCycle_ = false, announced_ = false, driverSaid_ = false;  // main loop
  spa_io_clock* clock_ = nullptr;  // data thread
  std::atomic<std::int64_t> made_{0};  // frames made into buffers so far
  std::atomic<std::int64_t> quantum_{1024};  // frames of the last cycle
};

int card(const std::string& name, double speed, const std::vector<int>& burstsMs, double duration, Flash flash,
         Place place) {
  std::unique_ptr<Square> square = openSquare(flash, place);
  if (flash != Flash::None && !square) return 1;
  PwCard card(speed, burstsMs, duration);
  if (!card.open(name)) {
    std::fprintf(stderr, "vardel_sync_source: cannot make the PipeWire node %s\n", name.c_str());
    return 1;
  }
  const auto start = Clock::now();
  std::thread flasher = flashSeconds(square.get(), start, duration);
  card.run(start);
  gStop = 1;
  if (flasher.joinable()) flasher.join();
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  bool playMode = false;
  Flash flash = Flash::None;
  Place at;
  std::string fifo, pwCard;
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
    } else if (a == "--pw-card" && more) {
      pwCard = argv[++i];
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
  const int modes = int{playMode} + int{!fifo.empty()} + int{!pwCard.empty()};
  if (duration <= 0 || modes != 1 || bursts.empty()) {
    std::fprintf(stderr, "usage: vardel_sync_source --play [--flash X,Y,SIZE] [--latency-ms N] SECONDS\n"
                         "       vardel_sync_source --fifo PATH --speed S [--bursts MS,...] [--flash X,Y,SIZE] SECONDS\n"
                         "       vardel_sync_source --pw-card NAME --speed S [--bursts MS,...] [--flash X,Y,SIZE] SECONDS\n"
                         "       (--flash-wayland X,Y,SIZE in place of --flash on a Wayland desktop)\n");
    return 2;
  }
  setpriority(PRIO_PROCESS, 0, -10);  // where allowed; see above
  if (playMode) return play(duration, latencyMs, flash, at, heardAt);
  if (!pwCard.empty()) return card(pwCard, speed, bursts, duration, flash, at);
  return feed(fifo.c_str(), speed, bursts, duration, flash, at);
}
