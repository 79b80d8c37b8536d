// Playback clock, frame stepping and the frame decode job.
#pragma once
#include <cstdint>

#include "vosh.h"  // VoshShouldWait, VoshAdvanceFrame, VoshSetPaused

enum : uint32_t {
  SKIP_UNDECIDED = 0,
  SKIP_SHOW = 1,
  SKIP_SKIP = 2,
  LATE_RESYNC_MS = 725,      // a frame later than this resynchronises the sound
  MAX_SKIPS_IN_ROW = 4,      // at least one frame in five is shown
  REWIND_RESYNC_MS = 300000, // a return to frame 1 resynchronises at most this often
  // Job word bits of DecodeFrame beyond the SliceRun byte.
  DECODE_OPEN_FRAME = 0x100,
  DECODE_CLOSE_FRAME = 0x200,
};

// 1 when the current frame is late and is to be skipped.
int DecideFrameSkip(HVOSH movie, uint32_t test_only);
// Opens the decoding of the current frame; null when it is already decoded,
// its read failed or the movie is closing.
HVOSH BeginFrame(HVOSH movie, uint32_t now);
// Closes the decoding of the current frame: seams, buffer rotation, statistics.
int EndFrame(HVOSH movie, uint32_t now);
// Switches every sound track off (0) or on; 1 when any track reported on.
int SetSoundTracksEnabled(HVOSH movie, int on);
void MoveToFrame(HVOSH movie, uint32_t n);

// One job of a frame: the audio packets (for the run that ends at the last
// slice), then the video of the run.  1 after the job's work, else 0.
int DecodeFrame(HVOSH movie, uint32_t job);
// Copies buffered sound into pull-model sound tracks.
void FeedSoundTracks(HVOSH movie);
