// Threads with a stack size, priority class and optional processor binding,
// applied by the new thread to itself before its entry runs.
#pragma once
#include <cstdint>

struct ThreadRecord {
  uint8_t storage[256 - sizeof(void *)];
  void *work;  // working area inside storage, set by CreateThread
};
static_assert(sizeof(ThreadRecord) == 256, "ThreadRecord is a 256-byte slot");

typedef int32_t (*ThreadEntry)(intptr_t arg);

// Priority classes: 1 lowest (nice 19), 2 low (9), 3 normal (0), 4 high (-10),
// 5 highest (-20), 6 the calling thread's current nice value, and
// (n << 4) | 0xF for an explicit nice value n. Anything else is invalid.
typedef intptr_t ThreadPriority;
enum : intptr_t {
  PRIORITY_LOWEST = 1,
  PRIORITY_LOW = 2,
  PRIORITY_NORMAL = 3,
  PRIORITY_HIGH = 4,
  PRIORITY_HIGHEST = 5,
  PRIORITY_CURRENT = 6,
};
// A nice value outside -20..19 leaves the thread's priority alone.
enum : int32_t { NICE_UNCHANGED = -21 };
enum : uint32_t { NO_PROCESSOR = 0xFFFFFFFFu };

// affinity: 0 = no binding; (w & 0xFFF0) == 0xFFF0 binds to w >> 16; else
// (w & 0xF0) == 0xF0 binds to (w >> 8) & 0xFF; anything else binds nowhere.
// The name is kept in the record only (at most 31 characters).
// Returns 1 when the thread was created.
int CreateThread(ThreadRecord *t, ThreadEntry entry, intptr_t arg, uint32_t stack_bytes,
                 ThreadPriority priority, uint32_t affinity, const char *name);
// Waits for the thread and returns its entry's result (0 when the record has
// no thread to join).
int32_t JoinThread(ThreadRecord *t);
int32_t ConvertPriorityToNice(ThreadPriority p);
// 0 for a nice value outside -20..19.
ThreadPriority ConvertNiceToPriority(int32_t nice);
// Positive steps raise the priority (lower nice), limited to nice -20..19.
ThreadPriority RaiseThreadPriority(ThreadPriority p, int steps);
// Processors configured, limited to 1..64; read once and cached.
uint32_t GetCpuCount();
// Limits a processor count as GetCpuCount does.
uint32_t LimitCpuCount(long configured);
// The processor an affinity word binds to, or NO_PROCESSOR.
uint32_t AffinityToProcessor(uint32_t affinity);
const char *GetThreadName(const ThreadRecord *t);
// The calling thread's kernel thread id (gettid).
uint64_t GetThreadId();
