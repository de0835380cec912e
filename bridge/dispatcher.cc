#include "dispatcher.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "cfref.h"
#include "protocol.h"
#include "startup.h"

namespace {

/// Above this, a line's buffer is given back as soon as the line is parsed; below,
/// it carries the next long line without regrowing (a fresh buffer costs a page fault per page).
constexpr size_t kKeptLineCapacity = size_t(24) << 20;

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
/// The input ended where a line could not be held in memory.
bool inputOutOfMemory = false;
/// What the tool says when it cannot hold a line.
constexpr char kOutOfMemory[] = "out of memory: an input line is too long to hold";
/// How often sends whose receiver's queue is full try again, while the run loop serves other work.
constexpr double kRetryInterval = 0.01;
/// How far a send nested in another's wait may outlast that wait's deadline; a
/// send that would outlast it further is held, with every command behind it.
constexpr double kNestingSlack = 0.1;
/// From this many seconds on a send phase has no end, as CoreFoundation counts send time-outs.
constexpr double kSendForever = 10.0 * 86400;

/// A send whose receiver had no room in its queue: it keeps its port and bytes and
/// tries again each tick, in line order, until its time-out has passed since it began.
struct Retry {
    std::string id, target;
    double timeout = 5.0;
    CFMessagePortRef remote = nullptr;
    CFDataRef data = nullptr;
    uint64_t line = 0;
    double started = 0;
    ~Retry() {
        if (data) CFRelease(data);
        if (remote) CFRelease(remote);
    }
};
/// Main thread only, oldest first.
std::deque<std::unique_ptr<Retry>> retrying;
CFRunLoopTimerRef retryTimer = nullptr;
/// Numbers the sends in line order, so a retried one goes back to its place.
uint64_t sendsStarted = 0;
/// The earliest deadline among the waits on the main thread's stack, innermost last.
std::vector<double> waitDeadlines;

/// Signalled when a command ends inside another's wait. A run of the loop returns
/// only after a source of its own, so without it an enclosing send whose reply a
/// nested wait took in would sleep on to its time-out.
CFRunLoopSourceRef commandEnded = nullptr;

/// The top-level keys that the tool reads, in the order of a line's spans.
enum Key { keyCmd, keyTarget, keyData, keyTimeout, keyId, keyCount, keyOther = keyCount };

/// Bits of `CommandObject::present`.
constexpr uint8_t hasTarget = 1, hasData = 2, hasTimeout = 4, hasId = 8;

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
    constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
    auto zeroByte = [](uint64_t v) { return (v - ones) & ~v & highs; };
    while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        // The lowest flagged byte is exact; only bytes above it may be flagged falsely.
        uint64_t hit = ((w - ones * 0x20) & ~w & highs) | zeroByte(w ^ (ones * '"')) | zeroByte(w ^ (ones * '\\'));
        if (hit) return p + __builtin_ctzll(hit) / 8;
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

/// Checks that `line` is exactly one JSON object (RFC 8259) and finds the values
/// of its top-level keys. Nesting is followed with one bit per level, not the stack.
bool scanLine(std::string_view line, ValueSpan (&spans)[keyCount]) {
    const char* p = line.data();
    const char* end = p + line.size();
    auto space = [&] {
        while (p < end && isSpace(*p))
            ++p;
    };
    // Bit n says whether the container at depth n + 1 is an array.
    thread_local std::vector<uint64_t> arrays;
    struct Trim {
        ~Trim() {
            if (arrays.capacity() > 4096) std::vector<uint64_t>().swap(arrays);
        }
    } trim;
    arrays.clear();
    size_t depth = 0;
    auto open = [&](bool array) {
        if (depth % 64 == 0) arrays.push_back(0);
        if (array) arrays.back() |= uint64_t(1) << (depth % 64);
        ++depth;
    };
    auto close = [&] {
        --depth;
        if (depth % 64 == 0) {
            arrays.pop_back();
        } else {
            arrays.back() &= ~(uint64_t(1) << (depth % 64));
        }
    };
    auto inArray = [&] { return (arrays.back() >> ((depth - 1) % 64)) & 1; };

    space();
    if (p == end || *p != '{') return false;
    ++p;
    open(false);
    space();
    if (p < end && *p == '}') {
        ++p;
        space();
        return p == end;
    }
    int key = keyOther;
    const char* valueBegin = nullptr;
    enum { expectKey, expectValue, afterValue } state = expectKey;
    for (;;) {
        if (state == expectKey) {
            space();
            if (p == end || *p != '"') return false;
            const char* from = p;
            if (!skipString(p, end)) return false;
            if (depth == 1) key = keyOf(std::string_view(from + 1, size_t(p - from - 2)));
            space();
            if (p == end || *p != ':') return false;
            ++p;
            state = expectValue;
        } else if (state == expectValue) {
            space();
            if (p == end) return false;
            if (depth == 1) valueBegin = p;
            char c = *p;
            state = afterValue;
            if (c == '{' || c == '[') {
                ++p;
                open(c == '[');
                space();
                if (p < end && *p == (c == '{' ? '}' : ']')) {
                    ++p;
                    close();
                } else {
                    state = c == '{' ? expectKey : expectValue;
                }
            } else if (c == '"') {
                if (!skipString(p, end)) return false;
            } else if (c == 't') {
                if (!skipLiteral(p, end, "true")) return false;
            } else if (c == 'f') {
                if (!skipLiteral(p, end, "false")) return false;
            } else if (c == 'n') {
                if (!skipLiteral(p, end, "null")) return false;
            } else if (c == '-' || isDigit(c)) {
                if (!skipNumber(p, end)) return false;
            } else {
                return false;
            }
        } else {
            if (depth == 0) {
                space();
                return p == end;
            }
            if (depth == 1 && key != keyOther) spans[key] = {valueBegin, p};
            space();
            if (p == end) return false;
            bool array = inArray();
            if (*p == ',') {
                ++p;
                state = array ? expectValue : expectKey;
            } else if (*p == (array ? ']' : '}')) {
                ++p;
                close();
            } else {
                return false;
            }
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

/// Ends the tool at the end of its input, or where it ran out of memory for a line.
[[noreturn]] void endInput() {
    if (inputOutOfMemory) fail(kOutOfMemory, statusOutOfMemory);
    _exit(0);
}

double secondsNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double timeoutOf(const CommandView& view) { return view.timeout.value_or(5.0); }

/// Whether a send of `timeout` that queued now would keep an enclosing wait past its
/// deadline: it is then held until that wait returns.
bool wouldOutlastWaits(double timeout) {
    return !waitDeadlines.empty() && secondsNow() + std::max(timeout, 0.0) > waitDeadlines.back() + kNestingSlack;
}

/// Whether the send phase of a send that began at `started` is over: below a
/// millisecond it is one try, from ten days on it has no end.
bool sendPhaseOver(double started, double timeout) {
    return !(timeout >= 0.001) || (timeout < kSendForever && secondsNow() >= started + timeout);
}

void endInputOnceIdle() {
    if (inputEnded && waitingSends == 0 && retrying.empty()) endInput();
}

void retrySends();

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
            bool waits = next && next->kind == CommandKind::send;
            if (waits && (waitingSends >= kWaitingSendsLimit || wouldOutlastWaits(timeoutOf(viewCommand(*next)))))
                return;
            command = std::move(pending.front());
            pending.pop_front();
        }
        if (!command || command->kind == CommandKind::outOfMemory) {
            // Every command before the end has started; sends still waiting write their "sent" first.
            inputOutOfMemory = command != nullptr;
            inputEnded = true;
            endInputOnceIdle();
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
/// began may be waiting behind the very block that is waiting now. After a wait
/// too: commands held during it are started by no one else when a retried send waited.
void queueStartIfPending() {
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
        // Out of memory halfway, the commands handed over leave the batch and the rest wait in it.
        size_t moved = 0;
        struct Trim {
            Batch& batch;
            size_t& moved;
            ~Trim() { batch.erase(batch.begin(), batch.begin() + std::ptrdiff_t(moved)); }
        } trim{batch, moved};
        for (; moved < batch.size(); ++moved)
            pending.push_back(std::move(batch[moved]));
    }
    queueStart();
    CFRunLoopWakeUp(CFRunLoopGetMain());
}

/// Parses one line into `batch`, handing the batch over once it is full.
void queueLine(std::string& line, Batch& batch, size_t& batchBytes) {
    auto command = std::make_unique<CommandObject>();
    size_t size = line.size();
    bool parsed = parseCommand(line, *command);
    // The command holds what it needs: a long line's buffer is not kept for the next one.
    if (line.capacity() > kKeptLineCapacity) std::string().swap(line);
    if (!parsed) return;
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

enum class Outcome { answered, retry, held };

/// One try to queue a send, and its wait for the reply when queued. The message
/// port's send phase would block the whole thread while the receiver's queue is
/// full, stopping every other command and message: so it is asked for one try, and
/// a send that found no place tries again from the run loop (see retrySends).
Outcome trySend(Retry& send) {
    double timeout = send.timeout;
    if (wouldOutlastWaits(timeout)) return Outcome::held;
    CFDataRef reply = nullptr;
    double deadline = secondsNow() + std::max(timeout, 0.0);
    waitDeadlines.push_back(waitDeadlines.empty() ? deadline : std::min(deadline, waitDeadlines.back()));
    ++waitingSends;
    SInt32 status =
        CFMessagePortSendRequest(send.remote, messageId, send.data, 0, timeout, kCFRunLoopDefaultMode, &reply);
    --waitingSends;
    waitDeadlines.pop_back();
    if (status != kCFMessagePortSendTimeout) queueStartIfPending();
    if (reply) CFRelease(reply);
    if (status == kCFMessagePortSendTimeout && !sendPhaseOver(send.started, timeout)) return Outcome::retry;
    emitSent(RawJson{send.id}, status);
    return Outcome::answered;
}

/// Puts a send back among those that try again, in line order, ticking while any wait.
void keepRetrying(std::unique_ptr<Retry> send) {
    auto at = std::find_if(retrying.begin(), retrying.end(), [&](const auto& r) { return r->line > send->line; });
    retrying.insert(at, std::move(send));
    if (!retryTimer) {
        CFRunLoopTimerContext context = {0, nullptr, nullptr, nullptr, nullptr};
        retryTimer = CFRunLoopTimerCreate(
            kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + kRetryInterval, kRetryInterval, 0, 0,
            [](CFRunLoopTimerRef, void*) {
                // The tries run from a block: a send that queues waits there, and the
                // timer goes on firing in that wait, which it would not inside its own callout.
                CFRunLoopPerformBlock(CFRunLoopGetMain(), kCFRunLoopDefaultMode, [] { retrySends(); });
            },
            &context);
        CFRunLoopAddTimer(CFRunLoopGetMain(), retryTimer, kCFRunLoopDefaultMode);
    }
}

/// Runs on the main thread each tick: answers -1 for sends whose time-out has
/// passed, then tries the oldest send of each target once (a full queue now is
/// full for all its senders), oldest first. A try may wait for its reply; the
/// list is read afresh after each, since ticks inside that wait change it.
void retrySends() {
    for (size_t i = 0; i < retrying.size();) {
        Retry& r = *retrying[i];
        if (!sendPhaseOver(r.started, r.timeout)) {
            ++i;
            continue;
        }
        std::unique_ptr<Retry> expired = std::move(retrying[i]);
        retrying.erase(retrying.begin() + std::ptrdiff_t(i));
        emitSent(RawJson{expired->id}, kCFMessagePortSendTimeout);
    }
    std::vector<std::string> tried;
    for (bool again = true; again;) {
        again = false;
        for (size_t i = 0; i < retrying.size(); ++i) {
            const std::string& target = retrying[i]->target;
            if (std::find(tried.begin(), tried.end(), target) != tried.end()) continue;
            tried.push_back(target);
            std::unique_ptr<Retry> send = std::move(retrying[i]);
            retrying.erase(retrying.begin() + std::ptrdiff_t(i));
            Outcome outcome = trySend(*send);
            if (outcome == Outcome::answered) {
                again = true;
                break;
            }
            keepRetrying(std::move(send));
            if (outcome == Outcome::held) break;  // nothing behind it goes first
            again = true;
            break;
        }
    }
    if (retrying.empty() && retryTimer) {
        CFRunLoopTimerInvalidate(retryTimer);
        CFRelease(retryTimer);
        retryTimer = nullptr;
    }
    if (commandDepth > 0) CFRunLoopSourceSignal(commandEnded);
    endInputOnceIdle();
}

/// Starts a send: looks its target up, then tries to queue it.
void send(const CommandView& view, const RawJson& id, CFStringRef target) {
    CFMessagePortRef remote = target ? CFMessagePortCreateRemote(kCFAllocatorDefault, target) : nullptr;
    if (!remote) {
        emitSent(id, statusNotRegistered);
        return;
    }
    auto started = std::make_unique<Retry>();
    started->remote = remote;
    started->started = secondsNow();
    started->line = ++sendsStarted;
    started->timeout = timeoutOf(view);
    started->id = id.text;
    started->target = view.target.value_or("");
    std::vector<uint8_t> payload;
    if (view.data) base64Decode(*view.data, payload);
    started->data = CFDataCreate(kCFAllocatorDefault, payload.data(), CFIndex(payload.size()));
    payload = {};
    queueStartIfPending();
    // Held here only when its look-up took long enough to change that: it then
    // waits among the retried sends, in its place in line.
    if (trySend(*started) != Outcome::answered) keepRetrying(std::move(started));
    endInputOnceIdle();
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
    appendTrailer(out, view.target ? view.target->size() : 0, view.data ? view.data->size() : 0);
    return command;
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

void handle(const CommandObject& command) {
    try {
        CommandView view = viewCommand(command);
        if (view.kind == CommandKind::unknown) {
            // Written once: a stream of unknown commands should cost a write each, little more.
            static const std::string unknownCommand =
                serializeEvent({{"event", std::string("error")}, {"message", std::string("unknown command")}}) + "\n";
            emitLine(unknownCommand);
            return;
        }
        if (view.kind == CommandKind::quit) _exit(0);
        if (view.kind == CommandKind::outOfMemory) fail(kOutOfMemory, statusOutOfMemory);
        RawJson id{view.id.value_or("null")};
        CFOwned<CFStringRef> target(stringToCF(std::string(view.target.value_or(""))));
        if (view.kind == CommandKind::lookup) {
            CFOwned<CFMessagePortRef> remote(target.get() ? CFMessagePortCreateRemote(kCFAllocatorDefault, target.get())
                                                          : nullptr);
            emit({{"event", std::string("lookup")}, {"id", id}, {"found", remote.get() != nullptr}});
            return;
        }
        send(view, id, target.get());
    } catch (const std::bad_alloc&) {
        // An answer as long as its line may not fit beside it.
        fail(kOutOfMemory, statusOutOfMemory);
    }
}

void readerBody() {
    // Given back when memory runs out, so that the commands before and the report still fit.
    auto reserve = std::make_unique<char[]>(size_t(1) << 20);
    std::memset(reserve.get(), 1, size_t(1) << 20);
    auto outOfMemory = std::make_unique<CommandObject>();
    outOfMemory->kind = CommandKind::outOfMemory;
    std::vector<char> buffer(size_t(1) << 18);
    LineSplitter lines;
    std::string line;
    Batch batch;
    // A full batch is handed over before the next command joins it, so the last entry always has room.
    batch.reserve(kBatchCommands + 1);
    size_t batchBytes = 0;
    try {
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
        outOfMemory.reset();
    } catch (const std::bad_alloc&) {
        // The line that did not fit, and everything after it, is never read: the commands
        // before it are answered, then the tool says why it ends.
        reserve.reset();
        std::string().swap(line);
        lines = LineSplitter();
        std::vector<char>().swap(buffer);
    }
    batch.push_back(std::move(outOfMemory));  // the end of input, or the report of what did not fit
    for (bool handed = false; !handed;) {
        try {
            if (batch.empty()) {
                queueStart();  // all handed over, but the block that starts them did not fit
                CFRunLoopWakeUp(CFRunLoopGetMain());
            } else {
                queueCommands(batch);
            }
            handed = true;
        } catch (const std::bad_alloc&) {
            // The main thread frees memory as it answers the commands queued before.
            std::this_thread::yield();
        }
    }
}
