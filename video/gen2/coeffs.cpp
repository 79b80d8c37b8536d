// Coefficient coding: block patterns, DC residuals and grids, AC run/level
// codes and dequantisation.
#include "video/gen2/coeffs.h"

#include <cstring>

#include "video/gen2/arith.h"

namespace {

// Counts the 1 bits before the next 0 bit, at most 11, and consumes them with
// the terminating bit (after 11 ones the twelfth bit is consumed whatever it
// is). One peek of 12 bits covers every prefix.
inline uint32_t ReadOnesPrefix(BitReader *reader) {
  uint32_t bits = PeekBits(reader, 12);
  uint32_t ones = static_cast<uint32_t>(__builtin_ctz(~bits | 0x800u));
  SkipBits(reader, ones + 1);
  return ones;
}

// Magnitude code of a DC residual: 0, 1-3, or 4-513 with c - 3 extra bits.
inline uint32_t ReadDcMagnitude(BitReader *reader, uint32_t c) {
  if (c <= 3) return c;
  uint32_t extra = c - 3;
  return (1u << extra) + 2 + ReadBits(reader, extra);
}

uint32_t ReadDcResidualsN(int32_t *residuals, uint32_t n, int32_t qi, BitReader *reader) {
  for (uint32_t i = 0; i < n; ++i) residuals[i] = 0;
  if (!ReadBit(reader)) return 0;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t c = ReadOnesPrefix(reader);
    if (c == 0) continue;
    uint32_t m = ReadDcMagnitude(reader, c);
    int32_t v = ScaleDcResidual(m, qi);
    residuals[i] = ReadBit(reader) ? -v : v;
  }
  return 1;
}

// Grid index of the 8x8 block at (row, col) of a 4x4 or 2x2 grid.
inline uint32_t GridIndex(uint32_t row, uint32_t col) {
  return ((row >> 1) << 3) | ((col >> 1) << 2) | ((row & 1) << 1) | (col & 1);
}

void DecodeDcGridN(int32_t *grid, uint32_t side, const int32_t *context, int32_t qi,
                   BitReader *reader, uint32_t flags, int16_t lower, int16_t upper) {
  int32_t residuals[16];
  ReadDcResidualsN(residuals, side * side, qi, reader);

  const bool has_left = (flags & DC_NO_LEFT) == 0;
  const bool has_above = (flags & (DC_NO_ABOVE_FRAME | DC_NO_ABOVE_SLICE)) == 0 && context;
  int32_t left_col[4];
  for (uint32_t r = 0; r < side; ++r) left_col[r] = grid[GridIndex(r, side - 1)];

  int32_t v[4][4] = {};
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
  DecodeDcGridN(grid, 4, context, qi, reader, position_flags, lower, upper);
}

void DecodeDcGrid4(int32_t grid[4], const int32_t *context, int32_t qi, BitReader *reader,
                   uint32_t position_flags, int16_t lower, int16_t upper) {
  DecodeDcGridN(grid, 2, context, qi, reader, position_flags, lower, upper);
}

uint32_t DecodeAcCoefficients(uint32_t pattern, int16_t *coeffs, BitReader *reader, int32_t qi,
                              const uint16_t *table, const int32_t dc[4], uint16_t words[4],
                              uint16_t intra_bit) {
  const bool table2 = pattern >= 0x10000;
  uint32_t classes = 0;
  for (uint32_t k = 0; k < 4; ++k) {
    int16_t *block = coeffs + 64 * k;
    const uint16_t dc_bits = static_cast<uint16_t>(dc[k] & 0x1FFF);
    if (!(pattern & (1u << k))) {
      block[0] = WrapToInt16(int64_t(dc[k]) * 8 + 32);
      words[k] = static_cast<uint16_t>(intra_bit | 0x6000 | dc_bits);
      continue;
    }
    std::memset(block, 0, 64 * sizeof(int16_t));
    uint32_t pos = 1, count = 0, last = 0;
    int32_t repeat = 0;
    for (;;) {
      if (--repeat <= 0) {
        uint32_t entry = table2 ? AC_RUN_LUT[512 + PeekBits(reader, 8)] : AC_RUN_LUT[PeekBits(reader, 9)];
        uint32_t cls = entry >> 4;
        SkipBits(reader, entry & 15);
        uint32_t run = cls == 11 ? ReadBits(reader, 6) : AC_RUN_CLASSES[14 + cls];
        if (pos + run > 63) break;
        pos += run;
        repeat = AC_RUN_CLASSES[cls] ? AC_RUN_CLASSES[cls] : 1;
      }
      uint32_t c = ReadOnesPrefix(reader);
      uint32_t m = c <= 2 ? c + 1 : (1u << (c - 2)) + 2 + ReadBits(reader, c - 2);
      int32_t level = ReadBit(reader) ? -static_cast<int32_t>(m) : static_cast<int32_t>(m);
      uint32_t n = SCAN_ORDER[pos];
      block[n] = DequantiseCoefficient(level, table, qi, n);
      ++count;
      last = pos;
      if (pos == 63) break;
      ++pos;
    }
    block[0] = WrapToInt16(int64_t(dc[k]) * 8 + 32);
    words[k] = static_cast<uint16_t>(intra_bit | (ClassOfCount(count) << 13) | dc_bits);
    classes |= last << (8 * k);
  }
  return classes;
}
