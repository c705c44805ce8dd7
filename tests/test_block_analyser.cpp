#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/block_analyser.h"
#include "engine/entry_state.h"
#include "engine/media_params.h"
#include "engine/piece_context.h"
#include "engine/work_memory.h"
#include "platform/file_io.h"
#include "tests/test_support.h"

using namespace test_support;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Writes little-endian fields (offset, value, bytes) into b.
Bytes put(Bytes b, std::initializer_list<std::tuple<size_t, uint32_t, int>> fields)
{
    for (auto [at, v, n] : fields)
        for (int k = 0; k < n; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
    return b;
}

// The 54-byte file and info header of a BMP.
Bytes bmp_header(uint32_t bits, uint32_t width, uint32_t height, uint32_t file_size)
{
    return put(text("BM" + std::string(52, '\0')), {{2, file_size, 4}, {10, bits == 8 ? 1078 : 54, 4}, {14, 40, 4},
                                                    {18, width, 4}, {22, height, 4}, {26, 1, 2}, {28, bits, 2}});
}

// The 44-byte header of a PCM RIFF WAVE file with data_bytes of samples.
Bytes wave_header(uint32_t channels, uint32_t bits, uint32_t data_bytes)
{
    return put(text("RIFF....WAVEfmt " + std::string(20, '.') + "data...."),
               {{4, 36 + data_bytes, 4}, {16, 16, 4}, {20, 1, 2}, {22, channels, 2}, {24, 44100, 4},
                {28, 44100 * channels * bits / 8, 4}, {32, channels * bits / 8, 2}, {34, bits, 2},
                {40, data_bytes, 4}});
}

// A header followed by a smooth picture: gradients with a little noise, rows padded with row_pad zeros.
Bytes pixels(Bytes out, uint32_t width, uint32_t height, uint32_t comps, uint32_t row_pad, uint32_t seed)
{
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < height; ++y, out.insert(out.end(), row_pad, 0))
        for (uint32_t i = 0; i < width * comps; ++i)
            out.push_back(static_cast<uint8_t>(i / comps * (i % comps + 1) + y * 2 + rng() % 5));
    return out;
}

// A header followed by little-endian samples of a random walk from v with steps of at most +-step.
Bytes walk(Bytes out, size_t count, uint32_t sample_size, int64_t v, uint32_t step, uint32_t seed)
{
    std::mt19937 rng(seed);
    for (size_t i = 0; i < count; ++i) {
        v += static_cast<int64_t>(rng() % (2 * step + 1)) - step;
        for (uint32_t k = 0; k < sample_size; ++k) out.push_back(static_cast<uint8_t>(v >> (8 * k)));
    }
    return out;
}

Bytes dna_letters(size_t n, uint32_t seed)
{
    Bytes out = random_bytes(n, seed);
    for (auto& b : out) b = static_cast<uint8_t>("ACGTacgt"[b % 8]);
    return out;
}

// Records of "b", "d" and six bounded walks in ranges that no text or machine code test counts:
// letters are exactly a quarter, the lag test picks stride 8, and the stride filter pays.
Bytes record_table(size_t records, uint32_t seed)
{
    std::mt19937 rng(seed);
    const uint8_t base[8] = {'b', 'd', 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0x00};
    uint8_t walk[8] = {};
    Bytes out;
    for (size_t i = 0; i < 8 * records; ++i) {
        if (i % 8 >= 2) walk[i % 8] = static_cast<uint8_t>(std::clamp<int>(walk[i % 8] + int(rng() % 3) - 1, 0, 15));
        out.push_back(static_cast<uint8_t>(base[i % 8] + walk[i % 8]));
    }
    return out;
}

void start_entry(int64_t size) { input_size = size, piece_done = 0; }

// Sniffs a first block: file padded with 0x80 to size bytes, the entry's size.
int32_t sniff(Bytes file, size_t size = 16384)
{
    file.resize(size, 0x80);
    start_entry(int64_t(size));
    return block_analyser.analyse_header(file.data(), uint32_t(size));
}

// Classifies piece[0..len) as the first piece of a fresh entry of `size` bytes, r of them from the
// block's start on; the piece must come back unchanged (the stride trial filters it).
int32_t classify_first(Bytes piece, uint32_t len, int64_t r = 1 << 20, int64_t size = 0)
{
    const Bytes before = piece;
    input_size = size ? size : r + 50000;
    piece_done = input_size - r;
    block_analyser.analyse_header(piece.data(), 0);
    const int32_t kind = block_analyser.classify_piece(piece.data(), len);
    EXPECT_EQ(piece, before);
    return kind;
}

// Random bytes with a header placed at `at`.
Bytes with(const Bytes& head, size_t at, size_t len = 4096, uint32_t seed = 2)
{
    Bytes piece = random_bytes(len, seed);
    std::copy(head.begin(), head.end(), piece.begin() + at);
    return piece;
}

std::pair<int, int> media() { return {sample_bytes, channel_count}; }

}  // namespace

TEST(BlockAnalyser, HeaderSniffing)
{
    EXPECT_EQ(sniff(bmp_header(24, 100, 100, 30054), 127), PIECE_GENERIC);
    EXPECT_EQ(sniff(bmp_header(24, 100, 100, 30054), 128), PIECE_IMAGE);
    // Every piece of an image entry is an image, DNA letters and a short last piece too.
    Bytes dna = dna_letters(16384, 1);
    EXPECT_EQ(block_analyser.classify_piece(dna.data(), 16384), PIECE_IMAGE);
    EXPECT_EQ(block_analyser.classify_piece(dna.data(), 100), PIECE_IMAGE);
    for (uint32_t d : {15u, 16u, 65535u, 65536u}) {  // width and height of 16 to 65535 pixels
        const int32_t kind = d == 16 || d == 65535 ? PIECE_IMAGE : PIECE_GENERIC;
        EXPECT_TRUE(sniff(bmp_header(24, d, 100, 4096)) == kind && sniff(bmp_header(24, 100, d, 4096)) == kind) << d;
    }
    EXPECT_EQ(sniff(bmp_header(16, 100, 100, 4096)), PIECE_GENERIC);
    // PPM needs a line feed after "P6" and its pixels within the entry; PGM at the entry's start does not.
    EXPECT_EQ(sniff(text("P6\n64 64\n255\n")), PIECE_IMAGE);
    EXPECT_EQ(sniff(text("P6 64 64\n255\n")), PIECE_GENERIC);
    EXPECT_EQ(sniff(text("P6\n64 640\n255\n")), PIECE_GENERIC);
    EXPECT_EQ(sniff(text("P5 64 64 255\n")), PIECE_IMAGE);
    // WAVE: 24 bits become three 8-bit channels per channel; a failed test leaves the parameters as read.
    const std::tuple<uint32_t, uint32_t, int32_t, std::pair<int, int>> waves[] = {
        {2, 24, PIECE_AUDIO, {1, 6}}, {9, 16, PIECE_GENERIC, {2, 9}}, {3, 24, PIECE_GENERIC, {1, 9}},
        {8, 32, PIECE_AUDIO, {4, 8}}, {1, 40, PIECE_GENERIC, {5, 1}}};
    for (const auto& [channels, bits, kind, params] : waves)
        EXPECT_TRUE(sniff(wave_header(channels, bits, 8192)) == kind && media() == params) << channels << " x " << bits;
    // The declared size may exceed the entry by up to one eighth, without wrapping around.
    for (auto [riff, kind] : {std::pair{900u - 44, PIECE_AUDIO}, {901u - 44, PIECE_GENERIC}, {~0u, PIECE_GENERIC}})
        EXPECT_EQ(sniff(put(wave_header(2, 16, 0), {{4, riff, 4}}), 800), kind) << riff;
    // A little-endian TIFF is generic, unanalysed, until counted down; a big-endian one is analysed.
    Bytes tiff = dna_letters(300000, 5);
    std::copy_n("II*", 4, tiff.begin());
    EXPECT_EQ(sniff(tiff, 150000), PIECE_GENERIC);
    for (uint32_t pos = 0, len = 16384; pos < 4 * 65536; pos += len, len = 65536)
        EXPECT_EQ(block_analyser.classify_piece(tiff.data() + pos, len), pos < 150000 ? PIECE_GENERIC : PIECE_DNA);
    std::copy_n("MM\0*", 4, tiff.begin());
    EXPECT_EQ(sniff(tiff, 150000), PIECE_GENERIC);
    EXPECT_EQ(block_analyser.classify_piece(tiff.data(), 16384), PIECE_DNA);
    // PNM dimensions, read from the first n bytes only.
    auto parse = [](const std::string& s, int32_t n = -1) {
        return parse_pnm_size(text(s).data(), n < 0 ? int32_t(s.size()) : n);
    };
    EXPECT_EQ(parse("P5\n640 480\n255\n"), 640 * 480);
    EXPECT_EQ(parse("P5\n640 4801234", 8), 640 * 4);  // nothing at or beyond n is read
    EXPECT_EQ(parse("P5\n100 x"), 100 * 4);  // a missing integer leaves the earlier value
    // Beyond 32 bits a dimension never comes out in range.
    for (const char* big : {"4294967396", "-4294967396", "18446744073709551716"})
        EXPECT_TRUE((parse(std::string("P5\n") + big + " 100"), image_width < 16 || image_width > 65535)) << big;
    // The width starts at the first two adjacent digits at 2 .. n - 33, else at n - 32; at 2 when n <= 34.
    EXPECT_EQ(parse("P5\n7 300 400\n255\n" + std::string(60, 'z')), 300 * 400);
    EXPECT_EQ(parse("P5\n7 300 400\n255\n"), 7 * 300);
    EXPECT_EQ(parse("P5" + std::string(12, '#') + "12 34" + std::string(28, 'z')), 12 * 34);
    EXPECT_EQ(parse("P5" + std::string(13, '#') + " 7 8" + std::string(28, 'z')), 7 * 8);
}

TEST(BlockAnalyser, ContentThresholds)
{
    if (block_size == 0) allocate_work_memory(1 << 20);  // the stride trial's scratch area
    // 511 bytes are not analysed, 512 are; in 1024 bytes 769 DNA letters make DNA, 768 do not.
    Bytes dna = dna_letters(1024, 9), diluted(1024, 'x');
    EXPECT_EQ(classify_first(dna, 511), PIECE_GENERIC);
    EXPECT_EQ(classify_first(dna, 512), PIECE_DNA);
    std::copy_n(dna.begin(), 768, diluted.begin());
    EXPECT_EQ(classify_first(diluted, 1024), PIECE_GENERIC);
    diluted[768] = 'T';
    EXPECT_EQ(classify_first(diluted, 1024), PIECE_DNA);
    // A short piece takes the kind of the object followed and is not counted.
    block_analyser.block_kind = PIECE_AUDIO;
    block_analyser.media_bytes_left = 5000;
    EXPECT_EQ(block_analyser.classify_piece(dna.data(), 511), PIECE_AUDIO);
    EXPECT_EQ(block_analyser.media_bytes_left, 5000);
    // Stride data whose letters are exactly a quarter; one letter more is text.
    const Bytes table = record_table(512, 12);
    EXPECT_EQ(classify_first(table, 4096), PIECE_STRIDE + 4);
    EXPECT_EQ(classify_first(put(table, {{2, 'z', 1}}), 4096), PIECE_GENERIC);
    // Machine code in 4096 bytes: mov opcodes above 16, with calls and jumps above 64.
    for (auto [movs, others] : {std::pair{17, 48}, {16, 49}, {17, 47}}) {
        Bytes code = table;
        for (int i = 0; i < movs; ++i) code[8 * i + 2] = 0x8B;
        for (int i = 0; i < others; ++i) code[8 * (i / 2) + 3 + i % 2] = i % 2 ? 0xE9 : 0xE8;  // calls and jumps
        EXPECT_EQ(classify_first(code, 4096), movs > 16 && movs + others > 64 ? PIECE_GENERIC : PIECE_STRIDE + 4);
    }
    // The lag test: no verdict for equal bytes, and equal sums go to the shorter lag.
    EXPECT_EQ(block_analyser.detect_sample_stride(Bytes(4096, 0x41).data(), 4096), -1);
    for (int32_t period : {2, 3, 4}) {
        Bytes cycle(2048);
        for (uint32_t i = 0; i < 2048; ++i) cycle[i] = static_cast<uint8_t>(40 * (i % period) + 7);
        EXPECT_EQ(block_analyser.detect_sample_stride(cycle.data(), 2048), period - 1);
    }
    // Equal neighbours must stay below 0.3 x len, taken exactly: records whose
    // first three bytes are equal, and the fourth and fifth in the first m:
    // 246 + m equal neighbours in 1000 bytes, 247 + m in 1001.
    auto runs = [](uint32_t m) {
        Bytes d = record_table(128, 12);
        for (uint32_t r = 0; r < 128; ++r) {
            d[8 * r + 1] = d[8 * r + 2] = d[8 * r];
            if (r < m) d[8 * r + 4] = d[8 * r + 3];
        }
        return d;
    };
    EXPECT_EQ(block_analyser.detect_sample_stride(runs(53).data(), 1000), 4);
    EXPECT_EQ(block_analyser.detect_sample_stride(runs(54).data(), 1000), -1);  // 300 of 300.0
    EXPECT_EQ(block_analyser.detect_sample_stride(runs(53).data(), 1001), 4);   // 300 of 300.3
}

TEST(BlockAnalyser, EmbeddedObjects)
{
    // No candidate starts in the last 64 bytes of a piece; the object's size
    // is counted from the piece's start.
    const Bytes bmp8 = bmp_header(8, 64, 64, 5000);
    EXPECT_EQ(classify_first(with(bmp8, 959, 1024), 1024), PIECE_IMAGE);
    EXPECT_EQ(block_analyser.media_bytes_left, 5000 - 1024);
    EXPECT_EQ(classify_first(with(bmp8, 960, 1024), 1024), PIECE_GENERIC);
    // A 24-bit BMP and a PPM may fill the rest of the entry, an 8-bit BMP
    // and a PGM must be shorter; inside a piece "P5" needs the line feed.
    const std::pair<Bytes, int64_t> fits[] = {
        {bmp_header(24, 100, 50, 20000), 20000}, {bmp_header(8, 100, 50, 20000), 20001},
        {text("P5\n100 50\n255\n"), 5001}, {text("P6\n100 50\n255\n"), 15000}};
    for (const auto& [head, r] : fits)
        EXPECT_TRUE(classify_first(with(head, 300), 4096, r - 1) == PIECE_GENERIC &&
                    classify_first(with(head, 300), 4096, r) == PIECE_IMAGE) << head[0] << head[1];
    EXPECT_EQ(classify_first(with(text("P5 100 50\n255\n"), 300), 4096), PIECE_GENERIC);
    // A WAVE is compared with the whole entry.
    const Bytes wave = with(wave_header(2, 16, 20000 - 44 - 36), 300);
    EXPECT_EQ(classify_first(wave, 4096, 5000, 19999), PIECE_GENERIC);
    EXPECT_EQ(classify_first(wave, 4096, 5000, 20000), PIECE_AUDIO);
    // Sizes of 2.5 or 2 further pieces: the piece after them is analysed by its content (its header
    // unseen) or, when the count reaches 0 exactly, scanned; a size below the piece's ends at once.
    const uint32_t P = 65536;
    for (uint32_t further : {2 * P + P / 2, 2 * P, 0u}) {
        Bytes data = with(bmp_header(24, 256, 200, further ? P + further : 1000), 4000, 5 * P, 33);
        const Bytes later = bmp_header(8, 64, 64, 1000);
        std::copy(later.begin(), later.end(), data.begin() + (further ? 4 * P : P) + 100);
        start_entry(10 * P);
        block_analyser.analyse_header(data.data(), 0);
        std::vector<int32_t> kinds;
        for (uint32_t i = 0; i < 5; ++i) kinds.push_back(block_analyser.classify_piece(data.data() + i * P, P));
        const std::vector<int32_t> expect = !further            ? std::vector{5, 2, 2, 2, 2}
                                            : further == 2 * P ? std::vector{5, 5, 5, 2, 5}
                                                               : std::vector{5, 5, 5, 5, 2};
        EXPECT_EQ(kinds, expect) << further;
        EXPECT_EQ(block_analyser.media_bytes_left, further == 2 * P ? 1000 - int32_t(P) : 0) << further;
    }
}

TEST(BlockAnalyser, RealFilesGetTheirKinds)
{
    if (block_size == 0) allocate_work_memory(1 << 20);
    Bytes bmp8 = bmp_header(8, 300, 250, 1078 + 300 * 250), fasta = text(">chr7 made up\n");
    for (int i = 0; i < 256; ++i) bmp8.insert(bmp8.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});  // palette
    for (const uint8_t b : dna_letters(150000, 6)) fasta.push_back(fasta.size() % 61 == 60 ? '\n' : b & ~0x20);
    struct Sample { const char* name; Bytes data; int32_t file_kind, piece_kind, width; std::pair<int, int> params; };
    const int32_t image = PIECE_IMAGE, audio = PIECE_AUDIO, generic = PIECE_GENERIC;
    const Sample samples[] = {  // BMP rows padded to 4 bytes; table values clear of the letters
        {"24-bit BMP", pixels(bmp_header(24, 170, 130, 54 + 172 * 3 * 130), 170, 130, 3, 2, 1), image, image, 170,
         {1, 3}},
        {"8-bit BMP", pixels(bmp8, 300, 250, 1, 0, 2), image, image, 300, {1, 1}},
        {"PPM", pixels(text("P6\n# made by hand\n200 150\n255\n"), 200, 150, 3, 0, 3), image, image, 200, {1, 3}},
        {"PGM", pixels(text("P5\n# made by hand\n200 150\n255\n"), 200, 150, 1, 0, 3), image, image, 200, {1, 1}},
        {"TGA", pixels(put(Bytes(18), {{2, 2, 1}, {12, 180, 2}, {14, 120, 2}, {16, 24, 1}}), 180, 120, 3, 0, 4), image,
         image, 180, {1, 3}},
        {"16-bit WAVE", walk(wave_header(2, 16, 240000), 120000, 2, 0, 200, 16), audio, audio, 0, {2, 2}},
        {"24-bit WAVE", walk(wave_header(2, 24, 360000), 120000, 3, 0, 50000, 24), audio, audio, 0, {1, 6}},
        {"FASTA", fasta, generic, PIECE_DNA, 0, {}},
        {"text", text_bytes(200000, 7), generic, generic, 0, {}},
        {"16-bit table", walk({}, 100000, 2, 1000, 8, 8), generic, PIECE_STRIDE + 1, 0, {}},
        {"32-bit table", walk({}, 50000, 4, 0xC00000, 3000, 9), generic, PIECE_STRIDE + 3, 0, {}}};
    for (Sample s : samples) {
        // As the entry writer drives it: the first block sniffed, then pieces of 16 and 64 KiB.
        start_entry(int64_t(s.data.size()));
        EXPECT_EQ(block_analyser.analyse_header(s.data.data(), uint32_t(s.data.size())), s.file_kind) << s.name;
        for (uint32_t pos = 0, len = 16384; pos < s.data.size(); pos += len, len = 65536)
            EXPECT_EQ(block_analyser.classify_piece(s.data.data() + pos, std::min<uint32_t>(len, s.data.size() - pos)),
                      s.piece_kind) << s.name << " at " << pos;
        EXPECT_TRUE(s.width == 0 || image_width == s.width) << s.name;
        EXPECT_TRUE(s.file_kind == PIECE_GENERIC || media() == s.params) << s.name;
    }
}

TEST(BlockAnalyser, PiecesFromTheMiddleOfAFileTakeItsContext)
{
    if (block_size == 0) allocate_work_memory(1 << 20);
    TempDir dir;
    // analyse_piece_start for an entry of `length` bytes at `offset` of `file`.
    const auto start = [&](const Bytes& file, uint64_t offset, int64_t length) {
        const std::string path = dir.path() + "/f";
        write_file_bytes(path, file);
        FileHandle h = open_file(path.c_str(), FILE_READ, OPEN_EXISTING_FILE);
        const PieceStart piece = analyse_piece_start(h, offset, length);
        close_file(h);
        input_size = length, piece_done = 0;
        return std::make_pair(piece.kind, piece.lead_bytes);
    };
    using Start = std::pair<int32_t, uint32_t>;

    // Whole-file headers, judged by the file's length: a piece starts on a
    // whole frame or pixel counted from where the samples or pixels begin.
    const Bytes wave = walk(wave_header(2, 16, 400000), 200000, 2, 0, 200, 1);
    EXPECT_EQ(start(wave, 1001, 1000), Start(PIECE_AUDIO, 3));
    EXPECT_EQ(media(), std::make_pair(2, 2));
    Bytes listed = wave_header(2, 16, 400000);  // a LIST chunk of 10 bytes before the samples
    listed.insert(listed.begin() + 36, {'L', 'I', 'S', 'T', 10, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(start(walk(listed, 200000, 2, 0, 200, 1), 1001, 1000), Start(PIECE_AUDIO, 1));
    const Bytes ppm = pixels(text("P6\n# made by hand\n200 150\n255\n"), 200, 150, 3, 0, 2);  // pixels from 30
    EXPECT_EQ(start(ppm, 30 + 3000 + 1, 2000), Start(PIECE_IMAGE, 2));
    EXPECT_EQ(image_width, 200);
    EXPECT_EQ(start(ppm, 30 + 3000, 2000), Start(PIECE_IMAGE, 0));
    EXPECT_EQ(start(dna_letters(300000, 3), 100000, 2000), Start(PIECE_GENERIC, 0));

    // A WAVE of 6 pieces' size inside other data, its header 100 bytes into
    // a piece: followed from there to the piece where its size runs out.
    const uint32_t P = 65536;
    Bytes mixed = text_bytes(2 * P, 4);
    const Bytes inner = walk(wave_header(2, 16, 6 * P - 44 - 100), (6 * P - 144) / 4, 2, 0, 200, 5);
    mixed.resize(2 * P + 100, ' ');
    mixed.insert(mixed.end(), inner.begin(), inner.end());
    const Bytes after = text_bytes(4 * P, 6);
    mixed.insert(mixed.end(), after.begin(), after.end());
    const uint64_t samples = 2 * P + 100 + 44;
    EXPECT_EQ(start(mixed, samples + 4 * 1000 + 2, P), Start(PIECE_AUDIO, 2));
    EXPECT_EQ(media(), std::make_pair(2, 2));
    EXPECT_EQ(start(mixed, 8 * P - 1000, P), Start(PIECE_AUDIO, 0));
    EXPECT_EQ(start(mixed, 8 * P, P), Start(PIECE_GENERIC, 0));
    // A piece that starts before the header follows the object past its own
    // end, which an entry of the same bytes alone would not.
    Bytes piece(mixed.begin() + 2 * P, mixed.begin() + 3 * P);
    EXPECT_EQ(start(mixed, 2 * P, P), Start(PIECE_GENERIC, 0));
    EXPECT_EQ(block_analyser.classify_piece(piece.data(), P), PIECE_AUDIO);
    start_entry(P);
    block_analyser.analyse_header(piece.data(), 0);
    EXPECT_NE(block_analyser.classify_piece(piece.data(), P), PIECE_AUDIO);
}
