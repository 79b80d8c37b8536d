// One group of the FFT's first pass, in plain arithmetic: the reference
// kernels loop over these, and the vector kernels use them for the groups
// that do not fill a vector. The same expressions in the same order, so
// both agree to the bit.
#pragma once
#include <cstdint>

// Radix-4 butterfly of group a, stored at its output position.
inline void FirstRadix4Group(float *out, const float *in0, const float *in1, const float *in2,
                             const float *in3, uint32_t a, const uint16_t *positions) {
  const float *x0 = in0 + 2 * a, *x1 = in1 + 2 * a, *x2 = in2 + 2 * a, *x3 = in3 + 2 * a;
  float *o = out + 2 * positions[a];
  float s02r = x0[0] + x2[0], s02i = x0[1] + x2[1];
  float d02r = x0[0] - x2[0], d02i = x0[1] - x2[1];
  float s13r = x1[0] + x3[0], s13i = x1[1] + x3[1];
  float d13r = x1[0] - x3[0], d13i = x1[1] - x3[1];
  o[0] = s02r + s13r;
  o[1] = s02i + s13i;
  o[2] = d02r + d13i;
  o[3] = d02i - d13r;
  o[4] = s02r - s13r;
  o[5] = s02i - s13i;
  o[6] = d02r - d13i;
  o[7] = d02i + d13r;
}

// Two radix-2 butterflies of group a, stored at its output position.
inline void FirstButterflyGroup(float *out, const float *in0, const float *in1, const float *in2,
                                const float *in3, uint32_t a, const uint16_t *positions) {
  const float *x0 = in0 + 2 * a, *x1 = in1 + 2 * a, *x2 = in2 + 2 * a, *x3 = in3 + 2 * a;
  float *o = out + 2 * positions[a];
  o[0] = x0[0] + x2[0];
  o[1] = x0[1] + x2[1];
  o[2] = x0[0] - x2[0];
  o[3] = x0[1] - x2[1];
  o[4] = x3[0] + x1[0];
  o[5] = x3[1] + x1[1];
  o[6] = x3[0] - x1[0];
  o[7] = x3[1] - x1[1];
}
