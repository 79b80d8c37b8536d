// Motion-compensation and DC-smoothing kernels: every SIMD slot against its
// scalar reference, the worked values of the filters, and the read/write
// footprints (sources and destinations are exact-size heap blocks, so any
// access outside them is caught under AddressSanitizer).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "engine/platform/cpu.h"
#include "video/gen2/mc.h"

namespace {

// A source area whose readable bytes are exactly rows r0..r1 and columns
// c0..c1 around the kernel's origin: the block ends at the last byte the
// kernel may read and starts at the first.
struct Footprint {
  uint8_t *block = nullptr;
  const uint8_t *origin = nullptr;
  int32_t stride = 0;
  int r0 = 0, r1 = 0, c0 = 0, c1 = 0;

  Footprint(int row0, int row1, int col0, int col1, int32_t pitch)
      : stride(pitch), r0(row0), r1(row1), c0(col0), c1(col1) {
    const size_t size = static_cast<size_t>((r1 - r0) * stride + (c1 - c0 + 1));
    block = static_cast<uint8_t *>(std::malloc(size));
    origin = block - r0 * stride - c0;
  }
  ~Footprint() { std::free(block); }
  Footprint(const Footprint &) = delete;
  Footprint &operator=(const Footprint &) = delete;

  uint8_t &At(int r, int c) { return block[(r - r0) * stride + (c - c0)]; }
  // Fills every readable byte: mode 0 random, 1 random 0/255, 2 uniform value.
  void Fill(std::mt19937 &rng, int mode, uint8_t value = 0) {
    for (int r = r0; r <= r1; ++r)
      for (int c = c0; c <= c1; ++c)
        At(r, c) = mode == 0 ? static_cast<uint8_t>(rng()) : mode == 1 ? ((rng() & 1) ? 255 : 0) : value;
  }
};

// An exact-size destination block (stride = width) and a guarded one (wider
// stride, guard bytes around every row).
struct Destination {
  int width, height;
  uint8_t *exact;
  std::vector<uint8_t> guarded;
  static constexpr int kGuardStride = 48;
  static constexpr int kGuardOffset = 16 + 2 * kGuardStride;

  Destination(int w, int h) : width(w), height(h) {
    exact = static_cast<uint8_t *>(std::aligned_alloc(16, static_cast<size_t>(w * h)));
    guarded.assign(static_cast<size_t>(kGuardStride * (h + 4)), 0xA5);
  }
  ~Destination() { std::free(exact); }
  Destination(const Destination &) = delete;
  Destination &operator=(const Destination &) = delete;

  uint8_t *GuardedOrigin() { return guarded.data() + kGuardOffset; }
  // Returns true when nothing outside the block changed.
  bool GuardsIntact() const {
    for (size_t i = 0; i < guarded.size(); ++i) {
      const int off = static_cast<int>(i) - kGuardOffset;
      const int r = off >= 0 ? off / kGuardStride : -1, c = off >= 0 ? off % kGuardStride : -1;
      const bool inside = off >= 0 && r < height && c < width;
      if (!inside && guarded[i] != 0xA5) return false;
    }
    return true;
  }
  std::vector<uint8_t> GuardedBlock() const {
    std::vector<uint8_t> out;
    for (int r = 0; r < height; ++r)
      for (int c = 0; c < width; ++c) out.push_back(guarded[kGuardOffset + r * kGuardStride + c]);
    return out;
  }
  std::vector<uint8_t> ExactBlock() const { return std::vector<uint8_t>(exact, exact + width * height); }
};

uint32_t DetectedFeatures() {
  UpdateCpuFeatures(0, 0);
  return GetDetectedCpuFeatures();
}

// Runs a kernel into both destinations and returns the exact-block output,
// checking that the guarded run wrote the same and nothing else.
std::vector<uint8_t> RunKernel(McKernel kernel, Footprint &src, Destination &dst) {
  kernel(src.origin, dst.exact, src.stride, dst.width);
  std::fill(dst.guarded.begin(), dst.guarded.end(), 0xA5);
  kernel(src.origin, dst.GuardedOrigin(), src.stride, Destination::kGuardStride);
  EXPECT_TRUE(dst.GuardsIntact());
  EXPECT_EQ(dst.ExactBlock(), dst.GuardedBlock());
  return dst.ExactBlock();
}

void QpelFootprint(int slot, int *r1, int *c1) {
  *c1 = (slot >> 2) ? 8 : 7;
  *r1 = (slot & 3) ? 8 : 7;
}

// Half-sample footprint by index 2 * hx + hy: rows/columns -2..18 when
// filtered in that direction, else 0..15.
void HpelFootprint(int index, int *r0, int *r1, int *c0, int *c1) {
  const bool vertical = index & 1, horizontal = index & 2;
  *r0 = vertical ? -2 : 0;
  *r1 = vertical ? 18 : 15;
  *c0 = horizontal ? -2 : 0;
  *c1 = horizontal ? 18 : 15;
}

// Reference value of the half-sample filter for six samples.
int HalfPel(const int *s) {
  const int F = ((s[0] + s[5]) >> 1) + ((19 * (s[2] + s[3])) >> 1) - 2 * (s[1] + s[4]);
  return (F + 8) >> 4;
}

}  // namespace

TEST(Gen2McKernels, TableOrderAndSelection) {
  McKernelTable scalar, sse2, best;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&sse2, CPU_SSE2);
  FillMcKernelTable(&best, CPU_SSE2 | CPU_SSSE3);
  EXPECT_EQ(sse2.qpel[6], McQpel8x8Dx1Dy2);
  EXPECT_EQ(sse2.smooth_dc[3], SmoothDcBoth);
  EXPECT_EQ(sse2.hpel_sse2[2], McHpel16x16Horz);
  // Without SSSE3 the SSSE3 slots never hold SSSE3 code.
  EXPECT_EQ(sse2.hpel_ssse3[1], McHpel16x16Vert);
  EXPECT_EQ(best.hpel_ssse3[3], McHpel16x16BothSsse3);
  EXPECT_EQ(scalar.hpel_ssse3[0], McHpel16x16CopyScalar);
  EXPECT_EQ(0, std::memcmp(&best, &MC_KERNEL_TABLE, sizeof best));
  // The slots lie in their fixed order.
  EXPECT_EQ(sizeof(McKernelTable), MC_SLOT_COUNT * sizeof(McKernel));
  EXPECT_EQ(offsetof(McKernelTable, smooth_dc), MC_SLOT_SMOOTH_FIRST * sizeof(McKernel));
  EXPECT_EQ(offsetof(McKernelTable, hpel_sse2), MC_SLOT_HPEL_SSE2 * sizeof(McKernel));
  EXPECT_EQ(offsetof(McKernelTable, hpel_ssse3), MC_SLOT_HPEL_SSSE3 * sizeof(McKernel));
}

TEST(Gen2McKernels, QuarterSampleSimdMatchesScalarWithinFootprint) {
  McKernelTable scalar, simd;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&simd, CPU_SSE2);
  std::mt19937 rng(1234);
  for (int slot = 0; slot < 16; ++slot) {
    int r1, c1;
    QpelFootprint(slot, &r1, &c1);
    for (int32_t stride : {c1 + 1, 40, 1000}) {
      Footprint src(0, r1, 0, c1, stride);
      Destination dst(8, 8);
      for (int iter = 0; iter < 60; ++iter) {
        src.Fill(rng, iter < 40 ? 0 : 1);
        const std::vector<uint8_t> ref = RunKernel(scalar.qpel[slot], src, dst);
        const std::vector<uint8_t> got = RunKernel(simd.qpel[slot], src, dst);
        ASSERT_EQ(ref, got) << "slot " << slot << " stride " << stride << " iter " << iter;
      }
    }
  }
}

TEST(Gen2McKernels, QuarterSampleWeightsAndRounding) {
  McKernelTable scalar, simd;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&simd, CPU_SSE2);
  for (const McKernelTable *t : {&scalar, &simd}) {
    Footprint src(0, 8, 0, 8, 9);
    Destination dst(8, 8);
    std::mt19937 rng(1);
    // Uniform areas stay uniform at every phase.
    for (int v : {0, 1, 77, 128, 254, 255}) {
      src.Fill(rng, 2, static_cast<uint8_t>(v));
      for (int slot = 0; slot < 16; ++slot)
        for (uint8_t out : RunKernel(t->qpel[slot], src, dst)) ASSERT_EQ(v, out) << slot;
    }
    // Slot 4 with TL = 1, TR = 0 gives 1; slot 8 with TL = 0, TR = 1 gives 1.
    for (int r = 0; r <= 8; ++r)
      for (int c = 0; c <= 8; ++c) src.At(r, c) = static_cast<uint8_t>((c & 1) ? 0 : 1);
    EXPECT_EQ(1, RunKernel(t->qpel[4], src, dst)[0]);
    for (int r = 0; r <= 8; ++r)
      for (int c = 0; c <= 8; ++c) src.At(r, c) = static_cast<uint8_t>(c & 1);
    EXPECT_EQ(1, RunKernel(t->qpel[8], src, dst)[0]);
    // Every slot against the bilinear formula with its weight table.
    src.Fill(rng, 0);
    for (int slot = 0; slot < 16; ++slot) {
      const int fx = slot >> 2, fy = slot & 3;
      const std::vector<uint8_t> out = RunKernel(t->qpel[slot], src, dst);
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
          const int v = ((4 - fx) * (4 - fy) * src.At(y, x) + fx * (4 - fy) * src.At(y, x + 1) +
                         (4 - fx) * fy * src.At(y + 1, x) + fx * fy * src.At(y + 1, x + 1) + 8) >>
                        4;
          ASSERT_EQ(v, out[y * 8 + x]) << slot;
        }
    }
  }
}

TEST(Gen2McKernels, HalfSampleSetsMatchScalarWithinFootprint) {
  const uint32_t features = DetectedFeatures();
  McKernelTable scalar, simd;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&simd, features | CPU_SSE2);
  if (!(features & CPU_SSSE3)) std::printf("SSSE3 not available: slots 24-27 hold the SSE2 set\n");
  std::mt19937 rng(99);
  for (int index = 0; index < 4; ++index) {
    int r0, r1, c0, c1;
    HpelFootprint(index, &r0, &r1, &c0, &c1);
    for (int32_t stride : {c1 - c0 + 1, 64, 1920}) {
      Footprint src(r0, r1, c0, c1, stride);
      Destination dst(16, 16);
      for (int iter = 0; iter < 40; ++iter) {
        // Random samples, random 0/255 patterns, and the uniform extremes.
        if (iter < 24)
          src.Fill(rng, 0);
        else if (iter < 38)
          src.Fill(rng, 1);
        else
          src.Fill(rng, 2, iter == 38 ? 0 : 255);
        const std::vector<uint8_t> ref = RunKernel(scalar.hpel_sse2[index], src, dst);
        ASSERT_EQ(ref, RunKernel(simd.hpel_sse2[index], src, dst)) << "SSE2 index " << index << " iter " << iter;
        ASSERT_EQ(ref, RunKernel(simd.hpel_ssse3[index], src, dst)) << "SSSE3 index " << index << " iter " << iter;
        if (iter >= 38) {
          for (uint8_t v : ref) ASSERT_EQ(iter == 38 ? 0 : 255, v);
        }
      }
    }
  }
}

TEST(Gen2McKernels, HalfSampleFilterWorkedValues) {
  const uint32_t features = DetectedFeatures();
  McKernelTable scalar, simd;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&simd, features | CPU_SSE2);
  struct Case {
    int s[6];
    int expect;
  } cases[] = {
      {{0, 0, 0, 1, 1, 1}, 0},          // two early halvings: 0, not 1
      {{0, 0, 255, 255, 0, 0}, 255},    // 303 before saturation
      {{0, 255, 0, 0, 255, 0}, 0},      // -64 before saturation
      {{9, 9, 9, 9, 9, 9}, 9},
  };
  for (const McKernelTable *t : {&scalar, &simd}) {
    for (const McKernel *set : {t->hpel_sse2, t->hpel_ssse3}) {
      for (const Case &k : cases) {
        // Horizontal: every row holds the six samples around column 0.
        Footprint h(0, 15, -2, 18, 21);
        for (int r = 0; r <= 15; ++r)
          for (int c = -2; c <= 18; ++c) h.At(r, c) = static_cast<uint8_t>(c <= 3 ? k.s[c + 2] : k.s[5]);
        Destination dst(16, 16);
        EXPECT_EQ(k.expect, RunKernel(set[2], h, dst)[0]);
        // Vertical: the same samples down column 0.
        Footprint v(-2, 18, 0, 15, 16);
        for (int r = -2; r <= 18; ++r)
          for (int c = 0; c <= 15; ++c) v.At(r, c) = static_cast<uint8_t>(r <= 3 ? k.s[r + 2] : k.s[5]);
        EXPECT_EQ(k.expect, RunKernel(set[1], v, dst)[0]);
      }
    }
  }
}

TEST(Gen2McKernels, TwoDimensionalKeepsUnsaturatedIntermediates) {
  // Find six-sample 0/255 patterns whose horizontal results are 311, 167, 135,
  // 104, 127 and 279, stack them down column 0: the kernel yields 124 there
  // (saturating the intermediates would give 121).
  const int wanted[6] = {311, 167, 135, 104, 127, 279};
  int patterns[6] = {-1, -1, -1, -1, -1, -1};
  for (int bits = 0; bits < 64; ++bits) {
    int s[6];
    for (int i = 0; i < 6; ++i) s[i] = ((bits >> i) & 1) ? 255 : 0;
    for (int k = 0; k < 6; ++k)
      if (patterns[k] < 0 && HalfPel(s) == wanted[k]) patterns[k] = bits;
  }
  for (int k = 0; k < 6; ++k) ASSERT_GE(patterns[k], 0) << wanted[k];

  const uint32_t features = DetectedFeatures();
  McKernelTable scalar, simd;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&simd, features | CPU_SSE2);
  Footprint src(-2, 18, -2, 18, 21);
  std::mt19937 rng(5);
  src.Fill(rng, 1);
  for (int r = -2; r <= 3; ++r)
    for (int c = -2; c <= 3; ++c) src.At(r, c) = ((patterns[r + 2] >> (c + 2)) & 1) ? 255 : 0;
  Destination dst(16, 16);
  EXPECT_EQ(124, RunKernel(scalar.hpel_sse2[3], src, dst)[0]);
  EXPECT_EQ(124, RunKernel(simd.hpel_sse2[3], src, dst)[0]);
  EXPECT_EQ(124, RunKernel(simd.hpel_ssse3[3], src, dst)[0]);
}

// ---- DC smoothing ------------------------------------------------------------------

namespace {

struct DcCase {
  uint16_t above[4], own[4], below[4];
  uint16_t threshold[8];
};

void SetThreshold(DcCase *c, uint16_t t) {
  for (uint16_t &v : c->threshold) v = t;
}

// Runs a smoothing kernel into a 16x8 area inside a guarded buffer; returns
// the area and checks that nothing outside the half(s) it owns changed.
std::vector<uint8_t> RunSmooth(SmoothDcKernel kernel, const DcCase &c, int writes /*1 left, 2 right*/) {
  // Exact-size word rows and threshold, so reads past them are caught.
  uint16_t *words = static_cast<uint16_t *>(std::malloc(3 * 4 * sizeof(uint16_t)));
  uint16_t *thr = static_cast<uint16_t *>(std::malloc(8 * sizeof(uint16_t)));
  std::memcpy(words, c.above, 8);
  std::memcpy(words + 4, c.own, 8);
  std::memcpy(words + 8, c.below, 8);
  std::memcpy(thr, c.threshold, 16);
  const int stride = 40;
  std::vector<uint8_t> buf(stride * 12, 0x5A);
  uint8_t *dst = buf.data() + 2 * stride + 8;
  kernel(words, words + 4, words + 8, thr, dst, stride);
  for (int i = 0; i < static_cast<int>(buf.size()); ++i) {
    const int off = i - (2 * stride + 8);
    const int r = off >= 0 ? off / stride : -1, col = off >= 0 ? off % stride : -1;
    const bool owned = r >= 0 && r < 8 && ((writes & 1 && col < 8) || (writes & 2 && col >= 8 && col < 16));
    if (!owned) {
      EXPECT_EQ(0x5A, buf[i]) << "byte outside the block written at " << off;
    }
  }
  std::vector<uint8_t> area;
  for (int r = 0; r < 8; ++r)
    for (int col = 0; col < 16; ++col) area.push_back(dst[r * stride + col]);
  std::free(words);
  std::free(thr);
  return area;
}

// The left 8x8 of a 16x8 area.
std::vector<uint8_t> LeftHalf(const std::vector<uint8_t> &area) {
  std::vector<uint8_t> out;
  for (int r = 0; r < 8; ++r) out.insert(out.end(), area.begin() + 16 * r, area.begin() + 16 * r + 8);
  return out;
}

DcCase Uniform(uint16_t word, uint16_t threshold) {
  DcCase c;
  for (int i = 0; i < 4; ++i) c.above[i] = c.own[i] = c.below[i] = word;
  SetThreshold(&c, threshold);
  return c;
}

}  // namespace

TEST(Gen2DcSmoothing, WorkedExampleLeftNeighbourPull) {
  McKernelTable scalar, simd;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&simd, CPU_SSE2);
  DcCase c = Uniform(0xE000 + 800, 2040);
  c.own[0] = 0xE000 + 1056;
  const uint8_t row0[8] = {108, 105, 104, 102, 101, 101, 100, 100};
  const uint8_t col0[8] = {108, 109, 110, 111, 111, 110, 109, 108};
  for (const McKernelTable *t : {&scalar, &simd}) {
    const std::vector<uint8_t> out = RunSmooth(t->smooth_dc[1], c, 1);
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(row0[i], out[i]) << "row 0 column " << i;
      EXPECT_EQ(col0[i], out[16 * i]) << "column 0 row " << i;
    }
  }
}

TEST(Gen2DcSmoothing, FlatNeighbourhoodsAndThresholds) {
  McKernelTable scalar, simd;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&simd, CPU_SSE2);
  for (const McKernelTable *t : {&scalar, &simd}) {
    // Same DC everywhere: flat at (D + 4) >> 3.
    for (uint16_t d : {0, 5, 1023, 1024, 2047}) {
      const std::vector<uint8_t> out = RunSmooth(t->smooth_dc[3], Uniform(0xE000 | d, 2040), 3);
      for (uint8_t v : out) ASSERT_EQ(std::min(255, (d + 4) >> 3), v) << d;
    }
    // Threshold 0: every DC-only block becomes flat, whatever its neighbours.
    DcCase c = Uniform(0xE000 + 300, 0);
    c.own[1] = 0xE000 + 900;
    c.own[2] = 0xE000 + 1600;
    c.above[0] = 0xE000 + 5;
    c.below[3] = 0xE000 + 2040;
    std::vector<uint8_t> out = RunSmooth(t->smooth_dc[3], c, 3);
    for (int r = 0; r < 8; ++r)
      for (int x = 0; x < 16; ++x) ASSERT_EQ(x < 8 ? (900 + 4) >> 3 : (1600 + 4) >> 3, out[16 * r + x]);
    // A neighbour that differs by T or more contributes the block's own DC.
    c = Uniform(0xE000 + 800, 100);
    c.own[0] = 0xE000 + 900;  // differs by exactly T: not near
    c.own[2] = 0x0000 + 800;  // an inter block: far away as a signed word
    out = RunSmooth(t->smooth_dc[1], c, 1);
    for (uint8_t v : LeftHalf(out)) ASSERT_EQ(100, v);
    // ... while a difference of T - 1 pulls.
    c.own[0] = 0xE000 + 899;
    out = RunSmooth(t->smooth_dc[1], c, 1);
    EXPECT_GT(out[0], 100);
  }
}

TEST(Gen2DcSmoothing, Bit15OnlyDifferenceCountsAsNear) {
  McKernelTable scalar, simd;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&simd, CPU_SSE2);
  for (const McKernelTable *t : {&scalar, &simd}) {
    for (uint16_t threshold : {0, 8, 2040}) {
      // The left neighbour b0 differs from A only in bit 15 (0x6000 + DC vs
      // 0xE000 + DC): near for every threshold, contributing its DC, equal
      // to A's. As a diagonal (a0) it gives dc(X), not the direct left value.
      DcCase c = Uniform(0xE000 + 800, threshold);
      c.own[0] = 0xE000 + 1000;
      c.above[0] = 0x6000 + 800;
      const std::vector<uint8_t> pulled = RunSmooth(t->smooth_dc[1], c, 1);
      DcCase d = c;
      d.above[0] = 0xE000 + 800;  // an ordinary near neighbour of the same DC
      EXPECT_EQ(RunSmooth(t->smooth_dc[1], d, 1), pulled) << threshold;
      c.own[0] = 0x6000 + 800;
      for (uint8_t v : LeftHalf(RunSmooth(t->smooth_dc[1], c, 1))) ASSERT_EQ(100, v);
    }
  }
}

TEST(Gen2DcSmoothing, SimdMatchesScalarOnRandomWords) {
  McKernelTable scalar, simd;
  FillMcKernelTable(&scalar, 0);
  FillMcKernelTable(&simd, CPU_SSE2);
  std::mt19937 rng(777);
  for (int iter = 0; iter < 3000; ++iter) {
    DcCase c;
    const int mode = iter % 3;
    for (int i = 0; i < 4; ++i) {
      uint16_t *rows[3] = {c.above, c.own, c.below};
      for (uint16_t *row : rows) {
        if (mode == 0)
          row[i] = static_cast<uint16_t>(rng());  // any word, including wrap-around
        else if (mode == 1)
          row[i] = static_cast<uint16_t>(0xE000 | (rng() & 0x1FFF));
        else
          row[i] = static_cast<uint16_t>((rng() & 1 ? 0xE000 : 0x6000) | (900 + rng() % 300));
      }
    }
    SetThreshold(&c, static_cast<uint16_t>(iter % 7 == 0 ? 0 : rng() % 2041));
    for (int kind = 1; kind < 4; ++kind)
      ASSERT_EQ(RunSmooth(scalar.smooth_dc[kind], c, kind), RunSmooth(simd.smooth_dc[kind], c, kind))
          << "kind " << kind << " iter " << iter;
  }
  // Slot 16 writes nothing.
  DcCase c = Uniform(0xE000 + 8, 2040);
  const std::vector<uint8_t> none = RunSmooth(simd.smooth_dc[0], c, 0);
  for (uint8_t v : none) EXPECT_EQ(0x5A, v);
  RunSmooth(scalar.smooth_dc[0], c, 0);
}
