// The audio synthesis: a scaled inverse DCT of n float coefficients into n
// signed 16-bit samples, computed as a pre-rotation, a real FFT of length n
// (a complex FFT of length n/2 with a split step) and a reordering output
// step.  The work is done by a 12-slot table of kernels chosen once from
// the processor (with or without SSE3); both tables give bit-identical
// results.  Complex values are two floats, real part first.
#pragma once
#include <atomic>
#include <cstdint>

// ---- kernel slots ----------------------------------------------------------

// Slots 0, 1: real-FFT split over Z (pairs 1 .. pair_limit - 1).
typedef void (*RealFftSplitKernel)(float *data, uint32_t pair_limit, uint32_t quarter);
// Slots 2, 3: combine passes from a schedule of (start, quarter) pairs,
// stopping after the first entry whose quarter is at least quarter_limit.
typedef void (*CombinePassKernel)(float *data, const uint16_t *schedule, uint32_t quarter_limit);
// Slots 4, 5: first pass over groups [first, end) of the leaves.
typedef void (*FirstPassKernel)(float *out, const float *in0, const float *in1, const float *in2,
                                const float *in3, uint32_t first, uint32_t end,
                                const uint16_t *positions);
// Slots 6, 7: reorderings of 32-bit words.
typedef void (*ReorderKernel)(uint32_t *dst, const uint32_t *src, uint32_t n);
// Slot 8: scale, reorder, round and saturate to 16 bits.
typedef void (*PcmKernel)(int16_t *out, const float *src, uint32_t n, float scale);
// Slot 9: as slot 8, interleaved behind the samples of a first channel.
typedef void (*PcmInterleavedKernel)(int16_t *out, const int16_t *first, const float *src,
                                     uint32_t n, float scale);
// Slot 10: complex post-rotation into n floats.
typedef void (*PostRotateKernel)(float *dst, const float *src, uint32_t n, uint32_t count,
                                 const float *twiddles);
// Slot 11: pre-rotation of n floats into n/2 complex values.
typedef void (*PreRotateKernel)(float *dst, const float *src, uint32_t n, uint32_t count,
                                const float *twiddles);

// The rotations work four values at a time: their count must be a multiple
// of 4 and at least 4. Any other count is a caller's fault and stops the
// program.
void RequireRotationCount(uint32_t count, const char *kernel);

struct AudioKernels {
  RealFftSplitKernel real_fft_forward_split;   // 0
  RealFftSplitKernel real_fft_inverse_split;   // 1
  CombinePassKernel radix4_pass;               // 2
  CombinePassKernel radix4_pass_conjugate;     // 3
  FirstPassKernel first_radix4_pass;           // 4
  FirstPassKernel first_butterfly_pass;        // 5
  ReorderKernel split_even_odd;                // 6
  ReorderKernel join_even_odd;                 // 7
  PcmKernel float_to_pcm;                      // 8
  PcmInterleavedKernel float_to_pcm_interleaved;  // 9
  PostRotateKernel post_rotate;                // 10
  PreRotateKernel pre_rotate;                  // 11
};

extern const AudioKernels AUDIO_KERNELS_SSE3;
extern const AudioKernels AUDIO_KERNELS_SSE;
// Plain scalar forms of every slot, with the same arithmetic in the same
// order; the tests hold the vector kernels against them.
extern const AudioKernels AUDIO_KERNELS_REFERENCE;

// The table in use, set once by SelectAudioKernels.
extern std::atomic<const AudioKernels *> ACTIVE_AUDIO_KERNELS;

// ---- constant tables -------------------------------------------------------

// 1024 complex values: entry N/4 + k = exp(-2 pi i k / N) for N = 4 .. 2048.
extern const float FFT_TWIDDLES[2048];
// 1536 complex values: k = 0..511 for N = 4096, then k = 0..1023 for 8192.
extern const float FFT_TWIDDLES_LONG[3072];
// Entry N/4 + a: output position of leaf group a of an N-point transform.
extern const uint16_t FFT_LEAF_POSITIONS[1024];
// 42 (start, quarter) pairs: the combine passes of the 256-point tree.
extern const uint16_t FFT_PASS_SCHEDULE[84];

// ---- entry points ----------------------------------------------------------

// Chooses ACTIVE_AUDIO_KERNELS from the processor (cpuid); only the first
// call does anything.
void SelectAudioKernels();
// Forward DFT of n complex values (n a power of two, 4..2048), in and out
// distinct; in is left unchanged.
void ComputeComplexFft(float *out, const float *in, uint32_t n);
// The combine passes of an n-point transform, in place.
void RunFftPasses(float *data, uint32_t n, CombinePassKernel pass);
// Real FFT of the Hermitian spectrum packed in data (n/2 complex values,
// overwritten) into n floats at out; n a power of two, 8..2048.
void ComputeRealFft(float *out, float *data, uint32_t n);
// out[t] = sat16(round(scale * sum_k coefficients[k] cos(pi (2t+1) k / 2n))).
// scratch holds n floats; coefficients is overwritten.  Buffers 16-byte
// aligned.
void InverseTransformToPcm(int16_t *out, float *scratch, float *coefficients, uint32_t n,
                           float scale);
// As above, with the n samples of a first channel (which may be out + n)
// interleaved in front: out[2i] = first[i], out[2i + 1] = new sample i.
void InverseTransformToPcmInterleaved(int16_t *out, const int16_t *first, float *scratch,
                                      float *coefficients, uint32_t n, float scale);

// The same transforms through a given kernel table (tests and benchmarks).
void ComputeComplexFftWith(const AudioKernels *k, float *out, const float *in, uint32_t n);
void ComputeRealFftWith(const AudioKernels *k, float *out, float *data, uint32_t n);
void InverseTransformToPcmWith(const AudioKernels *k, int16_t *out, float *scratch,
                               float *coefficients, uint32_t n, float scale);
void InverseTransformToPcmInterleavedWith(const AudioKernels *k, int16_t *out,
                                          const int16_t *first, float *scratch,
                                          float *coefficients, uint32_t n, float scale);
