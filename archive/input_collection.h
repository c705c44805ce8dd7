// Collection of the input files of `a`: each input argument is split
// into a directory and a name pattern, the directory is read (and with -r
// its matching subdirectories, at any depth), and the regular files found
// are listed with their sizes, to be sorted by extension.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/directory.h"

// One collected input file.
struct FileEntry {
    std::string path;  // walker prefix + name, '/'-joined; at most PLATFORM_PATH_LIMIT
    int64_t size = 0;  // whole size in bytes

    // Order by extension key: the text after the last '.' of the whole path
    // (the whole path when it has none), compared as unsigned bytes.
    bool operator<(const FileEntry& other) const;
};

struct FileList {
    std::vector<FileEntry> entries;
    bool recursive = false;  // enter matching subdirectories (-r)
};

// One input argument taken apart.
struct InputSpec {
    std::string dir;      // directory to read; empty for the current one
    std::string pattern;  // wildcard for entry names; never empty
};

// One directory being read. Owns its handle: destroy_dir_walker (or the
// destructor, should an exception pass) closes it.
struct DirWalker {
    FileEntry current;   // the entry being examined
    PathStatus status;   // its status
    DirEntry entry;      // copy of the entry as read
    DirHandle handle = nullptr;
    std::string prefix;  // put in front of every entry name

    DirWalker() = default;
    DirWalker(const DirWalker&) = delete;
    DirWalker& operator=(const DirWalker&) = delete;
    ~DirWalker();
};

// The count - 1 texts args[1] .. args[count - 1]; empty when count < 2.
std::vector<std::string> collect_arguments(int count, const char* const* args);

// Splits one input argument: '\\' becomes '/', "." and ".." read everything;
// where the platform has drives, drive forms ("D:", "D:/", "D:*.c") name the
// drive's current or root directory.
InputSpec split_input_spec(const std::string& arg);

// Sets a walker up for dir ("." when empty): opens it and forms the prefix
// (dir + "/", or dir itself when empty or "/"). A directory that cannot be
// opened leaves the handle null; a dir longer than PLATFORM_PATH_LIMIT is
// also reported with a line.
void start_dir_walker(DirWalker& walker, const std::string& dir);

// Reads the walker's directory to its end, its names in byte order
// (whatever order the system gives them in): matching regular files join the
// list; with list.recursive, matching subdirectories other than "." and ".."
// (and other than symbolic links to directories, which could lead the walk
// round in a loop) are read whole with the pattern "*". An entry whose path
// would exceed PLATFORM_PATH_LIMIT, or whose name holds a '\\' where that is
// no separator, is reported with a line and passed over.
void walk_directory(FileList& list, DirWalker& walker, const std::string& pattern);

// Closes the walker's handle when open and releases its texts.
void destroy_dir_walker(DirWalker& walker);

// Every input argument split and its directory walked into one list, in
// argument order (not yet sorted).
FileList collect_inputs(const std::vector<std::string>& inputs, bool recursive);
