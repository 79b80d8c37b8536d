// Least working bodies of calls the open and the reader make into parts of
// the engine, the codecs and the sound side that are built elsewhere. Each
// is a weak definition: the full implementation, when linked, replaces it.
#include <cstring>

#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/platform/locks.h"

#define VOSH_WEAK __attribute__((weak))

// ---- First-generation frame jobs: bundle buffer sizes ----

VOSH_WEAK void ComputeFirstGenScratchSizes(FirstGenScratchSizes *s, uint32_t width) {
  const uint32_t w = width, b = width >> 3;
  s->block_types = (b + 527) & ~15u;
  s->block_subtypes = ((w >> 4) + 527) & ~15u;
  s->colors = 64 * b + 576;
  s->patterns = ((8 * b + 527) & ~15u) | 8;
  s->x_offsets = (b + 527) & ~15u;
  s->y_offsets = (b + 527) & ~15u;
  s->intra_dc = (2 * b + 1039) & ~15u;
  s->inter_dc = (2 * b + 1039) & ~15u;
  s->runs = 48 * b + 576;
}

// ---- Sound-system selection: no output installed ----

static int32_t g_stub_open_tracks = 0;

VOSH_WEAK TrackOpenFunction GetTrackOpenFunction() { return nullptr; }

VOSH_WEAK void ChangeOpenTrackCount(int32_t delta) { g_stub_open_tracks += delta; }

// ---- Background IO and sound threads: none started ----

static MovieRecord *g_stub_movie_list = nullptr;
static MovieRecord *g_stub_io_current = nullptr;

VOSH_WEAK void RegisterMovie(MovieRecord *movie) {
  InitLibraryLocks();
  LockRecursiveMutex(&g_movie_list_lock);
  MovieRecord *m = g_stub_movie_list;
  while (m && m != movie) m = m->next;
  if (!m) {
    movie->next = g_stub_movie_list;
    g_stub_movie_list = movie;
  }
  UnlockRecursiveMutex(&g_movie_list_lock);
}

// Without the IO thread the movie reads on the threads that need data.
VOSH_WEAK int AcquireIoThread() { return 0; }
// Without the sound thread the first track gets service code 1.
VOSH_WEAK int AcquireSoundThread(int32_t) { return 0; }
VOSH_WEAK void ResetSoundWaitIfNoMovies() {}
VOSH_WEAK int IsIoThreadRunning() { return 0; }
VOSH_WEAK int IsSoundThreadRunning() { return 0; }
VOSH_WEAK void PostIoThread() {}
VOSH_WEAK void PostSoundThread() {}
VOSH_WEAK void SetIoCurrentMovie(MovieRecord *movie) { g_stub_io_current = movie; }

static int HasBackgroundReading(const IoReader *reader) {
  return reader->movie && !(reader->movie->movie_flags & MOVIE_NO_BACKGROUND_READ);
}

VOSH_WEAK void LockIoBuffer(IoReader *reader) {
  if (HasBackgroundReading(reader)) LockRecursiveMutex(&reader->movie->io_buffer_lock);
}
VOSH_WEAK int TryLockIoBuffer(IoReader *reader) {
  if (!HasBackgroundReading(reader)) return 1;
  return LockRecursiveMutexTimed(&reader->movie->io_buffer_lock, 0);
}
VOSH_WEAK void UnlockIoBuffer(IoReader *reader) {
  if (HasBackgroundReading(reader)) UnlockRecursiveMutex(&reader->movie->io_buffer_lock);
}
VOSH_WEAK void TestIoBufferLock(IoReader *reader) {
  if (HasBackgroundReading(reader) && LockRecursiveMutexTimed(&reader->movie->io_buffer_lock, 1))
    UnlockRecursiveMutex(&reader->movie->io_buffer_lock);
}

// ---- Frame stepping: make frame n current and find its bytes ----

VOSH_WEAK void MoveToFrame(HVOSH m, uint32_t n) {
  if (!m) return;
  const uint32_t i = n ? n - 1 : 0;
  m->slice_layout.next_slice = 0;
  m->skip_state = 0;
  m->previous_frame = m->current_frame;
  if (m->read_failed) {
    m->current_frame = i + 1;
    return;
  }
  CompletePendingRead(m);
  m->requested_frame = i + 1;
  const uint64_t entry = m->frame_index[i];
  m->frame_offset = entry & ~(uint64_t)3;
  m->frame_is_key = (uint32_t)(entry & 1);
  m->frame_size = (uint32_t)((m->frame_index[i + 1] & ~(uint64_t)3) - m->frame_offset);
  if (m->preloaded_data) {
    m->frame_data = (uint8_t *)m->preloaded_data + (m->frame_offset - (m->frame_index[0] & ~(uint64_t)3));
  } else {
    m->frame_data = (uint8_t *)((((uintptr_t)m->frame_data_buffer + 256) & ~(uintptr_t)127) - 128 +
                                (uintptr_t)(m->frame_offset % 128));
    const uint64_t start = m->window_start;
    m->read_pending = 1;
    if (m->frame_offset >= start && m->frame_offset + m->frame_size <= start + m->reader.buffered)
      CompletePendingRead(m);
    else if (IsIoThreadRunning())
      PostIoThread();
  }
  m->current_frame = i + 1;
}

// ---- Movie close: close what the open made and free the blocks ----

VOSH_WEAK void VoshCloseMovie(HVOSH m) {
  if (!m) return;
  m->closing = 1;
  if (m->registered) {
    LockRecursiveMutex(&g_movie_list_lock);
    for (MovieRecord **link = &g_stub_movie_list; *link; link = &(*link)->next) {
      if (*link == m) {
        *link = m->next;
        break;
      }
    }
    UnlockRecursiveMutex(&g_movie_list_lock);
    m->registered = 0;
  }
  if (g_stub_io_current == m) g_stub_io_current = nullptr;
  const uint32_t flags = m->movie_flags;
  const int whole_file = (flags & OPEN_WHOLE_FILE) != 0;
  if (!whole_file) {
    LockRecursiveMutex(&m->io_request_lock);
    m->read_pending = 0;
    UnlockRecursiveMutex(&m->io_request_lock);
  }
  const uint32_t tracks = m->open_track_count;
  if (tracks > 0) {
    if (g_library_locks_ready) LockRecursiveMutex(&g_sound_lock);
    for (uint32_t i = 0; i < tracks; i++)
      if (m->tracks[i].ops.Close) m->tracks[i].ops.Close(&m->tracks[i]);
    ChangeOpenTrackCount(-(int32_t)tracks);
    if (g_library_locks_ready) UnlockRecursiveMutex(&g_sound_lock);
  }
  AlignedFree(m->audio_block);
  if (m->preloaded_data) {
    if (!(flags & (OPEN_MEMORY_IMAGE | OPEN_WHOLE_FILE))) AlignedFree((void *)m->preloaded_data);
  } else {
    if (m->reader.ops.Close) {
      if (g_library_locks_ready) LockRecursiveMutex(&g_io_thread_lock);
      m->reader.ops.Close(&m->reader);
      if (g_library_locks_ready) UnlockRecursiveMutex(&g_io_thread_lock);
    }
    AlignedFree(m->read_ahead_block);
  }
  DestroyRecursiveMutex(&m->io_buffer_lock);
  if (!whole_file) DestroyRecursiveMutex(&m->io_request_lock);
  DestroyRecursiveMutex(&m->sound_lock);
  AlignedFree(m->frame_buffer_block);
  void *block = GetMovieBlock(m);
  memset((void *)m, 0, sizeof(MovieRecord));
  AlignedFree(block);
}
