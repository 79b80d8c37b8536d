// First-generation code trees, bundle refills, coefficient and residue
// readers and the inverse transform, on hand-written bitstreams.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "moviewriter/gen2_symbols.h"
#include "video/gen1/gen1_bundles.h"
#include "video/gen1/gen1_dct.h"

namespace {

struct Stream {
  std::vector<uint8_t> bytes;
  Gen1BitReader reader;
};

// Bits written in reading order from a string of '0'/'1' (spaces ignored),
// followed by plenty of zero words.
void Start(Stream *s, BitWriter *w, size_t pad_words = 8) {
  s->bytes = BitWriterBytes(w);
  s->bytes.resize(s->bytes.size() + 4 * pad_words, 0);
  const uintptr_t b = Gen1Address(s->bytes.data());
  StartGen1Reader(&s->reader, b, b + s->bytes.size() + 4, b + s->bytes.size());
}

void Code(BitWriter *w, const char *bits) {
  for (; *bits; ++bits)
    if (*bits == '0' || *bits == '1') WriteBit(w, *bits - '0');
}

struct TestBundle {
  Bundle b;
  alignas(16) uint8_t buffer[2048];
};

void ResetBundle(TestBundle *t, uint32_t count_bits, uint32_t capacity) {
  std::memset(t->buffer, 0xEE, sizeof t->buffer);
  t->b = Bundle{};
  t->b.buffer = t->buffer;
  t->b.read_pos = t->b.end_pos = t->buffer;
  t->b.count_bits = count_bits;
  t->b.capacity = capacity;
  t->b.tree.lookup = FIRST_GEN_HUFFMAN_TREES[0].lookup;
  t->b.tree.lookup_bits = 4;
  for (int i = 0; i < 16; ++i) t->b.tree.symbols[i] = static_cast<uint8_t>(i);
}

uint32_t DecodeOne(uint32_t tree, const char *bits) {
  BitWriter w;
  InitBitWriter(&w);
  Code(&w, bits);
  Stream s;
  Start(&s, &w);
  HuffmanTree t;
  t.lookup = FIRST_GEN_HUFFMAN_TREES[tree].lookup;
  t.lookup_bits = FIRST_GEN_HUFFMAN_TREES[tree].lookup_bits;
  for (int i = 0; i < 16; ++i) t.symbols[i] = static_cast<uint8_t>(i);
  return ReadTreeSymbol(&s.reader, &t) | (s.reader.count == 0 ? 0 : (32 - s.reader.count)) << 8;
}

}  // namespace

TEST(Gen1TreesTest, FixedCodesDecodeAsListed) {
  // Tree 2: 0 = 00, 1 = 01, 2 = 1000, 3 = 1001, 4 = 10100, 15 = 11111.
  EXPECT_EQ(DecodeOne(2, "00"), 0u | 2u << 8);
  EXPECT_EQ(DecodeOne(2, "01"), 1u | 2u << 8);
  EXPECT_EQ(DecodeOne(2, "1000"), 2u | 4u << 8);
  EXPECT_EQ(DecodeOne(2, "1001"), 3u | 4u << 8);
  EXPECT_EQ(DecodeOne(2, "10100"), 4u | 5u << 8);
  EXPECT_EQ(DecodeOne(2, "11111"), 15u | 5u << 8);
  // Tree 1's own codes and tree 0's plain 4 bits (first bit = bit 0).
  EXPECT_EQ(DecodeOne(1, "0"), 0u | 1u << 8);
  EXPECT_EQ(DecodeOne(1, "1000"), 1u | 4u << 8);
  EXPECT_EQ(DecodeOne(1, "11000"), 2u | 5u << 8);
  EXPECT_EQ(DecodeOne(1, "10011"), 12u | 5u << 8);
  EXPECT_EQ(DecodeOne(0, "1011"), 13u | 4u << 8);
  // The longest trees: 13 has 0 = 0 and 15 = 1111111.
  EXPECT_EQ(DecodeOne(13, "0"), 0u | 1u << 8);
  EXPECT_EQ(DecodeOne(13, "1111111"), 15u | 7u << 8);
  // Every table entry holds a code no longer than the table's index bits.
  uint32_t total = 0;
  for (int t = 0; t < 16; ++t) {
    total += 1u << FIRST_GEN_HUFFMAN_TREES[t].lookup_bits;
    for (uint32_t i = 0; i < (1u << FIRST_GEN_HUFFMAN_TREES[t].lookup_bits); ++i)
      EXPECT_LE(FIRST_GEN_HUFFMAN_TREES[t].lookup[i] >> 4, FIRST_GEN_HUFFMAN_TREES[t].lookup_bits);
  }
  EXPECT_EQ(total, 976u);
}

TEST(Gen1TreesTest, PermutationsExplicitAndMerged) {
  HuffmanTree t;
  {  // Tree choice 0: identity, nothing more read.
    BitWriter w;
    InitBitWriter(&w);
    Code(&w, "0000 1");
    Stream s;
    Start(&s, &w);
    ReadHuffmanTree(&s.reader, &t);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(t.symbols[i], i);
    EXPECT_EQ(Gen1ReadBit(&s.reader), 1u);
  }
  {  // Explicit list k = 0 naming 9.
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 3, 4);
    WriteBit(&w, 1);
    WriteBits(&w, 0, 3);
    WriteBits(&w, 9, 4);
    Stream s;
    Start(&s, &w);
    ReadHuffmanTree(&s.reader, &t);
    const uint8_t want[16] = {9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 14, 15};
    EXPECT_EQ(std::memcmp(t.symbols, want, 16), 0);
    EXPECT_EQ(t.lookup_bits, 5u);
  }
  {  // Merge list d = 0, first pair swapped.
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 7, 4);
    WriteBit(&w, 0);
    WriteBits(&w, 0, 2);
    Code(&w, "10000000");
    Stream s;
    Start(&s, &w);
    ReadHuffmanTree(&s.reader, &t);
    const uint8_t want[16] = {1, 0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    EXPECT_EQ(std::memcmp(t.symbols, want, 16), 0);
  }
  // MergeSymbolRuns: bits used until one run is empty.
  const uint8_t a[4] = {0, 1, 2, 3}, b[4] = {4, 5, 6, 7};
  uint8_t dest[8];
  EXPECT_EQ(MergeSymbolRuns(0x0, dest, a, b, 4), 4u);  // all of a first
  const uint8_t want_a[8] = {0, 1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(std::memcmp(dest, want_a, 8), 0);
  EXPECT_EQ(MergeSymbolRuns(0x5, dest, a, b, 4), 6u);  // 1 0 1 0 0 0: a runs out
  const uint8_t want_b[8] = {4, 0, 5, 1, 2, 3, 6, 7};
  EXPECT_EQ(std::memcmp(dest, want_b, 8), 0);
}

TEST(Gen1BundlesTest, BlockTypeRefillsWithRepeatsAndFailures) {
  TestBundle t;
  {  // n = 5: symbols 5 and 12 give 5 5 5 5 5.
    ResetBundle(&t, 10, 528);
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 5, 10);
    WriteBit(&w, 0);
    WriteBits(&w, 5, 4);
    WriteBits(&w, 12, 4);
    Stream s;
    Start(&s, &w);
    ReadBlockTypeBundle(&t.b, &s.reader, 0);
    EXPECT_EQ(t.b.end_pos - t.b.read_pos, 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(t.buffer[i], 5);
  }
  {  // n = 3: 7 then 13 (repeat 8) ends the refill with two old bytes.
    ResetBundle(&t, 10, 528);
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 3, 10);
    WriteBit(&w, 0);
    WriteBits(&w, 7, 4);
    WriteBits(&w, 13, 4);
    WriteBits(&w, 0xF, 4);  // not read
    Stream s;
    Start(&s, &w);
    ReadBlockTypeBundle(&t.b, &s.reader, 0);
    EXPECT_EQ(t.buffer[0], 7);
    EXPECT_EQ(t.buffer[1], 0xEE);
    EXPECT_EQ(t.buffer[2], 0xEE);
    EXPECT_EQ(t.b.end_pos - t.b.read_pos, 3);
    EXPECT_EQ(Gen1ReadBits(&s.reader, 4), 0xFu);
  }
  {  // Revision k: a count field of 0xBB is n = 0 and fails the bundle.
    ResetBundle(&t, 10, 528);
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 0xBB, 10);
    Stream s;
    Start(&s, &w);
    ReadBlockTypeBundle(&t.b, &s.reader, 1);
    EXPECT_EQ(t.b.read_pos, t.buffer + 4);
    EXPECT_EQ(t.b.end_pos, t.buffer);
    ReadBlockTypeBundle(&t.b, &s.reader, 1);  // never empty again
    EXPECT_EQ(t.b.read_pos, t.buffer + 4);
  }
  {  // A count above the capacity fails too.
    ResetBundle(&t, 10, 20);
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 21, 10);
    Stream s;
    Start(&s, &w);
    ReadBlockTypeBundle(&t.b, &s.reader, 0);
    EXPECT_EQ(t.b.end_pos, t.buffer);
  }
}

TEST(Gen1BundlesTest, ColourMotionDcAndRunRefills) {
  TestBundle t;
  HuffmanTree high[16];
  for (auto &h : high) {
    h.lookup = FIRST_GEN_HUFFMAN_TREES[0].lookup;
    h.lookup_bits = 4;
  }
  for (auto &h : high)
    for (int i = 0; i < 16; ++i) h.symbols[i] = static_cast<uint8_t>(i);
  {  // Signed colours: 0x05 -> 0x85, 0x85 -> 0x7B, 0x80 -> 0x80; context follows.
    ResetBundle(&t, 10, 600);
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 3, 10);
    WriteBit(&w, 0);
    for (uint32_t v : {0x05u, 0x85u, 0x80u}) {
      WriteBits(&w, v >> 4, 4);
      WriteBits(&w, v & 15, 4);
    }
    Stream s;
    Start(&s, &w);
    uint32_t context = 0;
    ReadColorBundleSigned(&t.b, &s.reader, high, &context);
    EXPECT_EQ(t.buffer[0], 0x85);
    EXPECT_EQ(t.buffer[1], 0x7B);
    EXPECT_EQ(t.buffer[2], 0x80);
    EXPECT_EQ(context, 8u);
  }
  {  // Motion mode 1 with m = 0: no sign bit; all offsets 0.
    ResetBundle(&t, 10, 528);
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 4, 10);
    WriteBit(&w, 1);
    WriteBits(&w, 0, 4);
    WriteBit(&w, 1);  // next data, not a sign
    Stream s;
    Start(&s, &w);
    ReadMotionBundle(&t.b, &s.reader);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(t.buffer[i], 0);
    EXPECT_EQ(Gen1ReadBit(&s.reader), 1u);
  }
  {  // Intra DC, n = 3, first value 1024, group width 0.
    ResetBundle(&t, 10, 528);
    t.b.value_bits = 11;
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 3, 10);
    WriteBits(&w, 1024, 11);
    WriteBits(&w, 0, 4);
    Stream s;
    Start(&s, &w);
    ReadDcBundle(&t.b, &s.reader);
    int16_t v[3];
    std::memcpy(v, t.buffer, 6);
    EXPECT_EQ(v[0], 1024);
    EXPECT_EQ(v[1], 1024);
    EXPECT_EQ(v[2], 1024);
    EXPECT_EQ(t.b.end_pos - t.b.buffer, 6);
  }
  {  // Inter DC: magnitude and sign, then signed deltas.
    ResetBundle(&t, 10, 528);
    t.b.value_bits = 11;
    t.b.value_signed = 1;
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 3, 10);
    WriteBits(&w, 300, 10);
    WriteBit(&w, 1);        // -300
    WriteBits(&w, 3, 4);    // group width 3
    WriteBits(&w, 5, 3);    // +5
    WriteBit(&w, 0);
    WriteBits(&w, 0, 3);    // +0, no sign
    Stream s;
    Start(&s, &w);
    ReadDcBundle(&t.b, &s.reader);
    int16_t v[3];
    std::memcpy(v, t.buffer, 6);
    EXPECT_EQ(v[0], -300);
    EXPECT_EQ(v[1], -295);
    EXPECT_EQ(v[2], -295);
  }
  {  // A run refill that runs into the read bound fails.
    ResetBundle(&t, 10, 528);
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 500, 10);
    WriteBit(&w, 0);
    Stream s;
    Start(&s, &w, 0);
    ReadRunBundle(&t.b, &s.reader);
    EXPECT_EQ(t.b.end_pos, t.buffer);
    EXPECT_EQ(t.b.read_pos, t.buffer + 4);
  }
}

TEST(Gen1DctTest, DequantisationTablesAndQuadOrder) {
  const int32_t intra0[8] = {65536, 90901, 85627, 91511, 65536, 61146, 48768, 24862};
  const int32_t intra3[8] = {131072, 181802, 171254, 183023, 131072, 122292, 97537, 49724};
  const int32_t inter0[8] = {65536, 96582, 90979, 86695, 73728, 57928, 42118, 21472};
  const int32_t inter0r7[8] = {31642, 43889, 44296, 39865, 33903, 27525, 18960, 10289};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(INTRA_DEQUANT[0][i], intra0[i]);
    EXPECT_EQ(INTRA_DEQUANT[3][i], intra3[i]);
    EXPECT_EQ(INTER_DEQUANT[0][i], inter0[i]);
    EXPECT_EQ(INTER_DEQUANT[0][56 + i], inter0r7[i]);
  }
  EXPECT_EQ(INTRA_DEQUANT[1][0], 87381);
  EXPECT_EQ(INTRA_DEQUANT[2][0], 109227);
  EXPECT_EQ(INTRA_DEQUANT[15][48], 3413779);
  EXPECT_EQ(INTER_DEQUANT[0][18], 146839);
  EXPECT_EQ(QUAD_ORDER[0], 0);
  EXPECT_EQ(QUAD_ORDER[3], 9);
  EXPECT_EQ(QUAD_ORDER[4], 2);
  EXPECT_EQ(QUAD_ORDER[24], 16);   // square 6 at (2, 0)
  EXPECT_EQ(QUAD_ORDER[44], 18);   // square 11 at (2, 2)
  EXPECT_EQ(QUAD_ORDER[63], 63);
}

TEST(Gen1DctTest, TransformEdgeCases) {
  int16_t c[64] = {};
  uint8_t out[64];
  c[0] = 1024;
  InverseDctPut(out, 8, c, 0);
  for (uint8_t v : out) EXPECT_EQ(v, 128);
  c[0] = 2047;
  InverseDctPut(out, 8, c, 0);
  for (uint8_t v : out) EXPECT_EQ(v, 0);  // 256 wraps
  // A result byte 0xFF (-1) added to 0x10 gives 0x0F: DC -8 at inter level 0
  // is -256 before the final shift, (-256 + 127) >> 8 = -1.
  c[0] = -8;
  uint8_t src[64];
  std::memset(src, 0x10, 64);
  InverseDctAdd(out, 8, c, 0, src, 8);
  for (uint8_t v : out) EXPECT_EQ(v, 0x0F);
  // Doubled output: a 16x16 area of 2x2 squares.
  std::memset(c, 0, sizeof c);
  c[0] = 800;
  c[1] = 40;
  uint8_t small[64], big[256];
  InverseDctPut(small, 8, c, 2);
  InverseDctPutDoubled(big, 16, c, 2);
  for (int r = 0; r < 16; ++r)
    for (int k = 0; k < 16; ++k) EXPECT_EQ(big[16 * r + k], small[8 * (r / 2) + k / 2]);
  // Huge coefficients wrap silently (no undefined arithmetic).
  for (int i = 0; i < 64; ++i) c[i] = static_cast<int16_t>(i & 1 ? 32767 : -32768);
  InverseDctPut(out, 8, c, 15);
  InverseDctAdd(out, 8, c, 15, src, 8);
}

TEST(Gen1DctTest, CoefficientAndResidueReaders) {
  {  // P = 0: only 4 bits read, AC stays 0.
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 0, 4);
    WriteBits(&w, 0xA, 4);
    Stream s;
    Start(&s, &w);
    int16_t c[64];
    std::memset(c, 0x55, sizeof c);
    ReadDctCoefficients(c, &s.reader);
    for (int i = 1; i < 64; ++i) EXPECT_EQ(c[i], 0);
    EXPECT_EQ(Gen1ReadBits(&s.reader, 4), 0xAu);
  }
  {  // P = 2: coded index 1 (position 1) significant at n = 2 with v = 0b11: -3.
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 2, 4);
    Code(&w, "000");    // the three regions stay
    Code(&w, "1 11");   // index 1: significant, v = 3 (bits 1, 1)
    Code(&w, "0 0");    // indices 2, 3 stay
    Code(&w, "000 00"); // n = 1: regions and the two values stay
    Stream s;
    Start(&s, &w);
    int16_t c[64] = {};
    ReadDctCoefficients(c, &s.reader);
    EXPECT_EQ(c[1], -3);
    for (int i = 2; i < 64; ++i) EXPECT_EQ(c[i], 0);
  }
  {  // Residue with k = 0 stops right after the first event.
    BitWriter w;
    InitBitWriter(&w);
    WriteBits(&w, 0, 3);  // P = 0: one walk at magnitude 1
    Code(&w, "0 0 0");    // regions stay
    Code(&w, "1 1 0");    // square at 0 opens: value 0 prepended, value 1 significant
    WriteBit(&w, 1);      // its sign: negative
    WriteBits(&w, 0x3F, 6);
    Stream s;
    Start(&s, &w);
    int8_t r[64] = {};
    ReadResidue(r, &s.reader, 0);
    EXPECT_EQ(r[1], -1);
    for (int i = 0; i < 64; ++i)
      if (i != 1) {
        EXPECT_EQ(r[i], 0);
      }
    EXPECT_EQ(Gen1ReadBits(&s.reader, 6), 0x3Fu);
  }
}
