#include "components/encoder/engine/sources/screen_source.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include <libyuv.h>

#include "components/encoder/engine/sources/portal_source.h"
#include "components/encoder/engine/sources/x11_source.h"

namespace encoder::engine {

namespace {
rt::Text number(long v) { return rt::fromUtf8(std::to_string(v)); }
}  // namespace

std::vector<RowBand> mergeBands(std::vector<RowBand> bands, int height, int gap) {
  for (auto& b : bands) {
    b.top = std::clamp(b.top & ~1, 0, height);
    b.bottom = std::clamp((b.bottom + 1) & ~1, 0, height);
  }
  std::erase_if(bands, [](const RowBand& b) { return b.bottom <= b.top; });
  std::sort(bands.begin(), bands.end(), [](const RowBand& a, const RowBand& b) { return a.top < b.top; });
  std::vector<RowBand> merged;
  for (const auto& b : bands) {
    if (!merged.empty() && b.top <= merged.back().bottom + gap)
      merged.back().bottom = std::max(merged.back().bottom, b.bottom);
    else
      merged.push_back(b);
  }
  return merged;
}

bool croppedSize(const Crop& crop, int screenWidth, int screenHeight, int& width, int& height, rt::Text& error) {
  const int sw = screenWidth, sh = screenHeight;
  const long w = long{sw} - crop.left - crop.right, h = long{sh} - crop.top - crop.bottom;
  if (w < 16 || h < 16) {
    error = u"Cannot record the screen: the cropping margins (bottom " + number(crop.bottom) + u", top " +
            number(crop.top) + u", left " + number(crop.left) + u", right " + number(crop.right) +
            u") leave less than 16 x 16 pixels of the " + number(sw) + u" x " + number(sh) + u" screen.";
    return false;
  }
  width = static_cast<int>(w & ~1L);
  height = static_cast<int>(h & ~1L);
  return true;
}

Placement placeInFrame(int frameWidth, int frameHeight, int screenWidth, int screenHeight) {
  if (frameWidth < 2 || frameHeight < 2 || screenWidth < 2 || screenHeight < 2) return {};
  if (screenWidth <= frameWidth && screenHeight <= frameHeight) {
    const int w = screenWidth & ~1, h = screenHeight & ~1;
    return {((frameWidth - w) / 2) & ~1, ((frameHeight - h) / 2) & ~1, w, h};
  }
  // Scaled down by the tighter of the two ratios: the other side gets bars.
  const double scale = std::min(static_cast<double>(frameWidth) / screenWidth,
                                static_cast<double>(frameHeight) / screenHeight);
  const int w = std::clamp(static_cast<int>(std::lround(screenWidth * scale)) & ~1, 2, frameWidth & ~1);
  const int h = std::clamp(static_cast<int>(std::lround(screenHeight * scale)) & ~1, 2, frameHeight & ~1);
  return {((frameWidth - w) / 2) & ~1, ((frameHeight - h) / 2) & ~1, w, h};
}

void drawPlaced(const std::uint8_t* argb, int stride, int width, int height, const Placement& place, Picture& canvas,
                std::vector<std::uint8_t>& scratch) {
  auto black = [&](int x, int y, int w, int h) {
    if (w > 0 && h > 0)
      libyuv::I420Rect(canvas.plane[0], canvas.stride[0], canvas.plane[1], canvas.stride[1], canvas.plane[2],
                       canvas.stride[2], x, y, w, h, 16, 128, 128);
  };
  const Placement& p = place;
  black(0, 0, canvas.width, p.y);
  black(0, p.y + p.height, canvas.width, canvas.height - p.y - p.height);
  black(0, p.y, p.x, p.height);
  black(p.x + p.width, p.y, canvas.width - p.x - p.width, p.height);
  if (p.width <= 0 || p.height <= 0) return;
  if (p.width != width || p.height != height) {
    scratch.resize(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) * 4);
    libyuv::ARGBScale(argb, stride, width, height, scratch.data(), p.width * 4, p.width, p.height,
                      libyuv::kFilterBilinear);
    argb = scratch.data();
    stride = p.width * 4;
  }
  libyuv::ARGBToI420(argb, stride, canvas.plane[0] + static_cast<std::ptrdiff_t>(p.y) * canvas.stride[0] + p.x,
                     canvas.stride[0], canvas.plane[1] + static_cast<std::ptrdiff_t>(p.y / 2) * canvas.stride[1] + p.x / 2,
                     canvas.stride[1], canvas.plane[2] + static_cast<std::ptrdiff_t>(p.y / 2) * canvas.stride[2] + p.x / 2,
                     canvas.stride[2], p.width, p.height);
}

ScreenKind chooseScreenKind(const char* waylandDisplay, const char* sessionType, bool xIsXwayland) {
  const bool waylandSession = (waylandDisplay != nullptr && *waylandDisplay != '\0') ||
                              (sessionType != nullptr && std::strcmp(sessionType, "wayland") == 0);
  return waylandSession || xIsXwayland ? ScreenKind::Portal : ScreenKind::X11;
}

std::unique_ptr<ScreenSource> openScreenSource(const Crop& crop, int framesPerSecond, rt::Text& error) {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* session = std::getenv("XDG_SESSION_TYPE");
  // The X display is asked only when the environment does not already say
  // Wayland: an Xwayland root window reads back black, so it must not be
  // recorded as if it were the screen.
  const bool waylandByEnv = chooseScreenKind(wayland, session, false) == ScreenKind::Portal;
  if (chooseScreenKind(wayland, session, !waylandByEnv && xDisplayIsXwayland()) == ScreenKind::X11)
    return X11Source::open(crop, error);
  PortalOptions options;
  options.framesPerSecond = 2 * framesPerSecond;
  return openPortalSource(crop, options, error);
}

}  // namespace encoder::engine
