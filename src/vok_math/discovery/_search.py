"""discover(): one beam search on named data, returning a Formula."""

from __future__ import annotations

import sys
import time
import warnings
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from .. import _ext
from . import _data
from ._formula import Formula

Progress = Callable[[int, int, "Formula | None"], "bool | None"]


class TextProgress:
    """A one-line progress bar on a text stream: level, candidates, best so far."""

    def __init__(self, levels: int, stream: TextIO | None = None, width: int = 20):
        self.levels, self.stream, self.width = max(levels, 1), stream or sys.stderr, width
        self.start = time.monotonic()
        self.shown = False

    def __call__(self, level: int, candidates: int, best: Formula | None) -> None:
        done = min(level, self.levels) * self.width // self.levels
        bar = "#" * done + "-" * (self.width - done)
        text = f"\rdiscover: level {level}/{self.levels} [{bar}] {candidates:,} candidates"
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


def _formula(entry: tuple, names: Sequence[str], complete: bool = True, front: tuple = ()) -> Formula:
    tokens, error, complexity, rmse, _params = entry
    return Formula(tokens, tuple(names), error, complexity, rmse, complete, front)


def pareto(entries: list[Formula]) -> tuple[Formula, ...]:
    """The best formula of each complexity, kept when its rmse is below that of
    every simpler one kept."""
    kept: list[Formula] = []
    for f in sorted(entries, key=lambda f: f.complexity):
        if not kept or f.rmse < kept[-1].rmse:
            kept.append(f)
    return tuple(kept)


def discover(X: Any, y: Any, *, names: Sequence[str] | None = None, max_complexity: int = 8,
             beam_width: int = 2000, precision_goal: float = 1e-10, complexity_penalty: float = 0.001,
             use_trig: bool = True, use_vok: bool = True, time_limit: float | None = None,
             progress: bool | Progress | None = None, drop_nonfinite: bool = False,
             constants: bool = True) -> Formula | None:
    """Find a formula for y from the variables of X by the beam search of
    vok_core.find_formula (same candidates, scores and result), with named
    variables, a time limit, progress reports, and the interpreter lock
    released while the engine works.

    X: an array-like of shape (rows, variables), a pandas DataFrame (names
    from its columns) or a mapping of name to column. y: the targets, or the
    name of a column of X (which then is not a variable).
    progress: True for a progress bar on stderr, or a callable
    progress(level, candidates, best) called after each level, best being
    the Formula so far; returning False stops the search.

    Returns the best Formula, with .complete False when the time limit, an
    interrupt (Ctrl-C; a warning is issued), the progress callback or the
    memory limit ended the search early; None when no candidate could be
    scored. An interrupt before any formula was scored is re-raised.

    constants: True (the default) fits each formula's scale and offset by
    least squares, a + b * f, and scores it relative to the spread of y, so
    that units and physical constants do not matter; the result's tokens
    carry a and b as parameters. False runs vok_core.find_formula's search.
    """
    _data.check_options(max_complexity, beam_width, precision_goal, complexity_penalty, use_trig, use_vok,
                        time_limit, progress)
    names, columns, targets = _data.read_table(X, y, names)
    columns, targets = _data.finite_rows(names, columns, targets, drop_nonfinite)

    bar = TextProgress(max_complexity) if progress is True else None
    user = bar or (progress if callable(progress) else None)
    callback = None
    if user is not None:
        def callback(level: int, candidates: int, best: tuple | None) -> bool:
            return user(level, candidates, None if best is None else _formula(best, names)) is not False
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
    return _formula(best, names, complete, pareto([_formula(e, names) for e in front]))
