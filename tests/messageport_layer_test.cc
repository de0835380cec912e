// The layer's message ports from outside CoreFoundation's API: what travels on
// the sockets, the descriptors its run loops watch, peers that misbehave.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cfinternal.h"
#include "messageport_util.h"
#include "runloop.h"

namespace {

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

int rawConnect(const std::string& name) {
    sockaddr_un addr;
    unsigned len = cfl::addressFor(name, addr);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
    return fd;
}

}  // namespace

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
