// Files through the program and back: appending, solid runs, files that
// cannot be read or written, and round trips of real data from this machine.
#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <csignal>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/test_program_support.h"

using namespace program_test;
namespace fs = std::filesystem;

namespace {

int64_t size_of(const std::string& path)
{
    std::error_code ec;
    const auto n = fs::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(n);
}

std::string text_of(size_t n, uint32_t seed)
{
    const std::vector<uint8_t> b = test_support::text_bytes(n, seed);
    return std::string(b.begin(), b.end());
}

std::string random_of(size_t n, uint32_t seed)
{
    const std::vector<uint8_t> b = test_support::random_bytes(n, seed);
    return std::string(b.begin(), b.end());
}

// 0 when the two trees hold the same files with the same bytes.
int compare_trees(const std::string& a, const std::string& b)
{
    const std::string command = "diff -r -q '" + a + "' '" + b + "' >&2";
    return std::system(command.c_str());
}

using ProgramArchive = ProgramTest;

}  // namespace

TEST_F(ProgramArchive, AppendingKeepsEarlierEntries)
{
    write("one.a", text_of(5000, 1));
    write("two.b", text_of(7000, 2));
    Outcome r = run({"a", "arc", "one.a"});
    ASSERT_EQ(r.code, 0);
    const int64_t first = size_of(at("arc"));
    r = run({"a", "-m0", "arc", "two.b"});
    ASSERT_EQ(r.code, 0);
    // The summary counts this run's input and the archive's growth.
    EXPECT_NE(r.out.find(" Compressed 7000 bytes to " + std::to_string(size_of(at("arc")) - first) + " bytes \n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(listing("arc"), (std::vector<std::string>{"one.a", "two.b"}));
    const auto entries = parse_archive(test_support::read_file_bytes(at("arc")));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].offset, static_cast<uint64_t>(first));
    EXPECT_EQ(entries[0].block_size, 16u << 20);
    EXPECT_EQ(entries[1].block_size, 1u << 20);

    r = run({"x", "arc", "out/"});
    EXPECT_EQ(read("out/one.a"), read("one.a"));
    EXPECT_EQ(read("out/two.b"), read("two.b"));
}

TEST_F(ProgramArchive, MixedSolidAndSeparateEntries)
{
    // Distinct extensions fix the order within each run.
    const char* names[] = {"s1.a", "s2.b", "plain.c", "s3.d", "s4.e"};
    for (int i = 0; i < 5; ++i) write(names[i], text_of(20000 + 3000 * i, 10 + i));
    ASSERT_EQ(run({"a", "-s", "arc", "s1.a", "s2.b"}).code, 0);
    ASSERT_EQ(run({"a", "arc", "plain.c"}).code, 0);
    ASSERT_EQ(run({"a", "-s", "arc", "s3.d", "s4.e"}).code, 0);

    EXPECT_EQ(listing("arc"), (std::vector<std::string>{"s1.a - solid", "s2.b - solid", "plain.c", "s3.d - solid",
                                                        "s4.e - solid"}));
    const auto entries = parse_archive(test_support::read_file_bytes(at("arc")));
    ASSERT_EQ(entries.size(), 5u);
    const int flags[5][2] = {{1, 1}, {1, 0}, {0, 1}, {1, 1}, {1, 0}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(entries[i].solid, flags[i][0]) << names[i];
        EXPECT_EQ(entries[i].reset, flags[i][1]) << names[i];
    }

    ASSERT_EQ(run({"x", "arc", "all/"}).code, 1);
    for (const char* n : names) EXPECT_EQ(read(std::string("all/") + n), read(n)) << n;

    // Only the later entry of a solid run: the one before it is decoded but
    // not written.
    Outcome r = run({"x", "arc", "late/S4.*", "mid/s2.b", "sep/plain.c"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(tree_of(at("late")), std::vector<std::string>{"s4.e"});
    EXPECT_EQ(read("late/s4.e"), read("s4.e"));
    EXPECT_EQ(tree_of(at("mid")), std::vector<std::string>{"s2.b"});
    EXPECT_EQ(read("mid/s2.b"), read("s2.b"));
    EXPECT_EQ(read("sep/plain.c"), read("plain.c"));

    // An output file that cannot be opened is reported; the run goes on.
    make_dirs(at("blocked/s1.a"));
    r = run({"x", "arc", "blocked/"});
    EXPECT_NE(r.out.find("\nError: cannot open Output file " + home() + "\\blocked\\s1.a\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" OK! \n"), std::string::npos);
    for (int i = 1; i < 5; ++i) EXPECT_EQ(read(std::string("blocked/") + names[i]), read(names[i])) << names[i];
}

TEST_F(ProgramArchive, InputThatCannotBeOpenedIsSkipped)
{
    // Root reads any file by its mode bits; a write-only kernel setting is
    // the one regular file it cannot open for reading.
    std::string unreadable;
    if (geteuid() != 0) {
        write("locked.txt", "locked\n");
        chmod(at("locked.txt").c_str(), 0);
        unreadable = "locked.txt";
    } else {
        for (const char* p : {"/proc/sys/vm/drop_caches", "/proc/sys/vm/compact_memory"}) {
            struct stat st;
            const int fd = open(p, O_RDONLY);
            if (fd >= 0) close(fd);
            if (fd < 0 && stat(p, &st) == 0 && S_ISREG(st.st_mode)) {
                unreadable = p;
                break;
            }
        }
    }
    if (unreadable.empty()) GTEST_SKIP() << "no regular file here that cannot be opened";

    write("a.txt", "first\n");
    write("b.txt", "second\n");
    const Outcome r = run({"a", "arc", "a.txt", unreadable, "b.txt"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\nError: cannot open Input file " + unreadable + "\n"), std::string::npos) << r.out;
    std::vector<std::string> listed = listing("arc");
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(ProgramArchive, NeitherCommandWritesOverItsOwnArchive)
{
    write("in/arc", "a file that is called arc\n");
    write("in/other.txt", "other\n");
    // The archive lies in the directory it packs: not packed into itself.
    ASSERT_EQ(run({"a", "in/pack", "in/*"}).code, 0);
    ASSERT_EQ(run({"a", "in/pack", "in/*"}).code, 0);
    std::vector<std::string> listed = listing("in/pack");
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"in/arc", "in/arc", "in/other.txt", "in/other.txt"}));

    // An entry named like the archive, extracted where the archive lies.
    ASSERT_EQ(run({"a", "../arc", "arc"}, "in").code, 0);
    const std::string before = read("arc");
    const Outcome r = run({"x", "arc"});
    EXPECT_NE(r.out.find("Error: cannot open Output file " + home() + "\\arc\n"), std::string::npos) << r.out;
    EXPECT_EQ(read("arc"), before);
}

TEST_F(ProgramArchive, ExtractionLeavesExactlyTheStoredFile)
{
    write("f.txt", text_of(3000, 5));
    write("empty", "");
    ASSERT_EQ(run({"a", "arc", "f.txt", "empty"}).code, 0);
    // Older, longer files in the way.
    write("out/f.txt", random_of(100000, 6));
    write("out/empty", "not empty\n");
    ASSERT_EQ(run({"x", "arc", "out/"}).code, 1);
    EXPECT_EQ(read("out/f.txt"), read("f.txt"));
    EXPECT_TRUE(path_exists(at("out/empty")));
    EXPECT_EQ(size_of(at("out/empty")), 0);

    // The same name appended twice: the later, shorter copy wins.
    write("f.txt", "short now\n");
    ASSERT_EQ(run({"a", "arc", "f.txt"}).code, 0);
    ASSERT_EQ(run({"x", "arc", "out2/"}).code, 1);
    EXPECT_EQ(read("out2/f.txt"), "short now\n");
}

TEST_F(ProgramArchive, InterruptedEntryIsCutOff)
{
    write("first.txt", text_of(5000, 20));
    write("later.txt", "appended after the interruption\n");
    write("big.bin", text_of(12u << 20, 21) + random_of(12u << 20, 22));
    ASSERT_EQ(run({"a", "arc", "first.txt"}).code, 0);
    const int64_t complete = size_of(at("arc"));

    // Stopped while big.bin is being written, once its chunks have begun.
    const std::string dir = home(), archive = at("arc");
    bool interrupted = false;
    for (int attempt = 0; attempt < 3 && !interrupted; ++attempt) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            if (chdir(dir.c_str()) != 0 || null < 0 || dup2(null, 1) < 0) _exit(127);
            execl(ZENDAL_PROGRAM, ZENDAL_PROGRAM, "a", "-m0", "arc", "big.bin", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        pid_t done = 0;
        while (size_of(archive) < complete + 200000 && (done = waitpid(pid, &status, WNOHANG)) == 0) usleep(200);
        if (done == 0) {
            kill(pid, SIGTERM);
            waitpid(pid, &status, 0);
        }
        interrupted = WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
        // Finished before the signal came: take its entry away and try again.
        if (!interrupted) {
            ASSERT_EQ(truncate(archive.c_str(), complete), 0);
        }
    }
    if (!interrupted) GTEST_SKIP() << "packing ended before it could be interrupted";

    // The archive ends with its last complete entry, and grows on from there.
    EXPECT_EQ(size_of(archive), complete);
    ASSERT_EQ(run({"a", "arc", "later.txt"}).code, 0);
    EXPECT_EQ(listing("arc"), (std::vector<std::string>{"first.txt", "later.txt"}));
    ASSERT_EQ(run({"x", "arc", "out/"}).code, 1);
    EXPECT_EQ(read("out/later.txt"), read("later.txt"));
}

TEST_F(ProgramArchive, FileStoredInTwoPiecesIsRestoredWhole)
{
    // Entries of two separate runs become two pieces of one file.
    const std::string head = text_of(70000, 7), tail = random_of(50000, 8);
    write("p1", head);
    write("p2", tail);
    ASSERT_EQ(run({"a", "a1", "p1"}).code, 0);
    ASSERT_EQ(run({"a", "a2", "p2"}).code, 0);
    auto first = parse_archive(test_support::read_file_bytes(at("a1")));
    auto second = parse_archive(test_support::read_file_bytes(at("a2")));
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(second.size(), 1u);
    first[0].name = second[0].name = "whole.bin";
    second[0].piece_offset = head.size();

    test_support::write_file_bytes(at("forward"), build_archive({first[0], second[0]}));
    test_support::write_file_bytes(at("backward"), build_archive({second[0], first[0]}));
    for (const char* archive : {"forward", "backward"}) {
        const std::string out = std::string("out_") + archive;
        write(out + "/whole.bin", random_of(200000, 9));  // longer than both pieces
        ASSERT_EQ(run({"x", archive, out + "/"}).code, 1);
        EXPECT_EQ(read(out + "/whole.bin"), head + tail) << archive;
    }
}

TEST_F(ProgramArchive, BlocksProgressLinesAndOddNames)
{
    // Around the block size of -m0: exactly two blocks, one byte more, and a
    // few MiB of mixed data.
    const size_t mib = 1u << 20;
    write("exact.bin", text_of(2 * mib, 11));
    write("plus1.bin", text_of(2 * mib + 1, 12));
    write("big.dat", text_of(mib + 12345, 13) + random_of(mib, 14) + text_of(1500000, 15));
    write("deeper/directory/with a rather long name/n.txt", text_of(1000, 16));
    const std::string odd_dir = "blank dir/\xc3\xbc" "n\xc3\xaf" "c\xc3\xb6" "de/";
    const std::string odd_names[] = {"a b  c.txt", "caf\xc3\xa9 \xe2\x82\xac.txt", "raw\xff\xfe\x80.bin", " lead"};
    for (const std::string& n : odd_names) write(odd_dir + n, "named " + n + "\n");
    write("zero", "");

    Outcome r = run({"a", "-m0", "-v", "-r", "arc", "*"});
    ASSERT_EQ(r.code, 0);
    const std::vector<std::string> lines = lines_of(r.out);
    // exact.bin: one line per block ending in "\r", the last one ending in
    // "\n" after the entry's final size.
    const std::regex exact("compress\\.\\. exact\\.bin 1048576 to [0-9]+  \r"
                           "compress\\.\\. exact\\.bin 2097152 to [0-9]+  \r"
                           "compress\\.\\. exact\\.bin 2097152 to [0-9]+  ");
    const std::regex plus1("compress\\.\\. plus1\\.bin 1048576 to [0-9]+  \r"
                           "compress\\.\\. plus1\\.bin 2097152 to [0-9]+  \r"
                           "compress\\.\\. plus1\\.bin 2097153 to [0-9]+  \r"
                           "compress\\.\\. plus1\\.bin 2097153 to [0-9]+  ");
    // A path longer than 32 characters shows its last 32.
    const std::regex long_path("compress\\.\\. ry/with a rather long name/n\\.txt 1000 to [0-9]+  \r"
                               "compress\\.\\. ry/with a rather long name/n\\.txt 1000 to [0-9]+  ");
    const std::regex empty("compress\\.\\. zero 0 to [0-9]+  ");
    int found = 0;
    for (const std::string& line : lines) {
        found += std::regex_match(line, exact) + std::regex_match(line, plus1) + std::regex_match(line, long_path) +
                 std::regex_match(line, empty);
    }
    EXPECT_EQ(found, 4) << r.out;

    for (const auto& e : parse_archive(test_support::read_file_bytes(at("arc")))) {
        EXPECT_EQ(e.block_size, 1u << 20);
        if (e.name == "zero") {
            EXPECT_EQ(e.piece_length, 0);
        }
    }
    r = run({"x", "arc", "out/"});
    EXPECT_EQ(r.code, 1);
    for (const char* f : {"exact.bin", "plus1.bin", "big.dat", "zero"}) EXPECT_EQ(read(std::string("out/") + f), read(f));
    EXPECT_TRUE(path_exists(at("out/zero")));
    for (const std::string& n : odd_names) EXPECT_EQ(read("out/" + odd_dir + n), "named " + n + "\n") << n;
    EXPECT_EQ(read("out/deeper/directory/with a rather long name/n.txt"),
              read("deeper/directory/with a rather long name/n.txt"));
}

// ----------------------------------------------------------------------------
// Round trips of files from this machine: manual pages, documentation,
// programs and libraries in nested directories.

namespace {

struct Source {
    const char* root;
    uint64_t max_size;
    size_t count;
    const char* into;  // where the copies go below data/
};

// Every k-th regular file (by sorted path) of a size in (0, max_size].
std::vector<fs::path> pick_files(const Source& s)
{
    std::vector<fs::path> all;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(s.root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code e2;
        if (!it->is_regular_file(e2) || it->is_symlink(e2)) continue;
        const uint64_t n = it->file_size(e2);
        if (!e2 && n > 0 && n <= s.max_size) all.push_back(it->path());
    }
    std::sort(all.begin(), all.end());
    std::vector<fs::path> picked;
    const size_t step = std::max<size_t>(1, all.size() / s.count);
    for (size_t i = 0; i < all.size() && picked.size() < s.count; i += step) picked.push_back(all[i]);
    return picked;
}

class ProgramRoundTrip : public ProgramTest {
protected:
    static void SetUpTestSuite()
    {
        data_ = new test_support::TempDir;
        const Source sources[] = {
            {"/usr/share/man", 8 << 10, 140, "man/page"},
            {"/usr/share/doc", 16 << 10, 100, "doc/a/b/c"},
            {"/usr/bin", 96 << 10, 30, "bin"},
            {"/usr/lib/x86_64-linux-gnu", 160 << 10, 20, "lib/x86"},
        };
        for (const Source& s : sources) {
            const fs::path dir = fs::path(data_->path()) / "data" / s.into;
            fs::create_directories(dir);
            int i = 0;
            for (const fs::path& p : pick_files(s)) {
                std::error_code ec;
                fs::copy_file(p, dir / (std::to_string(i++) + "-" + p.filename().string()), ec);
                if (!ec) {
                    ++file_count_;
                    byte_count_ += static_cast<int64_t>(fs::file_size(dir / (std::to_string(i - 1) + "-" +
                                                                             p.filename().string())));
                }
            }
        }
    }
    static void TearDownTestSuite()
    {
        delete data_;
        data_ = nullptr;
    }
    void SetUp() override
    {
        if (file_count_ < 100) GTEST_SKIP() << "too few files on this machine: " << file_count_;
    }

    // Packs data/ with the switches, extracts it and compares the trees.
    void round_trip(const std::vector<std::string>& switches) const
    {
        std::vector<std::string> args = {"a", "-r"};
        args.insert(args.end(), switches.begin(), switches.end());
        args.insert(args.end(), {home() + "/arc", "data"});
        Outcome r = run_program(data_->path(), args);
        ASSERT_EQ(r.code, 0) << r.out;
        EXPECT_NE(r.out.find(" Compressed " + std::to_string(byte_count_) + " bytes to " +
                             std::to_string(size_of(at("arc"))) + " bytes \n"),
                  std::string::npos)
            << r.out;
        EXPECT_LT(size_of(at("arc")), byte_count_);
        const auto entries = parse_archive(test_support::read_file_bytes(at("arc")));
        EXPECT_EQ(entries.size(), file_count_);

        r = run({"x", "arc", "out/"});
        ASSERT_EQ(r.code, 1);
        EXPECT_EQ(r.out.substr(r.out.size() - 6), " OK! \n");
        EXPECT_EQ(compare_trees(data_->path() + "/data", home() + "/out/data"), 0);
    }

    static test_support::TempDir* data_;
    static size_t file_count_;
    static int64_t byte_count_;
};

test_support::TempDir* ProgramRoundTrip::data_ = nullptr;
size_t ProgramRoundTrip::file_count_ = 0;
int64_t ProgramRoundTrip::byte_count_ = 0;

}  // namespace

TEST_F(ProgramRoundTrip, Method0) { round_trip({"-m0"}); }
TEST_F(ProgramRoundTrip, Method0Solid) { round_trip({"-m0", "-s"}); }
TEST_F(ProgramRoundTrip, Method4) { round_trip({}); }
TEST_F(ProgramRoundTrip, Method4Solid) { round_trip({"-s"}); }
TEST_F(ProgramRoundTrip, Method6) { round_trip({"-m6"}); }
TEST_F(ProgramRoundTrip, Method6Solid) { round_trip({"-m6", "-s"}); }
