// The audio decoder's entry points: one decoder per played sound track.
#pragma once
#include <cstdint>

// Per-track decoder state; laid out by the decoder in memory the open
// reserves with GetAudioDecoderSize.
struct AudioDecoder;

// Where one decoded block goes: the free part of a track's ring buffer.
// Built by the frame decode job on its stack for every call.
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

uint32_t GetAudioDecoderSize(uint32_t rate, uint32_t channels);
AudioDecoder *InitAudioDecoder(void *memory, uint32_t rate, uint32_t channels, uint32_t flags);
// Decodes exactly one block from the cursor into the ring and advances the cursor.
void DecodeAudioPacket(AudioDecoder *decoder, AudioOutputRing *ring, PacketCursor *cursor);
