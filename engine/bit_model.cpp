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
// The choice on the bit is a branch: on modelled data it mostly goes the
// predicted way, and a predicted branch keeps rc_range's chain of dependent
// steps short (shift, multiply, subtract).
template <int K>
inline void encode_bit(int16_t* order0, int16_t* order1, int16_t* refine, uintptr_t marked_byte,
                       uint64_t& low, uint32_t& range)
{
#if defined(__GNUC__) && defined(__x86_64__)
    // The same steps as the portable code below, register by register: the
    // compiler's version of this loop spills and reloads more than it
    // computes, and this is the hottest loop of the whole program. The
    // 32-bit build runs the portable code; tests pin both to the same output.
    intptr_t a, b, c, s, x, node;
    asm("mov %[byte], %[node]\n\t"
        "shr %[shift], %[node]\n\t"
        "movswq (%[o0],%[node],2), %[a]\n\t"    // a = order-0 counter
        "movswq (%[o1],%[node],2), %[b]\n\t"    // b = order-1 counter
        "lea 16383(%[a],%[b]), %[s]\n\t"        // s = a + b + 16383
        "mov %[s], %[x]\n\t"
        "sar $12, %[x]\n\t"
        "lea (%[x],%[node],8), %[x]\n\t"        // x = 8 node + bucket
        "movswq (%[rf],%[x],2), %[c]\n\t"       // c = refinement counter
        "lea 16383(%[s],%[c]), %[s]\n\t"        // p = s + c + 16383
        "mov %[range], %k[node]\n\t"
        "shr $16, %k[node]\n\t"
        "imul %k[node], %k[s]\n\t"              // bound = p (range >> 16)
        "mov %[byte], %[node]\n\t"
        "shr %[shift], %[node]\n\t"
        "test %[mask], %[byte]\n\t"
        "jz 1f\n\t"
        "mov %k[s], %[range]\n\t"               // a 1: the lower part
        "lea -8191(%[a]), %[s]\n\t"
        "sar $2, %[s]\n\t"
        "sub %[s], %[a]\n\t"
        "mov %w[a], (%[o0],%[node],2)\n\t"
        "lea -8191(%[b]), %[s]\n\t"
        "sar $4, %[s]\n\t"
        "sub %[s], %[b]\n\t"
        "mov %w[b], (%[o1],%[node],2)\n\t"
        "lea -16383(%[c]), %[s]\n\t"
        "sar $6, %[s]\n\t"
        "sub %[s], %[c]\n\t"
        "mov %w[c], (%[rf],%[x],2)\n\t"
        "jmp 2f\n"
        "1:\n\t"
        "add %[s], %[low]\n\t"                  // a 0: the upper part
        "sub %k[s], %[range]\n\t"
        "lea 8191(%[a]), %[s]\n\t"
        "sar $2, %[s]\n\t"
        "sub %[s], %[a]\n\t"
        "mov %w[a], (%[o0],%[node],2)\n\t"
        "lea 8191(%[b]), %[s]\n\t"
        "sar $4, %[s]\n\t"
        "sub %[s], %[b]\n\t"
        "mov %w[b], (%[o1],%[node],2)\n\t"
        "lea 16383(%[c]), %[s]\n\t"
        "sar $6, %[s]\n\t"
        "sub %[s], %[c]\n\t"
        "mov %w[c], (%[rf],%[x],2)\n"
        "2:"
        : [a] "=&r"(a), [b] "=&r"(b), [c] "=&r"(c), [s] "=&r"(s), [x] "=&r"(x), [node] "=&r"(node),
          [low] "+r"(low), [range] "+r"(range)
        : [o0] "r"(order0), [o1] "r"(order1), [rf] "r"(refine), [byte] "r"(marked_byte),
          [shift] "i"(8 - K), [mask] "i"(1 << (7 - K))
        : "cc", "memory");
#else
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
#endif
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
        const uintptr_t marked = 256 | byte;
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
    int32_t n = 0;
    for (int32_t start = 0; start < length; start += n) {
        n = length - start < SUBBLOCK_SIZE ? length - start : SUBBLOCK_SIZE;
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
