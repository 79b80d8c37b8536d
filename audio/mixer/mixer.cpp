// The software mixer over one output backend. The tracks' rings are filled
// by the frame decode job without a lock; the mixer only reads while more
// than the track's threshold is buffered and only moves the read position.
#include "audio/mixer/mixer.h"

#include <cmath>
#include <cstring>

#include "engine/platform/alloc.h"
#include "engine/utils.h"

namespace {

enum : uint32_t {
  MIN_OUTPUT_RATE = 501,
  MAX_OUTPUT_RATE = 48000,
  UNDERRUN_MS = 51,
  ROUNDS_PER_SERVICE = 3,
};

// Process-wide mixer state; touched only under the global sound lock.
struct MixerState {
  const SoundBackendOps *backend;
  uint32_t output_rate;
  uint32_t output_channels;
  uint32_t latency;
  uint32_t service_interval;
  uint8_t running;
  uint8_t data_seen;
  int32_t *mix_buffer;  // one chunk of 32-bit accumulators
  uint32_t mix_bytes;   // 2 x chunk
  SoundTrack *head;     // newest track
  uint32_t last_write_time;
  // What the running backend was opened with.
  const SoundBackendOps *open_backend;
  uint32_t open_rate;
  uint32_t open_channels;
};

MixerState g_mixer;

// Closes the running backend and frees the mix buffer.
void StopBackend() {
  if (!g_mixer.running) return;
  if (g_mixer.open_backend && g_mixer.open_backend->Close) g_mixer.open_backend->Close();
  AlignedFree(g_mixer.mix_buffer);
  g_mixer.mix_buffer = nullptr;
  g_mixer.mix_bytes = 0;
  g_mixer.running = 0;
  g_mixer.open_backend = nullptr;
}

void SetDefaultSpeakerGains(SoundTrack *t, uint32_t channels, uint32_t output_channels) {
  for (float &g : t->speaker_gains) g = 0.0f;
  if (channels == 1) {
    t->speaker_gains[0] = 1.0f;
    t->speaker_gains[1] = 1.0f;
    if (output_channels >= 6)
      for (uint32_t c = 2; c < 6; ++c) t->speaker_gains[c] = 1.0f;
    if (output_channels >= 8) {
      t->speaker_gains[6] = 1.0f;
      t->speaker_gains[7] = 1.0f;
    }
  } else {
    for (uint32_t c = 0; c < output_channels && c < 8; ++c) {
      t->speaker_gains[2 * c] = (c & 1) ? 0.0f : 1.0f;
      t->speaker_gains[2 * c + 1] = (c & 1) ? 1.0f : 0.0f;
    }
  }
}

// value x 1024 truncated toward zero, kept inside the 32-bit range.
int32_t FixedGain(float value) {
  float v = value * 1024.0f;
  if (!(v == v)) return 0;
  if (v >= 2147483520.0f) return 2147483520;
  if (v <= -2147483520.0f) return -2147483520;
  return static_cast<int32_t>(v);
}

// The integer gains of one track for one round: left[c] applies to the
// track's first (or only) channel, right[c] to its second.
void ComputeGains(const SoundTrack *t, uint32_t output_channels, int32_t *left, int32_t *right) {
  const float volume = t->volume;
  const float pan = t->pan;
  const float left_law = pan > 0.5f ? 2.0f - 2.0f * pan : 1.0f;
  const float right_law = pan < 0.5f ? 2.0f * pan : 1.0f;
  for (uint32_t c = 0; c < output_channels; ++c) {
    const int left_side = c == 0 || c == 4 || c == 6;
    const int right_side = c == 1 || c == 5 || c == 7;
    const float law = left_side ? left_law : (right_side ? right_law : 1.0f);
    if (t->channels == 1) {
      left[c] = FixedGain(volume * t->speaker_gains[c] * law);
      right[c] = 0;
    } else if (left_side) {
      left[c] = FixedGain(volume * t->speaker_gains[2 * c] * law);
      right[c] = 0;
    } else if (right_side) {
      left[c] = 0;
      right[c] = FixedGain(volume * t->speaker_gains[2 * c + 1] * law);
    } else {
      left[c] = FixedGain(volume * t->speaker_gains[2 * c]);
      right[c] = FixedGain(volume * t->speaker_gains[2 * c + 1]);
    }
  }
}

inline int32_t LoadSample(const uint8_t *p) {
  int16_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// (fraction x (cur - prev) + prev x 65536) >> 16. The wrapped 32-bit sum
// equals the exact one, which always lies between prev and cur x 65536.
inline int32_t Interpolate(int32_t prev, int32_t cur, uint32_t fraction) {
  const uint32_t v = fraction * static_cast<uint32_t>(cur - prev) + static_cast<uint32_t>(prev) * 65536u;
  return static_cast<int32_t>(v) >> 16;
}

inline int32_t Accumulate(int32_t acc, int32_t sample, int32_t gain) {
  return static_cast<int32_t>(static_cast<uint32_t>(acc) +
                              static_cast<uint32_t>(sample) * static_cast<uint32_t>(gain));
}

// Mixes one chunk of `frames` output frames of track t into acc, resampling
// by linear interpolation in 16.16 steps; stores the track's state back.
template <uint32_t OUT, uint32_t SRC>
void MixTrack(SoundTrack *t, int32_t *acc, uint32_t frames, const int32_t *left, const int32_t *right,
              uint32_t off) {
  constexpr uint32_t FRAME = 2 * SRC;
  const uint8_t *start = t->start;
  const uint32_t size = t->size;
  const uint32_t step = t->step;
  uint32_t position = t->position;
  uint32_t fraction = t->fraction;
  int32_t prev_l = t->previous_left >> 16;
  int32_t prev_r = t->previous_right >> 16;
  int32_t cur_l = LoadSample(start + off);
  int32_t cur_r = SRC == 2 ? LoadSample(start + off + 2) : 0;
  int32_t gl[OUT], gr[OUT];
  for (uint32_t c = 0; c < OUT; ++c) {
    gl[c] = left[c];
    gr[c] = right[c];
  }
  for (uint32_t i = 0; i < frames; ++i) {
    int32_t *a = acc + i * OUT;
    // Each output frame is weighted by its own position between prev and
    // cur; a weight one frame behind would pair the previous position with
    // the next input samples and distort every resampled track.
    fraction = position;
    const int32_t s_l = Interpolate(prev_l, cur_l, fraction);
    if (SRC == 1) {
      for (uint32_t c = 0; c < OUT; ++c) a[c] = Accumulate(a[c], s_l, gl[c]);
    } else {
      const int32_t s_r = Interpolate(prev_r, cur_r, fraction);
      for (uint32_t c = 0; c < OUT; ++c) a[c] = Accumulate(Accumulate(a[c], s_l, gl[c]), s_r, gr[c]);
    }
    position += step;
    if (position >= 65536) {
      prev_l = cur_l;
      prev_r = cur_r;
      uint64_t next = off + static_cast<uint64_t>(position >> 16) * FRAME;
      if (next >= size) next -= size;
      if (next >= size) next %= size;
      off = static_cast<uint32_t>(next);
      position &= 0xFFFF;
      cur_l = LoadSample(start + off);
      if (SRC == 2) cur_r = LoadSample(start + off + 2);
    }
    fraction = position;
  }
  t->read.store(t->start + off, std::memory_order_release);
  t->previous_left = static_cast<int32_t>(static_cast<uint32_t>(prev_l) * 65536u);
  t->previous_right = static_cast<int32_t>(static_cast<uint32_t>(prev_r) * 65536u);
  t->position = position;
  t->fraction = fraction;
}

typedef void (*MixFunction)(SoundTrack *, int32_t *, uint32_t, const int32_t *, const int32_t *,
                            uint32_t);

MixFunction PickMix(uint32_t output_channels, uint32_t channels) {
  if (channels == 1) {
    if (output_channels == 2) return MixTrack<2, 1>;
    if (output_channels == 6) return MixTrack<6, 1>;
    return MixTrack<8, 1>;
  }
  if (output_channels == 2) return MixTrack<2, 2>;
  if (output_channels == 6) return MixTrack<6, 2>;
  return MixTrack<8, 2>;
}

// Bytes buffered in the track's ring: write - read, plus size when negative.
int64_t AvailableBytes(const SoundTrack *t) {
  const uintptr_t w = reinterpret_cast<uintptr_t>(t->write.load(std::memory_order_acquire));
  const uintptr_t r = reinterpret_cast<uintptr_t>(t->read.load(std::memory_order_acquire));
  int64_t available = static_cast<int32_t>(static_cast<uint32_t>(w - r));
  if (available < 0) available += t->size;
  return available;
}

// Converts the accumulators in place into 16-bit samples in the first half
// of the buffer.
void ClipMixBuffer(int32_t *acc, uint32_t count) {
  uint8_t *out = reinterpret_cast<uint8_t *>(acc);
  for (uint32_t i = 0; i < count; ++i) {
    int32_t v = acc[i] >> 10;
    if (v > 32767) v = 32767;
    if (v < -32767) v = -32767;
    const int16_t s = static_cast<int16_t>(v);
    memcpy(out + 2 * i, &s, sizeof s);
  }
}

int IsListed(const SoundTrack *track) {
  for (const SoundTrack *t = g_mixer.head; t; t = t->older)
    if (t == track) return 1;
  return 0;
}

}  // namespace

TrackOpenFunction SetUpMixer(const SoundBackendOps *backend, uint32_t rate, uint32_t channels) {
  if (g_mixer.head) return nullptr;
  if (!backend || !backend->Negotiate) return nullptr;
  uint32_t out_rate = (rate >= MIN_OUTPUT_RATE && rate <= MAX_OUTPUT_RATE) ? rate : MAX_OUTPUT_RATE;
  uint32_t out_channels = channels <= 2 ? 2 : (channels <= 6 ? 6 : 8);
  uint32_t latency = 0, service = 0;
  if (!backend->Negotiate(&out_rate, &out_channels, &latency, &service)) return nullptr;
  if (out_rate == 0 || (out_channels != 2 && out_channels != 6 && out_channels != 8)) return nullptr;
  // A backend left running by earlier tracks is closed when the new output
  // differs from it, so the next track opens the output it writes to.
  if (g_mixer.running && (g_mixer.open_backend != backend || g_mixer.open_rate != out_rate ||
                          g_mixer.open_channels != out_channels))
    StopBackend();
  g_mixer.backend = backend;
  g_mixer.output_rate = out_rate;
  g_mixer.output_channels = out_channels;
  g_mixer.latency = latency;
  g_mixer.service_interval = service;
  return OpenMixerTrack;
}

int OpenMixerTrack(SoundTrack *track, uint32_t rate, uint32_t channels, uint32_t movie_flags,
                   HVOSH owner) {
  (void)movie_flags;
  if (!track) return 0;
  memset(static_cast<void *>(track), 0, sizeof(SoundTrack));
  const SoundBackendOps *backend = g_mixer.backend;
  if (!backend || (channels != 1 && channels != 2)) return 0;
  track->service_code = -static_cast<int32_t>(g_mixer.service_interval);
  track->rate = rate;
  track->channels = channels;
  track->owner = owner;
  track->volume = 1.0f;
  track->pan = 0.5f;
  SetDefaultSpeakerGains(track, channels, g_mixer.output_channels);
  track->paused.store(0, std::memory_order_relaxed);
  track->enabled.store(1, std::memory_order_relaxed);
  track->ops.Service = ServiceMixer;
  track->ops.SetVolume = SetTrackVolume;
  track->ops.SetPan = SetTrackPan;
  track->ops.SetPaused = SetTrackPaused;
  track->ops.SetEnabled = SetTrackEnabled;
  track->ops.Close = CloseMixerTrack;
  track->ops.SetSpeakerGains = SetTrackSpeakerGains;
  track->latency = g_mixer.latency;
  track->step = static_cast<uint32_t>((static_cast<uint64_t>(rate) << 16) / g_mixer.output_rate);
  track->newer = nullptr;
  track->older = g_mixer.head;

  if (!g_mixer.running) {
    uint32_t chunk = 0;
    if (!backend->Open || !backend->Open(g_mixer.output_rate, g_mixer.output_channels, &chunk))
      return 0;
    const uint32_t frame_bytes = 2 * g_mixer.output_channels;
    void *buffer = chunk != 0 && chunk % frame_bytes == 0 ? AlignedAlloc(2ull * chunk) : nullptr;
    if (!buffer) {
      if (backend->Close) backend->Close();
      return 0;
    }
    g_mixer.mix_buffer = static_cast<int32_t *>(buffer);
    g_mixer.mix_bytes = 2 * chunk;
    g_mixer.running = 1;
    g_mixer.open_backend = backend;
    g_mixer.open_rate = g_mixer.output_rate;
    g_mixer.open_channels = g_mixer.output_channels;
  }

  if (g_mixer.head) g_mixer.head->newer = track;
  g_mixer.head = track;

  const uint64_t threshold = static_cast<uint64_t>(g_mixer.mix_bytes) * channels * rate /
                             (static_cast<uint64_t>(g_mixer.open_channels) * g_mixer.open_rate);
  track->threshold = threshold > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(threshold);
  return 1;
}

void ServiceMixer(SoundTrack *, uint32_t) {
  if (!g_mixer.running) return;
  const SoundBackendOps *backend = g_mixer.open_backend;
  if (!backend->Writable()) return;
  const uint32_t out_channels = g_mixer.open_channels;
  const uint32_t chunk = g_mixer.mix_bytes / 2;
  const uint32_t frames = chunk / (2 * out_channels);
  int32_t *acc = g_mixer.mix_buffer;

  for (uint32_t round = 0; round < ROUNDS_PER_SERVICE; ++round) {
    const uint32_t now = VoshGetMilliseconds();
    int has_data = 0;
    for (SoundTrack *t = g_mixer.head; t; t = t->older) {
      const int64_t available = AvailableBytes(t);
      const uint32_t paused = t->paused.load(std::memory_order_acquire);
      const uint32_t enabled = t->enabled.load(std::memory_order_acquire);
      if (available <= static_cast<int64_t>(t->threshold)) {
        if (now - g_mixer.last_write_time >= UNDERRUN_MS && !paused && enabled)
          t->underrun.store(1, std::memory_order_release);
        continue;
      }
      if (!g_mixer.data_seen) {
        g_mixer.last_write_time = now;
        g_mixer.data_seen = 1;
      }
      if (!has_data) {
        memset(acc, 0, g_mixer.mix_bytes);
        has_data = 1;
      }
      if (paused || !enabled) continue;
      const uint32_t frame_bytes = 2 * t->channels;
      if (!t->start || t->size == 0 || t->size % frame_bytes != 0) continue;
      const uintptr_t rel = reinterpret_cast<uintptr_t>(t->read.load(std::memory_order_acquire)) -
                            reinterpret_cast<uintptr_t>(t->start);
      uint32_t off = static_cast<uint32_t>(rel % t->size);
      off -= off % frame_bytes;
      int32_t left[8], right[8];
      ComputeGains(t, out_channels, left, right);
      PickMix(out_channels, t->channels)(t, acc, frames, left, right, off);
    }
    if (!has_data) {
      if (!backend->Writable()) return;
      continue;
    }
    ClipMixBuffer(acc, chunk / 2);
    if (!backend->Write(acc, chunk)) g_mixer.data_seen = 0;
    g_mixer.last_write_time = VoshGetMilliseconds();
    if (!backend->Writable()) return;
  }
}

void SetTrackVolume(SoundTrack *track, int32_t volume) {
  if (volume < 0) volume = 0;
  if (volume > 65535) volume = 65535;
  track->volume = powf(static_cast<float>(volume) / 32767.0f, 1.6666666f);
}

void SetTrackPan(SoundTrack *track, int32_t pan) {
  if (pan < 0) pan = 0;
  if (pan > 65536) pan = 65536;
  track->pan = static_cast<float>(pan) / 65536.0f;
}

void SetTrackPaused(SoundTrack *track, uint32_t paused) {
  track->paused.store(paused, std::memory_order_release);
}

int SetTrackEnabled(SoundTrack *track, uint32_t on) {
  track->enabled.store(on, std::memory_order_release);
  return static_cast<int>(on);
}

void CloseMixerTrack(SoundTrack *track) {
  if (track->ops.SetEnabled) track->ops.SetEnabled(track, 0);
  // A track closed twice, or never linked, leaves the list as it is.
  if (!IsListed(track)) return;
  if (track->newer)
    track->newer->older = track->older;
  else
    g_mixer.head = track->older;
  if (track->older) track->older->newer = track->newer;
}

void SetTrackSpeakerGains(SoundTrack *track, const float *gains, uint32_t count) {
  for (float &g : track->speaker_gains) g = 0.0f;
  if (!gains) return;
  const uint32_t pairs = count < 8 ? count : 8;
  for (uint32_t i = 0; i < 2 * pairs; ++i) track->speaker_gains[i] = gains[i];
}
