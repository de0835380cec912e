#include "dispatcher.h"

#include <poll.h>
#include <simdjson.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
#include "protocol.h"
#include "startup.h"

namespace {

/// Above this, a line's buffer is given back as soon as the line is parsed; below,
/// it carries the next long line without regrowing (a fresh buffer costs a page fault per page).
constexpr size_t kKeptLineCapacity = size_t(24) << 20;
/// After a line longer than this the parser's buffers, as large as the line, are given back too.
constexpr size_t kKeptParserLine = size_t(16) << 20;

/// Commands parsed from one read are handed over together, so a fast input costs
/// one lock and one wake-up per batch, not per line; a read never holds any back.
constexpr size_t kBatchCommands = 64;
constexpr size_t kBatchBytes = size_t(1) << 20;

/// Commands (a null one is the end of input).
using Batch = std::vector<std::unique_ptr<CommandObject>>;

/// Commands read and not yet started, oldest first; a null entry is the end of
/// input. The reader never waits for room: the input is held here however long
/// the main thread takes. The run loop's blocks only say "start what is pending",
/// so commands start in the order of their lines whichever block runs them.
std::mutex queueLock;
std::deque<std::unique_ptr<CommandObject>> pending;

/// Sends may wait one inside the other this deep: each wait nests the run loop
/// on the main thread's stack. Beyond it, a send (and every command behind it)
/// is held until a waiting send ends.
constexpr int kWaitingSendsLimit = 1024;
/// Sends waiting for their replies on the main thread, one inside the other.
int waitingSends = 0;
/// Commands in progress on the main thread, one inside the other's wait.
int commandDepth = 0;
/// Commands started since the queue was last empty: once a large backlog has
/// drained, the memory it held goes back, so that memory follows the backlog, not the count.
size_t startedSinceEmpty = 0;
constexpr size_t kLargeBacklog = 65536;
/// The end of input was reached while sends waited: the last of them ends the tool.
bool inputEnded = false;
/// Signalled when a command ends inside another's wait. A run of the loop returns
/// only after a source of its own, so without it an enclosing send whose reply a
/// nested wait took in would sleep on to its time-out.
CFRunLoopSourceRef commandEnded = nullptr;

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

/// Runs on the main thread: starts pending commands, oldest first, until none is
/// left or the next one is a send that has no room to wait.
void startPending() {
    if (!commandEnded) {
        CFRunLoopSourceContext context = {0,       nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr, [](void*) {}};
        commandEnded = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
        CFRunLoopAddSource(CFRunLoopGetMain(), commandEnded, kCFRunLoopDefaultMode);
    }
    for (;;) {
        std::unique_ptr<CommandObject> command;
        {
            std::unique_lock<std::mutex> hold(queueLock);
            if (pending.empty()) {
                hold.unlock();
                if (startedSinceEmpty > kLargeBacklog) giveBackFreeMemory();
                startedSinceEmpty = 0;
                return;
            }
            ++startedSinceEmpty;
            const CommandObject* next = pending.front().get();
            bool waits = next && next->cmd.isString && next->cmd.text == "send";
            if (waits && waitingSends >= kWaitingSendsLimit) return;
            command = std::move(pending.front());
            pending.pop_front();
        }
        if (!command) {
            // Every command before the end has started; sends still waiting write their "sent" first.
            if (waitingSends == 0) _exit(0);
            inputEnded = true;
            return;
        }
        ++commandDepth;
        handle(*command);
        --commandDepth;
        if (commandDepth > 0) CFRunLoopSourceSignal(commandEnded);
    }
}

/// Queues a block on the main run loop that starts what is pending.
void queueStart() {
    // A lambda written at the call becomes a stack block, which CFRunLoopPerformBlock
    // copies before it returns: nothing is autoreleased, so no pool is needed here.
    // Keep it at the call: outside ARC, a lambda held in a variable first would be
    // copied and autoreleased, with no pool on the reader's thread to drain it.
    CFRunLoopPerformBlock(CFRunLoopGetMain(), kCFRunLoopDefaultMode, [] { startPending(); });
}

/// Before a send waits: a fresh block for what is pending. The run loop takes its
/// whole list of blocks before running them, so blocks queued before this wait
/// began may be waiting behind the very block that is waiting now.
void queueStartBeforeWait() {
    bool any;
    {
        std::lock_guard<std::mutex> hold(queueLock);
        any = !pending.empty();
    }
    if (any) queueStart();
}

/// Hands the commands of `batch` (a null one is the end of input) to the main thread, and empties it.
void queueCommands(Batch& batch) {
    if (batch.empty()) return;
    {
        std::lock_guard<std::mutex> hold(queueLock);
        for (auto& entry : batch)
            pending.push_back(std::move(entry));
    }
    batch.clear();
    queueStart();
    CFRunLoopWakeUp(CFRunLoopGetMain());
}

/// Parses one line into `batch`, handing the batch over once it is full.
void queueLine(std::string& line, Batch& batch, size_t& batchBytes) {
    auto command = std::make_unique<CommandObject>();
    size_t size = line.size();
    if (!parseCommand(line, *command)) return;
    batch.push_back(std::move(command));
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
    queueStartBeforeWait();
    ++waitingSends;
    SInt32 status =
        CFMessagePortSendRequest(remote.get(), messageId, data.get(), timeout, timeout, kCFRunLoopDefaultMode, &reply);
    --waitingSends;
    if (reply) CFRelease(reply);
    emitSent(id, status);
    if (inputEnded && waitingSends == 0) _exit(0);
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
    batch.push_back(nullptr);
    queueCommands(batch);
}
