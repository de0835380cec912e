// The line protocol: framing of standard input, Base64, event objects and the
// one place where output is written.
#pragma once

#include <cstddef>
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

/// Where `emit` writes: standard output.
extern int output;

/// Status with which the tool ends on a bad command line.
constexpr int statusUsage = 64;
/// Status with which the tool ends when a port name cannot be registered.
constexpr int statusCannotRegister = 65;
/// Status with which the tool ends when nobody reads its output any more.
constexpr int statusOutputClosed = 74;
/// Status with which the tool ends when an input line is too long to hold in memory.
constexpr int statusOutOfMemory = 71;
/// Status with which the tool ends when it starts with too few file descriptors to run.
constexpr int statusOutOfDescriptors = 71;

/// Flags the bytes of `w` (eight bytes of text) that are control characters, quotes or
/// backslashes, one high bit each; the lowest flag is exact, those above it may be false.
inline uint64_t escapeBytes(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    auto zeroByte = [](uint64_t v) { return (v - ones) & ~v & highs; };
    return ((w - ones * 0x20) & ~w & highs) | zeroByte(w ^ (ones * '"')) | zeroByte(w ^ (ones * '\\'));
}

/// Writes one event as one compact JSON line in a single write.
void emit(const EventObject& event);

/// Writes one event already serialised, with its line feed, in a single write.
void emitLine(std::string_view line);

/// Ends the process as soon as standard output's reader goes away, even when no event is due.
void watchOutput();

/// Emits the "error" event with `message` and ends the process with `status`.
[[noreturn]] void fail(const std::string& message, int32_t status);

/// Compact JSON text of an event, without the line feed.
std::string serializeEvent(const EventObject& event);

/// Appends `text` to `out` as a JSON string, repairing invalid UTF-8 on the way.
void appendJsonString(std::string& out, std::string_view text);

/// Appends `text` to `out` with each maximal invalid UTF-8 subpart replaced by U+FFFD.
void appendRepairedUtf8(std::string& out, std::string_view text);

/// Replaces each maximal invalid UTF-8 subpart of `text` with U+FFFD; true when it changed anything.
bool repairUtf8(std::string& text);

/// Standard Base64 with padding and no line breaks.
std::string base64Encode(const uint8_t* bytes, size_t size);

/// Strict standard Base64: alphabet and the right padding only. False leaves `out` empty.
bool base64Decode(std::string_view text, std::vector<uint8_t>& out);

/// Splits a byte stream into lines: a line feed ends a line and is dropped with
/// a carriage return right before it; the rest waits for more bytes.
struct LineSplitter {
    std::string buffer;
    size_t start = 0;
    size_t scanned = 0;

    /// Adds bytes read from the stream.
    void append(const char* bytes, size_t size);
    /// Takes the next complete line, if any.
    bool next(std::string& line);
    /// At end of input: takes the unterminated last line, if any.
    bool rest(std::string& line);
};
