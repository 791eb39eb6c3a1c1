#include <malloc.h>

#include "common/allocator.h"

void ReleaseFreeMemory() {
    malloc_trim(0);
}

void MapLargeBlocksApart() {
    // A fixed threshold: glibc otherwise raises it to the size of each mapped block freed, after
    // which libmagic's read buffer lives in every worker's heap.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
}
