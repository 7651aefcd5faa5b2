#include "tools/wayland_square.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include <wayland-client.h>

#include "xdg-shell-client-protocol.h"

namespace sync_tool {

struct WaylandSquare::State {
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  xdg_wm_base* wm = nullptr;
  wl_surface* surface = nullptr;
  xdg_surface* xsurface = nullptr;
  xdg_toplevel* toplevel = nullptr;
  wl_buffer* buffers[2] = {};  // black, white
  void* pixels = MAP_FAILED;
  std::size_t bytes = 0;
  int size = 0;
  bool configured = false;
  // The frame callback of the last paint: the compositor's time (ms) once done.
  bool drawn = false;
  std::uint32_t drawnMs = 0;

  ~State() {
    for (wl_buffer* b : buffers)
      if (b != nullptr) wl_buffer_destroy(b);
    if (toplevel != nullptr) xdg_toplevel_destroy(toplevel);
    if (xsurface != nullptr) xdg_surface_destroy(xsurface);
    if (surface != nullptr) wl_surface_destroy(surface);
    if (wm != nullptr) xdg_wm_base_destroy(wm);
    if (shm != nullptr) wl_shm_destroy(shm);
    if (compositor != nullptr) wl_compositor_destroy(compositor);
    if (registry != nullptr) wl_registry_destroy(registry);
    if (pixels != MAP_FAILED) munmap(pixels, bytes);
    if (display != nullptr) wl_display_disconnect(display);
  }
};

namespace {

using State = WaylandSquare::State;

void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
  auto* s = static_cast<State*>(data);
  if (std::strcmp(interface, wl_compositor_interface.name) == 0)
    s->compositor = static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4));
  else if (std::strcmp(interface, wl_shm_interface.name) == 0)
    s->shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0)
    s->wm = static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1));
}
void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}
const wl_registry_listener kRegistry{onGlobal, onGlobalRemove};

void onPing(void*, xdg_wm_base* wm, std::uint32_t serial) { xdg_wm_base_pong(wm, serial); }
const xdg_wm_base_listener kWm{onPing};

void onSurfaceConfigure(void* data, xdg_surface* xs, std::uint32_t serial) {
  xdg_surface_ack_configure(xs, serial);
  static_cast<State*>(data)->configured = true;
}
const xdg_surface_listener kXdgSurface{onSurfaceConfigure};

void onToplevelConfigure(void*, xdg_toplevel*, std::int32_t, std::int32_t, wl_array*) {}
void onToplevelClose(void*, xdg_toplevel*) {}
void onToplevelBounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {}
void onToplevelCapabilities(void*, xdg_toplevel*, wl_array*) {}
const xdg_toplevel_listener kToplevel{onToplevelConfigure, onToplevelClose, onToplevelBounds, onToplevelCapabilities};

// Sent once the compositor has drawn the frame that holds the change, with
// its time in milliseconds of the steady clock.
void onFrameDone(void* data, wl_callback* cb, std::uint32_t ms) {
  auto* s = static_cast<State*>(data);
  s->drawn = true;
  s->drawnMs = ms;
  wl_callback_destroy(cb);
}
const wl_callback_listener kFrame{onFrameDone};

}  // namespace

std::unique_ptr<WaylandSquare> WaylandSquare::open(int x, int y, int size, std::string& error) {
  std::unique_ptr<WaylandSquare> w(new WaylandSquare);
  w->s_ = std::make_unique<State>();
  State& s = *w->s_;
  s.size = size;
  s.display = wl_display_connect(nullptr);
  if (s.display == nullptr) return error = "no Wayland display", nullptr;
  s.registry = wl_display_get_registry(s.display);
  wl_registry_add_listener(s.registry, &kRegistry, &s);
  wl_display_roundtrip(s.display);
  if (s.compositor == nullptr || s.shm == nullptr || s.wm == nullptr)
    return error = "the compositor lacks wl_compositor, wl_shm or xdg_wm_base", nullptr;
  xdg_wm_base_add_listener(s.wm, &kWm, &s);

  // Two buffers in one shared-memory pool: black, then white.
  const std::size_t one = static_cast<std::size_t>(size) * static_cast<std::size_t>(size) * 4;
  s.bytes = 2 * one;
  const int fd = memfd_create("vardel-square", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(s.bytes)) != 0) {
    if (fd >= 0) close(fd);
    return error = "no shared memory", nullptr;
  }
  s.pixels = mmap(nullptr, s.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (s.pixels == MAP_FAILED) {
    close(fd);
    return error = "no shared memory", nullptr;
  }
  auto* px = static_cast<std::uint32_t*>(s.pixels);
  for (std::size_t i = 0; i < one / 4; ++i) px[i] = 0xff000000u;
  for (std::size_t i = one / 4; i < 2 * one / 4; ++i) px[i] = 0xffffffffu;
  wl_shm_pool* pool = wl_shm_create_pool(s.shm, fd, static_cast<std::int32_t>(s.bytes));
  close(fd);
  for (int i = 0; i < 2; ++i)
    s.buffers[i] = wl_shm_pool_create_buffer(pool, static_cast<std::int32_t>(one) * i, size, size, size * 4,
                                             WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);

  s.surface = wl_compositor_create_surface(s.compositor);
  s.xsurface = xdg_wm_base_get_xdg_surface(s.wm, s.surface);
  xdg_surface_add_listener(s.xsurface, &kXdgSurface, &s);
  s.toplevel = xdg_surface_get_toplevel(s.xsurface);
  xdg_toplevel_add_listener(s.toplevel, &kToplevel, &s);
  xdg_toplevel_set_app_id(s.toplevel, "vardel-flash");
  xdg_toplevel_set_title(s.toplevel, "flash");
  xdg_toplevel_set_min_size(s.toplevel, size, size);
  xdg_toplevel_set_max_size(s.toplevel, size, size);
  wl_surface_commit(s.surface);
  for (int i = 0; i < 50 && !s.configured; ++i) wl_display_roundtrip(s.display);
  if (!s.configured) return error = "the compositor did not configure the window", nullptr;
  wl_surface_attach(s.surface, s.buffers[0], 0, 0);
  wl_surface_commit(s.surface);
  wl_display_roundtrip(s.display);
  // Floating, where the recording looks for it, above the tiled windows.
  const std::string cmd = "swaymsg '[app_id=\"vardel-flash\"] floating enable, border none, move absolute position " +
                          std::to_string(x) + " px " + std::to_string(y) + " px' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return error = "swaymsg could not place the window", nullptr;
  for (int i = 0; i < 5; ++i) {
    wl_display_roundtrip(s.display);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  w->paint(false);
  return w;
}

WaylandSquare::~WaylandSquare() = default;

WaylandSquare::Clock::time_point WaylandSquare::paint(bool white) {
  State& s = *s_;
  wl_surface_attach(s.surface, s.buffers[white ? 1 : 0], 0, 0);
  wl_surface_damage_buffer(s.surface, 0, 0, s.size, s.size);
  s.drawn = false;
  wl_callback_add_listener(wl_surface_frame(s.surface), &kFrame, &s);
  wl_surface_commit(s.surface);
  while (!s.drawn && wl_display_dispatch(s.display) >= 0) {
  }
  if (!s.drawn) return Clock::now();
  // The frame callback's milliseconds are the steady clock's, modulo 2^32.
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch());
  const auto ago = std::chrono::milliseconds(static_cast<std::uint32_t>(now.count()) - s.drawnMs);
  return Clock::now() - (ago < std::chrono::seconds(1) ? ago : std::chrono::milliseconds(0));
}

}  // namespace sync_tool
