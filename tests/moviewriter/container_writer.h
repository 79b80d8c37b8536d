// Test movie writer: containers (header, HeaderExtra, sound-track table,
// frame index, frames) with any field value, valid or not, to memory or to
// a file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A signature word from its three characters and revision letter.
uint32_t WriterSignature(const char *three, char revision);

struct WriterTrack {
  uint32_t buffer_size;  // track_buffer_sizes word
  uint32_t format;       // track_formats word: rate | 0x20000000 stereo | codec bits
  uint32_t id;           // track_ids word
};

struct WriterFrame {
  std::vector<uint8_t> bytes;  // audio packets then video data
  bool key = true;
};

// Every field left at its "computed" value (-1) is derived from the frames
// and tracks; any other value is written as given.
struct ContainerSpec {
  uint32_t signature = WriterSignature("VS2", 'i');
  int64_t file_size_less_8 = -1;
  int64_t frame_count = -1;
  int64_t largest_frame_size = -1;  // computed: the largest frame, the last included
  int64_t index_slot_count = -1;    // computed: the frame count
  uint32_t width = 64;
  uint32_t height = 48;
  uint32_t rate_num = 30;
  uint32_t rate_den = 1;
  uint32_t video_flags = 0;
  int64_t sound_track_count = -1;
  int has_extra = -1;                  // -1: by the revision; 0: none; 1: write extra_bytes
  std::vector<uint8_t> header_extra;   // start of HeaderExtra; padded with zeros to its size
  int64_t header_extra_size = -1;      // -1: the size the flags give
  std::vector<WriterTrack> tracks;
  std::vector<WriterFrame> frames;
  std::vector<uint32_t> index_words;   // when not empty: written instead of the computed index
  uint32_t frame_gap = 0;              // bytes between consecutive frames (rounded to 4)
  uint64_t lead_in = 0;                // bytes after the tables before frame 1
};

// Where the parts landed in the written image.
struct ContainerLayout {
  uint64_t extra_offset = 0;
  uint64_t extra_size = 0;
  uint64_t tables_offset = 0;
  uint64_t index_offset = 0;
  std::vector<uint64_t> frame_offsets;  // one per frame, and the end of the last
  uint64_t total_size = 0;
};

// HeaderExtra's size for a signature and flag word (0 when the revision has none).
uint32_t WriterHeaderExtraSize(uint32_t signature, uint32_t video_flags);

std::vector<uint8_t> WriteContainer(const ContainerSpec &desc, ContainerLayout *layout = nullptr);
bool WriteContainerFile(const ContainerSpec &desc, const std::string &path,
                        ContainerLayout *layout = nullptr);
bool WriteBytesFile(const std::vector<uint8_t> &bytes, const std::string &path);

// Frame building: one audio packet (length word 4 + body size, decoded-bytes
// word, body), a packet-less track (length word 0), raw words.
void AppendAudioPacket(std::vector<uint8_t> *frame, uint32_t decoded_bytes,
                       const std::vector<uint8_t> &body);
void AppendNoPacket(std::vector<uint8_t> *frame);
void AppendWord(std::vector<uint8_t> *bytes, uint32_t word);
void AppendHalf(std::vector<uint8_t> *bytes, uint16_t half);

// A simple test movie: frame_count frames of distinct, recognisable bytes
// (frame n's byte k is (n * 31 + k) & 0xFF), sizes varying with n.
ContainerSpec MakeTestMovieSpec(uint32_t signature, uint32_t frame_count, uint32_t base_size);
// The bytes frame n (1-based) of MakeTestMovieSpec holds.
std::vector<uint8_t> TestFrameBytes(uint32_t n, uint32_t size);
