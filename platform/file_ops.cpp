#include "platform/file_ops.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_io.h"

FoundFile find_file(const char* path)
{
    FoundFile found;
    char native[PLATFORM_PATH_LIMIT + 1];
    struct stat st;
    if (!to_native_path(path, native, sizeof native) || ::stat(native, &st) != 0) return found;
    found.exists = true;
    found.is_directory = S_ISDIR(st.st_mode);
    if (!found.is_directory) found.size = static_cast<uint64_t>(st.st_size);
    return found;
}

bool same_file(const char* a, const char* b)
{
    char native_a[PLATFORM_PATH_LIMIT + 1], native_b[PLATFORM_PATH_LIMIT + 1];
    struct stat sa, sb;
    return to_native_path(a, native_a, sizeof native_a) && to_native_path(b, native_b, sizeof native_b) &&
           ::stat(native_a, &sa) == 0 && ::stat(native_b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool create_directory(const char* path)
{
    char native[PLATFORM_PATH_LIMIT + 1];
    return to_native_path(path, native, sizeof native) && ::mkdir(native, 0777) == 0;
}

DeleteResult delete_file(const char* path)
{
    char native[PLATFORM_PATH_LIMIT + 1];
    if (!to_native_path(path, native, sizeof native)) return DELETE_REFUSED;
    if (::unlink(native) == 0) return DELETE_DONE;
    switch (errno) {
    case ENOENT: return DELETE_MISSING;
    case EBUSY:
    case EINTR:
    case ETXTBSY:
    case EAGAIN: return DELETE_BUSY;
    default: return DELETE_REFUSED;
    }
}

bool set_file_attributes(const char* path, FileAttributes attributes)
{
    (void)attributes;
    char native[PLATFORM_PATH_LIMIT + 1];
    struct stat st;
    return to_native_path(path, native, sizeof native) && ::lstat(native, &st) == 0;
}
