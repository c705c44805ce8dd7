// Records: segmentation, record types, round trips, reset and damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "engine/entry_codec.h"
#include "engine/entry_state.h"
#include "engine/media_params.h"
#include "engine/piece_types.h"
#include "engine/range_coder.h"
#include "engine/records.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;
// Type, length and flag bit (x86 for generic, packed for DNA records) of each record.
using RecordList = std::vector<std::tuple<int, uint32_t, int>>;

// Writes data as one entry the way the entry writer does: working memory
// for block size b, the first block sniffed, every block segmented.
void encode_entry(const std::string& path, const Bytes& data, uint32_t b)
{
    allocate_work_memory(int32_t(b));
    encode_bare_entry(path.c_str(), data.data(), data.size(), b);
}

Bytes decode_entry(const std::string& path, size_t size, uint32_t b)
{
    allocate_work_memory(int32_t(b));
    Bytes out(size);
    decode_bare_entry(path.c_str(), out.data(), size, b);
    return out;
}

// The records of one block, decoded into block_buffer.
RecordList record_list(const std::string& path, uint32_t block_bytes)
{
    static uint32_t (*const decoders[])(uint8_t*, uint32_t) = {
        decode_generic_record, decode_stride_record_bare, decode_dna_record, decode_audio_record,
        decode_image_record};
    allocate_work_memory(1 << 20);
    begin_reading_bare_entry(path.c_str());
    RecordList records;
    for (uint32_t pos = 0; pos < block_bytes; pos += std::get<1>(records.back())) {
        const int type = get_raw_byte();
        if (type > RECORD_IMAGE) break;
        const uint32_t len = decoders[type](block_buffer + pos, block_bytes - pos);
        records.push_back({type, len, type == RECORD_DNA ? dna_packed_flag : type ? 0 : x86_flag});
    }
    close_file(read_handle);
    return records;
}

void put_le(Bytes& v, size_t at, uint32_t x, int bytes)
{
    for (int i = 0; i < bytes; ++i) v[at + i] = uint8_t(x >> 8 * i);
}

Bytes dna_text(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = (i % 61 == 60) ? '\n' : "acgt"[rng() % 4];
    return out;
}

// A 24-bit BMP of a smooth gradient.
Bytes bmp_image(uint32_t w, uint32_t h)
{
    const uint32_t row = (3 * w + 3) & ~3u;
    Bytes v(54 + row * h);
    const uint32_t fields[][3] = {{0, 0x4D42, 2}, {2, uint32_t(v.size()), 4}, {10, 54, 4}, {14, 40, 4},
                                  {18, w, 4},     {22, h, 4},                {26, 1, 2},  {28, 24, 2}};
    for (const auto& f : fields) put_le(v, f[0], f[1], int(f[2]));
    for (uint32_t i = 0; i < row * h; ++i) v[54 + i] = uint8_t(i % row * (1 + i % 3) / 3 + i / row);
    return v;
}

// A 16-bit stereo PCM WAVE at 44100 Hz: two saw tones.
Bytes wave_sound(uint32_t frames)
{
    Bytes v(44 + 4 * frames);
    std::memcpy(&v[0], "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0data", 40);
    put_le(v, 4, uint32_t(v.size() - 8), 4);
    put_le(v, 40, 4 * frames, 4);
    for (uint32_t i = 0; i < 2 * frames; ++i) put_le(v, 44 + 2 * i, (i % 2 ? 53 : 37) * (i / 2 % 200), 2);
    return v;
}

// Little-endian 32-bit counters: data with a stride of 4.
Bytes number_table(size_t n)
{
    Bytes v(n);
    for (size_t i = 0; i + 4 <= n; i += 4) put_le(v, i, uint32_t(1000000 + 3 * i), 4);
    return v;
}

class Records : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("entry");

    void round_trip(const Bytes& data, uint32_t b)
    {
        encode_entry(path, data, b);
        EXPECT_TRUE(decode_entry(path, data.size(), b) == data) << data.size() << " bytes, block size " << b;
    }
};

}  // namespace

TEST_F(Records, BlockIsCutIntoPiecesOf16KThen64K)
{
    // DNA, then noise whose 10-byte tail is a piece of its own in the generic run.
    Bytes data = dna_text(16384, 1);
    const Bytes noise = random_bytes(65536 + 10, 2);
    data.insert(data.end(), noise.begin(), noise.end());
    encode_entry(path, data, 1u << 20);
    EXPECT_EQ(record_list(path, data.size()), RecordList({{RECORD_DNA, 16384, 1}, {RECORD_GENERIC, 65546, 0}}));
}

TEST_F(Records, RunTypesMapToRecordTypes)
{
    // Strides never merge; audio with 9 channels or a sample width of 0 or 5
    // and images of width 0 or 65536 go generic; a short stride run keeps its
    // stride byte; DNA is packed from 512 bytes; audio decodes its parameters.
    // {length, piece type, channel_count, sample_bytes, image_width, record type, flag}
    const int32_t runs[][7] = {
        {1024, PIECE_STRIDE, 0, 0, 0, RECORD_STRIDE, 0}, {1024, PIECE_STRIDE + 1, 0, 0, 0, RECORD_STRIDE, 0},
        {512, PIECE_AUDIO, 9, 2, 0, RECORD_GENERIC, 0},  {512, PIECE_AUDIO, 2, 0, 0, RECORD_GENERIC, 0},
        {256, PIECE_AUDIO, 2, 5, 0, RECORD_GENERIC, 0},  {256, PIECE_IMAGE, 2, 2, 0, RECORD_GENERIC, 0},
        {256, PIECE_IMAGE, 2, 2, 65536, RECORD_GENERIC, 0}, {256, PIECE_STRIDE + 4, 0, 0, 0, RECORD_STRIDE, 0},
        {512, PIECE_AUDIO, 2, 2, 0, RECORD_AUDIO, 0},    {511, PIECE_DNA, 0, 0, 0, RECORD_DNA, 0},
        {512, PIECE_DNA, 0, 0, 0, RECORD_DNA, 1}};
    Bytes data = number_table(4608), dna = dna_text(1023, 5);
    data.insert(data.end(), dna.begin(), dna.end());
    allocate_work_memory(1 << 20);
    std::memcpy(block_buffer, data.data(), data.size());
    begin_bare_entry(path.c_str());
    RecordList expect;
    uint32_t at = 0;
    for (const auto& r : runs) {
        channel_count = uint8_t(r[2]);
        sample_bytes = uint8_t(r[3]);
        image_width = r[4];
        encode_run(block_buffer + at, uint32_t(r[0]), r[1]);
        expect.push_back({r[5], uint32_t(r[0]), r[6]});
        at += uint32_t(r[0]);
    }
    finish_entry("test");
    sample_bytes = 1;
    channel_count = 7;
    EXPECT_EQ(record_list(path, at), expect);
    EXPECT_EQ(0, std::memcmp(block_buffer, data.data(), data.size()));
    EXPECT_TRUE(sample_bytes == 2 && channel_count == 2);
}

TEST_F(Records, EveryKindRoundTripsAtTwoBlockSizes)
{
    Bytes program = own_program_bytes();  // x86 machine code
    program.resize(std::min<size_t>(program.size(), 1u << 20));
    const std::vector<Bytes> samples = {
        {}, {42}, text_bytes(511, 9), bmp_image(300, 200), wave_sound(60000), dna_text(200000, 3),
        text_bytes(200000, 4), program, number_table(200000), random_bytes(200000, 5)};
    // All in one entry too: runs change type inside blocks, state carries on.
    Bytes mixed;
    for (const Bytes& s : samples) mixed.insert(mixed.end(), s.begin(), s.end());
    for (uint32_t b : {1u << 20, 16u << 20}) {
        for (const Bytes& s : samples) round_trip(s, b);
        round_trip(mixed, b);
    }
}

TEST_F(Records, ResetLeavesNoTraceOfTheEntryBefore)
{
    // An entry after a reset comes out exactly as in a fresh process, whatever
    // history the reset clears: short, beyond the cheap clearing, wrapped round.
    const uint32_t b = 1u << 20;
    const Bytes next = text_bytes(300000, 11);
    for (size_t before : {size_t(5000), size_t(300000), size_t(5u << 20)}) {
        Bytes history = random_bytes(before / 2, 12), words = text_bytes(before - before / 2, 11);
        history.insert(history.end(), words.begin(), words.end());
        reset_engine(2 * b);  // fresh buffers
        encode_entry(path, next, b);
        const Bytes fresh = read_file_bytes(path);

        encode_entry(path, history, b);
        reset_engine(b);
        EXPECT_EQ(std::count(lzp_ring, lzp_ring + 4 * b, 0), 4 * b) << "after " << before << " bytes";
        EXPECT_EQ(std::count(lzp_table, lzp_table + b / 4, 0u), b / 4) << "after " << before << " bytes";
        encode_entry(path, next, b);
        EXPECT_EQ(read_file_bytes(path), fresh) << "after " << before << " bytes";
    }
}

TEST_F(Records, IncompressibleBlockAtTheLargeSizesFitsItsBuffers)
{
    // A whole block of random bytes is one generic run whose LZP output is
    // larger than the block by about 1/256. The one slow test here.
    round_trip(random_bytes(128u << 20, 77), 128u << 20);
}

TEST_F(Records, DamagedRecordsAreReported)
{
    // One case per guard in a 600-byte block: 'b' raw byte, 'w' raw u32, '1' direct bit.
    using Fields = std::vector<std::pair<char, uint32_t>>;
    const std::vector<std::pair<Fields, const char*>> cases = {
        {{{'b', 5}}, "unknown record type"},
        {{{'b', RECORD_GENERIC}, {'w', 0}}, "a record does not fit its block"},
        {{{'b', RECORD_GENERIC}, {'w', 601}}, "a record does not fit its block"},
        {{{'b', RECORD_STRIDE}, {'w', 600}, {'b', 2}, {'w', 0x7FFFFFFF}, {'w', 1}}, "a long-match length"},
        {{{'b', RECORD_STRIDE}, {'w', 600}, {'b', 0}}, "a stride is out of range"},
        {{{'b', RECORD_AUDIO}, {'w', 600}, {'b', 5}, {'b', 2}, {'w', 1}}, "a sample width or channel count"},
        {{{'b', RECORD_AUDIO}, {'w', 600}, {'b', 2}, {'b', 0}, {'w', 1}}, "a sample width or channel count"},
        {{{'b', RECORD_DNA}, {'w', 600}, {'1', 1}, {'w', 601}, {'w', 1}}, "a packed length is out of range"},
    };
    for (const auto& [fields, reason] : cases) {
        allocate_work_memory(1 << 20);
        begin_bare_entry(path.c_str());
        for (const auto& [kind, value] : fields) {
            if (kind == 'b') put_raw_byte(uint8_t(value));
            if (kind == 'w') put_raw_u32(value);
            if (kind == '1') range_encode_direct_bit(int(value));
        }
        finish_entry("test");
        EXPECT_DAMAGED_BECAUSE(decode_entry(path, 600, 1 << 20), reason);
    }
}
