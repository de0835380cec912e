// The reader thread and the handling of commands on the main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// What a command's "cmd" asks for; `outOfMemory` stands for a line that could not be held.
enum class CommandKind : uint8_t { unknown, quit, lookup, send, outOfMemory };

/// A command object, reduced to the keys that the tool reads (the last one wins
/// when a key repeats) and packed into one string, so that a queued command costs
/// little more than its line. Read it through `viewCommand`.
struct CommandObject {
    CommandKind kind = CommandKind::unknown;
    /// Which of "target", "data" (strings), "timeout" (a number) and "id" arrived.
    uint8_t present = 0;
    /// The timeout when present, the sizes of target and data, then target, data and the id's compact JSON.
    std::string packed;
};

/// A command's values, borrowed from the command they were read from.
struct CommandView {
    CommandKind kind = CommandKind::unknown;
    std::optional<std::string_view> target, data;
    std::optional<double> timeout;
    /// Compact JSON, numbers as written.
    std::optional<std::string_view> id;
};

/// The values of `command`, valid while it lives.
CommandView viewCommand(const CommandObject& command);

/// A command holding the values of `view`.
CommandObject packCommand(const CommandView& view);

/// Turns one input line (without its line end) into a command object; false for
/// any line that is not exactly one JSON object. Any depth of nesting is taken.
bool parseCommand(std::string_view line, CommandObject& command);

/// Carries out one command on the main thread; "quit" ends the process.
void handle(const CommandObject& command);

/// Body of the reader thread: reads standard input to its end, queueing each command on the main run loop.
void readerBody();
