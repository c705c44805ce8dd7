// Files through the program and back: appending, solid runs, files in the
// way of extraction, interrupted runs, and round trips of real data.
#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/test_program_support.h"

using namespace program_test;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

TEST_F(ProgramTest, AppendingAndMixedSolidRuns)
{
    // Distinct extensions fix the order within each run.
    const char* names[] = {"s1.a", "s2.b", "plain.c", "s3.d", "s4.e"};
    for (int i = 0; i < 5; ++i) write(names[i], text_of(20000 + 3000 * i, 10 + i));
    ASSERT_EQ(run({"a", "-s", "arc", "s1.a", "s2.b"}).code, 0);
    const int64_t first = size_of("arc");
    Outcome r = run({"a", "-m0", "arc", "plain.c"});
    EXPECT_EQ(r.out.substr(r.out.find(" Compressed")),
              " Compressed 26000 bytes to " + std::to_string(size_of("arc") - first) + " bytes \n");
    ASSERT_EQ(run({"a", "-s", "arc", "s3.d", "s4.e"}).code, 0);

    EXPECT_EQ(listing("arc"), (Lines{"s1.a - solid", "s2.b - solid", "plain.c", "s3.d - solid", "s4.e - solid"}));
    const auto stored = entries("arc");
    std::vector<std::array<unsigned, 3>> got;  // solid, reset, block size in MiB
    for (const StoredEntry& e : stored) got.push_back({e.solid, e.reset, e.block_size >> 20});
    EXPECT_EQ(got, (std::vector<std::array<unsigned, 3>>{{1, 1, 16}, {1, 0, 16}, {0, 1, 1}, {1, 1, 16}, {1, 0, 16}}));
    EXPECT_EQ(stored.at(2).offset, static_cast<uint64_t>(first));

    ASSERT_EQ(run({"x", "arc", "all/"}).code, 1);
    for (const char* n : names) EXPECT_TRUE(read(std::string("all/") + n) == read(n)) << n;
    // A later entry of a solid run alone: the one before it is decoded but
    // not written.
    EXPECT_EQ(run({"x", "arc", "late/S4.*", "mid/s2.b", "sep/plain.c"}).code, 1);
    EXPECT_EQ(tree_of(at("late")), Lines{"s4.e"});
    EXPECT_EQ(tree_of(at("mid")), Lines{"s2.b"});
    EXPECT_TRUE(read("late/s4.e") == read("s4.e") && read("mid/s2.b") == read("s2.b"));
    EXPECT_TRUE(read("sep/plain.c") == read("plain.c"));
    // An output file that cannot be opened is reported; its run goes on.
    fs::create_directories(at("blocked/s1.a"));
    r = run({"x", "arc", "blocked/"});
    EXPECT_NE(r.out.find("\nError: cannot open Output file " + shown("blocked/s1.a\n")), std::string::npos) << r.out;
    for (int i = 1; i < 5; ++i) EXPECT_TRUE(read(std::string("blocked/") + names[i]) == read(names[i])) << names[i];
}

TEST_F(ProgramTest, NeitherCommandWritesOverItsOwnArchive)
{
    write("in/arc", "a file that is called arc\n");
    write("in/other.txt", "other\n");
    // The archive lies in the directory it packs: it is not packed itself.
    ASSERT_EQ(run({"a", "in/pack", "in/*"}).code, 0);
    ASSERT_EQ(run({"a", "in/pack", "in/*"}).code, 0);
    Lines listed = listing("in/pack");
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (Lines{"in/arc", "in/arc", "in/other.txt", "in/other.txt"}));
    // Without tasks there is no control file: a file of its name is packed.
    write("master.tmp", "mine\n");
    ASSERT_EQ(run({"a", "own", "master.tmp"}).code, 0);
    EXPECT_EQ(listing("own"), Lines{"master.tmp"});
    // An entry named like the archive, extracted where the archive lies.
    ASSERT_EQ(run({"a", "../arc", "arc"}, "in").code, 0);
    const std::string before = read("arc");
    const Outcome r = run({"x", "arc"});
    EXPECT_NE(r.out.find("Error: cannot open Output file " + home_ + "/arc\n"), std::string::npos) << r.out;
    EXPECT_EQ(read("arc"), before);
}

TEST_F(ProgramTest, ExtractedFilesHaveExactlyTheStoredLength)
{
    write("f.txt", text_of(3000, 5));
    write("empty", "");
    ASSERT_EQ(run({"a", "arc", "f.txt", "empty"}).code, 0);
    write("out/f.txt", random_of(100000, 6));  // older, longer files in the way
    write("out/empty", "not empty\n");
    ASSERT_EQ(run({"x", "arc", "out/"}).code, 1);
    EXPECT_TRUE(read("out/f.txt") == read("f.txt"));
    EXPECT_EQ(size_of("out/empty"), 0);
    // The same name appended again: the later, shorter copy wins, and so
    // does a later empty copy.
    write("f.txt", "short now\n");
    ASSERT_EQ(run({"a", "arc", "f.txt"}).code, 0);
    ASSERT_EQ(run({"x", "arc", "out/"}).code, 1);
    EXPECT_EQ(read("out/f.txt"), "short now\n");
    write("f.txt", "");
    ASSERT_EQ(run({"a", "arc", "f.txt"}).code, 0);
    ASSERT_EQ(run({"x", "arc", "out/"}).code, 1);
    EXPECT_EQ(size_of("out/f.txt"), 0);

    // Entries of two runs made into two pieces of one file, in either order,
    // over a longer file.
    const std::string head = text_of(70000, 7), tail = random_of(50000, 8);
    write("p1", head);
    write("p2", tail);
    ASSERT_EQ(run({"a", "a1", "p1"}).code, 0);
    ASSERT_EQ(run({"a", "a2", "p2"}).code, 0);
    StoredEntry one = entries("a1").at(0), two = entries("a2").at(0);
    one.name = two.name = "whole.bin";
    two.piece_offset = head.size();
    test_support::write_file_bytes(at("forward"), build_archive({one, two}));
    test_support::write_file_bytes(at("backward"), build_archive({two, one}));
    for (const char* archive : {"forward", "backward"}) {
        write(std::string("p_") + archive + "/whole.bin", random_of(200000, 9));
        ASSERT_EQ(run({"x", archive, std::string("p_") + archive + "/"}).code, 1);
        EXPECT_TRUE(read(std::string("p_") + archive + "/whole.bin") == head + tail) << archive;
    }
}

TEST_F(ProgramTest, SolidRunsAppendedAtOnceStayReadable)
{
    // Two solid runs into one archive at the same time interleave their
    // entries; an entry that follows another run's entry starts afresh.
    for (int i = 0; i < 40; ++i) {
        write("a/" + std::to_string(i) + ".txt", text_of(3000, i));
        write("b/" + std::to_string(i) + ".txt", text_of(3000, 100 + i));
    }
    const std::string program = program_shell_command();
    const std::string cmd = "cd '" + home_ + "' && (" + program + " a -s -m0 -r arc a >/dev/null & " + program +
                            " a -s -m0 -r arc b >/dev/null; wait)";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ASSERT_EQ(run({"x", "arc", "out/"}).code, 1);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(read("out/a/" + std::to_string(i) + ".txt"), text_of(3000, i)) << i;
        EXPECT_EQ(read("out/b/" + std::to_string(i) + ".txt"), text_of(3000, 100 + i)) << i;
    }
}

TEST_F(ProgramTest, InterruptedEntryIsCutOff)
{
    if (program_is_emulated())  // seen with qemu-i386 7.2: the program dies with SIGSEGV, its handler never runs
        GTEST_SKIP() << "the emulator cannot deliver a signal to the program";
    write("first.txt", text_of(5000, 20));
    write("big.bin", text_of(12u << 20, 21) + random_of(12u << 20, 22));
    ASSERT_EQ(run({"a", "arc", "first.txt"}).code, 0);
    const int64_t complete = size_of("arc");
    // Stopped once the chunks of big.bin have begun to reach the archive.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(home_.c_str()) != 0 || freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
        std::vector<std::string> words = program_command();
        for (const char* arg : {"a", "-m0", "arc", "big.bin"}) words.push_back(arg);
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    pid_t done = 0;
    while (size_of("arc") < complete + 200000 && (done = waitpid(pid, &status, WNOHANG)) == 0) usleep(200);
    if (done == 0) {
        kill(pid, SIGTERM);
        waitpid(pid, &status, 0);
    }
    if (!WIFSIGNALED(status)) GTEST_SKIP() << "packing ended before it could be interrupted";
    EXPECT_EQ(size_of("arc"), complete);
    write("later.txt", "appended after the interruption\n");
    ASSERT_EQ(run({"a", "arc", "later.txt"}).code, 0);
    EXPECT_EQ(listing("arc"), (Lines{"first.txt", "later.txt"}));
}

// Round trips of files from this machine (manual pages, documentation,
// programs, libraries) with block-edge sizes, an empty file and odd names.
TEST_F(ProgramTest, RoundTrips)
{
    const struct {
        const char* root;
        uint64_t max_size;
        size_t count;
    } sources[] = {{"/usr/share/man", 8 << 10, 140}, {"/usr/share/doc", 16 << 10, 100},
                   {"/usr/bin", 96 << 10, 30},       {"/usr/lib/x86_64-linux-gnu", 160 << 10, 20}};
    size_t files = 0;
    for (const auto& s : sources) {  // every k-th file of a size in (0, max_size], by sorted path
        std::vector<fs::path> all;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(s.root, fs::directory_options::skip_permission_denied, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code e2;
            if (it->is_regular_file(e2) && !it->is_symlink(e2) && it->file_size(e2) - 1 < s.max_size)
                all.push_back(it->path());
        }
        std::sort(all.begin(), all.end());
        const std::string dir = at("data" + std::string(s.root)) + "/";
        fs::create_directories(dir);
        const size_t step = std::max<size_t>(1, all.size() / s.count);
        for (size_t i = 0; i < all.size() && i / step < s.count; i += step)
            files += fs::copy_file(all[i], dir + std::to_string(i) + "-" + all[i].filename().string(), ec);
    }
    if (files < 100) GTEST_SKIP() << "too few files on this machine: " << files;
    write("data/edge/exact.bin", text_of(1 << 20, 11));
    write("data/edge/plus1.bin", text_of((1 << 20) + 1, 12));
    write("data/edge/zero", "");
    for (const std::string n : {"a b  c.txt", "caf\xc3\xa9 \xe2\x82\xac.txt", "raw\xff\xfe\x80.bin", " lead"})
        write("data/blank dir/\xc3\xbc" "n\xc3\xaf" "c\xc3\xb6" "de/" + n, "named " + n);
    files += 7;

    for (const char* method : {"-m0", "-m4", "-m6"}) {
        for (const char* solid : {"-o", "-s"}) {  // -o changes nothing
            fs::remove_all(at("out"));
            fs::remove(at("arc"));
            ASSERT_EQ(run({"a", "-r", method, solid, "arc", "data"}).code, 0);
            EXPECT_EQ(entries("arc").size(), files);
            EXPECT_EQ(lines_of(run({"x", "arc", "out/"}).out).back(), " OK! ");
            EXPECT_EQ(std::system(("diff -r -q '" + at("data") + "' '" + at("out/data") + "' >&2").c_str()), 0)
                << method << solid;
        }
    }
}
