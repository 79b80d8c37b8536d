// The audio FFT kernels that use SSE3's add-subtract and duplicate
// instructions; same operands in the same order as the kernels without.
#include <pmmintrin.h>

#include "audio/codec/audio_fft_kernels.h"
#include "audio/codec/audio_fft_simd.h"
#include "audio/codec/audio_transform.h"

namespace {

struct Sse3Ops {
  static __m128 Products(__m128 u, __m128 w, __m128 *b) {
    *b = _mm_mul_ps(SwapParts(u), _mm_movehdup_ps(w));
    return _mm_mul_ps(u, _mm_moveldup_ps(w));
  }
  static __m128 Mul(__m128 u, __m128 w) {
    __m128 b, a = Products(u, w, &b);
    return _mm_addsub_ps(a, b);
  }
  static __m128 MulConj(__m128 u, __m128 w) {
    __m128 b, a = Products(u, w, &b);
    return _mm_addsub_ps(a, _mm_xor_ps(b, SignOfAll()));
  }
  static __m128 SubConj(__m128 a, __m128 b) { return _mm_addsub_ps(a, b); }
};

}  // namespace

void RealFftForwardSplitSse3(float *data, uint32_t pair_limit, uint32_t quarter) {
  SplitVector<Sse3Ops, true>(data, pair_limit, quarter);
}
void RealFftInverseSplitSse3(float *data, uint32_t pair_limit, uint32_t quarter) {
  SplitVector<Sse3Ops, false>(data, pair_limit, quarter);
}
void Radix4PassSse3(float *data, const uint16_t *schedule, uint32_t quarter_limit) {
  CombinePasses<Sse3Ops, false>(data, schedule, quarter_limit);
}
void Radix4PassConjugateSse3(float *data, const uint16_t *schedule, uint32_t quarter_limit) {
  CombinePasses<Sse3Ops, true>(data, schedule, quarter_limit);
}
void PostRotateSse3(float *dst, const float *src, uint32_t n, uint32_t count,
                    const float *twiddles) {
  PostRotateVector<Sse3Ops>(dst, src, n, count, twiddles);
}

const AudioKernels AUDIO_KERNELS_SSE3 = {
    RealFftForwardSplitSse3, RealFftInverseSplitSse3, Radix4PassSse3, Radix4PassConjugateSse3,
    FirstRadix4Pass,         FirstButterflyPass,      SplitEvenOdd,   JoinEvenOdd,
    FloatToPcm,              FloatToPcmInterleaved,   PostRotateSse3, PreRotate,
};
