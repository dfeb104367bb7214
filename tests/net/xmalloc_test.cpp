#include "net/linux_pf_packet/xmalloc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

// Out-of-memory must reach our own message, not the address sanitizer's report.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

TEST(Xmalloc, AllocatesUsableBlocks) {
    auto* p = static_cast<char*>(xmalloc(100));
    memset(p, 1, 100);
    free(p);
    void* a = xmalloc_aligned(1000, 128);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 128, 0u);
    free(a);
    auto* r = static_cast<int*>(xrealloc(nullptr, 4, sizeof(int)));
    r[3] = 42;
    r = static_cast<int*>(xrealloc(r, 1000, sizeof(int)));
    EXPECT_EQ(r[3], 42);
    free(r);
}

TEST(Xmalloc, FailuresEndTheProcessWithTheirMessage) {
    using ::testing::ExitedWithCode;
    EXPECT_EXIT(xmalloc(0), ExitedWithCode(1), "^xmalloc: zero size\n$");
    EXPECT_EXIT(xmalloc(SIZE_MAX / 2), ExitedWithCode(1),
                "xmalloc: out of memory \\(allocating [0-9]+ bytes\\)");
    EXPECT_EXIT(xmalloc_aligned(0, 64), ExitedWithCode(1), "^xmalloc_aligned: zero size\n$");
    EXPECT_EXIT(xmalloc_aligned(SIZE_MAX / 2, 64), ExitedWithCode(1), "xmalloc_aligned: out of memory");
    // A zero count is reported as a zero size, never divided by.
    EXPECT_EXIT(xrealloc(nullptr, 0, 8), ExitedWithCode(1), "^xrealloc: zero size\n$");
    EXPECT_EXIT(xrealloc(nullptr, 8, 0), ExitedWithCode(1), "^xrealloc: zero size\n$");
    EXPECT_EXIT(xrealloc(nullptr, SIZE_MAX / 4, 8), ExitedWithCode(1),
                "xrealloc: nmemb \\* size > SIZE_T_MAX");
    // Factors whose product wraps to zero are an overflow, not a zero size.
    EXPECT_EXIT(xrealloc(nullptr, size_t{1} << 63, 2), ExitedWithCode(1), "nmemb \\* size > SIZE_T_MAX");
    EXPECT_EXIT(xrealloc(nullptr, SIZE_MAX / 16, 8), ExitedWithCode(1),
                "xrealloc: out of memory \\(new_size [0-9]+ bytes\\)");
}

}  // namespace
