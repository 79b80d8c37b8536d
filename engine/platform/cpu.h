// Processor features: detected once with cpuid, read by the kernel tables.
#pragma once
#include <cstdint>

enum : uint32_t {
  CPU_MMX = 0x1,
  CPU_SSE = 0x4,
  CPU_SSE2 = 0x8,
  CPU_SSE3 = 0x10,
  CPU_SSSE3 = 0x20,
  CPU_DETECTED = 0x80000000u,
};

// Detects on first use, then applies the enable and disable masks (limited
// to what the processor has; disable wins) to the effective word.
void UpdateCpuFeatures(uint32_t enable, uint32_t disable);
// The effective feature word that kernel selection reads.
uint32_t GetCpuFeatures();
// The word as detected (0 before the first UpdateCpuFeatures).
uint32_t GetDetectedCpuFeatures();
// Empties the MMX state after a first-generation frame (32-bit build only).
void EndMmxState();
