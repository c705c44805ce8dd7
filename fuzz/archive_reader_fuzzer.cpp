// libFuzzer harness: arbitrary bytes as an archive, listed and then extracted
// into an empty destination, all in this process.
//
// Each run writes the bytes to a file in a sandbox of its own, lists it,
// extracts it into an empty destination, then checks that nothing appeared
// beside the destination and empties it. What the reader leaves behind when
// it stops on damage is cleared in between: the archive and any output file
// left open are closed, and the engine is reset to a fresh one with a block
// size of 1 MiB, so that each run decodes the same way whatever ran before it.
//
// Output files may not grow past OUTPUT_FILE_LIMIT (a piece offset of a few
// bytes can ask for a file of a terabyte): a write beyond it fails, SIGXFSZ
// being ignored, and the reader reports it and goes on. Inputs whose entries
// ask for a block size above LARGEST_BLOCK are passed over, since their
// working memory (about 11 times the block size) is by design, not a fault,
// and would only slow the search.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "archive/command_line.h"
#include "archive/extractor.h"
#include "archive/settings.h"
#include "engine/entry_codec.h"
#include "engine/entry_state.h"
#include "engine/error.h"

namespace {

namespace fs = std::filesystem;

constexpr rlim_t OUTPUT_FILE_LIMIT = 64 << 20;
constexpr uint32_t LARGEST_BLOCK = 2u << 20;
constexpr int32_t RESET_BLOCK = 1 << 20;

struct Sandbox {
    std::string root;     // holds "archive" and "up"
    std::string archive;  // the bytes of the run
    std::string up;       // holds the destination of the run, and nothing else
    std::string dest;     // up/dest
};

Sandbox sandbox;

uint64_t read_le(const uint8_t* p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Walks the entry headers as far as they can be read and says whether one of
// them asks for a valid block size above LARGEST_BLOCK.
bool asks_for_large_block(const uint8_t* data, size_t size)
{
    size_t at = 0;
    while (at < size) {
        size_t p = at + 10;  // length, solid and reset flags
        for (int field = 0; field < 2; ++field) {
            if (p + 2 > size) return false;
            p += 2 + read_le(data + p, 2);
        }
        if (p + 20 > size) return false;
        const uint64_t block = read_le(data + p + 16, 4);
        if (block > LARGEST_BLOCK && block <= (256u << 20) && (block & (block - 1)) == 0) return true;
        const uint64_t length = read_le(data + at, 8);
        if (length == 0 || length > size - at) return false;
        at += length;
    }
    return false;
}

std::set<int> open_descriptors()
{
    std::set<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    while (const dirent* e = readdir(dir))
        if (e->d_name[0] != '.') fds.insert(std::atoi(e->d_name));
    fds.erase(dirfd(dir));
    closedir(dir);
    return fds;
}

// What the reader leaves when a failure stops it: open files and the
// working memory of the entries it decoded.
void reset_reader(const std::set<int>& open_before)
{
    close_file(read_handle);
    for (int fd : open_descriptors())
        if (open_before.count(fd) == 0) close(fd);
    reset_engine(RESET_BLOCK);
}

[[noreturn]] void escaped(const std::string& path)
{
    std::fprintf(stderr, "archive_reader: extraction wrote outside its destination: %s\n", path.c_str());
    std::abort();
}

// The sandbox holds the archive and up/, up/ the destination: anything else
// was written outside the destination.
void check_sandbox()
{
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(sandbox.root, ec))
        if (e.path() != sandbox.archive && e.path() != sandbox.up) escaped(e.path());
    for (const auto& e : fs::directory_iterator(sandbox.up, ec))
        if (e.path() != sandbox.dest) escaped(e.path());
}

void remove_sandbox()
{
    std::error_code ec;
    fs::remove_all(sandbox.root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    init_program_globals();
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur > OUTPUT_FILE_LIMIT) {
        limit.rlim_cur = OUTPUT_FILE_LIMIT;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/zendal-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("archive_reader: mkdtemp");
        std::exit(1);
    }
    sandbox.root = fs::canonical(pattern).string();
    sandbox.archive = sandbox.root + "/archive";
    sandbox.up = sandbox.root + "/up";
    sandbox.dest = sandbox.up + "/dest";
    fs::create_directories(sandbox.dest);
    reset_engine(RESET_BLOCK);
    std::atexit(remove_sandbox);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (asks_for_large_block(data, size)) return -1;
    // libFuzzer sets its own handler after start-up (unless -handle_xfsz=0).
    signal(SIGXFSZ, SIG_IGN);
    FILE* f = std::fopen(sandbox.archive.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::perror("archive_reader: writing the archive");
        std::abort();
    }
    std::strcpy(archive_path, sandbox.archive.c_str());

    const std::set<int> open_before = open_descriptors();
    listed_count = 0;
    try {
        list_archive("*");
    } catch (const Failure&) {
    }
    reset_reader(open_before);
    try {
        set_destination((sandbox.dest + "/").c_str());
        extract_archive(wildcard);
    } catch (const Failure&) {
    }
    reset_reader(open_before);

    check_sandbox();
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(sandbox.dest, ec)) fs::remove_all(e.path(), ec);
    if (ec || !fs::is_empty(sandbox.dest, ec)) {
        std::fprintf(stderr, "archive_reader: cannot empty %s\n", sandbox.dest.c_str());
        std::abort();
    }
    return 0;
}
