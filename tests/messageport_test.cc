#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cf_test_util.h"
#include "cfinternal.h"
#include "runloop.h"

namespace {

std::string uniqueName(const std::string& what) {
    static int counter = 0;
    return "porttest." + std::to_string(getpid()) + "." + std::to_string(++counter) + "." + what;
}

CFStringRef str(const std::string& s) {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(s.data()), CFIndex(s.size()),
                                   kCFStringEncodingUTF8, false);
}

std::string bytes(CFDataRef d) {
    return d ? std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d)), size_t(CFDataGetLength(d))) : "";
}

CFDataRef makeData(const std::string& s) {
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(s.data()), CFIndex(s.size()));
}

struct Received {
    std::vector<SInt32> ids;
    std::vector<std::string> payloads;
    std::string reply;
    bool invalidateOnMessage = false;
    double nestedRun = 0;  // seconds the callout spends running the loop again, as a send from it would
    int nestedPasses = 0;
};

CFDataRef record(CFMessagePortRef local, SInt32 msgid, CFDataRef d, void* info) {
    auto* r = static_cast<Received*>(info);
    r->ids.push_back(msgid);
    r->payloads.push_back(bytes(d));
    if (r->invalidateOnMessage) CFMessagePortInvalidate(local);
    if (r->nestedRun > 0) {
        double until = cfl::now() + r->nestedRun;
        while (cfl::now() < until) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, until - cfl::now(), true);
            ++r->nestedPasses;
        }
    }
    return r->reply.empty() ? nullptr : makeData(r->reply);
}

CFMessagePortRef makeLocal(const std::string& name, Received* r) {
    CFMessagePortContext context = {0, r, nullptr, nullptr, nullptr};
    Boolean shouldFree = true;
    CFStringRef n = str(name);
    CFMessagePortRef port = CFMessagePortCreateLocal(nullptr, n, record, &context, &shouldFree);
    CFRelease(n);
    EXPECT_EQ(shouldFree, port == nullptr);
    return port;
}

void schedule(CFMessagePortRef port, CFRunLoopRef rl) {
    CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, port, 0);
    CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);
    CFRelease(source);
}

CFMessagePortRef remote(const std::string& name) {
    CFStringRef n = str(name);
    CFMessagePortRef port = CFMessagePortCreateRemote(nullptr, n);
    CFRelease(n);
    return port;
}

SInt32 sendTo(CFMessagePortRef port, SInt32 msgid, const std::string& payload, double timeout,
              std::string* reply = nullptr) {
    CFDataRef d = makeData(payload);
    CFDataRef answer = nullptr;
    SInt32 status = CFMessagePortSendRequest(port, msgid, d, timeout, timeout, kCFRunLoopDefaultMode, &answer);
    CFRelease(d);
    if (reply) *reply = bytes(answer);
    if (answer) CFRelease(answer);
    return status;
}

/// Descriptors watched by all the process's run loops, as the kernel lists them.
int watchedDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        std::string path = "/proc/self/fdinfo/" + std::to_string(fd);
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) continue;
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, "tfd:", 4) == 0) ++count;
        std::fclose(f);
    }
    return count;
}

/// A local port served by a run loop of its own thread, as a peer process would serve it.
struct ServedPort {
    explicit ServedPort(const std::string& portName) : name(portName) {
        thread = std::thread([this] {
            port = makeLocal(name, &received);
            loop = CFRunLoopGetCurrent();
            schedule(port, loop);
            ready = true;
            CFRunLoopRun();  // also returns by itself once the port is invalidated
            CFMessagePortInvalidate(port);
            CFRelease(port);
            // The loop belongs to this thread and dies with it: outlive the stop below.
            std::unique_lock<std::mutex> hold(lock);
            stopped.wait(hold, [this] { return stopping; });
        });
        while (!ready)
            std::this_thread::yield();
    }
    ~ServedPort() {
        // A stop reaches only a run in progress, and the thread may not have begun its run
        // yet. A block runs only inside a run, so the stop it makes is never lost.
        CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [] { CFRunLoopStop(CFRunLoopGetCurrent()); });
        CFRunLoopWakeUp(loop);
        {
            std::lock_guard<std::mutex> hold(lock);
            stopping = true;
        }
        stopped.notify_one();
        thread.join();
    }
    std::string name;
    Received received;
    CFMessagePortRef port = nullptr;
    CFRunLoopRef loop = nullptr;
    std::atomic<bool> ready{false};
    std::mutex lock;
    std::condition_variable stopped;
    bool stopping = false;
    std::thread thread;
};

int rawConnect(const std::string& name) {
    sockaddr_un addr;
    unsigned len = cfl::addressFor(name, addr);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    return fd;
}

class MessagePorts : public ::testing::Test {
  protected:
    void SetUp() override { baseline = cfl::liveReferences(0); }
    void TearDown() override { EXPECT_EQ(cfl::liveReferences(0), baseline) << "references leaked"; }
    long baseline = 0;
};

}  // namespace

TEST_F(MessagePorts, ANameIsHeldByOneLivePortAndFreedWithIt) {
    Received r;
    std::string name = uniqueName("held");
    CFMessagePortRef a = makeLocal(name, &r);
    ASSERT_NE(a, nullptr);
    {
        // A name this process holds gives the same port back, with a reference of its own.
        CFMessagePortContext context = {0, &r, nullptr, nullptr, nullptr};
        Boolean shouldFree = false;
        CFStringRef n = str(name);
        EXPECT_EQ(CFMessagePortCreateLocal(nullptr, n, record, &context, &shouldFree), a);
        EXPECT_TRUE(shouldFree);  // the context given this time is not kept
        CFRelease(n);
        EXPECT_EQ(CFGetRetainCount(a), 2);
        CFRelease(a);
    }
    CFMessagePortRef found = remote(name);
    EXPECT_NE(found, nullptr);
    if (found) CFRelease(found);
    EXPECT_EQ(remote(uniqueName("nobody")), nullptr);

    CFMessagePortInvalidate(a);
    EXPECT_EQ(remote(name), nullptr);
    CFMessagePortRef again = makeLocal(name, &r);
    EXPECT_NE(again, nullptr);
    CFRelease(again);
    CFRelease(a);
}

TEST_F(MessagePorts, LongNamesWorkInFullUpTo128BytesAndAreCutBeyond) {
    Received r;
    std::string base = uniqueName("");
    std::string exact =
        base + std::string(128 - base.size() - 2, 'x') + "\xC3\xA9";  // 128 bytes, ends in a 2-byte character
    std::string sibling = base + std::string(128 - base.size() - 2, 'x') + "\xC3\xA8";
    CFMessagePortRef a = makeLocal(exact, &r);
    ASSERT_NE(a, nullptr);
    CFMessagePortRef b = makeLocal(sibling, &r);  // differs only in its last byte, far past the socket address limit
    ASSERT_NE(b, nullptr);
    CFStringRef nameA = str(exact);
    EXPECT_TRUE(CFEqual(CFMessagePortGetName(a), nameA));
    CFRelease(nameA);

    // Past 128 bytes the name is cut at a character boundary, so a longer name reaches the cut one.
    std::string longer = base + std::string(128 - base.size() - 1, 'y') + "\xC3\xA9zzz";
    CFMessagePortRef c = makeLocal(longer, &r);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(std::string(CFStringGetCStringPtr(CFMessagePortGetName(c), kCFStringEncodingUTF8)),
              base + std::string(128 - base.size() - 1, 'y'));
    CFMessagePortRef viaCut = remote(base + std::string(128 - base.size() - 1, 'y'));
    EXPECT_NE(viaCut, nullptr);
    if (viaCut) CFRelease(viaCut);
    for (CFMessagePortRef p : {a, b, c})
        CFRelease(p);
}

TEST_F(MessagePorts, ASendToOnesOwnPortIsServedWhileItWaits) {
    Received r;
    r.reply = "pong";
    std::string name = uniqueName("self");
    CFMessagePortRef local = makeLocal(name, &r);
    ASSERT_NE(local, nullptr);
    schedule(local, CFRunLoopGetCurrent());
    CFMessagePortRef peer = remote(name);
    ASSERT_NE(peer, nullptr);

    std::string big(8 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char(i * 131);
    std::string reply;
    EXPECT_EQ(sendTo(peer, INT32_MIN, "", 5, &reply), kCFMessagePortSuccess);
    EXPECT_EQ(reply, "pong");
    EXPECT_EQ(sendTo(peer, INT32_MAX, big, 5), kCFMessagePortSuccess);
    EXPECT_EQ(sendTo(peer, 0, "x", 5), kCFMessagePortSuccess);
    EXPECT_EQ(r.ids, (std::vector<SInt32>{INT32_MIN, INT32_MAX, 0}));
    ASSERT_EQ(r.payloads.size(), 3u);
    EXPECT_EQ(r.payloads[0], "");
    EXPECT_TRUE(r.payloads[1] == big);

    CFRelease(peer);
    CFMessagePortInvalidate(local);
    CFRelease(local);
}

TEST_F(MessagePorts, StatusesTellWhereARequestStopped) {
    Received r;
    std::string name = uniqueName("unserved");
    CFMessagePortRef unserved = makeLocal(name, &r);  // registered, but no run loop ever serves it
    ASSERT_NE(unserved, nullptr);

    CFMessagePortRef p = remote(name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sendTo(p, 1, "hello", 0.05), kCFMessagePortReceiveTimeout);
    EXPECT_EQ(sendTo(p, 1, "hello", -1), kCFMessagePortReceiveTimeout);  // a negative wait is one look
    CFRelease(p);

    // Far more than the socket buffers hold is queued whole all the same, out of line.
    // The queue holds five requests the receiver has not taken; the sixth finds no place.
    for (std::string payload : {std::string(16 << 20, 'a'), std::string(4001, 'b'), std::string("c")}) {
        p = remote(name);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(sendTo(p, 1, payload, payload == "c" ? 0.05 : 0), kCFMessagePortReceiveTimeout);
        CFRelease(p);
    }
    p = remote(name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sendTo(p, 1, "sixth", 0.05), kCFMessagePortSendTimeout);
    // Taken once the receiver runs, each whole; then there is room again.
    schedule(unserved, CFRunLoopGetCurrent());
    while (r.payloads.size() < 5 && CFRunLoopRunInMode(kCFRunLoopDefaultMode, 5, true) == kCFRunLoopRunHandledSource) {
    }
    ASSERT_EQ(r.payloads.size(), 5u);
    EXPECT_EQ(std::count(r.payloads.begin(), r.payloads.end(), std::string(16 << 20, 'a')), 1);
    EXPECT_EQ(std::count(r.payloads.begin(), r.payloads.end(), std::string(4001, 'b')), 1);
    EXPECT_EQ(sendTo(p, 1, "sixth", 0), kCFMessagePortReceiveTimeout);
    CFRelease(p);

    p = remote(name);
    ASSERT_NE(p, nullptr);
    CFMessagePortInvalidate(unserved);
    EXPECT_EQ(sendTo(p, 1, "late", 1), kCFMessagePortIsInvalid);
    EXPECT_FALSE(CFMessagePortIsValid(p));
    EXPECT_EQ(sendTo(p, 1, "again", 1), kCFMessagePortIsInvalid);
    CFRelease(p);
    CFRelease(unserved);
}

TEST_F(MessagePorts, AReceiverThatHangsUpBetweenRequestsIsLetGoAndFoundInvalid) {
    auto served = std::make_unique<ServedPort>(uniqueName("between"));
    CFMessagePortRef p = remote(served->name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sendTo(p, 1, "first", 60), kCFMessagePortSuccess);
    served.reset();
    // The reply watch stays between requests; a hang-up while nobody waits must
    // let it go, or the loop would be woken by that dead connection on every pass.
    int before = watchedDescriptors();
    Received r;
    CFMessagePortRef keep = makeLocal(uniqueName("keep"), &r);  // a source, so that the loop runs at all
    schedule(keep, CFRunLoopGetMain());
    for (double end = cfl::now() + 10; watchedDescriptors() >= before + 1 && cfl::now() < end;)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, true);
    CFMessagePortInvalidate(keep);
    CFRelease(keep);
    EXPECT_EQ(watchedDescriptors(), before - 1);
    EXPECT_EQ(sendTo(p, 2, "second", 60), kCFMessagePortIsInvalid);
    CFRelease(p);
}

TEST_F(MessagePorts, AReceiverThatClosesWhileASendWaitsEndsTheWaitAtOnce) {
    ServedPort served(uniqueName("closing"));
    served.received.invalidateOnMessage = true;
    CFMessagePortRef p = remote(served.name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sendTo(p, 1, "bye", 60), kCFMessagePortBecameInvalidError);
    CFRelease(p);
}

TEST_F(MessagePorts, RepliesStayInStepAfterOneWayAndTimedOutRequests) {
    // The receiver answers each request with a reply of its own, and holds back its answer
    // to "late" until the sender has given up: an answer that passed for the next one shows.
    std::atomic<bool> released{false};
    auto answer = [](CFMessagePortRef, SInt32, CFDataRef d, void* info) -> CFDataRef {
        if (bytes(d) == "late") {
            while (!static_cast<std::atomic<bool>*>(info)->load())
                std::this_thread::yield();
        }
        return makeData("re " + bytes(d));
    };
    std::string name = uniqueName("steps");
    CFRunLoopRef loop = nullptr;
    std::atomic<bool> ready{false};
    std::thread receiver([&] {
        CFMessagePortContext context = {0, &released, nullptr, nullptr, nullptr};
        CFStringRef n = str(name);
        CFMessagePortRef local = CFMessagePortCreateLocal(nullptr, n, answer, &context, nullptr);
        CFRelease(n);
        loop = CFRunLoopGetCurrent();
        schedule(local, loop);
        ready = true;
        CFRunLoopRun();  // until stopped below; the loop outlives the stop, as the port stays valid till then
        CFMessagePortInvalidate(local);
        CFRelease(local);
    });
    while (!ready)
        std::this_thread::yield();

    CFMessagePortRef p = remote(name);
    EXPECT_NE(p, nullptr);
    if (p) {
        CFDataRef d = makeData("one-way");
        EXPECT_EQ(CFMessagePortSendRequest(p, 5, d, 1, 1, nullptr, nullptr), kCFMessagePortSuccess);
        CFRelease(d);
        std::string reply;
        EXPECT_EQ(sendTo(p, 6, "two-way", 5, &reply), kCFMessagePortSuccess);
        EXPECT_EQ(reply, "re two-way");
        EXPECT_EQ(sendTo(p, 7, "late", 0.05), kCFMessagePortReceiveTimeout);
        released = true;
        EXPECT_EQ(sendTo(p, 8, "three", 5, &reply), kCFMessagePortSuccess);
        EXPECT_EQ(reply, "re three");
        CFRelease(p);
    }
    released = true;
    CFRunLoopStop(loop);
    receiver.join();
}

TEST_F(MessagePorts, MisbehavingPeersDoNotStopAPortFromServingOthers) {
    ServedPort served(uniqueName("robust"));
    int garbage = rawConnect(served.name);
    ASSERT_EQ(write(garbage, "GET / HTTP/1.1\r\n\r\n", 18), 18);
    int huge = rawConnect(served.name);
    const unsigned char claim[12] = {'C', 'F', 'M', 'Q', 1, 0, 0, 0, 0xff, 0xff, 0xff, 0x7f};
    // In one write: the port may drop it as soon as it has read the claim.
    std::string claimed = std::string(reinterpret_cast<const char*>(claim), sizeof claim) + "only a little";
    ASSERT_EQ(write(huge, claimed.data(), claimed.size()), ssize_t(claimed.size()));  // then silence
    int partial = rawConnect(served.name);
    ASSERT_EQ(write(partial, claim, 7), 7);
    close(partial);  // gone in the middle of a header
    int stalled = rawConnect(served.name);
    const unsigned char empty[12] = {'C', 'F', 'M', 'Q', 2, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 20000; ++i) {  // requests whose replies are never read
        if (send(stalled, empty, sizeof empty, MSG_DONTWAIT) < 0) break;
    }

    CFMessagePortRef p = remote(served.name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sendTo(p, 9, "still here", 5), kCFMessagePortSuccess);
    CFRelease(p);
    // The garbage peer was dropped: it sees the end of its stream (or a reset, as it sent more than was read).
    char buf[16];
    EXPECT_LE(read(garbage, buf, sizeof buf), 0);
    for (int fd : {garbage, huge, stalled})
        close(fd);
}

TEST_F(MessagePorts, RequestsThatArriveTogetherAreEachServedInOrder) {
    ServedPort served(uniqueName("together"));
    int fd = rawConnect(served.name);
    auto frame = [](SInt32 id, const std::string& body) {
        std::string f = "CFMQ";
        for (uint32_t v : {uint32_t(id), uint32_t(body.size())})
            for (int i = 0; i < 4; ++i)
                f.push_back(char((v >> (8 * i)) & 0xff));
        return f + body;
    };
    timeval limit{10, 0};  // a request left unserved fails the test instead of hanging it
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char replies[5 * 12];
    size_t got = 0;
    auto readReplies = [&](size_t count) {
        while (got < count * 12) {
            ssize_t n = read(fd, replies + got, sizeof replies - got);
            if (n <= 0) return false;
            got += size_t(n);
        }
        return true;
    };
    // One request larger than a single read takes: its body's rest is read exactly.
    std::string big(20000, 'b');
    std::string first = frame(1, big);
    ASSERT_EQ(write(fd, first.data(), first.size()), ssize_t(first.size()));
    ASSERT_TRUE(readReplies(1));
    // Then small requests and the start of a header in one write: after the first
    // of them, nothing more arrives on the socket to report the others.
    std::string last = frame(5, "five");
    std::string burst = frame(2, "two") + frame(3, "") + frame(4, "four") + last.substr(0, 5);
    ASSERT_EQ(write(fd, burst.data(), burst.size()), ssize_t(burst.size()));
    ASSERT_TRUE(readReplies(4)) << "requests read ahead were left unserved";
    ASSERT_EQ(write(fd, last.data() + 5, last.size() - 5), ssize_t(last.size() - 5));
    ASSERT_TRUE(readReplies(5));
    close(fd);
    EXPECT_EQ(served.received.ids, (std::vector<SInt32>{1, 2, 3, 4, 5}));
    EXPECT_EQ(served.received.payloads, (std::vector<std::string>{big, "two", "", "four", "five"}));
}

TEST_F(MessagePorts, APeerThatHangsUpDuringACalloutWaitsForItWithoutSpinning) {
    ServedPort served(uniqueName("nested"));
    served.received.nestedRun = 0.2;
    int fd = rawConnect(served.name);
    const unsigned char request[14] = {'C', 'F', 'M', 'Q', 3, 0, 0, 0, 2, 0, 0, 0, 'h', 'i'};
    ASSERT_EQ(write(fd, request, sizeof request), ssize_t(sizeof request));
    shutdown(fd, SHUT_WR);  // hung up while the callout still runs
    char buf[16];
    EXPECT_EQ(read(fd, buf, sizeof buf), 12);  // the reply still comes, once the callout returns
    close(fd);
    // A hang-up reported over and over would wake the nested run each time.
    EXPECT_LT(served.received.nestedPasses, 50);

    served.received.nestedRun = 0;
    CFMessagePortRef p = remote(served.name);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sendTo(p, 4, "next", 5), kCFMessagePortSuccess);
    CFRelease(p);
    EXPECT_EQ(served.received.ids, (std::vector<SInt32>{3, 4}));
}

TEST_F(MessagePorts, AReplyTakenInByANestedRunIsSeenOnlyOnceTheWaitingRunReturns) {
    ServedPort served(uniqueName("nested"));
    served.received.reply = "answer";
    CFRunLoopRef main = CFRunLoopGetCurrent();
    std::atomic<int> performed{0};
    CFRunLoopSourceRef source = countingSource(main, &performed);
    std::atomic<bool> nestedDone{false};
    // Runs inside the send's wait, as a command handled meanwhile would, and takes the reply in.
    CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [&] {
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 600, true), kCFRunLoopRunHandledSource);
        nestedDone = true;
    });
    std::thread signaller([&] {
        while (!nestedDone)
            std::this_thread::yield();
        CFRunLoopSourceSignal(source);
        CFRunLoopWakeUp(main);
    });
    CFMessagePortRef p = remote(served.name);
    ASSERT_NE(p, nullptr);
    std::string reply;
    EXPECT_EQ(sendTo(p, 1, "question", 600, &reply), kCFMessagePortSuccess);
    signaller.join();
    // The send slept on after the nested run until a source of its own run fired.
    EXPECT_EQ(performed, 1);
    EXPECT_EQ(reply, "answer");
    CFRelease(p);
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);
}
