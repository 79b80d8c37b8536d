// Recursive mutex (a short spin, then sleep on a monotonic condition),
// counting semaphore, the library's spin lock and the global locks.
#include "engine/platform/locks.h"

#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <cstddef>
#include <new>

#include "engine/platform/atomics.h"
#include "engine/platform/threads.h"

RecursiveMutex g_movie_list_lock;
RecursiveMutex g_sound_lock;
RecursiveMutex g_io_thread_lock;
std::atomic<uint32_t> g_library_locks_ready{0};

namespace {

const uint64_t kSleepersBit = 0x8000000000000000ull;
const uint32_t kMutexTag = 0x30000;
const uint32_t kSemaphoreTag = 0x20000;
const int kSpinRounds = 102;
const uint32_t kSpinTries = 512;

struct MutexAndCondition {
  pthread_mutex_t mutex;
  pthread_cond_t condition;
};

struct MutexWork {
  MutexAndCondition sync;
  std::atomic<uint64_t> owner;   // owning thread id, bit 63: sleepers may wait
  std::atomic<uint32_t> depth;   // recursion depth, written by the owner only
  uint32_t tag;                  // kMutexTag while ready
};

struct SemaphoreWork {
  MutexAndCondition sync;
  uint32_t count;  // changed only under sync.mutex
  uint32_t tag;    // kSemaphoreTag while ready
};

template <typename Work, typename Slot>
Work *AreaOf(Slot *slot) {
  uintptr_t a = reinterpret_cast<uintptr_t>(slot->storage);
  a = (a + 15) & ~static_cast<uintptr_t>(15);
  return reinterpret_cast<Work *>(a);
}

static_assert(sizeof(MutexWork) + 15 <= sizeof(RecursiveMutex::storage), "mutex area fits its slot");
static_assert(sizeof(SemaphoreWork) + 15 <= sizeof(Semaphore::storage), "semaphore area fits its slot");

std::atomic<uint32_t> g_spin_lock{0};

thread_local uint64_t t_thread_id = 0;

uint64_t CurrentThreadId() {
  uint64_t tid = t_thread_id;
  if (tid == 0) {
    tid = GetThreadId();
    t_thread_id = tid;
  }
  return tid;
}

}  // namespace

// Creates the POSIX mutex and a condition on the monotonic clock; 0 when
// either fails (the mutex is destroyed again when the condition fails).
static int InitMutexAndCondition(MutexAndCondition *sync) {
  if (pthread_mutex_init(&sync->mutex, nullptr) != 0) return 0;
  pthread_condattr_t attr;
  int ok = pthread_condattr_init(&attr) == 0;
  if (ok) {
    ok = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0 &&
         pthread_cond_init(&sync->condition, &attr) == 0;
    pthread_condattr_destroy(&attr);
  }
  if (!ok) {
    pthread_mutex_destroy(&sync->mutex);
    return 0;
  }
  return 1;
}

void MakeDeadline(struct timespec *ts, uint32_t ms) {
  clock_gettime(CLOCK_MONOTONIC, ts);
  uint64_t ns = static_cast<uint64_t>(ts->tv_nsec) + static_cast<uint64_t>(ms) * 1000000u;
  ts->tv_sec += static_cast<time_t>(ns / 1000000000u);
  ts->tv_nsec = static_cast<long>(ns % 1000000000u);
}

void SleepMilliseconds(uint32_t ms) {
  // usleep takes at most about 71 minutes at a time on 32-bit useconds_t.
  uint64_t us = static_cast<uint64_t>(ms) * 1000u;
  while (us > 0) {
    uint64_t part = us > 1000000000u ? 1000000000u : us;
    usleep(static_cast<useconds_t>(part));
    us -= part;
  }
}

void PauseProcessor() { __builtin_ia32_pause(); }

// The contended path: spin 102 rounds, then sleep on the condition after
// announcing a sleeper in bit 63 of the owner word.
static int LockRecursiveMutexSlow(MutexWork *w, uint64_t observed, uint64_t tid, uint32_t ms) {
  for (int round = 0; round < kSpinRounds; ++round) {
    PauseProcessor();
    if (round >= 100) PauseProcessor();
    if (observed == 0) {
      if (AtomicCompareExchange64(&w->owner, &observed, tid)) {
        w->depth.store(1, std::memory_order_relaxed);
        return 1;
      }
    } else {
      observed = AtomicLoad64(&w->owner);
    }
  }

  struct timespec deadline;
  int have_deadline = 0;
  pthread_mutex_lock(&w->sync.mutex);
  for (;;) {
    if (observed == 0) {
      if (AtomicCompareExchange64(&w->owner, &observed, tid)) {
        w->depth.store(1, std::memory_order_relaxed);
        pthread_mutex_unlock(&w->sync.mutex);
        return 1;
      }
      continue;
    }
    if (!AtomicCompareExchange64(&w->owner, &observed, observed | kSleepersBit)) continue;
    if (ms == WAIT_FOREVER) {
      pthread_cond_wait(&w->sync.condition, &w->sync.mutex);
    } else {
      if (!have_deadline) {
        MakeDeadline(&deadline, ms);
        have_deadline = 1;
      }
      if (pthread_cond_timedwait(&w->sync.condition, &w->sync.mutex, &deadline) == ETIMEDOUT) {
        pthread_mutex_unlock(&w->sync.mutex);
        return 0;
      }
    }
    observed = AtomicLoad64(&w->owner);
  }
}

int InitRecursiveMutex(RecursiveMutex *m) {
  MutexWork *w = AreaOf<MutexWork>(m);
  m->work = w;
  new (&w->owner) std::atomic<uint64_t>(0);
  new (&w->depth) std::atomic<uint32_t>(0);
  w->tag = 0;
  if (!InitMutexAndCondition(&w->sync)) return 0;
  w->tag = kMutexTag;
  return 1;
}

int IsRecursiveMutexReady(const RecursiveMutex *m) {
  // The working area is found from the slot itself, so a slot that was
  // never made ready is recognised by its tag without following its pointer.
  const MutexWork *w = AreaOf<const MutexWork>(m);
  return m->work == w && (w->tag >> 16) == (kMutexTag >> 16);
}

void DestroyRecursiveMutex(RecursiveMutex *m) {
  if (!IsRecursiveMutexReady(m)) return;
  MutexWork *w = AreaOf<MutexWork>(m);
  pthread_cond_destroy(&w->sync.condition);
  pthread_mutex_destroy(&w->sync.mutex);
  w->tag = 0;
}

int LockRecursiveMutexTimed(RecursiveMutex *m, uint32_t ms) {
  MutexWork *w = static_cast<MutexWork *>(m->work);
  uint64_t tid = CurrentThreadId();
  uint64_t observed = 0;
  if (AtomicCompareExchange64(&w->owner, &observed, tid)) {
    w->depth.store(1, std::memory_order_relaxed);
    return 1;
  }
  if ((observed & ~kSleepersBit) == tid) {
    w->depth.store(w->depth.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return 1;
  }
  if (ms == 0) return 0;
  return LockRecursiveMutexSlow(w, observed, tid, ms);
}

void LockRecursiveMutex(RecursiveMutex *m) { LockRecursiveMutexTimed(m, WAIT_FOREVER); }

void UnlockRecursiveMutex(RecursiveMutex *m) {
  MutexWork *w = static_cast<MutexWork *>(m->work);
  // Only the owner may release a level; anything else would hand the lock
  // away from under its owner.
  if ((AtomicLoad64(&w->owner) & ~kSleepersBit) != CurrentThreadId()) return;
  uint32_t depth = w->depth.load(std::memory_order_relaxed);
  if (depth > 1) {
    w->depth.store(depth - 1, std::memory_order_relaxed);
    return;
  }
  w->depth.store(0, std::memory_order_relaxed);
  uint64_t old = AtomicExchange64(&w->owner, 0);
  if (old & kSleepersBit) {
    pthread_mutex_lock(&w->sync.mutex);
    pthread_cond_broadcast(&w->sync.condition);
    pthread_mutex_unlock(&w->sync.mutex);
  }
}

int InitSemaphore(Semaphore *s, uint32_t initial) {
  SemaphoreWork *w = AreaOf<SemaphoreWork>(s);
  s->work = w;
  w->tag = 0;
  w->count = initial;
  if (!InitMutexAndCondition(&w->sync)) return 0;
  w->tag = kSemaphoreTag;
  return 1;
}

void DestroySemaphore(Semaphore *s) {
  SemaphoreWork *w = AreaOf<SemaphoreWork>(s);
  if (s->work != w || (w->tag >> 16) != (kSemaphoreTag >> 16)) return;
  pthread_cond_destroy(&w->sync.condition);
  pthread_mutex_destroy(&w->sync.mutex);
  w->tag = 0;
}

int WaitSemaphore(Semaphore *s, uint32_t ms) {
  SemaphoreWork *w = static_cast<SemaphoreWork *>(s->work);
  int taken = 0;
  if (ms == 0) {
    pthread_mutex_lock(&w->sync.mutex);
    if (w->count > 0) {
      w->count -= 1;
      taken = 1;
    }
    pthread_mutex_unlock(&w->sync.mutex);
    return taken;
  }
  if (ms == WAIT_FOREVER) {
    pthread_mutex_lock(&w->sync.mutex);
    while (w->count == 0) pthread_cond_wait(&w->sync.condition, &w->sync.mutex);
    w->count -= 1;
    pthread_mutex_unlock(&w->sync.mutex);
    return 1;
  }
  struct timespec deadline;
  MakeDeadline(&deadline, ms);
  pthread_mutex_lock(&w->sync.mutex);
  for (;;) {
    if (w->count > 0) {
      w->count -= 1;
      taken = 1;
      break;
    }
    if (pthread_cond_timedwait(&w->sync.condition, &w->sync.mutex, &deadline) == ETIMEDOUT) {
      // A release that arrived with the timeout still counts.
      if (w->count > 0) {
        w->count -= 1;
        taken = 1;
      }
      break;
    }
  }
  pthread_mutex_unlock(&w->sync.mutex);
  return taken;
}

void ReleaseSemaphore(Semaphore *s, int n) {
  if (n <= 0) return;
  SemaphoreWork *w = static_cast<SemaphoreWork *>(s->work);
  pthread_mutex_lock(&w->sync.mutex);
  w->count += static_cast<uint32_t>(n);
  pthread_mutex_unlock(&w->sync.mutex);
  // Signalled after the mutex is free: a waiter woken while it was still
  // held would only sleep again on the mutex and need a second wake-up.
  if (n == 1) {
    pthread_cond_signal(&w->sync.condition);
  } else {
    pthread_cond_broadcast(&w->sync.condition);
  }
}

void AcquireSpinLock() {
  for (;;) {
    for (uint32_t i = 0; i < kSpinTries; ++i) {
      if (AtomicAdd32(&g_spin_lock, 1) == 0) return;
      AtomicAdd32(&g_spin_lock, static_cast<uint32_t>(-1));
      PauseProcessor();
    }
    SleepMilliseconds(1);
  }
}

void ReleaseSpinLock() { AtomicAdd32(&g_spin_lock, static_cast<uint32_t>(-1)); }

void InitLibraryLocks() {
  AcquireSpinLock();
  if (AtomicLoad32(&g_library_locks_ready) == 0) {
    RecursiveMutex *locks[3] = {&g_movie_list_lock, &g_sound_lock, &g_io_thread_lock};
    int made = 0;
    while (made < 3 && InitRecursiveMutex(locks[made])) ++made;
    if (made == 3) {
      g_library_locks_ready.store(1, std::memory_order_seq_cst);
    } else {
      // Undo the ones that were made, so that a later call starts afresh.
      while (made > 0) DestroyRecursiveMutex(locks[--made]);
    }
  }
  ReleaseSpinLock();
}
