// The play in time: the plug-in's tasks on the host's main queue and the simulator's
// own events between them, on the real clock or on one that the simulator drives.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "transcript.h"

namespace hostsim {

constexpr int64_t kSecond = 1000000000;

class Timeline {
  public:
    Timeline(bool drivenClock, Transcript& transcript) : drivenClock_(drivenClock), transcript_(transcript) {}

    /// Counts the events' times from `t0` on the host's clock, the instant of the load.
    void start(int64_t t0) { t0_ = t0; }

    /// Queues one of the simulator's own events, `at` seconds after the load.
    void queue(double at, std::function<void()> work);

    /// Runs the queue until the plug-in has nothing pending; false when `timeLimit` seconds after the load came
    /// first.
    bool play(double timeLimit);

    /// Spends `seconds` inside the plug-in's task, as a host busy in a press; the simulator's own events that fall
    /// due meanwhile (another process's writes, the clock) happen all the same.
    void busyFor(double seconds);

    /// Drops whatever is still queued, the plug-in's tasks and the simulator's own events.
    void discard();

  private:
    void waitUntil(int64_t when);
    /// Runs the first of the simulator's own events, at its time.
    void runFirstEvent();

    bool drivenClock_;
    Transcript& transcript_;
    int64_t t0_ = 0;
    std::multimap<int64_t, std::function<void()>> events_;  // by clock time, then in the order queued
};

}  // namespace hostsim
