// The first-generation codec's view of the video bit reader: the same
// reading rules as the shared reader (32-bit little-endian words, bits taken
// from bit 0 upward, a word loaded only when the pending bits do not
// suffice), but its next-word position may run on up to a read bound that
// lies 4 bytes past the frame's data, because the codec's end tests compare
// that position with the bound.  Bytes at or past the data end read as zero,
// so nothing outside the frame is ever touched, whatever the stream says.
#pragma once
#include <cstdint>
#include <cstring>

struct Gen1BitReader {
  uint32_t pending;    // loaded bits not yet consumed, next bit at bit 0
  uint32_t count;      // valid bits in pending, 0 to 32
  uintptr_t next;      // address of the next word to load (never past bound)
  uintptr_t bound;     // read bound: the frame's data end plus 4
  uintptr_t data_end;  // bytes at or past this address read as zero
};

// A position compared with the bound without forming a pointer beyond it.
inline uintptr_t Gen1Address(const void *p) { return reinterpret_cast<uintptr_t>(p); }

// The 32-bit word at address at, bytes at or past data_end taken as zero.
inline uint32_t ReadGen1Word(uintptr_t at, uintptr_t data_end) {
  uint32_t w = 0;
  if (at < data_end) {
    uintptr_t avail = data_end - at;
    std::memcpy(&w, reinterpret_cast<const void *>(at), avail >= 4 ? 4 : static_cast<size_t>(avail));
  }
  return w;
}

inline void StartGen1Reader(Gen1BitReader *r, uintptr_t start, uintptr_t bound, uintptr_t data_end) {
  r->pending = 0;
  r->count = 0;
  r->bound = bound;
  r->data_end = data_end;
  r->next = start < bound ? start : bound;
}

// Loads the word at next and moves past it (never past the bound; at the
// bound the word reads as zero and next stays).
inline uint32_t LoadGen1Word(Gen1BitReader *r) {
  uintptr_t p = r->next;
  if (p >= r->bound) return 0;
  uint32_t w = ReadGen1Word(p, r->data_end);
  if (p + 4 + 1024 <= r->data_end) __builtin_prefetch(reinterpret_cast<const void *>(p + 1024));
  r->next = r->bound - p > 4 ? p + 4 : r->bound;
  return w;
}

// Reads n bits (0 to 32); the first bit read is bit 0 of the result.
inline uint32_t Gen1ReadBits(Gen1BitReader *r, uint32_t n) {
  uint64_t mask = (uint64_t(1) << n) - 1;
  if (r->count >= n) {
    uint32_t v = static_cast<uint32_t>(r->pending & mask);
    r->pending = static_cast<uint32_t>(uint64_t(r->pending) >> n);
    r->count -= n;
    return v;
  }
  uint32_t w = LoadGen1Word(r);
  uint64_t joined = uint64_t(r->pending) | (uint64_t(w) << r->count);
  r->pending = static_cast<uint32_t>(uint64_t(w) >> (n - r->count));
  r->count += 32 - n;
  return static_cast<uint32_t>(joined & mask);
}

inline uint32_t Gen1ReadBit(Gen1BitReader *r) { return Gen1ReadBits(r, 1); }

// The next n bits (0 to 32) without consuming them.
inline uint32_t Gen1PeekBits(const Gen1BitReader *r, uint32_t n) {
  uint64_t v = r->pending;
  if (r->count < n && r->next < r->bound) v |= uint64_t(ReadGen1Word(r->next, r->data_end)) << r->count;
  return static_cast<uint32_t>(v & ((uint64_t(1) << n) - 1));
}

inline void Gen1SkipBits(Gen1BitReader *r, uint32_t n) { (void)Gen1ReadBits(r, n); }

// True when the next-word position has reached the read bound.
inline bool Gen1AtBound(const Gen1BitReader *r) { return r->next >= r->bound; }
