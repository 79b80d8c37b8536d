// First-generation frame jobs: the entry the frame decode job calls.
#pragma once
#include <cstdint>

#include "engine/framebuffers.h"

struct FirstGenScratchSizes;

// PlaneJobFlags beyond the movie flags.
enum : uint32_t {
  PLANE_JOB_NO_LUMA = 0x200,
  PLANE_JOB_NO_CHROMA = 0x20000,
  PLANE_JOB_ALPHA = 0x100000,
  PLANE_JOB_REVISION_F_TO_H = 0x8000,
};

// Decodes the planes the job flags select into the buffer set after the
// current one.  Returns the percentage of blocks coded.
uint32_t DecodeFirstGenFrame(FrameBufferSet *buffers, const uint8_t *video, uint32_t key_flag,
                             const uint8_t *end, const FirstGenScratchSizes *scratch,
                             uint32_t job_flags, uint32_t video_flags, uint32_t signature);
