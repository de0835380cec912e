"""Standard streams that are not plain blocking pipes, and a process short of descriptors.

Nothing here but vornex-port processes, so these run against the real frameworks on macOS too;
the streams' tests that need the Linux layer are in test_streams.py.
"""

import os
import resource
import signal
import subprocess
import threading
import time
import unittest

from harness import BINARY, WAIT, Case, check_line, command, nonblocking, unique_name


class Streams(Case):
    def test_a_nonblocking_standard_input_is_waited_for_not_taken_as_its_end(self):
        name = unique_name()
        r, w = os.pipe()
        nonblocking(r)
        proc = subprocess.Popen([BINARY, "listen", name], stdin=r, stdout=subprocess.PIPE)
        os.close(r)
        self.addCleanup(proc.stdout.close)
        self.addCleanup(proc.kill)
        self.assertEqual(check_line(proc.stdout.readline())["event"], "ready")
        time.sleep(0.1)  # the reader finds nothing yet, and must keep waiting
        os.write(w, command(cmd="lookup", target=name, id=1).encode())
        self.assertEqual(check_line(proc.stdout.readline()), {"event": "lookup", "id": 1, "found": True})
        os.close(w)
        self.assertEqual(proc.wait(WAIT), 0)

    def test_too_few_descriptors_to_run_is_said_at_start_up(self):
        for limit in (5, 6, 12):  # once, without a wake-up for its run loop, it slept through every command
            proc = subprocess.run([BINARY, "listen", unique_name()], input=command(cmd="lookup", id=1).encode(),
                                  capture_output=True, timeout=WAIT,
                                  preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit)))
            self.assertEqual(check_line(proc.stdout), {"event": "error", "message": "too few file descriptors "
                                                       "to run: raise the limit (ulimit -n)"})
            self.assertEqual(proc.returncode, 71)

    def test_ending_signals_end_the_tool_whatever_mask_it_inherits_but_an_ignored_sigint_stays(self):
        ending = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}

        def spawn(setup):
            proc = subprocess.Popen([BINARY, "listen", unique_name()], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, preexec_fn=setup)
            self.addCleanup(proc.stdout.close)
            self.addCleanup(proc.kill)
            self.assertEqual(check_line(proc.stdout.readline())["event"], "ready")
            return proc

        # A driver that takes its own signals on a thread (sigwait, signalfd) spawns with them blocked.
        for sig in sorted(ending):
            with self.subTest(blocked=signal.Signals(sig).name):
                proc = spawn(lambda: signal.pthread_sigmask(signal.SIG_BLOCK, ending))
                os.kill(proc.pid, sig)
                self.assertEqual(proc.wait(WAIT), -sig)
        with self.subTest(ignored="SIGTERM"):
            proc = spawn(lambda: signal.signal(signal.SIGTERM, signal.SIG_IGN))
            proc.terminate()
            self.assertEqual(proc.wait(WAIT), -signal.SIGTERM)
        with self.subTest(ignored_and_blocked="SIGINT"):
            # A shell's background job: the terminal's interrupt must not end it.
            proc = spawn(lambda: (signal.signal(signal.SIGINT, signal.SIG_IGN),
                                  signal.pthread_sigmask(signal.SIG_BLOCK, ending)))
            os.kill(proc.pid, signal.SIGINT)
            proc.stdin.write(command(cmd="lookup", id=1).encode())
            proc.stdin.close()
            self.assertEqual(check_line(proc.stdout.readline()), {"event": "lookup", "id": 1, "found": False})
            self.assertEqual(proc.wait(WAIT), 0)

    def test_a_driver_that_writes_everything_before_reading_gets_every_answer(self):
        name = unique_name()
        proc = subprocess.Popen([BINARY, "listen", name], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(proc.kill)
        count = 100000  # megabytes of input and of output, far beyond both pipes
        data = "".join(command(cmd="lookup", id=i, target=name) for i in range(count)).encode()
        writer = threading.Thread(target=lambda: (proc.stdin.write(data), proc.stdin.close()))
        writer.start()
        writer.join(WAIT * 3)
        self.assertFalse(writer.is_alive(), "the tool stopped reading its input")
        lines = proc.stdout.read().splitlines()
        self.assertEqual(len(lines), count + 1)
        self.assertEqual(check_line(lines[-1] + b"\n"), {"event": "lookup", "id": count - 1, "found": True})
        self.assertEqual(proc.wait(WAIT), 0)


if __name__ == "__main__":
    unittest.main()
