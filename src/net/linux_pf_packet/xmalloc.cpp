#include "xmalloc.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

void panic(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    exit(1);
}

void* xmalloc(size_t size) {
    if (size == 0)
        panic("xmalloc: zero size\n");
    void* p = malloc(size);
    if (p == nullptr)
        panic("xmalloc: out of memory (allocating %zu bytes)\n", size);
    return p;
}

void* xmalloc_aligned(size_t size, size_t alignment) {
    if (size == 0)
        panic("xmalloc_aligned: zero size\n");
    void* p = nullptr;
    if (posix_memalign(&p, alignment, size) != 0 || p == nullptr)
        panic("xmalloc_aligned: out of memory (allocating %zu bytes)\n", size);
    return p;
}

void* xrealloc(void* block, size_t count, size_t size) {
    // Tested before the overflow check so that a zero count never divides; the factors are
    // tested rather than their product, which may wrap to zero.
    if (count == 0 || size == 0)
        panic("xrealloc: zero size\n");
    if (size > SIZE_MAX / count)
        panic("xrealloc: nmemb * size > SIZE_T_MAX\n");
    size_t new_size = count * size;
    void* p = block == nullptr ? malloc(new_size) : realloc(block, new_size);
    if (p == nullptr)
        panic("xrealloc: out of memory (new_size %zu bytes)\n", new_size);
    return p;
}
