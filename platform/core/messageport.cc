// Message ports between processes of one user: one abstract Unix-domain
// stream socket per local port, framed requests and replies (docs/wire-format.md).
//
// Abstract names vanish with the process that bound them, however it ends, so
// nothing is left to clean up. Peers are checked with SO_PEERCRED both ways.
//
// This part is the C interface and the two registries, of local ports by name and of remote
// ports by name. The rest is in parts of one job each, declared in messageport_internal.h:
// frames (messageport_frames.cc), names and places (messageport_names.cc), the descriptor
// reserve (messageport_reserve.cc), the receiver (messageport_receiver.cc) and the sender
// (messageport_sender.cc).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "cfinternal.h"
#include "messageport_internal.h"
#include "runloop.h"

namespace cfl {
namespace {

/// Send time-outs from this many seconds on mean no time-out at all, as in CoreFoundation.
constexpr double kSendForever = 10.0 * 86400;

/// Local ports of this process by name: a second registration of a name gets the first port.
std::mutex gLocalLock;
std::unordered_map<std::string, CFMessagePortRef> gLocalPorts;

bool isOwnName(const std::string& key) {
    std::lock_guard<std::mutex> hold(gLocalLock);
    return gLocalPorts.count(key) > 0;
}

/// A new reference to `port` unless its last one is being released (its destructor then
/// takes it out of its registry as soon as it gets the lock the caller holds). The count
/// is pinned first, so the port cannot go between the look and CFRetain. Any thread,
/// holding the lock of the registry that lists the port; calls out to nothing.
bool retainUnlessFreed(CFMessagePortRef port) {
    long n = port->refs.load(std::memory_order_relaxed);
    do {
        if (n == 0) return false;
    } while (!port->refs.compare_exchange_weak(n, n + 1, std::memory_order_acquire));
    CFRetain(port);  // the caller's, counted as every reference is
    port->refs.fetch_sub(1, std::memory_order_relaxed);
    return true;
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

}  // namespace

/// Remote ports by name: a look-up of a name whose port is still valid gets that port,
/// as CoreFoundation's __CFAllRemoteMessagePorts gives it. A port is here until it is
/// invalidated or freed; the entry holds no reference. Lock order: a port's lock, then this one.
std::mutex gRemoteLock;
std::unordered_map<std::string, CFMessagePortRef> gRemotePorts;

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
        for (;;) {
            // A name this process holds already: that port again, with one more reference. One
            // whose last reference is going is never handed out: its end lets the name go in a
            // moment (the entry and the listener together), and the name is registered afresh.
            std::unique_lock<std::mutex> hold(cfl::gLocalLock);
            auto it = cfl::gLocalPorts.find(key);
            if (it == cfl::gLocalPorts.end()) break;
            CFMessagePortRef existing = it->second;
            bool going = existing->refs.load() == 0;
            if (!going && !existing->valid) return nullptr;
            if (!going && cfl::retainUnlessFreed(existing)) return existing;
            hold.unlock();
            std::this_thread::yield();
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
    if (ms->source && ms->source->scheduledOn) CFRunLoopSourceInvalidate(ms->source);
    cfl::unschedule(ms);  // the listener's watch goes before its descriptor
    {
        // The name leaves the table as its address comes free: whoever waits for it binds at once.
        std::lock_guard<std::mutex> hold(cfl::gLocalLock);
        auto it = cfl::gLocalPorts.find(ms->key);
        if (ms->name && it != cfl::gLocalPorts.end() && it->second == ms) cfl::gLocalPorts.erase(it);
        if (ms->listenFd >= 0) close(ms->listenFd);
        ms->listenFd = -1;
    }
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
