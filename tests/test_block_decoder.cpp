#include <gtest/gtest.h>

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/bit_model.h"
#include "engine/block_decoder.h"
#include "engine/entropy.h"
#include "engine/range_coder.h"
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
    if (in.empty()) return 0;
    return divbwt(in.data(), out.data(), sa_workspace, static_cast<int32_t>(in.size()));
}

// The walk one byte at a time, straight from the transform's definition,
// on any bytes: returns how many bytes it produced before it reached the
// empty suffix (length for a well-formed transform).
size_t plain_inverse(const Bytes& x, int32_t idx, Bytes& out)
{
    const size_t n = x.size();
    std::vector<int32_t> count(257, 0), vec(n);
    for (uint8_t b : x) ++count[b + 1];
    for (int k = 1; k < 256; ++k) count[k] += count[k - 1];
    for (size_t i = 0; i < n; ++i) vec[count[x[i]]++] = static_cast<int32_t>(i) < idx ? int32_t(i) : int32_t(i + 1);
    out.assign(n, 0);
    size_t k = 0;
    for (int32_t p = idx; p != 0 && k < n;) {
        p = vec[p - 1];
        out[k++] = p < idx ? x[p] : x[p - 1];
    }
    return k;
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

Bytes repetitive_bytes(size_t n, uint32_t seed)
{
    const Bytes unit = random_bytes(1 + seed % 97, seed);
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = unit[i % unit.size()] ^ static_cast<uint8_t>(i % 5000 == 0);
    return out;
}

}  // namespace

TEST(BlockDecoder, BananaAndTheSmallestBlocks)
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
}

TEST(BlockDecoder, EveryShortBlockAndEveryIndex)
{
    // All blocks over small alphabets, and every index for each transformed
    // string: where the one-byte walk gets through, the result matches it;
    // where it does not, the walk must be reported (checked below on a few).
    allocate_work_memory(1 << 20);
    size_t checked = 0, broken = 0;
    for (int alphabet : {2, 3}) {
        const size_t max_len = alphabet == 2 ? 11 : 7;
        for (size_t len = 1; len <= max_len; ++len) {
            size_t total = 1;
            for (size_t i = 0; i < len; ++i) total *= static_cast<size_t>(alphabet);
            for (size_t code = 0; code < total; ++code) {
                Bytes block;
                for (size_t i = 0, c = code; i < len; ++i, c /= static_cast<size_t>(alphabet))
                    block.push_back(static_cast<uint8_t>('a' + c % static_cast<size_t>(alphabet)));
                Bytes t, expect;
                const int32_t idx = transform(block, t);
                ASSERT_EQ(plain_inverse(t, idx, expect), len);
                ASSERT_EQ(expect, block);
                ASSERT_EQ(invert(t, idx), block);
                for (int32_t other = 1; other <= static_cast<int32_t>(len); ++other) {
                    if (plain_inverse(t, other, expect) == len) {
                        ASSERT_EQ(invert(t, other), expect) << std::string(t.begin(), t.end()) << " " << other;
                        ++checked;
                    } else {
                        ++broken;
                    }
                }
            }
        }
    }
    EXPECT_GT(checked, 10000u);
    EXPECT_GT(broken, 10000u);
}

TEST(BlockDecoder, LargeBlocksAtBothEntryWidths)
{
    // Up to 2^24 bytes an entry of the walk packs a position and a byte;
    // beyond that it holds the position alone.
    allocate_work_memory(1 << 24);
    for (size_t n : {size_t(1) << 24, (size_t(1) << 24) + 3}) {
        Bytes block = random_bytes(n, static_cast<uint32_t>(n));
        for (size_t i = 0; i < n; i += 3) block[i] = 'e';  // uneven counts
        Bytes t;
        const int32_t idx = transform(block, t);
        ASSERT_TRUE(invert(t, idx) == block) << n;
    }
}

TEST(BlockDecoder, DamagedIndexLengthOrWalkIsReported)
{
    allocate_work_memory(1 << 20);
    Bytes t;
    const int32_t idx = transform(bytes_of("mississippi river"), t);
    ASSERT_EQ(invert(t, idx), bytes_of("mississippi river"));
    uint32_t counts[256] = {};
    for (uint8_t b : t) ++counts[b];
    Bytes out(64);
    const int32_t n = static_cast<int32_t>(t.size());
    EXPECT_DAMAGED(inverse_bwt(t.data(), out.data(), n, 0, counts));
    EXPECT_DAMAGED(inverse_bwt(t.data(), out.data(), n, n + 1, counts));
    EXPECT_DAMAGED(inverse_bwt(t.data(), out.data(), n, -3, counts));
    EXPECT_DAMAGED(inverse_bwt(t.data(), out.data(), 0, 1, counts));

    // Indexes under which the walk comes back to the end too early, through
    // an odd and an even length.
    for (const char* s : {"mississippi river", "abracadabra!"}) {
        transform(bytes_of(s), t);
        std::memset(counts, 0, sizeof counts);
        for (uint8_t b : t) ++counts[b];
        int32_t bad = 0;
        Bytes expect;
        for (int32_t i = 1; i <= static_cast<int32_t>(t.size()) && bad == 0; ++i)
            if (plain_inverse(t, i, expect) < t.size()) bad = i;
        ASSERT_NE(bad, 0);
        EXPECT_DAMAGED(inverse_bwt(t.data(), out.data(), static_cast<int32_t>(t.size()), bad, counts));
    }

    // Lengths beyond the working memory, and a record that would run past
    // the end of the block buffer.
    Bytes big(16);
    EXPECT_DAMAGED(cm_decode_to_work(big.data(), static_cast<int32_t>(work_capacity) + 1, 1));
    EXPECT_DAMAGED(cm_decode_to_output(big.data(), static_cast<int32_t>(work_capacity) + 1, 1));
    EXPECT_DAMAGED(cm_decode_to_output(big.data(), -1, 0));
    EXPECT_DAMAGED(cm_decode_to_work(block_buffer + work_capacity - 10, 11, 1));
    EXPECT_DAMAGED(cm_decode_to_output(big.data(), 5, 0));
}

TEST(BlockDecoder, DamagedRecordInAStreamIsReported)
{
    // Bytes that are no transform of anything, coded properly: the decoder
    // reads them back and then finds the walk too short.
    TempDir dir;
    allocate_work_memory(1 << 20);
    const std::string path = dir.file("damaged");
    const Bytes x = bytes_of("abracadabra!");
    Bytes expect;
    int32_t bad = 0;
    for (int32_t i = 1; i <= static_cast<int32_t>(x.size()) && bad == 0; ++i)
        if (plain_inverse(x, i, expect) < x.size()) bad = i;
    ASSERT_NE(bad, 0);
    entropy_level = 0;
    begin_entry(path);
    cm_encode(x.data(), static_cast<int32_t>(x.size()));
    end_entry();
    Bytes dst(x.size());
    bit_model.reset();
    begin_reading(path);
    EXPECT_DAMAGED(cm_decode_to_output(dst.data(), static_cast<int32_t>(x.size()), bad));
    end_reading();
}

TEST(BlockDecoder, RawAndModelledSubBlocksInOneRecord)
{
    // Noise drives the level over the limit after a few sub-blocks, zeros
    // bring it down again: the record mixes both kinds, and the decoder
    // follows the flags, counts raw bytes too and leaves the model as the
    // encoder did.
    TempDir dir;
    allocate_work_memory(1 << 20);
    const std::string path = dir.file("mixed");
    Bytes data;
    for (int round = 0; round < 3; ++round) {
        const Bytes noise = random_bytes(16 * SUBBLOCK_SIZE, static_cast<uint32_t>(round));
        data.insert(data.end(), noise.begin(), noise.end());
        const Bytes text = text_bytes(3 * SUBBLOCK_SIZE + 1000, static_cast<uint32_t>(round));
        data.insert(data.end(), text.begin(), text.end());
    }
    const int32_t n = static_cast<int32_t>(data.size());
    // The decisions the encoder has to take, from the level's own steps.
    std::vector<int> expect_flags;
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
        const int32_t part = std::min(SUBBLOCK_SIZE, n - at);
        cm_decode_bytes(out.data() + at, part, counts);
        flags.push_back(raw_subblock_flag);
    }
    end_reading();
    EXPECT_TRUE(out == data);
    for (int v = 0; v < 256; ++v)
        ASSERT_EQ(counts[v], static_cast<uint32_t>(std::count(data.begin(), data.end(), v)));
    EXPECT_TRUE(same_model(*encoded, bit_model));
    EXPECT_EQ(flags, expect_flags);
    EXPECT_EQ(flags[0], 0);
    EXPECT_EQ(flags[15], 1);
    EXPECT_GT(std::count(flags.begin(), flags.end(), 1), 6);
    EXPECT_GT(std::count(flags.begin(), flags.end(), 0), 20);
}

TEST(BlockDecoder, RoundTripsThroughBothDecodersAcrossEntries)
{
    // Records of every kind and size, transformed and coded into two entries
    // of one solid run (the model carries on), read back alternately through
    // both decoders.
    TempDir dir;
    allocate_work_memory(1 << 23);
    std::vector<Bytes> records;
    for (size_t n : {0, 1, 2, 3, 255, 16383, 16384, 16385, 50000, 200003}) {
        records.push_back(random_bytes(n, static_cast<uint32_t>(n)));
        records.push_back(repetitive_bytes(n, static_cast<uint32_t>(n)));
        records.push_back(text_bytes(n, static_cast<uint32_t>(n)));
    }
    Bytes mixed = text_bytes(3 << 20, 77);
    const Bytes noise = random_bytes(1 << 20, 78);
    mixed.insert(mixed.begin() + (1 << 20), noise.begin(), noise.end());
    records.push_back(mixed);
    records.push_back(repetitive_bytes(2 << 20, 79));
    const size_t first_entry = records.size() / 2;

    bit_model.reset();
    entropy_level = 0;
    std::vector<Bytes> transformed(records.size());
    std::vector<int32_t> index(records.size());
    const std::string paths[2] = {dir.file("entry1"), dir.file("entry2")};
    for (int e = 0; e < 2; ++e) {
        begin_entry(paths[e]);
        for (size_t r = e == 0 ? 0 : first_entry; r < (e == 0 ? first_entry : records.size()); ++r) {
            index[r] = transform(records[r], transformed[r]);
            cm_encode(transformed[r].data(), static_cast<int32_t>(transformed[r].size()));
        }
        end_entry();
    }
    const std::unique_ptr<BitModel> encoded = snapshot();

    bit_model.reset();
    for (int e = 0; e < 2; ++e) {
        begin_reading(paths[e]);
        for (size_t r = e == 0 ? 0 : first_entry; r < (e == 0 ? first_entry : records.size()); ++r) {
            const Bytes& want = records[r];
            const int32_t n = static_cast<int32_t>(want.size());
            // The record's place in the block buffer, after a used stretch.
            uint8_t* const place = block_buffer + (r % 7) * 1000;
            if (r % 2 == 0) {
                cm_decode_to_work(place, n, index[r]);
                ASSERT_EQ(std::memcmp(work_buffer, want.data(), want.size()), 0) << r;
                ASSERT_EQ(std::memcmp(place, transformed[r].data(), want.size()), 0) << r;
            } else {
                cm_decode_to_output(place, n, index[r]);
                ASSERT_EQ(std::memcmp(place, want.data(), want.size()), 0) << r;
                ASSERT_EQ(std::memcmp(work_buffer, transformed[r].data(), want.size()), 0) << r;
            }
        }
        end_reading();
    }
    EXPECT_TRUE(same_model(*encoded, bit_model));
}
