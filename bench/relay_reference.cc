// The reference for the relay that does the tool's work with nothing around it: one
// port in the Linux wire format (docs/wire-format.md), served by an epoll loop that
// per request makes the four calls the tool makes, epoll_wait, recvmsg, one write of
// a "message" line to standard output and sendmsg of the empty reply. So the same peer
// drives both, and the same reader takes both outputs.
// Usage: relay_reference <port name>; writes a "ready" line once it listens, and ends at
// the end of its standard input.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "wire.h"

namespace {

constexpr size_t kHeader = 12;
/// Room for a place and a body in one read, as the wire format allows.
constexpr int kFdsPerRead = 2;

/// `bytes` in standard Base64, appended to `out`.
void appendBase64(std::string& out, const char* bytes, size_t n) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < n) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < n) v |= uint8_t(bytes[i + 2]);
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += i + 1 < n ? kAlphabet[v >> 6 & 63] : '=';
        out += i + 2 < n ? kAlphabet[v & 63] : '=';
    }
}

/// Writes one whole line to standard output, as the tool's event writer does.
bool writeLine(const std::string& line) {
    for (size_t done = 0; done < line.size();) {
        ssize_t w = write(1, line.data() + done, line.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += size_t(w);
    }
    return true;
}

/// Listens on this user's port `name` (a name short enough to stand in the address).
int listenOn(const std::string& name) {
    sockaddr_un addr;
    socklen_t len = portAddress(name, addr);
    if (len == 0) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, SOMAXCONN) != 0) return -1;
    return fd;
}

/// Takes what one recvmsg brings on `fd` into `pending`; the places that come with it are
/// let go at once. False when the peer has gone or sent what this reference does not take.
bool readSome(int fd, std::string& pending) {
    char buffer[65536];
    alignas(cmsghdr) char control[CMSG_SPACE(kFdsPerRead * sizeof(int))];
    iovec iov{buffer, sizeof buffer};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n > 0 && c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
            close(passed);
        }
    }
    if (n <= 0) return false;
    pending.append(buffer, size_t(n));
    return true;
}

/// Relays every whole request in `pending`: its line out, then its empty reply.
bool relayRequests(int fd, const std::string& name, std::string& pending) {
    size_t at = 0;
    while (pending.size() - at >= kHeader) {
        const char* head = pending.data() + at;
        if (std::memcmp(head, "CFMQ", 4) != 0) return false;  // out-of-line bodies are not this benchmark's
        size_t length = getU32(head + 8);
        if (pending.size() - at < kHeader + length) break;
        std::string line = "{\"event\":\"message\",\"port\":\"" + name +
                           "\",\"msgid\":" + std::to_string(int32_t(getU32(head + 4))) + ",\"data\":\"";
        appendBase64(line, head + kHeader, length);
        line += "\"}\n";
        if (!writeLine(line)) return false;
        char reply[kHeader] = {'C', 'F', 'M', 'R'};
        putU32(reply + 4, 0);
        putU32(reply + 8, 0);
        iovec iov{reply, sizeof reply};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        if (sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT) != ssize_t(sizeof reply)) return false;
        at += kHeader + length;
    }
    pending.erase(0, at);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: relay_reference <port name>\n");
        return 2;
    }
    std::string name = argv[1];
    int listener = listenOn(name);
    int loop = epoll_create1(EPOLL_CLOEXEC);
    if (listener < 0 || loop < 0) return 1;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = listener;
    epoll_ctl(loop, EPOLL_CTL_ADD, listener, &event);
    event.data.fd = 0;  // the end of input ends the reference
    epoll_ctl(loop, EPOLL_CTL_ADD, 0, &event);
    if (!writeLine("{\"event\":\"ready\",\"ports\":[\"" + name + "\"]}\n")) return 1;
    std::map<int, std::string> connections;
    for (;;) {
        epoll_event ready[16];
        int n = epoll_wait(loop, ready, 16, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 1;
        for (int i = 0; i < n; ++i) {
            int fd = ready[i].data.fd;
            if (fd == 0) return 0;
            if (fd == listener) {
                int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (conn < 0) continue;
                ucred cred{};
                socklen_t size = sizeof cred;
                if (getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || cred.uid != geteuid()) {
                    close(conn);
                    continue;
                }
                event.data.fd = conn;
                epoll_ctl(loop, EPOLL_CTL_ADD, conn, &event);
                connections[conn];
                continue;
            }
            std::string& pending = connections[fd];
            if (!readSome(fd, pending) || !relayRequests(fd, name, pending)) {
                close(fd);  // also takes it off the epoll set: nothing else holds it
                connections.erase(fd);
            }
        }
    }
}
