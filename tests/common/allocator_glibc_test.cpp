#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>

#include <thread>

#include "common/allocator.h"
#include "common/file_io.h"
#include "engine/magic_classifier.h"
#include "support/test_support.h"

using AllocatorGlibcTest = TempDirTest;

// For each file it describes, libmagic reads up to its byte limit into one buffer, and the
// file's end into a second: kept in a worker's heap once freed, they would stay resident for as
// long as the worker runs, and memory would grow by their size with each worker.
TEST_F(AllocatorGlibcTest, LibmagicBuffersGoBackToTheSystemOnceAWorkerHasDescribedAFile) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator stands in for the C library's";
#endif
    const size_t limit = 7 << 20;  // libmagic's byte limit by default
    // Data that no rule names, so that every rule is tried, those that read the end too; and
    // text, whose smaller buffers come between the large ones in the heap.
    std::string content(limit + 1024 * 1024, '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    WriteFile(Path("large"), content);
    WriteFile(Path("text"), std::string(300000, 'a') + "\n");

    MapLargeBlocksApart();
    size_t freeBefore = mallinfo2().fordblks;
    size_t freeAfter = 0;
    // As a worker does: its own handle, kept open from one file to the next.
    std::thread worker([&] {
        MagicDatabase database;
        MagicClassifier classifier;
        ASSERT_EQ(classifier.Open(database), "");
        for (const char* name : {"large", "text", "large", "text", "large"}) {
            UniqueFd fd(open(Path(name).c_str(), O_RDONLY));
            struct stat status;
            ASSERT_EQ(fstat(fd.Get(), &status), 0);
            std::string description, error;
            ASSERT_TRUE(classifier.Describe(fd.Get(), status, name, description, error));
            EXPECT_EQ(description.substr(0, 4), name == std::string("large") ? "data" : "ASCI");
        }
        freeAfter = mallinfo2().fordblks;
    });
    worker.join();
    // Without the setting, glibc keeps two of libmagic's buffers in the worker's heap.
    EXPECT_LT(static_cast<double>(freeAfter) - static_cast<double>(freeBefore),
              static_cast<double>(limit) / 2)
        << "bytes freed but kept in the heaps";
}

// Giving back what a heap frees at its end, only to take it again for the next file, would cost
// a system call or two for every file of a few hundred kilobytes.
TEST_F(AllocatorGlibcTest, AHeapKeepsUpToAMegabyteFreeAtItsEnd) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator stands in for the C library's";
#endif
    MapLargeBlocksApart();
    void* volatile block = malloc(512 * 1024);  // volatile: kept, not optimised away
    free(block);
    EXPECT_GE(mallinfo2().keepcost, 512u * 1024);
}
