// Processor feature word: detection and the enable and disable masks.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "engine/platform/cpu.h"

namespace {

const uint32_t kFeatureBits = CPU_MMX | CPU_SSE | CPU_SSE2 | CPU_SSE3 | CPU_SSSE3;

TEST(CpuFeaturesTest, ConcurrentFirstCallsAgree) {
  const int kThreads = 8;
  std::vector<uint32_t> seen(kThreads, 0);
  std::atomic<int> arrived{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      arrived.fetch_add(1);
      while (arrived.load() < kThreads) std::this_thread::yield();
      if (i % 2) UpdateCpuFeatures(0, 0);
      seen[i] = GetCpuFeatures();
    });
  }
  for (auto &t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(seen[i], seen[0]) << i;
  EXPECT_EQ(seen[0], GetDetectedCpuFeatures());
  EXPECT_NE(seen[0] & CPU_DETECTED, 0u);
}

TEST(CpuFeaturesTest, DetectedWordHasOnlyKnownBits) {
  UpdateCpuFeatures(0, 0);
  uint32_t detected = GetDetectedCpuFeatures();
  EXPECT_EQ(detected & ~(kFeatureBits | CPU_DETECTED), 0u);
  EXPECT_NE(detected & CPU_DETECTED, 0u);
  // Both builds are compiled for SSE2, so the processor has it (and MMX, SSE).
  EXPECT_EQ(detected & (CPU_MMX | CPU_SSE | CPU_SSE2), CPU_MMX | CPU_SSE | CPU_SSE2);
  EXPECT_EQ(GetCpuFeatures(), detected);
}

TEST(CpuFeaturesTest, MasksChangeOnlyPresentFeatures) {
  UpdateCpuFeatures(0, 0);
  const uint32_t detected = GetDetectedCpuFeatures();
  const uint32_t missing = kFeatureBits & ~detected;

  UpdateCpuFeatures(missing | 0x40 | 0x2, 0);  // absent and unknown bits stay clear
  EXPECT_EQ(GetCpuFeatures(), detected);

  UpdateCpuFeatures(0, CPU_SSE2);
  EXPECT_EQ(GetCpuFeatures(), detected & ~CPU_SSE2);
  UpdateCpuFeatures(0, 0);
  EXPECT_EQ(GetCpuFeatures() & CPU_SSE2, 0u);  // stays off until enabled again
  UpdateCpuFeatures(CPU_SSE2, 0);
  EXPECT_EQ(GetCpuFeatures(), detected);

  UpdateCpuFeatures(CPU_SSE, CPU_SSE);  // disable wins
  EXPECT_EQ(GetCpuFeatures() & CPU_SSE, 0u);

  // Disabling everything still leaves the detection mark: never 0.
  UpdateCpuFeatures(0, 0xFFFFFFFFu);
  EXPECT_EQ(GetCpuFeatures(), CPU_DETECTED);
  EXPECT_EQ(GetDetectedCpuFeatures(), detected);

  UpdateCpuFeatures(0xFFFFFFFFu, 0);
  EXPECT_EQ(GetCpuFeatures(), detected);
  EndMmxState();
}

}  // namespace
