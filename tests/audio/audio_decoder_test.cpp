// The audio decoder: layout, tones through the writer and back in every
// flag variant, the crossfade and tail, the bitstream's corner cases, the
// ring write, damaged packets, and the kernels against their scalar forms.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "audio/codec/audio_decoder.h"
#include "audio/codec/audio_decoder_kernels.h"
#include "audio/codec/audio_decoder_tables.h"
#include "audio/codec/audio_transform.h"
#include "engine/platform/cpu.h"
#include "moviewriter/audio_writer.h"

using namespace audio_test;

namespace {

struct Decoder {
  Decoder(uint32_t rate, uint32_t channels, uint32_t flags)
      : memory(GetAudioDecoderSize(rate, channels)) {
    d = InitAudioDecoder(memory.data, rate, channels, flags);
  }
  Aligned memory;
  AudioDecoder *d;
};

TEST(AudioDecoderLayout, SizesAndFieldsFollowTheRate) {
  Decoder d48(48000, 1, 1);
  ASSERT_NE(nullptr, d48.d);
  EXPECT_EQ(2048u, d48.d->length);
  EXPECT_EQ(0.044194173f, d48.d->scale);
  EXPECT_EQ(256u, d48.d->overlap_bytes);
  EXPECT_EQ(7u, d48.d->shift);
  EXPECT_EQ(25u, d48.d->band_count);
  EXPECT_EQ(4u, d48.d->band_starts[1]);
  EXPECT_EQ(1u, d48.d->band_starts[0]);
  EXPECT_EQ(1024u, d48.d->band_starts[25]);
  EXPECT_EQ(1u, d48.d->first_block);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(d48.d) + ((sizeof(AudioDecoder) + 31) & ~size_t(31)),
            d48.d->overlap);

  Decoder d8(8000, 1, 1);
  EXPECT_EQ(512u, d8.d->length);
  EXPECT_EQ(0.088388346f, d8.d->scale);
  EXPECT_EQ(18u, d8.d->band_count);
  EXPECT_EQ(64u, d8.d->overlap_bytes);
  EXPECT_EQ(5u, d8.d->shift);

  // Flag 4 acts as 5; joined stereo doubles the length and the band rate.
  Decoder v(22050, 2, 4);
  EXPECT_EQ(5u, v.d->flags);
  EXPECT_EQ(2u, v.d->channels);
  EXPECT_EQ(1024u, v.d->length);
  Decoder joined(22050, 2, 0);
  ASSERT_NE(nullptr, joined.d);
  EXPECT_EQ(1u, joined.d->channels);
  EXPECT_EQ(2048u, joined.d->length);
  EXPECT_EQ(0.044194173f, joined.d->scale);
  EXPECT_EQ(256u, joined.d->overlap_bytes);
  // Joined stereo at 44100 Hz or more needs 4096 coefficients: unsupported.
  Decoder too_long(44100, 2, 0);
  EXPECT_EQ(nullptr, too_long.d);
  Decoder no_channels(44100, 3, 1);
  EXPECT_EQ(nullptr, no_channels.d);

  const uint32_t record = (sizeof(AudioDecoder) + 31) & ~31u;
  EXPECT_EQ(record + 256, GetAudioDecoderSize(44100, 1));
  EXPECT_EQ(record + 512, GetAudioDecoderSize(48000, 2));
  EXPECT_EQ(record + 128, GetAudioDecoderSize(22050, 1));
  EXPECT_EQ(record + 64, GetAudioDecoderSize(8000, 1));
}

TEST(AudioDecoderLayout, BlockOutputSizes) {
  struct Case {
    uint32_t rate, channels, bytes;
  } cases[] = {{44100, 1, 3840}, {44100, 2, 7680}, {22050, 1, 1920}, {8000, 1, 960}};
  for (auto &c : cases) {
    AudioEncoder e;
    ASSERT_TRUE(InitAudioEncoder(&e, c.rate, c.channels, 1));
    const double f[2] = {440, 660};
    std::vector<int16_t> s = MakeTone(c.rate, c.channels, f, 8192, 3000);
    uint32_t decoded = 0;
    std::vector<uint8_t> body = EncodeAudioPacket(&e, s.data(), 8192, 0, 2, &decoded);
    EXPECT_EQ(2 * c.bytes, decoded);
    Decoder d(c.rate, c.channels, 1);
    std::vector<uint32_t> produced;
    std::vector<int16_t> out = DecodeLinear(d.d, body, 2, &produced);
    EXPECT_EQ(c.bytes, produced[0]) << c.rate;
    EXPECT_EQ(c.bytes, produced[1]) << c.rate;
    EXPECT_EQ(2 * c.bytes, out.size() * 2);
  }
}

struct ToneCase {
  uint32_t rate, channels, flags;
};

class AudioDecoderTone : public ::testing::TestWithParam<ToneCase> {};

// A tone (a different one per channel) encoded and decoded comes back as
// that tone: the peak at its frequency, little energy elsewhere, and the
// samples themselves close to the original.
TEST_P(AudioDecoderTone, ComesBackAsTheTone) {
  const ToneCase c = GetParam();
  AudioEncoder e;
  ASSERT_TRUE(InitAudioEncoder(&e, c.rate, c.channels, c.flags));
  const double freq[2] = {1000, 2500};
  const uint32_t n = 8192, blocks = (n + 2048) / AudioBlockFrames(&e) + 2;
  const uint64_t frames = uint64_t(blocks) * AudioBlockFrames(&e);
  std::vector<int16_t> src = MakeTone(c.rate, c.channels, freq, frames, 12000);
  uint32_t decoded = 0;
  std::vector<uint8_t> body = EncodeAudioPacket(&e, src.data(), frames, 0, blocks, &decoded);
  Decoder d(c.rate, c.channels, c.flags);
  ASSERT_NE(nullptr, d.d);
  std::vector<int16_t> out = DecodeLinear(d.d, body, blocks);
  ASSERT_EQ(decoded / 2, out.size());
  for (uint32_t ch = 0; ch < c.channels; ch++) {
    ToneCheck t = CheckTone(Spectrum(out, c.channels, ch, 1024, n));
    ToneCheck original = CheckTone(Spectrum(src, c.channels, ch, 1024, n));
    uint32_t want = uint32_t(std::lround(freq[ch] * n / c.rate));
    EXPECT_NEAR(double(want), double(t.peak_bin), 1.0) << "channel " << ch;
    // The window's own leakage bounds what the original reaches.
    EXPECT_GT(t.snr_db, 55.0) << "channel " << ch;
    EXPECT_GT(t.snr_db, original.snr_db - 6.0) << "channel " << ch;
    double signal = 0, noise = 1e-9;
    for (uint64_t f = 0; f < out.size() / c.channels; f++) {
      double a = src[f * c.channels + ch], b = out[f * c.channels + ch];
      signal += a * a;
      noise += (a - b) * (a - b);
    }
    double snr = 10 * std::log10(signal / noise);
    EXPECT_GT(snr, 55.0) << "channel " << ch;
    printf("%u Hz, %u channel(s), flags %u, channel %u: spectral SNR %.1f dB (original %.1f), "
           "sample SNR %.1f dB\n",
           c.rate, c.channels, c.flags, ch, t.snr_db, original.snr_db, snr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, AudioDecoderTone,
    ::testing::Values(ToneCase{48000, 1, 0}, ToneCase{48000, 1, 1}, ToneCase{48000, 1, 4},
                      ToneCase{48000, 2, 1}, ToneCase{48000, 2, 4}, ToneCase{22050, 1, 0},
                      ToneCase{22050, 1, 1}, ToneCase{22050, 1, 4}, ToneCase{22050, 2, 0},
                      ToneCase{22050, 2, 1}, ToneCase{22050, 2, 4}),
    [](const ::testing::TestParamInfo<ToneCase> &i) {
      return std::to_string(i.param.rate) + "Hz_" + std::to_string(i.param.channels) + "ch_flags" +
             std::to_string(i.param.flags);
    });

// The synthesis of one block as the decoder forms it, before the crossfade.
std::vector<int16_t> Synthesise(const AudioEncoder &e, std::vector<std::vector<float>> deq) {
  const uint32_t n = e.length;
  alignas(64) float scratch[2048];
  std::vector<int16_t> out(n * e.coded_channels);
  Aligned coef(4 * n);
  float *x = reinterpret_cast<float *>(coef.data);
  if (e.coded_channels == 1) {
    memcpy(x, deq[0].data(), n * 4);
    InverseTransformToPcm(out.data(), scratch, x, n, e.scale);
  } else {
    std::vector<int16_t> left(n);
    memcpy(x, deq[0].data(), n * 4);
    InverseTransformToPcm(left.data(), scratch, x, n, e.scale);
    memcpy(x, deq[1].data(), n * 4);
    InverseTransformToPcmInterleaved(out.data(), left.data(), scratch, x, n, e.scale);
  }
  return out;
}

// The first block is written without crossfade and holds its tail back; the
// next block's first o/2 values blend the two exactly as the formula says.
TEST(AudioDecoderCrossfade, FirstBlockPlainThenExactBlend) {
  for (uint32_t channels = 1; channels <= 2; channels++) {
    AudioEncoder e;
    ASSERT_TRUE(InitAudioEncoder(&e, 44100, channels, 1));
    const double freq[2] = {3000, 5000};
    std::vector<int16_t> src = MakeTone(44100, channels, freq, 8192, 20000);
    std::vector<std::vector<float>> deq0, deq1;
    std::vector<uint8_t> body = EncodeAudioBlock(&e, src.data(), 8192, 0, &deq0);
    std::vector<uint8_t> b1 = EncodeAudioBlock(&e, src.data(), 8192, 1, &deq1);
    body.insert(body.end(), b1.begin(), b1.end());
    Decoder d(44100, channels, 1);
    std::vector<int16_t> out = DecodeLinear(d.d, body, 2);
    std::vector<int16_t> y0 = Synthesise(e, deq0), y1 = Synthesise(e, deq1);
    const uint32_t total = uint32_t(y0.size()), n = e.overlap_values, keep = total - n;
    ASSERT_EQ(2u * keep, out.size());
    for (uint32_t i = 0; i < keep; i++) ASSERT_EQ(y0[i], out[i]) << "block 0 value " << i;
    const uint32_t shift = channels == 1 ? 7 : 8;
    for (uint32_t i = 0; i < n; i++) {
      int32_t v = (int32_t(y1[i]) * int32_t(i) + int32_t(y0[keep + i]) * int32_t(n - i)) >> shift;
      v = v < -32768 ? -32768 : v > 32767 ? 32767 : v;
      ASSERT_EQ(v, out[keep + i]) << "blend value " << i;
    }
    for (uint32_t i = n; i < keep; i++) ASSERT_EQ(y1[i], out[keep + i]) << "block 1 value " << i;
    EXPECT_EQ(0u, d.d->first_block);
  }
}

// Across block joins a decoded tone steps no more than the tone itself.
TEST(AudioDecoderCrossfade, JoinsBlocksWithoutClicks) {
  AudioEncoder e;
  ASSERT_TRUE(InitAudioEncoder(&e, 48000, 1, 1));
  const double freq[1] = {440};
  const uint32_t blocks = 8;
  const uint64_t frames = uint64_t(blocks) * AudioBlockFrames(&e);
  std::vector<int16_t> src = MakeTone(48000, 1, freq, frames, 25000);
  uint32_t decoded;
  std::vector<uint8_t> body = EncodeAudioPacket(&e, src.data(), frames, 0, blocks, &decoded);
  Decoder d(48000, 1, 1);
  std::vector<int16_t> out = DecodeLinear(d.d, body, blocks);
  int src_step = 0, out_step = 0;
  for (size_t i = 1; i < out.size(); i++) {
    src_step = std::max(src_step, std::abs(src[i] - src[i - 1]));
    out_step = std::max(out_step, std::abs(out[i] - out[i - 1]));
  }
  EXPECT_LE(out_step, src_step + 8);
  // Around every join the samples match the tone closely.
  for (uint32_t b = 1; b < blocks; b++) {
    for (int64_t i = -8; i < 8; i++) {
      size_t at = size_t(int64_t(b) * AudioBlockFrames(&e) + i);
      ASSERT_NEAR(src[at], out[at], 24) << "join " << b << " offset " << i;
    }
  }
}

// ---- hand-written blocks -----------------------------------------------

// Blocks of an 8000 Hz mono track (N = 512, 18 bands), the syntax written
// bit by bit; the expected coefficients synthesised with the same transform.
struct HandBlock {
  AudioEncoder e;
  AudioBitWriter w;
  std::vector<float> coef;
  std::vector<float> q;  // quantiser per coefficient
  explicit HandBlock(uint32_t flags) {
    InitAudioEncoder(&e, 8000, 1, flags);
    coef.assign(e.length, 0.0f);
    q.assign(e.length, 0.0f);
    if (e.flags & 1) PutAudioBits(&w, 2, 2);
  }
  void Header(float c0, float c1, const std::vector<uint32_t> &index) {
    uint32_t b0 = EncodeAudioFloat29(c0), b1 = EncodeAudioFloat29(c1);
    PutAudioBits(&w, b0, 29);
    PutAudioBits(&w, b1, 29);
    coef[0] = DecodeAudioFloat29(b0);
    coef[1] = DecodeAudioFloat29(b1);
    for (uint32_t b = 0; b < e.band_count; b++) {
      PutAudioBits(&w, index[b], (e.flags & 4) ? 7 : 8);
      for (uint32_t k = 2 * e.band_starts[b]; k < 2 * e.band_starts[b + 1]; k++)
        q[k] = QUANT_LEVELS[index[b] < 95 ? index[b] : 95];
    }
  }
  // A run at k with (code or -1 for 8) and width w, values signed.
  uint32_t Run(uint32_t k, int code, uint32_t width, const std::vector<int32_t> &values) {
    uint32_t length = 8;
    if (code < 0) {
      PutAudioBits(&w, 0, 1);
    } else {
      PutAudioBits(&w, 1, 1);
      PutAudioBits(&w, uint32_t(code), 4);
      length = 8u * RUN_LENGTH_CODES[code];
    }
    PutAudioBits(&w, width, 4);
    uint32_t end = std::min(e.length, k + length);
    if (width) {
      for (uint32_t j = k; j < end; j++) {
        int32_t v = values[j - k];
        PutAudioBits(&w, uint32_t(std::abs(v)), width);
        if (!(e.flags & 4) && v) PutAudioBits(&w, v < 0, 1);
        float a = float(std::abs(v)) * q[j];
        coef[j] = v < 0 ? -a : a;
      }
      if (e.flags & 4)
        for (uint32_t j = k; j < end; j++)
          if (values[j - k]) PutAudioBits(&w, values[j - k] < 0, 1);
    }
    return end;
  }
  std::vector<int16_t> Expected() {
    std::vector<std::vector<float>> c = {coef};
    return Synthesise(e, c);
  }
};

TEST(AudioDecoderSyntax, RunsZerosSignsAndCutsAtTheEnd) {
  for (uint32_t flags : {1u, 4u}) {
    HandBlock h(flags);
    std::vector<uint32_t> index(h.e.band_count);
    for (uint32_t b = 0; b < index.size(); b++) index[b] = b % 9;
    index[3] = (flags & 4) ? 120 : 200;  // above 95: uses entry 95
    h.Header(1234.5f, -77.25f, index);
    std::mt19937 rng(flags);
    uint32_t k = 2;
    // Plain runs with zero magnitudes (no sign bit) mixed in.
    for (int r = 0; r < 6; r++) {
      std::vector<int32_t> v(8);
      for (auto &x : v) x = int32_t(rng() % 7) - 3;
      v[0] = 0;
      k = h.Run(k, -1, 3, v);
    }
    k = h.Run(k, 0, 0, {});  // 16 zeros, width 0
    std::vector<int32_t> wide(512);
    for (auto &x : wide) x = int32_t(rng() % 401) - 200;
    wide[5] = 32767;  // the widest magnitude
    k = h.Run(k, 3, 15, wide);  // 40 values of width 15
    // The last run asks for 512 values and is cut at N.
    std::vector<int32_t> tail(512);
    for (auto &x : tail) x = int32_t(rng() % 31) - 15;
    k = h.Run(k, 15, 5, tail);
    ASSERT_EQ(h.e.length, k);
    AlignAudioBits32(&h.w);
    const size_t block_bytes = h.w.bytes.size();
    // A second block right behind: the cursor must land on it.
    std::vector<uint8_t> body = h.w.bytes;
    body.insert(body.end(), h.w.bytes.begin(), h.w.bytes.end());
    Decoder d(8000, 1, flags);
    AudioOutputRing ring;
    Aligned mem(4096);
    ring = {mem.data, mem.data, mem.data + 4096, 4096 - 16, 0, 0};
    PacketCursor cursor = {reinterpret_cast<const uint32_t *>(body.data()),
                           body.data() + body.size()};
    DecodeAudioPacket(d.d, &ring, &cursor);
    EXPECT_EQ(body.data() + block_bytes, reinterpret_cast<const uint8_t *>(cursor.next));
    std::vector<int16_t> want = h.Expected();
    const int16_t *got = reinterpret_cast<const int16_t *>(mem.data);
    for (uint32_t i = 0; i + 32 < want.size(); i++) ASSERT_EQ(want[i], got[i]) << flags << " " << i;
    DecodeAudioPacket(d.d, &ring, &cursor);
    EXPECT_EQ(body.data() + body.size(), reinterpret_cast<const uint8_t *>(cursor.next));
  }
}

TEST(AudioDecoderSyntax, ZeroIndexesAndZeroWidthsGiveSilence) {
  for (uint32_t flags : {0u, 1u, 4u}) {
    HandBlock h(flags);
    h.Header(0.0f, 0.0f, std::vector<uint32_t>(h.e.band_count, 0));
    for (uint32_t k = 2; k < h.e.length;) k = h.Run(k, 14, 0, {});
    AlignAudioBits32(&h.w);
    Decoder d(8000, 1, flags);
    std::vector<int16_t> out = DecodeLinear(d.d, h.w.bytes, 1);
    ASSERT_FALSE(out.empty());
    for (int16_t v : out) ASSERT_EQ(0, v);
  }
}

// ---- ring write --------------------------------------------------------

std::vector<uint8_t> ToneBody(AudioEncoder *e, uint32_t rate, uint32_t channels, uint32_t flags,
                              uint32_t blocks) {
  InitAudioEncoder(e, rate, channels, flags);
  const double freq[2] = {700, 1300};
  const uint64_t frames = uint64_t(blocks) * AudioBlockFrames(e);
  std::vector<int16_t> s = MakeTone(rate, channels, freq, frames, 9000);
  uint32_t decoded;
  return EncodeAudioPacket(e, s.data(), frames, 0, blocks, &decoded);
}

// A small ring that wraps many times: every block lands in the free part,
// staged and split at the end when it does not fit before it.
TEST(AudioDecoderRing, WrapsAndStagesLikeALinearDecode) {
  for (uint32_t channels = 1; channels <= 2; channels++) {
    AudioEncoder e;
    const uint32_t blocks = 7;
    std::vector<uint8_t> body = ToneBody(&e, 22050, channels, 1, blocks);
    Decoder lin(22050, channels, 1);
    std::vector<int16_t> want = DecodeLinear(lin.d, body, blocks);
    const uint32_t bytes = AudioBlockOutputBytes(&e);
    const uint32_t size = (bytes * 5 / 2 + 255) & ~255u;  // room for two blocks and a half
    Aligned mem(size + 64);
    memset(mem.data + size, 0xA5, 64);
    Decoder d(22050, channels, 1);
    AudioOutputRing ring = {mem.data, mem.data, mem.data + size, 0, 0, 0};
    PacketCursor cursor = {reinterpret_cast<const uint32_t *>(body.data()),
                           body.data() + body.size()};
    uint64_t read = 0, written = 0;  // stream positions
    std::vector<int16_t> got;
    for (uint32_t b = 0; b < blocks; b++) {
      uint64_t used = written - read;
      uint32_t free = uint32_t(((size - used) & ~uint64_t(63)) - 16);
      ring.free = free;
      uint8_t *before = ring.write == ring.end ? ring.start : ring.write;
      DecodeAudioPacket(d.d, &ring, &cursor);
      ASSERT_EQ(bytes, ring.produced);
      ASSERT_EQ(bytes, ring.free) << "block " << b;
      uint64_t moved = (uint64_t(ring.write - mem.data) + size - uint64_t(before - mem.data)) % size;
      ASSERT_EQ(bytes % size, moved);
      written += bytes;
      // The reader drains everything after each block.
      for (; read < written; read += 2) {
        int16_t v;
        memcpy(&v, mem.data + read % size, 2);
        got.push_back(v);
      }
    }
    EXPECT_EQ(want, got) << channels;
    for (uint32_t i = 0; i < 64; i++) ASSERT_EQ(0xA5, mem.data[size + i]);
  }
}

// With less free space than a block, only the free bytes are written; the
// rest of the ring is untouched and the block counts as produced in full.
TEST(AudioDecoderRing, ClampsToTheFreeBytes) {
  AudioEncoder e;
  std::vector<uint8_t> body = ToneBody(&e, 22050, 1, 1, 1);
  const uint32_t size = 8192;
  Aligned mem(size);
  memset(mem.data, 0x5A, size);
  Decoder d(22050, 1, 1);
  // Writer near the end, little room: the block is staged.
  AudioOutputRing ring = {mem.data + 7936, mem.data, mem.data + size, 64 * 4 - 16, 0, 0};
  PacketCursor cursor = {reinterpret_cast<const uint32_t *>(body.data()),
                         body.data() + body.size()};
  DecodeAudioPacket(d.d, &ring, &cursor);
  EXPECT_EQ(1920u, ring.produced);
  EXPECT_EQ(240u, ring.free);
  EXPECT_EQ(mem.data + 7936 + 240 - size + size, ring.write);
  for (uint32_t i = 0; i < 7936; i++) ASSERT_EQ(0x5A, mem.data[i]) << i;
  for (uint32_t i = 7936 + 240; i < size; i++) ASSERT_EQ(0x5A, mem.data[i]) << i;

  // A skip drops bytes from the front; a write position at the end moves
  // to the start first.
  Decoder d2(22050, 1, 1);
  AudioOutputRing r2 = {mem.data + size, mem.data, mem.data + size, 4096 - 16, 1024, 0};
  cursor = {reinterpret_cast<const uint32_t *>(body.data()), body.data() + body.size()};
  DecodeAudioPacket(d2.d, &r2, &cursor);
  EXPECT_EQ(1920u, r2.produced);
  EXPECT_EQ(896u, r2.free);
  EXPECT_EQ(mem.data + 896, r2.write);
  EXPECT_EQ(0u, r2.skip);
}

TEST(AudioDecoderRing, SkipLongerThanTheBlockWritesNothing) {
  Aligned mem(256);
  AudioOutputRing r = {mem.data, mem.data, mem.data + 256, 240, 100, 0};
  uint8_t src[64] = {1};
  WriteAudioRing(&r, src, 64);
  EXPECT_EQ(36u, r.skip);
  EXPECT_EQ(0u, r.free);
  EXPECT_EQ(64u, r.produced);
  EXPECT_EQ(mem.data, r.write);
}

// ---- damaged packets ---------------------------------------------------

// Decodes a body held in an allocation of exactly its size, block after
// block as the frame decode job does; the cursor must stay inside.
void DecodeExact(uint32_t rate, uint32_t channels, uint32_t flags, const uint8_t *bytes,
                 size_t len) {
  std::unique_ptr<uint8_t[]> body(new uint8_t[len ? len : 1]);
  memcpy(body.get(), bytes, len);
  Decoder d(rate, channels, flags);
  ASSERT_NE(nullptr, d.d);
  Aligned mem(65536);
  AudioOutputRing ring = {mem.data, mem.data, mem.data + 65536, 0, 0, 0};
  PacketCursor cursor = {reinterpret_cast<const uint32_t *>(body.get()), body.get() + len};
  for (int calls = 0; calls < 64; calls++) {
    const uint8_t *at = reinterpret_cast<const uint8_t *>(cursor.next);
    if (at >= body.get() + len) break;
    ring.free = 65536 - 16;
    ring.write = mem.data;
    DecodeAudioPacket(d.d, &ring, &cursor);
    const uint8_t *now = reinterpret_cast<const uint8_t *>(cursor.next);
    ASSERT_GE(now, at);
    ASSERT_LE(now, body.get() + len);
    if (now == at) break;
  }
}

TEST(AudioDecoderDamage, TruncatedPacketsDecodeWithinBounds) {
  for (uint32_t flags : {0u, 1u, 4u}) {
    for (uint32_t channels = 1; channels <= 2; channels++) {
      AudioEncoder e;
      std::vector<uint8_t> body = ToneBody(&e, 22050, channels, flags, 2);
      for (size_t cut = 0; cut < body.size(); cut += 1 + cut / 7)
        DecodeExact(22050, channels, flags, body.data(), cut);
    }
  }
}

TEST(AudioDecoderDamage, RandomBytesNeverReadOutside) {
  std::mt19937 rng(77);
  for (int round = 0; round < 60; round++) {
    size_t len = rng() % 3000;
    std::vector<uint8_t> junk(len);
    for (auto &b : junk) b = uint8_t(rng());
    uint32_t flags = round % 3 == 0 ? 0 : round % 3 == 1 ? 1 : 4;
    uint32_t rate = round % 2 ? 8000 : 48000;
    DecodeExact(rate, 1 + (flags && round % 4 == 1), flags, junk.data(), len);
    // Bit flips in a real packet.
    AudioEncoder e;
    std::vector<uint8_t> body = ToneBody(&e, rate, 1, flags, 2);
    for (int f = 0; f < 20; f++) body[rng() % body.size()] ^= uint8_t(1u << (rng() % 8));
    DecodeExact(rate, 1, flags, body.data(), body.size());
  }
}

// ---- kernels -----------------------------------------------------------

TEST(AudioDecoderKernels, CrossfadeFormsMatchTheScalarForm) {
  std::mt19937 rng(5);
  std::vector<CrossfadeKernel> forms = {CrossfadeSse2};
#if defined(__i386__)
  forms.push_back(CrossfadeMmx);
#endif
  for (uint32_t shift = 5; shift <= 8; shift++) {
    const uint32_t n = 1u << shift;
    for (int round = 0; round < 20; round++) {
      std::vector<int16_t> cur(n), prev(n);
      for (uint32_t i = 0; i < n; i++) {
        cur[i] = int16_t(rng());
        prev[i] = round < 2 ? int16_t(round ? 32767 : -32768) : int16_t(rng());
      }
      std::vector<int16_t> want = cur;
      CrossfadeScalar(want.data(), prev.data(), n, shift);
      for (CrossfadeKernel k : forms) {
        std::vector<int16_t> got = cur;
        k(got.data(), prev.data(), n, shift);
        ASSERT_EQ(want, got) << "shift " << shift;
      }
    }
  }
}

TEST(AudioDecoderKernels, UnpackFormsMatchTheScalarForm) {
#if defined(__x86_64__)
  UpdateCpuFeatures(0, 0);
  if (!(GetDetectedCpuFeatures() & CPU_SSSE3)) GTEST_SKIP() << "no SSSE3";
  std::mt19937 rng(6);
  std::vector<uint8_t> src(1200);
  for (int round = 0; round < 400; round++) {
    for (auto &b : src) b = uint8_t(rng());
    uint32_t width = 1 + rng() % 15, bit = rng() % 8, count = 1 + rng() % 512;
    std::vector<uint16_t> want(count), got(count);
    UnpackMagnitudesScalar(src.data(), bit, count, width, want.data());
    UnpackMagnitudesSsse3(src.data(), bit, count, width, got.data());
    ASSERT_EQ(want, got) << "width " << width << " bit " << bit << " count " << count;
  }
#else
  GTEST_SKIP() << "the 32-bit build has no SSSE3 unpack";
#endif
}

// Every kernel set the processor allows decodes the same samples.
TEST(AudioDecoderKernels, EveryKernelSetDecodesTheSameSamples) {
  UpdateCpuFeatures(0, 0);
  const uint32_t all = GetDetectedCpuFeatures();
  for (uint32_t flags : {1u, 4u}) {
    AudioEncoder e;
    std::vector<uint8_t> body = ToneBody(&e, 44100, 2, flags, 3);
    Decoder full(44100, 2, flags);
    std::vector<int16_t> want = DecodeLinear(full.d, body, 3);
    for (uint32_t off : {uint32_t(CPU_SSSE3), uint32_t(CPU_SSSE3 | CPU_SSE2),
                         uint32_t(CPU_SSSE3 | CPU_SSE2 | CPU_MMX)}) {
      UpdateCpuFeatures(0, off);
      Decoder d(44100, 2, flags);
      std::vector<int16_t> got = DecodeLinear(d.d, body, 3);
      UpdateCpuFeatures(all, 0);
      EXPECT_EQ(want, got) << "features off " << off << " flags " << flags;
    }
  }
  Decoder restore(44100, 1, 1);
}

}  // namespace
