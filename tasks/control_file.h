// The control file "master.tmp" through which a master and its workers
// share the work: one status byte per task at offset i (1 to 99), then one
// job slot per task from offset 256. Integers are stored little-endian.
//
// CompressJob (slot stride 280): u32 n, the path (n bytes with its zero),
//   u64 piece start, u64 piece end.
// ExtractJob (slot stride 272): i64 entry offset, u32 n, the destination
//   directory (n bytes with its zero), u8 write flag (1 write, 0 decode
//   only, 2 write and cut the file off where this piece ends).
//
// Every access is a positioned read or write on the descriptor, so that a
// process always sees what another one last wrote; bytes past the file's end
// read as 0 (TASK_IDLE).
#pragma once
#include <cstdint>

#include "platform/file_io.h"

constexpr int MAX_TASKS = 99;
constexpr int32_t JOB_AREA_OFFSET = 256;
constexpr int32_t COMPRESS_JOB_STRIDE = 280;
constexpr int32_t EXTRACT_JOB_STRIDE = 272;
constexpr uint32_t COMPRESS_PATH_ROOM = 260;  // path bytes a CompressJob holds, zero included
constexpr uint32_t EXTRACT_DIR_ROOM = 259;    // destination bytes an ExtractJob holds, zero included
constexpr const char* CONTROL_FILE_NAME = "master.tmp";

// Status byte values.
constexpr uint8_t TASK_IDLE = 0;  // the task may be given a job
constexpr uint8_t TASK_BUSY = 1;  // a job is posted and not yet done
constexpr uint8_t TASK_STOP = 2;  // the worker is to end, or has ended by itself

// A worker ends after more than this many idle polls in a row.
constexpr int32_t WORKER_IDLE_LIMIT = 0x40000;

struct ControlFile {
    FileHandle handle = NO_FILE;
    char path[PLATFORM_PATH_LIMIT + 1] = {};  // as the system takes it
    int32_t job_stride = 0;           // of the run's command
    uint8_t task_status[256] = {};    // this process's copy of the status bytes

    ControlFile() = default;
    ControlFile(const ControlFile&) = delete;
    ControlFile& operator=(const ControlFile&) = delete;
    ~ControlFile() { close_file(handle); }
};

// dir + "/" + name, with the number appended when it is not 0: the paths of
// the control file and of the part files. False when it does not fit.
bool form_task_file_path(char* out, size_t cap, const char* dir, const char* name, int number);

// Offset of task i's job slot.
int32_t job_slot_offset(const ControlFile& control, int task);

// Reads n bytes at offset; the bytes past the file's end read as 0.
void read_control_bytes(ControlFile& control, void* buffer, int32_t offset, int32_t n);
void write_control_bytes(ControlFile& control, const void* data, int32_t offset, int32_t n);
void write_control_byte(ControlFile& control, const uint8_t* byte, int32_t offset);

// Task i's status byte, read into task_status[i]; and written from there.
uint8_t read_task_status(ControlFile& control, int task);
void write_task_status(ControlFile& control, int task, uint8_t status);

// While a process holds the lock on task i's status byte, no other process
// changes it: a worker that gives up idle and a master that posts a job
// cannot cross.
void lock_task_status(ControlFile& control, int task);
void unlock_task_status(ControlFile& control, int task);

// A worker opens the control file its master created; false when it cannot.
bool open_control_file(ControlFile& control, const char* path, int32_t job_stride);
