"""Start-up: the command line.

Nothing here but vornex-port processes, so these run against the real frameworks on macOS too;
the start-up tests that need the Linux layer are in test_startup.py.
"""

import unittest

from harness import USAGE, Case


class CommandLine(Case):
    def test_bad_command_lines_give_usage_and_64_only(self):
        for args in ([], ["listen"], ["Listen", "a"], ["a", "listen", "b"], [" listen", "a"]):
            with self.subTest(args=args):
                tool = self.tool(args=args)
                evs, code = tool.rest(), tool.wait()
                self.assertEqual(evs, [{"event": "error", "message": USAGE}])
                self.assertEqual(code, 64)


if __name__ == "__main__":
    unittest.main()
