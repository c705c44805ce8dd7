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
#include "archive/entry_reader.h"
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

// Walks the entry headers of the archive as far as they can be read and
// says whether one of them asks for a block size above LARGEST_BLOCK.
bool asks_for_large_block()
{
    FileHandle archive = open_file(sandbox.archive.c_str(), FILE_READ, OPEN_EXISTING_FILE);
    const int64_t size = file_length(archive);
    EntryHeader header;
    bool large = false;
    for (int64_t at = 0; !large && at < size && read_entry_header(archive, at, &header) == nullptr &&
                         check_entry_length(header, at, size) == nullptr;
         at += static_cast<int64_t>(header.length))
        large = header.block_size > LARGEST_BLOCK;
    close_file(archive);
    return large;
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
    // libFuzzer sets its own handler after start-up (unless -handle_xfsz=0).
    signal(SIGXFSZ, SIG_IGN);
    FILE* f = std::fopen(sandbox.archive.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::perror("archive_reader: writing the archive");
        std::abort();
    }
    if (asks_for_large_block()) return -1;
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
