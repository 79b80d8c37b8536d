// Sound through the engine: a second-generation movie whose frames carry
// audio packets from the writer; decoding the frames fills the track's ring
// with exactly what the decoder makes of the packets, and that is the tone.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/backends/sound_select.h"
#include "audio/codec/audio_decoder.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "audio_test_util.h"

using namespace audio_test;

namespace {

const uint32_t kFrames = 8, kBlocksPerFrame = 2;

// A sound output that accepts every track and leaves its ring alone.
int AcceptTrack(SoundTrack *track, uint32_t rate, uint32_t channels, uint32_t, HVOSH) {
  track->rate = rate;
  track->channels = channels;
  return 1;
}
TrackOpenFunction KeepingOutput(uint32_t, uint32_t) { return AcceptTrack; }

struct SoundMovieCase {
  uint32_t rate, channels;
  uint32_t codec_bits;   // track format bits 28-31
  uint32_t video_flags;  // 0x40000: every track with decoder flag 4
  uint32_t decoder_flags;
};

class AudioPlayback : public ::testing::TestWithParam<SoundMovieCase> {};

TEST_P(AudioPlayback, FramesFillTheTrackRingWithTheTone) {
  const SoundMovieCase c = GetParam();
  ASSERT_EQ(1, VoshInstallSoundOutput(KeepingOutput, 48000, 2));
  AudioEncoder e;
  ASSERT_TRUE(InitAudioEncoder(&e, c.rate, c.channels, c.decoder_flags));
  const double freq[2] = {1000, 2500};
  const uint32_t blocks = kFrames * kBlocksPerFrame;
  const uint64_t frames = uint64_t(blocks) * AudioBlockFrames(&e);
  std::vector<int16_t> src = MakeTone(c.rate, c.channels, freq, frames, 10000);

  const uint32_t format = c.rate | (c.channels == 2 ? 0x20000000u : 0) | c.codec_bits;
  std::vector<uint8_t> all_packets;
  std::vector<uint8_t> image =
      WriteSoundMovie(&e, src, frames, format, c.video_flags, kFrames, kBlocksPerFrame, &all_packets);

  VoshOverrideFrameRate(0, 0);
  HVOSH m = VoshOpenMovie(uint64_t(uintptr_t(image.data())), OPEN_MEMORY_IMAGE | OPEN_RATE_OVERRIDE);
  ASSERT_NE(nullptr, m) << VoshGetErrorText();
  ASSERT_EQ(1u, m->open_track_count.load());
  SoundTrack *t = &m->tracks[0];
  ASSERT_NE(nullptr, t->start);
  ASSERT_NE(nullptr, t->decoder);
  EXPECT_EQ(c.decoder_flags | ((c.decoder_flags >> 2) & 1), t->decoder->flags);
  for (uint32_t f = 0; f < kFrames; f++) {
    uint32_t run = m->slice_layout.slice_count << 4;
    DecodeFrame(m, DECODE_OPEN_FRAME | DECODE_CLOSE_FRAME | run);
    VoshAdvanceFrame(m);
  }
  const uint8_t *write = t->write.load();
  std::vector<int16_t> ring(size_t(write - t->start) / 2);
  memcpy(ring.data(), t->start, ring.size() * 2);
  VoshCloseMovie(m);

  // The same packets through a decoder of its own.
  Aligned mem(GetAudioDecoderSize(c.rate, c.channels));
  AudioDecoder *d = InitAudioDecoder(mem.data, c.rate, c.channels, c.decoder_flags);
  ASSERT_NE(nullptr, d);
  std::vector<int16_t> want = DecodeLinear(d, all_packets, blocks);
  ASSERT_EQ(size_t(blocks) * AudioBlockOutputBytes(&e) / 2, ring.size());
  EXPECT_EQ(want, ring);
  for (uint32_t ch = 0; ch < c.channels; ch++) {
    ToneCheck tone = CheckTone(Spectrum(ring, c.channels, ch, 512, 8192));
    EXPECT_NEAR(freq[ch] * 8192 / c.rate, double(tone.peak_bin), 1.0) << "channel " << ch;
    EXPECT_GT(tone.snr_db, 50.0) << "channel " << ch;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tracks, AudioPlayback,
    ::testing::Values(SoundMovieCase{48000, 2, 0x10000000u, 0, 1},
                      SoundMovieCase{22050, 1, 0x80000000u, 0, 0},
                      SoundMovieCase{44100, 2, 0x10000000u, 0x40000, 4}),
    [](const ::testing::TestParamInfo<SoundMovieCase> &i) {
      return std::to_string(i.param.rate) + "Hz_" + std::to_string(i.param.channels) +
             "ch_flags" + std::to_string(i.param.decoder_flags);
    });

}  // namespace
