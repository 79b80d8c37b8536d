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
