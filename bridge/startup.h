// Start-up of the tool: the command line, the local ports and the main run loop.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

/// Message id of every request that "send" makes.
constexpr int32_t messageId = 1;
/// Status that "send" reports when no port has the target name.
constexpr int32_t statusNotRegistered = -99;

/// Sets the allocator up for payloads of a few MiB, where the platform's allocator lets it.
void tuneMemory();
/// Returns memory that a drained backlog of commands left free to the system, where the allocator keeps it.
void giveBackFreeMemory();

/// Runs the tool; returns only if the main run loop ever does, with the exit status.
int startUp(int argc, char** argv);
