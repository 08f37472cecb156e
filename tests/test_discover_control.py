"""Controlling a discover() search: progress reports, stopping, the time
limit, interrupts, other threads, and the Pareto front."""

import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vok_math


def noisy(rows=100, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, (rows, 3))
    return X, np.sin(X[:, 0]) * X[:, 1] + 0.1 * rng.normal(size=rows)


# Far more levels than any test waits for (a level takes milliseconds): only
# a stop ends it.
ENDLESS = {"max_complexity": 10**6, "beam_width": 400}
# The search's own best, as the progress callback reports it: not chosen
# again from the front, constants as fitted.
AS_SEARCHED = {"selection": "penalty", "snap": False, "decompose": False}


def test_progress_reports_each_level_and_can_stop():
    X, y = noisy()
    seen = []
    full = vok_math.discover(X, y, max_complexity=5, progress=lambda *report: seen.append(report), **AS_SEARCHED)
    assert [level for level, _, _ in seen] == [1, 2, 3, 4, 5]
    assert all(candidates > 0 for _, candidates, _ in seen)
    assert seen[-1][2].tokens == full.tokens and full.complete

    stopped = vok_math.discover(X, y, max_complexity=5, progress=lambda level, *_: level < 3, **AS_SEARCHED)
    assert not stopped.complete
    assert stopped.tokens == seen[2][2].tokens


def test_progress_errors_propagate():
    def fail(*_):
        raise LookupError("from the callback")
    with pytest.raises(LookupError, match="from the callback"):
        vok_math.discover(*noisy(), progress=fail)


def test_ctrl_c_in_the_callback_is_an_interrupt():
    reported = []

    def interrupt(level, _, best):
        reported.append(best)
        if level == 3:
            raise KeyboardInterrupt
    with pytest.warns(RuntimeWarning, match="interrupted by KeyboardInterrupt"):
        f = vok_math.discover(*noisy(), max_complexity=5, progress=interrupt, **AS_SEARCHED)
    assert not f.complete and len(reported) == 3 and f.tokens == reported[-1].tokens


def test_progress_bar_on_stderr(capsys):
    vok_math.discover(*noisy(), max_complexity=3, progress=True)
    err = capsys.readouterr().err
    assert "level 3/3" in err and "candidates" in err and err.endswith("\n")


def test_time_limit_returns_the_best_so_far():
    f = vok_math.discover(*noisy(), time_limit=0.3, **ENDLESS)
    assert isinstance(f, vok_math.Formula) and not f.complete


def test_interrupt_returns_the_best_so_far_with_a_warning():
    def interrupt(*_):
        raise KeyboardInterrupt
    X, y = noisy()
    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.warns(RuntimeWarning, match="interrupted by KeyboardInterrupt"):
            f = vok_math.discover(X, y, **ENDLESS)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert not f.complete


def test_memory_limit_returns_the_best_so_far_with_a_warning():
    # An unbounded beam: the pool of level 3 would make a fourth level far
    # beyond the search's memory limit, which it refuses before starting it.
    levels = []
    with pytest.warns(RuntimeWarning, match="memory limit"):
        f = vok_math.discover(*noisy(), max_complexity=40, beam_width=10**12,
                              progress=lambda level, _, best: levels.append((level, best)), **AS_SEARCHED)
    assert not f.complete and f.tokens == levels[-1][1].tokens


def test_other_threads_run_during_a_search():
    # A short switch interval keeps the other thread's turns outside the
    # search (while this one waits to take the lock back) small.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    counts, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            counts[0] += 1

    def spins_per_second(action):
        before, start = counts[0], time.perf_counter()
        action()
        return (counts[0] - before) / (time.perf_counter() - start)
    thread = threading.Thread(target=spin)
    thread.start()
    try:
        # The reference: the other thread alone with the lock, before and
        # after the search (the machine's load may change meanwhile).
        alone = spins_per_second(lambda: time.sleep(0.3))
        during = spins_per_second(lambda: vok_math.discover(*noisy(), time_limit=1.0, **ENDLESS))
        alone = min(alone, spins_per_second(lambda: time.sleep(0.3)))
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(previous)
    # It shares the cores with the search's workers; holding the lock
    # through the search would leave it next to nothing.
    assert during > alone / 10, f"{during:.0f} spins/s during the search, {alone:.0f} without"


def test_front_is_pareto_and_holds_the_choice_with_r2_and_constants():
    X, y = noisy()
    f = vok_math.discover(X, y, snap=False)
    complexities = [g.complexity for g in f.front]
    rmses = [g.rmse for g in f.front]
    assert complexities == sorted(set(complexities))
    assert all(a > b for a, b in zip(rmses, rmses[1:]))
    assert (f.tokens, f.params) in [(g.tokens, g.params) for g in f.front]
    assert all(g.names == f.names for g in f.front)
    for g in f.front:
        assert g.params and g.r2 == pytest.approx(1 - g.rmse**2 / np.var(y), rel=1e-12)
        assert np.sqrt(np.mean((g.predict(X) - y) ** 2)) == pytest.approx(g.rmse, rel=1e-12)


def test_a_signal_stops_predict_promptly():
    # sin applied 400 times over 100000 rows: long enough that a signal
    # half-way must end the call well before it would have finished, timed
    # against a full evaluation in this run.
    x, sin = (2, 0, 0, 0.0), (3, 5, 0, 0.0)
    f = vok_math.Formula((x,) + (sin,) * 400, ("x",), 0.0, 401, 0.0)
    X = np.linspace(0.0, 1.0, 100_000)[:, None]
    start = time.perf_counter()
    before = f.predict(X)[:1000]
    full = time.perf_counter() - start

    class Alarm(Exception):
        pass

    def alarm(*_):
        raise Alarm
    previous = signal.signal(signal.SIGALRM, alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, full / 4)
        start = time.perf_counter()
        with pytest.raises(Alarm):
            f.predict(X)
        stopped = time.perf_counter() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert stopped < full * 0.75, f"stopped after {stopped:.2f} s, a full call takes {full:.2f} s"
    assert np.array_equal(f.predict(X[:1000]), before)


def test_progress_on_large_data():
    # Each level's best is evaluated (its rmse) while the callback's turn
    # holds the interpreter lock; the search's poll must not try to take
    # the lock again then (long evaluations reach their interruption points).
    x = np.linspace(1.0, 2.0, 1_000_000)
    levels = []
    vok_math.discover({"x": x, "y": np.sin(x) * x + 0.3}, "y", max_complexity=3, beam_width=5,
                      progress=lambda level, _, best: levels.append(level), subsample=None)
    assert levels == [1, 2, 3]


# A thread that calls into the library while holding the interpreter lock
# (NumPy keeps it around a loop whose casts need it: object input; a list
# function keeps it for its whole call) while a search on the main thread
# polls for signals, which takes the lock, during its levels.
LOCK_HOLDER = """
import sys, threading
import numpy as np
import vok_core, vok_math
from vok_math import ufunc

x = np.linspace(1.0, 2.0, 200_000)
done = threading.Event()

def call_with_the_lock_held():
    ufunc.exp(np.arange(100_000, dtype=object), casting="unsafe")
    vok_core.exp_n([0.5] * 100_000)

def keep_calling():
    while not done.is_set():
        call_with_the_lock_held()

other = threading.Thread(target=keep_calling)
if sys.argv[1] == "together":
    other.start()
vok_math.discover({"x": x, "y": np.sin(x) * x + 0.3}, "y", max_complexity=3, beam_width=200, subsample=None,
                  decompose=False)
done.set()
if sys.argv[1] == "together":
    other.join()
call_with_the_lock_held()
"""


def test_a_search_and_a_thread_holding_the_interpreter_lock_both_finish():
    def run(mode, timeout=None):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", LOCK_HOLDER, mode], check=True, timeout=timeout)
        return time.perf_counter() - start
    alone = run("alone")
    # Together the two take about as long as the search alone; a deadlock
    # never ends, and the child is then killed.
    try:
        run("together", timeout=10 * alone)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no end after {10 * alone:.1f} s; alone the same work takes {alone:.1f} s")


def test_the_time_limit_ends_a_level_promptly():
    # The last of few long levels (seconds over 200000 rows), timed whole,
    # then cut a quarter in by the limit. A worker's share of a level is an
    # eighth of it or more: the search must stop within its pieces. (The
    # search without constants: its levels are longer, the stops the same.)
    x = np.linspace(1.0, 2.0, 200_000)
    data = {"x": x, "y": np.sin(x) * x + 0.3}
    options = {"max_complexity": 4, "beam_width": 2000, "constants": False}
    levels = []
    start = time.perf_counter()
    vok_math.discover(data, "y", progress=lambda *_: levels.append(time.perf_counter() - start), **options)
    # What follows the last level (the results' rmse on every row, the
    # choice from the front) follows a stop too.
    tail = time.perf_counter() - start - levels[-1]
    last_level = levels[-1] - levels[-2]
    limit = levels[-2] + last_level / 4
    start = time.perf_counter()
    f = vok_math.discover(data, "y", time_limit=limit, **options)
    over = time.perf_counter() - start - limit
    assert not f.complete
    # A tenth: the results of the levels before still have their rmse
    # computed on every row after the stop.
    assert over < last_level / 10 + tail, \
        f"{over:.2f} s past the limit; the level it ended takes {last_level:.2f} s, the work after it {tail:.2f} s"
