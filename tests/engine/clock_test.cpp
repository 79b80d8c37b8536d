// The playback clock against an injected millisecond source: skip pattern,
// due test, pause and resume, the rewind rule across the 32-bit wrap,
// looping and frame positioning.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "engine/container.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "moviewriter/container_writer.h"

namespace {

uint32_t g_now = 1000;
uint32_t FakeClock() { return g_now; }

int g_enable_calls = 0;
int g_paused_calls = 0;
int FakeSetEnabled(SoundTrack *t, uint32_t on) {
  ++g_enable_calls;
  t->enabled.store(on);
  return static_cast<int>(on);
}
void FakeSetPaused(SoundTrack *t, uint32_t p) {
  ++g_paused_calls;
  t->paused.store(p);
}

// A movie held in memory: frames of 16 bytes each, no reader, no codec.
struct FakeMovie {
  std::unique_ptr<MovieRecord> record{new MovieRecord()};
  std::vector<uint64_t> index;
  std::vector<uint8_t> data;
  std::vector<uint32_t> rings[STATS_RING_COUNT];
  SoundTrack tracks[1]{};
  std::vector<uint8_t> ring;
  uint32_t played[1] = {0};
  MovieRecord *m() { return record.get(); }

  FakeMovie(uint32_t frames, uint32_t num, uint32_t den, bool sound) {
    MovieRecord *r = record.get();
    r->frame_count = frames;
    r->rate_num = r->file_rate_num = num;
    r->rate_den = r->file_rate_den = den;
    r->tolerance_ms = num ? static_cast<int32_t>(uint64_t(den) * 2000 / num) : 2000;
    r->movie_flags = MOVIE_NO_BACKGROUND_READ;
    r->signature = MakeSignature('V', 'S', 'H', 'i');
    r->slice_layout.slice_count = 2;
    r->open_complete = 1;
    for (uint32_t i = 0; i <= frames; ++i) index.push_back(uint64_t(100 + 16 * i) | (i == 0 ? 1 : 0));
    data.assign(16 * frames + 64, 0);
    r->frame_index = index.data();
    r->preloaded_data = data.data();
    r->stats_size = num && den ? (num + den / 2) / den : 1;
    if (r->stats_size == 0) r->stats_size = 1;
    for (uint32_t k = 0; k < STATS_RING_COUNT; ++k) {
      rings[k].assign(r->stats_size, 0);
      r->stats_rings[k] = rings[k].data();
    }
    tracks[0].speed = 0x10000;
    r->tracks = tracks;
    InitRecursiveMutex(&r->sound_lock);
    InitRecursiveMutex(&r->io_request_lock);
    if (sound) {
      ring.assign(4096, 0x55);
      SoundTrack *t = &tracks[0];
      t->start = ring.data();
      t->end = ring.data() + ring.size();
      t->size = static_cast<uint32_t>(ring.size());
      t->write.store(t->start);
      t->read.store(t->start);
      t->service_code = -5;
      t->fill_target = 1024;
      t->last_full_lead_frame = frames;
      t->ops.SetEnabled = FakeSetEnabled;
      t->ops.SetPaused = FakeSetPaused;
      r->played_tracks = played;
      r->open_track_count = 1;
      r->sound_on = 1;
    }
    MoveToFrame(r, 1);
  }
  ~FakeMovie() {
    DestroyRecursiveMutex(&record->sound_lock);
    DestroyRecursiveMutex(&record->io_request_lock);
  }
};

// Decodes nothing: opens and closes the current frame at the fake time.
void FinishFrame(MovieRecord *m) {
  ASSERT_NE(BeginFrame(m, g_now), nullptr);
  EndFrame(m, g_now);
}

class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_now = 1000;
    g_enable_calls = 0;
    g_paused_calls = 0;
    SetMillisecondSource(FakeClock);
  }
  void TearDown() override { SetMillisecondSource(nullptr); }
};

TEST_F(ClockTest, LateFramesWithSoundSkipFourOfFive) {
  FakeMovie f(100, 25, 1, true);
  MovieRecord *m = f.m();
  FinishFrame(m);  // clock starts at 1000, next frame due at 1040
  g_now = 1040 + 200;
  std::vector<int> got;
  for (int i = 0; i < 10; ++i) got.push_back(DecideFrameSkip(m, 0));
  EXPECT_EQ(got, (std::vector<int>{1, 1, 1, 1, 0, 1, 1, 1, 1, 0}));
  EXPECT_EQ(m->frames_skipped, 8);
  EXPECT_EQ(m->resync_wanted, 0u);
}

TEST_F(ClockTest, ResyncOnlyBeyond725Milliseconds) {
  FakeMovie f(100, 25, 1, true);
  MovieRecord *m = f.m();
  FinishFrame(m);
  g_now = 1040 + 725;
  EXPECT_EQ(DecideFrameSkip(m, 0), 1);
  EXPECT_EQ(m->resync_wanted, 0u);
  g_now = 1040 + 726;
  EXPECT_EQ(DecideFrameSkip(m, 0), 1);
  EXPECT_EQ(m->resync_wanted, 1u);
  // The next step resynchronises: tracks off and on, the clock restarted.
  VoshAdvanceFrame(m);
  EXPECT_EQ(m->sound_restarts, 1u);
  EXPECT_EQ(g_enable_calls, 2);
  EXPECT_EQ(m->resync_wanted, 0u);
  EXPECT_EQ(m->clock_start, 0u);
}

TEST_F(ClockTest, WithinToleranceIsShown) {
  FakeMovie f(100, 25, 1, true);
  MovieRecord *m = f.m();
  FinishFrame(m);
  g_now = 1040 + 80;  // tolerance: two frame periods
  EXPECT_EQ(DecideFrameSkip(m, 0), 0);
  EXPECT_EQ(m->skip_state, uint32_t(SKIP_SHOW));
}

TEST_F(ClockTest, WithoutSoundLateFramesRebaseTheClock) {
  FakeMovie f(100, 25, 1, false);
  MovieRecord *m = f.m();
  FinishFrame(m);
  g_now = 5000;
  EXPECT_EQ(DecideFrameSkip(m, 0), 0);
  EXPECT_EQ(m->clock_start, 5000u);
  EXPECT_EQ(m->frames_skipped, 0);
  // The due test restarts a clock more than twice the tolerance behind.
  VoshAdvanceFrame(m);
  FinishFrame(m);
  g_now = 5000 + 80 + 161;
  EXPECT_EQ(VoshShouldWait(m), 0);
  EXPECT_EQ(m->clock_start, 0u);
}

// Without sound the due test restarts the clock only beyond twice the
// tolerance, compared without overflow for every tolerance a file's rate
// can give: up to INT32_MAX.
TEST_F(ClockTest, DueTestRestartsBeyondTwiceAnyTolerance) {
  const struct {
    int32_t tolerance, late;
    bool restarts;
  } cases[] = {{80, 160, false},         {80, 161, true},          {0, 0, false},
               {0, 1, true},             {0x3FFFFFFF, INT32_MAX, true}, {0x40000000, INT32_MAX, false},
               {INT32_MAX, INT32_MAX, false}};
  for (const auto &c : cases) {
    g_now = 1000;
    FakeMovie f(100, 25, 1, false);
    MovieRecord *m = f.m();
    m->tolerance_ms = c.tolerance;
    FinishFrame(m);  // clock starts at 1000, next frame due at 1040
    g_now = 1040 + static_cast<uint32_t>(c.late);
    EXPECT_EQ(VoshShouldWait(m), 0);
    EXPECT_EQ(m->clock_start == 0, c.restarts) << c.tolerance << " " << c.late;
  }
  // A file whose frame-rate denominator is 0xFFFFFFFF: the open's tolerance
  // is INT32_MAX, and a frame due now is not late.
  g_now = 1000;
  ContainerSpec desc = MakeTestMovieSpec(MakeSignature('V', 'S', '2', 'i'), 2, 64);
  desc.rate_num = 1;
  desc.rate_den = 0xFFFFFFFFu;
  const std::vector<uint8_t> image = WriteContainer(desc);
  HVOSH m = VoshOpenMovie(uint64_t(uintptr_t(image.data())), OPEN_MEMORY_IMAGE);
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  EXPECT_EQ(m->tolerance_ms, INT32_MAX);
  FinishFrame(m);
  EXPECT_EQ(VoshShouldWait(m), 0);
  EXPECT_EQ(m->clock_start, 1000u);
  VoshCloseMovie(m);
}

TEST_F(ClockTest, AsFastAsPossibleNeverWaitsOrSkips) {
  FakeMovie f(100, 0, 0, true);
  MovieRecord *m = f.m();
  for (int i = 0; i < 5; ++i) {
    FinishFrame(m);
    VoshAdvanceFrame(m);
    EXPECT_EQ(VoshShouldWait(m), 0);
    EXPECT_EQ(DecideFrameSkip(m, 0), 0);
  }
  EXPECT_EQ(m->tolerance_ms, 2000);
}

TEST_F(ClockTest, DueTestFollowsTheFrameRate) {
  FakeMovie f(100, 30000, 1001, false);
  MovieRecord *m = f.m();
  EXPECT_EQ(VoshShouldWait(m), 0);  // the first frame is always due
  FinishFrame(m);
  VoshAdvanceFrame(m);
  // 1001 * 1000 / 30000 = 33 ms per frame (truncated).
  g_now = 1000 + 32;
  EXPECT_EQ(VoshShouldWait(m), 1);
  g_now = 1000 + 33;
  EXPECT_EQ(VoshShouldWait(m), 0);
  FinishFrame(m);
  VoshAdvanceFrame(m);
  g_now = 1000 + 65;
  EXPECT_EQ(VoshShouldWait(m), 1);
  g_now = 1000 + 66;  // 2 * 1001 * 1000 / 30000 = 66.73 -> 66
  EXPECT_EQ(VoshShouldWait(m), 0);
}

TEST_F(ClockTest, PauseAndResumeKeepTheLatenessWithSound) {
  FakeMovie f(100, 25, 1, true);
  MovieRecord *m = f.m();
  FinishFrame(m);
  VoshAdvanceFrame(m);
  g_now = 1020;
  EXPECT_EQ(VoshShouldWait(m), 1);
  EXPECT_EQ(VoshSetPaused(m, 1), 1u);
  EXPECT_EQ(g_paused_calls, 1);
  g_now = 60000;
  EXPECT_EQ(VoshShouldWait(m), 1);  // paused
  EXPECT_EQ(VoshSetPaused(m, 1), 1u);
  EXPECT_EQ(VoshSetPaused(m, 0), 0u);
  EXPECT_EQ(m->clock_start, 60000u - 20u);
  g_now = 60000 + 19;
  EXPECT_EQ(VoshShouldWait(m), 1);
  g_now = 60000 + 20;
  EXPECT_EQ(VoshShouldWait(m), 0);
  // The interval spanning the pause is not a slow frame.
  FinishFrame(m);
  EXPECT_LT(m->slowest_ms, 1000u);
}

TEST_F(ClockTest, ResumeWithoutSoundDoesNotStall) {
  FakeMovie f(1000, 25, 1, false);
  MovieRecord *m = f.m();
  for (int i = 0; i < 100; ++i) {
    FinishFrame(m);
    VoshAdvanceFrame(m);
    g_now += 40;
    ASSERT_EQ(VoshShouldWait(m), 0) << i;
  }
  VoshSetPaused(m, 1);
  g_now += 5000;
  VoshSetPaused(m, 0);
  // At most one frame period until the next frame, never the 4 s played.
  EXPECT_EQ(VoshShouldWait(m), 1);
  g_now += 40;
  EXPECT_EQ(VoshShouldWait(m), 0);
}

TEST_F(ClockTest, RewindRuleAcrossTheClockWrap) {
  FakeMovie f(3, 25, 1, true);
  MovieRecord *m = f.m();
  g_now = 0xFFFFF000u;
  m->rewind_time = 0;
  MoveToFrame(m, 1);
  EXPECT_EQ(m->rewind_time, 0xFFFFF000u);
  g_now = 0xFFFFF000u + 300000u;  // wrapped past 0
  MoveToFrame(m, 1);
  EXPECT_EQ(m->rewind_resync, 0u);
  g_now = 0xFFFFF000u + 300001u;
  MoveToFrame(m, 1);
  EXPECT_EQ(m->rewind_resync, 1u);
  EXPECT_EQ(m->rewind_time, g_now);
  // The next frame opened restarts the clock and the sound tracks.
  g_enable_calls = 0;
  m->clock_start = 1234;
  ASSERT_NE(BeginFrame(m, g_now), nullptr);
  EXPECT_EQ(m->rewind_resync, 0u);
  EXPECT_EQ(g_enable_calls, 2);
  EXPECT_EQ(m->clock_start, 0u);
}

TEST_F(ClockTest, LoopingWrapsToFrameOne) {
  FakeMovie f(3, 25, 1, false);
  MovieRecord *m = f.m();
  std::vector<uint32_t> seen;
  for (int i = 0; i < 7; ++i) {
    seen.push_back(m->current_frame);
    FinishFrame(m);
    VoshAdvanceFrame(m);
  }
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2, 3, 1, 2, 3, 1}));
  EXPECT_EQ(m->frames_finished, 7u);
}

TEST_F(ClockTest, OneFrameMovieKeepsItsClockWhenLooping) {
  FakeMovie f(1, 10, 1, false);
  MovieRecord *m = f.m();
  for (int pass = 0; pass < 5; ++pass) {
    ASSERT_NE(BeginFrame(m, g_now), nullptr) << pass;
    EndFrame(m, g_now);
    VoshAdvanceFrame(m);
    EXPECT_EQ(m->current_frame, 1u);
    g_now += 50;
    EXPECT_EQ(VoshShouldWait(m), 1) << pass;  // due only after 100 ms
    g_now += 50;
    EXPECT_EQ(VoshShouldWait(m), 0) << pass;
    g_now += pass;  // each pass a little slower than the one before
  }
  EXPECT_EQ(m->frames_finished, 5u);
  // The slow passes are those of frame 1, the only frame there is.
  EXPECT_EQ(m->slowest_ms, 103u);
  EXPECT_EQ(m->slowest_frame, 1u);
  EXPECT_EQ(m->second_ms, 102u);
  EXPECT_EQ(m->second_frame, 1u);
}

TEST_F(ClockTest, MoveToFrameTakesTheFrameFromTheIndex) {
  FakeMovie f(10, 25, 1, false);
  MovieRecord *m = f.m();
  MoveToFrame(m, 0);
  EXPECT_EQ(m->current_frame, 1u);
  EXPECT_EQ(m->frame_is_key, 1u);
  EXPECT_EQ(m->frame_data, f.data.data());
  MoveToFrame(m, 4);
  EXPECT_EQ(m->current_frame, 4u);
  EXPECT_EQ(m->previous_frame, 1u);
  EXPECT_EQ(m->frame_offset, 100u + 48u);
  EXPECT_EQ(m->frame_size, 16u);
  EXPECT_EQ(m->frame_is_key, 0u);
  EXPECT_EQ(m->frame_data, f.data.data() + 48);
  EXPECT_EQ(m->requested_frame, 4u);
  // A number past the end stays inside the index.
  MoveToFrame(m, 99);
  EXPECT_EQ(m->current_frame, 10u);
  EXPECT_EQ(m->frame_data, f.data.data() + 144);
}

TEST_F(ClockTest, FailedReadOnlyRenumbers) {
  FakeMovie f(10, 25, 1, false);
  MovieRecord *m = f.m();
  m->read_failed = 1;
  uint8_t *before = m->frame_data;
  MoveToFrame(m, 5);
  EXPECT_EQ(m->current_frame, 5u);
  EXPECT_EQ(m->frame_data, before);
  EXPECT_EQ(BeginFrame(m, g_now), nullptr);
  EXPECT_EQ(VoshShouldWait(m), 0);
}

TEST_F(ClockTest, TestOnlyDecisionCountsTheFrameAsShown) {
  FakeMovie f(100, 25, 1, true);
  MovieRecord *m = f.m();
  FinishFrame(m);
  g_now = 1040 + 300;
  EXPECT_EQ(DecideFrameSkip(m, 1), 1);
  EXPECT_EQ(m->frames_skipped, 0);
  EXPECT_EQ(m->skips_in_row, 1u);
  VoshAdvanceFrame(m);
  EXPECT_EQ(m->frames_skipped, 0);
}

TEST_F(ClockTest, UndrawnLateFrameIsCountedAtTheStep) {
  FakeMovie f(100, 25, 1, true);
  MovieRecord *m = f.m();
  FinishFrame(m);
  g_now = 1040 + 300;
  VoshAdvanceFrame(m);
  EXPECT_EQ(m->frames_skipped, 1);
}

TEST_F(ClockTest, EndFrameKeepsTheSlowestIntervalsAndSeedsTheRing) {
  FakeMovie f(100, 25, 1, false);
  MovieRecord *m = f.m();
  FrameBufferSet fb{};
  fb.set_count = 2;
  m->frame_buffers = &fb;
  uint32_t steps[] = {40, 40, 90, 40, 60, 40};
  FinishFrame(m);
  EXPECT_EQ(fb.current_set, 1u);
  // The entry before the newest lies one file frame period earlier.
  uint32_t newest = static_cast<uint32_t>(m->stats_index);
  uint32_t older = newest + 1 < m->stats_size ? newest + 1 : 0;
  EXPECT_EQ(m->stats_rings[0][newest] - m->stats_rings[0][older], 40u);
  for (uint32_t d : steps) {
    VoshAdvanceFrame(m);
    g_now += d;
    FinishFrame(m);
  }
  EXPECT_EQ(fb.current_set, 1u);  // seven rotations of two sets
  EXPECT_EQ(m->slowest_ms, 90u);
  EXPECT_EQ(m->slowest_frame, 3u);
  EXPECT_EQ(m->second_ms, 60u);
  EXPECT_EQ(m->second_frame, 5u);
  EXPECT_EQ(m->frames_finished, 7u);
  EXPECT_EQ(m->draw_start, 0xFFFFFFFFu);
  m->frame_buffers = nullptr;
}

TEST_F(ClockTest, SwitchingSoundOnRealignsTheRing) {
  FakeMovie f(100, 25, 1, true);
  MovieRecord *m = f.m();
  SoundTrack *t = &m->tracks[0];
  FinishFrame(m);
  VoshAdvanceFrame(m);
  // Too little buffered: silence is queued in front, up to the fill target.
  SetSoundTracksEnabled(m, 0);
  EXPECT_EQ(m->sound_on, 0u);
  EXPECT_EQ(t->read.load(), t->start);
  memset(t->start, 0x55, t->size);
  t->write.store(t->start + 256);
  SetSoundTracksEnabled(m, 1);
  EXPECT_EQ(m->sound_on, 1u);
  uint8_t *r = t->read.load();
  EXPECT_EQ(r, t->start + t->size - (1024 - 256));
  for (uint8_t *p = r; p < t->end; ++p) ASSERT_EQ(*p, 0);
  EXPECT_EQ(t->start[0], 0x55);
  // Too much buffered: the oldest sound is dropped.
  SetSoundTracksEnabled(m, 0);
  t->write.store(t->start + 3000);
  SetSoundTracksEnabled(m, 1);
  EXPECT_EQ(t->read.load(), t->start + (2944 - 1024));
}

}  // namespace
