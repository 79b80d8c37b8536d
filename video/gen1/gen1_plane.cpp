// The first-generation plane decoder.
#include "video/gen1/gen1_plane.h"

#include <cstring>

#include "engine/container.h"
#include "engine/movie.h"
#include "video/gen1/gen1_bundles.h"
#include "video/gen1/gen1_dct.h"

const uint8_t RUN_SCAN_ORDERS[16][64] = {
    {0, 8, 16, 24, 32, 40, 48, 56, 57, 49, 41, 33, 25, 17, 9, 1, 2, 10, 18, 26, 34, 42, 50, 58, 59, 51, 43, 35, 27, 19, 11, 3, 4, 12, 20, 28, 36, 44, 52, 60, 61, 53, 45, 37, 29, 21, 13, 5, 6, 14, 22, 30, 38, 46, 54, 62, 63, 55, 47, 39, 31, 23, 15, 7},
    {59, 58, 57, 56, 48, 49, 50, 51, 43, 42, 41, 40, 32, 33, 34, 35, 27, 26, 25, 24, 16, 17, 18, 19, 11, 10, 9, 8, 0, 1, 2, 3, 4, 5, 6, 7, 15, 14, 13, 12, 20, 21, 22, 23, 31, 30, 29, 28, 36, 37, 38, 39, 47, 46, 45, 44, 52, 53, 54, 55, 63, 62, 61, 60},
    {25, 17, 18, 26, 27, 19, 11, 3, 2, 10, 9, 1, 0, 8, 16, 24, 32, 40, 48, 56, 57, 49, 41, 42, 50, 58, 59, 51, 43, 35, 34, 33, 29, 21, 22, 30, 31, 23, 15, 7, 6, 14, 13, 5, 4, 12, 20, 28, 36, 44, 52, 60, 61, 53, 45, 46, 54, 62, 63, 55, 47, 39, 38, 37},
    {3, 11, 2, 10, 1, 9, 0, 8, 16, 24, 17, 25, 18, 26, 19, 27, 35, 43, 34, 42, 33, 41, 32, 40, 48, 56, 49, 57, 50, 58, 51, 59, 60, 52, 61, 53, 62, 54, 63, 55, 47, 39, 46, 38, 45, 37, 44, 36, 28, 20, 29, 21, 30, 22, 31, 23, 15, 7, 14, 6, 13, 5, 12, 4},
    {24, 25, 16, 17, 8, 9, 0, 1, 2, 3, 10, 11, 18, 19, 26, 27, 28, 29, 20, 21, 12, 13, 4, 5, 6, 7, 14, 15, 22, 23, 30, 31, 39, 38, 47, 46, 55, 54, 63, 62, 61, 60, 53, 52, 45, 44, 37, 36, 35, 34, 43, 42, 51, 50, 59, 58, 57, 56, 49, 48, 41, 40, 33, 32},
    {0, 1, 2, 3, 8, 9, 10, 11, 16, 17, 18, 19, 24, 25, 26, 27, 32, 33, 34, 35, 40, 41, 42, 43, 48, 49, 50, 51, 56, 57, 58, 59, 4, 5, 6, 7, 12, 13, 14, 15, 20, 21, 22, 23, 28, 29, 30, 31, 36, 37, 38, 39, 44, 45, 46, 47, 52, 53, 54, 55, 60, 61, 62, 63},
    {6, 7, 15, 14, 13, 5, 12, 4, 3, 11, 2, 10, 9, 1, 0, 8, 16, 24, 17, 25, 18, 26, 19, 27, 20, 28, 21, 29, 22, 30, 23, 31, 39, 47, 38, 46, 37, 45, 36, 44, 35, 43, 34, 42, 33, 41, 32, 40, 49, 48, 56, 57, 58, 50, 59, 51, 60, 52, 61, 53, 54, 55, 63, 62},
    {0, 1, 2, 3, 4, 5, 6, 7, 15, 14, 13, 12, 11, 10, 9, 8, 16, 17, 18, 19, 20, 21, 22, 23, 31, 30, 29, 28, 27, 26, 25, 24, 32, 33, 34, 35, 36, 37, 38, 39, 47, 46, 45, 44, 43, 42, 41, 40, 48, 49, 50, 51, 52, 53, 54, 55, 63, 62, 61, 60, 59, 58, 57, 56},
    {0, 8, 9, 1, 2, 3, 11, 10, 18, 19, 27, 26, 25, 17, 16, 24, 32, 40, 41, 33, 34, 35, 43, 42, 50, 49, 48, 56, 57, 58, 59, 51, 52, 60, 61, 62, 63, 55, 54, 53, 45, 44, 36, 37, 38, 46, 47, 39, 31, 23, 22, 30, 29, 28, 20, 21, 13, 12, 4, 5, 6, 14, 15, 7},
    {24, 25, 16, 17, 8, 9, 0, 1, 2, 3, 10, 11, 18, 19, 26, 27, 28, 29, 20, 21, 12, 13, 4, 5, 6, 7, 14, 15, 22, 23, 30, 31, 38, 39, 46, 47, 54, 55, 62, 63, 60, 61, 52, 53, 44, 45, 36, 37, 34, 35, 42, 43, 50, 51, 58, 59, 56, 57, 48, 49, 40, 41, 32, 33},
    {0, 8, 1, 9, 2, 10, 3, 11, 19, 27, 18, 26, 17, 25, 16, 24, 32, 40, 33, 41, 34, 42, 35, 43, 51, 59, 50, 58, 49, 57, 48, 56, 60, 52, 61, 53, 62, 54, 63, 55, 47, 39, 46, 38, 45, 37, 44, 36, 31, 23, 30, 22, 29, 21, 28, 20, 12, 4, 13, 5, 14, 6, 15, 7},
    {0, 8, 16, 24, 25, 26, 27, 19, 11, 3, 2, 1, 9, 17, 18, 10, 4, 12, 20, 28, 29, 30, 31, 23, 15, 7, 6, 5, 13, 21, 22, 14, 36, 44, 52, 60, 61, 62, 63, 55, 47, 39, 38, 37, 45, 53, 54, 46, 32, 40, 48, 56, 57, 58, 59, 51, 43, 35, 34, 33, 41, 49, 50, 42},
    {0, 8, 9, 1, 2, 3, 11, 10, 19, 27, 26, 18, 17, 16, 24, 25, 33, 32, 40, 41, 42, 34, 35, 43, 51, 59, 58, 50, 49, 57, 56, 48, 52, 60, 61, 53, 54, 62, 63, 55, 47, 39, 38, 46, 45, 44, 36, 37, 29, 28, 20, 21, 22, 30, 31, 23, 14, 15, 7, 6, 5, 13, 12, 4},
    {24, 16, 8, 0, 1, 2, 3, 11, 19, 27, 26, 25, 17, 10, 9, 18, 28, 20, 12, 4, 5, 6, 7, 15, 23, 31, 30, 29, 21, 14, 13, 22, 60, 52, 44, 36, 37, 38, 39, 47, 55, 63, 62, 61, 53, 46, 45, 54, 56, 48, 40, 32, 33, 34, 35, 43, 51, 59, 58, 57, 49, 42, 41, 50},
    {0, 8, 9, 1, 2, 10, 18, 17, 16, 24, 25, 26, 27, 19, 11, 3, 7, 6, 14, 15, 23, 22, 21, 13, 5, 4, 12, 20, 28, 29, 30, 31, 63, 62, 54, 55, 47, 46, 45, 53, 61, 60, 52, 44, 36, 37, 38, 39, 56, 48, 49, 57, 58, 50, 42, 41, 40, 32, 33, 34, 35, 43, 51, 59},
    {0, 1, 8, 9, 16, 17, 24, 25, 32, 33, 40, 41, 48, 49, 56, 57, 58, 59, 50, 51, 42, 43, 34, 35, 26, 27, 18, 19, 10, 11, 2, 3, 4, 5, 12, 13, 20, 21, 28, 29, 36, 37, 44, 45, 52, 53, 60, 61, 62, 63, 54, 55, 46, 47, 38, 39, 30, 31, 22, 23, 14, 15, 6, 7},
};

namespace {

enum : uint32_t {
  PLANE_FLAG_ALPHA = 0x100000,
  PLANE_FLAG_SIGNED_COLORS = 0x8000,
};

struct PlaneDecoder {
  Gen1BitReader reader;
  Bundle block_types;
  Bundle block_subtypes;
  Bundle colors;
  Bundle patterns;
  Bundle x_offsets;
  Bundle y_offsets;
  Bundle intra_dc;
  Bundle inter_dc;
  Bundle runs;
  HuffmanTree high_trees[16];
  uint32_t color_context;
  uint32_t skips;
  int32_t stride;
  int64_t reference_limit;  // highest offset at which an 8x8 source may start
  const uint8_t *reference;  // the reference plane's first byte
  uint8_t run_block[64];
};

// Per-block state of the bundles checked once before their first take.
struct BlockTakes {
  bool colors_checked;
  bool patterns_checked;
  bool runs_checked;
};

inline uint8_t TakeChecked(Bundle *b, bool *checked) {
  if (!*checked) {
    if (b->read_pos >= b->end_pos) b->read_pos = b->buffer + 4;
    *checked = true;
  }
  return *b->read_pos++;
}

inline uint8_t TakeColor(PlaneDecoder *d, BlockTakes *t) { return TakeChecked(&d->colors, &t->colors_checked); }

inline int16_t TakeDc(Bundle *b) {
  if (b->read_pos >= b->end_pos) b->read_pos = b->buffer + 4;
  int16_t v;
  std::memcpy(&v, b->read_pos, 2);
  b->read_pos += 2;
  return v;
}

inline void TakeMotion(PlaneDecoder *d, int32_t *x, int32_t *y) {
  if (d->y_offsets.read_pos >= d->y_offsets.end_pos) {
    d->x_offsets.read_pos = d->x_offsets.buffer + 4;
    d->y_offsets.read_pos = d->y_offsets.buffer + 4;
  }
  *x = static_cast<int8_t>(*d->x_offsets.read_pos++);
  *y = static_cast<int8_t>(*d->y_offsets.read_pos++);
}

// The motion source for the block at offset `at` of the plane, or null when
// it does not lie between the plane's start and the reference limit.
inline const uint8_t *MotionSource(const PlaneDecoder *d, int64_t at, int32_t x, int32_t y) {
  const int64_t source = at + static_cast<int64_t>(y) * d->stride + x;
  if (source < 0 || source > d->reference_limit) return nullptr;
  return d->reference + source;
}

// Row-by-row 8x8 copy; source and destination may be the same plane.
inline void CopyBlock8(uint8_t *out, const uint8_t *source, int32_t stride) {
  for (int r = 0; r < 8; ++r) std::memmove(out + static_cast<intptr_t>(r) * stride, source + static_cast<intptr_t>(r) * stride, 8);
}

inline void FillBlock(uint8_t *out, int32_t stride, uint8_t value, uint32_t size) {
  for (uint32_t r = 0; r < size; ++r) std::memset(out + static_cast<intptr_t>(r) * stride, value, size);
}

// Writes an 8x8 result as is, or with every pixel doubled into 2x2.
inline void PutResult(uint8_t *out, int32_t stride, const uint8_t result[64], bool doubled) {
  if (!doubled) {
    for (int r = 0; r < 8; ++r) std::memcpy(out + static_cast<intptr_t>(r) * stride, result + 8 * r, 8);
    return;
  }
  for (int r = 0; r < 8; ++r) {
    uint8_t row[16];
    for (int c = 0; c < 8; ++c) row[2 * c] = row[2 * c + 1] = result[8 * r + c];
    std::memcpy(out + static_cast<intptr_t>(2 * r) * stride, row, 16);
    std::memcpy(out + static_cast<intptr_t>(2 * r + 1) * stride, row, 16);
  }
}

void RunBlock(PlaneDecoder *d, uint8_t *out, bool doubled) {
  BlockTakes takes = {};
  const uint8_t *order = RUN_SCAN_ORDERS[Gen1ReadBits(&d->reader, 4)];
  uint32_t left = 64, i = 0;
  while (left > 1) {
    const uint32_t r = TakeChecked(&d->runs, &takes.runs_checked);
    if (r >= left) break;
    if (Gen1ReadBit(&d->reader)) {
      const uint8_t c = TakeColor(d, &takes);
      for (uint32_t k = 0; k <= r; ++k) d->run_block[order[i + k]] = c;
    } else {
      for (uint32_t k = 0; k <= r; ++k) d->run_block[order[i + k]] = TakeColor(d, &takes);
    }
    i += r + 1;
    left -= r + 1;
  }
  if (i == 63) d->run_block[order[63]] = TakeColor(d, &takes);
  PutResult(out, d->stride, d->run_block, doubled);
}

void IntraBlock(PlaneDecoder *d, uint8_t *out, bool doubled) {
  int16_t coefficients[64];
  coefficients[0] = TakeDc(&d->intra_dc);
  ReadDctCoefficients(coefficients, &d->reader);
  const uint32_t level = Gen1ReadBits(&d->reader, 4);
  if (doubled) InverseDctPutDoubled(out, d->stride, coefficients, level);
  else InverseDctPut(out, d->stride, coefficients, level);
}

void FillColorBlock(PlaneDecoder *d, uint8_t *out, bool doubled) {
  BlockTakes takes = {};
  FillBlock(out, d->stride, TakeColor(d, &takes), doubled ? 16 : 8);
}

void PatternBlock(PlaneDecoder *d, uint8_t *out, bool doubled) {
  BlockTakes takes = {};
  const uint8_t c0 = TakeColor(d, &takes);
  const uint8_t c1 = TakeColor(d, &takes);
  uint8_t result[64];
  for (int r = 0; r < 8; ++r) {
    const uint8_t bits = TakeChecked(&d->patterns, &takes.patterns_checked);
    for (int c = 0; c < 8; ++c) result[8 * r + c] = (bits >> c) & 1 ? c1 : c0;
  }
  PutResult(out, d->stride, result, doubled);
}

void RawBlock(PlaneDecoder *d, uint8_t *out, bool doubled) {
  BlockTakes takes = {};
  uint8_t result[64];
  for (int k = 0; k < 64; ++k) result[k] = TakeColor(d, &takes);
  PutResult(out, d->stride, result, doubled);
}

// The sizes a plane of this width needs, none larger than what was handed in.
bool ScratchFits(const FirstGenScratchSizes *given, uint32_t width) {
  FirstGenScratchSizes need;
  ComputeFirstGenScratchSizes(&need, width);
  return given->block_types >= need.block_types && given->block_subtypes >= need.block_subtypes &&
         given->colors >= need.colors && given->patterns >= need.patterns &&
         given->x_offsets >= need.x_offsets && given->y_offsets >= need.y_offsets &&
         given->intra_dc >= need.intra_dc && given->inter_dc >= need.inter_dc &&
         given->runs >= need.runs;
}

void SetUpBundle(Bundle *b, uint8_t *buffer, uintptr_t size, uint32_t count_of, uint32_t capacity) {
  std::memset(buffer, 0, size);
  b->buffer = buffer;
  b->read_pos = buffer;
  b->end_pos = buffer;
  b->value_bits = 0;
  b->value_signed = 0;
  b->count_bits = BitLength(count_of);
  b->capacity = capacity;
  b->tree.lookup = nullptr;
  b->tree.lookup_bits = 0;
}

}  // namespace

uintptr_t DecodeFirstGenPlane(uint8_t *destination, const uint8_t *reference, uint32_t width,
                              uint32_t height, int32_t stride, uintptr_t start, uintptr_t bound,
                              uintptr_t data_end, const FirstGenScratch *scratch, uint32_t flags,
                              uint32_t *skips, uint32_t signature) {
  *skips = 0;
  width &= ~7u;
  height &= ~7u;
  if (!destination || !reference || !scratch || !scratch->sizes || stride < 0 ||
      static_cast<uint32_t>(stride) < width || !ScratchFits(scratch->sizes, width))
    return start;

  PlaneDecoder d;
  StartGen1Reader(&d.reader, start, bound, data_end);
  const int revision_k = IsFirstGenRevisionK(signature);
  if (revision_k) {
    const uint32_t w = LoadGen1Word(&d.reader);
    d.reader.pending = w >> 1;
    d.reader.count = 31;
    if ((flags & PLANE_FLAG_ALPHA) && (w & 1)) {
      for (uint32_t y = 0; y < height; ++y)
        std::memset(destination + static_cast<intptr_t>(y) * stride, static_cast<int>((w >> 1) & 0xFF), width);
      return d.reader.next;
    }
  }

  const uint32_t b = width >> 3;
  const FirstGenScratchSizes *s = scratch->sizes;
  SetUpBundle(&d.block_types, scratch->block_types, s->block_types, b + 511, (b + 527) & ~15u);
  SetUpBundle(&d.block_subtypes, scratch->block_subtypes, s->block_subtypes, (width >> 4) + 511,
              ((width >> 4) + 527) & ~15u);
  SetUpBundle(&d.colors, scratch->colors, s->colors, 64 * b + 511, 64 * b + 512);
  SetUpBundle(&d.patterns, scratch->patterns, s->patterns, 8 * b + 511, (8 * b + 527) & ~15u);
  SetUpBundle(&d.x_offsets, scratch->x_offsets, s->x_offsets, b + 511, (b + 527) & ~15u);
  SetUpBundle(&d.y_offsets, scratch->y_offsets, s->y_offsets, b + 511, (b + 527) & ~15u);
  SetUpBundle(&d.intra_dc, scratch->intra_dc, s->intra_dc, b + 511, ((2 * b + 1039) & ~15u) / 2);
  SetUpBundle(&d.inter_dc, scratch->inter_dc, s->inter_dc, b + 511, ((2 * b + 1039) & ~15u) / 2);
  SetUpBundle(&d.runs, scratch->runs, s->runs, 48 * b + 511, 48 * b + 512);
  d.intra_dc.value_bits = 11;
  d.inter_dc.value_bits = 11;
  d.inter_dc.value_signed = 1;

  ReadHuffmanTree(&d.reader, &d.block_types.tree);
  ReadHuffmanTree(&d.reader, &d.block_subtypes.tree);
  for (int c = 0; c < 16; ++c) ReadHuffmanTree(&d.reader, &d.high_trees[c]);
  ReadHuffmanTree(&d.reader, &d.colors.tree);
  ReadHuffmanTree(&d.reader, &d.patterns.tree);
  ReadHuffmanTree(&d.reader, &d.x_offsets.tree);
  ReadHuffmanTree(&d.reader, &d.y_offsets.tree);
  ReadHuffmanTree(&d.reader, &d.runs.tree);
  d.color_context = 0;
  d.skips = 0;
  d.stride = stride;
  d.reference = reference;
  d.reference_limit = height >= 8 ? static_cast<int64_t>(static_cast<uint32_t>((height - 8) * static_cast<uint32_t>(stride)) + width - 8) : -1;
  std::memset(d.run_block, 0, sizeof d.run_block);
  const bool signed_colors = (flags & PLANE_FLAG_SIGNED_COLORS) != 0;

  for (uint32_t y = 0; y < height; y += 8) {
    ReadBlockTypeBundle(&d.block_types, &d.reader, revision_k);
    ReadBlockTypeBundle(&d.block_subtypes, &d.reader, revision_k);
    if (signed_colors) ReadColorBundleSigned(&d.colors, &d.reader, d.high_trees, &d.color_context);
    else ReadColorBundle(&d.colors, &d.reader, d.high_trees, &d.color_context);
    ReadPatternBundle(&d.patterns, &d.reader);
    ReadMotionBundle(&d.x_offsets, &d.reader);
    ReadMotionBundle(&d.y_offsets, &d.reader);
    d.x_offsets.read_pos = d.x_offsets.buffer + (d.y_offsets.read_pos - d.y_offsets.buffer);
    ReadDcBundle(&d.intra_dc, &d.reader);
    ReadDcBundle(&d.inter_dc, &d.reader);
    ReadRunBundle(&d.runs, &d.reader);

    const int64_t row = static_cast<int64_t>(y) * stride;
    uint32_t x = 0;
    while (x < width) {
      const int64_t at = row + x;
      uint8_t *out = destination + at;
      Bundle *types = &d.block_types;
      if (Gen1AtBound(&d.reader) || types->read_pos >= types->end_pos || *types->read_pos >= 10) {
        x += 8;
        continue;
      }
      const uint32_t type = *types->read_pos++;
      uint32_t advance = 8;
      switch (type) {
        case BLOCK_SKIP:
          CopyBlock8(out, reference + at, stride);
          ++d.skips;
          break;
        case BLOCK_SCALED: {
          if (width - x < 16) break;
          advance = 16;
          if (y & 8) break;  // the lower half of a scaled block of the row above
          Bundle *sub = &d.block_subtypes;
          if (sub->read_pos >= sub->end_pos) break;
          const uint32_t subtype = *sub->read_pos++;
          const bool produces = subtype == BLOCK_RUN || subtype == BLOCK_INTRA || subtype == BLOCK_FILL ||
                                subtype == BLOCK_PATTERN || subtype == BLOCK_RAW;
          if (!produces) break;
          if (height - y < 16) {
            advance = 8;
            break;
          }
          if (subtype == BLOCK_RUN) RunBlock(&d, out, true);
          else if (subtype == BLOCK_INTRA) IntraBlock(&d, out, true);
          else if (subtype == BLOCK_FILL) FillColorBlock(&d, out, true);
          else if (subtype == BLOCK_PATTERN) PatternBlock(&d, out, true);
          else RawBlock(&d, out, true);
          break;
        }
        case BLOCK_MOTION: {
          int32_t mx, my;
          TakeMotion(&d, &mx, &my);
          const uint8_t *source = MotionSource(&d, at, mx, my);
          if (source) CopyBlock8(out, source, stride);
          break;
        }
        case BLOCK_RUN:
          RunBlock(&d, out, false);
          break;
        case BLOCK_RESIDUE: {
          int32_t mx, my;
          TakeMotion(&d, &mx, &my);
          const uint8_t *source = MotionSource(&d, at, mx, my);
          if (source) AddResidue(out, stride, &d.reader, Gen1ReadBits(&d.reader, 7), source, stride);
          break;
        }
        case BLOCK_INTRA:
          IntraBlock(&d, out, false);
          break;
        case BLOCK_FILL:
          FillColorBlock(&d, out, false);
          break;
        case BLOCK_INTER: {
          int32_t mx, my;
          TakeMotion(&d, &mx, &my);
          const uint8_t *source = MotionSource(&d, at, mx, my);
          if (!source) break;
          int16_t coefficients[64];
          coefficients[0] = TakeDc(&d.inter_dc);
          ReadDctCoefficients(coefficients, &d.reader);
          const uint32_t level = Gen1ReadBits(&d.reader, 4);
          InverseDctAdd(out, stride, coefficients, level, source, stride);
          break;
        }
        case BLOCK_PATTERN:
          PatternBlock(&d, out, false);
          break;
        default:  // BLOCK_RAW
          RawBlock(&d, out, false);
          break;
      }
      x += advance;
    }
  }
  *skips = d.skips;
  return d.reader.next;
}
