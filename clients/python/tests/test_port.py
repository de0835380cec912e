"""The blocking client against the real tool."""

import concurrent.futures
import os
import signal
import stat
import subprocess
import sys
import time

import pytest

import vornex_port
from conftest import BINARY, HERE, WAIT, unique
from vornex_port import ClosedError, Port, StartError, Status


def until_pending(port, count):
    """Returns once `count` requests are in flight: registered, and their lines written or queued."""
    deadline = time.monotonic() + WAIT
    while port.pending < count:
        assert time.monotonic() < deadline, "only %d requests in flight" % port.pending
        time.sleep(0.001)


class TestStart:
    def test_ready_lists_the_ports_in_order(self, ports):
        a, b = unique("a"), unique("b")
        port = ports(a, b)
        assert port.ports == [a, b]
        assert port.returncode is None
        os.kill(port.pid, 0)
        assert port.close() == 0
        assert port.close() == 0  # twice: the same status

    def test_a_bad_command_line_a_taken_name_and_too_few_descriptors(self, ports, tmp_path):
        with pytest.raises(StartError) as error:
            Port([])
        assert (error.value.exit_status, error.value.message) == (64, "usage: vornex-port listen <port name>...")
        name = unique()
        ports(name)
        with pytest.raises(StartError) as error:
            Port([unique(), name])
        assert (error.value.exit_status, error.value.message) == (65, "could not register %s; the name is taken" % name)
        few = tmp_path / "few-descriptors"
        few.write_text('#!/bin/sh\nulimit -n 12 && exec "%s" "$@"\n' % BINARY)
        few.chmod(0o755)
        with pytest.raises(StartError) as error:
            Port([unique()], binary=str(few))
        assert error.value.exit_status == 71
        assert "too few file descriptors" in str(error.value)

    def test_a_binary_that_cannot_run(self, tmp_path):
        not_executable = tmp_path / "vornex-port"
        not_executable.write_text("")
        not_executable.chmod(stat.S_IRUSR)
        for binary in (str(tmp_path / "missing"), str(not_executable)):
            with pytest.raises(StartError, match="cannot run " + binary) as error:
                Port([unique()], binary=binary)
            assert error.value.exit_status is None

    def test_find_binary_takes_the_argument_then_the_environment_then_path(self, monkeypatch, tmp_path):
        monkeypatch.setenv("VORNEX_PORT_BINARY", "/from/env")
        assert vornex_port.find_binary("/given") == "/given"
        assert vornex_port.find_binary() == "/from/env"
        monkeypatch.delenv("VORNEX_PORT_BINARY")
        monkeypatch.setenv("PATH", str(tmp_path))
        assert vornex_port.find_binary() == "vornex-port"  # none on PATH: starting it says so
        os.symlink(BINARY, str(tmp_path / "vornex-port"))
        assert vornex_port.find_binary() == str(tmp_path / "vornex-port")
        with Port([unique()]) as port:
            assert port.lookup(port.ports[0])


class TestRequests:
    def test_lookup_and_sends_to_itself_and_to_nobody(self, ports):
        name = unique()
        port = ports(name)
        assert port.lookup(name) is True
        assert port.lookup(unique("nobody")) is False
        status = port.send(name, b"\x00\x01\xff")
        # The message comes before the answer, so it is already kept when send returns.
        assert port.next_message(timeout=0) == (name, 1, b"\x00\x01\xff")
        assert (status, type(status)) == (Status.SUCCESS, Status)
        assert port.send(unique("nobody"), "ü") == Status.NOT_REGISTERED == -99
        assert vornex_port.status_name(-2) == "RECEIVE_TIMEOUT" and vornex_port.status_name(7) == "7"
        with pytest.raises(TypeError):
            port.send(name, 12)
        with pytest.raises(ValueError):
            port.send(name, b"", timeout=float("nan"))
        assert port.pending == 0

    def test_a_stopped_receiver_queues_five_then_has_no_room(self, ports, stopped):
        target, _ = stopped()
        port = ports(unique())
        assert [port.send(target, b"%d" % i, timeout=0) for i in range(7)] == [-2] * 5 + [-1] * 2

    def test_200_sends_in_flight_from_200_threads(self, ports):
        name = unique()
        port = ports(name)
        payloads = [b"%d" % i for i in range(200)]
        with concurrent.futures.ThreadPoolExecutor(200) as pool:
            statuses = list(pool.map(lambda data: port.send(name, data), payloads))
        assert statuses == [0] * 200
        assert sorted(port.next_message(timeout=0).data for _ in payloads) == sorted(payloads)

    def test_100_mb_each_way_between_two_clients(self, ports):
        a, b = unique("a"), unique("b")
        one, two = ports(a), ports(b)
        for sender, receiver, name in ((one, two, b), (two, one, a)):
            data = os.urandom(100 << 20)
            assert sender.send(name, data, timeout=60) == 0
            assert receiver.next_message(timeout=WAIT) == (name, 1, data)

    def test_a_wait_that_ends_drops_the_late_answer(self, ports, stopped):
        target, receiver = stopped()
        port = ports(unique())
        with pytest.raises(vornex_port.TimeoutError) as error:
            port.send(target, b"late", timeout=600, wait=0)
        assert isinstance(error.value, TimeoutError) and port.pending == 0
        os.kill(receiver.pid, signal.SIGCONT)
        assert port.send(target, b"next") == 0  # the answer to the first one found nobody waiting


class TestEnd:
    def test_the_tool_killed_with_50_sends_pending_fails_them_all_at_once(self, ports, stopped):
        target, _ = stopped()
        port = ports(unique())
        with concurrent.futures.ThreadPoolExecutor(50) as pool:
            # Each would wait twenty minutes: only the tool's end can settle them.
            futures = [pool.submit(port.send, target, b"x", timeout=600) for _ in range(50)]
            until_pending(port, 50)
            os.kill(port.pid, signal.SIGKILL)
            done, _ = concurrent.futures.wait(futures, WAIT)
        assert len(done) == 50
        for future in futures:
            assert isinstance(future.exception(), ClosedError)
            assert future.exception().exit_status == -signal.SIGKILL
        assert port.close() == -signal.SIGKILL

    def test_a_write_after_the_tool_ended_raises_closed_error(self, ports):
        name = unique()
        port = ports(name)
        os.kill(port.pid, signal.SIGKILL)
        with pytest.raises(ClosedError):  # whether or not the end was seen yet: never EPIPE
            port.send(name, os.urandom(1 << 20))
        with pytest.raises(ClosedError, match="signal 9"):
            port.lookup(name)
        assert port.kill() == -signal.SIGKILL

    def test_close_lets_the_answers_of_waiting_sends_arrive_first(self, ports, stopped):
        target, receiver = stopped()
        port = ports(unique())
        with concurrent.futures.ThreadPoolExecutor(6) as pool:
            sends = [pool.submit(port.send, target, b"%d" % i, timeout=600) for i in range(5)]
            until_pending(port, 5)
            closing = pool.submit(port.close)
            while True:  # until close() has begun: it refuses new requests from then on
                try:
                    port.lookup(target)
                except ClosedError:
                    break
            os.kill(receiver.pid, signal.SIGCONT)
            assert [s.result(WAIT) for s in sends] == [0] * 5
            assert closing.result(WAIT) == 0
        assert receiver.close() == 0
        assert sorted(m.data for m in receiver.messages()) == [b"%d" % i for i in range(5)]

    def test_quit_fails_what_is_pending_at_once(self, ports, stopped):
        target, _ = stopped()
        port = ports(unique())
        with concurrent.futures.ThreadPoolExecutor(3) as pool:
            futures = [pool.submit(port.send, target, b"x", timeout=600) for _ in range(3)]
            until_pending(port, 3)
            assert port.quit() == 0
            for future in futures:
                with pytest.raises(ClosedError, match="quit"):
                    future.result(WAIT)
        with pytest.raises(ClosedError):
            port.lookup(target)

    def test_messages_that_come_before_anyone_listens_are_kept(self, ports):
        a, b = unique("a"), unique("b")
        sender, receiver = ports(a), ports(b)
        for data in (b"one", b"", b"three"):
            assert sender.send(b, data) == 0
        assert receiver.close() == 0
        # Taken after the end: every message was read and kept, and the iterator then stops.
        assert [m.data for m in receiver.messages()] == [b"one", b"", b"three"]
        with pytest.raises(ClosedError):
            receiver.next_message()

    def test_two_clients_answer_each_other_from_on_message(self, ports):
        a, b = unique("a"), unique("b")
        one = ports(a)
        # The callback runs on a thread of its own: it may send, even to the port that is waiting.
        two = ports(b, on_message=lambda m: two.send(a, b"re: " + m.data))
        assert one.lookup(b) and two.lookup(a)
        assert one.send(b, b"hello") == 0
        assert one.next_message(timeout=WAIT) == (a, 1, b"re: hello")
        with pytest.raises(RuntimeError):
            two.next_message()

    def test_nothing_is_left_running_at_interpreter_exit(self, ports):
        name = unique()
        script = ("import sys, vornex_port; port = vornex_port.Port([sys.argv[1]]); "
                  "assert port.lookup(sys.argv[1]); print(port.pid)")
        env = dict(os.environ, PYTHONPATH=os.path.dirname(HERE))
        done = subprocess.run([sys.executable, "-c", script, name], env=env, stdout=subprocess.PIPE, timeout=WAIT)
        assert done.returncode == 0
        assert not ports(unique()).lookup(name)
