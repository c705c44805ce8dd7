// Runs with tasks: a master (-t<n>) and the copies of the program it starts
// as workers. Archives made with tasks extract byte for byte with and
// without tasks; the control file and the part files never outlive a run
// and never replace a file of the same name; a worker that ends idle is
// started again, a worker that dies in the middle of a job fails the run.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sched.h>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "tests/test_program_support.h"

using namespace program_test;
using Lines = std::vector<std::string>;

namespace {

constexpr size_t MiB = 1 << 20;

bool wait_until(const std::function<bool()>& condition, int seconds = 60)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class TaskRuns : public TaskProgramTest {
protected:
    // Every file below home_ that a run with tasks leaves behind: the
    // control file and part files (the archive's name and a number).
    Lines run_files(const std::string& archive) const
    {
        Lines found;
        for (const std::string& path : tree_of(home_)) {
            const std::string name = path.substr(path.find_last_of('/') + 1);
            const bool part = name.size() > archive.size() && name.compare(0, archive.size(), archive) == 0 &&
                              name.find_first_not_of("0123456789", archive.size()) == std::string::npos;
            if (name == "master.tmp" || part) found.push_back(path);
        }
        return found;
    }

    // Extracts the archive into a fresh directory and compares every file.
    void expect_extracts(const std::string& archive, const Lines& switches, const Lines& files,
                         const std::string& from = "")
    {
        const std::string out = "out" + std::to_string(++extractions_) + "/";
        Lines args = {"x"};
        args.insert(args.end(), switches.begin(), switches.end());
        args.insert(args.end(), {archive, out});
        const Outcome r = run(args);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(lines_of(r.out).back(), " OK! ") << r.out;
        for (const std::string& f : files)
            EXPECT_TRUE(read(out + f) == read(from + f) && exists(out + f)) << f << " " << testing::PrintToString(args);
        EXPECT_EQ(run_files(archive), Lines{});
    }

    // The control file's status bytes of tasks 1..n.
    std::string status_bytes(int n) const
    {
        std::string bytes = read("master.tmp");
        bytes.resize(std::max(bytes.size(), static_cast<size_t>(n) + 1), '\0');
        return bytes.substr(1, static_cast<size_t>(n));
    }

    static bool is_task(const ChildProcess& c, int task)
    {
        return std::find(c.args.begin(), c.args.end(), "-p" + std::to_string(task)) != c.args.end();
    }

    std::vector<ChildProcess> workers(const BackgroundRun& master) const { return children_of(master.pid); }

    bool all_workers_ended(const BackgroundRun& master) const
    {
        const std::vector<ChildProcess> c = workers(master);
        return std::all_of(c.begin(), c.end(), [](const ChildProcess& p) { return p.ended; });
    }

    // True when one of the master's workers holds the file open.
    bool a_worker_holds_open(const BackgroundRun& master, const std::string& rel) const
    {
        for (const ChildProcess& c : workers(master)) {
            std::error_code ec;
            for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(c.pid) + "/fd", ec))
                if (std::filesystem::read_symlink(fd.path(), ec).string() == at(rel)) return true;
        }
        return false;
    }

    // Processor time (user and system) that a process has taken, in seconds.
    static double cpu_seconds(int pid)
    {
        const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        // Fields 14 and 15 of the line: utime and stime.
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i >= 14) ticks += std::stod(field);
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    // The bytes of the archive's entries whose names are among `names`.
    int64_t bytes_of_entries(const std::string& archive, const std::set<std::string>& names) const
    {
        int64_t total = 0;
        for (const StoredEntry& e : entries(archive))
            if (names.count(e.name) != 0) total += static_cast<int64_t>(e.header_size() + e.chunks.size());
        return total;
    }

    int extractions_ = 0;
};

// (name, piece offset, piece length) of every entry, sorted.
std::vector<std::tuple<std::string, uint64_t, int64_t>> pieces(const std::vector<StoredEntry>& entries)
{
    std::vector<std::tuple<std::string, uint64_t, int64_t>> result;
    for (const StoredEntry& e : entries) result.emplace_back(e.name, e.piece_offset, e.piece_length);
    std::sort(result.begin(), result.end());
    return result;
}

}  // namespace

TEST_F(TaskRuns, FilesAreCutIntoPiecesAndComeBackWholeEveryWay)
{
    write("empty", "");
    write("e8", random_of(8 * MiB, 1));
    write("t20", random_of(12 * MiB, 2) + text_of(8 * MiB, 3));
    write("r40", random_of(40 * MiB, 4));
    write("small.txt", text_of(5000, 5));
    const Lines files = {"empty", "e8", "t20", "r40", "small.txt"};
    const Outcome r = run({"a", "-t4", "arc", "empty", "e8", "t20", "r40", "small.txt"});
    ASSERT_EQ(r.code, 0) << r.out;
    // The task line once, the end-phase line, the input total.
    const Lines lines = lines_of(r.out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "multiprocess compression use 4 task "), 1);
    EXPECT_EQ(lines.at(lines.size() - 2), " close task's active ");
    EXPECT_EQ(lines.back(), " Compressed " + std::to_string(68 * MiB + 5000) + " bytes to " +
                                std::to_string(size_of("arc")) + " bytes ");
    EXPECT_EQ(run_files("arc"), Lines{});
    const uint64_t M = MiB;
    const std::vector<std::tuple<std::string, uint64_t, int64_t>> expected = {
        {"e8", 0, 8 * M},       {"e8", 8 * M, 0},        {"empty", 0, 0},         {"r40", 0, 10 * M},
        {"r40", 10 * M, 10 * M}, {"r40", 20 * M, 10 * M}, {"r40", 30 * M, 10 * M}, {"r40", 40 * M, 0},
        {"small.txt", 0, 5000}, {"t20", 0, 8 * M},       {"t20", 8 * M, 8 * M},   {"t20", 16 * M, 4 * M},
    };
    EXPECT_EQ(pieces(entries("arc")), expected);

    expect_extracts("arc", {}, files);
    expect_extracts("arc", {"-t2"}, files);
    expect_extracts("arc", {"-t4"}, files);
    expect_extracts("arc", {"-t0"}, files);
    // Over older files: longer ones are cut to the stored length, pieces and all.
    write("out9/r40", random_of(45 * MiB, 6));
    write("out9/empty", "not empty");
    write("out9/small.txt", text_of(9000, 7));
    extractions_ = 8;
    expect_extracts("arc", {"-t4"}, files);
}

TEST_F(TaskRuns, ArchivesOfOneProcessExtractWithTasks)
{
    Lines files;
    for (int i = 0; i < 40; ++i) {
        files.push_back("d" + std::to_string(i % 3) + "/f" + std::to_string(i) + (i % 2 ? ".txt" : ".bin"));
        write(files.back(), i % 2 ? text_of(2000 + 300 * i, i) : random_of(100 + 50 * i, i));
    }
    write("big.txt", text_of(9 * MiB, 99));
    files.push_back("big.txt");
    ASSERT_EQ(run({"a", "-r", "plain", "d0", "d1", "d2", "big.txt"}).code, 0);
    ASSERT_EQ(run({"a", "-r", "-s", "solid", "d0", "d1", "d2", "big.txt"}).code, 0);
    // A plain archive extended by a solid run: the solid entries continue
    // each other although the first entry is not solid.
    ASSERT_EQ(run({"a", "-r", "mixed", "d0"}).code, 0);
    ASSERT_EQ(run({"a", "-r", "-s", "mixed", "d1", "d2", "big.txt"}).code, 0);
    ASSERT_EQ(entries("mixed").at(0).solid, 0);
    for (const char* archive : {"plain", "solid", "mixed"}) {
        expect_extracts(archive, {"-t4"}, files);
        expect_extracts(archive, {"-t2"}, files);
    }
    // Only the matching files of a solid run are written.
    const Outcome r = run({"x", "-t3", "solid", "sel/*.TXT"});
    EXPECT_EQ(lines_of(r.out).back(), " OK! ");
    Lines written = tree_of(at("sel"));
    written.erase(std::remove_if(written.begin(), written.end(), [](const std::string& p) { return p.back() == '/'; }),
                  written.end());
    Lines txt;
    for (const std::string& f : files)
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".txt") == 0) txt.push_back(f);
    std::sort(txt.begin(), txt.end());
    EXPECT_EQ(written, txt);
    for (const std::string& f : txt) EXPECT_EQ(read("sel/" + f), read(f)) << f;

    // The newest copy of a file is the one restored, even when it is empty.
    write("later", random_of(MiB, 5));
    ASSERT_EQ(run({"a", "twice", "later"}).code, 0);
    write("later", "");
    ASSERT_EQ(run({"a", "twice", "later"}).code, 0);
    EXPECT_EQ(lines_of(run({"x", "-t2", "twice", "newest/"}).out).back(), " OK! ");
    EXPECT_EQ(size_of("newest/later"), 0);
}

TEST_F(TaskRuns, SolidRunsOfWorkersAndManySmallFiles)
{
    Lines files;
    for (int i = 0; i < 150; ++i) {
        files.push_back("m/s" + std::to_string(i) + ".txt");
        write(files.back(), text_of(500 + 37 * i, 1000 + i));
    }
    ASSERT_EQ(run({"a", "-s", "-t2", "runs", "m/*"}).code, 0);
    // Each worker's entries form solid runs of their own: fewer runs than tasks below.
    const std::vector<StoredEntry> stored = entries("runs");
    EXPECT_EQ(stored.size(), files.size());
    const auto runs = std::count_if(stored.begin(), stored.end(), [](const StoredEntry& e) { return e.reset == 1; });
    EXPECT_GE(runs, 1);
    EXPECT_LE(runs, 2);
    EXPECT_TRUE(std::all_of(stored.begin(), stored.end(), [](const StoredEntry& e) { return e.solid == 1; }));
    expect_extracts("runs", {}, files);
    expect_extracts("runs", {"-t4"}, files);
    ASSERT_EQ(run({"a", "-t3", "flat", "m/*"}).code, 0);
    expect_extracts("flat", {"-t3"}, files);
    expect_extracts("flat", {}, files);
}

TEST_F(TaskRuns, PathsWithBlanksReachTheWorkers)
{
    write("my dir/a file.txt", text_of(30000, 1));
    write("my dir/b file.bin", random_of(9 * MiB, 2));
    ASSERT_EQ(run({"a", "-t2", "the arc", "a file.txt", "b file.bin"}, "my dir").code, 0);
    EXPECT_EQ(pieces(entries("my dir/the arc")).size(), 3u);
    EXPECT_EQ(run_files("the arc"), Lines{});
    const Outcome r = run({"x", "-t2", "the arc", "../out dir/"}, "my dir");
    EXPECT_EQ(lines_of(r.out).back(), " OK! ") << r.out;
    EXPECT_EQ(read("out dir/a file.txt"), read("my dir/a file.txt"));
    EXPECT_EQ(read("out dir/b file.bin"), read("my dir/b file.bin"));
}

TEST_F(TaskRuns, FilesOfTheSameNamesAreNeverTouched)
{
    write("f.txt", text_of(4000, 1));
    write("master.tmp", "the user's own file\n");
    Outcome r = run({"a", "-t2", "arc", "f.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("problems with task (" + home_ + "/master.tmp exists already"), std::string::npos) << r.out;
    EXPECT_EQ(read("master.tmp"), "the user's own file\n");
    EXPECT_FALSE(exists("arc"));
    ASSERT_EQ(run({"a", "one", "f.txt"}).code, 0);
    r = run({"x", "-t2", "one", "out/"});
    EXPECT_NE(r.out.find("problems with task ("), std::string::npos) << r.out;
    EXPECT_FALSE(exists("out/f.txt"));
    unlink(at("master.tmp").c_str());

    // A part file's name: the run refuses before it writes anything.
    write("arc2", "a file called arc2\n");
    r = run({"a", "-t3", "arc", "f.txt"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("problems with " + home_ + "/arc2 (the file exists already"), std::string::npos) << r.out;
    EXPECT_EQ(read("arc2"), "a file called arc2\n");
    EXPECT_FALSE(exists("arc") || exists("master.tmp"));
    // A part file of a task this run does not have is no concern of it.
    unlink(at("arc2").c_str());
    r = run({"a", "-t2", "arc", "f.txt"});
    write("arc3", "left by an earlier run\n");
    r = run({"a", "-t2", "arc", "f.txt"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(read("arc3"), "left by an earlier run\n");
    EXPECT_EQ(listing("arc"), (Lines{"f.txt", "f.txt"}));
}

TEST_F(TaskRuns, ASecondMasterInTheSameDirectoryRefuses)
{
    write("big", random_of(30 * MiB, 1));
    write("f.txt", text_of(4000, 2));
    BackgroundRun first = start_program(home_, {"a", "-t2", "first", "big"});
    ASSERT_TRUE(wait_until([&] { return !workers(first).empty(); }));
    const Outcome second = run({"a", "-t2", "second", "f.txt"});
    EXPECT_EQ(second.code, 1);
    EXPECT_NE(second.out.find("problems with task (" + home_ + "/master.tmp is in use"), std::string::npos)
        << second.out;
    EXPECT_FALSE(exists("second"));
    const Outcome r = finish_program(first);
    EXPECT_EQ(r.code, 0) << r.out;
    expect_extracts("first", {}, {"big"});
}

TEST_F(TaskRuns, AWorkerKilledInTheMiddleOfAJobFailsTheRun)
{
    write("a1", text_of(3 * MiB, 1));
    write("a2", random_of(30 * MiB, 2));
    write("a3", random_of(30 * MiB, 3));
    write("keep", text_of(5000, 4));
    ASSERT_EQ(run({"a", "arc", "keep"}).code, 0);
    const int64_t before = size_of("arc");
    BackgroundRun master = start_program(home_, {"a", "-t2", "arc", "a1", "a2", "a3"});
    // Task 2 writes its part file while task 1 writes the archive.
    std::vector<ChildProcess> busy;
    ASSERT_TRUE(wait_until([&] {
        busy = workers(master);
        return busy.size() == 2 && exists("master.tmp") && status_bytes(2) == "\x01\x01";
    }));
    // Task 1, which writes into the archive itself, dies in the middle of an entry.
    const auto task1 = std::find_if(busy.begin(), busy.end(), [](const ChildProcess& c) { return is_task(c, 1); });
    ASSERT_NE(task1, busy.end());
    kill(task1->pid, SIGKILL);
    Outcome r = finish_program(master);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(lines_of(r.out).back(), "Error: task 1 ended in the middle of a job") << r.out;
    EXPECT_EQ(run_files("arc"), Lines{});
    EXPECT_EQ(children_of(master.pid).size(), 0u);
    // The archive is as the run found it: no entry of the failed run, whose
    // files would miss the pieces of the other task.
    EXPECT_EQ(size_of("arc"), before);
    r = run({"x", "-t2", "arc", "part/"});
    EXPECT_EQ(lines_of(r.out).back(), " OK! ") << r.out;
    EXPECT_EQ(read("part/keep"), read("keep"));

    // The same during extraction.
    ASSERT_EQ(run({"a", "-t2", "whole", "a1", "a2", "a3"}).code, 0);
    master = start_program(home_, {"x", "-t2", "whole", "out/"});
    ASSERT_TRUE(wait_until([&] {
        busy = workers(master);
        return !busy.empty() && is_task(busy[0], 1) && exists("master.tmp") && status_bytes(1)[0] == 1;
    }));
    kill(busy[0].pid, SIGKILL);
    r = finish_program(master);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find(" ended in the middle of a job\n"), std::string::npos) << r.out;
    EXPECT_FALSE(exists("master.tmp"));
}

TEST_F(TaskRuns, TasksWhoseWorkersEndedAreStartedAgain)
{
    Lines files;
    for (int i = 0; i < 4; ++i) {
        files.push_back("p" + std::to_string(i));
        write(files.back(), random_of(16 * MiB, i));
    }
    Lines args = {"a", "-t2", "arc"};
    args.insert(args.end(), files.begin(), files.end());
    BackgroundRun master = start_program(home_, args);
    ASSERT_TRUE(wait_until([&] { return workers(master).size() == 2 && status_bytes(2) == "\x01\x01"; }));
    // With the master held, both tasks finish their jobs and fall idle; one
    // worker is killed while idle, the other told to stop as a worker that
    // gives up idle tells itself.
    kill(master.pid, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return status_bytes(2) == std::string(2, '\0'); }));
    const std::vector<ChildProcess> idle = workers(master);
    ASSERT_EQ(idle.size(), 2u);
    kill(idle[is_task(idle[0], 1) ? 1 : 0].pid, SIGKILL);
    {
        std::FILE* control = std::fopen(at("master.tmp").c_str(), "rb+");
        ASSERT_NE(control, nullptr);
        std::fseek(control, 1, SEEK_SET);
        std::fputc(2, control);
        std::fclose(control);
    }
    ASSERT_TRUE(wait_until([&] { return all_workers_ended(master); }));
    kill(master.pid, SIGCONT);
    const Outcome r = finish_program(master);
    EXPECT_EQ(r.code, 0) << r.out;
    expect_extracts("arc", {"-t2"}, files);

    // Extraction: a fresh worker in the middle of a solid run decodes the
    // run again from its start.
    Lines texts;
    for (int i = 0; i < 40; ++i) {
        texts.push_back("s" + std::to_string(i) + ".txt");
        write(texts.back(), text_of(400000, 50 + i));
    }
    args = {"a", "-s", "solid"};
    args.insert(args.end(), texts.begin(), texts.end());
    ASSERT_EQ(run(args).code, 0);
    master = start_program(home_, {"x", "-t2", "solid", "sx/"});
    ASSERT_TRUE(wait_until([&] { return exists("sx/s3.txt"); }));
    kill(master.pid, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return status_bytes(1) == std::string(1, '\0'); }));
    for (const ChildProcess& c : workers(master)) kill(c.pid, SIGKILL);
    ASSERT_TRUE(wait_until([&] { return all_workers_ended(master); }));
    kill(master.pid, SIGCONT);
    const Outcome x = finish_program(master);
    EXPECT_EQ(lines_of(x.out).back(), " OK! ") << x.out;
    for (const std::string& f : texts) EXPECT_EQ(read("sx/" + f), read(f)) << f;
}

TEST_F(TaskRuns, AWorkerIdleTooLongEndsAndIsStartedAgain)
{
    write("p1", random_of(16 * MiB, 1));
    write("p2", random_of(16 * MiB, 2));
    BackgroundRun master = start_program(home_, {"a", "-t2", "arc", "p1", "p2"});
    ASSERT_TRUE(wait_until([&] { return workers(master).size() == 2 && status_bytes(2) == "\x01\x01"; }));
    kill(master.pid, SIGSTOP);
    // Idle workers rest: once both tasks are idle, each worker takes only a
    // small part of a processor while it waits (a spinning one takes all of
    // it; the margin is for the sanitizer build next to other tests).
    ASSERT_TRUE(wait_until([&] { return status_bytes(2) == std::string(2, '\0'); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::vector<ChildProcess> idle = workers(master);
    std::vector<double> before;
    for (const ChildProcess& c : idle) before.push_back(cpu_seconds(c.pid));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (size_t i = 0; i < idle.size(); ++i)
        EXPECT_LT(cpu_seconds(idle[i].pid) - before[i], 0.5) << "an idle worker spins";
    // Both workers give their tasks up on their own after their idle limit.
    const bool ended = wait_until([&] { return all_workers_ended(master); },
        // About a minute and a half on a quiet machine; other load stretches
        // every pause between polls, and the limit is counted in polls.
        480);
    const std::string status = status_bytes(2);
    kill(master.pid, SIGCONT);
    ASSERT_TRUE(ended);
    EXPECT_EQ(status, "\x02\x02");
    const Outcome r = finish_program(master);
    EXPECT_EQ(r.code, 0) << r.out;
    expect_extracts("arc", {}, {"p1", "p2"});
}

TEST_F(TaskRuns, AnInterruptedMasterStopsItsWorkersAndCleansUp)
{
    write("a1", random_of(30 * MiB, 1));
    write("a2", random_of(30 * MiB, 2));
    write("keep", text_of(5000, 4));
    ASSERT_EQ(run({"a", "arc", "keep"}).code, 0);
    const int64_t before = size_of("arc");
    // A master started with SIGTERM ignored (as by some service managers)
    // still stops its workers: they take SIGTERM's default action.
    void (*was)(int) = std::signal(SIGTERM, SIG_IGN);
    BackgroundRun master = start_program(home_, {"a", "-t2", "arc", "a1", "a2"});
    std::signal(SIGTERM, was);
    std::vector<ChildProcess> busy;
    ASSERT_TRUE(wait_until([&] {
        busy = workers(master);
        return busy.size() == 2 && exists("master.tmp") && status_bytes(2) == "\x01\x01";
    }));
    for (const ChildProcess& c : busy) {
        const std::string status = read_text("/proc/" + std::to_string(c.pid) + "/status");
        const size_t at = status.find("SigIgn:\t");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(std::stoull(status.substr(at + 8, 16), nullptr, 16) & (1ull << (SIGTERM - 1)), 0u) << c.pid;
    }
    kill(master.pid, SIGINT);
    const Outcome r = finish_program(master);
    EXPECT_EQ(r.code, 128 + SIGINT);
    EXPECT_EQ(run_files("arc"), Lines{});
    for (const ChildProcess& c : busy) EXPECT_NE(kill(c.pid, 0), 0) << "worker " << c.pid << " still runs";
    // The archive is as the run found it.
    EXPECT_EQ(size_of("arc"), before);
    EXPECT_EQ(listing("arc"), Lines{"keep"});

    // An archive named like the control file would vanish with it.
    const Outcome named = run({"a", "-t2", "master.tmp", "keep"});
    EXPECT_EQ(named.code, 1);
    EXPECT_EQ(lines_of(named.out).back(), "problems with " + home_ + "/master.tmp (it is the control file of this run)")
        << named.out;
    EXPECT_FALSE(exists("master.tmp"));
}

TEST_F(TaskRuns, TaskCountFromTheAffinityAndPathsThatDoNotFitAJob)
{
    cpu_set_t all, two;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    if (CPU_COUNT(&all) < 3) GTEST_SKIP() << "needs three processors";
    CPU_ZERO(&two);
    for (int cpu = 0, n = 0; n < 2; ++cpu)
        if (CPU_ISSET(cpu, &all)) CPU_SET(cpu, &two), ++n;
    write("f.txt", text_of(3000, 1));
    ASSERT_EQ(sched_setaffinity(0, sizeof two, &two), 0);
    const Outcome r = run({"a", "-t0", "arc", "f.txt"});
    sched_setaffinity(0, sizeof all, &all);
    EXPECT_NE(r.out.find("multiprocess compression use 2 task \n"), std::string::npos) << r.out;

    // A job holds a path of 259 characters; one of 260 is refused whole.
    const std::string dir = std::string(200, 'd') + "/";
    const std::string fits = dir + std::string(259 - dir.size(), 'a');
    const std::string too_long = dir + std::string(260 - dir.size(), 'b');
    write(fits, "fits\n");
    write(too_long, "too long\n");
    const Outcome a = run({"a", "-t2", "long", dir + "*"});
    EXPECT_EQ(a.code, 0);
    EXPECT_NE(a.out.find("Error: path too long, skipped " + too_long + "\n"), std::string::npos) << a.out;
    EXPECT_EQ(listing("long"), Lines{fits});
    // A destination of 259 characters fits a path, but not a job.
    const std::string dest = std::string(257 - home_.size(), 'o') + "/";
    const Outcome x = run({"x", "-t2", "long", dest});
    EXPECT_EQ(x.code, 1);
    EXPECT_EQ(lines_of(x.out).back(), "Error: path too long: " + home_ + "/" + dest) << x.out;
    EXPECT_EQ(run_files("long"), Lines{});
}

TEST_F(TaskRuns, AKilledMasterLeavesTheArchiveAsItWasAndTheNextRunClearsItsLeftovers)
{
    write("keep", text_of(5000, 1));
    write("mix16", random_of(8 * MiB, 2) + text_of(8 * MiB, 3));
    ASSERT_EQ(run({"a", "arc", "keep"}).code, 0);
    const std::string before = read("arc");
    BackgroundRun master = start_program(home_, {"a", "-t2", "-m3", "arc", "mix16"});
    std::vector<ChildProcess> busy;
    ASSERT_TRUE(wait_until([&] {
        busy = workers(master);
        return busy.size() == 2 && status_bytes(2) == "\x01\x01";
    }));
    // Task 2 is held, so the run cannot reach its end, while task 1 stores
    // its piece: its part file then starts with a whole entry.
    const auto task2 = std::find_if(busy.begin(), busy.end(), [](const ChildProcess& c) { return is_task(c, 2); });
    ASSERT_NE(task2, busy.end());
    kill(task2->pid, SIGSTOP);
    const bool stored = wait_until([&] {
        std::ifstream part(at("arc1"), std::ios::binary);
        char length[8] = {};
        return part.read(length, 8) && std::string(length, 8) != std::string(8, '\0');
    });
    kill(master.pid, SIGKILL);
    finish_program(master);
    kill(task2->pid, SIGCONT);
    ASSERT_TRUE(stored);
    // Its workers end with it (whether or not their new parent collects them).
    for (const ChildProcess& c : busy)
        EXPECT_TRUE(wait_until([&] {
            const std::string stat = read_text("/proc/" + std::to_string(c.pid) + "/stat");
            return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
        })) << "worker " << c.pid << " still runs";
    EXPECT_EQ(read("arc"), before);
    Outcome r = run({"x", "arc", "out/"});
    EXPECT_EQ(lines_of(r.out).back(), " OK! ") << r.out;
    EXPECT_EQ(tree_of(at("out")), Lines{"keep"});

    // What the dead run left is recognised as such and removed, with one line.
    ASSERT_TRUE(exists("master.tmp") && exists("arc1"));
    write("more", text_of(7000, 4));
    r = run({"a", "-t2", "arc", "more"});
    EXPECT_EQ(r.code, 0) << r.out;
    std::string removed = "Removed what an interrupted run with tasks left behind: " + home_ + "/master.tmp";
    for (int i = 1; i <= 4; ++i)
        if (r.out.find(home_ + "/arc" + std::to_string(i)) != std::string::npos)
            removed += " " + home_ + "/arc" + std::to_string(i);
    EXPECT_NE(r.out.find(removed + "\n"), std::string::npos) << r.out;
    EXPECT_NE(removed.find("/arc1"), std::string::npos);
    EXPECT_EQ(run_files("arc"), Lines{});
    EXPECT_EQ(listing("arc"), (Lines{"keep", "more"}));
}

TEST_F(TaskRuns, AnEntryNamedLikeTheControlFileIsNotExtractedIntoIt)
{
    write("src/master.tmp", "a file of the user's called master.tmp\n");
    write("src/other.bin", random_of(70000, 1));
    ASSERT_EQ(run({"a", "../arc.zdl", "master.tmp", "other.bin"}, "src").code, 0);
    write("dest/.keep", "");
    const Outcome r = run({"x", "-t2", "../arc.zdl"}, "dest");
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("Error: cannot open Output file " + home_ + "/dest/master.tmp\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(lines_of(r.out).back(), " OK! ") << r.out;
    EXPECT_EQ(read("dest/other.bin"), read("src/other.bin"));
    EXPECT_FALSE(exists("dest/master.tmp"));
    // In one process there is no control file, and the entry is extracted.
    EXPECT_EQ(lines_of(run({"x", "../arc.zdl"}, "dest").out).back(), " OK! ");
    EXPECT_EQ(read("dest/master.tmp"), read("src/master.tmp"));
}

TEST_F(TaskRuns, AConsoleThatGoesAwayDoesNotStopARun)
{
    Lines files;
    for (int i = 0; i < 3; ++i) {
        files.push_back("f" + std::to_string(i));
        write(files.back(), text_of(9 * MiB, 10 + i));
    }
    // The reader of the output takes one byte and goes away.
    const std::string command = "cd '" + home_ + "' && (" + program_shell_command() +
                                " a -t4 arc f0 f1 f2; echo $? > code) | head -c 1 > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(read("code"), "0\n");
    EXPECT_EQ(run_files("arc"), Lines{});
    expect_extracts("arc", {}, files);
}

TEST_F(TaskRuns, AnotherWritersEntriesStayAndAreNotCounted)
{
    write("first.txt", text_of(3000, 1));
    write("second.txt", text_of(4000, 2));
    write("h1.txt", text_of(24 * MiB, 3));
    write("h2.txt", text_of(24 * MiB, 4));
    for (const char* archive : {"done.zdl", "stopped.zdl"}) {
        ASSERT_EQ(run({"a", "-m1", archive, "first.txt"}).code, 0);
        const int64_t before = size_of(archive);
        BackgroundRun master = start_program(home_, {"a", "-m1", "-t3", archive, "h1.txt", "h2.txt"});
        ASSERT_TRUE(wait_until([&] { return workers(master).size() == 3 && status_bytes(3) == "\x01\x01\x01"; }));
        // A worker held until the run is stopped keeps the run from its end.
        const std::vector<ChildProcess> busy = workers(master);
        const bool stopping = std::string(archive) == "stopped.zdl";
        if (stopping) kill(busy[0].pid, SIGSTOP);
        // One process appends to the same archive while the run packs.
        const Outcome other = run({"a", "-m1", archive, "second.txt"});
        EXPECT_EQ(other.code, 0) << other.out;
        if (!stopping) {
            const Outcome r = finish_program(master);
            EXPECT_EQ(r.code, 0) << r.out;
            const int64_t joined = bytes_of_entries(archive, {"h1.txt", "h2.txt"});
            EXPECT_EQ(size_of(archive), before + joined + bytes_of_entries(archive, {"second.txt"}));
            EXPECT_EQ(lines_of(r.out).back(), " Compressed " + std::to_string(48 * MiB) + " bytes to " +
                                                  std::to_string(joined) + " bytes ");
            expect_extracts(archive, {"-t2"}, {"first.txt", "second.txt", "h1.txt", "h2.txt"});
        } else {
            // A stopped run removes only what it wrote: nothing.
            kill(master.pid, SIGTERM);
            kill(busy[0].pid, SIGCONT);
            EXPECT_EQ(finish_program(master).code, 128 + SIGTERM);
            EXPECT_EQ(listing(archive), (Lines{"first.txt", "second.txt"}));
            expect_extracts(archive, {}, {"first.txt", "second.txt"});
        }
    }
}

TEST_F(TaskRuns, AFileThatChangesWhileItIsPackedIsStoredWholeOrNotAtAll)
{
    write("a.txt", text_of(3000, 1));
    write("small.txt", text_of(5000, 2));
    for (const bool deleted : {false, true}) {
        const std::string archive = deleted ? "deleted.zdl" : "shrunk.zdl";
        ASSERT_EQ(run({"a", "-m1", archive, "a.txt"}).code, 0);
        write("big.txt", text_of(18853335, 3));
        // Three pieces for two tasks: the third is opened only after one of
        // the first two is done.
        BackgroundRun master = start_program(home_, {"a", "-m1", "-t2", archive, "big.txt", "small.txt"});
        ASSERT_TRUE(wait_until([&] { return a_worker_holds_open(master, "big.txt"); }));
        if (deleted)
            std::filesystem::remove(at("big.txt"));
        else
            std::filesystem::resize_file(at("big.txt"), 5000000);
        const Outcome r = finish_program(master);
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_NE(r.out.find(deleted ? "Error: cannot open Input file big.txt\n"
                                     : "Error: Input file big.txt is shorter than when it was listed\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("Error: Input file big.txt could not be read whole: none of its pieces were stored\n"),
                  std::string::npos)
            << r.out;
        // The archive stays sound, and holds none of big.txt.
        EXPECT_EQ(listing(archive), (Lines{"a.txt", "small.txt"}));
        expect_extracts(archive, {"-t2"}, {"a.txt", "small.txt"});
        expect_extracts(archive, {}, {"a.txt", "small.txt"});
        EXPECT_EQ(run_files(archive), Lines{});
    }
}

TEST_F(TaskRuns, AnArchiveCutOffInItsLastEntryExtractsWithTasksAsInOneProcess)
{
    write("a.bin", random_of(300000, 1));
    write("b.bin", text_of(300000, 2));
    write("c.bin", random_of(300000, 3));
    ASSERT_EQ(run({"a", "arc", "a.bin", "b.bin", "c.bin"}).code, 0);
    const std::vector<StoredEntry> stored = entries("arc");
    ASSERT_EQ(stored.size(), 3u);
    std::filesystem::resize_file(at("arc"), stored[2].offset + 5000);
    const Outcome one = run({"x", "arc", "one/"});
    const Outcome tasks = run({"x", "-t3", "arc", "tasks/"});
    EXPECT_EQ(one.code, 1);
    EXPECT_EQ(tasks.code, 1);
    ASSERT_NE(lines_of(one.out).back().find("is damaged"), std::string::npos) << one.out;
    EXPECT_EQ(lines_of(tasks.out).back(), lines_of(one.out).back()) << tasks.out;
    for (const char* dir : {"one/", "tasks/"}) {
        EXPECT_EQ(read(std::string(dir) + "a.bin"), read("a.bin")) << dir;
        EXPECT_EQ(read(std::string(dir) + "b.bin"), read("b.bin")) << dir;
    }
    EXPECT_EQ(run_files("arc"), Lines{});
}
