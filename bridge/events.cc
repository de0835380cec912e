#include "events.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

#include "base64.h"
#include "json_string.h"
#include "output.h"
#include "status.h"
#include "utf8.h"

namespace {

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
        emitLine(line);
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
    // Nobody reads our output any more: there is nothing left to do.
    if (!writeParts(parts.data(), parts.size())) _exit(statusOutputClosed);
}

void emitReady(const std::vector<std::string>& ports) { emit({{"event", std::string("ready")}, {"ports", ports}}); }

void emitMessage(std::string port, int32_t msgid, const uint8_t* bytes, size_t size) {
    // Built entry by entry: a braced list would copy the Base64 text, which may be as long as the message.
    EventObject event;
    event.reserve(4);
    event.emplace_back("event", std::string("message"));
    event.emplace_back("port", std::move(port));
    event.emplace_back("msgid", msgid);
    event.emplace_back("data", base64Encode(bytes, size));
    emit(event);
}

void emitLookup(RawJson id, bool found) { emit({{"event", std::string("lookup")}, {"id", id}, {"found", found}}); }

void emitSent(RawJson id, int32_t status) { emit({{"event", std::string("sent")}, {"id", id}, {"status", status}}); }

void emitUnknownCommand() {
    // Written once: a stream of unknown commands should cost a write each, little more.
    static const std::string line =
        serializeEvent({{"event", std::string("error")}, {"message", std::string("unknown command")}}) + "\n";
    emitLine(line);
}

void fail(const std::string& message, int32_t status) {
    // The status tells what went wrong even when the line could not be written.
    std::string line = serializeEvent({{"event", std::string("error")}, {"message", message}}) + "\n";
    iovec whole{line.data(), line.size()};
    writeParts(&whole, 1);
    _exit(status);
}
