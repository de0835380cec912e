// How the tool's memory follows its backlog, where the platform's allocator lets it.
#pragma once

/// Sets the allocator up for payloads of a few MiB, where the platform's allocator lets it.
void tuneMemory();
/// Returns memory that a drained backlog of commands left free to the system, where the allocator keeps it.
void giveBackFreeMemory();
