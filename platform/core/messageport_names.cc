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
    socklen_t len = addressFor(key, addr);
    return addressOwner(addr.sun_path, len - offsetof(sockaddr_un, sun_path), kListeners);
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

void waitForPlace(Places& places, double deadline) {
    int ms = std::isinf(deadline) ? -1 : int(std::ceil(std::max(0.0, deadline - now()) * 1000));
    if (places.count < kQueueLimit && (ms < 0 || ms > 10)) ms = 10;
    while (poll(places.watched, nfds_t(places.count), ms) < 0 && errno == EINTR) {
    }
}

}  // namespace cfl
