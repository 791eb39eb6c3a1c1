#include "common/allocator.h"

// Allocators other than glibc's (FreeBSD's jemalloc) return freed memory by themselves.
void ReleaseFreeMemory() {}

void MapLargeBlocksApart() {}
