// SSE2 inverse transform and block kernels of the second-generation codec.
// Bit-identical to the scalar references in transform.cpp.
#include <emmintrin.h>

#include "video/gen2/coeffs.h"
#include "video/gen2/transform.h"

// One-dimensional transform of eight vectors, lane by lane, in place.
static inline void Transform8Lanes(__m128i *x) {
  const __m128i a0 = _mm_add_epi16(x[0], x[4]);
  const __m128i a1 = _mm_sub_epi16(x[0], x[4]);
  const __m128i e2 = _mm_add_epi16(_mm_add_epi16(x[2], _mm_srai_epi16(x[2], 2)), _mm_srai_epi16(x[6], 1));
  const __m128i e6 = _mm_sub_epi16(_mm_sub_epi16(_mm_srai_epi16(x[2], 1), x[6]), _mm_srai_epi16(x[6], 2));
  const __m128i E0 = _mm_add_epi16(a0, e2);
  const __m128i E3 = _mm_sub_epi16(a0, e2);
  const __m128i E1 = _mm_add_epi16(a1, e6);
  const __m128i E2 = _mm_sub_epi16(a1, e6);

  const __m128i s = _mm_add_epi16(_mm_add_epi16(x[1], x[3]), x[5]);
  const __m128i d = _mm_sub_epi16(_mm_sub_epi16(x[1], x[3]), x[5]);
  const __m128i m35 = _mm_sub_epi16(x[3], x[5]);
  const __m128i p = _mm_add_epi16(m35, x[7]);
  const __m128i q = _mm_sub_epi16(m35, x[7]);
  const __m128i s2 = _mm_srai_epi16(s, 2);
  const __m128i p2 = _mm_srai_epi16(p, 2);
  const __m128i O0 = _mm_add_epi16(_mm_sub_epi16(_mm_add_epi16(s, s2), _mm_srai_epi16(s, 4)), p2);
  const __m128i O1 = _mm_sub_epi16(_mm_sub_epi16(_mm_add_epi16(d, q), _mm_srai_epi16(q, 2)), _mm_srai_epi16(q, 4));
  const __m128i O2 = _mm_sub_epi16(_mm_sub_epi16(_mm_sub_epi16(d, q), _mm_srai_epi16(d, 2)), _mm_srai_epi16(d, 4));
  const __m128i O3 = _mm_sub_epi16(_mm_sub_epi16(_mm_add_epi16(s2, _mm_srai_epi16(p, 4)), p), p2);

  x[0] = _mm_add_epi16(E0, O0);
  x[7] = _mm_sub_epi16(E0, O0);
  x[1] = _mm_add_epi16(E1, O1);
  x[6] = _mm_sub_epi16(E1, O1);
  x[2] = _mm_add_epi16(E2, O2);
  x[5] = _mm_sub_epi16(E2, O2);
  x[3] = _mm_add_epi16(E3, O3);
  x[4] = _mm_sub_epi16(E3, O3);
}

static inline void Transpose8x8(__m128i *r) {
  const __m128i t0 = _mm_unpacklo_epi16(r[0], r[1]);
  const __m128i t1 = _mm_unpackhi_epi16(r[0], r[1]);
  const __m128i t2 = _mm_unpacklo_epi16(r[2], r[3]);
  const __m128i t3 = _mm_unpackhi_epi16(r[2], r[3]);
  const __m128i t4 = _mm_unpacklo_epi16(r[4], r[5]);
  const __m128i t5 = _mm_unpackhi_epi16(r[4], r[5]);
  const __m128i t6 = _mm_unpacklo_epi16(r[6], r[7]);
  const __m128i t7 = _mm_unpackhi_epi16(r[6], r[7]);
  const __m128i u0 = _mm_unpacklo_epi32(t0, t2);
  const __m128i u1 = _mm_unpackhi_epi32(t0, t2);
  const __m128i u2 = _mm_unpacklo_epi32(t1, t3);
  const __m128i u3 = _mm_unpackhi_epi32(t1, t3);
  const __m128i u4 = _mm_unpacklo_epi32(t4, t6);
  const __m128i u5 = _mm_unpackhi_epi32(t4, t6);
  const __m128i u6 = _mm_unpacklo_epi32(t5, t7);
  const __m128i u7 = _mm_unpackhi_epi32(t5, t7);
  r[0] = _mm_unpacklo_epi64(u0, u4);
  r[1] = _mm_unpackhi_epi64(u0, u4);
  r[2] = _mm_unpacklo_epi64(u1, u5);
  r[3] = _mm_unpackhi_epi64(u1, u5);
  r[4] = _mm_unpacklo_epi64(u2, u6);
  r[5] = _mm_unpackhi_epi64(u2, u6);
  r[6] = _mm_unpacklo_epi64(u3, u7);
  r[7] = _mm_unpackhi_epi64(u3, u7);
}

static inline __m128i *RowAt(int16_t *out, int32_t pitch, int y) {
  return reinterpret_cast<__m128i *>(reinterpret_cast<uint8_t *>(out) + y * pitch);
}

static inline void InverseTransform8x8Sse2(int16_t *out, int32_t pitch, const int16_t *k, uint32_t cls) {
  __m128i r[8];
  if (cls == 0) {
    const __m128i dc = _mm_srai_epi16(_mm_set1_epi16(k[0]), 6);
    for (int y = 0; y < 8; ++y) _mm_storeu_si128(RowAt(out, pitch, y), dc);
    return;
  }
  // Row h of the block holds horizontal frequency h, lanes = vertical frequency.
  if (cls <= 9) {
    // Only the 4x4 low-frequency corner counts.
    for (int h = 0; h < 4; ++h) r[h] = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(k + 8 * h));
    for (int h = 4; h < 8; ++h) r[h] = _mm_setzero_si128();
  } else {
    for (int h = 0; h < 8; ++h) r[h] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(k + 8 * h));
  }
  Transform8Lanes(r);  // r[x] lane v = pass-1 value of vertical frequency v at column x
  Transpose8x8(r);     // r[v] lane x
  Transform8Lanes(r);  // r[y] lane x = output row y
  for (int y = 0; y < 8; ++y) _mm_storeu_si128(RowAt(out, pitch, y), _mm_srai_epi16(r[y], 6));
}

void InverseTransform16x16(int16_t *out, const int16_t *coeffs, uint32_t classes, int32_t out_pitch) {
  InverseTransform8x8Sse2(out, out_pitch, coeffs, classes & 0xFF);
  InverseTransform8x8Sse2(out + 8, out_pitch, coeffs + 64, (classes >> 8) & 0xFF);
  int16_t *lower = reinterpret_cast<int16_t *>(reinterpret_cast<uint8_t *>(out) + 8 * out_pitch);
  InverseTransform8x8Sse2(lower, out_pitch, coeffs + 128, (classes >> 16) & 0xFF);
  InverseTransform8x8Sse2(lower + 8, out_pitch, coeffs + 192, classes >> 24);
}

void PackRows16(uint8_t *dst, int32_t dst_stride, const int16_t *src) {
  for (int r = 0; r < 8; ++r) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * r));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * r + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + r * dst_stride), _mm_packus_epi16(lo, hi));
  }
}

void CopyBlock16x16(uint8_t *dst, int32_t dst_stride, const uint8_t *src, int32_t src_stride) {
  for (int r = 0; r < 16; ++r)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + r * dst_stride),
                     _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + r * src_stride)));
}

void AddResidual16x8(uint8_t *dst, int32_t dst_stride, const int16_t *residual, int32_t residual_pitch,
                     const uint8_t *pred, int32_t pred_stride) {
  const __m128i zero = _mm_setzero_si128();
  const uint8_t *res = reinterpret_cast<const uint8_t *>(residual);
  for (int r = 0; r < 8; ++r) {
    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pred + r * pred_stride));
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(res + r * residual_pitch));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(res + r * residual_pitch + 16));
    const __m128i sum_lo = _mm_add_epi16(_mm_unpacklo_epi8(p, zero), lo);
    const __m128i sum_hi = _mm_add_epi16(_mm_unpackhi_epi8(p, zero), hi);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + r * dst_stride), _mm_packus_epi16(sum_lo, sum_hi));
  }
}

// Rounded average tree of 8 rows, byte-wise (pavgb rounds up).
static inline __m128i AverageTree(__m128i r0, __m128i r1, __m128i r2, __m128i r3, __m128i r4, __m128i r5,
                                  __m128i r6, __m128i r7) {
  const __m128i a = _mm_avg_epu8(_mm_avg_epu8(r0, r1), _mm_avg_epu8(r2, r3));
  const __m128i b = _mm_avg_epu8(_mm_avg_epu8(r4, r5), _mm_avg_epu8(r6, r7));
  return _mm_avg_epu8(a, b);
}

static inline __m128i AverageRows16(const uint8_t *src, int32_t stride) {
#define VOSH_ROW(i) _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + (i) * stride))
  return AverageTree(VOSH_ROW(0), VOSH_ROW(1), VOSH_ROW(2), VOSH_ROW(3), VOSH_ROW(4), VOSH_ROW(5), VOSH_ROW(6),
                     VOSH_ROW(7));
#undef VOSH_ROW
}

void AverageStrip32x8(int32_t *out, const uint8_t *src, int32_t stride) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i left = _mm_sad_epu8(AverageRows16(src, stride), zero);
  const __m128i right = _mm_sad_epu8(AverageRows16(src + 16, stride), zero);
  out[0] = _mm_cvtsi128_si32(left);
  out[1] = _mm_cvtsi128_si32(_mm_srli_si128(left, 8));
  out[2] = _mm_cvtsi128_si32(right);
  out[3] = _mm_cvtsi128_si32(_mm_srli_si128(right, 8));
}

void AverageBlock16x8(int32_t *out, const uint8_t *src, int32_t stride) {
  const __m128i sums = _mm_sad_epu8(AverageRows16(src, stride), _mm_setzero_si128());
  out[0] = _mm_cvtsi128_si32(sums);
  out[1] = _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
}

void AverageBlock8x8(int32_t *out, const uint8_t *src, int32_t stride) {
#define VOSH_ROW(i) _mm_loadl_epi64(reinterpret_cast<const __m128i *>(src + (i) * stride))
  const __m128i avg = AverageTree(VOSH_ROW(0), VOSH_ROW(1), VOSH_ROW(2), VOSH_ROW(3), VOSH_ROW(4), VOSH_ROW(5),
                                  VOSH_ROW(6), VOSH_ROW(7));
#undef VOSH_ROW
  out[0] = _mm_cvtsi128_si32(_mm_sad_epu8(avg, _mm_setzero_si128()));
}

// ---- residual smoothing -------------------------------------------------------

// 1 when the edge between 8x8 residual blocks with words wa and wb is
// smoothed: not when both have 8 or more AC levels, nor when both have none
// and their DCs lie at most 32 apart. Formed without branches: which edges
// are smoothed follows the data and would defeat a branch predictor.
static inline uint32_t ResidualEdgeOn(uint16_t wa, uint16_t wb) {
  const int32_t diff = SubblockWordDc(wa) - SubblockWordDc(wb);
  const uint32_t far = uint32_t(diff > 32) | uint32_t(diff < -32);
  const uint32_t both_without_levels = uint32_t((wa & wb & 0x6000) == 0x6000);
  const uint32_t some_levels = uint32_t((wa | wb) >= 0x2000);
  return some_levels & ((both_without_levels ^ 1u) | far);
}

// One edge's 8 lines, lane by lane: p1, p0 before the edge, q0, q1 after it.
// A side's changes are masked off by its class (all lanes alike).
static inline void SmoothResidualLanes(__m128i *p1, __m128i *p0, __m128i *q0, __m128i *q1, uint16_t wa,
                                       uint16_t wb) {
  const int32_t ca = (wa >> 13) & 3, cb = (wb >> 13) & 3;
  const __m128i d = _mm_sub_epi16(*q0, *p0);
  const __m128i s8 = _mm_srai_epi16(_mm_add_epi16(d, _mm_set1_epi16(4)), 3);
  const __m128i s4 = _mm_srai_epi16(_mm_add_epi16(d, _mm_set1_epi16(2)), 2);
  *p1 = _mm_add_epi16(*p1, _mm_and_si128(s8, _mm_set1_epi16(int16_t(-(ca >= 2)))));
  *p0 = _mm_add_epi16(*p0, _mm_and_si128(s4, _mm_set1_epi16(int16_t(-(ca >= 1)))));
  *q0 = _mm_sub_epi16(*q0, _mm_and_si128(s4, _mm_set1_epi16(int16_t(-(cb >= 1)))));
  *q1 = _mm_sub_epi16(*q1, _mm_and_si128(s8, _mm_set1_epi16(int16_t(-(cb >= 2)))));
}

static inline __m128i LoadLine(const int16_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
static inline void StoreLine(int16_t *p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v); }

// Vertical edge: p is the first value right of the edge in the first of 8
// rows; the four values around the edge in each row are turned into lanes.
static inline void SmoothVerticalResidualEdge(int16_t *p, int32_t pitch, uint16_t wa, uint16_t wb) {
  __m128i v[8];
  for (int r = 0; r < 8; ++r) v[r] = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p - 2 + r * pitch));
  const __m128i t0 = _mm_unpacklo_epi16(v[0], v[1]);
  const __m128i t1 = _mm_unpacklo_epi16(v[2], v[3]);
  const __m128i t2 = _mm_unpacklo_epi16(v[4], v[5]);
  const __m128i t3 = _mm_unpacklo_epi16(v[6], v[7]);
  const __m128i u0 = _mm_unpacklo_epi32(t0, t1);  // p1 of rows 0-3, p0 of rows 0-3
  const __m128i u1 = _mm_unpackhi_epi32(t0, t1);  // q0, q1 of rows 0-3
  const __m128i u2 = _mm_unpacklo_epi32(t2, t3);  // rows 4-7
  const __m128i u3 = _mm_unpackhi_epi32(t2, t3);
  __m128i p1 = _mm_unpacklo_epi64(u0, u2), p0 = _mm_unpackhi_epi64(u0, u2);
  __m128i q0 = _mm_unpacklo_epi64(u1, u3), q1 = _mm_unpackhi_epi64(u1, u3);
  SmoothResidualLanes(&p1, &p0, &q0, &q1, wa, wb);
  const __m128i a0 = _mm_unpacklo_epi16(p1, p0);  // p1 p0 of rows 0-3
  const __m128i a1 = _mm_unpackhi_epi16(p1, p0);  // rows 4-7
  const __m128i b0 = _mm_unpacklo_epi16(q0, q1);
  const __m128i b1 = _mm_unpackhi_epi16(q0, q1);
  const __m128i rows[4] = {_mm_unpacklo_epi32(a0, b0), _mm_unpackhi_epi32(a0, b0), _mm_unpacklo_epi32(a1, b1),
                           _mm_unpackhi_epi32(a1, b1)};
  for (int r = 0; r < 4; ++r) {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p - 2 + (2 * r) * pitch), rows[r]);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p - 2 + (2 * r + 1) * pitch), _mm_srli_si128(rows[r], 8));
  }
}

// Horizontal edge: p is the first value below the edge in the first of 8
// columns; each row of 8 values is one vector.
static inline void SmoothHorizontalResidualEdge(int16_t *p, int32_t pitch, uint16_t wa, uint16_t wb) {
  __m128i p1 = LoadLine(p - 2 * pitch), p0 = LoadLine(p - pitch), q0 = LoadLine(p), q1 = LoadLine(p + pitch);
  SmoothResidualLanes(&p1, &p0, &q0, &q1, wa, wb);
  StoreLine(p - 2 * pitch, p1);
  StoreLine(p - pitch, p0);
  StoreLine(p, q0);
  StoreLine(p + pitch, q1);
}

void SmoothResidualEdges(int16_t *residual, int32_t pitch, uint32_t blocks, const uint16_t *words,
                         uint32_t edges) {
  // Words by 8x8 row and column.
  uint16_t w[4][4];
  if (blocks == 4) {
    for (uint32_t q = 0; q < 4; ++q)
      for (uint32_t k = 0; k < 4; ++k) w[2 * (q >> 1) + (k >> 1)][2 * (q & 1) + (k & 1)] = words[4 * q + k];
  } else {
    w[0][0] = words[0];
    w[0][1] = words[1];
    w[1][0] = words[2];
    w[1][1] = words[3];
  }
  // The edges of one direction to smooth as a bit set, then only those, in
  // the same order as one pass over all of them.
  uint32_t offset[12];
  uint16_t before[12], after[12];
  if (edges & RESIDUAL_EDGES_COLUMNS) {
    uint32_t on = 0, n = 0;
    for (uint32_t by = 0; by < blocks; ++by)
      for (uint32_t bx = 1; bx < blocks; ++bx, ++n) {
        before[n] = w[by][bx - 1];
        after[n] = w[by][bx];
        offset[n] = 8 * by * uint32_t(pitch) + 8 * bx;
        on |= ResidualEdgeOn(before[n], after[n]) << n;
      }
    for (; on; on &= on - 1) {
      const uint32_t e = uint32_t(__builtin_ctz(on));
      SmoothVerticalResidualEdge(residual + offset[e], pitch, before[e], after[e]);
    }
  }
  if (edges & RESIDUAL_EDGES_ROWS) {
    uint32_t on = 0, n = 0;
    for (uint32_t by = 1; by < blocks; ++by)
      for (uint32_t bx = 0; bx < blocks; ++bx, ++n) {
        before[n] = w[by - 1][bx];
        after[n] = w[by][bx];
        offset[n] = 8 * by * uint32_t(pitch) + 8 * bx;
        on |= ResidualEdgeOn(before[n], after[n]) << n;
      }
    for (; on; on &= on - 1) {
      const uint32_t e = uint32_t(__builtin_ctz(on));
      SmoothHorizontalResidualEdge(residual + offset[e], pitch, before[e], after[e]);
    }
  }
}

void InitBlockKernelsSse2(BlockKernelTable *table) {
  table->inverse_transform = InverseTransform16x16;
  table->pack_rows = PackRows16;
  table->copy_block = CopyBlock16x16;
  table->add_residual = AddResidual16x8;
  table->average_strip32x8 = AverageStrip32x8;
  table->average_block16x8 = AverageBlock16x8;
  table->average_block8x8 = AverageBlock8x8;
  table->smooth_residual = SmoothResidualEdges;
}
