// Placeholder for the first-generation frame decoder: decodes nothing.
// Weak, so the real decoder replaces it when linked.
#include "video/gen1/gen1_frame.h"

__attribute__((weak)) uint32_t DecodeFirstGenFrame(FrameBufferSet *, const uint8_t *, uint32_t, const uint8_t *,
                             const FirstGenScratchSizes *, uint32_t, uint32_t, uint32_t) {
  return 0;
}
