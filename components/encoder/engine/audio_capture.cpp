#include "components/encoder/engine/audio_capture.h"

#include <pulse/error.h>
#include <pulse/simple.h>

namespace encoder::engine {

std::unique_ptr<AudioCapture> AudioCapture::open(int sampleRate, int channels, rt::Text& error) {
  std::unique_ptr<AudioCapture> a(new AudioCapture);
  a->channels_ = channels;
  a->fragmentFrames_ = sampleRate * kFragmentMs / 1000;
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_S16LE;
  spec.rate = static_cast<std::uint32_t>(sampleRate);
  spec.channels = static_cast<std::uint8_t>(channels);
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(a->fragmentFrames_ * channels * 2);
  int err = 0;
  a->pa_ = pa_simple_new(nullptr, "Vardel screen recorder", PA_STREAM_RECORD, nullptr, "Recording",
                         &spec, nullptr, &attr, &err);
  if (a->pa_ == nullptr) {
    error = u"Cannot record the default audio input: no audio server is available (" +
            rt::fromUtf8(pa_strerror(err)) + u").";
    return nullptr;
  }
  return a;
}

AudioCapture::~AudioCapture() {
  if (pa_ != nullptr) pa_simple_free(pa_);
}

bool AudioCapture::read(std::int16_t* samples, rt::Text& error) {
  int err = 0;
  const auto bytes = static_cast<std::size_t>(fragmentFrames_) * static_cast<std::size_t>(channels_) * 2;
  if (pa_simple_read(pa_, samples, bytes, &err) < 0) {
    error = u"The audio recording stopped: " + rt::fromUtf8(pa_strerror(err)) + u".";
    return false;
  }
  return true;
}

std::uint64_t AudioCapture::latencyUsec() {
  int err = 0;
  const pa_usec_t l = pa_simple_get_latency(pa_, &err);
  return l == static_cast<pa_usec_t>(-1) ? 0 : l;
}

}  // namespace encoder::engine
