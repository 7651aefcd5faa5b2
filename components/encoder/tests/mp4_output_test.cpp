// The outputs: which container a name gets, what the ASF output declares of
// its streams, and the MP4 output on small real recordings (pictures encoded
// here, muxed through the Output, read back with libavformat): the regular
// file a clean finish leaves, a writer that dies, a write that fails
// part-way, a finishing step that cannot run, and the freeform items added to
// a movie box.
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include "components/encoder/engine/asf_header.h"
#include "components/encoder/engine/outputs/mp4_boxes.h"
#include "components/encoder/engine/outputs/mp4_output.h"
#include "components/encoder/engine/outputs/output.h"
#include "components/encoder/tests/temp_dir.h"

namespace fs = std::filesystem;
using namespace encoder::engine;
namespace mp4 = encoder::mp4;

namespace {

const Description kDescription{
    {u"第一课：屏幕录制 🎬", u"张老师", u"© 2026 Vardel 课件", u"描述 with emoji 😀 and Ω", u"适合 𝄞 所有人"},
    {{u"URL", encoder::asf::Attribute::kText, u"IP address", {}},
     {u"课程", encoder::asf::Attribute::kText, u"第二章 🎓", {}},
     {u"Approved", encoder::asf::Attribute::kBool, u"", {1, 0, 0, 0}},
     {u"Lesson", encoder::asf::Attribute::kDword, u"", {0xfe, 0xff, 0xff, 0xff}}}};

// A recording made through an Output: pictures of `size` at 10 fps in the
// given grid slots, each slot's picture different; slots in `keys` are
// forced key frames. `noisy` pictures compress badly (large packets).
struct Recorder {
  std::unique_ptr<Output> out;
  AVCodecContext* venc = nullptr;
  AVStream* vst = nullptr;
  AVFrame* frame = nullptr;
  std::uint64_t recorded = 0;
  bool failed = false;

  Recorder(const fs::path& path, int width = 64, int height = 48) {
    rt::Text error;
    out = createOutput(rt::fromUtf8(path.string()), error);
    EXPECT_TRUE(out) << rt::toUtf8(error);
    EXPECT_TRUE(out->addVideo(width, height, VideoSettings{10, 2'000'000}, venc, vst, error)) << rt::toUtf8(error);
    EXPECT_TRUE(out->open(rt::fromUtf8(path.string()), kDescription, error)) << rt::toUtf8(error);
    frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    av_frame_get_buffer(frame, 0);
  }
  ~Recorder() {
    av_frame_free(&frame);
    avcodec_free_context(&venc);
  }
  void drain() {
    AVPacket* pkt = av_packet_alloc();
    while (avcodec_receive_packet(venc, pkt) == 0) {
      if (pkt->duration == 0) pkt->duration = 1;
      recorded = static_cast<std::uint64_t>((pkt->pts + 1) * 1'000'000);
      if (!failed && !out->write(pkt, venc, vst, recorded)) failed = true;
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
  }
  void picture(std::int64_t slot, bool key, bool noisy = false) {
    av_frame_make_writable(frame);
    std::uint32_t seed = static_cast<std::uint32_t>(slot) * 2654435761u + 1;
    for (int p = 0; p < 3; ++p) {
      const int w = p ? frame->width / 2 : frame->width, h = p ? frame->height / 2 : frame->height;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          seed = seed * 1664525u + 1013904223u;
          frame->data[p][y * frame->linesize[p] + x] =
              noisy ? static_cast<std::uint8_t>(seed >> 24)
                    : static_cast<std::uint8_t>(p ? 128 : (x + y * 2 + slot * 7) & 0xff);
        }
    }
    frame->pts = slot;
    frame->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    EXPECT_EQ(avcodec_send_frame(venc, frame), 0);
    drain();
  }
  bool finish() {
    avcodec_send_frame(venc, nullptr);
    drain();
    if (failed) {
      out->abandon();
      return false;
    }
    return out->finish(recorded);
  }
};

// What libavformat reads back from a file.
struct ReadBack {
  bool opened = false;
  std::string format, codec;
  std::map<std::string, std::string> tags;
  std::vector<double> pts;  // video packets, seconds
  std::vector<bool> keys;
  std::vector<int> sizes;
  int readError = 0;  // the error that ended reading, 0 at a clean end
  double duration = -1;
};

ReadBack readBack(const fs::path& file) {
  ReadBack r;
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, file.c_str(), nullptr, nullptr) < 0) return r;
  r.opened = true;
  avformat_find_stream_info(in, nullptr);
  r.format = in->iformat->name;
  if (in->nb_streams > 0) r.codec = avcodec_get_name(in->streams[0]->codecpar->codec_id);
  const AVDictionaryEntry* e = nullptr;
  while ((e = av_dict_get(in->metadata, "", e, AV_DICT_IGNORE_SUFFIX))) r.tags[e->key] = e->value;
  if (in->duration > 0) r.duration = static_cast<double>(in->duration) / AV_TIME_BASE;
  AVPacket* pkt = av_packet_alloc();
  int ret;
  while ((ret = av_read_frame(in, pkt)) >= 0) {
    const AVStream* s = in->streams[pkt->stream_index];
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      r.pts.push_back(static_cast<double>(pkt->pts) * av_q2d(s->time_base));
      r.keys.push_back((pkt->flags & AV_PKT_FLAG_KEY) != 0);
      r.sizes.push_back(pkt->size);
    }
    av_packet_unref(pkt);
  }
  if (ret != AVERROR_EOF) r.readError = ret;
  av_packet_free(&pkt);
  avformat_close_input(&in);
  return r;
}

std::vector<std::string> boxTypes(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  std::vector<std::string> types;
  for (const auto& b : mp4::topLevelBoxes(fd)) types.push_back(b.type);
  ::close(fd);
  return types;
}

bool coversTheWholeFile(const fs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY);
  std::uint64_t end = 0;
  for (const auto& b : mp4::topLevelBoxes(fd)) end = b.offset + b.size;
  ::close(fd);
  return end == fs::file_size(file);
}

// Runs `body` in a child process; its exit status.
template <class F>
int inChild(F body) {
  const pid_t pid = fork();
  if (pid == 0) {
    ::testing::GTEST_FLAG(throw_on_failure) = false;
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(OutputChoice, OnlyAnMp4NameInAnyCaseGetsAnMp4) {
  for (const char16_t* name : {u"a.mp4", u"a.MP4", u"/tmp/x/Lesson 1.Mp4", u"课.mP4", u".mp4"})
    EXPECT_TRUE(isMp4Name(name)) << rt::toUtf8(name);
  for (const char16_t* name : {u"a.wmv", u"a.asf", u"a.avi", u"a", u"mp4", u"a.mp4.wmv", u"a.mp4 ", u"a.m4v",
                               u"a_mp4", u"", u"pipe:1"})
    EXPECT_FALSE(isMp4Name(name)) << rt::toUtf8(name);
  rt::Text error;
  EXPECT_STREQ(createOutput(u"x.MP4", error)->kind(), "MP4");
  EXPECT_STREQ(createOutput(u"x.wmv", error)->kind(), "ASF");
  EXPECT_STREQ(createOutput(u"x.avi", error)->kind(), "ASF");
  EXPECT_STREQ(createOutput(u"x", error)->kind(), "ASF");
}

// Players and file managers read a WMV's frame rate from its header: each
// stream has an extended stream properties object with the profile's rate
// and bit rate and the largest frame, in a finished file and in one whose
// writer died.
TEST(AsfOutput, EachStreamDeclaresItsRateAndLargestFrameFinishedOrKilled) {
  TempDir dir("vardel-asf");
  const fs::path file = dir.path / "rates.wmv", killed = dir.path / "killed.wmv";
  Recorder rec(file);  // 10 fps, 2 Mbit/s
  for (int s = 0; s < 12; ++s) rec.picture(s, s == 0, s == 6);
  fs::copy_file(file, killed);  // what a killed recording leaves on disk
  for (int s = 12; s < 24; ++s) rec.picture(s, false, s == 18);
  ASSERT_TRUE(rec.finish());

  const ReadBack all = readBack(file);
  ASSERT_EQ(all.sizes.size(), 24u);
  const int largest = *std::max_element(all.sizes.begin(), all.sizes.end());
  const int largestFirst12 = *std::max_element(all.sizes.begin(), all.sizes.begin() + 12);
  for (const auto& [path, expected] : {std::pair{file, largest}, std::pair{killed, largestFirst12}}) {
    SCOPED_TRACE(path.filename().string());
    std::string err;
    const auto h = encoder::asf::readFileHeader(path.string(), err);
    ASSERT_TRUE(h) << err;
    ASSERT_EQ(h->streams.size(), 1u);
    const auto& s = h->streams[0];
    EXPECT_EQ(s.streamNumber, 1);
    EXPECT_EQ(s.timePerFrame, 1'000'000u) << "10 frames a second, in 100 ns units";
    EXPECT_EQ(s.dataBitrate, 2'000'000u);
    EXPECT_EQ(s.bufferSize, h->preroll);
    EXPECT_EQ(s.flags, encoder::asf::StreamExtension::kSeekable);
    EXPECT_EQ(s.maxObjectSize, static_cast<std::uint32_t>(expected));
    const ReadBack r = readBack(path);
    EXPECT_EQ(r.readError, 0);
    ASSERT_FALSE(r.sizes.empty());
    EXPECT_GE(s.maxObjectSize, static_cast<std::uint32_t>(*std::max_element(r.sizes.begin(), r.sizes.end())));
  }
}

TEST(Mp4Output, ACleanFinishLeavesARegularFileWithItsIndexFirstAndEveryText) {
  TempDir dir("vardel-mp4");
  const fs::path file = dir.path / "lesson.mp4";
  // A changing screen, then still (slots 4..19 send nothing), a forced key
  // frame at slot 20, and a last frame at 29.
  const std::vector<std::int64_t> slots{0, 1, 2, 3, 20, 21, 29};
  {
    Recorder rec(file);
    for (auto s : slots) rec.picture(s, s == 0 || s == 20);
    ASSERT_TRUE(rec.finish()) << rec.out->error();
  }
  const auto types = boxTypes(file);
  ASSERT_GE(types.size(), 3u);
  EXPECT_EQ(types[0], "ftyp");
  EXPECT_EQ(types[1], "moov") << "the index is not first";
  EXPECT_EQ(std::count(types.begin(), types.end(), "moof"), 0) << "still fragmented";
  EXPECT_TRUE(coversTheWholeFile(file));
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);

  const ReadBack r = readBack(file);
  ASSERT_TRUE(r.opened);
  EXPECT_EQ(r.format, "mov,mp4,m4a,3gp,3g2,mj2");
  EXPECT_EQ(r.codec, "h264");
  EXPECT_EQ(r.readError, 0);
  // Every picture at its own time: the still stretch is a gap, not copies.
  ASSERT_EQ(r.pts.size(), slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) EXPECT_NEAR(r.pts[i], static_cast<double>(slots[i]) / 10.0, 1e-6) << i;
  EXPECT_TRUE(r.keys[0]);
  EXPECT_TRUE(r.keys[4]) << "the forced key frame is not a key frame";
  EXPECT_FALSE(r.keys[5]);
  EXPECT_NEAR(r.duration, 3.0, 0.01);

  const auto tag = [&](const char* k) { return r.tags.count(k) ? r.tags.at(k) : std::string("<missing>"); };
  EXPECT_EQ(tag("title"), "第一课：屏幕录制 🎬");
  EXPECT_EQ(tag("artist"), "张老师");
  EXPECT_EQ(tag("copyright"), "© 2026 Vardel 课件");
  EXPECT_EQ(tag("description"), "描述 with emoji 😀 and Ω");
  EXPECT_EQ(tag("comment"), "描述 with emoji 😀 and Ω");
  EXPECT_EQ(tag("rating"), "适合 𝄞 所有人");
  EXPECT_EQ(tag("URL"), "IP address");
  EXPECT_EQ(tag("课程"), "第二章 🎓");
  EXPECT_EQ(tag("Approved"), "true");
  EXPECT_EQ(tag("Lesson"), "-2");
}

TEST(Mp4Output, AWriterThatDiesLeavesTheFragmentsItCompleted) {
  TempDir dir("vardel-mp4");
  const fs::path file = dir.path / "killed.mp4";
  // 3.5 s of pictures at 10 fps, then the process ends without finishing.
  const int status = inChild([&] {
    Recorder rec(file);
    for (int s = 0; s < 35; ++s) rec.picture(s, s % 20 == 0);
    _exit(rec.failed ? 3 : 0);
    return 0;
  });
  ASSERT_EQ(status, 0);
  const auto types = boxTypes(file);
  ASSERT_GE(types.size(), 4u);
  EXPECT_EQ(types[1], "moov");
  EXPECT_GE(std::count(types.begin(), types.end(), "moof"), 3);
  const ReadBack r = readBack(file);
  ASSERT_TRUE(r.opened);
  EXPECT_EQ(r.readError, 0);
  // A fragment at least every half second: all but the last one is there.
  ASSERT_FALSE(r.pts.empty());
  EXPECT_GE(r.pts.back(), 2.9 - 1e-6);
  for (std::size_t i = 0; i < r.pts.size(); ++i) EXPECT_NEAR(r.pts[i], static_cast<double>(i) / 10.0, 1e-6);
  EXPECT_EQ(r.tags.count("rating") ? r.tags.at("rating") : "", "适合 𝄞 所有人");
}

TEST(Mp4Output, AFailedWriteKeepsEveryCompleteFragmentAndNothingElse) {
  TempDir dir("vardel-mp4");
  const fs::path file = dir.path / "full.mp4";
  constexpr rlim_t kLimit = 1536 * 1024;  // room for a few fragments of noisy pictures
  const int status = inChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    rlimit lim{kLimit, kLimit};
    setrlimit(RLIMIT_FSIZE, &lim);
    Recorder rec(file, 320, 240);
    for (int s = 0; s < 200 && !rec.failed; ++s) rec.picture(s, s % 20 == 0, true);
    if (!rec.failed) return 10;
    const int err = rec.out->error();
    rec.out->abandon();
    return err == EFBIG ? 0 : 11;
  });
  ASSERT_EQ(status, 0) << "10: the limit was never reached; 11: not reported as EFBIG";
  EXPECT_LE(fs::file_size(file), kLimit);
  EXPECT_TRUE(coversTheWholeFile(file)) << "a partial fragment was left at the end";
  const ReadBack r = readBack(file);
  ASSERT_TRUE(r.opened);
  EXPECT_EQ(r.readError, 0);
  EXPECT_GE(r.pts.size(), 3u) << "the fragments written before the disk filled are lost";
}

TEST(Mp4Output, WhenTheRewriteCannotRunTheCompleteFragmentedFileStays) {
  TempDir dir("vardel-mp4");
  const fs::path file = dir.path / "kept.mp4";
  const int status = inChild([&] {
    Recorder rec(file);
    for (int s = 0; s < 25; ++s) rec.picture(s, s % 20 == 0);
    // No file can be opened any more: the new file beside it cannot be made.
    const int top = ::open("/dev/null", O_RDONLY);
    rlimit lim{static_cast<rlim_t>(top), static_cast<rlim_t>(top)};
    setrlimit(RLIMIT_NOFILE, &lim);
    return rec.finish() ? 0 : 1;
  });
  ASSERT_EQ(status, 0) << "the finish reported a failure although the recording is complete";
  const auto types = boxTypes(file);
  EXPECT_GE(std::count(types.begin(), types.end(), "moof"), 2) << "expected the fragmented file";
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1) << "a half-made file stayed";
  const ReadBack r = readBack(file);
  EXPECT_EQ(r.readError, 0);
  EXPECT_EQ(r.pts.size(), 25u) << "the last fragment was not written";
}

TEST(Mp4Output, BadPathsFailWithThePathAndTheSystemsReason) {
  TempDir dir("vardel-mp4");
  struct Case {
    std::string path, says;
  } cases[] = {
      {"", "no file name"},
      {(dir.path / "missing" / "x.mp4").string(), "No such file or directory"},
      {(dir.path / (std::string(300, 'n') + ".mp4")).string(), "File name too long"},
  };
  for (const auto& c : cases) {
    rt::Text error;
    auto out = Mp4Output::create(error);
    ASSERT_TRUE(out);
    EXPECT_FALSE(out->open(rt::fromUtf8(c.path), kDescription, error));
    EXPECT_NE(rt::toUtf8(error).find(c.says), std::string::npos) << rt::toUtf8(error);
    EXPECT_NE(rt::toUtf8(error).find(c.path), std::string::npos) << rt::toUtf8(error);
  }
  // A folder named like an MP4 is not a file.
  fs::create_directories(dir.path / "folder.mp4");
  rt::Text error;
  auto out = Mp4Output::create(error);
  EXPECT_FALSE(out->open(rt::fromUtf8((dir.path / "folder.mp4").string()), kDescription, error));
  EXPECT_NE(rt::toUtf8(error).find("Is a directory"), std::string::npos) << rt::toUtf8(error);
}

TEST(Mp4Boxes, FreeformItemsGoIntoAMovieBoxThatHadNoItemList) {
  // moov { mvhd(empty payload) }: udta > meta > ilst are created.
  mp4::Bytes moov{0, 0, 0, 16, 'm', 'o', 'o', 'v', 0, 0, 0, 8, 'm', 'v', 'h', 'd'};
  const mp4::Tags tags{{"rating", "𝄞"}, {"URL", "x"}};
  ASSERT_TRUE(mp4::addFreeformTags(moov, tags));
  EXPECT_EQ(moov.size(), 16 + 8 + 12 + 33 + 8 + mp4::freeformTagsSize(tags));
  const auto m = mp4::readBox(moov, 0);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->size, moov.size());
  const auto udta = mp4::readBox(moov, 16);
  ASSERT_TRUE(udta);
  EXPECT_EQ(udta->type, "udta");
  EXPECT_EQ(udta->offset + udta->size, moov.size());
  const auto meta = mp4::readBox(moov, 24);
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->type, "meta");
  const auto hdlr = mp4::readBox(moov, 36);
  ASSERT_TRUE(hdlr);
  EXPECT_EQ(hdlr->type, "hdlr");
  const auto ilst = mp4::readBox(moov, 36 + hdlr->size);
  ASSERT_TRUE(ilst);
  EXPECT_EQ(ilst->type, "ilst");
  EXPECT_EQ(ilst->offset + ilst->size, moov.size());
  const auto item = mp4::readBox(moov, ilst->offset + 8);
  ASSERT_TRUE(item);
  EXPECT_EQ(item->type, "----");

  mp4::Bytes notMoov{0, 0, 0, 8, 'f', 'r', 'e', 'e'};
  EXPECT_FALSE(mp4::addFreeformTags(notMoov, tags));
  mp4::Bytes cut{0, 0, 0, 40, 'm', 'o', 'o', 'v'};
  EXPECT_FALSE(mp4::addFreeformTags(cut, tags));
  EXPECT_EQ(cut.size(), 8u);
}
