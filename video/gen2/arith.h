// 16-bit two's-complement arithmetic of the second-generation codec: values
// wrap modulo 2^16, right shifts are arithmetic (rounding toward minus
// infinity, defined for negative values since C++20), and samples saturate to
// 0..255 only when they are stored. Wider intermediate products are formed in
// 64 bits (or wrapping u32) so that no signed overflow can occur.
#pragma once
#include <cstdint>

// The low 16 bits of v as a signed value.
inline int16_t WrapToInt16(int64_t v) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(v)));
}

// a + b and a - b modulo 2^16.
inline int16_t AddWrap16(int32_t a, int32_t b) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)));
}
inline int16_t SubWrap16(int32_t a, int32_t b) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)));
}

// Arithmetic right shift of a 16-bit value.
inline int16_t ShiftRight16(int16_t a, uint32_t n) {
  return static_cast<int16_t>(static_cast<int32_t>(a) >> (n & 15));
}

// High half of the signed 16x16 -> 32-bit product.
inline int16_t MulHigh16(int16_t a, int16_t b) {
  return static_cast<int16_t>((static_cast<int32_t>(a) * static_cast<int32_t>(b)) >> 16);
}

// a + b and a - b modulo 2^32 on signed 32-bit values (motion vectors).
inline int32_t AddWrap32(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

// A sample value limited to 0..255.
inline uint8_t SaturateSample(int32_t v) {
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// v limited to [lo, hi] (lo <= hi).
inline int32_t ClampInt32(int32_t v, int32_t lo, int32_t hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

// Median of three signed values.
inline int32_t Median3(int32_t a, int32_t b, int32_t c) {
  int32_t lo = a < b ? a : b;
  int32_t hi = a < b ? b : a;
  return c < lo ? lo : (c > hi ? hi : c);
}
