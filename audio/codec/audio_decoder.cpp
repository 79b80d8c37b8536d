// The audio decoder: block syntax, band dequantisation, synthesis through
// the audio transform, the crossfade between blocks and the ring write.
#include "audio/codec/audio_decoder.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "audio/codec/audio_decoder_kernels.h"
#include "audio/codec/audio_decoder_tables.h"
#include "audio/codec/audio_transform.h"
#include "engine/platform/cpu.h"

namespace {

enum : uint32_t {
  MAX_LENGTH = 2048,   // coefficients of the longest channel block
  MAX_RUN = 8 * 64,    // coefficients of the longest run
  DATA_SLACK = 72,     // bytes past the packet end a run may claim before it counts as damaged
};

// Kernels chosen at the last decoder initialisation.
std::atomic<CrossfadeKernel> g_crossfade{CrossfadeScalar};
std::atomic<UnpackKernel> g_unpack{UnpackMagnitudesScalar};

uint32_t RecordBytes() { return (static_cast<uint32_t>(sizeof(AudioDecoder)) + 31u) & ~31u; }

uint32_t BaseLength(uint32_t rate) { return rate >= 44100 ? 2048 : rate >= 22050 ? 1024 : 512; }

// The bytes of one block: everything from its start to the packet end.
// Reads at or past the end give zeros.
struct ByteView {
  const uint8_t *base;
  uint64_t size;
};

uint64_t Load64(const ByteView &v, uint64_t offset) {
  if (offset >= v.size) return 0;
  uint64_t x = 0;
  if (v.size - offset >= 8) {
    memcpy(&x, v.base + offset, 8);
    return x;
  }
  for (uint64_t i = 0; offset + i < v.size; i++) x |= static_cast<uint64_t>(v.base[offset + i]) << (8 * i);
  return x;
}

// n (1..32) bits at bit position pos of the block.
uint32_t ReadAt(const ByteView &v, uint64_t pos, uint32_t n) {
  uint64_t x = Load64(v, pos >> 3) >> (pos & 7);
  return static_cast<uint32_t>(x & ((uint64_t(1) << n) - 1));
}

// The pending-bits reader: up to 64 bits, refilled a whole number of bytes
// at a time; the next bit is bit 0.
struct AudioBitReader {
  uint64_t next;   // offset of the next byte to load, from the block start
  uint64_t bits;   // pending bits
  uint32_t count;  // number of pending bits
};

void Refill(AudioBitReader *r, const ByteView &v) {
  uint32_t bytes = (64 - r->count) >> 3;
  if (bytes == 0) return;
  uint64_t x = Load64(v, r->next);
  if (bytes < 8) x &= (uint64_t(1) << (8 * bytes)) - 1;
  r->bits |= x << r->count;
  r->next += bytes;
  r->count += 8 * bytes;
}

inline void Ensure(AudioBitReader *r, const ByteView &v, uint32_t n) {
  if (r->count < n) Refill(r, v);
}

// n (1..32) bits; the caller has ensured them.
inline uint32_t Take(AudioBitReader *r, uint32_t n) {
  uint32_t x = static_cast<uint32_t>(r->bits & ((uint64_t(1) << n) - 1));
  r->bits >>= n;
  r->count -= n;
  return x;
}

inline uint32_t Read(AudioBitReader *r, const ByteView &v, uint32_t n) {
  Ensure(r, v, n);
  return Take(r, n);
}

uint64_t Position(const AudioBitReader *r) { return r->next * 8 - r->count; }

void Seek(AudioBitReader *r, const ByteView &v, uint64_t pos) {
  r->next = pos >> 3;
  r->bits = 0;
  r->count = 0;
  Refill(r, v);
  Take(r, static_cast<uint32_t>(pos & 7));
}

// A 29-bit float: exponent in bits 0-4, mantissa in 5-27, sign in 28.
// Exponents past the table decode as 0.
float Float29(uint32_t x) {
  uint32_t e = x & 31, m = (x >> 5) & 0x7FFFFF;
  float f = e < 24 ? static_cast<float>(m) * POW2_SCALES[e] : 0.0f;
  return (x >> 28) & 1 ? -f : f;
}

// Walks the bands as the coefficient index grows (runs start at 2, inside
// band 0, whose start is at least one pair).
struct BandWalk {
  const uint32_t *starts;
  const float *quant;
  uint32_t band_count;
  uint32_t band;
  uint32_t band_end;  // first coefficient past the current band
  float q;            // quantiser of the current band (0 without bands)

  void Init(const AudioDecoder *d, const float *q_levels) {
    starts = d->band_starts;
    quant = q_levels;
    band_count = d->band_count;
    band = 0;
    band_end = band_count ? 2 * starts[1] : d->length;
    q = band_count ? quant[0] : 0.0f;
  }
  // The quantiser of coefficient k (k only grows).
  float At(uint32_t k) {
    while (k >= band_end && band + 1 < band_count) {
      band++;
      band_end = 2 * starts[band + 1];
      q = quant[band];
    }
    return q;
  }
};

inline float Dequantise(uint32_t a, uint32_t negative, float q) {
  float v = static_cast<float>(a) * q;
  return negative ? -v : v;
}

bool PastData(const ByteView &v, uint64_t byte_offset) { return byte_offset > v.size + DATA_SLACK; }

// One channel block with 8-bit quantiser indexes; sign bits follow their
// magnitudes.
void ParseChannel8(const AudioDecoder *d, AudioBitReader *r, const ByteView &v, float *coef) {
  const uint32_t n = d->length, bands = d->band_count;
  if (PastData(v, r->next + (58 + 8 * bands + 7) / 8)) {
    memset(coef, 0, n * sizeof(float));
    return;
  }
  coef[0] = Float29(Read(r, v, 29));
  coef[1] = Float29(Read(r, v, 29));
  float q[26];
  for (uint32_t b = 0; b < bands; b++) {
    uint32_t index = Read(r, v, 8);
    q[b] = QUANT_LEVELS[index < 95 ? index : 95];
  }
  BandWalk walk;
  walk.Init(d, q);
  uint32_t k = 2;
  while (k < n) {
    if (PastData(v, r->next + 2)) break;
    Ensure(r, v, 9);
    uint32_t length = 8;
    if (Take(r, 1)) length = 8u * RUN_LENGTH_CODES[Take(r, 4)];
    uint32_t w = Take(r, 4);
    uint32_t end = k + length < n ? k + length : n;
    if (w == 0) {
      memset(coef + k, 0, (end - k) * sizeof(float));
      k = end;
      continue;
    }
    if (PastData(v, r->next + (uint64_t(end - k) * (w + 1) + 9) / 8)) break;
    while (k < end) {
      uint32_t group = (w <= 13 && end - k >= 4) ? 4 : 1;
      Ensure(r, v, group * (w + 1));
      for (uint32_t g = 0; g < group; g++, k++) {
        uint32_t a = Take(r, w);
        uint32_t negative = a ? Take(r, 1) : 0;
        coef[k] = Dequantise(a, negative, walk.At(k));
      }
    }
  }
  if (k < n) memset(coef + k, 0, (n - k) * sizeof(float));
}

// Magnitudes of one run of the 7-bit syntax, through the unpack kernel;
// runs near the packet end are staged in a zero-padded buffer.
void UnpackRun(const ByteView &v, uint64_t pos, uint32_t count, uint32_t w, uint16_t *out,
               UnpackKernel unpack) {
  const uint64_t byte = pos >> 3;
  const uint32_t bit = static_cast<uint32_t>(pos & 7);
  const uint64_t span = (bit + uint64_t(count) * w + 7) / 8;
  if (byte < v.size && v.size - byte >= span + UNPACK_SLACK_BYTES) {
    unpack(v.base + byte, bit, count, w, out);
    return;
  }
  alignas(16) uint8_t staged[(MAX_RUN * 15) / 8 + 8 + 2 * UNPACK_SLACK_BYTES];
  memset(staged, 0, sizeof staged);
  if (byte < v.size) {
    uint64_t have = v.size - byte;
    memcpy(staged, v.base + byte, have < span ? have : span);
  }
  unpack(staged, bit, count, w, out);
}

// One channel block with 7-bit quantiser indexes; a run's sign bits follow
// all of its magnitudes.  A damaged block leaves the reader where it began
// and gives silence.
void ParseChannel7(const AudioDecoder *d, AudioBitReader *r, const ByteView &v, float *coef,
                   UnpackKernel unpack) {
  const uint32_t n = d->length, bands = d->band_count;
  const uint64_t begin = Position(r);
  uint64_t pos = begin;
  bool damaged = PastData(v, (pos + 58 + 8 * bands) >> 3);
  if (!damaged) {
    coef[0] = Float29(ReadAt(v, pos, 29));
    coef[1] = Float29(ReadAt(v, pos + 29, 29));
    pos += 58;
    float q[26];
    for (uint32_t b = 0; b < bands; b++, pos += 7) {
      uint32_t index = ReadAt(v, pos, 7);
      q[b] = QUANT_LEVELS[index < 95 ? index : 95];
    }
    BandWalk walk;
    walk.Init(d, q);
    uint16_t magnitudes[MAX_RUN];
    uint32_t k = 2;
    while (k < n) {
      if (PastData(v, (pos + 9) >> 3)) {
        damaged = true;
        break;
      }
      uint32_t length = 8;
      if (ReadAt(v, pos, 1)) {
        length = 8u * RUN_LENGTH_CODES[ReadAt(v, pos + 1, 4)];
        pos += 5;
      } else {
        pos += 1;
      }
      uint32_t w = ReadAt(v, pos, 4);
      pos += 4;
      uint32_t end = k + length < n ? k + length : n;
      uint32_t count = end - k;
      if (w == 0) {
        memset(coef + k, 0, count * sizeof(float));
        k = end;
        continue;
      }
      if (PastData(v, (pos + uint64_t(count) * w + count) >> 3)) {
        damaged = true;
        break;
      }
      UnpackRun(v, pos, count, w, magnitudes, unpack);
      pos += uint64_t(count) * w;
      for (uint32_t j = 0; j < count; j++, k++) {
        uint32_t negative = 0;
        if (magnitudes[j]) negative = ReadAt(v, pos++, 1);
        coef[k] = Dequantise(magnitudes[j], negative, walk.At(k));
      }
    }
  }
  if (damaged) {
    memset(coef, 0, n * sizeof(float));
    pos = begin;
  }
  Seek(r, v, pos);
}

void ParseChannel(const AudioDecoder *d, AudioBitReader *r, const ByteView &v, float *coef,
                  UnpackKernel unpack) {
  if (d->flags & AUDIO_FLAG_SEVEN_BIT)
    ParseChannel7(d, r, v, coef, unpack);
  else
    ParseChannel8(d, r, v, coef);
}

// Copies in 16-byte units (forward, each unit loaded before it is stored,
// so a destination below the source may overlap it); a tail shorter than
// 16 bytes is copied bytewise.
void CopyInChunks16(uint8_t *dst, const uint8_t *src, uint32_t len) {
  uint32_t i = 0;
  for (; i + 64 <= len; i += 64) {
    uint8_t unit[64];
    memcpy(unit, src + i, 64);
    memcpy(dst + i, unit, 64);
  }
  for (; i + 16 <= len; i += 16) {
    uint8_t unit[16];
    memcpy(unit, src + i, 16);
    memcpy(dst + i, unit, 16);
  }
  if (i < len) memmove(dst + i, src + i, len - i);
}

bool RingUsable(const AudioOutputRing *ring) {
  return ring->start && ring->end > ring->start && ring->write >= ring->start &&
         ring->write <= ring->end;
}

// Where a block of `bytes` is synthesised: straight into the ring when its
// free space allows, else in the caller's temporary buffer.
uint8_t *ChooseDestination(const AudioOutputRing *ring, uint32_t bytes, uint8_t *temporary) {
  if (!RingUsable(ring)) return temporary;
  const uint64_t contiguous = static_cast<uint64_t>(ring->end - ring->write);
  const uint64_t below = static_cast<uint64_t>(ring->write - ring->start);
  if (ring->free >= bytes && contiguous >= bytes) return ring->write;
  if (ring->free > contiguous && ring->free - contiguous >= bytes && below >= bytes)
    return ring->start;
  return temporary;
}

}  // namespace

void WriteAudioRing(AudioOutputRing *ring, const uint8_t *src, uint32_t len) {
  ring->produced += len;
  if (ring->skip) {
    if (len <= ring->skip) {
      ring->skip -= len;
      ring->free = 0;
      return;
    }
    src += ring->skip;
    len -= ring->skip;
    ring->skip = 0;
  }
  if (!RingUsable(ring)) {
    ring->free = 0;
    return;
  }
  const uint64_t size = static_cast<uint64_t>(ring->end - ring->start);
  if (len > ring->free) len = ring->free;
  if (len > size) len = static_cast<uint32_t>(size);
  ring->free = len;
  if (src == ring->write) {
    ring->write += len;
    return;
  }
  uint32_t first = static_cast<uint32_t>(ring->end - ring->write);
  if (first > len) first = len;
  CopyInChunks16(ring->write, src, first);
  ring->write += first;
  if (len > first) {
    ring->write = ring->start;
    CopyInChunks16(ring->write, src + first, len - first);
    ring->write += len - first;
  }
}

uint32_t GetAudioDecoderSize(uint32_t rate, uint32_t channels) {
  uint64_t o = (static_cast<uint64_t>(BaseLength(rate)) * channels / 8) & ~uint64_t(63);
  uint64_t total = RecordBytes() + o;
  return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

AudioDecoder *InitAudioDecoder(void *memory, uint32_t rate, uint32_t channels, uint32_t flags) {
  UpdateCpuFeatures(0, 0);
  SelectAudioKernels();
  AudioDecoderKernels kernels;
  SelectAudioDecoderKernels(&kernels, GetCpuFeatures());
  g_crossfade.store(kernels.crossfade, std::memory_order_relaxed);
  g_unpack.store(kernels.unpack_magnitudes, std::memory_order_relaxed);

  flags |= (flags >> 2) & 1;
  if (!memory || channels < 1 || channels > 2) return nullptr;
  const uint32_t base = BaseLength(rate);
  uint32_t length = base, coded = channels, band_rate = rate;
  if (!(flags & AUDIO_FLAG_SEPARATE_CHANNELS)) {
    length = base * channels;
    if (length > MAX_LENGTH) return nullptr;
    band_rate = rate * channels;
    coded = 1;
  }
  const uint32_t overlap = (base * channels / 8) & ~63u;
  uint32_t shift = 5;
  while ((2u << shift) < overlap) shift++;

  AudioDecoder *d = static_cast<AudioDecoder *>(memory);
  memset(d, 0, RecordBytes() + overlap);
  d->overlap = static_cast<uint8_t *>(memory) + RecordBytes();
  d->length = length;
  d->scale = 2.0f / std::sqrt(static_cast<float>(length));
  d->overlap_bytes = overlap;
  d->shift = shift;
  d->channels = coded;
  d->first_block = 1;
  d->flags = flags;
  const uint32_t half = (band_rate + 1) / 2;
  uint32_t bands = 25;
  for (uint32_t i = 0; i < 25; i++) {
    if (CRITICAL_BAND_EDGES[i] >= half) {
      bands = i;
      break;
    }
  }
  d->band_count = bands;
  for (uint32_t i = 0; i < bands; i++) {
    uint32_t s = CRITICAL_BAND_EDGES[i] * (length / 2) / half;
    d->band_starts[i] = s < 1 ? 1 : s;
  }
  d->band_starts[bands] = length / 2;
  return d;
}

void DecodeAudioPacket(AudioDecoder *d, AudioOutputRing *ring, PacketCursor *cursor) {
  ring->produced = 0;
  if (ring->write == ring->end) ring->write = ring->start;
  const uint8_t *base = reinterpret_cast<const uint8_t *>(cursor->next);
  ByteView v = {base, cursor->end > base ? static_cast<uint64_t>(cursor->end - base) : 0};
  AudioBitReader r = {0, 0, 0};
  Refill(&r, v);
  if (d->flags & AUDIO_FLAG_SEPARATE_CHANNELS) Take(&r, 2);

  const uint32_t n = d->length;
  const uint32_t bytes = 2 * n * d->channels;
  const uint32_t o = d->overlap_bytes;
  const uint32_t shift = d->first_block ? 0 : d->shift;
  const UnpackKernel unpack = g_unpack.load(std::memory_order_relaxed);
  alignas(64) float coef[MAX_LENGTH + 16];
  alignas(64) float scratch[MAX_LENGTH];
  alignas(64) uint8_t temporary[4 * MAX_LENGTH];
  uint8_t *dest = ChooseDestination(ring, bytes, temporary);
  int16_t *pcm = reinterpret_cast<int16_t *>(dest);

  if (d->channels == 1) {
    ParseChannel(d, &r, v, coef, unpack);
    InverseTransformToPcm(pcm, scratch, coef, n, d->scale);
  } else {
    ParseChannel(d, &r, v, coef, unpack);
    InverseTransformToPcm(pcm + n, scratch, coef, n, d->scale);
    ParseChannel(d, &r, v, coef, unpack);
    InverseTransformToPcmInterleaved(pcm, pcm + n, scratch, coef, n, d->scale);
  }
  if (shift) g_crossfade.load(std::memory_order_relaxed)(
      pcm, reinterpret_cast<const int16_t *>(d->overlap), o / 2, shift);
  memcpy(d->overlap, dest + bytes - o, o);
  WriteAudioRing(ring, dest, bytes - o);

  if (base < cursor->end) {
    uint64_t advance = ((Position(&r) + 7) / 8 + 3) & ~uint64_t(3);
    if (advance > v.size) advance = v.size;
    cursor->next = reinterpret_cast<const uint32_t *>(base + advance);
  }
  d->first_block = 0;
}
