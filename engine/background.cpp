// The background IO and sound threads and the movie list they walk.
#include <atomic>

#include "engine/background.h"
#include "engine/movie.h"
#include "engine/platform/threads.h"
#include "engine/playback.h"

namespace {

// Movie list, newest first; guarded by the movie-list lock.
MovieRecord *g_movie_list = nullptr;

ThreadRecord g_io_thread;
Semaphore g_io_semaphore;
std::atomic<uint32_t> g_io_running{0};
std::atomic<uint32_t> g_io_posting{0};  // posts between their count and their release
std::atomic<uint32_t> g_io_stop{0};
std::atomic<uint32_t> g_io_users{0};
// Written only under the movie-list lock.
std::atomic<MovieRecord *> g_io_current{nullptr};

ThreadRecord g_sound_thread;
Semaphore g_sound_semaphore;
std::atomic<uint32_t> g_sound_running{0};
std::atomic<uint32_t> g_sound_posting{0};
std::atomic<uint32_t> g_sound_stop{0};
std::atomic<uint32_t> g_sound_users{0};
std::atomic<uint32_t> g_sound_wait{SOUND_WAIT_DEFAULT_MS};

int LocksReady() { return g_library_locks_ready.load(std::memory_order_acquire) != 0; }

void LockIoThreadLock() {
  if (LocksReady()) LockRecursiveMutex(&g_io_thread_lock);
}
void UnlockIoThreadLock() {
  if (LocksReady()) UnlockRecursiveMutex(&g_io_thread_lock);
}
void LockGlobalSound() {
  if (LocksReady()) LockRecursiveMutex(&g_sound_lock);
}
void UnlockGlobalSound() {
  if (LocksReady()) UnlockRecursiveMutex(&g_sound_lock);
}

// Posts take no lock, so they never wait for what a thread's lock guards
// (an open's reader opener, a close's join, a track open). A post counts
// itself in `posting` before it tests `running`; the stop, once the thread
// is joined, clears `running` and waits for the posts already counted before
// it destroys the semaphore. All four steps are sequentially consistent:
// either the post sees the thread stopped, or the stop sees the post and
// waits for its release.
void PostWhileRunning(const std::atomic<uint32_t> *running, std::atomic<uint32_t> *posting,
                      Semaphore *semaphore) {
  posting->fetch_add(1, std::memory_order_seq_cst);
  if (running->load(std::memory_order_seq_cst)) ReleaseSemaphore(semaphore, 1);
  posting->fetch_sub(1, std::memory_order_release);
}

void RetireSemaphore(std::atomic<uint32_t> *running, std::atomic<uint32_t> *posting,
                     Semaphore *semaphore) {
  running->store(0, std::memory_order_seq_cst);
  // A post in flight is a test and one release: a short spin, then sleeps
  // in case its thread was preempted.
  for (uint32_t tries = 0; posting->load(std::memory_order_seq_cst) != 0; ++tries) {
    if (tries < 512)
      PauseProcessor();
    else
      SleepMilliseconds(1);
  }
  DestroySemaphore(semaphore);
}

int HasBackgroundReading(const MovieRecord *m) {
  return !(m->movie_flags.load(std::memory_order_acquire) & MOVIE_NO_BACKGROUND_READ);
}

int IsClosing(const MovieRecord *m) { return m->closing.load(std::memory_order_acquire) != 0; }

// A listed movie whose frame read the IO thread may serve.
int HasServableRead(const MovieRecord *m) {
  return m->read_pending.load(std::memory_order_acquire) &&
         !m->read_failed.load(std::memory_order_acquire) && HasBackgroundReading(m) &&
         !IsClosing(m);
}

// A movie whose first track's output is served without this thread (service
// code 1, also after its sound lock or the sound thread failed) has no sound
// lock: the sound thread passes over it. The code is settled before the
// movie is listed.
int HasSoundLock(const MovieRecord *m) {
  const int32_t c = m->tracks[0].service_code;
  return c <= 0 || c == 2;
}

void LowerSoundWait(uint32_t ms) {
  uint32_t w = g_sound_wait.load(std::memory_order_relaxed);
  while (ms < w && !g_sound_wait.compare_exchange_weak(w, ms, std::memory_order_relaxed)) {
  }
}

void BackOffSoundWait() {
  if (g_sound_wait.load(std::memory_order_relaxed) >= 3)
    g_sound_wait.store(SOUND_WAIT_BUSY_MS, std::memory_order_relaxed);
}

// Serves the pending read of a movie whose IO-request and IO-buffer locks
// the caller holds.
uint64_t ServeLocked(MovieRecord *m) {
  if (!m->read_pending.load(std::memory_order_acquire)) return 0;
  return ServicePendingRead(m);
}

// Tries the movie's two reading locks (request for 1 ms, buffer once).
int TryReadingLocks(MovieRecord *m) {
  if (!LockRecursiveMutexTimed(&m->io_request_lock, 1)) return 0;
  if (!LockRecursiveMutexTimed(&m->io_buffer_lock, 0)) {
    UnlockRecursiveMutex(&m->io_request_lock);
    return 0;
  }
  return 1;
}

void ReleaseReadingLocks(MovieRecord *m) {
  UnlockRecursiveMutex(&m->io_buffer_lock);
  UnlockRecursiveMutex(&m->io_request_lock);
}

// One cycle of the IO thread; sets *worked and *unserved.
void RunIoCycle(int *worked, int *unserved) {
  *worked = 0;
  *unserved = 0;
  int served = 0;

  // a. The current movie first.
  LockRecursiveMutex(&g_movie_list_lock);
  MovieRecord *cur = g_io_current.load(std::memory_order_acquire);
  if (cur && HasServableRead(cur)) {
    if (TryReadingLocks(cur)) {
      UnlockRecursiveMutex(&g_movie_list_lock);
      if (ServeLocked(cur)) *worked = 1;
      served = 1;
      ReleaseReadingLocks(cur);
    } else {
      *unserved = 1;
      UnlockRecursiveMutex(&g_movie_list_lock);
    }
  } else {
    UnlockRecursiveMutex(&g_movie_list_lock);
  }

  // b. The other listed movies.
  LockRecursiveMutex(&g_movie_list_lock);
  int list_held = 1;
  for (MovieRecord *m = g_movie_list; m;) {
    if (!HasServableRead(m)) {
      m = m->next;
      continue;
    }
    if (!TryReadingLocks(m)) {
      *unserved = 1;
      m = m->next;
      continue;
    }
    UnlockRecursiveMutex(&g_movie_list_lock);
    uint64_t r = ServeLocked(m);
    served = 1;
    if (r) *worked = 1;
    int relisted = LockRecursiveMutexTimed(&g_movie_list_lock, 0);
    // The movie cannot be unlinked and freed while its reading locks are
    // held; with the list lock it becomes current unless it is closing.
    if (relisted && r && !IsClosing(m)) g_io_current.store(m, std::memory_order_release);
    ReleaseReadingLocks(m);
    if (!relisted) {
      list_held = 0;
      *unserved = 1;  // start the cycle again
      break;
    }
    // An unlinked movie's link is null, which ends the scan.
    m = m->next;
  }
  if (list_held) UnlockRecursiveMutex(&g_movie_list_lock);
  if (!list_held) return;

  // c. No read served: one fill step on the current movie.
  if (!served) {
    LockRecursiveMutex(&g_movie_list_lock);
    cur = g_io_current.load(std::memory_order_acquire);
    if (cur && !cur->read_failed.load(std::memory_order_acquire) && HasBackgroundReading(cur) &&
        !IsClosing(cur) && LockRecursiveMutexTimed(&cur->io_buffer_lock, 0)) {
      UnlockRecursiveMutex(&g_movie_list_lock);
      int pending = cur->read_pending.load(std::memory_order_acquire) != 0;
      if (!pending && RunBackgroundFill(cur) > 0) *worked = 1;
      UnlockRecursiveMutex(&cur->io_buffer_lock);
      if (pending) {
        *unserved = 1;
        return;
      }
    } else {
      UnlockRecursiveMutex(&g_movie_list_lock);
    }
  }

  // d. Switch to the emptiest movie when the hysteresis says so.
  if (*unserved) return;
  LockRecursiveMutex(&g_movie_list_lock);
  cur = g_io_current.load(std::memory_order_acquire);
  int lc = GetBufferFillLevel(cur);
  int best = FILL_LEVEL_NONE;
  MovieRecord *candidate = cur;
  for (MovieRecord *m = g_movie_list; m; m = m->next) {
    if (!HasBackgroundReading(m) || m->read_pending.load(std::memory_order_acquire)) continue;
    int level = GetBufferFillLevel(m);
    if (level < best) {
      best = level;
      candidate = m;
    }
  }
  if (ShouldSwitchFillMovie(lc, best) && candidate && !IsClosing(candidate)) {
    g_io_current.store(candidate, std::memory_order_release);
    if (!candidate->read_failed.load(std::memory_order_acquire) &&
        HasBackgroundReading(candidate) &&
        LockRecursiveMutexTimed(&candidate->io_buffer_lock, 0)) {
      UnlockRecursiveMutex(&g_movie_list_lock);
      if (!candidate->read_pending.load(std::memory_order_acquire) &&
          RunBackgroundFill(candidate) > 0)
        *worked = 1;
      UnlockRecursiveMutex(&candidate->io_buffer_lock);
      return;
    }
  }
  UnlockRecursiveMutex(&g_movie_list_lock);
}

}  // namespace

// Movie list ---------------------------------------------------------------

void RegisterMovie(MovieRecord *movie) {
  if (!movie) return;
  InitLibraryLocks();
  LockRecursiveMutex(&g_movie_list_lock);
  int listed = 0;
  for (MovieRecord *m = g_movie_list; m; m = m->next)
    if (m == movie) listed = 1;
  if (!listed) {
    movie->next = g_movie_list;
    g_movie_list = movie;
  }
  UnlockRecursiveMutex(&g_movie_list_lock);
}

void UnlinkMovie(MovieRecord *movie) {
  if (!movie) return;
  InitLibraryLocks();
  LockRecursiveMutex(&g_movie_list_lock);
  MovieRecord **link = &g_movie_list;
  while (*link && *link != movie) link = &(*link)->next;
  if (*link == movie) *link = movie->next;
  // A thread that walks on from this movie after retaking the list lock
  // finds the end of the list instead of a stale link.
  movie->next = nullptr;
  if (g_io_current.load(std::memory_order_acquire) == movie)
    g_io_current.store(nullptr, std::memory_order_release);
  UnlockRecursiveMutex(&g_movie_list_lock);
}

int IsMovieListed(MovieRecord *movie) {
  InitLibraryLocks();
  LockRecursiveMutex(&g_movie_list_lock);
  int listed = 0;
  for (MovieRecord *m = g_movie_list; m; m = m->next)
    if (m == movie) listed = 1;
  UnlockRecursiveMutex(&g_movie_list_lock);
  return listed;
}

void LockListAndMovie(RecursiveMutex *movie_lock) {
  InitLibraryLocks();
  for (;;) {
    LockRecursiveMutex(&g_movie_list_lock);
    if (LockRecursiveMutexTimed(movie_lock, 0)) return;
    UnlockRecursiveMutex(&g_movie_list_lock);
    LockRecursiveMutex(movie_lock);
    if (LockRecursiveMutexTimed(&g_movie_list_lock, 0)) return;
    UnlockRecursiveMutex(movie_lock);
  }
}

void SetIoCurrentMovie(MovieRecord *movie) {
  InitLibraryLocks();
  LockRecursiveMutex(&g_movie_list_lock);
  if (!movie || !IsClosing(movie)) g_io_current.store(movie, std::memory_order_release);
  UnlockRecursiveMutex(&g_movie_list_lock);
}

MovieRecord *GetIoCurrentMovie() { return g_io_current.load(std::memory_order_acquire); }

void ClearIoCurrentMovie(MovieRecord *movie) {
  InitLibraryLocks();
  LockRecursiveMutex(&g_movie_list_lock);
  if (g_io_current.load(std::memory_order_acquire) == movie)
    g_io_current.store(nullptr, std::memory_order_release);
  UnlockRecursiveMutex(&g_movie_list_lock);
}

// Threads ------------------------------------------------------------------

int AcquireIoThread() {
  InitLibraryLocks();
  LockIoThreadLock();
  int ok = 1;
  if (g_io_running.load(std::memory_order_acquire)) {
    g_io_users.fetch_add(1, std::memory_order_acq_rel);
  } else {
    g_io_stop.store(0, std::memory_order_release);
    if (!InitSemaphore(&g_io_semaphore, 0)) {
      ok = 0;
    } else if (!CreateThread(&g_io_thread, IoThreadMain, 0, IO_THREAD_STACK,
                             RaiseThreadPriority(PRIORITY_NORMAL, 1), 0, "Vosh IO")) {
      DestroySemaphore(&g_io_semaphore);
      ok = 0;
    } else {
      g_io_users.fetch_add(1, std::memory_order_acq_rel);
      g_io_running.store(1, std::memory_order_release);
    }
  }
  UnlockIoThreadLock();
  return ok;
}

int AcquireSoundThread(int32_t service_code) {
  InitLibraryLocks();
  LockGlobalSound();
  int ok = 1;
  if (g_sound_running.load(std::memory_order_acquire)) {
    g_sound_users.fetch_add(1, std::memory_order_acq_rel);
  } else {
    g_sound_stop.store(0, std::memory_order_release);
    if (!InitSemaphore(&g_sound_semaphore, 0)) {
      ok = 0;
    } else if (!CreateThread(&g_sound_thread, SoundThreadMain, 0, SOUND_THREAD_STACK,
                             RaiseThreadPriority(PRIORITY_NORMAL, 2), 0, "Vosh Snd")) {
      DestroySemaphore(&g_sound_semaphore);
      ok = 0;
    } else {
      g_sound_users.fetch_add(1, std::memory_order_acq_rel);
      g_sound_running.store(1, std::memory_order_release);
    }
  }
  if (ok && service_code < 0) LowerSoundWait(static_cast<uint32_t>(-static_cast<int64_t>(service_code)));
  UnlockGlobalSound();
  return ok;
}

void ReleaseIoThread(int keep) {
  LockIoThreadLock();
  uint32_t users = g_io_users.load(std::memory_order_acquire);
  if (users > 0) {
    users -= 1;
    g_io_users.store(users, std::memory_order_release);
  }
  if (users == 0 && !keep) StopIoThread();
  UnlockIoThreadLock();
}

void ReleaseSoundThread(int keep) {
  LockGlobalSound();
  uint32_t users = g_sound_users.load(std::memory_order_acquire);
  if (users > 0) {
    users -= 1;
    g_sound_users.store(users, std::memory_order_release);
  }
  if (users == 0) {
    if (keep)
      g_sound_wait.store(WAIT_FOREVER, std::memory_order_relaxed);
    else
      StopSoundThread();
  }
  UnlockGlobalSound();
}

void ResetSoundWaitIfNoMovies() {
  InitLibraryLocks();
  LockRecursiveMutex(&g_movie_list_lock);
  if (!g_movie_list) g_sound_wait.store(SOUND_WAIT_DEFAULT_MS, std::memory_order_relaxed);
  UnlockRecursiveMutex(&g_movie_list_lock);
}

void StopIoThread() {
  LockIoThreadLock();
  if (g_io_running.load(std::memory_order_acquire)) {
    g_io_stop.store(1, std::memory_order_release);
    ReleaseSemaphore(&g_io_semaphore, 4);
    JoinThread(&g_io_thread);
    RetireSemaphore(&g_io_running, &g_io_posting, &g_io_semaphore);
    g_io_users.store(0, std::memory_order_release);
  }
  UnlockIoThreadLock();
}

void StopSoundThread() {
  LockGlobalSound();
  if (g_sound_running.load(std::memory_order_acquire)) {
    g_sound_stop.store(1, std::memory_order_release);
    ReleaseSemaphore(&g_sound_semaphore, 4);
    JoinThread(&g_sound_thread);
    RetireSemaphore(&g_sound_running, &g_sound_posting, &g_sound_semaphore);
    g_sound_users.store(0, std::memory_order_release);
  }
  UnlockGlobalSound();
}

int IsIoThreadRunning() { return g_io_running.load(std::memory_order_acquire) != 0; }
int IsSoundThreadRunning() { return g_sound_running.load(std::memory_order_acquire) != 0; }

// Neither post waits for the thread's lock: a frame step or a worker never
// waits for another thread's open or close.
void PostIoThread() { PostWhileRunning(&g_io_running, &g_io_posting, &g_io_semaphore); }

void PostSoundThread() { PostWhileRunning(&g_sound_running, &g_sound_posting, &g_sound_semaphore); }

uint32_t GetIoThreadUsers() { return g_io_users.load(std::memory_order_acquire); }
uint32_t GetSoundThreadUsers() { return g_sound_users.load(std::memory_order_acquire); }
uint32_t GetSoundWaitMs() { return g_sound_wait.load(std::memory_order_relaxed); }

const char *GetIoThreadName() {
  return g_io_running.load(std::memory_order_acquire) ? GetThreadName(&g_io_thread) : nullptr;
}

const char *GetSoundThreadName() {
  return g_sound_running.load(std::memory_order_acquire) ? GetThreadName(&g_sound_thread)
                                                         : nullptr;
}

int32_t IoThreadMain(intptr_t) {
  for (;;) {
    WaitSemaphore(&g_io_semaphore, WAIT_FOREVER);
    if (g_io_stop.load(std::memory_order_acquire)) return 1;
    for (;;) {
      if (g_io_stop.load(std::memory_order_acquire)) return 1;
      if (!LocksReady()) break;
      int worked = 0, unserved = 0;
      RunIoCycle(&worked, &unserved);
      if (!worked && !unserved) break;
    }
  }
}

int32_t SoundThreadMain(intptr_t) {
  for (;;) {
    WaitSemaphore(&g_sound_semaphore, g_sound_wait.load(std::memory_order_relaxed));
    if (g_sound_stop.load(std::memory_order_acquire)) return 1;
    if (!LocksReady()) continue;
    typedef void (*ServiceSlot)(SoundTrack *, uint32_t);
    ServiceSlot service = nullptr;
    int rescan = 1;
    while (rescan) {
      rescan = 0;
      if (g_sound_stop.load(std::memory_order_acquire)) return 1;
      service = nullptr;
      LockRecursiveMutex(&g_movie_list_lock);
      int list_held = 1;
      for (MovieRecord *m = g_movie_list; m;) {
        if (IsClosing(m) || m->open_track_count.load(std::memory_order_acquire) == 0 ||
            !m->tracks || !HasSoundLock(m)) {
          m = m->next;
          continue;
        }
        if (!LockRecursiveMutexTimed(&m->sound_lock, 0)) {
          BackOffSoundWait();
          m = m->next;
          continue;
        }
        UnlockRecursiveMutex(&g_movie_list_lock);
        g_sound_wait.store(SOUND_WAIT_DEFAULT_MS, std::memory_order_relaxed);
        if (!IsClosing(m) && m->open_track_count.load(std::memory_order_acquire) > 0) {
          SoundTrack *t = &m->tracks[0];
          int32_t c = t->service_code;
          if (c == 0 || c == 2) {
            FeedSoundTracks(m);
          } else if (c < 0) {
            service = t->ops.Service;
            LowerSoundWait(static_cast<uint32_t>(-static_cast<int64_t>(c)));
          }
        }
        int relisted = LockRecursiveMutexTimed(&g_movie_list_lock, 2);
        // The movie's sound lock is released whether or not the list lock
        // came back.
        UnlockRecursiveMutex(&m->sound_lock);
        if (!relisted) {
          list_held = 0;
          rescan = 1;
          break;
        }
        m = m->next;
      }
      if (list_held) UnlockRecursiveMutex(&g_movie_list_lock);
    }
    if (service) {
      if (LockRecursiveMutexTimed(&g_sound_lock, 0)) {
        service(nullptr, 0);
        UnlockRecursiveMutex(&g_sound_lock);
      } else {
        BackOffSoundWait();
      }
    }
  }
}

// Reading ------------------------------------------------------------------

uint64_t ServicePendingRead(MovieRecord *m) {
  IoReader *reader = &m->reader;
  if (reader->error.load(std::memory_order_acquire))
    m->read_failed.store(1, std::memory_order_release);
  if (reader->error.load(std::memory_order_acquire) || IsClosing(m) ||
      !m->read_pending.load(std::memory_order_acquire) || !reader->ops.ReadFrame)
    return 0;
  uint64_t r = reader->ops.ReadFrame(reader, m->requested_frame, m->frame_offset, m->frame_data,
                                     m->frame_size);
  m->window_start.store(m->frame_offset + m->frame_size, std::memory_order_release);
  if (reader->error.load(std::memory_order_acquire))
    m->read_failed.store(1, std::memory_order_release);
  m->read_pending.store(0, std::memory_order_release);
  return r;
}

int64_t RunBackgroundFill(MovieRecord *m) {
  IoReader *reader = &m->reader;
  if (reader->error.load(std::memory_order_acquire) || IsClosing(m)) return 0;
  if (reader->ops.Control && (reader->ops.Control(reader, 0) & 1)) return 0;
  if (m->preloaded_data || !reader->ops.Idle) return 0;
  return reader->ops.Idle(reader);
}

int GetBufferFillLevel(MovieRecord *m) {
  if (!m) return FILL_LEVEL_NONE;
  IoReader *reader = &m->reader;
  uint64_t window = reader->window.load(std::memory_order_acquire);
  if (window == 0 || reader->error.load(std::memory_order_acquire) || IsClosing(m))
    return FILL_LEVEL_NONE;
  if (reader->ops.Control && (reader->ops.Control(reader, 0) & 1)) return FILL_LEVEL_NONE;
  uint64_t buffered = reader->buffered.load(std::memory_order_acquire);
  if (buffered >= window) return 128;
  return static_cast<int>(buffered * 128 / window);
}

int ShouldSwitchFillMovie(int lc, int best) {
  return (lc >= 103 && best < 25) || best < 12 || (lc > 121 && best < 64);
}

// Reader hooks ---------------------------------------------------------------

void LockIoBuffer(IoReader *reader) {
  MovieRecord *m = reader ? reader->movie : nullptr;
  if (m && HasBackgroundReading(m)) LockRecursiveMutex(&m->io_buffer_lock);
}

int TryLockIoBuffer(IoReader *reader) {
  MovieRecord *m = reader ? reader->movie : nullptr;
  if (!m || !HasBackgroundReading(m)) return 1;
  return LockRecursiveMutexTimed(&m->io_buffer_lock, 0);
}

void UnlockIoBuffer(IoReader *reader) {
  MovieRecord *m = reader ? reader->movie : nullptr;
  if (m && HasBackgroundReading(m)) UnlockRecursiveMutex(&m->io_buffer_lock);
}

void TestIoBufferLock(IoReader *reader) {
  MovieRecord *m = reader ? reader->movie : nullptr;
  if (!m || !HasBackgroundReading(m)) return;
  if (LockRecursiveMutexTimed(&m->io_buffer_lock, 1)) UnlockRecursiveMutex(&m->io_buffer_lock);
}
