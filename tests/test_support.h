// Shared fixtures for the tests: temporary directories, files and samples.
#pragma once
#include <cstdint>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "engine/error.h"

// Damage found by the statement comes back as a Failure whose line names it,
// and the reason when one is given.
#define EXPECT_DAMAGED_BECAUSE(statement, reason) \
    EXPECT_TRUE(test_support::reports_damage([&] { statement; }, reason))
#define EXPECT_DAMAGED(statement) EXPECT_DAMAGED_BECAUSE(statement, "")

namespace test_support {

template <typename Statement>
testing::AssertionResult reports_damage(Statement statement, const std::string& reason)
{
    try {
        statement();
    } catch (const Failure& failure) {
        if (failure.exit_code == 1 && std::regex_search(failure.line, std::regex("^Error: archive .* is damaged: .*" + reason)))
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "reported: " << failure.line;
    }
    return testing::AssertionFailure() << "no damage reported";
}

// A fresh directory under /tmp, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> read_file_bytes(const std::string& path);
// The bytes of the running test program (x86 machine code).
std::vector<uint8_t> own_program_bytes();
void write_file_bytes(const std::string& path, const std::vector<uint8_t>& data);

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);
// English-like text built from a fixed word list.
std::vector<uint8_t> text_bytes(size_t n, uint32_t seed);

}  // namespace test_support
