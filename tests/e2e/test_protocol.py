"""The line protocol on standard input and output: framing, parsing, lookups, the end."""

import base64
import json
import os
import threading
import unittest

import peer
from harness import BINARY, WAIT, Case, command, unique_name

UNKNOWN = {"event": "error", "message": "unknown command"}


def marker(i):
    return command(cmd="lookup", id=i, target="")


class Lines(Case):
    def test_lines_that_are_not_objects_give_no_output(self):
        tool = self.started(unique_name())
        dropped = ["", "   ", "\t", "[]", "42", "null", "true", '"text"', "{} x", "{}{}",
                   "not json", "{", '{"cmd":"lookup",}', '{"cmd":"lookup","id":NaN}',
                   "{'cmd':'lookup'}", '[{"cmd":"lookup"}]', '{"cmd":"lookup"} // note']
        # Each dropped line is followed by a marker; only markers may be answered.
        tool.write("".join(line + "\n" + marker(i) for i, line in enumerate(dropped)))
        for i, line in enumerate(dropped):
            self.assertEqual(tool.expect("lookup")["id"], i, "after %r" % line)
        self.assertClean(tool)

    def test_unknown_commands_give_an_error_without_id(self):
        tool = self.started(unique_name())
        unknown = [{}, {"cmd": "QUIT"}, {"cmd": 5}, {"cmd": None}, {"cmd": ["lookup"]},
                   {"cmd": "lookup "}, {"cmd": "Send", "id": 3}, {"id": 4, "target": ""}]
        tool.write("".join(json.dumps(obj) + "\n" for obj in unknown))
        for obj in unknown:
            self.assertEqual(tool.event(), UNKNOWN, obj)
        self.assertFalse(tool.lookup(unique_name()))
        self.assertClean(tool)

    def test_crlf_lines_and_a_last_line_without_line_feed(self):
        name = unique_name()
        tool = self.started(name)
        tool.write('{"cmd":"lookup","id":1,"target":%s}\r\n\r\n' % json.dumps(name))
        tool.write('{"cmd":"lookup","id":2,"target":%s}\r\n{"cmd":"lookup","id":3,"target":%s}'
                   % (json.dumps(unique_name()), json.dumps(name)))
        evs, code = tool.finish()
        self.assertEqual([(e["id"], e["found"]) for e in evs], [(1, True), (2, False), (3, True)])
        self.assertEqual(code, 0)

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

    def test_a_stream_of_20000_lookups_is_answered_in_order(self):
        name = unique_name()
        tool = self.started(name)
        missing = unique_name()
        count = 20000
        tool.write("".join(command(cmd="lookup", id=i, target=name if i % 3 else missing)
                           for i in range(count)))
        for i in range(count):
            ev = tool.event()
            if ev != {"event": "lookup", "id": i, "found": bool(i % 3)}:
                self.fail("answer %d: %r" % (i, ev))
        self.assertClean(tool)

    def test_an_id_nested_a_million_deep_is_read_and_written_whole(self):
        # The parser's own cases (depth, lone surrogates, exact numbers) are unit tests; here
        # the reader and the writer carry a 2 MB id, written in place, through the tool.
        tool = self.started(unique_name())
        depth = 1000000
        tool.write('{"cmd":"lookup","id":%s}\n' % ("[" * depth + "]" * depth))
        # Too deep for Python's reader: the answer is checked as text.
        raw = tool._lines.get(timeout=WAIT)
        self.assertIn(b'"id":' + b"[" * depth + b"]" * depth + b",", raw)
        self.assertIn(b'"event":"lookup"', raw)
        self.assertClean(tool)

    def test_a_line_too_long_to_hold_ends_the_tool_with_a_report(self):
        with open(BINARY, "rb") as f:
            if b"__asan_init" in f.read():
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

    def test_id_is_echoed_whatever_its_type(self):
        tool = self.started(unique_name())
        ids = [7, -1, 0, 1.5, -2.25e-7, 2**53, "seven", "", 'q"\n\\\u0001\u00e9\U0001d11e',
               None, True, False, {}, [], {"a": [1, {"b": None}], "c": "d"}, [1, "x", None, [2]]]
        for i in ids:
            tool.write('{"cmd":"lookup","target":"","id":%s}\n' % json.dumps(i))
        tool.write('{"cmd":"lookup","target":""}\n')
        for i in ids + [None]:
            ev = tool.event()
            self.assertEqual(set(ev), {"event", "id", "found"})
            self.assertEqual(ev["id"], i)
            self.assertIs(type(ev["id"]) in (int, float), type(i) in (int, float))
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
    def test_end_of_input_answers_everything_in_order(self):
        name = unique_name()
        tool = self.started(name)
        missing = unique_name()
        tool.write(command(cmd="lookup", id=1, target=name) + "[]\n" + command(cmd="nope", id=2)
                   + command(cmd="send", id=3, target=missing) + command(cmd="lookup", id=4, target=missing))
        evs, code = tool.finish()
        self.assertEqual(evs, [{"event": "lookup", "id": 1, "found": True}, UNKNOWN,
                               {"event": "sent", "id": 3, "status": -99},
                               {"event": "lookup", "id": 4, "found": False}])
        self.assertEqual(code, 0)

    def test_end_of_input_right_after_ready(self):
        tool = self.started(unique_name())
        self.assertClean(tool)

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
