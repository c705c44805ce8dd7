// Running the built program in a temporary directory, and taking archives
// apart and putting them together again byte for byte.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace program_test {

struct Outcome {
    std::string out, err;  // standard output and standard error
    int code;              // exit code; 128 + the signal when a signal ended it
};

// The command that starts the program under test: the program itself, or,
// where this machine's kernel runs no 32-bit programs, the emulator and then
// the program. Every test starts the program through these. A memory_limit
// other than 0 caps the program's address space at that many bytes.
std::vector<std::string> program_command(uint64_t memory_limit = 0);
std::string program_shell_command(uint64_t memory_limit = 0);  // the same, quoted for sh
// True when the program runs under a user-mode emulator, which cannot follow
// the program when it starts further copies of itself.
bool program_is_emulated();

// Runs the program with args (no shell expansion) in the directory cwd. A
// file_size_limit other than 0 caps the size of every file it writes at
// about that many bytes (the shell's ulimit -f: half of it in some shells).
Outcome run_program(const std::string& cwd, const std::vector<std::string>& args, uint64_t memory_limit = 0,
                    uint64_t file_size_limit = 0);
std::vector<std::string> lines_of(const std::string& text);  // each without its "\n"

// The program started in the background, for tests that watch, stop or kill
// it (or the copies of itself that it starts) while it runs.
struct BackgroundRun {
    int pid = -1;
    std::string out_file, err_file;  // its standard output and error
};
BackgroundRun start_program(const std::string& cwd, const std::vector<std::string>& args);
// Waits for it (killing it after timeout_seconds) and collects its outcome.
Outcome finish_program(BackgroundRun& run, int timeout_seconds = 120);
// The processes that pid started and that have not been collected yet: each
// id with its command line and whether it has ended already (a zombie).
struct ChildProcess {
    int pid;
    std::vector<std::string> args;
    bool ended;
};
std::vector<ChildProcess> children_of(int pid);

// One archive entry: its header fields, the bytes after the header, and
// where it starts in the archive it came from.
struct StoredEntry {
    uint8_t solid = 0, reset = 1;
    std::string name, dir;
    int64_t piece_length = 0;
    uint64_t piece_offset = 0, offset = 0;
    uint32_t block_size = 0;
    std::vector<uint8_t> chunks;
    size_t header_size() const { return 36 + name.size() + dir.size(); }
};
std::vector<uint8_t> build_archive(const std::vector<StoredEntry>& entries);  // entry lengths computed

std::string read_text(const std::string& path);  // "" when unreadable
std::vector<std::string> tree_of(const std::string& root);  // paths below root, sorted; directories end in '/'
std::string text_of(size_t n, uint32_t seed);
std::string random_of(size_t n, uint32_t seed);

// A temporary directory that the program runs in (its path holds no '.').
class ProgramTest : public testing::Test {
protected:
    std::string at(const std::string& rel) const { return home_ + "/" + rel; }
    // The path as the program forms and prints it from its current directory.
    std::string shown(const std::string& rel) const { return home_ + "/" + rel; }
    Outcome run(const std::vector<std::string>& args, const std::string& sub = "") const
    {
        return run_program(sub.empty() ? home_ : at(sub), args);
    }
    void write(const std::string& rel, const std::string& text) const;  // makes the directories
    std::string read(const std::string& rel) const { return read_text(at(rel)); }
    bool exists(const std::string& rel) const { return std::filesystem::exists(at(rel)); }
    int64_t size_of(const std::string& rel) const { return std::filesystem::file_size(at(rel)); }
    // The entries of an archive that the program wrote; fails the test when malformed.
    std::vector<StoredEntry> entries(const std::string& archive) const;
    // The entry lines that `l` prints (its first and last lines left out).
    std::vector<std::string> listing(const std::string& archive, std::vector<std::string> patterns = {}) const;

    test_support::TempDir temp_;
    const std::string home_ = std::filesystem::canonical(temp_.path()).string();
};

// Runs with tasks: skipped where the program runs under a user-mode
// emulator, which cannot follow the copies of itself that a master starts.
class TaskProgramTest : public ProgramTest {
protected:
    void SetUp() override
    {
        if (program_is_emulated())
            GTEST_SKIP() << "qemu-user cannot follow the copies of the program that a master starts";
    }
};

}  // namespace program_test
