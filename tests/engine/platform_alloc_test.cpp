// Aligned blocks and allocation plans: alignment, layout figures, staggering
// and refusal of sizes that cannot be represented.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>

#include "engine/platform/alloc.h"

namespace {

uintptr_t Addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }

TEST(AlignedAllocTest, AlignmentAndBookkeepingBytes) {
  for (uint64_t len = 1; len <= 300; len += 7) {
    uint8_t *p = static_cast<uint8_t *>(AlignedAlloc(len));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Addr(p) % 32, 0u);
    EXPECT_GE(p[-1], 33);
    EXPECT_LE(p[-1], 64);
    EXPECT_EQ(p[-2], 0);
    memset(p, 0xEE, static_cast<size_t>(len));  // the whole length is usable
    AlignedFree(p);
  }
  AlignedFree(nullptr);
}

TEST(AlignedAllocTest, RefusesImpossibleSizes) {
  EXPECT_EQ(AlignedAlloc(0), nullptr);
  EXPECT_EQ(AlignedAlloc(0xFFFFFFFFu), nullptr);
  EXPECT_EQ(AlignedAlloc(UINT64_MAX), nullptr);
  EXPECT_EQ(AlignedAlloc(UINT64_MAX - 40), nullptr);  // would wrap with the overhead
  EXPECT_EQ(AlignedAlloc(uint64_t(1) << 63), nullptr);
  EXPECT_EQ(AlignedAlloc(static_cast<uint64_t>(PTRDIFF_MAX)), nullptr);
  if (sizeof(void *) == 4) {
    // 64-bit sizes must not be cut to a small 32-bit allocation.
    EXPECT_EQ(AlignedAlloc(0x100000010ull), nullptr);
    EXPECT_EQ(AlignedAlloc(0x100000000ull), nullptr);
    EXPECT_EQ(AlignedAlloc(0xFFFFFFF0ull), nullptr);
  }
}

TEST(AllocPlanTest, StorageArraysFollowTheRecord) {
  AllocPlanStorage storage;
  InitAllocPlan(&storage.plan, 32);
  EXPECT_EQ(storage.plan.slots, storage.slot_array);
  EXPECT_EQ(storage.plan.sizes, storage.size_array);
  EXPECT_EQ(storage.plan.capacity, 32u);
  EXPECT_EQ(GetPlanSize(&storage.plan), 0u);
  EXPECT_EQ(GetPlanSize(nullptr), 0u);

  // A smaller plan in memory of its own: arrays lie inside that memory.
  alignas(8) uint8_t memory[sizeof(AllocPlan) + 3 * sizeof(void **) + 8 + 3 * sizeof(uint64_t)];
  AllocPlan *plan = reinterpret_cast<AllocPlan *>(memory);
  InitAllocPlan(plan, 3);
  EXPECT_GE(Addr(plan->slots), Addr(memory) + sizeof(AllocPlan));
  EXPECT_EQ(Addr(plan->sizes) % 8, 0u);
  EXPECT_LE(Addr(plan->sizes + 3), Addr(memory + sizeof(memory)));
}

TEST(AllocPlanTest, LayoutFigures) {
  AllocPlanStorage storage;
  AllocPlan *plan = &storage.plan;
  InitAllocPlan(plan, 32);
  void *a = nullptr, *b = nullptr, *c = nullptr;
  AddPlanBlock(plan, &a, 100);
  AddPlanBlock(plan, &b, 1000);
  AddPlanBlock(plan, &c, 4096);
  EXPECT_EQ(plan->sizes[0], 1056u);
  EXPECT_EQ(plan->sizes[1], 1088u);
  EXPECT_EQ(plan->sizes[2], 4224u);
  EXPECT_EQ(GetPlanSize(plan), 6368u);

  uint8_t *block = static_cast<uint8_t *>(AllocatePlan(plan, 1000));
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(a, block + 1024);  // a header of 1000 bytes takes 1024
  EXPECT_EQ(b, block + 1024 + 1056);
  EXPECT_EQ(c, block + 1024 + 2144);
  memset(block, 0x11, 1024 + 6368);  // the whole layout lies inside the block
  EXPECT_EQ(plan->count, 0u);
  EXPECT_EQ(GetPlanSize(plan), 0u);  // empty again and reusable
  AlignedFree(block);

  void *d = nullptr;
  AddPlanBlock(plan, &d, 1);
  uint8_t *again = static_cast<uint8_t *>(AllocatePlan(plan, 0));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(d, again);
  AlignedFree(again);
}

TEST(AllocPlanTest, SubBlocksAreStaggeredModulo1024) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    AllocPlanStorage storage;
    AllocPlan *plan = &storage.plan;
    InitAllocPlan(plan, 32);
    void *slots[10];
    uint64_t sizes[10];
    const uint64_t expected_offsets[10] = {0, 32, 96, 224, 480, 992, 992, 992, 992, 992};
    for (int i = 0; i < 10; ++i) {
      sizes[i] = 1 + rng() % 70000;
      uint64_t before = GetPlanSize(plan);
      EXPECT_EQ(before % 1024, expected_offsets[i]);
      AddPlanBlock(plan, &slots[i], sizes[i]);
      EXPECT_EQ(GetPlanSize(plan) % 1024, (2 * before + 32) % 1024);
      EXPECT_GE(plan->sizes[i], sizes[i]);
      EXPECT_LE(plan->sizes[i], ((sizes[i] + 31) & ~uint64_t(31)) + 992);
    }
    uint8_t *block = static_cast<uint8_t *>(AllocatePlan(plan, 64));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(Addr(slots[i]) % 32, 0u);
      EXPECT_EQ((Addr(slots[i]) - Addr(block) - 64) % 1024, expected_offsets[i]);
      memset(slots[i], i, static_cast<size_t>(sizes[i]));
    }
    AlignedFree(block);
  }
}

TEST(AllocPlanTest, NullPlanIsPlainAllocation) {
  uint8_t *p = static_cast<uint8_t *>(AllocatePlan(nullptr, 1000));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(Addr(p) % 32, 0u);
  memset(p, 0, 1024);
  AlignedFree(p);
  EXPECT_EQ(AllocatePlan(nullptr, 0), nullptr);
  EXPECT_EQ(AllocatePlan(nullptr, UINT64_MAX), nullptr);
}

TEST(AllocPlanTest, UnrepresentableSizesMakeThePlanImpossible) {
  AllocPlanStorage storage;
  AllocPlan *plan = &storage.plan;
  void *marker = reinterpret_cast<void *>(uintptr_t(0x1234));

  // One size that cannot be rounded.
  InitAllocPlan(plan, 32);
  void *a = marker, *b = marker;
  AddPlanBlock(plan, &a, 64);
  AddPlanBlock(plan, &b, UINT64_MAX - 5);
  EXPECT_EQ(GetPlanSize(plan), UINT64_MAX);
  EXPECT_EQ(AllocatePlan(plan, 32), nullptr);
  EXPECT_EQ(a, marker);  // slots untouched
  EXPECT_EQ(b, marker);
  EXPECT_EQ(GetPlanSize(plan), 0u);  // and the plan is empty again

  // A sum that overflows 64 bits.
  AddPlanBlock(plan, &a, uint64_t(1) << 63);
  EXPECT_NE(GetPlanSize(plan), UINT64_MAX);
  AddPlanBlock(plan, &b, uint64_t(1) << 63);
  EXPECT_EQ(GetPlanSize(plan), UINT64_MAX);
  AddPlanBlock(plan, &b, 32);  // stays impossible whatever follows
  EXPECT_EQ(GetPlanSize(plan), UINT64_MAX);
  EXPECT_EQ(AllocatePlan(plan, 0), nullptr);
  EXPECT_EQ(a, marker);

  // A total beyond the address space, or a header that overflows with it.
  AddPlanBlock(plan, &a, uint64_t(1) << 63);
  EXPECT_EQ(AllocatePlan(plan, 32), nullptr);
  AddPlanBlock(plan, &a, 1000);
  EXPECT_EQ(AllocatePlan(plan, UINT64_MAX - 10), nullptr);
  EXPECT_EQ(a, marker);

  if (sizeof(void *) == 4) {
    // Three sub-blocks of 1.5 GiB each exceed a 32-bit address space even
    // though each fits alone.
    for (int i = 0; i < 3; ++i) AddPlanBlock(plan, &a, 0x60000000u);
    EXPECT_GT(GetPlanSize(plan), 0xFFFFFFFFull);
    EXPECT_EQ(AllocatePlan(plan, 0), nullptr);
    EXPECT_EQ(a, marker);
  }
}

}  // namespace
