// Reconstruction of one plane of one second-generation block: intra blocks
// from their coefficients, motion-and-residual blocks as a motion-compensated
// prediction plus a smoothed residual.
#pragma once
#include <cstdint>

#include "video/gen2/bitreader.h"
#include "video/gen2/mc.h"
#include "video/gen2/motion.h"
#include "video/gen2/postfilter.h"

// The block decoders read the half bits (0x1, 0x2, 0x4), the position bits,
// 0x4000 / 0x8000 (no residual smoothing across columns / rows) and 0x40000
// (wide DC range, from the frame flags).
inline bool UpperHalfStored(uint32_t flags) { return (flags & BLOCK_RUN_FIRST_BAND) == 0; }
inline bool LowerHalfStored(uint32_t flags) {
  return (flags & (BLOCK_LOWER_OUTSIDE | BLOCK_EXTRA_BAND)) == 0;
}

// The four half-sample kernels (copy, vertical, horizontal, both) that luma
// motion compensation uses, indexed by 2 * (X & 1) + (Y & 1).
struct HalfPelKernels {
  McKernel k[4];
};

// Intra luma, alpha or extra plane (32x32). dst may be null: the syntax is
// read and the grid and words produced, but nothing is written.
void DecodeIntraPlaneBlock(int32_t grid[16], const int32_t *context, uint8_t *dst, uint32_t stride,
                           BitReader *reader, uint16_t words[16], uint32_t flags, int32_t qi,
                           uint32_t *previous_pattern);

// Intra chroma (16x16).
void DecodeIntraChromaBlock(int32_t grid[4], const int32_t *context, uint8_t *dst, uint32_t stride,
                            BitReader *reader, uint16_t words[4], uint32_t flags, int32_t qi,
                            uint32_t *previous_pattern);

// Motion and residual, luma, alpha or extra plane (32x32). With a null
// reference only the syntax is read. scratch: 16 rows of 16 bytes receiving
// the right quadrant of a half that is not stored.
void DecodeInterPlaneBlock(uint8_t *dst, const uint8_t *reference, uint32_t dst_stride,
                           uint32_t ref_stride, BitReader *reader, uint32_t flags,
                           const QuadrantPositions *positions, int32_t qi,
                           uint32_t *previous_pattern, uint8_t *scratch,
                           const HalfPelKernels *kernels);

// Motion and residual, one chroma plane (16x16). scratch: 8 rows of 16 bytes.
void DecodeInterChromaBlock(uint8_t *dst, const uint8_t *reference, uint32_t dst_stride,
                            uint32_t ref_stride, BitReader *reader,
                            const QuadrantPositions *positions, uint32_t flags, int32_t qi,
                            uint32_t *previous_pattern, uint8_t *scratch);

// Residual smoothing across the internal 8x8 edges of an inter residual of
// `blocks` x `blocks` 8x8 blocks (4 for 32x32, 2 for 16x16); pitch in values.
void SmoothResidual(int16_t *residual, int32_t pitch, uint32_t blocks, const uint16_t *words,
                    uint32_t flags);
