// In-loop edge filters, SSE2 versions: one pass of 16-bit lane arithmetic,
// lines selected by the mask entries without branches.
#include <emmintrin.h>

#include <cstring>

#include "video/gen2/loopfilter.h"

namespace {

// Lane j of a mask entry copied to all eight lanes.
inline __m128i MaskLane(__m128i entry, int j) {
  __m128i v;
  switch (j) {
    case 0: v = _mm_shufflelo_epi16(entry, 0x00); break;
    case 1: v = _mm_shufflelo_epi16(entry, 0x55); break;
    case 2: v = _mm_shufflelo_epi16(entry, 0xAA); break;
    default: v = _mm_shufflelo_epi16(entry, 0xFF); break;
  }
  return _mm_shuffle_epi32(v, 0x00);
}

struct Lines {
  __m128i o1, i1, i2, o2;
};

// Filters eight lines held in 16-bit lanes, one mask per line position.
inline void FilterLanes(Lines *l, __m128i m_o1, __m128i m_i1, __m128i m_i2, __m128i m_o2) {
  __m128i d = _mm_sub_epi16(l->i2, l->i1);
  __m128i outer = _mm_srai_epi16(_mm_add_epi16(d, _mm_set1_epi16(4)), 3);
  __m128i inner = _mm_srai_epi16(_mm_add_epi16(d, _mm_set1_epi16(2)), 2);
  l->o1 = _mm_add_epi16(l->o1, _mm_and_si128(outer, m_o1));
  l->i1 = _mm_add_epi16(l->i1, _mm_and_si128(inner, m_i1));
  l->i2 = _mm_sub_epi16(l->i2, _mm_and_si128(inner, m_i2));
  l->o2 = _mm_sub_epi16(l->o2, _mm_and_si128(outer, m_o2));
}

inline __m128i Load32(const uint8_t *p) {
  int32_t v;
  memcpy(&v, p, 4);
  return _mm_cvtsi32_si128(v);
}

inline void Store32(uint8_t *p, __m128i v) {
  int32_t x = _mm_cvtsi128_si32(v);
  memcpy(p, &x, 4);
}

}  // namespace

void FilterHorizontalEdge16Sse2(uint8_t *rows, int32_t stride, const EdgeMaskEntry *left,
                                const EdgeMaskEntry *right) {
  const __m128i zero = _mm_setzero_si128();
  intptr_t s = stride;
  __m128i r0 = _mm_load_si128(reinterpret_cast<const __m128i *>(rows));
  __m128i r1 = _mm_load_si128(reinterpret_cast<const __m128i *>(rows + s));
  __m128i r2 = _mm_load_si128(reinterpret_cast<const __m128i *>(rows + 2 * s));
  __m128i r3 = _mm_load_si128(reinterpret_cast<const __m128i *>(rows + 3 * s));
  __m128i ml = _mm_load_si128(reinterpret_cast<const __m128i *>(left->lane));
  __m128i mr = _mm_load_si128(reinterpret_cast<const __m128i *>(right->lane));

  Lines lo = {_mm_unpacklo_epi8(r0, zero), _mm_unpacklo_epi8(r1, zero),
              _mm_unpacklo_epi8(r2, zero), _mm_unpacklo_epi8(r3, zero)};
  Lines hi = {_mm_unpackhi_epi8(r0, zero), _mm_unpackhi_epi8(r1, zero),
              _mm_unpackhi_epi8(r2, zero), _mm_unpackhi_epi8(r3, zero)};
  FilterLanes(&lo, MaskLane(ml, 0), MaskLane(ml, 1), MaskLane(ml, 2), MaskLane(ml, 3));
  FilterLanes(&hi, MaskLane(mr, 0), MaskLane(mr, 1), MaskLane(mr, 2), MaskLane(mr, 3));

  _mm_store_si128(reinterpret_cast<__m128i *>(rows), _mm_packus_epi16(lo.o1, hi.o1));
  _mm_store_si128(reinterpret_cast<__m128i *>(rows + s), _mm_packus_epi16(lo.i1, hi.i1));
  _mm_store_si128(reinterpret_cast<__m128i *>(rows + 2 * s), _mm_packus_epi16(lo.i2, hi.i2));
  _mm_store_si128(reinterpret_cast<__m128i *>(rows + 3 * s), _mm_packus_epi16(lo.o2, hi.o2));
}

void FilterVerticalEdge8Sse2(const EdgeMaskEntry *mask, uint8_t *pixels, uint32_t stride) {
  const __m128i zero = _mm_setzero_si128();
  uint8_t *p = pixels - 2;
  uintptr_t s = stride;
  // Gather columns -2..+1 of the 8 rows and transpose them into four lines.
  __m128i t01 = _mm_unpacklo_epi8(Load32(p), Load32(p + s));
  __m128i t23 = _mm_unpacklo_epi8(Load32(p + 2 * s), Load32(p + 3 * s));
  __m128i t45 = _mm_unpacklo_epi8(Load32(p + 4 * s), Load32(p + 5 * s));
  __m128i t67 = _mm_unpacklo_epi8(Load32(p + 6 * s), Load32(p + 7 * s));
  __m128i u03 = _mm_unpacklo_epi16(t01, t23);
  __m128i u47 = _mm_unpacklo_epi16(t45, t67);
  // u03 and u47 hold one 32-bit group per column (rows 0-3, rows 4-7).
  __m128i c01 = _mm_unpacklo_epi32(u03, u47);  // o1 of rows 0-7, then i1
  __m128i c23 = _mm_unpackhi_epi32(u03, u47);  // i2, then o2
  Lines l = {_mm_unpacklo_epi8(c01, zero), _mm_unpackhi_epi8(c01, zero),
             _mm_unpacklo_epi8(c23, zero), _mm_unpackhi_epi8(c23, zero)};
  __m128i m = _mm_load_si128(reinterpret_cast<const __m128i *>(mask->lane));
  FilterLanes(&l, MaskLane(m, 0), MaskLane(m, 1), MaskLane(m, 2), MaskLane(m, 3));

  __m128i b01 = _mm_packus_epi16(l.o1, l.i1);  // o1 rows 0-7, i1 rows 0-7
  __m128i b23 = _mm_packus_epi16(l.i2, l.o2);
  __m128i a = _mm_unpacklo_epi8(b01, _mm_srli_si128(b01, 8));  // o1 i1 per row
  __m128i b = _mm_unpacklo_epi8(b23, _mm_srli_si128(b23, 8));  // i2 o2 per row
  __m128i rows03 = _mm_unpacklo_epi16(a, b);
  __m128i rows47 = _mm_unpackhi_epi16(a, b);
  Store32(p, rows03);
  Store32(p + s, _mm_srli_si128(rows03, 4));
  Store32(p + 2 * s, _mm_srli_si128(rows03, 8));
  Store32(p + 3 * s, _mm_srli_si128(rows03, 12));
  Store32(p + 4 * s, rows47);
  Store32(p + 5 * s, _mm_srli_si128(rows47, 4));
  Store32(p + 6 * s, _mm_srli_si128(rows47, 8));
  Store32(p + 7 * s, _mm_srli_si128(rows47, 12));
}

void InitLoopFilterKernelsSse2(LoopFilterKernels *table) {
  table->horizontal_edge16 = FilterHorizontalEdge16Sse2;
  table->vertical_edge8 = FilterVerticalEdge8Sse2;
}
