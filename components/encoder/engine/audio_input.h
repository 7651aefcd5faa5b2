// The recording's audio input, behind one interface: the default input of
// the session's sound server, through PipeWire's own stream where the server
// is PipeWire (PipeWireAudio), else through PulseAudio's protocol
// (AudioCapture). The audio loop reads whichever openAudioInput() chose and
// never knows which.
//
// Besides the samples, an input hands out readings of the source's own
// timing: "the source had delivered `index` samples, and the next would be
// captured at `time`" (for a monitor: would be heard, when the sink plays
// it). A sample's capture time comes from these (AudioClock), never from
// when our thread happened to read it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "runtime/text.h"

namespace encoder::engine {

class AudioInput {
 public:
  using Clock = std::chrono::steady_clock;

  struct Reading {
    std::int64_t index;
    Clock::time_point time;
  };

  // What a read says of the connection its samples came through.
  enum class Link {
    Up,    // the same as before
    Lost,  // the server is gone: nothing comes until it is back; read()
           // returns at least every 50 ms meanwhile
    Back,  // connected again: the samples and readings handed over begin a
           // new stream, whose index counts from 0
  };

  virtual ~AudioInput() = default;

  // Waits until samples or readings have arrived and hands them over:
  // `samples` gets every whole frame there is (signed 16-bit, interleaved;
  // holes the server reports become silence), `first` the stream index of
  // the first of them, `readings` the readings taken since the last call,
  // and `link` whether the connection is the one before. Once interrupt()
  // was called it no longer waits: it hands over what has already arrived.
  // False with `error` set when the input failed in a way a new connection
  // cannot mend.
  virtual bool read(std::vector<std::int16_t>& samples, std::int64_t& first, std::vector<Reading>& readings,
                    Link& link, rt::Text& error) = 0;
  // Waits up to `limit` for the first samples to arrive: a recording that
  // starts once they have begins with sound, not with the moment the
  // source takes to deliver. False when none came in time.
  virtual bool awaitFirstSamples(std::chrono::milliseconds limit) = 0;
  // Makes a waiting read() return at once, and every later one. Called
  // from another thread.
  virtual void interrupt() = 0;
  // What the input is, for figures ("PulseAudio", "PipeWire").
  virtual const char* kind() const = 0;

  AudioInput() = default;
  AudioInput(const AudioInput&) = delete;
  AudioInput& operator=(const AudioInput&) = delete;
};

// Connects to the session's sound server and starts recording its default
// input as signed 16-bit interleaved samples at this rate and channel
// count. On PipeWire the default input is recorded through PipeWire's own
// stream; where PipeWire's socket cannot be reached (a sandbox, another
// user's server), through its pulse server as on PulseAudio.
// nullptr with `error` set, in words for the user, when there is no server.
std::unique_ptr<AudioInput> openAudioInput(int sampleRate, int channels, rt::Text& error);

}  // namespace encoder::engine
