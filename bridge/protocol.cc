#include "protocol.h"

#include <limits.h>
#include <poll.h>
#include <simdjson.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

int output = 1;

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> decodeTable() {
    std::array<int8_t, 256> t{};
    for (auto& v : t)
        v = -1;
    for (int i = 0; i < 64; ++i)
        t[uint8_t(kAlphabet[i])] = int8_t(i);
    return t;
}
constexpr auto kDecode = decodeTable();

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

/// The vectorised check for this processor, chosen once. simdjson's own choice would
/// follow an environment variable, and an unknown name there fails every check.
const simdjson::implementation& utf8Checker() {
    static const simdjson::implementation* const best =
        simdjson::get_available_implementations().detect_best_supported();
    return *best;
}

/// Whether `text` is valid UTF-8. Most texts here are short and ASCII, where
/// a word-wise look beats the call into the vectorised check.
bool validUtf8(std::string_view text) {
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

/// Writes one whole line given in parts, in one call when the pipe takes it;
/// false only when the reader has gone. Any other failure loses the line, as nothing could report it.
bool writeParts(iovec* parts, size_t count) {
    size_t first = 0;
    while (first < count && parts[first].iov_len == 0)
        ++first;
    while (first < count) {
        // A line in one piece, the usual case, goes out through the plain call.
        ssize_t w = first + 1 == count ? write(output, parts[first].iov_base, parts[first].iov_len)
                                       : writev(output, parts + first, int(std::min<size_t>(count - first, IOV_MAX)));
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // An output left non-blocking by whoever opened it: wait, a half line would break the framing.
                pollfd ready{output, POLLOUT, 0};
                poll(&ready, 1, -1);
                continue;
            }
            return errno != EPIPE;
        }
        for (size_t done = size_t(w); first < count && (done > 0 || parts[first].iov_len == 0); ++first) {
            size_t step = std::min(done, parts[first].iov_len);
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + step;
            parts[first].iov_len -= step;
            done -= step;
            if (parts[first].iov_len > 0) break;
        }
    }
    return true;
}

bool writeLine(const std::string& line) {
    iovec whole{const_cast<char*>(line.data()), line.size()};
    return writeParts(&whole, 1);
}

/// String values at least this long are written from where they lie when they need no escape.
constexpr size_t kWrittenInPlace = size_t(64) << 10;

/// Whether `text` goes between quotes unchanged: valid UTF-8 without quotes, backslashes or control characters.
bool plainJsonText(std::string_view text) {
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, text.data() + i, 8);
        if (escapeBytes(w)) return false;
    }
    for (; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == '"' || c == '\\') return false;
    }
    return validUtf8(text);
}

}  // namespace

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

void appendJsonString(std::string& out, std::string_view text) {
    std::string repaired;
    if (!validUtf8(text)) {
        repaired.assign(text);
        repairUtf8(repaired);
        text = repaired;
    }
    out.reserve(out.size() + text.size() + 2);
    out.push_back('"');
    size_t plain = 0;  // start of the run of characters that need no escape
    for (size_t i = 0; i < text.size(); ++i) {
        // Long runs that need no escape (Base64 above all) are skipped a word at a time.
        while (i + 8 <= text.size()) {
            uint64_t w;
            std::memcpy(&w, text.data() + i, 8);
            if (escapeBytes(w)) break;
            i += 8;
        }
        if (i >= text.size()) break;
        auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, plain, i - plain);
        plain = i + 1;
        switch (c) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            case '\b':
                out.append("\\b");
                break;
            case '\f':
                out.append("\\f");
                break;
            default: {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out.append(esc);
            }
        }
    }
    out.append(text, plain, text.size() - plain);
    out.push_back('"');
}

namespace {

/// Serialises `event` into `out`. With `inPlace`, long string values that need no
/// escape are left out and listed with the offset in `out` where each belongs.
void serializeInto(const EventObject& event, std::string& out,
                   std::vector<std::pair<size_t, std::string_view>>* inPlace) {
    // Room for the whole line up front, so that it never regrows; strings written in place need none.
    size_t room = 8;
    for (const auto& [key, value] : event) {
        room += key.size() + 16;
        if (auto* s = std::get_if<std::string>(&value)) room += inPlace && s->size() >= kWrittenInPlace ? 0 : s->size();
        if (auto* raw = std::get_if<RawJson>(&value))
            room += inPlace && raw->text.size() >= kWrittenInPlace ? 0 : raw->text.size();
        if (auto* list = std::get_if<std::vector<std::string>>(&value))
            for (const auto& item : *list)
                room += item.size() + 3;
    }
    out.reserve(room);
    out.push_back('{');
    bool first = true;
    for (const auto& [key, value] : event) {
        if (!first) out.push_back(',');
        first = false;
        appendJsonString(out, key);
        out.push_back(':');
        if (auto* s = std::get_if<std::string>(&value)) {
            if (inPlace && s->size() >= kWrittenInPlace && plainJsonText(*s)) {
                out.push_back('"');
                inPlace->emplace_back(out.size(), *s);
                out.push_back('"');
            } else {
                appendJsonString(out, *s);
            }
        } else if (auto* n = std::get_if<int32_t>(&value)) {
            out.append(std::to_string(*n));
        } else if (auto* b = std::get_if<bool>(&value)) {
            out.append(*b ? "true" : "false");
        } else if (auto* list = std::get_if<std::vector<std::string>>(&value)) {
            out.push_back('[');
            for (size_t i = 0; i < list->size(); ++i) {
                if (i) out.push_back(',');
                appendJsonString(out, (*list)[i]);
            }
            out.push_back(']');
        } else if (std::string_view raw = std::get<RawJson>(value).text; inPlace && raw.size() >= kWrittenInPlace) {
            inPlace->emplace_back(out.size(), raw);
        } else {
            out.append(raw);
        }
    }
    out.push_back('}');
}

}  // namespace

std::string serializeEvent(const EventObject& event) {
    std::string out;
    serializeInto(event, out, nullptr);
    return out;
}

void emit(const EventObject& event) {
    std::string line;
    std::vector<std::pair<size_t, std::string_view>> inPlace;
    serializeInto(event, line, &inPlace);
    line.push_back('\n');  // the one write below carries the line and its end
    if (inPlace.empty()) {
        // Nobody reads our output any more: there is nothing left to do.
        if (!writeLine(line)) _exit(statusOutputClosed);
        return;
    }
    std::vector<iovec> parts;
    size_t from = 0;
    for (const auto& [at, text] : inPlace) {
        parts.push_back({line.data() + from, at - from});
        parts.push_back({const_cast<char*>(text.data()), text.size()});
        from = at;
    }
    parts.push_back({line.data() + from, line.size() - from});
    if (!writeParts(parts.data(), parts.size())) _exit(statusOutputClosed);
}

void emitLine(std::string_view line) {
    iovec whole{const_cast<char*>(line.data()), line.size()};
    if (!writeParts(&whole, 1)) _exit(statusOutputClosed);
}

void fail(const std::string& message, int32_t status) {
    // The status tells what went wrong even when the line could not be written.
    writeLine(serializeEvent({{"event", std::string("error")}, {"message", message}}) + "\n");
    _exit(status);
}

std::string base64Encode(const uint8_t* bytes, size_t size) {
    std::string out;
    out.resize((size + 2) / 3 * 4);
    char* o = out.data();
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = kAlphabet[v & 63];
    }
    if (size - i == 1) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = '=';
        *o++ = '=';
    } else if (size - i == 2) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8;
        *o++ = kAlphabet[v >> 18];
        *o++ = kAlphabet[(v >> 12) & 63];
        *o++ = kAlphabet[(v >> 6) & 63];
        *o++ = '=';
    }
    return out;
}

bool base64Decode(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    size_t n = text.size();
    if (n % 4 != 0) return false;
    if (n == 0) return true;
    size_t pad = text[n - 1] == '=' ? (text[n - 2] == '=' ? 2 : 1) : 0;
    out.resize(n / 4 * 3 - pad);
    uint8_t* o = out.data();
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t full = pad ? n - 4 : n;
    for (size_t i = 0; i < full; i += 4) {
        int a = kDecode[s[i]], b = kDecode[s[i + 1]], c = kDecode[s[i + 2]], d = kDecode[s[i + 3]];
        if ((a | b | c | d) < 0) {
            out.clear();
            return false;
        }
        uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | uint32_t(d);
        *o++ = uint8_t(v >> 16);
        *o++ = uint8_t(v >> 8);
        *o++ = uint8_t(v);
    }
    if (pad) {
        int a = kDecode[s[n - 4]], b = kDecode[s[n - 3]];
        int c = pad == 1 ? kDecode[s[n - 2]] : 0;
        if ((a | b | c) < 0) {
            out.clear();
            return false;
        }
        uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6;
        *o++ = uint8_t(v >> 16);
        if (pad == 1) *o++ = uint8_t(v >> 8);
    }
    return true;
}

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
