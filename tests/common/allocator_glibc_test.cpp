#include <malloc.h>

#include "common/allocator.h"
#include "support/test_support.h"

// For each file it describes, libmagic takes a buffer of its byte limit and frees it. glibc
// raises its mapping threshold to the size of each mapped block freed, after which such buffers
// stay in the heap of the worker that freed them, and memory grows by their size with each
// worker; with the setting, every one is mapped apart and given back.
TEST(AllocatorGlibcTest, LargeBlocksStayMappedApartAfterOneIsFreed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator stands in for the C library's";
#endif
    MapLargeBlocksApart();
    static void* volatile block = nullptr;
    for (int round = 0; round < 3; ++round) {
        size_t mapped = mallinfo2().hblkhd;
        block = malloc(7 << 20);  // libmagic's byte limit by default
        EXPECT_GE(mallinfo2().hblkhd, mapped + (7 << 20)) << "round " << round;
        free(block);
    }
}
