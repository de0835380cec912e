// What "send" hands to the message port: this test binary stands in for
// CFMessagePortSendRequest (its own definition wins over the layer's at link
// time), so the time-outs, message id and reply mode are seen without waiting.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dispatcher.h"
#include "protocol.h"
#include "startup.h"

namespace {

struct Call {
    SInt32 msgid;
    double sendTimeout, rcvTimeout;
    bool replyMode;
};
std::vector<Call> calls;

CFDataRef nothing(CFMessagePortRef, SInt32, CFDataRef, void*) { return nullptr; }

}  // namespace

extern "C" SInt32 CFMessagePortSendRequest(CFMessagePortRef, SInt32 msgid, CFDataRef, CFTimeInterval sendTimeout,
                                           CFTimeInterval rcvTimeout, CFStringRef replyMode, CFDataRef*) {
    calls.push_back({msgid, sendTimeout, rcvTimeout, replyMode != nullptr});
    return kCFMessagePortSuccess;
}

TEST(SendPath, TimeOutsMessageIdAndReplyModeAsTheCommandSays) {
    std::string name = "sendpath." + std::to_string(getpid());
    CFStringRef n = CFStringCreateWithCString(nullptr, name.c_str(), kCFStringEncodingUTF8);
    CFMessagePortRef local = CFMessagePortCreateLocal(nullptr, n, nothing, nullptr, nullptr);
    ASSERT_NE(local, nullptr);
    int sink[2];
    ASSERT_EQ(pipe(sink), 0);
    output = sink[1];  // the "sent" lines go here, not into the test's output
    auto send = [&](const std::string& extra) {
        std::string line = R"({"cmd":"send","target":")" + name + "\"" + extra + "}";
        CommandObject command;
        ASSERT_TRUE(parseCommand(line, command));
        handle(command);
    };
    send("");
    send(R"(,"timeout":"2")");
    send(R"(,"timeout":2)");
    send(R"(,"timeout":0.25)");
    ASSERT_EQ(calls.size(), 4u);
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].msgid, messageId);
        EXPECT_TRUE(calls[i].replyMode);
        // One try to queue: a full queue is tried again from the run loop, not waited on.
        EXPECT_EQ(calls[i].sendTimeout, 0);
    }
    EXPECT_EQ(calls[0].rcvTimeout, 5.0);
    EXPECT_EQ(calls[1].rcvTimeout, 5.0);
    EXPECT_EQ(calls[2].rcvTimeout, 2.0);
    EXPECT_EQ(calls[3].rcvTimeout, 0.25);
    output = 1;
    close(sink[0]);
    close(sink[1]);
    CFMessagePortInvalidate(local);
    CFRelease(local);
    CFRelease(n);
}
