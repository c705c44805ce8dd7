#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/bit_model.h"
#include "engine/chunk_stream.h"
#include "engine/entropy.h"
#include "engine/range_coder.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

std::unique_ptr<BitModel> snapshot()
{
    std::unique_ptr<BitModel> copy(new BitModel);
    std::memcpy(copy.get(), &bit_model, sizeof(BitModel));
    return copy;
}

bool same_model(const BitModel& a, const BitModel& b)
{
    return std::memcmp(a.table, b.table, sizeof a.table) == 0 && a.prev_byte == b.prev_byte &&
           a.run_flag == b.run_flag;
}

// Every sub-block of 16384 bytes with all 256 values equally often: H = 8.
std::vector<uint8_t> uniform_subblock()
{
    std::vector<uint8_t> out(SUBBLOCK_SIZE);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 37);
    return out;
}

}  // namespace

TEST(BitModel, FirstBitAfterResetIsEven)
{
    bit_model.reset();
    uint64_t low = 0;
    uint32_t range = 0xFFFFFFFFu;
    int16_t* t = bit_model.table;
    bit_coding::encode(t, bit_model.order1_row(), bit_model.refine_row(), 1, 1, low, range);
    EXPECT_EQ(range, 32766u * 0xFFFFu);
    EXPECT_EQ(low, 0u);
    // A quarter, a sixteenth and a sixty-fourth of the way up.
    EXPECT_EQ(t[1], 2048);
    EXPECT_EQ(t[ORDER1_BASE + 1], 512);
    EXPECT_EQ(t[REFINE_BASE + 8 * 1 + (16383 >> 12)], 256);

    // The same bit as a 0 takes the upper part and moves the counters down.
    bit_model.reset();
    low = 0;
    range = 0xFFFFFFFFu;
    bit_coding::encode(t, bit_model.order1_row(), bit_model.refine_row(), 1, 0, low, range);
    EXPECT_EQ(low, 32766u * 0xFFFFu);
    EXPECT_EQ(range, 0xFFFFFFFFu - 32766u * 0xFFFFu);
    EXPECT_EQ(t[1], -2047);
    EXPECT_EQ(t[ORDER1_BASE + 1], -511);
    EXPECT_EQ(t[REFINE_BASE + 8 * 1 + 3], -255);
}

TEST(BitModel, CountersStayWithinTheirLimits)
{
    TempDir dir;
    allocate_work_memory(1 << 20);
    begin_entry(dir.file("limits"));
    const auto extremes = [](int first, int last, int& lo, int& hi) {
        lo = hi = 0;
        for (int i = first; i < last; ++i) {
            lo = std::min<int>(lo, bit_model.table[i]);
            hi = std::max<int>(hi, bit_model.table[i]);
        }
    };
    // Long runs of single values drive counters to both ends.
    for (uint8_t v : {0xFF, 0x5A, 0x00}) {
        std::vector<uint8_t> run(200000, v);
        entropy_level = 0;
        cm_encode(run.data(), static_cast<int32_t>(run.size()));
    }
    int lo_ab, hi_ab, lo_c, hi_c;
    extremes(1, REFINE_BASE, lo_ab, hi_ab);
    extremes(REFINE_BASE, REFINE_BASE + 4096, lo_c, hi_c);
    // The top is reached exactly; the floor stops the fall a little short.
    EXPECT_EQ(hi_ab, 8191);
    EXPECT_EQ(hi_c, 16383);
    EXPECT_GE(lo_ab, -8191);
    EXPECT_LT(lo_ab, -8180);
    EXPECT_GE(lo_c, -16383);
    EXPECT_LT(lo_c, -16300);

    std::vector<uint8_t> noise = random_bytes(100000, 4);
    entropy_level = 0;
    cm_encode(noise.data(), 100000);
    end_entry();
    extremes(1, REFINE_BASE, lo_ab, hi_ab);
    extremes(REFINE_BASE, REFINE_BASE + 4096, lo_c, hi_c);
    EXPECT_GE(lo_ab, -8191);
    EXPECT_LE(hi_ab, 8191);
    EXPECT_GE(lo_c, -16383);
    EXPECT_LE(hi_c, 16383);
    // So every probability the model can give keeps both parts of a split.
    for (int node = 1; node < 256; ++node) {
        for (int prev = 0; prev < 256; ++prev) {
            const int s = bit_model.table[node] + bit_model.table[ORDER1_BASE + 256 * prev + node] + 16383;
            for (int run = 0; run < 2; ++run) {
                const int p = s + bit_model.table[REFINE_BASE + 8 * (256 * run + node) + (s >> 12)] + 16383;
                ASSERT_GE(p, 82);
                ASSERT_LE(p, 65531);
            }
        }
    }
}

TEST(BitModel, EmptyInputWritesNothing)
{
    TempDir dir;
    allocate_work_memory(1 << 20);
    const std::string path = dir.file("empty");
    begin_entry(path);
    entropy_level = 123;
    const uint8_t byte = 7;
    cm_encode(&byte, 0);
    cm_encode(&byte, -5);
    EXPECT_EQ(entropy_level, 123u);
    end_entry();
    // The entry holds just the five flushed zero bytes of the coder.
    const std::vector<uint8_t> expect = {16, 0, 0, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(read_file_bytes(path), expect);
}

TEST(BitModel, SubBlocksAreMeasuredAndFlaggedOneByOne)
{
    // 16384 bytes are one sub-block, 16385 two: one measurement and one
    // direct bit each. A high level sends the first raw; the lone last byte
    // has no entropy of its own, which pulls the level down: it is modelled.
    TempDir dir;
    allocate_work_memory(1 << 20);
    const std::vector<uint8_t> data = random_bytes(16385, 21);
    for (int32_t n : {16384, 16385}) {
        const std::string path = dir.file("sub" + std::to_string(n));
        entropy_level = 800;
        measure_piece_entropy(data.data(), 16384);
        if (n == 16385) measure_piece_entropy(data.data() + 16384, 1);
        const uint32_t expect_level = entropy_level;

        bit_model.reset();
        const std::unique_ptr<BitModel> before = snapshot();
        begin_entry(path);
        entropy_level = 800;
        cm_encode(data.data(), n);
        EXPECT_EQ(entropy_level, expect_level);
        EXPECT_EQ(raw_subblock_flag, n == 16384 ? 1 : 0);
        range_encode_direct_bit(0);  // a marker behind the record
        range_encode_direct_bit(1);
        put_raw_u32(0xC0DEFACE);
        end_entry();
        if (n == 16384) {
            EXPECT_TRUE(same_model(*before, bit_model)) << "raw sub-blocks leave the model alone";
        }

        bit_model.reset();
        begin_reading(path);
        EXPECT_EQ(range_decode_direct_bit(), 1);
        for (int32_t i = 0; i < 16384; ++i) ASSERT_EQ(get_raw_byte(), data[i]);
        if (n == 16385) {
            EXPECT_EQ(range_decode_direct_bit(), 0);
            bit_model.node = 1;
            for (int i = 0; i < 8; ++i) bit_model.decode_bit();
            EXPECT_EQ(bit_model.node, 256 + data[16384]);
        }
        EXPECT_EQ(range_decode_direct_bit(), 0);
        EXPECT_EQ(range_decode_direct_bit(), 1);
        EXPECT_EQ(get_raw_u32(), 0xC0DEFACEu);
        end_reading();
    }
}

TEST(BitModel, LevelOf791IsModelledAnd792Raw)
{
    // With H = 8 a level of 787 becomes 791 and one of 788 becomes 792.
    TempDir dir;
    allocate_work_memory(1 << 20);
    const std::vector<uint8_t> data = uniform_subblock();
    for (uint32_t start : {787u, 788u}) {
        bit_model.reset();
        begin_entry(dir.file("level" + std::to_string(start)));
        entropy_level = start;
        cm_encode(data.data(), SUBBLOCK_SIZE);
        const size_t raw_bytes = static_cast<size_t>(raw_cursor - raw_buffer);
        end_entry();
        if (start == 787) {
            EXPECT_EQ(entropy_level, 791u);
            EXPECT_EQ(raw_subblock_flag, 0);
            EXPECT_EQ(raw_bytes, 0u);
            EXPECT_EQ(bit_model.prev_byte, data.back());
        } else {
            EXPECT_EQ(entropy_level, 792u);
            EXPECT_EQ(raw_subblock_flag, 1);
            EXPECT_EQ(raw_bytes, static_cast<size_t>(SUBBLOCK_SIZE));
            EXPECT_EQ(bit_model.prev_byte, 0);
        }
    }
}

TEST(BitModel, RunFlagFollowsThePreviousByte)
{
    TempDir dir;
    allocate_work_memory(1 << 20);
    begin_entry(dir.file("run"));
    entropy_level = 0;
    // After a reset the previous byte is 0, so a first 0 counts as a repeat.
    const uint8_t zero = 0;
    cm_encode(&zero, 1);
    EXPECT_EQ(bit_model.run_flag, 1);
    EXPECT_EQ(bit_model.prev_byte, 0);
    const uint8_t bytes[] = {9, 9, 4};
    cm_encode(bytes, 1);
    EXPECT_EQ(bit_model.run_flag, 0);
    cm_encode(bytes + 1, 1);
    EXPECT_EQ(bit_model.run_flag, 1);
    cm_encode(bytes + 2, 1);
    EXPECT_EQ(bit_model.run_flag, 0);
    EXPECT_EQ(bit_model.prev_byte, 4);
    end_entry();
}

TEST(BitModel, DecodeBitMirrorsTheEncoder)
{
    // decode_bit, the model's own step over the global decoder state, reads
    // back what the encoder wrote and leaves the same counters.
    TempDir dir;
    allocate_work_memory(1 << 20);
    const std::string path = dir.file("bits");
    const std::vector<uint8_t> data = text_bytes(3000, 8);
    entropy_level = 0;
    begin_entry(path);
    cm_encode(data.data(), static_cast<int32_t>(data.size()));
    end_entry();
    const std::unique_ptr<BitModel> encoded = snapshot();

    bit_model.reset();
    begin_reading(path);
    EXPECT_EQ(range_decode_direct_bit(), 0);
    for (uint8_t expect : data) {
        bit_model.node = 1;
        for (int i = 0; i < 8; ++i) bit_model.decode_bit();
        ASSERT_EQ(bit_model.node, 256 + expect);
        bit_model.run_flag = expect == bit_model.prev_byte;
        bit_model.prev_byte = expect;
    }
    end_reading();
    EXPECT_TRUE(same_model(*encoded, bit_model));
}
