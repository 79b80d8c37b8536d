#include "engine/framebuffers.h"

#include <cstring>

#include "engine/container.h"
#include "engine/movie.h"
#include "engine/platform/alloc.h"

static uint32_t RoundUp(uint32_t v, uint32_t to) { return (v + to - 1) / to * to; }

void ComputeFrameBufferSet(const MovieRecord *movie, FrameBufferSet *set) {
  if (!movie || !set) return;
  const uint32_t w = movie->width, h = movie->height;
  const uint32_t flags = movie->movie_flags;
  if (IsSecondGenSignature(movie->signature)) {
    set->luma_width = RoundUp(w, 32);
    set->luma_height = RoundUp(h, 16);
    set->chroma_width = set->luma_width / 2;
    set->chroma_height = set->luma_height / 2;
  } else {
    set->luma_width = RoundUp(w, 8);
    set->luma_height = RoundUp(h, 8);
    set->chroma_width = RoundUp((w + 1) / 2, 8);
    set->chroma_height = RoundUp((h + 1) / 2, 8);
  }
  set->current_set = 0;
  if (movie->frame_count == 1)
    set->set_count = 1;
  else
    set->set_count = (flags & OPEN_THREE_BUFFER_SETS) ? 3 : 2;

  if (movie->frame_buffers) {
    memcpy(set->sets, movie->frame_buffers->sets, sizeof set->sets);
    return;
  }
  memset(set->sets, 0, sizeof set->sets);
  uint32_t used = set->set_count > 0 ? set->set_count : 1;
  for (uint32_t s = 0; s < used && s < 3; s++) {
    PlaneBuffer *p = set->sets[s];
    p[PLANE_LUMA].present = 1;
    p[PLANE_CHROMA1].present = 1;
    p[PLANE_CHROMA2].present = 1;
    p[PLANE_ALPHA].present = (flags & OPEN_ALPHA) ? 1 : 0;
    p[PLANE_EXTRA].present = (flags & VIDEO_FLAG_EXTRA_PLANE) ? 1 : 0;
  }
}

int AllocateFrameBuffers(MovieRecord *movie, FrameBufferSet *set, uint32_t alignment) {
  if (!movie || !set || movie->frame_buffer_block) return 0;
  if (set->set_count == 3) set->set_count = 2;

  uint32_t luma_stride, chroma_stride;
  if (IsSecondGenSignature(movie->signature)) {
    uint32_t a = alignment > 64 ? alignment : 64;
    luma_stride = RoundUp(set->luma_width, a);
    chroma_stride = RoundUp(set->chroma_width, a);
  } else {
    luma_stride = set->luma_width;
    chroma_stride = RoundUp(set->chroma_width, 16);
  }
  const uint64_t luma_bytes = (uint64_t)luma_stride * set->luma_height;
  const uint64_t chroma_bytes = (uint64_t)chroma_stride * set->chroma_height;

  AllocPlanStorage storage;
  AllocPlan *plan = &storage.plan;
  InitAllocPlan(plan, 32);
  uint32_t added = 0;
  for (uint32_t s = 0; s < 3; s++) {
    for (uint32_t k = 0; k < PLANES_PER_SET; k++) {
      PlaneBuffer *p = &set->sets[s][k];
      p->pixels = nullptr;
      if (s >= set->set_count || !p->present) continue;
      const int chroma = k == PLANE_CHROMA1 || k == PLANE_CHROMA2;
      p->stride = chroma ? chroma_stride : luma_stride;
      AddPlanBlock(plan, (void **)&p->pixels, chroma ? chroma_bytes : luma_bytes);
      added++;
    }
  }
  if (added == 0) return 1;

  const uint64_t head = sizeof(FrameBufferSet);
  const uint64_t size = GetPlanSize(plan);
  uint8_t *block = (uint8_t *)AllocatePlan(plan, head);
  if (!block) {
    for (uint32_t s = 0; s < 3; s++)
      for (uint32_t k = 0; k < PLANES_PER_SET; k++) set->sets[s][k].pixels = nullptr;
    return 0;
  }
  // Decoders predict from the previous set: start from black, not from
  // whatever the allocator left.
  memset(block, 0, (size_t)(size + ((head + 31) & ~(uint64_t)31)));
  movie->memory_used += size + head;
  movie->frame_buffer_block = block;
  return 1;
}
