// Coefficient coding: tables, block patterns, DC residuals and grids, AC
// run/level codes and dequantisation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "gen2_reader_stream.h"
#include "moviewriter/gen2_symbols.h"
#include "video/gen2/coeffs.h"

namespace {

void OpenCode(ReaderStream *s, const char *code) {
  BitWriter w;
  InitBitWriter(&w);
  WriteCode(&w, code);
  WriteBits(&w, 0x3A5, 10);  // marker: the next syntax element
  OpenStream(s, w);
}

TEST(Gen2CoeffTables, ShapeOfTheTables) {
  for (uint32_t i = 0; i < DC_SCALE_COUNT; ++i) {
    uint32_t rounded = static_cast<uint32_t>(std::lround(1024.0 * std::pow(2.0, i / 4.0)));
    EXPECT_EQ(DC_SCALE_TABLE[i], i == 19 ? 27555u : rounded) << i;
  }
  std::vector<int> seen(64, 0);
  for (int i = 0; i < 64; ++i) ++seen[SCAN_ORDER[i]];
  EXPECT_EQ(seen, std::vector<int>(64, 1));
  // Every run code, followed by any bits, looks up its class and length.
  for (int table2 = 0; table2 < 2; ++table2) {
    const uint32_t bits = table2 ? 8 : 9;
    for (uint32_t cls = 0; cls < 14; ++cls) {
      const char *code = AcRunCode(cls, table2);
      uint32_t len = static_cast<uint32_t>(strlen(code)), v = 0;
      for (uint32_t i = 0; i < len; ++i) v |= static_cast<uint32_t>(code[i] == '1') << i;
      for (uint32_t hi = 0; hi < (1u << (bits - len)); ++hi) {
        uint8_t e = AC_RUN_LUT[(table2 ? 512 : 0) + (v | (hi << len))];
        ASSERT_EQ(e, (cls << 4) | len) << "table " << table2 + 1 << " class " << cls;
      }
    }
  }
  // The inter and chroma tables start at 1024 in every row 0.
  EXPECT_EQ(QUANT_TABLE_INTRA[0], 1024);
  EXPECT_EQ(QUANT_TABLE_CHROMA[64 * 3 + 63], 12864);
  EXPECT_EQ(QUANT_TABLE_INTER[64 * 2 + 8], 1688);
  EXPECT_EQ(QUANT_TABLE_INTRA[64 * 1 + 7], 10218);
}

TEST(Gen2BlockPattern, Prediction16AndTableBit) {
  ReaderStream s;
  // Previous 0: predicted 0; "1" (no difference) then table bit 0.
  OpenCode(&s, "1" "0");
  EXPECT_EQ(ReadBlockPattern16(&s.reader, 0, 0), 0u);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);

  // Exactly 8 bits set: predicted 0xFFFF, an explicit difference is 16 raw bits.
  OpenCode(&s, "0" "1111000000000000" "1");
  EXPECT_EQ(ReadBlockPattern16(&s.reader, 0x00FF, 0), 0xFFF0FFF0u);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);

  // Few bits set (d <= 3): nibble form, bits 0-3 first.
  OpenCode(&s, "0" "0" "1000" "1" "1" "0" "0001" "0");
  EXPECT_EQ(ReadBlockPattern16(&s.reader, 0x0003, 0), 0x8001u);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);

  // Wide DC range: a zero pattern reads no table bit.
  OpenCode(&s, "1");
  EXPECT_EQ(ReadBlockPattern16(&s.reader, 0, BLOCK_FLAG_WIDE_DC), 0u);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);
  // ... but a non-zero one does.
  OpenCode(&s, "0" "0" "1000" "1" "1" "1" "1");
  EXPECT_EQ(ReadBlockPattern16(&s.reader, 0, BLOCK_FLAG_WIDE_DC), 0x00010001u);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);
}

TEST(Gen2BlockPattern, Chroma4) {
  ReaderStream s;
  // Taken from the prediction: keeps the previous table selection.
  OpenCode(&s, "1");
  EXPECT_EQ(ReadBlockPattern4(&s.reader, 0x00030003), 0x0003000Fu);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);
  OpenCode(&s, "1");
  EXPECT_EQ(ReadBlockPattern4(&s.reader, 0x00010001), 0x00010000u);
  // Explicit: 4 bits (not combined with the prediction), then the table bit.
  OpenCode(&s, "0" "0100" "0");
  EXPECT_EQ(ReadBlockPattern4(&s.reader, 0xF), 0x2u);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);
  OpenCode(&s, "0" "0000" "1");
  EXPECT_EQ(ReadBlockPattern4(&s.reader, 0), 0u);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);
}

TEST(Gen2BlockPattern, WriterRoundTrip) {
  std::mt19937 rng(99);
  BitWriter w;
  InitBitWriter(&w);
  std::vector<uint32_t> expect;
  std::vector<uint32_t> flags;
  uint32_t prev16 = 0, prev4 = 0;
  for (int i = 0; i < 2000; ++i) {
    uint32_t kind = rng() % 2;
    if (kind == 0) {
      uint32_t f = (rng() % 3 == 0) ? uint32_t(BLOCK_FLAG_WIDE_DC) : 0u;
      uint32_t low = rng() % 4 == 0 ? 0 : (rng() % 2 ? rng() & 0xFFFF : (rng() & 0x0101));
      if (rng() % 3 == 0) low = prev16 & 0xFFFF;
      uint32_t p = low | ((rng() & 1) ? low << 16 : 0);
      prev16 = WriteBlockPattern16(&w, prev16, f, p);
      expect.push_back(prev16);
      flags.push_back(f);
    } else {
      uint32_t low = rng() & 0xF;
      uint32_t p = low | ((rng() & 1) ? low << 16 : 0);
      prev4 = WriteBlockPattern4(&w, prev4, p, rng() % 2);
      expect.push_back(prev4);
      flags.push_back(0xFFFFFFFF);
    }
  }
  ReaderStream s;
  OpenStream(&s, w);
  prev16 = prev4 = 0;
  for (size_t i = 0; i < expect.size(); ++i) {
    if (flags[i] != 0xFFFFFFFF) {
      prev16 = ReadBlockPattern16(&s.reader, prev16, flags[i]);
      ASSERT_EQ(prev16, expect[i]) << i;
    } else {
      prev4 = ReadBlockPattern4(&s.reader, prev4);
      ASSERT_EQ(prev4, expect[i]) << i;
    }
  }
}

TEST(Gen2DcResiduals, FlagScalesAndPrefixes) {
  ReaderStream s;
  int32_t r[16];
  OpenCode(&s, "0");
  for (int i = 0; i < 16; ++i) r[i] = 99;
  EXPECT_EQ(ReadDcResiduals16(r, 20, &s.reader), 0u);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(r[i], 0);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);

  // qi below 8 scales as index 8 (4096): m = 1 gives 4; qi 36 gives 512.
  // Codes: 1 0 s (m 1), 0 (zero), 110 s (m 2), 1110 s (m 3).
  OpenCode(&s, "1" "100" "0" "1101" "11100");
  int32_t c[4];
  ReadDcResiduals4(c, 3, &s.reader);
  EXPECT_EQ(c[0], 4);
  EXPECT_EQ(c[1], 0);
  EXPECT_EQ(c[2], -8);
  EXPECT_EQ(c[3], 12);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);
  OpenCode(&s, "1" "100" "0" "0" "0");
  ReadDcResiduals4(c, 36, &s.reader);
  EXPECT_EQ(c[0], 512);
  // Out-of-range quantisers are clamped: 200 acts as 36, -3 as 0 (scale 4096).
  OpenCode(&s, "1" "100" "0" "0" "0");
  ReadDcResiduals4(c, 200, &s.reader);
  EXPECT_EQ(c[0], 512);
  OpenCode(&s, "1" "100" "0" "0" "0");
  ReadDcResiduals4(c, -3, &s.reader);
  EXPECT_EQ(c[0], 4);

  // Eleven 1 bits consume a twelfth bit whatever it is, then 8 extra bits:
  // m = 256 + 2 + v. Here v = 0xFF -> 513, and the twelfth bit is a 1.
  OpenCode(&s, "1" "11111111111" "1" "11111111" "1" "0" "0" "0");
  ReadDcResiduals4(c, 8, &s.reader);
  EXPECT_EQ(c[0], -((4096 * 513 + 512) >> 10));
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);
  // c = 4: m 4 or 5.
  OpenCode(&s, "1" "11110" "1" "0" "0" "0" "0");
  ReadDcResiduals4(c, 8, &s.reader);
  EXPECT_EQ(c[0], 20);
}

TEST(Gen2DcGrid, PredictionAndBounds) {
  ReaderStream s;
  int32_t grid[16];
  const int32_t context[5] = {7, 8, 9, 10, 11};
  // Intra top-left block of a slice, zero residuals: all 1024.
  OpenCode(&s, "0");
  for (int i = 0; i < 16; ++i) grid[i] = -5;
  DecodeDcGrid16(grid, context, 10, &s.reader, DC_NO_LEFT | DC_NO_ABOVE_SLICE, 0, 2047);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(grid[i], 1024);
  // Inter residual (no context): all 0.
  OpenCode(&s, "0");
  DecodeDcGrid16(grid, nullptr, 10, &s.reader, DC_NO_LEFT | DC_NO_ABOVE_FRAME | DC_NO_ABOVE_SLICE,
                 -1023, 1023);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(grid[i], 0);

  // Chroma grid with all neighbours: L + T - TL limited to their range.
  int32_t g4[4] = {0, 150, 0, 120};  // left block's right column: 150, 120
  const int32_t ctx4[3] = {100, 200, 300};
  OpenCode(&s, "0");
  DecodeDcGrid4(g4, ctx4, 10, &s.reader, 0, 0, 2047);
  EXPECT_EQ(g4[0], 200);  // 150 + 200 - 100 = 250, limited to 200
  EXPECT_EQ(g4[1], 300);  // 200 + 300 - 200
  EXPECT_EQ(g4[2], 170);  // 120 + 200 - 150
  EXPECT_EQ(g4[3], 270);  // 170 + 300 - 200
  // Left only (top band): each row from its left.
  int32_t h4[4] = {0, 150, 0, 120};
  OpenCode(&s, "0");
  DecodeDcGrid4(h4, ctx4, 10, &s.reader, DC_NO_ABOVE_FRAME, 0, 2047);
  EXPECT_EQ(h4[0], 150);
  EXPECT_EQ(h4[1], 150);
  EXPECT_EQ(h4[2], 120);  // 120 + 150 - 150
  EXPECT_EQ(h4[3], 120);  // 120 + 150 - 150
  // Above only (first block): each column from above.
  int32_t k4[4] = {0, 150, 0, 120};
  OpenCode(&s, "0");
  DecodeDcGrid4(k4, ctx4, 10, &s.reader, DC_NO_LEFT, 0, 2047);
  EXPECT_EQ(k4[0], 200);
  EXPECT_EQ(k4[1], 300);
  EXPECT_EQ(k4[2], 200);
  EXPECT_EQ(k4[3], 300);

  // Full-resolution grid: the left column comes from entries 5, 7, 13, 15 and
  // the row above from the context; block order is quadrant by quadrant.
  for (int i = 0; i < 16; ++i) grid[i] = 0;
  grid[5] = 400, grid[7] = 400, grid[13] = 400, grid[15] = 400;
  OpenCode(&s, "0");
  DecodeDcGrid16(grid, context, 10, &s.reader, DC_NO_ABOVE_FRAME, 0, 2047);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(grid[i], 400) << i;

  // The sum wraps in 16 bits: at qi 36 a code of 128 is 65536 = 0 (mod 2^16),
  // a code of 126 is 64512 = -1024.
  int32_t codes[4] = {128, 0, 0, 0};
  BitWriter w;
  InitBitWriter(&w);
  WriteDcResiduals(&w, codes, 4, 1);
  codes[0] = 126;
  WriteDcResiduals(&w, codes, 4, 1);
  codes[0] = 60;
  WriteDcResiduals(&w, codes, 4, 1);
  codes[0] = -60;
  WriteDcResiduals(&w, codes, 4, 1);
  OpenStream(&s, w);
  int32_t a[4] = {0, 0, 0, 0};
  DecodeDcGrid4(a, ctx4, 36, &s.reader, DC_NO_LEFT | DC_NO_ABOVE_FRAME, 0, 2047);
  EXPECT_EQ(a[0], 1024);
  DecodeDcGrid4(a, ctx4, 36, &s.reader, DC_NO_LEFT | DC_NO_ABOVE_FRAME, 0, 2047);
  EXPECT_EQ(a[0], 0);
  // 1024 + 30720 is limited to the upper bound; inter wide range.
  DecodeDcGrid4(a, nullptr, 36, &s.reader, DC_NO_LEFT | DC_NO_ABOVE_FRAME, -2047, 2047);
  EXPECT_EQ(a[0], 2047);
  EXPECT_EQ(a[3], 2047);
  DecodeDcGrid4(a, nullptr, 36, &s.reader, DC_NO_LEFT | DC_NO_ABOVE_FRAME, -1023, 1023);
  EXPECT_EQ(a[0], -1023);
}

TEST(Gen2DcResiduals, WriterRoundTrip) {
  std::mt19937 rng(5);
  for (int iter = 0; iter < 300; ++iter) {
    int32_t qi = static_cast<int32_t>(rng() % 37);
    int32_t m[16];
    int flag = rng() % 4 != 0;
    for (int i = 0; i < 16; ++i) {
      int32_t mag = rng() % 3 == 0 ? 0 : static_cast<int32_t>(rng() % (rng() % 2 ? 8 : 514));
      m[i] = flag ? (rng() & 1 ? -mag : mag) : 0;
    }
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, rng(), iter % 32);
    WriteDcResiduals(&w, m, 16, flag);
    WriteBits(&w, 0x3A5, 10);
    ReaderStream s;
    OpenStream(&s, w);
    SkipBits(&s.reader, iter % 32);
    int32_t r[16];
    EXPECT_EQ(ReadDcResiduals16(r, qi, &s.reader), static_cast<uint32_t>(flag));
    for (int i = 0; i < 16; ++i) ASSERT_EQ(r[i], DcResidualFromCode(m[i], qi)) << iter << " " << i;
    ASSERT_EQ(ReadBits(&s.reader, 10), 0x3A5u);
  }
}

TEST(Gen2AcCoefficients, EndCodesAndRepeats) {
  ReaderStream s;
  int16_t coeffs[256];
  uint16_t words[4];
  const int32_t dc[4] = {1024, -5, 2047, 0};

  // Only block 0 coded, its first run code is the end code.
  for (int16_t &c : coeffs) c = 77;
  OpenCode(&s, "01");
  uint32_t classes = DecodeAcCoefficients(0x1, coeffs, &s.reader, 8, QUANT_TABLE_INTRA, dc, words, 0x8000);
  EXPECT_EQ(classes, 0u);
  EXPECT_EQ(coeffs[0], 8224);  // DC 1024
  for (int i = 1; i < 64; ++i) EXPECT_EQ(coeffs[i], 0);
  EXPECT_EQ(words[0], 0xE000 | 1024);
  EXPECT_EQ(coeffs[64], static_cast<int16_t>(-5 * 8 + 32));
  EXPECT_EQ(words[1], 0xE000 | (-5 & 0x1FFF));
  EXPECT_EQ(coeffs[65], 77);  // uncoded blocks keep their AC values
  EXPECT_EQ(words[2], 0xE000 | 2047);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);

  // Nothing coded: nothing read, class word 0.
  OpenCode(&s, "");
  EXPECT_EQ(DecodeAcCoefficients(0x10000, coeffs, &s.reader, 8, QUANT_TABLE_INTER, dc, words, 0), 0u);
  EXPECT_EQ(words[0], 0x6000 | 1024);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);

  // Table 1, qi 0: escape run 58 puts level +1 at position 59, then class 13
  // places 60, 61, 62, 63 and ends the block with no further code.
  OpenCode(&s, "001101011" "010111" "00"    // escape, run 58, level +1
               "00111" "00" "00" "01" "101"  // class 13: levels +1, +1, -1, -2
               "11010");                     // the next element
  classes = DecodeAcCoefficients(0x1, coeffs, &s.reader, 0, QUANT_TABLE_INTER, dc, words, 0);
  EXPECT_EQ(classes & 0xFF, 63u);
  const int32_t expect_levels[5] = {1, 1, 1, -1, -2};
  for (int i = 0; i < 4; ++i) {
    uint32_t n = SCAN_ORDER[59 + i];
    EXPECT_EQ(coeffs[n], DequantiseCoefficient(expect_levels[i], QUANT_TABLE_INTER, 0, n)) << i;
  }
  EXPECT_EQ(coeffs[SCAN_ORDER[63]], DequantiseCoefficient(-2, QUANT_TABLE_INTER, 0, SCAN_ORDER[63]));
  EXPECT_EQ(words[0], 0x2000 | 1024);  // five levels: class 1
  // The "11010" left over is the next element.
  EXPECT_EQ(ReadBits(&s.reader, 5), 0x0Bu);

  // An escape whose run passes 63 ends the block.
  OpenCode(&s, "1" "00" "001101011" "111111");
  classes = DecodeAcCoefficients(0x1, coeffs, &s.reader, 0, QUANT_TABLE_INTER, dc, words, 0);
  EXPECT_EQ(classes, 1u);
  EXPECT_EQ(words[0], 0x4000 | 1024);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);

  // A level at scan position 63 ends the block.
  OpenCode(&s, "001101011" "011111" "00");
  classes = DecodeAcCoefficients(0x1, coeffs, &s.reader, 0, QUANT_TABLE_INTER, dc, words, 0);
  EXPECT_EQ(classes, 63u);
  EXPECT_EQ(ReadBits(&s.reader, 10), 0x3A5u);
}

TEST(Gen2AcCoefficients, DequantisationAndClampedQuantiser) {
  // Index 8 (scan position 1), intra row 0: (1313 + 64) >> 7 = 10.
  EXPECT_EQ(DequantiseCoefficient(1, QUANT_TABLE_INTRA, 0, 8), 10);
  EXPECT_EQ(DequantiseCoefficient(-1, QUANT_TABLE_INTRA, 0, 8), -10);  // (-1313 + 64) >> 7
  EXPECT_EQ(DequantiseCoefficient(1, QUANT_TABLE_INTRA, 36, 8), (1313 * 512 + 64) >> 7);
  // A product beyond 32 bits keeps its low 16 bits after the shift.
  const int64_t big = (int64_t(1025) * 9550 * 256 + 64) >> 7;
  EXPECT_EQ(DequantiseCoefficient(1025, QUANT_TABLE_INTER, 35, 63),
            static_cast<int16_t>(static_cast<uint16_t>(big)));
  EXPECT_EQ(DequantiseCoefficient(-1025, QUANT_TABLE_INTER, 35, 63),
            static_cast<int16_t>(static_cast<uint16_t>((int64_t(-1025) * 9550 * 256 + 64) >> 7)));
  // Quantisers outside 0..36 act as the nearest end.
  EXPECT_EQ(DequantiseCoefficient(700, QUANT_TABLE_CHROMA, 255, 20),
            DequantiseCoefficient(700, QUANT_TABLE_CHROMA, 36, 20));
  EXPECT_EQ(DequantiseCoefficient(700, QUANT_TABLE_CHROMA, -40, 20),
            DequantiseCoefficient(700, QUANT_TABLE_CHROMA, 0, 20));
  EXPECT_EQ(ScaleDcResidual(513, 1000), ScaleDcResidual(513, 36));
}

TEST(Gen2AcCoefficients, WriterRoundTrip) {
  std::mt19937 rng(4242);
  const uint16_t *tables[3] = {QUANT_TABLE_INTRA, QUANT_TABLE_CHROMA, QUANT_TABLE_INTER};
  for (int iter = 0; iter < 1500; ++iter) {
    const bool table2 = rng() & 1;
    const uint32_t coded = rng() & 0xF;
    const int32_t qi = static_cast<int32_t>(rng() % 37);
    const uint16_t *table = tables[rng() % 3];
    int32_t levels[4][64] = {};
    for (int k = 0; k < 4; ++k) {
      if (!(coded & (1u << k))) continue;
      const uint32_t density = rng() % 4;
      for (int p = 1; p < 64; ++p) {
        bool on = density == 0 ? rng() % 20 == 0 : density == 1 ? rng() % 3 == 0 : density == 2 ? rng() % 4 != 0 : p > 50;
        if (!on) continue;
        int32_t mag = rng() % 4 ? 1 + rng() % 3 : 1 + rng() % 1025;
        levels[k][p] = rng() & 1 ? -mag : mag;
      }
    }
    BitWriter w;
    InitBitWriter(&w);
    const uint32_t lead = rng() % 32;
    WriteBits(&w, rng(), lead);
    for (int k = 0; k < 4; ++k)
      if (coded & (1u << k)) WriteAcBlock(&w, levels[k], table2, rng() & 1, rng() % 4 == 0);
    WriteBits(&w, 0x3A5, 10);
    ReaderStream s;
    OpenStream(&s, w);
    SkipBits(&s.reader, lead);
    int16_t coeffs[256];
    uint16_t words[4];
    const int32_t dc[4] = {static_cast<int32_t>(rng() % 2048), -300, 5, 2047};
    const uint16_t intra = rng() & 1 ? 0x8000 : 0;
    uint32_t pattern = coded | (table2 ? 0xF0000u : 0u) | ((rng() & 0xFFF) << 4 & 0xFFF0);
    uint32_t classes = DecodeAcCoefficients(pattern, coeffs, &s.reader, qi, table, dc, words, intra);
    for (int k = 0; k < 4; ++k) {
      uint32_t count = 0, last = 0;
      if (coded & (1u << k)) {
        int16_t expect[64] = {};
        for (int p = 1; p < 64; ++p)
          if (levels[k][p]) {
            expect[SCAN_ORDER[p]] = DequantiseCoefficient(levels[k][p], table, qi, SCAN_ORDER[p]);
            ++count;
            last = static_cast<uint32_t>(p);
          }
        for (int n = 1; n < 64; ++n) ASSERT_EQ(coeffs[64 * k + n], expect[n]) << iter << " " << k << " " << n;
      }
      ASSERT_EQ(coeffs[64 * k], static_cast<int16_t>(dc[k] * 8 + 32));
      ASSERT_EQ((classes >> (8 * k)) & 0xFF, last) << iter;
      uint32_t cls = count == 0 ? 3 : count < 4 ? 2 : count < 8 ? 1 : 0;
      ASSERT_EQ(words[k], intra | (cls << 13) | (dc[k] & 0x1FFF)) << iter << " " << k;
    }
    ASSERT_EQ(ReadBits(&s.reader, 10), 0x3A5u) << iter;
  }
}

}  // namespace
