#include <gtest/gtest.h>

#include <cstring>

#include "engine/chunk_stream.h"
#include "engine/range_coder.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

std::vector<uint8_t> chunks_of(const std::string& path)
{
    std::vector<uint8_t> all = read_file_bytes(path);
    return std::vector<uint8_t>(all.begin() + 8, all.end());
}

uint64_t stored_length(const std::string& path)
{
    std::vector<uint8_t> all = read_file_bytes(path);
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | all[i];
    return v;
}

}  // namespace

TEST(ChunkStream, EmptyEntryIsFiveZeroCodedBytes)
{
    TempDir dir;
    const std::string path = dir.file("e");
    begin_entry(path);
    end_entry();
    const std::vector<uint8_t> expect = {3, 4, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(chunks_of(path), expect);
    EXPECT_EQ(stored_length(path), 16u);
}

TEST(ChunkStream, RawStreamLayoutsAtTheChunkBoundary)
{
    TempDir dir;
    for (uint32_t n : {65536u, 65537u}) {
        const std::string path = dir.file("raw" + std::to_string(n));
        begin_entry(path);
        for (uint32_t i = 0; i < n; ++i) put_raw_byte(static_cast<uint8_t>(i * 7));
        end_entry();
        const std::vector<uint8_t> c = chunks_of(path);
        ASSERT_EQ(c[0], CHUNK_RAW_FULL);
        // The coded stream's five flushed bytes come first, then the rest of raw.
        size_t at = 1 + 65536;
        ASSERT_EQ(c[at], CHUNK_CODED_LAST);
        at += 3 + 5;
        if (n == 65536) {
            EXPECT_EQ(c.size(), at);
        } else {
            ASSERT_EQ(c.size(), at + 4);
            EXPECT_EQ(c[at], CHUNK_RAW_LAST);
            EXPECT_EQ(c[at + 1], 0);  // count-1 = 0: one byte
            EXPECT_EQ(c[at + 2], 0);
        }
        EXPECT_EQ(stored_length(path), c.size() + 8);

        begin_reading(path);
        for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(get_raw_byte(), static_cast<uint8_t>(i * 7));
        end_reading();
    }
}

TEST(ChunkStream, ValueStraddlingRawChunksAcrossCodedChunks)
{
    TempDir dir;
    const std::string path = dir.file("straddle");
    begin_entry(path);
    for (int i = 0; i < 65534; ++i) put_raw_byte(1);
    put_raw_u32(0x11223344);  // two bytes end the first raw chunk
    for (int i = 0; i < 70000 * 8; ++i) range_encode_direct_bit((i * 2654435761u) >> 31);
    put_raw_u32(0xA1B2C3D4);
    end_entry();

    // Layout: raw full, coded full, coded last, raw last.
    const std::vector<uint8_t> c = chunks_of(path);
    EXPECT_EQ(c[0], CHUNK_RAW_FULL);
    EXPECT_EQ(c[1 + 65536], CHUNK_CODED_FULL);
    EXPECT_EQ(c[2 * (1 + 65536)], CHUNK_CODED_LAST);

    begin_reading(path);
    for (int i = 0; i < 65534; ++i) ASSERT_EQ(get_raw_byte(), 1);
    EXPECT_EQ(get_raw_u32(), 0x11223344u);
    for (int i = 0; i < 70000 * 8; ++i)
        ASSERT_EQ(range_decode_direct_bit(), static_cast<int>((i * 2654435761u) >> 31)) << i;
    EXPECT_EQ(get_raw_u32(), 0xA1B2C3D4u);
    end_reading();
}

TEST(ChunkStream, CarryTurnsHeldBackFFBytesIntoZeros)
{
    TempDir dir;
    begin_entry(dir.file("carry"));
    // First shift: rc_low 0x12xxxxxx sends the initial cache byte 0 and holds 0x12.
    rc_low = 0x12345678;
    range_encoder_shift_low();
    rc_low = 0xFF000000;
    range_encoder_shift_low();
    rc_low = 0xFFABCDEF;
    range_encoder_shift_low();
    EXPECT_EQ(coded_cursor - coded_buffer, 1);  // 0x12 and two 0xFF held back
    rc_low = 0x105000000ull;                    // a carry arrives
    range_encoder_shift_low();
    ASSERT_EQ(coded_cursor - coded_buffer, 4);
    EXPECT_EQ(coded_buffer[0], 0x00);
    EXPECT_EQ(coded_buffer[1], 0x13);
    EXPECT_EQ(coded_buffer[2], 0x00);
    EXPECT_EQ(coded_buffer[3], 0x00);
    EXPECT_EQ(rc_cache, 0x05);
    EXPECT_EQ(rc_cache_size, 1u);
    end_entry();
}

TEST(ChunkStream, DirectBitsRoundTripWithRawBytesBetween)
{
    TempDir dir;
    const std::string path = dir.file("bits");
    const std::vector<uint8_t> data = random_bytes(300000, 5);
    begin_entry(path);
    for (size_t i = 0; i < data.size(); ++i) {
        range_encode_direct_bit(data[i] & 1);
        if (data[i] & 2) put_raw_byte(data[i]);
    }
    end_entry();
    const std::vector<uint8_t> c = chunks_of(path);
    EXPECT_EQ(c[0] == CHUNK_RAW_FULL || c[0] == CHUNK_CODED_FULL, true);

    begin_reading(path);
    for (size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(range_decode_direct_bit(), data[i] & 1);
        if (data[i] & 2) {
            ASSERT_EQ(get_raw_byte(), data[i]);
        }
    }
    end_reading();
}

TEST(ChunkStream, ProgressLineShowsTheLast32Characters)
{
    const std::string long_name = "0123456789abcdefghijklmnopqrstuvwxyzABCD";  // 40
    testing::internal::CaptureStdout();
    print_progress(long_name.c_str(), 5, 6, true);
    print_progress("short/name", 7000000000LL, 1, false);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "compress.. 89abcdefghijklmnopqrstuvwxyzABCD 5 to 6  \n"
                   "compress.. short/name 7000000000 to 1  \r");
}

// Damaged entries: each reader error is one line naming the archive, exit 1.
class ChunkStreamDamage : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("damaged");

    void SetUp() override
    {
        begin_entry(path);
        for (int i = 0; i < 10; ++i) put_raw_byte(static_cast<uint8_t>(i));
        for (int i = 0; i < 64; ++i) range_encode_direct_bit(i & 1);
        end_entry();
    }
};

TEST_F(ChunkStreamDamage, ReadingPastTheLastChunkFails)
{
    EXPECT_DAMAGED({
        begin_reading(path);
        for (int i = 0; i < 11; ++i) get_raw_byte();
    });
}

TEST_F(ChunkStreamDamage, MissingChunkWithinTheEntryFails)
{
    // The entry's end is set before the raw chunk: the raw reader must stop there.
    EXPECT_DAMAGED({
        begin_reading(path);
        entry_data_end = 8 + 3 + 5 + 8;
        raw_read_pos = 8;
        get_raw_byte();
    });
}

TEST_F(ChunkStreamDamage, ArchiveCutShortFails)
{
    std::vector<uint8_t> bytes = read_file_bytes(path);
    bytes.resize(bytes.size() - 4);
    write_file_bytes(path, bytes);
    EXPECT_DAMAGED({
        begin_reading(path);
        entry_data_end = INT64_MAX;  // as if the header promised more
        get_raw_byte();
    });
}

TEST_F(ChunkStreamDamage, UnknownTagFails)
{
    std::vector<uint8_t> bytes = read_file_bytes(path);
    bytes[8] = 7;
    write_file_bytes(path, bytes);
    EXPECT_DAMAGED(begin_reading(path));
}
