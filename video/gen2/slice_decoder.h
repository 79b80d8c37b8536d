// Second-generation slice decoder: reconstructs one run of consecutive
// slices of a frame, band by band and block by block, into the buffer set
// being written, and hands every block to the post-filter.
#pragma once
#include <cstdint>

#include "engine/framebuffers.h"
#include "video/gen2/slices.h"

// Block flag bits formed by the slice decoder (the post-filter names the
// position and band bits; these are the rest).
enum : uint32_t {
  BLOCK_FRAME_BITS = 0x2E000,   // frame flag bits 13, 14, 15 and 17, copied
  BLOCK_DECODER_BITS = 0x3FFFF,  // what the block decoders receive, plus 0x40000
};

// Block types of a frame that is not a key frame.
enum : uint8_t {
  BLOCK_TYPE_INTRA = 0,
  BLOCK_TYPE_SKIP = 1,
  BLOCK_TYPE_MOTION = 2,
  BLOCK_TYPE_MOTION_RESIDUAL = 3,
};

// Decodes slices first .. first + count - 1 (and the extra band below them)
// into set (current_set + 1) % set_count, predicting from current_set.
// video_end bounds every read of the frame's data. Returns 1 when decoded,
// 0 when the frame is refused (frame flag bit 13 clear).
int DecodeVideoSlice(FrameBufferSet *buffers, const uint8_t *video, uint32_t alpha_flag,
                     uint32_t extra_flag, uint32_t key_flag, const uint8_t *video_end,
                     const SliceLayout *layout, uint32_t first, uint32_t count,
                     uint8_t *seam_records);

// Whether a frame decoded into these buffers has an alpha plane to fill: the
// set written and the set predicted from both hold one. A frame's constant
// alpha counts only then; without one it is treated as clear. The parse-only
// pass follows the same rule.
bool HasAlphaPlane(const FrameBufferSet *buffers);

// Frame-data helpers shared with the parse-only pass.
// Word at byte offset `offset` of the video data, 0 past its end.
uint32_t ReadVideoWord(const uint8_t *video, const uint8_t *video_end, uint64_t offset);
// Byte offset of slice s's bitstream, or UINT64_MAX when the slice's offset
// word points outside the video data (such a slice counts as empty).
uint64_t SliceStreamOffset(const uint8_t *video, const uint8_t *video_end, uint32_t slice_count,
                           uint32_t s);

// Working memory of a run on the calling thread, 64-byte aligned, kept
// between runs (grown when a larger frame needs more); null when it cannot be
// had.
uint8_t *GetRunScratch(uint64_t bytes);
