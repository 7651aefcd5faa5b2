#include "components/encoder/engine/audio_capture.h"

#include <pulse/pulseaudio.h>

#include <cstring>

namespace encoder::engine {

namespace {
// Holds PulseAudio's loop lock for one scope.
class Locked {
 public:
  explicit Locked(pa_threaded_mainloop* l) : l_(l) { pa_threaded_mainloop_lock(l_); }
  ~Locked() { pa_threaded_mainloop_unlock(l_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  pa_threaded_mainloop* l_;
};
}  // namespace

void AudioCapture::onContextState(pa_context*, void* self) {
  pa_threaded_mainloop_signal(static_cast<AudioCapture*>(self)->loop_, 0);
}
void AudioCapture::onStreamState(pa_stream*, void* self) {
  pa_threaded_mainloop_signal(static_cast<AudioCapture*>(self)->loop_, 0);
}
void AudioCapture::onReadable(pa_stream*, std::size_t, void* self) {
  pa_threaded_mainloop_signal(static_cast<AudioCapture*>(self)->loop_, 0);
}

std::unique_ptr<AudioCapture> AudioCapture::open(int sampleRate, int channels, rt::Text& error) {
  std::unique_ptr<AudioCapture> a(new AudioCapture);
  a->channels_ = channels;
  auto noServer = [&](int err) {
    error = u"Cannot record the default audio input: no audio server is available (" +
            rt::fromUtf8(pa_strerror(err)) + u").";
    return nullptr;
  };
  a->loop_ = pa_threaded_mainloop_new();
  if (a->loop_ == nullptr) return noServer(PA_ERR_INTERNAL);
  a->context_ = pa_context_new(pa_threaded_mainloop_get_api(a->loop_), "Vardel screen recorder");
  if (a->context_ == nullptr) return noServer(PA_ERR_INTERNAL);
  pa_context_set_state_callback(a->context_, &AudioCapture::onContextState, a.get());
  if (pa_context_connect(a->context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0)
    return noServer(pa_context_errno(a->context_));
  if (pa_threaded_mainloop_start(a->loop_) < 0) return noServer(PA_ERR_INTERNAL);

  Locked lock(a->loop_);
  for (;;) {
    const pa_context_state_t st = pa_context_get_state(a->context_);
    if (st == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(st)) return noServer(pa_context_errno(a->context_));
    pa_threaded_mainloop_wait(a->loop_);
  }
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_S16LE;
  spec.rate = static_cast<std::uint32_t>(sampleRate);
  spec.channels = static_cast<std::uint8_t>(channels);
  a->stream_ = pa_stream_new(a->context_, "Recording", &spec, nullptr);
  if (a->stream_ == nullptr) return noServer(pa_context_errno(a->context_));
  pa_stream_set_state_callback(a->stream_, &AudioCapture::onStreamState, a.get());
  pa_stream_set_read_callback(a->stream_, &AudioCapture::onReadable, a.get());
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(sampleRate * kFragmentMs / 1000 * channels * 2);
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                    PA_STREAM_AUTO_TIMING_UPDATE);
  if (pa_stream_connect_record(a->stream_, nullptr, &attr, flags) < 0) {
    error = u"Cannot record the default audio input: " + rt::fromUtf8(pa_strerror(pa_context_errno(a->context_))) +
            u".";
    return nullptr;
  }
  for (;;) {
    const pa_stream_state_t st = pa_stream_get_state(a->stream_);
    if (st == PA_STREAM_READY) break;
    if (!PA_STREAM_IS_GOOD(st)) {
      error = u"Cannot record the default audio input: " +
              rt::fromUtf8(pa_strerror(pa_context_errno(a->context_))) + u".";
      return nullptr;
    }
    pa_threaded_mainloop_wait(a->loop_);
  }
  return a;
}

AudioCapture::~AudioCapture() {
  if (loop_ != nullptr) pa_threaded_mainloop_stop(loop_);
  if (stream_ != nullptr) {
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
  }
  if (context_ != nullptr) {
    pa_context_disconnect(context_);
    pa_context_unref(context_);
  }
  if (loop_ != nullptr) pa_threaded_mainloop_free(loop_);
}

bool AudioCapture::read(std::vector<std::int16_t>& samples, rt::Text& error) {
  samples.clear();
  Locked lock(loop_);
  for (;;) {
    // After interrupt() a read no longer waits, but still hands over what
    // the server has already delivered: the last moments before a stop.
    if (interrupted_ && pa_stream_readable_size(stream_) == 0) return true;
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) || !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) {
      error = u"The audio recording stopped: the connection to the audio server was lost (" +
              rt::fromUtf8(pa_strerror(pa_context_errno(context_))) + u").";
      return false;
    }
    if (pa_stream_readable_size(stream_) > 0) break;
    pa_threaded_mainloop_wait(loop_);
  }
  while (pa_stream_readable_size(stream_) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream_, &data, &bytes) < 0) {
      error = u"The audio recording stopped: " + rt::fromUtf8(pa_strerror(pa_context_errno(context_))) + u".";
      return false;
    }
    if (bytes == 0) break;
    const std::size_t count = bytes / sizeof(std::int16_t);
    const std::size_t at = samples.size();
    samples.resize(at + count);
    if (data != nullptr)
      std::memcpy(samples.data() + at, data, count * sizeof(std::int16_t));
    else
      std::fill(samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end(), std::int16_t{0});  // a hole
    pa_stream_drop(stream_);
  }
  samples.resize(samples.size() - samples.size() % static_cast<std::size_t>(channels_));
  return true;
}

void AudioCapture::interrupt() {
  Locked lock(loop_);
  interrupted_ = true;
  pa_threaded_mainloop_signal(loop_, 0);
}

std::uint64_t AudioCapture::latencyUsec() {
  Locked lock(loop_);
  pa_usec_t usec = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream_, &usec, &negative) < 0 || negative) return 0;
  return usec;
}

}  // namespace encoder::engine
