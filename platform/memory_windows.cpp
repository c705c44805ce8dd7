#include "platform/memory.h"

// Large pages on Windows need a privilege that a console program does not
// hold: nothing to advise.
void advise_random_access(void* p, size_t n)
{
    (void)p;
    (void)n;
}
