"""The process: the tool spawned with pipes, its input written with back-pressure by a writer of
its own, its output read all the time and cut into lines on bytes, its end observed once (its
output read to the end and its exit status taken). Knows nothing of JSON.

Two forms of the same part: ThreadProcess (a reader thread and a writer thread) for the blocking
client, AsyncProcess (a reader task and a writer task) for the asyncio client."""

import asyncio
import collections
import os
import select
import shutil
import signal
import subprocess
import threading
import time
from typing import Callable, Deque, Iterable, List, Optional

# Each line handed to write() is a sequence of pieces, written in order without joining them: a
# 100 MB send is not copied once more into one bytes object.
Pieces = Iterable[bytes]
OnLine = Callable[[bytes], None]
# Called once, with the exit status (negative: the signal that ended it) and, when the client
# itself ended the tool because it could not go on reading, the exception that stopped it.
OnEnd = Callable[[int, Optional[BaseException]], None]

# asyncio reads 64 KiB at a time; the reader thread takes what the pipe holds, up to 1 MiB.
ASYNC_READ_SIZE = 65536
THREAD_READ_SIZE = 1 << 20
# How long a finalizer waits for a killed tool to be gone.
EXIT_WAIT = 5.0
# Lines queued together are written with one system call, up to this much; a piece this large
# goes out alone, uncopied.
BATCH_BYTES = 1 << 16

_OPEN, _ENDING, _GONE = "open", "ending", "gone"


def find_binary(binary: Optional[str] = None) -> str:
    """The tool to run: the argument, else VORNEX_PORT_BINARY, else vornex-port on PATH. Returns
    the bare name when PATH has none, so that starting it reports why."""
    if binary:
        return os.fspath(binary)
    from_env = os.environ.get("VORNEX_PORT_BINARY")
    if from_env:
        return from_env
    return shutil.which("vornex-port") or "vornex-port"


class LineSplitter:
    """Cuts a byte stream into lines. Only LF ends a line; a lone CR is data. The pieces of a long
    line are kept as they came and joined once, and only new bytes are searched for LF, so a line
    of many reads costs one copy."""

    def __init__(self) -> None:
        self._parts = []  # type: List[bytes]

    def feed(self, chunk: bytes) -> List[bytes]:
        lines = []
        start = 0
        while True:
            at = chunk.find(b"\n", start)
            if at < 0:
                break
            if self._parts:
                self._parts.append(chunk[start:at])
                parts, self._parts = self._parts, []
                lines.append(b"".join(parts))
            else:
                lines.append(chunk[start:at])
            start = at + 1
        if start < len(chunk):
            self._parts.append(chunk[start:] if start else chunk)
        return lines

    def drop(self) -> None:
        """Forgets the line being gathered (one too long to hold in memory)."""
        self._parts = []


def coalesce(lines: Iterable[Pieces]) -> Iterable[bytes]:
    """The pieces of `lines` in order, small ones joined into writes of up to BATCH_BYTES."""
    batch = []  # type: List[bytes]
    size = 0
    for pieces in lines:
        for piece in pieces:
            if len(piece) >= BATCH_BYTES:
                if batch:
                    yield b"".join(batch)
                    batch, size = [], 0
                yield piece
                continue
            batch.append(piece)
            size += len(piece)
            if size >= BATCH_BYTES:
                yield b"".join(batch)
                batch, size = [], 0
    if batch:
        yield b"".join(batch)


def _block_sigpipe() -> None:
    # Python ignores SIGPIPE, but an embedding program may not have let it: a write to a tool that
    # has ended must fail with EPIPE, never end the host program.
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGPIPE})


class ThreadProcess:
    """The tool, read by a daemon reader thread and written by a daemon writer thread. Any thread
    may call write(), close_input(), send_signal() and wait_end(); on_line and on_end run on the
    reader thread."""

    def __init__(self, argv: List[str], on_line: OnLine, on_end: OnEnd) -> None:
        # OSError (no such file, not executable) reaches the caller: the tool never ran.
        self._popen = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        self.pid = self._popen.pid
        self.returncode = None  # type: Optional[int]
        self._on_line = on_line
        self._on_end = on_end
        self._changed = threading.Condition()
        self._queue = collections.deque()  # type: Deque[Pieces]
        self._input = _OPEN
        self._writing = False  # the writer thread has lines in hand
        self._in_fd = self._popen.stdin.fileno()
        # A caller writes its line itself when nothing is queued, as far as the pipe takes it at
        # once, which spares a hand-over to the writer thread; only where SIGPIPE is ignored, as
        # Python sets it, since that write happens on the caller's thread.
        self._direct = signal.getsignal(signal.SIGPIPE) == signal.SIG_IGN
        if self._direct:
            os.set_blocking(self._in_fd, False)
        self._reaped = False
        self._ended = threading.Event()
        self._reader = threading.Thread(target=self._read, name="vornex-port %d reader" % self.pid, daemon=True)
        self._writer = threading.Thread(target=self._write, name="vornex-port %d writer" % self.pid, daemon=True)
        self._reader.start()
        self._writer.start()

    # Input side.

    def write(self, pieces: Pieces) -> bool:
        """Queues one line; False once the input is closed or gone (the end then settles everything)."""
        with self._changed:
            if self._input != _OPEN:
                return False
            if self._direct and not self._queue and not self._writing:
                rest = self._write_now(pieces)
                if rest is None:
                    return True
                pieces = rest
            self._queue.append(pieces)
            self._changed.notify()
        return True

    def _write_now(self, pieces: Pieces) -> Optional[Pieces]:
        """Writes what the pipe takes without waiting; the rest, or None when all of it went."""
        pieces = list(pieces)
        for at, piece in enumerate(pieces):
            view = memoryview(piece)
            while view:
                try:
                    view = view[os.write(self._in_fd, view):]
                except OSError:  # full, or gone: the writer thread waits, or finds the end
                    return [view] + pieces[at + 1:]
        return None

    def close_input(self) -> None:
        """Ends the tool's input once every queued line is written."""
        with self._changed:
            if self._input == _OPEN:
                self._input = _ENDING
                self._changed.notify()

    def _write(self) -> None:
        _block_sigpipe()
        fd = self._in_fd
        writable = select.poll()
        writable.register(fd, select.POLLOUT)
        try:
            while True:
                with self._changed:
                    self._writing = False
                    while not self._queue and self._input == _OPEN:
                        self._changed.wait()
                    if not self._queue or self._input == _GONE:
                        return
                    lines = list(self._queue)
                    self._queue.clear()
                    self._writing = True
                for piece in coalesce(lines):
                    view = memoryview(piece)
                    while view:
                        try:
                            view = view[os.write(fd, view):]
                        except BlockingIOError:
                            writable.poll()  # until the tool reads, or its end of the pipe is gone
        except OSError:
            pass  # EPIPE: the tool has gone; the reader observes its end
        finally:
            with self._changed:
                self._input = _GONE
                self._queue.clear()
            try:
                self._popen.stdin.close()
            except OSError:
                pass

    # Output side.

    def _read(self) -> None:
        fd = self._popen.stdout.fileno()
        split = LineSplitter()
        reason = None  # type: Optional[BaseException]
        try:
            while True:
                chunk = os.read(fd, THREAD_READ_SIZE)
                if not chunk:
                    break
                try:
                    lines = split.feed(chunk)
                except MemoryError:
                    split.drop()  # a line too long to hold is skipped; the next one is read as usual
                    continue
                for line in lines:
                    self._on_line(line)
        except BaseException as error:  # a fault of the client's own: nothing could read on
            reason = error
            self.send_signal(signal.SIGKILL)
        finally:
            self._popen.stdout.close()
            self._reap()
            with self._changed:
                self._input = _GONE
                self._changed.notify_all()
            self._on_end(self.returncode if self.returncode is not None else -signal.SIGKILL, reason)
            self._ended.set()

    def _reap(self) -> None:
        # Wait for the exit without reaping, so that a signal sent meanwhile can never reach another
        # process that took the same pid; reap under the lock that send_signal takes.
        if hasattr(os, "waitid"):
            while True:
                try:
                    os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOWAIT)
                    break
                except ChildProcessError:
                    break  # reaped by someone else; Popen reports what it can
                except InterruptedError:
                    continue
            with self._changed:
                self.returncode = self._popen.wait()
                self._reaped = True
        else:
            code = self._popen.wait()
            with self._changed:
                self.returncode = code
                self._reaped = True

    # Either side.

    def send_signal(self, sig: int) -> None:
        with self._changed:
            if self._reaped:
                return
            try:
                os.kill(self.pid, sig)
            except ProcessLookupError:
                pass

    def kill_now(self) -> None:
        """SIGKILL for a tool still running, and a short wait for it to be gone: for finalizers
        and interpreter exit, where the daemon reader still runs and reaps it."""
        self.send_signal(signal.SIGKILL)
        self._ended.wait(EXIT_WAIT)

    def wait_end(self, timeout: Optional[float]) -> bool:
        """Whether the end has been observed (on_end has returned) within `timeout` seconds."""
        return self._ended.wait(wait_bound(timeout))

    def join(self) -> None:
        """Joins the reader and writer threads of a tool that has ended."""
        for thread in (self._reader, self._writer):
            if thread is not threading.current_thread():
                thread.join()


def wait_bound(timeout: Optional[float]) -> Optional[float]:
    """A wait that threading can take: None (for ever) from its largest time-out on."""
    if timeout is None or timeout >= threading.TIMEOUT_MAX:
        return None
    return max(timeout, 0.0)


class _Input(asyncio.BaseProtocol):
    """The tool's input pipe, held by the client itself rather than by asyncio's subprocess
    streams: its end is always seen here (connection_lost), and no future of asyncio's is left
    holding an error that nobody retrieves."""

    def __init__(self) -> None:
        self.paused = False
        self.lost = False
        self._waiter = None  # type: Optional[asyncio.Future[None]]

    def pause_writing(self) -> None:
        self.paused = True

    def resume_writing(self) -> None:
        self.paused = False
        self._wake()

    def connection_lost(self, exc: Optional[BaseException]) -> None:
        self.lost = True
        self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    async def writable(self) -> None:
        """Returns once the pipe takes more, or is gone."""
        while self.paused and not self.lost:
            self._waiter = asyncio.get_running_loop().create_future()
            await self._waiter


class AsyncProcess:
    """The tool, read by a reader task (read(65536), lines cut by hand: no readline and its 64 KiB
    limit) and written by a writer task that stops while the pipe is full and goes on when it
    drains or is gone. Its methods are called on the event loop's thread; on_line and on_end run
    in the reader task."""

    def __init__(self, proc: "asyncio.subprocess.Process", stdin: asyncio.WriteTransport, input: _Input,
                 on_line: OnLine, on_end: OnEnd) -> None:
        self._proc = proc
        self._stdin = stdin
        self._pipe = input
        self.pid = proc.pid
        self.returncode = None  # type: Optional[int]
        self._on_line = on_line
        self._on_end = on_end
        loop = asyncio.get_running_loop()
        self._ended = loop.create_future()  # type: asyncio.Future[None]
        self._queue = collections.deque()  # type: Deque[Pieces]
        self._input = _OPEN
        self._wake = asyncio.Event()
        self._reader = loop.create_task(self._read())
        self._writer = loop.create_task(self._write())

    @classmethod
    async def spawn(cls, argv: List[str], on_line: OnLine, on_end: OnEnd) -> "AsyncProcess":
        read_end, write_end = os.pipe()
        try:
            proc = await asyncio.create_subprocess_exec(*argv, stdin=read_end, stdout=subprocess.PIPE)
        except BaseException:
            os.close(write_end)
            raise
        finally:
            os.close(read_end)
        if signal.getsignal(signal.SIGPIPE) != signal.SIG_IGN:
            _block_sigpipe()  # an embedding program left SIGPIPE fatal: not for this loop's writes
        stdin, input = await asyncio.get_running_loop().connect_write_pipe(_Input, open(write_end, "wb", 0))
        return cls(proc, stdin, input, on_line, on_end)  # type: ignore[arg-type]

    def write(self, pieces: Pieces) -> bool:
        if self._input != _OPEN:
            return False
        self._queue.append(pieces)
        self._wake.set()
        return True

    def close_input(self) -> None:
        if self._input == _OPEN:
            self._input = _ENDING
            self._wake.set()

    async def _write(self) -> None:
        try:
            while True:
                while not self._queue and self._input == _OPEN:
                    self._wake.clear()
                    await self._wake.wait()
                if not self._queue or self._input == _GONE or self._pipe.lost:
                    return
                lines = list(self._queue)
                self._queue.clear()
                for piece in coalesce(lines):
                    self._stdin.write(piece)
                await self._pipe.writable()
        finally:
            self._input = _GONE
            self._queue.clear()
            self._stdin.close()

    async def _read(self) -> None:
        stdout = self._proc.stdout
        assert stdout is not None
        split = LineSplitter()
        reason = None  # type: Optional[BaseException]
        try:
            while True:
                chunk = await stdout.read(ASYNC_READ_SIZE)
                if not chunk:
                    break
                try:
                    lines = split.feed(chunk)
                except MemoryError:
                    split.drop()
                    continue
                for line in lines:
                    self._on_line(line)
        except asyncio.CancelledError:
            # The loop is going away (asyncio.run's end) with the tool still running: end it.
            self.send_signal(signal.SIGKILL)
            raise
        except BaseException as error:  # a fault of the client's own: nothing could read on
            reason = error
            self.send_signal(signal.SIGKILL)
        code = await self._proc.wait()
        self.returncode = code
        self._input = _GONE
        self._wake.set()
        self._on_end(code, reason)
        self._ended.set_result(None)

    def send_signal(self, sig: int) -> None:
        if self.returncode is not None:
            return
        try:
            self._proc.send_signal(sig)
        except (ProcessLookupError, RuntimeError):
            pass  # reaped meanwhile, or the loop is closed

    def kill_now(self) -> None:
        """SIGKILL for a tool still running, from any thread, and a short wait for it to be gone
        (not reaped: asyncio's child watcher does that); for finalizers and interpreter exit."""
        if self.returncode is not None or self._proc.returncode is not None:
            return
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            return
        if not hasattr(os, "waitid"):
            return
        deadline = time.monotonic() + EXIT_WAIT
        while time.monotonic() < deadline:
            try:
                if os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None:
                    return
            except ChildProcessError:
                return
            time.sleep(0.001)

    async def wait_end(self, timeout: Optional[float]) -> bool:
        if not self._ended.done():
            bound = None if timeout is None or timeout == float("inf") else max(timeout, 0.0)
            await asyncio.wait([self._ended], timeout=bound)
        return self._ended.done()

    async def join(self) -> None:
        """Waits for the reader and writer tasks of a tool that has ended."""
        current = asyncio.current_task() if hasattr(asyncio, "current_task") else None
        await asyncio.gather(*(t for t in (self._reader, self._writer) if t is not current),
                             return_exceptions=True)
