// The movie record: everything the engine keeps about one open movie, the
// records it holds (sound tracks, slice layout, first-generation scratch
// sizes), the open's options and the library's internal per-movie calls.
// The handle, the open flags and the entry points are in vosh.h.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "vosh.h"
#include "engine/container.h"
#include "engine/framebuffers.h"
#include "engine/platform/locks.h"
#include "engine/reader.h"
#include "video/gen2/slices.h"

// MovieFlags bits the open derives.
constexpr uint32_t MOVIE_KEEP_THREADS = 0x40;
constexpr uint32_t MOVIE_FIRST_GEN_F_TO_H = 0x8000;
constexpr uint32_t MOVIE_NO_BACKGROUND_READ = 0x8000000;

// The first-generation codec's per-row bundle buffer sizes.
struct FirstGenScratchSizes {
  uintptr_t block_types;
  uintptr_t block_subtypes;
  uintptr_t colors;
  uintptr_t patterns;
  uintptr_t x_offsets;
  uintptr_t y_offsets;
  uintptr_t intra_dc;
  uintptr_t inter_dc;
  uintptr_t runs;
};

struct AudioDecoder;
struct SoundTrack;

// The nine operation slots of a sound track, filled by the sound output.
struct TrackOps {
  int (*Ready)(SoundTrack *track);
  int (*GetRegion)(SoundTrack *track, uint8_t **dest, uint32_t *bytes);
  void (*Service)(SoundTrack *track, uint32_t bytes);
  void (*SetVolume)(SoundTrack *track, int32_t volume);
  void (*SetPan)(SoundTrack *track, int32_t pan);
  void (*SetPaused)(SoundTrack *track, uint32_t paused);
  int (*SetEnabled)(SoundTrack *track, uint32_t on);
  void (*Close)(SoundTrack *track);
  void (*SetSpeakerGains)(SoundTrack *track, const float *gains, uint32_t count);
};

// One played sound track: its ring of 16-bit samples (filled by the frame
// decode job, drained by the mixer) and the mixer's state.
struct SoundTrack {
  std::atomic<uint8_t *> write;  // next byte the decoder writes
  uint32_t size;                 // ring bytes
  uint8_t *start;                // null while the track is not open
  uint8_t *end;
  AudioDecoder *decoder;
  std::atomic<uint8_t *> read;   // next byte the mixer reads
  uint32_t source_rate;
  uint32_t rate;
  uint32_t channels;
  uint32_t threshold;
  std::atomic<uint32_t> enabled;
  uint32_t latency;
  uint32_t speed;                // 16.16 playback speed
  uint32_t last_full_lead_frame;
  uint32_t fill_target;
  int32_t service_code;          // minus the service interval in ms
  std::atomic<uint32_t> underrun;
  float volume;
  float pan;
  float speaker_gains[16];
  int32_t previous_left;
  int32_t previous_right;
  uint32_t step;
  uint32_t position;
  uint32_t fraction;
  std::atomic<uint32_t> paused;
  HVOSH owner;
  SoundTrack *newer;
  SoundTrack *older;
  TrackOps ops;
  uint32_t feed_mask;            // all ones unless the output sets one
};

// The settings one open consumes.
struct OpenOptions {
  uint64_t start_offset;
  uint64_t buffer_size;
  uint32_t rate_num;
  uint32_t rate_den;
  uint32_t read_rate;
  uint32_t track_count;
  const uint32_t *track_list;
  IoOpenFunction reader_opener;
};

constexpr uint32_t STATS_RING_COUNT = 7;

// The record of one open movie, 256-byte aligned at the start of its block;
// the u32 just before it holds the distance back to the block's start.
struct alignas(256) MovieRecord {
  // Picture and frame counters.
  uint32_t width;
  uint32_t height;
  uint32_t frame_count;
  uint32_t current_frame;
  uint32_t previous_frame;
  uint32_t rate_num;
  uint32_t rate_den;
  std::atomic<uint32_t> read_failed;
  std::atomic<uint32_t> movie_flags;
  uint32_t video_flags;
  uint32_t largest_frame_size;
  int32_t sound_track_count;
  uint32_t sound_on;
  uint32_t open_complete;
  std::atomic<uint32_t> read_pending;
  std::atomic<uint32_t> closing;
  float color_matrix[16];
  uint64_t start_offset;
  uint64_t read_ahead_size;
  FrameBufferSet *frame_buffers;
  MovieRecord *next;                 // movie list link, under the movie-list lock
  uint8_t *frame_data;
  uint32_t *played_tracks;
  uint64_t file_size_less_8;
  uint64_t io_buffer_size;
  uint64_t memory_used;
  uint64_t frame_offset;
  std::atomic<uint32_t> async_slots[8];
  std::atomic<uint64_t> window_start;
  uint32_t signature;
  std::atomic<uint32_t> paused;
  uint32_t frame_size;
  uint32_t frame_is_key;
  std::atomic<uint32_t> open_track_count;
  SliceLayout slice_layout;
  FirstGenScratchSizes first_gen_scratch;
  SoundTrack *tracks;
  ParseTarget *parse_target;
  uint64_t *frame_index;
  std::atomic<uint32_t> registered;
  uint32_t all_key;
  const uint8_t *track_buffer_sizes;  // T little-endian words each
  const uint8_t *track_formats;
  const uint8_t *track_ids;
  const uint8_t *preloaded_data;
  uint32_t read_rate;
  int32_t read_ahead_start_frame;
  uint32_t requested_frame;
  int32_t read_debt_ms;               // simulated read rate's time debt
  IoReader reader;
  RecursiveMutex io_request_lock;
  RecursiveMutex io_buffer_lock;
  RecursiveMutex sound_lock;
  uint8_t *read_ahead_block;
  uint32_t *stats_rings[STATS_RING_COUNT];
  uint32_t stats_size;
  int32_t stats_index;
  uint32_t index_slot_count;
  // Playback clock and statistics counters.
  uint32_t frames_finished;
  uint32_t first_end_time;
  uint32_t sound_restarts;
  uint32_t draw_start;
  uint32_t clock_start;
  uint32_t frames_at_clock_start;
  int32_t tolerance_ms;
  uint32_t slowest_ms;
  uint32_t slowest_frame;
  uint32_t second_ms;
  uint32_t second_frame;
  std::atomic<int32_t> video_ms;
  std::atomic<int32_t> audio_ms;
  int32_t copy_ms;
  uint32_t open_ms;
  uint32_t file_rate_num;
  uint32_t file_rate_den;
  uint32_t last_finished_frame;
  // Set when a one-frame movie with a single buffer set steps back onto the
  // frame it has already decoded: the pass runs its bookkeeping and sound
  // again but leaves the picture, which the copy may be reading, alone.
  uint32_t repeat_keeps_picture;
  uint32_t last_end_time;
  uint32_t rewind_time;
  uint32_t rewind_resync;
  uint32_t skip_state;
  uint32_t resync_wanted;
  int32_t frames_skipped;
  uint32_t skips_in_row;
  int32_t pause_offset;
  uint8_t *frame_data_buffer;
  uint8_t *frame_buffer_block;
  uint8_t *seam_records;
  uint8_t *audio_block;
  const uint8_t *header_extra;
  uint32_t header_extra_left;
};

// Applications read the record's first fields through MovieRecordHead.
static_assert(std::is_standard_layout_v<MovieRecord>);
#define VOSH_SAME_HEAD_FIELD(f)                                             \
  static_assert(offsetof(MovieRecord, f) == offsetof(MovieRecordHead, f) && \
                std::is_same_v<decltype(MovieRecord::f), decltype(MovieRecordHead::f)>)
VOSH_SAME_HEAD_FIELD(width);
VOSH_SAME_HEAD_FIELD(height);
VOSH_SAME_HEAD_FIELD(frame_count);
VOSH_SAME_HEAD_FIELD(current_frame);
VOSH_SAME_HEAD_FIELD(previous_frame);
#undef VOSH_SAME_HEAD_FIELD
static_assert(sizeof(MovieRecordHead) == offsetof(MovieRecord, rate_num));

// The block that holds a record: the distance word just before it.
void *GetMovieBlock(MovieRecord *movie);

HVOSH OpenMovieWithOptions(uint64_t source, const OpenOptions *options, uint32_t flags);
// Makes frame n current (0 counts as 1).
void MoveToFrame(HVOSH movie, uint32_t n);

// Test seam, null in production: the open calls it each time it has let go
// of the sound lock after opening a sound track (with that track), and once
// after the sound tracks (track null).
typedef void (*OpenSoundHook)(HVOSH movie, SoundTrack *track);
extern std::atomic<OpenSoundHook> g_open_sound_hook;

// The pending settings of the next open that have no setter of their own.
struct PendingOpenSettings {
  uint64_t start_offset;
  uint64_t buffer_size;
  uint32_t read_rate;
  uint32_t track_count;
  uint32_t track_list[MAX_SOUND_TRACKS];
  IoOpenFunction reader_opener;
};
extern PendingOpenSettings g_pending_open;

// The default colour matrices, row by row.
extern const float YUV_TO_RGB_FULL_RANGE[16];
extern const float YUV_TO_RGB_VIDEO_RANGE[16];

// Calls into the codecs, the sound side and the background threads.
void ComputeFirstGenScratchSizes(FirstGenScratchSizes *sizes, uint32_t width);
// The track-open function the installed sound output gave, or null.
TrackOpenFunction GetTrackOpenFunction();
// Changes the count of sound tracks open over all movies (under the sound lock).
void ChangeOpenTrackCount(int32_t delta);
void RegisterMovie(MovieRecord *movie);
// Counts one more user of the IO thread, starting it when needed (under the
// IO-thread lock); 1 when it runs.
int AcquireIoThread();
// Counts one more user of the sound thread, starting it when needed; lowers
// its wait to the service interval -service_code. 1 when it runs.
int AcquireSoundThread(int32_t service_code);
// Resets the sound thread's wait to 13 ms when no movie is listed.
void ResetSoundWaitIfNoMovies();
int IsIoThreadRunning();
int IsSoundThreadRunning();
void PostIoThread();
void PostSoundThread();
void SetIoCurrentMovie(MovieRecord *movie);
// The reader's lock hooks on the movie's IO-buffer lock.
void LockIoBuffer(IoReader *reader);
int TryLockIoBuffer(IoReader *reader);
void UnlockIoBuffer(IoReader *reader);
void TestIoBufferLock(IoReader *reader);
