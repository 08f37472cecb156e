"""discover(): one beam search on named data, returning a Formula."""

from __future__ import annotations

import dataclasses
import math
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from typing import Any, TextIO

import numpy as np

from .. import _ext
from . import _data, _select, _snap
from ._formula import Formula
from ._progress import LevelStatus, engine_progress

# The rmse may grow by this fraction when constants are snapped (snap=True),
# or by this share of the targets' spread, whichever allows more: a measured
# table whose rounding a free exponent or offset fits (Kepler's 1.503 and
# +3.7 days) still gives its law's simple numbers.
_SNAP_FRACTION = 0.01
_SNAP_SPREAD = 1e-3

Progress = Callable[[int, int, "Formula | None"], "bool | None"]


class TextProgress:
    """A one-line progress bar on a text stream: level, candidates, best so far,
    and within a level the candidates scored and the time the level has left."""

    def __init__(self, levels: int, stream: TextIO | None = None, width: int = 20):
        self.levels, self.stream, self.width = max(levels, 1), stream or sys.stderr, width
        self.start = time.monotonic()
        self.shown = False

    def __call__(self, level: int, candidates: int, best: Formula | None, status: LevelStatus | None = None) -> None:
        # Within a level, the bar counts the levels before it and the share of it done.
        levels = min(level, self.levels) - (1 - status.fraction if status else 0)
        done = int(levels * self.width / self.levels)
        bar = "#" * done + "-" * (self.width - done)
        text = f"\rdiscover: level {level}/{self.levels} [{bar}] {candidates:,} candidates"
        if status is not None:
            text += f" of {status.candidates:,}"
            if status.seconds_left is not None:
                text += f" (level ~{status.seconds_left:.0f} s left)"
        if best is not None:
            text += f", best {best} (rmse {best.rmse:.3g})"
        text += f", {time.monotonic() - self.start:.1f} s"
        self.stream.write(text[:160] + "\x1b[K")
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


class _Problem:
    """The data of one search, and the Formula of each engine result on it."""

    def __init__(self, names: Sequence[str], columns: list[np.ndarray], targets: np.ndarray, target: str | None,
                 relative: bool, penalty: float):
        self.names, self.columns, self.targets, self.target = tuple(names), columns, targets, target
        self.variance = float(np.var(targets))
        # Scores are relative to the target's spread when constants are fitted.
        self.unit = math.sqrt(self.variance) if relative and self.variance > 0 else 1.0
        self.penalty = penalty

    def formula(self, entry: tuple, complete: bool = True, front: tuple = ()) -> Formula:
        tokens, error, complexity, rmse, params = entry
        r2 = 1.0 - rmse * rmse / self.variance if self.variance > 0 else math.nan
        return Formula(tokens, self.names, error, complexity, rmse, complete, front, params, r2, self.target)

    def rescored(self, f: Formula, tokens: tuple, params: tuple, complexity: int) -> Formula:
        rmse = _ext.rmse(tokens, params, self.columns, self.targets)
        error = rmse / self.unit * (1.0 + complexity * self.penalty)
        return self.formula((tokens, error, complexity, rmse, params), f.complete, f.front)


def pareto(entries: list[Formula]) -> tuple[Formula, ...]:
    """The best formula of each complexity, kept when its rmse is below that of
    every simpler one kept."""
    kept: list[Formula] = []
    for f in sorted(entries, key=lambda f: f.complexity):
        if not kept or f.rmse < kept[-1].rmse:
            kept.append(f)
    return tuple(kept)


_DEFAULT = _ext.DEFAULTS  # the engine's own defaults, declared once in C++


def _target_name(y: Any) -> str | None:
    if isinstance(y, str):
        return y
    name = getattr(y, "name", None)  # a pandas Series
    return name if isinstance(name, str) else None


def discover(X: Any, y: Any, *, names: Sequence[str] | None = None, constants: bool = True,
             selection: str | None = None, snap: bool | float = True,
             max_complexity: int = _DEFAULT["max_complexity"], beam_width: int = _DEFAULT["beam_width"],
             precision_goal: float = _DEFAULT["precision_goal"],
             complexity_penalty: float = _DEFAULT["complexity_penalty"], use_trig: bool = _DEFAULT["use_trig"],
             use_vok: bool = _DEFAULT["use_vok"], time_limit: float | None = None,
             progress: bool | Progress | None = None, drop_nonfinite: bool = False) -> Formula | None:
    """Find a formula for y from the variables of X by the engine's beam
    search, with named variables, a time limit, progress reports, and the
    interpreter lock released while the engine works.

    X: an array-like of shape (rows, variables), a pandas DataFrame (names
    from its columns) or a mapping of name to column. y: the targets, or the
    name of a column of X (which then is not a variable).

    constants: True fits constants: every candidate f is scored as the best
    a + b * f, constants inside formulas are fitted by Levenberg-Marquardt,
    and precision_goal and complexity_penalty are relative to the spread
    (standard deviation) of y. False is the search of vok_core.find_formula
    (same candidates, scores and result) on the constants 0 and 1.
    selection: how the returned formula is chosen from the Pareto front:
    "mdl" (the default with constants), "holdout" or "penalty" (the search's
    own best, the default without constants); see docs/discovery.rst.
    snap: True snaps fitted constants to small rationals and rational
    multiples of pi (0 for the offset, 1 for the scale) where the rmse grows
    by at most 1 %; a number sets that fraction; False keeps them as fitted.
    progress: True for a progress bar on stderr, or a callable
    progress(level, candidates, best) called after each level, best being
    the Formula so far; returning False stops the search. A callable that
    takes a keyword `status` is also called within levels, at most five
    times a second, as progress(level, scored, best, status=LevelStatus):
    the candidates scored so far, of status.candidates, and an estimate of
    the time the level has left.

    Returns the chosen Formula, with .complete False when the time limit, an
    interrupt (Ctrl-C; a warning is issued), the progress callback or the
    memory limit ended the search early; None when no candidate could be
    scored. An interrupt before any formula was scored is re-raised.
    """
    _data.check_options(max_complexity, beam_width, precision_goal, complexity_penalty, use_trig, use_vok,
                        time_limit, progress)
    _data.check_fit_options(constants, selection, snap, _select.RULES)
    # The time limit covers the whole call: snapping tries nothing after it.
    deadline = None if time_limit is None else time.monotonic() + float(time_limit)
    target = _target_name(y)
    names, columns, targets = _data.read_table(X, y, names)
    columns, targets = _data.finite_rows(names, columns, targets, drop_nonfinite)
    problem = _Problem(names, columns, targets, target, bool(constants), float(complexity_penalty))

    bar = TextProgress(max_complexity) if progress is True else None
    user = bar or (progress if callable(progress) else None)
    callback = None
    if user is not None:
        callback = engine_progress(user, lambda best: None if best is None else problem.formula(best))
    try:
        best, complete, stopped_by, front, pending = _ext.search(
            columns, targets, max_complexity, beam_width, float(precision_goal), float(complexity_penalty),
            bool(use_trig), bool(use_vok), None if time_limit is None else float(time_limit), callback,
            {} if constants else None)
    finally:
        if bar is not None:
            bar.close()
    if best is None:
        if pending is not None:
            raise pending
        if stopped_by == "time_limit":
            raise TimeoutError(f"the time limit of {time_limit} s passed before any formula was scored")
        if stopped_by == "memory_limit":
            raise MemoryError("the search's memory limit was reached before any formula was scored")
        return None
    if pending is not None:
        warnings.warn(f"search interrupted by {type(pending).__name__}: returning the best formula so far",
                      RuntimeWarning, stacklevel=2)
    elif stopped_by == "memory_limit":
        warnings.warn("the search reached its memory limit: returning the best formula so far "
                      "(lower max_complexity or beam_width)", RuntimeWarning, stacklevel=2)
    front_formulas = pareto([problem.formula(e) for e in front])
    rule = selection or (_select.DEFAULT if constants else "penalty")
    floor = float(precision_goal) * problem.unit
    alphabet = len(names) + 2 + bool(constants) + 9 + 2 * bool(use_trig) + bool(use_vok)
    chosen = _select.choose(rule, problem.formula(best, complete), front_formulas, columns, targets, floor,
                            alphabet)
    chosen = dataclasses.replace(chosen, complete=complete, front=front_formulas)
    fraction = (_SNAP_FRACTION if snap else None) if isinstance(snap, (bool, np.bool_)) else float(snap)
    if fraction is not None and chosen.params:
        structural = chosen.rmse + _SNAP_SPREAD * problem.unit if constants else 0.0
        snapped = _snap.snap(chosen.tokens, chosen.params, chosen.rmse, columns, targets, fraction, floor,
                             structural, deadline)
        if snapped is not None:
            tokens, params, removed = snapped
            chosen = problem.rescored(chosen, tokens, params, chosen.complexity - removed)
    return chosen
