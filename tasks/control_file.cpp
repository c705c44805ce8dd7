#include "tasks/control_file.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/error.h"
#include "platform/shared_file.h"

namespace {

[[noreturn]] void fail_control_file(const ControlFile& control, const char* what)
{
    fail_with_line(std::string("Error: cannot ") + what + " the control file " + control.path + "\n");
}

}  // namespace

bool form_task_file_path(char* out, size_t cap, const char* dir, const char* name, int number)
{
    const size_t n = std::strlen(dir);
    const char* separator = n > 0 && (dir[n - 1] == '/' || dir[n - 1] == '\\') ? "" : PATH_SEPARATOR_TEXT;
    const int written = number != 0 ? std::snprintf(out, cap, "%s%s%s%d", dir, separator, name, number)
                                    : std::snprintf(out, cap, "%s%s%s", dir, separator, name);
    return written >= 0 && static_cast<size_t>(written) < cap && static_cast<size_t>(written) <= PLATFORM_PATH_LIMIT;
}

int32_t job_slot_offset(const ControlFile& control, int task)
{
    return JOB_AREA_OFFSET + (task - 1) * control.job_stride;
}

void read_control_bytes(ControlFile& control, void* buffer, int32_t offset, int32_t n)
{
    uint8_t* p = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    while (done < n) {
        const int64_t got = read_file_at(control.handle, p + done, static_cast<uint32_t>(n - done),
                                         static_cast<uint64_t>(offset + done));
        if (got < 0) fail_control_file(control, "read");
        if (got == 0) break;
        done += static_cast<int32_t>(got);
    }
    std::memset(p + done, 0, static_cast<size_t>(n - done));
}

void write_control_bytes(ControlFile& control, const void* data, int32_t offset, int32_t n)
{
    if (!write_file_at(control.handle, data, static_cast<uint32_t>(n), static_cast<uint64_t>(offset)))
        fail_control_file(control, "write");
}

void write_control_byte(ControlFile& control, const uint8_t* byte, int32_t offset)
{
    write_control_bytes(control, byte, offset, 1);
}

uint8_t read_task_status(ControlFile& control, int task)
{
    read_control_bytes(control, &control.task_status[task], task, 1);
    return control.task_status[task];
}

void write_task_status(ControlFile& control, int task, uint8_t status)
{
    control.task_status[task] = status;
    write_control_byte(control, &control.task_status[task], task);
}

void lock_task_status(ControlFile& control, int task)
{
    if (!lock_file_range(control.handle, static_cast<uint64_t>(task), 1)) fail_control_file(control, "lock");
}

void unlock_task_status(ControlFile& control, int task)
{
    unlock_file_range(control.handle, static_cast<uint64_t>(task), 1);
}

bool open_control_file(ControlFile& control, const char* path, int32_t job_stride)
{
    if (!to_native_path(path, control.path, sizeof control.path)) return false;
    control.job_stride = job_stride;
    control.handle = open_file(control.path, FILE_READ_WRITE, OPEN_EXISTING_FILE);
    return control.handle != NO_FILE;
}
