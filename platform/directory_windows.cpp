// Windows side of platform/directory.h: FindFirstFileW and its kin, names
// converted to UTF-8.
#include "platform/directory.h"

#include <cstring>

#include "platform/windows_support.h"

struct WindowsDirectory {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data;
    bool have_entry = false;  // data holds an entry not yet handed out
};

DirHandle open_directory(const char* path)
{
    if (path == nullptr) return nullptr;
    wchar_t wide[WIDE_PATH_CAP + 2];
    if (!to_wide_path(path, wide, WIDE_PATH_CAP)) return nullptr;
    const DWORD attributes = GetFileAttributesW(wide);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return nullptr;
    size_t n = wcslen(wide);
    if (n > 0 && wide[n - 1] != L'\\' && wide[n - 1] != L':') wide[n++] = L'\\';
    wide[n++] = L'*';
    wide[n] = 0;
    WindowsDirectory* d = new WindowsDirectory;
    d->find = FindFirstFileW(wide, &d->data);
    // An empty drive root has no entry at all: an empty directory.
    d->have_entry = d->find != INVALID_HANDLE_VALUE;
    return d;
}

bool read_directory(DirHandle handle, DirEntry& entry)
{
    if (handle == nullptr) return false;
    while (handle->have_entry) {
        const bool fits = to_utf8_text(handle->data.cFileName, entry.name, sizeof entry.name);
        handle->have_entry = FindNextFileW(handle->find, &handle->data) != 0;
        // A name that cannot be carried in 255 bytes is passed over, not cut.
        if (fits) return true;
    }
    return false;
}

void close_directory(DirHandle& handle)
{
    if (handle == nullptr) return;
    if (handle->find != INVALID_HANDLE_VALUE) FindClose(handle->find);
    delete handle;
    handle = nullptr;
}

bool query_path_status(const char* path, PathStatus& status)
{
    status = PathStatus();
    wchar_t wide[WIDE_PATH_CAP];
    if (!to_wide_path(path, wide, WIDE_PATH_CAP) || wide[0] == 0) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide, GetFileExInfoStandard, &data)) return false;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        // A link: its target's kind and size, through a handle that follows it.
        status.is_link = true;
        HANDLE h = CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            status = PathStatus();
            return false;
        }
        BY_HANDLE_FILE_INFORMATION info;
        const bool ok = GetFileInformationByHandle(h, &info) != 0;
        CloseHandle(h);
        if (!ok) {
            status = PathStatus();
            return false;
        }
        data.dwFileAttributes = info.dwFileAttributes;
        data.nFileSizeHigh = info.nFileSizeHigh;
        data.nFileSizeLow = info.nFileSizeLow;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        status.kind = KIND_DIRECTORY;
    } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        status.kind = KIND_OTHER;
    } else {
        status.kind = KIND_FILE;
        status.size = static_cast<int64_t>((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    }
    return true;
}
