// Intra and inter block reconstruction of the second-generation codec.
#include "video/gen2/reconstruct.h"

#include "video/gen2/coeffs.h"
#include "video/gen2/transform.h"

void SmoothResidual(int16_t *residual, int32_t pitch, uint32_t blocks, const uint16_t *words,
                    uint32_t flags) {
  uint32_t edges = 0;
  if (!(flags & (uint32_t(BLOCK_NO_COLUMN_EDGES) | uint32_t(BLOCK_FLAG_WIDE_DC)))) edges |= RESIDUAL_EDGES_COLUMNS;
  if (!(flags & (uint32_t(BLOCK_NO_ROW_EDGES) | uint32_t(BLOCK_FLAG_WIDE_DC)))) edges |= RESIDUAL_EDGES_ROWS;
  if (edges) SmoothResidualEdges(residual, pitch, blocks, words, edges);
}

void DecodeIntraPlaneBlock(int32_t grid[16], const int32_t *context, uint8_t *dst, uint32_t stride,
                           BitReader *reader, uint16_t words[16], uint32_t flags, int32_t qi,
                           uint32_t *previous_pattern) {
  const uint32_t pattern = ReadBlockPattern16(reader, *previous_pattern, flags);
  *previous_pattern = pattern;
  DecodeDcGrid16(grid, context, qi, reader, flags, 0, 2047);
  alignas(16) int16_t coeffs[256];
  alignas(16) int16_t out[256];
  const int32_t s = int32_t(stride);
  for (uint32_t q = 0; q < 4; ++q) {
    const uint32_t classes = DecodeAcCoefficients(pattern >> (4 * q), coeffs, reader, qi,
                                                  QUANT_TABLE_INTRA, grid + 4 * q, words + 4 * q,
                                                  SUBBLOCK_INTRA);
    const bool stored = q < 2 ? UpperHalfStored(flags) : LowerHalfStored(flags);
    if (!dst || !stored || classes == 0) continue;
    InverseTransform16x16(out, coeffs, classes, 32);
    uint8_t *p = dst + (q & 1) * 16 + int64_t(q >> 1) * 16 * s;
    PackRows16(p, s, out);
    PackRows16(p + 8 * int64_t(s), s, out + 128);
  }
}

void DecodeIntraChromaBlock(int32_t grid[4], const int32_t *context, uint8_t *dst, uint32_t stride,
                            BitReader *reader, uint16_t words[4], uint32_t flags, int32_t qi,
                            uint32_t *previous_pattern) {
  const uint32_t pattern = ReadBlockPattern4(reader, *previous_pattern);
  *previous_pattern = pattern;
  DecodeDcGrid4(grid, context, qi, reader, flags, 0, 2047);
  alignas(16) int16_t coeffs[256];
  alignas(16) int16_t out[256];
  const uint32_t classes = DecodeAcCoefficients(pattern, coeffs, reader, qi, QUANT_TABLE_CHROMA,
                                                grid, words, SUBBLOCK_INTRA);
  if (classes == 0 || !dst) return;
  InverseTransform16x16(out, coeffs, classes, 32);
  const int32_t s = int32_t(stride);
  if (UpperHalfStored(flags)) PackRows16(dst, s, out);
  if (LowerHalfStored(flags)) PackRows16(dst + 8 * int64_t(s), s, out + 128);
}

static inline int16_t InterDcBound(uint32_t flags) { return (flags & BLOCK_FLAG_WIDE_DC) ? 2047 : 1023; }

void DecodeInterPlaneBlock(uint8_t *dst, const uint8_t *reference, uint32_t dst_stride,
                           uint32_t ref_stride, BitReader *reader, uint32_t flags,
                           const QuadrantPositions *positions, int32_t qi,
                           uint32_t *previous_pattern, uint8_t *scratch,
                           const HalfPelKernels *kernels) {
  const uint32_t pattern = ReadBlockPattern16(reader, *previous_pattern, flags);
  *previous_pattern = pattern;
  int32_t grid[16] = {};
  const int16_t bound = InterDcBound(flags);
  DecodeDcGrid16(grid, nullptr, qi, reader, 0xA8, int16_t(-bound), bound);
  alignas(16) int16_t coeffs[256];
  alignas(16) int16_t residual[32 * 32];
  uint16_t words[16];
  for (uint32_t q = 0; q < 4; ++q) {
    const uint32_t classes = DecodeAcCoefficients(pattern >> (4 * q), coeffs, reader, qi,
                                                  QUANT_TABLE_INTER, grid + 4 * q, words + 4 * q, 0);
    if (reference)
      InverseTransform16x16(residual + (q & 1) * 16 + (q >> 1) * 16 * 32, coeffs, classes, 64);
  }
  if (!reference) return;
  SmoothResidual(residual, 32, 4, words, flags);
  alignas(16) uint8_t prediction[16 * 16];
  const int32_t ds = int32_t(dst_stride), rs = int32_t(ref_stride);
  for (uint32_t q = 0; q < 4; ++q) {
    const bool stored = q < 2 ? UpperHalfStored(flags) : LowerHalfStored(flags);
    uint8_t *out;
    int32_t out_stride;
    if (stored) {
      out = dst + (q & 1) * 16 + int64_t(q >> 1) * 16 * ds;
      out_stride = ds;
    } else if (q & 1) {
      out = scratch;
      out_stride = 16;
    } else {
      continue;
    }
    const uint32_t x = positions->p[2 * q], y = positions->p[2 * q + 1];
    const uint8_t *src = reference + int64_t(y >> 1) * rs + (x >> 1);
    kernels->k[2 * (x & 1) + (y & 1)](src, prediction, rs, 16);
    const int16_t *r = residual + (q & 1) * 16 + (q >> 1) * 16 * 32;
    AddResidual16x8(out, out_stride, r, 64, prediction, 16);
    AddResidual16x8(out + 8 * int64_t(out_stride), out_stride, r + 8 * 32, 64, prediction + 8 * 16, 16);
  }
}

void DecodeInterChromaBlock(uint8_t *dst, const uint8_t *reference, uint32_t dst_stride,
                            uint32_t ref_stride, BitReader *reader,
                            const QuadrantPositions *positions, uint32_t flags, int32_t qi,
                            uint32_t *previous_pattern, uint8_t *scratch) {
  const uint32_t pattern = ReadBlockPattern4(reader, *previous_pattern);
  *previous_pattern = pattern;
  int32_t grid[4] = {};
  const int16_t bound = InterDcBound(flags);
  DecodeDcGrid4(grid, nullptr, qi, reader, 0xA8, int16_t(-bound), bound);
  alignas(16) int16_t coeffs[256];
  alignas(16) int16_t residual[16 * 16];
  uint16_t words[4];
  const uint32_t classes =
      DecodeAcCoefficients(pattern, coeffs, reader, qi, QUANT_TABLE_INTER, grid, words, 0);
  alignas(16) uint8_t prediction[16 * 16];
  const int32_t rs = int32_t(ref_stride);
  for (uint32_t k = 0; k < 4; ++k) {
    const uint32_t x = positions->p[2 * k], y = positions->p[2 * k + 1];
    const uint8_t *src = reference + int64_t(y >> 2) * rs + (x >> 2);
    MC_KERNEL_TABLE.qpel[4 * (x & 3) + (y & 3)](src, prediction + (k & 1) * 8 + (k >> 1) * 8 * 16,
                                                rs, 16);
  }
  InverseTransform16x16(residual, coeffs, classes, 32);
  SmoothResidual(residual, 16, 2, words, flags);
  const int32_t ds = int32_t(dst_stride);
  if (UpperHalfStored(flags))
    AddResidual16x8(dst, ds, residual, 32, prediction, 16);
  else
    AddResidual16x8(scratch, 16, residual, 32, prediction, 16);
  if (LowerHalfStored(flags))
    AddResidual16x8(dst + 8 * int64_t(ds), ds, residual + 128, 32, prediction + 128, 16);
  else
    AddResidual16x8(scratch, 16, residual + 128, 32, prediction + 128, 16);
}
