// Selection of the sound system: the application installs a sound output (an
// opener); the track-open function it hands back is what the movie open uses
// for every played sound track.
#include <atomic>

#include "audio/backends/sound_backend.h"
#include "audio/backends/sound_select.h"
#include "audio/mixer/mixer.h"
#include "engine/movie.h"
#include "engine/platform/locks.h"

namespace {

// Guarded by the global sound lock; the kept function is read by the open
// before it takes that lock, hence atomic.
SoundOutputOpener g_installed_opener = nullptr;
std::atomic<TrackOpenFunction> g_track_open{nullptr};
std::atomic<int32_t> g_open_track_count{0};

}  // namespace

int VoshInstallSoundOutput(SoundOutputOpener opener, uint32_t rate, uint32_t channels) {
  if (!opener) return 0;
  InitLibraryLocks();
  const int locked = g_library_locks_ready.load(std::memory_order_acquire) != 0;
  if (locked) LockRecursiveMutex(&g_sound_lock);
  if (g_installed_opener && g_installed_opener != opener &&
      g_open_track_count.load(std::memory_order_acquire) > 0) {
    if (locked) UnlockRecursiveMutex(&g_sound_lock);
    return 0;
  }
  g_installed_opener = opener;
  const TrackOpenFunction kept = opener(rate, channels);
  g_track_open.store(kept, std::memory_order_release);
  if (locked) UnlockRecursiveMutex(&g_sound_lock);
  return kept != nullptr;
}

TrackOpenFunction VoshPrepareOpenALOutput(uint32_t rate, uint32_t channels) {
  return SetUpMixer(&OPENAL_BACKEND, rate, channels);
}

TrackOpenFunction VoshPreparePulseAudioOutput(uint32_t rate, uint32_t channels) {
  return SetUpMixer(&PULSEAUDIO_BACKEND, rate, channels);
}

TrackOpenFunction GetTrackOpenFunction() { return g_track_open.load(std::memory_order_acquire); }

void ChangeOpenTrackCount(int32_t delta) {
  g_open_track_count.fetch_add(delta, std::memory_order_acq_rel);
}
