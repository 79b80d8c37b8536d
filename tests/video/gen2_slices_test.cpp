// Slice layout, slice-run claiming, seam records and the invariance of a
// decoded frame under every split of its slices into runs.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>

#include "moviewriter/gen2_frame_writer.h"
#include "video/gen2/slice_decoder.h"
#include "video/gen2/slices.h"

namespace {

uint32_t Sig(char rev) { return uint32_t('V') | uint32_t('S') << 8 | uint32_t('2') << 16 | uint32_t(rev) << 24; }

void Layout(SliceLayout *l, char rev, uint32_t index, uint32_t w, uint32_t h) {
  l->next_slice.store(0);
  l->slice_count = 0;
  l->seam_stride = 0;
  for (uint32_t &e : l->end_row) e = 0;
  ComputeSliceLayout(Sig(rev), index, w, h, l);
}

std::vector<uint32_t> Ends(const SliceLayout &l) { return std::vector<uint32_t>(l.end_row, l.end_row + l.slice_count); }

}  // namespace

TEST(Gen2Slices, LayoutFollowsTheRevisionRules) {
  SliceLayout l;
  Layout(&l, 'h', 1, 1920, 1088);
  EXPECT_EQ((std::vector<uint32_t>{384, 736, 1088}), Ends(l));
  Layout(&l, 'h', 2, 1920, 1088);
  EXPECT_EQ((std::vector<uint32_t>{288, 576, 832, 1088}), Ends(l));
  Layout(&l, 'n', 0, 1920, 1080);
  EXPECT_EQ((std::vector<uint32_t>{544, 1088}), Ends(l));
  Layout(&l, 'k', 3, 1920, 1088);
  EXPECT_EQ((std::vector<uint32_t>{160, 320, 448, 576, 704, 832, 960, 1088}), Ends(l));
  Layout(&l, 'i', 2, 640, 480);
  EXPECT_EQ((std::vector<uint32_t>{128, 256, 384, 480}), Ends(l));
  Layout(&l, 'm', 3, 64, 128);
  EXPECT_EQ((std::vector<uint32_t>{32, 64, 96, 128, 128, 128, 128, 128}), Ends(l));
  // The height is rounded up to 32 rows first: 720 becomes 736.
  Layout(&l, 'j', 1, 1280, 720);
  EXPECT_EQ((std::vector<uint32_t>{256, 512, 736}), Ends(l));
  EXPECT_EQ(4u * 40 + 4, l.seam_stride);
  Layout(&l, 'h', 3, 100, 96);
  EXPECT_EQ((std::vector<uint32_t>{96}), Ends(l)) << "below 128 rows: one slice";
  EXPECT_EQ(4u * 4 + 4, l.seam_stride);
  Layout(&l, 'g', 3, 64, 200);
  EXPECT_EQ((std::vector<uint32_t>{96, 224}), Ends(l));
  Layout(&l, 'g', 0, 64, 100);
  EXPECT_EQ((std::vector<uint32_t>{64, 128}), Ends(l));
  Layout(&l, 'g', 0, 64, 90);
  EXPECT_EQ((std::vector<uint32_t>{96}), Ends(l));
  Layout(&l, 'f', 0, 64, 32);
  EXPECT_EQ((std::vector<uint32_t>{32, 0}), Ends(l)) << "second slice holds no band";
  Layout(&l, 'f', 0, 64, 20);
  EXPECT_EQ((std::vector<uint32_t>{0, 20}), Ends(l)) << "first slice empty";
  Layout(&l, 'f', 0, 64, 1070);
  EXPECT_EQ((std::vector<uint32_t>{544, 1070}), Ends(l));
  l.next_slice.store(5);
  ComputeSliceLayout(Sig('h'), 0, 64, 64, &l);
  EXPECT_EQ(5u, l.next_slice.load()) << "the claim counter is left alone";
  ComputeSliceLayout(uint32_t('V') | uint32_t('S') << 8 | uint32_t('H') << 16 | uint32_t('g') << 24, 3, 64, 64, &l);
  EXPECT_EQ(2u, l.slice_count);
  EXPECT_EQ(0u, l.seam_stride);
}

TEST(Gen2Slices, ClaimsCoverEverySliceExactlyOnce) {
  SliceLayout l;
  Layout(&l, 'h', 3, 64, 1088);
  EXPECT_EQ(0x30u, ClaimSliceRun(&l, 1, 3));
  EXPECT_EQ(0x33u, ClaimSliceRun(&l, 1, 3));
  EXPECT_EQ(0x26u, ClaimSliceRun(&l, 1, 3));
  EXPECT_EQ(0u, ClaimSliceRun(&l, 1, 3));
  EXPECT_EQ(0u, ClaimSliceRun(&l, 1, 3));
  Layout(&l, 'h', 0, 64, 1088);
  EXPECT_EQ(0x10u, ClaimSliceRun(&l, 1, 8));
  EXPECT_EQ(0x11u, ClaimSliceRun(&l, 1, 8));
  EXPECT_EQ(0u, ClaimSliceRun(&l, 1, 8));
  l.next_slice.store(0);
  EXPECT_EQ(0u, ClaimSliceRun(&l, 1, 0)) << "no workers is no run, not a division by zero";
  EXPECT_EQ(0x10u, ClaimSliceRun(&l, 0, 5)) << "at least one slice per run";
  EXPECT_EQ(0x11u, ClaimSliceRun(&l, 0xFFFFFFFFu, 1));

  // Many threads claiming at once: each slice in exactly one run.
  for (uint32_t workers = 1; workers <= 9; ++workers) {
    Layout(&l, 'h', 3, 64, 1088);
    std::atomic<uint32_t> seen[8] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
      threads.emplace_back([&] {
        for (;;) {
          const uint32_t run = ClaimSliceRun(&l, 1, workers);
          if (!run) break;
          for (uint32_t s = 0; s < SliceRunCount(run); ++s) seen[SliceRunFirst(run) + s]++;
        }
      });
    for (auto &t : threads) t.join();
    for (auto &s : seen) EXPECT_EQ(1u, s.load());
  }
}

TEST(Gen2Slices, SeamRecordsAreClearedAppliedOnceAndBounded) {
  Gen2TestBuffers b;
  AllocGen2Buffers(&b, 64, 272, 2, false, false);
  SliceLayout l;
  Layout(&l, 'h', 3, 64, 272);
  ASSERT_EQ(8u, l.slice_count);
  EXPECT_EQ(256u, l.end_row[6]) << "the last slice is the plane's last 16-row band";
  std::vector<uint8_t> seams(uint64_t(l.slice_count - 1) * l.seam_stride, 0xAA);
  ClearSeamFlags(&l, seams.data());
  for (uint8_t v : seams) ASSERT_EQ(0, v);
  // Every record full of codes, including the one whose edge would lie at
  // the plane's bottom (rows 270..273 of a 272-row plane).
  const uint32_t set = 1;
  for (uint32_t y = 0; y < 272; ++y)
    for (uint32_t x = 0; x < 64; ++x) b.set.sets[set][PLANE_LUMA].pixels[y * 64 + x] = uint8_t(y & 1 ? 200 : 10);
  for (uint32_t k = 0; k + 1 < l.slice_count; ++k) {
    SeamRecord *r = SeamRecordAt(seams.data(), l.seam_stride, k);
    r->has_codes = 1;
    std::memset(SeamRecordCodes(r), 0xAA, SeamRecordCapacity(l.seam_stride));
  }
  b.set.current_set = 0;
  SmoothSliceSeams(&b.set, &l, 0, 0, 0, seams.data());
  for (uint8_t v : seams) ASSERT_EQ(0, v) << "applied records are emptied";
  // The seam at row 16 of slice 1's band changed; rows of the last band did not.
  const uint8_t *luma = b.set.sets[set][PLANE_LUMA].pixels;
  EXPECT_NE(200, luma[uint64_t(l.end_row[0] + 15) * 64]);
  for (uint32_t y = 256; y < 272; ++y) EXPECT_EQ(y & 1 ? 200 : 10, luma[y * 64]);
  // A second smoothing finds nothing to do.
  std::vector<uint8_t> before(luma, luma + 64 * 272);
  SmoothSliceSeams(&b.set, &l, 0, 0, 0, seams.data());
  EXPECT_EQ(0, std::memcmp(before.data(), luma, before.size()));
  // has_codes set with all code bytes zero: cleared, nothing filtered.
  SeamRecordAt(seams.data(), l.seam_stride, 2)->has_codes = 4;
  SmoothSliceSeams(&b.set, &l, 0, 0, 0, seams.data());
  EXPECT_EQ(0u, SeamRecordAt(seams.data(), l.seam_stride, 2)->has_codes);
  EXPECT_EQ(0, std::memcmp(before.data(), luma, before.size()));
  FreeGen2Buffers(&b);
}

namespace {

// A key frame with AC, DC-only areas, edge bitmaps and smoothing, then an
// inter frame with every block type, half-sample vectors and residuals.
void MakeRichFrames(uint32_t w, uint32_t h, const SliceLayout &l, bool alpha, bool extra, uint32_t seed,
                    std::vector<uint8_t> *key_video, std::vector<uint8_t> *inter_video) {
  std::mt19937 rng(seed);
  Gen2FrameDesc key = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, 0x10000 | 40);
  key.alpha = alpha;
  key.extra = extra;
  key.run_length_bitmaps = true;
  key.row_edges.resize(h / 8);
  key.column_edges.resize(w / 8);
  for (auto &e : key.row_edges) e = rng() % 5 == 0;
  for (auto &e : key.column_edges) e = rng() % 5 == 0;
  Gen2Picture src = MakeGen2Picture(w, h, alpha, extra);
  for (uint32_t p = 0; p < G2W_PLANES; ++p) {
    const uint32_t pw = Gen2PlaneWidth(src, p);
    for (uint64_t i = 0; i < src.planes[p].size(); ++i) {
      const uint32_t x = uint32_t(i % pw), y = uint32_t(i / pw);
      src.planes[p][i] = uint8_t(((x / 24 + y / 20) & 1) ? 60 + (x * 3 + y) % 50 : 180 + (rng() % 9));
    }
  }
  EncodeIntraWithAc(src, 10, &key);
  *key_video = WriteGen2Frame(&key);

  Gen2FrameDesc inter = MakeGen2Frame(w, h, false, l.slice_count, l.end_row, 20 | (seed & 1 ? 0x20000 : 0));
  inter.alpha = alpha;
  inter.extra = extra;
  for (Gen2BlockDesc &b : inter.blocks) {
    b.type = uint8_t(rng() % 4);
    b.qi = uint8_t(8 + rng() % 6);
    b.table2 = rng() & 1;
    b.chroma_residual = rng() & 1;
    b.single_vector = rng() % 3 == 0;
    for (int q = 0; q < 4; ++q) {
      b.mv[2 * q] = b.single_vector && q ? b.mv[0] : int32_t(rng() % 41) - 20;
      b.mv[2 * q + 1] = b.single_vector && q ? b.mv[1] : int32_t(rng() % 41) - 20;
    }
    for (uint32_t p = 0; p < G2W_PLANES; ++p)
      for (int i = 0; i < 16; ++i) b.dc[p][i] = b.type == 0 ? int32_t(rng() % 2048) : int32_t(rng() % 200) - 100;
    const int levels = int(rng() % 12);
    for (int k = 0; k < levels; ++k)
      b.ac.push_back(Gen2AcLevel{uint8_t(rng() % 5), uint8_t(rng() % 16), uint8_t(1 + rng() % 63),
                                 int16_t(rng() % 2 ? 1 + rng() % 4 : -1 - int(rng() % 4))});
  }
  *inter_video = WriteGen2Frame(&inter);
}

}  // namespace

TEST(Gen2Slices, PicturesDoNotDependOnHowSlicesAreSplitIntoRuns) {
  struct Case {
    uint32_t w, h, index;
    bool alpha, extra;
  } cases[] = {
      {96, 288, 3, true, false},  // last slice: a single band, the plane's last
      {64, 272, 3, false, true},  // ... and that band holds 16 rows
      {128, 240, 2, false, false},
      {64, 176, 1, true, true},
      {96, 128, 3, false, false},  // four empty slices
      {160, 144, 0, false, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " index " << c.index);
    SliceLayout l;
    Layout(&l, 'h', c.index, c.w, c.h);
    Gen2TestBuffers b;
    AllocGen2Buffers(&b, c.w, c.h, 2, c.alpha, c.extra);
    std::vector<uint8_t> key_video, inter_video;
    MakeRichFrames(b.set.luma_width, b.set.luma_height, l, c.alpha, c.extra, c.w + c.h, &key_video, &inter_video);
    const std::vector<uint32_t> whole = {l.slice_count << 4};
    ASSERT_EQ(1, DecodeGen2Frame(&b, key_video, &l, true, c.alpha, c.extra, whole));
    const Gen2Picture key_picture = Gen2BuffersPicture(b, b.set.current_set);
    const uint32_t key_set = b.set.current_set;
    ASSERT_EQ(1, DecodeGen2Frame(&b, inter_video, &l, false, c.alpha, c.extra, whole));
    const Gen2Picture inter_picture = Gen2BuffersPicture(b, b.set.current_set);
    for (const auto &runs : AllGen2Splits(l.slice_count)) {
      b.set.current_set = 1 - key_set;
      ASSERT_EQ(1, DecodeGen2Frame(&b, key_video, &l, true, c.alpha, c.extra, runs));
      const Gen2Picture k = Gen2BuffersPicture(b, b.set.current_set);
      for (uint32_t p = 0; p < G2W_PLANES; ++p)
        ASSERT_TRUE(k.planes[p] == key_picture.planes[p]) << "key frame, plane " << p << ", " << runs.size() << " runs";
      ASSERT_EQ(1, DecodeGen2Frame(&b, inter_video, &l, false, c.alpha, c.extra, runs));
      const Gen2Picture i = Gen2BuffersPicture(b, b.set.current_set);
      for (uint32_t p = 0; p < G2W_PLANES; ++p)
        ASSERT_TRUE(i.planes[p] == inter_picture.planes[p]) << "inter frame, plane " << p << ", " << runs.size() << " runs";
    }
    FreeGen2Buffers(&b);
  }
}

TEST(Gen2Slices, RunsOfOneFrameDecodeConcurrently) {
  const uint32_t w = 256, h = 544;
  SliceLayout l;
  Layout(&l, 'h', 3, w, h);
  Gen2TestBuffers b;
  AllocGen2Buffers(&b, w, h, 2, false, false);
  std::vector<uint8_t> key_video, inter_video;
  MakeRichFrames(w, h, l, false, false, 99, &key_video, &inter_video);
  ASSERT_EQ(1, DecodeGen2Frame(&b, key_video, &l, true, false, false, {0x80}));
  ASSERT_EQ(1, DecodeGen2Frame(&b, inter_video, &l, false, false, false, {0x80}));
  const Gen2Picture want = Gen2BuffersPicture(b, b.set.current_set);
  for (int round = 0; round < 4; ++round) {
    b.set.current_set = 1 - b.set.current_set;  // back to the key frame as reference
    uint8_t *seams = static_cast<uint8_t *>(calloc(7, l.seam_stride));
    l.next_slice.store(0);
    ClearSeamFlags(&l, seams);
    std::vector<std::thread> workers;
    std::atomic<int> ok{1};
    for (int t = 0; t < 4; ++t)
      workers.emplace_back([&] {
        for (uint32_t run; (run = ClaimSliceRun(&l, 1, 8)) != 0;)
          if (!DecodeSliceRun(&b.set, inter_video.data(), 0, 0, 0, inter_video.data() + inter_video.size(), &l, run, seams, nullptr))
            ok = 0;
      });
    for (auto &t : workers) t.join();
    SmoothSliceSeams(&b.set, &l, 0, 0, 0, seams);
    free(seams);
    b.set.current_set = 1 - b.set.current_set;
    ASSERT_EQ(1, ok.load());
    const Gen2Picture got = Gen2BuffersPicture(b, b.set.current_set);
    for (uint32_t p = 0; p < 3; ++p) ASSERT_TRUE(got.planes[p] == want.planes[p]) << "plane " << p;
  }
  FreeGen2Buffers(&b);
}

TEST(Gen2Slices, RefusedAndDegenerateFrames) {
  SliceLayout l;
  Layout(&l, 'h', 2, 64, 160);
  Gen2TestBuffers b;
  AllocGen2Buffers(&b, 64, 160, 2, false, false);
  Gen2FrameDesc d = MakeGen2Frame(64, 160, true, l.slice_count, l.end_row, 0);
  for (auto &blk : d.blocks)
    for (auto &plane : blk.dc)
      for (int32_t &v : plane) v = 800;
  std::vector<uint8_t> video = WriteGen2Frame(&d);
  // Bit 13 clear: refused, nothing written.
  std::vector<uint8_t> refused = video;
  refused[1] &= ~0x20;
  ASSERT_EQ(0, DecodeGen2Frame(&b, refused, &l, true, false, false, {0x30}));
  const Gen2Picture untouched = Gen2BuffersPicture(b, b.set.current_set);
  for (auto &plane : untouched.planes)
    for (uint8_t v : plane) ASSERT_EQ(0, v);
  EXPECT_EQ(0, DecodeGen2Frame(&b, {}, &l, true, false, false, {0x30})) << "no data at all";
  // A run of slices past the layout or of only empty slices succeeds.
  EXPECT_EQ(1, DecodeGen2Frame(&b, video, &l, true, false, false, {0x1F}));
  // Zero width: nothing decoded, no failure.
  Gen2TestBuffers z;
  AllocGen2Buffers(&z, 0, 64, 2, false, false);
  EXPECT_EQ(1, DecodeGen2Frame(&z, video, &l, true, false, false, {0x30}));
  FreeGen2Buffers(&z);
  // Slice offsets outside the video data: those slices are empty.
  std::vector<uint8_t> bad = video;
  const uint32_t far = 0x7FFFFFF0;
  std::memcpy(bad.data() + 4, &far, 4);
  EXPECT_EQ(1, DecodeGen2Frame(&b, bad, &l, true, false, false, {0x10, 0x11, 0x12, 0x13}));
  FreeGen2Buffers(&b);
}

TEST(Gen2Slices, AlphaSyntaxWithoutAnAlphaPlaneKeepsTheStreamAligned) {
  const uint32_t w = 96, h = 160;
  SliceLayout l;
  Layout(&l, 'h', 1, w, h);
  std::vector<uint8_t> key_video, inter_video;
  MakeRichFrames(w, h, l, true, false, 5, &key_video, &inter_video);
  Gen2TestBuffers with, without;
  AllocGen2Buffers(&with, w, h, 2, true, false);
  AllocGen2Buffers(&without, w, h, 2, false, false);
  for (Gen2TestBuffers *b : {&with, &without}) {
    ASSERT_EQ(1, DecodeGen2Frame(b, key_video, &l, true, true, false, {l.slice_count << 4}));
    ASSERT_EQ(1, DecodeGen2Frame(b, inter_video, &l, false, true, false, {0x10, 0x11, 0x12}));
  }
  const Gen2Picture a = Gen2BuffersPicture(with, with.set.current_set);
  const Gen2Picture c = Gen2BuffersPicture(without, without.set.current_set);
  for (uint32_t p = 0; p < 3; ++p) EXPECT_TRUE(a.planes[p] == c.planes[p]) << "plane " << p;
  FreeGen2Buffers(&with);
  FreeGen2Buffers(&without);
}

TEST(Gen2Slices, ConstantAlphaFillsTheAlphaPlane) {
  const uint32_t w = 64, h = 80;
  SliceLayout l;
  Layout(&l, 'h', 0, w, h);
  Gen2FrameDesc d = MakeGen2Frame(w, h, true, l.slice_count, l.end_row, 0x80000 | 0x9A000000u);
  d.alpha = false;  // constant alpha: no alpha syntax
  std::vector<uint8_t> video = WriteGen2Frame(&d);
  Gen2TestBuffers b;
  AllocGen2Buffers(&b, w, h, 2, true, false);
  ASSERT_EQ(1, DecodeGen2Frame(&b, video, &l, true, true, false, {l.slice_count << 4}));
  const Gen2Picture p = Gen2BuffersPicture(b, b.set.current_set);
  for (uint8_t v : p.planes[3]) ASSERT_EQ(0x9A, v);
  FreeGen2Buffers(&b);
}

TEST(Gen2Slices, OneBufferSetInterFramesAreDecodedRunByRun) {
  const uint32_t w = 128, h = 288;
  SliceLayout l;
  Layout(&l, 'h', 3, w, h);
  std::vector<uint8_t> key_video, inter_video;
  MakeRichFrames(w, h, l, false, false, 8, &key_video, &inter_video);
  Gen2TestBuffers b;
  AllocGen2Buffers(&b, w, h, 1, false, false);
  ASSERT_EQ(1, DecodeGen2Frame(&b, key_video, &l, true, false, false, {0x80}));
  uint8_t *seams = static_cast<uint8_t *>(calloc(7, l.seam_stride));
  l.next_slice.store(0);
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&] {
      for (uint32_t run; (run = ClaimSliceRun(&l, 1, 8)) != 0;)
        DecodeSliceRun(&b.set, inter_video.data(), 0, 0, 0, inter_video.data() + inter_video.size(), &l, run, seams, nullptr);
    });
  for (auto &t : workers) t.join();
  SmoothSliceSeams(&b.set, &l, 0, 0, 0, seams);
  free(seams);
  FreeGen2Buffers(&b);
}
