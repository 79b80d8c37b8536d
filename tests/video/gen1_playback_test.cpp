// First-generation movies played through the engine: decoded on the
// caller's thread, on one worker and on two workers (a luma job and an
// alpha and chroma job), every frame equal to the encoder's reconstruction.
#include <gtest/gtest.h>

#include <vector>

#include "engine/async.h"
#include "engine/movie.h"
#include "engine/platform/locks.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "moviewriter/container_writer.h"
#include "moviewriter/gen1_writer.h"
#include "video/gen1/gen1_plane.h"

namespace {

const uint32_t kFrames = 6;
const uint32_t kWorkers[8] = {0, 1, 2, 3, 4, 5, 6, 7};

typedef std::vector<std::vector<uint8_t>> Frame;  // packed planes

Frame Capture(HVOSH m, uint32_t planes) {
  Frame out;
  const FrameBufferSet *fb = m->frame_buffers;
  const uint32_t index[4] = {PLANE_LUMA, PLANE_CHROMA1, PLANE_CHROMA2, PLANE_ALPHA};
  for (uint32_t p = 0; p < planes; ++p) {
    const PlaneBuffer &pb = fb->sets[fb->current_set][index[p]];
    std::vector<uint8_t> plane;
    for (uint32_t y = 0; y < GEN1_DRIFT_PLANE_HEIGHT[p]; ++y)
      plane.insert(plane.end(), pb.pixels + uint64_t(y) * pb.stride, pb.pixels + uint64_t(y) * pb.stride + GEN1_DRIFT_PLANE_WIDTH[p]);
    out.push_back(plane);
  }
  return out;
}

HVOSH Open(const Gen1DriftMovie &movie, bool alpha) {
  VoshOverrideFrameRate(0, 0);
  return VoshOpenMovie(uint64_t(uintptr_t(movie.bytes.data())), 0x4000000 | 0x1000 | (alpha ? 0x100000 : 0));
}

void EnsureWorkers() {
  for (int n = 0; n < 2; ++n)
    if (!IsWorkerStarted(n)) {
      ASSERT_EQ(VoshStartWorkerThread(n), 1);
    }
}

}  // namespace

TEST(Gen1PlaybackTest, SynchronousAndAsynchronousDecodesGiveTheEncodedFrames) {
  EnsureWorkers();
  for (char revision : {'i', 'h', 'k'}) {
    for (bool alpha : {false, true}) {
      if (revision == 'h' && alpha) continue;
      // One key frame, then every plane predicted.
      const Gen1DriftMovie movie = WriteGen1DriftMovie(revision, alpha, kFrames, 0, false);
      const uint32_t planes = alpha ? 4 : 3;
      {  // One job for all planes on the caller's thread.
        HVOSH m = Open(movie, alpha);
        ASSERT_NE(m, nullptr) << VoshGetErrorText();
        for (uint32_t f = 0; f < kFrames; ++f) {
          const uint32_t run = m->slice_layout.slice_count << 4;
          EXPECT_EQ(DecodeFrame(m, DECODE_OPEN_FRAME | DECODE_CLOSE_FRAME | run), 0);
          EXPECT_EQ(Capture(m, planes), movie.recon[f]) << revision << " frame " << f + 1;
          VoshAdvanceFrame(m);
        }
        VoshCloseMovie(m);
      }
      for (int workers : {1, 2}) {
        HVOSH m = Open(movie, alpha);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(VoshStartAsyncDecompress(m, kWorkers, workers), 1);
        for (uint32_t f = 0; f < kFrames; ++f) {
          int spins = 0;
          while (VoshShouldWait(m) && spins++ < 5000) SleepMilliseconds(1);
          EXPECT_EQ(VoshWaitAsyncDecompress(m, -1), 1);
          EXPECT_EQ(m->last_finished_frame, f + 1);
          EXPECT_EQ(Capture(m, planes), movie.recon[f])
              << revision << (alpha ? " alpha" : "") << " workers " << workers << " frame " << f + 1;
          VoshAdvanceFrame(m);
          if (f + 1 < kFrames) {
            EXPECT_EQ(VoshStartAsyncDecompress(m, kWorkers, workers), 1);
          }
        }
        VoshCloseMovie(m);
      }
    }
  }
}
