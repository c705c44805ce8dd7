#include "platform/file_io.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Only regular files are read and written as files: fd, opened without
// blocking, is closed and NO_FILE returned for anything else; a regular
// file goes on in blocking mode.
FileHandle keep_if_regular(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return NO_FILE;
    }
    return fd;
}

}  // namespace

FileHandle open_file(const char* path, int access, FileDisposition disposition)
{
    char native[PLATFORM_PATH_LIMIT + 1];
    if (!to_native_path(path, native, sizeof native)) return NO_FILE;

    // Opened without blocking, so that a FIFO or a device named as a file
    // cannot hang the program before it is refused below.
    int flags = O_CLOEXEC | O_NONBLOCK;
    switch (access) {
    case FILE_READ: flags |= O_RDONLY; break;
    case FILE_WRITE: flags |= O_WRONLY; break;
    default: flags |= O_RDWR; break;
    }
    switch (disposition) {
    case OPEN_EXISTING_FILE: break;
    case CREATE_NEW_FILE: flags |= O_CREAT | O_EXCL; break;
    case CREATE_OR_TRUNCATE: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_OR_CREATE: flags |= O_CREAT; break;
    }
    int fd;
    do {
        fd = ::open(native, flags, 0644);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? NO_FILE : keep_if_regular(fd);
}

namespace {

// Why an openat without following links failed: a link in the way, or else.
BelowResult failure_at(int dir, const char* name)
{
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) return BELOW_LINK;
    return BELOW_FAILED;
}

}  // namespace

BelowResult open_file_below(const char* base, const char* rel, FileHandle* opened)
{
    *opened = NO_FILE;
    char native[4096 + 16];
    if (!to_native_path(base, native, sizeof native)) return BELOW_FAILED;
    int dir = ::open(native, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return BELOW_FAILED;
    if (!to_native_path(rel, native, sizeof native)) {
        ::close(dir);
        return BELOW_FAILED;
    }
    char* part = native;
    for (;;) {
        while (*part == '/') ++part;
        char* end = std::strchr(part, '/');
        if (end == nullptr) break;
        *end = 0;
        if (*part != 0) {
            // mkdirat never follows a link at the name; the open below refuses one.
            ::mkdirat(dir, part, 0755);
            const int next = ::openat(dir, part, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0) {
                const BelowResult why = failure_at(dir, part);
                ::close(dir);
                return why;
            }
            ::close(dir);
            dir = next;
        }
        part = end + 1;
    }
    int fd;
    do {
        fd = ::openat(dir, part, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    const BelowResult why = fd < 0 ? failure_at(dir, part) : BELOW_OPENED;
    ::close(dir);
    if (fd < 0) return why;
    *opened = keep_if_regular(fd);
    return *opened == NO_FILE ? BELOW_FAILED : BELOW_OPENED;
}

int64_t read_file(FileHandle h, void* buffer, uint32_t n)
{
    if (h == NO_FILE) return -1;
    uint8_t* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < n) {
        ssize_t got = ::read(h, p + done, n - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<uint32_t>(got);
    }
    return done;
}

int64_t read_file_at(FileHandle h, void* buffer, uint32_t n, uint64_t position)
{
    if (h == NO_FILE || position > static_cast<uint64_t>(INT64_MAX)) return -1;
    ssize_t got;
    do {
        got = ::pread(h, buffer, n, static_cast<off_t>(position));
    } while (got < 0 && errno == EINTR);
    return got;
}

bool write_file(FileHandle h, const void* data, uint32_t n)
{
    if (h == NO_FILE) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    while (done < n) {
        ssize_t put = ::write(h, p + done, n - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (put == 0) return false;
        done += static_cast<uint32_t>(put);
    }
    return true;
}

int64_t seek_file(FileHandle h, uint64_t position)
{
    if (h == NO_FILE || position > static_cast<uint64_t>(INT64_MAX)) return -1;
    off_t at = ::lseek(h, static_cast<off_t>(position), SEEK_SET);
    return at < 0 ? -1 : static_cast<int64_t>(at);
}

int64_t file_length(FileHandle h)
{
    struct stat st;
    if (h == NO_FILE || fstat(h, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool truncate_file(FileHandle h, uint64_t size)
{
    return h != NO_FILE && ::ftruncate(h, static_cast<off_t>(size)) == 0;
}

bool lock_file(FileHandle h)
{
    if (h == NO_FILE) return false;
    int r;
    do {
        r = ::flock(h, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

bool same_open_file(FileHandle a, FileHandle b)
{
    struct stat sa, sb;
    return a != NO_FILE && b != NO_FILE && fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool path_names_open_file(const char* path, FileHandle h)
{
    char native[PLATFORM_PATH_LIMIT + 1];
    struct stat sp, sh;
    return h != NO_FILE && to_native_path(path, native, sizeof native) && ::stat(native, &sp) == 0 &&
           fstat(h, &sh) == 0 && sp.st_dev == sh.st_dev && sp.st_ino == sh.st_ino;
}

void close_file(FileHandle& h)
{
    if (h == NO_FILE) return;
    ::close(h);
    h = NO_FILE;
}

void prepare_process(int& argc, char**& argv)
{
    (void)argc;
    (void)argv;
    std::signal(SIGXFSZ, SIG_IGN);
}
