// The buffered file reader: a ring of the file ahead of the playing position,
// filled in steps of 128 KiB, and the operating-system file operations it
// reaches files through.
#pragma once
#include <atomic>
#include <cstdint>

struct MovieRecord;
struct IoReader;

constexpr uint64_t READ_STEP = 0x20000;             // one fill step: 128 KiB
constexpr uint64_t OS_READ_PIECE = 0x20000000;      // at most 512 MiB per read call
constexpr uint64_t COPY_PIECE = 0x80000000u;        // at most 2 GiB per copy
constexpr uint64_t STOP_OFFSET_NONE = UINT64_MAX;   // no fill step came back short yet

// Reader control codes.
constexpr uint32_t READER_SUSPEND = 0x1;
constexpr uint32_t READER_RESUME = 0x2;
constexpr uint32_t READER_QUERY_LOCK = 0x40000000;
constexpr uint32_t READER_APPLY_NOW = 0x80000000u;

// High word of the ownership tag: the characters VOSH.
constexpr uint64_t READER_OWNER_TAG_KEY = 0x564F534800000000ull;

// A file handle: the descriptor and whether the reader owns it.
struct FileHandle {
  uint64_t fd;
  uint64_t owned;  // 0 for a descriptor handed in
};

// The process-wide table of operating-system file operations.
struct FileOps {
  int (*OpenFile)(FileHandle *handle, const char *path, uint64_t *size_out);
  uint64_t (*ReadFile)(FileHandle *handle, void *dest, uint64_t bytes);
  void (*SeekFile)(FileHandle *handle, uint64_t offset);
  void (*CloseFile)(FileHandle *handle);
};
extern FileOps g_file_ops;

int OsOpenFile(FileHandle *handle, const char *path, uint64_t *size_out);
uint64_t OsReadFile(FileHandle *handle, void *dest, uint64_t bytes);
void OsSeekFile(FileHandle *handle, uint64_t offset);
void OsCloseFile(FileHandle *handle);

// The reader's seven operation slots.
struct ReaderOps {
  uint64_t (*ReadHeader)(IoReader *reader, int64_t offset, void *dest, uint64_t bytes);
  uint64_t (*ReadFrame)(IoReader *reader, uint32_t frame, uint64_t offset, void *dest,
                        uint64_t bytes);
  uint64_t (*BufferSize)(IoReader *reader, uint64_t wanted);
  void (*SetBuffer)(IoReader *reader, void *buffer, uint64_t size, uint64_t file_end,
                    uint32_t read_rate);
  int64_t (*Idle)(IoReader *reader);
  void (*Close)(IoReader *reader);
  uint32_t (*Control)(IoReader *reader, uint32_t code);
};

// Fills the reader's slots for a source; 1 when the source could be opened.
typedef int (*IoOpenFunction)(IoReader *reader, uint64_t source, uint32_t open_flags);

// Hooks between the reader and its movie and host.
struct ReaderHooks {
  void (*Lock)(IoReader *reader);
  int (*TryLock)(IoReader *reader);
  void (*Unlock)(IoReader *reader);
  void (*LockBackoff)(IoReader *reader);
  void (*Throttle)(IoReader *reader, uint64_t bytes, uint32_t t0);
  uint32_t (*Time)();
  void (*DataRead)(const void *dest, uint64_t bytes);
  uint64_t (*AtomicAdd)(std::atomic<uint64_t> *p, uint64_t n);
  void (*Copy)(void *dest, const void *src, uint64_t bytes);
};

struct IoReader {
  ReaderOps ops;
  MovieRecord *movie;
  ReaderHooks hooks;
  std::atomic<uint64_t> total_read;     // bytes read by fill steps
  uint64_t ring_size;
  std::atomic<uint64_t> high_water;     // largest buffered seen
  std::atomic<uint64_t> window;         // min(ring_size, file left from the reading position)
  std::atomic<uint64_t> buffered;       // ring bytes not yet handed out
  std::atomic<uint32_t> error;
  std::atomic<uint32_t> os_read_active;
  std::atomic<uint32_t> engine_busy;    // the caller's thread is inside a frame step
  std::atomic<uint32_t> fill_ms;
  std::atomic<uint32_t> direct_read_ms;
  std::atomic<uint32_t> idle_fill_ms;
  std::atomic<uint32_t> busy_fill_ms;
  std::atomic<uint32_t> suspended;
  uint64_t start_offset;                // where the movie starts inside the file
  std::atomic<uint64_t> file_end;
  std::atomic<uint64_t> consumed;       // file offset of the next byte to hand out
  std::atomic<uint64_t> stop_offset;    // where valid data ends after a short fill
  FileHandle handle;
  std::atomic<uint64_t> read_index;     // ring offset of the next byte to hand out
  std::atomic<uint64_t> file_pos;       // file offset of the next byte a fill reads
  std::atomic<uint64_t> free;           // free ring bytes
  uint8_t *write_pos;                   // ring block the next fill fills
  uint8_t *ring_start;
  uint8_t *ring_end;
  uint32_t tail_read_done;
  uint32_t handed_in;
};

// Set on every suspend or resume, cleared by every close.
extern std::atomic<uint64_t> g_reader_owner_tag;

// The built-in opener (an IoOpenFunction): a path, or a descriptor with open
// flag 0x800000; open flag 0x20 applies reader->start_offset, else a
// descriptor's movie starts at the descriptor's position.
int OpenFileReader(IoReader *reader, uint64_t source, uint32_t open_flags);

uint64_t ReadHeaderBytes(IoReader *reader, int64_t offset, void *dest, uint64_t bytes);
uint64_t ReadFrameBytes(IoReader *reader, uint32_t frame, uint64_t offset, void *dest,
                        uint64_t bytes);
uint64_t GetReadBufferSize(IoReader *reader, uint64_t wanted);
void SetReadBuffer(IoReader *reader, void *buffer, uint64_t size, uint64_t file_end,
                   uint32_t read_rate);
int64_t RunIdleFill(IoReader *reader);
void CloseFileReader(IoReader *reader);
uint32_t ControlFileReader(IoReader *reader, uint32_t code);
// One fill step: bytes read, 0 when nothing was done, -1 when the buffer lock
// was busy.
int64_t FillReadBuffer(IoReader *reader, int forced);

// Performs the movie's pending frame read now.
void CompletePendingRead(MovieRecord *movie);

// Host hooks.
uint32_t HostGetMilliseconds();
uint64_t HostAtomicAdd(std::atomic<uint64_t> *p, uint64_t n);
void HostCopyMemory(void *dest, const void *src, uint64_t bytes);
// Holds the reader back to the movie's simulated read rate.
void ThrottleReadRate(IoReader *reader, uint64_t bytes, uint32_t t0);
// Sets the three host hooks (time, atomic add, copy).
void SetReaderHostHooks(IoReader *reader);
