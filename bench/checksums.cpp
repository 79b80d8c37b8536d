// `vosh_bench checksums`: decodes a fixed set of movies made by the test
// writer (both generations, every revision, with and without the optional
// planes) through the engine's asynchronous calls on 1 and on 8 workers, and
// prints one checksum of every decoded plane of every frame per movie and
// worker count.  Two builds decode alike exactly when their lines are equal,
// so the output of an old and a new binary can be compared with diff.
#include <cmath>
#include <cstdio>
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
#include "moviewriter/gen1_writer.h"
#include "moviewriter/gen2_frame_writer.h"

namespace {

const uint32_t kChecksumWorkers[8] = {0, 1, 2, 3, 4, 5, 6, 7};

// FNV-1a, 64 bits.
struct Hash64 {
  uint64_t h = 1469598103934665603ull;
  void Add(const uint8_t *p, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  }
  void AddWord(uint32_t w) {
    uint8_t b[4];
    std::memcpy(b, &w, 4);
    Add(b, 4);
  }
};

struct ChecksumMovie {
  std::string name;
  std::vector<uint8_t> bytes;
  uint32_t open_flags;  // added to the memory-image and rate-override bits
};

// ---- second generation ---------------------------------------------------------

uint8_t Clamp255(double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

Gen2Picture Gen2Scene(uint32_t w, uint32_t h, uint32_t t, bool alpha, bool extra) {
  Gen2Picture p = MakeGen2Picture(w, h, alpha, extra);
  for (uint32_t plane = 0; plane < G2W_PLANES; ++plane) {
    if (p.planes[plane].empty()) continue;
    const uint32_t pw = Gen2PlaneWidth(p, plane), ph = Gen2PlaneHeight(p, plane);
    const uint32_t sub = (plane == 1 || plane == 2) ? 2 : 1;
    for (uint32_t y = 0; y < ph; ++y)
      for (uint32_t x = 0; x < pw; ++x) {
        const double fx = double(x * sub + 3 * t), fy = double(y * sub + t);
        double v = 118 + 60 * std::cos(fx * 0.021 + plane) * std::sin(fy * 0.017);
        v += 30 * std::sin(fx * 0.23 + fy * 0.11);
        if ((uint32_t(fx) / 40 + uint32_t(fy) / 24) % 3 == 0) v += 55;  // sharp edges
        if ((uint32_t(fx) / 64 + uint32_t(fy) / 64) % 5 == 1) v = 90 + plane * 20;  // flat patches
        p.planes[plane][uint64_t(y) * pw + x] = Clamp255(v);
      }
  }
  return p;
}

// An inter frame of every block type: intra blocks, skips, motion with
// integer, half-sample and own vectors, residuals with DC and AC levels in
// every plane (long codes, escapes, both run tables), all quantisers.
Gen2FrameDesc Gen2InterFrame(uint32_t w, uint32_t h, const SliceLayout &l, uint32_t flags, bool alpha,
                             bool extra, std::mt19937 *rng) {
  Gen2FrameDesc d = MakeGen2Frame(w, h, false, l.slice_count, l.end_row, flags);
  d.alpha = alpha;
  d.extra = extra;
  const bool wide = (flags & 0x40000) != 0;
  auto R = [rng](uint32_t n) { return uint32_t((*rng)() % n); };
  if (flags & 0x10000) {
    d.row_edges.resize(h / 8);
    d.column_edges.resize(w / 8);
    for (uint8_t &e : d.row_edges) e = uint8_t(R(4) == 0);
    for (uint8_t &e : d.column_edges) e = uint8_t(R(4) == 0);
    d.run_length_bitmaps = R(2) != 0;
  }
  const uint32_t planes = 3 + (alpha ? 1 : 0) + (extra ? 1 : 0);
  for (Gen2BlockDesc &b : d.blocks) {
    const uint32_t r = R(16);
    b.type = uint8_t(r < 2 ? 0 : r < 4 ? 1 : r < 9 ? 2 : 3);
    b.qi = uint8_t(R(37));
    b.table2 = R(3) == 0;
    b.single_vector = R(3) != 0;
    const int32_t base_x = int32_t(R(9)) - 4, base_y = int32_t(R(9)) - 4;
    for (int q = 0; q < 4; ++q) {
      b.mv[2 * q] = b.single_vector ? base_x : base_x + int32_t(R(7)) - 3;
      b.mv[2 * q + 1] = b.single_vector ? base_y : base_y + int32_t(R(7)) - 3;
    }
    b.chroma_residual = R(2) != 0;
    if (b.type == 0) {
      for (uint32_t p = 0; p < G2W_PLANES; ++p)
        for (int i = 0; i < 16; ++i) b.dc[p][i] = int32_t(R(2048));
    } else if (b.type == 3) {
      const int32_t range = wide ? 2047 : 1023;
      for (uint32_t p = 0; p < G2W_PLANES; ++p)
        for (int i = 0; i < 16; ++i)
          b.dc[p][i] = R(4) == 0 ? int32_t(R(2 * range + 1)) - range : int32_t(R(61)) - 30;
    }
    if (b.type == 0 || b.type == 3) {
      const uint32_t levels = R(40);
      for (uint32_t k = 0; k < levels; ++k) {
        uint8_t plane = uint8_t(R(planes));
        if (plane >= 3 && !alpha) plane = 4;
        if (b.type == 3 && !b.chroma_residual && (plane == 1 || plane == 2)) plane = 0;
        const uint32_t big = R(8);
        const int16_t mag = int16_t(big == 0 ? 1 + R(1025) : big == 1 ? 1 + R(40) : 1 + R(3));
        b.ac.push_back(Gen2AcLevel{plane, uint8_t(R(plane == 1 || plane == 2 ? 4 : 16)), uint8_t(1 + R(63)),
                                   int16_t(R(2) ? mag : -mag)});
      }
    }
  }
  return d;
}

// Frame flags of inter frame f: the threshold, the edge bitmaps with their
// two omissions, the clamp mode and the wide DC range in turn.
uint32_t Gen2InterFlags(uint32_t f, std::mt19937 *rng) {
  uint32_t flags = (*rng)() % 256;
  switch (f % 6) {
    case 1: flags |= 0x10000; break;
    case 2: flags |= 0x10000 | 0x4000; break;
    case 3: flags |= 0x10000 | 0x8000 | 0x20000; break;
    case 4: flags |= 0x40000; break;
    case 5: flags |= 0x20000 | 0x40000 | 0x10000; break;
    default: break;
  }
  return flags;
}

ChecksumMovie Gen2Movie(char revision, uint32_t width, uint32_t height, bool alpha, bool extra) {
  const uint32_t slice_index = uint32_t(revision) & 3;
  SliceLayout l{};
  ComputeSliceLayout(WriterSignature("VS2", revision), slice_index, width, height, &l);
  const uint32_t w = (width + 31) & ~31u, h = (height + 15) & ~15u;
  ContainerSpec desc;
  desc.signature = WriterSignature("VS2", revision);
  desc.width = width;
  desc.height = height;
  desc.video_flags = slice_index | (alpha ? 0x100000u : 0u) | (extra ? 0x4u : 0u);
  std::mt19937 rng(uint32_t(revision) * 131 + width + (alpha ? 7 : 0) + (extra ? 11 : 0));
  const uint32_t frames = 14;
  for (uint32_t f = 0; f < frames; ++f) {
    WriterFrame frame;
    frame.key = f % 7 == 0;
    if (frame.key) {
      Gen2FrameDesc key = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, f == 0 ? 16 : 0x10000 | 200);
      key.alpha = alpha;
      key.extra = extra;
      if (f != 0) {
        key.row_edges.assign(h / 8, 0);
        key.column_edges.assign(w / 8, 0);
        for (uint32_t i = 0; i < key.row_edges.size(); i += 3) key.row_edges[i] = 1;
        for (uint32_t i = 1; i < key.column_edges.size(); i += 4) key.column_edges[i] = 1;
      }
      EncodeIntraWithAc(Gen2Scene(w, h, f, alpha, extra), uint8_t(f == 0 ? 10 : 22), &key);
      for (Gen2BlockDesc &b : key.blocks) b.table2 = rng() % 3 == 0;
      frame.bytes = WriteGen2Frame(&key);
    } else {
      Gen2FrameDesc inter = Gen2InterFrame(w, h, l, Gen2InterFlags(f, &rng), alpha, extra, &rng);
      frame.bytes = WriteGen2Frame(&inter);
    }
    desc.frames.push_back(std::move(frame));
  }
  ChecksumMovie m;
  char name[64];
  std::snprintf(name, sizeof name, "VS2%c %ux%u%s%s", revision, width, height, alpha ? " alpha" : "",
                extra ? " extra" : "");
  m.name = name;
  m.bytes = WriteContainer(desc);
  m.open_flags = alpha ? 0x100000 : 0;
  return m;
}

// ---- first generation ----------------------------------------------------------

ChecksumMovie Gen1Movie(char revision, bool alpha) {
  ChecksumMovie m;
  char name[64];
  std::snprintf(name, sizeof name, "VSH%c %ux%u%s", revision, GEN1_DRIFT_WIDTH, GEN1_DRIFT_HEIGHT,
                alpha ? " alpha" : "");
  m.name = name;
  // Ten frames, a key frame every five, the intra transform level varied.
  m.bytes = WriteGen1DriftMovie(revision, alpha, 10, 5, true).bytes;
  m.open_flags = alpha ? 0x100000 : 0;
  return m;
}

// ---- decoding --------------------------------------------------------------------

void HashSet(const FrameBufferSet *fb, Hash64 *hash) {
  const PlaneBuffer *set = fb->sets[fb->current_set];
  for (uint32_t p = 0; p < PLANES_PER_SET; ++p) {
    if (!set[p].present || !set[p].pixels) continue;
    const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
    const uint32_t w = chroma ? fb->chroma_width : fb->luma_width;
    const uint32_t h = chroma ? fb->chroma_height : fb->luma_height;
    hash->AddWord(p);
    for (uint32_t y = 0; y < h; ++y) hash->Add(set[p].pixels + uint64_t(y) * set[p].stride, w);
  }
}

// Plays the movie once through on `workers` workers; false on any failure.
bool ChecksumPlay(const ChecksumMovie &movie, int workers, uint64_t *checksum, uint32_t *frames) {
  VoshOverrideFrameRate(0, 0);
  HVOSH m = VoshOpenMovie(uint64_t(uintptr_t(movie.bytes.data())),
                          OPEN_MEMORY_IMAGE | OPEN_RATE_OVERRIDE | movie.open_flags);
  if (!m) return false;
  Hash64 hash;
  bool ok = VoshStartAsyncDecompress(m, kChecksumWorkers, workers) == 1;
  *frames = 0;
  for (uint32_t f = 1; ok && f <= m->frame_count; ++f) {
    for (uint32_t spins = 0; VoshShouldWait(m) && spins < 1000000; ++spins) {
    }
    if (VoshWaitAsyncDecompress(m, -1) != 1 || m->last_finished_frame != f) ok = false;
    HashSet(m->frame_buffers, &hash);
    ++*frames;
    VoshAdvanceFrame(m);
    if (f < m->frame_count && VoshStartAsyncDecompress(m, kChecksumWorkers, workers) != 1) ok = false;
  }
  VoshCloseMovie(m);
  *checksum = hash.h;
  return ok;
}

}  // namespace

int RunChecksumBench(int argc, char **) {
  if (argc > 0) {
    std::printf("usage: vosh_bench checksums\n");
    return 1;
  }
  if (!BenchStartWorkers()) return 1;
  std::vector<ChecksumMovie> movies;
  for (char revision : std::string("fghijkmn")) {
    movies.push_back(Gen2Movie(revision, 232, 200, false, false));
    movies.push_back(Gen2Movie(revision, 160, 136, revision >= 'i', revision == 'k' || revision == 'n'));
  }
  movies.push_back(Gen2Movie('i', 320, 512, true, true));
  movies.push_back(Gen2Movie('m', 1920, 1080, false, false));
  for (char revision : std::string("fghik")) {
    movies.push_back(Gen1Movie(revision, false));
    if (revision >= 'i') movies.push_back(Gen1Movie(revision, true));
  }
  int failed = 0;
  for (const ChecksumMovie &movie : movies)
    for (int workers : {1, 8}) {
      uint64_t checksum = 0;
      uint32_t frames = 0;
      const bool ok = ChecksumPlay(movie, workers, &checksum, &frames);
      std::printf("%-26s workers %d frames %2u checksum %016llx%s\n", movie.name.c_str(), workers, frames,
                  (unsigned long long)checksum, ok ? "" : " FAILED");
      if (!ok) failed = 1;
    }
  return failed;
}
