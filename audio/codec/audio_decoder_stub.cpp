// Placeholder for the audio decoder: a decoder state of fixed size that
// produces no sound.  Weak, so the real decoder replaces it when linked.
#include "audio/codec/audio_decoder.h"

__attribute__((weak)) uint32_t GetAudioDecoderSize(uint32_t, uint32_t) { return 64; }

__attribute__((weak)) AudioDecoder *InitAudioDecoder(void *memory, uint32_t, uint32_t, uint32_t) {
  return static_cast<AudioDecoder *>(memory);
}

__attribute__((weak)) void DecodeAudioPacket(AudioDecoder *, AudioOutputRing *ring,
                                             PacketCursor *) {
  ring->free = 0;
  ring->produced = 0;
}
