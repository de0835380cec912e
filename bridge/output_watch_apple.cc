// The closed-output watcher on macOS, where a poll that asks for no events
// registers nothing and never wakes: a kqueue write filter sets EV_EOF once the
// reader of a pipe or socket goes away.
#include <sys/event.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "output.h"
#include "status.h"

void watchOutput() {
    // Only a pipe or a socket has a reader that can go away; a file or a terminal has none to watch.
    struct stat status {};
    if (fstat(output, &status) != 0 || !(S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode))) return;
    int queue = kqueue();
    if (queue < 0) return;
    // Edge-triggered: room in the pipe is reported once per change, so a flowing
    // output wakes this thread at most once per read of its reader, an idle one never.
    struct kevent change {};
    EV_SET(&change, output, EVFILT_WRITE, EV_ADD | EV_CLEAR, 0, 0, nullptr);
    if (kevent(queue, &change, 1, nullptr, 0, nullptr) != 0) {
        close(queue);
        return;
    }
    std::thread([queue] {
        for (;;) {
            struct kevent event {};
            int n = kevent(queue, nullptr, 0, &event, 1, nullptr);
            if (n < 0 && errno != EINTR) return;
            if (n > 0 && (event.flags & EV_EOF)) _exit(statusOutputClosed);
        }
    }).detach();
}
