// Pixel conversion: every surface type against an independent per-pixel
// model, the SSE2 row kernels against the plain ones, and the fixed-point
// setup on matrices that do not fit 16 bits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "engine/platform/cpu.h"
#include "video/convert/convert.h"

namespace {

const float FULL_RANGE[16] = {1.402f,     -0.71414f,  0.0f,        0.0f,
                              0.0f,       -0.34414f,  1.772f,      0.0f,
                              -0.703749f, 0.5312151f, -0.8894745f, 1.0f,
                              1.0f,       1.0f,       1.0f,        0.0f};
const float VIDEO_RANGE[16] = {1.5957947f,  -0.8134766f, 0.0f,        0.0f,
                               0.0f,        -0.391449f,  2.0178223f,  0.0f,
                               -0.8740694f, 0.5317823f,  -1.0859107f, 1.0f,
                               1.1641235f,  1.1641235f,  1.1641235f,  0.0f};

// The video-range table with its chroma rows exchanged (chroma 2 carries red).
void ExchangedRows(float *m) {
  memcpy(m, VIDEO_RANGE, sizeof(VIDEO_RANGE));
  for (int e = 0; e < 3; ++e) {
    float t = m[e];
    m[e] = m[4 + e];
    m[4 + e] = t;
  }
}

struct Rng {
  uint32_t s;
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

// ---------------------------------------------------------------------------
// Independent model: computes each pixel straight from the definitions.

struct ModelFormat {
  uint32_t type;
  int kind;  // 0: 4 bytes ch0 ch1 ch2 A, 1: 4 bytes A ch0 ch1 ch2, 2: 16-bit word
  int bpp;
  bool exchange;
  int r_shift, r_bits, g_shift, g_bits, b_shift, b_bits, a_shift, a_bits;
};

const ModelFormat MODEL_FORMATS[] = {
    {3, 0, 4, true, 16, 8, 8, 8, 0, 8, 24, 8},   {5, 0, 4, true, 16, 8, 8, 8, 0, 8, 24, 8},
    {4, 0, 4, false, 0, 8, 8, 8, 16, 8, 24, 8},  {6, 0, 4, false, 0, 8, 8, 8, 16, 8, 24, 8},
    {12, 1, 4, false, 16, 8, 8, 8, 0, 8, 24, 8}, {10, 2, 2, false, 11, 5, 5, 6, 0, 5, 0, 0},
    {8, 2, 2, false, 10, 5, 5, 5, 0, 5, 15, 1},  {9, 2, 2, false, 10, 5, 5, 5, 0, 5, 15, 1},
};

int16_t Sat16(int32_t v) { return (int16_t)(v > 32767 ? 32767 : (v < -32768 ? -32768 : v)); }

int16_t Fix(float x, double scale) {
  double v = (double)x * scale;
  if (std::isnan(v)) return 0;
  v = std::round(v);
  return Sat16(v > 40000.0 ? 40000 : (v < -40000.0 ? -40000 : (int32_t)v));
}

int16_t MulHi(int32_t a, int32_t b) { return (int16_t)((int32_t)(int16_t)a * (int16_t)b >> 16); }

struct Model {
  const ModelFormat *f;
  int16_t ls, k0a, k1a, k1b, k2b;
  int16_t off[3];
  int bits[3], shift[3];
  bool chroma_swapped;  // plane A is chroma 2
};

Model BuildModel(const float *m, const ModelFormat *f, uint32_t opts) {
  Model md{};
  md.f = f;
  bool usable = m[12] == m[13] && m[13] == m[14];
  bool rows_x = false;
  if (usable) {
    if (m[2] == 0 && m[4] == 0) rows_x = false;
    else if (m[0] == 0 && m[6] == 0) rows_x = true;
    else usable = false;
  }
  // Red, green-from-red-plane, green-from-other, blue, in the picture's terms.
  float kr = rows_x ? m[4] : m[0], krg = rows_x ? m[5] : m[1];
  float kbg = rows_x ? m[1] : m[5], kb = rows_x ? m[2] : m[6];
  float o_r = m[8], o_g = m[9], o_b = m[10];
  md.chroma_swapped = rows_x;
  if (opts & CONVERT_GREY) {
    o_g += (krg + kbg) * 0.5019608f;
    o_b += kb * 0.5019608f;
    o_r += kr * 0.5019608f;
    kr = krg = kbg = kb = 0;
  }
  float ls = m[12];
  if (!usable) {
    ls = kr = krg = kbg = kb = 0;
    o_r = o_g = o_b = 0;
  }
  md.ls = Fix(ls, 4096);
  if (f->exchange) {
    // Channel 0 computes blue from the blue-carrying plane.
    md.chroma_swapped = !md.chroma_swapped;
    md.k0a = Fix(kb, 4096);
    md.k1a = Fix(kbg, 4096);
    md.k1b = Fix(krg, 4096);
    md.k2b = Fix(kr, 4096);
    md.off[0] = Fix(o_b, 2048);
    md.off[2] = Fix(o_r, 2048);
    md.bits[0] = f->b_bits; md.shift[0] = f->b_shift;
    md.bits[2] = f->r_bits; md.shift[2] = f->r_shift;
  } else {
    md.k0a = Fix(kr, 4096);
    md.k1a = Fix(krg, 4096);
    md.k1b = Fix(kbg, 4096);
    md.k2b = Fix(kb, 4096);
    md.off[0] = Fix(o_r, 2048);
    md.off[2] = Fix(o_b, 2048);
    md.bits[0] = f->r_bits; md.shift[0] = f->r_shift;
    md.bits[2] = f->b_bits; md.shift[2] = f->b_shift;
  }
  md.off[1] = Fix(o_g, 2048);
  md.bits[1] = f->g_bits; md.shift[1] = f->g_shift;
  if (!usable) {
    md.off[0] = 2048;  // channel 0 at full value
    md.off[1] = md.off[2] = 0;
  }
  return md;
}

// One frame with every plane in its own exactly sized heap block.
struct TestFrame {
  uint32_t width = 0, height = 0;
  std::unique_ptr<uint8_t[]> luma, c1, c2, alpha;
  PlaneBuffer planes[PLANES_PER_SET] = {};

  void Make(uint32_t w, uint32_t h, uint32_t pad, bool with_alpha, Rng *rng) {
    width = w;
    height = h;
    uint32_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    uint32_t ls = w + pad, cs = cw + pad / 2;
    luma.reset(new uint8_t[(size_t)ls * h]);
    c1.reset(new uint8_t[(size_t)cs * ch]);
    c2.reset(new uint8_t[(size_t)cs * ch]);
    for (size_t i = 0; i < (size_t)ls * h; ++i) luma[i] = (uint8_t)rng->Next();
    for (size_t i = 0; i < (size_t)cs * ch; ++i) c1[i] = (uint8_t)rng->Next();
    for (size_t i = 0; i < (size_t)cs * ch; ++i) c2[i] = (uint8_t)rng->Next();
    planes[PLANE_LUMA] = {luma.get(), 1, ls};
    planes[PLANE_CHROMA1] = {c1.get(), 1, cs};
    planes[PLANE_CHROMA2] = {c2.get(), 1, cs};
    planes[PLANE_ALPHA] = {nullptr, 0, 0};
    planes[PLANE_EXTRA] = {nullptr, 0, 0};
    alpha.reset();
    if (with_alpha) {
      alpha.reset(new uint8_t[(size_t)ls * h]);
      for (size_t i = 0; i < (size_t)ls * h; ++i) alpha[i] = (uint8_t)rng->Next();
      planes[PLANE_ALPHA] = {alpha.get(), 1, ls};
    }
  }
};

// Writes the model's pixels of the (clipped) rectangle into dest.
void ModelConvert(const float *matrix, const ModelFormat *f, uint32_t opts,
                  const TestFrame &fr, uint8_t *dest, int32_t dest_x, int32_t dest_y,
                  int32_t pitch, uint32_t sx, uint32_t sy, uint32_t w, uint32_t h) {
  if (sx >= fr.width || sy >= fr.height) return;
  w = std::min(w, fr.width - sx);
  h = std::min(h, fr.height - sy);
  Model md = BuildModel(matrix, f, opts);
  bool has_alpha = (opts & CONVERT_HAS_ALPHA) && fr.planes[PLANE_ALPHA].pixels;
  const PlaneBuffer *lp = &fr.planes[PLANE_LUMA];
  const PlaneBuffer *ap = has_alpha ? &fr.planes[PLANE_ALPHA] : nullptr;
  if (has_alpha && (opts & CONVERT_SWAP_LUMA_ALPHA)) {
    lp = &fr.planes[PLANE_ALPHA];
    ap = &fr.planes[PLANE_LUMA];
  }
  const PlaneBuffer *pa = &fr.planes[md.chroma_swapped ? PLANE_CHROMA2 : PLANE_CHROMA1];
  const PlaneBuffer *pb = &fr.planes[md.chroma_swapped ? PLANE_CHROMA1 : PLANE_CHROMA2];
  int cw = (int)(fr.width + 1) / 2, ch = (int)(fr.height + 1) / 2;
  for (uint32_t r = 0; r < h; ++r) {
    int y = (int)(sy + r);
    int k = y / 2;
    int nk = (y % 2 == 0) ? (k >= 1 ? k - 1 : k) : (k + 1 < ch ? k + 1 : k);
    for (uint32_t i = 0; i < w; ++i) {
      int x = (int)(sx + i);
      auto V = [&](const PlaneBuffer *p, int c) {
        c = c < 0 ? 0 : (c >= cw ? cw - 1 : c);
        return 3 * p->pixels[k * p->stride + c] + p->pixels[nk * p->stride + c];
      };
      int sa = 0, sb = 0;
      if (!(opts & CONVERT_GREY)) {
        int j = x / 2, nj = (x & 1) ? j + 1 : j - 1;
        sa = 3 * V(pa, j) + V(pa, nj);
        sb = 3 * V(pb, j) + V(pb, nj);
      }
      int Y = lp->pixels[(size_t)y * lp->stride + x];
      int A = ap ? ap->pixels[(size_t)y * ap->stride + x] : 255;
      int16_t v[3];
      for (int c = 0; c < 3; ++c) {
        int s = 1 << (9 - md.bits[c]);
        int quarter = (y & 1) ? ((x & 1) ? s : 3 * s) : ((x & 1) ? 2 * s : 0);
        int16_t acc = Sat16(Sat16(md.off[c] + quarter) + MulHi(Y * 128, md.ls));
        if (c == 0) acc = Sat16(acc + MulHi(sa * 8, md.k0a));
        if (c == 1) acc = Sat16(Sat16(acc + MulHi(sa * 8, md.k1a)) + MulHi(sb * 8, md.k1b));
        if (c == 2) acc = Sat16(acc + MulHi(sb * 8, md.k2b));
        v[c] = acc;
      }
      uint8_t *p = dest + (ptrdiff_t)(dest_y + (int32_t)r) * pitch +
                   (ptrdiff_t)(dest_x + (int32_t)i) * f->bpp;
      if (f->kind == 2) {
        uint32_t word = 0;
        for (int c = 0; c < 3; ++c) {
          int cl = v[c] < 0 ? 0 : (v[c] > 2047 ? 2047 : v[c]);
          word |= (uint32_t)(cl >> (11 - md.bits[c])) << md.shift[c];
        }
        // The alpha field carries the alpha's top bits.
        if (f->a_bits) word |= (uint32_t)(A >> (8 - f->a_bits)) << f->a_shift;
        p[0] = (uint8_t)word;
        p[1] = (uint8_t)(word >> 8);
      } else {
        uint8_t c8[3];
        for (int c = 0; c < 3; ++c) {
          int b = v[c] >> 3;
          c8[c] = (uint8_t)(b < 0 ? 0 : (b > 255 ? 255 : b));
        }
        if (f->kind == 0) {
          p[0] = c8[0]; p[1] = c8[1]; p[2] = c8[2]; p[3] = (uint8_t)A;
        } else {
          p[0] = (uint8_t)A; p[1] = c8[0]; p[2] = c8[1]; p[3] = c8[2];
        }
      }
    }
  }
}

const ModelFormat *ModelFormatFor(uint32_t type) {
  for (const ModelFormat &f : MODEL_FORMATS)
    if (f.type == type) return &f;
  return nullptr;
}

void SetUp(PixelConversion *cv, const float *m, uint32_t type, uint32_t opts, bool scalar) {
  ConvertKernelTable t;
  if (scalar) InitConvertKernelsScalar(&t);
  else InitConvertKernels(&t, CPU_SSE2);
  SetUpPixelConversionWithKernels(cv, m, type, opts, &t);
}

// Converts one rectangle with the library and with the model into two
// destination buffers filled with the same sentinel and compares them whole.
void CheckRect(const float *matrix, uint32_t type, uint32_t opts, const TestFrame &fr,
               uint32_t sx, uint32_t sy, uint32_t w, uint32_t h, bool scalar,
               bool bottom_up, Rng *rng, const char *what) {
  const ModelFormat *f = ModelFormatFor(type);
  ASSERT_NE(f, nullptr);
  uint32_t cw = std::min(w, sx < fr.width ? fr.width - sx : 0);
  uint32_t chh = std::min(h, sy < fr.height ? fr.height - sy : 0);
  uint32_t dx = rng->Below(3), dy = rng->Below(3);
  uint32_t rows = dy + chh + 1;
  int32_t row_bytes = (int32_t)((dx + cw + 2) * f->bpp + rng->Below(5));
  std::vector<uint8_t> got((size_t)rows * row_bytes, 0xA5), want = got;
  int32_t pitch = bottom_up ? -row_bytes : row_bytes;
  size_t base = bottom_up ? (size_t)(rows - 1) * row_bytes : 0;

  PixelConversion cv;
  SetUp(&cv, matrix, type, opts, scalar);
  ConvertFrameRect(&cv, got.data() + base, dx, dy, pitch, fr.planes, fr.width, fr.height,
                   sx, sy, w, h);
  ModelConvert(matrix, f, opts, fr, want.data() + base, (int32_t)dx, (int32_t)dy, pitch,
               sx, sy, w, h);
  if (got != want) {
    size_t i = 0;
    while (got[i] == want[i]) ++i;
    FAIL() << what << ": type " << type << " opts " << opts << " frame " << fr.width << "x"
           << fr.height << " rect " << sx << "," << sy << " " << w << "x" << h
           << (scalar ? " scalar" : " sse2") << (bottom_up ? " bottom-up" : "")
           << ": first difference at byte " << i << " (row " << i / row_bytes << ", col "
           << i % row_bytes << ") got " << int(got[i]) << " want " << int(want[i]);
  }
}

const uint32_t ALL_TYPES[] = {3, 4, 5, 6, 8, 9, 10, 12};

}  // namespace

// Every surface type, matrix kind and option set against the model on random
// frames and rectangles: odd sizes, odd src_x, rectangles ending at the right
// edge, every width modulo 16, both kernel sets, both pitch directions.
TEST(PixelConversion, AllSurfaceTypesMatchModel) {
  float exchanged[16];
  ExchangedRows(exchanged);
  float unequal_luma[16];
  memcpy(unequal_luma, FULL_RANGE, sizeof(FULL_RANGE));
  unequal_luma[13] = 0.99f;
  const float *matrices[] = {FULL_RANGE, VIDEO_RANGE, exchanged, unequal_luma};
  const uint32_t option_sets[] = {0,
                                  CONVERT_GREY,
                                  CONVERT_HAS_ALPHA,
                                  CONVERT_HAS_ALPHA | CONVERT_SWAP_LUMA_ALPHA,
                                  CONVERT_SWAP_LUMA_ALPHA,  // without alpha memory
                                  CONVERT_HAS_ALPHA | CONVERT_GREY};
  Rng rng{12345};
  int cases = 0;
  for (int iter = 0; iter < 60; ++iter) {
    TestFrame fr;
    uint32_t width = 1 + rng.Below(90), height = 1 + rng.Below(7);
    if (iter < 34) width = 1 + (uint32_t)iter;  // every width modulo 16 and below 33
    fr.Make(width, height, (iter % 3 == 0) ? rng.Below(9) : 0, iter % 2 == 0, &rng);
    for (uint32_t type : ALL_TYPES) {
      for (const float *m : matrices) {
        for (uint32_t opts : option_sets) {
          for (int k = 0; k < 2; ++k) {
            uint32_t sx = rng.Below(width), sy = rng.Below(height);
            uint32_t w;
            switch (rng.Below(4)) {
              case 0: w = width - sx; break;                       // to the right edge
              case 1: w = width - sx + 1 + rng.Below(20); break;   // clipped
              default: w = 1 + rng.Below(width - sx); break;
            }
            uint32_t h = 1 + rng.Below(height - sy + 1);
            CheckRect(m, type, opts, fr, sx, sy, w, h, k == 1, rng.Below(4) == 0, &rng,
                      "random");
            if (HasFatalFailure()) return;
            ++cases;
          }
        }
      }
    }
  }
  EXPECT_GT(cases, 20000);
}

// Whole pictures at widths around multiples of 16 (the rectangle always ends
// at the right edge, so the last 16 pixels go through scratch).
TEST(PixelConversion, WholePictureWidthsAroundGroups) {
  Rng rng{777};
  const uint32_t widths[] = {1, 2, 15, 16, 17, 31, 32, 33, 47, 48, 64, 100};
  for (uint32_t width : widths) {
    for (uint32_t height : {1u, 2u, 3u, 16u}) {
      TestFrame fr;
      fr.Make(width, height, 0, true, &rng);
      for (uint32_t type : ALL_TYPES) {
        CheckRect(VIDEO_RANGE, type, CONVERT_HAS_ALPHA, fr, 0, 0, width, height, false,
                  false, &rng, "whole");
        CheckRect(FULL_RANGE, type, 0, fr, 1, 1, width, height, false, false, &rng,
                  "whole-minus-one");
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(PixelConversion, DocumentedEdgeCases) {
  Rng rng{99};
  // Y 255 with neutral chroma at an even column of an even row.
  {
    TestFrame fr;
    fr.Make(4, 2, 0, false, &rng);
    memset(fr.luma.get(), 255, 8);
    memset(fr.c1.get(), 128, 2);
    memset(fr.c2.get(), 128, 2);
    PixelConversion cv;
    SetUpPixelConversion(&cv, FULL_RANGE, 4, 0);
    ASSERT_NE(cv.kernel, nullptr);
    uint8_t out[16];
    ConvertFrameRect(&cv, out, 0, 0, 16, fr.planes, 4, 2, 0, 0, 4, 1);
    EXPECT_EQ(out[0], 254);
    EXPECT_EQ(out[1], 255);
    EXPECT_EQ(out[2], 254);
    EXPECT_EQ(out[3], 255);
  }
  // Type 5 is type 4 with bytes 0 and 2 exchanged; 3 and 6 equal 5 and 4.
  {
    TestFrame fr;
    fr.Make(37, 5, 0, true, &rng);
    std::vector<uint8_t> t4(37 * 5 * 4), t5(t4.size()), t3(t4.size()), t6(t4.size());
    PixelConversion cv;
    uint32_t types[] = {4, 5, 3, 6};
    std::vector<uint8_t> *outs[] = {&t4, &t5, &t3, &t6};
    for (int i = 0; i < 4; ++i) {
      SetUpPixelConversion(&cv, VIDEO_RANGE, types[i], CONVERT_HAS_ALPHA);
      ConvertFrameRect(&cv, outs[i]->data(), 0, 0, 37 * 4, fr.planes, 37, 5, 0, 0, 37, 5);
    }
    for (size_t p = 0; p < t4.size(); p += 4) {
      ASSERT_EQ(t5[p], t4[p + 2]);
      ASSERT_EQ(t5[p + 1], t4[p + 1]);
      ASSERT_EQ(t5[p + 2], t4[p]);
      ASSERT_EQ(t5[p + 3], t4[p + 3]);
    }
    EXPECT_EQ(t3, t5);
    EXPECT_EQ(t6, t4);
  }
  // Unequal luma scales: every pixel red at full value.
  {
    TestFrame fr;
    fr.Make(21, 3, 0, false, &rng);
    float m[16];
    memcpy(m, FULL_RANGE, sizeof(m));
    m[14] = 1.5f;
    PixelConversion cv;
    SetUpPixelConversion(&cv, m, 4, 0);
    std::vector<uint8_t> out(21 * 3 * 4);
    ConvertFrameRect(&cv, out.data(), 0, 0, 21 * 4, fr.planes, 21, 3, 0, 0, 21, 3);
    for (size_t p = 0; p < out.size(); p += 4) {
      ASSERT_EQ(out[p], 255);
      ASSERT_EQ(out[p + 1], 0);
      ASSERT_EQ(out[p + 2], 0);
      ASSERT_EQ(out[p + 3], 255);
    }
  }
  // Types without a layout convert nothing.
  for (uint32_t type : {0u, 1u, 2u, 7u, 11u, 13u, 14u, 15u}) {
    TestFrame fr;
    fr.Make(8, 2, 0, false, &rng);
    PixelConversion cv;
    SetUpPixelConversion(&cv, FULL_RANGE, type, 0);
    EXPECT_EQ(cv.kernel, nullptr) << type;
    std::vector<uint8_t> out(8 * 2 * 4, 0x5A);
    ConvertFrameRect(&cv, out.data(), 0, 0, 32, fr.planes, 8, 2, 0, 0, 8, 2);
    for (uint8_t b : out) ASSERT_EQ(b, 0x5A);
  }
  // 17 pixels at src_x 1 (one full group and a tail of 2) equal the
  // full-width conversion at those pixels.
  {
    TestFrame fr;
    fr.Make(40, 4, 0, false, &rng);
    PixelConversion cv;
    SetUpPixelConversion(&cv, VIDEO_RANGE, 5, 0);
    std::vector<uint8_t> whole(40 * 4 * 4), part(17 * 4 * 4);
    ConvertFrameRect(&cv, whole.data(), 0, 0, 160, fr.planes, 40, 4, 0, 0, 40, 4);
    ConvertFrameRect(&cv, part.data(), 0, 0, 68, fr.planes, 40, 4, 1, 0, 17, 4);
    for (int y = 0; y < 4; ++y)
      EXPECT_EQ(0, memcmp(&part[y * 68], &whole[y * 160 + 4], 68)) << y;
  }
  // Start outside the picture: nothing is written.
  {
    TestFrame fr;
    fr.Make(8, 2, 0, false, &rng);
    PixelConversion cv;
    SetUpPixelConversion(&cv, FULL_RANGE, 4, 0);
    std::vector<uint8_t> out(64, 0x5A);
    ConvertFrameRect(&cv, out.data(), 0, 0, 32, fr.planes, 8, 2, 8, 0, 4, 1);
    ConvertFrameRect(&cv, out.data(), 0, 0, 32, fr.planes, 8, 2, 0, 2, 4, 1);
    for (uint8_t b : out) ASSERT_EQ(b, 0x5A);
  }
}

// Options: the setup records the chroma exchange; grey never reads chroma;
// the 1-5-5-5 alpha bit carries the alpha's top bit.
TEST(PixelConversion, OptionsAndAlpha) {
  Rng rng{4242};
  float exchanged[16];
  ExchangedRows(exchanged);
  PixelConversion cv;
  SetUpPixelConversion(&cv, VIDEO_RANGE, 4, 0);
  EXPECT_EQ(cv.options & CONVERT_CHROMA_EXCHANGED, 0u);
  SetUpPixelConversion(&cv, VIDEO_RANGE, 5, 0);
  EXPECT_NE(cv.options & CONVERT_CHROMA_EXCHANGED, 0u);
  SetUpPixelConversion(&cv, exchanged, 4, 0);
  EXPECT_NE(cv.options & CONVERT_CHROMA_EXCHANGED, 0u);
  SetUpPixelConversion(&cv, exchanged, 5, 0);
  EXPECT_EQ(cv.options & CONVERT_CHROMA_EXCHANGED, 0u);
  // The exchanged table with planes exchanged gives the same picture.
  {
    TestFrame a, b;
    a.Make(23, 5, 0, false, &rng);
    b.Make(23, 5, 0, false, &rng);
    memcpy(b.luma.get(), a.luma.get(), 23 * 5);
    memcpy(b.c1.get(), a.c2.get(), 12 * 3);
    memcpy(b.c2.get(), a.c1.get(), 12 * 3);
    std::vector<uint8_t> oa(23 * 5 * 4), ob(oa.size());
    SetUpPixelConversion(&cv, VIDEO_RANGE, 12, 0);
    ConvertFrameRect(&cv, oa.data(), 0, 0, 92, a.planes, 23, 5, 0, 0, 23, 5);
    SetUpPixelConversion(&cv, exchanged, 12, 0);
    ConvertFrameRect(&cv, ob.data(), 0, 0, 92, b.planes, 23, 5, 0, 0, 23, 5);
    EXPECT_EQ(oa, ob);
  }
  // Grey with no chroma memory at all.
  {
    TestFrame fr;
    fr.Make(35, 3, 0, false, &rng);
    std::vector<uint8_t> with_chroma(35 * 3 * 2), without(with_chroma.size());
    SetUpPixelConversion(&cv, FULL_RANGE, 10, CONVERT_GREY);
    ConvertFrameRect(&cv, with_chroma.data(), 0, 0, 70, fr.planes, 35, 3, 0, 0, 35, 3);
    fr.planes[PLANE_CHROMA1] = {nullptr, 0, 0};
    fr.planes[PLANE_CHROMA2] = {nullptr, 0, 0};
    ConvertFrameRect(&cv, without.data(), 0, 0, 70, fr.planes, 35, 3, 0, 0, 35, 3);
    EXPECT_EQ(with_chroma, without);
  }
  // 1-5-5-5: bit 15 follows alpha >= 128; without alpha it is set.
  {
    TestFrame fr;
    fr.Make(16, 1, 0, true, &rng);
    for (int i = 0; i < 16; ++i) fr.alpha[i] = (uint8_t)(i * 17);
    uint16_t out[16];
    SetUpPixelConversion(&cv, FULL_RANGE, 8, CONVERT_HAS_ALPHA);
    ConvertFrameRect(&cv, (uint8_t *)out, 0, 0, 32, fr.planes, 16, 1, 0, 0, 16, 1);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i] >> 15, i * 17 >= 128 ? 1 : 0) << i;
    SetUpPixelConversion(&cv, FULL_RANGE, 8, 0);
    ConvertFrameRect(&cv, (uint8_t *)out, 0, 0, 32, fr.planes, 16, 1, 0, 0, 16, 1);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[i] >> 15, 1) << i;
  }
  // Luma and alpha exchanged: alpha bytes carry the luma, colour the alpha.
  {
    TestFrame fr;
    fr.Make(19, 2, 0, true, &rng);
    std::vector<uint8_t> out(19 * 2 * 4);
    SetUpPixelConversion(&cv, FULL_RANGE, 4, CONVERT_HAS_ALPHA | CONVERT_SWAP_LUMA_ALPHA);
    ConvertFrameRect(&cv, out.data(), 0, 0, 76, fr.planes, 19, 2, 0, 0, 19, 2);
    for (int i = 0; i < 38; ++i) ASSERT_EQ(out[i * 4 + 3], fr.luma[i]) << i;
  }
}

// Without SSE2 nothing is converted.
TEST(PixelConversion, NoKernelWithoutSse2) {
  Rng rng{5};
  TestFrame fr;
  fr.Make(20, 2, 0, false, &rng);
  ConvertKernelTable t;
  InitConvertKernels(&t, CPU_MMX | CPU_SSE);
  for (uint32_t i = 0; i < CONVERT_KERNEL_COUNT; ++i) EXPECT_EQ(t.row[i], nullptr);
  PixelConversion cv;
  SetUpPixelConversionWithKernels(&cv, FULL_RANGE, 4, 0, &t);
  EXPECT_EQ(cv.kernel, nullptr);
  std::vector<uint8_t> out(20 * 2 * 4, 0x11);
  ConvertFrameRect(&cv, out.data(), 0, 0, 80, fr.planes, 20, 2, 0, 0, 20, 2);
  for (uint8_t b : out) ASSERT_EQ(b, 0x11);
  // The same through the processor's feature word.
  UpdateCpuFeatures(0, CPU_SSE2);
  SetUpPixelConversion(&cv, FULL_RANGE, 4, 0);
  EXPECT_EQ(cv.kernel, nullptr);
  UpdateCpuFeatures(CPU_SSE2, 0);
  SetUpPixelConversion(&cv, FULL_RANGE, 4, 0);
  EXPECT_EQ(cv.kernel, (GetCpuFeatures() & CPU_SSE2) ? ConvertRow32 : nullptr);
}

// Matrix entries from a file may be huge, infinite or NaN: the fixed point
// saturates to 16 bits and NaN becomes 0, never a wrapped value.
TEST(PixelConversion, FixedPointSaturates) {
  PixelConversion cv;
  float m[16];
  memcpy(m, FULL_RANGE, sizeof(m));
  m[12] = m[13] = m[14] = 9.0f;     // 36864 does not fit 16 bits
  m[0] = -20.0f;                    // red coefficient
  m[9] = 1e30f;                     // green offset
  m[10] = -std::numeric_limits<float>::infinity();
  SetUpPixelConversion(&cv, m, 4, 0);
  ASSERT_NE(cv.kernel, nullptr);
  EXPECT_EQ(cv.luma_scale, 32767);
  EXPECT_EQ(cv.coef[0], -32768);
  for (int col = 0; col < 8; ++col) {
    EXPECT_EQ(cv.dither[1][0][col], 32767);   // saturated, dither added on top
    EXPECT_EQ(cv.dither[1][1][col], 32767);
    EXPECT_EQ(cv.dither[2][0][col], -32768 + ((col & 1) ? 4 : 0));
  }
  // A bright pixel stays bright: Y 255 with neutral chroma gives full red.
  Rng rng{8};
  TestFrame fr;
  fr.Make(3, 1, 0, false, &rng);
  memset(fr.luma.get(), 255, 3);
  fr.c1[0] = fr.c1[1] = 128;
  fr.c2[0] = fr.c2[1] = 128;
  m[0] = 0.0f;
  SetUpPixelConversion(&cv, m, 4, 0);
  uint8_t out[12];
  ConvertFrameRect(&cv, out, 0, 0, 12, fr.planes, 3, 1, 0, 0, 3, 1);
  EXPECT_EQ(out[0], 255);
  EXPECT_EQ(out[1], 255);
  EXPECT_EQ(out[2], 0);

  // NaN: luma scales that are NaN are unequal (unusable matrix); a NaN
  // coefficient or offset becomes 0.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  memcpy(m, FULL_RANGE, sizeof(m));
  m[12] = m[13] = m[14] = nan;
  SetUpPixelConversion(&cv, m, 4, 0);
  EXPECT_EQ(cv.luma_scale, 0);
  EXPECT_EQ(cv.dither[0][0][0], 2048);
  memcpy(m, FULL_RANGE, sizeof(m));
  m[1] = nan;
  m[8] = nan;
  SetUpPixelConversion(&cv, m, 4, 0);
  EXPECT_EQ(cv.coef[1], 0);
  EXPECT_EQ(cv.dither[0][0][0], 0);
  EXPECT_EQ(cv.luma_scale, 4096);
  // Grey adds coefficients into offsets in floating point: saturates too.
  memcpy(m, FULL_RANGE, sizeof(m));
  m[1] = 3e38f;
  m[5] = 3e38f;
  SetUpPixelConversion(&cv, m, 10, CONVERT_GREY);
  EXPECT_EQ(cv.dither[1][0][0], 32767);
  EXPECT_EQ(cv.coef[1], 0);

  // Extreme matrices still agree with the model on random frames.
  float extreme[16] = {7.9f, -8.0f, 0.0f, 0.0f,  0.0f, 5.5f,  -7.7f, 0.0f,
                       15.0f, -15.0f, 3.0f, 0.0f, 7.99f, 7.99f, 7.99f, 0.0f};
  for (uint32_t type : ALL_TYPES) {
    TestFrame f2;
    f2.Make(45, 4, 0, true, &rng);
    CheckRect(extreme, type, CONVERT_HAS_ALPHA, f2, 1, 0, 44, 4, false, false, &rng,
              "extreme");
    CheckRect(extreme, type, 0, f2, 0, 1, 45, 3, true, false, &rng, "extreme");
  }
}

// SSE2 kernels against the plain ones on random rows and random states
// (including states no matrix produces), bit for bit.
TEST(PixelConversion, Sse2KernelsMatchScalar) {
  ConvertKernelTable plain, sse2;
  InitConvertKernelsScalar(&plain);
  InitConvertKernelsSse2(&sse2);
  Rng rng{2024};
  for (int iter = 0; iter < 3000; ++iter) {
    PixelConversion cv;
    memset(&cv, 0, sizeof(cv));
    const SurfaceFormat &f = SURFACE_FORMATS[iter % SURFACE_FORMAT_COUNT];
    bool wild = iter % 3 == 0;
    for (int c = 0; c < 3; ++c)
      for (int p = 0; p < 2; ++p)
        for (int i = 0; i < 8; ++i)
          cv.dither[c][p][i] = (int16_t)(wild ? rng.Next() : rng.Below(4096) - 2048);
    cv.luma_scale = (int16_t)(wild ? rng.Next() : rng.Below(8192));
    for (int k = 0; k < 4; ++k)
      cv.coef[k] = (int16_t)(wild ? rng.Next() : rng.Below(16384) - 8192);
    const ChannelField fields[4] = {f.red, f.green, f.blue, f.alpha};
    for (int c = 0; c < 4; ++c) {
      cv.fields[c][0] = (int16_t)(11 - fields[c].bits);
      cv.fields[c][1] = (int16_t)fields[c].shift;
    }
    cv.bytes_per_pixel = f.bytes_per_pixel;
    uint32_t groups = 1 + rng.Below(5);
    std::vector<uint8_t> luma(16 * groups), alpha(16 * groups);
    std::vector<uint8_t> rows[4];
    for (auto &r : rows) {
      r.resize(8 * groups + 1);
      for (auto &b : r) b = (uint8_t)rng.Next();
    }
    for (auto &b : luma) b = (uint8_t)rng.Next();
    for (auto &b : alpha) b = (uint8_t)rng.Next();
    int32_t carry_a = (int32_t)rng.Below(1021), carry_b = (int32_t)rng.Below(1021);
    const uint8_t *ap = (iter & 1) ? alpha.data() : nullptr;
    uint32_t parity = rng.Below(2);
    for (uint32_t k = 0; k < CONVERT_KERNEL_COUNT; ++k) {
      size_t out_bytes = (size_t)16 * groups * (k == CONVERT_ROW16 ? 2 : 4);
      std::vector<uint8_t> a(out_bytes, 0), b(out_bytes, 1);
      plain.row[k](&cv, luma.data(), rows[0].data(), rows[1].data(), carry_a, rows[2].data(),
                   rows[3].data(), carry_b, ap, a.data(), groups, parity);
      sse2.row[k](&cv, luma.data(), rows[0].data(), rows[1].data(), carry_a, rows[2].data(),
                  rows[3].data(), carry_b, ap, b.data(), groups, parity);
      ASSERT_EQ(a, b) << "kernel " << k << " iteration " << iter;
    }
  }
}
