// The PulseAudio output: one playback stream on a threaded main loop, the
// library loaded by name on the first Open. Slots of PULSEAUDIO_BACKEND.
#pragma once
#include <cstddef>
#include <cstdint>

struct pa_context;
struct pa_stream;

int OpenPulseAudioStream(uint32_t rate, uint32_t channels, uint32_t *chunk_bytes);
void ClosePulseAudioStream();
uint32_t GetPulseAudioWritableBytes();
int WritePulseAudioStream(const void *data, uint32_t bytes);
int NegotiatePulseAudioFormat(uint32_t *rate, uint32_t *channels, uint32_t *latency_ms,
                              uint32_t *service_ms);
// True while the context is connecting or ready and the stream creating or
// ready.
bool IsPulseAudioStreamReady();

// Main-loop callbacks; they only wake the waiting side.
void OnPulseAudioContextState(pa_context *context, void *user);
void OnPulseAudioStreamState(pa_stream *stream, void *user);
void OnPulseAudioStreamWrite(pa_stream *stream, size_t bytes, void *user);
void OnPulseAudioLatencyUpdate(pa_stream *stream, void *user);
