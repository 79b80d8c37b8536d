// The audio decoder: one per played sound track.  Each call decodes one
// transform block of an audio packet (per-channel spectral coefficients,
// quantised by band), synthesises it into 16-bit PCM, joins it to the
// previous block with a short linear crossfade and appends it to the
// track's ring buffer.
#pragma once
#include <cstdint>

// Decoder flags handed to InitAudioDecoder.
enum : uint32_t {
  AUDIO_FLAG_SEPARATE_CHANNELS = 1,  // channel blocks of their own; 2 leading bits per block
  AUDIO_FLAG_SEVEN_BIT = 4,          // 7-bit quantiser indexes, signs after magnitudes
};

// Per-track decoder state, in memory the open reserves with
// GetAudioDecoderSize (16-byte aligned).  The overlap buffer follows the
// record in the same memory.
struct AudioDecoder {
  uint8_t *overlap;         // the previous block's held-back tail
  uint32_t length;          // N, coefficients per channel block
  float scale;              // 2 / sqrt(N)
  uint32_t overlap_bytes;   // o: 64, 128, 256 or 512
  uint32_t shift;           // log2(o / 2)
  uint32_t channels;        // coded channel blocks per block
  uint32_t first_block;     // 1 until the first block is decoded
  uint32_t band_count;      // B, 0..25
  uint32_t flags;           // decoder flags (bit 2 implies bit 0)
  uint32_t band_starts[26]; // B + 1 entries, in coefficient pairs
};

// Where one decoded block goes: the free part of a track's ring buffer.
// Built by the frame decode job on its stack for every call.  Ring bounds
// and positions are 16-byte aligned.
struct AudioOutputRing {
  uint8_t *write;     // next byte to write; advanced by the decoder
  uint8_t *start;     // first byte of the ring
  uint8_t *end;       // one past the last byte of the ring
  uint32_t free;      // bytes that may be written; on return, bytes written by the block
  uint32_t skip;      // output bytes to drop before writing
  uint32_t produced;  // out: bytes the block produced, dropped ones included
};

// Position inside one audio packet body.
struct PacketCursor {
  const uint32_t *next;  // next unread 32-bit word
  const uint8_t *end;    // one past the packet's last byte
};

// Bytes one decoder needs for a track of this rate and channel count.
uint32_t GetAudioDecoderSize(uint32_t rate, uint32_t channels);
// Lays out a decoder in memory of GetAudioDecoderSize bytes; null when the
// layout is not supported.
AudioDecoder *InitAudioDecoder(void *memory, uint32_t rate, uint32_t channels, uint32_t flags);
// Decodes exactly one block from the cursor into the ring and advances the
// cursor.  Reads nothing at or past cursor->end.
void DecodeAudioPacket(AudioDecoder *decoder, AudioOutputRing *ring, PacketCursor *cursor);

// Appends len bytes from src to the ring (taking the skip from the front,
// clamping to the free bytes); src may be the write position itself.
void WriteAudioRing(AudioOutputRing *ring, const uint8_t *src, uint32_t len);
