#include "platform/memory.h"

#include <cstdint>
#include <sys/mman.h>

void advise_random_access(void* p, size_t n)
{
#ifdef MADV_HUGEPAGE
    // Only whole huge pages are advised.
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + 0x1FFFFF) & ~uintptr_t(0x1FFFFF);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~uintptr_t(0x1FFFFF);
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}
