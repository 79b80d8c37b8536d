// Parse-only pass over a second-generation frame: reads the same bitstream
// as the slice decoder but reconstructs no pixel; it stores each block's
// syntax (dequantised coefficients, 8x8 flag words, motion vectors) and the
// frame's side information into a ParseTarget.
#pragma once
#include <cstdint>

#include "video/gen2/bitreader.h"
#include "video/gen2/slices.h"

enum : uint32_t {
  PARSE_PLANES = 5,  // luma, chroma 1, chroma 2, alpha, extra
  // frame_bits
  PARSE_COLUMN_EDGES_KNOWN = 0x1,
  PARSE_ROW_EDGES_KNOWN = 0x2,
  PARSE_CLAMP_MODE1 = 0x4,
  PARSE_WIDE_DC = 0x8,
  PARSE_CONSTANT_ALPHA = 0x10,
};

// Supplied and owned by whoever attaches it; the pass reads the dimensions
// and buffer pointers and fills the rest.
struct ParseTarget {
  // Per plane: u16 flag words, 16 per block (4 for chroma), blocks in raster
  // order; null: the plane is parsed but not stored.
  uint16_t *plane_flags[PARSE_PLANES];
  // Per plane: one u32 per block (offset of the block's record in 32-bit
  // words from the start of the area), then the block records.
  uint32_t *plane_data[PARSE_PLANES];
  // Per plane: (byte offset, byte length) of each slice's part of the area.
  uint32_t *plane_slices[PARSE_PLANES];
  // Per block: four vectors of two i16 (x, y) in half luma samples. Required.
  int16_t *motion_vectors;
  uint8_t *slice_starts;  // one bit per band: band 0 and each slice's first band
  uint8_t *column_edges;  // edge bitmaps, bit i of the plane in byte i / 8
  uint8_t *row_edges;
  uint32_t width, height;  // luma plane size of the frame buffers
  uint32_t dc_threshold;   // frame flags bits 0-7 times 8
  uint32_t frame_bits;
  uint32_t alpha_value;
  uint32_t clamp_bounds[8];  // x: whole lo, hi, half lo, hi; then y
  uint32_t parsed;           // 1 after a run completed
};

// Largest record of one block of one plane (count 16 or 4 8x8 blocks).
inline uint32_t MaxBlockRecordBytes(uint32_t count) { return count * 136 + 4; }

// Parses slices first .. first + count - 1 into the target. 1 when parsed,
// 0 when refused (frame flag bit 13 clear, or no motion-vector store).
// alpha_plane: the movie has an alpha plane (HasAlphaPlane of its frame
// buffers), without which the frame's constant alpha is treated as clear.
int ParseVideoSlice(ParseTarget *target, const uint8_t *video, uint32_t alpha_flag,
                    uint32_t alpha_plane, uint32_t extra_flag, uint32_t key_flag,
                    const uint8_t *video_end, const SliceLayout *layout, uint32_t first, uint32_t count);

// Where one plane's records go while a slice is parsed.
struct ParsePlaneStore {
  uint16_t *flags;  // flag words of the plane, null when not stored
  uint32_t *data;   // the plane's data area
  uint64_t cursor;  // byte offset of the next record
  uint64_t limit;   // bytes the area holds
};

// Block parsers: read one plane of one block and store it.
void ParseIntraLumaBlock(ParsePlaneStore *store, uint32_t block, BitReader *reader,
                         uint32_t frame_flags, int32_t qi, uint32_t *pattern_prediction);
void ParseIntraChromaBlock(ParsePlaneStore *store, uint32_t block, BitReader *reader, int32_t qi,
                           uint32_t *pattern_prediction);
void ParseInterLumaBlock(ParsePlaneStore *store, uint32_t block, BitReader *reader,
                         uint32_t frame_flags, int32_t qi, uint32_t *pattern_prediction);
void ParseInterChromaBlock(ParsePlaneStore *store, uint32_t block, BitReader *reader,
                           uint32_t frame_flags, int32_t qi, uint32_t *pattern_prediction);
void StoreAcCoefficients(ParsePlaneStore *store, uint32_t block, uint32_t pattern, uint32_t count,
                         BitReader *reader, int32_t qi, const uint16_t *table, const int32_t *dc,
                         uint16_t intra_bit);
