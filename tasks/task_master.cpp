#include "tasks/task_master.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/error.h"
#include "engine/settings.h"
#include "platform/file_ops.h"
#include "platform/shared_file.h"
#include "platform/system_info.h"

namespace {

// The run that an interruption abandons; set while a control file of this
// process exists. The signal handler has no other way to reach it.
TaskTable* interrupted_run = nullptr;

void abandon_on_signal(int sig)
{
    if (interrupted_run != nullptr) abandon_tasks(*interrupted_run);
    end_by_signal(sig);
}

[[noreturn]] void fail_task_ended(int task)
{
    fail_with_line("Error: task " + std::to_string(task) + " ended in the middle of a job\n");
}

[[noreturn]] void fail_task_not_started(int task, const std::string& reason)
{
    fail_with_line("Error: cannot start task " + std::to_string(task) + ": " + reason + "\n");
}

// The worker's command line: the command, the forwarded switches, its task
// number and its archive (and for `a` the dummy input "x").
std::vector<std::string> worker_arguments(const TaskTable& table, int task)
{
    std::vector<std::string> args = {exe_name[0] ? exe_name : "zendal"};
    const std::string p = "-p" + std::to_string(task);
    if (table.command == 'x') {
        args.insert(args.end(), {"x", p, archive_path, dest_dir});
        return args;
    }
    args.push_back("a");
    if (recurse_flag) args.push_back("-r");
    if (verbose) args.push_back("-v");
    if (solid_flag) args.push_back("-s");
    args.push_back("-m" + std::to_string(method_level));
    args.push_back(p);
    // Every task writes into a part file of its own; the archive is written
    // only when the master joins them at the end.
    args.push_back(table.tasks[task].part_path);
    args.push_back("x");
    return args;
}

[[noreturn]] void refuse_part_file(const char* path)
{
    fail_with_line(std::string("problems with ") + path +
                   " (the file exists already: remove it if no run with tasks uses it)\n");
}

// Task i of 2 or more writes into its part file, which this run creates
// itself: a file that is there already is somebody else's.
void create_part_file(WorkerTask& task)
{
    if (task.part_created) return;
    FileHandle part = open_file(task.part_path, FILE_WRITE, CREATE_NEW_FILE);
    if (part == NO_FILE) {
        if (find_file(task.part_path).exists) refuse_part_file(task.part_path);
        fail_with_line(std::string("Error: cannot create ") + task.part_path + "\n");
    }
    close_file(part);
    task.part_created = true;
    set_file_attributes(task.part_path, ATTRIBUTES_HIDDEN);
}

void start_worker(TaskTable& table, int task)
{
    WorkerTask& w = table.tasks[task];
    // An interruption waits until the part file and the worker are in the
    // table, where the clean-up finds them (a worker it did not know of
    // could create its part file again after the clean-up removed it).
    hold_stop_signals(true);
    try {
        if (table.command == 'a') create_part_file(w);
    } catch (...) {
        hold_stop_signals(false);
        throw;
    }
    // Lines already printed come before anything the worker prints.
    std::fflush(stdout);
    std::string reason;
    w.worker = start_program(table.program_path, worker_arguments(table, task), reason);
    hold_stop_signals(false);
    if (w.worker == NO_PROGRAM) fail_task_not_started(task, reason);
}

// A worker that has ended: a run that loses it in the middle of a job fails,
// and says so apart from a worker that never ran at all.
[[noreturn]] void fail_task_lost(const TaskTable& table, int task, ProgramEnd end)
{
    if (end == PROGRAM_NOT_RUN)
        fail_task_not_started(task, std::string("the system could not run ") + table.program_path +
                                        " as a new process");
    fail_task_ended(task);
}

// The highest task number that a control file left behind by a dead run
// accounts for, or -1 when the file is no such thing. No process holds its
// lock; it is no longer than the job slots of every task; byte 0 was never
// written, every status byte holds a status, the bytes between the status
// bytes and the job slots are zero. An empty file is the control file of a
// run killed before its first job.
int dead_run_task_count(FileHandle h)
{
    const int64_t size = file_length(h);
    if (size < 0 || size > JOB_AREA_OFFSET + MAX_TASKS * COMPRESS_JOB_STRIDE) return -1;
    if (!try_lock_file_range(h, 0, 1)) return -1;
    uint8_t head[JOB_AREA_OFFSET] = {};
    if (read_file_at(h, head, sizeof head, 0) < 0 || head[0] != 0) return -1;
    int tasks = 0;
    for (int i = 1; i < JOB_AREA_OFFSET; ++i) {
        if (head[i] > TASK_STOP || (i > MAX_TASKS && head[i] != 0)) return -1;
        if (head[i] != 0) tasks = i;
    }
    // Job slots are posted to the lowest tasks first.
    if (size > JOB_AREA_OFFSET) {
        const int slots = static_cast<int>((size - JOB_AREA_OFFSET + EXTRACT_JOB_STRIDE - 1) / EXTRACT_JOB_STRIDE);
        tasks = std::max(tasks, std::min(slots, MAX_TASKS));
    }
    return tasks;
}

[[noreturn]] void refuse_control_file(const char* path)
{
    // Never deleted or emptied: it may be another master's, or the user's.
    FileHandle other = open_file(path, FILE_READ, OPEN_EXISTING_FILE);
    const bool exists = find_file(path).exists;
    const bool in_use = file_range_locked_elsewhere(other, 0, 1);
    close_file(other);
    if (in_use)
        fail_with_line(std::string("problems with task (") + path +
                       " is in use: another run with tasks works in this directory)\n");
    if (exists)
        fail_with_line(std::string("problems with task (") + path +
                       " exists already: remove it if no run with tasks uses it)\n");
    fail_with_line(std::string("problems with task (cannot create ") + path + ")\n");
}

// A control file in the way that a dead run left behind is removed (under
// its lock, so that no master starting at the same moment loses its own);
// the task numbers it accounted for are kept for the part files. True when
// it was removed.
bool remove_dead_control_file(TaskTable& table)
{
    const char* path = table.control.path;
    FileHandle old = open_file(path, FILE_READ_WRITE, OPEN_EXISTING_FILE);
    const int tasks = old == NO_FILE ? -1 : dead_run_task_count(old);
    const bool removed = tasks >= 0 && path_names_open_file(path, old) && delete_file(path) == DELETE_DONE;
    close_file(old);
    if (!removed) return false;
    table.leftovers.push_back(path);
    table.leftover_tasks = tasks;
    return true;
}

}  // namespace

void report_leftovers(TaskTable& table)
{
    if (table.leftovers.empty()) return;
    std::string line = "Removed what an interrupted run with tasks left behind:";
    for (const std::string& path : table.leftovers) line += " " + path;
    std::printf("%s\n", line.c_str());
    table.leftovers.clear();
}

TaskTable::~TaskTable()
{
    if (open) abandon_tasks(*this);
}

void WaitPacer::pause()
{
    // A hundred passes that only yield the processor, as a task usually
    // falls idle soon when jobs are short; then about a tenth of a second of
    // short pauses, then half-millisecond ones.
    if (quiet_passes < 1500) {
        if (++quiet_passes <= 100)
            yield_processor();
        else
            pause_between_polls();
    } else {
        pause_longer_between_polls();
    }
}

void create_control_file(TaskTable& table, char command)
{
    table.command = command;
    table.count = static_cast<int>(task_count);
    ControlFile& control = table.control;
    control.job_stride = command == 'a' ? COMPRESS_JOB_STRIDE : EXTRACT_JOB_STRIDE;
    if (!form_task_file_path(control.path, sizeof control.path, work_dir, CONTROL_FILE_NAME, 0))
        fail_with_line(std::string("Error: path too long: ") + work_dir + "\n");
    if (!get_program_path(table.program_path, sizeof table.program_path))
        fail_with_line("Error: cannot find the running program\n");

    control.handle = open_file(control.path, FILE_READ_WRITE, CREATE_NEW_FILE);
    if (control.handle == NO_FILE && remove_dead_control_file(table))
        control.handle = open_file(control.path, FILE_READ_WRITE, CREATE_NEW_FILE);
    // Byte 0 is never written: its lock marks the file as this master's. A
    // master that finds the lock taken, or its file no longer at the path,
    // met another master starting at the same moment.
    if (control.handle == NO_FILE || !try_lock_file_range(control.handle, 0, 1) ||
        !path_names_open_file(control.path, control.handle))
        refuse_control_file(control.path);
    table.open = true;
    interrupted_run = &table;
    catch_stop_signals(abandon_on_signal);
    set_file_attributes(control.path, ATTRIBUTES_HIDDEN);
    if (command == 'x') report_leftovers(table);
    std::printf(command == 'a' ? "multiprocess compression use %d task \n" : "multiprocess etraction use %d task \n",
                table.count);
}

bool task_is_free(TaskTable& table, int task)
{
    if (read_task_status(table.control, task) != TASK_BUSY) return true;
    WorkerTask& w = table.tasks[task];
    ProgramEnd end = PROGRAM_EXITED;
    if (w.worker != NO_PROGRAM && (end = poll_program(w.worker)) == PROGRAM_RUNNING) return false;
    w.worker = NO_PROGRAM;
    // It may have finished its job just before it ended.
    if (read_task_status(table.control, task) == TASK_BUSY) fail_task_lost(table, task, end);
    return true;
}

int find_idle_task(TaskTable& table)
{
    WaitPacer pacer;
    ControlFile& control = table.control;
    for (int pass = 1;; ++pass) {
        // Every status byte in one read a pass. Whether the worker of a busy
        // task still runs takes a call per task, so it is asked only every
        // so many passes: a worker that died is found a moment later.
        read_control_bytes(control, &control.task_status[1], 1, table.count);
        const bool look_closer = pass % 32 == 0;
        for (int i = 1; i <= table.count; ++i)
            if ((look_closer || control.task_status[i] != TASK_BUSY) && task_is_free(table, i)) return i;
        pacer.pause();
    }
}

bool claim_task(TaskTable& table, int task)
{
    ControlFile& control = table.control;
    WorkerTask& w = table.tasks[task];
    lock_task_status(control, task);
    const uint8_t status = read_task_status(control, task);
    if (w.worker != NO_PROGRAM) {
        ProgramEnd end = poll_program(w.worker);
        // A worker that gave its task up is on its way out.
        if (end == PROGRAM_RUNNING && status == TASK_STOP) end = wait_program(w.worker);
        if (end != PROGRAM_RUNNING) w.worker = NO_PROGRAM;
    }
    if (status != TASK_IDLE) write_task_status(control, task, TASK_IDLE);
    if (w.worker != NO_PROGRAM) return false;
    start_worker(table, task);
    return true;
}

// A job's slot holds its fixed fields and the longest path its caller posts.
static_assert(COMPRESS_JOB_STRIDE >= static_cast<int32_t>(COMPRESS_PATH_ROOM) + 20, "compress job slot");
static_assert(EXTRACT_JOB_STRIDE >= static_cast<int32_t>(EXTRACT_DIR_ROOM) + 13, "extract job slot");

void post_compress_job(TaskTable& table, int task, const char* path, uint64_t start, uint64_t end)
{
    ControlFile& control = table.control;
    const int32_t slot = job_slot_offset(control, task);
    const uint32_t n = static_cast<uint32_t>(std::strlen(path) + 1);
    // The slot goes out in one write: with thousands of small files the
    // master's writes per job bound how fast the tasks get their jobs.
    uint8_t job[COMPRESS_JOB_STRIDE];
    std::memcpy(job, &n, 4);
    std::memcpy(job + 4, path, n);
    std::memcpy(job + 4 + n, &start, 8);
    std::memcpy(job + 12 + n, &end, 8);
    write_control_bytes(control, job, slot, static_cast<int32_t>(20 + n));
    // The slot is complete before the status says so.
    write_task_status(control, task, TASK_BUSY);
    unlock_task_status(control, task);
}

void post_extract_job(TaskTable& table, int task, int64_t entry_offset, const char* dir, uint8_t write_flag)
{
    ControlFile& control = table.control;
    const int32_t slot = job_slot_offset(control, task);
    const uint32_t n = static_cast<uint32_t>(std::strlen(dir) + 1);
    uint8_t job[EXTRACT_JOB_STRIDE];
    std::memcpy(job, &entry_offset, 8);
    std::memcpy(job + 8, &n, 4);
    std::memcpy(job + 12, dir, n);
    job[12 + n] = write_flag;
    write_control_bytes(control, job, slot, static_cast<int32_t>(13 + n));
    write_task_status(control, task, TASK_BUSY);
    unlock_task_status(control, task);
}

void stop_task_when_free(TaskTable& table, int task)
{
    if (table.tasks[task].worker == NO_PROGRAM || !task_is_free(table, task)) return;
    if (table.control.task_status[task] != TASK_STOP) write_task_status(table.control, task, TASK_STOP);
}

void stop_all_tasks(TaskTable& table)
{
    WaitPacer pacer;
    for (;;) {
        bool all_stopped = true;
        for (int i = 1; i <= table.count; ++i) {
            if (!task_is_free(table, i)) {
                all_stopped = false;
                continue;
            }
            if (table.control.task_status[i] != TASK_STOP) write_task_status(table.control, i, TASK_STOP);
        }
        if (all_stopped) break;
        pacer.pause();
    }
    // Each worker reads its stop at its next poll and ends.
    for (int i = 1; i <= table.count; ++i) {
        WorkerTask& w = table.tasks[i];
        if (w.worker != NO_PROGRAM) wait_program(w.worker);
        w.worker = NO_PROGRAM;
    }
}

void close_control_file(TaskTable& table)
{
    close_file(table.control.handle);
    delete_file_retry(table.control.path);
    table.open = false;
    interrupted_run = nullptr;
    catch_stop_signals(nullptr);
}

bool is_control_file(const TaskTable& table, const char* path)
{
    return path_names_open_file(path, table.control.handle);
}

void abandon_tasks(TaskTable& table)
{
    // A Ctrl-C in the middle of the clean-up waits until it is done, and
    // then ends the process as usual.
    hold_stop_signals(true);
    interrupted_run = nullptr;
    for (int i = 1; i <= table.count; ++i)
        if (table.tasks[i].worker != NO_PROGRAM) stop_program(table.tasks[i].worker);
    for (int i = 1; i <= table.count; ++i) {
        WorkerTask& w = table.tasks[i];
        if (w.worker != NO_PROGRAM) wait_program(w.worker);
        w.worker = NO_PROGRAM;
        if (w.part_created) delete_file(w.part_path);
        w.part_created = false;
    }
    // Only an unfinished join has written to the archive, under its lock:
    // what it added is cut off, and whatever other runs appended before it
    // stays.
    if (table.append_target != NO_FILE) {
        truncate_file(table.append_target, static_cast<uint64_t>(table.append_start));
        close_file(table.append_target);
    }
    close_file(table.control.handle);
    if (table.open) delete_file(table.control.path);
    table.open = false;
    hold_stop_signals(false);
}
