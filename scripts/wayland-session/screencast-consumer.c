/* Test set-up only: the PipeWire side of screencast-check.py. Connects to
 * the portal's PipeWire remote (an inherited socket), takes the ScreenCast
 * node's video in shared memory and ends with 0 once FRAMES pictures with
 * something other than black have arrived, 1 when none come within the
 * deadline, or the stream fails.
 *
 *   screencast-consumer FD NODE FRAMES
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

#define DEADLINE_S 20

struct consumer {
  struct pw_main_loop* loop;
  struct pw_stream* stream;
  struct spa_video_info_raw format;
  int wanted, pictures, blank, status;
};

static void on_state(void* data, enum pw_stream_state old, enum pw_stream_state state, const char* error) {
  struct consumer* c = data;
  (void)old;
  fprintf(stderr, "screencast-consumer: stream %s%s%s\n", pw_stream_state_as_string(state),
          error ? ": " : "", error ? error : "");
  if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
    c->status = 1;
    pw_main_loop_quit(c->loop);
  }
}

static void on_param(void* data, uint32_t id, const struct spa_pod* param) {
  struct consumer* c = data;
  if (param == NULL || id != SPA_PARAM_Format) return;
  if (spa_format_video_raw_parse(param, &c->format) < 0) return;
  fprintf(stderr, "screencast-consumer: format %u, %ux%u\n", c->format.format, c->format.size.width,
          c->format.size.height);
}

static void on_process(void* data) {
  struct consumer* c = data;
  struct pw_buffer* b = pw_stream_dequeue_buffer(c->stream);
  if (b == NULL) return;
  struct spa_data* d = &b->buffer->datas[0];
  if (d->data != NULL && d->chunk->size > 0) {
    const uint8_t* p = (const uint8_t*)d->data + d->chunk->offset;
    uint32_t n = d->chunk->size, i, lit = 0;
    /* Any colour channel above a dark grey: the desktop's picture. */
    for (i = 0; i < n && !lit; i += 4)
      lit = p[i] > 16 || p[i + 1] > 16 || p[i + 2] > 16;
    c->pictures++;
    if (!lit) c->blank++;
    if (c->pictures - c->blank >= c->wanted) {
      fprintf(stderr, "screencast-consumer: %d pictures, %d black\n", c->pictures, c->blank);
      c->status = 0;
      pw_main_loop_quit(c->loop);
    }
  }
  pw_stream_queue_buffer(c->stream, b);
}

static void on_deadline(void* data, uint64_t expirations) {
  struct consumer* c = data;
  (void)expirations;
  fprintf(stderr, "screencast-consumer: %d pictures (%d black) in %d s\n", c->pictures, c->blank, DEADLINE_S);
  pw_main_loop_quit(c->loop);
}

static const struct pw_stream_events events = {
    PW_VERSION_STREAM_EVENTS,
    .state_changed = on_state,
    .param_changed = on_param,
    .process = on_process,
};

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: screencast-consumer FD NODE FRAMES\n");
    return 2;
  }
  struct consumer c = {.wanted = atoi(argv[3]), .status = 1};
  pw_init(&argc, &argv);
  c.loop = pw_main_loop_new(NULL);
  struct pw_context* context = pw_context_new(pw_main_loop_get_loop(c.loop), NULL, 0);
  struct pw_core* core = pw_context_connect_fd(context, atoi(argv[1]), NULL, 0);
  if (core == NULL) {
    fprintf(stderr, "screencast-consumer: cannot connect to the portal's PipeWire remote\n");
    return 1;
  }
  c.stream = pw_stream_new(core, "vardel screencast check",
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                             PW_KEY_MEDIA_ROLE, "Screen", NULL));
  struct spa_hook listener;
  pw_stream_add_listener(c.stream, &listener, &events, &c);

  uint8_t buffer[1024];
  struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const struct spa_pod* params[1];
  params[0] = spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
      SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(9, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xRGB,
                             SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR, SPA_VIDEO_FORMAT_ABGR),
      SPA_FORMAT_VIDEO_size,
      SPA_POD_CHOICE_RANGE_Rectangle(&SPA_RECTANGLE(1920, 1080), &SPA_RECTANGLE(1, 1),
                                     &SPA_RECTANGLE(8192, 8192)),
      SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&SPA_FRACTION(30, 1), &SPA_FRACTION(0, 1), &SPA_FRACTION(1000, 1)));
  if (pw_stream_connect(c.stream, PW_DIRECTION_INPUT, (uint32_t)atoi(argv[2]),
                        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS, params, 1) < 0) {
    fprintf(stderr, "screencast-consumer: cannot connect to node %s\n", argv[2]);
    return 1;
  }
  struct spa_source* timer = pw_loop_add_timer(pw_main_loop_get_loop(c.loop), on_deadline, &c);
  struct timespec deadline = {DEADLINE_S, 0};
  pw_loop_update_timer(pw_main_loop_get_loop(c.loop), timer, &deadline, NULL, false);
  pw_main_loop_run(c.loop);
  spa_hook_remove(&listener);
  pw_stream_destroy(c.stream);
  pw_core_disconnect(core);
  pw_context_destroy(context);
  pw_main_loop_destroy(c.loop);
  pw_deinit();
  return c.status;
}
