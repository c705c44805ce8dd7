#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/block_analyser.h"
#include "engine/entry_state.h"
#include "engine/media_params.h"
#include "engine/work_memory.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes& b, size_t at, uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

void put_text(Bytes& b, size_t at, const std::string& s) { std::copy(s.begin(), s.end(), b.begin() + at); }

void append_text(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

// The 54-byte file and info header of a bottom-up BMP.
Bytes bmp_header(uint32_t bits, uint32_t width, uint32_t height, uint32_t file_size)
{
    Bytes h(54, 0);
    put_text(h, 0, "BM");
    put32(h, 2, file_size);
    put32(h, 10, bits == 8 ? 54 + 1024 : 54);
    put32(h, 14, 40);
    put32(h, 18, width);
    put32(h, 22, height);
    put16(h, 26, 1);
    put16(h, 28, bits);
    return h;
}

// The 44-byte header of a PCM RIFF WAVE file with data_bytes of samples.
Bytes wave_header(uint32_t channels, uint32_t bits, uint32_t data_bytes)
{
    Bytes h(44, 0);
    put_text(h, 0, "RIFF");
    put32(h, 4, 36 + data_bytes);
    put_text(h, 8, "WAVEfmt ");
    put32(h, 16, 16);
    put16(h, 20, 1);
    put16(h, 22, channels);
    put32(h, 24, 44100);
    put32(h, 28, 44100 * channels * bits / 8);
    put16(h, 32, channels * bits / 8);
    put16(h, 34, bits);
    put_text(h, 36, "data");
    put32(h, 40, data_bytes);
    return h;
}

// A smooth picture: gradients with a little noise, component by component.
void append_pixels(Bytes& out, uint32_t width, uint32_t height, uint32_t comps, uint32_t row_pad,
                   uint32_t seed)
{
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t c = 0; c < comps; ++c)
                out.push_back(static_cast<uint8_t>(x * (c + 1) + y * 2 + rng() % 5));
        out.insert(out.end(), row_pad, 0);
    }
}

// Little-endian samples of a random walk with steps of at most +-step.
void append_walk(Bytes& out, size_t count, uint32_t sample_size, int64_t start, uint32_t step,
                 uint32_t seed)
{
    std::mt19937 rng(seed);
    int64_t v = start;
    for (size_t i = 0; i < count; ++i) {
        v += static_cast<int64_t>(rng() % (2 * step + 1)) - step;
        for (uint32_t k = 0; k < sample_size; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
    }
}

Bytes dna_letters(size_t n, uint32_t seed, const char* alphabet = "ACGT")
{
    std::mt19937 rng(seed);
    const size_t m = std::strlen(alphabet);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(alphabet[rng() % m]);
    return out;
}

// The analyser as the entry writer and the segmentation drive it for a file
// that fits one block: the first block sniffed, then pieces of 16 KiB and
// 64 KiB classified in order. Returns the file kind and the piece kinds.
struct Classified {
    int32_t file_kind;
    std::vector<int32_t> pieces;
};

Classified classify_file(Bytes data)
{
    // The stride trials use the filters' scratch area.
    if (block_size == 0) allocate_work_memory(1 << 20);
    input_size = static_cast<int64_t>(data.size());
    piece_done = 0;
    Classified c;
    c.file_kind = block_analyser.analyse_header(data.data(), static_cast<uint32_t>(data.size()));
    uint32_t pos = 0;
    uint32_t piece = std::min<uint32_t>(static_cast<uint32_t>(data.size()), 16384);
    while (pos < data.size()) {
        c.pieces.push_back(block_analyser.classify_piece(data.data() + pos, piece));
        pos += piece;
        piece = std::min<uint32_t>(static_cast<uint32_t>(data.size()) - pos, 65536);
    }
    return c;
}

// Records of eight byte fields: two constant letters ("b", "d") and six
// bounded walks in ranges that no text or machine code test counts. The lag
// test picks stride 8 for it, and the stride filter pays.
Bytes record_table(size_t records, uint32_t seed)
{
    std::mt19937 rng(seed);
    const uint8_t base[8] = {'b', 'd', 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0x00};
    uint8_t walk[8] = {};
    Bytes out;
    for (size_t r = 0; r < records; ++r)
        for (int k = 0; k < 8; ++k) {
            if (k >= 2) walk[k] = static_cast<uint8_t>(std::clamp<int>(walk[k] + int(rng() % 3) - 1, 0, 15));
            out.push_back(static_cast<uint8_t>(base[k] + walk[k]));
        }
    return out;
}

// Sets the entry's size for a test that classifies pieces directly.
void start_entry(int64_t size)
{
    input_size = size;
    piece_done = 0;
}

}  // namespace

TEST(BlockAnalyser, FirstBlockSniffedFromHundredTwentyEightBytes)
{
    Bytes block = bmp_header(24, 100, 100, 30054);
    block.resize(128, 7);
    start_entry(30054);
    EXPECT_EQ(block_analyser.analyse_header(block.data(), 127), PIECE_GENERIC);
    EXPECT_EQ(block_analyser.file_kind, PIECE_GENERIC);
    EXPECT_EQ(block_analyser.analyse_header(block.data(), 128), PIECE_IMAGE);
    // A new entry starts afresh.
    Bytes other = random_bytes(4096, 3);
    EXPECT_EQ(block_analyser.analyse_header(other.data(), 4096), PIECE_GENERIC);
    EXPECT_EQ(block_analyser.file_kind, PIECE_GENERIC);
    EXPECT_EQ(block_analyser.block_kind, PIECE_GENERIC);
    EXPECT_EQ(block_analyser.media_bytes_left, 0);
}

TEST(BlockAnalyser, WholeFileBmpAndDimensionRange)
{
    for (uint32_t bits : {24u, 8u}) {
        Bytes file = bmp_header(bits, 100, 40, 0);
        file.resize(70000, 'A');  // DNA letters: analysis would say otherwise
        put32(file, 2, 70000);
        start_entry(70000);
        image_width = 0;
        ASSERT_EQ(block_analyser.analyse_header(file.data(), 70000), PIECE_IMAGE) << bits;
        EXPECT_EQ(image_width, 100);
        EXPECT_EQ(channel_count, bits == 24 ? 3 : 1);
        EXPECT_EQ(sample_bytes, 1);
        EXPECT_EQ(block_analyser.classify_piece(file.data(), 16384), PIECE_IMAGE);
        EXPECT_EQ(block_analyser.classify_piece(file.data() + 16384, 53000), PIECE_IMAGE);
        EXPECT_EQ(block_analyser.classify_piece(file.data() + 69384, 616), PIECE_IMAGE);
        EXPECT_EQ(block_analyser.classify_piece(file.data() + 69384, 100), PIECE_IMAGE);
        EXPECT_EQ(block_analyser.media_bytes_left, 0);
    }
    for (uint32_t width : {15u, 65536u, 16u, 65535u}) {
        for (bool as_height : {false, true}) {
            Bytes file = bmp_header(24, as_height ? 100 : width, as_height ? width : 100, 4096);
            file.resize(4096, 0);
            start_entry(4096);
            const bool ok = width == 16 || width == 65535;
            EXPECT_EQ(block_analyser.analyse_header(file.data(), 4096),
                      ok ? PIECE_IMAGE : PIECE_GENERIC)
                << width << " " << as_height;
        }
    }
    Bytes bits16 = bmp_header(16, 100, 100, 4096);
    bits16.resize(4096, 0);
    EXPECT_EQ(block_analyser.analyse_header(bits16.data(), 4096), PIECE_GENERIC);
}

TEST(BlockAnalyser, PnmLineFeedAtEntryStartAndInsidePiece)
{
    auto entry = [](const std::string& head) {
        Bytes file;
        append_text(file, head);
        file.resize(64 * 64 * 3 + head.size(), 0x80);
        start_entry(static_cast<int64_t>(file.size()));
        return block_analyser.analyse_header(file.data(), static_cast<uint32_t>(file.size()));
    };
    EXPECT_EQ(entry("P6\n64 64\n255\n"), PIECE_IMAGE);
    EXPECT_EQ(channel_count, 3);
    EXPECT_EQ(entry("P6 64 64\n255\n"), PIECE_GENERIC);
    EXPECT_EQ(entry("P5 64 64 255\n"), PIECE_IMAGE);
    EXPECT_EQ(channel_count, 1);
    EXPECT_EQ(image_width, 64);
    EXPECT_EQ(entry("P6\n64 640\n255\n"), PIECE_GENERIC);  // 3 x w x h exceeds the entry
    EXPECT_EQ(entry("P7\n64 64\n255\n"), PIECE_GENERIC);

    auto embedded = [](const std::string& head) {
        Bytes piece = random_bytes(65536, 11);
        put_text(piece, 1000, head);
        start_entry(1 << 22);
        block_analyser.analyse_header(piece.data(), 127);
        return block_analyser.classify_piece(piece.data(), 65536);
    };
    EXPECT_EQ(embedded("P5 300 200\n255\n"), PIECE_GENERIC);
    EXPECT_EQ(embedded("P5\n300 200\n255\n"), PIECE_IMAGE);
    EXPECT_EQ(block_analyser.media_bytes_left, 300 * 200 - 65536);
    EXPECT_EQ(embedded("P6 300 200\n255\n"), PIECE_GENERIC);
    EXPECT_EQ(embedded("P6\n300 200\n255\n"), PIECE_IMAGE);
    EXPECT_EQ(block_analyser.media_bytes_left, 3 * 300 * 200 - 65536);
}

TEST(BlockAnalyser, WaveFormats)
{
    auto entry = [](uint32_t channels, uint32_t bits) {
        Bytes file = wave_header(channels, bits, 8192);
        file.resize(44 + 8192, 0);
        start_entry(static_cast<int64_t>(file.size()));
        sample_bytes = 77;
        channel_count = 77;
        return block_analyser.analyse_header(file.data(), static_cast<uint32_t>(file.size()));
    };
    EXPECT_EQ(entry(2, 24), PIECE_AUDIO);
    EXPECT_EQ(sample_bytes, 1);
    EXPECT_EQ(channel_count, 6);
    EXPECT_EQ(entry(9, 16), PIECE_GENERIC);
    EXPECT_EQ(sample_bytes, 2);
    EXPECT_EQ(channel_count, 9);
    EXPECT_EQ(entry(3, 24), PIECE_GENERIC);  // nine 8-bit channels
    EXPECT_EQ(entry(8, 32), PIECE_AUDIO);
    EXPECT_EQ(entry(1, 40), PIECE_GENERIC);

    // The declared size may exceed the entry by up to one eighth.
    Bytes file = wave_header(2, 16, 0);
    file.resize(800, 0);
    start_entry(800);
    put32(file, 4, 900 - 44);
    EXPECT_EQ(block_analyser.analyse_header(file.data(), 800), PIECE_AUDIO);
    put32(file, 4, 901 - 44);
    EXPECT_EQ(block_analyser.analyse_header(file.data(), 800), PIECE_GENERIC);
    put32(file, 4, 0xFFFFFFFF);  // no 32-bit wrap around
    EXPECT_EQ(block_analyser.analyse_header(file.data(), 800), PIECE_GENERIC);
}

TEST(BlockAnalyser, LittleEndianTiffIsGenericUntilCountedDown)
{
    Bytes file = dna_letters(300000, 5);
    put_text(file, 0, std::string("II*\0", 4));
    start_entry(150000);
    EXPECT_EQ(block_analyser.analyse_header(file.data(), 150000), PIECE_GENERIC);
    EXPECT_EQ(block_analyser.media_bytes_left, 150000);
    uint32_t pos = 0;
    for (uint32_t len : {16384u, 65536u, 65536u, 65536u}) {
        EXPECT_EQ(block_analyser.classify_piece(file.data() + pos, len), PIECE_GENERIC) << pos;
        pos += len;
    }
    EXPECT_EQ(block_analyser.media_bytes_left, 150000 - static_cast<int32_t>(pos));
    EXPECT_EQ(block_analyser.classify_piece(file.data() + pos, 65536), PIECE_DNA);
    EXPECT_EQ(block_analyser.media_bytes_left, 0);

    put_text(file, 0, "MM");
    put_text(file, 2, std::string("\0*", 2));
    EXPECT_EQ(block_analyser.analyse_header(file.data(), 150000), PIECE_GENERIC);
    EXPECT_EQ(block_analyser.classify_piece(file.data(), 16384), PIECE_DNA);
}

TEST(BlockAnalyser, ShortPiecesAndDnaThreshold)
{
    Bytes dna = dna_letters(1024, 9, "ACGTacgt");
    start_entry(1 << 20);
    block_analyser.analyse_header(dna.data(), 100);
    EXPECT_EQ(block_analyser.classify_piece(dna.data(), 511), PIECE_GENERIC);
    EXPECT_EQ(block_analyser.classify_piece(dna.data(), 512), PIECE_DNA);
    EXPECT_EQ(block_analyser.classify_piece(dna.data(), 511), PIECE_GENERIC);

    // While an object is followed a short piece takes its kind and is not counted.
    block_analyser.block_kind = PIECE_AUDIO;
    block_analyser.media_bytes_left = 5000;
    EXPECT_EQ(block_analyser.classify_piece(dna.data(), 511), PIECE_AUDIO);
    EXPECT_EQ(block_analyser.media_bytes_left, 5000);

    for (uint32_t letters : {768u, 769u}) {
        Bytes piece(1024, 'x');
        std::copy(dna.begin(), dna.begin() + letters, piece.begin());
        block_analyser.analyse_header(piece.data(), 0);
        EXPECT_EQ(block_analyser.classify_piece(piece.data(), 1024),
                  letters == 769 ? PIECE_DNA : PIECE_GENERIC);
    }
}

TEST(BlockAnalyser, TextAndMachineCodeThresholds)
{
    if (block_size == 0) allocate_work_memory(1 << 20);
    auto kind = [](const Bytes& piece) {
        Bytes copy = piece;
        start_entry(1 << 20);
        block_analyser.analyse_header(copy.data(), 0);
        const int32_t k = block_analyser.classify_piece(copy.data(), 4096);
        EXPECT_EQ(copy, piece);  // the stride trial leaves the bytes as they were
        return k;
    };
    const Bytes table = record_table(512, 12);
    EXPECT_EQ(kind(table), PIECE_STRIDE + 4);  // letters exactly a quarter
    Bytes text = table;
    text[2] = 'z';
    EXPECT_EQ(kind(text), PIECE_GENERIC);

    // 4096 bytes: mov opcodes above 16, with calls and jumps above 64.
    auto code = [&table](int movs, int calls, int jumps) {
        Bytes piece = table;
        for (int i = 0; i < movs; ++i) piece[8 * i + 2] = 0x8B;
        for (int i = 0; i < calls; ++i) piece[8 * i + 3] = 0xE8;
        for (int i = 0; i < jumps; ++i) piece[8 * i + 4] = 0xE9;
        return piece;
    };
    EXPECT_EQ(kind(code(17, 24, 24)), PIECE_GENERIC);
    EXPECT_EQ(kind(code(16, 25, 24)), PIECE_STRIDE + 4);
    EXPECT_EQ(kind(code(17, 24, 23)), PIECE_STRIDE + 4);
}

TEST(BlockAnalyser, ScanSkipsTheLastSixtyFourBytes)
{
    const Bytes bmp = bmp_header(8, 64, 64, 5000);
    for (uint32_t at : {959u, 960u}) {
        Bytes piece = random_bytes(1024, 21);
        std::copy(bmp.begin(), bmp.end(), piece.begin() + at);
        start_entry(1 << 20);
        block_analyser.analyse_header(piece.data(), 0);
        EXPECT_EQ(block_analyser.classify_piece(piece.data(), 1024),
                  at == 959 ? PIECE_IMAGE : PIECE_GENERIC);
        EXPECT_EQ(block_analyser.media_bytes_left, at == 959 ? 5000 - 1024 : 0);
    }
}

TEST(BlockAnalyser, EmbeddedSizeLimits)
{
    // Against R, the bytes from the block's start to the entry's end: a
    // 24-bit BMP and a PPM may fill it, an 8-bit BMP and a PGM must be shorter.
    // A WAVE is compared with the whole entry.
    struct Case {
        Bytes head;
        int64_t fits;  // the largest R that still rejects is fits - 1
    };
    Bytes pgm, ppm;
    append_text(pgm, "P5\n100 50\n255\n");
    append_text(ppm, "P6\n100 50\n255\n");
    const Case cases[] = {
        {bmp_header(24, 100, 50, 20000), 20000},
        {bmp_header(8, 100, 50, 20000), 20001},
        {pgm, 5001},
        {ppm, 15000},
    };
    for (const Case& c : cases) {
        for (int64_t r : {c.fits - 1, c.fits}) {
            Bytes piece = random_bytes(4096, 2);
            std::copy(c.head.begin(), c.head.end(), piece.begin() + 300);
            input_size = r + 50000;
            piece_done = 50000;
            block_analyser.analyse_header(piece.data(), 0);
            EXPECT_EQ(block_analyser.classify_piece(piece.data(), 4096),
                      r == c.fits ? PIECE_IMAGE : PIECE_GENERIC)
                << c.head[0] << c.head[1] << " R=" << r;
        }
    }
    Bytes wave = wave_header(2, 16, 20000 - 44 - 36);  // RIFF size 20000 - 44
    for (int64_t size : {int64_t{20000} - 1, int64_t{20000}}) {
        Bytes piece = random_bytes(4096, 2);
        std::copy(wave.begin(), wave.end(), piece.begin() + 300);
        input_size = size;
        piece_done = size - 5000;  // R far below the declared size
        block_analyser.analyse_header(piece.data(), 0);
        EXPECT_EQ(block_analyser.classify_piece(piece.data(), 4096),
                  size == 20000 ? PIECE_AUDIO : PIECE_GENERIC);
    }
}

TEST(BlockAnalyser, EmbeddedObjectCountedOverFurtherPieces)
{
    const uint32_t P = 65536;
    for (bool half : {true, false}) {
        const uint32_t declared = P + (half ? 2 * P + P / 2 : 2 * P);
        Bytes data = random_bytes(5 * P, 33);
        const Bytes first = bmp_header(24, 256, 200, declared);
        std::copy(first.begin(), first.end(), data.begin() + 4000);
        const Bytes later = bmp_header(8, 64, 64, 1000);
        std::copy(later.begin(), later.end(), data.begin() + 4 * P + 100);
        start_entry(10 * P);
        block_analyser.analyse_header(data.data(), 0);
        std::vector<int32_t> kinds;
        for (uint32_t i = 0; i < 5; ++i) kinds.push_back(block_analyser.classify_piece(data.data() + i * P, P));
        if (half) {
            // The third further piece ends the object inside it; the piece
            // after it is analysed by its content, and its header is not seen.
            EXPECT_EQ(kinds, (std::vector<int32_t>{5, 5, 5, 5, 2}));
            EXPECT_EQ(block_analyser.media_bytes_left, 0);
        } else {
            // The count reaches 0 exactly: the next pieces are scanned.
            EXPECT_EQ(kinds, (std::vector<int32_t>{5, 5, 5, 2, 5}));
            EXPECT_EQ(block_analyser.media_bytes_left, 1000 - static_cast<int32_t>(P));
        }
    }
    // A size below the piece's length: the next piece finds the state ended.
    Bytes data = random_bytes(2 * P, 34);
    const Bytes small = bmp_header(8, 64, 64, 1000);
    std::copy(small.begin(), small.end(), data.begin() + 10);
    std::copy(small.begin(), small.end(), data.begin() + P + 10);
    start_entry(10 * P);
    block_analyser.analyse_header(data.data(), 0);
    EXPECT_EQ(block_analyser.classify_piece(data.data(), P), PIECE_IMAGE);
    EXPECT_EQ(block_analyser.media_bytes_left, 1000 - static_cast<int32_t>(P));
    EXPECT_EQ(block_analyser.classify_piece(data.data() + P, P), PIECE_GENERIC);
    EXPECT_EQ(block_analyser.media_bytes_left, 0);
    EXPECT_EQ(block_analyser.classify_piece(data.data(), 511), PIECE_GENERIC);
}

TEST(BlockAnalyser, ParsePnmSize)
{
    // The parse gets exactly n bytes: a read beyond them is a fault.
    auto parse = [](const std::string& text, int32_t n = -1) {
        if (n < 0) n = static_cast<int32_t>(text.size());
        Bytes b(text.begin(), text.begin() + n);
        return parse_pnm_size(b.data(), n);
    };
    image_width = image_height = 0;
    EXPECT_EQ(parse("P5\n640 480\n255\n", 15), 640 * 480);
    EXPECT_EQ(image_width, 640);
    EXPECT_EQ(image_height, 480);
    // Nothing at or beyond n is read.
    EXPECT_EQ(parse("P5\n640 4801234", 8), 640 * 4);
    EXPECT_EQ(parse("P5\n64012345 48", 6), 640 * 4);
    // Missing integers leave the earlier values.
    image_width = 77;
    image_height = 88;
    EXPECT_EQ(parse("P5\n100 x", 8), 100 * 88);
    EXPECT_EQ(parse("P5\n-", 4), 100 * 88);
    EXPECT_EQ(parse("P5\t\r 123 -45 "), 123 * -45);
    // Beyond 32 bits a dimension never becomes one in range.
    for (const char* big : {"4294967396", "18446744073709551716", "99999999999999999999999999"}) {
        image_width = 0;
        parse(std::string("P5\n") + big + " 100");
        EXPECT_TRUE(image_width < 16 || image_width > 65535) << big << " " << image_width;
        EXPECT_EQ(image_height, 100);
        parse(std::string("P5\n-") + big + " 100");
        EXPECT_TRUE(image_width < 16 || image_width > 65535) << big << " " << image_width;
    }
    // The width starts at the first two adjacent digits from position 2.
    EXPECT_EQ(parse("P5\n7 300 400\n255\n" + std::string(60, 'z')), 300 * 400);
    EXPECT_EQ(parse("P5\n7 300 400\n255\n", 17), 7 * 300);  // 34 bytes or fewer: from 2
    // Past 34 bytes the digit pair is sought at 2 .. n - 33, else from n - 32.
    EXPECT_EQ(parse("P5" + std::string(10, '#') + "20 30" + std::string(30, 'z')), 20 * 30);
    EXPECT_EQ(parse("P5" + std::string(40, ' ') + "50 60"), 50 * 60);
    EXPECT_EQ(parse("P5" + std::string(12, '#') + "12 34" + std::string(28, 'z')), 12 * 34);
    EXPECT_EQ(parse("P5" + std::string(13, '#') + " 7 8" + std::string(28, 'z')), 7 * 8);
    std::string late = "P5" + std::string(30, '#') + "20 30 ";
    image_width = image_height = 1;
    EXPECT_EQ(parse(late, 36), 1);  // n - 32 = 4 lands on '#'
    EXPECT_EQ(parse(late, 34), 1);  // 34 bytes or fewer: from position 2
}

TEST(BlockAnalyser, SampleStrideVerdict)
{
    Bytes same(4096, 0x41);
    EXPECT_EQ(block_analyser.detect_sample_stride(same.data(), 4096), -1);
    Bytes random = random_bytes(4096, 4);
    EXPECT_EQ(block_analyser.detect_sample_stride(random.data(), 4096), -1);

    for (uint32_t size : {2u, 3u, 4u}) {
        Bytes table;
        append_walk(table, 8192 / size, size, 1 << (8 * size - 2), size == 2 ? 40 : 20000, size);
        EXPECT_EQ(block_analyser.detect_sample_stride(table.data(), static_cast<uint32_t>(table.size())),
                  static_cast<int32_t>(size - 1))
            << size;
    }
    // Ties go to the shorter lag.
    for (uint32_t period : {2u, 3u, 4u}) {
        Bytes cycle(2048);
        for (uint32_t i = 0; i < 2048; ++i) cycle[i] = static_cast<uint8_t>(40 * (i % period) + 7);
        EXPECT_EQ(block_analyser.detect_sample_stride(cycle.data(), 2048), static_cast<int32_t>(period - 1));
    }
    // Small differences alone are not enough: two interleaved ramps whose
    // bytes never repeat at any lag.
    Bytes ramps(512);
    for (uint32_t i = 0; i < 512; ++i) ramps[i] = static_cast<uint8_t>(i / 2 + (i % 2) * 128);
    EXPECT_EQ(block_analyser.detect_sample_stride(ramps.data(), 512), -1);
    // Equal neighbours must stay below 0.3 x len, taken exactly: eight-byte
    // records whose first three bytes are equal, and the next two in the
    // first m records: 246 + m equal neighbours in 1000 bytes, 247 + m in 1001.
    auto runs = [](uint32_t m) {
        std::mt19937 rng(m);
        Bytes d;
        uint8_t w[8] = {};
        for (uint32_t r = 0; r < 128; ++r) {
            for (uint8_t& v : w) v = static_cast<uint8_t>(std::clamp<int>(v + int(rng() % 3) - 1, 0, 15));
            const uint8_t f3 = static_cast<uint8_t>(0x80 + w[3]);
            const uint8_t rec[8] = {uint8_t(0x40 + w[0]), uint8_t(0x40 + w[0]), uint8_t(0x40 + w[0]), f3,
                                    r < m ? f3 : uint8_t(0xC0 + w[4]), uint8_t(0x10 + w[5]),
                                    uint8_t(0xA0 + w[6]), uint8_t(0x60 + w[7])};
            d.insert(d.end(), rec, rec + 8);
        }
        return d;
    };
    EXPECT_EQ(block_analyser.detect_sample_stride(runs(53).data(), 1000), 4);
    EXPECT_EQ(block_analyser.detect_sample_stride(runs(54).data(), 1000), -1);  // 300 of 300.0
    EXPECT_EQ(block_analyser.detect_sample_stride(runs(53).data(), 1001), 4);   // 300 of 300.3

    // Records of eight independent slowly changing bytes.
    Bytes wide;
    std::mt19937 walk(8);
    uint8_t fields[8] = {0, 30, 60, 90, 120, 150, 180, 210};
    for (int r = 0; r < 1024; ++r)
        for (uint8_t& f : fields) wide.push_back(f = static_cast<uint8_t>(f + walk() % 5 - 2));
    EXPECT_EQ(block_analyser.detect_sample_stride(wide.data(), 8192), 4);

    // The sums over any length and alignment agree with a plain count.
    std::mt19937 rng(17);
    for (int round = 0; round < 40; ++round) {
        const uint32_t len = 512 + rng() % 3000;
        Bytes d(len);
        const uint32_t period = 1 + rng() % 9;
        for (uint32_t i = 0; i < len; ++i)
            d[i] = static_cast<uint8_t>(i % period == 0 ? rng() : rng() % (round % 5 + 1) + i / 64);
        uint32_t eq[5] = {}, sad[5] = {};
        for (uint32_t i = 0; i + 16 < len; ++i)
            for (int k = 0; k < 5; ++k) {
                const int a = d[i], b = d[i + STRIDE_TABLE[k]];
                eq[k] += a == b;
                sad[k] += static_cast<uint32_t>(std::abs(a - b));
            }
        int best = 0;
        for (int k = 1; k < 5; ++k)
            if (sad[k] < sad[best]) best = k;
        const uint32_t mineq = *std::min_element(eq, eq + 5);
        const uint32_t maxsad = *std::max_element(sad, sad + 5);
        const bool ok = (3 * sad[best] < maxsad || sad[best] + 12 * len < maxsad) &&
                        eq[best] > 3 * mineq && eq[0] < 0.3 * len;
        EXPECT_EQ(block_analyser.detect_sample_stride(d.data(), len), ok ? best : -1) << round;
    }
}

TEST(BlockAnalyser, RealFilesGetTheirKinds)
{
    auto all = [](const Classified& c, int32_t kind) -> ::testing::AssertionResult {
        for (size_t i = 0; i < c.pieces.size(); ++i)
            if (c.pieces[i] != kind) return ::testing::AssertionFailure() << "piece " << i << " is " << c.pieces[i];
        return ::testing::AssertionSuccess();
    };

    {
        Bytes bmp = bmp_header(24, 170, 130, 54 + 172 * 3 * 130);  // rows padded to 4 bytes
        append_pixels(bmp, 170, 130, 3, 2, 1);
        const Classified c = classify_file(bmp);
        EXPECT_EQ(c.file_kind, PIECE_IMAGE);
        EXPECT_TRUE(all(c, PIECE_IMAGE));
        EXPECT_EQ(image_width, 170);
        EXPECT_EQ(channel_count, 3);
    }
    {
        Bytes bmp = bmp_header(8, 300, 250, 54 + 1024 + 300 * 250);
        for (int i = 0; i < 256; ++i) append_text(bmp, std::string(3, static_cast<char>(i)) + '\0');
        append_pixels(bmp, 300, 250, 1, 0, 2);
        const Classified c = classify_file(bmp);
        EXPECT_EQ(c.file_kind, PIECE_IMAGE);
        EXPECT_TRUE(all(c, PIECE_IMAGE));
        EXPECT_EQ(channel_count, 1);
    }
    for (const char* magic : {"P6", "P5"}) {
        Bytes pnm;
        append_text(pnm, std::string(magic) + "\n# made by hand\n200 150\n255\n");
        append_pixels(pnm, 200, 150, magic[1] == '6' ? 3 : 1, 0, 3);
        const Classified c = classify_file(pnm);
        EXPECT_EQ(c.file_kind, PIECE_IMAGE) << magic;
        EXPECT_TRUE(all(c, PIECE_IMAGE)) << magic;
        EXPECT_EQ(image_width, 200);
        EXPECT_EQ(image_height, 150);
    }
    {
        Bytes tga(18, 0);
        tga[2] = 2;
        put16(tga, 12, 180);
        put16(tga, 14, 120);
        tga[16] = 24;
        append_pixels(tga, 180, 120, 3, 0, 4);
        const Classified c = classify_file(tga);
        EXPECT_EQ(c.file_kind, PIECE_IMAGE);
        EXPECT_TRUE(all(c, PIECE_IMAGE));
        EXPECT_EQ(image_width, 180);
        EXPECT_EQ(channel_count, 3);
    }
    {
        // Little-endian TIFF: header, strip of pixels, directory at the end.
        Bytes tiff;
        append_text(tiff, std::string("II*\0", 4));
        for (int i = 0; i < 4; ++i) tiff.push_back(0);
        append_pixels(tiff, 200, 150, 3, 0, 5);
        put32(tiff, 4, static_cast<uint32_t>(tiff.size()));
        tiff.resize(tiff.size() + 2 + 12 * 8 + 4, 0);
        const Classified c = classify_file(tiff);
        EXPECT_EQ(c.file_kind, PIECE_GENERIC);
        EXPECT_TRUE(all(c, PIECE_GENERIC));
    }
    for (uint32_t bits : {16u, 24u}) {
        const uint32_t frames = 60000;
        Bytes wav = wave_header(2, bits, frames * 2 * bits / 8);
        append_walk(wav, frames * 2, bits / 8, 0, bits == 16 ? 200 : 50000, bits);
        const Classified c = classify_file(wav);
        EXPECT_EQ(c.file_kind, PIECE_AUDIO) << bits;
        EXPECT_TRUE(all(c, PIECE_AUDIO)) << bits;
        EXPECT_EQ(sample_bytes, bits == 16 ? 2 : 1);
        EXPECT_EQ(channel_count, bits == 16 ? 2 : 6);
    }
    {
        Bytes fasta;
        append_text(fasta, ">chr7 a made-up sequence\n");
        std::mt19937 rng(6);
        while (fasta.size() < 150000) {
            for (int i = 0; i < 60; ++i) fasta.push_back(static_cast<uint8_t>("ACGT"[rng() % 4]));
            fasta.push_back('\n');
        }
        fasta.resize(150000);
        const Classified c = classify_file(fasta);
        EXPECT_EQ(c.file_kind, PIECE_GENERIC);
        EXPECT_TRUE(all(c, PIECE_DNA));
    }
    {
        Bytes text = text_bytes(200000, 7);
        const Classified c = classify_file(text);
        EXPECT_TRUE(all(c, PIECE_GENERIC));
    }
    {
        // Values whose high bytes stay clear of the letters, so that the
        // text test does not claim them first.
        Bytes t16, t32;
        append_walk(t16, 100000, 2, 1000, 8, 8);
        append_walk(t32, 50000, 4, 0xC00000, 3000, 9);
        EXPECT_TRUE(all(classify_file(t16), PIECE_STRIDE + 1));
        EXPECT_TRUE(all(classify_file(t32), PIECE_STRIDE + 3));
    }
}

TEST(BlockAnalyser, ExecutableCodeIsGeneric)
{
    // An x86-64 program of the machine: code, tables and strings all stay
    // generic.
    Bytes exe = read_file_bytes("/bin/ls");
    if (exe.size() < 65536 * 2) GTEST_SKIP() << "no /bin/ls to read";
    const Classified c = classify_file(exe);
    EXPECT_EQ(c.file_kind, PIECE_GENERIC);
    for (size_t i = 0; i < c.pieces.size(); ++i) EXPECT_EQ(c.pieces[i], PIECE_GENERIC) << i;
}
