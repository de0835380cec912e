"""Standard streams that are not plain blocking pipes, and a process short of descriptors, where
they need the Linux layer: peers that speak its wire format, /proc and /dev/full.

The streams' tests that need nothing but vornex-port are in test_streams_tools.py.
"""

import os
import resource
import subprocess
import threading
import time
import unittest

import peer
from harness import BINARY, USAGE, WAIT, Case, check_line, command, nonblocking, unique_name


def read_lines(fd, count):
    """Reads `count` lines from a blocking descriptor, slowly, as a busy driver would."""
    data = b""
    deadline = time.monotonic() + WAIT
    while data.count(b"\n") < count and time.monotonic() < deadline:
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        data += chunk
        time.sleep(0.001)
    return data.split(b"\n")[:count]


def cpu_seconds(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Streams(Case):
    def test_a_nonblocking_standard_output_still_gets_whole_lines(self):
        name = unique_name()
        r, w = os.pipe()
        nonblocking(w)
        proc = subprocess.Popen([BINARY, "listen", name], stdin=subprocess.PIPE, stdout=w)
        os.close(w)
        self.addCleanup(proc.kill)
        self.assertEqual(check_line(read_lines(r, 1)[0] + b"\n")["event"], "ready")
        payload = os.urandom(300000)  # far more than a pipe holds
        sender = threading.Thread(target=peer.send, args=(name, 5, payload))
        sender.start()
        line = read_lines(r, 1)[0] + b"\n"
        sender.join(WAIT)
        event = check_line(line)
        self.assertEqual(event["msgid"], 5)
        self.assertEqual(len(event["data"]), (len(payload) + 2) // 3 * 4)
        proc.stdin.close()
        self.assertEqual(proc.wait(WAIT), 0)
        os.close(r)

    def test_the_usage_status_stands_when_the_error_cannot_be_written(self):
        with open("/dev/full", "wb") as full:
            self.assertEqual(subprocess.run([BINARY, "Listen"], stdout=full).returncode, 64)
        closed = subprocess.run([BINARY], stdin=subprocess.DEVNULL, preexec_fn=lambda: os.close(1))
        self.assertEqual(closed.returncode, 64, USAGE)

    def started_with_descriptors(self, name, limit):
        """The tool, allowed `limit` open descriptors, once it is ready."""
        proc = subprocess.Popen([BINARY, "listen", name], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit)))
        self.addCleanup(proc.kill)
        self.assertEqual(check_line(proc.stdout.readline())["event"], "ready")
        return proc

    def test_a_process_out_of_descriptors_turns_peers_away_and_recovers(self):
        name = unique_name()
        proc = self.started_with_descriptors(name, 32)
        idle = [peer.Connection(name) for _ in range(40)]  # more than the tool can accept
        # Peers it cannot take must not keep it busy: a spinning loop burns the whole pause.
        before = cpu_seconds(proc.pid)
        time.sleep(0.5)
        self.assertLess(cpu_seconds(proc.pid) - before, 0.25)
        for conn in idle[:30]:
            conn.close()
        reply = peer.send(name, 7, b"after", timeout=WAIT)
        self.assertEqual(reply, b"")
        event = check_line(proc.stdout.readline())
        self.assertEqual((event["msgid"], event["data"]), (7, "YWZ0ZXI="))
        for conn in idle[30:]:
            conn.close()
        proc.stdin.close()
        self.assertEqual(proc.wait(WAIT), 0)


    def test_many_idle_peers_leave_room_for_the_tools_own_requests(self):
        own, other = unique_name("own"), unique_name("other")
        receiver = self.started(other)
        proc = self.started_with_descriptors(own, 64)
        idle = [peer.Connection(own) for _ in range(120)]
        self.addCleanup(lambda: [c.close() for c in idle])
        proc.stdin.write(b"".join(command(cmd="lookup", id=i, target=own).encode() for i in range(20)))
        proc.stdin.write(command(cmd="send", id="s", target=other, data="QQ==").encode())
        proc.stdin.flush()
        answers = [check_line(proc.stdout.readline()) for _ in range(21)]
        self.assertEqual([a["found"] for a in answers[:20]], [True] * 20)
        self.assertEqual(answers[20], {"event": "sent", "id": "s", "status": 0})
        self.assertEqual(receiver.event()["data"], "QQ==")
        proc.stdin.close()
        self.assertEqual(proc.wait(WAIT), 0)

    def test_the_fewest_descriptors_it_starts_with_are_as_documented_and_take_in_a_message(self):
        for count in (1, 4):
            with self.subTest(ports=count):
                names = [unique_name(str(i)) for i in range(count)]
                # The three standard streams, one per port and 20 more.
                limit = 3 + count + 20
                short = subprocess.run([BINARY, "listen", *names], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, timeout=WAIT,
                                       preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE,
                                                                             (limit - 1, limit - 1)))
                self.assertEqual(short.returncode, 71)
                proc = subprocess.Popen([BINARY, "listen", *names], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit)))
                self.addCleanup(proc.kill)
                self.assertEqual(check_line(proc.stdout.readline())["event"], "ready")
                self.assertEqual(peer.send(names[-1], 7, b"in", timeout=WAIT), b"")
                self.assertEqual(check_line(proc.stdout.readline()), {"event": "message", "port": names[-1],
                                                                     "msgid": 7, "data": "aW4="})
                proc.stdin.close()
                self.assertEqual(proc.wait(WAIT), 0)
                proc.stdout.close()


class NestedWaits(Case):
    def test_a_settled_outer_send_does_not_keep_waking_the_inner_wait(self):
        tool = self.started(unique_name("self"))
        outer = self.port(unique_name("outer"), mode="hold")
        inner = self.port(unique_name("inner"), mode="hold")
        tool.cmd(cmd="send", id="outer", target=outer.name, timeout=60)
        outer.wait_messages(1)
        tool.cmd(cmd="send", id="inner", target=inner.name, timeout=60)
        inner.wait_messages(1)
        outer.close()  # the outer send is settled (-5) while the inner one still waits
        before = cpu_seconds(tool.pid)
        time.sleep(0.5)
        self.assertLess(cpu_seconds(tool.pid) - before, 0.25)
        inner.release()
        events = {e["id"]: e["status"] for e in tool.events(2)}
        self.assertEqual(events, {"outer": -5, "inner": 0})


if __name__ == "__main__":
    unittest.main()
