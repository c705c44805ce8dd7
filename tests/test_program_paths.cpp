// Paths as a Linux user meets them: every run here starts in a current
// directory whose path holds dots, blanks and more than 260 characters.
#include <algorithm>

#include "tests/test_program_support.h"

using namespace program_test;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

class ProgramPaths : public ProgramTest {
protected:
    void SetUp() override
    {
        ASSERT_GT(work_.size(), 260u);
        fs::create_directories(work_);
        put("f.txt", "some text\n");
        put("sub/a.c", "int a;\n");
        put("sub/b.h", "int b;\n");
    }
    // Paths below the current directory of the runs.
    std::string in(const std::string& rel) const { return work_ + "/" + rel; }
    void put(const std::string& rel, const std::string& text) const { write(rel_ + "/" + rel, text); }
    std::string get(const std::string& rel) const { return read(rel_ + "/" + rel); }
    Outcome go(const Lines& args, const std::string& sub = "") const { return run(args, rel_ + (sub.empty() ? "" : "/" + sub)); }
    // The lines of a run after the banner that `a` and `x` print.
    static Lines body(const Outcome& r)
    {
        const Lines lines = lines_of(r.out);
        return lines.size() < 2 ? lines : Lines(lines.begin() + 2, lines.end());
    }
    Lines listed(const std::string& archive) const
    {
        const Lines lines = lines_of(go({"l", archive}).out);
        return lines.size() < 2 ? lines : Lines(lines.begin() + 1, lines.end() - 1);
    }

    const std::string leaf_ = "x y." + std::string(130, 'z');  // the current directory's own name
    const std::string rel_ = "my project-1.2/build.d " + std::string(130, 'w') + "/" + leaf_;
    const std::string work_ = at(rel_);
};

}  // namespace

// Every path the program prints is one a shell takes back: '/' throughout,
// also where the user typed '\'.
TEST_F(ProgramPaths, PrintedPathsUseTheNativeSeparator)
{
    Outcome r = go({"a", "arc", "f.txt"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(body(r).at(0), "Archive is " + in("arc") + " ");
    r = go({"l", "arc"});
    EXPECT_EQ(r.out, "Archive List ... " + in("arc") + " \nf.txt\n n.1 files in archive " + in("arc") + " \n");
    EXPECT_EQ(r.code, 1);

    fs::create_directories(in("ro/f.txt"));  // a directory where the file would go
    r = go({"x", "-v", "arc", "out", "o2\\", "ro"});
    EXPECT_EQ(body(r), (Lines{"ARGV=out", "Archive=" + in("arc") + " Wild=* DEST=" + in("out/"),
                              " " + in("out/f.txt") + " ", "ARGV=o2\\",
                              "Archive=" + in("arc") + " Wild=* DEST=" + in("o2/"), " " + in("o2/f.txt") + " ",
                              "ARGV=ro", "Archive=" + in("arc") + " Wild=* DEST=" + in("ro/"),
                              "Error: cannot open Output file " + in("ro/f.txt"), " OK! "}));
    EXPECT_TRUE(get("out/f.txt") == get("f.txt") && get("o2/f.txt") == get("f.txt"));

    // The usage text, and `l` of an absolute path, need no current directory.
    r = go({});
    EXPECT_EQ(lines_of(r.out).size(), 28u);
    EXPECT_EQ(go({"l", in("arc")}).out, "Archive List ... " + in("arc") + " \nf.txt\n n.1 files in archive " +
                                            in("arc") + " \n");
}

// Whether an argument is a pattern or a directory, and what a single
// argument's archive is called, follow the argument as typed, whatever
// dots the current directory's path holds.
TEST_F(ProgramPaths, ArgumentsAreReadAsTyped)
{
    ASSERT_EQ(go({"a", "arc", "f.txt"}).code, 0);
    Outcome r = go({"x", "arc", "out"});
    EXPECT_EQ(body(r).at(1), "Archive=" + in("arc") + " Wild=* DEST=" + in("out/"));
    EXPECT_EQ(get("out/f.txt"), get("f.txt"));
    // "." and ".." are directories too, not patterns.
    fs::create_directories(in("deeper"));
    r = go({"x", "../arc", ".."}, "deeper");
    EXPECT_EQ(body(r).at(1), "Archive=" + in("deeper/../arc") + " Wild=* DEST=" + in("deeper/../"));
    EXPECT_EQ(get("f.txt"), "some text\n");

    // One argument: a directory gives <dir>.zdl of its files; a file, or a
    // path through "." or "..", gives the archive the name of the directory
    // it leads to.
    const struct {
        std::string arg, from, archive;
        Lines stored;
    } cases[] = {
        {"sub", "", "sub.zdl", {"sub/a.c", "sub/b.h"}},
        {"sub/.", "", "sub.zdl", {"sub/a.c", "sub/b.h"}},
        {"sub/", "", "sub.zdl", {"sub/a.c", "sub/b.h"}},
        {"f.txt", "", leaf_ + ".zdl", {"f.txt"}},
        {"./f.txt", "", leaf_ + ".zdl", {"f.txt"}},
        {"../f.txt", "sub", "sub/" + leaf_ + ".zdl", {"f.txt"}},
        {"sub/..", "", leaf_ + ".zdl", {"arc", "f.txt"}},
        {"../sub", "deeper", "deeper/sub.zdl", {"sub/a.c", "sub/b.h"}},
    };
    for (const auto& c : cases) {
        fs::remove(in(c.archive));
        r = go({"a", c.arg}, c.from);
        EXPECT_EQ(body(r).at(1), "Archive is " + in(c.archive) + " ") << c.arg;
        Lines got = listed(c.archive);
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, c.stored) << c.arg;
        fs::remove(in(c.archive));
    }
}

// `a` stores no ".." (so every archive it writes extracts), no "." and no
// empty part; a leading "../" is dropped with one line per run.
TEST_F(ProgramPaths, StoredDirectoriesAlwaysExtract)
{
    put("src/x.c", "x\n");
    put("src/y.c", "y\n");
    fs::create_directories(in("build"));
    Outcome r = go({"a", "../arc", "../src/*.c", "./../f.txt", "..//sub/./a.c"}, "build");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 5) << r.out;
    EXPECT_NE(r.out.find("\nRemoving leading ../ from stored names\n"), std::string::npos) << r.out;
    Lines stored = listed("arc");
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, (Lines{"f.txt", "src/x.c", "src/y.c", "sub/a.c"}));
    r = go({"x", "arc", "out/"});
    EXPECT_EQ(r.out.find("Error"), std::string::npos) << r.out;
    EXPECT_EQ(tree_of(in("out")), (Lines{"f.txt", "src/", "src/x.c", "src/y.c", "sub/", "sub/a.c"}));
    EXPECT_EQ(get("out/src/y.c"), "y\n");

    // Stored names keep their limit of 260 characters, refused at `a` with a
    // line: here the current directory's own path is stored for every file.
    r = go({"a", "everything"});
    EXPECT_NE(r.out.find("Error: path too long, skipped " + in("f.txt") + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" Compressed 0 bytes"), std::string::npos) << r.out;
}

// Names that are plain names on Linux: a '\' in a file name, a ':' as
// second character.
TEST_F(ProgramPaths, NamesWithBackslashOrColon)
{
    put("back\\slash.txt", "cannot be packed\n");
    put("a:b.txt", "colon\n");
    put("X:/inside.txt", "in a directory named X:\n");
    Outcome r = go({"a", "arc", "*.txt"});
    EXPECT_NE(r.out.find("Error: cannot open Input file back\\slash.txt\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" Compressed 16 bytes"), std::string::npos) << r.out;  // f.txt and a:b.txt
    r = go({"a", "arc", "a:b.txt"});
    EXPECT_NE(r.out.find(" Compressed 6 bytes"), std::string::npos) << r.out;
    r = go({"a", "-r", "arc", "X:"});
    EXPECT_NE(r.out.find(" Compressed 24 bytes"), std::string::npos) << r.out;
    // Equal extensions keep the order of the names in their directory.
    EXPECT_EQ(listed("arc"), (Lines{"a:b.txt", "f.txt", "a:b.txt", "X:/inside.txt"}));
    ASSERT_EQ(go({"x", "arc", "X:"}).code, 1);  // a destination named X:
    EXPECT_EQ(get("X:/X:/inside.txt"), get("X:/inside.txt"));
    EXPECT_EQ(get("X:/a:b.txt"), "colon\n");
}

// Stored names from a hostile archive reach the terminal with their control
// bytes shown as '?', in every line of `x` as in `l`.
TEST_F(ProgramPaths, ControlBytesOfStoredNamesAreMasked)
{
    ASSERT_EQ(go({"a", "arc", "f.txt", "sub/a.c", "sub/b.h"}).code, 0);
    std::vector<StoredEntry> e = entries(rel_ + "/arc");
    ASSERT_EQ(e.size(), 3u);
    e[0].dir = "d\x1b]0;x\x07/";
    e[1].dir = "../\x1b[2J";
    e[2].dir = "blocked\x01/";
    test_support::write_file_bytes(in("bad"), build_archive(e));
    fs::create_directories(in("out/blocked\x01/" + e[2].name));  // in the way of the third
    const Outcome r = go({"x", "-v", "bad", "out/"});
    EXPECT_EQ(body(r), (Lines{"ARGV=out/", "Archive=" + in("bad") + " Wild=* DEST=" + in("out/"),
                              " " + in("out/d?]0;x?/" + e[0].name) + " ",
                              "Error: unsafe path ../?[2J" + e[1].name + " in archive, not extracted",
                              "Error: cannot open Output file " + in("out/blocked?/" + e[2].name), " OK! "}));
    EXPECT_EQ(get("out/d\x1b]0;x\x07/" + e[0].name), get("sub/" + e[0].name));
}
