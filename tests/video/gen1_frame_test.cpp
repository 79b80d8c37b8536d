// First-generation frames through the writer's encoder and the decoder:
// exact pictures for the exact block kinds, PSNR for the transform blocks,
// inter frames, every revision, both job splits, and malformed frames.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/container.h"
#include "engine/movie.h"
#include "moviewriter/container_writer.h"
#include "moviewriter/gen1_writer.h"
#include "video/gen1/gen1_frame.h"
#include "video/gen1/gen1_plane.h"

namespace {

// A ring of two buffer sets for a picture of w x h (multiples of 8), with
// the first generation's plane geometry.
struct Buffers {
  FrameBufferSet set{};
  std::vector<uint8_t> memory[2][5];
  FirstGenScratchSizes sizes{};
};

void MakeBuffers(Buffers *b, uint32_t w, uint32_t h, bool alpha, uint32_t sets = 2) {
  b->set = FrameBufferSet{};
  b->set.set_count = sets;
  b->set.luma_width = (w + 7) & ~7u;
  b->set.luma_height = (h + 7) & ~7u;
  b->set.chroma_width = (((w + 1) / 2) + 7) & ~7u;
  b->set.chroma_height = (((h + 1) / 2) + 7) & ~7u;
  const uint32_t cs = (b->set.chroma_width + 15) & ~15u;
  for (uint32_t s = 0; s < sets; ++s)
    for (uint32_t p = 0; p < 4; ++p) {
      if (p == PLANE_ALPHA && !alpha) continue;
      const bool chroma = p == PLANE_CHROMA1 || p == PLANE_CHROMA2;
      const uint32_t stride = chroma ? cs : b->set.luma_width;
      const uint32_t rows = chroma ? b->set.chroma_height : b->set.luma_height;
      b->memory[s][p].assign(static_cast<size_t>(stride) * rows, 0);
      b->set.sets[s][p].pixels = b->memory[s][p].data();
      b->set.sets[s][p].present = 1;
      b->set.sets[s][p].stride = stride;
    }
  ComputeFirstGenScratchSizes(&b->sizes, (w + 15) & ~15u);
}

uint32_t PlaneW(const Buffers &b, uint32_t p) { return p == PLANE_CHROMA1 || p == PLANE_CHROMA2 ? b.set.chroma_width : b.set.luma_width; }
uint32_t PlaneH(const Buffers &b, uint32_t p) { return p == PLANE_CHROMA1 || p == PLANE_CHROMA2 ? b.set.chroma_height : b.set.luma_height; }

// A plane of the given set as a packed picture (stride = width).
std::vector<uint8_t> Packed(const Buffers &b, uint32_t s, uint32_t p) {
  std::vector<uint8_t> out;
  const PlaneBuffer &pb = b.set.sets[s][p];
  for (uint32_t y = 0; y < PlaneH(b, p); ++y)
    out.insert(out.end(), pb.pixels + static_cast<size_t>(y) * pb.stride, pb.pixels + static_cast<size_t>(y) * pb.stride + PlaneW(b, p));
  return out;
}

// Test pictures: flat bars, two-colour stripes, a smooth gradient and noise.
std::vector<uint8_t> Picture(uint32_t w, uint32_t h, uint32_t seed, bool with_noise = true, uint8_t floor = 0) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> p(static_cast<size_t>(w) * h);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t v;
      const uint32_t zone = ((x / 16) + (y / 16) * 3 + seed) % 5;
      if (zone == 0) v = 40 + 30 * ((x / 16 + seed) % 5);
      else if (zone == 1) v = ((x / 2 + y / 2) & 1) ? 200 : 50;
      else if (zone == 2) v = (x * 2 + y + seed) & 0xFF;
      else if (zone == 3) v = with_noise ? rng() & 0xFF : 90;
      else v = 100 + ((x / 4) & 3) * 20;
      p[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(v < floor ? floor : v);
    }
  return p;
}

struct EncodedFrame {
  std::vector<uint8_t> video;
  std::vector<uint8_t> recon[4];  // luma, chroma 1, chroma 2, alpha
  uint32_t skips[4] = {};
};

// Encodes the sources of every plane against the reference set of b.
EncodedFrame Encode(const Buffers &b, const std::vector<uint8_t> src[4], const Gen1PlaneOptions &options,
                    bool alpha, bool no_length_words, uint32_t reference_set, bool use_reference) {
  EncodedFrame f;
  std::vector<uint8_t> bytes[4];
  for (uint32_t p = 0; p < 4; ++p) {
    if (p == PLANE_ALPHA && !alpha) continue;
    std::vector<uint8_t> ref = Packed(b, reference_set, p);
    Gen1PlaneOptions o = options;
    o.alpha_plane = p == PLANE_ALPHA;
    if (p != PLANE_ALPHA) o.alpha_fill = -1;
    Gen1PlaneResult r = EncodeGen1Plane(src[p].data(), use_reference ? ref.data() : nullptr, PlaneW(b, p),
                                        PlaneH(b, p), PlaneW(b, p), o);
    bytes[p] = r.bytes;
    f.recon[p] = r.recon;
    f.skips[p] = r.skips;
  }
  f.video = AssembleGen1Video(alpha ? &bytes[PLANE_ALPHA] : nullptr, bytes[PLANE_LUMA], bytes[PLANE_CHROMA1],
                              bytes[PLANE_CHROMA2], no_length_words);
  return f;
}

std::vector<uint8_t> SourcePlane(const Buffers &b, uint32_t p, uint32_t seed, bool noise = true, uint8_t floor = 0) {
  return Picture(PlaneW(b, p), PlaneH(b, p), seed + p * 7, noise, floor);
}

uint32_t Decode(Buffers *b, const std::vector<uint8_t> &video, uint32_t job_flags, uint32_t video_flags,
                uint32_t signature) {
  return DecodeFirstGenFrame(&b->set, video.data(), 1, video.data() + video.size(), &b->sizes, job_flags,
                             video_flags, signature);
}

const uint32_t kAllowExact = (1u << BLOCK_SKIP) | (1u << BLOCK_SCALED) | (1u << BLOCK_MOTION) | (1u << BLOCK_RUN) |
                             (1u << BLOCK_FILL) | (1u << BLOCK_PATTERN) | (1u << BLOCK_RAW);

}  // namespace

TEST(Gen1FrameTest, ExactBlockKindsDecodeToTheSourcePicture) {
  const uint32_t w = 120, h = 72;
  Buffers b;
  MakeBuffers(&b, w, h, false);
  std::vector<uint8_t> src[4];
  for (uint32_t p = 0; p < 3; ++p) src[p] = SourcePlane(b, p, 3);
  Gen1PlaneOptions o;
  o.allowed = kAllowExact;
  EncodedFrame f = Encode(b, src, o, false, false, 0, false);
  EXPECT_EQ(Decode(&b, f.video, 0, 0, WriterSignature("VSH", 'i')), 100u);
  for (uint32_t p = 0; p < 3; ++p) {
    EXPECT_EQ(f.recon[p], src[p]) << "plane " << p;
    EXPECT_EQ(Packed(b, 1, p), src[p]) << "plane " << p;
  }
}

TEST(Gen1FrameTest, EachExactKindAloneAndScaledBlocks) {
  const uint32_t w = 64, h = 48;
  for (uint32_t type : {BLOCK_FILL, BLOCK_PATTERN, BLOCK_RUN, BLOCK_RAW}) {
    Buffers b;
    MakeBuffers(&b, w, h, false);
    std::vector<uint8_t> src[4];
    for (uint32_t p = 0; p < 3; ++p) {
      src[p] = SourcePlane(b, p, 11 + type);
      if (type == BLOCK_FILL)
        for (size_t i = 0; i < src[p].size(); ++i) src[p][i] = static_cast<uint8_t>(((i % PlaneW(b, p)) / 8) * 30 + ((i / PlaneW(b, p)) / 8) * 5);
    }
    Gen1PlaneOptions o;
    o.allowed = 1u << type;
    for (uint32_t i = 0; i < 64; ++i) o.forced.push_back(static_cast<uint8_t>(type));
    EncodedFrame f = Encode(b, src, o, false, false, 0, false);
    Decode(&b, f.video, 0, 0, WriterSignature("VSH", 'i'));
    for (uint32_t p = 0; p < 3; ++p) {
      EXPECT_EQ(Packed(b, 1, p), f.recon[p]) << "type " << type << " plane " << p;
      if (type == BLOCK_RUN || type == BLOCK_RAW) {
        EXPECT_EQ(f.recon[p], src[p]) << "type " << type << " plane " << p;
      }
    }
  }
  // A picture of doubled pixels: every 16x16 area a scaled block.
  Buffers b;
  MakeBuffers(&b, w, h, false);
  std::vector<uint8_t> src[4];
  for (uint32_t p = 0; p < 3; ++p) {
    std::vector<uint8_t> half = SourcePlane(b, p, 5, false);
    src[p].resize(half.size());
    const uint32_t pw = PlaneW(b, p);
    for (size_t i = 0; i < half.size(); ++i) {
      const uint32_t x = i % pw, y = static_cast<uint32_t>(i / pw);
      src[p][i] = half[(y & ~1u) * pw + (x & ~1u)];
    }
  }
  Gen1PlaneOptions o;
  o.allowed = (1u << BLOCK_SCALED) | (1u << BLOCK_RAW);
  EncodedFrame f = Encode(b, src, o, false, false, 0, false);
  Decode(&b, f.video, 0, 0, WriterSignature("VSH", 'i'));
  for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(Packed(b, 1, p), src[p]) << "scaled plane " << p;
}

TEST(Gen1FrameTest, IntraTransformBlocksReachTheSourceByPsnr) {
  const uint32_t w = 96, h = 64;
  for (uint32_t level : {0u, 3u, 6u}) {
    Buffers b;
    MakeBuffers(&b, w, h, false);
    std::vector<uint8_t> src[4];
    for (uint32_t p = 0; p < 3; ++p) {
      src[p].resize(static_cast<size_t>(PlaneW(b, p)) * PlaneH(b, p));
      for (size_t i = 0; i < src[p].size(); ++i) {
        const uint32_t x = i % PlaneW(b, p), y = static_cast<uint32_t>(i / PlaneW(b, p));
        src[p][i] = static_cast<uint8_t>(60 + x + y / 2 + 20 * ((x / 12 + y / 9) & 1));
      }
    }
    Gen1PlaneOptions o;
    o.allowed = 1u << BLOCK_INTRA;
    o.lossy = true;
    o.intra_level = level;
    for (uint32_t i = 0; i < 96; ++i) o.forced.push_back(BLOCK_INTRA);
    EncodedFrame f = Encode(b, src, o, false, false, 0, false);
    Decode(&b, f.video, 0, 0, WriterSignature("VSH", 'i'));
    for (uint32_t p = 0; p < 3; ++p) {
      std::vector<uint8_t> got = Packed(b, 1, p);
      EXPECT_EQ(got, f.recon[p]);
      const double psnr = Gen1Psnr(got.data(), src[p].data(), PlaneW(b, p), PlaneH(b, p), PlaneW(b, p), PlaneW(b, p));
      EXPECT_GT(psnr, level == 0 ? 38.0 : level == 3 ? 33.0 : 28.0) << "level " << level << " plane " << p;
      if (p == 0) RecordProperty("psnr_level_" + std::to_string(level), std::to_string(psnr));
    }
  }
}

TEST(Gen1FrameTest, InterFramesMotionSkipResidueAndInterTransform) {
  const uint32_t w = 96, h = 64;
  Buffers b;
  MakeBuffers(&b, w, h, false);
  std::vector<uint8_t> first[4];
  for (uint32_t p = 0; p < 3; ++p) first[p] = SourcePlane(b, p, 21);
  Gen1PlaneOptions key;
  key.allowed = kAllowExact;
  EncodedFrame f1 = Encode(b, first, key, false, false, 0, false);
  Decode(&b, f1.video, 0, 0, WriterSignature("VSH", 'i'));
  b.set.current_set = 1;
  for (uint32_t p = 0; p < 3; ++p) ASSERT_EQ(Packed(b, 1, p), first[p]);

  // Frame 2: the picture moved by (2, 1) with a few changed pixels.
  std::vector<uint8_t> second[4];
  for (uint32_t p = 0; p < 3; ++p) {
    const uint32_t pw = PlaneW(b, p), ph = PlaneH(b, p);
    second[p].resize(first[p].size());
    for (uint32_t y = 0; y < ph; ++y)
      for (uint32_t x = 0; x < pw; ++x) {
        const uint32_t sx = x + 2 < pw ? x + 2 : x, sy = y + 1 < ph ? y + 1 : y;
        second[p][static_cast<size_t>(y) * pw + x] = first[p][static_cast<size_t>(sy) * pw + sx];
      }
    for (uint32_t y = 0; y < 8; ++y) second[p][static_cast<size_t>(y) * pw + 3] ^= 5;  // a changed column
  }
  Gen1PlaneOptions inter;
  inter.allowed = (1u << BLOCK_SKIP) | (1u << BLOCK_MOTION) | (1u << BLOCK_RESIDUE) | (1u << BLOCK_RAW);
  EncodedFrame f2 = Encode(b, second, inter, false, false, 1, true);
  Decode(&b, f2.video, 0, 0, WriterSignature("VSH", 'i'));
  for (uint32_t p = 0; p < 3; ++p) {
    EXPECT_EQ(Packed(b, 0, p), f2.recon[p]) << "plane " << p;
    EXPECT_EQ(Packed(b, 0, p), second[p]) << "plane " << p;
  }

  // Frame 3: a brightness change coded by the inter transform.
  b.set.current_set = 0;
  std::vector<uint8_t> third[4];
  for (uint32_t p = 0; p < 3; ++p) {
    third[p] = second[p];
    for (auto &v : third[p]) v = static_cast<uint8_t>(v > 200 ? v - 30 : v + 20);  // no wrap at 0 or 255
  }
  Gen1PlaneOptions dct;
  dct.allowed = 1u << BLOCK_INTER;
  dct.lossy = true;
  for (uint32_t i = 0; i < 96; ++i) dct.forced.push_back(BLOCK_INTER);
  EncodedFrame f3 = Encode(b, third, dct, false, false, 0, true);
  const uint32_t coded = Decode(&b, f3.video, 0, 0, WriterSignature("VSH", 'i'));
  EXPECT_EQ(coded, 100u);
  for (uint32_t p = 0; p < 3; ++p) {
    std::vector<uint8_t> got = Packed(b, 1, p);
    EXPECT_EQ(got, f3.recon[p]);
    const double psnr = Gen1Psnr(got.data(), third[p].data(), PlaneW(b, p), PlaneH(b, p), PlaneW(b, p), PlaneW(b, p));
    EXPECT_GT(psnr, 24.0) << "plane " << p;
    if (p == 0) RecordProperty("psnr_inter", std::to_string(psnr));
  }

  // Frame 4: nothing changed: all skips, 0 per cent coded.
  b.set.current_set = 1;
  Gen1PlaneOptions skip;
  skip.allowed = 1u << BLOCK_SKIP;
  std::vector<uint8_t> same[4];
  for (uint32_t p = 0; p < 3; ++p) same[p] = Packed(b, 1, p);
  EncodedFrame f4 = Encode(b, same, skip, false, false, 1, true);
  EXPECT_EQ(Decode(&b, f4.video, 0, 0, WriterSignature("VSH", 'i')), 0u);
  for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(Packed(b, 0, p), same[p]);
}

TEST(Gen1FrameTest, EveryRevisionAndBothJobSplitsGiveTheSamePicture) {
  const uint32_t w = 80, h = 56;
  for (char rev : {'f', 'g', 'h', 'i', 'k'}) {
    for (bool alpha : {false, true}) {
      const uint32_t sig = WriterSignature("VSH", rev);
      const bool f_to_h = rev <= 'h';
      Buffers one, two;
      MakeBuffers(&one, w, h, alpha);
      MakeBuffers(&two, w, h, alpha);
      std::vector<uint8_t> src[4];
      for (uint32_t p = 0; p < 4; ++p) src[p] = SourcePlane(one, p, 31 + rev, true, f_to_h ? 1 : 0);
      Gen1PlaneOptions o;
      o.allowed = kAllowExact | (1u << BLOCK_INTRA);
      o.lossy = true;
      o.signed_colors = f_to_h;
      o.revision_k = rev == 'k';
      o.tree = rev == 'g' ? 13 : -1;
      o.explicit_lists = rev == 'h';
      EncodedFrame f = Encode(one, src, o, alpha, f_to_h, 0, false);
      const uint32_t vflags = alpha ? 0x100000u : 0;
      const uint32_t movie = (f_to_h ? 0x8000u : 0) | (alpha ? 0x100000u : 0);
      Decode(&one, f.video, movie, vflags, sig);
      // Luma job, then the alpha and chroma job, as two workers split it.
      Decode(&two, f.video, (movie & ~0x100000u) | 0x20000, vflags, sig);
      Decode(&two, f.video, movie | 0x200, vflags, sig);
      for (uint32_t p = 0; p < (alpha ? 4u : 3u); ++p) {
        EXPECT_EQ(Packed(one, 1, p), f.recon[p]) << rev << " plane " << p;
        EXPECT_EQ(Packed(two, 1, p), Packed(one, 1, p)) << rev << " split plane " << p;
      }
    }
  }
}

TEST(Gen1FrameTest, RevisionKAlphaFillAndJobsThatSkipPlanes) {
  const uint32_t w = 48, h = 32;
  const uint32_t sig = WriterSignature("VSH", 'k');
  Buffers b;
  MakeBuffers(&b, w, h, true);
  std::vector<uint8_t> src[4];
  for (uint32_t p = 0; p < 4; ++p) src[p] = SourcePlane(b, p, 41);
  Gen1PlaneOptions o;
  o.allowed = kAllowExact;
  o.revision_k = true;
  o.alpha_fill = 0xFF;
  EncodedFrame f = Encode(b, src, o, true, false, 0, false);
  Decode(&b, f.video, 0x100000, 0x100000, sig);
  EXPECT_EQ(Packed(b, 1, PLANE_ALPHA), std::vector<uint8_t>(static_cast<size_t>(w) * h, 0xFF));
  for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(Packed(b, 1, p), src[p]);

  // A movie without an alpha plane whose job asks for alpha reads no alpha
  // length word; a job without luma and chroma leaves the buffers alone.
  Buffers c;
  MakeBuffers(&c, w, h, true);
  EncodedFrame g = Encode(c, src, o, false, false, 0, false);
  Decode(&c, g.video, 0x100000, 0, sig);
  for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(Packed(c, 1, p), src[p]);
  EXPECT_EQ(Packed(c, 1, PLANE_ALPHA), std::vector<uint8_t>(static_cast<size_t>(w) * h, 0));
  Buffers d;
  MakeBuffers(&d, w, h, false);
  Decode(&d, g.video, 0x20200, 0, sig);
  for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(Packed(d, 1, p), std::vector<uint8_t>(src[p].size(), 0));
}

TEST(Gen1FrameTest, OneBufferSetDecodesInPlace) {
  const uint32_t w = 40, h = 24;
  Buffers b;
  MakeBuffers(&b, w, h, false, 1);
  std::vector<uint8_t> src[4];
  for (uint32_t p = 0; p < 3; ++p) src[p] = SourcePlane(b, p, 51);
  Gen1PlaneOptions o;
  o.allowed = kAllowExact & ~((1u << BLOCK_SKIP) | (1u << BLOCK_MOTION));
  EncodedFrame f = Encode(b, src, o, false, false, 0, false);
  Decode(&b, f.video, 0, 0, WriterSignature("VSH", 'i'));
  for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(Packed(b, 0, p), src[p]);
}

// Random, truncated and bit-flipped frames: whatever the pixels, nothing is
// read or written outside the frame and the buffers (the sanitizer builds
// check this), and the result stays a percentage.
TEST(Gen1FrameTest, MalformedFramesNeverLeaveTheirBuffers) {
  const uint32_t w = 72, h = 40;
  std::mt19937 rng(99);
  Buffers b;
  MakeBuffers(&b, w, h, true);
  std::vector<uint8_t> src[4];
  for (uint32_t p = 0; p < 4; ++p) src[p] = SourcePlane(b, p, 61);
  Gen1PlaneOptions o;
  o.allowed = 0x3FF;
  o.lossy = true;
  EncodedFrame f = Encode(b, src, o, true, false, 0, false);
  for (char rev : {'h', 'i', 'k'}) {
    const uint32_t sig = WriterSignature("VSH", rev);
    const uint32_t movie = (rev == 'h' ? 0x8000u : 0) | 0x100000u;
    for (int round = 0; round < 300; ++round) {
      std::vector<uint8_t> bytes;
      const int kind = round % 3;
      if (kind == 0) {
        bytes.resize(rng() % 600);
        for (auto &v : bytes) v = static_cast<uint8_t>(rng());
      } else if (kind == 1) {
        bytes.assign(f.video.begin(), f.video.begin() + rng() % (f.video.size() + 1));
      } else {
        bytes = f.video;
        for (int k = 0; k < 8; ++k) bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      // The frame's bytes in a heap block of their own, so that any read past
      // the end is caught.
      std::vector<uint8_t> exact(bytes);
      const uint8_t *data = exact.empty() ? reinterpret_cast<const uint8_t *>(&exact) : exact.data();
      const uint32_t flags[3] = {movie, (movie & ~0x100000u) | 0x20000, movie | 0x200};
      for (uint32_t fl : flags) {
        const uint32_t r = DecodeFirstGenFrame(&b.set, data, 1, data + exact.size(), &b.sizes, fl, 0x100000, sig);
        EXPECT_LE(r, 100u);
      }
      b.set.current_set ^= 1;
    }
  }
}
