// The player's statistics line (-q) and playback summary (-s).
#include <cstdio>

#include "player.h"

namespace {

// part x 100 / T in double precision from single-precision values; 0 when
// there is no playback time, so nothing prints as inf or nan.
double Share(uint32_t part, float t) {
  if (t <= 0.0f) return 0.0;
  return static_cast<double>(static_cast<float>(part)) * 100.0 / static_cast<double>(t);
}

// 1000 / ms as a rate; 0 for an interval of 0.
double RateOf(uint32_t ms) {
  if (ms == 0) return 0.0;
  return 1000.0 / static_cast<double>(static_cast<float>(ms));
}

}  // namespace

void PrintStatisticsLine(const RecentStats *s) {
  const uint32_t ms = s->window_ms ? s->window_ms : 1;
  const float fps = static_cast<float>(s->window_frames) * 1000.0f / static_cast<float>(ms);
  const float buf = static_cast<float>(s->reader_buffered + 1) * 100.0f /
                    static_cast<float>(s->reader_window + 1);
  printf("\rFr: %u, FPS: %.1f, Buf: %.0f%%, Vid: %u%%, Aud: %u%%, Blit: %u%%, Read: %u%%, "
         "Back: %u%%, Rate: %llu    ",
         s->last_frame, static_cast<double>(fps), static_cast<double>(buf), s->video_ms * 100 / ms,
         s->audio_ms * 100 / ms, s->copy_ms * 100 / ms,
         (s->direct_read_ms + s->idle_fill_ms) * 100 / ms, s->busy_fill_ms * 100 / ms,
         static_cast<unsigned long long>(s->data_rate));
}

void PrintPlaybackSummary(const char *path, const PlaybackSummary *s, uint32_t window_w,
                          uint32_t window_h) {
  char rate_text[64];
  if (s->rate_num == 0 || s->rate_den == 0) {
    snprintf(rate_text, sizeof(rate_text), "As fast as possible.");
  } else {
    const float rate = static_cast<float>(s->rate_num) / static_cast<float>(s->rate_den);
    snprintf(rate_text, sizeof(rate_text), "%4.1f", static_cast<double>(rate));
  }
  const float t = static_cast<float>(s->playback_ms);
  const double obtained =
      t > 0.0f ? static_cast<double>(static_cast<float>(s->frames_played)) * 1000.0 /
                     static_cast<double>(t)
               : 0.0;
  printf(
      "Vosh Summary:\n"
      "  Filename: %s\n"
      "  Frame rate: %s\n"
      "  Frame rate obtained: %4.1f\n"
      "  Skipped frames: %d\n"
      "  Sound skips: %d\n"
      "  Total frames played: %d\n"
      "  Total playback time: %4.1f seconds\n"
      "  Total open time: %4.1f seconds\n"
      "  Decompressing video: %3.1f %%\n"
      "  Decompressing audio: %3.1f %%\n"
      "  Blitting: %3.1f %%\n"
      "  Reading: %3.1f %%\n"
      "  Background reading: %3.1f %%\n"
      "\n"
      "  Slowest frame: %d  Rate: %4.1f\n"
      "  Next slowest frame: %d  Rate: %4.1f\n"
      "  Speed of playback device: %lld\n"
      "  Average frame size: %d\n"
      "\n"
      "  Memory used for playback: %lld\n"
      "  Total I/O memory: %lld\n"
      "  Highest I/O memory used: %lld\n"
      "\n"
      "  Display: %d x %d\n",
      path, rate_text, obtained, static_cast<int>(s->frames_skipped),
      static_cast<int>(s->sound_skips), static_cast<int>(s->frames_played),
      static_cast<double>(t) / 1000.0,
      static_cast<double>(static_cast<float>(s->open_ms)) / 1000.0, Share(s->video_ms, t),
      Share(s->audio_ms, t), Share(s->copy_ms, t), Share(s->direct_read_ms, t),
      Share(s->busy_fill_ms, t), static_cast<int>(s->slowest_frame), RateOf(s->slowest_ms),
      static_cast<int>(s->second_frame), RateOf(s->second_ms),
      static_cast<long long>(s->device_speed), static_cast<int>(s->average_frame_size),
      static_cast<long long>(s->memory_used), static_cast<long long>(s->io_memory),
      static_cast<long long>(s->io_memory_peak), static_cast<int>(window_w),
      static_cast<int>(window_h));
}
