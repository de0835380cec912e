// The allocator's tuning where it is glibc's.
#include <malloc.h>

#include "memory.h"

namespace {
/// Buffers up to this size come from memory that is kept and reused between messages.
constexpr int kReusedBufferBytes = 24 << 20;
}  // namespace

void tuneMemory() {
    // Payloads of a few MiB pass through several buffers each; taken from fresh
    // mappings every time, their page faults cost more than the copying itself.
    // So such buffers come from the heap, which keeps up to 64 MiB of freed memory
    // for the next message; larger buffers still go back at once.
    mallopt(M_MMAP_THRESHOLD, kReusedBufferBytes);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    // The reader's heap grows in steps this large, not by a system call every few hundred commands.
    mallopt(M_TOP_PAD, 4 << 20);
}

void giveBackFreeMemory() {
    // The heap keeps up to 64 MiB of freed memory for payloads (see tuneMemory); a
    // drained backlog of commands is freed in pieces all over it and would stay.
    malloc_trim(0);
}
