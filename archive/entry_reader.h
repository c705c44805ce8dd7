// Reading an archive's layout without decoding it: entry headers, their
// lengths, the chunks of each entry and the pieces of each stored file.
// Extraction, listing and the check `a` makes before it appends share these
// so that every reader judges an archive alike.
#pragma once
#include <cstdint>
#include <map>
#include <string>

#include "platform/file_io.h"

// Opens the archive at path for reading and names it in damage reports;
// one that cannot be opened as a regular file raises a Failure with
// "Error: cannot open Archive file <path>".
FileHandle open_archive_file(const char* path);

// Size of the fixed fields of a header; the name and dir fields come on top.
constexpr uint32_t ENTRY_HEADER_FIXED = 34;

// The header of an entry, laid out as entry_writer.h describes.
struct EntryHeader {
    uint64_t length = 0;       // whole entry, header included
    uint8_t solid = 0;         // 1: written with -s
    uint8_t reset = 0;         // 1: models start afresh with this entry
    char name[PATH_LIMIT + 1] = {};
    char dir[PATH_LIMIT + 1] = {};
    int64_t piece_length = 0;  // file bytes the entry holds
    uint64_t piece_offset = 0; // offset of its first byte in the file
    uint32_t block_size = 0;
    uint32_t header_size = 0;  // bytes from the entry's start to its first chunk
};

// Reads the header of the entry at offset in h. Returns nullptr, or what is
// wrong with its fields (a field cut short, a name out of range or not
// terminated, a stored path too long, flags other than 0 or 1, a block size
// other than a power of two from 1 MiB to 256 MiB). The length is not judged.
const char* read_entry_header(FileHandle h, int64_t offset, EntryHeader* header);

// Judges the entry length against the header and the archive's size:
// nullptr, or what is wrong.
const char* check_entry_length(const EntryHeader& header, int64_t offset, int64_t archive_size);

// Walks the chunk headers of the entry's data [data_start, data_end): full
// chunks of either stream, then at most the coded stream's last chunk, then
// at most the raw stream's, ending exactly at data_end. nullptr, or what is
// wrong.
const char* check_entry_chunks(FileHandle h, int64_t data_start, int64_t data_end);

// Bytes that the pieces of each stored path (directory and name) hold
// together, over the entries whose headers parse.
using PieceTotals = std::map<std::string, uint64_t>;
PieceTotals tally_pieces(FileHandle h, int64_t archive_size);

// Reads and judges the entry at offset of the archive h of archive_size bytes
// into *header: its fields, its length, its chunk list; an entry that is not
// solid must start its models afresh; and its piece must lie within the
// bytes that the pieces of its stored path hold together, so that no piece
// can grow a file past what the archive holds. Damage raises the one damage
// Failure.
void check_entry(FileHandle h, int64_t offset, int64_t archive_size, const PieceTotals& totals,
                 EntryHeader* header);
