// The OpenAL output: one source with a queue of four buffers, the library
// loaded by name on the first Open. Slots of OPENAL_BACKEND.
#pragma once
#include <cstdint>

int OpenOpenALDevice(uint32_t rate, uint32_t channels, uint32_t *chunk_bytes);
void CloseOpenALDevice();
uint32_t GetOpenALWritableBytes();
int QueueOpenALBuffer(const void *data, uint32_t bytes);
int NegotiateOpenALFormat(uint32_t *rate, uint32_t *channels, uint32_t *latency_ms, uint32_t *service_ms);

// Test hooks: 1 while the library's per-thread context calls are in use;
// IgnoreOpenALThreadContext(1) makes later Opens use the process-wide
// current context as a library without them would.
int IsOpenALThreadContextInUse();
void IgnoreOpenALThreadContext(int ignore);
