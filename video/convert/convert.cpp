// Pixel conversion: setup of the fixed-point state, the rectangle walk and
// the plain reference kernels.
#include "video/convert/convert.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "engine/platform/cpu.h"

//                         R        G        B        alpha    bpp kernel                     exchange
const SurfaceFormat SURFACE_FORMATS[SURFACE_FORMAT_COUNT] = {
    {{16, 8}, {8, 8}, {0, 8}, {24, 8}, 4, CONVERT_ROW32, 4},              // 3, 5: B G R A
    {{0, 8}, {8, 8}, {16, 8}, {24, 8}, 4, CONVERT_ROW32, 0},              // 4, 6: R G B A
    {{16, 8}, {8, 8}, {0, 8}, {24, 8}, 4, CONVERT_ROW32_ALPHA_FIRST, 0},  // 12: A R G B
    {{11, 5}, {5, 6}, {0, 5}, {0, 0}, 2, CONVERT_ROW16, 0},               // 10: 5-6-5
    {{10, 5}, {5, 5}, {0, 5}, {15, 1}, 2, CONVERT_ROW16, 0},              // 8, 9: 1-5-5-5
};

const SurfaceFormat *FindSurfaceFormat(uint32_t surface_type) {
  switch (surface_type) {
    case 3:
    case 5:
      return &SURFACE_FORMATS[0];
    case 4:
    case 6:
      return &SURFACE_FORMATS[1];
    case 12:
      return &SURFACE_FORMATS[2];
    case 10:
      return &SURFACE_FORMATS[3];
    case 8:
    case 9:
      return &SURFACE_FORMATS[4];
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------
// Setup

static int16_t SaturateTo16(int32_t v) {
  if (v > 32767) return 32767;
  if (v < -32768) return -32768;
  return (int16_t)v;
}

// x times scale, rounded to nearest (halves away from zero) and saturated to
// 16 bits. Matrix entries come from the file: NaN becomes 0 and anything out
// of range saturates instead of wrapping.
static int16_t FixedFromFloat(float x, double scale) {
  double v = (double)x * scale;
  if (!(v == v)) return 0;
  if (v >= 32767.0) return 32767;
  if (v <= -32768.0) return -32768;
  return (int16_t)std::round(v);
}

void SetUpPixelConversionWithKernels(PixelConversion *conversion,
                                     const float *matrix,
                                     uint32_t surface_type, uint32_t options,
                                     const ConvertKernelTable *kernels) {
  if (!conversion) return;
  memset(conversion, 0, sizeof(*conversion));
  options &= CONVERT_SWAP_LUMA_ALPHA | CONVERT_GREY | CONVERT_HAS_ALPHA;
  conversion->options = options;
  const SurfaceFormat *format = FindSurfaceFormat(surface_type);
  if (!format || !kernels || !matrix) return;
  ConvertRowKernel kernel = kernels->row[format->kernel];
  if (!kernel) return;

  // Which chroma row carries red: row 0 normally, row 1 when the rows come
  // exchanged; anything else (or unequal luma scales) is unusable.
  const float *row0 = matrix;
  const float *row1 = matrix + 4;
  const float *row2 = matrix + 8;
  const float *row3 = matrix + 12;
  bool usable = row3[0] == row3[1] && row3[1] == row3[2];
  bool rows_exchanged = false;
  if (usable) {
    if (row0[2] == 0.0f && row1[0] == 0.0f) {
      rows_exchanged = false;
    } else if (row0[0] == 0.0f && row1[2] == 0.0f) {
      rows_exchanged = true;
    } else {
      usable = false;
    }
  }
  const float *red_row = rows_exchanged ? row1 : row0;
  const float *other_row = rows_exchanged ? row0 : row1;
  float k_r = red_row[0];
  float k_rg = red_row[1];
  float k_bg = other_row[1];
  float k_b = other_row[2];
  float o_r = row2[0];
  float o_g = row2[1];
  float o_b = row2[2];
  float luma = row3[0];

  bool format_exchange = format->exchange != 0;
  if (format_exchange) {
    float t = k_r; k_r = k_b; k_b = t;
    t = k_rg; k_rg = k_bg; k_bg = t;
    t = o_r; o_r = o_b; o_b = t;
  }
  // Plane A is the red-carrying plane after both exchanges.
  if (rows_exchanged != format_exchange) options |= CONVERT_CHROMA_EXCHANGED;

  if (options & CONVERT_GREY) {
    // Every chroma sample is taken as 128.
    const float half = 0.5019608f;
    o_g += (k_rg + k_bg) * half;
    o_b += k_b * half;
    o_r += k_r * half;
    k_r = k_rg = k_bg = k_b = 0.0f;
  }
  if (!usable) {
    // Channel 0 at full value, the others 0.
    luma = 0.0f;
    k_r = k_rg = k_bg = k_b = 0.0f;
    o_r = 1.0f;
    o_g = o_b = 0.0f;
  }

  conversion->luma_scale = FixedFromFloat(luma, 4096.0);
  conversion->coef[0] = FixedFromFloat(k_r, 4096.0);
  conversion->coef[1] = FixedFromFloat(k_rg, 4096.0);
  conversion->coef[2] = FixedFromFloat(k_bg, 4096.0);
  conversion->coef[3] = FixedFromFloat(k_b, 4096.0);
  int16_t offsets[3] = {FixedFromFloat(o_r, 2048.0), FixedFromFloat(o_g, 2048.0),
                        FixedFromFloat(o_b, 2048.0)};

  const ChannelField channel_fields[4] = {
      format_exchange ? format->blue : format->red, format->green,
      format_exchange ? format->red : format->blue, format->alpha};
  for (int c = 0; c < 4; ++c) {
    conversion->fields[c][0] = (int16_t)(11 - channel_fields[c].bits);
    conversion->fields[c][1] = (int16_t)channel_fields[c].shift;
  }
  // 2 x 2 ordered dither in quarters of one output step.
  for (int c = 0; c < 3; ++c) {
    int32_t s = 1 << (9 - channel_fields[c].bits);
    int32_t o = offsets[c];
    for (int col = 0; col < 8; ++col) {
      bool odd = (col & 1) != 0;
      conversion->dither[c][0][col] = SaturateTo16(o + (odd ? 2 * s : 0));
      conversion->dither[c][1][col] = SaturateTo16(o + (odd ? s : 3 * s));
    }
  }
  conversion->bytes_per_pixel = format->bytes_per_pixel;
  conversion->kernel = kernel;
  conversion->options = options;
}

void SetUpPixelConversion(PixelConversion *conversion, const float *matrix,
                          uint32_t surface_type, uint32_t options) {
  uint32_t features = GetCpuFeatures();
  if (!(features & CPU_DETECTED)) {
    UpdateCpuFeatures(0, 0);
    features = GetCpuFeatures();
  }
  ConvertKernelTable kernels;
  InitConvertKernels(&kernels, features);
  SetUpPixelConversionWithKernels(conversion, matrix, surface_type, options, &kernels);
}

// ---------------------------------------------------------------------------
// Kernel tables

void InitConvertKernelsScalar(ConvertKernelTable *table) {
  table->row[CONVERT_ROW32] = ConvertRow32Scalar;
  table->row[CONVERT_ROW32_ALPHA_FIRST] = ConvertRow32AlphaFirstScalar;
  table->row[CONVERT_ROW16] = ConvertRow16Scalar;
}

void InitConvertKernels(ConvertKernelTable *table, uint32_t cpu_features) {
  for (uint32_t i = 0; i < CONVERT_KERNEL_COUNT; ++i) table->row[i] = nullptr;
  if (cpu_features & CPU_SSE2) InitConvertKernelsSse2(table);
}

// ---------------------------------------------------------------------------
// Reference kernels

static inline int16_t Hi16(int32_t a, int32_t b) {
  return (int16_t)((int32_t)(int16_t)a * (int32_t)(int16_t)b >> 16);
}

static inline int16_t AddSat16(int32_t a, int32_t b) { return SaturateTo16(a + b); }

static inline uint8_t ClampByte(int32_t v) {
  return (uint8_t)(v < 0 ? 0 : (v > 255 ? 255 : v));
}

enum { OUT_ROW32, OUT_ROW32_ALPHA_FIRST, OUT_ROW16 };

template <int kOut>
static void ConvertRowPlain(const PixelConversion *cv, const uint8_t *luma,
                            const uint8_t *chroma_a, const uint8_t *chroma_a_next,
                            int32_t carry_a, const uint8_t *chroma_b,
                            const uint8_t *chroma_b_next, int32_t carry_b,
                            const uint8_t *alpha, uint8_t *out, uint32_t groups,
                            uint32_t parity) {
  const int16_t *d0 = cv->dither[0][parity & 1];
  const int16_t *d1 = cv->dither[1][parity & 1];
  const int16_t *d2 = cv->dither[2][parity & 1];
  for (uint32_t g = 0; g < groups; ++g) {
    // va[0] is the column left of the group, va[1 + j] column j (0..8).
    int32_t va[10], vb[10];
    va[0] = carry_a;
    vb[0] = carry_b;
    for (int j = 0; j < 9; ++j) {
      va[j + 1] = 3 * chroma_a[j] + chroma_a_next[j];
      vb[j + 1] = 3 * chroma_b[j] + chroma_b_next[j];
    }
    for (int i = 0; i < 16; ++i) {
      int j = i >> 1;
      int32_t sa = 3 * va[j + 1] + ((i & 1) ? va[j + 2] : va[j]);
      int32_t sb = 3 * vb[j + 1] + ((i & 1) ? vb[j + 2] : vb[j]);
      int16_t y = Hi16(luma[i] * 128, cv->luma_scale);
      int16_t a0 = Hi16(sa * 8, cv->coef[0]);
      int16_t a1 = Hi16(sa * 8, cv->coef[1]);
      int16_t b1 = Hi16(sb * 8, cv->coef[2]);
      int16_t b2 = Hi16(sb * 8, cv->coef[3]);
      int16_t v0 = AddSat16(AddSat16(d0[i & 7], y), a0);
      int16_t v1 = AddSat16(AddSat16(AddSat16(d1[i & 7], y), a1), b1);
      int16_t v2 = AddSat16(AddSat16(d2[i & 7], y), b2);
      uint8_t av = alpha ? alpha[i] : 255;
      if (kOut == OUT_ROW16) {
        int16_t v[3] = {v0, v1, v2};
        uint32_t word = 0;
        for (int c = 0; c < 3; ++c) {
          int32_t x = v[c] < 0 ? 0 : (v[c] > 2047 ? 2047 : v[c]);
          word |= (uint32_t)(x >> cv->fields[c][0]) << cv->fields[c][1];
        }
        word |= (uint32_t)((av * 8) >> cv->fields[3][0]) << cv->fields[3][1];
        uint16_t w16 = (uint16_t)word;
        memcpy(out + 2 * i, &w16, 2);
      } else {
        uint8_t c0 = ClampByte(v0 >> 3);
        uint8_t c1 = ClampByte(v1 >> 3);
        uint8_t c2 = ClampByte(v2 >> 3);
        uint8_t *p = out + 4 * i;
        if (kOut == OUT_ROW32) {
          p[0] = c0; p[1] = c1; p[2] = c2; p[3] = av;
        } else {
          p[0] = av; p[1] = c0; p[2] = c1; p[3] = c2;
        }
      }
    }
    carry_a = va[8];
    carry_b = vb[8];
    luma += 16;
    if (alpha) alpha += 16;
    chroma_a += 8;
    chroma_a_next += 8;
    chroma_b += 8;
    chroma_b_next += 8;
    out += kOut == OUT_ROW16 ? 32 : 64;
  }
}

void ConvertRow32Scalar(const PixelConversion *cv, const uint8_t *luma,
                        const uint8_t *ca, const uint8_t *can, int32_t carry_a,
                        const uint8_t *cb, const uint8_t *cbn, int32_t carry_b,
                        const uint8_t *alpha, uint8_t *out, uint32_t groups,
                        uint32_t parity) {
  ConvertRowPlain<OUT_ROW32>(cv, luma, ca, can, carry_a, cb, cbn, carry_b, alpha,
                             out, groups, parity);
}

void ConvertRow32AlphaFirstScalar(const PixelConversion *cv, const uint8_t *luma,
                                  const uint8_t *ca, const uint8_t *can,
                                  int32_t carry_a, const uint8_t *cb,
                                  const uint8_t *cbn, int32_t carry_b,
                                  const uint8_t *alpha, uint8_t *out,
                                  uint32_t groups, uint32_t parity) {
  ConvertRowPlain<OUT_ROW32_ALPHA_FIRST>(cv, luma, ca, can, carry_a, cb, cbn,
                                         carry_b, alpha, out, groups, parity);
}

void ConvertRow16Scalar(const PixelConversion *cv, const uint8_t *luma,
                        const uint8_t *ca, const uint8_t *can, int32_t carry_a,
                        const uint8_t *cb, const uint8_t *cbn, int32_t carry_b,
                        const uint8_t *alpha, uint8_t *out, uint32_t groups,
                        uint32_t parity) {
  ConvertRowPlain<OUT_ROW16>(cv, luma, ca, can, carry_a, cb, cbn, carry_b, alpha,
                             out, groups, parity);
}

// ---------------------------------------------------------------------------
// Rectangle walk

// Copies n (1..limit) bytes to a row of `limit` bytes padded with the last.
static void CopyPadded(uint8_t *dst, const uint8_t *src, uint32_t n, uint32_t limit) {
  memcpy(dst, src, n);
  memset(dst + n, src[n - 1], limit - n);
}

void ConvertFrameRect(const PixelConversion *conversion, uint8_t *dest,
                      uint32_t dest_x, uint32_t dest_y, int32_t pitch,
                      const PlaneBuffer *planes, uint32_t width, uint32_t height,
                      uint32_t src_x, uint32_t src_y, uint32_t w, uint32_t h) {
  if (!conversion || !conversion->kernel || !dest || !planes) return;
  if (src_x >= width || src_y >= height) return;
  if (w > width - src_x) w = width - src_x;
  if (h > height - src_y) h = height - src_y;
  if (w == 0 || h == 0) return;

  const ConvertRowKernel kernel = conversion->kernel;
  const uint32_t options = conversion->options;
  const uint32_t bpp = conversion->bytes_per_pixel;
  const bool grey = (options & CONVERT_GREY) != 0;

  // Luma and alpha sources; the exchange needs an alpha plane.
  const PlaneBuffer *alpha_plane = &planes[PLANE_ALPHA];
  const bool has_alpha = (options & CONVERT_HAS_ALPHA) && alpha_plane->present &&
                         alpha_plane->pixels;
  const PlaneBuffer *luma_src = &planes[PLANE_LUMA];
  const PlaneBuffer *alpha_src = has_alpha ? alpha_plane : nullptr;
  if ((options & CONVERT_SWAP_LUMA_ALPHA) && has_alpha) {
    luma_src = alpha_plane;
    alpha_src = &planes[PLANE_LUMA];
  }
  const PlaneBuffer *plane_a = &planes[PLANE_CHROMA1];
  const PlaneBuffer *plane_b = &planes[PLANE_CHROMA2];
  if (options & CONVERT_CHROMA_EXCHANGED) {
    plane_a = &planes[PLANE_CHROMA2];
    plane_b = &planes[PLANE_CHROMA1];
  }
  const uint32_t chroma_w = (uint32_t)(((uint64_t)width + 1) / 2);
  const uint32_t chroma_h = (uint32_t)(((uint64_t)height + 1) / 2);

  // Planes that cannot hold the picture are not read.
  if (!luma_src->pixels || luma_src->stride < width) return;
  if (alpha_src && (!alpha_src->pixels || alpha_src->stride < width)) return;
  if (!grey && (!plane_a->pixels || !plane_b->pixels || plane_a->stride < chroma_w ||
                plane_b->stride < chroma_w))
    return;

  // An odd src_x starts one pixel to the left; that group goes through
  // scratch output and loses its first pixel.
  const uint32_t odd = src_x & 1;
  const uint32_t x0 = src_x - odd;
  const uint32_t count = w + odd;
  uint32_t full = count / 16;
  uint32_t tail = count % 16;
  // At the picture's right edge the last group always goes through scratch
  // so that nothing past the picture is read.
  if (src_x + w == width && tail == 0) {
    --full;
    tail = 16;
  }

  alignas(16) uint8_t scratch_luma[16];
  alignas(16) uint8_t scratch_alpha[16];
  alignas(16) uint8_t scratch_chroma[4][16];
  alignas(16) uint8_t scratch_out[64];

  uint8_t *row_out = dest + (ptrdiff_t)dest_y * pitch + (ptrdiff_t)dest_x * bpp;
  for (uint32_t r = 0; r < h; ++r, row_out += pitch) {
    const uint32_t y = src_y + r;
    const uint32_t parity = y & 1;
    const uint8_t *luma_row = luma_src->pixels + (size_t)y * luma_src->stride;
    const uint8_t *alpha_row =
        alpha_src ? alpha_src->pixels + (size_t)y * alpha_src->stride : nullptr;

    // Chroma rows: row k and its vertical neighbour (weights 3:1).
    const uint8_t *a_cur = nullptr, *a_next = nullptr;
    const uint8_t *b_cur = nullptr, *b_next = nullptr;
    if (!grey) {
      const uint32_t k = y >> 1;
      uint32_t nk = k;
      if (!parity) {
        if (k >= 1) nk = k - 1;
      } else if (k + 1 < chroma_h) {
        nk = k + 1;
      }
      a_cur = plane_a->pixels + (size_t)k * plane_a->stride;
      a_next = plane_a->pixels + (size_t)nk * plane_a->stride;
      b_cur = plane_b->pixels + (size_t)k * plane_b->stride;
      b_next = plane_b->pixels + (size_t)nk * plane_b->stride;
    }

    uint8_t *out = row_out;
    uint32_t x = x0;
    uint32_t g = 0;
    while (g < full) {
      // Full groups straight from the planes. With grey, the luma row
      // stands in for the chroma rows (it is long enough).
      const uint32_t c = x >> 1;
      const uint8_t *ca = grey ? luma_row + x : a_cur + c;
      const uint8_t *can = grey ? luma_row + x : a_next + c;
      const uint8_t *cb = grey ? luma_row + x : b_cur + c;
      const uint8_t *cbn = grey ? luma_row + x : b_next + c;
      int32_t carry_a = 0, carry_b = 0;
      if (!grey) {
        const uint32_t cl = c ? c - 1 : 0;
        carry_a = 3 * a_cur[cl] + a_next[cl];
        carry_b = 3 * b_cur[cl] + b_next[cl];
      }
      const uint8_t *ar = alpha_row ? alpha_row + x : nullptr;
      if (g == 0 && odd) {
        kernel(conversion, luma_row + x, ca, can, carry_a, cb, cbn, carry_b, ar,
               scratch_out, 1, parity);
        memcpy(out, scratch_out + bpp, (size_t)15 * bpp);
        out += (size_t)15 * bpp;
        x += 16;
        ++g;
        continue;
      }
      const uint32_t n = full - g;
      kernel(conversion, luma_row + x, ca, can, carry_a, cb, cbn, carry_b, ar, out,
             n, parity);
      out += (size_t)16 * n * bpp;
      x += 16 * n;
      g = full;
    }
    if (tail) {
      // The last pixels through scratch rows padded with their last sample.
      CopyPadded(scratch_luma, luma_row + x, tail, 16);
      const uint8_t *ar = nullptr;
      if (alpha_row) {
        CopyPadded(scratch_alpha, alpha_row + x, tail, 16);
        ar = scratch_alpha;
      }
      const uint8_t *ca = scratch_luma, *can = scratch_luma;
      const uint8_t *cb = scratch_luma, *cbn = scratch_luma;
      int32_t carry_a = 0, carry_b = 0;
      if (!grey) {
        const uint32_t c = x >> 1;
        const uint32_t last = c + 8 < chroma_w ? c + 8 : chroma_w - 1;
        const uint32_t n = last - c + 1;
        CopyPadded(scratch_chroma[0], a_cur + c, n, 9);
        CopyPadded(scratch_chroma[1], a_next + c, n, 9);
        CopyPadded(scratch_chroma[2], b_cur + c, n, 9);
        CopyPadded(scratch_chroma[3], b_next + c, n, 9);
        ca = scratch_chroma[0];
        can = scratch_chroma[1];
        cb = scratch_chroma[2];
        cbn = scratch_chroma[3];
        const uint32_t cl = c ? c - 1 : 0;
        carry_a = 3 * a_cur[cl] + a_next[cl];
        carry_b = 3 * b_cur[cl] + b_next[cl];
      }
      kernel(conversion, scratch_luma, ca, can, carry_a, cb, cbn, carry_b, ar,
             scratch_out, 1, parity);
      const uint32_t skip = (full == 0) ? odd : 0;
      memcpy(out, scratch_out + (size_t)skip * bpp, (size_t)(tail - skip) * bpp);
    }
  }
}
