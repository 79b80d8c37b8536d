// Placeholder for the audio decoder until it is built: a decoder state of
// fixed size that produces no sound.
#include "audio/codec/audio_decoder.h"

uint32_t GetAudioDecoderSize(uint32_t, uint32_t) { return 64; }

AudioDecoder *InitAudioDecoder(void *memory, uint32_t, uint32_t, uint32_t) {
  return static_cast<AudioDecoder *>(memory);
}

void DecodeAudioPacket(AudioDecoder *, AudioOutputRing *ring,
                                             PacketCursor *) {
  ring->free = 0;
  ring->produced = 0;
}
