"""Many peers at once, peers that misbehave, and drivers that walk away mid-stream.

Every wait is bounded by WAIT measured from the last sign of progress, so a slow
machine only takes longer while a hang still fails. The random choices of the
stream tests come from a fixed seed (VORNEX_STRESS_SEED overrides it), which every
failure message names, so that a failing round can be run again.
"""

import base64
import collections
import json
import os
import random
import select
import signal
import subprocess
import sys
import threading
import time
import unittest

import peer
from harness import BINARY, STATUS_OUTPUT_CLOSED, WAIT, Case, Tool, check_line, command, unique_name

HERE = os.path.dirname(os.path.abspath(__file__))
STRESS_PEER = os.path.join(HERE, "stress_peer.py")
SEED = int(os.environ.get("VORNEX_STRESS_SEED", "20240611"))


class Tally:
    """Message events of flooding peers, checked as they arrive.

    Peer TAG sends "TAG:n" with message id n for n = 0, 1, ...; each must come
    exactly once, in that order, on the port that TAG was sent to.
    """

    def __init__(self):
        self.cond = threading.Condition()
        self.expected_port = {}
        self.next = collections.Counter()
        self.total = 0
        self.faults = []
        self.others = collections.Counter()  # data of messages from no flooding peer

    def add(self, event):
        raw = base64.b64decode(event["data"], validate=True)
        tag, _, seq = raw.partition(b":")
        tag = tag.decode("utf-8", "replace")
        with self.cond:
            if tag not in self.expected_port:
                self.others[raw[:16]] += 1
            elif not (seq.isdigit() and int(seq) == self.next[tag] == event["msgid"]):
                self.fault("%s: expected %d, got %r (msgid %r)" % (tag, self.next[tag], seq, event["msgid"]))
            elif event["port"] != self.expected_port[tag]:
                self.fault("%s:%s arrived on %r" % (tag, seq, event["port"]))
            else:
                self.next[tag] += 1
                self.total += 1
            self.cond.notify_all()

    def fault(self, text):
        if len(self.faults) < 20:
            self.faults.append(text)

    def wait_total(self, count):
        """Waits for `count` in-order messages while they keep coming."""
        with self.cond:
            while self.total < count and not self.faults:
                seen = self.total
                self.cond.wait_for(lambda: self.total != seen or self.faults, WAIT)
                if self.total == seen and not self.faults:
                    raise AssertionError("stuck at %d of %d messages" % (seen, count))


class Bridge(Tool):
    """A tool whose message events go to a Tally; every other event is queued as usual."""

    def __init__(self, *names):
        self.tally = Tally()
        super().__init__(*names)

    def _take(self, line):
        if b'"message"' not in line:
            return False
        try:
            event = check_line(line)
            if event.get("event") == "message":
                self.tally.add(event)
                return True
        except (AssertionError, ValueError, KeyError) as e:
            with self.tally.cond:
                self.tally.fault("bad line %r: %s" % (line[:80], e))
                self.tally.cond.notify_all()
        return False


class StressPeer:
    """stress_peer.py in a process of its own, killable like any other peer."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([sys.executable, STRESS_PEER, *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, text=True)
        self._lines = collections.deque()
        self._cond = threading.Condition()
        self._pumper = threading.Thread(target=self._pump, daemon=True)
        self._pumper.start()

    def _pump(self):
        for text in self.proc.stdout:
            with self._cond:
                self._lines.append(text.rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._lines.append(None)
            self._cond.notify_all()

    def line(self, progress=None):
        """The peer's next line; waits on while `progress()` keeps changing."""
        with self._cond:
            while not self._lines:
                mark = progress() if progress else None
                self._cond.wait(WAIT)
                if not self._lines and (progress is None or progress() == mark):
                    raise AssertionError("peer %r said nothing" % (self.proc.args[2:],))
            text = self._lines.popleft()
        if text is None:
            raise AssertionError("peer %r ended silently" % (self.proc.args[2:],))
        return text

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait()

    def cleanup(self):
        self.kill()
        self._pumper.join(WAIT)  # its reading ends with the process
        self.proc.stdout.close()


def memory_kib(pid, field):
    with open("/proc/%d/status" % pid) as f:
        for text in f:
            if text.startswith(field + ":"):
                return int(text.split()[1])
    raise AssertionError("no %s for process %d" % (field, pid))


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def answered_at_once(event):
    return event["event"] in ("lookup", "error") or event.get("status") == -99


class StressCase(Case):
    def bridge(self, *names):
        tool = Bridge(*names)
        self.addCleanup(tool.cleanup)
        self.assertEqual(tool.ready(), list(names))
        return tool

    def stress_peer(self, *args):
        p = StressPeer(*args)
        self.addCleanup(p.cleanup)
        return p

    def flood(self, tool, ports, peers, count):
        """Starts `peers` flooding processes, spread over `ports` in turn."""
        floods = []
        for i in range(peers):
            tag, port = "p%02d" % i, ports[i % len(ports)]
            tool.tally.expected_port[tag] = port
            floods.append(self.stress_peer("flood", port, tag, str(count)))
            floods[-1].tag = tag
        return floods

    def settle(self, tool, floods, count, extra=0):
        """Every flooding peer got all its replies, and every message (`extra` more from
        elsewhere) was reported once, in order."""
        for p in floods:
            self.assertEqual(p.line(lambda: tool.tally.total), "done")
        tool.tally.wait_total(len(floods) * count + extra)
        self.assertEqual(tool.tally.faults, [])
        self.assertEqual({p.tag: tool.tally.next[p.tag] for p in floods}, {p.tag: count for p in floods})


class ManyPeers(StressCase):
    def test_sixteen_processes_flooding_two_ports_lose_and_reorder_nothing(self):
        a, b = unique_name("a"), unique_name("b")
        tool = self.bridge(a, b)
        floods = self.flood(tool, [a, b], 16, 10000)
        self.settle(tool, floods, 10000)
        self.assertEqual(tool.tally.others, collections.Counter())
        self.assertTrue(tool.lookup(b, id="after"))
        self.assertClean(tool)


class Misbehaving(StressCase):
    def test_bad_peers_come_and_go_while_good_ones_lose_nothing(self):
        a, b = unique_name("a"), unique_name("b")
        tool = self.bridge(a, b)
        # Counted once a command has been answered, so that nothing of the start-up is still open.
        self.assertFalse(tool.lookup(unique_name("nobody"), id="settled"))
        descriptors = open_descriptors(tool.pid)
        floods = self.flood(tool, [a, b], 4, 4000)
        holder_name = unique_name("holder")
        holder = self.peer_process("hold", holder_name)
        self.assertEqual(holder.line(), "ready")
        base = memory_kib(tool.pid, "VmRSS")
        # A good peer of the test's own, served between every two steps of the bad ones.
        tool.tally.expected_port["steady"] = a
        steady = peer.Connection(a, timeout=WAIT)
        self.addCleanup(steady.close)
        sent_steady = 0

        def steady_batch():
            nonlocal sent_steady
            for n in range(sent_steady, sent_steady + 50):
                self.assertEqual(steady.request(n, b"steady:%d" % n), b"")
            sent_steady += 50

        stalled = []
        for round_ in range(3):
            target = (a, b)[round_ % 2]
            dropping = [self.stress_peer("misbehave", target, kind)
                        for kind in ("garbage", "overlong", "good-then-garbage")]
            holding = [self.stress_peer("misbehave", target, kind)
                       for kind in ("half-header", "half-body", "huge", "huge", "big-request", "unread")]
            for p in dropping:
                self.assertEqual(p.line(), "dropped")
            steady_batch()
            for p in holding:
                self.assertEqual(p.line(), "stalled")
            steady_batch()
            self.assertTrue(tool.lookup(target, id=round_))
            # The rest die: mid-request, or with their reply unread.
            for p in holding[1:]:
                p.kill()
            stalled.append(holding[0])
            steady_batch()
            self.assertTrue(tool.lookup(target, id="killed %d" % round_))
        # A claimed length is not memory taken: six peers claimed 1.5 GiB each. (The bound
        # leaves room for a sanitizer's quarantine of freed memory.)
        self.assertLess(memory_kib(tool.pid, "VmHWM") - base, 1 << 20)

        # A receiver of the tool's own request dies while the tool waits for the reply.
        tool.cmd(cmd="send", id="to holder", target=holder_name, data="cXVpdA==", timeout=60)
        self.assertEqual(holder.line(), "message 1 4")
        self.assertTrue(tool.lookup(a, id="while sending"))
        holder.cleanup()
        self.assertEqual(tool.event(), {"event": "sent", "id": "to holder", "status": -5})
        steady_batch()

        self.settle(tool, floods, 4000, extra=sent_steady)
        self.assertEqual(tool.tally.next["steady"], sent_steady)
        # Only whole requests were reported: one from each good-then-garbage and big-request
        # peer, and some from those that never read their replies.
        with tool.tally.cond:
            others = dict(tool.tally.others)
        self.assertGreater(others.pop(b"bad:unread", 0), 0)
        self.assertEqual(others, {b"bad:whole": 3, b"bad:big" + b"\0" * 9: 3})
        self.assertTrue(tool.lookup(b, id="end"))
        for p in stalled:
            p.kill()
        steady.close()
        self.assertTrue(tool.lookup(a, id="all gone"))
        # Every connection of every peer, good or bad, is closed once its peer has gone.
        deadline = time.monotonic() + WAIT
        while open_descriptors(tool.pid) != descriptors and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(open_descriptors(tool.pid), descriptors)
        self.assertClean(tool)


class Walkaway(Case):
    """The driver closes standard input or standard output at a random point of a stream."""

    ROUNDS = 30

    @classmethod
    def setUpClass(cls):
        cls.hold = peer.Port(unique_name("hold"), mode="hold")
        cls.stall = peer.Port(unique_name("stall"), mode="stall")

    @classmethod
    def tearDownClass(cls):
        cls.hold.close()
        cls.stall.close()

    def stream(self, rng, name, pending, wait):
        """Command lines as (text, kind, events): the events each must produce once read whole.

        A burst of every kind of command; when `pending`, then a send to a peer that
        never answers (for `wait` seconds) and a tail of commands that need no reply from anyone.
        """
        missing = unique_name("missing")
        lines = []
        count = rng.randint(1, 1200)
        for i in range(count + (rng.randint(2, 300) if pending else 0)):
            if i < count:
                kind = rng.choice(["lookup", "lookup", "missing", "unknown", "self", "self", "nobody", "junk"])
            elif i == count:
                kind = rng.choice(["hold", "stall"])
            elif i == count + 1:
                kind = "lookup"  # its answer shows that the pending send has begun
            else:
                kind = rng.choice(["lookup", "missing", "unknown", "junk"])
            if kind == "lookup":
                lines.append((command(cmd="lookup", id=i, target=name), "now",
                              [{"event": "lookup", "id": i, "found": True}]))
            elif kind == "missing":
                lines.append((command(cmd="lookup", id=i, target=missing), "now",
                              [{"event": "lookup", "id": i, "found": False}]))
            elif kind == "unknown":
                lines.append((command(cmd="Lookup", id=i), "now", [{"event": "error", "message": "unknown command"}]))
            elif kind == "nobody":
                lines.append((command(cmd="send", id=i, target=missing, data="QQ=="), "now",
                              [{"event": "sent", "id": i, "status": -99}]))
            elif kind == "self":
                data = base64.b64encode(rng.randbytes(rng.choice([0, 2, 100, 3000]))).decode()
                lines.append((command(cmd="send", id=i, target=name, data=data), "self",
                              [{"event": "message", "port": name, "msgid": 1, "data": data},
                               {"event": "sent", "id": i, "status": 0}]))
            elif kind == "hold":
                lines.append((command(cmd="send", id=i, target=self.hold.name, data="aGVsZA==", timeout=wait),
                              "pending", []))
            elif kind == "stall":
                # Too much for the socket buffers of a peer that reads nothing: the wait is in the writing.
                data = base64.b64encode(b"s" * (1 << 20)).decode()
                lines.append((command(cmd="send", id=i, target=self.stall.name, data=data, timeout=wait),
                              "pending", []))
            else:
                lines.append((rng.choice(["[1]\n", "nonsense\n", "\n", '{"cmd":\n']), "junk", []))
        return lines

    def start(self, name):
        proc = subprocess.Popen([BINARY, "listen", name], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, bufsize=0)
        self.addCleanup(self.reap, proc)
        return proc

    @staticmethod
    def reap(proc):
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        for f in (proc.stdin, proc.stdout, proc.stderr):
            try:
                f.close()
            except OSError:
                pass

    @staticmethod
    def feed(proc, data, close):
        def run():
            try:
                proc.stdin.write(data)
                if close:
                    proc.stdin.close()
            except (BrokenPipeError, ValueError):
                pass

        t = threading.Thread(target=run, daemon=True)
        t.start()
        return t

    def read_lines(self, fd, want, where):
        """Complete lines from `fd` until `want` of them (None: until the end) have come."""
        data = b""
        while want is None or data.count(b"\n") < want:
            ready, _, _ = select.select([fd], [], [], WAIT)
            self.assertTrue(ready, "%s: output stalled after %d lines" % (where, data.count(b"\n")))
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                break
            data += chunk
        lines = data.split(b"\n")
        if want is None:
            self.assertEqual(lines[-1], b"", "%s: last line unterminated" % where)
        return [check_line(raw + b"\n") for raw in lines[:-1]]

    def ended(self, proc, where):
        try:
            code = proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            self.fail("%s: the tool did not end" % where)
        self.assertEqual(proc.stderr.read(), b"", where)
        return code

    def test_random_walkaways_end_the_tool_with_a_defined_status(self):
        rng = random.Random(SEED)
        for round_ in range(self.ROUNDS):
            closing = rng.choice(["stdin", "stdout", "stdout", "both"])
            pending = rng.random() < 0.5
            where = "seed %d round %d (%s%s)" % (SEED, round_, closing, ", send pending" if pending else "")
            name = unique_name("walk")
            # The end of input waits for the pending send: let it time out soon then.
            lines = self.stream(rng, name, pending, 1 if closing == "stdin" else 60)
            data = "".join(text for text, _, _ in lines).encode()
            with self.subTest(where):
                proc = self.start(name)
                fd = proc.stdout.fileno()
                self.assertEqual(self.read_lines(fd, 1, where)[0], {"event": "ready", "ports": [name]})
                if closing == "stdin":
                    self.close_input(rng, proc, fd, lines, data, where)
                else:
                    self.close_output(rng, proc, fd, lines, data, where, closing == "both")
                self.reap(proc)

    def close_input(self, rng, proc, fd, lines, data, where):
        # Cut anywhere, mid-line included (a whole command without its line feed still
        # counts), or after everything, while the pending send, if any, waits.
        cut = rng.choice([rng.randint(0, len(data)), len(data)])
        writer = self.feed(proc, data[:cut], close=True)
        got = self.read_lines(fd, None, where)
        self.assertEqual(self.ended(proc, where), 0, where)
        writer.join(WAIT)
        now, later, offset = [], collections.Counter(), 0
        for i, (text, kind, events) in enumerate(lines):
            whole = offset + len(text) - 1 <= cut
            offset += len(text)
            if whole and kind == "now":
                now.extend(events)
            elif whole and kind == "self":
                later.update(map(key, events))
            elif whole and kind == "pending":
                # The end of input waits for it: it times out, in the writing or waiting for the reply.
                timed_out = [e for e in got if e["event"] == "sent" and e["id"] == i]
                self.assertEqual(len(timed_out), 1, where)
                later[key(timed_out[0])] += 1
                self.assertIn(timed_out[0]["status"], (-1, -2), where)
        # Every command read was started, in order; those that answer without waiting all did.
        self.assertEqual([e for e in got if answered_at_once(e)], now, where)
        # Every command read whole is answered before the tool ends; nothing comes twice or unasked.
        surplus = collections.Counter(key(e) for e in got if not answered_at_once(e))
        surplus.subtract(later)
        self.assertEqual([k for k, n in surplus.items() if n > 0], [], where)
        # A self-send's message comes before its answer, which comes after its wait.
        messages = collections.Counter(e["data"] for e in got if e["event"] == "message")
        by_id = {i: events for i, (_, kind, events) in enumerate(lines) if kind == "self"}
        for e in got:
            if e["event"] == "sent" and e["status"] == 0:
                data_sent = by_id[e["id"]][0]["data"]
                self.assertGreater(messages[data_sent], 0, where)
                messages[data_sent] -= 1

    def close_output(self, rng, proc, fd, lines, data, where, input_too):
        everything = collections.Counter(key(e) for _, _, events in lines for e in events)
        # What comes however long the pending send waits: answers at once, and the messages of self-sends.
        prompt = sum(1 for _, kind, events in lines for e in events if kind == "now" or e["event"] == "message")
        writer = self.feed(proc, data, close=input_too)
        # Walk away mid-stream, or once nothing but the pending send, if any, is left.
        got = self.read_lines(fd, rng.choice([rng.randint(0, prompt), prompt]), where)
        proc.stdout.close()
        # With the input ended as well, whichever the tool notices first decides.
        closed = (0, STATUS_OUTPUT_CLOSED) if input_too else (STATUS_OUTPUT_CLOSED,)
        self.assertIn(self.ended(proc, where), closed, where)
        writer.join(WAIT)
        self.assertFalse(writer.is_alive(), where)
        everything.subtract(map(key, got))
        self.assertEqual([k for k, n in everything.items() if n < 0], [], where)

    def test_end_of_input_waits_for_every_send_nested_inside_another(self):
        # Each send to the holder waits inside the one before, a send to the tool's own
        # port among them; lookups and the end of input come meanwhile and are not held up,
        # but the tool ends only once every send has written its answer.
        for middle in ([], ["self"]):
            with self.subTest(middle=middle):
                holder = self.port(unique_name("holder"), mode="hold")
                name = unique_name()
                proc = self.start(name)
                fd = proc.stdout.fileno()
                self.assertEqual(self.read_lines(fd, 1, "start")[0]["event"], "ready")
                targets = [holder.name] * 4 + [name] * len(middle) + [holder.name] * 4
                sends = "".join(command(cmd="send", id=i, target=t, timeout=60) for i, t in enumerate(targets))
                lookups = "".join(command(cmd="lookup", id="after %d" % i, target=name) for i in range(3))
                self.feed(proc, (sends + lookups).encode(), close=True)
                holder.wait_messages(8, WAIT)
                got = self.read_lines(fd, 3 + len(middle), "nested sends")
                self.assertEqual([e for e in got if e["event"] == "lookup"],
                                 [{"event": "lookup", "id": "after %d" % i, "found": True} for i in range(3)])
                # The self-send's wait encloses the later sends: its answer comes once they end.
                self.assertEqual([e for e in got if e["event"] != "lookup"],
                                 [{"event": "message", "port": name, "msgid": 1, "data": ""}] * len(middle))
                holder.release()
                rest = self.read_lines(fd, None, "nested sends")
                self.assertEqual(sorted(e["id"] for e in rest), list(range(len(targets))))
                self.assertEqual({e["status"] for e in rest}, {0})
                self.assertEqual(self.ended(proc, "nested sends"), 0)


def key(event):
    return json.dumps(event, sort_keys=True)


if __name__ == "__main__":
    unittest.main()
