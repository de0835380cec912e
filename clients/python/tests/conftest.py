"""Runs the package against the real tool: VORNEX_PORT_BINARY, as CTest sets it, else the
tool of the default build."""

import asyncio
import functools
import itertools
import os
import signal
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import vornex_port  # noqa: E402

BINARY = os.environ.get("VORNEX_PORT_BINARY") or os.path.join(HERE, "..", "..", "..", "build", "bin", "vornex-port")
os.environ["VORNEX_PORT_BINARY"] = BINARY

# Only turns a hang into a failure; never a measure of speed.
WAIT = 120.0

_names = itertools.count()


def pytest_collection_modifyitems(items):
    if not os.access(BINARY, os.X_OK):
        skip = pytest.mark.skip(reason="no vornex-port at %s: build it, or set VORNEX_PORT_BINARY" % BINARY)
        for item in items:
            item.add_marker(skip)


def unique(tag="p"):
    """A port name that no other test, and no parallel run, uses."""
    return "py.%d.%d.%s" % (os.getpid(), next(_names), tag)


def run(test):
    """An asyncio test, run in a loop of its own."""

    @functools.wraps(test)
    def wrapper(*args, **kwargs):
        return asyncio.run(test(*args, **kwargs))

    return wrapper


@pytest.fixture
def ports():
    """Starts blocking ports that are gone when the test ends: ports(name, ...)."""
    started = []

    def start(*names, **options):
        port = vornex_port.Port(list(names), **options)
        started.append(port)
        return port

    yield start
    for port in started:
        port.kill()  # SIGKILL ends a stopped tool too


@pytest.fixture
def stopped(ports):
    """A receiver that takes nothing: a vornex-port stopped with SIGSTOP. Returns its name and port."""

    def start():
        name = unique("stopped")
        port = ports(name)
        os.kill(port.pid, signal.SIGSTOP)
        return name, port

    return start
