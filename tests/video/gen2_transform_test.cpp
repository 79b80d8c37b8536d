// Second-generation inverse transform and block kernels: worked values, the
// coefficient layout, and the SSE2 kernels against the scalar references
// within exact-size heap blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "engine/platform/cpu.h"
#include "video/gen2/transform.h"

namespace {

struct Tables {
  BlockKernelTable scalar, simd;
  Tables() {
    FillBlockKernelTable(&scalar, 0);
    FillBlockKernelTable(&simd, CPU_SSE2);
  }
};

// Transform output of 16 rows at a pitch in bytes, in an exact-size block
// (the last row ends the block); bytes between rows are marked.
struct TransformOut {
  int32_t pitch;
  size_t size;
  uint8_t *block;
  explicit TransformOut(int32_t p) : pitch(p), size(static_cast<size_t>(15 * p + 32)) {
    block = static_cast<uint8_t *>(std::aligned_alloc(16, (size + 15) & ~size_t{15}));
    std::memset(block, 0xC3, size);
  }
  ~TransformOut() { std::free(block); }
  TransformOut(const TransformOut &) = delete;
  TransformOut &operator=(const TransformOut &) = delete;
  int16_t *Data() { return reinterpret_cast<int16_t *>(block); }
  int16_t At(int x, int y) const {
    int16_t v;
    std::memcpy(&v, block + y * pitch + 2 * x, 2);
    return v;
  }
  std::vector<int16_t> Values() const {
    std::vector<int16_t> out;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) out.push_back(At(x, y));
    return out;
  }
  bool GapsIntact() const {
    for (size_t i = 0; i < size; ++i)
      if (static_cast<int>(i % pitch) >= 32 && block[i] != 0xC3) return false;
    return true;
  }
};

std::vector<int16_t> Transform(InverseTransformKernel kernel, const std::vector<int16_t> &coeffs, uint32_t classes,
                               int32_t pitch = 32) {
  // Exact-size coefficient block: no read past the four blocks.
  int16_t *k = static_cast<int16_t *>(std::aligned_alloc(16, 256 * sizeof(int16_t)));
  std::memcpy(k, coeffs.data(), 256 * sizeof(int16_t));
  TransformOut out(pitch);
  kernel(out.Data(), k, classes, pitch);
  EXPECT_TRUE(out.GapsIntact());
  std::free(k);
  return out.Values();
}

std::vector<int16_t> RandomCoeffs(std::mt19937 &rng, int magnitude) {
  std::vector<int16_t> k(256);
  for (int16_t &v : k) {
    if (magnitude >= 32768)
      v = static_cast<int16_t>(rng());
    else
      v = static_cast<int16_t>(static_cast<int>(rng() % (2 * magnitude + 1)) - magnitude);
  }
  return k;
}

uint32_t Classes(int c0, int c1, int c2, int c3) {
  return static_cast<uint32_t>(c0) | static_cast<uint32_t>(c1) << 8 | static_cast<uint32_t>(c2) << 16 |
         static_cast<uint32_t>(c3) << 24;
}

}  // namespace

TEST(Gen2Transform, DcOnlyClassIgnoresOtherCoefficients) {
  Tables t;
  std::mt19937 rng(3);
  std::vector<int16_t> k = RandomCoeffs(rng, 32768);
  for (int b = 0; b < 4; ++b) k[64 * b] = 8224;  // DC 1024 with the +32 rounding
  for (InverseTransformKernel kernel : {t.scalar.inverse_transform, t.simd.inverse_transform})
    for (int32_t pitch : {32, 64})
      for (int16_t v : Transform(kernel, k, 0, pitch)) ASSERT_EQ(128, v);
  // Negative DC values shift arithmetically.
  k[0] = -33;
  EXPECT_EQ(-1, Transform(t.simd.inverse_transform, k, 0)[0]);
  EXPECT_EQ(-1, Transform(t.scalar.inverse_transform, k, 0)[0]);
}

TEST(Gen2Transform, LowClassesUseOnlyTheLowFrequencyCorner) {
  Tables t;
  std::mt19937 rng(4);
  for (InverseTransformKernel kernel : {t.scalar.inverse_transform, t.simd.inverse_transform}) {
    std::vector<int16_t> corner(256, 0);
    for (int b = 0; b < 4; ++b)
      for (int h = 0; h < 4; ++h)
        for (int v = 0; v < 4; ++v) corner[64 * b + 8 * h + v] = static_cast<int16_t>(rng() % 401) - 200;
    std::vector<int16_t> noisy = corner;
    for (int b = 0; b < 4; ++b) {
      noisy[64 * b + 40] = 300;  // horizontal frequency 5
      noisy[64 * b + 4] = -250;  // vertical frequency 4
    }
    // Classes 1 to 9 ignore both; class 10 counts them.
    for (int cls : {1, 5, 9})
      EXPECT_EQ(Transform(kernel, corner, Classes(cls, cls, cls, cls)),
                Transform(kernel, noisy, Classes(cls, cls, cls, cls)));
    const std::vector<int16_t> full = Transform(kernel, noisy, Classes(10, 10, 10, 10));
    EXPECT_NE(Transform(kernel, corner, Classes(10, 10, 10, 10)), full);
    // Mixed classes per block: only block 2 sees the noise.
    const std::vector<int16_t> mixed = Transform(kernel, noisy, Classes(5, 5, 10, 5));
    const std::vector<int16_t> quiet = Transform(kernel, corner, Classes(5, 5, 5, 5));
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        const bool block2 = y >= 8 && x < 8;
        EXPECT_EQ(block2 ? full[16 * y + x] : quiet[16 * y + x], mixed[16 * y + x]);
      }
  }
}

TEST(Gen2Transform, FullTransformOfDcEqualsDcClass) {
  Tables t;
  for (InverseTransformKernel kernel : {t.scalar.inverse_transform, t.simd.inverse_transform})
    for (int dc : {32, 8224, 8255, -1000, 16383, -32768, 32767}) {
      std::vector<int16_t> k(256, 0);
      for (int b = 0; b < 4; ++b) k[64 * b] = static_cast<int16_t>(dc + 7 * b);
      EXPECT_EQ(Transform(kernel, k, 0), Transform(kernel, k, Classes(10, 20, 40, 63))) << dc;
      EXPECT_EQ(Transform(kernel, k, 0), Transform(kernel, k, Classes(1, 2, 3, 9))) << dc;
    }
}

TEST(Gen2Transform, CoefficientLayoutFollowsFrequencies) {
  // K[8 h + v]: h varies the output along columns, v along rows; each
  // one-dimensional response follows the cosine of its frequency.
  Tables t;
  for (InverseTransformKernel kernel : {t.scalar.inverse_transform, t.simd.inverse_transform})
    for (int f = 1; f < 8; ++f)
      for (int vertical = 0; vertical < 2; ++vertical) {
        std::vector<int16_t> k(256, 0);
        k[vertical ? f : 8 * f] = 2048;
        const std::vector<int16_t> out = Transform(kernel, k, Classes(63, 63, 63, 63));
        double dot = 0, norm_out = 0, norm_cos = 0;
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) {
            const int along = vertical ? y : x, across = vertical ? x : y;
            const int v = out[16 * y + x];
            // Constant across the other direction.
            const int first = vertical ? out[16 * y] : out[x];
            ASSERT_EQ(first, v) << "f " << f << " vertical " << vertical << " across " << across;
            const double c = std::cos((2 * along + 1) * f * M_PI / 16);
            dot += v * c;
            norm_out += static_cast<double>(v) * v;
            norm_cos += c * c;
          }
        EXPECT_GT(dot / std::sqrt(norm_out * norm_cos), 0.98) << "f " << f << " vertical " << vertical;
      }
}

TEST(Gen2Transform, Sse2MatchesScalarOnRandomBlocks) {
  Tables t;
  std::mt19937 rng(2024);
  const int class_choices[] = {0, 1, 3, 9, 10, 11, 30, 63, 200};
  for (int iter = 0; iter < 3000; ++iter) {
    const int magnitude = iter % 3 == 0 ? 32768 : (iter % 3 == 1 ? 2048 : 64);
    const std::vector<int16_t> k = RandomCoeffs(rng, magnitude);
    const uint32_t classes = Classes(class_choices[rng() % 9], class_choices[rng() % 9],
                                     class_choices[rng() % 9], class_choices[rng() % 9]);
    const int32_t pitch = (iter & 1) ? 64 : 32;
    ASSERT_EQ(Transform(t.scalar.inverse_transform, k, classes, pitch),
              Transform(t.simd.inverse_transform, k, classes, pitch))
        << "iter " << iter;
  }
}

TEST(Gen2BlockKernels, PackAndAddResidualSaturateOnStore) {
  Tables t;
  std::mt19937 rng(8);
  for (const BlockKernelTable *table : {&t.scalar, &t.simd}) {
    // Pack: 8 rows of 16 values at pitch 16, into an exact 16x8 destination.
    int16_t *src = static_cast<int16_t *>(std::aligned_alloc(16, 128 * sizeof(int16_t)));
    uint8_t *dst = static_cast<uint8_t *>(std::aligned_alloc(16, 128));
    for (int i = 0; i < 128; ++i) src[i] = static_cast<int16_t>(i % 3 == 0 ? -5 : (i % 3 == 1 ? 300 : i));
    table->pack_rows(dst, 16, src);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(i % 3 == 0 ? 0 : (i % 3 == 1 ? 255 : i), dst[i]);

    // Residual addition: prediction 250 + 10 = 255; 3 - 10 = 0; wrapping sums.
    int16_t *res = static_cast<int16_t *>(std::aligned_alloc(16, 7 * 64 + 32));
    uint8_t *pred = static_cast<uint8_t *>(std::aligned_alloc(16, 128));
    for (int r = 0; r < 8; ++r)
      for (int x = 0; x < 16; ++x) {
        int16_t v;
        switch (x % 4) {
          case 0: pred[16 * r + x] = 250, v = 10; break;
          case 1: pred[16 * r + x] = 3, v = -10; break;
          case 2: pred[16 * r + x] = 200, v = 32700; break;  // wraps to negative
          default: pred[16 * r + x] = 100, v = 27; break;
        }
        std::memcpy(reinterpret_cast<uint8_t *>(res) + r * 64 + 2 * x, &v, 2);
      }
    table->add_residual(dst, 16, res, 64, pred, 16);
    const int expected[4] = {255, 0, 0, 127};
    for (int i = 0; i < 128; ++i) ASSERT_EQ(expected[i % 4], dst[i]) << i;
    std::free(src);
    std::free(dst);
    std::free(res);
    std::free(pred);
  }
}

TEST(Gen2BlockKernels, Sse2MatchesScalarOnRandomRows) {
  Tables t;
  std::mt19937 rng(11);
  for (int iter = 0; iter < 500; ++iter) {
    const int32_t stride = 16 * (1 + static_cast<int32_t>(rng() % 4));
    const int32_t pitch = (iter & 1) ? 64 : 32;
    // Exact-size areas: 16-byte rows at the stride, last row ending the block.
    const size_t rows8 = static_cast<size_t>(7 * stride + 16), rows16 = static_cast<size_t>(15 * stride + 16);
    std::vector<int16_t> values(8 * 16);
    for (int16_t &v : values) v = static_cast<int16_t>(iter % 2 ? rng() : rng() % 600 - 300);
    int16_t *packed = static_cast<int16_t *>(std::aligned_alloc(16, values.size() * 2));
    std::memcpy(packed, values.data(), values.size() * 2);
    int16_t *res = static_cast<int16_t *>(std::aligned_alloc(16, static_cast<size_t>(7 * pitch + 32)));
    for (int r = 0; r < 8; ++r) std::memcpy(reinterpret_cast<uint8_t *>(res) + r * pitch, &values[16 * r], 32);
    uint8_t *pred = static_cast<uint8_t *>(std::aligned_alloc(16, (rows8 + 15) & ~size_t{15}));
    uint8_t *copy_src = static_cast<uint8_t *>(std::aligned_alloc(16, (rows16 + 15) & ~size_t{15}));
    for (size_t i = 0; i < rows8; ++i) pred[i] = static_cast<uint8_t>(iter % 5 == 4 ? (rng() & 1) * 255 : rng());
    for (size_t i = 0; i < rows16; ++i) copy_src[i] = static_cast<uint8_t>(rng());

    std::vector<uint8_t> out[2];
    const BlockKernelTable *tables[2] = {&t.scalar, &t.simd};
    for (int k = 0; k < 2; ++k) {
      std::vector<uint8_t> area(static_cast<size_t>(16 * stride), 0x77);
      tables[k]->pack_rows(area.data(), stride, packed);
      tables[k]->add_residual(area.data() + 8 * stride, stride, res, pitch, pred, stride);
      out[k] = area;
      std::vector<uint8_t> copy(static_cast<size_t>(16 * stride + 16), 0x77);
      tables[k]->copy_block(copy.data(), stride, copy_src, stride);
      for (int r = 0; r < 16; ++r) {
        ASSERT_EQ(0, std::memcmp(copy.data() + r * stride, copy_src + r * stride, 16));
        if (stride > 16) {
          ASSERT_EQ(0x77, copy[r * stride + 16]);
        }
      }
    }
    ASSERT_EQ(out[0], out[1]) << "iter " << iter;
    std::free(packed);
    std::free(res);
    std::free(pred);
    std::free(copy_src);
  }
}

TEST(Gen2BlockKernels, AveragesRoundUpPairwise) {
  Tables t;
  std::mt19937 rng(12);
  for (const BlockKernelTable *table : {&t.scalar, &t.simd}) {
    // Rows alternating 0 and 1: every pair rounds up to 1, so 8 per group.
    uint8_t *src = static_cast<uint8_t *>(std::aligned_alloc(16, 8 * 32));
    for (int r = 0; r < 8; ++r) std::memset(src + 32 * r, r & 1, 32);
    int32_t out[4] = {-1, -1, -1, -1};
    table->average_block8x8(out, src, 32);
    EXPECT_EQ(8, out[0]);
    table->average_block16x8(out, src, 32);
    EXPECT_EQ(8, out[0]);
    EXPECT_EQ(8, out[1]);
    table->average_strip32x8(out, src, 32);
    for (int g = 0; g < 4; ++g) EXPECT_EQ(8, out[g]);
    // Full white: 2040 per group.
    std::memset(src, 255, 8 * 32);
    table->average_strip32x8(out, src, 32);
    for (int g = 0; g < 4; ++g) EXPECT_EQ(2040, out[g]);
    std::free(src);
  }
  // SIMD against scalar, sources of exact size (8 rows, the last one ending
  // the block: 8 bytes wide for the 8x8 average).
  for (int iter = 0; iter < 400; ++iter) {
    const int32_t stride = 32 * (1 + static_cast<int32_t>(rng() % 3));
    const int widths[3] = {32, 16, 8};
    for (int w = 0; w < 3; ++w) {
      const size_t size = static_cast<size_t>(7 * stride + widths[w]);
      uint8_t *src = static_cast<uint8_t *>(std::malloc(size));
      for (size_t i = 0; i < size; ++i) src[i] = static_cast<uint8_t>(iter % 4 == 3 ? (rng() & 1) * 255 : rng());
      int32_t a[4] = {0, 0, 0, 0}, b[4] = {0, 0, 0, 0};
      AverageKernel ks[3] = {t.scalar.average_strip32x8, t.scalar.average_block16x8, t.scalar.average_block8x8};
      AverageKernel kv[3] = {t.simd.average_strip32x8, t.simd.average_block16x8, t.simd.average_block8x8};
      ks[w](a, src, stride);
      kv[w](b, src, stride);
      for (int g = 0; g < 4; ++g) ASSERT_EQ(a[g], b[g]) << "width " << widths[w] << " iter " << iter;
      std::free(src);
    }
  }
}

TEST(Gen2BlockKernels, PrefetchHasNoEffect) {
  // Prefetch hints on rows that lie beyond the buffer never fault.
  std::vector<uint8_t> buf(64, 1);
  PrefetchRows8(buf.data(), 4096);
  PrefetchRows8(buf.data(), -4096);
  for (uint8_t v : buf) EXPECT_EQ(1, v);
}

// Residual smoothing: the worked edge values and the DC gate of two blocks
// without AC levels, then the SSE2 kernel against the reference on random
// residuals (full 16-bit range, so wrapping counts) and random words, in an
// exact-size block whose values outside the residual must stay as they are.
TEST(Gen2BlockKernels, ResidualSmoothingEdgesAndSse2MatchesScalar) {
  Tables t;
  for (int32_t dc_step : {32, 33}) {
    // 2x2 blocks, left column 0, right column 40; classes 3, DCs dc_step apart.
    int16_t res[16 * 16];
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) res[16 * y + x] = int16_t(x < 8 ? 0 : 40);
    const uint16_t w0 = 0x6000 | 100, w1 = uint16_t(0x6000 | (100 + dc_step));
    const uint16_t words[4] = {w0, w1, w0, w1};
    t.scalar.smooth_residual(res, 16, 2, words, RESIDUAL_EDGES_COLUMNS | RESIDUAL_EDGES_ROWS);
    const int16_t expect[4] = {int16_t(dc_step == 33 ? 5 : 0), int16_t(dc_step == 33 ? 10 : 0),
                               int16_t(dc_step == 33 ? 30 : 40), int16_t(dc_step == 33 ? 35 : 40)};
    for (int y = 0; y < 16; ++y)
      for (int i = 0; i < 4; ++i) ASSERT_EQ(res[16 * y + 6 + i], expect[i]) << dc_step << " row " << y;
  }

  std::mt19937 rng(23);
  for (int iter = 0; iter < 3000; ++iter) {
    const uint32_t blocks = (iter & 1) ? 4 : 2;
    const int32_t pitch = int32_t(8 * blocks) + ((iter & 2) ? 8 : 0);
    const size_t count = size_t(pitch) * (8 * blocks - 1) + 8 * blocks;  // the last row ends the block
    std::vector<int16_t> input(count);
    for (int16_t &v : input) v = int16_t(iter % 3 == 0 ? rng() : int32_t(rng() % 200) - 100);
    uint16_t words[16];
    for (uint16_t &w : words) {
      const uint32_t dc = iter % 4 == 1 ? 100 + rng() % 70 : rng() % 0x2000;  // DC gaps around 32
      w = uint16_t((rng() % 4) << 13 | dc);
    }
    const uint32_t edges = 1 + rng() % 3;
    std::vector<int16_t> out[2];
    const BlockKernelTable *tables[2] = {&t.scalar, &t.simd};
    for (int k = 0; k < 2; ++k) {
      int16_t *area = static_cast<int16_t *>(std::malloc(count * sizeof(int16_t)));
      std::memcpy(area, input.data(), count * sizeof(int16_t));
      tables[k]->smooth_residual(area, pitch, blocks, words, edges);
      out[k].assign(area, area + count);
      std::free(area);
    }
    ASSERT_EQ(out[0], out[1]) << "iter " << iter;
    for (uint32_t y = 0; y + 1 < 8 * blocks; ++y)
      for (int32_t x = int32_t(8 * blocks); x < pitch; ++x) ASSERT_EQ(out[1][y * pitch + x], input[y * pitch + x]);
  }
}
