// The context that an entry holding a piece from the middle of a file takes
// from the bytes before the piece. The file's own header tells whether the
// whole file is audio or image data and with what samples or pixels; the
// bytes shortly before the piece tell whether it starts inside an audio or
// image object embedded in other data. The piece is then analysed as the
// whole file's analysis would be at that point, and its records start on a
// whole sample or pixel. Every filter parameter is in the records, so only
// the encoder reads these bytes.
#pragma once
#include <cstdint>

#include "platform/file_io.h"

struct PieceStart {
    int32_t kind;         // type of the data at the piece's first byte
    uint32_t lead_bytes;  // bytes before the piece's first whole sample or pixel
};

// Sets block_analyser and the media parameters for an entry of piece_length
// bytes from byte `offset` of the file open as `file`, as the analysis of
// the file from its start would have them at that byte.
PieceStart analyse_piece_start(FileHandle file, uint64_t offset, int64_t piece_length);

// Analyses an entry's first block, which holds the bytes from `offset` of
// the file open as `file`, sets entry_file_kind and writes the block's
// records. An entry that holds its whole file is sniffed from the block
// alone; a piece of a longer file is analysed by analyse_piece_start, and
// its lead bytes, when there are any, go into a record of their own.
void segment_first_block(FileHandle file, uint64_t offset, uint8_t* block, uint32_t len);
