// The frame copy on real movies opened from memory and decoded on a worker
// thread: conversion, clipping, bottom-up buffers, flag merging and the
// skip state.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "engine/async.h"
#include "engine/copy.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "player/flat_movie.h"

namespace {

const uint32_t kWorker[1] = {0};

std::atomic<uint32_t> g_now{1000};
uint32_t FakeClock() { return g_now.load(); }

// A movie held in memory, decoded frame by frame through worker 0.
struct MemoryMovie {
  std::vector<uint8_t> image;
  HVOSH m = nullptr;
  MemoryMovie(const ContainerSpec &desc, uint32_t flags = 0) {
    image = WriteContainer(desc);
    m = VoshOpenMovie(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(image.data())),
                      OPEN_MEMORY_IMAGE | flags);
  }
  ~MemoryMovie() { VoshCloseMovie(m); }
  // Decodes the current frame and waits for it.
  void Decode() {
    ASSERT_EQ(1, VoshStartAsyncDecompress(m, kWorker, 1));
    ASSERT_EQ(1, VoshWaitAsyncDecompress(m, -1));
  }
};

class CopyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!IsWorkerStarted(0)) {
      ASSERT_EQ(1, VoshStartWorkerThread(0));
    }
  }
};

std::vector<uint8_t> FullCopy(HVOSH m, uint32_t type, uint32_t *result = nullptr) {
  std::vector<uint8_t> out(uint64_t(m->width) * m->height * 4, 0);
  const uint32_t r = VoshCopyFrameToPixels(m, out.data(), int32_t(m->width * 4), m->height, 0, 0, type);
  if (result) *result = r;
  return out;
}

const FlatColour kRed = {81, 240, 90};

TEST_F(CopyTest, FlatFrameConvertsToItsColourInBothByteOrders) {
  MemoryMovie mv(FlatMovieSpec(64, 48, 30, 1, {kRed, kRed}));
  ASSERT_NE(mv.m, nullptr);
  mv.Decode();
  int rgb[3];
  ExpectedRgb(kRed, rgb);
  const std::vector<uint8_t> bgra = FullCopy(mv.m, 5);
  const std::vector<uint8_t> rgba = FullCopy(mv.m, 4);
  for (uint64_t i = 0; i < bgra.size(); i += 4) {
    ASSERT_NEAR(bgra[i + 2], rgb[0], 2) << "pixel " << i / 4;
    ASSERT_NEAR(bgra[i + 1], rgb[1], 2) << "pixel " << i / 4;
    ASSERT_NEAR(bgra[i + 0], rgb[2], 2) << "pixel " << i / 4;
    ASSERT_EQ(bgra[i + 3], 255);
    ASSERT_EQ(rgba[i + 0], bgra[i + 2]);
    ASSERT_EQ(rgba[i + 1], bgra[i + 1]);
    ASSERT_EQ(rgba[i + 2], bgra[i + 0]);
  }
  // The grey flag drops the chroma: R, G and B come out nearly equal.
  std::vector<uint8_t> grey(bgra.size());
  VoshCopyFrameToPixels(mv.m, grey.data(), 64 * 4, 48, 0, 0, 5 | COPY_GREY);
  EXPECT_NEAR(grey[0], grey[1], 2);
  EXPECT_NEAR(grey[1], grey[2], 2);
  // Unknown surface types convert nothing.
  std::vector<uint8_t> none(bgra.size(), 0xAB);
  VoshCopyFrameToPixels(mv.m, none.data(), 64 * 4, 48, 0, 0, 7);
  EXPECT_EQ(none, std::vector<uint8_t>(bgra.size(), 0xAB));
}

TEST_F(CopyTest, RectanglesAreClippedToThePictureWithoutWrapping) {
  MemoryMovie mv(BlockPatternMovieSpec(96, 64, 2));
  ASSERT_NE(mv.m, nullptr);
  mv.Decode();
  const uint32_t W = 96, H = 64;
  const std::vector<uint8_t> ref = FullCopy(mv.m, 5);
  struct Case {
    uint32_t sx, sy, sw, sh, dx, dy;
  } cases[] = {
      {0, 0, 96, 64, 0, 0},         {8, 4, 32, 16, 2, 6},   {1, 3, 17, 5, 1, 0},
      {80, 50, 40, 40, 0, 0},       {90, 60, 0xFFFFFFFFu, 0xFFFFFFFFu, 4, 4},
      {33, 7, 0xFFFFFFF0u, 9, 0, 0}, {95, 63, 1, 1, 10, 10}, {0, 0, 0, 10, 0, 0},
      {96, 0, 10, 10, 0, 0},        {200, 0, 10, 10, 0, 0},  {0, 64, 10, 10, 0, 0},
      {0xFFFFFFF0u, 0, 0x20, 8, 0, 0},
  };
  const uint32_t DW = 128, DH = 96;
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "rect " << c.sx << "," << c.sy << " " << c.sw << "x" << c.sh
                                    << " at " << c.dx << "," << c.dy);
    std::vector<uint8_t> dest(uint64_t(DW) * DH * 4, 0xCD);
    const uint32_t r = CopyFrameRectToPixels(mv.m, dest.data(), int32_t(DW * 4), DH, c.dx, c.dy,
                                             c.sx, c.sy, c.sw, c.sh, 5);
    EXPECT_EQ(r, 0u);
    const uint32_t sx = c.sx < W ? c.sx : W, sy = c.sy < H ? c.sy : H;
    const uint32_t w = c.sw > W - sx ? W - sx : c.sw, h = c.sh > H - sy ? H - sy : c.sh;
    for (uint32_t y = 0; y < DH; ++y)
      for (uint32_t x = 0; x < DW; ++x) {
        const uint8_t *got = &dest[(uint64_t(y) * DW + x) * 4];
        const bool inside = x >= c.dx && x < c.dx + w && y >= c.dy && y < c.dy + h;
        for (int k = 0; k < 4; ++k) {
          const uint8_t want =
              inside ? ref[((uint64_t(y - c.dy + sy)) * W + (x - c.dx + sx)) * 4 + k] : 0xCD;
          ASSERT_EQ(got[k], want) << "at " << x << "," << y << " byte " << k;
        }
      }
  }
}

TEST_F(CopyTest, NegativePitchWritesBottomUpAndStaysInsideTheBuffer) {
  MemoryMovie mv(BlockPatternMovieSpec(64, 48, 1));
  ASSERT_NE(mv.m, nullptr);
  mv.Decode();
  const uint32_t W = 64, H = 48;
  const std::vector<uint8_t> ref = FullCopy(mv.m, 5);
  const uint64_t row = uint64_t(W) * 4, guard = 4 * row;
  struct Case {
    uint32_t dest_height, dest_y;
  } cases[] = {{48, 0}, {60, 5}, {20, 0}, {20, 7}, {20, 19}, {20, 20}, {20, 1000}, {1, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "dest height " << c.dest_height << " row " << c.dest_y);
    std::vector<uint8_t> mem(guard + uint64_t(c.dest_height) * row + guard, 0xCD);
    uint8_t *dest = mem.data() + guard;
    EXPECT_EQ(0u, VoshCopyFrameToPixels(mv.m, dest, -int32_t(row), c.dest_height, 0, c.dest_y, 5));
    for (uint64_t i = 0; i < guard; ++i) {
      ASSERT_EQ(mem[i], 0xCD) << "written before the buffer";
      ASSERT_EQ(mem[mem.size() - 1 - i], 0xCD) << "written after the buffer";
    }
    // Logical row r lies at byte (dest_height - 1 - r) x row.
    for (uint32_t r = 0; r < c.dest_height; ++r) {
      const uint8_t *got = dest + uint64_t(c.dest_height - 1 - r) * row;
      const bool drawn = r >= c.dest_y && r - c.dest_y < H;
      for (uint64_t k = 0; k < row; ++k) {
        const uint8_t want = drawn ? ref[uint64_t(r - c.dest_y) * row + k] : 0xCD;
        ASSERT_EQ(got[k], want) << "logical row " << r << " byte " << k;
      }
    }
  }
}

TEST_F(CopyTest, LumaAlphaExchangeIsDroppedWithoutAlphaPlane) {
  MemoryMovie plain(BlockPatternMovieSpec(64, 32, 1));
  MemoryMovie exchanged(BlockPatternMovieSpec(64, 32, 1), OPEN_SWAP_LUMA_ALPHA);
  ASSERT_NE(plain.m, nullptr);
  ASSERT_NE(exchanged.m, nullptr);
  plain.Decode();
  exchanged.Decode();
  const std::vector<uint8_t> a = FullCopy(plain.m, 5);
  EXPECT_EQ(a, FullCopy(exchanged.m, 5));
  EXPECT_EQ(a, FullCopy(plain.m, 5 | COPY_SWAP_LUMA_ALPHA));
}

TEST_F(CopyTest, RefusalsDrawNothing) {
  MemoryMovie mv(FlatMovieSpec(64, 32, 30, 1, {kRed}));
  ASSERT_NE(mv.m, nullptr);
  mv.Decode();
  std::vector<uint8_t> dest(64 * 32 * 4, 0xCD);
  EXPECT_EQ(0u, VoshCopyFrameToPixels(nullptr, dest.data(), 256, 32, 0, 0, 5));
  EXPECT_EQ(0u, VoshCopyFrameToPixels(mv.m, nullptr, 256, 32, 0, 0, 5));
  // A movie opened without frame buffers has nothing to copy.
  MemoryMovie bare(FlatMovieSpec(64, 32, 30, 1, {kRed}), OPEN_NO_FRAME_BUFFERS);
  ASSERT_NE(bare.m, nullptr);
  EXPECT_EQ(0u, VoshCopyFrameToPixels(bare.m, dest.data(), 256, 32, 0, 0, 5));
  EXPECT_EQ(dest, std::vector<uint8_t>(dest.size(), 0xCD));
}

class CopySkipTest : public CopyTest {
 protected:
  void SetUp() override {
    g_now = 1000;
    SetMillisecondSource(FakeClock);
  }
  void TearDown() override { SetMillisecondSource(nullptr); }
};

TEST_F(CopySkipTest, WithoutSoundNothingIsSkippedButASkipStateIsRepeated) {
  MemoryMovie mv(FlatMovieSpec(64, 32, 30, 1, {kRed, kRed, kRed}));
  ASSERT_NE(mv.m, nullptr);
  HVOSH m = mv.m;
  mv.Decode();
  VoshAdvanceFrame(m);
  mv.Decode();
  g_now += 10000;  // far behind the clock
  std::vector<uint8_t> dest(64 * 32 * 4, 0xCD);
  EXPECT_EQ(0u, VoshCopyFrameToPixels(m, dest.data(), 256, 32, 0, 0, 5));
  EXPECT_NE(dest[0], 0xCD);
  EXPECT_EQ(m->frames_skipped, 0);

  // A frame the clock decided to skip is not drawn, by any copy.
  m->skip_state = SKIP_SKIP;
  std::vector<uint8_t> other(dest.size(), 0xCD);
  EXPECT_EQ(1u, VoshCopyFrameToPixels(m, other.data(), 256, 32, 0, 0, 5));
  EXPECT_EQ(1u, CopyFrameRectToPixels(m, other.data(), 256, 32, 0, 0, 100, 0, 10, 10, 5));
  EXPECT_EQ(other, std::vector<uint8_t>(dest.size(), 0xCD));
  m->skip_state = SKIP_SHOW;
  EXPECT_EQ(0u, CopyFrameRectToPixels(m, other.data(), 256, 32, 0, 0, 100, 0, 10, 10, 5));
}

TEST_F(CopySkipTest, WithSoundALateFrameIsSkippedOnceExceptWhenSkippingIsBarred) {
  MemoryMovie mv(FlatMovieSpec(64, 32, 30, 1, {kRed, kRed, kRed, kRed}));
  ASSERT_NE(mv.m, nullptr);
  HVOSH m = mv.m;
  mv.Decode();
  VoshAdvanceFrame(m);
  mv.Decode();
  // A played sound track, as far as the clock is concerned.
  m->open_track_count = 1;
  m->sound_on = 1;
  const std::vector<uint8_t> blank(64 * 32 * 4, 0xCD);

  g_now += 5000;
  std::vector<uint8_t> dest = blank;
  EXPECT_EQ(1u, VoshCopyFrameToPixels(m, dest.data(), 256, 32, 0, 0, 5));
  EXPECT_EQ(dest, blank);
  EXPECT_EQ(m->frames_skipped, 1);
  EXPECT_EQ(m->skip_state, uint32_t(SKIP_SKIP));
  // The second copy of the same frame repeats the outcome without deciding.
  EXPECT_EQ(1u, VoshCopyFrameToPixels(m, dest.data(), 256, 32, 0, 0, 5));
  EXPECT_EQ(m->frames_skipped, 1);
  EXPECT_EQ(dest, blank);

  // Frame 3 with never-skip: drawn, reported late, not counted as skipped.
  m->open_track_count = 0;
  VoshAdvanceFrame(m);
  mv.Decode();
  m->open_track_count = 1;
  m->sound_on = 1;
  g_now += 5000;
  dest = blank;
  EXPECT_EQ(1u, VoshCopyFrameToPixels(m, dest.data(), 256, 32, 0, 0, 5 | COPY_NEVER_SKIP));
  EXPECT_NE(dest, blank);
  EXPECT_EQ(m->frames_skipped, 1);

  // The last frame is never skipped.
  m->open_track_count = 0;
  VoshAdvanceFrame(m);
  mv.Decode();
  ASSERT_EQ(m->current_frame, m->frame_count);
  m->open_track_count = 1;
  m->sound_on = 1;
  g_now += 5000;
  dest = blank;
  EXPECT_EQ(1u, VoshCopyFrameToPixels(m, dest.data(), 256, 32, 0, 0, 5));
  EXPECT_NE(dest, blank);
  EXPECT_EQ(m->frames_skipped, 1);

  m->open_track_count = 0;
  m->sound_on = 0;
}

}  // namespace
