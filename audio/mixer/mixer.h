// The software mixer: resamples every open sound track to the output rate,
// applies volume, pan and speaker gains in 10-bit fixed point, sums the tracks
// into 32-bit accumulators and hands whole chunks of 16-bit samples to one
// output backend. One mixer per process; every call is made under the global
// sound lock.
#pragma once
#include <cstdint>

#include "audio/backends/sound_backend.h"
#include "engine/movie.h"

// Binds the mixer to a backend for (rate, channels); the function that opens
// tracks on it, or null while any track is open or when the backend refuses
// the format.
TrackOpenFunction SetUpMixer(const SoundBackendOps *backend, uint32_t rate, uint32_t channels);

// The track-open function: fills the track's mixer fields and operation slots,
// opens the backend with the first track; 1 ok, 0 failed.
int OpenMixerTrack(SoundTrack *track, uint32_t rate, uint32_t channels, uint32_t movie_flags,
                   HVOSH owner);

// The operation slots this mixer puts into a track.
void ServiceMixer(SoundTrack *track, uint32_t ignored);
void SetTrackVolume(SoundTrack *track, int32_t volume);  // 0..65535, 32767 is unity
void SetTrackPan(SoundTrack *track, int32_t pan);        // 0 left .. 65536 right
void SetTrackPaused(SoundTrack *track, uint32_t paused);
int SetTrackEnabled(SoundTrack *track, uint32_t on);
void CloseMixerTrack(SoundTrack *track);
void SetTrackSpeakerGains(SoundTrack *track, const float *gains, uint32_t count);

