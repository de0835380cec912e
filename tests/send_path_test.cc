// What "send" hands to the message port, and in which order sends go: this test
// binary stands in for CFMessagePortSendRequest (its own definition wins over the
// layer's at link time), so the time-outs, the waits nested in one another and a
// receiver's full queue are played without processes and without waiting. On Linux
// it also drives the process's clocks, so the send timer fires when a test moves
// them, never by the machine's speed.
#include <CoreFoundation/CoreFoundation.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base64.h"
#include "cfref.h"
#include "dispatcher.h"
#include "output.h"
#include "sends.h"

namespace {

struct Call {
    std::string target, data;
    double sendTimeout, rcvTimeout;
    bool replyMode;
};
std::vector<Call> calls;
/// What the receiver does with the next request of a payload: a status, and what happens while it waits.
struct Answer {
    SInt32 status = kCFMessagePortSuccess;
    std::function<void()> meanwhile;
};
std::map<std::string, std::vector<Answer>> script;

CFDataRef nothing(CFMessagePortRef, SInt32, CFDataRef, void*) { return nullptr; }

/// How often the send timer fired, and the callout it was made with.
int firings = 0;
CFRunLoopTimerCallBack sendTimerCallout = nullptr;

#if !defined(__APPLE__)
/// Nanoseconds the driven clocks have moved since they were frozen; -1 while they are real.
std::atomic<int64_t> drivenBy{-1};
timespec frozenMonotonic, frozenRealtime;

void freezeClocks() {
    drivenBy = -1;
    clock_gettime(CLOCK_MONOTONIC, &frozenMonotonic);
    clock_gettime(CLOCK_REALTIME, &frozenRealtime);
    drivenBy = 0;
}
#endif

}  // namespace

#if !defined(__APPLE__)
// The whole process's clocks, the layer's run loop and its timers included: an executable's
// definition comes before the C library's for every shared object, as CFMessagePortSendRequest's does.
extern "C" int clock_gettime(clockid_t clock, timespec* ts) noexcept {
    int64_t by = drivenBy.load();
    if (by < 0 || (clock != CLOCK_MONOTONIC && clock != CLOCK_REALTIME))
        return int(syscall(SYS_clock_gettime, clock, ts));
    const timespec& from = clock == CLOCK_MONOTONIC ? frozenMonotonic : frozenRealtime;
    int64_t ns = from.tv_nsec + by;
    ts->tv_sec = from.tv_sec + time_t(ns / 1000000000);
    ts->tv_nsec = long(ns % 1000000000);
    return 0;
}
#endif

// Counts the send timer's firings, on both platforms: the tool's call comes here, and goes on
// to the run loop's own.
extern "C" CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                                  CFTimeInterval interval, CFOptionFlags flags, CFIndex order,
                                                  CFRunLoopTimerCallBack callout, CFRunLoopTimerContext* context) {
    static auto next = reinterpret_cast<decltype(&CFRunLoopTimerCreate)>(dlsym(RTLD_NEXT, "CFRunLoopTimerCreate"));
    sendTimerCallout = callout;
    return next(
        allocator, fireDate, interval, flags, order,
        [](CFRunLoopTimerRef timer, void* info) {
            ++firings;
            sendTimerCallout(timer, info);
        },
        context);
}

extern "C" SInt32 CFMessagePortSendRequest(CFMessagePortRef remote, SInt32 msgid, CFDataRef data,
                                           CFTimeInterval sendTimeout, CFTimeInterval rcvTimeout, CFStringRef replyMode,
                                           CFDataRef*) {
    EXPECT_EQ(msgid, messageId);
    std::string bytes(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), size_t(CFDataGetLength(data)));
    calls.push_back({stringFromCF(CFMessagePortGetName(remote)), bytes, sendTimeout, rcvTimeout, replyMode != nullptr});
    auto& next = script[bytes];
    if (next.empty()) return kCFMessagePortSuccess;
    Answer answer = next.front();
    next.erase(next.begin());
    if (answer.meanwhile) answer.meanwhile();
    return answer.status;
}

namespace {

/// Registers local ports (so that look-ups find them) and catches the events written.
struct SendPath : testing::Test {
    std::vector<CFMessagePortRef> ports;
    int sink[2] = {-1, -1};

    void SetUp() override {
        calls.clear();
        script.clear();
        firings = 0;
#if !defined(__APPLE__)
        freezeClocks();
#endif
        ASSERT_EQ(pipe(sink), 0);
        fcntl(sink[0], F_SETFL, O_NONBLOCK);  // nothing written reads as nothing
        output = sink[1];
    }
    void TearDown() override {
#if !defined(__APPLE__)
        drivenBy = -1;
#endif
        output = 1;
        close(sink[0]);
        close(sink[1]);
        for (CFMessagePortRef port : ports) {
            CFMessagePortInvalidate(port);
            CFRelease(port);
        }
    }
    std::string port(const std::string& suffix) {
        std::string name = "sendpath." + std::to_string(getpid()) + "." + suffix;
        CFOwned<CFStringRef> n(stringToCF(name));
        ports.push_back(CFMessagePortCreateLocal(nullptr, n.get(), nothing, nullptr, nullptr));
        return name;
    }
    /// A "send" command, handled as the main thread handles one.
    static void send(const std::string& target, const std::string& data, const std::string& extra = "") {
        std::string line = R"({"cmd":"send","id":")" + data + R"(","target":")" + target + R"(","data":")" +
                           base64Encode(reinterpret_cast<const uint8_t*>(data.data()), data.size()) + "\"" + extra +
                           "}";
        CommandObject command;
        ASSERT_TRUE(parseCommand(line, command));
        handle(command);
    }
    /// Moves the clocks on by `seconds`, a millisecond at a time, letting the run loop take
    /// what fell due at each step. The framework's run loop keeps time of its own, which no
    /// test drives: there the clocks stand where they are.
    static void advance(double seconds) {
#if !defined(__APPLE__)
        for (int ms = 0; ms < int(seconds * 1000 + 0.5); ++ms) {
            drivenBy += 1000000;
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true);
        }
#else
        (void)seconds;
#endif
    }
    /// Runs what the sends queued on the run loop until none waits; no timer tick is needed.
    static void settle() {
        for (int i = 0; i < 100 && !sendsIdle(); ++i)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true);
    }
    /// The ids of the "sent" events written so far, in order, with their statuses.
    std::vector<std::string> sent() {
        std::string text(1 << 16, '\0');
        ssize_t n = read(sink[0], text.data(), text.size());
        text.resize(n > 0 ? size_t(n) : 0);
        std::vector<std::string> out;
        for (size_t at = 0; (at = text.find("\"id\":\"", at)) != std::string::npos;) {
            at += 6;
            std::string id = text.substr(at, text.find('"', at) - at);
            size_t status = text.find("\"status\":", at) + 9;
            out.push_back(id + "=" + text.substr(status, text.find_first_of(",}", status) - status));
        }
        return out;
    }
    std::vector<std::string> tried() {
        std::vector<std::string> out;
        for (const Call& call : calls)
            out.push_back(call.data);
        return out;
    }
    static long triesOf(const std::string& data) {
        return std::count_if(calls.begin(), calls.end(), [&](const Call& call) { return call.data == data; });
    }
    /// A receiver whose queue stays full for `data`.
    static void staysFull(const std::string& data) {
        script[data] = std::vector<Answer>(100000, {kCFMessagePortSendTimeout, nullptr});
    }
};

TEST_F(SendPath, TimeOutsMessageIdAndReplyModeAsTheCommandSays) {
    std::string name = port("t");
    send(name, "a");
    send(name, "b", R"(,"timeout":"2")");
    send(name, "c", R"(,"timeout":2)");
    send(name, "d", R"(,"timeout":0.25)");
    ASSERT_EQ(calls.size(), 4u);
    for (const Call& call : calls) {
        EXPECT_TRUE(call.replyMode);
        // One try to queue: a full queue is tried again from the run loop, not waited on.
        EXPECT_EQ(call.sendTimeout, 0);
    }
    EXPECT_EQ(calls[0].rcvTimeout, 5.0);
    EXPECT_EQ(calls[1].rcvTimeout, 5.0);
    EXPECT_EQ(calls[2].rcvTimeout, 2.0);
    EXPECT_EQ(calls[3].rcvTimeout, 0.25);
}

TEST_F(SendPath, AFullQueueHoldsUpItsOwnTargetOnlyAndTheReplyBeforeWakesIt) {
    std::string a = port("a"), b = port("b");
    // While a1 waits: a2 finds a's queue full, a3 goes behind it untried, b1 goes at once.
    script["a1"] = {{kCFMessagePortSuccess, [&] {
                         send(a, "a2");
                         send(a, "a3");
                         send(b, "b1");
                     }}};
    script["a2"] = {{kCFMessagePortSendTimeout, nullptr}};
    send(a, "a1");
    EXPECT_EQ(tried(), (std::vector<std::string>{"a1", "a2", "b1"}));
    // a1's reply says a's receiver is taking requests: a2 then a3 go without a timer's tick.
    settle();
    EXPECT_EQ(tried(), (std::vector<std::string>{"a1", "a2", "b1", "a2", "a3"}));
    EXPECT_EQ(sent(), (std::vector<std::string>{"b1=0", "a1=0", "a2=0", "a3=0"}));
    EXPECT_TRUE(sendsIdle());
}

TEST_F(SendPath, ASendThatWouldOutlastTheWaitsAroundItIsHeldInItsTargetsLineOnly) {
    std::string a = port("a"), b = port("b"), gone = "sendpath.nobody." + std::to_string(getpid());
    script["a1"] = {{kCFMessagePortSuccess, [&] {
                         send(a, "a2", R"(,"timeout":1000)");  // would keep a1 waiting past its deadline
                         send(a, "a3", R"(,"timeout":1)");     // behind a2, in line order
                         send(b, "b1", R"(,"timeout":1)");     // another target: not held by a2
                         send(gone, "g1");                     // nobody's name: answered at once
                         // Held, a3 spends no send phase: it would end -1 ahead of a2.
                         advance(1.5);
                     }}};
    send(a, "a1", R"(,"timeout":3)");
    EXPECT_EQ(tried(), (std::vector<std::string>{"a1", "b1"}));
    settle();
    EXPECT_EQ(tried(), (std::vector<std::string>{"a1", "b1", "a2", "a3"}));
    // Held, its time-outs count from when it began, whole.
    EXPECT_EQ(calls[2].rcvTimeout, 1000);
    EXPECT_EQ(sent(), (std::vector<std::string>{"b1=0", "g1=-99", "a1=0", "a2=0", "a3=0"}));
}

TEST_F(SendPath, BelowAMillisecondAFullQueueIsOneTryAndEverySendAnswersOnce) {
    std::string a = port("a");
    script["a1"] = {{kCFMessagePortSuccess, [&] { send(a, "a2", R"(,"timeout":0)"); }}};
    script["a2"] = {{kCFMessagePortSendTimeout, nullptr}};
    send(a, "a1");
    settle();
    EXPECT_EQ(tried(), (std::vector<std::string>{"a1", "a2"}));
    EXPECT_EQ(sent(), (std::vector<std::string>{"a2=-1", "a1=0"}));
}

TEST_F(SendPath, AFullTargetIsTriedLessAndLessOftenUntilItAnswersThenFromTheStart) {
    std::string x = port("x");
    script["x1"] = std::vector<Answer>(24, {kCFMessagePortSendTimeout, nullptr});
    send(x, "x1");
    // Tried at once, then after 2, 4, 8 ... ms up to every 0.1 s: 24 tries in 2 s, the last one queued.
    advance(2.0);
#if !defined(__APPLE__)
    EXPECT_EQ(triesOf("x1"), 25);
    EXPECT_LE(firings, 26);  // the timer wakes the tool for its tries, not in a loop
    EXPECT_EQ(sent(), (std::vector<std::string>{"x1=0"}));
    // The answer showed a receiver that takes requests: the next full queue is tried soon again.
    staysFull("x2");
    send(x, "x2");
    advance(0.2);
    EXPECT_EQ(triesOf("x2"), 7);
    script["x2"].clear();
    advance(0.1);
    EXPECT_EQ(sent(), (std::vector<std::string>{"x2=0"}));
#endif
    EXPECT_TRUE(sendsIdle());
}

TEST_F(SendPath, ALineThatMayNotBeTriedWhereItWaitsCostsNoWakeUpAndBeginsAfresh) {
#if defined(__APPLE__)
    GTEST_SKIP() << "the framework's run loop keeps a clock of its own";
#endif
    std::string x = port("x"), y = port("y");
    staysFull("x1");
    send(x, "x1", R"(,"timeout":3)");
    advance(0.5);
    long before = triesOf("x1");
    // Inside y1's second x1's three would not fit: it may not be tried there, and nothing spins.
    script["y1"] = {{kCFMessagePortSuccess, [&] {
                         int fired = firings;
                         advance(0.9);
                         EXPECT_LE(firings - fired, 1);
                         EXPECT_EQ(triesOf("x1"), before);
                     }}};
    send(y, "y1", R"(,"timeout":1)");
    // Its send phase begins again once y1 has answered, whole: -1 only after three more seconds of tries.
    advance(2.9);
    EXPECT_EQ(sent(), (std::vector<std::string>{"y1=0"}));
    advance(0.2);
    EXPECT_EQ(sent(), (std::vector<std::string>{"x1=-1"}));
    EXPECT_TRUE(sendsIdle());
}

}  // namespace
