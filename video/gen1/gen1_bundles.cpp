// First-generation bundles and code trees.
#include "video/gen1/gen1_bundles.h"

#include <cstring>

namespace {

constexpr uint8_t kLengths[16][16] = {
    {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4}, {1, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5},
    {2, 2, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5}, {2, 3, 3, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5},
    {3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 5, 5}, {3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5},
    {2, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5}, {1, 3, 3, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6},
    {1, 2, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6}, {1, 3, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6},
    {2, 2, 3, 4, 4, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6}, {1, 4, 4, 4, 4, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6},
    {2, 2, 2, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6}, {1, 3, 3, 3, 6, 6, 6, 6, 7, 7, 7, 7, 7, 7, 7, 7},
    {1, 3, 3, 3, 5, 6, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}, {2, 2, 3, 3, 3, 6, 6, 6, 6, 6, 7, 7, 7, 7, 7, 7},
};

constexpr uint32_t kLookupBits[16] = {4, 5, 5, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 7, 7, 7};

// Tree 1's codes, bits in reading order packed first bit first (bit 0).
constexpr uint8_t kTree1Codes[16] = {
    0x0,                    // 0
    0x1,                    // 1 0 0 0
    0x3,                    // 1 1 0 0 0
    0x5,                    // 1 0 1 0 0
    0x7,                    // 1 1 1 0 0
    0x9,                    // 1 0 0 1 0
    0xB,                    // 1 1 0 1 0
    0xD,                    // 1 0 1 1 0
    0xF,                    // 1 1 1 1 0
    0x13,                   // 1 1 0 0 1
    0x15,                   // 1 0 1 0 1
    0x17,                   // 1 1 1 0 1
    0x19,                   // 1 0 0 1 1
    0x1B,                   // 1 1 0 1 1
    0x1D,                   // 1 0 1 1 1
    0x1F,                   // 1 1 1 1 1
};

struct TreeTables {
  uint8_t bytes[976];
  uint32_t offset[16];
};

constexpr TreeTables MakeTreeTables() {
  TreeTables t{};
  uint32_t at = 0;
  for (uint32_t tree = 0; tree < 16; ++tree) {
    const uint32_t bits = kLookupBits[tree];
    t.offset[tree] = at;
    uint32_t code = 0;  // canonical code, first bit read most significant
    for (uint32_t s = 0; s < 16; ++s) {
      const uint32_t len = kLengths[tree][s];
      if (s > 0) code = (code + 1) << (len - kLengths[tree][s - 1]);
      uint32_t first_bit_low = 0;  // the code with the first bit read at bit 0
      if (tree == 0) {
        first_bit_low = s;
      } else if (tree == 1) {
        first_bit_low = kTree1Codes[s];
      } else {
        for (uint32_t k = 0; k < len; ++k) first_bit_low |= ((code >> (len - 1 - k)) & 1) << k;
      }
      for (uint32_t i = 0; i < (1u << bits); ++i)
        if ((i & ((1u << len) - 1)) == first_bit_low) t.bytes[at + i] = static_cast<uint8_t>(len << 4 | s);
    }
    at += 1u << bits;
  }
  return t;
}

constexpr TreeTables kTrees = MakeTreeTables();
static_assert(kTrees.offset[15] + 128 == 976, "the sixteen code tables fill 976 bytes");

// A symbol read is refused when the pending bits cannot hold the longest
// code and no word is left before the read bound.
inline bool SymbolUnavailable(const Gen1BitReader *reader, const HuffmanTree *tree) {
  return reader->count < tree->lookup_bits && Gen1AtBound(reader);
}

// Reads the count field; false (bundle failed) on 0 or more than capacity.
bool StartRefill(Bundle *b, Gen1BitReader *reader, uint32_t xor_mask, uint32_t *n) {
  uint32_t count = Gen1ReadBits(reader, b->count_bits) ^ xor_mask;
  if (count == 0 || count > b->capacity) {
    FailBundle(b);
    return false;
  }
  b->read_pos = b->buffer;
  b->end_pos = b->buffer + count;
  *n = count;
  return true;
}

template <bool kSigned>
void ReadColors(Bundle *b, Gen1BitReader *reader, const HuffmanTree high_trees[16], uint32_t *context) {
  if (!BundleEmpty(b)) return;
  uint32_t n;
  if (!StartRefill(b, reader, 0, &n)) return;
  const uint32_t same = Gen1ReadBit(reader);
  const uint32_t coded = same ? 1 : n;
  for (uint32_t i = 0; i < coded; ++i) {
    const HuffmanTree *high = &high_trees[*context & 15];
    if (SymbolUnavailable(reader, high)) {
      FailBundle(b);
      return;
    }
    const uint32_t h = ReadTreeSymbol(reader, high);
    const uint32_t l = ReadTreeSymbol(reader, &b->tree);
    uint32_t v = h << 4 | l;
    *context = h;
    if (kSigned) {
      const uint32_t magnitude = v & 0x7F;
      v = (v & 0x80) ? 128 - magnitude : 128 + magnitude;
    }
    if (same) {
      std::memset(b->buffer, static_cast<int>(v & 0xFF), n);
    } else {
      b->buffer[i] = static_cast<uint8_t>(v);
    }
  }
}

}  // namespace

const FixedCodeTable FIRST_GEN_HUFFMAN_TREES[16] = {
#define T(t) {kTrees.bytes + kTrees.offset[t], kLookupBits[t]}
    T(0), T(1), T(2), T(3), T(4), T(5), T(6), T(7), T(8), T(9), T(10), T(11), T(12), T(13), T(14), T(15),
#undef T
};

uint32_t BitLength(uint32_t x) { return x ? 32 - static_cast<uint32_t>(__builtin_clz(x)) : 0; }

uint32_t ReadTreeSymbol(Gen1BitReader *reader, const HuffmanTree *tree) {
  const uint8_t entry = tree->lookup[Gen1PeekBits(reader, tree->lookup_bits)];
  Gen1SkipBits(reader, entry >> 4);
  return tree->symbols[entry & 15];
}

uint32_t MergeSymbolRuns(uint32_t bits, uint8_t *dest, const uint8_t *a, const uint8_t *b, uint32_t n) {
  uint32_t ia = 0, ib = 0, used = 0;
  while (ia < n && ib < n) {
    if ((bits >> used) & 1) *dest++ = b[ib++];
    else *dest++ = a[ia++];
    ++used;
  }
  while (ia < n) *dest++ = a[ia++];
  while (ib < n) *dest++ = b[ib++];
  return used;
}

void ReadHuffmanTree(Gen1BitReader *reader, HuffmanTree *tree) {
  const uint32_t t = Gen1ReadBits(reader, 4);
  tree->lookup = FIRST_GEN_HUFFMAN_TREES[t].lookup;
  tree->lookup_bits = FIRST_GEN_HUFFMAN_TREES[t].lookup_bits;
  for (uint32_t s = 0; s < 16; ++s) tree->symbols[s] = static_cast<uint8_t>(s);
  if (t == 0) return;
  if (Gen1ReadBit(reader)) {
    // Explicit list: k + 1 symbols, then the others in increasing order.
    const uint32_t k = Gen1ReadBits(reader, 3);
    bool listed[16] = {};
    uint32_t at = 0;
    for (uint32_t i = 0; i <= k; ++i) {
      const uint32_t s = Gen1ReadBits(reader, 4);
      tree->symbols[at++] = static_cast<uint8_t>(s);
      listed[s] = true;
    }
    for (uint32_t s = 0; s < 16 && at < 16; ++s)
      if (!listed[s]) tree->symbols[at++] = static_cast<uint8_t>(s);
    return;
  }
  const uint32_t passes = Gen1ReadBits(reader, 2);
  uint8_t runs[16], merged[16];
  for (uint32_t j = 0; j < 8; ++j) {
    const uint32_t swap = Gen1ReadBit(reader);
    runs[2 * j] = static_cast<uint8_t>(swap ? 2 * j + 1 : 2 * j);
    runs[2 * j + 1] = static_cast<uint8_t>(swap ? 2 * j : 2 * j + 1);
  }
  for (uint32_t pass = 0, n = 2; pass < passes; ++pass, n *= 2) {
    for (uint32_t at = 0; at < 16; at += 2 * n) {
      const uint32_t used = MergeSymbolRuns(Gen1PeekBits(reader, 2 * n - 1), merged + at, runs + at,
                                            runs + at + n, n);
      Gen1SkipBits(reader, used);
    }
    std::memcpy(runs, merged, 16);
  }
  std::memcpy(tree->symbols, runs, 16);
}

void ReadBlockTypeBundle(Bundle *b, Gen1BitReader *reader, int revision_k) {
  if (!BundleEmpty(b)) return;
  uint32_t n;
  if (!StartRefill(b, reader, revision_k ? 0xBB : 0, &n)) return;
  if (Gen1ReadBit(reader)) {
    std::memset(b->buffer, static_cast<int>(Gen1ReadBits(reader, 4)), n);
    return;
  }
  static const uint32_t kRepeat[4] = {4, 8, 12, 32};
  uint8_t last = 0;
  uint32_t i = 0;
  while (i < n) {
    if (SymbolUnavailable(reader, &b->tree)) {
      FailBundle(b);
      return;
    }
    const uint32_t v = ReadTreeSymbol(reader, &b->tree);
    if (v < 12) {
      last = static_cast<uint8_t>(v);
      b->buffer[i++] = last;
      continue;
    }
    const uint32_t repeat = kRepeat[v - 12];
    if (n - i < repeat) return;  // the rest keeps the buffer's old bytes
    std::memset(b->buffer + i, last, repeat);
    i += repeat;
  }
}

void ReadColorBundle(Bundle *b, Gen1BitReader *reader, const HuffmanTree high_trees[16],
                     uint32_t *color_context) {
  ReadColors<false>(b, reader, high_trees, color_context);
}

void ReadColorBundleSigned(Bundle *b, Gen1BitReader *reader, const HuffmanTree high_trees[16],
                           uint32_t *color_context) {
  ReadColors<true>(b, reader, high_trees, color_context);
}

void ReadPatternBundle(Bundle *b, Gen1BitReader *reader) {
  if (!BundleEmpty(b)) return;
  uint32_t n;
  if (!StartRefill(b, reader, 0, &n)) return;
  for (uint32_t i = 0; i < n; ++i) {
    if (SymbolUnavailable(reader, &b->tree)) {
      FailBundle(b);
      return;
    }
    const uint32_t low = ReadTreeSymbol(reader, &b->tree);
    const uint32_t high = ReadTreeSymbol(reader, &b->tree);
    b->buffer[i] = static_cast<uint8_t>(high << 4 | low);
  }
}

void ReadMotionBundle(Bundle *b, Gen1BitReader *reader) {
  if (!BundleEmpty(b)) return;
  uint32_t n;
  if (!StartRefill(b, reader, 0, &n)) return;
  if (Gen1ReadBit(reader)) {
    int32_t m = static_cast<int32_t>(Gen1ReadBits(reader, 4));
    if (m != 0 && Gen1ReadBit(reader)) m = -m;
    std::memset(b->buffer, static_cast<int>(static_cast<uint8_t>(m)), n);
    return;
  }
  for (uint32_t i = 0; i < n; ++i) {
    if (SymbolUnavailable(reader, &b->tree)) {
      FailBundle(b);
      return;
    }
    int32_t m = static_cast<int32_t>(ReadTreeSymbol(reader, &b->tree));
    if (m != 0 && Gen1ReadBit(reader)) m = -m;
    b->buffer[i] = static_cast<uint8_t>(m);
  }
}

void ReadRunBundle(Bundle *b, Gen1BitReader *reader) {
  if (!BundleEmpty(b)) return;
  uint32_t n;
  if (!StartRefill(b, reader, 0, &n)) return;
  if (Gen1ReadBit(reader)) {
    std::memset(b->buffer, static_cast<int>(Gen1ReadBits(reader, 4)), n);
    return;
  }
  for (uint32_t i = 0; i < n; ++i) {
    if (SymbolUnavailable(reader, &b->tree)) {
      FailBundle(b);
      return;
    }
    b->buffer[i] = static_cast<uint8_t>(ReadTreeSymbol(reader, &b->tree));
  }
}

// DC bundles hold 16-bit values; the count and positions are in values,
// read_pos and end_pos in bytes.
void ReadDcBundle(Bundle *b, Gen1BitReader *reader) {
  if (!BundleEmpty(b)) return;
  uint32_t n;
  if (!StartRefill(b, reader, 0, &n)) return;
  b->end_pos = b->buffer + 2 * n;
  uint16_t current;
  if (!b->value_signed) {
    current = static_cast<uint16_t>(Gen1ReadBits(reader, b->value_bits));
  } else {
    uint32_t m = Gen1ReadBits(reader, b->value_bits - 1);
    if (m != 0 && Gen1ReadBit(reader)) m = 0u - m;
    current = static_cast<uint16_t>(m);
  }
  std::memcpy(b->buffer, &current, 2);
  uint32_t i = 1;
  while (i < n) {
    const uint32_t k = n - i < 8 ? n - i : 8;
    if (reader->count <= 3 && Gen1AtBound(reader)) {
      FailBundle(b);
      return;
    }
    const uint32_t width = Gen1ReadBits(reader, 4);
    for (uint32_t j = 0; j < k; ++j, ++i) {
      if (width != 0) {
        uint32_t d = Gen1ReadBits(reader, width);
        if (d != 0 && Gen1ReadBit(reader)) d = 0u - d;
        current = static_cast<uint16_t>(current + d);
      }
      std::memcpy(b->buffer + 2 * i, &current, 2);
    }
  }
}
