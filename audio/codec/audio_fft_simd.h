// The audio FFT kernels that exist in two forms (with and without SSE3):
// written once over an operations record that each form supplies, and
// instantiated in audio_fft_sse2.cpp and audio_fft_sse3.cpp.  Everything
// here has internal linkage, so each file keeps its own copy compiled for
// its own instruction set.
#pragma once
#include <emmintrin.h>

#include <cstdint>

#include "audio/codec/audio_transform.h"

namespace {

inline __m128 SignOfReals() { return _mm_castsi128_ps(_mm_set_epi32(0, INT32_MIN, 0, INT32_MIN)); }
inline __m128 SignOfImags() { return _mm_castsi128_ps(_mm_set_epi32(INT32_MIN, 0, INT32_MIN, 0)); }
inline __m128 SignOfAll() { return _mm_castsi128_ps(_mm_set1_epi32(INT32_MIN)); }
// (x1, x0, x3, x2): real and imaginary parts exchanged.
inline __m128 SwapParts(__m128 x) { return _mm_shuffle_ps(x, x, _MM_SHUFFLE(2, 3, 0, 1)); }
// The two complex values exchanged.
inline __m128 SwapComplex(__m128 x) { return _mm_shuffle_ps(x, x, _MM_SHUFFLE(1, 0, 3, 2)); }

// One pair k of a real-FFT split, the scalar step of the vector kernels.
template <bool kForward>
inline void SplitPair(float *z, uint32_t k, uint32_t quarter) {
  float *A = z + 2 * k;
  float *B = z + 2 * (2 * quarter - k);
  const float *w = FFT_TWIDDLES + 2 * (quarter + k);
  float tr = (A[0] - B[0]) * 0.5f, ti = (A[1] + B[1]) * 0.5f;
  float sr = A[0] - tr, si = A[1] - ti;
  if (kForward) {
    float qr = w[0] * tr + w[1] * ti;
    float qi = w[0] * ti - w[1] * tr;
    A[0] = sr + qi;
    A[1] = si - qr;
    B[0] = sr - qi;
    B[1] = -(si + qr);
  } else {
    float qr = w[0] * tr - w[1] * ti;
    float qi = w[0] * ti + w[1] * tr;
    A[0] = sr - qi;
    A[1] = si + qr;
    B[0] = sr + qi;
    B[1] = -(si - qr);
  }
}

template <class Ops, bool kForward>
void SplitVector(float *z, uint32_t pair_limit, uint32_t quarter) {
  if (pair_limit < 2) return;
  SplitPair<kForward>(z, 1, quarter);
  const __m128 half = _mm_set1_ps(0.5f);
  const uint32_t n = 2 * quarter;
  for (uint32_t k = 2; k + 1 < pair_limit; k += 2) {
    float *pa = z + 2 * k;
    float *pb = z + 2 * (n - k - 1);
    __m128 A = _mm_loadu_ps(pa);
    __m128 B = SwapComplex(_mm_loadu_ps(pb));
    __m128 T = _mm_mul_ps(Ops::SubConj(A, B), half);
    __m128 S = _mm_sub_ps(A, T);
    __m128 W = _mm_loadu_ps(FFT_TWIDDLES + 2 * (quarter + k));
    __m128 na, nb;
    if (kForward) {
      __m128 iq = _mm_xor_ps(SwapParts(Ops::MulConj(T, W)), SignOfReals());
      na = _mm_sub_ps(S, iq);
      nb = _mm_xor_ps(_mm_add_ps(S, iq), SignOfImags());
    } else {
      __m128 iq = _mm_xor_ps(SwapParts(Ops::Mul(T, W)), SignOfReals());
      na = _mm_add_ps(S, iq);
      nb = _mm_xor_ps(_mm_sub_ps(S, iq), SignOfImags());
    }
    _mm_storeu_ps(pa, na);
    _mm_storeu_ps(pb, SwapComplex(nb));
  }
}

template <class Ops, bool kConjugate>
void CombinePass(float *d, uint32_t p, uint32_t m) {
  for (uint32_t k = 0; k < m; k += 2) {
    float *ph = d + 2 * (p + k), *pc = d + 2 * (p + m + k);
    float *pu = d + 2 * (p + 2 * m + k), *pv = d + 2 * (p + 3 * m + k);
    __m128 W = _mm_loadu_ps(FFT_TWIDDLES + 2 * (m + k));
    __m128 h = _mm_loadu_ps(ph), c = _mm_loadu_ps(pc);
    __m128 u = _mm_loadu_ps(pu), v = _mm_loadu_ps(pv);
    if (!kConjugate) {
      __m128 uw = Ops::Mul(u, W), vc = Ops::MulConj(v, W);
      __m128 U = _mm_add_ps(uw, vc), D = _mm_sub_ps(uw, vc);
      __m128 iD = _mm_xor_ps(SwapParts(D), SignOfImags());
      _mm_storeu_ps(ph, _mm_add_ps(h, U));
      _mm_storeu_ps(pu, _mm_sub_ps(h, U));
      _mm_storeu_ps(pc, _mm_add_ps(c, iD));
      _mm_storeu_ps(pv, _mm_sub_ps(c, iD));
    } else {
      __m128 uc = Ops::MulConj(u, W), vw = Ops::Mul(v, W);
      __m128 U = _mm_add_ps(uc, vw), E = _mm_sub_ps(uc, vw);
      __m128 iE = _mm_xor_ps(SwapParts(E), SignOfReals());
      _mm_storeu_ps(ph, _mm_add_ps(h, U));
      _mm_storeu_ps(pu, _mm_sub_ps(h, U));
      _mm_storeu_ps(pc, _mm_add_ps(c, iE));
      _mm_storeu_ps(pv, _mm_sub_ps(c, iE));
    }
  }
}

template <class Ops, bool kConjugate>
void CombinePasses(float *data, const uint16_t *schedule, uint32_t quarter_limit) {
  for (const uint16_t *e = schedule;; e += 2) {
    CombinePass<Ops, kConjugate>(data, e[0], e[1]);
    if (e[1] >= quarter_limit) break;
  }
}

inline void PostRotateOne(float *y, const float *z, uint32_t n, uint32_t k, const float *tw) {
  float zr = z[2 * k], zi = z[2 * k + 1], wr = tw[2 * k], wi = tw[2 * k + 1];
  y[k] = zr * wr + zi * wi;
  y[n - k] = zi * wr - zr * wi;
}

template <class Ops>
void PostRotateVector(float *y, const float *z, uint32_t n, uint32_t count, const float *tw) {
  if (n > 7) RequireRotationCount(count, "PostRotate");
  y[0] = z[0];
  y[n / 2] = z[1] * 0.70710677f;
  uint32_t scalar_end = n <= 7 ? count : (count < 4 ? count : 4);
  for (uint32_t k = 1; k < scalar_end; k++) PostRotateOne(y, z, n, k, tw);
  if (n <= 7) return;
  for (uint32_t k = 4; k + 1 < count; k += 2) {
    __m128 p = Ops::MulConj(_mm_loadu_ps(z + 2 * k), _mm_loadu_ps(tw + 2 * k));
    alignas(16) float r[4];
    _mm_store_ps(r, p);
    y[k] = r[0];
    y[n - k] = r[1];
    y[k + 1] = r[2];
    y[n - k - 1] = r[3];
  }
}

}  // namespace
