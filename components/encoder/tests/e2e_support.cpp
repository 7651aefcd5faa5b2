#include "components/encoder/tests/e2e_support.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "components/automation/automation.h"
#include "components/encoder/engine.h"

extern char** environ;

namespace e2e {

using namespace encoder;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int run(const std::string& cmd, std::string* output) {
  FILE* p = popen(("timeout 60 sh -c " + quote(cmd) + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  std::string out;
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  const int status = pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Child::Child(const std::vector<std::string>& args, const std::string& outputPath, ChildOptions options)
    : patience(options.patience) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (options.stderrToo) posix_spawn_file_actions_adddup2(&fa, 1, 2);
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
}

Child::Child(Child&& o) noexcept : pid(o.pid), patience(o.patience) { o.pid = -1; }

Child& Child::operator=(Child&& o) noexcept {
  std::swap(pid, o.pid);
  std::swap(patience, o.patience);
  return *this;
}

int Child::wait(double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (pid > 0 && Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

void Child::end(int sig) {
  if (pid <= 0) return;
  kill(pid, sig);
  if (wait(patience) < 0 && pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
}

bool pollFor(double seconds, const std::function<bool()>& done, std::chrono::milliseconds every) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(every);
  }
  return done();
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::int16_t s16At(const std::string& pcm, std::size_t i) {
  return static_cast<std::int16_t>(static_cast<unsigned char>(pcm[i]) |
                                   (static_cast<unsigned char>(pcm[i + 1]) << 8));
}

std::vector<Section> probeSections(const fs::path& file, const std::string& entries) {
  std::string out;
  run("ffprobe -v error -count_frames -count_packets -show_entries " + entries + " -of compact " +
          quote(file.string()),
      &out);
  std::vector<Section> sections;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    Section s;
    std::istringstream fields(line);
    std::string field;
    std::getline(fields, s.kind, '|');
    while (std::getline(fields, field, '|')) {
      const auto eq = field.find('=');
      if (eq != std::string::npos) s.fields[field.substr(0, eq)] = field.substr(eq + 1);
    }
    sections.push_back(std::move(s));
  }
  return sections;
}

double streamEnd(const fs::path& file, const std::string& type, double fps) {
  std::string out;
  run("ffprobe -v error -select_streams " + type + " -show_entries packet=pts_time,duration_time -of csv=p=0 " +
          quote(file.string()),
      &out);
  double end = -1;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const auto comma = line.find(',');
    if (comma == std::string::npos) continue;
    const double pts = std::atof(line.c_str());
    const std::string d = line.substr(comma + 1);
    end = std::max(end, pts + (d.empty() || d == "N/A" ? 1.0 / fps : std::atof(d.c_str())));
  }
  return end;
}

double lastVideoPts(const fs::path& file) {
  std::string out;
  run("ffprobe -v error -select_streams v -show_entries packet=pts_time -of csv=p=0 " + quote(file.string()), &out);
  double last = -1;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty()) last = std::max(last, std::atof(line.c_str()));
  return last;
}

bool decodesCleanly(const fs::path& file) {
  std::string out;
  return run("ffmpeg -nostdin -v error -i " + quote(file.string()) + " -f null -", &out) == 0 && out.empty();
}

double meanVolumeDb(const fs::path& file) {
  std::string out;
  run("ffmpeg -nostdin -i " + quote(file.string()) + " -map 0:a -af volumedetect -f null -", &out);
  const auto at = out.find("mean_volume: ");
  return at == std::string::npos ? -999 : std::atof(out.c_str() + at + 13);
}

Ref<Encoder> configure(const Settings& s) {
  registerEngine();
  rt::ObjectRef created;
  EXPECT_EQ(automation::createInstance(kEncoderClassId, created), 0);
  auto enc = std::dynamic_pointer_cast<Encoder>(created);
  Ref<SourceGroupCollection> groups;
  Ref<SourceGroup> group;
  Ref<Source> video, audio;
  EXPECT_EQ(enc->get_SourceGroupCollection(groups), 0);
  EXPECT_EQ(groups->Add(u"SG_1", group), 0);
  EXPECT_EQ(group->AddSource(SourceType::Video, video), 0);
  if (s.audio) {
    EXPECT_EQ(group->AddSource(SourceType::Audio, audio), 0);
  }
  EXPECT_EQ(video->SetInput(u"ScreenCap://ScreenCapture1", u"", u""), 0);
  if (s.audio) {
    EXPECT_EQ(audio->SetInput(u"DEVICE://Default_Audio_Device", u"", u""), 0);
  }
  Ref<ProfileCollection> profiles;
  EXPECT_EQ(enc->get_ProfileCollection(profiles), 0);
  std::int32_t n = 0;
  profiles->get_Count(n);
  bool found = false;
  for (std::int32_t i = 0; i < n && !found; ++i) {
    Ref<Profile> p;
    rt::Text name;
    profiles->Item(i, p);
    p->get_Name(name);
    if (name == s.profile) {
      EXPECT_EQ(group->put_Profile(rt::Variant(p)), 0);
      found = true;
    }
  }
  EXPECT_TRUE(found || s.profile.empty()) << rt::toUtf8(s.profile);
  Ref<ContentDescription> cd;
  EXPECT_EQ(enc->get_DisplayInfo(cd), 0);
  cd->put_Author(s.texts.author);
  cd->put_Copyright(s.texts.copyright);
  cd->put_Description(s.texts.description);
  cd->put_Rating(s.texts.rating);
  cd->put_Title(s.texts.title);
  Ref<AttributeCollection> attrs;
  EXPECT_EQ(enc->get_Attributes(attrs), 0);
  EXPECT_EQ(attrs->Add(u"URL", rt::Variant(u"IP address")), 0);
  Ref<OutputFile> file;
  EXPECT_EQ(enc->get_File(file), 0);
  EXPECT_EQ(file->put_LocalFileName(s.path), 0);
  Ref<VideoSource> vs;
  EXPECT_EQ(query(video, vs), 0);
  vs->put_CroppingBottomMargin(s.crop[0]);
  vs->put_CroppingTopMargin(s.crop[1]);
  vs->put_CroppingLeftMargin(s.crop[2]);
  vs->put_CroppingRightMargin(s.crop[3]);
  return enc;
}

Timeline decodeTimeline(const fs::path& file, int squareX, int squareY, int squareSize) {
  Timeline t;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, file.c_str(), nullptr, nullptr) < 0) return t.decodeErrors = true, t;
  avformat_find_stream_info(fmt, nullptr);
  std::vector<AVCodecContext*> decoders(fmt->nb_streams, nullptr);
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVCodecParameters* par = fmt->streams[i]->codecpar;
    if (par->codec_type != AVMEDIA_TYPE_AUDIO && par->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext* ctx = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (ctx == nullptr || avcodec_parameters_to_context(ctx, par) < 0 || avcodec_open2(ctx, codec, nullptr) < 0) {
      avcodec_free_context(&ctx);
      t.decodeErrors = true;
      continue;
    }
    ctx->pkt_timebase = fmt->streams[i]->time_base;
    decoders[i] = ctx;
  }
  bool audioStarted = false;
  AVFrame* frame = av_frame_alloc();
  auto take = [&](AVCodecContext* ctx, const AVStream* st) {
    while (avcodec_receive_frame(ctx, frame) == 0) {
      const std::int64_t ts = frame->best_effort_timestamp;
      const double at = ts == AV_NOPTS_VALUE ? 0 : static_cast<double>(ts) * av_q2d(st->time_base);
      if (ctx->codec_type == AVMEDIA_TYPE_VIDEO) {
        double sum = 0;
        int n = 0;
        // The middle half of the square: its edges may be caught mid-redraw.
        for (int y = squareY + squareSize / 4; y < squareY + squareSize * 3 / 4 && y < frame->height; ++y)
          for (int x = squareX + squareSize / 4; x < squareX + squareSize * 3 / 4 && x < frame->width; ++x, ++n)
            sum += frame->data[0][static_cast<std::ptrdiff_t>(y) * frame->linesize[0] + x];
        t.pictures.push_back({at, n > 0 ? sum / n : 0});
      } else {
        if (!audioStarted) {
          t.rate = frame->sample_rate;
          t.audioStart = at;
          audioStarted = true;
        }
        const auto from = static_cast<std::size_t>(std::max<long long>(0, std::llround((at - t.audioStart) * t.rate)));
        if (t.audio.size() < from + static_cast<std::size_t>(frame->nb_samples))
          t.audio.resize(from + static_cast<std::size_t>(frame->nb_samples));
        const auto fmtS = static_cast<AVSampleFormat>(frame->format);
        for (int i = 0; i < frame->nb_samples; ++i) {
          float v = 0;
          if (fmtS == AV_SAMPLE_FMT_FLTP) v = reinterpret_cast<const float*>(frame->data[0])[i];
          else if (fmtS == AV_SAMPLE_FMT_FLT) v = reinterpret_cast<const float*>(frame->data[0])[i * frame->ch_layout.nb_channels];
          else if (fmtS == AV_SAMPLE_FMT_S16P) v = reinterpret_cast<const std::int16_t*>(frame->data[0])[i] / 32768.0f;
          else if (fmtS == AV_SAMPLE_FMT_S16) v = reinterpret_cast<const std::int16_t*>(frame->data[0])[i * frame->ch_layout.nb_channels] / 32768.0f;
          else t.decodeErrors = true;
          t.audio[from + static_cast<std::size_t>(i)] = v;
        }
      }
    }
  };
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) >= 0) {
    AVCodecContext* ctx = decoders[static_cast<std::size_t>(pkt->stream_index)];
    if (ctx != nullptr) {
      if (avcodec_send_packet(ctx, pkt) < 0) t.decodeErrors = true;
      take(ctx, fmt->streams[pkt->stream_index]);
    }
    av_packet_unref(pkt);
  }
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    if (decoders[i] != nullptr) {
      avcodec_send_packet(decoders[i], nullptr);
      take(decoders[i], fmt->streams[i]);
      avcodec_free_context(&decoders[i]);
    }
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avformat_close_input(&fmt);
  return t;
}

std::vector<double> clickOnsets(const Timeline& t) {
  std::vector<double> at;
  std::ptrdiff_t lastLoud = -t.rate;
  // A click rises out of the tone (a fifth of full scale, 440 Hz: a peak
  // every 2.3 ms). One the recording began in the middle of rises out of
  // nothing (the file's start, or its silent lead-in): its onset is not in
  // the file, and it is no click to time.
  const auto window = static_cast<std::size_t>(t.rate / 400);
  for (std::size_t i = 0; i < t.audio.size(); ++i) {
    if (std::abs(t.audio[i]) < 0.5f) continue;
    const auto n = static_cast<std::ptrdiff_t>(i);
    const bool afterTone = i >= window && std::any_of(t.audio.begin() + static_cast<std::ptrdiff_t>(i - window),
                                                      t.audio.begin() + n, [](float v) { return std::abs(v) >= 0.1f; });
    if (n - lastLoud > t.rate / 2 && afterTone) at.push_back(t.audioTime(i));
    lastLoud = n;
  }
  return at;
}

std::vector<double> flashOnsets(const Timeline& t) {
  std::vector<double> at;
  bool white = true;  // a square white from the start is no flash
  for (const Timeline::Picture& p : t.pictures) {
    if (!white && p.luma > 192) at.push_back(p.t);
    if (p.luma > 192) white = true;
    if (p.luma < 64) white = false;
  }
  return at;
}

std::vector<Hole> soundHoles(const Timeline& t, double minSeconds) {
  std::vector<Hole> holes;
  const auto minRun = static_cast<std::size_t>(minSeconds * t.rate);
  std::size_t quiet = 0;
  for (std::size_t i = 0; i <= t.audio.size(); ++i) {
    if (i < t.audio.size() && std::abs(t.audio[i]) < 0.05f) {
      ++quiet;
      continue;
    }
    if (quiet >= minRun) holes.push_back({t.audioTime(i - quiet), static_cast<double>(quiet) / t.rate});
    quiet = 0;
  }
  return holes;
}

struct StandStills::Watch {
  std::atomic<bool> stop{false};
  std::atomic<unsigned> started{0}, realTime{0};
  unsigned cores = 1;
  mutable std::mutex m;
  std::vector<Hole> seen;
  std::vector<std::thread> threads;

  void watch(unsigned core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    sched_param sp{};
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
    const bool rt = pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0 &&
                    pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) == 0;
    if (rt) ++realTime;
    ++started;
    if (!rt) return;
    const auto late = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(kLateSeconds));
    auto due = Clock::now();
    while (!stop) {
      due += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(due);
      const auto now = Clock::now();
      if (now - due >= late) {
        const auto secs = [](auto d) { return std::chrono::duration<double>(d).count(); };
        std::lock_guard lock(m);
        seen.push_back({secs(due.time_since_epoch()), secs(now - due)});
      }
      due = std::max(due, now);
    }
  }
};

StandStills::StandStills() : watch_(std::make_unique<Watch>()) {
  Watch& w = *watch_;
  w.cores = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned c = 0; c < w.cores; ++c) w.threads.emplace_back([&w, c] { w.watch(c); });
  while (w.started < w.cores) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

StandStills::~StandStills() {
  watch_->stop = true;
  for (std::thread& t : watch_->threads) t.join();
}

bool StandStills::watching() const { return watch_->realTime == watch_->cores; }

std::vector<Hole> StandStills::seen() const {
  std::lock_guard lock(watch_->m);
  std::vector<Hole> all = watch_->seen;
  std::sort(all.begin(), all.end(), [](const Hole& a, const Hole& b) { return a.at < b.at; });
  return all;
}

FlashLog flashLog(const std::string& playerOutput, const std::string& recorderOutput) {
  FlashLog log;
  std::istringstream player(playerOutput);
  for (std::string line; std::getline(player, line);) {
    long long k = 0;
    FlashLog::Flash f{};
    Hole h{};
    if (std::sscanf(line.c_str(), "click %lld %lf %lf", &k, &f.heard, &f.shown) == 3) log.flashes.push_back(f);
    if (std::sscanf(line.c_str(), "played_hole %lf %lf", &h.at, &h.seconds) == 2) log.played.push_back(h);
  }
  if (const auto at = recorderOutput.find("start_s="); at != std::string::npos)
    log.start = std::atof(recorderOutput.c_str() + at + 8);
  return log;
}

SyncReading readSync(const fs::path& file, Square square, const FlashLog* log) {
  SyncReading r;
  r.timeline = decodeTimeline(file, square.x, square.y, square.size);
  const Timeline& t = r.timeline;
  if (t.pictures.empty() || t.audio.empty()) return r;
  r.first = t.pictures.front().t;
  r.last = t.pictures.back().t;
  r.flashes = flashOnsets(t);
  // A moment of the recording on the steady clock: the first picture is the
  // recording's first moment.
  auto steady = [&](double at) { return log->start + (at - r.first); };
  for (double c : clickOnsets(t)) {
    if (c < r.first || c > r.last) continue;
    const auto f = std::min_element(r.flashes.begin(), r.flashes.end(),
                                    [&](double a, double b) { return std::abs(a - c) < std::abs(b - c); });
    const bool near = f != r.flashes.end() && std::abs(*f - c) < 0.5;
    double offset = near ? c - *f : std::nan(""), heard = std::nan("");
    if (log != nullptr && log->start > 0) {
      const auto g = std::min_element(log->flashes.begin(), log->flashes.end(), [&](const auto& a, const auto& b) {
        return std::abs(a.heard - steady(c)) < std::abs(b.heard - steady(c));
      });
      const bool logged = g != log->flashes.end() && std::abs(g->heard - steady(c)) < 0.3;
      offset = logged ? offset + (g->shown - g->heard) : std::nan("");
      if (logged) heard = g->heard;
    }
    r.clicks.push_back({c, offset, heard});
  }
  // Within a played hole: the recording's placement of the sound is good to
  // a few milliseconds.
  auto playedBySink = [&](double from, double to) {
    constexpr double kSlack = 0.01;
    return log != nullptr && log->start > 0 && std::any_of(log->played.begin(), log->played.end(), [&](const Hole& p) {
             return p.at - kSlack <= steady(from) && steady(to) <= p.at + p.seconds + kSlack;
           });
  };
  for (const Hole& h : soundHoles(t, 0.006)) {
    const double from = std::max(h.at, r.first), to = std::min(h.at + h.seconds, r.last);
    if (to - from >= 0.006) (playedBySink(from, to) ? r.played : r.holes).push_back({from, to - from});
  }
  return r;
}

void PatternAndTone::start(const fs::path& dir, const std::string& patternProgram, int toneSeconds,
                           ChildOptions options) {
  const char* display = std::getenv("DISPLAY");
  const char* pulse = std::getenv("PULSE_SERVER");
  if (!display || !*display || !pulse || !*pulse) return;  // assertRunning() says so
  // The moving pattern, redrawn every 10 ms.
  pattern = Child({patternProgram, "--interval-ms", "10"}, (dir / "pattern.out").string(), options);
  pollFor(15, [&] { return slurp(dir / "pattern.out").find("ready") != std::string::npos; });
  const auto tone = (dir / "tone.wav").string();
  run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=1000:duration=" + std::to_string(toneSeconds) +
      " -ar 48000 -ac 2 " + quote(tone));
  player = Child({"paplay", "--latency-msec=20", tone}, (dir / "paplay.out").string(), options);
  waitForSound(dir);
}

bool waitForSound(const fs::path& dir) {
  const auto probePcm = dir / "probe.pcm";
  return pollFor(20, [&] {
    run("timeout 1 parec --raw --latency-msec=20 --format=s16le --rate=8000 --channels=1 > " +
        quote(probePcm.string()));
    const std::string pcm = slurp(probePcm);
    int peak = 0;
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) peak = std::max(peak, std::abs(int{s16At(pcm, i)}));
    return peak > 1000;
  });
}

void PatternAndTone::end() {
  player.end();
  pattern.end();
}

void PatternAndTone::assertRunning() const {
  const char* display = std::getenv("DISPLAY");
  const char* pulse = std::getenv("PULSE_SERVER");
  ASSERT_TRUE(display && *display) << "DISPLAY is not set: run inside scripts/test-session.sh";
  ASSERT_TRUE(pulse && *pulse) << "PULSE_SERVER is not set: run inside scripts/test-session.sh";
  ASSERT_GT(pattern.pid, 0) << "the test pattern did not start";
  ASSERT_GT(player.pid, 0) << "paplay did not start";
}

}  // namespace e2e
