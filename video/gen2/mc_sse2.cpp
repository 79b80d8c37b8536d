// SSE2 motion-compensation kernels (slots 0-15 and 20-23 of MC_KERNEL_TABLE).
// Bit-identical to the scalar references in mc.cpp.
#include <emmintrin.h>

#include "video/gen2/mc.h"
#include "video/gen2/mc_taps_sse2.h"

// ---- quarter-sample 8x8 -----------------------------------------------------------
// Each row is first weighted horizontally, h = (4 - fx) p + fx q (0..1020), then
// consecutive rows vertically, ((4 - fy) h0 + fy h1 + 8) >> 4 (at most 4088):
// exactly the bilinear formula, every step in 16-bit lanes without overflow.

template <int FX>
static inline __m128i QpelRow(const uint8_t *p) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i a = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)), zero);
  if (FX == 0) return _mm_slli_epi16(a, 2);
  const __m128i b = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 1)), zero);
  if (FX == 2) return _mm_slli_epi16(_mm_add_epi16(a, b), 1);
  return _mm_add_epi16(_mm_mullo_epi16(a, _mm_set1_epi16(4 - FX)), _mm_mullo_epi16(b, _mm_set1_epi16(FX)));
}

template <int FX, int FY>
static inline void QpelSse2(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  const __m128i round = _mm_set1_epi16(8);
  __m128i h0 = QpelRow<FX>(src);
  for (int y = 0; y < 8; ++y) {
    __m128i v;
    if (FY == 0) {
      v = _mm_slli_epi16(h0, 2);
    } else {
      const __m128i h1 = QpelRow<FX>(src + (y + 1) * src_stride);
      if (FY == 2)
        v = _mm_slli_epi16(_mm_add_epi16(h0, h1), 1);
      else
        v = _mm_add_epi16(_mm_mullo_epi16(h0, _mm_set1_epi16(4 - FY)), _mm_mullo_epi16(h1, _mm_set1_epi16(FY)));
      h0 = h1;
    }
    if (FY == 0 && y < 7) h0 = QpelRow<FX>(src + (y + 1) * src_stride);
    v = _mm_srai_epi16(_mm_add_epi16(v, round), 4);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + y * dst_stride), _mm_packus_epi16(v, v));
  }
}

#define VOSH_QPEL(name, fx, fy)                                                            \
  void name(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) { \
    QpelSse2<fx, fy>(src, dst, src_stride, dst_stride);                                  \
  }
VOSH_QPEL(McQpel8x8Dx0Dy0, 0, 0)
VOSH_QPEL(McQpel8x8Dx0Dy1, 0, 1)
VOSH_QPEL(McQpel8x8Dx0Dy2, 0, 2)
VOSH_QPEL(McQpel8x8Dx0Dy3, 0, 3)
VOSH_QPEL(McQpel8x8Dx1Dy0, 1, 0)
VOSH_QPEL(McQpel8x8Dx1Dy1, 1, 1)
VOSH_QPEL(McQpel8x8Dx1Dy2, 1, 2)
VOSH_QPEL(McQpel8x8Dx1Dy3, 1, 3)
VOSH_QPEL(McQpel8x8Dx2Dy0, 2, 0)
VOSH_QPEL(McQpel8x8Dx2Dy1, 2, 1)
VOSH_QPEL(McQpel8x8Dx2Dy2, 2, 2)
VOSH_QPEL(McQpel8x8Dx2Dy3, 2, 3)
VOSH_QPEL(McQpel8x8Dx3Dy0, 3, 0)
VOSH_QPEL(McQpel8x8Dx3Dy1, 3, 1)
VOSH_QPEL(McQpel8x8Dx3Dy2, 3, 2)
VOSH_QPEL(McQpel8x8Dx3Dy3, 3, 3)
#undef VOSH_QPEL

// ---- half-sample 16x16 ---------------------------------------------------------------

// Horizontal filter of one row's 16 outputs (reads columns -2..18), unsaturated.
static inline void HorzRow(const uint8_t *p, __m128i *lo, __m128i *hi) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i a = Load16(p - 2), b = Load16(p - 1), c = Load16(p), d = Load16(p + 1), e = Load16(p + 2),
                f = Load16(p + 3);
  *lo = HalfPelTap(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(c, zero),
                   _mm_unpacklo_epi8(d, zero), _mm_unpacklo_epi8(e, zero), _mm_unpacklo_epi8(f, zero));
  *hi = HalfPelTap(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(c, zero),
                   _mm_unpackhi_epi8(d, zero), _mm_unpackhi_epi8(e, zero), _mm_unpackhi_epi8(f, zero));
}

void McHpel16x16Copy(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  for (int y = 0; y < 16; ++y)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + y * dst_stride), Load16(src + y * src_stride));
}

void McHpel16x16Horz(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  for (int y = 0; y < 16; ++y) {
    __m128i lo, hi;
    HorzRow(src + y * src_stride, &lo, &hi);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + y * dst_stride), _mm_packus_epi16(lo, hi));
  }
}

void McHpel16x16Vert(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  const __m128i zero = _mm_setzero_si128();
  // Six-row window of widened source rows y-2 .. y+3, rotated through
  // variables (an array shift would go through memory).
  __m128i r = Load16(src - 2 * src_stride);
  __m128i lo0 = _mm_unpacklo_epi8(r, zero), hi0 = _mm_unpackhi_epi8(r, zero);
  r = Load16(src - src_stride);
  __m128i lo1 = _mm_unpacklo_epi8(r, zero), hi1 = _mm_unpackhi_epi8(r, zero);
  r = Load16(src);
  __m128i lo2 = _mm_unpacklo_epi8(r, zero), hi2 = _mm_unpackhi_epi8(r, zero);
  r = Load16(src + src_stride);
  __m128i lo3 = _mm_unpacklo_epi8(r, zero), hi3 = _mm_unpackhi_epi8(r, zero);
  r = Load16(src + 2 * src_stride);
  __m128i lo4 = _mm_unpacklo_epi8(r, zero), hi4 = _mm_unpackhi_epi8(r, zero);
  const uint8_t *next = src + 3 * src_stride;
  for (int y = 0; y < 16; ++y) {
    r = Load16(next);
    next += src_stride;
    const __m128i lo5 = _mm_unpacklo_epi8(r, zero), hi5 = _mm_unpackhi_epi8(r, zero);
    const __m128i out_lo = HalfPelTap(lo0, lo1, lo2, lo3, lo4, lo5);
    const __m128i out_hi = HalfPelTap(hi0, hi1, hi2, hi3, hi4, hi5);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + y * dst_stride), _mm_packus_epi16(out_lo, out_hi));
    lo0 = lo1, lo1 = lo2, lo2 = lo3, lo3 = lo4, lo4 = lo5;
    hi0 = hi1, hi1 = hi2, hi2 = hi3, hi3 = hi4, hi4 = hi5;
  }
}

void McHpel16x16Both(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  // Horizontal results of source rows -2..18, unsaturated 16-bit.
  __m128i lo[21], hi[21];
  for (int r = 0; r < 21; ++r) HorzRow(src + (r - 2) * src_stride, &lo[r], &hi[r]);
  for (int y = 0; y < 16; ++y) {
    const __m128i out_lo = HalfPelTap(lo[y], lo[y + 1], lo[y + 2], lo[y + 3], lo[y + 4], lo[y + 5]);
    const __m128i out_hi = HalfPelTap(hi[y], hi[y + 1], hi[y + 2], hi[y + 3], hi[y + 4], hi[y + 5]);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + y * dst_stride), _mm_packus_epi16(out_lo, out_hi));
  }
}

void InitMcKernelsSse2(McKernelTable *table) {
  const McKernel qpel[16] = {McQpel8x8Dx0Dy0, McQpel8x8Dx0Dy1, McQpel8x8Dx0Dy2, McQpel8x8Dx0Dy3,
                             McQpel8x8Dx1Dy0, McQpel8x8Dx1Dy1, McQpel8x8Dx1Dy2, McQpel8x8Dx1Dy3,
                             McQpel8x8Dx2Dy0, McQpel8x8Dx2Dy1, McQpel8x8Dx2Dy2, McQpel8x8Dx2Dy3,
                             McQpel8x8Dx3Dy0, McQpel8x8Dx3Dy1, McQpel8x8Dx3Dy2, McQpel8x8Dx3Dy3};
  for (int i = 0; i < 16; ++i) table->qpel[i] = qpel[i];
  table->smooth_dc[0] = SmoothDcNone;
  table->smooth_dc[1] = SmoothDcLeft;
  table->smooth_dc[2] = SmoothDcRight;
  table->smooth_dc[3] = SmoothDcBoth;
  const McKernel hpel[4] = {McHpel16x16Copy, McHpel16x16Vert, McHpel16x16Horz, McHpel16x16Both};
  for (int i = 0; i < 4; ++i) {
    table->hpel_sse2[i] = hpel[i];
    table->hpel_ssse3[i] = hpel[i];  // replaced by the SSSE3 set when the processor has it
  }
}
