// Command objects: an input line checked against JSON's grammar and reduced to
// the keys the tool reads, packed into one string.
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
    /// The timeout when present (a double), then target, data and the id's compact JSON,
    /// then the sizes of target and data (7 bits a byte, low first), then the length of those sizes.
    std::string packed;
};

/// Bits of `CommandObject::present`.
constexpr uint8_t hasTarget = 1, hasData = 2, hasTimeout = 4, hasId = 8;

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

/// Turns one input line (without its line end) into a command object; false for
/// any line that is not exactly one JSON object. Any depth of nesting is taken.
bool parseCommand(std::string_view line, CommandObject& command);
