#include "archive/entry_writer.h"

#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "archive/entry_reader.h"
#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/entry_codec.h"
#include "engine/entry_state.h"
#include "engine/error.h"
#include "engine/settings.h"
#include "engine/work_memory.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/process.h"

uint8_t entry_reset_flag = 0;
uint8_t solid_open = 0;
int64_t block_bytes = 0;

namespace {

void put_le(uint8_t*& p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i) *p++ = static_cast<uint8_t>(v >> (8 * i));
}

// Position of the piece_length field in the header being written.
int64_t piece_length_field = 0;

// Archive offset just past the last entry this process wrote.
int64_t solid_run_end = -1;

// 1 from the header's first byte until finish_entry has set the entry's
// length: an entry cut off in this span still says length 0, and every entry
// appended after it would be out of the readers' reach.
volatile sig_atomic_t entry_in_progress = 0;

// Interrupted while an entry is being written: the archive is cut back to
// where the entry began, so it still ends with its last complete entry, and
// the signal then takes its usual course.
void cut_entry_on_signal(int sig)
{
    // Once the entry's length is written over its zero the entry is complete,
    // even while the archive is still being closed.
    uint8_t length[8] = {};
    const bool complete = read_file_at(write_handle, length, 8, static_cast<uint64_t>(entry_offset)) == 8 &&
                          (length[0] | length[1] | length[2] | length[3] | length[4] | length[5] | length[6] |
                           length[7]) != 0;
    if (entry_in_progress && !complete) truncate_file(write_handle, static_cast<uint64_t>(entry_offset));
    end_by_signal(sig);
}

void catch_interruptions()
{
    static bool installed = false;
    if (installed) return;
    installed = true;
    // A signal that the caller ignores (a background job's SIGINT) stays ignored.
    catch_stop_signals(cut_entry_on_signal);
}

// Opens the input file into read_handle and the archive, locked, into
// write_handle. False when the input cannot be opened.
bool open_entry_files(const char* path)
{
    read_handle = open_file(path, FILE_READ, OPEN_EXISTING_FILE);
    if (read_handle == NO_FILE) {
        std::printf("Error: cannot open Input file %s\n", path);
        return false;
    }
    // Opened or created, never truncated: an archive that fails to open for
    // a moment must not lose its entries.
    write_handle = open_file(archive_path, FILE_READ_WRITE, OPEN_OR_CREATE);
    if (write_handle == NO_FILE) fail_with_line(std::string("Error: cannot open Output file ") + archive_path + "\n");
    error_archive_name = archive_path;
    // Another run appending to the same archive waits until this entry is done.
    lock_file(write_handle);
    catch_interruptions();
    return true;
}

// Writes the header at entry_offset, its length still 0; entry_length
// counts its bytes.
void write_entry_header(const EntryHeader& header)
{
    uint8_t bytes[ENTRY_HEADER_FIXED + 2 * (PATH_LIMIT + 1)];
    uint8_t* p = bytes;
    put_le(p, header.length, 8);
    *p++ = header.solid;
    *p++ = header.reset;
    for (const char* text : {header.name, header.dir}) {
        const size_t size = std::strlen(text) + 1;
        put_le(p, size, 2);
        std::memcpy(p, text, size);
        p += size;
    }
    piece_length_field = entry_offset + (p - bytes);
    put_le(p, static_cast<uint64_t>(header.piece_length), 8);
    put_le(p, header.piece_offset, 8);
    put_le(p, header.block_size, 4);
    if (!write_file(write_handle, bytes, static_cast<uint32_t>(p - bytes))) fail_archive_write();
    entry_length = static_cast<uint64_t>(p - bytes);
}

// The file shrank while it was packed: the entry keeps only the `got` bytes
// of the block that were read, and says so in its header.
void shorten_entry(const char* path, int64_t got)
{
    std::printf("Error: Input file %s is shorter than when it was listed\n", path);
    block_bytes = got < 0 ? 0 : got;
    input_size = piece_done + block_bytes;
    uint8_t field[8];
    uint8_t* f = field;
    put_le(f, static_cast<uint64_t>(input_size), 8);
    if (seek_file(write_handle, static_cast<uint64_t>(piece_length_field)) < 0 || !write_file(write_handle, field, 8) ||
        seek_file(write_handle, static_cast<uint64_t>(entry_offset) + entry_length) < 0)
        fail_archive_write();
}

void write_entry(char* path, char* name, char* dir)
{
    if (!open_entry_files(path)) return;
    entry_offset = file_length(write_handle);
    seek_file(write_handle, static_cast<uint64_t>(entry_offset));
    input_size = static_cast<int64_t>(piece_end - piece_start);

    // A solid run continues only right behind this process's own last entry:
    // when another run appended in between, the models start afresh, so that
    // each entry still follows the entry whose state it continues.
    const bool reset = !solid_flag || !solid_open || entry_offset != solid_run_end;
    if (reset && solid_flag) solid_open = 1;
    entry_reset_flag = reset ? 1 : 0;
    block_bytes = block_size_option;
    collapse_separators(path);
    if (recurse_flag) {
        collapse_separators(name);
        collapse_separators(dir);
    }
    EntryHeader header;
    header.solid = solid_flag;
    header.reset = entry_reset_flag;
    std::memcpy(header.name, name, std::strlen(name) + 1);
    std::memcpy(header.dir, dir, std::strlen(dir) + 1);
    header.piece_length = input_size;
    header.piece_offset = piece_start;
    header.block_size = block_size_option;
    entry_in_progress = 1;
    write_entry_header(header);

    begin_encoding(reset, block_size_option);
    seek_file(read_handle, piece_start);
    while (piece_done < input_size) {
        if (piece_done + block_bytes > input_size) block_bytes = input_size - piece_done;
        const int64_t got = read_file(read_handle, block_buffer, static_cast<uint32_t>(block_bytes));
        if (got != block_bytes) {
            shorten_entry(path, got);
            if (block_bytes == 0) break;
        }
        encode_block(block_buffer, static_cast<uint32_t>(block_bytes));
        if (verbose && task_mode == MODE_SINGLE)
            print_progress(path, piece_done, static_cast<int64_t>(entry_length), false);
    }
    finish_entry(path);
    entry_in_progress = 0;
    solid_run_end = entry_offset + static_cast<int64_t>(entry_length);
}

}  // namespace

void compress_range_to_entry(char* path, char* name, char* dir)
{
    try {
        write_entry(path, name, dir);
    } catch (const Failure&) {
        // The header of an unfinished entry still says length 0: cutting the
        // archive back to where the entry began leaves only complete entries.
        if (entry_in_progress) {
            truncate_file(write_handle, static_cast<uint64_t>(entry_offset));
            entry_in_progress = 0;
        }
        throw;
    }
}

void prepare_archive_for_append()
{
    FileHandle archive = open_file(archive_path, FILE_READ_WRITE, OPEN_EXISTING_FILE);
    if (archive == NO_FILE) {
        // Missing: `a` creates it. Anything else that cannot be opened as a
        // regular file (a directory, a FIFO) is refused here.
        if (!find_file(archive_path).exists) return;
        fail_with_line(std::string("Error: cannot open Output file ") + archive_path + "\n");
    }
    lock_file(archive);
    const int64_t size = file_length(archive);
    int64_t offset = 0;
    const char* problem = nullptr;
    EntryHeader header;
    while (offset < size && problem == nullptr) {
        problem = read_entry_header(archive, offset, &header);
        if (problem == nullptr && header.length == 0 && offset > 0) {
            std::printf("Archive %s ends in an entry whose writing was cut off: cut back to %" PRId64 " bytes\n",
                        archive_path, offset);
            if (!truncate_file(archive, static_cast<uint64_t>(offset)))
                problem = "it cannot be cut back";
            break;
        }
        if (problem == nullptr) problem = check_entry_length(header, offset, size);
        if (problem == nullptr) offset += static_cast<int64_t>(header.length);
    }
    close_file(archive);
    if (problem != nullptr)
        fail_with_line(std::string("Error: ") + archive_path + " is not an archive (" + problem +
                       "): nothing was added\n");
}
