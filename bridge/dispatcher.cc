#include "dispatcher.h"

#include <poll.h>
#include <simdjson.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "cfref.h"
#include "objc_bridge.h"
#include "protocol.h"
#include "startup.h"

namespace {

/// How far the reader may run ahead of the main thread. Commands are not waited
/// for one by one, but a stalled send must not let the whole input pile up in memory.
constexpr size_t kQueuedBytesLimit = size_t(16) << 20;
constexpr size_t kQueuedCommandsLimit = 4096;

/// Above this, a line's buffer is given back as soon as the line is parsed; below,
/// it carries the next long line without regrowing (a fresh buffer costs a page fault per page).
constexpr size_t kKeptLineCapacity = size_t(24) << 20;
/// After a line longer than this the parser's buffers, as large as the line, are given back too.
constexpr size_t kKeptParserLine = size_t(16) << 20;

/// Commands parsed from one read are handed over together, so a fast input costs
/// one lock and one wake-up per batch, not per line; a read never holds any back.
constexpr size_t kBatchCommands = 64;
constexpr size_t kBatchBytes = size_t(1) << 20;

/// Commands (a null one is the end of input) with the sizes of their lines.
using Batch = std::vector<std::pair<std::unique_ptr<CommandObject>, size_t>>;

/// Commands read and not yet started, oldest first; a null entry is the end of
/// input. The run loop's blocks only say "start the next one", so commands
/// start in the order of their lines whatever order a run loop gives its blocks.
std::mutex queueLock;
std::condition_variable queueRoom;
std::deque<std::pair<std::unique_ptr<CommandObject>, size_t>> pending;
size_t queuedBytes = 0;

/// Whether the queue has drained to half its limits; called with queueLock held.
bool halfEmpty() {
    return pending.empty() || (queuedBytes <= kQueuedBytesLimit / 2 && pending.size() <= kQueuedCommandsLimit / 2);
}

/// Commands can nest inside a waiting send only this deep; the main thread's stack stays small.
constexpr int kCommandNestingLimit = 8;
/// Commands in progress on the main thread, one inside the other's wait.
int commandDepth = 0;
/// Blocks that came while the nesting was full; each still owes one start.
int deferredStarts = 0;
/// Starts still owed by the block that runs innermost; none outside blocks.
int* owedStarts = nullptr;

/// Whether `token` is a number by the JSON grammar, whatever its size.
bool isJsonNumber(std::string_view t) {
    auto digit = [&](size_t i) { return i < t.size() && t[i] >= '0' && t[i] <= '9'; };
    size_t i = 0;
    if (i < t.size() && t[i] == '-') ++i;
    if (!digit(i)) return false;
    if (t[i++] != '0') {
        while (digit(i))
            ++i;
    }
    if (i < t.size() && t[i] == '.') {
        if (!digit(++i)) return false;
        while (digit(i))
            ++i;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        if (!digit(i)) return false;
        while (digit(i))
            ++i;
    }
    return i == t.size();
}

/// Rewrites every number of `line` as a string `tag` + its text, so that numbers
/// beyond a double or a 64-bit integer still parse; false when one is not a number
/// at all, or stands where JSON has no value (a number as a key would turn into a string key).
bool quoteNumbers(std::string& line, const std::string& tag) {
    std::string out;
    out.reserve(line.size() + 64);
    std::string open;   // 'o' for each object, 'a' for each array around the current place
    char previous = 0;  // the last token before the current place: a structural character, or 'v' for a value
    for (size_t i = 0; i < line.size();) {
        char c = line[i];
        if (c == '"') {
            size_t end = i + 1;
            while (end < line.size() && line[end] != '"')
                end += line[end] == '\\' ? 2 : 1;
            end = std::min(end + 1, line.size());
            out.append(line, i, end - i);
            i = end;
            previous = 'v';
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            bool valuePlace =
                previous == ':' || previous == '[' || (previous == ',' && !open.empty() && open.back() == 'a');
            size_t end = i;
            while (end < line.size() && std::strchr("0123456789+-.eE", line[end]) && line[end] != '\0')
                ++end;
            std::string_view token(line.data() + i, end - i);
            if (!valuePlace || !isJsonNumber(token)) return false;
            out.append("\"").append(tag).append(token).append("\"");
            i = end;
            previous = 'v';
        } else {
            if (c == '{' || c == '[') open.push_back(c == '{' ? 'o' : 'a');
            if ((c == '}' || c == ']') && !open.empty()) open.pop_back();
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') previous = c == '}' || c == ']' ? 'v' : c;
            out.push_back(c);
            ++i;
        }
    }
    line.swap(out);
    return true;
}

/// A tag that the line does not hold, to mark the numbers that quoteNumbers carries as strings.
std::string freshTag(const std::string& line) {
    static std::mt19937_64 random{std::random_device{}()};
    std::string tag;
    do {
        char text[24];
        std::snprintf(text, sizeof text, "#%016llx:", static_cast<unsigned long long>(random()));
        tag = text;
    } while (line.find(tag) != std::string::npos);
    return tag;
}

/// The number text that a tagged string carries, if it is one.
std::optional<std::string_view> taggedNumber(std::string_view text, const std::string& tag) {
    if (tag.empty() || text.substr(0, tag.size()) != tag) return std::nullopt;
    return text.substr(tag.size());
}

/// Compact JSON of `value`, with tagged numbers given back as the text that arrived.
void appendJson(std::string& out, simdjson::dom::element value, const std::string& tag) {
    switch (value.type()) {
        case simdjson::dom::element_type::ARRAY: {
            out.push_back('[');
            bool first = true;
            simdjson::dom::array items = value.get_array().value_unsafe();
            for (simdjson::dom::element item : items) {
                if (!first) out.push_back(',');
                first = false;
                appendJson(out, item, tag);
            }
            out.push_back(']');
            break;
        }
        case simdjson::dom::element_type::OBJECT: {
            out.push_back('{');
            bool first = true;
            simdjson::dom::object fields = value.get_object().value_unsafe();
            for (auto [key, item] : fields) {
                if (!first) out.push_back(',');
                first = false;
                appendJsonString(out, key);
                out.push_back(':');
                appendJson(out, item, tag);
            }
            out.push_back('}');
            break;
        }
        case simdjson::dom::element_type::STRING: {
            std::string_view text = value.get_string().value_unsafe();
            if (auto number = taggedNumber(text, tag)) {
                out.append(*number);
            } else {
                appendJsonString(out, text);
            }
            break;
        }
        default:
            out.append(simdjson::to_string(value));
    }
}

void readField(simdjson::dom::element value, CommandField& field, const std::string& tag) {
    field = CommandField();
    switch (value.type()) {
        case simdjson::dom::element_type::STRING:
            if (auto number = taggedNumber(value.get_string().value_unsafe(), tag)) {
                field.isNumber = true;
                field.number = std::strtod(std::string(*number).c_str(), nullptr);
                break;
            }
            field.isString = true;
            field.text = std::string(value.get_string().value_unsafe());
            break;
        case simdjson::dom::element_type::INT64:
            field.isNumber = true;
            field.number = double(value.get_int64().value_unsafe());
            break;
        case simdjson::dom::element_type::UINT64:
            field.isNumber = true;
            field.number = double(value.get_uint64().value_unsafe());
            break;
        case simdjson::dom::element_type::DOUBLE:
            field.isNumber = true;
            field.number = value.get_double().value_unsafe();
            break;
        default:
            break;
    }
}

/// Starts the oldest pending command on the main thread.
void startOne() {
    std::unique_ptr<CommandObject> command;
    bool roomy;
    {
        std::lock_guard<std::mutex> hold(queueLock);
        command = std::move(pending.front().first);
        queuedBytes -= pending.front().second;
        pending.pop_front();
        roomy = halfEmpty();
    }
    if (roomy) queueRoom.notify_one();
    if (!command) _exit(0);  // end of input: every command before it has started
    ++commandDepth;
    handle(*command);
    --commandDepth;
}

/// Whether the oldest pending command never runs the loop again: anything but a
/// "send", and the end of input.
bool nextNeverWaits() {
    std::lock_guard<std::mutex> hold(queueLock);
    if (pending.empty()) return false;
    const CommandObject* next = pending.front().first.get();
    return !next || !next->cmd.isString || next->cmd.text != "send";
}

/// Body of every queued block: `count` starts, one per command of its batch.
/// Each start takes the oldest pending command, so order holds whichever block runs it.
void startNext(int count) {
    if (commandDepth >= kCommandNestingLimit) {
        deferredStarts += count;  // an outer command picks them up once its wait is over
        // What needs no room to nest starts at once: a send waiting out a long
        // time-out must not hold up lookups, or the end of input, queued behind it.
        while (deferredStarts > 0 && nextNeverWaits()) {
            --deferredStarts;
            startOne();
        }
        return;
    }
    int* outer = owedStarts;
    owedStarts = &count;
    while (count > 0) {
        --count;
        startOne();
    }
    owedStarts = outer;
    while (deferredStarts > 0 && commandDepth < kCommandNestingLimit) {
        --deferredStarts;
        startOne();
    }
}

/// Before a command waits: the starts its block still owes go back to the run
/// loop, so that the commands after it are handled during the wait, not after it.
void handOverOwedStarts() {
    CFRunLoopRef main = CFRunLoopGetMain();
    // Starts deferred at the nesting limit get their turn in this wait as well, or
    // the end of input behind them would wait out the whole time-out.
    if (deferredStarts > 0)
        withAutoreleasePool([main] { CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [] { startNext(0); }); });
    if (!owedStarts || *owedStarts == 0) return;
    int count = *owedStarts;
    *owedStarts = 0;
    withAutoreleasePool(
        [main, count] { CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [count] { startNext(count); }); });
}

/// Hands the commands of `batch` (a null one is the end of input) to the main thread, and empties it.
void queueCommands(Batch& batch) {
    if (batch.empty()) return;
    int count = int(batch.size());
    {
        std::unique_lock<std::mutex> hold(queueLock);
        // A full queue is refilled only once it has half emptied: one wake-up per
        // many commands instead of a hand-to-hand exchange on every one.
        if (!pending.empty() && (queuedBytes >= kQueuedBytesLimit || pending.size() >= kQueuedCommandsLimit))
            queueRoom.wait(hold, halfEmpty);
        for (auto& entry : batch) {
            queuedBytes += entry.second;
            pending.push_back(std::move(entry));
        }
    }
    batch.clear();
    CFRunLoopRef main = CFRunLoopGetMain();
    // On macOS the lambda becomes an autoreleased block: drain it here, not at the thread's end.
    withAutoreleasePool(
        [main, count] { CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [count] { startNext(count); }); });
    CFRunLoopWakeUp(main);
}

/// Parses one line into `batch`, handing the batch over once it is full.
void queueLine(std::string& line, Batch& batch, size_t& batchBytes) {
    auto command = std::make_unique<CommandObject>();
    size_t size = line.size();
    if (!parseCommand(line, *command)) return;
    batch.emplace_back(std::move(command), size);
    batchBytes += size;
    if (batch.size() >= kBatchCommands || batchBytes >= kBatchBytes) {
        queueCommands(batch);
        batchBytes = 0;
    }
}

void emitSent(const RawJson& id, int32_t status) {
    emit({{"event", std::string("sent")}, {"id", id}, {"status", status}});
}

void send(const CommandObject& command, const RawJson& id, CFStringRef target) {
    CFOwned<CFMessagePortRef> remote(target ? CFMessagePortCreateRemote(kCFAllocatorDefault, target) : nullptr);
    if (!remote.get()) {
        emitSent(id, statusNotRegistered);
        return;
    }
    std::vector<uint8_t> payload;
    if (command.data.isString) base64Decode(command.data.text, payload);
    double timeout = command.timeout.isNumber ? command.timeout.number : 5.0;
    CFOwned<CFDataRef> data(CFDataCreate(kCFAllocatorDefault, payload.data(), CFIndex(payload.size())));
    payload = {};
    CFDataRef reply = nullptr;
    handOverOwedStarts();
    SInt32 status =
        CFMessagePortSendRequest(remote.get(), messageId, data.get(), timeout, timeout, kCFRunLoopDefaultMode, &reply);
    if (reply) CFRelease(reply);
    emitSent(id, status);
}

}  // namespace

bool parseCommand(std::string& line, CommandObject& command) {
    thread_local simdjson::dom::parser parser;
    // The parser keeps buffers the size of the longest line it has seen: a long line's go with it.
    struct Shrink {
        bool large;
        ~Shrink() {
            if (large) parser = simdjson::dom::parser();
        }
    } shrink{line.size() > kKeptParserLine};
    repairUtf8(line);
    simdjson::dom::object object;
    auto parse = [&] {
        line.reserve(line.size() + simdjson::SIMDJSON_PADDING);
        return parser.parse(simdjson::padded_string_view(line.data(), line.size(), line.capacity())).get(object);
    };
    std::string tag;  // empty unless numbers travel as tagged strings
    simdjson::error_code error = parse();
    if (error == simdjson::NUMBER_ERROR) {
        // Valid JSON may hold numbers beyond a double or a 64-bit integer; such a
        // command is still a command, and its "id" comes back as it was written.
        tag = freshTag(line);
        if (quoteNumbers(line, tag)) error = parse();
    }
    // The parsed document holds its own copy of every string: a long line is no longer needed.
    if (line.capacity() > kKeptLineCapacity) std::string().swap(line);
    if (error) return false;
    for (auto [key, value] : object) {
        if (key == "cmd") {
            readField(value, command.cmd, tag);
        } else if (key == "target") {
            readField(value, command.target, tag);
        } else if (key == "data") {
            readField(value, command.data, tag);
        } else if (key == "timeout") {
            readField(value, command.timeout, tag);
        } else if (key == "id") {
            std::string id;
            appendJson(id, value, tag);
            command.id = std::move(id);
        }
    }
    return true;
}

void handle(const CommandObject& command) {
    RawJson id{command.id ? *command.id : "null"};
    const std::string& cmd = command.cmd.text;
    if (!command.cmd.isString || (cmd != "quit" && cmd != "lookup" && cmd != "send")) {
        // Built once: a stream of unknown commands should cost a write each, little more.
        static const EventObject unknownCommand{{"event", std::string("error")},
                                                {"message", std::string("unknown command")}};
        emit(unknownCommand);
        return;
    }
    if (cmd == "quit") _exit(0);
    CFOwned<CFStringRef> target(stringToCF(command.target.isString ? command.target.text : std::string()));
    if (cmd == "lookup") {
        CFOwned<CFMessagePortRef> remote(target.get() ? CFMessagePortCreateRemote(kCFAllocatorDefault, target.get())
                                                      : nullptr);
        emit({{"event", std::string("lookup")}, {"id", id}, {"found", remote.get() != nullptr}});
        return;
    }
    send(command, id, target.get());
}

void readerBody() {
    std::vector<char> buffer(size_t(1) << 18);
    LineSplitter lines;
    std::string line;
    Batch batch;
    size_t batchBytes = 0;
    for (;;) {
        ssize_t n = read(0, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // An input left non-blocking by whoever opened it: wait for it, it has not ended.
            pollfd ready{0, POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        if (n <= 0) break;  // the end, or an error that no retry would mend: either way input is over
        lines.append(buffer.data(), size_t(n));
        while (lines.next(line))
            queueLine(line, batch, batchBytes);
        // Whatever this read brought is handed over before the next read can block.
        queueCommands(batch);
        batchBytes = 0;
    }
    if (lines.rest(line)) queueLine(line, batch, batchBytes);
    batch.emplace_back(nullptr, 0);
    queueCommands(batch);
}
