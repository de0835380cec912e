// Message ports as the tool and its peers use them, through CoreFoundation's
// public API alone: these run against CoreFoundation itself as well as the layer.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cf_test_util.h"
#include "messageport_util.h"

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
        EXPECT_EQ(CFMessagePortCreateLocal(nullptr, n, recordAndCreateReply, &context, &shouldFree), a);
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

    // Two threads that register the name and let it go, over and over: a port whose last
    // reference is going is never handed out (the sanitizers see one freed twice).
    auto churn = [&name, &r] {
        for (int i = 0; i < 300; ++i) {
            CFMessagePortContext context = {0, &r, nullptr, nullptr, nullptr};
            CFStringRef n = str(name);
            CFMessagePortRef p = CFMessagePortCreateLocal(nullptr, n, recordAndCreateReply, &context, nullptr);
            CFRelease(n);
            if (p) CFRelease(p);
        }
    };
    std::thread other(churn);
    churn();
    other.join();
    again = makeLocal(name, &r);
    EXPECT_NE(again, nullptr);
    if (again) CFRelease(again);
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
    // One comparison, not a size checked first: an early return would leave the ports held.
    EXPECT_TRUE(r.payloads == (std::vector<std::string>{"", big, "x"}));

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
    EXPECT_EQ(r.payloads.size(), 5u);
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

TEST_F(MessagePorts, ASendToOnesOwnPortWithNoTimeToWaitRunsTheCalloutAndMissesTheReply) {
    // As CFMessagePortSendRequest does: one run of no time serves the request, and the
    // wait ends by the clock, not by what the run returned.
    Received r;
    r.reply = "pong";
    std::string name = uniqueName("instant");
    CFMessagePortRef local = makeLocal(name, &r);
    ASSERT_NE(local, nullptr);
    schedule(local, CFRunLoopGetCurrent());
    CFMessagePortRef peer = remote(name);
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(sendTo(peer, 1, "now", 0), kCFMessagePortReceiveTimeout);
    EXPECT_EQ(r.ids, std::vector<SInt32>{1});
    std::string reply;
    EXPECT_EQ(sendTo(peer, 2, "later", 5, &reply), kCFMessagePortSuccess);
    EXPECT_EQ(reply, "pong");
    EXPECT_EQ(r.ids, (std::vector<SInt32>{1, 2}));
    CFRelease(peer);
    CFMessagePortInvalidate(local);
    CFRelease(local);
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
        // Held for the stop below, which may come as this thread ends.
        loop = static_cast<CFRunLoopRef>(const_cast<void*>(CFRetain(CFRunLoopGetCurrent())));
        schedule(local, loop);
        ready = true;
        CFRunLoopRun();  // until stopped below
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
    CFRelease(loop);
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

TEST_F(MessagePorts, ALookedUpPortIsSharedAndCarriesNestedRequestsUntilItsReceiverGoes) {
    CFRunLoopRef main = CFRunLoopGetCurrent();
    std::atomic<int> performed{0};
    // Signalled once a nested send has ended, as the tool does, so that the enclosing
    // wait's run returns and finds the reply that the nested wait took in for it.
    CFRunLoopSourceRef ended = countingSource(main, &performed);
    auto sendNestedIn = [&](CFMessagePortRef outer, CFMessagePortRef inner, SInt32 id, SInt32& status,
                            std::string& reply, std::atomic<bool>* opened) {
        std::string innerReply;
        CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [&, inner, id, opened] {
            // Queued now, so it runs inside the nested wait, after its request went.
            if (opened) CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [opened] { *opened = true; });
            status = sendTo(inner, id + 1, "inner", 10, &innerReply);
            CFRunLoopSourceSignal(ended);
            CFRunLoopWakeUp(main);
        });
        SInt32 outerStatus = sendTo(outer, id, "outer", 10, &reply);
        reply += "|" + innerReply;
        return outerStatus;
    };

    ServedPort served(uniqueName("shared"));
    served.received.echo = true;
    CFMessagePortRef a = remote(served.name), b = remote(served.name);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    // The nested request goes while the enclosing one is outstanding; the enclosing one's
    // reply comes first and waits for it.
    SInt32 inner = 0;
    std::string replies;
    EXPECT_EQ(sendNestedIn(a, b, 1, inner, replies, nullptr), kCFMessagePortSuccess);
    EXPECT_EQ(inner, kCFMessagePortSuccess);
    EXPECT_EQ(replies, "outer|inner");
    EXPECT_EQ(served.received.ids, (std::vector<SInt32>{1, 2}));
    if (b) CFRelease(b);
    CFRelease(a);

    // A receiver that goes with both requests outstanding ends both waits.
    auto gone = std::make_unique<ServedPort>(uniqueName("gone"));
    std::atomic<bool> opened{false};
    gone->received.heldUntil = &opened;
    gone->received.invalidateOnMessage = true;
    a = remote(gone->name);
    b = remote(gone->name);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(sendNestedIn(a, b, 3, inner, replies, &opened), kCFMessagePortBecameInvalidError);
    EXPECT_EQ(inner, kCFMessagePortBecameInvalidError);
    EXPECT_FALSE(CFMessagePortIsValid(a));
    // The name's next port is a new one.
    std::string name = gone->name;
    gone.reset();
    ServedPort again(name);
    CFMessagePortRef fresh = remote(name);
    EXPECT_NE(fresh, a);
    EXPECT_EQ(fresh ? sendTo(fresh, 5, "again", 10) : kCFMessagePortIsInvalid, kCFMessagePortSuccess);
    if (fresh) CFRelease(fresh);
    if (b) CFRelease(b);
    CFRelease(a);
    EXPECT_EQ(performed, 2);
    CFRunLoopSourceInvalidate(ended);
    CFRelease(ended);
}
