// The crossfade of two blocks with MMX, for 32-bit processors without SSE2;
// four 16-bit values at a time, the same samples as the other forms.
#include "audio/codec/audio_decoder_kernels.h"

#if defined(__i386__)
#include <mmintrin.h>

#include <cstring>

void CrossfadeMmx(int16_t *cur, const int16_t *prev, uint32_t n, uint32_t shift) {
  const __m64 step = _mm_set_pi16(3, 2, 1, 0);
  const __m64 total = _mm_set1_pi16(static_cast<int16_t>(n));
  const __m64 count = _mm_cvtsi32_si64(static_cast<int>(shift));
  for (uint32_t i = 0; i < n; i += 4) {
    __m64 c, p;
    memcpy(&c, cur + i, 8);
    memcpy(&p, prev + i, 8);
    __m64 wc = _mm_add_pi16(_mm_set1_pi16(static_cast<int16_t>(i)), step);
    __m64 wp = _mm_sub_pi16(total, wc);
    __m64 lo = _mm_madd_pi16(_mm_unpacklo_pi16(c, p), _mm_unpacklo_pi16(wc, wp));
    __m64 hi = _mm_madd_pi16(_mm_unpackhi_pi16(c, p), _mm_unpackhi_pi16(wc, wp));
    lo = _mm_sra_pi32(lo, count);
    hi = _mm_sra_pi32(hi, count);
    __m64 r = _mm_packs_pi32(lo, hi);
    memcpy(cur + i, &r, 8);
  }
  _mm_empty();
}
#endif
