// The output layer and the ASF header reader, on files muxed here from a few
// small encoded pictures: bad paths, one recording per file, the completed
// header, a file whose writer died, and a write that fails part-way.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "components/encoder/engine/asf_header.h"
#include "components/encoder/engine/outputs/asf_output.h"
#include "components/encoder/engine/outputs/mp4_output.h"
#include "components/encoder/engine/outputs/output_file.h"
#include "components/encoder/tests/temp_dir.h"

namespace fs = std::filesystem;
using encoder::engine::AsfFile;
namespace asf = encoder::asf;

namespace {

std::string text(const rt::Text& t) { return rt::toUtf8(t); }

// Muxes `frames` wmv2 pictures (64 x 48 at 10 fps; `noisy` makes them large)
// through `out`, bringing the header up to date after each one as the engine
// does, and writes the trailer when asked. Returns the number of frames the
// muxer accepted.
int muxPictures(AsfFile& out, int frames, bool trailer, bool noisy = false) {
  AVFormatContext* fmt = nullptr;
  avformat_alloc_output_context2(&fmt, nullptr, "asf", nullptr);
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMV2);
  AVCodecContext* enc = avcodec_alloc_context3(codec);
  enc->width = noisy ? 320 : 64;
  enc->height = noisy ? 240 : 48;
  enc->time_base = {1, 10};
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->bit_rate = noisy ? 20'000'000 : 200'000;
  enc->gop_size = 20;
  if (noisy) enc->qmax = enc->qmin = 2;
  EXPECT_EQ(avcodec_open2(enc, codec, nullptr), 0);
  AVStream* st = avformat_new_stream(fmt, nullptr);
  avcodec_parameters_from_context(st->codecpar, enc);
  st->time_base = enc->time_base;
  fmt->pb = out.io();
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;
  EXPECT_EQ(avformat_write_header(fmt, nullptr), 0);
  AVFrame* f = av_frame_alloc();
  f->format = enc->pix_fmt;
  f->width = enc->width;
  f->height = enc->height;
  av_frame_get_buffer(f, 0);
  AVPacket* pkt = av_packet_alloc();
  int accepted = 0;
  std::uint32_t seed = 1;
  bool failed = false;
  for (int i = 0; i < frames && !failed; ++i) {
    av_frame_make_writable(f);
    for (int p = 0; p < 3; ++p)
      for (int y = 0; y < (p ? f->height / 2 : f->height); ++y)
        for (int x = 0; x < (p ? f->width / 2 : f->width); ++x) {
          seed = seed * 1664525u + 1013904223u;
          f->data[p][y * f->linesize[p] + x] =
              static_cast<std::uint8_t>(noisy ? seed >> 24 : (x + y + i * 3) & 0xFF);
        }
    f->pts = i;
    avcodec_send_frame(enc, f);
    while (avcodec_receive_packet(enc, pkt) == 0) {
      pkt->duration = 1;
      av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
      const auto end = static_cast<std::uint64_t>(av_rescale_q(pkt->pts + pkt->duration, st->time_base, {1, 10'000'000}));
      if (av_write_frame(fmt, pkt) < 0) {
        failed = true;
        out.salvage(end);
        break;
      }
      ++accepted;
      out.progress(end);
    }
  }
  if (trailer && !failed) {
    EXPECT_EQ(av_write_trailer(fmt), 0);
  }
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&enc);
  fmt->pb = nullptr;
  avformat_free_context(fmt);
  return accepted;
}

struct ReadBack {
  bool opened = false;
  int packets = 0;
  int decodedFrames = 0;
  double duration = -1;
  std::string title;
};

// What FFmpeg's own demuxer and decoder make of a file.
ReadBack readBack(const std::string& path) {
  ReadBack r;
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return r;
  if (avformat_find_stream_info(in, nullptr) < 0) {
    avformat_close_input(&in);
    return r;
  }
  r.opened = true;
  if (in->duration != AV_NOPTS_VALUE) r.duration = static_cast<double>(in->duration) / AV_TIME_BASE;
  if (auto* t = av_dict_get(in->metadata, "title", nullptr, 0)) r.title = t->value;
  const AVCodec* codec = avcodec_find_decoder(in->streams[0]->codecpar->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, in->streams[0]->codecpar);
  avcodec_open2(dec, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  while (av_read_frame(in, pkt) >= 0) {
    ++r.packets;
    if (avcodec_send_packet(dec, pkt) == 0)
      while (avcodec_receive_frame(dec, frame) == 0) ++r.decodedFrames;
    av_packet_unref(pkt);
  }
  avcodec_send_packet(dec, nullptr);
  while (avcodec_receive_frame(dec, frame) == 0) ++r.decodedFrames;
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&in);
  return r;
}

std::unique_ptr<AsfFile> create(const std::string& path, rt::Text& error) {
  return AsfFile::create(rt::fromUtf8(path), error);
}

}  // namespace

TEST(AsfOutputPath, BadPathsFailWithThePathAndTheSystemsReason) {
  TempDir dir("vardel-asf");
  const std::string missing = (dir.path / "no-such-folder" / "x.wmv").string();
  const std::string longName = (dir.path / std::string(300, 'a')).string() + ".wmv";
  struct Case {
    std::string path;
    std::string reason;
  } cases[] = {
      {missing, "No such file or directory"},
      {dir.path.string(), "Is a directory"},
      {longName, "File name too long"},
  };
  for (const auto& c : cases) {
    rt::Text error;
    EXPECT_EQ(create(c.path, error), nullptr) << c.path;
    EXPECT_NE(text(error).find(c.path), std::string::npos) << text(error);
    EXPECT_NE(text(error).find(c.reason), std::string::npos) << text(error);
  }
  rt::Text error;
  EXPECT_EQ(create("", error), nullptr);
  EXPECT_NE(text(error).find("no file name"), std::string::npos) << text(error);

  // Permission: root passes every mode check, but not a read-only sysfs file.
  std::string denied = "/sys/kernel/notes";
  if (geteuid() != 0) {
    fs::create_directory(dir.path / "locked");
    fs::permissions(dir.path / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    denied = (dir.path / "locked" / "x.wmv").string();
  }
  EXPECT_EQ(create(denied, error), nullptr);
  EXPECT_NE(text(error).find("Permission denied"), std::string::npos) << text(error);

  // Devices and named pipes are refused rather than written to (a pipe
  // without a reader must not hang the start either).
  ASSERT_EQ(mkfifo((dir.path / "fifo").c_str(), 0600), 0);
  for (const std::string& p : {(dir.path / "fifo").string(), std::string("/dev/null")}) {
    EXPECT_EQ(create(p, error), nullptr) << p;
    EXPECT_NE(text(error).find("not a regular file"), std::string::npos) << text(error);
  }
  EXPECT_TRUE(fs::is_fifo(dir.path / "fifo"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  fs::remove(dir.path / "fifo");
  EXPECT_TRUE(fs::is_empty(dir.path)) << "a failed create left something behind";
}

TEST(AsfOutputPath, ProtocolLookingNamesAreOnlyFileNames) {
  TempDir dir("vardel-asf");
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path);
  // Standard output goes to a file for the duration, to see that nothing reaches it.
  std::fflush(stdout);
  const int savedStdout = dup(1);
  const int capture = ::open((dir.path / ".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  dup2(capture, 1);
  for (const char* name : {"pipe:1", "concat:a|b", "file:x", "-"}) {
    rt::Text error;
    auto out = create(name, error);
    ASSERT_NE(out, nullptr) << name << ": " << text(error);
    EXPECT_GT(muxPictures(*out, 3, true), 0);
    EXPECT_TRUE(out->close());
  }
  rt::Text error;
  EXPECT_EQ(create("http://host/x.wmv", error), nullptr);
  EXPECT_NE(text(error).find("No such file or directory"), std::string::npos) << text(error);
  std::fflush(stdout);
  dup2(savedStdout, 1);
  ::close(savedStdout);
  ::close(capture);
  fs::current_path(cwd);

  EXPECT_EQ(fs::file_size(dir.path / ".stdout"), 0u) << "something was written to standard output";
  for (const char* name : {"pipe:1", "concat:a|b", "file:x", "-"}) {
    EXPECT_TRUE(fs::is_regular_file(dir.path / name)) << name;
    EXPECT_TRUE(readBack((dir.path / name).string()).opened) << name;
  }
  int entries = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path)) ++entries;
  EXPECT_EQ(entries, 5) << "only the four files and the captured output";
}

// A file one recording is writing is refused to a second one, by either
// output, in this process and in another, before anything is written to it;
// once the first has finished, or its process was killed, it is replaced.
TEST(OutputFile, AFileBeingRecordedIsRefusedToASecondRecordingAndLeftAlone) {
  using encoder::engine::OutputFile;
  TempDir dir("vardel-asf");
  const std::string path = (dir.path / "lesson.wmv").string();
  rt::Text error;
  auto first = OutputFile::create(rt::fromUtf8(path), error);
  ASSERT_NE(first, nullptr) << text(error);
  const std::string recorded(5000, 'r');
  ASSERT_TRUE(first->writeAt(0, reinterpret_cast<const std::uint8_t*>(recorded.data()), recorded.size()));

  auto expectRefused = [&](bool refused, const rt::Text& why) {
    EXPECT_TRUE(refused);
    EXPECT_NE(text(why).find("another recording is being made into this file"), std::string::npos) << text(why);
    EXPECT_NE(text(why).find(path), std::string::npos) << text(why);
  };
  rt::Text why;
  expectRefused(create(path, why) == nullptr, why);
  auto mp4 = encoder::engine::Mp4Output::create(why);
  ASSERT_NE(mp4, nullptr);
  expectRefused(!mp4->open(rt::fromUtf8(path), {}, why), why);
  const pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    rt::Text e;
    _exit(OutputFile::create(rt::fromUtf8(path), e) == nullptr &&
                  text(e).find("another recording") != std::string::npos
              ? 0
              : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process was let into the file";
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), recorded) << "a refused start touched the file";

  // Finished: the next recording replaces the file.
  ASSERT_TRUE(first->close());
  first.reset();
  auto next = OutputFile::create(rt::fromUtf8(path), error);
  ASSERT_NE(next, nullptr) << text(error);
  EXPECT_EQ(fs::file_size(path), 0u);
  next.reset();

  // Killed while recording: the system lets go of the file with the process.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t killed = fork();
  ASSERT_GE(killed, 0);
  if (killed == 0) {
    rt::Text e;
    auto held = OutputFile::create(rt::fromUtf8(path), e);
    const char c = held ? 'y' : 'n';
    [[maybe_unused]] const auto n = write(ready[1], &c, 1);
    for (;;) pause();
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  ::close(ready[1]);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(OutputFile::create(rt::fromUtf8(path), why), nullptr) << "the killed recording's file was not held";
  kill(killed, SIGKILL);
  ASSERT_EQ(waitpid(killed, &status, 0), killed);
  auto after = OutputFile::create(rt::fromUtf8(path), error);
  EXPECT_NE(after, nullptr) << text(error);
}

TEST(AsfOutputHeader, DescriptionAndAttributesRoundTripExactly) {
  TempDir dir("vardel-asf");
  const std::string path = (dir.path / "t.wmv").string();
  asf::ContentDescription cd{u"课件标题 😀", u"作者", u"© 2026", u"描述：第一课\n第二行", u""};
  // A lone surrogate survives only if nothing converts the text to UTF-8.
  cd.rating = u"R\xD800!";
  std::vector<asf::Attribute> attrs(2);
  attrs[0].name = u"URL";
  attrs[0].text = u"IP address";
  attrs[1].name = u"网址";
  attrs[1].type = asf::Attribute::kDword;
  attrs[1].raw = {1, 2, 3, 4};
  rt::Text error;
  auto out = create(path, error);
  ASSERT_NE(out, nullptr);
  out->setDescription(cd, attrs);
  const int packets = muxPictures(*out, 25, true);
  ASSERT_TRUE(out->close());

  std::string err;
  auto h = asf::readFileHeader(path, err);
  ASSERT_TRUE(h) << err;
  ASSERT_TRUE(h->content);
  EXPECT_EQ(*h->content, cd);
  ASSERT_EQ(h->attributes.size(), 2u);
  EXPECT_EQ(h->attributes[0].name, u"URL");
  EXPECT_EQ(h->attributes[0].type, asf::Attribute::kText);
  EXPECT_EQ(h->attributes[0].text, u"IP address");
  EXPECT_EQ(h->attributes[1].name, u"网址");
  EXPECT_EQ(h->attributes[1].raw, (asf::Bytes{1, 2, 3, 4}));
  // Sizes stay consistent with the larger header: the muxer's final header
  // states the real file size, and every packet is where FFmpeg expects it.
  EXPECT_EQ(h->fileSize, fs::file_size(path));
  const ReadBack r = readBack(path);
  ASSERT_TRUE(r.opened);
  EXPECT_EQ(r.packets, packets);
  EXPECT_EQ(r.decodedFrames, 25);
  EXPECT_EQ(r.title, "课件标题 😀");
  EXPECT_NEAR(r.duration, 2.5, 0.15);
}

TEST(AsfOutputHeader, AFileWhoseWriterDiedIsValidUpToItsLastPacket) {
  TempDir dir("vardel-asf");
  const std::string path = (dir.path / "killed.wmv").string();
  rt::Text error;
  auto out = create(path, error);
  ASSERT_NE(out, nullptr);
  out->setDescription({u"t", u"a", u"c", u"d", u"r"}, {});
  // No trailer and no close: the state a killed process leaves on disk.
  muxPictures(*out, 40, false);
  const std::string copy = (dir.path / "copy.wmv").string();
  fs::copy_file(path, copy);
  std::string err;
  auto h = asf::readFileHeader(copy, err);
  ASSERT_TRUE(h) << err;
  const auto size = fs::file_size(copy);
  EXPECT_LE(h->fileSize, size);
  EXPECT_GT(h->fileSize + h->packetSize, size) << "the header lags more than one packet";
  const ReadBack r = readBack(copy);
  ASSERT_TRUE(r.opened);
  EXPECT_NEAR(r.duration, 4.0, 0.5);
  EXPECT_GE(r.decodedFrames, 30) << "more than the last second (10 frames) was lost";
}

TEST(AsfOutputHeader, AFailedWriteStopsAndKeepsAValidFile) {
  TempDir dir("vardel-asf");
  const std::string path = (dir.path / "full.wmv").string();
  constexpr rlim_t kLimit = 200 * 1024;
  // A file size limit stands in for a full disk: writes beyond it fail
  // with EFBIG the way a full disk fails them with ENOSPC.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{kLimit, kLimit};
    setrlimit(RLIMIT_FSIZE, &lim);
    rt::Text e;
    auto out = AsfFile::create(rt::fromUtf8(path), e);
    if (!out) _exit(2);
    muxPictures(*out, 200, true, true);
    const bool closed = out->close();
    _exit(!closed && out->error() == EFBIG ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the failure was not reported as a write error";
  const auto size = fs::file_size(path);
  EXPECT_LE(size, kLimit);
  std::string err;
  auto h = asf::readFileHeader(path, err);
  ASSERT_TRUE(h) << err;
  EXPECT_EQ(h->fileSize, size) << "the kept file ends on a whole packet";
  const ReadBack r = readBack(path);
  ASSERT_TRUE(r.opened);
  EXPECT_GT(r.decodedFrames, 0);
}

TEST(AsfHeaderReader, RejectsMalformedObjects) {
  const asf::Bytes cd = asf::buildContentDescription({u"a", u"b", u"c", u"d", u"e"});
  ASSERT_TRUE(asf::readContentDescription(cd));
  // A field length that runs past the object.
  asf::Bytes bad = cd;
  bad[24] = 0xFF;
  EXPECT_FALSE(asf::readContentDescription(bad));
  EXPECT_FALSE(asf::readContentDescription(std::span(cd).first(30)));

  asf::Attribute a;
  a.name = u"URL";
  a.text = u"x";
  const asf::Bytes ecd = asf::buildExtendedContent({a});
  ASSERT_TRUE(asf::readExtendedContent(ecd));
  EXPECT_FALSE(asf::readExtendedContent(std::span(ecd).first(ecd.size() - 3)));

  // A header whose object sizes do not add up to the header's size.
  asf::Bytes header(asf::kHeaderObject.begin(), asf::kHeaderObject.end());
  header.resize(30);
  asf::writeU64(header, 16, 30 + cd.size());
  asf::writeU32(header, 24, 1);
  header.insert(header.end(), cd.begin(), cd.end());
  ASSERT_TRUE(asf::parseHeader(header));
  asf::writeU64(header, 30 + 16, cd.size() + 1);
  EXPECT_FALSE(asf::parseHeader(header));
  asf::writeU64(header, 30 + 16, cd.size());
  asf::writeU32(header, 24, 2);
  EXPECT_FALSE(asf::parseHeader(header));
}
