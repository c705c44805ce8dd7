// Damaged and hostile archives given to `x` and `l`: one line and exit code
// 1 for damage, and nothing written outside the destination.
#include <random>

#include "tests/test_program_support.h"

using namespace program_test;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

namespace {

class ProgramDamage : public ProgramTest {
protected:
    void SetUp() override
    {
        for (const char* n : {"a.one", "b.two", "c.three"})
            write(std::string("in/") + n, text_of(n[0] == 'a' ? 40000 : 7000, n[0]));
        ASSERT_EQ(run({"a", "-m0", "../plain", "a.one", "b.two", "c.three"}, "in").code, 0);
        ASSERT_EQ(run({"a", "-m0", "-s", "../solid", "a.one", "b.two", "c.three"}, "in").code, 0);
        plain_ = entries("plain");
        solid_ = entries("solid");
        ASSERT_EQ(plain_.size(), 3u);  // a.one, c.three, b.two
        before_ = outside();
    }
    // The paths in the test directory that are not out/ or below it.
    size_t outside() const { return tree_of(home_).size() - exists("out") - tree_of(at("out")).size(); }
    // Runs the program on bytes written as the archive "bad", out/ removed first.
    Outcome run_on(const Bytes& bytes, const Lines& args = {"x", "bad", "out/"})
    {
        test_support::write_file_bytes(at("bad"), bytes);
        std::filesystem::remove_all(at("out"));
        return run(args);
    }
    std::vector<StoredEntry> plain_, solid_;
    size_t before_ = 0;
};

std::string last_line(const std::string& out) { return lines_of("\n" + out).back(); }

}  // namespace

// One case per guard: `l` (for damaged headers) and `x` end with exit code 1
// and the one line that names the fault, after the entries before it.
TEST_F(ProgramDamage, EachGuardReportsOneLine)
{
    const Bytes plain = build_archive(plain_);
    auto patched = [&](size_t at, uint64_t value, int width) {
        Bytes b = plain;
        for (int i = 0; i < width; ++i) b.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
        return b;
    };
    auto changed = [](std::vector<StoredEntry> e, void (*change)(std::vector<StoredEntry>&)) {
        return change(e), build_archive(e);
    };
    const size_t name0 = plain_[0].name.size(), second = plain_[1].offset, last = plain_[2].offset;
    const std::string range = "an entry length is out of range", name = "a name in an entry header is out of range",
                      block = "an entry's block size is out of range",
                      solid = "an entry continues a solid run that was not decoded before it";
    const std::pair<Bytes, std::string> cases[] = {  // the first seven are header damage, which `l` finds too
        {patched(second, 0, 8), range},
        {Bytes(plain.begin(), plain.end() - 7), range},
        {Bytes(plain.begin(), plain.begin() + long(last) + 14), "an entry header is cut short"},
        {patched(10, 0, 2), name},
        {patched(13 + name0, 65535, 2), name},
        {patched(10, name0, 2), "a name in an entry header is not terminated"},
        {changed(plain_, [](auto& e) { e[0].name.assign(200, 'n'), e[0].dir.assign(70, 'd'); }),
         "a stored path is too long"},
        {changed(plain_, [](auto& e) { e[0].block_size = 0; }), block},
        {changed(plain_, [](auto& e) { e[0].block_size = 512u << 20; }), block},
        {changed(plain_, [](auto& e) { e[0].reset = 0; }), solid},
        {changed(solid_, [](auto& e) { e[1].block_size = 2 << 20; }), solid},
        {changed(plain_, [](auto& e) { e[0].piece_length = 80000; }), "a stream ends before its data"},
        {changed(plain_, [](auto& e) { e[0].chunks[0] = 9; }), "unknown chunk tag"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [bytes, reason] = cases[i];
        for (const Lines& args : {Lines{"l", "bad"}, Lines{"x", "bad", "out/"}}) {
            if (args[0] == "l" && i >= 7) continue;
            const Outcome r = run_on(bytes, args);
            EXPECT_TRUE(r.code == 1 && r.err.empty() && r.out.find("Error") == r.out.rfind("Error")) << r.out << r.err;
            EXPECT_EQ(last_line(r.out), "Error: archive " + shown("bad") + " is damaged: " + reason);
        }
        EXPECT_TRUE(reason != range || read("out/a.one") == read("in/a.one"));  // the entry before it is whole
    }
    const Outcome r = run_on(changed(plain_, [](auto& e) { e[1].piece_length = -1; }));  // its own message
    EXPECT_TRUE(r.code == 1 && r.err == "size error\n" && r.out.find("Error") == std::string::npos) << r.out;
}

TEST_F(ProgramDamage, ChangedBytesNeverCrashOrWriteOutside)
{
    std::mt19937 rng(12345);
    int damaged = 0;
    for (int round = 0; round < 40; ++round) {
        const std::vector<StoredEntry>& entries = round % 2 ? solid_ : plain_;
        Bytes b = build_archive(entries);
        for (int c = 1 + static_cast<int>(rng() % 3); c > 0; --c) {
            // A third of the changes hit the first 64 bytes of an entry.
            const size_t at = rng() % 3 ? rng() % b.size() : (entries[rng() % 3].offset + rng() % 64) % b.size();
            b[at] = static_cast<uint8_t>(rng());
        }
        if (rng() % 8 == 0) b.resize(rng() % b.size());
        const Outcome l = run_on(b, {"l", "bad"}), r = run_on(b);
        const std::string last = last_line(r.out);
        damaged += last != " OK! ";
        const bool reported = r.err == "size error\n" || last.rfind("Error: archive " + shown("bad") + " is", 0) == 0;
        EXPECT_TRUE(l.code == 1 && r.code == 1 && (last == " OK! " || reported)) << "round " << round << "\n" << r.out;
    }
    EXPECT_GT(damaged, 20);
    EXPECT_EQ(outside(), before_ + 1);  // and the archive "bad"
}

// Stored names that would leave the destination are refused, one line
// each; the entries after them (in a solid run too) are still extracted.
TEST_F(ProgramDamage, HostileNames)
{
    const std::pair<const char*, const char*> hostile[] = {
        {"../", "evil.txt"}, {"a/../../", "evil.txt"}, {"..\\", "evil.txt"}, {"x/..\\..\\", "evil.txt"},
        {"", ".."},          {"", "../evil.txt"},      {"", "..\\evil.txt"}, {"", "."},
        {"", ""},            {"..", "evil.txt"},       {"sub/../", "evil.txt"},
    };
    for (const auto& h : hostile) {
        for (std::vector<StoredEntry> e : {plain_, solid_}) {
            e[0].dir = h.first;
            e[0].name = h.second;
            // One level down, so that a single ".." would still land in out/.
            const Outcome r = run_on(build_archive(e), {"x", "bad", "out/inner/"});
            const std::string what = std::string(h.first) + h.second + (e[0].solid ? " solid\n" : "\n") + r.out;
            const size_t error = r.out.find("\nError: unsafe path ");
            EXPECT_TRUE(error != std::string::npos && error + 1 == r.out.rfind("Error")) << what;
            EXPECT_EQ(last_line(r.out), " OK! ") << what;
            EXPECT_EQ(tree_of(at("out")), (Lines{"inner/", "inner/b.two", "inner/c.three"})) << what;
            EXPECT_TRUE(read("out/inner/b.two") == read("in/b.two")) << what;
        }
    }
    EXPECT_EQ(outside(), before_ + 1);  // and the archive "bad"

    // Absolute directories are taken as relative to the destination.
    std::vector<StoredEntry> e = plain_;
    e[0].dir = "/abs/olute/";
    e[1].dir = "//double//";
    EXPECT_EQ(run_on(build_archive(e)).out.find("Error"), std::string::npos);
    EXPECT_TRUE(read("out/abs/olute/a.one") == read("in/a.one") && read("out/double/c.three") == read("in/c.three"));

    // `l` shows control bytes as '?'.
    e[0].dir = "d\x01/";
    e[0].name = "a\x1b[2Jb\x07\x7f.txt";
    e[1].name = "caf\xc3\xa9.three";
    test_support::write_file_bytes(at("odd"), build_archive(e));
    EXPECT_EQ(listing("odd"), (Lines{"d?/a?[2Jb??.txt", "//double//caf\xc3\xa9.three", "b.two"}));
}
