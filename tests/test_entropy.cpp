#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "engine/entropy.h"
#include "tests/test_support.h"

namespace {

int64_t bits_of(double v) { int64_t bits; std::memcpy(&bits, &v, sizeof bits); return bits; }

int64_t ulps_from_log2(double x) { return std::llabs(bits_of(stable_log2(x)) - bits_of(std::log2(x))); }

uint32_t level_after(uint32_t level, const std::vector<uint8_t>& data)
{
    entropy_level = level;
    measure_piece_entropy(data.data(), static_cast<uint32_t>(data.size()));
    return entropy_level;
}

}  // namespace

TEST(Entropy, StableLog2MatchesPlatformLog2AndEveryBuild)
{
    // The ratios count / len that the measure takes, at every scale: within 2 ulps
    // of log2, and the same bits in both builds (one digest), unlike the platform's.
    std::mt19937 rng(7);
    uint64_t digest = 0;
    for (int i = 0; i < 400000; ++i) {
        const uint32_t len = 1 + (rng() >> (rng() % 32));
        const double p = (1 + static_cast<uint32_t>(uint64_t(rng()) * len >> 32)) * (1.0 / len);
        ASSERT_LE(ulps_from_log2(p), 2) << p;
        digest = (digest ^ uint64_t(bits_of(stable_log2(p)))) * 0x100000001B3ull;
    }
    EXPECT_EQ(digest, 0x7786ca245f419b21ull) << std::hex << digest;
    for (int k = -1022; k <= 1023; ++k) ASSERT_EQ(stable_log2(std::ldexp(1.0, k)), k);
    for (double x : {1.0 + 0x1p-52, 1.0 - 0x1p-53, 0.999999, 1.000001, 0.70710678, 1.41421356})
        EXPECT_LE(ulps_from_log2(x), 2) << x;
}

TEST(Entropy, LevelStepsAndVerdicts)
{
    // H = 8 from 0 up to where the level settles: the verdict is 2 below
    // 796 and 0 from there on. H = 0 lowers 100 to 66.
    std::vector<uint8_t> uniform(64 * 256);
    entropy_level = 0;
    for (size_t i = 0; i < uniform.size(); ++i) uniform[i] = static_cast<uint8_t>(i);
    for (uint32_t expect : {266, 444, 562, 641, 694, 729, 752, 768, 778, 785, 790, 793, 795, 796, 797, 798, 798}) {
        EXPECT_EQ(measure_piece_entropy(uniform.data(), 64 * 256), expect < 796 ? 2 : 0);
        EXPECT_EQ(entropy_level, expect);
    }
    EXPECT_EQ(level_after(100, std::vector<uint8_t>(5000, 0x41)), 66u);
    EXPECT_EQ(level_after(66, std::vector<uint8_t>()), 44u);
    // Uneven statistics pin the rounding of each step; worked out apart from this code.
    std::vector<uint8_t> skewed(12345);
    std::mt19937 rng(5);
    for (auto& b : skewed) b = static_cast<uint8_t>((rng() % 7) * (rng() % 5));
    std::vector<uint8_t> text = test_support::text_bytes(16384, 3);
    EXPECT_EQ(level_after(0, text), 133u);
    EXPECT_EQ(level_after(133, skewed), 204u);

    // Machine code (many 0x8B and 0x00 bytes, calls) is 1; text is 8, even if it looks like code.
    std::vector<uint8_t> code = test_support::random_bytes(8192, 9), both = text;
    for (size_t i = 0; i < code.size(); i += 16) std::memcpy(&code[i], "\x8B\x8B\0\0\0\xE8", 6);
    for (size_t i = 0; i < both.size(); i += 40) std::memcpy(&both[i], "\x8B\xE8", 3);
    EXPECT_EQ(measure_piece_entropy(code.data(), 8192), 1);
    for (const auto* t : {&text, &both}) EXPECT_EQ(measure_piece_entropy(t->data(), 16384), 8);
}
