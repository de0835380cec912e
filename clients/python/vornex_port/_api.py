"""The API: Port (blocking, any thread) and AsyncPort (asyncio), each made of a process and a
connection. Requests wait in their caller's own way; everything else is shared."""

import asyncio
import collections
import contextlib
import heapq
import math
import queue
import signal
import sys
import threading
import time
import traceback
import weakref
from typing import (Any, AsyncIterator, Awaitable, Callable, Deque, Generator, Iterator, List,
                    Optional, Sequence, Tuple, Union)

from ._connection import (CLOSE_GRACE, DEFAULT_TIMEOUT, QUIT_LINE, TERM_GRACE, Connection, Message,
                          Settle)
from ._errors import ClosedError, StartError, TimeoutError
from ._process import AsyncProcess, ThreadProcess, find_binary, wait_bound
from ._status import Status

Data = Union[bytes, bytearray, memoryview, str]
OnMessage = Callable[[Message], Any]

_QUIT_WHY = "quit() was called: the tool writes no answer after it"
_CLOSING_WHY = "close() was called"
_KILLED_WHY = "kill() was called"


def _argv(ports: Sequence[str], binary: Optional[str]) -> List[str]:
    if isinstance(ports, (str, bytes)):
        raise TypeError("ports is a list of port names, not one name")
    return [find_binary(binary), "listen"] + list(ports)


def _cannot_run(argv: List[str], error: OSError) -> StartError:
    return StartError(None, "cannot run %s: %s" % (argv[0], error.strerror or error))


def _start_failure(connection: Connection, exit_status: Optional[int], ready_timeout: float,
                   timed_out: bool) -> StartError:
    if timed_out:
        return StartError(exit_status, 'no "ready" from vornex-port within %g s; it was killed' % ready_timeout)
    return StartError(exit_status, connection.last_error or 'vornex-port ended before "ready"')


class _Ticket:
    """One blocking request's answer: a lock held until the answer (or the end) releases it."""

    __slots__ = ("_lock", "value", "error")

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._lock.acquire()
        self.value = None  # type: Any
        self.error = None  # type: Optional[BaseException]

    def settle(self, value: Any, error: Optional[BaseException]) -> None:
        self.value, self.error = value, error
        self._lock.release()

    def wait(self, timeout: Optional[float]) -> bool:
        bound = wait_bound(timeout)
        return self._lock.acquire(timeout=-1 if bound is None else bound)


class _Inbox:
    """Messages kept until someone takes them; ClosedError once the tool has ended and none is left."""

    def __init__(self) -> None:
        self._queue = queue.SimpleQueue()  # type: queue.SimpleQueue[Any]
        self._end = ""
        self._status = None  # type: Optional[int]

    def put(self, message: Message) -> None:
        self._queue.put(message)

    def close(self, why: str, exit_status: int) -> None:
        self._end, self._status = why, exit_status
        self._queue.put(_END)

    def get(self, timeout: Optional[float]) -> Message:
        bound = wait_bound(timeout)
        try:
            message = self._queue.get(timeout=bound) if bound is None or bound > 0 else self._queue.get(False)
        except queue.Empty:
            raise TimeoutError("a message", timeout if timeout is not None else 0.0) from None
        if message is _END:
            self._queue.put(_END)  # for every later caller
            raise ClosedError(self._end, self._status)
        return message  # type: ignore[no-any-return]


_END = object()


def _report(where: str) -> None:
    print("vornex_port: exception in %s (ignored):" % where, file=sys.stderr)
    traceback.print_exc()


class _Ends:
    """What Port and AsyncPort share: their state, and the first, immediate steps of ending."""

    _connection = None  # type: Connection
    _process = None  # type: Union[ThreadProcess, AsyncProcess]
    # Held from a request's registration to its line's writing, and while an ending begins: a
    # request that close() did not refuse has its line written before the input closes.
    _gate = contextlib.nullcontext()  # type: Any

    @property
    def returncode(self) -> Optional[int]:
        """The tool's exit status once it has ended (negative: the signal), None while it runs."""
        return self._process.returncode

    @property
    def pending(self) -> int:
        """How many lookups and sends are in flight."""
        return self._connection.pending()

    def _begin_close(self, grace: Optional[float]) -> float:
        with self._gate:
            self._connection.refuse(_CLOSING_WHY)
            if grace is None:
                grace = self._connection.grace()
            self._process.close_input()
        return grace

    def _begin_quit(self) -> None:
        with self._gate:
            self._connection.refuse(_QUIT_WHY)
            self._connection.fail_pending(_QUIT_WHY)
            self._process.write(QUIT_LINE)
            self._process.close_input()

    def _begin_kill(self) -> None:
        self._connection.refuse(_KILLED_WHY)
        self._process.send_signal(signal.SIGKILL)


class Port(_Ends):
    """vornex-port started in the constructor: `Port(["my.inbox"])` listens on my.inbox. A context
    manager; every method may be called from any thread, several at once."""

    def __init__(self, ports: Sequence[str], *, binary: Optional[str] = None, ready_timeout: float = 10.0,
                 on_message: Optional[OnMessage] = None) -> None:
        argv = _argv(ports, binary)
        # The reader thread holds only these, never the port: a port dropped unclosed can be collected.
        self._inbox = inbox = _Inbox()
        self._on_message = on_message
        self._gate = threading.Lock()
        self._connection = connection = Connection(inbox.put)
        started = threading.Event()
        connection.on_ready = started.set

        def on_end(exit_status: int, reason: Optional[BaseException]) -> None:
            inbox.close(connection.end(exit_status, reason), exit_status)
            started.set()

        try:
            self._process = ThreadProcess(argv, connection.handle_line, on_end)
        except OSError as error:
            raise _cannot_run(argv, error) from None
        try:
            timed_out = not started.wait(wait_bound(ready_timeout))
        except BaseException:
            self._process.kill_now()
            raise
        if timed_out or connection.ports is None:
            self._process.kill_now()
            self._process.wait_end(None)
            self._process.join()
            raise _start_failure(connection, self._process.returncode, ready_timeout, timed_out)
        self.ports = connection.ports  # type: List[str]
        self.pid = self._process.pid  # type: int
        # A port dropped without close(), or still open when the interpreter exits, takes its tool along.
        self._finalizer = weakref.finalize(self, self._process.kill_now)
        self._deliverer = None  # type: Optional[threading.Thread]
        if on_message is not None:
            self._deliverer = threading.Thread(target=self._deliver, name="vornex-port %d messages" % self.pid,
                                               daemon=True)
            self._deliverer.start()

    def __enter__(self) -> "Port":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    # Requests.

    def _wait(self, id: int, ticket: _Ticket, wait: float, what: str) -> Any:
        started = time.monotonic()
        try:
            while not ticket.wait(wait):
                # Sends written since may have moved this one's deadline on.
                left = self._connection.remaining(id)
                if left is None:
                    ticket.wait(None)  # answered just as the wait ended
                    break
                if left <= 0:
                    if self._connection.drop(id):
                        raise TimeoutError("%s #%d" % (what, id), time.monotonic() - started)
                    ticket.wait(None)
                    break
                wait = left
        except BaseException:
            self._connection.drop(id)
            raise
        if ticket.error is not None:
            raise ticket.error
        return ticket.value

    def lookup(self, target: str, *, wait: Optional[float] = None) -> bool:
        """Whether a port of that name exists (and belongs to this user)."""
        ticket = _Ticket()
        with self._gate:
            id, wait, line = self._connection.lookup(target, ticket.settle, wait)
            self._process.write(line)
        return bool(self._wait(id, ticket, wait, "lookup"))

    def send(self, target: str, data: Data, *, timeout: float = DEFAULT_TIMEOUT,
             wait: Optional[float] = None) -> Union[Status, int]:
        """Sends one request; returns its status (-1 and -2 are results, not errors). `timeout` is
        the tool's, in seconds; `wait` is the client's own, by default the tool's bound plus a margin."""
        ticket = _Ticket()
        with self._gate:
            id, wait, line = self._connection.send(target, data, timeout, ticket.settle, wait)
            self._process.write(line)
        return self._wait(id, ticket, wait, "send")  # type: ignore[no-any-return]

    # Messages.

    def next_message(self, timeout: Optional[float] = None) -> Message:
        """The next message (kept from the start on); TimeoutError after `timeout` seconds,
        ClosedError once the tool has ended and every message was taken."""
        if self._on_message is not None:
            raise RuntimeError("messages go to on_message")
        return self._inbox.get(timeout)

    def messages(self, timeout: Optional[float] = None) -> Iterator[Message]:
        """Every message, until the tool has ended; TimeoutError when one takes over `timeout` seconds."""
        if self._on_message is not None:
            raise RuntimeError("messages go to on_message")
        return self._iterate(timeout)

    def _iterate(self, timeout: Optional[float]) -> Generator[Message, None, None]:
        while True:
            try:
                message = self._inbox.get(timeout)
            except ClosedError:
                return
            yield message

    def _deliver(self) -> None:
        assert self._on_message is not None
        while True:
            try:
                message = self._inbox.get(None)
            except ClosedError:
                return
            try:
                self._on_message(message)
            except Exception:
                _report("on_message")

    # Ending.

    def close(self, grace: Optional[float] = None) -> int:
        """Closes the tool's input and lets every answer due arrive; after `grace` seconds (by
        default until the latest wait in flight would end, and at least 10 s) SIGTERM, then SIGKILL.
        Returns the exit status (negative: the signal that ended it)."""
        return self._finish(self._begin_close(grace))

    def quit(self) -> int:
        """Sends "quit": the tool ends at once, so every request in flight fails with ClosedError now."""
        self._begin_quit()
        return self._finish(CLOSE_GRACE)

    def kill(self) -> int:
        """Ends the tool with SIGKILL; every request in flight fails with ClosedError."""
        self._begin_kill()
        return self._finish(None)

    def _finish(self, grace: Optional[float]) -> int:
        process = self._process
        if not process.wait_end(grace):
            process.send_signal(signal.SIGTERM)
            if not process.wait_end(TERM_GRACE):
                process.send_signal(signal.SIGKILL)
                process.wait_end(None)
        process.join()
        if self._deliverer is not None and self._deliverer is not threading.current_thread():
            self._deliverer.join()
        self._finalizer.detach()
        assert process.returncode is not None
        return process.returncode


class _AsyncInbox:
    def __init__(self) -> None:
        self._messages = collections.deque()  # type: Deque[Message]
        self._waiters = collections.deque()  # type: Deque[asyncio.Future[None]]
        self._end = None  # type: Optional[str]
        self._status = None  # type: Optional[int]

    def _wake(self) -> None:
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_result(None)
                return

    def put(self, message: Message) -> None:
        self._messages.append(message)
        self._wake()

    def close(self, why: str, exit_status: int) -> None:
        self._end, self._status = why, exit_status
        for waiter in self._waiters:
            if not waiter.done():
                waiter.set_result(None)
        self._waiters.clear()

    async def get(self, timeout: Optional[float]) -> Message:
        while not self._messages and self._end is None:
            waiter = asyncio.get_running_loop().create_future()  # type: asyncio.Future[None]
            self._waiters.append(waiter)
            try:
                if not await _within(waiter, timeout):
                    raise TimeoutError("a message", timeout if timeout is not None else 0.0)
            except BaseException:
                if not waiter.done() or waiter.cancelled():
                    waiter.cancel()
                elif self._messages:
                    self._wake()  # the message it was woken for goes to the next waiter
                raise
        if self._messages:
            return self._messages.popleft()
        raise ClosedError(self._end or "", self._status)


def _expire(future: "asyncio.Future[Any]") -> None:
    if not future.done():
        future.set_result(_EXPIRED)


_EXPIRED = object()


async def _within(future: "asyncio.Future[Any]", timeout: Optional[float]) -> bool:
    """Awaits `future` for at most `timeout` seconds with one timer, not a task per wait as
    asyncio.wait_for makes; False when the time ran out. The future is then done."""
    if timeout is None or timeout == float("inf"):
        await future
        return True
    timer = asyncio.get_running_loop().call_later(max(timeout, 0.0), _expire, future)
    try:
        return await future is not _EXPIRED
    finally:
        timer.cancel()


class _Deadlines:
    """The client's own waits of one port, under one timer: asyncio's timer per request is a heap
    entry compared in Python, which costs more than the request itself. When a wait comes up, the
    connection says whether later sends moved it on. Entries of answered requests stay until they
    come up, or until they outnumber those in flight."""

    def __init__(self, loop: asyncio.AbstractEventLoop, remaining: Callable[[int], Optional[float]]) -> None:
        self._loop = loop
        self._remaining = remaining
        self._heap = []  # type: List[Tuple[float, int, asyncio.Future[Any]]]
        self._timer = None  # type: Optional[asyncio.TimerHandle]
        self._at = math.inf
        self.live = 0

    def add(self, id: int, future: "asyncio.Future[Any]", timeout: float) -> None:
        self.live += 1
        if len(self._heap) > 64 + 2 * self.live:
            self._heap = [entry for entry in self._heap if not entry[2].done()]
            heapq.heapify(self._heap)
        self._push(id, future, timeout)

    def _push(self, id: int, future: "asyncio.Future[Any]", timeout: float) -> None:
        if math.isinf(timeout):
            return
        at = self._loop.time() + max(timeout, 0.0)
        heapq.heappush(self._heap, (at, id, future))
        if at < self._at:
            if self._timer is not None:
                self._timer.cancel()
            self._at = at
            self._timer = self._loop.call_at(at, self._fire)

    def _fire(self) -> None:
        self._timer, self._at = None, math.inf
        now = self._loop.time()
        heap, due = self._heap, []
        while heap and (heap[0][0] <= now or heap[0][2].done()):
            due.append(heapq.heappop(heap))
        for _, id, future in due:
            if future.done():
                continue
            left = self._remaining(id)
            if left is not None and left > 0:
                self._push(id, future, left)
            else:
                future.set_result(_EXPIRED)
        if heap and self._timer is None:
            self._at = heap[0][0]
            self._timer = self._loop.call_at(self._at, self._fire)


class _Messages:
    def __init__(self, port: "AsyncPort", timeout: Optional[float]) -> None:
        self._port, self._timeout = port, timeout

    def __aiter__(self) -> "_Messages":
        return self

    async def __anext__(self) -> Message:
        try:
            return await self._port._inbox.get(self._timeout)
        except ClosedError:
            raise StopAsyncIteration from None


class _Starting:
    """What AsyncPort.start() returns: awaited, the started port; in `async with`, the port,
    closed on the way out."""

    def __init__(self, start: Awaitable["AsyncPort"]) -> None:
        self._start = start
        self._port = None  # type: Optional[AsyncPort]

    def __await__(self) -> Generator[Any, None, "AsyncPort"]:
        return self._start.__await__()

    async def __aenter__(self) -> "AsyncPort":
        self._port = await self._start
        return self._port

    async def __aexit__(self, *exc: Any) -> None:
        assert self._port is not None
        await self._port.close()


class AsyncPort(_Ends):
    """vornex-port driven from asyncio: `port = await AsyncPort.start(["my.inbox"])`, or
    `async with AsyncPort.start([...]) as port`. The same methods as Port, as coroutines."""

    def __init__(self, _connection: Connection, _process: AsyncProcess, _inbox: _AsyncInbox,
                 on_message: Optional[OnMessage]) -> None:
        self._connection = _connection
        self._process = _process
        self._inbox = _inbox
        self._on_message = on_message
        assert _connection.ports is not None
        self.ports = _connection.ports  # type: List[str]
        self.pid = _process.pid  # type: int
        self._loop = asyncio.get_running_loop()
        self._deadlines = _Deadlines(self._loop, _connection.remaining)
        self._finalizer = weakref.finalize(self, _process.kill_now)

    @classmethod
    def start(cls, ports: Sequence[str], *, binary: Optional[str] = None, ready_timeout: float = 10.0,
              on_message: Optional[OnMessage] = None) -> _Starting:
        """Starts the tool and waits for "ready"; StartError when it does not get there."""
        return _Starting(cls._start(_argv(ports, binary), ready_timeout, on_message))

    @classmethod
    async def _start(cls, argv: List[str], ready_timeout: float, on_message: Optional[OnMessage]) -> "AsyncPort":
        loop = asyncio.get_running_loop()
        inbox = _AsyncInbox()

        def message(m: Message) -> None:
            if on_message is None:
                inbox.put(m)
                return
            try:
                on_message(m)
            except Exception as error:
                loop.call_exception_handler({"message": "exception in vornex_port on_message", "exception": error})

        connection = Connection(message)
        started = loop.create_future()  # type: asyncio.Future[None]

        def ready() -> None:
            if not started.done():
                started.set_result(None)

        def on_end(exit_status: int, reason: Optional[BaseException]) -> None:
            inbox.close(connection.end(exit_status, reason), exit_status)
            ready()

        connection.on_ready = ready
        try:
            process = await AsyncProcess.spawn(argv, connection.handle_line, on_end)
        except OSError as error:
            raise _cannot_run(argv, error) from None
        try:
            timed_out = not await _within(started, ready_timeout)
        except BaseException:
            process.kill_now()
            raise
        if timed_out or connection.ports is None:
            process.send_signal(signal.SIGKILL)
            await process.wait_end(None)
            await process.join()
            raise _start_failure(connection, process.returncode, ready_timeout, timed_out)
        return cls(connection, process, inbox, on_message)

    async def __aenter__(self) -> "AsyncPort":
        return self

    async def __aexit__(self, *exc: Any) -> None:
        await self.close()

    # Requests.

    async def _wait(self, id: int, future: "asyncio.Future[Any]", wait: float, what: str) -> Any:
        started = self._loop.time()
        self._deadlines.add(id, future, wait)
        try:
            if await future is _EXPIRED:
                self._connection.drop(id)
                raise TimeoutError("%s #%d" % (what, id), self._loop.time() - started)
            return future.result()
        finally:
            self._deadlines.live -= 1
            self._connection.drop(id)  # cancelled or given up: a later answer is dropped

    def _ticket(self) -> Tuple["asyncio.Future[Any]", Settle]:
        future = self._loop.create_future()  # type: asyncio.Future[Any]

        def settle(value: Any, error: Optional[BaseException]) -> None:
            if not future.done():
                if error is not None:
                    future.set_exception(error)
                else:
                    future.set_result(value)

        return future, settle

    async def lookup(self, target: str, *, wait: Optional[float] = None) -> bool:
        """As Port.lookup; cancelling it drops the answer when it comes."""
        future, settle = self._ticket()
        id, wait, line = self._connection.lookup(target, settle, wait)
        self._process.write(line)
        return bool(await self._wait(id, future, wait, "lookup"))

    async def send(self, target: str, data: Data, *, timeout: float = DEFAULT_TIMEOUT,
                   wait: Optional[float] = None) -> Union[Status, int]:
        """As Port.send; cancelling it drops the answer when it comes."""
        future, settle = self._ticket()
        id, wait, line = self._connection.send(target, data, timeout, settle, wait)
        self._process.write(line)
        return await self._wait(id, future, wait, "send")  # type: ignore[no-any-return]

    # Messages.

    async def next_message(self, timeout: Optional[float] = None) -> Message:
        """As Port.next_message."""
        if self._on_message is not None:
            raise RuntimeError("messages go to on_message")
        return await self._inbox.get(timeout)

    def messages(self, timeout: Optional[float] = None) -> AsyncIterator[Message]:
        """`async for m in port.messages()`: every message, until the tool has ended."""
        if self._on_message is not None:
            raise RuntimeError("messages go to on_message")
        return _Messages(self, timeout)

    # Ending.

    async def close(self, grace: Optional[float] = None) -> int:
        """As Port.close."""
        return await self._finish(self._begin_close(grace))

    async def quit(self) -> int:
        """As Port.quit."""
        self._begin_quit()
        return await self._finish(CLOSE_GRACE)

    async def kill(self) -> int:
        """As Port.kill."""
        self._begin_kill()
        return await self._finish(None)

    async def _finish(self, grace: Optional[float]) -> int:
        process = self._process
        if not await process.wait_end(grace):
            process.send_signal(signal.SIGTERM)
            if not await process.wait_end(TERM_GRACE):
                process.send_signal(signal.SIGKILL)
                await process.wait_end(None)
        await process.join()
        self._finalizer.detach()
        assert process.returncode is not None
        return process.returncode
