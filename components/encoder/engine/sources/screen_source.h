// The screen input of a recording, behind one interface: the X11 reader on an
// X session, the ScreenCast portal with a PipeWire stream on a Wayland session
// (or an Xwayland display, whose root window reads back black). The recording
// loop drives whichever openScreenSource() chose and never knows which.
//
// Sources are change-driven: a slot in which nothing changed on screen costs
// nothing but the question, and only the changed parts of the picture are
// read and converted.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "runtime/text.h"

namespace encoder::engine {

// Margins cut off the screen's edges, in pixels.
struct Crop {
  std::int32_t bottom = 0, top = 0, left = 0, right = 0;
};

// The size of the recording's pictures for a screen of `screenWidth` x
// `screenHeight` less the margins, rounded down to even numbers (4:2:0 needs
// them); false with `error` set when less than 16 x 16 pixels remain.
bool croppedSize(const Crop& crop, int screenWidth, int screenHeight, int& width, int& height, rt::Text& error);

// A band of whole rows [top, bottom) of the picture.
struct RowBand {
  int top = 0, bottom = 0;
  friend bool operator==(const RowBand&, const RowBand&) = default;
};

// Merges row bands into disjoint, sorted bands of even bounds (4:2:0 chroma
// rows cover two picture rows) inside [0, height). Bands closer than `gap`
// rows become one (for a reader, one larger read costs less than two).
std::vector<RowBand> mergeBands(std::vector<RowBand> bands, int height, int gap);

// A picture in the recording's format: 4:2:0 planes (Y, U, V) of the
// recording's fixed size. The recording owns the memory.
struct Picture {
  std::uint8_t* plane[3] = {};
  int stride[3] = {};
  int width = 0, height = 0;
};

// Where a screen of `screenWidth` x `screenHeight` goes in a recording's
// frame of `frameWidth` x `frameHeight`, whose size is fixed for the whole
// recording: the same size fills the frame; a smaller screen (a projector
// mirrored at its size) stands 1:1 in the middle, sharp, with black around
// it; a larger one (a monitor added to the desktop) is scaled down to fit,
// its aspect kept. Position and size are even (4:2:0 chroma covers 2 x 2
// pixels); an empty screen gets an empty placement.
struct Placement {
  int x = 0, y = 0, width = 0, height = 0;
  friend bool operator==(const Placement&, const Placement&) = default;
};
Placement placeInFrame(int frameWidth, int frameHeight, int screenWidth, int screenHeight);

// Draws a BGRA picture (libyuv's ARGB) of `width` x `height` into the canvas
// at `place`, scaling it when the sizes differ, and paints the rest of the
// canvas black. `scratch` holds the scaled picture between calls.
void drawPlaced(const std::uint8_t* argb, int stride, int width, int height, const Placement& place, Picture& canvas,
                std::vector<std::uint8_t>& scratch);

class ScreenSource {
 public:
  enum class Update { Unchanged, Changed, Failed };

  virtual ~ScreenSource() = default;

  // The size of the recording's pictures, fixed for the whole recording: the
  // screen less the margins at the start, rounded down to even numbers (4:2:0
  // needs them). A screen that takes another size later is drawn into it
  // (placeInFrame).
  virtual int width() const = 0;
  virtual int height() const = 0;

  // Brings `canvas` up to date with the screen as it is now, pointer
  // included. The recording passes the same canvas every time, so a source
  // rewrites only what changed since its last call; the first call fills
  // all of it and returns Changed. Unchanged: nothing changed and nothing
  // was written. Failed, with `error` saying why in words for the user: the
  // screen is lost and the recording ends with what it has.
  // Returns within a fraction of a frame's time: it never waits for a change.
  virtual Update update(Picture& canvas, rt::Text& error) = 0;

  // After an update() that returned Changed: the rows of the canvas it
  // rewrote, sorted, disjoint and of even bounds.
  const std::vector<RowBand>& rewritten() const { return rewritten_; }

  // When the screen showed the picture the last update() wrote, where the
  // source knows it better than the moment update() was called: a
  // compositor's capture time, some way ahead of the frame's delivery.
  // nullopt: at the moment of the update.
  virtual std::optional<std::chrono::steady_clock::time_point> shownAt() const { return std::nullopt; }

  // Makes an update() that is waiting for the screen return at once, and
  // every later one: a stop never waits for a screen that stopped answering.
  // Called from another thread.
  virtual void interrupt() {}

  // What the source is, for figures and messages ("X11", "ScreenCast portal").
  virtual const char* kind() const = 0;

  ScreenSource() = default;
  ScreenSource(const ScreenSource&) = delete;
  ScreenSource& operator=(const ScreenSource&) = delete;

 protected:
  std::vector<RowBand> rewritten_;
};

// Which source a session needs.
enum class ScreenKind { X11, Portal };

// The choice, from the session's environment and whether the X display (if
// any) is Xwayland: a Wayland session, or an Xwayland display, takes the
// portal; a plain X display takes the X11 reader.
ScreenKind chooseScreenKind(const char* waylandDisplay, const char* sessionType, bool xIsXwayland);

// Opens the source this session needs for the cropped screen, for a
// recording of `framesPerSecond` (the portal is asked to capture twice as
// often). On the portal this may wait (with a deadline) for the user to
// allow the recording.
// nullptr with `error` set, in words for the user, when it cannot.
std::unique_ptr<ScreenSource> openScreenSource(const Crop& crop, int framesPerSecond, rt::Text& error);

}  // namespace encoder::engine
