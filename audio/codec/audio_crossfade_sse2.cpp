// The crossfade of two blocks, eight 16-bit values at a time.
#include <emmintrin.h>

#include "audio/codec/audio_decoder_kernels.h"

void CrossfadeSse2(int16_t *cur, const int16_t *prev, uint32_t n, uint32_t shift) {
  const __m128i step = _mm_set_epi16(7, 6, 5, 4, 3, 2, 1, 0);
  const __m128i total = _mm_set1_epi16(static_cast<int16_t>(n));
  const __m128i count = _mm_cvtsi32_si128(static_cast<int>(shift));
  for (uint32_t i = 0; i < n; i += 8) {
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cur + i));
    __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i *>(prev + i));
    __m128i wc = _mm_add_epi16(_mm_set1_epi16(static_cast<int16_t>(i)), step);
    __m128i wp = _mm_sub_epi16(total, wc);
    __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi16(c, p), _mm_unpacklo_epi16(wc, wp));
    __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi16(c, p), _mm_unpackhi_epi16(wc, wp));
    lo = _mm_sra_epi32(lo, count);
    hi = _mm_sra_epi32(hi, count);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(cur + i), _mm_packs_epi32(lo, hi));
  }
}
