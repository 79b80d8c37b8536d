// Constants of the audio bitstream.
#pragma once
#include <cstdint>

extern const uint32_t CRITICAL_BAND_EDGES[25];
extern const float QUANT_LEVELS[96];
extern const uint8_t RUN_LENGTH_CODES[16];
extern const float POW2_SCALES[24];
