// Second-generation motion-compensation kernels and the DC-smoothing kernels,
// reached through MC_KERNEL_TABLE in its fixed slot order.
#pragma once
#include <cstdint>

// Every motion-compensation kernel: src is the reference plane at the integer
// sample position of the block's top-left corner; the kernel writes exactly its
// block (8x8 or 16x16) at dst and nothing else.
//
// Reads: the 8x8 quarter-sample kernels read column 8 only with a horizontal
// phase and row 8 only with a vertical phase. The 16x16 half-sample kernels
// read columns -2..18 when filtering horizontally and rows -2..18 when
// filtering vertically. The 16x16 kernels store aligned 16-byte rows: dst and
// dst_stride must be multiples of 16.
typedef void (*McKernel)(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);

// DC smoothing of DC-only intra 8x8 blocks. above, own and below each point to
// four consecutive words of one 8x8 row: left neighbour, block A, block B,
// right neighbour. threshold points to eight equal 16-bit lanes (the frame's
// threshold times 8, 0..2040). dst is the top-left pixel of A; the kernel
// writes 8 rows of A (left), of B (right) or of both (16 bytes a row).
typedef void (*SmoothDcKernel)(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                               const uint16_t *threshold, uint8_t *dst, int32_t stride);

enum : uint32_t {
  MC_SLOT_QPEL_FIRST = 0,     // slots 0..15: quarter-sample 8x8, slot = 4 * fx + fy
  MC_SLOT_SMOOTH_FIRST = 16,  // slots 16..19: none, left, right, both
  MC_SLOT_HPEL_SSE2 = 20,     // slots 20..23: copy, vertical, horizontal, both
  MC_SLOT_HPEL_SSSE3 = 24,    // slots 24..27: the same for SSSE3
  MC_SLOT_COUNT = 28,
};

// The 28 slots in their fixed order, as typed members.
struct McKernelTable {
  McKernel qpel[16];            // slots 0-15, index 4 * fx + fy (quarter samples)
  SmoothDcKernel smooth_dc[4];  // slots 16-19, index (A DC-only) + 2 * (B DC-only)
  McKernel hpel_sse2[4];        // slots 20-23, index 2 * hx + hy
  McKernel hpel_ssse3[4];       // slots 24-27, index 2 * hx + hy
};

// The decoder's constant table: SSE2 kernels in slots 0-23, SSSE3 kernels in
// slots 24-27 (reached only when the processor has SSSE3).
extern const McKernelTable MC_KERNEL_TABLE;

// A table for a feature word: scalar references everywhere, SSE2 kernels with
// CPU_SSE2, and with CPU_SSSE3 the SSSE3 set in slots 24-27. Slots 24-27 hold
// the best set the word allows (never an instruction set it lacks).
void FillMcKernelTable(McKernelTable *table, uint32_t features);
void InitMcKernelsScalar(McKernelTable *table);
void InitMcKernelsSse2(McKernelTable *table);
void InitMcKernelsSsse3(McKernelTable *table);

// ---- scalar references -----------------------------------------------------
void McQpel8x8Scalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride,
                     int fx, int fy);
void McHpel16x16CopyScalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McHpel16x16VertScalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McHpel16x16HorzScalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McHpel16x16BothScalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void SmoothDcNoneScalar(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                        const uint16_t *threshold, uint8_t *dst, int32_t stride);
void SmoothDcLeftScalar(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                        const uint16_t *threshold, uint8_t *dst, int32_t stride);
void SmoothDcRightScalar(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                         const uint16_t *threshold, uint8_t *dst, int32_t stride);
void SmoothDcBothScalar(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                        const uint16_t *threshold, uint8_t *dst, int32_t stride);

// ---- SSE2 kernels (slots 0-23) ------------------------------------------------
void McQpel8x8Dx0Dy0(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx0Dy1(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx0Dy2(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx0Dy3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx1Dy0(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx1Dy1(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx1Dy2(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx1Dy3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx2Dy0(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx2Dy1(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx2Dy2(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx2Dy3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx3Dy0(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx3Dy1(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx3Dy2(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McQpel8x8Dx3Dy3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void SmoothDcNone(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                  const uint16_t *threshold, uint8_t *dst, int32_t stride);
void SmoothDcLeft(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                  const uint16_t *threshold, uint8_t *dst, int32_t stride);
void SmoothDcRight(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                   const uint16_t *threshold, uint8_t *dst, int32_t stride);
void SmoothDcBoth(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                  const uint16_t *threshold, uint8_t *dst, int32_t stride);
void McHpel16x16Copy(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McHpel16x16Vert(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McHpel16x16Horz(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McHpel16x16Both(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);

// ---- SSSE3 kernels (slots 24-27) ----------------------------------------------
void McHpel16x16CopySsse3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McHpel16x16VertSsse3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McHpel16x16HorzSsse3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
void McHpel16x16BothSsse3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride);
