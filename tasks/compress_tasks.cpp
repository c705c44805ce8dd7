#include "tasks/compress_tasks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/error.h"
#include "platform/file_ops.h"
#include "tasks/task_master.h"

namespace {

// The copy buffer of append_file, released on every way out.
struct CopyBuffer {
    void* bytes = std::malloc(APPEND_CHUNK_SIZE);
    ~CopyBuffer() { std::free(bytes); }
};

}  // namespace

void prepare_part_files(TaskTable& table)
{
    char archive_name[PLATFORM_PATH_LIMIT + 1];
    std::strcpy(archive_name, last_component(archive_path));
    for (int i = 2; i <= table.count; ++i) {
        WorkerTask& task = table.tasks[i];
        if (!form_task_file_path(task.part_path, sizeof task.part_path, work_dir, archive_name, i))
            fail_with_line(std::string("Error: path too long: ") + work_dir + "/" + archive_name + "\n");
        if (find_file(task.part_path).exists)
            fail_with_line(std::string("problems with ") + task.part_path +
                           " (the file exists already: remove it if no run with tasks uses it)\n");
    }
}

bool post_file_pieces(TaskTable& table, const char* path)
{
    // A job slot holds the path whole or not at all.
    if (std::strlen(path) + 1 > COMPRESS_PATH_ROOM) {
        report_path_too_long(path);
        return false;
    }
    const int64_t size = static_cast<int64_t>(file_size(path));
    const int64_t n = table.count;
    const int64_t piece = size > n * MIN_PIECE_SIZE ? size / n : MIN_PIECE_SIZE;
    // An empty file is one empty piece; a size that is a multiple of the
    // piece size ends in an empty piece.
    for (int64_t start = 0; start <= size; start += piece) {
        const int64_t end = start + piece < size ? start + piece : size;
        const int task = find_idle_task(table);
        claim_task(table, task);
        post_compress_job(table, task, path, static_cast<uint64_t>(start), static_cast<uint64_t>(end));
    }
    return true;
}

int64_t append_file(TaskTable& table, const char* source, const char* destination)
{
    FileHandle from = open_file(source, FILE_READ, OPEN_EXISTING_FILE);
    if (from == NO_FILE) fail_with_line(std::string("Error: cannot open file to append ") + source + "\n");
    // The archive is created here when task 1 never wrote to it.
    FileHandle to = open_file(destination, FILE_READ_WRITE, OPEN_OR_CREATE);
    if (to == NO_FILE) {
        close_file(from);
        fail_with_line(std::string("Error: cannot open detination file to append ") + source + "\n");
    }
    error_archive_name = destination;
    lock_file(to);
    const int64_t start = file_length(to);
    table.append_start = start;
    table.append_target = to;
    int64_t copied = 0;
    try {
        CopyBuffer buffer;
        if (buffer.bytes == nullptr) fail_no_memory();
        if (seek_file(to, static_cast<uint64_t>(start)) != start) fail_archive_write();
        for (;;) {
            const int64_t got = read_file(from, buffer.bytes, APPEND_CHUNK_SIZE);
            if (got < 0) fail_with_line(std::string("Error: cannot read ") + source + "\n");
            if (got == 0) break;
            if (!write_file(to, buffer.bytes, static_cast<uint32_t>(got))) fail_archive_write();
            copied += got;
        }
    } catch (const Failure&) {
        // The archive keeps its complete entries only.
        truncate_file(to, static_cast<uint64_t>(start));
        table.append_target = NO_FILE;
        close_file(to);
        close_file(from);
        throw;
    }
    table.append_target = NO_FILE;
    close_file(to);
    close_file(from);
    return copied;
}

void finish_compress_tasks(TaskTable& table)
{
    std::printf(" close task's active \n");
    // Every worker has ended before a part file is joined: a task that ended
    // in the middle of a job fails the run here, and no part file of the run
    // reaches the archive.
    stop_all_tasks(table);
    for (int i = 2; i <= table.count; ++i) {
        WorkerTask& task = table.tasks[i];
        if (!task.part_created) continue;
        if (find_file(task.part_path).size > 0) append_file(table, task.part_path, archive_path);
        delete_file_retry(task.part_path);
        task.part_created = false;
    }
    close_control_file(table);
}
