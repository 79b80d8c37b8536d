// The audio FFT kernels without SSE3 (sign masks and shuffles), and the
// kernels that both tables share.
#include <emmintrin.h>

#include "audio/codec/audio_fft_groups.h"
#include "audio/codec/audio_fft_kernels.h"
#include "audio/codec/audio_fft_simd.h"
#include "audio/codec/audio_transform.h"

namespace {

struct SseOps {
  static __m128 Products(__m128 u, __m128 w, __m128 *b) {
    __m128 wre = _mm_shuffle_ps(w, w, _MM_SHUFFLE(2, 2, 0, 0));
    __m128 wim = _mm_shuffle_ps(w, w, _MM_SHUFFLE(3, 3, 1, 1));
    *b = _mm_mul_ps(SwapParts(u), wim);
    return _mm_mul_ps(u, wre);
  }
  // u * w for two complex values.
  static __m128 Mul(__m128 u, __m128 w) {
    __m128 b, a = Products(u, w, &b);
    return _mm_add_ps(a, _mm_xor_ps(b, SignOfReals()));
  }
  // u * conj(w).
  static __m128 MulConj(__m128 u, __m128 w) {
    __m128 b, a = Products(u, w, &b);
    return _mm_add_ps(a, _mm_xor_ps(b, SignOfImags()));
  }
  // a - conj(b).
  static __m128 SubConj(__m128 a, __m128 b) { return _mm_sub_ps(a, _mm_xor_ps(b, SignOfImags())); }
};

void RealFftForwardSplit(float *data, uint32_t pair_limit, uint32_t quarter) {
  SplitVector<SseOps, true>(data, pair_limit, quarter);
}
void RealFftInverseSplit(float *data, uint32_t pair_limit, uint32_t quarter) {
  SplitVector<SseOps, false>(data, pair_limit, quarter);
}
void Radix4Pass(float *data, const uint16_t *schedule, uint32_t quarter_limit) {
  CombinePasses<SseOps, false>(data, schedule, quarter_limit);
}
void Radix4PassConjugate(float *data, const uint16_t *schedule, uint32_t quarter_limit) {
  CombinePasses<SseOps, true>(data, schedule, quarter_limit);
}
void PostRotate(float *dst, const float *src, uint32_t n, uint32_t count, const float *tw) {
  PostRotateVector<SseOps>(dst, src, n, count, tw);
}

// The four results of two groups to their positions.
inline void StoreGroups(float *out, const uint16_t *positions, uint32_t a, __m128 o0, __m128 o1,
                        __m128 o2, __m128 o3) {
  float *p = out + 2 * positions[a];
  _mm_storeu_ps(p, _mm_movelh_ps(o0, o1));
  _mm_storeu_ps(p + 4, _mm_movelh_ps(o2, o3));
  float *q = out + 2 * positions[a + 1];
  _mm_storeu_ps(q, _mm_movehl_ps(o1, o0));
  _mm_storeu_ps(q + 4, _mm_movehl_ps(o3, o2));
}

// Saturating conversion of four scaled values: clamped first, so values of
// any size (and NaN, which goes low) stay in range, then rounded to nearest.
inline __m128i ToInt(__m128 x) {
  x = _mm_max_ps(x, _mm_set1_ps(-32768.0f));
  x = _mm_min_ps(x, _mm_set1_ps(32767.0f));
  return _mm_cvtps_epi32(x);
}

// New samples 2j .. 2j + 7 of a block.
inline __m128i EightSamples(const float *src, uint32_t n, uint32_t j, __m128 scale) {
  __m128 a = _mm_mul_ps(_mm_loadu_ps(src + j), scale);
  __m128 b = _mm_loadu_ps(src + n - 4 - j);
  b = _mm_mul_ps(_mm_shuffle_ps(b, b, _MM_SHUFFLE(0, 1, 2, 3)), scale);
  return _mm_packs_epi32(ToInt(_mm_unpacklo_ps(a, b)), ToInt(_mm_unpackhi_ps(a, b)));
}

}  // namespace

void FirstRadix4Pass(float *out, const float *in0, const float *in1, const float *in2,
                     const float *in3, uint32_t first, uint32_t end, const uint16_t *positions) {
  uint32_t a = first;
  if (a < end && (a & 1)) FirstRadix4Group(out, in0, in1, in2, in3, a++, positions);
  for (; a + 2 <= end; a += 2) {
    __m128 x0 = _mm_loadu_ps(in0 + 2 * a), x1 = _mm_loadu_ps(in1 + 2 * a);
    __m128 x2 = _mm_loadu_ps(in2 + 2 * a), x3 = _mm_loadu_ps(in3 + 2 * a);
    __m128 s02 = _mm_add_ps(x0, x2), d02 = _mm_sub_ps(x0, x2);
    __m128 s13 = _mm_add_ps(x1, x3), d13 = _mm_sub_ps(x1, x3);
    __m128 m = _mm_xor_ps(SwapParts(d13), SignOfImags());
    StoreGroups(out, positions, a, _mm_add_ps(s02, s13), _mm_add_ps(d02, m),
                _mm_sub_ps(s02, s13), _mm_sub_ps(d02, m));
  }
  if (a < end) FirstRadix4Group(out, in0, in1, in2, in3, a, positions);
}

void FirstButterflyPass(float *out, const float *in0, const float *in1, const float *in2,
                        const float *in3, uint32_t first, uint32_t end,
                        const uint16_t *positions) {
  uint32_t a = first;
  if (a < end && (a & 1)) FirstButterflyGroup(out, in0, in1, in2, in3, a++, positions);
  for (; a + 2 <= end; a += 2) {
    __m128 x0 = _mm_loadu_ps(in0 + 2 * a), x1 = _mm_loadu_ps(in1 + 2 * a);
    __m128 x2 = _mm_loadu_ps(in2 + 2 * a), x3 = _mm_loadu_ps(in3 + 2 * a);
    StoreGroups(out, positions, a, _mm_add_ps(x0, x2), _mm_sub_ps(x0, x2), _mm_add_ps(x3, x1),
                _mm_sub_ps(x3, x1));
  }
  if (a < end) FirstButterflyGroup(out, in0, in1, in2, in3, a, positions);
}

void SplitEvenOdd(uint32_t *dst, const uint32_t *src, uint32_t n) {
  for (uint32_t j = 0; j < n / 2; j++) {
    dst[j] = src[2 * j];
    dst[n - 1 - j] = src[2 * j + 1];
  }
}

void JoinEvenOdd(uint32_t *dst, const uint32_t *src, uint32_t n) {
  for (uint32_t j = 0; j < n / 2; j++) {
    dst[2 * j] = src[j];
    dst[2 * j + 1] = src[n - 1 - j];
  }
}

void FloatToPcm(int16_t *out, const float *src, uint32_t n, float scale) {
  const __m128 s = _mm_set1_ps(scale);
  for (uint32_t j = 0; j < n / 2; j += 4)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * j), EightSamples(src, n, j, s));
}

void FloatToPcmInterleaved(int16_t *out, const int16_t *first, const float *src, uint32_t n,
                           float scale) {
  const __m128 s = _mm_set1_ps(scale);
  for (uint32_t i = 0; i < n; i += 8) {
    __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i *>(first + i));
    __m128i right = EightSamples(src, n, i / 2, s);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i), _mm_unpacklo_epi16(left, right));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 2 * i + 8),
                     _mm_unpackhi_epi16(left, right));
  }
}

void PreRotate(float *z, const float *x, uint32_t n, uint32_t count, const float *tw) {
  RequireRotationCount(count, "PreRotate");
  z[0] = 2.0f * x[0];
  z[1] = 1.4142135f * x[n / 2];
  for (uint32_t k = 1; k < 4 && k < count; k++) {
    float xr = x[k], xi = x[n - k], wr = tw[2 * k], wi = tw[2 * k + 1];
    z[2 * k] = xr * wr - xi * wi;
    z[2 * k + 1] = xr * wi + xi * wr;
  }
  for (uint32_t k = 4; k + 3 < count; k += 4) {
    __m128 X = _mm_loadu_ps(x + k);
    __m128 Y = _mm_loadu_ps(x + n - k - 3);
    Y = _mm_shuffle_ps(Y, Y, _MM_SHUFFLE(0, 1, 2, 3));
    __m128 w0 = _mm_loadu_ps(tw + 2 * k), w1 = _mm_loadu_ps(tw + 2 * k + 4);
    __m128 wr = _mm_shuffle_ps(w0, w1, _MM_SHUFFLE(2, 0, 2, 0));
    __m128 wi = _mm_shuffle_ps(w0, w1, _MM_SHUFFLE(3, 1, 3, 1));
    __m128 re = _mm_sub_ps(_mm_mul_ps(X, wr), _mm_mul_ps(Y, wi));
    __m128 im = _mm_add_ps(_mm_mul_ps(X, wi), _mm_mul_ps(Y, wr));
    _mm_storeu_ps(z + 2 * k, _mm_unpacklo_ps(re, im));
    _mm_storeu_ps(z + 2 * k + 4, _mm_unpackhi_ps(re, im));
  }
}

const AudioKernels AUDIO_KERNELS_SSE = {
    RealFftForwardSplit, RealFftInverseSplit, Radix4Pass,  Radix4PassConjugate,
    FirstRadix4Pass,     FirstButterflyPass,  SplitEvenOdd, JoinEvenOdd,
    FloatToPcm,          FloatToPcmInterleaved, PostRotate, PreRotate,
};
