"""The line protocol where it needs the Linux layer: receivers that speak its wire format, and prlimit.

The rest of the protocol's tests, which need nothing but vornex-port, are in test_protocol_tools.py.
"""

import base64
import os
import threading
import unittest

import peer
from harness import BINARY, WAIT, Case, command, unique_name


class Lines(Case):
    def test_invalid_utf8_is_replaced_and_the_line_still_handled(self):
        base = unique_name()
        self.port(base + "\ufffdx")
        tool = self.started(unique_name())
        raw = base.encode()
        tool.write(b'{"cmd":"lookup","id":1,"target":"' + raw + b'\xffx"}\n')
        tool.write(b'{"cmd":"lookup","id":"\xc3(","target":"' + raw + b'x"}\n')
        tool.write(b'{"cmd":"send","id":3,"target":"' + raw + b'\xffx","data":"QQ=="}\n')
        self.assertEqual(tool.event(), {"event": "lookup", "id": 1, "found": True})
        self.assertEqual(tool.event(), {"event": "lookup", "id": "\ufffd(", "found": False})
        self.assertEqual(tool.event(), {"event": "sent", "id": 3, "status": 0})
        self.assertClean(tool)

    def test_a_20_mb_line(self):
        receiver = self.port(unique_name())
        tool = self.started(unique_name())
        payload = os.urandom(15 << 20)
        tool.write('"' + "x" * (20 << 20) + '"\n')
        tool.cmd(cmd="send", id="big", target=receiver.name,
                 data=base64.b64encode(payload).decode())
        self.assertEqual(tool.event(), {"event": "sent", "id": "big", "status": 0})
        self.assertEqual(receiver.messages, [(1, payload)])
        self.assertClean(tool)

    def test_a_line_too_long_to_hold_ends_the_tool_with_a_report(self):
        with open(BINARY, "rb") as f:
            binary = f.read()
            if b"__asan_init" in binary or b"__tsan_init" in binary:
                self.skipTest("a sanitizer's shadow memory does not fit under an address-space limit")
        tool = self.started(unique_name(), prefix=["prlimit", "--as=%d" % (512 << 20), "--"])
        tool.write(command(cmd="lookup", id=1) + '{"cmd":"lookup","id":"')

        def flood():
            chunk = b"x" * (1 << 20)
            try:
                for _ in range(1024):
                    tool.write(chunk)
            except (BrokenPipeError, ValueError):
                pass

        writer = threading.Thread(target=flood, daemon=True)
        writer.start()
        self.assertEqual(tool.event(), {"event": "lookup", "id": 1, "found": False})
        self.assertEqual(tool.rest(), [{"event": "error",
                                        "message": "out of memory: an input line is too long to hold"}])
        self.assertEqual(tool.wait(), 71)
        writer.join(WAIT)


class Lookup(Case):
    def test_found_and_not_found(self):
        own, other = unique_name("own"), unique_name("peer")
        self.port(other)
        tool = self.started(own)
        self.assertTrue(tool.lookup(own, id=7))
        self.assertTrue(tool.lookup(other))
        self.assertFalse(tool.lookup(unique_name("nobody")))
        self.assertFalse(tool.lookup(own + " "))
        self.assertFalse(tool.lookup(own.upper()))
        self.assertClean(tool)

    def test_target_defaults_to_the_empty_name(self):
        tool = self.started(unique_name())
        try:
            empty = peer.Port("")
        except peer.Taken:
            self.skipTest("the empty name is held by another process of this user")
        with empty:
            tool.write('{"cmd":"lookup","id":1}\n{"cmd":"lookup","id":2,"target":5}\n'
                       '{"cmd":"lookup","id":3,"target":null}\n')
            self.assertEqual([e["found"] for e in tool.events(3)], [True, True, True])
            tool.write('{"cmd":"send","id":4,"data":"QQ=="}\n')
            self.assertEqual(tool.event()["status"], 0)
            self.assertEqual(empty.messages, [(1, b"A")])
        self.assertFalse(tool.lookup(""))
        self.assertClean(tool)


class Ending(Case):
    def test_quit_in_the_middle(self):
        name = unique_name()
        tool = self.started(name)
        tool.write(command(cmd="lookup", id=1, target=name) + command(cmd="lookup", id=2, target=unique_name())
                   + command(cmd="quit", id=5) + command(cmd="lookup", id=3, target=name))
        # Standard input stays open: the quit alone must end the process.
        self.assertEqual(tool.rest(), [{"event": "lookup", "id": 1, "found": True},
                                       {"event": "lookup", "id": 2, "found": False}])
        self.assertEqual(tool.wait(), 0)
        self.assertFalse(peer.lookup(name))


if __name__ == "__main__":
    unittest.main()
