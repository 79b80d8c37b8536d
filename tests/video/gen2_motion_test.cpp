// Motion vectors: the vector code, prediction and the reference clamp.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <vector>

#include "gen2_reader_stream.h"
#include "moviewriter/gen2_symbols.h"
#include "video/gen2/motion.h"

namespace {

int32_t DecodeOne(const char *code) {
  BitWriter w;
  InitBitWriter(&w);
  WriteCode(&w, code);
  WriteBits(&w, 0x15, 5);
  ReaderStream s;
  OpenStream(&s, w);
  int32_t v = ReadMotionVectorDifference(&s.reader);
  EXPECT_EQ(ReadBits(&s.reader, 5), 0x15u) << code;
  return v;
}

TEST(Gen2MotionVectorCode, HandBuiltCodes) {
  EXPECT_EQ(DecodeOne("1"), 0);
  EXPECT_EQ(DecodeOne("011"), 1);
  EXPECT_EQ(DecodeOne("010"), -1);
  EXPECT_EQ(DecodeOne("00111"), 3);
  EXPECT_EQ(DecodeOne("0000" "1" "1" "111"), 15);
  EXPECT_EQ(DecodeOne("0000" "1" "0" "111"), -15);
  EXPECT_EQ(DecodeOne("00000000" "1" "1" "1111111"), 255);
  EXPECT_EQ(DecodeOne("000000000" "1" "000000000"), -256);
  EXPECT_EQ(DecodeOne("000000000" "1" "100000000"), 256);
  EXPECT_EQ(DecodeOne("000000000000000" "1" "111111111111111"), 32767);
  EXPECT_EQ(DecodeOne("000000000000000" "1" "011111111111111"), -32767);
  EXPECT_EQ(DecodeOne("0000000000000000" "1000000000000000"), 32768);
  EXPECT_EQ(DecodeOne("0000000000000000" "0000000000000000"), -32768);
  EXPECT_EQ(DecodeOne("0000000000000000" "1111111111111111"), 65535);
}

TEST(Gen2MotionVectorCode, ShortCodeTableMatchesTheCodes) {
  // Every 7-bit index whose first four bits are not all zero decodes to the
  // same value through the table as the code it starts with.
  for (uint32_t idx = 0; idx < 128; ++idx) {
    if ((idx & 15) == 0) {
      EXPECT_EQ(MV_VLC_TABLE[idx], 0);
      continue;
    }
    uint32_t z = static_cast<uint32_t>(__builtin_ctz(idx));
    int32_t expect = 0;
    uint32_t len = 1;
    if (z) {
      int32_t mag = static_cast<int32_t>((1u << (z - 1)) + ((idx >> (z + 2)) & ((1u << (z - 1)) - 1)));
      expect = ((idx >> (z + 1)) & 1) ? mag : -mag;
      len = 2 * z + 1;
    }
    EXPECT_EQ(MV_VLC_TABLE[idx] & 7, len) << idx;
    EXPECT_EQ(static_cast<int8_t>(MV_VLC_TABLE[idx]) >> 3, expect) << idx;
  }
}

TEST(Gen2MotionVectorCode, WriterRoundTrip) {
  std::mt19937 rng(31337);
  std::vector<int32_t> values;
  for (int32_t v = -600; v <= 600; ++v) values.push_back(v);
  for (int i = 0; i < 20000; ++i) {
    int32_t mag = static_cast<int32_t>(rng() % 65536);
    values.push_back(rng() & 1 ? -mag : mag);
  }
  for (int32_t v : {32767, -32767, 32768, -32768, 65535, -65535, 255, -255, 256, -256})
    values.push_back(v);
  BitWriter w;
  InitBitWriter(&w);
  WriteBits(&w, 0x5, 3);
  for (int32_t v : values) WriteMotionVectorDifference(&w, v);
  WriteBits(&w, 0x15, 5);
  ReaderStream s;
  OpenStream(&s, w);
  SkipBits(&s.reader, 3);
  for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(ReadMotionVectorDifference(&s.reader), values[i]) << i;
  EXPECT_EQ(ReadBits(&s.reader, 5), 0x15u);
}

MotionVectorSet Set(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t x3,
                    int32_t y3) {
  return MotionVectorSet{{x0, y0, x1, y1, x2, y2, x3, y3}};
}

// Rows with a spare entry on the left: index 1 is this block's column.
struct Rows {
  MotionVectorSet cur[2];
  MotionVectorSet above[2];
};

Rows MakeRows() {
  Rows r;
  r.cur[0] = Set(10, -4, 20, -8, 30, -12, 40, -16);      // left: L0..L3
  r.above[0] = Set(1, 1, 2, 2, 3, 3, 50, 60);            // above-left: A3 = (50, 60)
  r.above[1] = Set(-6, 6, -7, 7, -8, 8, -9, 9);          // above: U0..U3
  r.cur[1] = Set(0, 0, 0, 0, 0, 0, 0, 0);
  return r;
}

MotionVectorSet DecodeWith(const char *code, uint32_t flags, Rows *rows) {
  BitWriter w;
  InitBitWriter(&w);
  WriteCode(&w, code);
  ReaderStream s;
  OpenStream(&s, w);
  DecodeMotionVectors(&s.reader, &rows->cur[1], &rows->above[1], flags);
  return rows->cur[1];
}

TEST(Gen2MotionVectors, PredictionCases) {
  Rows rows = MakeRows();
  // One difference per component, both 0, both neighbours: all four vectors
  // are vector 0's prediction med(L1, U2, A3).
  MotionVectorSet v = DecodeWith("1" "1" "1", 0, &rows);
  const int32_t px = 20, py = 8;  // med(20, -8, 50) = 20; med(-8, 8, 60) = 8
  for (int q = 0; q < 4; ++q) {
    EXPECT_EQ(v.v[2 * q], px);
    EXPECT_EQ(v.v[2 * q + 1], py);
  }
  // Top-left block of a slice: the vectors are the differences themselves,
  // vectors 1 and 2 relative to vector 0. Four x: 3, 1, -1, 0; y: 0 x4.
  rows = MakeRows();
  v = DecodeWith("0" "00111" "011" "010" "1" "1" "1" "1" "1", MV_NO_LEFT | MV_NO_ABOVE_SLICE, &rows);
  EXPECT_EQ(v.v[0], 3);
  EXPECT_EQ(v.v[2], 4);
  EXPECT_EQ(v.v[4], 2);
  EXPECT_EQ(v.v[6], 3);  // 0 + med(3, 4, 2)
  for (int q = 0; q < 4; ++q) EXPECT_EQ(v.v[2 * q + 1], 0);

  // Intra prediction, left only: V0 = med(L0, L1, L3), V2 = med(V0, L1, L3),
  // V1 = med(V0, V2, L1), V3 = med(V0, V1, V2).
  rows = MakeRows();
  PredictMotionVectors(MV_NO_ABOVE_FRAME, &rows.cur[1], &rows.above[1]);
  EXPECT_EQ(rows.cur[1].v[0], 20);
  EXPECT_EQ(rows.cur[1].v[4], 20);
  EXPECT_EQ(rows.cur[1].v[2], 20);
  EXPECT_EQ(rows.cur[1].v[1], -8);  // med(-4, -8, -16)
  // Above only: V0 = med(U0, U2, U3) = med(-6, -8, -9) = -8; V1 = med(V0, U2,
  // U3) = -8; V2 = med(V0, V1, U2) = -8.
  rows = MakeRows();
  PredictMotionVectors(MV_NO_LEFT, &rows.cur[1], &rows.above[1]);
  EXPECT_EQ(rows.cur[1].v[0], -8);
  EXPECT_EQ(rows.cur[1].v[1], 8);  // med(6, 8, 9)
  EXPECT_EQ(rows.cur[1].v[6], -8);
  // Neither: all zero.
  rows = MakeRows();
  rows.cur[1] = Set(9, 9, 9, 9, 9, 9, 9, 9);
  PredictMotionVectors(MV_NO_LEFT | MV_NO_ABOVE_FRAME, &rows.cur[1], &rows.above[1]);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(rows.cur[1].v[i], 0);
  // Both: V1 = med(V0, U3, U2), V2 = med(V0, L1, L3).
  rows = MakeRows();
  PredictMotionVectors(0, &rows.cur[1], &rows.above[1]);
  EXPECT_EQ(rows.cur[1].v[0], 20);
  EXPECT_EQ(rows.cur[1].v[2], -8);  // med(20, -9, -8)
  EXPECT_EQ(rows.cur[1].v[4], 20);  // med(20, 20, 40)
  EXPECT_EQ(rows.cur[1].v[6], 20);  // med(20, -8, 20)
}

TEST(Gen2MotionVectors, ArithmeticWraps) {
  Rows rows = MakeRows();
  rows.cur[0] = Set(INT32_MAX, INT32_MIN, INT32_MAX, INT32_MIN, 0, 0, INT32_MAX, INT32_MIN);
  BitWriter w;
  InitBitWriter(&w);
  const int32_t dx[4] = {65535, 1, 2, 3}, dy[4] = {-65535, -1, -2, -3};
  WriteMotionVectors(&w, dx, dy, false);
  ReaderStream s;
  OpenStream(&s, w);
  DecodeMotionVectors(&s.reader, &rows.cur[1], &rows.above[1], MV_NO_ABOVE_FRAME);
  // V0 = 65535 + INT32_MAX, wrapping.
  EXPECT_EQ(rows.cur[1].v[0], static_cast<int32_t>(0x7FFFFFFFu + 65535u));
  EXPECT_EQ(rows.cur[1].v[1], static_cast<int32_t>(0x80000000u - 65535u));
}

TEST(Gen2MotionVectors, WriterRoundTripTopLeft) {
  std::mt19937 rng(8);
  for (int iter = 0; iter < 500; ++iter) {
    int32_t dx[4], dy[4];
    for (int i = 0; i < 4; ++i) {
      dx[i] = static_cast<int32_t>(rng() % 201) - 100;
      dy[i] = static_cast<int32_t>(rng() % 20001) - 10000;
    }
    const bool single = rng() & 1;
    BitWriter w;
    InitBitWriter(&w);
    WriteMotionVectors(&w, dx, dy, single);
    ReaderStream s;
    OpenStream(&s, w);
    MotionVectorSet row[2] = {}, above[2] = {};
    DecodeMotionVectors(&s.reader, &row[1], &above[1], MV_NO_LEFT | MV_NO_ABOVE_FRAME);
    const int32_t *d[2] = {dx, dy};
    for (int c = 0; c < 2; ++c) {
      int32_t v0 = d[c][0];
      int32_t v1 = single ? v0 : v0 + d[c][1];
      int32_t v2 = single ? v0 : v0 + d[c][2];
      int32_t lo = std::min(v0, std::min(v1, v2)), hi = std::max(v0, std::max(v1, v2));
      int32_t med = v0 + v1 + v2 - lo - hi;
      int32_t v3 = single ? v0 : d[c][3] + med;
      ASSERT_EQ(row[1].v[c], v0);
      ASSERT_EQ(row[1].v[2 + c], v1);
      ASSERT_EQ(row[1].v[4 + c], v2);
      ASSERT_EQ(row[1].v[6 + c], v3);
    }
  }
}

TEST(Gen2MotionClamp, ExamplesOfBothModes) {
  // Plane width 64: W2 = 128.
  EXPECT_EQ(ClampPosition(200, 128, 1), 96u);
  EXPECT_EQ(ClampPosition(201, 128, 1), 91u);
  EXPECT_EQ(ClampPosition(static_cast<uint32_t>(-7), 128, 1), 5u);
  EXPECT_EQ(ClampPosition(static_cast<uint32_t>(-8), 128, 1), 0u);
  EXPECT_EQ(ClampPosition(3, 128, 0), 4u);
  EXPECT_EQ(ClampPosition(89, 128, 0), 89u);
  EXPECT_EQ(ClampPosition(91, 128, 0), 86u);
  EXPECT_EQ(ClampPosition(static_cast<uint32_t>(-100), 128, 0), 0u);
  EXPECT_EQ(ClampPosition(0x80000001u, 128, 0), 4u);
  // A plane of 16 rows (W2 = 32): no half-sample position fits, so every
  // position becomes the whole-sample row 0.
  for (uint32_t mode = 0; mode < 2; ++mode)
    for (int32_t p = -50; p <= 50; ++p) EXPECT_EQ(ClampPosition(static_cast<uint32_t>(p), 32, mode), 0u);
}

TEST(Gen2MotionClamp, KernelFootprintStaysInsideThePlane) {
  std::mt19937 rng(2024);
  const uint32_t widths[] = {32, 64, 96, 320};
  const uint32_t heights[] = {16, 32, 48, 64, 240};
  for (uint32_t w : widths)
    for (uint32_t h : heights)
      for (uint32_t mode = 0; mode < 2; ++mode)
        for (int iter = 0; iter < 400; ++iter) {
          MotionVectorSet mv;
          for (int i = 0; i < 8; ++i) {
            int32_t range = iter % 4 == 0 ? 1 << 20 : 200;
            mv.v[i] = static_cast<int32_t>(rng() % (2 * range + 1)) - range;
          }
          if (iter % 50 == 0)
            for (int i = 0; i < 8; ++i) mv.v[i] = (i & 1) ? INT32_MIN : INT32_MAX;
          const uint32_t col = 32 * (rng() % (w / 32));
          const uint32_t top = 32 * (rng() % ((h + 31) / 32));
          QuadrantPositions pos;
          ClampMotionVectors(&pos, nullptr, nullptr, nullptr, col, top, w, w / 2, &mv,
                             mode ? uint32_t(MV_CLAMP_MODE) : 0u, 2 * w, 2 * h);
          for (int q = 0; q < 4; ++q) {
            const uint32_t x = pos.p[2 * q], y = pos.p[2 * q + 1];
            // Luma 16x16: half-sample directions read two before, three after.
            const int64_t x0 = int64_t(x >> 1) - ((x & 1) ? 2 : 0), x1 = int64_t(x >> 1) + 15 + ((x & 1) ? 3 : 0);
            const int64_t y0 = int64_t(y >> 1) - ((y & 1) ? 2 : 0), y1 = int64_t(y >> 1) + 15 + ((y & 1) ? 3 : 0);
            ASSERT_GE(x0, 0) << w << "x" << h << " mode " << mode << " x " << x;
            ASSERT_LT(x1, int64_t(w)) << w << "x" << h << " mode " << mode << " x " << x;
            ASSERT_GE(y0, 0) << w << "x" << h << " mode " << mode << " y " << y;
            ASSERT_LT(y1, int64_t(h)) << w << "x" << h << " mode " << mode << " y " << y;
            // Chroma 8x8 at quarter samples: one more column/row with a phase.
            const int64_t cx1 = int64_t(x >> 2) + 7 + ((x & 3) ? 1 : 0);
            const int64_t cy1 = int64_t(y >> 2) + 7 + ((y & 3) ? 1 : 0);
            ASSERT_LT(cx1, int64_t(w / 2)) << w << "x" << h << " mode " << mode << " x " << x;
            ASSERT_LT(cy1, int64_t(h / 2)) << w << "x" << h << " mode " << mode << " y " << y;
          }
        }
}

TEST(Gen2MotionClamp, PositionsAndPrefetchOnRealPlanes) {
  // Plane 64x48, chroma 32x24; the prefetches touch only hints, the
  // positions are the block's place plus the vector.
  std::vector<uint8_t> luma(64 * 48), c1(32 * 24), c2(32 * 24);
  MotionVectorSet mv = Set(1, 2, -3, 0, 4, -5, 0, 0);
  QuadrantPositions pos;
  ClampMotionVectors(&pos, luma.data(), c1.data(), c2.data(), 0, 0, 64, 32, &mv, MV_CLAMP_MODE, 128, 96);
  EXPECT_EQ(pos.p[0], 5u);    // 1 is a half position below 5
  EXPECT_EQ(pos.p[1], 2u);
  EXPECT_EQ(pos.p[2], 29u);   // 32 - 3
  EXPECT_EQ(pos.p[3], 0u);
  EXPECT_EQ(pos.p[4], 4u);
  EXPECT_EQ(pos.p[5], 27u);   // 32 - 5
  EXPECT_EQ(pos.p[6], 32u);
  EXPECT_EQ(pos.p[7], 32u);
  // Band at row 16 of a 48-row plane, bottom quadrants: 2 * 16 + 32 = 64 = hi.
  mv = Set(0, 0, 0, 0, 0, 2, 0, 3);
  ClampMotionVectors(&pos, luma.data(), c1.data(), c2.data(), 32, 16, 64, 32, &mv, 0, 128, 96);
  EXPECT_EQ(pos.p[5], 64u);   // 66 > 64: the last whole row
  EXPECT_EQ(pos.p[7], 54u);   // 67 (half) out of range: 96 - 42
}

}  // namespace
