#include "archive/entry_reader.h"

#include <cstring>

#include "engine/chunk_stream.h"
#include "engine/error.h"

namespace {

// Reads n bytes at *pos and moves *pos past them; false when cut short.
bool read_at(FileHandle h, int64_t* pos, void* out, uint32_t n)
{
    if (read_file_at(h, out, n, static_cast<uint64_t>(*pos)) != static_cast<int64_t>(n)) return false;
    *pos += n;
    return true;
}

// The bytes of one entry header, read with one call: an archive of
// thousands of small entries is walked header by header before anything is
// extracted, and a read per field made that walk cost more than the work.
struct HeaderBytes {
    uint8_t bytes[ENTRY_HEADER_FIXED + 2 * (PATH_LIMIT + 1)];
    uint32_t size = 0;  // bytes read: fewer where the archive ends
    uint32_t pos = 0;   // the next field's place

    HeaderBytes(FileHandle h, int64_t offset)
    {
        const int64_t got = read_file_at(h, bytes, sizeof bytes, static_cast<uint64_t>(offset));
        size = got > 0 ? static_cast<uint32_t>(got) : 0;
    }
    // Copies the next n bytes to out; false when the header is cut short.
    bool take(void* out, uint32_t n)
    {
        if (n > size - pos) return false;
        std::memcpy(out, bytes + pos, n);
        pos += n;
        return true;
    }
    bool take_le(int n, uint64_t* value)
    {
        uint8_t b[8];
        if (!take(b, static_cast<uint32_t>(n))) return false;
        uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[i];
        *value = v;
        return true;
    }
};

// A zero-terminated text field: u16 size (terminator included), then the bytes.
const char* read_text_field(HeaderBytes& in, char* out, uint32_t* size)
{
    uint64_t n = 0;
    if (!in.take_le(2, &n)) return "an entry header is cut short";
    if (n == 0 || n > PATH_LIMIT + 1) return "a name in an entry header is out of range";
    if (!in.take(out, static_cast<uint32_t>(n))) return "an entry header is cut short";
    if (out[n - 1] != 0 || std::strlen(out) != n - 1) return "a name in an entry header is not terminated";
    *size = static_cast<uint32_t>(n);
    return nullptr;
}

}  // namespace

FileHandle open_archive_file(const char* path)
{
    const FileHandle h = open_file(path, FILE_READ, OPEN_EXISTING_FILE);
    if (h == NO_FILE) fail_with_line(std::string("Error: cannot open Archive file ") + path + "\n");
    error_archive_name = path;
    return h;
}

const char* read_entry_header(FileHandle h, int64_t offset, EntryHeader* header)
{
    HeaderBytes in(h, offset);
    uint64_t v = 0;
    if (!in.take_le(8, &header->length)) return "an entry header is cut short";
    if (!in.take_le(1, &v)) return "an entry header is cut short";
    header->solid = static_cast<uint8_t>(v);
    if (!in.take_le(1, &v)) return "an entry header is cut short";
    header->reset = static_cast<uint8_t>(v);
    if (header->solid > 1 || header->reset > 1) return "an entry's flags are out of range";
    uint32_t name_size = 0, dir_size = 0;
    if (const char* problem = read_text_field(in, header->name, &name_size)) return problem;
    if (const char* problem = read_text_field(in, header->dir, &dir_size)) return problem;
    // The writer stores paths of at most PATH_LIMIT characters in all.
    if (name_size + dir_size - 2 > PATH_LIMIT) return "a stored path is too long";
    if (!in.take_le(8, &v)) return "an entry header is cut short";
    header->piece_length = static_cast<int64_t>(v);
    if (!in.take_le(8, &header->piece_offset)) return "an entry header is cut short";
    if (!in.take_le(4, &v)) return "an entry header is cut short";
    header->block_size = static_cast<uint32_t>(v);
    const uint32_t b = header->block_size;
    if (b < (1u << 20) || b > (256u << 20) || (b & (b - 1)) != 0) return "an entry's block size is out of range";
    header->header_size = ENTRY_HEADER_FIXED + name_size + dir_size;
    return nullptr;
}

const char* check_entry_length(const EntryHeader& header, int64_t offset, int64_t archive_size)
{
    if (header.length < header.header_size || header.length > static_cast<uint64_t>(archive_size - offset))
        return "an entry length is out of range";
    return nullptr;
}

const char* check_entry_chunks(FileHandle h, int64_t data_start, int64_t data_end)
{
    int64_t pos = data_start;
    bool coded_ended = false, raw_ended = false;
    while (pos < data_end) {
        uint8_t head[3];
        if (!read_at(h, &pos, head, 1)) return "a chunk lies past the archive's end";
        const uint8_t tag = head[0];
        if (tag > CHUNK_CODED_LAST) return "unknown chunk tag";
        // Nothing follows the raw stream's last chunk, and only that chunk
        // follows the coded stream's last one.
        if (raw_ended || (coded_ended && tag != CHUNK_RAW_LAST)) return "an entry runs on past its last chunk";
        uint32_t size = CHUNK_SIZE;
        if (tag == CHUNK_RAW_LAST || tag == CHUNK_CODED_LAST) {
            if (!read_at(h, &pos, head + 1, 2)) return "a chunk header is cut short";
            size = (static_cast<uint32_t>(head[1]) | (static_cast<uint32_t>(head[2]) << 8)) + 1;
            (tag == CHUNK_RAW_LAST ? raw_ended : coded_ended) = true;
        }
        if (size > data_end - pos) return "a chunk runs past its entry";
        pos += size;
    }
    return nullptr;
}

PieceTotals tally_pieces(FileHandle h, int64_t archive_size)
{
    PieceTotals totals;
    EntryHeader header;
    for (int64_t offset = 0; offset < archive_size; offset += static_cast<int64_t>(header.length)) {
        if (read_entry_header(h, offset, &header) != nullptr ||
            check_entry_length(header, offset, archive_size) != nullptr)
            break;
        if (header.piece_length < 0) continue;
        const uint64_t length = static_cast<uint64_t>(header.piece_length);
        uint64_t& total = totals[std::string(header.dir) + header.name];
        total = total > UINT64_MAX - length ? UINT64_MAX : total + length;
    }
    return totals;
}

void check_entry(FileHandle h, int64_t offset, int64_t archive_size, const PieceTotals& totals, EntryHeader* header)
{
    const char* problem = read_entry_header(h, offset, header);
    if (problem == nullptr) problem = check_entry_length(*header, offset, archive_size);
    if (problem == nullptr && !header->solid && !header->reset)
        problem = "an entry that is not solid does not start its models afresh";
    if (problem == nullptr)
        problem = check_entry_chunks(h, offset + header->header_size, offset + static_cast<int64_t>(header->length));
    // A negative piece length has its own report when the entry is extracted.
    if (problem == nullptr && header->piece_length >= 0) {
        const auto total = totals.find(std::string(header->dir) + header->name);
        const uint64_t length = static_cast<uint64_t>(header->piece_length);
        if (total == totals.end() || header->piece_offset > total->second ||
            length > total->second - header->piece_offset)
            problem = "a piece lies beyond the bytes its file holds";
    }
    if (problem != nullptr) fail_damaged(problem);
}
