#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/media_params.h"
#include "engine/sample_filters.h"
#include "engine/size_estimator.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;
using Bytes = std::vector<uint8_t>;

namespace {

void need_scratch()
{
    if (scratch_buffer == nullptr) allocate_work_memory(1 << 20);
}

// The estimator as plainly as it can be written, to hold the engine's
// branch-free version against.
struct ReferenceEstimator {
    std::vector<uint16_t> probs = std::vector<uint16_t>(256 * 512, 1024);
    uint32_t range = 0xFFFFFFFF;
    uint32_t bytes = 0;

    void byte(uint32_t x, uint32_t ctx_a, uint32_t ctx_b)
    {
        uint32_t node = 1;
        for (int i = 7; i >= 0; --i) {
            const int bit = (x >> i) & 1;
            uint16_t& a = probs[node + ctx_a];
            uint16_t& b = probs[node + ctx_b];
            const uint32_t r = (range >> 12) * uint32_t(a + b);
            if (bit) {
                range = r;
                b += (2047 - b) >> 5;
                a += (2047 - a) >> 5;
            } else {
                range -= r;
                b -= b >> 5;
                a -= a >> 5;
            }
            node = 2 * node + bit;
            while (range <= 0xFFFFFF) {
                range <<= 8;
                ++bytes;
            }
        }
    }
};

uint32_t reference_order2(const Bytes& b)
{
    ReferenceEstimator e;
    for (size_t j = 2; j < b.size(); ++j) e.byte(b[j], b[j - 2] * 512u, b[j - 1] * 512u + 256);
    return e.bytes;
}

uint32_t reference_image(const Bytes& b, size_t row)
{
    ReferenceEstimator e;
    for (size_t j = 6; j < b.size(); ++j)
        e.byte(b[j], (j >= row ? b[j - row] : b[j - 6]) * 512u, b[j - 3] * 512u + 256);
    return e.bytes;
}

// Filter, cost and parameters that the trials should give, from the
// reference costs.
struct ImageVerdict {
    int filter;
    int channels;
    int width;
};

ImageVerdict reference_choice(const Bytes& run, int32_t width_px)
{
    const size_t row = 3 * size_t(width_px);
    uint32_t best = reference_image(run, row);
    ImageVerdict v{0, 0, 0};
    for (uint8_t channels : {1, 3}) {
        Bytes d = run;
        d.resize(run.size() + 4);
        sample_bytes = 1;
        channel_count = channels;
        delta_encode(d.data(), uint32_t(run.size()));
        d.resize(run.size());
        const uint32_t cost = reference_image(d, row);
        if (cost < best) {
            best = cost;
            v = {1, channels, 1};
        }
    }
    Bytes c = run;
    rgb_decorrelate(c.data(), int32_t(c.size()));
    if (reference_image(c, row) < best) v.filter = 2;
    return v;
}

// Pixels of a photograph-like RGB image: smooth colour fields and noise.
Bytes picture(int32_t width, int32_t height, int noise, uint32_t seed)
{
    const Bytes r = random_bytes(size_t(width) * height * 3, seed);
    Bytes out;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const int base = (x * 3 + y * 2) / 4;
            const size_t i = out.size();
            out.push_back(uint8_t(base + r[i] % noise));
            out.push_back(uint8_t(base + 40 + r[i + 1] % noise));
            out.push_back(uint8_t(base / 2 + r[i + 2] % noise));
        }
    return out;
}

// Pixels (v, v + k1 d, v + k2 d) of random v below vm and d below dm: the
// components are tied to each other, hardly to their neighbours.
Bytes linked_pixels(size_t pixels, int vm, int dm, int k1, int k2, uint32_t seed)
{
    const Bytes r = random_bytes(pixels * 2, seed);
    Bytes out;
    for (size_t i = 0; i < pixels; ++i) {
        const int v = r[2 * i] % vm, d = r[2 * i + 1] % dm;
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v + k1 * d));
        out.push_back(uint8_t(v + k2 * d));
    }
    return out;
}

}  // namespace

TEST(SizeEstimator, FirstBitAndCounterLimits)
{
    for (int bit : {1, 0}) {
        estimate_reset();
        estimate_ctx_a = 7 * 512;
        estimate_ctx_b = 9 * 512 + 256;
        estimate_bit(uint8_t(bit));
        const uint16_t expect = bit ? 1055 : 992;
        EXPECT_EQ(estimate_probs[7 * 512 + 1], expect);
        EXPECT_EQ(estimate_probs[9 * 512 + 256 + 1], expect);
        EXPECT_EQ(estimate_range, bit ? (0xFFFFFFFFu >> 12) * 2048 : 0xFFFFFFFFu - (0xFFFFFFFFu >> 12) * 2048);
        EXPECT_EQ(estimate_node, 2u + bit);
        EXPECT_EQ(estimated_bytes, 0u);
    }

    // Long runs of one bit drive the counters to their limits and no further.
    estimate_reset();
    estimate_ctx_a = 0;
    estimate_ctx_b = 256;
    for (int i = 0; i < 2000; ++i) {
        estimate_byte(0xFF);
        ASSERT_LE(estimate_probs[1], 2016);
    }
    EXPECT_EQ(estimate_probs[1], 2016);
    EXPECT_EQ(estimate_probs[256 + 255], 2016);
    for (int i = 0; i < 2000; ++i) {
        estimate_byte(0x00);
        ASSERT_GE(estimate_probs[1], 31);
    }
    EXPECT_EQ(estimate_probs[1], 31);
    EXPECT_EQ(estimate_node, 256u);
    estimate_probs[1] = 2016;
    estimate_probs[257] = 31;
    estimate_node = 1;
    estimate_bit(1);
    EXPECT_EQ(estimate_probs[1], 2016);
    EXPECT_EQ(estimate_probs[257], 31 + ((2047 - 31) >> 5));
    estimate_probs[3] = 31;
    estimate_bit(0);
    EXPECT_EQ(estimate_probs[3], 31);
    // Each predicted bit costs well under a bit.
    EXPECT_GT(estimated_bytes, 0u);
    EXPECT_LT(estimated_bytes, 4000u / 8);
}

TEST(SizeEstimator, CostsMatchThePlainModel)
{
    need_scratch();
    for (const Bytes& b : {random_bytes(511, 1), text_bytes(511, 2), Bytes(511, 0x41)}) {
        Bytes copy = b;
        EXPECT_EQ(stride_filter_pays(copy.data(), 511, 2), 0);
        EXPECT_EQ(copy, b);
        EXPECT_EQ(estimated_bytes, reference_order2(b));
    }
    const Bytes img = picture(40, 30, 20, 3);
    image_width = 40;
    Bytes run = img;
    choose_image_filter(run.data(), int32_t(run.size()), 0);
    Bytes d = img;
    d.resize(img.size() + 4);
    sample_bytes = 1;  // the last trial: the delta over three channels
    channel_count = 3;
    delta_encode(d.data(), uint32_t(img.size()));
    d.resize(img.size());
    EXPECT_EQ(estimated_bytes, reference_image(d, 120));
}

TEST(SizeEstimator, StrideFilterPays)
{
    need_scratch();
    // Short blocks are never filtered; two bytes or fewer cost nothing.
    for (uint32_t len : {0u, 1u, 2u, 3u, 300u, 511u}) {
        Bytes b = random_bytes(len, 4);
        for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 4);
        const Bytes before = b;
        EXPECT_EQ(stride_filter_pays(b.data(), len, 1), 0);
        EXPECT_EQ(b, before);
        if (len <= 2) {
            EXPECT_EQ(estimated_bytes, 0u);
        }
    }
    // 32-bit samples of a slow ramp: the split with delta pays, for random
    // bytes it does not, and the block is unchanged either way.
    Bytes ramp;
    const Bytes noise = random_bytes(65536, 5);
    for (uint32_t i = 0; ramp.size() < 65536; ++i) {
        const uint32_t v = i * 977 + noise[i] % 64;
        for (int k = 0; k < 4; ++k) ramp.push_back(uint8_t(v >> (8 * k)));
    }
    for (const auto& [data, pays] : {std::pair<Bytes, int>{ramp, 1}, {noise, 0}}) {
        for (int32_t stride : {1, 2, 3, 4, 8}) {
            Bytes b = data;
            const int32_t got = stride_filter_pays(b.data(), uint32_t(b.size()), stride);
            EXPECT_EQ(b, data);
            if (stride == 4 || !pays) {
                EXPECT_EQ(got, pays) << stride;
            }
        }
    }
}

TEST(SizeEstimator, PinnedCostsAreTheSameInEveryBuild)
{
    // These figures must not differ between the 32-bit and 64-bit builds.
    need_scratch();
    Bytes t = text_bytes(20000, 6);
    EXPECT_EQ(stride_filter_pays(t.data(), 20000, 3), 0);
    EXPECT_EQ(estimated_bytes, 13510u);
    Bytes p = picture(64, 50, 9, 8);
    image_width = 64;
    EXPECT_EQ(choose_image_filter(p.data(), int32_t(p.size()), 1), 1);
    EXPECT_EQ(channel_count, 3);
    EXPECT_EQ(estimated_bytes, 6051u);
}

TEST(SizeEstimator, ImageFilterChoiceAndItsParameters)
{
    need_scratch();
    // Six bytes or fewer cost nothing: no filter, no delta parameters.
    for (int32_t len : {0, 3, 6}) {
        Bytes b(8, 0x80);
        sample_bytes = 4;
        channel_count = 9;
        EXPECT_EQ(choose_image_filter(b.data(), len, 1), 0);
        EXPECT_EQ(sample_bytes, 0);
        EXPECT_EQ(channel_count, 0);
        EXPECT_EQ(image_filter_choice, 0);
    }
    // A flat image costs the same under every filter: the earliest stays.
    Bytes flat(3000, 0);
    image_width = 10;
    EXPECT_EQ(choose_image_filter(flat.data(), 3000, 1), 0);
    EXPECT_EQ(channel_count, 0);

    // Result and parameters as the trials' costs decide, for several kinds of
    // image and with the colour trial on and off.
    const Bytes kinds[] = {picture(50, 40, 4, 9), picture(50, 40, 60, 10), random_bytes(6000, 11),
                           text_bytes(6000, 12), picture(7, 300, 2, 13), linked_pixels(2000, 256, 3, 1, 2, 14),
                           linked_pixels(2000, 256, 3, 8, 16, 15), linked_pixels(2000, 16, 16, 1, 3, 16)};
    const int32_t widths[] = {50, 50, 100, 33, 7, 40, 40, 36};
    for (size_t k = 0; k < sizeof widths / sizeof *widths; ++k) {
        for (uint8_t colour : {1, 0}) {
            image_width = widths[k];
            const ImageVerdict expect = reference_choice(kinds[k], widths[k]);
            Bytes run = kinds[k];
            const int32_t got = choose_image_filter(run.data(), int32_t(run.size()), colour);
            EXPECT_EQ(run, kinds[k]);
            EXPECT_EQ(got, colour || expect.filter != 2 ? expect.filter : (expect.channels ? 1 : 0)) << k;
            EXPECT_EQ(image_filter_choice, got);
            EXPECT_EQ(channel_count, expect.channels) << k;
            EXPECT_EQ(sample_bytes, expect.width) << k;
        }
    }
}

TEST(SizeEstimator, ImageTrialsLookAtTheFirstTwoMebibytesOnly)
{
    const Bytes head = picture(512, 1366, 6, 14);  // 2 098 176 bytes
    ASSERT_GT(head.size(), IMAGE_TRIAL_LIMIT);
    image_width = 512;
    Bytes cut(head.begin(), head.begin() + IMAGE_TRIAL_LIMIT);
    const int32_t expect = choose_image_filter(cut.data(), int32_t(cut.size()), 1);
    const uint8_t channels = channel_count;

    Bytes run = head;
    const Bytes tail = random_bytes(run.size() - IMAGE_TRIAL_LIMIT, 15);
    std::copy(tail.begin(), tail.end(), run.begin() + IMAGE_TRIAL_LIMIT);
    const Bytes before = run;
    EXPECT_EQ(choose_image_filter(run.data(), int32_t(run.size()), 1), expect);
    EXPECT_EQ(channel_count, channels);
    EXPECT_EQ(run, before);
}
