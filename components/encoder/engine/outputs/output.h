// The container a recording writes, behind one interface: ASF (wmv2 +
// wmav2, asf_output.*) for every name but one ending in ".mp4", which gets
// an MP4 (H.264 + AAC, mp4_output.*). createOutput() chooses by the name;
// the recording loop drives whichever it gets and never knows which.
//
// What differs per container sits here: the encoders and their settings,
// the muxer, how the descriptive texts are stored, how a killed recording
// stays playable, and how the file is finished. Capture, timing, the frame
// pool, the queues and the audio conversion are the recording's.
//
// Order of calls: addVideo() and/or addAudio(), then open() (creates the
// file and writes its header), write() for every packet, then finish() (or
// abandon() after a failed write). write(), finish() and abandon() are
// called under the recording's muxer lock, never concurrently.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "components/encoder/engine/asf_header.h"
#include "components/encoder/engine/profiles.h"
#include "runtime/text.h"

struct AVCodec;
struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct AVStream;

namespace encoder::engine {

// What the file says about itself: the five texts and the named attributes.
struct Description {
  asf::ContentDescription content;
  std::vector<asf::Attribute> attributes;
};

class Output {
 public:
  virtual ~Output() = default;
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // What the container is, for figures and tests ("ASF", "MP4").
  virtual const char* kind() const = 0;

  // Creates and opens the video encoder for yuv420p pictures of this size on
  // the 1/fps grid (frame->pts counts grid slots; slots may be skipped, and
  // frame->pict_type == AV_PICTURE_TYPE_I asks for a key frame), and the
  // stream that carries it. The recording owns `codec` (frees it) and feeds
  // it; the output owns the stream. False with `error` set, in words for
  // the user, when the encoder is missing or refuses the settings.
  virtual bool addVideo(int width, int height, const VideoSettings& v, AVCodecContext*& codec,
                        AVStream*& stream, rt::Text& error) = 0;
  // The same for the audio: an encoder taking planar float samples
  // (AV_SAMPLE_FMT_FLTP) at the settings' rate and channels.
  virtual bool addAudio(const AudioSettings& a, AVCodecContext*& codec, AVStream*& stream, rt::Text& error) = 0;

  // Output samples of silence the sound must start with, before the
  // recording's first: an encoder whose decoders present their first frames
  // badly (wmav2: nothing, then a fade) gets them in silence, so the sound
  // from the start on is whole. Its time lies before the recording's start.
  virtual int audioLeadIn(const AVCodecContext* audio) const = 0;

  // Creates (or truncates) `path` as a plain local file, never through a
  // protocol, and writes the header with the description. False with `error`
  // naming the path and the reason.
  virtual bool open(const rt::Text& path, const Description& description, rt::Text& error) = 0;

  // Writes one packet of `stream` (time stamps in `codec`'s time base).
  // `recorded100ns` is how much the recording holds so far. False when the
  // file cannot be written: the file then keeps what reached the disk as a
  // playable recording, and error() says why.
  virtual bool write(AVPacket* pkt, AVCodecContext* codec, AVStream* stream, std::uint64_t recorded100ns) = 0;

  // After the last packet: completes the file and closes it. False (error()
  // set) when it cannot be completed; the file keeps what reached the disk.
  virtual bool finish(std::uint64_t recorded100ns) = 0;

  // After a failed write: closes the file as it is.
  virtual void abandon() = 0;

  // The errno of the first failed write, 0 when none (or the muxer failed
  // for a reason of its own).
  virtual int error() const = 0;

  // Whether this output encodes a picture that stands still finely
  // (sendStillFrame), and may write such a key frame again, as it is and
  // with new time stamps, for the key frames that follow while the screen
  // stands still (the encoder must not have encoded anything since, so that
  // its next frame refers to the same picture as the player's).
  virtual bool encodesStillPicturesFinely() const { return false; }
  // Sends `frame`, a picture that stands still (a frame that sharpens a
  // change, or a still screen's key frame), to the video encoder `codec`:
  // players show it for as long as the screen stands still. FFmpeg's result.
  virtual int sendStillFrame(AVCodecContext* codec, const AVFrame* frame);
};

// True when `path` names an MP4: it ends in ".mp4", in any letter case.
bool isMp4Name(const rt::Text& path);

// The output for `path`: MP4 for an .mp4 name, ASF for every other.
// Nothing is created on disk yet. nullptr with `error` set when this FFmpeg
// lacks the container's muxer.
std::unique_ptr<Output> createOutput(const rt::Text& path, rt::Text& error);

// Shared by the outputs: FFmpeg's text for an error code.
rt::Text ffmpegText(int err);

// The steps every output takes to set up its muxer, encoders and streams;
// the codecs, their own settings and the words of most messages are each
// output's.

// The muxer for `format` ("asf", "mp4"); nullptr with `error` set ("this
// FFmpeg has no <shown> muxer") when FFmpeg lacks it.
AVFormatContext* newMuxer(const char* format, const rt::Text& shown, rt::Text& error);
// Frees a muxer (nullptr too) whose I/O context is the output's, not FFmpeg's.
void freeMuxer(AVFormatContext* fmt);
// Has `fmt` write through the output's `io`, pass every packet on at once,
// and wait at most half a second for a packet of the other stream before
// writing what it has, so a silent or stalled input cannot hold back data.
void writeThrough(AVFormatContext* fmt, AVIOContext* io);

// An encoder context for `codec`; nullptr with `error` = `missing` when
// `codec` is nullptr (this FFmpeg lacks the encoder) or memory is out.
AVCodecContext* newEncoder(const AVCodec* codec, const rt::Text& missing, rt::Text& error);
// What every video encoder gets: the size, yuv420p, the 1/fps grid and its
// frame rate, no B-frames, and the key frame interval. Key frames are forced
// by time in the capture loop (a still screen sends no frames, so a count of
// frames says nothing about time); the encoder's own interval only bounds a
// run of frames that all changed.
void setVideoBasics(AVCodecContext* c, int width, int height, const VideoSettings& v);
// What every audio encoder gets: planar float samples at the settings' rate
// and channels (their default layout), the bit rate, a 1/rate time base.
void setAudioBasics(AVCodecContext* c, const AudioSettings& a);
// Opens `c` with `options` (may be nullptr); false with `error` =
// "<who> refused the settings (<FFmpeg's words>)." when it refuses.
bool openEncoder(AVCodecContext* c, AVDictionary** options, const rt::Text& who, rt::Text& error);
// A new stream of `fmt` carrying what the opened `c` encodes, on its time
// base (a video stream also at its frame rate); false with `error` set when
// memory is out.
bool newStream(AVFormatContext* fmt, const AVCodecContext* c, AVStream*& stream, rt::Text& error);

}  // namespace encoder::engine
