#include "engine/block_analyser.h"

#include "engine/entropy.h"
#include "engine/entry_state.h"
#include "engine/media_params.h"
#include "engine/size_estimator.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

BlockAnalyser block_analyser = {0, 0, 0, 0, 0};

void block_analyser_construct(BlockAnalyser* analyser)
{
    *analyser = BlockAnalyser{};
}

// The analyser owns no memory: nothing to release at exit.
void block_analyser_destroy(BlockAnalyser*) {}

namespace {

// A header candidate reads its fixed fields from its first 36 bytes; the
// scan inside a piece starts no candidate in the last SCAN_TAIL bytes.
constexpr uint32_t SCAN_TAIL = 64;
// The whole-file sniffing needs a first block of at least this many bytes.
constexpr uint32_t HEADER_MIN = 128;

inline uint32_t u16_at(const uint8_t* b, uint32_t k)
{
    return static_cast<uint32_t>(b[k]) | (static_cast<uint32_t>(b[k + 1]) << 8);
}

inline uint32_t u32_at(const uint8_t* b, uint32_t k)
{
    return static_cast<uint32_t>(b[k]) | (static_cast<uint32_t>(b[k + 1]) << 8) |
           (static_cast<uint32_t>(b[k + 2]) << 16) | (static_cast<uint32_t>(b[k + 3]) << 24);
}

// Image dimensions are accepted from 16 to 65535 pixels.
inline bool dimension_in_range(int64_t v) { return v >= 16 && v <= 65535; }

// Sizes are followed as a signed 32-bit count holding the low 32 bits.
inline int32_t low32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// The white space that a scan format skips: space, \t, \n, \v, \f, \r.
inline bool is_space(uint8_t c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Reads an optionally signed decimal integer at header[*pos], skipping white
// space first, like the "%d" conversion. Stops before position n. A value
// beyond 32 bits saturates, so it never comes out as a plausible dimension.
// Returns false, leaving *out alone, when no integer is there.
bool scan_int(const uint8_t* header, int32_t n, int32_t* pos, int32_t* out)
{
    int32_t p = *pos;
    while (p < n && is_space(header[p])) ++p;
    bool negative = false;
    if (p < n && (header[p] == '+' || header[p] == '-')) {
        negative = header[p] == '-';
        ++p;
    }
    if (p >= n || !is_digit(header[p])) {
        *pos = p;
        return false;
    }
    int64_t value = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    while (p < n && is_digit(header[p])) {
        value = value * 10 + (header[p] - '0');
        if (value > limit) value = limit;
        ++p;
    }
    *pos = p;
    *out = static_cast<int32_t>(negative ? -value : value);
    return true;
}

// sample_bytes and channel_count from a RIFF WAVE header at b: bits per
// sample at 34, channels at 22. A 24-bit file is taken as three interleaved
// 8-bit channels per channel of the file.
void read_wave_format(const uint8_t* b)
{
    sample_bytes = static_cast<uint8_t>(u16_at(b, 34) / 8);
    channel_count = static_cast<uint8_t>(u16_at(b, 22));
    if (sample_bytes == 3) {
        sample_bytes = 1;
        channel_count = static_cast<uint8_t>(3 * u16_at(b, 22));
    }
}

inline bool wave_format_usable()
{
    return sample_bytes >= 1 && sample_bytes <= 4 && channel_count >= 1 && channel_count <= 8;
}

inline bool is_riff_wave(const uint8_t* b)
{
    return b[0] == 'R' && b[1] == 'I' && b[2] == 'F' && b[3] == 'F' && b[8] == 'W' &&
           b[9] == 'A' && b[10] == 'V' && b[11] == 'E';
}

}  // namespace

int64_t parse_pnm_size(const uint8_t* header, int32_t n)
{
    // The width is the first pair of adjacent digits after the magic number
    // (a well-formed dimension in range has at least two).
    int32_t s = 2;
    if (n > 34) {
        s = n - 32;
        for (int32_t k = 2; k <= n - 33; ++k) {
            if (is_digit(header[k]) && is_digit(header[k + 1])) {
                s = k;
                break;
            }
        }
    }
    int32_t pos = s;
    if (scan_int(header, n, &pos, &image_width)) scan_int(header, n, &pos, &image_height);
    return static_cast<int64_t>(image_width) * image_height;
}

int32_t BlockAnalyser::analyse_header(const uint8_t* header, uint32_t len)
{
    file_kind = PIECE_GENERIC;
    block_kind = PIECE_GENERIC;
    media_bytes_left = 0;
    bytes_before = 0;
    bytes_after = 0;
    if (len < HEADER_MIN) return PIECE_GENERIC;
    return detect_file_kind(header, static_cast<int32_t>(len));
}

int32_t BlockAnalyser::detect_file_kind(const uint8_t* header, int32_t len)
{
    return detect_kind_of_file(header, len, input_size);
}

int32_t BlockAnalyser::detect_kind_of_file(const uint8_t* header, int32_t len, int64_t file_length)
{
    const uint8_t* b = header;
    if (len < static_cast<int32_t>(HEADER_MIN)) return PIECE_GENERIC;
    switch (b[0]) {
    case 'B': {
        if (b[1] != 'M') break;
        const uint32_t bits = u16_at(b, 28);
        if (bits != 24 && bits != 8) break;
        const uint32_t width = u32_at(b, 18);
        if (!dimension_in_range(width) || !dimension_in_range(u32_at(b, 22))) break;
        image_width = static_cast<int32_t>(width);
        channel_count = bits == 24 ? 3 : 1;
        sample_bytes = 1;
        media_bytes_left = static_cast<int32_t>(u32_at(b, 2));
        file_kind = block_kind = PIECE_IMAGE;
        return PIECE_IMAGE;
    }
    case 'P': {
        if (b[1] == '6') {
            if (b[2] != 0x0A) break;
            parse_pnm_size(header, len);
            const int64_t w = image_width, h = image_height;
            // Range first: 3 x w x h of unchecked values could exceed 64 bits.
            if (!dimension_in_range(w) || !dimension_in_range(h) || 3 * w * h > file_length) break;
        } else if (b[1] == '5') {
            const int64_t area = parse_pnm_size(header, len);
            if (area > file_length || !dimension_in_range(image_width) ||
                !dimension_in_range(image_height))
                break;
        } else {
            break;
        }
        sample_bytes = 1;
        channel_count = b[1] == '6' ? 3 : 1;
        media_bytes_left = low32(file_length);
        file_kind = block_kind = PIECE_IMAGE;
        return PIECE_IMAGE;
    }
    case 'R': {
        if (!is_riff_wave(b)) break;
        read_wave_format(b);
        if (!wave_format_usable()) break;
        // A declared size up to one eighth above the file's length passes;
        // x + x / 8 is 9 x / 8 without the overflow of 9 x.
        if (static_cast<int64_t>(u32_at(b, 4)) + 44 > file_length + file_length / 8) break;
        media_bytes_left = static_cast<int32_t>(u32_at(b, 4));
        file_kind = block_kind = PIECE_AUDIO;
        return PIECE_AUDIO;
    }
    case 'I': {
        // Little-endian TIFF: its pieces stay generic for the whole entry.
        if (b[1] != 'I' || b[2] != '*' || b[3] != 0) break;
        block_kind = PIECE_GENERIC;
        media_bytes_left = low32(file_length);
        return PIECE_GENERIC;
    }
    case 0: {
        // TGA without image id or colour map, true colour, raw or RLE.
        if (b[1] != 0 || b[3] != 0 || (b[2] != 2 && b[2] != 10)) break;
        if (b[16] != 24 && b[16] != 32) break;
        const uint32_t width = u16_at(b, 12);
        if (width < 16) break;
        image_width = static_cast<int32_t>(width);
        sample_bytes = 1;
        channel_count = static_cast<uint8_t>(b[16] / 8);
        media_bytes_left = low32(file_length);
        file_kind = block_kind = PIECE_IMAGE;
        return PIECE_IMAGE;
    }
    default:
        break;
    }
    return PIECE_GENERIC;
}

namespace {

// Tests the header candidate at b (one of 'B', 'P', 'R' as first byte) inside
// a piece of len bytes with `avail` bytes from b to the piece's end, in a file
// of file_length bytes. On success sets the media parameters and the object's
// size (declared size, the whole piece's length not yet subtracted) and
// returns its kind; else returns 0.
int32_t test_embedded_header(const uint8_t* b, int32_t avail, int64_t bytes_left, int64_t file_length,
                             int64_t* size)
{
    switch (b[0]) {
    case 'B': {
        if (b[1] != 'M') return 0;
        const uint32_t bits = u16_at(b, 28);
        if (bits != 24 && bits != 8) return 0;
        const uint32_t width = u32_at(b, 18);
        if (!dimension_in_range(width) || !dimension_in_range(u32_at(b, 22))) return 0;
        const int64_t declared = u32_at(b, 2);
        // 24-bit may fill the rest of the entry exactly, 8-bit must be shorter.
        if (bits == 24 ? declared > bytes_left : declared >= bytes_left) return 0;
        sample_bytes = 1;
        channel_count = bits == 24 ? 3 : 1;
        image_width = static_cast<int32_t>(width);
        *size = declared;
        return PIECE_IMAGE;
    }
    case 'P': {
        if ((b[1] != '5' && b[1] != '6') || b[2] != 0x0A) return 0;
        parse_pnm_size(b, avail);
        const int64_t w = image_width, h = image_height;
        if (!dimension_in_range(w) || !dimension_in_range(h)) return 0;
        if (b[1] == '5') {
            if (w * h >= bytes_left) return 0;
            *size = w * h;
        } else {
            if (3 * w * h > bytes_left) return 0;
            sample_bytes = 1;
            channel_count = 3;
            *size = 3 * w * h;
        }
        return PIECE_IMAGE;
    }
    case 'R': {
        if (!is_riff_wave(b)) return 0;
        read_wave_format(b);
        if (!wave_format_usable()) return 0;
        const int64_t declared = u32_at(b, 4);
        if (declared + 44 > file_length) return 0;
        *size = declared;
        return PIECE_AUDIO;
    }
    default:
        return 0;
    }
}

// Bit i set when at[i] may start a header (first byte "B", "P" or "R").
#if defined(__SSE2__)
inline uint32_t signature_mask(const uint8_t* at)
{
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('B')), _mm_cmpeq_epi8(v, _mm_set1_epi8('P'))),
        _mm_cmpeq_epi8(v, _mm_set1_epi8('R')));
    return static_cast<uint32_t>(_mm_movemask_epi8(hit));
}
#else
inline uint32_t signature_mask(const uint8_t* at)
{
    uint32_t mask = 0;
    for (uint32_t i = 0; i < 16; ++i)
        if (at[i] == 'B' || at[i] == 'P' || at[i] == 'R') mask |= 1u << i;
    return mask;
}
#endif

// The header scan of a piece: positions 0 .. len - 65. Sixteen positions are
// loaded at once; their bytes lie at most at len - 50. Returns the kind of the
// first object found, with its position and size, or 0.
inline int32_t find_embedded_header(const uint8_t* piece, uint32_t len, int64_t bytes_left, int64_t file_length,
                                    uint32_t* at, int64_t* size)
{
    const uint32_t last = len - SCAN_TAIL - 1;
    for (uint32_t base = 0; base <= last; base += 16) {
        uint32_t mask = signature_mask(piece + base);
        while (mask != 0) {
            const uint32_t p = base + static_cast<uint32_t>(__builtin_ctz(mask));
            mask &= mask - 1;
            if (p > last) break;
            const int32_t kind =
                test_embedded_header(piece + p, static_cast<int32_t>(len - p), bytes_left, file_length, size);
            if (kind != 0) {
                *at = p;
                return kind;
            }
        }
    }
    return 0;
}

}  // namespace

int32_t BlockAnalyser::classify_piece(uint8_t* piece, uint32_t len)
{
    if (len < MIN_FILTER_BLOCK) return block_kind;

    if (file_kind == PIECE_AUDIO || file_kind == PIECE_IMAGE) {
        media_bytes_left = 0;
        return file_kind;
    }

    // An object being followed, or one whose header the scan finds, sets the
    // piece's kind; otherwise pass_piece leaves block_kind generic and the
    // content decides.
    const bool following = media_bytes_left > 0;
    const int64_t bytes_left = input_size - piece_done + bytes_after;
    if (pass_piece(piece, len, bytes_left, bytes_before + input_size + bytes_after) >= 0 || following)
        return block_kind;

    // Content analysis.
    uint32_t h[256];
    byte_histogram(piece, len, h);

    const uint32_t dna = h['A'] + h['C'] + h['G'] + h['T'] + h['a'] + h['c'] + h['g'] + h['t'];
    if (dna > 3 * (len / 4)) return PIECE_DNA;

    // Machine code: the mov opcode 0x8B, calls (0xE8) and jumps (0xE9).
    if (h[0x8B] > len / 256 && h[0x8B] + h[0xE8] + h[0xE9] > len / 64) return PIECE_GENERIC;

    uint32_t text = h[0x20] + h[0x22] + h[0x28] + h[0x29] + h[0x2F] + h[0x3C] + h[0x3D] + h[0x3E] +
                    h[0x5C] + h[0x5F];
    for (uint32_t c = 0x41; c <= 0x5A; ++c) text += h[c] + h[c + 0x20];
    if (text > len / 4) return PIECE_GENERIC;

    const int32_t k = detect_sample_stride(piece, len);
    if (k != -1 && stride_filter_pays(piece, len, STRIDE_TABLE[k]) == 1) return PIECE_STRIDE + k;
    return PIECE_GENERIC;
}

int32_t BlockAnalyser::pass_piece(const uint8_t* piece, uint32_t len, int64_t bytes_left, int64_t file_length)
{
    if (len < MIN_FILTER_BLOCK) return -1;
    if (file_kind == PIECE_AUDIO || file_kind == PIECE_IMAGE) {
        media_bytes_left = 0;
        return -1;
    }
    if (media_bytes_left > 0) {
        media_bytes_left = static_cast<int32_t>(static_cast<uint32_t>(media_bytes_left) - len);
        return -1;
    }
    if (media_bytes_left == 0) {
        uint32_t at = 0;
        int64_t size = 0;
        const int32_t kind = find_embedded_header(piece, len, bytes_left, file_length, &at, &size);
        if (kind != 0) {
            block_kind = kind;
            media_bytes_left = low32(size - static_cast<int64_t>(len));
            return static_cast<int32_t>(at);
        }
    }
    media_bytes_left = 0;
    block_kind = PIECE_GENERIC;
    return -1;
}

bool BlockAnalyser::scans_next_piece() const
{
    return file_kind != PIECE_AUDIO && file_kind != PIECE_IMAGE && media_bytes_left == 0;
}

int32_t BlockAnalyser::detect_sample_stride(const uint8_t* data, uint32_t len)
{
    // eq[k]: positions i in 0 .. len - 17 where data[i] == data[i + lag];
    // sad[k]: the sum of |data[i] - data[i + lag]| over them.
    uint32_t eq[5] = {};
    uint32_t sad[5] = {};
    const uint32_t count = len > 16 ? len - 16 : 0;
    uint32_t i = 0;
#if defined(__SSE2__)
    {
        // 16 positions per step: psadbw sums absolute differences, and the
        // equal bytes (masked to 1) are summed the same way. The loads reach
        // i + 8 + 15 < count + 16 = len.
        const __m128i zero = _mm_setzero_si128();
        const __m128i one = _mm_set1_epi8(1);
        __m128i eq_acc[5], sad_acc[5];
        for (int k = 0; k < 5; ++k) eq_acc[k] = sad_acc[k] = zero;
        for (; i + 16 <= count; i += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            for (int k = 0; k < 5; ++k) {
                const __m128i b =
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + STRIDE_TABLE[k]));
                sad_acc[k] = _mm_add_epi64(sad_acc[k], _mm_sad_epu8(a, b));
                const __m128i same = _mm_and_si128(_mm_cmpeq_epi8(a, b), one);
                eq_acc[k] = _mm_add_epi64(eq_acc[k], _mm_sad_epu8(same, zero));
            }
        }
        for (int k = 0; k < 5; ++k) {
            // The totals are kept as unsigned 32-bit sums.
            sad[k] = static_cast<uint32_t>(_mm_cvtsi128_si32(sad_acc[k])) +
                     static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(sad_acc[k], 8)));
            eq[k] = static_cast<uint32_t>(_mm_cvtsi128_si32(eq_acc[k])) +
                    static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(eq_acc[k], 8)));
        }
    }
#endif
    for (; i < count; ++i) {
        const int a = data[i];
        for (int k = 0; k < 5; ++k) {
            const int b = data[i + STRIDE_TABLE[k]];
            eq[k] += a == b;
            sad[k] += static_cast<uint32_t>(a > b ? a - b : b - a);
        }
    }

    int32_t best = 0;
    uint32_t mineq = eq[0], maxsad = sad[0];
    for (int32_t k = 1; k < 5; ++k) {
        if (sad[k] < sad[best]) best = k;
        if (eq[k] < mineq) mineq = eq[k];
        if (sad[k] > maxsad) maxsad = sad[k];
    }
    // Products in 64 bits so that no comparison wraps.
    const uint64_t low = sad[best];
    const bool clearly_smaller = 3 * low < maxsad || low + 12 * static_cast<uint64_t>(len) < maxsad;
    const bool repeats = eq[best] > 3 * static_cast<uint64_t>(mineq);
    const bool few_runs = static_cast<double>(eq[0]) < 0.3 * static_cast<double>(len);
    return clearly_smaller && repeats && few_runs ? best : -1;
}
