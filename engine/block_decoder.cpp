#include "engine/block_decoder.h"

#include <cstring>

#include "engine/bit_model.h"
#include "engine/error.h"
#include "engine/work_memory.h"

// The inverse transform.
//
// Think of the n + 1 sorted suffixes of the block as rows 0..n: row 0 is the
// empty suffix, row `index` the whole block; R(k) is the row of the suffix
// that starts at k. For a row r, F(r) is the first byte of its suffix and
// L(r) the byte in front of it. The transformed bytes t[] are the column L
// without the whole block's row: L(r) = t[r] below `index` and t[r - 1]
// above it, so that the place q of a row in t is its "code" (the whole
// block's row, which has no place, gets code 0 like row 0).
//
// Walking from R(k) to R(k + 1) again and again reads the block from its
// start with one dependent random memory access per byte: memory latency is
// all that counts. This walk goes two bytes per access, and from both ends
// of the block at once, so that two chains of accesses overlap.
//
// The two-step links R(k - 2) -> R(k) come from the bytes thus: suffixes
// that start with the same two bytes (a, b) lie together, in the order of
// their suffixes from the third byte on. Scanning the rows i in order, i
// being R(k), gives b = L(i), the row j = R(k - 1) by counting (stable order
// within b's rows) and a = L(j); the next free row among those of (a, b) is
// then R(k - 2).
//
// The entry of row r (slot r - 1) holds code(next) XOR code(previous) on
// the chain of every second suffix, shifted up by 8, and the first byte of
// r's suffix (a above) in the low 8 bits: whoever walks the chain from
// either end knows where it came from and so finds where to go. The other
// byte of the pair, that of the row two on, is t at that row's code. Above
// 2^24 bytes the entries hold the codes alone and the first byte comes from
// the bucket of F the row lies in.
//
// The table starts zeroed, every value read from it is checked before it
// is used as a place, and the two walks stop where they meet; a damaged
// block whose chain breaks or does not meet itself is reported.

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

// The ends of the chain that starts at the whole block's row, as the table
// build finds them: R(n - 2) and R(n - 3), 0 when the bytes give none.
struct ChainEnds {
    uint32_t single_row;  // R(n - 1), the suffix of one byte
    uint32_t row_n2;
    uint32_t row_n3;
};

// Builds the linked table in sa_workspace. start[c] is the first row whose
// suffix starts with c.
template <bool PACKED>
ChainEnds build_two_step_table(const uint8_t* t, uint32_t n, uint32_t idx, const uint32_t* start)
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
    ChainEnds ends = {0, 0, 0};
    for (uint32_t a = 0; a < 256; ++a) {
        if (a == last_byte) ends.single_row = row++;
        for (uint32_t b = 0; b < 256; ++b) {
            const uint32_t size = pair_rows[(a << 8) | b];
            pair_rows[(a << 8) | b] = row;
            row += size;
        }
    }

    // Scan the rows i in order (q is i's code) and link R(k - 2) to i.
    std::memset(table, 0, size_t(n) * sizeof *table);
    uint32_t next_row[256];
    std::memcpy(next_row, start, sizeof next_row);
    for (uint32_t q = 0; q < n; ++q) {
        const uint32_t i = q < idx ? q : q + 1;
        const uint32_t b = t[q];
        const uint32_t j = next_row[b]++;
        if (j == idx) continue;  // i is R(1): nothing lies two before it
        const uint32_t a = t[j < idx ? j : j - 1];
        const uint32_t target = pair_rows[(a << 8) | b]++;
        table[target - 1] ^= PACKED ? (q << 8) | a : q;
        const uint32_t target_code = target < idx ? target : target == idx ? 0 : target - 1;
        if (i != 0) {
            table[i - 1] ^= PACKED ? target_code << 8 : target_code;
        } else {
            ends.row_n2 = target;  // i is row 0, the empty suffix R(n)
        }
        if (i == ends.single_row) ends.row_n3 = target;
    }
    return ends;
}

// One step along the chain: out gets the two bytes of the suffix at `row`
// and the row two on (or two back) comes out; `from` is the code of the
// row the walk came from. Any value that is not a place in the block ends
// the run as damage.
template <bool PACKED>
inline uint32_t chain_step(const uint32_t* table, uint8_t* out, uint32_t n, const uint32_t* start,
                           uint32_t row, uint32_t from)
{
    if (row == 0 || row > n) fail_damaged("the inverse transform ends early");
    const uint32_t e = table[row - 1];
    const uint32_t code = (PACKED ? e >> 8 : e) ^ from;
    if (code >= n) fail_damaged("the inverse transform ends early");
    if (PACKED) {
        out[0] = static_cast<uint8_t>(e);
    } else {
        uint32_t c = 0;
        for (uint32_t step = 128; step != 0; step >>= 1) c = start[c + step] <= row ? c + step : c;
        out[0] = static_cast<uint8_t>(c);
    }
    return code;
}

template <bool PACKED>
void walk_both_ends(const uint8_t* t, uint8_t* out, uint32_t n, uint32_t idx, const uint32_t* start,
                    const ChainEnds& ends)
{
    const uint32_t* const table = reinterpret_cast<const uint32_t*>(sa_workspace);
    // No branch on the data: a wrong guess would throw away the other walk's
    // access in flight.
    const auto row_of = [idx](uint32_t code) { return code + (code >= idx ? 1u : 0u); };
    const auto code_of = [idx](uint32_t r) { return r == idx ? 0u : r - (r > idx ? 1u : 0u); };

    // The walk from the start stands at R(front), whose code is front_code,
    // and came from code front_from; the walk from the end likewise at
    // R(back), having come from code back_from.
    uint32_t front = 0, front_row = idx, front_code = 0, front_from = 0;
    int64_t back;
    uint32_t back_row, back_from;
    if (n & 1) {
        out[n - 1] = t[0];  // the last byte: L(0)
        if (n == 1) return;
        back = int64_t(n) - 3;
        back_row = ends.row_n3;
        back_from = code_of(ends.single_row);
    } else {
        back = int64_t(n) - 2;
        back_row = ends.row_n2;
        back_from = 0;
    }
    uint32_t back_code = code_of(back_row);

    while (back - front >= 2) {
        const uint32_t ahead = chain_step<PACKED>(table, out + front, n, start, front_row, front_from);
        out[front + 1] = t[ahead];
        front_from = front_code;
        front_code = ahead;
        front_row = row_of(ahead);
        front += 2;

        const uint32_t behind = chain_step<PACKED>(table, out + back, n, start, back_row, back_from);
        out[back + 1] = t[back_from];
        back_from = back_code;
        back_code = behind;
        back_row = row_of(behind);
        back -= 2;
    }
    if (back == front) {
        const uint32_t ahead = chain_step<PACKED>(table, out + front, n, start, front_row, front_from);
        out[front + 1] = t[ahead];
        front_from = front_code;
        front_code = ahead;
    }
    // Each walk must now stand where the other one came from.
    if (front_code != back_from || front_from != back_code)
        fail_damaged("the inverse transform does not meet itself");
}

// The two sums that give a bit's probability, s = a + b + 16383 and the
// refinement counter c chosen by it.
struct BitSums {
    intptr_t s, c;
};

inline BitSums fetch_sums(const int16_t* refine, uintptr_t node, intptr_t a, intptr_t b)
{
    const intptr_t s = a + b + 16383;
    return {s, refine[8 * node + (s >> 12)]};
}

// Decodes bit K of a byte (0 = most significant) at `node`, whose sums are
// `now`. While the bit is decoded, the sums of both children are fetched:
// their counters lie side by side, and none of them is among the three this
// bit updates. The next bit then starts from a choice, not from loads, and
// the chain from bit to bit is the range arithmetic alone. The choices are
// branches: the bits of well-modelled data mostly go the predicted way,
// which keeps the chain short; on data that models badly a branch guesses
// no worse than the arithmetic without one costs.
template <int K>
inline void decode_bit_at(int16_t* order0, int16_t* order1, int16_t* refine, uintptr_t& node,
                          BitSums now, uint32_t& range, uint32_t& code)
{
    BitSums child0 = {0, 0}, child1 = {0, 0};
    if (K < 7) {
        uint32_t pair0, pair1;
        std::memcpy(&pair0, order0 + 2 * node, sizeof pair0);
        std::memcpy(&pair1, order1 + 2 * node, sizeof pair1);
        child0 = fetch_sums(refine, 2 * node, static_cast<int16_t>(pair0), static_cast<int16_t>(pair1));
        child1 = fetch_sums(refine, 2 * node + 1, static_cast<int16_t>(pair0 >> 16),
                            static_cast<int16_t>(pair1 >> 16));
    }
    const int bit = bit_coding::split_range(static_cast<uint32_t>(now.s + now.c + 16383) * (range >> 16),
                                            range, code);
    bit_coding::update(order0 + node, order0[node], order1 + node, order1[node],
                       refine + 8 * node + (now.s >> 12), static_cast<int>(now.c), bit);
    node = 2 * node + static_cast<uintptr_t>(bit);
    if (K < 7) {
        decode_bit_at<(K < 7 ? K + 1 : 7)>(order0, order1, refine, node, bit ? child1 : child0, range,
                                           code);
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
        const ChainEnds ends = build_two_step_table<true>(x, n, idx, start);
        walk_both_ends<true>(x, out, n, idx, start, ends);
    } else {
        const ChainEnds ends = build_two_step_table<false>(x, n, idx, start);
        walk_both_ends<false>(x, out, n, idx, start, ends);
    }
}

void cm_decode_bytes(uint8_t* out, int32_t length, uint32_t counts[256])
{
    BitModel& m = bit_model;
    int16_t* const order0 = m.table;
    int32_t n = 0;
    for (int32_t done = 0; done < length; done += n) {
        n = length - done < SUBBLOCK_SIZE ? length - done : SUBBLOCK_SIZE;
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
        uintptr_t node = static_cast<uintptr_t>(m.node);
        for (int32_t i = 0; i < n; ++i) {
            int16_t* const order1 = order0 + ORDER1_BASE + 256 * prev;
            int16_t* const refine = order0 + REFINE_BASE + 2048 * run;
            node = 1;
            decode_bit_at<0>(order0, order1, refine, node, fetch_sums(refine, 1, order0[1], order1[1]),
                             range, code);
            const int byte = static_cast<int>(node & 0xFF);
            sub[i] = static_cast<uint8_t>(byte);
            ++counts[byte];
            run = byte == prev;
            prev = byte;
        }
        rc_range = range;
        rc_code = code;
        m.prev_byte = prev;
        m.run_flag = run;
        m.node = static_cast<int32_t>(node);
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
