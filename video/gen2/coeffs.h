// Coefficient coding of the second-generation codec: coded-block patterns,
// the DC grid with its spatial prediction and coded residuals, the run/level
// codes of the AC coefficients and their dequantisation.
//
// The 8x8 blocks of a 16x16 area are numbered 0 top-left, 1 top-right,
// 2 bottom-left, 3 bottom-right; in a 32x32 block the quadrants are numbered
// the same way and block k of quadrant q is 4q + k. Every per-8x8 array here
// (pattern bits, DC grid, SubblockWords) uses that numbering.
//
// Coefficient blocks hold 64 signed 16-bit values indexed by
// 8 * horizontal frequency + vertical frequency; four consecutive blocks (256
// values) make one 16x16 area, the input of InverseTransform16x16.
#pragma once
#include <cstdint>

#include "video/gen2/bitreader.h"

enum : uint32_t {
  DC_SCALE_COUNT = 37,
  QUANT_INDEX_MAX = 36,        // quantiser indices run 0..36; others are clamped
  SUBBLOCK_INTRA = 0x8000,     // SubblockWord bit 15
  SUBBLOCK_DC_ONLY = 0xE000,   // words at or above this: intra, DC only
  PATTERN_TABLE2_SHIFT = 16,   // the table-2 copy of a pattern's low half
  BLOCK_FLAG_WIDE_DC = 0x40000,  // wide DC range as the block decoders see it
};

// The DC value of a SubblockWord: bits 0-12 as a 13-bit two's complement.
inline int32_t SubblockWordDc(uint16_t w) { return int32_t(int16_t(uint16_t(w << 3))) >> 3; }

// Position bits of BlockFlags read by the DC prediction.
enum : uint32_t {
  DC_NO_ABOVE_SLICE = 0x8,   // first band of a slice below row 0
  DC_NO_LEFT = 0x20,         // first block of the band
  DC_NO_ABOVE_FRAME = 0x80,  // top band of the frame
};

// Constant tables (coeff_tables.cpp).
extern const uint32_t DC_SCALE_TABLE[DC_SCALE_COUNT];
extern const uint8_t SCAN_ORDER[64];
// 14 repeat counts (0 acts as 1) followed by 14 runs, one per run class.
extern const uint8_t AC_RUN_CLASSES[28];
// Entries 0-511: run codes of table 1 by the next 9 bits; entries 512-767:
// table 2 by the next 8 bits. Each entry is class << 4 | code length.
extern const uint8_t AC_RUN_LUT[768];
// Four rows (qi & 3) of 64 factors indexed by coefficient index.
extern const uint16_t QUANT_TABLE_INTRA[256];   // intra luma, alpha, extra plane
extern const uint16_t QUANT_TABLE_CHROMA[256];  // intra chroma
extern const uint16_t QUANT_TABLE_INTER[256];   // every inter residual

// A quantiser index limited to 0..36 for table lookups and shifts.
inline uint32_t ClampQuantIndex(int32_t qi) {
  return qi < 0 ? 0u : (qi > static_cast<int32_t>(QUANT_INDEX_MAX) ? QUANT_INDEX_MAX
                                                                    : static_cast<uint32_t>(qi));
}

// Coded-block pattern of a 32x32 block: bits 0-15 the coded 8x8 blocks, bits
// 16-31 a copy of them when run-code table 2 is selected. Only bit 18 of
// block_flags (wide DC range) is read: with it a zero pattern carries no
// table-selection bit.
uint32_t ReadBlockPattern16(BitReader *reader, uint32_t previous, uint32_t block_flags);

// Coded-block pattern of a 16x16 chroma block (bits 0-3, copy in 16-19).
uint32_t ReadBlockPattern4(BitReader *reader, uint32_t previous);

// DC residuals of the 16 (or 4) 8x8 blocks. Returns 1 when the residual flag
// was set, 0 when all residuals are zero.
uint32_t ReadDcResiduals16(int32_t residuals[16], int32_t qi, BitReader *reader);
void ReadDcResiduals4(int32_t residuals[4], int32_t qi, BitReader *reader);

// DC grid of a block. On entry the grid's rightmost column (entries 5, 7, 13,
// 15; for chroma 1 and 3) holds the left block's DC values. context: the DC of
// the 8x8 block above-left, then of the 4 (chroma: 2) blocks above, left to
// right; null for inter residuals (prediction then starts from 0 instead of
// 1024). position_flags: BlockFlags (0x8, 0x20, 0x80 are read). The values are
// limited to [lower, upper].
void DecodeDcGrid16(int32_t grid[16], const int32_t *context, int32_t qi, BitReader *reader,
                    uint32_t position_flags, int16_t lower, int16_t upper);
void DecodeDcGrid4(int32_t grid[4], const int32_t *context, int32_t qi, BitReader *reader,
                   uint32_t position_flags, int16_t lower, int16_t upper);

// AC coefficients of one 16x16 area. pattern: bits 0-3 this area's coded
// blocks (the caller shifts a 16-bit pattern right by 4q), 0x10000 or more for
// run-code table 2. coeffs: four blocks of 64. Coded blocks are cleared and
// filled; every block gets coefficient 0 = DC * 8 + 32, and an uncoded block
// keeps its other 63 values untouched (its class byte 0 tells the transform to
// read coefficient 0 alone). words: the four SubblockWords. intra_bit: 0x8000
// or 0. Returns the class word: byte k the scan position of block k's last
// coded coefficient (0 when none).
uint32_t DecodeAcCoefficients(uint32_t pattern, int16_t *coeffs, BitReader *reader, int32_t qi,
                              const uint16_t *table, const int32_t dc[4], uint16_t words[4],
                              uint16_t intra_bit);

// The decoded magnitude of a DC residual code value m at quantiser qi:
// (DC_SCALE_TABLE[max(qi, 8)] * m + 512) >> 10.
int32_t ScaleDcResidual(uint32_t m, int32_t qi);

// One dequantised AC coefficient: ((level * factor) << (qi >> 2)) + 64) >> 7
// kept as its low 16 bits, with the table factor for the coefficient index.
int16_t DequantiseCoefficient(int32_t level, const uint16_t *table, int32_t qi, uint32_t index);
