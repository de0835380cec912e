// Events: the objects the tool writes, one compact JSON line each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

/// JSON text carried over unchanged from a command (an echoed "id"), borrowed from it.
struct RawJson {
    std::string_view text;
};

/// One value of an event object.
using EventValue = std::variant<std::string, int32_t, bool, std::vector<std::string>, RawJson>;

/// An event object: its keys in the order in which they are written.
using EventObject = std::vector<std::pair<std::string, EventValue>>;

/// Compact JSON text of an event, without the line feed.
std::string serializeEvent(const EventObject& event);

/// Writes one event as one compact JSON line in a single write.
void emit(const EventObject& event);

/// Emits the "error" event with `message` and ends the process with `status`.
[[noreturn]] void fail(const std::string& message, int32_t status);

// Each event the tool writes, in one place.

/// "ready", once every port in `ports` is registered.
void emitReady(const std::vector<std::string>& ports);
/// "message": `size` bytes from `port` with `msgid`.
void emitMessage(std::string port, int32_t msgid, const uint8_t* bytes, size_t size);
/// "lookup": whether the target of the command `id` was found.
void emitLookup(RawJson id, bool found);
/// "sent": the status of the send `id`.
void emitSent(RawJson id, int32_t status);
/// The "error" event of a command without a known "cmd".
void emitUnknownCommand();
