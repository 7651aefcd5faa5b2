// The audio input: the default PulseAudio source (PipeWire's pulse server
// serves the same protocol), read in small fragments so the first samples
// arrive at once and a stop is never kept waiting.
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/text.h"

struct pa_simple;

namespace encoder::engine {

class AudioCapture {
 public:
  // About 20 ms a read: short enough for a prompt start and stop, long
  // enough that the reading thread wakes only 50 times a second.
  static constexpr int kFragmentMs = 20;

  // Connects to the audio server and starts recording from the default
  // source as signed 16-bit samples at this rate and channel count.
  static std::unique_ptr<AudioCapture> open(int sampleRate, int channels, rt::Text& error);
  ~AudioCapture();
  AudioCapture(const AudioCapture&) = delete;
  AudioCapture& operator=(const AudioCapture&) = delete;

  int fragmentFrames() const { return fragmentFrames_; }
  // Blocks until one fragment (fragmentFrames() interleaved frames) is read.
  bool read(std::int16_t* samples, rt::Text& error);
  // How long ago the newest sample read was recorded, in microseconds.
  std::uint64_t latencyUsec();

 private:
  AudioCapture() = default;
  pa_simple* pa_ = nullptr;
  int channels_ = 0;
  int fragmentFrames_ = 0;
};

}  // namespace encoder::engine
