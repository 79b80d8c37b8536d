// Selection of the sound system: the application installs a sound output
// (an opener) whose track-open function the movie open uses for every
// played sound track. SoundOutputOpener, VoshInstallSoundOutput and the two
// openers, VoshPrepareOpenALOutput and VoshPreparePulseAudioOutput, are
// declared in vosh.h.
#pragma once
#include "engine/movie.h"
