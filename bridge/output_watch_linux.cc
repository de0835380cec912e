// The closed-output watcher where poll reports a pipe's vanished reader without being asked.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "output.h"
#include "status.h"

void watchOutput() {
    std::thread([] {
        pollfd p{output, 0, 0};
        while (poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        // A pipe whose reader has gone reports an error; a file or terminal never wakes this.
        if (p.revents & (POLLERR | POLLHUP)) _exit(statusOutputClosed);
    }).detach();
}
