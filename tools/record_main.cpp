// vardel_record: makes one recording through the object model, the way the
// recorder window does, for the end-to-end tests and the benchmark.
//
//   vardel_record --out FILE [--seconds S] [--profile NAME] [--audio] [--no-video]
//                 [--crop BOTTOM,TOP,LEFT,RIGHT] [--title T] [--author T]
//                 [--copyright T] [--description T] [--rating T]
//                 [--attr NAME=VALUE]... [--release] [--ready FILE] [--figures]
//                 [--max-file-bytes N]
//
// --release ends the recording by releasing the encoder instead of Stop;
// --ready writes FILE once recording has started; --figures prints the
// engine's counters as name=value lines; --max-file-bytes limits the size
// of files this process may write, standing in for a full disk. Exit status 0 on success; a
// failure's text goes to standard error.
#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "components/automation/automation.h"
#include "components/encoder/engine.h"

using namespace encoder;

namespace {

int failWith(const char* step) {
  std::fprintf(stderr, "%s failed: %s\n", step, rt::toUtf8(rt::takeErrorInfo()).c_str());
  return 1;
}

#define CHECK(step, call) \
  do {                    \
    if (rt::failed(call)) return failWith(step); \
  } while (0)

}  // namespace

int main(int argc, char** argv) {
  std::string out, ready, profileName;
  bool haveOut = false, audio = false, video = true, release = false, figures = false, haveProfile = false;
  double seconds = 2;
  std::int32_t crop[4] = {0, 0, 0, 0};
  std::vector<std::pair<std::string, std::string>> texts, attrs;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--out") out = value(), haveOut = true;
    else if (a == "--seconds") seconds = std::stod(value());
    else if (a == "--profile") profileName = value(), haveProfile = true;
    else if (a == "--audio") audio = true;
    else if (a == "--no-video") video = false;
    else if (a == "--release") release = true;
    else if (a == "--figures") figures = true;
    else if (a == "--ready") ready = value();
    else if (a == "--max-file-bytes") {
      const rlim_t limit = std::stoull(value());
      rlimit lim{limit, limit};
      std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    else if (a == "--crop") {
      if (std::sscanf(value().c_str(), "%d,%d,%d,%d", &crop[0], &crop[1], &crop[2], &crop[3]) != 4) {
        std::fprintf(stderr, "--crop wants BOTTOM,TOP,LEFT,RIGHT\n");
        return 2;
      }
    } else if (a == "--title" || a == "--author" || a == "--copyright" || a == "--description" ||
               a == "--rating")
      texts.emplace_back(a.substr(2), value());
    else if (a == "--attr") {
      const std::string v = value();
      const auto eq = v.find('=');
      attrs.emplace_back(v.substr(0, eq), eq == std::string::npos ? "" : v.substr(eq + 1));
    } else {
      std::fprintf(stderr, "unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (!haveOut) {
    std::fprintf(stderr, "--out is required\n");
    return 2;
  }

  registerEngine();
  Ref<Encoder> enc;
  {
    rt::ObjectRef created;
    CHECK("create", automation::createInstance(kEncoderClassId, created));
    enc = std::dynamic_pointer_cast<Encoder>(created);
  }
  Ref<SourceGroupCollection> groups;
  Ref<SourceGroup> group;
  CHECK("source groups", enc->get_SourceGroupCollection(groups));
  CHECK("add group", groups->Add(u"SG_1", group));
  if (video) {
    Ref<Source> src;
    CHECK("add video", group->AddSource(SourceType::Video, src));
    CHECK("video input", src->SetInput(u"ScreenCap://ScreenCapture1", u"", u""));
    Ref<VideoSource> vs;
    CHECK("video source", query(src, vs));
    CHECK("crop", vs->put_CroppingBottomMargin(crop[0]));
    CHECK("crop", vs->put_CroppingTopMargin(crop[1]));
    CHECK("crop", vs->put_CroppingLeftMargin(crop[2]));
    CHECK("crop", vs->put_CroppingRightMargin(crop[3]));
  }
  if (audio) {
    Ref<Source> src;
    CHECK("add audio", group->AddSource(SourceType::Audio, src));
    CHECK("audio input", src->SetInput(u"DEVICE://Default_Audio_Device", u"", u""));
  }
  if (haveProfile) {
    Ref<ProfileCollection> profiles;
    CHECK("profiles", enc->get_ProfileCollection(profiles));
    std::int32_t n = 0;
    CHECK("profile count", profiles->get_Count(n));
    bool found = false;
    for (std::int32_t i = 0; i < n && !found; ++i) {
      Ref<Profile> p;
      rt::Text name;
      CHECK("profile", profiles->Item(i, p));
      CHECK("profile name", p->get_Name(name));
      if (name == rt::fromUtf8(profileName)) {
        CHECK("set profile", group->put_Profile(rt::Variant(p)));
        found = true;
      }
    }
    if (!found) {
      std::fprintf(stderr, "no profile named %s\n", profileName.c_str());
      return 2;
    }
  }
  Ref<ContentDescription> cd;
  CHECK("display info", enc->get_DisplayInfo(cd));
  for (const auto& [key, v] : texts) {
    const rt::Text t = rt::fromUtf8(v);
    if (key == "title") CHECK("title", cd->put_Title(t));
    if (key == "author") CHECK("author", cd->put_Author(t));
    if (key == "copyright") CHECK("copyright", cd->put_Copyright(t));
    if (key == "description") CHECK("description", cd->put_Description(t));
    if (key == "rating") CHECK("rating", cd->put_Rating(t));
  }
  Ref<AttributeCollection> attributes;
  CHECK("attributes", enc->get_Attributes(attributes));
  for (const auto& [name, v] : attrs) CHECK("attribute", attributes->Add(rt::fromUtf8(name), rt::Variant(rt::fromUtf8(v))));
  Ref<OutputFile> file;
  CHECK("output file", enc->get_File(file));
  CHECK("output name", file->put_LocalFileName(rt::fromUtf8(out)));
  cd.reset();
  attributes.reset();
  file.reset();

  const auto t0 = std::chrono::steady_clock::now();
  CHECK("start", enc->Start());
  if (!ready.empty()) std::ofstream(ready) << "started\n";
  std::this_thread::sleep_until(t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(seconds)));
  RecordingFigures f;
  if (release) {
    // Ends by dropping the last reference to the running encoder.
    group.reset();
    groups.reset();
    enc.reset();
  } else {
    const rt::Status stopped = enc->Stop();
    if (figures && recordingFigures(enc, f)) {
      std::printf("frames_captured=%lld\nframes_dropped=%lld\nframes_skipped=%lld\nframes_unchanged=%lld\n"
                  "frames_repeated=%lld\nvideo_packets=%lld\naudio_samples=%lld\naudio_silence=%lld\n"
                  "audio_skipped=%lld\nwidth=%d\nheight=%d\nstart_s=%.6f\nfirst_frame_ms=%.3f\nstop_ms=%.3f\n"
                  "screen_source=%s\naudio_input=%s\n",
                  static_cast<long long>(f.framesCaptured), static_cast<long long>(f.framesDropped),
                  static_cast<long long>(f.framesSkipped), static_cast<long long>(f.framesUnchanged),
                  static_cast<long long>(f.framesRepeated),
                  static_cast<long long>(f.videoPackets),
                  static_cast<long long>(f.audioSamples), static_cast<long long>(f.audioSilence),
                  static_cast<long long>(f.audioSkipped), f.width, f.height, f.startSeconds, f.firstFrameLatencyMs,
                  f.stopLatencyMs, f.screenSource.c_str(), f.audioInput.c_str());
      std::fflush(stdout);
    }
    CHECK("stop", stopped);
  }
  return 0;
}
