// Stand-in for the sound-system selection until the mixer and the output
// backends exist: the openers give no track-open function, so every movie
// plays without sound. Weak definitions, replaced by the real selection.
#include "audio/backends/sound_select.h"
#include "engine/platform/locks.h"

#define VOSH_WEAK __attribute__((weak))

namespace {
SoundOutputOpener g_installed_opener = nullptr;
TrackOpenFunction g_kept_track_open = nullptr;
}  // namespace

VOSH_WEAK int VoshInstallSoundOutput(SoundOutputOpener opener, uint32_t rate, uint32_t channels) {
  if (!opener) return 0;
  InitLibraryLocks();
  LockRecursiveMutex(&g_sound_lock);
  g_installed_opener = opener;
  g_kept_track_open = opener(rate, channels);
  const int ok = g_kept_track_open != nullptr;
  UnlockRecursiveMutex(&g_sound_lock);
  return ok;
}

VOSH_WEAK TrackOpenFunction VoshPrepareOpenALOutput(uint32_t, uint32_t) { return nullptr; }

VOSH_WEAK TrackOpenFunction VoshPreparePulseAudioOutput(uint32_t, uint32_t) { return nullptr; }
