// Frames: the only part that reads or writes a port's wire format. Any thread that owns the
// reader or the socket at hand; calls out to nothing.
#include "messageport_frames.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cfl {
namespace {

uint32_t getU32(const UInt8* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putU32(UInt8* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = UInt8(v >> (8 * i));
}

}  // namespace

size_t FrameReader::takeAhead(UInt8* to, size_t n) {
    size_t k = std::min(n, ahead.size() - aheadAt);
    if (k > 0) std::memcpy(to, ahead.data() + aheadAt, k);
    aheadAt += k;
    return k;
}

ssize_t FrameReader::pull(int fd, void* to, size_t want) {
    if (!takesFds) return recv(fd, to, want, 0);
    alignas(cmsghdr) char control[CMSG_SPACE(kFdsPerMessage * sizeof(int))];
    iovec iov{to, want};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (n <= 0) return n;
    ++reads;
    if (msg.msg_flags & MSG_CTRUNC) lostRead = reads;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
            struct stat st {};
            // A place is let go here, which is what taking the request means; a body
            // waits for its header, and only one may wait.
            if (fstat(passed, &st) == 0 && S_ISREG(st.st_mode) && bodyFd < 0) {
                bodyFd = passed;
                bodyRead = reads;
            } else {
                stray = stray || S_ISREG(st.st_mode);
                close(passed);
            }
        }
    }
    return n;
}

ssize_t FrameReader::readAhead(int fd) {
    ahead.resize(kReadAhead);
    ssize_t n = pull(fd, ahead.data(), ahead.size());
    ahead.resize(n > 0 ? size_t(n) : 0);
    aheadAt = 0;
    aheadRead = reads;
    return n;
}

FrameReader::Result FrameReader::readOutOfLine(size_t length) {
    if (bodyFd < 0 || bodyRead != headerRead) {
        if (bodyFd >= 0 || lostRead != headerRead) return kGarbage;
        lostRead = 0;
        return kBodyLost;
    }
    int memfd = bodyFd;
    bodyFd = -1;
    constexpr int kSealed = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
    struct stat st {};
    int seals = fcntl(memfd, F_GET_SEALS);
    if (seals < 0 || (seals & kSealed) != kSealed || fstat(memfd, &st) != 0 || uint64_t(st.st_size) != length) {
        close(memfd);
        return kGarbage;
    }
    body.resize(length);
    size_t at = 0;
    while (at < length) {
        ssize_t n = pread(memfd, body.data() + at, length - at, off_t(at));
        if (n <= 0 && !(n < 0 && errno == EINTR)) break;
        if (n > 0) at += size_t(n);
    }
    close(memfd);
    return at == length ? kFrame : kFailed;
}

FrameReader::Result FrameReader::step(int fd, const char (&magic)[4], size_t& budget) {
    for (;;) {
        if (stray) return kGarbage;
        if (!inBody) {
            if (have == 0 && buffered()) headerRead = aheadRead;
            have += takeAhead(header + have, kHeaderSize - have);
            if (have < kHeaderSize) {
                ssize_t n = readsAhead ? readAhead(fd) : pull(fd, header + have, kHeaderSize - have);
                if (n == 0) return kClosed;
                if (n < 0)
                    return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : errno == EINTR ? kMore : kFailed;
                if (!readsAhead) {
                    if (have == 0) headerRead = reads;
                    have += size_t(n);
                }
                continue;  // bytes read ahead go to the header at the top
            }
            // A body from a read before this header's was claimed by no header.
            if (bodyFd >= 0 && bodyRead < headerRead) return kGarbage;
            if (!takesFds && std::memcmp(header, kTurnedAwayMagic, 4) == 0) {
                have = 0;
                return getU32(header + 8) == 0 ? kTurnedAway : kGarbage;
            }
            bool outOfLine = takesFds && std::memcmp(header, kOutOfLineMagic, 4) == 0;
            if (!outOfLine && std::memcmp(header, magic, 4) != 0) return kGarbage;
            uint32_t len = getU32(header + 8);
            if (len > kMaxFrame) return kGarbage;
            if (outOfLine) {
                have = 0;
                return readOutOfLine(len);
            }
            bodyWant = len;
            body.clear();
            got = 0;
            inBody = true;
        }
        if (got == bodyWant) {
            body.resize(got);
            inBody = false;
            have = 0;
            return kFrame;
        }
        if (!buffered() && budget == 0) return kMore;
        if (got == body.size()) body.resize(std::min(bodyWant, std::max<size_t>(65536, 2 * got)));
        if (buffered()) {
            got += takeAhead(body.data() + got, body.size() - got);
            continue;
        }
        ssize_t n = pull(fd, body.data() + got, body.size() - got);
        if (n == 0) return kClosed;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? kWouldBlock : errno == EINTR ? kMore : kFailed;
        got += size_t(n);
        budget -= std::min(budget, size_t(n));
    }
}

int32_t FrameReader::field() const { return int32_t(getU32(header + 4)); }

bool sendSome(int fd, const std::string& head, size_t& headOff, const UInt8* body, size_t bodyLen, size_t& bodyOff) {
    while (headOff < head.size() || bodyOff < bodyLen) {
        iovec iov[2];
        int count = 0;
        if (headOff < head.size()) iov[count++] = {const_cast<char*>(head.data()) + headOff, head.size() - headOff};
        if (bodyOff < bodyLen) iov[count++] = {const_cast<UInt8*>(body) + bodyOff, bodyLen - bodyOff};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        size_t sent = size_t(n);
        size_t fromHead = std::min(sent, head.size() - headOff);
        headOff += fromHead;
        bodyOff += sent - fromHead;
        if (sent == 0) break;
    }
    return true;
}

void turnAway(int fd) {
    std::string word = header(kTurnedAwayMagic, 0, 0);
    ssize_t n = send(fd, word.data(), word.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)n;  // a peer whose socket is full hears only the close
    close(fd);
}

std::string header(const char (&magic)[4], int32_t field, uint32_t length) {
    std::string h(kHeaderSize, '\0');
    auto* p = reinterpret_cast<UInt8*>(h.data());
    std::memcpy(p, magic, 4);
    putU32(p + 4, uint32_t(field));
    putU32(p + 8, length);
    return h;
}

int sealedCopy(const UInt8* bytes, size_t length) {
    int fd = memfd_create("cfmessageport", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return -1;
    size_t at = 0;
    while (at < length) {
        ssize_t n = write(fd, bytes + at, length - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        at += size_t(n);
    }
    if (at != length || fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int sendFrame(int fd, int32_t msgid, const UInt8* bytes, size_t length, int body, int slot) {
    std::string head = header(body >= 0 ? kOutOfLineMagic : kRequestMagic, msgid, uint32_t(length));
    iovec iov[2] = {{head.data(), head.size()}, {const_cast<UInt8*>(bytes), body >= 0 ? 0 : length}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = iov[1].iov_len ? 2 : 1;
    alignas(cmsghdr) char control[CMSG_SPACE(kFdsPerMessage * sizeof(int))];
    int fds[kFdsPerMessage];
    size_t count = 0;
    if (body >= 0) fds[count++] = body;
    if (slot >= 0) fds[count++] = slot;
    if (count) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(count * sizeof(int));
        std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
    }
    ssize_t n;
    while ((n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    if (n < 0) return errno;
    // A message this small is taken whole or refused: a part sent leaves a broken stream.
    return size_t(n) == head.size() + iov[1].iov_len ? 0 : EPROTO;
}

}  // namespace cfl
