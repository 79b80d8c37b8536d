// 32-byte-aligned allocation and allocation plans: one block holding a
// header and a list of sub-blocks, each rounded to 32 bytes and padded so
// that consecutive sub-blocks start at different offsets modulo 1024.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// Null for len 0, len 0xFFFFFFFF, a length that does not fit the build's
// address space, or a failed allocation.
void *AlignedAlloc(uint64_t len);
// Frees a block from AlignedAlloc; null is ignored.
void AlignedFree(void *p);
// Sees the length of every AlignedAlloc request before it is served; null
// unless a test watches what an operation asks for.
typedef void (*AllocObserver)(uint64_t len);
extern std::atomic<AllocObserver> g_alloc_observer;

struct AllocPlan {
  void ***slots;      // where each sub-block's address is stored
  uint64_t *sizes;    // padded size of each sub-block
  uint64_t total;     // sum of the padded sizes
  uint32_t count;     // sub-blocks added
  uint32_t capacity;  // length of both arrays
  uint32_t impossible;  // 1 when a size could not be represented
};

// A plan with room for 32 sub-blocks, its arrays after the record.
struct AllocPlanStorage {
  AllocPlan plan;
  void **slot_array[32];
  alignas(8) uint64_t size_array[32];
};

// Empty plan whose arrays follow the record in memory: capacity slot
// pointers, then (8-byte aligned) capacity sizes, as in AllocPlanStorage.
void InitAllocPlan(AllocPlan *plan, uint32_t capacity);
// Appends a sub-block; adding more than capacity stops the process.
void AddPlanBlock(AllocPlan *plan, void **slot, uint64_t size);
// Sum of the padded sizes: 0 for a null plan, UINT64_MAX when impossible.
uint64_t GetPlanSize(const AllocPlan *plan);
// One AlignedAlloc holding header_size (rounded up to 32) bytes and then the
// sub-blocks; stores each sub-block's address in its slot. The plan is empty
// again afterwards. Null (slots untouched) when the allocation fails or the
// plan is impossible.
void *AllocatePlan(AllocPlan *plan, uint64_t header_size);
