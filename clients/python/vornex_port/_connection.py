"""The connection: the client's own ids, the table of pending requests with the wait each may
take, every one failed at once when the process ends, and the tool's events read by key. The
tool's rules about time live here, each named once with the sentence of docs/protocol.md it
comes from. Knows nothing of threads or asyncio: the API layer hands each request a `settle`
callable and waits in its own way."""

import base64
import binascii
import heapq
import json
import math
import threading
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

from ._errors import ClosedError, describe_end
from ._status import Status, as_status

# "So one send ends within twice its "timeout", plus at most 0.1 s."
HOLD_SLACK = 0.1
# "From 864,000 seconds (ten days) on, the queueing has no time limit."
UNLIMITED_QUEUEING = 864000.0
# "1,024 sends waiting for replies at the same time": the next one is held.
WAITING_SEND_LIMIT = 1024
# Not the tool's: how much later than the tool's own bound the client gives up on an answer, for
# a machine so busy that the tool reads a command late. Only a hung tool ever uses it up.
MARGIN = 5.0
# A lookup is answered at once ("lookup ... answered at once"), as soon as the tool reads it.
LOOKUP_WAIT = 10.0
# The least time close() gives the tool to end once its input is closed (a sanitizer's report
# at exit takes a while), and the time SIGTERM gets before SIGKILL.
CLOSE_GRACE = 10.0
TERM_GRACE = 5.0
# A time-out past both of the tool's limits, for a send that may wait for ever.
_FOREVER_TEXT = b"1e10"
DEFAULT_TIMEOUT = 5.0

Settle = Callable[[Any, Optional[BaseException]], None]


class Message(NamedTuple):
    """A message that arrived on one of the tool's ports."""

    port: str
    msgid: int
    data: bytes


def send_time(timeout: float) -> float:
    """How long one send may take from when it begins: twice its time-out plus 0.1 s."""
    if timeout >= UNLIMITED_QUEUEING:
        return math.inf
    return 2 * max(timeout, 0.0) + HOLD_SLACK


class _Request:
    __slots__ = ("kind", "target", "end", "deadline", "held", "settle")

    def __init__(self, kind: str, target: str, end: float, deadline: float, held: bool, settle: Settle) -> None:
        self.kind = kind
        self.target = target
        self.end = end  # the tool's own bound on its answer (sends), on the monotonic clock
        self.deadline = deadline  # where the client stops waiting
        self.held = held  # whether the tool may hold it behind waits it would outlast
        self.settle = settle


def _timeout_text(timeout: float) -> bytes:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError("timeout must be a number of seconds, not %r" % (timeout,))
    if math.isnan(timeout):
        raise ValueError("timeout must be a number of seconds, not NaN")
    if math.isinf(timeout):
        return _FOREVER_TEXT if timeout > 0 else b"0"
    return json.dumps(float(timeout)).encode()


def _data_bytes(data: Union[bytes, bytearray, memoryview, str]) -> bytes:
    if isinstance(data, str):
        return base64.b64encode(data.encode("utf-8"))
    if isinstance(data, (bytes, bytearray, memoryview)):
        return base64.b64encode(data)
    raise TypeError("data must be bytes (or str, sent as UTF-8), not %s" % type(data).__name__)


def _target_text(target: str) -> bytes:
    if not isinstance(target, str):
        raise TypeError("target must be a port name (str), not %s" % type(target).__name__)
    return json.dumps(target).encode()


QUIT_LINE = (b'{"cmd":"quit"}\n',)

# A message line above this size has its Base64 taken out before the rest is parsed as JSON.
BIG_LINE = 1 << 20
_DATA_KEY = b'"data":"'


def _cut_data(line: bytes) -> Tuple[bytes, Optional[memoryview]]:
    """The line without its "data" text, and that text, uncopied. In valid JSON a quote inside a
    string is escaped, so the key's pattern found here is the key itself; Base64 holds no quote."""
    at = line.find(_DATA_KEY)
    if at < 0:
        return line, None
    start = at + len(_DATA_KEY)
    end = line.find(b'"', start)
    if end < 0:
        return line, None
    return line[:start] + line[end:], memoryview(line)[start:end]


class Connection:
    """The table of pending requests and the tool's events. Any thread may call its methods;
    handle_line() and end() are called by the process's reader only."""

    def __init__(self, on_message: Callable[[Message], None]) -> None:
        self._lock = threading.Lock()
        self._next_id = 1
        self._pending = {}  # type: Dict[int, _Request]
        # The sends' bounds, earliest and latest first; entries of answered sends are skipped when met.
        self._earliest = []  # type: List[Tuple[float, int]]
        self._latest = []  # type: List[Tuple[float, int]]
        self._held_targets = {}  # type: Dict[str, int]
        self._sends = 0
        self._refusal = None  # type: Optional[str]
        self._on_message = on_message
        self.on_ready = lambda: None  # type: Callable[[], None]
        self.ports = None  # type: Optional[List[str]]
        self.last_error = None  # type: Optional[str]
        self.ended = False
        self.exit_status = None  # type: Optional[int]

    # Requests.

    def lookup(self, target: str, settle: Settle, wait: Optional[float]) -> Tuple[int, float, Tuple[bytes, ...]]:
        """Registers a lookup; returns its id, the client's wait and its line."""
        text = _target_text(target)
        id, wait = self._begin("lookup", target, settle, LOOKUP_WAIT, 0.0, wait)
        return id, wait, (b'{"cmd":"lookup","id":%d,"target":%s}\n' % (id, text),)

    def send(self, target: str, data: Union[bytes, str], timeout: float, settle: Settle,
             wait: Optional[float]) -> Tuple[int, float, Tuple[bytes, ...]]:
        """Registers a send; returns its id, the client's wait and its line, in pieces."""
        text, encoded, seconds = _target_text(target), _data_bytes(data), _timeout_text(timeout)
        id, wait = self._begin("send", target, settle, None, send_time(float(timeout)), wait)
        head = b'{"cmd":"send","id":%d,"target":%s,"timeout":%s,"data":"' % (id, text, seconds)
        return id, wait, (head, encoded, b'"}\n')

    def _begin(self, kind: str, target: str, settle: Settle, fixed_wait: Optional[float], own: float,
               wait: Optional[float]) -> Tuple[int, float]:
        if wait is not None and (isinstance(wait, bool) or not isinstance(wait, (int, float)) or math.isnan(wait)):
            raise TypeError("wait must be a number of seconds, not %r" % (wait,))
        with self._lock:
            if self._refusal is not None:
                raise ClosedError(self._refusal, self.exit_status)
            id = self._next_id
            self._next_id += 1
            now = time.monotonic()
            end, held = now, False
            if kind == "send":
                end, held = self._send_end(now, own, target)
            if wait is None:
                wait = fixed_wait if fixed_wait is not None else end - now + MARGIN
            self._pending[id] = _Request(kind, target, end, now + wait, held, settle)
            if kind == "send":
                self._sends += 1
                heapq.heappush(self._earliest, (end, id))
                heapq.heappush(self._latest, (-end, id))
                if held:
                    self._held_targets[target] = self._held_targets.get(target, 0) + 1
            return id, wait

    def _send_end(self, now: float, own: float, target: str) -> Tuple[float, bool]:
        """The latest a new send can be answered, and whether the tool may hold it. From the docs'
        Order: "A send that would end more than 0.1 s after the deadline of a wait it would run
        inside ... is held until that wait ends; it begins then", and "A send to the same target
        written after a held one is held behind it". The innermost wait is not known here, so a send
        that may be held is given the latest bound of those in flight as its beginning."""
        earliest = self._top(self._earliest)
        if earliest is None:
            return now + own, False
        fits = now + own <= earliest + HOLD_SLACK and self._sends < WAITING_SEND_LIMIT
        if fits and not self._held_targets.get(target):
            return now + own, False
        latest = self._top(self._latest)
        assert latest is not None
        return max(now, -latest) + own, True

    def _top(self, heap: List[Tuple[float, int]]) -> Optional[float]:
        while heap and heap[0][1] not in self._pending:
            heapq.heappop(heap)
        return heap[0][0] if heap else None

    def _take(self, id: int) -> Optional[_Request]:
        request = self._pending.pop(id, None)
        if request is not None and request.kind == "send":
            self._sends -= 1
        if request is not None and request.held:
            left = self._held_targets[request.target] - 1
            if left:
                self._held_targets[request.target] = left
            else:
                del self._held_targets[request.target]
        if not self._pending:
            self._earliest.clear()
            self._latest.clear()
        return request

    def pending(self) -> int:
        with self._lock:
            return len(self._pending)

    def drop(self, id: int) -> bool:
        """Forgets a request whose caller stopped waiting; False when it was settled meanwhile."""
        with self._lock:
            return self._take(id) is not None

    def grace(self) -> float:
        """How long close() lets the tool end: at least until the latest wait in flight ends."""
        with self._lock:
            now = time.monotonic()
            return max([CLOSE_GRACE] + [r.deadline - now for r in self._pending.values()])

    def refuse(self, why: str) -> None:
        """Every later request fails with ClosedError(why), before the tool is gone."""
        with self._lock:
            if self._refusal is None:
                self._refusal = why

    def fail_pending(self, why: str) -> None:
        """Fails every request in flight at once, with ClosedError(why)."""
        with self._lock:
            taken = [self._take(id) for id in list(self._pending)]
        for request in taken:
            if request is not None:
                request.settle(None, ClosedError(why, None))

    # Events.

    def handle_line(self, line: bytes) -> None:
        data = None  # type: Optional[memoryview]
        if len(line) > BIG_LINE:
            line, data = _cut_data(line)
        try:
            event = json.loads(line)
            kind = event.get("event")
        except (ValueError, AttributeError, RecursionError):
            return  # not one of the tool's events
        if kind == "lookup" or kind == "sent":
            id = event.get("id")
            if type(id) is not int:
                return
            with self._lock:
                request = self._take(id)
            if request is None:
                return  # its caller gave up on it, or quit() failed it
            if kind == "lookup":
                request.settle(event.get("found") is True, None)
            else:
                status = event.get("status")
                request.settle(as_status(status) if type(status) is int else Status.TRANSPORT_ERROR, None)
        elif kind == "message":
            try:
                message = Message(str(event.get("port", "")), int(event.get("msgid", 0)),
                                  binascii.a2b_base64(data if data is not None else event.get("data") or ""))
            except (TypeError, ValueError, binascii.Error):
                return
            self._on_message(message)
        elif kind == "ready" and self.ports is None:
            ports = event.get("ports")
            self.ports = [str(p) for p in ports] if isinstance(ports, list) else []
            self.on_ready()
        elif kind == "error":
            self.last_error = str(event.get("message"))

    def end(self, exit_status: int, reason: Optional[BaseException]) -> str:
        """The tool has ended: every request in flight and every later one fails with ClosedError,
        whose text this returns."""
        why = "vornex-port ended (%s)" % describe_end(exit_status)
        if reason is not None:
            why = "vornex-port was ended by the client, which could not read on (%r)" % (reason,)
        elif self.last_error and self.ports is not None:
            why += ': "%s"' % self.last_error
        with self._lock:
            self.ended = True
            self.exit_status = exit_status
            self._refusal = why
            taken = [self._take(id) for id in list(self._pending)]
        for request in taken:
            if request is not None:
                request.settle(None, ClosedError(why, exit_status))
        return why
