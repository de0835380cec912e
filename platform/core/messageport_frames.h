// A message port's stream in frames (docs/wire-format.md): the header, a reader that takes a
// frame in as its bytes arrive, the sends that queue one whole, and the sealed memfds that carry
// bodies out of line. Nothing here knows a port or a run loop: a socket pair is all it needs.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "cfinternal.h"

// The message port's parts share these and nothing outside the library does: hidden, so that
// the library still exports the CoreFoundation API and nothing more.
#pragma GCC visibility push(hidden)

namespace cfl {

constexpr char kRequestMagic[4] = {'C', 'F', 'M', 'Q'};
constexpr char kReplyMagic[4] = {'C', 'F', 'M', 'R'};
/// A request whose body travels out of line, as a sealed memfd passed with the header.
constexpr char kOutOfLineMagic[4] = {'C', 'F', 'M', 'O'};
/// A port's word to a peer of its own user that it turns away for want of descriptors, just
/// before it closes the connection: none of the requests it has not answered there reached its
/// callout. A reader of earlier versions takes it for garbage, which it reports as this does.
constexpr char kTurnedAwayMagic[4] = {'C', 'F', 'M', 'N'};
/// The reply field of a request that was read but whose out-of-line body never arrived.
constexpr int32_t kReplyBodyLost = 1;
/// Bodies up to this size travel in line with their header: one message the socket
/// takes whole or not at all. Larger ones go out of line, as Mach sends its memory.
constexpr size_t kInlineLimit = 4000;
/// Descriptors one read takes in: an out-of-line body and a queue slot.
constexpr int kFdsPerMessage = 2;
constexpr size_t kHeaderSize = 12;
/// How much a reader that reads ahead takes at once when a frame begins.
constexpr size_t kReadAhead = 4096;
/// The most data one message carries: CoreFoundation refuses to send more, and
/// drops a reply that claims more.
constexpr uint32_t kMaxFrame = 0x60000000;

/// Reads one frame's header and body as bytes arrive; the body grows only
/// with the bytes received, whatever length the header claims. A reader and every field of it
/// belong to whoever holds it: a port's connection (the port's run-loop thread) or a sender's
/// link (the link's thread, under its port's lock). It takes no lock of its own.
struct FrameReader {
    UInt8 header[kHeaderSize];
    size_t have = 0;
    Bytes body;  // grows ahead of `got`, the bytes received so far
    size_t got = 0;
    size_t bodyWant = 0;
    bool inBody = false;
    /// Bytes read past the header, for a reader that reads ahead: a small request
    /// then costs one read, not two. Only the body's remainder is read exactly.
    Bytes ahead;
    size_t aheadAt = 0;
    bool readsAhead = false;
    /// A port's reader takes descriptors in: queue places, which it lets go at once
    /// (the request is taken), and an out-of-line body, kept in `bodyFd` until its header.
    bool takesFds = false;
    /// The memfd of the read numbered `bodyRead`, waiting for a `CFMO` header whose first
    /// byte came in that same read; -1 when none. The kernel attaches descriptors to the
    /// first byte of the sendmsg that carried them and ends a read after those bytes, so
    /// a sender's header and its body always arrive in one read, and a memfd of any other
    /// read is no body of that header.
    int bodyFd = -1;
    uint64_t bodyRead = 0;
    /// Reads that returned bytes, counted; the one that brought the current header's first
    /// byte, the one whose bytes wait in `ahead`, and the last one whose descriptors the
    /// kernel dropped because this process had no room for them (MSG_CTRUNC).
    uint64_t reads = 0, headerRead = 0, aheadRead = 0, lostRead = 0;
    /// A body came that no header can claim: a second one in one read, or one while another waits.
    bool stray = false;

    enum Result { kMore, kFrame, kClosed, kGarbage, kWouldBlock, kFailed, kBodyLost, kTurnedAway };

    /// Whether bytes already read wait here; the socket will not report them again.
    bool buffered() const { return aheadAt < ahead.size(); }

    /// Moves up to `n` bytes read ahead to `to`; how many it moved.
    size_t takeAhead(UInt8* to, size_t n);

    /// recv, with the descriptors that came along sorted out for a port's reader.
    ssize_t pull(int fd, void* to, size_t want);

    /// Reads what the socket has, up to kReadAhead bytes, into the read-ahead; recv's result.
    ssize_t readAhead(int fd);

    /// The body of an out-of-line request, from the memfd that came in the read of its header.
    /// It is trusted only sealed against every change and exactly as long as the header says.
    Result readOutOfLine(size_t length);

    /// Reads what the socket has, up to one complete frame.
    Result step(int fd, const char (&magic)[4], size_t& budget);

    /// The header's middle field: a request's message id, a reply's status.
    int32_t field() const;
};

/// Writes the word that the connection is turned away (kTurnedAwayMagic), if the socket takes it
/// whole at once, and closes it.
void turnAway(int fd);

/// Sends what it can without blocking; returns false on a broken connection.
bool sendSome(int fd, const std::string& head, size_t& headOff, const UInt8* body, size_t bodyLen, size_t& bodyOff);

/// The 12 bytes that begin a frame: its magic, its field and its body's length.
std::string header(const char (&magic)[4], int32_t field, uint32_t length);

/// A sealed memfd holding `length` bytes, or -1.
int sealedCopy(const UInt8* bytes, size_t length);

/// Queues one request whole, in one message: the header with its body in line, or
/// with the body's memfd (`body` >= 0); a queue slot rides along when given. 0, or errno.
int sendFrame(int fd, int32_t msgid, const UInt8* bytes, size_t length, int body, int slot);

}  // namespace cfl

#pragma GCC visibility pop
