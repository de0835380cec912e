// Message ports between processes of one user: one abstract Unix-domain
// stream socket per local port, framed requests and replies (docs/wire-format.md).
//
// Abstract names vanish with the process that bound them, however it ends, so
// nothing is left to clean up. Peers are checked with SO_PEERCRED both ways.
#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cfinternal.h"
#include "runloop.h"

namespace cfl {
namespace {

constexpr char kRequestMagic[4] = {'C', 'F', 'M', 'Q'};
constexpr char kReplyMagic[4] = {'C', 'F', 'M', 'R'};
/// A request whose body travels out of line, as a sealed memfd passed with the header.
constexpr char kOutOfLineMagic[4] = {'C', 'F', 'M', 'O'};
/// The reply field of a request that was read but whose out-of-line body never arrived.
constexpr int32_t kReplyBodyLost = 1;
/// Bodies up to this size travel in line with their header: one message the socket
/// takes whole or not at all. Larger ones go out of line, as Mach sends its memory.
constexpr size_t kInlineLimit = 4000;
/// Requests a port holds that its run loop has not taken: Mach's default queue limit.
constexpr int kQueueLimit = 5;
/// Descriptors one read takes in: an out-of-line body and a queue slot.
constexpr int kFdsPerMessage = 2;
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
    /// A port's reader takes descriptors in: queue places, which it lets go at once
    /// (the request is taken), and an out-of-line body, kept in `bodyFd` until its header.
    bool takesFds = false;
    /// The memfd of the read numbered `bodyRead`, waiting for a `CFMO` header whose first
    /// byte came in that same read; -1 when none. The kernel attaches descriptors to the
    /// first byte of the sendmsg that carried them and ends a read after those bytes, so
    /// a sender's header and its body always arrive in one read, and a memfd of any other
    /// read is no body of that header.
    int bodyFd = -1;
    uint64_t bodyRead = 0;
    /// Reads that returned bytes, counted; the one that brought the current header's first
    /// byte, the one whose bytes wait in `ahead`, and the last one whose descriptors the
    /// kernel dropped because this process had no room for them (MSG_CTRUNC).
    uint64_t reads = 0, headerRead = 0, aheadRead = 0, lostRead = 0;
    /// A body came that no header can claim: a second one in one read, or one while another waits.
    bool stray = false;

    enum Result { kMore, kFrame, kClosed, kGarbage, kWouldBlock, kFailed, kBodyLost };

    /// Whether bytes already read wait here; the socket will not report them again.
    bool buffered() const { return aheadAt < ahead.size(); }

    /// Moves up to `n` bytes read ahead to `to`; how many it moved.
    size_t takeAhead(UInt8* to, size_t n) {
        size_t k = std::min(n, ahead.size() - aheadAt);
        if (k > 0) std::memcpy(to, ahead.data() + aheadAt, k);
        aheadAt += k;
        return k;
    }

    /// recv, with the descriptors that came along sorted out for a port's reader.
    ssize_t pull(int fd, void* to, size_t want) {
        if (!takesFds) return recv(fd, to, want, 0);
        alignas(cmsghdr) char control[CMSG_SPACE(kFdsPerMessage * sizeof(int))];
        iovec iov{to, want};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (n <= 0) return n;
        ++reads;
        if (msg.msg_flags & MSG_CTRUNC) lostRead = reads;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int passed;
                std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
                struct stat st {};
                // A place is let go here, which is what taking the request means; a body
                // waits for its header, and only one may wait.
                if (fstat(passed, &st) == 0 && S_ISREG(st.st_mode) && bodyFd < 0) {
                    bodyFd = passed;
                    bodyRead = reads;
                } else {
                    stray = stray || S_ISREG(st.st_mode);
                    close(passed);
                }
            }
        }
        return n;
    }

    /// Reads what the socket has, up to kReadAhead bytes, into the read-ahead; recv's result.
    ssize_t readAhead(int fd) {
        ahead.resize(kReadAhead);
        ssize_t n = pull(fd, ahead.data(), ahead.size());
        ahead.resize(n > 0 ? size_t(n) : 0);
        aheadAt = 0;
        aheadRead = reads;
        return n;
    }

    /// The body of an out-of-line request, from the memfd that came in the read of its header.
    /// It is trusted only sealed against every change and exactly as long as the header says.
    Result readOutOfLine(size_t length) {
        if (bodyFd < 0 || bodyRead != headerRead) {
            if (bodyFd >= 0 || lostRead != headerRead) return kGarbage;
            lostRead = 0;
            return kBodyLost;
        }
        int memfd = bodyFd;
        bodyFd = -1;
        constexpr int kSealed = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
        struct stat st {};
        int seals = fcntl(memfd, F_GET_SEALS);
        if (seals < 0 || (seals & kSealed) != kSealed || fstat(memfd, &st) != 0 || uint64_t(st.st_size) != length) {
            close(memfd);
            return kGarbage;
        }
        body.resize(length);
        size_t at = 0;
        while (at < length) {
            ssize_t n = pread(memfd, body.data() + at, length - at, off_t(at));
            if (n <= 0 && !(n < 0 && errno == EINTR)) break;
            if (n > 0) at += size_t(n);
        }
        close(memfd);
        return at == length ? kFrame : kFailed;
    }

    /// Reads what the socket has, up to one complete frame.
    Result step(int fd, const char (&magic)[4], size_t& budget) {
        for (;;) {
            if (stray) return kGarbage;
            if (!inBody) {
                if (have == 0 && buffered()) headerRead = aheadRead;
                have += takeAhead(header + have, kHeaderSize - have);
                if (have < kHeaderSize) {
                    ssize_t n = readsAhead ? readAhead(fd) : pull(fd, header + have, kHeaderSize - have);
                    if (n == 0) return kClosed;
                    if (n < 0)
                        return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : errno == EINTR ? kMore : kFailed;
                    if (!readsAhead) {
                        if (have == 0) headerRead = reads;
                        have += size_t(n);
                    }
                    continue;  // bytes read ahead go to the header at the top
                }
                // A body from a read before this header's was claimed by no header.
                if (bodyFd >= 0 && bodyRead < headerRead) return kGarbage;
                bool outOfLine = takesFds && std::memcmp(header, kOutOfLineMagic, 4) == 0;
                if (!outOfLine && std::memcmp(header, magic, 4) != 0) return kGarbage;
                uint32_t len = getU32(header + 8);
                if (len > kMaxFrame) return kGarbage;
                if (outOfLine) {
                    have = 0;
                    return readOutOfLine(len);
                }
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
            ssize_t n = pull(fd, body.data() + got, body.size() - got);
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
    /// A request of this connection reached the callout.
    bool delivered = false;
    /// The process that connected: when it is this one, its descriptors are the reserve's to use.
    pid_t pid = 0;
    std::function<void(uint32_t)> handler;

    ~Connection() {
        if (outBody) CFRelease(outBody);
        if (in.bodyFd >= 0) close(in.bodyFd);
        if (fd >= 0) close(fd);
    }
    bool flushed() const {
        return outHeadOff == outHead.size() && (!outBody || outBodyOff == size_t(CFDataGetLength(outBody)));
    }
};

}  // namespace

namespace {

/// 32 hex digits of a 128-bit digest of `name`, for addresses a name does not fit in.
std::string digestOf(const std::string& name) {
    uint64_t a = 0xcbf29ce484222325ULL, b = 0x84222325cbf29ce4ULL;
    for (unsigned char c : name) {
        a = (a ^ c) * 0x100000001b3ULL;
        b = mix(b ^ c);
    }
    char hex[33];
    snprintf(hex, sizeof hex, "%016llx%016llx", (unsigned long long)mix(a), (unsigned long long)b);
    return hex;
}

unsigned abstractAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, path.data(), path.size());
    return unsigned(offsetof(sockaddr_un, sun_path) + 1 + path.size());
}

std::string userPrefix() {
    std::string prefix = "cfmessageport.";
    prefix += std::to_string(effectiveUid());
    return prefix;
}

}  // namespace

/// The socket address of a name for this user: the name itself when it fits,
/// else a 128-bit digest of it, in a separate part of the namespace.
unsigned addressFor(const std::string& name, sockaddr_un& addr) {
    std::string path = userPrefix();
    if (path.size() + 1 + name.size() <= sizeof addr.sun_path - 1) {
        path += '.';
        path += name;
    } else {
        path += '#';
        path += digestOf(name);
    }
    return abstractAddress(path, addr);
}

/// The address of place `k` in a port's queue: whoever of this user binds it holds that place.
unsigned slotAddress(const std::string& name, int k, sockaddr_un& addr) {
    // Appended piece by piece: GCC 12 warns falsely on the operator+ chain in Release builds.
    std::string path = userPrefix();
    path += '!';
    path += std::to_string(k);
    path += '#';
    path += digestOf(name);
    return abstractAddress(path, addr);
}

}  // namespace cfl

namespace cfl {
namespace {

/// One request whose reply its sender waits for, as that sender sees it.
struct Pending {
    enum State { kWaiting, kReplied, kBodyLost, kGone, kGarbage } state = kWaiting;
    CFDataRef answer = nullptr;
};

/// One thread's connection to a remote port. A receiver answers the requests of a
/// connection one at a time, in order, so the replies come in the order the requests
/// went: each is matched to the oldest one outstanding. Requests of other threads go on
/// connections of their own, so that no thread reads a reply that another one waits for.
struct Link {
    /// The thread whose requests go here.
    const void* thread = nullptr;
    int fd = -1;
    FrameReader reply;
    /// Requests sent here and not answered yet, oldest first; null where nobody waits for
    /// the reply any more (a one-way request, a wait that timed out): that reply is dropped.
    std::deque<Pending*> outstanding;
    /// The receiver answered a request of this connection, so it reads: once nothing is
    /// outstanding, the next request goes without a queue slot, which would cost it four
    /// system calls.
    bool credit = false;
    /// Waits of this thread in progress here, one inside the other.
    int waits = 0;
    /// Watch for replies on `watchLoop`. On the main loop it is kept from one request to the
    /// next: the two system calls that add and remove it would cost a request more than its send.
    uint64_t replyWatch = 0;
    CFRunLoopRef watchLoop = nullptr;
};

}  // namespace
}  // namespace cfl

struct __CFMessagePort : cfl::Object {
    __CFMessagePort() : Object(cfl::typeMessagePort) {}
    ~__CFMessagePort() override;

    bool remote = false;
    /// Read by any thread: a remote port is shared by every thread that looks its name up.
    std::atomic<bool> valid{true};
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
    /// Guards `links` and all they hold; never held while a run loop runs or a send blocks.
    std::mutex lock;
    /// One per thread that sent on this port; a link is closed, never removed, while the port lives.
    std::vector<std::unique_ptr<cfl::Link>> links;
};

namespace cfl {
namespace {

/// Descriptors the process has open, exactly, or -1 when /proc cannot say. Since
/// Linux 6.2 the size of /proc/self/fd is the number of set bits in the process's
/// table of open descriptors, taken under the table's lock: every number handed out
/// and not yet closed, whoever opened it, whatever its number. Older kernels size it 0,
/// and the directory is counted instead (its own descriptor left out). One stat, about
/// 2 µs; counting the directory costs about 0.2 µs a descriptor. Any thread.
long descriptorsInUse() {
    struct stat st {};
    if (stat("/proc/self/fd", &st) == 0 && st.st_size > 0) return long(st.st_size);
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return errno == EMFILE || errno == ENFILE ? LONG_MAX : -1;
    long count = -1;  // the directory's own descriptor
    alignas(8) char entries[4096];
    for (;;) {
        long n = syscall(SYS_getdents64, dir, entries, sizeof entries);
        if (n <= 0) break;
        for (long at = 0; at < n;) {
            auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            if (entry->d_name[0] != '.') ++count;
            at += entry->d_reclen;
        }
    }
    close(dir);
    return count;
}

/// Whether the process, holding the peer's descriptor `newest` (just accepted or
/// received), has fewer than kReservedDescriptors left for its own lookups and sends.
/// The kernel hands out the lowest free number, so every number below `newest` is in
/// use: when that alone takes the reserve, nothing is counted; otherwise the open
/// descriptors are counted, since closed ones below may leave holes that a number
/// cannot show. Any thread; calls out to nothing.
bool inReserve(int newest) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
    if (rlim_t(newest) + 1 + kReservedDescriptors > limit.rlim_cur) return true;
    long open = descriptorsInUse();
    if (open < 0) return false;  // no /proc: the number above is all there is to go by
    return rlim_t(open) + kReservedDescriptors > limit.rlim_cur;
}

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
    // A peer that no longer takes replies loses them, not the requests it queued
    // before it went: those were queued whole and are still delivered, as on macOS.
    bool broken = !sendSome(c->fd, c->outHead, c->outHeadOff, body, bodyLen, c->outBodyOff);
    if (broken || c->flushed()) {
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
    c->delivered = true;
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

/// Reads and serves what a peer sent, as far as it goes without waiting. The port's loop; calls out to its callout.
void readRequests(CFMessagePortRef port, const std::shared_ptr<Connection>& c, uint32_t events) {
    if (!c->flushed()) {
        if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) flushConnection(port, c);
        // Requests read ahead are served now that the peer has taken its reply: the
        // socket will not report them again.
        if (c->closed || !c->flushed() || !c->in.buffered()) return;
    }
    size_t budget = kReadBudget;
    for (;;) {
        switch (c->in.step(c->fd, kRequestMagic, budget)) {
            case FrameReader::kBodyLost:
                // Read, so taken, but with nothing to hand on: the sender learns that
                // from its reply, and the connection stays in step.
                c->outHead = header(kReplyMagic, kReplyBodyLost, 0);
                flushConnection(port, c);
                if (c->closed || !c->flushed() || !c->in.buffered()) return;
                continue;
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

void serveConnection(CFMessagePortRef port, const std::shared_ptr<Connection>& c, uint32_t events) {
    if (c->busy) {
        // The callout runs the loop again; this peer waits until it returns.
        unwatch(port->loop, c->watchId);
        c->parked = true;
        return;
    }
    readRequests(port, c, events);
    // A body that waits for the rest of its header holds one of our descriptors for
    // as long as the peer likes: a peer may not keep one from the reserve. (A body read
    // with its header was closed already, at no cost here.)
    if (!c->closed && c->in.bodyFd >= 0 && inReserve(c->in.bodyFd) && c->pid != getpid())
        closeConnection(port, c.get());
}

/// A descriptor held in reserve for the moments the process has none: it is given
/// up to turn away a peer that would otherwise keep a listener readable and the
/// loop spinning, or to let one request of the process's own through. Any thread
/// may give it up or take it back (a request may be sent from any thread), so it
/// changes hands only by atomic exchange: exactly one caller closes a given spare,
/// and a spare opened by a caller that lost the race is closed again. Only
/// giveUpSpare and keepSpare touch it.
std::atomic<int> gSpareFd{open("/dev/null", O_RDONLY | O_CLOEXEC)};

/// Frees the spare descriptor's number for a moment's use; false when it is spent.
/// Any thread; calls out to nothing.
bool giveUpSpare() {
    int fd = gSpareFd.exchange(-1);
    if (fd < 0) return false;
    close(fd);
    return true;
}

/// Takes the spare descriptor back once a number is free again. Any thread; calls out to nothing.
void keepSpare() {
    if (gSpareFd.load(std::memory_order_relaxed) >= 0) return;
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int none = -1;
    if (fd >= 0 && !gSpareFd.compare_exchange_strong(none, fd)) close(fd);
}

void turnAwayOnePeer(int listenFd) {
    if (!giveUpSpare()) return;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) close(fd);
    keepSpare();
}

/// Takes new peers in. The port's loop; calls out to the port's callout for a request
/// that came with its connection.
void acceptAll(CFMessagePortRef port) {
    CFRetain(port);  // the callout may let the port go
    for (int i = 0; i < 64 && port->listenFd >= 0; ++i) {
        int fd = accept4(port->listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) turnAwayOnePeer(port->listenFd);
            break;
        }
        // Peers that hold many connections open must not take the descriptors that
        // the process's own lookups and sends need: beyond the reserve, new ones are
        // refused. A connection of this process is one of those lookups or sends.
        ucred cred{};
        socklen_t credLen = sizeof cred;
        bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0;
        if (!known || cred.uid != effectiveUid() || (inReserve(fd) && cred.pid != getpid())) {
            close(fd);
            continue;
        }
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        c->pid = cred.pid;
        c->in.readsAhead = true;
        c->in.takesFds = true;
        std::weak_ptr<Connection> weak = c;
        c->handler = [port, weak](uint32_t events) {
            if (auto strong = weak.lock()) serveConnection(port, strong, events);
        };
        c->watchId = watch(port->loop, fd, EPOLLIN, c->handler);
        port->connections[c.get()] = c;
        // A Mach message needs no connection: a request that came with its connection is
        // served in the turn that takes the connection in (a send of no time to a port of
        // this loop runs its callout, as on macOS), and, as a port serves one message a
        // turn, the turn ends there.
        serveConnection(port, c, EPOLLIN);
        if (c->delivered) break;
    }
    CFRelease(port);
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

/// A new stream socket; when the process has no descriptor left, the spare one
/// goes to it (and is taken back once a connection closes).
int newSocket(int flags) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE) && giveUpSpare()) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    }
    return fd;
}

/// Connects to a live port of this user: kNoRoom when a listener exists but its
/// backlog is full (so its owner cannot be checked), kOwnFailure when this
/// process could not make a socket, which says nothing about the name. A
/// deadline ahead waits in the kernel for room in the backlog, running nothing.
Reach connectTo(const std::string& key, int& fdOut, double deadline = 0) {
    sockaddr_un addr;
    socklen_t len = addressFor(key, addr);
    bool wait = deadline > now();
    int fd = newSocket(wait ? 0 : SOCK_NONBLOCK);
    if (fd < 0) return kOwnFailure;
    if (wait && !std::isinf(deadline)) {
        double left = deadline - now();
        timeval limit{time_t(left), suseconds_t((left - std::floor(left)) * 1e6) + 1};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    int rc;
    while ((rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), len)) != 0 && errno == EINTR) {
    }
    if (rc == 0) {
        if (sameUser(fd)) {
            if (wait) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            fdOut = fd;
            return kConnected;
        }
        close(fd);
        return kNoSuchPort;
    }
    int err = errno;
    close(fd);
    return err == EAGAIN || err == EINPROGRESS ? kNoRoom : kNoSuchPort;
}

enum class Owner { ours, notOurs, unknown, nobody };

/// Socket states for addressOwner: listeners only, or every socket.
constexpr uint32_t kListeners = 1u << 10;  // TCP_LISTEN
constexpr uint32_t kAnyState = ~0u;

/// Who holds the abstract address `name` (`nameLen` bytes, its leading NUL included),
/// read from the kernel's socket table (sock_diag, with owners from Linux 5.3 on),
/// among the sockets in `states`. The connections that a listener accepted, or has yet
/// to accept (those with uid 0), carry its name as well, so a listener answers for its
/// name; otherwise any socket of another user that carries it makes it theirs (one
/// bound, then connected). `nobody` when no socket carries it, `unknown` when the kernel
/// cannot say. Lists every Unix socket in those states: used only where nothing cheaper
/// answers. Any thread; calls out to nothing.
Owner addressOwner(const char* name, size_t nameLen, uint32_t states) {
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return Owner::unknown;
    struct {
        nlmsghdr head;
        unix_diag_req req;
    } ask{};
    ask.head.nlmsg_len = sizeof ask;
    ask.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.head.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.req.sdiag_family = AF_UNIX;
    ask.req.udiag_states = states;
    ask.req.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_UID;
    Owner listener = Owner::nobody, others = Owner::nobody;
    bool answered = false, silent = false;
    bool done = send(nl, &ask, sizeof ask, 0) != ssize_t(sizeof ask);
    std::vector<char> buffer(32768);
    while (!done) {
        ssize_t n = recv(nl, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        for (auto* h = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(h, size_t(n)); h = NLMSG_NEXT(h, n)) {
            if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                answered = h->nlmsg_type == NLMSG_DONE;
                done = true;
                break;
            }
            auto* msg = static_cast<unix_diag_msg*>(NLMSG_DATA(h));
            int left = int(h->nlmsg_len - NLMSG_LENGTH(sizeof *msg));
            bool named = false;
            const uint32_t* uid = nullptr;
            for (auto* a = reinterpret_cast<rtattr*>(msg + 1); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
                if (a->rta_type == UNIX_DIAG_NAME)
                    named = RTA_PAYLOAD(a) == nameLen && std::memcmp(RTA_DATA(a), name, nameLen) == 0;
                if (a->rta_type == UNIX_DIAG_UID && RTA_PAYLOAD(a) >= sizeof(uint32_t))
                    uid = static_cast<const uint32_t*>(RTA_DATA(a));
            }
            if (!named) continue;
            if (!uid) {
                silent = true;  // a kernel that does not report owners
                continue;
            }
            Owner owner = *uid == effectiveUid() ? Owner::ours : Owner::notOurs;
            if (msg->udiag_state == 10) {  // TCP_LISTEN
                listener = owner;
            } else if (others != Owner::notOurs) {
                others = owner;
            }
        }
    }
    close(nl);
    if (!answered) return Owner::unknown;
    if (listener != Owner::nobody) return listener;
    return silent ? Owner::unknown : others;
}

/// Who owns the listener at `key`'s address, for a listener that has no room to be
/// asked by connecting. Any thread; calls out to nothing.
Owner listenerOwner(const std::string& key) {
    sockaddr_un addr;
    socklen_t len = addressFor(key, addr);
    return addressOwner(addr.sun_path, len - offsetof(sockaddr_un, sun_path), kListeners);
}

/// Outcomes of taking a place in a port's queue.
enum class Slot { taken, full, failed };

/// Takes one of the port's kQueueLimit places by binding its address: the kernel
/// keeps it held for as long as the slot socket lives, which is in flight with the
/// request until the receiver reads it. The slot listens so that a sender waiting
/// for a place learns from the kernel when it goes.
Slot takeSlot(const std::string& key, int& slotOut) {
    int fd = newSocket(SOCK_NONBLOCK);
    if (fd < 0) return Slot::failed;
    for (int k = 0; k < kQueueLimit; ++k) {
        sockaddr_un addr;
        socklen_t len = slotAddress(key, k, addr);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
            if (listen(fd, SOMAXCONN) != 0) break;
            slotOut = fd;
            return Slot::taken;
        }
        if (errno != EADDRINUSE) break;
    }
    int err = errno;
    close(fd);
    return err == EADDRINUSE ? Slot::full : Slot::failed;
}

/// What a sender that found all of a port's places bound learns of their holders.
struct Places {
    /// Connections to places of this user that listen: each is reset when the receiver lets its place go.
    pollfd watched[kQueueLimit];
    int count = 0;
    /// Places held by this user, the receiver's: only these count as taken.
    int ours = 0;
    Places() = default;
    Places(const Places&) = delete;
    Places& operator=(const Places&) = delete;
    ~Places() {
        for (int i = 0; i < count; ++i)
            close(watched[i].fd);
    }
};

/// Finds who holds each of the port's places, once all of them were found bound. A
/// place that listens is asked by connecting: SO_PEERCRED names who listens, and a
/// connection to one of ours is kept to learn when it goes. One that does not listen,
/// or whose backlog is full, is looked up in the kernel's socket table. A place of
/// another user, one let go meanwhile, or one whose holder nobody can tell is not
/// counted, and the first such place ends the look: one is enough to send without a
/// place. So another user's socket is connected to at most once a look, and a look is
/// made once per bind that found every place in use. Any thread; calls out to nothing.
void findHolders(const std::string& key, Places& places) {
    for (int k = 0; k < kQueueLimit; ++k) {
        sockaddr_un addr;
        socklen_t len = slotAddress(key, k, addr);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        Owner owner = Owner::ours;  // a place that cannot be asked counts, as a full queue does
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
            owner = sameUser(fd) ? Owner::ours : Owner::notOurs;
            if (owner == Owner::ours) {
                places.watched[places.count++] = {fd, POLLIN, 0};
                fd = -1;
            }
        } else if (fd >= 0 && (errno == ECONNREFUSED || errno == EAGAIN)) {
            owner = addressOwner(addr.sun_path, len - offsetof(sockaddr_un, sun_path), kAnyState);
        }
        if (fd >= 0) close(fd);
        if (owner != Owner::ours) return;
        ++places.ours;
    }
}

/// Blocks until one of the port's places, all of them ours, may have come free or the
/// deadline passes. A place that cannot be watched (it does not listen yet, or this
/// process had no descriptor) is looked at again after 10 ms at most. Any thread; calls out to nothing.
void waitForPlace(Places& places, double deadline) {
    int ms = std::isinf(deadline) ? -1 : int(std::ceil(std::max(0.0, deadline - now()) * 1000));
    if (places.count < kQueueLimit && (ms < 0 || ms > 10)) ms = 10;
    while (poll(places.watched, nfds_t(places.count), ms) < 0 && errno == EINTR) {
    }
}

/// A sealed memfd holding `length` bytes, or -1.
int sealedCopy(const UInt8* bytes, size_t length) {
    int fd = memfd_create("cfmessageport", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    size_t at = 0;
    while (at < length) {
        ssize_t n = write(fd, bytes + at, length - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        at += size_t(n);
    }
    if (at != length || fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/// Queues one request whole, in one message: the header with its body in line, or
/// with the body's memfd (`body` >= 0); a queue slot rides along when given. 0, or errno.
int sendFrame(int fd, int32_t msgid, const UInt8* bytes, size_t length, int body, int slot) {
    std::string head = header(body >= 0 ? kOutOfLineMagic : kRequestMagic, msgid, uint32_t(length));
    iovec iov[2] = {{head.data(), head.size()}, {const_cast<UInt8*>(bytes), body >= 0 ? 0 : length}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = iov[1].iov_len ? 2 : 1;
    alignas(cmsghdr) char control[CMSG_SPACE(kFdsPerMessage * sizeof(int))];
    int fds[kFdsPerMessage];
    size_t count = 0;
    if (body >= 0) fds[count++] = body;
    if (slot >= 0) fds[count++] = slot;
    if (count) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(count * sizeof(int));
        std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
    }
    ssize_t n;
    while ((n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    if (n < 0) return errno;
    // A message this small is taken whole or refused: a part sent leaves a broken stream.
    return size_t(n) == head.size() + iov[1].iov_len ? 0 : EPROTO;
}

/// Local ports of this process by name: a second registration of a name gets the first port.
std::mutex gLocalLock;
std::unordered_map<std::string, CFMessagePortRef> gLocalPorts;

bool isOwnName(const std::string& key) {
    std::lock_guard<std::mutex> hold(gLocalLock);
    return gLocalPorts.count(key) > 0;
}

/// Remote ports by name: a look-up of a name whose port is still valid gets that port,
/// as CoreFoundation's __CFAllRemoteMessagePorts gives it. A port is here until it is
/// invalidated or freed; the entry holds no reference. Lock order: a port's lock, then this one.
std::mutex gRemoteLock;
std::unordered_map<std::string, CFMessagePortRef> gRemotePorts;

/// A new reference to `port` unless its last one is being released (its destructor then
/// takes it out of gRemotePorts as soon as it gets the lock the caller holds). The count
/// is pinned first, so the port cannot go between the look and CFRetain. Any thread,
/// holding gRemoteLock; calls out to nothing.
bool retainUnlessFreed(CFMessagePortRef port) {
    long n = port->refs.load(std::memory_order_relaxed);
    do {
        if (n == 0) return false;
    } while (!port->refs.compare_exchange_weak(n, n + 1, std::memory_order_acquire));
    CFRetain(port);  // the caller's, counted as every reference is
    port->refs.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

/// The calling thread's mark, telling its link apart from other threads'.
thread_local const char tThread = 0;

/// The calling thread's link of `port`, made on its first request. Any thread, holding the port's lock.
Link& linkFor(CFMessagePortRef port) {
    for (auto& link : port->links)
        if (link->thread == &tThread) return *link;
    port->links.push_back(std::make_unique<Link>());
    port->links.back()->thread = &tThread;
    return *port->links.back();
}

/// Ends a link's reply watch: now on the calling thread's own loop, by a block on the main
/// loop; a wait in progress on another thread's loop removes its own when it ends.
void forgetReplyWatch(Link& link) {
    if (!link.replyWatch) return;
    CFRunLoopRef main = CFRunLoopGetMain();
    if (CFRunLoopGetCurrent() == link.watchLoop) {
        unwatch(link.watchLoop, link.replyWatch);
    } else if (link.watchLoop == main) {
        CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [main, id = link.replyWatch] { unwatch(main, id); });
        CFRunLoopWakeUp(main);
    } else {
        return;
    }
    link.replyWatch = 0;
}

/// Ends a link's connection: every request still waiting there settles as `why`, and
/// the next request connects afresh. Any thread, holding the port's lock; calls out to nothing.
void closeLink(Link& link, Pending::State why) {
    for (Pending* p : link.outstanding)
        if (p && p->state == Pending::kWaiting) p->state = why;
    link.outstanding.clear();
    forgetReplyWatch(link);
    if (link.fd >= 0) close(link.fd);
    link.fd = -1;
    keepSpare();
    link.credit = false;
    link.reply = {};
}

/// Invalidates a remote port: every wait on it ends with kCFMessagePortBecameInvalidError,
/// and the next look-up of its name makes a new port. Any thread, holding the port's lock;
/// calls out to nothing.
void invalidateLocked(CFMessagePortRef port) {
    port->valid = false;
    {
        std::lock_guard<std::mutex> hold(gRemoteLock);
        auto it = gRemotePorts.find(port->key);
        if (it != gRemotePorts.end() && it->second == port) gRemotePorts.erase(it);
    }
    for (auto& link : port->links)
        closeLink(*link, Pending::kGone);
}

void invalidateRemote(CFMessagePortRef port) {
    std::lock_guard<std::mutex> hold(port->lock);
    invalidateLocked(port);
}

/// Reads the replies that came on `link`, each for the oldest request outstanding: up to
/// the first one that somebody waits for (whose wait may then end), or all of them with
/// `drain`. Settles what it read; the receiver gone invalidates the port, a garbage frame
/// ends the link. The link's thread, holding the port's lock; calls out to nothing.
void readReplies(CFMessagePortRef port, Link& link, bool drain = false) {
    size_t budget = kReadBudget;
    for (;;) {
        switch (link.reply.step(link.fd, kReplyMagic, budget)) {
            case FrameReader::kFrame: {
                if (link.outstanding.empty()) {  // a reply to nothing the receiver was asked
                    closeLink(link, Pending::kGarbage);
                    return;
                }
                Pending* p = link.outstanding.front();
                link.outstanding.pop_front();
                link.credit = true;
                if (!p) {
                    link.reply.body = {};
                    continue;
                }
                if (!link.reply.body.empty()) p->answer = new __CFData(std::move(link.reply.body));
                link.reply.body = {};
                p->state = link.reply.field() == kReplyBodyLost ? Pending::kBodyLost : Pending::kReplied;
                if (drain) continue;
                return;
            }
            case FrameReader::kMore:
                if (budget == 0) return;  // the loop brings us back; other sources get their turn
                continue;
            case FrameReader::kWouldBlock:
                return;
            case FrameReader::kGarbage:
                closeLink(link, Pending::kGarbage);
                return;
            default:
                invalidateLocked(port);
                return;
        }
    }
}

/// The valid remote port of `key`, with a new reference, or null. A port whose receiver
/// closed its connection (one peek) is invalidated rather than handed out, as CoreFoundation
/// invalidates a port once the kernel reports its receiver dead. Any thread; calls out to nothing.
CFMessagePortRef existingRemote(const std::string& key) {
    CFMessagePortRef port = nullptr;
    {
        std::lock_guard<std::mutex> hold(gRemoteLock);
        auto it = gRemotePorts.find(key);
        if (it == gRemotePorts.end() || !it->second->valid || !retainUnlessFreed(it->second)) return nullptr;
        port = it->second;
    }
    bool alive;
    {
        std::lock_guard<std::mutex> hold(port->lock);
        alive = port->valid;
        auto open = std::find_if(port->links.begin(), port->links.end(), [](auto& l) { return l->fd >= 0; });
        char probe;
        if (alive && open != port->links.end() && recv((*open)->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
            invalidateLocked(port);
            alive = false;
        }
    }
    if (alive) return port;
    CFRelease(port);
    return nullptr;
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

/// The send phase, as Mach's: the request is queued whole, with a place in the
/// port's queue, or not at all; a full queue or a full socket blocks the calling
/// thread, running nothing, up to `deadline`, with the port's lock let go meanwhile.
/// On success the request is outstanding on `link` as `pending` (null: nobody waits).
/// Any thread, holding the port's lock; calls out to nothing.
SInt32 queueRequest(CFMessagePortRef remote, Link& link, std::unique_lock<std::mutex>& hold, SInt32 msgid,
                    CFDataRef data, double deadline, Pending* pending) {
    size_t length = data ? size_t(CFDataGetLength(data)) : 0;
    const UInt8* bytes = data ? CFDataGetBytePtr(data) : nullptr;
    int body = length > kInlineLimit ? sealedCopy(bytes, length) : -1;
    if (length > kInlineLimit && body < 0) return kCFMessagePortTransportError;
    struct Closing {
        int fd;
        ~Closing() {
            if (fd >= 0) close(fd);
        }
    } bodyHeld{body};
    for (;;) {
        if (!remote->valid) return kCFMessagePortIsInvalid;  // while the lock was let go
        Closing slot{-1};
        // With requests outstanding the receiver has not shown that it reads this one.
        if (!(link.credit && link.outstanding.empty() && link.fd >= 0)) {
            Slot got = takeSlot(remote->key, slot.fd);
            if (got == Slot::failed) return kCFMessagePortTransportError;
            if (got == Slot::full) {
                // Asked only now, so that a place costs one bind: the places count only
                // as far as this user holds them. Another user may bind our addresses
                // (they carry no permissions); then the request goes without a place.
                Places places;
                findHolders(remote->key, places);
                if (places.ours == kQueueLimit) {
                    // A request without a place holds no connection meanwhile, unless others wait on it.
                    if (link.outstanding.empty() && link.waits == 0) closeLink(link, Pending::kGone);
                    if (now() >= deadline) return kCFMessagePortSendTimeout;
                    hold.unlock();
                    waitForPlace(places, deadline);
                    hold.lock();
                    continue;
                }
            }
        }
        // A port that could not connect when it was looked up (its listener had no
        // room, or this process no descriptor), or this thread's first request, connects now.
        if (link.fd < 0) {
            int fd = -1;
            hold.unlock();
            Reach reach = connectTo(remote->key, fd, deadline);
            hold.lock();
            if (reach == kNoSuchPort) {
                invalidateLocked(remote);
                return kCFMessagePortIsInvalid;
            }
            if (reach == kOwnFailure) return kCFMessagePortTransportError;
            if (reach == kNoRoom) return kCFMessagePortSendTimeout;
            if (!remote->valid) {
                close(fd);
                return kCFMessagePortIsInvalid;
            }
            link.fd = fd;
        }
        int err = sendFrame(link.fd, msgid, bytes, length, body, slot.fd);
        if (err == 0) {
            link.credit = false;
            link.outstanding.push_back(pending);
            return kCFMessagePortSuccess;
        }
        if (err == EAGAIN || err == EWOULDBLOCK) {
            if (now() >= deadline) return kCFMessagePortSendTimeout;
            pollfd room{link.fd, POLLOUT, 0};
            int ms = std::isinf(deadline) ? -1 : int(std::ceil((deadline - now()) * 1000));
            hold.unlock();
            while (poll(&room, 1, ms) < 0 && errno == EINTR) {
            }
            hold.lock();
            continue;
        }
        if (err == EPROTO) {
            closeLink(link, Pending::kGarbage);
            return kCFMessagePortTransportError;
        }
        // Refused: the peer is gone. A hang-up with no unread reply before it means
        // the port was already invalid. (Asked only now, so that a request to a live
        // peer costs no extra call.) The replies it sent before it went are still
        // taken by the requests that wait for them.
        char probe;
        ssize_t peeked = recv(link.fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        bool hungUp = peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        if (!hungUp) readReplies(remote, link, true);
        invalidateLocked(remote);
        return hungUp ? kCFMessagePortIsInvalid : kCFMessagePortBecameInvalidError;
    }
}

/// The reply phase, as CoreFoundation's: runs the calling thread's loop until the
/// reply, the deadline (counted from the queueing, which just happened) or the
/// port's end, looking only when a run returns. Replies that come meanwhile for other
/// waits of this thread (an enclosing one) are kept for them. Any thread, on its own
/// loop, holding the port's lock (let go while the loop runs); calls out to whatever
/// that loop serves meanwhile, this port's own callouts included.
SInt32 awaitReply(CFMessagePortRef remote, Link& link, std::unique_lock<std::mutex>& hold, Pending& pending,
                  CFTimeInterval rcvTimeout, CFDataRef* returnData) {
    CFRunLoopRef rl = CFRunLoopGetCurrent();
    double replyDeadline = deadlineAfter(rcvTimeout, kRunForever);
    ++link.waits;
    if (!link.replyWatch) {
        // The watch finds the link, not this wait: an enclosing wait may outlive this one.
        // Kept on the main loop while nobody waits, until it reports something: a late
        // reply or a hang-up is then left for the next request, which watches again.
        Link* watched = &link;
        link.watchLoop = rl;
        link.replyWatch = watch(rl, link.fd, EPOLLIN, [remote, watched, rl](uint32_t) {
            std::lock_guard<std::mutex> held(remote->lock);
            if (watched->waits > 0) {
                readReplies(remote, *watched);
            } else if (watched->replyWatch) {
                unwatch(rl, watched->replyWatch);
                watched->replyWatch = 0;
            }
        });
    }
    hold.unlock();
    await(
        rl,
        [&] {
            std::lock_guard<std::mutex> held(remote->lock);
            return pending.state != Pending::kWaiting || !remote->valid;
        },
        replyDeadline);
    hold.lock();
    if (--link.waits == 0 && rl != CFRunLoopGetMain() && link.replyWatch && link.watchLoop == rl) {
        unwatch(rl, link.replyWatch);
        link.replyWatch = 0;
    }
    switch (pending.state) {
        case Pending::kReplied:
            // A caller without a slot for the reply still waits for it, as on macOS.
            if (returnData) {
                *returnData = pending.answer;
            } else if (pending.answer) {
                CFRelease(pending.answer);
            }
            return kCFMessagePortSuccess;
        case Pending::kBodyLost:
            // The receiver had no descriptor for the body: nothing reached its callout.
            if (pending.answer) CFRelease(pending.answer);
            return kCFMessagePortTransportError;
        case Pending::kGone:
            return kCFMessagePortBecameInvalidError;
        case Pending::kGarbage:
            return kCFMessagePortTransportError;
        case Pending::kWaiting:
            break;
    }
    // A late answer must not pass for another request's: it is dropped when it comes.
    std::replace(link.outstanding.begin(), link.outstanding.end(), &pending, static_cast<Pending*>(nullptr));
    return remote->valid ? kCFMessagePortReceiveTimeout : kCFMessagePortBecameInvalidError;
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

// Any thread; calls out to nothing.
CFMessagePortRef CFMessagePortCreateRemote(CFAllocatorRef, CFStringRef name) {
    if (!name) return nullptr;
    std::string key = cfl::cutName(cfl::text(name));
    if (CFMessagePortRef existing = cfl::existingRemote(key)) return existing;
    int fd = -1;
    cfl::Reach reach = cfl::connectTo(key, fd);
    // A listener with a full backlog cannot be asked who owns it. This process's
    // own ports need no asking; anyone else's owner is read from the kernel, so
    // that a live port of ours is found however full, and another user's port
    // under the name is never taken for ours (nor, where the kernel cannot say, a
    // full one of ours found). The request connects once the listener has room.
    if (reach == cfl::kNoRoom && !cfl::isOwnName(key) && cfl::listenerOwner(key) != cfl::Owner::ours)
        reach = cfl::kNoSuchPort;
    // A socket this process could not make says nothing about the name; the
    // request tries again and reports a transport error if it fails too.
    if (reach == cfl::kNoSuchPort) return nullptr;
    auto* port = new __CFMessagePort;
    port->remote = true;
    port->key = key;
    port->name = cfl::makeString(key);
    port->links.push_back(std::make_unique<cfl::Link>());
    port->links.back()->thread = &cfl::tThread;
    port->links.back()->fd = fd;
    CFMessagePortRef kept = nullptr;
    {
        // Another thread may have made one meanwhile: theirs is kept, as in CoreFoundation.
        std::lock_guard<std::mutex> hold(cfl::gRemoteLock);
        auto it = cfl::gRemotePorts.find(key);
        if (it != cfl::gRemotePorts.end() && it->second->valid && cfl::retainUnlessFreed(it->second)) {
            kept = it->second;
        } else {
            cfl::gRemotePorts[key] = port;
        }
    }
    if (!kept) return port;
    CFRelease(port);  // outside the lock: its end takes the lock to leave the registry
    return kept;
}

Boolean CFMessagePortIsRemote(CFMessagePortRef ms) { return ms->remote; }

CFStringRef CFMessagePortGetName(CFMessagePortRef ms) { return ms->name; }

Boolean CFMessagePortIsValid(CFMessagePortRef ms) { return ms->valid; }

// Any thread for a remote port (its waits end, on every thread); a local port's own thread.
void CFMessagePortInvalidate(CFMessagePortRef ms) {
    if (ms->remote) {
        cfl::invalidateRemote(ms);
        return;
    }
    if (!ms->valid && ms->listenFd < 0) return;
    ms->valid = false;
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

// Any thread; the reply wait runs the calling thread's loop and calls out to what it serves.
SInt32 CFMessagePortSendRequest(CFMessagePortRef remote, SInt32 msgid, CFDataRef data, CFTimeInterval sendTimeout,
                                CFTimeInterval rcvTimeout, CFStringRef replyMode, CFDataRef* returnData) {
    if (returnData) *returnData = nullptr;
    if (!remote || !remote->remote || !remote->valid) return kCFMessagePortIsInvalid;
    CFIndex length = data ? CFDataGetLength(data) : 0;
    if (uint64_t(length) > cfl::kMaxFrame) return kCFMessagePortTransportError;

    // Below a millisecond the send gets one try; from ten days on it has no time-out.
    double sendDeadline = sendTimeout < 0.001 ? cfl::now() : cfl::deadlineAfter(sendTimeout, cfl::kSendForever);
    CFRetain(remote);  // an invalidation during the wait must not free it under us, as in CoreFoundation
    cfl::Pending pending;
    std::unique_lock<std::mutex> hold(remote->lock);
    cfl::Link& link = cfl::linkFor(remote);
    // One-way: the receiver answers anyway, and that answer is dropped when it comes.
    SInt32 status = cfl::queueRequest(remote, link, hold, msgid, data, sendDeadline, replyMode ? &pending : nullptr);
    if (status == kCFMessagePortSuccess && replyMode)
        status = cfl::awaitReply(remote, link, hold, pending, rcvTimeout, returnData);
    hold.unlock();
    CFRelease(remote);
    return status;
}

}  // extern "C"
