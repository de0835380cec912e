// One epoll set per run loop; an eventfd carries CFRunLoopWakeUp. The layer has
// a single mode: every mode name given to it means the default mode.
//
// A run goes as CoreFoundation's __CFRunLoopRun goes, because callers depend on
// it: each turn runs the blocks queued so far (the whole list is taken first,
// so blocks queued meanwhile wait for a later turn or a nested run), then the
// signalled version-0 sources, then waits for one descriptor (or the next timer)
// and serves it, then fires the timers that are due, then runs blocks again.
// Running blocks or firing timers never counts as handling a source.
//
// On the main thread the default mode is never empty: in CoreFoundation the main
// dispatch queue's port is a source of the main run loop in its common modes, so
// a run there does not finish for want of sources, and CFRunLoopRun() returns
// only when stopped. A stop is for the innermost run in progress and is dropped
// when none is.
#include "runloop.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

// A thread's loop is counted as CoreFoundation's are: its thread holds one reference until it
// ends, and whoever stops or wakes it from another thread keeps it alive with CFRetain. The main
// loop lives as long as the process.
struct __CFRunLoop : cfl::Object {
    explicit __CFRunLoop(bool main) : Object(cfl::typeRunLoop, main) {
        epfd = epoll_create1(EPOLL_CLOEXEC);
        wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (epfd < 0 || wakefd < 0) {
            // A loop that cannot wait or be woken would spin or sleep through all its
            // work; CoreFoundation halts when it cannot make its wake-up port, and so does this.
            std::fprintf(stderr, "CFRunLoop: cannot create a run loop: %s\n", std::strerror(errno));
            std::abort();
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = 0;
        epoll_ctl(epfd, EPOLL_CTL_ADD, wakefd, &ev);
    }
    ~__CFRunLoop() override {
        close(epfd);
        close(wakefd);
    }

    struct Watch {
        int fd;
        std::function<void(uint32_t)> handler;
    };

    int epfd = -1;
    int wakefd = -1;
    uint64_t nextId = 1;
    std::unordered_map<uint64_t, std::shared_ptr<Watch>> watches;
    int sources = 0;
    /// Version-0 sources added to this loop, each retained by it.
    std::vector<CFRunLoopSourceRef> sources0;
    /// Every source added to this loop, each retained by it: its thread's end removes them.
    std::vector<CFRunLoopSourceRef> added;
    /// Under gTimerLock. Timers added to this loop, each retained by it until invalidated.
    std::vector<CFRunLoopTimerRef> timers;

    /// A run in progress; a nested run has its own, so it never takes its caller's stop.
    struct Run {
        std::atomic<bool> stopped{false};
        Run* outer = nullptr;
    };
    /// Guards `run`, which CFRunLoopStop reads from any thread.
    std::mutex runLock;
    Run* run = nullptr;
    /// A wake-up is written and not yet taken: further ones need no write of their own.
    std::atomic<bool> wakePending{false};

    std::mutex blockLock;
    std::deque<std::function<void()>> blocks;
};

struct __CFRunLoopTimer : cfl::Object {
    __CFRunLoopTimer() : Object(cfl::typeRunLoopTimer) {}
    ~__CFRunLoopTimer() override {
        if (context.release && context.info) context.release(context.info);
    }
    /// On the monotonic clock: the wall clock may be set back under a waiting timer.
    double fireAt = 0;
    double interval = 0;
    CFRunLoopTimerCallBack callout = nullptr;
    CFRunLoopTimerContext context{};
    /// Under gTimerLock: the loop the timer is in. Set only while that loop is alive: its
    /// thread's end takes its timers out before it lets the loop go.
    CFRunLoopRef loop = nullptr;
    /// Inside its callout: a nested run does not fire it again, as in CoreFoundation.
    bool firing = false;
};

__CFRunLoopSource::~__CFRunLoopSource() {
    if (context.release && context.info) context.release(context.info);
}

namespace cfl {
namespace {

std::mutex gMainLock;
std::atomic<__CFRunLoop*> gMain{nullptr};

/// Guards every loop's `timers` and every timer's `loop` and `fireAt`: any thread may add, set
/// or invalidate a timer, as in CoreFoundation, while the loop's thread fires them. One lock for
/// all loops, so that a timer found in a loop under it is in a loop that is still alive.
std::mutex gTimerLock;

void endThreadLoop(__CFRunLoop* rl);

/// The thread's own reference to its loop, let go when the thread ends.
struct ThreadLoop {
    __CFRunLoop* loop = nullptr;
    ~ThreadLoop() {
        if (loop) endThreadLoop(loop);
    }
};
thread_local ThreadLoop tLoop;

bool onMainThread() { return syscall(SYS_gettid) == getpid(); }

/// The calling thread's loop once known: telling the main thread apart takes two
/// system calls, and every request asks. A forked child's one thread asks afresh.
thread_local __CFRunLoop* tCurrent = nullptr;
[[maybe_unused]] const int gForgetCurrentOnFork = pthread_atfork(nullptr, nullptr, [] { tCurrent = nullptr; });

__CFRunLoop* mainLoop() {
    std::lock_guard<std::mutex> hold(gMainLock);
    if (!gMain) gMain = new __CFRunLoop(true);
    return gMain;
}

/// Marks a run of `rl` as in progress for as long as it lives: CFRunLoopStop finds it.
class RunInProgress {
  public:
    explicit RunInProgress(__CFRunLoop* rl) : rl_(rl) {
        std::lock_guard<std::mutex> hold(rl_->runLock);
        run_.outer = rl_->run;
        rl_->run = &run_;
    }
    ~RunInProgress() {
        std::lock_guard<std::mutex> hold(rl_->runLock);
        rl_->run = run_.outer;
    }
    RunInProgress(const RunInProgress&) = delete;
    RunInProgress& operator=(const RunInProgress&) = delete;
    bool stopped() const { return run_.stopped; }

  private:
    __CFRunLoop* rl_;
    __CFRunLoop::Run run_;
};

bool hasBlocks(__CFRunLoop* rl) {
    std::lock_guard<std::mutex> hold(rl->blockLock);
    return !rl->blocks.empty();
}

/// Runs every block queued before this call, in order; true when it ran any.
bool doBlocks(__CFRunLoop* rl) {
    std::deque<std::function<void()>> taken;
    {
        std::lock_guard<std::mutex> hold(rl->blockLock);
        if (rl->blocks.empty()) return false;
        taken.swap(rl->blocks);
    }
    for (auto& block : taken) {
        block();
        block = nullptr;  // what the block holds goes before the next one runs
    }
    return true;
}

/// Performs the signalled version-0 sources, lowest order first; true when it performed one.
bool doSources0(__CFRunLoop* rl, bool stopAfterHandle) {
    if (rl->sources0.empty()) return false;
    std::vector<CFRunLoopSourceRef> due;
    for (CFRunLoopSourceRef s : rl->sources0)
        if (s->signalled) due.push_back(static_cast<CFRunLoopSourceRef>(const_cast<void*>(CFRetain(s))));
    std::stable_sort(due.begin(), due.end(),
                     [](CFRunLoopSourceRef a, CFRunLoopSourceRef b) { return a->order < b->order; });
    // As in CoreFoundation, the turn's result is that of the last source tried: one
    // that an earlier perform removed or unsignalled makes it "nothing handled".
    bool handled = false;
    for (CFRunLoopSourceRef s : due) {
        if (!(stopAfterHandle && handled)) {
            handled = s->scheduledOn == rl && s->signalled.exchange(false);
            if (handled && s->context.perform) s->context.perform(s->context.info);
        }
        CFRelease(s);
    }
    return handled;
}

/// Milliseconds for epoll_wait until `deadline`: -1 for none, waits of an hour at most.
int waitMs(double deadline) {
    if (std::isinf(deadline)) return -1;
    double left = std::min(deadline - now(), 3600.0);
    return left <= 0 ? 0 : int(std::ceil(left * 1000.0));
}

void takeWakeUp(__CFRunLoop* rl) {
    uint64_t count;
    while (read(rl->wakefd, &count, sizeof count) > 0) {
    }
    // Cleared only once taken: whoever wakes the loop from here on writes again.
    rl->wakePending = false;
}

/// Waits up to `deadline` for one descriptor and serves it, as CoreFoundation
/// serves one port a turn; true when it served one (a wake-up is not a source).
bool serveOne(__CFRunLoop* rl, double deadline) {
    epoll_event event;
    if (epoll_wait(rl->epfd, &event, 1, waitMs(deadline)) != 1) return false;
    uint64_t id = event.data.u64;  // a copy: epoll_event is packed, its fields are not aligned
    if (id == 0) {
        takeWakeUp(rl);
        return false;
    }
    auto it = rl->watches.find(id);
    if (it == rl->watches.end()) return false;
    std::shared_ptr<__CFRunLoop::Watch> w = it->second;  // the handler may remove its own watch
    w->handler(event.events);
    return true;
}

bool modeIsEmpty(__CFRunLoop* rl) {
    // `rl` is the calling thread's loop, the main loop only on the main thread: there
    // the main dispatch queue is always in the mode.
    if (rl == gMain) return false;
    {
        std::lock_guard<std::mutex> hold(gTimerLock);
        if (!rl->timers.empty()) return false;
    }
    return rl->sources == 0 && rl->sources0.empty() && !hasBlocks(rl);
}

/// The earliest time a timer of `rl` fires, or `deadline` when that is sooner.
double nextWake(__CFRunLoop* rl, double deadline) {
    std::lock_guard<std::mutex> hold(gTimerLock);
    for (CFRunLoopTimerRef t : rl->timers)
        if (!t->firing) deadline = std::min(deadline, t->fireAt);
    return deadline;
}

/// Fires the timers that are due, earliest first; a repeating one is set to its
/// next fire time after now, a one-shot one is invalidated after its callout.
void doTimers(__CFRunLoop* rl) {
    double t = now();
    std::vector<std::pair<double, CFRunLoopTimerRef>> due;
    {
        std::lock_guard<std::mutex> hold(gTimerLock);
        for (CFRunLoopTimerRef timer : rl->timers)
            if (!timer->firing && timer->fireAt <= t)
                due.emplace_back(timer->fireAt, static_cast<CFRunLoopTimerRef>(const_cast<void*>(CFRetain(timer))));
    }
    std::stable_sort(due.begin(), due.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto [firedAt, timer] : due) {
        bool mine;
        {
            std::lock_guard<std::mutex> hold(gTimerLock);
            mine = timer->loop == rl;
            if (mine) {
                firedAt = timer->fireAt;
                timer->firing = true;
            }
        }
        if (mine) {
            if (timer->callout) timer->callout(timer, timer->context.info);
            bool oneShot;
            {
                std::lock_guard<std::mutex> hold(gTimerLock);
                timer->firing = false;
                oneShot = timer->interval <= 0;
                // A callout that set the next fire date itself keeps it, as in CoreFoundation.
                if (!oneShot && timer->fireAt == firedAt) {
                    double next = timer->fireAt + timer->interval;
                    if (next <= now()) next += std::ceil((now() - next) / timer->interval) * timer->interval;
                    timer->fireAt = next;
                }
            }
            if (oneShot) CFRunLoopTimerInvalidate(timer);
        }
        CFRelease(timer);
    }
}

/// A fire date on the monotonic clock; one already past is now, as CoreFoundation takes it
/// when the date is given, so that past-due timers fire in the order they were given.
double fireTime(CFAbsoluteTime fireDate) {
    double t = now(), in = fireDate - CFAbsoluteTimeGetCurrent();
    return in > 0 ? t + in : t;
}

/// A loop waiting on another thread computes its wait afresh only when woken.
void timersChanged(__CFRunLoop* rl) {
    if (tCurrent != rl) CFRunLoopWakeUp(rl);
}

/// A thread's end, as CoreFoundation's: its loop lets go of its sources, timers and blocks,
/// then the thread's reference; the loop itself goes once nobody else holds it. The ending
/// thread; calls out to the sources' cancel and to what the blocks held as they go.
void endThreadLoop(__CFRunLoop* rl) {
    while (!rl->added.empty())
        CFRunLoopRemoveSource(rl, rl->added.back(), kCFRunLoopDefaultMode);
    std::vector<CFRunLoopTimerRef> timers;
    {
        std::lock_guard<std::mutex> hold(gTimerLock);
        timers.swap(rl->timers);
        for (CFRunLoopTimerRef t : timers)
            t->loop = nullptr;
    }
    for (CFRunLoopTimerRef t : timers)
        CFRelease(t);
    std::deque<std::function<void()>> blocks;
    {
        std::lock_guard<std::mutex> hold(rl->blockLock);
        blocks.swap(rl->blocks);
    }
    blocks.clear();
    tCurrent = nullptr;
    CFRelease(rl);
}

}  // namespace

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

uint64_t watch(CFRunLoopRef rl, int fd, uint32_t events, std::function<void(uint32_t)> handler) {
    uint64_t id = rl->nextId++;
    rl->watches[id] = std::make_shared<__CFRunLoop::Watch>(__CFRunLoop::Watch{fd, std::move(handler)});
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    epoll_ctl(rl->epfd, EPOLL_CTL_ADD, fd, &ev);
    return id;
}

void rewatch(CFRunLoopRef rl, uint64_t id, uint32_t events) {
    auto it = rl->watches.find(id);
    if (it == rl->watches.end()) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = id;
    epoll_ctl(rl->epfd, EPOLL_CTL_MOD, it->second->fd, &ev);
}

void unwatch(CFRunLoopRef rl, uint64_t id) {
    auto it = rl->watches.find(id);
    if (it == rl->watches.end()) return;
    epoll_ctl(rl->epfd, EPOLL_CTL_DEL, it->second->fd, nullptr);
    rl->watches.erase(it);
}

void countSource(CFRunLoopRef rl, int delta) { rl->sources += delta; }

}  // namespace cfl

extern "C" {

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

CFTypeID CFRunLoopGetTypeID(void) { return cfl::typeRunLoop; }
CFTypeID CFRunLoopSourceGetTypeID(void) { return cfl::typeRunLoopSource; }
CFTypeID CFRunLoopTimerGetTypeID(void) { return cfl::typeRunLoopTimer; }

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) - 978307200.0 + double(ts.tv_nsec) * 1e-9;
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef, CFAbsoluteTime fireDate, CFTimeInterval interval, CFOptionFlags,
                                       CFIndex, CFRunLoopTimerCallBack callout, CFRunLoopTimerContext* context) {
    auto* timer = new __CFRunLoopTimer;
    timer->fireAt = cfl::fireTime(fireDate);
    timer->interval = interval > 0 ? std::max(interval, 0.0001) : 0;
    timer->callout = callout;
    if (context) {
        timer->context = *context;
        if (context->retain && context->info) timer->context.info = const_cast<void*>(context->retain(context->info));
    }
    return timer;
}

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode) {
    if (!timer->callout) return;
    {
        std::lock_guard<std::mutex> hold(cfl::gTimerLock);
        // A timer is in one loop at a time; added again it stays where it is.
        if (timer->loop) return;
        timer->loop = rl;
        CFRetain(timer);  // the run loop holds the timer
        rl->timers.push_back(timer);
    }
    cfl::timersChanged(rl);
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer) {
    // Under the lock a timer's loop is alive: its thread's end takes the timer out first.
    {
        std::lock_guard<std::mutex> hold(cfl::gTimerLock);
        CFRunLoopRef rl = timer->loop;
        if (!rl) return;
        timer->loop = nullptr;
        rl->timers.erase(std::find(rl->timers.begin(), rl->timers.end(), timer));
    }
    CFRelease(timer);
}

void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate) {
    double at = cfl::fireTime(fireDate);
    std::lock_guard<std::mutex> hold(cfl::gTimerLock);
    timer->fireAt = at;
    // Woken under the lock, while the loop is sure to be alive.
    if (timer->loop) cfl::timersChanged(timer->loop);
}

CFRunLoopRef CFRunLoopGetMain(void) { return cfl::mainLoop(); }

CFRunLoopRef CFRunLoopGetCurrent(void) {
    if (cfl::tCurrent) return cfl::tCurrent;
    if (cfl::onMainThread()) return cfl::tCurrent = cfl::mainLoop();
    if (!cfl::tLoop.loop) cfl::tLoop.loop = new __CFRunLoop(false);
    return cfl::tCurrent = cfl::tLoop.loop;
}

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef, CFIndex order, CFRunLoopSourceContext* context) {
    if (!context || context->version != 0) return nullptr;  // only version 0 is supported here
    auto* source = new __CFRunLoopSource;
    source->version0 = true;
    source->order = order;
    source->context = *context;
    if (context->retain && context->info) source->context.info = const_cast<void*>(context->retain(context->info));
    return source;
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef source) {
    if (source->version0) source->signalled = true;
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    if (source->scheduledOn) return;
    source->scheduledOn = rl;
    CFRetain(source);  // the run loop holds the source
    rl->added.push_back(source);
    if (source->version0) {
        rl->sources0.push_back(source);
        if (source->context.schedule) source->context.schedule(source->context.info, rl, mode);
    } else if (source->schedule) {
        source->schedule(rl);
    }
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode) {
    if (source->scheduledOn != rl) return;
    if (source->version0) {
        rl->sources0.erase(std::find(rl->sources0.begin(), rl->sources0.end(), source));
        if (source->context.cancel) source->context.cancel(source->context.info, rl, mode);
    } else if (source->unschedule) {
        source->unschedule(rl);
    }
    source->scheduledOn = nullptr;
    rl->added.erase(std::find(rl->added.begin(), rl->added.end(), source));
    CFRelease(source);
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source) {
    if (source->scheduledOn) CFRunLoopRemoveSource(source->scheduledOn, source, kCFRunLoopDefaultMode);
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode, CFTimeInterval seconds, Boolean returnAfterSourceHandled) {
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    if (cfl::modeIsEmpty(rl)) return kCFRunLoopRunFinished;
    cfl::RunInProgress run(rl);
    // No time at all is one turn that does not sleep; beyond the limit there is no end.
    bool instant = !(seconds > 0);
    double deadline = instant ? 0 : seconds > cfl::kRunForever ? INFINITY : cfl::now() + seconds;
    for (;;) {
        cfl::doBlocks(rl);
        bool handled = cfl::doSources0(rl, returnAfterSourceHandled);
        if (handled) cfl::doBlocks(rl);
        bool poll = handled || instant;
        handled = cfl::serveOne(rl, poll ? 0 : cfl::nextWake(rl, deadline)) || handled;
        cfl::doTimers(rl);
        cfl::doBlocks(rl);
        if (handled && returnAfterSourceHandled) return kCFRunLoopRunHandledSource;
        if (instant || cfl::now() >= deadline) return kCFRunLoopRunTimedOut;
        if (run.stopped()) return kCFRunLoopRunStopped;
        if (cfl::modeIsEmpty(rl)) return kCFRunLoopRunFinished;
    }
}

void CFRunLoopRun(void) {
    CFRunLoopRunResult result;
    do {
        result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false);
    } while (result != kCFRunLoopRunStopped && result != kCFRunLoopRunFinished);
}

// Any thread.
void CFRunLoopStop(CFRunLoopRef rl) {
    {
        std::lock_guard<std::mutex> hold(rl->runLock);
        if (!rl->run) return;  // as in CoreFoundation: with no run in progress there is nothing to stop
        rl->run->stopped = true;
    }
    CFRunLoopWakeUp(rl);
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
    if (rl->wakePending.exchange(true)) return;
    uint64_t one = 1;
    ssize_t n = write(rl->wakefd, &one, sizeof one);
    (void)n;  // a full counter already means "awake"
}

}  // extern "C"

void CFRunLoopPerformBlock(CFRunLoopRef rl, CFTypeRef, std::function<void()> block) {
    std::lock_guard<std::mutex> hold(rl->blockLock);
    rl->blocks.push_back(std::move(block));
}
