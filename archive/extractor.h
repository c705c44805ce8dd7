// Extraction and listing: walking an archive's entries by their lengths,
// decoding the matching ones into the destination, and listing them.
#pragma once
#include <cstdint>

#include "platform/file_io.h"

extern int64_t archive_size;      // size of the archive when it was opened
extern uint8_t entry_write_flag;  // not 0 when the entry being decoded is written (2: a worker may cut the file off at its end)
extern uint32_t listed_count;     // entries printed by list_archive in this run

// 1 when the file name of the stored path dir + name, lower-cased, matches
// the lower-cased pattern: how `x` picks entries. Leaves the stored path in
// path_buffer and its file name in name_buffer.
bool entry_matches_wildcard(const char* dir, const char* name, const char* pattern);

// Extracts the entries whose lower-cased file names match the lower-cased
// pattern into dest_dir. Entries of a solid run are decoded whether they
// match or not, since later entries continue their model state.
void extract_archive(const char* pattern);

// Decodes the entry at entry_offset (read_handle positioned there) into
// dest_dir, writing the file when entry_write_flag is 1. An output that is
// the archive itself, or the file keep_out (a worker's control file), is
// reported as one that cannot be opened and is not written.
void extract_entry(FileHandle keep_out = NO_FILE);

// Prints the stored path of every entry whose file name matches pattern.
void list_archive(const char* pattern);
