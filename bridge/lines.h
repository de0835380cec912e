// The framing of standard input: one command a line.
#pragma once

#include <cstddef>
#include <string>

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
