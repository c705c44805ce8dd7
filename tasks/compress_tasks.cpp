#include "tasks/compress_tasks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/entry_reader.h"
#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/error.h"
#include "engine/settings.h"
#include "platform/file_ops.h"
#include "platform/shared_file.h"
#include "tasks/task_master.h"

namespace {

// The copy buffer of the join, released on every way out.
struct CopyBuffer {
    uint8_t* bytes = static_cast<uint8_t*>(std::malloc(APPEND_CHUNK_SIZE));
    ~CopyBuffer() { std::free(bytes); }
};

// A part file open for reading, closed on every way out.
struct PartReader {
    FileHandle handle = NO_FILE;
    ~PartReader() { close_file(handle); }
};

// The key of a stored file: its directory and name as an entry holds them.
std::string stored_key(const char* dir, const char* name)
{
    return std::string(dir) + '\0' + name;  // no stored name holds a zero byte
}

// One entry of a part file.
struct PartEntry {
    int64_t offset = 0;
    int64_t length = 0;
    std::string key;
    uint64_t piece_offset = 0;
    int64_t piece_length = 0;
};

using Pieces = std::vector<std::pair<uint64_t, int64_t>>;  // (offset, length) of each piece

// The entries of a part file. Only this run's workers wrote it, and each
// cut off its unfinished entry when it stopped, so anything but whole
// entries fails the run.
std::vector<PartEntry> read_part_entries(const char* path)
{
    PartReader part;
    part.handle = open_file(path, FILE_READ, OPEN_EXISTING_FILE);
    if (part.handle == NO_FILE) fail_with_line(std::string("Error: cannot open file to append ") + path + "\n");
    const int64_t size = file_length(part.handle);
    std::vector<PartEntry> entries;
    EntryHeader header;
    for (int64_t offset = 0; offset < size; offset += static_cast<int64_t>(header.length)) {
        const char* problem = read_entry_header(part.handle, offset, &header);
        if (problem == nullptr) problem = check_entry_length(header, offset, size);
        if (problem != nullptr) fail_with_line(std::string("Error: part file ") + path + " is damaged: " + problem + "\n");
        entries.push_back({offset, static_cast<int64_t>(header.length), stored_key(header.dir, header.name),
                           header.piece_offset, header.piece_length});
    }
    return entries;
}

// The files cut into pieces that did not come back whole: a piece is
// missing (the file could not be opened, it was deleted in between) or
// short (it shrank, a read failed). Their other pieces must not reach the
// archive either, where they would pass for the whole file.
std::set<std::string> incomplete_files(const TaskTable& table, const std::vector<std::vector<PartEntry>>& parts)
{
    std::map<std::string, Pieces> expected, found;
    for (const SplitFile& f : table.split_files) {
        Pieces& pieces = expected[stored_key(f.dir.c_str(), f.name.c_str())];
        for (size_t k = 0; k < f.piece_starts.size(); ++k) {
            const uint64_t end = k + 1 < f.piece_starts.size() ? f.piece_starts[k + 1] : f.size;
            pieces.emplace_back(f.piece_starts[k], static_cast<int64_t>(end - f.piece_starts[k]));
        }
    }
    for (const std::vector<PartEntry>& part : parts)
        for (const PartEntry& e : part)
            if (expected.count(e.key) != 0) found[e.key].emplace_back(e.piece_offset, e.piece_length);
    std::set<std::string> incomplete;
    for (auto& file : expected) {
        Pieces& got = found[file.first];
        std::sort(file.second.begin(), file.second.end());
        std::sort(got.begin(), got.end());
        if (got != file.second) incomplete.insert(file.first);
    }
    return incomplete;
}

// Copies bytes [offset, offset + length) of a part file to the archive's
// write position; with hold_length the first 8 bytes, the length of the
// entry they start, go out as 0.
void copy_range(FileHandle from, int64_t offset, int64_t length, FileHandle to, uint8_t* buffer, bool hold_length)
{
    for (int64_t done = 0; done < length;) {
        const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(APPEND_CHUNK_SIZE, length - done));
        if (read_file_at(from, buffer, n, static_cast<uint64_t>(offset + done)) != static_cast<int64_t>(n))
            fail_with_line(std::string("Error: cannot read a part file to append\n"));
        if (done == 0 && hold_length) std::memset(buffer, 0, 8);
        if (!write_file(to, buffer, n)) fail_archive_write();
        done += n;
    }
}

// Appends the entries of the part files, in task order, to the archive,
// leaving out those of the files in `left_out`; returns the bytes appended.
// The archive stays locked throughout, so that no other run appends in
// between, and the first entry joined says length 0 until the last byte is
// in: a join cut off by a kill leaves the archive's earlier entries followed
// by an entry whose writing was cut off, which `x` and `l` report as damage
// and the next `a` cuts away. An interruption that can be caught cuts the
// join off altogether (abandon_tasks).
int64_t join_part_files(TaskTable& table, const std::vector<std::vector<PartEntry>>& parts,
                        const std::set<std::string>& left_out)
{
    std::vector<int> sources;  // tasks whose part files hold an entry to join
    for (int i = 1; i <= table.count; ++i)
        for (const PartEntry& e : parts[static_cast<size_t>(i)])
            if (left_out.count(e.key) == 0) {
                sources.push_back(i);
                break;
            }
    // A run that stored nothing leaves the archive as it was, or uncreated.
    if (sources.empty()) return 0;
    table.append_target = open_file(archive_path, FILE_READ_WRITE, OPEN_OR_CREATE);
    if (table.append_target == NO_FILE)
        fail_with_line(std::string("Error: cannot open detination file to append ") +
                       table.tasks[sources[0]].part_path + "\n");
    FileHandle& archive = table.append_target;
    error_archive_name = archive_path;
    lock_file(archive);
    table.append_start = file_length(archive);
    if (table.append_start < 0 || seek_file(archive, static_cast<uint64_t>(table.append_start)) < 0)
        fail_archive_write();
    CopyBuffer buffer;
    if (buffer.bytes == nullptr) fail_no_memory();
    int64_t joined = 0;
    uint64_t first_length = 0;
    for (int i : sources) {
        PartReader part;
        part.handle = open_file(table.tasks[i].part_path, FILE_READ, OPEN_EXISTING_FILE);
        if (part.handle == NO_FILE)
            fail_with_line(std::string("Error: cannot open file to append ") + table.tasks[i].part_path + "\n");
        // Entries that lie back to back and are all kept go out in one copy.
        const std::vector<PartEntry>& entries = parts[static_cast<size_t>(i)];
        for (size_t k = 0; k < entries.size();) {
            if (left_out.count(entries[k].key) != 0) {
                ++k;
                continue;
            }
            if (joined == 0) first_length = static_cast<uint64_t>(entries[k].length);
            const int64_t start = entries[k].offset;
            int64_t length = 0;
            for (; k < entries.size() && left_out.count(entries[k].key) == 0; ++k) length += entries[k].length;
            copy_range(part.handle, start, length, archive, buffer.bytes, joined == 0);
            joined += length;
        }
    }
    uint8_t length[8];
    for (int k = 0; k < 8; ++k) length[k] = static_cast<uint8_t>(first_length >> (8 * k));
    if (!write_file_at(archive, length, 8, static_cast<uint64_t>(table.append_start))) fail_archive_write();
    close_file(archive);
    return joined;
}

// True when the file holds nothing but entries, the last of which may have
// been cut off in its writing: what a worker leaves in its part file.
bool holds_only_entries(const char* path)
{
    PartReader part;
    part.handle = open_file(path, FILE_READ, OPEN_EXISTING_FILE);
    if (part.handle == NO_FILE) return false;
    const int64_t size = file_length(part.handle);
    EntryHeader header;
    for (int64_t offset = 0; offset < size; offset += static_cast<int64_t>(header.length)) {
        if (read_entry_header(part.handle, offset, &header) != nullptr) return false;
        if (header.length == 0) return true;
        if (check_entry_length(header, offset, size) != nullptr) return false;
    }
    return true;
}

}  // namespace

void prepare_part_files(TaskTable& table)
{
    char archive_name[PLATFORM_PATH_LIMIT + 1];
    std::strcpy(archive_name, last_component(archive_path));
    // Tasks beyond this run's count are looked at only where a dead run's
    // control file accounts for them.
    const int last = std::max(table.count, table.leftover_tasks);
    for (int i = 1; i <= last; ++i) {
        char path[PLATFORM_PATH_LIMIT + 1];
        if (!form_task_file_path(path, sizeof path, work_dir, archive_name, i))
            fail_with_line(std::string("Error: path too long: ") + work_dir + "/" + archive_name + "\n");
        if (i <= table.count) std::memcpy(table.tasks[i].part_path, path, sizeof path);
        const FoundFile found = find_file(path);
        if (!found.exists) continue;
        // An empty file, or entries that a dead run's control file accounts
        // for, are what an interrupted run leaves; anything else may be the
        // user's own.
        const bool leftover = !found.is_directory && ((found.size == 0 && i <= table.count) ||
                                                      (i <= table.leftover_tasks && holds_only_entries(path)));
        if (leftover && delete_file(path) == DELETE_DONE) {
            table.leftovers.push_back(path);
        } else if (i <= table.count) {
            fail_with_line(std::string("problems with ") + path +
                           " (the file exists already: remove it if no run with tasks uses it)\n");
        }
    }
    report_leftovers(table);
}

bool post_file_pieces(TaskTable& table, const char* path, const char* name, const char* dir)
{
    // A job slot holds the path whole or not at all.
    if (std::strlen(path) + 1 > COMPRESS_PATH_ROOM) {
        report_path_too_long(path);
        return false;
    }
    const int64_t size = static_cast<int64_t>(file_size(path));
    const int64_t n = table.count;
    const int64_t piece = size > n * MIN_PIECE_SIZE ? size / n : MIN_PIECE_SIZE;
    // A file of several pieces is remembered as its workers will store it,
    // so that the join can tell whether all its pieces came back whole.
    SplitFile* split = nullptr;
    if (size >= MIN_PIECE_SIZE) {
        table.split_files.emplace_back();
        split = &table.split_files.back();
        split->path = path;
        split->name = name;
        split->dir = dir;
        if (recurse_flag) {
            collapse_separators(&split->name[0]);
            collapse_separators(&split->dir[0]);
            split->name.resize(std::strlen(split->name.c_str()));
            split->dir.resize(std::strlen(split->dir.c_str()));
        }
        split->size = static_cast<uint64_t>(size);
    }
    // An empty file is one empty piece; a size that is a multiple of the
    // piece size ends in an empty piece.
    for (int64_t start = 0; start <= size; start += piece) {
        const int64_t end = start + piece < size ? start + piece : size;
        const int task = find_idle_task(table);
        claim_task(table, task);
        post_compress_job(table, task, path, static_cast<uint64_t>(start), static_cast<uint64_t>(end));
        if (split != nullptr) split->piece_starts.push_back(static_cast<uint64_t>(start));
    }
    return true;
}

int64_t finish_compress_tasks(TaskTable& table)
{
    std::printf(" close task's active \n");
    // Every worker has ended before a part file is joined: a task that ended
    // in the middle of a job fails the run here, and nothing of the run
    // reaches the archive.
    stop_all_tasks(table);
    std::vector<std::vector<PartEntry>> parts(static_cast<size_t>(table.count) + 1);
    for (int i = 1; i <= table.count; ++i)
        if (table.tasks[i].part_created) parts[static_cast<size_t>(i)] = read_part_entries(table.tasks[i].part_path);
    const std::set<std::string> left_out = incomplete_files(table, parts);
    for (const SplitFile& f : table.split_files)
        if (left_out.count(stored_key(f.dir.c_str(), f.name.c_str())) != 0)
            std::printf("Error: Input file %s could not be read whole: none of its pieces were stored\n",
                        f.path.c_str());
    const int64_t joined = join_part_files(table, parts, left_out);
    for (int i = 1; i <= table.count; ++i) {
        WorkerTask& task = table.tasks[i];
        if (task.part_created) delete_file_retry(task.part_path);
        task.part_created = false;
    }
    close_control_file(table);
    return joined;
}
