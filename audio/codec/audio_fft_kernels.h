// Kernels shared by both audio kernel tables (slots 4 to 9 and 11) and the
// SSE3 forms of the others; defined in audio_fft_sse2.cpp and
// audio_fft_sse3.cpp.
#pragma once
#include <cstdint>

void FirstRadix4Pass(float *out, const float *in0, const float *in1, const float *in2,
                     const float *in3, uint32_t first, uint32_t end, const uint16_t *positions);
void FirstButterflyPass(float *out, const float *in0, const float *in1, const float *in2,
                        const float *in3, uint32_t first, uint32_t end,
                        const uint16_t *positions);
void SplitEvenOdd(uint32_t *dst, const uint32_t *src, uint32_t n);
void JoinEvenOdd(uint32_t *dst, const uint32_t *src, uint32_t n);
void FloatToPcm(int16_t *out, const float *src, uint32_t n, float scale);
void FloatToPcmInterleaved(int16_t *out, const int16_t *first, const float *src, uint32_t n,
                           float scale);
void PreRotate(float *dst, const float *src, uint32_t n, uint32_t count, const float *twiddles);

void RealFftForwardSplitSse3(float *data, uint32_t pair_limit, uint32_t quarter);
void RealFftInverseSplitSse3(float *data, uint32_t pair_limit, uint32_t quarter);
void Radix4PassSse3(float *data, const uint16_t *schedule, uint32_t quarter_limit);
void Radix4PassConjugateSse3(float *data, const uint16_t *schedule, uint32_t quarter_limit);
void PostRotateSse3(float *dst, const float *src, uint32_t n, uint32_t count,
                    const float *twiddles);
