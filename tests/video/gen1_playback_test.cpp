// First-generation movies played through the engine: decoded on the
// caller's thread, on one worker and on two workers (a luma job and an
// alpha and chroma job), every frame equal to the encoder's reconstruction.
#include <gtest/gtest.h>

#include <random>
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

const uint32_t kW = 72, kH = 56, kFrames = 6;
const uint32_t kWorkers[8] = {0, 1, 2, 3, 4, 5, 6, 7};
const uint32_t kPlaneW[4] = {72, 40, 40, 72}, kPlaneH[4] = {56, 32, 32, 56};  // luma, chroma, chroma, alpha

typedef std::vector<std::vector<uint8_t>> Frame;  // packed planes

struct Gen1Movie {
  std::vector<uint8_t> bytes;
  std::vector<Frame> expected;
};

Gen1Movie MakeMovie(char revision, bool alpha) {
  Gen1Movie movie;
  std::mt19937 rng(7 + revision);
  const bool f_to_h = revision <= 'h';
  ContainerSpec desc;
  desc.signature = WriterSignature("VSH", revision);
  desc.width = kW;
  desc.height = kH;
  desc.rate_num = 25;
  desc.rate_den = 1;
  desc.video_flags = alpha ? 0x100000 : 0;
  Frame previous;
  const uint32_t planes = alpha ? 4 : 3;
  for (uint32_t f = 0; f < kFrames; ++f) {
    Frame source(planes), recon(planes);
    std::vector<uint8_t> bytes[4];
    for (uint32_t p = 0; p < planes; ++p) {
      const uint32_t w = kPlaneW[p], h = kPlaneH[p];
      source[p].resize(w * h);
      for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
          const uint32_t sx = x + f, sy = y + f / 2;  // the picture drifts
          uint32_t v = ((sx / 8 + sy / 8) & 1) ? 40 + p * 30 : 180 + (sx * 3 + sy) % 40;
          if ((sx / 16) % 3 == 2 && (sy / 16) % 2 == 0) v = 1 + rng() % 255;
          source[p][y * w + x] = static_cast<uint8_t>(v);
        }
      Gen1PlaneOptions o;
      o.lossy = true;
      o.signed_colors = f_to_h;
      o.revision_k = revision == 'k';
      o.alpha_plane = p == 3;
      Gen1PlaneResult r =
          EncodeGen1Plane(source[p].data(), f == 0 ? nullptr : previous[p].data(), w, h, w, o);
      bytes[p] = r.bytes;
      recon[p] = r.recon;
    }
    WriterFrame frame;
    frame.key = f == 0;
    frame.bytes = AssembleGen1Video(alpha ? &bytes[3] : nullptr, bytes[0], bytes[1], bytes[2], f_to_h);
    desc.frames.push_back(frame);
    movie.expected.push_back(recon);
    previous = recon;
  }
  movie.bytes = WriteContainer(desc);
  return movie;
}

Frame Capture(HVOSH m, uint32_t planes) {
  Frame out;
  const FrameBufferSet *fb = m->frame_buffers;
  const uint32_t index[4] = {PLANE_LUMA, PLANE_CHROMA1, PLANE_CHROMA2, PLANE_ALPHA};
  for (uint32_t p = 0; p < planes; ++p) {
    const PlaneBuffer &pb = fb->sets[fb->current_set][index[p]];
    std::vector<uint8_t> plane;
    for (uint32_t y = 0; y < kPlaneH[p]; ++y)
      plane.insert(plane.end(), pb.pixels + uint64_t(y) * pb.stride, pb.pixels + uint64_t(y) * pb.stride + kPlaneW[p]);
    out.push_back(plane);
  }
  return out;
}

HVOSH Open(const Gen1Movie &movie, bool alpha) {
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
      const Gen1Movie movie = MakeMovie(revision, alpha);
      const uint32_t planes = alpha ? 4 : 3;
      {  // One job for all planes on the caller's thread.
        HVOSH m = Open(movie, alpha);
        ASSERT_NE(m, nullptr) << VoshGetErrorText();
        for (uint32_t f = 0; f < kFrames; ++f) {
          const uint32_t run = m->slice_layout.slice_count << 4;
          EXPECT_EQ(DecodeFrame(m, DECODE_OPEN_FRAME | DECODE_CLOSE_FRAME | run), 0);
          EXPECT_EQ(Capture(m, planes), movie.expected[f]) << revision << " frame " << f + 1;
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
          EXPECT_EQ(Capture(m, planes), movie.expected[f])
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
