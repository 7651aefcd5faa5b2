// Real MP4 recordings: the engine records the X display (a moving pattern)
// and the default PulseAudio source (a tone) into an .mp4 name, through the
// object model as the recorder does; the files are read back with ffprobe
// and ffmpeg, and played in a real headless Chromium. Other names still
// record ASF. Needs DISPLAY and PULSE_SERVER (scripts/test-session.sh).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

#include "components/automation/automation.h"
#include "components/encoder/engine.h"
#include "components/encoder/engine/outputs/mp4_boxes.h"
#include "components/encoder/tests/e2e_support.h"

extern char** environ;

using namespace encoder;
using namespace e2e;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Children here send standard error to their output file too, and get 10 s
// to end.
constexpr ChildOptions kChild{.stderrToo = true, .patience = 10};

// ffprobe's compact output as one map per section ("stream", "format"),
// keyed "<section>.<codec_type or nothing>".
std::map<std::string, std::map<std::string, std::string>> probe(const fs::path& file) {
  std::map<std::string, std::map<std::string, std::string>> sections;
  for (auto& s : probeSections(file,
                               "stream=codec_type,codec_name,profile,sample_rate,channels,nb_read_frames,"
                               "nb_read_packets:format=format_name,duration:format_tags"))
    sections[s.kind + "." + s.fields["codec_type"]] = s.fields;
  return sections;
}

std::vector<std::string> boxTypes(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  std::vector<std::string> types;
  if (fd < 0) return types;
  for (const auto& b : mp4::topLevelBoxes(fd)) types.push_back(b.type);
  ::close(fd);
  return types;
}

const asf::ContentDescription kTexts{u"第一课：屏幕录制 🎬", u"张老师", u"© 2026 Vardel 课件",
                                     u"描述 with emoji 😀 and Ω 𝄞", u"适合所有人 🎓"};

// The moving pattern on screen and a 1 kHz tone at the default source, for
// every test of the suite.
class Mp4Recording : public ::testing::Test {
 protected:
  static inline fs::path dir;
  static inline PatternAndTone screen;

  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/vardel-mp4e2e-XXXXXX";
    dir = mkdtemp(tmpl);
    screen.start(dir, VARDEL_PATTERN, 180, kChild);
  }
  static void TearDownTestSuite() {
    screen.end();
    fs::remove_all(dir);
  }
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(screen.assertRunning()); }

  // Records `seconds` through the object model; the time from Start's
  // return to Stop's call.
  static double record(const fs::path& file, const rt::Text& profile, double seconds, bool audio = true) {
    Settings s;
    s.profile = profile;
    s.audio = audio;
    s.path = rt::fromUtf8(file.string());
    s.texts = kTexts;
    auto enc = configure(s);
    EXPECT_EQ(enc->Start(), 0) << rt::toUtf8(rt::takeErrorInfo());
    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto stopping = Clock::now();
    EXPECT_EQ(enc->Stop(), 0) << rt::toUtf8(rt::takeErrorInfo());
    return std::chrono::duration<double>(stopping - started).count();
  }
};

}  // namespace

TEST_F(Mp4Recording, AnMp4NameInAnyCaseRecordsH264AndAacWithEveryTextAndItsIndexFirst) {
  struct Case {
    const char* name;
    rt::Text profile;
    int sampleRate, channels;
  } cases[] = {{"lesson.mp4", u"屏幕视频/音频 - 高(CBR)", 48000, 2}, {"LESSON 2.MP4", u"屏幕视频/音频", 22050, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = dir / c.name;
    const double recorded = record(file, c.profile, 2.5);
    auto p = probe(file);
    EXPECT_EQ(p["format."]["format_name"], "mov,mp4,m4a,3gp,3g2,mj2");
    EXPECT_EQ(p["stream.video"]["codec_name"], "h264");
    EXPECT_EQ(p["stream.audio"]["codec_name"], "aac");
    EXPECT_EQ(p["stream.audio"]["profile"], "LC");
    EXPECT_EQ(std::atoi(p["stream.audio"]["sample_rate"].c_str()), c.sampleRate);
    EXPECT_EQ(std::atoi(p["stream.audio"]["channels"].c_str()), c.channels);
    EXPECT_NEAR(std::atof(p["format."]["duration"].c_str()), recorded, 0.2);
    EXPECT_GT(std::atol(p["stream.video"]["nb_read_frames"].c_str()), 0);
    EXPECT_EQ(p["stream.video"]["nb_read_frames"], p["stream.video"]["nb_read_packets"]) << "every picture decodes";
    EXPECT_TRUE(decodesCleanly(file));
    EXPECT_GT(meanVolumeDb(file), -40.0) << "the tone is missing";

    auto& tags = p["format."];
    EXPECT_EQ(tags["tag:title"], rt::toUtf8(kTexts.title));
    EXPECT_EQ(tags["tag:artist"], rt::toUtf8(kTexts.author));
    EXPECT_EQ(tags["tag:copyright"], rt::toUtf8(kTexts.copyright));
    EXPECT_EQ(tags["tag:description"], rt::toUtf8(kTexts.description));
    EXPECT_EQ(tags["tag:comment"], rt::toUtf8(kTexts.description));
    EXPECT_EQ(tags["tag:rating"], rt::toUtf8(kTexts.rating));
    EXPECT_EQ(tags["tag:URL"], "IP address");

    // A regular file with its index first: a browser starts before the end arrives.
    const auto types = boxTypes(file);
    const auto moov = std::find(types.begin(), types.end(), "moov");
    const auto mdat = std::find(types.begin(), types.end(), "mdat");
    ASSERT_NE(moov, types.end());
    ASSERT_NE(mdat, types.end());
    EXPECT_LT(moov - types.begin(), mdat - types.begin()) << "the index is after the data";
    EXPECT_EQ(std::count(types.begin(), types.end(), "moof"), 0) << "the file was left fragmented";
  }
}

TEST_F(Mp4Recording, AKilledMp4RecordingPlaysAllButItsLastSeconds) {
  const fs::path file = dir / "killed.mp4", ready = dir / "ready";
  Child rec({VARDEL_RECORD, "--out", file.string(), "--seconds", "60", "--audio", "--profile",
             "屏幕视频/音频 - 中(CBR)", "--title", "被中断的录制 🎬", "--ready", ready.string()},
            (dir / "rec.out").string(), kChild);
  ASSERT_TRUE(pollFor(20, [&] { return fs::exists(ready); })) << "the recording did not start";
  const auto started = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  rec.end(SIGKILL);
  const double killedAt = std::chrono::duration<double>(Clock::now() - started).count();
  auto p = probe(file);
  EXPECT_EQ(p["stream.video"]["codec_name"], "h264");
  EXPECT_EQ(p["stream.audio"]["codec_name"], "aac");
  EXPECT_EQ(p["format."]["tag:title"], "被中断的录制 🎬");
  const double last = lastVideoPts(file);
  EXPECT_GE(last, 3.0) << "more than the last second of a " << killedAt << " s recording is lost";
  EXPECT_LT(last, killedAt + 0.5);
  EXPECT_TRUE(decodesCleanly(file));
  // The leftovers of a finishing step that never ran: none.
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_EQ(e.path().filename().string().find(".killed.mp4.finishing"), std::string::npos);
}

TEST_F(Mp4Recording, EveryOtherNameStillRecordsAsf) {
  const fs::path work = dir / "names";
  fs::create_directories(work);
  for (const char* name : {"a.wmv", "b.asf", "c", "d.avi", "e.mp4.wmv"}) {
    SCOPED_TRACE(name);
    std::string out;
    EXPECT_EQ(run(std::string(VARDEL_RECORD) + " --out " + quote((work / name).string()) + " --seconds 0.6", &out), 0)
        << out;
    auto p = probe(work / name);
    EXPECT_EQ(p["format."]["format_name"], "asf");
    EXPECT_EQ(p["stream.video"]["codec_name"], "wmv2");
  }
}

TEST_F(Mp4Recording, AFullDiskEndsAnMp4RecordingKeepsTheFileAndStopSaysSo) {
  const fs::path file = dir / "full.mp4";
  constexpr long kLimit = 24 * 1024;  // H.264 records the moving pattern at about 10 KB a second
  std::string out;
  const int status = run(std::string(VARDEL_RECORD) + " --out " + quote(file.string()) + " --seconds 6 --profile " +
                             quote("屏幕视频 - 高(CBR)") + " --max-file-bytes " + std::to_string(kLimit),
                         &out);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("stop failed: The disk is full"), std::string::npos) << out;
  EXPECT_LE(static_cast<long>(fs::file_size(file)), kLimit);
  auto p = probe(file);
  EXPECT_EQ(p["stream.video"]["codec_name"], "h264");
  EXPECT_GT(std::atol(p["stream.video"]["nb_read_frames"].c_str()), 0);
  EXPECT_TRUE(decodesCleanly(file));
}

// A real browser: Debian's Chromium, headless, in a private profile, loads a
// page of ours from a local server of the test's own and reports through it.
TEST_F(Mp4Recording, ChromiumPlaysTheRecordingAndShowsItsPictures) {
  const fs::path web = dir / "web";
  fs::create_directories(web);
  const fs::path file = web / "lesson.mp4";
  const double recorded = record(file, u"屏幕视频/音频 - 高(CBR)", 3.0);
  fs::copy_file(fs::path(VARDEL_BROWSER_DIR) / "play.html", web / "play.html");

  Child server({"python3", (fs::path(VARDEL_BROWSER_DIR) / "serve.py").string(), web.string()}, (dir / "serve.out").string(),
               kChild);
  std::string port;
  ASSERT_TRUE(pollFor(20, [&] {
    const std::string s = slurp(dir / "serve.out");
    const auto at = s.find("port ");
    if (at == std::string::npos || s.find('\n', at) == std::string::npos) return false;
    port = s.substr(at + 5, s.find('\n', at) - at - 5);
    return true;
  })) << "the local server did not start: " << slurp(dir / "serve.out");

  const fs::path profile = dir / "chromium-profile";
  fs::create_directories(profile);
  Child browser({"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--autoplay-policy=no-user-gesture-required", "--user-data-dir=" + profile.string(),
                 "http://127.0.0.1:" + port + "/play.html?src=lesson.mp4&t1=0.5&t2=2.0"},
                (dir / "chromium.out").string(), kChild);
  ASSERT_GT(browser.pid, 0) << "chromium did not start";
  const bool reported = pollFor(60, [&] { return fs::exists(web / "result.json"); });
  browser.end();
  server.end();
  ASSERT_TRUE(reported) << "the page reported nothing; chromium said:\n" << slurp(dir / "chromium.out");
  const std::string result = slurp(web / "result.json");
  SCOPED_TRACE(result);
  ASSERT_EQ(result.find("\"error\""), std::string::npos);
  // A small reader for the page's flat JSON: the number after "key":.
  auto number = [&](const std::string& key, std::size_t from = 0) {
    const auto at = result.find("\"" + key + "\":", from);
    return at == std::string::npos ? -1.0 : std::atof(result.c_str() + at + key.size() + 3);
  };
  EXPECT_NEAR(number("duration"), recorded, 0.5);
  EXPECT_GT(number("played"), 0.2) << "playing did not move on";
  EXPECT_EQ(number("width"), 1920);
  EXPECT_EQ(number("height"), 1080);
  const auto t1 = result.find("\"t1\""), t2 = result.find("\"t2\"");
  ASSERT_NE(t1, std::string::npos);
  ASSERT_NE(t2, std::string::npos);
  EXPECT_GT(number("bright", t1), 100) << "the picture at 0.5 s is black";
  EXPECT_GT(number("bright", t2), 100) << "the picture at 2 s is black";
  // The square moved 750 pixels and the clock changed in between.
  EXPECT_GT(number("differing"), 200) << "the two pictures are the same";
}
