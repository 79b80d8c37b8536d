// Video bit reader start-up and the second-generation small symbol codes.
#include "video/gen2/bitreader.h"

void StartBitReader(BitReader *reader, const uint8_t *start, const uint8_t *end) {
  reader->pending = 0;
  reader->count = 0;
  reader->end = end;
  reader->next = (start && end && start < end) ? start : end;
}

void StartBitReaderAt(BitReader *reader, const uint8_t *base, uint64_t offset, const uint8_t *end) {
  reader->pending = 0;
  reader->count = 0;
  reader->end = end;
  reader->next = end;
  if (base && end && base < end && offset < static_cast<uint64_t>(end - base))
    reader->next = base + offset;
}

uint64_t ReadBitReaderTail(const uint8_t *p, uint64_t avail) {
  uint64_t w = 0;
  for (uint64_t i = 0; i < avail && i < 8; ++i) w |= uint64_t(p[i]) << (8 * i);
  return w;
}

namespace {

// Writes plane bits low bit first into consecutive bytes.
struct PlaneOutput {
  uint8_t *byte;   // byte being filled
  uint32_t bit;    // next bit position within it
  uint32_t acc;    // bits gathered for it
};

inline void PutBits(PlaneOutput *o, uint32_t value, uint32_t n) {
  // n <= 8 per call; value holds the bits low bit first.
  for (uint32_t i = 0; i < n; ++i) {
    o->acc |= ((value >> i) & 1u) << o->bit;
    if (++o->bit == 8) {
      *o->byte++ = static_cast<uint8_t>(o->acc);
      o->acc = 0;
      o->bit = 0;
    }
  }
}

inline void PutRun(PlaneOutput *o, uint32_t value, uint32_t n) {
  uint32_t fill = value ? 0xFFu : 0u;
  while (n >= 8) {
    PutBits(o, fill, 8);
    n -= 8;
  }
  PutBits(o, fill, n);
}

inline void FinishPlane(PlaneOutput *o) {
  if (o->bit) *o->byte = static_cast<uint8_t>(o->acc);
}

}  // namespace

void DecodeBitPlane(uint8_t *out, uint32_t first_bit, BitReader *reader, uint32_t bit_count) {
  PlaneOutput o = {out + first_bit / 8, first_bit & 7, 0};
  if (ReadBit(reader) == 0) {
    // Raw plane: the bits themselves, in groups of 8 while at least 9 remain.
    uint32_t left = bit_count;
    while (left >= 9) {
      PutBits(&o, ReadBits(reader, 8), 8);
      left -= 8;
    }
    if (left) PutBits(&o, ReadBits(reader, left), left);
    FinishPlane(&o);
    return;
  }

  // Run-length plane. After a short run (one that did not reach its longest
  // length) the next symbol's value is implied: the opposite of that run's.
  bool after_short = false;
  uint32_t last_value = 0;
  uint32_t left = bit_count;
  while (left) {
    if (ReadBit(reader)) {
      bool implied = after_short;
      uint32_t value = implied ? (last_value ^ 1u) : ReadBit(reader);
      uint32_t l = left < 4 ? 2 : (left > 15 ? 5 : 4);
      uint32_t m = implied ? l + 1 : l + 2;
      uint32_t run;
      if (left <= m) {
        run = left;
      } else {
        uint32_t r = ReadBits(reader, l);
        run = m + r;
        after_short = r != (1u << l) - 1;
        // A run longer than the plane's rest is cut at the plane's end.
        if (run > left) run = left;
      }
      last_value = value;
      PutRun(&o, value, run);
      left -= run;
    } else {
      uint32_t first = after_short ? (last_value ^ 1u) : ReadBit(reader);
      PutBits(&o, first, 1);
      --left;
      uint32_t more = left >= 4 ? 4 : left;
      if (more) PutBits(&o, ReadBits(reader, more), more);
      left -= more;
      after_short = false;
    }
  }
  FinishPlane(&o);
}

uint8_t ReadAdaptiveListSymbol(BitReader *reader, uint8_t list[4]) {
  uint32_t bits = PeekBits(reader, 3);
  uint8_t chosen;
  if (bits & 1) {
    SkipBits(reader, 1);
    return list[0];
  }
  if (bits & 2) {
    SkipBits(reader, 2);
    chosen = list[1];
    list[1] = list[0];
    list[0] = chosen;
  } else if (bits & 4) {
    SkipBits(reader, 3);
    chosen = list[3];
    list[3] = list[2];
    list[2] = chosen;
  } else {
    SkipBits(reader, 3);
    chosen = list[2];
    list[2] = list[1];
    list[1] = chosen;
  }
  return chosen;
}

int32_t ReadSignedDelta(BitReader *reader, int32_t predicted) {
  // Code lengths less one by the low three bits (odd values: the 1-bit code).
  static const uint8_t kLengthLessOne[8] = {0, 0, 1, 0, 2, 0, 1, 0};
  uint32_t bits = PeekBits(reader, 9);
  uint32_t magnitude;
  if (bits & 1) {
    SkipBits(reader, 1);
    return predicted;
  }
  if (bits & 7) {
    uint32_t len = kLengthLessOne[bits & 7] + 1;  // 2 for "0 1", 3 for "0 0 1"
    SkipBits(reader, len);
    magnitude = len - 1;
  } else if (bits & 8) {
    SkipBits(reader, 4);
    magnitude = 3 + ReadBit(reader);
  } else {
    magnitude = 5 + ((bits >> 4) & 31);
    SkipBits(reader, 9);
  }
  uint32_t negative = ReadBit(reader);
  uint32_t result = static_cast<uint32_t>(predicted);
  result = negative ? result - magnitude : result + magnitude;
  return static_cast<int32_t>(result);
}
