// Long-match stage (LZP): a hash of the last seven bytes picks one
// candidate in the history ring; a match against it is coded as the escape
// byte and a varint length. The ring, table and position live in the
// working memory and carry over from call to call.
#pragma once
#include <cstdint>
#include <cstring>

constexpr uint32_t LZP_FNV_PRIME = 16777619u;

// Codes src[0..n) into work_buffer; returns the bytes written there
// (at most n + n / 256 + 1).
uint32_t lzp_encode(const uint8_t* src, uint32_t n);

// Decodes the src_len bytes of long-match data at the start of work_buffer
// into exactly n bytes at dst. Data that would produce more or fewer bytes,
// or read past src_len, is reported as damage.
void lzp_decode(uint8_t* dst, uint32_t n, uint32_t src_len);

// Table slot for the position p, from the seven bytes before it: the four
// at p-7..p-4 spread by the FNV prime, the three at p-3..p-1 mixed in as
// p[-1] * 65536 + p[-2] * 256 + p[-3]. Both builds run on little-endian x86:
// each group is one unaligned load.
inline uint32_t lzp_context_hash(const uint8_t* p, uint32_t table_mask)
{
    uint32_t older, newer;
    std::memcpy(&older, p - 7, 4);
    std::memcpy(&newer, p - 4, 4);
    return ((older * LZP_FNV_PRIME) ^ (newer >> 8)) & table_mask;
}
