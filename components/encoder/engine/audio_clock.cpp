#include "components/encoder/engine/audio_clock.h"

#include <algorithm>
#include <cmath>

namespace encoder::engine {

namespace {

// Time per nominal second of input: below 1 for a fast source. Until the
// points span a second, the source is taken at its word.
double slopeOf(double sw, double sx, double sy, double sxx, double sxy) {
  const double d = sw * sxx - sx * sx;
  if (sw < 2 || d <= sw * sw * 0.05) return 1.0;  // a spread under ~1 s
  const double b = (sw * sxy - sx * sy) / d;
  return std::clamp(b, 1 - AudioClock::kMaxSpeedChange * 4, 1 + AudioClock::kMaxSpeedChange * 4);
}

}  // namespace

AudioClock::AudioClock(int rate) : rate_(rate) {}

void AudioClock::fit(double x, double y, double dt) {
  const double keep = std::exp(-dt / kMemorySeconds);
  const double u = x - x0_;
  sw_ = sw_ * keep + 1;
  sx_ = sx_ * keep + u;
  sy_ = sy_ * keep + y;
  sxx_ = sxx_ * keep + u * u;
  sxy_ = sxy_ * keep + u * y;
}


double AudioClock::predict(double x) const {
  if (sw_ <= 0) return lastTime_;
  const double b = slopeOf(sw_, sx_, sy_, sxx_, sxy_);
  const double a = (sy_ - b * sx_) / sw_;
  return a + b * (x - x0_);
}

double AudioClock::estimatedRate() const { return rate_ / slopeOf(sw_, sx_, sy_, sxx_, sxy_); }

AudioClock::Step AudioClock::chunk(std::int64_t frames, double time, double written) {
  Step step;
  if (frames <= 0) return step;
  const double dur = static_cast<double>(frames) / rate_;
  // The first chunk, and the first after a gap, are put exactly where they
  // belong; from then on only the speed is adjusted.
  if (!started_) {
    started_ = aligning_ = true;
    x0_ = 0;
  } else if (time - predict(position_ + dur) > kGapSeconds) {
    // The source was silent for a while (suspended, or lost a stretch): the
    // samples after the gap belong that much later. Moving the position on
    // keeps them on the fitted line.
    position_ += time - predict(position_ + dur);
    aligning_ = true;
  }
  position_ += dur;
  fit(position_, time, dur);
  lastTime_ = time;

  const double b = slopeOf(sw_, sx_, sy_, sxx_, sxy_);
  const double desired = predict(position_) * rate_;  // where the chunk's end belongs
  double err = desired - (written + static_cast<double>(frames) * b);
  const double gap = aligning_ ? 0.5 : kGapSeconds * rate_;
  std::int64_t used = frames;
  if (err > gap) {
    // Behind by more than jitter: the missing time is silence.
    step.silence = std::llround(err);
    err -= static_cast<double>(step.silence);
  } else if (err < -gap) {
    // Ahead (samples from before the recording began, or a source clock
    // that jumped back): the chunk's first samples are left out.
    const std::int64_t skip = std::min<std::int64_t>(frames, std::llround(-err / b));
    used = frames - skip;
    err += static_cast<double>(skip) * b;
    step.silence = -skip;  // negative: input samples to leave out
  }
  if (used == 0) return step;  // still ahead: the next chunk goes on aligning
  aligning_ = false;
  const double produce = static_cast<double>(used) * b + err * std::min(1.0, dur / kCorrectionSeconds);
  step.ratio = std::clamp(produce / static_cast<double>(used), 1 - kMaxSpeedChange, 1 + kMaxSpeedChange);
  return step;
}

}  // namespace encoder::engine
