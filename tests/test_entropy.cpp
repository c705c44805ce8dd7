#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/entropy.h"
#include "tests/test_support.h"

namespace {

uint64_t bits_of(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

uint32_t level_after(uint32_t level, const std::vector<uint8_t>& data)
{
    entropy_level = level;
    measure_piece_entropy(data.data(), static_cast<uint32_t>(data.size()));
    return entropy_level;
}

}  // namespace

TEST(Entropy, StableLog2MatchesPlatformLog2AndEveryBuild)
{
    // The ratios count / len that the measure takes, over every scale of
    // len. Both builds check the same digest of the results, so the measure
    // decides alike in both; the platform's log2 may differ between them.
    std::mt19937 rng(7);
    uint64_t digest = 0;
    for (int i = 0; i < 400000; ++i) {
        const uint32_t len = 1 + (rng() >> (rng() % 32));
        const uint32_t count = 1 + static_cast<uint32_t>(uint64_t(rng()) * len >> 32);
        const double p = count * (1.0 / len);
        const double v = stable_log2(p);
        const int64_t ulps = static_cast<int64_t>(bits_of(v) - bits_of(std::log2(p)));
        ASSERT_LE(std::llabs(ulps), 2) << count << " / " << len;
        digest = (digest ^ bits_of(v)) * 0x100000001B3ull;
    }
    EXPECT_EQ(digest, 0x7786ca245f419b21ull) << std::hex << digest;
    for (int k = -1022; k <= 1023; ++k) ASSERT_EQ(stable_log2(std::ldexp(1.0, k)), k);
    for (double x : {1.0 + 0x1p-52, 1.0 - 0x1p-53, 0.999999, 1.000001, 0.70710678, 1.41421356}) {
        const int64_t ulps = static_cast<int64_t>(bits_of(stable_log2(x)) - bits_of(std::log2(x)));
        EXPECT_LE(std::llabs(ulps), 2) << x;
    }
}

TEST(Entropy, LevelSteps)
{
    // All 256 values equally often (H = 8) from 0 up to where it settles.
    std::vector<uint8_t> uniform;
    for (int i = 0; i < 64 * 256; ++i) uniform.push_back(static_cast<uint8_t>(i));
    uint32_t level = 0;
    for (uint32_t expect :
         {266, 444, 562, 641, 694, 729, 752, 768, 778, 785, 790, 793, 795, 796, 797, 798, 798})
        EXPECT_EQ(level = level_after(level, uniform), expect);

    // One repeated byte has no entropy, and neither has an empty buffer.
    EXPECT_EQ(level_after(100, std::vector<uint8_t>(5000, 0x41)), 66u);
    EXPECT_EQ(level_after(66, std::vector<uint8_t>()), 44u);

    // Uneven statistics pin the rounding of each step (double terms, single
    // precision sum and mix); the levels were worked out apart from this code.
    std::vector<uint8_t> skewed(12345);
    std::mt19937 rng(5);
    for (auto& b : skewed) b = static_cast<uint8_t>((rng() % 7) * (rng() % 5));
    EXPECT_EQ(level = level_after(0, test_support::text_bytes(16384, 3)), 133u);
    EXPECT_EQ(level_after(level, skewed), 204u);
}

TEST(Entropy, VerdictTextCodeOrPlain)
{
    const std::vector<uint8_t> text = test_support::text_bytes(20000, 1);
    entropy_level = 0;
    EXPECT_EQ(measure_piece_entropy(text.data(), static_cast<uint32_t>(text.size())), 8);

    // Machine-code statistics: many 0x8B and 0x00 bytes, calls (0xE8).
    std::vector<uint8_t> code(8192);
    std::mt19937 rng(9);
    for (auto& b : code) {
        const uint32_t r = rng() % 16;
        b = r < 2 ? 0x8B : r < 5 ? 0x00 : r == 5 ? 0xE8 : static_cast<uint8_t>(rng());
    }
    entropy_level = 0;
    EXPECT_EQ(measure_piece_entropy(code.data(), static_cast<uint32_t>(code.size())), 1);

    // Text that also passes the machine-code test is still text.
    std::vector<uint8_t> both = text;
    for (size_t i = 0; i < both.size(); i += 40) both[i] = 0x8B;
    for (size_t i = 20; i < both.size(); i += 40) both[i] = 0x00;
    for (size_t i = 7; i < 7 * 40; i += 40) both[i] = 0xE8;
    entropy_level = 0;
    EXPECT_EQ(measure_piece_entropy(both.data(), static_cast<uint32_t>(both.size())), 8);

    // Neither: 2 while the level is below 796, else 0.
    const std::vector<uint8_t> noise = test_support::random_bytes(65536, 2);
    entropy_level = 0;
    EXPECT_EQ(measure_piece_entropy(noise.data(), 65536), 2);
    entropy_level = 800;
    EXPECT_EQ(measure_piece_entropy(noise.data(), 65536), 0);
}
