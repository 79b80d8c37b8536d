// Random, truncated and corrupted second-generation frames: the decoder and
// the parse-only pass finish without touching memory outside the frame and
// the buffers (run under AddressSanitizer), whatever pixels they make.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "moviewriter/gen2_frame_writer.h"
#include "video/gen2/parse_only.h"
#include "video/gen2/slices.h"

namespace {

void ParseAll(const std::vector<uint8_t> &video, SliceLayout *l, uint32_t w, uint32_t h, bool key) {
  const uint64_t blocks = uint64_t(w / 32) * ((h + 31) / 32);
  std::vector<uint16_t> flags(blocks * 16);
  std::vector<uint32_t> data(blocks + blocks * MaxBlockRecordBytes(16) / 4);
  std::vector<int16_t> vectors(blocks * 8);
  std::vector<uint8_t> edges(64);
  ParseTarget t{};
  t.plane_flags[0] = flags.data();
  t.plane_data[0] = data.data();
  t.motion_vectors = vectors.data();
  t.row_edges = edges.data();
  t.width = w;
  t.height = h;
  uint8_t *copy = static_cast<uint8_t *>(malloc(video.size() + 1));
  if (!video.empty()) memcpy(copy, video.data(), video.size());
  ParseVideoSlice(&t, copy, 0x100000, 1, 4, key, copy + video.size(), l, 0, l->slice_count);
  free(copy);
}

}  // namespace

TEST(Gen2Fuzz, RandomTruncatedAndCorruptFramesDecodeSafely) {
  std::mt19937 rng(1234);
  const uint32_t sizes[][2] = {{64, 48}, {96, 160}, {32, 16}, {128, 272}};
  int decoded = 0;
  for (auto &sz : sizes) {
    const uint32_t w = sz[0], h = sz[1];
    for (uint32_t index = 0; index < 4; ++index) {
      SliceLayout l;
      MakeGen2Layout(&l, w, h, index);
      Gen2TestBuffers b;
      AllocGen2Buffers(&b, w, h, 2, true, true);
      // A valid pair of frames to corrupt.
      Gen2FrameDesc key = MakeGen2Frame(b.set.luma_width, b.set.luma_height, true, l.slice_count, l.end_row, 0x10000 | 9);
      key.alpha = key.extra = true;
      Gen2Picture src = MakeGen2Picture(b.set.luma_width, b.set.luma_height, true, true);
      for (auto &plane : src.planes)
        for (uint8_t &v : plane) v = uint8_t(rng());
      EncodeIntraWithAc(src, 6, &key);
      const std::vector<uint8_t> key_video = WriteGen2Frame(&key);
      Gen2FrameDesc inter = MakeGen2Frame(b.set.luma_width, b.set.luma_height, false, l.slice_count, l.end_row, 0);
      inter.alpha = inter.extra = true;
      for (auto &blk : inter.blocks) {
        blk.type = uint8_t(1 + rng() % 3);
        blk.chroma_residual = true;
        for (int i = 0; i < 8; ++i) blk.mv[i] = int32_t(rng() % 2001) - 1000;
      }
      const std::vector<uint8_t> inter_video = WriteGen2Frame(&inter);
      for (int round = 0; round < 60; ++round) {
        const bool use_key = round & 1;
        std::vector<uint8_t> v = use_key ? key_video : inter_video;
        switch (round % 5) {
          case 0:  // truncated
            v.resize(rng() % (v.size() + 1));
            break;
          case 1:  // random bytes after a valid flag word
            for (size_t i = 4; i < v.size(); ++i) v[i] = uint8_t(rng());
            break;
          case 2:  // flipped bits
            for (int k = 0; k < 20 && !v.empty(); ++k) v[rng() % v.size()] ^= uint8_t(1u << (rng() % 8));
            break;
          case 3:  // wild slice offsets and flag words
            for (size_t i = 0; i < v.size() && i < 32; ++i) v[i] = uint8_t(rng());
            if (v.size() > 1) v[1] |= 0x20;
            break;
          default:  // pure noise of random length
            v.resize(rng() % 4096);
            for (uint8_t &x : v) x = uint8_t(rng());
            if (v.size() > 1) v[1] |= 0x20;
            break;
        }
        for (const auto &runs : {std::vector<uint32_t>{l.slice_count << 4}, AllGen2Splits(l.slice_count).back()}) {
          DecodeGen2Frame(&b, v, &l, use_key, true, true, runs);
          ++decoded;
        }
        ParseAll(v, &l, b.set.luma_width, b.set.luma_height, use_key);
      }
      FreeGen2Buffers(&b);
    }
  }
  EXPECT_GT(decoded, 0);
}
