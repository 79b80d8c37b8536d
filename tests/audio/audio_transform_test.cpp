// The audio transform: every vector kernel against its scalar form, the
// two kernel tables against each other, and the whole transform against a
// direct double-precision inverse DCT.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "audio/codec/audio_transform.h"

namespace {

const AudioKernels *const kTables[] = {&AUDIO_KERNELS_SSE, &AUDIO_KERNELS_SSE3};
const char *const kTableNames[] = {"without SSE3", "with SSE3"};

bool HasSse3() {
  SelectAudioKernels();
  return ACTIVE_AUDIO_KERNELS.load() == &AUDIO_KERNELS_SSE3;
}

// 64-byte aligned float buffer.
struct Floats {
  explicit Floats(size_t n) : store(n + 16, 0.0f) {
    uintptr_t p = reinterpret_cast<uintptr_t>(store.data());
    data = reinterpret_cast<float *>((p + 63) & ~uintptr_t(63));
  }
  std::vector<float> store;
  float *data;
};

void FillRandom(float *p, size_t n, std::mt19937 *rng, float range = 1.0f) {
  std::uniform_real_distribution<float> d(-range, range);
  for (size_t i = 0; i < n; i++) p[i] = d(*rng);
}

bool SameBits(const void *a, const void *b, size_t bytes) { return memcmp(a, b, bytes) == 0; }

// Tables with SSE3 kernels can run only where the processor has SSE3.
std::vector<int> UsableTables() {
  std::vector<int> t = {0};
  if (HasSse3()) t.push_back(1);
  return t;
}

TEST(AudioTransformKernels, SplitsMatchScalarForm) {
  std::mt19937 rng(1);
  for (uint32_t n = 8; n <= 2048; n *= 2) {
    Floats in(n), a(n), b(n);
    FillRandom(in.data, n, &rng);
    for (int t : UsableTables()) {
      for (int forward = 0; forward < 2; forward++) {
        memcpy(a.data, in.data, n * 4);
        memcpy(b.data, in.data, n * 4);
        if (forward) {
          AUDIO_KERNELS_REFERENCE.real_fft_forward_split(a.data, n / 4, n / 4);
          kTables[t]->real_fft_forward_split(b.data, n / 4, n / 4);
        } else {
          AUDIO_KERNELS_REFERENCE.real_fft_inverse_split(a.data, n / 4, n / 4);
          kTables[t]->real_fft_inverse_split(b.data, n / 4, n / 4);
        }
        EXPECT_TRUE(SameBits(a.data, b.data, n * 4))
            << "n " << n << " forward " << forward << " " << kTableNames[t];
      }
    }
  }
}

TEST(AudioTransformKernels, CombinePassesMatchScalarForm) {
  std::mt19937 rng(2);
  for (uint32_t n = 8; n <= 2048; n *= 2) {
    Floats in(2 * n), a(2 * n), b(2 * n);
    FillRandom(in.data, 2 * n, &rng);
    uint16_t whole[2] = {0, static_cast<uint16_t>(n / 4)};
    const uint16_t *schedule = n <= 256 ? FFT_PASS_SCHEDULE : whole;
    for (int t : UsableTables()) {
      for (int conj = 0; conj < 2; conj++) {
        memcpy(a.data, in.data, n * 8);
        memcpy(b.data, in.data, n * 8);
        CombinePassKernel ref = conj ? AUDIO_KERNELS_REFERENCE.radix4_pass_conjugate
                                     : AUDIO_KERNELS_REFERENCE.radix4_pass;
        CombinePassKernel vec = conj ? kTables[t]->radix4_pass_conjugate : kTables[t]->radix4_pass;
        ref(a.data, schedule, n / 4);
        vec(b.data, schedule, n / 4);
        EXPECT_TRUE(SameBits(a.data, b.data, n * 8))
            << "n " << n << " conjugate " << conj << " " << kTableNames[t];
      }
    }
  }
}

TEST(AudioTransformKernels, FirstPassesMatchScalarFormOnEveryRange) {
  std::mt19937 rng(3);
  for (uint32_t n = 4; n <= 2048; n *= 2) {
    const uint32_t e = n / 4;
    Floats in(2 * n), a(2 * n), b(2 * n);
    FillRandom(in.data, 2 * n, &rng);
    const float *p0 = in.data, *p1 = in.data + 2 * e, *p2 = in.data + 4 * e, *p3 = in.data + 6 * e;
    // Ranges with odd ends at either side exercise the scalar steps.
    const uint32_t ranges[][2] = {{0, e}, {1, e}, {0, e > 1 ? e - 1 : e}, {1, e > 2 ? e - 1 : 1}};
    for (auto &r : ranges) {
      for (int butterfly = 0; butterfly < 2; butterfly++) {
        for (int t : UsableTables()) {
          memset(a.data, 0, n * 8);
          memset(b.data, 0, n * 8);
          FirstPassKernel ref = butterfly ? AUDIO_KERNELS_REFERENCE.first_butterfly_pass
                                          : AUDIO_KERNELS_REFERENCE.first_radix4_pass;
          FirstPassKernel vec =
              butterfly ? kTables[t]->first_butterfly_pass : kTables[t]->first_radix4_pass;
          ref(a.data, p3, p0, p1, p2, r[0], r[1], FFT_LEAF_POSITIONS + e);
          vec(b.data, p3, p0, p1, p2, r[0], r[1], FFT_LEAF_POSITIONS + e);
          EXPECT_TRUE(SameBits(a.data, b.data, n * 8)) << "n " << n << " range " << r[0] << ".."
                                                       << r[1] << " butterfly " << butterfly;
        }
      }
    }
  }
}

TEST(AudioTransformKernels, RotationsAndReorderingsMatchScalarForm) {
  std::mt19937 rng(4);
  for (uint32_t n = 8; n <= 2048; n *= 2) {
    Floats in(2 * n), a(2 * n), b(2 * n);
    FillRandom(in.data, 2 * n, &rng);
    const float *tw = n <= 512 ? FFT_TWIDDLES + 2 * n
                               : (n == 1024 ? FFT_TWIDDLES_LONG : FFT_TWIDDLES_LONG + 1024);
    for (int t : UsableTables()) {
      AUDIO_KERNELS_REFERENCE.pre_rotate(a.data, in.data, n, n / 2, tw);
      kTables[t]->pre_rotate(b.data, in.data, n, n / 2, tw);
      EXPECT_TRUE(SameBits(a.data, b.data, n * 4)) << "pre-rotation n " << n;
      AUDIO_KERNELS_REFERENCE.post_rotate(a.data, in.data, n, n / 2, tw);
      kTables[t]->post_rotate(b.data, in.data, n, n / 2, tw);
      EXPECT_TRUE(SameBits(a.data, b.data, n * 4)) << "post-rotation n " << n;
      const uint32_t *words = reinterpret_cast<const uint32_t *>(in.data);
      AUDIO_KERNELS_REFERENCE.split_even_odd(reinterpret_cast<uint32_t *>(a.data), words, n);
      kTables[t]->split_even_odd(reinterpret_cast<uint32_t *>(b.data), words, n);
      EXPECT_TRUE(SameBits(a.data, b.data, n * 4));
      kTables[t]->join_even_odd(reinterpret_cast<uint32_t *>(a.data),
                                reinterpret_cast<const uint32_t *>(b.data), n);
      EXPECT_TRUE(SameBits(a.data, in.data, n * 4)) << "join undoes split, n " << n;
    }
  }
  // The short post-rotation is scalar throughout.
  Floats in(16), a(16), b(16);
  FillRandom(in.data, 16, &rng);
  AUDIO_KERNELS_REFERENCE.post_rotate(a.data, in.data, 4, 2, FFT_TWIDDLES + 8);
  AUDIO_KERNELS_SSE.post_rotate(b.data, in.data, 4, 2, FFT_TWIDDLES + 8);
  EXPECT_TRUE(SameBits(a.data, b.data, 16));
}

// A rotation count that is not a multiple of 4 of at least 4 is a caller's
// fault: every form of both rotations stops the program on it.
TEST(AudioTransformKernels, RotationsStopOnCountsTheyCannotTake) {
  Floats in(64), out(64);
  const AudioKernels *const forms[] = {&AUDIO_KERNELS_REFERENCE, &AUDIO_KERNELS_SSE, &AUDIO_KERNELS_SSE3};
  for (const AudioKernels *k : forms) {
    if (k == &AUDIO_KERNELS_SSE3 && !HasSse3()) continue;
    for (uint32_t count : {0u, 2u, 6u, 7u}) {
      EXPECT_DEATH(k->pre_rotate(out.data, in.data, 2 * count, count, FFT_TWIDDLES), "count") << count;
      EXPECT_DEATH(k->post_rotate(out.data, in.data, 16, count, FFT_TWIDDLES), "count") << count;
    }
  }
}

TEST(AudioTransformKernels, PcmConversionsMatchScalarFormAcrossTheRange) {
  std::mt19937 rng(5);
  for (uint32_t n = 8; n <= 2048; n *= 2) {
    Floats src(n);
    // Values around the 16-bit limits, halves for the rounding, huge ones.
    std::uniform_real_distribution<float> d(-40000.0f, 40000.0f);
    for (uint32_t i = 0; i < n; i++) {
      float v = d(rng);
      if (i % 5 == 1) v = std::floor(v) + 0.5f;
      if (i % 11 == 3) v = (i & 1) ? 3e12f : -3e12f;
      src.data[i] = v;
    }
    std::vector<int16_t> a(2 * n), b(2 * n), first(n);
    for (uint32_t i = 0; i < n; i++) first[i] = static_cast<int16_t>(rng());
    AUDIO_KERNELS_REFERENCE.float_to_pcm(a.data(), src.data, n, 0.75f);
    AUDIO_KERNELS_SSE.float_to_pcm(b.data(), src.data, n, 0.75f);
    EXPECT_EQ(a, b) << "n " << n;
    AUDIO_KERNELS_REFERENCE.float_to_pcm_interleaved(a.data(), first.data(), src.data, n, 1.0f);
    AUDIO_KERNELS_SSE.float_to_pcm_interleaved(b.data(), first.data(), src.data, n, 1.0f);
    EXPECT_EQ(a, b) << "n " << n;
    // Upper half of the output as the first channel.
    std::vector<int16_t> c(2 * n);
    memcpy(c.data() + n, first.data(), n * 2);
    AUDIO_KERNELS_SSE.float_to_pcm_interleaved(c.data(), c.data() + n, src.data, n, 1.0f);
    EXPECT_EQ(a, c) << "in place, n " << n;
  }
}

TEST(AudioTransform, TablesGiveIdenticalTransforms) {
  std::mt19937 rng(6);
  for (uint32_t n = 8; n <= 2048; n *= 2) {
    Floats coef(n), scratch(n), c1(n), c2(n);
    FillRandom(coef.data, n, &rng, 3000.0f);
    std::vector<int16_t> ref(n), out(n), inter_ref(2 * n), inter(2 * n), first(n);
    for (auto &v : first) v = static_cast<int16_t>(rng());
    memcpy(c1.data, coef.data, n * 4);
    InverseTransformToPcmWith(&AUDIO_KERNELS_REFERENCE, ref.data(), scratch.data, c1.data, n,
                              0.1f);
    memcpy(c1.data, coef.data, n * 4);
    InverseTransformToPcmInterleavedWith(&AUDIO_KERNELS_REFERENCE, inter_ref.data(),
                                         first.data(), scratch.data, c1.data, n, 0.1f);
    for (int t : UsableTables()) {
      memcpy(c2.data, coef.data, n * 4);
      InverseTransformToPcmWith(kTables[t], out.data(), scratch.data, c2.data, n, 0.1f);
      EXPECT_EQ(ref, out) << "n " << n << " " << kTableNames[t];
      memcpy(c2.data, coef.data, n * 4);
      InverseTransformToPcmInterleavedWith(kTables[t], inter.data(), first.data(), scratch.data,
                                           c2.data, n, 0.1f);
      EXPECT_EQ(inter_ref, inter) << "n " << n << " " << kTableNames[t];
    }
  }
}

TEST(AudioTransform, ComplexFftIsTheDft) {
  std::mt19937 rng(7);
  for (uint32_t n = 4; n <= 2048; n *= 2) {
    Floats in(2 * n), out(2 * n);
    FillRandom(in.data, 2 * n, &rng);
    std::vector<float> copy(in.data, in.data + 2 * n);
    ComputeComplexFft(out.data, in.data, n);
    EXPECT_TRUE(SameBits(copy.data(), in.data, n * 8)) << "input left unchanged";
    double worst = 0;
    for (uint32_t k = 0; k < n; k++) {
      double re = 0, im = 0;
      for (uint32_t t = 0; t < n; t++) {
        double a = -2.0 * M_PI * double((uint64_t(k) * t) % n) / n;
        re += in.data[2 * t] * cos(a) - in.data[2 * t + 1] * sin(a);
        im += in.data[2 * t] * sin(a) + in.data[2 * t + 1] * cos(a);
      }
      worst = std::max(worst, std::max(std::fabs(re - out.data[2 * k]),
                                        std::fabs(im - out.data[2 * k + 1])));
    }
    EXPECT_LT(worst, 1e-5 * std::sqrt(double(n)) * std::log2(double(n)) + 1e-5) << "n " << n;
  }
  // Four points: the plain 4-point DFT, exactly.
  alignas(16) float in[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out[8];
  ComputeComplexFft(out, in, 4);
  const float want[8] = {16, 20, -8, 0, -4, -4, 0, -8};
  for (int i = 0; i < 8; i++) EXPECT_EQ(want[i], out[i]) << i;
}

// The transform against the direct sum, in double precision.
TEST(AudioTransform, InverseTransformIsTheScaledInverseDct) {
  std::mt19937 rng(8);
  for (uint32_t n = 8; n <= 2048; n *= 2) {
    const float scale = 2.0f / std::sqrt(float(n));
    Floats coef(n), scratch(n);
    FillRandom(coef.data, n, &rng, 20000.0f / std::sqrt(float(n)));
    std::vector<double> x(coef.data, coef.data + n);
    std::vector<int16_t> out(n);
    InverseTransformToPcm(out.data(), scratch.data, coef.data, n, scale);
    int worst = 0;
    for (uint32_t t = 0; t < n; t++) {
      double s = 0;
      for (uint32_t k = 0; k < n; k++)
        s += x[k] * cos(M_PI * double((2 * t + 1) * k % (4 * n)) / (2.0 * n));
      double want = std::max(-32768.0, std::min(32767.0, std::nearbyint(s * scale)));
      worst = std::max(worst, std::abs(int(want) - out[t]));
    }
    EXPECT_LE(worst, 2) << "n " << n;
  }
}

TEST(AudioTransform, SingleCoefficientsGiveCosines) {
  const uint32_t n = 512;
  Floats coef(n), scratch(n);
  std::vector<int16_t> out(n);
  // X[0] alone: n equal samples of round(scale).
  for (float scale : {1000.4f, 2.5f, 3.5f, -2.5f, 40000.0f, -40000.0f, 1e12f}) {
    memset(coef.data, 0, n * 4);
    coef.data[0] = 1.0f;
    InverseTransformToPcm(out.data(), scratch.data, coef.data, n, scale);
    int16_t want = scale > 32767 ? 32767 : scale < -32768 ? -32768
                                                           : int16_t(std::nearbyint(scale));
    for (uint32_t t = 0; t < n; t++) ASSERT_EQ(want, out[t]) << "scale " << scale << " t " << t;
  }
  for (uint32_t k : {1u, 7u, 100u, 511u}) {
    memset(coef.data, 0, n * 4);
    coef.data[k] = 1.0f;
    InverseTransformToPcm(out.data(), scratch.data, coef.data, n, 10000.0f);
    for (uint32_t t = 0; t < n; t++) {
      double want = 10000.0 * cos(M_PI * double((2 * t + 1) * k % (4 * n)) / (2.0 * n));
      ASSERT_NEAR(want, out[t], 1.01) << "k " << k << " t " << t;
    }
  }
}

TEST(AudioTransform, InterleavedEntryReadsTheFirstChannelBeforeWriting) {
  const uint32_t n = 1024;
  Floats coef(n), scratch(n), copy(n);
  std::mt19937 rng(9);
  FillRandom(coef.data, n, &rng, 300.0f);
  memcpy(copy.data, coef.data, n * 4);
  std::vector<int16_t> alone(n), both(2 * n);
  InverseTransformToPcm(alone.data(), scratch.data, copy.data, n, 0.0625f);
  for (uint32_t i = 0; i < n; i++) both[n + i] = int16_t(i * 7 - 3000);
  InverseTransformToPcmInterleaved(both.data(), both.data() + n, scratch.data, coef.data, n,
                                   0.0625f);
  for (uint32_t i = 0; i < n; i++) {
    ASSERT_EQ(int16_t(i * 7 - 3000), both[2 * i]) << i;
    ASSERT_EQ(alone[i], both[2 * i + 1]) << i;
  }
}

TEST(AudioTransform, SelectionIsMadeOnce) {
  SelectAudioKernels();
  const AudioKernels *first = ACTIVE_AUDIO_KERNELS.load();
  ASSERT_NE(nullptr, first);
  SelectAudioKernels();
  EXPECT_EQ(first, ACTIVE_AUDIO_KERNELS.load());
}

TEST(AudioTransform, KernelSpeed) {
  const uint32_t n = 2048, rounds = 2000;
  Floats coef(n), scratch(n), work(n);
  std::mt19937 rng(10);
  FillRandom(coef.data, n, &rng, 100.0f);
  std::vector<int16_t> out(n);
  const AudioKernels *tables[] = {&AUDIO_KERNELS_REFERENCE, &AUDIO_KERNELS_SSE,
                                  &AUDIO_KERNELS_SSE3};
  const char *names[] = {"scalar", "SSE2", "SSE3"};
  for (int t = 0; t < 3; t++) {
    if (t == 2 && !HasSse3()) continue;
    auto t0 = std::chrono::steady_clock::now();
    for (uint32_t r = 0; r < rounds; r++) {
      memcpy(work.data, coef.data, n * 4);
      InverseTransformToPcmWith(tables[t], out.data(), scratch.data, work.data, n, 0.04f);
    }
    double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                    .count() / rounds;
    printf("inverse transform of 2048 coefficients, %s kernels: %.2f us\n", names[t], us);
  }
}

}  // namespace
