// The program run as a user runs it: commands, switches, archive naming,
// the input walk, extraction destinations, listing and the console texts.
#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "tests/test_program_support.h"

using namespace program_test;

namespace {

// The usage text: each line with the number of blanks before its line end.
// Line 2 is the banner's second line, checked against the banner.
struct UsageLine {
    const char* text;
    int blanks;
};
const UsageLine USAGE[] = {
    {"Zendal Archiver v.2.5.  Demo version.", 43},
    {nullptr, 0},
    {"Usage: Zendal <command> -<switch ..> <archive> <files...> <in path> <out path>", 3},
    {"<Commands>", 69},
    {" a                 Add files to archive", 40},
    {" x                 Extract files in destination path", 27},
    {" l                 List archive", 48},
    {"", 79},
    {"<Switches>", 68},
    {" t<0...99>         number of task (0=autodetect,default=1)", 22},
    {" r                 Recurse subdirectories", 38},
    {" s                 Solid Mode ON", 47},
    {" v                 Verbose Mode", 48},
    {" m                 [default -m4] Compression Method/Memory (-m0 ... -m8)", 7},
    {"", 79},
    {"< Examples of compression >", 52},
    {"Zendal a c:\\archive c:\\infile", 49},
    {"Zendal a -m0 c:\\archive c:\\infile", 45},
    {"Zendal a -r -t4 c:\\archive c:\\path", 44},
    {"Zendal a -r -s archive path", 53},
    {"Zendal a -r archive path\\*.bmp", 49},
    {"Zendal a -r -m2 -t2 archive *", 51},
    {"< Example of decompression >", 51},
    {"Zendal x -t0 c:\\archive c:\\outpath", 44},
    {"Zendal x -t4 archive outpath", 52},
    {"Zendal x archive outpath\\*.bmp", 49},
    {"", 79},
    {" Suppor for multi method for compression/decompression", 25},
};

std::string usage_line(int i) { return std::string(USAGE[i].text) + std::string(USAGE[i].blanks, ' '); }

// The banner as `a` prints it: the first two lines of the usage text.
std::string banner_of(const Outcome& r)
{
    const std::vector<std::string> lines = lines_of(r.out);
    return lines.size() >= 2 ? lines[0] + "\n" + lines[1] + "\n" : std::string();
}

int64_t size_of(const std::string& path)
{
    std::error_code ec;
    const auto n = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(n);
}

std::string summary(int64_t in, int64_t out)
{
    return " Compressed " + std::to_string(in) + " bytes to " + std::to_string(out) + " bytes \n";
}

int processor_count()
{
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : static_cast<int>(n);
}

class ProgramConsole : public ProgramTest {
protected:
    void SetUp() override
    {
        write("f.txt", "some text for the archive\n");
        write("src/x.c", "int main() { return 0; }\n");
        const Outcome r = run({"a", "probe", "f.txt"});
        banner_ = banner_of(r);
        ASSERT_EQ(lines_of(banner_).size(), 2u);
        ASSERT_EQ(lines_of(banner_)[0], usage_line(0));
        unlink(at("probe").c_str());
    }
    // The exact usage text.
    std::string usage() const
    {
        std::string text;
        for (int i = 0; i < 28; ++i) text += i == 1 ? lines_of(banner_)[1] + "\n" : usage_line(i) + "\n";
        return text;
    }
    uint32_t block_size_of(const std::string& archive) const
    {
        const auto entries = parse_archive(test_support::read_file_bytes(at(archive)));
        return entries.empty() ? 0 : entries[0].block_size;
    }
    std::string banner_;
};

}  // namespace

TEST_F(ProgramConsole, UsageTextAndItsCases)
{
    const std::string line2 = lines_of(banner_)[1];
    EXPECT_FALSE(line2.empty());

    const std::vector<std::vector<std::string>> cases = {
        {},                       // no command
        {"A", "arc", "f.txt"},    // commands are lower case only
        {"X", "arc"},
        {"q", "arc", "f.txt"},
        {"a"},                    // nothing after the switches
        {"a", "-m2", "-v"},
        {"x"},                    // fewer than three arguments
        {"x", "-v"},              // no archive after the switches
        {"l"},
    };
    for (const auto& args : cases) {
        const Outcome r = run(args);
        EXPECT_EQ(r.out, usage()) << testing::PrintToString(args);
        EXPECT_EQ(r.code, 1) << testing::PrintToString(args);
    }
    EXPECT_FALSE(path_exists(at("arc")));
}

TEST_F(ProgramConsole, CommandIsTheFirstLetterOnly)
{
    Outcome r = run({"add", "arc", "f.txt"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, banner_ + "Archive is " + shown("arc") + " \n" + summary(26, size_of(at("arc"))));

    r = run({"list", "arc"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Archive List ... " + shown("arc") + " \nf.txt\n n.1 files in archive " + shown("arc") + " \n");

    make_dirs(at("out"));
    r = run({"xtract", "../arc"}, "out");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, banner_ + "ARGV=*\nArchive=" + at("out") + "\\../arc Wild=* DEST=" + at("out") + "\\\n OK! \n");
    EXPECT_EQ(read("out/f.txt"), read("f.txt"));
}

TEST_F(ProgramConsole, UnknownOptionStopsBeforeTheBanner)
{
    const std::vector<std::vector<std::string>> cases = {
        {"a", "-m9", "arc", "f.txt"}, {"a", "-n", "arc", "f.txt"},  {"a", "-x", "arc", "f.txt"},
        {"a", "-", "arc", "f.txt"},   {"a", "-m", "arc", "f.txt"},  {"a", "-v", "-mq", "arc", "f.txt"},
        {"x", "-r", "arc"},           {"x", "-s", "arc"},            {"x", "-m0", "arc"},
        {"x", "-o", "arc"},           {"x", "-", "arc"},
    };
    for (const auto& args : cases) {
        const Outcome r = run(args);
        EXPECT_EQ(r.out, "\n Unknown option! \n") << testing::PrintToString(args);
        EXPECT_EQ(r.code, 1) << testing::PrintToString(args);
    }
    EXPECT_FALSE(path_exists(at("arc")));
}

TEST_F(ProgramConsole, MethodSwitchSetsTheBlockSize)
{
    const struct {
        std::vector<std::string> switches;
        uint32_t block;
    } cases[] = {
        {{}, 16u << 20},         {{"-m0"}, 1u << 20},       {{"-M3"}, 8u << 20},
        {{"-m44"}, 16u << 20},   {{"-m6"}, 64u << 20},      {{"-m0", "-m2"}, 4u << 20},
        {{"-o", "-m1"}, 2u << 20},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string archive = "m" + std::to_string(n++);
        std::vector<std::string> args = {"a"};
        args.insert(args.end(), c.switches.begin(), c.switches.end());
        args.insert(args.end(), {archive, "f.txt"});
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 0) << testing::PrintToString(args);
        EXPECT_EQ(block_size_of(archive), c.block) << testing::PrintToString(args);
    }
}

TEST_F(ProgramConsole, SwitchLettersAfterMAndInUpperCase)
{
    // -mr is -r: the directory is walked.
    Outcome r = run({"a", "-mr", "rec", "src"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(listing("rec"), std::vector<std::string>{"src/x.c"});
    r = run({"a", "-R", "-S", "rec2", "src"});
    EXPECT_EQ(listing("rec2"), std::vector<std::string>{"src/x.c - solid"});

    // -V prints the progress lines.
    r = run({"a", "-V", "verbose", "f.txt"});
    EXPECT_NE(r.out.find("compress.. f.txt 26 to "), std::string::npos) << r.out;

    // -mt4 is -t4.
    r = run({"a", "-mt4", "tasks", "f.txt"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(lines_of(r.out).at(2), "multiprocess compression use 4 task ");
}

TEST_F(ProgramConsole, TaskSwitch)
{
    const int cpus = processor_count();
    const struct {
        std::vector<std::string> switches;
        int tasks;  // 0: one process
    } cases[] = {
        {{"-t4"}, 4},           {{"-T4"}, 4},         {{"-t123"}, 12},     {{"-t99"}, 99},
        {{"-t4", "-t1"}, 0},    {{"-t4", "-t1x"}, 0}, {{"-t1"}, 0},        {{"-t"}, 0},
        {{"-t4", "-tx"}, 4},    {{"-t4", "-tx:"}, 0}, {{"-t0"}, cpus > 1 ? cpus : 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string archive = "t" + std::to_string(n++);
        std::vector<std::string> args = {"a", "-v"};
        args.insert(args.end(), c.switches.begin(), c.switches.end());
        args.insert(args.end(), {archive, "f.txt"});
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 0) << testing::PrintToString(args);
        std::string expected = banner_;
        if (c.tasks > 0) expected += "multiprocess compression use " + std::to_string(c.tasks) + " task \n";
        expected += "Archive is " + shown(archive) + " \n";
        // Progress lines come from a single process only.
        ASSERT_EQ(r.out.compare(0, expected.size(), expected), 0) << testing::PrintToString(args) << "\n" << r.out;
        EXPECT_EQ(r.out.find("compress.. ") != std::string::npos, c.tasks == 0) << testing::PrintToString(args);
        EXPECT_EQ(listing(archive), std::vector<std::string>{"f.txt"});
    }

    // -t0 for `x` takes at most 8 tasks.
    make_dirs(at("out"));
    const Outcome r = run({"x", "-t0", "t0", "out/"});
    std::string expected = banner_;
    if (cpus > 1) expected += "multiprocess etraction use " + std::to_string(std::min(cpus, 8)) + " task \n";
    expected += "ARGV=out/\nArchive=" + shown("t0") + " Wild=* DEST=" + shown("out/") + "\n OK! \n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(read("out/f.txt"), read("f.txt"));
}

TEST_F(ProgramConsole, WorkingMemoryThatCannotBeHad)
{
    // Half a GiB of address space: enough for -m0, not for -m8.
    const std::string limit = "ulimit -v 524288";
    Outcome r = run_program(home(), {"a", "-m0", "arc", "f.txt"}, limit);
    ASSERT_EQ(r.code, 0) << r.out;
    const std::string before = read("arc");
    r = run_program(home(), {"a", "-m8", "arc", "f.txt"}, limit);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, banner_ + "Archive is " + shown("arc") + " \nNo memory \n");
    EXPECT_EQ(read("arc"), before);
}

TEST_F(ProgramConsole, WorkerWithoutControlFileEndsSilently)
{
    for (const char* cmd : {"a", "x"}) {
        const Outcome r = run({cmd, "-p1", "arc", "f.txt"});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.code, 1);
    }
    EXPECT_FALSE(path_exists(at("arc")));
}

TEST_F(ProgramConsole, ArgumentsAfterTheArchiveAreNotSwitches)
{
    write("-dash.txt", "begins with a minus\n");
    Outcome r = run({"a", "-v", "arc", "-dash.txt", "-r"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(listing("arc"), std::vector<std::string>{"-dash.txt"});

    // Destinations of `x` that look like switches are directories.
    r = run({"x", "arc", "-r", "-s/"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, banner_ + "ARGV=-r\nArchive=" + shown("arc") + " Wild=* DEST=" + shown("-r\\") +
                         "\nARGV=-s/\nArchive=" + shown("arc") + " Wild=* DEST=" + shown("-s/") + "\n OK! \n");
    EXPECT_EQ(read("-r/-dash.txt"), "begins with a minus\n");
    EXPECT_EQ(read("-s/-dash.txt"), "begins with a minus\n");

    // `l` takes no switches: "-v" is the archive's name.
    r = run({"l", "-v", "arc"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Archive List ... " + shown("-v") + " \nError: cannot open Archive file " + shown("-v") + "\n");
}

TEST_F(ProgramConsole, MissingArchivesAndArchivesThatCannotBeMade)
{
    Outcome r = run({"x", "nothing"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, banner_ + "ARGV=*\nArchive=" + shown("nothing") + " Wild=* DEST=" + home() +
                         "\\\nError: cannot open Archive file " + shown("nothing") + "\n");

    r = run({"a", "no/such/dir/arc", "f.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, banner_ + "Archive is " + shown("no/such/dir/arc") + " \nError: cannot open Output file " +
                         shown("no/such/dir/arc") + "\n");

    // A directory is no archive.
    r = run({"a", "src", "f.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("Error: cannot open Output file " + shown("src") + "\n"), std::string::npos);

    // An empty file is an empty archive.
    write("empty", "");
    r = run({"l", "empty"});
    EXPECT_EQ(r.out, "Archive List ... " + shown("empty") + " \n n.0 files in archive " + shown("empty") + " \n");
    r = run({"x", "empty", "out/"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find(" OK! \n"), std::string::npos);
    EXPECT_FALSE(path_exists(at("out")));
}

// ----------------------------------------------------------------------------
// Naming the archive after a single argument.

namespace {

class ProgramNaming : public ProgramTest {
protected:
    void SetUp() override
    {
        write("notes.txt", "notes\n");
        write("readme", "read me\n");
        write("sub/a.txt", "a in sub\n");
        write("sub/b.c", "b in sub\n");
        write("sub/deep/c.txt", "c deeper\n");
        const std::string h = home();
        here_ = h.substr(h.rfind('/') + 1);
        ASSERT_EQ(h.find('.'), std::string::npos) << "the test directory's path must hold no '.'";
    }
    // The lines after the banner.
    static std::vector<std::string> after_banner(const Outcome& r)
    {
        const std::vector<std::string> lines = lines_of(r.out);
        return lines.size() < 2 ? lines : std::vector<std::string>(lines.begin() + 2, lines.end());
    }
    std::string here_;  // last component of the current directory
};

const char* const NOT_DEFINED = "Archiver not defined: Activate File-Folder control..  ";

}  // namespace

TEST_F(ProgramNaming, SubdirectoryGivesDirZdl)
{
    for (const char* arg : {"sub", "sub/"}) {
        unlink(at("sub.zdl").c_str());
        const Outcome r = run({"a", arg});
        EXPECT_EQ(r.code, 0) << arg;
        EXPECT_EQ(after_banner(r), (std::vector<std::string>{NOT_DEFINED, "Archive is " + shown("sub.zdl") + " ",
                                                             " Compressed 18 bytes to " +
                                                                 std::to_string(size_of(at("sub.zdl"))) + " bytes "}))
            << arg;
        // Only the directory's own files: no recursion, sorted by extension.
        EXPECT_EQ(listing("sub.zdl"), (std::vector<std::string>{"sub/b.c", "sub/a.txt"})) << arg;
    }
    const Outcome r = run({"a", "-r", "sub\\"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(listing("sub.zdl").size(), 2u + 3u);
}

TEST_F(ProgramNaming, FileOrPatternGivesTheDirectoryThatHoldsIt)
{
    Outcome r = run({"a", "notes.txt"});
    EXPECT_EQ(r.code, 0);
    const std::string archive = here_ + ".zdl";
    EXPECT_EQ(after_banner(r).at(1), "Archive is " + shown(archive) + " ");
    EXPECT_EQ(listing(archive), std::vector<std::string>{"notes.txt"});

    r = run({"a", "sub/*.c"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(after_banner(r).at(1), "Archive is " + shown("sub.zdl") + " ");
    EXPECT_EQ(listing("sub.zdl"), std::vector<std::string>{"sub/b.c"});
}

TEST_F(ProgramNaming, PlainNameIsTheArchiveOfEveryFileHere)
{
    Outcome r = run({"a", "backup"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(after_banner(r).at(1), "Archive is " + shown("backup") + " ");
    // The current directory is read by its absolute path; the stored
    // directory drops the leading '/'.
    const std::string stored = home().substr(1) + "/";
    EXPECT_EQ(listing("backup"), (std::vector<std::string>{stored + "readme", stored + "notes.txt"}));

    // Outcome again: the archive now lies in the directory it packs, and is not
    // packed into itself.
    r = run({"a", "backup"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(listing("backup").size(), 4u);
    for (const std::string& line : listing("backup")) EXPECT_NE(line, stored + "backup");
}

TEST_F(ProgramNaming, DollarPacksTheCurrentDirectory)
{
    const Outcome r = run({"a", "arc", "$anything"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(after_banner(r), (std::vector<std::string>{"Archive is " + shown("arc") + " ", "argc=* ",
                                                         " Compressed 14 bytes to " +
                                                             std::to_string(size_of(at("arc"))) + " bytes "}));
    EXPECT_EQ(listing("arc"), (std::vector<std::string>{"readme", "notes.txt"}));
}

// ----------------------------------------------------------------------------
// The input walk, seen through the order of the archive's entries.

namespace {

class ProgramInputWalk : public ProgramTest {
protected:
    void SetUp() override
    {
        for (const char* f : {"a.txt", "b.txt", "Makefile", "x.c", "src/x.c", "src/y.h", "src/sub/z.h",
                              "src/lib.c/w.txt", "src/lib.c/deep/v.o"})
            write(f, std::string("contents of ") + f + "\n");
        make_dirs(at("arcs"));
    }
    std::set<std::string> listed_set(const std::string& archive) const
    {
        const std::vector<std::string> lines = listing(archive);
        return std::set<std::string>(lines.begin(), lines.end());
    }
};

}  // namespace

TEST_F(ProgramInputWalk, PatternsDirectoriesAndRecursion)
{
    EXPECT_EQ(run({"a", "arcs/t1", "*.txt"}).code, 0);
    EXPECT_EQ(listed_set("arcs/t1"), (std::set<std::string>{"a.txt", "b.txt"}));

    // "." lists ./Makefile (key "/Makefile") before ./x.c (key "c").
    EXPECT_EQ(run({"a", "arcs/t2", "."}).code, 0);
    const std::vector<std::string> dot = listing("arcs/t2");
    ASSERT_EQ(dot.size(), 4u);
    EXPECT_EQ(dot[0], "./Makefile");
    EXPECT_EQ(dot[1], "./x.c");
    EXPECT_EQ(std::set<std::string>(dot.begin() + 2, dot.end()), (std::set<std::string>{"./a.txt", "./b.txt"}));

    // A directory without -r adds nothing; so does a pattern of another case.
    const std::string none = "WARNING: No files Compressed 0 bytes to 0 bytes \n";
    for (const char* spec : {"src", "*.TXT"}) {
        const Outcome r = run({"a", "arcs/t3", spec});
        EXPECT_EQ(r.code, 0);
        ASSERT_GE(r.out.size(), none.size());
        EXPECT_EQ(r.out.substr(r.out.size() - none.size()), none) << spec;
        EXPECT_FALSE(path_exists(at("arcs/t3")));
    }

    EXPECT_EQ(run({"a", "-r", "arcs/t4", "src"}).code, 0);
    EXPECT_EQ(listed_set("arcs/t4"), (std::set<std::string>{"src/x.c", "src/y.h", "src/sub/z.h", "src/lib.c/w.txt",
                                                       "src/lib.c/deep/v.o"}));

    // With -r a matching subdirectory contributes all its files.
    EXPECT_EQ(run({"a", "-r", "arcs/t5", "src\\*.c"}).code, 0);
    EXPECT_EQ(listed_set("arcs/t5"), (std::set<std::string>{"src/x.c", "src/lib.c/w.txt", "src/lib.c/deep/v.o"}));

    // An absolute specification: the stored directory has no leading '/'.
    EXPECT_EQ(run({"a", "arcs/t6", at("src") + "/*.h"}).code, 0);
    EXPECT_EQ(listing("arcs/t6"), std::vector<std::string>{home().substr(1) + "/src/y.h"});
}

TEST_F(ProgramInputWalk, EntriesFollowTheExtensionKey)
{
    for (const char* f : {"k.zz", "m.aa", "n.mm", "p.TXT", "q.bmp", "noext", "file.", "dir.x/readme"})
        write(f, std::string(f) + "\n");
    const Outcome r = run({"a", "sorted", "*.zz", "*.aa", "dir.x/readme", "*.mm", "p.TXT", "q.bmp", "noext", "file."});
    EXPECT_EQ(r.code, 0);
    // Keys: "", "TXT", "aa", "bmp", "mm", "noext", "x/readme", "zz".
    EXPECT_EQ(listing("sorted"), (std::vector<std::string>{"file.", "p.TXT", "m.aa", "q.bmp", "n.mm", "noext",
                                                           "dir.x/readme", "k.zz"}));
}

TEST_F(ProgramInputWalk, RecursionDoesNotFollowDirectoryLinks)
{
    write("other/o.txt", "outside\n");
    ASSERT_EQ(symlink("../other", at("src/link").c_str()), 0);
    ASSERT_EQ(symlink(".", at("src/sub/loop").c_str()), 0);
    ASSERT_EQ(symlink("missing", at("src/dangling").c_str()), 0);
    const Outcome r = run({"a", "-r", "arc", "src"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(listed_set("arc"), (std::set<std::string>{"src/x.c", "src/y.h", "src/sub/z.h", "src/lib.c/w.txt",
                                                        "src/lib.c/deep/v.o"}));
}

// ----------------------------------------------------------------------------
// Destinations of `x` and patterns of `l`.

namespace {

class ProgramExtract : public ProgramTest {
protected:
    void SetUp() override
    {
        for (const char* f : {"Notes.txt", "Pic.BMP", "img.bmp", "sub/deep.bmp", "readme"})
            write("in/" + std::string(f), std::string("data of ") + f + "\n");
        const Outcome r = run({"a", "-r", "../arc", "*"}, "in");
        ASSERT_EQ(r.code, 0) << r.out;
        banner_ = banner_of(r);
    }
    // The tree below rel, or {} when it does not exist.
    std::vector<std::string> tree(const std::string& rel) const { return tree_of(at(rel)); }
    void expect_same(const std::string& out, const std::vector<std::string>& files) const
    {
        for (const std::string& f : files) EXPECT_EQ(read(out + "/" + f), read("in/" + f)) << f;
    }
    std::string banner_;
};

}  // namespace

TEST_F(ProgramExtract, WithoutDestinationIntoTheCurrentDirectory)
{
    make_dirs(at("here"));
    const Outcome r = run({"x", "../arc"}, "here");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, banner_ + "ARGV=*\nArchive=" + at("here") + "\\../arc Wild=* DEST=" + at("here") + "\\\n OK! \n");
    EXPECT_EQ(tree("here"), (std::vector<std::string>{"Notes.txt", "Pic.BMP", "img.bmp", "readme", "sub/",
                                                      "sub/deep.bmp"}));
    expect_same("here", {"Notes.txt", "Pic.BMP", "img.bmp", "readme", "sub/deep.bmp"});
}

TEST_F(ProgramExtract, PatternDestinationsIgnoreCase)
{
    Outcome r = run({"x", "arc", "out/*.BMP"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, banner_ + "ARGV=out/*.BMP\nArchive=" + shown("arc") + " Wild=*.bmp DEST=" + shown("out/") +
                         "\n OK! \n");
    EXPECT_EQ(tree("out"), (std::vector<std::string>{"Pic.BMP", "img.bmp", "sub/", "sub/deep.bmp"}));
    expect_same("out", {"Pic.BMP", "img.bmp", "sub/deep.bmp"});

    // A trailing separator: everything into that directory; two
    // destinations in one run.
    r = run({"x", "-v", "arc", "all\\", "two/NOTES.*"});
    EXPECT_EQ(r.code, 1);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[2], "ARGV=all\\");
    EXPECT_EQ(lines[3], "Archive=" + shown("arc") + " Wild=* DEST=" + shown("all\\"));
    // -v names each file written, as the output path.
    EXPECT_NE(r.out.find("\n " + home() + "\\all\\Notes.txt \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n " + home() + "\\all\\sub/deep.bmp \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nARGV=two/NOTES.*\nArchive=" + shown("arc") + " Wild=notes.* DEST=" + shown("two/") +
                         "\n " + home() + "\\two\\Notes.txt \n OK! \n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(tree("all"), (std::vector<std::string>{"Notes.txt", "Pic.BMP", "img.bmp", "readme", "sub/",
                                                     "sub/deep.bmp"}));
    EXPECT_EQ(tree("two"), std::vector<std::string>{"Notes.txt"});
}

TEST_F(ProgramExtract, DotInTheDestinationMakesItAPattern)
{
    // A name with a dot is the pattern, the directory before it the
    // destination.
    Outcome r = run({"x", "arc", "out.d/notes.txt"});
    EXPECT_EQ(lines_of(r.out).at(3), "Archive=" + shown("arc") + " Wild=notes.txt DEST=" + shown("out.d/"));
    EXPECT_EQ(tree("out.d"), std::vector<std::string>{"Notes.txt"});

    // So a directory name with a dot is not extended by "\\*": it is the
    // pattern, and no entry is called out.d.
    const std::vector<std::string> before = tree_of(home());
    r = run({"x", "arc", "out.d"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(lines_of(r.out).at(3), "Archive=" + shown("arc") + " Wild=out.d DEST=" + home() + "\\");
    EXPECT_EQ(tree_of(home()), before);
}

TEST_F(ProgramExtract, PathsBeyondTheLimitAreNotExtracted)
{
    // 4 levels of 50 characters and a name: 218 characters as stored.
    const std::string level(50, 'd');
    const std::string deep = level + "/" + level + "/" + level + "/" + level + "/";
    write("long/" + deep + "f.txt", "deep\n");
    write("long/" + deep + std::string(11, 'g'), "deeper\n");
    ASSERT_EQ(run({"a", "-r", "../long.zdl", "*"}, "long").code, 0);
    ASSERT_EQ(listing("long.zdl").size(), 2u);

    // Into a destination that takes the second path, and only that one,
    // past 260 characters.
    ASSERT_LT(home().size(), 45u);
    const std::string dest(46 - home().size(), 'o');
    Outcome r = run({"x", "long.zdl", dest + "/"});
    EXPECT_EQ(r.code, 1);
    const std::string shown_g = home() + "\\" + dest + "/" + deep + std::string(11, 'g');
    EXPECT_NE(r.out.find("Error: path too long " + shown_g + ", not extracted\n"), std::string::npos) << r.out;
    EXPECT_FALSE(path_exists(at(dest + "/" + deep + std::string(11, 'g'))));
    EXPECT_EQ(read(dest + "/" + deep + "f.txt"), "deep\n");
}

TEST_F(ProgramExtract, ListingPatternsAreCaseSensitive)
{
    Outcome r = run({"l", "arc", "*.bmp", "Notes.*"});
    EXPECT_EQ(r.code, 1);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "Archive List ... " + shown("arc") + " ");
    EXPECT_EQ(std::set<std::string>(lines.begin() + 1, lines.begin() + 3),
              (std::set<std::string>{"img.bmp", "sub/deep.bmp"}));
    EXPECT_EQ(lines[3], "Notes.txt");
    EXPECT_EQ(lines[4], " n.3 files in archive " + shown("arc") + " ");

    r = run({"l", "arc", "*.TXT"});
    EXPECT_EQ(r.out, "Archive List ... " + shown("arc") + " \n n.0 files in archive " + shown("arc") + " \n");
}
