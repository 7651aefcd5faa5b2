// The X11 screen source: the screen of the current X display, read with XCB
// through MIT-SHM (plain GetImage when the server cannot share memory with
// us, e.g. over the network), with the pointer drawn in from XFixes.
//
// XDamage says which parts of the screen changed since the last look, and
// XFixes cursor events and the pointer's position say when the pointer did:
// only the rows that changed are read and converted, and a still screen is
// not read at all.
//
// RandR says when the screen takes another size (a projector plugged in, a
// monitor added): the reads, the shared memory and the change tracking are
// set up anew for it, and its pictures are drawn into the recording's frame,
// which keeps its size (placeInFrame).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "components/encoder/engine/sources/screen_source.h"

struct xcb_connection_t;

namespace encoder::engine {

// A 64-bit fingerprint of a row of pixels: equal rows, equal fingerprints;
// a changed row changes it (all but certainly).
std::uint64_t hashRow(const std::uint8_t* row, std::size_t bytes);

// The picture's columns in at most 64 tiles (each row's damage is a 64-bit
// mask of them): tiles at least 128 pixels wide, a multiple of 16.
int tileWidthFor(int width);
// The mask of the tiles columns [x0, x1) touch, for tiles of `tileWidth`.
std::uint64_t tilesOf(int x0, int x1, int tileWidth);

// True when the display at DISPLAY is Xwayland, whose root window reads
// back black: its RandR outputs are named "XWAYLAND…". False when there is
// no display or it cannot tell.
bool xDisplayIsXwayland();

class X11Source final : public ScreenSource {
 public:
  // Connects to the display and prepares reads of the cropped area. Fails
  // with a text that says why: no display, an unsupported pixel format,
  // margins that leave no picture.
  static std::unique_ptr<X11Source> open(const Crop& crop, rt::Text& error);
  ~X11Source() override;

  int width() const override { return width_; }
  int height() const override { return height_; }
  Update update(Picture& canvas, rt::Text& error) override;
  // A read waiting for the X server returns at once; one that had waited
  // long already reports the server as stalled.
  void interrupt() override;
  const char* kind() const override { return "X11"; }

  bool usesSharedMemory() const { return shmAddr_ != nullptr; }
  bool tracksChanges() const { return damage_ != 0; }

 private:
  X11Source() = default;
  struct Cursor {
    int x = 0, y = 0, width = 0, height = 0;  // top-left in picture coordinates
    int hotX = 0, hotY = 0;                    // the pointer's position within the image
    std::vector<std::uint32_t> argb;           // premultiplied
    bool intersects(const RowBand& b) const { return !argb.empty() && y < b.bottom && y + height > b.top; }
  };

  // How the last wait for a reply ended.
  enum class Outcome { Answered, Refused, Lost, Stalled, Interrupted };

  // Sets the reads up for a screen of this size: the margins' area of it,
  // its place in the frame, shared memory and change tracking for its size.
  void resize(int screenWidth, int screenHeight);
  // After a refused read: whether the screen has taken another size
  // meanwhile (it is then set up for it).
  bool screenResized();
  bool attachSharedMemory(std::size_t bytes);
  void detachSharedMemory();
  bool readBand(const RowBand& band);
  // Draws the pointer over BGRX rows [top, bottom) of the screen, held at
  // `rows` (the first of them) with the screen's stride.
  void drawPointer(std::uint8_t* rows, int top, int bottom) const;
  void convertBand(const RowBand& band, Picture& canvas);
  // The whole screen, pointer included, into its place in the frame, and
  // black around it.
  void drawWhole(Picture& canvas);
  // The rows of the bands just read whose pixels differ from last time:
  // only the damaged tiles of each row are fingerprinted and compared.
  std::vector<RowBand> changedRows(const std::vector<RowBand>& read);
  // Waits for the reply to a request (nullptr: see outcome_) until it comes,
  // the connection breaks, interrupt() is called, or the server has not
  // answered for so long that it counts as stalled.
  void* awaitReply(unsigned int sequence);
  Update unanswered(rt::Text& error);
  bool gaveUp() const {
    return outcome_ == Outcome::Lost || outcome_ == Outcome::Stalled || outcome_ == Outcome::Interrupted;
  }  // Failed with the reason, or Unchanged after a stop

  xcb_connection_t* conn_ = nullptr;
  int wake_ = -1;  // eventfd written by interrupt()
  Outcome outcome_ = Outcome::Answered;
  std::uint32_t root_ = 0;
  Crop crop_;
  int x_ = 0, y_ = 0;            // the margins' top-left corner on the screen
  int width_ = 0, height_ = 0;   // the recording's frame
  int screenWidth_ = 0, screenHeight_ = 0;  // the screen's size as last set up
  // The part of the screen read: the screen less the margins, even; 0 x 0
  // when the margins leave less than 16 x 16 pixels of it.
  int srcWidth_ = 0, srcHeight_ = 0;
  Placement place_;          // where that part goes in the frame
  bool redrawAll_ = true;    // the next update draws the whole frame (the first, or a new size)
  std::uint8_t randrEvent_ = 0;  // RandR's first event code; 0 without RandR
  bool shmAvailable_ = false;
  std::uint32_t shmSeg_ = 0;
  std::uint8_t* shmAddr_ = nullptr;
  std::vector<std::uint8_t> pixels_;  // the picture without the pointer, when there is no SHM
  std::uint8_t* picture_ = nullptr;   // shmAddr_ or pixels_: BGRX rows of srcWidth_ * 4 bytes
  std::uint32_t damage_ = 0;          // 0: no XDamage, every update reads everything
  std::uint32_t region_ = 0;
  bool cursorEvents_ = false;  // XFixes tells us when the pointer's image changes
  bool cursorImageStale_ = true;
  bool first_ = true;
  Cursor cursor_;               // as drawn into the canvas last time
  std::vector<std::uint8_t> scratch_;  // a band with the pointer drawn in
  std::vector<std::uint8_t> scaled_;   // the screen scaled to its place in the frame
  int tileWidth_ = 0, tiles_ = 0;
  std::vector<std::uint64_t> damagedTiles_;  // per row: the tiles damaged since the last look
  std::vector<std::uint64_t> tileHash_;      // per row and tile: its fingerprint as last converted
};

}  // namespace encoder::engine
