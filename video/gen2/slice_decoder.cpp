// Second-generation slice decoder: the band and block walk of one run of
// slices, the block flags, the block types and what each does in each plane,
// the context rows of the band above and the quantiser prediction.
#include "video/gen2/slice_decoder.h"

#include <cstring>

#include "engine/platform/alloc.h"
#include "video/gen2/arith.h"
#include "video/gen2/bitreader.h"
#include "video/gen2/coeffs.h"
#include "video/gen2/mc.h"
#include "video/gen2/motion.h"
#include "video/gen2/postfilter.h"
#include "video/gen2/reconstruct.h"
#include "video/gen2/transform.h"

// ---- frame data ---------------------------------------------------------------

uint32_t ReadVideoWord(const uint8_t *video, const uint8_t *video_end, uint64_t offset) {
  if (!video || video_end <= video) return 0;
  const uint64_t size = uint64_t(video_end - video);
  if (offset >= size) return 0;
  uint32_t w = 0;
  const uint64_t avail = size - offset;
  std::memcpy(&w, video + offset, avail >= 4 ? 4 : size_t(avail));
  return w;
}

static uint64_t SliceHeaderBytes(uint32_t slice_count) {
  return slice_count < 3 ? 8 : 4 * uint64_t(slice_count);
}

uint64_t SliceStreamOffset(const uint8_t *video, const uint8_t *video_end, uint32_t slice_count,
                           uint32_t s) {
  const uint64_t header = SliceHeaderBytes(slice_count);
  if (s == 0) return header;
  const uint64_t size = video && video_end > video ? uint64_t(video_end - video) : 0;
  const uint64_t offset = ReadVideoWord(video, video_end, 4 * uint64_t(s));
  if (offset < header || offset >= size) return UINT64_MAX;
  return offset;
}

// ---- per-thread working memory -----------------------------------------------

namespace {

struct ThreadScratch {
  uint8_t *memory = nullptr;
  uint64_t size = 0;
  ~ThreadScratch() { AlignedFree(memory); }
};

thread_local ThreadScratch t_scratch;

}  // namespace

uint8_t *GetRunScratch(uint64_t bytes) {
  if (bytes <= t_scratch.size) return t_scratch.memory;
  AlignedFree(t_scratch.memory);
  t_scratch.size = 0;
  // Grown with some slack so that a slightly larger frame does not reallocate.
  const uint64_t want = bytes + bytes / 4 + 4096;
  t_scratch.memory = static_cast<uint8_t *>(AlignedAlloc(want));
  if (!t_scratch.memory) return nullptr;
  t_scratch.size = want;
  return t_scratch.memory;
}

// ---- the run ------------------------------------------------------------------

namespace {

enum : uint32_t {
  CBP_INTRA_LUMA = 0,
  CBP_INTRA_ALPHA = 1,
  CBP_INTRA_EXTRA = 2,
  CBP_INTRA_CHROMA1 = 3,
  CBP_INTRA_CHROMA2 = 4,
  CBP_INTER_LUMA = 5,
  CBP_INTER_ALPHA = 6,
  CBP_INTER_EXTRA = 7,
  CBP_INTER_CHROMA1 = 8,
  CBP_INTER_CHROMA2 = 9,
  CBP_COUNT = 10,
};

// One full-resolution plane (luma, alpha, extra) or one chroma plane of the
// run: where it is written, what it predicts from and its block state.
struct RunPlane {
  uint8_t *dst;         // plane being written, null when it has no memory
  const uint8_t *ref;   // reference plane, null when it has no memory
  int32_t *grid;        // DC grid kept from block to block
  uint16_t *words;      // SubblockWords of the current block
  uint8_t *scratch;     // half-block scratch (stride 16)
  uint16_t *rows;       // post-filter word rows: bottom 8x8 row of the band above
  bool decoded;         // the plane's syntax is present in the stream
};

struct RunState {
  uint32_t width, height, columns;
  int32_t luma_stride, chroma_stride;
  uint32_t frame_flags;
  bool key;
  bool constant_alpha;
  uint8_t alpha_value;
  HalfPelKernels hpel;

  RunPlane luma, chroma1, chroma2, alpha, extra;

  MotionVectorSet *mv_cur, *mv_above;  // entry -1 exists (the left spare)
  uint8_t *q_cur, *q_above;            // pairs (intra, inter); pair -1 exists
  const uint8_t *row_bits, *column_bits;

  int32_t grid_luma[16], grid_chroma1[4], grid_chroma2[4], grid_alpha[16], grid_extra[16];
  alignas(16) uint16_t words_luma[16];
  alignas(16) uint16_t words_chroma1[4];
  alignas(16) uint16_t words_chroma2[4];
  alignas(16) uint16_t words_alpha[16];
  alignas(16) uint16_t words_extra[16];
  alignas(16) uint8_t scratch_luma[256];
  alignas(16) uint8_t scratch_alpha[256];
  alignas(16) uint8_t scratch_extra[256];
  alignas(16) uint8_t scratch_chroma1[128];
  alignas(16) uint8_t scratch_chroma2[128];
  alignas(16) uint16_t threshold[8];

  uint32_t cbp[CBP_COUNT];
  uint8_t types[4];
  BitReader reader;
  PostFilterWindow window;
  PostFilterInput filter;
};

inline uint32_t Nibble(const uint8_t *bits, uint32_t i) { return (bits[i >> 1] >> ((i & 1) * 4)) & 15; }

inline bool IsIntraWord(uint16_t w) { return (w & SUBBLOCK_INTRA) != 0; }

// Which half of a block's right 16 columns goes to the half-block scratch when
// a block is copied or motion-predicted: -1 none, 0 upper, 1 lower.  With 0x1
// the scratch receives the upper half's right part in place of the lower's.
inline int ScratchHalf(uint32_t flags) {
  if (flags & BLOCK_LOWER_OUTSIDE) return 0;
  if (flags & BLOCK_EXTRA_BAND) return 1;
  if (flags & BLOCK_RUN_FIRST_BAND) return 0;
  return -1;
}

inline bool HalfStored(uint32_t flags, uint32_t half) {
  return half == 0 ? UpperHalfStored(flags) : LowerHalfStored(flags);
}

// ---- DC context ---------------------------------------------------------------

// Left column of a full-resolution grid from the left block's pixels, where
// that block was not intra.
void FillLeftFull(RunPlane *p, uint32_t x, uint32_t y, int32_t stride, uint32_t flags) {
  static const uint32_t kLeftColumn[4] = {5, 7, 13, 15};
  for (uint32_t r = 0; r < 4; ++r) {
    const uint32_t idx = kLeftColumn[r];
    if (IsIntraWord(p->words[idx])) continue;
    if (!p->dst) {
      p->grid[idx] = 0;
      continue;
    }
    if (HalfStored(flags, r >> 1))
      AverageBlock8x8(&p->grid[idx], p->dst + int64_t(y + 8 * r) * stride + x - 8, stride);
    else
      AverageBlock8x8(&p->grid[idx], p->scratch + ((8 * r) & 15) * 16 + 8, 16);
  }
}

void FillLeftChroma(RunPlane *p, uint32_t cx, uint32_t cy, int32_t stride, uint32_t flags) {
  for (uint32_t r = 0; r < 2; ++r) {
    const uint32_t idx = 2 * r + 1;
    if (IsIntraWord(p->words[idx])) continue;
    if (!p->dst) {
      p->grid[idx] = 0;
      continue;
    }
    if (HalfStored(flags, r))
      AverageBlock8x8(&p->grid[idx], p->dst + int64_t(cy + 8 * r) * stride + cx - 8, stride);
    else
      AverageBlock8x8(&p->grid[idx], p->scratch + 8, 16);
  }
}

// Context of a block: above-left, then the n 8x8 columns above (4 for a
// full-resolution plane, 2 for chroma).
void AboveContext(const RunPlane *p, uint32_t x, uint32_t y, int32_t stride, bool has_left, uint32_t n,
                  int32_t *context) {
  const uint16_t *row = p->rows + x / 8;
  if (!p->dst) {
    for (uint32_t i = 0; i <= n; ++i) context[i] = 0;
    return;
  }
  const uint8_t *above = p->dst + int64_t(y - 8) * stride + x;
  context[0] = 0;
  if (has_left) {
    if (IsIntraWord(row[-1]))
      context[0] = SubblockWordDc(row[-1]);
    else
      AverageBlock8x8(&context[0], above - 8, stride);
  }
  bool all_intra = true;
  for (uint32_t i = 0; i < n; ++i) all_intra = all_intra && IsIntraWord(row[i]);
  if (all_intra) {
    for (uint32_t i = 0; i < n; ++i) context[1 + i] = SubblockWordDc(row[i]);
    return;
  }
  int32_t strip[4];
  if (n == 4)
    AverageStrip32x8(strip, above, stride);
  else
    AverageBlock16x8(strip, above, stride);
  for (uint32_t i = 0; i < n; ++i) context[1 + i] = IsIntraWord(row[i]) ? SubblockWordDc(row[i]) : strip[i];
}

// ---- block types ----------------------------------------------------------------

void SkipFull(RunPlane *p, uint32_t x, uint32_t y, int32_t s, uint32_t flags) {
  if (!p->dst || !p->ref) return;
  for (uint32_t half = 0; half < 2; ++half) {
    if (!HalfStored(flags, half)) continue;
    const int64_t o = int64_t(y + 16 * half) * s + x;
    CopyBlock16x16(p->dst + o, s, p->ref + o, s);
    CopyBlock16x16(p->dst + o + 16, s, p->ref + o + 16, s);
  }
  const int half = ScratchHalf(flags);
  if (half >= 0) CopyBlock16x16(p->scratch, 16, p->ref + int64_t(y + 16 * half) * s + x + 16, s);
}

void SkipChroma(RunPlane *p, uint32_t cx, uint32_t cy, int32_t s, uint32_t flags) {
  if (!p->dst || !p->ref) return;
  for (uint32_t half = 0; half < 2; ++half) {
    if (!HalfStored(flags, half)) continue;
    const int64_t o = int64_t(cy + 8 * half) * s + cx;
    CopyBlock16x8(p->dst + o, s, p->ref + o, s);
  }
  const int half = ScratchHalf(flags);
  if (half >= 0) CopyBlock16x8(p->scratch, 16, p->ref + int64_t(cy + 8 * half) * s + cx, s);
}

void MotionFull(RunPlane *p, const HalfPelKernels *k, const QuadrantPositions *pos, uint32_t x,
                uint32_t y, int32_t s, uint32_t flags) {
  if (!p->dst || !p->ref) return;
  const int scratch_half = ScratchHalf(flags);
  for (uint32_t q = 0; q < 4; ++q) {
    const uint32_t half = q >> 1;
    const bool stored = HalfStored(flags, half);
    const bool to_scratch = (q & 1) && scratch_half == int(half);
    if (!stored && !to_scratch) continue;
    const uint32_t px = pos->p[2 * q], py = pos->p[2 * q + 1];
    const uint8_t *src = p->ref + int64_t(py >> 1) * s + (px >> 1);
    const McKernel kernel = k->k[2 * (px & 1) + (py & 1)];
    if (stored) kernel(src, p->dst + int64_t(y + 16 * half) * s + x + 16 * (q & 1), s, s);
    if (to_scratch) kernel(src, p->scratch, s, 16);
  }
}

void MotionChroma(RunPlane *p, const QuadrantPositions *pos, uint32_t cx, uint32_t cy, int32_t s,
                  uint32_t flags) {
  if (!p->dst || !p->ref) return;
  const int scratch_half = ScratchHalf(flags);
  for (uint32_t q = 0; q < 4; ++q) {
    const uint32_t half = q >> 1;
    const bool stored = HalfStored(flags, half);
    const bool to_scratch = (q & 1) && scratch_half == int(half);
    if (!stored && !to_scratch) continue;
    const uint32_t px = pos->p[2 * q], py = pos->p[2 * q + 1];
    const uint8_t *src = p->ref + int64_t(py >> 2) * s + (px >> 2);
    const McKernel kernel = MC_KERNEL_TABLE.qpel[4 * (px & 3) + (py & 3)];
    if (stored) kernel(src, p->dst + int64_t(cy + 8 * half) * s + cx + 8 * (q & 1), s, s);
    if (to_scratch) kernel(src, p->scratch + 8, s, 16);
  }
}

inline uint8_t *BlockAt(uint8_t *plane, uint32_t x, uint32_t y, int32_t s) {
  return plane ? plane + int64_t(y) * s + x : nullptr;
}

// One 32x32 block at column j of the band at row y.
void DecodeBlock(RunState *r, uint32_t j, uint32_t y, uint32_t flags, uint8_t *quant) {
  const uint32_t x = 32 * j, cx = 16 * j, cy = y / 2;
  const int32_t s = r->luma_stride, cs = r->chroma_stride;
  const uint32_t dflags = (flags & BLOCK_DECODER_BITS) | (r->frame_flags & BLOCK_FLAG_WIDE_DC);
  MotionVectorSet *mv = &r->mv_cur[j];
  const MotionVectorSet *mv_above = &r->mv_above[j];
  BitReader *reader = &r->reader;
  RunPlane *full[3] = {&r->luma, &r->alpha, &r->extra};
  RunPlane *chroma[2] = {&r->chroma1, &r->chroma2};

  const uint8_t type = r->key ? uint8_t(BLOCK_TYPE_INTRA) : ReadAdaptiveListSymbol(reader, r->types);
  if (type == BLOCK_TYPE_INTRA) {
    const bool has_left = !(flags & BLOCK_FIRST);
    const bool has_above = !(flags & (BLOCK_TOP_BAND | BLOCK_SLICE_TOP));
    int32_t context_full[3][5] = {};
    int32_t context_chroma[2][3] = {};
    for (int i = 0; i < 3; ++i) {
      if (!full[i]->decoded) continue;
      if (has_left) FillLeftFull(full[i], x, y, s, flags);
      if (has_above) AboveContext(full[i], x, y, s, has_left, 4, context_full[i]);
    }
    for (int i = 0; i < 2; ++i) {
      if (has_left) FillLeftChroma(chroma[i], cx, cy, cs, flags);
      if (has_above) AboveContext(chroma[i], cx, cy, cs, has_left, 2, context_chroma[i]);
    }
    quant[0] = uint8_t(ReadSignedDelta(reader, quant[0]));
    const int32_t qi = quant[0];
    DecodeIntraPlaneBlock(r->luma.grid, context_full[0], BlockAt(r->luma.dst, x, y, s), uint32_t(s),
                          reader, r->luma.words, dflags, qi, &r->cbp[CBP_INTRA_LUMA]);
    DecodeIntraChromaBlock(r->chroma1.grid, context_chroma[0], BlockAt(r->chroma1.dst, cx, cy, cs),
                           uint32_t(cs), reader, r->chroma1.words, dflags, qi,
                           &r->cbp[CBP_INTRA_CHROMA1]);
    DecodeIntraChromaBlock(r->chroma2.grid, context_chroma[1], BlockAt(r->chroma2.dst, cx, cy, cs),
                           uint32_t(cs), reader, r->chroma2.words, dflags, qi,
                           &r->cbp[CBP_INTRA_CHROMA2]);
    if (r->alpha.decoded)
      DecodeIntraPlaneBlock(r->alpha.grid, context_full[1], BlockAt(r->alpha.dst, x, y, s),
                            uint32_t(s), reader, r->alpha.words, dflags, qi,
                            &r->cbp[CBP_INTRA_ALPHA]);
    if (r->extra.decoded)
      DecodeIntraPlaneBlock(r->extra.grid, context_full[2], BlockAt(r->extra.dst, x, y, s),
                            uint32_t(s), reader, r->extra.words, dflags, qi,
                            &r->cbp[CBP_INTRA_EXTRA]);
    if (!r->key)
      PredictMotionVectors(flags, mv, mv_above);
    else
      std::memset(mv, 0, sizeof(*mv));
    return;
  }

  for (RunPlane *p : {&r->luma, &r->chroma1, &r->chroma2, &r->alpha, &r->extra})
    std::memset(p->words, 0, (p == &r->chroma1 || p == &r->chroma2 ? 4 : 16) * sizeof(uint16_t));

  if (type == BLOCK_TYPE_SKIP) {
    for (int i = 0; i < 3; ++i)
      if (full[i]->decoded) SkipFull(full[i], x, y, s, flags);
    SkipChroma(&r->chroma1, cx, cy, cs, flags);
    SkipChroma(&r->chroma2, cx, cy, cs, flags);
    std::memset(mv, 0, sizeof(*mv));
    return;
  }

  DecodeMotionVectors(reader, mv, mv_above, flags);
  QuadrantPositions pos;
  ClampMotionVectors(&pos, r->luma.ref, r->chroma1.ref, r->chroma2.ref, x, y, uint32_t(s),
                     uint32_t(cs), mv, flags, 2 * r->width, 2 * r->height);
  if (type == BLOCK_TYPE_MOTION) {
    for (int i = 0; i < 3; ++i)
      if (full[i]->decoded) MotionFull(full[i], &r->hpel, &pos, x, y, s, flags);
    MotionChroma(&r->chroma1, &pos, cx, cy, cs, flags);
    MotionChroma(&r->chroma2, &pos, cx, cy, cs, flags);
    return;
  }

  // Motion and residual.
  quant[1] = uint8_t(ReadSignedDelta(reader, quant[1]));
  const int32_t qi = quant[1];
  DecodeInterPlaneBlock(BlockAt(r->luma.dst, x, y, s), r->luma.dst ? r->luma.ref : nullptr,
                        uint32_t(s), uint32_t(s), reader, dflags, &pos, qi,
                        &r->cbp[CBP_INTER_LUMA], r->luma.scratch, &r->hpel);
  if (ReadBit(reader)) {
    for (int i = 0; i < 2; ++i) {
      RunPlane *p = chroma[i];
      DecodeInterChromaBlock(BlockAt(p->dst, cx, cy, cs), p->ref, uint32_t(cs), uint32_t(cs),
                             reader, &pos, dflags, qi, &r->cbp[CBP_INTER_CHROMA1 + i], p->scratch);
    }
  } else {
    r->cbp[CBP_INTER_CHROMA1] = 0;
    r->cbp[CBP_INTER_CHROMA2] = 0;
    MotionChroma(&r->chroma1, &pos, cx, cy, cs, flags);
    MotionChroma(&r->chroma2, &pos, cx, cy, cs, flags);
  }
  if (r->alpha.decoded)
    DecodeInterPlaneBlock(BlockAt(r->alpha.dst, x, y, s), r->alpha.dst ? r->alpha.ref : nullptr,
                          uint32_t(s), uint32_t(s), reader, dflags, &pos, qi,
                          &r->cbp[CBP_INTER_ALPHA], r->alpha.scratch, &r->hpel);
  if (r->extra.decoded)
    DecodeInterPlaneBlock(BlockAt(r->extra.dst, x, y, s), r->extra.dst ? r->extra.ref : nullptr,
                          uint32_t(s), uint32_t(s), reader, dflags, &pos, qi,
                          &r->cbp[CBP_INTER_EXTRA], r->extra.scratch, &r->hpel);
}

void FillConstantAlpha(RunState *r, uint32_t y, uint32_t flags) {
  uint8_t *plane = r->alpha.dst;
  if (!plane) return;
  const int32_t s = r->luma_stride;
  for (uint32_t half = 0; half < 2; ++half) {
    if (!HalfStored(flags, half)) continue;
    for (uint32_t row = y + 16 * half; row < y + 16 * half + 16 && row < r->height; ++row)
      std::memset(plane + int64_t(row) * s, r->alpha_value, r->width);
  }
}

// One band of 32 luma rows at row y.  seam: the record of the run's first
// boundary, used by the post-filter in the bands flagged 0x4 and 0x10.
void DecodeBand(RunState *r, uint32_t y, uint32_t band_flags, SeamRecord *seam) {
  if (y + 32 >= r->height) band_flags |= BLOCK_BOTTOM_BAND;
  if (y + 32 > r->height) band_flags |= BLOCK_LOWER_OUTSIDE;
  const uint32_t band = y / 32;
  band_flags |= Nibble(r->row_bits, band) << 28;
  if (band > 0 && !(band_flags & BLOCK_TOP_BAND)) band_flags |= (Nibble(r->row_bits, band - 1) >> 2) << 26;
  band_flags |= r->frame_flags & BLOCK_FRAME_BITS;
  if (r->key) band_flags |= BLOCK_KEY;

  r->types[0] = 2;
  r->types[1] = 3;
  r->types[2] = 1;
  r->types[3] = 0;
  for (uint32_t i = 0; i < CBP_COUNT; ++i) r->cbp[i] = 0;
  const bool no_above = (band_flags & (BLOCK_TOP_BAND | BLOCK_SLICE_TOP)) != 0;
  uint8_t quant[2];
  if (no_above) {
    quant[0] = 16;
    quant[1] = 16;
  } else {
    quant[0] = r->q_above[0];
    quant[1] = r->q_above[1];
  }
  if (r->constant_alpha) FillConstantAlpha(r, y, band_flags);

  // A band that stores nothing leaves nothing in the seam record.
  const bool stores_nothing = !UpperHalfStored(band_flags) && !LowerHalfStored(band_flags);
  r->filter.seam =
      (band_flags & (BLOCK_RUN_FIRST_BAND | BLOCK_AFTER_RUN_FIRST)) && !stores_nothing ? seam : nullptr;

  const int32_t s = r->luma_stride, cs = r->chroma_stride;
  for (uint32_t j = 0; j < r->columns; ++j) {
    const uint32_t x = 32 * j;
    uint32_t flags = band_flags;
    if (j == 0) flags |= BLOCK_FIRST;
    if (j == 1) flags |= BLOCK_SECOND;
    if (x + 32 >= r->width) flags |= BLOCK_LAST;
    if (j > 0) flags |= Nibble(r->column_bits, j - 1) << 18;
    flags |= Nibble(r->column_bits, j) << 22;

    DecodeBlock(r, j, y, flags, quant);

    PostFilterInput *f = &r->filter;
    f->flags = flags;
    f->luma = BlockAt(r->luma.dst, x, y, s);
    f->chroma1 = BlockAt(r->chroma1.dst, x / 2, y / 2, cs);
    f->chroma2 = BlockAt(r->chroma2.dst, x / 2, y / 2, cs);
    f->alpha = r->alpha.decoded ? BlockAt(r->alpha.dst, x, y, s) : nullptr;
    f->extra = r->extra.decoded ? BlockAt(r->extra.dst, x, y, s) : nullptr;
    f->vectors = &r->mv_cur[j];
    f->above_vectors = &r->mv_above[j];
    PostFilterBlock(&r->window, f);

    // Quantisers of this block (the coded kind replaced), and the
    // prediction for the next block.
    uint8_t *stored = r->q_cur + 2 * j;
    stored[0] = quant[0];
    stored[1] = quant[1];
    if (!no_above) {
      for (int k = 0; k < 2; ++k)
        quant[k] = uint8_t(Median3(r->q_above[2 * j + k], r->q_above[2 * (j + 1) + k], stored[k]));
    }
  }
  MotionVectorSet *mv = r->mv_cur;
  r->mv_cur = r->mv_above;
  r->mv_above = mv;
  uint8_t *q = r->q_cur;
  r->q_cur = r->q_above;
  r->q_above = q;
}

inline uint64_t Align64(uint64_t v) { return (v + 63) & ~uint64_t(63); }

}  // namespace

bool HasAlphaPlane(const FrameBufferSet *buffers) {
  if (!buffers || buffers->set_count == 0 || buffers->set_count > 3) return false;
  const uint32_t ref_set = buffers->current_set % buffers->set_count;
  const uint32_t dst_set = (buffers->current_set + 1) % buffers->set_count;
  return buffers->sets[dst_set][PLANE_ALPHA].pixels && buffers->sets[ref_set][PLANE_ALPHA].pixels;
}

int DecodeVideoSlice(FrameBufferSet *buffers, const uint8_t *video, uint32_t alpha_flag,
                     uint32_t extra_flag, uint32_t key_flag, const uint8_t *video_end,
                     const SliceLayout *layout, uint32_t first, uint32_t count,
                     uint8_t *seam_records) {
  const uint32_t frame_flags = ReadVideoWord(video, video_end, 0);
  if (!(frame_flags & FRAME_VALID)) return 0;
  if (!buffers || !layout || buffers->set_count == 0 || buffers->set_count > 3) return 0;
  const uint32_t width = buffers->luma_width, height = buffers->luma_height;
  if (width == 0 || height == 0 || (width & 31) || (height & 15)) return 1;
  uint32_t slice_count = layout->slice_count;
  if (slice_count == 0 || slice_count > MAX_SLICES) return 1;
  if (first >= slice_count || count == 0) return 1;
  if (count > slice_count - first) count = slice_count - first;

  const uint32_t ref_set = buffers->current_set % buffers->set_count;
  const uint32_t dst_set = (buffers->current_set + 1) % buffers->set_count;
  const PlaneBuffer *dst = buffers->sets[dst_set];
  const PlaneBuffer *ref = buffers->sets[ref_set];
  if (!dst[PLANE_LUMA].pixels || !dst[PLANE_CHROMA1].pixels || !dst[PLANE_CHROMA2].pixels ||
      !ref[PLANE_LUMA].pixels || !ref[PLANE_CHROMA1].pixels || !ref[PLANE_CHROMA2].pixels)
    return 1;

  const uint32_t columns = width / 32;
  // Working storage: motion-vector and quantiser rows (a spare entry at each
  // end), the post-filter's word rows (two 8x8 rows per plane), the bitmaps.
  const uint64_t mv_row = uint64_t(columns + 2) * sizeof(MotionVectorSet);
  const uint64_t q_row = uint64_t(columns + 2) * 2;
  const uint64_t full_words = uint64_t(columns) * 4 + 2, chroma_words = uint64_t(columns) * 2 + 2;
  const uint64_t row_bytes = uint64_t(height) / 64 + 2, column_bytes = uint64_t(width) / 64 + 2;
  const uint64_t size = 2 * Align64(mv_row) + 2 * Align64(q_row) +
                        3 * Align64(2 * full_words * 2) + 2 * Align64(2 * chroma_words * 2) +
                        Align64(row_bytes) + Align64(column_bytes);
  uint8_t *memory = GetRunScratch(size);
  if (!memory) return 0;
  std::memset(memory, 0, size);
  uint8_t *cursor = memory;
  auto take = [&cursor](uint64_t bytes) {
    uint8_t *p = cursor;
    cursor += Align64(bytes);
    return p;
  };

  RunState r;
  std::memset(&r, 0, sizeof(r));
  r.width = width;
  r.height = height;
  r.columns = columns;
  r.luma_stride = int32_t(buffers->sets[0][PLANE_LUMA].stride);
  r.chroma_stride = int32_t(buffers->sets[0][PLANE_CHROMA1].stride);
  r.frame_flags = frame_flags;
  r.key = key_flag != 0;
  for (int i = 0; i < 4; ++i) r.hpel.k[i] = ACTIVE_HALFPEL_KERNELS[i].load(std::memory_order_relaxed);

  MotionVectorSet *mv0 = reinterpret_cast<MotionVectorSet *>(take(mv_row));
  MotionVectorSet *mv1 = reinterpret_cast<MotionVectorSet *>(take(mv_row));
  r.mv_cur = mv0 + 1;
  r.mv_above = mv1 + 1;
  r.q_cur = take(q_row) + 2;
  r.q_above = take(q_row) + 2;

  const bool alpha_plane = HasAlphaPlane(buffers);
  const bool extra_plane = dst[PLANE_EXTRA].pixels && ref[PLANE_EXTRA].pixels;
  // Constant alpha counts only when there is an alpha plane to fill.
  r.constant_alpha = (frame_flags & FRAME_CONSTANT_ALPHA) && alpha_plane;
  r.alpha_value = uint8_t(frame_flags >> 24);

  struct PlaneSetup {
    RunPlane *p;
    uint32_t index;
    int32_t *grid;
    uint16_t *words;
    uint8_t *scratch;
    uint64_t words_per_row;
    bool decoded;
    bool present;
  };
  const PlaneSetup setup[5] = {
      {&r.luma, PLANE_LUMA, r.grid_luma, r.words_luma, r.scratch_luma, full_words, true, true},
      {&r.chroma1, PLANE_CHROMA1, r.grid_chroma1, r.words_chroma1, r.scratch_chroma1, chroma_words,
       true, true},
      {&r.chroma2, PLANE_CHROMA2, r.grid_chroma2, r.words_chroma2, r.scratch_chroma2, chroma_words,
       true, true},
      // Alpha syntax is read whenever the file says alpha (so the stream stays
      // aligned), but pixels are written only into an alpha plane that exists.
      {&r.alpha, PLANE_ALPHA, r.grid_alpha, r.words_alpha, r.scratch_alpha, full_words,
       alpha_flag != 0 && !r.constant_alpha, alpha_plane},
      {&r.extra, PLANE_EXTRA, r.grid_extra, r.words_extra, r.scratch_extra, full_words,
       extra_flag != 0, extra_plane},
  };
  uint16_t *rows[5];
  for (const PlaneSetup &ps : setup) {
    RunPlane *p = ps.p;
    p->dst = ps.present ? dst[ps.index].pixels : nullptr;
    p->ref = ps.present ? ref[ps.index].pixels : nullptr;
    p->grid = ps.grid;
    p->words = ps.words;
    p->scratch = ps.scratch;
    p->decoded = ps.decoded;
    // Two rows: the second-to-last 8x8 row of the band above, then the last.
    uint16_t *area = reinterpret_cast<uint16_t *>(take(2 * ps.words_per_row * 2));
    p->rows = area + ps.words_per_row + 1;
    rows[ps.index] = p->rows;
  }
  uint8_t *row_bits = take(row_bytes);
  uint8_t *column_bits = take(column_bytes);
  r.row_bits = row_bits;
  r.column_bits = column_bits;

  for (int i = 0; i < 8; ++i) r.threshold[i] = uint16_t((frame_flags & FRAME_DC_THRESHOLD_MASK) * 8);

  PostFilterInput *f = &r.filter;
  f->luma_rows = rows[PLANE_LUMA];
  f->alpha_rows = r.alpha.decoded && r.alpha.dst ? rows[PLANE_ALPHA] : nullptr;
  f->extra_rows = r.extra.decoded && r.extra.dst ? rows[PLANE_EXTRA] : nullptr;
  f->chroma1_rows = rows[PLANE_CHROMA1];
  f->chroma2_rows = rows[PLANE_CHROMA2];
  f->full_row_offset = -intptr_t(full_words);
  f->chroma_row_offset = -intptr_t(chroma_words);
  f->luma_stride = r.luma_stride;
  f->chroma_stride = r.chroma_stride;
  f->threshold = r.threshold;
  f->seam = nullptr;
  f->seam_capacity = SeamRecordCapacity(layout->seam_stride);
  f->luma_words = r.words_luma;
  f->chroma1_words = r.words_chroma1;
  f->chroma2_words = r.words_chroma2;
  f->alpha_words = f->alpha_rows ? r.words_alpha : nullptr;
  f->extra_words = f->extra_rows ? r.words_extra : nullptr;

  // Edge bitmaps from slice 0's stream, whatever the run's first slice.
  StartBitReaderAt(&r.reader, video, SliceStreamOffset(video, video_end, slice_count, 0), video_end);
  if (frame_flags & FRAME_EDGE_BITMAPS) {
    if (!(frame_flags & FRAME_NO_ROW_EDGES)) DecodeBitPlane(row_bits, 1, &r.reader, height / 8 - 1);
    if (!(frame_flags & FRAME_NO_COLUMN_EDGES))
      DecodeBitPlane(column_bits, 1, &r.reader, width / 8 - 1);
  }

  SeamRecord *seam = first > 0 ? SeamRecordAt(seam_records, layout->seam_stride, first - 1) : nullptr;
  uint32_t y = first > 0 ? layout->end_row[first - 1] : 0;
  bool positioned = first == 0;
  bool run_first_band = first > 0;  // the next band decoded gets 0x4
  bool after_run_first = false;     // the next band decoded gets 0x10
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t slice = first + i;
    const uint32_t end = layout->end_row[slice];
    if (!positioned) {
      const uint64_t offset = SliceStreamOffset(video, video_end, slice_count, slice);
      if (offset != UINT64_MAX) {
        StartBitReaderAt(&r.reader, video, offset, video_end);
        positioned = true;
      }
    }
    if (!positioned) {
      // A slice whose offset points outside the video data is empty: its rows
      // are passed over and the next slice starts where it would have ended.
      while (y < end) y += 32;
      run_first_band = false;
      after_run_first = false;
      continue;
    }
    bool slice_first_band = true;
    while (y < end && y < height) {
      uint32_t band_flags = 0;
      if (slice_first_band) band_flags |= y == 0 ? BLOCK_TOP_BAND : BLOCK_SLICE_TOP;
      if (run_first_band)
        band_flags |= BLOCK_RUN_FIRST_BAND;
      else if (after_run_first)
        band_flags |= BLOCK_AFTER_RUN_FIRST;
      DecodeBand(&r, y, band_flags, seam);
      after_run_first = run_first_band;
      run_first_band = false;
      slice_first_band = false;
      y += 32;
    }
    if (y < end) y = end;  // bands below the plane are not decoded
    DropPartialWord(&r.reader);
  }

  // The extra band: the upper half of the first band of the next slice.
  if (y >= ((uint64_t(height) + 16) & ~uint64_t(31)) || y >= height) return 1;
  if (!positioned) {
    const uint32_t next = first + count;
    const uint64_t offset =
        next < slice_count ? SliceStreamOffset(video, video_end, slice_count, next) : UINT64_MAX;
    if (offset == UINT64_MAX) return 1;
    StartBitReaderAt(&r.reader, video, offset, video_end);
  }
  uint32_t band_flags = (y == 0 ? BLOCK_TOP_BAND : BLOCK_SLICE_TOP) | BLOCK_EXTRA_BAND;
  if (after_run_first) band_flags |= BLOCK_AFTER_RUN_FIRST;
  DecodeBand(&r, y, band_flags, seam);
  return 1;
}
