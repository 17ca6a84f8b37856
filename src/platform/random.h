// Kernel random generator (getrandom(2)) behind the two steps the agent's random
// bytes are drawn in: make sure the generator is usable, then fill a buffer.
// A generator that is not yet seeded (early boot) is waited for on the second
// try rather than read from; there is no fallback to an unseeded source.
#pragma once
#include <cstddef>

// 0 when the generator can be read at once; with wait set, blocks until it is
// seeded. -1 otherwise, errno set.
int avRandomOpen(bool wait);
// Fills n bytes, resuming after signals and short reads. 0, or -1 with errno set.
int avRandomFill(void* buf, size_t n);

