#include "engine/entry_state.h"

FileHandle read_handle = NO_FILE;
FileHandle write_handle = NO_FILE;

int64_t entry_offset = 0;
uint64_t entry_length = 0;
int64_t entry_data_offset = 0;
int64_t entry_data_end = INT64_MAX;

int64_t input_size = 0;
uint64_t piece_start = 0;
uint64_t piece_end = 0;
int64_t piece_done = 0;
int32_t entry_file_kind = -1;
