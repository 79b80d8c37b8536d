// The five operations of a sound output backend: all the mixer knows of the
// device or stream it writes to. Every slot is called under the global sound
// lock.
#pragma once
#include <cstdint>

struct SoundBackendOps {
  // Opens the output for 16-bit interleaved samples at (rate, channels) and
  // stores the bytes the mixer hands to every Write; 1 ok, 0 failed (nothing
  // stays open).
  int (*Open)(uint32_t rate, uint32_t channels, uint32_t *chunk_bytes);
  // Closes what Open opened.
  void (*Close)();
  // 0 when a whole chunk does not fit now, else the bytes that fit.
  uint32_t (*Writable)();
  // Delivers one chunk of 16-bit interleaved samples; 0 when it failed.
  int (*Write)(const void *data, uint32_t bytes);
  // Adjusts rate and channels to what the output plays and reports its
  // latency and the interval at which the mixer must be serviced; 0 refuses.
  int (*Negotiate)(uint32_t *rate, uint32_t *channels, uint32_t *latency_ms, uint32_t *service_ms);
};

// The two outputs of the library.
extern const SoundBackendOps OPENAL_BACKEND;
extern const SoundBackendOps PULSEAUDIO_BACKEND;
