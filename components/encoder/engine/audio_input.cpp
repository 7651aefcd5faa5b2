#include "components/encoder/engine/audio_input.h"

#include "components/encoder/engine/audio_capture.h"
#include "components/encoder/engine/pipewire_audio.h"

namespace encoder::engine {

std::unique_ptr<AudioInput> openAudioInput(int sampleRate, int channels, rt::Text& error) {
  // The pulse protocol first: PulseAudio and PipeWire's pulse server both
  // speak it, and it says which server this is and what its default input
  // is (a source, or the monitor of a sink).
  std::unique_ptr<AudioCapture> pulse = AudioCapture::open(sampleRate, channels, error);
  if (!pulse || !pulse->onPipeWire()) return pulse;
  const bool monitor = !pulse->monitoredSink().empty();
  rt::Text why;
  if (auto native =
          PipeWireAudio::open(sampleRate, channels, monitor ? pulse->monitoredSink() : pulse->sourceName(), monitor, why))
    return native;
  // PipeWire's own socket cannot be reached (a sandbox, another user's
  // server): its pulse server records as it does for PulseAudio.
  return pulse;
}

}  // namespace encoder::engine
