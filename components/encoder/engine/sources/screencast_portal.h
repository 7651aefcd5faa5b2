// The conversation with the desktop's ScreenCast portal over the D-Bus
// session bus (sd-bus): create a session, ask for one monitor with the
// pointer drawn in, start it (the portal may ask the user), and open the
// PipeWire remote that carries the picture.
//
// Each portal request answers later with a Response signal on its own
// Request object. We subscribe to that object before making the call, so an
// answer cannot slip past us, and wait for it with a deadline.
//
// The portal's restore token is kept in the user's configuration folder so
// the permission dialog appears once; a token the portal no longer accepts
// falls back to asking again, and the new token replaces the old one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/text.h"

struct sd_bus;

namespace encoder::engine::portal {

struct Deadlines {
  // A method call's reply, and the answer to a request that needs no user.
  std::chrono::milliseconds call{10000};
  // The answer to Start: the user's choice in the permission dialog.
  std::chrono::milliseconds userAnswer{60000};
};

// One granted screen cast: the portal session stays open as long as this
// object lives, and is closed when it goes.
class ScreenCast {
 public:
  // Runs the whole conversation. nullptr with `error` set, in words for the
  // user ("Cannot record the screen: ..."), when it cannot.
  static std::unique_ptr<ScreenCast> start(const Deadlines& deadlines, rt::Text& error);
  ~ScreenCast();
  ScreenCast(const ScreenCast&) = delete;
  ScreenCast& operator=(const ScreenCast&) = delete;

  // The connection to PipeWire the portal opened for us (owned here until
  // taken), the stream's node and its size as the portal announced it (0
  // when it did not).
  int takePipeWireFd();
  std::uint32_t nodeId() const { return nodeId_; }
  int announcedWidth() const { return width_; }
  int announcedHeight() const { return height_; }

  // Reads what arrived on the bus without waiting. False, with `why` set,
  // once the portal has closed the session (the user stopped sharing, or
  // the portal went away).
  bool stillOpen(rt::Text& why);

 private:
  ScreenCast() = default;
  friend struct Conversation;

  sd_bus* bus_ = nullptr;
  std::string sessionHandle_;
  int pipewireFd_ = -1;
  std::uint32_t nodeId_ = 0;
  int width_ = 0, height_ = 0;
  bool closedByPortal_ = false;
  rt::Text closedWhy_;
  void* closedSlot_ = nullptr;  // sd_bus_slot* of the Session.Closed match
};

// Where the restore token is kept: $XDG_CONFIG_HOME/vardel/grabvid-screencast-token
// ($HOME/.config when XDG_CONFIG_HOME is unset or not absolute). "" when
// neither is known.
std::string restoreTokenPath();
// The stored token, "" when there is none or it cannot be read.
std::string loadRestoreToken();
// Replaces the stored token atomically (folder 0700, file 0600); "" removes
// it. False when it could not be written.
bool saveRestoreToken(const std::string& token);

}  // namespace encoder::engine::portal
