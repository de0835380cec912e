// The sender: a request queued on a remote port and the wait for its reply, from any thread.
// A port's links and the requests outstanding on them are touched only under the port's lock.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>

#include "messageport_internal.h"
#include "runloop.h"

namespace cfl {
namespace {

/// A descriptor that is never watched, copied over a link's number when its connection ends
/// before its reply watch can go: the connection closes at once, and the number stays taken
/// until the watch is removed, so no watch is ever removed by a number that another descriptor
/// carries by then. Any thread.
int standIn() {
    static const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return fd;
}

/// Ends a link's reply watch and closes `fd`, the descriptor it watches: both now on the calling
/// thread's own loop (or with no watch), or by a block on the main loop; a wait in progress on
/// another thread's loop removes its own when it ends and closes the descriptor then. Where the
/// watch goes later, the connection closes now and a stand-in keeps its number. Any thread,
/// holding the port's lock; calls out to nothing.
void closeWatched(Link& link, int fd) {
    CFRunLoopRef main = CFRunLoopGetMain();
    if (!link.replyWatch || CFRunLoopGetCurrent() == link.watchLoop) {
        if (link.replyWatch) unwatch(link.watchLoop, link.replyWatch);
        link.replyWatch = 0;
        close(fd);
        return;
    }
    if (dup2(standIn(), fd) < 0) {
        close(fd);  // no stand-in: the number may go to another descriptor, as it once always did
        fd = -1;
    }
    if (link.watchLoop == main) {
        CFRunLoopPerformBlock(main, kCFRunLoopDefaultMode, [main, id = link.replyWatch, fd] {
            unwatch(main, id);
            if (fd >= 0) close(fd);
        });
        CFRunLoopWakeUp(main);
        link.replyWatch = 0;
    } else {
        link.watchFd = fd;
    }
}

/// Ends a link's connection: every request still waiting there settles as `why`, and
/// the next request connects afresh. Any thread, holding the port's lock; calls out to nothing.
void closeLink(Link& link, Pending::State why) {
    for (Pending* p : link.outstanding)
        if (p && p->state == Pending::kWaiting) p->state = why;
    link.outstanding.clear();
    if (link.fd >= 0) closeWatched(link, link.fd);
    link.fd = -1;
    keepSpare();
    link.credit = false;
    link.reply = {};
}

/// Reads the replies that came on `link`, each for the oldest request outstanding: up to
/// the first one that somebody waits for (whose wait may then end), or all of them with
/// `drain`. Settles what it read; the receiver gone invalidates the port, a garbage frame
/// ends the link, and so does the word that the receiver turned the connection away, which
/// it returns true for. The link's thread, holding the port's lock; calls out to nothing.
bool readReplies(CFMessagePortRef port, Link& link, bool drain = false) {
    size_t budget = kReadBudget;
    for (;;) {
        switch (link.reply.step(link.fd, kReplyMagic, budget)) {
            case FrameReader::kFrame: {
                if (link.outstanding.empty()) {  // a reply to nothing the receiver was asked
                    closeLink(link, Pending::kGarbage);
                    return false;
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
                return false;
            }
            case FrameReader::kMore:
                if (budget == 0) return false;  // the loop brings us back; other sources get their turn
                continue;
            case FrameReader::kWouldBlock:
                return false;
            case FrameReader::kTurnedAway:
                // Nothing it has not answered reached its callout; the port itself lives on.
                closeLink(link, Pending::kTurnedAway);
                return true;
            case FrameReader::kGarbage:
                closeLink(link, Pending::kGarbage);
                return false;
            default:
                invalidateLocked(port);
                return false;
        }
    }
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

}  // namespace

constinit thread_local const char tThread = 0;

Link& linkFor(CFMessagePortRef port) {
    for (auto& link : port->links)
        if (link->thread == &tThread) return *link;
    port->links.push_back(std::make_unique<Link>());
    port->links.back()->thread = &tThread;
    return *port->links.back();
}

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

double deadlineAfter(CFTimeInterval t, double forever) {
    if (!(t > 0)) return now();
    if (t >= forever) return INFINITY;
    return now() + t;
}

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
    // What was learned of the places' holders, kept across tries: each is connected to once at most.
    Places places;
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
                // Only a request that waits watches the places; a try makes no connection.
                bool waits = now() < deadline;
                findHolders(remote->key, places, waits);
                if (places.ours == kQueueLimit) {
                    if (!waits) return kCFMessagePortSendTimeout;
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
        if (!hungUp && readReplies(remote, link, true)) return kCFMessagePortTransportError;
        invalidateLocked(remote);
        return hungUp ? kCFMessagePortIsInvalid : kCFMessagePortBecameInvalidError;
    }
}

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
        if (link.watchFd >= 0) close(link.watchFd);  // the stand-in of a connection another thread ended
        link.watchFd = -1;
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
        case Pending::kTurnedAway:
            // The receiver, short of descriptors, took none of this connection's unanswered requests.
            return kCFMessagePortTransportError;
        case Pending::kWaiting:
            break;
    }
    // A late answer must not pass for another request's: it is dropped when it comes.
    std::replace(link.outstanding.begin(), link.outstanding.end(), &pending, static_cast<Pending*>(nullptr));
    return remote->valid ? kCFMessagePortReceiveTimeout : kCFMessagePortBecameInvalidError;
}

}  // namespace cfl
