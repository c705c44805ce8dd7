#include "engine/range_coder.h"

uint64_t rc_low = 0;
uint32_t rc_range = 0xFFFFFFFFu;
uint8_t rc_cache = 0;
uint32_t rc_cache_size = 1;
uint32_t rc_code = 0;

void range_encoder_start()
{
    rc_low = 0;
    rc_range = 0xFFFFFFFFu;
    rc_cache = 0;
    rc_cache_size = 1;
    raw_cursor = raw_buffer;
    coded_cursor = coded_buffer;
}

void range_decoder_prime()
{
    rc_code = 0;
    for (int i = 0; i < 5; ++i) rc_code = (rc_code << 8) + get_coded_byte();
}

void range_decoder_start()
{
    raw_read_pos = coded_read_pos = entry_data_offset;
    raw_cursor = raw_end = raw_buffer + CHUNK_SIZE;
    coded_cursor = coded_end = coded_buffer + CHUNK_SIZE;
    piece_done = 0;
    range_decoder_prime();
    rc_range = 0xFFFFFFFFu;
}
