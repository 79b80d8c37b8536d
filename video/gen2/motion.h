// Motion vectors of the second-generation codec: the vector code, prediction
// from the neighbouring blocks, and the clamp that turns them into reference
// positions for the motion-compensation kernels.
#pragma once
#include <cstdint>

#include "video/gen2/bitreader.h"

// BlockFlags bits read here.
enum : uint32_t {
  MV_NO_ABOVE_SLICE = 0x8,   // first band of a slice below row 0
  MV_NO_LEFT = 0x20,         // first block of the band
  MV_NO_ABOVE_FRAME = 0x80,  // top band of the frame
  MV_CLAMP_MODE = 0x20000,   // clamp mode 1 (frame flag bit 17)
};

// The four vectors of one block, one per 16x16 quadrant (0 top-left,
// 1 top-right, 2 bottom-left, 3 bottom-right), in half luma samples:
// x0, y0, x1, y1, x2, y2, x3, y3.
struct MotionVectorSet {
  int32_t v[8];
};

// Clamped absolute reference position of each quadrant in half luma samples
// (quarter samples of the chroma planes), in the same order.
struct QuadrantPositions {
  uint32_t p[8];
};

// Short vector codes by the next 7 bits: value << 3 | length.
extern const uint8_t MV_VLC_TABLE[128];

// Reads one signed vector difference.
int32_t ReadMotionVectorDifference(BitReader *reader);

// Reads and predicts the vectors of a motion block. block: this block's entry
// of the current row (block[-1] is the left block's, read unless flag 0x20);
// above: this column's entry of the row above (above[-1] is the above-left
// block's, read only when both neighbours exist).
void DecodeMotionVectors(BitReader *reader, MotionVectorSet *block, const MotionVectorSet *above,
                         uint32_t block_flags);

// The vectors that an intra block leaves for its neighbours' prediction.
void PredictMotionVectors(uint32_t block_flags, MotionVectorSet *block, const MotionVectorSet *above);

// Forms each quadrant's position from the block's place and vector and
// clamps it so that every sample a kernel reads lies inside the reference
// plane (16x16 half-sample kernels read two samples before and three after
// the block in a filtered direction; the chroma kernels one after). Then
// prefetches the reference rows. width2, height2: twice the luma plane's
// width and height. Planes may be null (no prefetch).
//
// For a plane too small for any half-sample position in one direction (a
// plane of 16 rows, where the half-sample bounds cross), positions in that
// direction are made whole-sample and clamped inside the plane.
void ClampMotionVectors(QuadrantPositions *out, const uint8_t *luma, const uint8_t *chroma1,
                        const uint8_t *chroma2, uint32_t block_column, uint32_t band_top,
                        uint32_t luma_stride, uint32_t chroma_stride, const MotionVectorSet *vectors,
                        uint32_t block_flags, uint32_t width2, uint32_t height2);

// Clamp of one component position p (half samples) against twice the plane
// size, in the given mode (0 or 1).
uint32_t ClampPosition(uint32_t p, uint32_t size2, uint32_t mode);

// Copies 8 rows of 16 bytes.
void CopyBlock16x8(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride);
