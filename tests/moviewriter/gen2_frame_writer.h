// Test writer of whole second-generation frames: a frame described block by
// block (type, quantiser, DC values, AC levels, motion vectors) becomes the
// exact video data the decoder reads, for key and inter frames, any slice
// count and any size.  Also simple encodings of a given picture, and plain
// models of the dequantisation and the integer inverse transform.
#pragma once
#include <cstdint>
#include <vector>

#include "engine/framebuffers.h"
#include "video/gen2/slices.h"

enum : uint32_t {
  G2W_PLANES = 5,  // luma, chroma 1, chroma 2, alpha, extra
};

// One AC level of one 8x8 block: plane, 8x8 index (quadrant order for the
// full-resolution planes, row order for chroma), scan position 1..63, level.
struct Gen2AcLevel {
  uint8_t plane;
  uint8_t block;
  uint8_t pos;
  int16_t level;
};

struct Gen2BlockDesc {
  uint8_t type;  // 0 intra, 1 skip, 2 motion, 3 motion and residual
  // Quantiser of an intra (type 0) or residual (type 3) block; the writer
  // codes it as a delta from the decoder's prediction (must lie within 36).
  uint8_t qi;
  // Motion vectors (types 2 and 3) in half luma samples: x0, y0, .. x3, y3.
  int32_t mv[8];
  bool single_vector;    // code one difference per component (vectors equal)
  bool chroma_residual;  // type 3: the chroma planes carry a residual
  bool table2;           // AC codes with run-code table 2
  // Wanted DC values per plane and 8x8 (intra: 0..2047, eight times the
  // mean; type 3: the residual's, within the frame's DC range).  The writer
  // codes the difference from the decoder's prediction and writes back the
  // value the decoder will form (quantised DC residuals may not hit it).
  int32_t dc[G2W_PLANES][16];
  // When set, dc[][] holds signed DC residual code magnitudes instead (no
  // prediction; for syntax tests), and nothing is written back.
  bool dc_raw;
  std::vector<Gen2AcLevel> ac;
};

// DC-equivalent (AverageBlock8x8 of the current frame's reconstructed,
// unfiltered pixels) of the 8x8 at (x, y) of a plane, for intra blocks whose
// neighbours are not intra.  Tests that mix block types provide it.
typedef int32_t (*Gen2NeighbourDc)(void *context, uint32_t plane, uint32_t x, uint32_t y);

struct Gen2FrameDesc {
  uint32_t width, height;  // frame-buffer luma size (width multiple of 32, height of 16)
  bool key;                // key frame: every block intra, no block types
  bool alpha;              // the stream carries alpha syntax
  bool extra;              // the stream carries extra-plane syntax
  uint32_t frame_flags;    // FrameFlags; bit 13 is the caller's to set
  uint32_t slice_count;    // 1..8
  uint32_t end_row[8];     // slice ends as the decoder's layout has them
  // Edge bitmaps (with frame flag 16): one 0/1 per 8 rows / 8 columns.
  std::vector<uint8_t> row_edges, column_edges;
  bool run_length_bitmaps;
  // Blocks in raster order, (height + 31) / 32 rows of width / 32.
  std::vector<Gen2BlockDesc> blocks;
  Gen2NeighbourDc neighbour_dc;
  void *neighbour_context;
};

// A description with every block of the given type and zero everything, slices
// and flags as given (frame_flags gets bit 13).
Gen2FrameDesc MakeGen2Frame(uint32_t width, uint32_t height, bool key, uint32_t slice_count,
                            const uint32_t *end_row, uint32_t frame_flags);

// The frame's video data (flag word, slice offsets, slice bitstreams).
std::vector<uint8_t> WriteGen2Frame(Gen2FrameDesc *desc);

// ---- pictures and encodings ------------------------------------------------

struct Gen2Picture {
  uint32_t width, height;  // luma size; chroma planes are half in each direction
  std::vector<uint8_t> planes[G2W_PLANES];  // tightly packed rows; alpha/extra may be empty
};

Gen2Picture MakeGen2Picture(uint32_t width, uint32_t height, bool alpha, bool extra);
inline uint32_t Gen2PlaneWidth(const Gen2Picture &p, uint32_t plane) {
  return plane == 1 || plane == 2 ? p.width / 2 : p.width;
}
inline uint32_t Gen2PlaneHeight(const Gen2Picture &p, uint32_t plane) {
  return plane == 1 || plane == 2 ? p.height / 2 : p.height;
}

// Key frame of DC-only intra blocks from the 8x8 means of the picture.
void EncodeFlatBlocks(const Gen2Picture &picture, Gen2FrameDesc *desc);
// Key frame of intra blocks with AC levels: a forward transform fitted to the
// decoder's integer inverse transform, quantised at qi.
void EncodeIntraWithAc(const Gen2Picture &picture, uint8_t qi, Gen2FrameDesc *desc);
// The residual of a motion block (type 3) at column j of band `band`: DC
// values and AC levels, at the block's qi, of target - prediction in the
// luma plane and, when the block says chroma_residual, the chroma planes.
void EncodeBlockResidual(const Gen2Picture &target, const Gen2Picture &prediction, uint32_t j,
                         uint32_t band, Gen2BlockDesc *block);

// ---- models ----------------------------------------------------------------

// Dequantised AC coefficient of a level at coefficient index n.
int16_t ModelDequantise(int32_t level, const uint16_t *table, int32_t qi, uint32_t n);
// 8x8 inverse transform of 64 coefficients (index 8 * horizontal +
// vertical) in 16-bit arithmetic, full precision (no class shortcut);
// out[8 * y + x].
void ModelInverseTransform8x8(const int16_t coeffs[64], int16_t out[64]);
// Samples of an intra 8x8 block decoded from its DC and levels (by scan
// position) at qi with the given table; all filtering off.
void ModelIntraBlock(int32_t dc, const int32_t levels[64], const uint16_t *table, int32_t qi,
                     uint8_t out[64]);

double Gen2PlanePsnr(const uint8_t *a, uint32_t a_stride, const uint8_t *b, uint32_t b_stride,
                     uint32_t width, uint32_t height);

// ---- decoding helpers for tests ----------------------------------------------


// Frame buffers laid out as the open does for a second-generation movie
// (width rounded to 32, height to 16, strides to 64), each plane its own
// exact-size allocation, zeroed.
struct Gen2TestBuffers {
  FrameBufferSet set;
  std::vector<void *> blocks;
};
void AllocGen2Buffers(Gen2TestBuffers *b, uint32_t width, uint32_t height, uint32_t sets,
                      bool alpha, bool extra);
void FreeGen2Buffers(Gen2TestBuffers *b);
// The planes of set s as a picture (luma size of the buffers).
Gen2Picture Gen2BuffersPicture(const Gen2TestBuffers &b, uint32_t s);
// Copies a picture into set s.
void FillGen2Buffers(Gen2TestBuffers *b, uint32_t s, const Gen2Picture &p);

// Layout of a revision h..n movie with the given slice-count index.
void MakeGen2Layout(SliceLayout *layout, uint32_t width, uint32_t height, uint32_t slice_index);

// Decodes one frame as the engine does: clears the seam records, decodes
// each run (SliceRun bytes), smooths the seams and makes the written set
// current.  The video data is copied into an exact-size allocation.  Returns
// the AND of the runs' results.
int DecodeGen2Frame(Gen2TestBuffers *b, const std::vector<uint8_t> &video, SliceLayout *layout,
                    bool key, bool alpha, bool extra, const std::vector<uint32_t> &runs);
// Every split of slices 0..n-1 into consecutive runs, as run-byte lists.
std::vector<std::vector<uint32_t>> AllGen2Splits(uint32_t n);
