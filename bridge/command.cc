#include "command.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "json_string.h"
#include "utf8.h"

namespace {

/// The top-level keys that the tool reads, in the order of a line's spans.
enum Key { keyCmd, keyTarget, keyData, keyTimeout, keyId, keyCount, keyOther = keyCount };

/// Where the value of a top-level key lies in its line (the last one, when a key repeats).
struct ValueSpan {
    const char* begin = nullptr;
    const char* end = nullptr;
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// The four hex digits at `p`, or -1.
int hex4(const char* p) {
    int a = hexValue(p[0]), b = hexValue(p[1]), c = hexValue(p[2]), d = hexValue(p[3]);
    return (a | b | c | d) < 0 ? -1 : a << 12 | b << 8 | c << 4 | d;
}

/// The first quote, backslash or control character from `p` on, or `end`.
const char* plainRunEnd(const char* p, const char* end) {
    while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if (uint64_t hit = escapeBytes(w)) return p + __builtin_ctzll(hit) / 8;
        p += 8;
    }
    while (p < end && static_cast<unsigned char>(*p) >= 0x20 && *p != '"' && *p != '\\')
        ++p;
    return p;
}

/// The character that a one-letter escape stands for, or 0 when it is none.
char simpleEscape(char e) {
    switch (e) {
        case '"':
        case '\\':
        case '/':
            return e;
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return 0;
    }
}

/// Moves `p` past the string that starts at it; false when it is not one.
/// Bytes that are not UTF-8 pass: they are repaired where a value is taken.
bool skipString(const char*& p, const char* end) {
    ++p;
    for (;;) {
        p = plainRunEnd(p, end);
        if (p == end) return false;
        if (*p == '"') {
            ++p;
            return true;
        }
        if (*p != '\\' || end - p < 2) return false;
        if (p[1] == 'u') {
            if (end - p < 6 || hex4(p + 2) < 0) return false;
            p += 6;
        } else {
            if (!simpleEscape(p[1])) return false;
            p += 2;
        }
    }
}

bool skipNumber(const char*& p, const char* end) {
    auto digits = [&] {
        const char* from = p;
        while (p < end && isDigit(*p))
            ++p;
        return p > from;
    };
    if (*p == '-') ++p;
    if (p == end) return false;
    if (*p == '0') {
        ++p;
    } else if (!digits()) {
        return false;
    }
    if (p < end && *p == '.') {
        ++p;
        if (!digits()) return false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        if (!digits()) return false;
    }
    return true;
}

bool skipLiteral(const char*& p, const char* end, std::string_view word) {
    if (size_t(end - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0) return false;
    p += word.size();
    return true;
}

/// Which key `name` (unescaped) is.
int keyNamed(std::string_view name) {
    auto is = [&](const char* key, size_t size) { return name.size() == size && !std::memcmp(name.data(), key, size); };
    switch (name.size()) {
        case 2:
            return is("id", 2) ? keyId : keyOther;
        case 3:
            return is("cmd", 3) ? keyCmd : keyOther;
        case 4:
            return is("data", 4) ? keyData : keyOther;
        case 6:
            return is("target", 6) ? keyTarget : keyOther;
        case 7:
            return is("timeout", 7) ? keyTimeout : keyOther;
        default:
            return keyOther;
    }
}

/// Which key the content of a key string (between its quotes, valid) names.
int keyOf(std::string_view raw) {
    if (raw.find('\\') == std::string_view::npos) return keyNamed(raw);
    char name[8];
    size_t n = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (n == sizeof name) return keyOther;
        char c = raw[i];
        if (c == '\\') {
            if (raw[++i] == 'u') {
                int v = hex4(raw.data() + i + 1);
                if (v >= 0x80) return keyOther;
                c = char(v);
                i += 4;
            } else {
                c = simpleEscape(raw[i]);
            }
        }
        name[n++] = c;
    }
    return keyNamed(std::string_view(name, n));
}

/// Moves `p` past any whitespace.
void skipSpace(const char*& p, const char* end) {
    while (p < end && isSpace(*p))
        ++p;
}

/// The containers around the scan: how deep it is, and one bit per level, set for an
/// array, 64 levels a word. Nesting is followed with these bits, not the stack.
struct Nesting {
    std::vector<uint64_t>& arrays;  // bit n: whether the container at depth n + 1 is an array
    size_t depth = 0;
};

void openContainer(Nesting& nesting, bool array) {
    if (nesting.depth % 64 == 0) nesting.arrays.push_back(0);
    if (array) nesting.arrays.back() |= uint64_t(1) << (nesting.depth % 64);
    ++nesting.depth;
}

void closeContainer(Nesting& nesting) {
    --nesting.depth;
    if (nesting.depth % 64 == 0) {
        nesting.arrays.pop_back();
    } else {
        nesting.arrays.back() &= ~(uint64_t(1) << (nesting.depth % 64));
    }
}

bool inArray(const Nesting& nesting) { return (nesting.arrays.back() >> ((nesting.depth - 1) % 64)) & 1; }

/// What the scan looks for next.
enum class Expect { key, value, afterValue };

/// Moves `p` past a key string and its colon; `key`, null below the top level, learns which key it is.
bool scanKey(const char*& p, const char* end, int* key) {
    skipSpace(p, end);
    if (p == end || *p != '"') return false;
    const char* from = p;
    if (!skipString(p, end)) return false;
    if (key) *key = keyOf(std::string_view(from + 1, size_t(p - from - 2)));
    skipSpace(p, end);
    if (p == end || *p != ':') return false;
    ++p;
    return true;
}

/// Moves `p` past the string, literal or number that starts at it; false when none does.
bool skipScalar(const char*& p, const char* end) {
    char c = *p;
    if (c == '"') return skipString(p, end);
    if (c == 't') return skipLiteral(p, end, "true");
    if (c == 'f') return skipLiteral(p, end, "false");
    if (c == 'n') return skipLiteral(p, end, "null");
    if (c == '-' || isDigit(c)) return skipNumber(p, end);
    return false;
}

/// Moves `p` (before `end`) past a scalar or an empty container, or into a container,
/// whose content `next` then expects.
bool enterValue(const char*& p, const char* end, Nesting& nesting, Expect& next) {
    char c = *p;
    next = Expect::afterValue;
    if (c != '{' && c != '[') return skipScalar(p, end);
    ++p;
    openContainer(nesting, c == '[');
    skipSpace(p, end);
    if (p < end && *p == (c == '{' ? '}' : ']')) {
        ++p;
        closeContainer(nesting);
    } else {
        next = c == '{' ? Expect::key : Expect::value;
    }
    return true;
}

/// Moves `p` past what follows a value in its container: a comma, after which `next`
/// expects the next member, or the container's end, after which it still expects what follows a value.
bool leaveValue(const char*& p, const char* end, Nesting& nesting, Expect& next) {
    skipSpace(p, end);
    if (p == end) return false;
    bool array = inArray(nesting);
    if (*p == ',') {
        ++p;
        next = array ? Expect::value : Expect::key;
        return true;
    }
    if (*p != (array ? ']' : '}')) return false;
    ++p;
    closeContainer(nesting);
    return true;
}

/// Checks that `line` is exactly one JSON object (RFC 8259) and finds the values
/// of its top-level keys.
bool scanLine(std::string_view line, ValueSpan (&spans)[keyCount]) {
    const char* p = line.data();
    const char* end = p + line.size();
    thread_local std::vector<uint64_t> arrays;
    struct Trim {
        ~Trim() {
            if (arrays.capacity() > 4096) std::vector<uint64_t>().swap(arrays);
        }
    } trim;
    arrays.clear();
    Nesting nesting{arrays, 0};

    skipSpace(p, end);
    if (p == end || *p != '{') return false;
    Expect next = Expect::afterValue;
    enterValue(p, end, nesting, next);
    int key = keyOther;
    const char* valueBegin = nullptr;
    for (;;) {
        switch (next) {
            case Expect::key:
                if (!scanKey(p, end, nesting.depth == 1 ? &key : nullptr)) return false;
                next = Expect::value;
                break;
            case Expect::value:
                skipSpace(p, end);
                if (p == end) return false;
                if (nesting.depth == 1) valueBegin = p;
                if (!enterValue(p, end, nesting, next)) return false;
                break;
            case Expect::afterValue:
                if (nesting.depth == 0) {
                    skipSpace(p, end);
                    return p == end;
                }
                if (nesting.depth == 1 && key != keyOther) spans[key] = {valueBegin, p};
                if (!leaveValue(p, end, nesting, next)) return false;
                break;
        }
    }
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | cp >> 6));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | cp >> 12));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | cp >> 18));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

/// The code point of the \u escape at `p` (valid), taking a low surrogate escape
/// after a high one along; a lone surrogate gives U+FFFD. `length` is the escapes' size.
uint32_t unicodeEscape(const char* p, const char* end, size_t& length) {
    uint32_t v = uint32_t(hex4(p + 2));
    length = 6;
    if (v >= 0xD800 && v <= 0xDBFF && end - p >= 12 && p[6] == '\\' && p[7] == 'u') {
        int low = hex4(p + 8);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            length = 12;
            return 0x10000 + ((v - 0xD800) << 10) + uint32_t(low - 0xDC00);
        }
    }
    return v >= 0xD800 && v <= 0xDFFF ? 0xFFFD : v;
}

/// Appends the text of a JSON string given by its content (between the quotes, valid).
void appendUnescaped(std::string& out, std::string_view raw) {
    const char* p = raw.data();
    const char* end = p + raw.size();
    while (p < end) {
        const char* slash = static_cast<const char*>(std::memchr(p, '\\', size_t(end - p)));
        const char* runEnd = slash ? slash : end;
        appendRepairedUtf8(out, std::string_view(p, size_t(runEnd - p)));
        p = runEnd;
        if (!slash) break;
        if (p[1] == 'u') {
            size_t length;
            appendUtf8(out, unicodeEscape(p, end, length));
            p += length;
        } else {
            out.push_back(simpleEscape(p[1]));
            p += 2;
        }
    }
}

/// Appends the JSON value `raw` (valid) without the whitespace between its tokens.
/// Numbers and strings stay as written, so every number keeps its exact value;
/// only bytes that are not UTF-8 and lone surrogate escapes become U+FFFD.
void appendCompactJson(std::string& out, std::string_view raw) {
    const char* p = raw.data();
    const char* end = p + raw.size();
    while (p < end) {
        if (isSpace(*p)) {
            ++p;
        } else if (*p != '"') {
            const char* from = p;
            while (p < end && !isSpace(*p) && *p != '"')
                ++p;
            out.append(from, size_t(p - from));
        } else {
            out.push_back('"');
            ++p;
            for (;;) {
                const char* runEnd = plainRunEnd(p, end);
                appendRepairedUtf8(out, std::string_view(p, size_t(runEnd - p)));
                p = runEnd;
                if (*p == '"') break;
                size_t length = 2;
                if (p[1] == 'u' && unicodeEscape(p, end, length) == 0xFFFD && hex4(p + 2) != 0xFFFD) {
                    out.append("\\ufffd");
                } else {
                    out.append(p, length);
                }
                p += length;
            }
            out.push_back('"');
            ++p;
        }
    }
}

void appendSize(std::string& out, size_t n) {
    do {
        out.push_back(char((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
        n >>= 7;
    } while (n);
}

size_t readSize(const char*& p) {
    size_t n = 0;
    for (int shift = 0;; shift += 7) {
        auto b = static_cast<unsigned char>(*p++);
        n |= size_t(b & 0x7F) << shift;
        if (!(b & 0x80)) return n;
    }
}

/// Appends the sizes of target and data and the length of this trailer, which ends a packed command.
void appendTrailer(std::string& out, size_t targetSize, size_t dataSize) {
    size_t before = out.size();
    appendSize(out, targetSize);
    appendSize(out, dataSize);
    out.push_back(char(out.size() - before));
}

CommandKind kindOf(std::string_view cmd) {
    if (cmd == "quit") return CommandKind::quit;
    if (cmd == "lookup") return CommandKind::lookup;
    if (cmd == "send") return CommandKind::send;
    return CommandKind::unknown;
}

}  // namespace

CommandView viewCommand(const CommandObject& command) {
    CommandView view;
    view.kind = command.kind;
    const std::string& packed = command.packed;
    if (packed.empty()) return view;
    const char* p = packed.data();
    if (command.present & hasTimeout) {
        double timeout;
        std::memcpy(&timeout, p, sizeof timeout);
        view.timeout = timeout;
        p += sizeof timeout;
    }
    size_t trailer = static_cast<unsigned char>(packed.back());
    const char* sizes = packed.data() + packed.size() - 1 - trailer;
    size_t targetSize = readSize(sizes), dataSize = readSize(sizes);
    if (command.present & hasTarget) view.target = std::string_view(p, targetSize);
    p += targetSize;
    if (command.present & hasData) view.data = std::string_view(p, dataSize);
    p += dataSize;
    if (command.present & hasId) view.id = std::string_view(p, size_t(packed.data() + packed.size() - 1 - trailer - p));
    return view;
}

bool parseCommand(std::string_view line, CommandObject& command) {
    ValueSpan spans[keyCount];
    if (!scanLine(line, spans)) return false;
    auto raw = [&](Key key) { return std::string_view(spans[key].begin, size_t(spans[key].end - spans[key].begin)); };
    auto isString = [&](Key key) { return spans[key].begin && *spans[key].begin == '"'; };
    auto content = [&](Key key) { return raw(key).substr(1, raw(key).size() - 2); };

    command = CommandObject();
    if (isString(keyCmd)) {
        std::string_view cmd = content(keyCmd);
        // No command word is longer than this, however it is escaped.
        if (cmd.find('\\') != std::string_view::npos && cmd.size() <= 36) {
            std::string text;
            appendUnescaped(text, cmd);
            command.kind = kindOf(text);
        } else {
            command.kind = kindOf(cmd);
        }
    }
    // An unknown command is answered without any of its values.
    if (command.kind == CommandKind::unknown) return true;
    char first = spans[keyTimeout].begin ? *spans[keyTimeout].begin : 0;
    command.present = uint8_t((isString(keyTarget) ? hasTarget : 0) | (isString(keyData) ? hasData : 0) |
                              (first == '-' || isDigit(first) ? hasTimeout : 0) | (spans[keyId].begin ? hasId : 0));
    if (!command.present) return true;

    std::string& out = command.packed;
    // Room for all, so that a long value never regrows; a short command stays inside the string itself.
    size_t room = (command.present & hasTimeout ? sizeof(double) : 0) + 3;
    for (Key key : {keyTarget, keyData, keyId})
        room += raw(key).size();
    if (room > 15) out.reserve(room + 18);
    if (command.present & hasTimeout) {
        double timeout = std::strtod(std::string(raw(keyTimeout)).c_str(), nullptr);
        out.append(reinterpret_cast<const char*>(&timeout), sizeof timeout);
    }
    size_t sizes[2] = {0, 0};
    for (Key key : {keyTarget, keyData}) {
        if (!isString(key)) continue;
        size_t before = out.size();
        appendUnescaped(out, content(key));
        sizes[key == keyData] = out.size() - before;
    }
    if (command.present & hasId) appendCompactJson(out, raw(keyId));
    appendTrailer(out, sizes[0], sizes[1]);
    return true;
}
