// Parse-only pass: what it stores equals what the writer put in the stream.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "moviewriter/gen2_frame_writer.h"
#include "moviewriter/gen2_symbols.h"
#include "video/gen2/coeffs.h"
#include "video/gen2/parse_only.h"
#include "video/gen2/slices.h"

namespace {

struct TargetStore {
  ParseTarget t;
  std::vector<uint16_t> flags[PARSE_PLANES];
  std::vector<uint32_t> data[PARSE_PLANES];
  std::vector<uint32_t> slices[PARSE_PLANES];
  std::vector<int16_t> vectors;
  std::vector<uint8_t> starts, columns, rows;
};

void MakeTarget(TargetStore *s, uint32_t w, uint32_t h, uint32_t slice_count, bool store_chroma2) {
  std::memset(&s->t, 0, sizeof(s->t));
  const uint64_t blocks = uint64_t(w / 32) * ((h + 31) / 32);
  static const uint32_t count[PARSE_PLANES] = {16, 4, 4, 16, 16};
  for (uint32_t p = 0; p < PARSE_PLANES; ++p) {
    if (p == 2 && !store_chroma2) continue;
    s->flags[p].assign(blocks * count[p], 0xFFFF);
    s->data[p].assign(blocks + blocks * MaxBlockRecordBytes(count[p]) / 4, 0xFFFFFFFF);
    s->slices[p].assign(2 * slice_count, 0);
    s->t.plane_flags[p] = s->flags[p].data();
    s->t.plane_data[p] = s->data[p].data();
    s->t.plane_slices[p] = s->slices[p].data();
  }
  s->vectors.assign(blocks * 8, 0x5555);
  s->starts.assign(((h + 31) / 32 + 7) / 8, 0xFF);
  s->columns.assign((w / 8 + 7) / 8, 0xFF);
  s->rows.assign((h / 8 + 7) / 8, 0xFF);
  s->t.motion_vectors = s->vectors.data();
  s->t.slice_starts = s->starts.data();
  s->t.column_edges = s->columns.data();
  s->t.row_edges = s->rows.data();
  s->t.width = w;
  s->t.height = h;
}

uint32_t ClassOf(uint32_t n) { return n == 0 ? 3 : n <= 3 ? 2 : n <= 7 ? 1 : 0; }

int Parse(TargetStore *s, const std::vector<uint8_t> &video, SliceLayout *l, bool key, bool alpha,
          const std::vector<uint32_t> &runs) {
  int ok = 1;
  for (uint32_t run : runs)
    ok &= ParseVideoSlice(&s->t, video.data(), alpha ? 0x100000 : 0, 0, 0, key, video.data() + video.size(), l,
                          SliceRunFirst(run), SliceRunCount(run));
  return ok;
}

}  // namespace

TEST(Gen2Parse, StoresTheWrittenSyntax) {
  std::mt19937 rng(21);
  const uint32_t w = 128, h = 176;
  for (bool key : {true, false})
    for (uint32_t index : {0u, 3u}) {
      SliceLayout l;
      MakeGen2Layout(&l, w, h, index);
      const uint32_t flags = 0x10000 | 0x20000 | 77;
      Gen2FrameDesc d = MakeGen2Frame(w, h, key, l.slice_count, l.end_row, flags);
      d.alpha = true;
      d.row_edges.resize(h / 8);
      d.column_edges.resize(w / 8);
      for (auto &e : d.row_edges) e = rng() & 1;
      for (auto &e : d.column_edges) e = rng() & 1;
      for (Gen2BlockDesc &b : d.blocks) {
        b.type = key ? 0 : uint8_t(rng() % 4);
        b.qi = uint8_t(10 + rng() % 4);
        b.dc_raw = b.type == 0;
        b.chroma_residual = rng() & 1;
        b.table2 = rng() & 1;
        for (int i = 0; i < 8; ++i) b.mv[i] = int32_t(rng() % 301) - 150;
        for (uint32_t p = 0; p < G2W_PLANES; ++p)
          for (int i = 0; i < 16; ++i)
            b.dc[p][i] = b.dc_raw ? int32_t(rng() % 9) - 4 : int32_t(rng() % 400) - 200;
        for (int k = 0, n = int(rng() % 20); k < n; ++k) {
          const uint8_t plane = uint8_t(rng() % 4);
          b.ac.push_back(Gen2AcLevel{plane, uint8_t(rng() % (plane == 1 || plane == 2 ? 4 : 16)),
                                     uint8_t(1 + rng() % 63), int16_t(rng() % 2 ? 1 + rng() % 9 : -1 - int(rng() % 9))});
        }
      }
      const std::vector<uint8_t> video = WriteGen2Frame(&d);
      for (const auto &runs : AllGen2Splits(l.slice_count)) {
        if (runs.size() > 3 && runs.size() < l.slice_count) continue;
        TargetStore s;
        MakeTarget(&s, w, h, l.slice_count, false);
        ASSERT_EQ(1, Parse(&s, video, &l, key, true, runs));
        EXPECT_EQ(1u, s.t.parsed);
        EXPECT_EQ(77u * 8, s.t.dc_threshold);
        EXPECT_EQ(uint32_t(PARSE_COLUMN_EDGES_KNOWN | PARSE_ROW_EDGES_KNOWN | PARSE_CLAMP_MODE1), s.t.frame_bits);
        EXPECT_EQ(0u, s.t.clamp_bounds[0]);
        EXPECT_EQ(2 * w - 32, s.t.clamp_bounds[1]);
        EXPECT_EQ(5u, s.t.clamp_bounds[2]);
        EXPECT_EQ(5 + 2 * h - 42, s.t.clamp_bounds[7]);
        for (uint32_t i = 0; i + 1 < h / 8; ++i)
          ASSERT_EQ(d.row_edges[i + 1], (s.rows[i / 8] >> (i % 8)) & 1) << "row edge " << i;
        for (uint32_t i = 0; i + 1 < w / 8; ++i)
          ASSERT_EQ(d.column_edges[i + 1], (s.columns[i / 8] >> (i % 8)) & 1) << "column edge " << i;
        ASSERT_EQ(1, s.starts[0] & 1);
        for (uint32_t k = 0; k + 1 < l.slice_count; ++k) {
          if (l.end_row[k] < h) {
            ASSERT_TRUE((s.starts[l.end_row[k] / 256] >> (l.end_row[k] / 32 % 8)) & 1);
          }
        }

        for (uint64_t bi = 0; bi < d.blocks.size(); ++bi) {
          const Gen2BlockDesc &b = d.blocks[bi];
          SCOPED_TRACE(testing::Message() << "block " << bi << " type " << int(b.type));
          for (int i = 0; i < 8; ++i)
            ASSERT_EQ(b.type >= 2 ? b.mv[i] : 0, s.vectors[bi * 8 + i]) << "vector component " << i;
          for (uint32_t p : {0u, 1u, 3u}) {
            const bool chroma = p == 1;
            const uint32_t count = chroma ? 4 : 16;
            const bool coded = b.type == 0 || (b.type == 3 && (!chroma || b.chroma_residual));
            const uint32_t offset = s.data[p][bi];
            if (!coded) {
              ASSERT_EQ(0u, offset);
              for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(0, s.flags[p][bi * count + i]);
              continue;
            }
            int32_t levels[16][64] = {};
            uint32_t mask = 0;
            for (const Gen2AcLevel &a : b.ac)
              if (a.plane == p && a.block < count) {
                levels[a.block][a.pos] = a.level;
                mask |= 1u << a.block;
              }
            const uint8_t *rec = reinterpret_cast<const uint8_t *>(s.data[p].data()) + 4 * uint64_t(offset);
            uint32_t got_mask;
            std::memcpy(&got_mask, rec, 4);
            ASSERT_EQ(mask, got_mask) << "plane " << p;
            uint32_t at = 4;
            for (uint32_t i = 0; i < count; ++i) {
              if (!(mask >> i & 1)) continue;
              uint64_t bits = 0, want = 0;
              std::memcpy(&bits, rec + at, 8);
              at += 8;
              for (uint32_t pos = 1; pos < 64; ++pos)
                if (levels[i][pos]) want |= uint64_t(1) << pos;
              ASSERT_EQ(want, bits) << "plane " << p << " 8x8 " << i;
            }
            const uint16_t *table = b.type == 0 ? (chroma ? QUANT_TABLE_CHROMA : QUANT_TABLE_INTRA) : QUANT_TABLE_INTER;
            for (uint32_t i = 0; i < count; ++i) {
              uint32_t n = 0;
              for (uint32_t pos = 1; pos < 64; ++pos) {
                if (!levels[i][pos]) continue;
                ++n;
                int16_t v;
                std::memcpy(&v, rec + at, 2);
                at += 2;
                ASSERT_EQ(ModelDequantise(levels[i][pos], table, b.qi, SCAN_ORDER[pos]), v);
              }
              const int32_t dc = b.type == 0 ? (b.dc[p][i] < 0 ? -DcResidualFromCode(-b.dc[p][i], b.qi)
                                                               : DcResidualFromCode(b.dc[p][i], b.qi))
                                             : b.dc[p][i];
              const uint16_t word = uint16_t((b.type == 0 ? 0x8000 : 0) | ClassOf(n) << 13 | (dc & 0x1FFF));
              ASSERT_EQ(word, s.flags[p][bi * count + i]) << "plane " << p << " 8x8 " << i;
            }
          }
        }
        // Unstored chroma 2 was still parsed: nothing after it went astray
        // (checked above); each slice's part of the data lies inside the area.
        for (uint32_t k = 0; k < l.slice_count; ++k)
          EXPECT_LE(uint64_t(s.slices[0][2 * k]) + s.slices[0][2 * k + 1], s.data[0].size() * 4);
      }
    }
}

TEST(Gen2Parse, RefusesWithoutMotionVectorStoreOrFrameBit) {
  const uint32_t w = 64, h = 64;
  SliceLayout l;
  MakeGen2Layout(&l, w, h, 0);
  Gen2FrameDesc d = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, 0);
  const std::vector<uint8_t> video = WriteGen2Frame(&d);
  TargetStore s;
  MakeTarget(&s, w, h, l.slice_count, true);
  s.t.motion_vectors = nullptr;
  EXPECT_EQ(0, Parse(&s, video, &l, true, false, {0x10}));
  MakeTarget(&s, w, h, l.slice_count, true);
  std::vector<uint8_t> refused = video;
  refused[1] &= ~0x20;
  EXPECT_EQ(0, Parse(&s, refused, &l, true, false, {0x10}));
  EXPECT_EQ(1, Parse(&s, video, &l, true, false, {0x10}));
  // Key frame, pattern 0 everywhere: mask words only, class 3, no vectors.
  for (uint32_t p = 0; p < 3; ++p) {
    const uint32_t count = p ? 4 : 16;
    for (uint64_t bi = 0; bi < 4; ++bi) {
      EXPECT_EQ(0u, s.data[p][s.data[p][bi]]);
      for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(0x6000, s.flags[p][bi * count + i] & 0x6000);
    }
  }
  for (int16_t v : s.vectors) EXPECT_EQ(0, v);
}

// Constant alpha counts only when the movie has an alpha plane to fill, as
// in the full decoder: without one the frame's alpha syntax is parsed.
TEST(Gen2Parse, ConstantAlphaCountsOnlyWithAnAlphaPlane) {
  const uint32_t w = 64, h = 64;
  SliceLayout l;
  MakeGen2Layout(&l, w, h, 0);
  auto frame = [&](bool alpha_syntax, bool constant) {
    Gen2FrameDesc d = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, 0);
    d.alpha = alpha_syntax;
    std::mt19937 rng(8);
    for (Gen2BlockDesc &b : d.blocks) {
      b.dc_raw = true;
      for (uint32_t p = 0; p < G2W_PLANES; ++p)
        for (int i = 0; i < 16; ++i) b.dc[p][i] = int32_t(rng() % 9) - 4;
      for (int k = 0; k < 12; ++k) {
        const uint8_t plane = uint8_t(rng() % 4);
        b.ac.push_back(Gen2AcLevel{plane, uint8_t(rng() % (plane == 1 || plane == 2 ? 4 : 16)),
                                   uint8_t(1 + rng() % 63), int16_t(1 + rng() % 9)});
      }
    }
    std::vector<uint8_t> video = WriteGen2Frame(&d);
    if (constant) {
      video[2] |= 0x08;  // frame flag 19, the byte 0xC8
      video[3] = 0xC8;
    }
    return video;
  };
  auto parse = [&](const std::vector<uint8_t> &video, bool alpha_plane, TargetStore *s) {
    Gen2TestBuffers b;
    AllocGen2Buffers(&b, w, h, 2, alpha_plane, false);
    MakeTarget(s, w, h, l.slice_count, true);
    const int ok = DecodeSliceRun(&b.set, video.data(), 0x100000, 0, 1, video.data() + video.size(), &l,
                                  l.slice_count << 4, nullptr, &s->t);
    FreeGen2Buffers(&b);
    return ok;
  };
  TargetStore plain, ignored, honoured;
  ASSERT_EQ(1, parse(frame(true, false), false, &plain));
  ASSERT_EQ(1, parse(frame(true, true), false, &ignored));
  EXPECT_EQ(plain.t.frame_bits, ignored.t.frame_bits);
  for (uint32_t p = 0; p < 4; ++p) {
    EXPECT_EQ(plain.flags[p], ignored.flags[p]) << "plane " << p;
    EXPECT_EQ(plain.data[p], ignored.data[p]) << "plane " << p;
  }
  // With an alpha plane the constant holds and the stream has no alpha syntax.
  ASSERT_EQ(1, parse(frame(false, true), true, &honoured));
  EXPECT_EQ(plain.t.frame_bits | PARSE_CONSTANT_ALPHA, honoured.t.frame_bits);
  EXPECT_EQ(0xC8u, honoured.t.alpha_value);
  for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(plain.flags[p], honoured.flags[p]) << "plane " << p;
  for (uint16_t f : honoured.flags[3]) ASSERT_EQ(0xFFFF, f);
}
