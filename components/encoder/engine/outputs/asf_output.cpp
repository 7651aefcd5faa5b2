#include "components/encoder/engine/outputs/asf_output.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>

#include "components/encoder/engine/outputs/output_file.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

namespace encoder::engine {

namespace {
// Offsets inside the data object: its size and its packet count.
constexpr std::size_t kDataSize = 16;
constexpr std::size_t kDataPacketCount = 40;
// Offset of the creation date inside the file properties object.
constexpr std::size_t kCreationDate = 48;
// The quantisers of a picture that stands still. A key frame of a detailed
// text slide at full HD (luma MSE against a lossless grab, size of the
// frame): 2 gives 1.1 and 960 kB, 3 gives 1.9 and 760 kB, 4 gives 3.6 and
// 640 kB, 6 gives 8.7. A frame that refines the rate control's coarse
// picture of a change is predicted, and its residual stops where the inter
// quantiser's dead zone begins: at 3 the slide stays at 3.6 to 4.1 however
// many such frames follow, at 2 it reaches 2.6.
constexpr int kStillKeyQuantiser = 3;
constexpr int kStillRefineQuantiser = 2;
}  // namespace

std::unique_ptr<AsfFile> AsfFile::create(const rt::Text& path, rt::Text& error) {
  auto file = OutputFile::create(path, error);
  if (!file) return nullptr;
  return std::unique_ptr<AsfFile>(new AsfFile(std::move(file)));
}

AsfFile::AsfFile(std::unique_ptr<OutputFile> file) : file_(std::move(file)) {
  file_->setSink([this](std::uint64_t at, const std::uint8_t* buf, std::size_t size) { return write(at, buf, size); });
}

AsfFile::~AsfFile() = default;

void AsfFile::setDescription(asf::ContentDescription content, std::vector<asf::Attribute> attributes) {
  content_ = std::move(content);
  attributes_ = std::move(attributes);
}

bool AsfFile::write(std::uint64_t at, const std::uint8_t* buf, std::size_t size) {
  while (size > 0) {
    const bool inHeader = logicalHeaderSize_ == 0 || at < logicalHeaderSize_;
    if (!inHeader) return file_->writeAt(at + static_cast<std::uint64_t>(shift_), buf, size);
    // The header object is collected whole, then completed and written.
    std::size_t take = size;
    if (logicalHeaderSize_ != 0) take = static_cast<std::size_t>(std::min<std::uint64_t>(size, logicalHeaderSize_ - at));
    if (header_.size() < at + take) header_.resize(at + take);
    std::copy_n(buf, take, header_.begin() + static_cast<std::ptrdiff_t>(at));
    at += take;
    buf += take;
    size -= take;
    if (logicalHeaderSize_ == 0 && header_.size() >= 24) {
      logicalHeaderSize_ = asf::readU64(header_, 16);
      if (logicalHeaderSize_ < asf::kHeaderPrefixSize || logicalHeaderSize_ > (1u << 24)) {
        file_->fail(EINVAL);
        return false;
      }
      // Bytes collected beyond the header belong to what follows it.
      if (header_.size() > logicalHeaderSize_) {
        const std::vector<std::uint8_t> rest(header_.begin() + static_cast<std::ptrdiff_t>(logicalHeaderSize_),
                                             header_.end());
        header_.resize(logicalHeaderSize_);
        if (!emitHeader()) return false;
        if (!file_->writeAt(logicalHeaderSize_ + static_cast<std::uint64_t>(shift_), rest.data(), rest.size()))
          return false;
        continue;
      }
    }
    if (logicalHeaderSize_ != 0 && at == logicalHeaderSize_ && !emitHeader()) return false;
  }
  return true;
}

bool AsfFile::emitHeader() {
  const auto parsed = asf::parseHeader(header_);
  const asf::Object* props = parsed ? parsed->find(asf::kFilePropertiesObject) : nullptr;
  if (props == nullptr || props->size < asf::fileprops::kSize) {
    file_->fail(EINVAL);
    return false;
  }
  const std::span<const std::uint8_t> muxed(header_);
  auto objectBytes = [&](const asf::Object& o) { return muxed.subspan(o.offset, o.size); };

  // The header extension: what the muxer put there, and an extended stream
  // properties object for each stream, numbered as the muxer numbered them.
  std::vector<std::uint16_t> numbers;
  for (const auto& o : parsed->objects) {
    if (o.guid != asf::kStreamPropertiesObject) continue;
    const auto n = asf::readStreamNumber(objectBytes(o));
    if (!n) {
      file_->fail(EINVAL);
      return false;
    }
    numbers.push_back(*n);
  }
  if (streams_.size() > numbers.size()) {
    file_->fail(EINVAL);
    return false;
  }
  const asf::Object* muxedExtension = parsed->find(asf::kHeaderExtensionObject);
  asf::Bytes inner;
  if (muxedExtension != nullptr) {
    const auto ext = objectBytes(*muxedExtension);
    const auto objects = asf::parseHeaderExtension(ext);
    if (!objects) {
      file_->fail(EINVAL);
      return false;
    }
    for (const auto& o : *objects)
      if (o.guid != asf::kExtendedStreamPropertiesObject)
        inner.insert(inner.end(), ext.begin() + static_cast<std::ptrdiff_t>(o.offset),
                     ext.begin() + static_cast<std::ptrdiff_t>(o.offset + o.size));
  }
  // The leaky bucket holds what the player buffers before it starts: the preroll.
  const std::uint64_t prerollMs = asf::readU64(muxed, props->offset + asf::fileprops::kPreroll);
  std::vector<std::size_t> espAt;  // inside the header extension
  for (std::size_t i = 0; i < streams_.size(); ++i) {
    asf::StreamExtension s = streams_[i];
    s.streamNumber = numbers[i];
    if (s.bufferSize == 0) s.bufferSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(prerollMs, UINT32_MAX));
    espAt.push_back(asf::kHeaderExtensionFixedSize + inner.size());
    const asf::Bytes esp = asf::buildExtendedStreamProperties(s);
    inner.insert(inner.end(), esp.begin(), esp.end());
  }
  const asf::Bytes extension = asf::buildHeaderExtension(inner);

  const asf::Bytes cd = asf::buildContentDescription(content_);
  const asf::Bytes ecd = asf::buildExtendedContent(attributes_);
  asf::Bytes out(header_.begin(), header_.begin() + asf::kHeaderPrefixSize);
  std::uint32_t count = 0;
  std::size_t fileProps = 0, extensionAt = 0;
  auto append = [&](std::span<const std::uint8_t> object) {
    out.insert(out.end(), object.begin(), object.end());
    ++count;
  };
  // The texts go right after the file properties, the header extension where
  // the muxer had it (or after the texts).
  for (const auto& o : parsed->objects) {
    if (o.guid == asf::kContentDescriptionObject || o.guid == asf::kExtendedContentDescriptionObject) continue;
    if (o.guid == asf::kHeaderExtensionObject) {
      extensionAt = out.size();
      append(extension);
      continue;
    }
    if (o.guid == asf::kFilePropertiesObject) fileProps = out.size();
    append(objectBytes(o));
    if (o.guid == asf::kFilePropertiesObject) {
      append(cd);
      append(ecd);
      if (muxedExtension == nullptr) {
        extensionAt = out.size();
        append(extension);
      }
    }
  }
  asf::writeU64(out, 16, out.size());
  asf::writeU32(out, 24, count);
  const std::int64_t shift = static_cast<std::int64_t>(out.size()) - static_cast<std::int64_t>(header_.size());
  if (headerWrites_ > 0 && out.size() != physicalHeaderSize_) {
    // The final header must fit exactly where the first one went.
    file_->fail(EIO);
    return false;
  }
  // The muxer's file size counts its own header; ours may differ in size.
  const std::uint64_t fileSize = asf::readU64(out, fileProps + asf::fileprops::kFileSize);
  if (fileSize != 0)
    asf::writeU64(out, fileProps + asf::fileprops::kFileSize, fileSize + static_cast<std::uint64_t>(shift));
  shift_ = shift;
  filePropsAt_ = fileProps;
  maxObjectSizeAt_.clear();
  for (const std::size_t at : espAt) maxObjectSizeAt_.push_back(extensionAt + at + asf::extstream::kMaxObjectSize);
  packetSize_ = asf::readU32(out, fileProps + asf::fileprops::kMinPacketSize);
  preroll_ = asf::readU64(out, fileProps + asf::fileprops::kPreroll);
  created_ = asf::readU64(out, fileProps + kCreationDate);
  physicalHeaderSize_ = out.size();
  ++headerWrites_;
  return file_->writeAt(0, out.data(), out.size());
}

void AsfFile::setStreams(std::vector<asf::StreamExtension> streams) { streams_ = std::move(streams); }

void AsfFile::mediaObject(std::size_t stream, std::size_t bytes) {
  if (stream >= streams_.size() || bytes <= streams_[stream].maxObjectSize) return;
  streams_[stream].maxObjectSize = static_cast<std::uint32_t>(std::min<std::size_t>(bytes, UINT32_MAX));
  // In the header on disk before the object is: a reader of a killed
  // recording never meets an object larger than the header promised.
  if (headerWrites_ != 1 || stream >= maxObjectSizeAt_.size()) return;
  std::uint8_t size[4];
  asf::writeU32(std::span<std::uint8_t>(size), 0, streams_[stream].maxObjectSize);
  file_->writeAt(maxObjectSizeAt_[stream], size, sizeof size);
}

std::uint64_t AsfFile::completePackets() const {
  const std::uint64_t dataStart = physicalHeaderSize_ + asf::kDataObjectHeaderSize;
  if (packetSize_ == 0 || file_->physicalEnd() < dataStart) return 0;
  return (file_->physicalEnd() - dataStart) / packetSize_;
}

void AsfFile::progress(std::uint64_t duration100ns) {
  if (headerWrites_ != 1 || file_->error() != 0) return;
  const std::uint64_t packets = completePackets();
  const std::uint64_t dataSize = asf::kDataObjectHeaderSize + packets * packetSize_;
  std::uint8_t props[asf::fileprops::kFlags - asf::fileprops::kFileSize]{};
  const std::span<std::uint8_t> p(props);
  asf::writeU64(p, 0, physicalHeaderSize_ + dataSize);
  asf::writeU64(p, 8, created_);  // the creation date as the muxer wrote it
  asf::writeU64(p, asf::fileprops::kPacketCount - asf::fileprops::kFileSize, packets);
  asf::writeU64(p, asf::fileprops::kPlayDuration - asf::fileprops::kFileSize, duration100ns + preroll_ * 10000);
  asf::writeU64(p, asf::fileprops::kSendDuration - asf::fileprops::kFileSize, duration100ns);
  asf::writeU64(p, asf::fileprops::kPreroll - asf::fileprops::kFileSize, preroll_);
  std::uint8_t data[8];
  asf::writeU64(std::span<std::uint8_t>(data), 0, dataSize);
  std::uint8_t count[8];
  asf::writeU64(std::span<std::uint8_t>(count), 0, packets);
  // The data object first, so a reader never sees more packets promised in
  // the file properties than the data object holds.
  if (!file_->writeAt(physicalHeaderSize_ + kDataSize, data, 8)) return;
  if (!file_->writeAt(physicalHeaderSize_ + kDataPacketCount, count, 8)) return;
  file_->writeAt(filePropsAt_ + asf::fileprops::kFileSize, props, sizeof props);
}

void AsfFile::salvage(std::uint64_t duration100ns) {
  if (headerWrites_ != 1) return;
  const int failure = file_->error();
  file_->setError(0);
  progress(duration100ns);
  file_->truncate(physicalHeaderSize_ + asf::kDataObjectHeaderSize + completePackets() * packetSize_);
  file_->setError(failure);
}

bool AsfFile::close() { return file_->close(); }

// --- AsfOutput ---

std::unique_ptr<AsfOutput> AsfOutput::create(rt::Text& error) {
  std::unique_ptr<AsfOutput> out(new AsfOutput);
  out->fmt_ = newMuxer("asf", u"ASF", error);
  if (out->fmt_ == nullptr) return nullptr;
  return out;
}

AsfOutput::~AsfOutput() {
  freeMuxer(fmt_);  // its I/O context is the file's, freed with `file_`
}

bool AsfOutput::addVideo(int width, int height, const VideoSettings& v, AVCodecContext*& venc, AVStream*& vst,
                         rt::Text& error) {
  venc = newEncoder(avcodec_find_encoder(AV_CODEC_ID_WMV2), u"Cannot record: this FFmpeg has no wmv2 video encoder.",
                    error);
  if (venc == nullptr) return false;
  setVideoBasics(venc, width, height, v);
  // Average bit rate only: a strict minimum = maximum rate cannot be met by
  // wmv2 at full HD and makes the rate control stall the encoder.
  venc->bit_rate = v.bitRate;
  venc->thread_count = 1;
  streams_.push_back({.dataBitrate = static_cast<std::uint32_t>(v.bitRate),
                      .flags = asf::StreamExtension::kSeekable,
                      .timePerFrame = static_cast<std::uint64_t>(std::llround(1e7 / v.fps))});
  if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) venc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  return openEncoder(venc, nullptr, u"Cannot record: the wmv2 encoder", error) && newStream(fmt_, venc, vst, error);
}

int AsfOutput::audioLeadIn(const AVCodecContext* audio) const { return 2 * audio->frame_size; }

int AsfOutput::sendStillFrame(AVCodecContext* venc, const AVFrame* frame) {
  // The rate control gives a frame one frame's share of the bit rate, so a
  // detailed still slide's key frame comes out coarse (luma MSE 9 to 110
  // against the screen, worse the lower the profile's rate), and after a
  // large one the frames that should sharpen a change are starved. The
  // quantiser is held low for this frame only: the encoder reads the
  // ceiling at each frame.
  const int ceiling = venc->qmax;
  venc->qmax = std::min(ceiling, frame->pict_type == AV_PICTURE_TYPE_I ? kStillKeyQuantiser : kStillRefineQuantiser);
  const int r = avcodec_send_frame(venc, frame);  // encodes it at once: wmv2 holds no frames back
  venc->qmax = ceiling;
  return r;
}

bool AsfOutput::addAudio(const AudioSettings& a, AVCodecContext*& aenc, AVStream*& ast, rt::Text& error) {
  aenc = newEncoder(avcodec_find_encoder(AV_CODEC_ID_WMAV2), u"Cannot record: this FFmpeg has no wmav2 audio encoder.",
                    error);
  if (aenc == nullptr) return false;
  setAudioBasics(aenc, a);
  if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  streams_.push_back({.dataBitrate = static_cast<std::uint32_t>(a.bitRate), .flags = asf::StreamExtension::kSeekable});
  return openEncoder(aenc, nullptr, u"Cannot record: the wmav2 encoder", error) && newStream(fmt_, aenc, ast, error);
}

bool AsfOutput::open(const rt::Text& path, const Description& description, rt::Text& error) {
  file_ = AsfFile::create(path, error);
  if (!file_) return false;
  file_->setDescription(description.content, description.attributes);
  file_->setStreams(streams_);
  writeThrough(fmt_, file_->io());
  const int r = avformat_write_header(fmt_, nullptr);
  if (r < 0) {
    error = file_->error() != 0
                ? u"Cannot write the output file \"" + path + u"\": " + systemText(file_->error()) + u"."
                : u"Cannot write the output file \"" + path + u"\": " + ffmpegText(r) + u".";
    return false;
  }
  file_->progress(0);
  return true;
}

bool AsfOutput::write(AVPacket* pkt, AVCodecContext* codec, AVStream* stream, std::uint64_t recorded100ns) {
  av_packet_rescale_ts(pkt, codec->time_base, stream->time_base);
  pkt->stream_index = stream->index;
  file_->mediaObject(static_cast<std::size_t>(stream->index), static_cast<std::size_t>(pkt->size));
  if (av_interleaved_write_frame(fmt_, pkt) < 0) {
    file_->salvage(recorded100ns);
    return false;
  }
  // The header follows every write: a reader of a killed recording trusts
  // the header's duration only when its file size is close to the real one.
  // (Three small writes into the first block of the file per packet.)
  file_->progress(recorded100ns);
  return true;
}

bool AsfOutput::finish(std::uint64_t recorded100ns) {
  if (av_write_trailer(fmt_) < 0) {
    file_->salvage(recorded100ns);
    file_->close();
    return false;
  }
  return file_->close();
}

void AsfOutput::abandon() {
  if (file_) file_->close();
}

}  // namespace encoder::engine
