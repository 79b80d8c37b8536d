// In-loop edge filters: scalar reference versions, the mask table and the
// deferred-edge walk.
#include "video/gen2/loopfilter.h"

#include "engine/platform/cpu.h"

#define EDGE_MASK(o1, i1, i2, o2) {{o1, i1, i2, o2, 0, 0, 0, 0}}

const EdgeMaskEntry EDGE_FILTER_MASKS[16] = {
    EDGE_MASK(0, 0, 0, 0),     // 0
    EDGE_MASK(0, -1, 0, 0),    // 1
    EDGE_MASK(-1, -1, 0, 0),   // 2
    EDGE_MASK(-1, -1, 0, 0),   // 3
    EDGE_MASK(0, 0, -1, 0),    // 4
    EDGE_MASK(0, -1, -1, 0),   // 5
    EDGE_MASK(-1, -1, -1, 0),  // 6
    EDGE_MASK(-1, -1, -1, 0),  // 7
    EDGE_MASK(0, 0, -1, -1),   // 8
    EDGE_MASK(0, -1, -1, -1),  // 9
    EDGE_MASK(-1, -1, -1, -1), // 10
    EDGE_MASK(-1, -1, -1, -1), // 11
    EDGE_MASK(0, 0, -1, -1),   // 12
    EDGE_MASK(0, -1, -1, -1),  // 13
    EDGE_MASK(-1, -1, -1, -1), // 14
    EDGE_MASK(-1, -1, -1, -1), // 15
};

#undef EDGE_MASK

namespace {

inline uint8_t Saturate(int32_t v) { return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// One line across an edge: p[0] = o1, p[step] = i1, p[2 step] = i2,
// p[3 step] = o2.
inline void FilterLine(uint8_t *p, intptr_t step, const EdgeMaskEntry *mask) {
  int32_t o1 = p[0], i1 = p[step], i2 = p[2 * step], o2 = p[3 * step];
  int32_t d = i2 - i1;
  int32_t outer = (d + 4) >> 3;
  int32_t inner = (d + 2) >> 2;
  if (mask->lane[0]) p[0] = Saturate(o1 + outer);
  if (mask->lane[1]) p[step] = Saturate(i1 + inner);
  if (mask->lane[2]) p[2 * step] = Saturate(i2 - inner);
  if (mask->lane[3]) p[3 * step] = Saturate(o2 - outer);
}

}  // namespace

void FilterHorizontalEdge16Scalar(uint8_t *rows, int32_t stride, const EdgeMaskEntry *left,
                                  const EdgeMaskEntry *right) {
  for (int x = 0; x < 16; ++x) FilterLine(rows + x, stride, x < 8 ? left : right);
}

void FilterVerticalEdge8Scalar(const EdgeMaskEntry *mask, uint8_t *pixels, uint32_t stride) {
  for (int y = 0; y < 8; ++y) FilterLine(pixels + uintptr_t(y) * stride - 2, 1, mask);
}

void InitLoopFilterKernelsScalar(LoopFilterKernels *table) {
  table->horizontal_edge16 = FilterHorizontalEdge16Scalar;
  table->vertical_edge8 = FilterVerticalEdge8Scalar;
}

void InitLoopFilterKernels(LoopFilterKernels *table, uint32_t features) {
  InitLoopFilterKernelsScalar(table);
  if (features & CPU_SSE2) InitLoopFilterKernelsSse2(table);
}

namespace {

struct LoopFilterTables {
  LoopFilterKernels scalar;
  LoopFilterKernels vector;
};

const LoopFilterTables &Tables() {
  static const LoopFilterTables tables = [] {
    LoopFilterTables t;
    InitLoopFilterKernels(&t.scalar, 0);
    InitLoopFilterKernels(&t.vector, CPU_SSE2);
    return t;
  }();
  return tables;
}

}  // namespace

const LoopFilterKernels *GetLoopFilterKernels() {
  const LoopFilterTables &t = Tables();
  return (GetCpuFeatures() & CPU_SSE2) ? &t.vector : &t.scalar;
}

void FilterHorizontalEdge16(uint8_t *rows, int32_t stride, const EdgeMaskEntry *left,
                            const EdgeMaskEntry *right) {
  GetLoopFilterKernels()->horizontal_edge16(rows, stride, left, right);
}

void FilterVerticalEdge8(const EdgeMaskEntry *mask, uint8_t *pixels, uint32_t stride) {
  GetLoopFilterKernels()->vertical_edge8(mask, pixels, stride);
}

namespace {

// One code byte over the 16 columns left of `top`, a block's top row: the
// window of four rows starts `row` rows below the row two above the block,
// that is row - 2 rows from `top`. The address is formed only for a
// non-zero code, so a block of the top band never forms one above its plane.
inline void FilterWindow(const LoopFilterKernels *k, uint8_t *top, int32_t row, int32_t stride,
                         uint32_t code) {
  code &= 0xFF;
  if (code == 0) return;
  uint8_t *p = top + intptr_t(row - 2) * stride - 16;
  k->horizontal_edge16(p, stride, &EDGE_FILTER_MASKS[code & 15], &EDGE_FILTER_MASKS[code >> 4]);
}

inline void FilterChromaWord(const LoopFilterKernels *k, uint8_t *c, int32_t stride,
                             uint32_t word) {
  FilterWindow(k, c, -8, stride, word);
  FilterWindow(k, c, 0, stride, word >> 8);
  FilterWindow(k, c, 8, stride, word >> 16);
}

}  // namespace

void FilterDeferredEdgesWith(const LoopFilterKernels *kernels, uint8_t *luma, uint8_t *chroma1,
                             uint8_t *chroma2, const DeferredEdgeCodes *codes,
                             int32_t luma_stride, int32_t chroma_stride) {
  uint32_t w = codes->word[0];
  if (w) {
    FilterWindow(kernels, luma, -8, luma_stride, w);
    FilterWindow(kernels, luma, 0, luma_stride, w >> 8);
    FilterWindow(kernels, luma, 8, luma_stride, w >> 16);
    FilterWindow(kernels, luma, 16, luma_stride, w >> 24);
  }
  w = codes->word[1];
  if (w) {
    FilterWindow(kernels, luma, 24, luma_stride, w >> 24);
    FilterChromaWord(kernels, chroma1, chroma_stride, w & 0xFFFFFF);
  }
  w = codes->word[2];
  if (w) FilterChromaWord(kernels, chroma2, chroma_stride, w & 0xFFFFFF);
}

void FilterDeferredEdges(uint8_t *luma, uint8_t *chroma1, uint8_t *chroma2,
                         const DeferredEdgeCodes *codes, int32_t luma_stride,
                         int32_t chroma_stride) {
  FilterDeferredEdgesWith(GetLoopFilterKernels(), luma + intptr_t(2) * luma_stride,
                          chroma1 + intptr_t(2) * chroma_stride,
                          chroma2 + intptr_t(2) * chroma_stride, codes, luma_stride,
                          chroma_stride);
}
