// Scalar references of the DC-smoothing kernels (slots 16-19 of
// MC_KERNEL_TABLE): a DC-only intra 8x8 block becomes a smooth surface
// interpolated from its own DC and the DCs of its eight neighbours.
#include "video/gen2/mc.h"
#include "video/gen2/transform.h"

// The references stay plain scalar code: they define the results the SIMD
// kernels must match, and the benchmark measures the kernels against them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-vectorize")
#endif

static inline int16_t DcOf(uint16_t w) { return static_cast<int16_t>(w & 0x1FFF); }

// |w - x| < threshold, on 16-bit two's-complement words (the absolute value of
// -32768 stays -32768, which is near for every threshold).
static inline bool IsNear(uint16_t w, int16_t x, int16_t threshold) {
  const int16_t d = SubWrap16(static_cast<int16_t>(w), x);
  const int16_t magnitude = d < 0 ? WrapToInt16(-static_cast<int32_t>(d)) : d;
  return magnitude < threshold;
}

// The interpolation weight of position i (0..7) towards the lower side lo and
// the upper side hi, as in the profile table: 13/32, 9/32, 6/32 and 7/64 as
// high-half multiplies, and small arithmetic shifts for the far side.
static inline int16_t Interpolate(int i, int16_t lo, int16_t hi) {
  switch (i) {
    case 0: return MulHigh16(lo, 0x6800);
    case 1: return AddWrap16(MulHigh16(lo, 0x4800), ShiftRight16(hi, 7));
    case 2: return AddWrap16(MulHigh16(lo, 0x3000), ShiftRight16(hi, 5));
    case 3: return AddWrap16(MulHigh16(lo, 0x1C00), ShiftRight16(hi, 4));
    case 4: return AddWrap16(MulHigh16(hi, 0x1C00), ShiftRight16(lo, 4));
    case 5: return AddWrap16(MulHigh16(hi, 0x3000), ShiftRight16(lo, 5));
    case 6: return AddWrap16(MulHigh16(hi, 0x4800), ShiftRight16(lo, 7));
    default: return MulHigh16(hi, 0x6800);
  }
}

// Horizontal profile of one row: m + 4 + hx(left - m, right - m).
static void Profile(int16_t left, int16_t m, int16_t right, int16_t *out) {
  const int16_t l = SubWrap16(left, m), r = SubWrap16(right, m);
  for (int x = 0; x < 8; ++x) out[x] = WrapToInt16(m + 4 + Interpolate(x, l, r));
}

// Smooths the block in column col (1 = A, 2 = B) of the four-word rows into
// the 8x8 at dst.
static void SmoothBlock(const uint16_t *above, const uint16_t *own, const uint16_t *below, int16_t threshold,
                        int col, uint8_t *dst, int32_t stride) {
  const int16_t x = static_cast<int16_t>(own[col]);
  const int16_t dc_x = DcOf(own[col]);
  auto direct = [&](uint16_t w) { return IsNear(w, x, threshold) ? DcOf(w) : dc_x; };
  auto diagonal = [&](uint16_t w, int16_t fallback) { return IsNear(w, x, threshold) ? DcOf(w) : fallback; };
  const int16_t left = direct(own[col - 1]), right = direct(own[col + 1]);
  const int16_t up = direct(above[col]), down = direct(below[col]);
  const int16_t up_left = diagonal(above[col - 1], left), up_right = diagonal(above[col + 1], right);
  const int16_t down_left = diagonal(below[col - 1], left), down_right = diagonal(below[col + 1], right);

  int16_t top[8], mid[8], bottom[8];
  Profile(up_left, up, up_right, top);
  Profile(left, dc_x, right, mid);
  Profile(down_left, down, down_right, bottom);
  for (int c = 0; c < 8; ++c) {
    const int16_t t = SubWrap16(top[c], mid[c]), u = SubWrap16(bottom[c], mid[c]);
    for (int y = 0; y < 8; ++y)
      dst[y * stride + c] = SaturateSample(ShiftRight16(AddWrap16(mid[c], Interpolate(y, t, u)), 3));
  }
}

void SmoothDcNoneScalar(const uint16_t *, const uint16_t *, const uint16_t *, const uint16_t *, uint8_t *, int32_t) {}

void SmoothDcLeftScalar(const uint16_t *above, const uint16_t *own, const uint16_t *below, const uint16_t *threshold,
                        uint8_t *dst, int32_t stride) {
  SmoothBlock(above, own, below, static_cast<int16_t>(threshold[0]), 1, dst, stride);
}

void SmoothDcRightScalar(const uint16_t *above, const uint16_t *own, const uint16_t *below, const uint16_t *threshold,
                         uint8_t *dst, int32_t stride) {
  SmoothBlock(above, own, below, static_cast<int16_t>(threshold[0]), 2, dst + 8, stride);
}

void SmoothDcBothScalar(const uint16_t *above, const uint16_t *own, const uint16_t *below, const uint16_t *threshold,
                        uint8_t *dst, int32_t stride) {
  SmoothBlock(above, own, below, static_cast<int16_t>(threshold[0]), 1, dst, stride);
  SmoothBlock(above, own, below, static_cast<int16_t>(threshold[0]), 2, dst + 8, stride);
}
