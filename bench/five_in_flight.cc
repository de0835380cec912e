// The reference for sends in bursts: a peer written from the wire format alone
// that keeps five requests in flight to one port and sends the next on each reply,
// as fast as the receiver answers. Like the tool, it connects anew for each request
// (a look-up of the name, with the listener's user checked), and it takes no place in
// the queue, as a peer may.
// Usage: five_in_flight <port name> <requests> <payload bytes>; prints the elapsed seconds.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io.h"
#include "wire.h"

namespace {

constexpr int kInFlight = 5;

/// Connects to the port `name` of this user (a name short enough to stand in the address).
int connectTo(const std::string& name) {
    sockaddr_un addr;
    socklen_t len = portAddress(name, addr);
    if (len == 0) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return -1;
    ucred cred{};
    socklen_t size = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0 || cred.uid != geteuid()) return -1;
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: five_in_flight <port name> <requests> <payload bytes>\n");
        return 2;
    }
    long count = std::atol(argv[2]);
    size_t payload = size_t(std::atol(argv[3]));
    std::vector<char> request(12 + payload, 'x');
    std::memcpy(request.data(), "CFMQ", 4);
    putU32(request.data() + 4, 1);
    putU32(request.data() + 8, uint32_t(payload));
    pollfd conns[kInFlight];
    for (auto& c : conns) {
        c = {connectTo(argv[1]), POLLIN, 0};
        if (c.fd < 0) return 1;
    }
    auto start = std::chrono::steady_clock::now();
    long sent = 0, answered = 0;
    for (auto& c : conns)
        if (sent < count && writeAll(c.fd, request.data(), request.size())) ++sent;
    while (answered < count) {
        if (poll(conns, kInFlight, -1) < 0) return 1;
        for (auto& c : conns) {
            if (!(c.revents & POLLIN)) continue;
            char reply[12];
            if (!readAll(c.fd, reply, sizeof reply) || std::memcmp(reply, "CFMR", 4) != 0 || reply[4] != 0) return 1;
            ++answered;  // the receiver replies with no data
            close(c.fd);
            c.fd = -1;
            if (sent < count) {
                c.fd = connectTo(argv[1]);
                if (c.fd < 0 || !writeAll(c.fd, request.data(), request.size())) return 1;
                ++sent;
            }
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.6f\n", seconds);
    return 0;
}
