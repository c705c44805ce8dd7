// State of the archive entry being written or read. One entry is open at a
// time in a process. The entry writer and reader of the front end set the
// piece values; the chunk streams keep the offsets and handles.
#pragma once
#include <cstdint>

#include "platform/file_io.h"

// Writing: the input file. Reading: the archive.
extern FileHandle read_handle;
// Writing: the archive or a part file. Reading: the output file.
extern FileHandle write_handle;

extern int64_t entry_offset;      // archive position of the entry's first byte
extern uint64_t entry_length;     // writing: bytes written to the entry so far
extern int64_t entry_data_offset; // reading: position just behind the header
extern int64_t entry_data_end;    // reading: position just behind the entry

extern int64_t input_size;   // bytes of the file piece the entry holds
extern uint64_t piece_start; // offset of the piece in its file
extern uint64_t piece_end;   // offset just past the piece
extern int64_t piece_done;   // bytes of the piece handled before this block

// Kind the first run of an entry starts with: -1 at the entry's start, then
// the kind the header sniffing found.
extern int32_t entry_file_kind;
