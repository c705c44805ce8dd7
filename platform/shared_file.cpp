#include "platform/shared_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct flock lock_range(short type, uint64_t position, uint32_t n)
{
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(LOCK_SPACE + position);
    range.l_len = static_cast<off_t>(n);
    return range;
}

bool set_lock(FileHandle h, short type, int command, uint64_t position, uint32_t n)
{
    if (h == NO_FILE) return false;
    struct flock range = lock_range(type, position, n);
    int r;
    do {
        r = fcntl(h, command, &range);
    } while (r != 0 && errno == EINTR && command == F_SETLKW);
    return r == 0;
}

}  // namespace

bool write_file_at(FileHandle h, const void* data, uint32_t n, uint64_t position)
{
    if (h == NO_FILE) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    while (done < n) {
        const ssize_t put = ::pwrite(h, p + done, n - done, static_cast<off_t>(position + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<uint32_t>(put);
    }
    return true;
}

bool lock_file_range(FileHandle h, uint64_t position, uint32_t n)
{
    return set_lock(h, F_WRLCK, F_SETLKW, position, n);
}

bool try_lock_file_range(FileHandle h, uint64_t position, uint32_t n)
{
    return set_lock(h, F_WRLCK, F_SETLK, position, n);
}

void unlock_file_range(FileHandle h, uint64_t position, uint32_t n)
{
    set_lock(h, F_UNLCK, F_SETLK, position, n);
}

bool file_range_locked_elsewhere(FileHandle h, uint64_t position, uint32_t n)
{
    if (h == NO_FILE) return false;
    struct flock range = lock_range(F_WRLCK, position, n);
    return fcntl(h, F_GETLK, &range) == 0 && range.l_type != F_UNLCK;
}
