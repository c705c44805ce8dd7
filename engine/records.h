// Records: a block is cut into pieces, the pieces are classified, runs of
// one type become typed records in the entry's streams, and records turn
// back into the block.
//
// Every record starts with its type byte in the raw stream, then its fields
// (u32 big-endian, single bytes), its direct bits in the coded stream and
// last its payload through the bit model:
//   0 generic  record_length, lzp_length, bwt_index        | x86 bit
//   1 stride   record_length, stride, lzp_length, bwt_index |
//   2 DNA      record_length, [packed_length], bwt_index    | packed bit
//   3 audio    record_length, sample_bytes, channel_count, bwt_index
//   4 image    record_length, [sample_bytes, channel_count], lzp_length,
//              bwt_index                                    | filter bits
#pragma once
#include <cstdint>

enum RecordType : uint8_t {
    RECORD_GENERIC = 0,
    RECORD_STRIDE = 1,
    RECORD_DNA = 2,
    RECORD_AUDIO = 3,
    RECORD_IMAGE = 4,
};

constexpr uint32_t SEGMENT_FIRST_PIECE = 16384;
constexpr uint32_t SEGMENT_PIECE = 65536;

// Direct bits of the generic and DNA record being decoded.
extern uint8_t x86_flag;
extern uint8_t dna_packed_flag;

// Classifies the pieces of block[0..len), merges runs of one type and
// writes each run as a record.
void segment_block(uint8_t* block, uint32_t len);

// Writes one run as the record its type and the media parameters call for.
void encode_run(uint8_t* run, uint32_t len, int32_t type);

void encode_generic_record(uint8_t* run, uint32_t len);
void encode_stride_record_bare(uint8_t* run, uint32_t len, int32_t stride);
void encode_dna_record(uint8_t* run, uint32_t len);
void encode_audio_record(uint8_t* run, int32_t len);
void encode_image_record(uint8_t* run, int32_t len);

// Each decoder is called after the type byte was read. It reads its record
// from both streams and restores record_length bytes at dst, which lies in
// block_buffer with `room` bytes of the block left; it returns
// record_length. A record that cannot come from the encoder (a length of 0
// or past the block, a field out of range) is reported as damage before
// anything is written outside the block.
uint32_t decode_generic_record(uint8_t* dst, uint32_t room);
uint32_t decode_stride_record_bare(uint8_t* dst, uint32_t room);
uint32_t decode_dna_record(uint8_t* dst, uint32_t room);
uint32_t decode_audio_record(uint8_t* dst, uint32_t room);
uint32_t decode_image_record(uint8_t* dst, uint32_t room);

// Decodes records into block[0..block_bytes) until their lengths add up to
// the block: reads each type byte and calls its decoder.
void decode_block_records(uint8_t* block, uint32_t block_bytes);
