// Directory reading (opendir, readdir, closedir) and the status query of a
// directory entry. Paths may use '\\' or '/'; they are turned into '/' just
// before each system call, and a path longer than PLATFORM_PATH_LIMIT fails
// to open.
#pragma once
#include <cstdint>

#ifdef _WIN32
struct WindowsDirectory;  // a find handle and the entry it has read ahead
using DirHandle = WindowsDirectory*;
#else
#include <dirent.h>
using DirHandle = DIR*;
#endif

// Opens an existing directory; nullptr on any failure.
DirHandle open_directory(const char* path);

// One entry as read from a directory.
struct DirEntry {
    char name[256];
};

// Reads the next entry of the directory, "." and ".." included, in the
// platform's order; false at the end (or on an error).
bool read_directory(DirHandle handle, DirEntry& entry);

// Closes handle when it is open and sets it to nullptr.
void close_directory(DirHandle& handle);

enum PathKind : uint8_t {
    KIND_NONE,       // no status: the query failed
    KIND_FILE,       // a regular file
    KIND_DIRECTORY,
    KIND_OTHER,      // device, pipe, socket
};

struct PathStatus {
    PathKind kind = KIND_NONE;
    bool is_link = false;  // the name itself is a symbolic link
    int64_t size = 0;
};

// Status of what the path names, following a symbolic link (kind and size
// are the target's; is_link tells that a link was followed). On failure
// (missing path, dangling link) the status is cleared and false returned.
bool query_path_status(const char* path, PathStatus& status);
