#include "engine/size_estimator.h"

#include <algorithm>

#include "engine/media_params.h"
#include "engine/piece_types.h"
#include "engine/sample_filters.h"

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
    // brings the range back above 2^24: no loop, and no branch to mispredict.
    const uint32_t shift = range <= 0xFFFFFF ? 1u : 0u;
    range <<= 8 * shift;
    bytes += shift;
}

// The eight bits of x, high to low, through the bit tree; returns the node
// after the last bit.
inline uint32_t model_byte(uint32_t& range, uint32_t& bytes, uint16_t* ta, uint16_t* tb, uint32_t x)
{
    uint32_t node = 1;
    for (int i = 7; i >= 0; --i) {
        const uint32_t bit = (x >> i) & 1;
        model_bit(range, bytes, ta + node, tb + node, bit);
        node = 2 * node + bit;
    }
    return node;
}

// The estimate over a buffer: ctx(j) gives the two context bytes of position
// j. The state of the last byte is left in the process-wide variables.
template <typename Contexts>
uint32_t estimate_positions(const uint8_t* data, uint32_t first, uint32_t end, Contexts ctx)
{
    estimate_reset();
    uint32_t range = estimate_range;
    uint32_t bytes = 0;
    uint32_t node = 1;
    uint32_t base_a = estimate_ctx_a;
    uint32_t base_b = estimate_ctx_b;
    for (uint32_t j = first; j < end; ++j) {
        uint32_t first_ctx, second_ctx;
        ctx(j, first_ctx, second_ctx);
        base_a = first_ctx * 512;
        base_b = second_ctx * 512 + 256;
        node = model_byte(range, bytes, estimate_probs + base_a, estimate_probs + base_b, data[j]);
    }
    estimate_range = range;
    estimated_bytes = bytes;
    estimate_node = node;
    estimate_ctx_a = base_a;
    estimate_ctx_b = base_b;
    return bytes;
}

// Order-2 cost: each byte in the contexts of the two bytes before it.
uint32_t order2_cost(const uint8_t* block, uint32_t len)
{
    return estimate_positions(block, 2, len, [block](uint32_t j, uint32_t& a, uint32_t& b) {
        a = block[j - 2];
        b = block[j - 1];
    });
}

// Image cost: the same component of the pixel to the left (three bytes back)
// and of the pixel above (row bytes back), or six bytes back in the first
// row. A row of 0 bytes or fewer (no width known) uses six bytes back
// everywhere.
uint32_t image_cost(const uint8_t* run, uint32_t n, int64_t row)
{
    const uint32_t above = (row > 0 && row <= int64_t(UINT32_MAX)) ? static_cast<uint32_t>(row) : UINT32_MAX;
    return estimate_positions(run, 6, n, [run, above](uint32_t j, uint32_t& a, uint32_t& b) {
        a = j >= above ? run[j - above] : run[j - 6];
        b = run[j - 3];
    });
}

// Sample delta trial over the first n bytes with one-byte samples.
uint32_t delta_trial_cost(uint8_t* run, uint32_t n, uint8_t channels, int64_t row)
{
    channel_count = channels;
    sample_bytes = 1;
    delta_encode(run, n);
    const uint32_t cost = image_cost(run, n, row);
    delta_decode(run, n);
    return cost;
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
    // The product in double precision: SSE arithmetic in both builds, so the
    // decision, and with it the archive, is the same in both.
    const double plain = static_cast<double>(order2_cost(block, len)) * ESTIMATE_GAIN;
    const bool filter = len >= MIN_FILTER_BLOCK;
    if (filter) stride_delta_encode(block, len, static_cast<uint32_t>(stride));
    const uint32_t filtered = order2_cost(block, len);
    if (filter) stride_delta_decode(block, len, static_cast<uint32_t>(stride));
    return plain > static_cast<double>(filtered) ? 1 : 0;
}

int32_t choose_image_filter(uint8_t* run, int32_t len, uint8_t allow_colour)
{
    image_filter_choice = 0;
    const uint32_t n = len <= 0 ? 0 : std::min(static_cast<uint32_t>(len), IMAGE_TRIAL_LIMIT);
    const int64_t row = 3 * static_cast<int64_t>(image_width);

    uint32_t best = image_cost(run, n, row);
    int32_t choice = 0;
    uint8_t leave_channels = 0;
    uint8_t leave_width = 0;

    const uint32_t one = delta_trial_cost(run, n, 1, row);
    if (one < best) {
        best = one;
        choice = 1;
        leave_channels = 1;
        leave_width = 1;
    }
    const uint32_t three = delta_trial_cost(run, n, 3, row);
    if (three < best) {
        best = three;
        choice = 1;
        leave_channels = 3;
        leave_width = 1;
    }
    if (allow_colour != 0) {
        rgb_decorrelate(run, static_cast<int32_t>(n));
        const uint32_t colour = image_cost(run, n, row);
        rgb_restore(run, static_cast<int32_t>(n));
        if (colour < best) choice = 2;
    }

    channel_count = leave_channels;
    sample_bytes = leave_width;
    image_filter_choice = static_cast<uint8_t>(choice);
    return choice;
}
