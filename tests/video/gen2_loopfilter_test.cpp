// In-loop edge filters: hand-computed steps, the mask table, code bytes,
// deferred-edge windows, and the SSE2 kernels against the scalar ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "video/gen2/loopfilter.h"

namespace {

struct KernelSet {
  const char *name;
  LoopFilterKernels k;
};

std::vector<KernelSet> AllKernelSets() {
  KernelSet scalar{"scalar", {}}, sse2{"sse2", {}};
  InitLoopFilterKernelsScalar(&scalar.k);
  InitLoopFilterKernels(&sse2.k, 0x8 /* SSE2 */);
  return {scalar, sse2};
}

// 16-byte aligned buffer of exactly `bytes` bytes (a multiple of 16), so that
// reading past it is caught by the address sanitizer.
struct Aligned {
  uint8_t *p;
  explicit Aligned(size_t bytes) : p(static_cast<uint8_t *>(aligned_alloc(16, bytes))) {}
  ~Aligned() { free(p); }
};

// Runs one line o1, i1 | i2, o2 through the horizontal and vertical kernels
// of every set with `code` and checks the result.
void ExpectLine(uint8_t o1, uint8_t i1, uint8_t i2, uint8_t o2, uint32_t code, uint8_t e1,
                uint8_t e2, uint8_t e3, uint8_t e4) {
  for (const KernelSet &set : AllKernelSets()) {
    Aligned h(64);
    for (int x = 0; x < 16; ++x) {
      h.p[x] = o1;
      h.p[16 + x] = i1;
      h.p[32 + x] = i2;
      h.p[48 + x] = o2;
    }
    set.k.horizontal_edge16(h.p, 16, &EDGE_FILTER_MASKS[code], &EDGE_FILTER_MASKS[code]);
    for (int x = 0; x < 16; ++x) {
      EXPECT_EQ(h.p[x], e1) << set.name << " horizontal column " << x;
      EXPECT_EQ(h.p[16 + x], e2) << set.name;
      EXPECT_EQ(h.p[32 + x], e3) << set.name;
      EXPECT_EQ(h.p[48 + x], e4) << set.name;
    }
    Aligned v(64);  // 8 rows of 8: guard, guard, o1, i1, i2, o2, guard, guard
    for (int y = 0; y < 8; ++y) {
      uint8_t row[8] = {7, 7, o1, i1, i2, o2, 7, 7};
      memcpy(v.p + 8 * y, row, 8);
    }
    set.k.vertical_edge8(&EDGE_FILTER_MASKS[code], v.p + 4, 8);
    for (int y = 0; y < 8; ++y) {
      const uint8_t *r = v.p + 8 * y;
      EXPECT_EQ(r[0], 7);
      EXPECT_EQ(r[1], 7);
      EXPECT_EQ(r[2], e1) << set.name << " vertical row " << y;
      EXPECT_EQ(r[3], e2) << set.name;
      EXPECT_EQ(r[4], e3) << set.name;
      EXPECT_EQ(r[5], e4) << set.name;
      EXPECT_EQ(r[6], 7);
      EXPECT_EQ(r[7], 7);
    }
  }
}

TEST(Gen2LoopFilter, HandComputedSteps) {
  ExpectLine(100, 100, 140, 140, 10, 105, 110, 130, 135);  // d = 40
  ExpectLine(100, 100, 95, 95, 10, 99, 99, 96, 96);        // d = -5
  ExpectLine(100, 100, 101, 101, 10, 100, 100, 101, 101);  // d = 1: nothing
  ExpectLine(100, 100, 99, 99, 10, 100, 100, 99, 99);      // d = -1: nothing
  ExpectLine(100, 100, 102, 102, 10, 100, 101, 101, 102);  // d = 2: inner lines only
  ExpectLine(255, 255, 0, 0, 10, 223, 191, 64, 32);        // d = -255
  ExpectLine(255, 0, 255, 0, 10, 255, 64, 191, 0);         // saturated both ways
  ExpectLine(0, 255, 0, 255, 10, 0, 191, 64, 255);
  ExpectLine(100, 100, 140, 140, 0, 100, 100, 140, 140);   // code 0
}

// Each code changes exactly the lines its mask entry names, and codes that
// the rule makes alike give the same pixels.
TEST(Gen2LoopFilter, MasksPerCode) {
  static const bool kLines[16][4] = {
      {0, 0, 0, 0}, {0, 1, 0, 0}, {1, 1, 0, 0}, {1, 1, 0, 0}, {0, 0, 1, 0}, {0, 1, 1, 0},
      {1, 1, 1, 0}, {1, 1, 1, 0}, {0, 0, 1, 1}, {0, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1},
      {0, 0, 1, 1}, {0, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}};
  const uint8_t in[4] = {60, 60, 200, 200};  // d = 140: every line moves
  const uint8_t out[4] = {78, 95, 165, 182};
  for (uint32_t code = 0; code < 16; ++code) {
    for (int l = 0; l < 4; ++l) {
      EXPECT_EQ(EDGE_FILTER_MASKS[code].lane[l], kLines[code][l] ? -1 : 0) << code;
      EXPECT_EQ(EDGE_FILTER_MASKS[code].lane[4 + l], 0);
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&EDGE_FILTER_MASKS[code]) % 16, 0u);
    uint8_t e[4];
    for (int l = 0; l < 4; ++l) e[l] = kLines[code][l] ? out[l] : in[l];
    ExpectLine(in[0], in[1], in[2], in[3], code, e[0], e[1], e[2], e[3]);
  }
}

TEST(Gen2LoopFilter, CodeByteHalves) {
  // Code byte 0x41: left 8 columns only i1, right 8 columns only i2.
  for (const KernelSet &set : AllKernelSets()) {
    Aligned h(64);
    memset(h.p, 100, 32);
    memset(h.p + 32, 140, 32);
    set.k.horizontal_edge16(h.p, 16, &EDGE_FILTER_MASKS[0x1], &EDGE_FILTER_MASKS[0x4]);
    for (int x = 0; x < 16; ++x) {
      bool left = x < 8;
      EXPECT_EQ(h.p[x], 100) << set.name;
      EXPECT_EQ(h.p[16 + x], left ? 110 : 100) << set.name;
      EXPECT_EQ(h.p[32 + x], left ? 140 : 130) << set.name;
      EXPECT_EQ(h.p[48 + x], 140) << set.name;
    }
  }
}

// Random pixels (with runs of 0 and 255) and random codes: the SSE2 kernels
// give the scalar kernels' bytes and touch nothing else.
TEST(Gen2LoopFilter, Sse2MatchesScalar) {
  LoopFilterKernels scalar, sse2;
  InitLoopFilterKernelsScalar(&scalar);
  InitLoopFilterKernels(&sse2, 0x8);
  ASSERT_NE(sse2.horizontal_edge16, scalar.horizontal_edge16);
  std::mt19937 rng(12345);
  auto pixel = [&](int mode) -> uint8_t {
    uint32_t r = rng();
    if (mode == 1) return (r & 1) ? 255 : 0;
    if (mode == 2) return uint8_t(r & 1 ? 250 + r % 6 : r % 6);
    return uint8_t(r);
  };
  const int kStride = 48;
  for (int iter = 0; iter < 4000; ++iter) {
    int mode = iter % 3;
    uint32_t left = rng() & 15, right = rng() & 15;
    Aligned a(4 * kStride), b(4 * kStride);
    for (int i = 0; i < 4 * kStride; ++i) a.p[i] = pixel(mode);
    memcpy(b.p, a.p, 4 * kStride);
    scalar.horizontal_edge16(a.p + 16, kStride, &EDGE_FILTER_MASKS[left], &EDGE_FILTER_MASKS[right]);
    sse2.horizontal_edge16(b.p + 16, kStride, &EDGE_FILTER_MASKS[left], &EDGE_FILTER_MASKS[right]);
    ASSERT_EQ(memcmp(a.p, b.p, 4 * kStride), 0) << "horizontal iteration " << iter;

    // Vertical: 8 rows of exactly 16 bytes, edge at column 8 of the last
    // bytes of the buffer's rows; columns outside -2..+1 must not move.
    uint32_t code = rng() & 15;
    Aligned c(8 * 16), d(8 * 16), orig(8 * 16);
    for (int i = 0; i < 8 * 16; ++i) orig.p[i] = pixel(mode);
    memcpy(c.p, orig.p, 128);
    memcpy(d.p, orig.p, 128);
    int col = 2 + int(rng() % 13);  // 2..14
    scalar.vertical_edge8(&EDGE_FILTER_MASKS[code], c.p + col, 16);
    sse2.vertical_edge8(&EDGE_FILTER_MASKS[code], d.p + col, 16);
    ASSERT_EQ(memcmp(c.p, d.p, 128), 0) << "vertical iteration " << iter;
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 16; ++x)
        if (x < col - 2 || x > col + 1) {
          ASSERT_EQ(d.p[16 * y + x], orig.p[16 * y + x]);
        }
  }
}

// A plane with an edge at every 8th row; each code byte of the deferred
// words must filter the window it names and nothing else.
TEST(Gen2LoopFilter, DeferredEdgeWindows) {
  const int kLumaStride = 64, kChromaStride = 32, kRows = 64;
  Aligned luma(kLumaStride * kRows), c1(kChromaStride * kRows), c2(kChromaStride * kRows);
  auto fill = [](uint8_t *p, int stride) {
    // Bands of 8 rows alternating 100 and 140: every 8th row is a step.
    for (int y = 0; y < kRows; ++y) memset(p + y * stride, ((y >> 3) & 1) ? 140 : 100, stride);
  };
  const int top = 16;  // the block's top row
  struct Case {
    int word, byte, plane;  // plane 0 luma, 1 chroma 1, 2 chroma 2
    int edge_row;           // row counted from the block's top
  };
  const Case cases[] = {{0, 0, 0, -8}, {0, 1, 0, 0},  {0, 2, 0, 8},  {0, 3, 0, 16}, {1, 3, 0, 24},
                        {1, 0, 1, -8}, {1, 1, 1, 0},  {1, 2, 1, 8},  {2, 0, 2, -8}, {2, 1, 2, 0},
                        {2, 2, 2, 8}};
  for (const KernelSet &set : AllKernelSets()) {
    for (const Case &k : cases) {
      // Shift the steps so that one lies at the expected edge (row top +
      // edge_row) in the plane under test.
      fill(luma.p, kLumaStride);
      fill(c1.p, kChromaStride);
      fill(c2.p, kChromaStride);
      std::vector<uint8_t> l0(luma.p, luma.p + kLumaStride * kRows);
      std::vector<uint8_t> a0(c1.p, c1.p + kChromaStride * kRows);
      std::vector<uint8_t> b0(c2.p, c2.p + kChromaStride * kRows);
      DeferredEdgeCodes codes = {{0, 0, 0}};
      codes.word[k.word] = 0xAAu << (8 * k.byte);
      LoopFilterKernels kk = set.k;
      // The block's pointers, at its top row and column 32 (luma) / 16
      // (chroma): edges lie in the 16 columns to their left.
      FilterDeferredEdgesWith(&kk, luma.p + top * kLumaStride + 32,
                              c1.p + top * kChromaStride + 16,
                              c2.p + top * kChromaStride + 16, &codes, kLumaStride,
                              kChromaStride);
      uint8_t *planes[3] = {luma.p, c1.p, c2.p};
      const std::vector<uint8_t> *before[3] = {&l0, &a0, &b0};
      int strides[3] = {kLumaStride, kChromaStride, kChromaStride};
      int cols[3] = {16, 0, 0};
      for (int pl = 0; pl < 3; ++pl) {
        for (int y = 0; y < kRows; ++y) {
          for (int x = 0; x < strides[pl]; ++x) {
            uint8_t now = planes[pl][y * strides[pl] + x];
            uint8_t was = (*before[pl])[y * strides[pl] + x];
            int edge = top + k.edge_row;
            bool inside = pl == k.plane && x >= cols[pl] && x < cols[pl] + 16 && y >= edge - 2 &&
                          y <= edge + 1;
            if (!inside) {
              ASSERT_EQ(now, was) << set.name << " plane " << pl << " row " << y << " col " << x
                                  << " word " << k.word << " byte " << k.byte;
            } else if ((edge & 7) == 0) {
              // The window lies on a step: all four lines move.
              ASSERT_NE(now, was) << set.name << " row " << y;
            }
          }
        }
      }
    }
    // All words zero: nothing at all.
    fill(luma.p, kLumaStride);
    std::vector<uint8_t> l0(luma.p, luma.p + kLumaStride * kRows);
    DeferredEdgeCodes none = {{0, 0, 0}};
    LoopFilterKernels kk = set.k;
    FilterDeferredEdgesWith(&kk, luma.p + top * kLumaStride + 32,
                            c1.p + top * kChromaStride + 16,
                            c2.p + top * kChromaStride + 16, &none, kLumaStride,
                            kChromaStride);
    EXPECT_EQ(memcmp(l0.data(), luma.p, l0.size()), 0);
  }
}

}  // namespace
