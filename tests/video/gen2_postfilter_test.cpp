// Block post-filter over synthetic frames driven band by band and block by
// block as the slice decoder does: DC smoothing, edge decisions, the halves
// a run must leave alone, seam records, and vector kernels against scalar.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "video/gen2/postfilter.h"

namespace {

const int kGuardRows = 16;
const uint8_t kGuard = 0x5A;

// One plane inside a buffer with guard rows above and below and guard
// columns on the right.
struct Plane {
  int width = 0, height = 0, stride = 0;
  uint8_t *mem = nullptr;
  size_t bytes = 0;
  void Init(int w, int h, int guard_cols) {
    width = w;
    height = h;
    stride = w + guard_cols;
    bytes = size_t(stride) * (h + 2 * kGuardRows);
    mem = static_cast<uint8_t *>(aligned_alloc(64, bytes));
    memset(mem, kGuard, bytes);
  }
  Plane() = default;
  Plane(const Plane &o) : width(o.width), height(o.height), stride(o.stride), bytes(o.bytes) {
    mem = static_cast<uint8_t *>(aligned_alloc(64, bytes));
    memcpy(mem, o.mem, bytes);
  }
  Plane &operator=(const Plane &) = delete;
  ~Plane() { free(mem); }
  uint8_t *Row(int y) { return mem + size_t(stride) * (y + kGuardRows); }
  uint8_t At(int x, int y) const { return mem[size_t(stride) * (y + kGuardRows) + x]; }
  bool Inside(int x, int y) const { return x >= 0 && x < width && y >= 0 && y < height; }
};

struct BlockWords {
  uint16_t luma[16];
  uint16_t chroma1[4];
  uint16_t chroma2[4];
  uint16_t alpha[16];
  MotionVectorSet mv;
};

struct Frame {
  int width, height;
  Plane luma, chroma1, chroma2, alpha;
  std::vector<BlockWords> blocks;  // band-major
  std::vector<uint8_t> row_nibbles, column_nibbles;
  int Columns() const { return width / 32; }
  int Bands() const { return (height + 31) / 32; }
  BlockWords &Block(int band, int col) { return blocks[size_t(band) * Columns() + col]; }
};

void InitFrame(Frame *f, int width, int height) {
  f->width = width;
  f->height = height;
  f->luma.Init(width, height, 32);
  f->alpha.Init(width, height, 32);
  f->chroma1.Init(width / 2, height / 2, 16);
  f->chroma2.Init(width / 2, height / 2, 16);
  f->blocks.assign(size_t(f->Bands()) * f->Columns(), BlockWords{});
  f->row_nibbles.assign(f->Bands(), 0);
  f->column_nibbles.assign(f->Columns(), 0);
}

void FillPixels(Frame *f, std::mt19937 *rng, bool smooth) {
  Plane *planes[4] = {&f->luma, &f->chroma1, &f->chroma2, &f->alpha};
  for (Plane *p : planes)
    for (int y = 0; y < p->height; ++y)
      for (int x = 0; x < p->width; ++x) {
        uint32_t r = (*rng)();
        // Smooth content gives small steps that the filters act on; rough
        // content gives extremes.
        p->Row(y)[x] = smooth ? uint8_t(100 + (x / 8) * 7 % 40 + (y / 8) * 11 % 30 + r % 3)
                              : uint8_t((r & 0x300) == 0 ? (r & 1) * 255 : r);
      }
}

uint16_t RandomIntraWord(std::mt19937 *rng) {
  uint32_t r = (*rng)();
  return uint16_t(0x8000 | ((r & 3) << 13) | ((r >> 2) % 2048));
}

// Random block types: intra with random classes and DCs, or inter (zero
// words) with small vectors that sometimes agree between quadrants.
void FillWords(Frame *f, std::mt19937 *rng, bool random_nibbles) {
  for (BlockWords &b : f->blocks) {
    bool intra = ((*rng)() % 3) != 0;
    bool same_dc = ((*rng)() % 4) == 0;
    uint16_t shared = uint16_t(0xE000 | ((*rng)() % 2048));
    for (uint16_t &w : b.luma) w = intra ? (same_dc ? shared : RandomIntraWord(rng)) : 0;
    for (uint16_t &w : b.alpha) w = intra ? (same_dc ? shared : RandomIntraWord(rng)) : 0;
    for (uint16_t &w : b.chroma1) w = intra ? RandomIntraWord(rng) : 0;
    for (uint16_t &w : b.chroma2) w = intra ? RandomIntraWord(rng) : 0;
    int32_t base = int32_t((*rng)() % 5) - 2;
    for (int i = 0; i < 8; ++i)
      b.mv.v[i] = ((*rng)() % 2) ? base : base + int32_t((*rng)() % 5) - 2;
  }
  for (uint8_t &n : f->row_nibbles) n = random_nibbles ? uint8_t((*rng)() & (*rng)() & 15) : 0;
  for (uint8_t &n : f->column_nibbles) n = random_nibbles ? uint8_t((*rng)() & (*rng)() & 15) : 0;
}

struct RunOptions {
  int begin = 0;            // top row of the run's first band
  int end = -1;             // end row of its last slice (-1: plane height rounded up to 32)
  bool below_seam = false;  // the run starts at a slice other than 0
  bool extra = false;       // one extra band at `end` (lower half not stored)
  uint32_t frame_bits = 0x2000;
  uint16_t threshold = 2040;
  bool with_alpha = true;
  SeamRecord *seam = nullptr;
  uint32_t seam_capacity = 0;
  const McKernelTable *mc = &MC_KERNEL_TABLE;
  const LoopFilterKernels *edges = nullptr;
};

// Walks a run band by band and block by block as the slice decoder does and
// calls the post-filter after every block.
void RunPostFilter(Frame *f, const RunOptions &o) {
  const int cols = f->Columns();
  const int end = o.end < 0 ? (f->height + 31) / 32 * 32 : o.end;
  const LoopFilterKernels *edges = o.edges ? o.edges : GetLoopFilterKernels();
  PostFilterWindow window;
  memset(&window, 0, sizeof(window));
  // Word rows: a spare entry at each end, two rows per plane.
  const int full_entries = f->width / 8 + 8, chroma_entries = f->width / 16 + 8;
  std::vector<uint16_t> luma_rows(2 * full_entries), alpha_rows(2 * full_entries);
  std::vector<uint16_t> c1_rows(2 * chroma_entries), c2_rows(2 * chroma_entries);
  std::vector<MotionVectorSet> mv_cur(cols + 2), mv_above(cols + 2);
  alignas(16) uint16_t threshold[8];
  for (uint16_t &t : threshold) t = o.threshold;

  PostFilterInput in;
  memset(&in, 0, sizeof(in));
  in.luma_rows = luma_rows.data() + 4;
  in.alpha_rows = o.with_alpha ? alpha_rows.data() + 4 : nullptr;
  in.extra_rows = nullptr;
  in.chroma1_rows = c1_rows.data() + 4;
  in.chroma2_rows = c2_rows.data() + 4;
  in.full_row_offset = full_entries;
  in.chroma_row_offset = chroma_entries;
  in.luma_stride = f->luma.stride;
  in.chroma_stride = f->chroma1.stride;
  in.threshold = threshold;
  in.seam = o.seam;
  in.seam_capacity = o.seam_capacity;

  bool previous_first = false;
  for (int y = o.begin;; y += 32) {
    bool is_extra = false;
    if (y >= end) {
      if (!o.extra || y != end || y >= f->height) break;
      is_extra = true;
    }
    int band = y / 32;
    uint32_t flags = o.frame_bits;
    if (y == 0) flags |= BLOCK_TOP_BAND;
    else if (y == o.begin || is_extra) flags |= BLOCK_SLICE_TOP;
    bool run_first = y == o.begin && o.below_seam;
    if (run_first) flags |= BLOCK_RUN_FIRST_BAND;
    if (is_extra) flags |= BLOCK_EXTRA_BAND;
    if (previous_first) flags |= BLOCK_AFTER_RUN_FIRST;
    if (y + 32 >= f->height) flags |= BLOCK_BOTTOM_BAND;
    if (y + 32 > f->height) flags |= BLOCK_LOWER_OUTSIDE;
    flags |= uint32_t(f->row_nibbles[band]) << 28;
    if (y > 0) flags |= uint32_t(f->row_nibbles[band - 1] >> 2) << 26;
    previous_first = run_first;

    for (int c = 0; c < cols; ++c) {
      BlockWords &b = f->Block(band, c);
      uint32_t bf = flags;
      if (c == 0) bf |= BLOCK_FIRST;
      if (c == cols - 1) bf |= BLOCK_LAST;
      if (c == 1) bf |= BLOCK_SECOND;
      if (c > 0) bf |= uint32_t(f->column_nibbles[c - 1]) << 18;
      bf |= uint32_t(f->column_nibbles[c]) << 22;
      mv_cur[c + 1] = b.mv;
      in.flags = bf;
      in.luma_words = b.luma;
      in.chroma1_words = b.chroma1;
      in.chroma2_words = b.chroma2;
      in.alpha_words = o.with_alpha ? b.alpha : nullptr;
      in.extra_words = nullptr;
      in.luma = f->luma.Row(y) + 32 * c;
      in.alpha = o.with_alpha ? f->alpha.Row(y) + 32 * c : nullptr;
      in.extra = nullptr;
      in.chroma1 = f->chroma1.Row(y / 2) + 16 * c;
      in.chroma2 = f->chroma2.Row(y / 2) + 16 * c;
      in.vectors = &mv_cur[c + 1];
      in.above_vectors = &mv_above[c + 1];
      PostFilterBlockWith(o.mc, edges, &window, &in);
    }
    std::swap(mv_cur, mv_above);
    if (is_extra) break;
  }
}

// What the seam smoothing after the frame does with one record.
void ApplySeam(Frame *f, SeamRecord *record, int end_row) {
  if (!record->has_codes) return;
  record->has_codes = 0;
  const uint8_t *codes = SeamRecordCodes(record);
  int n = f->width / 32;
  for (int c = 0; c < n; ++c) {
    uint8_t *row = f->luma.Row(end_row + 14);
    for (int h = 0; h < 2; ++h) {
      uint8_t code = codes[2 * c + h];
      if (code)
        FilterHorizontalEdge16(row + 32 * c + 16 * h, f->luma.stride, &EDGE_FILTER_MASKS[code & 15],
                               &EDGE_FILTER_MASKS[code >> 4]);
    }
  }
  for (int c = 0; c < n; ++c) {
    Plane *planes[2] = {&f->chroma1, &f->chroma2};
    for (int k = 0; k < 2; ++k) {
      uint8_t code = codes[2 * n + 2 * c + k];
      if (code)
        FilterHorizontalEdge16(planes[k]->Row(end_row / 2 + 6) + 16 * c, planes[k]->stride,
                               &EDGE_FILTER_MASKS[code & 15], &EDGE_FILTER_MASKS[code >> 4]);
    }
  }
}

bool PlanesEqual(const Plane &a, const Plane &b) { return memcmp(a.mem, b.mem, a.bytes) == 0; }

void ExpectFramesEqual(const Frame &a, const Frame &b, const char *what) {
  EXPECT_TRUE(PlanesEqual(a.luma, b.luma)) << what << ": luma";
  EXPECT_TRUE(PlanesEqual(a.chroma1, b.chroma1)) << what << ": chroma 1";
  EXPECT_TRUE(PlanesEqual(a.chroma2, b.chroma2)) << what << ": chroma 2";
  EXPECT_TRUE(PlanesEqual(a.alpha, b.alpha)) << what << ": alpha";
}

// Every byte outside the plane (guard rows and columns) still holds the
// guard value, and every pixel of rows outside [row_begin, row_end) (luma
// rows; chroma rows are half) holds what `before` held.
void ExpectOnlyRowsChanged(const Frame &before, const Frame &after, int row_begin, int row_end,
                           const char *what) {
  const Plane *b[4] = {&before.luma, &before.chroma1, &before.chroma2, &before.alpha};
  const Plane *a[4] = {&after.luma, &after.chroma1, &after.chroma2, &after.alpha};
  for (int k = 0; k < 4; ++k) {
    int div = (k == 1 || k == 2) ? 2 : 1;
    for (int y = -kGuardRows; y < a[k]->height + kGuardRows; ++y) {
      for (int x = 0; x < a[k]->stride; ++x) {
        uint8_t now = a[k]->At(x, y);
        if (!a[k]->Inside(x, y)) {
          ASSERT_EQ(now, kGuard) << what << " plane " << k << " outside at " << x << "," << y;
        } else if (y < row_begin / div || y >= row_end / div) {
          ASSERT_EQ(now, b[k]->At(x, y)) << what << " plane " << k << " foreign row " << y
                                         << " column " << x;
        }
      }
    }
  }
}

// All DC-only blocks with one word: every plane becomes (D + 4) >> 3, up to
// the last rows of a plane whose height is not a multiple of 32.
TEST(Gen2PostFilter, FlatDcNeighboursStayFlat) {
  for (int height : {80, 64, 16, 48}) {
    Frame f;
    InitFrame(&f, 96, height);
    std::mt19937 rng(7);
    FillPixels(&f, &rng, false);
    const uint16_t word = 0xE000 + 803;
    for (BlockWords &b : f.blocks) {
      for (uint16_t &w : b.luma) w = word;
      for (uint16_t &w : b.alpha) w = word;
      for (uint16_t &w : b.chroma1) w = word;
      for (uint16_t &w : b.chroma2) w = word;
    }
    Frame before(f);
    RunPostFilter(&f, RunOptions{});
    ExpectOnlyRowsChanged(before, f, 0, height, "flat");
    const Plane *planes[4] = {&f.luma, &f.chroma1, &f.chroma2, &f.alpha};
    for (const Plane *p : planes)
      for (int y = 0; y < p->height; ++y)
        for (int x = 0; x < p->width; ++x) ASSERT_EQ(p->At(x, y), (803 + 4) >> 3) << x << "," << y;
  }
}

// With threshold 0 every DC-only 8x8 takes its own DC: each 8x8 of every
// plane is flat at the value of the word the decoder gave for it.
TEST(Gen2PostFilter, ZeroThresholdGivesEachBlockItsOwnDc) {
  Frame f;
  InitFrame(&f, 128, 96);
  std::mt19937 rng(99);
  FillPixels(&f, &rng, false);
  for (BlockWords &b : f.blocks) {
    for (uint16_t &w : b.luma) w = uint16_t(0xE000 | (rng() % 2048));
    for (uint16_t &w : b.alpha) w = uint16_t(0xE000 | (rng() % 2048));
    for (uint16_t &w : b.chroma1) w = uint16_t(0xE000 | (rng() % 2048));
    for (uint16_t &w : b.chroma2) w = uint16_t(0xE000 | (rng() % 2048));
  }
  RunOptions o;
  o.threshold = 0;
  RunPostFilter(&f, o);
  for (int band = 0; band < f.Bands(); ++band) {
    for (int c = 0; c < f.Columns(); ++c) {
      const BlockWords &b = f.Block(band, c);
      for (int r = 0; r < 4; ++r)
        for (int j = 0; j < 4; ++j) {
          // Quadrant order: quadrant (r/2, j/2), position (r%2, j%2) inside.
          int idx = 4 * ((r / 2) * 2 + j / 2) + (r % 2) * 2 + (j % 2);
          for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
              int px = 32 * c + 8 * j + x, py = 32 * band + 8 * r + y;
              ASSERT_EQ(f.luma.At(px, py), ((b.luma[idx] & 0x1FFF) + 4) >> 3) << px << "," << py;
              ASSERT_EQ(f.alpha.At(px, py), ((b.alpha[idx] & 0x1FFF) + 4) >> 3);
            }
        }
      for (int k = 0; k < 4; ++k)
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 8; ++x) {
            int px = 16 * c + 8 * (k & 1) + x, py = 16 * band + 8 * (k >> 1) + y;
            ASSERT_EQ(f.chroma1.At(px, py), ((b.chroma1[k] & 0x1FFF) + 4) >> 3);
            ASSERT_EQ(f.chroma2.At(px, py), ((b.chroma2[k] & 0x1FFF) + 4) >> 3);
          }
    }
  }
}

// A two-block band with uniform halves 100 | 140: only the block edge at
// x = 32 has a step, so the lines that change there show the edge code that
// the classes of the two sides give.
TEST(Gen2PostFilter, VerticalEdgeCodePerClassPair) {
  for (uint32_t ca = 0; ca < 4; ++ca) {
    for (uint32_t cb = 0; cb < 4; ++cb) {
      Frame f;
      InitFrame(&f, 64, 32);
      for (int y = 0; y < 32; ++y) {
        memset(f.luma.Row(y), 100, 32);
        memset(f.luma.Row(y) + 32, 140, 32);
      }
      for (int y = 0; y < 16; ++y) {
        memset(f.chroma1.Row(y), 100, 32);
        memset(f.chroma2.Row(y), 100, 32);
      }
      // DC-only words carry the block's own level so that the smoothing
      // (neighbours never near: T = 0) redraws the same flat value.
      uint16_t wa = uint16_t(0x8000 | (ca << 13) | 800), wb = uint16_t(0x8000 | (cb << 13) | 1120);
      for (uint16_t &w : f.Block(0, 0).luma) w = wa;
      for (uint16_t &w : f.Block(0, 1).luma) w = wb;
      for (int b = 0; b < 2; ++b)
        for (int k = 0; k < 4; ++k) f.Block(0, b).chroma1[k] = f.Block(0, b).chroma2[k] = 0xE000 | 800;
      RunOptions o;
      o.threshold = 0;
      o.with_alpha = false;
      RunPostFilter(&f, o);
      uint32_t code = ca + 4 * cb;
      if (code == 15) code = 0;
      const EdgeMaskEntry &m = EDGE_FILTER_MASKS[code];
      const uint8_t filtered[4] = {105, 110, 130, 135}, plain[4] = {100, 100, 140, 140};
      for (int y = 0; y < 32; ++y) {
        for (int l = 0; l < 4; ++l)
          ASSERT_EQ(f.luma.At(30 + l, y), m.lane[l] ? filtered[l] : plain[l])
              << "classes " << ca << "," << cb << " row " << y << " line " << l;
        ASSERT_EQ(f.luma.At(29, y), 100);
        ASSERT_EQ(f.luma.At(34, y), 140);
      }
    }
  }
}

// Two inter blocks: only quadrant boundaries whose vectors differ are
// filtered, with the full code; the column and row switches turn the two
// directions off.
TEST(Gen2PostFilter, InterEdgesFollowVectors) {
  for (uint32_t bits : {0x2000u, 0x2000u | BLOCK_NO_COLUMN_EDGES, 0x2000u | BLOCK_NO_ROW_EDGES}) {
    Frame f;
    InitFrame(&f, 64, 32);
    // Left block 100, right block 140 (a vertical step at x = 32), and in
    // the right block the lower half 180 (a horizontal step at row 16).
    for (int y = 0; y < 32; ++y) {
      memset(f.luma.Row(y), 100, 32);
      memset(f.luma.Row(y) + 32, y < 16 ? 140 : 180, 32);
    }
    for (int y = 0; y < 16; ++y) {
      memset(f.chroma1.Row(y), 100, 32);
      memset(f.chroma2.Row(y), 100, 32);
    }
    // Left block: all vectors (0, 0).  Right block: top-left (4, 0) differs
    // from the left block's top-right; bottom-left equals the left block's
    // bottom-right; its bottom-right (0, 3) differs from its top-right.
    MotionVectorSet &l = f.Block(0, 0).mv;
    MotionVectorSet &r = f.Block(0, 1).mv;
    memset(&l, 0, sizeof(l));
    int32_t rv[8] = {4, 0, 0, 0, 0, 0, 0, 3};
    memcpy(r.v, rv, sizeof(rv));
    RunOptions o;
    o.frame_bits = bits;
    o.with_alpha = false;
    RunPostFilter(&f, o);
    bool vertical = !(bits & BLOCK_NO_COLUMN_EDGES), horizontal = !(bits & BLOCK_NO_ROW_EDGES);
    for (int y = 0; y < 32; ++y) {
      // x = 32: rows 0-15 filtered (vectors differ), rows 16-31 not.
      bool on = vertical && y < 16;
      if (y < 14) {
        EXPECT_EQ(f.luma.At(30, y), on ? 105 : 100) << y;
        EXPECT_EQ(f.luma.At(31, y), on ? 110 : 100) << y;
        EXPECT_EQ(f.luma.At(32, y), on ? 130 : 140) << y;
        EXPECT_EQ(f.luma.At(33, y), on ? 135 : 140) << y;
      }
      if (y >= 18) {
        EXPECT_EQ(f.luma.At(31, y), 100) << y;
        EXPECT_EQ(f.luma.At(32, y), 180) << y;
      }
    }
    // Row 16 of the right block: its left half (top-left (4,0) against
    // bottom-left (0,0)) is filtered, its right half ((0,0) against (0,3))
    // too; in the left block nothing differs and nothing moves.
    for (int x = 36; x < 64; ++x) {
      EXPECT_EQ(f.luma.At(x, 14), horizontal ? 145 : 140) << x;
      EXPECT_EQ(f.luma.At(x, 15), horizontal ? 150 : 140) << x;
      EXPECT_EQ(f.luma.At(x, 16), horizontal ? 170 : 180) << x;
      EXPECT_EQ(f.luma.At(x, 17), horizontal ? 175 : 180) << x;
    }
    for (int x = 0; x < 28; ++x)
      for (int y = 0; y < 32; ++y) EXPECT_EQ(f.luma.At(x, y), 100);
  }
}

// Plane heights and slice splits: a run touches only the rows it stores
// (never outside the plane), and two runs plus the seam smoothing give the
// same picture as one run over the whole frame.
TEST(Gen2PostFilter, RunsKeepToTheirHalvesAndSeamsJoinThem) {
  struct Geometry {
    int width, height, split;
  };
  const Geometry geometries[] = {{96, 128, 64}, {96, 96, 64},  {96, 80, 64},  {64, 112, 96},
                                 {96, 48, 32},  {128, 64, 32}, {32, 96, 32},  {64, 64, 32}};
  int iteration = 0;
  for (const Geometry &g : geometries) {
    for (uint32_t bits : {0x2000u, 0x2000u | BLOCK_NO_ROW_EDGES, 0x2000u | BLOCK_NO_COLUMN_EDGES}) {
      for (int seed = 0; seed < 4; ++seed, ++iteration) {
        std::mt19937 rng(1000 + iteration);
        Frame whole;
        InitFrame(&whole, g.width, g.height);
        FillPixels(&whole, &rng, seed & 1);
        FillWords(&whole, &rng, seed >= 2);
        Frame before(whole), upper(whole), lower(whole);

        RunOptions all;
        all.frame_bits = bits;
        RunPostFilter(&whole, all);
        ExpectOnlyRowsChanged(before, whole, 0, g.height, "whole run");

        // The run above the seam decodes the boundary band as its extra band.
        RunOptions a = all;
        a.end = g.split;
        a.extra = true;
        RunPostFilter(&upper, a);
        ExpectOnlyRowsChanged(before, upper, 0, g.split + 16, "upper run");

        // The run below it starts with the lower half of the boundary band.
        const uint32_t n = g.width / 32, capacity = 4 * n;
        std::vector<uint8_t> record(4 + capacity + 16, 0xEE);
        SeamRecord *seam = reinterpret_cast<SeamRecord *>(record.data());
        seam->has_codes = 0;
        RunOptions b = all;
        b.begin = g.split;
        b.below_seam = true;
        b.seam = seam;
        b.seam_capacity = capacity;
        RunPostFilter(&lower, b);
        ExpectOnlyRowsChanged(before, lower, g.split + 16, g.height, "lower run");
        for (size_t i = 4 + capacity; i < record.size(); ++i) ASSERT_EQ(record[i], 0xEE);
        if (g.split + 16 >= g.height || (bits & BLOCK_NO_ROW_EDGES)) {
          EXPECT_EQ(seam->has_codes, 0u) << "no seam edge inside the plane";
        }

        // Put the halves together and finish the seam.
        Frame joined(upper);
        Plane *dst[4] = {&joined.luma, &joined.chroma1, &joined.chroma2, &joined.alpha};
        Plane *src[4] = {&lower.luma, &lower.chroma1, &lower.chroma2, &lower.alpha};
        for (int k = 0; k < 4; ++k) {
          int div = (k == 1 || k == 2) ? 2 : 1;
          for (int y = (g.split + 16) / div; y < dst[k]->height; ++y)
            memcpy(dst[k]->Row(y), src[k]->Row(y), dst[k]->width);
        }
        ApplySeam(&joined, seam, g.split);
        ExpectFramesEqual(whole, joined, "split runs");
        if (HasFailure()) {
          ADD_FAILURE() << "geometry " << g.width << "x" << g.height << " split " << g.split
                        << " bits " << std::hex << bits << " seed " << seed;
          return;
        }
      }
    }
  }
}

// The seam record never receives bytes past its capacity, and the luma
// pairs never spill into the chroma area.
TEST(Gen2PostFilter, SeamCodesStayInsideTheRecord) {
  for (uint32_t capacity : {0u, 2u, 6u, 12u}) {
    Frame f;
    InitFrame(&f, 96, 128);
    std::mt19937 rng(5 + capacity);
    FillPixels(&f, &rng, true);
    for (BlockWords &b : f.blocks) {
      for (uint16_t &w : b.luma) w = uint16_t(0xC000 | 600);  // intra, one AC level: code 10
      for (uint16_t &w : b.chroma1) w = uint16_t(0xC000 | 600);
      for (uint16_t &w : b.chroma2) w = uint16_t(0xC000 | 600);
      for (uint16_t &w : b.alpha) w = 0;
    }
    std::vector<uint8_t> record(4 + capacity + 32, 0xEE);
    SeamRecord *seam = reinterpret_cast<SeamRecord *>(record.data());
    seam->has_codes = 0;
    RunOptions o;
    o.begin = 64;
    o.below_seam = true;
    o.seam = seam;
    o.seam_capacity = capacity;
    RunPostFilter(&f, o);
    for (size_t i = 4 + capacity; i < record.size(); ++i) ASSERT_EQ(record[i], 0xEE) << capacity;
    const uint8_t *codes = SeamRecordCodes(seam);
    uint32_t n = capacity / 4, written = 0;
    for (uint32_t c = 0; c < n; ++c) {
      // Luma: class 2 above and below, code 2 + 8 = 10 in both nibbles.
      EXPECT_EQ(codes[2 * c], 0xAA);
      EXPECT_EQ(codes[2 * c + 1], 0xAA);
      EXPECT_EQ(codes[2 * n + 2 * c], 0xAA);
      EXPECT_EQ(codes[2 * n + 2 * c + 1], 0xAA);
      written += 4;
    }
    EXPECT_EQ(seam->has_codes, written);
  }
}

// The vector kernels give the scalar kernels' frame, bit for bit.
TEST(Gen2PostFilter, VectorKernelsMatchScalar) {
  McKernelTable scalar_mc;
  FillMcKernelTable(&scalar_mc, 0);
  LoopFilterKernels scalar_edges, vector_edges;
  InitLoopFilterKernels(&scalar_edges, 0);
  InitLoopFilterKernels(&vector_edges, 0x8);
  for (int seed = 0; seed < 6; ++seed) {
    std::mt19937 rng(77 + seed);
    Frame a;
    InitFrame(&a, 160, 112);
    FillPixels(&a, &rng, seed & 1);
    FillWords(&a, &rng, seed >= 3);
    Frame b(a);
    RunOptions o;
    o.threshold = uint16_t((seed * 400) % 2048);
    o.mc = &scalar_mc;
    o.edges = &scalar_edges;
    RunPostFilter(&a, o);
    o.mc = &MC_KERNEL_TABLE;
    o.edges = &vector_edges;
    RunPostFilter(&b, o);
    ExpectFramesEqual(a, b, "scalar against vector");
  }
}

}  // namespace
