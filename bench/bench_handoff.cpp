// The hand-off between threads: small second-generation movies of eight
// slices played through the public asynchronous calls on 1 and 8 workers
// (us/frame), against the same frames decoded on the calling thread as one
// job (us/own).  The difference (us/handoff) is what posting the jobs, waking
// the workers and collecting their completions costs per frame; us/start is
// the part spent inside the start.  The 256x256 movie is the movie bench's;
// on 8 workers its difference also takes off what the slices gain by running
// in parallel.  The still movie (32x256: eight slices of one block; a flat
// key frame, then frames of skipped blocks) has almost no decode work, so
// there the difference is the hand-off itself on any number of workers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench.h"
#include "engine/async.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "moviewriter/container_writer.h"
#include "moviewriter/gen2_frame_writer.h"

namespace {

const uint32_t kWorkerList[8] = {0, 1, 2, 3, 4, 5, 6, 7};

std::vector<uint8_t> WriteStillMovie(uint32_t width, uint32_t height) {
  SliceLayout l;
  MakeGen2Layout(&l, width, height, 3);
  ContainerSpec desc;
  desc.width = width;
  desc.height = height;
  desc.video_flags = 3;
  for (uint32_t f = 0; f < 24; ++f) {
    Gen2FrameDesc d = MakeGen2Frame(width, height, f == 0, l.slice_count, l.end_row, 16);
    if (f == 0) {
      Gen2Picture p = MakeGen2Picture(width, height, false, false);
      for (auto &plane : p.planes) std::fill(plane.begin(), plane.end(), uint8_t(100));
      EncodeFlatBlocks(p, &d);
    } else {
      for (Gen2BlockDesc &b : d.blocks) b.type = 1;
    }
    WriterFrame frame;
    frame.key = f == 0;
    frame.bytes = WriteGen2Frame(&d);
    desc.frames.push_back(std::move(frame));
  }
  return WriteContainer(desc);
}

struct FrameTimes {
  double ns;        // per frame; negative when frames went out of step
  double start_ns;  // per frame inside VoshStartAsyncDecompress
};

// Time per frame over whole passes of at least min_ms: through the
// asynchronous calls on `workers` workers, or (workers 0) decoded on this
// thread as one job.
FrameTimes TimeFrames(const std::vector<uint8_t> &image, int workers, uint32_t min_ms) {
  VoshOverrideFrameRate(0, 0);  // every frame is due at once
  HVOSH m = VoshOpenMovie(uint64_t(uintptr_t(image.data())), OPEN_MEMORY_IMAGE | OPEN_RATE_OVERRIDE);
  if (!m) return {-1, 0};
  const uint32_t whole = m->slice_layout.slice_count << 4 | DECODE_OPEN_FRAME | DECODE_CLOSE_FRAME;
  uint64_t frames = 0, elapsed = 0, bad = 0, start_ns = 0;
  const uint64_t t0 = BenchNowNs();
  if (workers) VoshStartAsyncDecompress(m, kWorkerList, workers);
  do {
    for (uint32_t f = 1; f <= m->frame_count; ++f) {
      if (workers) {
        bad += VoshWaitAsyncDecompress(m, -1) != 1;
        VoshAdvanceFrame(m);
        const uint64_t s = BenchNowNs();
        VoshStartAsyncDecompress(m, kWorkerList, workers);
        start_ns += BenchNowNs() - s;
      } else {
        DecodeFrame(m, whole);
        VoshAdvanceFrame(m);
      }
      bad += m->last_finished_frame != f;
      ++frames;
    }
    elapsed = BenchNowNs() - t0;
  } while (elapsed < uint64_t(min_ms) * 1000000u);
  VoshWaitAsyncDecompress(m, -1);
  VoshCloseMovie(m);
  return {bad ? -1 : double(elapsed) / double(frames), double(start_ns) / double(frames)};
}

}  // namespace

int RunHandoffBench(int argc, char **argv) {
  const uint32_t min_ms = BenchMinMs(argc, argv, 2000);
  if (!BenchStartWorkers()) return 1;
  struct {
    const char *name;
    std::vector<uint8_t> image;
  } movies[] = {{"256x256", WriteBenchMovie(256, 256)}, {"still", WriteStillMovie(32, 256)}};
  std::printf("%-8s %7s %10s %10s %10s %10s %10s\n", "movie", "workers", "frames/s", "us/frame", "us/own",
              "us/handoff", "us/start");
  for (auto &mv : movies) {
    const double own = TimeFrames(mv.image, 0, min_ms / 2).ns;
    for (int workers : {1, 8}) {
      const FrameTimes t = TimeFrames(mv.image, workers, min_ms);
      if (t.ns < 0 || own < 0) {
        std::printf("%s on %d workers: frames out of step\n", mv.name, workers);
        return 1;
      }
      std::printf("%-8s %7d %10.1f %10.1f %10.1f %10.1f %10.1f\n", mv.name, workers, 1e9 / t.ns, t.ns / 1e3,
                  own / 1e3, (t.ns - own) / 1e3, t.start_ns / 1e3);
    }
  }
  return 0;
}
