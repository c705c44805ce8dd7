#include "engine/work_memory.h"

#include <cstdlib>
#include <sys/mman.h>

#include "engine/bit_model.h"
#include "engine/error.h"

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

namespace {

template <typename T>
void reallocate(T*& buffer, size_t elements)
{
    std::free(buffer);
    buffer = static_cast<T*>(std::calloc(elements, sizeof(T)));
    if (buffer == nullptr) fail_no_memory();
#ifdef MADV_HUGEPAGE
    // The inverse transform and LZP walk these buffers at random; huge pages
    // spare most of the page-table misses. Only whole huge pages are advised.
    const uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + 0x1FFFFF) & ~uintptr_t(0x1FFFFF);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + elements * sizeof(T)) & ~uintptr_t(0x1FFFFF);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#endif
}

}  // namespace

void allocate_work_memory(int32_t b)
{
    const uint32_t size = static_cast<uint32_t>(b);
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
    scratch_buffer = reinterpret_cast<uint8_t*>(sa_workspace);

    bit_model.reset();
    lzp_pos = 0;
}
