// Plain scalar forms of the audio transform kernels.  Every expression is
// evaluated in the order the vector kernels use, so their results agree to
// the bit (the build never contracts multiply-adds).
#include <cmath>

#include "audio/codec/audio_fft_groups.h"
#include "audio/codec/audio_transform.h"

namespace {

inline const float *Twiddle(uint32_t index) { return FFT_TWIDDLES + 2 * index; }

void RefForwardSplit(float *z, uint32_t pair_limit, uint32_t quarter) {
  const uint32_t half = 2 * quarter;
  for (uint32_t k = 1; k < pair_limit; k++) {
    float *A = z + 2 * k;
    float *B = z + 2 * (half - k);
    const float *w = Twiddle(quarter + k);
    float tr = (A[0] - B[0]) * 0.5f, ti = (A[1] + B[1]) * 0.5f;
    float sr = A[0] - tr, si = A[1] - ti;
    float qr = w[0] * tr + w[1] * ti;
    float qi = w[0] * ti - w[1] * tr;
    A[0] = sr + qi;
    A[1] = si - qr;
    B[0] = sr - qi;
    B[1] = -(si + qr);
  }
}

void RefInverseSplit(float *z, uint32_t pair_limit, uint32_t quarter) {
  const uint32_t half = 2 * quarter;
  for (uint32_t k = 1; k < pair_limit; k++) {
    float *A = z + 2 * k;
    float *B = z + 2 * (half - k);
    const float *w = Twiddle(quarter + k);
    float tr = (A[0] - B[0]) * 0.5f, ti = (A[1] + B[1]) * 0.5f;
    float sr = A[0] - tr, si = A[1] - ti;
    float qr = w[0] * tr - w[1] * ti;
    float qi = w[0] * ti + w[1] * tr;
    A[0] = sr - qi;
    A[1] = si + qr;
    B[0] = sr + qi;
    B[1] = -(si - qr);
  }
}

void RefPass(float *d, uint32_t p, uint32_t m) {
  for (uint32_t k = 0; k < m; k++) {
    float *h = d + 2 * (p + k), *c = d + 2 * (p + m + k);
    float *u = d + 2 * (p + 2 * m + k), *v = d + 2 * (p + 3 * m + k);
    const float *w = Twiddle(m + k);
    float uwr = u[0] * w[0] - u[1] * w[1], uwi = u[1] * w[0] + u[0] * w[1];
    float vcr = v[0] * w[0] + v[1] * w[1], vci = v[1] * w[0] - v[0] * w[1];
    float Ur = uwr + vcr, Ui = uwi + vci, Dr = uwr - vcr, Di = uwi - vci;
    float hr = h[0], hi = h[1], cr = c[0], ci = c[1];
    h[0] = hr + Ur;
    h[1] = hi + Ui;
    u[0] = hr - Ur;
    u[1] = hi - Ui;
    c[0] = cr + Di;
    c[1] = ci - Dr;
    v[0] = cr - Di;
    v[1] = ci + Dr;
  }
}

void RefPassConjugate(float *d, uint32_t p, uint32_t m) {
  for (uint32_t k = 0; k < m; k++) {
    float *h = d + 2 * (p + k), *c = d + 2 * (p + m + k);
    float *u = d + 2 * (p + 2 * m + k), *v = d + 2 * (p + 3 * m + k);
    const float *w = Twiddle(m + k);
    float ucr = u[0] * w[0] + u[1] * w[1], uci = u[1] * w[0] - u[0] * w[1];
    float vwr = v[0] * w[0] - v[1] * w[1], vwi = v[1] * w[0] + v[0] * w[1];
    float Ur = ucr + vwr, Ui = uci + vwi, Er = ucr - vwr, Ei = uci - vwi;
    float hr = h[0], hi = h[1], cr = c[0], ci = c[1];
    h[0] = hr + Ur;
    h[1] = hi + Ui;
    u[0] = hr - Ur;
    u[1] = hi - Ui;
    c[0] = cr - Ei;
    c[1] = ci + Er;
    v[0] = cr + Ei;
    v[1] = ci - Er;
  }
}

void RefRadix4Pass(float *data, const uint16_t *schedule, uint32_t quarter_limit) {
  for (const uint16_t *e = schedule;; e += 2) {
    RefPass(data, e[0], e[1]);
    if (e[1] >= quarter_limit) break;
  }
}

void RefRadix4PassConjugate(float *data, const uint16_t *schedule, uint32_t quarter_limit) {
  for (const uint16_t *e = schedule;; e += 2) {
    RefPassConjugate(data, e[0], e[1]);
    if (e[1] >= quarter_limit) break;
  }
}

void RefFirstRadix4(float *out, const float *in0, const float *in1, const float *in2,
                    const float *in3, uint32_t first, uint32_t end, const uint16_t *positions) {
  for (uint32_t a = first; a < end; a++) FirstRadix4Group(out, in0, in1, in2, in3, a, positions);
}

void RefFirstButterfly(float *out, const float *in0, const float *in1, const float *in2,
                       const float *in3, uint32_t first, uint32_t end, const uint16_t *positions) {
  for (uint32_t a = first; a < end; a++) FirstButterflyGroup(out, in0, in1, in2, in3, a, positions);
}

void RefSplitEvenOdd(uint32_t *dst, const uint32_t *src, uint32_t n) {
  for (uint32_t j = 0; j < n / 2; j++) {
    dst[j] = src[2 * j];
    dst[n - 1 - j] = src[2 * j + 1];
  }
}

void RefJoinEvenOdd(uint32_t *dst, const uint32_t *src, uint32_t n) {
  for (uint32_t j = 0; j < n / 2; j++) {
    dst[2 * j] = src[j];
    dst[2 * j + 1] = src[n - 1 - j];
  }
}

int16_t ToPcm(float x) {
  x = x > -32768.0f ? x : -32768.0f;
  x = x < 32767.0f ? x : 32767.0f;
  return static_cast<int16_t>(std::nearbyint(x));
}

void RefFloatToPcm(int16_t *out, const float *src, uint32_t n, float scale) {
  for (uint32_t j = 0; j < n / 2; j++) {
    out[2 * j] = ToPcm(src[j] * scale);
    out[2 * j + 1] = ToPcm(src[n - 1 - j] * scale);
  }
}

void RefFloatToPcmInterleaved(int16_t *out, const int16_t *first, const float *src, uint32_t n,
                              float scale) {
  for (uint32_t s = 0; s < n; s += 8) {
    int16_t left[8];
    for (int i = 0; i < 8; i++) left[i] = first[s + i];
    for (uint32_t i = 0; i < 8; i += 2) {
      uint32_t j = (s + i) / 2;
      out[2 * (s + i)] = left[i];
      out[2 * (s + i) + 1] = ToPcm(src[j] * scale);
      out[2 * (s + i) + 2] = left[i + 1];
      out[2 * (s + i) + 3] = ToPcm(src[n - 1 - j] * scale);
    }
  }
}

void RefPostRotate(float *y, const float *z, uint32_t n, uint32_t count, const float *tw) {
  if (n > 7) RequireRotationCount(count, "RefPostRotate");
  y[0] = z[0];
  y[n / 2] = z[1] * 0.70710677f;
  for (uint32_t k = 1; k < count; k++) {
    float zr = z[2 * k], zi = z[2 * k + 1], wr = tw[2 * k], wi = tw[2 * k + 1];
    y[k] = zr * wr + zi * wi;
    y[n - k] = zi * wr - zr * wi;
  }
}

void RefPreRotate(float *z, const float *x, uint32_t n, uint32_t count, const float *tw) {
  RequireRotationCount(count, "RefPreRotate");
  z[0] = 2.0f * x[0];
  z[1] = 1.4142135f * x[n / 2];
  for (uint32_t k = 1; k < count; k++) {
    float xr = x[k], xi = x[n - k], wr = tw[2 * k], wi = tw[2 * k + 1];
    z[2 * k] = xr * wr - xi * wi;
    z[2 * k + 1] = xr * wi + xi * wr;
  }
}

}  // namespace

const AudioKernels AUDIO_KERNELS_REFERENCE = {
    RefForwardSplit,   RefInverseSplit,  RefRadix4Pass,  RefRadix4PassConjugate,
    RefFirstRadix4,    RefFirstButterfly, RefSplitEvenOdd, RefJoinEvenOdd,
    RefFloatToPcm,     RefFloatToPcmInterleaved, RefPostRotate, RefPreRotate,
};
