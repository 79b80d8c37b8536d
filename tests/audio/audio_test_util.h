// Pieces the sound tests share: a backend table that parks the mixer, a
// track ring loaded with sound, tone peaks, the capture files of the real
// backends and a small movie whose frames carry audio packets.  Tone
// making and the spectrum itself are the writer's (moviewriter/audio_writer.h).
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/backends/sound_backend.h"
#include "audio/mixer/mixer.h"
#include "engine/movie.h"
#include "engine/platform/locks.h"
#include "moviewriter/audio_writer.h"
#include "moviewriter/container_writer.h"
#include "moviewriter/gen2_frame_writer.h"

namespace audio_test {

// ---- A table that is never opened: binding the mixer to it closes the
// backend it ran on ----

inline int ParkOpen(uint32_t, uint32_t, uint32_t *) { return 0; }
inline void ParkClose() {}
inline uint32_t ParkWritable() { return 0; }
inline int ParkWrite(const void *, uint32_t) { return 0; }
inline int ParkNegotiate(uint32_t *, uint32_t *, uint32_t *latency, uint32_t *service) {
  *latency = 0;
  *service = 1;
  return 1;
}
inline const SoundBackendOps PARKED_BACKEND = {ParkOpen, ParkClose, ParkWritable, ParkWrite, ParkNegotiate};

// Binds the mixer to the parked table under the sound lock.
inline void ParkMixer() {
  LockRecursiveMutex(&g_sound_lock);
  SetUpMixer(&PARKED_BACKEND, 48000, 2);
  UnlockRecursiveMutex(&g_sound_lock);
}

// ---- Track rings ----

// Clears the track and opens it with `open` under the sound lock, as the
// engine does; returns what the open function returned.
inline int OpenTrackLocked(TrackOpenFunction open, SoundTrack *track, uint32_t rate, uint32_t channels) {
  memset(static_cast<void *>(track), 0, sizeof *track);
  LockRecursiveMutex(&g_sound_lock);
  const int opened = open(track, rate, channels, 0, nullptr);
  UnlockRecursiveMutex(&g_sound_lock);
  return opened;
}

// Gives an open track the ring [ring, ring + size) holding `samples` from its
// start: read at the start, write behind the samples.
inline void LoadTrackRing(SoundTrack *track, uint8_t *ring, uint32_t size,
                          const std::vector<int16_t> &samples = {}) {
  if (!samples.empty()) memcpy(ring, samples.data(), samples.size() * 2);
  track->start = ring;
  track->end = ring + size;
  track->size = size;
  track->read.store(ring);
  track->write.store(ring + samples.size() * 2);
}

// ---- Tone analysis ----

// Peak of one channel's spectrum (Hann window, n frames from `from`).
struct Peak {
  double frequency;
  double snr_db;     // energy near the peak against all the rest
  double amplitude;  // estimated sine amplitude
};

inline Peak FindPeak(const std::vector<int16_t> &s, uint32_t channels, uint32_t channel, size_t from,
                     size_t n, double rate) {
  const std::vector<double> m = Spectrum(s, channels, channel, from, static_cast<uint32_t>(n));
  const ToneCheck t = CheckTone(m);
  return Peak{t.peak_bin * rate / n, t.snr_db, m[t.peak_bin] * 4.0 / n};
}

// The first frame whose channel 0 reaches `level`: where a played tone starts
// in a capture (the frame count when it never does).
inline size_t ToneStart(const std::vector<int16_t> &s, uint32_t channels, int level) {
  const size_t frames = s.size() / channels;
  size_t first = 0;
  while (first < frames && std::abs(s[first * channels]) < level) ++first;
  return first;
}

// ---- Capture files ----

inline bool ReadFileBytes(const std::string &path, std::vector<uint8_t> *bytes) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes->insert(bytes->end(), buf, buf + n);
  fclose(f);
  return true;
}

// Whole 16-bit samples of a raw little-endian file.
inline bool ReadRawSamples(const std::string &path, std::vector<int16_t> *samples) {
  std::vector<uint8_t> bytes;
  if (!ReadFileBytes(path, &bytes)) return false;
  samples->resize(bytes.size() / 2);
  memcpy(samples->data(), bytes.data(), samples->size() * 2);
  return true;
}

// ---- A movie with sound ----

// A 64 x 64, 25 frames/s second-generation movie of key frames, each led by
// the audio packet of the next blocks_per_frame blocks of src (frames
// frames of sound) on one track of the given format word.  all_packets gets
// the packet bodies one after the other.
inline std::vector<uint8_t> WriteSoundMovie(const AudioEncoder *e, const std::vector<int16_t> &src,
                                            uint64_t frames, uint32_t format, uint32_t video_flags,
                                            uint32_t movie_frames, uint32_t blocks_per_frame,
                                            std::vector<uint8_t> *all_packets) {
  const uint32_t w = 64, h = 64;
  SliceLayout l;
  MakeGen2Layout(&l, w, h, 0);
  ContainerSpec desc;
  desc.signature = WriterSignature("VS2", 'i');
  desc.width = w;
  desc.height = h;
  desc.rate_num = 25;
  desc.rate_den = 1;
  desc.video_flags = video_flags;
  // A ring of 1.25 s: every packet fits without the mixer draining it.
  desc.tracks.push_back(WriterTrack{e->rate * e->channels * 2, format, 0});
  for (uint32_t f = 0; f < movie_frames; f++) {
    WriterFrame frame;
    frame.key = true;
    uint32_t decoded = 0;
    std::vector<uint8_t> body =
        EncodeAudioPacket(e, src.data(), frames, uint64_t(f) * blocks_per_frame, blocks_per_frame, &decoded);
    all_packets->insert(all_packets->end(), body.begin(), body.end());
    AppendAudioPacket(&frame.bytes, decoded, body);
    Gen2FrameDesc key = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, 40);
    std::vector<uint8_t> video = WriteGen2Frame(&key);
    frame.bytes.insert(frame.bytes.end(), video.begin(), video.end());
    desc.frames.push_back(frame);
  }
  return WriteContainer(desc);
}

}  // namespace audio_test
