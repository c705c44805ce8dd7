// Order-0 entropy of a buffer and the smoothed entropy level that decides
// which sub-blocks the bit model stores raw.
#pragma once
#include <cstdint>

// Running entropy in hundredths of a bit per byte, 0..800. 0 at process
// start, never reset.
extern uint32_t entropy_level;

// Counts how often each byte value occurs in data[0..len) into h.
void byte_histogram(const uint8_t* data, uint32_t len, uint32_t h[256]);

// Measures data[0..len): updates entropy_level and returns 8 for text,
// 1 for x86 machine code, else 2 (level below 796) or 0.
int32_t measure_piece_entropy(const uint8_t* data, uint32_t len);

// Base-2 logarithm of a positive, normal, finite double, within about one
// ulp of the exact value. Plain double arithmetic only, so the 32-bit and
// 64-bit builds give the same bits (their libm log2 routines may not).
double stable_log2(double x);
