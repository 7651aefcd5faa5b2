// vardel_pattern: deterministic moving content for recordings under Xvfb.
// A window covering the whole screen shows, redrawn every --interval-ms
// milliseconds (default 1):
//   - the wall clock in milliseconds (modulo 2^24) as 24 Gray-coded
//     blocks of 40 x 40 pixels along the top edge, white = 1, so a picture
//     caught mid-redraw still reads as one of two neighbouring values;
//   - a white square moving left to right at 500 pixels a second.
// --width W keeps the window to the screen's left W pixels (the rest stays
// free for other windows). Prints "ready" once the first picture is on
// screen; runs until killed.
//
// --stalls: a second connection asks the X server a question every 5 ms and
// prints "stall FROM TO" (seconds on the steady clock) for every stretch of
// more than 20 ms in which the server answered nothing: nobody could draw
// then (a server repainting a screen that changed size), so a recording has
// no new picture to take in it.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <xcb/xcb.h>

namespace {
volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }
}  // namespace

// Asks the server a question every 5 ms until told to stop, and prints the
// stretches it left unanswered.
void watchStalls(std::mutex& out) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) return;
  using Clock = std::chrono::steady_clock;
  auto seconds = [](Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); };
  while (!gStop && !xcb_connection_has_error(c)) {
    const Clock::time_point asked = Clock::now();
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    const Clock::time_point answered = Clock::now();
    if (answered - asked > std::chrono::milliseconds(20)) {
      std::lock_guard l(out);
      std::printf("stall %.6f %.6f\n", seconds(asked), seconds(answered));
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  xcb_disconnect(c);
}

int main(int argc, char** argv) {
  int intervalMs = 1, width = 0;
  bool stalls = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--stalls") == 0) stalls = true;
    if (i + 1 >= argc) continue;
    if (std::strcmp(argv[i], "--interval-ms") == 0) intervalMs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--width") == 0) width = std::atoi(argv[i + 1]);
  }
  std::mutex out;
  std::signal(SIGTERM, onSignal);
  std::signal(SIGINT, onSignal);
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "vardel_pattern: cannot connect to the X display\n");
    return 1;
  }
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const std::uint16_t h = screen->height_in_pixels;
  const auto w = static_cast<std::uint16_t>(width > 0 && width < screen->width_in_pixels ? width : screen->width_in_pixels);
  const xcb_window_t win = xcb_generate_id(c);
  const std::uint32_t winValues[] = {screen->black_pixel, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, win, screen->root, 0, 0, w, h, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, winValues);
  xcb_map_window(c, win);
  const xcb_gcontext_t white = xcb_generate_id(c), black = xcb_generate_id(c);
  const std::uint32_t wv[] = {screen->white_pixel, 0}, bv[] = {screen->black_pixel, 0};
  xcb_create_gc(c, white, win, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, wv);
  xcb_create_gc(c, black, win, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, bv);

  constexpr int kBits = 24, kBlock = 40, kSquare = 120;
  const auto start = std::chrono::steady_clock::now();
  bool announced = false;
  std::thread watcher;
  std::int16_t lastX = -1;
  while (!gStop) {
    const auto now = std::chrono::steady_clock::now();
    const auto ms = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count() & 0xFFFFFF);
    const std::uint32_t gray = ms ^ (ms >> 1);
    std::vector<xcb_rectangle_t> ones, zeros;
    for (int b = 0; b < kBits; ++b) {
      const xcb_rectangle_t r{static_cast<std::int16_t>(b * kBlock), 0, kBlock, kBlock};
      ((gray >> (kBits - 1 - b)) & 1 ? ones : zeros).push_back(r);
    }
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
    const auto x = static_cast<std::int16_t>((elapsedMs / 2) % (w - kSquare));
    if (lastX >= 0) zeros.push_back({lastX, 200, kSquare, kSquare});
    ones.push_back({x, 200, kSquare, kSquare});
    lastX = x;
    xcb_poly_fill_rectangle(c, win, black, static_cast<std::uint32_t>(zeros.size()), zeros.data());
    xcb_poly_fill_rectangle(c, win, white, static_cast<std::uint32_t>(ones.size()), ones.data());
    if (!announced) {
      std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // drawn once
      {
        std::lock_guard l(out);
        std::printf("ready\n");
        std::fflush(stdout);
      }
      announced = true;
      if (stalls) watcher = std::thread([&out] { watchStalls(out); });
    } else {
      xcb_flush(c);
    }
    if (xcb_connection_has_error(c)) return 1;
    std::this_thread::sleep_until(now + std::chrono::milliseconds(intervalMs));
  }
  if (watcher.joinable()) watcher.join();
  xcb_disconnect(c);
  return 0;
}
