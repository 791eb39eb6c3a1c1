#include <malloc.h>

#include "common/allocator.h"

void ReleaseFreeMemory() {
    malloc_trim(0);
}

void MapLargeBlocksApart() {
    // A fixed threshold: glibc otherwise raises it to the size of each mapped block freed, after
    // which libmagic's read buffer lives in every worker's heap. 4 MiB keeps that buffer (7 MiB
    // by default) mapped apart, while the smaller blocks a worker takes and frees for each file
    // stay in its heap rather than costing a map and an unmap each time.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    // Fixing that threshold also fixes the trim threshold at 128 KiB, where glibc would have
    // raised it with the other: each worker's heap would then be given back and grown again
    // around every file of a few hundred KiB, at a system call or more each time.
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
}
