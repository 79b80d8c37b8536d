// Whole-frame decoding speed of the second-generation codec: movies made by
// the test writer (a key frame with AC, then inter frames with motion,
// half-sample vectors and residuals) decoded on one worker in a loop.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "bench.h"
#include "moviewriter/gen2_frame_writer.h"
#include "video/gen2/slices.h"

namespace {

Gen2Picture SyntheticPicture(uint32_t w, uint32_t h, uint32_t t) {
  Gen2Picture p = MakeGen2Picture(w, h, false, false);
  for (uint32_t plane = 0; plane < 3; ++plane) {
    const uint32_t pw = Gen2PlaneWidth(p, plane), ph = Gen2PlaneHeight(p, plane);
    const double scale = plane ? 2.0 : 1.0;
    for (uint32_t y = 0; y < ph; ++y)
      for (uint32_t x = 0; x < pw; ++x) {
        const double fx = x * scale + 3.0 * t, fy = y * scale;
        const double v = 128 + 60 * std::sin(fx * 0.013 + plane) * std::cos(fy * 0.021) +
                         30 * std::sin((fx + fy) * 0.11) + ((uint32_t(fx) / 64 + uint32_t(fy) / 64) & 1 ? 20 : -20);
        p.planes[plane][uint64_t(y) * pw + x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
      }
  }
  return p;
}

struct Movie {
  std::vector<uint8_t> key;
  std::vector<std::vector<uint8_t>> inter;
};

Movie MakeMovie(uint32_t w, uint32_t h, const SliceLayout &l, uint32_t inter_frames) {
  Movie m;
  std::mt19937 rng(w ^ h);
  Gen2FrameDesc key = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, 16);
  EncodeIntraWithAc(SyntheticPicture(w, h, 0), 10, &key);
  m.key = WriteGen2Frame(&key);
  for (uint32_t f = 0; f < inter_frames; ++f) {
    Gen2FrameDesc d = MakeGen2Frame(w, h, false, l.slice_count, l.end_row, 16);
    for (Gen2BlockDesc &b : d.blocks) {
      const uint32_t r = rng() % 10;
      b.type = r < 2 ? 1 : r < 6 ? 2 : 3;  // 20% skip, 40% motion, 40% motion and residual
      b.qi = 12;
      b.chroma_residual = rng() & 1;
      b.single_vector = rng() % 3 != 0;
      for (int q = 0; q < 4; ++q) {
        b.mv[2 * q] = b.single_vector && q ? b.mv[0] : 6 + int32_t(rng() % 5) - 2;
        b.mv[2 * q + 1] = b.single_vector && q ? b.mv[1] : int32_t(rng() % 5) - 2;
      }
      if (b.type == 3) {
        for (uint32_t p = 0; p < 3; ++p)
          for (int i = 0; i < 16; ++i) b.dc[p][i] = int32_t(rng() % 41) - 20;
        for (int k = 0; k < 12; ++k)
          b.ac.push_back(Gen2AcLevel{uint8_t(rng() % 3), uint8_t(rng() % 4), uint8_t(1 + rng() % 14),
                                     int16_t(rng() % 2 ? 1 + rng() % 3 : -1 - int(rng() % 3))});
      }
    }
    m.inter.push_back(WriteGen2Frame(&d));
  }
  return m;
}

double DecodeLoop(Gen2TestBuffers *b, SliceLayout *l, const std::vector<uint8_t> &video, bool key,
                  uint8_t *seams, uint32_t min_ms, uint32_t *frames_out) {
  const uint32_t run = l->slice_count << 4;
  uint32_t frames = 0;
  const uint64_t t0 = BenchNowNs();
  uint64_t elapsed = 0;
  // current_set stays: every pass predicts from the same reference.
  do {
    ClearSeamFlags(l, seams);
    DecodeSliceRun(&b->set, video.data(), 0, 0, key, video.data() + video.size(), l, run, seams, nullptr);
    SmoothSliceSeams(&b->set, l, 0, 0, 0, seams);
    ++frames;
    elapsed = BenchNowNs() - t0;
  } while (elapsed < uint64_t(min_ms) * 1000000u);
  *frames_out = frames;
  return double(frames) * 1e9 / double(elapsed);
}

}  // namespace

int RunFrameBench(int argc, char **argv) {
  const uint32_t min_ms = BenchMinMs(argc, argv, 2000);
  const uint32_t sizes[][2] = {{1920, 1080}, {3840, 2160}};
  std::printf("%-10s %-8s %8s %10s %10s\n", "size", "frames", "bytes", "frames/s", "ms/frame");
  for (auto &sz : sizes) {
    SliceLayout l;
    MakeGen2Layout(&l, sz[0], sz[1], 2);
    Gen2TestBuffers b;
    AllocGen2Buffers(&b, sz[0], sz[1], 2, false, false);
    const uint32_t w = b.set.luma_width, h = b.set.luma_height;
    const Movie m = MakeMovie(w, h, l, 4);
    std::vector<uint8_t> seams(uint64_t(l.slice_count) * l.seam_stride, 0);
    uint32_t frames;
    // The key frame, then the inter frames predicting from it.
    b.set.current_set = 0;
    const double key_fps = DecodeLoop(&b, &l, m.key, true, seams.data(), min_ms, &frames);
    std::printf("%4ux%-5u %-8s %8zu %10.1f %10.2f\n", sz[0], sz[1], "intra", m.key.size(), key_fps, 1000.0 / key_fps);
    b.set.current_set = 1;  // the set just written is the reference
    uint64_t bytes = 0;
    double total_ms = 0;
    for (const auto &v : m.inter) {
      const double fps = DecodeLoop(&b, &l, v, false, seams.data(), min_ms / 4 + 1, &frames);
      bytes += v.size();
      total_ms += 1000.0 / fps;
    }
    const double inter_fps = 1000.0 * double(m.inter.size()) / total_ms;
    std::printf("%4ux%-5u %-8s %8llu %10.1f %10.2f\n", sz[0], sz[1], "inter", (unsigned long long)(bytes / m.inter.size()),
                inter_fps, 1000.0 / inter_fps);
    FreeGen2Buffers(&b);
  }
  return 0;
}
