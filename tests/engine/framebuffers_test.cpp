#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "engine/framebuffers.h"
#include "engine/movie.h"
#include "engine/platform/alloc.h"

namespace {

struct TestMovie {
  std::unique_ptr<MovieRecord> record{new MovieRecord()};
  ~TestMovie() { AlignedFree(record->frame_buffer_block); }
};

void Describe(MovieRecord *m, uint32_t signature, uint32_t w, uint32_t h, uint32_t frames, uint32_t flags) {
  m->signature = signature;
  m->width = w;
  m->height = h;
  m->frame_count = frames;
  m->movie_flags = flags;
}

TEST(FrameBuffers, SecondGenerationGeometry) {
  TestMovie t;
  Describe(t.record.get(), MakeSignature('V', 'S', '2', 'i'), 100, 60, 10, 0);
  FrameBufferSet set;
  memset(&set, 0xAB, sizeof set);
  ComputeFrameBufferSet(t.record.get(), &set);
  EXPECT_EQ(set.luma_width, 128u);
  EXPECT_EQ(set.luma_height, 64u);
  EXPECT_EQ(set.chroma_width, 64u);
  EXPECT_EQ(set.chroma_height, 32u);
  EXPECT_EQ(set.set_count, 2u);
  EXPECT_EQ(set.current_set, 0u);
  ASSERT_TRUE(AllocateFrameBuffers(t.record.get(), &set, 0));
  EXPECT_EQ(set.sets[0][PLANE_LUMA].stride, 128u);
  EXPECT_EQ(set.sets[0][PLANE_CHROMA1].stride, 64u);
  EXPECT_EQ(set.sets[1][PLANE_CHROMA2].stride, 64u);
  EXPECT_EQ(set.sets[0][PLANE_ALPHA].pixels, nullptr);
  EXPECT_EQ(set.sets[2][PLANE_LUMA].pixels, nullptr);
  // A larger alignment request is honoured for the second generation.
  TestMovie u;
  Describe(u.record.get(), MakeSignature('V', 'S', '2', 'i'), 100, 60, 10, 0);
  FrameBufferSet wide;
  ComputeFrameBufferSet(u.record.get(), &wide);
  ASSERT_TRUE(AllocateFrameBuffers(u.record.get(), &wide, 256));
  EXPECT_EQ(wide.sets[0][PLANE_LUMA].stride, 256u);
  EXPECT_EQ(wide.sets[0][PLANE_CHROMA1].stride, 256u);
}

TEST(FrameBuffers, FirstGenerationGeometry) {
  TestMovie t;
  Describe(t.record.get(), MakeSignature('V', 'S', 'H', 'i'), 100, 60, 10, 0);
  FrameBufferSet set;
  ComputeFrameBufferSet(t.record.get(), &set);
  EXPECT_EQ(set.luma_width, 104u);
  EXPECT_EQ(set.luma_height, 64u);
  EXPECT_EQ(set.chroma_width, 56u);
  EXPECT_EQ(set.chroma_height, 32u);
  ASSERT_TRUE(AllocateFrameBuffers(t.record.get(), &set, 0));
  EXPECT_EQ(set.sets[0][PLANE_LUMA].stride, 104u);
  EXPECT_EQ(set.sets[0][PLANE_CHROMA1].stride, 64u);
}

TEST(FrameBuffers, SetCountsAndPlanes) {
  // One frame: one set.
  TestMovie one;
  Describe(one.record.get(), MakeSignature('V', 'S', '2', 'i'), 64, 32, 1, 0);
  FrameBufferSet set;
  ComputeFrameBufferSet(one.record.get(), &set);
  EXPECT_EQ(set.set_count, 1u);
  EXPECT_TRUE(set.sets[0][PLANE_LUMA].present);
  EXPECT_FALSE(set.sets[1][PLANE_LUMA].present);
  ASSERT_TRUE(AllocateFrameBuffers(one.record.get(), &set, 0));
  EXPECT_NE(set.sets[0][PLANE_LUMA].pixels, nullptr);
  EXPECT_EQ(set.sets[1][PLANE_LUMA].pixels, nullptr);

  // Three sets asked for, two given; alpha and extra planes on request.
  TestMovie three;
  Describe(three.record.get(), MakeSignature('V', 'S', '2', 'i'), 64, 32, 5, 0x8 | 0x100000 | 0x4);
  FrameBufferSet big;
  ComputeFrameBufferSet(three.record.get(), &big);
  EXPECT_EQ(big.set_count, 3u);
  EXPECT_TRUE(big.sets[2][PLANE_ALPHA].present);
  EXPECT_TRUE(big.sets[2][PLANE_EXTRA].present);
  ASSERT_TRUE(AllocateFrameBuffers(three.record.get(), &big, 0));
  EXPECT_EQ(big.set_count, 2u);
  EXPECT_EQ(big.sets[2][PLANE_LUMA].pixels, nullptr);
  EXPECT_EQ(big.sets[2][PLANE_ALPHA].pixels, nullptr);
  const MovieRecord *m = three.record.get();
  EXPECT_GT(m->memory_used, 0u);
  // Every plane 32-byte aligned, zeroed, and with room for stride x rows.
  for (uint32_t s = 0; s < 2; s++) {
    for (uint32_t k = 0; k < PLANES_PER_SET; k++) {
      const PlaneBuffer &p = big.sets[s][k];
      ASSERT_NE(p.pixels, nullptr);
      EXPECT_EQ((uintptr_t)p.pixels % 32, 0u);
      const bool chroma = k == PLANE_CHROMA1 || k == PLANE_CHROMA2;
      const uint32_t rows = chroma ? big.chroma_height : big.luma_height;
      for (uint32_t i = 0; i < p.stride * rows; i++) ASSERT_EQ(p.pixels[i], 0) << s << k << i;
      memset(p.pixels, 0xFF, (size_t)p.stride * rows);  // ASan: the whole plane is ours
    }
  }
  // A second allocation is refused; an existing description is copied.
  FrameBufferSet again;
  ComputeFrameBufferSet(m, &again);
  EXPECT_FALSE(AllocateFrameBuffers(three.record.get(), &again, 0));
  three.record->frame_buffers = &big;
  FrameBufferSet copy;
  ComputeFrameBufferSet(m, &copy);
  EXPECT_EQ(copy.sets[1][PLANE_EXTRA].pixels, big.sets[1][PLANE_EXTRA].pixels);
  three.record->frame_buffers = nullptr;

  // Null arguments do nothing.
  ComputeFrameBufferSet(nullptr, &set);
  ComputeFrameBufferSet(m, nullptr);
}

TEST(FrameBuffers, NoPlanesNoBlock) {
  TestMovie t;
  Describe(t.record.get(), MakeSignature('V', 'S', '2', 'i'), 64, 32, 5, 0);
  FrameBufferSet set;
  ComputeFrameBufferSet(t.record.get(), &set);
  for (auto &s : set.sets)
    for (auto &p : s) p.present = 0;
  EXPECT_TRUE(AllocateFrameBuffers(t.record.get(), &set, 0));
  EXPECT_EQ(t.record->frame_buffer_block, nullptr);
}

}  // namespace
