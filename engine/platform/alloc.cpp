// 32-byte-aligned blocks that free from their own address, and allocation
// plans that carve one such block into staggered sub-blocks.
#include "engine/platform/alloc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

const uint64_t kBlockOverhead = 64;
const uint8_t kKindMalloc = 0;
const uint8_t kKindHooked = 3;

typedef void (*HookedFree)(void *);

// Largest block the build's address space can hold (C++ object size limit).
const uint64_t kLargestBlock = static_cast<uint64_t>(PTRDIFF_MAX);

}  // namespace

std::atomic<AllocObserver> g_alloc_observer{nullptr};

void *AlignedAlloc(uint64_t len) {
  const AllocObserver observer = g_alloc_observer.load(std::memory_order_acquire);
  if (observer) observer(len);
  if (len == 0 || len == 0xFFFFFFFFu) return nullptr;
  // Checked in 64 bits: a length the address space cannot hold is refused
  // rather than wrapped into a small allocation.
  if (len > kLargestBlock - kBlockOverhead) return nullptr;
  uint8_t *start = static_cast<uint8_t *>(malloc(static_cast<size_t>(len + kBlockOverhead)));
  if (start == nullptr) return nullptr;
  uintptr_t distance = 64 - (reinterpret_cast<uintptr_t>(start) % 32);
  uint8_t *r = start + distance;
  r[-1] = static_cast<uint8_t>(distance);
  r[-2] = kKindMalloc;
  return r;
}

void AlignedFree(void *p) {
  if (p == nullptr) return;
  uint8_t *r = static_cast<uint8_t *>(p);
  uint8_t *start = r - r[-1];
  if (r[-2] == kKindHooked) {
    HookedFree fn = *reinterpret_cast<HookedFree *>(r - 16);
    fn(start);
    return;
  }
  free(start);
}

void InitAllocPlan(AllocPlan *plan, uint32_t capacity) {
  uintptr_t after = reinterpret_cast<uintptr_t>(plan + 1);
  plan->slots = reinterpret_cast<void ***>(after);
  uintptr_t sizes = after + static_cast<uintptr_t>(capacity) * sizeof(void **);
  sizes = (sizes + 7) & ~static_cast<uintptr_t>(7);
  plan->sizes = reinterpret_cast<uint64_t *>(sizes);
  plan->total = 0;
  plan->count = 0;
  plan->capacity = capacity;
  plan->impossible = 0;
}

void AddPlanBlock(AllocPlan *plan, void **slot, uint64_t size) {
  if (plan->count >= plan->capacity) {
    fprintf(stderr, "AddPlanBlock: more sub-blocks than the plan holds\n");
    abort();
  }
  uint64_t padded = 0;
  if (size > UINT64_MAX - 31) {
    plan->impossible = 1;
  } else {
    uint64_t r = size + 31;
    uint64_t rounded = r & ~static_cast<uint64_t>(31);
    uint64_t pad = (plan->total - (r & 0x3E0) + 32) & 0x3E0;
    padded = rounded + pad;
    if (padded < rounded || plan->total > UINT64_MAX - padded) plan->impossible = 1;
  }
  plan->sizes[plan->count] = padded;
  plan->slots[plan->count] = slot;
  plan->total += padded;  // wraps only for a plan already marked impossible
  plan->count += 1;
}

uint64_t GetPlanSize(const AllocPlan *plan) {
  if (plan == nullptr) return 0;
  if (plan->impossible) return UINT64_MAX;
  return plan->total;
}

void *AllocatePlan(AllocPlan *plan, uint64_t header_size) {
  uint64_t h = UINT64_MAX;
  if (header_size <= UINT64_MAX - 31) h = (header_size + 31) & ~static_cast<uint64_t>(31);
  if (plan == nullptr) return h == UINT64_MAX ? nullptr : AlignedAlloc(h);
  void *block = nullptr;
  if (!plan->impossible && h != UINT64_MAX && plan->total <= UINT64_MAX - h) {
    block = AlignedAlloc(plan->total + h);
  }
  if (block != nullptr) {
    uint8_t *p = static_cast<uint8_t *>(block) + h;
    for (uint32_t i = 0; i < plan->count; ++i) {
      *plan->slots[i] = p;
      p += plan->sizes[i];
    }
  }
  plan->total = 0;
  plan->count = 0;
  plan->impossible = 0;
  return block;
}
