// The playback clock of a movie (when each frame is due, which late frames
// are skipped, pause and resume, sound resynchronisation) and the stepping
// from frame to frame.
#include <cstring>

#include "engine/background.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/platform/locks.h"
#include "engine/utils.h"
#include "video/gen2/slices.h"

namespace {

void StartClock(MovieRecord *m, uint32_t now) {
  m->clock_start = now;
  m->frames_at_clock_start = m->frames_finished - 1;
  m->pause_offset = 0;
}

// The next clock test starts the clock afresh.
void RestartClock(MovieRecord *m) {
  m->clock_start = 0;
  m->pause_offset = 0;
}

void StartClockIfStopped(MovieRecord *m, uint32_t now) {
  if (m->clock_start == 0) StartClock(m, now);
}

void AccountCopyTime(MovieRecord *m, uint32_t now) {
  if (m->draw_start != 0 && m->draw_start != 0xFFFFFFFFu) {
    m->copy_ms += static_cast<int32_t>(now - m->draw_start);
    m->draw_start = 0;
  }
}

uint32_t TrackCount(const MovieRecord *m) {
  return m->tracks ? m->open_track_count.load(std::memory_order_acquire) : 0;
}

int32_t FirstServiceCode(const MovieRecord *m) { return m->tracks ? m->tracks[0].service_code : 0; }

void FeedIfServiceCodeOne(MovieRecord *m) {
  if (TrackCount(m) > 0 && FirstServiceCode(m) == 1) FeedSoundTracks(m);
}

// Lateness of the next frame against the clock, in milliseconds.
int32_t Lateness(const MovieRecord *m, uint32_t now) {
  uint32_t f = m->frames_finished - m->frames_at_clock_start;
  uint64_t scaled = static_cast<uint64_t>(f) * m->rate_den;
  uint64_t q = scaled / m->rate_num;
  uint64_t r = scaled % m->rate_num;
  // (f * den * 1000) / num without overflowing 64 bits.
  uint32_t e = static_cast<uint32_t>(q * 1000 + r * 1000 / m->rate_num);
  uint32_t speed = m->tracks ? m->tracks[0].speed : 0x10000;
  uint32_t expected = static_cast<uint32_t>((static_cast<uint64_t>(e) * speed) >> 16);
  return static_cast<int32_t>(now - m->clock_start - expected);
}

// Bytes buffered in a track's ring: write - read modulo the ring size.
uint32_t RingFill(const SoundTrack *t) {
  uint64_t w = static_cast<uint64_t>(t->write.load(std::memory_order_acquire) - t->start);
  uint64_t r = static_cast<uint64_t>(t->read.load(std::memory_order_acquire) - t->start);
  return static_cast<uint32_t>(w >= r ? w - r : t->size - (r - w));
}

// Moves the read position so that the fill target's worth of sound is
// queued: silence is put in front when too little is buffered, the oldest
// sound is dropped when too much is.
void RealignTrack(SoundTrack *t) {
  if (!t->start || t->size == 0) return;
  uint32_t b = RingFill(t) & ~63u;
  uint32_t target = t->fill_target;
  uint64_t r = static_cast<uint64_t>(t->read.load(std::memory_order_acquire) - t->start);
  if (b < target) {
    uint64_t back = target - b;
    if (back > t->size) back = t->size;
    uint64_t nr = r >= back ? r - back : t->size - (back - r);
    // Zero the bytes from the new to the old read position, wrapping.
    if (nr <= r) {
      memset(t->start + nr, 0, r - nr);
    } else {
      memset(t->start + nr, 0, t->size - nr);
      memset(t->start, 0, r);
    }
    t->read.store(t->start + nr, std::memory_order_release);
  } else if (b > target) {
    uint64_t nr = r + (b - target);
    if (nr >= t->size) nr -= t->size;
    t->read.store(t->start + nr, std::memory_order_release);
  }
}

enum LockKind { LOCK_NONE, LOCK_GLOBAL_SOUND, LOCK_MOVIE_SOUND };

LockKind TakeTrackLock(MovieRecord *m) {
  int32_t c = FirstServiceCode(m);
  if (c < 0) {
    if (g_library_locks_ready.load(std::memory_order_acquire)) {
      LockRecursiveMutex(&g_sound_lock);
      return LOCK_GLOBAL_SOUND;
    }
    return LOCK_NONE;
  }
  if (c == 0 || c == 2) {
    LockRecursiveMutex(&m->sound_lock);
    return LOCK_MOVIE_SOUND;
  }
  return LOCK_NONE;
}

void ReleaseTrackLock(MovieRecord *m, LockKind kind) {
  if (kind == LOCK_GLOBAL_SOUND) UnlockRecursiveMutex(&g_sound_lock);
  if (kind == LOCK_MOVIE_SOUND) UnlockRecursiveMutex(&m->sound_lock);
}

void Resynchronise(MovieRecord *m) {
  m->sound_restarts += 1;
  SetSoundTracksEnabled(m, 0);
  RestartClock(m);
  SetSoundTracksEnabled(m, 1);
}

}  // namespace

int DecideFrameSkip(HVOSH m, uint32_t test_only) {
  if (!m) return 0;
  uint32_t now = VoshGetMilliseconds();
  StartClockIfStopped(m, now);
  int32_t late = m->rate_num ? Lateness(m, now) : 0;
  if (m->rate_num == 0 || late < 0 || late <= m->tolerance_ms) {
    m->skip_state = SKIP_SHOW;
    return 0;
  }
  if (TrackCount(m) == 0) {
    // Without sound a late picture is never skipped: the clock is re-based.
    StartClock(m, now);
    m->skip_state = SKIP_SHOW;
    return 0;
  }
  if (late > static_cast<int32_t>(LATE_RESYNC_MS)) m->resync_wanted = 1;
  if (m->skips_in_row < MAX_SKIPS_IN_ROW) {
    m->skips_in_row += 1;
    if (test_only) {
      // The caller draws the frame anyway: it counts as shown.
      m->skip_state = SKIP_SHOW;
    } else {
      m->skip_state = SKIP_SKIP;
      m->frames_skipped += 1;
    }
    return 1;
  }
  m->skips_in_row = 0;
  m->skip_state = SKIP_SHOW;
  return 0;
}

HVOSH BeginFrame(HVOSH m, uint32_t now) {
  if (!m || m->last_finished_frame == m->current_frame) return nullptr;
  if (m->closing.load(std::memory_order_acquire)) return nullptr;
  if (m->reader.error.load(std::memory_order_acquire)) {
    m->read_failed.store(1, std::memory_order_release);
    return nullptr;
  }
  if (m->read_failed.load(std::memory_order_acquire)) return nullptr;
  AccountCopyTime(m, now);
  if (m->rewind_resync) {
    m->rewind_resync = 0;
    if (m->sound_on) {
      SetSoundTracksEnabled(m, 0);
      SetSoundTracksEnabled(m, 1);
    }
    RestartClock(m);
  }
  if (m->paused.load(std::memory_order_acquire)) RestartClock(m);
  m->skip_state = SKIP_UNDECIDED;
  ClearSeamFlags(&m->slice_layout, m->seam_records);
  m->reader.engine_busy.store(1, std::memory_order_release);
  return m;
}

int EndFrame(HVOSH m, uint32_t now) {
  if (!m) return 0;
  FrameBufferSet *fb = m->frame_buffers;
  if (m->seam_records && !m->parse_target && m->open_complete && fb) {
    SmoothSliceSeams(fb, &m->slice_layout, (m->video_flags & VIDEO_FLAG_ALPHA) ? 1 : 0,
                     (m->video_flags & VIDEO_FLAG_EXTRA_PLANE) ? 1 : 0, m->frame_is_key,
                     m->seam_records);
  }
  if (fb) fb->current_set = fb->current_set + 1 < fb->set_count ? fb->current_set + 1 : 0;

  uint32_t r = m->stats_size ? m->stats_size : 1;
  int32_t old_index = m->stats_index;
  m->stats_index -= 1;
  if (m->stats_index < 0) m->stats_index = static_cast<int32_t>(r - 1);

  if (m->last_end_time != 0) {
    // The frame finished before this interval. A one-frame movie's repeat
    // pass cleared last_finished_frame so that its frame decodes again: the
    // frame before is then that same frame.
    const uint32_t before = m->last_finished_frame ? m->last_finished_frame : m->current_frame;
    uint32_t d = now - m->last_end_time;
    if (d > m->slowest_ms) {
      m->second_ms = m->slowest_ms;
      m->second_frame = m->slowest_frame;
      m->slowest_ms = d;
      m->slowest_frame = before;
    } else if (d > m->second_ms) {
      m->second_ms = d;
      m->second_frame = before;
    }
  }
  m->last_end_time = now;

  uint32_t i = static_cast<uint32_t>(m->stats_index);
  if (m->stats_rings[0]) {
    m->stats_rings[0][i] = now;
    m->stats_rings[1][i] = static_cast<uint32_t>(m->audio_ms.load(std::memory_order_acquire));
    m->stats_rings[2][i] = static_cast<uint32_t>(m->video_ms.load(std::memory_order_acquire));
    m->stats_rings[3][i] = static_cast<uint32_t>(m->copy_ms);
    m->stats_rings[4][i] = m->reader.direct_read_ms.load(std::memory_order_relaxed);
    m->stats_rings[5][i] = m->reader.idle_fill_ms.load(std::memory_order_relaxed);
    m->stats_rings[6][i] = m->reader.busy_fill_ms.load(std::memory_order_relaxed);
  }
  if (m->first_end_time == 0) {
    uint32_t period = m->file_rate_num
                          ? static_cast<uint32_t>(static_cast<uint64_t>(m->file_rate_den) * 1000 /
                                                  m->file_rate_num)
                          : 0;
    uint32_t prev = old_index >= 0 && static_cast<uint32_t>(old_index) < r
                        ? static_cast<uint32_t>(old_index)
                        : (i + 1 < r ? i + 1 : 0);
    if (m->stats_rings[0]) m->stats_rings[0][prev] = now - period;
    m->first_end_time = now;
    m->reader.idle_fill_ms.store(0, std::memory_order_relaxed);
    m->reader.busy_fill_ms.store(0, std::memory_order_relaxed);
  } else {
    FeedIfServiceCodeOne(m);
  }
  m->frames_finished += 1;
  StartClockIfStopped(m, now);
  m->draw_start = 0xFFFFFFFFu;
  m->last_finished_frame = m->current_frame;
  m->previous_frame = m->current_frame;
  m->reader.engine_busy.store(0, std::memory_order_release);
  return 0;
}

int SetSoundTracksEnabled(HVOSH m, int on) {
  if (!m) return 0;
  uint32_t count = TrackCount(m);
  if (count == 0) {
    RestartClock(m);
    return 0;
  }
  uint32_t was_on = m->sound_on;
  int result = 0;
  int locked = 0;
  LockKind lock = LOCK_NONE;
  for (uint32_t k = 0; k < count; ++k) {
    SoundTrack *t = &m->tracks[k];
    if (!t->ops.SetEnabled) continue;
    if (!locked) {
      lock = TakeTrackLock(m);
      locked = 1;
    }
    int r = t->ops.SetEnabled(t, on ? 1 : 0);
    if (r) result = 1;
    if (was_on && r == 0) {
      // Off: the ring is emptied.
      t->write.store(t->start, std::memory_order_release);
      t->read.store(t->start, std::memory_order_release);
      m->sound_on = 0;
    }
    if (!was_on && r != 0) {
      if (!(m->current_frame == 1 && m->last_finished_frame != 1)) RealignTrack(t);
      m->sound_on = 1;
      RestartClock(m);
    }
  }
  if (locked) ReleaseTrackLock(m, lock);
  return result;
}

void VoshAdvanceFrame(HVOSH m) {
  if (!m) return;
  for (uint32_t k = 0; k < 8; ++k)
    if (m->async_slots[k].load(std::memory_order_acquire) != 0) return;
  uint32_t count = TrackCount(m);
  if (count > 0 && m->rate_num != 0 && !m->paused.load(std::memory_order_acquire) && m->sound_on) {
    if (m->skip_state == SKIP_UNDECIDED) DecideFrameSkip(m, 0);
    m->skip_state = SKIP_UNDECIDED;
    m->reader.engine_busy.store(0, std::memory_order_release);
    if (m->resync_wanted) {
      m->resync_wanted = 0;
      Resynchronise(m);
    } else {
      int resync = 0;
      for (uint32_t k = 0; k < count; ++k) {
        SoundTrack *t = &m->tracks[k];
        if (t->underrun.exchange(0, std::memory_order_acq_rel)) {
          if (m->current_frame >= 2 && m->current_frame <= t->last_full_lead_frame) resync = 1;
        }
      }
      if (resync) Resynchronise(m);
    }
  }
  m->reader.engine_busy.store(1, std::memory_order_release);
  FeedIfServiceCodeOne(m);
  AccountCopyTime(m, VoshGetMilliseconds());
  uint32_t from = m->current_frame;
  MoveToFrame(m, m->current_frame < m->frame_count ? m->current_frame + 1 : 1);
  // A one-frame movie steps back onto the frame it just finished: every pass
  // goes through the decode job again, so its clock keeps running. With one
  // buffer set the finished picture is already in the set the copy reads, so
  // that pass must not write it again.
  if (m->current_frame == from) {
    const FrameBufferSet *fb = m->frame_buffers;
    m->repeat_keeps_picture = m->last_finished_frame == from && fb && fb->set_count <= 1;
    m->last_finished_frame = 0;
  }
  m->reader.engine_busy.store(0, std::memory_order_release);
}

void MoveToFrame(HVOSH m, uint32_t n) {
  if (!m || m->frame_count == 0 || !m->frame_index) return;
  m->repeat_keeps_picture = 0;
  uint32_t i = n ? n - 1 : 0;
  if (i >= m->frame_count) i = m->frame_count - 1;
  m->slice_layout.next_slice.store(0, std::memory_order_release);
  m->skip_state = SKIP_UNDECIDED;
  FeedIfServiceCodeOne(m);
  m->previous_frame = m->current_frame;
  if (m->read_failed.load(std::memory_order_acquire)) {
    m->current_frame = i + 1;
    return;
  }
  CompletePendingRead(m);
  if (i == 0) {
    uint32_t t = VoshGetMilliseconds();
    if (m->rewind_time == 0) m->rewind_time = t;
    if (t - m->rewind_time > REWIND_RESYNC_MS) {
      m->rewind_time = t;
      m->rewind_resync = 1;
    }
  }
  m->requested_frame = i + 1;
  uint64_t entry = m->frame_index[i];
  m->frame_offset = entry & ~uint64_t(3);
  m->frame_is_key = static_cast<uint32_t>(entry & 1);
  m->frame_size = static_cast<uint32_t>((m->frame_index[i + 1] & ~uint64_t(3)) - m->frame_offset);
  if (m->preloaded_data) {
    m->frame_data = const_cast<uint8_t *>(m->preloaded_data) +
                    (m->frame_offset - (m->frame_index[0] & ~uint64_t(3)));
  } else if (m->frame_data_buffer) {
    // The frame lands at the same position modulo 128 as in the file.
    uintptr_t base = (reinterpret_cast<uintptr_t>(m->frame_data_buffer) + 256) & ~uintptr_t(127);
    m->frame_data = reinterpret_cast<uint8_t *>(base - 128 + (m->frame_offset & 127));
    uint64_t ws = m->window_start.load(std::memory_order_acquire);
    uint64_t buffered = m->reader.buffered.load(std::memory_order_acquire);
    int inside = m->frame_offset >= ws && m->frame_offset + m->frame_size <= ws + buffered;
    m->read_pending.store(1, std::memory_order_release);
    if (inside) {
      CompletePendingRead(m);
    } else if (IsIoThreadRunning()) {
      PostIoThread();
    }
  }
  FeedIfServiceCodeOne(m);
  m->current_frame = i + 1;
}

uint32_t VoshSetPaused(HVOSH m, uint32_t pause) {
  if (!m) return 0;
  if (pause == m->paused.load(std::memory_order_acquire)) return pause;
  uint32_t now = VoshGetMilliseconds();
  AccountCopyTime(m, now);
  m->last_end_time = 0;
  uint32_t old = m->paused.load(std::memory_order_acquire);
  m->paused.store(pause, std::memory_order_release);
  uint32_t count = TrackCount(m);
  int locked = 0;
  if (count > 0) {
    int32_t c = FirstServiceCode(m);
    if (c <= 0 || c == 2) {
      LockRecursiveMutex(&m->sound_lock);
      locked = 1;
    }
    for (uint32_t k = 0; k < count; ++k) {
      SoundTrack *t = &m->tracks[k];
      if (t->ops.SetPaused) t->ops.SetPaused(t, pause);
    }
  }
  uint32_t t = VoshGetMilliseconds();
  if (pause != 0) {
    if (count == 0) RestartClock(m);
    if (old == 0) m->pause_offset = m->clock_start ? static_cast<int32_t>(t - m->clock_start) : 0;
  } else if (old != 0) {
    // A clock that was stopped at the pause starts afresh instead of
    // counting the frames already played against the time of the resume.
    if (m->clock_start == 0)
      StartClock(m, t);
    else
      m->clock_start = t - static_cast<uint32_t>(m->pause_offset);
  }
  if (locked) UnlockRecursiveMutex(&m->sound_lock);
  FeedIfServiceCodeOne(m);
  if (IsIoThreadRunning()) PostIoThread();
  return m->paused.load(std::memory_order_acquire);
}

int VoshShouldWait(HVOSH m) {
  if (!m) return 0;
  uint32_t paused = m->paused.load(std::memory_order_acquire);
  if (m->frames_finished == 0 && !paused) return 0;
  if (m->read_failed.load(std::memory_order_acquire)) return 0;
  uint32_t flags = m->movie_flags.load(std::memory_order_acquire);
  if (!(flags & MOVIE_NO_BACKGROUND_READ) && m->read_pending.load(std::memory_order_acquire))
    return 1;
  uint32_t now = VoshGetMilliseconds();
  StartClockIfStopped(m, now);
  FeedIfServiceCodeOne(m);
  AccountCopyTime(m, now);
  uint32_t count = TrackCount(m);
  if (!paused && !(count > 0 && !m->sound_on)) {
    if (m->rate_num == 0) return 0;
    int32_t late = Lateness(m, now);
    if (late >= 0) {
      // Twice the tolerance in 64 bits: a file's frame rate can make the
      // tolerance as large as INT32_MAX.
      if (count == 0 && static_cast<int64_t>(late) > 2 * static_cast<int64_t>(m->tolerance_ms))
        RestartClock(m);
      return 0;
    }
  }
  // Without background reading the caller's thread fills the read-ahead
  // ring while it waits.
  if (!m->preloaded_data && (flags & MOVIE_NO_BACKGROUND_READ) && m->reader.ops.Idle) {
    if (!m->reader.ops.Control || !(m->reader.ops.Control(&m->reader, 0) & 1))
      m->reader.ops.Idle(&m->reader);
  }
  return 1;
}
