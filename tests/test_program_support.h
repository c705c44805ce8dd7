// Running the built program in a temporary directory, and taking archives
// apart and putting them together again byte for byte.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"

namespace program_test {

// What one run of the program left behind.
struct Outcome {
    std::string out;  // standard output
    std::string err;  // standard error
    int code;         // exit code; 128 + the signal when a signal ended it
};

// Runs the program with args (passed as they are, no shell expansion) in
// the directory cwd, after the shell command limits (e.g. "ulimit -v 1000").
Outcome run_program(const std::string& cwd, const std::vector<std::string>& args, const std::string& limits = "");

// The lines of a text, each without its "\n".
std::vector<std::string> lines_of(const std::string& text);

// One archive entry with its header fields decoded; chunks are the bytes
// after the header, up to the entry's length.
struct StoredEntry {
    uint8_t solid = 0;
    uint8_t reset = 1;
    std::string name;
    std::string dir;
    int64_t piece_length = 0;
    uint64_t piece_offset = 0;
    uint32_t block_size = 0;
    std::vector<uint8_t> chunks;
    // Where the entry starts in the archive it was read from.
    uint64_t offset = 0;
    uint64_t header_size() const { return 34 + name.size() + 1 + dir.size() + 1; }
};

// Splits a well-formed archive into its entries (the test fails otherwise).
std::vector<StoredEntry> parse_archive(const std::vector<uint8_t>& bytes);
// Writes entries back to back, each with its entry length computed.
std::vector<uint8_t> build_archive(const std::vector<StoredEntry>& entries);

void put_le(std::vector<uint8_t>& bytes, size_t at, uint64_t value, int width);
uint64_t get_le(const std::vector<uint8_t>& bytes, size_t at, int width);

// The whole file as text (empty when it cannot be read).
std::string read_text(const std::string& path);
void write_text(const std::string& path, const std::string& text);
bool path_exists(const std::string& path);
void make_dirs(const std::string& path);

// Every path below root, relative to it, directories ending in '/'.
std::vector<std::string> tree_of(const std::string& root);

// A temporary directory that the program runs in. Its path holds no '.',
// which the program's archive naming looks at.
class ProgramTest : public testing::Test {
protected:
    // The program's view of the directory: the current directory it reads.
    const std::string& home() const { return home_; }
    std::string at(const std::string& rel) const { return home_ + "/" + rel; }
    // The path as the program formats it from its current directory.
    std::string shown(const std::string& rel) const { return home_ + "\\" + rel; }

    Outcome run(const std::vector<std::string>& args, const std::string& sub = "") const
    {
        return run_program(sub.empty() ? home_ : at(sub), args);
    }
    void write(const std::string& rel, const std::string& text) const;
    std::string read(const std::string& rel) const { return read_text(at(rel)); }

    // The entry lines that `l` prints for the archive (wildcards optional).
    std::vector<std::string> listing(const std::string& archive,
                                     const std::vector<std::string>& patterns = {}) const;

    test_support::TempDir temp_;
    std::string home_ = real_path(temp_.path());

private:
    static std::string real_path(const std::string& path);
};

}  // namespace program_test
