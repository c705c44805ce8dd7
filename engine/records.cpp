#include "engine/records.h"

#include <divsufsort.h>

#include "engine/bit_model.h"
#include "engine/block_analyser.h"
#include "engine/block_decoder.h"
#include "engine/chunk_stream.h"
#include "engine/dna_codons.h"
#include "engine/entropy.h"
#include "engine/entry_state.h"
#include "engine/error.h"
#include "engine/lzp.h"
#include "engine/media_params.h"
#include "engine/piece_types.h"
#include "engine/range_coder.h"
#include "engine/sample_filters.h"
#include "engine/size_estimator.h"
#include "engine/work_memory.h"
#include "engine/x86_filter.h"

uint8_t x86_flag = 0;
uint8_t dna_packed_flag = 0;

namespace {

// Burrows-Wheeler transform of data[0..n) in place; returns the primary
// index. A failure of the transform (out of memory inside it) ends the run
// with the entry cut off.
uint32_t transform_in_place(uint8_t* data, uint32_t n)
{
    const saidx_t index = divbwt(data, data, sa_workspace, static_cast<saidx_t>(n));
    if (index < 0) fail_encoding("the block transform failed");
    return static_cast<uint32_t>(index);
}

// LZP, the transform and the bit model over a run: the tail shared by the
// generic, stride and image records.
void encode_long_match_payload(const uint8_t* run, uint32_t len)
{
    const uint32_t lzp_length = lzp_encode(run, len);
    put_raw_u32(lzp_length);
    put_raw_u32(transform_in_place(work_buffer, lzp_length));
    cm_encode(work_buffer, static_cast<int32_t>(lzp_length));
}

// record_length of a record being decoded: 1 up to the bytes left in the block.
uint32_t read_record_length(uint32_t room)
{
    const uint32_t length = get_raw_u32();
    if (length == 0 || length > room) fail_damaged("a record does not fit its block");
    return length;
}

// Bytes from dst to the end of block_buffer's capacity.
uint32_t capacity_at(const uint8_t* dst)
{
    return work_capacity - static_cast<uint32_t>(dst - block_buffer);
}

// The shared tail of the generic, stride and image decoders: lzp_length and
// bwt_index, the bit model and the inverse transform, then LZP back into dst.
void decode_long_match_payload(uint8_t* dst, uint32_t record_length)
{
    const uint32_t lzp_length = get_raw_u32();
    const uint32_t index = get_raw_u32();
    // The encoder's LZP output is at most n + n / 256 + 1 bytes; it is
    // decoded in place at dst before the LZP stage rewrites dst.
    if (lzp_length == 0 || lzp_length > record_length + record_length / 256 + 1 ||
        lzp_length > capacity_at(dst))
        fail_damaged("a long-match length is out of range");
    cm_decode_to_work(dst, static_cast<int32_t>(lzp_length), static_cast<int32_t>(index));
    lzp_decode(dst, record_length, lzp_length);
}

void read_delta_params()
{
    sample_bytes = get_raw_byte();
    channel_count = get_raw_byte();
    if (!delta_params_valid(sample_bytes, channel_count))
        fail_damaged("a sample width or channel count is out of range");
}

}  // namespace

void segment_block(uint8_t* block, uint32_t len)
{
    if (len == 0) return;
    uint32_t run_start = 0;
    uint32_t run_length = 0;
    int32_t run_type = entry_file_kind;
    uint32_t pos = 0;
    uint32_t piece = len < SEGMENT_FIRST_PIECE ? len : SEGMENT_FIRST_PIECE;
    while (pos < len) {
        const int32_t type = block_analyser.classify_piece(block + pos, piece);
        if (type == run_type) {
            run_length += piece;
        } else {
            if (run_length != 0) encode_run(block + run_start, run_length, run_type);
            run_start = pos;
            run_length = piece;
            run_type = type;
        }
        pos += piece;
        piece = len - pos < SEGMENT_PIECE ? len - pos : SEGMENT_PIECE;
    }
    if (run_length != 0) encode_run(block + run_start, run_length, run_type);
}

void encode_run(uint8_t* run, uint32_t len, int32_t type)
{
    if (type == PIECE_AUDIO && channel_count >= 1 && channel_count <= 8 && sample_bytes >= 1 &&
        sample_bytes <= 4) {
        put_raw_byte(RECORD_AUDIO);
        encode_audio_record(run, static_cast<int32_t>(len));
    } else if (type == PIECE_IMAGE && image_width >= 1 && image_width <= 65535) {
        put_raw_byte(RECORD_IMAGE);
        encode_image_record(run, static_cast<int32_t>(len));
    } else if (type == PIECE_DNA) {
        put_raw_byte(RECORD_DNA);
        encode_dna_record(run, len);
    } else if (type >= PIECE_STRIDE && type <= PIECE_STRIDE + 4) {
        put_raw_byte(RECORD_STRIDE);
        encode_stride_record_bare(run, len, STRIDE_TABLE[type - PIECE_STRIDE]);
    } else {
        put_raw_byte(RECORD_GENERIC);
        encode_generic_record(run, len);
    }
}

void encode_generic_record(uint8_t* run, uint32_t len)
{
    put_raw_u32(len);
    const bool machine_code = measure_piece_entropy(run, len) == 1;
    range_encode_direct_bit(machine_code);
    if (machine_code) x86_encode_buffer(run, len);
    encode_long_match_payload(run, len);
}

void encode_stride_record_bare(uint8_t* run, uint32_t len, int32_t stride)
{
    put_raw_u32(len);
    put_raw_byte(static_cast<uint8_t>(stride));
    if (len >= MIN_FILTER_BLOCK) stride_delta_encode(run, len, static_cast<uint32_t>(stride));
    encode_long_match_payload(run, len);
}

void encode_dna_record(uint8_t* run, uint32_t len)
{
    put_raw_u32(len);
    const uint32_t packed_length = len >= MIN_FILTER_BLOCK ? dna_pack(run, len) : 0;
    range_encode_direct_bit(packed_length > 0);
    if (packed_length > 0) put_raw_u32(packed_length);
    const uint32_t payload = packed_length > 0 ? packed_length : len;
    put_raw_u32(transform_in_place(run, payload));
    cm_encode(run, static_cast<int32_t>(payload));
}

void encode_audio_record(uint8_t* run, int32_t len)
{
    const uint32_t n = static_cast<uint32_t>(len);
    put_raw_u32(n);
    delta_encode(run, n);
    delta_encode(run, n);
    if (sample_bytes == 2)
        channels16_decorrelate(reinterpret_cast<uint16_t*>(run), len / 2, channel_count);
    put_raw_byte(sample_bytes);
    put_raw_byte(channel_count);
    put_raw_u32(transform_in_place(run, n));
    cm_encode(run, len);
}

void encode_image_record(uint8_t* run, int32_t len)
{
    const uint32_t n = static_cast<uint32_t>(len);
    const int32_t filter = choose_image_filter(run, len, 1);
    put_raw_u32(n);
    range_encode_direct_bit((filter >> 1) & 1);
    range_encode_direct_bit(filter & 1);
    if (filter == 1) {
        put_raw_byte(sample_bytes);
        put_raw_byte(channel_count);
        delta_encode(run, n);
    } else if (filter == 2) {
        rgb_decorrelate(run, len);
    }
    encode_long_match_payload(run, n);
}

uint32_t decode_generic_record(uint8_t* dst, uint32_t room)
{
    const uint32_t record_length = read_record_length(room);
    x86_flag = static_cast<uint8_t>(range_decode_direct_bit());
    decode_long_match_payload(dst, record_length);
    if (x86_flag) x86_decode_buffer(dst, record_length);
    return record_length;
}

uint32_t decode_stride_record_bare(uint8_t* dst, uint32_t room)
{
    const uint32_t record_length = read_record_length(room);
    const uint8_t stride = get_raw_byte();
    if (stride != 1 && stride != 2 && stride != 3 && stride != 4 && stride != 8)
        fail_damaged("a stride is out of range");
    decode_long_match_payload(dst, record_length);
    if (record_length >= MIN_FILTER_BLOCK) stride_delta_decode(dst, record_length, stride);
    return record_length;
}

uint32_t decode_dna_record(uint8_t* dst, uint32_t room)
{
    const uint32_t record_length = read_record_length(room);
    dna_packed_flag = static_cast<uint8_t>(range_decode_direct_bit());
    uint32_t payload = record_length;
    if (dna_packed_flag) {
        payload = get_raw_u32();
        if (payload == 0 || payload > record_length) fail_damaged("a packed length is out of range");
    }
    const uint32_t index = get_raw_u32();
    cm_decode_to_output(dst, static_cast<int32_t>(payload), static_cast<int32_t>(index));
    if (dna_packed_flag) dna_unpack(dst, record_length, payload);
    return record_length;
}

uint32_t decode_audio_record(uint8_t* dst, uint32_t room)
{
    const uint32_t record_length = read_record_length(room);
    read_delta_params();
    const uint32_t index = get_raw_u32();
    cm_decode_to_output(dst, static_cast<int32_t>(record_length), static_cast<int32_t>(index));
    if (sample_bytes == 2)
        channels16_restore(reinterpret_cast<uint16_t*>(dst), static_cast<int32_t>(record_length / 2),
                           channel_count);
    delta_decode(dst, record_length);
    delta_decode(dst, record_length);
    return record_length;
}

uint32_t decode_image_record(uint8_t* dst, uint32_t room)
{
    const uint32_t record_length = read_record_length(room);
    const int a = range_decode_direct_bit();
    const int b = range_decode_direct_bit();
    const int filter = 2 * a + b;
    if (filter == 1) read_delta_params();
    decode_long_match_payload(dst, record_length);
    if (filter == 1)
        delta_decode(dst, record_length);
    else if (filter == 2)
        rgb_restore(dst, static_cast<int32_t>(record_length));
    return record_length;
}

void decode_block_records(uint8_t* block, uint32_t block_bytes)
{
    uint32_t pos = 0;
    do {
        uint8_t* dst = block + pos;
        const uint32_t room = block_bytes - pos;
        switch (get_raw_byte()) {
        case RECORD_GENERIC: pos += decode_generic_record(dst, room); break;
        case RECORD_STRIDE: pos += decode_stride_record_bare(dst, room); break;
        case RECORD_DNA: pos += decode_dna_record(dst, room); break;
        case RECORD_AUDIO: pos += decode_audio_record(dst, room); break;
        case RECORD_IMAGE: pos += decode_image_record(dst, room); break;
        default: fail_damaged("unknown record type");
        }
    } while (pos < block_bytes);
}
