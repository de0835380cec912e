"""Start-up where it needs the Linux layer: registration of the names and messages that peers
send, seen through peers that speak its wire format, and the Linux loader.

The command line's tests, which need nothing but vornex-port, are in test_startup_tools.py.
"""

import base64
import os
import socket
import struct
import tempfile
import unittest

import peer
from harness import Case, unique_name


def taken(name):
    return {"event": "error", "message": "could not register %s; the name is taken" % name}


class Surroundings(Case):
    """What the tool meets besides its command line changes nothing."""

    def test_an_unknown_simdjson_implementation_in_the_environment(self):
        name = unique_name("\u00e9")
        tool = self.started(name, prefix=["env", "SIMDJSON_FORCE_IMPLEMENTATION=unknown"])
        self.assertEqual(peer.send(name, 2, b"x"), b"")
        self.assertEqual(tool.expect("message")["port"], name)
        self.assertClean(tool)

    def test_libraries_in_the_current_folder_are_not_loaded(self):
        # Empty files where the loader would stop at the first one it tried.
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        for library in ("libc.so.6", "libstdc++.so.6", "libsimdjson.so.14"):
            open(os.path.join(folder.name, library), "wb").close()
        self.assertClean(self.started(unique_name(), prefix=["env", "-C", folder.name]))


class Registration(Case):
    def assertFree(self, *names):
        for name in names:
            self.assertFalse(peer.lookup(name), name)
        # Free means registrable again, not only invisible.
        for name in names:
            peer.Port(name).close()

    def test_name_held_by_a_peer_stops_start_up(self):
        first, second, third = unique_name("1"), unique_name("2"), unique_name("3")
        self.port(second)
        tool = self.tool(first, second, third)
        self.assertEqual(tool.rest(), [taken(second)])
        self.assertEqual(tool.wait(), 65)
        self.assertFree(first, third)

    def test_name_held_by_another_vornex_port_stops_start_up(self):
        first, second, third = unique_name("1"), unique_name("2"), unique_name("3")
        holder = self.started(second)
        tool = self.tool(first, second, third)
        self.assertEqual(tool.rest(), [taken(second)])
        self.assertEqual(tool.wait(), 65)
        self.assertFalse(holder.lookup(first))
        self.assertTrue(holder.lookup(second))
        self.assertFalse(holder.lookup(third))
        self.assertClean(holder)
        self.assertFree(first, second, third)

    def test_name_given_twice_is_one_port_reported_once(self):
        name = unique_name()
        tool = self.started(name, name)
        self.assertEqual(peer.send(name, 5, b"x"), b"")
        self.assertEqual(tool.event(), {"event": "message", "port": name, "msgid": 5, "data": "eA=="})
        self.assertClean(tool)
        self.assertFree(name)

    def test_taken_name_with_odd_characters_is_quoted_in_one_line(self):
        name = unique_name('q"\n\u00e9')
        self.port(name)
        tool = self.tool(name)
        self.assertEqual(tool.rest(), [taken(name)])
        self.assertEqual(tool.wait(), 65)

    def test_names_are_freed_by_kill_9(self):
        names = [unique_name("a"), unique_name("b")]
        tool = self.started(*names)
        tool.kill()
        self.assertFree(*names)
        again = self.started(*names)
        self.assertClean(again)

    def test_names_of_a_stopped_process_stay_taken_until_it_is_killed(self):
        name = unique_name()
        tool = self.started(name)
        tool.stop()
        self.assertTrue(peer.lookup(name))
        with self.assertRaises(peer.Taken):
            peer.Port(name)
        tool.kill()
        self.assertFree(name)


class Names(Case):
    def long_name(self, size, filler="x"):
        base = unique_name()
        return base + filler * ((size - len(base.encode())) // len(filler.encode()))

    def test_ready_lists_every_kind_of_name_in_order(self):
        long = self.long_name(128)
        self.assertEqual(len(long.encode()), 128)
        names = [unique_name("z"), unique_name("line\nfeed"), unique_name('double"quote'),
                 unique_name("back\\slash\ttab"), unique_name("\u00e9\u2603\U0001d11e"),
                 long, unique_name("a")]
        tool = self.started(*names)
        # Each name is reachable under exactly the name the tool announced.
        for i, name in enumerate(names):
            self.assertEqual(peer.send(name, i, b"n"), b"")
            self.assertEqual(tool.expect("message"),
                             {"event": "message", "port": name, "msgid": i, "data": "bg=="})
        self.assertClean(tool)

    def test_name_that_is_not_utf8_is_announced_as_it_is_reached(self):
        base = unique_name()
        tool = self.tool(args=[b"listen", base.encode() + b"\xff!"])
        [announced] = tool.ready()
        self.assertEqual(announced, base + "\ufffd!")
        peer.send(announced, 4)
        self.assertEqual(tool.expect("message")["port"], announced)
        self.assertClean(tool)

    def test_name_of_128_multibyte_bytes_works_in_full(self):
        name = self.long_name(128, "\u00e9")
        name += "x" * (128 - len(name.encode()))
        tool = self.started(name)
        peer.send(name, 3)
        self.assertEqual(tool.expect("message")["port"], name)
        self.assertClean(tool)

    def test_longer_name_is_cut_at_a_character_boundary(self):
        # 127 bytes, then a two-byte character that straddles the limit.
        name = self.long_name(127) + "\u00e9tail"
        cut = name.encode()[:127].decode()
        tool = self.started(name)
        self.assertTrue(peer.lookup(cut))
        peer.send(cut, 1)
        self.assertEqual(tool.expect("message")["port"], cut)
        self.assertClean(tool)


class IncomingMessages(Case):
    def test_ids_and_data_arrive_unchanged_on_the_right_port(self):
        a, b = unique_name("a"), unique_name("b")
        tool = self.started(a, b)
        every_byte = bytes(range(256))
        cases = [(a, -5, b""), (b, -2**31, every_byte), (a, 2**31 - 1, b"\n\"{}"),
                 (b, 0, b"\0"), (a, 1, b"ab"), (b, 77, os.urandom(5 << 20))]
        for port, msgid, data in cases:
            with self.subTest(port=port, msgid=msgid, size=len(data)):
                self.assertEqual(peer.send(port, msgid, data), b"")
                ev = tool.expect("message")
                self.assertEqual(set(ev), {"event", "port", "msgid", "data"})
                self.assertEqual((ev["port"], ev["msgid"]), (port, msgid))
                self.assertEqual(ev["data"], base64.b64encode(data).decode())
        self.assertClean(tool)

    def test_several_requests_over_one_connection(self):
        name = unique_name()
        tool = self.started(name)
        with peer.Connection(name) as conn:
            for msgid in (10, 11, 12):
                self.assertEqual(conn.request(msgid, b"x"), b"")
        self.assertEqual([e["msgid"] for e in tool.events(3)], [10, 11, 12])
        self.assertClean(tool)

    def test_misbehaving_peers_do_not_block_the_others(self):
        name = unique_name()
        tool = self.started(name)
        addr = peer.address(name)

        def connect():
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.settimeout(20)
            s.connect(addr)
            self.addCleanup(s.close)
            return s

        half_header = connect()
        half_header.sendall(b"CFMQ\x01\0")
        half_body = connect()
        half_body.sendall(struct.pack("<4siI", b"CFMQ", 1, 1000) + b"abc")
        huge_claim = connect()
        huge_claim.sendall(struct.pack("<4siI", b"CFMQ", 1, 2**31 - 1) + b"x")
        connect()  # and never writes
        quits_mid_frame = connect()
        quits_mid_frame.sendall(struct.pack("<4siI", b"CFMQ", 1, 10) + b"abc")
        quits_mid_frame.close()
        for garbage in (b"GARBAGE_GARBAGE", struct.pack("<4siI", b"CFMQ", 1, 2**31)):
            s = connect()
            s.sendall(garbage)
            try:
                rest = s.recv(16)
            except ConnectionResetError:
                rest = b""
            self.assertEqual(rest, b"", "garbage header must close the connection")

        self.assertEqual(peer.send(name, 9, b"ok"), b"")
        self.assertEqual(tool.expect("message"),
                         {"event": "message", "port": name, "msgid": 9, "data": "b2s="})
        self.assertTrue(tool.lookup(name))
        # The half-sent request still completes once its bytes arrive.
        half_body.sendall(b"x" * 997)
        self.assertEqual(peer.read_frame(half_body, peer.REPLY_MAGIC), (0, b""))
        self.assertEqual(tool.expect("message")["data"],
                         base64.b64encode(b"abc" + b"x" * 997).decode())
        self.assertClean(tool)


if __name__ == "__main__":
    unittest.main()
