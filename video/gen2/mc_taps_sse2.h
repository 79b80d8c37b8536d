// SSE2 pieces shared by the SSE2 and SSSE3 half-sample kernels: the
// unaligned 16-byte load and the six-tap filter's final step on 16-bit lanes.
// SSE2 is the baseline of both builds, so either kernel file may use them.
#pragma once
#include <emmintrin.h>

#include <cstdint>

static inline __m128i Load16(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// (F + 8) >> 4 from the three tap sums, unsaturated: af = a + f,
// cd19 = 19 (c + d), be2 = 2 (b + e); F = af / 2 + cd19 / 2 - be2.
static inline __m128i CombineTaps(__m128i af, __m128i cd19, __m128i be2) {
  const __m128i F = _mm_sub_epi16(_mm_add_epi16(_mm_srai_epi16(af, 1), _mm_srai_epi16(cd19, 1)), be2);
  return _mm_srai_epi16(_mm_add_epi16(F, _mm_set1_epi16(8)), 4);
}

// The six-tap filter of rows (or columns) a..f held in 16-bit lanes.
static inline __m128i HalfPelTap(__m128i a, __m128i b, __m128i c, __m128i d, __m128i e, __m128i f) {
  return CombineTaps(_mm_add_epi16(a, f), _mm_mullo_epi16(_mm_add_epi16(c, d), _mm_set1_epi16(19)),
                     _mm_slli_epi16(_mm_add_epi16(b, e), 1));
}
