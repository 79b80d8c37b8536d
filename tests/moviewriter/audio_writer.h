// Test writer of the audio bitstream: a forward transform of 16-bit sound,
// band quantisation and the block syntax of every decoder-flag variant,
// packed into packets with their decoded-byte counts.
#pragma once
#include <cstdint>
#include <vector>

// LSB-first bit writer: bit j is bit (j mod 8) of byte (j div 8).
struct AudioBitWriter {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;
};
void PutAudioBits(AudioBitWriter *w, uint32_t value, uint32_t count);  // count <= 32
void AlignAudioBits32(AudioBitWriter *w);

// The 29-bit float nearest to v (exponent 0..23, 23-bit mantissa, sign),
// and its value as the decoder forms it.
uint32_t EncodeAudioFloat29(float v);
float DecodeAudioFloat29(uint32_t bits);

// The decoder's layout for a track, as the encoder needs it.
struct AudioEncoder {
  uint32_t rate, channels, flags;  // flags after bit 2 implies bit 0
  uint32_t base_length;            // N0
  uint32_t length;                 // N: coefficients per channel block
  uint32_t coded_channels;         // channel blocks per block
  uint32_t overlap_values;         // o / 2: 16-bit values crossfaded
  float scale;                     // 2 / sqrt(N)
  uint32_t band_count;
  uint32_t band_starts[26];
  uint32_t max_magnitude;          // largest quantised magnitude wanted (<= 32767)
  int8_t ignored_bits;             // the two leading bits written with flag bit 0
};

// Layout for (rate, channels, decoder flags 0, 1 or 4); false when the
// decoder does not support it.
bool InitAudioEncoder(AudioEncoder *e, uint32_t rate, uint32_t channels, uint32_t flags);
// Bytes one block adds to the ring: 2 x N0 x channels - o.
uint32_t AudioBlockOutputBytes(const AudioEncoder *e);
// Frames one block adds: 15/16 of N0.
uint32_t AudioBlockFrames(const AudioEncoder *e);

// One block from coefficients (per coded channel, N floats each).  When
// dequantised is not null it receives the coefficients the decoder forms.
std::vector<uint8_t> EncodeAudioCoefficients(const AudioEncoder *e,
                                             const std::vector<std::vector<float>> &coefficients,
                                             std::vector<std::vector<float>> *dequantised);
// The coefficients whose inverse transform is the given N values.
std::vector<float> ForwardAudioTransform(const AudioEncoder *e, const std::vector<double> &values);
// Block b of interleaved 16-bit sound (frames frames; silence beyond).
std::vector<uint8_t> EncodeAudioBlock(const AudioEncoder *e, const int16_t *samples,
                                      uint64_t frames, uint64_t block,
                                      std::vector<std::vector<float>> *dequantised = nullptr);
// Blocks [first, first + count) as one packet body; *decoded_bytes gets
// the bytes the packet adds to the ring.
std::vector<uint8_t> EncodeAudioPacket(const AudioEncoder *e, const int16_t *samples,
                                       uint64_t frames, uint64_t first, uint32_t count,
                                       uint32_t *decoded_bytes);

// ---- analysis helpers of the audio tests --------------------------------
#include <cmath>
#include <complex>
#include <cstring>

#include "audio/codec/audio_decoder.h"

namespace audio_test {

// Interleaved tone: channel c at freq[c] Hz.
inline std::vector<int16_t> MakeTone(uint32_t rate, uint32_t channels, const double *freq,
                                     uint64_t frames, double amplitude) {
  std::vector<int16_t> s(frames * channels);
  for (uint64_t f = 0; f < frames; f++)
    for (uint32_t c = 0; c < channels; c++)
      s[f * channels + c] =
          int16_t(std::lround(amplitude * std::sin(2 * M_PI * freq[c] * double(f) / rate)));
  return s;
}

// Magnitude spectrum (Hann window) of channel c of frames [first, first + n), n a power of 2.
inline std::vector<double> Spectrum(const std::vector<int16_t> &s, uint32_t channels, uint32_t c,
                                    uint64_t first, uint32_t n) {
  std::vector<std::complex<double>> a(n);
  for (uint32_t i = 0; i < n; i++)
    a[i] = double(s[(first + i) * channels + c]) * (0.5 - 0.5 * std::cos(2 * M_PI * i / n));
  for (uint32_t i = 1, j = 0; i < n; i++) {
    uint32_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (uint32_t len = 2; len <= n; len <<= 1) {
    std::complex<double> wl = std::polar(1.0, -2 * M_PI / len);
    for (uint32_t i = 0; i < n; i += len) {
      std::complex<double> w = 1;
      for (uint32_t j = 0; j < len / 2; j++, w *= wl) {
        std::complex<double> u = a[i + j], v = a[i + j + len / 2] * w;
        a[i + j] = u + v;
        a[i + j + len / 2] = u - v;
      }
    }
  }
  std::vector<double> m(n / 2);
  for (uint32_t i = 0; i < n / 2; i++) m[i] = std::abs(a[i]);
  return m;
}

struct ToneCheck {
  uint32_t peak_bin;
  double snr_db;  // energy within 8 bins of the peak against all the rest
};

inline ToneCheck CheckTone(const std::vector<double> &m) {
  ToneCheck r = {0, 0};
  for (uint32_t i = 1; i < m.size(); i++)
    if (m[i] > m[r.peak_bin]) r.peak_bin = i;
  double tone = 0, rest = 1e-9;
  for (uint32_t i = 1; i < m.size(); i++) {
    double e = m[i] * m[i];
    if (i + 8 >= r.peak_bin && i <= r.peak_bin + 8)
      tone += e;
    else
      rest += e;
  }
  r.snr_db = 10 * std::log10(tone / rest);
  return r;
}

// Aligned storage for decoder and ring.
struct Aligned {
  explicit Aligned(size_t n) : store(n + 64, 0) {
    uintptr_t p = reinterpret_cast<uintptr_t>(store.data());
    data = reinterpret_cast<uint8_t *>((p + 63) & ~uintptr_t(63));
  }
  std::vector<uint8_t> store;
  uint8_t *data;
};

// Decodes the blocks of a packet body one call at a time into a ring large
// enough never to wrap; returns the samples written.
inline std::vector<int16_t> DecodeLinear(AudioDecoder *d, const std::vector<uint8_t> &body,
                                         uint32_t blocks, std::vector<uint32_t> *produced = nullptr) {
  Aligned ring(uint64_t(blocks) * 8192 + 4096);
  const uint32_t size = blocks * 8192 + 4096;
  PacketCursor cursor = {reinterpret_cast<const uint32_t *>(body.data()),
                         body.data() + body.size()};
  AudioOutputRing r = {ring.data, ring.data, ring.data + size, 0, 0, 0};
  for (uint32_t b = 0; b < blocks; b++) {
    uint64_t used = uint64_t(r.write - ring.data);
    r.free = uint32_t(((size - used) & ~uint64_t(63)) - 16);
    DecodeAudioPacket(d, &r, &cursor);
    if (produced) produced->push_back(r.produced);
  }
  std::vector<int16_t> out(size_t(r.write - ring.data) / 2);
  memcpy(out.data(), ring.data, out.size() * 2);
  return out;
}

}  // namespace audio_test
