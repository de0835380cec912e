"""A message-port peer written from docs/wire-format.md alone.

It stands in for a foreign program on the same machine: it can register a port
that a vornex-port sends to, and send requests to ports that a vornex-port
registered. Run as a script it holds one port in a separate process, so that a
test can kill it like any other receiver.
"""

import errno
import fcntl
import os
import queue
import select
import socket
import stat
import struct
import sys
import threading

NAME_LIMIT = 128
ADDRESS_LIMIT = 107
REQUEST_MAGIC = b"CFMQ"
REPLY_MAGIC = b"CFMR"
OUT_OF_LINE_MAGIC = b"CFMO"
INLINE_LIMIT = 4000
QUEUE_LIMIT = 5
SEALED = fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW | fcntl.F_SEAL_WRITE
HEADER = struct.Struct("<4siI")
MAX_BODY = 0x60000000
MASK = 2**64 - 1


class NotFound(Exception):
    """No live port of this user has the name."""


class Taken(Exception):
    """Another live socket holds the address."""


class Closed(Exception):
    """The other side closed the connection before a whole frame arrived."""


def _cut(raw):
    if len(raw) <= NAME_LIMIT:
        return raw
    end = NAME_LIMIT
    # Step back over continuation bytes so the cut never splits a character.
    while end > 0 and (raw[end] & 0xC0) == 0x80:
        end -= 1
    return raw[:end]


def _mix(h):
    h ^= h >> 33
    h = (h * 0xFF51AFD7ED558CCD) & MASK
    h ^= h >> 33
    h = (h * 0xC4CEB9FE1A85EC53) & MASK
    h ^= h >> 33
    return h


def digest(raw):
    a = 0xCBF29CE484222325
    b = 0x84222325CBF29CE4
    for c in raw:
        a = ((a ^ c) * 0x100000001B3) & MASK
        b = _mix(b ^ c)
    return "%016x%016x" % (_mix(a), b)


def _raw(name):
    return name if isinstance(name, bytes) else name.encode("utf-8")


def cut_name(name):
    """The name under which a port of this name is registered."""
    return _cut(_raw(name)).decode("utf-8")


def address(name, uid=None):
    raw = _cut(_raw(name))
    prefix = b"cfmessageport.%d" % (os.geteuid() if uid is None else uid)
    text = prefix + b"." + raw
    if len(text) > ADDRESS_LIMIT:
        text = prefix + b"#" + digest(raw).encode("ascii")
    return b"\0" + text


def _peer_uid(sock):
    creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    return struct.unpack("3i", creds)[1]


def _read_exact(sock, n):
    chunks = []
    while n:
        chunk = sock.recv(min(n, 1 << 20))
        if not chunk:
            raise Closed()
        chunks.append(chunk)
        n -= len(chunk)
    return b"".join(chunks)


def read_frame(sock, magic):
    head = _read_exact(sock, HEADER.size)
    got, value, length = HEADER.unpack(head)
    if got != magic or length > MAX_BODY:
        raise ValueError("garbage frame header %r" % head)
    return value, _read_exact(sock, length)


def frame(magic, value, body=b""):
    return HEADER.pack(magic, value, len(body)) + body


class RequestReader:
    """Reads requests as a port does: queue slots that come along are let go at once
    (the request is taken); an out-of-line body is the memfd that came in the same read
    as its header's first byte, checked, then read. Any other memfd is garbage."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""
        self.at = 0  # where buffer[0] is in the stream
        self.body = None  # (first, end, fd): a memfd and the stream bytes of the read it came in

    def _fill(self, n):
        while len(self.buffer) < n:
            data, ancdata, _, _ = self.sock.recvmsg(1 << 20, socket.CMSG_SPACE(8))
            bodies = []
            for level, kind, raw in ancdata:
                if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
                    for fd in struct.unpack("%di" % (len(raw) // 4), raw[:len(raw) // 4 * 4]):
                        if stat.S_ISREG(os.fstat(fd).st_mode):
                            bodies.append(fd)
                        else:
                            os.close(fd)
            if bodies:
                if self.body is not None or len(bodies) > 1:
                    for fd in bodies:
                        os.close(fd)
                    raise ValueError("a body that no header can take")
                first = self.at + len(self.buffer)
                self.body = (first, first + len(data), bodies[0])
            if not data:
                raise Closed()
            self.buffer += data

    def _take(self, n):
        self._fill(n)
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        self.at += n
        return out

    def read(self):
        start = self.at
        magic, msgid, length = HEADER.unpack(self._take(HEADER.size))
        if length > MAX_BODY or magic not in (REQUEST_MAGIC, OUT_OF_LINE_MAGIC):
            raise ValueError("garbage frame header")
        if self.body is not None and self.body[1] <= start:
            raise ValueError("a body that no header took")
        if magic == REQUEST_MAGIC:
            return msgid, self._take(length)
        if self.body is None or self.body[0] > start:
            raise ValueError("an out-of-line header without its body")
        fd, self.body = self.body[2], None
        try:
            if fcntl.fcntl(fd, fcntl.F_GET_SEALS) & SEALED != SEALED or os.fstat(fd).st_size != length:
                raise ValueError("unsealed out-of-line body")
            return msgid, os.pread(fd, length, 0)
        finally:
            os.close(fd)

    def close(self):
        if self.body is not None:
            os.close(self.body[2])
            self.body = None


def _ours(place):
    """Whether this user holds a queue place that is bound: asked by connecting to it. One
    that only binds, or whose backlog is full, would need the kernel's socket table; this peer
    counts it as not the user's, and the request goes without a place."""
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_NONBLOCK)
    try:
        probe.connect(place)
        return _peer_uid(probe) == os.geteuid()
    except OSError:
        return False
    finally:
        probe.close()


def places(name, uid=None):
    """The addresses of the port's five queue places, in the names of `uid` (this user's)."""
    uid = os.geteuid() if uid is None else uid
    return [b"\0" + ("cfmessageport.%d!%d#%s" % (uid, k, digest(_cut(_raw(name))))).encode()
            for k in range(QUEUE_LIMIT)]


def take_slot(name):
    """Binds one of the port's queue places: the place; None when every place is bound but
    one is not the user's (the request goes without); False when the user holds all five."""
    places_ = places(name)
    slot = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    for place in places_:
        try:
            slot.bind(place)
            slot.listen(socket.SOMAXCONN)
            return slot
        except OSError as e:
            if e.errno != errno.EADDRINUSE:
                slot.close()
                raise
    slot.close()
    # In order, stopping at the first place that is not the user's.
    return False if all(_ours(place) for place in places_) else None


def send_request(sock, name, msgid, data):
    """Queues one request whole, with a place in the port's queue; False when it is full."""
    slot = take_slot(name)
    if slot is False:
        return False
    fds = [] if slot is None else [slot.fileno()]
    head = HEADER.pack(REQUEST_MAGIC, msgid, len(data))
    body = None
    if len(data) > INLINE_LIMIT:
        body = os.memfd_create("peer", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
        os.write(body, data)
        fcntl.fcntl(body, fcntl.F_ADD_SEALS, SEALED | fcntl.F_SEAL_SEAL)
        head, data, fds = HEADER.pack(OUT_OF_LINE_MAGIC, msgid, len(data)), b"", [body] + fds
    rights = [(socket.SOL_SOCKET, socket.SCM_RIGHTS, struct.pack("%di" % len(fds), *fds))] if fds else []
    try:
        sock.sendmsg([head + data], rights)
    finally:
        if slot is not None:
            slot.close()
        if body is not None:
            os.close(body)
    return True


class Connection:
    """A connection to a remote port; several requests may go over it."""

    def __init__(self, name, timeout=10.0, uid=None, check_peer=True):
        self.name = name
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        try:
            self.sock.connect(address(name, uid))
        except OSError as e:
            self.sock.close()
            if e.errno in (errno.ECONNREFUSED, errno.ENOENT):
                raise NotFound(name) from None
            raise
        if check_peer and _peer_uid(self.sock) != os.geteuid():
            self.sock.close()
            raise NotFound(name)

    def request(self, msgid, data=b""):
        if not send_request(self.sock, self.name, msgid, data):
            raise TimeoutError("the queue of %r is full" % self.name)
        return read_frame(self.sock, REPLY_MAGIC)[1]

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def lookup(name):
    try:
        Connection(name).close()
    except NotFound:
        return False
    return True


def send(name, msgid=1, data=b"", timeout=10.0):
    """Send one request and return the reply's bytes."""
    with Connection(name, timeout) as conn:
        return conn.request(msgid, data)


class Port:
    """A registered port served by threads of this process.

    mode "reply" answers each request at once (after reply_delay seconds when set),
    "hold" reads every request but answers none until release(), then each in order,
    and "stall" accepts connections and never reads them.
    """

    def __init__(self, name, mode="reply", reply=b"", reply_delay=0.0, uid=None):
        self.name = name
        self.mode = mode
        self.reply = reply
        self.reply_delay = reply_delay
        self.messages = []
        self.replies = 0
        self.rejected = 0
        self._cond = threading.Condition()
        self._released = threading.Event()
        self._conns = []
        self._closed = False
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.sock.bind(address(name, uid))
        except OSError as e:
            self.sock.close()
            if e.errno == errno.EADDRINUSE:
                raise Taken(name) from None
            raise
        self.sock.listen(socket.SOMAXCONN)
        self._acceptor = threading.Thread(target=self._accept, daemon=True)
        self._acceptor.start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            if _peer_uid(conn) != os.geteuid():
                conn.close()
                with self._cond:
                    self.rejected += 1
                    self._cond.notify_all()
                continue
            with self._cond:
                if self._closed:
                    conn.close()
                    return
                self._conns.append(conn)
            if self.mode != "stall":
                threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        reader = RequestReader(conn)
        # Held requests are answered in order by a thread of their own, so that reading goes
        # on meanwhile: a sender may have more requests on the same connection.
        held = queue.Queue() if self.mode == "hold" else None
        if held is not None:
            threading.Thread(target=self._answer_held, args=(conn, held), daemon=True).start()
        try:
            while True:
                msgid, data = reader.read()
                with self._cond:
                    self.messages.append((msgid, data))
                    self._cond.notify_all()
                if held is not None:
                    held.put(True)
                    continue
                if self.reply_delay:
                    self._released.wait(self.reply_delay)
                if self._closed:
                    return
                self._reply(conn)
        except (OSError, Closed, ValueError):
            pass
        finally:
            reader.close()
            if held is None:
                conn.close()
            else:
                held.put(None)  # the answering thread closes it once the held replies went

    def _answer_held(self, conn, held):
        self._released.wait()
        try:
            while held.get() is not None and not self._closed:
                self._reply(conn)
        except OSError:
            pass
        finally:
            conn.close()

    def _reply(self, conn):
        conn.sendall(frame(REPLY_MAGIC, 0, self.reply))
        with self._cond:
            self.replies += 1
            self._cond.notify_all()

    def wait_messages(self, count=1, timeout=10.0):
        """Wait until count requests have arrived; return all of them."""
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.messages) >= count, timeout):
                raise TimeoutError("%d of %d messages on %r" % (len(self.messages), count, self.name))
            return list(self.messages)

    def wait_replies(self, count=1, timeout=10.0):
        """Wait until count replies have been written whole."""
        with self._cond:
            if not self._cond.wait_for(lambda: self.replies >= count, timeout):
                raise TimeoutError("%d of %d replies on %r" % (self.replies, count, self.name))

    def release(self):
        self._released.set()

    def close(self):
        """Go away as a dying process would: listener and every connection."""
        with self._cond:
            self._closed = True
            conns, self._conns = self._conns, []
        for s in [self.sock] + conns:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()
        self._released.set()
        # A thread still inside accept() keeps the listener, and so the name, alive.
        if self._acceptor is not threading.current_thread():
            self._acceptor.join(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main(argv):
    """peer.py hold NAME: hold a port, print one line per request, never reply.
    peer.py send NAME MSGID [UID]: send one empty request, print "ok", "notfound" or
    "closed"; with UID, reach into that user's names and leave the credential check
    to the port.
    peer.py squat NAME UID: bind and listen on the five queue places of NAME in UID's
    names, print "ready", then "connection PID" for each connection made to them."""
    out = sys.stdout
    if argv[0] == "hold":
        port = Port(argv[1], mode="hold")
        out.write("ready\n")
        out.flush()
        seen = 0
        while True:
            msgs = port.wait_messages(seen + 1, timeout=None)
            for msgid, data in msgs[seen:]:
                out.write("message %d %d\n" % (msgid, len(data)))
            out.flush()
            seen = len(msgs)
    elif argv[0] == "send":
        uid = int(argv[3]) if len(argv) > 3 else None
        try:
            with Connection(argv[1], 10.0, uid, check_peer=uid is None) as conn:
                conn.request(int(argv[2]))
            out.write("ok\n")
        except NotFound:
            out.write("notfound\n")
        except (Closed, ConnectionError):
            out.write("closed\n")
    elif argv[0] == "squat":
        held = []
        for place in places(argv[1], int(argv[2])):
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            sock.bind(place)
            sock.listen(socket.SOMAXCONN)
            held.append(sock)
        out.write("ready\n")
        out.flush()
        while True:
            readable, _, _ = select.select(held, [], [])
            for sock in readable:
                conn, _ = sock.accept()
                out.write("connection %d\n" % struct.unpack("3i", conn.getsockopt(
                    socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i")))[0])
                out.flush()
                conn.close()


if __name__ == "__main__":
    main(sys.argv[1:])
