#include <gtest/gtest.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine/container.h"
#include "engine/movie.h"
#include "engine/platform/alloc.h"
#include "engine/reader.h"
#include "moviewriter/container_writer.h"

namespace {

// A scripted file behind the reader's FileOps: content is a function of the
// offset (so files above 4 GiB cost nothing), with a real size, a size the
// header claims, and optionally short pieces.
struct ScriptedFile {
  uint64_t size = 0;           // bytes that can be read
  uint64_t claimed_size = 0;   // the header's file size
  uint64_t pos = 0;
  uint64_t piece_limit = 0;    // when set, a read returns at most this much
  int opens = 0, reads = 0, seeks = 0, closes = 0;
};
ScriptedFile g_file;

uint8_t ByteAt(uint64_t offset) {
  if (offset >= 4 && offset < 8) return (uint8_t)((g_file.claimed_size - 8) >> (8 * (offset - 4)));
  return (uint8_t)((offset * 7) ^ (offset >> 11) ^ (offset >> 29));
}

int ScriptOpen(FileHandle *h, const char *path, uint64_t *) {
  if (strcmp(path, "missing") == 0) return 0;
  g_file.opens++;
  g_file.pos = 0;
  h->fd = 77;
  h->owned = 1;
  return 1;
}
uint64_t ScriptRead(FileHandle *, void *dest, uint64_t bytes) {
  g_file.reads++;
  uint64_t n = g_file.pos < g_file.size ? g_file.size - g_file.pos : 0;
  if (n > bytes) n = bytes;
  if (g_file.piece_limit && n > g_file.piece_limit) n = g_file.piece_limit;
  uint8_t *d = (uint8_t *)dest;
  for (uint64_t i = 0; i < n; i++) d[i] = ByteAt(g_file.pos + i);
  g_file.pos += n;
  return n;
}
void ScriptSeek(FileHandle *, uint64_t offset) {
  g_file.seeks++;
  g_file.pos = offset;
}
void ScriptClose(FileHandle *h) {
  g_file.closes++;
  h->fd = 0;
}

class ReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_file_ops;
    g_file_ops = {ScriptOpen, ScriptRead, ScriptSeek, ScriptClose};
    g_file = ScriptedFile();
    reader_ = new IoReader();
    SetReaderHostHooks(reader_);
  }
  void TearDown() override {
    g_file_ops = saved_;
    delete reader_;
    AlignedFree(buffer_);
  }
  // Opens the scripted file, reads the 44-byte header and installs a ring.
  void Open(uint64_t size, uint64_t claimed, uint64_t ring_bytes) {
    g_file.size = size;
    g_file.claimed_size = claimed;
    ASSERT_TRUE(OpenFileReader(reader_, (uint64_t)(uintptr_t)"movie", 0));
    uint8_t header[44];
    ASSERT_EQ(ReadHeaderBytes(reader_, 0, header, 44), 44u);
    EXPECT_EQ(reader_->file_end, (claimed - 8) % 0x100000000ull + 8);
    reader_->file_end = claimed;  // the open corrects it for large files
    buffer_ = (uint8_t *)AlignedAlloc(ring_bytes);
    ASSERT_NE(buffer_, nullptr);
    SetReadBuffer(reader_, buffer_, ring_bytes, claimed, 0);
  }
  // Reads [offset, offset + n) and checks the bytes; returns the count copied.
  uint64_t ReadAndCheck(uint64_t offset, uint64_t n) {
    std::vector<uint8_t> out(n + 1, 0xEE);
    uint64_t got = ReadFrameBytes(reader_, 1, offset, out.data(), n);
    for (uint64_t i = 0; i < got; i++)
      if (out[i] != ByteAt(offset + i)) {
        ADD_FAILURE() << "byte " << offset + i;
        break;
      }
    EXPECT_EQ(out[n], 0xEE);
    return got;
  }
  FileOps saved_;
  IoReader *reader_ = nullptr;
  uint8_t *buffer_ = nullptr;
};

TEST(ReaderSizes, BufferSizeRounding) {
  EXPECT_EQ(GetReadBufferSize(nullptr, 0), 0x41000u);
  EXPECT_EQ(GetReadBufferSize(nullptr, 1), 0x41000u);
  EXPECT_EQ(GetReadBufferSize(nullptr, 0x60000), 0x61000u);
  EXPECT_EQ(GetReadBufferSize(nullptr, 0x40001), 0x61000u);
  EXPECT_EQ(GetReadBufferSize(nullptr, UINT64_MAX - 5), UINT64_MAX);
}

TEST(ReaderSizes, RingPlacement) {
  IoReader r{};
  std::vector<uint8_t> mem(0x43000);
  uint8_t *base = (uint8_t *)(((uintptr_t)mem.data() + 4095) & ~(uintptr_t)4095);
  SetReadBuffer(&r, base + 100, 0x41000, 1 << 30, 0);
  EXPECT_EQ(r.ring_start, base + 4096);
  EXPECT_EQ(r.ring_size, 0x40000u);
  EXPECT_EQ(r.ring_end, base + 4096 + 0x40000);
  EXPECT_EQ(r.free, 0x40000u);
  // Below 128 KiB the whole buffer is the ring, as given.
  SetReadBuffer(&r, base + 100, 5000, 1 << 30, 0);
  EXPECT_EQ(r.ring_start, base + 100);
  EXPECT_EQ(r.ring_size, 5000u);
}

TEST_F(ReaderTest, StreamingReadsInOrderAndOutOfOrder) {
  Open(3 << 20, 3 << 20, 0x41000);  // 256 KiB ring over a 3 MiB file
  EXPECT_EQ(reader_->ring_size, 0x40000u);
  EXPECT_LT(reader_->ring_size, reader_->file_end.load());
  // Frames one after the other, straddling block and ring boundaries.
  uint64_t at = 1000;
  for (uint64_t n : {5000u, 131072u, 70000u, 200000u, 1u, 99999u}) {
    EXPECT_EQ(ReadAndCheck(at, n), n);
    at += n;
  }
  // Backwards: re-positioned to the 128 KiB block holding the offset.
  int seeks = g_file.seeks;
  EXPECT_EQ(ReadAndCheck(300000, 4000), 4000u);
  EXPECT_EQ(g_file.seeks, seeks + 1);
  EXPECT_EQ(g_file.pos % READ_STEP, 0u);
  // Forward inside the buffered stretch: no seek.
  seeks = g_file.seeks;
  EXPECT_EQ(ReadAndCheck(305000, 4000), 4000u);
  EXPECT_EQ(g_file.seeks, seeks);
  // Far ahead: re-positioned.
  EXPECT_EQ(ReadAndCheck(2900000, 50000), 50000u);
  EXPECT_EQ(reader_->error, 0u);
  // Up to the very end.
  EXPECT_EQ(ReadAndCheck((3 << 20) - 777, 777), 777u);
  EXPECT_EQ(reader_->error, 0u);
  EXPECT_LE(reader_->buffered.load(), reader_->ring_size);
  EXPECT_GT(reader_->total_read.load(), 0u);
}

TEST_F(ReaderTest, WholeFileModeReadsOnce) {
  Open(600000, 600000, 0x100000);
  ASSERT_GE(reader_->ring_size, reader_->file_end.load());
  // Fill it all, as the open does without a background thread.
  while (RunIdleFill(reader_) > 0) {
  }
  const int reads = g_file.reads, seeks = g_file.seeks;
  for (uint64_t off : {500000u, 1000u, 300000u, 44u, 599000u}) EXPECT_EQ(ReadAndCheck(off, 1000), 1000u);
  EXPECT_EQ(g_file.reads, reads);
  EXPECT_EQ(g_file.seeks, seeks);
  EXPECT_EQ(reader_->error, 0u);
}

TEST_F(ReaderTest, TruncatedFileStreaming) {
  // The header promises 2 MiB; 700000 bytes exist.
  Open(700000, 2 << 20, 0x41000);
  EXPECT_EQ(ReadAndCheck(100, 600000), 600000u);
  // A frame that ends exactly where the data ends reads completely.
  EXPECT_EQ(ReadAndCheck(600100, 99900), 99900u);
  EXPECT_EQ(reader_->error, 0u);
  // The first frame reaching past it fails, without hanging.
  EXPECT_EQ(ReadAndCheck(700000, 10), 0u);
  EXPECT_EQ(reader_->error, 1u);
  EXPECT_EQ(ReadAndCheck(100, 10), 0u);  // the reader stays failed
}

TEST_F(ReaderTest, TruncatedFrameStraddlingTheEnd) {
  Open(700000, 2 << 20, 0x41000);
  EXPECT_EQ(ReadAndCheck(690000, 20000), 10000u);
  EXPECT_EQ(reader_->error, 1u);
  EXPECT_EQ(reader_->stop_offset, 700000u);
}

TEST_F(ReaderTest, TruncatedFileWholeFileMode) {
  Open(300000, 500000, 0x100000);
  while (RunIdleFill(reader_) > 0) {
  }
  EXPECT_EQ(ReadAndCheck(250000, 50000), 50000u);
  EXPECT_EQ(reader_->error, 0u);
  EXPECT_EQ(ReadAndCheck(299000, 5000), 1000u);
  EXPECT_EQ(reader_->error, 1u);
}

TEST_F(ReaderTest, RequestPastTheEndFails) {
  Open(400000, 400000, 0x41000);
  EXPECT_EQ(ReadAndCheck(399990, 100), 10u);
  EXPECT_EQ(reader_->error, 1u);
}

TEST_F(ReaderTest, RingUnder128KiBFailsInsteadOfLooping) {
  Open(1 << 20, 1 << 20, 5000);
  EXPECT_LT(reader_->ring_size, READ_STEP);
  std::vector<uint8_t> out(3000);
  EXPECT_EQ(ReadFrameBytes(reader_, 1, 200000, out.data(), out.size()), 0u);
  EXPECT_EQ(reader_->error, 1u);
}

TEST_F(ReaderTest, ShortPiecesStopTheData) {
  Open(1 << 20, 1 << 20, 0x41000);
  g_file.piece_limit = 50000;  // the device returns less than asked
  EXPECT_EQ(ReadAndCheck(1000, 40000), 40000u);
  EXPECT_NE(reader_->stop_offset, STOP_OFFSET_NONE);
  EXPECT_EQ(ReadAndCheck(41000, 100000), 9000u);  // the 50000 bytes read end at 50000
  EXPECT_EQ(reader_->error, 1u);
}

TEST_F(ReaderTest, OffsetsAboveFourGigabytes) {
  const uint64_t size = 0x140000000ull;  // 5 GiB
  Open(size, size, 0x41000);
  for (uint64_t off : {0xFFFFF000ull, 0x100000010ull, 0x100000000ull - 3, 0x13FFFF000ull}) {
    EXPECT_EQ(ReadAndCheck(off, 4096), 4096u) << off;
    EXPECT_EQ(reader_->error, 0u) << off;
  }
  // Sequential reads across the 4 GiB mark.
  for (uint64_t off = 0xFFFC0000ull; off < 0x100080000ull; off += 30000)
    ASSERT_EQ(ReadAndCheck(off, 30000), 30000u);
  EXPECT_EQ(reader_->error, 0u);
}

TEST_F(ReaderTest, OpenerHeaderAndClose) {
  g_file.size = 1000;
  g_file.claimed_size = 1000;
  EXPECT_FALSE(OpenFileReader(reader_, (uint64_t)(uintptr_t)"missing", 0));
  reader_->start_offset = 4096;
  ASSERT_TRUE(OpenFileReader(reader_, (uint64_t)(uintptr_t)"movie", OPEN_START_OFFSET));
  EXPECT_EQ(g_file.pos, 4096u);
  EXPECT_EQ(reader_->ops.ReadFrame, ReadFrameBytes);
  EXPECT_EQ(reader_->stop_offset, STOP_OFFSET_NONE);
  // A later positioned header read adds the start offset.
  uint8_t b[8];
  ReadHeaderBytes(reader_, 16, b, 8);
  EXPECT_EQ(g_file.pos, 4112u);  // 4096 + 16, past the 1000 readable bytes
  EXPECT_EQ(reader_->error, 1u);  // short header read
  CloseFileReader(reader_);
  EXPECT_EQ(g_file.closes, 1);

  // A handed-in descriptor is never closed by the reader.
  IoReader fd_reader{};
  ASSERT_TRUE(OpenFileReader(&fd_reader, 5, OPEN_FILE_DESCRIPTOR));
  EXPECT_EQ(fd_reader.handle.fd, 5u);
  EXPECT_EQ(fd_reader.handed_in, 1u);
  CloseFileReader(&fd_reader);
  EXPECT_EQ(g_file.closes, 1);
}

int g_lock_busy = 0;
int BusyTryLock(IoReader *) { return !g_lock_busy; }
void NoBackoff(IoReader *) {}

TEST_F(ReaderTest, ControlCodes) {
  Open(1 << 20, 1 << 20, 0x41000);
  EXPECT_EQ(ControlFileReader(reader_, 0), 0u);
  EXPECT_EQ(ControlFileReader(reader_, READER_SUSPEND), 1u);
  EXPECT_EQ(g_reader_owner_tag.load(), (uint64_t)(uintptr_t)reader_ ^ 0x564F534800000000ull);
  EXPECT_EQ(RunIdleFill(reader_), 0);          // suspended: the background does nothing
  EXPECT_GT(FillReadBuffer(reader_, 1), 0);    // a forced step still reads
  EXPECT_EQ(ControlFileReader(reader_, READER_RESUME), 0u);
  EXPECT_EQ(ControlFileReader(reader_, READER_SUSPEND | READER_RESUME | READER_APPLY_NOW), 0u);
  reader_->hooks.TryLock = BusyTryLock;
  reader_->hooks.LockBackoff = NoBackoff;
  g_lock_busy = 1;
  EXPECT_EQ(ControlFileReader(reader_, READER_QUERY_LOCK), 0u);
  EXPECT_EQ(FillReadBuffer(reader_, 1), -1);
  g_lock_busy = 0;
  EXPECT_EQ(ControlFileReader(reader_, READER_QUERY_LOCK), 1u);
  CloseFileReader(reader_);
  EXPECT_EQ(g_reader_owner_tag.load(), 0u);
}

// ---- Real files ----

std::string TempPath(const char *name) {
  return std::string(::testing::TempDir()) + "vosh_reader_" + name + "_" + std::to_string(getpid());
}

TEST(ReaderFiles, RealFileThroughTheReader) {
  ContainerSpec desc = MakeTestMovieSpec(MakeSignature('V', 'S', '2', 'g'), 40, 9000);
  ContainerLayout layout;
  std::vector<uint8_t> bytes = WriteContainer(desc, &layout);
  const std::string path = TempPath("real");
  ASSERT_TRUE(WriteBytesFile(bytes, path));
  for (int by_fd = 0; by_fd < 2; by_fd++) {
    IoReader r{};
    SetReaderHostHooks(&r);
    int fd = -1;
    if (by_fd) {
      fd = open(path.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      ASSERT_TRUE(OpenFileReader(&r, (uint64_t)fd, OPEN_FILE_DESCRIPTOR));
    } else {
      ASSERT_TRUE(OpenFileReader(&r, (uint64_t)(uintptr_t)path.c_str(), 0));
    }
    uint8_t header[44];
    ASSERT_EQ(ReadHeaderBytes(&r, 0, header, 44), 44u);
    EXPECT_EQ(r.file_end, bytes.size());
    std::vector<uint8_t> ring(0x41000);
    SetReadBuffer(&r, ring.data(), ring.size(), bytes.size(), 0);
    for (int pass = 0; pass < 2; pass++) {
      for (uint32_t n = 1; n <= 40; n++) {
        uint64_t off = layout.frame_offsets[n - 1];
        uint64_t size = desc.frames[n - 1].bytes.size();
        std::vector<uint8_t> out(size);
        ASSERT_EQ(ReadFrameBytes(&r, n, off, out.data(), size), size);
        ASSERT_EQ(out, desc.frames[n - 1].bytes) << n;
      }
    }
    EXPECT_EQ(r.error, 0u);
    CloseFileReader(&r);
    if (by_fd) {
      EXPECT_NE(fcntl(fd, F_GETFD), -1);  // still open: it was handed in
      close(fd);
    }
  }
  unlink(path.c_str());
}

void OnSignal(int) {}

TEST(ReaderFiles, ReadRetriesAfterInterruption) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  struct sigaction sa {}, old {};
  sa.sa_handler = OnSignal;
  sa.sa_flags = 0;  // no restart: read returns EINTR
  sigemptyset(&sa.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
  std::atomic<uint64_t> got{UINT64_MAX};
  std::atomic<int> started{0};
  uint8_t dest[8] = {0};
  std::thread reader([&] {
    FileHandle h{(uint64_t)fds[0], 1};
    started = 1;
    got = OsReadFile(&h, dest, 8);
  });
  while (!started) usleep(1000);
  usleep(50000);
  pthread_kill(reader.native_handle(), SIGUSR1);
  usleep(50000);
  uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(write(fds[1], data, 8), 8);
  reader.join();
  EXPECT_EQ(got.load(), 8u);
  EXPECT_EQ(memcmp(dest, data, 8), 0);
  sigaction(SIGUSR1, &old, nullptr);
  close(fds[0]);
  close(fds[1]);
}

TEST(ReaderFiles, OsOperations) {
  const std::string path = TempPath("os");
  std::vector<uint8_t> bytes(100000);
  for (size_t i = 0; i < bytes.size(); i++) bytes[i] = (uint8_t)(i * 13);
  ASSERT_TRUE(WriteBytesFile(bytes, path));
  FileHandle h{};
  uint64_t size = 0;
  EXPECT_FALSE(OsOpenFile(&h, (path + ".none").c_str(), &size));
  ASSERT_TRUE(OsOpenFile(&h, path.c_str(), &size));
  EXPECT_EQ(size, bytes.size());
  std::vector<uint8_t> out(200000);
  EXPECT_EQ(OsReadFile(&h, out.data(), out.size()), bytes.size());  // short at the end
  OsSeekFile(&h, 99990);
  EXPECT_EQ(OsReadFile(&h, out.data(), 5), 5u);
  EXPECT_EQ(out[0], bytes[99990]);
  OsCloseFile(&h);
  EXPECT_EQ(h.fd, 0u);
  unlink(path.c_str());
}

}  // namespace
