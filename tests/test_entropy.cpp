#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/entropy.h"
#include "tests/test_support.h"

namespace {

int64_t ulps_apart(double x, double y)
{
    int64_t a, b;
    std::memcpy(&a, &x, sizeof a);
    std::memcpy(&b, &y, sizeof b);
    // Same sign throughout (both results are <= 0 here): the bit patterns
    // are ordered like the values.
    return a > b ? a - b : b - a;
}

// All 256 byte values equally often: H = 8 exactly.
std::vector<uint8_t> uniform_bytes(size_t copies)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < copies; ++i)
        for (int v = 0; v < 256; ++v) out.push_back(static_cast<uint8_t>(v));
    return out;
}

}  // namespace

TEST(Entropy, StableLog2AgreesWithPlatformLog2)
{
    // The ratios count / len that the entropy measure takes, over every scale
    // of len, and powers of two, which must come out exact.
    std::mt19937 rng(7);
    int64_t worst = 0;
    for (int i = 0; i < 400000; ++i) {
        const uint32_t len = 1 + (rng() >> (rng() % 32));
        const uint32_t count = 1 + static_cast<uint32_t>(uint64_t(rng()) * len >> 32);
        const double p = count * (1.0 / len);
        const int64_t d = ulps_apart(stable_log2(p), std::log2(p));
        if (d > worst) worst = d;
        ASSERT_LE(d, 2) << count << " / " << len;
    }
    EXPECT_LE(worst, 1);
    for (int k = -1074 + 52; k <= 1023; ++k) ASSERT_EQ(stable_log2(std::ldexp(1.0, k)), k);
    EXPECT_EQ(stable_log2(1.0), 0.0);
    // Near 1, where the result is small, relative accuracy matters.
    for (double x : {1.0 + 0x1p-52, 1.0 - 0x1p-53, 0.999999, 1.000001, 0.70710678, 1.41421356})
        EXPECT_LE(ulps_apart(stable_log2(x), std::log2(x)), 2) << x;
}

TEST(Entropy, StableLog2IsTheSameInEveryBuild)
{
    // A digest of many results: the 32-bit and the 64-bit build check the
    // same number, so the entropy measure decides alike in both.
    std::mt19937 rng(11);
    uint64_t digest = 0;
    for (int i = 0; i < 100000; ++i) {
        const uint32_t len = 1 + (rng() >> (rng() % 32));
        const uint32_t count = 1 + static_cast<uint32_t>(uint64_t(rng()) * len >> 32);
        const double v = stable_log2(count * (1.0 / len));
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        digest = (digest ^ bits) * 0x100000001B3ull;
    }
    EXPECT_EQ(digest, 0x8fc8a305db5a8afeull) << std::hex << digest;
}

TEST(Entropy, LevelClimbsOnUniformBytesAndSettles)
{
    const std::vector<uint8_t> data = uniform_bytes(64);
    entropy_level = 0;
    const uint32_t expect[] = {266, 444, 562, 641, 694, 729, 752, 768, 778, 785,
                               790, 793, 795, 796, 797, 798, 798, 798};
    for (uint32_t level : expect) {
        measure_piece_entropy(data.data(), static_cast<uint32_t>(data.size()));
        EXPECT_EQ(entropy_level, level);
    }
}

TEST(Entropy, RepeatedByteHasNoEntropy)
{
    const std::vector<uint8_t> data(5000, 0x41);
    entropy_level = 100;
    measure_piece_entropy(data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(entropy_level, 66u);
    // An empty buffer counts as no entropy too.
    measure_piece_entropy(data.data(), 0);
    EXPECT_EQ(entropy_level, 44u);
}

TEST(Entropy, LevelFollowsMixedData)
{
    // Exact levels for data of uneven statistics pin the rounding steps:
    // double terms, single-precision sum and mix.
    std::vector<uint8_t> data = test_support::text_bytes(16384, 3);
    std::vector<uint8_t> skewed(12345);
    std::mt19937 rng(5);
    for (auto& b : skewed) b = static_cast<uint8_t>((rng() % 7) * (rng() % 5));
    entropy_level = 0;
    measure_piece_entropy(data.data(), static_cast<uint32_t>(data.size()));
    const uint32_t after_text = entropy_level;
    measure_piece_entropy(skewed.data(), static_cast<uint32_t>(skewed.size()));
    // Worked out apart from this code, by the steps written out longhand.
    EXPECT_EQ(after_text, 133u);
    EXPECT_EQ(entropy_level, 204u);
}

TEST(Entropy, VerdictTextCodeOrPlain)
{
    // Text: spaces, vowels, letters, more than 3 bits per byte.
    const std::vector<uint8_t> text = test_support::text_bytes(20000, 1);
    entropy_level = 0;
    EXPECT_EQ(measure_piece_entropy(text.data(), static_cast<uint32_t>(text.size())), 8);

    // Machine-code statistics: many 0x8B and 0x00 bytes, calls (0xE8).
    std::vector<uint8_t> code(8192);
    std::mt19937 rng(9);
    for (size_t i = 0; i < code.size(); ++i) {
        const uint32_t r = rng() % 16;
        code[i] = r < 2 ? 0x8B : r < 5 ? 0x00 : r == 5 ? 0xE8 : static_cast<uint8_t>(rng());
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
    EXPECT_GE(entropy_level, 796u);
}
