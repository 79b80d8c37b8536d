// Bit writer and symbol encoders of the second-generation video bitstream:
// bit-planes, the adaptive block-type list, signed deltas, coded-block
// patterns, DC residuals, AC run/level codes and motion-vector differences.
// Each writer is the exact inverse of the decoder's reader.
//
// The stream is a sequence of 32-bit little-endian words filled from bit 0
// upward; a value of n bits is written first bit (bit 0) first.
#pragma once
#include <cstdint>
#include <vector>

struct BitWriter {
  std::vector<uint32_t> words;  // finished words
  uint64_t acc;                 // bits not yet in a finished word
  uint32_t count;               // valid bits in acc (below 32 between calls)
};

void InitBitWriter(BitWriter *w);
// Writes the low n bits of value (n 0 to 32), bit 0 first.
void WriteBits(BitWriter *w, uint32_t value, uint32_t n);
void WriteBit(BitWriter *w, uint32_t bit);
// Writes a code given as '0'/'1' characters in reading order.
void WriteCode(BitWriter *w, const char *code);
// Pads the partly filled word with zeros (end of a slice).
void AlignBitWriter(BitWriter *w);
// Total bits written so far.
uint64_t BitWriterBitCount(const BitWriter *w);
// The stream as bytes, the last partly filled word padded with zeros.
std::vector<uint8_t> BitWriterBytes(const BitWriter *w);

// Bit-plane of count bits (bits[i] is 0 or 1). run_length selects the
// run-length form (a greedy encoder); otherwise the raw form.
void WriteBitPlane(BitWriter *w, const uint8_t *bits, uint32_t count, bool run_length);

// Writes the code that makes the adaptive list yield symbol and updates the
// list as the reader does. Returns 0 when the symbol is not in the list.
int WriteAdaptiveListSymbol(BitWriter *w, uint8_t list[4], uint8_t symbol);

// Writes value - predicted (which must lie in -36..36). Returns 0 otherwise.
int WriteSignedDelta(BitWriter *w, int32_t predicted, int32_t value);

// Writes a 32x32 block's pattern (bits 0-15, and the same bits in 16-31 to
// select run-code table 2) against the previous pattern. With block_flags bit
// 18 (wide DC range) a zero pattern carries no table bit. Returns the
// pattern as the reader will return it.
uint32_t WriteBlockPattern16(BitWriter *w, uint32_t previous, uint32_t block_flags, uint32_t pattern);
// The chroma pattern (bits 0-3, copy in 16-19). force_explicit writes the
// explicit form even when the prediction would do. Returns the pattern as the
// reader will return it.
uint32_t WriteBlockPattern4(BitWriter *w, uint32_t previous, uint32_t pattern, bool force_explicit);

// DC residual codes: m[i] is the signed code magnitude (|m| 0 to 513; the
// decoded residual is (scale * |m| + 512) >> 10 with m's sign). With flag 0
// only the zero flag is written (every m must be 0).
void WriteDcResiduals(BitWriter *w, const int32_t *m, uint32_t n, int flag);
// The residual the decoder forms from a code magnitude.
int32_t DcResidualFromCode(int32_t m, int32_t qi);

// AC codes of one coded 8x8 block. levels[pos] is the signed level (|level|
// 1 to 1025, or 0 for none) at scan position pos (1 to 63; levels[0] is
// ignored). table2 selects run-code table 2. use_repeat lets the encoder use
// the repeated-zero-run code where seven (or the rest up to 63) coefficients
// follow one another. escape_end ends the block with an escape whose run
// passes 63 instead of the end code (when the block does not end at 63).
void WriteAcBlock(BitWriter *w, const int32_t levels[64], bool table2, bool use_repeat, bool escape_end);
// One level code (|level| 1 to 1025).
void WriteAcLevel(BitWriter *w, int32_t level);
// The run code of a class (0 to 13) of a table.
const char *AcRunCode(uint32_t cls, bool table2);

// One motion-vector difference (|value| up to 65535).
void WriteMotionVectorDifference(BitWriter *w, int32_t value);
// A block's differences: single writes one per component (dx[0], dy[0]),
// otherwise four.
void WriteMotionVectors(BitWriter *w, const int32_t dx[4], const int32_t dy[4], bool single);
