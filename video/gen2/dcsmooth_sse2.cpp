// SSE2 DC-smoothing kernels (slots 16-19 of MC_KERNEL_TABLE). Both 8x8 halves
// are worked at once: lanes 0-3 hold the neighbourhood of A, lanes 4-7 that of
// B. The far-side shifts of the profile table are high-half multiplies by
// powers of two (r >> 7 = (r * 0x200) >> 16, exactly), so every column and
// every row is one pair of pmulhw. Bit-identical to dcsmooth.cpp.
#include <emmintrin.h>

#include "video/gen2/mc.h"

// Weights towards the lower side and the upper side for positions 0..7.
alignas(16) static const int16_t kLowWeights[8] = {0x6800, 0x4800, 0x3000, 0x1C00, 0x1000, 0x0800, 0x0200, 0};
alignas(16) static const int16_t kHighWeights[8] = {0, 0x0200, 0x0800, 0x1000, 0x1C00, 0x3000, 0x4800, 0x6800};

// Four words w0..w3 into lanes w0 w1 w2 w3 | w1 w2 w3 0 (A centred on lane 1,
// B on lane 5).
static inline __m128i LoadWindow(const uint16_t *w) {
  const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(w));
  return _mm_unpacklo_epi64(v, _mm_srli_si128(v, 2));
}

static inline __m128i Blend(__m128i mask, __m128i yes, __m128i no) {
  return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

static inline __m128i NearMask(__m128i w, __m128i x, __m128i threshold) {
  const __m128i d = _mm_sub_epi16(w, x);
  const __m128i magnitude = _mm_max_epi16(d, _mm_sub_epi16(_mm_setzero_si128(), d));
  return _mm_cmplt_epi16(magnitude, threshold);
}

// Profiles of A and B for one row of selected DC values sel (lanes 0..2 for A,
// 4..6 for B): m + 4 + hx(l, r).
static inline void Profiles(__m128i sel, __m128i *prof_a, __m128i *prof_b) {
  const __m128i kl = _mm_load_si128(reinterpret_cast<const __m128i *>(kLowWeights));
  const __m128i kh = _mm_load_si128(reinterpret_cast<const __m128i *>(kHighWeights));
  const __m128i centre = _mm_shufflehi_epi16(_mm_shufflelo_epi16(sel, 0x55), 0x55);
  const __m128i diff = _mm_sub_epi16(sel, centre);  // lane 0 l(A), 2 r(A), 4 l(B), 6 r(B)
  const __m128i base = _mm_add_epi16(centre, _mm_set1_epi16(4));
  const __m128i lo_l = _mm_shufflelo_epi16(diff, 0x00), lo_r = _mm_shufflelo_epi16(diff, 0xAA);
  const __m128i hi_l = _mm_shufflehi_epi16(diff, 0x00), hi_r = _mm_shufflehi_epi16(diff, 0xAA);
  *prof_a = _mm_add_epi16(_mm_unpacklo_epi64(base, base),
                          _mm_add_epi16(_mm_mulhi_epi16(_mm_unpacklo_epi64(lo_l, lo_l), kl),
                                        _mm_mulhi_epi16(_mm_unpacklo_epi64(lo_r, lo_r), kh)));
  *prof_b = _mm_add_epi16(_mm_unpackhi_epi64(base, base),
                          _mm_add_epi16(_mm_mulhi_epi16(_mm_unpackhi_epi64(hi_l, hi_l), kl),
                                        _mm_mulhi_epi16(_mm_unpackhi_epi64(hi_r, hi_r), kh)));
}

// Which halves to store.
enum { STORE_LEFT = 1, STORE_RIGHT = 2 };

template <int STORE>
static inline void SmoothDc(const uint16_t *above, const uint16_t *own, const uint16_t *below,
                            const uint16_t *threshold, uint8_t *dst, int32_t stride) {
  const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(threshold));
  const __m128i dc_mask = _mm_set1_epi16(0x1FFF);
  const __m128i a = LoadWindow(above), b = LoadWindow(own), c = LoadWindow(below);
  // X: lanes 0-3 the word of A, lanes 4-7 the word of B.
  const __m128i x = _mm_shufflehi_epi16(_mm_shufflelo_epi16(b, 0x55), 0x55);
  const __m128i dc_x = _mm_and_si128(x, dc_mask);
  // Direct neighbours (and the centre, which is dc(X) either way); diagonals fall
  // back to the direct left or right value of the own row, up and down to dc(X).
  const __m128i sel_b = Blend(NearMask(b, x, t), _mm_and_si128(b, dc_mask), dc_x);
  const __m128i sel_a = Blend(NearMask(a, x, t), _mm_and_si128(a, dc_mask), sel_b);
  const __m128i sel_c = Blend(NearMask(c, x, t), _mm_and_si128(c, dc_mask), sel_b);

  __m128i top_a, top_b, mid_a, mid_b, bot_a, bot_b;
  Profiles(sel_a, &top_a, &top_b);
  Profiles(sel_b, &mid_a, &mid_b);
  Profiles(sel_c, &bot_a, &bot_b);
  const __m128i up_a = _mm_sub_epi16(top_a, mid_a), down_a = _mm_sub_epi16(bot_a, mid_a);
  const __m128i up_b = _mm_sub_epi16(top_b, mid_b), down_b = _mm_sub_epi16(bot_b, mid_b);
  for (int y = 0; y < 8; ++y) {
    const __m128i kl = _mm_set1_epi16(kLowWeights[y]), kh = _mm_set1_epi16(kHighWeights[y]);
    __m128i row_a = _mm_add_epi16(mid_a, _mm_add_epi16(_mm_mulhi_epi16(up_a, kl), _mm_mulhi_epi16(down_a, kh)));
    __m128i row_b = _mm_add_epi16(mid_b, _mm_add_epi16(_mm_mulhi_epi16(up_b, kl), _mm_mulhi_epi16(down_b, kh)));
    const __m128i pixels = _mm_packus_epi16(_mm_srai_epi16(row_a, 3), _mm_srai_epi16(row_b, 3));
    uint8_t *row = dst + y * stride;
    if (STORE == (STORE_LEFT | STORE_RIGHT))
      _mm_storeu_si128(reinterpret_cast<__m128i *>(row), pixels);
    else if (STORE == STORE_LEFT)
      _mm_storel_epi64(reinterpret_cast<__m128i *>(row), pixels);
    else
      _mm_storel_epi64(reinterpret_cast<__m128i *>(row + 8), _mm_srli_si128(pixels, 8));
  }
}

void SmoothDcNone(const uint16_t *, const uint16_t *, const uint16_t *, const uint16_t *, uint8_t *, int32_t) {}

void SmoothDcLeft(const uint16_t *above, const uint16_t *own, const uint16_t *below, const uint16_t *threshold,
                  uint8_t *dst, int32_t stride) {
  SmoothDc<STORE_LEFT>(above, own, below, threshold, dst, stride);
}

void SmoothDcRight(const uint16_t *above, const uint16_t *own, const uint16_t *below, const uint16_t *threshold,
                   uint8_t *dst, int32_t stride) {
  SmoothDc<STORE_RIGHT>(above, own, below, threshold, dst, stride);
}

void SmoothDcBoth(const uint16_t *above, const uint16_t *own, const uint16_t *below, const uint16_t *threshold,
                  uint8_t *dst, int32_t stride) {
  SmoothDc<STORE_LEFT | STORE_RIGHT>(above, own, below, threshold, dst, stride);
}
