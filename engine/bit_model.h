// Adaptive order-1 bitwise context model driving the range coder.
//
// Per bit three signed 16-bit counters: order 0 (by node), order 1 (by the
// previous byte and node) and a refinement counter chosen by the run flag,
// the node and a bucket of the first two. p = a + b + c + 32766 is the
// probability of a 1 in 1/65536. One process-wide instance carries on from
// record to record, block to block and, in a solid run, entry to entry.
#pragma once
#include <cstdint>

#include "engine/range_coder.h"

constexpr int32_t SUBBLOCK_SIZE = 16384;
constexpr uint32_t RAW_LEVEL_LIMIT = 791;  // entropy level above which a sub-block goes raw

// Where the three counter regions start in BitModel::table.
constexpr int32_t ORDER1_BASE = 256;
constexpr int32_t REFINE_BASE = 65792;

struct BitModel {
    int16_t table[69888];  // 256 order-0, 65536 order-1, 4096 refinement counters
    int32_t prev_byte;     // last byte coded by the model
    int32_t node;          // 1, then 2 x node + bit after each bit
    int32_t run_flag;      // 1 when the last byte equalled the one before it

    // All counters 0, prev_byte 0, run_flag 0.
    void reset();

    // Decodes one bit at the current node from the range decoder, updates the
    // three counters and sets node = 2 x node + bit.
    inline void decode_bit();

    // The order-1 counters of the current previous byte and the refinement
    // counters of the current run flag; both are indexed further by node.
    int16_t* order1_row() { return table + ORDER1_BASE + 256 * prev_byte; }
    int16_t* refine_row() { return table + REFINE_BASE + 2048 * run_flag; }
};

extern BitModel bit_model;

// Decision of the current sub-block, 1 for raw.
extern uint8_t raw_subblock_flag;

// Codes length bytes of data in 16 KiB sub-blocks into the entry's streams.
void cm_encode(const uint8_t* data, int32_t length);

// The steps of one modelled bit. order0 is the table's start, order1 and
// refine the rows above; range and code are the caller's copies of the
// range coder state, which the block coders keep in locals across a whole
// sub-block. The encoder (bit_model.cpp) and the block decoder
// (block_decoder.cpp) run their own unrolled versions of these steps.
namespace bit_coding {

// Shifts the range coder's globals until rc_range is at least 2^24 again,
// sending bytes out of rc_low. Out of line: it is rare on modelled data.
void normalise_encoder();

// The counters move a quarter (order 0), a sixteenth (order 1) or a
// sixty-fourth (refinement) of the way toward their limit on the bit's side.
// The shifts are arithmetic (floor), so a falling counter stops a few steps
// short of its negative limit and p stays within 82 .. 65531.
inline void update(int16_t* a_slot, int a, int16_t* b_slot, int b, int16_t* c_slot, int c, int bit)
{
    const int limit = bit * 16382 - 8191;
    const int refine_limit = bit * 32766 - 16383;
    *a_slot = static_cast<int16_t>(a - ((a - limit) >> 2));
    *b_slot = static_cast<int16_t>(b - ((b - limit) >> 4));
    *c_slot = static_cast<int16_t>(c - ((c - refine_limit) >> 6));
}

// The decoder's split of the range at bound (the share of a 1) and its
// renormalisation; returns the bit.
inline int split_range(uint32_t bound, uint32_t& range, uint32_t& code)
{
    int bit;
    if (code < bound) {
        bit = 1;
        range = bound;
    } else {
        bit = 0;
        code -= bound;
        range -= bound;
    }
    while (range < (1u << 24)) {
        range <<= 8;
        code = (code << 8) + get_coded_byte();
    }
    return bit;
}

// Decodes one bit at node.
inline int decode(int16_t* order0, int16_t* order1, int16_t* refine, int node, uint32_t& range,
                  uint32_t& code)
{
    const int a = order0[node];
    const int b = order1[node];
    const int s = a + b + 16383;
    int16_t* c_slot = refine + 8 * node + (s >> 12);
    const int c = *c_slot;
    const int bit = split_range(static_cast<uint32_t>(s + c + 16383) * (range >> 16), range, code);
    update(order0 + node, a, order1 + node, b, c_slot, c, bit);
    return bit;
}

}  // namespace bit_coding

inline void BitModel::decode_bit()
{
    node = 2 * node + bit_coding::decode(table, order1_row(), refine_row(), node, rc_range, rc_code);
}
