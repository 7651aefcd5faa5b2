#include "components/encoder/engine/screen_capture.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <string>

extern "C" {
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>
}

namespace encoder::engine {

namespace {
rt::Text number(long v) { return rt::fromUtf8(std::to_string(v)); }
}  // namespace

std::unique_ptr<ScreenCapture> ScreenCapture::open(const Crop& crop, rt::Text& error) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    error = u"Cannot record the screen: no X display is available (DISPLAY is not set).";
    return nullptr;
  }
  std::unique_ptr<ScreenCapture> c(new ScreenCapture);
  int screenNumber = 0;
  c->conn_ = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(c->conn_)) {
    error = u"Cannot record the screen: cannot connect to the X display \"" + rt::fromUtf8(display) + u"\".";
    return nullptr;
  }
  const xcb_setup_t* setup = xcb_get_setup(c->conn_);
  auto it = xcb_setup_roots_iterator(setup);
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) {
    error = u"Cannot record the screen: the X display has no screen " + number(screenNumber) + u".";
    return nullptr;
  }
  const xcb_screen_t* screen = it.data;
  int bpp = 0;
  for (auto f = xcb_setup_pixmap_formats_iterator(setup); f.rem > 0; xcb_format_next(&f))
    if (f.data->depth == screen->root_depth) bpp = f.data->bits_per_pixel;
  if (bpp != 32 || (screen->root_depth != 24 && screen->root_depth != 32)) {
    error = u"Cannot record the screen: its pixel format (depth " + number(screen->root_depth) + u", " +
            number(bpp) + u" bits per pixel) is not supported; a 24- or 32-bit display is needed.";
    return nullptr;
  }
  const int sw = screen->width_in_pixels, sh = screen->height_in_pixels;
  const long w = long{sw} - crop.left - crop.right, h = long{sh} - crop.top - crop.bottom;
  if (w < 16 || h < 16) {
    error = u"Cannot record the screen: the cropping margins (bottom " + number(crop.bottom) + u", top " +
            number(crop.top) + u", left " + number(crop.left) + u", right " + number(crop.right) +
            u") leave less than 16 x 16 pixels of the " + number(sw) + u" x " + number(sh) + u" screen.";
    return nullptr;
  }
  c->root_ = screen->root;
  c->x_ = crop.left;
  c->y_ = crop.top;
  c->width_ = static_cast<int>(w & ~1L);
  c->height_ = static_cast<int>(h & ~1L);

  // Extension requests to a server without the extension close the
  // connection, so each is asked for only when the server has it.
  auto present = [&](xcb_extension_t* ext) {
    const xcb_query_extension_reply_t* r = xcb_get_extension_data(c->conn_, ext);
    return r != nullptr && r->present;
  };
  // Shared memory: the server copies the picture straight into our segment.
  if (!present(&xcb_shm_id)) {
    // Plain GetImage reads below.
  } else if (auto* v = xcb_shm_query_version_reply(c->conn_, xcb_shm_query_version(c->conn_), nullptr)) {
    std::free(v);
    const std::size_t bytes = static_cast<std::size_t>(c->width_) * static_cast<std::size_t>(c->height_) * 4;
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id >= 0) {
      void* addr = shmat(id, nullptr, 0);
      if (addr != reinterpret_cast<void*>(-1)) {
        const std::uint32_t seg = xcb_generate_id(c->conn_);
        xcb_generic_error_t* err = xcb_request_check(c->conn_, xcb_shm_attach_checked(c->conn_, seg, static_cast<std::uint32_t>(id), 0));
        if (err == nullptr) {
          c->shmSeg_ = seg;
          c->shmAddr_ = static_cast<std::uint8_t*>(addr);
        } else {
          std::free(err);
          shmdt(addr);
        }
      }
      // Removed now: the segment lives only as long as both sides keep it attached.
      shmctl(id, IPC_RMID, nullptr);
    }
  }
  if (!present(&xcb_xfixes_id)) {
    // No pointer image: the picture is recorded without it.
  } else if (auto* v = xcb_xfixes_query_version_reply(c->conn_, xcb_xfixes_query_version(c->conn_, 4, 0), nullptr)) {
    c->cursor_ = v->major_version >= 1;
    std::free(v);
  }
  return c;
}

ScreenCapture::~ScreenCapture() {
  std::free(lastReply_);
  if (conn_ != nullptr) {
    if (shmAddr_ != nullptr) {
      xcb_shm_detach(conn_, shmSeg_);
      xcb_flush(conn_);
      shmdt(shmAddr_);
    }
    xcb_disconnect(conn_);
  }
}

bool ScreenCapture::grab(const std::uint8_t*& data, int& stride, rt::Text& error) {
  // Both requests go out before either reply is awaited: one round trip.
  const auto w = static_cast<std::uint16_t>(width_), h = static_cast<std::uint16_t>(height_);
  const auto x = static_cast<std::int16_t>(x_), y = static_cast<std::int16_t>(y_);
  xcb_xfixes_get_cursor_image_cookie_t cursorCookie{};
  std::uint8_t* pixels = nullptr;
  if (shmAddr_ != nullptr) {
    auto cookie = xcb_shm_get_image(conn_, root_, x, y, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shmSeg_, 0);
    if (cursor_) cursorCookie = xcb_xfixes_get_cursor_image(conn_);
    xcb_generic_error_t* err = nullptr;
    auto* reply = xcb_shm_get_image_reply(conn_, cookie, &err);
    std::free(err);
    if (reply != nullptr) pixels = shmAddr_;
    std::free(reply);
  } else {
    auto cookie = xcb_get_image(conn_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, x, y, w, h, ~0u);
    if (cursor_) cursorCookie = xcb_xfixes_get_cursor_image(conn_);
    xcb_generic_error_t* err = nullptr;
    auto* reply = xcb_get_image_reply(conn_, cookie, &err);
    std::free(err);
    if (reply != nullptr) {
      std::free(lastReply_);
      lastReply_ = reply;
      pixels = xcb_get_image_data(reply);
    }
  }
  if (pixels == nullptr) {
    if (cursor_) std::free(xcb_xfixes_get_cursor_image_reply(conn_, cursorCookie, nullptr));
    error = xcb_connection_has_error(conn_) ? u"The screen recording stopped: the connection to the X display was lost."
                                            : u"The screen recording stopped: the X server refused to read the screen.";
    return false;
  }
  stride = width_ * 4;
  if (cursor_) {
    if (auto* cur = xcb_xfixes_get_cursor_image_reply(conn_, cursorCookie, nullptr)) {
      const std::uint32_t* img = xcb_xfixes_get_cursor_image_cursor_image(cur);
      const int cx = cur->x - cur->xhot - x_, cy = cur->y - cur->yhot - y_;
      for (int r = 0; r < cur->height; ++r) {
        const int py = cy + r;
        if (py < 0 || py >= height_) continue;
        for (int col = 0; col < cur->width; ++col) {
          const int px = cx + col;
          if (px < 0 || px >= width_) continue;
          // Premultiplied ARGB over the screen's BGRX.
          const std::uint32_t s = img[r * cur->width + col];
          const std::uint32_t a = s >> 24;
          if (a == 0) continue;
          std::uint8_t* d = pixels + static_cast<std::ptrdiff_t>(py) * stride + px * 4;
          for (int ch = 0; ch < 3; ++ch) {
            const std::uint32_t sc = (s >> (8 * ch)) & 0xFF;
            d[ch] = static_cast<std::uint8_t>(sc + d[ch] * (255 - a) / 255);
          }
        }
      }
      std::free(cur);
    }
  }
  data = pixels;
  return true;
}

}  // namespace encoder::engine
