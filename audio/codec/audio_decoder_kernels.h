// The audio decoder's kernels: the crossfade that joins two blocks and the
// unpacking of runs of fixed-width magnitudes.  One scalar form of each,
// and faster forms per instruction set, chosen from the processor features.
#pragma once
#include <cstdint>

// cur[i] = sat16((cur[i] * i + prev[i] * (n - i)) >> shift), i < n; n a
// multiple of 8, weights summing to 2^shift.
typedef void (*CrossfadeKernel)(int16_t *cur, const int16_t *prev, uint32_t n, uint32_t shift);
// out[j] = the width-bit field at bit (bit + j * width) of src, j < count;
// 1 <= width <= 15, bit < 8.  src must be readable 16 bytes past the last
// byte the fields touch.
typedef void (*UnpackKernel)(const uint8_t *src, uint32_t bit, uint32_t count, uint32_t width,
                             uint16_t *out);

struct AudioDecoderKernels {
  CrossfadeKernel crossfade;
  UnpackKernel unpack_magnitudes;
};

// Readable bytes the unpack kernels may need behind the last field.
enum : uint32_t { UNPACK_SLACK_BYTES = 16 };

void CrossfadeScalar(int16_t *cur, const int16_t *prev, uint32_t n, uint32_t shift);
void UnpackMagnitudesScalar(const uint8_t *src, uint32_t bit, uint32_t count, uint32_t width,
                            uint16_t *out);
void CrossfadeSse2(int16_t *cur, const int16_t *prev, uint32_t n, uint32_t shift);
#if defined(__i386__)
void CrossfadeMmx(int16_t *cur, const int16_t *prev, uint32_t n, uint32_t shift);
#endif
#if defined(__x86_64__)
void UnpackMagnitudesSsse3(const uint8_t *src, uint32_t bit, uint32_t count, uint32_t width,
                           uint16_t *out);
#endif

// One initialiser per instruction set, each filling the slots it has.
void InitAudioDecoderKernelsScalar(AudioDecoderKernels *k);
void InitAudioDecoderKernelsMmx(AudioDecoderKernels *k);
void InitAudioDecoderKernelsSse2(AudioDecoderKernels *k);
void InitAudioDecoderKernelsSsse3(AudioDecoderKernels *k);
// The table for a feature word (CPU_* bits).
void SelectAudioDecoderKernels(AudioDecoderKernels *k, uint32_t features);
