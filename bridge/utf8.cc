#include "utf8.h"

#include <cstdint>
#include <cstring>

#include "simdjson_utf8.h"

namespace {

/// Length of the valid UTF-8 sequence at `s[i]`, or 0 with `bad` set to the
/// length of its maximal invalid subpart.
size_t sequenceAt(const unsigned char* s, size_t size, size_t i, size_t& bad) {
    unsigned char c = s[i];
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
    }
    size_t good = n == 0 ? 0 : 1;
    for (size_t k = 1; k < n && i + k < size; ++k) {
        unsigned char b = s[i + k];
        if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) break;
        ++good;
    }
    if (n != 0 && good == n) return n;
    bad = good == 0 ? 1 : good;
    return 0;
}

}  // namespace

bool validUtf8(std::string_view text) {
    // Most texts here are short and ASCII, where a word-wise look beats the call into the vectorised check.
    if (text.size() >= 256) return utf8Checker().validate_utf8(text.data(), text.size());
    size_t i = 0;
    uint64_t high = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, text.data() + i, 8);
        high |= w;
    }
    for (; i < text.size(); ++i)
        high |= static_cast<unsigned char>(text[i]);
    return (high & 0x8080808080808080ULL) == 0 || utf8Checker().validate_utf8(text.data(), text.size());
}

void appendRepairedUtf8(std::string& out, std::string_view text) {
    if (validUtf8(text)) {
        out.append(text);
        return;
    }
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t size = text.size();
    size_t i = 0, bad = 0;
    out.reserve(out.size() + size + 16);
    while (i < size) {
        if (s[i] < 0x80) {
            out.push_back(char(s[i++]));
        } else if (size_t n = sequenceAt(s, size, i, bad)) {
            out.append(text, i, n);
            i += n;
        } else {
            out.append("\xEF\xBF\xBD");
            i += bad;
        }
    }
}

bool repairUtf8(std::string& text) {
    if (validUtf8(text)) return false;
    std::string out;
    appendRepairedUtf8(out, text);
    text.swap(out);
    return true;
}
