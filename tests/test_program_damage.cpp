// Damaged and hostile archives given to `x` and `l`: one line and exit code
// 1 for damage, and nothing written outside the destination.
#include <algorithm>
#include <random>
#include <sys/stat.h>

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
                      solid = "an entry continues a solid run that was not decoded before it",
                      fresh = "an entry that is not solid does not start its models afresh";
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
        {changed(plain_, [](auto& e) { e[0].reset = 0; }), fresh},
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

// An entry ends where its length says, its streams are used up there, and
// its piece lies within the bytes its file holds in the archive.
TEST_F(ProgramDamage, EntriesEndWhereTheyShould)
{
    Bytes swallowing = build_archive(plain_);  // the first entry's length takes in the second
    const uint64_t both = plain_[2].offset;
    for (int i = 0; i < 8; ++i) swallowing[i] = static_cast<uint8_t>(both >> (8 * i));
    std::vector<StoredEntry> unread = plain_, far = plain_;
    unread[0].piece_length = 0;  // its coded data would go unread
    far[1].piece_offset = uint64_t(1) << 40;
    const std::pair<Bytes, std::string> cases[] = {
        {swallowing, ""},  // whatever the next header's bytes look like as chunks
        {build_archive(unread), "an entry holds data that its pieces never use"},
        {build_archive(far), "a piece lies beyond the bytes its file holds"},
    };
    for (const auto& [bytes, reason] : cases) {
        for (const Lines& args : {Lines{"l", "bad"}, Lines{"x", "bad", "out/"}}) {
            if (args[0] == "l" && &bytes == &cases[1].first) continue;  // found only by decoding
            const Outcome r = run_on(bytes, args);
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(last_line(r.out).rfind("Error: archive " + shown("bad") + " is damaged: " + reason, 0), 0u)
                << args[0] << "\n" << r.out;
        }
    }
    EXPECT_FALSE(exists("out/c.three"));  // no sparse terabyte
    EXPECT_EQ(outside(), before_ + 1);
}

// Links already in the destination are never followed: an entry whose path
// meets one is reported and not written, and the rest are extracted.
TEST_F(ProgramDamage, LinksInTheDestinationAreNotFollowed)
{
    std::vector<StoredEntry> e = plain_;
    e[0].dir = "sub/";  // sub/a.one, c.three, b.two
    test_support::write_file_bytes(at("bad"), build_archive(e));
    write("elsewhere/keep", "");
    write("victim", "keep me");
    std::filesystem::create_directories(at("out"));
    std::filesystem::create_directory_symlink(at("elsewhere"), at("out/sub"));
    std::filesystem::create_symlink(at("victim"), at("out/c.three"));
    std::filesystem::create_symlink(at("ghost"), at("out/b.two"));
    const Outcome r = run({"x", "bad", "out/"});
    const Lines lines = lines_of(r.out);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("Error: symbolic link in the way of ", 0) == 0; }),
              3) << r.out;
    EXPECT_EQ(last_line(r.out), " OK! ");
    EXPECT_EQ(tree_of(at("elsewhere")), Lines{"keep"});
    EXPECT_EQ(read("victim"), "keep me");
    EXPECT_FALSE(exists("ghost"));
    EXPECT_TRUE(std::filesystem::is_symlink(at("out/c.three")));

    // A link to a directory given as the destination itself is the user's choice.
    std::filesystem::create_directory_symlink(at("elsewhere"), at("chosen"));
    EXPECT_EQ(run({"x", "bad", "chosen/"}).out.find("Error"), std::string::npos);
    EXPECT_EQ(read("elsewhere/c.three"), read("in/c.three"));
}

// An archive must be a regular file: a FIFO is refused at once, by every command.
TEST_F(ProgramDamage, ArchiveThatIsNoFileIsRefused)
{
    ASSERT_EQ(mkfifo(at("fifo").c_str(), 0600), 0);
    for (const char* command : {"l", "x"}) {
        const Outcome r = run({command, "fifo"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(last_line(r.out), "Error: cannot open Archive file " + shown("fifo")) << command;
    }
    const Outcome r = run({"a", "fifo", "in/a.one"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(last_line(r.out), "Error: cannot open Output file " + shown("fifo"));
}

// `a` appends only behind sound entries: an entry cut off by an interruption
// is cut away, and a file that is not an archive is refused untouched.
TEST_F(ProgramDamage, AppendOnlyBehindSoundEntries)
{
    write("in/d.four", text_of(3000, 'd'));
    Bytes cut = build_archive(plain_);
    for (int i = 0; i < 8; ++i) cut[plain_[2].offset + i] = 0;  // b.two's length never written
    test_support::write_file_bytes(at("arch"), cut);
    Outcome r = run({"a", "-m0", "../arch", "d.four"}, "in");
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find(" ends in an entry whose writing was cut off: cut back to " +
                         std::to_string(plain_[2].offset) + " bytes\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(listing("arch"), (Lines{"a.one", "c.three", "d.four"}));
    run({"x", "arch", "out/"});
    EXPECT_TRUE(read("out/a.one") == read("in/a.one") && read("out/d.four") == read("in/d.four"));

    // Forgotten archive names, archives with bytes behind their last entry:
    // not archives, left as they were.
    Bytes trailing = build_archive(plain_);
    trailing.insert(trailing.end(), {1, 2, 3});
    test_support::write_file_bytes(at("in/trailing"), trailing);
    write("in/one.c", "int main() { return 0; }\n");
    for (const char* target : {"one.c", "trailing"}) {
        const std::string before = read(std::string("in/") + target);
        r = run({"a", target, "d.four"}, "in");
        EXPECT_EQ(r.code, 1);
        const std::string last = last_line(r.out);
        EXPECT_TRUE(last.rfind("Error: ", 0) == 0 && last.find(std::string(target) + " is not an archive (") != std::string::npos)
            << r.out;
        EXPECT_EQ(read(std::string("in/") + target), before);
    }

    // An empty file is an empty archive.
    write("empty", "");
    EXPECT_EQ(run({"a", "-m0", "../empty", "d.four"}, "in").code, 0);
    EXPECT_EQ(listing("empty"), Lines{"d.four"});
}

// Past a file-size limit writes fail like any other: `a` cuts its entry back
// and fails, `x` reports the file and goes on with the next.
TEST_F(ProgramDamage, FileSizeLimitFailsWritesCleanly)
{
    write("in/big", random_of(4 << 20, 7));
    ASSERT_EQ(run({"a", "-m0", "../arch", "a.one"}, "in").code, 0);
    const int64_t sound = size_of("arch");
    Outcome r = run_program(at("in"), {"a", "-m0", "../arch", "big"}, 0, 2 << 20);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(last_line(r.out).rfind("Error: cannot write Archive file ", 0), 0u) << r.out;
    EXPECT_EQ(size_of("arch"), sound);
    EXPECT_EQ(listing("arch"), Lines{"a.one"});

    ASSERT_EQ(run({"a", "-m0", "../both", "big", "b.two"}, "in").code, 0);
    r = run_program(home_, {"x", "both", "out/"}, 0, 2 << 20);
    EXPECT_NE(r.out.find("Error: cannot write Output file " + home_), std::string::npos) << r.out;
    EXPECT_EQ(last_line(r.out), " OK! ");
    EXPECT_EQ(read("out/b.two"), read("in/b.two"));
}
