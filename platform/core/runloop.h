// The run loop as the rest of this layer sees it: file descriptors to watch.
#pragma once

#include "cfinternal.h"

#include <atomic>
#include <cstdint>
#include <functional>

/// A source is what a run loop does with it: a message port says how to attach
/// and detach its descriptors; a version-0 source carries its context and waits to be signalled.
struct __CFRunLoopSource : cfl::Object {
    __CFRunLoopSource() : Object(cfl::typeRunLoopSource) {}
    ~__CFRunLoopSource() override;
    std::function<void(CFRunLoopRef)> schedule;
    std::function<void(CFRunLoopRef)> unschedule;
    CFRunLoopRef scheduledOn = nullptr;
    bool version0 = false;
    CFIndex order = 0;
    CFRunLoopSourceContext context{};
    std::atomic<bool> signalled{false};
};

namespace cfl {

/// Seconds on the monotonic clock.
double now();

/// Watches `fd` for `events` (EPOLLIN, EPOLLOUT) on `rl`; the handler gets what happened.
uint64_t watch(CFRunLoopRef rl, int fd, uint32_t events, std::function<void(uint32_t)> handler);
/// Changes the events of a watch (errors and hang-ups are always reported).
void rewatch(CFRunLoopRef rl, uint64_t id, uint32_t events);
void unwatch(CFRunLoopRef rl, uint64_t id);
/// Counts the sources attached to `rl`: a loop without any has nothing to wait for.
void countSource(CFRunLoopRef rl, int delta);

/// Seconds beyond which a run loop's wait has no end, as in CoreFoundation.
constexpr double kRunForever = 504911232.0;

}  // namespace cfl
