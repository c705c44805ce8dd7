// libFuzzer harness: one entry's streams decoded into blocks of records.
//
// The input is a u32 (little-endian) piece length of 1 byte to
// LONGEST_PIECE, then the entry's chunks as they follow its header in an
// archive. The chunks go into a file behind eight bytes that stand for the
// header, and the piece is decoded block by block (BLOCK bytes each) through
// the engine's door as the extractor does, starting from a fresh engine.
// Damage comes back as a Failure and ends the run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/entry_codec.h"
#include "engine/entry_state.h"
#include "engine/error.h"

namespace {

constexpr uint32_t BLOCK = 1u << 20;
constexpr uint32_t LONGEST_PIECE = 2 * BLOCK;

struct Scratch {
    std::string dir;
    std::string entry;  // the file the chunks are read from
};

Scratch scratch;

void remove_scratch()
{
    std::error_code ec;
    std::filesystem::remove_all(scratch.dir, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    start_engine();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/zendal-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("record_decoder: mkdtemp");
        std::exit(1);
    }
    scratch.dir = pattern;
    scratch.entry = scratch.dir + "/entry";
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return -1;
    const uint32_t piece = data[0] | data[1] << 8 | data[2] << 16 | uint32_t(data[3]) << 24;
    if (piece == 0 || piece > LONGEST_PIECE) return -1;
    FILE* f = std::fopen(scratch.entry.c_str(), "wb");
    const uint8_t header[8] = {};
    if (f == nullptr || std::fwrite(header, 1, 8, f) != 8 ||
        std::fwrite(data + 4, 1, size - 4, f) != size - 4 || std::fclose(f) != 0) {
        std::perror("record_decoder: writing the entry");
        std::abort();
    }

    reset_engine(BLOCK);
    try {
        decode_bare_entry(scratch.entry.c_str(), nullptr, piece, BLOCK);
    } catch (const Failure&) {
        close_file(read_handle);
    }
    return 0;
}
