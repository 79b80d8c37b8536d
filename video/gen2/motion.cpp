// Motion vectors: the vector code, prediction from neighbouring blocks and the
// clamp of the reference positions.
#include "video/gen2/motion.h"

#include <cstring>

#include "video/gen2/arith.h"

// Short vector codes (first four bits not all zero) by the next 7 bits:
// value << 3 | length, the value a signed number in the upper five bits.
const uint8_t MV_VLC_TABLE[128] = {
    0, 1, 251, 1, 245, 1, 11, 1, 231, 1, 251, 1, 21, 1, 11, 1,
    0, 1, 251, 1, 237, 1, 11, 1, 39, 1, 251, 1, 29, 1, 11, 1,
    0, 1, 251, 1, 245, 1, 11, 1, 223, 1, 251, 1, 21, 1, 11, 1,
    0, 1, 251, 1, 237, 1, 11, 1, 47, 1, 251, 1, 29, 1, 11, 1,
    0, 1, 251, 1, 245, 1, 11, 1, 215, 1, 251, 1, 21, 1, 11, 1,
    0, 1, 251, 1, 237, 1, 11, 1, 55, 1, 251, 1, 29, 1, 11, 1,
    0, 1, 251, 1, 245, 1, 11, 1, 207, 1, 251, 1, 21, 1, 11, 1,
    0, 1, 251, 1, 237, 1, 11, 1, 63, 1, 251, 1, 29, 1, 11, 1,
};

int32_t ReadMotionVectorDifference(BitReader *reader) {
  uint32_t bits = PeekBits(reader, 16);
  if (bits & 0xF) {
    uint8_t entry = MV_VLC_TABLE[bits & 0x7F];
    SkipBits(reader, entry & 7);
    return static_cast<int8_t>(entry) >> 3;
  }
  uint32_t zeros = bits ? static_cast<uint32_t>(__builtin_ctz(bits)) : 16;
  if (zeros <= 8) {
    // zeros, 1, sign (1 = positive), zeros - 1 bits of magnitude.
    SkipBits(reader, zeros + 1);
    uint32_t positive = ReadBit(reader);
    int32_t magnitude = static_cast<int32_t>((1u << (zeros - 1)) + ReadBits(reader, zeros - 1));
    return positive ? magnitude : -magnitude;
  }
  if (zeros < 16) {
    // zeros, 1, zeros bits of v: t = 2^zeros - 1 + v, even t positive.
    SkipBits(reader, zeros + 1);
    uint32_t t = (1u << zeros) - 1 + ReadBits(reader, zeros);
    return (t & 1) ? -static_cast<int32_t>((t + 1) >> 1) : static_cast<int32_t>(t >> 1);
  }
  // Sixteen zeros and a 16-bit g: 32768 + (g >> 1), positive when g is odd.
  SkipBits(reader, 16);
  uint32_t g = ReadBits(reader, 16);
  int32_t magnitude = static_cast<int32_t>(32768 + (g >> 1));
  return (g & 1) ? magnitude : -magnitude;
}

namespace {

// Forms the four vectors from the differences and the neighbours' vectors.
// With single set only d[0] is used and every vector takes vector 0's value.
void FormVectors(MotionVectorSet *block, const MotionVectorSet *above, uint32_t flags,
                 const int32_t dx[4], const int32_t dy[4], bool single) {
  const bool no_above = (flags & (MV_NO_ABOVE_FRAME | MV_NO_ABOVE_SLICE)) != 0;
  const bool no_left = (flags & MV_NO_LEFT) != 0;
  const MotionVectorSet *left = no_left ? nullptr : block - 1;
  const MotionVectorSet *above_left = (no_left || no_above) ? nullptr : above - 1;
  int32_t out[8];
  for (uint32_t c = 0; c < 2; ++c) {
    const int32_t *d = c ? dy : dx;
    int32_t l0 = 0, l1 = 0, l3 = 0, u0 = 0, u2 = 0, u3 = 0, a3 = 0;
    if (left) {
      l0 = left->v[c];
      l1 = left->v[2 + c];
      l3 = left->v[6 + c];
    }
    if (!no_above) {
      u0 = above->v[c];
      u2 = above->v[4 + c];
      u3 = above->v[6 + c];
    }
    if (above_left) a3 = above_left->v[6 + c];
    int32_t v0, v1, v2, v3;
    if (no_above && no_left) {
      v0 = d[0];
      if (single) {
        v1 = v2 = v3 = v0;
      } else {
        v1 = AddWrap32(v0, d[1]);
        v2 = AddWrap32(v0, d[2]);
        v3 = AddWrap32(d[3], Median3(v0, v1, v2));
      }
    } else if (no_above) {  // left only
      v0 = AddWrap32(d[0], Median3(l0, l1, l3));
      if (single) {
        v1 = v2 = v3 = v0;
      } else {
        v2 = AddWrap32(d[2], Median3(v0, l1, l3));
        v1 = AddWrap32(d[1], Median3(v0, v2, l1));
        v3 = AddWrap32(d[3], Median3(v0, v1, v2));
      }
    } else if (no_left) {  // above only
      v0 = AddWrap32(d[0], Median3(u0, u2, u3));
      if (single) {
        v1 = v2 = v3 = v0;
      } else {
        v1 = AddWrap32(d[1], Median3(v0, u2, u3));
        v2 = AddWrap32(d[2], Median3(v0, v1, u2));
        v3 = AddWrap32(d[3], Median3(v0, v1, v2));
      }
    } else {  // both
      v0 = AddWrap32(d[0], Median3(l1, u2, a3));
      if (single) {
        v1 = v2 = v3 = v0;
      } else {
        v1 = AddWrap32(d[1], Median3(v0, u3, u2));
        v2 = AddWrap32(d[2], Median3(v0, l1, l3));
        v3 = AddWrap32(d[3], Median3(v0, v1, v2));
      }
    }
    out[c] = v0;
    out[2 + c] = v1;
    out[4 + c] = v2;
    out[6 + c] = v3;
  }
  std::memcpy(block->v, out, sizeof(out));
}

// Prefetch of an address computed without pointer arithmetic outside the
// plane (a prefetch never faults).
inline void PrefetchAt(const uint8_t *base, int64_t offset) {
  __builtin_prefetch(reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(base) +
                                                    static_cast<uintptr_t>(offset)));
}

void PrefetchRows(const uint8_t *plane, int64_t row, int64_t col, int64_t stride, uint32_t rows) {
  for (uint32_t r = 0; r < rows; ++r) PrefetchAt(plane, (row + r) * stride + col);
}

}  // namespace

void DecodeMotionVectors(BitReader *reader, MotionVectorSet *block, const MotionVectorSet *above,
                         uint32_t block_flags) {
  const bool single = ReadBit(reader) != 0;
  const uint32_t n = single ? 1 : 4;
  int32_t dx[4] = {0, 0, 0, 0};
  int32_t dy[4] = {0, 0, 0, 0};
  for (uint32_t i = 0; i < n; ++i) dx[i] = ReadMotionVectorDifference(reader);
  for (uint32_t i = 0; i < n; ++i) dy[i] = ReadMotionVectorDifference(reader);
  FormVectors(block, above, block_flags, dx, dy, single);
}

void PredictMotionVectors(uint32_t block_flags, MotionVectorSet *block, const MotionVectorSet *above) {
  static const int32_t kZero[4] = {0, 0, 0, 0};
  FormVectors(block, above, block_flags, kZero, kZero, false);
}

uint32_t ClampPosition(uint32_t p, uint32_t size2, uint32_t mode) {
  const int64_t sp = static_cast<int32_t>(p);  // positions are signed
  const int64_t whole_hi = int64_t(size2) - 32;
  if (size2 < 42) {
    // No half-sample position fits (a plane of 16 rows): the position becomes
    // whole-sample and is clamped inside the plane.
    int64_t w = sp & ~int64_t(1);
    if (w > whole_hi) w = whole_hi;
    if (w < 0) w = 0;
    return static_cast<uint32_t>(w);
  }
  const uint32_t h = p & 1;
  const int64_t lo = mode ? (h ? 5 : 0) : (h ? 4 : 0);
  const int64_t span = int64_t(size2) - (h ? 42 : 32);
  if (mode) {
    const int64_t hi = lo + span;
    if (sp < lo) return static_cast<uint32_t>(lo);
    if (sp > hi) return static_cast<uint32_t>(hi);
    return p;
  }
  // Mode 0: out of range when p - lo, taken as unsigned, exceeds the span;
  // below lo goes to lo, anything else to the span (a whole-sample position).
  if (static_cast<uint32_t>(p - static_cast<uint32_t>(lo)) <= static_cast<uint64_t>(span)) return p;
  return static_cast<uint32_t>(sp < lo ? lo : span);
}

void ClampMotionVectors(QuadrantPositions *out, const uint8_t *luma, const uint8_t *chroma1,
                        const uint8_t *chroma2, uint32_t block_column, uint32_t band_top,
                        uint32_t luma_stride, uint32_t chroma_stride, const MotionVectorSet *vectors,
                        uint32_t block_flags, uint32_t width2, uint32_t height2) {
  const uint32_t mode = (block_flags & MV_CLAMP_MODE) ? 1 : 0;
  for (uint32_t q = 0; q < 4; ++q) {
    uint32_t x = 2 * block_column + 32 * (q & 1) + static_cast<uint32_t>(vectors->v[2 * q]);
    uint32_t y = 2 * band_top + 32 * (q >> 1) + static_cast<uint32_t>(vectors->v[2 * q + 1]);
    out->p[2 * q] = ClampPosition(x, width2, mode);
    out->p[2 * q + 1] = ClampPosition(y, height2, mode);
  }
  // Reference prefetches for all four quadrants before any kernel runs.
  for (uint32_t q = 0; q < 4; ++q) {
    const uint32_t x = out->p[2 * q], y = out->p[2 * q + 1];
    if (luma) {
      const int64_t row = int64_t(y >> 1) - 2 * (y & 1);
      const int64_t col = int64_t(x >> 1) - 2 * (x & 1);
      const uint32_t rows = (y & 1) ? 20 : 16;
      PrefetchRows(luma, row, col, luma_stride, rows);
      const int64_t last = col + (x & 1) * 16 + 15;
      const uintptr_t base = reinterpret_cast<uintptr_t>(luma);
      if (((base + uintptr_t(col)) >> 6) != ((base + uintptr_t(last)) >> 6))
        PrefetchRows(luma, row, last, luma_stride, rows);
    }
    const int64_t crow = y >> 2, ccol = x >> 2;
    const uint8_t *chroma[2] = {chroma1, chroma2};
    for (const uint8_t *plane : chroma) {
      if (!plane) continue;
      PrefetchRows(plane, crow, ccol, chroma_stride, 8);
      const uintptr_t base = reinterpret_cast<uintptr_t>(plane);
      if (((base + uintptr_t(ccol)) >> 6) != ((base + uintptr_t(ccol + 7)) >> 6))
        PrefetchRows(plane, crow, ccol + 7, chroma_stride, 8);
    }
  }
}

void CopyBlock16x8(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride) {
  for (int32_t r = 0; r < 8; ++r) std::memcpy(dst + int64_t(r) * dst_stride, src + int64_t(r) * src_stride, 16);
}
