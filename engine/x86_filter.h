// x86 call and jump filter: the 32-bit relative operand after an E8 or E9
// byte becomes the absolute target in a packed 25-bit form, through an
// 8-byte sliding window. The inverse restores any region exactly.
#pragma once
#include <cstdint>

struct X86Filter {
    uint8_t pending_mask;  // bit set: the slot holds no byte of the region
    uint32_t next_check;   // smallest position of the next opcode test
    uint32_t position;     // bytes pushed since the reset
    uint32_t window_old;   // four older bytes, oldest in the low byte
    uint32_t window_new;   // four newer bytes, newest in the high byte
};

extern X86Filter x86_filter;

void x86_filter_reset();
// Push one byte; returns the byte leaving the window, or -1 while filling.
int32_t x86_filter_step_encode(uint8_t byte);
int32_t x86_filter_step_decode(uint8_t byte);
// The next byte still held (oldest first), or -1 (and a reset) when empty.
int32_t x86_filter_drain();

// A 25-bit absolute target as the four stored operand bytes (little-endian):
// target >> 17, target >> 9, target >> 1 (low bytes), then 0x00 for an odd
// target and 0xFF for an even one.
uint32_t x86_pack_target(uint32_t target);
// The inverse: stored operand bytes (last byte 0x00 or 0xFF) to the target.
uint32_t x86_unpack_target(uint32_t packed);

void x86_encode_buffer(uint8_t* region, uint32_t length);
void x86_decode_buffer(uint8_t* region, uint32_t length);
