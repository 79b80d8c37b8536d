// Processor feature word: detected once with cpuid, then adjusted by the
// callers' enable and disable masks.
#include "engine/platform/cpu.h"

#include <atomic>
#include <cpuid.h>

namespace {

std::atomic<uint32_t> g_detected_features{0};
std::atomic<uint32_t> g_effective_features{0};

uint32_t DetectCpuFeatures() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  uint32_t word = CPU_DETECTED;
  __cpuid(0, eax, ebx, ecx, edx);
  if (eax < 1) return word;
  __cpuid(1, eax, ebx, ecx, edx);
  if (edx & (1u << 23)) word |= CPU_MMX;
  if (edx & (1u << 25)) word |= CPU_SSE;
  if (edx & (1u << 26)) word |= CPU_SSE2;
  if (ecx & (1u << 0)) word |= CPU_SSE3;
  if (ecx & (1u << 9)) word |= CPU_SSSE3;
  return word;
}

}  // namespace

void UpdateCpuFeatures(uint32_t enable, uint32_t disable) {
  uint32_t detected = g_detected_features.load(std::memory_order_acquire);
  if (detected == 0) {
    // Threads that detect at the same time compute the same word; the first
    // to store it also seeds the effective word, so it is never left at 0.
    uint32_t word = DetectCpuFeatures();
    uint32_t expected = 0;
    if (g_detected_features.compare_exchange_strong(expected, word, std::memory_order_acq_rel)) {
      detected = word;
    } else {
      detected = expected;
    }
    uint32_t zero = 0;
    g_effective_features.compare_exchange_strong(zero, detected, std::memory_order_acq_rel);
  }
  // Only features the processor has can be switched; disable wins. The
  // detection-done bit is not a feature and stays set.
  uint32_t on = enable & detected & ~CPU_DETECTED;
  uint32_t off = disable & detected & ~CPU_DETECTED;
  uint32_t current = g_effective_features.load(std::memory_order_acquire);
  uint32_t next;
  do {
    uint32_t base = current != 0 ? current : detected;
    next = ((base | on) & ~off) | CPU_DETECTED;
  } while (!g_effective_features.compare_exchange_weak(current, next, std::memory_order_acq_rel));
}

uint32_t GetCpuFeatures() {
  uint32_t word = g_effective_features.load(std::memory_order_acquire);
  if (word == 0) {
    UpdateCpuFeatures(0, 0);
    word = g_effective_features.load(std::memory_order_acquire);
  }
  return word;
}

uint32_t GetDetectedCpuFeatures() { return g_detected_features.load(std::memory_order_acquire); }

void EndMmxState() {
#if defined(__i386__)
  __asm__ __volatile__("emms" ::: "memory");
#endif
}
