// Whole second-generation movies from the test movie writer, played start
// to end through the public calls in every source mode and over 1 to 8
// workers, against a synchronous decode of the same movie; the background
// threads' lifetime across opens and closes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/async.h"
#include "engine/background.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "moviewriter/container_writer.h"
#include "moviewriter/gen2_frame_writer.h"

namespace {

const uint32_t kW = 96, kH = 288;  // eight slices, the last a single band
const uint32_t kFrames = 8;
const uint32_t kWorkers[8] = {0, 1, 2, 3, 4, 5, 6, 7};

typedef std::vector<uint8_t> Picture;  // luma then both chroma planes, packed

void EnsureWorkers() {
  for (int n = 0; n < 8; ++n)
    if (!IsWorkerStarted(n)) {
      ASSERT_EQ(VoshStartWorkerThread(n), 1);
    }
}

Gen2Picture Pattern(std::mt19937 &rng) {
  Gen2Picture src = MakeGen2Picture(kW, kH, false, false);
  uint32_t phase = rng() % 17;
  for (uint32_t p = 0; p < 3; ++p) {
    const uint32_t pw = Gen2PlaneWidth(src, p);
    for (uint64_t i = 0; i < src.planes[p].size(); ++i) {
      const uint32_t x = uint32_t(i % pw), y = uint32_t(i / pw);
      if ((x / 24 + y / 20 + phase) & 1)
        src.planes[p][i] = uint8_t(60 + (x * 3 + y) % 50);
      else
        src.planes[p][i] = uint8_t(180 + rng() % 9);
    }
  }
  return src;
}

std::vector<uint8_t> InterFrame(std::mt19937 &rng, const SliceLayout &l) {
  Gen2FrameDesc inter = MakeGen2Frame(kW, kH, false, l.slice_count, l.end_row, 20);
  for (Gen2BlockDesc &b : inter.blocks) {
    b.type = uint8_t(rng() % 4);
    b.qi = uint8_t(8 + rng() % 6);
    b.chroma_residual = rng() & 1;
    for (int q = 0; q < 8; ++q) b.mv[q] = int32_t(rng() % 41) - 20;
    for (uint32_t p = 0; p < G2W_PLANES; ++p)
      for (int i = 0; i < 16; ++i) b.dc[p][i] = b.type == 0 ? int32_t(rng() % 2048) : int32_t(rng() % 200) - 100;
    const int levels = int(rng() % 12);
    for (int k = 0; k < levels; ++k)
      b.ac.push_back(Gen2AcLevel{uint8_t(rng() % 3), uint8_t(rng() % 16), uint8_t(1 + rng() % 63),
                                 int16_t(rng() % 2 ? 1 + rng() % 4 : -1 - int(rng() % 4))});
  }
  return WriteGen2Frame(&inter);
}

// A movie of key and inter frames with one sound track whose packets the
// frame walk steps over; frame 1's source picture for a sanity check.
struct TestMovie {
  std::vector<uint8_t> bytes;
  std::string path;
  Gen2Picture first;
};

const TestMovie &GetMovie() {
  static TestMovie movie;
  if (!movie.bytes.empty()) return movie;
  std::mt19937 rng(1234);
  SliceLayout l;
  MakeGen2Layout(&l, kW, kH, 3);
  ContainerSpec desc;
  desc.signature = WriterSignature("VS2", 'i');
  desc.width = kW;
  desc.height = kH;
  desc.rate_num = 30;
  desc.rate_den = 1;
  desc.video_flags = 3;
  desc.tracks.push_back(WriterTrack{4096, 0x80000000u | 22050, 0});
  for (uint32_t f = 0; f < kFrames; ++f) {
    WriterFrame frame;
    frame.key = f % 4 == 0;
    AppendAudioPacket(&frame.bytes, 256, std::vector<uint8_t>(40 + f * 4, uint8_t(f)));
    std::vector<uint8_t> video;
    if (frame.key) {
      Gen2Picture src = Pattern(rng);
      if (f == 0) movie.first = src;
      Gen2FrameDesc key = MakeGen2Frame(kW, kH, true, l.slice_count, l.end_row, 40);
      EncodeIntraWithAc(src, 10, &key);
      video = WriteGen2Frame(&key);
    } else {
      video = InterFrame(rng, l);
    }
    frame.bytes.insert(frame.bytes.end(), video.begin(), video.end());
    desc.frames.push_back(frame);
  }
  movie.bytes = WriteContainer(desc);
  movie.path = ::testing::TempDir() + "vosh_playback_movie_" + std::to_string(getpid()) + ".bin";
  EXPECT_TRUE(WriteBytesFile(movie.bytes, movie.path));
  return movie;
}

Picture Capture(MovieRecord *m) {
  Picture out;
  const FrameBufferSet *fb = m->frame_buffers;
  const PlaneBuffer *set = fb->sets[fb->current_set];
  for (uint32_t p = 0; p < 3; ++p) {
    uint32_t w = p ? kW / 2 : kW, h = p ? kH / 2 : kH;
    for (uint32_t y = 0; y < h; ++y)
      out.insert(out.end(), set[p].pixels + uint64_t(y) * set[p].stride,
                 set[p].pixels + uint64_t(y) * set[p].stride + w);
  }
  return out;
}

HVOSH Open(uint64_t source, uint32_t flags) {
  VoshOverrideFrameRate(0, 0);  // as fast as possible: no waiting on the clock
  return VoshOpenMovie(source, flags | OPEN_RATE_OVERRIDE);
}

HVOSH OpenMode(const std::string &mode, int *fd) {
  const TestMovie &mv = GetMovie();
  *fd = -1;
  if (mode == "memory") return Open(uint64_t(uintptr_t(mv.bytes.data())), OPEN_MEMORY_IMAGE);
  if (mode == "descriptor") {
    *fd = open(mv.path.c_str(), O_RDONLY);
    return Open(uint64_t(*fd), OPEN_FILE_DESCRIPTOR);
  }
  if (mode == "preload") return Open(uint64_t(uintptr_t(mv.path.c_str())), OPEN_PRELOAD);
  return Open(uint64_t(uintptr_t(mv.path.c_str())), 0);
}

// Every frame decoded on the caller's thread, one job for all slices.
std::vector<Picture> DecodeSynchronously() {
  int fd;
  HVOSH m = OpenMode("memory", &fd);
  EXPECT_NE(m, nullptr);
  std::vector<Picture> frames;
  if (!m) return frames;
  for (uint32_t f = 0; f < kFrames; ++f) {
    uint32_t run = m->slice_layout.slice_count << 4;
    EXPECT_EQ(DecodeFrame(m, DECODE_OPEN_FRAME | DECODE_CLOSE_FRAME | run), 0);
    EXPECT_EQ(m->last_finished_frame, f + 1);
    frames.push_back(Capture(m));
    VoshAdvanceFrame(m);
  }
  VoshCloseMovie(m);
  return frames;
}

// The player's loop: due test, wait, step, start the next decode.  The
// decode of frame 1 of the next pass is still in flight at the close.
std::vector<Picture> Play(HVOSH m, int workers, bool first_pass = true) {
  std::vector<Picture> frames;
  if (first_pass) {
    EXPECT_EQ(VoshStartAsyncDecompress(m, kWorkers, workers), 1);
  }
  for (uint32_t f = 0; f < kFrames; ++f) {
    int spins = 0;
    while (VoshShouldWait(m) && spins++ < 5000) SleepMilliseconds(1);
    EXPECT_LT(spins, 5000) << "frame " << f + 1 << " never became due";
    EXPECT_EQ(VoshWaitAsyncDecompress(m, -1), 1);
    EXPECT_EQ(m->last_finished_frame, f + 1);
    frames.push_back(Capture(m));
    VoshAdvanceFrame(m);
    EXPECT_EQ(VoshStartAsyncDecompress(m, kWorkers, workers), 1);
  }
  return frames;
}

const std::vector<Picture> &Reference() {
  static std::vector<Picture> ref = DecodeSynchronously();
  return ref;
}

TEST(PlaybackTest, SynchronousDecodeShowsTheWrittenPictures) {
  const std::vector<Picture> &ref = Reference();
  ASSERT_EQ(ref.size(), kFrames);
  const Gen2Picture &src = GetMovie().first;
  double psnr = Gen2PlanePsnr(ref[0].data(), kW, src.planes[0].data(), kW, kW, kH);
  EXPECT_GT(psnr, 25.0);
  // The inter frames change the picture.
  EXPECT_NE(ref[1], ref[0]);
}

TEST(PlaybackTest, OneToEightWorkersGiveTheSynchronousPictures) {
  EnsureWorkers();
  const std::vector<Picture> &ref = Reference();
  for (int workers = 1; workers <= 8; ++workers) {
    int fd;
    HVOSH m = OpenMode("memory", &fd);
    ASSERT_NE(m, nullptr);
    std::vector<Picture> got = Play(m, workers);
    VoshCloseMovie(m);
    ASSERT_EQ(got.size(), ref.size());
    for (uint32_t f = 0; f < kFrames; ++f) EXPECT_TRUE(got[f] == ref[f]) << workers << " workers, frame " << f + 1;
  }
}

TEST(PlaybackTest, EverySourceModeGivesTheSameFrames) {
  EnsureWorkers();
  const std::vector<Picture> &ref = Reference();
  for (const char *mode : {"path", "descriptor", "preload", "memory"}) {
    int fd;
    HVOSH m = OpenMode(mode, &fd);
    ASSERT_NE(m, nullptr) << mode << ": " << VoshGetErrorText();
    std::vector<Picture> got = Play(m, 3);
    // A second pass after the wrap to frame 1.
    std::vector<Picture> again = Play(m, 8, false);
    VoshCloseMovie(m);
    if (fd >= 0) close(fd);
    ASSERT_EQ(got.size(), ref.size());
    for (uint32_t f = 0; f < kFrames; ++f) {
      EXPECT_TRUE(got[f] == ref[f]) << mode << ", frame " << f + 1;
      EXPECT_TRUE(again[f] == ref[f]) << mode << ", second pass, frame " << f + 1;
    }
  }
  // The whole-file load holds the file's bytes and plays nothing.
  const TestMovie &mv = GetMovie();
  HVOSH whole = VoshOpenMovie(uint64_t(uintptr_t(mv.path.c_str())), OPEN_WHOLE_FILE);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(memcmp(whole->preloaded_data, mv.bytes.data(), mv.bytes.size()), 0);
  EXPECT_EQ(VoshStartAsyncDecompress(whole, kWorkers, 8), 0);
  EXPECT_EQ(VoshShouldWait(whole), 0);
  VoshCloseMovie(whole);
}

TEST(PlaybackTest, ClosingTheLastMovieJoinsTheIoThreadAndReopenRestartsIt) {
  EnsureWorkers();
  const std::vector<Picture> &ref = Reference();
  ASSERT_FALSE(IsIoThreadRunning());
  int fd;
  HVOSH a = OpenMode("path", &fd);
  HVOSH b = OpenMode("path", &fd);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(IsIoThreadRunning());
  EXPECT_EQ(GetIoThreadUsers(), 2u);
  EXPECT_TRUE(IsMovieListed(a));
  EXPECT_TRUE(IsMovieListed(b));
  // Two movies played side by side on the same workers and IO thread.
  VoshStartAsyncDecompress(a, kWorkers, 8);
  VoshStartAsyncDecompress(b, kWorkers, 5);
  for (uint32_t f = 0; f < kFrames; ++f) {
    for (HVOSH m : {a, b}) {
      int spins = 0;
      while (VoshShouldWait(m) && spins++ < 5000) SleepMilliseconds(1);
      ASSERT_EQ(VoshWaitAsyncDecompress(m, -1), 1);
      EXPECT_TRUE(Capture(m) == ref[f]) << "frame " << f + 1;
      VoshAdvanceFrame(m);
      VoshStartAsyncDecompress(m, kWorkers, m == a ? 8 : 5);
    }
  }
  VoshCloseMovie(a);
  EXPECT_TRUE(IsIoThreadRunning());
  EXPECT_EQ(GetIoThreadUsers(), 1u);
  EXPECT_FALSE(IsMovieListed(a));
  VoshCloseMovie(b);
  EXPECT_FALSE(IsIoThreadRunning());
  EXPECT_EQ(GetIoThreadUsers(), 0u);
  EXPECT_EQ(GetIoCurrentMovie(), nullptr);

  HVOSH c = OpenMode("path", &fd);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(IsIoThreadRunning());
  EXPECT_STREQ(GetIoThreadName(), "Vosh IO");
  std::vector<Picture> got = Play(c, 2);
  VoshCloseMovie(c);
  EXPECT_FALSE(IsIoThreadRunning());
  for (uint32_t f = 0; f < kFrames; ++f) EXPECT_TRUE(got[f] == ref[f]) << "frame " << f + 1;

  // A movie held in memory never uses the IO thread.
  HVOSH d = OpenMode("memory", &fd);
  ASSERT_NE(d, nullptr);
  EXPECT_FALSE(IsIoThreadRunning());
  VoshCloseMovie(d);
}

TEST(PlaybackTest, PausedMovieIsNotDueAndCloseWaitsForTheDecode) {
  EnsureWorkers();
  int fd;
  HVOSH m = OpenMode("preload", &fd);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(VoshStartAsyncDecompress(m, kWorkers, 8), 1);
  ASSERT_EQ(VoshWaitAsyncDecompress(m, -1), 1);
  VoshAdvanceFrame(m);
  EXPECT_EQ(VoshSetPaused(m, 1), 1u);
  EXPECT_EQ(VoshShouldWait(m), 1);
  EXPECT_EQ(VoshSetPaused(m, 0), 0u);
  EXPECT_EQ(VoshShouldWait(m), 0);
  // Closed with every run of frame 2 still posted.
  ASSERT_EQ(VoshStartAsyncDecompress(m, kWorkers, 8), 1);
  VoshCloseMovie(m);
  VoshCloseMovie(nullptr);
}

}  // namespace
