// Reversible byte filters of the stride, image and audio records. Each works
// in place, keeps the region's length and has an exact inverse; arithmetic
// wraps in the width of its values; samples are little-endian.
#pragma once
#include <cstdint>

// Sample delta state, cleared at the start of every delta_encode and
// delta_decode call: the last and the current sample of each channel
// (zero-extended to 32 bits) and the channel of the next sample.
constexpr uint32_t DELTA_MAX_CHANNELS = 32;
extern int32_t delta_prev[DELTA_MAX_CHANNELS];
extern int32_t delta_cur[DELTA_MAX_CHANNELS];
extern uint32_t delta_channel;

// Stride split with byte delta: the planes of every stride-th byte one after
// another, each byte replaced by its difference from the byte before it.
// Uses scratch_buffer, which must hold len bytes. The encoder uses stride
// 1, 2, 3, 4 or 8; any stride is safe (0 leaves the region as it is).
void stride_delta_encode(uint8_t* block, uint32_t len, uint32_t stride);
void stride_delta_decode(uint8_t* block, uint32_t len, uint32_t stride);

// Colour transform on 3-byte pixels; the last len % 3 bytes stay.
void rgb_decorrelate(uint8_t* block, int32_t len);
void rgb_restore(uint8_t* block, int32_t len);

// Decorrelation between the channels of each whole 16-bit frame. The values
// need not be 2-byte aligned.
void channels16_decorrelate(uint16_t* values, int32_t count, int32_t channels);
void channels16_restore(uint16_t* values, int32_t count, int32_t channels);

// True when the sample delta can run with these parameters: a sample width
// of 1 to 4 bytes and 1 to 32 channels. Decoders check the parameters they
// read with this before any filter runs.
inline bool delta_params_valid(uint8_t width, uint8_t channels)
{
    return width >= 1 && width <= 4 && channels >= 1 && channels <= DELTA_MAX_CHANNELS;
}

// Sample delta per channel with sample_bytes (1..4) and channel_count
// (1..32); with parameters outside these ranges the region is left as it is.
// A trailing partial sample is transformed as a whole over the up to
// sample_bytes - 1 bytes after the region, which must be writable; the
// region's own bytes come back exactly whatever those bytes hold.
void delta_encode(uint8_t* block, uint32_t len);
void delta_decode(uint8_t* block, uint32_t len);
