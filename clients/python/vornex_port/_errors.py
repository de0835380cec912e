"""The errors a caller can tell apart by class. Each carries what a program needs to decide what
to do next (the exit status, the wait that ended), not only a text."""

import asyncio
import builtins
from typing import Optional


def describe_end(exit_status: Optional[int]) -> str:
    """How the tool ended, in subprocess's convention: a negative status is the signal that ended it."""
    if exit_status is None:
        return "no exit status yet"
    if exit_status < 0:
        return "signal %d" % -exit_status
    return "exit status %d" % exit_status


def _signal_of(exit_status: Optional[int]) -> Optional[int]:
    return -exit_status if exit_status is not None and exit_status < 0 else None


class VornexPortError(Exception):
    """Base of every error of this package."""


class StartError(VornexPortError):
    """The tool did not reach "ready": it refused its command line (64), a name was taken (65), it
    had too few file descriptors (71), or it could not be run at all (exit_status None)."""

    def __init__(self, exit_status: Optional[int], message: str) -> None:
        super().__init__(exit_status, message)
        self.exit_status = exit_status
        self.signal = _signal_of(exit_status)
        self.message = message

    def __str__(self) -> str:
        if self.exit_status is None:
            return self.message
        return "%s (%s)" % (self.message, describe_end(self.exit_status))


class ClosedError(VornexPortError, ConnectionError):
    """The tool has ended, or was told to end, so this request is never answered. exit_status is
    None when the request was refused before the tool was gone (after quit(), or once close()
    began)."""

    def __init__(self, message: str, exit_status: Optional[int] = None) -> None:
        # OSError would read two arguments as (errno, strerror): give it only the text.
        super().__init__(message)
        self.exit_status = exit_status
        self.signal = _signal_of(exit_status)


# asyncio's own TimeoutError is a class of its own before 3.11; inheriting it as well lets either
# `except` clause catch the client's wait, whichever a program was written against.
_timeout_bases = (VornexPortError, builtins.TimeoutError)
if asyncio.TimeoutError is not builtins.TimeoutError:
    _timeout_bases += (asyncio.TimeoutError,)


class TimeoutError(*_timeout_bases):  # type: ignore[misc]  # noqa: A001
    """The client's own wait for an answer ended. The answer, if it comes later, is dropped."""

    def __init__(self, what: str, wait: float) -> None:
        super().__init__("no answer to %s within %g s" % (what, wait))
        self.wait = wait
