// The IO and sound threads on real threads, with movies whose reader and
// sound track are scripted: fill hysteresis, served reads, the movie list
// and lock order, the sound thread's wait and lock release; posts to the IO
// thread while it is stopped and started again; frame steps beside an open
// that is stuck in the file system.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "engine/async.h"
#include "engine/background.h"
#include "engine/container.h"
#include "engine/movie.h"
#include "engine/utils.h"
#include "moviewriter/container_writer.h"

namespace {

// A movie whose reader only counts: ReadFrame records the frame number,
// Idle adds `step` bytes to the buffer up to the window.
struct ScriptedMovie {
  std::unique_ptr<MovieRecord> record{new MovieRecord()};
  std::atomic<uint32_t> read_frame{0};
  std::atomic<uint32_t> reads{0};
  std::atomic<uint32_t> fills{0};
  uint64_t step = 0;
  SoundTrack tracks[1]{};
  MovieRecord *m() { return record.get(); }

  static ScriptedMovie *&Slot(MovieRecord *m) {
    static MovieRecord *keys[8];
    static ScriptedMovie *values[8];
    for (int i = 0; i < 8; ++i)
      if (keys[i] == m || keys[i] == nullptr) {
        keys[i] = m;
        return values[i];
      }
    return values[7];
  }
  static ScriptedMovie *Of(IoReader *r) { return Slot(r->movie); }
  static uint64_t ReadFrame(IoReader *r, uint32_t frame, uint64_t, void *, uint64_t bytes) {
    Of(r)->read_frame.store(frame);
    Of(r)->reads.fetch_add(1);
    return bytes;
  }
  static int64_t Idle(IoReader *r) {
    ScriptedMovie *s = Of(r);
    s->fills.fetch_add(1);
    uint64_t b = r->buffered.load(), w = r->window.load();
    if (s->step == 0 || b >= w) return 0;
    uint64_t n = w - b < s->step ? w - b : s->step;
    r->buffered.fetch_add(n);
    return static_cast<int64_t>(n);
  }

  ScriptedMovie(uint64_t window, uint64_t buffered) {
    MovieRecord *r = record.get();
    Slot(r) = this;
    r->reader.movie = r;
    r->reader.ops.ReadFrame = ReadFrame;
    r->reader.ops.Idle = Idle;
    r->reader.window.store(window);
    r->reader.buffered.store(buffered);
    InitRecursiveMutex(&r->io_request_lock);
    InitRecursiveMutex(&r->io_buffer_lock);
    InitRecursiveMutex(&r->sound_lock);
    tracks[0].speed = 0x10000;
    r->tracks = tracks;
  }
  ~ScriptedMovie() {
    UnlinkMovie(record.get());
    DestroyRecursiveMutex(&record->io_request_lock);
    DestroyRecursiveMutex(&record->io_buffer_lock);
    DestroyRecursiveMutex(&record->sound_lock);
  }
};

template <typename F>
bool WaitFor(F done, uint32_t ms = 2000) {
  for (uint32_t t = 0; t < ms; ++t) {
    if (done()) return true;
    SleepMilliseconds(1);
  }
  return done();
}

TEST(BackgroundTest, FillLevelsAndHysteresis) {
  ScriptedMovie a(1000, 500);
  EXPECT_EQ(GetBufferFillLevel(a.m()), 64);
  a.m()->reader.buffered.store(1000);
  EXPECT_EQ(GetBufferFillLevel(a.m()), 128);
  a.m()->reader.window.store(0);
  EXPECT_EQ(GetBufferFillLevel(a.m()), 129);
  a.m()->reader.window.store(1000);
  a.m()->closing.store(1);
  EXPECT_EQ(GetBufferFillLevel(a.m()), 129);
  a.m()->closing.store(0);
  a.m()->reader.error.store(1);
  EXPECT_EQ(GetBufferFillLevel(a.m()), 129);
  EXPECT_EQ(GetBufferFillLevel(nullptr), 129);

  EXPECT_TRUE(ShouldSwitchFillMovie(110, 20));
  EXPECT_FALSE(ShouldSwitchFillMovie(100, 20));
  EXPECT_TRUE(ShouldSwitchFillMovie(100, 11));
  EXPECT_TRUE(ShouldSwitchFillMovie(122, 63));
  EXPECT_FALSE(ShouldSwitchFillMovie(121, 63));
  EXPECT_FALSE(ShouldSwitchFillMovie(129, 129));
}

TEST(BackgroundTest, IoThreadServesTheRequestedFrameAndFillsToFull) {
  ScriptedMovie a(128 * 1000, 0);
  a.step = 1000;
  MovieRecord *m = a.m();
  ASSERT_EQ(AcquireIoThread(), 1);
  EXPECT_STREQ(GetIoThreadName(), "Vosh IO");
  RegisterMovie(m);
  SetIoCurrentMovie(m);
  // The step has published frame 7 while the current frame still reads 6.
  m->current_frame = 6;
  m->requested_frame = 7;
  m->frame_offset = 4096;
  m->frame_size = 100;
  m->read_pending.store(1);
  PostIoThread();
  ASSERT_TRUE(WaitFor([&] { return m->read_pending.load() == 0; }));
  EXPECT_EQ(a.read_frame.load(), 7u);
  EXPECT_EQ(m->window_start.load(), 4196u);
  ASSERT_TRUE(WaitFor([&] { return GetBufferFillLevel(m) == 128; }));
  // Full: the thread sleeps until posted.
  SleepMilliseconds(20);
  uint32_t fills = a.fills.load();
  SleepMilliseconds(30);
  EXPECT_EQ(a.fills.load(), fills);
  UnlinkMovie(m);
  ReleaseIoThread(0);
  EXPECT_FALSE(IsIoThreadRunning());
}

TEST(BackgroundTest, IoThreadSwitchesOnlyByTheHysteresis) {
  ScriptedMovie a(128, 110), b(128, 20);
  ASSERT_EQ(AcquireIoThread(), 1);
  RegisterMovie(a.m());
  RegisterMovie(b.m());
  SetIoCurrentMovie(a.m());
  PostIoThread();
  EXPECT_TRUE(WaitFor([&] { return GetIoCurrentMovie() == b.m(); }));

  a.m()->reader.buffered.store(100);
  SetIoCurrentMovie(a.m());
  PostIoThread();
  SleepMilliseconds(50);
  EXPECT_EQ(GetIoCurrentMovie(), a.m());

  // A closing movie never becomes current.
  b.m()->closing.store(1);
  SetIoCurrentMovie(b.m());
  EXPECT_EQ(GetIoCurrentMovie(), a.m());
  UnlinkMovie(a.m());
  EXPECT_EQ(GetIoCurrentMovie(), nullptr);
  UnlinkMovie(b.m());
  ReleaseIoThread(0);
  EXPECT_FALSE(IsIoThreadRunning());
}

TEST(BackgroundTest, ListThenMovieLockWithoutDeadlock) {
  InitLibraryLocks();
  ScriptedMovie a(0, 0);
  std::atomic<int> holding{0};
  std::thread other([&] {
    LockRecursiveMutex(&a.m()->sound_lock);
    holding.store(1);
    SleepMilliseconds(40);
    // Needs the list lock while holding the movie lock: only tries.
    if (LockRecursiveMutexTimed(&g_movie_list_lock, 0)) UnlockRecursiveMutex(&g_movie_list_lock);
    UnlockRecursiveMutex(&a.m()->sound_lock);
  });
  while (!holding.load()) SleepMilliseconds(1);
  uint32_t t0 = VoshGetMilliseconds();
  LockListAndMovie(&a.m()->sound_lock);
  EXPECT_GE(VoshGetMilliseconds() - t0, 20u);
  std::atomic<int> got{-1};
  std::thread probe([&] {
    got.store(LockRecursiveMutexTimed(&a.m()->sound_lock, 0) + 2 * LockRecursiveMutexTimed(&g_movie_list_lock, 0));
  });
  probe.join();
  EXPECT_EQ(got.load(), 0);
  UnlockRecursiveMutex(&a.m()->sound_lock);
  UnlockRecursiveMutex(&g_movie_list_lock);
  other.join();
}

std::atomic<uint32_t> g_services{0};
void CountService(SoundTrack *, uint32_t) { g_services.fetch_add(1); }

TEST(BackgroundTest, SoundThreadServesAtTheOutputInterval) {
  ScriptedMovie a(0, 0);
  MovieRecord *m = a.m();
  SoundTrack *t = &m->tracks[0];
  t->service_code = -5;
  t->ops.Service = CountService;
  m->open_track_count.store(1);
  ResetSoundWaitIfNoMovies();
  ASSERT_EQ(AcquireSoundThread(-5), 1);
  EXPECT_STREQ(GetSoundThreadName(), "Vosh Snd");
  EXPECT_EQ(GetSoundWaitMs(), 5u);
  RegisterMovie(m);
  g_services.store(0);
  PostSoundThread();
  SleepMilliseconds(200);
  EXPECT_GE(g_services.load(), 10u);
  EXPECT_LE(g_services.load(), 120u);
  // A busy movie lock shortens the next wait to 2 ms.
  LockRecursiveMutex(&m->sound_lock);
  EXPECT_TRUE(WaitFor([] { return GetSoundWaitMs() == 2; }));
  UnlockRecursiveMutex(&m->sound_lock);
  EXPECT_TRUE(WaitFor([] { return GetSoundWaitMs() == 5; }));
  UnlinkMovie(m);
  ReleaseSoundThread(0);
  EXPECT_FALSE(IsSoundThreadRunning());
  // A new user starts a new thread.
  ASSERT_EQ(AcquireSoundThread(-7), 1);
  EXPECT_TRUE(IsSoundThreadRunning());
  ReleaseSoundThread(0);
  EXPECT_FALSE(IsSoundThreadRunning());
}

// A pull-model track whose Ready holds the sound thread inside the movie
// until the test has taken the list lock: the thread cannot retake the
// list lock and must still release the movie's sound lock.
std::atomic<int> g_in_ready{0};
std::atomic<int> g_list_taken{0};
int BlockingReady(SoundTrack *) {
  g_in_ready.store(1);
  while (!g_list_taken.load()) SleepMilliseconds(1);
  return 0;
}

TEST(BackgroundTest, SoundThreadAlwaysReleasesTheMovieLock) {
  ScriptedMovie a(0, 0);
  MovieRecord *m = a.m();
  static uint8_t ring[256];
  SoundTrack *t = &m->tracks[0];
  t->service_code = 0;
  t->ops.Ready = BlockingReady;
  t->ops.GetRegion = [](SoundTrack *, uint8_t **, uint32_t *) { return 0; };
  t->ops.Service = CountService;
  t->start = ring;
  t->end = ring + sizeof ring;
  t->size = sizeof ring;
  t->write.store(ring);
  t->read.store(ring);
  m->open_track_count.store(1);
  m->frames_finished = 1;
  g_in_ready.store(0);
  g_list_taken.store(0);
  ASSERT_EQ(AcquireSoundThread(0), 1);
  RegisterMovie(m);
  PostSoundThread();
  ASSERT_TRUE(WaitFor([] { return g_in_ready.load() == 1; }));
  LockRecursiveMutex(&g_movie_list_lock);
  g_list_taken.store(1);
  EXPECT_EQ(LockRecursiveMutexTimed(&m->sound_lock, 1000), 1);
  UnlockRecursiveMutex(&m->sound_lock);
  UnlockRecursiveMutex(&g_movie_list_lock);
  UnlinkMovie(m);
  ReleaseSoundThread(0);
  EXPECT_FALSE(IsSoundThreadRunning());
}

// One thread pauses and resumes a movie held in memory, posting the IO
// thread at every change, while this one opens and closes the only movie
// that reads in the background: every close stops the IO thread and
// destroys its semaphore, every open starts both again.
TEST(BackgroundTest, PostsNeverMeetAStoppingIoThread) {
  const std::string path = std::string(::testing::TempDir()) + "vosh_posts_" + std::to_string(getpid());
  ASSERT_TRUE(WriteContainerFile(MakeTestMovieSpec(MakeSignature('V', 'S', '2', 'i'), 4, 64), path));
  HVOSH still = VoshOpenMovie(uint64_t(uintptr_t(VoshGetBuiltInMovie())), OPEN_MEMORY_IMAGE);
  ASSERT_NE(still, nullptr) << VoshGetErrorText();
  std::atomic<int> done{0};
  std::thread pauser([&] {
    for (uint32_t k = 1; !done.load(); ++k) VoshSetPaused(still, k & 1);
  });
  for (int round = 0; round < 400; ++round) {
    HVOSH m = VoshOpenMovie(uint64_t(uintptr_t(path.c_str())), 0);
    EXPECT_NE(m, nullptr) << VoshGetErrorText();
    if (!m) break;
    EXPECT_TRUE(IsIoThreadRunning());
    VoshCloseMovie(m);
  }
  done.store(1);
  pauser.join();
  EXPECT_FALSE(IsIoThreadRunning());
  VoshCloseMovie(still);
  unlink(path.c_str());
}

// Thread B opens a FIFO that nobody writes, so its open stays in the file
// system, holding the IO-thread lock, until this thread lets it go. Thread
// A meanwhile steps a file movie that reads in the background, decoding
// every frame on two workers: each step and each worker's frame read posts
// the IO thread, and none of them may wait for B's open.
TEST(BackgroundTest, FrameStepsNeverWaitForAnotherThreadsOpen) {
  const uint32_t workers[2] = {0, 1};
  for (uint32_t n : workers) {
    if (!IsWorkerStarted(int(n))) {
      ASSERT_EQ(VoshStartWorkerThread(int(n)), 1);
    }
  }
  const std::string tag = std::to_string(getpid());
  const std::string path = std::string(::testing::TempDir()) + "vosh_steps_" + tag;
  const std::string fifo = std::string(::testing::TempDir()) + "vosh_fifo_" + tag;
  ASSERT_TRUE(WriteContainerFile(MakeTestMovieSpec(MakeSignature('V', 'S', '2', 'i'), 4, 64), path));
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  VoshOverrideFrameRate(0, 0);
  HVOSH m = VoshOpenMovie(uint64_t(uintptr_t(path.c_str())), OPEN_RATE_OVERRIDE);
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  EXPECT_EQ(m->movie_flags.load() & MOVIE_NO_BACKGROUND_READ, 0u);

  std::atomic<int> b_returned{0};
  HVOSH b_movie = nullptr;
  std::string b_error;
  std::thread b([&] {
    b_movie = VoshOpenMovie(uint64_t(uintptr_t(fifo.c_str())), 0);
    b_error = VoshGetErrorText();
    b_returned.store(1);
  });
  const bool b_in_open = WaitFor([] {
    if (!LockRecursiveMutexTimed(&g_io_thread_lock, 0)) return true;
    UnlockRecursiveMutex(&g_io_thread_lock);
    return false;
  }, 10000);

  const int kSteps = 50;
  std::atomic<int> steps{0};
  std::thread a([&] {
    if (VoshStartAsyncDecompress(m, workers, 2) != 1) return;
    for (int k = 0; k < kSteps; ++k) {
      if (VoshWaitAsyncDecompress(m, -1) != 1) return;
      VoshAdvanceFrame(m);
      if (VoshStartAsyncDecompress(m, workers, 2) != 1) return;
      steps.fetch_add(1);
    }
  });
  if (b_in_open) WaitFor([&] { return steps.load() == kSteps; }, 10000);
  const int steps_before_release = steps.load();
  const int b_returned_before_release = b_returned.load();
  // A writer that comes and goes at once lets B's open() return; B then
  // reads no header. Until B waits inside open() there is no reader and
  // the writer's open is refused.
  while (!b_returned.load()) {
    int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (w >= 0) {
      close(w);
      break;
    }
    SleepMilliseconds(1);
  }
  a.join();
  b.join();
  EXPECT_TRUE(b_in_open);
  EXPECT_EQ(b_returned_before_release, 0);
  EXPECT_EQ(steps_before_release, kSteps);
  EXPECT_EQ(steps.load(), kSteps);
  EXPECT_EQ(b_movie, nullptr);
  EXPECT_EQ(b_error, "Not a Vosh file.");
  EXPECT_EQ(VoshWaitAsyncDecompress(m, -1), 1);
  VoshCloseMovie(m);
  if (b_movie) VoshCloseMovie(b_movie);
  EXPECT_FALSE(IsIoThreadRunning());
  unlink(fifo.c_str());
  unlink(path.c_str());
}

}  // namespace
