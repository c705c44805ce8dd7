// Chunk streams and the range coder: the entry layout and the stream readers.
#include <gtest/gtest.h>

#include "engine/chunk_stream.h"
#include "engine/entry_codec.h"
#include "engine/entry_state.h"
#include "engine/range_coder.h"
#include "tests/test_support.h"

using namespace test_support;

using Bytes = std::vector<uint8_t>;

TEST(ChunkStream, EmptyEntryIsFiveZeroCodedBytes)
{
    // The length 16 over the header, then a last coded chunk of five zeros
    // and no raw chunk.
    TempDir dir;
    begin_bare_entry(dir.file("empty").c_str());
    finish_entry("test");
    EXPECT_EQ(read_file_bytes(dir.file("empty")), Bytes({16, 0, 0, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0, 0, 0, 0}));
}

TEST(ChunkStream, RawStreamLayoutsAtTheChunkBoundary)
{
    // 65536 raw bytes are one full chunk and no last chunk; 65537 add a last
    // chunk of one byte, behind the coded stream's last chunk.
    TempDir dir;
    for (uint32_t n : {65536u, 65537u}) {
        const std::string path = dir.file("raw" + std::to_string(n));
        begin_bare_entry(path.c_str());
        for (uint32_t i = 0; i < n; ++i) put_raw_byte(static_cast<uint8_t>(i * 7));
        finish_entry("test");
        const Bytes c = read_file_bytes(path);
        const size_t coded_last = 8 + 1 + 65536, raw_last = coded_last + 3 + 5;
        EXPECT_EQ(c[8], CHUNK_RAW_FULL);
        EXPECT_EQ(c[coded_last], CHUNK_CODED_LAST);
        EXPECT_EQ(c.size(), n == 65536 ? raw_last : raw_last + 4);
        if (n == 65537) {
            EXPECT_EQ(Bytes(c.begin() + raw_last, c.begin() + raw_last + 3), Bytes({1, 0, 0}));
        }
        EXPECT_EQ(c[0] | c[1] << 8 | c[2] << 16, int(c.size()));  // the entry's length

        begin_reading_bare_entry(path.c_str());
        for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(get_raw_byte(), static_cast<uint8_t>(i * 7));
        close_file(read_handle);
    }
}

TEST(ChunkStream, ValueStraddlingRawChunksAcrossCodedChunks)
{
    // Layout: raw full, coded full, coded last, raw last; the first u32 is
    // split between the two raw chunks, with the coded chunks between them.
    TempDir dir;
    const std::string path = dir.file("straddle");
    begin_bare_entry(path.c_str());
    for (int i = 0; i < 65534; ++i) put_raw_byte(1);
    put_raw_u32(0x11223344);
    for (int i = 0; i < 70000 * 8; ++i) range_encode_direct_bit((i * 2654435761u) >> 31);
    put_raw_u32(0xA1B2C3D4);
    finish_entry("test");
    const Bytes c = read_file_bytes(path);
    EXPECT_EQ(c[8], CHUNK_RAW_FULL);
    EXPECT_EQ(c[8 + 1 + 65536], CHUNK_CODED_FULL);
    EXPECT_EQ(c[8 + 2 * (1 + 65536)], CHUNK_CODED_LAST);

    begin_reading_bare_entry(path.c_str());
    for (int i = 0; i < 65534; ++i) ASSERT_EQ(get_raw_byte(), 1);
    EXPECT_EQ(get_raw_u32(), 0x11223344u);
    for (int i = 0; i < 70000 * 8; ++i)
        ASSERT_EQ(range_decode_direct_bit(), static_cast<int>((i * 2654435761u) >> 31)) << i;
    EXPECT_EQ(get_raw_u32(), 0xA1B2C3D4u);
    close_file(read_handle);
}

TEST(ChunkStream, CarryTurnsHeldBackFFBytesIntoZeros)
{
    TempDir dir;
    begin_bare_entry(dir.file("carry").c_str());
    // The first shift sends the initial cache byte 0 and holds 0x12; two
    // 0xFF bytes are held behind it until a carry arrives.
    for (uint64_t low : {0x12345678ull, 0xFF000000ull, 0xFFABCDEFull}) {
        rc_low = low;
        range_encoder_shift_low();
    }
    EXPECT_EQ(coded_cursor - coded_buffer, 1);
    rc_low = 0x105000000ull;
    range_encoder_shift_low();
    EXPECT_EQ(Bytes(coded_buffer, coded_cursor), Bytes({0x00, 0x13, 0x00, 0x00}));
    EXPECT_EQ(rc_cache, 0x05);
    EXPECT_EQ(rc_cache_size, 1u);
    finish_entry("test");
}

TEST(ChunkStream, ProgressLineShowsTheLast32Characters)
{
    testing::internal::CaptureStdout();
    print_progress("0123456789abcdefghijklmnopqrstuvwxyzABCD", 5, 6, true);
    print_progress("short/name", 7000000000LL, 1, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "compress.. 89abcdefghijklmnopqrstuvwxyzABCD 5 to 6  \n"
              "compress.. short/name 7000000000 to 1  \r");
}

TEST(ChunkStream, DamagedEntriesAreReported)
{
    // Ten raw bytes and 64 direct bits: the coded last chunk, then the raw
    // last chunk (13 bytes) ends the entry.
    TempDir dir;
    const std::string path = dir.file("damaged");
    begin_bare_entry(path.c_str());
    for (int i = 0; i < 10; ++i) put_raw_byte(static_cast<uint8_t>(i));
    for (int i = 0; i < 64; ++i) range_encode_direct_bit(i & 1);
    finish_entry("test");
    const Bytes whole = read_file_bytes(path);
    EXPECT_DAMAGED_BECAUSE(
        {
            begin_reading_bare_entry(path.c_str());
            for (int i = 0; i < 11; ++i) get_raw_byte();
        },
        "a stream ends before its data");
    EXPECT_DAMAGED_BECAUSE(
        {
            begin_reading_bare_entry(path.c_str());
            entry_data_end -= 1;
            get_raw_byte();
        },
        "a chunk runs past its entry");
    // The archive cut short while the entry's header promises more: in the
    // payload, in the chunk header, and before it; then an unknown tag.
    const std::pair<size_t, const char*> cuts[] = {
        {4, "a chunk is cut short"}, {12, "a chunk header is cut short"}, {13, "a chunk lies past the archive"}};
    for (const auto& [cut, reason] : cuts) {
        write_file_bytes(path, Bytes(whole.begin(), whole.end() - cut));
        EXPECT_DAMAGED_BECAUSE(
            {
                begin_reading_bare_entry(path.c_str());
                entry_data_end = INT64_MAX;
                get_raw_byte();
            },
            reason);
    }
    Bytes bad_tag = whole;
    bad_tag[8] = 7;
    write_file_bytes(path, bad_tag);
    EXPECT_DAMAGED_BECAUSE(begin_reading_bare_entry(path.c_str()), "unknown chunk tag");
}
