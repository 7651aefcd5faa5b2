// Lip sync as a viewer gets it: real minute-long recordings of a busy screen
// with sound, through the same engine and settings as the recorder (the
// high profile: 30 fps, 48 kHz), decoded as a player presents them.
//   - Flashes and clicks: tools/sync_source_main.cpp plays a tone with a
//     click every second into the null sink whose monitor is recorded, and
//     turns a square of the screen white the moment each click is heard.
//     Each click must lie within -45..+60 ms of its flash, from the first
//     second to the last, in .wmv and .mp4.
//   - With both cores busy, the same sound through the null sink, and a
//     sound card with a clock of its own (the same tool 2000 ppm fast or
//     slow, in bursts of 5, 20 and 50 ms: on PulseAudio feeding its pipe
//     source, on PipeWire as a source node that drives its graph): the
//     clicks keep their spacing, the null sink's within 3 ms and what the
//     recorder's speed correction adds, the card's within 3 ms and on a
//     line of slope 1 after 5 s.
// In every recording the tone never drops out (no 6 ms near silence
// between the first picture and the last), and the engine says it put in
// no silence and left out no sample; but for what no recorder could keep,
// on PipeWire: a hole the sink itself played (the player's capture of the
// sink's monitor shows it), or a graph cycle lost while a core of this
// virtual machine ran nothing at all (a real-time watch on every core
// shows it).
// Needs an X display and a PulseAudio server: scripts/test-session.sh, or
// scripts/wayland-session.sh for the flashes through the ScreenCast portal
// and the sound through PipeWire (--x11: an X session on PipeWire).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "components/encoder/tests/e2e_support.h"

using namespace e2e;
namespace fs = std::filesystem;

namespace {

constexpr double kSeconds = 60;
constexpr double kFrame = 1.0 / 30;  // the high profile's frame period
constexpr double kRate = 48000;      // and its sample rate
const Square kSquare;

std::string squareArg() {
  return std::to_string(kSquare.x) + "," + std::to_string(kSquare.y) + "," + std::to_string(kSquare.size);
}

// "name=value" lines, as vardel_record --figures prints them.
std::map<std::string, std::string> figuresOf(const std::string& text) {
  std::map<std::string, std::string> f;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (const auto eq = line.find('='); eq != std::string::npos) f[line.substr(0, eq)] = line.substr(eq + 1);
  return f;
}

// Whether the session's sound server is PipeWire (its pulse server says so).
bool onPipeWire() {
  static const bool yes = run("LC_ALL=C pactl info | grep -q 'Server Name: .*PipeWire'") == 0;
  return yes;
}

// Keeps both cores busy for as long as it lives.
struct BusyCores {
  std::vector<Child> spinners;
  BusyCores() {
    for (int i = 0; i < 2; ++i)
      spinners.emplace_back(std::vector<std::string>{"sh", "-c", "while :; do :; done"}, "/dev/null");
  }
};

std::string describe(const std::vector<Hole>& holes) {
  std::ostringstream s;
  for (const Hole& h : holes) s << " " << h.seconds * 1000 << " ms at " << h.at << " s;";
  return s.str();
}

// The longest graph cycle of these sessions' sound servers (2048 frames).
constexpr double kCycle = 2048 / kRate;

// Takes out of `holes` those that a stand-still of the machine explains,
// and returns them: one that ended at most two cycles before the hole
// began, or within it, and that was long enough to lose it (the hole no
// longer than the stand-still and two cycles: the one it fell in and the
// next). `start`: the steady clock's time of the first picture, at `first`.
std::vector<Hole> explainedByStandStills(std::vector<Hole>& holes, double start, double first,
                                         const std::vector<Hole>& stills) {
  std::vector<Hole> explained;
  std::erase_if(holes, [&](const Hole& h) {
    const double from = start + (h.at - first), to = from + h.seconds;
    const bool stood = std::any_of(stills.begin(), stills.end(), [&](const Hole& s) {
      return s.at <= to && s.at + s.seconds >= from - 2 * kCycle && h.seconds <= s.seconds + 2 * kCycle;
    });
    if (stood) explained.push_back(h);
    return stood;
  });
  return explained;
}

// What every recording here must show: a minute of clicks, decoded without
// error, the tone whole, and nothing put in or left out by the engine;
// except where the sink itself played a hole (its own capture shows it) or,
// on PipeWire, where the machine stood still (`stills`) so long that no
// program on it could have kept the sound: a stream that misses its graph
// cycle loses that cycle's buffer, and the engine rightly gives it silence
// of its length. PulseAudio keeps what a late client has not read yet.
void expectWholeSound(const SyncReading& r, const std::string& recorderSaid, const StandStills& stills) {
  // On PipeWire the sound comes through PipeWire's own stream, never its
  // pulse server, whose timing leaves a delaying device's sound early.
  auto figures = figuresOf(recorderSaid);
  EXPECT_EQ(figures["audio_input"], onPipeWire() ? "PipeWire" : "PulseAudio") << recorderSaid;
  EXPECT_FALSE(r.timeline.decodeErrors);
  EXPECT_GE(r.clicks.size(), static_cast<std::size_t>(kSeconds - 3));
  std::vector<Hole> holes = r.holes;
  const std::vector<Hole> lost = explainedByStandStills(holes, std::atof(figures["start_s"].c_str()), r.first,
                                                        onPipeWire() ? stills.seen() : std::vector<Hole>{});
  EXPECT_TRUE(holes.empty()) << "the sound drops out:" << describe(holes);
  if (!r.played.empty()) std::printf("played so by the sink itself:%s\n", describe(r.played).c_str());
  if (!lost.empty()) std::printf("lost while the machine stood still:%s\n", describe(lost).c_str());
  double lostSeconds = 0;
  for (const Hole& h : lost) lostSeconds += h.seconds;
  EXPECT_LE(std::atof(figures["audio_silence"].c_str()), std::ceil(lostSeconds * kRate)) << recorderSaid;
  EXPECT_EQ(figures["audio_skipped"], "0") << recorderSaid;
}

// The player's clicks are 1 s + 7 ms or 1 s - 28 ms apart (their place in
// the frame period turns), or on PipeWire as far apart as the sink played
// them (its capture of the sink's monitor times them) where its graph lost
// a cycle of them. Every interval is kept within 3 ms, and within what
// the recorder's speed correction may add: it follows the sound server's
// timing by stretching or squeezing the sound by up to 0.5 %, unheard, so
// an offset that appears at once (the jitter of a busy machine, a delaying
// device whose buffer grew by a cycle) is worked off over a few seconds,
// up to 5 ms a second. A lost cycle (21 ms or more), or 400 samples or
// more dropped or doubled at once, is beyond that.
void expectPlayedSpacing(const SyncReading& r) {
  constexpr double kMeasured = 0.003, kSpeedCorrection = 0.005;
  double worst = 0;
  for (std::size_t i = 1; i < r.clicks.size(); ++i) {
    const double gap = r.clicks[i].at - r.clicks[i - 1].at;
    double off = std::min(std::abs(gap - 1.007), std::abs(gap - 0.972));
    if (const double played = r.clicks[i].heard - r.clicks[i - 1].heard; onPipeWire() && !std::isnan(played))
      off = std::min(off, std::abs(gap - played));
    EXPECT_LT(off, kMeasured + kSpeedCorrection * gap) << "at " << r.clicks[i].at << " s";
    worst = std::max(worst, off);
  }
  std::printf("click spacing within %.2f ms of what was played\n", worst * 1000);
}

class LipSync : public ::testing::Test {
 protected:
  static inline fs::path dir;
  static inline Child pattern, listener;
  static inline std::unique_ptr<StandStills> stills;

  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/vardel-sync-XXXXXX";
    dir = mkdtemp(tmpl);
    // Without the right to real-time scheduling nothing is excused as the
    // machine's.
    stills = std::make_unique<StandStills>();
    if (!stills->watching()) std::printf("no right to real-time scheduling: stand-stills go unseen\n");
    if (std::getenv("DISPLAY") == nullptr || run("pactl info") != 0) return;
    // Every frame differs (a redraw every 20 ms), without flooding the X
    // server that also draws the flashes, and the flashes' square stays
    // clear of it (a Wayland desktop draws X windows above its own).
    pattern = Child({VARDEL_PATTERN, "--interval-ms", "20", "--width", std::to_string(kSquare.x - 100)},
                    (dir / "pattern.out").string());
    pollFor(15, [] { return slurp(dir / "pattern.out").find("ready") != std::string::npos; });
    // A listener on the null sink's monitor keeps the sink playing close to
    // real time, as a desktop's sound does; otherwise it runs as far ahead
    // as the player's buffer, and a recording that starts then finds the
    // first part of a second already played without it.
    listener = Child({"parec", "--latency-msec=20", "--device=@DEFAULT_MONITOR@", "--raw"}, "/dev/null");
  }
  static void TearDownTestSuite() {
    listener.end();
    pattern.end();
    stills.reset();
    fs::remove_all(dir);
  }
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    ASSERT_TRUE(display && *display && run("pactl info") == 0)
        << "run inside scripts/test-session.sh or scripts/wayland-session.sh";
    ASSERT_NE(slurp(dir / "pattern.out").find("ready"), std::string::npos) << "the busy screen did not start";
  }

  // Plays the clicks into the null sink (with flashes, or not) until the
  // owner ends it; waits until the sink's monitor carries them. On a
  // Wayland desktop the square is a window of its own, which the compositor
  // shows at its next frame.
  // `heardAt`: the sink whose playing counts as heard (PipeWire only; ""
  // for the default sink).
  static Child play(bool flash, const std::string& heardAt = "") {
    // A buffer long enough that the player never runs dry on a busy machine:
    // with flashes 200 ms, which the flashes' timing was made with; without,
    // PulseAudio's own default of 2 s, as both cores busy have held the
    // player up longer than 200 ms.
    std::vector<std::string> args{VARDEL_SYNC_SOURCE, "--play", "--latency-ms", flash ? "200" : "2000"};
    if (flash) args.insert(args.end(), {std::getenv("WAYLAND_DISPLAY") ? "--flash-wayland" : "--flash", squareArg()});
    if (!heardAt.empty()) args.insert(args.end(), {"--heard-at", heardAt});
    args.push_back(std::to_string(kSeconds + 60));
    Child player(args, (dir / "player.out").string());
    EXPECT_TRUE(pollFor(10, [] { return slurp(dir / "player.out").find("ready") != std::string::npos; }));
    EXPECT_TRUE(waitForSound(dir)) << "the null sink's monitor carries no sound";
    return player;
  }
  // Ends the player; fails when it ran dry, which would be a hole of its own.
  static void endPlayer(Child& player) {
    player.end();
    const std::string said = slurp(dir / "player.out");
    EXPECT_NE(said.find("underruns=0"), std::string::npos) << "the player ran dry: " << said;
  }

  void expectClicksWithTheirFlashes(const std::string& ext, const std::string& heardAt = "");

  // Records kSeconds of screen and sound into `file` as the recorder does
  // (`env`: variables for the recorder); what it printed, with its figures.
  static std::string record(const fs::path& file, const std::string& env = "") {
    const fs::path out = dir / "record.out";
    Child rec({"sh", "-c",
               env + " " + VARDEL_RECORD + " --out " + quote(file.string()) + " --audio --profile " +
                   quote("屏幕视频/音频 - 高(CBR)") + " --seconds " + std::to_string(kSeconds) + " --figures"},
              out.string(), {.stderrToo = true});
    const int status = rec.wait(kSeconds + 60);
    const std::string said = slurp(out);
    EXPECT_EQ(status, 0) << said;
    return said;
  }
};

}  // namespace

// Records a minute of flashes and clicks into a file of this kind and
// checks every click against its flash.
void LipSync::expectClicksWithTheirFlashes(const std::string& ext, const std::string& heardAt) {
  SCOPED_TRACE(ext);
  const fs::path file = dir / ("flashes." + ext);
  Child player = play(true, heardAt);
  const std::string said = record(file);
  endPlayer(player);
  // Each click counts from when its flash was on screen.
  const FlashLog log = flashLog(slurp(dir / "player.out"), said);
  const SyncReading r = readSync(file, kSquare, &log);
  expectWholeSound(r, said, *stills);
  expectPlayedSpacing(r);
  // The flash was on screen up to a frame before the first picture that
  // shows it, so the true offset lies between the measured one and a frame
  // more: all of that must be within -45..+60 ms.
  std::vector<double> offsets;
  for (const SyncReading::Click& c : r.clicks) {
    // A flash is on screen up to a compositor's frame after its click, and
    // a picture shows it a frame after that: one due after the last picture
    // is not missing.
    if (std::isnan(c.offset) && c.at > r.last - 0.1) continue;
    ASSERT_FALSE(std::isnan(c.offset)) << "no flash for the click at " << c.at << " s, or none logged";
    offsets.push_back(c.offset);
    EXPECT_GE(c.offset, -0.045) << "the sound leads the picture at " << c.at << " s";
    EXPECT_LE(c.offset + kFrame, 0.060) << "the sound lags the picture at " << c.at << " s";
  }
  std::sort(offsets.begin(), offsets.end());
  std::printf("%s: sound minus picture %.1f / %.1f / %.1f ms (min / median / max), %zu clicks\n", ext.c_str(),
              offsets.front() * 1000, offsets[offsets.size() / 2] * 1000, offsets.back() * 1000, offsets.size());
}

TEST_F(LipSync, EveryClickLiesWithItsFlashFromTheFirstSecondToTheLast) {
  if (std::getenv("WAYLAND_DISPLAY") != nullptr) GTEST_SKIP() << "an X session's test";
  expectClicksWithTheirFlashes("wmv");
  expectClicksWithTheirFlashes("mp4");
}

// On a Wayland desktop (scripts/wayland-session.sh): the screen through the
// ScreenCast portal and PipeWire, the sound through PipeWire's own stream,
// the square a Wayland window whose change sway draws at its next frame.
TEST_F(LipSync, OnAWaylandDesktopEveryClickLiesWithItsFlashToo) {
  if (std::getenv("WAYLAND_DISPLAY") == nullptr) GTEST_SKIP() << "runs inside scripts/wayland-session.sh";
  expectClicksWithTheirFlashes("wmv");
}

// A default sink that delays the sound by 0.2 s before the device plays it
// (a loopback in front of the null sink, as a Bluetooth headset delays it):
// a click is heard when the null sink plays it, and the recording puts it
// there, with its flash (PipeWire's pulse server, which reports no latency,
// would leave it about 235 ms early). Inside scripts/wayland-session.sh,
// with --x11 for an X session.
TEST_F(LipSync, OnPipeWireADelayedDeviceIsRecordedAsItIsHeard) {
  if (!onPipeWire())
    GTEST_SKIP() << "runs inside scripts/wayland-session.sh (with --x11 for an X session)";
  Child loopback({"pw-loopback", "--delay", "0.2", "--capture-props=media.class=Audio/Sink node.name=vardel_delay",
                  "-P", "vardel_null"},
                 (dir / "loopback.out").string(), {.stderrToo = true});
  ASSERT_TRUE(pollFor(10, [] { return run("pactl list short sinks | grep -q vardel_delay") == 0; }))
      << slurp(dir / "loopback.out");
  auto setDefaults = [](const std::string& sink) {
    return pollFor(10, [&] {
      return run("pactl set-default-sink " + sink + " && pactl set-default-source " + sink +
                 ".monitor && [ \"$(pactl get-default-source)\" = " + sink + ".monitor ]") == 0;
    });
  };
  ASSERT_TRUE(setDefaults("vardel_delay"));
  expectClicksWithTheirFlashes("wmv", "vardel_null");
  expectClicksWithTheirFlashes("mp4", "vardel_null");
  EXPECT_TRUE(setDefaults("vardel_null"));
  loopback.end();
}

// Not on PipeWire: its null sink plays each graph cycle as it comes, and
// this virtual machine, both of its cores busy, is held up as a whole for up
// to 100 ms now and then (a real-time thread sleeping 1 ms wakes that late),
// so the sink itself plays holes, which a capture of its monitor shows and
// the recording rightly keeps. PulseAudio's null sink renders ahead and
// plays through such a stand-still.
TEST_F(LipSync, WithBothCoresBusyTheSoundNeitherDropsOutNorSlips) {
  if (onPipeWire())
    GTEST_SKIP() << "PipeWire's null sink plays holes when this machine stands still";
  const fs::path file = dir / "busy.mp4";
  Child player = play(false);
  std::string said;
  {
    BusyCores busy;
    said = record(file);
  }
  endPlayer(player);
  const SyncReading r = readSync(file, kSquare);
  expectWholeSound(r, said, *stills);
  expectPlayedSpacing(r);
}

// PulseAudio's pipe source keeps the pace of the writer's clock; PipeWire's
// reads the pipe at the pace of whatever drives its graph and has no clock
// of its own. There the card is what a USB sound card is: a source node
// that drives its graph on its own clock.
TEST_F(LipSync, ACardWithAClockOfItsOwnInBurstsIsFollowedWithoutJumpsOrSilence) {
  const bool pipeWire = onPipeWire();
  for (const double speed : {1.002, 0.998}) {
    SCOPED_TRACE(speed);
    const fs::path fifo = dir / "card.fifo", file = dir / "card.wmv", cardOut = dir / "card.out";
    fs::remove(fifo);
    std::string module;
    if (!pipeWire) {
      ASSERT_EQ(run("pactl load-module module-pipe-source source_name=vardel_card file=" + quote(fifo.string()) +
                        " format=s16le rate=48000 channels=2",
                    &module),
                0)
          << module;
    }
    std::vector<std::string> cardArgs{VARDEL_SYNC_SOURCE};
    if (pipeWire)
      cardArgs.insert(cardArgs.end(), {"--pw-card", "vardel_card"});
    else
      cardArgs.insert(cardArgs.end(), {"--fifo", fifo.string()});
    cardArgs.insert(cardArgs.end(), {"--speed", std::to_string(speed), "--bursts", "5,20,50",
                                     std::to_string(kSeconds + 40)});
    std::string said;
    {
      // A reader keeps the card running, as a sound card runs whether or
      // not anyone records from it. The pipe source is there before the
      // card writes; the card's own node is there once the card runs.
      Child keepAlive, card;
      auto startKeepAlive = [&] { keepAlive = Child({"parec", "--device=vardel_card", "--raw"}, "/dev/null"); };
      if (!pipeWire) startKeepAlive();
      card = Child(cardArgs, cardOut.string());
      if (pipeWire) {
        EXPECT_TRUE(pollFor(10, [] { return run("pactl list short sources | grep -q vardel_card") == 0; }))
            << slurp(cardOut);
        startKeepAlive();
      }
      EXPECT_TRUE(pollFor(10, [&] { return slurp(cardOut).find("ready") != std::string::npos; })) << slurp(cardOut);
      std::this_thread::sleep_for(std::chrono::seconds(1));
      BusyCores busy;
      said = record(file, "PULSE_SOURCE=vardel_card");
    }
    if (!pipeWire) run("pactl unload-module " + std::to_string(std::atoi(module.c_str())));
    const SyncReading r = readSync(file, kSquare);
    expectWholeSound(r, said, *stills);
    // A second at the card is a second in the file, from the first click on.
    double worst = 0;
    for (std::size_t i = 1; i < r.clicks.size(); ++i) {
      const double gap = r.clicks[i].at - r.clicks[i - 1].at;
      EXPECT_NEAR(gap, 1.0, 0.003) << "at " << r.clicks[i].at << " s";
      worst = std::max(worst, std::abs(gap - 1.0));
    }
    // And over the rest of the minute the clicks lie on a line of slope 1.
    double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
    for (std::size_t i = 0; i < r.clicks.size(); ++i) {
      if (r.clicks[i].at < 5) continue;
      const auto x = static_cast<double>(i), y = r.clicks[i].at;
      sx += x, sy += y, sxx += x * x, sxy += x * y, n += 1;
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    std::printf("card at %.4f: slope %.1f ppm off, intervals within %.2f ms of 1 s, %zu clicks\n", speed,
                (slope - 1) * 1e6, worst * 1000, r.clicks.size());
    EXPECT_NEAR(slope, 1.0, 100e-6) << "the clicks drift";
  }
}
