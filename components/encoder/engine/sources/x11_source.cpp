#include "components/encoder/engine/sources/x11_source.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include <libyuv.h>

extern "C" {
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xfixes.h>
}

namespace encoder::engine {

namespace {

rt::Text number(long v) { return rt::fromUtf8(std::to_string(v)); }

// An X server that has not answered a read for this long has stopped (a
// frozen or suspended server): the recording ends with what it has.
constexpr std::chrono::milliseconds kStalled{2000};
// A read that a stop interrupts after this long was already stalled.
constexpr std::chrono::milliseconds kSlow{300};

// Changed bands closer than this many rows are read as one: a request and
// its reply cost more than converting a few unchanged rows.
constexpr int kBandGap = 16;

template <typename T>
struct Reply {  // owns an XCB reply
  T* p = nullptr;
  explicit Reply(T* r) : p(r) {}
  ~Reply() { std::free(p); }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

bool hasExtension(xcb_connection_t* c, xcb_extension_t* ext) {
  const xcb_query_extension_reply_t* r = xcb_get_extension_data(c, ext);
  return r != nullptr && r->present;
}

}  // namespace

namespace {
constexpr std::uint64_t kHashMul = 0xff51afd7ed558ccdULL;
inline std::uint64_t word(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
inline std::uint64_t mix(std::uint64_t h, std::uint64_t w) {
  h = (h ^ w) * kHashMul;
  return h ^ (h >> 29);
}
}  // namespace

std::uint64_t hashRow(const std::uint8_t* row, std::size_t bytes) {
  // Four independent lanes of a multiply-xorshift mix, so the multiplies
  // overlap: about 12 GB/s, a full-HD picture in under a millisecond. The
  // lanes are plain locals: as an array the compiler vectorises them with
  // an emulated 64-bit multiply at half the speed.
  std::uint64_t a = 0x9E3779B97F4A7C15ULL ^ bytes, b = 0xC2B2AE3D27D4EB4FULL, c = 0x165667B19E3779F9ULL,
                d = 0x27D4EB2F165667C5ULL;
  std::size_t i = 0;
  for (; i + 32 <= bytes; i += 32) {
    a = mix(a, word(row + i));
    b = mix(b, word(row + i + 8));
    c = mix(c, word(row + i + 16));
    d = mix(d, word(row + i + 24));
  }
  for (; i < bytes; ++i) a = (a ^ row[i]) * kHashMul;
  std::uint64_t out = a;
  for (const std::uint64_t h : {b, c, d}) out = (out ^ (h + (out << 6) + (out >> 2))) * kHashMul;
  return out ^ (out >> 31);
}

int tileWidthFor(int width) {
  const int perTile = (width + 63) / 64;
  return std::max(128, (perTile + 15) & ~15);
}

std::uint64_t tilesOf(int x0, int x1, int tileWidth) {
  if (x1 <= x0) return 0;
  const int first = x0 / tileWidth, last = (x1 - 1) / tileWidth;
  const std::uint64_t upTo = last >= 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (last + 1)) - 1;
  return upTo & ~((std::uint64_t{1} << first) - 1);
}

bool xDisplayIsXwayland() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  bool xwayland = false;
  if (!xcb_connection_has_error(c) && hasExtension(c, &xcb_randr_id)) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    Reply res(xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, screen->root), nullptr));
    if (res) {
      const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(res.p);
      const int n = xcb_randr_get_screen_resources_current_outputs_length(res.p);
      for (int i = 0; i < n && !xwayland; ++i) {
        Reply info(xcb_randr_get_output_info_reply(
            c, xcb_randr_get_output_info(c, outputs[i], res->config_timestamp), nullptr));
        if (!info) continue;
        const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.p));
        const int len = xcb_randr_get_output_info_name_length(info.p);
        xwayland = len >= 8 && std::strncmp(name, "XWAYLAND", 8) == 0;
      }
    }
  }
  xcb_disconnect(c);
  return xwayland;
}

std::unique_ptr<X11Source> X11Source::open(const Crop& crop, rt::Text& error) {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    error = u"Cannot record the screen: no X display is available (DISPLAY is not set).";
    return nullptr;
  }
  std::unique_ptr<X11Source> c(new X11Source);
  c->wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (c->wake_ < 0) {
    error = u"Cannot record the screen: out of system resources.";
    return nullptr;
  }
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
  int w = 0, h = 0;
  if (!croppedSize(crop, screen->width_in_pixels, screen->height_in_pixels, w, h, error)) return nullptr;
  c->root_ = screen->root;
  c->crop_ = crop;
  c->x_ = crop.left;
  c->y_ = crop.top;
  c->width_ = w;
  c->height_ = h;

  // Extension requests to a server without the extension close the
  // connection, so each is asked for only when the server has it.
  xcb_connection_t* conn = c->conn_;
  // Shared memory: the server copies the picture straight into our segment.
  if (hasExtension(conn, &xcb_shm_id)) {
    Reply v(xcb_shm_query_version_reply(conn, xcb_shm_query_version(conn), nullptr));
    c->shmAvailable_ = static_cast<bool>(v);
  }
  c->resize(screen->width_in_pixels, screen->height_in_pixels);

  // RandR tells when the screen takes another size.
  if (hasExtension(conn, &xcb_randr_id)) {
    if (Reply v(xcb_randr_query_version_reply(conn, xcb_randr_query_version(conn, 1, 2), nullptr)); v) {
      c->randrEvent_ = xcb_get_extension_data(conn, &xcb_randr_id)->first_event;
      xcb_randr_select_input(conn, c->root_, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
      // A change between the connection's set-up and this request sent no
      // event to us: the size is asked for once more.
      c->screenResized();
    }
  }

  // XFixes draws the pointer (version 1), tells when its image changes and
  // holds the damaged region we fetch (version 2).
  int fixesMajor = 0;
  if (hasExtension(conn, &xcb_xfixes_id)) {
    if (Reply v(xcb_xfixes_query_version_reply(conn, xcb_xfixes_query_version(conn, 4, 0), nullptr)); v)
      fixesMajor = static_cast<int>(v->major_version);
  }
  if (fixesMajor >= 1) {
    c->cursor_.argb.clear();
    xcb_xfixes_select_cursor_input(conn, c->root_, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    c->cursorEvents_ = true;
  }
  if (fixesMajor >= 2 && hasExtension(conn, &xcb_damage_id)) {
    if (Reply v(xcb_damage_query_version_reply(conn, xcb_damage_query_version(conn, 1, 1), nullptr)); v) {
      c->region_ = xcb_generate_id(conn);
      xcb_xfixes_create_region(conn, c->region_, 0, nullptr);
      c->damage_ = xcb_generate_id(conn);
      // Non-empty level: one event when the screen first changes after a
      // look; the changed rectangles themselves are fetched at each look.
      xcb_damage_create(conn, c->damage_, c->root_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    }
  }
  xcb_flush(conn);
  return c;
}

bool X11Source::attachSharedMemory(std::size_t bytes) {
  const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id < 0) return false;
  void* addr = shmat(id, nullptr, 0);
  // Removed at once: the segment lives only as long as both sides keep it attached.
  shmctl(id, IPC_RMID, nullptr);
  if (addr == reinterpret_cast<void*>(-1)) return false;
  const std::uint32_t seg = xcb_generate_id(conn_);
  if (xcb_generic_error_t* err =
          xcb_request_check(conn_, xcb_shm_attach_checked(conn_, seg, static_cast<std::uint32_t>(id), 0))) {
    std::free(err);
    shmdt(addr);
    return false;
  }
  shmSeg_ = seg;
  shmAddr_ = static_cast<std::uint8_t*>(addr);
  return true;
}

void X11Source::detachSharedMemory() {
  if (shmAddr_ == nullptr) return;
  xcb_shm_detach(conn_, shmSeg_);
  xcb_flush(conn_);
  shmdt(shmAddr_);
  shmAddr_ = nullptr;
}

void X11Source::resize(int screenWidth, int screenHeight) {
  screenWidth_ = screenWidth;
  screenHeight_ = screenHeight;
  const long w = long{screenWidth} - crop_.left - crop_.right, h = long{screenHeight} - crop_.top - crop_.bottom;
  const bool empty = w < 16 || h < 16;  // the margins leave nothing worth reading: the frame is black
  srcWidth_ = empty ? 0 : static_cast<int>(w & ~1L);
  srcHeight_ = empty ? 0 : static_cast<int>(h & ~1L);
  place_ = placeInFrame(width_, height_, srcWidth_, srcHeight_);
  tileWidth_ = tileWidthFor(std::max(srcWidth_, 1));
  tiles_ = (srcWidth_ + tileWidth_ - 1) / tileWidth_;
  damagedTiles_.assign(static_cast<std::size_t>(srcHeight_), 0);
  tileHash_.assign(static_cast<std::size_t>(srcHeight_) * static_cast<std::size_t>(tiles_), 0);
  const std::size_t bytes = static_cast<std::size_t>(srcWidth_) * static_cast<std::size_t>(srcHeight_) * 4;
  detachSharedMemory();
  pixels_.clear();
  if (bytes > 0 && !(shmAvailable_ && attachSharedMemory(bytes))) pixels_.resize(bytes);
  picture_ = shmAddr_ != nullptr ? shmAddr_ : pixels_.data();
  // Everything is read, compared and drawn afresh at the next look.
  first_ = true;
  redrawAll_ = true;
}

bool X11Source::screenResized() {
  Reply g(static_cast<xcb_get_geometry_reply_t*>(awaitReply(xcb_get_geometry(conn_, root_).sequence)));
  if (!g || (g->width == screenWidth_ && g->height == screenHeight_)) return false;
  resize(g->width, g->height);
  return true;
}

X11Source::~X11Source() {
  if (wake_ >= 0) ::close(wake_);
  if (conn_ != nullptr) {
    detachSharedMemory();
    xcb_disconnect(conn_);
  }
}

ScreenSource::Update X11Source::update(Picture& canvas, rt::Text& error) {
  // Events first: a pointer-image change since the last look is fetched
  // with this look's requests. Damage events only say "something changed";
  // the region is fetched below either way.
  // A change of the screen's size is taken before anything is asked of
  // the screen: the reads below are already for its new size.
  const std::uint8_t cursorNotify =
      cursorEvents_ ? xcb_get_extension_data(conn_, &xcb_xfixes_id)->first_event + XCB_XFIXES_CURSOR_NOTIFY : 0;
  int newWidth = screenWidth_, newHeight = screenHeight_;
  while (xcb_generic_event_t* ev = xcb_poll_for_event(conn_)) {
    const std::uint8_t type = ev->response_type & 0x7F;
    if (cursorNotify != 0 && type == cursorNotify) cursorImageStale_ = true;
    if (randrEvent_ != 0 && type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY) {
      const auto* sc = reinterpret_cast<const xcb_randr_screen_change_notify_event_t*>(ev);
      newWidth = sc->width;
      newHeight = sc->height;
    }
    std::free(ev);
  }
  if (newWidth != screenWidth_ || newHeight != screenHeight_) resize(newWidth, newHeight);
  // All questions go out before any answer is awaited: one round trip.
  xcb_xfixes_fetch_region_cookie_t regionCookie{};
  if (damage_ != 0) {
    xcb_damage_subtract(conn_, damage_, XCB_NONE, region_);
    regionCookie = xcb_xfixes_fetch_region(conn_, region_);
  }
  xcb_query_pointer_cookie_t pointerCookie{};
  xcb_xfixes_get_cursor_image_cookie_t imageCookie{};
  const bool fetchImage = cursorEvents_ && cursorImageStale_;
  if (fetchImage)
    imageCookie = xcb_xfixes_get_cursor_image(conn_);
  else if (cursorEvents_)
    pointerCookie = xcb_query_pointer(conn_, root_);

  std::vector<RowBand> bands;        // rows to read: what the server says was drawn
  std::vector<RowBand> pointerRows;  // rows to convert again: where the pointer was and is
  if (first_ || damage_ == 0) bands.push_back({0, srcHeight_});
  if (damage_ != 0) {
    Reply region(static_cast<xcb_xfixes_fetch_region_reply_t*>(awaitReply(regionCookie.sequence)));
    if (!region) return unanswered(error);
    const xcb_rectangle_t* r = xcb_xfixes_fetch_region_rectangles(region.p);
    const int n = xcb_xfixes_fetch_region_rectangles_length(region.p);
    for (int i = 0; i < n; ++i) {
      const std::uint64_t tiles =
          tilesOf(std::max(0, r[i].x - x_), std::min(srcWidth_, r[i].x + r[i].width - x_), tileWidth_);
      const int top = std::max(0, r[i].y - y_), bottom = std::min(srcHeight_, r[i].y + r[i].height - y_);
      if (tiles == 0 || bottom <= top) continue;
      bands.push_back({top, bottom});
      for (int row = top; row < bottom; ++row) damagedTiles_[static_cast<std::size_t>(row)] |= tiles;
    }
  }

  // The pointer: where it moved or changed its image, the rows it leaves
  // and the rows it enters are redrawn.
  if (cursorEvents_) {
    Cursor now = cursor_;
    if (fetchImage) {
      Reply img(static_cast<xcb_xfixes_get_cursor_image_reply_t*>(awaitReply(imageCookie.sequence)));
      if (!img && gaveUp()) return unanswered(error);
      if (img) {
        cursorImageStale_ = false;
        now.hotX = img->xhot;
        now.hotY = img->yhot;
        now.x = img->x - img->xhot - x_;
        now.y = img->y - img->yhot - y_;
        now.width = img->width;
        now.height = img->height;
        const std::uint32_t* px = xcb_xfixes_get_cursor_image_cursor_image(img.p);
        now.argb.assign(px, px + static_cast<std::ptrdiff_t>(img->width) * img->height);
      }
    } else {
      Reply p(static_cast<xcb_query_pointer_reply_t*>(awaitReply(pointerCookie.sequence)));
      if (!p && gaveUp()) return unanswered(error);
      if (p) {
        now.x = p->root_x - now.hotX - x_;
        now.y = p->root_y - now.hotY - y_;
      }
    }
    if (now.x != cursor_.x || now.y != cursor_.y || now.argb != cursor_.argb) {
      if (!cursor_.argb.empty()) pointerRows.push_back({cursor_.y, cursor_.y + cursor_.height});
      if (!now.argb.empty()) pointerRows.push_back({now.y, now.y + now.height});
      cursor_ = std::move(now);
    }
  }

  bands = mergeBands(std::move(bands), srcHeight_, kBandGap);
  for (const auto& b : bands) {
    if (readBand(b)) continue;
    // A screen that shrank between the look at the events and the read
    // refuses rows it no longer has: this slot is lost, the next one reads
    // the screen at its new size.
    if (outcome_ == Outcome::Refused && screenResized()) return Update::Unchanged;
    return unanswered(error);
  }
  // Damage says a window drew there, not that the picture changed (a player
  // showing a still picture redraws it every frame): rows read back equal to
  // last time are neither converted nor sent.
  std::vector<RowBand> convert = changedRows(bands);
  convert.insert(convert.end(), pointerRows.begin(), pointerRows.end());
  convert = mergeBands(std::move(convert), srcHeight_, kBandGap);
  first_ = false;
  if (redrawAll_ || (!convert.empty() && place_.width != srcWidth_)) {
    // A new size, or a screen scaled into the frame: all of it is drawn.
    rewritten_.assign(1, redrawAll_ ? RowBand{0, height_} : RowBand{place_.y, place_.y + place_.height});
    redrawAll_ = false;
    drawWhole(canvas);
    return Update::Changed;
  }
  if (convert.empty()) return Update::Unchanged;
  // 1:1, at its place: only the rows that changed.
  for (auto& b : convert) {
    convertBand(b, canvas);
    b.top += place_.y;
    b.bottom += place_.y;
  }
  rewritten_ = std::move(convert);
  return Update::Changed;
}

std::vector<RowBand> X11Source::changedRows(const std::vector<RowBand>& read) {
  const std::size_t stride = static_cast<std::size_t>(srcWidth_) * 4;
  const std::size_t tiles = static_cast<std::size_t>(tiles_);
  // Without damage to go by, every tile of every row read is looked at.
  const bool everything = first_ || damage_ == 0;
  const std::uint64_t all = tilesOf(0, srcWidth_, tileWidth_);
  std::vector<RowBand> changed;
  for (const auto& b : read) {
    for (int r = b.top; r < b.bottom; ++r) {
      std::uint64_t& damaged = damagedTiles_[static_cast<std::size_t>(r)];
      std::uint64_t look = everything ? all : damaged;
      damaged = 0;
      const std::uint8_t* row = picture_ + static_cast<std::size_t>(r) * stride;
      std::uint64_t* hashes = tileHash_.data() + static_cast<std::size_t>(r) * tiles;
      bool differs = first_;
      for (; look != 0; look &= look - 1) {
        const auto t = static_cast<std::size_t>(std::countr_zero(look));
        const std::size_t x = t * static_cast<std::size_t>(tileWidth_);
        const std::size_t bytes =
            std::min(static_cast<std::size_t>(tileWidth_), static_cast<std::size_t>(srcWidth_) - x) * 4;
        const std::uint64_t h = hashRow(row + x * 4, bytes);
        differs = differs || h != hashes[t];
        hashes[t] = h;
      }
      if (!differs) continue;
      if (!changed.empty() && changed.back().bottom == r)
        changed.back().bottom = r + 1;
      else
        changed.push_back({r, r + 1});
    }
  }
  return changed;
}

bool X11Source::readBand(const RowBand& band) {
  const auto x = static_cast<std::int16_t>(x_), y = static_cast<std::int16_t>(y_ + band.top);
  const auto w = static_cast<std::uint16_t>(srcWidth_), h = static_cast<std::uint16_t>(band.bottom - band.top);
  const std::size_t stride = static_cast<std::size_t>(srcWidth_) * 4;
  const std::size_t offset = static_cast<std::size_t>(band.top) * stride;
  if (shmAddr_ != nullptr) {
    // The server writes the band's rows where they sit in the whole picture.
    const auto cookie = xcb_shm_get_image(conn_, root_, x, y, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shmSeg_,
                                          static_cast<std::uint32_t>(offset));
    Reply reply(static_cast<xcb_shm_get_image_reply_t*>(awaitReply(cookie.sequence)));
    return static_cast<bool>(reply);
  }
  const auto cookie = xcb_get_image(conn_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, x, y, w, h, ~0u);
  Reply reply(static_cast<xcb_get_image_reply_t*>(awaitReply(cookie.sequence)));
  if (!reply || static_cast<std::size_t>(xcb_get_image_data_length(reply.p)) < stride * h) {
    if (reply) outcome_ = Outcome::Refused;
    return false;
  }
  std::memcpy(pixels_.data() + offset, xcb_get_image_data(reply.p), stride * h);
  return true;
}

void* X11Source::awaitReply(unsigned int sequence) {
  xcb_flush(conn_);
  const auto begin = std::chrono::steady_clock::now();
  pollfd fds[2] = {{xcb_get_file_descriptor(conn_), POLLIN, 0}, {wake_, POLLIN, 0}};
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* err = nullptr;
    if (xcb_poll_for_reply(conn_, sequence, &reply, &err) != 0) {
      std::free(err);
      outcome_ = reply != nullptr ? Outcome::Answered : Outcome::Refused;
      return reply;
    }
    if (xcb_connection_has_error(conn_)) {
      outcome_ = Outcome::Lost;
      return nullptr;
    }
    const auto waited = std::chrono::steady_clock::now() - begin;
    if (waited >= kStalled) {
      outcome_ = Outcome::Stalled;
      return nullptr;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(kStalled - waited).count() + 1;
    if (::poll(fds, 2, static_cast<int>(left)) > 0 && (fds[1].revents & POLLIN) != 0) {
      // A stop: a read that has waited this long belongs to a stalled
      // server; a quick one is simply not needed any more.
      outcome_ = std::chrono::steady_clock::now() - begin >= kSlow ? Outcome::Stalled : Outcome::Interrupted;
      return nullptr;
    }
  }
}

void X11Source::interrupt() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
}

ScreenSource::Update X11Source::unanswered(rt::Text& error) {
  switch (outcome_) {
    case Outcome::Interrupted:
      return Update::Unchanged;
    case Outcome::Stalled:
      error = u"The screen recording stopped: the X server stopped answering; the file keeps what was "
              u"recorded until then.";
      break;
    case Outcome::Lost:
      error = u"The screen recording stopped: the connection to the X display was lost.";
      break;
    case Outcome::Answered:
    case Outcome::Refused:
      error = u"The screen recording stopped: the X server refused to read the screen.";
      break;
  }
  return Update::Failed;
}

void X11Source::drawPointer(std::uint8_t* rows, int top, int bottom) const {
  const int stride = srcWidth_ * 4;
  for (int r = std::max(0, top - cursor_.y); r < cursor_.height; ++r) {
    const int py = cursor_.y + r;
    if (py >= bottom) break;
    std::uint8_t* row = rows + static_cast<std::ptrdiff_t>(py - top) * stride;
    for (int col = std::max(0, -cursor_.x); col < cursor_.width && cursor_.x + col < srcWidth_; ++col) {
      // Premultiplied ARGB over the screen's BGRX.
      const std::uint32_t s = cursor_.argb[static_cast<std::size_t>(r) * cursor_.width + col];
      const std::uint32_t a = s >> 24;
      if (a == 0) continue;
      std::uint8_t* d = row + (cursor_.x + col) * 4;
      for (int ch = 0; ch < 3; ++ch) {
        const std::uint32_t sc = (s >> (8 * ch)) & 0xFF;
        d[ch] = static_cast<std::uint8_t>(sc + d[ch] * (255 - a) / 255);
      }
    }
  }
}

void X11Source::convertBand(const RowBand& band, Picture& canvas) {
  const int stride = srcWidth_ * 4;
  const int rows = band.bottom - band.top;
  const std::uint8_t* src = picture_ + static_cast<std::ptrdiff_t>(band.top) * stride;
  if (cursor_.intersects(band)) {
    // The pointer is drawn over a copy: the picture keeps the screen as it
    // is, so the rows the pointer leaves can be converted again unread.
    scratch_.assign(src, src + static_cast<std::ptrdiff_t>(rows) * stride);
    drawPointer(scratch_.data(), band.top, band.bottom);
    src = scratch_.data();
  }
  const int top = place_.y + band.top, x = place_.x;
  libyuv::ARGBToI420(src, stride, canvas.plane[0] + static_cast<std::ptrdiff_t>(top) * canvas.stride[0] + x,
                     canvas.stride[0], canvas.plane[1] + static_cast<std::ptrdiff_t>(top / 2) * canvas.stride[1] + x / 2,
                     canvas.stride[1], canvas.plane[2] + static_cast<std::ptrdiff_t>(top / 2) * canvas.stride[2] + x / 2,
                     canvas.stride[2], srcWidth_, rows);
}

void X11Source::drawWhole(Picture& canvas) {
  const int stride = srcWidth_ * 4;
  const std::uint8_t* src = picture_;
  const RowBand all{0, srcHeight_};
  if (cursor_.intersects(all)) {
    scratch_.assign(picture_, picture_ + static_cast<std::ptrdiff_t>(srcHeight_) * stride);
    drawPointer(scratch_.data(), 0, srcHeight_);
    src = scratch_.data();
  }
  drawPlaced(src, stride, srcWidth_, srcHeight_, place_, canvas, scaled_);
}

}  // namespace encoder::engine
