"""Searching a deterministic subsample of a big table's rows, then scoring,
refitting and choosing on every row.

The search's cost grows with the rows, while what it decides (which shapes
fit the data far better than others) shows on a few thousand rows. A big
table is therefore searched on a subsample drawn without replacement by a
fixed seed (the same rows on every run), and its results are taken back to
every row: the search's best, its Pareto front and the KEEP best results of
its levels (those it handed to its refinement, and the refined shapes) are
scored on all rows at the subsample's constants; those on the front of these
scores have their constants refitted on all rows (Levenberg-Marquardt from
the subsample's values). discover then chooses, snaps and reports on all
rows, so a Formula's rmse, error, r2 and front are those of every row.

Measured on 2 cores (bench/discovery.py --sweep, three variables, default
options), the search on every row took 1.35 s of CPU on 10,000 rows and 33 s
on 100,000; on a subsample of 5,000 about 0.6 s, and the re-scoring about
0.1 s per 100,000 rows. At AUTO_ABOVE rows a search on every row costs about
four times the subsample's; above that, tables are searched on AUTO_ROWS rows
by default.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np

from .. import _ext
from . import _data
from ._ops import PARAM
from ._select import pareto

AUTO_ABOVE = 20_000  # subsample="auto" searches tables of more rows on a subsample...
AUTO_ROWS = 5_000    # ... of this many rows
SEED = 20261207      # the rows drawn are the same on every run
KEEP = 16            # results of the levels re-scored on every row, besides the best and the front
ITERATIONS = 5       # Levenberg-Marquardt steps of the refit on every row, from the subsample's constants


class Entry(NamedTuple):
    """A result as the engine's search gives it."""
    tokens: tuple
    error: float
    complexity: int
    rmse: float
    params: tuple


def check(subsample: Any) -> None:
    if subsample is None or (isinstance(subsample, str) and subsample == "auto"):
        return
    if isinstance(subsample, str):
        raise ValueError(f"subsample must be 'auto', None or a number of rows; got {subsample!r}")
    if isinstance(subsample, (bool, np.bool_)) or not isinstance(subsample, numbers.Integral):
        raise TypeError(f"subsample must be 'auto', None or a number of rows, not {type(subsample).__name__}")
    if subsample < 1:
        raise ValueError(f"subsample must be at least 1 row; got {subsample}")


def size(subsample: Any, rows: int, constants: bool) -> int | None:
    """The rows the search sees, when fewer than all of them, else None.
    "auto" subsamples only the fitted search (constants=False stays the
    contract's search on every row)."""
    if subsample is None:
        return None
    if isinstance(subsample, str):
        n = AUTO_ROWS if constants and rows > AUTO_ABOVE else rows
    else:
        n = int(subsample)
    return n if n < rows else None


def draw(rows: int, n: int) -> np.ndarray:
    """n of range(rows), without replacement, by the fixed seed, in ascending order."""
    return np.sort(np.random.default_rng(SEED).choice(rows, size=n, replace=False))


def sample(columns: Sequence[np.ndarray], targets: np.ndarray, n: int) -> tuple[list[np.ndarray], np.ndarray]:
    rows = draw(len(targets), n)
    return [c[rows] for c in columns], targets[rows]


def _shape(tokens: tuple) -> tuple:
    # A Param token's value is a start value, not part of the shape.
    return tuple(t[:3] if t[0] == PARAM else t for t in tokens)


def candidates(best: Entry, front: Sequence[Entry], beam: Sequence[Entry], keep: int = KEEP) -> list[Entry]:
    """The results taken to every row: best, the front, and the `keep` best
    of the beam by their error on the subsample; each shape once."""
    ranked = sorted(beam, key=lambda e: (math.isnan(e[1]), e[1]))
    out, shapes = [], set()
    for e in (best, *front, *ranked[:keep]):
        if _shape(e[0]) not in shapes:
            shapes.add(_shape(e[0]))
            out.append(Entry(*e))
    return out


def _scored(entries: Sequence[Entry], columns: Sequence[np.ndarray], targets: np.ndarray, unit: float,
            penalty: float, iterations: int) -> list[Entry]:
    """The entries on these rows (constants refitted by up to `iterations`
    steps), with their rmse and error there; those that fail on some row left out."""
    if not entries:
        return []
    tokens, used, _ = _data.used_columns([e.tokens for e in entries], columns)
    formulas = [(t, e.params) for t, e in zip(tokens, entries)]
    out = []
    for e, fitted in zip(entries, _ext.fit_each(formulas, used, targets, iterations)):
        if fitted is not None:
            params, rmse = fitted
            out.append(Entry(e.tokens, rmse / unit * (1.0 + e.complexity * penalty), e.complexity, rmse, params))
    return out


def rescore(columns: Sequence[np.ndarray], targets: np.ndarray, unit: float, penalty: float, best: Entry,
            front: Sequence[Entry], beam: Sequence[Entry]) -> tuple[Entry | None, list[Entry]]:
    """(best, front) on every row, as the engine's search gives them: the
    candidates scored there, the front of those refitted there. best is None
    when no candidate can be evaluated on every row."""
    scored = _scored(candidates(best, front, beam), columns, targets, unit, penalty, 0)
    on_front = {id(e) for e in pareto(scored)}
    refit = _scored([e for e in scored if id(e) in on_front], columns, targets, unit, penalty, ITERATIONS)
    scored = [e for e in scored if id(e) not in on_front] + refit
    if not scored:
        return None, []
    return min(scored, key=lambda e: (math.isnan(e[1]), e[1])), pareto(scored)


def parse(text: str) -> int | str | None:
    """The option as a command line gives it: a number of rows, auto or all."""
    if text in ("auto", "all"):
        return None if text == "all" else text
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"{text!r} is not a number of rows, auto or all") from None
