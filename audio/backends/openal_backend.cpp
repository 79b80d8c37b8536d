// The OpenAL output backend: the mixer writes one chunk per buffer into a
// queue of four buffers on one source; a buffer is writable again once OpenAL
// has played it. Every call comes under the global sound lock.
#include "audio/backends/openal_backend.h"

#include <dlfcn.h>

#include "audio/backends/dynamic_entry.h"
#include "audio/backends/openal_api.h"
#include "audio/backends/sound_backend.h"

namespace {

enum : uint32_t { BUFFER_COUNT = 4 };

const char *const OPENAL_LIBRARY_NAMES[] = {"libopenal.so.1", "libopenal.so"};

struct OpenALState {
  void *library;
  int resolved;  // every entry below was found
  OpenALEntries al;
  OpenALThreadContextEntries thread;  // both null when the library lacks them
  int ignore_thread_context;
  int device_open;
  ALCdevice *device;
  ALCcontext *context;
  ALuint source;
  ALuint buffers[BUFFER_COUNT];
  uint32_t next_buffer;
  ALenum format;
  uint32_t rate;
  uint32_t chunk;
};

OpenALState g_al;

int LoadOpenAL() {
  if (g_al.resolved) return 1;
  if (!g_al.library) g_al.library = LoadLibraryByNames(OPENAL_LIBRARY_NAMES);
  if (!g_al.library) return 0;
  OpenALEntries e = {};
  void *lib = g_al.library;
  int ok = ResolveEntry(lib, "alcCreateContext", &e.alcCreateContext) &&
           ResolveEntry(lib, "alcMakeContextCurrent", &e.alcMakeContextCurrent) &&
           ResolveEntry(lib, "alcGetCurrentContext", &e.alcGetCurrentContext) &&
           ResolveEntry(lib, "alcGetContextsDevice", &e.alcGetContextsDevice) &&
           ResolveEntry(lib, "alcDestroyContext", &e.alcDestroyContext) &&
           ResolveEntry(lib, "alcOpenDevice", &e.alcOpenDevice) &&
           ResolveEntry(lib, "alcCloseDevice", &e.alcCloseDevice) &&
           ResolveEntry(lib, "alcGetError", &e.alcGetError) &&
           ResolveEntry(lib, "alGenSources", &e.alGenSources) &&
           ResolveEntry(lib, "alDeleteSources", &e.alDeleteSources) &&
           ResolveEntry(lib, "alGetEnumValue", &e.alGetEnumValue) &&
           ResolveEntry(lib, "alBufferData", &e.alBufferData) &&
           ResolveEntry(lib, "alGenBuffers", &e.alGenBuffers) &&
           ResolveEntry(lib, "alDeleteBuffers", &e.alDeleteBuffers) &&
           ResolveEntry(lib, "alSourcei", &e.alSourcei) &&
           ResolveEntry(lib, "alGetError", &e.alGetError) &&
           ResolveEntry(lib, "alSourcePlay", &e.alSourcePlay) &&
           ResolveEntry(lib, "alSourceStop", &e.alSourceStop) &&
           ResolveEntry(lib, "alSourcePause", &e.alSourcePause) &&
           ResolveEntry(lib, "alSourceQueueBuffers", &e.alSourceQueueBuffers) &&
           ResolveEntry(lib, "alSourceUnqueueBuffers", &e.alSourceUnqueueBuffers) &&
           ResolveEntry(lib, "alGetSourcei", &e.alGetSourcei) &&
           ResolveEntry(lib, "alGetProcAddress", &e.alGetProcAddress);
  if (!ok) return 0;
  g_al.al = e;
  g_al.resolved = 1;
  return 1;
}

void LookUpThreadContextEntries() {
  g_al.thread = OpenALThreadContextEntries{};
  if (g_al.ignore_thread_context) return;
  OpenALThreadContextEntries t = {};
  if (!AddressToEntry(g_al.al.alGetProcAddress("alcGetThreadContext"), &t.alcGetThreadContext))
    return;
  if (!AddressToEntry(g_al.al.alGetProcAddress("alcSetThreadContext"), &t.alcSetThreadContext))
    return;
  g_al.thread = t;
}

int HaveThreadContext() { return g_al.thread.alcGetThreadContext && g_al.thread.alcSetThreadContext; }

// Makes the backend's context current for this thread; returns the one that
// was current before.
ALCcontext *SwitchContext() {
  ALCcontext *saved;
  if (HaveThreadContext()) {
    saved = g_al.thread.alcGetThreadContext();
    g_al.thread.alcSetThreadContext(g_al.context);
  } else {
    saved = g_al.al.alcGetCurrentContext();
    g_al.al.alcMakeContextCurrent(g_al.context);
  }
  return saved;
}

// Makes `saved` current again, no context included: the backend's context
// must not stay current on the caller's thread.
void RestoreContext(ALCcontext *saved) {
  if (HaveThreadContext())
    g_al.thread.alcSetThreadContext(saved);
  else
    g_al.al.alcMakeContextCurrent(saved);
}

ALenum FormatForChannels(uint32_t channels) {
  switch (channels) {
    case 1: return AL_FORMAT_MONO16_VALUE;
    case 2: return AL_FORMAT_STEREO16_VALUE;
    case 4: return g_al.al.alGetEnumValue("AL_FORMAT_QUAD16");
    case 6: return g_al.al.alGetEnumValue("AL_FORMAT_51CHN16");
    case 8: return g_al.al.alGetEnumValue("AL_FORMAT_71CHN16");
    default: return 0;
  }
}

// Closes what the steps of Open made so far and restores the saved context.
int FailOpen(ALCcontext *saved) {
  CloseOpenALDevice();
  RestoreContext(saved);
  return 0;
}

}  // namespace

const SoundBackendOps OPENAL_BACKEND = {OpenOpenALDevice, CloseOpenALDevice, GetOpenALWritableBytes,
                                        QueueOpenALBuffer, NegotiateOpenALFormat};

int NegotiateOpenALFormat(uint32_t *rate, uint32_t *channels, uint32_t *latency_ms, uint32_t *service_ms) {
  if (*rate == 0) *rate = 48000;
  if (*channels <= 1) *channels = 2;
  // The four buffers of 512 frames, in milliseconds at whole frames per
  // millisecond; below 1000 Hz, where that rounds to none, exactly.
  const uint32_t per_ms = *rate / 1000;
  *latency_ms = per_ms ? 2048 / per_ms : 2048000 / *rate;
  *service_ms = 5;
  return 1;
}

int OpenOpenALDevice(uint32_t rate, uint32_t channels, uint32_t *chunk_bytes) {
  if (!LoadOpenAL()) return 0;
  LookUpThreadContextEntries();
  const OpenALEntries &al = g_al.al;

  g_al.device_open = 1;
  g_al.device = al.alcOpenDevice(nullptr);
  if (!g_al.device) {
    g_al.device_open = 0;
    return 0;
  }
  g_al.context = al.alcCreateContext(g_al.device, nullptr);
  if (!g_al.context) {
    al.alcCloseDevice(g_al.device);
    g_al.device = nullptr;
    g_al.device_open = 0;
    return 0;
  }

  ALCcontext *saved = SwitchContext();
  g_al.chunk = channels << 10;
  g_al.next_buffer = 0;
  g_al.source = 0;
  for (ALuint &b : g_al.buffers) b = 0;

  al.alGetError();
  al.alGenSources(1, &g_al.source);
  if (al.alGetError() != AL_NO_ERROR_VALUE) return FailOpen(saved);
  al.alGenBuffers(BUFFER_COUNT, g_al.buffers);
  if (al.alGetError() != AL_NO_ERROR_VALUE) return FailOpen(saved);

  g_al.format = FormatForChannels(channels);
  if (g_al.format == 0) return FailOpen(saved);

  // Probe: one silent frame in buffer 0, attached to the source and detached.
  const int16_t silence[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  al.alGetError();
  al.alBufferData(g_al.buffers[0], g_al.format, silence, static_cast<ALsizei>(channels * 2),
                  static_cast<ALsizei>(rate));
  if (al.alGetError() != AL_NO_ERROR_VALUE) return FailOpen(saved);
  al.alSourcei(g_al.source, AL_BUFFER_PARAM, static_cast<ALint>(g_al.buffers[0]));
  if (al.alGetError() != AL_NO_ERROR_VALUE) return FailOpen(saved);
  al.alSourcei(g_al.source, AL_BUFFER_PARAM, 0);

  g_al.rate = rate;
  *chunk_bytes = g_al.chunk;
  RestoreContext(saved);
  return 1;
}

void CloseOpenALDevice() {
  if (!g_al.resolved || !g_al.context) return;
  const OpenALEntries &al = g_al.al;
  al.alGetError();
  ALCcontext *saved = SwitchContext();
  al.alSourceStop(g_al.source);
  al.alSourcei(g_al.source, AL_BUFFER_PARAM, 0);
  al.alDeleteBuffers(BUFFER_COUNT, g_al.buffers);
  al.alDeleteSources(1, &g_al.source);
  RestoreContext(saved);
  if (g_al.device_open) {
    // The context must not stay current on this thread once destroyed.
    if (HaveThreadContext()) {
      if (g_al.thread.alcGetThreadContext() == g_al.context) g_al.thread.alcSetThreadContext(nullptr);
    }
    if (al.alcGetCurrentContext() == g_al.context) al.alcMakeContextCurrent(nullptr);
    al.alcDestroyContext(g_al.context);
    al.alcCloseDevice(g_al.device);
  }
  g_al.context = nullptr;
  g_al.device = nullptr;
  g_al.device_open = 0;
}

uint32_t GetOpenALWritableBytes() {
  if (!g_al.context) return 0;
  const OpenALEntries &al = g_al.al;
  ALCcontext *saved = SwitchContext();
  ALint processed = 0;
  al.alGetSourcei(g_al.source, AL_BUFFERS_PROCESSED_PARAM, &processed);
  if (processed > 0) {
    ALuint done[BUFFER_COUNT];
    al.alSourceUnqueueBuffers(g_al.source, processed > 4 ? 4 : processed, done);
  }
  ALint queued = 0;
  al.alGetSourcei(g_al.source, AL_BUFFERS_QUEUED_PARAM, &queued);
  RestoreContext(saved);
  if (queued < 0) queued = 0;
  if (queued > static_cast<ALint>(BUFFER_COUNT)) queued = BUFFER_COUNT;
  return (BUFFER_COUNT - static_cast<uint32_t>(queued)) * g_al.chunk;
}

int QueueOpenALBuffer(const void *data, uint32_t bytes) {
  if (!g_al.context) return 0;
  const OpenALEntries &al = g_al.al;
  ALCcontext *saved = SwitchContext();
  ALint queued = 0;
  al.alGetSourcei(g_al.source, AL_BUFFERS_QUEUED_PARAM, &queued);
  al.alBufferData(g_al.buffers[g_al.next_buffer], g_al.format, data, static_cast<ALsizei>(bytes),
                  static_cast<ALsizei>(g_al.rate));
  al.alSourceQueueBuffers(g_al.source, 1, &g_al.buffers[g_al.next_buffer]);
  g_al.next_buffer = (g_al.next_buffer + 1) & (BUFFER_COUNT - 1);
  if (queued == 0) al.alSourcePlay(g_al.source);
  RestoreContext(saved);
  return 1;
}

int IsOpenALThreadContextInUse() { return HaveThreadContext(); }

void IgnoreOpenALThreadContext(int ignore) { g_al.ignore_thread_context = ignore; }
