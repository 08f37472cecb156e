"""A signal handler's exception (Ctrl-C) ends a long call promptly, and the
library is ready for the next call.

"Promptly" is relative to the machine's speed at the time, which on a shared
machine varies by a factor of ten: the exception must come within a few times
what a short search takes just before and just after the long call (a
tenth of a second or less on an idle machine), while each long call runs for
many times that margin when nothing stops it."""

import signal
import time

import pytest

import vok_core

ALARM_AFTER = 0.3  # seconds until the handler raises
PROMPT = 10        # the exception must arrive within this many reference searches after it


class Alarm(Exception):
    pass


def _raise_alarm(signum, frame):
    raise Alarm


def _search(max_complexity):
    rows = 300
    xs = [[0.01 * i for i in range(rows)], [float(i % 7) for i in range(rows)]]
    ys = [a * b + 0.1234 for a, b in zip(*xs)]
    vok_core.find_formula(xs, ys, max_complexity=max_complexity, beam_width=6000, precision_goal=0.0)


def _long_search():
    _search(12)


def _reference_seconds():
    """The wall time of a short search (about 1/50 of the long one's work)."""
    start = time.perf_counter()
    _search(7)
    return time.perf_counter() - start


LONG_CALLS = {
    "geometric product of dimension 16": lambda: vok_core.geometric_product_n(
        [[1.0] * 2**16], [[1.0] * 2**16], [1] * 16),
    "pulse simulation": lambda: vok_core.simulate_pulses_n(0.1, 0.2, 10**8),
    "formula search": _long_search,
}

# Small calls of each kind with the values they give, taken before any
# interrupt: the same calls after one must give the same values.
SMALL_CALLS = [
    lambda: vok_core.geometric_product_n([[1.0, 2.0, 3.0, 4.0]], [[0.5, -1.0, 2.0, 0.25]], [1, -1]),
    lambda: vok_core.simulate_pulses_n(0.1, 0.2, 5),
    lambda: vok_core.find_formula([[0.5, 1.0, 2.0, 3.0]], [1.5, 2.0, 3.0, 4.0], max_complexity=3).formula,
    lambda: vok_core.tension_n([float(i) for i in range(20000)], [0.5] * 20000),
]


@pytest.fixture
def alarm():
    previous = signal.signal(signal.SIGALRM, _raise_alarm)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


@pytest.mark.parametrize("name", LONG_CALLS)
def test_the_handlers_exception_arrives_promptly_and_the_next_calls_are_right(alarm, name):
    before = [call() for call in SMALL_CALLS]
    reference = _reference_seconds()
    signal.setitimer(signal.ITIMER_REAL, ALARM_AFTER)
    start = time.perf_counter()
    with pytest.raises(Alarm):
        LONG_CALLS[name]()
    late = time.perf_counter() - start - ALARM_AFTER
    reference = max(reference, _reference_seconds())
    assert late < PROMPT * reference, \
        f"{name}: the exception came {late:.2f} s after the signal, a short search took {reference:.3f} s"
    assert [call() for call in SMALL_CALLS] == before
