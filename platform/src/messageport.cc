// Message ports between processes of one user: one abstract Unix-domain
// stream socket per local port, framed requests and replies (docs/wire-format.md).
//
// Abstract names vanish with the process that bound them, however it ends, so
// nothing is left to clean up. Peers are checked with SO_PEERCRED both ways.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "cfinternal.h"
#include "runloop.h"

namespace cfl {
namespace {

constexpr char kRequestMagic[4] = {'C', 'F', 'M', 'Q'};
constexpr char kReplyMagic[4] = {'C', 'F', 'M', 'R'};
constexpr size_t kHeaderSize = 12;
/// How much a reader that reads ahead takes at once when a frame begins.
constexpr size_t kReadAhead = 4096;
/// The most data one message carries: CoreFoundation refuses to send more, and
/// drops a reply that claims more.
constexpr uint32_t kMaxFrame = 0x60000000;
/// Send time-outs from this many seconds on mean no time-out at all, as in CoreFoundation.
constexpr double kSendForever = 10.0 * 86400;
/// Descriptors a port leaves free for the process's own requests: peers beyond them are turned away.
constexpr int kReservedDescriptors = 16;
/// How long a lookup keeps trying a live name whose listener has no room, before it gives up on it.
constexpr double kFullBacklogPatience = 0.1;
/// Longest name kept whole; longer names are cut, as the bootstrap service does on macOS.
constexpr size_t kMaxNameBytes = 128;
/// A connection yields the run loop after this much input so other peers get their turn.
constexpr size_t kReadBudget = 1 << 22;

uint32_t getU32(const UInt8* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putU32(UInt8* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = UInt8(v >> (8 * i));
}

/// Cuts a name at a character boundary no later than kMaxNameBytes.
std::string cutName(const std::string& name) {
    if (name.size() <= kMaxNameBytes) return name;
    size_t end = kMaxNameBytes;
    while (end > 0 && (UInt8(name[end]) & 0xC0) == 0x80)
        --end;
    return name.substr(0, end);
}

uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

/// The effective uid, asked once: every lookup needs it twice, and a system call
/// each time would double the cost of a lookup beyond its socket calls.
uid_t effectiveUid() {
    static const uid_t uid = geteuid();
    return uid;
}

bool sameUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == effectiveUid();
}

/// Reads one frame's header and body as bytes arrive; the body grows only
/// with the bytes received, whatever length the header claims.
struct FrameReader {
    UInt8 header[kHeaderSize];
    size_t have = 0;
    Bytes body;  // grows ahead of `got`, the bytes received so far
    size_t got = 0;
    size_t bodyWant = 0;
    bool inBody = false;
    /// Bytes read past the header, for a reader that reads ahead: a small request
    /// then costs one read, not two. Only the body's remainder is read exactly.
    Bytes ahead;
    size_t aheadAt = 0;
    bool readsAhead = false;

    enum Result { kMore, kFrame, kClosed, kGarbage, kWouldBlock, kFailed };

    /// Whether bytes already read wait here; the socket will not report them again.
    bool buffered() const { return aheadAt < ahead.size(); }

    /// Moves up to `n` bytes read ahead to `to`; how many it moved.
    size_t takeAhead(UInt8* to, size_t n) {
        size_t k = std::min(n, ahead.size() - aheadAt);
        if (k > 0) std::memcpy(to, ahead.data() + aheadAt, k);
        aheadAt += k;
        return k;
    }

    /// Reads what the socket has, up to kReadAhead bytes, into the read-ahead; recv's result.
    ssize_t readAhead(int fd) {
        ahead.resize(kReadAhead);
        ssize_t n = recv(fd, ahead.data(), ahead.size(), 0);
        ahead.resize(n > 0 ? size_t(n) : 0);
        aheadAt = 0;
        return n;
    }

    /// Reads what the socket has, up to one complete frame.
    Result step(int fd, const char (&magic)[4], size_t& budget) {
        for (;;) {
            if (!inBody) {
                have += takeAhead(header + have, kHeaderSize - have);
                if (have < kHeaderSize) {
                    ssize_t n = readsAhead ? readAhead(fd) : recv(fd, header + have, kHeaderSize - have, 0);
                    if (n == 0) return kClosed;
                    if (n < 0)
                        return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : errno == EINTR ? kMore : kFailed;
                    if (!readsAhead) have += size_t(n);
                    continue;  // bytes read ahead go to the header at the top
                }
                if (std::memcmp(header, magic, 4) != 0) return kGarbage;
                uint32_t len = getU32(header + 8);
                if (len > kMaxFrame) return kGarbage;
                bodyWant = len;
                body.clear();
                got = 0;
                inBody = true;
            }
            if (got == bodyWant) {
                body.resize(got);
                inBody = false;
                have = 0;
                return kFrame;
            }
            if (!buffered() && budget == 0) return kMore;
            if (got == body.size()) body.resize(std::min(bodyWant, std::max<size_t>(65536, 2 * got)));
            if (buffered()) {
                got += takeAhead(body.data() + got, body.size() - got);
                continue;
            }
            ssize_t n = recv(fd, body.data() + got, body.size() - got, 0);
            if (n == 0) return kClosed;
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : errno == EINTR ? kMore : kFailed;
            got += size_t(n);
            budget -= std::min(budget, size_t(n));
        }
    }

    int32_t field() const { return int32_t(getU32(header + 4)); }
};

/// Sends what it can without blocking; returns false on a broken connection.
bool sendSome(int fd, const std::string& head, size_t& headOff, const UInt8* body, size_t bodyLen, size_t& bodyOff) {
    while (headOff < head.size() || bodyOff < bodyLen) {
        iovec iov[2];
        int count = 0;
        if (headOff < head.size()) iov[count++] = {const_cast<char*>(head.data()) + headOff, head.size() - headOff};
        if (bodyOff < bodyLen) iov[count++] = {const_cast<UInt8*>(body) + bodyOff, bodyLen - bodyOff};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        size_t sent = size_t(n);
        size_t fromHead = std::min(sent, head.size() - headOff);
        headOff += fromHead;
        bodyOff += sent - fromHead;
        if (sent == 0) break;
    }
    return true;
}

std::string header(const char (&magic)[4], int32_t field, uint32_t length) {
    std::string h(kHeaderSize, '\0');
    auto* p = reinterpret_cast<UInt8*>(h.data());
    std::memcpy(p, magic, 4);
    putU32(p + 4, uint32_t(field));
    putU32(p + 8, length);
    return h;
}

/// One peer connected to a local port.
struct Connection {
    int fd = -1;
    uint64_t watchId = 0;
    FrameReader in;
    std::string outHead;
    CFDataRef outBody = nullptr;
    size_t outHeadOff = 0, outBodyOff = 0;
    bool closed = false;
    uint32_t events = EPOLLIN;
    /// Inside the port's callout, which may run the loop again.
    bool busy = false;
    /// Taken off the loop because it reported while busy; put back after the callout.
    bool parked = false;
    std::function<void(uint32_t)> handler;

    ~Connection() {
        if (outBody) CFRelease(outBody);
        if (fd >= 0) close(fd);
    }
    bool flushed() const {
        return outHeadOff == outHead.size() && (!outBody || outBodyOff == size_t(CFDataGetLength(outBody)));
    }
};

}  // namespace

/// The socket address of a name for this user: the name itself when it fits,
/// else a 128-bit digest of it, in a separate part of the namespace.
unsigned addressFor(const std::string& name, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string path = "cfmessageport." + std::to_string(effectiveUid());
    if (path.size() + 1 + name.size() <= sizeof addr.sun_path - 1) {
        path += "." + name;
    } else {
        uint64_t a = 0xcbf29ce484222325ULL, b = 0x84222325cbf29ce4ULL;
        for (unsigned char c : name) {
            a = (a ^ c) * 0x100000001b3ULL;
            b = mix(b ^ c);
        }
        char hex[40];
        snprintf(hex, sizeof hex, "#%016llx%016llx", (unsigned long long)mix(a), (unsigned long long)b);
        path += hex;
    }
    std::memcpy(addr.sun_path + 1, path.data(), path.size());
    return unsigned(offsetof(sockaddr_un, sun_path) + 1 + path.size());
}

}  // namespace cfl

struct __CFMessagePort : cfl::Object {
    __CFMessagePort() : Object(cfl::typeMessagePort) {}
    ~__CFMessagePort() override;

    bool remote = false;
    bool valid = true;
    CFStringRef name = nullptr;
    std::string key;

    // Local side.
    int listenFd = -1;
    CFMessagePortCallBack callout = nullptr;
    CFMessagePortContext context{};
    CFRunLoopSourceRef source = nullptr;
    CFRunLoopRef loop = nullptr;
    uint64_t listenWatch = 0;
    std::unordered_map<cfl::Connection*, std::shared_ptr<cfl::Connection>> connections;

    // Remote side.
    int fd = -1;
    bool waiting = false;
    size_t staleReplies = 0;
    cfl::FrameReader reply;
    /// Watch for replies on the main loop, kept from one request to the next: the
    /// two system calls that add and remove it would cost a request more than its send.
    uint64_t replyWatch = 0;
    /// While a request on the main loop waits: reads what came, false once it has settled.
    std::function<bool()> onReply;
};

namespace cfl {
namespace {

void closeConnection(CFMessagePortRef port, Connection* c) {
    if (c->closed) return;
    c->closed = true;
    if (port->loop && !c->parked) unwatch(port->loop, c->watchId);
    port->connections.erase(c);  // may free c
}

void serveConnection(CFMessagePortRef port, const std::shared_ptr<Connection>& c, uint32_t events);

void setEvents(CFMessagePortRef port, Connection* c, uint32_t events) {
    if (c->events == events || c->parked) return;
    c->events = events;
    rewatch(port->loop, c->watchId, events);
}

void flushConnection(CFMessagePortRef port, const std::shared_ptr<Connection>& c) {
    const UInt8* body = c->outBody ? CFDataGetBytePtr(c->outBody) : nullptr;
    size_t bodyLen = c->outBody ? size_t(CFDataGetLength(c->outBody)) : 0;
    if (!sendSome(c->fd, c->outHead, c->outHeadOff, body, bodyLen, c->outBodyOff)) {
        closeConnection(port, c.get());
        return;
    }
    if (c->flushed()) {
        if (c->outBody) CFRelease(c->outBody);
        c->outBody = nullptr;
        c->outHead.clear();
        c->outHeadOff = c->outBodyOff = 0;
        setEvents(port, c.get(), EPOLLIN);
    } else {
        // Read nothing more from a peer that does not take its replies.
        setEvents(port, c.get(), EPOLLOUT);
    }
}

void deliver(CFMessagePortRef port, const std::shared_ptr<Connection>& c) {
    SInt32 msgid = c->in.field();
    CFDataRef data = new __CFData(std::move(c->in.body));
    c->in.body = {};
    CFRetain(port);
    c->busy = true;
    CFDataRef answer = port->callout ? port->callout(port, msgid, data, port->context.info) : nullptr;
    c->busy = false;
    CFRelease(data);
    if (c->parked && !c->closed && port->loop) {
        c->parked = false;
        c->watchId = watch(port->loop, c->fd, c->events, c->handler);
    }
    if (!c->closed && port->valid) {
        c->outHead = header(kReplyMagic, 0, answer ? uint32_t(CFDataGetLength(answer)) : 0);
        c->outBody = answer;
        answer = nullptr;
        flushConnection(port, c);
    }
    if (answer) CFRelease(answer);
    CFRelease(port);
}

void serveConnection(CFMessagePortRef port, const std::shared_ptr<Connection>& c, uint32_t events) {
    if (c->busy) {
        // The callout runs the loop again; this peer waits until it returns.
        unwatch(port->loop, c->watchId);
        c->parked = true;
        return;
    }
    if (!c->flushed()) {
        if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) flushConnection(port, c);
        // Requests read ahead are served now that the peer has taken its reply: the
        // socket will not report them again.
        if (c->closed || !c->flushed() || !c->in.buffered()) return;
    }
    size_t budget = kReadBudget;
    for (;;) {
        switch (c->in.step(c->fd, kRequestMagic, budget)) {
            case FrameReader::kFrame:
                deliver(port, c);
                // The loop reports the next request when it comes: a peer that waits for its
                // reply has sent none yet, and one more read here would only find that out.
                // Requests already read ahead are another matter: nothing would report them.
                if (c->closed || !c->flushed() || !c->in.buffered()) return;
                continue;
            case FrameReader::kMore:
                if (budget == 0) return;
                continue;
            case FrameReader::kWouldBlock:
                return;
            default:  // closed, garbage or failed: drop the peer, keep the port
                closeConnection(port, c.get());
                return;
        }
    }
}

/// A descriptor held in reserve: when the process runs out, it is given up
/// for a moment to accept and turn away a waiting peer, which would otherwise
/// keep the listener readable and the loop spinning.
int gSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);

void turnAwayOnePeer(int listenFd) {
    if (gSpareFd < 0) return;
    close(gSpareFd);
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) close(fd);
    gSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

/// Whether `fd` lies among the last descriptors the process may open. The lowest
/// free number is always taken, so every number below it is in use.
bool inReserve(int fd) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
    return rlim_t(fd) + kReservedDescriptors >= limit.rlim_cur;
}

void acceptAll(CFMessagePortRef port) {
    for (int i = 0; i < 64; ++i) {
        int fd = accept4(port->listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) turnAwayOnePeer(port->listenFd);
            return;
        }
        // Peers that hold many connections open must not take the descriptors that
        // the process's own lookups and sends need: beyond the reserve, new ones are refused.
        if (!sameUser(fd) || inReserve(fd)) {
            close(fd);
            continue;
        }
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        c->in.readsAhead = true;
        std::weak_ptr<Connection> weak = c;
        c->handler = [port, weak](uint32_t events) {
            if (auto strong = weak.lock()) serveConnection(port, strong, events);
        };
        c->watchId = watch(port->loop, fd, EPOLLIN, c->handler);
        port->connections[c.get()] = c;
    }
}

void schedule(CFMessagePortRef port, CFRunLoopRef rl) {
    if (port->loop || !port->valid) return;
    port->loop = rl;
    countSource(rl, 1);
    if (port->listenFd >= 0)
        port->listenWatch = watch(rl, port->listenFd, EPOLLIN, [port](uint32_t) { acceptAll(port); });
}

void unschedule(CFMessagePortRef port) {
    if (!port->loop) return;
    while (!port->connections.empty())
        closeConnection(port, port->connections.begin()->first);
    if (port->listenWatch) unwatch(port->loop, port->listenWatch);
    port->listenWatch = 0;
    countSource(port->loop, -1);
    port->loop = nullptr;
}

/// Outcomes of connectTo.
enum Reach { kConnected, kNoRoom, kNoSuchPort, kOwnFailure };

/// Connects to a live port of this user: kNoRoom when a listener exists but its
/// backlog is full (so its owner cannot be checked), kOwnFailure when this
/// process could not make a socket, which says nothing about the name.
Reach connectTo(const std::string& key, int& fdOut) {
    sockaddr_un addr;
    socklen_t len = addressFor(key, addr);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE) && gSpareFd >= 0) {
        // The spare descriptor goes to this request; it is taken back once a connection closes.
        close(gSpareFd);
        gSpareFd = -1;
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) return kOwnFailure;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
        if (sameUser(fd)) {
            fdOut = fd;
            return kConnected;
        }
        close(fd);
        return kNoSuchPort;
    }
    int err = errno;
    close(fd);
    return err == EAGAIN ? kNoRoom : kNoSuchPort;
}

/// Local ports of this process by name: a second registration of a name gets the first port.
std::mutex gLocalLock;
std::unordered_map<std::string, CFMessagePortRef> gLocalPorts;

bool isOwnName(const std::string& key) {
    std::lock_guard<std::mutex> hold(gLocalLock);
    return gLocalPorts.count(key) > 0;
}

/// Ends the reply watch that a remote port keeps on the main loop, if any.
void forgetReplyWatch(CFMessagePortRef port) {
    if (!port->replyWatch) return;
    // Only the main thread changes its loop's watches; from elsewhere it is asked to.
    CFRunLoopRef main = CFRunLoopGetMain();
    if (CFRunLoopGetCurrent() == main) {
        unwatch(main, port->replyWatch);
    } else {
        CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [main, id = port->replyWatch] { unwatch(main, id); });
        CFRunLoopWakeUp(main);
    }
    port->replyWatch = 0;
}

/// Ends the remote side's connection, and the reply watch that belongs to it.
void closeRemote(CFMessagePortRef port) {
    forgetReplyWatch(port);
    if (port->fd >= 0) close(port->fd);
    port->fd = -1;
    if (gSpareFd < 0) gSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    port->staleReplies = 0;
    port->reply = {};
}

void invalidateRemote(CFMessagePortRef port) {
    port->valid = false;
    closeRemote(port);
}

/// Runs the loop until `done()` or the deadline, looking only when a run returns:
/// as in CoreFoundation, a run returns only after a source of its own was handled
/// (or at the deadline), so what a nested run settled is seen once this one wakes.
/// The request's own descriptor counts as a source, even on a loop without ports.
void await(CFRunLoopRef rl, const std::function<bool()>& done, double deadline) {
    countSource(rl, 1);
    while (!done()) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, deadline - now(), true);
        if (now() >= deadline) break;
    }
    countSource(rl, -1);
}

/// The monotonic deadline of a wait of `t` seconds: none at all for zero, negative
/// or NaN (one look), and no end beyond `forever`.
double deadlineAfter(CFTimeInterval t, double forever) {
    if (!(t > 0)) return now();
    if (t >= forever) return INFINITY;
    return now() + t;
}

}  // namespace
}  // namespace cfl

__CFMessagePort::~__CFMessagePort() {
    CFMessagePortInvalidate(this);
    if (source) {
        // Whoever still holds the source holds nothing that reaches this port.
        source->schedule = nullptr;
        source->unschedule = nullptr;
        CFRelease(source);
    }
    if (name) CFRelease(name);
}

extern "C" {

CFTypeID CFMessagePortGetTypeID(void) { return cfl::typeMessagePort; }

CFMessagePortRef CFMessagePortCreateLocal(CFAllocatorRef, CFStringRef name, CFMessagePortCallBack callout,
                                          CFMessagePortContext* context, Boolean* shouldFreeInfo) {
    if (shouldFreeInfo) *shouldFreeInfo = true;
    int fd = -1;
    std::string key;
    if (name) {
        key = cfl::cutName(cfl::text(name));
        {
            // A name this process holds already: that port again, with one more reference.
            std::lock_guard<std::mutex> hold(cfl::gLocalLock);
            auto it = cfl::gLocalPorts.find(key);
            if (it != cfl::gLocalPorts.end())
                return it->second->valid ? static_cast<CFMessagePortRef>(const_cast<void*>(CFRetain(it->second)))
                                         : nullptr;
        }
        sockaddr_un addr;
        socklen_t len = cfl::addressFor(key, addr);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return nullptr;
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, SOMAXCONN) != 0) {
            close(fd);
            return nullptr;  // the name is held by a live port
        }
    }
    auto* port = new __CFMessagePort;
    port->listenFd = fd;
    port->key = key;
    port->name = name ? cfl::makeString(key) : nullptr;
    port->callout = callout;
    if (context) {
        port->context = *context;
        if (context->retain && context->info) port->context.info = const_cast<void*>(context->retain(context->info));
    }
    if (name) {
        std::lock_guard<std::mutex> hold(cfl::gLocalLock);
        cfl::gLocalPorts[key] = port;
    }
    if (shouldFreeInfo) *shouldFreeInfo = false;
    return port;
}

CFMessagePortRef CFMessagePortCreateRemote(CFAllocatorRef, CFStringRef name) {
    if (!name) return nullptr;
    std::string key = cfl::cutName(cfl::text(name));
    int fd = -1;
    cfl::Reach reach = cfl::connectTo(key, fd);
    // A listener with a full backlog cannot be asked who owns it. This process's
    // own ports need no asking: the request connects once the loop has accepted.
    // Anyone else's gets a short while to make room, then counts as not there,
    // so that another user's port under the name is never taken for ours.
    bool own = reach == cfl::kNoRoom && cfl::isOwnName(key);
    double patience = cfl::now() + cfl::kFullBacklogPatience;
    while (reach == cfl::kNoRoom && !own && cfl::now() < patience) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        reach = cfl::connectTo(key, fd);
    }
    // A socket this process could not make says nothing about the name; the
    // request tries again and reports a transport error if it fails too.
    if (reach == cfl::kNoSuchPort || (reach == cfl::kNoRoom && !own)) return nullptr;
    auto* port = new __CFMessagePort;
    port->remote = true;
    port->key = key;
    port->name = cfl::makeString(key);
    port->fd = fd;
    return port;
}

Boolean CFMessagePortIsRemote(CFMessagePortRef ms) { return ms->remote; }

CFStringRef CFMessagePortGetName(CFMessagePortRef ms) { return ms->name; }

Boolean CFMessagePortIsValid(CFMessagePortRef ms) { return ms->valid; }

void CFMessagePortInvalidate(CFMessagePortRef ms) {
    if (!ms->valid && ms->listenFd < 0 && ms->fd < 0) return;
    ms->valid = false;
    if (ms->remote) {
        cfl::invalidateRemote(ms);
        return;
    }
    if (ms->name) {
        std::lock_guard<std::mutex> hold(cfl::gLocalLock);
        auto it = cfl::gLocalPorts.find(ms->key);
        if (it != cfl::gLocalPorts.end() && it->second == ms) cfl::gLocalPorts.erase(it);
    }
    if (ms->source && ms->source->scheduledOn) CFRunLoopSourceInvalidate(ms->source);
    cfl::unschedule(ms);
    if (ms->listenFd >= 0) close(ms->listenFd);
    ms->listenFd = -1;
    if (ms->context.release && ms->context.info) ms->context.release(ms->context.info);
    ms->context.info = nullptr;
}

CFRunLoopSourceRef CFMessagePortCreateRunLoopSource(CFAllocatorRef, CFMessagePortRef local, CFIndex) {
    if (!local || local->remote) return nullptr;
    if (local->source) return static_cast<CFRunLoopSourceRef>(const_cast<void*>(CFRetain(local->source)));
    // The port keeps its one source (and hands out further references to it);
    // the source refers back to the port without owning it.
    auto* source = new __CFRunLoopSource;
    source->schedule = [local](CFRunLoopRef rl) { cfl::schedule(local, rl); };
    source->unschedule = [local](CFRunLoopRef) { cfl::unschedule(local); };
    local->source = source;
    CFRetain(source);
    return source;
}

SInt32 CFMessagePortSendRequest(CFMessagePortRef remote, SInt32 msgid, CFDataRef data, CFTimeInterval sendTimeout,
                                CFTimeInterval rcvTimeout, CFStringRef replyMode, CFDataRef* returnData) {
    if (returnData) *returnData = nullptr;
    if (!remote || !remote->remote || !remote->valid) return kCFMessagePortIsInvalid;
    if (remote->waiting) return kCFMessagePortTransportError;  // one request at a time per port
    CFIndex length = data ? CFDataGetLength(data) : 0;
    if (uint64_t(length) > cfl::kMaxFrame) return kCFMessagePortTransportError;

    CFRunLoopRef rl = CFRunLoopGetCurrent();
    // Below a millisecond the send gets one try; from ten days on it has no time-out.
    double sendDeadline = sendTimeout < 0.001 ? cfl::now() : cfl::deadlineAfter(sendTimeout, cfl::kSendForever);
    auto nothing = [] { return false; };

    // A port that could not connect when it was looked up (its listener had no
    // room, or this process no descriptor) connects now.
    while (remote->fd < 0) {
        cfl::Reach reach = cfl::connectTo(remote->key, remote->fd);
        if (reach == cfl::kConnected) break;
        if (reach == cfl::kNoSuchPort) {
            cfl::invalidateRemote(remote);
            return kCFMessagePortIsInvalid;
        }
        if (reach == cfl::kOwnFailure) return kCFMessagePortTransportError;
        if (cfl::now() >= sendDeadline) return kCFMessagePortSendTimeout;
        cfl::await(rl, nothing, std::min(sendDeadline, cfl::now() + 0.002));
    }
    remote->waiting = true;
    struct Done {
        CFMessagePortRef port;
        ~Done() { port->waiting = false; }
    } done{remote};

    std::string head = cfl::header(cfl::kRequestMagic, msgid, uint32_t(length));
    const UInt8* body = data ? CFDataGetBytePtr(data) : nullptr;
    size_t headOff = 0, bodyOff = 0;
    bool broken = false;
    auto sent = [&] { return broken || (headOff == head.size() && bodyOff == size_t(length)); };
    broken = !cfl::sendSome(remote->fd, head, headOff, body, size_t(length), bodyOff);
    if (broken && headOff == 0) {
        // Refused before a byte went out: the peer was gone before this request. A
        // hang-up with no unread reply before it means the port was already invalid.
        // (Asked only now, so that a request to a live peer costs no extra call.)
        char probe;
        ssize_t peeked = recv(remote->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            cfl::invalidateRemote(remote);
            return kCFMessagePortIsInvalid;
        }
    }
    if (!sent()) {
        // The descriptor can be in a loop's set once only: the long send watches it alone.
        cfl::forgetReplyWatch(remote);
        uint64_t id = 0;
        id = cfl::watch(rl, remote->fd, EPOLLOUT, [&](uint32_t) {
            broken = !cfl::sendSome(remote->fd, head, headOff, body, size_t(length), bodyOff);
            // Done, but perhaps inside a nested wait: a writable socket must not keep waking it.
            if (sent()) cfl::unwatch(rl, id);
        });
        cfl::await(rl, sent, sendDeadline);
        cfl::unwatch(rl, id);
    }
    if (broken) {
        cfl::invalidateRemote(remote);
        return kCFMessagePortBecameInvalidError;
    }
    if (!sent()) {
        // Part of a frame is on the wire; this connection cannot carry another.
        cfl::closeRemote(remote);
        return kCFMessagePortSendTimeout;
    }
    if (!replyMode) {
        ++remote->staleReplies;  // the receiver answers anyway; skip that answer later
        return kCFMessagePortSuccess;
    }

    double replyDeadline = cfl::deadlineAfter(rcvTimeout, cfl::kRunForever);
    enum { kWaiting, kReplied, kGone, kGarbage } state = kWaiting;
    CFDataRef answer = nullptr;
    auto readReplies = [&] {
        size_t budget = cfl::kReadBudget;
        while (state == kWaiting) {
            switch (remote->reply.step(remote->fd, cfl::kReplyMagic, budget)) {
                case cfl::FrameReader::kFrame:
                    if (remote->staleReplies > 0) {
                        --remote->staleReplies;
                        remote->reply.body = {};
                        continue;
                    }
                    if (!remote->reply.body.empty()) answer = new __CFData(std::move(remote->reply.body));
                    remote->reply.body = {};
                    state = kReplied;
                    return;
                case cfl::FrameReader::kMore:
                    if (budget == 0) return;  // the loop brings us back; other sources get their turn
                    continue;
                case cfl::FrameReader::kWouldBlock:
                    return;
                case cfl::FrameReader::kGarbage:
                    state = kGarbage;
                    return;
                default:
                    state = kGone;
                    return;
            }
        }
    };
    auto settled = [&] { return state != kWaiting || !remote->valid; };
    if (rl == CFRunLoopGetMain()) {
        if (!remote->replyWatch) {
            // The watch outlives this request; it finds the port, not this frame.
            remote->replyWatch = cfl::watch(rl, remote->fd, EPOLLIN, [remote, rl](uint32_t) {
                if (remote->onReply && remote->onReply()) return;
                // Nobody waits (any more): a late reply or a hang-up waits for the next
                // request, which watches again. A hang-up is reported whatever a watch asks for.
                cfl::unwatch(rl, remote->replyWatch);
                remote->replyWatch = 0;
            });
        }
        remote->onReply = [&] {
            if (state != kWaiting) return false;  // settled: what is readable now answers nothing
            readReplies();
            return true;
        };
        struct Settle {
            CFMessagePortRef port;
            ~Settle() { port->onReply = nullptr; }
        } settle{remote};
        cfl::await(rl, settled, replyDeadline);
    } else {
        uint64_t id = 0;
        id = cfl::watch(rl, remote->fd, EPOLLIN, [&](uint32_t) {
            readReplies();
            if (state != kWaiting) cfl::unwatch(rl, id);  // as above: a closed peer stays readable
        });
        cfl::await(rl, settled, replyDeadline);
        cfl::unwatch(rl, id);
    }
    switch (state) {
        case kReplied:
            // A caller without a slot for the reply still waits for it, as on macOS.
            if (returnData) {
                *returnData = answer;
            } else if (answer) {
                CFRelease(answer);
            }
            return kCFMessagePortSuccess;
        case kGone:
            cfl::invalidateRemote(remote);
            return kCFMessagePortBecameInvalidError;
        case kGarbage:
            cfl::closeRemote(remote);
            return kCFMessagePortTransportError;
        case kWaiting:
            break;
    }
    ++remote->staleReplies;  // a late answer must not pass for the next one
    return kCFMessagePortReceiveTimeout;
}

}  // extern "C"
