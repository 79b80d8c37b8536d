// Block post-filter: DC smoothing and edge filtering one block and one 8x8
// row behind the slice decoder.
#include "video/gen2/postfilter.h"

#include <cstring>

namespace {

// Window rows: index = 8x8 row + 2 (row -2 and -1 are the band above).
enum : int {
  FULL_ROWS = 6,
  CHROMA_ROWS = 4,
  FULL_COLS = 10,
  CHROMA_COLS = 6,
};

constexpr uint32_t COLUMN_NIBBLE_LEFT = 0xFu << 18;  // nibble of the block being filtered
constexpr uint32_t COLUMN_NIBBLE_OWN = 0xFu << 22;   // nibble of the newest block
constexpr uint32_t COL_EDGE_0 = 1u << 18;
constexpr uint32_t COL_EDGE_8 = 1u << 19;
constexpr uint32_t COL_EDGE_16 = 1u << 20;
constexpr uint32_t COL_EDGE_24 = 1u << 21;
constexpr uint32_t ROW_EDGE_CHROMA_M8 = 1u << 26;
constexpr uint32_t ROW_EDGE_M8 = 1u << 27;
constexpr uint32_t ROW_EDGE_0 = 1u << 28;
constexpr uint32_t ROW_EDGE_8 = 1u << 29;
constexpr uint32_t ROW_EDGE_16 = 1u << 30;
constexpr uint32_t ROW_EDGE_24 = 1u << 31;
constexpr uint32_t DC_ONLY_INTRA = 0xE000;
constexpr uint32_t INTRA_BIT = 0x8000;

inline uint32_t WordClass(uint16_t w) { return (w >> 13) & 3; }

// Code for the edge between two 8x8 blocks when one of them is intra: each
// side reaches as far as its count of AC levels allows; two blocks with many
// levels, or two DC-only blocks, are left alone.
inline uint32_t IntraEdgeCode(uint16_t before, uint16_t after) {
  uint32_t code = WordClass(before) + 4 * WordClass(after);
  return (code == 0 || code == 15) ? 0 : code;
}

inline bool IsIntraPair(uint16_t a, uint16_t b) { return ((a | b) & INTRA_BIT) != 0; }

// Quadrant q (0 top-left .. 3 bottom-right) of a motion-vector entry.
inline const int32_t *Quadrant(const MotionVectorSet *entry, int q) {
  return entry ? entry->v + 2 * q : nullptr;
}

// Both components are tested without a branch between them: whether
// neighbouring vectors differ is data.
inline bool VectorsDiffer(const int32_t *a, const int32_t *b) {
  if (!a || !b) return false;
  const uint64_t dx = uint64_t(int64_t(a[0]) - b[0] + 1);  // > 2 when |x1 - x2| > 1
  const uint64_t dy = uint64_t(int64_t(a[1]) - b[1] + 1);
  return (uint32_t(dx > 2) | uint32_t(dy > 2)) != 0;
}

// Window rows move as blocks of words: a row keeps its right-most columns
// (the filtered block's right-most word and the newest block) as its left
// part, and the incoming block's words fill the rest. The moved words are
// all loaded before any is stored, since the two ranges overlap.
template <uint32_t n>
inline void MoveWords(uint16_t *dst, const uint16_t *src) {
  uint16_t moved[n];
  std::memcpy(moved, src, sizeof moved);
  std::memcpy(dst, moved, sizeof moved);
}

// n incoming words of one row: from src, or zeros when there is none.
template <uint32_t n>
inline void PutWords(uint16_t *dst, const uint16_t *src) {
  if (src)
    std::memcpy(dst, src, n * sizeof(uint16_t));
  else
    std::memset(dst, 0, n * sizeof(uint16_t));
}

// Shifts a full-resolution window one block to the left and brings in the
// block at `block` (its words and the band above's rows at its column), or
// zeros when there is none.
void ShiftFull(uint16_t rows[FULL_ROWS][FULL_COLS], const uint16_t *words, const uint16_t *store,
               intptr_t offset, uint32_t block, bool reset) {
  if (reset) {
    std::memset(rows, 0, sizeof(uint16_t) * FULL_ROWS * FULL_COLS);
  } else {
    for (int r = 0; r < FULL_ROWS; ++r) {
      MoveWords<5>(rows[r], rows[r] + 4);
      rows[r][9] = 0;
    }
  }
  const uint16_t *bottom = store ? store + uintptr_t(block) * 4 : nullptr;
  PutWords<4>(rows[0] + 5, bottom ? bottom + offset : nullptr);
  PutWords<4>(rows[1] + 5, bottom);
  // Quadrant order: 8x8 row 0 of the block is words 0, 1, 4, 5; row 1 is
  // 2, 3, 6, 7; rows 2 and 3 the same eight words on.
  for (int r = 0; r < 4; ++r) {
    const uint16_t *q = words ? words + 8 * (r >> 1) + 2 * (r & 1) : nullptr;
    PutWords<2>(rows[2 + r] + 5, q);
    PutWords<2>(rows[2 + r] + 7, q ? q + 4 : nullptr);
  }
}

void ShiftChroma(uint16_t rows[CHROMA_ROWS][CHROMA_COLS], const uint16_t *words,
                 const uint16_t *store, intptr_t offset, uint32_t block, bool reset) {
  if (reset) {
    std::memset(rows, 0, sizeof(uint16_t) * CHROMA_ROWS * CHROMA_COLS);
  } else {
    for (int r = 0; r < CHROMA_ROWS; ++r) {
      MoveWords<3>(rows[r], rows[r] + 2);
      rows[r][5] = 0;
    }
  }
  const uint16_t *bottom = store ? store + uintptr_t(block) * 2 : nullptr;
  PutWords<2>(rows[0] + 3, bottom ? bottom + offset : nullptr);
  PutWords<2>(rows[1] + 3, bottom);
  PutWords<2>(rows[2] + 3, words);
  PutWords<2>(rows[3] + 3, words ? words + 2 : nullptr);
}

// Stores the last two 8x8 rows of the filtered block for the band below.
void WriteBackFull(const uint16_t rows[FULL_ROWS][FULL_COLS], uint16_t *store, intptr_t offset,
                   uint32_t block) {
  if (!store) return;
  uint16_t *bottom = store + uintptr_t(block) * 4;
  for (int j = 0; j < 4; ++j) {
    bottom[offset + j] = rows[4][1 + j];
    bottom[j] = rows[5][1 + j];
  }
}

void WriteBackChroma(const uint16_t rows[CHROMA_ROWS][CHROMA_COLS], uint16_t *store,
                     intptr_t offset, uint32_t block) {
  if (!store) return;
  uint16_t *bottom = store + uintptr_t(block) * 2;
  for (int j = 0; j < 2; ++j) {
    bottom[offset + j] = rows[2][1 + j];
    bottom[j] = rows[3][1 + j];
  }
}

// Everything one pass over the filtered block needs.
struct Pass {
  const McKernelTable *mc;
  const LoopFilterKernels *edges;
  PostFilterWindow *w;
  const PostFilterInput *in;
  uint32_t flags;
  uint32_t block;       // column index of the filtered block in its band
  uint8_t *luma;        // top-left pixel of the filtered block in each plane
  uint8_t *alpha;
  uint8_t *extra;
  uint8_t *chroma1;
  uint8_t *chroma2;
  const MotionVectorSet *mv;             // filtered block
  const MotionVectorSet *mv_left;        // block to its left
  const MotionVectorSet *mv_above;       // block above it
  const MotionVectorSet *mv_above_left;  // block above the left one
};

// Which 8-row strips this pass handles (rows counted from the band top; the
// strip of row -1 is the bottom of the band above).
struct Strips {
  bool above;  // row -1
  bool upper;  // rows 0 and 1 (chroma row 0)
  bool lower;  // row 2
  bool last;   // row 3 (chroma row 1), last band only
};

Strips StripsOf(uint32_t f) {
  Strips s;
  s.above = !(f & (BLOCK_TOP_BAND | BLOCK_RUN_FIRST_BAND));
  s.upper = !(f & BLOCK_RUN_FIRST_BAND);
  s.lower = !(f & (BLOCK_LOWER_OUTSIDE | BLOCK_EXTRA_BAND));
  s.last = (f & BLOCK_BOTTOM_BAND) && s.lower;
  return s;
}

inline void SmoothPair(const McKernelTable *mc, const uint16_t *above, const uint16_t *own,
                       const uint16_t *below, const uint16_t *threshold, uint8_t *dst,
                       int32_t stride) {
  uint32_t slot = (own[1] >= DC_ONLY_INTRA ? 1 : 0) + (own[2] >= DC_ONLY_INTRA ? 2 : 0);
  if (slot) mc->smooth_dc[slot](above, own, below, threshold, dst, stride);
}

// DC smoothing of 8x8 row r (-1..3) of a full-resolution plane: two calls,
// columns 0-15 and 16-31.
void SmoothFullRow(const Pass &p, const uint16_t rows[FULL_ROWS][FULL_COLS], uint8_t *block,
                   int r) {
  const uint16_t *own = rows[r + 2];
  const uint16_t *above = (r == 0 && (p.flags & BLOCK_TOP_BAND)) ? own : rows[r + 1];
  const uint16_t *below = (r == 3) ? own : rows[r + 3];
  int32_t s = p.in->luma_stride;
  uint8_t *dst = block + intptr_t(8 * r) * s;
  SmoothPair(p.mc, above, own, below, p.in->threshold, dst, s);
  SmoothPair(p.mc, above + 2, own + 2, below + 2, p.in->threshold, dst + 16, s);
}

// DC smoothing of chroma 8x8 row r (-1..1): one 16x8 call.
void SmoothChromaRow(const Pass &p, const uint16_t rows[CHROMA_ROWS][CHROMA_COLS],
                     uint8_t *block, int r) {
  const uint16_t *own = rows[r + 2];
  const uint16_t *above = (r == 0 && (p.flags & BLOCK_TOP_BAND)) ? own : rows[r + 1];
  const uint16_t *below = (r == 1) ? own : rows[r + 3];
  int32_t s = p.in->chroma_stride;
  SmoothPair(p.mc, above, own, below, p.in->threshold, block + intptr_t(8 * r) * s, s);
}

void SmoothFullPlane(const Pass &p, const uint16_t rows[FULL_ROWS][FULL_COLS], uint8_t *block,
                     const Strips &s) {
  if (!block) return;
  if (s.above) SmoothFullRow(p, rows, block, -1);
  if (s.upper) {
    SmoothFullRow(p, rows, block, 0);
    SmoothFullRow(p, rows, block, 1);
  }
  if (s.lower) SmoothFullRow(p, rows, block, 2);
  if (s.last) SmoothFullRow(p, rows, block, 3);
}

// Vectors of the quadrants on each side of a vertical quadrant boundary in
// 8x8 row r: `outer` true for the block's left edge (x = 0).
void VerticalQuadrants(const Pass &p, int r, bool outer, const int32_t **left,
                       const int32_t **right) {
  const MotionVectorSet *own = r < 0 ? p.mv_above : p.mv;
  const MotionVectorSet *before = outer ? (r < 0 ? p.mv_above_left : p.mv_left) : own;
  int qrow = (r < 0 || r >= 2) ? 2 : 0;
  *left = Quadrant(before, qrow + (outer ? 1 : 0));
  *right = Quadrant(own, qrow + (outer ? 0 : 1));
}

// Column gating: true when the vertical edge at 8x8 column j is filtered.
inline bool ColumnEdgeOn(uint32_t f, int j) {
  switch (j) {
    case 0: return !(f & (BLOCK_SECOND | COL_EDGE_0));
    case 1: return !(f & COL_EDGE_8);
    case 2: return !(f & COL_EDGE_16);
    default: return !(f & COL_EDGE_24);
  }
}

// Vertical edges of the luma 8x8 row r (-1..3) of the filtered block.
void LumaVerticalEdges(const Pass &p, int r) {
  const uint16_t *row = p.w->luma[r + 2];
  int32_t s = p.in->luma_stride;
  uint8_t *strip = p.luma + intptr_t(8 * r) * s;
  for (int j = 0; j < 4; ++j) {
    if (!ColumnEdgeOn(p.flags, j)) continue;
    uint16_t a = row[j], b = row[j + 1];
    uint32_t code = 0;
    if (IsIntraPair(a, b)) {
      code = IntraEdgeCode(a, b);
    } else if (j == 0 || j == 2) {
      const int32_t *l, *rq;
      VerticalQuadrants(p, r, j == 0, &l, &rq);
      if (VectorsDiffer(l, rq)) code = EDGE_CODE_FULL;
    }
    if (code) p.edges->vertical_edge8(&EDGE_FILTER_MASKS[code], strip + 8 * j, uint32_t(s));
  }
}

// Vertical edges of chroma 8x8 row r (-1..1) in one chroma plane.
void ChromaVerticalEdges(const Pass &p, const uint16_t rows[CHROMA_ROWS][CHROMA_COLS],
                         uint8_t *block, int r) {
  const uint16_t *row = rows[r + 2];
  int32_t s = p.in->chroma_stride;
  uint8_t *strip = block + intptr_t(8 * r) * s;
  for (int j = 0; j < 2; ++j) {
    // The chroma edge at x = 8 follows the luma edge at x = 16.
    if (!ColumnEdgeOn(p.flags, j * 2)) continue;
    uint16_t a = row[j], b = row[j + 1];
    uint32_t code = 0;
    if (IsIntraPair(a, b)) {
      code = IntraEdgeCode(a, b);
    } else {
      const int32_t *l, *rq;
      VerticalQuadrants(p, r < 0 ? -1 : 2 * r, j == 0, &l, &rq);
      if (VectorsDiffer(l, rq)) code = EDGE_CODE_FULL;
    }
    if (code) p.edges->vertical_edge8(&EDGE_FILTER_MASKS[code], strip + 8 * j, uint32_t(s));
  }
}

void VerticalEdges(const Pass &p, int luma_row, int chroma_row) {
  if (p.flags & BLOCK_NO_COLUMN_EDGES) return;
  LumaVerticalEdges(p, luma_row);
  if (chroma_row >= -1) {
    ChromaVerticalEdges(p, p.w->chroma1, p.chroma1, chroma_row);
    ChromaVerticalEdges(p, p.w->chroma2, p.chroma2, chroma_row);
  }
}

// Nibble of one 8-pixel piece of a horizontal edge between words u (above)
// and d (below); when both are inter, only a quadrant boundary whose
// vectors differ is filtered.
inline uint32_t HorizontalNibble(uint16_t u, uint16_t d, const int32_t *qu, const int32_t *qd,
                                 bool quadrant_boundary) {
  if (IsIntraPair(u, d)) return IntraEdgeCode(u, d);
  if (quadrant_boundary && VectorsDiffer(qu, qd)) return EDGE_CODE_FULL;
  return 0;
}

// Code bytes of the luma edge at row 8 * (urow + 1), left and right 16
// columns.  urow is the 8x8 row above the edge (-2..2).
void LumaEdgeCodes(const Pass &p, int urow, uint32_t *left, uint32_t *right) {
  const uint16_t *up = p.w->luma[urow + 2];
  const uint16_t *down = p.w->luma[urow + 3];
  // Quadrant boundaries: row 0 (the band above against the block) and row
  // 16 (the block's upper quadrants against its lower ones).
  bool boundary = (urow == -1 || urow == 1);
  uint32_t nib[4];
  for (int j = 0; j < 4; ++j) {
    int h = j >> 1;  // left or right quadrant
    const int32_t *qu = nullptr, *qd = nullptr;
    if (urow == -1) {
      qu = Quadrant(p.mv_above, 2 + h);
      qd = Quadrant(p.mv, h);
    } else if (urow == 1) {
      qu = Quadrant(p.mv, h);
      qd = Quadrant(p.mv, 2 + h);
    }
    nib[j] = HorizontalNibble(up[1 + j], down[1 + j], qu, qd, boundary);
  }
  *left = nib[0] | (nib[1] << 4);
  *right = nib[2] | (nib[3] << 4);
}

// Code byte of a chroma plane's edge at chroma row 8 * (urow + 1), urow the
// 8x8 row above the edge (-2..0).  Every chroma 8x8 is a quadrant.
uint32_t ChromaEdgeCode(const Pass &p, const uint16_t rows[CHROMA_ROWS][CHROMA_COLS], int urow) {
  const uint16_t *up = rows[urow + 2];
  const uint16_t *down = rows[urow + 3];
  uint32_t code = 0;
  for (int j = 0; j < 2; ++j) {
    const int32_t *qu, *qd;
    if (urow == -2) {
      qu = Quadrant(p.mv_above, j);
      qd = Quadrant(p.mv_above, 2 + j);
    } else if (urow == -1) {
      qu = Quadrant(p.mv_above, 2 + j);
      qd = Quadrant(p.mv, j);
    } else {
      qu = Quadrant(p.mv, j);
      qd = Quadrant(p.mv, 2 + j);
    }
    code |= HorizontalNibble(up[1 + j], down[1 + j], qu, qd, true) << (4 * j);
  }
  return code;
}

inline void FilterCodeByte(const LoopFilterKernels *k, uint8_t *rows, int32_t stride,
                           uint32_t code) {
  if (code)
    k->horizontal_edge16(rows, stride, &EDGE_FILTER_MASKS[code & 15], &EDGE_FILTER_MASKS[code >> 4]);
}

// Writes a pair of code bytes at byte `pos` of the seam record's codes when
// the pair lies below `limit` (the end of its area) and inside the record.
void WriteSeamPair(const PostFilterInput *in, uint32_t pos, uint32_t limit, uint32_t a,
                   uint32_t b) {
  if (!in->seam || uint64_t(pos) + 2 > limit || limit > in->seam_capacity) return;
  uint8_t *codes = SeamRecordCodes(in->seam);
  codes[pos] = uint8_t(a);
  codes[pos + 1] = uint8_t(b);
  in->seam->has_codes += 2;
}

// Horizontal edges of the filtered block: the left 16 luma columns at once,
// the right 16 luma columns and all of chroma as code bytes for the next
// call; seam edges into the seam record.
void HorizontalEdges(const Pass &p, DeferredEdgeCodes *next) {
  uint32_t f = p.flags;
  const PostFilterInput *in = p.in;
  int32_t s = in->luma_stride;
  uint32_t columns = in->seam_capacity / 4;  // block columns a seam record covers
  uint32_t luma_pos = 2 * p.block;
  uint32_t chroma_pos = 2 * columns + 2 * p.block;
  bool above = !(f & (BLOCK_TOP_BAND | BLOCK_RUN_FIRST_BAND));
  bool lower = !(f & (BLOCK_LOWER_OUTSIDE | BLOCK_EXTRA_BAND));
  next->word[0] = next->word[1] = next->word[2] = 0;

  // Luma rows -8, 0, 8, 16, 24: whether each edge is filtered.
  bool on[5] = {
      above && !(f & ROW_EDGE_M8),
      above && !(f & ROW_EDGE_0),
      !(f & BLOCK_RUN_FIRST_BAND) && !(f & ROW_EDGE_8),
      lower && !(f & ROW_EDGE_16),
      lower && (f & BLOCK_BOTTOM_BAND) && !(f & ROW_EDGE_24),
  };
  for (int e = 0; e < 5; ++e) {
    if (!on[e]) continue;
    uint32_t left, right;
    LumaEdgeCodes(p, e - 2, &left, &right);
    if (e == 3 && (f & BLOCK_RUN_FIRST_BAND)) {
      // The edge between the two halves of a band that another run shares:
      // its upper rows are not ours, so the seam smoothing does it after the
      // frame.
      WriteSeamPair(in, luma_pos, 2 * columns, left, right);
      continue;
    }
    FilterCodeByte(p.edges, p.luma + intptr_t(8 * (e - 1) - 2) * s, s, left);
    if (e < 4)
      next->word[0] |= right << (8 * e);
    else
      next->word[1] |= right << 24;
  }

  // Chroma rows -8, 0, 8.
  bool chroma_on[3] = {
      above && !(f & ROW_EDGE_CHROMA_M8),
      above && !(f & ROW_EDGE_0),
      lower && (f & BLOCK_BOTTOM_BAND) && !(f & ROW_EDGE_16),
  };
  for (int e = 0; e < 3; ++e) {
    if (!chroma_on[e]) continue;
    uint32_t c1 = ChromaEdgeCode(p, p.w->chroma1, e - 2);
    uint32_t c2 = ChromaEdgeCode(p, p.w->chroma2, e - 2);
    bool seam = (e == 0 && (f & BLOCK_AFTER_RUN_FIRST)) || (e == 2 && (f & BLOCK_RUN_FIRST_BAND));
    if (seam) {
      WriteSeamPair(in, chroma_pos, 4 * columns, c1, c2);
      continue;
    }
    next->word[1] |= c1 << (8 * e);
    next->word[2] |= c2 << (8 * e);
  }
}

void RunPass(const Pass &p) {
  PostFilterWindow *w = p.w;
  Strips s = StripsOf(p.flags);

  // Alpha and the extra plane: DC smoothing only.
  if (p.in->alpha_words) SmoothFullPlane(p, w->alpha, p.alpha, s);
  if (p.in->extra_words) SmoothFullPlane(p, w->extra, p.extra, s);

  // Luma and chroma, strip by strip: smoothing, then the strip's vertical
  // edges.
  if (s.above) {
    SmoothFullRow(p, w->luma, p.luma, -1);
    SmoothChromaRow(p, w->chroma1, p.chroma1, -1);
    SmoothChromaRow(p, w->chroma2, p.chroma2, -1);
    VerticalEdges(p, -1, -1);
  }
  if (s.upper) {
    SmoothFullRow(p, w->luma, p.luma, 0);
    SmoothFullRow(p, w->luma, p.luma, 1);
    SmoothChromaRow(p, w->chroma1, p.chroma1, 0);
    SmoothChromaRow(p, w->chroma2, p.chroma2, 0);
    VerticalEdges(p, 0, 0);
    VerticalEdges(p, 1, -2);
  }
  if (s.lower) {
    SmoothFullRow(p, w->luma, p.luma, 2);
    VerticalEdges(p, 2, -2);
  }
  if (s.last) {
    SmoothFullRow(p, w->luma, p.luma, 3);
    SmoothChromaRow(p, w->chroma1, p.chroma1, 1);
    SmoothChromaRow(p, w->chroma2, p.chroma2, 1);
    VerticalEdges(p, 3, 1);
  }

  // Horizontal edges: first those the previous call left for the block
  // before, now that this block's left edge is done, then this block's.
  DeferredEdgeCodes next = {{0, 0, 0}};
  if (!(p.flags & BLOCK_NO_ROW_EDGES)) {
    FilterDeferredEdgesWith(p.edges, p.luma, p.chroma1, p.chroma2, &w->codes, p.in->luma_stride,
                            p.in->chroma_stride);
    HorizontalEdges(p, &next);
  }
  w->codes = next;

  // The band below reads the block's last two 8x8 rows.
  const PostFilterInput *in = p.in;
  WriteBackFull(w->luma, in->luma_rows, in->full_row_offset, p.block);
  if (in->alpha_words) WriteBackFull(w->alpha, in->alpha_rows, in->full_row_offset, p.block);
  if (in->extra_words) WriteBackFull(w->extra, in->extra_rows, in->full_row_offset, p.block);
  WriteBackChroma(w->chroma1, in->chroma1_rows, in->chroma_row_offset, p.block);
  WriteBackChroma(w->chroma2, in->chroma2_rows, in->chroma_row_offset, p.block);
}

// Moves every plane's window on by one block; `incoming` false brings in
// zeros (the flush after the last block).
void ShiftWindow(PostFilterWindow *w, const PostFilterInput *in, bool reset, bool incoming) {
  uint32_t b = w->column;
  ShiftFull(w->luma, incoming ? in->luma_words : nullptr, incoming ? in->luma_rows : nullptr,
            in->full_row_offset, b, reset);
  if (in->alpha_words)
    ShiftFull(w->alpha, incoming ? in->alpha_words : nullptr,
              incoming ? in->alpha_rows : nullptr, in->full_row_offset, b, reset);
  if (in->extra_words)
    ShiftFull(w->extra, incoming ? in->extra_words : nullptr,
              incoming ? in->extra_rows : nullptr, in->full_row_offset, b, reset);
  ShiftChroma(w->chroma1, incoming ? in->chroma1_words : nullptr,
              incoming ? in->chroma1_rows : nullptr, in->chroma_row_offset, b, reset);
  ShiftChroma(w->chroma2, incoming ? in->chroma2_words : nullptr,
              incoming ? in->chroma2_rows : nullptr, in->chroma_row_offset, b, reset);
}

inline uint8_t *Offset(uint8_t *p, intptr_t d) { return p ? p + d : nullptr; }
inline const MotionVectorSet *EntryOffset(const MotionVectorSet *p, intptr_t entries) {
  return p ? p + entries : nullptr;
}

// Sets up a pass over the block `back` blocks left of the newest one.
Pass MakePass(const McKernelTable *mc, const LoopFilterKernels *edges, PostFilterWindow *w,
              const PostFilterInput *in, uint32_t flags, intptr_t back) {
  Pass p;
  p.mc = mc;
  p.edges = edges;
  p.w = w;
  p.in = in;
  p.flags = flags;
  p.block = w->column - uint32_t(back);
  p.luma = Offset(in->luma, -32 * back);
  p.alpha = Offset(in->alpha, -32 * back);
  p.extra = Offset(in->extra, -32 * back);
  p.chroma1 = Offset(in->chroma1, -16 * back);
  p.chroma2 = Offset(in->chroma2, -16 * back);
  p.mv = EntryOffset(in->vectors, -back);
  p.mv_left = EntryOffset(in->vectors, -back - 1);
  p.mv_above = EntryOffset(in->above_vectors, -back);
  p.mv_above_left = EntryOffset(in->above_vectors, -back - 1);
  return p;
}

}  // namespace

void PostFilterBlockWith(const McKernelTable *mc, const LoopFilterKernels *edges,
                         PostFilterWindow *window, const PostFilterInput *in) {
  uint32_t f = in->flags;
  if (f & BLOCK_FIRST) {
    window->column = 0;
    window->codes.word[0] = window->codes.word[1] = window->codes.word[2] = 0;
    ShiftWindow(window, in, true, true);
  } else {
    window->column += 1;
    ShiftWindow(window, in, false, true);
    RunPass(MakePass(mc, edges, window, in, f, 1));
  }
  if (!(f & BLOCK_LAST)) return;

  // Flush: the newest block itself, with nothing to its right.
  ShiftWindow(window, in, false, false);
  uint32_t flush = (f & ~(COLUMN_NIBBLE_LEFT | BLOCK_SECOND | BLOCK_FIRST | BLOCK_LAST)) |
                   ((f & COLUMN_NIBBLE_OWN) >> 4) | ((f & BLOCK_FIRST) ? uint32_t(BLOCK_SECOND) : 0u);
  RunPass(MakePass(mc, edges, window, in, flush, 0));
  // Its right 16 luma columns and its chroma have no later call to wait for.
  if (!(flush & BLOCK_NO_ROW_EDGES)) {
    FilterDeferredEdgesWith(edges, in->luma + 32, in->chroma1 + 16, in->chroma2 + 16,
                            &window->codes, in->luma_stride, in->chroma_stride);
  }
  window->codes.word[0] = window->codes.word[1] = window->codes.word[2] = 0;
}

void PostFilterBlock(PostFilterWindow *window, const PostFilterInput *in) {
  PostFilterBlockWith(&MC_KERNEL_TABLE, GetLoopFilterKernels(), window, in);
}
