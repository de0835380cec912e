// The receiver: a local port's peers, taken in, read, delivered to the port's callout and
// answered. All of it runs on the thread whose run loop serves the port, and nowhere else.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "messageport_internal.h"
#include "runloop.h"

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
    if (!c->closed && c->in.bodyFd >= 0 && inReserve(c->in.bodyFd) && c->pid != getpid()) {
        // Told so only where every request it delivered was answered in full: the word then
        // speaks for exactly the requests that never reached the callout.
        if (c->flushed()) {
            if (port->loop && !c->parked) unwatch(port->loop, c->watchId);
            c->closed = true;
            close(c->in.bodyFd);  // before the word: the peer may count on it once told
            c->in.bodyFd = -1;
            turnAway(c->fd);
            c->fd = -1;
            port->connections.erase(c.get());
        } else {
            closeConnection(port, c.get());
        }
    }
}

void turnAwayOnePeer(int listenFd) {
    if (!giveUpSpare()) return;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) turnAway(fd);
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
        if (!known || cred.uid != effectiveUid()) {
            close(fd);
            continue;
        }
        if (inReserve(fd) && cred.pid != getpid()) {
            turnAway(fd);
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

}  // namespace

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

}  // namespace cfl
