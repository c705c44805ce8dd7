// Range coder over the coded stream: a 32-bit range with a 64-bit low whose
// bit 32 is a carry not yet passed on, and held-back bytes for the carry.
// The bit model splits the range itself; this file gives the start, the
// shift-low, the bits at probability one half and the decoder's refill.
#pragma once
#include <cstdint>

#include "engine/chunk_stream.h"

extern uint64_t rc_low;         // below 2^32 after each shift; bit 32 = carry
extern uint32_t rc_range;       // at least 2^24 between coded bits
extern uint8_t rc_cache;        // last byte taken out of rc_low, held back
extern uint32_t rc_cache_size;  // rc_cache plus the 0xFF bytes behind it
extern uint32_t rc_code;        // decoding: code value minus the low end

// Starts the coder and both stream buffers for a new entry.
void range_encoder_start();

// Takes the top byte out of the 32-bit rc_low. The caller shifts rc_range.
inline void range_encoder_shift_low()
{
    if (static_cast<uint32_t>(rc_low) < 0xFF000000u || (rc_low >> 32) != 0) {
        const uint8_t carry = static_cast<uint8_t>(rc_low >> 32);
        put_coded_byte(static_cast<uint8_t>(rc_cache + carry));
        for (; rc_cache_size > 1; --rc_cache_size)
            put_coded_byte(static_cast<uint8_t>(0xFF + carry));
        rc_cache = static_cast<uint8_t>(rc_low >> 24);
        rc_cache_size = 0;
    }
    ++rc_cache_size;
    rc_low = (rc_low << 8) & 0xFFFFFFFFu;
}

inline void range_encode_direct_bit(int bit)
{
    rc_range >>= 1;
    if (bit) rc_low += rc_range;
    if (rc_range < (1u << 24)) {
        rc_range <<= 8;
        range_encoder_shift_low();
    }
}

// Prepares the reading of the entry whose chunks start at
// entry_data_offset (and end at entry_data_end): both readers search from
// there, piece_done = 0, and the decoder is primed with five coded bytes.
void range_decoder_start();
void range_decoder_prime();

inline int range_decode_direct_bit()
{
    rc_range >>= 1;
    int bit = 0;
    if (rc_code >= rc_range) {
        rc_code -= rc_range;
        bit = 1;
    }
    if (rc_range < (1u << 24)) {
        rc_range <<= 8;
        rc_code = (rc_code << 8) + get_coded_byte();
    }
    return bit;
}
