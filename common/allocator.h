// What the program asks of the C library's allocator. libmagic takes and frees buffers of
// several megabytes for every description; an allocator that keeps freed memory in each
// thread's heap then grows each worker by far more than it ever uses at once.
#pragma once

// Gives the heaps' free memory back to the system, where the allocator can be told to.
void ReleaseFreeMemory();

// From now on, every block of 4 MiB or more is mapped on its own and given back to the system
// when freed, where the allocator would otherwise keep it in the heap of the thread that freed
// it; and a heap keeps up to 1 MiB free at its end. For a program whose threads each take such
// blocks again and again.
void MapLargeBlocksApart();
