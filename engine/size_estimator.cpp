#include "engine/size_estimator.h"

#include <algorithm>
#include <cstring>

#include "engine/media_params.h"
#include "engine/piece_types.h"
#include "engine/sample_filters.h"
#include "engine/work_memory.h"

uint16_t estimate_probs[ESTIMATE_COUNTERS];
uint32_t estimate_range = 0xFFFFFFFF;
uint32_t estimate_node = 1;
uint32_t estimate_ctx_a = 0;
uint32_t estimate_ctx_b = 256;
uint32_t estimated_bytes = 0;

uint8_t image_filter_choice = 0;

namespace {

constexpr uint16_t COUNTER_HALF = 1024;

// A counter's next value after a 0 (first half) or a 1 (second half):
// c - (c >> 5) and c + ((2047 - c) >> 5). A look-up is cheaper than the
// arithmetic done branch-free for both outcomes.
struct CounterSteps {
    uint16_t next[2 * 2048];
    constexpr CounterSteps() : next()
    {
        for (uint32_t c = 0; c < 2048; ++c) {
            next[c] = static_cast<uint16_t>(c - (c >> 5));
            next[2048 + c] = static_cast<uint16_t>(c + ((2047 - c) >> 5));
        }
    }
};
constexpr CounterSteps counter_steps;

// One modelled bit: the two counters a and b give the chance of a 1 in units
// of 1/4096; the range shrinks to its share and each renormalising shift is
// one byte the coder would emit. Branch-free on the bit, which is as often
// as not unpredictable. With both counters in 31..2016 neither share of the
// split is ever empty.
inline void model_bit(uint32_t& range, uint32_t& bytes, uint16_t* a, uint16_t* b, uint32_t bit)
{
    const uint32_t ca = *a;
    const uint32_t cb = *b;
    const uint32_t r = (range >> 12) * (ca + cb);
    range = bit ? r : range - r;
    const uint16_t* step = counter_steps.next + 2048 * bit;
    *b = step[cb];
    *a = step[ca];
    // Renormalise. Before the bit the range was above 2^24, so both shares
    // are at least (2^24 >> 12) * 62 > 2^17 and one shift of 8 bits always
    // brings the range back above 2^24. A branch, not a select: the shift is
    // needed for only a few bits in each byte, and a predicted branch takes
    // it off the chain from one bit's range to the next.
    if (__builtin_expect(range <= 0xFFFFFF, 0)) {
        range <<= 8;
        ++bytes;
    }
}

// Counter tables for the estimates that run beside the one in
// estimate_probs.
uint16_t trial_probs[3][ESTIMATE_COUNTERS];

// K estimates at once over positions first .. end - 1 of K buffers, each
// with its own counters (tables[k]), range and count; ctx(j, a, b) gives the
// positions of the two context bytes of position j, the same in every
// buffer. Each estimate is a serial chain of multiply and select per bit;
// running the chains side by side lets them overlap, and each still sees
// exactly the bits it would see alone. The last estimate's state is left in
// the process-wide variables (all of it when its table is estimate_probs).
template <int K, typename Contexts>
void estimate_together(const uint8_t* const* data, uint16_t* const* tables, uint32_t first, uint32_t end,
                       Contexts ctx, uint32_t* costs)
{
    for (int k = 0; k < K; ++k) std::fill(tables[k], tables[k] + ESTIMATE_COUNTERS, COUNTER_HALF);
    uint32_t range[K], bytes[K], x[K], node[K];
    uint16_t* ta[K];
    uint16_t* tb[K];
    for (int k = 0; k < K; ++k) {
        range[k] = 0xFFFFFFFF;
        bytes[k] = 0;
        node[k] = 1;
        ta[k] = tables[k];
        tb[k] = tables[k];
    }
    for (uint32_t j = first; j < end; ++j) {
        uint32_t at_a, at_b;
        ctx(j, at_a, at_b);
#pragma GCC unroll 4
        for (int k = 0; k < K; ++k) {
            const uint8_t* d = data[k];
            ta[k] = tables[k] + d[at_a] * 512u;
            tb[k] = tables[k] + d[at_b] * 512u + 256u;
            x[k] = d[j];
            node[k] = 1;
        }
#pragma GCC unroll 8
        for (int i = 7; i >= 0; --i) {
#pragma GCC unroll 4
            for (int k = 0; k < K; ++k) {
                const uint32_t bit = (x[k] >> i) & 1;
                model_bit(range[k], bytes[k], ta[k] + node[k], tb[k] + node[k], bit);
                node[k] = 2 * node[k] + bit;
            }
        }
    }
    for (int k = 0; k < K; ++k) costs[k] = bytes[k];
    estimate_range = range[K - 1];
    estimated_bytes = bytes[K - 1];
    estimate_node = 1;
    if (end > first) {
        estimate_node = node[K - 1];
        estimate_ctx_a = static_cast<uint32_t>(ta[K - 1] - tables[K - 1]);
        estimate_ctx_b = static_cast<uint32_t>(tb[K - 1] - tables[K - 1]);
    }
}

// Whether the scratch area has room for `need` bytes of filtered copies of
// the len bytes at data, and lies clear of them.
bool scratch_takes(const uint8_t* data, uint32_t len, uint64_t need)
{
    if (scratch_buffer == nullptr || need > uint64_t(work_capacity) * 4) return false;
    const uintptr_t at = reinterpret_cast<uintptr_t>(data);
    const uintptr_t scratch = reinterpret_cast<uintptr_t>(scratch_buffer);
    return at + len <= scratch || scratch + need <= at;
}

// K order-2 estimates side by side on x86-64; one after another on 32-bit
// x86, where the spills of two chains cost more than their overlap gains
// (unlike the image estimates, which gain in both). The results are the same
// either way.
template <int K, typename Contexts>
void estimate_several(const uint8_t* const* data, uint16_t* const* tables, uint32_t first, uint32_t end,
                      Contexts ctx, uint32_t* costs)
{
    if constexpr (sizeof(void*) >= 8) {
        estimate_together<K>(data, tables, first, end, ctx, costs);
    } else {
        for (int k = 0; k < K; ++k) estimate_together<1>(data + k, tables + k, first, end, ctx, costs + k);
    }
}

// Order-2 contexts: the two bytes before.
struct Order2Contexts {
    void operator()(uint32_t j, uint32_t& a, uint32_t& b) const
    {
        a = j - 2;
        b = j - 1;
    }
};

// Order-2 cost of a block.
uint32_t order2_cost(const uint8_t* block, uint32_t len)
{
    uint16_t* const table = estimate_probs;
    uint32_t cost = 0;
    estimate_together<1>(&block, &table, 2, len, Order2Contexts(), &cost);
    return cost;
}

// Image contexts of position j: the same component of the pixel above (row
// bytes back), or six bytes back in the first row, and of the pixel to the
// left (three bytes back). `above` is UINT32_MAX when no width is known (six
// bytes back everywhere).
struct ImageContexts {
    uint32_t above;
    void operator()(uint32_t j, uint32_t& a, uint32_t& b) const
    {
        a = j >= above ? j - above : j - 6;
        b = j - 3;
    }
};

// `above` for a row of `row` bytes.
uint32_t row_above(int64_t row)
{
    return (row > 0 && row <= int64_t(UINT32_MAX)) ? static_cast<uint32_t>(row) : UINT32_MAX;
}

// K image estimates of the first n bytes of K buffers.
template <int K>
void image_costs(const uint8_t* const* data, uint16_t* const* tables, uint32_t n, uint32_t above, uint32_t* costs)
{
    estimate_together<K>(data, tables, 6, n, ImageContexts{above}, costs);
}

// One image estimate over the first n bytes of a buffer.
uint32_t image_cost(const uint8_t* run, uint32_t n, uint32_t above)
{
    uint16_t* const table = estimate_probs;
    uint32_t cost = 0;
    image_costs<1>(&run, &table, n, above, &cost);
    return cost;
}

// The trial costs in place, one after another, each filter undone before the
// next: for when no scratch area holds the filtered copies.
void image_costs_in_place(uint8_t* run, uint32_t n, uint32_t above, uint32_t trials, uint32_t* costs)
{
    costs[0] = image_cost(run, n, above);
    const uint8_t channels[2] = {1, 3};
    for (int k = 0; k < 2; ++k) {
        channel_count = channels[k];
        sample_bytes = 1;
        delta_encode(run, n);
        costs[1 + k] = image_cost(run, n, above);
        delta_decode(run, n);
    }
    if (trials == 4) {
        rgb_decorrelate(run, static_cast<int32_t>(n));
        costs[3] = image_cost(run, n, above);
        rgb_restore(run, static_cast<int32_t>(n));
    }
}

// The trial costs over filtered copies of the first n bytes in the scratch
// area, two estimates side by side: the run itself is only read. (Four side
// by side run out of registers, and their four counter tables crowd the
// cache; both cost more than the overlap gains.)
void image_costs_on_copies(const uint8_t* run, uint32_t n, uint32_t above, uint32_t trials, uint32_t* costs)
{
    uint8_t* const one = scratch_buffer;
    uint8_t* const three = one + n;
    uint8_t* const colour = three + n;
    std::memcpy(one, run, n);
    channel_count = 1;
    sample_bytes = 1;
    delta_encode(one, n);
    std::memcpy(three, run, n);
    channel_count = 3;
    delta_encode(three, n);
    const uint8_t* data[4] = {run, one, three, colour};
    uint16_t* tables[4] = {trial_probs[0], trial_probs[1], trial_probs[2], estimate_probs};
    image_costs<2>(data, tables, n, above, costs);
    if (trials == 4) {
        std::memcpy(colour, run, n);
        rgb_decorrelate(colour, static_cast<int32_t>(n));
        image_costs<2>(data + 2, tables + 2, n, above, costs + 2);
    } else {
        costs[2] = image_cost(three, n, above);
    }
}

}  // namespace

void estimate_reset()
{
    std::fill(estimate_probs, estimate_probs + ESTIMATE_COUNTERS, COUNTER_HALF);
    estimate_range = 0xFFFFFFFF;
    estimated_bytes = 0;
    estimate_node = 1;
}

void estimate_bit(uint8_t bit)
{
    uint32_t range = estimate_range;
    uint32_t bytes = estimated_bytes;
    model_bit(range, bytes, estimate_probs + estimate_node + estimate_ctx_a,
              estimate_probs + estimate_node + estimate_ctx_b, bit & 1u);
    estimate_range = range;
    estimated_bytes = bytes;
    estimate_node = 2 * estimate_node + (bit & 1u);
}

void estimate_byte(uint32_t x)
{
    estimate_node = 1;
    for (int i = 7; i >= 0; --i) estimate_bit(static_cast<uint8_t>((x >> i) & 1));
}

int32_t stride_filter_pays(uint8_t* block, uint32_t len, int32_t stride)
{
    uint32_t plain_cost = 0;
    uint32_t filtered = 0;
    if (len < MIN_FILTER_BLOCK) {
        // Not filtered: both costs are the plain one.
        plain_cost = filtered = order2_cost(block, len);
    } else if (scratch_takes(block, len, uint64_t(len) * 2)) {
        // The filtered copy in the upper half of the scratch area (the filter
        // itself uses the lower half), estimated beside the block.
        uint8_t* const copy = scratch_buffer + len;
        std::memcpy(copy, block, len);
        stride_delta_encode(copy, len, static_cast<uint32_t>(stride));
        const uint8_t* data[2] = {block, copy};
        uint16_t* const tables[2] = {trial_probs[0], estimate_probs};
        uint32_t costs[2];
        estimate_several<2>(data, tables, 2, len, Order2Contexts(), costs);
        plain_cost = costs[0];
        filtered = costs[1];
    } else {
        plain_cost = order2_cost(block, len);
        stride_delta_encode(block, len, static_cast<uint32_t>(stride));
        filtered = order2_cost(block, len);
        stride_delta_decode(block, len, static_cast<uint32_t>(stride));
    }
    // The product in double precision: SSE arithmetic in both builds, so the
    // decision, and with it the archive, is the same in both.
    const double plain = static_cast<double>(plain_cost) * ESTIMATE_GAIN;
    return plain > static_cast<double>(filtered) ? 1 : 0;
}

int32_t choose_image_filter(uint8_t* run, int32_t len, uint8_t allow_colour)
{
    const uint32_t n = len <= 0 ? 0 : std::min(static_cast<uint32_t>(len), IMAGE_TRIAL_LIMIT);
    const uint32_t above = row_above(3 * static_cast<int64_t>(image_width));

    // Costs of no filter, the delta over one channel, over three channels
    // and (when allowed) the colour transform.
    const uint32_t trials = allow_colour != 0 ? 4 : 3;
    uint32_t costs[4] = {};
    if (n > 6 && scratch_takes(run, n, uint64_t(n) * 3))
        image_costs_on_copies(run, n, above, trials, costs);
    else
        image_costs_in_place(run, n, above, trials, costs);

    uint32_t best = costs[0];
    int32_t choice = 0;
    uint8_t leave_channels = 0;
    if (costs[1] < best) {
        best = costs[1];
        choice = 1;
        leave_channels = 1;
    }
    if (costs[2] < best) {
        best = costs[2];
        choice = 1;
        leave_channels = 3;
    }
    if (trials == 4 && costs[3] < best) choice = 2;

    // A delta won at some point: its parameters stay set, one byte wide.
    channel_count = leave_channels;
    sample_bytes = leave_channels != 0 ? 1 : 0;
    image_filter_choice = static_cast<uint8_t>(choice);
    return choice;
}
