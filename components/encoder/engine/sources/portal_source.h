// The screen of a Wayland session (or an Xwayland display) through the
// desktop's ScreenCast portal and the PipeWire stream it grants.
#pragma once

#include <chrono>
#include <memory>

#include "components/encoder/engine/sources/screen_source.h"
#include "components/encoder/engine/sources/screencast_portal.h"
#include "runtime/text.h"

namespace encoder::engine {

struct PortalOptions {
  portal::Deadlines deadlines;
  // From the portal's grant until PipeWire has agreed on a picture format.
  std::chrono::milliseconds streamDeadline{10000};
  // How often the compositor is asked to capture the screen: a picture's
  // time is when it was captured, so twice the recording's rate knows a
  // change within half a frame.
  int framesPerSecond = 60;
};

// Asks the portal for one monitor (the user may be asked once; the choice is
// remembered), connects to its stream and waits for the picture's size,
// which fixes the recording's size. nullptr with `error` set, in words for
// the user, when it cannot; nothing is left open then.
std::unique_ptr<ScreenSource> openPortalSource(const Crop& crop, const PortalOptions& options, rt::Text& error);

}  // namespace encoder::engine
