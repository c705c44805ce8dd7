// Block analysis: sniffs a file header at the start of each entry, follows
// media objects embedded in other data, and classifies every piece of every
// block as generic, stride, DNA, audio or image data.
#pragma once
#include <cstdint>

#include "engine/piece_types.h"

struct BlockAnalyser {
    int32_t file_kind;         // kind of the whole entry from its header
    int32_t block_kind;        // kind of the object followed
    int32_t media_bytes_left;  // > 0 following, 0 searching, < 0 ended
    // Where the entry lies in its file: the file's bytes before and after
    // it. An embedded object found in the entry may reach past the entry's
    // end to the file's. Both 0 for an entry that starts its file, which is
    // judged by its own length alone.
    int64_t bytes_before;
    int64_t bytes_after;

    // Resets the state for a new entry and sniffs its first block.
    int32_t analyse_header(const uint8_t* header, uint32_t len);
    // Kind of the entry from the header at its start; len is at least 128
    // (a shorter block gives PIECE_GENERIC).
    int32_t detect_file_kind(const uint8_t* header, int32_t len);
    // detect_file_kind for the header of a file of file_length bytes, of
    // which the entry may hold only a piece.
    int32_t detect_kind_of_file(const uint8_t* header, int32_t len, int64_t file_length);
    // Piece type of the next piece of the entry, in file order.
    int32_t classify_piece(uint8_t* piece, uint32_t len);
    // Moves the state over a piece of the file that lies before the entry,
    // as classify_piece would: only the header scan changes the state, so the
    // content analysis is left out. bytes_left counts from the piece's start
    // to the file's end. piece may be null when scans_next_piece is false.
    // Returns the position in the piece of the header of an object found
    // there, or -1.
    int32_t pass_piece(const uint8_t* piece, uint32_t len, int64_t bytes_left, int64_t file_length);
    // True when the next piece of at least MIN_FILTER_BLOCK bytes is scanned
    // for an embedded header.
    bool scans_next_piece() const;
    // Lag index 0..4 into STRIDE_TABLE, or -1.
    int32_t detect_sample_stride(const uint8_t* data, uint32_t len);
};

extern BlockAnalyser block_analyser;

void block_analyser_construct(BlockAnalyser* analyser);
void block_analyser_destroy(BlockAnalyser* analyser);

// Width x height of a PNM header at `header` with n bytes available; sets
// image_width and image_height.
int64_t parse_pnm_size(const uint8_t* header, int32_t n);
