// Test movie writer: the first-generation encoder.
#include "moviewriter/gen1_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "moviewriter/container_writer.h"
#include "moviewriter/gen2_symbols.h"
#include "video/gen1/gen1_bundles.h"
#include "video/gen1/gen1_dct.h"
#include "video/gen1/gen1_plane.h"

namespace {

enum : uint32_t {
  K_TYPES,
  K_SUBTYPES,
  K_COLORS,
  K_PATTERNS,
  K_X,
  K_Y,
  K_INTRA,
  K_INTER,
  K_RUNS,
  K_COUNT
};

// Tree slots: the eight bundle trees and the sixteen colour high-nibble trees.
enum : uint32_t {
  SLOT_TYPES,
  SLOT_SUBTYPES,
  SLOT_HIGH0,
  SLOT_COLORS = SLOT_HIGH0 + 16,
  SLOT_PATTERNS,
  SLOT_X,
  SLOT_Y,
  SLOT_RUNS,
  SLOT_COUNT
};

struct InlineBits {
  std::vector<std::pair<uint32_t, uint32_t>> items;  // value, bit count
  void Put(uint32_t v, uint32_t n) { items.push_back({v, n}); }
};

struct RowData {
  std::vector<int32_t> values[K_COUNT];
  InlineBits bits;
};

struct Refill {
  uint32_t row;
  std::vector<int32_t> values;
};

struct TreeChoice {
  uint32_t t;
  uint8_t symbols[16];  // decoded symbol index -> value
  uint8_t rank[16];     // value -> symbol index
};

uint32_t BitLen(uint32_t x) { return x ? 32 - __builtin_clz(x) : 0; }

// ---- Forward transform model ----

struct Basis {
  double b[8][8];  // b[u][k]: output k of the 1-D step for a unit input u
  double norm[8];
};

void Step(const double x[8], double y[8]) {
  const double c2896 = 2896.0 / 2048, c3784 = 3784.0 / 2048, c5352 = 5352.0 / 2048, c2217 = 2217.0 / 2048;
  double a = x[0] + x[4], b = x[0] - x[4], s = x[2] + x[6];
  double t = (x[2] - x[6]) * c2896 - s;
  double e0 = a + s, e3 = a - s, e1 = b + t, e2 = b - t;
  double p = x[5] + x[3], d = x[5] - x[3], q = x[1] + x[7], f = x[1] - x[7], o = p + q;
  double z = (f + d) * c3784;
  double t3 = -d * c5352 - o + z;
  double t4 = (q - p) * c2896 - t3;
  double t5 = f * c2217 - z + t4;
  y[0] = e0 + o; y[1] = e1 + t3; y[2] = e2 + t4; y[3] = e3 - t5;
  y[4] = e3 + t5; y[5] = e2 - t4; y[6] = e1 - t3; y[7] = e0 - o;
}

const Basis &GetBasis() {
  static Basis basis = [] {
    Basis bs;
    for (int u = 0; u < 8; ++u) {
      double x[8] = {}, y[8];
      x[u] = 1.0;
      Step(x, y);
      bs.norm[u] = 0;
      for (int k = 0; k < 8; ++k) {
        bs.b[u][k] = y[k];
        bs.norm[u] += y[k] * y[k];
      }
    }
    return bs;
  }();
  return basis;
}

// Coefficients whose decoding approximates f (values per pixel, row-major).
void ForwardDct(const double f[64], const int32_t *factors, int32_t dc_min, int32_t dc_max, int16_t out[64]) {
  const Basis &bs = GetBasis();
  for (int u = 0; u < 8; ++u)
    for (int v = 0; v < 8; ++v) {
      double sum = 0;
      for (int k = 0; k < 8; ++k)
        for (int l = 0; l < 8; ++l) sum += f[8 * k + l] * bs.b[u][k] * bs.b[v][l];
      double c = sum / (bs.norm[u] * bs.norm[v]) * 2048.0 * 256.0 / factors[8 * u + v];
      long r = std::lround(c);
      if (u == 0 && v == 0) r = std::clamp<long>(r, dc_min, dc_max);
      else r = std::clamp<long>(r, -16383, 16383);
      out[8 * u + v] = static_cast<int16_t>(r);
    }
}

// ---- Significance coding (mirror of the decoder's walk) ----

struct WList {
  uint8_t e[160];
  uint32_t front, back;
};

// Writes one walk; sig(i) says whether value i becomes significant now;
// on_sig(i) writes what follows its significance and returns false to stop.
template <typename Sig, typename OnSig>
bool WriteWalk(WList *l, InlineBits *out, Sig sig, OnSig on_sig) {
  auto any = [&](uint32_t i, uint32_t n) {
    for (uint32_t k = i; k < i + n && k < 64; ++k)
      if (sig(k)) return true;
    return false;
  };
  for (uint32_t e = l->front; e < l->back; ++e) {
    for (;;) {
      const uint8_t entry = l->e[e];
      if (entry == 0) break;
      const uint32_t i = entry >> 2, kind = entry & 3;
      const uint32_t span = kind == 0 ? 20 : kind == 1 ? 16 : kind == 2 ? 4 : 1;
      const bool open = any(i, span);
      out->Put(open ? 1 : 0, 1);
      if (!open) break;
      if (kind == 3) {
        l->e[e] = 0;
        if (!on_sig(i)) return false;
        break;
      }
      if (kind == 1) {
        l->e[e] = static_cast<uint8_t>(i << 2 | 2);
        l->e[l->back++] = static_cast<uint8_t>((i + 4) << 2 | 2);
        l->e[l->back++] = static_cast<uint8_t>((i + 8) << 2 | 2);
        l->e[l->back++] = static_cast<uint8_t>((i + 12) << 2 | 2);
        continue;
      }
      l->e[e] = kind == 0 ? static_cast<uint8_t>((i + 4) << 2 | 1) : 0;
      for (uint32_t m = 0; m < 4; ++m) {
        if (!sig(i + m)) {
          out->Put(1, 1);
          l->e[--l->front] = static_cast<uint8_t>((i + m) << 2 | 3);
        } else {
          out->Put(0, 1);
          if (!on_sig(i + m)) return false;
        }
      }
      if (kind == 2) break;
    }
  }
  return true;
}

void StartWList(WList *l, const uint8_t *init, uint32_t n) {
  l->front = 72;
  l->back = 72 + n;
  std::memcpy(l->e + 72, init, n);
}

// Coefficients 1..63 (block order) as the decoder's ReadDctCoefficients reads them.
void WriteCoefficients(InlineBits *out, const int16_t coeffs[64]) {
  int32_t coded[64];
  for (int j = 0; j < 64; ++j) coded[j] = coeffs[QUAD_ORDER[j]];
  coded[0] = 0;
  uint32_t top = 0;
  for (int j = 1; j < 64; ++j) top = std::max(top, BitLen(static_cast<uint32_t>(std::abs(coded[j]))));
  out->Put(top, 4);
  const uint8_t init[6] = {0x10, 0x60, 0xB0, 0x07, 0x0B, 0x0F};
  WList l;
  StartWList(&l, init, 6);
  for (uint32_t n = top; n >= 1; --n) {
    WriteWalk(
        &l, out, [&](uint32_t i) { return i > 0 && BitLen(static_cast<uint32_t>(std::abs(coded[i]))) == n; },
        [&](uint32_t i) {
          const uint32_t mag = static_cast<uint32_t>(std::abs(coded[i]));
          const uint32_t h = 1u << (n - 1);
          out->Put((mag - h) | (coded[i] < 0 ? h : 0), n);
          return true;
        });
  }
}

// Residues (coded order, -128..128) with the event limit chosen so that all
// are sent when at most 128 events are needed.
void WriteResidues(InlineBits *out, const int32_t res[64]) {
  uint32_t maxmag = 0, events = 0;
  for (int j = 0; j < 64; ++j) {
    uint32_t m = static_cast<uint32_t>(std::abs(res[j]));
    maxmag = std::max(maxmag, m);
    if (m) events += static_cast<uint32_t>(__builtin_popcount(m));
  }
  const uint32_t limit = events == 0 ? 0 : std::min<uint32_t>(events - 1, 127);
  out->Put(limit, 7);
  const uint32_t top = maxmag ? BitLen(maxmag) - 1 : 0;
  out->Put(top, 3);
  const uint8_t init[4] = {0x10, 0x60, 0xB0, 0x02};
  WList l;
  StartWList(&l, init, 4);
  bool sigd[64] = {};
  std::vector<uint32_t> S;
  uint32_t count = 0;
  for (int32_t shift = static_cast<int32_t>(top); shift >= 0; --shift) {
    const uint32_t g = 1u << shift;
    const size_t before = S.size();
    for (size_t s = 0; s < before; ++s) {
      const uint32_t bit = (static_cast<uint32_t>(std::abs(res[S[s]])) & g) ? 1 : 0;
      out->Put(bit, 1);
      if (bit && ++count > limit) return;
    }
    const bool go = WriteWalk(
        &l, out, [&](uint32_t i) { return !sigd[i] && static_cast<uint32_t>(std::abs(res[i])) >= g; },
        [&](uint32_t i) {
          sigd[i] = true;
          S.push_back(i);
          out->Put(res[i] < 0 ? 1 : 0, 1);
          return ++count <= limit;
        });
    if (!go) return;
  }
}

// ---- The encoder ----

struct Encoder {
  const uint8_t *src;
  const uint8_t *ref;
  uint32_t w, h, stride;
  const Gen1PlaneOptions *opt;
  std::vector<uint8_t> recon;
  std::vector<RowData> rows;
  std::vector<uint8_t> covered;  // blocks of odd rows covered by a scaled block above
  uint32_t skips = 0;
  uint32_t type_counts[10] = {};

  uint8_t Src(uint32_t x, uint32_t y) const { return src[static_cast<size_t>(y) * stride + x]; }
  uint8_t Ref(int64_t off) const { return ref[off]; }
  uint8_t Color(uint8_t c) const { return opt->signed_colors && c == 0 ? 1 : c; }

  void Block(uint32_t x, uint32_t y, uint32_t size, uint8_t out[64]) const {
    // size 8: the block; size 16: the 16x16 area halved (top-left pixels).
    const uint32_t step = size / 8;
    for (int r = 0; r < 8; ++r)
      for (int c = 0; c < 8; ++c) out[8 * r + c] = Src(x + c * step, y + r * step);
  }
  bool Doubled(uint32_t x, uint32_t y) const {
    for (uint32_t r = 0; r < 16; ++r)
      for (uint32_t c = 0; c < 16; ++c)
        if (Src(x + c, y + r) != Src(x + (c & ~1u), y + (r & ~1u))) return false;
    return true;
  }
  void Put(uint32_t x, uint32_t y, const uint8_t v[64], bool doubled) {
    for (uint32_t r = 0; r < (doubled ? 16u : 8u); ++r)
      for (uint32_t c = 0; c < (doubled ? 16u : 8u); ++c)
        recon[static_cast<size_t>(y + r) * w + x + c] = doubled ? v[8 * (r / 2) + c / 2] : v[8 * r + c];
  }
  bool Allowed(uint32_t type) const { return (opt->allowed >> type) & 1; }
};

int Distinct(const uint8_t b[64], uint8_t *c0, uint8_t *c1) {
  *c0 = b[0];
  *c1 = b[0];
  int n = 1;
  for (int i = 1; i < 64; ++i) {
    if (b[i] == *c0) continue;
    if (n == 1) {
      *c1 = b[i];
      n = 2;
    } else if (b[i] != *c1) {
      return 3;
    }
  }
  return n;
}

// Runs of a block along scan order s: (r, mode, colours...) triples; the
// number of colours taken.
struct RunPlan {
  uint32_t scan;
  std::vector<std::pair<uint32_t, uint32_t>> runs;  // r, mode
  std::vector<uint8_t> colors;
  bool last_alone;
};

RunPlan PlanRuns(const uint8_t b[64], uint32_t scan) {
  RunPlan p;
  p.scan = scan;
  p.last_alone = false;
  uint8_t seq[64];
  for (int i = 0; i < 64; ++i) seq[i] = b[RUN_SCAN_ORDERS[scan][i]];
  uint32_t i = 0;
  while (64 - i > 1) {
    uint32_t same = 1;
    while (i + same < 64 && same < 16 && seq[i + same] == seq[i]) ++same;
    if (same >= 2) {
      p.runs.push_back({same - 1, 1});
      p.colors.push_back(seq[i]);
      i += same;
      continue;
    }
    uint32_t lit = 1;
    while (i + lit < 64 && lit < 16 && !(i + lit + 1 < 64 && seq[i + lit] == seq[i + lit + 1])) ++lit;
    p.runs.push_back({lit - 1, 0});
    for (uint32_t k = 0; k < lit; ++k) p.colors.push_back(seq[i + k]);
    i += lit;
  }
  if (i == 63) {
    p.last_alone = true;
    p.colors.push_back(seq[63]);
  }
  return p;
}

RunPlan BestRuns(const uint8_t b[64]) {
  RunPlan best = PlanRuns(b, 0);
  for (uint32_t s = 1; s < 16; ++s) {
    RunPlan p = PlanRuns(b, s);
    if (p.runs.size() + p.colors.size() < best.runs.size() + best.colors.size()) best = p;
  }
  return best;
}

void EmitRun(Encoder *e, RowData *row, const RunPlan &p) {
  row->bits.Put(p.scan, 4);
  size_t c = 0;
  for (auto &run : p.runs) {
    row->values[K_RUNS].push_back(static_cast<int32_t>(run.first));
    row->bits.Put(run.second, 1);
    const size_t n = run.second ? 1 : run.first + 1;
    for (size_t k = 0; k < n; ++k) row->values[K_COLORS].push_back(p.colors[c++]);
  }
  if (p.last_alone) row->values[K_COLORS].push_back(p.colors[c++]);
  (void)e;
}

void EmitIntra(Encoder *e, RowData *row, const uint8_t b[64], uint32_t level, uint8_t out[64]) {
  double f[64];
  for (int i = 0; i < 64; ++i) f[i] = b[i];
  int16_t co[64];
  ForwardDct(f, INTRA_DEQUANT[level], 0, 2047, co);
  row->values[K_INTRA].push_back(co[0]);
  WriteCoefficients(&row->bits, co);
  row->bits.Put(level, 4);
  InverseDctPut(out, 8, co, level);
  (void)e;
}

// The reference block at the motion offset, or false when out of range.
bool MotionBlock(const Encoder *e, uint32_t x, uint32_t y, int mx, int my, uint8_t out[64]) {
  // The encoder keeps sources inside the picture, whatever the decoder
  // would accept: a plane's padding to its stride is not the encoder's.
  if (int64_t(x) + mx < 0 || int64_t(x) + mx + 8 > e->w || int64_t(y) + my < 0 || int64_t(y) + my + 8 > e->h)
    return false;
  const int64_t at = static_cast<int64_t>(y) * e->stride + x + static_cast<int64_t>(my) * e->stride + mx;
  const int64_t limit = static_cast<int64_t>(e->h - 8) * e->stride + e->w - 8;
  if (at < 0 || at > limit) return false;
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) out[8 * r + c] = e->Ref(at + static_cast<int64_t>(r) * e->stride + c);
  return true;
}

void EncodeBlocks(Encoder *e) {
  const uint32_t bw = e->w / 8;
  for (uint32_t y = 0; y < e->h; y += 8) {
    RowData &row = e->rows[y / 8];
    uint32_t x = 0;
    while (x < e->w) {
      const uint32_t bi = (y / 8) * bw + x / 8;
      uint8_t blk[64], out[64];
      e->Block(x, y, 8, blk);
      if (e->covered[bi]) {
        row.values[K_TYPES].push_back(BLOCK_SCALED);
        x += 16;
        continue;
      }
      uint32_t forced = bi < e->opt->forced.size() ? e->opt->forced[bi] : 0xFF;
      uint8_t c0, c1;
      const int distinct = Distinct(blk, &c0, &c1);
      bool same_as_ref = false;
      if (e->ref) {
        same_as_ref = true;
        for (int r = 0; r < 8 && same_as_ref; ++r)
          same_as_ref = std::memcmp(blk + 8 * r, e->ref + static_cast<size_t>(y + r) * e->stride + x, 8) == 0;
      }
      int mx = 0, my = 0;
      bool motion = false;
      if (e->ref && (forced == 0xFF ? e->Allowed(BLOCK_MOTION) : forced == BLOCK_MOTION)) {
        for (int dy = -e->opt->motion_range; dy <= e->opt->motion_range && !motion; ++dy)
          for (int dx = -e->opt->motion_range; dx <= e->opt->motion_range && !motion; ++dx) {
            uint8_t mb[64];
            if ((dx || dy || forced == BLOCK_MOTION) && MotionBlock(e, x, y, dx, dy, mb) && !std::memcmp(mb, blk, 64)) {
              motion = true;
              mx = dx;
              my = dy;
            }
          }
      }
      // The nearest prediction for residue and inter blocks.
      int bx = 0, by = 0;
      uint32_t residue_events = 1000;
      if (e->ref) {
        uint32_t best = ~0u;
        for (int dy = -e->opt->motion_range; dy <= e->opt->motion_range; ++dy)
          for (int dx = -e->opt->motion_range; dx <= e->opt->motion_range; ++dx) {
            uint8_t mb[64];
            if (!MotionBlock(e, x, y, dx, dy, mb)) continue;
            uint32_t sad = 0;
            for (int i = 0; i < 64; ++i) sad += static_cast<uint32_t>(std::abs(int(mb[i]) - int(blk[i])));
            if (sad < best) {
              best = sad;
              bx = dx;
              by = dy;
            }
          }
        uint8_t mb[64];
        MotionBlock(e, x, y, bx, by, mb);
        residue_events = 0;
        for (int i = 0; i < 64; ++i)
          residue_events += static_cast<uint32_t>(__builtin_popcount(static_cast<uint32_t>(std::abs(static_cast<int8_t>(static_cast<uint8_t>(blk[i] - mb[i]))))));
      }
      RunPlan runs = BestRuns(blk);
      const bool scaled_ok = !(y & 8) && x + 16 <= e->w && y + 16 <= e->h && e->Doubled(x, y);
      uint32_t type = forced;
      if (type == 0xFF) {
        if (e->ref && same_as_ref && e->Allowed(BLOCK_SKIP)) type = BLOCK_SKIP;
        else if (scaled_ok && e->Allowed(BLOCK_SCALED)) type = BLOCK_SCALED;
        else if (distinct == 1 && e->Allowed(BLOCK_FILL)) type = BLOCK_FILL;
        else if (distinct == 2 && e->Allowed(BLOCK_PATTERN)) type = BLOCK_PATTERN;
        else if (motion) type = BLOCK_MOTION;
        else if (e->Allowed(BLOCK_RUN) && runs.runs.size() + runs.colors.size() <= 40) type = BLOCK_RUN;
        else if (e->ref && e->Allowed(BLOCK_RESIDUE) && residue_events <= 128) type = BLOCK_RESIDUE;
        else if (e->opt->lossy && e->Allowed(BLOCK_INTRA)) type = BLOCK_INTRA;
        else if (e->opt->lossy && e->ref && e->Allowed(BLOCK_INTER)) type = BLOCK_INTER;
        else if (e->opt->lossy && e->ref && e->Allowed(BLOCK_RESIDUE)) type = BLOCK_RESIDUE;
        else type = BLOCK_RAW;
      }
      if (!e->ref && (type == BLOCK_SKIP || type == BLOCK_MOTION || type == BLOCK_INTER || type == BLOCK_RESIDUE))
        type = BLOCK_RAW;
      if (type == BLOCK_SCALED && ((y & 8) || x + 16 > e->w || y + 16 > e->h)) type = BLOCK_RAW;
      if (type == BLOCK_MOTION && !motion) {
        mx = my = 0;
        MotionBlock(e, x, y, 0, 0, out);
      }
      row.values[K_TYPES].push_back(static_cast<int32_t>(type));
      if (type < 10) e->type_counts[type]++;
      uint32_t advance = 8;
      switch (type) {
        case BLOCK_SKIP:
          for (int r = 0; r < 8; ++r) std::memcpy(out + 8 * r, e->ref + static_cast<size_t>(y + r) * e->stride + x, 8);
          e->Put(x, y, out, false);
          e->skips++;
          break;
        case BLOCK_FILL:
          row.values[K_COLORS].push_back(e->Color(c0));
          std::memset(out, e->Color(c0), 64);
          e->Put(x, y, out, false);
          break;
        case BLOCK_PATTERN: {
          row.values[K_COLORS].push_back(e->Color(c0));
          row.values[K_COLORS].push_back(e->Color(c1));
          for (int r = 0; r < 8; ++r) {
            uint32_t bits = 0;
            for (int c = 0; c < 8; ++c) bits |= (blk[8 * r + c] != c0 ? 1u : 0u) << c;
            row.values[K_PATTERNS].push_back(static_cast<int32_t>(bits));
            for (int c = 0; c < 8; ++c) out[8 * r + c] = e->Color((bits >> c) & 1 ? c1 : c0);
          }
          e->Put(x, y, out, false);
          break;
        }
        case BLOCK_MOTION: {
          row.values[K_X].push_back(mx);
          row.values[K_Y].push_back(my);
          MotionBlock(e, x, y, mx, my, out);
          e->Put(x, y, out, false);
          break;
        }
        case BLOCK_RUN: {
          for (auto &c : runs.colors) c = e->Color(c);
          EmitRun(e, &row, runs);
          for (int i = 0; i < 64; ++i) blk[i] = e->Color(blk[i]);
          e->Put(x, y, blk, false);
          break;
        }
        case BLOCK_INTRA:
          EmitIntra(e, &row, blk, e->opt->intra_level, out);
          e->Put(x, y, out, false);
          break;
        case BLOCK_INTER:
        case BLOCK_RESIDUE: {
          uint8_t pred[64];
          MotionBlock(e, x, y, bx, by, pred);
          row.values[K_X].push_back(bx);
          row.values[K_Y].push_back(by);
          if (type == BLOCK_INTER) {
            double f[64];
            for (int i = 0; i < 64; ++i) f[i] = static_cast<double>(blk[i]) - pred[i];
            int16_t co[64];
            ForwardDct(f, INTER_DEQUANT[e->opt->inter_level], -1023, 1023, co);
            row.values[K_INTER].push_back(co[0]);
            WriteCoefficients(&row.bits, co);
            row.bits.Put(e->opt->inter_level, 4);
            InverseDctAdd(out, 8, co, e->opt->inter_level, pred, 8);
          } else {
            int32_t res[64];
            for (int j = 0; j < 64; ++j) {
              const int p = QUAD_ORDER[j];
              res[j] = static_cast<int8_t>(static_cast<uint8_t>(blk[p] - pred[p]));
            }
            // What the decoder makes of them (more than 128 events are cut).
            InlineBits coded;
            WriteResidues(&coded, res);
            BitWriter bw2;
            InitBitWriter(&bw2);
            for (auto &item : coded.items) WriteBits(&bw2, item.first, item.second);
            std::vector<uint8_t> bytes = BitWriterBytes(&bw2);
            bytes.resize(bytes.size() + 8, 0);
            Gen1BitReader reader;
            StartGen1Reader(&reader, Gen1Address(bytes.data()), Gen1Address(bytes.data() + bytes.size()),
                            Gen1Address(bytes.data() + bytes.size()));
            const uint32_t limit = Gen1ReadBits(&reader, 7);
            AddResidue(out, 8, &reader, limit, pred, 8);
            row.bits.items.insert(row.bits.items.end(), coded.items.begin(), coded.items.end());
          }
          e->Put(x, y, out, false);
          break;
        }
        case BLOCK_SCALED: {
          uint8_t half[64];
          e->Block(x, y, 16, half);
          uint8_t h0, h1;
          const int hd = Distinct(half, &h0, &h1);
          RunPlan hr = BestRuns(half);
          uint32_t sub;
          if (hd == 1) sub = BLOCK_FILL;
          else if (hd == 2) sub = BLOCK_PATTERN;
          else if (hr.runs.size() + hr.colors.size() <= 40) sub = BLOCK_RUN;
          else if (e->opt->lossy && e->Allowed(BLOCK_INTRA)) sub = BLOCK_INTRA;
          else sub = BLOCK_RAW;
          row.values[K_SUBTYPES].push_back(static_cast<int32_t>(sub));
          if (sub == BLOCK_FILL) {
            row.values[K_COLORS].push_back(e->Color(h0));
            std::memset(out, e->Color(h0), 64);
          } else if (sub == BLOCK_PATTERN) {
            row.values[K_COLORS].push_back(e->Color(h0));
            row.values[K_COLORS].push_back(e->Color(h1));
            for (int r = 0; r < 8; ++r) {
              uint32_t bits = 0;
              for (int c = 0; c < 8; ++c) bits |= (half[8 * r + c] != h0 ? 1u : 0u) << c;
              row.values[K_PATTERNS].push_back(static_cast<int32_t>(bits));
              for (int c = 0; c < 8; ++c) out[8 * r + c] = e->Color((bits >> c) & 1 ? h1 : h0);
            }
          } else if (sub == BLOCK_RUN) {
            for (auto &c : hr.colors) c = e->Color(c);
            EmitRun(e, &row, hr);
            for (int i = 0; i < 64; ++i) out[i] = e->Color(half[i]);
          } else if (sub == BLOCK_INTRA) {
            EmitIntra(e, &row, half, e->opt->intra_level, out);
          } else {
            for (int i = 0; i < 64; ++i) {
              out[i] = e->Color(half[i]);
              row.values[K_COLORS].push_back(out[i]);
            }
          }
          e->Put(x, y, out, true);
          e->covered[bi + bw] = 1;
          advance = 16;
          break;
        }
        case BLOCK_RAW:
          for (int i = 0; i < 64; ++i) {
            out[i] = e->Color(blk[i]);
            row.values[K_COLORS].push_back(out[i]);
          }
          e->Put(x, y, out, false);
          break;
        default:
          break;  // an invalid type: the decoder leaves the block alone
      }
      x += advance;
    }
  }
}

// ---- Refill scheduling and writing ----

std::vector<Refill> Schedule(const std::vector<RowData> &rows, uint32_t k) {
  std::vector<Refill> out;
  size_t remaining_rows = rows.size();
  uint32_t r = 0;
  while (r < remaining_rows) {
    Refill f;
    f.row = r;
    uint32_t last = r;
    while (last < rows.size() && rows[last].values[k].empty()) ++last;
    if (last == rows.size()) {
      f.values.push_back(0);  // never taken
      out.push_back(f);
      break;
    }
    f.values = rows[last].values[k];
    out.push_back(f);
    r = last + 1;
  }
  return out;
}

struct Sink {
  BitWriter *w;  // null while counting
  uint32_t freq[SLOT_COUNT][16];
  TreeChoice trees[SLOT_COUNT];
  void Bits(uint32_t v, uint32_t n) {
    if (w) WriteBits(w, v, n);
  }
  void Symbol(uint32_t slot, uint32_t value) {
    if (!w) {
      freq[slot][value & 15]++;
      return;
    }
    const TreeChoice &t = trees[slot];
    const uint32_t s = t.rank[value & 15];
    const FixedCodeTable &table = FIRST_GEN_HUFFMAN_TREES[t.t];
    for (uint32_t i = 0; i < (1u << table.lookup_bits); ++i) {
      const uint8_t e = table.lookup[i];
      if ((e & 15) == s) {
        const uint32_t len = e >> 4;
        WriteBits(w, i & ((1u << len) - 1), len);
        return;
      }
    }
  }
};

uint32_t SymbolCost(uint32_t t, const uint32_t freq[16], const uint8_t symbols[16]) {
  uint32_t cost = 0;
  const FixedCodeTable &table = FIRST_GEN_HUFFMAN_TREES[t];
  for (uint32_t s = 0; s < 16; ++s) {
    uint32_t len = 0;
    for (uint32_t i = 0; i < (1u << table.lookup_bits); ++i)
      if ((table.lookup[i] & 15) == s) {
        len = table.lookup[i] >> 4;
        break;
      }
    cost += freq[symbols[s]] * len;
  }
  return cost;
}

TreeChoice ChooseTree(const uint32_t freq[16], const Gen1PlaneOptions &opt) {
  uint8_t by_freq[16];
  for (int i = 0; i < 16; ++i) by_freq[i] = static_cast<uint8_t>(i);
  std::stable_sort(by_freq, by_freq + 16, [&](uint8_t a, uint8_t b) { return freq[a] > freq[b]; });
  uint8_t perm[16];
  if (opt.explicit_lists) {
    bool listed[16] = {};
    for (int i = 0; i < 8; ++i) {
      perm[i] = by_freq[i];
      listed[by_freq[i]] = true;
    }
    int at = 8;
    for (int s = 0; s < 16; ++s)
      if (!listed[s]) perm[at++] = static_cast<uint8_t>(s);
  } else {
    std::memcpy(perm, by_freq, 16);
  }
  TreeChoice c;
  uint32_t best = ~0u;
  c.t = 0;
  for (uint32_t t = 0; t < 16; ++t) {
    if (opt.tree >= 0 && t != static_cast<uint32_t>(opt.tree)) continue;
    uint8_t ident[16];
    for (int i = 0; i < 16; ++i) ident[i] = static_cast<uint8_t>(i);
    const uint32_t cost = SymbolCost(t, freq, t == 0 ? ident : perm);
    if (cost < best) {
      best = cost;
      c.t = t;
    }
  }
  for (int i = 0; i < 16; ++i) c.symbols[i] = c.t == 0 ? static_cast<uint8_t>(i) : perm[i];
  for (int i = 0; i < 16; ++i) c.rank[c.symbols[i]] = static_cast<uint8_t>(i);
  return c;
}

void WriteTree(BitWriter *w, const TreeChoice &c, bool explicit_list) {
  WriteBits(w, c.t, 4);
  if (c.t == 0) return;
  if (explicit_list) {
    WriteBit(w, 1);
    WriteBits(w, 7, 3);
    for (int i = 0; i < 8; ++i) WriteBits(w, c.symbols[i], 4);
    return;
  }
  WriteBit(w, 0);
  WriteBits(w, 3, 2);
  uint8_t runs[16];
  for (uint32_t j = 0; j < 8; ++j) {
    const uint32_t swap = c.rank[2 * j + 1] < c.rank[2 * j];
    WriteBit(w, swap);
    runs[2 * j] = static_cast<uint8_t>(swap ? 2 * j + 1 : 2 * j);
    runs[2 * j + 1] = static_cast<uint8_t>(swap ? 2 * j : 2 * j + 1);
  }
  for (uint32_t n = 2; n <= 8; n *= 2) {
    uint8_t merged[16];
    for (uint32_t at = 0; at < 16; at += 2 * n) {
      uint32_t ia = 0, ib = 0, o = at;
      const uint8_t *a = runs + at, *b = runs + at + n;
      while (ia < n && ib < n) {
        const bool take_b = c.rank[b[ib]] < c.rank[a[ia]];
        WriteBit(w, take_b);
        merged[o++] = take_b ? b[ib++] : a[ia++];
      }
      while (ia < n) merged[o++] = a[ia++];
      while (ib < n) merged[o++] = b[ib++];
    }
    std::memcpy(runs, merged, 16);
  }
}

bool AllSame(const std::vector<int32_t> &v) {
  for (int32_t x : v)
    if (x != v[0]) return false;
  return true;
}

void WriteRefill(Sink *s, uint32_t k, const std::vector<int32_t> &v, uint32_t count_bits, bool revision_k,
                 bool signed_colors, uint32_t *context) {
  const uint32_t n = static_cast<uint32_t>(v.size());
  const uint32_t xr = (revision_k && (k == K_TYPES || k == K_SUBTYPES)) ? 0xBB : 0;
  s->Bits(n ^ xr, count_bits);
  switch (k) {
    case K_TYPES:
    case K_SUBTYPES: {
      const uint32_t slot = k == K_TYPES ? SLOT_TYPES : SLOT_SUBTYPES;
      if (AllSame(v)) {
        s->Bits(1, 1);
        s->Bits(static_cast<uint32_t>(v[0]), 4);
        break;
      }
      s->Bits(0, 1);
      int32_t last = 0;
      size_t i = 0;
      while (i < v.size()) {
        if (v[i] == last) {
          size_t run = 0;
          while (i + run < v.size() && v[i + run] == last) ++run;
          static const uint32_t reps[4] = {32, 12, 8, 4};
          static const uint32_t codes[4] = {15, 14, 13, 12};
          bool used = false;
          for (int r = 0; r < 4; ++r)
            if (run >= reps[r]) {
              s->Symbol(slot, codes[r]);
              i += reps[r];
              used = true;
              break;
            }
          if (used) continue;
        }
        s->Symbol(slot, static_cast<uint32_t>(v[i]));
        last = v[i];
        ++i;
      }
      break;
    }
    case K_COLORS: {
      const bool same = AllSame(v);
      s->Bits(same ? 1 : 0, 1);
      for (size_t i = 0; i < (same ? 1 : v.size()); ++i) {
        uint32_t c = static_cast<uint32_t>(v[i]) & 0xFF;
        if (signed_colors) c = c >= 128 ? c - 128 : (0x80 | (128 - c));
        s->Symbol(SLOT_HIGH0 + *context, c >> 4);
        s->Symbol(SLOT_COLORS, c & 15);
        *context = c >> 4;
      }
      break;
    }
    case K_PATTERNS:
      for (int32_t b : v) {
        s->Symbol(SLOT_PATTERNS, static_cast<uint32_t>(b) & 15);
        s->Symbol(SLOT_PATTERNS, (static_cast<uint32_t>(b) >> 4) & 15);
      }
      break;
    case K_X:
    case K_Y: {
      const uint32_t slot = k == K_X ? SLOT_X : SLOT_Y;
      if (AllSame(v)) {
        s->Bits(1, 1);
        s->Bits(static_cast<uint32_t>(std::abs(v[0])), 4);
        if (v[0]) s->Bits(v[0] < 0, 1);
        break;
      }
      s->Bits(0, 1);
      for (int32_t m : v) {
        s->Symbol(slot, static_cast<uint32_t>(std::abs(m)));
        if (m) s->Bits(m < 0, 1);
      }
      break;
    }
    case K_INTRA:
    case K_INTER: {
      if (k == K_INTRA) {
        s->Bits(static_cast<uint32_t>(v[0]) & 0x7FF, 11);
      } else {
        s->Bits(static_cast<uint32_t>(std::abs(v[0])), 10);
        if (v[0]) s->Bits(v[0] < 0, 1);
      }
      int32_t cur = v[0];
      for (size_t i = 1; i < v.size(); i += 8) {
        const size_t end = std::min(v.size(), i + 8);
        uint32_t width = 0;
        for (size_t j = i; j < end; ++j) width = std::max(width, BitLen(static_cast<uint32_t>(std::abs(v[j] - (j == i ? cur : v[j - 1])))));
        s->Bits(width, 4);
        for (size_t j = i; j < end; ++j) {
          const int32_t d = v[j] - cur;
          if (width) {
            s->Bits(static_cast<uint32_t>(std::abs(d)), width);
            if (d) s->Bits(d < 0, 1);
          }
          cur = v[j];
        }
      }
      break;
    }
    case K_RUNS:
      if (AllSame(v)) {
        s->Bits(1, 1);
        s->Bits(static_cast<uint32_t>(v[0]), 4);
        break;
      }
      s->Bits(0, 1);
      for (int32_t r : v) s->Symbol(SLOT_RUNS, static_cast<uint32_t>(r));
      break;
  }
}

}  // namespace

Gen1PlaneResult EncodeGen1Plane(const uint8_t *source, const uint8_t *reference, uint32_t width,
                                uint32_t height, uint32_t stride, const Gen1PlaneOptions &options) {
  Gen1PlaneResult result;
  Encoder e;
  e.src = source;
  e.ref = reference;
  e.w = width;
  e.h = height;
  e.stride = stride;
  e.opt = &options;
  e.recon.assign(static_cast<size_t>(width) * height, 0);
  if (reference)
    for (uint32_t y = 0; y < height; ++y) std::memcpy(&e.recon[static_cast<size_t>(y) * width], reference + static_cast<size_t>(y) * stride, width);
  e.rows.resize(height / 8);
  e.covered.assign(static_cast<size_t>(width / 8) * (height / 8 + 1), 0);

  BitWriter w;
  InitBitWriter(&w);
  if (options.revision_k) {
    if (options.alpha_plane && options.alpha_fill >= 0) {
      WriteBits(&w, 1u | (static_cast<uint32_t>(options.alpha_fill) & 0xFF) << 1, 32);
      result.bytes = BitWriterBytes(&w);
      result.recon.assign(static_cast<size_t>(width) * height, static_cast<uint8_t>(options.alpha_fill));
      return result;
    }
    WriteBit(&w, 0);
  }
  EncodeBlocks(&e);

  const uint32_t b = width >> 3;
  const uint32_t count_bits[K_COUNT] = {BitLen(b + 511),      BitLen((width >> 4) + 511), BitLen(64 * b + 511),
                                        BitLen(8 * b + 511),  BitLen(b + 511),            BitLen(b + 511),
                                        BitLen(b + 511),      BitLen(b + 511),            BitLen(48 * b + 511)};
  std::vector<Refill> refills[K_COUNT];
  for (uint32_t k = 0; k < K_COUNT; ++k) refills[k] = Schedule(e.rows, k);

  // Count symbols, choose trees, then write.
  Sink sink;
  std::memset(&sink, 0, sizeof sink);
  for (int pass = 0; pass < 2; ++pass) {
    uint32_t context = 0;
    size_t next[K_COUNT] = {};
    if (pass == 1) {
      sink.w = &w;
      for (uint32_t slot = 0; slot < SLOT_COUNT; ++slot) sink.trees[slot] = ChooseTree(sink.freq[slot], options);
      const uint32_t order[8] = {SLOT_TYPES, SLOT_SUBTYPES, SLOT_COLORS, SLOT_PATTERNS, SLOT_X, SLOT_Y, SLOT_RUNS, 0};
      WriteTree(&w, sink.trees[SLOT_TYPES], options.explicit_lists);
      WriteTree(&w, sink.trees[SLOT_SUBTYPES], options.explicit_lists);
      for (int c = 0; c < 16; ++c) WriteTree(&w, sink.trees[SLOT_HIGH0 + c], options.explicit_lists);
      for (int i = 2; i < 7; ++i) WriteTree(&w, sink.trees[order[i]], options.explicit_lists);
    }
    for (uint32_t row = 0; row < e.rows.size(); ++row) {
      for (uint32_t k = 0; k < K_COUNT; ++k) {
        if (next[k] < refills[k].size() && refills[k][next[k]].row == row) {
          WriteRefill(&sink, k, refills[k][next[k]].values, count_bits[k], options.revision_k,
                      options.signed_colors, &context);
          ++next[k];
        }
      }
      if (pass == 1)
        for (auto &item : e.rows[row].bits.items) WriteBits(&w, item.first, item.second);
    }
  }
  result.bytes = BitWriterBytes(&w);
  result.recon = e.recon;
  result.skips = e.skips;
  std::memcpy(result.type_counts, e.type_counts, sizeof result.type_counts);
  return result;
}

std::vector<uint8_t> AssembleGen1Video(const std::vector<uint8_t> *alpha, const std::vector<uint8_t> &luma,
                                       const std::vector<uint8_t> &chroma1,
                                       const std::vector<uint8_t> &chroma2, bool no_length_words) {
  std::vector<uint8_t> out;
  auto word = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  if (alpha) {
    word(static_cast<uint32_t>(4 + alpha->size()));
    out.insert(out.end(), alpha->begin(), alpha->end());
  }
  if (!no_length_words) word(static_cast<uint32_t>(4 + luma.size()));
  out.insert(out.end(), luma.begin(), luma.end());
  out.insert(out.end(), chroma1.begin(), chroma1.end());
  out.insert(out.end(), chroma2.begin(), chroma2.end());
  return out;
}

double Gen1Psnr(const uint8_t *a, const uint8_t *b, uint32_t width, uint32_t height, uint32_t a_stride,
                uint32_t b_stride) {
  double se = 0;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      const double d = static_cast<double>(a[static_cast<size_t>(y) * a_stride + x]) - b[static_cast<size_t>(y) * b_stride + x];
      se += d * d;
    }
  if (se == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * width * height / se);
}

void BuiltInStillPicture(std::vector<uint8_t> *luma, std::vector<uint8_t> *chroma1,
                         std::vector<uint8_t> *chroma2) {
  // White, yellow, cyan, green, magenta, red, blue.
  static const uint8_t kY[7] = {235, 210, 170, 145, 106, 81, 41};
  static const uint8_t kU[7] = {128, 16, 166, 54, 202, 90, 240};
  static const uint8_t kV[7] = {128, 146, 16, 34, 222, 240, 110};
  static const uint8_t kPatch[7] = {16, 60, 16, 128, 16, 200, 16};
  luma->assign(224 * 256, 16);
  chroma1->assign(112 * 128, 128);
  chroma2->assign(112 * 128, 128);
  for (uint32_t y = 0; y < 256; ++y)
    for (uint32_t x = 0; x < 224; ++x) {
      uint8_t v;
      if (y < 160) v = kY[x / 32];
      else if (y < 208) v = static_cast<uint8_t>(16 + (x * 219) / 223);
      else v = kPatch[x / 32];
      (*luma)[y * 224 + x] = v;
    }
  for (uint32_t y = 0; y < 80; ++y)
    for (uint32_t x = 0; x < 112; ++x) {
      (*chroma1)[y * 112 + x] = kU[x / 16];
      (*chroma2)[y * 112 + x] = kV[x / 16];
    }
}

std::vector<uint8_t> EncodeBuiltInStill() {
  std::vector<uint8_t> planes[3];
  BuiltInStillPicture(&planes[0], &planes[1], &planes[2]);
  Gen1PlaneOptions o;
  o.allowed = (1u << BLOCK_SCALED) | (1u << BLOCK_FILL) | (1u << BLOCK_PATTERN) | (1u << BLOCK_RUN) |
              (1u << BLOCK_RAW);
  Gen1PlaneResult luma = EncodeGen1Plane(planes[0].data(), nullptr, 224, 256, 224, o);
  Gen1PlaneResult c1 = EncodeGen1Plane(planes[1].data(), nullptr, 112, 128, 112, o);
  Gen1PlaneResult c2 = EncodeGen1Plane(planes[2].data(), nullptr, 112, 128, 112, o);
  return AssembleGen1Video(nullptr, luma.bytes, c1.bytes, c2.bytes, false);
}

const uint32_t GEN1_DRIFT_PLANE_WIDTH[4] = {72, 40, 40, 72}, GEN1_DRIFT_PLANE_HEIGHT[4] = {56, 32, 32, 56};

Gen1DriftMovie WriteGen1DriftMovie(char revision, bool alpha, uint32_t frames, uint32_t key_every,
                                   bool vary_intra_level) {
  Gen1DriftMovie movie;
  std::mt19937 rng(7 + uint32_t(revision));
  const bool f_to_h = revision <= 'h';
  ContainerSpec desc;
  desc.signature = WriterSignature("VSH", revision);
  desc.width = GEN1_DRIFT_WIDTH;
  desc.height = GEN1_DRIFT_HEIGHT;
  desc.rate_num = 25;
  desc.rate_den = 1;
  desc.video_flags = alpha ? 0x100000 : 0;
  const uint32_t planes = alpha ? 4 : 3;
  for (uint32_t f = 0; f < frames; ++f) {
    const bool key = key_every ? f % key_every == 0 : f == 0;
    std::vector<std::vector<uint8_t>> recon(planes);
    std::vector<uint8_t> bytes[4];
    for (uint32_t p = 0; p < planes; ++p) {
      const uint32_t w = GEN1_DRIFT_PLANE_WIDTH[p], h = GEN1_DRIFT_PLANE_HEIGHT[p];
      std::vector<uint8_t> source(w * h);
      for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
          const uint32_t sx = x + f, sy = y + f / 2;  // the picture drifts
          uint32_t v = ((sx / 8 + sy / 8) & 1) ? 40 + p * 30 : 180 + (sx * 3 + sy) % 40;
          if ((sx / 16) % 3 == 2 && (sy / 16) % 2 == 0) v = 1 + rng() % 255;
          source[y * w + x] = uint8_t(v);
        }
      Gen1PlaneOptions o;
      o.lossy = true;
      o.signed_colors = f_to_h;
      o.revision_k = revision == 'k';
      o.alpha_plane = p == 3;
      if (vary_intra_level) o.intra_level = f % 3;
      Gen1PlaneResult r =
          EncodeGen1Plane(source.data(), key ? nullptr : movie.recon.back()[p].data(), w, h, w, o);
      bytes[p] = r.bytes;
      recon[p] = r.recon;
    }
    WriterFrame frame;
    frame.key = key;
    frame.bytes = AssembleGen1Video(alpha ? &bytes[3] : nullptr, bytes[0], bytes[1], bytes[2], f_to_h);
    desc.frames.push_back(frame);
    movie.recon.push_back(recon);
  }
  movie.bytes = WriteContainer(desc);
  return movie;
}
