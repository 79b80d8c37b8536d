// Coefficient coding: block patterns, DC residuals and grids, AC run/level
// codes and dequantisation.
#include "video/gen2/coeffs.h"

#include <emmintrin.h>

#include "video/gen2/arith.h"

namespace {

// The count c of 1 bits before the next 0 bit, at most 11, from the low bits
// of a peek. The prefix is c + 1 bits long: the terminating 0, or after 11
// ones a twelfth bit consumed whatever it is.
inline uint32_t OnesPrefix(uint64_t bits) {
  return static_cast<uint32_t>(__builtin_ctz(~static_cast<uint32_t>(bits) | 0x800u));
}

// Decodes one DC residual code from a peek: magnitude 0, 1-3, or 4-513 with
// c - 3 extra bits, then a sign bit unless the magnitude is 0. Returns the
// code's length; *m and *negative receive the magnitude and the sign. Formed
// with masks rather than branches: the prefix lengths are data.
inline uint32_t DcResidualCode(uint64_t bits, uint32_t *m, uint32_t *negative) {
  const uint32_t c = OnesPrefix(bits);
  const uint32_t big = c >= 4 ? 0xFFFFFFFFu : 0u;     // extra bits follow
  const uint32_t signed_code = c ? 0xFFFFFFFFu : 0u;  // a sign bit follows
  const uint32_t extra = (c - 3) & big;
  const uint32_t value = static_cast<uint32_t>(bits >> (c + 1)) & ((1u << extra) - 1);
  *m = c + (((1u << extra) + 2 + value - c) & big);
  *negative = static_cast<uint32_t>(bits >> (c + 1 + extra)) & signed_code & 1;
  return c + 1 + extra + (signed_code & 1);
}

uint32_t ReadDcResidualsN(int32_t *residuals, uint32_t n, int32_t qi, BitReader *reader) {
  for (uint32_t i = 0; i < n; ++i) residuals[i] = 0;
  if (!ReadBit(reader)) return 0;
  const uint32_t q = ClampQuantIndex(qi);
  const uint64_t scale = DC_SCALE_TABLE[q < 8 ? 8 : q];
  // Codes are taken from a 64-bit window of the stream, consumed together
  // when fewer bits are left in it than the longest code needs (21).
  BitReader r = *reader;
  uint64_t bits = PeekBits64(&r);
  uint32_t used = 0;
  for (uint32_t i = 0; i < n; ++i) {
    if (used > 64 - 21) {
      ConsumeBits(&r, used);
      bits = PeekBits64(&r);
      used = 0;
    }
    uint32_t m, negative;
    const uint32_t len = DcResidualCode(bits, &m, &negative);
    bits >>= len;
    used += len;
    const int32_t v = static_cast<int32_t>((scale * m + 512) >> 10);
    residuals[i] = negative ? -v : v;
  }
  ConsumeBits(&r, used);
  *reader = r;
  return 1;
}

// Grid index of the 8x8 block at (row, col) of a 4x4 or 2x2 grid.
inline uint32_t GridIndex(uint32_t row, uint32_t col) {
  return ((row >> 1) << 3) | ((col >> 1) << 2) | ((row & 1) << 1) | (col & 1);
}

// The grid of a side x side block (4 or 2); with the side fixed at compile
// time every position's neighbours are known without tests.
template <uint32_t side>
void DecodeDcGridN(int32_t *grid, const int32_t *context, int32_t qi, BitReader *reader,
                   uint32_t flags, int16_t lower, int16_t upper) {
  int32_t residuals[16];
  const uint32_t coded = ReadDcResidualsN(residuals, side * side, qi, reader);

  const bool has_left = (flags & DC_NO_LEFT) == 0;
  const bool has_above = (flags & (DC_NO_ABOVE_FRAME | DC_NO_ABOVE_SLICE)) == 0 && context;
  if (!coded && !has_left && !context && lower <= 0 && upper >= 0) {
    // No residuals and nothing to predict from: every value is predicted
    // from 0 and stays 0 (an inter residual without DC).
    for (uint32_t i = 0; i < side * side; ++i) grid[i] = 0;
    return;
  }
  int32_t left_col[4];
  for (uint32_t r = 0; r < side; ++r) left_col[r] = grid[GridIndex(r, side - 1)];

  int32_t v[4][4] = {};
  // Unrolled, every position's row and column are constants.
#pragma GCC unroll 16
  for (uint32_t i = 0; i < side * side; ++i) {
    uint32_t r, c;
    if (side == 4) {
      r = ((i >> 3) << 1) | ((i >> 1) & 1);
      c = (((i >> 2) & 1) << 1) | (i & 1);
    } else {
      r = i >> 1;
      c = i & 1;
    }
    const bool l_ok = c > 0 || has_left;
    const bool t_ok = r > 0 || has_above;
    int64_t p;
    if (l_ok && t_ok) {
      int32_t l = c > 0 ? v[r][c - 1] : left_col[r];
      int32_t t = r > 0 ? v[r - 1][c] : context[1 + c];
      int32_t tl;
      if (r > 0 && c > 0) tl = v[r - 1][c - 1];
      else if (r > 0) tl = left_col[r - 1];
      else tl = context[c];  // context[0] is the above-left block
      int32_t lo = l < t ? l : t;
      int32_t hi = l < t ? t : l;
      if (tl < lo) lo = tl;
      if (tl > hi) hi = tl;
      p = int64_t(l) + t - tl;
      if (p < lo) p = lo;
      if (p > hi) p = hi;
    } else if (t_ok) {
      p = r > 0 ? v[r - 1][c] : context[1 + c];
    } else if (l_ok) {
      p = c > 0 ? v[r][c - 1] : left_col[r];
    } else {
      p = context ? 1024 : 0;
    }
    int32_t dc = WrapToInt16(p + residuals[i]);
    dc = ClampInt32(dc, lower, upper);
    v[r][c] = dc;
    grid[i] = dc;
  }
}

// Clears the 64 coefficients of a block with eight 16-byte stores. Written
// out rather than as a loop or memset, which the compiler turns into a string
// store whose start-up costs more than the whole block.
inline void ClearBlock(int16_t *block) {
  const __m128i zero = _mm_setzero_si128();
  __m128i *p = reinterpret_cast<__m128i *>(block);
  _mm_storeu_si128(p + 0, zero);
  _mm_storeu_si128(p + 1, zero);
  _mm_storeu_si128(p + 2, zero);
  _mm_storeu_si128(p + 3, zero);
  _mm_storeu_si128(p + 4, zero);
  _mm_storeu_si128(p + 5, zero);
  _mm_storeu_si128(p + 6, zero);
  _mm_storeu_si128(p + 7, zero);
}

inline uint16_t ClassOfCount(uint32_t count) {
  return count == 0 ? 3 : (count < 4 ? 2 : (count < 8 ? 1 : 0));
}

}  // namespace

int32_t ScaleDcResidual(uint32_t m, int32_t qi) {
  uint32_t q = ClampQuantIndex(qi);
  uint64_t scale = DC_SCALE_TABLE[q < 8 ? 8 : q];
  return static_cast<int32_t>((scale * m + 512) >> 10);
}

int16_t DequantiseCoefficient(int32_t level, const uint16_t *table, int32_t qi, uint32_t index) {
  uint32_t q = ClampQuantIndex(qi);
  int64_t product = int64_t(level) * table[(q & 3) * 64 + (index & 63)];
  // The shift is a multiplication by a power of two; the low 16 bits after the
  // final shift depend only on the product's low 23 bits.
  product *= int64_t(1) << (q >> 2);
  return WrapToInt16((product + 64) >> 7);
}

uint32_t ReadBlockPattern16(BitReader *reader, uint32_t previous, uint32_t block_flags) {
  uint32_t p = static_cast<uint32_t>(__builtin_popcount(previous & 0xFFFF));
  uint32_t predicted = p >= 8 ? 0xFFFFu : 0u;
  uint32_t d = p < 16 - p ? p : 16 - p;
  uint32_t diff = 0;
  if (!ReadBit(reader)) {
    if (d > 3) {
      diff = ReadBits(reader, 16);
    } else {
      for (uint32_t nibble = 0; nibble < 4; ++nibble)
        if (!ReadBit(reader)) diff |= ReadBits(reader, 4) << (4 * nibble);
    }
  }
  uint32_t pattern = (predicted ^ diff) & 0xFFFF;
  if ((block_flags & BLOCK_FLAG_WIDE_DC) && pattern == 0) return 0;
  if (ReadBit(reader)) pattern |= pattern << PATTERN_TABLE2_SHIFT;
  return pattern;
}

uint32_t ReadBlockPattern4(BitReader *reader, uint32_t previous) {
  uint32_t p = static_cast<uint32_t>(__builtin_popcount(previous & 0xF));
  if (ReadBit(reader)) return (p >= 2 ? 0xFu : 0u) | (previous & 0xF0000);
  uint32_t pattern = ReadBits(reader, 4);
  if (ReadBit(reader)) pattern |= pattern << PATTERN_TABLE2_SHIFT;
  return pattern;
}

uint32_t ReadDcResiduals16(int32_t residuals[16], int32_t qi, BitReader *reader) {
  return ReadDcResidualsN(residuals, 16, qi, reader);
}

void ReadDcResiduals4(int32_t residuals[4], int32_t qi, BitReader *reader) {
  ReadDcResidualsN(residuals, 4, qi, reader);
}

void DecodeDcGrid16(int32_t grid[16], const int32_t *context, int32_t qi, BitReader *reader,
                    uint32_t position_flags, int16_t lower, int16_t upper) {
  DecodeDcGridN<4>(grid, context, qi, reader, position_flags, lower, upper);
}

void DecodeDcGrid4(int32_t grid[4], const int32_t *context, int32_t qi, BitReader *reader,
                   uint32_t position_flags, int16_t lower, int16_t upper) {
  DecodeDcGridN<2>(grid, context, qi, reader, position_flags, lower, upper);
}

namespace {

// The AC codes of one coded 8x8 block into `block` (cleared first), with
// run-code table 1 (9-bit lookups) or 2 (8-bit lookups). row: the
// dequantisation row of the block's quantiser, shift its power of two. The
// low 16 bits after the final shift by 7 depend only on the low 23 bits of
// the scaled product, so the product is formed in wrapping 32-bit
// arithmetic. Returns count | last << 8: the number of levels and the scan
// position of the last one.
template <bool table2>
uint32_t DecodeCodedBlock(int16_t *block, BitReader *r, const uint16_t *row, uint32_t shift) {
  const uint8_t *lut = table2 ? AC_RUN_LUT + 512 : AC_RUN_LUT;
  constexpr uint32_t kLutMask = table2 ? 0xFFu : 0x1FFu;
  // The longest run code with its level: a 9-bit escape code, 6 run bits,
  // 12 prefix, 9 extra and 1 sign bits.
  constexpr uint32_t kLongest = 9 + 6 + 12 + 9 + 1;
  ClearBlock(block);
  uint32_t pos = 1, count = 0, last = 0;
  // Codes are taken from a 64-bit window of the stream (bits: its unused
  // part, used: the bits taken), consumed together when the window may no
  // longer hold the next code.
  uint64_t bits = PeekBits64(r);
  uint32_t used = 0;
  for (;;) {
    if (used > 64 - kLongest) {
      ConsumeBits(r, used);
      bits = PeekBits64(r);
      used = 0;
    }
    const uint32_t entry = lut[bits & kLutMask];
    const uint32_t cls = entry >> 4;
    uint32_t len = entry & 15;
    uint32_t run = AC_RUN_CLASSES[14 + cls];
    if (cls == 11) {
      run = static_cast<uint32_t>(bits >> len) & 63;
      len += 6;
    }
    bits >>= len;
    used += len;
    if (pos + run > 63) break;
    pos += run;
    // The run's levels: one, or a repeat count of them without run codes.
    uint32_t levels = AC_RUN_CLASSES[cls] ? AC_RUN_CLASSES[cls] : 1;
    for (;;) {
      if (used > 64 - kLongest) {
        ConsumeBits(r, used);
        bits = PeekBits64(r);
        used = 0;
      }
      // Level: c ones (at most 11), then for c >= 3 c - 2 extra bits, then
      // the sign; magnitude c + 1, or 2^(c-2) + 2 + extra.
      const uint32_t c = OnesPrefix(bits);
      uint32_t level_len = c + 1;
      uint32_t m = c + 1;
      if (c >= 3) {
        const uint32_t extra = c - 2;
        m = (1u << extra) + 2 + (static_cast<uint32_t>(bits >> level_len) & ((1u << extra) - 1));
        level_len += extra;
      }
      const uint32_t negative = static_cast<uint32_t>(bits >> level_len) & 1;
      bits >>= level_len + 1;
      used += level_len + 1;
      const uint32_t level = negative ? 0u - m : m;
      const uint32_t n = SCAN_ORDER[pos];
      block[n] = static_cast<int16_t>(static_cast<uint16_t>((((level * row[n]) << shift) + 64) >> 7));
      ++count;
      last = pos;
      if (pos == 63) {
        ConsumeBits(r, used);
        return count | last << 8;
      }
      ++pos;
      if (--levels == 0) break;
    }
  }
  ConsumeBits(r, used);
  return count | last << 8;
}

}  // namespace

uint32_t DecodeAcCoefficients(uint32_t pattern, int16_t *coeffs, BitReader *reader, int32_t qi,
                              const uint16_t *table, const int32_t dc[4], uint16_t words[4],
                              uint16_t intra_bit) {
  const bool table2 = pattern >= 0x10000;
  const uint32_t q = ClampQuantIndex(qi);
  const uint16_t *row = table + (q & 3) * 64;  // looked up once for the area
  const uint32_t shift = q >> 2;
  uint32_t classes = 0;
  BitReader r = *reader;
  for (uint32_t k = 0; k < 4; ++k) {
    int16_t *block = coeffs + 64 * k;
    const uint16_t dc_bits = static_cast<uint16_t>(dc[k] & 0x1FFF);
    uint32_t cls = 3;
    if (pattern & (1u << k)) {
      const uint32_t coded = table2 ? DecodeCodedBlock<true>(block, &r, row, shift)
                                    : DecodeCodedBlock<false>(block, &r, row, shift);
      cls = ClassOfCount(coded & 0xFF);
      classes |= (coded >> 8) << (8 * k);
    }
    block[0] = WrapToInt16(int64_t(dc[k]) * 8 + 32);
    words[k] = static_cast<uint16_t>(intra_bit | (cls << 13) | dc_bits);
  }
  *reader = r;
  return classes;
}
