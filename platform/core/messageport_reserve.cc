// The descriptor reserve: how many descriptors the process has left, and the spare one that
// lets a request of its own through, or a peer be turned away, when it has none. Any thread;
// calls out to nothing.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "messageport_internal.h"

namespace cfl {
namespace {

/// Descriptors a port leaves free for the process's own requests: peers beyond them are turned away.
constexpr int kReservedDescriptors = 16;

/// Descriptors the process has open, exactly, or -1 when /proc cannot say. Since
/// Linux 6.2 the size of /proc/self/fd is the number of set bits in the process's
/// table of open descriptors, taken under the table's lock: every number handed out
/// and not yet closed, whoever opened it, whatever its number. Older kernels size it 0,
/// and the directory is counted instead (its own descriptor left out). One stat, about
/// 2 µs; counting the directory costs about 0.2 µs a descriptor. Any thread.
long descriptorsInUse() {
    struct stat st {};
    if (stat("/proc/self/fd", &st) == 0 && st.st_size > 0) return long(st.st_size);
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return errno == EMFILE || errno == ENFILE ? LONG_MAX : -1;
    long count = -1;  // the directory's own descriptor
    alignas(8) char entries[4096];
    for (;;) {
        long n = syscall(SYS_getdents64, dir, entries, sizeof entries);
        if (n <= 0) break;
        for (long at = 0; at < n;) {
            auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            if (entry->d_name[0] != '.') ++count;
            at += entry->d_reclen;
        }
    }
    close(dir);
    return count;
}

/// A descriptor held in reserve for the moments the process has none: it is given
/// up to turn away a peer that would otherwise keep a listener readable and the
/// loop spinning, or to let one request of the process's own through. Any thread
/// may give it up or take it back (a request may be sent from any thread), so it
/// changes hands only by atomic exchange: exactly one caller closes a given spare,
/// and a spare opened by a caller that lost the race is closed again. Only
/// giveUpSpare and keepSpare touch it.
std::atomic<int> gSpareFd{open("/dev/null", O_RDONLY | O_CLOEXEC)};

}  // namespace

bool inReserve(int newest) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return false;
    if (rlim_t(newest) + 1 + kReservedDescriptors > limit.rlim_cur) return true;
    long open = descriptorsInUse();
    if (open < 0) return false;  // no /proc: the number above is all there is to go by
    return rlim_t(open) + kReservedDescriptors > limit.rlim_cur;
}

bool giveUpSpare() {
    int fd = gSpareFd.exchange(-1);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void keepSpare() {
    if (gSpareFd.load(std::memory_order_relaxed) >= 0) return;
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int none = -1;
    if (fd >= 0 && !gSpareFd.compare_exchange_strong(none, fd)) close(fd);
}

}  // namespace cfl
