#include "timeline.h"

#include <platform/host.h>

#include <chrono>
#include <thread>

namespace hostsim {

void Timeline::queue(double at, std::function<void()> work) {
    events_.emplace(t0_ + int64_t(at * kSecond), std::move(work));
}

void Timeline::waitUntil(int64_t when) {
    int64_t now = PLHostClockNanoseconds();
    if (when <= now) return;
    if (drivenClock_)
        PLHostAdvanceClock(when - now);
    else
        std::this_thread::sleep_for(std::chrono::nanoseconds(when - now));
}

void Timeline::runFirstEvent() {
    auto first = events_.begin();
    waitUntil(first->first);
    auto work = std::move(first->second);
    events_.erase(first);
    work();
    transcript_.printLog();
}

bool Timeline::play(double timeLimit) {
    const int64_t limit = t0_ + int64_t(timeLimit * kSecond);
    while (PLHostPendingTasks() > 0) {
        // The simulator's own events go first, also before a task due at the same instant, so that a
        // scenario's changes are in place when the plug-in looks.
        if (!events_.empty()) {
            int64_t due = events_.begin()->first;
            if (due <= PLHostNextTaskTime() && due <= limit) {
                runFirstEvent();
                continue;
            }
        }
        bool ran = PLHostRunNextTask(limit);
        transcript_.printLog();
        if (!ran) return false;
    }
    return true;
}

void Timeline::busyFor(double seconds) {
    int64_t end = PLHostClockNanoseconds() + int64_t(seconds * kSecond);
    while (!events_.empty() && events_.begin()->first <= end)
        runFirstEvent();
    waitUntil(end);
}

void Timeline::discard() {
    PLHostDiscardTasks();
    events_.clear();
}

}  // namespace hostsim
