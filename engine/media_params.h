// Media parameters of the data being coded: set by the block analysis and
// the image filter choice before encoding, and by the audio and image record
// decoders; read by the records and the sample filters. Each keeps its value
// until the next operation that sets it.
#pragma once
#include <cstdint>

extern uint8_t sample_bytes;   // bytes per sample or pixel component, 1..4
extern uint8_t channel_count;  // interleaved channels
extern int32_t image_width;    // pixels per image row
extern int32_t image_height;   // image rows (PNM tests only)
