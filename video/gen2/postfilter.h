// Block post-filter of the second-generation decoder: DC smoothing of
// DC-only intra 8x8 blocks and the in-loop filtering of block edges, run by
// the slice decoder once after each reconstructed 32x32 block.
//
// The filter lags the decoder by one block horizontally (the call made after
// block k filters block k - 1) and by one 8x8 row vertically (a call filters
// the bottom 8 rows of the band above with the upper 24 rows of its own
// band); the last block of a band is finished by a second pass of the same
// call.
#pragma once
#include <cstdint>

#include "video/gen2/loopfilter.h"
#include "video/gen2/mc.h"
#include "video/gen2/motion.h"
#include "video/gen2/slices.h"

// Block flag bits the post-filter reads (the slice decoder's block flag word).
enum : uint32_t {
  BLOCK_LOWER_OUTSIDE = 0x1,   // the band's lower 16 rows lie below the plane
  BLOCK_EXTRA_BAND = 0x2,      // extra band after the run: lower half not stored
  BLOCK_RUN_FIRST_BAND = 0x4,  // first band of a run below a slice boundary: upper half not stored
  BLOCK_SLICE_TOP = 0x8,       // first band of a slice that does not start at row 0
  BLOCK_AFTER_RUN_FIRST = 0x10,  // the band after a 0x4 band
  BLOCK_FIRST = 0x20,          // first block of the band
  BLOCK_LAST = 0x40,           // last block of the band
  BLOCK_TOP_BAND = 0x80,       // band at row 0
  BLOCK_BOTTOM_BAND = 0x100,   // last band of the plane
  BLOCK_SECOND = 0x200,        // second block of the band
  BLOCK_NO_COLUMN_EDGES = 0x4000,
  BLOCK_NO_ROW_EDGES = 0x8000,
  BLOCK_KEY = 0x10000,
};

// The filtering window of one band: for each plane the 8x8 words of the
// block being filtered with a ring of neighbours.  A full-resolution row
// holds [0] the right-most word of the block before, [1..4] the block being
// filtered, [5..8] the block after it (the newest block).  A chroma row holds
// [0], [1..2] and [3..4] the same way.  Rows are the second-to-last and last
// 8x8 rows of the band above, then the band's own rows.  The slice decoder
// zeroes the whole record at the start of a run and leaves it to this module.
struct PostFilterWindow {
  uint16_t luma[6][10];
  uint16_t alpha[6][10];
  uint16_t extra[6][10];
  uint16_t chroma1[4][6];
  uint16_t chroma2[4][6];
  DeferredEdgeCodes codes;  // horizontal edges left for the next call
  uint32_t column;          // block column of the newest block in the band
};

// What the slice decoder hands over for one block.  The fields marked "run"
// stay the same for a whole run and can be set once.
//
// Word rows (run): for each plane the 8x8 words along the bottom of the band
// above, one u16 per 8x8 column, indexed by column (x / 8 in luma, alpha and
// extra; x / 8 in chroma).  `*_rows` is the bottom 8x8 row of the band above;
// the row above that lies `full_row_offset` (or `chroma_row_offset`) words
// away.  Both start zeroed at the run.  The post-filter reads the band
// above's words of a block column when the block there arrives and writes
// the current band's last two rows back once it has filtered the column, so
// while block k is being decoded, columns of blocks k - 1 and later still
// hold the band above (what the DC prediction of block k reads).
//
// Motion vectors: entries of a motion-vector row follow each other, so the
// entry before `vectors` is the block to the left (the row's spare entry for
// the first block; it is not read there).
struct PostFilterInput {
  // run
  uint16_t *luma_rows;
  uint16_t *alpha_rows;   // null when alpha is not decoded
  uint16_t *extra_rows;   // null when the movie has no extra plane
  uint16_t *chroma1_rows;
  uint16_t *chroma2_rows;
  intptr_t full_row_offset;    // words from a full-resolution bottom row to the row above it
  intptr_t chroma_row_offset;  // the same for chroma
  int32_t luma_stride;         // luma, alpha and extra planes
  int32_t chroma_stride;
  const uint16_t *threshold;   // eight equal lanes: (frame flags & 0xFF) * 8, 16-byte aligned
  SeamRecord *seam;            // record of the current slice's top boundary, or null
  uint32_t seam_capacity;      // code bytes the record holds (SeamRecordCapacity)

  // per block
  const uint16_t *luma_words;     // 16 words in quadrant order
  const uint16_t *chroma1_words;  // 4 words in row order
  const uint16_t *chroma2_words;
  const uint16_t *alpha_words;    // 16 words, or null when alpha is not decoded
  const uint16_t *extra_words;    // 16 words, or null without the extra plane
  uint32_t flags;                 // the block flag word
  uint8_t *luma;                  // top-left pixel of the new block
  uint8_t *alpha;                 // null when alpha is not decoded
  uint8_t *extra;                 // null without the extra plane
  uint8_t *chroma1;
  uint8_t *chroma2;
  const MotionVectorSet *vectors;        // the new block's entry in the current row
  const MotionVectorSet *above_vectors;  // the entry of the block above it
};

// Filters block k - 1 (and, for the last block of a band, block k too).
void PostFilterBlock(PostFilterWindow *window, const PostFilterInput *in);

// The same through given kernel tables (the DC-smoothing slots of an MC
// table and a loop-filter table).
void PostFilterBlockWith(const McKernelTable *mc, const LoopFilterKernels *edges,
                         PostFilterWindow *window, const PostFilterInput *in);
