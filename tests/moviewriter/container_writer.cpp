#include "container_writer.h"

#include <cstdio>
#include <cstring>

uint32_t WriterSignature(const char *three, char revision) {
  return (uint32_t)(uint8_t)three[0] | ((uint32_t)(uint8_t)three[1] << 8) |
         ((uint32_t)(uint8_t)three[2] << 16) | ((uint32_t)(uint8_t)revision << 24);
}

void AppendWord(std::vector<uint8_t> *b, uint32_t w) {
  for (int i = 0; i < 4; i++) b->push_back((uint8_t)(w >> (8 * i)));
}

void AppendHalf(std::vector<uint8_t> *b, uint16_t h) {
  b->push_back((uint8_t)h);
  b->push_back((uint8_t)(h >> 8));
}

void AppendAudioPacket(std::vector<uint8_t> *frame, uint32_t decoded_bytes,
                       const std::vector<uint8_t> &body) {
  AppendWord(frame, (uint32_t)(4 + body.size()));
  AppendWord(frame, decoded_bytes);
  frame->insert(frame->end(), body.begin(), body.end());
}

void AppendNoPacket(std::vector<uint8_t> *frame) { AppendWord(frame, 0); }

static bool HasExtra(uint32_t signature) {
  char rev = (char)(signature >> 24);
  uint32_t base = signature & 0xFFFFFF;
  if (base == WriterSignature("VS2", 0)) return strchr("ijkmn", rev) != nullptr && rev != 0;
  if (base == WriterSignature("VSH", 0)) return rev == 'k';
  return false;
}

uint32_t WriterHeaderExtraSize(uint32_t signature, uint32_t video_flags) {
  if (!HasExtra(signature)) return 0;
  uint32_t n = video_flags >> 24;
  if (video_flags & 0x4) return 4 * n + 16;
  if (video_flags & 0x10000) return 4 * n + 28;
  return 4 * n + 4;
}

std::vector<uint8_t> WriteContainer(const ContainerSpec &desc, ContainerLayout *layout) {
  ContainerLayout local;
  ContainerLayout &lay = layout ? *layout : local;
  lay = ContainerLayout();

  const uint64_t F = desc.frames.size();
  const uint64_t T = desc.tracks.size();
  const uint64_t frame_count = desc.frame_count >= 0 ? (uint64_t)desc.frame_count : F;
  const uint64_t slots = desc.index_slot_count >= 0 ? (uint64_t)desc.index_slot_count : frame_count;
  uint64_t extra_size = 0;
  bool extra = desc.has_extra < 0 ? HasExtra(desc.signature) : desc.has_extra == 1;
  if (extra)
    extra_size = desc.header_extra_size >= 0 ? (uint64_t)desc.header_extra_size
                                             : WriterHeaderExtraSize(desc.signature, desc.video_flags);

  // Layout: header, extra, tables, index (slots + 1 words, or the given
  // words), lead-in, frames.
  lay.extra_offset = 44;
  lay.extra_size = extra_size;
  lay.tables_offset = 44 + extra_size;
  lay.index_offset = lay.tables_offset + 12 * T;
  const uint64_t index_words = desc.index_words.empty() ? slots + 1 : desc.index_words.size();
  uint64_t pos = lay.index_offset + 4 * index_words + desc.lead_in;
  pos = (pos + 3) & ~(uint64_t)3;
  uint64_t largest = 0;
  for (uint64_t i = 0; i < F; i++) {
    lay.frame_offsets.push_back(pos);
    uint64_t size = (desc.frames[i].bytes.size() + 3) & ~(uint64_t)3;
    if (i + 1 < F) size += (desc.frame_gap + 3) & ~3u;
    if (size > largest) largest = size;
    pos += size;
  }
  lay.frame_offsets.push_back(pos);
  lay.total_size = pos;

  std::vector<uint8_t> out;
  out.reserve(pos);
  AppendWord(&out, desc.signature);
  AppendWord(&out, desc.file_size_less_8 >= 0 ? (uint32_t)desc.file_size_less_8 : (uint32_t)(pos - 8));
  AppendWord(&out, (uint32_t)frame_count);
  AppendWord(&out, desc.largest_frame_size >= 0 ? (uint32_t)desc.largest_frame_size : (uint32_t)largest);
  AppendWord(&out, (uint32_t)slots);
  AppendWord(&out, desc.width);
  AppendWord(&out, desc.height);
  AppendWord(&out, desc.rate_num);
  AppendWord(&out, desc.rate_den);
  AppendWord(&out, desc.video_flags);
  AppendWord(&out, desc.sound_track_count >= 0 ? (uint32_t)desc.sound_track_count : (uint32_t)T);
  for (uint64_t i = 0; i < extra_size; i++)
    out.push_back(i < desc.header_extra.size() ? desc.header_extra[i] : 0);
  for (const WriterTrack &t : desc.tracks) AppendWord(&out, t.buffer_size);
  for (const WriterTrack &t : desc.tracks) AppendWord(&out, t.format);
  for (const WriterTrack &t : desc.tracks) AppendWord(&out, t.id);
  if (!desc.index_words.empty()) {
    for (uint32_t w : desc.index_words) AppendWord(&out, w);
  } else {
    for (uint64_t i = 0; i <= slots; i++) {
      uint64_t at = i <= F ? lay.frame_offsets[i] : pos;
      uint32_t key = (i < F && desc.frames[i].key) ? 1 : 0;
      AppendWord(&out, (uint32_t)at | key);
    }
  }
  out.resize(F ? lay.frame_offsets[0] : pos, 0);
  for (uint64_t i = 0; i < F; i++) {
    out.resize(lay.frame_offsets[i], 0);
    out.insert(out.end(), desc.frames[i].bytes.begin(), desc.frames[i].bytes.end());
  }
  out.resize(pos, 0);
  return out;
}

bool WriteBytesFile(const std::vector<uint8_t> &bytes, const std::string &path) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

bool WriteContainerFile(const ContainerSpec &desc, const std::string &path, ContainerLayout *layout) {
  return WriteBytesFile(WriteContainer(desc, layout), path);
}

std::vector<uint8_t> TestFrameBytes(uint32_t n, uint32_t size) {
  std::vector<uint8_t> b(size);
  for (uint32_t k = 0; k < size; k++) b[k] = (uint8_t)((n * 31 + k) & 0xFF);
  return b;
}

ContainerSpec MakeTestMovieSpec(uint32_t signature, uint32_t frame_count, uint32_t base_size) {
  ContainerSpec desc;
  desc.signature = signature;
  for (uint32_t n = 1; n <= frame_count; n++) {
    WriterFrame f;
    f.bytes = TestFrameBytes(n, base_size + (n * 52) % 200 * 4);
    f.key = (n % 5) == 1;
    desc.frames.push_back(f);
  }
  return desc;
}
