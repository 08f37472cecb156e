"""max_complexity="auto": searches of growing depth while a time budget lasts.

The first search runs at the engine's fixed depth (max_complexity 8), so
what a fixed search finds, auto finds at the same cost first. Then searches
of depth START + STEP, + 2 STEP, ... follow, each a whole new search (the
engine's candidates at every level depend on the depth: a deeper search is
not an extension of a shallower one), while

- the formula the selection rule chooses from the union of all the searches'
  fronts has one of the BAND largest complexities searched: the rule still
  pays for the deepest formulas offered, so it may pay for deeper ones (a
  choice below them means the deepest formulas did not improve the rule;
  BAND 2 deepened more often for as many laws, bench/deepening.py --band);
- no search met the precision goal (an exact formula has nothing to gain);
- the next search, guessed to take as long as the last one times its ratio
  to the one before (GROWTH at first, at most 4), ends within the budget.

A deeper search is also cut where the budget ends; its partial result is
dropped, so the formula returned always comes from complete searches. The
first search is never cut by the budget, only by time_limit, which stays
the hard stop of the whole call (a search it cuts makes the result
incomplete, as without auto).
"""

from __future__ import annotations

import math
import numbers
import time
from collections.abc import Callable
from typing import Any

START = 8      # the engine's default depth: the first search is the fixed search's
STEP = 2       # a binary operator and its leaf are two tokens
BAND = 1       # a choice among this many largest complexities calls for a deeper search
GROWTH = 2.0   # a first guess of the next search's time over the last one's
BUDGET = 2.0   # seconds; how it was chosen: docs/discovery.rst, "Depth"

# Why a search ended early, as _ext.search says it, in the formula's path.
_STOPS = {"time_limit": "the time limit", "callback": "the progress callback stopped it",
          "interrupt": "an interrupt", "memory_limit": "the memory limit"}

Run = Callable[[int, "float | None"], tuple]  # (max_complexity, time_limit) -> _ext.search's tuple
Judge = Callable[[Any, list], int]            # (best, front) -> the complexity of the rule's choice


def check_budget(max_complexity: Any, budget: Any) -> float | None:
    """The budget in seconds under max_complexity="auto" (BUDGET for None),
    None for a fixed depth."""
    if isinstance(max_complexity, str):
        if max_complexity != "auto":
            raise ValueError(f"max_complexity must be an integer or 'auto'; got {max_complexity!r}")
        if budget is None:
            return BUDGET
        if isinstance(budget, bool) or not isinstance(budget, numbers.Real):
            raise TypeError(f"budget must be a real number of seconds, not {type(budget).__name__}")
        if not 0 < budget < math.inf:
            raise ValueError(f"budget must be positive and finite seconds; got {budget}")
        return float(budget)
    if budget is not None:
        raise ValueError("budget applies to max_complexity='auto' only")
    return None


def _merge(front: dict, entries: list) -> None:
    """Keeps the least rmse of each complexity (the earlier of equal ones)."""
    for e in entries:
        old = front.get(e[2])
        if old is None or e[3] < old[3] or (math.isnan(old[3]) and not math.isnan(e[3])):
            front[e[2]] = e


def deepen(run: Run, judge: Judge, budget: float, deadline: float | None,
           precision_goal: float) -> tuple[tuple, int, str]:
    """_ext.search's tuple (best, complete, stopped_by, front, pending) over
    the searches of growing depth, the depth reached and why it stopped."""
    start = time.monotonic()
    end = start + budget

    def limit(until: float | None) -> float | None:
        return None if until is None else max(until - time.monotonic(), 1e-3)

    best, complete, stopped_by, entries, pending = run(START, limit(deadline))
    depth, times = START, [time.monotonic() - start]
    front: dict = {}
    _merge(front, entries)
    if best is None or not complete:
        return (best, complete, stopped_by, entries, pending), depth, _STOPS.get(stopped_by, "the first search")
    chosen, reason = judge(best, entries), ""
    while True:
        if best[1] <= precision_goal:
            reason = "the precision goal was met"
            break
        if chosen <= depth - BAND:
            reason = "the selection no longer improved"
            break
        growth = times[-1] / times[-2] if len(times) > 1 and times[-2] > 0 else GROWTH
        now = time.monotonic()
        if now + times[-1] * min(max(growth, 1.0), 4.0) > end:
            reason = "the budget would run out"
            break
        cut = end if deadline is None else min(end, deadline)
        b, done, why, more, pending = run(depth + STEP, limit(cut))
        if not done:
            # The budget's cut drops the search; time_limit's, a callback's or
            # an interrupt's ends the call with what complete searches found.
            if why == "time_limit" and (deadline is None or deadline > end):
                reason = "the budget ran out"
            elif why == "memory_limit":
                reason = "the memory limit"
            else:
                complete, stopped_by, reason = False, why, _STOPS.get(why, why)
            break
        depth += STEP
        times.append(time.monotonic() - now)
        if b is not None and (best[1] > b[1] or math.isnan(best[1])):
            best = b
        _merge(front, more)
        chosen = judge(best, [front[c] for c in sorted(front)])
    return (best, complete, stopped_by, [front[c] for c in sorted(front)], pending), depth, reason


def search(run: Run, judge: Judge, depth: int, beam_width: int, budget: float | None, time_limit: float | None,
           deadline: float | None, precision_goal: float) -> tuple[tuple, str]:
    """One search of the depth given (budget None), or auto's searches;
    _ext.search's tuple and the line of Formula.path that says how deep
    the search went."""
    if budget is None:
        outcome = run(depth, None if time_limit is None else float(time_limit))
        return outcome, f"searched to complexity {depth} (beam {beam_width})"
    outcome, depth, reason = deepen(run, judge, budget, deadline, precision_goal)
    return outcome, f"searched to complexity {depth} (beam {beam_width}), deepened from {START} until {reason}"
