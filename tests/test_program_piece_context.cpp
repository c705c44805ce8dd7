// Audio and image files cut into pieces by a run with tasks: every piece is
// coded as knowing the file's format, so the archive stays about as small as
// one process makes it, and it extracts byte for byte every way.
#include <cmath>
#include <random>

#include "tests/test_program_support.h"

using namespace program_test;
using Lines = std::vector<std::string>;

namespace {

constexpr size_t MiB = 1 << 20;

void put_le(std::string& s, size_t at, uint32_t v, int bytes)
{
    for (int k = 0; k < bytes; ++k) s[at + k] = static_cast<char>(v >> (8 * k));
}

// A 16-bit stereo WAVE of `frames` frames: two voices of slowly gliding
// tones with a little noise, and `tail` bytes after the samples.
std::string wave_file(size_t frames, size_t tail)
{
    const uint32_t data = static_cast<uint32_t>(4 * frames);
    // PCM, 2 channels, 44100 frames a second, 4 bytes a frame, 16 bits.
    std::string s("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xAC\0\0\x10\xB1\x02\0\x04\0\x10\0data\0\0\0\0", 44);
    put_le(s, 4, 36 + data, 4);
    put_le(s, 40, data, 4);
    s.resize(44 + 4 * frames + tail, '\0');
    std::mt19937 rng(7);
    double phase = 0;
    for (size_t i = 0; i < frames; ++i) {
        phase += 0.02 + 0.015 * std::sin(static_cast<double>(i) / 30000);
        const double amp = 6000 + 5000 * std::sin(static_cast<double>(i) / 70000);
        const int left = static_cast<int>(amp * std::sin(phase) + 0.3 * amp * std::sin(2.7 * phase + 1)) +
                         static_cast<int>(rng() % 9) - 4;
        const int right = static_cast<int>(0.6 * left + 0.4 * amp * std::sin(1.3 * phase)) +
                          static_cast<int>(rng() % 9) - 4;
        put_le(s, 44 + 4 * i, static_cast<uint32_t>(left), 2);
        put_le(s, 46 + 4 * i, static_cast<uint32_t>(right), 2);
    }
    return s;
}

// A 24-bit BMP of width x height pixels whose header is followed by two
// bytes before the pixels. Along the image, read row after row, each colour
// component follows a tone of its own that glides slowly, with a little
// noise: smooth from pixel to pixel, as photographs are.
std::string bmp_file(uint32_t width, uint32_t height)
{
    const uint32_t pixels = 3 * width * height;
    std::string s(56, '\0');
    const uint32_t fields[][3] = {{0, 0x4D42, 2}, {2, 56 + pixels, 4}, {10, 56, 4}, {14, 40, 4},
                                  {18, width, 4}, {22, height, 4},     {26, 1, 2},  {28, 24, 2}};
    for (const auto& f : fields) put_le(s, f[0], f[1], static_cast<int>(f[2]));
    s.reserve(56 + pixels);
    std::mt19937 rng(11);
    double phase[3] = {0, 1, 2};
    for (uint32_t i = 0; i < width * height; ++i) {
        const double t = static_cast<double>(i);
        const double amp = 40 + 25 * std::sin(t / 70000);
        for (int k = 0; k < 3; ++k) {
            phase[k] += 0.02 + 0.015 * std::sin(t / (30000 + 7000 * k));
            const int v = static_cast<int>(128 + amp * std::sin(phase[k]) + 0.3 * amp * std::sin(2.7 * phase[k] + k)) +
                          static_cast<int>(rng() % 3) - 1;
            s.push_back(static_cast<char>(v));
        }
    }
    return s;
}

class PieceContext : public TaskProgramTest {
protected:
    // Packs `file` in one process and with each task count: every archive
    // made with tasks is at most 2 % larger than the one of one process, and
    // extracts byte for byte in one process and with tasks.
    void expect_close_to_one_process(const std::string& file, const Lines& task_switches)
    {
        ASSERT_EQ(run({"a", "one", file}).code, 0);
        const double one = static_cast<double>(size_of("one"));
        for (const std::string& tasks : task_switches) {
            const std::string archive = "arc" + tasks;
            ASSERT_EQ(run({"a", tasks, archive, file}).code, 0);
            EXPECT_LE(static_cast<double>(size_of(archive)), 1.02 * one) << file << " " << tasks;
            for (const Lines& how : {Lines{"x"}, Lines{"x", "-t3"}}) {
                const std::string out = "out" + std::to_string(++extractions_) + "/";
                Lines args = how;
                args.insert(args.end(), {archive, out});
                EXPECT_EQ(lines_of(run(args).out).back(), " OK! ");
                EXPECT_TRUE(exists(out + file) && read(out + file) == read(file)) << archive << " " << out;
            }
        }
    }

    int extractions_ = 0;
};

}  // namespace

TEST_F(PieceContext, BmpFilesCutAnywhereKeepTheirImageFilter)
{
    // With -t2 the second piece, and with -t4 the third, starts inside a pixel.
    write("picture.bmp", bmp_file(2000, 2900));
    ASSERT_EQ((size_of("picture.bmp") / 2 - 56) % 3, 2);
    expect_close_to_one_process("picture.bmp", {"-t2", "-t4"});
}

TEST_F(PieceContext, WaveFilesCutAnywhereKeepTheirAudioFilter)
{
    // With -t2 the second piece starts at half the file, which falls in the
    // middle of a frame; with -t4 the pieces start on 8 MiB boundaries.
    write("voice.wav", wave_file((17 * MiB + 2) / 4, 3));
    ASSERT_NE((size_of("voice.wav") / 2 - 44) % 4, 0);
    expect_close_to_one_process("voice.wav", {"-t2", "-t4"});
}
