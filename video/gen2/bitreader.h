// The video bit reader shared by both video codecs, and the small symbol codes
// of the second-generation codec: bit-planes, the adaptive 4-entry list and
// signed deltas.
//
// A stream is a sequence of 32-bit little-endian words whose bits are consumed
// from bit 0 upward. The reader keeps the loaded, unconsumed bits in
// `pending` (next bit at bit 0; bits at and above `count` are always 0) and
// loads a word only when the pending bits do not suffice.
//
// The reader is bounded by `end`, the end of the frame's bytes (not of the
// slice: a slice may read on into the next one). Words are loaded unaligned;
// bytes at or past `end` read as zero and `next` never moves past `end`, so a
// malformed stream can never make the reader touch memory outside the frame.
// Well-formed streams never reach `end` and decode unchanged.
#pragma once
#include <cstdint>
#include <cstring>

struct BitReader {
  uint32_t pending;     // loaded bits not yet consumed, next bit at bit 0
  const uint8_t *next;  // next unread 32-bit word (never past end)
  uint32_t count;       // valid bits in pending, 0 to 32
  const uint8_t *end;   // hard end: bytes at or past it read as zero
};

// Points the reader at start with no pending bits. A start at or past end (or
// before it in a broken layout) leaves the reader reading zeros.
void StartBitReader(BitReader *reader, const uint8_t *start, const uint8_t *end);

// As StartBitReader at base + offset, without forming a pointer past end when
// the offset (from a file) is out of range.
void StartBitReaderAt(BitReader *reader, const uint8_t *base, uint64_t offset, const uint8_t *end);

// The word at `next`, bytes at or past the end taken as zero.
inline uint32_t PeekBitReaderWord(const BitReader *reader) {
  const uint8_t *p = reader->next;
  if (p >= reader->end) return 0;
  uint32_t w = 0;
  uint64_t avail = static_cast<uint64_t>(reader->end - p);
  std::memcpy(&w, p, avail >= 4 ? 4 : static_cast<size_t>(avail));
  return w;  // x86 is little-endian
}

// Loads the word at `next` and advances past it (never past the end).
inline uint32_t LoadBitReaderWord(BitReader *reader) {
  const uint8_t *p = reader->next;
  if (p >= reader->end) return 0;
  uint64_t avail = static_cast<uint64_t>(reader->end - p);
  uint32_t w = 0;
  if (avail >= 4) {
    std::memcpy(&w, p, 4);
    if (avail > 1024 + 4) __builtin_prefetch(p + 1024);
    reader->next = p + 4;
  } else {
    std::memcpy(&w, p, static_cast<size_t>(avail));
    reader->next = reader->end;
  }
  return w;
}

// Reads n bits (0 to 32); the first bit read is bit 0 of the result.
inline uint32_t ReadBits(BitReader *reader, uint32_t n) {
  uint64_t mask = (uint64_t(1) << n) - 1;
  if (reader->count >= n) {
    uint32_t v = static_cast<uint32_t>(reader->pending & mask);
    reader->pending = static_cast<uint32_t>(uint64_t(reader->pending) >> n);
    reader->count -= n;
    return v;
  }
  uint32_t w = LoadBitReaderWord(reader);
  uint64_t joined = uint64_t(reader->pending) | (uint64_t(w) << reader->count);
  reader->pending = static_cast<uint32_t>(uint64_t(w) >> (n - reader->count));
  reader->count += 32 - n;
  return static_cast<uint32_t>(joined & mask);
}

inline uint32_t ReadBit(BitReader *reader) { return ReadBits(reader, 1); }

// The next n bits (0 to 32) without consuming them; peeks at the next word
// when fewer than n bits are pending.
inline uint32_t PeekBits(const BitReader *reader, uint32_t n) {
  uint64_t v = reader->pending;
  if (reader->count < n) v |= uint64_t(PeekBitReaderWord(reader)) << reader->count;
  return static_cast<uint32_t>(v & ((uint64_t(1) << n) - 1));
}

// Consumes n bits (0 to 32) by the same rule as ReadBits.
inline void SkipBits(BitReader *reader, uint32_t n) {
  if (reader->count >= n) {
    reader->pending = static_cast<uint32_t>(uint64_t(reader->pending) >> n);
    reader->count -= n;
    return;
  }
  uint32_t w = LoadBitReaderWord(reader);
  reader->pending = static_cast<uint32_t>(uint64_t(w) >> (n - reader->count));
  reader->count += 32 - n;
}

// The last `avail` (0 to 7) bytes of a stream at p as the low bytes of a
// 64-bit value, the rest zero (out of line: the hot readers rarely get here).
uint64_t ReadBitReaderTail(const uint8_t *p, uint64_t avail);

// The two words at `next` as one 64-bit value (the first in the low half),
// bytes at or past the end taken as zero.
inline uint64_t PeekBitReaderWords64(const BitReader *reader) {
  const uint8_t *p = reader->next;
  const uint64_t avail = static_cast<uint64_t>(reader->end - p);
  if (__builtin_expect(avail < 8, 0)) return ReadBitReaderTail(p, avail);
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;  // x86 is little-endian
}

// The next 64 bits of the stream without consuming them (bits past the end
// read as zero): a symbol reader decodes a whole code of up to 64 bits -
// prefix, extra bits and sign - from one peek and then consumes its length
// with ConsumeBits.
inline uint64_t PeekBits64(const BitReader *reader) {
  return uint64_t(reader->pending) | (PeekBitReaderWords64(reader) << reader->count);
}

// Consumes n bits (0 to 64) and leaves the reader exactly as consecutive
// ReadBits calls of n bits in all would: a word is loaded only for bits the
// pending ones do not cover (so up to two words here), and `next` never moves
// past the end.
inline void ConsumeBits(BitReader *reader, uint32_t n) {
  const uint32_t count = reader->count;
  if (n <= count) {
    reader->pending = static_cast<uint32_t>(uint64_t(reader->pending) >> n);
    reader->count = count - n;
    return;
  }
  const uint32_t k = n - count;           // bits taken from the words at next: 1 to 64
  const uint32_t words = (k + 31) >> 5;   // words loaded: 1 or 2
  const uint64_t w = PeekBitReaderWords64(reader);
  const uint8_t *p = reader->next;
  const uint64_t avail = static_cast<uint64_t>(reader->end - p);
  if (avail > 1024 + 8) __builtin_prefetch(p + 1024);
  reader->next = p + (4 * words < avail ? 4 * words : avail);
  const uint64_t last = words == 1 ? (w & 0xFFFFFFFFu) : (w >> 32);  // the last word loaded
  reader->pending = static_cast<uint32_t>(last >> (k - 32 * (words - 1)));
  reader->count = 32 * words - k;
}

// End of a slice: the rest of a partly used word is dropped, so that the next
// slice starts at the word at `next`. A reader with 0 or 32 pending bits is
// left as it is.
inline void DropPartialWord(BitReader *reader) {
  if (reader->count & 31) {
    reader->pending = 0;
    reader->count = 0;
  }
}

// Decodes a bit-plane of `bit_count` bits into out, starting at bit
// `first_bit` of out[0] (bits below it in that byte are written as 0). Bits go
// low bit first, byte after byte; a partly filled last byte is written with
// zeros above the plane. out must hold (first_bit + bit_count + 7) / 8 bytes.
void DecodeBitPlane(uint8_t *out, uint32_t first_bit, BitReader *reader, uint32_t bit_count);

// Reads one symbol of the adaptive 4-entry list and moves the chosen entry one
// place towards the front (the front entry stays). Returns the chosen byte.
uint8_t ReadAdaptiveListSymbol(BitReader *reader, uint8_t list[4]);

// Reads a signed delta (-36 to 36) and returns predicted + delta.
int32_t ReadSignedDelta(BitReader *reader, int32_t predicted);
