/* Test set-up only: loaded with LD_PRELOAD into xdg-desktop-portal-wlr 0.7.0
 * in the headless Wayland session of scripts/wayland-session.sh.
 *
 * That portal refuses a ScreenCast Start (response 2, "unable to receive a
 * valid format from wlr_screencopy") unless the compositor's first
 * screencopy frame announces a DMA-BUF format besides its shared-memory one:
 * start_screencast() checks screencopy_frame_info[DMABUF].format even when
 * the stream will go over shared memory. A headless sway with the pixman
 * renderer has no GPU; once a client is on screen its frames carry no
 * linux_dmabuf event, so every Start fails.
 *
 * This library wraps the listener the portal puts on each
 * zwlr_screencopy_frame_v1: after the portal's own "buffer" handler (the
 * shared-memory format) it calls the portal's "linux_dmabuf" handler with
 * the same format and size. A real linux_dmabuf event, if one follows,
 * overrides it. The compositor offers no linux-dmabuf global, so the portal
 * finds no modifiers for that format and offers PipeWire shared-memory
 * buffers only, which the compositor fills as usual.
 *
 * No Wayland headers are needed: libwayland-client calls a listener as an
 * array of function pointers in the order of the interface's events.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct wl_proxy;
typedef void (*listener_fn)(void);

/* Events of zwlr_screencopy_frame_v1 (wlr-screencopy-unstable-v1, version 3):
 * buffer, flags, ready, failed, damage, linux_dmabuf, buffer_done. */
enum { EV_BUFFER = 0, EV_LINUX_DMABUF = 5, EV_COUNT = 7 };

typedef void (*buffer_fn)(void* data, void* frame, uint32_t format, uint32_t width, uint32_t height,
                          uint32_t stride);
typedef void (*dmabuf_fn)(void* data, void* frame, uint32_t format, uint32_t width, uint32_t height);

static const char* (*real_get_class)(struct wl_proxy*);
static int (*real_add_listener)(struct wl_proxy*, listener_fn*, void*);

/* The portal uses one static listener for every frame; keep one wrapped copy. */
static const listener_fn* original;
static listener_fn wrapped[EV_COUNT];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

#define fourcc(a, b, c, d) ((uint32_t)(a) | ((uint32_t)(b) << 8) | ((uint32_t)(c) << 16) | ((uint32_t)(d) << 24))

/* wl_shm formats are DRM fourcc codes except the two oldest ones. */
static uint32_t drm_from_shm(uint32_t format) {
  if (format == 0) return fourcc('A', 'R', '2', '4');
  if (format == 1) return fourcc('X', 'R', '2', '4');
  return format;
}

static void on_buffer(void* data, void* frame, uint32_t format, uint32_t width, uint32_t height,
                      uint32_t stride) {
  ((buffer_fn)original[EV_BUFFER])(data, frame, format, width, height, stride);
  if (original[EV_LINUX_DMABUF])
    ((dmabuf_fn)original[EV_LINUX_DMABUF])(data, frame, drm_from_shm(format), width, height);
}

int wl_proxy_add_listener(struct wl_proxy* proxy, listener_fn* implementation, void* data) {
  if (!real_add_listener) {
    real_add_listener = (int (*)(struct wl_proxy*, listener_fn*, void*))dlsym(RTLD_NEXT, "wl_proxy_add_listener");
    real_get_class = (const char* (*)(struct wl_proxy*))dlsym(RTLD_NEXT, "wl_proxy_get_class");
    if (!real_add_listener || !real_get_class) {
      fprintf(stderr, "shm-frame-format: libwayland-client's functions were not found\n");
      abort();
    }
  }
  if (strcmp(real_get_class(proxy), "zwlr_screencopy_frame_v1") == 0 && implementation[EV_BUFFER]) {
    pthread_mutex_lock(&lock);
    if (original != implementation) {
      original = implementation;
      memcpy(wrapped, implementation, sizeof wrapped);
      wrapped[EV_BUFFER] = (listener_fn)on_buffer;
    }
    pthread_mutex_unlock(&lock);
    return real_add_listener(proxy, wrapped, data);
  }
  return real_add_listener(proxy, implementation, data);
}
