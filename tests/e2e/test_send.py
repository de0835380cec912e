"""Requests from a vornex-port to peers that speak the Linux layer's wire format, and what each
outcome reports.

Requests between vornex-port processes, stopped receivers among them, are in test_send_tools.py.
"""

import base64
import socket
import subprocess
import unittest

import peer
from harness import BINARY, WAIT, Case, command, sent, unique_name


class Delivery(Case):
    def test_data_that_is_not_strict_base64_goes_out_as_zero_bytes(self):
        receiver = self.port(unique_name())
        tool = self.started(unique_name())
        cases = [("a b", b""), ("QQ", b""), ("QQ=", b""), ("-_", b""), ("QQ==\n", b""),
                 (" QQ==", b""), ("QQ==QQ==", b""), ("Q===", b""), ("QQ==", b"A"), ("+/8=", b"\xfb\xff"),
                 ("", b""), (5, b""), (None, b""), (["QQ=="], b"")]
        for i, (data, _) in enumerate(cases):
            tool.cmd(cmd="send", id=i, target=receiver.name, data=data)
            self.assertEqual(tool.event(), sent(i, 0))
        tool.cmd(cmd="send", id="no data", target=receiver.name)
        self.assertEqual(tool.event(), sent("no data", 0))
        got = [data for _, data in receiver.messages]
        self.assertEqual(got, [want for _, want in cases] + [b""])
        self.assertEqual({msgid for msgid, _ in receiver.messages}, {1})
        self.assertClean(tool)


class Failures(Case):
    def test_timeout_given_as_a_string_is_the_default(self):
        receiver = self.port(unique_name(), reply_delay=0.3)
        tool = self.started(unique_name())
        tool.cmd(cmd="send", id=1, target=receiver.name, timeout="0.05")
        self.assertEqual(tool.event(), sent(1, 0))
        # The same late reply misses a numeric time-out of that size.
        tool.cmd(cmd="send", id=2, target=receiver.name, timeout=0.05)
        self.assertEqual(tool.event(), sent(2, -2))
        self.assertClean(tool)

    def test_receiver_that_never_replies(self):
        receiver = self.port(unique_name(), mode="hold")
        tool = self.started(unique_name())
        tool.cmd(cmd="send", id=1, target=receiver.name, timeout=0.5, data="QQ==")
        self.assertEqual(tool.event(), sent(1, -2))
        self.assertEqual(receiver.messages, [(1, b"A")])
        self.assertClean(tool)

    def test_listener_with_a_full_backlog_is_found_but_takes_no_request(self):
        name = unique_name()
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(peer.address(name))
        listener.listen(0)
        while True:
            pending = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.addCleanup(pending.close)
            pending.setblocking(False)
            try:
                pending.connect(peer.address(name))
            except BlockingIOError:
                break
        tool = self.started(unique_name())
        # Its owner is read from the kernel: ours, so it is there, alive but full.
        self.assertTrue(tool.lookup(name))
        tool.cmd(cmd="send", id=1, target=name, timeout=0.3)
        self.assertEqual(tool.event(), sent(1, -1))
        self.assertClean(tool)

    def test_receiver_killed_while_the_request_waits(self):
        name = unique_name()
        holder = self.peer_process("hold", name)
        self.assertEqual(holder.line(), "ready")
        tool = self.started(unique_name())
        # A time-out far beyond the wait below: only noticing the death can answer in time.
        tool.cmd(cmd="send", id=1, target=name, timeout=600)
        self.assertEqual(holder.line(), "message 1 0")
        holder.proc.kill()
        self.assertEqual(tool.event(timeout=WAIT), sent(1, -5))
        self.assertClean(tool)

    def test_receiver_closing_the_connection_while_the_request_waits(self):
        receiver = self.port(unique_name(), mode="hold")
        tool = self.started(unique_name())
        tool.cmd(cmd="send", id=1, target=receiver.name, timeout=600)
        receiver.wait_messages(1)
        receiver.close()
        self.assertEqual(tool.event(timeout=WAIT), sent(1, -5))
        self.assertClean(tool)


class Waiting(Case):
    def test_flood_of_sends_to_a_stalled_receiver(self):
        own = unique_name("own")
        stalled_name = unique_name("stalled")
        stalled = self.started(stalled_name)
        stalled.stop()
        held = self.port(unique_name("held"), mode="hold")
        tool = self.started(own)

        # A send held open underneath keeps the whole flood inside one wait.
        tool.cmd(cmd="send", id="held", target=held.name, timeout=600)
        held.wait_messages(1)
        count = 3000
        tool.write("".join(command(cmd="send", id=i, target=stalled_name, timeout=0.001)
                           for i in range(count)))
        self.assertEqual(peer.send(own, 42, b"meanwhile", timeout=WAIT), b"")
        evs = tool.events(count + 1)
        messages = [ev for ev in evs if ev["event"] == "message"]
        self.assertEqual(messages, [{"event": "message", "port": own, "msgid": 42,
                                     "data": base64.b64encode(b"meanwhile").decode()}])
        statuses = {ev["id"]: ev["status"] for ev in evs if ev["event"] == "sent"}
        self.assertEqual(set(statuses), set(range(count)))
        self.assertLessEqual(set(statuses.values()), {-1, -2})
        held.release()
        self.assertEqual(tool.event(), sent("held", 0))
        self.assertClean(tool)

    def test_sends_to_a_receiver_that_keeps_pace_but_never_replies_time_out_for_replies_not_room(self):
        # Depends on the peer reading each request within the sends' 3 s, as a peer that
        # gets the processor at all does: its queue then never fills, and no send may
        # answer -1, however late a held one begins.
        held = self.port(unique_name("held"), mode="hold")
        tool = self.started(unique_name())
        tool.write("".join(command(cmd="send", id=i, target=held.name, timeout=3) for i in range(30)))
        self.assertEqual([ev["status"] for ev in tool.events(30, timeout=60)], [-2] * 30)
        held.release()
        self.assertClean(tool)

    def test_reply_that_arrives_during_a_nested_wait_is_reported_when_it_ends(self):
        outer = self.port(unique_name("outer"), mode="hold")
        inner = self.port(unique_name("inner"), mode="hold")
        tool = self.started(unique_name())
        tool.cmd(cmd="send", id="outer", target=outer.name, timeout=600)
        outer.wait_messages(1)
        tool.cmd(cmd="send", id="inner", target=inner.name, timeout=600)
        inner.wait_messages(1)
        outer.release()
        outer.wait_replies(1)
        inner.release()
        self.assertEqual(tool.event(), sent("inner", 0))
        # The outer reply is already there: it must not wait for the outer time-out.
        self.assertEqual(tool.event(timeout=10), sent("outer", 0))
        self.assertClean(tool)

    def test_commands_behind_a_waiting_send_are_answered_in_order(self):
        held = self.port(unique_name("held"), mode="hold")
        name = unique_name()
        tool = self.started(name)
        tool.cmd(cmd="send", id="held", target=held.name, timeout=600)
        held.wait_messages(1)
        tool.write("".join(command(cmd="lookup", id=i, target=name) for i in range(100)))
        tool.write(command(cmd="send", id="self", target=name))
        held.release()
        evs = tool.events(103)
        lookups = [ev["id"] for ev in evs if ev["event"] == "lookup"]
        self.assertEqual(lookups, list(range(100)))
        index = {ev.get("id"): n for n, ev in enumerate(evs) if ev["event"] == "sent"}
        message = [n for n, ev in enumerate(evs) if ev["event"] == "message"]
        self.assertEqual(set(index), {"held", "self"})
        self.assertEqual(len(message), 1)
        self.assertLess(message[0], index["self"])
        self.assertEqual(evs[index["held"]]["status"], 0)
        self.assertClean(tool)


class ClosedOutput(Case):
    """The driver goes away: the tool must end by itself, not by a signal."""

    def run_until_output_closed(self, after_close):
        name = unique_name()
        proc = subprocess.Popen([BINARY, "listen", name], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        self.addCleanup(lambda: (proc.poll() is None and proc.kill(), proc.wait(),
                                 proc.stdin.close(), proc.stderr.close()))
        self.assertTrue(proc.stdout.readline().startswith(b'{"event":"ready"'))
        after_close(proc, name, before=True)
        proc.stdout.close()
        after_close(proc, name, before=False)
        try:
            code = proc.wait(WAIT)
        except subprocess.TimeoutExpired:
            self.fail("vornex-port still runs after its standard output was closed")
        self.assertGreaterEqual(code, 0, "ended by signal %d" % -code)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertFalse(peer.lookup(name))

    def test_idle(self):
        self.run_until_output_closed(lambda proc, name, before: None)

    def test_then_a_command(self):
        def lookup(proc, name, before):
            if not before:
                proc.stdin.write(command(cmd="lookup", target=name).encode())
        self.run_until_output_closed(lookup)

    def test_then_a_message(self):
        def message(proc, name, before):
            if not before:
                try:
                    peer.send(name, 1, b"x", timeout=WAIT)
                except (peer.NotFound, peer.Closed, ConnectionError):
                    pass
        self.run_until_output_closed(message)

    def test_while_a_send_waits(self):
        held = self.port(unique_name("held"), mode="hold")

        def send(proc, name, before):
            if before:
                proc.stdin.write(command(cmd="send", target=held.name, timeout=600).encode())
                held.wait_messages(1)
        self.run_until_output_closed(send)


if __name__ == "__main__":
    unittest.main()
