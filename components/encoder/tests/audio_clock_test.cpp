// The audio clock on synthetic capture time stamps whose truth is known:
// sources fast and slow, jitter, gaps, rate steps, an hour's drift.
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "components/encoder/engine/audio_clock.h"

using encoder::engine::AudioClock;

namespace {

constexpr int kRate = 48000;
constexpr std::int64_t kChunk = 960;  // 20 ms at the nominal rate

struct Source {
  static Source at(double speed) {
    Source s;
    s.speed = speed;
    return s;
  }
  double speed = 1.0;      // real samples per nominal sample (1.002: 2000 ppm fast)
  double start = 0.0;      // when its first sample is recorded
  double jitterMs = 3.0;   // uniform, either way
  struct Gap { double at, seconds; };
  std::vector<Gap> gaps;   // the source delivers nothing for a while
  struct Step { double at, speed; };
  std::vector<Step> steps; // the source's speed changes
  double burstEvery = 0;   // every so often the samples of the last
  double burstSeconds = 0; // burstSeconds arrive at once, stamped late
};

// Runs the clock over `seconds` of the source, the way the audio loop does.
// `check(t, error, ratio)` sees, after each chunk, the true time of the
// chunk's end and how far the output is from where it belongs, in seconds.
template <typename Check>
void simulate(const Source& src, double seconds, Check check, AudioClock* out = nullptr) {
  AudioClock local(kRate);
  AudioClock& clock = out ? *out : local;
  std::mt19937 gen(42);
  std::uniform_real_distribution<double> jitter(-src.jitterMs / 1000, src.jitterMs / 1000);
  double t = src.start;  // true time of the next sample
  double speed = src.speed;
  double written = 0;
  std::size_t gap = 0, step = 0;
  while (t < seconds) {
    if (step < src.steps.size() && t >= src.steps[step].at) speed = src.steps[step++].speed;
    if (gap < src.gaps.size() && t >= src.gaps[gap].at) t += src.gaps[gap++].seconds;
    const double end = t + static_cast<double>(kChunk - 1) / (kRate * speed);
    double stamp = end + jitter(gen);
    if (src.burstEvery > 0) {
      // Inside a burst the stamp is the time the burst is delivered.
      const double phase = std::fmod(end + src.burstEvery / 2, src.burstEvery);
      if (phase < src.burstSeconds) stamp = end - phase + src.burstSeconds;
    }
    const AudioClock::Step s = clock.chunk(kChunk, stamp, written);
    std::int64_t used = kChunk;
    if (s.silence > 0) written += static_cast<double>(s.silence);
    if (s.silence < 0) used += s.silence;
    written += static_cast<double>(used) * s.ratio;
    t += static_cast<double>(kChunk) / (kRate * speed);
    // The chunk's last sample ends one nominal sample after `end`.
    check(t, (written - (end * kRate + 1)) / kRate, s.ratio);
  }
}

}  // namespace

TEST(AudioClock, FastAndSlowSourcesStayWithinTenMillisecondsOfTheirTime) {
  for (double speed : {1.002, 0.998}) {
    SCOPED_TRACE(speed);
    double worst = 0;
    AudioClock clock(kRate);
    simulate(Source::at(speed), 60, [&](double t, double err, double) {
      if (t > 5) worst = std::max(worst, std::abs(err));
    }, &clock);
    EXPECT_LT(worst, 0.010);
    EXPECT_NEAR(clock.estimatedRate() / (kRate * speed), 1.0, 20e-6);
  }
}

TEST(AudioClock, ACorrectSourceIsLeftAlone) {
  // Jitter alone must not wobble the speed: the output keeps the source's
  // own timing within 20 ppm on average and never strays.
  double worst = 0, ratioSum = 0;
  int n = 0;
  AudioClock clock(kRate);
  Source src = Source::at(1.0);
  src.jitterMs = 4;
  simulate(src, 60, [&](double t, double err, double ratio) {
    worst = std::max(worst, std::abs(err));
    if (t > 10) ratioSum += ratio, ++n;
  }, &clock);
  EXPECT_LT(worst, 0.006);
  EXPECT_NEAR(ratioSum / n, 1.0, 20e-6);
  EXPECT_NEAR(clock.estimatedRate(), kRate, kRate * 20e-6);
}

TEST(AudioClock, AnHourAtOneHundredPpmStaysUnderFortyMilliseconds) {
  for (double speed : {1.0001, 0.9999}) {
    double worst = 0;
    simulate(Source::at(speed), 3600, [&](double, double err, double) { worst = std::max(worst, std::abs(err)); });
    EXPECT_LT(worst, 0.040) << speed;
  }
}

TEST(AudioClock, AGapBecomesSilenceAtItsPlace) {
  // 1.5 s without samples at 10 s: what follows stays at its time.
  // The gap is recognised when the chunk after it confirms it: that one
  // chunk stands before the silence; everything else is at its time.
  double after = 0;
  int off = 0;
  Source src = Source::at(1.001);
  src.gaps = {{10, 1.5}};
  simulate(src, 30, [&](double t, double err, double) {
    if (t > 5 && std::abs(err) > 0.010) ++off;
    if (t > 12) after = std::max(after, std::abs(err));
  });
  EXPECT_LE(off, 1) << "the samples after the gap closed up";
  EXPECT_LT(after, 0.010);
}

TEST(AudioClock, TheFirstSamplesAreAlignedWithTheRecordingsStart) {
  // Recorded 0.3 s after the start: 0.3 s of silence comes first.
  AudioClock late(kRate);
  AudioClock::Step s = late.chunk(kChunk, 0.3 + (kChunk - 1.0) / kRate, 0);
  EXPECT_NEAR(static_cast<double>(s.silence), 0.3 * kRate, 2);
  // Recorded 0.2 s before the start: those samples are left out.
  AudioClock early(kRate);
  std::int64_t skipped = 0;
  double written = 0;
  for (int i = 0; i < 20; ++i) {
    const double end = -0.2 + (i + 1.0) * kChunk / kRate - 1.0 / kRate;
    s = early.chunk(kChunk, end, written);
    std::int64_t used = kChunk;
    if (s.silence < 0) skipped -= s.silence, used += s.silence;
    written += static_cast<double>(used) * s.ratio;
  }
  EXPECT_NEAR(static_cast<double>(skipped), 0.2 * kRate, 2);
  EXPECT_NEAR(written, 20.0 * kChunk - 0.2 * kRate, 2) << "the samples after the skipped ones keep their time";
}

TEST(AudioClock, ASourceThatChangesSpeedIsFollowed) {
  double worst = 0;
  AudioClock clock(kRate);
  Source src = Source::at(1.0);
  src.steps = {{20, 1.0015}};
  simulate(src, 140, [&](double t, double err, double) {
    if (t > 5) worst = std::max(worst, std::abs(err));
  }, &clock);
  EXPECT_LT(worst, 0.015);
  EXPECT_NEAR(clock.estimatedRate() / (kRate * 1.0015), 1.0, 50e-6);
}

TEST(AudioClock, LateBurstsDoNotBendTheEstimate) {
  // A busy machine delivers 0.2 s of samples at once every 3 s (from 1.5 s
  // on), all stamped at delivery: the estimate must not follow those late
  // stamps, nor take them for gaps.
  double worst = 0;
  AudioClock clock(kRate);
  Source src = Source::at(1.002);
  src.burstEvery = 3;
  src.burstSeconds = 0.2;
  simulate(src, 60, [&](double t, double err, double) {
    if (t > 10) worst = std::max(worst, std::abs(err));
  }, &clock);
  EXPECT_LT(worst, 0.010);
  EXPECT_NEAR(clock.estimatedRate() / (kRate * 1.002), 1.0, 50e-6);
}
