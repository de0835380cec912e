// The run loop as the rest of this layer sees it: file descriptors to watch
// and nested runs that wait for a condition.
#pragma once

#include "cfinternal.h"

#include <cstdint>
#include <functional>

/// A source is what a run loop does with it: its owner says how to attach and detach it.
struct __CFRunLoopSource : cfl::Object {
    __CFRunLoopSource() : Object(cfl::typeRunLoopSource) {}
    std::function<void(CFRunLoopRef)> schedule;
    std::function<void(CFRunLoopRef)> unschedule;
    CFRunLoopRef scheduledOn = nullptr;
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

/// Serves `rl` (which must be the calling thread's) until `done()` holds or the
/// monotonic `deadline` passes; returns done(). Queued blocks run inside only
/// while the nesting stays shallow, so a flood of waiting calls cannot exhaust the stack.
bool runUntil(CFRunLoopRef rl, const std::function<bool()>& done, double deadline);

/// How deep runs may nest before queued blocks wait for an outer level.
constexpr int kBlockNestingLimit = 16;

}  // namespace cfl
