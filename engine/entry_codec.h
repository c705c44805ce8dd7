// The engine's one door for an archive entry. The entry writer, the
// extractor, the tests, the benchmarks and the fuzzers all begin an entry,
// code it block by block and end it through these calls, over the
// process-wide engine state of entry_state.h.
//
// Writing: the caller opens read_handle (the input) and write_handle (the
// archive), sets entry_offset, piece_start and input_size and writes the
// entry's header at entry_offset, entry_length counting its bytes; then
// begin_encoding, encode_block for the piece's blocks in order, finish_entry.
// Reading: the caller sets entry_data_offset and entry_data_end around the
// entry's chunks in read_handle; then begin_decoding, decode_block for the
// piece's blocks in order, end_decoding.
#pragma once
#include <cstdint>

// Starts the entry being written. reset: working memory for block size b
// with fresh models and LZP history; otherwise the entry continues the
// state of the entry before it (a solid run). Starts the range coder and
// both stream buffers; piece_done = 0, entry_file_kind = -1.
void begin_encoding(bool reset, uint32_t b);

// Codes block[0..len), the piece's next len bytes, into the entry's
// streams; piece_done grows by len. The entry's first block is analysed
// knowing where the piece lies in its file (read_handle at piece_start).
void encode_block(uint8_t* block, uint32_t len);

// Ends the entry being written: flushes the range coder and the last
// chunks, prints the final progress line (with -v in one process), writes
// entry_length over the header's zero and closes read_handle and
// write_handle. path only serves the progress line.
void finish_entry(const char* path);

// "compress.. <name> <done> to <written>  " ending in "\n" when final, else
// "\r"; name is cut to its last 32 characters.
void print_progress(const char* name, int64_t done, int64_t written, bool final);

// Starts reading the entry, as begin_encoding started it: reset with block
// size b, or continuing the state left by the entry decoded before, which
// must have had block size b (else the entry is damaged). Primes the range
// decoder; piece_done = 0.
void begin_decoding(bool reset, uint32_t b);

// Restores the piece's next len bytes into block; piece_done grows by len.
void decode_block(uint8_t* block, uint32_t len);

// Both streams must be used up, to the last byte of their last chunks;
// otherwise the entry is damaged.
void end_decoding();

// The engine as a fresh process has it, with working memory for block size
// b: models, LZP history, the entropy level, the media values, the range
// coder, the stream buffers and their read positions, and the entry values.
// Production code continues the entropy level and the media values from
// entry to entry, since the coding of the next entry depends on them; this
// call is for whoever needs an engine that no earlier entry has touched.
void reset_engine(uint32_t b);
