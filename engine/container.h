// The movie file container: signatures, the fixed header, the header
// extension, the sound-track table, the frame index and the walk over one
// frame's audio packets.
#pragma once
#include <cstdint>

#include "vosh.h"

constexpr uint32_t MOVIE_HEADER_SIZE = 44;
constexpr uint32_t MAX_SOUND_TRACKS = 256;
constexpr uint32_t MAX_INDEX_SLOTS = 1000000;
constexpr uint32_t MAX_PICTURE_SIDE = 0x7FFF;
constexpr uint32_t MAX_INDEX_STEP = 0x10000000;  // 256 MiB between two index entries

// VideoFlags: the header's flag word.
constexpr uint32_t VIDEO_FLAG_SLICE_INDEX = 0x3;
constexpr uint32_t VIDEO_FLAG_EXTRA_PLANE = 0x4;
constexpr uint32_t VIDEO_FLAG_FULL_RANGE = 0x10;
constexpr uint32_t VIDEO_FLAG_OWN_MATRIX = 0x10000;
constexpr uint32_t VIDEO_FLAG_GREY = 0x20000;
constexpr uint32_t VIDEO_FLAG_AUDIO_VARIANT = 0x40000;
constexpr uint32_t VIDEO_FLAG_ALPHA = 0x100000;
constexpr uint32_t VIDEO_FLAG_EXTRA_WORDS_SHIFT = 24;

// track_formats words.
constexpr uint32_t TRACK_FORMAT_RATE_MASK = 0xFFFF;
constexpr uint32_t TRACK_FORMAT_STEREO = 0x20000000;
constexpr uint32_t TRACK_FORMAT_CODEC_MASK = 0x90000000;
constexpr uint32_t TRACK_FORMAT_CODEC_ALT = 0x10000000;  // exactly bit 28: audio decoder flag 1

// Slice counts of second-generation frames by the header's slice index.
extern const uint32_t SLICE_COUNT_TABLE[4];

// The 44-byte header, eleven little-endian words, as stored.
struct MovieHeader {
  uint32_t signature;
  uint32_t file_size_less_8;
  uint32_t frame_count;
  uint32_t largest_frame_size;
  uint32_t index_slot_count;
  int32_t width;
  int32_t height;
  uint32_t frame_rate_num;
  uint32_t frame_rate_den;
  uint32_t video_flags;
  uint32_t sound_track_count;
};

uint32_t ReadLe32(const uint8_t *p);
uint16_t ReadLe16(const uint8_t *p);
void WriteLe32(uint8_t *p, uint32_t v);

// Signature word from its three characters and revision letter.
constexpr uint32_t MakeSignature(char a, char b, char c, char rev) {
  return (uint32_t)(uint8_t)a | ((uint32_t)(uint8_t)b << 8) | ((uint32_t)(uint8_t)c << 16) |
         ((uint32_t)(uint8_t)rev << 24);
}

int IsFirstGenSignature(uint32_t signature);
int IsFirstGenRevisionK(uint32_t signature);
int IsFirstGenRevisionFOrG(uint32_t signature);
int IsFirstGenRevisionFToH(uint32_t signature);
int IsSecondGenRevisionIToN(uint32_t signature);
int IsSecondGenRevisionHToN(uint32_t signature);
int IsSecondGenSignature(uint32_t signature);

// Loads the eleven header words from 44 bytes of file data.
void ParseMovieHeader(const uint8_t *bytes, MovieHeader *header);

// Bytes of HeaderExtra for this signature and flag word; 0 for the
// revisions that have none.
uint32_t GetHeaderExtraSize(uint32_t signature, uint32_t video_flags);

// A track's ring buffer bytes from its track_buffer_sizes word (32-bit
// arithmetic, a multiple of 256, bit 31 clear).
uint32_t ComputeTrackRingBytes(uint32_t basis);

// Audio decoder flags of a track: 4 with the audio variant movie flag, 1 for
// the alternative codec kind, else 0.
uint32_t GetTrackDecoderFlags(uint32_t track_format, uint32_t movie_flags);

// What widening the frame index found out.
struct FrameIndexFacts {
  uint64_t file_size_less_8;   // in: the header's value; out: corrected by the wraps
  uint64_t read_ahead_size;    // largest span of R consecutive frames
  uint64_t largest_frame;      // largest frame of the index, the last one included
  uint32_t read_ahead_start_frame;  // 0-based first frame of that span
  uint32_t all_key;            // every frame is a key frame
};

// Widens frame_count + 1 little-endian 32-bit index words at raw into 64-bit
// offsets at wide. wide may overlap raw when it starts at or after raw (the
// copy works from the last word to the first). stats_size is R. Returns 0
// when the index is unusable (a step above 256 MiB, a frame other than the
// last above largest_frame_size, an end past the file, an impossible
// read-ahead size).
int WidenFrameIndex(const uint8_t *raw, uint64_t *wide, uint32_t frame_count,
                    uint32_t largest_frame_size, uint32_t stats_size, FrameIndexFacts *facts);

// The packet of one sound track inside a frame.
struct AudioPacketView {
  uint32_t track;          // file track index
  uint32_t packet_bytes;   // bytes after the length word
  uint32_t decoded_bytes;  // decoded byte count rounded down to 16 (0 when unusable)
  uint32_t usable;         // the packet lies wholly inside the frame and decodes to something
  uint64_t body_offset;    // offset of the body from the frame start
  uint64_t end_offset;     // offset just past the packet
};

// Walks the audio packets of a frame, one per sound track of the file,
// never reading outside the frame's bytes.
struct FramePacketWalk {
  const uint8_t *frame;
  uint64_t size;
  uint64_t pos;
  uint32_t track;
  uint32_t track_count;
  uint32_t outside;  // the walk left the frame: no video
};

void BeginFramePacketWalk(FramePacketWalk *walk, const uint8_t *frame, uint64_t size,
                          uint32_t track_count);
// Steps over the next track's packet. 1 with *packet filled, 0 when every
// track was walked or the walk left the frame.
int NextFramePacket(FramePacketWalk *walk, AudioPacketView *packet);
// After the walk: 1 and the offset of the video data when it starts inside
// the frame, else 0.
int GetVideoDataOffset(const FramePacketWalk *walk, uint64_t *offset);
