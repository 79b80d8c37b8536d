// Several movies at once on the real IO and sound threads, the mixer on an
// output that needs no device: a movie reaches the background threads only
// when it is ready for them, a track's ring is complete before the mixer can
// serve it, and movies with and without sound opened, played on workers and
// closed from two threads while another movie streams.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/backends/sound_backend.h"
#include "audio/backends/sound_select.h"
#include "audio/mixer/mixer.h"
#include "engine/async.h"
#include "engine/background.h"
#include "engine/movie.h"
#include "engine/playback.h"
#include "engine/utils.h"
#include "audio_test_util.h"

using namespace audio_test;

namespace {

// ---- An output that always has room and counts the mixer's services ----

int SinkOpen(uint32_t, uint32_t channels, uint32_t *chunk) {
  *chunk = channels * 2 * 256;
  return 1;
}
void SinkClose() {}
uint32_t SinkWritable() { return 1u << 20; }
std::atomic<uint32_t> g_chunks{0};
int SinkWrite(const void *, uint32_t) {
  g_chunks.fetch_add(1);
  return 1;
}
int SinkNegotiate(uint32_t *, uint32_t *, uint32_t *latency, uint32_t *service) {
  *latency = 0;
  *service = 5;
  return 1;
}
const SoundBackendOps SINK_BACKEND = {SinkOpen, SinkClose, SinkWritable, SinkWrite, SinkNegotiate};

std::atomic<uint32_t> g_services{0};
// A service code the next tracks get in place of the mixer's (0: the mixer's).
std::atomic<int32_t> g_forced_code{0};

void CountedService(SoundTrack *track, uint32_t bytes) {
  ServiceMixer(track, bytes);
  g_services.fetch_add(1);
}
int OpenSinkTrack(SoundTrack *track, uint32_t rate, uint32_t channels, uint32_t flags, HVOSH owner) {
  if (!OpenMixerTrack(track, rate, channels, flags, owner)) return 0;
  track->ops.Service = CountedService;
  if (g_forced_code.load() != 0) track->service_code = g_forced_code.load();
  return 1;
}
TrackOpenFunction SinkOutput(uint32_t rate, uint32_t channels) {
  return SetUpMixer(&SINK_BACKEND, rate, channels) ? OpenSinkTrack : nullptr;
}

template <typename F>
bool WaitFor(F done, uint32_t ms = 5000) {
  for (uint32_t t = 0; t < ms && !done(); ++t) SleepMilliseconds(1);
  return done();
}
// Two services after now: the second pass of the sound thread walked the
// movie list after this call.
bool WaitTwoServices() {
  const uint32_t from = g_services.load();
  return WaitFor([&] { return g_services.load() - from >= 2; });
}

// ---- Movies ----

std::string TempPath(const std::string &name) {
  return std::string(::testing::TempDir()) + "vosh_several_" + name + "_" + std::to_string(getpid());
}

// One 64 x 64 key frame; every frame of these movies is the same.
std::vector<uint8_t> WriteKeyFrame() {
  SliceLayout l;
  MakeGen2Layout(&l, 64, 64, 0);
  Gen2FrameDesc key = MakeGen2Frame(64, 64, true, l.slice_count, l.end_row, 40);
  return WriteGen2Frame(&key);
}

ContainerSpec PictureSpec() {
  ContainerSpec desc;
  desc.width = 64;
  desc.height = 64;
  desc.rate_num = 25;
  return desc;
}

// 64 x 64 key frames at 25 per second, `gap` bytes between frames, no sound.
std::vector<uint8_t> WritePictureMovie(uint32_t frames, uint32_t gap) {
  ContainerSpec desc = PictureSpec();
  desc.frame_gap = gap;
  const std::vector<uint8_t> video = WriteKeyFrame();
  for (uint32_t f = 0; f < frames; f++) desc.frames.push_back(WriterFrame{video});
  return WriteContainer(desc);
}

// The same with one track (identifier 0) whose every frame carries one
// block of a steady tone: one coefficient, so writing it costs little.
std::vector<uint8_t> WriteToneMovie(uint32_t rate, uint32_t channels, uint32_t codec_bits, uint32_t frames) {
  AudioEncoder e;
  EXPECT_TRUE(InitAudioEncoder(&e, rate, channels, codec_bits == 0x10000000u ? 1 : 0));
  std::vector<std::vector<float>> coefficients(e.coded_channels, std::vector<float>(e.length, 0.0f));
  for (std::vector<float> &c : coefficients) c[e.length / 16] = 4000.0f;
  const std::vector<uint8_t> block = EncodeAudioCoefficients(&e, coefficients, nullptr);
  ContainerSpec desc = PictureSpec();
  const std::vector<uint8_t> video = WriteKeyFrame();
  // A ring of 1.25 s.
  desc.tracks.push_back(WriterTrack{rate * channels * 2, rate | (channels == 2 ? 0x20000000u : 0) | codec_bits, 0});
  for (uint32_t f = 0; f < frames; f++) {
    WriterFrame frame;
    AppendAudioPacket(&frame.bytes, AudioBlockOutputBytes(&e), block);
    frame.bytes.insert(frame.bytes.end(), video.begin(), video.end());
    desc.frames.push_back(frame);
  }
  return WriteContainer(desc);
}

struct MovieFile {
  std::string path;
  MovieFile(const std::string &name, const std::vector<uint8_t> &bytes) : path(TempPath(name)) {
    EXPECT_TRUE(WriteBytesFile(bytes, path));
  }
  ~MovieFile() { unlink(path.c_str()); }
  HVOSH Open() const { return VoshOpenMovie(uint64_t(uintptr_t(path.c_str())), 0); }
};

const uint32_t kWorkers[4] = {0, 1, 2, 3};

void EnsureWorkers() {
  for (int n = 0; n < 4; ++n) {
    if (!IsWorkerStarted(n)) {
      ASSERT_EQ(VoshStartWorkerThread(n), 1);
    }
  }
}

// Decodes `frames` frames on the workers, as the player's loop does, each
// frame's decode overlapping the step to the next.
void PlayOnWorkers(HVOSH m, uint32_t frames) {
  VoshStartAsyncDecompress(m, kWorkers, 4);
  for (uint32_t f = 1; f < frames; f++) {
    VoshWaitAsyncDecompress(m, -1);
    VoshAdvanceFrame(m);
    VoshStartAsyncDecompress(m, kWorkers, 4);
  }
  VoshWaitAsyncDecompress(m, -1);
  VoshAdvanceFrame(m);
}

class SeveralMovies : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(VoshInstallSoundOutput(SinkOutput, 48000, 2), 1);
    g_forced_code.store(0);
  }
  void TearDown() override {
    g_open_sound_hook.store(nullptr);
    g_forced_code.store(0);
    ParkMixer();
  }
};

// ---- A movie reaches the background threads only when it is ready ----

// Once the sound tracks are open, a movie that the threads can already see
// is walked by them: the IO thread picks the emptiest listed movie at once.
void LetTheThreadsWalkIt(HVOSH m, SoundTrack *track) {
  if (track || !IsMovieListed(m)) return;
  PostIoThread();
  EXPECT_TRUE(WaitFor([&] { return GetIoCurrentMovie() == m; }));
  EXPECT_TRUE(WaitTwoServices());
}

TEST_F(SeveralMovies, ListedMoviesHaveEveryLockTheThreadsTake) {
  MovieFile streaming("streaming", WritePictureMovie(40, 16384));
  MovieFile tone("tone", WriteToneMovie(22050, 1, 0x80000000u, 8));
  HVOSH a = streaming.Open();
  ASSERT_NE(a, nullptr) << VoshGetErrorText();
  HVOSH s = tone.Open();
  ASSERT_NE(s, nullptr) << VoshGetErrorText();
  ASSERT_EQ(s->open_track_count.load(), 1u);

  g_open_sound_hook.store(LetTheThreadsWalkIt);
  for (int round = 0; round < 3; round++) {
    HVOSH b = tone.Open();
    ASSERT_NE(b, nullptr) << VoshGetErrorText();
    EXPECT_TRUE(IsMovieListed(b));
    EXPECT_TRUE(WaitTwoServices());
    VoshCloseMovie(b);
  }
  g_open_sound_hook.store(nullptr);

  // A track whose output serves it without the sound thread gets no sound
  // lock; the movie is still listed for its reading, and the sound thread
  // passes over it.
  g_forced_code.store(1);
  HVOSH c = tone.Open();
  g_forced_code.store(0);
  ASSERT_NE(c, nullptr) << VoshGetErrorText();
  EXPECT_EQ(c->open_track_count.load(), 1u);
  EXPECT_TRUE(IsMovieListed(c));
  EXPECT_TRUE(WaitTwoServices());
  VoshCloseMovie(c);

  VoshCloseMovie(s);
  VoshCloseMovie(a);
  EXPECT_FALSE(IsIoThreadRunning());
  EXPECT_FALSE(IsSoundThreadRunning());
}

// ---- A track is complete before the mixer can serve it ----

// Called once the open has let go of the sound lock after a track's open:
// from here on the mixer may serve the track, so its ring is complete.
void ExpectCompleteRing(SoundTrack *t) {
  EXPECT_NE(t->start, nullptr);
  EXPECT_EQ(t->end, t->start + t->size);
  EXPECT_NE(t->size, 0u);
  EXPECT_EQ(t->read.load(), t->start);
  EXPECT_EQ(t->write.load(), t->start);
  EXPECT_NE(t->threshold, 0u);
}
void ExpectCompleteRingAndServe(HVOSH, SoundTrack *t) {
  if (!t) return;
  ExpectCompleteRing(t);
  EXPECT_TRUE(WaitTwoServices());
}

TEST_F(SeveralMovies, TrackRingIsCompleteBeforeTheMixerServesIt) {
  MovieFile tone("tone", WriteToneMovie(44100, 2, 0x10000000u, 8));
  HVOSH playing = tone.Open();
  ASSERT_NE(playing, nullptr) << VoshGetErrorText();
  g_open_sound_hook.store(ExpectCompleteRingAndServe);
  HVOSH m = tone.Open();
  g_open_sound_hook.store(nullptr);
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  EXPECT_EQ(m->open_track_count.load(), 1u);
  VoshCloseMovie(m);
  VoshCloseMovie(playing);
}

// ---- Movies opened, played and closed from two threads ----

// Widens every window in which a half-made movie or track could be seen.
void Pause(HVOSH, SoundTrack *t) {
  if (t) ExpectCompleteRing(t);
  SleepMilliseconds(1);
}

TEST_F(SeveralMovies, OpenPlayAndCloseFromTwoThreadsWhileAnotherStreams) {
  EnsureWorkers();
  MovieFile streaming("streaming", WritePictureMovie(60, 16384));
  const MovieFile movies[4] = {
      {"mono", WriteToneMovie(22050, 1, 0x80000000u, 6)},
      {"stereo", WriteToneMovie(44100, 2, 0x10000000u, 6)},
      {"mono48", WriteToneMovie(48000, 1, 0x10000000u, 6)},
      {"silent", WritePictureMovie(6, 0)},
  };
  HVOSH a = streaming.Open();
  ASSERT_NE(a, nullptr) << VoshGetErrorText();
  ASSERT_EQ(a->movie_flags.load() & MOVIE_NO_BACKGROUND_READ, 0u);

  std::atomic<int> done{0};
  std::thread streamer([&] {
    while (!done.load()) PlayOnWorkers(a, 4);
  });
  g_open_sound_hook.store(Pause);
  g_chunks.store(0);
  // The pending open settings and the last-error text are the process's:
  // opens take turns, everything else runs side by side.
  std::mutex opening;
  const int kRounds = 40;
  auto player = [&](int me) {
    for (int round = 0; round < kRounds; round++) {
      // Thread 0 plays mono and silent, thread 1 stereo and mono48; the order
      // of opening and of closing changes from round to round.
      const MovieFile *mine[2] = {&movies[me == 0 ? 0 : 1], &movies[me == 0 ? 3 : 2]};
      if ((round + me) & 1) std::swap(mine[0], mine[1]);
      HVOSH open[2];
      for (int k = 0; k < 2; k++) {
        std::lock_guard<std::mutex> turn(opening);
        open[k] = mine[k]->Open();
        ASSERT_NE(open[k], nullptr) << VoshGetErrorText();
      }
      PlayOnWorkers(open[0], 2);
      PlayOnWorkers(open[1], 3);
      // Decoded sound stays in its ring until the mixer takes it, but a
      // movie may close before the sound thread's next pass: before the
      // last close the mixer has had its time with a movie whose ring holds
      // sound.
      if (round == kRounds - 1) {
        EXPECT_TRUE(WaitFor([] { return g_chunks.load() > 0; })) << "no sound was mixed";
      }
      const int first = round % 3 == 0 ? 1 : 0;
      VoshCloseMovie(open[first]);
      VoshCloseMovie(open[1 - first]);
    }
  };
  std::thread other(player, 1);
  player(0);
  other.join();
  g_open_sound_hook.store(nullptr);
  done.store(1);
  streamer.join();
  EXPECT_GT(a->frames_finished, 0u);
  EXPECT_GT(g_chunks.load(), 0u);  // the tracks' sound was mixed
  VoshCloseMovie(a);
  EXPECT_FALSE(IsIoThreadRunning());
  EXPECT_FALSE(IsSoundThreadRunning());
}

}  // namespace
