#include "archive/extractor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "archive/entry_reader.h"
#include "archive/entry_writer.h"
#include "archive/path_utils.h"
#include "archive/settings.h"
#include "engine/entry_codec.h"
#include "engine/entry_state.h"
#include "engine/error.h"
#include "engine/settings.h"
#include "engine/work_memory.h"
#include "platform/file_io.h"

int64_t archive_size = 0;
uint8_t entry_write_flag = 0;
uint32_t listed_count = 0;

namespace {

char entry_name[PATH_LIMIT + 1];
char entry_dir[PATH_LIMIT + 1];
char output_dir[PLATFORM_PATH_LIMIT + PATH_LIMIT + 4];
uint32_t entry_block_size = 0;

using Range = std::pair<uint64_t, uint64_t>;

// Byte ranges of each output file written in this run, so that a file
// stored in pieces is cut back to its stored length without losing pieces.
std::map<std::string, std::vector<Range>> written_ranges;

// Pieces that each stored path of the open archive holds together.
PieceTotals piece_totals;

// Reads the header of the entry at entry_offset into the entry globals and
// sets the handle to its chunks, which entry_data_offset and entry_data_end
// enclose. With whole, the whole entry is judged first (its chunks, its piece).
void read_entry(bool whole)
{
    EntryHeader header;
    if (whole) {
        check_entry(read_handle, entry_offset, archive_size, piece_totals, &header);
    } else {
        const char* problem = read_entry_header(read_handle, entry_offset, &header);
        if (problem == nullptr) problem = check_entry_length(header, entry_offset, archive_size);
        if (problem != nullptr) fail_damaged(problem);
    }
    entry_length = header.length;
    solid_flag = header.solid;
    entry_reset_flag = header.reset;
    std::memcpy(entry_name, header.name, sizeof entry_name);
    std::memcpy(entry_dir, header.dir, sizeof entry_dir);
    input_size = header.piece_length;
    piece_start = header.piece_offset;
    entry_block_size = header.block_size;
    entry_data_offset = entry_offset + header.header_size;
    entry_data_end = entry_offset + static_cast<int64_t>(header.length);
    seek_file(read_handle, static_cast<uint64_t>(entry_data_offset));
}

void open_archive_for_reading()
{
    read_handle = open_archive_file(archive_path);
    archive_size = file_length(read_handle);
    entry_offset = 0;
    piece_totals = tally_pieces(read_handle, archive_size);
    seek_file(read_handle, 0);
}

// A stored name or directory that would leave the destination: a '..'
// component, or a name that is empty, "." or holds a separator.
bool entry_path_is_safe()
{
    if (entry_name[0] == 0 || std::strcmp(entry_name, ".") == 0 || std::strcmp(entry_name, "..") == 0)
        return false;
    if (std::strpbrk(entry_name, "/\\") != nullptr) return false;
    const char* p = entry_dir;
    while (*p) {
        const char* end = p;
        while (*end && *end != '/' && *end != '\\') ++end;
        if (end - p == 2 && p[0] == '.' && p[1] == '.') return false;
        p = *end ? end + 1 : end;
    }
    return true;
}

// The output file of the entry being decoded, closed however decoding ends.
struct OutputFile {
    FileHandle handle = NO_FILE;
    // The output path as printed: the stored names' control bytes as '?'.
    char shown[sizeof output_dir + PATH_LIMIT + 2];
    ~OutputFile() { close_file(handle); }
};

// Forms the output path of the entry in path_buffer ("" when too long) and,
// when entry_write_flag asks for it, opens its file below dest_dir without
// following any link there, so that no entry can write outside it. Every
// reason not to write the entry is reported and clears entry_write_flag;
// an output that is the archive itself or keep_out counts as one that
// cannot be opened.
void open_output(FileHandle keep_out, OutputFile* output)
{
    std::snprintf(output_dir, sizeof output_dir, "%s%c%s", dest_dir, PATH_SEPARATOR, entry_dir);
    // The output path is measured once its separators are made native and
    // its doubled ones collapsed.
    char full_path[sizeof output->shown];
    std::snprintf(full_path, sizeof full_path, "%s%s", output_dir, entry_name);
    native_separators(full_path);
    collapse_separators(full_path);
    const bool fits = std::strlen(full_path) <= PLATFORM_PATH_LIMIT;
    std::strcpy(path_buffer, fits ? full_path : "");
    char* const shown = output->shown;
    if (entry_write_flag && !entry_path_is_safe()) {
        std::snprintf(shown, sizeof output->shown, "%s%s", entry_dir, entry_name);
        mask_control_bytes(shown);
        std::printf("Error: unsafe path %s in archive, not extracted\n", shown);
        entry_write_flag = 0;
    }
    if (entry_write_flag && !fits) {
        std::strcpy(shown, full_path);
        mask_control_bytes(shown);
        std::printf("Error: path too long %s, not extracted\n", shown);
        entry_write_flag = 0;
    }
    std::strcpy(shown, path_buffer);
    mask_control_bytes(shown);
    if (!entry_write_flag) return;

    create_directories(dest_dir);
    char stored[2 * PATH_LIMIT + 2];
    std::snprintf(stored, sizeof stored, "%s%s", entry_dir, entry_name);
    const BelowResult opened = open_file_below(dest_dir, stored, &output->handle);
    if (output->handle != NO_FILE &&
        (same_open_file(output->handle, read_handle) || same_open_file(output->handle, keep_out)))
        close_file(output->handle);
    if (opened == BELOW_LINK) {
        std::printf("Error: symbolic link in the way of %s, not extracted\n", shown);
        entry_write_flag = 0;
    } else if (output->handle == NO_FILE) {
        std::printf("Error: cannot open Output file %s\n", shown);
        entry_write_flag = 0;
    } else if (verbose) {
        std::printf(" %s \n", shown);
    }
}

// The byte ranges written to the output file at path in this run. A piece
// [piece_start, piece_stop) that overlaps bytes written earlier is a newer
// copy of the file: it replaces the file rather than mixing with the old
// one. So does an empty file, which is stored as the one piece [0, 0).
std::vector<Range>& claim_output_ranges(FileHandle out, const std::string& path, uint64_t piece_stop)
{
    std::vector<Range>& ranges = written_ranges[path];
    const bool empty_file = input_size == 0 && piece_start == 0;
    for (const Range& r : ranges)
        if (empty_file || (r.first < piece_stop && piece_start < r.second)) {
            ranges.clear();
            truncate_file(out, 0);
            break;
        }
    return ranges;
}

// The piece is written: bytes past every piece written in this run are left
// over from an older, longer file, and the file ends where its stored
// pieces end. Workers write the pieces of one file at once: a worker cuts
// it off only when its job says that this piece reaches its end.
void end_output_piece(FileHandle out, std::vector<Range>& ranges, uint64_t piece_stop)
{
    ranges.push_back({piece_start, piece_stop});
    uint64_t end = 0;
    for (const Range& r : ranges) end = r.second > end ? r.second : end;
    const bool may_cut = task_mode != MODE_WORKER || entry_write_flag == 2;
    if (may_cut && file_length(out) > static_cast<int64_t>(end)) truncate_file(out, end);
}


}  // namespace

bool entry_matches_wildcard(const char* dir, const char* name, const char* pattern)
{
    std::snprintf(path_buffer, sizeof path_buffer, "%s%s", dir, name);
    base_name_of_path_buffer();
    for (char* c = name_buffer; *c; ++c)
        if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c + ('a' - 'A'));
    return match_wildcard_name(pattern) == 1;
}

void extract_archive(const char* pattern)
{
    open_archive_for_reading();
    // Each walk starts afresh: the ranges written and the models of an
    // earlier walk (another destination of the same run) are not its own.
    written_ranges.clear();
    while (entry_offset < archive_size) {
        read_entry(true);
        if (entry_offset == 0 && !entry_reset_flag)
            fail_damaged("an entry continues a solid run that was not decoded before it");
        const bool match = entry_matches_wildcard(entry_dir, entry_name, pattern);
        const uint64_t length = entry_length;
        if (solid_flag != 0 || match) {
            entry_write_flag = match ? 1 : 0;
            extract_entry();
        }
        entry_offset += static_cast<int64_t>(length);
    }
    close_file(read_handle);
}

void extract_entry(FileHandle keep_out)
{
    read_entry(false);
    OutputFile output;
    open_output(keep_out, &output);
    if (input_size < 0) {
        std::fprintf(stderr, "size error\n");
        fail_with_line("");
    }
    begin_decoding(entry_reset_flag != 0, entry_block_size);
    FileHandle& out = output.handle;
    const uint64_t piece_stop = piece_start + static_cast<uint64_t>(input_size);
    std::vector<Range>* ranges = out != NO_FILE ? &claim_output_ranges(out, path_buffer, piece_stop) : nullptr;

    block_bytes = entry_block_size;
    while (piece_done < input_size) {
        if (block_bytes > input_size - piece_done) block_bytes = input_size - piece_done;
        const uint64_t at = piece_start + static_cast<uint64_t>(piece_done);
        decode_block(block_buffer, static_cast<uint32_t>(block_bytes));
        if (out != NO_FILE &&
            (seek_file(out, at) < 0 || !write_file(out, block_buffer, static_cast<uint32_t>(block_bytes)))) {
            std::printf("Error: cannot write Output file %s\n", output.shown);
            close_file(out);
        }
    }
    end_decoding();
    if (out != NO_FILE) end_output_piece(out, *ranges, piece_stop);
}

void list_archive(const char* pattern)
{
    open_archive_for_reading();
    while (entry_offset < archive_size) {
        read_entry(true);
        std::snprintf(path_buffer, sizeof path_buffer, "%s%s", entry_dir, entry_name);
        base_name_of_path_buffer();
        if (match_wildcard_name(pattern)) {
            ++listed_count;
            // Control bytes of a stored name are shown as '?'.
            mask_control_bytes(path_buffer);
            std::printf("%s%s\n", path_buffer, solid_flag ? " - solid" : "");
        }
        entry_offset += static_cast<int64_t>(entry_length);
    }
    close_file(read_handle);
}
