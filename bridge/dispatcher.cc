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

// Limits and periods.

/// Above this, a line's buffer is given back as soon as the line is parsed; below,
/// it carries the next long line without regrowing (a fresh buffer costs a page fault per page).
constexpr size_t kKeptLineCapacity = size_t(24) << 20;
/// Commands parsed from one read are handed over together, so a fast input costs
/// one lock and one wake-up per batch, not per line; a read never holds any back.
constexpr size_t kBatchCommands = 64;
constexpr size_t kBatchBytes = size_t(1) << 20;
/// Sends may wait one inside the other this deep: each wait nests the run loop
/// on the main thread's stack. Beyond it, a send (and every command behind it)
/// is held until a waiting send ends.
constexpr int kWaitingSendsLimit = 1024;
/// Once a backlog of more commands than this has drained, the memory it held goes
/// back, so that memory follows the backlog, not the count.
constexpr size_t kLargeBacklog = 65536;
/// How often sends whose receiver's queue is full try again, while the run loop serves other work.
constexpr double kRetryInterval = 0.01;
/// How far a send nested in another's wait may outlast that wait's deadline; a
/// send that would outlast it further is held, with every command behind it.
constexpr double kNestingSlack = 0.1;
/// From this many seconds on a send phase has no end, as CoreFoundation counts send time-outs.
constexpr double kSendForever = 10.0 * 86400;
/// What the tool says when it cannot hold a line.
constexpr char kOutOfMemory[] = "out of memory: an input line is too long to hold";

/// Commands (a null one is the end of input).
using Batch = std::vector<std::unique_ptr<CommandObject>>;

/// A send that waits its turn outside the stack: held (not begun: it would keep an
/// enclosing wait past its deadline, or the stack is full), or begun and finding its
/// receiver's queue full. It keeps its bytes (and its port once begun) and is tried
/// each tick, in line order, until its time-out has passed since it began.
struct Retry {
    std::string id, target;
    double timeout = 5.0;
    CFMessagePortRef remote = nullptr;
    /// The decoded bytes, which `data` borrows: a payload of megabytes is not copied once more.
    std::vector<uint8_t> payload;
    CFDataRef data = nullptr;
    uint64_t line = 0;
    bool begun = false;
    double started = 0;
    ~Retry() {
        if (data) CFRelease(data);
        if (remote) CFRelease(remote);
    }
};

// Shared by the reader and the main thread, under `queueLock`.

/// Commands read and not yet started, oldest first; a null entry is the end of
/// input. The reader never waits for room: the input is held here however long
/// the main thread takes. The run loop's blocks only say "start what is pending",
/// so commands start in the order of their lines whichever block runs them.
std::mutex queueLock;
std::deque<std::unique_ptr<CommandObject>> pending;

// The main thread's own. (The reader's state lives in readerBody.)

/// Sends waiting for their replies, one inside the other.
int waitingSends = 0;
/// The earliest deadline among the waits on the stack, innermost last.
std::vector<double> waitDeadlines;
/// Commands in progress, one inside the other's wait.
int commandDepth = 0;
/// Commands started since the queue was last empty.
size_t startedSinceEmpty = 0;
/// The end of input was reached while sends waited: the last of them ends the tool.
bool inputEnded = false;
/// The input ended where a line could not be held in memory.
bool inputOutOfMemory = false;
/// Sends held or finding their receiver's queue full, oldest first, and the timer that retries them.
std::deque<std::unique_ptr<Retry>> retrying;
/// How many of them are held (not begun): a new send goes behind them.
size_t heldSends = 0;
CFRunLoopTimerRef retryTimer = nullptr;
/// Numbers the sends in line order, so a retried one goes back to its place.
uint64_t sendsStarted = 0;
/// Signalled when a command ends inside another's wait. A run of the loop returns
/// only after a source of its own, so without it an enclosing send whose reply a
/// nested wait took in would sleep on to its time-out.
CFRunLoopSourceRef commandEnded = nullptr;

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

/// Whether a send of `timeout` must not queue now: its wait would keep an enclosing
/// one past its deadline, or nest beyond the stack's bound. It is held until they return.
bool mustWait(double timeout) {
    return waitingSends >= kWaitingSendsLimit ||
           (!waitDeadlines.empty() && secondsNow() + std::max(timeout, 0.0) > waitDeadlines.back() + kNestingSlack);
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
/// began may be waiting behind the very block that is waiting now.
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
    if (mustWait(timeout)) return Outcome::held;
    if (!send.remote) {
        // Held since its look-up, which it holds no connection for: looked up again.
        CFOwned<CFStringRef> target(stringToCF(send.target));
        send.remote = target.get() ? CFMessagePortCreateRemote(kCFAllocatorDefault, target.get()) : nullptr;
        if (!send.remote) {
            emitSent(RawJson{send.id}, kCFMessagePortIsInvalid);
            return Outcome::answered;
        }
    }
    queueStartIfPending();
    CFDataRef reply = nullptr;
    double deadline = secondsNow() + std::max(timeout, 0.0);
    waitDeadlines.push_back(waitDeadlines.empty() ? deadline : std::min(deadline, waitDeadlines.back()));
    ++waitingSends;
    SInt32 status =
        CFMessagePortSendRequest(send.remote, messageId, send.data, 0, timeout, kCFRunLoopDefaultMode, &reply);
    --waitingSends;
    waitDeadlines.pop_back();
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

/// Runs on the main thread each tick: answers -1 for begun sends whose time-out has
/// passed, then, oldest first, begins the held sends that may go now and tries each
/// target once (a full queue now is full for all its senders); the first send that
/// must still wait stops the round, so sends keep their line order. A try may wait
/// for its reply; the list is read afresh after each, since ticks inside that wait change it.
void retrySends() {
    for (size_t i = 0; i < retrying.size();) {
        Retry& r = *retrying[i];
        if (!r.begun || !sendPhaseOver(r.started, r.timeout)) {
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
            Retry& r = *retrying[i];
            if (mustWait(r.timeout)) break;
            bool full = std::find(tried.begin(), tried.end(), r.target) != tried.end();
            if (!r.begun) {
                r.begun = true;
                r.started = secondsNow();
                --heldSends;
            }
            if (full) continue;
            tried.push_back(r.target);
            std::unique_ptr<Retry> send = std::move(retrying[i]);
            retrying.erase(retrying.begin() + std::ptrdiff_t(i));
            if (trySend(*send) != Outcome::answered) keepRetrying(std::move(send));
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
    started->line = ++sendsStarted;
    started->timeout = timeoutOf(view);
    started->id = id.text;
    started->target = view.target.value_or("");
    if (view.data) base64Decode(*view.data, started->payload);
    started->data = CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, started->payload.data(),
                                                CFIndex(started->payload.size()), kCFAllocatorNull);
    if (mustWait(started->timeout) || heldSends > 0) {
        // Held, and the sends held before it go first: it waits among them, without a
        // connection, and the commands behind it go on.
        CFRelease(started->remote);
        started->remote = nullptr;
        ++heldSends;
        keepRetrying(std::move(started));
        return;
    }
    started->begun = true;
    started->started = secondsNow();
    if (trySend(*started) == Outcome::retry) keepRetrying(std::move(started));
    endInputOnceIdle();
}

}  // namespace

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
