// The search for a movie embedded in a larger file: from byte 97280 on, up
// to 100 blocks of 1024 bytes are scanned for a known signature followed by
// a plausible size word.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "player.h"

namespace {

constexpr uint64_t SCAN_START = 97280;
constexpr uint32_t SCAN_BLOCK = 1024;
constexpr uint32_t SCAN_BLOCKS = 100;
constexpr uint32_t SMALLEST_SIZE_WORD = 16000;

uint32_t Le32(const uint8_t *p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// Reads one block; the byte count, or 0 on failure.
uint32_t ReadBlock(int fd, uint8_t *dest) {
  const ssize_t n = read(fd, dest, SCAN_BLOCK);
  return n > 0 ? static_cast<uint32_t>(n) : 0;
}

}  // namespace

int FindEmbeddedMovie(const char *path) {
  // Large-file offsets in the 32-bit build too: the file may pass 2 GiB.
  const int fd = open(path, O_RDONLY | O_LARGEFILE);
  if (fd < 0) return -1;
  const off64_t end = lseek64(fd, 0, SEEK_END);
  const uint64_t size = end > 0 ? static_cast<uint64_t>(end) : 0;
  uint8_t block[SCAN_BLOCK];
  uint8_t next[SCAN_BLOCK];
  if (lseek64(fd, SCAN_START, SEEK_SET) < 0 || ReadBlock(fd, block) != SCAN_BLOCK) {
    close(fd);
    return -1;
  }
  for (uint32_t b = 0; b < SCAN_BLOCKS; ++b) {
    uint32_t next_bytes = 0;
    bool next_read = false;
    for (uint32_t k = 0; k < SCAN_BLOCK; k += 4) {
      if (!VoshIsKnownSignature(Le32(block + k))) continue;
      uint32_t after;
      if (k + 8 <= SCAN_BLOCK) {
        after = Le32(block + k + 4);
      } else {
        // The size word lies in the next block: read it now.
        if (!next_read) {
          next_bytes = ReadBlock(fd, next);
          next_read = true;
        }
        if (next_bytes < 4) continue;
        after = Le32(next);
      }
      if (after > SMALLEST_SIZE_WORD && after < size) {
        const uint64_t at = SCAN_START + (uint64_t)SCAN_BLOCK * b + k;
        if (lseek64(fd, (off64_t)at, SEEK_SET) < 0) break;
        return fd;
      }
    }
    if (b + 1 == SCAN_BLOCKS) break;
    if (!next_read) next_bytes = ReadBlock(fd, next);
    if (next_bytes != SCAN_BLOCK) break;
    memcpy(block, next, SCAN_BLOCK);
  }
  close(fd);
  return -1;
}
