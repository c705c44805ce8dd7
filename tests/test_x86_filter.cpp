#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "engine/x86_filter.h"
#include "tests/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encoded(Bytes v)
{
    x86_encode_buffer(v.data(), static_cast<uint32_t>(v.size()));
    return v;
}

Bytes decoded(Bytes v)
{
    x86_decode_buffer(v.data(), static_cast<uint32_t>(v.size()));
    return v;
}

}  // namespace

TEST(X86Filter, WorkedSequences)
{
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        {{0xE8, 0x01, 0, 0, 0, 0x90}, {0xE8, 0x80, 0x00, 0x03, 0xFF, 0x90}},
        // A call back to its own start: odd target, parity byte 0x00.
        {{0x90, 0xE8, 0xFB, 0xFF, 0xFF, 0xFF, 0x90}, {0x90, 0xE8, 0x80, 0, 0, 0, 0x90}},
        // An opcode right after an operand is converted too.
        {{0xE8, 0, 0, 0, 0, 0xE8, 0, 0, 0, 0, 0x90}, {0xE8, 0x80, 0, 0x02, 0x00, 0xE8, 0x80, 0, 0x05, 0xFF, 0x90}},
        // An opcode inside an operand is not tested.
        {{0xE8, 0xE8, 0, 0, 0, 0, 0x90, 0x90}, {0xE8, 0x80, 0x00, 0x76, 0x00, 0x00, 0x90, 0x90}},
        // The operand ends the region: no byte follows it.
        {{0xE8, 0x01, 0, 0, 0}, {0xE8, 0x01, 0, 0, 0}},
        // 2^24 is out of range; the E8 inside the operand is still skipped,
        // but the last operand byte may be an opcode.
        {{0xE9, 0, 0, 0, 0x01, 0x90}, {0xE9, 0, 0, 0, 0x01, 0x90}},
        {{0xE9, 0xE8, 0, 0, 0x01, 0, 0, 0, 0, 0x90}, {0xE9, 0xE8, 0, 0, 0x01, 0, 0, 0, 0, 0x90}},
        {{0xE9, 0, 0, 0, 0xE8, 0, 0, 0, 0, 0x90}, {0xE9, 0, 0, 0, 0xE8, 0x80, 0, 0x04, 0x00, 0x90}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encoded(c.first), c.second);
        EXPECT_EQ(decoded(c.second), c.first);
    }
    // Each buffer operation ends in the reset state.
    EXPECT_TRUE(x86_filter.pending_mask == 0xFF && x86_filter.position == 0 && x86_filter.next_check == 5);
}

TEST(X86Filter, StepsRoundTripsAndTargetPacking)
{
    // Opcode-dense regions of every short length and some longer: steps and
    // drain write what the buffer operation writes (nothing leaves before the
    // eighth push); every byte string is the encoding of exactly one other.
    std::mt19937 rng(7);
    for (uint32_t n = 0; n <= 3000; n += (n < 40 ? 1 : 97)) {
        Bytes v(n);
        for (auto& b : v) b = static_cast<uint8_t>((rng() & 1) ? 0xE8 + (rng() & 1) : rng() & 0x81);
        Bytes steps;
        x86_filter_reset();
        for (uint8_t b : v)
            if (const int32_t out = x86_filter_step_encode(b); out >= 0) steps.push_back(uint8_t(out));
        EXPECT_EQ(steps.size(), n < 8 ? 0 : n - 8);
        for (int32_t out; (out = x86_filter_drain()) >= 0;) steps.push_back(static_cast<uint8_t>(out));
        EXPECT_EQ(steps, encoded(v)) << n;
        EXPECT_EQ(x86_filter_drain(), -1);
        for (const Bytes& w : {v, test_support::random_bytes(n, n)}) {
            ASSERT_EQ(decoded(encoded(w)), w) << n;
            ASSERT_EQ(encoded(decoded(w)), w) << n;
        }
    }
    for (uint32_t x = 0; x < (1u << 25); ++x) {
        const uint32_t p = x86_pack_target(x);
        ASSERT_TRUE((p >> 24) == 0 || (p >> 24) == 0xFF);
        ASSERT_EQ(x86_unpack_target(p), x);
    }
    // Machine code round trips, its calls converted.
    const Bytes program = test_support::own_program_bytes();
    EXPECT_NE(encoded(program), program);
    EXPECT_TRUE(decoded(encoded(program)) == program);
}
