// Test writer of whole second-generation frames.  It keeps its own model of
// everything the decoder predicts (block-type list, quantiser rows, coded
// block patterns, DC grids, motion vectors) and codes each described value
// as the difference from that prediction.
#include "gen2_frame_writer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/platform/alloc.h"
#include "gen2_symbols.h"
#include "video/gen2/arith.h"
#include "video/gen2/slice_decoder.h"
#include "video/gen2/coeffs.h"

namespace {

[[noreturn]] void WriterFail(const char *what) {
  std::fprintf(stderr, "gen2 frame writer: %s\n", what);
  std::abort();
}

// 8x8 index in a grid of n x n (n = 4: quadrant order; n = 2: row order).
uint32_t GridIndex(uint32_t n, uint32_t bx, uint32_t by) {
  return n == 4 ? 4 * ((by >> 1) * 2 + (bx >> 1)) + (by & 1) * 2 + (bx & 1) : by * 2 + bx;
}

// The column and row of 8x8 index i: the inverse of GridIndex.
void GridPosition(uint32_t n, uint32_t i, uint32_t *bx, uint32_t *by) {
  if (n == 4) {
    const uint32_t q = i / 4, k = i % 4;
    *bx = (q & 1) * 2 + (k & 1);
    *by = (q >> 1) * 2 + (k >> 1);
  } else {
    *bx = i & 1;
    *by = i >> 1;
  }
}

struct PlaneGeom {
  uint32_t n;      // 8x8 blocks per side of a block in this plane (4 or 2)
  uint32_t size;   // block size in this plane's pixels (32 or 16)
};

PlaneGeom Geom(uint32_t plane) { return plane == 1 || plane == 2 ? PlaneGeom{2, 16} : PlaneGeom{4, 32}; }

struct WriterState {
  Gen2FrameDesc *desc;
  uint32_t columns, bands;
  std::vector<int32_t> mv_rows[2];  // 8 per column
  std::vector<uint8_t> q_rows[2];   // 2 per column, one spare pair at the end
  int cur = 0;
};

// Quantised DC residual: the code magnitude whose decoded value brings the
// prediction closest to the wanted value, and the value the decoder forms.
int32_t ChooseDcCode(int32_t predicted, int32_t wanted, int32_t qi, int32_t lo, int32_t hi,
                     int32_t *actual) {
  const int32_t scale = int32_t(DC_SCALE_TABLE[ClampQuantIndex(qi < 8 ? 8 : qi)]);
  const int32_t diff = wanted - predicted;
  const int32_t sign = diff < 0 ? -1 : 1;
  const int32_t mag = diff < 0 ? -diff : diff;
  int32_t guess = int32_t((int64_t(mag) * 1024) / scale);
  int32_t best_m = 0, best_err = INT32_MAX, best_val = 0;
  for (int32_t m = guess - 2; m <= guess + 2; ++m) {
    if (m < 0 || m > 513) continue;
    const int32_t res = int32_t((int64_t(scale) * m + 512) >> 10);
    int32_t v = WrapToInt16(int64_t(predicted) + sign * res);
    if (v < lo) v = lo;
    if (v > hi) v = hi;
    const int32_t err = v > wanted ? v - wanted : wanted - v;
    if (err < best_err) {
      best_err = err;
      best_m = m;
      best_val = v;
    }
  }
  *actual = best_val;
  return sign * best_m;
}

// DC of the 8x8 at (bx, by) of the block at column j of band `band` (bx, by
// may lie one outside the block: the neighbours).
int32_t NeighbourDc(WriterState *s, uint32_t plane, uint32_t band, int32_t j, int32_t bx, int32_t by) {
  const PlaneGeom g = Geom(plane);
  int32_t jj = j, bb = int32_t(band);
  if (bx < 0) {
    jj -= 1;
    bx += int32_t(g.n);
  }
  if (by < 0) {
    bb -= 1;
    by += int32_t(g.n);
  }
  const Gen2BlockDesc &b = s->desc->blocks[uint64_t(bb) * s->columns + uint32_t(jj)];
  if (b.type == 0) return b.dc[plane][GridIndex(g.n, uint32_t(bx), uint32_t(by))];
  if (!s->desc->neighbour_dc) return 0;
  const uint32_t px = uint32_t(jj) * g.size + 8 * uint32_t(bx);
  const uint32_t py = uint32_t(bb) * g.size + 8 * uint32_t(by);
  return s->desc->neighbour_dc(s->desc->neighbour_context, plane, px, py);
}

// Codes the DC values of one plane of one block and writes them.
void WriteDc(BitWriter *w, WriterState *s, Gen2BlockDesc *b, uint32_t plane, uint32_t band,
             uint32_t j, bool has_left, bool has_above, bool intra, int32_t qi) {
  const PlaneGeom g = Geom(plane);
  const uint32_t count = g.n * g.n;
  int32_t codes[16] = {};
  if (b->dc_raw) {
    bool any = false;
    for (uint32_t i = 0; i < count; ++i) {
      codes[i] = b->dc[plane][i];
      any |= codes[i] != 0;
    }
    WriteDcResiduals(w, codes, count, any ? 1 : 0);
    return;
  }
  int32_t lo = 0, hi = 2047;
  if (!intra) {
    hi = (s->desc->frame_flags & 0x40000) ? 2047 : 1023;
    lo = -hi;
    has_left = has_above = false;
  }
  int32_t grid[16];
  bool any = false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t bx, by;
    GridPosition(g.n, i, &bx, &by);
    auto at = [&](int32_t x, int32_t y) -> int32_t {
      if (x >= 0 && y >= 0) return grid[GridIndex(g.n, uint32_t(x), uint32_t(y))];
      return NeighbourDc(s, plane, band, int32_t(j), x, y);
    };
    const bool l = bx > 0 || has_left, t = by > 0 || has_above;
    int32_t p;
    if (l && t) {
      const int32_t lv = at(int32_t(bx) - 1, int32_t(by)), tv = at(int32_t(bx), int32_t(by) - 1);
      const int32_t tl = at(int32_t(bx) - 1, int32_t(by) - 1);
      int32_t mn = lv < tv ? lv : tv, mx = lv < tv ? tv : lv;
      if (tl < mn) mn = tl;
      if (tl > mx) mx = tl;
      p = lv + tv - tl;
      if (p < mn) p = mn;
      if (p > mx) p = mx;
    } else if (t) {
      p = at(int32_t(bx), int32_t(by) - 1);
    } else if (l) {
      p = at(int32_t(bx) - 1, int32_t(by));
    } else {
      p = intra ? 1024 : 0;
    }
    int32_t actual;
    codes[i] = ChooseDcCode(p, b->dc[plane][i], qi, lo, hi, &actual);
    grid[GridIndex(g.n, bx, by)] = actual;
    any |= codes[i] != 0;
  }
  if (!any) {
    // With no residual every value is its prediction.
    WriteDcResiduals(w, codes, count, 0);
  } else {
    WriteDcResiduals(w, codes, count, 1);
  }
  // The grid is indexed as dc[] is (GridIndex inverts GridPosition).
  for (uint32_t i = 0; i < count; ++i) b->dc[plane][i] = grid[i];
}

// Pattern, DC and AC of one plane of one block.
void WritePlane(BitWriter *w, WriterState *s, Gen2BlockDesc *b, uint32_t plane, uint32_t band,
                uint32_t j, bool has_left, bool has_above, bool intra, int32_t qi,
                uint32_t *previous_pattern, uint32_t frame_flags) {
  const PlaneGeom g = Geom(plane);
  const uint32_t count = g.n * g.n;
  int32_t levels[16][64] = {};
  uint32_t pattern = 0;
  for (const Gen2AcLevel &a : b->ac) {
    if (a.plane != plane || a.block >= count || a.pos < 1 || a.pos > 63 || a.level == 0) continue;
    levels[a.block][a.pos] = a.level;
    pattern |= 1u << a.block;
  }
  uint32_t read_pattern;
  if (count == 16)
    read_pattern = WriteBlockPattern16(w, *previous_pattern, frame_flags,
                                       pattern | (b->table2 ? pattern << 16 : 0));
  else
    read_pattern = WriteBlockPattern4(w, *previous_pattern, pattern | (b->table2 ? pattern << 16 : 0),
                                      false);
  *previous_pattern = read_pattern;
  WriteDc(w, s, b, plane, band, j, has_left, has_above, intra, qi);
  for (uint32_t i = 0; i < count; ++i) {
    if (!(read_pattern >> i & 1)) continue;
    const bool table2 = (read_pattern >> (4 * (i / 4))) >= 0x10000;
    WriteAcBlock(w, levels[i], table2, false, false);
  }
}

// The decoder's predictions p[0..3] of component c (0 x, 1 y) of a block's
// four quadrant vectors, from the neighbours' vectors and from the quadrants
// already formed: the block's own vectors v, or, with v null, the
// predictions themselves (intra blocks, whose vectors are their predictions).
void PredictQuadrants(const int32_t *left, const int32_t *above, const int32_t *above_left,
                      bool has_left, bool has_above, const int32_t *v, int c, int32_t p[4]) {
  auto L = [&](int i) { return left[2 * i + c]; };
  auto U = [&](int i) { return above[2 * i + c]; };
  auto V = [&](int q) { return v ? v[2 * q + c] : p[q]; };
  if (!has_left && !has_above) {
    p[0] = 0;
    p[1] = V(0);
    p[2] = V(0);
  } else if (has_left && !has_above) {
    p[0] = Median3(L(0), L(1), L(3));
    p[2] = Median3(V(0), L(1), L(3));
    p[1] = Median3(V(0), V(2), L(1));
  } else if (!has_left && has_above) {
    p[0] = Median3(U(0), U(2), U(3));
    p[1] = Median3(V(0), U(2), U(3));
    p[2] = Median3(V(0), V(1), U(2));
  } else {
    p[0] = Median3(L(1), U(2), above_left[6 + c]);
    p[1] = Median3(V(0), U(3), U(2));
    p[2] = Median3(V(0), L(1), L(3));
  }
  p[3] = Median3(V(0), V(1), V(2));
}

void MotionPrediction(const int32_t *left, const int32_t *above, const int32_t *above_left,
                      bool has_left, bool has_above, const int32_t *v, int32_t *d, bool single) {
  // Per component: the differences that make the decoder form v.
  for (int c = 0; c < 2; ++c) {
    int32_t p[4];
    PredictQuadrants(left, above, above_left, has_left, has_above, v, c, p);
    d[4 * c + 0] = v[c] - p[0];
    if (!single)
      for (int q = 1; q < 4; ++q) d[4 * c + q] = v[2 * q + c] - p[q];
  }
}

void PredictIntraVectors(const int32_t *left, const int32_t *above, const int32_t *above_left,
                         bool has_left, bool has_above, int32_t *out) {
  for (int c = 0; c < 2; ++c) {
    int32_t p[4];
    PredictQuadrants(left, above, above_left, has_left, has_above, nullptr, c, p);
    for (int q = 0; q < 4; ++q) out[2 * q + c] = p[q];
  }
}

void WriteBand(BitWriter *w, WriterState *s, uint32_t y, bool no_above) {
  Gen2FrameDesc *d = s->desc;
  const uint32_t band = y / 32;
  uint8_t types[4] = {2, 3, 1, 0};
  uint32_t cbp[10] = {};
  int32_t *mv_cur = s->mv_rows[s->cur].data() + 8;
  const int32_t *mv_above = s->mv_rows[1 - s->cur].data() + 8;
  uint8_t *q_cur = s->q_rows[s->cur].data() + 2;
  const uint8_t *q_above = s->q_rows[1 - s->cur].data() + 2;
  uint8_t quant[2];
  if (no_above) {
    quant[0] = quant[1] = 16;
  } else {
    quant[0] = q_above[0];
    quant[1] = q_above[1];
  }
  const uint32_t wide = d->frame_flags & 0x40000;
  for (uint32_t j = 0; j < s->columns; ++j) {
    Gen2BlockDesc *b = &d->blocks[uint64_t(band) * s->columns + j];
    const bool has_left = j > 0, has_above = !no_above;
    int32_t *mv = mv_cur + 8 * j;
    const int32_t *left = mv - 8, *above = mv_above + 8 * j, *above_left = above - 8;
    const uint8_t type = d->key ? 0 : b->type;
    if (d->key && b->type != 0) WriterFail("a key frame holds intra blocks only");
    if (!d->key && !WriteAdaptiveListSymbol(w, types, type)) WriterFail("bad block type");
    if (type == 0) {
      if (!WriteSignedDelta(w, quant[0], b->qi)) WriterFail("intra quantiser too far from its prediction");
      quant[0] = b->qi;
      WritePlane(w, s, b, 0, band, j, has_left, has_above, true, b->qi, &cbp[0], wide);
      WritePlane(w, s, b, 1, band, j, has_left, has_above, true, b->qi, &cbp[3], wide);
      WritePlane(w, s, b, 2, band, j, has_left, has_above, true, b->qi, &cbp[4], wide);
      if (d->alpha) WritePlane(w, s, b, 3, band, j, has_left, has_above, true, b->qi, &cbp[1], wide);
      if (d->extra) WritePlane(w, s, b, 4, band, j, has_left, has_above, true, b->qi, &cbp[2], wide);
      if (d->key)
        std::memset(mv, 0, 8 * sizeof(int32_t));
      else
        PredictIntraVectors(left, above, above_left, has_left, has_above, mv);
    } else if (type == 1) {
      std::memset(mv, 0, 8 * sizeof(int32_t));
    } else {
      int32_t diff[8] = {};
      if (b->single_vector)
        for (int q = 1; q < 4; ++q)
          if (b->mv[2 * q] != b->mv[0] || b->mv[2 * q + 1] != b->mv[1]) WriterFail("single vector differs");
      MotionPrediction(left, above, above_left, has_left, has_above, b->mv, diff, b->single_vector);
      const int32_t dx[4] = {diff[0], diff[1], diff[2], diff[3]};
      const int32_t dy[4] = {diff[4], diff[5], diff[6], diff[7]};
      WriteMotionVectors(w, dx, dy, b->single_vector);
      std::memcpy(mv, b->mv, 8 * sizeof(int32_t));
      if (type == 3) {
        if (!WriteSignedDelta(w, quant[1], b->qi)) WriterFail("inter quantiser too far from its prediction");
        quant[1] = b->qi;
        WritePlane(w, s, b, 0, band, j, false, false, false, b->qi, &cbp[5], wide);
        WriteBit(w, b->chroma_residual ? 1 : 0);
        if (b->chroma_residual) {
          WritePlane(w, s, b, 1, band, j, false, false, false, b->qi, &cbp[8], wide);
          WritePlane(w, s, b, 2, band, j, false, false, false, b->qi, &cbp[9], wide);
        } else {
          cbp[8] = cbp[9] = 0;
        }
        if (d->alpha) WritePlane(w, s, b, 3, band, j, false, false, false, b->qi, &cbp[6], wide);
        if (d->extra) WritePlane(w, s, b, 4, band, j, false, false, false, b->qi, &cbp[7], wide);
      }
    }
    q_cur[2 * j] = quant[0];
    q_cur[2 * j + 1] = quant[1];
    if (!no_above)
      for (int k = 0; k < 2; ++k)
        quant[k] = uint8_t(Median3(q_above[2 * j + k], q_above[2 * (j + 1) + k], q_cur[2 * j + k]));
  }
  s->cur = 1 - s->cur;
}

}  // namespace

Gen2FrameDesc MakeGen2Frame(uint32_t width, uint32_t height, bool key, uint32_t slice_count,
                            const uint32_t *end_row, uint32_t frame_flags) {
  Gen2FrameDesc d{};
  d.width = width;
  d.height = height;
  d.key = key;
  d.frame_flags = frame_flags | 0x2000;
  d.slice_count = slice_count;
  for (uint32_t k = 0; k < slice_count && k < 8; ++k) d.end_row[k] = end_row[k];
  const uint64_t blocks = uint64_t(width / 32) * ((height + 31) / 32);
  d.blocks.assign(blocks, Gen2BlockDesc{});
  for (Gen2BlockDesc &b : d.blocks) {
    b.type = key ? 0 : 1;
    b.qi = 16;
  }
  return d;
}

std::vector<uint8_t> WriteGen2Frame(Gen2FrameDesc *desc) {
  WriterState s;
  s.desc = desc;
  s.columns = desc->width / 32;
  s.bands = (desc->height + 31) / 32;
  if (desc->blocks.size() != uint64_t(s.columns) * s.bands) WriterFail("block count does not match");
  for (int i = 0; i < 2; ++i) {
    s.mv_rows[i].assign((s.columns + 2) * 8, 0);
    s.q_rows[i].assign((s.columns + 2) * 2, 0);
  }
  const uint32_t n = desc->slice_count;
  std::vector<std::vector<uint8_t>> streams(n);
  uint32_t y = 0;
  for (uint32_t k = 0; k < n; ++k) {
    BitWriter w;
    InitBitWriter(&w);
    if (k == 0 && (desc->frame_flags & 0x10000)) {
      const uint32_t rows = desc->height / 8, cols = desc->width / 8;
      if (!(desc->frame_flags & 0x8000)) {
        std::vector<uint8_t> bits(rows, 0);
        for (uint32_t i = 0; i < rows && i < desc->row_edges.size(); ++i) bits[i] = desc->row_edges[i] & 1;
        WriteBitPlane(&w, bits.data() + 1, rows - 1, desc->run_length_bitmaps);
      }
      if (!(desc->frame_flags & 0x4000)) {
        std::vector<uint8_t> bits(cols, 0);
        for (uint32_t i = 0; i < cols && i < desc->column_edges.size(); ++i)
          bits[i] = desc->column_edges[i] & 1;
        WriteBitPlane(&w, bits.data() + 1, cols - 1, desc->run_length_bitmaps);
      }
    }
    bool first_band = true;
    while (y < desc->end_row[k] && y < desc->height) {
      WriteBand(&w, &s, y, first_band);
      first_band = false;
      y += 32;
    }
    AlignBitWriter(&w);
    streams[k] = BitWriterBytes(&w);
    if (BitWriterBitCount(&w) == 0) streams[k].clear();
  }
  const uint32_t header = n < 3 ? 8 : 4 * n;
  std::vector<uint8_t> out(header, 0);
  auto put32 = [&out](uint32_t at, uint32_t v) { std::memcpy(out.data() + at, &v, 4); };
  put32(0, desc->frame_flags);
  uint32_t offset = header;
  for (uint32_t k = 0; k < n; ++k) {
    if (k > 0) put32(4 * k, offset);
    out.insert(out.end(), streams[k].begin(), streams[k].end());
    offset += uint32_t(streams[k].size());
  }
  return out;
}

// ---- pictures and encodings ------------------------------------------------

Gen2Picture MakeGen2Picture(uint32_t width, uint32_t height, bool alpha, bool extra) {
  Gen2Picture p;
  p.width = width;
  p.height = height;
  p.planes[0].assign(uint64_t(width) * height, 0);
  p.planes[1].assign(uint64_t(width / 2) * (height / 2), 0);
  p.planes[2].assign(uint64_t(width / 2) * (height / 2), 0);
  if (alpha) p.planes[3].assign(uint64_t(width) * height, 0);
  if (extra) p.planes[4].assign(uint64_t(width) * height, 0);
  return p;
}

namespace {

// Pixel of a plane, rows below the picture repeating its last row.
double PixelAt(const Gen2Picture &p, uint32_t plane, uint32_t x, uint32_t y) {
  const uint32_t w = Gen2PlaneWidth(p, plane), h = Gen2PlaneHeight(p, plane);
  if (y >= h) y = h - 1;
  if (x >= w) x = w - 1;
  return p.planes[plane][uint64_t(y) * w + x];
}

// One-dimensional inverse transform over reals (the integer transform with
// its shifts taken as exact divisions).
void InverseTransform1dReal(const double *x, double *y) {
  const double a0 = x[0] + x[4], a1 = x[0] - x[4];
  const double e2 = x[2] + x[2] / 4 + x[6] / 2, e6 = x[2] / 2 - x[6] - x[6] / 4;
  const double E0 = a0 + e2, E3 = a0 - e2, E1 = a1 + e6, E2 = a1 - e6;
  const double s = x[1] + x[3] + x[5], d = x[1] - x[3] - x[5];
  const double p = x[3] - x[5] + x[7], q = x[3] - x[5] - x[7];
  const double O0 = s + s / 4 - s / 16 + p / 4;
  const double O1 = d + q - q / 4 - q / 16;
  const double O2 = d - q - d / 4 - d / 16;
  const double O3 = s / 4 + p / 16 - p - p / 4;
  y[0] = E0 + O0;
  y[7] = E0 - O0;
  y[1] = E1 + O1;
  y[6] = E1 - O1;
  y[2] = E2 + O2;
  y[5] = E2 - O2;
  y[3] = E3 + O3;
  y[4] = E3 - O3;
}

struct ForwardBasis {
  double inv[8][8];  // inverse of M, M[x][h] = response at x to input h
};

const ForwardBasis &GetForwardBasis() {
  static ForwardBasis basis = [] {
    ForwardBasis b{};
    double m[8][16] = {};
    for (int h = 0; h < 8; ++h) {
      double in[8] = {}, out[8];
      in[h] = 1;
      InverseTransform1dReal(in, out);
      for (int x = 0; x < 8; ++x) m[x][h] = out[x];
    }
    for (int i = 0; i < 8; ++i) m[i][8 + i] = 1;
    for (int c = 0; c < 8; ++c) {
      int piv = c;
      for (int r = c + 1; r < 8; ++r)
        if (std::fabs(m[r][c]) > std::fabs(m[piv][c])) piv = r;
      for (int k = 0; k < 16; ++k) std::swap(m[c][k], m[piv][k]);
      const double f = m[c][c];
      for (int k = 0; k < 16; ++k) m[c][k] /= f;
      for (int r = 0; r < 8; ++r) {
        if (r == c) continue;
        const double g = m[r][c];
        for (int k = 0; k < 16; ++k) m[r][k] -= g * m[c][k];
      }
    }
    for (int i = 0; i < 8; ++i)
      for (int j = 0; j < 8; ++j) b.inv[i][j] = m[i][8 + j];
    return b;
  }();
  return basis;
}

// Coefficients K[8h + v] whose inverse transform (with the final >> 6)
// reproduces the 8x8 block px[y][x].
void ForwardTransform(const double px[8][8], double K[64]) {
  const ForwardBasis &b = GetForwardBasis();
  double tmp[8][8];  // tmp[h][y] = sum_x inv[h][x] px[y][x]
  for (int h = 0; h < 8; ++h)
    for (int y = 0; y < 8; ++y) {
      double acc = 0;
      for (int x = 0; x < 8; ++x) acc += b.inv[h][x] * px[y][x];
      tmp[h][y] = acc;
    }
  for (int h = 0; h < 8; ++h)
    for (int v = 0; v < 8; ++v) {
      double acc = 0;
      for (int y = 0; y < 8; ++y) acc += b.inv[v][y] * tmp[h][y];
      K[8 * h + v] = 64 * acc;
    }
}

// Calls fn(plane, block index in plane order, x, y) for every 8x8 of a block.
template <typename Fn>
void ForEachSubblock(uint32_t plane, uint32_t j, uint32_t band, Fn fn) {
  const PlaneGeom g = Geom(plane);
  for (uint32_t i = 0; i < g.n * g.n; ++i) {
    uint32_t bx, by;
    if (g.n == 4) {
      bx = (i / 4 & 1) * 2 + (i % 4 & 1);
      by = (i / 4 >> 1) * 2 + (i % 4 >> 1);
    } else {
      bx = i & 1;
      by = i >> 1;
    }
    fn(i, j * g.size + 8 * bx, band * g.size + 8 * by);
  }
}

// The AC levels of one 8x8 block of samples (or residuals) in scan order,
// quantised by the table's row for qi and clipped to what the codes carry.
void QuantiseAc(const double px[8][8], const uint16_t *table, uint8_t qi, uint32_t plane, uint32_t i,
                std::vector<Gen2AcLevel> *ac) {
  double K[64];
  ForwardTransform(px, K);
  for (uint32_t pos = 1; pos < 64; ++pos) {
    const uint32_t n = SCAN_ORDER[pos];
    const double step = double(table[(qi & 3) * 64 + n]) * double(1u << (qi >> 2)) / 128.0;
    long level = std::lround(K[n] / step);
    if (level > 1025) level = 1025;
    if (level < -1025) level = -1025;
    if (level != 0) ac->push_back(Gen2AcLevel{uint8_t(plane), uint8_t(i), uint8_t(pos), int16_t(level)});
  }
}

void EncodePicture(const Gen2Picture &picture, uint8_t qi, bool with_ac, Gen2FrameDesc *desc) {
  const uint32_t columns = desc->width / 32, bands = (desc->height + 31) / 32;
  for (uint32_t band = 0; band < bands; ++band)
    for (uint32_t j = 0; j < columns; ++j) {
      Gen2BlockDesc &b = desc->blocks[uint64_t(band) * columns + j];
      b.type = 0;
      b.qi = qi;
      b.ac.clear();
      for (uint32_t plane = 0; plane < G2W_PLANES; ++plane) {
        if (picture.planes[plane].empty()) continue;
        const uint16_t *table = plane == 1 || plane == 2 ? QUANT_TABLE_CHROMA : QUANT_TABLE_INTRA;
        ForEachSubblock(plane, j, band, [&](uint32_t i, uint32_t x, uint32_t y) {
          double px[8][8];
          double sum = 0;
          for (uint32_t r = 0; r < 8; ++r)
            for (uint32_t c = 0; c < 8; ++c) {
              px[r][c] = PixelAt(picture, plane, x + c, y + r);
              sum += px[r][c];
            }
          int32_t dc = int32_t(std::floor(sum / 8 + 0.5));
          b.dc[plane][i] = dc < 0 ? 0 : (dc > 2047 ? 2047 : dc);
          if (!with_ac) return;
          QuantiseAc(px, table, qi, plane, i, &b.ac);
        });
      }
    }
}

}  // namespace

void EncodeFlatBlocks(const Gen2Picture &picture, Gen2FrameDesc *desc) {
  EncodePicture(picture, 4, false, desc);
}

void EncodeIntraWithAc(const Gen2Picture &picture, uint8_t qi, Gen2FrameDesc *desc) {
  EncodePicture(picture, qi, true, desc);
}

void EncodeBlockResidual(const Gen2Picture &target, const Gen2Picture &prediction, uint32_t j,
                         uint32_t band, Gen2BlockDesc *block) {
  Gen2BlockDesc &b = *block;
  b.ac.clear();
  const uint8_t qi = b.qi;
  for (uint32_t plane = 0; plane < 3; ++plane) {
    if (plane > 0 && !b.chroma_residual) break;
    ForEachSubblock(plane, j, band, [&](uint32_t i, uint32_t x, uint32_t y) {
      double px[8][8];
      double sum = 0;
      for (uint32_t r = 0; r < 8; ++r)
        for (uint32_t c = 0; c < 8; ++c) {
          px[r][c] = PixelAt(target, plane, x + c, y + r) - PixelAt(prediction, plane, x + c, y + r);
          sum += px[r][c];
        }
      const int32_t dc = int32_t(std::floor(sum / 8 + 0.5));
      b.dc[plane][i] = dc < -1023 ? -1023 : (dc > 1023 ? 1023 : dc);
      QuantiseAc(px, QUANT_TABLE_INTER, qi, plane, i, &b.ac);
    });
  }
}

// ---- models ----------------------------------------------------------------

int16_t ModelDequantise(int32_t level, const uint16_t *table, int32_t qi, uint32_t n) {
  const int64_t product = int64_t(level) * table[(qi & 3) * 64 + n] * (int64_t(1) << (qi >> 2));
  return WrapToInt16((product + 64) >> 7);
}

namespace {

void Model1d(int16_t *x) {
  const int16_t a0 = WrapToInt16(x[0] + x[4]), a1 = WrapToInt16(x[0] - x[4]);
  const int16_t e2 = WrapToInt16(x[2] + ShiftRight16(x[2], 2) + ShiftRight16(x[6], 1));
  const int16_t e6 = WrapToInt16(ShiftRight16(x[2], 1) - x[6] - ShiftRight16(x[6], 2));
  const int16_t E0 = WrapToInt16(a0 + e2), E3 = WrapToInt16(a0 - e2);
  const int16_t E1 = WrapToInt16(a1 + e6), E2 = WrapToInt16(a1 - e6);
  const int16_t s = WrapToInt16(x[1] + x[3] + x[5]), d = WrapToInt16(x[1] - x[3] - x[5]);
  const int16_t p = WrapToInt16(x[3] - x[5] + x[7]), q = WrapToInt16(x[3] - x[5] - x[7]);
  const int16_t O0 = WrapToInt16(s + ShiftRight16(s, 2) - ShiftRight16(s, 4) + ShiftRight16(p, 2));
  const int16_t O1 = WrapToInt16(d + q - ShiftRight16(q, 2) - ShiftRight16(q, 4));
  const int16_t O2 = WrapToInt16(d - q - ShiftRight16(d, 2) - ShiftRight16(d, 4));
  const int16_t O3 = WrapToInt16(ShiftRight16(s, 2) + ShiftRight16(p, 4) - p - ShiftRight16(p, 2));
  x[0] = WrapToInt16(E0 + O0);
  x[7] = WrapToInt16(E0 - O0);
  x[1] = WrapToInt16(E1 + O1);
  x[6] = WrapToInt16(E1 - O1);
  x[2] = WrapToInt16(E2 + O2);
  x[5] = WrapToInt16(E2 - O2);
  x[3] = WrapToInt16(E3 + O3);
  x[4] = WrapToInt16(E3 - O3);
}

}  // namespace

void ModelInverseTransform8x8(const int16_t coeffs[64], int16_t out[64]) {
  int16_t t[8][8];  // t[v][x]
  for (int v = 0; v < 8; ++v) {
    int16_t col[8];
    for (int h = 0; h < 8; ++h) col[h] = coeffs[8 * h + v];
    Model1d(col);
    for (int x = 0; x < 8; ++x) t[v][x] = col[x];
  }
  for (int x = 0; x < 8; ++x) {
    int16_t z[8];
    for (int v = 0; v < 8; ++v) z[v] = t[v][x];
    Model1d(z);
    for (int y = 0; y < 8; ++y) out[8 * y + x] = ShiftRight16(z[y], 6);
  }
}

void ModelIntraBlock(int32_t dc, const int32_t levels[64], const uint16_t *table, int32_t qi,
                     uint8_t out[64]) {
  int16_t K[64] = {};
  K[0] = WrapToInt16(int64_t(dc) * 8 + 32);
  for (uint32_t pos = 1; pos < 64; ++pos)
    if (levels[pos]) K[SCAN_ORDER[pos]] = ModelDequantise(levels[pos], table, qi, SCAN_ORDER[pos]);
  int16_t o[64];
  ModelInverseTransform8x8(K, o);
  for (int i = 0; i < 64; ++i) out[i] = SaturateSample(o[i]);
}

double Gen2PlanePsnr(const uint8_t *a, uint32_t a_stride, const uint8_t *b, uint32_t b_stride,
                     uint32_t width, uint32_t height) {
  double se = 0;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      const double d = double(a[uint64_t(y) * a_stride + x]) - double(b[uint64_t(y) * b_stride + x]);
      se += d * d;
    }
  if (se == 0) return 99.0;
  const double mse = se / (double(width) * height);
  return 10.0 * std::log10(255.0 * 255.0 / mse);
}

// ---- decoding helpers for tests ----------------------------------------------


void AllocGen2Buffers(Gen2TestBuffers *b, uint32_t width, uint32_t height, uint32_t sets,
                      bool alpha, bool extra) {
  std::memset(&b->set, 0, sizeof(b->set));
  b->blocks.clear();
  FrameBufferSet &s = b->set;
  s.set_count = sets;
  s.luma_width = (width + 31) & ~31u;
  s.luma_height = (height + 15) & ~15u;
  s.chroma_width = s.luma_width / 2;
  s.chroma_height = s.luma_height / 2;
  const uint32_t luma_stride = (s.luma_width + 63) & ~63u;
  const uint32_t chroma_stride = (s.chroma_width + 63) & ~63u;
  for (uint32_t k = 0; k < sets; ++k)
    for (uint32_t p = 0; p < PLANES_PER_SET; ++p) {
      if ((p == PLANE_ALPHA && !alpha) || (p == PLANE_EXTRA && !extra)) continue;
      const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
      const uint32_t stride = chroma ? chroma_stride : luma_stride;
      const uint64_t bytes = uint64_t(stride) * (chroma ? s.chroma_height : s.luma_height);
      void *mem = AlignedAlloc(bytes ? bytes : 32);
      std::memset(mem, 0, bytes);
      b->blocks.push_back(mem);
      s.sets[k][p].pixels = static_cast<uint8_t *>(mem);
      s.sets[k][p].present = 1;
      s.sets[k][p].stride = stride;
    }
}

void FreeGen2Buffers(Gen2TestBuffers *b) {
  for (void *p : b->blocks) AlignedFree(p);
  b->blocks.clear();
}

Gen2Picture Gen2BuffersPicture(const Gen2TestBuffers &b, uint32_t s) {
  const FrameBufferSet &f = b.set;
  Gen2Picture p = MakeGen2Picture(f.luma_width, f.luma_height, f.sets[s][PLANE_ALPHA].pixels != nullptr,
                                  f.sets[s][PLANE_EXTRA].pixels != nullptr);
  for (uint32_t plane = 0; plane < G2W_PLANES; ++plane) {
    if (p.planes[plane].empty()) continue;
    const uint32_t w = Gen2PlaneWidth(p, plane), h = Gen2PlaneHeight(p, plane);
    for (uint32_t y = 0; y < h; ++y)
      std::memcpy(p.planes[plane].data() + uint64_t(y) * w,
                  f.sets[s][plane].pixels + uint64_t(y) * f.sets[s][plane].stride, w);
  }
  return p;
}

void FillGen2Buffers(Gen2TestBuffers *b, uint32_t s, const Gen2Picture &p) {
  FrameBufferSet &f = b->set;
  for (uint32_t plane = 0; plane < G2W_PLANES; ++plane) {
    if (p.planes[plane].empty() || !f.sets[s][plane].pixels) continue;
    const uint32_t w = Gen2PlaneWidth(p, plane), h = Gen2PlaneHeight(p, plane);
    for (uint32_t y = 0; y < h; ++y)
      std::memcpy(f.sets[s][plane].pixels + uint64_t(y) * f.sets[s][plane].stride,
                  p.planes[plane].data() + uint64_t(y) * w, w);
  }
}

void MakeGen2Layout(SliceLayout *layout, uint32_t width, uint32_t height, uint32_t slice_index) {
  layout->next_slice.store(0);
  layout->slice_count = 0;
  layout->seam_stride = 0;
  for (uint32_t &e : layout->end_row) e = 0;
  const uint32_t signature = uint32_t('V') | uint32_t('S') << 8 | uint32_t('2') << 16 | uint32_t('h') << 24;
  ComputeSliceLayout(signature, slice_index, width, height, layout);
}

int DecodeGen2Frame(Gen2TestBuffers *b, const std::vector<uint8_t> &video, SliceLayout *layout,
                    bool key, bool alpha, bool extra, const std::vector<uint32_t> &runs) {
  uint8_t *data = static_cast<uint8_t *>(std::malloc(video.size() ? video.size() : 1));
  if (!video.empty()) std::memcpy(data, video.data(), video.size());
  const uint64_t seam_bytes = uint64_t(layout->slice_count > 1 ? layout->slice_count - 1 : 1) * layout->seam_stride;
  uint8_t *seams = static_cast<uint8_t *>(std::calloc(seam_bytes ? seam_bytes : 1, 1));
  layout->next_slice.store(0);
  ClearSeamFlags(layout, seams);
  int ok = 1;
  for (uint32_t run : runs)
    ok &= DecodeSliceRun(&b->set, data, alpha ? 0x100000 : 0, extra ? 4 : 0, key ? 1 : 0,
                         data + video.size(), layout, run, seams, nullptr);
  SmoothSliceSeams(&b->set, layout, 0, 0, 0, seams);
  b->set.current_set = (b->set.current_set + 1) % b->set.set_count;
  std::free(seams);
  std::free(data);
  return ok;
}

std::vector<std::vector<uint32_t>> AllGen2Splits(uint32_t n) {
  std::vector<std::vector<uint32_t>> out;
  for (uint32_t cuts = 0; cuts < (1u << (n - 1)); ++cuts) {
    std::vector<uint32_t> runs;
    uint32_t start = 0;
    for (uint32_t k = 1; k <= n; ++k)
      if (k == n || (cuts >> (k - 1) & 1)) {
        runs.push_back(start | (k - start) << 4);
        start = k;
      }
    out.push_back(runs);
  }
  return out;
}
