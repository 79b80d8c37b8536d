// Placeholder for the first-generation frame decoder until it is built:
// decodes nothing.
#include "video/gen1/gen1_frame.h"

uint32_t DecodeFirstGenFrame(FrameBufferSet *, const uint8_t *, uint32_t, const uint8_t *,
                             const FirstGenScratchSizes *, uint32_t, uint32_t, uint32_t) {
  return 0;
}
