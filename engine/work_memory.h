// The engine's working memory, sized by the block size B of the entry:
//   block_buffer  B + slack bytes   the block read or restored; filters work here
//   work_buffer   B + slack bytes   LZP output / inverse transform output
//   lzp_ring      4 x B bytes       LZP history ring
//   lzp_table     B / 4 u32         LZP hash table of ring positions
//   sa_workspace  B + slack i32     suffix array, inverse-transform vector, and
//                                   the filters' scratch area (scratch_buffer)
// "slack" is WORK_SLACK plus B / 256: room for the largest LZP output of a
// whole block (n + n / 256 + 1) and for a trailing partial sample.
#pragma once
#include <cstdint>

constexpr uint32_t WORK_SLACK = 0x40000;

extern uint8_t* block_buffer;
extern uint8_t* work_buffer;
extern uint8_t* lzp_ring;
extern uint32_t* lzp_table;
extern int32_t* sa_workspace;
extern uint8_t* scratch_buffer;  // the bytes of sa_workspace

extern uint32_t block_size;      // B of the allocated memory; 0 before any
extern uint32_t work_capacity;   // elements of block_buffer, work_buffer and sa_workspace

extern uint32_t lzp_ring_mask;   // 4 x B - 1
extern uint32_t lzp_table_mask;  // B / 4 - 1
extern uint32_t lzp_pos;         // ring position of the next byte
extern uint64_t lzp_appended;    // bytes appended to the ring since the reset

// Prepares the five buffers for block size b (a power of two from 1 MiB to
// 256 MiB) and resets the bit model and the LZP history: the ring and the
// table read as zeros afterwards, exactly as if freshly allocated. Buffers
// of the same size are reused, and only what the last history touched is
// cleared, so that a reset for every small file stays cheap. Ends the
// process with "No memory \n" when an allocation fails.
void allocate_work_memory(int32_t b);
