#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "engine/block_analyser.h"
#include "engine/chunk_stream.h"
#include "engine/entropy.h"
#include "engine/entry_state.h"
#include "engine/media_params.h"
#include "engine/piece_types.h"
#include "engine/range_coder.h"
#include "engine/records.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

// Writes data as one entry the way the entry writer does: working memory
// for block size b, the first block sniffed, every block segmented.
void encode_entry(const std::string& path, const std::vector<uint8_t>& data, uint32_t b)
{
    allocate_work_memory(static_cast<int32_t>(b));
    begin_entry(path);
    input_size = static_cast<int64_t>(data.size());
    piece_done = 0;
    entry_file_kind = -1;
    while (piece_done < input_size) {
        const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(b, input_size - piece_done));
        std::memcpy(block_buffer, data.data() + piece_done, n);
        if (entry_file_kind == -1) entry_file_kind = block_analyser.analyse_header(block_buffer, n);
        segment_block(block_buffer, n);
        piece_done += n;
    }
    end_entry();
}

// Reads the entry back block by block and returns the restored bytes.
std::vector<uint8_t> decode_entry(const std::string& path, size_t size, uint32_t b)
{
    allocate_work_memory(static_cast<int32_t>(b));
    begin_reading(path);
    std::vector<uint8_t> out;
    while (out.size() < size) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(b, size - out.size()));
        decode_block_records(block_buffer, n);
        out.insert(out.end(), block_buffer, block_buffer + n);
    }
    end_reading();
    return out;
}

// The record types and lengths of one encoded block, in order.
std::vector<std::pair<int, uint32_t>> record_list(const std::string& path, uint32_t block_bytes,
                                                  uint32_t b)
{
    allocate_work_memory(static_cast<int32_t>(b));
    begin_reading(path);
    std::vector<std::pair<int, uint32_t>> records;
    uint32_t pos = 0;
    while (pos < block_bytes) {
        const int type = get_raw_byte();
        uint8_t* dst = block_buffer + pos;
        const uint32_t room = block_bytes - pos;
        uint32_t len = 0;
        switch (type) {
        case RECORD_GENERIC: len = decode_generic_record(dst, room); break;
        case RECORD_STRIDE: len = decode_stride_record_bare(dst, room); break;
        case RECORD_DNA: len = decode_dna_record(dst, room); break;
        case RECORD_AUDIO: len = decode_audio_record(dst, room); break;
        case RECORD_IMAGE: len = decode_image_record(dst, room); break;
        default: ADD_FAILURE() << "type " << type; return records;
        }
        records.push_back({type, len});
        pos += len;
    }
    end_reading();
    return records;
}

std::vector<uint8_t> dna_text(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = (i % 61 == 60) ? '\n' : "acgt"[rng() % 4];
    return out;
}

void put_u16(std::vector<uint8_t>& v, size_t at, uint32_t x)
{
    v[at] = x & 0xFF;
    v[at + 1] = (x >> 8) & 0xFF;
}

void put_u32(std::vector<uint8_t>& v, size_t at, uint32_t x)
{
    put_u16(v, at, x & 0xFFFF);
    put_u16(v, at + 2, x >> 16);
}

// A 24-bit BMP of a smooth gradient.
std::vector<uint8_t> bmp_image(uint32_t w, uint32_t h)
{
    const uint32_t row = (3 * w + 3) & ~3u;
    std::vector<uint8_t> v(54 + row * h);
    v[0] = 'B';
    v[1] = 'M';
    put_u32(v, 2, static_cast<uint32_t>(v.size()));
    put_u32(v, 10, 54);
    put_u32(v, 14, 40);
    put_u32(v, 18, w);
    put_u32(v, 22, h);
    put_u16(v, 26, 1);
    put_u16(v, 28, 24);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* p = &v[54 + y * row + 3 * x];
            p[0] = static_cast<uint8_t>(x + y);
            p[1] = static_cast<uint8_t>(2 * x - y);
            p[2] = static_cast<uint8_t>((x * y) >> 4);
        }
    return v;
}

// A 16-bit stereo WAVE of two tones.
std::vector<uint8_t> wave_sound(uint32_t frames)
{
    std::vector<uint8_t> v(44 + 4 * frames);
    std::memcpy(&v[0], "RIFF", 4);
    put_u32(v, 4, static_cast<uint32_t>(v.size() - 8));
    std::memcpy(&v[8], "WAVEfmt ", 8);
    put_u32(v, 16, 16);
    put_u16(v, 20, 1);
    put_u16(v, 22, 2);
    put_u32(v, 24, 44100);
    put_u32(v, 28, 44100 * 4);
    put_u16(v, 32, 4);
    put_u16(v, 34, 16);
    std::memcpy(&v[36], "data", 4);
    put_u32(v, 40, 4 * frames);
    int32_t l = 0, r = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        l = (l * 7 + static_cast<int32_t>((i * 37) % 2000) - 1000) / 8;
        r = (r * 7 + static_cast<int32_t>((i * 53) % 1600) - 800) / 8;
        put_u16(v, 44 + 4 * i, static_cast<uint16_t>(l * 20));
        put_u16(v, 46 + 4 * i, static_cast<uint16_t>(r * 20));
    }
    return v;
}

// Little-endian 32-bit counters: data with a stride of 4.
std::vector<uint8_t> number_table(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i + 4 <= n; i += 4) put_u32(v, i, static_cast<uint32_t>(1000000 + 3 * i));
    return v;
}

std::vector<uint8_t> program_bytes()
{
    std::vector<uint8_t> exe = read_file_bytes("/proc/self/exe");
    if (exe.size() > (3u << 20)) exe.resize(3u << 20);
    return exe;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

class Records : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("entry");

    void round_trip(const std::vector<uint8_t>& data, uint32_t b)
    {
        encode_entry(path, data, b);
        const std::vector<uint8_t> back = decode_entry(path, data.size(), b);
        ASSERT_EQ(back.size(), data.size());
        for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(back[i], data[i]) << "at byte " << i;
    }
};

}  // namespace

TEST_F(Records, BlockIsCutIntoPiecesOf16KThen64K)
{
    // DNA, then random bytes, then a 10-byte tail: the tail is classified as
    // a short piece and joins the generic run.
    const std::vector<uint8_t> data = concat({dna_text(16384, 1), random_bytes(65536 + 10, 2)});
    encode_entry(path, data, 1u << 20);
    const auto records = record_list(path, static_cast<uint32_t>(data.size()), 1u << 20);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], std::make_pair(int(RECORD_DNA), 16384u));
    EXPECT_EQ(records[1], std::make_pair(int(RECORD_GENERIC), 65546u));
}

TEST_F(Records, RunTypesMapToRecordTypes)
{
    allocate_work_memory(1 << 20);
    const std::vector<uint8_t> data = number_table(4096);
    begin_entry(path);
    std::memcpy(block_buffer, data.data(), data.size());
    encode_run(block_buffer, 1024, PIECE_STRIDE);      // stride 1
    encode_run(block_buffer + 1024, 1024, PIECE_STRIDE + 1);  // stride 2: a record of its own
    channel_count = 9;
    sample_bytes = 2;
    encode_run(block_buffer + 2048, 512, PIECE_AUDIO);  // 9 channels: generic
    channel_count = 2;
    sample_bytes = 0;
    encode_run(block_buffer + 2560, 512, PIECE_AUDIO);  // width 0: generic
    sample_bytes = 5;
    encode_run(block_buffer + 3072, 256, PIECE_AUDIO);  // width 5: generic
    image_width = 0;
    encode_run(block_buffer + 3328, 256, PIECE_IMAGE);  // width 0: generic
    image_width = 65536;
    encode_run(block_buffer + 3584, 256, PIECE_IMAGE);  // too wide: generic
    encode_run(block_buffer + 3840, 256, PIECE_STRIDE + 4);  // stride 8 under 512 bytes
    end_entry();

    const auto records = record_list(path, 4096, 1 << 20);
    const std::vector<std::pair<int, uint32_t>> expect = {
        {RECORD_STRIDE, 1024}, {RECORD_STRIDE, 1024}, {RECORD_GENERIC, 512}, {RECORD_GENERIC, 512},
        {RECORD_GENERIC, 256}, {RECORD_GENERIC, 256}, {RECORD_GENERIC, 256}, {RECORD_STRIDE, 256}};
    EXPECT_EQ(records, expect);
    EXPECT_EQ(0, std::memcmp(block_buffer, data.data(), data.size()));
}

TEST_F(Records, DnaRunsArePackedFrom512Bytes)
{
    for (uint32_t len : {511u, 512u}) {
        allocate_work_memory(1 << 20);
        const std::vector<uint8_t> data = dna_text(len, len);
        begin_entry(path);
        std::memcpy(block_buffer, data.data(), len);
        encode_run(block_buffer, len, PIECE_DNA);
        end_entry();

        allocate_work_memory(1 << 20);
        begin_reading(path);
        ASSERT_EQ(get_raw_byte(), RECORD_DNA);
        EXPECT_EQ(decode_dna_record(block_buffer, len), len);
        EXPECT_EQ(dna_packed_flag, len >= 512 ? 1 : 0);
        end_reading();
        EXPECT_EQ(0, std::memcmp(block_buffer, data.data(), len));
    }
}

TEST_F(Records, AudioDecoderLeavesTheRecordsParameters)
{
    allocate_work_memory(1 << 20);
    const std::vector<uint8_t> data = wave_sound(20000);
    begin_entry(path);
    std::memcpy(block_buffer, data.data(), data.size());
    sample_bytes = 2;
    channel_count = 2;
    encode_run(block_buffer, static_cast<uint32_t>(data.size()), PIECE_AUDIO);
    end_entry();

    allocate_work_memory(1 << 20);
    sample_bytes = 1;
    channel_count = 7;
    begin_reading(path);
    ASSERT_EQ(get_raw_byte(), RECORD_AUDIO);
    decode_audio_record(block_buffer, static_cast<uint32_t>(data.size()));
    end_reading();
    EXPECT_EQ(sample_bytes, 2);
    EXPECT_EQ(channel_count, 2);
    EXPECT_EQ(0, std::memcmp(block_buffer, data.data(), data.size()));
}

TEST_F(Records, EveryKindRoundTripsAtTwoBlockSizes)
{
    const std::vector<std::vector<uint8_t>> samples = {
        bmp_image(300, 200), wave_sound(150000), dna_text(300000, 3), text_bytes(500000, 4),
        program_bytes(), number_table(400000), random_bytes(200000, 5)};
    for (uint32_t b : {1u << 20, 16u << 20}) {
        for (const auto& s : samples) round_trip(s, b);
        // Several kinds in one entry, so that runs change type inside blocks
        // and the adaptive state carries across blocks.
        std::vector<uint8_t> mixed;
        for (int rep = 0; rep < 2; ++rep)
            for (const auto& s : samples) mixed.insert(mixed.end(), s.begin(), s.end());
        round_trip(mixed, b);
    }
}

TEST_F(Records, ResetLeavesNoTraceOfTheEntryBefore)
{
    // An entry written after another must come out exactly as in a fresh
    // process, whatever length of history the reset had to clear: short,
    // longer than the cheap clearing covers, and wrapped round the ring.
    const uint32_t b = 1u << 20;
    const std::vector<uint8_t> next = text_bytes(300000, 11);
    for (size_t before : {size_t(5000), size_t(300000), size_t(5u << 20)}) {
        std::vector<uint8_t> history = random_bytes(before / 2, 12);
        const std::vector<uint8_t> words = text_bytes(before - before / 2, 11);
        history.insert(history.end(), words.begin(), words.end());
        allocate_work_memory(static_cast<int32_t>(2 * b));  // fresh buffers
        entropy_level = 0;
        encode_entry(path, next, b);
        const std::vector<uint8_t> fresh = read_file_bytes(path);

        encode_entry(path, history, b);
        allocate_work_memory(static_cast<int32_t>(b));
        EXPECT_EQ(std::count(lzp_ring, lzp_ring + 4 * b, 0), 4 * b) << "after " << before << " bytes";
        EXPECT_EQ(std::count(lzp_table, lzp_table + b / 4, 0u), b / 4) << "after " << before << " bytes";
        entropy_level = 0;
        encode_entry(path, next, b);
        EXPECT_EQ(read_file_bytes(path), fresh) << "after " << before << " bytes";
    }
}

TEST_F(Records, EmptyAndTinyBlocks)
{
    round_trip({}, 1u << 20);
    round_trip({42}, 1u << 20);
    round_trip(text_bytes(511, 9), 1u << 20);
}

TEST_F(Records, IncompressibleBlockAtTheLargeSizesFitsItsBuffers)
{
    // A whole block of random bytes is one generic run whose LZP output is
    // larger than the block by about 1/256.
    round_trip(random_bytes(128u << 20, 77), 128u << 20);
}

// Damaged records: one error line, exit code 1, nothing written outside the block.
class DamagedRecords : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("damaged");

    template <typename F>
    void write_raw(F fields)
    {
        allocate_work_memory(1 << 20);
        begin_entry(path);
        fields();
        end_entry();
    }

    void decode(uint32_t block_bytes)
    {
        allocate_work_memory(1 << 20);
        begin_reading(path);
        decode_block_records(block_buffer, block_bytes);
    }
};

TEST_F(DamagedRecords, UnknownType)
{
    write_raw([] { put_raw_byte(5); });
    EXPECT_DAMAGED(decode(100));
}

TEST_F(DamagedRecords, RecordLengthZeroOrPastTheBlock)
{
    write_raw([] {
        put_raw_byte(RECORD_GENERIC);
        put_raw_u32(0);
    });
    EXPECT_DAMAGED(decode(100));
    write_raw([] {
        put_raw_byte(RECORD_GENERIC);
        put_raw_u32(101);
    });
    EXPECT_DAMAGED(decode(100));
}

TEST_F(DamagedRecords, LongMatchLengthBeyondTheRecord)
{
    write_raw([] {
        put_raw_byte(RECORD_STRIDE);
        put_raw_u32(100);
        put_raw_byte(2);
        put_raw_u32(0x7FFFFFFF);
        put_raw_u32(1);
    });
    EXPECT_DAMAGED(decode(100));
}

TEST_F(DamagedRecords, StrideOutOfTheTable)
{
    write_raw([] {
        put_raw_byte(RECORD_STRIDE);
        put_raw_u32(100);
        put_raw_byte(0);
    });
    EXPECT_DAMAGED(decode(100));
}

TEST_F(DamagedRecords, SampleWidthOrChannelsOutOfRange)
{
    for (auto [width, channels] : {std::pair<int, int>{0, 2}, {5, 2}, {2, 0}, {2, 33}}) {
        write_raw([&] {
            put_raw_byte(RECORD_AUDIO);
            put_raw_u32(100);
            put_raw_byte(static_cast<uint8_t>(width));
            put_raw_byte(static_cast<uint8_t>(channels));
            put_raw_u32(1);
        });
        EXPECT_DAMAGED(decode(100));
    }
}

TEST_F(DamagedRecords, PackedLengthBeyondTheRecord)
{
    write_raw([] {
        put_raw_byte(RECORD_DNA);
        put_raw_u32(600);
        range_encode_direct_bit(1);
        put_raw_u32(601);
        put_raw_u32(1);
    });
    EXPECT_DAMAGED(decode(600));
}
