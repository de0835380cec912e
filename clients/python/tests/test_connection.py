"""The connection's waits, on a clock the test drives: how long the client waits for a send's
answer follows docs/protocol.md's "How long a driver waits for a "sent""."""

import pytest

from vornex_port._connection import MARGIN, Connection


class Clock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


def ignore(value, error):
    pass


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def connection(clock):
    return Connection(lambda message: None, clock)


def test_a_send_alone_waits_one_window_and_the_margin(connection):
    id, wait, _ = connection.send("t", b"", 2.0, ignore, None)
    assert wait == pytest.approx(4.1 + MARGIN)
    assert connection.remaining(id) == pytest.approx(4.1 + MARGIN)


def test_a_send_written_behind_others_waits_past_their_deadlines(connection, clock):
    first, _, _ = connection.send("t", b"", 10.0, ignore, None)  # deadline 120.1
    clock.now += 1.0
    _, wait, _ = connection.send("u", b"", 1.0, ignore, None)
    # It may be held until the first one's wait ends: one window after that deadline at least.
    assert clock.now + wait >= 120.1 + 2.1 + MARGIN - 1e-9


def test_a_later_send_moves_an_earlier_ones_deadline_on(connection, clock):
    first, wait, _ = connection.send("t", b"", 1.0, ignore, None)  # deadline 102.1
    clock.now += 2.0
    connection.send("u", b"", 10.0, ignore, None)  # written at 102, window 20.1
    clock.now += wait - 2.0  # the first one's wait, as it was given, is over
    assert connection.remaining(first) >= 102 + 20.1 + 2.1 + MARGIN - clock.now - 1e-9


def test_answered_sends_no_longer_count_and_a_callers_wait_is_its_own(connection, clock):
    id, _, _ = connection.send("t", b"", 100.0, ignore, None)
    connection.handle_line(b'{"event":"sent","id":%d,"status":0}' % id)
    clock.now += 1.0
    id, wait, _ = connection.send("t", b"", 1.0, ignore, None)
    assert wait == pytest.approx(2.1 + MARGIN)
    id, wait, _ = connection.send("t", b"", 1.0, ignore, 0.5)
    clock.now += 0.25
    assert (wait, connection.remaining(id)) == (0.5, pytest.approx(0.25))
    assert connection.grace() >= 2.1 + MARGIN - 0.25 - 1e-9
