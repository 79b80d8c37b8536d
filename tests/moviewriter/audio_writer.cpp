// Test writer of the audio bitstream.
#include "moviewriter/audio_writer.h"

#include <cmath>
#include <cstring>

#include "audio/codec/audio_decoder_tables.h"

void PutAudioBits(AudioBitWriter *w, uint32_t value, uint32_t count) {
  for (uint32_t i = 0; i < count; i++, w->bits++) {
    if ((w->bits & 7) == 0) w->bytes.push_back(0);
    if ((value >> i) & 1) w->bytes.back() |= uint8_t(1u << (w->bits & 7));
  }
}

void AlignAudioBits32(AudioBitWriter *w) {
  while (w->bits % 32) PutAudioBits(w, 0, 1);
}

uint32_t EncodeAudioFloat29(float v) {
  uint32_t sign = std::signbit(v) ? 1 : 0;
  double a = std::fabs(double(v));
  for (uint32_t e = 0; e < 24; e++) {
    double m = std::nearbyint(a / double(POW2_SCALES[e]));
    if (m < 8388608.0) return uint32_t(e) | (uint32_t(m) << 5) | (sign << 28);
  }
  return 23u | (0x7FFFFFu << 5) | (sign << 28);
}

float DecodeAudioFloat29(uint32_t x) {
  uint32_t e = x & 31, m = (x >> 5) & 0x7FFFFF;
  float f = e < 24 ? float(m) * POW2_SCALES[e] : 0.0f;
  return (x >> 28) & 1 ? -f : f;
}

bool InitAudioEncoder(AudioEncoder *e, uint32_t rate, uint32_t channels, uint32_t flags) {
  memset(e, 0, sizeof *e);
  flags |= (flags >> 2) & 1;
  if (channels < 1 || channels > 2) return false;
  e->rate = rate;
  e->channels = channels;
  e->flags = flags;
  e->base_length = rate >= 44100 ? 2048 : rate >= 22050 ? 1024 : 512;
  uint32_t band_rate = rate;
  if (flags & 1) {
    e->length = e->base_length;
    e->coded_channels = channels;
  } else {
    e->length = e->base_length * channels;
    if (e->length > 2048) return false;
    e->coded_channels = 1;
    band_rate = rate * channels;
  }
  e->overlap_values = ((e->base_length * channels / 8) & ~63u) / 2;
  e->scale = 2.0f / std::sqrt(float(e->length));
  uint32_t half = (band_rate + 1) / 2, bands = 25;
  for (uint32_t i = 0; i < 25; i++)
    if (CRITICAL_BAND_EDGES[i] >= half) {
      bands = i;
      break;
    }
  e->band_count = bands;
  for (uint32_t i = 0; i < bands; i++) {
    uint32_t s = CRITICAL_BAND_EDGES[i] * (e->length / 2) / half;
    e->band_starts[i] = s < 1 ? 1 : s;
  }
  e->band_starts[bands] = e->length / 2;
  e->max_magnitude = 4095;
  e->ignored_bits = 3;
  return true;
}

uint32_t AudioBlockOutputBytes(const AudioEncoder *e) {
  return 2 * e->base_length * e->channels - 2 * e->overlap_values;
}

uint32_t AudioBlockFrames(const AudioEncoder *e) {
  return AudioBlockOutputBytes(e) / (2 * e->channels);
}

namespace {

uint32_t WidthOf(uint32_t a) {
  uint32_t w = 0;
  while (a >> w) w++;
  return w;
}

void EncodeChannel(const AudioEncoder *e, const std::vector<float> &x, AudioBitWriter *w,
                   std::vector<float> *deq) {
  const uint32_t n = e->length, bands = e->band_count;
  const bool seven = (e->flags & 4) != 0;
  deq->assign(n, 0.0f);
  uint32_t c0 = EncodeAudioFloat29(x[0]), c1 = EncodeAudioFloat29(x[1]);
  PutAudioBits(w, c0, 29);
  PutAudioBits(w, c1, 29);
  (*deq)[0] = DecodeAudioFloat29(c0);
  (*deq)[1] = DecodeAudioFloat29(c1);
  // Per band: the smallest quantiser that keeps every magnitude in range.
  std::vector<float> q(n, 0.0f);
  for (uint32_t b = 0; b < bands; b++) {
    uint32_t lo = 2 * e->band_starts[b], hi = 2 * e->band_starts[b + 1];
    if (lo < 2) lo = 2;
    double peak = 0;
    for (uint32_t k = lo; k < hi && k < n; k++) peak = std::max(peak, std::fabs(double(x[k])));
    uint32_t index = 0;
    while (index < 95 && peak / QUANT_LEVELS[index] > e->max_magnitude) index++;
    PutAudioBits(w, index, seven ? 7 : 8);
    for (uint32_t k = lo; k < hi && k < n; k++) q[k] = QUANT_LEVELS[index];
  }
  std::vector<uint32_t> mag(n, 0), neg(n, 0);
  for (uint32_t k = 2; k < n; k++) {
    if (q[k] == 0.0f) continue;
    double a = std::nearbyint(std::fabs(double(x[k])) / q[k]);
    mag[k] = a > 32767 ? 32767 : uint32_t(a);
    neg[k] = x[k] < 0;
    float v = float(mag[k]) * q[k];
    (*deq)[k] = neg[k] ? -v : v;
  }
  uint32_t k = 2;
  while (k < n) {
    // The longest run that needs no more width than its first eight values.
    uint32_t w8 = 0;
    for (uint32_t j = k; j < k + 8 && j < n; j++) w8 = std::max(w8, WidthOf(mag[j]));
    int code = -1;
    for (int r = 15; r >= 0; r--) {
      uint32_t end = std::min(n, k + 8u * RUN_LENGTH_CODES[r]), width = 0;
      for (uint32_t j = k; j < end; j++) width = std::max(width, WidthOf(mag[j]));
      if (width <= w8) {
        code = r;
        break;
      }
    }
    uint32_t length = 8;
    if (code >= 0 && 8u * RUN_LENGTH_CODES[code] > 8) {
      PutAudioBits(w, 1, 1);
      PutAudioBits(w, uint32_t(code), 4);
      length = 8u * RUN_LENGTH_CODES[code];
    } else {
      PutAudioBits(w, 0, 1);
    }
    PutAudioBits(w, w8, 4);
    uint32_t end = std::min(n, k + length);
    if (w8 != 0) {
      if (seven) {
        for (uint32_t j = k; j < end; j++) PutAudioBits(w, mag[j], w8);
        for (uint32_t j = k; j < end; j++)
          if (mag[j]) PutAudioBits(w, neg[j], 1);
      } else {
        for (uint32_t j = k; j < end; j++) {
          PutAudioBits(w, mag[j], w8);
          if (mag[j]) PutAudioBits(w, neg[j], 1);
        }
      }
    } else {
      for (uint32_t j = k; j < end; j++) (*deq)[j] = 0.0f;
    }
    k = end;
  }
}

}  // namespace

std::vector<uint8_t> EncodeAudioCoefficients(const AudioEncoder *e,
                                             const std::vector<std::vector<float>> &coefficients,
                                             std::vector<std::vector<float>> *dequantised) {
  AudioBitWriter w;
  if (e->flags & 1) PutAudioBits(&w, uint32_t(e->ignored_bits) & 3, 2);
  std::vector<std::vector<float>> deq(e->coded_channels);
  for (uint32_t c = 0; c < e->coded_channels; c++) EncodeChannel(e, coefficients[c], &w, &deq[c]);
  AlignAudioBits32(&w);
  if (dequantised) *dequantised = deq;
  return w.bytes;
}

std::vector<float> ForwardAudioTransform(const AudioEncoder *e, const std::vector<double> &y) {
  const uint32_t n = e->length;
  std::vector<double> cosines(4 * n);
  for (uint32_t m = 0; m < 4 * n; m++) cosines[m] = std::cos(M_PI * m / (2.0 * n));
  std::vector<float> x(n);
  for (uint32_t k = 0; k < n; k++) {
    double s = 0;
    uint32_t step = 2 * k % (4 * n), m = k % (4 * n);
    for (uint32_t t = 0; t < n; t++) {
      s += y[t] * cosines[m];
      m += step;
      if (m >= 4 * n) m -= 4 * n;
    }
    x[k] = float(s * (k == 0 ? 1.0 : 2.0) / (n * double(e->scale)));
  }
  return x;
}

std::vector<uint8_t> EncodeAudioBlock(const AudioEncoder *e, const int16_t *samples,
                                      uint64_t frames, uint64_t block,
                                      std::vector<std::vector<float>> *dequantised) {
  const uint32_t ch = e->channels, n0 = e->base_length;
  const uint64_t first = block * AudioBlockFrames(e);
  std::vector<std::vector<float>> coefficients;
  auto sample = [&](uint64_t f, uint32_t c) -> double {
    return f < frames ? double(samples[f * ch + c]) : 0.0;
  };
  if (e->flags & 1) {
    for (uint32_t c = 0; c < ch; c++) {
      std::vector<double> y(n0);
      for (uint32_t t = 0; t < n0; t++) y[t] = sample(first + t, c);
      coefficients.push_back(ForwardAudioTransform(e, y));
    }
  } else {
    std::vector<double> y(e->length);
    for (uint32_t t = 0; t < e->length; t++) y[t] = sample(first + t / ch, t % ch);
    coefficients.push_back(ForwardAudioTransform(e, y));
  }
  return EncodeAudioCoefficients(e, coefficients, dequantised);
}

std::vector<uint8_t> EncodeAudioPacket(const AudioEncoder *e, const int16_t *samples,
                                       uint64_t frames, uint64_t first, uint32_t count,
                                       uint32_t *decoded_bytes) {
  std::vector<uint8_t> body;
  for (uint32_t b = 0; b < count; b++) {
    std::vector<uint8_t> block = EncodeAudioBlock(e, samples, frames, first + b);
    body.insert(body.end(), block.begin(), block.end());
  }
  if (decoded_bytes) *decoded_bytes = count * AudioBlockOutputBytes(e);
  return body;
}
