#include "engine/reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/container.h"
#include "engine/movie.h"
#include "engine/platform/atomics.h"
#include "engine/platform/locks.h"
#include "engine/utils.h"

FileOps g_file_ops = {OsOpenFile, OsReadFile, OsSeekFile, OsCloseFile};
std::atomic<uint64_t> g_reader_owner_tag{0};

// ---- Operating-system file operations ----

int OsOpenFile(FileHandle *handle, const char *path, uint64_t *size_out) {
  // Large-file offsets in the 32-bit build too: a movie may pass 2 GiB.
  int fd = open(path, O_RDONLY | O_LARGEFILE);
  if (fd == -1) return 0;
  if (size_out) {
    off64_t end = lseek64(fd, 0, SEEK_END);
    *size_out = end < 0 ? 0 : (uint64_t)end;
    lseek64(fd, 0, SEEK_SET);
  }
  handle->fd = (uint64_t)fd;
  handle->owned = 1;
  return 1;
}

uint64_t OsReadFile(FileHandle *handle, void *dest, uint64_t bytes) {
  uint8_t *d = (uint8_t *)dest;
  uint64_t done = 0;
  while (done < bytes) {
    uint64_t piece = bytes - done;
    if (piece > OS_READ_PIECE) piece = OS_READ_PIECE;
    ssize_t got = read((int)handle->fd, d + done, (size_t)piece);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += (uint64_t)got;
    if ((uint64_t)got != piece) break;
  }
  return done;
}

void OsSeekFile(FileHandle *handle, uint64_t offset) {
  lseek64((int)handle->fd, (off64_t)offset, SEEK_SET);
}

void OsCloseFile(FileHandle *handle) {
  close((int)handle->fd);
  handle->fd = 0;
  handle->owned = 0;
}

// ---- Host hooks ----

uint32_t HostGetMilliseconds() { return VoshGetMilliseconds(); }

uint64_t HostAtomicAdd(std::atomic<uint64_t> *p, uint64_t n) { return AtomicAdd64(p, n); }

void HostCopyMemory(void *dest, const void *src, uint64_t bytes) {
  uint8_t *d = (uint8_t *)dest;
  const uint8_t *s = (const uint8_t *)src;
  while (bytes > 0) {
    uint64_t piece = bytes > COPY_PIECE ? (uint64_t)COPY_PIECE : bytes;
    memcpy(d, s, (size_t)piece);
    d += piece;
    s += piece;
    bytes -= piece;
  }
}

void SetReaderHostHooks(IoReader *reader) {
  reader->hooks.Time = HostGetMilliseconds;
  reader->hooks.AtomicAdd = HostAtomicAdd;
  reader->hooks.Copy = HostCopyMemory;
}

void ThrottleReadRate(IoReader *reader, uint64_t bytes, uint32_t t0) {
  MovieRecord *movie = reader->movie;
  if (!movie || movie->read_rate == 0) return;
  uint64_t cost = bytes / movie->read_rate * 1000 + bytes % movie->read_rate * 1000 / movie->read_rate;
  if (cost > 0xFFFFFFFFu) cost = 0xFFFFFFFFu;
  uint32_t now = VoshGetMilliseconds();
  int64_t debt = (int64_t)movie->read_debt_ms + (int64_t)cost - (int64_t)(uint32_t)(now - t0);
  while (debt > 0) {
    SleepMilliseconds(1);
    uint32_t t = VoshGetMilliseconds();
    uint32_t passed = t - now;
    debt -= passed ? passed : 1;  // a clock that stands still must not hold the reader forever
    now = t;
  }
  if (debt < INT32_MIN) debt = INT32_MIN;
  movie->read_debt_ms = (int32_t)debt;
}

// ---- Helpers over the optional hooks ----

static void Lock(IoReader *r) {
  if (r->hooks.Lock) r->hooks.Lock(r);
}
static void Unlock(IoReader *r) {
  if (r->hooks.Unlock) r->hooks.Unlock(r);
}
// A reader without a try-lock hook has nobody to share its buffer with.
static int TryLock(IoReader *r) { return r->hooks.TryLock ? r->hooks.TryLock(r) : 1; }
static uint32_t Now(IoReader *r) { return r->hooks.Time ? r->hooks.Time() : 0; }
static void Add(IoReader *r, std::atomic<uint64_t> *p, uint64_t n) {
  if (r->hooks.AtomicAdd)
    r->hooks.AtomicAdd(p, n);
  else
    p->fetch_add(n);
}
static void Sub(IoReader *r, std::atomic<uint64_t> *p, uint64_t n) { Add(r, p, (uint64_t)0 - n); }
static void CopyBytes(IoReader *r, void *dest, const void *src, uint64_t n) {
  if (n == 0) return;
  if (r->hooks.Copy)
    r->hooks.Copy(dest, src, n);
  else
    memcpy(dest, src, (size_t)n);
}
static uint64_t SaturatingSub(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }
static int IsWholeFileMode(const IoReader *r) { return r->ring_size >= r->file_end; }

// Moves the ring's read position forward by n bytes, wrapping at the ring end.
static void AdvanceReadIndex(IoReader *r, uint64_t n) {
  Add(r, &r->read_index, n);
  if (!IsWholeFileMode(r) && r->ring_size > 0 && r->read_index >= r->ring_size)
    Sub(r, &r->read_index, r->ring_size);
}

// ---- Reader operations ----

int OpenFileReader(IoReader *reader, uint64_t source, uint32_t open_flags) {
  if (open_flags & OPEN_FILE_DESCRIPTOR) {
    reader->handle.fd = source;
    reader->handle.owned = 0;
    reader->handed_in = 1;
  } else {
    if (!g_file_ops.OpenFile(&reader->handle, (const char *)(uintptr_t)source, nullptr)) return 0;
  }
  if (open_flags & OPEN_START_OFFSET) {
    if (reader->start_offset != 0) g_file_ops.SeekFile(&reader->handle, reader->start_offset);
  } else if (open_flags & OPEN_FILE_DESCRIPTOR) {
    // A movie inside a larger file is handed in positioned at its first
    // byte: its offsets count from there.
    const off64_t at = lseek64((int)source, 0, SEEK_CUR);
    reader->start_offset = at > 0 ? (uint64_t)at : 0;
  } else {
    reader->start_offset = 0;
  }
  reader->stop_offset = STOP_OFFSET_NONE;
  reader->ops.ReadHeader = ReadHeaderBytes;
  reader->ops.ReadFrame = ReadFrameBytes;
  reader->ops.BufferSize = GetReadBufferSize;
  reader->ops.SetBuffer = SetReadBuffer;
  reader->ops.Idle = RunIdleFill;
  reader->ops.Close = CloseFileReader;
  reader->ops.Control = ControlFileReader;
  return 1;
}

uint64_t ReadHeaderBytes(IoReader *r, int64_t offset, void *dest, uint64_t bytes) {
  Lock(r);
  if (offset >= 0 && (uint64_t)offset != r->file_pos) {
    g_file_ops.SeekFile(&r->handle, r->start_offset + (uint64_t)offset);
    r->file_pos = (uint64_t)offset;
  }
  uint64_t n = g_file_ops.ReadFile(&r->handle, dest, bytes);
  if (n != bytes) r->error = 1;
  r->file_pos += n;
  r->consumed = r->file_pos.load();
  if (r->hooks.DataRead) r->hooks.DataRead(dest, n);
  if (offset == 0 && n >= 8) r->file_end = (uint64_t)ReadLe32((const uint8_t *)dest + 4) + 8;
  uint64_t left = SaturatingSub(r->file_end, r->consumed);
  r->window = left < r->ring_size ? left : r->ring_size;
  Unlock(r);
  return n;
}

uint64_t GetReadBufferSize(IoReader *, uint64_t wanted) {
  if (wanted > UINT64_MAX - READ_STEP - 4096) return UINT64_MAX;
  uint64_t rounded = (wanted + READ_STEP - 1) & ~(READ_STEP - 1);
  if (rounded < 2 * READ_STEP) rounded = 2 * READ_STEP;
  return rounded + 4096;
}

void SetReadBuffer(IoReader *r, void *buffer, uint64_t size, uint64_t file_end, uint32_t) {
  Lock(r);
  uintptr_t b = (uintptr_t)buffer;
  uintptr_t a = (b + 4095) & ~(uintptr_t)4095;
  uint64_t gap = (uint64_t)(a - b);
  uint64_t usable;
  if (size < gap || size - gap < READ_STEP) {
    a = b;
    usable = size;
  } else {
    usable = (size - gap) & ~(READ_STEP - 1);
  }
  r->ring_start = (uint8_t *)a;
  r->write_pos = r->ring_start;
  r->ring_end = r->ring_start ? r->ring_start + usable : nullptr;
  r->ring_size = usable;
  r->free = usable;
  r->window = usable;
  r->read_index = 0;
  r->buffered = 0;
  r->file_end = file_end;
  Unlock(r);
}

// Once, for movies with the tail flag: 32 bytes just before frame 1.
static void RunTailRead(IoReader *r) {
  MovieRecord *movie = r->movie;
  if (r->tail_read_done || !movie || !(movie->movie_flags & OPEN_TAIL_READ)) return;
  r->tail_read_done = 1;
  movie->movie_flags &= ~(uint32_t)OPEN_TAIL_READ;
  uint64_t first = movie->frame_index ? movie->frame_index[0] : 0;
  uint64_t at = first >= 32 ? (first - 32) & ~(uint64_t)1 : 0;
  uint8_t scratch[32];
  g_file_ops.SeekFile(&r->handle, r->start_offset + at);
  if (g_file_ops.ReadFile(&r->handle, scratch, sizeof scratch) != sizeof scratch) r->error = 1;
}

int64_t FillReadBuffer(IoReader *r, int forced) {
  uint32_t busy_at_start = r->engine_busy;
  if (r->stop_offset != STOP_OFFSET_NONE) return 0;
  if (!forced && r->suspended) return 0;
  if (!TryLock(r)) {
    if (r->hooks.LockBackoff) r->hooks.LockBackoff(r);
    return -1;
  }
  uint64_t file_pos = r->file_pos;
  uint64_t left = SaturatingSub(r->file_end, file_pos);
  if (left == 0) {
    RunTailRead(r);
    r->window = r->buffered.load();
    Unlock(r);
    return 0;
  }
  if (r->free < READ_STEP && left > r->free) {
    r->window = r->buffered.load();
    Unlock(r);
    return 0;
  }
  uint64_t n = left < READ_STEP ? left : READ_STEP;
  uint32_t t0 = Now(r);
  // Ring blocks stand for 128 KiB-aligned blocks of the file.
  uint64_t s = 0;
  if (left > READ_STEP) s = file_pos % READ_STEP;
  if (IsWholeFileMode(r)) Sub(r, &r->consumed, s);
  Add(r, &r->read_index, s);
  n -= s;
  if (r->tail_read_done) {
    if (r->movie) r->movie->movie_flags &= ~(uint32_t)OPEN_TAIL_READ;
    r->tail_read_done = 0;
  }
  r->os_read_active = 1;
  uint64_t m = g_file_ops.ReadFile(&r->handle, r->write_pos + s, n);
  r->os_read_active = 0;
  if (r->hooks.Throttle) r->hooks.Throttle(r, m, t0);
  if (m != n) {
    uint64_t end = file_pos + m;  // valid data ends here
    if (end < r->stop_offset) r->stop_offset = end;
  }
  if (m == 0) {
    Unlock(r);
    return 0;
  }
  r->total_read += m;
  r->file_pos += m;
  r->write_pos += READ_STEP;
  if (r->write_pos >= r->ring_end) r->write_pos = r->ring_start;
  Sub(r, &r->free, m);
  Add(r, &r->buffered, m);
  uint64_t buffered = r->buffered;
  if (buffered > r->high_water) r->high_water = buffered;
  uint32_t d = Now(r) - t0;
  r->fill_ms += d;
  if (busy_at_start || r->engine_busy)
    r->busy_fill_ms += d;
  else
    r->idle_fill_ms += d;
  Unlock(r);
  return (int64_t)m;
}

int64_t RunIdleFill(IoReader *reader) { return FillReadBuffer(reader, 0); }

// Drops the ring and seeks to the 128 KiB block holding offset; the bytes
// before offset in that block are to be skipped.
static uint64_t Reposition(IoReader *r, uint64_t offset) {
  uint64_t s = offset % READ_STEP;
  uint64_t base = offset - s;
  g_file_ops.SeekFile(&r->handle, r->start_offset + base);
  r->file_pos = base;
  r->consumed = base;
  r->free = r->ring_size;
  r->buffered = 0;
  r->read_index = 0;
  r->write_pos = r->ring_start;
  return s;
}

uint64_t ReadFrameBytes(IoReader *r, uint32_t, uint64_t offset, void *dest, uint64_t bytes) {
  if (r->error) return 0;
  int locked = 0;
  uint64_t skip = 0;
  const int whole = IsWholeFileMode(r);

  if (offset != UINT64_MAX) {
    if (!whole) {
      if (offset != r->consumed) {
        Lock(r);
        locked = 1;
        uint64_t consumed = r->consumed;
        if (consumed < offset && offset <= r->file_pos) {
          uint64_t d = offset - consumed;
          r->consumed = offset;
          Add(r, &r->free, d);
          Sub(r, &r->buffered, d);
          AdvanceReadIndex(r, d);
        } else {
          skip = Reposition(r, offset);
        }
      }
    } else if (r->consumed + r->read_index != offset) {
      Lock(r);
      locked = 1;
      uint64_t consumed = r->consumed, file_pos = r->file_pos;
      if (consumed <= offset && offset <= file_pos) {
        r->read_index = offset - consumed;
        r->window = SaturatingSub(r->file_end, r->read_index);
        r->buffered = file_pos - offset;
      } else {
        uint64_t s = offset % READ_STEP;
        if (consumed + r->read_index == offset - s)
          skip = s;
        else
          skip = Reposition(r, offset);
      }
    }
  }

  uint8_t *d = (uint8_t *)dest;
  uint64_t copied = 0;
  for (;;) {
    uint64_t buffered = r->buffered;
    if (skip > 0 && buffered > 0) {
      uint64_t k = buffered < skip ? buffered : skip;
      AdvanceReadIndex(r, k);
      Sub(r, &r->buffered, k);
      if (!whole) {
        r->consumed += k;
        Add(r, &r->free, k);
      }
      skip -= k;
      buffered -= k;
    }
    if (skip == 0 && bytes > 0 && buffered > 0) {
      uint64_t k = buffered < bytes ? buffered : bytes;
      uint64_t at = r->read_index;
      if (!whole) {
        r->consumed += k;
        uint64_t first = r->ring_size - at;
        if (first > k) first = k;
        CopyBytes(r, d, r->ring_start + at, first);
        CopyBytes(r, d + first, r->ring_start, k - first);
        AdvanceReadIndex(r, k);
        Sub(r, &r->buffered, k);
        Add(r, &r->free, k);
        uint64_t w = SaturatingSub(r->file_end, r->consumed);
        if (w > r->ring_size) w = r->ring_size;
        uint64_t now_buffered = r->buffered;
        r->window = w > now_buffered ? w : now_buffered;
      } else {
        CopyBytes(r, d, r->ring_start + at, k);
        r->read_index += k;
        Sub(r, &r->buffered, k);
        r->window = SaturatingSub(r->file_end, r->read_index);
      }
      d += k;
      copied += k;
      bytes -= k;
    }
    if (bytes == 0 && skip == 0) break;
    if (r->error) break;
    // More is needed: read on. A step that brings nothing while nothing is
    // buffered (end of the data, a request past the end, no room) ends the
    // read as failed instead of trying forever.
    int64_t got = FillReadBuffer(r, 1);
    if (got == 0 && r->buffered == 0) {
      r->error = 1;
      break;
    }
  }
  if (locked) Unlock(r);
  if (r->hooks.DataRead) r->hooks.DataRead(dest, copied);
  return copied;
}

uint32_t ControlFileReader(IoReader *r, uint32_t code) {
  const uint64_t tag = (uint64_t)(uintptr_t)r ^ READER_OWNER_TAG_KEY;
  if (code & READER_SUSPEND) {
    r->suspended = 1;
    g_reader_owner_tag = tag;
    if (code & READER_APPLY_NOW) {
      Lock(r);
      Unlock(r);
    }
  }
  if (code & READER_RESUME) {
    if (r->suspended == 1) r->suspended = 0;
    g_reader_owner_tag = tag;
    if (code & READER_APPLY_NOW) FillReadBuffer(r, 0);
  }
  if (code & READER_QUERY_LOCK) {
    if (TryLock(r)) {
      Unlock(r);
      return 1;
    }
    return 0;
  }
  return r->suspended;
}

void CloseFileReader(IoReader *r) {
  Lock(r);
  g_reader_owner_tag = 0;
  if (!r->handed_in) g_file_ops.CloseFile(&r->handle);
  Unlock(r);
}

void CompletePendingRead(MovieRecord *movie) {
  if (!movie->read_pending) return;
  LockRecursiveMutex(&movie->io_request_lock);
  if (movie->read_pending) {
    IoReader *r = &movie->reader;
    if (r->ops.ReadFrame)
      r->ops.ReadFrame(r, movie->requested_frame, movie->frame_offset, movie->frame_data,
                       movie->frame_size);
    movie->window_start = movie->frame_offset + movie->frame_size;
    if (r->error || !r->ops.ReadFrame) movie->read_failed = 1;
    movie->read_pending = 0;
  }
  UnlockRecursiveMutex(&movie->io_request_lock);
  if (IsIoThreadRunning()) PostIoThread();
}
