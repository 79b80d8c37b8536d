// Bit reader, bit-planes, adaptive list and signed deltas of the
// second-generation stream, against hand-built bit strings and the writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <vector>

#include "gen2_reader_stream.h"
#include "moviewriter/gen2_symbols.h"
#include "video/gen2/bitreader.h"

namespace {

TEST(Gen2BitReader, WordBoundariesAndPendingBits) {
  BitWriter w;
  InitBitWriter(&w);
  WriteBits(&w, 0x1ABCDEF5 & 0x1FFFFFFF, 29);
  WriteBits(&w, 0x5, 3);            // the last 3 bits of word 0
  WriteBits(&w, 0x13, 5);           // the first 5 bits of word 1
  WriteBits(&w, 0x2AAAAAA, 27);     // rest of word 1
  ReaderStream s;
  OpenStream(&s, w);
  EXPECT_EQ(ReadBits(&s.reader, 29), 0x1ABCDEF5u & 0x1FFFFFFF);
  EXPECT_EQ(s.reader.count, 3u);
  // 8 bits with 3 pending: those 3 low, then 5 bits of the next word.
  EXPECT_EQ(ReadBits(&s.reader, 8), 0x5u | (0x13u << 3));
  EXPECT_EQ(s.reader.count, 27u);
  EXPECT_EQ(ReadBits(&s.reader, 27), 0x2AAAAAAu);
  EXPECT_EQ(s.reader.count, 0u);
  // A full word read with nothing pending, then zeros past the end.
  EXPECT_EQ(s.reader.next, s.bytes.data() + 8);
  EXPECT_EQ(ReadBits(&s.reader, 32), 0u);
  EXPECT_EQ(s.reader.next, s.bytes.data() + s.bytes.size());
}

TEST(Gen2BitReader, LoadsOnlyWhenPendingBitsRunOut) {
  BitWriter w;
  InitBitWriter(&w);
  WriteBits(&w, 0xFFFFFFFF, 32);
  WriteBits(&w, 0x12345678, 32);
  ReaderStream s;
  OpenStream(&s, w);
  EXPECT_EQ(ReadBits(&s.reader, 32), 0xFFFFFFFFu);
  // count is 0 but the next word stays unread until it is needed.
  EXPECT_EQ(s.reader.count, 0u);
  EXPECT_EQ(s.reader.next, s.bytes.data() + 4);
  EXPECT_EQ(PeekBits(&s.reader, 16), 0x5678u);
  EXPECT_EQ(s.reader.next, s.bytes.data() + 4);
  SkipBits(&s.reader, 4);
  EXPECT_EQ(s.reader.count, 28u);
  EXPECT_EQ(ReadBits(&s.reader, 28), 0x1234567u);
}

TEST(Gen2BitReader, TruncatedStreamReadsZerosAndStaysInside) {
  // Six bytes: one whole word and half a word.
  std::vector<uint8_t> data = {0x11, 0x22, 0x33, 0x44, 0xAB, 0xCD};
  data.shrink_to_fit();
  BitReader r;
  StartBitReader(&r, data.data(), data.data() + data.size());
  EXPECT_EQ(ReadBits(&r, 32), 0x44332211u);
  EXPECT_EQ(ReadBits(&r, 32), 0x0000CDABu);
  EXPECT_EQ(r.next, data.data() + data.size());
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ReadBits(&r, 31), 0u);
  EXPECT_EQ(PeekBits(&r, 32), 0u);
  EXPECT_EQ(r.next, data.data() + data.size());

  // An offset past the end (a corrupt slice table) reads zeros from the start.
  StartBitReaderAt(&r, data.data(), 0xFFFFFFFFull, data.data() + data.size());
  EXPECT_EQ(ReadBits(&r, 32), 0u);
  StartBitReaderAt(&r, data.data(), 4, data.data() + data.size());
  EXPECT_EQ(ReadBits(&r, 16), 0xCDABu);
}

// The wide peek and the consume of up to 64 bits against single reads of at
// most 32 bits: the same bits and the same reader state after every step, on
// streams of every length up to 41 bytes (exact-size heap blocks, so a read
// past the end is caught), into the zeros past the end.
TEST(Gen2BitReader, WidePeekAndConsumeMatchSingleReads) {
  std::mt19937 rng(5);
  for (uint32_t size = 0; size <= 41; ++size) {
    for (int trial = 0; trial < 20; ++trial) {
      uint8_t *data = static_cast<uint8_t *>(std::malloc(size ? size : 1));
      for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(rng());
      BitReader wide, single;
      StartBitReader(&wide, data, data + size);
      StartBitReader(&single, data, data + size);
      for (uint32_t consumed = 0; consumed < 8 * size + 80;) {
        const uint32_t n = rng() % 65;
        const uint64_t peeked = PeekBits64(&wide);
        ConsumeBits(&wide, n);
        uint64_t expect = 0;
        for (uint32_t got = 0; got < n;) {
          const uint32_t part = std::min<uint32_t>(n - got, 1 + rng() % 32);
          expect |= uint64_t(ReadBits(&single, part)) << got;
          got += part;
        }
        const uint64_t mask = n == 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1;
        ASSERT_EQ(peeked & mask, expect) << "size " << size << " at bit " << consumed << " n " << n;
        ASSERT_EQ(wide.pending, single.pending);
        ASSERT_EQ(wide.count, single.count);
        ASSERT_EQ(wide.next, single.next);
        consumed += n;
      }
      EXPECT_EQ(wide.next, data + size);
      EXPECT_EQ(PeekBits64(&wide), 0u);
      std::free(data);
    }
  }
}

TEST(Gen2BitReader, SliceEndDropsPartWord) {
  BitWriter w;
  InitBitWriter(&w);
  WriteBits(&w, 0x7, 3);
  AlignBitWriter(&w);
  WriteBits(&w, 0xCAFEF00D, 32);
  WriteBits(&w, 0x1234, 16);
  ReaderStream s;
  OpenStream(&s, w);
  EXPECT_EQ(ReadBits(&s.reader, 3), 7u);
  DropPartialWord(&s.reader);
  EXPECT_EQ(s.reader.count, 0u);
  EXPECT_EQ(ReadBits(&s.reader, 32), 0xCAFEF00Du);
  // Zero pending bits: nothing is dropped.
  DropPartialWord(&s.reader);
  EXPECT_EQ(ReadBits(&s.reader, 16), 0x1234u);
}

// Decodes a plane from a hand-written code string into a buffer of exactly
// the needed size.
std::vector<uint8_t> PlaneFromCode(const char *code, uint32_t first_bit, uint32_t count) {
  BitWriter w;
  InitBitWriter(&w);
  WriteCode(&w, code);
  ReaderStream s;
  OpenStream(&s, w);
  std::vector<uint8_t> out((first_bit + count + 7) / 8, 0xEE);
  out.shrink_to_fit();
  DecodeBitPlane(out.data(), first_bit, &s.reader, count);
  return out;
}

TEST(Gen2BitPlane, RawPlanes) {
  // 16 bits: two bytes copied.
  EXPECT_EQ(PlaneFromCode("0" "10110000" "11111110", 0, 16), (std::vector<uint8_t>{0x0D, 0x7F}));
  // 9 bits: one byte, then one bit.
  EXPECT_EQ(PlaneFromCode("0" "10000001" "1", 0, 9), (std::vector<uint8_t>{0x81, 0x01}));
  // From bit position 1: bit 0 is 0, the plane follows.
  EXPECT_EQ(PlaneFromCode("0" "1111111" "1", 1, 8), (std::vector<uint8_t>{0xFE, 0x01}));
}

TEST(Gen2BitPlane, RunsAndLiterals) {
  // Explicit run of value 1, length 6 + 0 (short), then an implied run of 0
  // that fills the last two bits.
  EXPECT_EQ(PlaneFromCode("1" "1" "1" "0000" "1", 0, 8), (std::vector<uint8_t>{0x3F}));
  // Same with 3 bits left: the implied run's shortest length is 3, so it
  // fills the plane without a length field.
  EXPECT_EQ(PlaneFromCode("1" "1" "1" "0000" "1", 0, 9), (std::vector<uint8_t>{0x3F, 0x00}));
  // From bit position 1, as the frame's edge bitmaps are decoded.
  EXPECT_EQ(PlaneFromCode("1" "1" "1" "0000" "1", 1, 8), (std::vector<uint8_t>{0x7E, 0x00}));
  // Literal group of five, then a literal finishing the plane (2 bits).
  EXPECT_EQ(PlaneFromCode("1" "0" "1" "0101" "0" "0" "1", 0, 7), (std::vector<uint8_t>{0x55}));
  // After a short run a literal's first bit is implied (the opposite value).
  // 20 bits: run of 1 (l = 5, m = 7, r = 0) = 7 ones; 13 left: literal with
  // implied 0 and 4 bits 1,1,0,0; 8 left: explicit run of 0, l = 4, m = 6,
  // r = 2 -> 8 zeros.
  EXPECT_EQ(PlaneFromCode("1" "1" "1" "00000" "0" "1100" "1" "0" "0100", 0, 20),
            (std::vector<uint8_t>{0x7F, 0x03, 0x00}));
  // A run of the longest length (r = 31) keeps the value explicit.
  std::vector<uint8_t> plane = PlaneFromCode("1" "1" "1" "11111" "1" "0", 0, 40);
  EXPECT_EQ(plane, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0x3F}));
}

TEST(Gen2BitPlane, RunPastThePlaneIsCut) {
  // 10 bits: an explicit run of 6 + 15 would pass the end of the plane.
  std::vector<uint8_t> out = PlaneFromCode("1" "1" "1" "1111", 0, 10);
  EXPECT_EQ(out, (std::vector<uint8_t>{0xFF, 0x03}));
  // A plane whose stream ends early decodes from zeros and stays in bounds.
  out = PlaneFromCode("1", 3, 300);
  EXPECT_EQ(out.size(), 38u);
}

TEST(Gen2BitPlane, WriterRoundTrip) {
  std::mt19937 rng(12345);
  for (int iter = 0; iter < 600; ++iter) {
    uint32_t count = 1 + rng() % 400;
    uint32_t first_bit = rng() % 3;
    // Runs of random length with occasional noise.
    std::vector<uint8_t> bits(count);
    uint32_t v = rng() & 1;
    for (uint32_t i = 0; i < count;) {
      uint32_t len = 1 + rng() % (iter % 3 == 0 ? 3 : 50);
      for (uint32_t k = 0; k < len && i < count; ++k, ++i) bits[i] = (rng() % 16 == 0) ? (v ^ 1) : v;
      v ^= 1;
    }
    for (int mode = 0; mode < 2; ++mode) {
      BitWriter w;
      InitBitWriter(&w);
      uint32_t lead = rng() % 32;
      WriteBits(&w, rng(), lead);
      WriteBitPlane(&w, bits.data(), count, mode == 1);
      WriteBits(&w, 0x2D, 6);
      ReaderStream s;
      OpenStream(&s, w);
      SkipBits(&s.reader, lead);
      std::vector<uint8_t> out((first_bit + count + 7) / 8);
      DecodeBitPlane(out.data(), first_bit, &s.reader, count);
      for (uint32_t i = 0; i < first_bit; ++i) ASSERT_EQ((out[0] >> i) & 1, 0);
      for (uint32_t i = 0; i < count; ++i) {
        uint32_t b = first_bit + i;
        ASSERT_EQ((out[b / 8] >> (b % 8)) & 1, bits[i]) << "iter " << iter << " mode " << mode << " bit " << i;
      }
      ASSERT_EQ(ReadBits(&s.reader, 6), 0x2Du) << "iter " << iter << " mode " << mode;
    }
  }
}

TEST(Gen2AdaptiveList, CodesAndReordering) {
  BitWriter w;
  InitBitWriter(&w);
  WriteCode(&w, "1" "01" "001" "000");
  ReaderStream s;
  OpenStream(&s, w);
  uint8_t list[4] = {2, 3, 1, 0};
  EXPECT_EQ(ReadAdaptiveListSymbol(&s.reader, list), 2);
  EXPECT_EQ(ReadAdaptiveListSymbol(&s.reader, list), 3);  // front pair swapped
  EXPECT_EQ((std::vector<uint8_t>(list, list + 4)), (std::vector<uint8_t>{3, 2, 1, 0}));
  EXPECT_EQ(ReadAdaptiveListSymbol(&s.reader, list), 0);  // last pair swapped
  EXPECT_EQ((std::vector<uint8_t>(list, list + 4)), (std::vector<uint8_t>{3, 2, 0, 1}));
  EXPECT_EQ(ReadAdaptiveListSymbol(&s.reader, list), 0);  // middle pair swapped
  EXPECT_EQ((std::vector<uint8_t>(list, list + 4)), (std::vector<uint8_t>{3, 0, 2, 1}));

  // Code 0 0 1 four times alternates between the last two entries.
  InitBitWriter(&w);
  WriteCode(&w, "001001001001");
  OpenStream(&s, w);
  uint8_t l2[4] = {2, 3, 1, 0};
  EXPECT_EQ(ReadAdaptiveListSymbol(&s.reader, l2), 0);
  EXPECT_EQ(ReadAdaptiveListSymbol(&s.reader, l2), 1);
  EXPECT_EQ(ReadAdaptiveListSymbol(&s.reader, l2), 0);
  EXPECT_EQ(ReadAdaptiveListSymbol(&s.reader, l2), 1);
}

TEST(Gen2SignedDelta, CodesAndSignAtWordEnd) {
  BitWriter w;
  InitBitWriter(&w);
  WriteCode(&w, "1" "010" "011" "0010" "0011" "000100" "000111" "0000000000" "0000111111");
  ReaderStream s;
  OpenStream(&s, w);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 16), 16);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 16), 17);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 16), 15);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 16), 18);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 16), 14);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 16), 19);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 16), 12);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 16), 21);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 16), 16 - 36);

  // The code "0 1" ends word 0 exactly; its sign bit loads word 1.
  InitBitWriter(&w);
  WriteBits(&w, 0, 30);
  WriteCode(&w, "01" "1");
  WriteBits(&w, 0x5, 3);
  OpenStream(&s, w);
  SkipBits(&s.reader, 30);
  EXPECT_EQ(ReadSignedDelta(&s.reader, 100), 99);
  EXPECT_EQ(s.reader.count, 31u);
  EXPECT_EQ(ReadBits(&s.reader, 3), 5u);
}

TEST(Gen2Symbols, RandomRoundTrip) {
  std::mt19937 rng(777);
  for (int iter = 0; iter < 200; ++iter) {
    BitWriter w;
    InitBitWriter(&w);
    uint8_t wlist[4] = {2, 3, 1, 0};
    std::vector<int> kinds, values, widths;
    int32_t predicted = 16;
    for (int i = 0; i < 300; ++i) {
      int kind = rng() % 3;
      int value = 0;
      if (kind == 0) {
        value = rng() % 4;
        ASSERT_TRUE(WriteAdaptiveListSymbol(&w, wlist, static_cast<uint8_t>(value)));
      } else if (kind == 1) {
        value = predicted + static_cast<int>(rng() % 73) - 36;
        ASSERT_TRUE(WriteSignedDelta(&w, predicted, value));
        predicted = value;
      } else {
        uint32_t n = 1 + rng() % 31;
        value = static_cast<int>(rng() & ((1u << n) - 1));
        WriteBits(&w, static_cast<uint32_t>(value), n);
        widths.push_back(static_cast<int>(n));
      }
      kinds.push_back(kind);
      values.push_back(value);
    }
    ReaderStream s;
    OpenStream(&s, w);
    uint8_t rlist[4] = {2, 3, 1, 0};
    predicted = 16;
    size_t next_width = 0;
    for (size_t i = 0; i < kinds.size(); ++i) {
      if (kinds[i] == 0) {
        ASSERT_EQ(ReadAdaptiveListSymbol(&s.reader, rlist), values[i]);
      } else if (kinds[i] == 1) {
        predicted = ReadSignedDelta(&s.reader, predicted);
        ASSERT_EQ(predicted, values[i]);
      } else {
        uint32_t n = static_cast<uint32_t>(widths[next_width++]);
        ASSERT_EQ(ReadBits(&s.reader, n), static_cast<uint32_t>(values[i]));
      }
    }
  }
}

}  // namespace
