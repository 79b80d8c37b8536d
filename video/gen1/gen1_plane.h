// The first-generation plane decoder: one plane of 8x8 blocks, row by row,
// its values drawn from nine bundles refilled at row starts.
#pragma once
#include <cstdint>

struct FirstGenScratchSizes;

// Block types (values of the block-type bundle).
enum : uint32_t {
  BLOCK_SKIP = 0,
  BLOCK_SCALED = 1,
  BLOCK_MOTION = 2,
  BLOCK_RUN = 3,
  BLOCK_RESIDUE = 4,
  BLOCK_INTRA = 5,
  BLOCK_FILL = 6,
  BLOCK_INTER = 7,
  BLOCK_PATTERN = 8,
  BLOCK_RAW = 9,
};

// RUN_SCAN_ORDERS[s]: the 64 block positions (8 x row + column) in the
// order a run block with scan index s writes them.
extern const uint8_t RUN_SCAN_ORDERS[16][64];

// The nine bundle buffers of one job, 16-byte aligned, with their sizes.
struct FirstGenScratch {
  uint8_t *block_types;
  uint8_t *block_subtypes;
  uint8_t *colors;
  uint8_t *patterns;
  uint8_t *x_offsets;
  uint8_t *y_offsets;
  uint8_t *intra_dc;
  uint8_t *inter_dc;
  uint8_t *runs;
  const FirstGenScratchSizes *sizes;
};

// Decodes one plane.  width and height are multiples of 8; destination and
// reference share the stride and may be the same plane.  start is the
// plane's first bitstream word; bound is the read bound (frame end + 4);
// bytes at or past data_end read as zero.  flags are the job's
// PlaneJobFlags (0x100000: this is the alpha plane; 0x8000: sign-magnitude
// colours).  Returns the address of the first word not fetched and stores
// the number of skipped blocks in *skips.  Scratch buffers smaller than the
// plane needs make the call decode nothing.
uintptr_t DecodeFirstGenPlane(uint8_t *destination, const uint8_t *reference, uint32_t width,
                              uint32_t height, int32_t stride, uintptr_t start, uintptr_t bound,
                              uintptr_t data_end, const FirstGenScratch *scratch, uint32_t flags,
                              uint32_t *skips, uint32_t signature);
