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
from . import _data, _deepen, _reduced, _select, _separable, _snap, _subsample, _units
from ._formula import Formula
from ._ops import OPTIONAL_OPERATORS
from ._options import Option, choice, integer, integer_or, real, switch_or_real, words
from ._select import pareto
from ._progress import LevelStatus, engine_progress

# The rmse may grow by this fraction when constants are snapped (snap=True),
# or by this share of the targets' spread, whichever allows more: a measured
# table whose rounding a free exponent or offset fits (Kepler's 1.503 and
# +3.7 days) still gives its law's simple numbers.
_SNAP_FRACTION = 0.01
_SNAP_SPREAD = 1e-3
_SPLIT_BUDGETS = 2.0  # the split searches' time without a time limit, in budgets of the depth

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
                 relative: bool, penalty: float, subsample: int | None = None):
        self.names, self.columns, self.targets, self.target = tuple(names), columns, targets, target
        self.subsample = subsample  # the rows the search saw, when not all of these
        self.variance = float(np.var(targets))
        # Scores are relative to the target's spread when constants are fitted.
        self.unit = math.sqrt(self.variance) if relative and self.variance > 0 else 1.0
        self.penalty = penalty

    def formula(self, entry: tuple, complete: bool = True, front: tuple = ()) -> Formula:
        tokens, error, complexity, rmse, params = entry
        r2 = 1.0 - rmse * rmse / self.variance if self.variance > 0 else math.nan
        return Formula(tokens, self.names, error, complexity, rmse, complete, front, params, r2, self.target,
                       self.subsample)

    def rescored(self, f: Formula, tokens: tuple, params: tuple, complexity: int) -> Formula:
        (read,), columns, _ = _data.used_columns([tokens], self.columns)
        rmse = _ext.rmse(read, params, columns, self.targets)
        error = rmse / self.unit * (1.0 + complexity * self.penalty)
        return dataclasses.replace(self.formula((tokens, error, complexity, rmse, params), f.complete, f.front),
                                   path=f.path)


_DEFAULT = _ext.DEFAULTS  # the engine's own defaults, declared once in C++


def _target_name(y: Any) -> str | None:
    if isinstance(y, str):
        return y
    name = getattr(y, "name", None)  # a pandas Series
    return name if isinstance(name, str) else None


def _operator_names(operators: Sequence[str]) -> tuple[str, ...]:
    if isinstance(operators, str):
        operators = (operators,)
    names = tuple(operators)
    for name in names:
        if name not in OPTIONAL_OPERATORS:
            raise ValueError(f"operators: {name!r} is none of {', '.join(OPTIONAL_OPERATORS)}")
    return tuple(dict.fromkeys(names))


# discover's keyword options but `names`, one row each (the command line's
# flags are built from it; defaults are read from the signature below).
OPTIONS: tuple[Option, ...] = (
    Option("constants", bool, "fit constants (--no-constants: find_formula's search on 0 and 1)"),
    Option("selection", choice(_select.RULES), "how the formula is chosen from the front: "
           f"{', '.join(_select.RULES)} (default: mdl, or penalty with --no-constants)", "RULE"),
    Option("snap", switch_or_real, "snap constants to simple numbers: yes, no, or the rmse's allowed growth",
           "YES|NO|X"),
    Option("max_complexity", integer_or("auto"), "the largest number of tokens searched, or auto: deeper "
           "searches while the budget allows", "N|auto"),
    Option("beam_width", integer, "candidates kept per level", "N"),
    Option("precision_goal", real, "stop once the error is below this", "X"),
    Option("complexity_penalty", real, "error factor per token: error * (1 + complexity * penalty)", "X"),
    Option("use_trig", bool, "search sin and cos"),
    Option("use_vok", bool, "search the tension vok(a, b)"),
    Option("time_limit", real, "seconds; the best formula so far is kept", "SECONDS"),
    Option("progress", bool, "a progress bar on stderr (default: when stderr is a terminal)"),
    Option("drop_nonfinite", bool, "drop rows holding NaN or an infinity instead of refusing them"),
    Option("units", _units.mapping, "the columns' units, NAME=UNIT,... (e.g. L=m,g=m/s^2,T=s; the target's too)",
           "UNITS"),
    Option("target_units", str, "the target's unit, when --units does not name it", "UNIT"),
    Option("operators", words, f"extra operators to search, among {', '.join(OPTIONAL_OPERATORS)}", "A,B"),
    Option("decompose", bool, "split the search where the data are separable or symmetric"),
    Option("subsample", _subsample.parse, "rows searched in a big table: a number, auto or all "
           "(auto: 5000 of more than 20000)", "N|auto|all"),
    Option("budget", real, "seconds the deeper searches of --max-complexity auto may take (default: 2)", "SECONDS"),
)


def discover(X: Any, y: Any, *, names: Sequence[str] | None = None, constants: bool = True,
             selection: str | None = None, snap: bool | float = True,
             max_complexity: int | str = "auto", beam_width: int = _DEFAULT["beam_width"],
             precision_goal: float = _DEFAULT["precision_goal"],
             complexity_penalty: float = _DEFAULT["complexity_penalty"], use_trig: bool = _DEFAULT["use_trig"],
             use_vok: bool = _DEFAULT["use_vok"], time_limit: float | None = None,
             progress: bool | Progress | None = None, drop_nonfinite: bool = False, units: Any = None,
             target_units: Any = None, operators: Sequence[str] = (), decompose: bool = True,
             subsample: int | str | None = "auto", budget: float | None = None) -> Formula | None:
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
    max_complexity: the most tokens of a formula and the number of levels;
    "auto" searches at 8, then deeper (10, 12, ...) while the formula the
    selection rule chooses has the largest complexity searched and `budget`
    seconds (default 2) allow; a deeper search that the budget cuts is
    dropped (docs/discovery.rst, "Depth"). time_limit stays the hard stop of
    the whole call. The formula's path says how deep the search went.
    operators: optional unary operators the search builds as well, among
    "arcsin", "arccos" and "tanh" (none by default).
    decompose: with constants, when the search's formula is not exact, test
    the data for separability (y = g(A) + h(B) or g(A) * h(B) over disjoint
    groups of variables) and for symmetries (y depending on a - b, a + b,
    a * b or a / b only), search the parts, and return the recombined formula
    when the selection rule prefers it.
    subsample: the number of rows the search sees, drawn by a fixed seed,
    for a table with more rows; None searches every row. "auto" (the
    default) searches tables of more than 20,000 rows on 5,000 of them
    (with constants only). The best results of the subsample's search (its
    front and the best of its levels) are then scored on every row, those
    on the front refitted there, and the formula is chosen, snapped and
    reported on every row (Formula.subsample records the rows searched).

    Returns the chosen Formula, with .complete False when the time limit, an
    interrupt (Ctrl-C; a warning is issued), the progress callback or the
    memory limit ended the search early; None when no candidate could be
    scored. An interrupt before any formula was scored is re-raised.

    units: the variables' units, as a mapping of name to unit (it may hold
    the target's too) or one unit per variable, each a string such as
    "kg m s^-2", "m/s", "J" or "1", or exponents of (m, s, kg, K, A, mol,
    cd); target_units: y's unit. The search then runs on the dimensionless
    groups of the units (Buckingham pi), and the formula found is written
    over the variables with its constants refitted on all rows; units that
    do not balance raise a ValueError. The formula's path and explain() say
    which groups.
    """
    options = {k: v for k, v in locals().items() if k not in ("X", "y", "names", "units", "target_units")}
    budget = _deepen.check_budget(max_complexity, budget)
    depth = _deepen.START if budget is not None else max_complexity
    _data.check_options(depth, beam_width, precision_goal, complexity_penalty, use_trig, use_vok, time_limit,
                        progress)
    _data.check_fit_options(constants, selection, snap, _select.RULES)
    operators = _operator_names(operators)
    _subsample.check(subsample)
    # The time limit covers the whole call: snapping tries nothing after it.
    deadline = None if time_limit is None else time.monotonic() + float(time_limit)
    target = _target_name(y)
    names, columns, targets = _data.read_table(X, y, names)
    columns, targets = _data.finite_rows(names, columns, targets, drop_nonfinite, _data.lines_of(X))
    if units is not None or target_units is not None:
        return _reduced.search(discover, names, columns, targets, target, units, target_units, options)
    seen = _subsample.size(subsample, len(targets), bool(constants))
    problem = _Problem(names, columns, targets, target, bool(constants), float(complexity_penalty), seen)
    searched = problem if seen is None else _Problem(names, *_subsample.sample(columns, targets, seen), target,
                                                     bool(constants), float(complexity_penalty), seen)
    beam = None if seen is None else []

    bar = TextProgress(depth) if progress is True else None
    user = bar or (progress if callable(progress) else None)
    callback = None
    if user is not None:
        callback = engine_progress(user, lambda best: None if best is None else searched.formula(best))
    rule = selection or (_select.DEFAULT if constants else "penalty")
    floor = float(precision_goal) * problem.unit
    alphabet = len(names) + 2 + bool(constants) + 9 + 2 * bool(use_trig) + bool(use_vok) + len(operators)

    def run(depth: int, limit: float | None) -> tuple:
        if bar is not None:
            bar.levels = depth
        return _ext.search(searched.columns, searched.targets, depth, beam_width, float(precision_goal),
                           float(complexity_penalty), bool(use_trig), bool(use_vok), limit, callback,
                           {} if constants else None, operators, beam)

    def judge(best: tuple, front: list) -> int:
        fs = pareto([searched.formula(e) for e in front])
        return _select.choose(rule, searched.formula(best), fs, searched.columns, searched.targets,
                              float(precision_goal) * searched.unit, alphabet).complexity

    try:
        outcome, step = _deepen.search(run, judge, depth, beam_width, budget, time_limit, deadline,
                                       float(precision_goal))
    finally:
        if bar is not None:
            bar.close()
    best, complete, stopped_by, front, pending = outcome
    if best is None:
        if pending is not None:
            raise pending
        if stopped_by == "time_limit":
            raise TimeoutError(f"the time limit of {time_limit} s passed before any formula was scored")
        if stopped_by == "memory_limit":
            raise MemoryError("the search's memory limit was reached before any formula was scored")
        return None
    if seen is not None:
        best, front = _subsample.rescore(columns, targets, problem.unit, problem.penalty, best, front, beam)
        if best is None:
            return None
    if pending is not None:
        warnings.warn(f"search interrupted by {type(pending).__name__}: returning the best formula so far",
                      RuntimeWarning, stacklevel=2)
    elif stopped_by == "memory_limit":
        warnings.warn("the search reached its memory limit: returning the best formula so far "
                      "(lower max_complexity or beam_width)", RuntimeWarning, stacklevel=2)
    front_formulas = pareto([problem.formula(e) for e in front])
    chosen = _select.choose(rule, problem.formula(best, complete), front_formulas, columns, targets, floor,
                            alphabet)
    chosen = dataclasses.replace(chosen, complete=complete, front=front_formulas, path=(step,))
    if decompose and constants:
        # Without a time limit, the split searches may take twice the budget
        # of the depth (each part gets a share of what is left).
        split_deadline = deadline
        if split_deadline is None and budget is not None:
            split_deadline = time.monotonic() + _SPLIT_BUDGETS * budget

        def search_part(cols: list, t: np.ndarray, part_names: tuple, limit: float | None,
                        split: bool) -> Formula | None:
            return discover(dict(zip(part_names, cols)), t, selection=selection, snap=False,
                            max_complexity=max_complexity, beam_width=beam_width, precision_goal=precision_goal,
                            complexity_penalty=complexity_penalty, use_trig=use_trig, use_vok=use_vok,
                            time_limit=limit, operators=operators, decompose=split, budget=budget)
        chosen = _separable.improve(chosen, problem, search_part, rule, floor, alphabet, split_deadline)
    fraction = (_SNAP_FRACTION if snap else None) if isinstance(snap, (bool, np.bool_)) else float(snap)
    if fraction is not None and chosen.params:
        structural = chosen.rmse + _SNAP_SPREAD * problem.unit if constants else 0.0
        snapped = _snap.snap(chosen.tokens, chosen.params, chosen.rmse, columns, targets, fraction, floor,
                             structural, deadline)
        if snapped is not None:
            tokens, params, removed = snapped
            chosen = problem.rescored(chosen, tokens, params, chosen.complexity - removed)
    return chosen
