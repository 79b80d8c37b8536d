// SSE2 row kernels of the pixel conversion: 16 pixels per step in 16-bit
// lanes (high-half multiplies, saturating adds and packs). Bit-identical to
// the plain kernels in convert.cpp.
#include <emmintrin.h>

#include "video/convert/convert.h"

namespace {

enum { OUT_ROW32, OUT_ROW32_ALPHA_FIRST, OUT_ROW16 };

// Horizontal chroma weights for 16 pixels: pixel 2j gets 3 V[j] + V[j - 1],
// pixel 2j + 1 gets 3 V[j] + V[j + 1], with V = 3 x row + neighbour row.
// Returns the sums times 8 for pixels 0-7 (lo) and 8-15 (hi); updates the
// carry to V[7].
inline void ChromaSums(const uint8_t *cur, const uint8_t *next, int32_t *carry,
                       __m128i *lo, __m128i *hi) {
  const __m128i zero = _mm_setzero_si128();
  __m128i c = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)cur), zero);
  __m128i n = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)next), zero);
  __m128i c1 = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(cur + 1)), zero);
  __m128i n1 = _mm_unpacklo_epi8(_mm_loadl_epi64((const __m128i *)(next + 1)), zero);
  __m128i v = _mm_add_epi16(_mm_add_epi16(c, _mm_add_epi16(c, c)), n);
  __m128i v_next = _mm_add_epi16(_mm_add_epi16(c1, _mm_add_epi16(c1, c1)), n1);
  __m128i v_prev = _mm_insert_epi16(_mm_slli_si128(v, 2), *carry, 0);
  *carry = _mm_extract_epi16(v, 7);
  __m128i v3 = _mm_add_epi16(v, _mm_add_epi16(v, v));
  __m128i even = _mm_add_epi16(v3, v_prev);
  __m128i odd = _mm_add_epi16(v3, v_next);
  *lo = _mm_slli_epi16(_mm_unpacklo_epi16(even, odd), 3);
  *hi = _mm_slli_epi16(_mm_unpackhi_epi16(even, odd), 3);
}

// Channel value of a 16-bit field: clamp to 0..2047, drop the fraction
// below the field's width and move it to its position.
inline __m128i PackField(__m128i v, __m128i drop, __m128i shift) {
  const __m128i max = _mm_set1_epi16(2047);
  v = _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), max);
  return _mm_sll_epi16(_mm_srl_epi16(v, drop), shift);
}

template <int kOut>
inline void ConvertRowSse2(const PixelConversion *cv, const uint8_t *luma,
                           const uint8_t *chroma_a, const uint8_t *chroma_a_next,
                           int32_t carry_a, const uint8_t *chroma_b,
                           const uint8_t *chroma_b_next, int32_t carry_b,
                           const uint8_t *alpha, uint8_t *out, uint32_t groups,
                           uint32_t parity) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i luma_scale = _mm_set1_epi16(cv->luma_scale);
  const __m128i k0a = _mm_set1_epi16(cv->coef[0]);
  const __m128i k1a = _mm_set1_epi16(cv->coef[1]);
  const __m128i k1b = _mm_set1_epi16(cv->coef[2]);
  const __m128i k2b = _mm_set1_epi16(cv->coef[3]);
  const __m128i d0 = _mm_loadu_si128((const __m128i *)cv->dither[0][parity & 1]);
  const __m128i d1 = _mm_loadu_si128((const __m128i *)cv->dither[1][parity & 1]);
  const __m128i d2 = _mm_loadu_si128((const __m128i *)cv->dither[2][parity & 1]);
  const __m128i opaque = _mm_set1_epi8((char)0xFF);
  __m128i drop[4], shift[4];
  for (int c = 0; c < 4; ++c) {
    drop[c] = _mm_cvtsi32_si128(cv->fields[c][0]);
    shift[c] = _mm_cvtsi32_si128(cv->fields[c][1]);
  }

  for (uint32_t g = 0; g < groups; ++g) {
    __m128i l = _mm_loadu_si128((const __m128i *)luma);
    __m128i y_lo = _mm_mulhi_epi16(_mm_slli_epi16(_mm_unpacklo_epi8(l, zero), 7), luma_scale);
    __m128i y_hi = _mm_mulhi_epi16(_mm_slli_epi16(_mm_unpackhi_epi8(l, zero), 7), luma_scale);
    __m128i sa_lo, sa_hi, sb_lo, sb_hi;
    ChromaSums(chroma_a, chroma_a_next, &carry_a, &sa_lo, &sa_hi);
    ChromaSums(chroma_b, chroma_b_next, &carry_b, &sb_lo, &sb_hi);

    __m128i v0_lo = _mm_adds_epi16(_mm_adds_epi16(d0, y_lo), _mm_mulhi_epi16(sa_lo, k0a));
    __m128i v0_hi = _mm_adds_epi16(_mm_adds_epi16(d0, y_hi), _mm_mulhi_epi16(sa_hi, k0a));
    __m128i v1_lo = _mm_adds_epi16(
        _mm_adds_epi16(_mm_adds_epi16(d1, y_lo), _mm_mulhi_epi16(sa_lo, k1a)),
        _mm_mulhi_epi16(sb_lo, k1b));
    __m128i v1_hi = _mm_adds_epi16(
        _mm_adds_epi16(_mm_adds_epi16(d1, y_hi), _mm_mulhi_epi16(sa_hi, k1a)),
        _mm_mulhi_epi16(sb_hi, k1b));
    __m128i v2_lo = _mm_adds_epi16(_mm_adds_epi16(d2, y_lo), _mm_mulhi_epi16(sb_lo, k2b));
    __m128i v2_hi = _mm_adds_epi16(_mm_adds_epi16(d2, y_hi), _mm_mulhi_epi16(sb_hi, k2b));
    __m128i a = alpha ? _mm_loadu_si128((const __m128i *)alpha) : opaque;

    if (kOut == OUT_ROW16) {
      __m128i a_lo = _mm_slli_epi16(_mm_unpacklo_epi8(a, zero), 3);
      __m128i a_hi = _mm_slli_epi16(_mm_unpackhi_epi8(a, zero), 3);
      __m128i w_lo = _mm_or_si128(
          _mm_or_si128(PackField(v0_lo, drop[0], shift[0]), PackField(v1_lo, drop[1], shift[1])),
          _mm_or_si128(PackField(v2_lo, drop[2], shift[2]),
                       _mm_sll_epi16(_mm_srl_epi16(a_lo, drop[3]), shift[3])));
      __m128i w_hi = _mm_or_si128(
          _mm_or_si128(PackField(v0_hi, drop[0], shift[0]), PackField(v1_hi, drop[1], shift[1])),
          _mm_or_si128(PackField(v2_hi, drop[2], shift[2]),
                       _mm_sll_epi16(_mm_srl_epi16(a_hi, drop[3]), shift[3])));
      _mm_storeu_si128((__m128i *)out, w_lo);
      _mm_storeu_si128((__m128i *)(out + 16), w_hi);
      out += 32;
    } else {
      __m128i c0 = _mm_packus_epi16(_mm_srai_epi16(v0_lo, 3), _mm_srai_epi16(v0_hi, 3));
      __m128i c1 = _mm_packus_epi16(_mm_srai_epi16(v1_lo, 3), _mm_srai_epi16(v1_hi, 3));
      __m128i c2 = _mm_packus_epi16(_mm_srai_epi16(v2_lo, 3), _mm_srai_epi16(v2_hi, 3));
      __m128i p_lo, p_hi, q_lo, q_hi;
      if (kOut == OUT_ROW32) {
        p_lo = _mm_unpacklo_epi8(c0, c1);
        p_hi = _mm_unpackhi_epi8(c0, c1);
        q_lo = _mm_unpacklo_epi8(c2, a);
        q_hi = _mm_unpackhi_epi8(c2, a);
      } else {
        p_lo = _mm_unpacklo_epi8(a, c0);
        p_hi = _mm_unpackhi_epi8(a, c0);
        q_lo = _mm_unpacklo_epi8(c1, c2);
        q_hi = _mm_unpackhi_epi8(c1, c2);
      }
      _mm_storeu_si128((__m128i *)out, _mm_unpacklo_epi16(p_lo, q_lo));
      _mm_storeu_si128((__m128i *)(out + 16), _mm_unpackhi_epi16(p_lo, q_lo));
      _mm_storeu_si128((__m128i *)(out + 32), _mm_unpacklo_epi16(p_hi, q_hi));
      _mm_storeu_si128((__m128i *)(out + 48), _mm_unpackhi_epi16(p_hi, q_hi));
      out += 64;
    }
    luma += 16;
    if (alpha) alpha += 16;
    chroma_a += 8;
    chroma_a_next += 8;
    chroma_b += 8;
    chroma_b_next += 8;
  }
}

}  // namespace

void ConvertRow32(const PixelConversion *cv, const uint8_t *luma, const uint8_t *ca,
                  const uint8_t *can, int32_t carry_a, const uint8_t *cb,
                  const uint8_t *cbn, int32_t carry_b, const uint8_t *alpha,
                  uint8_t *out, uint32_t groups, uint32_t parity) {
  ConvertRowSse2<OUT_ROW32>(cv, luma, ca, can, carry_a, cb, cbn, carry_b, alpha, out,
                            groups, parity);
}

void ConvertRow32AlphaFirst(const PixelConversion *cv, const uint8_t *luma,
                            const uint8_t *ca, const uint8_t *can, int32_t carry_a,
                            const uint8_t *cb, const uint8_t *cbn, int32_t carry_b,
                            const uint8_t *alpha, uint8_t *out, uint32_t groups,
                            uint32_t parity) {
  ConvertRowSse2<OUT_ROW32_ALPHA_FIRST>(cv, luma, ca, can, carry_a, cb, cbn, carry_b,
                                        alpha, out, groups, parity);
}

void ConvertRow16(const PixelConversion *cv, const uint8_t *luma, const uint8_t *ca,
                  const uint8_t *can, int32_t carry_a, const uint8_t *cb,
                  const uint8_t *cbn, int32_t carry_b, const uint8_t *alpha,
                  uint8_t *out, uint32_t groups, uint32_t parity) {
  ConvertRowSse2<OUT_ROW16>(cv, luma, ca, can, carry_a, cb, cbn, carry_b, alpha, out,
                            groups, parity);
}

void InitConvertKernelsSse2(ConvertKernelTable *table) {
  table->row[CONVERT_ROW32] = ConvertRow32;
  table->row[CONVERT_ROW32_ALPHA_FIRST] = ConvertRow32AlphaFirst;
  table->row[CONVERT_ROW16] = ConvertRow16;
}
