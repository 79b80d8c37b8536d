// Worker threads, their byte queues and the asynchronous start and wait, on
// real threads with movies held in memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/async.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"

namespace {

// A first-generation movie held in memory with a chosen slice count; its
// jobs walk the frame and decode nothing, so they finish at once.
struct AsyncMovie {
  std::unique_ptr<MovieRecord> record{new MovieRecord()};
  std::vector<uint64_t> index;
  std::vector<uint8_t> data;
  std::vector<uint32_t> rings[STATS_RING_COUNT];
  SoundTrack tracks[1]{};
  MovieRecord *m() { return record.get(); }

  explicit AsyncMovie(uint32_t slices, uint32_t frames = 4) {
    MovieRecord *r = record.get();
    r->frame_count = frames;
    r->rate_num = r->file_rate_num = 25;
    r->rate_den = r->file_rate_den = 1;
    r->tolerance_ms = 80;
    r->movie_flags = MOVIE_NO_BACKGROUND_READ;
    r->signature = MakeSignature('V', 'S', 'H', 'i');
    r->slice_layout.slice_count = slices;
    r->open_complete = 1;
    for (uint32_t i = 0; i <= frames; ++i) index.push_back(uint64_t(64 + 32 * i) | 1);
    data.assign(32 * frames + 64, 0);
    r->frame_index = index.data();
    r->preloaded_data = data.data();
    r->stats_size = 25;
    for (uint32_t k = 0; k < STATS_RING_COUNT; ++k) {
      rings[k].assign(r->stats_size, 0);
      r->stats_rings[k] = rings[k].data();
    }
    tracks[0].speed = 0x10000;
    r->tracks = tracks;
    InitRecursiveMutex(&r->sound_lock);
    InitRecursiveMutex(&r->io_request_lock);
    MoveToFrame(r, 1);
  }
  ~AsyncMovie() {
    DestroyRecursiveMutex(&record->sound_lock);
    DestroyRecursiveMutex(&record->io_request_lock);
  }
};

const uint32_t kWorkers[8] = {0, 1, 2, 3, 4, 5, 6, 7};

void EnsureWorkers() {
  static bool started = false;
  if (started) return;
  for (int n = 0; n < 8; ++n)
    if (!IsWorkerStarted(n)) {
      ASSERT_EQ(VoshStartWorkerThread(n), 1) << n;
    }
  started = true;
}

uint32_t SlotMask(MovieRecord *m) {
  uint32_t mask = 0;
  for (int k = 0; k < 8; ++k)
    if (m->async_slots[k].load()) mask |= 1u << k;
  return mask;
}

// Holds a movie's IO-request lock on a thread of its own with a read
// pending, so the movie's jobs wait inside their read until released.
struct ReadBlocker {
  MovieRecord *m;
  std::atomic<int> held{0};
  std::atomic<int> release{0};
  std::thread thread;
  explicit ReadBlocker(MovieRecord *movie) : m(movie) {
    m->read_pending.store(1);
    thread = std::thread([this] {
      LockRecursiveMutex(&m->io_request_lock);
      held.store(1);
      while (!release.load()) SleepMilliseconds(1);
      m->read_pending.store(0);
      UnlockRecursiveMutex(&m->io_request_lock);
    });
    while (!held.load()) SleepMilliseconds(1);
  }
  void Release() {
    release.store(1);
    if (thread.joinable()) thread.join();
  }
  ~ReadBlocker() { Release(); }
};

TEST(AsyncQueueTest, BytesWrapAroundTheRingInOrder) {
  AsyncQueue q;
  ASSERT_EQ(InitAsyncQueue(&q), 1);
  uint8_t out[24];
  uint32_t next_in = 0, next_out = 0;
  // 24-byte records do not divide 256, so records straddle the ring's end.
  for (int round = 0; round < 100; ++round) {
    uint8_t rec[24];
    for (int i = 0; i < 24; ++i) rec[i] = static_cast<uint8_t>(next_in + i);
    ASSERT_EQ(PushAsyncQueue(&q, rec, 24), 1);
    next_in += 7;
    if (round % 3 != 2) continue;
    for (int k = 0; k < 3; ++k) {
      ASSERT_EQ(PopAsyncQueue(&q, -1, 0, out, 24), 1);
      for (int i = 0; i < 24; ++i) ASSERT_EQ(out[i], static_cast<uint8_t>(next_out + i));
      next_out += 7;
    }
  }
  EXPECT_EQ(q.write_count.load() - q.read_count.load(), 24u);
  DestroyAsyncQueue(&q);
  EXPECT_EQ(q.valid.load(), 0u);
}

TEST(AsyncQueueTest, FullQueueRefusesAndEmptyPollReturnsAtOnce) {
  AsyncQueue q;
  ASSERT_EQ(InitAsyncQueue(&q), 1);
  uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  for (int i = 0; i < 32; ++i) ASSERT_EQ(PushAsyncQueue(&q, block, 8), 1) << i;
  EXPECT_EQ(PushAsyncQueue(&q, block, 8), 0);
  EXPECT_STREQ(GetAsyncMessage(), "Async queue full.");
  uint8_t out[8];
  for (int i = 0; i < 32; ++i) ASSERT_EQ(PopAsyncQueue(&q, -1, 0, out, 8), 1);
  uint32_t t0 = VoshGetMilliseconds();
  EXPECT_EQ(PopAsyncQueue(&q, -1, 0, out, 8), 0);
  EXPECT_EQ(PopAsyncQueue(&q, -1, 20000, out, 8), 0);  // rounds up to 20 ms
  EXPECT_GE(VoshGetMilliseconds() - t0, 19u);
  EXPECT_LT(VoshGetMilliseconds() - t0, 2000u);
  DestroyAsyncQueue(&q);
  EXPECT_EQ(PopAsyncQueue(&q, -1, 0, out, 8), 0);
  EXPECT_STREQ(GetAsyncMessage(), "Broken async queue.");
}

TEST(AsyncWorkerTest, NumbersAreCheckedAndNamed) {
  EnsureWorkers();
  EXPECT_EQ(CreateWorkerThread(64), 0);
  EXPECT_STREQ(GetAsyncMessage(), "Out of range thread number.");
  EXPECT_EQ(CreateWorkerThread(-1), 0);
  EXPECT_STREQ(GetAsyncMessage(), "Out of range thread number.");
  EXPECT_EQ(VoshStartWorkerThread(0), 0);
  EXPECT_STREQ(GetAsyncMessage(), "Already loaded on this thread number.");
  EXPECT_STREQ(VoshGetErrorText(), "Already loaded on this thread number.");
  EXPECT_STREQ(GetWorkerName(0), "VoshAsy0");
  EXPECT_STREQ(GetWorkerName(7), "VoshAsy7");
  EXPECT_EQ(GetRequestQueueSpace(63), 0u);
  EXPECT_STREQ(GetAsyncMessage(), "Thread number not started.");
  EXPECT_EQ(GetRequestQueueSpace(0), 256u);
  EXPECT_GE(VoshGetCpuCount(), 1u);
  EXPECT_LE(VoshGetCpuCount(), 64u);
}

TEST(AsyncDecodeTest, RunsGoToTheWorkersByFirstSlice) {
  EnsureWorkers();
  struct Case {
    uint32_t slices, workers, mask;
  } cases[] = {
      {8, 3, 0x49},  // runs of 3, 3, 2 at slices 0, 3, 6
      {8, 8, 0xFF},  // one slice each
      {1, 8, 0x01},  // one job only
      {2, 8, 0x03},  // a first-generation frame: two jobs
      {8, 1, 0x01},  // one run of all slices
      {5, 2, 0x09},  // runs of 3 and 2
  };
  for (const Case &c : cases) {
    AsyncMovie movie(c.slices);
    MovieRecord *m = movie.m();
    {
      ReadBlocker block(m);
      ASSERT_EQ(VoshStartAsyncDecompress(m, kWorkers, static_cast<int>(c.workers)), 1);
      EXPECT_EQ(SlotMask(m), c.mask) << c.slices << " slices, " << c.workers << " workers";
      for (int k = 0; k < 8; ++k) {
        uint32_t w = m->async_slots[k].load();
        if (w) {
          EXPECT_EQ(w & 0x300u, 0x300u);
        }
      }
      EXPECT_EQ(VoshWaitAsyncDecompress(m, 0), 0);
    }
    ASSERT_EQ(VoshWaitAsyncDecompress(m, -1), 1);
    EXPECT_EQ(SlotMask(m), 0u);
    EXPECT_EQ(m->frames_finished, 1u);
    EXPECT_EQ(m->last_finished_frame, 1u);
    // Nothing in progress: the wait returns 1 without finishing again.
    EXPECT_EQ(VoshWaitAsyncDecompress(m, 0), 1);
    EXPECT_EQ(m->frames_finished, 1u);
  }
}

TEST(AsyncDecodeTest, RefusedStartsChangeNothing) {
  EnsureWorkers();
  AsyncMovie movie(4);
  MovieRecord *m = movie.m();
  const uint32_t bad[2] = {0, 40};
  EXPECT_EQ(VoshStartAsyncDecompress(m, bad, 2), 0);
  EXPECT_STREQ(VoshGetErrorText(), "Thread number not started.");
  EXPECT_EQ(SlotMask(m), 0u);
  EXPECT_EQ(m->reader.engine_busy.load(), 0u);
  {
    ReadBlocker block(m);
    ASSERT_EQ(VoshStartAsyncDecompress(m, kWorkers, 4), 1);
    uint32_t before[8];
    for (int k = 0; k < 8; ++k) before[k] = m->async_slots[k].load();
    uint32_t claimed = m->slice_layout.next_slice.load();
    m->skip_state = SKIP_SHOW;
    EXPECT_EQ(VoshStartAsyncDecompress(m, kWorkers, 4), 0);
    EXPECT_STREQ(VoshGetErrorText(),
                 "There is already an async decompression in progress on this HVOSH.");
    for (int k = 0; k < 8; ++k) EXPECT_EQ(m->async_slots[k].load(), before[k]);
    EXPECT_EQ(m->slice_layout.next_slice.load(), claimed);
    EXPECT_EQ(m->skip_state, uint32_t(SKIP_SHOW));  // BeginFrame did not run again
    // A step during the decode does nothing.
    VoshAdvanceFrame(m);
    EXPECT_EQ(m->current_frame, 1u);
  }
  ASSERT_EQ(VoshWaitAsyncDecompress(m, -1), 1);
  // The finished frame is not started again.
  EXPECT_EQ(VoshStartAsyncDecompress(m, kWorkers, 4), 0);
  VoshAdvanceFrame(m);
  EXPECT_EQ(VoshStartAsyncDecompress(m, kWorkers, 4), 1);
  EXPECT_EQ(VoshWaitAsyncDecompress(m, -1), 1);
  EXPECT_EQ(m->frames_finished, 2u);
}

TEST(AsyncDecodeTest, PositiveTimeoutGivesUp) {
  EnsureWorkers();
  AsyncMovie movie(2);
  MovieRecord *m = movie.m();
  {
    ReadBlocker block(m);
    ASSERT_EQ(VoshStartAsyncDecompress(m, kWorkers, 2), 1);
    uint32_t t0 = VoshGetMilliseconds();
    EXPECT_EQ(VoshWaitAsyncDecompress(m, 30000), 0);
    uint32_t spent = VoshGetMilliseconds() - t0;
    EXPECT_GE(spent, 29u);
    EXPECT_LT(spent, 3000u);
  }
  EXPECT_EQ(VoshWaitAsyncDecompress(m, -1), 1);
  EXPECT_EQ(m->frames_finished, 1u);
}

// Many movies on one worker: the request queue fills (the start waits for
// completions), the completion queue fills (the worker waits for space), and
// each wait drains completions of the others and wakes them.
TEST(AsyncDecodeTest, BackPressureOnOneWorker) {
  EnsureWorkers();
  const int kMovies = 60;
  std::vector<std::unique_ptr<AsyncMovie>> movies;
  for (int i = 0; i < kMovies; ++i) movies.emplace_back(new AsyncMovie(1));
  const uint32_t one[1] = {5};
  {
    std::unique_ptr<ReadBlocker> block(new ReadBlocker(movies[0]->m()));
    std::thread releaser([&block] {
      SleepMilliseconds(100);
      block->Release();
    });
    for (int i = 0; i < kMovies; ++i)
      ASSERT_EQ(VoshStartAsyncDecompress(movies[i]->m(), one, 1), 1) << i;
    releaser.join();
  }
  // Waits in reverse order: most completions are drained by other movies.
  for (int i = kMovies - 1; i >= 0; --i) {
    ASSERT_EQ(VoshWaitAsyncDecompress(movies[i]->m(), -1), 1) << i;
    EXPECT_EQ(movies[i]->m()->frames_finished, 1u) << i;
  }
  EXPECT_EQ(GetRequestQueueSpace(5), 256u);
}

// Two movies share the workers, each waited on its own thread.
TEST(AsyncDecodeTest, TwoMoviesOnSharedWorkers) {
  EnsureWorkers();
  AsyncMovie a(8, 200), b(3, 200);
  auto play = [](MovieRecord *m, int workers) {
    for (int f = 0; f < 200; ++f) {
      if (!VoshStartAsyncDecompress(m, kWorkers, workers)) return f;
      if (!VoshWaitAsyncDecompress(m, -1)) return f;
      VoshAdvanceFrame(m);
    }
    return 200;
  };
  int done_a = 0, done_b = 0;
  std::thread ta([&] { done_a = play(a.m(), 8); });
  std::thread tb([&] { done_b = play(b.m(), 3); });
  ta.join();
  tb.join();
  EXPECT_EQ(done_a, 200);
  EXPECT_EQ(done_b, 200);
  EXPECT_EQ(a.m()->frames_finished, 200u);
  EXPECT_EQ(b.m()->frames_finished, 200u);
}

}  // namespace
