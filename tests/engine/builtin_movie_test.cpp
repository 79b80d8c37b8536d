// The built-in movie opened from the library's memory image and decoded:
// one 224 x 252 frame at 10 frames per second, no sound, and its picture.
#include <gtest/gtest.h>

#include <vector>

#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "moviewriter/gen1_writer.h"

TEST(BuiltInMovieDecodeTest, OpensAndDecodesToItsStillPicture) {
  HVOSH m = VoshOpenMovie(uint64_t(uintptr_t(VoshGetBuiltInMovie())), 0x4000000);
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  EXPECT_EQ(m->width, 224u);
  EXPECT_EQ(m->height, 252u);
  EXPECT_EQ(m->frame_count, 1u);
  EXPECT_EQ(m->rate_num, 10u);
  EXPECT_EQ(m->rate_den, 1u);
  EXPECT_EQ(m->sound_track_count, 0);
  EXPECT_EQ(m->open_track_count.load(), 0u);
  ASSERT_NE(m->frame_buffers, nullptr);
  const FrameBufferSet *fb = m->frame_buffers;
  EXPECT_EQ(fb->set_count, 1u);
  EXPECT_EQ(fb->luma_width, 224u);
  EXPECT_EQ(fb->luma_height, 256u);
  EXPECT_EQ(fb->chroma_width, 112u);
  EXPECT_EQ(fb->chroma_height, 128u);

  const uint32_t run = m->slice_layout.slice_count << 4;
  EXPECT_EQ(DecodeFrame(m, DECODE_OPEN_FRAME | DECODE_CLOSE_FRAME | run), 0);
  EXPECT_EQ(m->last_finished_frame, 1u);

  std::vector<uint8_t> expected[3];
  BuiltInStillPicture(&expected[0], &expected[1], &expected[2]);
  const PlaneBuffer *set = fb->sets[fb->current_set];
  for (uint32_t p = 0; p < 3; ++p) {
    const uint32_t w = p ? 112 : 224, h = p ? 128 : 256;
    std::vector<uint8_t> got;
    for (uint32_t y = 0; y < h; ++y)
      got.insert(got.end(), set[p].pixels + uint64_t(y) * set[p].stride, set[p].pixels + uint64_t(y) * set[p].stride + w);
    EXPECT_EQ(got, expected[p]) << "plane " << p;
  }
  // Spot checks independent of the writer: the white and blue bars, the
  // ramp's ends, the blue bar's chroma.
  EXPECT_EQ(set[0].pixels[10 * set[0].stride + 5], 235);
  EXPECT_EQ(set[0].pixels[10 * set[0].stride + 220], 41);
  EXPECT_EQ(set[0].pixels[180 * set[0].stride + 0], 16);
  EXPECT_EQ(set[0].pixels[180 * set[0].stride + 223], 235);
  EXPECT_EQ(set[1].pixels[10 * set[1].stride + 110], 240);
  VoshCloseMovie(m);
}

TEST(BuiltInMovieDecodeTest, PictureDataFitsTheFrame) {
  const std::vector<uint8_t> video = EncodeBuiltInStill();
  EXPECT_LE(video.size(), 14848u - 52u);
  EXPECT_EQ(std::vector<uint8_t>(VoshGetBuiltInMovie() + 52, VoshGetBuiltInMovie() + 52 + video.size()), video);
}

// Looping the one-frame movie: every pass counts as a finished frame (so its
// clock keeps running), but the single buffer set that holds the picture, and
// that the copy reads between passes, is not written again.
TEST(BuiltInMovieDecodeTest, LoopPassesKeepTheClockAndLeaveThePictureAlone) {
  HVOSH m = VoshOpenMovie(uint64_t(uintptr_t(VoshGetBuiltInMovie())), 0x4000000);
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  const uint32_t run = m->slice_layout.slice_count << 4;
  EXPECT_EQ(DecodeFrame(m, DECODE_OPEN_FRAME | DECODE_CLOSE_FRAME | run), 0);
  const FrameBufferSet *fb = m->frame_buffers;
  ASSERT_EQ(fb->set_count, 1u);
  uint8_t *luma = fb->sets[0][PLANE_LUMA].pixels;
  const uint8_t first = luma[0];
  luma[0] = static_cast<uint8_t>(first ^ 0x5A);  // marks the shown picture
  for (uint32_t pass = 2; pass <= 4; ++pass) {
    VoshAdvanceFrame(m);
    EXPECT_EQ(m->current_frame, 1u);
    EXPECT_EQ(DecodeFrame(m, DECODE_OPEN_FRAME | DECODE_CLOSE_FRAME | run), 0) << pass;
    EXPECT_EQ(m->frames_finished, pass);
    EXPECT_EQ(luma[0], static_cast<uint8_t>(first ^ 0x5A)) << pass;
  }
  VoshCloseMovie(m);
}
