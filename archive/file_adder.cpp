#include "archive/file_adder.h"

#include <cstdio>
#include <cstring>

#include "archive/entry_writer.h"
#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/entry_state.h"
#include "engine/settings.h"
#include "platform/file_ops.h"
#include "tasks/compress_tasks.h"

namespace {

// True when path names the archive being written (packing it into itself
// would read what is being appended) or the control file of a task run.
bool is_own_file(const char* path)
{
    // The control file exists only in a run with tasks; otherwise a file of
    // that name is the user's own.
    const char* control = task_mode == MODE_SINGLE ? archive_path : control_path;
    for (const char* own : {static_cast<const char*>(archive_path), control})
        if (same_file(path, own)) return true;
    return false;
}

}  // namespace

void FileAdder::add_file(const FileEntry& entry)
{
    if (entry.path.size() > PLATFORM_PATH_LIMIT) {
        report_path_too_long(entry.path.c_str());
        return;
    }
    std::memcpy(path, entry.path.c_str(), entry.path.size() + 1);
    if (is_own_file(path)) return;

    // The name and directory come from two different result buffers.
    char name[PLATFORM_PATH_LIMIT + 1];
    char dir[PLATFORM_PATH_LIMIT + 1];
    size_t dropped_parents = 0;
    std::strcpy(name, last_component(path));
    std::strcpy(dir, relative_directory(path, &dropped_parents));
    if (std::strlen(dir) + std::strlen(name) > PATH_LIMIT) {
        report_path_too_long(path);
        return;
    }
    if (dropped_parents > 0 && !told_parents_dropped) {
        std::printf("Removing leading ../ from stored names\n");
        told_parents_dropped = true;
    }
    if (tasks != nullptr) {
        // A master's workers form the same name and directory from the path.
        if (post_file_pieces(*tasks, path, name, dir)) input_total += entry.size;
        return;
    }
    piece_start = 0;
    piece_end = static_cast<uint64_t>(static_cast<int64_t>(file_size(path)));
    compress_range_to_entry(path, name, dir);
    input_total += entry.size;
}
