// What the tool does with its standard input: the bytes are cut into lines (in
// several chunkings, which must agree), each line is repaired to UTF-8 and parsed
// as a command, which is handled (its event caught in memory), its "data" is
// decoded, and events built from its texts are written and read back.
#include <CoreFoundation/CoreFoundation.h>
#include <simdjson.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base64.h"
#include "dispatcher.h"
#include "events.h"
#include "json_string.h"
#include "lines.h"
#include "output.h"
#include "utf8.h"

namespace {

/// Stops the run with a message; libFuzzer keeps the input that did it.
[[noreturn]] void fault(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "fuzz_line: %s: [%.*s]\n", what, int(std::min<size_t>(detail.size(), 400)), detail.data());
    std::abort();
}

void check(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) fault(what, detail);
}

/// A JSON grammar check (RFC 8259) independent of the tool's parser, numbers of any size included.
struct JsonGrammar {
    std::string_view text;
    size_t at = 0;

    bool accept(char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    void space() {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            ++at;
    }
    bool digits() {
        size_t from = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
        return at > from;
    }
    bool number() {
        accept('-');
        if (!accept('0') && !digits()) return false;
        if (accept('.') && !digits()) return false;
        if (accept('e') || accept('E')) {
            if (!accept('+')) accept('-');
            if (!digits()) return false;
        }
        return true;
    }
    int hex4() {
        if (at + 4 > text.size()) return -1;
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = text[at++];
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    }
    bool string() {
        if (!accept('"')) return false;
        while (at < text.size()) {
            auto c = static_cast<unsigned char>(text[at++]);
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (at >= text.size()) return false;
            char e = text[at++];
            if (e == 'u') {
                int u = hex4();
                if (u < 0) return false;
            } else if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) {
                return false;
            }
        }
        return false;
    }
    bool value() {
        space();
        if (at >= text.size()) return false;
        bool ok;
        char c = text[at];
        if (c == '{' || c == '[') {
            ok = c == '{' ? object() : array();
        } else if (c == '"') {
            ok = string();
        } else if (c == 't') {
            ok = literal("true");
        } else if (c == 'f') {
            ok = literal("false");
        } else if (c == 'n') {
            ok = literal("null");
        } else {
            ok = number();
        }
        space();
        return ok;
    }
    bool literal(std::string_view word) {
        if (text.substr(at, word.size()) != word) return false;
        at += word.size();
        return true;
    }
    bool object() {
        accept('{');
        space();
        if (accept('}')) return true;
        do {
            space();
            if (!string()) return false;
            space();
            if (!accept(':') || !value()) return false;
        } while (accept(','));
        return accept('}');
    }
    bool array() {
        accept('[');
        space();
        if (accept(']')) return true;
        do {
            if (!value()) return false;
        } while (accept(','));
        return accept(']');
    }
    /// Whether the whole text is one JSON value, and an object when `objectOnly`.
    bool whole(bool objectOnly) {
        space();
        if (objectOnly && (at >= text.size() || text[at] != '{')) return false;
        return value() && at == text.size();
    }
};

bool isJson(std::string_view text, bool objectOnly) {
    JsonGrammar g{text};
    return g.whole(objectOnly);
}

/// Strict standard Base64, written plainly: the alphabet, then at most two pad characters at the end.
bool referenceBase64(std::string_view text, std::vector<uint8_t>& out) {
    out.clear();
    if (text.size() % 4 != 0) return false;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        return c == '+' ? 62 : c == '/' ? 63 : -1;
    };
    size_t pad = 0;
    while (pad < 2 && pad < text.size() && text[text.size() - 1 - pad] == '=')
        ++pad;
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = 0; i + pad < text.size(); ++i) {
        int v = value(text[i]);
        if (v < 0) return false;
        bits = bits << 6 | uint32_t(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(uint8_t(bits >> count));
        }
    }
    return true;
}

std::vector<std::string> referenceLines(std::string_view input) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t lf; (lf = input.find('\n', from)) != std::string_view::npos; from = lf + 1) {
        size_t end = lf > from && input[lf - 1] == '\r' ? lf - 1 : lf;
        lines.emplace_back(input.substr(from, end - from));
    }
    if (from < input.size()) lines.emplace_back(input.substr(from));
    return lines;
}

/// The lines that LineSplitter gives when the input arrives in pieces of the sizes `piece` picks.
template <typename Piece>
std::vector<std::string> splitterLines(std::string_view input, Piece piece) {
    LineSplitter splitter;
    std::vector<std::string> lines;
    std::string line;
    for (size_t at = 0; at < input.size();) {
        size_t n = std::min(input.size() - at, piece());
        splitter.append(input.data() + at, n);
        at += n;
        while (splitter.next(line))
            lines.push_back(line);
    }
    if (splitter.rest(line)) lines.push_back(line);
    check(!splitter.rest(line) && !splitter.next(line), "splitter gives lines after its end");
    return lines;
}

std::string repaired(std::string_view text) {
    std::string s(text);
    repairUtf8(s);
    return s;
}

/// Writes `event`, checks that it is one line of valid UTF-8 JSON, and returns it parsed back
/// (empty when it echoes an id, whose numbers may lie beyond what the parser here takes).
simdjson::dom::object written(simdjson::dom::parser& parser, const EventObject& event, bool echoesId = false) {
    std::string line = serializeEvent(event);
    check(simdjson::validate_utf8(line.data(), line.size()), "event is not UTF-8", line);
    for (char c : line)
        check(static_cast<unsigned char>(c) >= 0x20, "event holds a control character or line break", line);
    check(isJson(line, true), "event is not a JSON object", line);
    simdjson::dom::object object;
    if (echoesId) return object;
    if (parser.parse(line).get(object)) fault("event does not parse", line);
    check(object.size() == event.size(), "event has other keys than given", line);
    return object;
}

/// Where handle writes, and what the port of this run received.
int gOutput = -1;
std::string gSelfName;
std::vector<std::string> gReceived;

CFDataRef receive(CFMessagePortRef, SInt32, CFDataRef data, void*) {
    gReceived.emplace_back(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), size_t(CFDataGetLength(data)));
    return nullptr;
}

void setUp() {
    gOutput = memfd_create("events", MFD_CLOEXEC);
    check(gOutput >= 0, "no memory file for the events");
    output = gOutput;
    gSelfName = "fuzz.line." + std::to_string(getpid());
    CFStringRef name = CFStringCreateWithCString(nullptr, gSelfName.c_str(), kCFStringEncodingUTF8);
    CFMessagePortRef port = CFMessagePortCreateLocal(nullptr, name, receive, nullptr, nullptr);
    CFRelease(name);
    check(port != nullptr, "cannot register the port of this run");
    CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
    CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopDefaultMode);
    CFRelease(source);
}

/// The one line that handle writes for `command`, without its line feed.
std::string handledLine(const CommandObject& command) {
    check(ftruncate(gOutput, 0) == 0 && lseek(gOutput, 0, SEEK_SET) == 0, "cannot reset the events");
    handle(command);
    // A send that found a queue full (this run's own port, say, after sends that
    // looked once and left) answers from the run loop when its retries end.
    for (int turn = 0; turn < 200 && lseek(gOutput, 0, SEEK_CUR) == 0; ++turn)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
    std::string text(size_t(lseek(gOutput, 0, SEEK_CUR)), '\0');
    check(pread(gOutput, text.data(), text.size(), 0) == ssize_t(text.size()), "cannot read the events");
    check(!text.empty() && text.back() == '\n' && text.find('\n') == text.size() - 1, "handle wrote not one line",
          text);
    text.pop_back();
    return text;
}

/// A command holding the values of `view`, packed as the format says, written
/// apart from the parser so that each checks the other.
CommandObject packCommand(const CommandView& view) {
    CommandObject command;
    command.kind = view.kind;
    command.present = uint8_t((view.target ? hasTarget : 0) | (view.data ? hasData : 0) |
                              (view.timeout ? hasTimeout : 0) | (view.id ? hasId : 0));
    if (!command.present) return command;
    std::string& out = command.packed;
    if (view.timeout) out.append(reinterpret_cast<const char*>(&*view.timeout), sizeof(double));
    out.append(view.target.value_or(""));
    out.append(view.data.value_or(""));
    out.append(view.id.value_or(""));
    size_t before = out.size();
    for (size_t n : {view.target ? view.target->size() : 0, view.data ? view.data->size() : 0}) {
        do {
            out.push_back(char((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
            n >>= 7;
        } while (n);
    }
    out.push_back(char(out.size() - before));
    return command;
}

std::string_view textOf(simdjson::dom::object object, const char* key) {
    std::string_view s;
    if (object[key].get(s)) fault("event value is not a string", key);
    return s;
}

void checkCommand(const std::string& line) {
    static simdjson::dom::parser parser;
    std::string text = repaired(line);
    JsonGrammar grammar{text};
    bool expected = grammar.whole(true);

    CommandObject command;
    bool parsed = parseCommand(line, command);
    check(parsed == expected, parsed ? "non-object line taken" : "object line dropped", text);
    if (!parsed) return;
    CommandView view = viewCommand(command);
    check(packCommand(view).packed == command.packed, "a command packs differently");

    // The echoed id is a compact JSON value that reads back as itself: numbers as written.
    std::string id(view.id.value_or("null"));
    check(isJson(id, false), "echoed id is not JSON", id);
    check(simdjson::validate_utf8(id.data(), id.size()), "echoed id is not UTF-8", id);
    std::string again = "{\"cmd\":\"lookup\",\"id\":" + id + "}";
    CommandObject echoed;
    check(parseCommand(again, echoed) && viewCommand(echoed).id == id, "echoed id does not read back as itself", id);

    // What handle answers, caught in memory. "quit" would end the run; the
    // target "self" stands for a port of this run, which takes the request;
    // time-outs are cut short, since other ports of this user may not answer.
    CommandKind cmd = command.kind;
    bool known = cmd != CommandKind::unknown;
    if (cmd != CommandKind::quit) {
        CommandView handled = view;
        bool self = handled.target == "self";
        if (self) handled.target = gSelfName;
        if (!handled.timeout || *handled.timeout > 0.5) handled.timeout = 0.5;
        gReceived.clear();
        std::string answer = handledLine(packCommand(handled));
        check(isJson(answer, true), "handle wrote no JSON object", answer);
        simdjson::dom::object event;
        if (!parser.parse(answer).get(event)) {
            std::string_view kind = textOf(event, "event");
            if (!known) {
                check(kind == "error" && textOf(event, "message") == "unknown command" && event.size() == 2,
                      "unknown command answered otherwise", answer);
            } else if (cmd == CommandKind::lookup) {
                bool found = false;
                check(kind == "lookup" && event.size() == 3 && !event["found"].get(found) && (found || !self),
                      "lookup answered otherwise", answer);
            } else {
                int64_t status = 0;
                check(kind == "sent" && event.size() == 3 && !event["status"].get(status), "send answered otherwise",
                      answer);
                check(status == 0 || status == -1 || status == -2 || status == -3 || status == -4 || status == -5 ||
                          status == -99,
                      "send reports an unknown status", answer);
                if (self && status == 0) {
                    std::vector<uint8_t> sent;
                    if (view.data) base64Decode(*view.data, sent);
                    // A request that timed out earlier may reach the port in the same turn.
                    std::string bytes(sent.begin(), sent.end());
                    check(std::find(gReceived.begin(), gReceived.end(), bytes) != gReceived.end(),
                          "the request's bytes differ from the data", answer);
                }
            }
        }
    }

    // The payload: strict Base64, as a plain decoder sees it, and back.
    std::vector<uint8_t> payload, reference;
    std::string data(view.data.value_or(""));
    if (view.data) {
        bool ok = base64Decode(data, payload);
        check(ok == referenceBase64(data, reference), "Base64 validity differs", data);
        check(!ok ? payload.empty() : payload == reference, "Base64 bytes differ", data);
    }
    const auto* raw = reinterpret_cast<const uint8_t*>(line.data());
    std::vector<uint8_t> bytes = payload.empty() ? std::vector<uint8_t>(raw, raw + line.size()) : payload;
    std::string base64 = base64Encode(bytes.data(), bytes.size());
    std::vector<uint8_t> back;
    check(base64Decode(base64, back) && back == bytes, "Base64 does not round-trip", base64);

    // Texts from the command go out whole, repaired where they were not UTF-8.
    std::string target(view.target.value_or(id));
    int32_t msgid =
        view.timeout && *view.timeout >= -2147483648.0 && *view.timeout <= 2147483647.0 ? int32_t(*view.timeout) : 1;
    auto message =
        written(parser, {{"event", std::string("message")}, {"port", target}, {"msgid", msgid}, {"data", base64}});
    check(textOf(message, "port") == repaired(target), "port name changed on the way out", target);
    check(textOf(message, "data") == base64, "data changed on the way out", base64);
    int64_t id64 = 0;
    check(!message["msgid"].get(id64) && id64 == msgid, "msgid changed on the way out");

    std::vector<std::string> names = {target, data, line};
    auto ready = written(parser, {{"event", std::string("ready")}, {"ports", names}});
    simdjson::dom::array ports;
    check(!ready["ports"].get(ports) && ports.size() == names.size(), "port list changed on the way out");
    size_t i = 0;
    for (auto port : ports) {
        std::string_view s;
        check(!port.get(s) && s == repaired(names[i++]), "port list entry changed on the way out", s);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (gOutput < 0) setUp();
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines = referenceLines(input);

    check(splitterLines(input, [] { return size_t(-1); }) == lines, "whole input splits differently");
    uint32_t state = uint32_t(size) * 2654435761u + (size ? data[0] : 0);
    auto randomPiece = [&state] {
        state = state * 1103515245u + 12345u;
        return size_t(1 + (state >> 16) % 97);
    };
    check(splitterLines(input, randomPiece) == lines, "input in pieces splits differently");
    if (size <= 4096)
        check(splitterLines(input, [] { return size_t(1); }) == lines, "byte-wise input splits differently");

    for (const std::string& line : lines) {
        std::string fixed = line;
        bool changed = repairUtf8(fixed);
        check(simdjson::validate_utf8(fixed.data(), fixed.size()), "repaired line is not UTF-8", fixed);
        check(changed != simdjson::validate_utf8(line.data(), line.size()), "repair reports the wrong outcome", line);
        check(changed || fixed == line, "repair changed valid UTF-8", line);
        check(!repairUtf8(fixed), "repair is not idempotent", fixed);
        check(fixed.size() <= 3 * line.size(), "repair grew beyond one replacement per byte", line);

        std::string quoted;
        appendJsonString(quoted, line);
        check(isJson(quoted, false), "JSON string is not JSON", quoted);

        std::vector<uint8_t> decoded, reference;
        bool ok = base64Decode(line, decoded);
        check(ok == referenceBase64(line, reference) && (!ok || decoded == reference), "Base64 of a line differs",
              line);

        checkCommand(line);
    }
    return 0;
}
