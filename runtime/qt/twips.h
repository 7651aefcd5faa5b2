// Twips, the unit of every position and size in the windows' layouts:
// 1/1440 inch, so 15 twips make one pixel at 96 dpi. Each window keeps its
// layout in twips in one table and converts it here, to Qt's device-
// independent pixels, which Qt maps to the screen's own through its device
// pixel ratio (a 2x screen shows the same layout at twice the pixels).
#pragma once

#include <QRect>

namespace rt {

struct Twips {
  int left, top, width, height;
};

inline constexpr int kTwipsPerPixel = 15;

// Rounded to the nearest pixel.
constexpr int pixels(int twips) { return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel; }

inline QRect pixels(const Twips& t) {
  return {pixels(t.left), pixels(t.top), pixels(t.width), pixels(t.height)};
}

}  // namespace rt
