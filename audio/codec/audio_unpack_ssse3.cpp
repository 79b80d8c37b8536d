// Unpacking of fixed-width magnitudes with SSSE3, eight at a time (64-bit
// build).  For each of the eight fields a byte shuffle gathers the 16-bit
// word at its first byte and the byte after it; per-field multiplies do the
// variable shifts: the low word is shifted right by multiplying by
// 2^(16 - s) and keeping the high half, the high byte shifted left by the
// same multiplier keeping the low half.
#include "audio/codec/audio_decoder_kernels.h"

#if defined(__x86_64__)
#include <tmmintrin.h>

#include <atomic>

namespace {

struct GroupPattern {
  alignas(16) uint8_t low[16];   // shuffle: bytes b, b + 1 of each field
  alignas(16) uint8_t high[16];  // shuffle: byte b + 2 where the field reaches it
  alignas(16) uint16_t mult[8];  // 2^(16 - s) modulo 2^16
  alignas(16) uint16_t keep[8];  // 0xFFFF where s is 0 (the low word is the field)
};

// Patterns for every start bit (0..7) and width (1..15).
struct UnpackPatterns {
  GroupPattern p[8][16];
};

UnpackPatterns BuildPatterns() {
  UnpackPatterns t = {};
  for (uint32_t b0 = 0; b0 < 8; b0++) {
    for (uint32_t w = 1; w < 16; w++) {
      GroupPattern &g = t.p[b0][w];
      for (uint32_t j = 0; j < 8; j++) {
        uint32_t pos = b0 + j * w, byte = pos >> 3, s = pos & 7;
        g.low[2 * j] = static_cast<uint8_t>(byte);
        g.low[2 * j + 1] = static_cast<uint8_t>(byte + 1);
        g.high[2 * j] = s + w > 16 ? static_cast<uint8_t>(byte + 2) : 0x80;
        g.high[2 * j + 1] = 0x80;
        g.mult[j] = static_cast<uint16_t>((1u << (16 - s)) & 0xFFFF);
        g.keep[j] = s == 0 ? 0xFFFF : 0;
      }
    }
  }
  return t;
}

const UnpackPatterns &Patterns() {
  static const UnpackPatterns patterns = BuildPatterns();
  return patterns;
}

}  // namespace

void UnpackMagnitudesSsse3(const uint8_t *src, uint32_t bit, uint32_t count, uint32_t width,
                           uint16_t *out) {
  if (width == 0 || width > 15) {
    UnpackMagnitudesScalar(src, bit, count, width, out);
    return;
  }
  const UnpackPatterns &t = Patterns();
  const __m128i mask = _mm_set1_epi16(static_cast<int16_t>((1u << width) - 1));
  uint32_t pos = bit, j = 0;
  for (; j + 8 <= count; j += 8, pos += 8 * width) {
    const GroupPattern &g = t.p[pos & 7][width];
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + (pos >> 3)));
    __m128i lo = _mm_shuffle_epi8(bytes, _mm_load_si128(reinterpret_cast<const __m128i *>(g.low)));
    __m128i hi = _mm_shuffle_epi8(bytes, _mm_load_si128(reinterpret_cast<const __m128i *>(g.high)));
    __m128i m = _mm_load_si128(reinterpret_cast<const __m128i *>(g.mult));
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i *>(g.keep));
    __m128i v = _mm_or_si128(_mm_mulhi_epu16(lo, m), _mm_mullo_epi16(hi, m));
    v = _mm_or_si128(v, _mm_and_si128(lo, k));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + j), _mm_and_si128(v, mask));
  }
  if (j < count) UnpackMagnitudesScalar(src + (pos >> 3), pos & 7, count - j, width, out + j);
}
#endif
