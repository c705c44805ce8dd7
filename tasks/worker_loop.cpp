#include "tasks/worker_loop.h"

#include <cstring>
#include <string>

#include "archive/entry_reader.h"
#include "archive/entry_writer.h"
#include "archive/extractor.h"
#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/entry_state.h"
#include "engine/error.h"
#include "engine/settings.h"
#include "platform/process.h"
#include "tasks/compress_tasks.h"
#include "tasks/control_file.h"

namespace {

void open_worker_control_file(ControlFile& control, int32_t job_stride)
{
    char path[PLATFORM_PATH_LIMIT + 1];
    // A worker without its control file ends at once and in silence.
    if (!form_task_file_path(path, sizeof path, work_dir, CONTROL_FILE_NAME, 0) ||
        !open_control_file(control, path, job_stride))
        fail_with_line("");
    // Killed with its master, a worker cuts its unfinished entry off and ends.
    stop_with_parent();
    // A console that goes away does not stop a job halfway.
    ignore_broken_pipe();
}

[[noreturn]] void fail_bad_job(const ControlFile& control)
{
    fail_with_line(std::string("Error: the job of task ") + std::to_string(task_index) + " in " + control.path +
                   " is damaged\n");
}

// After its idle limit the worker gives its task up, unless a job has been
// posted in the meantime: under the status byte's lock it turns TASK_IDLE
// into TASK_STOP, which tells the master that this task has no worker any
// more. True when the worker is to end.
bool give_up_idle_task(ControlFile& control)
{
    lock_task_status(control, task_index);
    const uint8_t status = read_task_status(control, task_index);
    if (status == TASK_IDLE) write_task_status(control, task_index, TASK_STOP);
    unlock_task_status(control, task_index);
    return status != TASK_BUSY;
}

// Right after a job a worker polls quickly, as the next job usually
// follows at once; after about a tenth of a second without one it rests
// between polls, so that it takes next to no processor time while it waits,
// and still sees a job within a fraction of a millisecond. The idle limit
// stays a count of polls; the resting pause is chosen so that the whole
// limit lasts about a minute.
constexpr int32_t WORKER_QUICK_POLLS = 1500;
// The first of the quick polls only yield the processor: with short jobs
// (thousands of small files) the next one is posted within microseconds,
// and a pause between two jobs cost more than the job itself.
constexpr int32_t WORKER_YIELDING_POLLS = 100;
constexpr int64_t WORKER_IDLE_MICROSECONDS = 60 * 1000 * 1000;
constexpr int WORKER_REST_MICROSECONDS = static_cast<int>(WORKER_IDLE_MICROSECONDS / WORKER_IDLE_LIMIT);

// Polls the task's status byte and runs each posted job; returns when told
// to stop or when the task was given up idle.
template <typename RunJob>
void poll_for_jobs(ControlFile& control, RunJob run_job)
{
    int32_t idle_count = 0;
    for (;;) {
        const uint8_t status = read_task_status(control, task_index);
        if (status == TASK_STOP) return;
        if (status == TASK_BUSY) {
            run_job();
            write_task_status(control, task_index, TASK_IDLE);
            // The idle value just written counts as the first idle poll.
            idle_count = 1;
            continue;
        }
        if (status == TASK_IDLE && ++idle_count > WORKER_IDLE_LIMIT) {
            if (give_up_idle_task(control)) return;
            idle_count = 0;
            continue;
        }
        if (idle_count < WORKER_YIELDING_POLLS)
            yield_processor();
        else if (idle_count < WORKER_QUICK_POLLS)
            pause_between_polls();
        else
            pause_microseconds(WORKER_REST_MICROSECONDS);
    }
}

void run_compress_job(ControlFile& control)
{
    const int32_t slot = job_slot_offset(control, task_index);
    uint32_t n = 0;
    read_control_bytes(control, &n, slot, 4);
    if (n == 0 || n > COMPRESS_PATH_ROOM) fail_bad_job(control);
    char path[COMPRESS_PATH_ROOM + 4] = {};
    read_control_bytes(control, path, slot + 4, static_cast<int32_t>(n));
    if (path[n - 1] != 0 || std::strlen(path) != n - 1) fail_bad_job(control);
    uint64_t start = 0, end = 0;
    read_control_bytes(control, &start, slot + 4 + static_cast<int32_t>(n), 8);
    read_control_bytes(control, &end, slot + 12 + static_cast<int32_t>(n), 8);
    if (start > end || end > static_cast<uint64_t>(INT64_MAX)) fail_bad_job(control);
    piece_start = start;
    piece_end = end;
    // The name and directory come from two different result buffers.
    char name[PLATFORM_PATH_LIMIT + 1];
    char dir[PLATFORM_PATH_LIMIT + 1];
    std::strcpy(name, last_component(path));
    std::strcpy(dir, relative_directory(path));
    // A piece of a file cut into several is an entry of its own, even in a
    // solid run: it starts its models afresh and so does the entry after
    // it, so that the join can leave out every piece of a file that did not
    // come back whole without breaking the entries around it.
    const bool split = start > 0 || end - start >= static_cast<uint64_t>(MIN_PIECE_SIZE);
    if (split) solid_open = 0;
    compress_range_to_entry(path, name, dir);
    if (split) solid_open = 0;
}

void run_extract_job(ControlFile& control)
{
    const int32_t slot = job_slot_offset(control, task_index);
    int64_t offset = 0;
    uint32_t n = 0;
    read_control_bytes(control, &offset, slot, 8);
    read_control_bytes(control, &n, slot + 8, 4);
    if (n == 0 || n > EXTRACT_DIR_ROOM) fail_bad_job(control);
    char dir[EXTRACT_DIR_ROOM + 4] = {};
    read_control_bytes(control, dir, slot + 12, static_cast<int32_t>(n));
    if (dir[n - 1] != 0 || std::strlen(dir) != n - 1) fail_bad_job(control);
    uint8_t write_flag = 0;
    read_control_bytes(control, &write_flag, slot + 12 + static_cast<int32_t>(n), 1);
    // An entry offset at or past the archive's end is acknowledged unread.
    if (offset < 0 || offset >= archive_size) return;
    std::memcpy(dest_dir, dir, n);
    entry_write_flag = write_flag > 2 ? 1 : write_flag;
    entry_offset = offset;
    seek_file(read_handle, static_cast<uint64_t>(offset));
    // An entry whose output would be the run's own control file is
    // reported and not written, as the archive itself is.
    extract_entry(control.handle);
}

}  // namespace

int run_compress_worker()
{
    ControlFile control;
    open_worker_control_file(control, COMPRESS_JOB_STRIDE);
    poll_for_jobs(control, [&control] { run_compress_job(control); });
    return 1;
}

int run_extract_worker()
{
    ControlFile control;
    open_worker_control_file(control, EXTRACT_JOB_STRIDE);
    read_handle = open_archive_file(archive_path);
    archive_size = file_length(read_handle);
    poll_for_jobs(control, [&control] { run_extract_job(control); });
    close_file(read_handle);
    return 1;
}
