// Statistics over the most recent frames and the playback summary, on real
// movies decoded through a worker thread against a controlled clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/async.h"
#include "engine/copy.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/stats.h"
#include "engine/utils.h"
#include "player/flat_movie.h"

namespace {

const uint32_t kWorker[1] = {0};
std::atomic<uint32_t> g_now{1000};
uint32_t FakeClock() { return g_now.load(); }

class StatsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!IsWorkerStarted(0)) {
      ASSERT_EQ(1, VoshStartWorkerThread(0));
    }
  }
  void SetUp() override {
    g_now = 1000;
    SetMillisecondSource(FakeClock);
  }
  void TearDown() override {
    VoshCloseMovie(m);
    SetMillisecondSource(nullptr);
  }
  // Opens a 30 frames per second movie of `frames` flat frames from memory.
  void Open(uint32_t frames) {
    std::vector<FlatColour> colours;
    for (uint32_t i = 0; i < frames; ++i) colours.push_back({uint8_t(20 + i % 200), 128, 128});
    image = WriteContainer(FlatMovieSpec(32, 32, 30, 1, colours), &layout);
    m = VoshOpenMovie(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(image.data())), OPEN_MEMORY_IMAGE);
    ASSERT_NE(m, nullptr);
  }
  // Finishes the current frame at time t, as the player's loop does.
  void FinishAt(uint32_t t) {
    g_now = t;
    ASSERT_EQ(1, VoshStartAsyncDecompress(m, kWorker, 1));
    ASSERT_EQ(1, VoshWaitAsyncDecompress(m, -1));
  }
  // Frames 1 .. count, each finishing `step` ms after the one before, except
  // those listed in `longer` (frame, interval).
  uint32_t Play(uint32_t count, uint32_t step, std::vector<std::pair<uint32_t, uint32_t>> longer = {}) {
    uint32_t t = 1000;
    for (uint32_t k = 1; k <= count; ++k) {
      if (k > 1) {
        uint32_t d = step;
        for (auto &l : longer)
          if (l.first == k) d = l.second;
        t += d;
      }
      FinishAt(t);
      if (k < count) VoshAdvanceFrame(m);
    }
    return t;
  }
  uint64_t IndexEntry(uint32_t e) const { return layout.frame_offsets[e]; }

  std::vector<uint8_t> image;
  ContainerLayout layout;
  HVOSH m = nullptr;
};

TEST_F(StatsTest, NothingHappensForNullPointers) {
  Open(3);
  RecentStats r;
  PlaybackSummary s;
  VoshFillRecentStats(nullptr, &r, 0);
  VoshFillRecentStats(m, nullptr, 0);
  VoshFillPlaybackSummary(nullptr, &s);
  VoshFillPlaybackSummary(m, nullptr);
}

TEST_F(StatsTest, BeforeAnyFrameFinishedTheRecordsHoldNoPlayback) {
  Open(3);
  g_now = 5000;
  RecentStats r;
  memset(&r, 0xEE, sizeof r);
  VoshFillRecentStats(m, &r, 0);
  EXPECT_EQ(r.window_frames, 1u);
  EXPECT_EQ(r.window_ms, 1u);
  EXPECT_EQ(r.video_ms, 0u);
  EXPECT_EQ(r.copy_ms, 0u);
  PlaybackSummary s;
  memset(&s, 0xEE, sizeof s);
  VoshFillPlaybackSummary(m, &s);
  EXPECT_EQ(s.frames_played, 0u);
  EXPECT_EQ(s.playback_ms, 0u);
  EXPECT_EQ(s.slowest_ms, 0u);
  EXPECT_EQ(s.frame_count, 3u);
}

TEST_F(StatsTest, FirstFrameWindowReachesBackOneFrameDuration) {
  Open(5);
  FinishAt(1000);
  RecentStats r;
  VoshFillRecentStats(m, &r, 0);
  EXPECT_EQ(r.window_frames, 1u);
  EXPECT_EQ(r.window_ms, 33u);  // 1000 / 30 before the first frame's end
  EXPECT_EQ(r.last_frame, 1u);
  VoshAdvanceFrame(m);
  VoshFillRecentStats(m, &r, 0);
  EXPECT_EQ(r.window_frames, 1u);
  EXPECT_EQ(r.window_ms, 33u);
  // Bytes of frame 2 (the current one) at 30 frames per second.
  EXPECT_EQ(r.data_rate, (IndexEntry(2) - IndexEntry(1)) * 30);
}

TEST_F(StatsTest, WindowSizesFollowTheRingAndTheFramesPlayed) {
  Open(120);
  Play(99, 40, {{80, 100}});
  VoshAdvanceFrame(m);  // frame 100 is current
  ASSERT_EQ(m->current_frame, 100u);
  RecentStats r;
  VoshFillRecentStats(m, &r, 0);
  EXPECT_EQ(r.window_frames, 29u);
  EXPECT_EQ(r.window_ms, 28u * 40 + 100);
  EXPECT_EQ(r.last_frame, 99u);
  EXPECT_EQ(r.rate_num, 30u);
  EXPECT_EQ(r.rate_den, 1u);
  EXPECT_EQ(r.data_rate, (IndexEntry(100) - IndexEntry(71)) * 30 / 29);
  for (uint32_t n : {30u, 31u, 1000u}) {
    VoshFillRecentStats(m, &r, n);
    EXPECT_EQ(r.window_frames, 29u) << n;
  }
  VoshFillRecentStats(m, &r, 5);
  EXPECT_EQ(r.window_frames, 5u);
  EXPECT_EQ(r.window_ms, 200u);
  // Early in the movie the window shrinks to the frames played.
  VoshCloseMovie(m);
  m = nullptr;
  Open(120);
  Play(4, 40);
  VoshAdvanceFrame(m);  // frame 5 current, four frames finished
  VoshFillRecentStats(m, &r, 0);
  EXPECT_EQ(r.window_frames, 4u);
  EXPECT_EQ(r.window_ms, 3u * 40 + 33);
  // A window of exactly the current frame's number is whole once that frame
  // finished too: frames 1 .. 5, back to the virtual end before frame 1.
  FinishAt(1000 + 4 * 40);
  VoshFillRecentStats(m, &r, 5);
  EXPECT_EQ(r.window_frames, 5u);
  EXPECT_EQ(r.window_ms, 4u * 40 + 33);
  EXPECT_EQ(r.data_rate, (IndexEntry(5) - IndexEntry(0)) * 30 / 5);
}

TEST_F(StatsTest, SlowestIntervalsNameTheFrameFinishedBeforeThem) {
  Open(120);
  const uint32_t end = Play(100, 40, {{50, 90}, {70, 60}, {30, 50}});
  g_now = end + 10;
  PlaybackSummary s;
  VoshFillPlaybackSummary(m, &s);
  EXPECT_EQ(s.slowest_ms, 90u);
  EXPECT_EQ(s.slowest_frame, 49u);
  EXPECT_EQ(s.second_ms, 60u);
  EXPECT_EQ(s.second_frame, 69u);
  EXPECT_EQ(s.frames_played, 100u);
  EXPECT_EQ(s.playback_ms, end + 10 - 1000);
  EXPECT_EQ(s.frames_skipped, 0u);
  EXPECT_EQ(s.frame_count, 120u);
  EXPECT_EQ(s.width, 32u);
  EXPECT_EQ(s.height, 32u);
  EXPECT_EQ(s.file_rate_num, 30u);
  EXPECT_EQ(s.rate_num, 30u);
  EXPECT_EQ(s.memory_used, m->memory_used);
  EXPECT_EQ(s.read_ahead_size, m->read_ahead_size);
  EXPECT_EQ(s.read_ahead_start_frame, uint32_t(m->read_ahead_start_frame) + 1);
  const uint64_t D = layout.total_size - layout.frame_offsets[0];
  EXPECT_EQ(s.data_rate, uint32_t(D * 30 / 120));
  EXPECT_EQ(s.average_frame_size, uint32_t(D / 120));
}

TEST_F(StatsTest, AnOpenCopyIntervalIsClosedByEitherCall) {
  Open(4);
  FinishAt(1000);
  std::vector<uint8_t> pixels(32 * 32 * 4);
  g_now = 1010;
  VoshCopyFrameToPixels(m, pixels.data(), 128, 32, 0, 0, 5);
  g_now = 1017;
  RecentStats r;
  VoshFillRecentStats(m, &r, 0);
  PlaybackSummary s;
  g_now = 1030;  // no copy is open any more: nothing further is counted
  VoshFillPlaybackSummary(m, &s);
  EXPECT_EQ(s.copy_ms, 7u);
  // The copy time goes into the ring at the next frame's end.
  VoshAdvanceFrame(m);
  FinishAt(1040);
  VoshFillRecentStats(m, &r, 1);
  EXPECT_EQ(r.copy_ms, 7u);
  EXPECT_EQ(r.window_ms, 40u);
}

TEST_F(StatsTest, WholeFileLoadHasNoStatisticsAndIsRefused) {
  const std::string path = ::testing::TempDir() + "vosh_stats_whole_" + std::to_string(getpid()) + ".vsh";
  std::vector<FlatColour> colours(3, FlatColour{100, 128, 128});
  ASSERT_TRUE(WriteContainerFile(FlatMovieSpec(32, 32, 30, 1, colours), path));
  m = VoshOpenMovie(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(path.c_str())), OPEN_WHOLE_FILE);
  ASSERT_NE(m, nullptr);
  RecentStats r;
  memset(&r, 0xEE, sizeof r);
  VoshFillRecentStats(m, &r, 0);
  PlaybackSummary s;
  memset(&s, 0xEE, sizeof s);
  VoshFillPlaybackSummary(m, &s);
  RecentStats zero_r;
  memset(&zero_r, 0, sizeof zero_r);
  PlaybackSummary zero_s;
  memset(&zero_s, 0, sizeof zero_s);
  EXPECT_EQ(0, memcmp(&r, &zero_r, sizeof r));
  EXPECT_EQ(0, memcmp(&s, &zero_s, sizeof s));
  remove(path.c_str());
}

}  // namespace
