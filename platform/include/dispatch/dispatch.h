// Linux stand-in for the part of dispatch that this project calls: the main
// queue with delayed tasks.
//
// The main queue runs where the host process runs it (platform/host.h), on
// its main thread, against the layer's clock: the real monotonic clock, or a
// clock that the host drives. Where macOS takes a block, this layer takes a
// callable, so a lambda works on both.
#pragma once

#include <cstdint>
#include <functional>

extern "C" {

typedef uint64_t dispatch_time_t;
typedef struct dispatch_queue_s* dispatch_queue_t;

#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)
#define NSEC_PER_SEC 1000000000ull
#define NSEC_PER_MSEC 1000000ull
#define NSEC_PER_USEC 1000ull
#define USEC_PER_SEC 1000000ull

dispatch_queue_t dispatch_get_main_queue(void);
/// `when` (or now, for DISPATCH_TIME_NOW) plus `delta` nanoseconds on the layer's clock.
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

/// macOS's <time.h> names this clock and reader; here they read the layer's clock, which a host may drive, so
/// that a plug-in times its calls on the clock the host plays. Other clock ids read it too.
#define CLOCK_UPTIME_RAW 8
uint64_t clock_gettime_nsec_np(int clock);

}  // extern "C"

/// Runs `block` once on the queue, no earlier than `when`; tasks due together run in the order queued.
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, std::function<void()> block);
