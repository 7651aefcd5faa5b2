#include "components/encoder/engine/sources/portal_source.h"

#include <string>
#include <thread>
#include <vector>

#include <libyuv.h>

#include "components/encoder/engine/sources/pipewire_stream.h"

namespace encoder::engine {

namespace {

rt::Text number(long v) { return rt::fromUtf8(std::to_string(v)); }

using Clock = std::chrono::steady_clock;
// How often update() looks at the bus for the portal closing the session.
constexpr auto kBusCheckInterval = std::chrono::milliseconds(250);
// How long Start waits for the stream's first picture; a compositor sends it
// at once, and a recording that starts without it begins black.
constexpr auto kFirstFrameWait = std::chrono::milliseconds(2000);

class PortalSource final : public ScreenSource {
 public:
  PortalSource(std::unique_ptr<portal::ScreenCast> cast, std::unique_ptr<pipewire::Stream> stream, const Crop& crop,
               int width, int height)
      : cast_(std::move(cast)), stream_(std::move(stream)), crop_(crop), width_(width), height_(height) {}

  int width() const override { return width_; }
  int height() const override { return height_; }
  const char* kind() const override { return "ScreenCast portal"; }

  Update update(Picture& canvas, rt::Text& error) override {
    rt::Text why;
    const auto now = Clock::now();
    if (now - lastBusCheck_ >= kBusCheckInterval) {
      lastBusCheck_ = now;
      if (!cast_->stillOpen(why)) {
        error = u"The screen recording stopped: " + why + u".";
        return Update::Failed;
      }
    }
    Update result = Update::Unchanged;
    const bool open = stream_->take(
        [&](const pipewire::Mirror& m, const std::vector<pipewire::Band>& bands) {
          result = draw(m, bands, canvas);
          if (result == Update::Changed)
            shownAt_ = m.capturedNs > 0 ? std::optional(Clock::time_point(std::chrono::nanoseconds(m.capturedNs)))
                                        : std::nullopt;
        },
        why);
    if (!open) {
      error = u"The screen recording stopped: " + why + u".";
      return Update::Failed;
    }
    return result;
  }

  // The compositor stamps each frame with the moment it captured the screen
  // (PipeWire's buffer header, on the monotonic clock); the frame reaches
  // us a little later, and is looked at on the recording's next slot.
  std::optional<Clock::time_point> shownAt() const override { return shownAt_; }

 private:
  void black(Picture& c) const {
    libyuv::I420Rect(c.plane[0], c.stride[0], c.plane[1], c.stride[1], c.plane[2], c.stride[2], 0, 0, width_, height_,
                     16, 128, 128);
  }

  void convert(const std::uint8_t* src, int stride, Picture& c, int top, int rows) const {
    libyuv::ARGBToI420(src, stride, c.plane[0] + static_cast<std::ptrdiff_t>(top) * c.stride[0], c.stride[0],
                       c.plane[1] + static_cast<std::ptrdiff_t>(top / 2) * c.stride[1], c.stride[1],
                       c.plane[2] + static_cast<std::ptrdiff_t>(top / 2) * c.stride[2], c.stride[2], width_, rows);
  }

  Update draw(const pipewire::Mirror& m, const std::vector<pipewire::Band>& bands, Picture& canvas) {
    const bool first = !filled_;
    rewritten_.assign(1, RowBand{0, height_});  // unless only some bands are converted (below)
    filled_ = true;
    if (!m.any) {
      if (!first) return Update::Unchanged;
      black(canvas);  // nothing has arrived yet: the whole canvas still gets a picture
      return Update::Changed;
    }
    if (!first && bands.empty()) return Update::Unchanged;
    // The visible part: the screen within the buffer, less the margins.
    const int vx = m.cropX + crop_.left, vy = m.cropY + crop_.top;
    const int vw = m.cropWidth - crop_.left - crop_.right, vh = m.cropHeight - crop_.top - crop_.bottom;
    if (vw < 2 || vh < 2) {
      black(canvas);  // the screen shrank below the margins
      return Update::Changed;
    }
    const std::uint8_t* src = m.pixels + static_cast<std::ptrdiff_t>(vy) * m.stride + static_cast<std::ptrdiff_t>(vx) * 4;
    if ((vw & ~1) != width_ || (vh & ~1) != height_) {
      // The screen changed size (the stream was renegotiated): every picture
      // is drawn whole into the recording's frame, black around it.
      drawPlaced(src, m.stride, vw & ~1, vh & ~1, placeInFrame(width_, height_, vw, vh), canvas, scaled_);
      return Update::Changed;
    }
    if (first) {
      convert(src, m.stride, canvas, 0, height_);
      return Update::Changed;
    }
    // Only the bands that changed, widened to whole chroma rows.
    std::vector<RowBand> rows;
    for (const auto& b : bands) rows.push_back({b.top - vy, b.bottom - vy});
    rewritten_ = mergeBands(std::move(rows), height_, 0);
    for (const auto& b : rewritten_)
      convert(src + static_cast<std::ptrdiff_t>(b.top) * m.stride, m.stride, canvas, b.top, b.bottom - b.top);
    return rewritten_.empty() ? Update::Unchanged : Update::Changed;
  }

  // Declared in this order so the stream goes before the portal session.
  std::unique_ptr<portal::ScreenCast> cast_;
  std::unique_ptr<pipewire::Stream> stream_;
  Crop crop_;
  int width_, height_;
  bool filled_ = false;
  Clock::time_point lastBusCheck_{};
  std::optional<Clock::time_point> shownAt_;  // of the picture the last update() wrote
  std::vector<std::uint8_t> scaled_;
};

}  // namespace

std::unique_ptr<ScreenSource> openPortalSource(const Crop& crop, const PortalOptions& options, rt::Text& error) {
  if (crop.bottom < 0 || crop.top < 0 || crop.left < 0 || crop.right < 0) {
    error = u"Cannot record the screen: the cropping margins (bottom " + number(crop.bottom) + u", top " +
            number(crop.top) + u", left " + number(crop.left) + u", right " + number(crop.right) +
            u") must not be negative.";
    return nullptr;
  }
  auto cast = portal::ScreenCast::start(options.deadlines, error);
  if (!cast) return nullptr;
  auto stream = pipewire::Stream::open(cast->takePipeWireFd(), cast->nodeId(), options.framesPerSecond,
                                       options.streamDeadline, error);
  if (!stream) return nullptr;
  int w = 0, h = 0;
  if (!croppedSize(crop, stream->width(), stream->height(), w, h, error)) return nullptr;
  // The compositor sends the first picture as soon as the stream runs: wait
  // for it (briefly), so a recording does not begin with a black frame. The
  // rows it reports stay pending for the first update().
  const auto firstDeadline = Clock::now() + kFirstFrameWait;
  for (bool any = false; !any && Clock::now() < firstDeadline;) {
    rt::Text why;
    if (!stream->peek([&](const pipewire::Mirror& m) { any = m.any; }, why)) {
      error = u"Cannot record the screen: " + why + u".";
      return nullptr;
    }
    if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::make_unique<PortalSource>(std::move(cast), std::move(stream), crop, w, h);
}

}  // namespace encoder::engine
