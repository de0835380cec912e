"""The example drivers in examples/, run as a user would against the real tool."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import peer
from harness import BINARY, WAIT, Case, unique_name

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


class Drivers(Case):
    def run_driver(self, program, script, *args):
        done = subprocess.run([program, os.path.join(EXAMPLES, script), BINARY, *args],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=WAIT)
        return done.returncode, done.stdout.splitlines(), done.stderr

    def check(self, program, script):
        name = unique_name(script)
        code, lines, err = self.run_driver(program, script, name)
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(lines, ["lookup %s: true" % name, "send to %s: 0" % name,
                                 "message on %s: hello" % name, "send to nobody: -99",
                                 "exit status 0"])
        self.assertFalse(peer.lookup(name), "the tool still holds its port")
        # A taken name: the driver reports the tool's own reason and status, and fails.
        self.port(name)
        code, lines, err = self.run_driver(program, script, name)
        self.assertNotEqual(code, 0)
        self.assertIn("could not register %s; the name is taken (exit status 65)" % name, err)

    def test_python(self):
        # The example imports the client package as a user installs it; here it comes from the tree.
        with mock.patch.dict(os.environ, PYTHONPATH=os.path.join(EXAMPLES, "..", "clients", "python")):
            self.check(sys.executable, "driver.py")

    def test_node(self):
        node = shutil.which("node") or shutil.which("nodejs")
        if not node:
            self.skipTest("Node.js is not installed (tools/setup.sh installs it)")
        # As a user runs it: beside an installed package, in a folder of ES modules.
        with tempfile.TemporaryDirectory() as folder:
            os.makedirs(os.path.join(folder, "node_modules"))
            os.symlink(os.path.join(EXAMPLES, "..", "clients", "node"),
                       os.path.join(folder, "node_modules", "vornex-port"))
            with open(os.path.join(folder, "package.json"), "w") as f:
                f.write('{"type": "module"}\n')
            shutil.copy(os.path.join(EXAMPLES, "driver.js"), folder)
            self.check(node, os.path.join(folder, "driver.js"))


if __name__ == "__main__":
    unittest.main()
