#include "engine/container.h"

#include <cstring>

const uint32_t SLICE_COUNT_TABLE[4] = {2, 3, 4, 8};

uint32_t ReadLe32(const uint8_t *p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint16_t ReadLe16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }

void WriteLe32(uint8_t *p, uint32_t v) {
  p[0] = (uint8_t)v;
  p[1] = (uint8_t)(v >> 8);
  p[2] = (uint8_t)(v >> 16);
  p[3] = (uint8_t)(v >> 24);
}

static const uint32_t FIRST_GEN_BASE = MakeSignature('V', 'S', 'H', 0);
static const uint32_t SECOND_GEN_BASE = MakeSignature('V', 'S', '2', 0);

// Revision letter when the three signature characters match, else 0.
static char RevisionOf(uint32_t signature, uint32_t base) {
  if ((signature & 0xFFFFFFu) != base) return 0;
  return (char)(signature >> 24);
}

static int LetterIn(char rev, const char *letters) {
  if (rev == 0) return 0;
  return strchr(letters, rev) != nullptr;
}

int IsFirstGenSignature(uint32_t s) { return LetterIn(RevisionOf(s, FIRST_GEN_BASE), "fghik"); }
int IsFirstGenRevisionK(uint32_t s) { return LetterIn(RevisionOf(s, FIRST_GEN_BASE), "k"); }
int IsFirstGenRevisionFOrG(uint32_t s) { return LetterIn(RevisionOf(s, FIRST_GEN_BASE), "fg"); }
int IsFirstGenRevisionFToH(uint32_t s) { return LetterIn(RevisionOf(s, FIRST_GEN_BASE), "fgh"); }
int IsSecondGenRevisionIToN(uint32_t s) { return LetterIn(RevisionOf(s, SECOND_GEN_BASE), "ijkmn"); }
int IsSecondGenRevisionHToN(uint32_t s) { return LetterIn(RevisionOf(s, SECOND_GEN_BASE), "hijkmn"); }
int IsSecondGenSignature(uint32_t s) { return LetterIn(RevisionOf(s, SECOND_GEN_BASE), "fghijkmn"); }
int VoshIsKnownSignature(uint32_t s) { return IsFirstGenSignature(s) || IsSecondGenSignature(s); }

void ParseMovieHeader(const uint8_t *b, MovieHeader *h) {
  h->signature = ReadLe32(b + 0);
  h->file_size_less_8 = ReadLe32(b + 4);
  h->frame_count = ReadLe32(b + 8);
  h->largest_frame_size = ReadLe32(b + 12);
  h->index_slot_count = ReadLe32(b + 16);
  h->width = (int32_t)ReadLe32(b + 20);
  h->height = (int32_t)ReadLe32(b + 24);
  h->frame_rate_num = ReadLe32(b + 28);
  h->frame_rate_den = ReadLe32(b + 32);
  h->video_flags = ReadLe32(b + 36);
  h->sound_track_count = ReadLe32(b + 40);
}

uint32_t GetHeaderExtraSize(uint32_t signature, uint32_t video_flags) {
  if (!IsSecondGenRevisionIToN(signature) && !IsFirstGenRevisionK(signature)) return 0;
  uint32_t words = (video_flags >> VIDEO_FLAG_EXTRA_WORDS_SHIFT) + 1;
  uint32_t first = 0;
  if (video_flags & VIDEO_FLAG_EXTRA_PLANE)
    first = 12;
  else if (video_flags & VIDEO_FLAG_OWN_MATRIX)
    first = 24;
  return first + 4 * words;
}

uint32_t ComputeTrackRingBytes(uint32_t basis) {
  return (((basis * 5u) >> 2) + 255u) & 0x7FFFFF00u;
}

uint32_t GetTrackDecoderFlags(uint32_t track_format, uint32_t movie_flags) {
  if (movie_flags & VIDEO_FLAG_AUDIO_VARIANT) return 4;
  if ((track_format & TRACK_FORMAT_CODEC_MASK) == TRACK_FORMAT_CODEC_ALT) return 1;
  return 0;
}

int WidenFrameIndex(const uint8_t *raw, uint64_t *wide, uint32_t frame_count,
                    uint32_t largest_frame_size, uint32_t stats_size, FrameIndexFacts *facts) {
  const uint64_t F = frame_count;
  // Last to first, so that wide may share memory with the raw words.
  for (uint64_t j = F + 1; j-- > 0;) {
    uint32_t w = ReadLe32(raw + 4 * j);
    wide[j] = w;
  }

  uint64_t carry = 0;
  uint64_t largest = 0;
  uint32_t all_key = 1;
  for (uint64_t j = 0; j < F; j++) {
    uint64_t raw_j = wide[j];
    uint64_t raw_next = wide[j + 1];
    wide[j] = raw_j + carry;
    int64_t step = (int64_t)(raw_next & ~(uint64_t)3) - (int64_t)(raw_j & ~(uint64_t)3);
    uint64_t size;
    if (step < 0) {
      // The offset wrapped past 4 GiB; a step of 0 is an empty frame.
      carry += (uint64_t)1 << 32;
      size = (uint64_t)(step + ((int64_t)1 << 32));
    } else {
      size = (uint64_t)step;
    }
    if (size > MAX_INDEX_STEP) return 0;
    // Frame j + 1 (1-based); every frame but the last is held to the header's figure.
    if (j + 1 < F && size > largest_frame_size) return 0;
    if (size > largest) largest = size;
    all_key &= (uint32_t)raw_j;
  }
  wide[F] += carry;
  facts->file_size_less_8 += carry;
  if ((wide[F] & ~(uint64_t)3) > facts->file_size_less_8 + 8) return 0;
  facts->largest_frame = largest;
  facts->all_key = all_key & 1;

  // Read-ahead: the largest byte span of R consecutive frames.
  const uint64_t R = stats_size;
  uint64_t best = 0;
  uint64_t best_start = 0;
  if (F > R) {
    for (uint64_t j = 0; j + R < F; j++) {
      uint64_t span = (wide[j + R] & ~(uint64_t)3) - (wide[j] & ~(uint64_t)3);
      if (span > best) {
        best = span;
        best_start = j;
      }
    }
  }
  if (best == 0) {
    // Average rule: (end of data - start of frame 1) x R / F, without overflow.
    uint64_t d = (wide[F] & ~(uint64_t)3) - (wide[0] & ~(uint64_t)3);
    uint64_t q = d / F, r = d % F;
    uint64_t size = 0;
    if (__builtin_mul_overflow(q, R, &size) || __builtin_add_overflow(size, r * R / F, &size))
      size = UINT64_MAX - 1;  // impossible to allocate, but not the failure value
    facts->read_ahead_size = size;
    facts->read_ahead_start_frame = 0;
  } else {
    facts->read_ahead_size = best;
    facts->read_ahead_start_frame = (uint32_t)best_start;
  }
  if (facts->read_ahead_size == UINT64_MAX) return 0;
  return 1;
}

void BeginFramePacketWalk(FramePacketWalk *walk, const uint8_t *frame, uint64_t size,
                          uint32_t track_count) {
  walk->frame = frame;
  walk->size = size;
  walk->pos = 0;
  walk->track = 0;
  walk->track_count = track_count;
  walk->outside = 0;
}

int NextFramePacket(FramePacketWalk *walk, AudioPacketView *packet) {
  if (walk->outside || walk->track >= walk->track_count) return 0;
  // Lengths, not pointers, are compared: pos never exceeds size here.
  uint64_t left = walk->pos <= walk->size ? walk->size - walk->pos : 0;
  if (walk->pos > walk->size || left < 4) {
    walk->outside = 1;
    return 0;
  }
  const uint8_t *p = walk->frame + walk->pos;
  uint32_t n = ReadLe32(p);
  packet->track = walk->track;
  packet->packet_bytes = n;
  packet->decoded_bytes = 0;
  packet->usable = 0;
  packet->body_offset = walk->pos + 8;
  packet->end_offset = walk->pos + 4 + (uint64_t)n;
  // A packet decodes only when its decoded-bytes word and body lie inside the frame.
  if (n >= 4 && (uint64_t)n <= left - 4) {
    packet->decoded_bytes = ReadLe32(p + 4) & ~15u;
    packet->usable = packet->decoded_bytes != 0;
  }
  walk->pos = packet->end_offset;
  walk->track++;
  if (walk->pos > walk->size) walk->outside = 1;
  return 1;
}

int GetVideoDataOffset(const FramePacketWalk *walk, uint64_t *offset) {
  if (walk->outside || walk->track < walk->track_count) return 0;
  if (walk->pos >= walk->size) return 0;
  *offset = walk->pos;
  return 1;
}
