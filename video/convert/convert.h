// Conversion of a decoded frame (8-bit luma, two half-size chroma planes,
// optional alpha plane) into the caller's pixel layout.
//
// The work is fixed point: luma scale and chroma coefficients scaled by
// 4096, offsets by 2048; chroma is upsampled bilinearly (weights 9, 3, 3, 1)
// and a 2 x 2 ordered dither is added. The row kernels convert 16 pixels per
// step. SetUpPixelConversion builds the state once per copy (on the caller's
// stack) and ConvertFrameRect walks a rectangle row by row.
#pragma once
#include <cstdint>

#include "engine/framebuffers.h"

// Option bits of a conversion. The caller passes SWAP_LUMA_ALPHA, GREY and
// HAS_ALPHA; the setup adds CHROMA_EXCHANGED.
enum : uint32_t {
  CONVERT_SWAP_LUMA_ALPHA = 0x1,   // luma and alpha exchange roles
  CONVERT_CHROMA_EXCHANGED = 0x2,  // plane A is chroma 2, plane B chroma 1
  CONVERT_GREY = 0x8,              // chroma is ignored (taken as 128)
  CONVERT_HAS_ALPHA = 0x10,        // the frame has alpha plane memory
};

// Indices into a ConvertKernelTable.
enum : uint32_t {
  CONVERT_ROW32 = 0,             // bytes: channel 0, 1, 2, alpha
  CONVERT_ROW32_ALPHA_FIRST = 1, // bytes: alpha, channel 0, 1, 2
  CONVERT_ROW16 = 2,             // one 16-bit word of packed fields
  CONVERT_KERNEL_COUNT = 3,
};

// Channel field of a pixel layout: position and width of the field.
struct ChannelField {
  uint8_t shift;
  uint8_t bits;
};

// One pixel layout.
struct SurfaceFormat {
  ChannelField red;
  ChannelField green;
  ChannelField blue;
  ChannelField alpha;
  uint32_t bytes_per_pixel;
  uint32_t kernel;           // CONVERT_ROW32, CONVERT_ROW32_ALPHA_FIRST, CONVERT_ROW16
  uint32_t exchange;         // 4: the kernel's channel 0 receives blue, channel 2 red
};

enum : uint32_t { SURFACE_FORMAT_COUNT = 5 };
extern const SurfaceFormat SURFACE_FORMATS[SURFACE_FORMAT_COUNT];

// The layout for a surface type (low four bits of the copy flags), or null
// when the type converts nothing.
const SurfaceFormat *FindSurfaceFormat(uint32_t surface_type);

struct PixelConversion;

// Converts `groups` groups of 16 pixels of one row.
//   luma, alpha: 16 x groups bytes (alpha null: constant 255)
//   chroma_a, chroma_b: the chroma rows of the source row, from the column
//     of the first pixel pair; 8 x groups + 1 samples are read
//   chroma_a_next, chroma_b_next: the vertical neighbour rows, same columns
//   carry_a, carry_b: the vertically weighted sample (3 x row + neighbour) of
//     the column left of the first pair (the first pair's own at the left edge)
//   parity: source row parity (selects the dither row)
typedef void (*ConvertRowKernel)(const PixelConversion *conversion,
                                 const uint8_t *luma,
                                 const uint8_t *chroma_a,
                                 const uint8_t *chroma_a_next,
                                 int32_t carry_a,
                                 const uint8_t *chroma_b,
                                 const uint8_t *chroma_b_next,
                                 int32_t carry_b,
                                 const uint8_t *alpha,
                                 uint8_t *out,
                                 uint32_t groups,
                                 uint32_t parity);

// Kernel slots in fixed order (CONVERT_ROW32, CONVERT_ROW32_ALPHA_FIRST,
// CONVERT_ROW16); a null slot means no kernel.
struct ConvertKernelTable {
  ConvertRowKernel row[CONVERT_KERNEL_COUNT];
};

// Fixed-point state of one conversion. Dither rows hold the channel offset
// plus the dither for each of eight consecutive columns.
struct alignas(16) PixelConversion {
  int16_t dither[3][2][8];     // [channel][source row parity][column & 7]
  int16_t luma_scale;
  int16_t coef[4];             // ch 0 from A, ch 1 from A, ch 1 from B, ch 2 from B
  int16_t fields[4][2];        // per channel 0, 1, 2, alpha: (11 - bits, shift)
  ConvertRowKernel kernel;     // null: nothing is converted
  uint32_t bytes_per_pixel;
  uint32_t options;
};

// Kernel tables per instruction set.
void InitConvertKernelsScalar(ConvertKernelTable *table);
void InitConvertKernelsSse2(ConvertKernelTable *table);
// Fills the table for a feature word: SSE2 kernels when it has SSE2,
// otherwise all slots null (no conversion).
void InitConvertKernels(ConvertKernelTable *table, uint32_t cpu_features);

// Plain reference kernels (bit-identical to the SSE2 ones).
void ConvertRow32Scalar(const PixelConversion *, const uint8_t *, const uint8_t *,
                        const uint8_t *, int32_t, const uint8_t *, const uint8_t *,
                        int32_t, const uint8_t *, uint8_t *, uint32_t, uint32_t);
void ConvertRow32AlphaFirstScalar(const PixelConversion *, const uint8_t *,
                                  const uint8_t *, const uint8_t *, int32_t,
                                  const uint8_t *, const uint8_t *, int32_t,
                                  const uint8_t *, uint8_t *, uint32_t, uint32_t);
void ConvertRow16Scalar(const PixelConversion *, const uint8_t *, const uint8_t *,
                        const uint8_t *, int32_t, const uint8_t *, const uint8_t *,
                        int32_t, const uint8_t *, uint8_t *, uint32_t, uint32_t);
// SSE2 kernels.
void ConvertRow32(const PixelConversion *, const uint8_t *, const uint8_t *,
                  const uint8_t *, int32_t, const uint8_t *, const uint8_t *,
                  int32_t, const uint8_t *, uint8_t *, uint32_t, uint32_t);
void ConvertRow32AlphaFirst(const PixelConversion *, const uint8_t *,
                            const uint8_t *, const uint8_t *, int32_t,
                            const uint8_t *, const uint8_t *, int32_t,
                            const uint8_t *, uint8_t *, uint32_t, uint32_t);
void ConvertRow16(const PixelConversion *, const uint8_t *, const uint8_t *,
                  const uint8_t *, int32_t, const uint8_t *, const uint8_t *,
                  int32_t, const uint8_t *, uint8_t *, uint32_t, uint32_t);

// Prepares a conversion for the processor's kernels (none without SSE2).
// matrix: the movie's 16-float colour matrix; options: CONVERT_* bits.
void SetUpPixelConversion(PixelConversion *conversion, const float *matrix,
                          uint32_t surface_type, uint32_t options);
// The same with an explicit kernel table (null: no kernel).
void SetUpPixelConversionWithKernels(PixelConversion *conversion,
                                     const float *matrix,
                                     uint32_t surface_type, uint32_t options,
                                     const ConvertKernelTable *kernels);

// Converts the picture rectangle (src_x, src_y, w, h) of one buffer set
// (`planes`: luma, chroma 1, chroma 2, alpha, extra) to dest, whose first
// pixel is at dest + dest_y x pitch + dest_x x bytes per pixel. Does nothing
// without a kernel or when the rectangle starts outside the picture; w and h
// are clipped to the picture.
void ConvertFrameRect(const PixelConversion *conversion, uint8_t *dest,
                      uint32_t dest_x, uint32_t dest_y, int32_t pitch,
                      const PlaneBuffer *planes, uint32_t width, uint32_t height,
                      uint32_t src_x, uint32_t src_y, uint32_t w, uint32_t h);
