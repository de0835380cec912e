#include "output.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "status.h"

int output = 1;

bool writeParts(iovec* parts, size_t count) {
    size_t first = 0;
    while (first < count && parts[first].iov_len == 0)
        ++first;
    while (first < count) {
        // A line in one piece, the usual case, goes out through the plain call.
        ssize_t w = first + 1 == count ? write(output, parts[first].iov_base, parts[first].iov_len)
                                       : writev(output, parts + first, int(std::min<size_t>(count - first, IOV_MAX)));
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // An output left non-blocking by whoever opened it: wait, a half line would break the framing.
                pollfd ready{output, POLLOUT, 0};
                poll(&ready, 1, -1);
                continue;
            }
            return errno != EPIPE;
        }
        for (size_t done = size_t(w); first < count && (done > 0 || parts[first].iov_len == 0); ++first) {
            size_t step = std::min(done, parts[first].iov_len);
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + step;
            parts[first].iov_len -= step;
            done -= step;
            if (parts[first].iov_len > 0) break;
        }
    }
    return true;
}

void emitLine(std::string_view line) {
    iovec whole{const_cast<char*>(line.data()), line.size()};
    // Nobody reads our output any more: there is nothing left to do.
    if (!writeParts(&whole, 1)) _exit(statusOutputClosed);
}
