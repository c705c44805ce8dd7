#include "engine/work_memory.h"

#include <cstdlib>
#include <cstring>

#include "engine/bit_model.h"
#include "engine/error.h"
#include "engine/lzp.h"
#include "platform/memory.h"

uint8_t* block_buffer = nullptr;
uint8_t* work_buffer = nullptr;
uint8_t* lzp_ring = nullptr;
uint32_t* lzp_table = nullptr;
int32_t* sa_workspace = nullptr;
uint8_t* scratch_buffer = nullptr;

uint32_t block_size = 0;
uint32_t work_capacity = 0;
uint32_t lzp_ring_mask = 0;
uint32_t lzp_table_mask = 0;
uint32_t lzp_pos = 0;
uint64_t lzp_appended = 0;

namespace {

template <typename T>
void reallocate(T*& buffer, size_t elements)
{
    std::free(buffer);
    buffer = static_cast<T*>(std::calloc(elements, sizeof(T)));
    if (buffer == nullptr) fail_no_memory();
    // The inverse transform and LZP walk these buffers at random.
    advise_random_access(buffer, elements * sizeof(T));
}

// Returns the ring and the table of the same size to all zeros. Without a
// wrap, the ring holds exactly the bytes appended since the last reset, and
// every table slot written since then is the slot of one of their
// positions: clearing those slots is cheaper than clearing the table when
// the history is short.
void clear_history()
{
    if (lzp_appended > lzp_ring_mask) {
        std::memset(lzp_ring, 0, size_t(lzp_ring_mask) + 1);
        std::memset(lzp_table, 0, (size_t(lzp_table_mask) + 1) * sizeof(uint32_t));
        return;
    }
    const uint32_t used = static_cast<uint32_t>(lzp_appended);
    // A slot cleared this way costs about as much as a cache miss; a short
    // history still beats sweeping the whole table.
    if (used < (lzp_table_mask + 1) / 32) {
        for (uint32_t p = 7; p < used; ++p) lzp_table[lzp_context_hash(lzp_ring + p, lzp_table_mask)] = 0;
    } else {
        std::memset(lzp_table, 0, (size_t(lzp_table_mask) + 1) * sizeof(uint32_t));
    }
    std::memset(lzp_ring, 0, used);
}

}  // namespace

void allocate_work_memory(int32_t b)
{
    const uint32_t size = static_cast<uint32_t>(b);
    if (size == block_size && block_buffer != nullptr) {
        // The block, work and suffix-array areas are always written before
        // they are read; only the history must start empty.
        clear_history();
    } else {
        lzp_ring_mask = 4 * size - 1;
        lzp_table_mask = size / 4 - 1;
        const size_t capacity = size_t(size) + WORK_SLACK + size / 256;
        if (capacity > UINT32_MAX) fail_no_memory();
        reallocate(block_buffer, capacity);
        reallocate(work_buffer, capacity);
        reallocate(lzp_ring, size_t(4) * size);
        reallocate(lzp_table, size / 4);
        reallocate(sa_workspace, capacity);
        block_size = size;
        work_capacity = static_cast<uint32_t>(capacity);
    }
    scratch_buffer = reinterpret_cast<uint8_t*>(sa_workspace);

    bit_model.reset();
    lzp_pos = 0;
    lzp_appended = 0;
}
