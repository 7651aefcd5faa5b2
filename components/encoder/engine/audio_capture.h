// The audio input through PulseAudio's protocol: the default source of
// PulseAudio (or of PipeWire's pulse server, where PipeWire's own stream
// cannot be had), recorded with small fragments (about 20 ms) so the first
// samples arrive at once.
//
// Its readings come from the server's timing info: how many samples the
// source had delivered into the stream, and when the next one would be
// captured (the server's time stamp, less the source's latency, plus the
// latency of the sink a monitor source listens to).
//
// Reads wait on PulseAudio's own thread and can be interrupted: a source
// that delivers nothing for a while never keeps a stop waiting, and a
// reading still comes about every kReadingMs while it stands still.
//
// The server may go away during a recording (restarted by an update or a
// headset's connection, or crashed) and come back: the connection is then
// made again, at once and every kRetryMs, to the default input as the server
// has it then, and the samples begin a new stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include <string>

#include "components/encoder/engine/audio_clock.h"
#include "components/encoder/engine/audio_input.h"
#include "runtime/text.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct pa_time_event;
struct pa_mainloop_api;
struct timeval;

namespace encoder::engine {

class AudioCapture final : public AudioInput {
 public:
  static constexpr int kFragmentMs = 20;
  // Readings are asked for after every read, and at least this often.
  static constexpr int kReadingMs = 50;
  // While the server is gone, a new connection is tried this often.
  static constexpr int kRetryMs = 500;

  // Connects to the audio server and starts recording the default source
  // as signed 16-bit interleaved samples at this rate and channel count.
  static std::unique_ptr<AudioCapture> open(int sampleRate, int channels, rt::Text& error);
  ~AudioCapture() override;

  bool read(std::vector<std::int16_t>& samples, std::int64_t& first, std::vector<Reading>& readings, Link& link,
            rt::Text& error) override;
  bool awaitFirstSamples(std::chrono::milliseconds limit) override;
  void interrupt() override;
  const char* kind() const override { return "PulseAudio"; }

  // What the server said of itself and the stream's source at the start:
  // whether it is PipeWire's pulse server, the source's name and, for a
  // monitor, the name of the sink it listens to ("" otherwise).
  bool onPipeWire() const { return onPipeWire_; }
  const std::string& sourceName() const { return sourceName_; }
  const std::string& monitoredSink() const { return monitoredSink_; }

 private:
  AudioCapture() = default;
  static void onContextState(pa_context* c, void* self);
  static void onStreamState(pa_stream* s, void* self);
  static void onReadable(pa_stream* s, std::size_t bytes, void* self);
  static void onTiming(pa_stream* s, int success, void* self);
  static void onTimer(pa_mainloop_api* api, pa_time_event* e, const timeval* tv, void* self);
  // The steps of a connection, with the loop's lock held: a new context
  // connecting; once it is ready, the recording stream on the default
  // source; once that is ready, what the stream's kind needs. Each returns
  // false (with `error`) when it failed at once.
  bool beginConnection(bool autospawn, rt::Text& error);
  bool beginStream(rt::Text& error);
  void finishStream();
  // Lets go of the stream and the context (lock held, or the loop stopped).
  void closeConnection();
  // While the server is gone: takes the next step towards a new connection
  // (lock held); true once the new stream records.
  bool reconnect();
  void requestReading();  // with the loop's lock held
  // Asks the server what it is and what the stream records from (the
  // fields above); waits for its answers, with the lock held.
  void learnServer();
  // Drops what PipeWire's pulse server delivers before its first cycle with
  // sound (see primingZeros_); true once sound waits. With the lock held.
  bool dropPriming();

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  pa_time_event* timer_ = nullptr;
  int channels_ = 0;
  int sampleRate_ = 0;
  bool pipeWireMonitor_ = false;
  bool onPipeWire_ = false;
  std::string sourceName_, monitoredSink_;
  bool interrupted_ = false;
  // The server is gone; the next connection is tried at nextAttempt_.
  bool lost_ = false;
  Clock::time_point nextAttempt_;
  // Guarded by the loop's lock:
  std::int64_t delivered_ = 0;  // frames read so far, holes included: the stream index
  // PipeWire's pulse server starts a monitor's stream with a cycle of
  // digital silence, sent before the stream was linked to the sink: no
  // sound was captured for it. Such leading zeros are left out.
  bool primingZeros_ = false;
  bool readingAsked_ = false;
  Clock::time_point lastAsked_;
  std::vector<Reading> readings_;
  CycleLength cycle_;
};

}  // namespace encoder::engine
