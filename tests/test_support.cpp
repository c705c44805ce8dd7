#include "tests/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "engine/entry_codec.h"
#include "platform/native_paths.h"
#include "platform/system_info.h"

namespace test_support {

TempDir::TempDir()
{
    // Under /tmp on Linux, and on every system a name nobody else has.
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::random_device seed;
    std::mt19937 pick(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "zendal-test-%08x", static_cast<unsigned>(pick()));
        const std::filesystem::path dir = (error ? std::filesystem::path("/tmp") : base) / name;
        if (std::filesystem::create_directory(dir, error)) {
            path_ = dir.generic_string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir()
{
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    if (error) std::fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::vector<uint8_t> own_program_bytes()
{
    char path[PLATFORM_PATH_LIMIT + 1];
    if (!get_program_path(path, sizeof path)) throw std::runtime_error("cannot find the running program");
    return read_file_bytes(path);
}

std::vector<uint8_t> read_file_bytes(const std::string& path)
{
    std::vector<uint8_t> out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        uint8_t buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
        std::fclose(f);
    }
    return out;
}

void write_file_bytes(const std::string& path, const std::vector<uint8_t>& data)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot write " + path);
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng() >> 24);
    return out;
}

std::vector<uint8_t> text_bytes(size_t n, uint32_t seed)
{
    static const char* words[] = {"the", "archive", "of", "a", "block", "is", "coded", "and",
                                  "restored", "byte", "for", "every", "file", "in", "order",
                                  "with", "its", "model", "stream", "chunk", "record", "to"};
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    out.reserve(n + 16);
    while (out.size() < n) {
        const char* w = words[rng() % (sizeof words / sizeof *words)];
        while (*w) out.push_back(static_cast<uint8_t>(*w++));
        out.push_back(rng() % 13 == 0 ? '\n' : ' ');
    }
    out.resize(n);
    return out;
}

}  // namespace test_support

namespace {

// What the program's start-up sets up once.
class StartUp : public testing::Environment {
public:
    void SetUp() override { start_engine(); }
};

const testing::Environment* const start_up = testing::AddGlobalTestEnvironment(new StartUp);

}  // namespace
