// In-loop edge filters of the second-generation decoder: the pixel routines
// that smooth one vertical or horizontal block edge, and the table of
// per-code line masks that says which of the four lines across an edge may
// change.
#pragma once
#include <cstdint>

// One mask entry: o1, i1, i2, o2 (0 keeps the line, -1 takes the filtered
// value), then four zero lanes, so that one entry loads as one aligned
// 128-bit vector.
struct alignas(16) EdgeMaskEntry {
  int16_t lane[8];
};

// Indexed by the 4-bit edge code: bits 0-1 the side before the edge (0
// nothing, 1 the inner line, 2 or 3 both lines), bits 2-3 the side after it.
extern const EdgeMaskEntry EDGE_FILTER_MASKS[16];

enum : uint32_t {
  EDGE_CODE_FULL = 10,  // all four lines change
};

// Three words of code bytes that the post-filter keeps between two calls:
// word 0 luma edges (bytes 0-3), word 1 chroma-1 edges (bytes 0-2) and a
// fifth luma edge (byte 3), word 2 chroma-2 edges (bytes 0-2).  In a code
// byte the low nibble governs the left 8 pixels, the high nibble the right 8.
struct DeferredEdgeCodes {
  uint32_t word[3];
};

// Filters one horizontal edge 16 pixels wide.  `rows` addresses o1; i1, i2
// and o2 follow at one, two and three strides.  `left` governs the first 8
// pixels, `right` the last 8.  Every row must be 16-byte aligned.
void FilterHorizontalEdge16(uint8_t *rows, int32_t stride, const EdgeMaskEntry *left,
                            const EdgeMaskEntry *right);

// Filters one vertical edge 8 rows high.  `pixels` is the first pixel right
// of the edge in the top row; columns -2..+1 of 8 rows are read and written.
void FilterVerticalEdge8(const EdgeMaskEntry *mask, uint8_t *pixels, uint32_t stride);

// Applies the deferred code bytes: every edge lies in the 16 columns left of
// the plane pointers, which are counted from two rows above a block's top.
void FilterDeferredEdges(uint8_t *luma, uint8_t *chroma1, uint8_t *chroma2,
                         const DeferredEdgeCodes *codes, int32_t luma_stride,
                         int32_t chroma_stride);

// Kernel slots, one table per instruction set.
typedef void (*HorizontalEdgeKernel)(uint8_t *rows, int32_t stride, const EdgeMaskEntry *left,
                                     const EdgeMaskEntry *right);
typedef void (*VerticalEdgeKernel)(const EdgeMaskEntry *mask, uint8_t *pixels, uint32_t stride);

struct LoopFilterKernels {
  HorizontalEdgeKernel horizontal_edge16;
  VerticalEdgeKernel vertical_edge8;
};

// Plain reference versions.
void FilterHorizontalEdge16Scalar(uint8_t *rows, int32_t stride, const EdgeMaskEntry *left,
                                  const EdgeMaskEntry *right);
void FilterVerticalEdge8Scalar(const EdgeMaskEntry *mask, uint8_t *pixels, uint32_t stride);

// SSE2 versions (loopfilter_sse2.cpp).
void FilterHorizontalEdge16Sse2(uint8_t *rows, int32_t stride, const EdgeMaskEntry *left,
                                const EdgeMaskEntry *right);
void FilterVerticalEdge8Sse2(const EdgeMaskEntry *mask, uint8_t *pixels, uint32_t stride);

void InitLoopFilterKernelsScalar(LoopFilterKernels *table);
void InitLoopFilterKernelsSse2(LoopFilterKernels *table);
// Fills the table for a feature word (CPU_SSE2 selects the vector set).
void InitLoopFilterKernels(LoopFilterKernels *table, uint32_t features);
// The table for the current effective feature word.
const LoopFilterKernels *GetLoopFilterKernels();

// Deferred-edge application through a given table (the post-filter passes
// the one it fetched for the whole call). Its plane pointers are the block's
// own, at its top row: the rows two above it are counted only where a
// non-zero code forms an address there.
void FilterDeferredEdgesWith(const LoopFilterKernels *kernels, uint8_t *luma, uint8_t *chroma1,
                             uint8_t *chroma2, const DeferredEdgeCodes *codes,
                             int32_t luma_stride, int32_t chroma_stride);
