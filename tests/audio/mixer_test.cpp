// The software mixer behind an in-test backend table: format choice, track
// set-up, resampling (tone frequency kept), gains, pan, volume curve,
// clipping, pause and enable, thresholds, the underrun flag, the track list
// and the sound-system selection.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "audio/backends/sound_backend.h"
#include "audio/backends/sound_select.h"
#include "audio/mixer/mixer.h"
#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/platform/locks.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "audio_test_util.h"
#include "moviewriter/container_writer.h"
#include "moviewriter/gen2_frame_writer.h"

namespace {

using namespace audio_test;

// ---- The in-test backend: captures every chunk ----

struct CaptureBackend {
  uint32_t negotiate_rate, negotiate_channels;  // what the mixer asked for
  int refuse;
  uint32_t open_calls, close_calls, write_calls, writable_calls;
  uint32_t open_rate, open_channels;
  uint32_t chunk;
  int fail_open;
  int fail_write;
  uint32_t room;  // chunks the output takes before it reports no room
  std::vector<int16_t> samples;
};

CaptureBackend g_cap;

int CapOpen(uint32_t rate, uint32_t channels, uint32_t *chunk) {
  g_cap.open_calls++;
  if (g_cap.fail_open) return 0;
  g_cap.open_rate = rate;
  g_cap.open_channels = channels;
  g_cap.chunk = channels * 2 * 256;  // 256 frames
  *chunk = g_cap.chunk;
  return 1;
}
void CapClose() { g_cap.close_calls++; }
uint32_t CapWritable() {
  g_cap.writable_calls++;
  return g_cap.room ? g_cap.room * g_cap.chunk : 0;
}
int CapWrite(const void *data, uint32_t bytes) {
  g_cap.write_calls++;
  EXPECT_EQ(bytes, g_cap.chunk);
  if (g_cap.room) g_cap.room--;
  if (g_cap.fail_write) return 0;
  const size_t n = bytes / 2;
  const size_t at = g_cap.samples.size();
  g_cap.samples.resize(at + n);
  memcpy(&g_cap.samples[at], data, bytes);
  return 1;
}
int CapNegotiate(uint32_t *rate, uint32_t *channels, uint32_t *latency, uint32_t *service) {
  g_cap.negotiate_rate = *rate;
  g_cap.negotiate_channels = *channels;
  *latency = 40;
  *service = 6;
  return g_cap.refuse ? 0 : 1;
}

const SoundBackendOps CAPTURE_BACKEND = {CapOpen, CapClose, CapWritable, CapWrite, CapNegotiate};

// ---- A track with its own ring, filled the way the decoder fills it ----

struct TestTrack {
  SoundTrack track;
  uint8_t *ring = nullptr;
  uint32_t size = 0;
  int open = 0;

  ~TestTrack() { AlignedFree(ring); }

  int Open(TrackOpenFunction fn, uint32_t rate, uint32_t channels, uint32_t ring_bytes) {
    memset(static_cast<void *>(&track), 0, sizeof track);
    open = fn(&track, rate, channels, 0, nullptr);
    if (!open) return 0;
    ring = static_cast<uint8_t *>(AlignedAlloc(ring_bytes));
    size = ring_bytes;
    LoadTrackRing(&track, ring, size);
    return 1;
  }
  // Appends interleaved samples behind the write position.
  void Append(const int16_t *s, size_t count) {
    uint32_t w = static_cast<uint32_t>(track.write.load() - ring);
    for (size_t i = 0; i < count; ++i) {
      memcpy(ring + w, &s[i], 2);
      w = (w + 2) % size;
    }
    track.write.store(ring + w);
  }
  uint32_t Buffered() const {
    int64_t d = track.write.load() - track.read.load();
    return static_cast<uint32_t>(d < 0 ? d + size : d);
  }
  void Close() {
    if (open) track.ops.Close(&track);
    open = 0;
  }
};

uint32_t g_fake_ms = 1000;
uint32_t FakeClock() { return g_fake_ms; }

class MixerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitLibraryLocks();
    LockRecursiveMutex(&g_sound_lock);
    Park();
    g_cap = CaptureBackend();
    g_cap.room = 1000000;
  }
  void TearDown() override {
    Park();
    UnlockRecursiveMutex(&g_sound_lock);
    SetMillisecondSource(nullptr);
  }
  static void Park() { ASSERT_NE(SetUpMixer(&PARKED_BACKEND, 48000, 2), nullptr); }
  // Services until nothing more is written; returns the number of calls.
  static int Drain(int limit = 100000) {
    int calls = 0;
    for (; calls < limit; ++calls) {
      const uint32_t before = g_cap.write_calls;
      ServiceMixer(nullptr, 0);
      if (g_cap.write_calls == before) break;
    }
    return calls;
  }
};

// ---- Format choice and track set-up ----

TEST_F(MixerTest, OutputRateAndChannelsAreNormalised) {
  struct Case {
    uint32_t rate, channels, want_rate, want_channels;
  } cases[] = {{500, 1, 48000, 2},  {48001, 2, 48000, 2}, {501, 3, 501, 6},  {48000, 6, 48000, 6},
               {0, 7, 48000, 8},    {22050, 8, 22050, 8}, {44100, 100, 44100, 8}};
  for (const Case &c : cases) {
    EXPECT_EQ(SetUpMixer(&CAPTURE_BACKEND, c.rate, c.channels), &OpenMixerTrack);
    EXPECT_EQ(g_cap.negotiate_rate, c.want_rate) << c.rate;
    EXPECT_EQ(g_cap.negotiate_channels, c.want_channels) << c.channels;
  }
  g_cap.refuse = 1;
  EXPECT_EQ(SetUpMixer(&CAPTURE_BACKEND, 48000, 2), nullptr);
}

TEST_F(MixerTest, TrackOpenFillsStateAndOpensBackendOnce) {
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
  ASSERT_NE(fn, nullptr);
  TestTrack a, b;
  ASSERT_TRUE(a.Open(fn, 44100, 1, 65536));
  EXPECT_EQ(a.track.step, 60211u);
  EXPECT_EQ(a.track.service_code, -6);
  EXPECT_EQ(a.track.latency, 40u);
  EXPECT_EQ(a.track.volume, 1.0f);
  EXPECT_EQ(a.track.pan, 0.5f);
  EXPECT_EQ(a.track.enabled.load(), 1u);
  EXPECT_EQ(a.track.ops.Ready, nullptr);
  EXPECT_EQ(a.track.ops.GetRegion, nullptr);
  EXPECT_EQ(a.track.ops.Service, &ServiceMixer);
  EXPECT_EQ(a.track.ops.Close, &CloseMixerTrack);
  // Twice the source bytes one chunk (256 frames of 48 kHz stereo) consumes.
  EXPECT_EQ(a.track.threshold, 2048ull * 1 * 44100 / (2 * 48000));
  EXPECT_EQ(g_cap.open_calls, 1u);
  EXPECT_EQ(g_cap.open_rate, 48000u);
  EXPECT_EQ(g_cap.open_channels, 2u);

  // While a track is open the mixer cannot be rebound.
  EXPECT_EQ(SetUpMixer(&CAPTURE_BACKEND, 44100, 2), nullptr);
  // A second track keeps the running backend.
  ASSERT_TRUE(b.Open(fn, 22050, 2, 65536));
  EXPECT_EQ(g_cap.open_calls, 1u);
  EXPECT_EQ(b.track.threshold, 2048ull * 2 * 22050 / (2 * 48000));
  EXPECT_EQ(b.track.older, &a.track);
  EXPECT_EQ(a.track.newer, &b.track);
  a.Close();
  b.Close();
  // Closing the last track leaves the backend open.
  EXPECT_EQ(g_cap.close_calls, 0u);
  Park();
  EXPECT_EQ(g_cap.close_calls, 1u);
}

TEST_F(MixerTest, FailedBackendOpenFailsTheTrackAndIsRetried) {
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
  g_cap.fail_open = 1;
  TestTrack a;
  EXPECT_FALSE(a.Open(fn, 48000, 2, 4096));
  ServiceMixer(nullptr, 0);  // not running: the backend is not touched
  EXPECT_EQ(g_cap.writable_calls, 0u);
  g_cap.fail_open = 0;
  EXPECT_TRUE(a.Open(fn, 48000, 2, 4096));
  EXPECT_EQ(g_cap.open_calls, 2u);
  a.Close();
}

// ---- Resampling keeps the tone ----

TEST_F(MixerTest, ResampledTonesKeepTheirFrequency) {
  struct Case {
    uint32_t rate, channels;
    double left, right;
  } cases[] = {{22050, 1, 1000, 0},     {44100, 1, 3000, 0},    {22050, 2, 700, 2500},
               {44100, 2, 1000, 5000},  {48000, 2, 440, 1200},  {32000, 1, 2000, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
    Park();
    g_cap.samples.clear();
    TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
    TestTrack t;
    ASSERT_TRUE(t.Open(fn, c.rate, c.channels, 1 << 20));
    const double freq[2] = {c.left, c.right};
    std::vector<int16_t> tone = MakeTone(c.rate, c.channels, freq, c.rate, 12000);  // one second
    t.Append(tone.data(), tone.size());
    Drain();
    // Everything but at most the threshold was consumed.
    EXPECT_LE(t.Buffered(), t.track.threshold);
    const size_t frames = g_cap.samples.size() / 2;
    EXPECT_GT(frames, 45000u);
    ASSERT_GT(frames, 1000 + 32768u);
    Peak l = FindPeak(g_cap.samples, 2, 0, 1000, 32768, 48000);
    Peak r = FindPeak(g_cap.samples, 2, 1, 1000, 32768, 48000);
    // Linear interpolation leaves images of the tone around the input
    // rate's multiples, some 34 dB down for a 5 kHz tone at 44.1 kHz; a
    // weight that ran a frame behind the position would leave 8-28 dB.
    printf("%u Hz %u ch: left %.1f Hz SNR %.1f dB, right %.1f Hz SNR %.1f dB\n", c.rate, c.channels, l.frequency, l.snr_db, r.frequency, r.snr_db);
    EXPECT_NEAR(l.frequency, c.left, 3.0);
    EXPECT_GT(l.snr_db, 30.0);
    EXPECT_NEAR(l.amplitude, 12000, 1500);
    const double want_right = c.channels == 2 ? c.right : c.left;
    EXPECT_NEAR(r.frequency, want_right, 3.0);
    EXPECT_GT(r.snr_db, 30.0);
    if (c.rate == 48000) {
      // Same rate: the input comes out unchanged, one frame late.
      for (size_t i = 1; i < 40000; ++i) {
        ASSERT_EQ(g_cap.samples[2 * i], tone[2 * (i - 1)]) << i;
        ASSERT_EQ(g_cap.samples[2 * i + 1], tone[2 * (i - 1) + 1]) << i;
      }
    }
    t.Close();
  }
}

// ---- Gains, pan, volume, clipping, speaker layouts ----

// Mixes a constant signal and returns the steady output frame.
std::vector<int16_t> SteadyFrame(TestTrack &t, const std::vector<int16_t> &frame, uint32_t out_channels) {
  t.track.read.store(t.track.write.load());  // drop what is still buffered
  std::vector<int16_t> s;
  for (int i = 0; i < 4000; ++i) s.insert(s.end(), frame.begin(), frame.end());
  t.Append(s.data(), s.size());
  g_cap.samples.clear();
  g_cap.room = 2;
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(g_cap.samples.size(), 2u * 256 * out_channels);
  return std::vector<int16_t>(g_cap.samples.end() - out_channels, g_cap.samples.end());
}

TEST_F(MixerTest, PanLawsAndVolumeCurve) {
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
  TestTrack t;
  ASSERT_TRUE(t.Open(fn, 48000, 1, 1 << 18));
  // The first output frame interpolates from silence; later ones are steady.
  EXPECT_EQ(SteadyFrame(t, {10000}, 2), (std::vector<int16_t>{10000, 10000}));
  EXPECT_EQ(g_cap.samples[0], 0);
  t.track.ops.SetPan(&t.track, 49152);  // 0.75: left at half
  EXPECT_EQ(t.track.pan, 0.75f);
  EXPECT_EQ(SteadyFrame(t, {10000}, 2), (std::vector<int16_t>{5000, 10000}));
  t.track.ops.SetPan(&t.track, 16384);  // 0.25: right at half
  EXPECT_EQ(SteadyFrame(t, {10000}, 2), (std::vector<int16_t>{10000, 5000}));
  t.track.ops.SetPan(&t.track, 1 << 20);  // beyond full right
  EXPECT_EQ(t.track.pan, 1.0f);
  EXPECT_EQ(SteadyFrame(t, {10000}, 2), (std::vector<int16_t>{0, 10000}));
  t.track.ops.SetPan(&t.track, 32768);

  t.track.ops.SetVolume(&t.track, 32767);
  EXPECT_EQ(t.track.volume, 1.0f);
  t.track.ops.SetVolume(&t.track, 0);
  EXPECT_EQ(t.track.volume, 0.0f);
  EXPECT_EQ(SteadyFrame(t, {10000}, 2), (std::vector<int16_t>{0, 0}));
  t.track.ops.SetVolume(&t.track, 100000);  // clamped to 65535
  EXPECT_NEAR(t.track.volume, 3.1748, 0.001);
  t.track.ops.SetVolume(&t.track, 16384);
  EXPECT_NEAR(t.track.volume, 0.31498, 0.0001);
  const int32_t g = static_cast<int32_t>(t.track.volume * 1024.0f);
  EXPECT_EQ(SteadyFrame(t, {10000}, 2), (std::vector<int16_t>{static_cast<int16_t>(10000 * g >> 10),
                                                               static_cast<int16_t>(10000 * g >> 10)}));
  // Loud signals clip at +-32767, never -32768.
  t.track.ops.SetVolume(&t.track, 65535);
  EXPECT_EQ(SteadyFrame(t, {20000}, 2), (std::vector<int16_t>{32767, 32767}));
  EXPECT_EQ(SteadyFrame(t, {-32768}, 2), (std::vector<int16_t>{-32767, -32767}));
  t.Close();
}

TEST_F(MixerTest, SixAndEightChannelLayouts) {
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 6);
  {
    TestTrack mono, stereo;
    ASSERT_TRUE(mono.Open(fn, 48000, 1, 1 << 18));
    EXPECT_EQ(SteadyFrame(mono, {1000}, 6), (std::vector<int16_t>{1000, 1000, 1000, 1000, 1000, 1000}));
    // Pan laws touch channels 0/4 and 1/5 only.
    mono.track.ops.SetPan(&mono.track, 0);
    EXPECT_EQ(SteadyFrame(mono, {1000}, 6), (std::vector<int16_t>{1000, 0, 1000, 1000, 1000, 0}));
    mono.Close();
    ASSERT_TRUE(stereo.Open(fn, 48000, 2, 1 << 18));
    EXPECT_EQ(SteadyFrame(stereo, {1000, -2000}, 6),
              (std::vector<int16_t>{1000, -2000, 1000, -2000, 1000, -2000}));
    // Centre and LFE take both sources by their gains; the laws do not apply.
    const float gains[12] = {1, 0, 0, 1, 0.5f, 0.5f, 0.25f, 0.25f, 0, 0, 0, 0};
    stereo.track.ops.SetSpeakerGains(&stereo.track, gains, 6);
    stereo.track.ops.SetPan(&stereo.track, 65536);
    EXPECT_EQ(SteadyFrame(stereo, {1000, -2000}, 6), (std::vector<int16_t>{0, -2000, -500, -250, 0, 0}));
    stereo.Close();
  }
  Park();
  fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 8);
  TestTrack mono;
  ASSERT_TRUE(mono.Open(fn, 48000, 1, 1 << 18));
  EXPECT_EQ(g_cap.open_channels, 8u);
  EXPECT_EQ(SteadyFrame(mono, {-700}, 8), (std::vector<int16_t>(8, -700)));
  mono.Close();
}

TEST_F(MixerTest, TracksAreSummedAndClosingUnlinks) {
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
  TestTrack a, b, c;
  ASSERT_TRUE(a.Open(fn, 48000, 1, 1 << 16));
  ASSERT_TRUE(b.Open(fn, 48000, 1, 1 << 16));
  ASSERT_TRUE(c.Open(fn, 48000, 1, 1 << 16));
  std::vector<int16_t> one(8000, 1000), two(8000, 2000), four(8000, 4000);
  a.Append(one.data(), one.size());
  b.Append(two.data(), two.size());
  c.Append(four.data(), four.size());
  g_cap.room = 2;
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(g_cap.samples.back(), 7000);
  b.Close();  // from the middle of the list
  g_cap.room = 1;
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(g_cap.samples.back(), 5000);
  c.Close();  // the head
  b.Close();  // again: nothing changes
  g_cap.room = 1;
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(g_cap.samples.back(), 1000);
  a.Close();
}

// ---- Pause, enable, thresholds ----

TEST_F(MixerTest, PausedOrDisabledTracksWriteSilenceAndKeepTheirPlace) {
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
  TestTrack t;
  ASSERT_TRUE(t.Open(fn, 48000, 2, 1 << 16));
  std::vector<int16_t> s(16000, 3000);
  t.Append(s.data(), s.size());
  const uint32_t buffered = t.Buffered();
  for (int mode = 0; mode < 2; ++mode) {
    if (mode == 0)
      t.track.ops.SetPaused(&t.track, 1);
    else
      EXPECT_EQ(t.track.ops.SetEnabled(&t.track, 0), 0);
    g_cap.samples.clear();
    g_cap.room = 2;
    ServiceMixer(nullptr, 0);
    EXPECT_EQ(g_cap.write_calls, 2u * (mode + 1));
    EXPECT_EQ(g_cap.samples, std::vector<int16_t>(2 * 256 * 2, 0));
    EXPECT_EQ(t.Buffered(), buffered);
    t.track.ops.SetPaused(&t.track, 0);
    EXPECT_EQ(t.track.ops.SetEnabled(&t.track, 1), 1);
  }
  g_cap.room = 1;
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(t.Buffered(), buffered - 256 * 4);
  EXPECT_EQ(g_cap.samples.back(), 3000);
  t.Close();
  EXPECT_EQ(t.track.enabled.load(), 0u);
}

TEST_F(MixerTest, TrackIsMixedOnlyAboveItsThreshold) {
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
  TestTrack t;
  ASSERT_TRUE(t.Open(fn, 48000, 2, 1 << 16));
  ASSERT_EQ(t.track.threshold, 2048u);
  std::vector<int16_t> s(1024, 100);  // exactly the threshold
  t.Append(s.data(), s.size());
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(g_cap.write_calls, 0u);
  // No track ready: one round asks for room once more and ends.
  EXPECT_EQ(g_cap.writable_calls, 4u);
  std::vector<int16_t> more(2, 100);
  t.Append(more.data(), more.size());
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(g_cap.write_calls, 1u);
  EXPECT_EQ(t.Buffered(), 2052u - 1024u);
  t.Close();
}

TEST_F(MixerTest, FailedWriteLosesOnlyThatChunk) {
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
  TestTrack t;
  ASSERT_TRUE(t.Open(fn, 48000, 2, 1 << 16));
  std::vector<int16_t> s(16000, 100);
  t.Append(s.data(), s.size());
  g_cap.fail_write = 1;
  g_cap.room = 2;
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(g_cap.write_calls, 2u);
  EXPECT_EQ(t.Buffered(), 32000u - 2 * 1024u);
  g_cap.fail_write = 0;
  g_cap.room = 1;
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(g_cap.samples.size(), 512u);
  t.Close();
}

// ---- Underrun ----

TEST_F(MixerTest, UnderrunFlagAfter51MillisecondsShort) {
  SetMillisecondSource(FakeClock);
  g_fake_ms = 1000;
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
  TestTrack t, quiet;
  ASSERT_TRUE(t.Open(fn, 48000, 2, 1 << 16));
  ASSERT_TRUE(quiet.Open(fn, 48000, 2, 1 << 16));
  std::vector<int16_t> s(1024 + 512, 100);  // one chunk above the threshold
  t.Append(s.data(), s.size());
  g_cap.room = 1;
  ServiceMixer(nullptr, 0);  // writes at 1000
  ASSERT_EQ(g_cap.write_calls, 1u);
  t.track.underrun.store(0);
  quiet.track.underrun.store(0);
  quiet.track.ops.SetPaused(&quiet.track, 1);
  g_cap.room = 1;
  g_fake_ms = 1050;
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(t.track.underrun.load(), 0u);
  g_fake_ms = 1051;
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(t.track.underrun.load(), 1u);
  EXPECT_EQ(quiet.track.underrun.load(), 0u);  // paused tracks are not short
  EXPECT_EQ(g_cap.write_calls, 1u);
  // A disabled track is not short either.
  quiet.track.ops.SetPaused(&quiet.track, 0);
  quiet.track.ops.SetEnabled(&quiet.track, 0);
  ServiceMixer(nullptr, 0);
  EXPECT_EQ(quiet.track.underrun.load(), 0u);
  t.Close();
  quiet.Close();
}

// ---- Selection ----

int g_opener_calls = 0;
int FakeTrackOpen(SoundTrack *, uint32_t, uint32_t, uint32_t, HVOSH) { return 1; }
TrackOpenFunction OpenerA(uint32_t rate, uint32_t channels) {
  g_opener_calls++;
  EXPECT_EQ(rate, 48000u);
  EXPECT_EQ(channels, 2u);
  return FakeTrackOpen;
}
TrackOpenFunction OpenerB(uint32_t, uint32_t) {
  g_opener_calls++;
  return nullptr;
}

TEST(SoundSelection, InstallRulesAndKeptFunction) {
  EXPECT_EQ(VoshInstallSoundOutput(nullptr, 48000, 2), 0);
  EXPECT_EQ(VoshInstallSoundOutput(OpenerA, 48000, 2), 1);
  EXPECT_EQ(GetTrackOpenFunction(), &FakeTrackOpen);
  // A failing opener replaces the kept function with null.
  EXPECT_EQ(VoshInstallSoundOutput(OpenerB, 48000, 2), 0);
  EXPECT_EQ(GetTrackOpenFunction(), nullptr);
  EXPECT_EQ(VoshInstallSoundOutput(OpenerA, 48000, 2), 1);
  // With tracks open a different opener is refused and changes nothing.
  ChangeOpenTrackCount(2);
  g_opener_calls = 0;
  EXPECT_EQ(VoshInstallSoundOutput(OpenerB, 48000, 2), 0);
  EXPECT_EQ(g_opener_calls, 0);
  EXPECT_EQ(GetTrackOpenFunction(), &FakeTrackOpen);
  // The same opener again is called.
  EXPECT_EQ(VoshInstallSoundOutput(OpenerA, 48000, 2), 1);
  EXPECT_EQ(g_opener_calls, 1);
  ChangeOpenTrackCount(-2);
  EXPECT_EQ(VoshInstallSoundOutput(OpenerB, 48000, 2), 0);
  EXPECT_EQ(g_opener_calls, 2);
}

TEST(SoundSelection, OpenerWhileMixerTracksPlayKeepsNull) {
  InitLibraryLocks();
  LockRecursiveMutex(&g_sound_lock);
  ASSERT_NE(SetUpMixer(&PARKED_BACKEND, 48000, 2), nullptr);
  g_cap = CaptureBackend();
  TrackOpenFunction fn = SetUpMixer(&CAPTURE_BACKEND, 48000, 2);
  TestTrack t;
  ASSERT_TRUE(t.Open(fn, 48000, 2, 4096));
  UnlockRecursiveMutex(&g_sound_lock);
  // No track counted open by the engine, so the install goes ahead, but the
  // mixer refuses while its track plays.
  EXPECT_EQ(VoshInstallSoundOutput(VoshPrepareOpenALOutput, 48000, 2), 0);
  EXPECT_EQ(GetTrackOpenFunction(), nullptr);
  LockRecursiveMutex(&g_sound_lock);
  t.Close();
  ASSERT_NE(SetUpMixer(&PARKED_BACKEND, 48000, 2), nullptr);
  UnlockRecursiveMutex(&g_sound_lock);
}

}  // namespace

// ---- A movie's sound through the engine, the sound thread and the mixer ----

namespace {

using namespace audio_test;

TrackOpenFunction CaptureOutput(uint32_t rate, uint32_t channels) {
  return SetUpMixer(&CAPTURE_BACKEND, rate, channels);
}

TEST(MovieSound, SoundThreadMixesTheDecodedTrackIntoTheBackend) {
  InitLibraryLocks();
  LockRecursiveMutex(&g_sound_lock);
  ASSERT_NE(SetUpMixer(&PARKED_BACKEND, 48000, 2), nullptr);
  g_cap = CaptureBackend();
  g_cap.room = 1000000;
  UnlockRecursiveMutex(&g_sound_lock);
  ASSERT_EQ(VoshInstallSoundOutput(CaptureOutput, 48000, 2), 1);

  const uint32_t rate = 48000, channels = 2, frames_in_movie = 12, blocks_per_frame = 2;
  AudioEncoder e;
  ASSERT_TRUE(InitAudioEncoder(&e, rate, channels, 1));  // codec bit 28: decoder flag 1
  const double freq[2] = {1000, 2500};
  const uint64_t sound_frames =
      uint64_t(frames_in_movie) * blocks_per_frame * AudioBlockFrames(&e);
  std::vector<int16_t> src = MakeTone(rate, channels, freq, sound_frames, 10000);
  std::vector<uint8_t> all_packets;
  std::vector<uint8_t> image = WriteSoundMovie(&e, src, sound_frames, rate | 0x20000000u | 0x10000000u, 0,
                                               frames_in_movie, blocks_per_frame, &all_packets);

  // Without a playback rate the clock never resynchronises the sound.
  VoshOverrideFrameRate(0, 0);
  HVOSH m = VoshOpenMovie(uint64_t(uintptr_t(image.data())), OPEN_MEMORY_IMAGE | OPEN_RATE_OVERRIDE);
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  ASSERT_EQ(m->open_track_count.load(), 1u);
  SoundTrack *t = &m->tracks[0];
  EXPECT_EQ(t->ops.Service, &ServiceMixer);
  EXPECT_EQ(t->service_code, -6);
  for (uint32_t f = 0; f < frames_in_movie; f++) {
    DecodeFrame(m, DECODE_OPEN_FRAME | DECODE_CLOSE_FRAME | (m->slice_layout.slice_count << 4));
    VoshAdvanceFrame(m);
  }
  // The sound thread drains the ring down to its threshold.
  const uint64_t ring_bytes = uint64_t(frames_in_movie) * blocks_per_frame * AudioBlockOutputBytes(&e);
  const uint32_t threshold = t->threshold;
  size_t captured = 0;
  for (int i = 0; i < 500; ++i) {
    LockRecursiveMutex(&g_sound_lock);
    captured = g_cap.samples.size() * 2;
    UnlockRecursiveMutex(&g_sound_lock);
    if (captured + threshold + 1024 >= ring_bytes) break;
    SleepMilliseconds(10);
  }
  VoshCloseMovie(m);
  EXPECT_GE(captured + threshold + 1024, ring_bytes);

  // Same rate: the capture is the decoded sound, one frame late.
  Aligned mem(GetAudioDecoderSize(rate, channels));
  AudioDecoder *d = InitAudioDecoder(mem.data, rate, channels, 1);
  ASSERT_NE(d, nullptr);
  std::vector<int16_t> want =
      DecodeLinear(d, all_packets, frames_in_movie * blocks_per_frame);
  LockRecursiveMutex(&g_sound_lock);
  std::vector<int16_t> got = g_cap.samples;
  ASSERT_NE(SetUpMixer(&PARKED_BACKEND, 48000, 2), nullptr);
  UnlockRecursiveMutex(&g_sound_lock);
  ASSERT_GT(got.size(), 2u * 16384);
  ASSERT_GE(want.size() + 2, got.size());
  for (size_t i = 2; i < got.size(); ++i) ASSERT_EQ(got[i], want[i - 2]) << i;
  Peak l = FindPeak(got, 2, 0, 0, 16384, 48000);
  Peak r = FindPeak(got, 2, 1, 0, 16384, 48000);
  printf("movie sound: left %.1f Hz SNR %.1f dB, right %.1f Hz SNR %.1f dB\n", l.frequency, l.snr_db, r.frequency, r.snr_db);
  EXPECT_NEAR(l.frequency, 1000, 3.0);
  EXPECT_NEAR(r.frequency, 2500, 3.0);
  EXPECT_GT(l.snr_db, 40.0);
  EXPECT_GT(r.snr_db, 40.0);
}

}  // namespace
