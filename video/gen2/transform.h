// Second-generation inverse transform and the small block kernels around it:
// packing to bytes, residual smoothing and addition, block copy, DC-equivalent
// averages and the reference prefetch.
//
// The plain names are the kernels the decoder calls directly (SSE2 is the
// baseline of both builds). Each has a scalar reference (suffix Scalar) that
// computes bit-identical results; the tests and the benchmark reach both
// through a BlockKernelTable.
#pragma once
#include <cstdint>

#include "video/gen2/arith.h"

// ---- kernel signatures -------------------------------------------------------
// coeffs: four consecutive blocks of 64 coefficients (top-left, top-right,
// bottom-left, bottom-right), each indexed 8 * horizontal + vertical frequency.
// classes: byte k is the class of block k (scan position of its last coded
// coefficient). out_pitch: bytes between output rows (32 or 64).
typedef void (*InverseTransformKernel)(int16_t *out, const int16_t *coeffs, uint32_t classes,
                                       int32_t out_pitch);
// 8 rows of 16: dst = sat(src); src rows are 16 values apart.
typedef void (*PackRowsKernel)(uint8_t *dst, int32_t dst_stride, const int16_t *src);
// 16 rows of 16 bytes.
typedef void (*CopyBlockKernel)(uint8_t *dst, int32_t dst_stride, const uint8_t *src,
                                int32_t src_stride);
// 8 rows of 16: dst = sat(pred + residual); residual_pitch in bytes.
typedef void (*AddResidualKernel)(uint8_t *dst, int32_t dst_stride, const int16_t *residual,
                                  int32_t residual_pitch, const uint8_t *pred, int32_t pred_stride);
// DC-equivalents (0..2040) of the 8-column groups of an 8-row strip.
typedef void (*AverageKernel)(int32_t *out, const uint8_t *src, int32_t stride);
// Smoothing of an inter residual of blocks x blocks 8x8 blocks (4 or 2)
// across its internal 8x8 edges, in place: the vertical edges (with
// RESIDUAL_EDGES_COLUMNS), then the horizontal ones (RESIDUAL_EDGES_ROWS).
// pitch in values; words: the blocks' SubblockWords (intra bit clear) in
// quadrant order for 4 blocks, row order for 2. Each edge between 8x8 blocks
// A (left or above) and B is left alone when both classes are 0, or both 3
// with DCs at most 32 apart; otherwise in each of its 8 lines, with
// d = q0 - p0, s8 = (d + 4) >> 3 and s4 = (d + 2) >> 2 (16-bit wrapping,
// arithmetic shifts): p1 += s8 for class(A) >= 2, p0 += s4 for class(A) >= 1,
// q0 -= s4 for class(B) >= 1, q1 -= s8 for class(B) >= 2.
typedef void (*SmoothResidualKernel)(int16_t *residual, int32_t pitch, uint32_t blocks,
                                     const uint16_t *words, uint32_t edges);
enum : uint32_t {
  RESIDUAL_EDGES_COLUMNS = 1,  // the vertical edges at x = 8, 16, 24
  RESIDUAL_EDGES_ROWS = 2,     // the horizontal edges at y = 8, 16, 24
};

struct BlockKernelTable {
  InverseTransformKernel inverse_transform;  // InverseTransform16x16
  PackRowsKernel pack_rows;                  // PackRows16
  CopyBlockKernel copy_block;                // CopyBlock16x16
  AddResidualKernel add_residual;            // AddResidual16x8
  AverageKernel average_strip32x8;           // AverageStrip32x8, out[4]
  AverageKernel average_block16x8;           // AverageBlock16x8, out[2]
  AverageKernel average_block8x8;            // AverageBlock8x8, out[1]
  SmoothResidualKernel smooth_residual;      // SmoothResidualEdges
};

// Fills the table for a feature word: the scalar references, replaced by the
// SSE2 kernels when the word has CPU_SSE2.
void FillBlockKernelTable(BlockKernelTable *table, uint32_t features);
void InitBlockKernelsScalar(BlockKernelTable *table);
void InitBlockKernelsSse2(BlockKernelTable *table);

// ---- the kernels the decoder calls (SSE2) ------------------------------------
// Rows of the 16-wide kernels (destination, prediction, residual, both sides of
// the copy, the sources of the 32x8 and 16x8 averages) are 16-byte aligned.
void InverseTransform16x16(int16_t *out, const int16_t *coeffs, uint32_t classes, int32_t out_pitch);
void PackRows16(uint8_t *dst, int32_t dst_stride, const int16_t *src);
void CopyBlock16x16(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride);
void AddResidual16x8(uint8_t *dst, int32_t dst_stride, const int16_t *residual, int32_t residual_pitch,
                     const uint8_t *pred, int32_t pred_stride);
void AverageStrip32x8(int32_t *out, const uint8_t *src, int32_t stride);  // out[4]
void AverageBlock16x8(int32_t *out, const uint8_t *src, int32_t stride);  // out[2]
void AverageBlock8x8(int32_t *out, const uint8_t *src, int32_t stride);   // out[1]
void SmoothResidualEdges(int16_t *residual, int32_t pitch, uint32_t blocks, const uint16_t *words,
                         uint32_t edges);
// Cache hint for the first byte of each of the 8 rows from addr; no effect on
// results, never faults.
void PrefetchRows8(const uint8_t *addr, int32_t stride);

// ---- scalar references ---------------------------------------------------------
void InverseTransform16x16Scalar(int16_t *out, const int16_t *coeffs, uint32_t classes,
                                 int32_t out_pitch);
void PackRows16Scalar(uint8_t *dst, int32_t dst_stride, const int16_t *src);
void CopyBlock16x16Scalar(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride);
void AddResidual16x8Scalar(uint8_t *dst, int32_t dst_stride, const int16_t *residual,
                           int32_t residual_pitch, const uint8_t *pred, int32_t pred_stride);
void AverageStrip32x8Scalar(int32_t *out, const uint8_t *src, int32_t stride);
void AverageBlock16x8Scalar(int32_t *out, const uint8_t *src, int32_t stride);
void AverageBlock8x8Scalar(int32_t *out, const uint8_t *src, int32_t stride);
void SmoothResidualEdgesScalar(int16_t *residual, int32_t pitch, uint32_t blocks, const uint16_t *words,
                               uint32_t edges);

// One-dimensional inverse transform of eight values in place (16-bit wrapping).
void InverseTransform1d(int16_t *x);
