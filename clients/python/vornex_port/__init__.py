"""Start and drive vornex-port from Python: lookups, sends and incoming messages, blocking
(Port) or with asyncio (AsyncPort). Standard library only."""

from ._api import AsyncPort, Port
from ._connection import Message
from ._errors import ClosedError, StartError, TimeoutError, VornexPortError
from ._process import find_binary
from ._status import Status, status_name

__all__ = ["AsyncPort", "ClosedError", "Message", "Port", "StartError", "Status", "TimeoutError",
           "VornexPortError", "find_binary", "status_name"]
__version__ = "1.0.0"
