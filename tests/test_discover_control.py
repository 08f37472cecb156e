"""Controlling a discover() search: progress reports, stopping, the time
limit, interrupts, other threads, and the Pareto front."""

import signal
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


def test_progress_reports_each_level_and_can_stop():
    X, y = noisy()
    seen = []
    full = vok_math.discover(X, y, max_complexity=5, progress=lambda *report: seen.append(report))
    assert [level for level, _, _ in seen] == [1, 2, 3, 4, 5]
    assert all(candidates > 0 for _, candidates, _ in seen)
    assert seen[-1][2].tokens == full.tokens and full.complete

    stopped = vok_math.discover(X, y, max_complexity=5, progress=lambda level, *_: level < 3)
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
        f = vok_math.discover(*noisy(), max_complexity=5, progress=interrupt)
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
                              progress=lambda level, _, best: levels.append((level, best)))
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


def test_front_is_pareto_and_holds_the_best():
    f = vok_math.discover(*noisy())
    complexities = [g.complexity for g in f.front]
    rmses = [g.rmse for g in f.front]
    assert complexities == sorted(set(complexities))
    assert all(a > b for a, b in zip(rmses, rmses[1:]))
    assert f.tokens in [g.tokens for g in f.front]
    assert all(g.names == f.names for g in f.front)
