// The PulseAudio output backend: one playback stream driven by a threaded
// main loop; the mixer writes 8 ms chunks whenever the stream can take a
// whole chunk. The slots are called under the global sound lock; the
// callbacks run on the main loop's thread and only signal.
#include "audio/backends/pulse_backend.h"

#include <dlfcn.h>

#include <atomic>

#include "audio/backends/dynamic_entry.h"
#include "audio/backends/pulse_api.h"
#include "audio/backends/sound_backend.h"

namespace {

struct PulseState {
  void *library;
  int resolved;
  PulseEntries pa;
  // Read by the callbacks on the main loop's thread.
  std::atomic<pa_threaded_mainloop *> mainloop;
  pa_context *context;
  pa_stream *stream;
  PaBufferAttr attributes;
  uint32_t chunk;
};

PulseState g_pa;

const char *const PULSE_LIBRARY_NAMES[] = {"libpulse.so.0", "libpulse.so"};

// Speaker positions in the order of the mixer's output channels.
const int CHANNEL_POSITIONS[8] = {1, 2, 3, 7, 5, 6, 10, 11};

int LoadPulseAudio() {
  if (g_pa.resolved) return 1;
  if (!g_pa.library) g_pa.library = LoadLibraryByNames(PULSE_LIBRARY_NAMES);
  if (!g_pa.library) return 0;
  PulseEntries e = {};
  void *lib = g_pa.library;
  int ok = ResolveEntry(lib, "pa_stream_get_state", &e.pa_stream_get_state) &&
           ResolveEntry(lib, "pa_stream_connect_playback", &e.pa_stream_connect_playback) &&
           ResolveEntry(lib, "pa_stream_set_latency_update_callback",
                        &e.pa_stream_set_latency_update_callback) &&
           ResolveEntry(lib, "pa_stream_set_write_callback", &e.pa_stream_set_write_callback) &&
           ResolveEntry(lib, "pa_stream_set_state_callback", &e.pa_stream_set_state_callback) &&
           ResolveEntry(lib, "pa_stream_new", &e.pa_stream_new) &&
           ResolveEntry(lib, "pa_stream_writable_size", &e.pa_stream_writable_size) &&
           ResolveEntry(lib, "pa_stream_write", &e.pa_stream_write) &&
           ResolveEntry(lib, "pa_stream_unref", &e.pa_stream_unref) &&
           ResolveEntry(lib, "pa_threaded_mainloop_wait", &e.pa_threaded_mainloop_wait) &&
           ResolveEntry(lib, "pa_threaded_mainloop_unlock", &e.pa_threaded_mainloop_unlock) &&
           ResolveEntry(lib, "pa_threaded_mainloop_start", &e.pa_threaded_mainloop_start) &&
           ResolveEntry(lib, "pa_threaded_mainloop_stop", &e.pa_threaded_mainloop_stop) &&
           ResolveEntry(lib, "pa_threaded_mainloop_lock", &e.pa_threaded_mainloop_lock) &&
           ResolveEntry(lib, "pa_threaded_mainloop_free", &e.pa_threaded_mainloop_free) &&
           ResolveEntry(lib, "pa_threaded_mainloop_get_api", &e.pa_threaded_mainloop_get_api) &&
           ResolveEntry(lib, "pa_threaded_mainloop_new", &e.pa_threaded_mainloop_new) &&
           ResolveEntry(lib, "pa_threaded_mainloop_signal", &e.pa_threaded_mainloop_signal) &&
           ResolveEntry(lib, "pa_context_unref", &e.pa_context_unref) &&
           ResolveEntry(lib, "pa_context_get_state", &e.pa_context_get_state) &&
           ResolveEntry(lib, "pa_context_disconnect", &e.pa_context_disconnect) &&
           ResolveEntry(lib, "pa_context_connect", &e.pa_context_connect) &&
           ResolveEntry(lib, "pa_context_set_state_callback", &e.pa_context_set_state_callback) &&
           ResolveEntry(lib, "pa_context_new", &e.pa_context_new);
  if (!ok) return 0;
  g_pa.pa = e;
  g_pa.resolved = 1;
  return 1;
}

pa_threaded_mainloop *MainLoop() { return g_pa.mainloop.load(std::memory_order_acquire); }

// The clean-up of a failed Open once the main loop runs (locked by us).
int FailOpen() {
  const PulseEntries &pa = g_pa.pa;
  pa_threaded_mainloop *loop = MainLoop();
  if (g_pa.stream) {
    pa.pa_stream_unref(g_pa.stream);
    g_pa.stream = nullptr;
  }
  pa.pa_context_disconnect(g_pa.context);
  pa.pa_threaded_mainloop_unlock(loop);
  pa.pa_context_unref(g_pa.context);
  pa.pa_threaded_mainloop_stop(loop);
  pa.pa_threaded_mainloop_free(loop);
  g_pa.context = nullptr;
  g_pa.mainloop.store(nullptr, std::memory_order_release);
  return 0;
}

// Bytes the stream takes now; an error counts as no room.
size_t WritableSize() {
  const size_t n = g_pa.pa.pa_stream_writable_size(g_pa.stream);
  return n == static_cast<size_t>(-1) ? 0 : n;
}

}  // namespace

const SoundBackendOps PULSEAUDIO_BACKEND = {OpenPulseAudioStream, ClosePulseAudioStream,
                                            GetPulseAudioWritableBytes, WritePulseAudioStream,
                                            NegotiatePulseAudioFormat};

void OnPulseAudioContextState(pa_context *context, void *) {
  pa_threaded_mainloop *loop = MainLoop();
  if (!loop) return;
  const int state = g_pa.pa.pa_context_get_state(context);
  if (state == PA_CONTEXT_READY_VALUE || state == PA_CONTEXT_FAILED_VALUE ||
      state == PA_CONTEXT_TERMINATED_VALUE)
    g_pa.pa.pa_threaded_mainloop_signal(loop, 0);
}

void OnPulseAudioStreamState(pa_stream *stream, void *) {
  pa_threaded_mainloop *loop = MainLoop();
  if (!loop) return;
  const int state = g_pa.pa.pa_stream_get_state(stream);
  if (state == PA_STREAM_READY_VALUE || state == PA_STREAM_FAILED_VALUE ||
      state == PA_STREAM_TERMINATED_VALUE)
    g_pa.pa.pa_threaded_mainloop_signal(loop, 0);
}

void OnPulseAudioStreamWrite(pa_stream *, size_t, void *) {
  pa_threaded_mainloop *loop = MainLoop();
  if (loop) g_pa.pa.pa_threaded_mainloop_signal(loop, 0);
}

void OnPulseAudioLatencyUpdate(pa_stream *, void *) {
  pa_threaded_mainloop *loop = MainLoop();
  if (loop) g_pa.pa.pa_threaded_mainloop_signal(loop, 0);
}

int NegotiatePulseAudioFormat(uint32_t *, uint32_t *, uint32_t *latency_ms, uint32_t *service_ms) {
  *latency_ms = 64;
  *service_ms = 7;
  return 1;
}

int OpenPulseAudioStream(uint32_t rate, uint32_t channels, uint32_t *chunk_bytes) {
  if (channels == 0 || channels > 8) return 0;
  if (!LoadPulseAudio()) return 0;
  const PulseEntries &pa = g_pa.pa;

  pa_threaded_mainloop *loop = pa.pa_threaded_mainloop_new();
  if (!loop) return 0;
  g_pa.mainloop.store(loop, std::memory_order_release);
  g_pa.stream = nullptr;
  g_pa.context = pa.pa_context_new(pa.pa_threaded_mainloop_get_api(loop), "Vosh");
  if (!g_pa.context) {
    pa.pa_threaded_mainloop_stop(loop);
    pa.pa_threaded_mainloop_free(loop);
    g_pa.mainloop.store(nullptr, std::memory_order_release);
    return 0;
  }
  pa.pa_context_set_state_callback(g_pa.context, OnPulseAudioContextState, nullptr);
  if (pa.pa_context_connect(g_pa.context, nullptr, 0, nullptr) < 0) {
    pa.pa_context_unref(g_pa.context);
    g_pa.context = nullptr;
    pa.pa_threaded_mainloop_stop(loop);
    pa.pa_threaded_mainloop_free(loop);
    g_pa.mainloop.store(nullptr, std::memory_order_release);
    return 0;
  }

  pa.pa_threaded_mainloop_lock(loop);
  if (pa.pa_threaded_mainloop_start(loop) < 0) return FailOpen();
  for (;;) {
    const int state = pa.pa_context_get_state(g_pa.context);
    if (state == PA_CONTEXT_READY_VALUE) break;
    if (state < PA_CONTEXT_CONNECTING_VALUE || state > PA_CONTEXT_SETTING_NAME_VALUE)
      return FailOpen();
    pa.pa_threaded_mainloop_wait(loop);
  }

  PaSampleSpec sample_format = {PA_SAMPLE_S16LE_VALUE, rate, static_cast<uint8_t>(channels)};
  PaChannelMap map = {};
  map.channels = static_cast<uint8_t>(channels);
  for (uint32_t c = 0; c < channels; ++c) map.map[c] = CHANNEL_POSITIONS[c];
  g_pa.stream = pa.pa_stream_new(g_pa.context, "VoshAudio", &sample_format, &map);
  if (!g_pa.stream) return FailOpen();
  pa.pa_stream_set_state_callback(g_pa.stream, OnPulseAudioStreamState, nullptr);
  pa.pa_stream_set_write_callback(g_pa.stream, OnPulseAudioStreamWrite, nullptr);
  pa.pa_stream_set_latency_update_callback(g_pa.stream, OnPulseAudioLatencyUpdate, nullptr);

  const uint32_t u = 2 * channels * (rate * 8 / 1000);
  g_pa.attributes = PaBufferAttr{17 * u, 17 * u, 8 * u, u, 0xFFFFFFFFu};
  if (pa.pa_stream_connect_playback(g_pa.stream, nullptr, &g_pa.attributes, 0, nullptr, nullptr) < 0)
    return FailOpen();
  for (;;) {
    const int state = pa.pa_stream_get_state(g_pa.stream);
    if (state == PA_STREAM_READY_VALUE) break;
    if (state != PA_STREAM_CREATING_VALUE) return FailOpen();
    pa.pa_threaded_mainloop_wait(loop);
  }
  pa.pa_threaded_mainloop_unlock(loop);
  g_pa.chunk = u;
  *chunk_bytes = u;
  return 1;
}

void ClosePulseAudioStream() {
  if (!g_pa.resolved) return;
  const PulseEntries &pa = g_pa.pa;
  pa_threaded_mainloop *loop = MainLoop();
  if (loop) pa.pa_threaded_mainloop_stop(loop);
  if (g_pa.stream) pa.pa_stream_unref(g_pa.stream);
  if (g_pa.context) {
    pa.pa_context_disconnect(g_pa.context);
    pa.pa_context_unref(g_pa.context);
  }
  if (loop) pa.pa_threaded_mainloop_free(loop);
  g_pa.stream = nullptr;
  g_pa.context = nullptr;
  g_pa.mainloop.store(nullptr, std::memory_order_release);
}

bool IsPulseAudioStreamReady() {
  if (!g_pa.context || !g_pa.stream) return false;
  const int cs = g_pa.pa.pa_context_get_state(g_pa.context);
  if (cs < PA_CONTEXT_CONNECTING_VALUE || cs > PA_CONTEXT_READY_VALUE) return false;
  const int ss = g_pa.pa.pa_stream_get_state(g_pa.stream);
  return ss == PA_STREAM_CREATING_VALUE || ss == PA_STREAM_READY_VALUE;
}

uint32_t GetPulseAudioWritableBytes() {
  pa_threaded_mainloop *loop = MainLoop();
  if (!loop) return 0;
  const PulseEntries &pa = g_pa.pa;
  pa.pa_threaded_mainloop_lock(loop);
  uint32_t result = 0;
  if (IsPulseAudioStreamReady() && WritableSize() >= g_pa.chunk) result = g_pa.chunk;
  pa.pa_threaded_mainloop_unlock(loop);
  return result;
}

int WritePulseAudioStream(const void *data, uint32_t bytes) {
  pa_threaded_mainloop *loop = MainLoop();
  if (!loop) return 0;
  const PulseEntries &pa = g_pa.pa;
  pa.pa_threaded_mainloop_lock(loop);
  if (!IsPulseAudioStreamReady()) {
    pa.pa_threaded_mainloop_unlock(loop);
    return 0;
  }
  const uint8_t *at = static_cast<const uint8_t *>(data);
  uint32_t remaining = bytes;
  while (remaining > 0) {
    if (WritableSize() < g_pa.chunk) {
      pa.pa_threaded_mainloop_wait(loop);
      if (!IsPulseAudioStreamReady()) {
        pa.pa_threaded_mainloop_unlock(loop);
        return 0;
      }
      continue;
    }
    const uint32_t length = remaining < g_pa.chunk ? remaining : g_pa.chunk;
    if (pa.pa_stream_write(g_pa.stream, at, length, nullptr, 0, 0) < 0) {
      pa.pa_threaded_mainloop_unlock(loop);
      return 0;
    }
    at += length;
    remaining -= length;
  }
  pa.pa_threaded_mainloop_unlock(loop);
  return 1;
}
