#include "engine/lzp.h"

#include <cstring>

#include "engine/entropy.h"
#include "engine/error.h"
#include "engine/varint.h"
#include "engine/work_memory.h"

namespace {

constexpr uint32_t HEAD_BYTES = 7;       // bytes of context behind every hashed position
constexpr uint32_t MIN_MATCH = 32;       // shorter repeats stay literal; a match codes as length - 31
constexpr uint32_t LENGTH_BIAS = MIN_MATCH - 1;
constexpr uint32_t LAZY_SPAN = 31;       // positions after a match start probed for a better match
constexpr uint32_t LAZY_MARGIN = 7;      // how much longer a later match must be, beyond the skipped bytes

// Table and ring lie far beyond the caches. The encoder fetches the table
// slot of the position TABLE_AHEAD bytes on, and the ring byte named by the
// slot of the position RING_AHEAD bytes on, before it needs them; the
// decoder fetches table slots the same distance ahead.
constexpr uint32_t TABLE_AHEAD = 64;
constexpr uint32_t RING_AHEAD = 32;
constexpr uint32_t SLOT_QUEUE = 128;  // a power of two above TABLE_AHEAD

// lzp_context_hash from the eight bytes before a position held in a register,
// the oldest in the low byte (their little-endian load).
inline uint32_t recent_hash(uint64_t recent, uint32_t table_mask)
{
    return ((uint32_t(recent >> 8) * LZP_FNV_PRIME) ^ uint32_t(recent >> 40)) & table_mask;
}

// How many leading bytes a and b share, at most limit.
inline uint32_t common_length(const uint8_t* a, const uint8_t* b, uint32_t limit)
{
    uint32_t len = 0;
    while (limit - len >= 8) {
        uint64_t x, y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        if (x != y) return len + static_cast<uint32_t>(__builtin_ctzll(x ^ y) >> 3);  // little-endian
        len += 8;
    }
    while (len < limit && a[len] == b[len]) ++len;
    return len;
}

// Appends len bytes (less than the ring's size) at pos, wrapping at the
// ring's end; returns the position after them.
inline uint32_t ring_append(const uint8_t* data, uint32_t len, uint32_t pos, uint32_t ring_mask)
{
    const uint32_t room = ring_mask - pos + 1;
    if (len <= room) {
        std::memcpy(lzp_ring + pos, data, len);
    } else {
        std::memcpy(lzp_ring + pos, data, room);
        std::memcpy(lzp_ring, data + room, len - room);
    }
    return (pos + len) & ring_mask;
}

// The escape byte: the value that occurs least often in src, the highest
// such value on a tie (255 for empty input). It occurs at most n / 256 times.
uint8_t least_frequent_byte(const uint8_t* src, uint32_t n)
{
    uint32_t counts[256];
    byte_histogram(src, n, counts);
    uint32_t best = UINT32_MAX;
    uint32_t escape = 255;
    for (uint32_t v = 0; v < 256; ++v) {
        if (counts[v] <= best) {
            best = counts[v];
            escape = v;
        }
    }
    return static_cast<uint8_t>(escape);
}

// A match of len bytes against ring position cand was found at src[i],
// about to take ring position pos. True when one of the next 31 positions
// offers a match longer than len plus the distance plus 7: then src[i] goes
// out as a literal instead. The table is only read here.
bool later_match_is_better(const uint8_t* src, uint32_t n, uint32_t i, uint32_t cand, uint32_t len, uint32_t pos)
{
    const uint32_t ring_mask = lzp_ring_mask;
    const uint8_t* const ring = lzp_ring;
    lzp_ring[pos] = src[i];
    // A probe whose candidate is cand + d repeats the comparison just made,
    // d bytes on, and matches len - d bytes, too few; unless the byte just
    // stored at pos lies in the stretch compared.
    const bool stretch_unchanged = pos - cand > len;
    for (uint32_t d = 1; d <= LAZY_SPAN; ++d) {
        const uint32_t k = i + d;
        const uint32_t later_cand = lzp_table[lzp_context_hash(src + k, lzp_table_mask)];
        if (later_cand == cand + d && stretch_unchanged) continue;
        if (later_cand == ((pos + d) & ring_mask) || later_cand >= ring_mask || ring[later_cand] != src[k]) continue;
        const uint32_t room = ring_mask - later_cand;
        const uint32_t later = common_length(ring + later_cand, src + k, n - k < room ? n - k : room);
        if (later > len + d + LAZY_MARGIN) return true;
    }
    return false;
}

}  // namespace

uint32_t lzp_encode(const uint8_t* src, uint32_t n)
{
    uint8_t* const out = work_buffer;
    uint8_t* const ring = lzp_ring;
    uint32_t* const table = lzp_table;
    const uint32_t ring_mask = lzp_ring_mask;
    const uint32_t table_mask = lzp_table_mask;

    // The caller sizes work_buffer for the largest output; a longer input
    // would overrun it.
    if (uint64_t(n) + n / 256 + 1 > work_capacity) fail_encoding("a record is larger than the working memory");
    const uint8_t escape = least_frequent_byte(src, n);
    out[0] = escape;
    if (n == 0) return 1;
    uint32_t o = 1;
    uint32_t pos = lzp_pos;

    // The head has no seven bytes of context: it goes out unchanged.
    const uint32_t head = n < HEAD_BYTES ? n : HEAD_BYTES;
    for (uint32_t i = 0; i < head; ++i) {
        out[o++] = src[i];
        ring[pos] = src[i];
        pos = (pos + 1) & ring_mask;
    }

    // Slots of the positions from i up to `ahead`, computed TABLE_AHEAD
    // positions early so that their table lines can be fetched in time.
    uint32_t slots[SLOT_QUEUE];
    uint32_t ahead = head;
    uint32_t i = head;
    while (i < n) {
        if (ahead < i) ahead = i;  // after a match
        const uint32_t ahead_end = n - i > TABLE_AHEAD ? i + TABLE_AHEAD : n;
        for (; ahead < ahead_end; ++ahead) {
            const uint32_t slot = lzp_context_hash(src + ahead, table_mask);
            slots[ahead % SLOT_QUEUE] = slot;
            __builtin_prefetch(table + slot, 1);
        }
        if (i + RING_AHEAD < ahead) __builtin_prefetch(ring + table[slots[(i + RING_AHEAD) % SLOT_QUEUE]]);
        const uint32_t h = slots[i % SLOT_QUEUE];
        const uint32_t cand = table[h];
        table[h] = pos;
        const uint8_t c = src[i];
        // The candidate must be older data, and a match must end before the
        // ring's last position, so that it never wraps.
        if (cand != pos && cand < ring_mask && ring[cand] == c) {
            const uint32_t room = ring_mask - cand;
            const uint32_t len = common_length(ring + cand, src + i, n - i < room ? n - i : room);
            // len >= 32 implies i + 31 < n, so all 31 lazy probes lie inside src.
            if (len >= MIN_MATCH && !later_match_is_better(src, n, i, cand, len, pos)) {
                out[o] = escape;
                uint32_t end = o + 1;  // a copy, so that o itself can stay in a register
                put_varint(out, &end, len - LENGTH_BIAS);
                o = end;
                pos = ring_append(src + i, len, pos, ring_mask);
                i += len;
                continue;
            }
        }
        out[o++] = c;
        if (c == escape) out[o++] = 0;
        ring[pos] = c;
        pos = (pos + 1) & ring_mask;
        ++i;
    }
    lzp_pos = pos;
    lzp_appended += n;
    return o;
}

void lzp_decode(uint8_t* dst, uint32_t n, uint32_t src_len)
{
    if (src_len == 0 || src_len > work_capacity) fail_damaged("long-match data has a bad length");
    const uint8_t* const in = work_buffer;
    uint8_t* const ring = lzp_ring;
    uint32_t* const table = lzp_table;
    const uint32_t ring_mask = lzp_ring_mask;
    const uint32_t table_mask = lzp_table_mask;

    const uint8_t escape = in[0];
    uint32_t p = 1;
    uint32_t pos = lzp_pos;
    // The last eight bytes produced, the newest in the top byte: the context
    // is hashed from here rather than read back from dst, which would wait
    // for the stores of the bytes just written.
    uint64_t recent = 0;

    const uint32_t head = n < HEAD_BYTES ? n : HEAD_BYTES;
    if (src_len - p < head) fail_damaged("long-match data ends early");
    for (uint32_t j = 0; j < head; ++j) {
        const uint8_t b = in[p++];
        dst[j] = b;
        recent = recent >> 8 | uint64_t(b) << 56;
        ring[pos] = b;
        pos = (pos + 1) & ring_mask;
    }

    uint32_t j = head;
    while (j < n) {
        if (p >= src_len) fail_damaged("long-match data ends early");
        // While literals follow, the bytes ahead in the input are the bytes
        // ahead in the output: fetch the table slot they will need.
        if (p + TABLE_AHEAD <= src_len)
            __builtin_prefetch(table + lzp_context_hash(in + p + TABLE_AHEAD, table_mask), 1);
        const uint32_t h = recent_hash(recent, table_mask);
        const uint8_t b = in[p++];
        if (b == escape) {
            uint32_t v;
            uint32_t next = p;  // a copy, so that p itself can stay in a register
            if (!get_varint_bounded(in, &next, src_len, &v)) fail_damaged("bad long-match length code");
            p = next;
            if (v != 0) {
                const uint64_t len = uint64_t(v) + LENGTH_BIAS;
                if (len > n - j) fail_damaged("long match passes the end of the record");
                const uint32_t cand = table[h];
                table[h] = pos;
                // The encoder never refers to the position being written nor
                // lets a match reach the ring's last position.
                if (cand == pos || cand + len > ring_mask) fail_damaged("long match outside the history");
                const uint32_t l = static_cast<uint32_t>(len);
                std::memcpy(dst + j, ring + cand, l);  // taken before the bytes are appended
                pos = ring_append(dst + j, l, pos, ring_mask);
                j += l;
                std::memcpy(&recent, dst + j - 8, 8);  // j >= 7 + 32
                continue;
            }
            // v = 0: the escape byte itself as a literal.
        }
        table[h] = pos;
        dst[j++] = b;
        recent = recent >> 8 | uint64_t(b) << 56;
        ring[pos] = b;
        pos = (pos + 1) & ring_mask;
    }
    if (p != src_len) fail_damaged("long-match data runs on past the record");
    lzp_pos = pos;
    lzp_appended += n;
}
