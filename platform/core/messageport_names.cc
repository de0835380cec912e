// Names and places: a port name's cut and its socket address, the user check, connecting to a
// port, the kernel's word on who holds an address, and the places of a port's queue. Any thread;
// calls out to nothing.
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "messageport_internal.h"
#include "runloop.h"

namespace cfl {
namespace {

/// Longest name kept whole; longer names are cut, as the bootstrap service does on macOS.
constexpr size_t kMaxNameBytes = 128;

uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
}

bool sameUser(int fd) {
    ucred cred{};
    socklen_t len = sizeof cred;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == effectiveUid();
}

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

/// A new stream socket; when the process has no descriptor left, the spare one
/// goes to it (and is taken back once a connection closes).
int newSocket(int flags) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE) && giveUpSpare()) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    }
    return fd;
}

/// Socket states for readHolders: listeners only, or every socket.
constexpr uint32_t kListenState = 10;  // TCP_LISTEN
constexpr uint32_t kListeners = 1u << kListenState;
constexpr uint32_t kAnyState = ~0u;

/// The abstract address of `addr` (`len` bytes of sockaddr_un) as the kernel's socket table
/// names it: its leading NUL included.
std::string tableName(const sockaddr_un& addr, socklen_t len) {
    return std::string(addr.sun_path, len - offsetof(sockaddr_un, sun_path));
}

/// Who holds each of `count` abstract addresses, from one dump of the kernel's socket table
/// (sock_diag, with owners from Linux 5.3 on), among the sockets in `states`; false when the
/// kernel does not answer. The connections that a listener accepted, or has yet to accept
/// (those with uid 0), carry its name as well, so a listener answers for its name; otherwise
/// any socket of another user that carries it makes it theirs (one bound, then connected). An
/// address no socket carries is held by `nobody`, one whose sockets come without an owner (a
/// kernel that does not report them) by `unknown`. Lists every Unix socket in those states:
/// asked only where nothing cheaper answers. Any thread; calls out to nothing.
bool readHolders(const std::string* names, int count, uint32_t states, Holder* out) {
    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return false;
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
    struct Seen {
        Owner listener = Owner::nobody, others = Owner::nobody;
        bool silent = false;
    };
    std::vector<Seen> seen(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        out[i] = Holder{};
    bool answered = false;
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
            int which = -1;
            const uint32_t* uid = nullptr;
            for (auto* a = reinterpret_cast<rtattr*>(msg + 1); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
                if (a->rta_type == UNIX_DIAG_NAME) {
                    for (int i = 0; i < count && which < 0; ++i)
                        if (RTA_PAYLOAD(a) == names[i].size() &&
                            std::memcmp(RTA_DATA(a), names[i].data(), names[i].size()) == 0)
                            which = i;
                }
                if (a->rta_type == UNIX_DIAG_UID && RTA_PAYLOAD(a) >= sizeof(uint32_t))
                    uid = static_cast<const uint32_t*>(RTA_DATA(a));
            }
            if (which < 0) continue;
            Seen& at = seen[size_t(which)];
            if (!uid) {
                at.silent = true;  // a kernel that does not report owners
                continue;
            }
            Owner owner = *uid == effectiveUid() ? Owner::ours : Owner::notOurs;
            if (msg->udiag_state == kListenState) {
                at.listener = owner;
                out[which].listener = msg->udiag_ino;
            } else if (at.others != Owner::notOurs) {
                at.others = owner;
            }
        }
    }
    close(nl);
    if (!answered) return false;
    for (int i = 0; i < count; ++i) {
        const Seen& at = seen[size_t(i)];
        out[i].owner = at.listener != Owner::nobody ? at.listener : at.silent ? Owner::unknown : at.others;
        if (at.listener != Owner::ours) out[i].listener = 0;
    }
    return true;
}

/// Connects to the listening place `addr`, without waiting: the connection is reset when its
/// holder lets the place go. -1 when it cannot be made or its listener is not of this user after all.
int watchPlace(const sockaddr_un& addr, socklen_t len) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0 && sameUser(fd)) return fd;
    close(fd);
    return -1;
}

}  // namespace

std::string cutName(const std::string& name) {
    if (name.size() <= kMaxNameBytes) return name;
    size_t end = kMaxNameBytes;
    while (end > 0 && (UInt8(name[end]) & 0xC0) == 0x80)
        --end;
    return name.substr(0, end);
}

uid_t effectiveUid() {
    static const uid_t uid = geteuid();
    return uid;
}

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

Reach connectTo(const std::string& key, int& fdOut, double deadline) {
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

Owner listenerOwner(const std::string& key) {
    sockaddr_un addr;
    std::string name = tableName(addr, addressFor(key, addr));
    Holder holder;
    return readHolders(&name, 1, kListeners, &holder) ? holder.owner : Owner::unknown;
}

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

void findHolders(const std::string& key, Places& places, bool mayWatch) {
    sockaddr_un addrs[kQueueLimit];
    socklen_t lens[kQueueLimit];
    std::string names[kQueueLimit];
    for (int k = 0; k < kQueueLimit; ++k) {
        lens[k] = slotAddress(key, k, addrs[k]);
        names[k] = tableName(addrs[k], lens[k]);
    }
    Holder holders[kQueueLimit];
    places.ours = 0;
    if (!readHolders(names, kQueueLimit, kAnyState, holders)) return;
    for (const Holder& h : holders)
        if (h.owner == Owner::ours) ++places.ours;
    if (places.ours < kQueueLimit || !mayWatch) return;
    for (int k = 0; k < kQueueLimit; ++k) {
        // A holder is connected to once a request: one that went has a new socket in its place.
        if (holders[k].listener == places.asked[k]) continue;
        if (places.watched[k].fd >= 0) close(places.watched[k].fd);
        places.watched[k].fd = -1;
        places.asked[k] = holders[k].listener;
        if (holders[k].listener) places.watched[k].fd = watchPlace(addrs[k], lens[k]);
    }
}

void waitForPlace(Places& places, double deadline) {
    int ms = std::isinf(deadline) ? -1 : int(std::ceil(std::max(0.0, deadline - now()) * 1000));
    bool unwatched =
        std::any_of(std::begin(places.watched), std::end(places.watched), [](const pollfd& w) { return w.fd < 0; });
    if (unwatched && (ms < 0 || ms > 10)) ms = 10;
    while (poll(places.watched, nfds_t(kQueueLimit), ms) < 0 && errno == EINTR) {
    }
    // A connection that reported has said all it will: its holder is gone, or going.
    for (pollfd& w : places.watched) {
        if (w.fd >= 0 && w.revents) {
            close(w.fd);
            w.fd = -1;
        }
    }
}

}  // namespace cfl
