#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/container.h"
#include "moviewriter/container_writer.h"

namespace {

uint32_t Sig(const char *three, char rev) { return MakeSignature(three[0], three[1], three[2], rev); }

TEST(ContainerSignatures, AcceptanceTables) {
  for (char rev = 'a'; rev <= 'z'; rev++) {
    const uint32_t first = Sig("VSH", rev), second = Sig("VS2", rev);
    const bool f_ok = strchr("fghik", rev) != nullptr;
    const bool s_ok = strchr("fghijkmn", rev) != nullptr;
    SCOPED_TRACE(rev);
    EXPECT_EQ(IsFirstGenSignature(first), f_ok);
    EXPECT_EQ(IsSecondGenSignature(second), s_ok);
    EXPECT_EQ(VoshIsKnownSignature(first), f_ok);
    EXPECT_EQ(VoshIsKnownSignature(second), s_ok);
    EXPECT_EQ(IsFirstGenRevisionK(first), rev == 'k');
    EXPECT_EQ(IsFirstGenRevisionFOrG(first), rev == 'f' || rev == 'g');
    EXPECT_EQ(IsFirstGenRevisionFToH(first), rev >= 'f' && rev <= 'h');
    EXPECT_EQ(IsSecondGenRevisionIToN(second), strchr("ijkmn", rev) != nullptr);
    EXPECT_EQ(IsSecondGenRevisionHToN(second), strchr("hijkmn", rev) != nullptr);
    // No predicate crosses generations.
    EXPECT_FALSE(IsSecondGenSignature(first));
    EXPECT_FALSE(IsFirstGenSignature(second));
    EXPECT_FALSE(IsFirstGenRevisionK(second));
    EXPECT_FALSE(IsSecondGenRevisionHToN(first));
  }
  // VSH j and VS2 l are refused everywhere; so are upper-case letters and other stems.
  EXPECT_FALSE(VoshIsKnownSignature(Sig("VSH", 'j')));
  EXPECT_FALSE(VoshIsKnownSignature(Sig("VS2", 'l')));
  EXPECT_FALSE(IsSecondGenRevisionIToN(Sig("VS2", 'l')));
  EXPECT_FALSE(IsSecondGenRevisionHToN(Sig("VS2", 'l')));
  EXPECT_FALSE(VoshIsKnownSignature(Sig("VSH", 'I')));
  EXPECT_FALSE(VoshIsKnownSignature(Sig("VS3", 'i')));
  EXPECT_FALSE(VoshIsKnownSignature(Sig("vsh", 'i')));
  EXPECT_FALSE(VoshIsKnownSignature(0));
  EXPECT_EQ(Sig("VS2", 'i'), WriterSignature("VS2", 'i'));
}

TEST(ContainerHeader, HeaderExtraSizeForEveryRevision) {
  const uint32_t flag_sets[] = {0, 0x4, 0x10000, 0x10004, 3u << 24, (255u << 24) | 0x10000};
  for (char rev = 'a'; rev <= 'z'; rev++) {
    for (uint32_t flags : flag_sets) {
      const uint32_t n = flags >> 24;
      const uint32_t with = (flags & 4) ? 4 * n + 16 : (flags & 0x10000) ? 4 * n + 28 : 4 * n + 4;
      const bool second_has = strchr("ijkmn", rev) != nullptr;
      EXPECT_EQ(GetHeaderExtraSize(Sig("VS2", rev), flags), second_has ? with : 0u) << rev << flags;
      EXPECT_EQ(GetHeaderExtraSize(Sig("VSH", rev), flags), rev == 'k' ? with : 0u) << rev << flags;
      EXPECT_EQ(WriterHeaderExtraSize(Sig("VS2", rev), flags), GetHeaderExtraSize(Sig("VS2", rev), flags));
    }
  }
}

TEST(ContainerHeader, ParsesLittleEndianWords) {
  ContainerSpec desc = MakeTestMovieSpec(Sig("VSH", 'i'), 3, 40);
  desc.width = (uint32_t)-320;
  desc.height = 0x81000010;
  desc.sound_track_count = 0x40000002;
  desc.video_flags = 0x12345678;
  std::vector<uint8_t> image = WriteContainer(desc);
  MovieHeader h;
  ParseMovieHeader(image.data(), &h);
  EXPECT_EQ(h.signature, Sig("VSH", 'i'));
  EXPECT_EQ(h.file_size_less_8, image.size() - 8);
  EXPECT_EQ(h.frame_count, 3u);
  EXPECT_EQ(h.index_slot_count, 3u);
  EXPECT_EQ(h.width, -320);
  EXPECT_EQ((uint32_t)h.height, 0x81000010u);
  EXPECT_EQ(h.frame_rate_num, 30u);
  EXPECT_EQ(h.frame_rate_den, 1u);
  EXPECT_EQ(h.video_flags, 0x12345678u);
  EXPECT_EQ(h.sound_track_count, 0x40000002u);
}

TEST(ContainerTracks, RingBytesAndDecoderFlags) {
  EXPECT_EQ(ComputeTrackRingBytes(0), 0u);
  EXPECT_EQ(ComputeTrackRingBytes(1000), 1280u);  // 1250 + 255 -> 1505 -> 1280
  EXPECT_EQ(ComputeTrackRingBytes(1024), 1280u);
  EXPECT_EQ(ComputeTrackRingBytes(70560), 88320u);
  // 32-bit arithmetic: the product wraps; bit 31 is always clear.
  EXPECT_EQ(ComputeTrackRingBytes(0xFFFFFFFFu), ((((0xFFFFFFFFu * 5u) >> 2) + 255u) & 0x7FFFFF00u));
  EXPECT_EQ(ComputeTrackRingBytes(0x7FFFFFFFu) & 0x80000000u, 0u);

  EXPECT_EQ(GetTrackDecoderFlags(0x10000000u | 44100, 0), 1u);
  EXPECT_EQ(GetTrackDecoderFlags(0x80000000u | 44100, 0), 0u);
  EXPECT_EQ(GetTrackDecoderFlags(0x90000000u | 44100, 0), 0u);
  EXPECT_EQ(GetTrackDecoderFlags(0x10000000u, 0x40000), 4u);
}

// Raw index words as stored in a file.
std::vector<uint8_t> IndexBytes(const std::vector<uint32_t> &words) {
  std::vector<uint8_t> b;
  for (uint32_t w : words) AppendWord(&b, w);
  return b;
}

struct Widened {
  int ok;
  std::vector<uint64_t> wide;
  FrameIndexFacts facts;
};

Widened Widen(const std::vector<uint32_t> &words, uint32_t largest, uint32_t R, uint64_t fs8) {
  Widened w;
  std::vector<uint8_t> raw = IndexBytes(words);
  w.wide.assign(words.size(), 0);
  memset(&w.facts, 0, sizeof w.facts);
  w.facts.file_size_less_8 = fs8;
  w.ok = WidenFrameIndex(raw.data(), w.wide.data(), (uint32_t)words.size() - 1, largest, R, &w.facts);
  return w;
}

TEST(ContainerIndex, WidensAcrossFourGigabyteWrap) {
  // Word 5 is smaller than word 4: words 5 and later gain 4 GiB.
  std::vector<uint32_t> words = {0xF0000001u, 0xF4000000u, 0xF8000001u, 0xFC000000u,
                                 0xFFFFF000u, 0x00001001u, 0x00002000u};
  Widened w = Widen(words, 0x4000000, 1, 0x3000);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.wide[4], 0xFFFFF000u);
  EXPECT_EQ(w.wide[5], 0x100001001ull);
  EXPECT_EQ(w.wide[6], 0x100002000ull);
  EXPECT_EQ(w.facts.file_size_less_8, 0x100003000ull);
  EXPECT_EQ(w.facts.all_key, 0u);
  EXPECT_EQ(w.facts.largest_frame, 0x4000000u);
}

TEST(ContainerIndex, ZeroStepIsAnEmptyFrameNotAWrap) {
  std::vector<uint32_t> words = {100, 100, 200, 200};
  Widened w = Widen(words, 100, 1, 200);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.wide[1], 100u);
  EXPECT_EQ(w.wide[3], 200u);
  EXPECT_EQ(w.facts.file_size_less_8, 200u);
}

TEST(ContainerIndex, StepLimitAndFrameSizes) {
  const uint32_t limit = 0x10000000;
  // Exactly 256 MiB is accepted (as the last frame, which the header's figure exempts).
  EXPECT_TRUE(Widen({64, 64 + limit}, 0, 1, limit + 64).ok);
  // The next representable offset is too far.
  EXPECT_FALSE(Widen({64, 64 + limit + 4}, 0, 1, limit + 128).ok);
  // A negative step widens by 4 GiB: -4 becomes almost 4 GiB, far over the limit.
  EXPECT_FALSE(Widen({1000, 996, 2000}, 0xFFFFFFFFu, 1, 4000).ok);
  // Frames before the last may not exceed largest_frame_size; the last may.
  EXPECT_TRUE(Widen({100, 200, 300, 900}, 100, 1, 900).ok);
  EXPECT_FALSE(Widen({100, 200, 304, 400}, 100, 1, 900).ok);
  Widened last = Widen({100, 200, 300, 900}, 100, 1, 900);
  EXPECT_EQ(last.facts.largest_frame, 600u);  // the buffer must hold the last frame
  // Bits 0-1 are flags, not offset.
  EXPECT_TRUE(Widen({101, 203, 302}, 100, 1, 400).ok);
  // The end may not lie past the file.
  EXPECT_TRUE(Widen({100, 200, 308}, 200, 1, 300).ok);
  EXPECT_FALSE(Widen({100, 200, 312}, 200, 1, 300).ok);
}

TEST(ContainerIndex, ReadAheadSizing) {
  // 10 frames at R = 30: the average rule, (end - start) x R / F.
  std::vector<uint32_t> words;
  for (uint32_t i = 0; i <= 10; i++) words.push_back(1000 + 400 * i);
  Widened w = Widen(words, 400, 30, 6000);
  ASSERT_TRUE(w.ok);
  EXPECT_EQ(w.facts.read_ahead_size, (uint64_t)4000 * 30 / 10);
  EXPECT_EQ(w.facts.read_ahead_start_frame, 0u);
  EXPECT_EQ(w.facts.all_key, 0u);

  // R = 2 over sizes 10, 50, 50, 10, 80: windows starting at frames 1..3 only.
  std::vector<uint32_t> sized = {1, 11, 61, 111, 121, 201};
  Widened s = Widen(sized, 100, 2, 300);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.facts.read_ahead_size, 100u);   // frames 2 + 3; the first largest wins
  EXPECT_EQ(s.facts.read_ahead_start_frame, 1u);
  EXPECT_EQ(s.facts.all_key, 1u);

  // Every window empty: the average rule again.
  Widened e = Widen({40, 40, 40, 40}, 0, 1, 100);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.facts.read_ahead_size, 0u);
}

struct WalkResult {
  std::vector<AudioPacketView> packets;
  int video;
  uint64_t video_offset;
};

WalkResult Walk(const std::vector<uint8_t> &frame, uint32_t tracks) {
  // An exact-size heap copy so that any read past the frame is caught.
  uint8_t *copy = new uint8_t[frame.size() ? frame.size() : 1];
  if (!frame.empty()) memcpy(copy, frame.data(), frame.size());
  FramePacketWalk walk;
  BeginFramePacketWalk(&walk, copy, frame.size(), tracks);
  WalkResult r;
  AudioPacketView p;
  while (NextFramePacket(&walk, &p)) r.packets.push_back(p);
  r.video_offset = 0;
  r.video = GetVideoDataOffset(&walk, &r.video_offset);
  delete[] copy;
  return r;
}

TEST(ContainerFrameWalk, PacketsAndVideoStart) {
  std::vector<uint8_t> f;
  AppendNoPacket(&f);                                      // track 0: no packet
  AppendAudioPacket(&f, 15, std::vector<uint8_t>(8, 1));   // track 1: decodes to nothing
  AppendAudioPacket(&f, 100, std::vector<uint8_t>(12, 2)); // track 2: 96 bytes
  AppendWord(&f, 0xDEADBEEF);                              // video
  WalkResult r = Walk(f, 3);
  ASSERT_EQ(r.packets.size(), 3u);
  EXPECT_EQ(r.packets[0].packet_bytes, 0u);
  EXPECT_FALSE(r.packets[0].usable);
  EXPECT_EQ(r.packets[1].track, 1u);
  EXPECT_EQ(r.packets[1].body_offset, 12u);  // 4 bytes after the empty track's word
  EXPECT_FALSE(r.packets[1].usable);
  EXPECT_TRUE(r.packets[2].usable);
  EXPECT_EQ(r.packets[2].decoded_bytes, 96u);
  EXPECT_EQ(r.packets[2].end_offset, f.size() - 4);
  ASSERT_TRUE(r.video);
  EXPECT_EQ(r.video_offset, f.size() - 4);
}

TEST(ContainerFrameWalk, MalformedFramesNeverReadOutside) {
  // A packet longer than the frame ends the walk: no video.
  std::vector<uint8_t> f;
  AppendWord(&f, 1000);
  AppendWord(&f, 64);
  f.resize(40, 0);
  WalkResult r = Walk(f, 2);
  ASSERT_EQ(r.packets.size(), 1u);
  EXPECT_FALSE(r.packets[0].usable);
  EXPECT_FALSE(r.video);

  // packet_bytes below 4 has no decoded-bytes word: passed over, the walk goes on.
  std::vector<uint8_t> g;
  AppendWord(&g, 2);
  g.push_back(9);
  g.push_back(9);
  AppendAudioPacket(&g, 32, std::vector<uint8_t>(4, 3));
  AppendWord(&g, 7);
  r = Walk(g, 2);
  ASSERT_EQ(r.packets.size(), 2u);
  EXPECT_FALSE(r.packets[0].usable);
  EXPECT_TRUE(r.packets[1].usable);
  EXPECT_EQ(r.packets[1].body_offset, 6u + 8u);
  EXPECT_TRUE(r.video);

  // A frame that ends inside a length word, or right where one should start.
  for (size_t size : {0u, 1u, 2u, 3u}) {
    r = Walk(std::vector<uint8_t>(size, 0), 1);
    EXPECT_TRUE(r.packets.empty());
    EXPECT_FALSE(r.video);
  }
  std::vector<uint8_t> h;
  AppendNoPacket(&h);
  r = Walk(h, 2);
  EXPECT_EQ(r.packets.size(), 1u);
  EXPECT_FALSE(r.video);

  // A length word that wraps a 32-bit position stays outside.
  std::vector<uint8_t> k;
  AppendWord(&k, 0xFFFFFFFC);
  AppendWord(&k, 64);
  AppendWord(&k, 0);
  r = Walk(k, 2);
  ASSERT_EQ(r.packets.size(), 1u);
  EXPECT_FALSE(r.packets[0].usable);
  EXPECT_FALSE(r.video);

  // No tracks: the video starts at once; an empty frame has no video.
  r = Walk(std::vector<uint8_t>(8, 0), 0);
  EXPECT_TRUE(r.video);
  EXPECT_EQ(r.video_offset, 0u);
  r = Walk(std::vector<uint8_t>(), 0);
  EXPECT_FALSE(r.video);
}

}  // namespace
