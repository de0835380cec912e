// The run loop's own tests: they use nothing but CoreFoundation's public API (and
// countingSource), so that they build and pass against CoreFoundation itself too.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "cf_test_util.h"

TEST(RunLoop, BlocksRunInOrderAndWakeUpComesFromAnyThread) {
    CFRunLoopRef main = CFRunLoopGetCurrent();
    EXPECT_EQ(main, CFRunLoopGetMain());
    std::vector<int> order;
    std::thread producer([&] {
        EXPECT_EQ(CFRunLoopGetMain(), main);
        for (int i = 0; i < 100; ++i)
            CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [&order, i] { order.push_back(i); });
        CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [main] { CFRunLoopStop(main); });
        CFRunLoopWakeUp(main);
    });
    // No source is needed: on the main thread the run waits for the main dispatch queue
    // too, so it neither finishes before the blocks come nor returns before the stop.
    CFRunLoopRun();
    producer.join();
    std::vector<int> expected;
    for (int i = 0; i < 100; ++i)
        expected.push_back(i);
    EXPECT_EQ(order, expected);
}

TEST(RunLoop, AStopEndsTheRunInProgressAndNoOther) {
    CFRunLoopRef main = CFRunLoopGetCurrent();
    // With no run in progress there is nothing to stop: the stop is dropped, not kept for the next run.
    CFRunLoopStop(main);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);

    // A nested run is a run of its own: the stop of the run around it is not its to take.
    std::atomic<int> performed{0};
    CFRunLoopSourceRef source = countingSource(main, &performed);
    CFRunLoopRunResult nested = kCFRunLoopRunFinished;
    CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [&] {
        CFRunLoopStop(main);
        nested = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
        // The nested run took the wake-up that came with the stop; a signalled source
        // keeps this turn from sleeping before it looks at the stop.
        CFRunLoopSourceSignal(source);
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 600, false), kCFRunLoopRunStopped);
    EXPECT_EQ(nested, kCFRunLoopRunTimedOut);
    EXPECT_EQ(performed, 1);
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);

    // A thread's loop that another thread holds outlives its thread: a stop or wake-up that comes
    // as the thread ends reaches a loop, not freed memory (the sanitizers tell).
    CFRunLoopRef ended = nullptr;
    std::thread([&ended] {
        ended = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent())));
    }).join();
    CFRunLoopStop(ended);
    CFRunLoopWakeUp(ended);
    EXPECT_EQ(CFGetTypeID(ended), CFRunLoopGetTypeID());
    CFRelease(ended);
}

TEST(RunLoop, ARunReturnsForItsOwnSourcesNotForBlocksAndTakesTheBlocksQueuedBeforeIt) {
    CFRunLoopRef main = CFRunLoopGetCurrent();
    std::atomic<int> performed{0};
    CFRunLoopSourceRef source = countingSource(main, &performed);
    std::vector<std::string> order;
    // The second block was queued before the first ran: it waits for the first, nested run
    // or not. A block that the first one queues runs inside that nested run.
    CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [&] {
        CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [&] { order.push_back("queued inside"); });
        order.push_back("first");
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunTimedOut);
        order.push_back("first done");
    });
    CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [&] { order.push_back("second"); });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunTimedOut);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "queued inside", "first done", "second"}));

    std::thread signaller([&] {
        CFRunLoopSourceSignal(source);
        CFRunLoopWakeUp(main);
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 600, true), kCFRunLoopRunHandledSource);
    signaller.join();
    EXPECT_EQ(performed, 1);
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);

    // With nothing left, the main thread's default mode still holds the main dispatch
    // queue: a run there goes on to its time-out. On another thread it finishes at once,
    // unless a timer is left to wait for.
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true), kCFRunLoopRunTimedOut);
    std::thread other([] {
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 600, true), kCFRunLoopRunFinished);
        int fired = 0;
        CFRunLoopTimerContext context = {0, &fired, nullptr, nullptr, nullptr};
        CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
            nullptr, CFAbsoluteTimeGetCurrent(), 0, 0, 0,
            [](CFRunLoopTimerRef, void* info) { ++*static_cast<int*>(info); }, &context);
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
        CFRelease(timer);
        // Firing is not handling a source; the fired one-shot timer leaves nothing behind.
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 600, true), kCFRunLoopRunFinished);
        EXPECT_EQ(fired, 1);
    });
    other.join();
}

TEST(RunLoop, NestedRunsFromAFloodOfBlocksStayShallow) {
    CFRunLoopRef main = CFRunLoopGetCurrent();
    int ran = 0, deepest = 0, depth = 0;
    const int count = 50000;
    for (int i = 0; i < count; ++i) {
        CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [&] {
            ++ran;
            deepest = std::max(deepest, ++depth);
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);  // as a waiting send would
            --depth;
        });
    }
    while (ran < count)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    EXPECT_EQ(ran, count);
    EXPECT_LE(deepest, 32);
}

TEST(RunLoop, TimersAddedFromAnyThreadWakeTheLoopAndPastDatesFireInTheOrderGiven) {
    CFRunLoopRef main = CFRunLoopGetCurrent();
    struct Fired {
        std::vector<int>* log;
        int id;
    };
    std::vector<int> order;
    Fired one{&order, 1}, two{&order, 2};
    std::vector<CFRunLoopTimerRef> timers;
    // The second is further in the past: both count as due from when they were made, the first first.
    for (auto [fired, past] : {std::pair{&one, 10.0}, std::pair{&two, 20.0}}) {
        CFRunLoopTimerContext context = {0, fired, nullptr, nullptr, nullptr};
        timers.push_back(CFRunLoopTimerCreate(
            nullptr, CFAbsoluteTimeGetCurrent() - past, 0, 0, 0,
            [](CFRunLoopTimerRef, void* info) {
                auto* f = static_cast<Fired*>(info);
                f->log->push_back(f->id);
                if (f->log->size() == 2) CFRunLoopStop(CFRunLoopGetMain());
            },
            &context));
    }
    std::thread adder([&] {
        // Most likely added while the main thread already sleeps in its ten-minute run:
        // then only the wake-up that adding brings ends that run early.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (CFRunLoopTimerRef t : timers)
            CFRunLoopAddTimer(main, t, kCFRunLoopDefaultMode);
    });
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 600, false), kCFRunLoopRunStopped);
    adder.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    for (CFRunLoopTimerRef t : timers)
        CFRelease(t);
}
