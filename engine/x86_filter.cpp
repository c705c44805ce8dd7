#include "engine/x86_filter.h"

X86Filter x86_filter = {0xFF, 5, 0, 0, 0};

namespace {

constexpr uint32_t RANGE_BIAS = 1u << 24;   // operands in -2^24 .. 2^24 - 1 are rewritten
constexpr uint32_t TARGET_MASK = (1u << 25) - 1;

constexpr X86Filter RESET_STATE = {0xFF, 5, 0, 0, 0};

// One push through the window of f. The high byte of window_old is the byte
// 5 places back; window_new is the 4 bytes after it, i.e. the operand of an
// opcode standing there, and position is the index just past that operand.
// Returns the byte leaving the window (whether or not its slot was filled).
template <bool Encode>
inline uint8_t shift_in(X86Filter& f, uint8_t a)
{
    const uint32_t d = f.window_old;
    uint32_t e = f.window_new;
    const uint32_t b = f.position;
    // E8 and E9 differ only in bit 0.
    if ((d >> 25) == (0xE8u >> 1) && b >= f.next_check) {
        f.next_check = b + 4;
        if (e + RANGE_BIAS < 2 * RANGE_BIAS) {
            if (Encode)
                e = x86_pack_target((e + RANGE_BIAS + b) & TARGET_MASK);
            else
                e = ((x86_unpack_target(e) - b) & TARGET_MASK) - RANGE_BIAS;
        }
    }
    f.position = b + 1;
    f.window_old = (d >> 8) | (e << 24);
    f.window_new = (static_cast<uint32_t>(a) << 24) | (e >> 8);
    return static_cast<uint8_t>(d);
}

template <bool Encode>
inline int32_t step(X86Filter& f, uint8_t a)
{
    const bool empty = (f.pending_mask & 0x80) != 0;
    f.pending_mask = static_cast<uint8_t>(f.pending_mask << 1);
    const uint8_t out = shift_in<Encode>(f, a);
    return empty ? -1 : out;
}

int32_t drain(X86Filter& f)
{
    if (f.pending_mask == 0xFF) {
        f = RESET_STATE;
        return -1;
    }
    for (;;) {
        const int32_t byte = static_cast<int32_t>(f.window_old & 0xFF);
        const bool empty = (f.pending_mask & 0x80) != 0;
        f.pending_mask = static_cast<uint8_t>((f.pending_mask << 1) | 1);
        f.window_old = (f.window_old >> 8) | (f.window_new << 24);
        f.window_new >>= 8;
        f.position += 1;
        if (!empty) return byte;
    }
}

// The output trails the input by the 8-byte window, so writing into the
// same region never overtakes reading. The state lives in a local copy
// during the loop so that it stays in registers.
template <bool Encode>
void filter_buffer(uint8_t* region, uint32_t length)
{
    X86Filter f = RESET_STATE;
    uint32_t out = 0;
    const uint32_t filling = length < 8 ? length : 8;
    for (uint32_t i = 0; i < filling; ++i) step<Encode>(f, region[i]);
    if (length > 8) {
        // Full window (pending_mask is 0 now): every push lets the byte 8
        // places back leave.
        for (uint32_t i = 8; i < length; ++i) region[i - 8] = shift_in<Encode>(f, region[i]);
        out = length - 8;
    }
    for (int32_t byte; (byte = drain(f)) >= 0;) region[out++] = static_cast<uint8_t>(byte);
    x86_filter = f;
}

}  // namespace

void x86_filter_reset()
{
    x86_filter = RESET_STATE;
}

int32_t x86_filter_step_encode(uint8_t byte)
{
    return step<true>(x86_filter, byte);
}

int32_t x86_filter_step_decode(uint8_t byte)
{
    return step<false>(x86_filter, byte);
}

int32_t x86_filter_drain()
{
    return drain(x86_filter);
}

uint32_t x86_pack_target(uint32_t target)
{
    const uint32_t parity = (target & 1) - 1;  // 0 when odd, all ones when even
    return ((target >> 17) & 0xFF) | (((target >> 9) & 0xFF) << 8) | (((target >> 1) & 0xFF) << 16) |
           (parity << 24);
}

uint32_t x86_unpack_target(uint32_t packed)
{
    return ((packed & 0xFF) << 17) | (((packed >> 8) & 0xFF) << 9) | (((packed >> 16) & 0xFF) << 1) |
           ((~packed >> 24) & 1);
}

void x86_encode_buffer(uint8_t* region, uint32_t length)
{
    filter_buffer<true>(region, length);
}

void x86_decode_buffer(uint8_t* region, uint32_t length)
{
    filter_buffer<false>(region, length);
}
