// First-generation frame jobs: the entry the frame decode job calls, and the
// sizes of the plane decoder's bundle buffers that the open computes.
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
// current one, predicting from the current set.  end is the end of the
// frame's data; nothing at or past it is read.  Returns the percentage of
// blocks coded (not skipped), measured by the decoded plane with the fewest
// skips.  key_flag is not used: every block is coded against the current set.
uint32_t DecodeFirstGenFrame(FrameBufferSet *buffers, const uint8_t *video, uint32_t key_flag,
                             const uint8_t *end, const FirstGenScratchSizes *scratch,
                             uint32_t job_flags, uint32_t video_flags, uint32_t signature);
