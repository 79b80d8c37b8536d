// Scalar references of the second-generation inverse transform and block
// kernels, and the block-kernel table.
#include "video/gen2/transform.h"

#include "engine/platform/cpu.h"
#include "video/gen2/coeffs.h"

#include <cstring>

// The references stay plain scalar code: they define the results the SIMD
// kernels must match, and the benchmark measures the kernels against them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-vectorize")
#endif

void InverseTransform1d(int16_t *x) {
  // Even part.
  const int16_t a0 = AddWrap16(x[0], x[4]);
  const int16_t a1 = SubWrap16(x[0], x[4]);
  const int16_t e2 = WrapToInt16(x[2] + ShiftRight16(x[2], 2) + ShiftRight16(x[6], 1));
  const int16_t e6 = WrapToInt16(ShiftRight16(x[2], 1) - x[6] - ShiftRight16(x[6], 2));
  const int16_t E0 = AddWrap16(a0, e2);
  const int16_t E3 = SubWrap16(a0, e2);
  const int16_t E1 = AddWrap16(a1, e6);
  const int16_t E2 = SubWrap16(a1, e6);
  // Odd part.
  const int16_t s = WrapToInt16(x[1] + x[3] + x[5]);
  const int16_t d = WrapToInt16(x[1] - x[3] - x[5]);
  const int16_t p = WrapToInt16(x[3] - x[5] + x[7]);
  const int16_t q = WrapToInt16(x[3] - x[5] - x[7]);
  const int16_t O0 = WrapToInt16(s + ShiftRight16(s, 2) - ShiftRight16(s, 4) + ShiftRight16(p, 2));
  const int16_t O1 = WrapToInt16(d + q - ShiftRight16(q, 2) - ShiftRight16(q, 4));
  const int16_t O2 = WrapToInt16(d - q - ShiftRight16(d, 2) - ShiftRight16(d, 4));
  const int16_t O3 = WrapToInt16(ShiftRight16(s, 2) + ShiftRight16(p, 4) - p - ShiftRight16(p, 2));
  x[0] = AddWrap16(E0, O0);
  x[7] = SubWrap16(E0, O0);
  x[1] = AddWrap16(E1, O1);
  x[6] = SubWrap16(E1, O1);
  x[2] = AddWrap16(E2, O2);
  x[5] = SubWrap16(E2, O2);
  x[3] = AddWrap16(E3, O3);
  x[4] = SubWrap16(E3, O3);
}

static void InverseTransform8x8Scalar(int16_t *out, int32_t out_pitch, const int16_t *k, uint32_t cls) {
  int16_t t[8][8];  // t[v][x]: pass-1 output of vertical frequency v, column x
  if (cls == 0) {
    const int16_t dc = ShiftRight16(k[0], 6);
    for (int y = 0; y < 8; ++y) {
      int16_t *row = reinterpret_cast<int16_t *>(reinterpret_cast<uint8_t *>(out) + y * out_pitch);
      for (int x = 0; x < 8; ++x) row[x] = dc;
    }
    return;
  }
  const int corner = cls <= 9 ? 4 : 8;  // classes 1-9 use the 4x4 low-frequency corner only
  for (int v = 0; v < 8; ++v) {
    for (int h = 0; h < 8; ++h) t[v][h] = (v < corner && h < corner) ? k[8 * h + v] : 0;
    InverseTransform1d(t[v]);
  }
  for (int x = 0; x < 8; ++x) {
    int16_t z[8];
    for (int v = 0; v < 8; ++v) z[v] = t[v][x];
    InverseTransform1d(z);
    for (int y = 0; y < 8; ++y) {
      int16_t *row = reinterpret_cast<int16_t *>(reinterpret_cast<uint8_t *>(out) + y * out_pitch);
      row[x] = ShiftRight16(z[y], 6);
    }
  }
}

void InverseTransform16x16Scalar(int16_t *out, const int16_t *coeffs, uint32_t classes, int32_t out_pitch) {
  for (int b = 0; b < 4; ++b) {
    int16_t *dst = reinterpret_cast<int16_t *>(reinterpret_cast<uint8_t *>(out) + (b >> 1) * 8 * out_pitch) +
                   (b & 1) * 8;
    InverseTransform8x8Scalar(dst, out_pitch, coeffs + 64 * b, (classes >> (8 * b)) & 0xFF);
  }
}

void PackRows16Scalar(uint8_t *dst, int32_t dst_stride, const int16_t *src) {
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 16; ++x) dst[r * dst_stride + x] = SaturateSample(src[16 * r + x]);
}

void CopyBlock16x16Scalar(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride) {
  for (int r = 0; r < 16; ++r) std::memcpy(dst + r * dst_stride, src + r * src_stride, 16);
}

void AddResidual16x8Scalar(uint8_t *dst, int32_t dst_stride, const int16_t *residual, int32_t residual_pitch,
                           const uint8_t *pred, int32_t pred_stride) {
  for (int r = 0; r < 8; ++r) {
    const int16_t *res = reinterpret_cast<const int16_t *>(reinterpret_cast<const uint8_t *>(residual) +
                                                           r * residual_pitch);
    for (int x = 0; x < 16; ++x)
      dst[r * dst_stride + x] = SaturateSample(AddWrap16(pred[r * pred_stride + x], res[x]));
  }
}

static inline int AvgRoundUp(int a, int b) { return (a + b + 1) >> 1; }

// Sum over 8 columns of the rounded pairwise average tree of 8 rows.
static int32_t AverageGroup8x8(const uint8_t *src, int32_t stride) {
  int32_t sum = 0;
  for (int x = 0; x < 8; ++x) {
    const uint8_t *c = src + x;
    const int lo = AvgRoundUp(AvgRoundUp(c[0], c[stride]), AvgRoundUp(c[2 * stride], c[3 * stride]));
    const int hi = AvgRoundUp(AvgRoundUp(c[4 * stride], c[5 * stride]), AvgRoundUp(c[6 * stride], c[7 * stride]));
    sum += AvgRoundUp(lo, hi);
  }
  return sum;
}

void AverageStrip32x8Scalar(int32_t *out, const uint8_t *src, int32_t stride) {
  for (int g = 0; g < 4; ++g) out[g] = AverageGroup8x8(src + 8 * g, stride);
}

void AverageBlock16x8Scalar(int32_t *out, const uint8_t *src, int32_t stride) {
  for (int g = 0; g < 2; ++g) out[g] = AverageGroup8x8(src + 8 * g, stride);
}

void AverageBlock8x8Scalar(int32_t *out, const uint8_t *src, int32_t stride) { out[0] = AverageGroup8x8(src, stride); }

void PrefetchRows8(const uint8_t *addr, int32_t stride) {
  // Address arithmetic in integers: the rows may lie past the plane's end, and
  // a prefetch never faults.
  const uintptr_t base = reinterpret_cast<uintptr_t>(addr);
  for (int r = 0; r < 8; ++r)
    __builtin_prefetch(reinterpret_cast<const void *>(base + static_cast<uintptr_t>(static_cast<intptr_t>(r) * stride)));
}

// Index of the 8x8 block at column bx, row by of `blocks` x `blocks` blocks
// (4: quadrant order, block k of quadrant q is 4q + k; 2: row order).
static inline uint32_t ResidualWordIndex(uint32_t blocks, uint32_t bx, uint32_t by) {
  return blocks == 4 ? 4 * ((by >> 1) * 2 + (bx >> 1)) + (by & 1) * 2 + (bx & 1) : by * 2 + bx;
}

// Smooths the 8 lines crossing one edge. p points at the first value after
// the edge in the first line; across is the step over the edge, along the
// step from one line to the next.
static void SmoothResidualEdgeScalar(int16_t *p, int32_t across, int32_t along, uint16_t wa, uint16_t wb) {
  if ((wa | wb) < 0x2000) return;
  const uint32_t ca = (wa >> 13) & 3, cb = (wb >> 13) & 3;
  if (ca == 3 && cb == 3) {
    int32_t diff = SubblockWordDc(wa) - SubblockWordDc(wb);
    if (diff < 0) diff = -diff;
    if (diff <= 32) return;
  }
  for (int line = 0; line < 8; ++line, p += along) {
    const int16_t p1 = p[-2 * across], p0 = p[-across], q0 = p[0], q1 = p[across];
    const int16_t d = SubWrap16(q0, p0);
    const int16_t s8 = ShiftRight16(AddWrap16(d, 4), 3);
    const int16_t s4 = ShiftRight16(AddWrap16(d, 2), 2);
    if (ca >= 2) p[-2 * across] = AddWrap16(p1, s8);
    if (ca >= 1) p[-across] = AddWrap16(p0, s4);
    if (cb >= 1) p[0] = SubWrap16(q0, s4);
    if (cb >= 2) p[across] = SubWrap16(q1, s8);
  }
}

void SmoothResidualEdgesScalar(int16_t *residual, int32_t pitch, uint32_t blocks, const uint16_t *words,
                               uint32_t edges) {
  if (edges & RESIDUAL_EDGES_COLUMNS) {
    for (uint32_t by = 0; by < blocks; ++by)
      for (uint32_t bx = 1; bx < blocks; ++bx)
        SmoothResidualEdgeScalar(residual + int32_t(8 * by) * pitch + int32_t(8 * bx), 1, pitch,
                                 words[ResidualWordIndex(blocks, bx - 1, by)],
                                 words[ResidualWordIndex(blocks, bx, by)]);
  }
  if (edges & RESIDUAL_EDGES_ROWS) {
    for (uint32_t by = 1; by < blocks; ++by)
      for (uint32_t bx = 0; bx < blocks; ++bx)
        SmoothResidualEdgeScalar(residual + int32_t(8 * by) * pitch + int32_t(8 * bx), pitch, 1,
                                 words[ResidualWordIndex(blocks, bx, by - 1)],
                                 words[ResidualWordIndex(blocks, bx, by)]);
  }
}

void InitBlockKernelsScalar(BlockKernelTable *table) {
  table->inverse_transform = InverseTransform16x16Scalar;
  table->pack_rows = PackRows16Scalar;
  table->copy_block = CopyBlock16x16Scalar;
  table->add_residual = AddResidual16x8Scalar;
  table->average_strip32x8 = AverageStrip32x8Scalar;
  table->average_block16x8 = AverageBlock16x8Scalar;
  table->average_block8x8 = AverageBlock8x8Scalar;
  table->smooth_residual = SmoothResidualEdgesScalar;
}

void FillBlockKernelTable(BlockKernelTable *table, uint32_t features) {
  InitBlockKernelsScalar(table);
  if (features & CPU_SSE2) InitBlockKernelsSse2(table);
}
