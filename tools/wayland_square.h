// A square window of a Wayland desktop, for vardel_sync_source's flashes on
// the Wayland test session (sway): black or white, and when the compositor
// drew each change on screen, from its frame callback (sway's headless
// output sends no presentation feedback; it draws when a client changes).
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace sync_tool {

class WaylandSquare {
 public:
  using Clock = std::chrono::steady_clock;

  // Opens a black square of `size` pixels as a toplevel window and has sway
  // float it at (x, y) without a border. nullptr with `error` set when it
  // cannot (no Wayland desktop, or no shell for windows).
  static std::unique_ptr<WaylandSquare> open(int x, int y, int size, std::string& error);
  ~WaylandSquare();
  WaylandSquare(const WaylandSquare&) = delete;
  WaylandSquare& operator=(const WaylandSquare&) = delete;

  // Turns the square white (or black) and returns once the compositor has
  // drawn it: the moment it did, on the steady clock (to the millisecond).
  Clock::time_point paint(bool white);

  struct State;

 private:
  WaylandSquare() = default;
  std::unique_ptr<State> s_;
};

}  // namespace sync_tool
