// The bit model coder and the block decoders with their inverse transform.
#include <gtest/gtest.h>

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/bit_model.h"
#include "engine/block_decoder.h"
#include "engine/entropy.h"
#include "engine/entry_codec.h"
#include "engine/entry_state.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The forward transform as the encoders make it; returns the primary index.
int32_t transform(const Bytes& in, Bytes& out)
{
    out.assign(in.size(), 0);
    return in.empty() ? 0 : divbwt(in.data(), out.data(), sa_workspace, int32_t(in.size()));
}

// The decoder's inverse transform, checked not to write past the end.
Bytes invert(const Bytes& x, int32_t idx)
{
    uint32_t counts[256] = {};
    for (uint8_t b : x) ++counts[b];
    Bytes out(x.size() + 1, 0xEE);
    inverse_bwt(x.data(), out.data(), int32_t(x.size()), idx, counts);
    EXPECT_EQ(out.back(), 0xEE);
    return Bytes(out.begin(), out.end() - 1);
}

int p_of(int node, int prev, int run)
{
    const int16_t* t = bit_model.table;
    const int s = t[node] + t[ORDER1_BASE + 256 * prev + node] + 16383;
    return s + t[REFINE_BASE + 8 * (256 * run + node) + (s >> 12)] + 16383;
}

}  // namespace

TEST(BitModel, FirstBitAfterResetIsEvenAndCountersStayInLimits)
{
    // After a reset p = 32766: a code just below the split is a 1, the split
    // itself a 0; the counters move 1/4, 1/16 and 1/64 of the way, floored.
    const uint32_t split = 32766u * 0xFFFFu;
    for (bool one : {true, false}) {
        bit_model.reset();
        rc_range = 0xFFFFFFFFu;
        rc_code = one ? split - 1 : split;
        bit_model.decode_bit();
        EXPECT_EQ(bit_model.node, one ? 3 : 2);
        EXPECT_EQ(rc_range, one ? split : 0xFFFFFFFFu - split);
        EXPECT_EQ(rc_code, one ? split - 1 : 0u);
        const int16_t* t = bit_model.table;
        const std::vector<int> counters = {t[1], t[ORDER1_BASE + 1], t[REFINE_BASE + 11]};
        EXPECT_EQ(counters, std::vector<int>({one ? 2048 : -2047, one ? 512 : -511, one ? 256 : -255}));
    }
    // Runs drive the counters to their tops; with noise on top, p stays in 82..65531.
    TempDir dir;
    reset_engine(1 << 20);
    begin_bare_entry(dir.file("limits").c_str());
    for (uint8_t v : {0xFF, 0x5A, 0x00}) cm_encode(Bytes(200000, v).data(), 200000);
    EXPECT_EQ(p_of(255, 0xFF, 1), 65531);  // 8191 + 8191 + 16383 + 32766
    cm_encode(random_bytes(100000, 4).data(), 100000);
    finish_entry("test");
    for (int node = 1; node < 256; ++node)
        for (int prev = 0; prev < 512; ++prev) {
            const int p = p_of(node, prev & 255, prev >> 8);
            ASSERT_TRUE(p >= 82 && p <= 65531) << p;
        }
}

TEST(BitModel, SubBlocksLevelsAndRawDecision)
{
    TempDir dir;
    allocate_work_memory(1 << 20);
    // 16384 bytes are one sub-block, 16385 two, each measured. Noise on a high
    // level goes raw, in order, leaving the model alone; the last byte is modelled.
    const Bytes data = random_bytes(16385, 21);
    for (int32_t n : {16384, 16385}) {
        entropy_level = 800;
        measure_piece_entropy(data.data(), 16384);
        if (n == 16385) measure_piece_entropy(data.data() + 16384, 1);
        const uint32_t expect_level = entropy_level;
        bit_model.reset();
        begin_bare_entry(dir.file("sub").c_str());
        entropy_level = 800;
        cm_encode(data.data(), n);
        EXPECT_EQ(entropy_level, expect_level);
        EXPECT_EQ(raw_cursor - raw_buffer, 16384);
        EXPECT_EQ(0, std::memcmp(raw_buffer, data.data(), 16384));
        EXPECT_EQ(std::count(bit_model.table, bit_model.table + 69888, 0) == 69888, n == 16384);
        finish_entry("test");
    }

    // With H = 8 a level of 787 becomes 791, modelled; 788 becomes 792, raw.
    Bytes uniform(SUBBLOCK_SIZE);
    for (size_t i = 0; i < uniform.size(); ++i) uniform[i] = static_cast<uint8_t>(i * 37);
    for (uint32_t start : {787u, 788u}) {
        begin_bare_entry(dir.file("level").c_str());
        entropy_level = start;
        cm_encode(uniform.data(), SUBBLOCK_SIZE);
        EXPECT_EQ(raw_cursor - raw_buffer, start == 788 ? SUBBLOCK_SIZE : 0);
        finish_entry("test");
        EXPECT_EQ(entropy_level, start + 4);
    }

    // After a reset the previous byte is 0, so a first 0 counts as a repeat.
    bit_model.reset();
    begin_bare_entry(dir.file("run").c_str());
    std::vector<int> run_flags;
    for (uint8_t b : {0, 9, 9, 4}) {
        cm_encode(&b, 1);
        run_flags.push_back(bit_model.run_flag);
    }
    EXPECT_EQ(run_flags, std::vector<int>({1, 0, 1, 0}));
    finish_entry("test");
}

TEST(BitModel, DecodersMirrorTheEncoderInEveryBuild)
{
    // Entry 1: a record of text, noise and a run (modelled, raw, then modelled
    // sub-blocks) and a short one, coded into the same bytes by both builds
    // (one digest). Entry 2 continues the model as in a solid run: transformed
    // records around the sub-block size, read back through both block decoders.
    TempDir dir;
    allocate_work_memory(1 << 20);
    const std::string paths[2] = {dir.file("entry1"), dir.file("entry2")};
    Bytes data = text_bytes(300000, 12);
    const Bytes noise = random_bytes(250000, 13);
    data.insert(data.end(), noise.begin(), noise.end());
    data.insert(data.end(), 70000, 0x20);
    std::vector<Bytes> records, transformed;
    std::vector<int32_t> index;
    for (uint32_t n : {0, 1, 2, 3, 255, 16383, 16384, 16385, 50000, 200003})
        for (const Bytes& record : {random_bytes(n, n), text_bytes(n, n)}) {
            records.push_back(record);
            transformed.emplace_back();
            index.push_back(transform(record, transformed.back()));
        }
    reset_engine(1 << 20);
    begin_bare_entry(paths[0].c_str());
    cm_encode(data.data(), int32_t(data.size()));
    cm_encode(data.data() + 1000, 5000);
    finish_entry("test");
    uint64_t digest = 0xCBF29CE484222325ull;
    for (uint8_t byte : read_file_bytes(paths[0])) digest = (digest ^ byte) * 0x100000001B3ull;
    EXPECT_EQ(digest, 0x51f965988969f47full) << std::hex << digest;
    begin_bare_entry(paths[1].c_str());
    for (const Bytes& t : transformed) cm_encode(t.data(), int32_t(t.size()));
    finish_entry("test");

    bit_model.reset();
    begin_reading_bare_entry(paths[0].c_str());
    Bytes out(data.size());
    uint32_t counts[256] = {};
    cm_decode_bytes(out.data(), int32_t(data.size()), counts);
    EXPECT_TRUE(out == data);
    cm_decode_bytes(out.data(), 5000, counts);
    close_file(read_handle);
    begin_reading_bare_entry(paths[1].c_str());
    for (size_t r = 0; r < records.size(); ++r) {
        // to_work: result in work_buffer, transformed bytes at the place.
        const size_t n = records[r].size();
        uint8_t* const place = block_buffer + (r % 7) * 1000;
        const bool to_work = r % 2 == 0;
        (to_work ? cm_decode_to_work : cm_decode_to_output)(place, int32_t(n), index[r]);
        ASSERT_TRUE(n == 0 || std::memcmp(to_work ? work_buffer : place, records[r].data(), n) == 0) << r;
        ASSERT_TRUE(n == 0 || std::memcmp(to_work ? place : work_buffer, transformed[r].data(), n) == 0);
    }
    close_file(read_handle);
}

TEST(BlockDecoder, InverseTransformAndItsDamage)
{
    allocate_work_memory(1 << 20);
    Bytes t, big(16);
    EXPECT_EQ(transform(bytes_of("banana"), t), 4);
    EXPECT_EQ(t, bytes_of("annbaa"));
    EXPECT_EQ(invert(t, 4), bytes_of("banana"));
    EXPECT_EQ(invert(Bytes{}, 0), Bytes{});
    EXPECT_EQ(invert(Bytes{0x42}, 1), Bytes{0x42});
    EXPECT_EQ(transform(Bytes(1000, 7), t), 1000);
    EXPECT_EQ(invert(t, 1000), Bytes(1000, 7));
    // Every short block over two and three letters, of odd and even length:
    // the decoder walks two bytes at a time from both ends.
    for (size_t alphabet : {2, 3})
        for (size_t len = 1, total = alphabet; len <= (alphabet == 2 ? 9u : 6u); ++len, total *= alphabet)
            for (size_t code = 0; code < total; ++code) {
                Bytes block;
                for (size_t i = 0, c = code; i < len; ++i, c /= alphabet)
                    block.push_back(uint8_t('a' + c % alphabet));
                ASSERT_EQ(invert(t, transform(block, t)), block);
            }

    // Indexes outside the record, lengths beyond the working memory or the block.
    const int32_t too_long = int32_t(work_capacity) + 1;
    for (auto [length, index] : std::vector<std::pair<int32_t, int32_t>>{
             {0, 1}, {5, 0}, {5, 6}, {5, -3}, {too_long, 1}, {-1, 0}}) {
        EXPECT_DAMAGED(cm_decode_to_output(big.data(), length, index));
    }
    EXPECT_DAMAGED(cm_decode_to_work(block_buffer + work_capacity - 10, 11, 1));
    // Indexes under which the walk ends too early, at an even and an odd length.
    for (int32_t wrong : {1, 2, 3, 5}) EXPECT_DAMAGED(invert(bytes_of("annbaa"), wrong));
    EXPECT_DAMAGED(invert(bytes_of("mississippi river"), 9));
}
