// Asynchronous frame decoding on numbered worker threads.  Each worker owns
// a request queue of 8-byte job words and a completion queue of 16-byte
// completions; a frame is cut into runs of slices, one job per run.
#pragma once
#include <atomic>
#include <cstdint>

#include "vosh.h"
#include "engine/platform/locks.h"
#include "engine/platform/threads.h"

enum : uint32_t {
  ASYNC_MAX_WORKERS = 64,
  ASYNC_QUEUE_BYTES = 256,
  ASYNC_SLOT_COUNT = 8,
  // AsyncSlotWord: worker number in bits 0-7, job in flight, job assigned.
  ASYNC_SLOT_WORKER = 0xFF,
  ASYNC_SLOT_IN_FLIGHT = 0x100,
  ASYNC_SLOT_ASSIGNED = 0x200,
  // Most wake-ups without data that may be outstanding on one queue.
  ASYNC_MAX_WAKEUPS = 15,
};

// A byte ring of 256 bytes; byte k of the stream lies at ring[k mod 256].
struct AsyncQueue {
  Semaphore items;  // one count per push and per wake-up
  Semaphore space;  // at most one outstanding "space freed" signal
  RecursiveMutex lock;  // guards the ring and the two byte counts
  std::atomic<uint32_t> space_token;  // 1 while no space signal is owed
  std::atomic<uint32_t> posts;        // releases of items not yet consumed
  std::atomic<uint32_t> read_count;   // bytes taken, wrapping
  std::atomic<uint32_t> write_count;  // bytes put, wrapping
  std::atomic<uint32_t> valid;        // 1 between init and destroy
  uint8_t ring[ASYNC_QUEUE_BYTES];
};

struct AsyncWorker {
  ThreadRecord thread;
  char name[9];  // "VoshAsy" + ('0' + n)
  AsyncQueue requests;
  AsyncQueue completions;
};

// Job word as pushed: the movie record's address (256-byte aligned) OR-ed
// with the SliceRun byte.  0 asks a worker to end.
typedef uint64_t AsyncJobWord;

struct AsyncCompletion {
  AsyncJobWord job;
  int64_t result;  // DecodeFrame's result, sign-extended
};

typedef int (*AsyncWaitHook)(HVOSH movie);

int CreateWorkerThread(int n);
int WaitAsyncBeforeClose(HVOSH movie);
// The hook the close calls, null until the first asynchronous start.
AsyncWaitHook GetAsyncWaitHook();

// Queue operations on worker n; each refuses a number out of range or a
// worker that is not started.
uint32_t GetRequestQueueSpace(int n);
int PushAsyncRequest(int n, const void *src, uint32_t len);
int PushAsyncCompletion(int n, const void *src, uint32_t len);
int PopAsyncRequest(int n, int timeout_us, void *dst, uint32_t len);
int PopAsyncCompletion(int n, int timeout_us, void *dst, uint32_t len);
void WaitCompletionSpace(int n);
int PostAsyncWakeup(int n);
// Pops the completions of worker n (the first pop with timeout_us, the rest
// polled) and clears the in-flight bits they name.
void DrainAsyncCompletions(int n, int timeout_us, HVOSH movie);

int InitAsyncQueue(AsyncQueue *queue);
void DestroyAsyncQueue(AsyncQueue *queue);
int PushAsyncQueue(AsyncQueue *queue, const void *src, uint32_t len);
int PopAsyncQueue(AsyncQueue *queue, int n, int timeout_us, void *dst, uint32_t len);

// The worker record of a started worker n; null (and the message set) for a
// number out of range or a worker that is not started.
AsyncWorker *CheckWorker(int n);
// A worker's loop: pops jobs and runs DecodeFrame until the job word 0.
void RunWorkerLoop(int n);
void SetAsyncMessage(const char *text);
// The last message of this layer on the calling thread, or null.
const char *GetAsyncMessage();
// 1 when worker n is started.
int IsWorkerStarted(int n);
const char *GetWorkerName(int n);
