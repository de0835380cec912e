// Whole reads and writes on blocking descriptors, for the reference programs.
#pragma once

#include <unistd.h>

#include <cstddef>

/// Writes all `n` bytes; false when the descriptor fails or closes.
inline bool writeAll(int fd, const void* data, size_t n) {
    auto* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

/// Reads exactly `n` bytes; false at the end of input or on failure.
inline bool readAll(int fd, void* data, size_t n) {
    auto* p = static_cast<char*>(data);
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}
