// One epoll set per run loop; an eventfd carries CFRunLoopWakeUp. The layer has
// a single mode: every mode name given to it means the default mode.
#include "runloop.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

struct __CFRunLoop : cfl::Object {
    __CFRunLoop() : Object(cfl::typeRunLoop, true) {
        epfd = epoll_create1(EPOLL_CLOEXEC);
        wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
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
    int depth = 0;
    std::atomic<bool> stopRequested{false};
    /// A wake-up is written and not yet taken: further ones need no write of their own.
    std::atomic<bool> wakePending{false};

    std::mutex blockLock;
    std::deque<std::function<void()>> blocks;
};

namespace cfl {
namespace {

std::mutex gMainLock;
__CFRunLoop* gMain = nullptr;

struct ThreadLoop {
    std::unique_ptr<__CFRunLoop> loop;
};
thread_local ThreadLoop tLoop;

bool onMainThread() { return syscall(SYS_gettid) == getpid(); }

/// The calling thread's loop once known: telling the main thread apart takes two
/// system calls, and every request asks. A forked child's one thread asks afresh.
thread_local __CFRunLoop* tCurrent = nullptr;
[[maybe_unused]] const int gForgetCurrentOnFork = pthread_atfork(nullptr, nullptr, [] { tCurrent = nullptr; });

__CFRunLoop* mainLoop() {
    std::lock_guard<std::mutex> hold(gMainLock);
    if (!gMain) gMain = new __CFRunLoop;
    return gMain;
}

bool popBlock(__CFRunLoop* rl, std::function<void()>& out) {
    std::lock_guard<std::mutex> hold(rl->blockLock);
    if (rl->blocks.empty()) return false;
    out = std::move(rl->blocks.front());
    rl->blocks.pop_front();
    return true;
}

bool hasBlocks(__CFRunLoop* rl) {
    std::lock_guard<std::mutex> hold(rl->blockLock);
    return !rl->blocks.empty();
}

/// One pass: the blocks queued before it (when allowed), then whatever the
/// descriptors report, waiting at most until `deadline`. True when it handled a source.
bool runPass(__CFRunLoop* rl, double deadline, bool stoppable) {
    bool blocksAllowed = rl->depth <= kBlockNestingLimit;
    bool ranBlocks = false;
    if (blocksAllowed) {
        size_t pending;
        {
            std::lock_guard<std::mutex> hold(rl->blockLock);
            pending = rl->blocks.size();
        }
        std::function<void()> block;
        while (pending-- > 0 && !(stoppable && rl->stopRequested) && popBlock(rl, block)) {
            block();
            block = nullptr;
            ranBlocks = true;
        }
    }
    if (stoppable && rl->stopRequested) return false;

    // A block may have run the loop again and settled what the caller waits
    // for, so after blocks the caller gets to look before anything sleeps.
    int timeoutMs = 0;
    if (!ranBlocks && !(blocksAllowed && hasBlocks(rl))) {
        // Long waits are taken an hour at a time; callers loop until their deadline.
        double left = std::min(deadline - now(), 3600.0);
        timeoutMs = left <= 0 ? 0 : int(std::ceil(left * 1000.0));
    }
    epoll_event events[64];
    int n = epoll_wait(rl->epfd, events, 64, timeoutMs);
    bool handled = false;
    for (int i = 0; i < n; ++i) {
        uint64_t id = events[i].data.u64;
        if (id == 0) {
            uint64_t count;
            while (read(rl->wakefd, &count, sizeof count) > 0) {
            }
            // Cleared only once taken: whoever wakes the loop from here on writes again,
            // and whoever came before is seen by the checks that follow this pass.
            rl->wakePending = false;
            continue;
        }
        auto it = rl->watches.find(id);
        if (it == rl->watches.end()) continue;  // removed by an earlier handler of this pass
        std::shared_ptr<__CFRunLoop::Watch> w = it->second;
        w->handler(events[i].events);
        handled = true;
    }
    return handled;
}

struct DepthGuard {
    explicit DepthGuard(__CFRunLoop* r) : rl(r) { ++rl->depth; }
    ~DepthGuard() { --rl->depth; }
    __CFRunLoop* rl;
};

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

bool runUntil(CFRunLoopRef rl, const std::function<bool()>& done, double deadline) {
    DepthGuard nested(rl);
    while (!done()) {
        if (now() >= deadline) return done();
        // A stop ends the innermost CFRunLoopRunInMode only, never a wait for a reply.
        runPass(rl, deadline, false);
    }
    return true;
}

}  // namespace cfl

extern "C" {

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

CFTypeID CFRunLoopGetTypeID(void) { return cfl::typeRunLoop; }
CFTypeID CFRunLoopSourceGetTypeID(void) { return cfl::typeRunLoopSource; }

CFRunLoopRef CFRunLoopGetMain(void) { return cfl::mainLoop(); }

CFRunLoopRef CFRunLoopGetCurrent(void) {
    if (cfl::tCurrent) return cfl::tCurrent;
    if (cfl::onMainThread()) return cfl::tCurrent = cfl::mainLoop();
    if (!cfl::tLoop.loop) cfl::tLoop.loop = std::make_unique<__CFRunLoop>();
    return cfl::tCurrent = cfl::tLoop.loop.get();
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode) {
    if (source->scheduledOn) return;
    source->scheduledOn = rl;
    CFRetain(source);  // the run loop holds the source
    if (source->schedule) source->schedule(rl);
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode) {
    if (source->scheduledOn != rl) return;
    if (source->unschedule) source->unschedule(rl);
    source->scheduledOn = nullptr;
    CFRelease(source);
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source) {
    if (source->scheduledOn) CFRunLoopRemoveSource(source->scheduledOn, source, kCFRunLoopDefaultMode);
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode, CFTimeInterval seconds, Boolean returnAfterSourceHandled) {
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    double deadline = cfl::now() + (seconds > 0 ? seconds : 0);
    cfl::DepthGuard nested(rl);
    do {
        if (rl->stopRequested) {
            rl->stopRequested = false;
            return kCFRunLoopRunStopped;
        }
        if (rl->sources == 0 && !cfl::hasBlocks(rl)) return kCFRunLoopRunFinished;
        bool handled = cfl::runPass(rl, deadline, true);
        if (handled && returnAfterSourceHandled) return kCFRunLoopRunHandledSource;
    } while (cfl::now() < deadline || rl->stopRequested);
    return kCFRunLoopRunTimedOut;
}

void CFRunLoopRun(void) {
    CFRunLoopRunResult result;
    do {
        result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false);
    } while (result != kCFRunLoopRunStopped && result != kCFRunLoopRunFinished);
}

void CFRunLoopStop(CFRunLoopRef rl) {
    rl->stopRequested = true;
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
