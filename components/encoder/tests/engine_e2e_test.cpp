// Real recordings: the engine records the X display (a moving pattern) and
// the default PulseAudio source (a tone played into a null sink), and the
// files are read back with ffprobe, ffmpeg and our ASF header reader.
// Needs DISPLAY and PULSE_SERVER (scripts/test-session.sh provides both).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
#include "components/encoder/engine/asf_header.h"
#include "components/encoder/tests/e2e_support.h"

extern char** environ;

using namespace encoder;
using namespace e2e;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// ffprobe's view of a recording.
struct Probe {
  std::string videoCodec, audioCodec, title;
  int width = 0, height = 0, sampleRate = 0, channels = 0;
  double duration = -1;
  double videoStart = 0;  // when the first picture is shown
  long videoPackets = -1, videoFrames = -1;
  double lastVideoPts = -1;
};

Probe probe(const fs::path& file) {
  Probe p;
  for (auto& section : probeSections(file,
                                     "stream=codec_type,codec_name,width,height,sample_rate,channels,start_time,"
                                     "nb_read_frames,nb_read_packets:format=duration:format_tags=title")) {
    auto& f = section.fields;
    if (f["codec_type"] == "video") {
      p.videoCodec = f["codec_name"];
      p.videoStart = std::atof(f["start_time"].c_str());
      p.width = std::atoi(f["width"].c_str());
      p.height = std::atoi(f["height"].c_str());
      p.videoFrames = std::atol(f["nb_read_frames"].c_str());
      p.videoPackets = std::atol(f["nb_read_packets"].c_str());
    } else if (f["codec_type"] == "audio") {
      p.audioCodec = f["codec_name"];
      p.sampleRate = std::atoi(f["sample_rate"].c_str());
      p.channels = std::atoi(f["channels"].c_str());
    } else if (f.count("duration")) {
      p.duration = std::atof(f["duration"].c_str());
      p.title = f["tag:title"];
    }
  }
  p.lastVideoPts = lastVideoPts(file);
  return p;
}

class EngineRecording : public ::testing::Test {
 protected:
  static inline fs::path dir;
  static inline PatternAndTone screen;

  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/vardel-e2e-XXXXXX";
    dir = mkdtemp(tmpl);
    screen.start(dir, VARDEL_PATTERN, 120);
  }
  static void TearDownTestSuite() {
    screen.end();
    fs::remove_all(dir);
  }
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(screen.assertRunning()); }
};

const asf::ContentDescription kTexts{u"第一课：屏幕录制 🎬", u"张老师", u"© 2026 Vardel 课件",
                                     u"描述 with emoji 😀 and Ω", u"Rating information"};

}  // namespace

TEST_F(EngineRecording, RecordingsCarryPictureSoundAndTheDescriptiveTexts) {
  struct Case {
    rt::Text profile;
    int fps, sampleRate, channels;
  } cases[] = {{u"屏幕视频/音频 - 高(CBR)", 30, 48000, 2}, {u"屏幕视频/音频", 10, 22050, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(rt::toUtf8(c.profile));
    const fs::path file = dir / "full.wmv";
    Settings s;
    s.profile = c.profile;
    s.path = rt::fromUtf8(file.string());
    s.texts = kTexts;
    auto enc = configure(s);
    ASSERT_EQ(enc->Start(), 0) << rt::toUtf8(rt::takeErrorInfo());
    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto stopping = Clock::now();
    ASSERT_EQ(enc->Stop(), 0) << rt::toUtf8(rt::takeErrorInfo());
    const double recorded = std::chrono::duration<double>(stopping - started).count();

    const Probe p = probe(file);
    EXPECT_EQ(p.videoCodec, "wmv2");
    EXPECT_EQ(p.width, 1920);
    EXPECT_EQ(p.height, 1080);
    EXPECT_EQ(p.audioCodec, "wmav2");
    EXPECT_EQ(p.sampleRate, c.sampleRate);
    EXPECT_EQ(p.channels, c.channels);
    // The pictures last as long as the recording. (The sound starts a
    // little before the first picture: two wmav2 frames of silence whose
    // decoders present the first frames of a stream badly, and the
    // encoder's priming.)
    EXPECT_NEAR(streamEnd(file, "v", c.fps) - p.videoStart, recorded, 0.2);
    EXPECT_GT(p.videoFrames, 0);
    EXPECT_EQ(p.videoFrames, p.videoPackets) << "every picture decodes";
    EXPECT_TRUE(decodesCleanly(file));
    EXPECT_GT(meanVolumeDb(file), -40.0) << "the tone is missing";
    // The sound lasts as long as the picture: up to the stop, less than one
    // audio frame (2048 samples) either way.
    EXPECT_NEAR(streamEnd(file, "a", c.fps), streamEnd(file, "v", c.fps), 2048.0 / c.sampleRate + 0.01);
    EXPECT_EQ(p.title, rt::toUtf8(kTexts.title));

    std::string err;
    auto h = asf::readFileHeader(file.string(), err);
    ASSERT_TRUE(h) << err;
    ASSERT_TRUE(h->content);
    EXPECT_EQ(*h->content, kTexts);  // code unit for code unit
    bool url = false;
    for (const auto& a : h->attributes) url |= a.name == u"URL" && a.text == u"IP address";
    EXPECT_TRUE(url);
  }
}

TEST_F(EngineRecording, CropMarginsCutThePicture) {
  const fs::path file = dir / "crop.wmv";
  Settings s;
  s.profile = u"屏幕视频 - 中(CBR)";
  s.audio = false;
  s.path = rt::fromUtf8(file.string());
  // bottom, top, left, right; odd sizes are rounded down to even ones.
  s.crop[0] = 101, s.crop[1] = 50, s.crop[2] = 31, s.crop[3] = 20;
  auto enc = configure(s);
  ASSERT_EQ(enc->Start(), 0) << rt::toUtf8(rt::takeErrorInfo());
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  ASSERT_EQ(enc->Stop(), 0);
  const Probe p = probe(file);
  EXPECT_EQ(p.width, 1868);
  EXPECT_EQ(p.height, 928);
  EXPECT_EQ(p.audioCodec, "") << "no audio source, no audio stream";

  s.crop[0] = 600, s.crop[1] = 600;
  enc = configure(s);
  EXPECT_LT(enc->Start(), 0);
  EXPECT_NE(rt::toUtf8(rt::takeErrorInfo()).find("cropping margins"), std::string::npos);
}

TEST_F(EngineRecording, ReleasingARunningEncoderCompletesTheFile) {
  const fs::path file = dir / "released.wmv";
  Settings s;
  s.profile = u"屏幕视频/音频 - 中(CBR)";
  s.path = rt::fromUtf8(file.string());
  auto enc = configure(s);
  ASSERT_EQ(enc->Start(), 0) << rt::toUtf8(rt::takeErrorInfo());
  const auto started = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const double recorded = std::chrono::duration<double>(Clock::now() - started).count();
  enc.reset();  // the last reference
  const Probe p = probe(file);
  EXPECT_NEAR(streamEnd(file, "v", 15) - p.videoStart, recorded, 0.2);
  EXPECT_TRUE(decodesCleanly(file));
  // A completed file ends with the index the muxer writes last.
  const std::string bytes = slurp(file);
  const std::string indexGuid("\x90\x08\x00\x33\xB1\xE5\xCF\x11\x89\xF4\x00\xA0\xC9\x03\x49\xCB", 16);
  EXPECT_NE(bytes.find(indexGuid), std::string::npos) << "no index: the file was not completed";
}

TEST_F(EngineRecording, AKilledRecordingPlaysToWithinASecondOfTheKill) {
  const fs::path file = dir / "killed.wmv", ready = dir / "ready";
  Child rec({VARDEL_RECORD, "--out", file.string(), "--seconds", "60", "--audio", "--profile",
             "屏幕视频/音频 - 中(CBR)", "--title", "被中断的录制", "--ready", ready.string()},
            (dir / "rec.out").string());
  ASSERT_TRUE(pollFor(20, [&] { return fs::exists(ready); })) << "the recording did not start";
  const auto started = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  rec.end(SIGKILL);
  const double killedAt = std::chrono::duration<double>(Clock::now() - started).count();
  const Probe p = probe(file);
  EXPECT_EQ(p.videoCodec, "wmv2");
  EXPECT_GT(p.duration, killedAt - 1.0);
  EXPECT_LT(p.duration, killedAt + 1.0);
  EXPECT_GT(p.lastVideoPts, killedAt - 1.0) << "more than the last second of pictures is lost";
  EXPECT_EQ(p.videoFrames, p.videoPackets) << "every picture in the file decodes";
  EXPECT_EQ(p.title, "被中断的录制");
  // The killed recording let go of its file: the next one into it starts.
  std::string out;
  EXPECT_EQ(run(std::string(VARDEL_RECORD) + " --out " + quote(file.string()) + " --seconds 1", &out), 0) << out;
  EXPECT_NEAR(probe(file).duration, 1.0, 0.3);
}

namespace {

// The first number in `text` after `key`, as a fraction "n/d" or a decimal;
// -1 when absent.
double numberAfter(const std::string& text, const std::string& key) {
  const auto at = text.find(key);
  if (at == std::string::npos) return -1;
  double n = 0, d = 1;
  const int got = std::sscanf(text.c_str() + at + key.size(), "%lf/%lf", &n, &d);
  return got >= 1 && d != 0 ? n / d : -1;
}

}  // namespace

// Players and file managers that take the frame rate from the header
// (GStreamer, MediaInfo, Windows) see each profile's rate, in finished files
// and in killed ones, and FFmpeg, GStreamer and MPlayer decode every file to
// its end.
TEST_F(EngineRecording, EveryPlayerSeesTheRateOfEachQualityAndDecodesTheWholeFile) {
  struct Quality {
    const char* profile;
    int fps;
  } qualities[] = {{"屏幕视频/音频 - 高(CBR)", 30}, {"屏幕视频/音频 - 中(CBR)", 15}, {"屏幕视频/音频", 10}};
  for (const auto& q : qualities) {
    SCOPED_TRACE(q.profile);
    const fs::path finished = dir / "finished.wmv", killed = dir / "killed.wmv", ready = dir / "ready";
    fs::remove(ready);
    Child stopped({VARDEL_RECORD, "--out", finished.string(), "--seconds", "2.5", "--audio", "--profile", q.profile},
                  (dir / "finished.out").string());
    Child dies({VARDEL_RECORD, "--out", killed.string(), "--seconds", "60", "--audio", "--profile", q.profile,
                "--ready", ready.string()},
               (dir / "killed.out").string());
    ASSERT_TRUE(pollFor(20, [&] { return fs::exists(ready); })) << "the recording did not start";
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    dies.end(SIGKILL);
    ASSERT_EQ(stopped.wait(20), 0) << slurp(dir / "finished.out");
    for (const fs::path& file : {finished, killed}) {
      SCOPED_TRACE(file.filename().string());
      const std::string f = quote(file.string());
      std::string gst, info, mplayer, played, decoded;
      run("gst-discoverer-1.0 " + f, &gst);
      EXPECT_NEAR(numberAfter(gst, "Frame rate: "), q.fps, 0.01) << gst;
      run("mediainfo --Inform='Video;%FrameRate%' " + f, &info);
      EXPECT_NEAR(std::atof(info.c_str()), q.fps, 0.01) << info;
      // MPlayer's own ASF reader states 1000 frames a second for every ASF
      // file (it plays by the packets' times); its FFmpeg reader the rate.
      run("mplayer -demuxer lavf -identify -frames 0 -vo null -ao null " + f, &mplayer);
      EXPECT_NEAR(numberAfter(mplayer, "ID_VIDEO_FPS="), q.fps, 0.01) << mplayer;

      // The recording's length: FFmpeg's format duration adds the first
      // picture's start to the file's play duration.
      const Probe p = probe(file);
      const double duration = p.duration - p.videoStart;
      EXPECT_GT(duration, 2.0);
      EXPECT_TRUE(decodesCleanly(file));
      EXPECT_EQ(run("gst-launch-1.0 -q filesrc location=" + f +
                        " ! decodebin name=d d. ! queue ! fakesink d. ! queue ! fakesink",
                    &decoded),
                0)
          << decoded;
      run("mplayer -identify -vo null -ao null -benchmark -nolirc " + f, &played);
      EXPECT_NE(played.find("ID_EXIT=EOF"), std::string::npos) << played;
      EXPECT_EQ(played.find("rror"), std::string::npos) << played;
      // A killed file's header counts what the muxer had been given, up to
      // half a second of which had not reached the disk yet.
      EXPECT_NEAR(numberAfter(played, "ID_LENGTH="), duration, file == killed ? 0.5 : 0.1) << played;
    }
  }
}

TEST_F(EngineRecording, BadPathsFailAtStartAndWriteNothingElsewhere) {
  const fs::path work = dir / "paths";
  fs::create_directories(work);
  struct Case {
    std::string path, says;
  } cases[] = {
      {"", "no file name"},
      {work.string(), "Is a directory"},
      {(work / "missing" / "x.wmv").string(), "No such file or directory"},
      {(work / std::string(300, 'n')).string(), "File name too long"},
  };
  for (const auto& c : cases) {
    Settings s;
    s.audio = false;
    s.path = rt::fromUtf8(c.path);
    auto enc = configure(s);
    EXPECT_LT(enc->Start(), 0) << c.path;
    const std::string error = rt::toUtf8(rt::takeErrorInfo());
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_NE(error.find(c.path), std::string::npos) << error;
  }
  EXPECT_TRUE(fs::is_empty(work));

  // "pipe:1" is a file of that name in the working folder, never standard output.
  std::string out;
  const int status = run("cd " + quote(work.string()) + " && " + VARDEL_RECORD +
                         " --out pipe:1 --seconds 0.5 > stdout.bin 2> stderr.txt");
  EXPECT_EQ(status, 0) << slurp(work / "stderr.txt");
  EXPECT_EQ(fs::file_size(work / "stdout.bin"), 0u);
  EXPECT_EQ(probe(work / "pipe:1").videoCodec, "wmv2");
}

// A small Xvfb of the test's own; its display number, or "" when it did not start.
std::string startXvfb(Child& xvfb, std::vector<std::string> extra) {
  int fds[2];
  if (pipe(fds) != 0) return "";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 3);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  // -noreset: without it the server resets as its last client leaves, and a
  // client connecting during the reset is turned away.
  std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-screen", "0", "800x600x24", "-nolisten", "tcp",
                                   "-noreset"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int spawned = posix_spawnp(&xvfb.pid, "Xvfb", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(fds[1]);
  std::string number;
  if (spawned == 0)
    pollFor(20, [&] {
      char buf[16];
      fcntl(fds[0], F_SETFL, O_NONBLOCK);
      const ssize_t n = ::read(fds[0], buf, sizeof buf);
      if (n > 0) number.append(buf, static_cast<std::size_t>(n));
      return number.find('\n') != std::string::npos;
    });
  ::close(fds[0]);
  if (number.find('\n') == std::string::npos) return "";
  number.pop_back();
  return number;
}

// A display without MIT-SHM (as over the network) is read with plain image
// requests: a second, small Xvfb of the test's own without the extension.
TEST_F(EngineRecording, ADisplayWithoutSharedMemoryIsStillRecorded) {
  Child xvfb;
  const std::string number = startXvfb(xvfb, {"-extension", "MIT-SHM"});
  ASSERT_FALSE(number.empty()) << "the second Xvfb did not start";
  const fs::path file = dir / "noshm.wmv";
  std::string out;
  EXPECT_EQ(run("DISPLAY=:" + number + " " + VARDEL_RECORD + " --out " + quote(file.string()) + " --seconds 1", &out),
            0)
      << out;
  const Probe p = probe(file);
  EXPECT_EQ(p.width, 800);
  EXPECT_EQ(p.height, 600);
  EXPECT_GT(p.videoFrames, 0);
  EXPECT_TRUE(decodesCleanly(file));
}

TEST_F(EngineRecording, AFullDiskStopsWritingKeepsTheFileAndStopSaysSo) {
  const fs::path file = dir / "full.wmv";
  constexpr long kLimit = 120 * 1024;
  std::string out;
  const int status = run(std::string(VARDEL_RECORD) + " --out " + quote(file.string()) +
                             " --seconds 3 --profile " + quote("屏幕视频 - 高(CBR)") +
                             " --max-file-bytes " + std::to_string(kLimit),
                         &out);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("stop failed: The disk is full"), std::string::npos) << out;
  EXPECT_LE(static_cast<long>(fs::file_size(file)), kLimit);
  const Probe p = probe(file);
  EXPECT_EQ(p.videoCodec, "wmv2");
  EXPECT_GT(p.videoFrames, 0);
  EXPECT_TRUE(decodesCleanly(file));
}

// A still screen: only the desktop's background, which the test changes with
// xsetroot, and the pointer, which it moves with xdotool. No pattern runs.
namespace {

class StillScreen : public ::testing::Test {
 protected:
  fs::path dir;
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    ASSERT_TRUE(display && *display) << "DISPLAY is not set: run inside scripts/test-session.sh";
    char tmpl[] = "/tmp/vardel-still-XXXXXX";
    dir = mkdtemp(tmpl);
    ASSERT_EQ(run("xsetroot -solid '#204060' && xdotool mousemove 1500 900"), 0);
  }
  void TearDown() override { fs::remove_all(dir); }

  // The picture a player shows at each 1/fps step, as the mean colour of a
  // 16 x 16 square at (x, y): ffmpeg's fps filter repeats the last frame for
  // the steps without one, as players do.
  static std::vector<std::array<int, 3>> colours(const fs::path& file, int fps, int x, int y) {
    const fs::path raw = file.string() + ".rgb";
    run("ffmpeg -nostdin -v error -y -i " + quote(file.string()) + " -vf fps=" + std::to_string(fps) +
        ",crop=16:16:" + std::to_string(x) + ":" + std::to_string(y) +
        ",scale=1:1:flags=area -f rawvideo -pix_fmt rgb24 " + quote(raw.string()));
    const std::string bytes = slurp(raw);
    std::vector<std::array<int, 3>> out;
    for (std::size_t i = 0; i + 2 < bytes.size(); i += 3)
      out.push_back({static_cast<unsigned char>(bytes[i]), static_cast<unsigned char>(bytes[i + 1]),
                     static_cast<unsigned char>(bytes[i + 2])});
    return out;
  }
  // Records the screen (no sound) with `profile` into `file` for `ms`.
  static void record(const rt::Text& profile, const fs::path& file, int ms, encoder::Ref<encoder::Encoder>& enc) {
    Settings s;
    s.profile = profile;
    s.audio = false;
    s.path = rt::fromUtf8(file.string());
    enc = configure(s);
    ASSERT_EQ(enc->Start(), 0) << rt::toUtf8(rt::takeErrorInfo());
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    ASSERT_EQ(enc->Stop(), 0) << rt::toUtf8(rt::takeErrorInfo());
  }
  // Shows `png` full screen (ffplay, as `player`) and waits until the screen
  // shows its blue, 0x3a6ea5, at (x, y). False when it never does.
  bool show(const fs::path& png, int x, int y, Child& player) {
    player = Child({"ffplay", "-v", "error", "-fs", "-noborder", "-loop", "0", "-an", png.string()},
                   (dir / "ffplay.out").string());
    const fs::path shot = dir / "shot.rgb";
    return pollFor(20, [&] {
      run("ffmpeg -nostdin -v error -y -f x11grab -video_size 1920x1080 -i \"$DISPLAY\" -frames:v 1 -vf crop=2:2:" +
          std::to_string(x) + ":" + std::to_string(y) + " -f rawvideo -pix_fmt rgb24 " + quote(shot.string()));
      const std::string rgb = slurp(shot);
      return rgb.size() >= 3 && std::abs(static_cast<unsigned char>(rgb[0]) - 0x3a) < 8 &&
             std::abs(static_cast<unsigned char>(rgb[2]) - 0xa5) < 8;
    });
  }
  static bool near(const std::array<int, 3>& c, int r, int g, int b) {
    return std::abs(c[0] - r) < 24 && std::abs(c[1] - g) < 24 && std::abs(c[2] - b) < 24;
  }
  // The presentation times of the key frames, in seconds.
  static std::vector<double> keyFrameTimes(const fs::path& file) {
    std::string out;
    run("ffprobe -v error -select_streams v -show_entries packet=pts_time,flags -of csv=p=0 " + quote(file.string()),
        &out);
    std::vector<double> keys;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line))
      if (line.find(",K") != std::string::npos) keys.push_back(std::atof(line.c_str()));
    return keys;
  }
};

}  // namespace

TEST_F(StillScreen, CostsFewFramesKeepsKeyFramesAndLastsAsLongAsTheRecording) {
  const fs::path file = dir / "still.wmv";
  Settings s;
  s.profile = u"屏幕视频 - 高(CBR)";  // 30 frames a second
  s.audio = false;
  s.path = rt::fromUtf8(file.string());
  auto enc = configure(s);
  ASSERT_EQ(enc->Start(), 0) << rt::toUtf8(rt::takeErrorInfo());
  const auto started = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(5500));
  const auto stopping = Clock::now();
  ASSERT_EQ(enc->Stop(), 0) << rt::toUtf8(rt::takeErrorInfo());
  const double recorded = std::chrono::duration<double>(stopping - started).count();
  RecordingFigures f;
  ASSERT_TRUE(recordingFigures(enc, f));
  EXPECT_EQ(f.screenSource, "X11");

  const Probe p = probe(file);
  EXPECT_NEAR(p.duration, recorded, 0.2);
  EXPECT_NEAR(p.lastVideoPts + 1.0 / 30, recorded, 0.2) << "the last picture stands until the end";
  EXPECT_TRUE(decodesCleanly(file));
  // About 165 slots. A still screen sends its first picture and three more
  // to bring out its detail, a key frame every 2 s (one fine frame, then the
  // same frame again), and the end: about 8.
  EXPECT_LE(p.videoPackets, 25) << "unchanged slots were encoded";
  EXPECT_GT(f.framesUnchanged, 130);
  const auto keys = keyFrameTimes(file);
  ASSERT_FALSE(keys.empty());
  EXPECT_DOUBLE_EQ(keys.front(), 0.0);
  for (std::size_t i = 1; i < keys.size(); ++i) EXPECT_LE(keys[i] - keys[i - 1], 2.0 + 1e-6);
  EXPECT_LE(recorded - keys.back(), 2.0 + 1.0 / 30) << "the end is more than 2 s from a key frame";
  // Every step shows the background.
  const auto steps = colours(file, 30, 100, 100);
  ASSERT_GT(steps.size(), 150u);
  for (const auto& c : steps) ASSERT_TRUE(near(c, 0x20, 0x40, 0x60)) << c[0] << "," << c[1] << "," << c[2];
}

// A player showing a still picture redraws it every frame: the server
// reports damage, but the picture does not change, and nothing is sent.
TEST_F(StillScreen, APictureRedrawnUnchangedSendsNothing) {
  const fs::path png = dir / "slide.png", file = dir / "redrawn.wmv";
  ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i color=c=0x3a6ea5:s=1920x1080 -frames:v 1 " +
                quote(png.string())),
            0);
  // Shown once the screen's centre is the picture's blue.
  Child player;
  ASSERT_TRUE(show(png, 959, 539, player)) << "the player did not show the picture";
  encoder::Ref<encoder::Encoder> enc;
  ASSERT_NO_FATAL_FAILURE(record(u"屏幕视频 - 高(CBR)", file, 4500, enc));
  player.end();
  RecordingFigures f;
  ASSERT_TRUE(recordingFigures(enc, f));
  // About 135 slots: as on a still screen about 13 are sent, and a few more
  // for a change the player may still make as it settles; a picture sent
  // again at every redraw would be all 135.
  EXPECT_LE(f.framesCaptured, 30) << "a picture redrawn unchanged was sent again";
  // The slots the loop found unchanged, and the few a busy machine made it miss.
  EXPECT_GT(f.framesUnchanged + f.framesSkipped, 80);
}

// A still slide is seen sharp: the encoder's coarse first picture of it is
// sharpened by the frames after it, every key frame while it stands still is
// one finely encoded frame written again, and the next slide is as sharp as
// the first although the rate control has spent more than its share on the
// first and on a black screen between them (its own frames then showed the
// second at luma MSE 127 until its next key frame). Measured against
// lossless grabs of the screen (luma MSE of what a player shows at each
// step), at the low profile, whose rate control gives a frame the fewest
// bits.
TEST_F(StillScreen, SlidesAreSeenSharpAndAStillSlidesKeyFramesAreOneFrameWrittenAgain) {
  const fs::path text = dir / "slide.txt", file = dir / "slides.wmv", slides = dir / "slides.mkv";
  {
    std::ofstream lines(text);
    for (int i = 1; i <= 60; ++i)
      lines << i << "  Vardel courseware kit - lesson notes, line " << i
            << ": The quick brown fox jumps over the lazy dog 0123456789 ({[<>]})\n";
  }
  // Two slides that differ in every line, and the lossless grab of each on screen.
  ASSERT_EQ(run("xdotool mousemove 1919 1079"), 0);
  for (const char* slide : {"a", "b"}) {
    const fs::path png = dir / (std::string(slide) + ".png");
    ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f lavfi -i color=white:s=1920x1080 -frames:v 1 -vf "
                  "\"drawtext=fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf:textfile=" + text.string() +
                  ":fontsize=15:fontcolor=black:x=" + (*slide == 'a' ? "40" : "44") + ":y=20:line_spacing=2,"
                  "drawbox=x=1300:y=100:w=500:h=300:color=0x3a6ea5:t=fill\" " + quote(png.string())),
              0);
    Child player;
    ASSERT_TRUE(show(png, 1500, 250, player)) << "the player did not show slide " << slide;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(run("ffmpeg -nostdin -v error -y -f x11grab -video_size 1920x1080 -draw_mouse 1 -i \"$DISPLAY\" "
                  "-frames:v 1 " + quote((dir / (std::string(slide) + "-screen.png")).string())),
              0);
  }
  // The first slide for 3 s, a black screen for half a second, then the
  // second: it comes after the first still key frame (2 s) and before the
  // next, when the rate control has spent more than its share on the slide
  // and the black screen.
  ASSERT_EQ(run("ffmpeg -nostdin -v error -y -loop 1 -framerate 2 -t 3 -i " + quote((dir / "a.png").string()) +
                " -f lavfi -i color=black:s=1920x1080:r=2:d=0.5 -loop 1 -framerate 2 -t 8 -i " +
                quote((dir / "b.png").string()) +
                " -filter_complex '[0:v]format=yuv420p[a];[1:v]format=yuv420p[k];[2:v]format=yuv420p[b];"
                "[a][k][b]concat=n=3:v=1' -c:v ffv1 " + quote(slides.string())),
            0);
  Child player;
  ASSERT_TRUE(show(slides, 1500, 250, player)) << "the player did not show the slides";
  encoder::Ref<encoder::Encoder> enc;
  ASSERT_NO_FATAL_FAILURE(record(u"屏幕视频(CBR)", file, 7500, enc));  // 10 frames a second, 1.5 Mbit/s
  player.end();

  // What a player shows at each 1/10 s step (ffmpeg's fps filter repeats a
  // frame until the next one), against each slide's screen.
  std::vector<double> mse[2];
  for (int k = 0; k < 2; ++k) {
    const fs::path stats = dir / ("psnr-" + std::to_string(k) + ".txt");
    ASSERT_EQ(run("ffmpeg -nostdin -v error -i " + quote(file.string()) + " -loop 1 -i " +
                  quote((dir / (k == 0 ? "a-screen.png" : "b-screen.png")).string()) +
                  " -lavfi \"[0:v]fps=10,format=yuv420p[a];[1:v]format=yuv420p[b];[a][b]psnr=stats_file=" +
                  stats.string() + ":shortest=1\" -f null -"),
              0);
    std::istringstream steps(slurp(stats));
    for (std::string line; std::getline(steps, line);) {
      const auto at = line.find("mse_y:");
      ASSERT_NE(at, std::string::npos) << line;
      mse[k].push_back(std::atof(line.c_str() + at + 6));
    }
  }
  ASSERT_EQ(mse[0].size(), mse[1].size());
  ASSERT_GE(mse[0].size(), 70u);
  // The black screen's pictures are far from both slides.
  std::size_t second = 0;
  while (second < mse[1].size() && mse[1][second] > 1000) ++second;
  ASSERT_GE(second, 21u) << "the second slide came before the first still key frame";
  ASSERT_LT(second, 55u) << "the second slide did not come in time";
  // Key frames are due every 2 s; the second slide's first one is still.
  const std::size_t secondKey = (second / 20 + 1) * 20;
  for (std::size_t step = 5; step < mse[0].size(); ++step) {
    // The encoder's first picture of a slide is coarse (38 at the start);
    // within 0.4 s it is legible, and from the slide's still key frame on
    // as sharp as the encoder makes a picture.
    const double shown = std::min(mse[0][step], mse[1][step]);
    if (shown > 1000 || (step >= second && step < second + 4)) continue;
    const bool fromStillKey = (step >= 20 && step < second) || step >= secondKey;
    EXPECT_LE(shown, fromStillKey ? 2.5 : 3.0)
        << "the picture shown at " << static_cast<double>(step) / 10 << " s is coarse";
  }
  // The second slide's key frames (its first still one and the end) are one frame.
  std::string out;
  run("ffprobe -v error -select_streams v -show_entries packet=pts_time,flags,data_hash -show_data_hash MD5 "
      "-of csv=p=0 " + quote(file.string()), &out);
  std::istringstream packets(out);
  std::vector<std::string> keys;
  for (std::string packet; std::getline(packets, packet);)
    if (std::atof(packet.c_str()) >= static_cast<double>(secondKey) / 10 - 0.01 &&
        packet.find(",K") != std::string::npos)
      keys.push_back(packet.substr(packet.rfind(',') + 1));
  ASSERT_GE(keys.size(), 2u) << out;
  for (const auto& k : keys) EXPECT_EQ(k, keys.front()) << "a key frame of the still slide was encoded anew";
}

TEST_F(StillScreen, AChangeAndAMovedPointerShowAtTheirTime) {
  const fs::path file = dir / "change.wmv";
  Settings s;
  s.profile = u"屏幕视频 - 高(CBR)";
  s.audio = false;
  s.path = rt::fromUtf8(file.string());
  auto enc = configure(s);
  ASSERT_EQ(enc->Start(), 0) << rt::toUtf8(rt::takeErrorInfo());
  const auto started = Clock::now();
  auto since = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
  // The pointer moves first, alone; the background changes between two key
  // frames, so a change that waited for one would be late.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  ASSERT_EQ(run("xdotool mousemove 300 300"), 0);
  const double moved = since();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const double before = since();
  ASSERT_EQ(run("xsetroot -solid '#c0c040'"), 0);
  const double after = since();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_EQ(enc->Stop(), 0) << rt::toUtf8(rt::takeErrorInfo());

  const auto background = colours(file, 30, 100, 100);
  ASSERT_GT(background.size(), 100u);
  std::size_t changedAt = 0;
  while (changedAt < background.size() && near(background[changedAt], 0x20, 0x40, 0x60)) ++changedAt;
  ASSERT_LT(changedAt, background.size()) << "the change never shows";
  const double shown = static_cast<double>(changedAt) / 30;
  // A picture carries the time its slot's look began, rounded to the slot,
  // and ffmpeg's fps filter rounds once more: it may show a little early.
  EXPECT_GE(shown, before - 0.1);
  EXPECT_LE(shown, after + 0.5) << "the change showed late";
  for (std::size_t i = changedAt; i < background.size(); ++i)
    ASSERT_TRUE(near(background[i], 0xc0, 0xc0, 0x40)) << "step " << i << " is not the new background";

  // Before the move the pointer stands at (1500, 900); after it, at
  // (300, 300), and the spot it left shows the plain background again.
  const auto oldSpot = colours(file, 30, 1500, 900);
  const auto newSpot = colours(file, 30, 300, 300);
  ASSERT_EQ(oldSpot.size(), background.size());
  ASSERT_GT(moved + 0.5, 0.6);
  const auto beforeMove = static_cast<std::size_t>(0.5 * 30);
  const auto afterMove = static_cast<std::size_t>((moved + 0.5) * 30);
  ASSERT_LT(afterMove, changedAt) << "the pointer's move and the change are too close to tell apart";
  EXPECT_FALSE(near(oldSpot[beforeMove], 0x20, 0x40, 0x60)) << "the pointer is not drawn";
  EXPECT_TRUE(near(newSpot[beforeMove], 0x20, 0x40, 0x60));
  EXPECT_TRUE(near(oldSpot[afterMove], 0x20, 0x40, 0x60)) << "the pointer left a trace";
  EXPECT_FALSE(near(newSpot[afterMove], 0x20, 0x40, 0x60)) << "the moved pointer is not drawn";
}

// An X server that stops answering (here: stopped with SIGSTOP) must not hold
// the stop: Stop completes the file within a second and says why.
TEST_F(EngineRecording, AStalledXServerDoesNotHoldTheStop) {
  Child xvfb;
  const std::string number = startXvfb(xvfb, {});
  ASSERT_FALSE(number.empty()) << "the second Xvfb did not start";
  ASSERT_EQ(run("DISPLAY=:" + number + " xsetroot -solid '#406080'"), 0);
  const fs::path file = dir / "stalled.wmv", ready = dir / "stalled.ready", out = dir / "stalled.out";
  struct Case {
    const char* what;
    double stallAfter, seconds;  // the stop comes while a read waits, or after the read gave up
  } cases[] = {{"stop during the stall", 1.0, 2.0}, {"stall longer than the read's patience", 1.0, 4.5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(ready);
    fs::remove(file);
    const std::string cmd = "DISPLAY=:" + number + " " + VARDEL_RECORD + " --out " + quote(file.string()) +
                            " --seconds " + std::to_string(c.seconds) + " --audio --figures --ready " +
                            quote(ready.string()) + " > " + quote(out.string()) + " 2>&1";
    Child rec({"sh", "-c", cmd}, "/dev/null");
    ASSERT_TRUE(pollFor(20, [&] { return fs::exists(ready); })) << slurp(out);
    std::this_thread::sleep_for(std::chrono::duration<double>(c.stallAfter));
    kill(xvfb.pid, SIGSTOP);
    const int status = rec.wait(20);
    kill(xvfb.pid, SIGCONT);
    const std::string said = slurp(out);
    EXPECT_EQ(status, 1) << said;
    EXPECT_NE(said.find("stop failed: The screen recording stopped: the X server stopped answering"),
              std::string::npos)
        << said;
    const auto at = said.find("stop_ms=");
    ASSERT_NE(at, std::string::npos) << said;
    EXPECT_LT(std::atof(said.c_str() + at + 8), 1000) << "the stop waited for the stalled server";
    const Probe p = probe(file);
    EXPECT_EQ(p.videoCodec, "wmv2");
    EXPECT_GT(p.duration, c.stallAfter - 0.2) << "the file does not play up to the stall";
    EXPECT_GT(meanVolumeDb(file), -40.0) << "the sound stopped with the picture";
    EXPECT_TRUE(decodesCleanly(file));
  }
}
