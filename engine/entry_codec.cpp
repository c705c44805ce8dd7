#include "engine/entry_codec.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/block_analyser.h"
#include "engine/dna_codons.h"
#include "engine/entropy.h"
#include "engine/entry_state.h"
#include "engine/error.h"
#include "engine/media_params.h"
#include "engine/piece_context.h"
#include "engine/range_coder.h"
#include "engine/records.h"
#include "engine/settings.h"
#include "engine/work_memory.h"

void start_engine()
{
    block_analyser_construct(&block_analyser);
    dna_build_trie();
}

void begin_encoding(bool reset, uint32_t b)
{
    if (reset) allocate_work_memory(static_cast<int32_t>(b));
    range_encoder_start();
    piece_done = 0;
    entry_file_kind = -1;
}

void encode_block(uint8_t* block, uint32_t len)
{
    if (entry_file_kind == -1)
        segment_first_block(read_handle, piece_start, block, len);
    else
        segment_block(block, len);
    piece_done += len;
}

void print_progress(const char* name, int64_t done, int64_t written, bool final)
{
    const size_t len = std::strlen(name);
    const char* shown = len > 32 ? name + (len - 32) : name;
    std::printf("compress.. %s %" PRId64 " to %" PRId64 "  %s", shown, done, written,
                final ? "\n" : "\r");
    std::fflush(stdout);
}

void finish_entry(const char* path)
{
    // Five shifts send out rc_low and every byte held back before it.
    for (int i = 0; i < 5; ++i) range_encoder_shift_low();
    flush_last_chunks();

    if (verbose && task_mode == MODE_SINGLE)
        print_progress(path, input_size, static_cast<int64_t>(entry_length), true);

    uint8_t length_bytes[8];
    for (int i = 0; i < 8; ++i) length_bytes[i] = static_cast<uint8_t>(entry_length >> (8 * i));
    if (seek_file(write_handle, static_cast<uint64_t>(entry_offset)) != entry_offset ||
        !write_file(write_handle, length_bytes, 8))
        fail_archive_write();

    close_file(read_handle);
    close_file(write_handle);
}

void begin_decoding(bool reset, uint32_t b)
{
    if (reset)
        allocate_work_memory(static_cast<int32_t>(b));
    else if (block_size != b)
        fail_damaged("an entry continues a solid run that was not decoded before it");
    range_decoder_start();
}

void decode_block(uint8_t* block, uint32_t len)
{
    decode_block_records(block, len);
    piece_done += len;
}

void end_decoding() { check_streams_used_up(); }

void begin_bare_entry(const char* path)
{
    write_handle = open_file(path, FILE_READ_WRITE, CREATE_OR_TRUNCATE);
    const uint8_t length[8] = {};
    if (write_handle == NO_FILE || !write_file(write_handle, length, 8)) fail_archive_write();
    entry_offset = 0;
    entry_length = 8;
    piece_start = 0;
    begin_encoding(false, 0);
}

void begin_reading_bare_entry(const char* path)
{
    read_handle = open_file(path, FILE_READ, OPEN_EXISTING_FILE);
    if (read_handle == NO_FILE) fail_with_line(std::string("Error: cannot open ") + path + "\n");
    entry_data_offset = 8;
    entry_data_end = file_length(read_handle);
    begin_decoding(false, block_size);
}

void encode_bare_entry(const char* path, const uint8_t* data, size_t size, uint32_t b)
{
    begin_bare_entry(path);
    input_size = static_cast<int64_t>(size);
    for (size_t done = 0; done < size; done += b) {
        const uint32_t n = static_cast<uint32_t>(size - done < b ? size - done : b);
        std::memcpy(block_buffer, data + done, n);
        encode_block(block_buffer, n);
    }
    finish_entry(path);
}

void decode_bare_entry(const char* path, uint8_t* out, size_t size, uint32_t b)
{
    begin_reading_bare_entry(path);
    for (size_t done = 0; done < size; done += b) {
        const uint32_t n = static_cast<uint32_t>(size - done < b ? size - done : b);
        decode_block(block_buffer, n);
        if (out != nullptr) std::memcpy(out + done, block_buffer, n);
    }
    end_decoding();
    close_file(read_handle);
}

void reset_engine(uint32_t b)
{
    // The coder, the streams and their read positions need no reset here:
    // begin_encoding and begin_decoding start them for every entry.
    allocate_work_memory(static_cast<int32_t>(b));
    entropy_level = 0;
    sample_bytes = 1;
    channel_count = 0;
    image_width = image_height = 0;
    block_analyser_construct(&block_analyser);
    entry_offset = entry_data_offset = 0;
    entry_data_end = INT64_MAX;
    entry_length = 0;
    input_size = 0;
    piece_start = piece_end = 0;
}
