// The OpenAL backend against the real OpenAL library, whose file-writing
// output captures what is played: a tone through the whole path (selection,
// mixer, backend) comes back in the captured file; the buffer queue, restart
// after running dry and the process-wide context fallback.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "audio/backends/dynamic_entry.h"
#include "audio/backends/openal_api.h"
#include "audio/backends/openal_backend.h"
#include "audio/backends/sound_backend.h"
#include "audio/backends/sound_select.h"
#include "audio/mixer/mixer.h"
#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/platform/locks.h"
#include "audio_test_util.h"

namespace {

using namespace audio_test;

// The library reads its configuration when it is loaded, so every test of
// this process shares one capture file.
std::string g_wave_path;
std::string g_capture_dir;

// Removes the capture directory when the process ends.
struct CaptureCleanUp {
  ~CaptureCleanUp() {
    if (g_capture_dir.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(g_capture_dir, ignored);
  }
} g_capture_clean_up;

void ConfigureCapture() {
  if (!g_wave_path.empty()) return;
  char dir[] = "/tmp/vosh_openal_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  g_capture_dir = dir;
  g_wave_path = std::string(dir) + "/capture.wav";
  const std::string conf = std::string(dir) + "/alsoft.conf";
  FILE *f = fopen(conf.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fprintf(f, "[general]\ndrivers = wave\nfrequency = 48000\nchannels = stereo\nsample-type = int16\nhrtf = false\n"
             "[wave]\nfile = %s\n", g_wave_path.c_str());
  fclose(f);
  setenv("ALSOFT_DRIVERS", "wave", 1);
  setenv("ALSOFT_CONF", conf.c_str(), 1);
}

struct Wave {
  uint32_t rate = 0, channels = 0;
  std::vector<int16_t> samples;
};

bool ReadWave(const std::string &path, Wave *w) {
  std::vector<uint8_t> bytes;
  if (!ReadFileBytes(path, &bytes)) return false;
  if (bytes.size() < 12 || memcmp(bytes.data(), "RIFF", 4) || memcmp(bytes.data() + 8, "WAVE", 4))
    return false;
  size_t at = 12;
  uint16_t bits = 0;
  while (at + 8 <= bytes.size()) {
    uint32_t len;
    memcpy(&len, &bytes[at + 4], 4);
    const uint8_t *body = &bytes[at + 8];
    if (!memcmp(&bytes[at], "fmt ", 4) && len >= 16) {
      uint16_t ch;
      memcpy(&ch, body + 2, 2);
      memcpy(&w->rate, body + 4, 4);
      memcpy(&bits, body + 14, 2);
      w->channels = ch;
    } else if (!memcmp(&bytes[at], "data", 4)) {
      // The length may be unset while the device is open: take the rest.
      size_t avail = bytes.size() - (at + 8);
      if (len != 0 && len < avail) avail = len;
      if (bits != 16) return false;
      w->samples.resize(avail / 2);
      memcpy(w->samples.data(), body, w->samples.size() * 2);
      return true;
    }
    at += 8 + len + (len & 1);
  }
  return false;
}

class OpenALTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConfigureCapture();
    InitLibraryLocks();
    ParkMixer();
  }
  void TearDown() override { ParkMixer(); }
};

TEST_F(OpenALTest, ToneThroughSelectionMixerAndDeviceIsCaptured) {
  ASSERT_EQ(VoshInstallSoundOutput(VoshPrepareOpenALOutput, 48000, 2), 1);
  TrackOpenFunction open_track = GetTrackOpenFunction();
  ASSERT_NE(open_track, nullptr);

  // A 22050 Hz stereo track: 1 kHz on the left, 2 kHz on the right.
  const uint32_t rate = 22050, seconds = 2;
  const uint32_t ring_bytes = ((rate * 4 * seconds) + 4096 + 255) & ~255u;
  uint8_t *ring = static_cast<uint8_t *>(AlignedAlloc(ring_bytes));
  ASSERT_NE(ring, nullptr);
  SoundTrack track;
  ASSERT_EQ(OpenTrackLocked(open_track, &track, rate, 2), 1);
  EXPECT_EQ(track.service_code, -5);
  EXPECT_EQ(track.latency, 42u);
  const double freq[2] = {1000.0, 2000.0};
  LoadTrackRing(&track, ring, ring_bytes, MakeTone(rate, 2, freq, rate * seconds, 10000));

  // Serviced every 5 ms like the sound thread, until the track ran dry and
  // the queue played out.
  for (int i = 0; i < 1000; ++i) {
    LockRecursiveMutex(&g_sound_lock);
    track.ops.Service(&track, 0);
    UnlockRecursiveMutex(&g_sound_lock);
    const uint32_t left = static_cast<uint32_t>((track.write.load() - track.read.load()));
    if (left <= track.threshold && i > 50) {
      usleep(200000);
      break;
    }
    usleep(5000);
  }
  EXPECT_LE(static_cast<uint32_t>(track.write.load() - track.read.load()), track.threshold);
  LockRecursiveMutex(&g_sound_lock);
  track.ops.Close(&track);
  UnlockRecursiveMutex(&g_sound_lock);
  ParkMixer();  // closes the device, which completes the file
  AlignedFree(ring);

  Wave w;
  ASSERT_TRUE(ReadWave(g_wave_path, &w)) << g_wave_path;
  ASSERT_EQ(w.channels, 2u);
  const size_t frames = w.samples.size() / 2;
  // Find where the tone starts, then look at 32768 frames of it.
  const size_t first = ToneStart(w.samples, 2, 2000);
  ASSERT_GT(frames, first + 4096 + 32768) << "captured " << frames << " frames";
  const Peak l = FindPeak(w.samples, 2, 0, first + 4096, 32768, w.rate);
  const Peak r = FindPeak(w.samples, 2, 1, first + 4096, 32768, w.rate);
  printf("captured %zu frames at %u Hz: left peak %.1f Hz (SNR %.1f dB), right %.1f Hz (SNR %.1f dB)\n",
         frames, w.rate, l.frequency, l.snr_db, r.frequency, r.snr_db);
  EXPECT_NEAR(l.frequency, 1000.0, 3.0);
  EXPECT_NEAR(r.frequency, 2000.0, 3.0);
  EXPECT_GT(l.snr_db, 20.0);
  EXPECT_GT(r.snr_db, 20.0);
}

TEST_F(OpenALTest, EightChannelQueueAndRestartAfterRunningDry) {
  uint32_t chunk = 0;
  LockRecursiveMutex(&g_sound_lock);
  ASSERT_EQ(OpenOpenALDevice(48000, 8, &chunk), 1);
  EXPECT_EQ(chunk, 8192u);
  EXPECT_EQ(GetOpenALWritableBytes(), 4u * 8192u);
  std::vector<int16_t> silence(4096, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(QueueOpenALBuffer(silence.data(), 8192), 1);
  EXPECT_LT(GetOpenALWritableBytes(), 4u * 8192u);
  UnlockRecursiveMutex(&g_sound_lock);
  // 4 x 512 frames play in about 43 ms; then every buffer is back.
  uint32_t writable = 0;
  for (int i = 0; i < 100 && writable != 4u * 8192u; ++i) {
    usleep(10000);
    LockRecursiveMutex(&g_sound_lock);
    writable = GetOpenALWritableBytes();
    UnlockRecursiveMutex(&g_sound_lock);
    EXPECT_EQ(writable % 8192u, 0u);
  }
  EXPECT_EQ(writable, 4u * 8192u);
  // The source ran dry and stopped; the next buffer starts it again, so it
  // is played and comes back.
  LockRecursiveMutex(&g_sound_lock);
  EXPECT_EQ(QueueOpenALBuffer(silence.data(), 8192), 1);
  EXPECT_EQ(GetOpenALWritableBytes(), 3u * 8192u);
  UnlockRecursiveMutex(&g_sound_lock);
  for (int i = 0; i < 100 && writable != 4u * 8192u; ++i) {
    usleep(10000);
    LockRecursiveMutex(&g_sound_lock);
    writable = GetOpenALWritableBytes();
    UnlockRecursiveMutex(&g_sound_lock);
  }
  EXPECT_EQ(writable, 4u * 8192u);
  LockRecursiveMutex(&g_sound_lock);
  CloseOpenALDevice();
  EXPECT_EQ(GetOpenALWritableBytes(), 0u);  // closed: no room, no calls
  UnlockRecursiveMutex(&g_sound_lock);
}

TEST_F(OpenALTest, ProcessWideContextWhenThreadContextsAreMissing) {
  uint32_t chunk = 0;
  LockRecursiveMutex(&g_sound_lock);
  ASSERT_EQ(OpenOpenALDevice(44100, 2, &chunk), 1);
  EXPECT_EQ(IsOpenALThreadContextInUse(), 1);
  CloseOpenALDevice();
  IgnoreOpenALThreadContext(1);
  ASSERT_EQ(OpenOpenALDevice(44100, 2, &chunk), 1);
  EXPECT_EQ(IsOpenALThreadContextInUse(), 0);
  EXPECT_EQ(chunk, 2048u);
  std::vector<int16_t> silence(1024, 0);
  EXPECT_EQ(QueueOpenALBuffer(silence.data(), 2048), 1);
  EXPECT_EQ(GetOpenALWritableBytes(), 3u * 2048u);
  UnlockRecursiveMutex(&g_sound_lock);
  uint32_t writable = 0;
  for (int i = 0; i < 100 && writable != 4u * 2048u; ++i) {
    usleep(10000);
    LockRecursiveMutex(&g_sound_lock);
    writable = GetOpenALWritableBytes();
    UnlockRecursiveMutex(&g_sound_lock);
  }
  EXPECT_EQ(writable, 4u * 2048u);
  LockRecursiveMutex(&g_sound_lock);
  CloseOpenALDevice();
  IgnoreOpenALThreadContext(0);
  UnlockRecursiveMutex(&g_sound_lock);
}

// Every call leaves the caller's current context as it found it: none, or
// the application's own process-wide one; with the per-thread calls and
// without them, on the opening thread and on another one.
TEST_F(OpenALTest, CallersCurrentContextIsLeftAsItWas) {
  uint32_t chunk = 0;
  LockRecursiveMutex(&g_sound_lock);
  ASSERT_EQ(OpenOpenALDevice(48000, 2, &chunk), 1);  // loads the library
  CloseOpenALDevice();
  void *lib = dlopen("libopenal.so.1", RTLD_LAZY | RTLD_NOLOAD);
  OpenALEntries al = {};
  ASSERT_TRUE(lib && ResolveEntry(lib, "alcOpenDevice", &al.alcOpenDevice) &&
              ResolveEntry(lib, "alcCreateContext", &al.alcCreateContext) &&
              ResolveEntry(lib, "alcMakeContextCurrent", &al.alcMakeContextCurrent) &&
              ResolveEntry(lib, "alcGetCurrentContext", &al.alcGetCurrentContext) &&
              ResolveEntry(lib, "alcDestroyContext", &al.alcDestroyContext) &&
              ResolveEntry(lib, "alcCloseDevice", &al.alcCloseDevice));
  ALCdevice *app_device = al.alcOpenDevice(nullptr);
  ASSERT_NE(app_device, nullptr);
  ALCcontext *app = al.alcCreateContext(app_device, nullptr);
  ASSERT_NE(app, nullptr);
  const std::vector<int16_t> silence(1024, 0);
  for (int ignore_thread_context = 0; ignore_thread_context < 2; ++ignore_thread_context) {
    for (ALCcontext *before : {static_cast<ALCcontext *>(nullptr), app}) {
      SCOPED_TRACE(testing::Message() << "per-thread calls " << !ignore_thread_context << ", context before "
                                      << before);
      IgnoreOpenALThreadContext(ignore_thread_context);
      al.alcMakeContextCurrent(before);
      ASSERT_EQ(OpenOpenALDevice(48000, 2, &chunk), 1);
      EXPECT_EQ(al.alcGetCurrentContext(), before);
      EXPECT_EQ(QueueOpenALBuffer(silence.data(), 2048), 1);
      EXPECT_EQ(al.alcGetCurrentContext(), before);
      EXPECT_NE(GetOpenALWritableBytes(), 0u);
      EXPECT_EQ(al.alcGetCurrentContext(), before);
      UnlockRecursiveMutex(&g_sound_lock);
      std::thread other([&] {
        LockRecursiveMutex(&g_sound_lock);
        EXPECT_EQ(QueueOpenALBuffer(silence.data(), 2048), 1);
        EXPECT_NE(GetOpenALWritableBytes(), 0u);
        UnlockRecursiveMutex(&g_sound_lock);
        EXPECT_EQ(al.alcGetCurrentContext(), before);
      });
      other.join();
      LockRecursiveMutex(&g_sound_lock);
      CloseOpenALDevice();
      EXPECT_EQ(al.alcGetCurrentContext(), before);
    }
  }
  IgnoreOpenALThreadContext(0);
  al.alcMakeContextCurrent(nullptr);
  al.alcDestroyContext(app);
  al.alcCloseDevice(app_device);
  UnlockRecursiveMutex(&g_sound_lock);
}

TEST(OpenALFormat, NegotiatedFormatLatencyAndService) {
  uint32_t rate = 0, channels = 1, latency = 0, service = 0;
  EXPECT_EQ(NegotiateOpenALFormat(&rate, &channels, &latency, &service), 1);
  EXPECT_EQ(rate, 48000u);
  EXPECT_EQ(channels, 2u);
  EXPECT_EQ(latency, 42u);
  EXPECT_EQ(service, 5u);
  channels = 6;
  // 2048 frames: 2048 / (rate / 1000) ms from 1000 Hz up, 2048000 / rate
  // below.
  const uint32_t rate_latency[][2] = {{48000, 42}, {44100, 46}, {22050, 93}, {1999, 2048},
                                      {1000, 2048}, {999, 2050}, {750, 2730}, {501, 4087}};
  for (const auto &rl : rate_latency) {
    rate = rl[0];
    EXPECT_EQ(NegotiateOpenALFormat(&rate, &channels, &latency, &service), 1);
    EXPECT_EQ(rate, rl[0]);
    EXPECT_EQ(channels, 6u);
    EXPECT_EQ(latency, rl[1]) << rl[0] << " Hz";
  }
}

}  // namespace
