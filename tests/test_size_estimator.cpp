#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "engine/media_params.h"
#include "engine/size_estimator.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;
using Bytes = std::vector<uint8_t>;

namespace {

// RGB pixels. With link 0: smooth colour fields and noise below `noise`, like
// a photograph. Otherwise (v, v + d, v + link * d) of random v and d below
// `noise`: components tied to each other, not to their neighbours.
Bytes pixels(int32_t width, int32_t height, int noise, int link, uint32_t seed)
{
    const Bytes r = random_bytes(size_t(width) * height * 3, seed);
    Bytes out;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            const size_t i = out.size();
            const int base = (x * 3 + y * 2) / 4, v = r[i] % noise, d = r[i + 1] % noise;
            const int linked[3] = {v, v + d, v + link * d};
            const int photo[3] = {base + v, base + 40 + d, base / 2 + r[i + 2] % noise};
            for (int k = 0; k < 3; ++k) out.push_back(uint8_t(link != 0 ? linked[k] : photo[k]));
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
        EXPECT_EQ(estimate_probs[7 * 512 + 1], bit ? 1055 : 992);
        EXPECT_EQ(estimate_probs[9 * 512 + 256 + 1], bit ? 1055 : 992);
        EXPECT_EQ(estimate_range, bit ? (0xFFFFFFFFu >> 12) * 2048 : 0xFFFFFFFFu - (0xFFFFFFFFu >> 12) * 2048);
        EXPECT_EQ(estimate_node, 2u + bit);
    }
    // Long runs of one bit drive the counters to their limits and no further.
    estimate_reset();
    estimate_ctx_a = 0;
    estimate_ctx_b = 256;
    for (int i = 0; i < 2000; ++i) estimate_byte(0xFF);
    EXPECT_EQ(estimate_probs[1], 2016);
    EXPECT_EQ(estimate_probs[256 + 255], 2016);
    for (int i = 0; i < 2000; ++i) estimate_byte(0x00);
    EXPECT_EQ(estimate_probs[1], 31);
    EXPECT_EQ(estimate_probs[256 + 1], 31);
}

TEST(SizeEstimator, StrideFilterPays)
{
    if (scratch_buffer == nullptr) allocate_work_memory(1 << 20);
    // Below 512 bytes nothing is filtered and the answer is 0; two bytes or
    // fewer cost nothing.
    for (uint32_t len : {0u, 2u, 3u, 511u}) {
        Bytes b(len);
        for (size_t i = 0; i < len; ++i) b[i] = uint8_t(i * 4);
        const Bytes before = b;
        EXPECT_EQ(stride_filter_pays(b.data(), len, 1), 0);
        EXPECT_EQ(b, before);
        EXPECT_TRUE(len > 2 || estimated_bytes == 0) << len;
    }
    // 32-bit samples of a slow ramp: stride 4 pays; for random bytes no
    // stride does; the block is unchanged either way.
    Bytes ramp;
    const Bytes noise = random_bytes(65536, 5);
    for (uint32_t i = 0; ramp.size() < 65536; ++i)
        for (int k = 0; k < 4; ++k) ramp.push_back(uint8_t((i * 977 + noise[i] % 64) >> (8 * k)));
    for (int32_t stride : {1, 2, 3, 4, 8})
        for (const Bytes& data : {ramp, noise}) {
            Bytes b = data;
            const int32_t got = stride_filter_pays(b.data(), uint32_t(b.size()), stride);
            EXPECT_EQ(b, data);
            EXPECT_TRUE((stride != 4 && data == ramp) || got == (data == ramp)) << stride;
        }
    // A figure that must not differ between the 32-bit and 64-bit builds.
    Bytes t = text_bytes(20000, 6);
    EXPECT_EQ(stride_filter_pays(t.data(), 20000, 3), 0);
    EXPECT_EQ(estimated_bytes, 13510u);
}

TEST(SizeEstimator, ImageFilterChoiceAndItsParameters)
{
    if (scratch_buffer == nullptr) allocate_work_memory(1 << 20);
    // Six bytes or fewer cost nothing; a flat image costs the same under
    // every filter. Either way the first trial stays: no filter, no delta
    // parameters.
    Bytes flat(3000, 0);
    image_width = 10;
    for (int32_t len : {0, 6, 3000}) {
        sample_bytes = channel_count = 9;
        EXPECT_EQ(choose_image_filter(flat.data(), len, 1), 0);
        EXPECT_EQ(sample_bytes + channel_count + image_filter_choice, 0);
    }
    // Result and delta channels with the colour trial on and off: the delta
    // parameters are those of the best delta trial that beat no filter, also
    // when the colour transform wins.
    struct Case { Bytes run; int32_t colour_on, channels_on, colour_off, channels_off; };
    const Case cases[] = {{pixels(50, 40, 16, 0, 9), 1, 3, 1, 3},
                          {pixels(50, 40, 60, 0, 9), 0, 0, 0, 0},
                          {pixels(50, 40, 16, 2, 9), 2, 1, 1, 1},
                          {pixels(50, 40, 16, 3, 9), 2, 0, 0, 0}};
    image_width = 50;
    for (const Case& c : cases)
        for (uint8_t allow : {0, 1}) {
            Bytes run = c.run;
            const int32_t got = choose_image_filter(run.data(), int32_t(run.size()), allow);
            EXPECT_EQ(got, allow ? c.colour_on : c.colour_off);
            EXPECT_EQ(channel_count, allow ? c.channels_on : c.channels_off);
            EXPECT_EQ(sample_bytes, channel_count ? 1 : 0);
            EXPECT_EQ(image_filter_choice, got);
            EXPECT_EQ(run, c.run);
        }
}

TEST(SizeEstimator, ImageTrialsLookAtTheFirstTwoMebibytesOnly)
{
    // Noise after the first 2 MiB of a picture changes neither the result
    // nor the cost, which is that of the first 2 MiB alone (the same figure
    // in the 32-bit and 64-bit builds); the whole run comes back unchanged.
    Bytes run = pixels(512, 1366, 6, 0, 14);  // 2 098 176 bytes
    const Bytes tail = random_bytes(run.size() - IMAGE_TRIAL_LIMIT, 15);
    std::copy(tail.begin(), tail.end(), run.begin() + IMAGE_TRIAL_LIMIT);
    const Bytes before = run;
    image_width = 512;
    EXPECT_EQ(choose_image_filter(run.data(), int32_t(run.size()), 0), 1);
    EXPECT_EQ(channel_count, 3);
    EXPECT_EQ(estimated_bytes, 862502u);
    EXPECT_EQ(run, before);
}

TEST(SizeEstimator, CopiesInScratchAndInPlaceTrialsAgree)
{
    // The trials run side by side on filtered copies when the scratch area
    // has room, and one after another in place when it has none (here: a
    // capacity of 0) or when the data lies in it. Both ways give the same
    // answers, costs and delta parameters, and leave the caller's bytes as
    // they were.
    allocate_work_memory(4 << 20);
    uint8_t* const scratch = scratch_buffer;
    const uint32_t capacity = work_capacity;
    struct Outcome { int32_t result; uint8_t channels, width; uint32_t cost, range; };
    const auto both = [&](const std::function<int32_t()>& call) {
        Outcome out[2];
        for (int in_place = 0; in_place < 2; ++in_place) {
            work_capacity = in_place ? 0 : capacity;
            sample_bytes = channel_count = 9;
            const int32_t result = call();
            out[in_place] = {result, channel_count, sample_bytes, estimated_bytes, estimate_range};
        }
        work_capacity = capacity;
        EXPECT_EQ(out[0].result, out[1].result);
        EXPECT_EQ(out[0].channels, out[1].channels);
        EXPECT_EQ(out[0].width, out[1].width);
        EXPECT_EQ(out[0].cost, out[1].cost);
        EXPECT_EQ(out[0].range, out[1].range);
        return out[0];
    };

    Bytes photo = pixels(700, 1100, 6, 0, 21);  // 2 310 000 bytes: longer than the trials look
    const Bytes before = photo;
    image_width = 700;
    for (uint8_t allow : {0, 1})
        for (int32_t len : {7, 1000, 2310000}) {
            both([&] { return choose_image_filter(photo.data(), len, allow); });
            EXPECT_EQ(photo, before);
        }
    Bytes linked = pixels(64, 64, 16, 2, 22);
    image_width = 0;
    EXPECT_EQ(both([&] { return choose_image_filter(linked.data(), int32_t(linked.size()), 1); }).result, 2);

    Bytes ramp;
    const Bytes noise = random_bytes(40000, 23);
    for (uint32_t i = 0; ramp.size() < 40000; ++i)
        for (int k = 0; k < 2; ++k) ramp.push_back(uint8_t((i * 300 + noise[i] % 32) >> (8 * k)));
    const Bytes ramp_before = ramp;
    for (int32_t stride : {1, 2, 3, 4, 8})
        both([&] { return stride_filter_pays(ramp.data(), uint32_t(ramp.size()), stride); });
    EXPECT_EQ(stride_filter_pays(ramp.data(), uint32_t(ramp.size()), 2), 1);
    EXPECT_EQ(ramp, ramp_before);

    // An image run inside the scratch area is never overwritten by copies
    // of itself.
    std::copy(photo.begin(), photo.begin() + 30000, scratch + 5);
    image_width = 700;
    const int32_t got = choose_image_filter(scratch + 5, 30000, 1);
    EXPECT_TRUE(std::equal(photo.begin(), photo.begin() + 30000, scratch + 5));
    EXPECT_EQ(got, choose_image_filter(photo.data(), 30000, 1));
}
