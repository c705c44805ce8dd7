#include "engine/piece_context.h"

#include <vector>

#include "engine/block_analyser.h"
#include "engine/entry_state.h"
#include "engine/media_params.h"
#include "engine/piece_types.h"
#include "engine/records.h"
#include "engine/settings.h"

namespace {

// Bytes of the file's header that are sniffed; a whole-file header needs at
// least HEADER_MIN of them.
constexpr uint32_t HEADER_READ = 65536;
constexpr int64_t HEADER_MIN = 128;
// How far before the piece the search for embedded objects starts: an object
// whose header lies further back is not followed into the piece. Objects
// that are followed are passed over unread, so the reach only bounds what
// is read of data where no object is followed.
constexpr int64_t SEARCH_REACH = int64_t(64) << 20;

inline uint32_t u32_at(const uint8_t* b, uint32_t k)
{
    return static_cast<uint32_t>(b[k]) | (static_cast<uint32_t>(b[k + 1]) << 8) |
           (static_cast<uint32_t>(b[k + 2]) << 16) | (static_cast<uint32_t>(b[k + 3]) << 24);
}

inline bool is_space(uint8_t c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }
inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// Offset of the first sample or pixel from the start of the header at b,
// with avail bytes of it at hand; 0 when it cannot be told.
int64_t media_data_offset(const uint8_t* b, uint32_t avail)
{
    if (avail < 18) return 0;
    switch (b[0]) {
    case 'B':
        // BMP: the pixel array's offset is in the file header.
        return u32_at(b, 10);
    case 'R': {
        // WAVE: the samples follow the "data" chunk's id and size.
        int64_t k = 12;
        while (k + 8 <= avail) {
            const uint8_t* c = b + k;
            if (c[0] == 'd' && c[1] == 'a' && c[2] == 't' && c[3] == 'a') return k + 8;
            const int64_t size = u32_at(c, 4);
            k += 8 + size + (size & 1);
        }
        return 0;
    }
    case 'P': {
        // PNM: width, height and maximum value, each after white space or
        // comment lines, then one white space character.
        uint32_t p = 2;
        for (int field = 0; field < 3; ++field) {
            while (p < avail && (is_space(b[p]) || b[p] == '#')) {
                if (b[p] == '#')
                    while (p < avail && b[p] != '\n') ++p;
                else
                    ++p;
            }
            if (p >= avail || !is_digit(b[p])) return 0;
            while (p < avail && is_digit(b[p])) ++p;
        }
        return p + 1;
    }
    case 0:
        // TGA: the fixed header and the image id.
        return 18 + b[0];
    default:
        return 0;
    }
}

// Bytes of a whole sample frame or pixel for data of `kind` with the media
// parameters as the analysis set them: the sample delta of multi-byte
// samples and the colour transform depend on where a run starts. 1 where
// the filters work the same from any byte.
uint32_t frame_bytes(int32_t kind)
{
    if (kind == PIECE_AUDIO) return sample_bytes >= 2 ? uint32_t(sample_bytes) * channel_count : 1;
    if (kind == PIECE_IMAGE) return channel_count == 3 ? 3 : 1;
    return 1;
}

// Bytes from `offset` to the next start of a frame of `frame` bytes counted
// from data_start.
uint32_t lead_to_frame(int64_t offset, int64_t data_start, uint32_t frame)
{
    if (frame <= 1) return 0;
    const int64_t phase = ((offset - data_start) % frame + frame) % frame;
    return static_cast<uint32_t>((frame - phase) % frame);
}

}  // namespace

PieceStart analyse_piece_start(FileHandle file, uint64_t offset, int64_t piece_length)
{
    BlockAnalyser& analyser = block_analyser;
    analyser.file_kind = PIECE_GENERIC;
    analyser.block_kind = PIECE_GENERIC;
    analyser.media_bytes_left = 0;
    const int64_t start = static_cast<int64_t>(offset);
    const int64_t length = file_length(file);
    analyser.bytes_before = start;
    analyser.bytes_after = length > start + piece_length ? length - start - piece_length : 0;

    std::vector<uint8_t> buffer(HEADER_READ);
    const int64_t got = read_file_at(file, buffer.data(), HEADER_READ, 0);
    if (got < HEADER_MIN) return {PIECE_GENERIC, 0};
    const int32_t file_kind = analyser.detect_kind_of_file(buffer.data(), static_cast<int32_t>(got), length);
    int64_t data_start = media_data_offset(buffer.data(), static_cast<uint32_t>(got));
    uint32_t frame = frame_bytes(file_kind);
    if (file_kind == PIECE_AUDIO || file_kind == PIECE_IMAGE)
        return {file_kind, lead_to_frame(start, data_start, frame)};

    // Data that is not one media file: the pieces before this one are passed
    // over as the whole file's analysis classifies them, on a grid of
    // SEGMENT_PIECE bytes from the file's start.
    const int64_t step = SEGMENT_PIECE;
    const int64_t search_from = start > SEARCH_REACH ? (start - SEARCH_REACH) / step * step : 0;
    int64_t at = 0;
    while (at < start) {
        if (at < search_from && analyser.scans_next_piece()) {
            at = search_from;
            continue;
        }
        const uint32_t len = static_cast<uint32_t>(start - at < step ? start - at : step);
        const uint8_t* piece = nullptr;
        if (analyser.scans_next_piece() && len >= MIN_FILTER_BLOCK) {
            if (read_file_at(file, buffer.data(), len, static_cast<uint64_t>(at)) != len) break;
            piece = buffer.data();
        }
        const int32_t found = analyser.pass_piece(piece, len, length - at, length);
        if (found >= 0) {
            data_start = at + found + media_data_offset(piece + found, len - static_cast<uint32_t>(found));
            frame = frame_bytes(analyser.block_kind);
        }
        at += len;
    }
    if (analyser.media_bytes_left <= 0 || analyser.block_kind == PIECE_GENERIC) return {PIECE_GENERIC, 0};
    return {analyser.block_kind, lead_to_frame(start, data_start, frame)};
}

void segment_first_block(FileHandle file, uint64_t offset, uint8_t* block, uint32_t len)
{
    // A worker's entry may hold the first piece of a longer file: its header
    // is judged by the file's length, and objects may reach past the entry.
    const bool cut = task_mode == MODE_WORKER && file_length(file) > input_size;
    if (offset == 0 && !cut) {
        entry_file_kind = block_analyser.analyse_header(block, len);
        segment_block(block, len);
        return;
    }
    const PieceStart piece = analyse_piece_start(file, offset, input_size);
    entry_file_kind = piece.kind;
    if (piece.lead_bytes > 0 && piece.lead_bytes < len) {
        encode_run(block, piece.lead_bytes, PIECE_GENERIC);
        block += piece.lead_bytes;
        len -= piece.lead_bytes;
    }
    segment_block(block, len);
}
