// The screen input: the whole screen of the current X display, read with XCB
// through MIT-SHM (plain GetImage when the server cannot share memory with
// us, e.g. over the network), with the mouse pointer drawn in from XFixes.
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/text.h"

struct xcb_connection_t;

namespace encoder::engine {

struct Crop {
  std::int32_t bottom = 0, top = 0, left = 0, right = 0;
};

class ScreenCapture {
 public:
  // Connects to the display and prepares reads of the cropped area. Fails
  // with a text that says why: no display, an unsupported pixel format,
  // margins that leave no picture.
  static std::unique_ptr<ScreenCapture> open(const Crop& crop, rt::Text& error);
  ~ScreenCapture();
  ScreenCapture(const ScreenCapture&) = delete;
  ScreenCapture& operator=(const ScreenCapture&) = delete;

  // The size of the captured picture: the screen less the margins, rounded
  // down to even numbers (4:2:0 video needs them).
  int width() const { return width_; }
  int height() const { return height_; }
  bool usesSharedMemory() const { return shmAddr_ != nullptr; }

  // Reads the picture with the pointer drawn in. `data` (BGRA, `stride`
  // bytes a row) stays valid until the next grab. False with `error` set
  // when the display has gone.
  bool grab(const std::uint8_t*& data, int& stride, rt::Text& error);

 private:
  ScreenCapture() = default;

  xcb_connection_t* conn_ = nullptr;
  std::uint32_t root_ = 0;
  int x_ = 0, y_ = 0, width_ = 0, height_ = 0;
  bool cursor_ = false;
  std::uint32_t shmSeg_ = 0;
  std::uint8_t* shmAddr_ = nullptr;
  void* lastReply_ = nullptr;  // the GetImage reply whose data was handed out
};

}  // namespace encoder::engine
