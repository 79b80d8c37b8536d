// Worker threads and their byte queues.
#include <cstring>
#include <new>

#include "engine/async.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "engine/platform/alloc.h"
#include "video/gen2/slices.h"

namespace {

std::atomic<uint8_t> g_started[ASYNC_MAX_WORKERS];
std::atomic<AsyncWorker *> g_workers[ASYNC_MAX_WORKERS];
// The messages of this layer belong to the thread that caused them, so a
// worker's own queue traffic never overwrites the caller's message.
thread_local const char *t_async_message = nullptr;

uint32_t HeldBytes(const AsyncQueue *q) {
  return q->write_count.load(std::memory_order_relaxed) -
         q->read_count.load(std::memory_order_relaxed);
}

uint32_t FreeBytes(const AsyncQueue *q) {
  return q->read_count.load(std::memory_order_relaxed) -
         q->write_count.load(std::memory_order_relaxed) + ASYNC_QUEUE_BYTES;
}

uint32_t MicrosecondsToWait(int timeout_us) {
  if (timeout_us < 0) return WAIT_FOREVER;
  return static_cast<uint32_t>((static_cast<uint64_t>(timeout_us) + 999) / 1000);
}

int32_t WorkerThreadMain(intptr_t arg) {
  RunWorkerLoop(static_cast<int>(arg));
  return 1;
}

}  // namespace

void SetAsyncMessage(const char *text) { t_async_message = text; }
const char *GetAsyncMessage() { return t_async_message; }

AsyncWorker *CheckWorker(int n) {
  t_async_message = nullptr;
  if (n < 0 || n >= static_cast<int>(ASYNC_MAX_WORKERS)) {
    t_async_message = "Out of range thread number.";
    return nullptr;
  }
  AsyncWorker *w = g_workers[n].load(std::memory_order_acquire);
  if (g_started[n].load(std::memory_order_acquire) == 0 || w == nullptr) {
    t_async_message = "Thread number not started.";
    return nullptr;
  }
  return w;
}

int IsWorkerStarted(int n) {
  if (n < 0 || n >= static_cast<int>(ASYNC_MAX_WORKERS)) return 0;
  return g_started[n].load(std::memory_order_acquire) != 0;
}

const char *GetWorkerName(int n) {
  if (!IsWorkerStarted(n)) return nullptr;
  AsyncWorker *w = g_workers[n].load(std::memory_order_acquire);
  return w ? w->name : nullptr;
}

int InitAsyncQueue(AsyncQueue *q) {
  q->valid.store(0, std::memory_order_relaxed);
  if (!InitSemaphore(&q->items, 0)) {
    t_async_message = "CreateSemaphore failed.";
    return 0;
  }
  if (!InitSemaphore(&q->space, 1)) {
    DestroySemaphore(&q->items);
    t_async_message = "CreateSemaphore failed.";
    return 0;
  }
  if (!InitRecursiveMutex(&q->lock)) {
    DestroySemaphore(&q->space);
    DestroySemaphore(&q->items);
    t_async_message = "CreateMutex failed.";
    return 0;
  }
  q->read_count.store(0, std::memory_order_relaxed);
  q->write_count.store(0, std::memory_order_relaxed);
  q->space_token.store(1, std::memory_order_relaxed);
  q->posts.store(0, std::memory_order_relaxed);
  q->valid.store(1, std::memory_order_release);
  return 1;
}

void DestroyAsyncQueue(AsyncQueue *q) {
  if (q->valid.load(std::memory_order_acquire) == 0) return;
  DestroySemaphore(&q->items);
  DestroySemaphore(&q->space);
  DestroyRecursiveMutex(&q->lock);
  q->valid.store(0, std::memory_order_release);
}

int PushAsyncQueue(AsyncQueue *q, const void *src, uint32_t len) {
  if (q->valid.load(std::memory_order_acquire) == 0) {
    t_async_message = "Broken async queue.";
    return 0;
  }
  LockRecursiveMutex(&q->lock);
  if (FreeBytes(q) < len) {
    UnlockRecursiveMutex(&q->lock);
    t_async_message = "Async queue full.";
    return 0;
  }
  const uint8_t *s = static_cast<const uint8_t *>(src);
  uint32_t w = q->write_count.load(std::memory_order_relaxed);
  uint32_t at = w % ASYNC_QUEUE_BYTES;
  uint32_t first = ASYNC_QUEUE_BYTES - at < len ? ASYNC_QUEUE_BYTES - at : len;
  memcpy(q->ring + at, s, first);
  memcpy(q->ring, s + first, len - first);
  q->write_count.store(w + len, std::memory_order_relaxed);
  q->posts.fetch_add(1, std::memory_order_seq_cst);
  UnlockRecursiveMutex(&q->lock);
  // Released after the lock is free, so the popper it wakes finds the ring
  // unlocked instead of sleeping on it again.
  ReleaseSemaphore(&q->items, 1);
  return 1;
}

int PopAsyncQueue(AsyncQueue *q, int n, int timeout_us, void *dst, uint32_t len) {
  t_async_message = nullptr;
  if (n >= 0 && CheckWorker(n) == nullptr) return 0;
  if (q->valid.load(std::memory_order_acquire) == 0) {
    t_async_message = "Broken async queue.";
    return 0;
  }
  if (!WaitSemaphore(&q->items, MicrosecondsToWait(timeout_us))) return 0;
  LockRecursiveMutex(&q->lock);
  q->posts.fetch_sub(1, std::memory_order_seq_cst);
  uint32_t held = HeldBytes(q);
  uint32_t m = len < held ? len : held;
  uint32_t r = q->read_count.load(std::memory_order_relaxed);
  uint32_t at = r % ASYNC_QUEUE_BYTES;
  uint32_t first = ASYNC_QUEUE_BYTES - at < m ? ASYNC_QUEUE_BYTES - at : m;
  uint8_t *d = static_cast<uint8_t *>(dst);
  memcpy(d, q->ring + at, first);
  memcpy(d + first, q->ring, m - first);
  q->read_count.store(r + m, std::memory_order_relaxed);
  int space_freed = 0;
  if (q->space_token.load(std::memory_order_seq_cst) == 0) {
    q->space_token.store(1, std::memory_order_seq_cst);
    space_freed = 1;
  }
  UnlockRecursiveMutex(&q->lock);
  if (space_freed) ReleaseSemaphore(&q->space, 1);
  return m > 0;
}

uint32_t GetRequestQueueSpace(int n) {
  AsyncWorker *w = CheckWorker(n);
  if (!w) return 0;
  LockRecursiveMutex(&w->requests.lock);
  uint32_t space = FreeBytes(&w->requests);
  UnlockRecursiveMutex(&w->requests.lock);
  return space;
}

int PushAsyncRequest(int n, const void *src, uint32_t len) {
  AsyncWorker *w = CheckWorker(n);
  return w ? PushAsyncQueue(&w->requests, src, len) : 0;
}

int PushAsyncCompletion(int n, const void *src, uint32_t len) {
  AsyncWorker *w = CheckWorker(n);
  return w ? PushAsyncQueue(&w->completions, src, len) : 0;
}

int PopAsyncRequest(int n, int timeout_us, void *dst, uint32_t len) {
  AsyncWorker *w = CheckWorker(n);
  return w ? PopAsyncQueue(&w->requests, n, timeout_us, dst, len) : 0;
}

int PopAsyncCompletion(int n, int timeout_us, void *dst, uint32_t len) {
  AsyncWorker *w = CheckWorker(n);
  return w ? PopAsyncQueue(&w->completions, n, timeout_us, dst, len) : 0;
}

void WaitCompletionSpace(int n) {
  AsyncWorker *w = CheckWorker(n);
  if (!w) return;
  WaitSemaphore(&w->completions.space, WAIT_FOREVER);
  w->completions.space_token.fetch_sub(1, std::memory_order_seq_cst);
}

int PostAsyncWakeup(int n) {
  AsyncWorker *w = CheckWorker(n);
  if (!w) return 0;
  AsyncQueue *q = &w->completions;
  if (q->valid.load(std::memory_order_acquire) == 0) {
    t_async_message = "Broken async queue.";
    return 0;
  }
  if (q->posts.load(std::memory_order_seq_cst) <= ASYNC_MAX_WAKEUPS) {
    q->posts.fetch_add(1, std::memory_order_seq_cst);
    ReleaseSemaphore(&q->items, 1);
  }
  return 1;
}

void RunWorkerLoop(int n) {
  for (;;) {
    AsyncJobWord job = 0;
    if (!PopAsyncRequest(n, -1, &job, sizeof(job))) continue;
    if (job == 0) return;
    AsyncCompletion done;
    done.job = job;
    done.result = DecodeFrame(reinterpret_cast<HVOSH>(static_cast<uintptr_t>(job & ~AsyncJobWord(0xFF))),
                              static_cast<uint32_t>(job & 0xFF));
    while (!PushAsyncCompletion(n, &done, sizeof(done))) WaitCompletionSpace(n);
  }
}

int CreateWorkerThread(int n) {
  t_async_message = nullptr;
  if (n < 0 || n >= static_cast<int>(ASYNC_MAX_WORKERS)) {
    t_async_message = "Out of range thread number.";
    return 0;
  }
  if (g_started[n].load(std::memory_order_acquire)) {
    t_async_message = "Already loaded on this thread number.";
    return 0;
  }
  AllocPlanStorage storage;
  InitAllocPlan(&storage.plan, 32);
  void *block = AllocatePlan(&storage.plan, sizeof(AsyncWorker));
  if (!block) return 0;
  AsyncWorker *w = new (block) AsyncWorker();
  if (!InitAsyncQueue(&w->requests)) {
    w->~AsyncWorker();
    AlignedFree(block);
    return 0;
  }
  if (!InitAsyncQueue(&w->completions)) {
    DestroyAsyncQueue(&w->requests);
    w->~AsyncWorker();
    AlignedFree(block);
    return 0;
  }
  memcpy(w->name, "VoshAsy", 7);
  w->name[7] = static_cast<char>('0' + n);
  w->name[8] = 0;
  // Published before the thread exists, so the new worker's first pop
  // already finds itself started.
  g_workers[n].store(w, std::memory_order_release);
  g_started[n].store(1, std::memory_order_release);
  if (!CreateThread(&w->thread, WorkerThreadMain, n, 0x18000, PRIORITY_NORMAL, 0, w->name)) {
    g_started[n].store(0, std::memory_order_release);
    g_workers[n].store(nullptr, std::memory_order_release);
    DestroyAsyncQueue(&w->requests);
    DestroyAsyncQueue(&w->completions);
    w->~AsyncWorker();
    AlignedFree(block);
    t_async_message = "CreateThread failed.";
    return 0;
  }
  return 1;
}

int VoshStartWorkerThread(int n) {
  int ok = CreateWorkerThread(n);
  if (!ok && t_async_message) SetErrorText(t_async_message);
  return ok;
}

uint32_t VoshGetCpuCount() { return GetCpuCount(); }

namespace {

std::atomic<AsyncWaitHook> g_async_wait_hook{nullptr};

// Longest single block of a wait on a completion queue.
const int kDrainSliceUs = 10000;

void CopyAsyncMessage() {
  if (t_async_message) SetErrorText(t_async_message);
}

HVOSH JobMovie(AsyncJobWord job) {
  return reinterpret_cast<HVOSH>(static_cast<uintptr_t>(job & ~AsyncJobWord(0xFF)));
}

}  // namespace

AsyncWaitHook GetAsyncWaitHook() { return g_async_wait_hook.load(std::memory_order_acquire); }

void DrainAsyncCompletions(int n, int timeout_us, HVOSH movie) {
  int wait = timeout_us;
  for (;;) {
    AsyncCompletion done;
    if (!PopAsyncCompletion(n, wait, &done, sizeof(done))) return;
    wait = 0;
    HVOSH m = JobMovie(done.job);
    uint32_t f = static_cast<uint32_t>(done.job & 0xF);
    if (!m) continue;
    if (m != movie) {
      // The worker to wake is read while the job still holds the movie; once
      // the bit is cleared the movie may finish and be closed at any time.
      uint32_t word = m->async_slots[f].load(std::memory_order_acquire);
      m->async_slots[f].fetch_and(~uint32_t(ASYNC_SLOT_IN_FLIGHT), std::memory_order_acq_rel);
      PostAsyncWakeup(static_cast<int>(word & ASYNC_SLOT_WORKER));
    } else {
      m->async_slots[f].fetch_and(~uint32_t(ASYNC_SLOT_IN_FLIGHT), std::memory_order_acq_rel);
    }
  }
}

int VoshStartAsyncDecompress(HVOSH movie, const uint32_t *workers, int count) {
  if (!movie) return 0;
  // Refusals come before the frame is opened, so a refused start changes
  // nothing.
  for (uint32_t k = 0; k < ASYNC_SLOT_COUNT; ++k) {
    if (movie->async_slots[k].load(std::memory_order_acquire) != 0) {
      SetErrorText("There is already an async decompression in progress on this HVOSH.");
      return 0;
    }
  }
  if (count > 0 && !workers) return 0;
  for (int k = 0; k < count; ++k) {
    if (!CheckWorker(static_cast<int>(workers[k]))) {
      CopyAsyncMessage();
      return 0;
    }
  }
  if (!BeginFrame(movie, VoshGetMilliseconds())) return 0;
  if (count <= 0) {
    g_async_wait_hook.store(WaitAsyncBeforeClose, std::memory_order_release);
    return 0;
  }
  if (count > static_cast<int>(ASYNC_MAX_WORKERS)) count = ASYNC_MAX_WORKERS;
  uint32_t order[ASYNC_MAX_WORKERS];
  uint32_t space[ASYNC_MAX_WORKERS];
  for (int k = 0; k < count; ++k) {
    uint32_t s = GetRequestQueueSpace(static_cast<int>(workers[k]));
    uint32_t w = workers[k];
    // Stable insertion sort, most free space first.
    int j = k;
    while (j > 0 && space[j - 1] < s) {
      space[j] = space[j - 1];
      order[j] = order[j - 1];
      --j;
    }
    space[j] = s;
    order[j] = w;
  }
  g_async_wait_hook.store(WaitAsyncBeforeClose, std::memory_order_release);
  int posted = 0;
  for (int k = 0; k < count; ++k) {
    uint32_t run = ClaimSliceRun(&movie->slice_layout, 1, static_cast<uint32_t>(count));
    if (run == 0) break;
    uint32_t first = run & 0xF;
    if (first >= ASYNC_SLOT_COUNT || movie->async_slots[first].load(std::memory_order_acquire) != 0)
      break;
    int n = static_cast<int>(order[k]);
    // The slot is set before the job is visible to the worker, so a drain
    // can never clear its bit before it is set.
    movie->async_slots[first].store(static_cast<uint32_t>(n) | ASYNC_SLOT_IN_FLIGHT |
                                        ASYNC_SLOT_ASSIGNED,
                                    std::memory_order_release);
    AsyncJobWord job = static_cast<AsyncJobWord>(reinterpret_cast<uintptr_t>(movie)) | run;
    // A full request queue empties as the worker completes jobs; the drain is
    // bounded because another movie's wait may take those completions.
    while (!PushAsyncRequest(n, &job, sizeof(job))) DrainAsyncCompletions(n, kDrainSliceUs, movie);
    posted = 1;
    CopyAsyncMessage();
  }
  return posted;
}

int VoshWaitAsyncDecompress(HVOSH movie, int timeout_us) {
  if (!movie) return 1;
  int any = 0;
  for (uint32_t k = 0; k < ASYNC_SLOT_COUNT; ++k)
    if (movie->async_slots[k].load(std::memory_order_acquire) != 0) any = 1;
  if (!any) return 1;
  uint32_t start = timeout_us > 0 ? VoshGetMilliseconds() : 0;
  for (;;) {
    // The runs were posted in slot order, so the last slot tends to finish
    // last: waiting for it first, the earlier slots are mostly done by then
    // and the waiter sleeps once per frame instead of once per completion.
    for (uint32_t k = ASYNC_SLOT_COUNT; k-- > 0;) {
      uint32_t word = movie->async_slots[k].load(std::memory_order_acquire);
      if (!(word & ASYNC_SLOT_IN_FLIGHT)) continue;
      // Without a limit the drain still wakes every few milliseconds: the
      // wake-up another movie's wait posts on a shared completion queue may
      // be taken by a third waiter on the same queue.
      int slice = timeout_us < 0 || timeout_us > kDrainSliceUs ? kDrainSliceUs : timeout_us;
      DrainAsyncCompletions(static_cast<int>(word & ASYNC_SLOT_WORKER), slice, movie);
      CopyAsyncMessage();
    }
    int in_flight = 0;
    for (uint32_t k = 0; k < ASYNC_SLOT_COUNT; ++k)
      if (movie->async_slots[k].load(std::memory_order_acquire) & ASYNC_SLOT_IN_FLIGHT)
        in_flight = 1;
    if (!in_flight) {
      for (uint32_t k = 0; k < ASYNC_SLOT_COUNT; ++k)
        movie->async_slots[k].store(0, std::memory_order_release);
      EndFrame(movie, VoshGetMilliseconds());
      return 1;
    }
    if (timeout_us == 0) return 0;
    if (timeout_us > 0 &&
        VoshGetMilliseconds() - start >= static_cast<uint32_t>(timeout_us) / 1000)
      return 0;
  }
}

int WaitAsyncBeforeClose(HVOSH movie) { return VoshWaitAsyncDecompress(movie, -1); }
