// Movie close: fences off every party that may still touch the movie, in
// order, then closes its tracks and reader, releases the background threads
// and frees its memory.
#include <cstring>

#include "engine/async.h"
#include "engine/background.h"
#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/playback.h"

namespace {

int LocksReady() { return g_library_locks_ready.load(std::memory_order_acquire) != 0; }

// A movie lock that the open made ready.
int LockMade(const RecursiveMutex *lock) { return IsRecursiveMutexReady(lock); }

}  // namespace

void VoshCloseMovie(HVOSH m) {
  if (!m) return;
  // 1-3: closing, paused, and no decode left on the workers.
  m->closing.store(1, std::memory_order_seq_cst);
  VoshSetPaused(m, 1);
  AsyncWaitHook wait = GetAsyncWaitHook();
  if (wait) wait(m);

  const uint32_t flags = m->movie_flags.load(std::memory_order_acquire);
  const int background = !(flags & MOVIE_NO_BACKGROUND_READ);
  const int header_only = (flags & OPEN_WHOLE_FILE) != 0;
  const uint32_t track_count = m->tracks ? m->open_track_count.load(std::memory_order_acquire) : 0;
  const int32_t code = track_count ? m->tracks[0].service_code : 1;
  const int sound_locked = track_count > 0 && (code <= 0 || code == 2);

  // 4: out of the movie list.
  if (m->registered.load(std::memory_order_acquire)) {
    UnlinkMovie(m);
    m->registered.store(0, std::memory_order_release);
  }
  // 5-9: wait out any fill step, sound pass or frame read still running.
  if (background && LockMade(&m->io_buffer_lock)) {
    LockListAndMovie(&m->io_buffer_lock);
    if (GetIoCurrentMovie() == m) ClearIoCurrentMovie(m);
    UnlockRecursiveMutex(&m->io_buffer_lock);
    UnlockRecursiveMutex(&g_movie_list_lock);
  }
  ClearIoCurrentMovie(m);
  if (sound_locked && LockMade(&m->sound_lock)) {
    LockListAndMovie(&m->sound_lock);
    UnlockRecursiveMutex(&m->sound_lock);
    UnlockRecursiveMutex(&g_movie_list_lock);
  }
  if (!header_only && LockMade(&m->io_request_lock)) {
    LockRecursiveMutex(&m->io_request_lock);
    m->read_pending.store(0, std::memory_order_release);
    UnlockRecursiveMutex(&m->io_request_lock);
  }
  ClearIoCurrentMovie(m);

  // 10: the sound tracks.
  if (track_count > 0) {
    if (LocksReady()) LockRecursiveMutex(&g_sound_lock);
    for (uint32_t k = 0; k < track_count; ++k) {
      SoundTrack *t = &m->tracks[k];
      if (t->ops.Close) t->ops.Close(t);
    }
    ChangeOpenTrackCount(-static_cast<int32_t>(track_count));
    if (LocksReady()) UnlockRecursiveMutex(&g_sound_lock);
  }

  // 11-12: audio block, then the reader and read-ahead memory.
  if (m->audio_block) AlignedFree(m->audio_block);
  m->audio_block = nullptr;
  if (m->preloaded_data) {
    if (!(flags & (OPEN_MEMORY_IMAGE | OPEN_WHOLE_FILE)))
      AlignedFree(const_cast<uint8_t *>(m->preloaded_data));
  } else {
    if (LocksReady()) LockRecursiveMutex(&g_io_thread_lock);
    if (m->reader.ops.Close) m->reader.ops.Close(&m->reader);
    if (LocksReady()) UnlockRecursiveMutex(&g_io_thread_lock);
    if (m->read_ahead_block) AlignedFree(m->read_ahead_block);
  }

  // 13: locks and the IO thread.
  if (background) DestroyRecursiveMutex(&m->io_buffer_lock);
  if (!header_only) DestroyRecursiveMutex(&m->io_request_lock);
  if (background) ReleaseIoThread((flags & MOVIE_KEEP_THREADS) != 0);

  // 14: the sound thread.
  if (sound_locked) DestroyRecursiveMutex(&m->sound_lock);
  if (track_count > 0 && code <= 0) ReleaseSoundThread((flags & MOVIE_KEEP_THREADS) != 0);

  // 15-16: frame buffers, then the record's own block.
  if (m->frame_buffer_block) AlignedFree(m->frame_buffer_block);
  void *block = GetMovieBlock(m);
  memset(static_cast<void *>(m), 0, sizeof(MovieRecord));
  AlignedFree(block);
}
