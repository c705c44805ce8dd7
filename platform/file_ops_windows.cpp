// Windows side of platform/file_ops.h.
#include "platform/file_ops.h"

#include "platform/windows_support.h"

FoundFile find_file(const char* path)
{
    FoundFile found;
    wchar_t wide[WIDE_PATH_CAP];
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!to_wide_path(path, wide, WIDE_PATH_CAP) || wide[0] == 0 ||
        !GetFileAttributesExW(wide, GetFileExInfoStandard, &data))
        return found;
    found.exists = true;
    found.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!found.is_directory) found.size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return found;
}

namespace {

// The volume and the file index of what the path names (a link followed).
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION& info)
{
    wchar_t wide[WIDE_PATH_CAP];
    if (!to_wide_path(path, wide, WIDE_PATH_CAP) || wide[0] == 0) return false;
    // No access asked: the handle only reads the file's identity, and
    // Windows has no lock that closing it could give up.
    HANDLE h = CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    return ok;
}

}  // namespace

bool same_file(const char* a, const char* b)
{
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return file_identity(a, ia) && file_identity(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool create_directory(const char* path)
{
    wchar_t wide[WIDE_PATH_CAP];
    return to_wide_path(path, wide, WIDE_PATH_CAP) && wide[0] != 0 && CreateDirectoryW(wide, nullptr) != 0;
}

DeleteResult delete_file(const char* path)
{
    wchar_t wide[WIDE_PATH_CAP];
    if (!to_wide_path(path, wide, WIDE_PATH_CAP) || wide[0] == 0) return DELETE_REFUSED;
    const DWORD attributes = GetFileAttributesW(wide);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? DELETE_MISSING : DELETE_REFUSED;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return DELETE_REFUSED;
    // A hidden (control or part) file gets its normal attributes back first.
    if ((attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM)) != 0)
        SetFileAttributesW(wide, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(wide)) return DELETE_DONE;
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return DELETE_MISSING;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_ACCESS_DENIED: return DELETE_BUSY;  // open elsewhere, or its deletion pending
    default: return DELETE_REFUSED;
    }
}

bool set_file_attributes(const char* path, FileAttributes attributes)
{
    wchar_t wide[WIDE_PATH_CAP];
    return to_wide_path(path, wide, WIDE_PATH_CAP) && wide[0] != 0 &&
           SetFileAttributesW(wide, attributes == ATTRIBUTES_HIDDEN ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL) != 0;
}
