// The layer's clock, the C library's `time` on it, and the main queue.
//
// Queue times are nanoseconds on the layer's clock: CLOCK_MONOTONIC, or the
// driven clock, which starts from the monotonic reading at the switch so that
// tasks queued before it keep their places.
#include <dispatch/dispatch.h>
#include <platform/host.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

struct dispatch_queue_s {};

namespace {

int64_t readClock(clockid_t id) {
    timespec ts;
    clock_gettime(id, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/// The real clocks, or a driven reading with the wall offset fixed at the switch.
class Clock {
  public:
    int64_t now() const {
        std::lock_guard<std::mutex> hold(lock_);
        return driven_ ? drivenNow_ : readClock(CLOCK_MONOTONIC);
    }
    int64_t wall() const {
        std::lock_guard<std::mutex> hold(lock_);
        return driven_ ? drivenNow_ + wallOffset_ : readClock(CLOCK_REALTIME) + realShift_;
    }
    bool driven() const {
        std::lock_guard<std::mutex> hold(lock_);
        return driven_;
    }
    void drive(int64_t wallSeconds) {
        std::lock_guard<std::mutex> hold(lock_);
        drivenNow_ = driven_ ? drivenNow_ : readClock(CLOCK_MONOTONIC);
        wallOffset_ = wallSeconds * 1000000000 - drivenNow_;
        realShift_ = 0;
        driven_ = true;
    }
    void release() {
        std::lock_guard<std::mutex> hold(lock_);
        realShift_ = 0;
        driven_ = false;
    }
    /// Sets the wall clock by `nanoseconds` without moving the clock that queue times count.
    void shiftWall(int64_t nanoseconds) {
        std::lock_guard<std::mutex> hold(lock_);
        (driven_ ? wallOffset_ : realShift_) += nanoseconds;
    }
    /// Moves a driven clock to `to` unless it is already past it.
    void advanceTo(int64_t to) {
        std::lock_guard<std::mutex> hold(lock_);
        if (driven_ && to > drivenNow_) drivenNow_ = to;
    }

  private:
    mutable std::mutex lock_;
    bool driven_ = false;
    int64_t drivenNow_ = 0;
    int64_t wallOffset_ = 0;
    int64_t realShift_ = 0;  // the real wall clock as a host set it, against CLOCK_REALTIME
};

Clock& layerClock() {
    static auto* theClock = new Clock;
    return *theClock;
}

constexpr int64_t kLongestWait = int64_t(3600) * 1000000000;

/// Tasks by due time, then by the order in which they were queued.
class MainQueue {
  public:
    void add(int64_t when, std::function<void()> work) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            tasks_.emplace(std::make_pair(when, nextSequence_++), std::move(work));
        }
        changed_.notify_all();
    }

    bool runNext(int64_t deadline) {
        std::function<void()> work;
        {
            std::unique_lock<std::mutex> hold(lock_);
            for (;;) {
                int64_t due = tasks_.empty() ? -1 : tasks_.begin()->first.first;
                int64_t until = due >= 0 && due < deadline ? due : deadline;
                if (layerClock().driven()) {
                    if (due < 0 || due > deadline) {
                        layerClock().advanceTo(deadline);
                        return false;
                    }
                    layerClock().advanceTo(due);
                    break;
                }
                int64_t now = layerClock().now();
                // A host that calls late must not run a task that falls due after its deadline.
                if (due >= 0 && due <= now && due <= deadline) break;
                if (now >= deadline) return false;
                // In slices, so that a far deadline cannot overflow the wait.
                changed_.wait_for(hold, std::chrono::nanoseconds(std::min<int64_t>(until - now, kLongestWait)));
            }
            auto first = tasks_.begin();
            work = std::move(first->second);
            tasks_.erase(first);
        }
        work();
        return true;
    }

    int64_t nextTime() const {
        std::lock_guard<std::mutex> hold(lock_);
        return tasks_.empty() ? -1 : tasks_.begin()->first.first;
    }

    size_t size() const {
        std::lock_guard<std::mutex> hold(lock_);
        return tasks_.size();
    }

    void discard() {
        std::map<std::pair<int64_t, uint64_t>, std::function<void()>> dropped;
        {
            std::lock_guard<std::mutex> hold(lock_);
            dropped.swap(tasks_);
        }
        // Destroyed outside the lock: a task's captures may queue or release things.
    }

  private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    uint64_t nextSequence_ = 0;
    std::map<std::pair<int64_t, uint64_t>, std::function<void()>> tasks_;
};

MainQueue& mainQueue() {
    static auto* queue = new MainQueue;
    return *queue;
}

dispatch_queue_s gMainQueue;

}  // namespace

extern "C" {

/// Found before the C library's `time` in processes that link the layer, so
/// that plug-ins read the layer's clock.
__attribute__((visibility("default"))) time_t time(time_t* result) noexcept {
    time_t seconds = time_t(layerClock().wall() / 1000000000);
    if (result) *result = seconds;
    return seconds;
}

/// Nanoseconds on the layer's clock, which runs forward only, as CLOCK_UPTIME_RAW does on macOS.
uint64_t clock_gettime_nsec_np(int clock) {
    (void)clock;
    return uint64_t(layerClock().now());
}

dispatch_queue_t dispatch_get_main_queue(void) { return &gMainQueue; }

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
    if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
    int64_t base = when == DISPATCH_TIME_NOW ? layerClock().now() : int64_t(when);
    int64_t sum;
    if (__builtin_add_overflow(base, delta, &sum)) return delta > 0 ? DISPATCH_TIME_FOREVER : 1;
    return sum <= 0 ? 1 : dispatch_time_t(sum);
}

void PLHostUseDrivenClock(int64_t wallSeconds) { layerClock().drive(wallSeconds); }
void PLHostUseRealClock(void) { layerClock().release(); }
bool PLHostClockIsDriven(void) { return layerClock().driven(); }
int64_t PLHostClockNanoseconds(void) { return layerClock().now(); }
int64_t PLHostWallNanoseconds(void) { return layerClock().wall(); }
void PLHostAdvanceClock(int64_t nanoseconds) { layerClock().advanceTo(layerClock().now() + nanoseconds); }
void PLHostShiftWallClock(int64_t nanoseconds) { layerClock().shiftWall(nanoseconds); }

bool PLHostRunNextTask(int64_t deadline) { return mainQueue().runNext(deadline); }
int64_t PLHostNextTaskTime(void) { return mainQueue().nextTime(); }
size_t PLHostPendingTasks(void) { return mainQueue().size(); }
void PLHostDiscardTasks(void) { mainQueue().discard(); }

}  // extern "C"

void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, std::function<void()> block) {
    // Apple leaves FOREVER undefined here; never running the block is the safe reading.
    if (queue != &gMainQueue || when == DISPATCH_TIME_FOREVER || !block) return;
    mainQueue().add(int64_t(when), std::move(block));
}
