#pragma once

#include <cstddef>

// Allocation for start-up structures whose absence leaves nothing sensible to run: every
// failure writes its message to standard error and ends the process with status 1.

// The failure policy of the ring, filter and allocation helpers: the printf-style message goes to
// standard error and the process ends with status 1.
[[noreturn]] void panic(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

void* xmalloc(size_t size);
void* xmalloc_aligned(size_t size, size_t alignment);
// Resizes `block` (or allocates when it is null) to count * size bytes.
void* xrealloc(void* block, size_t count, size_t size);
