"""Peers for the stress tests, each run as a process of its own.

stress_peer.py flood NAME TAG COUNT
    Sends COUNT requests over one connection, message id n and data "TAG:n" for
    n = 0..COUNT-1, writing them a window at a time and checking every reply;
    prints "done", or "failed" with the reason.
stress_peer.py misbehave NAME KIND
    Does one wrong thing to the port and prints what became of it:
    garbage, overlong (a length above the limit) and good-then-garbage print
    "dropped" once the port closes the connection ("kept" if it does not);
    half-header, half-body, huge (claims the largest length), big-request (a
    large request whose reply is never read) and unread (requests until the
    connection backs up, no reply read) print "stalled" and then hold
    the connection, silent, until killed or until they give up on their own.
"""

import random
import socket
import sys
import time

import peer

# Requests in flight per connection: enough to keep the port busy, few enough that
# the replies always fit the socket's buffer while the next window is being written.
WINDOW = 64
REPLY = peer.frame(peer.REPLY_MAGIC, 0)
# A peer that holds a connection ends by itself after this, should nobody kill it.
GIVE_UP = 120.0


def data_for(tag, n):
    return b"%s:%d" % (tag.encode(), n)


def flood(conn, tag, count):
    sock = conn.sock
    for start in range(0, count, WINDOW):
        stop = min(count, start + WINDOW)
        sock.sendall(b"".join(peer.frame(peer.REQUEST_MAGIC, n, data_for(tag, n)) for n in range(start, stop)))
        replies = peer._read_exact(sock, len(REPLY) * (stop - start))
        if replies != REPLY * (stop - start):
            return "failed: unexpected reply bytes %r" % replies[:24]
    return "done"


def dropped(sock):
    """Whether the port closes the connection, reading whatever it still sends."""
    try:
        while True:
            if not sock.recv(65536):
                return "dropped"
    except ConnectionResetError:
        return "dropped"
    except socket.timeout:
        return "kept"


def misbehave(conn, name, kind):
    sock = conn.sock
    noise = random.Random(name + kind)
    if kind == "garbage":
        sock.sendall(b"XXXX" + noise.randbytes(4096))
        return dropped(sock)
    if kind == "overlong":
        sock.sendall(peer.HEADER.pack(peer.REQUEST_MAGIC, 9, peer.MAX_BODY + 1) + b"x" * 100)
        return dropped(sock)
    if kind == "good-then-garbage":
        conn.request(77, b"bad:whole")
        sock.sendall(peer.HEADER.pack(b"CFMR", 0, 0) + noise.randbytes(100))
        return dropped(sock)
    if kind == "half-header":
        sock.sendall(peer.frame(peer.REQUEST_MAGIC, 5, b"bad:never")[:7])
    elif kind == "half-body":
        sock.sendall(peer.frame(peer.REQUEST_MAGIC, 5, b"bad:never" * 100)[:500])
    elif kind == "huge":
        sock.sendall(peer.HEADER.pack(peer.REQUEST_MAGIC, 5, peer.MAX_BODY) + noise.randbytes(1 << 16))
    elif kind == "unread":
        # Requests, and never a reply read: the port's replies back up, then our requests do.
        sock.setblocking(False)
        request = peer.frame(peer.REQUEST_MAGIC, 79, b"bad:unread")
        try:
            for _ in range(1 << 16):
                sock.send(request * 64)
        except BlockingIOError:
            pass
    elif kind == "big-request":
        # Far more than the socket buffers hold: the port must take it in pieces.
        sock.sendall(peer.frame(peer.REQUEST_MAGIC, 78, b"bad:big" + b"\0" * (4 << 20)))
    else:
        return "failed: unknown kind %r" % kind
    print("stalled", flush=True)
    time.sleep(GIVE_UP)
    return "gave up"


def main(argv):
    mode, name = argv[0], argv[1]
    try:
        with peer.Connection(name, timeout=15.0) as conn:
            if mode == "flood":
                result = flood(conn, argv[2], int(argv[3]))
            else:
                result = misbehave(conn, name, argv[2])
    except (OSError, peer.Closed, peer.NotFound) as e:
        result = "failed: %r" % e
    print(result, flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
