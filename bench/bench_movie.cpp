// Whole-movie playback speed: second-generation movies of eight slices made
// by the test writer, opened from memory and from a file, played start to
// end (and round again) through the library's public calls as fast as the
// workers decode, on one worker and on eight.  Also the bytes each open
// allocates for its movie.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench.h"
#include "engine/async.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "moviewriter/container_writer.h"
#include "moviewriter/gen2_frame_writer.h"

namespace {

const uint32_t kSliceIndex = 3;  // eight slices
const uint32_t kFrameCount = 24;
const uint32_t kKeyInterval = 12;
const uint32_t kWorkerList[8] = {0, 1, 2, 3, 4, 5, 6, 7};

// A scene panning right by two luma samples a frame: soft gradients, a few
// sharp edges and fine texture, so the key frames carry many AC levels.
Gen2Picture Scene(uint32_t w, uint32_t h, uint32_t t) {
  Gen2Picture p = MakeGen2Picture(w, h, false, false);
  for (uint32_t plane = 0; plane < 3; ++plane) {
    const uint32_t pw = Gen2PlaneWidth(p, plane), ph = Gen2PlaneHeight(p, plane);
    const uint32_t sub = plane ? 2 : 1;
    for (uint32_t y = 0; y < ph; ++y)
      for (uint32_t x = 0; x < pw; ++x) {
        const double fx = double(x * sub + 2 * t), fy = double(y * sub);
        double v = 120 + 50 * std::cos(fx * 0.007 + plane) * std::sin(fy * 0.011);
        v += 25 * std::sin(fx * 0.19 + fy * 0.07);
        if ((uint32_t(fx) / 96 + uint32_t(fy) / 80) % 3 == 0) v += 40;
        p.planes[plane][uint64_t(y) * pw + x] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
      }
  }
  return p;
}

// An inter frame: mostly the pan's vector (4 half samples), a quarter of
// the blocks with their own small vectors, a third with a residual.
std::vector<uint8_t> PanFrame(uint32_t w, uint32_t h, const SliceLayout &l, std::mt19937 *rng) {
  Gen2FrameDesc d = MakeGen2Frame(w, h, false, l.slice_count, l.end_row, 16);
  for (Gen2BlockDesc &b : d.blocks) {
    const uint32_t r = (*rng)() % 12;
    b.type = r < 1 ? 1 : r < 8 ? 2 : 3;
    b.qi = 14;
    const bool own = (*rng)() % 4 == 0;
    b.single_vector = !own;
    for (int q = 0; q < 4; ++q) {
      b.mv[2 * q] = own ? 4 + int32_t((*rng)() % 7) - 3 : 4;
      b.mv[2 * q + 1] = own ? int32_t((*rng)() % 7) - 3 : 0;
    }
    if (b.type != 3) continue;
    b.chroma_residual = (*rng)() % 3 == 0;
    for (uint32_t p = 0; p < 3; ++p)
      for (int i = 0; i < 16; ++i) b.dc[p][i] = int32_t((*rng)() % 31) - 15;
    const uint32_t levels = 4 + (*rng)() % 16;
    for (uint32_t k = 0; k < levels; ++k) {
      const uint8_t plane = uint8_t(b.chroma_residual ? (*rng)() % 3 : 0);
      const int16_t mag = int16_t(1 + (*rng)() % 3);
      b.ac.push_back(Gen2AcLevel{plane, uint8_t((*rng)() % (plane ? 4 : 16)), uint8_t(1 + (*rng)() % 20),
                                 int16_t((*rng)() & 1 ? mag : -mag)});
    }
  }
  return WriteGen2Frame(&d);
}

std::vector<uint8_t> WriteMovie(uint32_t width, uint32_t height) {
  SliceLayout l;
  MakeGen2Layout(&l, width, height, kSliceIndex);
  // The frame data covers the frame buffers' size: width to 32, height to 16.
  const uint32_t w = (width + 31) & ~31u, h = (height + 15) & ~15u;
  ContainerSpec desc;
  desc.signature = WriterSignature("VS2", 'i');
  desc.width = width;
  desc.height = height;
  desc.rate_num = 30;
  desc.rate_den = 1;
  desc.video_flags = kSliceIndex;
  std::mt19937 rng(width * 7 + height);
  for (uint32_t f = 0; f < kFrameCount; ++f) {
    WriterFrame frame;
    frame.key = f % kKeyInterval == 0;
    if (frame.key) {
      Gen2FrameDesc key = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, 16);
      EncodeIntraWithAc(Scene(w, h, f), 10, &key);
      frame.bytes = WriteGen2Frame(&key);
    } else {
      frame.bytes = PanFrame(w, h, l, &rng);
    }
    desc.frames.push_back(std::move(frame));
  }
  return WriteContainer(desc);
}

struct PlayResult {
  double fps;
  double key_ms;    // mean time from one finished frame to the next, key frames
  double inter_ms;  // the same for inter frames
  uint32_t frames;
  uint32_t out_of_step;  // waits that did not finish the expected frame
};

// The player's loop without the clock: wait for the frame in flight, step,
// start the next; whole passes until min_ms have gone by.
PlayResult Play(HVOSH m, int workers, uint32_t min_ms) {
  PlayResult r = {0, 0, 0, 0, 0};
  uint64_t key_ns = 0, inter_ns = 0, keys = 0;
  const uint64_t t0 = BenchNowNs();
  uint64_t elapsed = 0, last = t0;
  VoshStartAsyncDecompress(m, kWorkerList, workers);
  do {
    for (uint32_t f = 1; f <= m->frame_count; ++f) {
      for (uint32_t spins = 0; VoshShouldWait(m) && spins < 1000000; ++spins) {
      }
      const bool key = m->frame_is_key != 0;
      if (VoshWaitAsyncDecompress(m, -1) != 1 || m->last_finished_frame != f) ++r.out_of_step;
      const uint64_t now = BenchNowNs();
      (key ? key_ns : inter_ns) += now - last;
      keys += key;
      last = now;
      VoshAdvanceFrame(m);
      VoshStartAsyncDecompress(m, kWorkerList, workers);
      ++r.frames;
    }
    elapsed = BenchNowNs() - t0;
  } while (elapsed < uint64_t(min_ms) * 1000000u);
  VoshWaitAsyncDecompress(m, -1);
  r.fps = double(r.frames) * 1e9 / double(elapsed);
  r.key_ms = keys ? double(key_ns) / 1e6 / double(keys) : 0;
  r.inter_ms = r.frames > keys ? double(inter_ns) / 1e6 / double(r.frames - keys) : 0;
  return r;
}

HVOSH OpenBenchMovie(const std::vector<uint8_t> &image, const std::string &path, bool memory) {
  VoshOverrideFrameRate(0, 0);  // every frame is due at once
  if (memory) return VoshOpenMovie(uint64_t(uintptr_t(image.data())), OPEN_MEMORY_IMAGE | OPEN_RATE_OVERRIDE);
  return VoshOpenMovie(uint64_t(uintptr_t(path.c_str())), OPEN_RATE_OVERRIDE);
}

}  // namespace

std::vector<uint8_t> WriteBenchMovie(uint32_t width, uint32_t height) { return WriteMovie(width, height); }

int RunMovieBench(int argc, char **argv) {
  const uint32_t min_ms = BenchMinMs(argc, argv, 2000);
  if (!BenchStartWorkers()) return 1;
  const uint32_t sizes[][2] = {{1920, 1080}, {3840, 2160}};
  int failed = 0;
  std::printf("%-10s %6s %10s %-7s %12s %7s %10s %9s %7s %8s\n", "size", "frames", "file bytes", "source",
              "memory_used", "workers", "frames/s", "ms/frame", "key ms", "inter ms");
  for (auto &sz : sizes) {
    const std::vector<uint8_t> image = WriteMovie(sz[0], sz[1]);
    char name[64];
    std::snprintf(name, sizeof name, "/tmp/vosh_bench_movie_%ux%u_%d.bin", sz[0], sz[1], int(getpid()));
    const std::string path = name;
    if (!WriteBytesFile(image, path)) {
      std::printf("cannot write %s\n", name);
      return 1;
    }
    for (int memory = 1; memory >= 0; --memory)
      for (int workers : {1, 8}) {
        HVOSH m = OpenBenchMovie(image, path, memory != 0);
        if (!m) {
          std::printf("%ux%u %s: open failed: %s\n", sz[0], sz[1], memory ? "memory" : "file", VoshGetErrorText());
          failed = 1;
          continue;
        }
        const uint64_t memory_used = m->memory_used;
        const PlayResult r = Play(m, workers, min_ms);
        VoshCloseMovie(m);
        std::printf("%4ux%-5u %6u %10zu %-7s %12llu %7d %10.1f %9.2f %7.2f %8.2f\n", sz[0], sz[1], kFrameCount,
                    image.size(), memory ? "memory" : "file", (unsigned long long)memory_used, workers, r.fps,
                    1000.0 / r.fps, r.key_ms, r.inter_ms);
        if (r.out_of_step) {
          std::printf("  %u of %u frames did not finish in step\n", r.out_of_step, r.frames);
          failed = 1;
        }
      }
    std::remove(name);
  }
  return failed;
}
