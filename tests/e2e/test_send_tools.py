"""Requests between vornex-port processes, and what each outcome reports: delivery both ways,
a tool's own port, a name nobody holds, and receivers stopped with SIGSTOP.

Nothing here but vornex-port processes, so these run against the real frameworks on macOS too,
where they show whether a port's queue and its time-outs behave as the Linux layer's do; the
send tests that need the Linux layer are in test_send.py.
"""

import base64
import os
import time
import unittest

from harness import Case, command, sent, unique_name


class Delivery(Case):
    def test_between_two_vornex_ports_both_ways(self):
        a, b = unique_name("a"), unique_name("b")
        one, two = self.started(a), self.started(b)
        self.assertTrue(one.lookup(b))
        self.assertTrue(two.lookup(a))
        one.cmd(cmd="send", id="x", target=b, data="aGk=")
        self.assertEqual(two.event(), {"event": "message", "port": b, "msgid": 1, "data": "aGk="})
        self.assertEqual(one.event(), sent("x", 0))
        data = os.urandom(3 << 20)
        two.cmd(cmd="send", id=[2], target=a, data=base64.b64encode(data).decode())
        self.assertEqual(base64.b64decode(one.expect("message")["data"]), data)
        self.assertEqual(two.event(), sent([2], 0))
        self.assertClean(one)
        self.assertClean(two)

    def test_to_its_own_port_the_message_comes_before_sent(self):
        a, b = unique_name("a"), unique_name("b")
        tool = self.started(a, b)
        tool.cmd(cmd="send", id=1, target=b, data="AAEC")
        self.assertEqual(tool.event(), {"event": "message", "port": b, "msgid": 1, "data": "AAEC"})
        self.assertEqual(tool.event(), sent(1, 0))
        tool.cmd(cmd="send", id=2, target=a)
        self.assertEqual(tool.event(), {"event": "message", "port": a, "msgid": 1, "data": ""})
        self.assertEqual(tool.event(), sent(2, 0))
        self.assertClean(tool)

    def test_to_a_name_nobody_registered(self):
        tool = self.started(unique_name())
        tool.cmd(cmd="send", id={"k": 1}, target=unique_name(), data="not base64", timeout="x")
        self.assertEqual(tool.event(), sent({"k": 1}, -99))
        self.assertClean(tool)


class Failures(Case):
    def test_stopped_vornex_port_queues_five_requests_whole_then_finds_no_room(self):
        b = unique_name("b")
        receiver = self.started(b)
        tool = self.started(unique_name("a"))
        receiver.stop()
        big = base64.b64encode(os.urandom(4 << 20)).decode()
        for i, data in enumerate(["QQ==", big, "Qg==", "Qw==", "RA==", "RQ=="]):
            tool.cmd(cmd="send", id=i, target=b, timeout=0.3, data=data)
        # Each waits on its own: five queued (-2), the sixth finds the queue full (-1).
        self.assertEqual(sorted(ev["status"] for ev in tool.events(6)), [-2] * 5 + [-1])
        receiver.resume()
        data = [ev["data"] for ev in receiver.events(5)]
        self.assertEqual(sorted(data), sorted(["QQ==", big, "Qg==", "Qw==", "RA=="]))
        tool.cmd(cmd="send", id=9, target=b, data="Rg==")
        self.assertEqual(tool.event(), sent(9, 0))
        self.assertEqual(receiver.event()["data"], "Rg==")
        self.assertClean(receiver)
        self.assertClean(tool)


class Waiting(Case):
    def test_a_thousand_sends_to_a_stopped_receiver_hold_up_nothing_behind_them(self):
        stopped_name, live_name = unique_name("stopped"), unique_name("live")
        stopped = self.started(stopped_name)
        stopped.stop()
        live = self.started(live_name)
        tool = self.started(unique_name())
        # Written over a second, so that later ones would outlast the first one's wait and are
        # held; the last one is held whatever the machine's pace, its time-out being ten times longer.
        for chunk in range(10):
            tool.write("".join(command(cmd="send", id=i, target=stopped_name, timeout=600)
                               for i in range(chunk * 100, chunk * 100 + 100)))
            time.sleep(0.1)
        tool.write(command(cmd="send", id="held", target=stopped_name, timeout=6000))
        tool.write(command(cmd="lookup", id="L", target=live_name) + command(cmd="send", id="S", target=live_name))
        # Holds are per target: each answer would otherwise wait out ten minutes of time-outs.
        self.assertEqual(tool.events(2), [{"event": "lookup", "id": "L", "found": True}, sent("S", 0)])
        tool.cmd(cmd="quit")
        self.assertEqual(tool.rest(), [])
        self.assertEqual(tool.wait(), 0)
        self.assertEqual(live.event()["msgid"], 1)

    def test_thousands_of_sends_to_a_stopped_receiver_end_together_and_hold_up_no_lookup(self):
        stopped_name = unique_name("stopped")
        stopped = self.started(stopped_name)
        stopped.stop()
        tool = self.started(unique_name())
        count = 4200  # beyond the listener's backlog and the old limit on waits in one another
        tool.write("".join(command(cmd="send", id=i, target=stopped_name, timeout=2) for i in range(count)))
        tool.write(command(cmd="lookup", id="L", target=stopped_name))
        # Sends wait side by side, not one inside the other's wait: the lookup is answered
        # before the last of them ends, not after thousands of time-outs one after another.
        events = tool.events(count + 1, timeout=60)
        lookup = {"event": "lookup", "id": "L", "found": True}
        self.assertLess(events.index(lookup), count)
        statuses = [ev["status"] for ev in events if ev != lookup]
        self.assertEqual((statuses.count(-2), statuses.count(-1)), (5, count - 5))
        self.assertClean(tool)


if __name__ == "__main__":
    unittest.main()
