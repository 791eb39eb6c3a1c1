// What the program asks of the C library's allocator. libmagic takes and frees buffers of
// several megabytes for every description; an allocator that keeps freed memory in each
// thread's heap then grows each worker by far more than it ever uses at once.
#pragma once

// Gives the heaps' free memory back to the system, where the allocator can be told to.
void ReleaseFreeMemory();
