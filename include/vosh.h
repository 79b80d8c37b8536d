// The Vosh library as an application sees it: opening a movie, the playback
// clock, decoding on worker threads, the copy into the caller's pixels, the
// statistics, the last-error text, the built-in movie and the selection of
// the sound system. Everything an application calls or reads is declared
// here; the library's own headers build on this one.
#pragma once
#include <cstdint>

// ---- Threads ----
//
// The library is driven from the application's threads, as the player drives
// it from its one thread. Its own threads work beside them: the workers
// ("VoshAsy0" ...) decode frames, "Vosh IO" reads ahead, "Vosh Snd" mixes.
// They meet the application's calls through the library's locks, through
// semaphores, through the workers' request and completion queues, and
// through ring positions that one side writes and the other reads without a
// lock (a sound track's ring between decoding and mixing, a movie's
// read-ahead ring between the IO thread and the frame reads). The sound
// libraries run threads of their own.
//
// Workers: VoshStartWorkerThread starts one for good. Workers are never
// stopped or joined; they end with the process. Every worker number handed
// to VoshStartAsyncDecompress must name a worker started that way.
//
// What may block, and on what:
// - VoshOpenMovie and VoshCloseMovie may wait in the file system as long as
//   it takes (a FIFO without a writer, a slow mount), and they wait for each
//   other through two library locks. Opens never run on two threads at once
//   (see below), so an open waits only for closes on other threads; a close
//   waits for opens and closes on other threads.
//   - The IO-thread lock. An open from a file or descriptor holds it while
//     it opens the file, while it closes it again (after OPEN_PRELOAD,
//     OPEN_WHOLE_FILE or a failure) and while it starts "Vosh IO". A close
//     of a movie read from a file or descriptor (neither preloaded nor read
//     whole) holds it while it closes the file and, when it ends "Vosh IO",
//     while it joins it. So such a close waits as long as an open on another
//     thread waits in the file system.
//   - The sound lock. An open of a movie with sound, a memory image too,
//     holds it while it opens the sound tracks (a track that finds the sound
//     device closed opens it: the process's first, or the first after
//     VoshInstallSoundOutput changed the output) and while it starts
//     "Vosh Snd". A close of a movie with sound holds it while it closes
//     the tracks and, when it ends "Vosh Snd", while it joins it.
//     VoshInstallSoundOutput holds it while the output's prepare function
//     runs, and "Vosh Snd" while it mixes.
// - A close waits for its movie's decodes on the workers. The close of the
//   last movie read ahead by "Vosh IO" ends "Vosh IO"; the close of the last
//   movie whose sound "Vosh Snd" mixes ends "Vosh Snd"; each waits for its
//   thread to end. Open flag 0x40 keeps both: the close of a movie opened
//   with it ends neither, and leaves them idle for later movies.
// - The frame steps (VoshShouldWait, VoshAdvanceFrame, VoshSetPaused, the
//   asynchronous decode's start and wait, the copy) wait for no other
//   movie's open or close. They may wait for their own movie's reading: a
//   frame whose data was not read yet is read by the step or by a worker,
//   and a movie read without the IO thread fills its buffer in
//   VoshShouldWait. A decode may also wait behind other movies' jobs on the
//   same workers. One exception: a step that restarts its movie's sound
//   (the picture fell behind, a track ran dry, a movie starts over) takes
//   the sound lock, so it may wait for an open on another thread opening its
//   sound tracks and the sound device, for a close closing its tracks, for
//   VoshInstallSoundOutput running an output's prepare function and for
//   "Vosh Snd" mixing.
// - VoshInstallSoundOutput waits for the sound lock.
//
// VoshPrepareOpenALOutput and VoshPreparePulseAudioOutput are only to be
// handed to VoshInstallSoundOutput, which calls them holding the sound lock:
// they set up the mixer, whose state only that lock guards. An application
// never calls them itself.
//
// One thread at a time: the last-error text and the settings that the next
// open takes (the frame-rate override among them) are process-wide data
// without locks. VoshOpenMovie, VoshOverrideFrameRate, VoshGetErrorText and
// VoshStartWorkerThread must never run on two threads at once, and the text
// of a failed call is read before the next of them: opens on two threads at
// once lose each other's error texts and frame-rate overrides. The
// asynchronous decode's start and wait write the text too, but only when
// they fail (a worker that was not started, a second start on a movie still
// decoding, a broken queue); called as the rules here say, they may run for
// different movies on several threads at once.
//
// One thread at a time for each movie: the calls on one HVOSH (the clock,
// stepping, pausing, the asynchronous decode, the copy, the statistics and
// VoshCloseMovie) come from one thread at a time, which may differ from movie
// to movie: several movies may be played and closed on several threads at
// once, beside an open on another thread, within the rule above.
//
// Any thread: VoshGetMilliseconds, VoshGetCpuCount, VoshIsKnownSignature,
// VoshGetBuiltInMovie and VoshInstallSoundOutput (which waits for the sound
// lock).

// ---- The movie handle ----

struct MovieRecord;
// An open movie: returned by VoshOpenMovie, passed to every per-movie call,
// invalid after VoshCloseMovie.
typedef MovieRecord *HVOSH;

// The fields at the start of every movie record that an application may
// read: the picture size and the frame counters. The engine keeps them at
// these offsets; they change only inside the calls on the caller's thread.
struct __attribute__((may_alias)) MovieRecordHead {
  uint32_t width;           // picture size in pixels
  uint32_t height;
  uint32_t frame_count;     // frames in the movie
  uint32_t current_frame;   // 1-based number of the current frame
  uint32_t previous_frame;  // the current frame before the last step
};

inline const MovieRecordHead *VoshGetMovieHead(HVOSH movie) {
  return reinterpret_cast<const MovieRecordHead *>(movie);
}

// ---- OpenFlags: the bits of VoshOpenMovie ----

constexpr uint32_t OPEN_THREE_BUFFER_SETS = 0x8;
constexpr uint32_t OPEN_FULL_RANGE = 0x10;       // full-range default colour matrix
constexpr uint32_t OPEN_START_OFFSET = 0x20;     // take the pending start offset
// 0x40: the close of this movie ends neither "Vosh IO" nor "Vosh Snd" (see
// Threads).
constexpr uint32_t OPEN_TAIL_READ = 0x80;
constexpr uint32_t OPEN_NO_FRAME_BUFFERS_OLD = 0x100;
constexpr uint32_t OPEN_NO_FRAME_BUFFERS = 0x400;
constexpr uint32_t OPEN_SWAP_LUMA_ALPHA = 0x800;
constexpr uint32_t OPEN_RATE_OVERRIDE = 0x1000;  // take VoshOverrideFrameRate's rate
constexpr uint32_t OPEN_PRELOAD = 0x2000;        // read all frames into memory during the open
constexpr uint32_t OPEN_TRACK_LIST = 0x4000;
constexpr uint32_t OPEN_NEVER_SKIP = 0x80000;    // never skip a late frame
constexpr uint32_t OPEN_ALPHA = 0x100000;
constexpr uint32_t OPEN_NO_INITIAL_FILL = 0x200000;
constexpr uint32_t OPEN_READ_RATE = 0x400000;
// The source is an open descriptor, which the movie does not own. The movie
// starts at the descriptor's position at the open: its header is read from
// there and its frame offsets count from there.
constexpr uint32_t OPEN_FILE_DESCRIPTOR = 0x800000;
constexpr uint32_t OPEN_BUFFER_SIZE = 0x1000000;
constexpr uint32_t OPEN_READER_OPENER = 0x2000000;
constexpr uint32_t OPEN_MEMORY_IMAGE = 0x4000000;  // the source is a complete movie image
constexpr uint32_t OPEN_WHOLE_FILE = 0x10000000;

// ---- The copy's flags: a surface type in the low four bits, CopyFlags above ----

constexpr uint32_t SURFACE_BGRA = 5;        // bytes B, G, R, A (also 3)
constexpr uint32_t SURFACE_RGBA = 4;        // bytes R, G, B, A (also 6)
constexpr uint32_t SURFACE_ARGB = 12;       // bytes A, R, G, B
constexpr uint32_t SURFACE_RGB565 = 10;     // 16-bit words: R 11-15, G 5-10, B 0-4
constexpr uint32_t SURFACE_ARGB1555 = 8;    // 16-bit words: A 15, R 10-14, G 5-9, B 0-4 (also 9)

constexpr uint32_t COPY_SURFACE_TYPE_MASK = 0xF;
constexpr uint32_t COPY_SWAP_LUMA_ALPHA = 0x800;
constexpr uint32_t COPY_GREY = 0x20000;
constexpr uint32_t COPY_NEVER_SKIP = 0x80000;

// ---- Statistics records ----

// Over the most recent frames (the run-time statistics line).
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

// Over the whole playback so far (the playback summary).
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

// ---- Sound-system selection ----

struct SoundTrack;
// Function through which the open creates each sound track; 1 when it did.
typedef int (*TrackOpenFunction)(SoundTrack *track, uint32_t rate, uint32_t channels,
                                 uint32_t movie_flags, HVOSH owner);
// Prepares the mixer over one output backend for (rate, channels) and hands
// back the function that opens sound tracks, or null.
typedef TrackOpenFunction (*SoundOutputOpener)(uint32_t rate, uint32_t channels);

// Installs a sound output; 1 when the opener gave a track-open function.
int VoshInstallSoundOutput(SoundOutputOpener opener, uint32_t rate, uint32_t channels);
TrackOpenFunction VoshPrepareOpenALOutput(uint32_t rate, uint32_t channels);
TrackOpenFunction VoshPreparePulseAudioOutput(uint32_t rate, uint32_t channels);

// ---- Entry points ----

// Opens a path, a descriptor (OPEN_FILE_DESCRIPTOR) or a memory image
// (OPEN_MEMORY_IMAGE); null on failure, with the reason in VoshGetErrorText.
HVOSH VoshOpenMovie(uint64_t source, uint32_t flags);
void VoshCloseMovie(HVOSH movie);

// 1 while the next frame is not yet due.
int VoshShouldWait(HVOSH movie);
void VoshAdvanceFrame(HVOSH movie);
// Returns the paused value now in force.
uint32_t VoshSetPaused(HVOSH movie, uint32_t pause);

// Worker threads "VoshAsy0" ... and the asynchronous decode of the current
// frame on the workers named in worker_numbers.
uint32_t VoshGetCpuCount();
int VoshStartWorkerThread(int n);
int VoshStartAsyncDecompress(HVOSH movie, const uint32_t *worker_numbers, int count);
// timeout_us < 0 waits without limit, 0 polls. 1 when the frame is finished
// (or nothing is in progress), 0 when the time ran out.
int VoshWaitAsyncDecompress(HVOSH movie, int timeout_us);

// Copies the current frame to dest at (dest_x, dest_y). pitch is the byte
// distance between rows; a negative pitch means a bottom-up buffer of
// dest_height rows starting at dest. flags: a surface type and CopyFlags.
// Returns 1 when the frame is late (skipped and not drawn, or drawn although
// late), else 0.
uint32_t VoshCopyFrameToPixels(HVOSH movie, void *dest, int32_t pitch, uint32_t dest_height,
                               uint32_t dest_x, uint32_t dest_y, uint32_t flags);

// Statistics over the last n finished frames (0: the ring's size less one).
// Does nothing when either pointer is null; a movie without statistics (the
// whole-file load) leaves the record cleared.
void VoshFillRecentStats(HVOSH movie, RecentStats *out, uint32_t n);
// The summary of the whole playback so far; same refusals.
void VoshFillPlaybackSummary(HVOSH movie, PlaybackSummary *out);

// The last-error text, never null.
const char *VoshGetErrorText();
// Stores the frame rate that the next open uses (with OPEN_RATE_OVERRIDE).
void VoshOverrideFrameRate(uint32_t num, uint32_t den);
// 1 for the signature word of a movie this library plays.
int VoshIsKnownSignature(uint32_t signature);
// Milliseconds of the monotonic clock, rounded to nearest, wrapping at 2^32.
uint32_t VoshGetMilliseconds();
// The built-in one-frame movie image, opened with OPEN_MEMORY_IMAGE.
const uint8_t *VoshGetBuiltInMovie();
