// Scalar forms of the audio decoder's kernels and the kernel selection.
#include "audio/codec/audio_decoder_kernels.h"

#include <cstring>

#include "engine/platform/cpu.h"

void CrossfadeScalar(int16_t *cur, const int16_t *prev, uint32_t n, uint32_t shift) {
  for (uint32_t i = 0; i < n; i++) {
    int32_t v = (static_cast<int32_t>(cur[i]) * static_cast<int32_t>(i) +
                 static_cast<int32_t>(prev[i]) * static_cast<int32_t>(n - i)) >>
                shift;
    cur[i] = static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
  }
}

namespace {

template <uint32_t W>
void UnpackWidth(const uint8_t *src, uint32_t bit, uint32_t count, uint16_t *out) {
  const uint32_t mask = (1u << W) - 1;
  uint32_t p = bit;
  for (uint32_t j = 0; j < count; j++, p += W) {
    uint32_t v;
    memcpy(&v, src + (p >> 3), 4);
    out[j] = static_cast<uint16_t>((v >> (p & 7)) & mask);
  }
}

typedef void (*UnpackWidthFn)(const uint8_t *, uint32_t, uint32_t, uint16_t *);
const UnpackWidthFn kUnpackByWidth[16] = {
    nullptr,         UnpackWidth<1>,  UnpackWidth<2>,  UnpackWidth<3>,
    UnpackWidth<4>,  UnpackWidth<5>,  UnpackWidth<6>,  UnpackWidth<7>,
    UnpackWidth<8>,  UnpackWidth<9>,  UnpackWidth<10>, UnpackWidth<11>,
    UnpackWidth<12>, UnpackWidth<13>, UnpackWidth<14>, UnpackWidth<15>,
};

}  // namespace

void UnpackMagnitudesScalar(const uint8_t *src, uint32_t bit, uint32_t count, uint32_t width,
                            uint16_t *out) {
  if (width == 0 || width > 15) {
    memset(out, 0, count * sizeof(uint16_t));
    return;
  }
  kUnpackByWidth[width](src, bit, count, out);
}

void InitAudioDecoderKernelsScalar(AudioDecoderKernels *k) {
  k->crossfade = CrossfadeScalar;
  k->unpack_magnitudes = UnpackMagnitudesScalar;
}

void InitAudioDecoderKernelsMmx(AudioDecoderKernels *k) {
#if defined(__i386__)
  k->crossfade = CrossfadeMmx;
#else
  (void)k;
#endif
}

void InitAudioDecoderKernelsSse2(AudioDecoderKernels *k) { k->crossfade = CrossfadeSse2; }

void InitAudioDecoderKernelsSsse3(AudioDecoderKernels *k) {
#if defined(__x86_64__)
  k->unpack_magnitudes = UnpackMagnitudesSsse3;
#else
  (void)k;
#endif
}

void SelectAudioDecoderKernels(AudioDecoderKernels *k, uint32_t features) {
  InitAudioDecoderKernelsScalar(k);
  if (features & CPU_MMX) InitAudioDecoderKernelsMmx(k);
  if (features & CPU_SSE2) InitAudioDecoderKernelsSse2(k);
  if (features & CPU_SSSE3) InitAudioDecoderKernelsSsse3(k);
}
