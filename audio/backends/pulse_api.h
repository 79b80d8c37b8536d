// The PulseAudio records and entry points the backend uses, as typed
// pointers resolved from the library at run time.
#pragma once
#include <cstddef>
#include <cstdint>

struct pa_threaded_mainloop;
struct pa_mainloop_api;
struct pa_context;
struct pa_stream;
struct pa_spawn_api;
struct pa_cvolume;

enum : int {
  PA_SAMPLE_S16LE_VALUE = 3,
  PA_CONTEXT_CONNECTING_VALUE = 1,
  PA_CONTEXT_SETTING_NAME_VALUE = 3,
  PA_CONTEXT_READY_VALUE = 4,
  PA_CONTEXT_FAILED_VALUE = 5,
  PA_CONTEXT_TERMINATED_VALUE = 6,
  PA_STREAM_CREATING_VALUE = 1,
  PA_STREAM_READY_VALUE = 2,
  PA_STREAM_FAILED_VALUE = 3,
  PA_STREAM_TERMINATED_VALUE = 4,
  PA_CHANNELS_MAX_VALUE = 32,
};

struct PaSampleSpec {
  int format;
  uint32_t rate;
  uint8_t channels;
};

struct PaChannelMap {
  uint8_t channels;
  int map[PA_CHANNELS_MAX_VALUE];
};

struct PaBufferAttr {
  uint32_t maxlength;
  uint32_t tlength;
  uint32_t prebuf;
  uint32_t minreq;
  uint32_t fragsize;
};

typedef void (*PaContextNotify)(pa_context *context, void *user);
typedef void (*PaStreamNotify)(pa_stream *stream, void *user);
typedef void (*PaStreamRequest)(pa_stream *stream, size_t bytes, void *user);
typedef void (*PaFreeCallback)(void *p);

struct PulseEntries {
  int (*pa_stream_get_state)(const pa_stream *s);
  int (*pa_stream_connect_playback)(pa_stream *s, const char *device, const PaBufferAttr *attr,
                                    int flags, const pa_cvolume *volume, pa_stream *sync);
  void (*pa_stream_set_latency_update_callback)(pa_stream *s, PaStreamNotify cb, void *user);
  void (*pa_stream_set_write_callback)(pa_stream *s, PaStreamRequest cb, void *user);
  void (*pa_stream_set_state_callback)(pa_stream *s, PaStreamNotify cb, void *user);
  pa_stream *(*pa_stream_new)(pa_context *c, const char *name, const PaSampleSpec *sample_format,
                              const PaChannelMap *map);
  size_t (*pa_stream_writable_size)(const pa_stream *s);
  int (*pa_stream_write)(pa_stream *s, const void *data, size_t bytes, PaFreeCallback free_cb,
                         int64_t offset, int seek);
  void (*pa_stream_unref)(pa_stream *s);
  void (*pa_threaded_mainloop_wait)(pa_threaded_mainloop *m);
  void (*pa_threaded_mainloop_unlock)(pa_threaded_mainloop *m);
  int (*pa_threaded_mainloop_start)(pa_threaded_mainloop *m);
  void (*pa_threaded_mainloop_stop)(pa_threaded_mainloop *m);
  void (*pa_threaded_mainloop_lock)(pa_threaded_mainloop *m);
  void (*pa_threaded_mainloop_free)(pa_threaded_mainloop *m);
  pa_mainloop_api *(*pa_threaded_mainloop_get_api)(pa_threaded_mainloop *m);
  pa_threaded_mainloop *(*pa_threaded_mainloop_new)();
  void (*pa_threaded_mainloop_signal)(pa_threaded_mainloop *m, int wait_for_accept);
  void (*pa_context_unref)(pa_context *c);
  int (*pa_context_get_state)(const pa_context *c);
  void (*pa_context_disconnect)(pa_context *c);
  int (*pa_context_connect)(pa_context *c, const char *server, int flags, const pa_spawn_api *api);
  void (*pa_context_set_state_callback)(pa_context *c, PaContextNotify cb, void *user);
  pa_context *(*pa_context_new)(pa_mainloop_api *api, const char *name);
};
