// Image files cut into pieces by a run with tasks: every piece is
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

// A 24-bit BMP of width x height pixels whose header is followed by two
// bytes before the pixels. Along the image, read row after row, each colour
// component follows a tone of its own that glides slowly, with a little
// noise: smooth from pixel to pixel, as photographs are.
std::string bmp_file(uint32_t width, uint32_t height)
{
    const uint32_t pixels = 3 * width * height;
    std::string s(56, '\0');
    s.replace(0, 2, "BM");
    put_le(s, 2, 56 + pixels, 4);
    put_le(s, 10, 56, 4);
    put_le(s, 14, 40, 4);
    put_le(s, 18, width, 4);
    put_le(s, 22, height, 4);
    put_le(s, 26, 1, 2);
    put_le(s, 28, 24, 2);
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

class PieceContext : public ProgramTest {
protected:
    void SetUp() override
    {
        if (program_is_emulated())
            GTEST_SKIP() << "qemu-user cannot follow the copies of the program that a master starts";
    }

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
