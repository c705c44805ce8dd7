#include "engine/block_decoder.h"

#include <cstring>

#include "engine/bit_model.h"
#include "engine/error.h"
#include "engine/work_memory.h"

// The inverse transform.
//
// Think of the n + 1 sorted suffixes of the block x[0..n) as rows 0..n: row
// 0 is the empty suffix, row `index` the whole block. For a row r, F(r) is
// the first byte of its suffix and L(r) the byte in front of it. The
// transformed bytes t[] are the column L without the whole block's row:
// L(r) = t[r] below `index` and t[r - 1] above it. F is the sorted bytes.
//
// Walking from the whole block's row to the row of the suffix one byte
// shorter, again and again, reads the block from its start: one dependent
// random memory access per byte, which makes a plain walk a matter of memory
// latency. This walk goes two bytes per access instead. The row of the
// suffix at k + 2 is found from that at k through a table built thus:
// the suffixes that start with the same two bytes (a, b) lie together and in
// the order of their suffixes from the third byte on. Scanning the rows i in
// order, i being the row of the suffix at k, gives b = L(i), the row j of the
// suffix at k - 1 by counting (stable order within b's rows) and a = L(j);
// the next free place in the rows of (a, b) is then the row of the suffix at
// k - 2, whose table entry gets i.
//
// An entry holds the position of row i in t (24 bits) and a; the walk gets
// b = L(i) with a second, independent load. Above 2^24 bytes the entry holds
// the position alone and a comes from the bucket of F the row lies in.
//
// The layout of the two-byte groups follows from the bytes alone, so a
// damaged block still fills every slot of the table exactly once; only the
// row of the one-byte suffix (the last byte of the block) and row 0 have no
// entry, and the walk stops with a damage report when it reaches either of
// them before it has produced n bytes.

namespace {

// Counters of the two-byte groups (first byte in the high half), then the
// next free row of each.
uint32_t pair_rows[65536];

void check_bounds(const uint8_t* area, int32_t length, int32_t index)
{
    if (length < 0 || static_cast<uint32_t>(length) > work_capacity)
        fail_damaged("a record is longer than the working memory");
    if (length == 0 ? index != 0 : (index < 1 || index > length))
        fail_damaged("a transform index lies outside its record");
    // A place inside the block buffer must leave room for the whole record.
    const uintptr_t at = reinterpret_cast<uintptr_t>(area);
    const uintptr_t base = reinterpret_cast<uintptr_t>(block_buffer);
    if (block_buffer != nullptr && at >= base && at < base + work_capacity &&
        static_cast<uint32_t>(length) > base + work_capacity - at)
        fail_damaged("a record runs past the end of its block");
}

// Builds the two-step table in sa_workspace (entry of row r at r - 1) and
// returns the row of the one-byte suffix. start[c] is the first row whose
// suffix starts with c.
template <bool PACKED>
uint32_t build_two_step_table(const uint8_t* t, uint32_t n, uint32_t idx, const uint32_t* start)
{
    uint32_t* const table = reinterpret_cast<uint32_t*>(sa_workspace);

    // Count the byte pairs (L(r), F(r)) of the rows 1..n but `index`: each
    // is the first two bytes of the suffix one longer than row r's.
    std::memset(pair_rows, 0, sizeof pair_rows);
    uint32_t f = 0;
    for (uint32_t q = 1; q < n; ++q) {
        const uint32_t row = q < idx ? q : q + 1;
        while (row >= start[f + 1]) ++f;
        ++pair_rows[(static_cast<uint32_t>(t[q]) << 8) | f];
    }

    // Rows of each group: within the rows of first byte a, the one-byte
    // suffix (when the block ends with a) sorts before every pair.
    const uint32_t last_byte = t[0];
    uint32_t row = 1;
    uint32_t single_row = 0;
    for (uint32_t a = 0; a < 256; ++a) {
        if (a == last_byte) single_row = row++;
        for (uint32_t b = 0; b < 256; ++b) {
            const uint32_t size = pair_rows[(a << 8) | b];
            pair_rows[(a << 8) | b] = row;
            row += size;
        }
    }

    // Scan the rows i in order (q is i's place in t).
    uint32_t next_row[256];
    std::memcpy(next_row, start, sizeof next_row);
    for (uint32_t q = 0; q < n; ++q) {
        const uint32_t b = t[q];
        const uint32_t j = next_row[b]++;
        if (j == idx) continue;  // row i holds the suffix at 1: nothing lies two before it
        const uint32_t a = t[j < idx ? j : j - 1];
        const uint32_t target = pair_rows[(a << 8) | b]++;
        table[target - 1] = PACKED ? (q << 8) | a : q;
    }
    return single_row;
}

template <bool PACKED>
void walk_two_steps(const uint8_t* t, uint8_t* out, uint32_t n, uint32_t idx, const uint32_t* start,
                    uint32_t single_row)
{
    const uint32_t* const table = reinterpret_cast<const uint32_t*>(sa_workspace);
    uint32_t row = idx;
    uint8_t* o = out;
    uint8_t* const pairs_end = out + (n & ~1u);
    while (o != pairs_end) {
        if (row == 0 || row == single_row) fail_damaged("the inverse transform ends early");
        const uint32_t e = table[row - 1];
        const uint32_t q = PACKED ? e >> 8 : e;
        if (PACKED) {
            o[0] = static_cast<uint8_t>(e);
        } else {
            // First byte of the row's suffix: the bucket of F it lies in.
            uint32_t c = 0;
            for (uint32_t step = 128; step != 0; step >>= 1)
                c = start[c + step] <= row ? c + step : c;
            o[0] = static_cast<uint8_t>(c);
        }
        o[1] = t[q];
        row = q < idx ? q : q + 1;
        o += 2;
    }
    // An odd length ends on the one-byte suffix, an even one on row 0.
    if (n & 1) {
        if (row != single_row) fail_damaged("the inverse transform ends early");
        *o = t[0];
    } else if (row != 0) {
        fail_damaged("the inverse transform ends early");
    }
}

}  // namespace

void inverse_bwt(const uint8_t* x, uint8_t* out, int32_t length, int32_t index,
                 const uint32_t counts[256])
{
    check_bounds(out, length, index);
    if (length == 0) return;
    const uint32_t n = static_cast<uint32_t>(length);
    const uint32_t idx = static_cast<uint32_t>(index);
    uint32_t start[257];
    start[0] = 1;
    for (int c = 0; c < 256; ++c) start[c + 1] = start[c] + counts[c];
    if (start[256] != n + 1) fail_damaged("the transformed bytes do not match their counts");

    if (n <= (1u << 24)) {
        const uint32_t single_row = build_two_step_table<true>(x, n, idx, start);
        walk_two_steps<true>(x, out, n, idx, start, single_row);
    } else {
        const uint32_t single_row = build_two_step_table<false>(x, n, idx, start);
        walk_two_steps<false>(x, out, n, idx, start, single_row);
    }
}

void cm_decode_bytes(uint8_t* out, int32_t length, uint32_t counts[256])
{
    BitModel& m = bit_model;
    int16_t* const order0 = m.table;
    for (int32_t done = 0; done < length; done += SUBBLOCK_SIZE) {
        const int32_t n = length - done < SUBBLOCK_SIZE ? length - done : SUBBLOCK_SIZE;
        uint8_t* const sub = out + done;
        raw_subblock_flag = static_cast<uint8_t>(range_decode_direct_bit());
        if (raw_subblock_flag) {
            for (int32_t i = 0; i < n; ++i) {
                const uint8_t byte = get_raw_byte();
                sub[i] = byte;
                ++counts[byte];
            }
            continue;
        }
        uint32_t range = rc_range;
        uint32_t code = rc_code;
        int prev = m.prev_byte;
        int run = m.run_flag;
        int node = m.node;
        for (int32_t i = 0; i < n; ++i) {
            int16_t* const order1 = order0 + ORDER1_BASE + 256 * prev;
            int16_t* const refine = order0 + REFINE_BASE + 2048 * run;
            node = 1;
            for (int bit = 0; bit < 8; ++bit)
                node = 2 * node + bit_coding::decode(order0, order1, refine, node, range, code);
            const int byte = node & 0xFF;
            sub[i] = static_cast<uint8_t>(byte);
            ++counts[byte];
            run = byte == prev;
            prev = byte;
        }
        rc_range = range;
        rc_code = code;
        m.prev_byte = prev;
        m.run_flag = run;
        m.node = node;
    }
}

void cm_decode_to_work(uint8_t* dst, int32_t length, int32_t index)
{
    check_bounds(dst, length, index);
    uint32_t counts[256] = {};
    cm_decode_bytes(dst, length, counts);
    inverse_bwt(dst, work_buffer, length, index, counts);
}

void cm_decode_to_output(uint8_t* dst, int32_t length, int32_t index)
{
    check_bounds(dst, length, index);
    uint32_t counts[256] = {};
    cm_decode_bytes(work_buffer, length, counts);
    inverse_bwt(work_buffer, dst, length, index, counts);
}
