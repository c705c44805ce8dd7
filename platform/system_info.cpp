#include "platform/system_info.h"

#include <cerrno>
#include <ctime>
#include <sched.h>
#include <unistd.h>

bool get_program_path(char* out, size_t cap)
{
    if (cap == 0) return false;
    out[0] = 0;
    ssize_t n = ::readlink("/proc/self/exe", out, cap);
    // readlink does not terminate, and a result that fills the whole buffer
    // may have been cut short.
    if (n <= 0 || static_cast<size_t>(n) >= cap) {
        out[0] = 0;
        return false;
    }
    out[n] = 0;
    return true;
}

bool get_current_directory(char* out, size_t cap)
{
    if (cap == 0) return false;
    if (::getcwd(out, cap) == nullptr) {
        out[0] = 0;
        return false;
    }
    return true;
}

uint32_t get_processor_count()
{
    // The processors this process may run on (its affinity, as taskset or a
    // container sets it), not every processor of the machine.
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<uint32_t>(CPU_COUNT(&set));
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1u : static_cast<uint32_t>(n);
}

void pause_milliseconds(uint32_t ms)
{
    struct timespec t;
    t.tv_sec = static_cast<time_t>(ms / 1000);
    t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
