// The audio input through PipeWire's own stream (libpipewire-0.3), where the
// session's sound server is PipeWire: its pulse server answers timing
// questions poorly (no latency for any sink or source, a cycle late), while
// PipeWire tells each stream, every graph cycle, when its samples were
// captured or will be heard.
//
// The stream follows the graph's own quantum and runs on PipeWire's
// real-time data thread, which copies each buffer into a ring and its timing
// into a queue, both single-producer single-consumer and lock-free; the
// audio thread takes them from there. Nothing the recorder does can hold
// the data thread up.
//
// A monitor is recorded at the device that finally plays the sound: a
// default sink that is a loopback or filter in front of a device (a node
// group whose stream plays into it) is followed to that device, whose
// monitor holds the sound as it is heard, the loopback's delay included.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/encoder/engine/audio_input.h"

struct pw_thread_loop;

namespace encoder::engine {

// The timing PipeWire gives with a buffer (pw_stream_get_time_n): the graph
// cycle's start on the monotonic clock, the clock's rate, the delay to the
// device in the rate's units (ports' latency included), and the frames the
// stream's resampler holds back.
struct PipeWireTime {
  std::int64_t nowNs = 0;
  std::uint32_t rateNum = 1, rateDenom = 48000;
  std::int64_t delay = 0;
  std::int64_t buffered = 0;
};

// The moment, in monotonic nanoseconds, of the sample that follows a buffer
// of `frames` frames at `streamRate`, taken in the cycle `t` describes: for
// a source, when it is captured (its samples were captured before the
// cycle, the delay and the resampler's frames earlier still); for a
// monitor, when the sink plays it (the sink plays the cycle's block from
// the cycle's start, the delay later, the resampler's frames earlier).
std::int64_t pipeWireAfterBufferNs(const PipeWireTime& t, std::int64_t frames, int streamRate, bool monitor);

// What the registry says of the graph, for following a sink to its device.
struct PipeWireNode {
  std::uint32_t id = 0;
  std::string name, mediaClass, group;
};
struct PipeWireLink {
  std::uint32_t outputNode = 0, inputNode = 0;
};
// The device that plays what `sink` is given: `sink` itself, or where it is
// one end of a node group (a loopback, a filter chain), the sink the group's
// playback stream is linked to, followed again (a few steps at most).
std::string deviceBehind(const std::vector<PipeWireNode>& nodes, const std::vector<PipeWireLink>& links,
                         const std::string& sink);

class PipeWireAudio final : public AudioInput {
 public:
  // Records `target` (a source's node name; for a monitor the sink's) at
  // this rate and channel count. nullptr with `error` set when PipeWire
  // cannot be reached or the stream does not start.
  static std::unique_ptr<PipeWireAudio> open(int sampleRate, int channels, const std::string& target, bool monitor,
                                             rt::Text& error);
  ~PipeWireAudio() override;

  bool read(std::vector<std::int16_t>& samples, std::int64_t& first, std::vector<Reading>& readings, Link& link,
            rt::Text& error) override;
  bool awaitFirstSamples(std::chrono::milliseconds limit) override;
  void interrupt() override;
  const char* kind() const override { return "PipeWire"; }

  // The node recorded from (a monitor: the device's).
  const std::string& recorded() const { return recorded_; }

  struct Impl;

 private:
  PipeWireAudio() = default;
  // Connects to PipeWire and starts the stream; the loop's lock is held.
  bool connect(rt::Text& error);
  void disconnect();  // with the loop's lock held, or the loop stopped

  int rate_ = 0, channels_ = 0;
  std::string target_, recorded_;
  bool monitor_ = false;
  pw_thread_loop* loop_ = nullptr;
  std::unique_ptr<Impl> impl_;
  std::atomic<bool> interrupted_{false};
  // Touched by the audio thread only.
  bool lost_ = false;
  Clock::time_point nextAttempt_;
  // A monitor's stream begins with a cycle of digital silence, sent before
  // it was linked to the sink: no sound was heard for it. Such leading
  // zeros are left out.
  bool priming_ = false;
  // Leaves out the leading zero frames among `frames` frames at `data`;
  // how many.
  std::size_t dropPriming(const std::int16_t* data, std::size_t frames);
};

}  // namespace encoder::engine
