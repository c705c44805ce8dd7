#include <gtest/gtest.h>

#include <vector>

#include "engine/media_params.h"
#include "engine/sample_filters.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes le16(std::initializer_list<uint16_t> values)
{
    Bytes out;
    for (uint16_t v : values) {
        out.push_back(uint8_t(v));
        out.push_back(uint8_t(v >> 8));
    }
    return out;
}

uint16_t* values16(Bytes& b, size_t at = 0) { return reinterpret_cast<uint16_t*>(b.data() + at); }

}  // namespace

TEST(SampleFilters, WorkedExamples)
{
    if (scratch_buffer == nullptr) allocate_work_memory(1 << 20);
    const Bytes in = {10, 20, 30, 40, 50};
    // Planes 10 30 50 and 20 40; the second plane starts against 50. Stride 1
    // or a stride beyond the region is a plain byte delta in order.
    for (auto [stride, expect] : {std::pair<uint32_t, Bytes>{2, {10, 20, 20, 226, 20}},
                                  {1, {10, 10, 10, 10, 10}}, {8, {10, 10, 10, 10, 10}},
                                  {0xFFFFFFFFu, {10, 10, 10, 10, 10}}}) {
        Bytes b = in;
        stride_delta_encode(b.data(), 5, stride);
        EXPECT_EQ(b, expect) << stride;
        stride_delta_decode(b.data(), 5, stride);
        EXPECT_EQ(b, in) << stride;
    }

    // Colour: -50 halves to -25; a seventh byte and a 2-byte region stay.
    Bytes b = {200, 100, 50, 7};
    rgb_decorrelate(b.data(), 4);
    EXPECT_EQ(b, (Bytes{156, 206, 75, 7}));
    rgb_restore(b.data(), 4);
    EXPECT_EQ(b, (Bytes{200, 100, 50, 7}));
    rgb_decorrelate(b.data(), 2);
    EXPECT_EQ(b, (Bytes{200, 100, 50, 7}));

    // Channels: a difference of -1 halves to -1, so the last channel rises by one.
    b = le16({1000, 1010, 1000, 999});
    channels16_decorrelate(values16(b), 4, 2);
    EXPECT_EQ(b, le16({10, 1005, 0xFFFF, 1000}));
    channels16_restore(values16(b), 4, 2);
    EXPECT_EQ(b, le16({1000, 1010, 1000, 999}));
    channels16_decorrelate(values16(b), 4, 1);
    channels16_decorrelate(values16(b), 3, 4);  // less than one frame
    EXPECT_EQ(b, le16({1000, 1010, 1000, 999}));

    // Sample delta per channel; 24-bit samples wrap at 24 bits and leave the
    // byte after the region alone.
    b = le16({0x0100, 0x0200, 0x0105, 0x01FF});
    sample_bytes = channel_count = 2;
    delta_encode(b.data(), 8);
    EXPECT_EQ(b, le16({0x0100, 0x0200, 0x0005, 0xFFFF}));
    delta_decode(b.data(), 8);
    EXPECT_EQ(b, le16({0x0100, 0x0200, 0x0105, 0x01FF}));
    b = {0x05, 0x00, 0x00, 0x03, 0x00, 0x00, 0xAA};
    sample_bytes = 3, channel_count = 1;
    delta_encode(b.data(), 6);
    EXPECT_EQ(b, (Bytes{0x05, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xAA}));
    delta_decode(b.data(), 6);
    EXPECT_EQ(b, (Bytes{0x05, 0x00, 0x00, 0x03, 0x00, 0x00, 0xAA}));
}

TEST(SampleFilters, DeltaParametersNoEncoderWritesLeaveTheRegionAlone)
{
    for (int w = 0; w <= 5; ++w)
        for (int c : {0, 1, 32, 33, 255})
            EXPECT_EQ(delta_params_valid(uint8_t(w), uint8_t(c)), w >= 1 && w <= 4 && c >= 1 && c <= 32);
    const Bytes in = random_bytes(64, 3);
    for (auto [w, c] : {std::pair<int, int>{0, 1}, {5, 1}, {1, 0}, {2, 33}, {4, 255}}) {
        Bytes b = in;
        sample_bytes = uint8_t(w), channel_count = uint8_t(c);
        delta_encode(b.data(), 64);
        EXPECT_EQ(b, in) << w << " " << c;
        delta_decode(b.data(), 64);
        EXPECT_EQ(b, in) << w << " " << c;
    }
}

// Every filter is undone exactly over regions of every length that start at
// an odd offset, and no byte outside the region changes (apart from the
// sample delta's trailing partial sample, which is scratch for both sides).
TEST(SampleFilters, EveryFilterInvertsAndStaysInsideItsRegion)
{
    if (scratch_buffer == nullptr) allocate_work_memory(1 << 20);
    const Bytes data = random_bytes(1200, 11);
    for (uint32_t len = 0; len <= 1000; ++len) {
        for (uint32_t stride : {0u, 1u, 2u, 3u, 4u, 5u, 8u, 255u, 5000u}) {
            Bytes b = data;
            stride_delta_encode(b.data() + 3, len, stride);
            stride_delta_decode(b.data() + 3, len, stride);
            ASSERT_EQ(b, data) << "stride " << stride << " len " << len;
        }
        Bytes b = data;
        rgb_decorrelate(b.data() + 1, int32_t(len));
        rgb_restore(b.data() + 1, int32_t(len));
        ASSERT_EQ(b, data) << "colour " << len;
        for (int32_t channels : {1, 2, 3, 8, 32}) {
            channels16_decorrelate(values16(b, 1), int32_t(len / 2), channels);
            channels16_restore(values16(b, 1), int32_t(len / 2), channels);
            ASSERT_EQ(b, data) << "channels " << channels << " len " << len;
        }
        // Twice, as the audio record applies it.
        for (uint8_t width = 1; width <= 4; ++width)
            for (uint8_t channels : {1, 2, 3, 5, 8, 32}) {
                sample_bytes = width, channel_count = channels;
                delta_encode(b.data() + 5, len);
                delta_encode(b.data() + 5, len);
                const uint32_t spill = (width - len % width) % width;
                for (uint32_t k = 0; k < spill; ++k) b[5 + len + k] ^= 0x5A;
                delta_decode(b.data() + 5, len);
                delta_decode(b.data() + 5, len);
                for (uint32_t k = 0; k < spill; ++k) b[5 + len + k] = data[5 + len + k];
                ASSERT_EQ(b, data) << int(width) << " " << int(channels) << " " << len;
            }
    }
}
