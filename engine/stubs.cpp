// Least working bodies of calls the open makes into the first-generation
// codec, which is not built yet: the scratch sizes of its bundles.
#include <cstring>

#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/platform/locks.h"

// ---- First-generation frame jobs: bundle buffer sizes ----

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
