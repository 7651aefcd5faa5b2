// The ASF (.wmv) output: wmv2 video and wmav2 audio through FFmpeg's asf
// muxer (AsfFile, the Output for every name but .mp4), and the file layer
// between that muxer and the disk (AsfFile):
//
// - The output setting is opened as a local file path and held for this
//   recording (OutputFile), and the muxer writes through its AVIOContext:
//   FFmpeg's protocol layer never sees the name.
// - The header the muxer writes is completed as it passes through: its
//   content description (five texts) and extended content description
//   (attributes) are replaced by ours, exact UTF-16; its header extension
//   gets an extended stream properties object per stream (the frame rate,
//   bit rate and largest object that players and file managers read from the
//   header); every later write and seek is shifted by the difference in
//   size, so sizes and offsets stay consistent.
// - Data is written at once, and progress() brings the header's file size,
//   packet count and duration up to date, so a recording whose process dies
//   is a valid file of everything up to the last update.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "components/encoder/engine/asf_header.h"
#include "components/encoder/engine/outputs/output.h"
#include "components/encoder/engine/outputs/output_file.h"
#include "runtime/text.h"

struct AVFormatContext;

namespace encoder::engine {

class AsfFile {
 public:
  // Creates (or truncates) the file (OutputFile::create). On failure returns
  // nullptr and sets `error` to a text naming the path and the reason.
  static std::unique_ptr<AsfFile> create(const rt::Text& path, rt::Text& error);
  ~AsfFile();
  AsfFile(const AsfFile&) = delete;
  AsfFile& operator=(const AsfFile&) = delete;

  // What the header will carry, set before the muxer writes it.
  void setDescription(asf::ContentDescription content, std::vector<asf::Attribute> attributes);
  // The extended stream properties of the muxer's streams, in its order
  // (stream numbers, the bucket's size when 0 and the largest object are
  // filled in here).
  void setStreams(std::vector<asf::StreamExtension> streams);

  // A media object (an encoded frame) of `bytes` of the muxer's stream
  // `stream` is about to be written: the header's largest object follows.
  void mediaObject(std::size_t stream, std::size_t bytes);

  AVIOContext* io() { return file_->io(); }

  // Updates the header to describe every complete data packet on disk and
  // `duration100ns` of content. Does nothing before the header is written or
  // after the muxer has written its final one.
  void progress(std::uint64_t duration100ns);

  // After a failed write: makes the file a valid recording of the packets
  // that did reach the disk and cuts off any partial packet.
  void salvage(std::uint64_t duration100ns);

  // The errno of the first failed write, 0 if none.
  int error() const { return file_->error(); }

  // Flushes FFmpeg's buffer and closes the file; false (and error() set)
  // when something could not be written.
  bool close();

 private:
  explicit AsfFile(std::unique_ptr<OutputFile> file);
  // The muxer's bytes at `at`: the header object is collected and completed,
  // what follows is shifted by the difference in size.
  bool write(std::uint64_t at, const std::uint8_t* buf, std::size_t size);
  bool emitHeader();
  std::uint64_t completePackets() const;

  std::unique_ptr<OutputFile> file_;
  asf::ContentDescription content_;
  std::vector<asf::Attribute> attributes_;
  std::vector<asf::StreamExtension> streams_;
  std::vector<std::size_t> maxObjectSizeAt_;  // where each stream's largest object is written

  std::vector<std::uint8_t> header_;     // the muxer's header object as written
  std::uint64_t logicalHeaderSize_ = 0;  // 0 until known
  std::uint64_t physicalHeaderSize_ = 0;  // 0 until our header is on disk
  std::int64_t shift_ = 0;               // physical - logical past the header
  std::size_t filePropsAt_ = 0;          // offset of the file properties object
  std::uint32_t packetSize_ = 0;
  std::uint64_t preroll_ = 0;
  std::uint64_t created_ = 0;
  int headerWrites_ = 0;                  // 1 after the first header, 2 after the final one
};

// The Output for ASF: the encoders, the muxer, and an AsfFile under it.
class AsfOutput final : public Output {
 public:
  // nullptr with `error` set when this FFmpeg has no asf muxer.
  static std::unique_ptr<AsfOutput> create(rt::Text& error);
  ~AsfOutput() override;

  const char* kind() const override { return "ASF"; }
  bool addVideo(int width, int height, const VideoSettings& v, AVCodecContext*& codec, AVStream*& stream,
                rt::Text& error) override;
  bool addAudio(const AudioSettings& a, AVCodecContext*& codec, AVStream*& stream, rt::Text& error) override;
  // FFmpeg's wmav2 decoder gives nothing for the first frame and a fade for
  // the second: both go to silence.
  int audioLeadIn(const AVCodecContext* audio) const override;
  bool open(const rt::Text& path, const Description& description, rt::Text& error) override;
  bool write(AVPacket* pkt, AVCodecContext* codec, AVStream* stream, std::uint64_t recorded100ns) override;
  bool finish(std::uint64_t recorded100ns) override;
  void abandon() override;
  int error() const override { return file_ ? file_->error() : 0; }
  // Its quantiser held low for that frame; wmv2's key frames carry no
  // picture number, so one may be written again.
  bool encodesStillPicturesFinely() const override { return true; }
  int sendStillFrame(AVCodecContext* codec, const AVFrame* frame) override;

 private:
  AsfOutput() = default;
  AVFormatContext* fmt_ = nullptr;
  std::vector<asf::StreamExtension> streams_;  // as the streams are added
  std::unique_ptr<AsfFile> file_;
};

}  // namespace encoder::engine
