#include "sends.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "cfref.h"

void (*beforeSendWaits)() = nullptr;
void (*afterSendsIdle)() = nullptr;

namespace {

/// Sends may wait one inside the other this deep: each wait nests the run loop on
/// the main thread's stack. Beyond it, a send is held until a waiting send ends.
constexpr int kWaitingSendsLimit = 1024;
/// How far a send nested in another's wait may outlast that wait's deadline; a
/// send that would outlast it further is held.
constexpr double kNestingSlack = 0.1;
/// From this many seconds on a send phase has no end, as CoreFoundation counts send time-outs.
constexpr double kSendForever = 10.0 * 86400;
/// A target whose queue stays full is tried again after this, doubling up to kSlowestRetry:
/// places freed by other processes' requests announce themselves to nobody.
constexpr double kFirstRetry = 0.002;
constexpr double kSlowestRetry = 0.1;
/// Seconds that stand for never on a timer: a timer has no date that means it, and
/// CoreFoundation takes intervals and dates this far ahead as they are.
constexpr double kFarAhead = 1e8;
/// A timer's date goes through the wall clock and back: its firing may come this much before
/// the monotonic moment it was set for, which then counts as come rather than costing one
/// more wake-up.
constexpr double kTimerSlack = 1e-4;
/// The default "timeout", in seconds.
constexpr double kDefaultTimeout = 5.0;

/// One send that has not answered yet.
struct Send {
    std::string id, target;
    double timeout = kDefaultTimeout;
    /// Held: begun later, once waiting inside the waits on the stack would not keep them past
    /// their deadlines. A begun send that may not be tried where it waits is held again: a send
    /// phase is spent only where tries can be made.
    bool held = false;
    /// When it began: its send phase counts from here.
    double started = 0;
    /// Looked up for its first try; a send waiting behind others, or held, holds none.
    CFMessagePortRef remote = nullptr;
    /// The decoded bytes, which `data` borrows: a payload of megabytes is not copied once more.
    std::vector<uint8_t> payload;
    CFDataRef data = nullptr;
    ~Send() {
        if (data) CFRelease(data);
        if (remote) CFRelease(remote);
    }
};

/// The sends to one name that wait for their turn, oldest first: those begun
/// before those held, since a send behind a held one is held too.
struct Target {
    std::deque<std::unique_ptr<Send>> waiting;
    /// Its queue was full at the last try: tried again at `retryAt`, or when a send to it ends.
    bool full = false;
    double retryAt = 0;
    double backoff = kFirstRetry;
    /// When a try last found its queue full. A send answers -1 only when a try at or after
    /// the end of its send phase found it so; until then its line gets one more look.
    double fullAt = -INFINITY;
};

/// Targets with sends waiting for their turn, by name; a target goes once it has none.
std::unordered_map<std::string, Target> targets;
/// How many sends wait in `targets`.
size_t waitingTurns = 0;
/// Sends waiting for their replies, one inside the other.
int waitingSends = 0;
/// The earliest deadline among the waits on the stack, innermost last.
std::vector<double> waitDeadlines;
/// Where the last round of tries stopped, so that each target gets its turn.
std::string lastTried;
/// Wakes the sends that wait for their turn: a target to try again, a send phase to end.
CFRunLoopTimerRef turnTimer = nullptr;
/// When it fires next, on the monotonic clock.
double timerAt = INFINITY;
/// Signalled when a send answers inside another's wait. A run of the loop returns
/// only after a source of its own, so without it an enclosing send whose reply a
/// nested wait took in would sleep on to its time-out.
CFRunLoopSourceRef sendEnded = nullptr;

double secondsNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

/// Whether a send of `timeout` cannot wait for its reply here: it would keep an
/// enclosing wait past its deadline, or nest beyond the stack's bound.
bool mustWait(double timeout) {
    return waitingSends >= kWaitingSendsLimit ||
           (!waitDeadlines.empty() && secondsNow() + std::max(timeout, 0.0) > waitDeadlines.back() + kNestingSlack);
}

/// When the send phase of `send` is over: below a millisecond it is one try, from ten days on it has no end.
double sendPhaseEnd(const Send& send) {
    if (!(send.timeout >= 0.001)) return send.started;
    return send.timeout < kSendForever ? send.started + send.timeout : INFINITY;
}

void tryTurns();

/// Queues a round of tries on the main run loop. Before a wait a fresh one is queued
/// whatever is queued already: the run loop takes its whole list of blocks before
/// running them, so one queued earlier may wait behind the very block that waits now.
void queueTurns() {
    // A lambda written at the call becomes a stack block, copied before the call returns.
    CFRunLoopPerformBlock(CFRunLoopGetMain(), kCFRunLoopDefaultMode, [] { tryTurns(); });
    CFRunLoopWakeUp(CFRunLoopGetMain());
}

/// Sets the timer to fire at `next` (on the monotonic clock; infinite for never).
void setTimer(double next) {
    timerAt = next;
    if (!turnTimer) {
        if (std::isinf(next)) return;
        CFRunLoopTimerContext context = {0, nullptr, nullptr, nullptr, nullptr};
        // Repeating, so that it stays on the loop; each round sets its next fire date.
        turnTimer = CFRunLoopTimerCreate(
            kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + kFarAhead, kFarAhead, 0, 0,
            [](CFRunLoopTimerRef, void*) {
                // The tries run from a block: a send that queues waits there, and the
                // timer goes on firing in that wait, which it would not inside its own callout.
                // Fired, it waits for the next date that a round of tries sets.
                timerAt = INFINITY;
                queueTurns();
            },
            &context);
        CFRunLoopAddTimer(CFRunLoopGetMain(), turnTimer, kCFRunLoopDefaultMode);
    }
    double in = std::isinf(next) ? kFarAhead : std::max(0.0, next - secondsNow());
    CFRunLoopTimerSetNextFireDate(turnTimer, CFAbsoluteTimeGetCurrent() + in);
}

/// Sets the timer to the next moment something waiting for its turn can change: a full
/// target that may be tried again, or a send phase that ends. A held line is left out: it
/// begins only when a wait on the stack ends, and that ending queues a round of its own.
/// Called at the end of a round, when no line's oldest send could be tried at once, so no
/// date lies in the past and a tool whose sends wait sleeps.
void armTimer() {
    double next = INFINITY;
    for (auto& [name, target] : targets) {
        if (target.waiting.empty() || target.waiting.front()->held) continue;
        if (target.full) next = std::min(next, target.retryAt);
        for (auto& send : target.waiting) {
            if (send->held) break;  // the rest of the line is held too
            next = std::min(next, sendPhaseEnd(*send));
        }
    }
    setTimer(next);
}

/// Makes the timer fire at `at` at the latest: a new send waiting costs no look at all the others.
void armTimerBy(double at) {
    if (at < timerAt) setTimer(at);
}

/// After a send answered `status`: its target may have room, sends held by its wait may
/// begin, the wait around it may end, and the tool may be done.
void answered(const std::string& target, SInt32 status) {
    auto it = targets.find(target);
    if (it != targets.end() && status != kCFMessagePortSendTimeout) {
        // The receiver took a request of ours: there is room, or there soon will be.
        it->second.full = false;
        it->second.backoff = kFirstRetry;
    }
    if (waitingTurns > 0) queueTurns();
    if (waitingSends > 0) {
        CFRunLoopSourceSignal(sendEnded);
    } else if (waitingTurns == 0 && afterSendsIdle) {
        afterSendsIdle();
    }
}

/// What one try of a send came to.
struct Try {
    /// The status answered, or kCFMessagePortSendTimeout with `answered` false: back in line.
    SInt32 status;
    bool answered;
};

/// One try to queue `send`, and when it is queued its wait for the reply. The
/// message port is asked for one try (send time-out 0): its send phase would block
/// the whole thread while the receiver's queue is full, stopping every other command
/// and message. Full is never answered here unless the send phase is over.
Try trySend(Send& send) {
    if (!send.remote) {
        CFOwned<CFStringRef> name(stringToCF(send.target));
        send.remote = name.get() ? CFMessagePortCreateRemote(kCFAllocatorDefault, name.get()) : nullptr;
        if (!send.remote) {
            emitSent(RawJson{send.id}, statusNotRegistered);
            return {statusNotRegistered, true};
        }
    }
    if (beforeSendWaits) beforeSendWaits();
    if (waitingTurns > 0) queueTurns();
    double deadline = secondsNow() + std::max(send.timeout, 0.0);
    waitDeadlines.push_back(waitDeadlines.empty() ? deadline : std::min(deadline, waitDeadlines.back()));
    ++waitingSends;
    CFDataRef reply = nullptr;
    SInt32 status =
        CFMessagePortSendRequest(send.remote, messageId, send.data, 0, send.timeout, kCFRunLoopDefaultMode, &reply);
    --waitingSends;
    waitDeadlines.pop_back();
    if (reply) CFRelease(reply);
    if (status == kCFMessagePortSendTimeout && secondsNow() + kTimerSlack < sendPhaseEnd(send)) return {status, false};
    emitSent(RawJson{send.id}, status);
    return {status, true};
}

/// Tries `send`, the oldest of its target's, and answers it (true) or puts it back at the head of the line.
bool tryOldest(std::unique_ptr<Send> send) {
    std::string target = send->target;
    Try result = trySend(*send);
    if (result.status == kCFMessagePortSendTimeout) {
        // Looked up afresh: a try that queued ran the loop, and the line may have gone meanwhile.
        auto it = targets.find(target);
        if (it != targets.end()) it->second.fullAt = secondsNow();
    }
    if (result.answered) {
        send.reset();
        answered(target, result.status);
        return true;
    }
    // Nothing ran meanwhile: a try that finds the queue full returns at once.
    Target& t = targets[target];
    t.waiting.push_front(std::move(send));
    ++waitingTurns;
    t.full = true;
    t.fullAt = secondsNow();
    t.retryAt = t.fullAt + t.backoff;
    t.backoff = std::min(t.backoff * 2, kSlowestRetry);
    armTimerBy(t.retryAt);
    return false;
}

/// Answers -1 for sends whose send phase has passed while they waited for their turn, when a
/// try since found their queue full. For the others their line's oldest send is due for a
/// try now: a queue that had room at the end is not answered as full.
void endSendPhases() {
    double now = secondsNow();
    std::vector<std::string> over;
    for (auto& [name, target] : targets) {
        for (auto& send : target.waiting) {
            if (send->held) break;  // the rest of the line is held too
            double end = sendPhaseEnd(*send);
            if (end > now + kTimerSlack) continue;
            if (target.fullAt + kTimerSlack < end) {
                target.retryAt = std::min(target.retryAt, now);
                continue;
            }
            over.push_back(send->id);
            send.reset();
        }
        size_t before = target.waiting.size();
        std::erase(target.waiting, nullptr);
        waitingTurns -= before - target.waiting.size();
    }
    // Written after the lists are settled: a write that fails ends the tool.
    for (const std::string& id : over)
        emitSent(RawJson{id}, kCFMessagePortSendTimeout);
}

/// Begins the held sends that may begin now, in line order within each target.
void beginHeld() {
    for (auto& [name, target] : targets) {
        for (auto& send : target.waiting) {
            if (!send->held) continue;
            if (mustWait(send->timeout)) break;
            send->held = false;
            send->started = secondsNow();
        }
    }
}

/// Holds a whole line whose oldest send may not be tried where it waits now: it spends no
/// send phase meanwhile and begins afresh, looked up again, once the waits around it allow.
void holdLine(Target& target) {
    for (auto& send : target.waiting) {
        send->held = true;
        if (send->remote) CFRelease(send->remote);
        send->remote = nullptr;
    }
}

/// The next target whose oldest send may be tried now, starting after the last one
/// tried so that every target gets its turn; empty when none may. A line whose oldest
/// send may not be tried within the waits on the stack is held here.
std::string nextTurn() {
    double now = secondsNow();
    std::string first, after;
    for (auto& [name, target] : targets) {
        if (target.waiting.empty() || target.waiting.front()->held) continue;
        if (mustWait(target.waiting.front()->timeout)) {
            holdLine(target);
            continue;
        }
        if (target.full && target.retryAt > now + kTimerSlack) continue;
        if (first.empty() || name < first) first = name;
        if (name > lastTried && (after.empty() || name < after)) after = name;
    }
    return after.empty() ? first : after;
}

/// Runs on the main thread from a block: ends send phases that are over, begins held
/// sends that may begin, then tries the oldest send of one target whose queue may have
/// room, and again until none may be tried. A try that queues waits for its reply right
/// here, and the next round runs inside that wait (trySend queues it), so tries go on
/// while they succeed.
void tryTurns() {
    for (;;) {
        endSendPhases();
        beginHeld();
        std::string name = nextTurn();
        if (name.empty()) break;
        lastTried = name;
        Target& target = targets[name];
        std::unique_ptr<Send> send = std::move(target.waiting.front());
        target.waiting.pop_front();
        --waitingTurns;
        if (target.waiting.empty() && !target.full) targets.erase(name);
        // One that answered ran the loop or gave up, and queued the round that goes on from
        // there; one that found its queue full leaves the others their turn now.
        if (tryOldest(std::move(send))) return;
    }
    for (auto it = targets.begin(); it != targets.end();)
        it = it->second.waiting.empty() ? targets.erase(it) : std::next(it);
    armTimer();
    if (waitingSends == 0 && waitingTurns == 0 && afterSendsIdle) afterSendsIdle();
}

std::unique_ptr<Send> newSend(const CommandView& view, const RawJson& id) {
    auto send = std::make_unique<Send>();
    send->id = id.text;
    send->target = view.target.value_or("");
    send->timeout = view.timeout.value_or(kDefaultTimeout);
    if (view.data) base64Decode(*view.data, send->payload);
    send->data = CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, send->payload.data(), CFIndex(send->payload.size()),
                                             kCFAllocatorNull);
    return send;
}

/// Puts `send` at the end of its target's line, begun or held.
void waitTurn(std::unique_ptr<Send> send, bool held) {
    Target& target = targets[send->target];
    // Behind a held send a send is held too: each target's sends keep their line order.
    send->held = held || (!target.waiting.empty() && target.waiting.back()->held);
    if (!send->held) send->started = secondsNow();
    if (!send->held) armTimerBy(sendPhaseEnd(*send));
    target.waiting.push_back(std::move(send));
    ++waitingTurns;
}

}  // namespace

void startSend(const CommandView& view, const RawJson& id, CFStringRef target) {
    if (!sendEnded) {
        CFRunLoopSourceContext context = {0,       nullptr, nullptr, nullptr, nullptr,
                                          nullptr, nullptr, nullptr, nullptr, [](void*) {}};
        sendEnded = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
        CFRunLoopAddSource(CFRunLoopGetMain(), sendEnded, kCFRunLoopDefaultMode);
    }
    auto line = targets.find(std::string(view.target.value_or("")));
    if (line != targets.end() && !line->second.waiting.empty()) {
        // Others to this target wait for their turn: this one neither looks up nor tries until they went.
        auto send = newSend(view, id);
        bool held = mustWait(send->timeout);
        waitTurn(std::move(send), held);
        return;
    }
    CFMessagePortRef remote = target ? CFMessagePortCreateRemote(kCFAllocatorDefault, target) : nullptr;
    if (!remote) {
        emitSent(id, statusNotRegistered);
        return;
    }
    auto send = newSend(view, id);
    if (mustWait(send->timeout)) {
        // Held without a connection; it looks its target up again when it begins.
        CFRelease(remote);
        waitTurn(std::move(send), true);
        return;
    }
    send->remote = remote;
    send->started = secondsNow();
    tryOldest(std::move(send));
}

bool sendsIdle() { return waitingSends == 0 && waitingTurns == 0; }
