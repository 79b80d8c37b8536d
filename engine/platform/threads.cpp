// Threads: creation with stack size, priority and processor binding, which
// the new thread applies to itself; priority classes and nice values.
#include "engine/platform/threads.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstring>
#include <new>

namespace {

const uint32_t kThreadTag = 0x40000;

struct ThreadWork {
  ThreadEntry entry;
  intptr_t argument;
  char name[32];
  pthread_t handle;
  int32_t nice;
  uint32_t cpu;
  uint32_t tag;  // kThreadTag while a thread exists to be joined
  std::atomic<int32_t> exit_value;
};

static_assert(sizeof(ThreadWork) + 15 <= sizeof(ThreadRecord::storage), "thread area fits its slot");

ThreadWork *AreaOf(const ThreadRecord *t) {
  uintptr_t a = reinterpret_cast<uintptr_t>(t->storage);
  a = (a + 15) & ~static_cast<uintptr_t>(15);
  return reinterpret_cast<ThreadWork *>(a);
}

std::atomic<int32_t> g_cpu_count{-1};

// Sanitizer builds run with much larger stack frames; the small stacks that
// the library asks for would overflow there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const uint32_t kSmallestStack = 1024 * 1024;
#else
const uint32_t kSmallestStack = 0;
#endif

}  // namespace

uint64_t GetThreadId() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

// The start routine: applies nice value and processor binding to the new
// thread, then runs the entry. Errors of both settings are ignored.
static void *RunThreadEntry(void *slot) {
  ThreadWork *w = static_cast<ThreadWork *>(static_cast<ThreadRecord *>(slot)->work);
  if (w->nice >= -20 && w->nice <= 19) {
    setpriority(PRIO_PROCESS, static_cast<id_t>(GetThreadId()), w->nice);
  }
  if (w->cpu != NO_PROCESSOR) {
    cpu_set_t set;  // 1024 bits
    static_assert(sizeof(cpu_set_t) == 128, "processor set of 1024 bits");
    CPU_ZERO(&set);
    if (w->cpu <= 1023) CPU_SET(w->cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
  }
  w->exit_value.store(w->entry(w->argument), std::memory_order_release);
  return nullptr;
}

uint32_t AffinityToProcessor(uint32_t affinity) {
  if (affinity == 0) return NO_PROCESSOR;
  if ((affinity & 0xFFF0) == 0xFFF0) return affinity >> 16;
  if ((affinity & 0xF0) == 0xF0) return (affinity >> 8) & 0xFF;
  return NO_PROCESSOR;
}

int CreateThread(ThreadRecord *t, ThreadEntry entry, intptr_t arg, uint32_t stack_bytes,
                 ThreadPriority priority, uint32_t affinity, const char *name) {
  ThreadWork *w = AreaOf(t);
  t->work = w;
  w->tag = 0;
  w->entry = entry;
  w->argument = arg;
  memset(w->name, 0, sizeof(w->name));
  if (name != nullptr) {
    size_t i = 0;
    while (i < sizeof(w->name) && name[i] != 0) {
      w->name[i] = name[i];
      ++i;
    }
    if (i == sizeof(w->name)) w->name[sizeof(w->name) - 1] = 0;
  }
  w->nice = ConvertPriorityToNice(priority);
  w->cpu = AffinityToProcessor(affinity);
  new (&w->exit_value) std::atomic<int32_t>(0);

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return 0;
  pthread_attr_setstacksize(&attr, stack_bytes < kSmallestStack ? kSmallestStack : stack_bytes);
  int result = pthread_create(&w->handle, &attr, RunThreadEntry, t);
  pthread_attr_destroy(&attr);
  if (result != 0) return 0;
  w->tag = kThreadTag;
  return 1;
}

int32_t JoinThread(ThreadRecord *t) {
  ThreadWork *w = AreaOf(t);
  // A record without a created thread has no handle to join.
  if (t->work != w || w->tag != kThreadTag) return 0;
  pthread_join(w->handle, nullptr);
  w->tag = 0;
  return w->exit_value.load(std::memory_order_acquire);
}

const char *GetThreadName(const ThreadRecord *t) {
  const ThreadWork *w = AreaOf(t);
  if (t->work != w) return "";
  return w->name;
}

int32_t ConvertPriorityToNice(ThreadPriority p) {
  switch (p) {
    case PRIORITY_LOWEST: return 19;
    case PRIORITY_LOW: return 9;
    case PRIORITY_NORMAL: return 0;
    case PRIORITY_HIGH: return -10;
    case PRIORITY_HIGHEST: return -20;
    case PRIORITY_CURRENT: {
      errno = 0;
      int n = getpriority(PRIO_PROCESS, static_cast<id_t>(GetThreadId()));
      if (n == -1 && errno != 0) return NICE_UNCHANGED;
      return n;
    }
    default: break;
  }
  if ((p & 0xF) != 0xF) return NICE_UNCHANGED;
  intptr_t n = p >> 4;  // arithmetic shift: the value is sign-extended
  // A value that does not fit 32 bits must not wrap into a valid nice value.
  if (n < INT32_MIN || n > INT32_MAX) return NICE_UNCHANGED;
  return static_cast<int32_t>(n);
}

ThreadPriority ConvertNiceToPriority(int32_t nice) {
  if (nice < -20 || nice > 19) return 0;
  switch (nice) {
    case -20: return PRIORITY_HIGHEST;
    case -10: return PRIORITY_HIGH;
    case 0: return PRIORITY_NORMAL;
    case 9: return PRIORITY_LOW;
    case 19: return PRIORITY_LOWEST;
    default: break;
  }
  return static_cast<ThreadPriority>(nice) * 16 + 0xF;
}

ThreadPriority RaiseThreadPriority(ThreadPriority p, int steps) {
  int32_t nice = ConvertPriorityToNice(p);
  if (nice < -20 || nice > 19) return p;
  int64_t raised = static_cast<int64_t>(nice) - static_cast<int64_t>(steps);
  if (raised < -20) raised = -20;
  if (raised > 19) raised = 19;
  return ConvertNiceToPriority(static_cast<int32_t>(raised));
}

uint32_t LimitCpuCount(long configured) {
  if (configured < 1) return 1;
  if (configured > 64) return 64;
  return static_cast<uint32_t>(configured);
}

uint32_t GetCpuCount() {
  int32_t cached = g_cpu_count.load(std::memory_order_acquire);
  if (cached < 0) {
    cached = static_cast<int32_t>(LimitCpuCount(sysconf(_SC_NPROCESSORS_CONF)));
    g_cpu_count.store(cached, std::memory_order_release);
  }
  return static_cast<uint32_t>(cached);
}
