// One recording: from the opened output file through capture, conversion,
// encoding and muxing to the completed file.
//
// Threads, all started by start() and joined by stop():
//   video capture: asks the screen source on the 1/fps grid what changed,
//                  keeps the picture up to date in one I420 canvas, and
//                  queues a pooled copy of it only for slots in which
//                  something changed, a key frame is due, or the recording
//                  ends; still slots cost nothing further, and a still
//                  screen's key frames are one kept frame written again;
//   video encoder: encodes queued frames and hands packets to the muxer;
//   audio:         reads the audio input, converts it (swresample) and
//                  encodes it in the encoder's frame size.
// The encoders, the muxer and the file are the Output's (outputs/output.h),
// chosen by the file's name; the muxer and the file are shared behind one lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "components/encoder/engine/asf_header.h"
#include "components/encoder/engine/profiles.h"
#include "components/encoder/engine/sources/screen_source.h"
#include "runtime/text.h"

namespace encoder::engine {

struct RecordingConfig {
  Plan plan;
  Crop crop;
  rt::Text path;
  asf::ContentDescription content;
  std::vector<asf::Attribute> attributes;
};

// Counters a caller may read during and after a recording.
struct RecordingStats {
  std::int64_t framesCaptured = 0;
  std::int64_t framesDropped = 0;  // captured, but the encoder was behind
  std::int64_t framesSkipped = 0;  // grid slots missed because a capture was late
  std::int64_t framesUnchanged = 0;  // grid slots in which the screen had not changed
  std::int64_t framesRepeated = 0;  // a still screen's kept key frame written again
  std::int64_t videoPackets = 0;
  std::int64_t audioSamples = 0;
  // Sound the audio clock put in for stops of the source, and left out
  // (samples); the alignment with the recording's start is not counted.
  std::int64_t audioSilence = 0, audioSkipped = 0;
  int width = 0, height = 0;
  double startSeconds = 0;          // the recording's first moment, on the steady clock
  double firstFrameLatencyMs = -1;  // from start() to the first picture read
  double stopLatencyMs = -1;        // from stop() to the file being complete
  const char* screenSource = "";    // the screen source's kind, once opened
  const char* audioInput = "";      // the audio input's kind, once opened
};

class Recording {
 public:
  // Opens the output, the encoders and the inputs (every failure that can
  // be known in advance is reported here, before anything is recorded),
  // then starts the threads. nullptr with `error` set on failure.
  static std::unique_ptr<Recording> start(const RecordingConfig& config, rt::Text& error);
  ~Recording();  // stops if still running

  // Stops the inputs, drains the encoders, completes and closes the file.
  // Returns the first failure of the recording ("" when there was none).
  rt::Text stop();
  RecordingStats stats() const;

  struct State;

 private:
  Recording() = default;
  std::unique_ptr<State> s_;
};

}  // namespace encoder::engine
