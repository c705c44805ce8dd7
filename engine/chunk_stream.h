// The two byte streams of an archive entry and the chunks that carry them.
//
// The raw stream holds bytes stored as they are (record fields, raw
// sub-blocks); the coded stream holds the range coder's output. Each is
// buffered in 64 KiB and goes into the entry as tagged chunks:
//   tag u8 | [count-1 u16 LE, tags 1 and 3 only] | payload
// Tags 0 and 2 carry 65536 bytes, tags 1 and 3 end a stream with 1..65535.
// Full chunks interleave in the order their buffers filled; an entry ends
// with the coded stream's last chunk, then the raw stream's.
#pragma once
#include <cstdint>

#include "engine/entry_state.h"

constexpr uint32_t CHUNK_SIZE = 65536;

enum ChunkTag : uint8_t {
    CHUNK_RAW_FULL = 0,
    CHUNK_RAW_LAST = 1,
    CHUNK_CODED_FULL = 2,
    CHUNK_CODED_LAST = 3,
};

extern uint8_t raw_buffer[CHUNK_SIZE];
extern uint8_t coded_buffer[CHUNK_SIZE];
// Writing: next free byte. Reading: next unread byte.
extern uint8_t* raw_cursor;
extern uint8_t* coded_cursor;
// Reading: end of the valid bytes of the chunk in the buffer.
extern uint8_t* raw_end;
extern uint8_t* coded_end;
// Reading: archive position of the next chunk header each reader examines.
extern int64_t raw_read_pos;
extern int64_t coded_read_pos;

// Sends a full buffer out as a full chunk; only the writers below call them.
void flush_raw_chunk();
void flush_coded_chunk();
// Refill a used-up buffer from the stream's next chunk and return its first
// byte. A chunk that is missing, cut short or runs past the entry's end is
// reported as damage.
uint8_t refill_raw();
uint8_t refill_coded();

// Reading: at the end of an entry both streams must be used up, to the last
// byte of their last chunks; otherwise the entry is damaged.
void check_streams_used_up();

inline void put_raw_byte(uint8_t b)
{
    *raw_cursor++ = b;
    if (raw_cursor == raw_buffer + CHUNK_SIZE) flush_raw_chunk();
}

inline void put_coded_byte(uint8_t b)
{
    *coded_cursor++ = b;
    if (coded_cursor == coded_buffer + CHUNK_SIZE) flush_coded_chunk();
}

// Big-endian: the most significant byte first.
inline void put_raw_u32(uint32_t v)
{
    put_raw_byte(static_cast<uint8_t>(v >> 24));
    put_raw_byte(static_cast<uint8_t>(v >> 16));
    put_raw_byte(static_cast<uint8_t>(v >> 8));
    put_raw_byte(static_cast<uint8_t>(v));
}

inline uint8_t get_raw_byte()
{
    if (raw_cursor < raw_end) return *raw_cursor++;
    return refill_raw();
}

inline uint8_t get_coded_byte()
{
    if (coded_cursor < coded_end) return *coded_cursor++;
    return refill_coded();
}

inline uint32_t get_raw_u32()
{
    uint32_t v = get_raw_byte();
    v = (v << 8) | get_raw_byte();
    v = (v << 8) | get_raw_byte();
    v = (v << 8) | get_raw_byte();
    return v;
}

// Writing: sends what both buffers hold out as the streams' last chunks,
// the coded stream's first, and empties the buffers. The range coder is
// flushed into the coded buffer before.
void flush_last_chunks();
