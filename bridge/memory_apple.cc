// The allocator's tuning on macOS: none. Its allocator returns freed memory by itself
// and offers no knobs like glibc's.
#include "memory.h"

void tuneMemory() {}

void giveBackFreeMemory() {}
