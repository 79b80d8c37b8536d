// Scalar references of the motion-compensation kernels and the kernel tables.
#include "video/gen2/mc.h"

#include "engine/platform/cpu.h"
#include "video/gen2/transform.h"

#include <cstring>

// The references stay plain scalar code: they define the results the SIMD
// kernels must match, and the benchmark measures the kernels against them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-vectorize")
#endif

// ---- quarter-sample 8x8 ------------------------------------------------------

void McQpel8x8Scalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride, int fx, int fy) {
  const int w_tl = (4 - fx) * (4 - fy), w_tr = fx * (4 - fy), w_bl = (4 - fx) * fy, w_br = fx * fy;
  for (int y = 0; y < 8; ++y) {
    const uint8_t *r0 = src + y * src_stride;
    // Column 8 and row 8 are read only when their weight is not zero.
    const uint8_t *r1 = fy ? r0 + src_stride : r0;
    for (int x = 0; x < 8; ++x) {
      const int x1 = fx ? x + 1 : x;
      const int v = w_tl * r0[x] + w_tr * r0[x1] + w_bl * r1[x] + w_br * r1[x1] + 8;
      dst[y * dst_stride + x] = SaturateSample(v >> 4);
    }
  }
}

template <int FX, int FY>
static void McQpelScalarSlot(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  McQpel8x8Scalar(src, dst, src_stride, dst_stride, FX, FY);
}

// ---- half-sample 16x16 ---------------------------------------------------------

// Six-tap half-sample filter 1, -4, 19, 19, -4, 1 with its two early halvings;
// returns (F + 8) >> 4 before saturation. a..f are s[-2] .. s[3].
static inline int HalfPelTap(int a, int b, int c, int d, int e, int f) {
  const int F = ((a + f) >> 1) + ((19 * (c + d)) >> 1) - 2 * (b + e);
  return (F + 8) >> 4;
}

void McHpel16x16CopyScalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  for (int y = 0; y < 16; ++y) std::memcpy(dst + y * dst_stride, src + y * src_stride, 16);
}

void McHpel16x16VertScalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const uint8_t *c = src + y * src_stride + x;
      dst[y * dst_stride + x] = SaturateSample(HalfPelTap(c[-2 * src_stride], c[-src_stride], c[0], c[src_stride],
                                                c[2 * src_stride], c[3 * src_stride]));
    }
}

void McHpel16x16HorzScalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      const uint8_t *c = src + y * src_stride + x;
      dst[y * dst_stride + x] = SaturateSample(HalfPelTap(c[-2], c[-1], c[0], c[1], c[2], c[3]));
    }
}

void McHpel16x16BothScalar(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  // Horizontal results of source rows -2..18, kept unsaturated (-64..319).
  int16_t t[21][16];
  for (int r = 0; r < 21; ++r)
    for (int x = 0; x < 16; ++x) {
      const uint8_t *c = src + (r - 2) * src_stride + x;
      t[r][x] = static_cast<int16_t>(HalfPelTap(c[-2], c[-1], c[0], c[1], c[2], c[3]));
    }
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x)
      dst[y * dst_stride + x] =
          SaturateSample(HalfPelTap(t[y][x], t[y + 1][x], t[y + 2][x], t[y + 3][x], t[y + 4][x], t[y + 5][x]));
}

// ---- tables ------------------------------------------------------------------------

void InitMcKernelsScalar(McKernelTable *table) {
  table->qpel[0] = McQpelScalarSlot<0, 0>;
  table->qpel[1] = McQpelScalarSlot<0, 1>;
  table->qpel[2] = McQpelScalarSlot<0, 2>;
  table->qpel[3] = McQpelScalarSlot<0, 3>;
  table->qpel[4] = McQpelScalarSlot<1, 0>;
  table->qpel[5] = McQpelScalarSlot<1, 1>;
  table->qpel[6] = McQpelScalarSlot<1, 2>;
  table->qpel[7] = McQpelScalarSlot<1, 3>;
  table->qpel[8] = McQpelScalarSlot<2, 0>;
  table->qpel[9] = McQpelScalarSlot<2, 1>;
  table->qpel[10] = McQpelScalarSlot<2, 2>;
  table->qpel[11] = McQpelScalarSlot<2, 3>;
  table->qpel[12] = McQpelScalarSlot<3, 0>;
  table->qpel[13] = McQpelScalarSlot<3, 1>;
  table->qpel[14] = McQpelScalarSlot<3, 2>;
  table->qpel[15] = McQpelScalarSlot<3, 3>;
  table->smooth_dc[0] = SmoothDcNoneScalar;
  table->smooth_dc[1] = SmoothDcLeftScalar;
  table->smooth_dc[2] = SmoothDcRightScalar;
  table->smooth_dc[3] = SmoothDcBothScalar;
  const McKernel hpel[4] = {McHpel16x16CopyScalar, McHpel16x16VertScalar, McHpel16x16HorzScalar,
                            McHpel16x16BothScalar};
  for (int i = 0; i < 4; ++i) {
    table->hpel_sse2[i] = hpel[i];
    table->hpel_ssse3[i] = hpel[i];
  }
}

void FillMcKernelTable(McKernelTable *table, uint32_t features) {
  InitMcKernelsScalar(table);
  if (features & CPU_SSE2) InitMcKernelsSse2(table);
  if ((features & (CPU_SSE2 | CPU_SSSE3)) == (CPU_SSE2 | CPU_SSSE3)) InitMcKernelsSsse3(table);
}

const McKernelTable MC_KERNEL_TABLE = {
    {McQpel8x8Dx0Dy0, McQpel8x8Dx0Dy1, McQpel8x8Dx0Dy2, McQpel8x8Dx0Dy3, McQpel8x8Dx1Dy0, McQpel8x8Dx1Dy1,
     McQpel8x8Dx1Dy2, McQpel8x8Dx1Dy3, McQpel8x8Dx2Dy0, McQpel8x8Dx2Dy1, McQpel8x8Dx2Dy2, McQpel8x8Dx2Dy3,
     McQpel8x8Dx3Dy0, McQpel8x8Dx3Dy1, McQpel8x8Dx3Dy2, McQpel8x8Dx3Dy3},
    {SmoothDcNone, SmoothDcLeft, SmoothDcRight, SmoothDcBoth},
    {McHpel16x16Copy, McHpel16x16Vert, McHpel16x16Horz, McHpel16x16Both},
    {McHpel16x16CopySsse3, McHpel16x16VertSsse3, McHpel16x16HorzSsse3, McHpel16x16BothSsse3},
};
