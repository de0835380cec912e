// The reference for the relay: two processes and a bare Unix stream socket,
// one request frame out and one empty reply frame back, blocking calls only.
// Usage: raw_pingpong <requests> <payload bytes> [<cpu> <cpu>]; prints the elapsed
// seconds. With two cpus, the requester runs on the first and the replier on the second.
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "io.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: raw_pingpong <requests> <payload bytes> [<cpu> <cpu>]\n");
        return 2;
    }
    auto pin = [&](int which) {
        if (argc != 5) return;
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(std::atoi(argv[3 + which]), &set);
        sched_setaffinity(0, sizeof set, &set);
    };
    long count = std::atol(argv[1]);
    size_t payload = size_t(std::atol(argv[2]));
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 1;
    std::vector<char> request(12 + payload, 'x'), reply(12, 0), buffer(12 + payload);
    pid_t child = fork();
    if (child == 0) {
        pin(1);
        close(fds[0]);
        for (long i = 0; i < count; ++i) {
            if (!readAll(fds[1], buffer.data(), buffer.size())) _exit(1);
            if (write(fds[1], reply.data(), reply.size()) != ssize_t(reply.size())) _exit(1);
        }
        _exit(0);
    }
    pin(0);
    close(fds[1]);
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        if (write(fds[0], request.data(), request.size()) != ssize_t(request.size())) return 1;
        if (!readAll(fds[0], reply.data(), reply.size())) return 1;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int status = 0;
    waitpid(child, &status, 0);
    std::printf("%.6f\n", seconds);
    return status == 0 ? 0 : 1;
}
