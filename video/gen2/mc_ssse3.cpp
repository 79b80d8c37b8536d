// SSSE3 half-sample kernels (slots 24-27 of MC_KERNEL_TABLE). The three tap
// sums are formed with multiply-adds of byte pairs (weights 1 and 1, 19 and 19,
// 2 and 2; at most 19 * 510, so pmaddubsw never saturates); the vertical pass
// of the two-dimensional kernel multiplies in 16-bit lanes. Bit-identical to
// the SSE2 set and the scalar references.
#include <tmmintrin.h>

#include "video/gen2/mc.h"
#include "video/gen2/mc_taps_sse2.h"

// Filter of 16 outputs from six byte vectors s[-2] .. s[3]; lo/hi unsaturated.
static inline void TapBytes(__m128i a, __m128i b, __m128i c, __m128i d, __m128i e, __m128i f, __m128i *lo,
                            __m128i *hi) {
  const __m128i ones = _mm_set1_epi8(1), w19 = _mm_set1_epi8(19), w2 = _mm_set1_epi8(2);
  *lo = CombineTaps(_mm_maddubs_epi16(_mm_unpacklo_epi8(a, f), ones), _mm_maddubs_epi16(_mm_unpacklo_epi8(c, d), w19),
                    _mm_maddubs_epi16(_mm_unpacklo_epi8(b, e), w2));
  *hi = CombineTaps(_mm_maddubs_epi16(_mm_unpackhi_epi8(a, f), ones), _mm_maddubs_epi16(_mm_unpackhi_epi8(c, d), w19),
                    _mm_maddubs_epi16(_mm_unpackhi_epi8(b, e), w2));
}

static inline void HorzRow(const uint8_t *p, __m128i *lo, __m128i *hi) {
  TapBytes(Load16(p - 2), Load16(p - 1), Load16(p), Load16(p + 1), Load16(p + 2), Load16(p + 3), lo, hi);
}

// A plain copy gains nothing from SSSE3: the SSE2 kernel serves both sets.
void McHpel16x16CopySsse3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  McHpel16x16Copy(src, dst, src_stride, dst_stride);
}

void McHpel16x16HorzSsse3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  for (int y = 0; y < 16; ++y) {
    __m128i lo, hi;
    HorzRow(src + y * src_stride, &lo, &hi);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + y * dst_stride), _mm_packus_epi16(lo, hi));
  }
}

void McHpel16x16VertSsse3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  // Source rows y-2 .. y+3, rotated through variables.
  __m128i r0 = Load16(src - 2 * src_stride), r1 = Load16(src - src_stride), r2 = Load16(src),
          r3 = Load16(src + src_stride), r4 = Load16(src + 2 * src_stride);
  const uint8_t *next = src + 3 * src_stride;
  for (int y = 0; y < 16; ++y) {
    const __m128i r5 = Load16(next);
    next += src_stride;
    __m128i lo, hi;
    TapBytes(r0, r1, r2, r3, r4, r5, &lo, &hi);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + y * dst_stride), _mm_packus_epi16(lo, hi));
    r0 = r1, r1 = r2, r2 = r3, r3 = r4, r4 = r5;
  }
}

void McHpel16x16BothSsse3(const uint8_t *src, uint8_t *dst, int32_t src_stride, int32_t dst_stride) {
  __m128i lo[21], hi[21];  // horizontal results of source rows -2..18
  for (int r = 0; r < 21; ++r) HorzRow(src + (r - 2) * src_stride, &lo[r], &hi[r]);
  for (int y = 0; y < 16; ++y) {
    const __m128i out_lo = HalfPelTap(lo[y], lo[y + 1], lo[y + 2], lo[y + 3], lo[y + 4], lo[y + 5]);
    const __m128i out_hi = HalfPelTap(hi[y], hi[y + 1], hi[y + 2], hi[y + 3], hi[y + 4], hi[y + 5]);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + y * dst_stride), _mm_packus_epi16(out_lo, out_hi));
  }
}

void InitMcKernelsSsse3(McKernelTable *table) {
  table->hpel_ssse3[0] = McHpel16x16CopySsse3;
  table->hpel_ssse3[1] = McHpel16x16VertSsse3;
  table->hpel_ssse3[2] = McHpel16x16HorzSsse3;
  table->hpel_ssse3[3] = McHpel16x16BothSsse3;
}
