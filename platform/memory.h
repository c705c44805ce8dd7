// Hints to the system about large buffers.
#pragma once
#include <cstddef>

// The buffer of n bytes at p is walked at random: where the system has huge
// pages (Linux), the whole huge pages inside it are advised to use them,
// sparing most page-table misses. Nothing happens elsewhere.
void advise_random_access(void* p, size_t n);
