// The reader thread and the handling of commands on the main thread.
#pragma once

#include "command.h"

/// Carries out one command on the main thread; "quit" ends the process.
void handle(const CommandObject& command);

/// Body of the reader thread: reads standard input to its end, queueing each command on the main run loop.
void readerBody();
