// What the message port's parts share: the port itself, a local port's connections, a remote
// port's links and the requests outstanding on them, and each part's functions that another
// part calls. Every field says whose it is and which thread may touch it; the parts rely on it.
//
//   messageport_frames.cc    the wire: frame headers, FrameReader, sends, out-of-line bodies
//   messageport_names.cc     names, addresses, the user check, connecting, the queue's places
//   messageport_reserve.cc   descriptors kept for the process's own requests
//   messageport_receiver.cc  a local port's peers, on the port's own thread
//   messageport_sender.cc    a request and its reply wait, from any thread
//   messageport.cc           the C interface and the registries of local and remote ports
#pragma once

#include <poll.h>
#include <sys/epoll.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "cfinternal.h"
#include "messageport_frames.h"

// Shared by the parts only: hidden, so that the library exports what it always did.
#pragma GCC visibility push(hidden)

namespace cfl {

/// Requests a port holds that its run loop has not taken: Mach's default queue limit.
constexpr int kQueueLimit = 5;
/// A connection yields the run loop after this much input so other peers get their turn.
constexpr size_t kReadBudget = 1 << 22;

/// One peer connected to a local port. The port's `connections` owns it, and only the thread
/// whose run loop serves the port touches it ("the loop's thread" below).
struct Connection {
    /// The loop's thread; closed with the connection.
    int fd = -1;
    /// The loop's thread: its watch on the port's loop, while it is not parked.
    uint64_t watchId = 0;
    /// The loop's thread: the request coming in.
    FrameReader in;
    /// The loop's thread: the reply going out, and how far it went.
    std::string outHead;
    /// The loop's thread: the reply's body, owned until sent or dropped.
    CFDataRef outBody = nullptr;
    /// The loop's thread.
    size_t outHeadOff = 0, outBodyOff = 0;
    /// The loop's thread: set once, when the port lets the peer go.
    bool closed = false;
    /// The loop's thread: what its watch waits for.
    uint32_t events = EPOLLIN;
    /// The loop's thread. Inside the port's callout, which may run the loop again.
    bool busy = false;
    /// The loop's thread. Taken off the loop because it reported while busy; put back after the callout.
    bool parked = false;
    /// The loop's thread. A request of this connection reached the callout.
    bool delivered = false;
    /// Set when accepted, then read-only. The process that connected: when it is this one, its
    /// descriptors are the reserve's to use.
    pid_t pid = 0;
    /// Set when accepted, then read-only: what the port's loop calls when the peer reports.
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

/// One request whose reply its sender waits for, as that sender sees it. It lives on the sending
/// thread's stack, listed in its link's `outstanding` while it waits.
struct Pending {
    /// Under the port's lock: settled by whichever thread reads the reply or ends the link, read
    /// by the sender.
    enum State { kWaiting, kReplied, kBodyLost, kGone, kGarbage, kTurnedAway } state = kWaiting;
    /// Under the port's lock until settled, then the sender's: the reply's data, owned.
    CFDataRef answer = nullptr;
};

/// One thread's connection to a remote port. A receiver answers the requests of a
/// connection one at a time, in order, so the replies come in the order the requests
/// went: each is matched to the oldest one outstanding. Requests of other threads go on
/// connections of their own, so that no thread reads a reply that another one waits for.
/// The port's `links` owns it; every field is under the port's lock.
struct Link {
    /// Set when made, then read-only. The thread whose requests go here.
    const void* thread = nullptr;
    /// Under the port's lock; -1 when closed, until the link's thread connects again.
    int fd = -1;
    /// Under the port's lock: read by the link's thread (directly or from its reply watch),
    /// reset by whichever thread ends the link.
    FrameReader reply;
    /// Under the port's lock. Requests sent here and not answered yet, oldest first; null where
    /// nobody waits for the reply any more (a one-way request, a wait that timed out): that
    /// reply is dropped.
    std::deque<Pending*> outstanding;
    /// Under the port's lock. The receiver answered a request of this connection, so it reads:
    /// once nothing is outstanding, the next request goes without a queue slot, which would cost
    /// it four system calls.
    bool credit = false;
    /// Under the port's lock, changed by the link's thread. Waits of this thread in progress
    /// here, one inside the other.
    int waits = 0;
    /// Under the port's lock. Watch for replies on `watchLoop`. On the main loop it is kept from
    /// one request to the next: the two system calls that add and remove it would cost a request
    /// more than its send.
    uint64_t replyWatch = 0;
    /// Under the port's lock: the loop of the link's thread that holds `replyWatch`.
    CFRunLoopRef watchLoop = nullptr;
    /// Under the port's lock. The stand-in number of a connection that another thread ended while
    /// a wait of the link's thread (not the main thread) watched it: closed when that watch goes.
    int watchFd = -1;
};

}  // namespace cfl

#pragma GCC visibility pop

// Its vtable and type information are exported, as they always were; the connections and links it
// holds are hidden parts of the library, which is what GCC's note on the fields says.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
struct __CFMessagePort : cfl::Object {
    __CFMessagePort() : Object(cfl::typeMessagePort) {}
    ~__CFMessagePort() override;

    /// Set when made, then read-only: any thread.
    bool remote = false;
    /// Read by any thread: a remote port is shared by every thread that looks its name up.
    /// Cleared by CFMessagePortInvalidate: on a local port's own thread, or under a remote port's lock.
    std::atomic<bool> valid{true};
    /// Set when made, then read-only: any thread.
    CFStringRef name = nullptr;
    /// Set when made, then read-only: any thread. The name as cut, the registries' key.
    std::string key;

    // Local side: the port's own thread, the one whose run loop serves it.
    /// Set when made; closed by CFMessagePortInvalidate; read by the receiver.
    int listenFd = -1;
    /// Set when made, then read-only; called on the port's own thread.
    CFMessagePortCallBack callout = nullptr;
    /// Set when made; its info let go by CFMessagePortInvalidate.
    CFMessagePortContext context{};
    /// Made once by CFMessagePortCreateRunLoopSource; let go when the port is freed.
    CFRunLoopSourceRef source = nullptr;
    /// Set and cleared as the source is added to and removed from a loop: the loop that serves it.
    CFRunLoopRef loop = nullptr;
    /// The listener's watch on `loop`.
    uint64_t listenWatch = 0;
    /// Peers connected now; the receiver's alone.
    std::unordered_map<cfl::Connection*, std::shared_ptr<cfl::Connection>> connections;

    // Remote side.
    /// Guards `links` and all they hold; never held while a run loop runs or a send blocks.
    std::mutex lock;
    /// Under `lock`. One per thread that sent on this port; a link is closed, never removed,
    /// while the port lives.
    std::vector<std::unique_ptr<cfl::Link>> links;
};
#pragma GCC diagnostic pop

#pragma GCC visibility push(hidden)

namespace cfl {

// ---- Names and places (messageport_names.cc) ----

/// Cuts a name at a character boundary no later than kMaxNameBytes.
std::string cutName(const std::string& name);

/// The effective uid, asked once: every lookup needs it twice, and a system call
/// each time would double the cost of a lookup beyond its socket calls.
uid_t effectiveUid();

/// Outcomes of connectTo.
enum Reach { kConnected, kNoRoom, kNoSuchPort, kOwnFailure };

/// Connects to a live port of this user: kNoRoom when a listener exists but its
/// backlog is full (so its owner cannot be checked), kOwnFailure when this
/// process could not make a socket, which says nothing about the name. A
/// deadline ahead waits in the kernel for room in the backlog, running nothing.
Reach connectTo(const std::string& key, int& fdOut, double deadline = 0);

enum class Owner { ours, notOurs, unknown, nobody };

/// What the kernel's socket table says of one address.
struct Holder {
    Owner owner = Owner::nobody;
    /// The inode of the socket of this user that listens there; 0 when none does.
    uint32_t listener = 0;
};

/// Who owns the listener at `key`'s address, for a listener that has no room to be
/// asked by connecting. Any thread; calls out to nothing.
Owner listenerOwner(const std::string& key);

/// Outcomes of taking a place in a port's queue.
enum class Slot { taken, full, failed };

/// Takes one of the port's kQueueLimit places by binding its address: the kernel
/// keeps it held for as long as the slot socket lives, which is in flight with the
/// request until the receiver reads it. The slot listens so that a sender waiting
/// for a place learns from the kernel when it goes.
Slot takeSlot(const std::string& key, int& slotOut);

/// What a sender that found all of a port's places bound learns of their holders, kept for the
/// whole of its request. On the sending thread's stack, its thread's alone.
struct Places {
    /// Per place: a connection to its holder, which the kernel resets when the holder lets the
    /// place go; fd -1 where there is none.
    pollfd watched[kQueueLimit];
    /// Per place: the listener last connected to (its inode), so that no holder is connected to twice.
    uint32_t asked[kQueueLimit] = {};
    /// Places held by this user, the receiver's: only these count as taken.
    int ours = 0;
    Places() {
        for (pollfd& w : watched)
            w = {-1, POLLIN, 0};
    }
    Places(const Places&) = delete;
    Places& operator=(const Places&) = delete;
    ~Places() {
        for (pollfd& w : watched)
            if (w.fd >= 0) close(w.fd);
    }
};

/// Finds who holds each of the port's places, once all of them were found bound, in one look at
/// the kernel's socket table: no place is connected to just to learn its owner. A place of
/// another user, one let go meanwhile, or one whose holder the kernel cannot tell is not
/// counted: one is enough to send without a place. With `mayWatch` (the request will wait),
/// and all five ours, each place that listens is connected to, once per holder for as long as
/// `places` lives, so that the kernel tells when it goes; never a socket of another user. Any
/// thread; calls out to nothing.
void findHolders(const std::string& key, Places& places, bool mayWatch);

/// Blocks until one of the port's places, all of them ours, may have come free or the
/// deadline passes. A place that cannot be watched (it does not listen, its holder was asked
/// already, or this process had no descriptor) is looked at again after 10 ms at most. Any
/// thread; calls out to nothing.
void waitForPlace(Places& places, double deadline);

// ---- The descriptor reserve (messageport_reserve.cc) ----

/// Whether the process, holding the peer's descriptor `newest` (just accepted or
/// received), has fewer than kReservedDescriptors left for its own lookups and sends.
/// The kernel hands out the lowest free number, so every number below `newest` is in
/// use: when that alone takes the reserve, nothing is counted; otherwise the open
/// descriptors are counted, since closed ones below may leave holes that a number
/// cannot show. Any thread; calls out to nothing.
bool inReserve(int newest);

/// Frees the spare descriptor's number for a moment's use; false when it is spent.
/// Any thread; calls out to nothing.
bool giveUpSpare();

/// Takes the spare descriptor back once a number is free again. Any thread; calls out to nothing.
void keepSpare();

// ---- The receiver (messageport_receiver.cc) ----

/// Puts a local port's listener on `rl`, the loop that serves it from then on. The thread that
/// adds the port's source to `rl`; calls out to nothing.
void schedule(CFMessagePortRef port, CFRunLoopRef rl);
/// Lets every peer of a local port go and takes its listener off its loop. The port's own thread;
/// calls out to nothing.
void unschedule(CFMessagePortRef port);

// ---- The sender (messageport_sender.cc) ----

/// The calling thread's mark, telling its link apart from other threads'. constinit: a part
/// that uses it then looks for no initialiser in another, which clang leaves unresolved.
extern constinit thread_local const char tThread;

/// The calling thread's link of `port`, made on its first request. Any thread, holding the port's lock.
Link& linkFor(CFMessagePortRef port);

/// Invalidates a remote port: every wait on it ends with kCFMessagePortBecameInvalidError,
/// and the next look-up of its name makes a new port. Any thread, holding the port's lock;
/// calls out to nothing.
void invalidateLocked(CFMessagePortRef port);
/// The same, taking the port's lock. Any thread; calls out to nothing.
void invalidateRemote(CFMessagePortRef port);

/// The monotonic deadline of a wait of `t` seconds: none at all for zero, negative
/// or NaN (one look), and no end beyond `forever`.
double deadlineAfter(CFTimeInterval t, double forever);

/// The send phase, as Mach's: the request is queued whole, with a place in the
/// port's queue, or not at all; a full queue or a full socket blocks the calling
/// thread, running nothing, up to `deadline`, with the port's lock let go meanwhile.
/// On success the request is outstanding on `link` as `pending` (null: nobody waits).
/// Any thread, holding the port's lock; calls out to nothing.
SInt32 queueRequest(CFMessagePortRef remote, Link& link, std::unique_lock<std::mutex>& hold, SInt32 msgid,
                    CFDataRef data, double deadline, Pending* pending);

/// The reply phase, as CoreFoundation's: runs the calling thread's loop until the
/// reply, the deadline (counted from the queueing, which just happened) or the
/// port's end, looking only when a run returns. Replies that come meanwhile for other
/// waits of this thread (an enclosing one) are kept for them. Any thread, on its own
/// loop, holding the port's lock (let go while the loop runs); calls out to whatever
/// that loop serves meanwhile, this port's own callouts included.
SInt32 awaitReply(CFMessagePortRef remote, Link& link, std::unique_lock<std::mutex>& hold, Pending& pending,
                  CFTimeInterval rcvTimeout, CFDataRef* returnData);

// ---- The registry of remote ports (messageport.cc) ----

/// Guards gRemotePorts. Lock order: a port's lock, then this one.
extern std::mutex gRemoteLock;
/// Remote ports by name, each valid port of a name until it is invalidated or freed; under gRemoteLock.
extern std::unordered_map<std::string, CFMessagePortRef> gRemotePorts;

}  // namespace cfl

#pragma GCC visibility pop
