// Archive entries and the entry writer.
//
// An archive is entries back to back from offset 0, with no archive header.
// EntryHeader, little-endian, no gaps:
//   0  u64 entry_length   whole entry; written as 0, patched when it ends
//   8  u8  solid          1 with -s
//   9  u8  model_reset    1 when models and memory were reset for this entry
//   10 u16 name_size      strlen(name) + 1, then name and its zero byte
//      u16 dir_size       strlen(dir) + 1, then dir and its zero byte
//      i64 piece_length   file bytes the entry holds
//      u64 piece_offset   offset of its first byte in the file
//      u32 block_size     block size of every block of the entry
// then the entry's chunks.
#pragma once
#include <cstdint>

extern uint8_t entry_reset_flag;  // model_reset of the entry being written or read
extern uint8_t solid_open;        // 1 once this process reset its models for a solid run
extern int64_t block_bytes;       // length of the block being read or restored

// Writes bytes [piece_start, piece_end) of the file at path as one entry at
// the end of the archive at archive_path, with name and dir in its header.
// An input file that cannot be opened is reported and skipped; an archive
// that can be neither opened nor created raises a Failure. On any Failure the
// unfinished entry is cut off before the Failure goes on to the caller.
void compress_range_to_entry(char* path, char* name, char* dir);

// Makes ready the archive at archive_path for appending, before anything is
// added: walks its entries by their headers, with the archive locked against
// another run's writing. A last entry whose length is still 0 was cut off by
// an interruption: the archive is cut back to where it starts, with a line
// saying so. A file whose first header does not parse, or whose entries do
// not end exactly at its end, is not an archive: a Failure, the file
// untouched. A missing or empty file is an empty archive.
void prepare_archive_for_append();
