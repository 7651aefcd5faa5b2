// The ScreenCast portal source through openPortalSource, against real
// services of its own: a private dbus-daemon, a private PipeWire with its
// session manager, a test producer node (vardel_pw_producer) and a recording
// fake of the portal (fake_screencast_portal.py) that logs every call.
// Everything is started here and stopped by process id; waits poll with
// deadlines.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <libyuv.h>

#include "components/encoder/engine/sources/portal_source.h"
#include "components/encoder/engine/sources/screencast_portal.h"
#include "components/encoder/tests/e2e_support.h"

extern char** environ;

using namespace encoder::engine;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Update = ScreenSource::Update;

namespace {

using e2e::slurp;

// Polls `ready` every 20 ms until it holds or `seconds` pass.
bool pollFor(double seconds, const std::function<bool()>& ready) {
  return e2e::pollFor(seconds, ready, std::chrono::milliseconds(20));
}

// A child process with its output in a file, ended by its id.
struct Proc {
  pid_t pid = -1;
  int input = -1;  // its standard input, when asked for
  fs::path out;

  Proc() = default;
  Proc(const std::vector<std::string>& args, const fs::path& outPath, bool withInput = false) : out(outPath) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int pipeFds[2] = {-1, -1};
    if (withInput && pipe2(pipeFds, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&fa, pipeFds[0], 0);
      input = pipeFds[1];
    } else {
      posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, (outPath.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    if (pipeFds[0] >= 0) close(pipeFds[0]);
  }
  Proc(Proc&& o) noexcept { *this = std::move(o); }
  Proc& operator=(Proc&& o) noexcept {
    std::swap(pid, o.pid);
    std::swap(input, o.input);
    std::swap(out, o.out);
    return *this;
  }
  ~Proc() { stop(); }

  std::string output() const { return slurp(out); }
  bool send(const std::string& line) {
    const std::string l = line + "\n";
    return input >= 0 && write(input, l.data(), l.size()) == static_cast<ssize_t>(l.size());
  }
  bool exited(int* status = nullptr) {
    int st = 0;
    if (pid <= 0) return true;
    if (waitpid(pid, &st, WNOHANG) == pid) {
      pid = -1;
      if (status) *status = st;
      return true;
    }
    return false;
  }
  void kill(int sig) {
    if (pid > 0) ::kill(pid, sig);
  }
  void stop() {
    if (input >= 0) close(input), input = -1;
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    if (!pollFor(5, [&] { return exited(); })) {
      ::kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
};

// Services shared by the whole suite: the bus, PipeWire and its session manager.
struct Services {
  fs::path dir;
  std::string bus;
  Proc dbus, pipewire, wireplumber;
};
Services* services = nullptr;

// An I420 canvas of the recording's size.
struct Canvas {
  std::vector<std::uint8_t> y, u, v;
  Picture pic;
  Canvas(int w, int h) : y(static_cast<std::size_t>(w * h)), u(static_cast<std::size_t>(w * h / 4)), v(u.size()) {
    pic.plane[0] = y.data();
    pic.plane[1] = u.data();
    pic.plane[2] = v.data();
    pic.stride[0] = w;
    pic.stride[1] = pic.stride[2] = w / 2;
    pic.width = w;
    pic.height = h;
  }
  // Luma at a point.
  int luma(int x, int yy) const { return y[static_cast<std::size_t>(yy * pic.stride[0] + x)]; }
};

// The luma libyuv gives an opaque colour.
int lumaOf(int r, int g, int b) {
  std::uint8_t argb[16];
  for (int i = 0; i < 4; ++i) {
    argb[i * 4 + 0] = static_cast<std::uint8_t>(b);
    argb[i * 4 + 1] = static_cast<std::uint8_t>(g);
    argb[i * 4 + 2] = static_cast<std::uint8_t>(r);
    argb[i * 4 + 3] = 255;
  }
  std::uint8_t yy[4], uu[1], vv[1];
  libyuv::ARGBToI420(argb, 8, yy, 2, uu, 1, vv, 1, 2, 2);
  return yy[0];
}

bool near(int a, int b) { return std::abs(a - b) <= 2; }

class PortalSourceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    services = new Services;
    char tmpl[] = "/tmp/vardel-portal-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    services->dir = tmpl;
    const fs::path run = services->dir / "run";
    fs::create_directories(run);
    fs::permissions(run, fs::perms::owner_all, fs::perm_options::replace);
    // A bus of our own that starts no services: a missing portal stays missing.
    const fs::path busPath = services->dir / "bus";
    std::ofstream(services->dir / "bus.conf")
        << "<busconfig><type>session</type><listen>unix:path=" << busPath.string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
           "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    services->bus = "unix:path=" + busPath.string();
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", run.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", services->bus.c_str(), 1);
    unsetenv("PIPEWIRE_REMOTE");
    services->dbus = Proc({"dbus-daemon", "--config-file=" + (services->dir / "bus.conf").string(), "--nofork",
                           "--print-address"},
                          services->dir / "dbus.out");
    ASSERT_TRUE(pollFor(20, [] { return fs::exists(services->dir / "bus"); })) << "dbus-daemon did not start";
    services->pipewire = Proc({"pipewire"}, services->dir / "pipewire.out");
    ASSERT_TRUE(pollFor(20, [&] { return fs::exists(run / "pipewire-0"); })) << "pipewire did not start";
    services->wireplumber = Proc({"wireplumber"}, services->dir / "wireplumber.out");
  }

  static void TearDownTestSuite() {
    if (services == nullptr) return;
    services->wireplumber.stop();
    services->pipewire.stop();
    services->dbus.stop();
    std::error_code ec;
    fs::remove_all(services->dir, ec);
    delete services;
    services = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(services, nullptr);
    dir = services->dir / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir / "config");
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", services->bus.c_str(), 1);
    tokenFile = dir / "config" / "vardel" / "grabvid-screencast-token";
  }

  // Starts the producer and waits for its node.
  void startProducer(int w, int h, const std::string& format = "BGRx") {
    producer = Proc({VARDEL_PW_PRODUCER, "--width", std::to_string(w), "--height", std::to_string(h), "--format",
                     format},
                    dir / "producer.out", true);
    ASSERT_TRUE(pollFor(20, [&] { return producer.output().find("node ") != std::string::npos; }))
        << "the producer did not come up: " << slurp(dir / "producer.out.err");
    std::istringstream in(producer.output().substr(producer.output().find("node ") + 5));
    in >> node;
  }

  // Starts the fake portal with `args` and waits until it owns its name.
  void startPortal(std::vector<std::string> args) {
    std::vector<std::string> cmd = {"/usr/bin/python3", VARDEL_FAKE_PORTAL, "--log", (dir / "portal.log").string(),
                                    "--node", std::to_string(node), "--pipewire",
                                    (services->dir / "run" / "pipewire-0").string()};
    cmd.insert(cmd.end(), args.begin(), args.end());
    portal = Proc(cmd, dir / "portal.out");
    ASSERT_TRUE(pollFor(20, [&] { return portal.output().find("ready") != std::string::npos; }))
        << "the fake portal did not come up: " << slurp(dir / "portal.out.err");
  }

  // The portal's log: one call a line.
  std::vector<std::string> calls(const std::string& method) {
    std::vector<std::string> found;
    std::istringstream in(slurp(dir / "portal.log"));
    for (std::string line; std::getline(in, line);)
      if (line.find("\"method\": \"" + method + "\"") != std::string::npos) found.push_back(line);
    return found;
  }

  // Sends a producer command and waits until it has gone out.
  void produce(const std::string& command) {
    const auto acks = [&] {
      std::size_t n = 0;
      for (std::size_t p = 0; (p = producer.output().find("ok ", p)) != std::string::npos; ++p) ++n;
      return n;
    };
    const std::size_t before = acks();
    ASSERT_TRUE(producer.send(command));
    ASSERT_TRUE(pollFor(20, [&] { return acks() > before; })) << "the producer did not send " << command;
  }

  // Updates until `done` holds for the canvas (or the deadline passes).
  bool updateUntil(ScreenSource& s, Canvas& c, const std::function<bool()>& done, double seconds = 10) {
    return pollFor(seconds, [&] {
      rt::Text error;
      const Update u = s.update(c.pic, error);
      EXPECT_NE(u, Update::Failed) << rt::toUtf8(error);
      return done();
    });
  }

  PortalOptions quick() {
    PortalOptions o;
    o.deadlines.call = std::chrono::milliseconds(5000);
    o.deadlines.userAnswer = std::chrono::milliseconds(1500);
    o.streamDeadline = std::chrono::milliseconds(10000);
    return o;
  }

  std::unique_ptr<ScreenSource> open(rt::Text& error, const Crop& crop = {}) {
    return openPortalSource(crop, quick(), error);
  }

  fs::path dir, tokenFile;
  Proc producer, portal;
  std::uint32_t node = 0;
};

TEST_F(PortalSourceTest, RecordsTheProducersPictureAndOnlyWhatChanged) {
  startProducer(160, 120);
  produce("fill 200 40 40");
  startPortal({});
  rt::Text error;
  auto source = open(error);
  ASSERT_TRUE(source) << rt::toUtf8(error);
  EXPECT_EQ(source->width(), 160);
  EXPECT_EQ(source->height(), 120);
  EXPECT_STREQ(source->kind(), "ScreenCast portal");

  Canvas c(160, 120);
  rt::Text e;
  EXPECT_EQ(source->update(c.pic, e), Update::Changed) << "the first update fills the canvas";
  const int red = lumaOf(200, 40, 40);
  ASSERT_TRUE(updateUntil(*source, c, [&] { return near(c.luma(5, 5), red) && near(c.luma(150, 110), red); }))
      << "luma " << c.luma(5, 5) << " wanted " << red;
  // Nothing changes: nothing is written.
  ASSERT_TRUE(pollFor(10, [&] { return source->update(c.pic, e) == Update::Unchanged; }));
  EXPECT_EQ(source->update(c.pic, e), Update::Unchanged);

  // A change at the bottom; a change at the top that no damage reports. The
  // source follows the damage: the bottom band appears, the top stays.
  produce("hidden 0 0 160 20 10 200 10");
  produce("rect 20 90 40 20 250 250 250");
  const int white = lumaOf(250, 250, 250);
  Update u = Update::Unchanged;
  ASSERT_TRUE(pollFor(10, [&] { return (u = source->update(c.pic, e)) != Update::Unchanged; }));
  EXPECT_EQ(u, Update::Changed);
  EXPECT_TRUE(near(c.luma(30, 95), white)) << c.luma(30, 95);
  EXPECT_TRUE(near(c.luma(100, 95), red)) << "beside the rectangle, in its band";
  EXPECT_TRUE(near(c.luma(5, 5), red)) << "rows outside the damage were rewritten";
  EXPECT_TRUE(near(c.luma(5, 50), red));

  // The conversation: one monitor, the pointer embedded, the choice kept.
  const auto select = calls("SelectSources");
  ASSERT_EQ(select.size(), 1u);
  EXPECT_NE(select[0].find("\"types\": 1"), std::string::npos) << select[0];
  EXPECT_NE(select[0].find("\"multiple\": false"), std::string::npos) << select[0];
  EXPECT_NE(select[0].find("\"cursor_mode\": 2"), std::string::npos) << select[0];
  EXPECT_NE(select[0].find("\"persist_mode\": 2"), std::string::npos) << select[0];
  EXPECT_EQ(select[0].find("restore_token"), std::string::npos) << "no token was stored yet: " << select[0];
  ASSERT_EQ(calls("Start").size(), 1u);
  EXPECT_NE(calls("Start")[0].find("\"parent\": \"\""), std::string::npos);
  EXPECT_EQ(calls("OpenPipeWireRemote").size(), 1u);
  EXPECT_TRUE(calls("Session.Close").empty());

  // The permission is kept for next time, private to the user.
  ASSERT_TRUE(fs::exists(tokenFile));
  EXPECT_EQ(slurp(tokenFile), "token-1\n");
  struct stat st {};
  ASSERT_EQ(stat(tokenFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(tokenFile.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  source.reset();
  ASSERT_TRUE(pollFor(10, [&] { return calls("Session.Close").size() == 1; })) << "the session was not closed";
  EXPECT_NE(calls("Session.Close")[0].find(calls("CreateSession").empty() ? "?" : "/session/"), std::string::npos);
}

TEST_F(PortalSourceTest, PassesTheStoredTokenNextTimeAndKeepsTheNewOne) {
  startProducer(64, 48);
  startPortal({"--known-token", "token-1"});
  rt::Text error;
  ASSERT_TRUE(open(error)) << rt::toUtf8(error);
  ASSERT_EQ(slurp(tokenFile), "token-1\n");
  auto again = open(error);
  ASSERT_TRUE(again) << rt::toUtf8(error);
  const auto select = calls("SelectSources");
  ASSERT_EQ(select.size(), 2u);
  EXPECT_NE(select[1].find("\"restore_token\": \"token-1\""), std::string::npos) << select[1];
  const auto start = calls("Start");
  ASSERT_EQ(start.size(), 2u);
  EXPECT_NE(start[0].find("\"dialog\": true"), std::string::npos);
  EXPECT_NE(start[1].find("\"dialog\": false"), std::string::npos) << "the user was asked twice";
  EXPECT_EQ(slurp(tokenFile), "token-2\n");
}

TEST_F(PortalSourceTest, AStaleTokenTheDesktopAsksAgainForIsReplaced) {
  startProducer(64, 48);
  startPortal({"--known-token", "nothing-stored", "--stale-token", "ask"});
  fs::create_directories(tokenFile.parent_path());
  std::ofstream(tokenFile) << "old-token\n";
  rt::Text error;
  ASSERT_TRUE(open(error)) << rt::toUtf8(error);
  ASSERT_EQ(calls("Start").size(), 1u);
  EXPECT_NE(calls("SelectSources")[0].find("\"restore_token\": \"old-token\""), std::string::npos);
  EXPECT_NE(calls("Start")[0].find("\"dialog\": true"), std::string::npos);
  EXPECT_EQ(slurp(tokenFile), "token-1\n");
}

TEST_F(PortalSourceTest, AStaleTokenTheDesktopRefusesFallsBackToAsking) {
  startProducer(64, 48);
  startPortal({"--known-token", "nothing-stored", "--stale-token", "refuse"});
  fs::create_directories(tokenFile.parent_path());
  std::ofstream(tokenFile) << "old-token\n";
  rt::Text error;
  auto source = open(error);
  ASSERT_TRUE(source) << rt::toUtf8(error);
  const auto select = calls("SelectSources");
  ASSERT_EQ(select.size(), 2u);
  EXPECT_NE(select[0].find("\"restore_token\": \"old-token\""), std::string::npos);
  EXPECT_EQ(select[1].find("restore_token"), std::string::npos) << "asked again with the refused token";
  EXPECT_EQ(calls("Session.Close").size(), 1u) << "the refused attempt's session stays open";
  EXPECT_EQ(slurp(tokenFile), "token-1\n") << "the refused token was kept";
}

TEST_F(PortalSourceTest, OlderPortalsGetNoPersistenceAndHiddenPointerWhenThatIsAllTheyOffer) {
  startProducer(64, 48);
  startPortal({"--version", "3", "--cursor-modes", "1"});
  rt::Text error;
  ASSERT_TRUE(open(error)) << rt::toUtf8(error);
  const auto select = calls("SelectSources");
  ASSERT_EQ(select.size(), 1u);
  EXPECT_EQ(select[0].find("persist_mode"), std::string::npos) << select[0];
  EXPECT_NE(select[0].find("\"cursor_mode\": 1"), std::string::npos) << select[0];
  EXPECT_FALSE(fs::exists(tokenFile));
}

// Each failure: no source, its words, nothing stored, the session closed.
struct FailureCase {
  const char* mode;
  const char* words;
  bool granted;  // the user allowed it: the permission is kept though PipeWire failed
};

TEST_F(PortalSourceTest, EachFailureSaysWhatIsMissing) {
  startProducer(64, 48);
  const FailureCase cases[] = {
      {"refuse", "the request to share the screen was refused or cancelled", false},
      {"error", "ended the request Start with an error", false},
      {"silent", "gave no answer to Start within 2 seconds", false},
      {"no-screencast", "offers no screen casting", false},
      {"no-remote", "could not open the connection to PipeWire", true},
      {"dead-pipewire", "PipeWire is not reachable", true},
  };
  for (const auto& fc : cases) {
    SCOPED_TRACE(fc.mode);
    std::error_code ec;
    fs::remove(dir / "portal.log", ec);
    fs::remove(tokenFile, ec);
    startPortal({"--mode", fc.mode});
    rt::Text error;
    auto source = open(error);
    EXPECT_FALSE(source);
    const std::string text = rt::toUtf8(error);
    EXPECT_EQ(text.rfind("Cannot record the screen: ", 0), 0u) << text;
    EXPECT_NE(text.find(fc.words), std::string::npos) << text;
    EXPECT_EQ(fs::exists(tokenFile), fc.granted);
    if (std::string(fc.mode) != "no-screencast") {
      EXPECT_TRUE(pollFor(10, [&] { return calls("Session.Close").size() == 1; })) << "the session was left open";
    }
    if (std::string(fc.mode) == "silent") {
      EXPECT_EQ(calls("Request.Close").size(), 1u);
    }
    portal.stop();
  }
}

TEST_F(PortalSourceTest, NoPortalServiceAndNoBusAreSaidInWords) {
  rt::Text error;
  EXPECT_FALSE(open(error));
  EXPECT_NE(rt::toUtf8(error).find("no desktop portal is running"), std::string::npos) << rt::toUtf8(error);

  setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir / "no-bus").string()).c_str(), 1);
  error.clear();
  EXPECT_FALSE(open(error));
  EXPECT_NE(rt::toUtf8(error).find("no D-Bus session bus"), std::string::npos) << rt::toUtf8(error);
  EXPECT_FALSE(fs::exists(tokenFile));
}

TEST_F(PortalSourceTest, KeepsItsSizeWhenTheScreenChangesSize) {
  startProducer(128, 96, "RGBx");
  produce("fill 30 60 220");
  startPortal({});
  rt::Text error;
  auto source = open(error, Crop{4, 2, 6, 3});  // bottom, top, left, right
  ASSERT_TRUE(source) << rt::toUtf8(error);
  EXPECT_EQ(source->width(), 118);  // 128 - 6 - 3, rounded down to even
  EXPECT_EQ(source->height(), 90);
  Canvas c(118, 90);
  const int blue = lumaOf(30, 60, 220);
  ASSERT_TRUE(updateUntil(*source, c, [&] { return near(c.luma(60, 45), blue); })) << c.luma(60, 45);

  produce("fill 240 200 20");
  produce("size 200 150");
  const int yellow = lumaOf(240, 200, 20);
  ASSERT_TRUE(updateUntil(*source, c, [&] { return near(c.luma(2, 2), yellow) && near(c.luma(115, 87), yellow); }))
      << c.luma(2, 2) << " " << c.luma(115, 87) << " wanted " << yellow;
  EXPECT_EQ(source->width(), 118);
  EXPECT_EQ(source->height(), 90);
  // The new picture, scaled: a block in the new picture's right half lands in the right half.
  produce("rect 100 0 100 150 0 0 0");
  ASSERT_TRUE(updateUntil(*source, c, [&] { return c.luma(110, 45) < 30; })) << c.luma(110, 45);
  EXPECT_TRUE(near(c.luma(20, 45), yellow)) << c.luma(20, 45);
}

TEST_F(PortalSourceTest, SkipsCorruptedFrames) {
  startProducer(64, 48);
  produce("fill 200 200 200");
  startPortal({});
  rt::Text error;
  auto source = open(error);
  ASSERT_TRUE(source) << rt::toUtf8(error);
  Canvas c(64, 48);
  const int grey = lumaOf(200, 200, 200);
  ASSERT_TRUE(updateUntil(*source, c, [&] { return near(c.luma(10, 10), grey); }));
  produce("corrupt");
  produce("rect 0 40 64 8 0 0 0");  // a later good frame: the corrupted one was seen before it
  ASSERT_TRUE(updateUntil(*source, c, [&] { return c.luma(10, 44) < 30; }));
  EXPECT_TRUE(near(c.luma(10, 10), grey)) << "a corrupted (black) frame was recorded";
}

TEST_F(PortalSourceTest, FailsWithItsWordsWhenTheStreamIsLost) {
  startProducer(64, 48);
  startPortal({});
  rt::Text error;
  auto source = open(error);
  ASSERT_TRUE(source) << rt::toUtf8(error);
  Canvas c(64, 48);
  EXPECT_NE(source->update(c.pic, error), Update::Failed);
  producer.kill(SIGKILL);
  Update u = Update::Unchanged;
  rt::Text why;
  ASSERT_TRUE(pollFor(10, [&] { return (u = source->update(c.pic, why)) == Update::Failed; }));
  EXPECT_EQ(rt::toUtf8(why).rfind("The screen recording stopped: the screen-cast stream ended", 0), 0u)
      << rt::toUtf8(why);
  // It stays failed, and going away does not hang.
  EXPECT_EQ(source->update(c.pic, why), Update::Failed);
  source.reset();
}

TEST_F(PortalSourceTest, FailsWhenThePortalClosesTheSession) {
  startProducer(64, 48);
  startPortal({});
  rt::Text error;
  auto source = open(error);
  ASSERT_TRUE(source) << rt::toUtf8(error);
  Canvas c(64, 48);
  portal.kill(SIGUSR1);
  rt::Text why;
  ASSERT_TRUE(pollFor(10, [&] { return source->update(c.pic, why) == Update::Failed; }));
  EXPECT_NE(rt::toUtf8(why).find("closed the screen-cast session"), std::string::npos) << rt::toUtf8(why);
  source.reset();
  EXPECT_TRUE(calls("Session.Close").empty()) << "a session the portal closed was closed again";
}

// Through the recorder's engine: a Wayland session takes the portal, and a
// Start that fails there leaves no output file behind.
TEST_F(PortalSourceTest, AFailedStartThroughTheRecorderLeavesNoFile) {
  startProducer(64, 48);
  setenv("WAYLAND_DISPLAY", "vardel-test-wayland", 1);
  for (const char* mode : {"refuse", "no-screencast", "dead-pipewire", "none"}) {
    SCOPED_TRACE(mode);
    if (std::string(mode) != "none") startPortal({"--mode", mode});
    const fs::path out = dir / (std::string(mode) + ".wmv");
    Proc rec({VARDEL_RECORD, "--out", out.string(), "--seconds", "1"}, dir / "record.out");
    int status = 0;
    ASSERT_TRUE(pollFor(60, [&] { return rec.exited(&status); })) << "the recorder did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "a failed Start reported success";
    const std::string err = slurp(dir / "record.out.err");
    EXPECT_NE(err.find("Cannot record the screen: "), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(out)) << "an output file was left behind";
    portal.stop();
  }
  unsetenv("WAYLAND_DISPLAY");
}

// Through the whole engine: the recording starts with the screen's picture
// (not black while the first frame is on its way), and a stream lost half
// way ends it like a full disk: the file is complete up to there and Stop
// says why.
TEST_F(PortalSourceTest, ALostStreamEndsTheRecordingWithACompleteFile) {
  startProducer(64, 48);
  ASSERT_TRUE(producer.send("fill 200 40 40"));
  startPortal({});
  setenv("WAYLAND_DISPLAY", "vardel-test-wayland", 1);
  const fs::path out = dir / "lost.wmv", ready = dir / "lost.ready";
  Proc rec({VARDEL_RECORD, "--out", out.string(), "--seconds", "4", "--ready", ready.string()},
           dir / "record.out");
  unsetenv("WAYLAND_DISPLAY");
  ASSERT_TRUE(pollFor(30, [&] { return fs::exists(ready); })) << slurp(dir / "record.out.err");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  producer.kill(SIGKILL);
  int status = 0;
  ASSERT_TRUE(pollFor(30, [&] { return rec.exited(&status); })) << "the recorder did not end";
  const std::string err = slurp(dir / "record.out.err");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << err;
  EXPECT_NE(err.find("stop failed: The screen recording stopped: the screen-cast stream ended"), std::string::npos)
      << err;
  // The file plays up to the loss, and its first picture is the screen's red.
  const fs::path probe = dir / "lost.probe", first = dir / "first.rgb";
  ASSERT_EQ(std::system(("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + out.string() + "' > '" +
                         probe.string() + "'")
                            .c_str()),
            0);
  const double duration = std::atof(slurp(probe).c_str());
  EXPECT_GT(duration, 1.0);
  EXPECT_LT(duration, 3.5);
  ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -i '" + out.string() +
                         "' -frames:v 1 -vf crop=16:16:24:16 -f rawvideo -pix_fmt rgb24 '" + first.string() + "'")
                            .c_str()),
            0);
  const std::string rgb = slurp(first);
  ASSERT_EQ(rgb.size(), 16u * 16 * 3);
  const auto red = static_cast<unsigned char>(rgb[3 * 136]), green = static_cast<unsigned char>(rgb[3 * 136 + 1]);
  EXPECT_GT(red, 150) << "the first picture is not the screen's";
  EXPECT_LT(green, 90);
}

}  // namespace
