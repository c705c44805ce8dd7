#include "engine/chunk_stream.h"

#include "engine/error.h"

uint8_t raw_buffer[CHUNK_SIZE];
uint8_t coded_buffer[CHUNK_SIZE];
uint8_t* raw_cursor = raw_buffer;
uint8_t* coded_cursor = coded_buffer;
uint8_t* raw_end = raw_buffer + CHUNK_SIZE;
uint8_t* coded_end = coded_buffer + CHUNK_SIZE;
int64_t raw_read_pos = 0;
int64_t coded_read_pos = 0;

namespace {

void write_to_entry(const void* data, uint32_t n)
{
    if (!write_file(write_handle, data, n)) fail_archive_write();
    entry_length += n;
}

void write_full_chunk(uint8_t tag, const uint8_t* buffer)
{
    write_to_entry(&tag, 1);
    write_to_entry(buffer, CHUNK_SIZE);
}

void write_last_chunk(uint8_t tag, const uint8_t* buffer, uint32_t n)
{
    const uint8_t head[3] = {tag, static_cast<uint8_t>((n - 1) & 0xFF),
                             static_cast<uint8_t>((n - 1) >> 8)};
    write_to_entry(head, 3);
    write_to_entry(buffer, n);
}

// Finds the next chunk of one stream from *read_pos on, skipping the other
// stream's chunks, and loads its payload into buffer. Returns the payload
// size. Never searches past the entry's end.
uint32_t load_next_chunk(int64_t* read_pos, uint8_t full_tag, uint8_t* buffer)
{
    for (;;) {
        int64_t pos = *read_pos;
        if (pos >= entry_data_end) fail_damaged("a stream ends before its data");
        if (seek_file(read_handle, static_cast<uint64_t>(pos)) != pos)
            fail_damaged("a chunk lies past the archive's end");
        uint8_t head[3];
        if (read_file(read_handle, head, 1) != 1)
            fail_damaged("a chunk lies past the archive's end");
        const uint8_t tag = head[0];
        if (tag > CHUNK_CODED_LAST) fail_damaged("unknown chunk tag");
        pos += 1;
        uint32_t size = CHUNK_SIZE;
        if (tag == CHUNK_RAW_LAST || tag == CHUNK_CODED_LAST) {
            if (read_file(read_handle, head + 1, 2) != 2)
                fail_damaged("a chunk header is cut short");
            size = (static_cast<uint32_t>(head[1]) | (static_cast<uint32_t>(head[2]) << 8)) + 1;
            pos += 2;
        }
        pos += size;
        if (pos > entry_data_end) fail_damaged("a chunk runs past its entry");
        *read_pos = pos;
        if ((tag & 2) == (full_tag & 2)) {
            if (read_file(read_handle, buffer, size) != static_cast<int64_t>(size))
                fail_damaged("a chunk is cut short");
            return size;
        }
    }
}

// True when a chunk of the stream of full_tag starts at or after pos in the
// entry: that stream still holds bytes that were never read.
bool chunk_left(int64_t pos, uint8_t full_tag)
{
    while (pos < entry_data_end) {
        uint8_t head[3] = {};
        if (read_file_at(read_handle, head, 3, static_cast<uint64_t>(pos)) < 1 || head[0] > CHUNK_CODED_LAST)
            return true;
        if ((head[0] & 2) == (full_tag & 2)) return true;
        if (head[0] == CHUNK_RAW_LAST || head[0] == CHUNK_CODED_LAST)
            pos += 3 + ((static_cast<uint32_t>(head[1]) | (static_cast<uint32_t>(head[2]) << 8)) + 1);
        else
            pos += 1 + CHUNK_SIZE;
    }
    return false;
}

}  // namespace

void check_streams_used_up()
{
    if (raw_cursor != raw_end || coded_cursor != coded_end || chunk_left(raw_read_pos, CHUNK_RAW_FULL) ||
        chunk_left(coded_read_pos, CHUNK_CODED_FULL))
        fail_damaged("an entry holds data that its pieces never use");
}

void flush_raw_chunk()
{
    write_full_chunk(CHUNK_RAW_FULL, raw_buffer);
    raw_cursor = raw_buffer;
}

void flush_coded_chunk()
{
    write_full_chunk(CHUNK_CODED_FULL, coded_buffer);
    coded_cursor = coded_buffer;
}

uint8_t refill_raw()
{
    raw_end = raw_buffer + load_next_chunk(&raw_read_pos, CHUNK_RAW_FULL, raw_buffer);
    raw_cursor = raw_buffer + 1;
    return raw_buffer[0];
}

uint8_t refill_coded()
{
    coded_end = coded_buffer + load_next_chunk(&coded_read_pos, CHUNK_CODED_FULL, coded_buffer);
    coded_cursor = coded_buffer + 1;
    return coded_buffer[0];
}

void flush_last_chunks()
{
    const uint32_t coded_n = static_cast<uint32_t>(coded_cursor - coded_buffer);
    const uint32_t raw_n = static_cast<uint32_t>(raw_cursor - raw_buffer);
    if (coded_n > 0) write_last_chunk(CHUNK_CODED_LAST, coded_buffer, coded_n);
    if (raw_n > 0) write_last_chunk(CHUNK_RAW_LAST, raw_buffer, raw_n);
    coded_cursor = coded_buffer;
    raw_cursor = raw_buffer;
}
