// The audio transform's drivers: kernel selection, the complex and real
// FFTs and the two inverse transforms to 16-bit samples.
#include "audio/codec/audio_transform.h"

#include <cpuid.h>

#include <cstdio>
#include <cstdlib>

std::atomic<const AudioKernels *> ACTIVE_AUDIO_KERNELS{nullptr};
static std::atomic<uint8_t> g_audio_kernels_chosen{0};

// Both tables give the same results, so two first callers racing here
// store the same choice.
void SelectAudioKernels() {
  if (g_audio_kernels_chosen.load(std::memory_order_acquire)) return;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  int has_sse3 = __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & 1u);
  ACTIVE_AUDIO_KERNELS.store(has_sse3 ? &AUDIO_KERNELS_SSE3 : &AUDIO_KERNELS_SSE,
                             std::memory_order_release);
  g_audio_kernels_chosen.store(1, std::memory_order_release);
}

// Sizes are the callers' guarantee; a wrong one is a programming error.
static void RequireSize(uint32_t n, uint32_t least, const char *what) {
  if (n < least || n > 2048 || (n & (n - 1)) != 0) {
    fprintf(stderr, "%s: unsupported size %u\n", what, n);
    abort();
  }
}

void RequireRotationCount(uint32_t count, const char *kernel) {
  if (count < 4 || (count & 3) != 0) {
    fprintf(stderr, "%s: unsupported count %u\n", kernel, count);
    abort();
  }
}

static const AudioKernels *Active() {
  const AudioKernels *k = ACTIVE_AUDIO_KERNELS.load(std::memory_order_acquire);
  if (k) return k;
  SelectAudioKernels();
  return ACTIVE_AUDIO_KERNELS.load(std::memory_order_acquire);
}

void RunFftPasses(float *data, uint32_t n, CombinePassKernel pass) {
  if (n <= 256) {
    pass(data, FFT_PASS_SCHEDULE, n / 4);
    return;
  }
  RunFftPasses(data, n / 2, pass);
  RunFftPasses(data + n, n / 4, pass);
  RunFftPasses(data + 3 * n / 2, n / 4, pass);
  const uint16_t whole[2] = {0, static_cast<uint16_t>(n / 4)};
  pass(data, whole, n / 4);
}

void ComputeComplexFftWith(const AudioKernels *k, float *out, const float *in, uint32_t n) {
  RequireSize(n, 4, "ComputeComplexFft");
  const uint32_t e = n / 4, f = n / 12 + 1;
  const float *in0 = in, *in1 = in + 2 * e, *in2 = in + 4 * e, *in3 = in + 6 * e;
  const uint16_t *positions = FFT_LEAF_POSITIONS + e;
  k->first_radix4_pass(out, in0, in1, in2, in3, 0, f, positions);
  k->first_butterfly_pass(out, in0, in1, in2, in3, f, e - f + 1, positions);
  k->first_radix4_pass(out, in3, in0, in1, in2, e - f + 1, e, positions);
  if (n >= 8) RunFftPasses(out, n, k->radix4_pass);
}

void ComputeRealFftWith(const AudioKernels *k, float *out, float *data, uint32_t n) {
  RequireSize(n, 8, "ComputeRealFft");
  float re = data[0], im = data[1];
  data[0] = (re + im) * 0.5f;
  data[1] = (re - im) * 0.5f;
  k->real_fft_inverse_split(data, n / 4, n / 4);
  ComputeComplexFftWith(k, out, data, n / 2);
}

static const float *PreRotationTwiddles(uint32_t n) {
  if (n <= 512) return FFT_TWIDDLES + 2 * n;
  if (n == 1024) return FFT_TWIDDLES_LONG;
  return FFT_TWIDDLES_LONG + 1024;
}

void InverseTransformToPcmWith(const AudioKernels *k, int16_t *out, float *scratch,
                               float *coefficients, uint32_t n, float scale) {
  RequireSize(n, 8, "InverseTransformToPcm");
  k->pre_rotate(scratch, coefficients, n, n / 2, PreRotationTwiddles(n));
  ComputeRealFftWith(k, coefficients, scratch, n);
  k->float_to_pcm(out, coefficients, n, scale);
}

void InverseTransformToPcmInterleavedWith(const AudioKernels *k, int16_t *out,
                                          const int16_t *first, float *scratch,
                                          float *coefficients, uint32_t n, float scale) {
  RequireSize(n, 8, "InverseTransformToPcmInterleaved");
  k->pre_rotate(scratch, coefficients, n, n / 2, PreRotationTwiddles(n));
  ComputeRealFftWith(k, coefficients, scratch, n);
  k->float_to_pcm_interleaved(out, first, coefficients, n, scale);
}

void ComputeComplexFft(float *out, const float *in, uint32_t n) {
  ComputeComplexFftWith(Active(), out, in, n);
}

void ComputeRealFft(float *out, float *data, uint32_t n) {
  ComputeRealFftWith(Active(), out, data, n);
}

void InverseTransformToPcm(int16_t *out, float *scratch, float *coefficients, uint32_t n,
                           float scale) {
  InverseTransformToPcmWith(Active(), out, scratch, coefficients, n, scale);
}

void InverseTransformToPcmInterleaved(int16_t *out, const int16_t *first, float *scratch,
                                      float *coefficients, uint32_t n, float scale) {
  InverseTransformToPcmInterleavedWith(Active(), out, first, scratch, coefficients, n, scale);
}
