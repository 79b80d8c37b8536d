// Recursive mutex, counting semaphore, the library's spin lock and its three
// global locks. The lock records are fixed-size opaque slots owned by their
// users; each keeps the address of its 16-byte-aligned working area inside
// the slot in its last pointer-sized field.
#pragma once
#include <atomic>
#include <cstdint>
#include <ctime>

struct RecursiveMutex {
  uint8_t storage[192 - sizeof(void *)];
  void *work;  // working area inside storage, set by InitRecursiveMutex
};
static_assert(sizeof(RecursiveMutex) == 192, "RecursiveMutex is a 192-byte slot");

struct Semaphore {
  uint8_t storage[128 - sizeof(void *)];
  void *work;  // working area inside storage, set by InitSemaphore
};
static_assert(sizeof(Semaphore) == 128, "Semaphore is a 128-byte slot");

// Waits take milliseconds: 0 tries once, WAIT_FOREVER waits without limit.
enum : uint32_t { WAIT_FOREVER = 0xFFFFFFFFu };

// 1 when the lock is ready, 0 when its mutex or condition could not be made.
int InitRecursiveMutex(RecursiveMutex *m);
// Acts only on a slot that InitRecursiveMutex made ready.
void DestroyRecursiveMutex(RecursiveMutex *m);
// 1 for a slot that InitRecursiveMutex made ready and that was not destroyed.
int IsRecursiveMutexReady(const RecursiveMutex *m);
void LockRecursiveMutex(RecursiveMutex *m);
// 1 when taken (or taken again by its owner), 0 when the time ran out.
int LockRecursiveMutexTimed(RecursiveMutex *m, uint32_t ms);
// Releases one level; the lock is free when every level is released.
void UnlockRecursiveMutex(RecursiveMutex *m);

int InitSemaphore(Semaphore *s, uint32_t initial);
// Acts only on a slot that InitSemaphore made ready.
void DestroySemaphore(Semaphore *s);
// 1 when a count was taken, 0 when none came in time.
int WaitSemaphore(Semaphore *s, uint32_t ms);
// Adds n counts (nothing for n <= 0) and wakes waiters.
void ReleaseSemaphore(Semaphore *s, int n);

// The monotonic time now plus ms, normalised (nanoseconds below 1e9).
void MakeDeadline(struct timespec *ts, uint32_t ms);
void SleepMilliseconds(uint32_t ms);
// The processor's spin-wait hint.
void PauseProcessor();

// The library's spin lock: guards only the creation of the global locks.
void AcquireSpinLock();
void ReleaseSpinLock();
// Creates the three global locks on the first call; sets g_library_locks_ready
// when all three were made. Safe to call from several threads at once.
void InitLibraryLocks();

extern RecursiveMutex g_movie_list_lock;
extern RecursiveMutex g_sound_lock;
extern RecursiveMutex g_io_thread_lock;
extern std::atomic<uint32_t> g_library_locks_ready;
