// vardel_bench_probe FILE: reads back a recording of vardel_pattern and
// prints, as name=value lines:
//   frames          pictures in the file
//   distinct        pictures that show a different clock than the one before
//   worst_error_ms  the largest difference between a picture's timestamp and
//                   the clock it shows, both counted from the first picture
//   first_clock_ms  the clock (wall clock ms modulo 2^24) the first picture shows
//   duration_s      the file's duration
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

constexpr int kBits = 24, kBlock = 40;
constexpr std::int64_t kWrap = 1 << kBits;

// The clock drawn along the top edge: Gray-coded, white = 1.
std::int64_t clockOf(const AVFrame* f) {
  std::uint32_t gray = 0;
  for (int b = 0; b < kBits; ++b) {
    const std::uint8_t y = f->data[0][(kBlock / 2) * f->linesize[0] + b * kBlock + kBlock / 2];
    gray = (gray << 1) | (y > 128 ? 1u : 0u);
  }
  std::uint32_t binary = gray;
  for (std::uint32_t m = gray >> 1; m != 0; m >>= 1) binary ^= m;
  return binary;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vardel_bench_probe FILE\n");
    return 2;
  }
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, argv[1], nullptr, nullptr) < 0 || avformat_find_stream_info(in, nullptr) < 0) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  const int vi = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (vi < 0) return 1;
  const AVStream* st = in->streams[vi];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, st->codecpar);
  if (avcodec_open2(dec, codec, nullptr) < 0) return 1;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  long frames = 0, distinct = 0;
  std::int64_t firstClock = -1, lastClock = -1;
  double firstPts = 0, worst = 0;
  auto take = [&] {
    while (avcodec_receive_frame(dec, frame) == 0) {
      const double pts = static_cast<double>(frame->best_effort_timestamp) * av_q2d(st->time_base);
      const std::int64_t c = clockOf(frame);
      if (frames == 0) {
        firstClock = c;
        firstPts = pts;
      }
      if (c != lastClock) ++distinct;
      lastClock = c;
      std::int64_t shown = (c - firstClock) % kWrap;
      if (shown < 0) shown += kWrap;
      worst = std::max(worst, std::fabs((pts - firstPts) * 1000.0 - static_cast<double>(shown)));
      ++frames;
    }
  };
  while (av_read_frame(in, pkt) >= 0) {
    if (pkt->stream_index == vi && avcodec_send_packet(dec, pkt) == 0) take();
    av_packet_unref(pkt);
  }
  avcodec_send_packet(dec, nullptr);
  take();
  std::printf("frames=%ld\ndistinct=%ld\nworst_error_ms=%.1f\nfirst_clock_ms=%lld\nduration_s=%.3f\n", frames,
              distinct, worst, static_cast<long long>(firstClock),
              in->duration > 0 ? static_cast<double>(in->duration) / AV_TIME_BASE : 0.0);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&in);
  return 0;
}
