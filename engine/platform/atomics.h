// Sequentially consistent atomic operations on 32- and 64-bit words. The
// 64-bit ones never tear, also in the 32-bit build (locked 8-byte
// compare-exchange and 8-byte loads).
#pragma once
#include <atomic>
#include <cstdint>

static_assert(std::atomic<uint64_t>::is_always_lock_free, "64-bit atomics must be lock-free");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "32-bit atomics must be lock-free");

uint32_t AtomicLoad32(const std::atomic<uint32_t> *p);
uint64_t AtomicLoad64(const std::atomic<uint64_t> *p);
// If *p equals *expected, stores desired and returns 1; otherwise stores the
// current value into *expected and returns 0.
int AtomicCompareExchange64(std::atomic<uint64_t> *p, uint64_t *expected, uint64_t desired);
// Stores v and returns the previous value.
uint64_t AtomicExchange64(std::atomic<uint64_t> *p, uint64_t v);
// Add n and return the previous value (wrapping).
uint32_t AtomicAdd32(std::atomic<uint32_t> *p, uint32_t n);
uint64_t AtomicAdd64(std::atomic<uint64_t> *p, uint64_t n);
