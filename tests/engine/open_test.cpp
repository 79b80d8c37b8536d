#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "audio/backends/sound_select.h"
#include "engine/container.h"
#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/reader.h"
#include "engine/utils.h"
#include "moviewriter/container_writer.h"

namespace {

const uint32_t VS2I = MakeSignature('V', 'S', '2', 'i');
const uint32_t VS2H = MakeSignature('V', 'S', '2', 'h');
const uint32_t VSHF = MakeSignature('V', 'S', 'H', 'f');
const uint32_t VSHI = MakeSignature('V', 'S', 'H', 'i');
const uint32_t VSHK = MakeSignature('V', 'S', 'H', 'k');

std::string TempPath(const char *name) {
  return std::string(::testing::TempDir()) + "vosh_open_" + name + "_" + std::to_string(getpid());
}

// Writes the bytes to a file and opens it by path.
HVOSH OpenBytes(const std::vector<uint8_t> &bytes, uint32_t flags = 0,
                const OpenOptions *options = nullptr) {
  const std::string path = TempPath("movie");
  EXPECT_TRUE(WriteBytesFile(bytes, path));
  HVOSH m = OpenMovieWithOptions((uint64_t)(uintptr_t)path.c_str(), options, flags);
  unlink(path.c_str());
  return m;
}

std::string OpenError(const ContainerSpec &desc, uint32_t flags = 0) {
  HVOSH m = OpenBytes(WriteContainer(desc), flags);
  EXPECT_EQ(m, nullptr);
  if (m) VoshCloseMovie(m);
  return VoshGetErrorText();
}

std::string OpenRawError(const std::vector<uint8_t> &bytes) {
  HVOSH m = OpenBytes(bytes);
  EXPECT_EQ(m, nullptr);
  if (m) VoshCloseMovie(m);
  return VoshGetErrorText();
}

// Makes every frame current in turn and compares its bytes.
void ExpectFrames(HVOSH m, const ContainerSpec &desc) {
  for (uint32_t pass = 0; pass < 2; pass++) {
    for (uint32_t n = 1; n <= desc.frames.size(); n++) {
      MoveToFrame(m, n);
      CompletePendingRead(m);
      ASSERT_EQ(m->current_frame, n);
      ASSERT_EQ(m->read_failed, 0u) << n;
      const std::vector<uint8_t> &want = desc.frames[n - 1].bytes;
      ASSERT_GE(m->frame_size, want.size());
      ASSERT_EQ(memcmp(m->frame_data, want.data(), want.size()), 0) << "frame " << n;
      EXPECT_EQ(m->frame_is_key, desc.frames[n - 1].key ? 1u : 0u);
    }
  }
}

const char *const kOpenError = "Error opening file.";
const char *const kNotVosh = "Not a Vosh file.";
const char *const kNoFrames = "The file doesn't contain any compressed frames yet.";
const char *const kCorrupt = "The file has a corrupt header.";
const char *const kReadError = "Error reading Vosh header.";
const char *const kBadIndex = "This file has bad frame size data.";

TEST(OpenErrors, EveryMessageInOrder) {
  const std::string missing = TempPath("missing");
  EXPECT_EQ(OpenMovieWithOptions((uint64_t)(uintptr_t)missing.c_str(), nullptr, 0), nullptr);
  EXPECT_STREQ(VoshGetErrorText(), kOpenError);

  ContainerSpec good = MakeTestMovieSpec(VS2I, 4, 100);
  std::vector<uint8_t> bytes = WriteContainer(good);
  EXPECT_EQ(OpenRawError(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20)), kNotVosh);
  EXPECT_EQ(OpenRawError(std::vector<uint8_t>()), kNotVosh);

  ContainerSpec s = good;
  s.signature = MakeSignature('V', 'S', '2', 'l');
  s.frame_count = 0;
  EXPECT_EQ(OpenError(s), kNotVosh);  // the signature is tested before the frame count
  s = good;
  s.frame_count = 0;
  s.width = 0x8000;
  EXPECT_EQ(OpenError(s), kNoFrames);  // no frames before the limits

  struct Case {
    const char *what;
    void (*change)(ContainerSpec *);
  } limits[] = {
      {"257 tracks", [](ContainerSpec *c) { c->sound_track_count = 257; }},
      {"slots below frames", [](ContainerSpec *c) { c->index_slot_count = 3; }},
      {"too many slots", [](ContainerSpec *c) { c->index_slot_count = 1000001; }},
      {"width", [](ContainerSpec *c) { c->width = 0x8000; }},
      {"height", [](ContainerSpec *c) { c->height = 0x8000; }},
      {"negative width beyond the limit", [](ContainerSpec *c) { c->width = (uint32_t)-0x8000; }},
      {"negative height beyond the limit", [](ContainerSpec *c) { c->height = 0xFF000000u; }},
      {"most negative width", [](ContainerSpec *c) { c->width = 0x80000000u; }},
      {"huge track count", [](ContainerSpec *c) { c->sound_track_count = 0x80000000u; }},
      {"rate numerator 0", [](ContainerSpec *c) { c->rate_num = 0; }},
      {"rate denominator 0", [](ContainerSpec *c) { c->rate_den = 0; }},
  };
  for (const Case &c : limits) {
    s = good;
    c.change(&s);
    EXPECT_EQ(OpenError(s), kCorrupt) << c.what;
  }

  // The table cut short.
  ContainerLayout layout;
  bytes = WriteContainer(good, &layout);
  bytes.resize(layout.index_offset + 6);
  EXPECT_EQ(OpenRawError(bytes), kReadError);
  // HeaderExtra cut short.
  s = good;
  s.video_flags = 20u << 24;
  bytes = WriteContainer(s, &layout);
  bytes.resize(60);
  EXPECT_EQ(OpenRawError(bytes), kReadError);

  // Bad frame size data: a frame above largest_frame_size, an end past the file.
  s = good;
  s.largest_frame_size = 50;
  EXPECT_EQ(OpenError(s), kBadIndex);
  s = good;
  s.file_size_less_8 = 100;
  EXPECT_EQ(OpenError(s), kBadIndex);
  s = good;
  s.index_words = {1000, 900, 1100, 1200, 1300};
  EXPECT_EQ(OpenError(s), kBadIndex);
}

TEST(OpenErrors, MemoryImageErrors) {
  ContainerSpec s = MakeTestMovieSpec(VS2I, 3, 64);
  s.rate_den = 0;
  std::vector<uint8_t> image = WriteContainer(s);
  EXPECT_EQ(OpenMovieWithOptions((uint64_t)(uintptr_t)image.data(), nullptr, OPEN_MEMORY_IMAGE), nullptr);
  EXPECT_STREQ(VoshGetErrorText(), kCorrupt);
  // Tables that reach past the image's own size are not read.
  s = MakeTestMovieSpec(VS2I, 3, 64);
  s.index_slot_count = 500000;
  s.file_size_less_8 = 2000;
  image = WriteContainer(s);
  image.resize(2008);
  EXPECT_EQ(OpenMovieWithOptions((uint64_t)(uintptr_t)image.data(), nullptr, OPEN_MEMORY_IMAGE), nullptr);
  EXPECT_STREQ(VoshGetErrorText(), kReadError);
  EXPECT_EQ(OpenMovieWithOptions(0, nullptr, OPEN_MEMORY_IMAGE), nullptr);

  // An index that steps backwards widens as a 4 GiB wrap: frame 1 would
  // start 4 GiB past an image that is only a few hundred bytes long. A file
  // may be that long; an image is bounded by its own size.
  s = MakeTestMovieSpec(VS2I, 1, 400);
  ContainerLayout layout;
  WriteContainer(s, &layout);
  const uint32_t end = (uint32_t)layout.frame_offsets[1];
  s.index_words = {0xF0000001u + end, end};
  image = WriteContainer(s);
  HVOSH m = OpenMovieWithOptions((uint64_t)(uintptr_t)image.data(), nullptr, OPEN_MEMORY_IMAGE);
  EXPECT_EQ(m, nullptr);
  if (m) VoshCloseMovie(m);
  EXPECT_STREQ(VoshGetErrorText(), kBadIndex);
}

#if UINTPTR_MAX == 0xFFFFFFFFu
TEST(OpenErrors, ImpossibleSizesAreOutOfMemory) {
  // R = 4294967295 frames per second: seven rings of 16 GiB each.
  ContainerSpec s = MakeTestMovieSpec(VS2I, 3, 64);
  s.rate_num = 0xFFFFFFFFu;
  EXPECT_EQ(OpenError(s), "Out of memory.");
  // The whole-file load of a 4 GiB file on a 32-bit build.
  s = MakeTestMovieSpec(VS2I, 3, 64);
  s.file_size_less_8 = 0xFFFFFF00u;
  EXPECT_EQ(OpenError(s, OPEN_WHOLE_FILE), "Out of memory.");
}
#endif

// The largest block asked of the library's allocator while it is watched.
std::atomic<uint64_t> g_largest_request{0};
void NoteRequest(uint64_t len) {
  uint64_t seen = g_largest_request.load();
  while (len > seen && !g_largest_request.compare_exchange_weak(seen, len)) {
  }
}

int AcceptTrack(SoundTrack *track, uint32_t rate, uint32_t channels, uint32_t, HVOSH) {
  track->rate = rate;
  track->channels = channels;
  return 1;
}
TrackOpenFunction AcceptingOutput(uint32_t, uint32_t) { return AcceptTrack; }
TrackOpenFunction NoOutput(uint32_t, uint32_t) { return nullptr; }

TEST(OpenSizes, FileSizesAreCheckedBeforeTheyAreAllocated) {
  const uint64_t kSmall = 1 << 20;
  g_alloc_observer.store(NoteRequest);
  ASSERT_EQ(VoshInstallSoundOutput(AcceptingOutput, 48000, 2), 1);

  // A track whose ring (1 GiB) is far above two seconds of its sound: it is
  // dropped, and its ring is never allocated.
  ContainerSpec s = MakeTestMovieSpec(VS2I, 1, 16);
  s.tracks = {{0xCCCCCCCCu, 0x80000000u | 22050, 0}};
  g_largest_request.store(0);
  HVOSH m = OpenBytes(WriteContainer(s));
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  EXPECT_EQ(m->open_track_count.load(), 0u);
  EXPECT_LT(g_largest_request.load(), kSmall);
  VoshCloseMovie(m);

  // Every other matched track has its ring and decoder in the audio block,
  // played or not: a movie reports the same memory with and without a sound
  // output, and with a track of no codec kind beside it.
  s = MakeTestMovieSpec(VS2I, 1, 16);
  s.tracks = {{96000, 0x10000000u | 48000, 0}, {96000, 48000, 1}};
  const uint32_t both[2] = {0, 1};
  OpenOptions options = {};
  options.track_count = 2;
  options.track_list = both;
  uint64_t used[2] = {0, 0};
  for (int with_output = 0; with_output < 2; with_output++) {
    ASSERT_EQ(VoshInstallSoundOutput(with_output ? AcceptingOutput : NoOutput, 48000, 2), with_output);
    m = OpenBytes(WriteContainer(s), OPEN_TRACK_LIST, &options);
    ASSERT_NE(m, nullptr) << VoshGetErrorText();
    EXPECT_EQ(m->open_track_count.load(), uint32_t(with_output));
    used[with_output] = m->memory_used;
    VoshCloseMovie(m);
  }
  EXPECT_EQ(used[0], used[1]);

  // Whole-file load and preload of a short file that claims 1.75 GiB.
  s = MakeTestMovieSpec(VS2I, 2, 64);
  s.file_size_less_8 = 0x70000000;
  for (uint32_t flags : {OPEN_WHOLE_FILE, OPEN_PRELOAD}) {
    g_largest_request.store(0);
    EXPECT_EQ(OpenError(s, flags), kReadError) << flags;
    EXPECT_LT(g_largest_request.load(), kSmall) << flags;
  }

  // An image's index slots reach far past the image.
  s = MakeTestMovieSpec(VS2I, 2, 64);
  s.index_slot_count = 1000000;
  s.file_size_less_8 = 1000;
  std::vector<uint8_t> image = WriteContainer(s);
  image.resize(1008);
  g_largest_request.store(0);
  EXPECT_EQ(OpenMovieWithOptions((uint64_t)(uintptr_t)image.data(), nullptr, OPEN_MEMORY_IMAGE), nullptr);
  EXPECT_STREQ(VoshGetErrorText(), kReadError);
  EXPECT_LT(g_largest_request.load(), kSmall);

  g_alloc_observer.store(nullptr);
  VoshInstallSoundOutput(NoOutput, 48000, 2);
}

TEST(OpenHeader, FieldsFlagsAndLimits) {
  ContainerSpec s = MakeTestMovieSpec(VS2H, 6, 80);
  s.width = (uint32_t)-320;
  s.height = 0x81000010u;
  s.sound_track_count = 0x40000000u;
  s.video_flags = 0x3 | 0x10 | 0x20000 | 0x40000 | 0x4;
  s.rate_num = 30000;
  s.rate_den = 1001;
  HVOSH m = OpenBytes(WriteContainer(s), 0x100 | 0x800 | OPEN_ALPHA);
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  EXPECT_EQ(m->width, 320u);
  EXPECT_EQ(m->height, 16u);
  EXPECT_EQ(m->sound_track_count, 0);
  EXPECT_EQ(m->stats_size, 30u);
  EXPECT_EQ(m->rate_num, 30000u);
  EXPECT_EQ(m->file_rate_den, 1001u);
  EXPECT_EQ(m->tolerance_ms, 66);
  const uint32_t f = m->movie_flags;
  EXPECT_EQ(f & 0x100, 0u);
  EXPECT_NE(f & 0x400, 0u);
  EXPECT_EQ(f & 0x100000, 0u);  // no alpha in the file
  EXPECT_EQ(f & 0x60017, 0x60017u);
  EXPECT_NE(f & 0x800, 0u);
  EXPECT_EQ(m->frame_buffers, nullptr);         // 0x100 means no frame buffers
  EXPECT_EQ(m->open_complete, 1u);
  EXPECT_EQ(m->tracks[0].speed, 0x10000u);
  EXPECT_EQ(m->open_track_count, 0u);
  EXPECT_NE(m->seam_records, nullptr);
  VoshCloseMovie(m);

  // Revisions f to h of the first generation get 0x8000; alpha is kept when present.
  s = MakeTestMovieSpec(VSHF, 2, 40);
  s.video_flags = 0x100000;
  m = OpenBytes(WriteContainer(s), OPEN_ALPHA);
  ASSERT_NE(m, nullptr);
  EXPECT_NE(m->movie_flags & 0x8000, 0u);
  EXPECT_NE(m->movie_flags & 0x100000, 0u);
  EXPECT_EQ(m->seam_records, nullptr);
  ASSERT_NE(m->frame_buffers, nullptr);
  EXPECT_NE(m->frame_buffers->sets[0][PLANE_ALPHA].pixels, nullptr);
  EXPECT_NE(m->first_gen_scratch.colors, 0u);
  VoshCloseMovie(m);
}

TEST(OpenHeader, ColorMatrixSources) {
  // Own matrix in HeaderExtra (second generation, revision i).
  ContainerSpec s = MakeTestMovieSpec(VS2I, 2, 40);
  s.video_flags = 0x10000 | (2u << 24);
  for (int i = 0; i < 12; i++) AppendHalf(&s.header_extra, (uint16_t)(int16_t)((i - 5) * 1024));
  HVOSH m = OpenBytes(WriteContainer(s));
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  for (int row = 0; row < 4; row++) {
    for (int k = 0; k < 3; k++) EXPECT_EQ(m->color_matrix[row * 4 + k], ((row * 3 + k) - 5) * 0.25f);
    EXPECT_EQ(m->color_matrix[row * 4 + 3], 0.0f);
  }
  EXPECT_EQ(m->header_extra_left, 12u);  // the three trailing words stay
  VoshCloseMovie(m);

  // Six constants with the extra plane (first generation, revision k).
  s = MakeTestMovieSpec(VSHK, 2, 40);
  s.video_flags = 0x4;
  const int16_t c[6] = {32767, -32767, 16384, 0, 1, 77};
  for (int16_t v : c) AppendHalf(&s.header_extra, (uint16_t)v);
  m = OpenBytes(WriteContainer(s));
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  for (int i = 0; i < 5; i++) EXPECT_EQ(m->color_matrix[i], (float)c[i] * (1.0f / 32767.0f));
  EXPECT_EQ(m->color_matrix[5], 77.0f);
  for (int i = 6; i < 16; i++) EXPECT_EQ(m->color_matrix[i], 0.0f);
  EXPECT_EQ(m->header_extra_left, 4u);
  ASSERT_NE(m->frame_buffers, nullptr);
  EXPECT_NE(m->frame_buffers->sets[0][PLANE_EXTRA].pixels, nullptr);
  VoshCloseMovie(m);

  // Default tables; revisions f and g exchange the chroma rows; a revision
  // without HeaderExtra asking for its own matrix gets the default one.
  struct {
    uint32_t sig, vflags, oflags;
    const float *table;
    bool swapped;
  } cases[] = {
      {VSHI, 0, 0, YUV_TO_RGB_VIDEO_RANGE, false},
      {VSHI, 0x10, 0, YUV_TO_RGB_FULL_RANGE, false},
      {VSHI, 0, OPEN_FULL_RANGE, YUV_TO_RGB_FULL_RANGE, false},
      {VSHF, 0, 0, YUV_TO_RGB_VIDEO_RANGE, true},
      {VS2H, 0x10000, 0, YUV_TO_RGB_VIDEO_RANGE, false},
      {VS2H, 0x4 | 0x10, 0, YUV_TO_RGB_FULL_RANGE, false},
  };
  for (const auto &cs : cases) {
    s = MakeTestMovieSpec(cs.sig, 2, 40);
    s.video_flags = cs.vflags;
    m = OpenBytes(WriteContainer(s), cs.oflags);
    ASSERT_NE(m, nullptr) << VoshGetErrorText();
    float want[16];
    memcpy(want, cs.table, sizeof want);
    if (cs.swapped)
      for (int k = 0; k < 3; k++) std::swap(want[k], want[4 + k]);
    for (int i = 0; i < 16; i++) EXPECT_EQ(m->color_matrix[i], want[i]) << i;
    VoshCloseMovie(m);
  }
  EXPECT_EQ(YUV_TO_RGB_VIDEO_RANGE[0], 1.5957947f);
  EXPECT_EQ(YUV_TO_RGB_FULL_RANGE[9], 0.5312151f);
}

// Every way of opening reads the same movie.
TEST(OpenModes, EveryModeOpensTheSameMovie) {
  ContainerSpec desc = MakeTestMovieSpec(VS2I, 25, 20000);
  desc.frames.back().bytes = TestFrameBytes(25, 60000);  // the last frame is the largest
  desc.largest_frame_size = 20800;                       // and exceeds the header's figure
  desc.frame_gap = 8;
  ContainerLayout layout;
  const std::vector<uint8_t> bytes = WriteContainer(desc, &layout);
  const std::string path = TempPath("modes");
  ASSERT_TRUE(WriteBytesFile(bytes, path));
  const uint64_t src = (uint64_t)(uintptr_t)path.c_str();

  auto check = [&](HVOSH m, const char *mode) {
    SCOPED_TRACE(mode);
    ASSERT_NE(m, nullptr) << VoshGetErrorText();
    EXPECT_EQ(m->width, 64u);
    EXPECT_EQ(m->height, 48u);
    EXPECT_EQ(m->frame_count, 25u);
    EXPECT_EQ(m->file_size_less_8, bytes.size() - 8);
    EXPECT_EQ(m->current_frame, 1u);
    EXPECT_EQ(m->frame_index[0] & ~3ull, layout.frame_offsets[0]);
    EXPECT_EQ(m->frame_index[25], layout.frame_offsets[25]);
    EXPECT_EQ(m->all_key, 0u);
    EXPECT_EQ((uintptr_t)m % 256, 0u);
    uint32_t distance;
    memcpy(&distance, (uint8_t *)m - 4, 4);
    EXPECT_GE(distance, 32u);
    EXPECT_LE(distance, 256u);
    EXPECT_EQ(GetMovieBlock(m), (uint8_t *)m - distance);
    EXPECT_GT(m->memory_used, sizeof(MovieRecord));
    ExpectFrames(m, desc);
    VoshCloseMovie(m);
  };

  check(OpenMovieWithOptions(src, nullptr, 0), "path");
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  check(OpenMovieWithOptions((uint64_t)fd, nullptr, OPEN_FILE_DESCRIPTOR), "descriptor");
  EXPECT_NE(fcntl(fd, F_GETFD), -1);
  close(fd);
  check(OpenMovieWithOptions((uint64_t)(uintptr_t)bytes.data(), nullptr, OPEN_MEMORY_IMAGE), "memory");
  check(OpenMovieWithOptions(src, nullptr, OPEN_PRELOAD), "preload");
  OpenOptions small = {0, 1, UINT32_MAX, 0, UINT32_MAX, 0, nullptr, nullptr};
  check(OpenMovieWithOptions(src, &small, OPEN_BUFFER_SIZE), "small ring");
  check(OpenMovieWithOptions(src, nullptr, OPEN_NO_INITIAL_FILL), "no initial fill");

  // The movie embedded at an offset inside a larger file.
  std::vector<uint8_t> outer(5000 + bytes.size(), 0x5A);
  memcpy(outer.data() + 5000, bytes.data(), bytes.size());
  const std::string outer_path = TempPath("outer");
  ASSERT_TRUE(WriteBytesFile(outer, outer_path));
  OpenOptions offset = {5000, UINT64_MAX, UINT32_MAX, 0, UINT32_MAX, 0, nullptr, nullptr};
  check(OpenMovieWithOptions((uint64_t)(uintptr_t)outer_path.c_str(), &offset, OPEN_START_OFFSET), "offset");
  // A descriptor standing at the embedded movie's first byte: its offsets
  // count from there, with no start offset given.
  fd = open(outer_path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 5000, SEEK_SET), 5000);
  check(OpenMovieWithOptions((uint64_t)fd, nullptr, OPEN_FILE_DESCRIPTOR), "descriptor inside");
  close(fd);
  unlink(outer_path.c_str());

  // The whole-file load: one block, the record inside, the file's bytes after it.
  HVOSH whole = OpenMovieWithOptions(src, nullptr, OPEN_WHOLE_FILE);
  ASSERT_NE(whole, nullptr) << VoshGetErrorText();
  EXPECT_EQ(whole->current_frame, 0u);
  EXPECT_EQ(whole->frame_count, 25u);
  EXPECT_EQ(whole->movie_flags & 0x8002000u, 0x8002000u);
  uint32_t distance;
  memcpy(&distance, (uint8_t *)whole - 4, 4);
  EXPECT_GE(distance, 1025u);
  EXPECT_LE(distance, 1280u);
  ASSERT_NE(whole->preloaded_data, nullptr);
  EXPECT_EQ(whole->preloaded_data, (const uint8_t *)whole + sizeof(MovieRecord));
  EXPECT_EQ(memcmp(whole->preloaded_data, bytes.data(), bytes.size()), 0);
  VoshCloseMovie(whole);
  unlink(path.c_str());
}

TEST(OpenModes, ShortFileFailsPreloadAndWholeFileLoad) {
  ContainerSpec desc = MakeTestMovieSpec(VS2I, 10, 500);
  std::vector<uint8_t> bytes = WriteContainer(desc);
  desc.file_size_less_8 = (int64_t)bytes.size() + 1000;  // claims more than is there
  bytes = WriteContainer(desc);
  for (uint32_t flags : {OPEN_PRELOAD, OPEN_WHOLE_FILE}) {
    EXPECT_EQ(OpenBytes(bytes, flags), nullptr) << flags;
    EXPECT_STREQ(VoshGetErrorText(), kReadError);
  }
  // Streaming from the same file works: the frames themselves are all there.
  HVOSH m = OpenBytes(bytes);
  ASSERT_NE(m, nullptr);
  ExpectFrames(m, desc);
  VoshCloseMovie(m);
}

TEST(OpenModes, TruncatedFrameDataFailsOnlyThatFrame) {
  ContainerSpec desc = MakeTestMovieSpec(VS2I, 6, 1000);
  ContainerLayout layout;
  std::vector<uint8_t> bytes = WriteContainer(desc, &layout);
  bytes.resize(layout.frame_offsets[4] + 10);  // frame 5 is cut, frame 6 is gone
  HVOSH m = OpenBytes(bytes);
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  for (uint32_t n = 1; n <= 4; n++) {
    MoveToFrame(m, n);
    CompletePendingRead(m);
    ASSERT_EQ(m->read_failed, 0u) << n;
    EXPECT_EQ(memcmp(m->frame_data, desc.frames[n - 1].bytes.data(), desc.frames[n - 1].bytes.size()), 0);
  }
  MoveToFrame(m, 5);
  CompletePendingRead(m);
  EXPECT_EQ(m->read_failed, 1u);
  VoshCloseMovie(m);
}

TEST(OpenSettings, ReadAheadToleranceAndPendingOverride) {
  // 10 frames at 30 per second: the average rule.
  ContainerSpec desc = MakeTestMovieSpec(VSHI, 10, 400);
  ContainerLayout layout;
  std::vector<uint8_t> bytes = WriteContainer(desc, &layout);
  HVOSH m = OpenBytes(bytes);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->read_ahead_size, (layout.frame_offsets[10] - layout.frame_offsets[0]) * 30 / 10);
  EXPECT_EQ(m->tolerance_ms, 66);
  VoshCloseMovie(m);

  // The override 0/0 plays as fast as possible; the next open forgets it.
  const std::string path = TempPath("override");
  ASSERT_TRUE(WriteBytesFile(bytes, path));
  VoshOverrideFrameRate(0, 0);
  m = VoshOpenMovie((uint64_t)(uintptr_t)path.c_str(), OPEN_RATE_OVERRIDE);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->rate_num, 0u);
  EXPECT_EQ(m->rate_den, 0u);
  EXPECT_EQ(m->tolerance_ms, 2000);
  VoshCloseMovie(m);
  m = VoshOpenMovie((uint64_t)(uintptr_t)path.c_str(), OPEN_RATE_OVERRIDE);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->rate_num, 30u);
  VoshCloseMovie(m);
  unlink(path.c_str());

  // A file denominator larger than the rounding sum gives one ring entry.
  desc.rate_num = 1;
  desc.rate_den = 1000;
  m = OpenBytes(WriteContainer(desc));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->stats_size, 1u);
  VoshCloseMovie(m);
}

TEST(OpenTracks, TracksWithoutSoundOutputPlaySilently) {
  ContainerSpec desc;
  desc.signature = VS2I;
  desc.tracks = {{8000, 0x80000000u | 22050, 3}, {70560, 0x10000000u | 0x20000000u | 44100, 0}};
  for (uint32_t n = 1; n <= 4; n++) {
    WriterFrame f;
    AppendAudioPacket(&f.bytes, 64, std::vector<uint8_t>(16, (uint8_t)n));
    AppendAudioPacket(&f.bytes, 128, std::vector<uint8_t>(24, (uint8_t)n));
    AppendWord(&f.bytes, 0x2000);
    desc.frames.push_back(f);
  }
  const uint32_t wanted[] = {0, 0, 3, 9};
  OpenOptions opts = {0, UINT64_MAX, UINT32_MAX, 0, UINT32_MAX, 4, wanted, nullptr};
  HVOSH m = OpenBytes(WriteContainer(desc), OPEN_TRACK_LIST, &opts);
  ASSERT_NE(m, nullptr) << VoshGetErrorText();
  EXPECT_EQ(m->sound_track_count, 2);
  EXPECT_EQ(ReadLe32(m->track_ids + 4), 0u);
  EXPECT_EQ(ReadLe32(m->track_formats), 0x80000000u | 22050);
  EXPECT_EQ(m->open_track_count, 0u);  // no sound output is installed
  EXPECT_EQ(m->sound_on, 0u);
  EXPECT_EQ(m->tracks[0].speed, 0x10000u);
  // The frame's packets are walked inside the frame.
  MoveToFrame(m, 2);
  CompletePendingRead(m);
  FramePacketWalk walk;
  BeginFramePacketWalk(&walk, m->frame_data, m->frame_size, (uint32_t)m->sound_track_count);
  AudioPacketView p;
  int packets = 0;
  while (NextFramePacket(&walk, &p)) packets += p.usable;
  EXPECT_EQ(packets, 2);
  uint64_t video;
  ASSERT_TRUE(GetVideoDataOffset(&walk, &video));
  EXPECT_EQ(ReadLe32(m->frame_data + video), 0x2000u);
  VoshCloseMovie(m);
}

}  // namespace
