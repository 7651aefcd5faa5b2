// The audio clock on simulated sources whose truth is known: a sound card
// whose clock runs fast or slow, delivering its samples in bursts of 2 to
// 50 ms, with readings of its timing the way the sound server gives them,
// late bursts of a busy machine, real stops, rate steps, an hour's drift.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "components/encoder/engine/audio_clock.h"

using encoder::engine::CycleLength;
using encoder::engine::AudioClock;
using encoder::engine::WholeSamples;

namespace {

constexpr int kRate = 48000;

struct Source {
  static Source at(double speed) {
    Source s;
    s.speed = speed;
    return s;
  }
  double speed = 1.0;      // real samples per nominal sample (1.002: 2000 ppm fast)
  double start = 0.0;      // when its first sample is captured
  double period = 0.02;    // it delivers what it captured every `period`
  double readingJitterMs = 0.2;  // the readings' own noise, either way
  struct Stop { double at, seconds; };
  std::vector<Stop> stops;  // the source captures nothing for a while
  struct Step { double at, speed; };
  std::vector<Step> steps;  // the source's speed changes
  double stallEvery = 0;    // every so often nothing is delivered for
  double stallSeconds = 0;  // stallSeconds; then all of it at once
};

// What a run produced: for each chunk, how far its first sample is from
// where it belongs (seconds, positive: late), at the sample's true time.
struct Outcome {
  struct Point { double t, err; };
  std::vector<Point> points;
  std::int64_t silence = 0, skipped = 0;  // from the clock's counters
  double estimatedRate = 0;
  // The largest |err| after `from` seconds.
  double worst(double from) const {
    double w = 0;
    for (const Point& p : points)
      if (p.t >= from) w = std::max(w, std::abs(p.err));
    return w;
  }
  // The largest change of err over any second after `from`: how far two
  // clicks a second apart at the source would be from a second apart.
  double worstIntervalError(double from) const {
    double w = 0;
    std::size_t j = 0;
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (points[i].t < from) continue;
      while (j < points.size() && points[j].t < points[i].t + 1.0) ++j;
      if (j == points.size()) break;
      w = std::max(w, std::abs(points[j].err - points[i].err));
    }
    return w;
  }
};

// Runs the clock over `seconds` of the source, the way the audio loop does:
// after each delivery the loop reads what arrived, takes a reading of the
// source's timing, and places every chunk the clock says is ready.
Outcome simulate(const Source& src, double seconds) {
  AudioClock clock(kRate);
  std::mt19937 gen(42);
  std::uniform_real_distribution<double> jitter(-src.readingJitterMs / 1000, src.readingJitterMs / 1000);
  // The source: sample n is captured at `next`.
  double next = src.start, speed = src.speed;
  std::size_t stop = 0, step = 0;
  std::int64_t captured = 0;
  auto advance = [&] {
    ++captured;
    next += 1.0 / (kRate * speed);
    if (step < src.steps.size() && next >= src.steps[step].at) speed = src.steps[step++].speed;
    if (stop < src.stops.size() && next >= src.stops[stop].at) next += src.stops[stop++].seconds;
  };
  struct Chunk { std::int64_t index, frames; double time; };  // time: of its first sample
  std::deque<Chunk> pending;
  Outcome run;
  double written = 0;
  auto placeReady = [&](bool all) {
    while (!pending.empty() &&
           (all || clock.ready(pending.front().index, pending.front().index + pending.front().frames))) {
      const Chunk c = pending.front();
      pending.pop_front();
      const AudioClock::Step s = clock.place(c.index, c.frames, written);
      written += static_cast<double>(s.silence);
      const double firstUsed = c.time + static_cast<double>(s.skip) / (kRate * src.speed);
      if (s.skip < c.frames) run.points.push_back({firstUsed, written / kRate - firstUsed});
      written += static_cast<double>(c.frames - s.skip) * s.ratio;
    }
  };
  for (double now = src.period; now < seconds; now += src.period) {
    if (src.stallEvery > 0 && std::fmod(now, src.stallEvery) >= src.stallEvery - src.stallSeconds) continue;
    const std::int64_t from = captured;
    const double firstTime = next;
    while (next < now) advance();
    // The reading: delivered so far, and the time the next would be captured.
    clock.observe(captured, now + jitter(gen));
    if (captured > from) pending.push_back({from, captured - from, firstTime});
    placeReady(false);
  }
  placeReady(true);
  run.silence = clock.silenceInserted();
  run.skipped = clock.samplesSkipped();
  run.estimatedRate = clock.estimatedRate();
  return run;
}

}  // namespace

TEST(AudioClock, FastAndSlowCardsInBurstsStayOnTimeWithoutSilenceOrSkips) {
  // Cards 2000 ppm fast and slow, delivering every 2, 20 and 50 ms: every
  // second of sound stays a second long within 3 ms from the start, the
  // sound is at its time within a few milliseconds after 5 s, and nothing
  // is put in or left out.
  for (double speed : {1.002, 0.998}) {
    for (double period : {0.002, 0.02, 0.05}) {
      SCOPED_TRACE(testing::Message() << "speed " << speed << ", bursts of " << period << " s");
      Source src = Source::at(speed);
      src.period = period;
      const Outcome run = simulate(src, 60);
      EXPECT_LT(run.worstIntervalError(0), 0.003);
      EXPECT_LT(run.worst(5), 0.004);
      EXPECT_EQ(run.silence, 0);
      EXPECT_EQ(run.skipped, 0);
      EXPECT_NEAR(run.estimatedRate / (kRate * speed), 1.0, 50e-6);
    }
  }
}

TEST(AudioClock, ACorrectSourceIsLeftAlone) {
  // Readings with a millisecond of noise either way: the sound keeps the
  // source's own timing, and the speed does not wobble.
  Source src = Source::at(1.0);
  src.readingJitterMs = 1;
  const Outcome run = simulate(src, 60);
  EXPECT_LT(run.worst(0), 0.002);
  EXPECT_LT(run.worstIntervalError(0), 0.001);
  EXPECT_NEAR(run.estimatedRate, kRate, kRate * 50e-6);
}

TEST(AudioClock, AnHourAtOneHundredPpmStaysOnTime) {
  for (double speed : {1.0001, 0.9999}) {
    const Outcome run = simulate(Source::at(speed), 3600);
    EXPECT_LT(run.worst(0), 0.003) << speed;
    EXPECT_LT(run.worst(3540), 0.002) << speed << ": the last minute";
  }
}

TEST(AudioClock, AStoppedSourceGetsSilenceForExactlyAsLongAtItsPlace) {
  // 1.5 s without samples at 10 s, and 150 ms at 30 s: silence of those
  // lengths goes in where the source stopped, and what follows stays at
  // its time.
  Source src = Source::at(1.001);
  src.stops = {{10, 1.5}, {30, 0.15}};
  const Outcome run = simulate(src, 45);
  EXPECT_LT(run.worst(0), 0.004);
  EXPECT_NEAR(static_cast<double>(run.silence) / kRate, 1.65, 0.004);
  EXPECT_EQ(run.skipped, 0);
}

TEST(AudioClock, AShortStopKeepsTheSoundWithThePictureAndAGlitchIsWorkedOffBySpeed) {
  // 60 ms without samples (a sound server that stalled and lost them): the
  // sound after it stays at its time, with silence where the samples are
  // missing, instead of running ahead while the speed catches up. 15 ms is
  // worked off by the speed.
  Source src = Source::at(1.0);
  src.stops = {{10, 0.06}, {25, 0.015}};
  const Outcome run = simulate(src, 40);
  EXPECT_NEAR(static_cast<double>(run.silence) / kRate, 0.06, 0.004);
  EXPECT_LT(run.worst(0), 0.016);
  EXPECT_LT(run.worst(35), 0.004);
}

TEST(AudioClock, LateBurstsOfABusyMachineAreNeitherSilenceNorDrift) {
  // Every 3 s the source's samples of 0.2 s arrive at once, late: they are
  // neither taken for a stop nor allowed to bend the rate.
  Source src = Source::at(1.002);
  src.stallEvery = 3;
  src.stallSeconds = 0.2;
  const Outcome run = simulate(src, 60);
  EXPECT_EQ(run.silence, 0);
  EXPECT_EQ(run.skipped, 0);
  EXPECT_LT(run.worstIntervalError(0), 0.003);
  EXPECT_LT(run.worst(5), 0.004);
  EXPECT_NEAR(run.estimatedRate / (kRate * 1.002), 1.0, 50e-6);
}

TEST(AudioClock, TheFirstSamplesAreAlignedWithTheRecordingsStart) {
  // A source that begins 0.3 s after the start is preceded by 0.3 s of
  // silence; one whose samples go back 0.2 s before the start (a buffer
  // filled before it) loses those, and not one more.
  for (double start : {0.3, -0.2}) {
    SCOPED_TRACE(start);
    Source src = Source::at(1.0);
    src.start = start;
    const Outcome run = simulate(src, 5);
    ASSERT_FALSE(run.points.empty());
    EXPECT_NEAR(run.points.front().t, std::max(start, 0.0), 0.001);
    EXPECT_LT(run.worst(0), 0.001);
    EXPECT_EQ(run.silence, 0) << "the alignment is not counted as a stop";
  }
}

TEST(AudioClock, ASourceThatComesBackAsANewStreamGoesOnAtItsTime) {
  // The sound server goes at 8 s and is back at 9.2 s with a new stream
  // whose index counts from 0, as the audio loop sees it: what came before
  // is placed at once, silence goes on up to half a second before each
  // moment while the server is gone, and the clock restarts (the readings of
  // the stream before count further than what was delivered). Every chunk,
  // the new stream's first one included, lands where it was captured (so
  // the silence lasts exactly as long as the sound was gone), and the
  // card's rate (2000 ppm fast) learnt before is kept.
  constexpr double kSpeed = 1.002, kPeriod = 0.02, kGone = 8.0, kBack = 9.2;
  AudioClock clock(kRate);
  double written = 0, origin = 0, streamEnd = kGone;  // the stream's first sample and its end
  std::int64_t captured = 0;
  auto timeOf = [&](std::int64_t n) { return origin + static_cast<double>(n) / (kRate * kSpeed); };
  struct Chunk { std::int64_t index, frames; double time; };
  std::deque<Chunk> pending;
  std::vector<std::pair<double, double>> errs;  // (true time, err) of each chunk
  auto placeReady = [&](bool all) {
    while (!pending.empty() &&
           (all || clock.ready(pending.front().index, pending.front().index + pending.front().frames))) {
      const Chunk c = pending.front();
      pending.pop_front();
      const AudioClock::Step s = clock.place(c.index, c.frames, written);
      written += static_cast<double>(s.silence);
      const double firstUsed = c.time + static_cast<double>(s.skip) / (kRate * kSpeed);
      if (s.skip < c.frames) errs.emplace_back(firstUsed, written / kRate - firstUsed);
      written += static_cast<double>(c.frames - s.skip) * s.ratio;
    }
  };
  bool gone = false;
  for (double now = kPeriod; now < 20; now += kPeriod) {
    if (now >= kGone && now < kBack) {
      if (!gone) placeReady(true);
      gone = true;
      written = std::max(written, (now - 0.5) * kRate);
      continue;
    }
    if (gone) {
      gone = false;
      clock.restart();
      captured = 0;
      origin = kBack;
      streamEnd = 1e9;
    }
    const std::int64_t from = captured;
    while (timeOf(captured) < std::min(now, streamEnd)) ++captured;
    if (captured > from) pending.push_back({from, captured - from, timeOf(from)});
    // The last reading before the server went counts 10 ms it had written
    // into the stream and never delivered.
    const bool last = origin == 0 && now + kPeriod >= kGone;
    clock.observe(captured + (last ? kRate / 100 : 0), now);
    placeReady(false);
  }
  placeReady(true);
  ASSERT_FALSE(errs.empty());
  bool after = false;
  for (const auto& [t, err] : errs) {
    EXPECT_LT(std::abs(err), after ? 0.002 : 0.004) << "at " << t << " s";
    if (!after && t >= kBack) {
      EXPECT_LT(t, kBack + 0.03) << "the new stream's first samples are left out";
    }
    after = after || t >= kBack;
  }
  EXPECT_TRUE(after) << "nothing of the new stream was placed";
  EXPECT_NEAR(clock.estimatedRate() / (kRate * kSpeed), 1.0, 200e-6);
}

TEST(AudioClock, ASourceThatChangesSpeedIsFollowed) {
  Source src = Source::at(1.0);
  src.steps = {{20, 1.0015}};
  const Outcome run = simulate(src, 80);
  EXPECT_LT(run.worst(0), 0.004);
  EXPECT_LT(run.worstIntervalError(0), 0.003);
  EXPECT_NEAR(run.estimatedRate / (kRate * 1.0015), 1.0, 50e-6);
}

TEST(AudioClock, EveryChunkGoesThroughTheResamplerAtItsSpeedEvenASingleSample) {
  // The sound server hands over a chunk of a sample or two now and then;
  // with the fraction carried over from the chunk before, such a chunk once
  // asked the resampler to squeeze it to nothing, which it answers with a
  // division by zero. Through the real resampler, as the recording uses it:
  // chunks of every size at the largest speeds, all converted, and the
  // output as long as the speeds make it, to a sample.
  for (const double ratio : {1.0 + AudioClock::kMaxDrift + AudioClock::kMaxCorrection,
                             1.0 - AudioClock::kMaxDrift - AudioClock::kMaxCorrection}) {
    SCOPED_TRACE(ratio);
    SwrContext* swr = nullptr;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    ASSERT_EQ(swr_alloc_set_opts2(&swr, &stereo, AV_SAMPLE_FMT_FLTP, kRate, &stereo, AV_SAMPLE_FMT_S16, kRate, 0,
                                  nullptr),
              0);
    ASSERT_EQ(swr_init(swr), 0);
    WholeSamples stretch;
    std::vector<std::int16_t> in(2 * 1024, 1000);
    std::vector<float> left(4096), right(4096);
    std::uint8_t* out[] = {reinterpret_cast<std::uint8_t*>(left.data()), reinterpret_cast<std::uint8_t*>(right.data())};
    double expected = 0;
    std::int64_t produced = 0;
    const int sizes[] = {1, 1, 2, 1, 3, 480, 1, 7, 960, 1, 1, 64, 2, 1024, 1, 9};
    for (int round = 0; round < 200; ++round)
      for (const int count : sizes) {
        const int delta = stretch.delta(count, ratio);
        const auto* src = reinterpret_cast<const std::uint8_t*>(in.data());
        ASSERT_GE(swr_set_compensation(swr, delta, count + delta), 0);
        const int got = swr_convert(swr, out, 4096, &src, count);
        ASSERT_GE(got, 0) << "a chunk of " << count;
        produced += got;
        expected += count * ratio;
      }
    for (int n; (n = swr_convert(swr, out, 4096, nullptr, 0)) > 0;) produced += n;
    EXPECT_NEAR(static_cast<double>(produced), expected, 1.5);
    swr_free(&swr);
  }
}

// A server's write index advances a cycle's block at a time, and readings
// see one, two or more of them at once; the cycle can change.
TEST(CycleLength, IsTheShortestRecentStepOnceAFewWereSeen) {
  CycleLength cycle;
  std::int64_t index = 0;
  auto advance = [&](std::int64_t by) { cycle.observe(index += by); };
  cycle.observe(0);
  advance(2048);
  advance(0);  // a reading with nothing new
  advance(2048);
  advance(1024);
  EXPECT_EQ(cycle.frames(), 0) << "three steps are not enough to tell";
  advance(3072);
  EXPECT_EQ(cycle.frames(), 1024);
  // Another client asks for a longer cycle: found once the short steps are gone.
  for (std::size_t i = 0; i < CycleLength::kWindow; ++i) advance(i % 3 == 0 ? 4096 : 2048);
  EXPECT_EQ(cycle.frames(), 2048);
}
