// The engine's one door for an archive entry, for the entry writer, the
// extractor, the tests, the benchmarks and the fuzzers alike.
// Writing: the caller opens read_handle (the input) and write_handle (the
// archive), sets piece_start and input_size and writes the header at
// entry_offset, entry_length counting its bytes; then begin_encoding,
// encode_block for each block of the piece in order, finish_entry.
// Reading: the caller sets entry_data_offset and entry_data_end around the
// entry's chunks in read_handle; then begin_decoding, decode_block for each
// block in order, end_decoding.
#pragma once
#include <cstddef>
#include <cstdint>

// Once at the start of a process, before any entry: the block analysis and
// the codon trie.
void start_engine();

// reset: working memory for block size b with fresh models and LZP
// history; otherwise the entry continues the state of the entry before it
// (a solid run). Starts the range coder and both stream buffers.
void begin_encoding(bool reset, uint32_t b);

// Codes the piece's next len bytes, at block, into the entry's streams;
// piece_done grows by len. The first block is analysed knowing where the
// piece lies in its file (read_handle at piece_start).
void encode_block(uint8_t* block, uint32_t len);

// Ends the entry being written: flushes the range coder and the last
// chunks, prints the final progress line (with -v in one process), writes
// entry_length over the header's zero and closes read_handle and
// write_handle. path only serves the progress line.
void finish_entry(const char* path);

// "compress.. <name> <done> to <written>  " ending in "\n" when final, else
// "\r"; name is cut to its last 32 characters.
void print_progress(const char* name, int64_t done, int64_t written, bool final);

// As begin_encoding; an entry that continues the state of one with another
// block size is damaged. Primes the range decoder.
void begin_decoding(bool reset, uint32_t b);

// Restores the piece's next len bytes into block; piece_done grows by len.
void decode_block(uint8_t* block, uint32_t len);

// Both streams must be used up, to the last byte of their last chunks;
// otherwise the entry is damaged.
void end_decoding();

// Bare entries, whose header is only the 8-byte length, each in a file of
// its own, for tests, benchmarks and fuzzers: begin_bare_entry creates one
// and begins its encoding with the models as they are; the other opens one
// and begins the decoding of all its chunks.
void begin_bare_entry(const char* path);
void begin_reading_bare_entry(const char* path);

// A whole bare entry at once, the way the entry writer and the extractor
// code a piece: size bytes in blocks of b bytes. The encoding starts from the
// models as they are and ends the entry; the decoding (into out, or nowhere
// when out is null) checks the streams are used up and closes read_handle.
// Working memory for block size b is the caller's.
void encode_bare_entry(const char* path, const uint8_t* data, size_t size, uint32_t b);
void decode_bare_entry(const char* path, uint8_t* out, size_t size, uint32_t b);

// The engine as a fresh process has it, with working memory for block size
// b: models, LZP history, entropy level, media values, block analysis and
// entry values. The program never calls it: the coding of an entry depends
// on the entropy level and the media values that the entries before left.
void reset_engine(uint32_t b);
