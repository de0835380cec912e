// What a peer may send to a local port. One port lives for the whole run; each
// input opens a connection that writes the rest of the input, then
// half-closes, or closes at once. The port must call back exactly for the
// well-formed requests before the first bad frame, answer each of them, drop
// the connection, and give back every descriptor and reference it took.
//
// First byte: bit 7 writes in pieces of (bits 0-5) + 1 bytes with the loop run
// between them; bit 6 closes without reading the replies; bit 4 has two peers
// send the same frames at once, told apart by bit 30 of their ids.
//
// With bit 5 set, the bytes are instead what a remote port answers: a listener
// of this test writes them, then ends its side, and requests are sent to it
// until one fails. Each must report what the bytes say: the next well-formed
// reply, a bad frame, or a port that went away.
#include <CoreFoundation/CoreFoundation.h>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cfinternal.h"
#include "runloop.h"

namespace {

struct Request {
    int32_t msgid;
    std::string body;
    bool operator==(const Request&) const = default;
};

std::vector<Request> gCalls;
CFMessagePortRef gPort = nullptr;
std::string gName;
/// A plain socket that stands for a remote port whose replies the input makes up.
int gListener = -1;
std::string gRemoteName;

[[noreturn]] void fault(const char* what) {
    std::fprintf(stderr, "fuzz_port_frames: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) fault(what);
}

/// The answer to a request: odd ids get their bytes back reversed, so replies with a body travel too.
std::string answerTo(const Request& r) { return r.msgid & 1 ? std::string(r.body.rbegin(), r.body.rend()) : ""; }

CFDataRef callout(CFMessagePortRef, SInt32 msgid, CFDataRef data, void*) {
    Request r{msgid, std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)), size_t(CFDataGetLength(data)))};
    gCalls.push_back(r);
    // Some requests run the loop again, as a callout that sends a request of its own does:
    // the same peer's next bytes must wait for this answer.
    if (msgid & 0x100) {
        for (int i = 0; i < 3; ++i)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true);
    }
    std::string answer = answerTo(r);
    if (answer.empty()) return nullptr;
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(answer.data()), CFIndex(answer.size()));
}

uint32_t u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

/// One connection of this test to the port.
struct Peer {
    int fd = -1;
    std::vector<uint8_t> bytes;
    std::vector<Request> expected;
    size_t sent = 0;
    bool shut = false, ended = false;
    std::string in;
};

/// Sets bit 30 of each well-formed request's id to `bit`, so that requests show which peer sent them.
void markIds(std::vector<uint8_t>& bytes, size_t bit) {
    size_t n = bytes.size();
    for (size_t at = 0; n - at >= 12;) {
        const uint8_t* p = bytes.data() + at;
        uint32_t length = u32(p + 8);
        if (std::memcmp(p, "CFMQ", 4) != 0 || length > 0x60000000 || n - at - 12 < length) break;
        bytes[at + 7] = uint8_t((bytes[at + 7] & ~0x40) | (bit ? 0x40 : 0));
        at += 12 + length;
    }
}

/// The requests that the stream holds whole before its first bad or unfinished frame.
std::vector<Request> wellFormed(const uint8_t* p, size_t n) {
    std::vector<Request> out;
    for (size_t at = 0; n - at >= 12;) {
        if (std::memcmp(p + at, "CFMQ", 4) != 0) break;
        uint32_t length = u32(p + at + 8);
        if (length > 0x60000000 || n - at - 12 < length) break;
        out.push_back({int32_t(u32(p + at + 4)), std::string(reinterpret_cast<const char*>(p + at + 12), length)});
        at += 12 + length;
    }
    return out;
}

int openDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return -1;
    int count = 0;
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}

void runOnce() { CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.001, true); }

void setUp() {
    gName = "fuzz.frames." + std::to_string(getpid());
    CFStringRef name = CFStringCreateWithCString(nullptr, gName.c_str(), kCFStringEncodingUTF8);
    gPort = CFMessagePortCreateLocal(nullptr, name, callout, nullptr, nullptr);
    CFRelease(name);
    check(gPort != nullptr, "cannot register the port");
    CFRunLoopSourceRef source = CFMessagePortCreateRunLoopSource(nullptr, gPort, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    CFRelease(source);

    gRemoteName = "fuzz.replies." + std::to_string(getpid());
    sockaddr_un addr;
    socklen_t length = cfl::addressFor(gRemoteName, addr);
    gListener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(
        gListener >= 0 && bind(gListener, reinterpret_cast<sockaddr*>(&addr), length) == 0 && listen(gListener, 4) == 0,
        "cannot listen as a remote port");
}

/// Checks that `in` is exactly one empty-field reply per request, with the answer's bytes.
void checkReplies(const std::string& in, const std::vector<Request>& calls) {
    size_t at = 0;
    for (const Request& r : calls) {
        check(in.size() - at >= 12, "a request got no reply");
        const auto* h = reinterpret_cast<const uint8_t*>(in.data() + at);
        check(std::memcmp(h, "CFMR", 4) == 0 && u32(h + 4) == 0, "reply header is wrong");
        std::string answer = answerTo(r);
        check(u32(h + 8) == answer.size() && in.size() - at - 12 >= answer.size(), "reply length is wrong");
        check(in.compare(at + 12, answer.size(), answer) == 0, "reply bytes are wrong");
        at += 12 + answer.size();
    }
    check(at == in.size(), "more replies than requests");
}

/// The status and reply data that a request should get when `stream[at...]` is what comes back.
SInt32 expectedReply(const uint8_t* stream, size_t n, size_t& at, std::string& reply) {
    reply.clear();
    // The peer has only shut its sending side, so each request still goes out; the
    // end of its replies, whole or cut, comes while the request waits.
    if (n - at < 12) return kCFMessagePortBecameInvalidError;
    uint32_t length = u32(stream + at + 8);
    if (std::memcmp(stream + at, "CFMR", 4) != 0 || length > 0x60000000) return kCFMessagePortTransportError;
    if (n - at - 12 < length) return kCFMessagePortBecameInvalidError;
    reply.assign(reinterpret_cast<const char*>(stream + at + 12), length);
    at += 12 + length;
    // Field 1 says the request's out-of-line body never reached the receiver.
    if (u32(stream + at - 12 - length + 4) == 1) {
        reply.clear();
        return kCFMessagePortTransportError;
    }
    return kCFMessagePortSuccess;
}

/// Sends requests to a listener that answers with `stream` and then ends its side.
void checkReplies(const uint8_t* stream, size_t n) {
    CFStringRef cfName = CFStringCreateWithCString(nullptr, gRemoteName.c_str(), kCFStringEncodingUTF8);
    CFMessagePortRef remote = CFMessagePortCreateRemote(nullptr, cfName);
    CFRelease(cfName);
    check(remote != nullptr, "the listener is not found");
    int peer = accept4(gListener, nullptr, nullptr, SOCK_CLOEXEC);
    check(peer >= 0, "the lookup did not connect");
    // All of it fits the socket's buffer: no reader is needed on the sender's side.
    for (size_t sent = 0; sent < n;) {
        ssize_t w = send(peer, stream + sent, n - sent, MSG_NOSIGNAL);
        check(w > 0, "cannot write the replies");
        sent += size_t(w);
    }
    shutdown(peer, SHUT_WR);

    size_t at = 0;
    CFDataRef request = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("ask"), 3);
    for (int i = 0; i < 8; ++i) {
        std::string want;
        SInt32 expected = expectedReply(stream, n, at, want);
        CFDataRef reply = nullptr;
        SInt32 status = CFMessagePortSendRequest(remote, i, request, 5, 5, kCFRunLoopDefaultMode, &reply);
        if (status != expected) {
            std::fprintf(stderr, "fuzz_port_frames: request %d: status %d, expected %d\n", i, int(status),
                         int(expected));
            fault("a request reports another status than its reply says");
        }
        std::string got =
            reply ? std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(reply)), size_t(CFDataGetLength(reply)))
                  : std::string();
        check(got == want && (reply != nullptr) == !want.empty(), "reply data differs from the reply frame");
        if (reply) CFRelease(reply);
        if (status != kCFMessagePortSuccess) break;
    }
    CFRelease(request);
    CFRelease(remote);
    close(peer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!gPort) setUp();
    if (size && (data[0] & 0x20)) {
        long references = cfl::liveReferences(0);
        int descriptors = openDescriptors();
        checkReplies(data + 1, size - 1);
        check(openDescriptors() == descriptors, "a request left a descriptor open");
        check(cfl::liveReferences(0) == references, "references taken and not given back");
        return 0;
    }
    uint8_t mode = size ? data[0] : 0;
    const uint8_t* stream = size ? data + 1 : data;
    size_t n = size ? size - 1 : 0;
    size_t piece = mode & 0x80 ? (mode & 0x3f) + 1u : std::max<size_t>(n, 1);
    bool abrupt = mode & 0x40;

    long references = cfl::liveReferences(0);
    int descriptors = openDescriptors();
    gCalls.clear();

    std::vector<Peer> peers(mode & 0x10 ? 2 : 1);
    for (size_t k = 0; k < peers.size(); ++k) {
        peers[k].bytes.assign(stream, stream + n);
        if (peers.size() > 1) markIds(peers[k].bytes, k);
        peers[k].expected = wellFormed(peers[k].bytes.data(), n);
    }
    sockaddr_un addr;
    socklen_t length = cfl::addressFor(gName, addr);
    for (Peer& peer : peers) {
        peer.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        check(peer.fd >= 0 && connect(peer.fd, reinterpret_cast<sockaddr*>(&addr), length) == 0,
              "cannot connect to the port");
    }

    // A stuck connection is a fault: the port must finish every one of them.
    double deadline = cfl::now() + 20;
    // Taken in first, so that a connection closed early cannot reach the port in the next input's turn.
    while (openDescriptors() != descriptors + 2 * int(peers.size())) {
        check(cfl::now() < deadline, "the port never took the connection in");
        runOnce();
    }
    char buffer[65536];
    for (bool busy = true; busy;) {
        check(cfl::now() < deadline, "the port never finished the connection");
        for (Peer& peer : peers) {
            if (peer.ended) continue;
            if (peer.sent < n) {
                ssize_t w = send(peer.fd, peer.bytes.data() + peer.sent, std::min(piece, n - peer.sent),
                                 MSG_DONTWAIT | MSG_NOSIGNAL);
                if (w > 0) {
                    peer.sent += size_t(w);
                } else if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    peer.sent = n;  // the port dropped us on a bad frame: the rest stays unsent
                }
            }
            if (peer.sent == n && !peer.shut) {
                peer.shut = true;
                if (abrupt) {
                    close(peer.fd);
                    peer.fd = -1;
                    peer.ended = true;
                } else {
                    shutdown(peer.fd, SHUT_WR);
                }
            }
        }
        runOnce();
        busy = false;
        for (Peer& peer : peers) {
            while (!peer.ended) {
                ssize_t r = recv(peer.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (r > 0) {
                    peer.in.append(buffer, size_t(r));
                    continue;
                }
                if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) peer.ended = true;
                break;
            }
            busy = busy || !peer.ended;
        }
    }
    for (Peer& peer : peers)
        if (peer.fd >= 0) close(peer.fd);
    // After an abrupt close the port sees the end only when it reads or answers again.
    while (openDescriptors() != descriptors) {
        check(cfl::now() < deadline, "the port keeps a descriptor of a closed connection");
        runOnce();
    }

    for (size_t k = 0; k < peers.size(); ++k) {
        std::vector<Request> calls;
        for (const Request& r : gCalls)
            if (peers.size() == 1 || size_t(uint32_t(r.msgid) >> 30 & 1) == k) calls.push_back(r);
        const std::vector<Request>& expected = peers[k].expected;
        if (abrupt) {
            check(calls.size() <= expected.size() && std::equal(calls.begin(), calls.end(), expected.begin()),
                  "callouts are not a prefix of the well-formed requests");
        } else {
            check(calls == expected, "callouts differ from the well-formed requests");
            checkReplies(peers[k].in, calls);
        }
    }
    check(cfl::liveReferences(0) == references, "references taken and not given back");
    return 0;
}
