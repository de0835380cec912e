// JSON strings as the tool writes them: valid UTF-8, with only the escapes that JSON requires.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

/// Flags the bytes of `w` (eight bytes of text) that are control characters, quotes or
/// backslashes, one high bit each; the lowest flag is exact, those above it may be false.
inline uint64_t escapeBytes(uint64_t w) {
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    auto zeroByte = [](uint64_t v) { return (v - ones) & ~v & highs; };
    return ((w - ones * 0x20) & ~w & highs) | zeroByte(w ^ (ones * '"')) | zeroByte(w ^ (ones * '\\'));
}

/// Appends `text` to `out` as a JSON string, repairing invalid UTF-8 on the way.
void appendJsonString(std::string& out, std::string_view text);
