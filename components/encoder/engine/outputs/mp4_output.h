// The MP4 output (a name ending in ".mp4"): H.264 (libx264) and AAC-LC
// (FFmpeg's aac) in an MP4 that browsers, phones and learning platforms play.
//
// During the recording the file is a fragmented MP4: an empty movie box,
// then a fragment (moof + mdat) at least every half second and at every key
// frame, each written to disk as it is complete. A recording whose process
// dies plays up to its last complete fragment; a write that fails (a full
// disk) cuts the file back to its last complete fragment.
//
// A clean stop then rewrites the file as a regular MP4 with its index (the
// movie box) at the front, so a browser can start playing and seeking before
// the whole file has arrived: the fragments are copied, packet for packet,
// into a new file next to it whose movie box space was reserved up front
// (its size is known from the packet count), and the new file replaces the
// fragmented one by rename. Whatever goes wrong there leaves the fragmented
// file, which is complete and plays everywhere, in place.
//
// The texts: title, author (artist), copyright and description (also as the
// comment) are the standard iTunes-style items players show; the rating and
// every attribute are freeform items under their own names (mp4_boxes.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "components/encoder/engine/outputs/mp4_boxes.h"
#include "components/encoder/engine/outputs/output.h"
#include "components/encoder/engine/outputs/output_file.h"

struct AVDictionary;
struct AVFormatContext;

namespace encoder::engine {

// An audio encoder's priming: samples it puts before the first one recorded.
struct Priming {
  int samples = 0, sampleRate = 1;
};

class Mp4Output final : public Output {
 public:
  // nullptr with `error` set when this FFmpeg has no mp4 muxer.
  static std::unique_ptr<Mp4Output> create(rt::Text& error);
  ~Mp4Output() override;

  const char* kind() const override { return "MP4"; }
  bool addVideo(int width, int height, const VideoSettings& v, AVCodecContext*& codec, AVStream*& stream,
                rt::Text& error) override;
  bool addAudio(const AudioSettings& a, AVCodecContext*& codec, AVStream*& stream, rt::Text& error) override;
  // AAC's priming is the edit list's to skip: players present the sound whole.
  int audioLeadIn(const AVCodecContext*) const override { return 0; }
  bool open(const rt::Text& path, const Description& description, rt::Text& error) override;
  bool write(AVPacket* pkt, AVCodecContext* codec, AVStream* stream, std::uint64_t recorded100ns) override;
  bool finish(std::uint64_t recorded100ns) override;
  void abandon() override;
  int error() const override { return file_ ? file_->error() : 0; }

 private:
  Mp4Output() = default;
  // The muxer's bytes at `at`: the header is collected, then written
  // completed; what follows is shifted by the difference in size.
  bool write(std::uint64_t at, const std::uint8_t* buf, std::size_t size);
  bool emitHeader();
  void trackBoxes();
  void salvage();

  AVFormatContext* fmt_ = nullptr;
  std::unique_ptr<OutputFile> file_;
  std::string path_;
  Description description_;
  mp4::Tags freeform_;

  // The header (ftyp + empty moov) is collected while the muxer writes it,
  // completed with the freeform items, and written whole; what follows is
  // shifted by the difference (nothing after the header refers to an
  // absolute file position: fragments are addressed from their own moof).
  bool collecting_ = true;
  mp4::Bytes header_;
  std::int64_t shift_ = 0;
  // Top-level boxes as they reach the disk: the end of the last one that
  // completes a playable file (the header, or a fragment's mdat).
  std::uint64_t nextBox_ = 0, playableEnd_ = 0;
  std::int64_t packets_ = 0;
  Priming priming_;
};

// Rewrites the complete fragmented MP4 open as `fd` (read from offset 0;
// named `path`, a plain local path) as a regular MP4 with its movie box at
// the front: written to a new file in the same folder, then renamed over
// `path`, which must still be the file of `fd`. `packets` is at least the
// number of packets in the file (it sizes the movie box's reserved space);
// `tags` are added as freeform items. `priming` is the audio encoder's
// priming (AAC's first 1024 samples stand for the time before the first
// sample), for which the fragmented file starts every stream later: the
// regular file starts the sound that much before zero again, and its edit
// list has players skip it, so the first picture and the first sound
// recorded both come at zero. False with `why` set (and `path` untouched)
// when it cannot; the new file is then removed.
bool rewriteWithIndexFirst(int fd, const std::string& path, std::int64_t packets, const AVDictionary* metadata,
                           const mp4::Tags& tags, Priming priming, std::string& why);

}  // namespace encoder::engine
