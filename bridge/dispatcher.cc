#include "dispatcher.h"

#include <poll.h>
#include <simdjson.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
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

/// Above this, a line's buffer is given back as soon as the line is parsed.
constexpr size_t kKeptLineCapacity = size_t(1) << 20;

/// Commands read and not yet started, oldest first; a null entry is the end of
/// input. The run loop's blocks only say "start the next one", so commands
/// start in the order of their lines whatever order a run loop gives its blocks.
std::mutex queueLock;
std::condition_variable queueRoom;
std::deque<std::pair<std::unique_ptr<CommandObject>, size_t>> pending;
size_t queuedBytes = 0;

/// Commands can nest inside a waiting send only this deep; the main thread's stack stays small.
constexpr int kCommandNestingLimit = 8;
/// Commands in progress on the main thread, one inside the other's wait.
int commandDepth = 0;
/// Blocks that came while the nesting was full; each still owes one start.
int deferredStarts = 0;

void readField(simdjson::dom::element value, CommandField& field) {
    field = CommandField();
    switch (value.type()) {
        case simdjson::dom::element_type::STRING:
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
    {
        std::lock_guard<std::mutex> hold(queueLock);
        command = std::move(pending.front().first);
        queuedBytes -= pending.front().second;
        pending.pop_front();
    }
    queueRoom.notify_one();
    if (!command) _exit(0);  // end of input: every command before it has started
    ++commandDepth;
    handle(*command);
    --commandDepth;
}

/// Body of every queued block.
void startNext() {
    if (commandDepth >= kCommandNestingLimit) {
        ++deferredStarts;  // an outer command picks it up once its wait is over
        return;
    }
    startOne();
    while (deferredStarts > 0 && commandDepth < kCommandNestingLimit) {
        --deferredStarts;
        startOne();
    }
}

/// Hands a command (or, when null, the end of input) to the main thread.
void queueCommand(std::unique_ptr<CommandObject> command, size_t size) {
    {
        std::unique_lock<std::mutex> hold(queueLock);
        queueRoom.wait(hold, [] {
            return pending.empty() || (queuedBytes < kQueuedBytesLimit && pending.size() < kQueuedCommandsLimit);
        });
        queuedBytes += size;
        pending.emplace_back(std::move(command), size);
    }
    CFRunLoopRef main = CFRunLoopGetMain();
    // On macOS the lambda becomes an autoreleased block: drain it here, not at the thread's end.
    withAutoreleasePool([main] { CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [] { startNext(); }); });
    CFRunLoopWakeUp(main);
}

void queueLine(std::string& line) {
    auto command = std::make_unique<CommandObject>();
    size_t size = line.size();
    if (parseCommand(line, *command)) queueCommand(std::move(command), size);
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
    SInt32 status =
        CFMessagePortSendRequest(remote.get(), messageId, data.get(), timeout, timeout, kCFRunLoopDefaultMode, &reply);
    if (reply) CFRelease(reply);
    emitSent(id, status);
}

}  // namespace

bool parseCommand(std::string& line, CommandObject& command) {
    thread_local simdjson::dom::parser parser;
    repairUtf8(line);
    line.reserve(line.size() + simdjson::SIMDJSON_PADDING);
    simdjson::dom::object object;
    bool parsed = !parser.parse(simdjson::padded_string_view(line.data(), line.size(), line.capacity())).get(object);
    // The parsed document holds its own copy of every string: a long line is no longer needed.
    if (line.capacity() > kKeptLineCapacity) std::string().swap(line);
    if (!parsed) return false;
    for (auto [key, value] : object) {
        if (key == "cmd")
            readField(value, command.cmd);
        else if (key == "target")
            readField(value, command.target);
        else if (key == "data")
            readField(value, command.data);
        else if (key == "timeout")
            readField(value, command.timeout);
        else if (key == "id")
            command.id = simdjson::to_string(value);
    }
    return true;
}

void handle(const CommandObject& command) {
    RawJson id{command.id ? *command.id : "null"};
    const std::string& cmd = command.cmd.text;
    if (!command.cmd.isString || (cmd != "quit" && cmd != "lookup" && cmd != "send")) {
        emit({{"event", std::string("error")}, {"message", std::string("unknown command")}});
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
            queueLine(line);
    }
    if (lines.rest(line)) queueLine(line);
    queueCommand(nullptr, 0);
}
