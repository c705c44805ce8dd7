#include "platform/directory.h"

#include <cstring>
#include <sys/stat.h>

#include "platform/file_io.h"

DirHandle open_directory(const char* path)
{
    char native[PLATFORM_PATH_LIMIT + 1];
    if (path == nullptr || !to_native_path(path, native, sizeof native)) return nullptr;
    return ::opendir(native);
}

bool read_directory(DirHandle handle, DirEntry& entry)
{
    if (handle == nullptr) return false;
    for (;;) {
        const struct dirent* d = ::readdir(handle);
        if (d == nullptr) return false;
        const size_t n = std::strlen(d->d_name);
        // Names never exceed 255 bytes on Linux; one that did could not be
        // carried, so it is passed over rather than cut.
        if (n >= sizeof entry.name) continue;
        std::memcpy(entry.name, d->d_name, n + 1);
        return true;
    }
}

void close_directory(DirHandle& handle)
{
    if (handle == nullptr) return;
    ::closedir(handle);
    handle = nullptr;
}

bool query_path_status(const char* path, PathStatus& status)
{
    status = PathStatus();
    char native[PLATFORM_PATH_LIMIT + 1];
    struct stat st;
    if (!to_native_path(path, native, sizeof native) || ::lstat(native, &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
        if (::stat(native, &st) != 0) return false;
        status.is_link = true;
    }
    if (S_ISREG(st.st_mode)) {
        status.kind = KIND_FILE;
    } else if (S_ISDIR(st.st_mode)) {
        status.kind = KIND_DIRECTORY;
    } else {
        status.kind = KIND_OTHER;
    }
    status.size = static_cast<int64_t>(st.st_size);
    return true;
}
