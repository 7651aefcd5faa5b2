#include "components/encoder/engine/audio_clock.h"

#include <algorithm>
#include <cmath>

namespace encoder::engine {

AudioClock::AudioClock(int rate) : rate_(rate) {}

void AudioClock::observe(std::int64_t index, double time) {
  latestTime_ = time;
  // A reading that brings no new sample is a looser bound than the one
  // before it; it only says how long the source has been standing still.
  if (!readings_.empty() && index <= readings_.back().index) return;
  readings_.push_back({index, time});
  advancedAt_ = time;
}

bool AudioClock::ready(std::int64_t index, std::int64_t end) const {
  if (readings_.empty()) return false;
  const auto lookahead = static_cast<std::int64_t>(kLookaheadSeconds * rate_);
  if (readings_.back().index >= end + lookahead || latestTime_ - advancedAt_ >= kStallSeconds) return true;
  // The first chunk waits for the lookahead: it sets where the sound starts.
  if (!started_ || readings_.back().index < end) return false;
  bool found = false;
  const double time = bound(index, found);
  return found && time - (lastTime_ + static_cast<double>(index - lastIndex_) * (1 + drift_) / rate_) < kDoubtSeconds;
}

double AudioClock::bound(std::int64_t index, bool& found) const {
  const double perSample = (1 + drift_) / rate_;
  // Readings further ahead than the lookahead add nothing but the error of
  // carrying them back at an estimated rate.
  const auto reach = index + static_cast<std::int64_t>(kLookaheadSeconds * rate_);
  double best = 0;
  found = false;
  for (const Reading& r : readings_) {
    if (r.index <= index) continue;
    if (found && r.index > reach) break;
    const double t = r.time - static_cast<double>(r.index - index) * perSample;
    if (!found || t < best) best = t;
    found = true;
  }
  return best;
}

void AudioClock::restart() {
  readings_.clear();
  started_ = false;
  restarted_ = true;
}

double AudioClock::estimatedRate() const { return rate_ / (1 + drift_); }

AudioClock::Step AudioClock::place(std::int64_t index, std::int64_t frames, double written) {
  Step step;
  if (frames <= 0) return step;
  bool found = false;
  double time = bound(index, found);
  if (!found) {
    // No reading lies after the chunk (the last moments before a stop): it
    // follows the chunk before it at the source's rate.
    time = started_ ? lastTime_ + static_cast<double>(index - lastIndex_) * (1 + drift_) / rate_
                    : written / rate_;
  }
  // Readings that reach the lookahead past the chunk confirm where it lies.
  const bool confirmed =
      !readings_.empty() && readings_.back().index >= index + frames + static_cast<std::int64_t>(kLookaheadSeconds * rate_);
  // Readings up to the chunk's end bound nothing that is still to come.
  while (!readings_.empty() && readings_.front().index <= index + frames) readings_.pop_front();
  lastIndex_ = index;
  lastTime_ = time;

  const double perInput = 1 + drift_;  // output samples per input sample at the source's rate
  double err = time * rate_ - written;  // output samples the chunk's first sample is late by
  const auto gap = kGapSeconds * rate_;
  if (!started_ || err >= (confirmed ? kStopSeconds * rate_ : gap)) {
    // The first chunk, and the first after a stop, go exactly where they
    // belong: silence before them, or their samples from before the
    // recording's start left out.
    if (err > 0) {
      step.silence = std::llround(err);
      if (started_ || restarted_) silenceInserted_ += step.silence;
    }
  }
  if (err < 0 && (!started_ || err <= -gap)) {
    step.skip = std::min<std::int64_t>(frames, std::llround(-err / perInput));
    if (started_ || restarted_) samplesSkipped_ += step.skip;
  }
  err -= static_cast<double>(step.silence) - static_cast<double>(step.skip) * perInput;
  const std::int64_t used = frames - step.skip;
  if (used == 0) return step;  // all before the start: the next chunk aligns again
  started_ = true;
  restarted_ = false;

  // The PI loop: the speed is the source's rate (the integral) plus a
  // correction proportional to how far off the output is.
  const double errSeconds = err / rate_;
  const double dt = static_cast<double>(used) / rate_;
  constexpr double kP = 2 * kLoopRadPerSecond, kI = kLoopRadPerSecond * kLoopRadPerSecond;
  const double correction = kP * errSeconds;
  if (std::abs(correction) < kMaxCorrection)  // no wind-up while the correction is at its limit
    drift_ = std::clamp(drift_ + kI * errSeconds * dt, -kMaxDrift, kMaxDrift);
  step.ratio = 1 + drift_ + std::clamp(correction, -kMaxCorrection, kMaxCorrection);
  return step;
}

int WholeSamples::delta(int count, double ratio) {
  const double exact = count * (ratio - 1) + carry_;
  const int limit = count / 8;
  const int d = std::clamp(static_cast<int>(std::lround(exact)), -limit, limit);
  carry_ = exact - d;
  return d;
}

void CycleLength::observe(std::int64_t index) {
  if (last_ >= 0 && index > last_) {
    steps_.push_back(index - last_);
    if (steps_.size() > kWindow) steps_.pop_front();
  }
  last_ = std::max(last_, index);
}

std::int64_t CycleLength::frames() const {
  return steps_.size() < kFirstSteps ? 0 : *std::min_element(steps_.begin(), steps_.end());
}

}  // namespace encoder::engine
