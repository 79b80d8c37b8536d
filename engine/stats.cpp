// The statistics records: the window over the most recent finished frames,
// read from the movie's statistics rings, and the whole playback's summary.
#include "engine/stats.h"

#include <cstring>

#include "engine/movie.h"
#include "engine/utils.h"

namespace {

// a x b / c without losing the high bits of the product; saturates.
uint64_t MulDiv64(uint64_t a, uint64_t b, uint64_t c) {
  if (c == 0) return 0;
  if (b == 0 || a <= UINT64_MAX / b) return a * b / c;
  const uint64_t q = a / c, r = a % c;
  if (q != 0 && b > UINT64_MAX / q) return UINT64_MAX;
  const uint64_t whole = q * b;
  uint64_t part;
  if (r == 0 || b <= UINT64_MAX / r) {
    part = r * b / c;
  } else {
    part = static_cast<uint64_t>(static_cast<long double>(r) * static_cast<long double>(b) /
                                 static_cast<long double>(c));
  }
  return whole > UINT64_MAX - part ? UINT64_MAX : whole + part;
}

uint32_t SaturateU32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// A movie opened by the whole-file load has neither statistics rings nor a
// frame index.
bool HasStatistics(const MovieRecord *m) {
  if (m->movie_flags.load(std::memory_order_acquire) & OPEN_WHOLE_FILE) return false;
  for (uint32_t i = 0; i < STATS_RING_COUNT; ++i)
    if (!m->stats_rings[i]) return false;
  return m->frame_index != nullptr && m->frame_count != 0;
}

// Closes the copy interval that a copy opened and no frame end closed yet.
void CloseCopyInterval(MovieRecord *m, uint32_t now) {
  if (m->draw_start != 0 && m->draw_start != 0xFFFFFFFFu) {
    m->copy_ms += static_cast<int32_t>(now - m->draw_start);
    m->draw_start = 0;
  }
}

uint64_t IndexOffset(const MovieRecord *m, uint32_t entry) {
  return m->frame_index[entry] & ~static_cast<uint64_t>(3);
}

}  // namespace

void VoshFillRecentStats(HVOSH m, RecentStats *out, uint32_t n) {
  if (!m || !out) return;
  memset(out, 0, sizeof(*out));
  if (!HasStatistics(m)) return;
  CloseCopyInterval(m, VoshGetMilliseconds());

  const uint32_t R = m->stats_size ? m->stats_size : 1;
  uint32_t current = m->current_frame;
  if (current > m->frame_count) current = m->frame_count;

  // The window: only entries that a finished frame wrote (or the virtual
  // entry before the first one) are read.
  const uint32_t n0 = (n != 0 && n < R) ? n : R - 1;
  uint32_t n1 = n0 <= current ? n0 : (current ? current - 1 : 0);
  if (n1 > m->frames_finished) n1 = m->frames_finished;
  const uint32_t N = n1 ? n1 : 1;

  out->reader_window = m->reader.window.load(std::memory_order_relaxed);
  out->reader_buffered = m->reader.buffered.load(std::memory_order_relaxed);
  out->last_frame = m->previous_frame;
  out->rate_num = m->rate_num;
  out->rate_den = m->rate_den;
  out->window_frames = N;
  out->window_ms = 1;

  if (current >= N) {
    const uint64_t hi = IndexOffset(m, current), lo = IndexOffset(m, current - N);
    const uint64_t bytes = hi > lo ? hi - lo : 0;
    out->data_rate = MulDiv64(bytes, m->file_rate_num, static_cast<uint64_t>(m->file_rate_den) * N);
  }

  if (m->frames_finished == 0) return;
  uint32_t newest = static_cast<uint32_t>(m->stats_index);
  if (newest >= R) newest = 0;
  uint32_t older = newest + N;
  if (older >= R) older -= R;
  if (older >= R) older = newest;
  uint32_t *const *rings = m->stats_rings;
  const uint32_t window = rings[0][newest] - rings[0][older];
  out->window_ms = window ? window : 1;
  out->audio_ms = rings[1][newest] - rings[1][older];
  out->video_ms = rings[2][newest] - rings[2][older];
  out->copy_ms = rings[3][newest] - rings[3][older];
  out->direct_read_ms = rings[4][newest] - rings[4][older];
  out->idle_fill_ms = rings[5][newest] - rings[5][older];
  out->busy_fill_ms = rings[6][newest] - rings[6][older];
}

void VoshFillPlaybackSummary(HVOSH m, PlaybackSummary *out) {
  if (!m || !out) return;
  memset(out, 0, sizeof(*out));
  if (!HasStatistics(m)) return;
  const uint32_t now = VoshGetMilliseconds();
  CloseCopyInterval(m, now);

  const IoReader &r = m->reader;
  const uint64_t total_read = r.total_read.load(std::memory_order_relaxed);
  const uint32_t fill_ms = r.fill_ms.load(std::memory_order_relaxed);
  if (fill_ms > 999)
    out->device_speed = MulDiv64(total_read, 1000, fill_ms);
  else
    out->device_speed = MulDiv64(total_read, 1000 / (fill_ms + 1), 1);
  out->memory_used = m->memory_used;
  out->io_memory = r.ring_size;
  out->io_memory_peak = r.high_water.load(std::memory_order_relaxed);
  out->read_ahead_size = m->read_ahead_size;
  out->width = m->width;
  out->height = m->height;
  // Before the first frame finished there is no playback time yet.
  out->playback_ms = m->first_end_time ? now - m->first_end_time : 0;
  out->file_rate_num = m->file_rate_num;
  out->file_rate_den = m->file_rate_den;
  out->rate_num = m->rate_num;
  out->rate_den = m->rate_den;
  out->open_ms = m->open_ms;
  out->frame_count = m->frame_count;
  out->frames_played = m->frames_finished;
  out->frames_skipped = static_cast<uint32_t>(m->frames_skipped);
  out->sound_skips = m->sound_restarts;
  out->copy_ms = static_cast<uint32_t>(m->copy_ms);
  out->direct_read_ms = r.direct_read_ms.load(std::memory_order_relaxed);
  out->video_ms = static_cast<uint32_t>(m->video_ms.load(std::memory_order_acquire));
  out->audio_ms = static_cast<uint32_t>(m->audio_ms.load(std::memory_order_acquire));
  out->idle_fill_ms = r.idle_fill_ms.load(std::memory_order_relaxed);
  out->busy_fill_ms = r.busy_fill_ms.load(std::memory_order_relaxed);
  out->slowest_ms = m->slowest_ms;
  out->second_ms = m->second_ms;
  out->slowest_frame = m->slowest_frame;
  out->second_frame = m->second_frame;

  const uint64_t file_size = m->file_size_less_8 + 8;
  const uint64_t first = IndexOffset(m, 0);
  const uint64_t D = file_size > first ? file_size - first : 0;
  out->data_rate = SaturateU32(
      MulDiv64(D, m->file_rate_num, static_cast<uint64_t>(m->file_rate_den) * m->frame_count));
  out->average_frame_size = SaturateU32(D / m->frame_count);
  out->read_ahead_start_frame = static_cast<uint32_t>(m->read_ahead_start_frame) + 1;
}
