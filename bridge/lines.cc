#include "lines.h"

#include <cstring>

void LineSplitter::append(const char* bytes, size_t size) {
    if (start > 0 && start >= buffer.size() / 2) {
        buffer.erase(0, start);
        scanned -= start;
        start = 0;
    }
    buffer.append(bytes, size);
}

bool LineSplitter::next(std::string& line) {
    const void* lf = std::memchr(buffer.data() + scanned, '\n', buffer.size() - scanned);
    if (!lf) {
        scanned = buffer.size();
        return false;
    }
    size_t end = size_t(static_cast<const char*>(lf) - buffer.data());
    size_t stop = end > start && buffer[end - 1] == '\r' ? end - 1 : end;
    if (start == 0 && 2 * (end + 1) >= buffer.size()) {
        // A line that fills most of the buffer takes the buffer itself; only the bytes
        // after it move, into the storage of the line before, so that no buffer regrows.
        line.swap(buffer);
        buffer.assign(line, end + 1);
        line.resize(stop);
        scanned = 0;
        return true;
    }
    line.assign(buffer, start, stop - start);
    start = scanned = end + 1;
    if (start == buffer.size()) {
        buffer.clear();
        start = scanned = 0;
    }
    return true;
}

bool LineSplitter::rest(std::string& line) {
    if (start >= buffer.size()) return false;
    line.assign(buffer, start, std::string::npos);
    buffer.clear();
    start = scanned = 0;
    return true;
}
