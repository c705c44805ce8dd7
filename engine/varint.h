// Bijective base-128 varints, low group first: every value has exactly one
// form; values below 128 are one byte.
//
// A byte at place i adds b x 128^i, whether or not bit 7 (more follows) is
// set; so 128 is 0x80 0x00 and 128 + 128^2 is 0x80 0x80 0x00. A u32 takes at
// most five bytes.
#pragma once
#include <cstdint>

constexpr uint32_t VARINT_MAX_BYTES = 5;

// Writes v at buf[*len] on and advances *len.
void put_varint(uint8_t* buf, uint32_t* len, uint32_t v);

// Reads a value at buf[*pos] on and advances *pos. For data whose end is
// known to hold a whole varint; a form longer than five bytes or above
// 2^32 - 1 is reported as damage.
uint32_t get_varint(const uint8_t* buf, uint32_t* pos);

// Reads a value from buf[*pos .. end) into *value and advances *pos. Returns
// false, leaving *pos and *value alone, when the form does not end before
// end, is longer than five bytes or is above 2^32 - 1.
bool get_varint_bounded(const uint8_t* buf, uint32_t* pos, uint32_t end, uint32_t* value);
