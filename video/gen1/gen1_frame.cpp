// First-generation frame jobs: where each plane's bitstream starts in a
// frame's video data, which planes a job decodes, and the bundle buffer
// sizes.
#include "video/gen1/gen1_frame.h"

#include <cstring>

#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/platform/cpu.h"
#include "video/gen1/gen1_bits.h"
#include "video/gen1/gen1_plane.h"

namespace {

constexpr uint32_t VIDEO_FLAG_ALPHA_PLANE = 0x100000;

// Bundle buffers up to this total live on the job's stack (a width of about
// 2000 pixels); wider movies use a per-thread block kept for later frames.
constexpr uint64_t kStackScratchBytes = 40 * 1024;

struct ThreadScratchBlock {
  uint8_t *memory = nullptr;
  uint64_t size = 0;
  ~ThreadScratchBlock() { AlignedFree(memory); }
};

thread_local ThreadScratchBlock t_wide_scratch;

uint8_t *WideScratch(uint64_t bytes) {
  if (bytes <= t_wide_scratch.size) return t_wide_scratch.memory;
  AlignedFree(t_wide_scratch.memory);
  t_wide_scratch.size = 0;
  t_wide_scratch.memory = static_cast<uint8_t *>(AlignedAlloc(bytes));
  if (t_wide_scratch.memory) t_wide_scratch.size = bytes;
  return t_wide_scratch.memory;
}

inline uint64_t Round16(uint64_t n) { return (n + 15) & ~uint64_t(15); }

// Total bytes of the nine buffers, each starting on 16 bytes; 0 when the
// sizes are beyond reason.
uint64_t ScratchTotal(const FirstGenScratchSizes *s) {
  const uintptr_t sizes[9] = {s->block_types, s->block_subtypes, s->colors, s->patterns, s->x_offsets,
                              s->y_offsets,   s->intra_dc,       s->inter_dc, s->runs};
  uint64_t total = 0;
  for (uintptr_t size : sizes) {
    if (size > (uint64_t(1) << 28)) return 0;
    total += Round16(size);
  }
  return total;
}

void PlaceScratch(FirstGenScratch *out, uint8_t *base, const FirstGenScratchSizes *s) {
  uint8_t *p = base;
  uint8_t **slots[9] = {&out->block_types, &out->block_subtypes, &out->colors,   &out->patterns, &out->x_offsets,
                        &out->y_offsets,   &out->intra_dc,       &out->inter_dc, &out->runs};
  const uintptr_t sizes[9] = {s->block_types, s->block_subtypes, s->colors, s->patterns, s->x_offsets,
                              s->y_offsets,   s->intra_dc,       s->inter_dc, s->runs};
  for (int i = 0; i < 9; ++i) {
    *slots[i] = p;
    p += Round16(sizes[i]);
  }
  out->sizes = s;
}

// A plane that can be written and read, or null.
inline uint8_t *PlanePixels(const PlaneBuffer &plane) { return plane.present ? plane.pixels : nullptr; }

// The u32 at address at of the frame (bytes past the data read as zero).
inline uintptr_t AddLengthWord(uintptr_t at, uintptr_t data_end) {
  return at + ReadGen1Word(at, data_end);
}

struct FrameJob {
  FrameBufferSet *buffers;
  uint32_t destination;  // set written
  uint32_t reference;    // set read
  uintptr_t bound;
  uintptr_t data_end;
  const FirstGenScratch *scratch;
  uint32_t signature;
};

// Decodes one plane of the set; false when the plane has no memory (then
// nothing is decoded and the stream position is unknown).
bool DecodePlaneOf(const FrameJob *job, uint32_t plane, uint32_t width, uint32_t height,
                   uintptr_t start, uint32_t flags, uintptr_t *next, uint32_t *skips) {
  const PlaneBuffer &to = job->buffers->sets[job->destination][plane];
  const PlaneBuffer &from = job->buffers->sets[job->reference][plane];
  uint8_t *out = PlanePixels(to);
  const uint8_t *ref = PlanePixels(from);
  if (!out || !ref || from.stride > 0x7FFFFFFFu) return false;
  *next = DecodeFirstGenPlane(out, ref, width, height, static_cast<int32_t>(from.stride), start, job->bound,
                              job->data_end, job->scratch, flags, skips, job->signature);
  return true;
}

}  // namespace

void ComputeFirstGenScratchSizes(FirstGenScratchSizes *s, uint32_t width) {
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

uint32_t DecodeFirstGenFrame(FrameBufferSet *buffers, const uint8_t *video, uint32_t /*key_flag*/,
                             const uint8_t *end, const FirstGenScratchSizes *sizes,
                             uint32_t job_flags, uint32_t video_flags, uint32_t signature) {
  if (!buffers || !video || !end || !sizes || end < video) return 0;
  const uint64_t total = ScratchTotal(sizes);
  if (total == 0) return 0;
  alignas(16) uint8_t stack_scratch[kStackScratchBytes];
  uint8_t *scratch_base = total <= sizeof stack_scratch ? stack_scratch : WideScratch(total);
  if (!scratch_base) return 0;
  FirstGenScratch scratch;
  PlaceScratch(&scratch, scratch_base, sizes);

  const uint32_t set_count = buffers->set_count == 0 ? 1 : (buffers->set_count > 3 ? 3 : buffers->set_count);
  const uint32_t current = buffers->current_set < set_count ? buffers->current_set : 0;
  FrameJob job;
  job.buffers = buffers;
  job.reference = current;
  job.destination = current + 1 == set_count ? 0 : current + 1;
  job.data_end = Gen1Address(end);
  job.bound = job.data_end + 4;
  job.scratch = &scratch;
  job.signature = signature;

  UpdateCpuFeatures(0, 0);
  uint32_t skips = 0xFFFFFFFFu;
  const uintptr_t start = Gen1Address(video);
  const uint32_t plane_flags = job_flags & ~PLANE_JOB_ALPHA;
  const bool no_length_word = (job_flags & PLANE_JOB_REVISION_F_TO_H) != 0;
  const bool no_luma = (job_flags & PLANE_JOB_NO_LUMA) != 0;
  // Without length words only the luma decoder finds the chroma planes, so
  // a job split between luma and chroma keeps the chroma planes with luma.
  const bool no_chroma = no_length_word ? no_luma : (job_flags & PLANE_JOB_NO_CHROMA) != 0;
  const uint32_t lw = buffers->luma_width, lh = buffers->luma_height;
  const uint32_t cw = buffers->chroma_width, ch = buffers->chroma_height;

  do {
    uintptr_t p = start;
    uintptr_t next = 0;
    uint32_t s = 0;
    if (video_flags & VIDEO_FLAG_ALPHA_PLANE) {
      if ((job_flags & PLANE_JOB_ALPHA) &&
          DecodePlaneOf(&job, PLANE_ALPHA, lw, lh, p + 4, job_flags, &next, &s))
        skips = s;
      p = AddLengthWord(p, job.data_end);
    }
    if (p < start || p >= job.bound) break;
    const uintptr_t luma = no_length_word ? p : p + 4;
    uintptr_t after_luma = luma;
    if (!no_luma) {
      if (!DecodePlaneOf(&job, PLANE_LUMA, lw, lh, luma, plane_flags, &after_luma, &s)) break;
      if (s < skips) skips = s;
    }
    const uintptr_t chroma = no_length_word ? after_luma : AddLengthWord(p, job.data_end);
    if (chroma >= job.bound || no_chroma || chroma < start) break;
    if (!DecodePlaneOf(&job, PLANE_CHROMA1, cw, ch, chroma, plane_flags, &next, &s)) break;
    if (4 * s < skips) skips = 4 * s;
    if (next < start || next >= job.bound) break;
    if (!DecodePlaneOf(&job, PLANE_CHROMA2, cw, ch, next, plane_flags, &next, &s)) break;
    if (4 * s < skips) skips = 4 * s;
  } while (false);

  if (GetCpuFeatures() & CPU_MMX) EndMmxState();
  const uint32_t blocks = (lw * lh) >> 6;
  if (blocks == 0) return 0;
  // A chroma plane's four-fold skip count can exceed the luma block count
  // (chroma planes are rounded up separately); the share never goes below 0.
  if (skips > blocks) skips = blocks;
  return ((blocks - skips) * 100) / blocks;
}
