"""The line protocol on standard input and output: framing, parsing, lookups, the end.

Nothing here but vornex-port processes, so these run against the real frameworks on macOS too;
the protocol's tests that need the Linux layer are in test_protocol.py.
"""

import json
import unittest

from harness import WAIT, Case, command, unique_name

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


class Lookup(Case):
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


if __name__ == "__main__":
    unittest.main()
