#include "engine/bit_model.h"

#include <cstring>

#include "engine/entropy.h"

BitModel bit_model;
uint8_t raw_subblock_flag = 0;

void BitModel::reset()
{
    std::memset(table, 0, sizeof table);
    prev_byte = 0;
    node = 1;
    run_flag = 0;
}

void bit_coding::normalise_encoder()
{
    while (rc_range < (1u << 24)) {
        rc_range <<= 8;
        range_encoder_shift_low();
    }
}

namespace {

// Bit K (0 = most significant) of a byte, at node (256 | byte) >> (8 - K).
// The encoder knows every node of the byte in advance, so the counters of
// all eight bits can be fetched ahead of the range arithmetic. Each choice
// on the bit is written as a branch: on modelled data the branches mostly
// go the predicted way, and a taken branch keeps rc_range's chain short.
template <int K>
inline void encode_bit(int16_t* order0, int16_t* order1, int16_t* refine, uint32_t marked_byte,
                       uint64_t& low, uint32_t& range)
{
    const uintptr_t node = marked_byte >> (8 - K);
    const intptr_t a = order0[node];
    const intptr_t b = order1[node];
    const intptr_t s = a + b + 16383;
    int16_t* const c_slot = refine + 8 * node + (s >> 12);
    const intptr_t c = *c_slot;
    const uint32_t bound = static_cast<uint32_t>(s + c + 16383) * (range >> 16);
    if ((marked_byte >> (7 - K)) & 1) {
        range = bound;
        order0[node] = static_cast<int16_t>(a - ((a - 8191) >> 2));
        order1[node] = static_cast<int16_t>(b - ((b - 8191) >> 4));
        *c_slot = static_cast<int16_t>(c - ((c - 16383) >> 6));
    } else {
        low += bound;
        range -= bound;
        order0[node] = static_cast<int16_t>(a - ((a + 8191) >> 2));
        order1[node] = static_cast<int16_t>(b - ((b + 8191) >> 4));
        *c_slot = static_cast<int16_t>(c - ((c + 16383) >> 6));
    }
    if (range < (1u << 24)) {
        rc_low = low;
        rc_range = range;
        bit_coding::normalise_encoder();
        low = rc_low;
        range = rc_range;
    }
}

// Codes one sub-block with the model, the range coder state held in locals.
void encode_modelled(const uint8_t* data, int32_t n)
{
    BitModel& m = bit_model;
    int16_t* const order0 = m.table;
    uint64_t low = rc_low;
    uint32_t range = rc_range;
    uint32_t prev = static_cast<uint32_t>(m.prev_byte);
    uint32_t run = static_cast<uint32_t>(m.run_flag);
    for (int32_t i = 0; i < n; ++i) {
        const uint32_t byte = data[i];
        int16_t* const order1 = order0 + ORDER1_BASE + 256 * prev;
        int16_t* const refine = order0 + REFINE_BASE + 2048 * run;
        const uint32_t marked = 256 | byte;
        encode_bit<0>(order0, order1, refine, marked, low, range);
        encode_bit<1>(order0, order1, refine, marked, low, range);
        encode_bit<2>(order0, order1, refine, marked, low, range);
        encode_bit<3>(order0, order1, refine, marked, low, range);
        encode_bit<4>(order0, order1, refine, marked, low, range);
        encode_bit<5>(order0, order1, refine, marked, low, range);
        encode_bit<6>(order0, order1, refine, marked, low, range);
        encode_bit<7>(order0, order1, refine, marked, low, range);
        run = byte == prev;
        prev = byte;
    }
    rc_low = low;
    rc_range = range;
    m.prev_byte = static_cast<int32_t>(prev);
    m.run_flag = static_cast<int32_t>(run);
    m.node = static_cast<int32_t>(256 + prev);
}

}  // namespace

void cm_encode(const uint8_t* data, int32_t length)
{
    for (int32_t start = 0; start < length; start += SUBBLOCK_SIZE) {
        const int32_t n = length - start < SUBBLOCK_SIZE ? length - start : SUBBLOCK_SIZE;
        const uint8_t* sub = data + start;
        // The level carries the history of everything measured before; a
        // sub-block that looks incompressible goes to the raw stream as it is.
        measure_piece_entropy(sub, static_cast<uint32_t>(n));
        raw_subblock_flag = entropy_level > RAW_LEVEL_LIMIT ? 1 : 0;
        range_encode_direct_bit(raw_subblock_flag);
        if (raw_subblock_flag) {
            for (int32_t i = 0; i < n; ++i) put_raw_byte(sub[i]);
        } else {
            encode_modelled(sub, n);
        }
    }
}
