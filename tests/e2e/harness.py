"""Drives real vornex-port processes through pipes, the way a host program does."""

import fcntl
import io
import itertools
import json
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.environ.get("VORNEX_PORT") or os.path.join(
    HERE, "..", "..", "build", "bin", "vornex-port")
PEER = os.path.join(HERE, "peer.py")

# Generous bounds: they only turn a hang into a failure, they never measure speed.
WAIT = 20.0

USAGE = "usage: vornex-port listen <port name>..."
NOBODY = 65534


def _code_constant(header, name):
    """An integer constant of the tool's own, read where its code defines it."""
    with open(os.path.join(HERE, "..", "..", "bridge", header)) as f:
        return int(re.search(r"\b%s = (\d+);" % name, f.read()).group(1))


STATUS_OUTPUT_CLOSED = _code_constant("status.h", "statusOutputClosed")

# Exit status of a module run in which some test could not run; CTest reports it as skipped.
SKIPPED = 77


def run_module(name):
    """Runs one test module for CTest and ends: a test that could not run never passes for one that did."""
    result = unittest.main(module=name, argv=[sys.argv[0]], verbosity=2, exit=False).result
    if not result.wasSuccessful() or not result.testsRun:
        sys.exit(1)
    sys.exit(SKIPPED if result.skipped else 0)


_counter = itertools.count()


def unique_name(tag="p"):
    """A port name no other test, and no parallel run of the suite, uses."""
    return "e2e.%d.%d.%s" % (os.getpid(), next(_counter), tag)


def as_nobody():
    return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"]


def check_line(raw):
    """One compact JSON object, UTF-8, ended by exactly one line feed."""
    if not raw.endswith(b"\n"):
        raise AssertionError("output line without line feed: %r" % raw[:200])
    text = raw[:-1].decode("utf-8")
    in_string = escaped = False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in " \t\r\n":
            raise AssertionError("output line is not compact: %r" % text[:200])
    value = json.loads(text)
    if not isinstance(value, dict):
        raise AssertionError("output line is not an object: %r" % text[:200])
    return value


def command(**fields):
    return json.dumps(fields) + "\n"


def sent(id, status):
    """The event that answers a send."""
    return {"event": "sent", "id": id, "status": status}


def nonblocking(fd):
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)


class Tool:
    """One vornex-port process with its standard streams held by the test."""

    def __init__(self, *names, args=None, prefix=()):
        argv = list(prefix) + [BINARY] + (list(args) if args is not None else ["listen", *names])
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, bufsize=0)
        self.pid = self.proc.pid
        self._lines = queue.Queue()
        self._stderr = []
        self._out_thread = threading.Thread(target=self._pump_stdout, daemon=True)
        self._err_thread = threading.Thread(target=self._pump_stderr, daemon=True)
        self._out_thread.start()
        self._err_thread.start()

    def _pump_stdout(self):
        # A raw pipe's readline goes byte by byte; multi-megabyte lines need a buffer.
        out = io.BufferedReader(self.proc.stdout, 1 << 20)
        while True:
            line = out.readline()
            if not line:
                break
            if not self._take(line):
                self._lines.put(line)
        out.close()
        self._lines.put(None)

    def _take(self, line):
        """Whether a subclass keeps this output line for itself instead of queueing it."""
        return False

    def _pump_stderr(self):
        while True:
            try:
                chunk = self.proc.stderr.read(65536)
            except (OSError, ValueError):  # closed by cleanup after a kill
                return
            if not chunk:
                return
            self._stderr.append(chunk)

    # Input side.

    def write(self, data):
        if isinstance(data, str):
            data = data.encode("utf-8")
        self.proc.stdin.write(data)

    def cmd(self, **fields):
        self.write(command(**fields))

    def close_stdin(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    # Output side.

    def event(self, timeout=WAIT):
        """The next event; fails when none comes or standard output ends."""
        try:
            raw = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("no event within %.0f s" % timeout) from None
        if raw is None:
            self._lines.put(None)
            raise AssertionError("standard output ended (exit status %r)" % self.proc.poll())
        return check_line(raw)

    def events(self, count, timeout=WAIT):
        return [self.event(timeout) for _ in range(count)]

    def expect(self, kind, timeout=WAIT):
        ev = self.event(timeout)
        if ev.get("event") != kind:
            raise AssertionError("expected a %r event, got %r" % (kind, ev))
        return ev

    def ready(self):
        ev = self.expect("ready")
        if set(ev) != {"event", "ports"}:
            raise AssertionError("ready carries other keys: %r" % ev)
        return ev["ports"]

    def lookup(self, target, id=None, timeout=WAIT):
        """Round trip of one lookup; only for a tool with no send waiting."""
        self.cmd(cmd="lookup", id=id, target=target)
        ev = self.expect("lookup", timeout)
        if ev["id"] != id:
            raise AssertionError("lookup answered out of turn: %r" % ev)
        return ev["found"]

    def rest(self, timeout=WAIT):
        """Every event until standard output ends."""
        evs = []
        while True:
            try:
                raw = self._lines.get(timeout=timeout)
            except queue.Empty:
                raise AssertionError("standard output did not end within %.0f s" % timeout) from None
            if raw is None:
                self._lines.put(None)
                return evs
            evs.append(check_line(raw))

    def wait(self, timeout=WAIT):
        """Exit status, once the process has ended; standard error must be empty."""
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("vornex-port did not end within %.0f s" % timeout) from None
        self._err_thread.join(timeout)
        if self._stderr:
            raise AssertionError("standard error: %r" % b"".join(self._stderr)[:500])
        return code

    def finish(self, timeout=WAIT):
        """Close standard input; return (remaining events, exit status)."""
        self.close_stdin()
        evs = self.rest(timeout)
        return evs, self.wait(timeout)

    # Signals.

    def stop(self):
        os.kill(self.pid, signal.SIGSTOP)

    def resume(self):
        os.kill(self.pid, signal.SIGCONT)

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
                os.kill(self.pid, signal.SIGCONT)
            except ProcessLookupError:
                pass
        self.proc.wait()

    def cleanup(self):
        self.kill()
        for f in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except OSError:
                pass


class PeerProcess:
    """peer.py run as its own process, so that it can be killed like a real receiver."""

    def __init__(self, *args, prefix=(), python=sys.executable):
        self.proc = subprocess.Popen(list(prefix) + [python, PEER, *args],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     text=True)

    def line(self, timeout=WAIT):
        result = []
        t = threading.Thread(target=lambda: result.append(self.proc.stdout.readline()), daemon=True)
        t.start()
        t.join(timeout)
        if not result:
            raise AssertionError("peer process said nothing within %.0f s" % timeout)
        return result[0].rstrip("\n")

    def cleanup(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()


class Case(unittest.TestCase):
    """Every process and port a test starts is gone when the test ends."""

    def tool(self, *names, **kw):
        t = Tool(*names, **kw)
        self.addCleanup(t.cleanup)
        return t

    def started(self, *names, **kw):
        t = self.tool(*names, **kw)
        self.assertEqual(t.ready(), list(names))
        return t

    def port(self, name, **kw):
        # Imported here: the wire-format peer exists only where the Linux layer does, and modules
        # that use none of it run on macOS as well.
        import peer
        p = peer.Port(name, **kw)
        self.addCleanup(p.close)
        return p

    def peer_process(self, *args, **kw):
        p = PeerProcess(*args, **kw)
        self.addCleanup(p.cleanup)
        return p

    def assertClean(self, tool, status=0):
        """End of input: no further output, and the expected exit status."""
        evs, code = tool.finish()
        self.assertEqual(evs, [])
        self.assertEqual(code, status)
