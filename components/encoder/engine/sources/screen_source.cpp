#include "components/encoder/engine/sources/screen_source.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

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
