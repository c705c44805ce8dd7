// The bit model coder and the block decoders with their inverse transform.
#include <gtest/gtest.h>

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/bit_model.h"
#include "engine/block_decoder.h"
#include "engine/chunk_stream.h"
#include "engine/entropy.h"
#include "engine/range_coder.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

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

// The forward transform as the encoders make it; returns the primary index.
int32_t transform(const Bytes& in, Bytes& out)
{
    out.assign(in.size(), 0);
    return in.empty() ? 0 : divbwt(in.data(), out.data(), sa_workspace, static_cast<int32_t>(in.size()));
}

// The walk one byte at a time, straight from the transform's definition, on
// any bytes: returns how many it produced before it reached the empty suffix.
size_t plain_inverse(const Bytes& x, int32_t idx, Bytes& out)
{
    std::vector<int32_t> count(257, 0), vec(x.size());
    for (uint8_t b : x) ++count[b + 1];
    for (int k = 1; k < 256; ++k) count[k] += count[k - 1];
    for (size_t i = 0; i < x.size(); ++i)
        vec[count[x[i]]++] = static_cast<int32_t>(i) < idx ? int32_t(i) : int32_t(i + 1);
    out.assign(x.size(), 0);
    size_t k = 0;
    for (int32_t p = idx; p != 0 && k < x.size(); out[k++] = p < idx ? x[p] : x[p - 1]) p = vec[p - 1];
    return k;
}

// The first index under which the one-byte walk stops early, 0 if none.
int32_t broken_index(const Bytes& x)
{
    Bytes scratch;
    for (int32_t i = 1; i <= static_cast<int32_t>(x.size()); ++i)
        if (plain_inverse(x, i, scratch) < x.size()) return i;
    return 0;
}

Bytes invert(const Bytes& x, int32_t idx)
{
    uint32_t counts[256] = {};
    for (uint8_t b : x) ++counts[b];
    Bytes out(x.size() + 1, 0xEE);
    inverse_bwt(x.data(), out.data(), static_cast<int32_t>(x.size()), idx, counts);
    EXPECT_EQ(out.back(), 0xEE) << "wrote past the end";
    out.pop_back();
    return out;
}

uint32_t p_of(int node, int prev, int run)
{
    const int16_t* t = bit_model.table;
    const int s = t[node] + t[ORDER1_BASE + 256 * prev + node] + 16383;
    return static_cast<uint32_t>(s + t[REFINE_BASE + 8 * (256 * run + node) + (s >> 12)] + 16383);
}

}  // namespace

TEST(BitModel, FirstBitAfterResetIsEven)
{
    // After a reset p = 32766: with the full range the split lies at
    // 32766 x 0xFFFF; a code just below it is a 1, the split itself a 0.
    const uint32_t split = 32766u * 0xFFFFu;
    const int16_t* t = bit_model.table;
    for (uint32_t code : {split - 1, split}) {
        bit_model.reset();
        rc_range = 0xFFFFFFFFu;
        rc_code = code;
        bit_model.decode_bit();
        const bool one = code < split;
        EXPECT_EQ(bit_model.node, one ? 3 : 2);
        EXPECT_EQ(rc_range, one ? split : 0xFFFFFFFFu - split);
        EXPECT_EQ(rc_code, one ? split - 1 : 0u);
        // A quarter, a sixteenth and a sixty-fourth of the way, floored.
        EXPECT_EQ(t[1], one ? 2048 : -2047);
        EXPECT_EQ(t[ORDER1_BASE + 1], one ? 512 : -511);
        EXPECT_EQ(t[REFINE_BASE + 8 + 3], one ? 256 : -255);
    }
}

TEST(BitModel, CountersStayWithinTheirLimits)
{
    TempDir dir;
    allocate_work_memory(1 << 20);
    begin_entry(dir.file("limits"));
    // Long runs of single values drive their counters to both ends: the top
    // is reached exactly, the floor stops a fall a little short.
    for (uint8_t v : {0xFF, 0x5A, 0x00}) {
        const Bytes run(200000, v);
        entropy_level = 0;
        cm_encode(run.data(), static_cast<int32_t>(run.size()));
    }
    const int16_t* t = bit_model.table;
    EXPECT_EQ(*std::max_element(t + 1, t + REFINE_BASE), 8191);
    EXPECT_EQ(*std::max_element(t + REFINE_BASE, t + 69888), 16383);
    EXPECT_GE(*std::min_element(t + 1, t + REFINE_BASE), -8191);
    EXPECT_LT(*std::min_element(t + 1, t + REFINE_BASE), -8180);
    EXPECT_GE(*std::min_element(t + REFINE_BASE, t + 69888), -16383);
    EXPECT_LT(*std::min_element(t + REFINE_BASE, t + 69888), -16300);
    EXPECT_EQ(p_of(255, 0xFF, 1), 65531u);

    // With noise on top, every probability still leaves both parts of a split.
    const Bytes noise = random_bytes(100000, 4);
    entropy_level = 0;
    cm_encode(noise.data(), 100000);
    end_entry();
    for (int node = 1; node < 256; ++node)
        for (int prev = 0; prev < 256; ++prev)
            for (int run = 0; run < 2; ++run) {
                ASSERT_GE(p_of(node, prev, run), 82u);
                ASSERT_LE(p_of(node, prev, run), 65531u);
            }
}

TEST(BitModel, SubBlocksLevelsAndRawDecision)
{
    TempDir dir;
    allocate_work_memory(1 << 20);

    // Nothing at all for an empty record: the entry holds just the five
    // flushed zero bytes of the coder, and the level stays.
    const std::string empty = dir.file("empty");
    begin_entry(empty);
    entropy_level = 123;
    cm_encode(nullptr, 0);
    EXPECT_EQ(entropy_level, 123u);
    end_entry();
    EXPECT_EQ(read_file_bytes(empty), Bytes({16, 0, 0, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0, 0, 0, 0}));

    // 16384 bytes are one sub-block, 16385 two: a measurement and a direct
    // bit each. Noise on a high level goes raw and leaves the model alone;
    // the lone last byte has no entropy of its own and is modelled.
    const Bytes data = random_bytes(16385, 21);
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
        if (n == 16384) {
            EXPECT_TRUE(same_model(*before, bit_model));
        }
        range_encode_direct_bit(1);  // a marker behind the record
        put_raw_u32(0xC0DEFACE);
        end_entry();

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
        EXPECT_EQ(range_decode_direct_bit(), 1);
        EXPECT_EQ(get_raw_u32(), 0xC0DEFACEu);
        end_reading();
    }

    // With H = 8 a level of 787 becomes 791, modelled; 788 becomes 792, raw.
    Bytes uniform(SUBBLOCK_SIZE);
    for (size_t i = 0; i < uniform.size(); ++i) uniform[i] = static_cast<uint8_t>(i * 37);
    for (uint32_t start : {787u, 788u}) {
        bit_model.reset();
        begin_entry(dir.file("level" + std::to_string(start)));
        entropy_level = start;
        cm_encode(uniform.data(), SUBBLOCK_SIZE);
        const size_t raw_bytes = static_cast<size_t>(raw_cursor - raw_buffer);
        end_entry();
        EXPECT_EQ(entropy_level, start + 4);
        EXPECT_EQ(raw_subblock_flag, start == 788 ? 1 : 0);
        EXPECT_EQ(raw_bytes, start == 788 ? size_t(SUBBLOCK_SIZE) : 0u);
    }

    // After a reset the previous byte is 0, so a first 0 counts as a repeat.
    begin_entry(dir.file("run"));
    bit_model.reset();
    entropy_level = 0;
    const uint8_t bytes[] = {0, 9, 9, 4};
    const int32_t repeats[] = {1, 0, 1, 0};
    for (int i = 0; i < 4; ++i) {
        cm_encode(bytes + i, 1);
        EXPECT_EQ(bit_model.run_flag, repeats[i]);
        EXPECT_EQ(bit_model.prev_byte, bytes[i]);
    }
    end_entry();
}

TEST(BitModel, DecodersMirrorTheEncoderInEveryBuild)
{
    // Text, noise and a run: the 64-bit and the 32-bit build code them into
    // the very same entry bytes (both check one digest), and both decoders,
    // the model's own step and the block decoder, read them back and leave
    // the model as the encoder left it.
    TempDir dir;
    allocate_work_memory(1 << 20);
    const std::string path = dir.file("digest");
    Bytes data = text_bytes(300000, 12);
    const Bytes noise = random_bytes(250000, 13);
    data.insert(data.end(), noise.begin(), noise.end());
    data.insert(data.end(), 70000, 0x20);
    bit_model.reset();
    entropy_level = 0;
    begin_entry(path);
    cm_encode(data.data(), static_cast<int32_t>(data.size()));
    cm_encode(data.data() + 1000, 5000);
    end_entry();
    const std::unique_ptr<BitModel> encoded = snapshot();
    const Bytes entry = read_file_bytes(path);
    uint64_t digest = 0xCBF29CE484222325ull;
    for (uint8_t byte : entry) digest = (digest ^ byte) * 0x100000001B3ull;
    EXPECT_EQ(entry.size(), 360903u);
    EXPECT_EQ(digest, 0x51f965988969f47full) << std::hex << digest;

    bit_model.reset();
    begin_reading(path);
    Bytes out(data.size());
    uint32_t counts[256] = {};
    cm_decode_bytes(out.data(), static_cast<int32_t>(data.size()), counts);
    EXPECT_TRUE(out == data);
    for (int v = 0; v < 256; ++v)
        ASSERT_EQ(counts[v], static_cast<uint32_t>(std::count(data.begin(), data.end(), v)));
    // The second record bit by bit: a modelled sub-block, as the first bit says.
    EXPECT_EQ(range_decode_direct_bit(), 0);
    for (int i = 1000; i < 6000; ++i) {
        bit_model.node = 1;
        for (int k = 0; k < 8; ++k) bit_model.decode_bit();
        ASSERT_EQ(bit_model.node, 256 + data[i]);
        bit_model.run_flag = data[i] == bit_model.prev_byte;
        bit_model.prev_byte = data[i];
    }
    end_reading();
    EXPECT_TRUE(same_model(*encoded, bit_model));
}

TEST(BitModel, RawAndModelledSubBlocksInOneRecord)
{
    // Noise drives the level over the limit after a dozen sub-blocks, text
    // brings it down again: the decoder follows the direct bits sub-block by
    // sub-block, counts the raw bytes too and keeps the model in step.
    TempDir dir;
    allocate_work_memory(1 << 20);
    const std::string path = dir.file("mixed");
    Bytes data;
    for (uint32_t round = 0; round < 3; ++round) {
        const Bytes noise = random_bytes(16 * SUBBLOCK_SIZE, round);
        const Bytes text = text_bytes(3 * SUBBLOCK_SIZE + 1000, round);
        data.insert(data.end(), noise.begin(), noise.end());
        data.insert(data.end(), text.begin(), text.end());
    }
    const int32_t n = static_cast<int32_t>(data.size());
    std::vector<int> expect_flags;  // the decisions, from the level's own steps
    entropy_level = 0;
    for (int32_t at = 0; at < n; at += SUBBLOCK_SIZE) {
        measure_piece_entropy(data.data() + at, static_cast<uint32_t>(std::min(SUBBLOCK_SIZE, n - at)));
        expect_flags.push_back(entropy_level > 791);
    }
    bit_model.reset();
    entropy_level = 0;
    begin_entry(path);
    cm_encode(data.data(), n);
    end_entry();
    const std::unique_ptr<BitModel> encoded = snapshot();

    bit_model.reset();
    begin_reading(path);
    Bytes out(data.size());
    uint32_t counts[256] = {};
    std::vector<int> flags;
    for (int32_t at = 0; at < n; at += SUBBLOCK_SIZE) {
        cm_decode_bytes(out.data() + at, std::min(SUBBLOCK_SIZE, n - at), counts);
        flags.push_back(raw_subblock_flag);
    }
    end_reading();
    EXPECT_TRUE(out == data);
    EXPECT_EQ(counts[0x61], static_cast<uint32_t>(std::count(data.begin(), data.end(), 0x61)));
    EXPECT_TRUE(same_model(*encoded, bit_model));
    EXPECT_EQ(flags, expect_flags);
    EXPECT_EQ(flags[0], 0);
    EXPECT_EQ(flags[15], 1);
    EXPECT_GT(std::count(flags.begin(), flags.end(), 1), 6);
}

TEST(BlockDecoder, SmallTransformsAndEveryIndex)
{
    allocate_work_memory(1 << 20);
    Bytes t;
    EXPECT_EQ(transform(bytes_of("banana"), t), 4);
    EXPECT_EQ(t, bytes_of("annbaa"));
    EXPECT_EQ(invert(bytes_of("annbaa"), 4), bytes_of("banana"));
    EXPECT_EQ(invert(Bytes{}, 0), Bytes{});
    EXPECT_EQ(invert(Bytes{0x42}, 1), Bytes{0x42});
    EXPECT_EQ(transform(Bytes(1000, 7), t), 1000);
    EXPECT_EQ(invert(t, 1000), Bytes(1000, 7));

    // All blocks over small alphabets, each transformed string under every
    // index: wherever the one-byte walk gets through, the result matches it.
    size_t checked = 0;
    for (size_t alphabet : {2, 3}) {
        for (size_t len = 1; len <= (alphabet == 2 ? 11u : 7u); ++len) {
            size_t total = 1;
            for (size_t i = 0; i < len; ++i) total *= alphabet;
            for (size_t code = 0; code < total; ++code) {
                Bytes block, expect;
                for (size_t i = 0, c = code; i < len; ++i, c /= alphabet)
                    block.push_back(static_cast<uint8_t>('a' + c % alphabet));
                const int32_t idx = transform(block, t);
                ASSERT_EQ(invert(t, idx), block);
                for (int32_t other = 1; other <= static_cast<int32_t>(len); ++other) {
                    if (plain_inverse(t, other, expect) < len) continue;
                    ASSERT_EQ(invert(t, other), expect);
                    ++checked;
                }
            }
        }
    }
    EXPECT_GT(checked, 10000u);
}

TEST(BlockDecoder, LargeBlocksAtBothEntryWidths)
{
    // Up to 2^24 bytes an entry of the walk packs a place and a byte; beyond
    // that it holds the place alone.
    allocate_work_memory(1 << 24);
    for (size_t n : {size_t(1) << 24, (size_t(1) << 24) + 3}) {
        Bytes block = random_bytes(n, static_cast<uint32_t>(n));
        for (size_t i = 0; i < n; i += 3) block[i] = 'e';  // uneven counts
        Bytes t;
        const int32_t idx = transform(block, t);
        ASSERT_TRUE(invert(t, idx) == block) << n;
    }
}

TEST(BlockDecoder, DamageIsReported)
{
    TempDir dir;
    allocate_work_memory(1 << 20);
    Bytes t, out(64), big(16);
    transform(bytes_of("mississippi river"), t);
    const int32_t n = static_cast<int32_t>(t.size());
    uint32_t counts[256] = {};
    for (uint8_t b : t) ++counts[b];
    // Indexes outside the record.
    EXPECT_DAMAGED(inverse_bwt(t.data(), out.data(), n, 0, counts));
    EXPECT_DAMAGED(inverse_bwt(t.data(), out.data(), n, n + 1, counts));
    EXPECT_DAMAGED(inverse_bwt(t.data(), out.data(), n, -3, counts));
    EXPECT_DAMAGED(cm_decode_to_output(big.data(), 0, 1));
    EXPECT_DAMAGED(cm_decode_to_output(big.data(), 5, 0));
    // Lengths beyond the working memory, and a record running past the end
    // of the block buffer.
    EXPECT_DAMAGED(cm_decode_to_work(big.data(), static_cast<int32_t>(work_capacity) + 1, 1));
    EXPECT_DAMAGED(cm_decode_to_output(big.data(), static_cast<int32_t>(work_capacity) + 1, 1));
    EXPECT_DAMAGED(cm_decode_to_output(big.data(), -1, 0));
    EXPECT_DAMAGED(cm_decode_to_work(block_buffer + work_capacity - 10, 11, 1));
    // An index under which the walk reaches the end too early.
    ASSERT_NE(broken_index(t), 0);
    EXPECT_DAMAGED(inverse_bwt(t.data(), out.data(), n, broken_index(t), counts));

    // The same through a decoder, with an even length: bytes that are no
    // transform of anything, coded properly, read back and found wanting.
    const Bytes x = bytes_of("abracadabra!");
    ASSERT_NE(broken_index(x), 0);
    const std::string path = dir.file("damaged");
    entropy_level = 0;
    begin_entry(path);
    cm_encode(x.data(), static_cast<int32_t>(x.size()));
    end_entry();
    bit_model.reset();
    begin_reading(path);
    EXPECT_DAMAGED(cm_decode_to_output(out.data(), static_cast<int32_t>(x.size()), broken_index(x)));
    end_reading();
}

TEST(BlockDecoder, RoundTripsThroughBothDecodersAcrossEntries)
{
    // Records of every kind and size, transformed and coded into two entries
    // of one solid run (the model carries on), read back alternately through
    // both decoders, each record at its place in the block buffer.
    TempDir dir;
    allocate_work_memory(1 << 23);
    std::vector<Bytes> records;
    for (uint32_t n : {0, 1, 2, 3, 255, 16383, 16384, 16385, 50000, 200003}) {
        Bytes repetitive(n);
        for (uint32_t i = 0; i < n; ++i)
            repetitive[i] = static_cast<uint8_t>(i % (1 + n % 97) + (i % 5000 == 0));
        records.push_back(random_bytes(n, n));
        records.push_back(repetitive);
        records.push_back(text_bytes(n, n));
    }
    Bytes mixed = text_bytes(3 << 20, 77);
    const Bytes noise = random_bytes(1 << 20, 78);
    mixed.insert(mixed.begin() + (1 << 20), noise.begin(), noise.end());
    records.push_back(mixed);
    records.push_back(Bytes(2 << 20, 0x33));

    const size_t split = records.size() / 2;
    const std::string paths[2] = {dir.file("entry1"), dir.file("entry2")};
    std::vector<Bytes> transformed(records.size());
    std::vector<int32_t> index(records.size());
    bit_model.reset();
    entropy_level = 0;
    for (size_t r = 0; r < records.size(); ++r) {
        if (r == 0 || r == split) begin_entry(paths[r == split]);
        index[r] = transform(records[r], transformed[r]);
        cm_encode(transformed[r].data(), static_cast<int32_t>(transformed[r].size()));
        if (r + 1 == split || r + 1 == records.size()) end_entry();
    }
    const std::unique_ptr<BitModel> encoded = snapshot();

    bit_model.reset();
    for (size_t r = 0; r < records.size(); ++r) {
        if (r == 0 || r == split) begin_reading(paths[r == split]);
        const size_t n = records[r].size();
        uint8_t* const place = block_buffer + (r % 7) * 1000;
        // cm_decode_to_work leaves the result in work_buffer and the
        // transformed bytes at the place; cm_decode_to_output the reverse.
        const bool to_work = r % 2 == 0;
        (to_work ? cm_decode_to_work : cm_decode_to_output)(place, static_cast<int32_t>(n), index[r]);
        const uint8_t* const result = to_work ? work_buffer : place;
        const uint8_t* const transformed_left = to_work ? place : work_buffer;
        ASSERT_TRUE(n == 0 || std::memcmp(result, records[r].data(), n) == 0) << r;
        ASSERT_TRUE(n == 0 || std::memcmp(transformed_left, transformed[r].data(), n) == 0) << r;
        if (r + 1 == split || r + 1 == records.size()) end_reading();
    }
    EXPECT_TRUE(same_model(*encoded, bit_model));
}
