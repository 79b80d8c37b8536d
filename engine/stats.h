// Statistics of a playback: over the most recent frames (the player's
// run-time line) and over the whole playback so far (its summary).
#pragma once
#include <cstdint>

struct MovieRecord;
typedef MovieRecord *HVOSH;

struct RecentStats {
  uint64_t reader_window;    // how much of the file the read-ahead ring can hold
  uint64_t reader_buffered;  // ring bytes not yet handed out
  uint64_t data_rate;        // bytes per second of the window's frames at the file's rate
  uint32_t last_frame;
  uint32_t rate_num;
  uint32_t rate_den;
  uint32_t window_frames;
  uint32_t window_ms;        // at least 1
  uint32_t video_ms;
  uint32_t audio_ms;
  uint32_t direct_read_ms;
  uint32_t idle_fill_ms;
  uint32_t busy_fill_ms;
  uint32_t copy_ms;
};

struct PlaybackSummary {
  uint64_t device_speed;
  uint64_t memory_used;
  uint64_t io_memory;
  uint64_t io_memory_peak;
  uint64_t read_ahead_size;
  uint32_t width;
  uint32_t height;
  uint32_t playback_ms;
  uint32_t file_rate_num;
  uint32_t file_rate_den;
  uint32_t rate_num;
  uint32_t rate_den;
  uint32_t open_ms;
  uint32_t frame_count;
  uint32_t frames_played;
  uint32_t frames_skipped;
  uint32_t sound_skips;
  uint32_t copy_ms;
  uint32_t direct_read_ms;
  uint32_t video_ms;
  uint32_t audio_ms;
  uint32_t idle_fill_ms;
  uint32_t busy_fill_ms;
  uint32_t slowest_ms;
  uint32_t second_ms;
  uint32_t slowest_frame;
  uint32_t second_frame;
  uint32_t data_rate;
  uint32_t average_frame_size;
  uint32_t read_ahead_start_frame;
};

// Statistics over the last n finished frames (0: the ring's size less one).
// Does nothing when either pointer is null; a movie without statistics
// (the whole-file load) leaves the record cleared.
void VoshFillRecentStats(HVOSH movie, RecentStats *out, uint32_t n);
// The summary of the whole playback so far; same refusals.
void VoshFillPlaybackSummary(HVOSH movie, PlaybackSummary *out);
