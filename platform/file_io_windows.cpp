// Windows side of platform/file_io.h: the wide file calls of KERNEL32, on
// UTF-8 paths converted in fixed buffers.
#include "platform/file_io.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/shared_file.h"
#include "platform/windows_support.h"

#include <shellapi.h>

namespace {

HANDLE raw(FileHandle h) { return static_cast<HANDLE>(h); }

// Every process may read, write and delete what another has open, as on
// Linux; the program's own byte-range locks keep order where it matters.
constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Only files on a disk are read and written as files: a console, a pipe or
// a device name ("NUL", "CON") is refused.
FileHandle keep_if_regular(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE) return NO_FILE;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(h);
        return NO_FILE;
    }
    return h;
}

DWORD desired_access(int access)
{
    switch (access) {
    case FILE_READ: return GENERIC_READ;
    case FILE_WRITE: return GENERIC_WRITE;
    default: return GENERIC_READ | GENERIC_WRITE;
    }
}

HANDLE create_file(const wchar_t* wide, DWORD access, DWORD disposition)
{
    // A hidden file (a part file) is opened like any other: CREATE_ALWAYS
    // would refuse it, so truncation is done apart.
    return CreateFileW(wide, access, SHARE_ALL, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool current_position(HANDLE h, LARGE_INTEGER& at)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return SetFilePointerEx(h, zero, &at, FILE_CURRENT) != 0;
}

bool set_position(HANDLE h, int64_t position)
{
    LARGE_INTEGER to;
    to.QuadPart = position;
    return SetFilePointerEx(h, to, nullptr, FILE_BEGIN) != 0;
}

}  // namespace

FileHandle open_file(const char* path, int access, FileDisposition disposition)
{
    wchar_t wide[WIDE_PATH_CAP];
    if (!to_wide_path(path, wide, WIDE_PATH_CAP) || wide[0] == 0) return NO_FILE;
    DWORD how = OPEN_EXISTING;
    switch (disposition) {
    case OPEN_EXISTING_FILE: how = OPEN_EXISTING; break;
    case CREATE_NEW_FILE: how = CREATE_NEW; break;
    case CREATE_OR_TRUNCATE: how = OPEN_ALWAYS; break;
    case OPEN_OR_CREATE: how = OPEN_ALWAYS; break;
    }
    FileHandle h = keep_if_regular(create_file(wide, desired_access(access), how));
    if (h != NO_FILE && disposition == CREATE_OR_TRUNCATE && !SetEndOfFile(raw(h))) close_file(h);
    return h;
}

namespace {

bool is_link(const wchar_t* wide)
{
    const DWORD attributes = GetFileAttributesW(wide);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

BelowResult open_file_below(const char* base, const char* rel, FileHandle* opened)
{
    *opened = NO_FILE;
    // A ':' in a stored name (a plain character on Linux) would name a
    // stream of another file here, or a drive: refused.
    if (std::strchr(rel, ':') != nullptr) return BELOW_FAILED;
    std::string path = base;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '\\';
    wchar_t wide[WIDE_PATH_CAP];
    if (!to_wide_path(path.c_str(), wide, WIDE_PATH_CAP)) return BELOW_FAILED;
    const DWORD base_attributes = GetFileAttributesW(wide);
    if (base_attributes == INVALID_FILE_ATTRIBUTES || (base_attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return BELOW_FAILED;
    // Each directory of rel in turn: created when missing, and refused when
    // it is a link (a symbolic link or a junction), so that nothing is ever
    // written outside base.
    const char* part = rel;
    for (;;) {
        while (*part == '/' || *part == '\\') ++part;
        const char* end = part;
        while (*end != 0 && *end != '/' && *end != '\\') ++end;
        if (*end == 0) break;
        path.append(part, static_cast<size_t>(end - part));
        if (!to_wide_path(path.c_str(), wide, WIDE_PATH_CAP)) return BELOW_FAILED;
        CreateDirectoryW(wide, nullptr);
        if (is_link(wide)) return BELOW_LINK;
        const DWORD attributes = GetFileAttributesW(wide);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return BELOW_FAILED;
        path += '\\';
        part = end + 1;
    }
    path += part;
    if (!to_wide_path(path.c_str(), wide, WIDE_PATH_CAP)) return BELOW_FAILED;
    if (is_link(wide)) return BELOW_LINK;
    *opened = keep_if_regular(
        CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return *opened == NO_FILE ? BELOW_FAILED : BELOW_OPENED;
}

int64_t read_file(FileHandle h, void* buffer, uint32_t n)
{
    if (h == NO_FILE) return -1;
    uint8_t* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < n) {
        DWORD got = 0;
        if (!ReadFile(raw(h), p + done, n - done, &got, nullptr)) return -1;
        if (got == 0) break;
        done += got;
    }
    return done;
}

int64_t read_file_at(FileHandle h, void* buffer, uint32_t n, uint64_t position)
{
    if (h == NO_FILE || position > static_cast<uint64_t>(INT64_MAX)) return -1;
    // A positioned ReadFile moves the file pointer: it is put back.
    LARGE_INTEGER saved;
    if (!current_position(raw(h), saved)) return -1;
    uint8_t* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    bool failed = false;
    while (done < n) {
        OVERLAPPED at = {};
        const uint64_t from = position + done;
        at.Offset = static_cast<DWORD>(from);
        at.OffsetHigh = static_cast<DWORD>(from >> 32);
        DWORD got = 0;
        if (!ReadFile(raw(h), p + done, n - done, &got, &at)) {
            failed = GetLastError() != ERROR_HANDLE_EOF;
            break;
        }
        if (got == 0) break;
        done += got;
    }
    set_position(raw(h), saved.QuadPart);
    return failed ? -1 : done;
}

bool write_file(FileHandle h, const void* data, uint32_t n)
{
    if (h == NO_FILE) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    while (done < n) {
        DWORD put = 0;
        if (!WriteFile(raw(h), p + done, n - done, &put, nullptr) || put == 0) return false;
        done += put;
    }
    return true;
}

int64_t seek_file(FileHandle h, uint64_t position)
{
    if (h == NO_FILE || position > static_cast<uint64_t>(INT64_MAX)) return -1;
    LARGE_INTEGER to, at;
    to.QuadPart = static_cast<LONGLONG>(position);
    if (!SetFilePointerEx(raw(h), to, &at, FILE_BEGIN)) return -1;
    return at.QuadPart;
}

int64_t file_length(FileHandle h)
{
    LARGE_INTEGER size;
    if (h == NO_FILE || !GetFileSizeEx(raw(h), &size)) return -1;
    return size.QuadPart;
}

bool truncate_file(FileHandle h, uint64_t size)
{
    if (h == NO_FILE || size > static_cast<uint64_t>(INT64_MAX)) return false;
    // SetEndOfFile works at the file pointer; the pointer is put back, as
    // ftruncate leaves it.
    LARGE_INTEGER saved;
    if (!current_position(raw(h), saved)) return false;
    const bool done = set_position(raw(h), static_cast<int64_t>(size)) && SetEndOfFile(raw(h));
    set_position(raw(h), saved.QuadPart);
    return done;
}

bool lock_file(FileHandle h)
{
    if (h == NO_FILE) return false;
    // Windows locks are mandatory: the lock lies beyond any data, where no
    // byte is read or written (see LOCK_SPACE in platform/shared_file.h).
    OVERLAPPED at = {};
    const uint64_t position = LOCK_SPACE - 1;
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    return LockFileEx(raw(h), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
}

bool same_open_file(FileHandle a, FileHandle b)
{
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return a != NO_FILE && b != NO_FILE && GetFileInformationByHandle(raw(a), &ia) &&
           GetFileInformationByHandle(raw(b), &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool path_names_open_file(const char* path, FileHandle h)
{
    // The path is opened for no access at all, only to read the file's
    // identity; closing that handle gives up no lock (Windows locks belong
    // to the handle that took them).
    wchar_t wide[WIDE_PATH_CAP];
    if (h == NO_FILE || !to_wide_path(path, wide, WIDE_PATH_CAP) || wide[0] == 0) return false;
    FileHandle other = CreateFileW(wide, 0, SHARE_ALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    const bool same = same_open_file(h, other);
    CloseHandle(raw(other));
    return same;
}

void close_file(FileHandle& h)
{
    if (h == NO_FILE) return;
    CloseHandle(raw(h));
    h = NO_FILE;
}

void prepare_process(int& argc, char**& argv)
{
    // No dialog box for a missing disk or a crash: a console program ends.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // Names are UTF-8 inside the program and on the console.
    SetConsoleOutputCP(CP_UTF8);
    // Ctrl-C ends every run with 130, as SIGINT does on Linux.
    catch_stop_signals(nullptr);
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return;
    // Kept for the whole run, as argv is.
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    texts.clear();
    for (int i = 0; i < count; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(n > 0 ? static_cast<size_t>(n) : 1, '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &text[0], n, nullptr, nullptr);
        text.resize(std::strlen(text.c_str()));
        texts.push_back(text);
    }
    LocalFree(wide);
    pointers.clear();
    for (std::string& t : texts) pointers.push_back(&t[0]);
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
}
