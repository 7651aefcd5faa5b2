// The recording engine: the FFmpeg implementation of the media-encoder
// object model (encoder.h). It records the X screen ("ScreenCap://ScreenCapture1")
// and the default PulseAudio source ("DEVICE://Default_Audio_Device") into an
// ASF (.wmv) file with wmv2 video and wmav2 audio, or, for a name ending in
// ".mp4", an MP4 with H.264 video and AAC audio (engine/outputs/).
#pragma once

#include <cstdint>
#include <string>

#include "components/encoder/encoder.h"

namespace encoder {

// Registers the engine under kEncoderClassId in the automation registry, so
// creating the component's class gives a fresh engine encoder. The
// registration lasts for the rest of the program.
void registerEngine();

// A fresh engine encoder, without going through the registry.
Ref<Encoder> createEngineEncoder();

// Figures of an engine encoder's current or last recording, for tools and
// measurements. False when `e` is not an engine encoder or never recorded.
struct RecordingFigures {
  std::int64_t framesCaptured = 0;
  std::int64_t framesDropped = 0;  // the encoder was behind
  std::int64_t framesSkipped = 0;  // grid slots a late capture missed
  std::int64_t framesUnchanged = 0;  // grid slots in which the screen had not changed
  std::int64_t framesRepeated = 0;   // a still screen's kept key frame written again
  std::int64_t videoPackets = 0;
  std::int64_t audioSamples = 0;
  std::int64_t audioSilence = 0;  // samples of silence put in for stops of the source
  std::int64_t audioSkipped = 0;  // source samples left out (not those from before the start)
  int width = 0, height = 0;
  double startSeconds = 0;  // the recording's first moment, seconds on the steady clock
  double firstFrameLatencyMs = -1;
  double stopLatencyMs = -1;
  std::string screenSource;  // "X11", "ScreenCast portal"
  std::string audioInput;    // "PulseAudio", "PipeWire"; "" without sound
};
bool recordingFigures(const Ref<Encoder>& e, RecordingFigures& out);

}  // namespace encoder
