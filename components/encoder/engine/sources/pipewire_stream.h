// Reading one PipeWire video stream (libpipewire-0.3) on a connection the
// ScreenCast portal opened: BGRx/BGRA/RGBx/RGBA frames in shared memory,
// each with the regions that changed (VideoDamage) and possibly the part of
// the buffer that holds the picture (VideoCrop).
//
// Frames arrive on PipeWire's own thread and only when something changed.
// The newest picture is copied out of the recycled buffer there, into a
// mirror we own, under a lock; the rows that changed pile up until the
// reader takes them.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "runtime/text.h"

struct pw_thread_loop;

namespace encoder::engine::pipewire {

// A band of rows [top, bottom) that changed.
struct Band {
  int top = 0, bottom = 0;
};

// What the reader sees of the picture, while the lock is held.
struct Mirror {
  const std::uint8_t* pixels = nullptr;  // BGRA (libyuv's ARGB), `stride` bytes a row
  int stride = 0;
  int width = 0, height = 0;  // the buffer's picture size
  // The part of the buffer that is the screen (VideoCrop; the whole buffer without it).
  int cropX = 0, cropY = 0, cropWidth = 0, cropHeight = 0;
  bool any = false;  // a frame has arrived at all
  // When the compositor captured the newest frame (its buffer's time stamp,
  // on the monotonic clock); 0 when it gave none.
  std::int64_t capturedNs = 0;
};

class Stream {
 public:
  // Connects to PipeWire through `fd` (taken over, closed on failure too)
  // and to the node `node`, asking for up to `framesPerSecond` frames a
  // second, then waits until the stream has agreed on a format, at most
  // `deadline`. nullptr with `error` set when it cannot.
  static std::unique_ptr<Stream> open(int fd, std::uint32_t node, int framesPerSecond,
                                      std::chrono::milliseconds deadline, rt::Text& error);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // The size of the first agreed format (the picture part of it).
  int width() const { return firstWidth_; }
  int height() const { return firstHeight_; }

  // Hands the picture and the rows that changed since the last call (buffer
  // coordinates; none when nothing changed) to `use`, under the lock, and
  // forgets those rows. False, with `why` set, once the stream is lost.
  template <class F>
  bool take(F&& use, rt::Text& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lost_) {
      why = lostWhy_;
      return false;
    }
    use(static_cast<const Mirror&>(mirror_), static_cast<const std::vector<Band>&>(bands_));
    bands_.clear();
    return true;
  }

  // Hands the picture to `use` under the lock without taking its changed
  // rows. False, with `why` set, once the stream is lost.
  template <class F>
  bool peek(F&& use, rt::Text& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lost_) {
      why = lostWhy_;
      return false;
    }
    use(static_cast<const Mirror&>(mirror_));
    return true;
  }

  struct Impl;

 private:
  Stream() = default;

  pw_thread_loop* loop_ = nullptr;
  std::unique_ptr<Impl> impl_;
  int firstWidth_ = 0, firstHeight_ = 0;

  // Shared with PipeWire's thread.
  std::mutex mutex_;
  Mirror mirror_;
  std::vector<std::uint8_t> pixels_;
  std::vector<Band> bands_;
  bool lost_ = false;
  rt::Text lostWhy_;
};

// Adds [top, bottom) to `bands`, merging overlapping and touching bands and
// keeping them sorted; many scattered bands fold into fewer.
void addBand(std::vector<Band>& bands, int top, int bottom);

}  // namespace encoder::engine::pipewire
