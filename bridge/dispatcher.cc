#include "dispatcher.h"

#include <poll.h>
#include <unistd.h>

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
#include "memory.h"
#include "protocol.h"
#include "sends.h"

namespace {

// Limits and periods.

/// Above this, a line's buffer is given back as soon as the line is parsed; below,
/// it carries the next long line without regrowing (a fresh buffer costs a page fault per page).
constexpr size_t kKeptLineCapacity = size_t(24) << 20;
/// Commands parsed from one read are handed over together, so a fast input costs
/// one lock and one wake-up per batch, not per line; a read never holds any back.
constexpr size_t kBatchCommands = 64;
constexpr size_t kBatchBytes = size_t(1) << 20;
/// Once a backlog of more commands than this has drained, the memory it held goes
/// back, so that memory follows the backlog, not the count.
constexpr size_t kLargeBacklog = 65536;
/// What the tool says when it cannot hold a line.
constexpr char kOutOfMemory[] = "out of memory: an input line is too long to hold";

/// Commands (a null one is the end of input).
using Batch = std::vector<std::unique_ptr<CommandObject>>;

// Shared by the reader and the main thread, under `queueLock`.

/// Commands read and not yet started, oldest first; a null entry is the end of
/// input. The reader never waits for room: the input is held here however long
/// the main thread takes. The run loop's blocks only say "start what is pending",
/// so commands start in the order of their lines whichever block runs them.
std::mutex queueLock;
std::deque<std::unique_ptr<CommandObject>> pending;

// The main thread's own. (The reader's state lives in readerBody.)

/// Commands started since the queue was last empty.
size_t startedSinceEmpty = 0;
/// The end of input was reached while sends waited: the last of them ends the tool.
bool inputEnded = false;
/// The input ended where a line could not be held in memory.
bool inputOutOfMemory = false;

/// Ends the tool at the end of its input, or where it ran out of memory for a line.
[[noreturn]] void endInput() {
    if (inputOutOfMemory) fail(kOutOfMemory, statusOutOfMemory);
    _exit(0);
}

void endInputOnceIdle() {
    if (inputEnded && sendsIdle()) endInput();
}

void queueStartIfPending();

/// Runs on the main thread: starts pending commands, oldest first, until none is left.
void startPending() {
    beforeSendWaits = queueStartIfPending;
    afterSendsIdle = endInputOnceIdle;
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
        handle(*command);
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

}  // namespace

void handle(const CommandObject& command) {
    try {
        CommandView view = viewCommand(command);
        if (view.kind == CommandKind::unknown) {
            emitUnknownCommand();
            return;
        }
        if (view.kind == CommandKind::quit) _exit(0);
        RawJson id{view.id.value_or("null")};
        CFOwned<CFStringRef> target(stringToCF(std::string(view.target.value_or(""))));
        if (view.kind == CommandKind::lookup) {
            CFOwned<CFMessagePortRef> remote(target.get() ? CFMessagePortCreateRemote(kCFAllocatorDefault, target.get())
                                                          : nullptr);
            emitLookup(id, remote.get() != nullptr);
            return;
        }
        startSend(view, id, target.get());
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
