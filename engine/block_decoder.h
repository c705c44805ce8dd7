// Decoding side of the bit model joined to the inverse Burrows-Wheeler
// transform. Both read the record's sub-blocks (a direct bit each, then raw
// or modelled bytes) and invert the transform; they differ in where the
// decoded bytes and the result go.
//
// A length that is negative or beyond work_capacity, an index outside
// 1..length (or non-zero for length 0), a place in the block buffer without
// room for the record and a transform whose walk breaks off before length
// bytes are reported as damage (fail_damaged). Nothing is read or written
// outside the buffers; a damaged transform that still leads through all the
// bytes comes out as a damaged block.
#pragma once
#include <cstdint>

// Decodes length transformed bytes into dst, then writes their inverse
// transform (primary index `index`) into work_buffer[0..length).
void cm_decode_to_work(uint8_t* dst, int32_t length, int32_t index);

// Decodes length transformed bytes into work_buffer, then writes their
// inverse transform into dst[0..length).
void cm_decode_to_output(uint8_t* dst, int32_t length, int32_t index);

// The two halves on their own.
//
// Undoes cm_encode: decodes length bytes into out and adds the number of
// times each byte value occurs to counts[0..256).
void cm_decode_bytes(uint8_t* out, int32_t length, uint32_t counts[256]);

// Inverts the transform of x[0..length) (counts as cm_decode_bytes gives
// them) into out[0..length), using sa_workspace for its table.
void inverse_bwt(const uint8_t* x, uint8_t* out, int32_t length, int32_t index,
                 const uint32_t counts[256]);
