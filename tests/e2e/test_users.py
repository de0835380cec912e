"""Names belong to one user: another user's processes neither see nor reach them."""

import os
import shutil
import socket
import unittest

import peer
from harness import BINARY, NOBODY, PEER, Case, as_nobody, sent, unique_name

SYSTEM_PYTHON = "/usr/bin/python3"


def readable_by_others(path):
    path = os.path.abspath(path)
    while True:
        mode = os.stat(path).st_mode
        if not mode & (0o001 if os.path.isdir(path) else 0o004):
            return False
        parent = os.path.dirname(path)
        if parent == path:
            return True
        path = parent


@unittest.skipUnless(os.geteuid() == 0, "needs root to start a process as another user")
@unittest.skipUnless(shutil.which("setpriv"), "needs setpriv")
class OtherUser(Case):
    def setUp(self):
        if not (readable_by_others(BINARY) and os.access(BINARY, os.X_OK)):
            self.skipTest("the binary is out of reach of user nobody")

    def test_lookups_fail_both_ways_and_both_may_hold_one_name(self):
        mine, theirs, shared = unique_name("root"), unique_name("nobody"), unique_name("shared")
        root = self.started(mine, shared)
        other = self.started(theirs, shared, prefix=as_nobody())
        self.assertFalse(root.lookup(theirs))
        self.assertFalse(other.lookup(mine))
        self.assertTrue(root.lookup(mine))
        self.assertTrue(other.lookup(theirs))
        other.cmd(cmd="send", id=1, target=mine)
        self.assertEqual(other.event(), {"event": "sent", "id": 1, "status": -99})
        root.cmd(cmd="send", id=2, target=shared)
        self.assertEqual(root.event()["port"], shared)
        self.assertEqual(root.event(), {"event": "sent", "id": 2, "status": 0})
        other.cmd(cmd="send", id=3, target=shared)
        self.assertEqual(other.event()["port"], shared)
        self.assertEqual(other.event(), {"event": "sent", "id": 3, "status": 0})
        self.assertClean(root)
        self.assertClean(other)

    def test_a_listener_of_another_user_under_ones_own_address_is_not_found(self):
        # Root may bind any abstract address, including one in nobody's names.
        name = unique_name()
        impostor = self.port(name, uid=NOBODY)
        other = self.started(unique_name(), prefix=as_nobody())
        self.assertFalse(other.lookup(name))
        other.cmd(cmd="send", id=1, target=name, data="QQ==")
        self.assertEqual(other.event(), {"event": "sent", "id": 1, "status": -99})
        self.assertEqual(impostor.messages, [])
        self.assertClean(other)

    def test_a_port_drops_connections_from_another_user(self):
        if not (os.path.exists(SYSTEM_PYTHON) and readable_by_others(PEER)):
            self.skipTest("no interpreter or peer.py for user nobody")
        name = unique_name()
        root = self.started(name)
        intruder = self.peer_process("send", name, "7", str(os.geteuid()),
                                     prefix=as_nobody(), python=SYSTEM_PYTHON)
        self.assertEqual(intruder.line(), "closed")
        # Had the request got through, its message event would come before this answer.
        self.assertTrue(root.lookup(name))
        self.assertClean(root)

    def test_a_squatter_on_a_ports_places_hears_nothing_from_its_senders(self):
        if not (os.path.exists(SYSTEM_PYTHON) and readable_by_others(PEER)):
            self.skipTest("no interpreter or peer.py for user nobody")
        name = unique_name()
        receiver = self.port(name)
        squatter = self.peer_process("squat", name, str(os.geteuid()), prefix=as_nobody(), python=SYSTEM_PYTHON)
        self.assertEqual(squatter.line(), "ready")
        tool = self.started(unique_name())
        for i in range(10):
            tool.cmd(cmd="send", id=i, target=name)
        self.assertEqual(sorted(tool.events(10), key=lambda e: e["id"]), [sent(i, 0) for i in range(10)])
        self.assertEqual(len(receiver.wait_messages(10)), 10)
        # One connection of this process to each place, after every send: each place's
        # connections are taken in order, so whatever a send left comes before these.
        markers = [socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) for _ in range(peer.QUEUE_LIMIT)]
        for marker, place in zip(markers, peer.places(name)):
            marker.connect(place)
        heard = []
        while heard.count("connection %d" % os.getpid()) < peer.QUEUE_LIMIT:
            heard.append(squatter.line())
        for marker in markers:
            marker.close()
        self.assertEqual([h for h in heard if h != "connection %d" % os.getpid()], [])
        self.assertClean(tool)


if __name__ == "__main__":
    unittest.main()
