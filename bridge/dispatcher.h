// The reader thread and the handling of commands on the main thread.
#pragma once

#include <optional>
#include <string>

/// One key of a command object as it arrived.
struct CommandField {
    bool isString = false;
    bool isNumber = false;
    std::string text;
    double number = 0;
};

/// A command object, reduced to the keys that the tool reads (the last one wins
/// when a key repeats); "id" is kept as compact JSON to be echoed.
struct CommandObject {
    CommandField cmd, target, data, timeout;
    std::optional<std::string> id;
};

/// Turns one input line (without its line end) into a command object; false for
/// any line that is not a JSON object. May rewrite `line` (UTF-8 repair).
bool parseCommand(std::string& line, CommandObject& command);

/// Carries out one command on the main thread; "quit" ends the process.
void handle(const CommandObject& command);

/// Body of the reader thread: reads standard input to its end, queueing each command on the main run loop.
void readerBody();
