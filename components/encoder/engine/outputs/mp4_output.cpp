#include "components/encoder/engine/outputs/mp4_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

#include "components/encoder/engine/outputs/output_file.h"

namespace encoder::engine {

namespace {

// A fragment is written at every key frame and at least every half second
// (a moof of a few hundred bytes each time), so a killed recording loses at
// most about a second: the fragment in the making and what the muxer holds
// back to interleave the streams.
constexpr char kFragmentUsec[] = "500000";

// Video: constant quality with the profile's bit rate as the ceiling. Screen
// content (text, flat areas, little motion) needs far less than the ceiling
// at this quality; busy motion is held to the profile's rate by the VBV.
// zerolatency: no B-frames and no look-ahead, so every frame comes out of
// the encoder as it goes in (a still screen sends a frame only every 2 s,
// and a frame held back would be lost to a kill and delay the stop).
// One encoder thread: ultrafast keeps up with busy full-HD motion on one
// core (a full-screen test video at 30 fps: no frame dropped), and threads
// of its own cost 10 to 20 % more CPU in all for nothing the recording
// needs (measured against wmv2 on the same content: 1.0 to 1.1 times its
// CPU with one thread, 1.05 to 1.35 with as many as cores).
// ultrafast at crf 25 measured (bench/recorder/formats.sh, 1080p30) at about
// the CPU of wmv2 with a better picture of a text slide (SSIM 0.9999 against
// 0.9993, PSNR 49.7 against 45.5 dB) in half the size; veryfast and
// superfast cost 1.7 to 2.5 times wmv2's CPU for a further third off the size.
constexpr char kX264Preset[] = "ultrafast";
constexpr char kX264Tune[] = "zerolatency";
constexpr char kX264Crf[] = "25";

// Room in the movie box per packet: sample size (4), time-to-sample (8),
// sync sample (4), chunk offset (8) and sample-to-chunk (12) entries, at
// worst one each per packet, plus spare. (Recordings measure about 17 bytes a
// packet: most chunks hold several packets and durations repeat.) What is
// not used stays as a free box after the movie box.
constexpr std::int64_t kMoovBytesPerPacket = 40;
constexpr std::int64_t kMoovFixedBytes = 16 * 1024;

std::string decimal(long long v) { return std::to_string(v); }

// An attribute's value as the text of a freeform item.
std::string attributeText(const asf::Attribute& a) {
  auto le = [&](std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n && i < a.raw.size(); ++i) v |= static_cast<std::uint64_t>(a.raw[i]) << (8 * i);
    return v;
  };
  switch (a.type) {
    case asf::Attribute::kText: return rt::toUtf8(a.text);
    case asf::Attribute::kBool: return le(4) != 0 ? "true" : "false";
    case asf::Attribute::kWord: return decimal(static_cast<std::int16_t>(le(2)));
    case asf::Attribute::kDword: return decimal(static_cast<std::int32_t>(le(4)));
    case asf::Attribute::kQword: return decimal(static_cast<long long>(le(8)));
    default: {
      std::string hex;
      char two[3];
      for (std::uint8_t b : a.raw) {
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
      }
      return hex;
    }
  }
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<Mp4Output> Mp4Output::create(rt::Text& error) {
  std::unique_ptr<Mp4Output> out(new Mp4Output);
  out->fmt_ = newMuxer("mp4", u"MP4", error);
  if (out->fmt_ == nullptr) return nullptr;
  return out;
}

Mp4Output::~Mp4Output() {
  freeMuxer(fmt_);  // its I/O context is the file's, freed with `file_`
}

bool Mp4Output::addVideo(int width, int height, const VideoSettings& v, AVCodecContext*& venc, AVStream*& vst,
                         rt::Text& error) {
  venc = newEncoder(avcodec_find_encoder_by_name("libx264"),
                    u"Cannot record an MP4: this FFmpeg has no H.264 encoder (libx264).", error);
  if (venc == nullptr) return false;
  setVideoBasics(venc, width, height, v);
  // The screen's pixels are converted with the BT.601 matrix to limited
  // range (libyuv); saying so lets players convert them back exactly.
  venc->color_range = AVCOL_RANGE_MPEG;
  venc->colorspace = AVCOL_SPC_SMPTE170M;
  venc->color_primaries = AVCOL_PRI_BT709;
  venc->color_trc = AVCOL_TRC_IEC61966_2_1;
  venc->rc_max_rate = v.bitRate;
  venc->rc_buffer_size = static_cast<int>(std::min<long>(2 * v.bitRate, INT_MAX));
  venc->keyint_min = 1;
  venc->thread_count = 1;
  venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // MP4 keeps the parameter sets in the sample description
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "preset", kX264Preset, 0);
  av_dict_set(&opts, "tune", kX264Tune, 0);
  av_dict_set(&opts, "crf", kX264Crf, 0);
  // A frame asked to be a key frame becomes an IDR frame: a point a player
  // can start decoding from, which is what seeking into a still screen needs.
  av_dict_set(&opts, "forced-idr", "1", 0);
  const bool opened = openEncoder(venc, &opts, u"Cannot record an MP4: the H.264 encoder", error);
  av_dict_free(&opts);
  return opened && newStream(fmt_, venc, vst, error);
}

bool Mp4Output::addAudio(const AudioSettings& a, AVCodecContext*& aenc, AVStream*& ast, rt::Text& error) {
  aenc = newEncoder(avcodec_find_encoder_by_name("aac"), u"Cannot record an MP4: this FFmpeg has no AAC encoder.",
                    error);
  if (aenc == nullptr) return false;
  setAudioBasics(aenc, a);
  aenc->profile = FF_PROFILE_AAC_LOW;
  aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (!openEncoder(aenc, nullptr, u"Cannot record an MP4: the AAC encoder", error)) return false;
  priming_ = {aenc->initial_padding, aenc->sample_rate};
  return newStream(fmt_, aenc, ast, error);
}

bool Mp4Output::open(const rt::Text& path, const Description& description, rt::Text& error) {
  file_ = OutputFile::create(path, error);
  if (!file_) return false;
  file_->setSink([this](std::uint64_t at, const std::uint8_t* buf, std::size_t size) { return write(at, buf, size); });
  path_ = rt::toUtf8(path);
  description_ = description;

  // The standard items players show, then the rest as freeform items.
  const asf::ContentDescription& c = description.content;
  auto set = [&](const char* key, const rt::Text& value) {
    if (!value.empty()) av_dict_set(&fmt_->metadata, key, rt::toUtf8(value).c_str(), 0);
  };
  set("title", c.title);
  set("artist", c.author);
  set("copyright", c.copyright);
  set("description", c.description);
  set("comment", c.description);
  if (!c.rating.empty()) freeform_.emplace_back("rating", rt::toUtf8(c.rating));
  for (const auto& a : description.attributes) freeform_.emplace_back(rt::toUtf8(a.name), attributeText(a));

  writeThrough(fmt_, file_->io());
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "movflags", "+frag_keyframe+empty_moov+default_base_moof+skip_trailer", 0);
  av_dict_set(&opts, "frag_duration", kFragmentUsec, 0);
  int r = avformat_write_header(fmt_, &opts);
  av_dict_free(&opts);
  if (r >= 0) {
    avio_flush(file_->io());
    if (file_->io()->error < 0) r = file_->io()->error;
  }
  if (r >= 0 && !emitHeader()) r = AVERROR(file_->error() != 0 ? file_->error() : EINVAL);
  if (r < 0) {
    error = file_->error() != 0
                ? u"Cannot write the output file \"" + path + u"\": " + systemText(file_->error()) + u"."
                : u"Cannot write the output file \"" + path + u"\": " + ffmpegText(r) + u".";
    return false;
  }
  return true;
}

bool Mp4Output::write(std::uint64_t at, const std::uint8_t* buf, std::size_t size) {
  if (collecting_) {
    if (header_.size() < at + size) header_.resize(at + size);
    std::copy_n(buf, size, header_.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
  }
  // The header is on disk in its completed form and is never rewritten.
  if (at < header_.size()) {
    file_->fail(EIO);
    return false;
  }
  if (!file_->writeAt(at + static_cast<std::uint64_t>(shift_), buf, size)) return false;
  trackBoxes();
  return true;
}

// The collected header with the freeform items added to its movie box.
bool Mp4Output::emitHeader() {
  mp4::Bytes out;
  std::uint64_t at = 0;
  bool moov = false;
  while (at < header_.size()) {
    const auto b = mp4::readBox(header_, at);
    if (!b || b->offset + b->size > header_.size()) break;
    mp4::Bytes part(header_.begin() + static_cast<std::ptrdiff_t>(at),
                    header_.begin() + static_cast<std::ptrdiff_t>(at + b->size));
    if (b->type == "moov") {
      if (!mp4::addFreeformTags(part, freeform_)) break;
      moov = true;
    }
    out.insert(out.end(), part.begin(), part.end());
    at += b->size;
  }
  if (!moov || at != header_.size()) {
    file_->fail(EINVAL);
    return false;
  }
  collecting_ = false;
  shift_ = static_cast<std::int64_t>(out.size()) - static_cast<std::int64_t>(header_.size());
  if (!file_->writeAt(0, out.data(), out.size())) return false;
  nextBox_ = playableEnd_ = out.size();
  return true;
}

// Follows the top-level boxes as they reach the disk: a fragment is
// playable once its mdat (which follows its moof) is complete.
void Mp4Output::trackBoxes() {
  while (nextBox_ + 8 <= file_->physicalEnd()) {
    std::uint8_t head[16] = {};
    const ssize_t n = ::pread(file_->fd(), head, sizeof head, static_cast<off_t>(nextBox_));
    if (n < 8) return;
    const auto b = mp4::readBox(std::span<const std::uint8_t>(head, static_cast<std::size_t>(n)), 0);
    if (!b || (head[0] == 0 && head[1] == 0 && head[2] == 0 && head[3] == 0)) return;  // size not yet known
    if (nextBox_ + b->size > file_->physicalEnd()) return;
    nextBox_ += b->size;
    if (b->type != "moof") playableEnd_ = nextBox_;
  }
}

void Mp4Output::salvage() {
  if (file_ && !collecting_) file_->truncate(playableEnd_);
}

bool Mp4Output::write(AVPacket* pkt, AVCodecContext* codec, AVStream* stream, std::uint64_t) {
  av_packet_rescale_ts(pkt, codec->time_base, stream->time_base);
  pkt->stream_index = stream->index;
  ++packets_;
  if (av_interleaved_write_frame(fmt_, pkt) < 0 || file_->error() != 0) {
    salvage();
    return false;
  }
  return true;
}

bool Mp4Output::finish(std::uint64_t) {
  // The last fragment; skip_trailer leaves out the fragment index, which
  // would hold absolute positions (and the file is rewritten next).
  if (av_write_trailer(fmt_) < 0 || file_->error() != 0) {
    salvage();
    file_->close();
    return false;
  }
  // The fragmented file is complete from here on. The regular one replaces
  // it only when everything has worked; if anything fails it stays. The file
  // stays open (and held) until the new one has replaced it.
  std::string why;
  if (!rewriteWithIndexFirst(file_->fd(), path_, packets_, fmt_->metadata, freeform_, priming_, why))
    av_log(nullptr, AV_LOG_WARNING, "The MP4 recording \"%s\" stays fragmented: %s\n", path_.c_str(), why.c_str());
  return file_->close();
}

void Mp4Output::abandon() {
  if (file_) file_->close();
}

bool rewriteWithIndexFirst(int fd, const std::string& path, std::int64_t packets, const AVDictionary* metadata,
                           const mp4::Tags& tags, Priming priming, std::string& why) {
  // The new file goes beside the file itself (a symbolic link is followed),
  // so the rename replaces it in one step.
  std::string target = path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    target = real;
    std::free(real);
  }
  struct stat original {};
  if (::fstat(fd, &original) != 0) return why = std::strerror(errno), false;
  std::string tmpl = directoryOf(target) + "/." + baseOf(target) + ".finishing-XXXXXX";
  const int out = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (out < 0) return why = std::string("cannot create a file beside it: ") + std::strerror(errno), false;
  const std::string tmp = tmpl;
  bool outOpen = true;
  AVFormatContext* in = nullptr;
  AVFormatContext* mux = nullptr;
  const auto reader = OutputFile::borrow(fd, true);
  const auto writer = OutputFile::borrow(out, false);
  AVPacket* pkt = av_packet_alloc();
  bool ok = false;
  [&] {
    if (!reader || !writer || pkt == nullptr) return void(why = "out of memory");
    in = avformat_alloc_context();
    if (in == nullptr) return void(why = "out of memory");
    in->pb = reader->io();
    int r = avformat_open_input(&in, "", av_find_input_format("mp4"), nullptr);
    if (r < 0) return void(why = "cannot read it back: " + rt::toUtf8(ffmpegText(r)));
    if (avformat_alloc_output_context2(&mux, nullptr, "mp4", nullptr) < 0 || mux == nullptr)
      return void(why = "no mp4 muxer");
    for (unsigned i = 0; i < in->nb_streams; ++i) {
      AVStream* s = avformat_new_stream(mux, nullptr);
      if (s == nullptr || avcodec_parameters_copy(s->codecpar, in->streams[i]->codecpar) < 0)
        return void(why = "out of memory");
      s->codecpar->codec_tag = 0;
      s->time_base = in->streams[i]->time_base;
      s->avg_frame_rate = in->streams[i]->avg_frame_rate;
    }
    av_dict_copy(&mux->metadata, metadata, 0);
    mux->pb = writer->io();
    mux->flags |= AVFMT_FLAG_CUSTOM_IO;
    // The movie box goes into space reserved after the file type box, so
    // the file is written in one pass and still has its index first.
    const std::int64_t reserve = kMoovFixedBytes + static_cast<std::int64_t>(mp4::freeformTagsSize(tags)) +
                                 kMoovBytesPerPacket * std::max<std::int64_t>(packets, 0);
    if (reserve > INT_MAX) return void(why = "too many packets for one movie box");
    AVDictionary* opts = nullptr;
    av_dict_set_int(&opts, "moov_size", reserve, 0);
    r = avformat_write_header(mux, &opts);
    av_dict_free(&opts);
    if (r < 0) return void(why = "cannot write the new file: " + rt::toUtf8(ffmpegText(r)));
    while ((r = av_read_frame(in, pkt)) >= 0) {
      AVStream* from = in->streams[pkt->stream_index];
      AVStream* to = mux->streams[pkt->stream_index];
      av_packet_rescale_ts(pkt, from->time_base, to->time_base);
      // The fragmented file's muxer put every stream later by the priming,
      // but its first picture at zero: the sound goes back before zero, the
      // pictures back to where they were taken.
      const std::int64_t back = av_rescale_q(priming.samples, AVRational{1, priming.sampleRate}, to->time_base);
      const std::int64_t floor = to->codecpar->codec_type == AVMEDIA_TYPE_AUDIO ? INT64_MIN : 0;
      if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = std::max(floor, pkt->pts - back);
      if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = std::max(floor, pkt->dts - back);
      pkt->pos = -1;
      if ((r = av_interleaved_write_frame(mux, pkt)) < 0) break;
    }
    if (r != AVERROR_EOF) return void(why = "copying failed: " + rt::toUtf8(ffmpegText(r)));
    if ((r = av_write_trailer(mux)) < 0) return void(why = "completing failed: " + rt::toUtf8(ffmpegText(r)));
    if (writer->error() != 0) return void(why = std::strerror(writer->error()));

    // The file now reads ftyp, moov, free, mdat; the freeform items go into
    // the movie box, out of the free box's room.
    const auto boxes = mp4::topLevelBoxes(out);
    std::size_t moov = boxes.size(), mdat = boxes.size();
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      if (boxes[i].type == "moov" && moov == boxes.size()) moov = i;
      if (boxes[i].type == "mdat" && mdat == boxes.size()) mdat = i;
    }
    if (moov >= mdat || moov + 1 >= boxes.size()) return void(why = "the index did not go first");
    if (!tags.empty()) {
      const mp4::Box& m = boxes[moov];
      const mp4::Box& free = boxes[moov + 1];
      if (free.type != "free") return void(why = "no room reserved for the tags");
      mp4::Bytes bytes(m.size);
      if (::pread(out, bytes.data(), bytes.size(), static_cast<off_t>(m.offset)) != static_cast<ssize_t>(m.size) ||
          !mp4::addFreeformTags(bytes, tags))
        return void(why = "cannot add the tags");
      const std::uint64_t room = m.size + free.size;
      if (bytes.size() + 8 > room) return void(why = "no room reserved for the tags");
      const std::uint64_t left = room - bytes.size();
      const std::uint8_t freeHead[8] = {static_cast<std::uint8_t>(left >> 24), static_cast<std::uint8_t>(left >> 16),
                                        static_cast<std::uint8_t>(left >> 8),  static_cast<std::uint8_t>(left),
                                        'f', 'r', 'e', 'e'};
      bytes.insert(bytes.end(), freeHead, freeHead + 8);
      if (::pwrite(out, bytes.data(), bytes.size(), static_cast<off_t>(m.offset)) != static_cast<ssize_t>(bytes.size()))
        return void(why = std::string("cannot write the tags: ") + std::strerror(errno));
    }
    // Only the file the recording wrote is ever replaced.
    struct stat now {};
    if (::stat(target.c_str(), &now) != 0 || now.st_dev != original.st_dev || now.st_ino != original.st_ino)
      return void(why = "the file was moved or replaced during the recording");
    if (::fchmod(out, original.st_mode & 07777) != 0)
      return void(why = std::string("cannot complete the new file: ") + std::strerror(errno));
    outOpen = false;
    if (::close(out) != 0) return void(why = std::string("cannot complete the new file: ") + std::strerror(errno));
    if (::rename(tmp.c_str(), target.c_str()) != 0) return void(why = std::string("rename: ") + std::strerror(errno));
    ok = true;
  }();
  av_packet_free(&pkt);
  if (in != nullptr) avformat_close_input(&in);
  if (mux != nullptr) {
    mux->pb = nullptr;
    avformat_free_context(mux);
  }
  if (outOpen) ::close(out);
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

}  // namespace encoder::engine
