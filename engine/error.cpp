#include "engine/error.h"

#include <cstdio>
#include <cstdlib>

#include "engine/entry_state.h"
#include "platform/file_io.h"

const char* error_archive_name = "archive";

void fail_damaged(const char* what)
{
    std::printf("Error: archive %s is damaged: %s\n", error_archive_name, what);
    std::fflush(stdout);
    std::exit(1);
}

namespace {

// The header of the entry in progress still says length 0; cutting the file
// back to where the entry started leaves only complete entries.
[[noreturn]] void cut_entry_and_exit()
{
    truncate_file(write_handle, static_cast<uint64_t>(entry_offset));
    std::fflush(stdout);
    std::exit(1);
}

}  // namespace

void fail_archive_write()
{
    std::printf("Error: cannot write Archive file %s\n", error_archive_name);
    cut_entry_and_exit();
}

void fail_encoding(const char* what)
{
    std::printf("Error: %s\n", what);
    cut_entry_and_exit();
}

void fail_no_memory()
{
    std::printf("No memory \n");
    std::fflush(stdout);
    std::exit(1);
}
