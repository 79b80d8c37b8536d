// Parse-only pass: the slice walk of the decoder without reconstruction,
// storing every block's syntax into a ParseTarget.
#include "video/gen2/parse_only.h"

#include <cstring>
#include <vector>

#include "video/gen2/arith.h"
#include "video/gen2/coeffs.h"
#include "video/gen2/motion.h"
#include "video/gen2/slice_decoder.h"

void StoreAcCoefficients(ParsePlaneStore *store, uint32_t block, uint32_t pattern, uint32_t count,
                         BitReader *reader, int32_t qi, const uint16_t *table, const int32_t *dc,
                         uint16_t intra_bit) {
  alignas(16) int16_t coeffs[4][256];
  uint16_t words[16];
  const uint32_t areas = count / 4;
  for (uint32_t q = 0; q < areas; ++q)
    DecodeAcCoefficients(pattern >> (4 * q), coeffs[q], reader, qi, table, dc + 4 * q,
                         words + 4 * q, intra_bit);
  if (!store || !store->flags) return;
  std::memcpy(store->flags + uint64_t(block) * count, words, count * sizeof(uint16_t));

  // The record: mask, one u64 of nonzero scan positions per coded 8x8, then
  // the nonzero coefficients of all coded 8x8 blocks in the same order.
  uint8_t record[16 * 136 + 4];
  const uint32_t mask = pattern & ((1u << count) - 1);
  uint32_t bytes = 4;
  std::memcpy(record, &mask, 4);
  for (uint32_t i = 0; i < count; ++i) {
    if (!(mask >> i & 1)) continue;
    const int16_t *c = coeffs[i / 4] + 64 * (i % 4);
    uint64_t bits = 0;
    for (uint32_t p = 1; p < 64; ++p)
      if (c[SCAN_ORDER[p]] != 0) bits |= uint64_t(1) << p;
    const uint32_t lo = uint32_t(bits), hi = uint32_t(bits >> 32);
    std::memcpy(record + bytes, &lo, 4);
    std::memcpy(record + bytes + 4, &hi, 4);
    bytes += 8;
  }
  for (uint32_t i = 0; i < count; ++i) {
    if (!(mask >> i & 1)) continue;
    const int16_t *c = coeffs[i / 4] + 64 * (i % 4);
    for (uint32_t p = 1; p < 64; ++p) {
      const int16_t v = c[SCAN_ORDER[p]];
      if (v == 0) continue;
      std::memcpy(record + bytes, &v, 2);
      bytes += 2;
    }
  }
  if (bytes & 2) {
    record[bytes] = 0;
    record[bytes + 1] = 0;
    bytes += 2;
  }
  if (store->cursor + bytes > store->limit) return;
  store->data[block] = uint32_t(store->cursor / 4);
  std::memcpy(reinterpret_cast<uint8_t *>(store->data) + store->cursor, record, bytes);
  store->cursor += bytes;
}

void ParseIntraLumaBlock(ParsePlaneStore *store, uint32_t block, BitReader *reader,
                         uint32_t frame_flags, int32_t qi, uint32_t *pattern_prediction) {
  const uint32_t pattern = ReadBlockPattern16(reader, *pattern_prediction, frame_flags);
  *pattern_prediction = pattern;
  int32_t dc[16];
  ReadDcResiduals16(dc, qi, reader);
  StoreAcCoefficients(store, block, pattern, 16, reader, qi, QUANT_TABLE_INTRA, dc, SUBBLOCK_INTRA);
}

void ParseIntraChromaBlock(ParsePlaneStore *store, uint32_t block, BitReader *reader, int32_t qi,
                           uint32_t *pattern_prediction) {
  const uint32_t pattern = ReadBlockPattern4(reader, *pattern_prediction);
  *pattern_prediction = pattern;
  int32_t dc[4];
  ReadDcResiduals4(dc, qi, reader);
  StoreAcCoefficients(store, block, pattern, 4, reader, qi, QUANT_TABLE_CHROMA, dc, SUBBLOCK_INTRA);
}

static int16_t InterBound(uint32_t frame_flags) {
  return (frame_flags & BLOCK_FLAG_WIDE_DC) ? 2047 : 1023;
}

void ParseInterLumaBlock(ParsePlaneStore *store, uint32_t block, BitReader *reader,
                         uint32_t frame_flags, int32_t qi, uint32_t *pattern_prediction) {
  const uint32_t pattern = ReadBlockPattern16(reader, *pattern_prediction, frame_flags);
  *pattern_prediction = pattern;
  int32_t dc[16] = {};
  const int16_t bound = InterBound(frame_flags);
  DecodeDcGrid16(dc, nullptr, qi, reader, 0xA8, int16_t(-bound), bound);
  StoreAcCoefficients(store, block, pattern, 16, reader, qi, QUANT_TABLE_INTER, dc, 0);
}

void ParseInterChromaBlock(ParsePlaneStore *store, uint32_t block, BitReader *reader,
                           uint32_t frame_flags, int32_t qi, uint32_t *pattern_prediction) {
  const uint32_t pattern = ReadBlockPattern4(reader, *pattern_prediction);
  *pattern_prediction = pattern;
  int32_t dc[4] = {};
  const int16_t bound = InterBound(frame_flags);
  DecodeDcGrid4(dc, nullptr, qi, reader, 0xA8, int16_t(-bound), bound);
  StoreAcCoefficients(store, block, pattern, 4, reader, qi, QUANT_TABLE_INTER, dc, 0);
}

namespace {

inline uint64_t Align64(uint64_t v) { return (v + 63) & ~uint64_t(63); }

void FillClampBounds(ParseTarget *t, uint32_t frame_flags) {
  const bool mode1 = (frame_flags & FRAME_CLAMP_MODE) != 0;
  const uint32_t size2[2] = {2 * t->width, 2 * t->height};
  for (int c = 0; c < 2; ++c) {
    for (int h = 0; h < 2; ++h) {
      const uint32_t reach = h ? 42 : 32;
      const uint32_t lo = mode1 ? (h ? 5 : 0) : (h ? 4 : 0);
      const uint32_t hi = mode1 ? lo + size2[c] - reach : size2[c] - reach;
      t->clamp_bounds[4 * c + 2 * h] = lo;
      t->clamp_bounds[4 * c + 2 * h + 1] = hi;
    }
  }
}

}  // namespace

int ParseVideoSlice(ParseTarget *target, const uint8_t *video, uint32_t alpha_flag,
                    uint32_t alpha_plane, uint32_t extra_flag, uint32_t key_flag,
                    const uint8_t *video_end, const SliceLayout *layout, uint32_t first, uint32_t count) {
  const uint32_t frame_flags = ReadVideoWord(video, video_end, 0);
  if (!target || !(frame_flags & FRAME_VALID) || !target->motion_vectors || !layout) return 0;
  const uint32_t width = target->width & ~31u, height = target->height;
  const uint32_t slice_count = layout->slice_count;
  if (slice_count == 0 || slice_count > MAX_SLICES || width == 0 || height == 0) {
    target->parsed = 1;
    return 1;
  }
  if (first >= slice_count) {
    target->parsed = 1;
    return 1;
  }
  if (count > slice_count - first) count = slice_count - first;
  const uint32_t columns = width / 32;
  const uint32_t bands = (height + 31) / 32;
  const uint64_t blocks = uint64_t(columns) * bands;
  const bool key = key_flag != 0;
  // As in the full decoder: constant alpha counts only with an alpha plane.
  const bool constant_alpha = (frame_flags & FRAME_CONSTANT_ALPHA) && alpha_plane;
  const bool alpha_decoded = alpha_flag && !constant_alpha;
  const bool extra_decoded = extra_flag != 0;

  BitReader reader;
  if (first == 0) {
    target->dc_threshold = (frame_flags & FRAME_DC_THRESHOLD_MASK) * 8;
    const bool bitmaps = (frame_flags & FRAME_EDGE_BITMAPS) != 0;
    target->frame_bits = (bitmaps && (frame_flags & FRAME_NO_COLUMN_EDGES) ? 0u : uint32_t(PARSE_COLUMN_EDGES_KNOWN)) |
                         (bitmaps && (frame_flags & FRAME_NO_ROW_EDGES) ? 0u : uint32_t(PARSE_ROW_EDGES_KNOWN)) |
                         (frame_flags & FRAME_CLAMP_MODE ? uint32_t(PARSE_CLAMP_MODE1) : 0u) |
                         (frame_flags & FRAME_WIDE_DC ? uint32_t(PARSE_WIDE_DC) : 0u) |
                         (constant_alpha ? uint32_t(PARSE_CONSTANT_ALPHA) : 0u);
    target->alpha_value = frame_flags >> 24;
    FillClampBounds(target, frame_flags);
    StartBitReaderAt(&reader, video, SliceStreamOffset(video, video_end, slice_count, 0), video_end);
    const uint32_t row_bytes = (height / 8 + 7) / 8, column_bytes = (width / 8 + 7) / 8;
    if (!bitmaps) {
      if (target->row_edges) std::memset(target->row_edges, 0, row_bytes);
      if (target->column_edges) std::memset(target->column_edges, 0, column_bytes);
    } else {
      // Plane bit i holds coded bit i here (the decoder starts at bit 1). A
      // plane without a store is read into a scratch so the stream stays aligned.
      std::vector<uint8_t> scratch;
      if (!(frame_flags & FRAME_NO_ROW_EDGES)) {
        uint8_t *out = target->row_edges;
        if (!out) {
          scratch.assign(row_bytes + 8, 0);
          out = scratch.data();
        }
        DecodeBitPlane(out, 0, &reader, height / 8 - 1);
      }
      if (!(frame_flags & FRAME_NO_COLUMN_EDGES)) {
        uint8_t *out = target->column_edges;
        if (!out) {
          scratch.assign(column_bytes + 8, 0);
          out = scratch.data();
        }
        DecodeBitPlane(out, 0, &reader, width / 8 - 1);
      }
    }
    if (target->slice_starts) {
      std::memset(target->slice_starts, 0, (bands + 7) / 8);
      target->slice_starts[0] |= 1;
      for (uint32_t k = 0; k + 1 < slice_count; ++k) {
        const uint32_t band = layout->end_row[k] / 32;
        if (layout->end_row[k] < height) target->slice_starts[band / 8] |= uint8_t(1u << (band % 8));
      }
    }
  } else {
    StartBitReaderAt(&reader, video, SliceStreamOffset(video, video_end, slice_count, first),
                     video_end);
  }

  // Motion-vector and quantiser rows, a spare entry at each end.
  const uint64_t mv_row = uint64_t(columns + 2) * sizeof(MotionVectorSet);
  const uint64_t q_row = uint64_t(columns + 2) * 2;
  uint8_t *memory = GetRunScratch(2 * Align64(mv_row) + 2 * Align64(q_row));
  if (!memory) return 0;
  std::memset(memory, 0, 2 * Align64(mv_row) + 2 * Align64(q_row));
  MotionVectorSet *mv_cur = reinterpret_cast<MotionVectorSet *>(memory) + 1;
  MotionVectorSet *mv_above = reinterpret_cast<MotionVectorSet *>(memory + Align64(mv_row)) + 1;
  uint8_t *q_cur = memory + 2 * Align64(mv_row) + 2;
  uint8_t *q_above = memory + 2 * Align64(mv_row) + Align64(q_row) + 2;

  static const uint32_t kPlaneWords[PARSE_PLANES] = {16, 4, 4, 16, 16};
  const bool plane_parsed[PARSE_PLANES] = {true, true, true, alpha_decoded, extra_decoded};
  ParsePlaneStore stores[PARSE_PLANES];
  for (uint32_t p = 0; p < PARSE_PLANES; ++p) {
    const bool stored = plane_parsed[p] && target->plane_flags[p] && target->plane_data[p];
    stores[p].flags = stored ? target->plane_flags[p] : nullptr;
    stores[p].data = stored ? target->plane_data[p] : nullptr;
    stores[p].cursor = 0;
    stores[p].limit = blocks * 4 + blocks * MaxBlockRecordBytes(kPlaneWords[p]);
  }

  uint32_t y = first > 0 ? layout->end_row[first - 1] : 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t slice = first + i;
    const uint32_t end = layout->end_row[slice] < height ? layout->end_row[slice] : height;
    const uint64_t band_first = y / 32;
    const uint64_t band_end = end > y ? (uint64_t(end) + 31) / 32 : band_first;
    const uint64_t block_first = band_first * columns, block_end = band_end * columns;
    for (uint32_t p = 0; p < PARSE_PLANES; ++p) {
      ParsePlaneStore *st = &stores[p];
      if (!st->flags) continue;
      const uint64_t start = slice == 0 ? 0 : blocks * 4 + block_first * MaxBlockRecordBytes(kPlaneWords[p]);
      st->cursor = blocks * 4 + block_first * MaxBlockRecordBytes(kPlaneWords[p]);
      if (target->plane_slices[p]) target->plane_slices[p][2 * slice] = uint32_t(start);
      std::memset(st->flags + block_first * kPlaneWords[p], 0,
                  (block_end - block_first) * kPlaneWords[p] * sizeof(uint16_t));
      std::memset(st->data + block_first, 0, (block_end - block_first) * 4);
    }
    std::memset(target->motion_vectors + block_first * 8, 0, (block_end - block_first) * 16);

    bool slice_first_band = true;
    while (y < end) {
      const uint32_t band = y / 32;
      uint8_t types[4] = {2, 3, 1, 0};
      uint32_t cbp[10] = {};
      uint8_t quant[2];
      if (slice_first_band) {
        quant[0] = 16;
        quant[1] = 16;
      } else {
        quant[0] = q_above[0];
        quant[1] = q_above[1];
      }
      for (uint32_t j = 0; j < columns; ++j) {
        const uint32_t block = band * columns + j;
        const uint32_t flags = (slice_first_band ? 0x8u : 0u) | (j == 0 ? 0x20u : 0u) | FRAME_VALID;
        MotionVectorSet *mv = &mv_cur[j];
        const uint8_t type = key ? 0 : ReadAdaptiveListSymbol(&reader, types);
        if (type == 0) {
          quant[0] = uint8_t(ReadSignedDelta(&reader, quant[0]));
          const int32_t qi = quant[0];
          ParseIntraLumaBlock(&stores[0], block, &reader, frame_flags, qi, &cbp[0]);
          ParseIntraChromaBlock(&stores[1], block, &reader, qi, &cbp[3]);
          ParseIntraChromaBlock(&stores[2], block, &reader, qi, &cbp[4]);
          if (alpha_decoded) ParseIntraLumaBlock(&stores[3], block, &reader, frame_flags, qi, &cbp[1]);
          if (extra_decoded) ParseIntraLumaBlock(&stores[4], block, &reader, frame_flags, qi, &cbp[2]);
          if (!key)
            PredictMotionVectors(flags, mv, &mv_above[j]);
          else
            std::memset(mv, 0, sizeof(*mv));
        } else if (type == 1) {
          std::memset(mv, 0, sizeof(*mv));
        } else {
          DecodeMotionVectors(&reader, mv, &mv_above[j], flags);
          int16_t *out = target->motion_vectors + uint64_t(block) * 8;
          for (int k = 0; k < 8; ++k) out[k] = int16_t(mv->v[k]);
          if (type == 3) {
            quant[1] = uint8_t(ReadSignedDelta(&reader, quant[1]));
            const int32_t qi = quant[1];
            ParseInterLumaBlock(&stores[0], block, &reader, frame_flags, qi, &cbp[5]);
            if (ReadBit(&reader)) {
              ParseInterChromaBlock(&stores[1], block, &reader, frame_flags, qi, &cbp[8]);
              ParseInterChromaBlock(&stores[2], block, &reader, frame_flags, qi, &cbp[9]);
            } else {
              cbp[8] = 0;
              cbp[9] = 0;
            }
            if (alpha_decoded) ParseInterLumaBlock(&stores[3], block, &reader, frame_flags, qi, &cbp[6]);
            if (extra_decoded) ParseInterLumaBlock(&stores[4], block, &reader, frame_flags, qi, &cbp[7]);
          }
        }
        // Blocks that code no quantiser keep the predicted pair.
        q_cur[2 * j] = quant[0];
        q_cur[2 * j + 1] = quant[1];
        if (!slice_first_band)
          for (int k = 0; k < 2; ++k)
            quant[k] = uint8_t(Median3(q_above[2 * j + k], q_above[2 * (j + 1) + k], q_cur[2 * j + k]));
      }
      MotionVectorSet *t = mv_cur;
      mv_cur = mv_above;
      mv_above = t;
      uint8_t *tq = q_cur;
      q_cur = q_above;
      q_above = tq;
      slice_first_band = false;
      y += 32;
    }
    for (uint32_t p = 0; p < PARSE_PLANES; ++p) {
      ParsePlaneStore *st = &stores[p];
      if (!st->flags || !target->plane_slices[p]) continue;
      target->plane_slices[p][2 * slice + 1] = uint32_t(st->cursor - target->plane_slices[p][2 * slice]);
    }
    DropPartialWord(&reader);
  }
  target->parsed = 1;
  return 1;
}
