#include "components/encoder/engine/recording.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <libyuv.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "components/encoder/engine/audio_input.h"
#include "components/encoder/engine/audio_clock.h"
#include "components/encoder/engine/outputs/output.h"
#include "components/encoder/engine/sources/screen_source.h"

namespace encoder::engine {

using Clock = std::chrono::steady_clock;

namespace {

// The frame queue between capture and encoder holds about half a second of
// pictures: enough to ride out a busy moment of the encoder, small enough
// that a lasting overload drops frames instead of eating memory.
constexpr double kQueueSeconds = 0.5;

constexpr AVRational k100ns{1, 10'000'000};

// A source's time for a picture further back than this is taken for one on
// another clock, and the moment of the look stands instead.
constexpr std::chrono::milliseconds kShownWithin{500};

// How long Start waits for the sound's first samples, and Stop for the
// sound of the recording's last moments.
constexpr std::chrono::milliseconds kAudioStartWait{300};
constexpr std::chrono::milliseconds kAudioEndWait{250};

// While the sound server is gone, the sound goes on as silence up to this
// long before the moment: whatever the server delivers once it is back was
// captured after the silence written, which its first chunk's place then
// continues exactly (a stream's first samples reach us well within this).
constexpr double kOutageMarginSeconds = 0.5;

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// What the video encoder thread is asked to do for one grid slot.
enum class Job {
  Encode,          // encode the queued picture
  EncodeStill,     // encode it as a picture that stands still (Output::sendStillFrame)
  EncodeStillKey,  // the same as a key frame, and keep its packet
  RepeatStillKey,  // write the kept key frame again (no picture)
};

// A frame of the pool, and which picture of the canvas it holds.
struct PooledFrame {
  FramePtr frame;
  std::int64_t holds = -1;  // the canvas as of that update (see rowUpdate), -1: nothing yet
};

struct QueuedFrame {
  PooledFrame* pooled = nullptr;  // nullptr for RepeatStillKey
  std::int64_t pts = 0;
  Job job = Job::Encode;
};

}  // namespace

struct Recording::State {
  RecordingConfig config;
  Clock::time_point startCall, t0;

  std::unique_ptr<Output> out;  // the container, chosen by the file's name
  AVCodecContext* venc = nullptr;
  AVCodecContext* aenc = nullptr;
  AVStream* vst = nullptr;
  AVStream* ast = nullptr;
  std::unique_ptr<ScreenSource> screen;
  FramePtr canvas;  // the screen as last seen, in the recording's format
  std::unique_ptr<AudioInput> audio;
  SwrContext* swr = nullptr;
  AVAudioFifo* fifo = nullptr;
  bool headerWritten = false;

  // Muxer and file, behind one lock.
  std::mutex muxMutex;
  std::uint64_t maxEnd100ns = 0;
  std::atomic<bool> writeFailed{false};

  // The frame pool and the queue to the encoder.
  std::mutex queueMutex;
  std::condition_variable queueCv;
  std::vector<PooledFrame> frames;
  std::vector<PooledFrame*> freeFrames;  // used as a stack: the same few frames stay warm
  // The canvas's updates, counted, and for each of its rows the update that
  // last rewrote it: a pooled frame is brought up to date by copying only
  // the rows rewritten since the picture it holds.
  std::int64_t updates = 0;
  std::vector<std::int64_t> rowUpdate;
  std::deque<QueuedFrame> queue;
  bool captureDone = false;
  AVPacket* stillKey = nullptr;  // the still screen's key frame, kept by the encoder thread

  std::mutex stopMutex;
  std::condition_variable stopCv;
  bool stopping = false;
  Clock::time_point stopAt;  // when stop() was called: the recording's end

  std::thread captureThread, encodeThread, audioThread;
  bool stopped = true;  // until the threads run; a failed start has nothing to stop

  std::mutex failMutex;
  rt::Text failure;

  std::atomic<std::int64_t> framesCaptured{0}, framesDropped{0}, framesSkipped{0}, framesUnchanged{0},
      framesRepeated{0}, videoPackets{0}, audioSamples{0}, audioSilence{0}, audioSkipped{0};
  std::atomic<double> firstFrameLatencyMs{-1}, stopLatencyMs{-1};

  // The screen source's view of the canvas.
  Picture canvasPicture() const;
  // The first look at the screen, taken before the recording's clock
  // starts: it reads the whole screen, which takes a few frame periods, so
  // taken in the first slot it would leave the next ones without a look.
  // Sets warmedUp when the canvas then holds the screen. A screen that
  // cannot be read is left to the first slot's look, which reports it as
  // any later look would.
  bool warmedUp = false;
  void warmUp();

  ~State();
  void fail(rt::Text text) {
    std::lock_guard l(failMutex);
    if (failure.empty()) failure = std::move(text);
  }
  bool shouldStop() {
    std::lock_guard l(stopMutex);
    return stopping;
  }

  bool openVideo(rt::Text& error);
  bool openAudio(rt::Text& error);
  void mux(AVPacket* pkt, AVCodecContext* codec, AVStream* stream);
  void drain(AVCodecContext* codec, AVStream* stream, AVPacket** keep = nullptr);
  void captureLoop();
  bool queueFrame(std::int64_t pts, Job job, bool key);
  void copyRewrittenRows(PooledFrame& p);
  void encodeLoop();
  void audioLoop();
  rt::Text writeFailure(int err);
  double seconds() const { return static_cast<double>(maxEnd100ns) / 1e7; }
};

Recording::State::~State() {
  av_packet_free(&stillKey);
  avcodec_free_context(&venc);
  avcodec_free_context(&aenc);
  swr_free(&swr);
  if (fifo != nullptr) av_audio_fifo_free(fifo);
}

bool Recording::State::openVideo(rt::Text& error) {
  const VideoSettings& v = config.plan.videoSettings;
  if (!out->addVideo(screen->width(), screen->height(), v, venc, vst, error)) return false;

  canvas.reset(av_frame_alloc());
  if (!canvas) return error = u"Cannot record: out of memory.", false;
  canvas->format = AV_PIX_FMT_YUV420P;
  canvas->width = venc->width;
  canvas->height = venc->height;
  if (av_frame_get_buffer(canvas.get(), 0) < 0) return error = u"Cannot record: out of memory.", false;

  const auto poolSize = static_cast<std::size_t>(std::max(3.0, std::ceil(v.fps * kQueueSeconds)));
  frames.resize(poolSize);
  for (auto& p : frames) {
    p.frame.reset(av_frame_alloc());
    AVFrame* f = p.frame.get();
    if (f == nullptr) return error = u"Cannot record: out of memory.", false;
    f->format = AV_PIX_FMT_YUV420P;
    f->width = venc->width;
    f->height = venc->height;
    if (av_frame_get_buffer(f, 0) < 0) return error = u"Cannot record: out of memory.", false;
    freeFrames.push_back(&p);
  }
  rowUpdate.assign(static_cast<std::size_t>(venc->height), 0);
  return true;
}

bool Recording::State::openAudio(rt::Text& error) {
  const AudioSettings& a = config.plan.audioSettings;
  if (!out->addAudio(a, aenc, ast, error)) return false;
  // The audio loop converts into planar float, which every output's encoder takes.
  if (aenc->sample_fmt != AV_SAMPLE_FMT_FLTP) {
    error = u"Cannot record: the audio encoder does not take planar float samples.";
    return false;
  }
  int r = swr_alloc_set_opts2(&swr, &aenc->ch_layout, AV_SAMPLE_FMT_FLTP, a.sampleRate, &aenc->ch_layout,
                          AV_SAMPLE_FMT_S16, a.sampleRate, 0, nullptr);
  // Resampling on even at equal rates: the audio clock stretches or
  // squeezes the sound through swresample's compensation.
  if (r >= 0) r = av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0);
  if (r < 0 || swr_init(swr) < 0) {
    error = u"Cannot record: the audio converter cannot be set up.";
    return false;
  }
  fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, a.channels, aenc->frame_size * 4);
  if (fifo == nullptr) {
    error = u"Cannot record: out of memory.";
    return false;
  }
  return true;
}

rt::Text Recording::State::writeFailure(int err) {
  char when[32];
  std::snprintf(when, sizeof when, "%.1f", seconds());
  const rt::Text kept = u": the recording stopped after " + rt::fromUtf8(when) +
                        u" s; the file keeps what was written until then.";
  if (err == ENOSPC || err == EDQUOT || err == EFBIG)
    return u"The disk is full (writing \"" + config.path + u"\" failed: " +
           rt::fromUtf8(std::generic_category().message(err)) + u")" + kept;
  return u"Writing \"" + config.path + u"\" failed (" +
         (err != 0 ? rt::fromUtf8(std::generic_category().message(err)) : rt::Text(u"muxer error")) + u")" +
         kept;
}

void Recording::State::mux(AVPacket* pkt, AVCodecContext* codec, AVStream* stream) {
  if (pkt->duration == 0 && codec == venc) pkt->duration = 1;
  std::lock_guard l(muxMutex);
  if (writeFailed) {
    av_packet_unref(pkt);
    return;
  }
  const auto end = static_cast<std::uint64_t>(
      std::max<std::int64_t>(0, av_rescale_q(pkt->pts + pkt->duration, codec->time_base, k100ns)));
  maxEnd100ns = std::max(maxEnd100ns, end);
  if (codec == venc) ++videoPackets;
  if (!out->write(pkt, codec, stream, maxEnd100ns)) {
    // The output keeps what reached the disk as a playable file.
    av_packet_unref(pkt);
    writeFailed = true;
    fail(writeFailure(out->error()));
  }
}

// Muxes what the encoder has ready. `keep`, when given, receives a copy of
// the key frame among it (time stamps in the encoder's time base).
void Recording::State::drain(AVCodecContext* codec, AVStream* stream, AVPacket** keep) {
  AVPacket* pkt = av_packet_alloc();
  if (pkt == nullptr) return;
  while (avcodec_receive_packet(codec, pkt) == 0) {
    if (keep != nullptr && (pkt->flags & AV_PKT_FLAG_KEY) != 0) {
      av_packet_free(keep);
      *keep = av_packet_clone(pkt);
    }
    mux(pkt, codec, stream);
  }
  av_packet_free(&pkt);
}

// Queues the picture of grid slot `pts`: a copy of the canvas, or for
// RepeatStillKey nothing but the slot. False when the encoder is half a second
// behind and no frame is free.
bool Recording::State::queueFrame(std::int64_t pts, Job job, bool key) {
  PooledFrame* p = nullptr;
  if (job != Job::RepeatStillKey) {
    {
      std::lock_guard l(queueMutex);
      if (freeFrames.empty()) return false;
      p = freeFrames.back();
      freeFrames.pop_back();
    }
    // The encoder may still hold a reference to this frame's buffer (a new
    // one then gets a copy of the picture it held).
    AVFrame* f = p->frame.get();
    if (av_frame_make_writable(f) < 0) {
      std::lock_guard l(queueMutex);
      freeFrames.push_back(p);
      return false;
    }
    copyRewrittenRows(*p);
    f->pts = pts;
    f->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  }
  {
    std::lock_guard l(queueMutex);
    queue.push_back({p, pts, job});
  }
  queueCv.notify_one();
  ++(job == Job::RepeatStillKey ? framesRepeated : framesCaptured);
  return true;
}

// Brings a pooled frame up to the canvas: the rows rewritten since the
// picture it holds, in runs (usually the frame held the picture of a few
// slots ago, and most of the screen has not changed since).
void Recording::State::copyRewrittenRows(PooledFrame& p) {
  AVFrame* f = p.frame.get();
  const int height = f->height;
  auto copy = [&](int top, int bottom) {  // even bounds: chroma rows follow
    for (int plane = 0; plane < 3; ++plane) {
      const int shift = plane == 0 ? 0 : 1;
      const int rows = (bottom - top) >> shift, first = top >> shift;
      const int width = plane == 0 ? f->width : (f->width + 1) / 2;
      av_image_copy_plane(f->data[plane] + static_cast<std::ptrdiff_t>(first) * f->linesize[plane], f->linesize[plane],
                          canvas->data[plane] + static_cast<std::ptrdiff_t>(first) * canvas->linesize[plane],
                          canvas->linesize[plane], width, rows);
    }
  };
  int run = -1;
  for (int r = 0; r < height; r += 2) {
    const bool stale = rowUpdate[static_cast<std::size_t>(r)] > p.holds;
    if (stale && run < 0) run = r;
    if (!stale && run >= 0) {
      copy(run, r);
      run = -1;
    }
  }
  if (run >= 0) copy(run, height);
  p.holds = updates;
}

// Slots in which the screen did not change send no frame: the file's time
// stamps carry the timing and every player keeps showing the last picture,
// which is the screen as it still is. A key frame is sent at least every
// keyFrameInterval() slots, so a still screen can be sought into, and the
// last slot before the end always has a frame, so the file lasts exactly as
// long as the recording.
//
// An encoder's first picture of a change is coarse (its rate control gives
// it a frame's share of the bits), and so is a key frame of a still screen;
// players show either for as long as the screen stands still. So:
// - for three frames after a change the picture goes on being sent although
//   it stands still, and the frames after it bring out the detail (on a
//   detailed text slide, wmv2's first picture of it has a luma MSE of 38
//   against the screen, the next one 2.4); they are counted in frames, not
//   slots, so a loop running late still sends them;
// - where the output encodes a still picture finely (wmv2), once the screen
//   has stood still for a moment after a change one frame more is encoded
//   that way: wmv2's rate control counts frames, not time, and after a large
//   frame it starves the frames after a change (a slide shown at 127 until
//   the next key frame); and a key frame due while the screen stands still is
//   encoded once, finely, and that same frame is written again for every
//   later key frame until the screen changes: a still screen costs no
//   encoding at all and stays sharp;
// - elsewhere (H.264), a key frame is followed by three frames more, as a
//   change is.
Picture Recording::State::canvasPicture() const {
  Picture picture;
  for (int i = 0; i < 3; ++i) {
    picture.plane[i] = canvas->data[i];
    picture.stride[i] = canvas->linesize[i];
  }
  picture.width = canvas->width;
  picture.height = canvas->height;
  return picture;
}

void Recording::State::warmUp() {
  Picture picture = canvasPicture();
  rt::Text error;
  if (screen->update(picture, error) == ScreenSource::Update::Changed) {
    ++updates;
    for (const RowBand& b : screen->rewritten())
      std::fill(rowUpdate.begin() + b.top, rowUpdate.begin() + b.bottom, updates);
    warmedUp = true;
  }
}

void Recording::State::captureLoop() {
  const std::chrono::duration<double> period(1.0 / config.plan.videoSettings.fps);
  const int keyEvery = keyFrameInterval(config.plan.videoSettings.fps);
  const bool fineStill = out->encodesStillPicturesFinely();
  Picture picture = canvasPicture();

  std::int64_t next = 0;          // the next grid slot
  std::int64_t lastQueued = -1;   // the slot of the newest frame sent
  std::int64_t lastKey = -keyEvery;
  // The canvas holds a change no frame has carried yet: from the start, the
  // screen as the first look read it.
  bool unsent = warmedUp;
  // Three frames after a change: a detailed slide is sharp after one more
  // frame; three allow for a busier one.
  constexpr int kSettleFrames = 3;
  int settleLeft = 0;
  // How long the screen must stand still after a change before the fine
  // frame: longer than the gaps between a video's pictures (a video of 4 to
  // 24 pictures a second played on screen), whose every gap would otherwise
  // get a large frame refining the whole video.
  const auto fineAfter = std::max<std::int64_t>(1, std::llround(0.3 * config.plan.videoSettings.fps));
  std::int64_t lastChange = 0;
  bool fineDue = warmedUp && fineStill;  // a change has not yet been followed by a fine frame
  // The encoder's newest frame is a kept still key frame of the canvas as
  // it is now, which may be written again.
  bool stillKeyKept = false;
  bool first = true;
  rt::Text error;
  while (!writeFailed) {
    const auto target = t0 + std::chrono::duration_cast<Clock::duration>(period * static_cast<double>(next));
    {
      std::unique_lock l(stopMutex);
      if (stopCv.wait_until(l, target, [&] { return stopping; })) break;
    }
    const auto lookTime = Clock::now();
    const ScreenSource::Update u = screen->update(picture, error);
    if (u == ScreenSource::Update::Failed) {
      fail(error);
      break;
    }
    if (first) {
      firstFrameLatencyMs = std::chrono::duration<double, std::milli>(lookTime - startCall).count();
      first = false;
    }
    // The look's grid slot; a late look leaves the slots it missed to the
    // picture before.
    std::int64_t slot = std::llround((lookTime - t0) / period);
    if (slot < next) slot = next;
    framesSkipped += slot - next;
    next = slot + 1;
    // The picture's time is the slot it was on screen in: the look's, or an
    // earlier one where the source knows it (a compositor's capture time),
    // but never one a frame went out for already.
    std::int64_t pts = slot;
    if (const auto shown = screen->shownAt();
        u == ScreenSource::Update::Changed && shown && *shown <= lookTime && lookTime - *shown < kShownWithin)
      pts = std::clamp<std::int64_t>(std::llround((*shown - t0) / period), lastQueued + 1, slot);
    if (u == ScreenSource::Update::Changed) {
      ++updates;
      for (const RowBand& b : screen->rewritten())
        std::fill(rowUpdate.begin() + b.top, rowUpdate.begin() + b.bottom, updates);
      unsent = true;
      stillKeyKept = false;
      lastChange = pts;
      fineDue = fineStill;
    }
    const bool keyDue = pts - lastKey >= keyEvery;
    const bool fine = fineDue && !unsent && pts - lastChange >= fineAfter;
    if (!unsent && !keyDue && settleLeft == 0 && !fine) {
      ++framesUnchanged;
      continue;
    }
    Job job = fine ? Job::EncodeStill : Job::Encode;
    if (keyDue && !unsent && fineStill) job = stillKeyKept ? Job::RepeatStillKey : Job::EncodeStillKey;
    if (!queueFrame(pts, job, keyDue)) {
      ++framesDropped;  // the change goes out with the next slot's frame
      continue;
    }
    settleLeft = unsent ? kSettleFrames : std::max(0, settleLeft - 1);
    if (job != Job::Encode) fineDue = false;
    unsent = false;
    lastQueued = pts;
    stillKeyKept = job == Job::EncodeStillKey || job == Job::RepeatStillKey;
    if (keyDue) {
      lastKey = pts;
      // A coarse key frame is followed by frames that sharpen it; a kept
      // fine one needs none.
      settleLeft = stillKeyKept ? 0 : std::max(settleLeft, kSettleFrames);
    }
  }
  // The last slot that began before the end shows the screen as it was then.
  if (!writeFailed && !first && lastQueued < next - 1) {
    const bool keyDue = next - 1 - lastKey >= keyEvery;
    queueFrame(next - 1, stillKeyKept ? Job::RepeatStillKey : Job::Encode, keyDue || stillKeyKept);
  }
  {
    std::lock_guard l(queueMutex);
    captureDone = true;
  }
  queueCv.notify_one();
}

void Recording::State::encodeLoop() {
  for (;;) {
    QueuedFrame q;
    {
      std::unique_lock l(queueMutex);
      queueCv.wait(l, [&] { return !queue.empty() || captureDone; });
      if (queue.empty()) break;
      q = queue.front();
      queue.pop_front();
    }
    if (q.job == Job::RepeatStillKey) {
      // The same picture again, as the key frame of this slot.
      if (AVPacket* again = stillKey != nullptr ? av_packet_clone(stillKey) : nullptr) {
        again->pts = again->dts = q.pts;
        again->duration = 1;
        mux(again, venc, vst);
        av_packet_free(&again);
      }
      continue;
    }
    if (q.job == Job::EncodeStillKey) av_packet_free(&stillKey);  // the picture it showed is gone
    AVFrame* frame = q.pooled->frame.get();
    const int r = q.job == Job::Encode ? avcodec_send_frame(venc, frame) : out->sendStillFrame(venc, frame);
    {
      std::lock_guard l(queueMutex);
      freeFrames.push_back(q.pooled);
    }
    if (r < 0) {
      fail(u"The recording stopped: the video encoder failed (" + ffmpegText(r) + u").");
      break;
    }
    drain(venc, vst, q.job == Job::EncodeStillKey ? &stillKey : nullptr);
  }
  avcodec_send_frame(venc, nullptr);
  drain(venc, vst);
}

// The sound is put on the recording's steady clock, the clock the pictures
// are stamped with, by AudioClock: the source's timing readings say when each
// chunk was captured, and the chunk goes exactly there, stretched or
// squeezed a little to follow the source's rate. A chunk that seems late
// waits for readings a little past it before it is placed (AudioClock::ready).
void Recording::State::audioLoop() {
  const int rate = config.plan.audioSettings.sampleRate;
  const int channels = config.plan.audioSettings.channels;
  std::vector<std::int16_t> samples;
  std::vector<AudioInput::Reading> readings;
  struct Chunk {
    std::int64_t first;  // the stream index of its first sample
    std::vector<std::int16_t> samples;
    std::int64_t end(int channels) const { return first + static_cast<std::int64_t>(samples.size()) / channels; }
  };
  std::deque<Chunk> pending;  // read, not yet placed
  std::vector<std::vector<float>> planes(static_cast<std::size_t>(channels));
  std::vector<std::uint8_t*> planePtrs(static_cast<std::size_t>(channels));
  auto planesFor = [&](int capacity) {  // room for `capacity` converted samples a channel
    for (std::size_t c = 0; c < planes.size(); ++c) {
      if (planes[c].size() < static_cast<std::size_t>(capacity)) planes[c].resize(static_cast<std::size_t>(capacity));
      planePtrs[c] = reinterpret_cast<std::uint8_t*>(planes[c].data());
    }
  };
  FramePtr frame(av_frame_alloc());
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->nb_samples = aenc->frame_size;
  frame->sample_rate = rate;
  av_channel_layout_copy(&frame->ch_layout, &aenc->ch_layout);
  if (av_frame_get_buffer(frame.get(), 0) < 0) {
    fail(u"The recording stopped: out of memory.");
    return;
  }
  AudioClock clock(rate);
  // Positions count output samples from the recording's start; the lead-in
  // the output asks for lies before it.
  const int leadIn = out->audioLeadIn(aenc);
  std::int64_t written = -leadIn;  // samples given to the fifo, silence included
  WholeSamples stretch;             // the speed, as whole samples a chunk
  std::int64_t nextPts = -leadIn;  // position of the fifo's first sample
  auto writeSilence = [&](std::int64_t n) {
    constexpr int kSilenceChunk = 4096;
    planesFor(kSilenceChunk);
    for (auto& p : planes) std::fill(p.begin(), p.begin() + kSilenceChunk, 0.0f);
    while (n > 0) {
      const int k = static_cast<int>(std::min<std::int64_t>(n, kSilenceChunk));
      if (av_audio_fifo_write(fifo, reinterpret_cast<void**>(planePtrs.data()), k) < k) return false;
      n -= k;
      written += k;
    }
    return true;
  };
  std::int64_t outageSilence = 0;  // written while the sound server was gone
  // Puts one chunk where the clock places it, through the converter, into
  // the fifo. False (the failure reported) when it cannot.
  auto take = [&](const Chunk& chunk) {
    const int got = static_cast<int>(chunk.samples.size()) / channels;
    const AudioClock::Step step =
        clock.place(chunk.first, got, static_cast<double>(written + swr_get_delay(swr, rate)));
    audioSilence = clock.silenceInserted() + outageSilence;
    audioSkipped = clock.samplesSkipped();
    if (step.silence > 0 && !writeSilence(step.silence)) {
      fail(u"The recording stopped: out of memory for the audio.");
      return false;
    }
    const int skip = static_cast<int>(step.skip);
    const int count = got - skip;
    if (count <= 0) return true;
    const int delta = stretch.delta(count, step.ratio);
    const auto* in = reinterpret_cast<const std::uint8_t*>(chunk.samples.data() + skip * channels);
    const int capacity = count + std::abs(delta) + 64;
    planesFor(capacity);
    const int converted = swr_set_compensation(swr, delta, count + delta) < 0
                              ? -1
                              : swr_convert(swr, planePtrs.data(), capacity, &in, count);
    if (converted < 0 ||
        av_audio_fifo_write(fifo, reinterpret_cast<void**>(planePtrs.data()), converted) < converted) {
      fail(u"The recording stopped: the audio could not be converted.");
      return false;
    }
    written += converted;
    audioSamples += converted;
    return true;
  };
  // Hands what was read to the clock; places the chunks it has readings for
  // (all of them at the end).
  auto absorb = [&](std::int64_t first, bool all) {
    for (const AudioInput::Reading& r : readings)
      clock.observe(r.index, std::chrono::duration<double>(r.time - t0).count());
    if (!samples.empty()) pending.push_back({first, std::move(samples)});
    samples = {};
    while (!pending.empty() && (all || clock.ready(pending.front().first, pending.front().end(channels)))) {
      if (!take(pending.front())) return false;
      pending.pop_front();
    }
    return true;
  };
  // Encodes what the fifo holds in whole encoder frames, up to `limit`.
  auto encode = [&](int frameSize, std::int64_t limit) {
    while (av_audio_fifo_size(fifo) >= frameSize && nextPts + frameSize <= limit) {
      if (av_frame_make_writable(frame.get()) < 0) {
        fail(u"The recording stopped: out of memory for the audio.");
        return false;
      }
      frame->nb_samples = frameSize;
      av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), frameSize);
      frame->pts = nextPts;
      nextPts += frameSize;
      if (avcodec_send_frame(aenc, frame.get()) < 0) {
        fail(u"The recording stopped: the audio encoder failed.");
        return false;
      }
      drain(aenc, ast);
    }
    return true;
  };
  constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();
  if (!writeSilence(leadIn)) {
    fail(u"The recording stopped: out of memory for the audio.");
    return;
  }
  // What the converter still holds, into the fifo: the sound before a
  // break in the stream (the server gone, the end) comes out before
  // whatever follows it.
  auto flushConverter = [&] {
    planesFor(4096);
    for (int n; (n = swr_convert(swr, planePtrs.data(), 4096, nullptr, 0)) > 0;) {
      if (av_audio_fifo_write(fifo, reinterpret_cast<void**>(planePtrs.data()), n) < n) return false;
      written += n;
      audioSamples += n;
    }
    return true;
  };
  rt::Text error;
  std::int64_t first = 0;
  AudioInput::Link link = AudioInput::Link::Up;
  bool outage = false;  // the sound server is gone
  while (!shouldStop() && !writeFailed) {
    if (!audio->read(samples, first, readings, link, error)) {
      fail(error);
      return;
    }
    if (link == AudioInput::Link::Lost) {
      if (!outage) {
        // Everything the server delivered goes where it belongs; the
        // converter starts afresh with the next stream.
        outage = true;
        if (!absorb(first, true) || !flushConverter() || swr_init(swr) < 0) {
          fail(u"The recording stopped: the audio could not be converted.");
          return;
        }
      }
      const double now = std::chrono::duration<double>(Clock::now() - t0).count();
      const std::int64_t upTo = std::llround((now - kOutageMarginSeconds) * rate);
      if (upTo > written) {
        outageSilence += upTo - written;
        audioSilence = clock.silenceInserted() + outageSilence;
        if (!writeSilence(upTo - written)) {
          fail(u"The recording stopped: out of memory for the audio.");
          return;
        }
      }
      if (!encode(aenc->frame_size, kNoLimit)) return;
      continue;
    }
    if (link == AudioInput::Link::Back) {
      // A new stream: its first chunk is placed as at the start, after the
      // silence up to it.
      outage = false;
      clock.restart();
    }
    if (!absorb(first, false) || !encode(aenc->frame_size, kNoLimit)) return;
  }
  if (writeFailed) return;
  // The picture's last frame stands until the end of the slot the stop came
  // in; the sound ends with it (without a picture, at the stop itself).
  // Sound placed past that (a monitor's samples are due when they will be
  // played) is left out.
  double endSeconds = std::chrono::duration<double>(stopAt - t0).count();
  if (config.plan.video) {
    const double fps = config.plan.videoSettings.fps;
    endSeconds = std::ceil(endSeconds * fps) / fps;
  }
  // The end: the sound of the last moments is still on its way (a card
  // delivers a period after it captured it, PipeWire a quantum): it is
  // waited for, a little. Then every chunk still waiting, what the
  // converter still holds, and silence for what never arrived, so the sound
  // lasts as long as the picture and nothing recorded is left out.
  // Nothing is on its way from a server that is gone.
  const auto giveUp = Clock::now() + kAudioEndWait;
  while (!outage && Clock::now() < giveUp) {
    if (!audio->read(samples, first, readings, link, error) || link != AudioInput::Link::Up) break;
    if (!absorb(first, false)) return;
    if (clock.deliveredUntil() >= endSeconds) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  samples.clear();
  readings.clear();
  if (!absorb(first, true)) return;
  flushConverter();
  const auto end = std::llround(endSeconds * rate);
  if (end > written && !writeSilence(end - written)) return;
  if (!encode(aenc->frame_size, end)) return;
  // The last, partial frame: as it is where the encoder takes a short last
  // frame (AAC), else completed with silence (wmav2 takes whole frames).
  const int rest = static_cast<int>(end - nextPts);
  if (rest <= 0 || av_frame_make_writable(frame.get()) < 0) return;
  const bool shortLast = (aenc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
  frame->nb_samples = shortLast ? rest : aenc->frame_size;
  av_audio_fifo_read(fifo, reinterpret_cast<void**>(frame->data), rest);
  for (int c = 0; c < channels; ++c) {
    auto* plane = reinterpret_cast<float*>(frame->data[c]);
    std::fill(plane + rest, plane + frame->nb_samples, 0.0f);
  }
  frame->pts = nextPts;
  if (avcodec_send_frame(aenc, frame.get()) < 0) {
    fail(u"The recording stopped: the audio encoder failed.");
    return;
  }
  drain(aenc, ast);
}

std::unique_ptr<Recording> Recording::start(const RecordingConfig& config, rt::Text& error) {
  std::unique_ptr<Recording> rec(new Recording);
  rec->s_ = std::make_unique<State>();
  State& s = *rec->s_;
  s.config = config;
  s.startCall = Clock::now();
  const Plan& plan = config.plan;
  if (!plan.video && !plan.audio) {
    error = u"Cannot start recording: the source group has neither a video nor an audio source.";
    return nullptr;
  }
  // Inputs first: without a display or an audio server nothing is created.
  if (plan.video && !(s.screen = openScreenSource(config.crop, plan.videoSettings.fps, error))) return nullptr;
  if (plan.audio && !(s.audio = openAudioInput(plan.audioSettings.sampleRate, plan.audioSettings.channels, error)))
    return nullptr;

  if (!(s.out = createOutput(config.path, error))) return nullptr;
  if (plan.video && !s.openVideo(error)) return nullptr;
  if (plan.audio && !s.openAudio(error)) return nullptr;

  // The file last, before anything is captured: a bad path fails here.
  if (!s.out->open(config.path, Description{config.content, config.attributes}, error)) return nullptr;
  s.headerWritten = true;

  // The recording begins once the sound does (a monitor or a card may take
  // a moment to deliver its first samples); a source slower than this
  // starts with silence in its place. Meanwhile the screen is read whole
  // for the first time.
  {
    std::thread firstSound;
    if (s.audio) {
      try {
        firstSound = std::thread([&s] { s.audio->awaitFirstSamples(kAudioStartWait); });
      } catch (const std::system_error&) {
        s.audio->awaitFirstSamples(kAudioStartWait);
      }
    }
    if (plan.video) s.warmUp();
    if (firstSound.joinable()) firstSound.join();
  }
  s.stopped = false;
  s.t0 = Clock::now();
  try {
    if (plan.video) {
      s.encodeThread = std::thread([&s] { s.encodeLoop(); });
      s.captureThread = std::thread([&s] { s.captureLoop(); });
    }
    if (plan.audio) s.audioThread = std::thread([&s] { s.audioLoop(); });
  } catch (const std::system_error& e) {
    // The threads that did start are stopped again, and what they wrote is
    // completed as a file; the caller learns why the recording did not run.
    rec->stop();
    error = u"Cannot start recording: " + rt::fromUtf8(e.what()) + u".";
    return nullptr;
  }
  return rec;
}

rt::Text Recording::stop() {
  State& s = *s_;
  if (s.stopped) {
    std::lock_guard l(s.failMutex);
    return s.failure;
  }
  s.stopped = true;
  const auto begin = Clock::now();
  {
    std::lock_guard l(s.stopMutex);
    s.stopping = true;
    s.stopAt = begin;
  }
  s.stopCv.notify_all();
  if (s.audio) s.audio->interrupt();
  if (s.screen) s.screen->interrupt();
  if (s.captureThread.joinable()) s.captureThread.join();
  {
    // The capture loop says it is done as it ends; where it never ran (its
    // thread could not be started), the encoder thread must hear it here.
    std::lock_guard l(s.queueMutex);
    s.captureDone = true;
  }
  s.queueCv.notify_one();
  if (s.encodeThread.joinable()) s.encodeThread.join();
  if (s.audioThread.joinable()) s.audioThread.join();
  // The audio thread has encoded everything up to the stop; the encoder
  // gives up what it still holds.
  if (s.aenc != nullptr) {
    avcodec_send_frame(s.aenc, nullptr);
    s.drain(s.aenc, s.ast);
  }
  {
    std::lock_guard l(s.muxMutex);
    if (s.writeFailed) {
      s.out->abandon();
    } else if (!s.out->finish(s.maxEnd100ns)) {
      s.writeFailed = true;
      s.fail(s.writeFailure(s.out->error()));
    }
  }
  s.stopLatencyMs = std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
  std::lock_guard l(s.failMutex);
  return s.failure;
}

Recording::~Recording() {
  if (s_) stop();
}

RecordingStats Recording::stats() const {
  RecordingStats st;
  st.framesCaptured = s_->framesCaptured;
  st.framesDropped = s_->framesDropped;
  st.framesSkipped = s_->framesSkipped;
  st.framesUnchanged = s_->framesUnchanged;
  st.framesRepeated = s_->framesRepeated;
  st.videoPackets = s_->videoPackets;
  st.audioSamples = s_->audioSamples;
  st.startSeconds = std::chrono::duration<double>(s_->t0.time_since_epoch()).count();
  st.audioSilence = s_->audioSilence;
  st.audioSkipped = s_->audioSkipped;
  if (s_->screen) {
    st.width = s_->screen->width();
    st.height = s_->screen->height();
    st.screenSource = s_->screen->kind();
  }
  if (s_->audio) st.audioInput = s_->audio->kind();
  st.firstFrameLatencyMs = s_->firstFrameLatencyMs;
  st.stopLatencyMs = s_->stopLatencyMs;
  return st;
}

}  // namespace encoder::engine
