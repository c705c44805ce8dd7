#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/media_params.h"
#include "engine/sample_filters.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;
using Bytes = std::vector<uint8_t>;

namespace {

void need_scratch()
{
    if (scratch_buffer == nullptr) allocate_work_memory(1 << 20);
}

Bytes stride_encoded(Bytes b, uint32_t stride)
{
    need_scratch();
    stride_delta_encode(b.data(), static_cast<uint32_t>(b.size()), stride);
    return b;
}

Bytes le16(std::initializer_list<uint16_t> values)
{
    Bytes out;
    for (uint16_t v : values) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    }
    return out;
}

void set_delta(uint8_t width, uint8_t channels)
{
    sample_bytes = width;
    channel_count = channels;
}

// Samples of a 16-bit stereo recording: two slow tones with a little noise.
Bytes tones16(size_t frames)
{
    Bytes raw = random_bytes(frames, 7);
    Bytes out;
    for (size_t i = 0; i < frames; ++i) {
        const int l = static_cast<int>(9000 * std::sin(i * 0.01)) + raw[i] % 8;
        const int r = static_cast<int>(7000 * std::sin(i * 0.013 + 1)) - raw[i] % 5;
        for (int v : {l, r}) {
            out.push_back(static_cast<uint8_t>(v));
            out.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    return out;
}

}  // namespace

TEST(SampleFilters, StrideDeltaWorkedExamples)
{
    const Bytes in = {10, 20, 30, 40, 50};
    EXPECT_EQ(stride_encoded(in, 2), (Bytes{10, 20, 20, 226, 20}));
    Bytes b = stride_encoded(in, 2);
    stride_delta_decode(b.data(), 5, 2);
    EXPECT_EQ(b, in);
    // Stride 1, or a stride beyond the region: a plain byte delta in order.
    const Bytes plain = {10, 10, 10, 10, 10};
    EXPECT_EQ(stride_encoded(in, 1), plain);
    EXPECT_EQ(stride_encoded(in, 8), plain);
    EXPECT_EQ(stride_encoded(in, 0xFFFFFFFFu), plain);
}

TEST(SampleFilters, ColourTransformWorkedExamples)
{
    Bytes b = {200, 100, 50};
    rgb_decorrelate(b.data(), 3);
    EXPECT_EQ(b, (Bytes{156, 206, 75}));
    rgb_restore(b.data(), 3);
    EXPECT_EQ(b, (Bytes{200, 100, 50}));

    const Bytes seven = {10, 50, 20, 200, 30, 90, 7};
    b = seven;
    rgb_decorrelate(b.data(), 7);
    EXPECT_EQ(b[6], 7);
    for (int i = 0; i < 6; ++i) EXPECT_NE(b[i], seven[i]) << i;
    b = {9, 8};
    rgb_decorrelate(b.data(), 2);
    EXPECT_EQ(b, (Bytes{9, 8}));
}

TEST(SampleFilters, ChannelDecorrelationWorkedExamples)
{
    Bytes b = le16({1000, 1010});
    channels16_decorrelate(reinterpret_cast<uint16_t*>(b.data()), 2, 2);
    EXPECT_EQ(b, le16({10, 1005}));
    channels16_restore(reinterpret_cast<uint16_t*>(b.data()), 2, 2);
    EXPECT_EQ(b, le16({1000, 1010}));

    // A difference of -1 halves to -1: the last channel rises by one.
    b = le16({1000, 999});
    channels16_decorrelate(reinterpret_cast<uint16_t*>(b.data()), 2, 2);
    EXPECT_EQ(b, le16({0xFFFF, 1000}));

    const Bytes three = le16({1, 500, 9});
    b = three;
    channels16_decorrelate(reinterpret_cast<uint16_t*>(b.data()), 3, 1);
    channels16_decorrelate(reinterpret_cast<uint16_t*>(b.data()), 3, 4);
    EXPECT_EQ(b, three);
}

TEST(SampleFilters, SampleDeltaWorkedExamples)
{
    Bytes b = le16({0x0100, 0x0200, 0x0105, 0x01FF});
    set_delta(2, 2);
    delta_encode(b.data(), 8);
    EXPECT_EQ(b, le16({0x0100, 0x0200, 0x0005, 0xFFFF}));
    EXPECT_EQ(delta_prev[0], 0x0105);
    EXPECT_EQ(delta_prev[1], 0x01FF);
    delta_decode(b.data(), 8);
    EXPECT_EQ(b, le16({0x0100, 0x0200, 0x0105, 0x01FF}));

    // 24-bit samples wrap at 24 bits and leave the next byte alone.
    b = {0x05, 0x00, 0x00, 0x03, 0x00, 0x00, 0xAA};
    set_delta(3, 1);
    delta_encode(b.data(), 6);
    EXPECT_EQ(b, (Bytes{0x05, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xAA}));
    EXPECT_EQ(delta_prev[0], 3);
    delta_decode(b.data(), 6);
    EXPECT_EQ(b, (Bytes{0x05, 0x00, 0x00, 0x03, 0x00, 0x00, 0xAA}));
}

TEST(SampleFilters, TrailingPartialSampleComesBackWhateverFollows)
{
    const Bytes five = {0x34, 0x12, 0x30, 0x12, 0x99};
    for (int before : {0x00, 0x7F, 0xFF}) {
        for (int after : {0x00, 0x80, 0xFF}) {
            Bytes b = five;
            b.push_back(static_cast<uint8_t>(before));
            set_delta(2, 1);
            delta_encode(b.data(), 5);
            b[5] = static_cast<uint8_t>(after);
            delta_decode(b.data(), 5);
            EXPECT_EQ(Bytes(b.begin(), b.begin() + 5), five) << before << " " << after;
        }
    }
}

TEST(SampleFilters, DeltaParameterCheck)
{
    for (int w = 0; w <= 6; ++w)
        for (int c = 0; c <= 40; ++c)
            EXPECT_EQ(delta_params_valid(uint8_t(w), uint8_t(c)), w >= 1 && w <= 4 && c >= 1 && c <= 32);
    // Parameters no encoder writes leave the region as it is.
    const Bytes in = random_bytes(64, 3);
    for (auto wc : {std::pair<int, int>{0, 1}, {5, 1}, {1, 0}, {2, 33}, {4, 255}}) {
        Bytes b = in;
        set_delta(uint8_t(wc.first), uint8_t(wc.second));
        delta_encode(b.data(), 64);
        delta_decode(b.data(), 64);
        EXPECT_EQ(b, in);
    }
}

// Every filter is undone exactly, over every region length up to a few
// thousand bytes, and no filter touches a byte before or (apart from the
// sample delta's trailing partial sample) after its region.
TEST(SampleFilters, StrideFiltersInvertOnEveryLength)
{
    need_scratch();
    const Bytes data = random_bytes(3100, 11);
    for (uint32_t stride : {0u, 1u, 2u, 3u, 4u, 5u, 8u, 255u, 5000u}) {
        for (uint32_t len = 0; len <= 3000; len += (stride <= 8 ? 1 : 7)) {
            Bytes b = data;
            stride_delta_encode(b.data() + 4, len, stride);
            if (len > 1 && stride != 0) {
                EXPECT_NE(std::memcmp(b.data() + 4, data.data() + 4, len), 0);
            }
            stride_delta_decode(b.data() + 4, len, stride);
            ASSERT_EQ(b, data) << "stride " << stride << " len " << len;
        }
    }
}

TEST(SampleFilters, FiltersInvertOnText)
{
    need_scratch();
    const Bytes text = text_bytes(65536, 21);
    for (uint32_t stride : {1u, 2u, 3u, 4u, 8u}) {
        Bytes b = text;
        stride_delta_encode(b.data(), 65536, stride);
        stride_delta_decode(b.data(), 65536, stride);
        EXPECT_EQ(b, text) << stride;
    }
    Bytes b = text;
    rgb_decorrelate(b.data(), 65536);
    rgb_restore(b.data(), 65536);
    EXPECT_EQ(b, text);
}

TEST(SampleFilters, ColourAndChannelFiltersInvertOnEveryLength)
{
    const Bytes data = random_bytes(3100, 12);
    for (int32_t len = 0; len <= 3000; ++len) {
        Bytes b = data;
        rgb_decorrelate(b.data() + 1, len);
        rgb_restore(b.data() + 1, len);
        ASSERT_EQ(b, data) << len;
    }
    for (int32_t channels = 1; channels <= 32; ++channels) {
        for (int32_t count = 0; count <= 1500; count += channels <= 8 ? 1 : 13) {
            Bytes b = data;
            // An odd start: runs begin anywhere in the block.
            uint16_t* values = reinterpret_cast<uint16_t*>(b.data() + 1);
            channels16_decorrelate(values, count, channels);
            channels16_restore(values, count, channels);
            ASSERT_EQ(b, data) << channels << " " << count;
        }
    }
}

TEST(SampleFilters, SampleDeltaInvertsForEveryWidthAndChannelCount)
{
    const Bytes data = random_bytes(4200, 13);
    for (uint8_t width = 1; width <= 4; ++width) {
        for (uint8_t channels = 1; channels <= 32; ++channels) {
            const bool dense = channels <= 3 || channels == 8 || channels == 32;
            for (uint32_t len = 0; len <= 4000; len += dense ? 1 : 37) {
                Bytes b = data;
                set_delta(width, channels);
                delta_encode(b.data() + 5, len);
                delta_encode(b.data() + 5, len);
                // The partial sample's spill is scratch: change it between the sides.
                const uint32_t spill = (width - len % width) % width;
                for (uint32_t k = 0; k < spill; ++k) b[5 + len + k] ^= 0x5A;
                delta_decode(b.data() + 5, len);
                delta_decode(b.data() + 5, len);
                ASSERT_EQ(0, std::memcmp(b.data(), data.data(), 5 + len))
                    << int(width) << " " << int(channels) << " " << len;
                const size_t rest = 5 + len + spill;
                ASSERT_EQ(0, std::memcmp(b.data() + rest, data.data() + rest, data.size() - rest));
            }
        }
    }
}

TEST(SampleFilters, AudioChainOnRealLikeSamples)
{
    // The audio record's chain: delta twice, then the stereo decorrelation.
    const Bytes pcm = tones16(20000);
    Bytes b = pcm;
    b.resize(pcm.size() + 3);
    const uint32_t len = static_cast<uint32_t>(pcm.size()) - 1;  // ends inside a sample
    set_delta(2, 2);
    delta_encode(b.data(), len);
    delta_encode(b.data(), len);
    channels16_decorrelate(reinterpret_cast<uint16_t*>(b.data()), int32_t(len / 2), 2);
    // Second differences of slow tones are small: most high bytes are 0 or 0xFF.
    size_t small = 0;
    for (uint32_t i = 1; i < len; i += 2) small += b[i] == 0 || b[i] == 0xFF;
    EXPECT_GT(small, len / 2 * 9 / 10);
    channels16_restore(reinterpret_cast<uint16_t*>(b.data()), int32_t(len / 2), 2);
    delta_decode(b.data(), len);
    delta_decode(b.data(), len);
    EXPECT_EQ(0, std::memcmp(b.data(), pcm.data(), len));
}
