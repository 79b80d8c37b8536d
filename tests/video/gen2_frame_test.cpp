// Whole second-generation frames written by the test writer and decoded
// through the slice-run interface: pictures that the codec makes exactly.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "moviewriter/gen2_frame_writer.h"
#include "video/gen2/coeffs.h"
#include "video/gen2/slices.h"

namespace {


// Every pixel of every plane of set s equals the value.
::testing::AssertionResult PlanesAre(const Gen2TestBuffers &b, uint32_t s, const uint8_t value[5]) {
  const Gen2Picture p = Gen2BuffersPicture(b, s);
  for (uint32_t plane = 0; plane < G2W_PLANES; ++plane) {
    const uint32_t w = Gen2PlaneWidth(p, plane);
    for (uint64_t i = 0; i < p.planes[plane].size(); ++i)
      if (p.planes[plane][i] != value[plane])
        return ::testing::AssertionFailure() << "plane " << plane << " at (" << i % w << ", " << i / w
                                             << ") is " << int(p.planes[plane][i]) << ", not "
                                             << int(value[plane]);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SamePictures(const Gen2Picture &a, const Gen2Picture &b) {
  for (uint32_t plane = 0; plane < G2W_PLANES; ++plane) {
    if (a.planes[plane].size() != b.planes[plane].size()) return ::testing::AssertionFailure() << "plane sizes";
    const uint32_t w = Gen2PlaneWidth(a, plane);
    for (uint64_t i = 0; i < a.planes[plane].size(); ++i)
      if (a.planes[plane][i] != b.planes[plane][i])
        return ::testing::AssertionFailure() << "plane " << plane << " differs at (" << i % w << ", "
                                             << i / w << "): " << int(a.planes[plane][i]) << " vs "
                                             << int(b.planes[plane][i]);
  }
  return ::testing::AssertionSuccess();
}

void SetFlatDc(Gen2FrameDesc *d, const uint8_t value[5]) {
  for (Gen2BlockDesc &b : d->blocks) {
    b.type = 0;
    b.qi = 8;
    for (uint32_t p = 0; p < G2W_PLANES; ++p)
      for (int i = 0; i < 16; ++i) b.dc[p][i] = 8 * value[p];
  }
}

}  // namespace

TEST(Gen2Frame, FlatKeyFramesAreExactForEveryThresholdSizeAndSlicing) {
  const uint32_t sizes[][2] = {{32, 16}, {64, 48}, {100, 60}, {160, 128}, {96, 272}};
  const uint32_t thresholds[] = {0, 1, 37, 255};
  const uint8_t value[5] = {37, 200, 3, 255, 128};
  for (auto &sz : sizes)
    for (uint32_t index = 0; index < 4; ++index)
      for (uint32_t t : thresholds) {
        SCOPED_TRACE(testing::Message() << sz[0] << "x" << sz[1] << " slice index " << index << " T " << t);
        Gen2TestBuffers b;
        AllocGen2Buffers(&b, sz[0], sz[1], 2, true, true);
        SliceLayout l;
        MakeGen2Layout(&l, sz[0], sz[1], index);
        Gen2FrameDesc d = MakeGen2Frame(b.set.luma_width, b.set.luma_height, true, l.slice_count, l.end_row, t);
        d.alpha = d.extra = true;
        SetFlatDc(&d, value);
        const std::vector<uint8_t> video = WriteGen2Frame(&d);
        for (const auto &runs : AllGen2Splits(l.slice_count)) {
          ASSERT_EQ(1, DecodeGen2Frame(&b, video, &l, true, true, true, runs));
          ASSERT_TRUE(PlanesAre(b, b.set.current_set, value));
        }
        FreeGen2Buffers(&b);
      }
}

namespace {

// Expected picture of a frame of DC-only intra blocks with threshold 0:
// every 8x8 flat at (DC + 4) >> 3.
Gen2Picture FlatDcPicture(const Gen2FrameDesc &d, bool alpha, bool extra) {
  Gen2Picture p = MakeGen2Picture(d.width, d.height, alpha, extra);
  const uint32_t columns = d.width / 32;
  for (uint64_t bi = 0; bi < d.blocks.size(); ++bi) {
    const uint32_t j = uint32_t(bi % columns), band = uint32_t(bi / columns);
    for (uint32_t plane = 0; plane < G2W_PLANES; ++plane) {
      if (p.planes[plane].empty()) continue;
      const bool chroma = plane == 1 || plane == 2;
      const uint32_t n = chroma ? 2 : 4, size = chroma ? 16 : 32, w = Gen2PlaneWidth(p, plane),
                     h = Gen2PlaneHeight(p, plane);
      for (uint32_t i = 0; i < n * n; ++i) {
        const uint32_t bx = chroma ? i & 1 : (i / 4 & 1) * 2 + (i % 4 & 1);
        const uint32_t by = chroma ? i >> 1 : (i / 4 >> 1) * 2 + (i % 4 >> 1);
        const int32_t dv = (d.blocks[bi].dc[plane][i] + 4) >> 3;
        const uint8_t v = uint8_t(dv > 255 ? 255 : dv);
        for (uint32_t y = band * size + 8 * by; y < band * size + 8 * by + 8 && y < h; ++y)
          for (uint32_t x = j * size + 8 * bx; x < j * size + 8 * bx + 8; ++x) p.planes[plane][uint64_t(y) * w + x] = v;
      }
    }
  }
  return p;
}

}  // namespace

TEST(Gen2Frame, DcOnlyFramesWithThresholdZeroAreExact) {
  std::mt19937 rng(7);
  const uint32_t sizes[][2] = {{64, 48}, {128, 96}, {96, 304}};
  for (auto &sz : sizes)
    for (uint32_t index = 0; index < 4; ++index) {
      Gen2TestBuffers b;
      AllocGen2Buffers(&b, sz[0], sz[1], 2, true, false);
      SliceLayout l;
      MakeGen2Layout(&l, sz[0], sz[1], index);
      Gen2FrameDesc d = MakeGen2Frame(b.set.luma_width, b.set.luma_height, true, l.slice_count, l.end_row, 0);
      d.alpha = true;
      for (Gen2BlockDesc &blk : d.blocks) {
        blk.qi = uint8_t(rng() % 12);
        for (uint32_t p = 0; p < G2W_PLANES; ++p)
          for (int i = 0; i < 16; ++i) blk.dc[p][i] = int32_t(rng() % 2048);
      }
      // qi of neighbouring blocks must stay within a delta of 36: all small.
      const std::vector<uint8_t> video = WriteGen2Frame(&d);
      const Gen2Picture want = FlatDcPicture(d, true, false);
      for (const auto &runs : AllGen2Splits(l.slice_count)) {
        ASSERT_EQ(1, DecodeGen2Frame(&b, video, &l, true, true, false, runs));
        ASSERT_TRUE(SamePictures(want, Gen2BuffersPicture(b, b.set.current_set)))
            << sz[0] << "x" << sz[1] << " index " << index << " runs " << runs.size();
      }
      FreeGen2Buffers(&b);
    }
}

namespace {

Gen2Picture RandomPicture(uint32_t w, uint32_t h, bool alpha, bool extra, uint32_t seed) {
  std::mt19937 rng(seed);
  Gen2Picture p = MakeGen2Picture(w, h, alpha, extra);
  for (auto &plane : p.planes)
    for (uint8_t &v : plane) v = uint8_t(rng());
  return p;
}

// Whole-sample clamp of one position component (mode 0 or 1), as the
// motion-vector Part states it for whole-sample positions.
int32_t ClampWhole(int32_t p, int32_t size2) {
  if (p < 0) return 0;
  if (p > size2 - 32) return size2 - 32;
  return p;
}

}  // namespace

TEST(Gen2Frame, SkipFramesCopyTheReferenceExactly) {
  const uint32_t sizes[][2] = {{64, 48}, {160, 96}};
  for (auto &sz : sizes)
    for (uint32_t index = 0; index < 4; ++index) {
      Gen2TestBuffers b;
      AllocGen2Buffers(&b, sz[0], sz[1], 2, true, true);
      const Gen2Picture ref = RandomPicture(b.set.luma_width, b.set.luma_height, true, true, 11 + index);
      SliceLayout l;
      MakeGen2Layout(&l, sz[0], sz[1], index);
      Gen2FrameDesc d = MakeGen2Frame(b.set.luma_width, b.set.luma_height, false, l.slice_count, l.end_row, 0x20);
      d.alpha = d.extra = true;
      const std::vector<uint8_t> video = WriteGen2Frame(&d);
      for (const auto &runs : AllGen2Splits(l.slice_count)) {
        FillGen2Buffers(&b, b.set.current_set, ref);
        ASSERT_EQ(1, DecodeGen2Frame(&b, video, &l, false, true, true, runs));
        ASSERT_TRUE(SamePictures(ref, Gen2BuffersPicture(b, b.set.current_set)));
      }
      FreeGen2Buffers(&b);
    }
}

TEST(Gen2Frame, UniformWholeSampleMotionIsAnExactShiftedCopy) {
  const int32_t vectors[][2] = {{4, -8}, {-12, 20}, {0, 4}, {-400, 1000}, {36, -36}};
  const uint32_t w = 128, h = 96;
  for (uint32_t mode = 0; mode < 2; ++mode)
    for (auto &v : vectors)
      for (bool single : {true, false}) {
        Gen2TestBuffers b;
        AllocGen2Buffers(&b, w, h, 2, false, false);
        const Gen2Picture ref = RandomPicture(w, h, false, false, 5);
        SliceLayout l;
        MakeGen2Layout(&l, w, h, 1);
        Gen2FrameDesc d = MakeGen2Frame(w, h, false, l.slice_count, l.end_row, mode ? 0x20000 : 0);
        for (Gen2BlockDesc &blk : d.blocks) {
          blk.type = 2;
          blk.single_vector = single;
          for (int q = 0; q < 4; ++q) {
            blk.mv[2 * q] = v[0];
            blk.mv[2 * q + 1] = v[1];
          }
        }
        const std::vector<uint8_t> video = WriteGen2Frame(&d);
        FillGen2Buffers(&b, b.set.current_set, ref);
        ASSERT_EQ(1, DecodeGen2Frame(&b, video, &l, false, false, false, {0x30}));
        const Gen2Picture got = Gen2BuffersPicture(b, b.set.current_set);
        Gen2Picture want = MakeGen2Picture(w, h, false, false);
        for (uint32_t by = 0; by < h; by += 16)
          for (uint32_t bx = 0; bx < w; bx += 16) {
            const int32_t px = ClampWhole(int32_t(2 * bx) + v[0], int32_t(2 * w)) / 2;
            const int32_t py = ClampWhole(int32_t(2 * by) + v[1], int32_t(2 * h)) / 2;
            for (uint32_t y = 0; y < 16; ++y)
              for (uint32_t x = 0; x < 16; ++x)
                want.planes[0][(by + y) * w + bx + x] = ref.planes[0][(py + y) * w + px + x];
            for (int c = 1; c < 3; ++c)
              for (uint32_t y = 0; y < 8; ++y)
                for (uint32_t x = 0; x < 8; ++x)
                  want.planes[c][(by / 2 + y) * (w / 2) + bx / 2 + x] =
                      ref.planes[c][(py / 2 + y) * (w / 2) + px / 2 + x];
          }
        ASSERT_TRUE(SamePictures(want, got)) << "vector " << v[0] << "," << v[1] << " mode " << mode;
        FreeGen2Buffers(&b);
      }
}

TEST(Gen2Frame, IntraAcBlocksWithFilteringOffMatchTheTransformModel) {
  std::mt19937 rng(3);
  const uint32_t w = 96, h = 80;  // last band holds 16 rows
  for (int round = 0; round < 6; ++round) {
    Gen2TestBuffers b;
    AllocGen2Buffers(&b, w, h, 2, false, true);
    SliceLayout l;
    MakeGen2Layout(&l, w, h, uint32_t(round % 4));
    Gen2FrameDesc d = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, 0x4000 | 0x8000 | (round & 1 ? 0x40000 : 0));
    d.extra = true;
    for (Gen2BlockDesc &blk : d.blocks) {
      blk.qi = uint8_t(rng() % 24);
      blk.table2 = (rng() & 1) != 0;
      for (uint32_t p = 0; p < G2W_PLANES; ++p)
        for (int i = 0; i < 16; ++i) blk.dc[p][i] = 400 + int32_t(rng() % 1200);
      for (uint32_t p : {0u, 1u, 2u, 4u}) {
        const uint32_t count = p == 1 || p == 2 ? 4 : 16;
        for (uint32_t i = 0; i < count; ++i) {
          if (rng() % 3 == 0) continue;
          const int levels = 1 + int(rng() % 6);
          for (int k = 0; k < levels; ++k) {
            const uint8_t pos = uint8_t(1 + rng() % (rng() % 2 ? 9 : 63));
            int level = int(rng() % 7) - 3;
            if (level == 0) level = 4;
            blk.ac.push_back(Gen2AcLevel{uint8_t(p), uint8_t(i), pos, int16_t(level)});
          }
        }
      }
    }
    // Duplicate positions keep the last level, as the writer stores them.
    const std::vector<uint8_t> video = WriteGen2Frame(&d);
    Gen2Picture want = MakeGen2Picture(w, h, false, true);
    const uint32_t columns = w / 32;
    for (uint64_t bi = 0; bi < d.blocks.size(); ++bi) {
      const Gen2BlockDesc &blk = d.blocks[bi];
      const uint32_t j = uint32_t(bi % columns), band = uint32_t(bi / columns);
      for (uint32_t p : {0u, 1u, 2u, 4u}) {
        const bool chroma = p == 1 || p == 2;
        const uint32_t n = chroma ? 2 : 4, size = chroma ? 16 : 32;
        const uint32_t pw = Gen2PlaneWidth(want, p), ph = Gen2PlaneHeight(want, p);
        for (uint32_t i = 0; i < n * n; ++i) {
          int32_t levels[64] = {};
          for (const Gen2AcLevel &a : blk.ac)
            if (a.plane == p && a.block == i) levels[a.pos] = a.level;
          uint8_t px[64];
          ModelIntraBlock(blk.dc[p][i], levels, chroma ? QUANT_TABLE_CHROMA : QUANT_TABLE_INTRA, blk.qi, px);
          const uint32_t bx = chroma ? i & 1 : (i / 4 & 1) * 2 + (i % 4 & 1);
          const uint32_t by = chroma ? i >> 1 : (i / 4 >> 1) * 2 + (i % 4 >> 1);
          for (uint32_t y = 0; y < 8; ++y)
            for (uint32_t x = 0; x < 8; ++x) {
              const uint32_t yy = band * size + 8 * by + y, xx = j * size + 8 * bx + x;
              if (yy < ph) want.planes[p][uint64_t(yy) * pw + xx] = px[8 * y + x];
            }
        }
      }
    }
    for (const auto &runs : AllGen2Splits(l.slice_count)) {
      ASSERT_EQ(1, DecodeGen2Frame(&b, video, &l, true, false, true, runs));
      ASSERT_TRUE(SamePictures(want, Gen2BuffersPicture(b, b.set.current_set))) << "round " << round;
    }
    FreeGen2Buffers(&b);
  }
}

TEST(Gen2Frame, IntraWithAcEncodingReproducesItsSource) {
  const uint32_t w = 192, h = 128;
  Gen2Picture src = MakeGen2Picture(w, h, false, false);
  for (uint32_t p = 0; p < 3; ++p) {
    const uint32_t pw = Gen2PlaneWidth(src, p), ph = Gen2PlaneHeight(src, p);
    for (uint32_t y = 0; y < ph; ++y)
      for (uint32_t x = 0; x < pw; ++x)
        src.planes[p][uint64_t(y) * pw + x] =
            uint8_t(128 + 90 * std::sin(0.07 * x + 0.3 * p) * std::cos(0.05 * y) + 20 * std::sin(0.5 * x * y / pw));
  }
  for (uint8_t qi : {4, 8, 12}) {
    Gen2TestBuffers b;
    AllocGen2Buffers(&b, w, h, 2, false, false);
    SliceLayout l;
    MakeGen2Layout(&l, w, h, 2);
    Gen2FrameDesc d = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, 8);
    EncodeIntraWithAc(src, qi, &d);
    const std::vector<uint8_t> video = WriteGen2Frame(&d);
    ASSERT_EQ(1, DecodeGen2Frame(&b, video, &l, true, false, false, {0x40}));
    const Gen2Picture got = Gen2BuffersPicture(b, b.set.current_set);
    for (uint32_t p = 0; p < 3; ++p) {
      const double psnr = Gen2PlanePsnr(got.planes[p].data(), Gen2PlaneWidth(got, p), src.planes[p].data(),
                                        Gen2PlaneWidth(src, p), Gen2PlaneWidth(src, p), Gen2PlaneHeight(src, p));
      EXPECT_GT(psnr, qi <= 8 ? 38.0 : 33.0) << "plane " << p << " qi " << int(qi);
      RecordProperty("psnr", std::to_string(psnr));
      std::printf("intra-with-AC qi %d plane %u: %.2f dB (%zu bytes)\n", qi, p, psnr, video.size());
    }
    FreeGen2Buffers(&b);
  }
}
