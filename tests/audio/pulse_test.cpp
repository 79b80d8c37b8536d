// The PulseAudio backend against a real sound server that the test starts
// itself with a private runtime directory and a null sink: a tone played
// through the whole path (selection, mixer, backend) is recorded back from
// the sink's monitor and checked by its spectrum; chunk sizes, the channel
// map, and a server that cannot be reached.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/backends/pulse_backend.h"
#include "audio/backends/sound_backend.h"
#include "audio/backends/sound_select.h"
#include "audio/mixer/mixer.h"
#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/platform/locks.h"
#include "audio_test_util.h"

// The sound libraries are not built with the thread sanitizer: it cannot see
// their own atomics and reports the hand-overs between their threads. Those
// reports are left out; the backends' own shared state is atomic.
extern "C" const char *__tsan_default_suppressions() {
  return "race:libpulsecommon\nrace:libpulse.so\nrace:libopenal.so\n";
}

namespace {

using namespace audio_test;

// Starts a program with its output in out_path; it is ended with this test
// process even when the process dies without cleaning up.
pid_t Spawn(const std::vector<std::string> &args, const char *out_path) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  const int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int null = open("/dev/null", O_WRONLY);
  if (out >= 0) dup2(out, 1);
  if (null >= 0) dup2(null, 2);
  execvp(argv[0], argv.data());
  _exit(127);
}

void Stop(pid_t pid, int sig) {
  if (pid <= 0) return;
  kill(pid, sig);
  for (int i = 0; i < 300; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

class PulseAudioTest : public ::testing::Test {
 protected:
  static std::string dir_;
  static pid_t daemon_;
  static std::string skip_;

  static void SetUpTestSuite() {
    InitLibraryLocks();
    char templ[] = "/tmp/vosh_pulse_XXXXXX";
    if (!mkdtemp(templ)) {
      skip_ = "no temporary directory";
      return;
    }
    dir_ = templ;
    const std::string socket = dir_ + "/native";
    // The server and every client of this process use the private directory.
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", dir_.c_str(), 1);
    setenv("PULSE_STATE_PATH", dir_.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    const std::string client_conf = dir_ + "/client.conf";
    FILE *f = fopen(client_conf.c_str(), "w");
    if (f) {
      fputs("autospawn = no\n", f);
      fclose(f);
    }
    setenv("PULSE_CLIENTCONFIG", client_conf.c_str(), 1);
    daemon_ = Spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-n",
                     "--use-pid-file=no", "--disable-shm=yes",
                     "--load=module-null-sink sink_name=vosh_null rate=48000 channels=2",
                     "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket},
                    (dir_ + "/daemon.log").c_str());
    if (daemon_ <= 0) {
      skip_ = "pulseaudio could not be started";
      return;
    }
    struct stat st;
    for (int i = 0; i < 500 && stat(socket.c_str(), &st) != 0; ++i) {
      if (waitpid(daemon_, nullptr, WNOHANG) == daemon_) {
        daemon_ = -1;
        skip_ = "pulseaudio exited at start (see " + dir_ + "/daemon.log)";
        return;
      }
      usleep(20000);
    }
    if (stat(socket.c_str(), &st) != 0) skip_ = "pulseaudio made no socket in 10 s";
  }

  static void TearDownTestSuite() {
    ParkMixer();
    Stop(daemon_, SIGTERM);
    daemon_ = -1;
    if (!dir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ParkMixer();
  }
  void TearDown() override {
    if (!IsSkipped()) ParkMixer();
  }
};

std::string PulseAudioTest::dir_;
pid_t PulseAudioTest::daemon_ = -1;
std::string PulseAudioTest::skip_;

TEST_F(PulseAudioTest, ToneThroughSelectionMixerAndStreamIsRecordedBack) {
  const std::string raw = dir_ + "/recorded.raw";
  const pid_t recorder = Spawn({"parec", "-d", "vosh_null.monitor", "--format=s16le", "--rate=48000",
                                "--channels=2", "--raw", "--latency-msec=20"},
                               raw.c_str());
  ASSERT_GT(recorder, 0);
  usleep(300000);

  ASSERT_EQ(VoshInstallSoundOutput(VoshPreparePulseAudioOutput, 48000, 2), 1);
  TrackOpenFunction open_track = GetTrackOpenFunction();
  ASSERT_NE(open_track, nullptr);
  // A 44100 Hz stereo track: 750 Hz on the left, 1500 Hz on the right.
  const uint32_t rate = 44100, seconds = 2;
  const uint32_t ring_bytes = ((rate * 4 * seconds) + 4096 + 255) & ~255u;
  uint8_t *ring = static_cast<uint8_t *>(AlignedAlloc(ring_bytes));
  ASSERT_NE(ring, nullptr);
  SoundTrack track;
  const int opened = OpenTrackLocked(open_track, &track, rate, 2);
  if (!opened) {
    Stop(recorder, SIGTERM);
    AlignedFree(ring);
    FAIL() << "the stream did not open";
  }
  EXPECT_EQ(track.service_code, -7);
  EXPECT_EQ(track.latency, 64u);
  const double freq[2] = {750.0, 1500.0};
  LoadTrackRing(&track, ring, ring_bytes, MakeTone(rate, 2, freq, rate * seconds, 10000));

  // Serviced every 7 ms like the sound thread until the track ran dry.
  for (int i = 0; i < 2000; ++i) {
    LockRecursiveMutex(&g_sound_lock);
    track.ops.Service(&track, 0);
    UnlockRecursiveMutex(&g_sound_lock);
    if (static_cast<uint32_t>(track.write.load() - track.read.load()) <= track.threshold) break;
    usleep(7000);
  }
  EXPECT_LE(static_cast<uint32_t>(track.write.load() - track.read.load()), track.threshold);
  usleep(500000);  // the server plays out what it holds
  LockRecursiveMutex(&g_sound_lock);
  track.ops.Close(&track);
  UnlockRecursiveMutex(&g_sound_lock);
  ParkMixer();
  AlignedFree(ring);
  Stop(recorder, SIGTERM);

  std::vector<int16_t> rec;
  ASSERT_TRUE(ReadRawSamples(raw, &rec)) << raw;
  const size_t frames = rec.size() / 2;
  const size_t first = ToneStart(rec, 2, 2000);
  ASSERT_GT(frames, first + 4096 + 32768) << "recorded " << frames << " frames";
  const Peak l = FindPeak(rec, 2, 0, first + 4096, 32768, 48000);
  const Peak r = FindPeak(rec, 2, 1, first + 4096, 32768, 48000);
  printf("recorded %zu frames: left peak %.1f Hz (SNR %.1f dB), right %.1f Hz (SNR %.1f dB)\n", frames,
         l.frequency, l.snr_db, r.frequency, r.snr_db);
  EXPECT_NEAR(l.frequency, 750.0, 3.0);
  EXPECT_NEAR(r.frequency, 1500.0, 3.0);
  EXPECT_GT(l.snr_db, 18.0);
  EXPECT_GT(r.snr_db, 18.0);
}

TEST_F(PulseAudioTest, ChunksAreWholeAndLongWritesAreSplit) {
  uint32_t chunk = 0;
  LockRecursiveMutex(&g_sound_lock);
  ASSERT_EQ(OpenPulseAudioStream(44100, 2, &chunk), 1);
  EXPECT_EQ(chunk, 1408u);
  EXPECT_TRUE(IsPulseAudioStreamReady());
  std::vector<int16_t> quiet(1408 * 3 / 2, 0);
  for (int i = 0; i < 40; ++i) {
    const uint32_t w = GetPulseAudioWritableBytes();
    EXPECT_TRUE(w == 0 || w == 1408u) << w;
    // Three chunks in one call, each piece waiting for room.
    EXPECT_EQ(WritePulseAudioStream(quiet.data(), 3 * 1408), 1);
  }
  ClosePulseAudioStream();
  EXPECT_FALSE(IsPulseAudioStreamReady());
  EXPECT_EQ(GetPulseAudioWritableBytes(), 0u);
  EXPECT_EQ(WritePulseAudioStream(quiet.data(), 1408), 0);
  UnlockRecursiveMutex(&g_sound_lock);
}

TEST_F(PulseAudioTest, SixChannelStreamUsesTheMixerOrder) {
  uint32_t chunk = 0;
  LockRecursiveMutex(&g_sound_lock);
  ASSERT_EQ(OpenPulseAudioStream(48000, 6, &chunk), 1);
  UnlockRecursiveMutex(&g_sound_lock);
  EXPECT_EQ(chunk, 2u * 6 * 384);
  FILE *p = popen("pactl list sink-inputs 2>/dev/null", "r");
  ASSERT_NE(p, nullptr);
  std::string listing;
  char line[512];
  while (fgets(line, sizeof line, p)) listing += line;
  pclose(p);
  EXPECT_NE(listing.find("front-left,front-right,front-center,lfe,rear-left,rear-right"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("s16le 6ch 48000Hz"), std::string::npos) << listing;
  LockRecursiveMutex(&g_sound_lock);
  ClosePulseAudioStream();
  UnlockRecursiveMutex(&g_sound_lock);
}

TEST_F(PulseAudioTest, UnreachableServerFailsCleanlyAndLaterOpenWorks) {
  const std::string server = getenv("PULSE_SERVER");
  setenv("PULSE_SERVER", ("unix:" + dir_ + "/nothing-here").c_str(), 1);
  uint32_t chunk = 0;
  LockRecursiveMutex(&g_sound_lock);
  EXPECT_EQ(OpenPulseAudioStream(48000, 2, &chunk), 0);
  EXPECT_FALSE(IsPulseAudioStreamReady());
  EXPECT_EQ(GetPulseAudioWritableBytes(), 0u);
  setenv("PULSE_SERVER", server.c_str(), 1);
  EXPECT_EQ(OpenPulseAudioStream(48000, 2, &chunk), 1);
  EXPECT_EQ(chunk, 1536u);
  ClosePulseAudioStream();
  UnlockRecursiveMutex(&g_sound_lock);
}

TEST(PulseAudioFormat, NegotiationKeepsTheMixersChoice) {
  uint32_t rate = 22050, channels = 6, latency = 0, service = 0;
  EXPECT_EQ(NegotiatePulseAudioFormat(&rate, &channels, &latency, &service), 1);
  EXPECT_EQ(rate, 22050u);
  EXPECT_EQ(channels, 6u);
  EXPECT_EQ(latency, 64u);
  EXPECT_EQ(service, 7u);
}

}  // namespace
