// Puts recorded sound on the recording's steady clock, the clock the
// pictures are stamped with.
//
// The sound server tells, every few tens of milliseconds, how far the source
// has got: "the source had delivered `index` samples, and the next one would
// be captured at `time`" (its write index, less the source's latency, plus a
// monitored sink's, at the server's time stamp). Such a reading is an upper
// bound for every sample before `index`: a sample delivered late only makes
// the bound looser, and one whose source stood still for a while lies even
// earlier. So a sample's capture time is the tightest of the bounds that the
// readings after it give, carried back at the source's rate. A chunk whose
// bound continues the sound before it is placed as soon as a reading follows
// it. One that seems late waits until readings reach a little past it
// (kLookaheadSeconds): that tells a source that really stopped (every reading
// after the stop stays late) from one whose samples were only delivered late
// in a burst (the readings after the burst are on time again).
//
// Each chunk is then placed where it belongs on the output, relative to the
// recording's start:
//   - samples captured before the start are left out, and a source that
//     began later is preceded by silence;
//   - a source that stopped (suspended, overrun, a stalled server that lost
//     what it should have captured) gets silence for exactly as long as it
//     stopped: from kStopSeconds on once the readings after it confirm the
//     stop, from kGapSeconds on when none do;
//   - everything else, a source clock that runs fast or slow, jitter, late
//     bursts, is followed by stretching or squeezing the sound (the caller's
//     resampler) by a ratio that a PI loop sets: its integral learns the
//     source's rate, so the sound stays on the picture's clock over an hour
//     as in the first second, and no sample is dropped or doubled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace encoder::engine {

class AudioClock {
 public:
  // `rate`: the nominal sample rate, which is also the output's.
  explicit AudioClock(int rate);

  // A reading of the source's timing: it had delivered `index` samples, and
  // the next would be captured at `time` (seconds on the recording's clock,
  // whose zero is the output's first sample). Readings come in order.
  void observe(std::int64_t index, double time);

  // Whether the chunk of input samples [index, end) can be placed: a
  // reading follows it and its time continues the sound placed before it
  // (within kDoubtSeconds), or the readings reach kLookaheadSeconds past it,
  // or the source has delivered nothing for so long (kStallSeconds) that no
  // reading will tighten it.
  bool ready(std::int64_t index, std::int64_t end) const;

  struct Step {
    std::int64_t silence = 0;  // output samples of silence to write before the chunk
    std::int64_t skip = 0;     // input samples at the chunk's start to leave out
    double ratio = 1.0;        // output samples per input sample for the rest
  };

  // Places the chunk of `frames` input samples that starts at input sample
  // `index`. `written`: the output position the chunk's first sample would
  // take (samples written so far, those still in the resampler included).
  Step place(std::int64_t index, std::int64_t frames, double written);

  // The source begins a new stream (the sound server came back): its index
  // counts from 0 again, and its first chunk is placed as the very first
  // was, exactly where it belongs, after silence up to it (counted as
  // silence put in). The source's rate learnt so far is kept.
  void restart();

  // Up to when the source has delivered what it captured: the time of the
  // newest reading that brought samples (seconds on the recording's clock).
  double deliveredUntil() const { return advancedAt_; }

  // The source's estimated sample rate (samples per second of the steady clock).
  double estimatedRate() const;
  // Output samples of silence put in for stops of the source, and input
  // samples left out, since the first chunk (the alignment at the start
  // not counted).
  std::int64_t silenceInserted() const { return silenceInserted_; }
  std::int64_t samplesSkipped() const { return samplesSkipped_; }

  // A chunk waits until the readings reach this far past it: longer than the
  // late bursts of a busy machine (about 0.2 s), so the readings after such
  // a burst are on time again before the chunk is placed.
  static constexpr double kLookaheadSeconds = 0.3;
  // A chunk whose bound lies this much later than the sound before it ends
  // is in doubt: a late burst or a stop, which only later readings tell.
  static constexpr double kDoubtSeconds = 0.015;
  // Without any new sample for this long, a chunk is placed with the
  // readings there are: the source has stopped, not only been late.
  static constexpr double kStallSeconds = 1.5;
  // A source that stopped for this long or longer gets silence in its place;
  // shorter offsets (jitter, a late reading) are worked off by the speed.
  static constexpr double kGapSeconds = 0.1;
  // A stop the readings confirm (all of them up to kLookaheadSeconds past
  // the chunk say it came this late) gets silence from this length on: the
  // samples are gone, and working off more by the speed would leave the
  // sound ahead of the picture by more than a viewer accepts, for seconds.
  static constexpr double kStopSeconds = 0.03;
  // The PI loop's natural frequency (rad/s, critically damped): fast enough
  // to learn a card 2000 ppm off within a few seconds, slow enough that a
  // reading a few milliseconds off moves the speed by little.
  static constexpr double kLoopRadPerSecond = 0.5;
  // The largest speed correction, beyond the source's rate: about 9 cents
  // of pitch, unheard in speech and music.
  static constexpr double kMaxCorrection = 0.005;
  // The largest source rate error believed: ten times the worst real card.
  static constexpr double kMaxDrift = 0.005;

 private:
  // The tightest bound the readings after `index` give for its capture time,
  // or a negative `found` when there is none.
  double bound(std::int64_t index, bool& found) const;

  struct Reading {
    std::int64_t index;
    double time;
  };
  std::deque<Reading> readings_;
  double rate_;
  bool started_ = false;
  bool restarted_ = false;  // since restart(), until the new stream's first chunk
  double drift_ = 0;       // the loop's integral: seconds per input second, less one
  std::int64_t lastIndex_ = 0;  // the last chunk placed, and where it belonged
  double lastTime_ = 0;
  double latestTime_ = 0;   // the newest reading's time
  double advancedAt_ = 0;   // the time of the newest reading that brought new samples
  std::int64_t silenceInserted_ = 0, samplesSkipped_ = 0;
};

// Turns the clock's speed into whole samples to add to (positive) or take
// from each chunk, as the resampler takes them (swr_set_compensation, over
// the chunk's output: count + delta samples), the fractions carried over to
// the next chunk. A chunk is stretched or
// squeezed by at most an eighth of its length: the resampler divides by
// what is left of a chunk squeezed by all of it, and the sound source hands
// over a chunk of a sample or two now and then.
class WholeSamples {
 public:
  int delta(int count, double ratio);

 private:
  double carry_ = 0;
};

// The length of a sound server's processing cycle, read off the write
// index of a stream that advances a whole cycle's block at a time: the
// shortest of the last steps it took. A step of two cycles counts as one
// cycle once a single one is seen, and a cycle that grows is found once the
// shorter steps have left the window.
class CycleLength {
 public:
  static constexpr std::size_t kWindow = 32;
  static constexpr std::size_t kFirstSteps = 4;  // before which it is not known
  void observe(std::int64_t index);
  std::int64_t frames() const;  // 0 while not known

 private:
  std::int64_t last_ = -1;
  std::deque<std::int64_t> steps_;
};

}  // namespace encoder::engine
