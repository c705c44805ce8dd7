#include "platform/shared_file.h"

#include "platform/windows_support.h"

namespace {

HANDLE raw(FileHandle h) { return static_cast<HANDLE>(h); }

OVERLAPPED lock_place(uint64_t position)
{
    OVERLAPPED at = {};
    const uint64_t place = LOCK_SPACE + position;
    at.Offset = static_cast<DWORD>(place);
    at.OffsetHigh = static_cast<DWORD>(place >> 32);
    return at;
}

bool take_lock(FileHandle h, uint64_t position, uint32_t n, DWORD flags)
{
    if (h == NO_FILE) return false;
    OVERLAPPED at = lock_place(position);
    return LockFileEx(raw(h), LOCKFILE_EXCLUSIVE_LOCK | flags, 0, n, 0, &at) != 0;
}

}  // namespace

bool write_file_at(FileHandle h, const void* data, uint32_t n, uint64_t position)
{
    if (h == NO_FILE) return false;
    // A positioned WriteFile moves the file pointer: it is put back.
    LARGE_INTEGER zero, saved;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(raw(h), zero, &saved, FILE_CURRENT)) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    bool ok = true;
    while (done < n) {
        OVERLAPPED at = {};
        const uint64_t to = position + done;
        at.Offset = static_cast<DWORD>(to);
        at.OffsetHigh = static_cast<DWORD>(to >> 32);
        DWORD put = 0;
        if (!WriteFile(raw(h), p + done, n - done, &put, &at) || put == 0) {
            ok = false;
            break;
        }
        done += put;
    }
    SetFilePointerEx(raw(h), saved, nullptr, FILE_BEGIN);
    return ok;
}

bool lock_file_range(FileHandle h, uint64_t position, uint32_t n)
{
    return take_lock(h, position, n, 0);
}

bool try_lock_file_range(FileHandle h, uint64_t position, uint32_t n)
{
    return take_lock(h, position, n, LOCKFILE_FAIL_IMMEDIATELY);
}

void unlock_file_range(FileHandle h, uint64_t position, uint32_t n)
{
    if (h == NO_FILE) return;
    OVERLAPPED at = lock_place(position);
    UnlockFileEx(raw(h), 0, n, 0, &at);
}

bool file_range_locked_elsewhere(FileHandle h, uint64_t position, uint32_t n)
{
    if (h == NO_FILE) return false;
    // Windows has no query: the lock is tried, and given back when it was free.
    if (!take_lock(h, position, n, LOCKFILE_FAIL_IMMEDIATELY)) return true;
    unlock_file_range(h, position, n);
    return false;
}
