// Bit writer and symbol encoders of the second-generation video bitstream.
#include "gen2_symbols.h"

#include <cstring>

void InitBitWriter(BitWriter *w) {
  w->words.clear();
  w->acc = 0;
  w->count = 0;
}

void WriteBits(BitWriter *w, uint32_t value, uint32_t n) {
  if (n == 0) return;
  uint64_t v = value;
  if (n < 32) v &= (uint64_t(1) << n) - 1;
  w->acc |= v << w->count;
  w->count += n;
  if (w->count >= 32) {
    w->words.push_back(static_cast<uint32_t>(w->acc));
    w->acc >>= 32;
    w->count -= 32;
  }
}

void WriteBit(BitWriter *w, uint32_t bit) { WriteBits(w, bit & 1, 1); }

void WriteCode(BitWriter *w, const char *code) {
  for (const char *c = code; *c; ++c) WriteBit(w, *c == '1');
}

void AlignBitWriter(BitWriter *w) {
  if (w->count) WriteBits(w, 0, 32 - w->count);
}

uint64_t BitWriterBitCount(const BitWriter *w) { return uint64_t(w->words.size()) * 32 + w->count; }

std::vector<uint8_t> BitWriterBytes(const BitWriter *w) {
  std::vector<uint8_t> out;
  out.reserve(w->words.size() * 4 + 4);
  for (uint32_t word : w->words)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(word >> (8 * i)));
  if (w->count)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w->acc >> (8 * i)));
  return out;
}

// ---- bit-planes -----------------------------------------------------------------

void WriteBitPlane(BitWriter *w, const uint8_t *bits, uint32_t count, bool run_length) {
  if (!run_length) {
    WriteBit(w, 0);
    for (uint32_t i = 0; i < count; ++i) WriteBit(w, bits[i]);
    return;
  }
  WriteBit(w, 1);
  // Greedy: a run whenever the identical bits ahead reach the shortest run,
  // a literal group of five (or the rest) otherwise. A short run is only used
  // where the run really ends, so the value after it is the opposite one.
  bool after_short = false;
  uint32_t i = 0;
  while (i < count) {
    const uint32_t left = count - i;
    const uint32_t value = bits[i] & 1;
    uint32_t same = 1;
    while (i + same < count && (bits[i + same] & 1) == value) ++same;
    const uint32_t l = left < 4 ? 2 : (left > 15 ? 5 : 4);
    const uint32_t m = after_short ? l + 1 : l + 2;
    if (left <= m && same == left) {
      WriteBit(w, 1);
      if (!after_short) WriteBit(w, value);
      return;
    }
    if (left > m && same >= m) {
      const uint32_t longest = (1u << l) - 1;
      const uint32_t r = same - m < longest ? same - m : longest;
      WriteBit(w, 1);
      if (!after_short) WriteBit(w, value);
      WriteBits(w, r, l);
      after_short = r != longest;
      i += m + r;
      continue;
    }
    WriteBit(w, 0);
    if (!after_short) WriteBit(w, value);
    const uint32_t more = left > 4 ? 4 : left - 1;
    for (uint32_t k = 1; k <= more; ++k) WriteBit(w, bits[i + k]);
    i += 1 + more;
    after_short = false;
  }
}

// ---- block types and quantiser deltas ------------------------------------------------

int WriteAdaptiveListSymbol(BitWriter *w, uint8_t list[4], uint8_t symbol) {
  int idx = -1;
  for (int i = 0; i < 4; ++i)
    if (list[i] == symbol) {
      idx = i;
      break;
    }
  uint8_t t;
  switch (idx) {
    case 0:
      WriteCode(w, "1");
      return 1;
    case 1:
      WriteCode(w, "01");
      t = list[0], list[0] = list[1], list[1] = t;
      return 1;
    case 3:
      WriteCode(w, "001");
      t = list[2], list[2] = list[3], list[3] = t;
      return 1;
    case 2:
      WriteCode(w, "000");
      t = list[1], list[1] = list[2], list[2] = t;
      return 1;
    default:
      return 0;
  }
}

int WriteSignedDelta(BitWriter *w, int32_t predicted, int32_t value) {
  int64_t delta = int64_t(value) - predicted;
  if (delta < -36 || delta > 36) return 0;
  uint32_t mag = static_cast<uint32_t>(delta < 0 ? -delta : delta);
  if (mag == 0) {
    WriteCode(w, "1");
    return 1;
  }
  if (mag == 1) {
    WriteCode(w, "01");
  } else if (mag == 2) {
    WriteCode(w, "001");
  } else if (mag <= 4) {
    WriteCode(w, "0001");
    WriteBit(w, mag - 3);
  } else {
    WriteCode(w, "0000");
    WriteBits(w, mag - 5, 5);
  }
  WriteBit(w, delta < 0);
  return 1;
}

// ---- coded-block patterns ---------------------------------------------------------------

uint32_t WriteBlockPattern16(BitWriter *w, uint32_t previous, uint32_t block_flags, uint32_t pattern) {
  const uint32_t p = static_cast<uint32_t>(__builtin_popcount(previous & 0xFFFF));
  const uint32_t predicted = p >= 8 ? 0xFFFFu : 0u;
  const uint32_t d = p < 16 - p ? p : 16 - p;
  const uint32_t low = pattern & 0xFFFF;
  const uint32_t diff = low ^ predicted;
  if (diff == 0) {
    WriteBit(w, 1);
  } else {
    WriteBit(w, 0);
    if (d > 3) {
      WriteBits(w, diff, 16);
    } else {
      for (uint32_t n = 0; n < 4; ++n) {
        uint32_t nibble = (diff >> (4 * n)) & 0xF;
        if (nibble == 0) {
          WriteBit(w, 1);
        } else {
          WriteBit(w, 0);
          WriteBits(w, nibble, 4);
        }
      }
    }
  }
  if ((block_flags & 0x40000) && low == 0) return 0;
  const bool table2 = (pattern >> 16) != 0;
  WriteBit(w, table2);
  return table2 ? low | (low << 16) : low;
}

uint32_t WriteBlockPattern4(BitWriter *w, uint32_t previous, uint32_t pattern, bool force_explicit) {
  const uint32_t p = static_cast<uint32_t>(__builtin_popcount(previous & 0xF));
  const uint32_t implicit = (p >= 2 ? 0xFu : 0u) | (previous & 0xF0000);
  if (!force_explicit && pattern == implicit) {
    WriteBit(w, 1);
    return implicit;
  }
  const uint32_t low = pattern & 0xF;
  const bool table2 = (pattern >> 16) != 0;
  WriteBit(w, 0);
  WriteBits(w, low, 4);
  WriteBit(w, table2);
  return table2 ? low | (low << 16) : low;
}

// ---- DC residuals -------------------------------------------------------------------------

static void WriteOnes(BitWriter *w, uint32_t c) {
  for (uint32_t i = 0; i < c; ++i) WriteBit(w, 1);
  WriteBit(w, 0);  // the terminating 0, or the twelfth bit after eleven ones
}

static uint32_t FloorLog2(uint32_t v) { return 31u - static_cast<uint32_t>(__builtin_clz(v)); }

void WriteDcResiduals(BitWriter *w, const int32_t *m, uint32_t n, int flag) {
  if (!flag) {
    WriteBit(w, 0);
    return;
  }
  WriteBit(w, 1);
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t mag = static_cast<uint32_t>(m[i] < 0 ? -m[i] : m[i]);
    if (mag == 0) {
      WriteBit(w, 0);
      continue;
    }
    if (mag <= 3) {
      WriteOnes(w, mag);
    } else {
      uint32_t extra = FloorLog2(mag - 2);  // c - 3
      WriteOnes(w, extra + 3);
      WriteBits(w, mag - 2 - (1u << extra), extra);
    }
    WriteBit(w, m[i] < 0);
  }
}

int32_t DcResidualFromCode(int32_t m, int32_t qi) {
  static const uint32_t kScale[37] = {
      1024,   1218,   1448,   1722,   2048,   2435,   2896,   3444,   4096,   4871,
      5793,   6889,   8192,   9742,   11585,  13777,  16384,  19484,  23170,  27555,
      32768,  38968,  46341,  55109,  65536,  77936,  92682,  110218, 131072, 155872,
      185364, 220436, 262144, 311744, 370728, 440872, 524288};
  int32_t q = qi < 8 ? 8 : (qi > 36 ? 36 : qi);
  uint64_t mag = static_cast<uint64_t>(m < 0 ? -m : m);
  int32_t v = static_cast<int32_t>((kScale[q] * mag + 512) >> 10);
  return m < 0 ? -v : v;
}

// ---- AC coefficients ---------------------------------------------------------------------

static const char *const kRunCodes1[14] = {"1",        "000",      "0010",      "001101000", "001101100",
                                           "0011000",  "0011001",  "001101010", "00110111",  "001101001",
                                           "001101101", "001101011", "01",       "00111"};
static const char *const kRunCodes2[14] = {"1",     "001",     "0000",     "0001",     "01000",
                                           "0100110", "01010", "010010",   "0101110",  "01011110",
                                           "01011111", "0100111", "011",   "010110"};

const char *AcRunCode(uint32_t cls, bool table2) {
  return cls < 14 ? (table2 ? kRunCodes2[cls] : kRunCodes1[cls]) : "";
}

void WriteAcLevel(BitWriter *w, int32_t level) {
  uint32_t mag = static_cast<uint32_t>(level < 0 ? -level : level);
  if (mag <= 3) {
    WriteOnes(w, mag - 1);
  } else {
    uint32_t extra = FloorLog2(mag - 2);  // c - 2
    WriteOnes(w, extra + 2);
    WriteBits(w, mag - 2 - (1u << extra), extra);
  }
  WriteBit(w, level < 0);
}

void WriteAcBlock(BitWriter *w, const int32_t levels[64], bool table2, bool use_repeat, bool escape_end) {
  uint32_t pos = 1;
  for (;;) {
    uint32_t p = pos;
    while (p < 64 && levels[p] == 0) ++p;
    if (p == 64) break;
    const uint32_t run = p - pos;
    if (use_repeat && run == 0) {
      uint32_t stop = p + 6 < 63 ? p + 6 : 63;
      bool all = true;
      for (uint32_t k = p; k <= stop; ++k) all = all && levels[k] != 0;
      if (all) {
        WriteCode(w, AcRunCode(13, table2));
        for (uint32_t k = p; k <= stop; ++k) WriteAcLevel(w, levels[k]);
        if (stop == 63) return;
        pos = stop + 1;
        continue;
      }
    }
    if (run <= 10) {
      WriteCode(w, AcRunCode(run, table2));
    } else {
      WriteCode(w, AcRunCode(11, table2));
      WriteBits(w, run, 6);
    }
    WriteAcLevel(w, levels[p]);
    if (p == 63) return;
    pos = p + 1;
  }
  if (escape_end) {
    WriteCode(w, AcRunCode(11, table2));
    WriteBits(w, 63, 6);
  } else {
    WriteCode(w, AcRunCode(12, table2));
  }
}

// ---- motion vectors -------------------------------------------------------------------------

void WriteMotionVectorDifference(BitWriter *w, int32_t value) {
  if (value == 0) {
    WriteBit(w, 1);
    return;
  }
  const uint32_t mag = static_cast<uint32_t>(value < 0 ? -value : value);
  if (mag <= 255) {
    const uint32_t z = FloorLog2(mag) + 1;  // zeros before the 1
    WriteBits(w, 0, z);
    WriteBit(w, 1);
    WriteBit(w, value > 0);
    WriteBits(w, mag - (1u << (z - 1)), z - 1);
    return;
  }
  if (mag <= 32767) {
    const uint32_t t = value > 0 ? 2 * mag : 2 * mag - 1;
    const uint32_t p = FloorLog2(t + 1);
    WriteBits(w, 0, p);
    WriteBit(w, 1);
    WriteBits(w, t - ((1u << p) - 1), p);
    return;
  }
  WriteBits(w, 0, 16);
  WriteBits(w, ((mag - 32768) << 1) | (value > 0 ? 1u : 0u), 16);
}

void WriteMotionVectors(BitWriter *w, const int32_t dx[4], const int32_t dy[4], bool single) {
  WriteBit(w, single);
  const int n = single ? 1 : 4;
  for (int i = 0; i < n; ++i) WriteMotionVectorDifference(w, dx[i]);
  for (int i = 0; i < n; ++i) WriteMotionVectorDifference(w, dy[i]);
}
