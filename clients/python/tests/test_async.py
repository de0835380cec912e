"""The asyncio client against the real tool."""

import asyncio
import os
import signal
import subprocess
import sys

import pytest

import vornex_port
from conftest import HERE, WAIT, run, unique
from vornex_port import AsyncPort, ClosedError, StartError


async def until_pending(port, count):
    while port.pending < count:
        await asyncio.sleep(0)


class TestStart:
    @run
    async def test_ready_and_the_start_failures(self, ports):
        name = unique()
        async with AsyncPort.start([name, name + ".2"]) as port:
            assert port.ports == [name, name + ".2"]
            assert await port.lookup(name + ".2")
            with pytest.raises(StartError) as error:
                await AsyncPort.start([name])
            assert error.value.exit_status == 65
        assert port.returncode == 0
        with pytest.raises(StartError) as error:
            await AsyncPort.start([])
        assert error.value.exit_status == 64
        with pytest.raises(StartError, match="cannot run /nonexistent/vornex-port"):
            await AsyncPort.start([name], binary="/nonexistent/vornex-port")


class TestRequests:
    @run
    async def test_a_stopped_receiver_queues_five_then_has_no_room(self, stopped):
        target, _ = stopped()
        async with AsyncPort.start([unique()]) as port:
            # Answered innermost first, but matched by id: the results come in the calls' order.
            statuses = await asyncio.gather(*(port.send(target, b"%d" % i, timeout=0) for i in range(7)))
            assert statuses == [-2] * 5 + [-1] * 2

    @run
    async def test_200_sends_in_flight_all_answered_and_matched(self):
        name = unique()
        async with AsyncPort.start([name, name + ".2"]) as port:
            lookups = [port.lookup(name + (".2" if i % 2 else ".none")) for i in range(100)]
            sends = [port.send(name, b"%d" % i) for i in range(200)]
            results = await asyncio.gather(*(lookups + sends))
            assert results == [bool(i % 2) for i in range(100)] + [0] * 200
            assert port.pending == 0
            got = [(await port.next_message(0)).data for _ in range(200)]
            assert sorted(got) == sorted(b"%d" % i for i in range(200))

    @run
    async def test_100_mb_to_itself_out_and_back_in(self):
        name = unique()
        async with AsyncPort.start([name]) as port:
            data = os.urandom(100 << 20)
            assert await port.send(name, data, timeout=60) == 0
            assert await port.next_message(0) == (name, 1, data)

    @run
    async def test_a_cancelled_send_drops_its_late_answer(self, stopped):
        target, receiver = stopped()
        async with AsyncPort.start([unique()]) as port:
            waiting = asyncio.ensure_future(port.send(target, b"late", timeout=600))
            await until_pending(port, 1)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            assert port.pending == 0
            with pytest.raises(vornex_port.TimeoutError):
                await port.send(target, b"later", timeout=600, wait=0)
            with pytest.raises(asyncio.TimeoutError):  # a separate class before Python 3.11
                await port.next_message(timeout=0)
            os.kill(receiver.pid, signal.SIGCONT)
            assert await port.send(target, b"next") == 0


class TestEnd:
    @run
    async def test_the_tool_killed_with_50_sends_pending_fails_them_all_at_once(self, stopped):
        target, _ = stopped()
        port = await AsyncPort.start([unique()])
        sends = [asyncio.ensure_future(port.send(target, b"x", timeout=600)) for _ in range(50)]
        await until_pending(port, 50)
        os.kill(port.pid, signal.SIGKILL)
        results = await asyncio.wait_for(asyncio.gather(*sends, return_exceptions=True), WAIT)
        assert all(isinstance(r, ClosedError) and r.exit_status == -9 for r in results)
        with pytest.raises(ClosedError):  # the write after the end
            await port.send(target, b"y")
        assert await port.close() == -signal.SIGKILL

    @run
    async def test_a_write_to_a_tool_just_killed_raises_closed_error(self):
        name = unique()
        port = await AsyncPort.start([name])
        os.kill(port.pid, signal.SIGKILL)
        with pytest.raises(ClosedError):
            await asyncio.wait_for(port.send(name, os.urandom(4 << 20)), WAIT)
        assert await port.kill() == -signal.SIGKILL

    @run
    async def test_close_lets_the_answers_of_waiting_sends_arrive_first(self, stopped):
        target, receiver = stopped()
        port = await AsyncPort.start([unique()])
        sends = [asyncio.ensure_future(port.send(target, b"%d" % i, timeout=600)) for i in range(5)]
        await until_pending(port, 5)
        closing = asyncio.ensure_future(port.close())
        await asyncio.sleep(0)  # close() has closed the input: later requests are refused
        with pytest.raises(ClosedError):
            await port.lookup(target)
        os.kill(receiver.pid, signal.SIGCONT)
        assert await asyncio.wait_for(asyncio.gather(*sends), WAIT) == [0] * 5
        assert await closing == 0

    @run
    async def test_quit_fails_what_is_pending_at_once(self, stopped):
        target, _ = stopped()
        port = await AsyncPort.start([unique()])
        sends = [asyncio.ensure_future(port.send(target, b"x", timeout=600)) for _ in range(3)]
        await until_pending(port, 3)
        assert await port.quit() == 0
        for result in await asyncio.gather(*sends, return_exceptions=True):
            assert isinstance(result, ClosedError) and result.exit_status is None

    @run
    async def test_messages_before_the_first_async_for_are_kept(self):
        a, b = unique("a"), unique("b")
        async with AsyncPort.start([a]) as sender:
            receiver = await AsyncPort.start([b])
            for data in (b"one", b"two", b"x" * 100000):  # one line above readline's 64 KiB
                assert await sender.send(b, data) == 0
            await receiver.close()
            assert [m.data async for m in receiver.messages()] == [b"one", b"two", b"x" * 100000]

    @run
    async def test_two_clients_answer_each_other_from_on_message(self):
        a, b = unique("a"), unique("b")
        replies = []
        async with AsyncPort.start([a]) as one:
            def answer(message):
                replies.append(asyncio.ensure_future(two.send(a, b"re: " + message.data)))

            async with AsyncPort.start([b], on_message=answer) as two:
                assert await one.send(b, b"hello") == 0
                assert await one.next_message(WAIT) == (a, 1, b"re: hello")
                assert await asyncio.gather(*replies) == [0]

    def test_nothing_is_left_running_when_asyncio_run_ends(self, ports):
        name = unique()
        script = ("import asyncio, sys, vornex_port\n"
                  "async def main():\n"
                  "    port = await vornex_port.AsyncPort.start([sys.argv[1]])\n"
                  "    asyncio.ensure_future(port.send(sys.argv[1] + '.nobody', b''))\n"
                  "    assert await port.lookup(sys.argv[1])\n"
                  "asyncio.run(main())\n")
        env = dict(os.environ, PYTHONPATH=os.path.dirname(HERE))
        done = subprocess.run([sys.executable, "-c", script, name], env=env, stderr=subprocess.PIPE, timeout=WAIT)
        assert (done.returncode, done.stderr) == (0, b"")
        assert not ports(unique()).lookup(name)
