// The last-error text, the pending frame-rate override and the millisecond
// clock.
#include "engine/utils.h"

#include <atomic>
#include <ctime>

namespace {

const int kErrorTextSize = 256;
const int kErrorTextLast = 254;  // index of the terminator of a cut text

char g_error_text[kErrorTextSize];

// The override is plain process-wide data set between calls; relaxed
// atomics keep a read from another thread well defined.
std::atomic<uint32_t> g_pending_rate_num{0xFFFFFFFFu};
std::atomic<uint32_t> g_pending_rate_den{0};

std::atomic<MillisecondSource> g_millisecond_source{nullptr};

uint32_t MonotonicMilliseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return MillisecondsFromTimespec(&ts);
}

}  // namespace

void SetErrorText(const char *text) {
  if (text == nullptr) text = "Vosh Error";
  g_error_text[0] = text[0];
  int i = 1;
  for (; i <= kErrorTextLast; ++i) {
    if (text[i - 1] == 0) break;
    g_error_text[i] = text[i];
  }
  if (i > kErrorTextLast) g_error_text[kErrorTextLast] = 0;
}

const char *VoshGetErrorText() { return g_error_text; }

void ClearErrorText() { g_error_text[0] = 0; }

void VoshOverrideFrameRate(uint32_t num, uint32_t den) {
  g_pending_rate_num.store(num, std::memory_order_relaxed);
  g_pending_rate_den.store(den, std::memory_order_relaxed);
}

void GetPendingFrameRate(uint32_t *num, uint32_t *den) {
  if (num != nullptr) *num = g_pending_rate_num.load(std::memory_order_relaxed);
  if (den != nullptr) *den = g_pending_rate_den.load(std::memory_order_relaxed);
}

void ResetPendingFrameRate() { g_pending_rate_num.store(0xFFFFFFFFu, std::memory_order_relaxed); }

uint32_t MillisecondsFromTimespec(const struct timespec *ts) {
  uint32_t seconds = static_cast<uint32_t>(ts->tv_sec);
  uint32_t nanoseconds = static_cast<uint32_t>(ts->tv_nsec);
  return seconds * 1000u + (nanoseconds + 500000u) / 1000000u;
}

uint32_t VoshGetMilliseconds() {
  MillisecondSource source = g_millisecond_source.load(std::memory_order_acquire);
  return source != nullptr ? source() : MonotonicMilliseconds();
}

void SetMillisecondSource(MillisecondSource fn) {
  g_millisecond_source.store(fn, std::memory_order_release);
}
