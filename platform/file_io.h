// File access for the engine and the front end: open, read, write, seek and
// close on plain descriptors (Linux) or file handles (Windows). Paths may use
// '\\' or '/' as separators; they are turned into the platform's separator
// just before each system call. Paths are UTF-8 on both systems (Windows: the
// W calls, after conversion).
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/native_paths.h"

#ifdef _WIN32
using FileHandle = void*;  // a HANDLE; INVALID_HANDLE_VALUE never leaves platform/
constexpr FileHandle NO_FILE = nullptr;
#else
using FileHandle = int;
constexpr FileHandle NO_FILE = -1;
#endif

enum FileAccess : int {
    FILE_READ = 1,
    FILE_WRITE = 2,
    FILE_READ_WRITE = 3,
};

enum FileDisposition : int {
    OPEN_EXISTING_FILE,   // fail when the file does not exist
    CREATE_NEW_FILE,      // fail when the file exists
    CREATE_OR_TRUNCATE,   // create, or empty an existing file
    OPEN_OR_CREATE,       // open, or create when missing; never truncates
};


// Opens path; returns NO_FILE on failure (also for a path longer than
// PLATFORM_PATH_LIMIT), and for anything but a regular file (a directory, a
// FIFO, a device), which is refused without blocking.
FileHandle open_file(const char* path, int access, FileDisposition disposition);

enum BelowResult {
    BELOW_OPENED,   // the file is open
    BELOW_LINK,     // a symbolic link lies on the way or at the end: nothing was opened
    BELOW_FAILED,   // it could not be created or opened (not a regular file, no permission)
};

// Opens, or creates, the file at the relative path rel (separators '\\' or
// '/') below the existing directory base, creating the directories of rel
// on the way, for reading and writing and without truncating it. No symbolic
// link below base is followed, at any level: nothing is ever written outside
// base. *opened is the handle, or NO_FILE.
BelowResult open_file_below(const char* base, const char* rel, FileHandle* opened);

// Reads up to n bytes at the current position; returns the count read
// (short at the file's end), or -1 on an error.
int64_t read_file(FileHandle h, void* buffer, uint32_t n);

// Reads up to n bytes at an absolute position without moving the current
// one (safe in a signal handler); the count read, or -1 on an error.
int64_t read_file_at(FileHandle h, void* buffer, uint32_t n, uint64_t position);

// Writes all n bytes at the current position; false when they could not all
// be written (a full disk, a closed handle).
bool write_file(FileHandle h, const void* data, uint32_t n);

// Moves to an absolute 64-bit position; returns it, or -1 on an error.
int64_t seek_file(FileHandle h, uint64_t position);

// Size of the open file, or -1.
int64_t file_length(FileHandle h);

// Cuts or extends the open file to size bytes.
bool truncate_file(FileHandle h, uint64_t size);

// Waits for an exclusive lock on the open file, held until it is closed.
// Two processes appending to one archive thus write their entries in turn.
bool lock_file(FileHandle h);

// True when both handles are open on the same file.
bool same_open_file(FileHandle a, FileHandle b);

// True when path names the file open as h. The path is looked up without
// being opened, so that no lock this process holds on the file is lost.
bool path_names_open_file(const char* path, FileHandle h);

// Closes h once and sets it to NO_FILE, so that a second close does nothing
// (a descriptor number may already belong to another file).
void close_file(FileHandle& h);

// Called once at the start of main: past a file-size limit (Linux: SIGXFSZ)
// a write fails like any other, instead of a signal ending the process in
// the middle of a write. On Windows the arguments are taken again from the
// system's wide command line as UTF-8 (argv then points to them) and the
// console prints UTF-8; no error dialog box ever waits for a click.
void prepare_process(int& argc, char**& argv);
