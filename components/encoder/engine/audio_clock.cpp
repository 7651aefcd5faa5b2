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
  // Samples delivered late in a burst carry time stamps that are too late;
  // such points count for less the further they lie off the line, so a busy
  // moment cannot bend the estimate (a Huber weight).
  double w = 1;
  if (sw_ >= 2) {
    const double residual = std::abs(y - predict(x));
    if (residual > kJitterSeconds) w = kJitterSeconds / residual;
  }
  sw_ = sw_ * keep + w;
  sx_ = sx_ * keep + w * u;
  sy_ = sy_ * keep + w * y;
  sxx_ = sxx_ * keep + w * u * u;
  sxy_ = sxy_ * keep + w * u * y;
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
  bool late = false;
  if (!started_) {
    started_ = aligning_ = true;
    x0_ = 0;
  } else if (const double r = time - predict(position_ + dur); r > kGapSeconds) {
    // Stamped far later than its place. Either the source was silent for a
    // while (suspended, or lost a stretch), or a busy moment delivered its
    // samples late. Samples delivered late arrive in a rush and the stamps
    // fall back onto the line; after a real gap they come at their usual
    // pace and stay off it. So a gap is taken as real when the next chunk
    // arrives at pace and is still that late: the position moves on, and the
    // silence goes in before it.
    if (gapSuspected_ && time - lastTime_ >= 0.5 * dur) {
      position_ += r;
      aligning_ = true;
      gapSuspected_ = false;
    } else {
      gapSuspected_ = late = true;
    }
  } else {
    gapSuspected_ = false;
  }
  position_ += dur;
  if (!late) fit(position_, time, dur);
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
