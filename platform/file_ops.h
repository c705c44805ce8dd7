// Named-file operations: the find-first-file style query for existence, kind
// and size, directory creation, deletion and attributes. Paths may use '\\'
// or '/'; they are turned into '/' just before each system call, and a path
// longer than PLATFORM_PATH_LIMIT fails like a missing one.
#pragma once
#include <cstdint>

struct FoundFile {
    bool exists = false;        // the path names something
    bool is_directory = false;  // ... and that is a directory
    uint64_t size = 0;          // its size in bytes (0 for a directory)
};

// Looks the path up (following symbolic links).
FoundFile find_file(const char* path);

// Creates one directory; false when it could not be created (it exists
// already, its parent is missing, no permission).
bool create_directory(const char* path);

// True when both paths name the same existing file (through links, other
// names or other separators). No file is opened: a descriptor closed on
// Linux would give up every lock this process holds on the file.
bool same_file(const char* a, const char* b);

enum DeleteResult {
    DELETE_DONE,     // the file was removed
    DELETE_MISSING,  // there was nothing to remove
    DELETE_BUSY,     // refused for now; a later attempt may succeed
    DELETE_REFUSED,  // can never succeed (a directory, no permission, too long)
};

DeleteResult delete_file(const char* path);

enum FileAttributes {
    ATTRIBUTES_NORMAL,
    ATTRIBUTES_HIDDEN,
};

// Sets the attributes of an existing file. Linux has no hidden attribute, so
// nothing changes either way; false when the path names nothing.
bool set_file_attributes(const char* path, FileAttributes attributes);
