// The audio input: the default PulseAudio source (PipeWire's pulse server
// serves the same protocol), recorded with small fragments (about 20 ms) so
// the first samples arrive at once.
//
// Reads wait on PulseAudio's own thread and can be interrupted: a source
// that delivers nothing for a while (an idle monitor source sends its data
// in bursts) never keeps a stop waiting.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "runtime/text.h"

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace encoder::engine {

class AudioCapture {
 public:
  static constexpr int kFragmentMs = 20;

  // Connects to the audio server and starts recording the default source
  // as signed 16-bit interleaved samples at this rate and channel count.
  static std::unique_ptr<AudioCapture> open(int sampleRate, int channels, rt::Text& error);
  ~AudioCapture();
  AudioCapture(const AudioCapture&) = delete;
  AudioCapture& operator=(const AudioCapture&) = delete;

  // Waits for recorded samples and replaces `samples` with all there are
  // (whole frames; gaps the server reports are filled with silence).
  // Once interrupt() was called it no longer waits: it returns what has
  // already arrived, or true with no samples; false with `error` set when
  // the server or the stream failed.
  bool read(std::vector<std::int16_t>& samples, rt::Text& error);
  // Makes a waiting read() return at once, and every later one.
  void interrupt();
  // How long ago the newest sample read was recorded, in microseconds.
  std::uint64_t latencyUsec();

 private:
  AudioCapture() = default;
  static void onContextState(pa_context* c, void* self);
  static void onStreamState(pa_stream* s, void* self);
  static void onReadable(pa_stream* s, std::size_t bytes, void* self);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  int channels_ = 0;
  bool interrupted_ = false;
};

}  // namespace encoder::engine
