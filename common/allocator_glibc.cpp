#include <malloc.h>

#include "common/allocator.h"

void ReleaseFreeMemory() {
    malloc_trim(0);
}
