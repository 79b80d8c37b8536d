#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/container.h"
#include "engine/movie.h"
#include "engine/reader.h"
#include "engine/utils.h"
#include "moviewriter/container_writer.h"

namespace {

const uint32_t kSignatures[] = {
    MakeSignature('V', 'S', '2', 'f'), MakeSignature('V', 'S', '2', 'g'), MakeSignature('V', 'S', '2', 'i'),
    MakeSignature('V', 'S', '2', 'n'), MakeSignature('V', 'S', 'H', 'f'), MakeSignature('V', 'S', 'H', 'i'),
    MakeSignature('V', 'S', 'H', 'k'),
};
const uint32_t kInteresting[] = {0, 1, 2, 3, 4, 7, 8, 255, 256, 257, 0x7FFF, 0x8000, 0xFFFF,
                                 0x10000000, 0x40000000, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFF0u,
                                 0xFFFFFFFFu};

// A valid movie with a few tracks, packets and header extras.
ContainerSpec BaseMovie(std::mt19937 &rng) {
  ContainerSpec s;
  s.signature = kSignatures[rng() % 7];
  s.width = 16 + rng() % 200;
  s.height = 16 + rng() % 120;
  s.rate_num = 1 + rng() % 60;
  s.rate_den = 1 + rng() % 2;
  s.video_flags = rng() % 4 == 0 ? (uint32_t)(rng() & 0x03170013) : 0;
  uint32_t tracks = rng() % 4;
  for (uint32_t t = 0; t < tracks; t++)
    s.tracks.push_back({(uint32_t)(rng() % 100000), (uint32_t)(rng() & 0xB000FFFF), t % 2});
  uint32_t frames = 1 + rng() % 12;
  for (uint32_t n = 0; n < frames; n++) {
    WriterFrame f;
    for (uint32_t t = 0; t < tracks; t++) {
      if (rng() % 3 == 0)
        AppendNoPacket(&f.bytes);
      else
        AppendAudioPacket(&f.bytes, rng() % 300, std::vector<uint8_t>(rng() % 40, (uint8_t)n));
    }
    f.bytes.resize(f.bytes.size() + rng() % 600, (uint8_t)rng());
    f.key = rng() % 2;
    s.frames.push_back(f);
  }
  if (rng() % 4 == 0) s.index_slot_count = frames + rng() % 5;
  return s;
}

void Mutate(std::vector<uint8_t> *b, std::mt19937 &rng, uint64_t tables_end) {
  switch (rng() % 5) {
    case 0:  // truncation anywhere
      b->resize(rng() % (b->size() + 1));
      break;
    case 1: {  // random bytes, mostly in the header and tables
      int n = 1 + rng() % 8;
      for (int i = 0; i < n && !b->empty(); i++) {
        size_t at = rng() % 2 ? rng() % std::min<uint64_t>(tables_end, b->size()) : rng() % b->size();
        (*b)[at] = (uint8_t)rng();
      }
      break;
    }
    case 2: {  // an interesting value in a header word or an index word
      if (b->size() < 44) break;
      size_t word = rng() % 2 ? 1 + rng() % 10 : rng() % (std::min<uint64_t>(tables_end, b->size()) / 4);
      if (word * 4 + 4 <= b->size()) WriteLe32(b->data() + word * 4, kInteresting[rng() % 19]);
      break;
    }
    case 3:  // the frame data shifted
      if (b->size() > tables_end + 8) b->erase(b->begin() + tables_end + rng() % 8);
      break;
    default:  // entirely random bytes behind a real signature
      b->assign(rng() % 400, 0);
      for (auto &x : *b) x = (uint8_t)rng();
      if (b->size() >= 4) WriteLe32(b->data(), kSignatures[rng() % 7]);
      break;
  }
  // Keep the memory a malformed header can ask for within what a test
  // machine (and the address sanitizer) can give: a claimed file size at
  // most 1 MiB beyond the real one, at most 65536 statistics entries, small
  // pictures (the frame buffers are zeroed at open).
  if (b->size() >= 8 && ReadLe32(b->data() + 4) > b->size() + (1u << 20))
    WriteLe32(b->data() + 4, (uint32_t)(rng() % (b->size() + (1u << 20))));
  if (b->size() >= 36) {
    uint32_t num = ReadLe32(b->data() + 28), den = ReadLe32(b->data() + 32);
    if (den != 0 && num / den > 65536) WriteLe32(b->data() + 28, num & 0xFFFF);
  }
  if (b->size() >= 28) {
    uint32_t w = ReadLe32(b->data() + 20), h = ReadLe32(b->data() + 24);
    if ((w & 0xFFFF) > 1024 && (w & 0x7FFF) == w) WriteLe32(b->data() + 20, w & 0x3FF);
    if ((h & 0xFFFF) > 1024 && (h & 0x7FFF) == h) WriteLe32(b->data() + 24, h & 0x3FF);
    if (ReadLe32(b->data() + 20) > 0x7FFF && rng() % 2) WriteLe32(b->data() + 20, 0xFFFFFF00u);
  }
}

uint32_t g_sink = 0;

// Steps through every frame and walks its packets.
void Exercise(HVOSH m) {
  if (m->current_frame == 0) return;  // the whole-file load stops at the record
  const uint32_t frames = m->frame_count < 40 ? m->frame_count : 40;
  for (uint32_t n = 1; n <= frames; n++) {
    MoveToFrame(m, n);
    CompletePendingRead(m);
    if (m->read_failed) continue;
    FramePacketWalk walk;
    BeginFramePacketWalk(&walk, m->frame_data, m->frame_size, (uint32_t)m->sound_track_count);
    AudioPacketView p;
    uint32_t sum = 0;
    while (NextFramePacket(&walk, &p))
      if (p.usable) sum += m->frame_data[p.body_offset - 1];
    uint64_t video;
    if (GetVideoDataOffset(&walk, &video)) sum += m->frame_data[video] + m->frame_data[m->frame_size - 1];
    g_sink += sum;
  }
}

TEST(OpenFuzz, RandomAndTruncatedContainers) {
  std::mt19937 rng(12345);
  const std::string path = std::string(::testing::TempDir()) + "vosh_fuzz_" + std::to_string(getpid());
  const uint32_t modes[] = {0, OPEN_PRELOAD, OPEN_WHOLE_FILE, OPEN_BUFFER_SIZE, OPEN_NO_INITIAL_FILL, 0x400};
  int opened = 0, failed = 0;
  for (int iter = 0; iter < 3000; iter++) {
    ContainerSpec desc = BaseMovie(rng);
    ContainerLayout layout;
    std::vector<uint8_t> bytes = WriteContainer(desc, &layout);
    if (iter % 10 != 0) Mutate(&bytes, rng, layout.index_offset + 4 * desc.frames.size() + 4);
    ASSERT_TRUE(WriteBytesFile(bytes, path));
    const uint32_t flags = modes[rng() % 6];
    OpenOptions opts = {0, 1 + rng() % 300000, UINT32_MAX, 0, UINT32_MAX, 0, nullptr, nullptr};
    HVOSH m = OpenMovieWithOptions((uint64_t)(uintptr_t)path.c_str(), &opts, flags);
    if (m) {
      opened++;
      Exercise(m);
      VoshCloseMovie(m);
    } else {
      failed++;
      EXPECT_NE(VoshGetErrorText()[0], 0) << iter;
    }
    // The same bytes as a memory image, when the image holds what its header claims.
    if (bytes.size() >= 44 && (uint64_t)ReadLe32(bytes.data() + 4) + 8 <= bytes.size()) {
      HVOSH im = OpenMovieWithOptions((uint64_t)(uintptr_t)bytes.data(), nullptr, OPEN_MEMORY_IMAGE);
      if (im) {
        Exercise(im);
        VoshCloseMovie(im);
      }
    }
  }
  unlink(path.c_str());
  EXPECT_GT(opened, 300);
  EXPECT_GT(failed, 300);
}

}  // namespace
