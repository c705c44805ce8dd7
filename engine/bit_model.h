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
};

extern BitModel bit_model;

// Decision of the current sub-block, 1 for raw.
extern uint8_t raw_subblock_flag;

// Codes length bytes of data in 16 KiB sub-blocks into the entry's streams.
void cm_encode(const uint8_t* data, int32_t length);
