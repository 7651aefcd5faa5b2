#include "components/encoder/engine/outputs/output.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include "components/encoder/engine/outputs/asf_output.h"
#include "components/encoder/engine/outputs/mp4_output.h"

namespace encoder::engine {

namespace {
// How long the muxer waits for a packet of the other stream.
constexpr std::int64_t kMaxInterleaveUsec = 500'000;
}  // namespace

rt::Text ffmpegText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return rt::fromUtf8(buf);
}

bool isMp4Name(const rt::Text& path) {
  static constexpr char16_t kExtension[] = u".mp4";
  constexpr std::size_t n = 4;
  if (path.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char16_t c = path[path.size() - n + i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    if (c != kExtension[i]) return false;
  }
  return true;
}

int Output::sendStillFrame(AVCodecContext* codec, const AVFrame* frame) { return avcodec_send_frame(codec, frame); }

std::unique_ptr<Output> createOutput(const rt::Text& path, rt::Text& error) {
  if (isMp4Name(path)) return Mp4Output::create(error);
  return AsfOutput::create(error);
}

AVFormatContext* newMuxer(const char* format, const rt::Text& shown, rt::Text& error) {
  AVFormatContext* fmt = nullptr;
  if (avformat_alloc_output_context2(&fmt, nullptr, format, nullptr) < 0 || fmt == nullptr) {
    error = u"Cannot record: this FFmpeg has no " + shown + u" muxer.";
    return nullptr;
  }
  return fmt;
}

void freeMuxer(AVFormatContext* fmt) {
  if (fmt == nullptr) return;
  fmt->pb = nullptr;  // the output's, freed by the output
  avformat_free_context(fmt);
}

void writeThrough(AVFormatContext* fmt, AVIOContext* io) {
  fmt->pb = io;
  fmt->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;
  fmt->max_interleave_delta = kMaxInterleaveUsec;
}

AVCodecContext* newEncoder(const AVCodec* codec, const rt::Text& missing, rt::Text& error) {
  AVCodecContext* c = codec ? avcodec_alloc_context3(codec) : nullptr;
  if (c == nullptr) error = missing;
  return c;
}

void setVideoBasics(AVCodecContext* c, int width, int height, const VideoSettings& v) {
  c->width = width;
  c->height = height;
  c->time_base = AVRational{1, v.fps};
  c->framerate = AVRational{v.fps, 1};
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->gop_size = keyFrameInterval(v.fps);
  c->max_b_frames = 0;
}

void setAudioBasics(AVCodecContext* c, const AudioSettings& a) {
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  c->sample_rate = a.sampleRate;
  av_channel_layout_default(&c->ch_layout, a.channels);
  c->bit_rate = a.bitRate;
  c->time_base = AVRational{1, a.sampleRate};
}

bool openEncoder(AVCodecContext* c, AVDictionary** options, const rt::Text& who, rt::Text& error) {
  const int r = avcodec_open2(c, c->codec, options);
  if (r < 0) {
    error = who + u" refused the settings (" + ffmpegText(r) + u").";
    return false;
  }
  return true;
}

bool newStream(AVFormatContext* fmt, const AVCodecContext* c, AVStream*& stream, rt::Text& error) {
  stream = avformat_new_stream(fmt, nullptr);
  if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, c) < 0) {
    error = u"Cannot record: out of memory.";
    return false;
  }
  stream->time_base = c->time_base;
  if (c->codec_type == AVMEDIA_TYPE_VIDEO) stream->avg_frame_rate = c->framerate;
  return true;
}

}  // namespace encoder::engine
