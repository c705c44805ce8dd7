// The program run as a user runs it: commands, switches, archive naming,
// the input walk, extraction destinations, listing and the console texts.
#include <algorithm>
#include <sched.h>
#include <unistd.h>

#include "tests/test_program_support.h"

using namespace program_test;
using Lines = std::vector<std::string>;

namespace {

// The usage text: each line and the blanks before its line end. Line 2 is
// the banner's second line, taken from the banner that `a` prints.
const std::pair<const char*, int> USAGE[] = {
    {"Zendal Archiver v.2.5.  Demo version.", 43},
    {"", 0},
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

// The lines after the banner.
Lines after_banner(const Outcome& r)
{
    const Lines lines = lines_of(r.out);
    return lines.size() < 2 ? lines : Lines(lines.begin() + 2, lines.end());
}

class ProgramTexts : public ProgramTest {
protected:
    void SetUp() override
    {
        write("f.txt", "some text for the archive\n");
        write("src/x.c", "int main() { return 0; }\n");
        const Lines lines = lines_of(run({"a", "probe", "f.txt"}).out);
        ASSERT_GE(lines.size(), 2u);
        banner_ = lines[0] + "\n" + lines[1] + "\n";
        unlink(at("probe").c_str());
    }
    std::string banner_;
};

}  // namespace

TEST_F(ProgramTexts, RunsThatStopBeforeAnyWork)
{
    std::string usage = banner_;
    EXPECT_EQ(banner_.substr(0, banner_.find('\n')), USAGE[0].first + std::string(USAGE[0].second, ' '));
    for (int i = 2; i < 28; ++i) usage += USAGE[i].first + std::string(USAGE[i].second, ' ') + "\n";
    const std::string unknown = "\n Unknown option! \n";
    const std::pair<Lines, std::string> cases[] = {
        {{}, usage}, {{"A", "arc", "f.txt"}, usage}, {{"X", "arc"}, usage}, {{"q", "arc", "f.txt"}, usage},
        {{"a"}, usage}, {{"a", "-m2", "-v"}, usage}, {{"x"}, usage}, {{"x", "-v"}, usage}, {{"l"}, usage},
        {{"a", "-m9", "arc", "f.txt"}, unknown}, {{"a", "-n", "arc", "f.txt"}, unknown},
        {{"a", "-x", "arc", "f.txt"}, unknown}, {{"a", "-", "arc", "f.txt"}, unknown},
        {{"a", "-m", "arc", "f.txt"}, unknown}, {{"a", "-v", "-mq", "arc", "f.txt"}, unknown},
        {{"x", "-r", "arc"}, unknown}, {{"x", "-s", "arc"}, unknown}, {{"x", "-m0", "arc"}, unknown},
        {{"x", "-o", "arc"}, unknown}, {{"x", "-", "arc"}, unknown},
        // A worker without its control file ends silently.
        {{"a", "-p1", "arc", "f.txt"}, ""}, {{"x", "-p1", "arc", "f.txt"}, ""},
    };
    for (const auto& c : cases) {
        const Outcome r = run(c.first);
        EXPECT_EQ(r.out, c.second) << testing::PrintToString(c.first);
        EXPECT_EQ(r.code, 1) << testing::PrintToString(c.first);
    }
    EXPECT_FALSE(exists("arc"));
}

TEST_F(ProgramTexts, EachCommandAndItsErrors)
{
    // Only the command's first letter counts.
    Outcome r = run({"add", "arc", "f.txt"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, banner_ + "Archive is " + shown("arc") + " \n Compressed 26 bytes to " +
                         std::to_string(size_of("arc")) + " bytes \n");
    r = run({"list", "arc"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "Archive List ... " + shown("arc") + " \nf.txt\n n.1 files in archive " + shown("arc") + " \n");
    std::filesystem::create_directories(at("out"));
    r = run({"xtract", "../arc"}, "out");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, banner_ + "ARGV=*\nArchive=" + at("out") + "/../arc Wild=* DEST=" + at("out") + "/\n OK! \n");
    EXPECT_EQ(read("out/f.txt"), read("f.txt"));

    r = run({"x", "none"});
    EXPECT_EQ(r.out, banner_ + "ARGV=*\nArchive=" + shown("none") + " Wild=* DEST=" + home_ +
                         "/\nError: cannot open Archive file " + shown("none") + "\n");
    for (const char* bad : {"no/such/dir/arc", "src"}) {  // the second is a directory
        r = run({"a", bad, "f.txt"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.out,
                  banner_ + "Archive is " + shown(bad) + " \nError: cannot open Output file " + shown(bad) + "\n");
    }
    // Not enough memory for -m8: the archive stays as it was.
    const std::string before = read("arc");
    r = run_program(home_, {"a", "-m8", "arc", "f.txt"}, 512u << 20);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, banner_ + "Archive is " + shown("arc") + " \nNo memory \n");
    EXPECT_EQ(read("arc"), before);

    write("empty", "");  // an empty archive
    r = run({"l", "empty"});
    EXPECT_EQ(r.out, "Archive List ... " + shown("empty") + " \n n.0 files in archive " + shown("empty") + " \n");
    EXPECT_EQ(after_banner(run({"x", "empty", "out2/"})).back(), " OK! ");
    EXPECT_FALSE(exists("out2"));

    // After the archive nothing is a switch.
    write("-dash.txt", "begins with a minus\n");
    EXPECT_EQ(run({"a", "-v", "dash", "-dash.txt", "-r"}).code, 0);
    EXPECT_EQ(listing("dash"), Lines{"-dash.txt"});
    r = run({"x", "dash", "-r", "-s/"});
    EXPECT_EQ(r.out, banner_ + "ARGV=-r\nArchive=" + shown("dash") + " Wild=* DEST=" + shown("-r/") +
                         "\nARGV=-s/\nArchive=" + shown("dash") + " Wild=* DEST=" + shown("-s/") + "\n OK! \n");
    EXPECT_TRUE(read("-r/-dash.txt") == read("-dash.txt") && read("-s/-dash.txt") == read("-dash.txt"));
    // `l` takes no switches: "-v" is the archive.
    r = run({"l", "-v", "arc"});
    EXPECT_EQ(r.out, "Archive List ... " + shown("-v") + " \nError: cannot open Archive file " + shown("-v") + "\n");
}

TEST_F(ProgramTexts, MethodAndTaskSwitches)
{
    // -t0 takes the processors this process may run on.
    cpu_set_t affinity;
    ASSERT_EQ(sched_getaffinity(0, sizeof affinity, &affinity), 0);
    const int cpus = std::min(CPU_COUNT(&affinity), 99);
    const struct {
        Lines switches;
        uint32_t block_mib;
        int tasks;  // 0: one process
    } cases[] = {
        {{}, 16, 0},           {{"-m0"}, 1, 0},         {{"-M3"}, 8, 0},          {{"-m44"}, 16, 0},
        {{"-m6"}, 64, 0},      {{"-m0", "-m2"}, 4, 0},  {{"-o", "-m1"}, 2, 0},    {{"-t4"}, 16, 4},
        {{"-T4"}, 16, 4},      {{"-mt4"}, 16, 4},       {{"-t123"}, 16, 12},      {{"-t99", "-m1"}, 2, 99},
        {{"-t4", "-t1"}, 16, 0}, {{"-t4", "-t1x"}, 16, 0}, {{"-t"}, 16, 0},       {{"-t4", "-tx"}, 16, 4},
        {{"-t4", "-tx:"}, 16, 0}, {{"-t0"}, 16, cpus > 1 ? cpus : 0},
    };
    for (const auto& c : cases) {
        // The emulator cannot follow the copies of itself that a master starts.
        if (c.tasks > 0 && program_is_emulated()) continue;
        const std::string archive = "t" + std::to_string(&c - cases);
        Lines args = {"a", "-V"};
        args.insert(args.end(), c.switches.begin(), c.switches.end());
        args.insert(args.end(), {archive, "f.txt"});
        const Outcome r = run(args);
        std::string head = banner_;
        if (c.tasks > 0) head += "multiprocess compression use " + std::to_string(c.tasks) + " task \n";
        head += "Archive is " + shown(archive) + " \n";
        // Progress lines come from a single process only.
        const bool progress = r.out.find("compress.. f.txt 26 to ") != std::string::npos;
        EXPECT_TRUE(r.code == 0 && r.out.rfind(head, 0) == 0 && progress == (c.tasks == 0)) << r.out;
        EXPECT_EQ(r.out.find(" close task's active \n") != std::string::npos, c.tasks > 0) << r.out;
        EXPECT_EQ(entries(archive).at(0).block_size, c.block_mib << 20) << testing::PrintToString(args);
    }
    // -t0 for `x` takes at most 8 tasks.
    if (!program_is_emulated()) {
        const Outcome r = run({"x", "-t0", "t0", "out/"});
        std::string expected = banner_;
        if (cpus > 1) expected += "multiprocess etraction use " + std::to_string(std::min(cpus, 8)) + " task \n";
        expected += "ARGV=out/\nArchive=" + shown("t0") + " Wild=* DEST=" + shown("out/") + "\n";
        EXPECT_EQ(r.out, expected + (cpus > 1 ? " Decompression verify \n" : "") + " OK! \n");
        EXPECT_EQ(read("out/f.txt"), read("f.txt"));
    }

    // -mr is -r; -S is -s.
    EXPECT_EQ(run({"a", "-mr", "-S", "rec", "src"}).code, 0);
    EXPECT_EQ(listing("rec"), Lines{"src/x.c - solid"});
}

// Naming the archive after a single argument, and the input walk as the
// order of the archive's entries shows it.
TEST_F(ProgramTest, ArchiveNamingAndInputOrder)
{
    for (const char* f : {"notes.txt", "readme", "sub/a.txt", "sub/b.c", "sub/deep/c.txt"}) write(f, f);
    ASSERT_EQ(home_.find('.'), std::string::npos);
    // A plain name: every file here, read by the absolute path (stored
    // without its leading '/'); a second run does not pack the archive.
    for (size_t run_count = 1; run_count <= 2; ++run_count) {
        EXPECT_EQ(after_banner(run({"a", "backup"})).at(1), "Archive is " + shown("backup") + " ");
        EXPECT_EQ(listing("backup").size(), 2 * run_count);
    }
    EXPECT_EQ(listing("backup").at(0), home_.substr(1) + "/readme");
    for (const char* arg : {"sub", "sub/"}) {  // a subdirectory: <dir>.zdl of its own files
        unlink(at("sub.zdl").c_str());
        const Outcome r = run({"a", arg});
        const Lines expected = {"Archiver not defined: Activate File-Folder control..  ",
                                "Archive is " + shown("sub.zdl") + " ",
                                " Compressed 16 bytes to " + std::to_string(size_of("sub.zdl")) + " bytes "};
        EXPECT_EQ(after_banner(r), expected) << arg;
        EXPECT_EQ(listing("sub.zdl"), (Lines{"sub/b.c", "sub/a.txt"}));
    }
    EXPECT_EQ(run({"a", "-r", "sub\\"}).code, 0);  // appended, recursively
    EXPECT_EQ(listing("sub.zdl").size(), 5u);
    // A file or pattern: named after the directory that holds it.
    const std::string here = home_.substr(home_.rfind('/') + 1) + ".zdl";
    EXPECT_EQ(after_banner(run({"a", "notes.txt"})).at(1), "Archive is " + shown(here) + " ");
    EXPECT_EQ(listing(here), Lines{"notes.txt"});
    unlink(at("sub.zdl").c_str());
    EXPECT_EQ(after_banner(run({"a", "sub/*.c"})).at(1), "Archive is " + shown("sub.zdl") + " ");
    EXPECT_EQ(listing("sub.zdl"), Lines{"sub/b.c"});
    // '$' packs the current directory.
    EXPECT_EQ(after_banner(run({"a", "arc", "$anything"})).at(1), "argc=* ");
    EXPECT_EQ(listing("arc").size(), 5u);  // backup, readme, notes.txt and two .zdl

    // Without -r a directory adds nothing.
    EXPECT_EQ(after_banner(run({"a", "none", "sub"})).at(1), "WARNING: No files Compressed 0 bytes to 0 bytes ");
    for (const char* f : {"k.zz", "m.aa", "n.mm", "p.TXT", "q.bmp", "noext", "file.", "dir.x/readme"}) write(f, f);
    EXPECT_EQ(run({"a", "sorted", "*.zz", "*.aa", "dir.x/readme", "*.mm", "p.TXT", "q.bmp", "noext", "file."}).code, 0);
    // Keys: "", "TXT", "aa", "bmp", "mm", "noext", "x/readme", "zz".
    EXPECT_EQ(listing("sorted"), (Lines{"file.", "p.TXT", "m.aa", "q.bmp", "n.mm", "noext", "dir.x/readme", "k.zz"}));
}

TEST_F(ProgramTexts, DestinationsAndPatterns)
{
    for (const std::string f : {"Notes.txt", "Pic.BMP", "img.bmp", "sub/deep.bmp", "readme"}) write("in/" + f, f);
    ASSERT_EQ(run({"a", "-r", "../arc", "*"}, "in").code, 0);
    const Lines all = {"Notes.txt", "Pic.BMP", "img.bmp", "readme", "sub/", "sub/deep.bmp"};
    std::filesystem::create_directories(at("here"));
    Outcome r = run({"x", "../arc"}, "here");  // into the current directory
    EXPECT_EQ(r.out, banner_ + "ARGV=*\nArchive=" + at("here") + "/../arc Wild=* DEST=" + at("here") + "/\n OK! \n");
    EXPECT_EQ(tree_of(at("here")), all);
    EXPECT_EQ(read("here/sub/deep.bmp"), "sub/deep.bmp");

    // Patterns ignore case; a trailing separator takes everything; -v names
    // each output path.
    r = run({"x", "-v", "arc", "out/*.BMP", "all\\", "two/NOTES.*"});
    EXPECT_EQ(after_banner(r).at(1), "Archive=" + shown("arc") + " Wild=*.bmp DEST=" + shown("out/"));
    EXPECT_EQ(tree_of(at("out")), (Lines{"Pic.BMP", "img.bmp", "sub/", "sub/deep.bmp"}));
    EXPECT_NE(r.out.find("\nARGV=two/NOTES.*\nArchive=" + shown("arc") + " Wild=notes.* DEST=" + shown("two/") +
                         "\n " + home_ + "/two/Notes.txt \n OK! \n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(tree_of(at("all")), all);
    EXPECT_EQ(tree_of(at("two")), Lines{"Notes.txt"});

    // A dot makes the last component a pattern, even of a directory name.
    r = run({"x", "arc", "out.d/notes.txt"});
    EXPECT_EQ(after_banner(r).at(1), "Archive=" + shown("arc") + " Wild=notes.txt DEST=" + shown("out.d/"));
    EXPECT_EQ(tree_of(at("out.d")), Lines{"Notes.txt"});
    const Lines before = tree_of(home_);
    r = run({"x", "arc", "out.d"});
    EXPECT_EQ(after_banner(r).at(1), "Archive=" + shown("arc") + " Wild=out.d DEST=" + home_ + "/");
    EXPECT_EQ(tree_of(home_), before);

    // `l` counts the matches of all its patterns, and keeps their case.
    EXPECT_EQ(run({"l", "arc", "*.BMP", "Notes.*", "*.TXT"}).out, "Archive List ... " + shown("arc") +
                                                                     " \nPic.BMP\nNotes.txt\n n.2 files in archive " +
                                                                     shown("arc") + " \n");
}

TEST_F(ProgramTest, PathsBeyondTheLimitAreNotExtracted)
{
    // Stored paths of 209 and 215 characters; a destination of nearly 3900
    // takes the longer one past the platform's 4095, and only that one.
    const std::string deep = std::string(50, 'd') + "/" + std::string(50, 'd') + "/" + std::string(50, 'd') + "/" +
                             std::string(50, 'd') + "/";
    write("long/" + deep + "f.txt", "deep\n");
    write("long/" + deep + std::string(11, 'g'), "deeper\n");
    ASSERT_EQ(run({"a", "-r", "../long.zdl", "*"}, "long").code, 0);
    const size_t length = 4095 - home_.size() - 2 - deep.size() - 10;  // of the destination
    std::string dest;
    while (dest.size() + 51 < length) dest += std::string(50, 'o') + "/";
    dest += std::string(length - dest.size(), 'o');
    const Outcome r = run({"x", "long.zdl", dest + "/"});
    const std::string too_long = home_ + "/" + dest + "/" + deep + std::string(11, 'g');
    ASSERT_EQ(too_long.size(), 4096u);
    EXPECT_NE(r.out.find("Error: path too long " + too_long + ", not extracted\n"), std::string::npos) << r.out;
    EXPECT_EQ(tree_of(at(dest + "/" + deep)), Lines{"f.txt"});
    EXPECT_EQ(read(dest + "/" + deep + "f.txt"), "deep\n");
}
