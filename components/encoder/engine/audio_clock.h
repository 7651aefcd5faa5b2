// Puts recorded sound on the recording's steady clock.
//
// A sound card's clock is off from the system's by tens to a hundred parts
// per million (simulated cards and cheap USB ones by far more), so counting
// samples from the first one lets the sound drift against the picture over
// a long recording. AudioClock watches when the samples were recorded (the
// capture time stamps, with a few milliseconds of jitter), estimates the
// source's real rate by a least-squares fit that slowly forgets, and says
// for each chunk how many output samples it should become: the caller
// stretches or squeezes the chunk by that ratio (swresample's compensation),
// in steps too small to hear. A gap in the input (a suspended source, a lost
// stretch) is returned as silence to put in its place, so what follows stays
// at its time instead of closing up. (It is recognised one chunk late, when
// the next chunk confirms it, so at most one chunk sits before the silence
// instead of after it.)
#pragma once

#include <cstdint>

namespace encoder::engine {

class AudioClock {
 public:
  // `rate`: the nominal sample rate, which is also the output's.
  explicit AudioClock(int rate);

  struct Step {
    // Output samples of silence to write before the chunk; negative: input
    // samples at the chunk's start to leave out instead.
    std::int64_t silence = 0;
    double ratio = 1.0;        // output samples per input sample for the chunk
  };

  // A chunk of `frames` samples whose last sample was recorded at `time`
  // (seconds on the recording's clock; the first sample of the recording is
  // due at the output position `time * rate`). `written`: output samples
  // written so far, silence and samples still inside the resampler included.
  Step chunk(std::int64_t frames, double time, double written);

  // The source's estimated sample rate (samples per second of the steady clock).
  double estimatedRate() const;

  // Time stamps within this of the fitted line are ordinary jitter.
  static constexpr double kJitterSeconds = 0.005;
  // Gaps and offsets below this are jitter; above it, a gap is filled with
  // silence and the fit starts over from the new position.
  static constexpr double kGapSeconds = 0.1;
  // The largest change of speed applied: ten times the worst real sound card.
  static constexpr double kMaxSpeedChange = 0.005;
  // The fit forgets with this time constant: long enough to average out
  // jitter, short enough to follow a clock that wanders with temperature.
  static constexpr double kMemorySeconds = 30;
  // An offset from the ideal position is worked off over about this long.
  static constexpr double kCorrectionSeconds = 3;

 private:
  void fit(double x, double y, double dt);
  double predict(double x) const;

  double rate_;
  bool started_ = false;
  bool aligning_ = false;  // the next samples are put exactly where they belong
  bool gapSuspected_ = false;  // the last chunk came far too late
  double position_ = 0;  // input samples so far, in seconds at the nominal rate, plus gaps
  // Weighted sums of the fit y = a + b * (x - x0): time against position.
  double x0_ = 0, sw_ = 0, sx_ = 0, sy_ = 0, sxx_ = 0, sxy_ = 0;
  double lastTime_ = 0;
};

}  // namespace encoder::engine
