// Least working bodies of calls the open makes into the first-generation
// codec and the sound-system selection, which are not built yet: the scratch
// sizes of the first-generation bundles, and no installed sound output (so
// every track is dropped and movies play silently).
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

// ---- Sound-system selection: no output installed ----

static int32_t g_stub_open_tracks = 0;

TrackOpenFunction GetTrackOpenFunction() { return nullptr; }

void ChangeOpenTrackCount(int32_t delta) { g_stub_open_tracks += delta; }
