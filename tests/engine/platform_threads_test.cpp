// Threads: creation, names, priorities applied by the new thread, processor
// binding and the priority conversions.
#include <gtest/gtest.h>

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <cstring>
#include <string>

#include "engine/platform/threads.h"

namespace {

int32_t ReturnArgument(intptr_t arg) { return static_cast<int32_t>(arg * 3); }

int32_t ReadOwnNice(intptr_t) {
  errno = 0;
  int n = getpriority(PRIO_PROCESS, static_cast<id_t>(GetThreadId()));
  return errno != 0 ? 1000 : n;
}

int32_t ReadCurrentClass(intptr_t) { return ConvertPriorityToNice(PRIORITY_CURRENT); }

// The number of processors the calling thread may run on.
int32_t ReadOwnProcessors(intptr_t) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (pthread_getaffinity_np(pthread_self(), sizeof(set), &set) != 0) return -1;
  return CPU_COUNT(&set);
}

int32_t ReadFirstProcessor(intptr_t) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (pthread_getaffinity_np(pthread_self(), sizeof(set), &set) != 0) return -1;
  for (int i = 0; i < CPU_SETSIZE; ++i) {
    if (CPU_ISSET(i, &set)) return i;
  }
  return -1;
}

int ProcessFirstProcessor() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return -1;
  for (int i = 0; i < CPU_SETSIZE; ++i) {
    if (CPU_ISSET(i, &set)) return i;
  }
  return -1;
}

int32_t RunOn(ThreadEntry entry, ThreadPriority priority, uint32_t affinity) {
  ThreadRecord t;
  EXPECT_EQ(CreateThread(&t, entry, 0, 256 * 1024, priority, affinity, "test"), 1);
  return JoinThread(&t);
}

TEST(ThreadsTest, EntryResultAndNames) {
  ThreadRecord t;
  ASSERT_EQ(CreateThread(&t, ReturnArgument, 14, 128 * 1024, PRIORITY_NORMAL, 0, "VoshAsy3"), 1);
  EXPECT_STREQ(GetThreadName(&t), "VoshAsy3");
  EXPECT_EQ(JoinThread(&t), 42);
  EXPECT_EQ(JoinThread(&t), 0);  // nothing left to join

  std::string forty(40, 'n');
  ASSERT_EQ(CreateThread(&t, ReturnArgument, -5, 128 * 1024, 0, 0, forty.c_str()), 1);
  EXPECT_EQ(std::string(GetThreadName(&t)), std::string(31, 'n'));
  EXPECT_EQ(JoinThread(&t), -15);

  std::string exact(31, 'x');
  ASSERT_EQ(CreateThread(&t, ReturnArgument, 0, 128 * 1024, 0, 0, exact.c_str()), 1);
  EXPECT_EQ(std::string(GetThreadName(&t)), exact);
  JoinThread(&t);

  ASSERT_EQ(CreateThread(&t, ReturnArgument, 1, 128 * 1024, 0, 0, nullptr), 1);
  EXPECT_STREQ(GetThreadName(&t), "");
  EXPECT_EQ(JoinThread(&t), 3);
}

TEST(ThreadsTest, JoinWithoutThreadReturnsZero) {
  ThreadRecord t;
  memset(&t, 0, sizeof(t));
  EXPECT_EQ(JoinThread(&t), 0);
  memset(&t, 0xC3, sizeof(t));
  EXPECT_EQ(JoinThread(&t), 0);
}

TEST(ThreadsTest, NewThreadAppliesItsNiceValue) {
  errno = 0;
  int inherited = getpriority(PRIO_PROCESS, static_cast<id_t>(GetThreadId()));
  ASSERT_EQ(errno, 0);
  EXPECT_EQ(RunOn(ReadOwnNice, PRIORITY_LOWEST, 0), 19);
  EXPECT_EQ(RunOn(ReadOwnNice, ConvertNiceToPriority(inherited < 12 ? 12 : inherited), 0),
            inherited < 12 ? 12 : inherited);
  // An invalid class leaves the inherited value.
  EXPECT_EQ(RunOn(ReadOwnNice, 7, 0), inherited);
  // The calling thread's own class reads its nice value.
  if (inherited <= 5) {
    EXPECT_EQ(RunOn(ReadCurrentClass, ConvertNiceToPriority(5), 0), 5);
  }
  EXPECT_EQ(ConvertPriorityToNice(PRIORITY_CURRENT), inherited);
  // Raising above the allowed level fails quietly; the thread still runs.
  EXPECT_NE(RunOn(ReadOwnNice, PRIORITY_HIGHEST, 0), 1000);
}

TEST(ThreadsTest, ProcessorBinding) {
  EXPECT_EQ(AffinityToProcessor(0x0003FFF0), 3u);
  EXPECT_EQ(AffinityToProcessor(0x000005F0), 5u);
  EXPECT_EQ(AffinityToProcessor(0x00000001), NO_PROCESSOR);
  EXPECT_EQ(AffinityToProcessor(0), NO_PROCESSOR);
  EXPECT_EQ(AffinityToProcessor(0x0012FFF0), 0x12u);
  EXPECT_EQ(AffinityToProcessor(0x00AB12F0), 0x12u);

  int first = ProcessFirstProcessor();
  ASSERT_GE(first, 0);
  ASSERT_LT(first, 256);
  uint32_t word = (static_cast<uint32_t>(first) << 16) | 0xFFF0;
  EXPECT_EQ(RunOn(ReadOwnProcessors, PRIORITY_NORMAL, word), 1);
  EXPECT_EQ(RunOn(ReadFirstProcessor, PRIORITY_NORMAL, word), first);
  uint32_t short_word = (static_cast<uint32_t>(first) << 8) | 0xF0;
  EXPECT_EQ(RunOn(ReadFirstProcessor, PRIORITY_NORMAL, short_word), first);

  // Processor 2000 gives an empty set, which is refused: the thread keeps the
  // inherited binding.
  int inherited = RunOn(ReadOwnProcessors, PRIORITY_NORMAL, 0);
  EXPECT_GE(inherited, 1);
  EXPECT_EQ(RunOn(ReadOwnProcessors, PRIORITY_NORMAL, (2000u << 16) | 0xFFF0), inherited);
}

TEST(PriorityTest, ClassesAndNiceValues) {
  EXPECT_EQ(ConvertPriorityToNice(1), 19);
  EXPECT_EQ(ConvertPriorityToNice(2), 9);
  EXPECT_EQ(ConvertPriorityToNice(3), 0);
  EXPECT_EQ(ConvertPriorityToNice(4), -10);
  EXPECT_EQ(ConvertPriorityToNice(5), -20);
  for (ThreadPriority invalid : {ThreadPriority(0), ThreadPriority(7), ThreadPriority(0x10),
                                 ThreadPriority(-1 * 16)}) {
    EXPECT_EQ(ConvertPriorityToNice(invalid), NICE_UNCHANGED) << invalid;
  }
  EXPECT_EQ(ConvertNiceToPriority(5), 0x5F);
  EXPECT_EQ(ConvertPriorityToNice(0x5F), 5);
  EXPECT_EQ(ConvertNiceToPriority(-2), ThreadPriority(-2) * 16 + 0xF);
  EXPECT_EQ(ConvertNiceToPriority(-20), 5);
  EXPECT_EQ(ConvertNiceToPriority(-10), 4);
  EXPECT_EQ(ConvertNiceToPriority(0), 3);
  EXPECT_EQ(ConvertNiceToPriority(9), 2);
  EXPECT_EQ(ConvertNiceToPriority(19), 1);
  EXPECT_EQ(ConvertNiceToPriority(20), 0);
  EXPECT_EQ(ConvertNiceToPriority(-21), 0);
  for (int32_t n = -20; n <= 19; ++n) {
    EXPECT_EQ(ConvertPriorityToNice(ConvertNiceToPriority(n)), n) << n;
  }
  // Explicit values outside -20..19 read as given and change nothing.
  EXPECT_EQ(ConvertPriorityToNice(ThreadPriority(100) * 16 + 0xF), 100);
  if (sizeof(ThreadPriority) == 8) {
    // A value beyond 32 bits never wraps into a valid nice value.
    int64_t huge = (int64_t(1) << 32) + 5;
    EXPECT_EQ(ConvertPriorityToNice(static_cast<ThreadPriority>(huge * 16 + 0xF)), NICE_UNCHANGED);
  }
}

TEST(PriorityTest, Raising) {
  EXPECT_EQ(ConvertPriorityToNice(RaiseThreadPriority(3, 2)), -2);
  EXPECT_EQ(ConvertPriorityToNice(RaiseThreadPriority(3, 1)), -1);
  EXPECT_EQ(RaiseThreadPriority(5, 1), 5);
  EXPECT_EQ(RaiseThreadPriority(1, -3), 1);
  EXPECT_EQ(RaiseThreadPriority(3, 0x7FFFFFFF), 5);
  EXPECT_EQ(RaiseThreadPriority(3, -0x7FFFFFFF - 1), 1);
  EXPECT_EQ(RaiseThreadPriority(2, 9), 3);
  EXPECT_EQ(RaiseThreadPriority(7, 3), 7);  // invalid stays as it is
}

TEST(CpuCountTest, LimitedAndCached) {
  uint32_t n = GetCpuCount();
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, 64u);
  EXPECT_EQ(GetCpuCount(), n);
  EXPECT_EQ(LimitCpuCount(128), 64u);
  EXPECT_EQ(LimitCpuCount(64), 64u);
  EXPECT_EQ(LimitCpuCount(8), 8u);
  EXPECT_EQ(LimitCpuCount(0), 1u);
  EXPECT_EQ(LimitCpuCount(-1), 1u);
}

}  // namespace
