// The layer's message ports from outside CoreFoundation's API: what travels on
// the sockets, the descriptors its run loops watch, peers that misbehave.
#include <CoreFoundation/CoreFoundation.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

/// Descriptors open in this process.
int openDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 4096; ++fd)
        if (fcntl(fd, F_GETFD) >= 0) ++count;
    return count;
}

/// A frame's 12-byte header, then its body.
std::string frame(const char* magic, int32_t id, uint32_t length, const std::string& body = "") {
    std::string f(magic, 4);
    for (uint32_t v : {uint32_t(id), length})
        for (int i = 0; i < 4; ++i)
            f.push_back(char((v >> (8 * i)) & 0xff));
    return f + body;
}

/// A memfd holding `bytes`, sealed as a sender seals a body, or not at all.
int memfdWith(const std::string& bytes, bool sealed) {
    int fd = memfd_create("test-body", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    if (sealed) fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

/// Sends `bytes` in one sendmsg, with `fd` attached when given.
void sendWith(int to, const std::string& bytes, int fd = -1) {
    iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    EXPECT_EQ(sendmsg(to, &msg, MSG_NOSIGNAL), ssize_t(bytes.size()));
}

/// The magic of the next frame the port wrote to the peer: "CFMR" for a reply, "CFMN" when it
/// turned the peer away; empty when it closed the connection without a word.
std::string heard(int peer) {
    timeval limit{10, 0};  // a port that neither answers nor closes fails the test instead of hanging it
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char reply[12];
    ssize_t n = recv(peer, reply, sizeof reply, MSG_WAITALL);
    EXPECT_TRUE(n == 12 || n == 0 || (n < 0 && errno == ECONNRESET)) << n << " " << std::strerror(errno);
    std::string magic = n == 12 ? std::string(reply, 4) : "";
    // The close that follows the word, so that what the port let go is gone by then.
    if (magic == "CFMN") {
        EXPECT_LE(recv(peer, reply, sizeof reply, 0), 0);
    }
    return magic;
}

/// Whether the port answered the peer's request (true) or let it go (false).
bool answered(int peer) { return heard(peer) == "CFMR"; }

}  // namespace

TEST_F(MessagePorts, AnOutOfLineBodyIsTrustedOnlySealedWholeAndFromTheReadOfItsHeader) {
    ServedPort served(uniqueName("bodies"));
    std::string body(5000, 'b'), other(5000, 'o');
    auto memfds = [] {
        int count = 0;
        for (int fd = 0; fd < 1024; ++fd) {
            char link[64] = {};
            std::string path = "/proc/self/fd/" + std::to_string(fd);
            if (readlink(path.c_str(), link, sizeof link - 1) > 0 && std::strncmp(link, "/memfd:", 7) == 0) ++count;
        }
        return count;
    };
    int memfdsBefore = memfds();
    // Each case: its frames, each with the memfd it carries, and whether the port answers the last.
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, int>> frames;
        bool answered;
    };
    std::vector<Case> cases = {
        {"sealed, whole, with its header", {{frame("CFMO", 1, 5000), memfdWith(body, true)}}, true},
        {"not sealed", {{frame("CFMO", 2, 5000), memfdWith(body, false)}}, false},
        {"sealed but of another length", {{frame("CFMO", 3, 4999), memfdWith(body, true)}}, false},
        {"no memfd", {{frame("CFMO", 4, 5000), -1}}, false},
        {"a stray memfd before a body of its own",
         {{frame("CFMQ", 5, 1, "q"), memfdWith(other, true)}, {frame("CFMO", 6, 5000), memfdWith(body, true)}},
         false},
        {"a stray memfd taken for the body of the next header",
         {{frame("CFMQ", 7, 1, "q"), memfdWith(body, true)}, {frame("CFMO", 8, 5000), -1}},
         false},
        {"a memfd that comes with the second half of its header",
         {{frame("CFMO", 9, 5000).substr(0, 6), -1}, {frame("CFMO", 9, 5000).substr(6), memfdWith(body, true)}},
         false},
    };
    for (auto& c : cases) {
        int peer = rawConnect(served.name);
        for (size_t i = 0; i < c.frames.size(); ++i) {
            sendWith(peer, c.frames[i].first, c.frames[i].second);
            if (c.frames[i].second >= 0) close(c.frames[i].second);
            // The stray's own request is served before the port sees the next read, and the
            // first half of a header is read by itself: sent together, one read could take both.
            if (i + 1 < c.frames.size() && c.frames[i].first.size() >= 12) {
                EXPECT_TRUE(answered(peer)) << c.what;
            } else if (i + 1 < c.frames.size()) {
                int unread = 1;
                for (double end = cfl::now() + 10; unread > 0 && cfl::now() < end; std::this_thread::yield())
                    ioctl(peer, SIOCOUTQ, &unread);
                EXPECT_EQ(unread, 0) << c.what;
            }
        }
        EXPECT_EQ(answered(peer), c.answered) << c.what;
        close(peer);
    }
    EXPECT_EQ(served.received.ids, (std::vector<SInt32>{1, 5, 7}));
    EXPECT_EQ(served.received.payloads, (std::vector<std::string>{body, "q", "q"}));
    EXPECT_EQ(memfds(), memfdsBefore) << "a body was kept after its connection closed";
}

TEST_F(MessagePorts, PeersNeverTakeTheDescriptorsKeptForTheProcesssOwnRequests) {
    ServedPort served(uniqueName("reserve"));
    CFMessagePortRef own = remote(served.name);  // connected while there is room
    ASSERT_NE(own, nullptr);
    ASSERT_EQ(sendTo(own, 1, "before", 10), kCFMessagePortSuccess);
    std::vector<int> peers;
    for (int i = 0; i < 8; ++i)  // made now, so that connecting takes no descriptor of this side
        peers.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    int parked = memfdWith(std::string(5000, 'p'), true);
    sockaddr_un addr;
    unsigned len = cfl::addressFor(served.name, addr);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    constexpr int kReserve = 16, kHoles = 6;
    rlimit low = saved;
    low.rlim_cur = rlim_t(openDescriptors() + 64);
    ASSERT_LE(low.rlim_cur, saved.rlim_max);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    // Filled up to two descriptors above the reserve, with the lowest numbers free: the
    // number a peer gets says nothing of how many are left.
    std::vector<int> fillers;
    while (openDescriptors() < int(low.rlim_cur) - kReserve - 2 + kHoles)
        fillers.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    for (int i = 0; i < kHoles; ++i)
        close(fillers[size_t(i)]);

    // Connected by another process, as a port's own process is never turned away; the
    // sockets stay here. Two peers fit; every one after them would take the reserve.
    pid_t child = fork();
    if (child == 0) {
        for (int peer : peers)
            if (connect(peer, reinterpret_cast<sockaddr*>(&addr), len) != 0) _exit(1);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    // Each peer turned away is told so, whether its request went before the port looked (the
    // send fails) or not: its sender can say the request was never delivered.
    std::vector<std::string> outcomes;
    std::string request = frame("CFMQ", 2, 0);
    for (int peer : peers) {
        send(peer, request.data(), request.size(), MSG_NOSIGNAL);  // fails once turned away
        outcomes.push_back(heard(peer));
    }
    EXPECT_EQ(outcomes, (std::vector<std::string>{"CFMR", "CFMR", "CFMN", "CFMN", "CFMN", "CFMN", "CFMN", "CFMN"}));
    // A body that waits for the rest of its header holds one more, so its peer goes too.
    sendWith(peers[0], "C", parked);
    EXPECT_EQ(heard(peers[0]), "CFMN");
    EXPECT_GE(int(low.rlim_cur) - openDescriptors(), kReserve);
    // The process's own lookups and sends take from the reserve. (A look-up while `own`
    // lives would only find `own` again.)
    EXPECT_EQ(sendTo(own, 3, "after", 10), kCFMessagePortSuccess);
    CFRelease(own);
    CFMessagePortRef again = remote(served.name);
    EXPECT_EQ(again ? sendTo(again, 4, "again", 10) : kCFMessagePortIsInvalid, kCFMessagePortSuccess);

    if (again) CFRelease(again);
    for (size_t i = kHoles; i < fillers.size(); ++i)
        close(fillers[i]);
    for (int fd : peers)
        close(fd);
    close(parked);
    setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(MessagePorts, APortsQueueIgnoresPlacesHeldByAnotherUser) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    ServedPort served(uniqueName("squatted"));
    sockaddr_un places[5];
    unsigned lengths[5];
    for (int k = 0; k < 5; ++k)
        lengths[k] = cfl::slotAddress(served.name, k, places[k]);
    std::string big(5000, 'x');
    // Another user binds all five places of our port: first without listening (a sender
    // once connected to them in a loop), then listening (a sender waited out its time-out).
    for (bool listening : {false, true}) {
        int ready[2], finish[2];
        ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(finish, O_CLOEXEC), 0);
        pid_t child = fork();
        if (child == 0) {
            close(finish[1]);
            if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(100);
            int held[5];
            for (int k = 0; k < 5; ++k) {
                held[k] = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
                if (bind(held[k], reinterpret_cast<sockaddr*>(&places[k]), lengths[k]) != 0) _exit(101);
                if (listening && listen(held[k], 8) != 0) _exit(102);
            }
            char c = 'r';
            if (write(ready[1], &c, 1) != 1 || read(finish[0], &c, 1) < 0) _exit(103);
            int connections = 0;
            for (int fd : held)
                while (accept(fd, nullptr, nullptr) >= 0)
                    ++connections;
            _exit(connections);
        }
        close(ready[1]);
        close(finish[0]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        CFMessagePortRef p = remote(served.name);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(sendTo(p, 1, "in line", 2), kCFMessagePortSuccess) << "listening: " << listening;
        CFRelease(p);
        p = remote(served.name);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(sendTo(p, 2, big, 2), kCFMessagePortSuccess) << "listening: " << listening;
        CFRelease(p);
        close(finish[1]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        // The kernel's socket table names the owner: no place of theirs is connected to.
        EXPECT_EQ(WEXITSTATUS(status), 0);
        close(ready[0]);
        close(finish[1]);
    }
    EXPECT_EQ(served.received.ids, (std::vector<SInt32>{1, 2, 1, 2}));
}

TEST_F(MessagePorts, AFullQueueIsTriedWithoutConnectingToItsPlacesAndWatchedOncePerHolder) {
    // A receiver that has stopped: its listener takes connections and nothing else, and this
    // user holds all five places of its queue, listening, as the requests in flight would.
    std::string name = uniqueName("full");
    auto listening = [](const sockaddr_un& addr, unsigned len) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), len), 0);
        EXPECT_EQ(listen(fd, 64), 0);
        return fd;
    };
    auto connectionsTo = [](int fd) {
        int count = 0;
        for (int c; (c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++count)
            close(c);
        return count;
    };
    sockaddr_un addr;
    unsigned len = cfl::addressFor(name, addr);
    int receiver = listening(addr, len);
    std::vector<int> places;
    for (int k = 0; k < 5; ++k) {
        len = cfl::slotAddress(name, k, addr);
        places.push_back(listening(addr, len));
    }
    auto placeConnections = [&] {
        std::vector<int> counts;
        for (int fd : places)
            counts.push_back(connectionsTo(fd));
        return counts;
    };
    CFMessagePortRef p = remote(name);
    ASSERT_NE(p, nullptr);
    // Tries, as a caller that must go on serving makes them: not one connection anywhere.
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(sendTo(p, 1, "try", 0), kCFMessagePortSendTimeout);
    EXPECT_EQ(placeConnections(), std::vector<int>(5, 0));
    // A send that waits watches each holder, once, however often it looks again.
    EXPECT_EQ(sendTo(p, 2, "wait", 0.05), kCFMessagePortSendTimeout);
    EXPECT_EQ(placeConnections(), std::vector<int>(5, 1));
    EXPECT_EQ(connectionsTo(receiver), 1) << "the look-up's connection, kept for every send";
    CFRelease(p);
    for (int fd : places)
        close(fd);
    close(receiver);
}

TEST_F(MessagePorts, ASenderTurnedAwayIsToldItsRequestWasNeverDelivered) {
    // A receiver short of descriptors, as a port turns a peer away: its word, then the close;
    // before the request came, or once it waits unread.
    std::string name = uniqueName("turned");
    sockaddr_un addr;
    unsigned len = cfl::addressFor(name, addr);
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    auto turnAway = [listener](bool afterRequest) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        pollfd in{fd, POLLIN, 0};
        if (afterRequest) poll(&in, 1, 10000);
        std::string word = frame("CFMN", 0, 0);
        send(fd, word.data(), word.size(), MSG_NOSIGNAL);
        close(fd);
    };
    std::map<SInt32, int> statuses;
    for (int i = 0; i < 10; ++i) {
        for (bool afterRequest : {false, true}) {
            CFMessagePortRef p = remote(name);  // a new port and connection each time
            ASSERT_NE(p, nullptr);
            std::thread receiver;
            if (afterRequest) {
                receiver = std::thread(turnAway, true);
            } else {
                turnAway(false);
            }
            ++statuses[sendTo(p, 1, "never delivered", 10)];
            if (receiver.joinable()) receiver.join();
            CFRelease(p);
        }
    }
    EXPECT_EQ(statuses, (std::map<SInt32, int>{{kCFMessagePortTransportError, 20}}));
    close(listener);
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
