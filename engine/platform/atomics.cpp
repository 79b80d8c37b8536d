// Sequentially consistent atomics. std::atomic compiles the 64-bit
// operations of the 32-bit build to cmpxchg8b loops and 8-byte loads, so a
// 64-bit value is never read or written in two halves.
#include "engine/platform/atomics.h"

uint32_t AtomicLoad32(const std::atomic<uint32_t> *p) { return p->load(std::memory_order_seq_cst); }

uint64_t AtomicLoad64(const std::atomic<uint64_t> *p) { return p->load(std::memory_order_seq_cst); }

int AtomicCompareExchange64(std::atomic<uint64_t> *p, uint64_t *expected, uint64_t desired) {
  return p->compare_exchange_strong(*expected, desired, std::memory_order_seq_cst) ? 1 : 0;
}

uint64_t AtomicExchange64(std::atomic<uint64_t> *p, uint64_t v) {
  return p->exchange(v, std::memory_order_seq_cst);
}

uint32_t AtomicAdd32(std::atomic<uint32_t> *p, uint32_t n) {
  return p->fetch_add(n, std::memory_order_seq_cst);
}

uint64_t AtomicAdd64(std::atomic<uint64_t> *p, uint64_t n) {
  return p->fetch_add(n, std::memory_order_seq_cst);
}
