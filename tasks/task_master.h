// The master of a run with tasks (-t<n>, n of 2 or more): it creates the
// control file, starts a worker for a task when the task first gets a job
// (and again when its worker has ended idle), posts jobs to idle tasks, and
// in its end phase stops every worker. A worker that ends while its task is
// busy ends the run with a failure; the run is then abandoned: every worker
// is stopped, the part files and the control file are removed.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/process.h"
#include "tasks/control_file.h"

struct WorkerTask {
    ProgramId worker = NO_PROGRAM;       // the running worker, if any
    bool part_created = false;           // `a`: this run created the part file
    char part_path[PLATFORM_PATH_LIMIT + 1] = {};  // `a`: the part file the task writes its entries into
};

// `a`: a file cut into several pieces, as its entries will name it. The
// join takes its entries only when every piece came back whole.
struct SplitFile {
    std::string path;  // as listed
    std::string name;  // stored name and directory, as the worker writes them
    std::string dir;
    std::vector<uint64_t> piece_starts;  // each piece ends where the next starts; the last at `size`
    uint64_t size = 0;
};

struct TaskTable {
    char command = 0;   // 'a' or 'x'
    int count = 0;      // tasks of the run
    ControlFile control;
    bool open = false;  // the control file is this run's, and the run is not over
    WorkerTask tasks[MAX_TASKS + 1];
    char program_path[PLATFORM_PATH_LIMIT + 1] = {};  // the running program, started as each worker
    // While the part files are joined: the archive, locked, and its length
    // before, so that an interruption cuts the unfinished join off. Until
    // then the run has not written to the archive at all.
    FileHandle append_target = NO_FILE;
    int64_t append_start = 0;
    std::vector<SplitFile> split_files;  // `a`: the files posted in several pieces
    // Files of an interrupted run found in the way, removed by this run, and
    // the task numbers its control file accounted for.
    std::vector<std::string> leftovers;
    int leftover_tasks = 0;

    TaskTable() = default;
    TaskTable(const TaskTable&) = delete;
    TaskTable& operator=(const TaskTable&) = delete;
    // A run that did not reach its end (a failure on the way) is abandoned.
    ~TaskTable();
};

// Creates the control file in the current directory for command 'a' or 'x'
// with task_count tasks and prints the task line. A file of that name that
// a dead run left behind (no process holds its lock, and it has a control
// file's size and status bytes) is removed; any other one (a live run's, or
// the user's) is left alone and the run refuses.
void create_control_file(TaskTable& table, char command);

// Prints one line naming the files of an interrupted run that this run
// found in its way and removed, if any.
void report_leftovers(TaskTable& table);

// The lowest-numbered task that is not busy; waits while all are. A busy task
// whose worker has ended fails the run.
int find_idle_task(TaskTable& table);

// Readies a task that is not busy for a job: takes the lock on its status
// byte and starts a worker when the task has none (never started, ended
// idle, or killed while idle). True when a fresh worker was started. The
// caller posts the job with post_compress_job or post_extract_job, which
// set the task busy and release the lock.
bool claim_task(TaskTable& table, int task);
void post_compress_job(TaskTable& table, int task, const char* path, uint64_t start, uint64_t end);
void post_extract_job(TaskTable& table, int task, int64_t entry_offset, const char* dir, uint8_t write_flag);

// False while the task is busy; fails the run when its worker has ended.
bool task_is_free(TaskTable& table, int task);

// Tells a task that has a worker and is not busy to stop: the worker ends
// rather than wait idle. A later job starts a fresh one.
void stop_task_when_free(TaskTable& table, int task);

// Waits until no task is busy, then tells every task to stop and waits for
// every worker to end.
void stop_all_tasks(TaskTable& table);

// Closes and deletes the control file: the run is over.
void close_control_file(TaskTable& table);

// True when path names the control file of this run.
bool is_control_file(const TaskTable& table, const char* path);

// Stops every worker, waits for them, cuts the archive back to where the run
// found it and removes the part files and the control file. Safe in a
// signal handler.
void abandon_tasks(TaskTable& table);

// Paces a wait: short pauses while things change, longer ones after a while
// without change.
struct WaitPacer {
    int quiet_passes = 0;
    void pause();
    void reset() { quiet_passes = 0; }
};
