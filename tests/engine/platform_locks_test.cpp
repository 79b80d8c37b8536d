// Recursive mutex, semaphore, spin lock, atomics and the global locks,
// exercised with real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/platform/atomics.h"
#include "engine/platform/locks.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Starts count threads that wait until all are running, then run fn(index).
template <typename Fn>
void RunTogether(int count, Fn fn) {
  std::atomic<int> arrived{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      arrived.fetch_add(1);
      while (arrived.load() < count) std::this_thread::yield();
      fn(i);
    });
  }
  for (auto &t : threads) t.join();
}

TEST(RecursiveMutexTest, OwnerMustReleaseEveryLevel) {
  RecursiveMutex m;
  ASSERT_EQ(InitRecursiveMutex(&m), 1);
  LockRecursiveMutex(&m);
  EXPECT_EQ(LockRecursiveMutexTimed(&m, 0), 1);
  LockRecursiveMutex(&m);

  auto other_try = [&m] {
    int got = 0;
    std::thread t([&] {
      got = LockRecursiveMutexTimed(&m, 0);
      if (got) UnlockRecursiveMutex(&m);
    });
    t.join();
    return got;
  };
  EXPECT_EQ(other_try(), 0);
  UnlockRecursiveMutex(&m);
  EXPECT_EQ(other_try(), 0);
  UnlockRecursiveMutex(&m);
  EXPECT_EQ(other_try(), 0);
  UnlockRecursiveMutex(&m);
  EXPECT_EQ(other_try(), 1);
  DestroyRecursiveMutex(&m);
}

TEST(RecursiveMutexTest, TimedTryOnHeldLock) {
  RecursiveMutex m;
  ASSERT_EQ(InitRecursiveMutex(&m), 1);
  LockRecursiveMutex(&m);
  int immediate = -1, timed = -1;
  int64_t immediate_ms = 0, timed_ms = 0;
  std::thread t([&] {
    auto start = Clock::now();
    immediate = LockRecursiveMutexTimed(&m, 0);
    immediate_ms = ElapsedMs(start);
    start = Clock::now();
    timed = LockRecursiveMutexTimed(&m, 60);
    timed_ms = ElapsedMs(start);
  });
  t.join();
  EXPECT_EQ(immediate, 0);
  EXPECT_LT(immediate_ms, 50);
  EXPECT_EQ(timed, 0);
  EXPECT_GE(timed_ms, 59);
  EXPECT_EQ(LockRecursiveMutexTimed(&m, 0), 1);  // the holder takes it again
  UnlockRecursiveMutex(&m);
  UnlockRecursiveMutex(&m);
  DestroyRecursiveMutex(&m);
}

TEST(RecursiveMutexTest, SleepingWaiterWakesOnRelease) {
  RecursiveMutex m;
  ASSERT_EQ(InitRecursiveMutex(&m), 1);
  LockRecursiveMutex(&m);
  std::atomic<int> got{-1};
  std::thread t([&] {
    got = LockRecursiveMutexTimed(&m, 5000);
    if (got) UnlockRecursiveMutex(&m);
  });
  SleepMilliseconds(40);  // long past the spin phase: the waiter sleeps
  auto start = Clock::now();
  UnlockRecursiveMutex(&m);
  t.join();
  EXPECT_EQ(got.load(), 1);
  EXPECT_LT(ElapsedMs(start), 2000);
  DestroyRecursiveMutex(&m);
}

TEST(RecursiveMutexTest, ContendedCounterStaysExact) {
  RecursiveMutex m;
  ASSERT_EQ(InitRecursiveMutex(&m), 1);
  const int kThreads = 4, kRounds = 3000;
  uint64_t counter = 0;  // guarded by m only
  RunTogether(kThreads, [&](int index) {
    for (int i = 0; i < kRounds; ++i) {
      if ((i + index) % 3 == 0) {
        while (!LockRecursiveMutexTimed(&m, 1)) {
        }
      } else {
        LockRecursiveMutex(&m);
      }
      LockRecursiveMutex(&m);  // nested level
      uint64_t v = counter;
      if (i % 500 == 0) SleepMilliseconds(1);  // make others sleep, not spin
      counter = v + 1;
      UnlockRecursiveMutex(&m);
      UnlockRecursiveMutex(&m);
    }
  });
  EXPECT_EQ(counter, static_cast<uint64_t>(kThreads) * kRounds);
  DestroyRecursiveMutex(&m);
}

TEST(RecursiveMutexTest, UnlockByNonOwnerIsIgnored) {
  RecursiveMutex m;
  ASSERT_EQ(InitRecursiveMutex(&m), 1);
  LockRecursiveMutex(&m);
  int got = -1;
  std::thread t([&] {
    UnlockRecursiveMutex(&m);
    got = LockRecursiveMutexTimed(&m, 0);
  });
  t.join();
  EXPECT_EQ(got, 0);
  UnlockRecursiveMutex(&m);
  DestroyRecursiveMutex(&m);
}

TEST(RecursiveMutexTest, DestroyActsOnlyOnReadySlot) {
  RecursiveMutex never;
  memset(&never, 0xA5, sizeof(never));
  EXPECT_EQ(IsRecursiveMutexReady(&never), 0);
  DestroyRecursiveMutex(&never);  // foreign bytes: nothing happens
  RecursiveMutex zero;
  memset(&zero, 0, sizeof(zero));
  EXPECT_EQ(IsRecursiveMutexReady(&zero), 0);
  DestroyRecursiveMutex(&zero);

  RecursiveMutex m;
  ASSERT_EQ(InitRecursiveMutex(&m), 1);
  EXPECT_EQ(IsRecursiveMutexReady(&m), 1);
  RecursiveMutex copy;
  memcpy(&copy, &m, sizeof(m));
  EXPECT_EQ(IsRecursiveMutexReady(&copy), 0);  // its area is another slot's
  DestroyRecursiveMutex(&m);
  EXPECT_NE(m.work, nullptr);
  EXPECT_EQ(IsRecursiveMutexReady(&m), 0);  // an area, but no lock in it
  DestroyRecursiveMutex(&m);  // second destroy finds the tag cleared
  ASSERT_EQ(InitRecursiveMutex(&m), 1);  // and the slot can be made again
  EXPECT_EQ(LockRecursiveMutexTimed(&m, 0), 1);
  UnlockRecursiveMutex(&m);
  DestroyRecursiveMutex(&m);
}

TEST(SemaphoreTest, TryAndTimedExpiry) {
  Semaphore s;
  ASSERT_EQ(InitSemaphore(&s, 2), 1);
  EXPECT_EQ(WaitSemaphore(&s, 0), 1);
  EXPECT_EQ(WaitSemaphore(&s, 0), 1);
  auto start = Clock::now();
  EXPECT_EQ(WaitSemaphore(&s, 0), 0);
  EXPECT_LT(ElapsedMs(start), 50);

  start = Clock::now();
  EXPECT_EQ(WaitSemaphore(&s, 40), 0);
  EXPECT_GE(ElapsedMs(start), 39);

  ReleaseSemaphore(&s, 0);
  ReleaseSemaphore(&s, -3);
  EXPECT_EQ(WaitSemaphore(&s, 0), 0);
  ReleaseSemaphore(&s, 1);
  EXPECT_EQ(WaitSemaphore(&s, 10), 1);
  DestroySemaphore(&s);
}

TEST(SemaphoreTest, ReleaseOfFourWakesFourOfSixWaiters) {
  Semaphore s;
  ASSERT_EQ(InitSemaphore(&s, 0), 1);
  std::atomic<int> woken{0}, timed_out{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 6; ++i) {
    waiters.emplace_back([&] {
      if (WaitSemaphore(&s, 1000)) {
        woken.fetch_add(1);
      } else {
        timed_out.fetch_add(1);
      }
    });
  }
  SleepMilliseconds(50);
  ReleaseSemaphore(&s, 4);
  for (auto &t : waiters) t.join();
  EXPECT_EQ(woken.load(), 4);
  EXPECT_EQ(timed_out.load(), 2);
  EXPECT_EQ(WaitSemaphore(&s, 0), 0);
  DestroySemaphore(&s);
}

TEST(SemaphoreTest, EndlessWaitsAndSingleReleases) {
  Semaphore s;
  ASSERT_EQ(InitSemaphore(&s, 0), 1);
  const int kItems = 2000;
  std::atomic<int> taken{0};
  std::thread consumer1([&] {
    while (WaitSemaphore(&s, WAIT_FOREVER) && taken.fetch_add(1) + 1 < kItems) {
    }
  });
  for (int i = 0; i < kItems; ++i) ReleaseSemaphore(&s, 1);
  consumer1.join();
  EXPECT_EQ(taken.load(), kItems);
  EXPECT_EQ(WaitSemaphore(&s, 0), 0);
  DestroySemaphore(&s);
}

TEST(SemaphoreTest, ReleaseAtTheTimeoutIsNeverLost) {
  Semaphore s;
  ASSERT_EQ(InitSemaphore(&s, 0), 1);
  for (int round = 0; round < 40; ++round) {
    int got = -1;
    std::thread waiter([&] { got = WaitSemaphore(&s, 3); });
    SleepMilliseconds(2 + round % 3);  // around the waiter's deadline
    ReleaseSemaphore(&s, 1);
    waiter.join();
    // Either the waiter took the count or it is still there.
    EXPECT_EQ(got + WaitSemaphore(&s, 0), 1) << round;
  }
  EXPECT_EQ(WaitSemaphore(&s, 0), 0);
  DestroySemaphore(&s);
}

TEST(SemaphoreTest, DestroyActsOnlyOnReadySlot) {
  Semaphore never;
  memset(&never, 0x5A, sizeof(never));
  DestroySemaphore(&never);
  Semaphore s;
  ASSERT_EQ(InitSemaphore(&s, 1), 1);
  DestroySemaphore(&s);
  DestroySemaphore(&s);
}

TEST(DeadlineTest, NanosecondsStayNormalised) {
  for (uint32_t ms : {0u, 1u, 999u, 1000u, 1999u, 123456u, 0xFFFFFFFEu}) {
    struct timespec before, deadline;
    clock_gettime(CLOCK_MONOTONIC, &before);
    MakeDeadline(&deadline, ms);
    EXPECT_GE(deadline.tv_nsec, 0);
    EXPECT_LT(deadline.tv_nsec, 1000000000L);
    int64_t diff_ms = (static_cast<int64_t>(deadline.tv_sec) - before.tv_sec) * 1000 +
                      (deadline.tv_nsec - before.tv_nsec) / 1000000;
    EXPECT_GE(diff_ms, static_cast<int64_t>(ms));
    EXPECT_LT(diff_ms, static_cast<int64_t>(ms) + 1000);
  }
}

TEST(AtomicsTest, OperationsReturnPreviousValues) {
  std::atomic<uint32_t> a32{0xFFFFFFFEu};
  EXPECT_EQ(AtomicAdd32(&a32, 3), 0xFFFFFFFEu);
  EXPECT_EQ(AtomicLoad32(&a32), 1u);  // wraps
  std::atomic<uint64_t> a64{0xFFFFFFFFull};
  EXPECT_EQ(AtomicAdd64(&a64, 1), 0xFFFFFFFFull);
  EXPECT_EQ(AtomicLoad64(&a64), 0x100000000ull);  // carries into the high half
  EXPECT_EQ(AtomicExchange64(&a64, 0x123456789ABCDEFull), 0x100000000ull);
  uint64_t expected = 5;
  EXPECT_EQ(AtomicCompareExchange64(&a64, &expected, 7), 0);
  EXPECT_EQ(expected, 0x123456789ABCDEFull);
  EXPECT_EQ(AtomicCompareExchange64(&a64, &expected, 7), 1);
  EXPECT_EQ(AtomicLoad64(&a64), 7u);
}

TEST(AtomicsTest, ContendedCountersAndUntornWords) {
  const int kThreads = 4, kRounds = 20000;
  std::atomic<uint32_t> c32{0};
  std::atomic<uint64_t> c64{0xFFFFFF00ull};  // additions cross the 32-bit boundary
  std::atomic<uint64_t> word{0};
  std::atomic<uint32_t> torn{0};
  RunTogether(kThreads + 1, [&](int index) {
    if (index == kThreads) {
      // One writer flips between two values whose halves differ.
      for (int i = 0; i < kRounds; ++i) {
        AtomicExchange64(&word, (i & 1) ? ~0ull : 0ull);
      }
      return;
    }
    for (int i = 0; i < kRounds; ++i) {
      AtomicAdd32(&c32, 1);
      AtomicAdd64(&c64, 1);
      uint64_t v = AtomicLoad64(&word);
      if (v != 0 && v != ~0ull) AtomicAdd32(&torn, 1);
    }
  });
  EXPECT_EQ(AtomicLoad32(&c32), static_cast<uint32_t>(kThreads * kRounds));
  EXPECT_EQ(AtomicLoad64(&c64), 0xFFFFFF00ull + kThreads * kRounds);
  EXPECT_EQ(AtomicLoad32(&torn), 0u);
}

TEST(SpinLockTest, GuardsACounter) {
  const int kThreads = 4, kRounds = 5000;
  uint64_t counter = 0;
  RunTogether(kThreads, [&](int) {
    for (int i = 0; i < kRounds; ++i) {
      AcquireSpinLock();
      counter += 1;
      ReleaseSpinLock();
    }
  });
  EXPECT_EQ(counter, static_cast<uint64_t>(kThreads) * kRounds);
}

TEST(LibraryLocksTest, ConcurrentFirstCallsCreateOnce) {
  RunTogether(8, [](int) { InitLibraryLocks(); });
  ASSERT_EQ(AtomicLoad32(&g_library_locks_ready), 1u);

  // A held global lock survives further calls: they make nothing anew.
  LockRecursiveMutex(&g_movie_list_lock);
  LockRecursiveMutex(&g_sound_lock);
  std::vector<int> tries(3, -1);
  std::thread t([&] {
    InitLibraryLocks();
    tries[0] = LockRecursiveMutexTimed(&g_movie_list_lock, 0);
    tries[1] = LockRecursiveMutexTimed(&g_sound_lock, 0);
    tries[2] = LockRecursiveMutexTimed(&g_io_thread_lock, 0);
    if (tries[2]) UnlockRecursiveMutex(&g_io_thread_lock);
  });
  t.join();
  EXPECT_EQ(tries[0], 0);
  EXPECT_EQ(tries[1], 0);
  EXPECT_EQ(tries[2], 1);
  UnlockRecursiveMutex(&g_sound_lock);
  UnlockRecursiveMutex(&g_movie_list_lock);
}

}  // namespace
