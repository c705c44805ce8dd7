// The path rules of the platform the program is built for, in one place:
// the separator it prints and forms paths with, the longest path it can
// name, and whether paths begin with drive letters.
#pragma once
#include <cstddef>

#ifdef _WIN32
constexpr char PATH_SEPARATOR = '\\';
#define PATH_SEPARATOR_TEXT "\\"
constexpr bool PATHS_HAVE_DRIVES = true;  // "D:..." names a drive
#else
constexpr char PATH_SEPARATOR = '/';
#define PATH_SEPARATOR_TEXT "/"
constexpr bool PATHS_HAVE_DRIVES = false;  // "D:x" is a plain name
#endif

// Longest path the program forms or opens (the current directory, the
// archive, destinations, output files, control and part files), in bytes,
// terminator excluded: a buffer for one such path has
// PLATFORM_PATH_LIMIT + 1 bytes.
constexpr size_t PLATFORM_PATH_LIMIT = 4095;

// Longest path stored in an archive entry, directory and name together,
// terminator excluded. Every archive reader refuses entries beyond it, so
// the writer never stores one.
constexpr size_t PATH_LIMIT = 260;

// Copies path into out (cap bytes) with every separator, '/' or '\\', turned
// into the platform's own. Returns false when it does not fit.
inline bool to_native_path(const char* path, char* out, size_t cap)
{
    size_t i = 0;
    for (; path[i] != 0; ++i) {
        if (i + 1 >= cap) return false;
        out[i] = path[i] == '/' || path[i] == '\\' ? PATH_SEPARATOR : path[i];
    }
    if (cap == 0) return false;
    out[i] = 0;
    return true;
}
