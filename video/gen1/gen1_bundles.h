// First-generation bundles: per-plane value buffers refilled from the
// bitstream at the start of a row of blocks whenever they have run empty,
// each kind of value with its own syntax and, for most kinds, one of sixteen
// fixed prefix codes with a per-plane symbol permutation.
#pragma once
#include <cstdint>

#include "video/gen1/gen1_bits.h"

// One fixed prefix code as a lookup table: entry = code length << 4 |
// symbol, indexed by the next lookup_bits bits (first bit read = bit 0).
struct FixedCodeTable {
  const uint8_t *lookup;
  uint32_t lookup_bits;
};

// FIRST_GEN_HUFFMAN_TREES[t]: the sixteen fixed codes.
extern const FixedCodeTable FIRST_GEN_HUFFMAN_TREES[16];

struct HuffmanTree {
  const uint8_t *lookup;
  uint32_t lookup_bits;
  uint8_t symbols[16];  // permutation applied to every decoded symbol
};

struct Bundle {
  uint8_t *read_pos;   // next value to hand out
  uint8_t *end_pos;    // past the last value of the latest refill
  uint32_t value_bits;    // width of a DC refill's first value
  uint32_t value_signed;  // DC refill's first value is magnitude and sign
  HuffmanTree tree;
  uint32_t count_bits;
  uint32_t capacity;   // most values one refill may hold
  uint8_t *buffer;     // 16-byte aligned scratch
};

// Bit length of x (0 for 0).
uint32_t BitLength(uint32_t x);

void ReadHuffmanTree(Gen1BitReader *reader, HuffmanTree *tree);
// Merges runs a and b (n elements each) into dest, one bit per element moved
// while both have elements; returns the number of bits used.
uint32_t MergeSymbolRuns(uint32_t bits, uint8_t *dest, const uint8_t *a, const uint8_t *b, uint32_t n);
// Reads one symbol with the tree (permutation applied).
uint32_t ReadTreeSymbol(Gen1BitReader *reader, const HuffmanTree *tree);

// Refills; each returns at once when the bundle is not empty.  bound is the
// reader's read bound (kept in the reader).
void ReadBlockTypeBundle(Bundle *bundle, Gen1BitReader *reader, int revision_k);
void ReadColorBundle(Bundle *bundle, Gen1BitReader *reader, const HuffmanTree high_trees[16],
                     uint32_t *color_context);
void ReadColorBundleSigned(Bundle *bundle, Gen1BitReader *reader, const HuffmanTree high_trees[16],
                           uint32_t *color_context);
void ReadPatternBundle(Bundle *bundle, Gen1BitReader *reader);
void ReadMotionBundle(Bundle *bundle, Gen1BitReader *reader);
void ReadDcBundle(Bundle *bundle, Gen1BitReader *reader);
void ReadRunBundle(Bundle *bundle, Gen1BitReader *reader);

inline bool BundleEmpty(const Bundle *b) { return b->read_pos == b->end_pos; }
// A failed refill: never empty again in this plane.
inline void FailBundle(Bundle *b) {
  b->read_pos = b->buffer + 4;
  b->end_pos = b->buffer;
}
