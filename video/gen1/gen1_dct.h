// First-generation transform blocks and residues: the significance-coded
// coefficient and residue readers, the dequantisation tables, the 8x8
// integer inverse transform with its three ways of writing, and the residue
// addition.  All pixel writes wrap modulo 256.
#pragma once
#include <cstdint>

#include "video/gen1/gen1_bits.h"

// Coded index j = 4q + m -> block position 8 x row + column.
extern const uint8_t QUAD_ORDER[64];

extern const double DEQUANT_LEVEL_SCALES[16];
extern const uint8_t INTRA_MATRIX[64];
extern const uint8_t INTER_MATRIX[64];
// [level][8 x row + column], factors over 4096 including the transform's
// input scaling.
extern const int32_t (&INTRA_DEQUANT)[16][64];
extern const int32_t (&INTER_DEQUANT)[16][64];

// Fills coefficient entries 1 to 63 (entry 0, the DC, is the caller's).
void ReadDctCoefficients(int16_t coefficients[64], Gen1BitReader *reader);
// Reads up to limit + 1 significance and refinement events into residues
// (in coded order; the caller zeroes the block first).
void ReadResidue(int8_t residues[64], Gen1BitReader *reader, uint32_t limit);

// The transform with the given dequantisation factors, written as 8x8 bytes.
void InverseDct8x8(uint8_t *out, int32_t stride, const int16_t coefficients[64],
                   const int32_t factors[64]);
void InverseDctPut(uint8_t *out, int32_t stride, const int16_t coefficients[64], uint32_t level);
// Each result pixel written as a 2x2 square of a 16x16 area.
void InverseDctPutDoubled(uint8_t *out, int32_t stride, const int16_t coefficients[64],
                          uint32_t level);
// Each result byte added to the source pixel modulo 256.
void InverseDctAdd(uint8_t *out, int32_t stride, const int16_t coefficients[64], uint32_t level,
                   const uint8_t *source, int32_t source_stride);
// Zeroes a residue block, reads it, and writes source + residue modulo 256.
void AddResidue(uint8_t *out, int32_t stride, Gen1BitReader *reader, uint32_t limit,
                const uint8_t *source, int32_t source_stride);
