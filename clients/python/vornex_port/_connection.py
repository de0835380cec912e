"""The connection: the client's own ids, the table of pending requests with the wait each may
take, every one failed at once when the process ends, and the tool's events read by key. The
tool's rules about time live here, each named once with the sentence of docs/protocol.md it
comes from. Knows nothing of threads or asyncio: the API layer hands each request a `settle`
callable and waits in its own way."""

import base64
import binascii
import bisect
import heapq
import json
import math
import threading
import time
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

from ._errors import ClosedError, describe_end
from ._status import Status, as_status

# "A send's *window* is twice its "timeout" plus 0.1 s." (docs/protocol.md, Order)
WINDOW_SLACK = 0.1
# "From 864,000 seconds (ten days) on, the queueing has no time limit."
UNLIMITED_QUEUEING = 864000.0
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


def window(timeout: float) -> float:
    """A send's window: twice its time-out plus 0.1 s; for ever once the queueing has no limit."""
    if timeout >= UNLIMITED_QUEUEING:
        return math.inf
    return 2 * max(timeout, 0.0) + WINDOW_SLACK


class _Request:
    __slots__ = ("kind", "own", "window", "wait", "settle")

    def __init__(self, kind: str, own: float, window: float, wait: Optional[float], settle: Settle) -> None:
        self.kind = kind
        # A send's deadline as it was written; later sends may move it on (see _deadline).
        self.own = own
        self.window = window
        self.wait = wait  # the caller's own wait, from when it was written, if it gave one
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

    def __init__(self, on_message: Callable[[Message], None], clock: Callable[[], float] = time.monotonic) -> None:
        self._clock = clock
        self._lock = threading.Lock()
        self._next_id = 1
        self._pending = {}  # type: Dict[int, _Request]
        # No earlier than the latest deadline of the sends in flight: exact while none is answered,
        # and forgotten when none is left. The windows of the sends in flight, widest first, with
        # entries of answered sends skipped when met.
        self._latest = -math.inf
        self._widest = []  # type: List[Tuple[float, int]]
        # Each send's written moment plus its window, kept only where no later one is larger, so
        # that the largest after a given send is the first kept after it.
        self._pushes = []  # type: List[Tuple[int, float]]
        self._refusal = None  # type: Optional[str]
        self._on_message = on_message
        self.on_ready = lambda: None  # type: Callable[[], None]
        self.ports = None  # type: Optional[List[str]]
        self.last_error = None  # type: Optional[str]
        self.ended = False
        self.exit_status = None  # type: Optional[int]

    # Requests.

    def lookup(self, target: str, settle: Settle, wait: Optional[float]) -> Tuple[int, float, Tuple[bytes, ...]]:
        """Registers a lookup; returns its id, the client's first wait and its line."""
        text = _target_text(target)
        id, wait = self._begin("lookup", 0.0, settle, wait)
        return id, wait, (b'{"cmd":"lookup","id":%d,"target":%s}\n' % (id, text),)

    def send(self, target: str, data: Union[bytes, str], timeout: float, settle: Settle,
             wait: Optional[float]) -> Tuple[int, float, Tuple[bytes, ...]]:
        """Registers a send; returns its id, the client's first wait and its line, in pieces."""
        text, encoded, seconds = _target_text(target), _data_bytes(data), _timeout_text(timeout)
        id, wait = self._begin("send", window(float(timeout)), settle, wait)
        head = b'{"cmd":"send","id":%d,"target":%s,"timeout":%s,"data":"' % (id, text, seconds)
        return id, wait, (head, encoded, b'"}\n')

    def _begin(self, kind: str, width: float, settle: Settle, wait: Optional[float]) -> Tuple[int, float]:
        if wait is not None and (isinstance(wait, bool) or not isinstance(wait, (int, float)) or math.isnan(wait)):
            raise TypeError("wait must be a number of seconds, not %r" % (wait,))
        with self._lock:
            if self._refusal is not None:
                raise ClosedError(self._refusal, self.exit_status)
            id = self._next_id
            self._next_id += 1
            now = self._clock()
            own = now
            if kind == "lookup" and wait is None:
                wait = LOOKUP_WAIT
            elif kind == "send":
                # "Its answer comes at the latest one window after the latest of: the moment it was
                # written; the deadline of each send still unanswered then; and, while it is
                # unanswered, the moment each later send is written plus that send's own window."
                own = max(now, self._latest) + width
                widest = self._top(self._widest)
                # Each send in flight may now end one of its windows after this one's push.
                self._latest = max(self._latest, own, now + width - widest if widest is not None else own)
                heapq.heappush(self._widest, (-width, id))
                while self._pushes and self._pushes[-1][1] <= now + width:
                    self._pushes.pop()
                self._pushes.append((id, now + width))
            request = _Request(kind, own, width, None if wait is None else now + wait, settle)
            self._pending[id] = request
            return id, wait if wait is not None else own - now + MARGIN

    def _deadline(self, id: int, request: _Request) -> float:
        """A send's deadline now: its own, or one window after the latest later send's push."""
        at = bisect.bisect_right(self._pushes, (id, math.inf))
        if at < len(self._pushes):
            return max(request.own, self._pushes[at][1] + request.window)
        return request.own

    def remaining(self, id: int) -> Optional[float]:
        """How much longer the caller of a request still in flight waits; None once it is not."""
        with self._lock:
            request = self._pending.get(id)
            if request is None:
                return None
            if request.wait is not None:
                return request.wait - self._clock()
            return self._deadline(id, request) + MARGIN - self._clock()

    def _top(self, heap: List[Tuple[float, int]]) -> Optional[float]:
        while heap and heap[0][1] not in self._pending:
            heapq.heappop(heap)
        return heap[0][0] if heap else None

    def _take(self, id: int) -> Optional[_Request]:
        request = self._pending.pop(id, None)
        if not self._pending:
            self._latest = -math.inf
            self._widest.clear()
            self._pushes.clear()
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
            now = self._clock()
            waits = [r.wait for r in self._pending.values() if r.wait is not None]
            return max([CLOSE_GRACE, self._latest + MARGIN - now] + [w - now for w in waits])

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
