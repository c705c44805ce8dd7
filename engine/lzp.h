// Long-match stage (LZP): a hash of the last seven bytes picks one
// candidate in the history ring; a match against it is coded as the escape
// byte and a varint length. The ring, table and position live in the
// working memory and carry over from call to call.
#pragma once
#include <cstdint>

// Codes src[0..n) into work_buffer; returns the bytes written there
// (at most n + n / 256 + 1).
uint32_t lzp_encode(const uint8_t* src, uint32_t n);

// Decodes the src_len bytes of long-match data at the start of work_buffer
// into exactly n bytes at dst. Data that would produce more or fewer bytes,
// or read past src_len, is reported as damage.
void lzp_decode(uint8_t* dst, uint32_t n, uint32_t src_len);
