// Selection of the sound system: the application installs a sound output
// (an opener) whose track-open function the movie open uses for every
// played sound track.
#pragma once
#include <cstdint>

#include "engine/movie.h"

// Prepares the mixer over one output backend for (rate, channels) and hands
// back the function that opens sound tracks, or null.
typedef TrackOpenFunction (*SoundOutputOpener)(uint32_t rate, uint32_t channels);

// 1 when the opener gave a track-open function.
int VoshInstallSoundOutput(SoundOutputOpener opener, uint32_t rate, uint32_t channels);
TrackOpenFunction VoshPrepareOpenALOutput(uint32_t rate, uint32_t channels);
TrackOpenFunction VoshPreparePulseAudioOutput(uint32_t rate, uint32_t channels);
