#include "engine/varint.h"

#include "engine/error.h"

void put_varint(uint8_t* buf, uint32_t* len, uint32_t v)
{
    uint32_t p = *len;
    // Each continuation byte carries the low group plus one unit of the next
    // place, hence the -1 after the shift.
    while (v >= 128) {
        buf[p++] = static_cast<uint8_t>(0x80 | (v & 0x7F));
        v = (v >> 7) - 1;
    }
    buf[p++] = static_cast<uint8_t>(v);
    *len = p;
}

bool get_varint_bounded(const uint8_t* buf, uint32_t* pos, uint32_t end, uint32_t* value)
{
    uint32_t p = *pos;
    uint64_t v = 0;
    for (uint32_t i = 0; i < VARINT_MAX_BYTES; ++i) {
        if (p >= end) return false;
        const uint8_t b = buf[p++];
        v += uint64_t(b) << (7 * i);
        if (b < 0x80) {
            if (v > UINT32_MAX) return false;
            *value = static_cast<uint32_t>(v);
            *pos = p;
            return true;
        }
    }
    return false;
}

uint32_t get_varint(const uint8_t* buf, uint32_t* pos)
{
    uint32_t v = 0;
    const uint32_t end = *pos > UINT32_MAX - VARINT_MAX_BYTES ? UINT32_MAX : *pos + VARINT_MAX_BYTES;
    if (!get_varint_bounded(buf, pos, end, &v)) fail_damaged("bad length code");
    return v;
}
