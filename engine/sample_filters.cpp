#include "engine/sample_filters.h"

#include <cstring>

#include "engine/media_params.h"
#include "engine/work_memory.h"

int32_t delta_prev[DELTA_MAX_CHANNELS];
int32_t delta_cur[DELTA_MAX_CHANNELS];
uint32_t delta_channel = 0;

// ---------------------------------------------------------------------------
// Stride split with byte delta. Plane j is every stride-th byte from j; the
// planes follow each other and one running byte links them, so only the very
// first byte of the region is taken against 0. Positions advance with a test
// on the distance to the end, which cannot wrap, and at most len planes are
// walked, so a stride of any size visits every byte exactly once.

void stride_delta_encode(uint8_t* block, uint32_t len, uint32_t stride)
{
    if (len == 0 || stride == 0) return;
    const uint8_t* scratch = scratch_buffer;
    std::memcpy(scratch_buffer, block, len);
    const uint32_t planes = stride < len ? stride : len;
    uint8_t prev = 0;
    uint32_t out = 0;
    for (uint32_t j = 0; j < planes; ++j) {
        for (uint32_t p = j;; p += stride) {
            const uint8_t x = scratch[p];
            block[out++] = static_cast<uint8_t>(x - prev);
            prev = x;
            if (len - p <= stride) break;
        }
    }
}

void stride_delta_decode(uint8_t* block, uint32_t len, uint32_t stride)
{
    if (len == 0 || stride == 0) return;
    const uint8_t* scratch = scratch_buffer;
    std::memcpy(scratch_buffer, block, len);
    const uint32_t planes = stride < len ? stride : len;
    uint8_t sum = 0;
    uint32_t k = 0;
    for (uint32_t j = 0; j < planes; ++j) {
        for (uint32_t p = j;; p += stride) {
            sum = static_cast<uint8_t>(sum + scratch[k++]);
            block[p] = sum;
            if (len - p <= stride) break;
        }
    }
}

// ---------------------------------------------------------------------------
// Colour transform on whole 3-byte pixels: the first two bytes become the
// differences to the next byte, the third keeps itself less half of the
// second difference (arithmetic shift, so -1 stays -1).

void rgb_decorrelate(uint8_t* block, int32_t len)
{
    const int32_t groups = len / 3;
    for (int32_t g = 0; g < groups; ++g) {
        uint8_t* p = block + 3 * static_cast<size_t>(g);
        const uint8_t b0 = p[0], b1 = p[1], b2 = p[2];
        const uint8_t d1 = static_cast<uint8_t>(b2 - b1);
        p[0] = static_cast<uint8_t>(b1 - b0);
        p[1] = d1;
        p[2] = static_cast<uint8_t>(b2 - (static_cast<int8_t>(d1) >> 1));
    }
}

void rgb_restore(uint8_t* block, int32_t len)
{
    const int32_t groups = len / 3;
    for (int32_t g = 0; g < groups; ++g) {
        uint8_t* p = block + 3 * static_cast<size_t>(g);
        const int32_t d = static_cast<int8_t>(p[1]);
        const uint8_t b2 = static_cast<uint8_t>(p[2] + (d >> 1));
        const uint8_t b1 = static_cast<uint8_t>(b2 - d);
        p[0] = static_cast<uint8_t>(b1 - p[0]);
        p[1] = b1;
        p[2] = b2;
    }
}

// ---------------------------------------------------------------------------
// Channel decorrelation of 16-bit frames. The values are reached byte-wise
// through memcpy: a run may start at any byte of the block.

namespace {

inline uint16_t load16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

inline void store16(uint8_t* p, uint32_t v)
{
    const uint16_t w = static_cast<uint16_t>(v);
    std::memcpy(p, &w, 2);
}

inline int32_t half_signed16(uint32_t v)
{
    return static_cast<int16_t>(static_cast<uint16_t>(v)) >> 1;
}

}  // namespace

void channels16_decorrelate(uint16_t* values, int32_t count, int32_t channels)
{
    if (channels < 2 || count < channels) return;
    const int32_t frames = count / channels;
    uint8_t* frame = reinterpret_cast<uint8_t*>(values);
    const size_t frame_bytes = 2 * static_cast<size_t>(channels);
    for (int32_t f = 0; f < frames; ++f, frame += frame_bytes) {
        for (int32_t k = 0; k + 1 < channels; ++k)
            store16(frame + 2 * k, uint32_t(load16(frame + 2 * k + 2)) - load16(frame + 2 * k));
        uint8_t* last = frame + 2 * (channels - 1);
        store16(last, uint32_t(load16(last)) - half_signed16(load16(last - 2)));
    }
}

void channels16_restore(uint16_t* values, int32_t count, int32_t channels)
{
    if (channels < 2 || count < channels) return;
    const int32_t frames = count / channels;
    uint8_t* frame = reinterpret_cast<uint8_t*>(values);
    const size_t frame_bytes = 2 * static_cast<size_t>(channels);
    for (int32_t f = 0; f < frames; ++f, frame += frame_bytes) {
        uint8_t* last = frame + 2 * (channels - 1);
        store16(last, uint32_t(load16(last)) + half_signed16(load16(last - 2)));
        for (int32_t k = channels - 2; k >= 0; --k)
            store16(frame + 2 * k, uint32_t(load16(frame + 2 * k + 2)) - load16(frame + 2 * k));
    }
}

// ---------------------------------------------------------------------------
// Sample delta per channel. The walk keeps its state in locals (stores into
// the region could otherwise alias it) and leaves it in the process-wide
// arrays at the end. A last sample that starts inside the region and ends
// after it is read and written whole: the wrapping difference carries only
// from low to high bytes, so its bytes inside the region survive exactly.

namespace {

template <uint32_t W>
inline uint32_t load_sample(const uint8_t* p)
{
    uint32_t x = p[0];
    if (W > 1) x |= uint32_t(p[1]) << 8;
    if (W > 2) x |= uint32_t(p[2]) << 16;
    if (W > 3) x |= uint32_t(p[3]) << 24;
    return x;
}

template <uint32_t W>
inline void store_sample(uint8_t* p, uint32_t x)
{
    p[0] = static_cast<uint8_t>(x);
    if (W > 1) p[1] = static_cast<uint8_t>(x >> 8);
    if (W > 2) p[2] = static_cast<uint8_t>(x >> 16);
    if (W > 3) p[3] = static_cast<uint8_t>(x >> 24);
}

template <uint32_t W, bool ENCODE>
void delta_walk(uint8_t* block, uint32_t len)
{
    constexpr uint32_t mask = W == 4 ? 0xFFFFFFFFu : (1u << (8 * W)) - 1;
    uint32_t prev[DELTA_MAX_CHANNELS] = {};
    uint32_t cur[DELTA_MAX_CHANNELS] = {};
    const uint32_t channels = channel_count;
    uint32_t c = 0;
    for (uint32_t s = 0;; s += W) {
        const uint32_t v = load_sample<W>(block + s);
        uint32_t x;
        if (ENCODE) {
            x = v;
            cur[c] = x;
            store_sample<W>(block + s, x - prev[c]);
        } else {
            x = (v + prev[c]) & mask;
            store_sample<W>(block + s, x);
        }
        prev[c] = x;
        if (++c == channels) c = 0;
        if (len - s <= W) break;
    }
    for (uint32_t i = 0; i < DELTA_MAX_CHANNELS; ++i) {
        delta_prev[i] = static_cast<int32_t>(prev[i]);
        delta_cur[i] = static_cast<int32_t>(cur[i]);
    }
    delta_channel = c;
}

template <bool ENCODE>
void delta_run(uint8_t* block, uint32_t len)
{
    std::memset(delta_prev, 0, sizeof delta_prev);
    std::memset(delta_cur, 0, sizeof delta_cur);
    delta_channel = 0;
    if (len == 0 || !delta_params_valid(sample_bytes, channel_count)) return;
    switch (sample_bytes) {
    case 1: delta_walk<1, ENCODE>(block, len); break;
    case 2: delta_walk<2, ENCODE>(block, len); break;
    case 3: delta_walk<3, ENCODE>(block, len); break;
    default: delta_walk<4, ENCODE>(block, len); break;
    }
}

}  // namespace

void delta_encode(uint8_t* block, uint32_t len)
{
    delta_run<true>(block, len);
}

void delta_decode(uint8_t* block, uint32_t len)
{
    delta_run<false>(block, len);
}
