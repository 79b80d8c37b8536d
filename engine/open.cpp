// The movie open: header, sound-track table and frame index in, the movie's
// record and memory blocks out.
#include <cstring>
#include <new>

#include "audio/codec/audio_decoder.h"
#include "engine/container.h"
#include "engine/framebuffers.h"
#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/platform/cpu.h"
#include "engine/platform/locks.h"
#include "engine/platform/threads.h"
#include "engine/reader.h"
#include "engine/utils.h"

PendingOpenSettings g_pending_open = {0, UINT64_MAX, UINT32_MAX, 1, {0}, nullptr};
std::atomic<OpenSoundHook> g_open_sound_hook{nullptr};

static void CallOpenSoundHook(MovieRecord *m, SoundTrack *track) {
  const OpenSoundHook hook = g_open_sound_hook.load(std::memory_order_acquire);
  if (hook) hook(m, track);
}

const float YUV_TO_RGB_FULL_RANGE[16] = {
    1.402f, -0.71414f, 0.0f, 0.0f,                 //
    0.0f, -0.34414f, 1.772f, 0.0f,                 //
    -0.703749f, 0.5312151f, -0.8894745f, 1.0f,     //
    1.0f, 1.0f, 1.0f, 0.0f,
};
const float YUV_TO_RGB_VIDEO_RANGE[16] = {
    1.5957947f, -0.8134766f, 0.0f, 0.0f,           //
    0.0f, -0.391449f, 2.0178223f, 0.0f,            //
    -0.8740694f, 0.5317823f, -1.0859107f, 1.0f,    //
    1.1641235f, 1.1641235f, 1.1641235f, 0.0f,
};

static const uint32_t DEFAULT_TRACK_LIST[1] = {0};

enum : uint32_t {
  RECORD_BLOCK_SLACK = 256,
  WHOLE_FILE_SLACK = 2312,
  WHOLE_FILE_RECORD_AT = 1280,
  FRAME_DATA_PADDING = 1280,
  PRELOAD_PADDING = 1024,
  TABLE_BUFFER_SLACK = 264,
  MAX_OUTPUT_RATE = 256000,
};

void *GetMovieBlock(MovieRecord *movie) {
  uint32_t distance;
  memcpy(&distance, (uint8_t *)movie - 4, 4);
  return (uint8_t *)movie - distance;
}

// Places the record inside its block at (block + at) rounded down to 256,
// with the distance back stored in the word before it.
static MovieRecord *PlaceRecord(uint8_t *block, uint32_t at, const MovieRecord *from) {
  uint8_t *p = (uint8_t *)(((uintptr_t)block + at) & ~(uintptr_t)255);
  uint32_t distance = (uint32_t)(p - block);
  memcpy(p - 4, &distance, 4);
  memcpy((void *)p, (const void *)from, sizeof(MovieRecord));
  return (MovieRecord *)p;
}

static void LockGlobal(RecursiveMutex *lock) {
  if (g_library_locks_ready.load(std::memory_order_acquire)) LockRecursiveMutex(lock);
}
static void UnlockGlobal(RecursiveMutex *lock) {
  if (g_library_locks_ready.load(std::memory_order_acquire)) UnlockRecursiveMutex(lock);
}

static void CloseReader(IoReader *reader) {
  if (!reader->ops.Close) return;
  LockGlobal(&g_io_thread_lock);
  reader->ops.Close(reader);
  UnlockGlobal(&g_io_thread_lock);
}

// Undoes a failed open: closes the reader, frees the blocks made so far,
// leaves the message and returns null.
static HVOSH AbandonOpen(MovieRecord *m, int reader_open, uint8_t *record_block,
                         const char *message) {
  if (message) SetErrorText(message);
  if (reader_open) CloseReader(&m->reader);
  uint8_t *frames = m->frame_buffer_block;
  uint8_t *read_ahead = m->read_ahead_block;
  uint8_t *preload = (m->movie_flags & OPEN_MEMORY_IMAGE) ? nullptr : (uint8_t *)m->preloaded_data;
  AlignedFree(frames);
  AlignedFree(read_ahead);
  AlignedFree(preload);
  if (record_block) {
    memset((void *)m, 0, sizeof(MovieRecord));
    AlignedFree(record_block);
  }
  return nullptr;
}

// Asked before a block is made for the file's bytes up to `end`, a size
// the file itself claims: 0 when the file holds no byte at end - 1, so the
// load could only come back short. A block no allocation could give is
// left to the allocation, which fails as out of memory.
static int FileHoldsLoad(IoReader *reader, uint64_t block_bytes, uint64_t end) {
  if (end == 0 || block_bytes > (uint64_t)PTRDIFF_MAX) return 1;
  uint8_t last;
  return reader->ops.ReadHeader(reader, (int64_t)(end - 1), &last, 1) == 1;
}

static float Fraction32767(const uint8_t *p) { return (float)(int16_t)ReadLe16(p) * (1.0f / 32767.0f); }

// ColorMatrix from HeaderExtra's constants or matrix, or a default table.
static void SetColorMatrix(MovieRecord *m, uint32_t extra_size) {
  float *cm = m->color_matrix;
  const uint8_t *extra = m->header_extra;
  const uint32_t vf = m->video_flags;
  if ((vf & VIDEO_FLAG_EXTRA_PLANE) && extra_size >= 12) {
    memset(cm, 0, sizeof m->color_matrix);
    for (int i = 0; i < 5; i++) cm[i] = Fraction32767(extra + 2 * i);
    cm[5] = (float)(int16_t)ReadLe16(extra + 10);
    m->header_extra += 12;
    m->header_extra_left -= 12;
    return;
  }
  if (!(vf & VIDEO_FLAG_EXTRA_PLANE) && (vf & VIDEO_FLAG_OWN_MATRIX) && extra_size >= 24) {
    for (int row = 0; row < 4; row++) {
      for (int k = 0; k < 3; k++)
        cm[row * 4 + k] = (float)(int16_t)ReadLe16(extra + 2 * (row * 3 + k)) * (1.0f / 4096.0f);
      cm[row * 4 + 3] = 0.0f;
    }
    m->header_extra += 24;
    m->header_extra_left -= 24;
    return;
  }
  // Also for a revision without HeaderExtra whose flags ask for one.
  memcpy(cm, (m->movie_flags & VIDEO_FLAG_FULL_RANGE) ? YUV_TO_RGB_FULL_RANGE : YUV_TO_RGB_VIDEO_RANGE,
         sizeof m->color_matrix);
  if (IsFirstGenRevisionFOrG(m->signature)) {
    for (int k = 0; k < 3; k++) {
      float t = cm[k];
      cm[k] = cm[4 + k];
      cm[4 + k] = t;
    }
  }
}

// 1 when a ring holds at most two seconds of its track's sound.
static int IsRingWithinBound(uint32_t format, uint32_t ring) {
  const uint32_t rate = format & TRACK_FORMAT_RATE_MASK;
  const uint32_t channels = 1 + ((format & TRACK_FORMAT_STEREO) ? 1 : 0);
  return (uint64_t)ring <= (uint64_t)rate * channels * 4;
}

// 1 when a track of this format word and ring size can be played: a codec
// kind, a kept track-open function and a ring within the bound.
static int IsTrackPlayable(uint32_t format, uint32_t ring, TrackOpenFunction open_track) {
  return (format & TRACK_FORMAT_CODEC_MASK) != 0 && open_track != nullptr && ring != 0 &&
         IsRingWithinBound(format, ring);
}

// Matches the requested identifiers to file tracks, opens a sound track for
// each through the kept track-open function and lays out their rings and
// decoders in the audio block. 1 when the background threads are to serve
// the movie's sound: the caller lists it once everything they touch exists.
static int OpenSoundTracks(MovieRecord *m, uint32_t track_count, const uint32_t *track_list) {
  const uint32_t T = (uint32_t)m->sound_track_count;
  const TrackOpenFunction open_track = GetTrackOpenFunction();
  uint32_t matched = 0;
  uint64_t block_bytes = 0;
  for (uint32_t i = 0; i < track_count; i++) {
    const uint32_t id = track_list[i];
    int repeat = 0;
    for (uint32_t j = 0; j < i && !repeat; j++) repeat = track_list[j] == id;
    if (repeat) continue;
    for (uint32_t k = 0; k < T; k++) {
      if (ReadLe32(m->track_ids + 4 * k) != id) continue;
      const uint32_t format = ReadLe32(m->track_formats + 4 * k);
      const uint32_t channels = 1 + ((format & TRACK_FORMAT_STEREO) ? 1 : 0);
      const uint32_t ring = ComputeTrackRingBytes(ReadLe32(m->track_buffer_sizes + 4 * k));
      m->played_tracks[matched++] = k;
      // Every matched track has its ring and decoder in the block, played or
      // not, except a ring over the two-second bound: its size comes from the
      // file and is never allocated.
      if (IsRingWithinBound(format, ring))
        block_bytes += (uint64_t)ring + GetAudioDecoderSize(format & TRACK_FORMAT_RATE_MASK, channels);
      break;
    }
  }
  m->open_track_count = matched;
  if (matched == 0) return 0;
  if (block_bytes != 0) {
    AllocPlanStorage storage;
    InitAllocPlan(&storage.plan, 32);
    uint8_t *block = (uint8_t *)AllocatePlan(&storage.plan, block_bytes);
    if (!block) {
      m->open_track_count = 0;
      return 0;
    }
    m->audio_block = block;
    m->memory_used += (block_bytes + 31) & ~(uint64_t)31;
  }

  uint8_t *at = m->audio_block;
  uint32_t kept = 0;
  for (uint32_t n = 0; n < matched; n++) {
    const uint32_t k = m->played_tracks[n];
    SoundTrack *track = &m->tracks[kept];
    track->start = nullptr;
    const uint32_t format = ReadLe32(m->track_formats + 4 * k);
    const uint32_t rate = format & TRACK_FORMAT_RATE_MASK;
    const uint32_t channels = 1 + ((format & TRACK_FORMAT_STEREO) ? 1 : 0);
    const uint32_t ring = ComputeTrackRingBytes(ReadLe32(m->track_buffer_sizes + 4 * k));
    const uint32_t decoder_flags = GetTrackDecoderFlags(format, m->movie_flags);
    int keep = IsTrackPlayable(format, ring, open_track);
    uint32_t out_rate = rate;
    if (keep) {
      if (m->rate_num != 0 && m->rate_den != 0) {
        double r = (double)rate * m->rate_num * m->file_rate_den /
                   ((double)m->file_rate_num * m->rate_den);
        out_rate = r >= (double)MAX_OUTPUT_RATE ? (uint32_t)MAX_OUTPUT_RATE : (uint32_t)r;
      }
      if (out_rate >= MAX_OUTPUT_RATE) out_rate = MAX_OUTPUT_RATE;
      // The track-open function links the track where the mixer serves it:
      // its ring is complete before the sound lock lets the mixer see it.
      LockGlobal(&g_sound_lock);
      keep = open_track(track, out_rate, channels, m->movie_flags, m);
      if (keep) {
        track->source_rate = rate;
        if (track->threshold == 0) track->threshold = 0xFFFFFFFFu;
        if (track->feed_mask == 0) track->feed_mask = 0xFFFFFFFFu;
        track->start = at;
        track->end = at + ring;
        track->write = at;
        track->read = at;
        track->size = ring;
      }
      UnlockGlobal(&g_sound_lock);
      if (keep) CallOpenSoundHook(m, track);
    }
    if (keep) {
      uint64_t lead_ms = track->latency < 750 ? 750 - track->latency : 0;
      uint64_t target = (((uint64_t)channels * out_rate * lead_ms * 2) >> 3) / 125;
      target &= ~(uint64_t)63;
      if ((int64_t)ring - (int64_t)target <= 15) target = ring - 16;
      track->fill_target = (uint32_t)target;
      track->decoder = InitAudioDecoder(at + ring, rate, channels, decoder_flags);
      if (!track->decoder) {
        LockGlobal(&g_sound_lock);
        if (track->ops.Close) track->ops.Close(track);
        UnlockGlobal(&g_sound_lock);
        track->start = nullptr;
        keep = 0;
      }
      at += ring;
      at += GetAudioDecoderSize(rate, channels);
      // Frames from which on the track no longer has its full lead of sound.
      uint64_t lead_frames = (uint64_t)m->file_rate_num * 3 / ((uint64_t)m->file_rate_den * 4);
      track->last_full_lead_frame = lead_frames < m->frame_count ? m->frame_count - (uint32_t)lead_frames : 0;
      if (track->speed == 0) track->speed = 0x10000;
    }
    if (keep) {
      m->played_tracks[kept++] = k;
    } else {
      memset((void *)track, 0, sizeof(SoundTrack));
    }
  }
  if (kept == 0) m->tracks[0].speed = 0x10000;
  m->open_track_count = kept;
  if (kept == 0) return 0;

  m->sound_on = 1;
  LockGlobal(&g_sound_lock);
  ChangeOpenTrackCount((int32_t)kept);
  UnlockGlobal(&g_sound_lock);
  int32_t c = m->tracks[0].service_code;
  if (c <= 0) {
    if (!InitRecursiveMutex(&m->sound_lock)) {
      m->tracks[0].service_code = 1;
      return 0;
    }
    ResetSoundWaitIfNoMovies();
    if (!AcquireSoundThread(c)) {
      DestroyRecursiveMutex(&m->sound_lock);
      m->tracks[0].service_code = 1;
      return 0;
    }
    return 1;
  }
  if (c != 2) return 0;
  if (InitRecursiveMutex(&m->sound_lock)) return 1;
  // Without its lock the movie is one the sound thread passes over.
  m->tracks[0].service_code = 1;
  return 0;
}

HVOSH VoshOpenMovie(uint64_t source, uint32_t flags) {
  OpenOptions options;
  options.start_offset = g_pending_open.start_offset;
  options.buffer_size = g_pending_open.buffer_size;
  GetPendingFrameRate(&options.rate_num, &options.rate_den);
  options.read_rate = g_pending_open.read_rate;
  options.track_count = g_pending_open.track_count;
  options.track_list = g_pending_open.track_list;
  options.reader_opener = g_pending_open.reader_opener;
  g_pending_open.start_offset = 0;
  g_pending_open.buffer_size = UINT64_MAX;
  ResetPendingFrameRate();
  g_pending_open.read_rate = UINT32_MAX;
  g_pending_open.reader_opener = nullptr;
  return OpenMovieWithOptions(source, &options, flags);
}

HVOSH OpenMovieWithOptions(uint64_t source, const OpenOptions *options, uint32_t flags) {
  static const OpenOptions NO_OPTIONS = {0, UINT64_MAX, UINT32_MAX, 0, UINT32_MAX, 1, DEFAULT_TRACK_LIST, nullptr};
  if (!options) options = &NO_OPTIONS;

  // 1. Preparations.
  UpdateCpuFeatures(0, 0);
  SelectHalfPelKernels();
  AllocPlanStorage plan_storage;
  AllocPlan *plan = &plan_storage.plan;
  InitAllocPlan(plan, 32);
  uint32_t track_count = 1;
  const uint32_t *track_list = DEFAULT_TRACK_LIST;
  if (flags & OPEN_TRACK_LIST) {
    track_count = options->track_list ? options->track_count : 0;
    track_list = options->track_list;
  }
  const uint32_t start_time = VoshGetMilliseconds();
  ClearErrorText();
  InitLibraryLocks();

  // The record is built here and copied into its block once that exists.
  alignas(MovieRecord) unsigned char record_space[sizeof(MovieRecord)];
  memset(record_space, 0, sizeof record_space);
  MovieRecord *m = new (record_space) MovieRecord();
  IoReader *reader = &m->reader;

  // 2. Header.
  const int memory = (flags & OPEN_MEMORY_IMAGE) != 0;
  const uint8_t *image = memory ? (const uint8_t *)(uintptr_t)source : nullptr;
  uint8_t header_bytes[MOVIE_HEADER_SIZE];
  memset(header_bytes, 0, sizeof header_bytes);
  int reader_open = 0;
  if (memory) {
    if (!image) {
      SetErrorText("Error opening file.");
      return nullptr;
    }
    memcpy(header_bytes, image, MOVIE_HEADER_SIZE);
    flags &= ~(uint32_t)OPEN_WHOLE_FILE;  // an image is already whole
  } else {
    SetReaderHostHooks(reader);
    if (flags & OPEN_START_OFFSET) reader->start_offset = options->start_offset;
    IoOpenFunction opener = OpenFileReader;
    if ((flags & OPEN_READER_OPENER) && options->reader_opener) opener = options->reader_opener;
    LockGlobal(&g_io_thread_lock);
    int opened = opener(reader, source, flags);
    UnlockGlobal(&g_io_thread_lock);
    if (!opened) {
      if (VoshGetErrorText()[0] == 0) SetErrorText("Error opening file.");
      return nullptr;
    }
    reader_open = 1;
    m->start_offset = reader->start_offset;
    reader->ops.ReadHeader(reader, 0, header_bytes, MOVIE_HEADER_SIZE);
  }
  MovieHeader h;
  ParseMovieHeader(header_bytes, &h);

  // 3-6. Header checks, in this order.
  uint32_t height = (uint32_t)h.height;
  if (h.height < 0) height += 0x7F000000u;
  if (!VoshIsKnownSignature(h.signature) || reader->error)
    return AbandonOpen(m, reader_open, nullptr, "Not a Vosh file.");
  const uint32_t T = h.sound_track_count & ~0x40000000u;
  if (h.frame_count == 0)
    return AbandonOpen(m, reader_open, nullptr, "The file doesn't contain any compressed frames yet.");
  uint32_t width = (uint32_t)h.width;
  if (h.width < 0) width = 0u - width;
  const uint32_t F = h.frame_count, S = h.index_slot_count;
  if (T > MAX_SOUND_TRACKS || S < F || S > MAX_INDEX_SLOTS || (width | height) > MAX_PICTURE_SIDE ||
      h.frame_rate_num == 0 || h.frame_rate_den == 0)
    return AbandonOpen(m, reader_open, nullptr, "The file has a corrupt header.");

  // 7. The record's fields from the header.
  m->width = width;
  m->height = height;
  m->signature = h.signature;
  m->video_flags = h.video_flags;
  uint32_t mf = flags;
  if (mf & OPEN_NO_FRAME_BUFFERS_OLD) mf = (mf & ~(uint32_t)OPEN_NO_FRAME_BUFFERS_OLD) | OPEN_NO_FRAME_BUFFERS;
  mf |= h.video_flags & 0x60013u;
  mf = (mf & ~(uint32_t)VIDEO_FLAG_EXTRA_PLANE) | (h.video_flags & VIDEO_FLAG_EXTRA_PLANE);
  if (!(h.video_flags & VIDEO_FLAG_ALPHA)) mf &= ~(uint32_t)OPEN_ALPHA;
  if (IsFirstGenRevisionFToH(h.signature)) mf |= MOVIE_FIRST_GEN_F_TO_H;
  m->movie_flags = mf;
  const uint32_t E = GetHeaderExtraSize(h.signature, h.video_flags);
  m->frame_count = F;
  if ((flags & OPEN_RATE_OVERRIDE) && options->rate_num != UINT32_MAX) {
    m->rate_num = options->rate_num;
    m->rate_den = options->rate_den;
  } else {
    m->rate_num = h.frame_rate_num;
    m->rate_den = h.frame_rate_den;
  }
  m->file_rate_num = h.frame_rate_num;
  m->file_rate_den = h.frame_rate_den;
  m->file_size_less_8 = h.file_size_less_8;
  m->sound_track_count = (int32_t)T;
  m->largest_frame_size = h.largest_frame_size;
  m->index_slot_count = S;
  const uint32_t rate_sum = h.frame_rate_num + h.frame_rate_den / 2;
  const uint32_t R = h.frame_rate_den > rate_sum ? 1 : rate_sum / h.frame_rate_den;
  m->stats_size = R;

  // 8. Whole-file load: one block with the record and the file's bytes.
  if (flags & OPEN_WHOLE_FILE) {
    const uint64_t file_size = (uint64_t)h.file_size_less_8 + 8;
    const uint64_t block_bytes = (uint64_t)h.file_size_less_8 + WHOLE_FILE_SLACK + sizeof(MovieRecord);
    if (!FileHoldsLoad(reader, block_bytes, file_size))
      return AbandonOpen(m, reader_open, nullptr, "Error reading Vosh header.");
    uint8_t *block = (uint8_t *)AlignedAlloc(block_bytes);
    if (!block) return AbandonOpen(m, reader_open, nullptr, "Out of memory.");
    m->movie_flags |= MOVIE_NO_BACKGROUND_READ | OPEN_PRELOAD;
    m->memory_used = block_bytes;
    m = PlaceRecord(block, WHOLE_FILE_RECORD_AT, m);
    reader = &m->reader;
    reader->movie = m;
    uint8_t *data = (uint8_t *)(((uintptr_t)m + sizeof(MovieRecord) + 15) & ~(uintptr_t)15);
    reader->ops.SetBuffer(reader, nullptr, 0, file_size, 0);
    uint64_t got = reader->ops.ReadHeader(reader, 0, data, file_size);
    CloseReader(reader);
    reader->direct_read_ms = 0;
    if (got != file_size) return AbandonOpen(m, 0, block, "Error reading Vosh header.");
    m->preloaded_data = data;
    return m;
  }

  // The image's own size field bounds what may be read of it; checked
  // before the record block, whose widened index is sized by the slot count.
  if (memory && MOVIE_HEADER_SIZE + (uint64_t)E + (uint64_t)T * 12 + ((uint64_t)S + 1) * 4 >
                    (uint64_t)h.file_size_less_8 + 8)
    return AbandonOpen(m, 0, nullptr, "Error reading Vosh header.");

  // 9. Record block.
  uint8_t *extra_buffer = nullptr;
  uint8_t *table_buffer = nullptr;
  for (uint32_t i = 0; i < STATS_RING_COUNT; i++) AddPlanBlock(plan, (void **)&m->stats_rings[i], (uint64_t)R * 4);
  if (IsSecondGenSignature(h.signature)) {
    uint64_t records = SLICE_COUNT_TABLE[mf & 3] - 1;
    uint64_t stride = (((uint64_t)width + 31) >> 5) * 4 + 4;
    AddPlanBlock(plan, (void **)&m->seam_records, records * stride);
  }
  AddPlanBlock(plan, (void **)&m->tracks, (uint64_t)(track_count > 0 ? track_count : 1) * sizeof(SoundTrack));
  AddPlanBlock(plan, (void **)&m->played_tracks, (uint64_t)track_count * 4);
  if (memory) {
    AddPlanBlock(plan, (void **)&m->frame_index, (uint64_t)S * 8 + 16);
  } else {
    AddPlanBlock(plan, (void **)&extra_buffer, E);
    AddPlanBlock(plan, (void **)&table_buffer, (uint64_t)T * 12 + (uint64_t)S * 8 + TABLE_BUFFER_SLACK);
  }
  if (IsFirstGenSignature(h.signature)) ComputeFirstGenScratchSizes(&m->first_gen_scratch, (width + 15) & ~15u);
  const uint64_t record_head = sizeof(MovieRecord) + RECORD_BLOCK_SLACK;
  const uint64_t record_plan_size = GetPlanSize(plan);
  uint8_t *record_block = (uint8_t *)AllocatePlan(plan, record_head);
  if (!record_block) return AbandonOpen(m, reader_open, nullptr, "Out of memory.");
  // Everything after the statistics rings (seam and sound-track records, the
  // played-track list, the table buffers) starts empty. The rings are written
  // before they are read and may be large, so they are left untouched.
  {
    uint8_t *after_rings = (uint8_t *)m->stats_rings[STATS_RING_COUNT - 1] + (uint64_t)R * 4;
    uint8_t *block_end = record_block + ((record_head + 31) & ~(uint64_t)31) + record_plan_size;
    if (after_rings < block_end) memset(after_rings, 0, (size_t)(block_end - after_rings));
  }
  m->memory_used += record_plan_size + record_head;
  m = PlaceRecord(record_block, RECORD_BLOCK_SLACK, m);
  reader = &m->reader;
  reader->movie = m;
  for (uint32_t i = 1; i < STATS_RING_COUNT; i++) m->stats_rings[i][0] = 0;

  // 10. Tables.
  const uint8_t *raw_index;
  if (memory) {
    m->header_extra = image + MOVIE_HEADER_SIZE;
    m->track_buffer_sizes = image + MOVIE_HEADER_SIZE + E;
    raw_index = m->track_buffer_sizes + (uint64_t)T * 12;
  } else {
    if (E > 0) reader->ops.ReadHeader(reader, -1, extra_buffer, E);
    m->header_extra = extra_buffer;
    uint8_t *tables = (uint8_t *)(((uintptr_t)table_buffer + 128) & ~(uintptr_t)127) + MOVIE_HEADER_SIZE;
    reader->ops.ReadHeader(reader, -1, tables, (uint64_t)T * 12 + (uint64_t)S * 4 + 4);
    m->track_buffer_sizes = tables;
    raw_index = tables + (uint64_t)T * 12;
    m->frame_index = (uint64_t *)(((uintptr_t)raw_index + 7) & ~(uintptr_t)7);
    if (reader->error) return AbandonOpen(m, 1, record_block, "Error reading Vosh header.");
  }
  m->header_extra_left = E;
  m->track_formats = m->track_buffer_sizes + (uint64_t)T * 4;
  m->track_ids = m->track_buffer_sizes + (uint64_t)T * 8;

  // 11. Colour matrix.
  SetColorMatrix(m, E);

  // 12. Slice layout, frame index, frame buffers.
  ComputeSliceLayout(h.signature, m->movie_flags, width, height, &m->slice_layout);
  FrameIndexFacts facts;
  memset(&facts, 0, sizeof facts);
  facts.file_size_less_8 = m->file_size_less_8;
  if (!WidenFrameIndex(raw_index, m->frame_index, F, h.largest_frame_size, R, &facts))
    return AbandonOpen(m, reader_open, record_block, "This file has bad frame size data.");
  // A file may continue past a wrap of its 32-bit offsets; an image ends
  // where its own size field says. The widened offsets never decrease, so
  // the end of the last frame bounds every frame.
  if (memory && (m->frame_index[F] & ~(uint64_t)3) > (uint64_t)h.file_size_less_8 + 8)
    return AbandonOpen(m, 0, record_block, "This file has bad frame size data.");
  m->file_size_less_8 = facts.file_size_less_8;
  m->read_ahead_size = facts.read_ahead_size;
  m->read_ahead_start_frame = (int32_t)facts.read_ahead_start_frame;
  m->all_key = facts.all_key;
  if (!(m->movie_flags & OPEN_NO_FRAME_BUFFERS)) {
    FrameBufferSet set;
    memset(&set, 0, sizeof set);
    ComputeFrameBufferSet(m, &set);
    if (!AllocateFrameBuffers(m, &set, 0))
      return AbandonOpen(m, reader_open, record_block, "Out of memory.");
    if (m->frame_buffer_block) {
      memcpy(m->frame_buffer_block, &set, sizeof set);
      m->frame_buffers = (FrameBufferSet *)m->frame_buffer_block;
    }
  }

  // 13. Reading.
  uint64_t wanted = m->read_ahead_size;
  if ((flags & OPEN_BUFFER_SIZE) && options->buffer_size != 0 && options->buffer_size != UINT64_MAX)
    wanted = options->buffer_size;
  m->read_rate = 0;
  if ((flags & OPEN_READ_RATE) && options->read_rate != 0 && options->read_rate != UINT32_MAX)
    m->read_rate = options->read_rate;
  const uint64_t file_size = m->file_size_less_8 + 8;
  const uint64_t first_frame = m->frame_index[0] & ~(uint64_t)3;
  if (memory) {
    m->preloaded_data = image + first_frame;
    m->movie_flags |= MOVIE_NO_BACKGROUND_READ;
  } else {
    uint64_t io_size = reader->ops.BufferSize(reader, wanted);
    if (io_size >= m->file_size_less_8 || m->file_size_less_8 - io_size <= 0x40000) io_size = m->file_size_less_8 + 16;
    m->io_buffer_size = io_size;
    if (flags & OPEN_PRELOAD) {
      const uint64_t length = file_size - first_frame;
      if (length != 0 && !FileHoldsLoad(reader, length + PRELOAD_PADDING, file_size))
        return AbandonOpen(m, 1, record_block, "Error reading Vosh header.");
      uint8_t *data = (uint8_t *)AlignedAlloc(length + PRELOAD_PADDING);
      if (!data) return AbandonOpen(m, 1, record_block, "Out of memory.");
      memset(data + length, 0, PRELOAD_PADDING);
      m->preloaded_data = data;
      m->memory_used += length + PRELOAD_PADDING;
      m->movie_flags |= MOVIE_NO_BACKGROUND_READ;
      reader->ops.SetBuffer(reader, nullptr, 0, file_size, m->read_rate);
      uint64_t got = reader->ops.ReadHeader(reader, (int64_t)first_frame, data, length);
      CloseReader(reader);
      reader_open = 0;
      reader->direct_read_ms = 0;
      // The decoders must never see bytes that were not read.
      if (got != length) return AbandonOpen(m, 0, record_block, "Error reading Vosh header.");
    } else {
      // Frames read outside the ring land here: the largest frame of the
      // index, the last one included, and the placement padding.
      AddPlanBlock(plan, (void **)&m->frame_data_buffer, facts.largest_frame + FRAME_DATA_PADDING);
      const uint64_t size = GetPlanSize(plan);
      uint8_t *block = (uint8_t *)AllocatePlan(plan, io_size);
      if (!block) return AbandonOpen(m, 1, record_block, "Out of memory.");
      m->read_ahead_block = block;
      m->memory_used += size + io_size;
      reader->ops.SetBuffer(reader, block, io_size, file_size, m->read_rate);
    }
  }

  // 14. Playback state.
  m->current_frame = 0xFFFFFFFFu;
  if (m->rate_num == 0) {
    m->tolerance_ms = 2000;
  } else {
    uint64_t t = (uint64_t)m->rate_den * 2000 / m->rate_num;
    m->tolerance_ms = t > INT32_MAX ? INT32_MAX : (int32_t)t;
  }
  m->open_complete = 1;
  m->open_ms = VoshGetMilliseconds() - start_time;
  m->tracks[0].speed = 0x10000;
  m->open_track_count = 0;

  // 15-16. Sound tracks, then the pending track request and the hooks.
  // The movie joins the list that the background threads walk only once its
  // last lock is made (step 18).
  int listed = 0;
  if (track_count != 0 && T != 0) listed = OpenSoundTracks(m, track_count, track_list);
  CallOpenSoundHook(m, nullptr);
  g_pending_open.track_count = 1;
  g_pending_open.track_list[0] = 0;
  reader->hooks.Lock = LockIoBuffer;
  reader->hooks.TryLock = TryLockIoBuffer;
  reader->hooks.Unlock = UnlockIoBuffer;
  reader->hooks.LockBackoff = TestIoBufferLock;
  reader->hooks.Throttle = ThrottleReadRate;

  // 17. Background reading.
  if (!(m->movie_flags & MOVIE_NO_BACKGROUND_READ) && !m->preloaded_data) {
    if (!InitRecursiveMutex(&m->io_buffer_lock)) {
      m->movie_flags |= MOVIE_NO_BACKGROUND_READ;
    } else if (!AcquireIoThread()) {
      DestroyRecursiveMutex(&m->io_buffer_lock);
      m->movie_flags |= MOVIE_NO_BACKGROUND_READ;
    } else {
      listed = 1;
    }
  }

  // 18. The IO-request lock; the first fill without a background thread.
  if (!InitRecursiveMutex(&m->io_request_lock)) {
    // No orderly way on without it: the movie is closed again.
    VoshCloseMovie(m);
    SetErrorText("Out of memory.");
    return nullptr;
  }
  if (listed) {
    RegisterMovie(m);
    m->registered = 1;
  }
  SetIoCurrentMovie(m);
  if (!m->preloaded_data) {
    if ((m->movie_flags & MOVIE_NO_BACKGROUND_READ) && !(flags & OPEN_NO_INITIAL_FILL) && reader->ops.Idle) {
      while (reader->ops.Idle(reader) > 0) {
      }
    }
    if (IsIoThreadRunning()) PostIoThread();
  }

  // 19. Frame 1.
  m->window_start = 0xF0000000u;
  MoveToFrame(m, 1);
  if (m->open_track_count > 0 && IsSoundThreadRunning() && m->tracks[0].service_code <= 0) PostSoundThread();
  return m;
}
