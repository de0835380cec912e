// Start-up of the tool: the command line, the local ports and the main run loop.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

/// Message id of every request that "send" makes.
extern int32_t messageId;
/// Status that "send" reports when no port has the target name.
extern int32_t statusNotRegistered;
/// The callback installed on every local port.
extern CFMessagePortCallBack incoming;
/// The process's arguments without the program path.
extern std::vector<std::string> arguments;
/// The registered local ports, held for the life of the process.
extern std::vector<CFMessagePortRef> ports;
/// The reader thread, held for the life of the process.
extern std::thread* reader;

/// Returns memory that a drained backlog of commands left free to the system, where the allocator keeps it.
void giveBackFreeMemory();

/// Runs the tool; returns only if the main run loop ever does, with the exit status.
int startUp(int argc, char** argv);
