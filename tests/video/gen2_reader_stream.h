// A stream made by the test writer, in a heap buffer of exactly its size (so
// that any read past it is caught by the address sanitizer), with the
// decoder's bit reader started on it.
#pragma once
#include <cstdint>
#include <vector>

#include "moviewriter/gen2_symbols.h"
#include "video/gen2/bitreader.h"

struct ReaderStream {
  std::vector<uint8_t> bytes;
  BitReader reader;
};

inline void OpenStream(ReaderStream *s, const BitWriter &w) {
  s->bytes = BitWriterBytes(&w);
  s->bytes.shrink_to_fit();
  StartBitReader(&s->reader, s->bytes.data(), s->bytes.data() + s->bytes.size());
}
