"""The status of a send, as the tool reports it (docs/protocol.md, "The status of a "sent" event")."""

import enum
from typing import Union


class Status(enum.IntEnum):
    SUCCESS = 0
    """Delivered, and the reply came within the time-out."""
    SEND_TIMEOUT = -1
    """Not queued within the time-out: the receiver's queue stayed full. It did not get it."""
    RECEIVE_TIMEOUT = -2
    """Queued, but no reply came in time: the receiver has the request and may still act on it."""
    IS_INVALID = -3
    """The port was no longer valid when the request was to go out."""
    TRANSPORT_ERROR = -4
    """The transport failed (too large, garbled, the tool short of descriptors): not delivered."""
    BECAME_INVALID = -5
    """The receiver went away while the request waited for its reply: whether it acted is unknown."""
    NOT_REGISTERED = -99
    """No port has the target name; nothing was sent."""


def as_status(value: int) -> Union[Status, int]:
    """The named status, or the number itself: any other value the service gives is passed through."""
    try:
        return Status(value)
    except ValueError:
        return value


def status_name(value: int) -> str:
    """"RECEIVE_TIMEOUT" for -2; the number as text for a status without a name."""
    status = as_status(value)
    return status.name if isinstance(status, Status) else str(value)
