"""Choosing the returned formula from the search's Pareto front by a rule that
does not reward overfitting.

- "mdl": the shortest two-part description of the data: the formula's tokens
  (each one of the alphabet's symbols), its constants (half log n each, as
  in BIC), and the residuals under a Gaussian of the formula's rmse.
- "holdout": the constants refitted on a fixed three quarters of the rows; the
  simplest formula whose mean squared error on the other quarter is within
  one standard error of the least.
- "penalty": the search's own choice, the least rmse * (1 + complexity *
  complexity_penalty).

Errors below the floor (the precision goal) count as the floor: a formula
that is exact up to rounding is not beaten by one that rounds better.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np

from .. import _ext
from ._formula import Formula

RULES = ("mdl", "holdout", "penalty")
DEFAULT = "mdl"

HOLDOUT_SEED = 20250715  # the rows held out are the same on every run
HOLDOUT_MIN_ROWS = 20    # below this (5 rows held out), "holdout" falls back to "mdl"


def holdout_rows(rows: int) -> tuple[np.ndarray, np.ndarray]:
    """(training rows, held-out rows): a quarter of the rows, drawn by a fixed seed."""
    order = np.random.default_rng(HOLDOUT_SEED).permutation(rows)
    return np.sort(order[rows // 4:]), np.sort(order[:rows // 4])


def description_length(f: Formula, rows: int, floor: float, alphabet: int) -> float:
    mse = max(f.rmse, floor, 1e-300) ** 2 if math.isfinite(f.rmse) else math.inf
    return 0.5 * rows * math.log(mse) + 0.5 * len(f.params) * math.log(rows) + f.complexity * math.log(alphabet)


def _held_out_mse(f: Formula, train: tuple, test: tuple, floor: float) -> float:
    params: Sequence[float] = f.params
    try:
        if params:
            params, _ = _ext.fit(f.tokens, params, *train)
        e = _ext.rmse(f.tokens, params, *test)
    except ValueError:  # some training or held-out row fails
        return math.inf
    return max(e, floor) ** 2 if math.isfinite(e) else math.inf


def choose(rule: str, best: Formula, front: Sequence[Formula], columns: list[np.ndarray], targets: np.ndarray,
           floor: float, alphabet: int) -> Formula:
    """The formula `rule` picks from the front (ordered by complexity)."""
    rows = len(targets)
    if rule == "penalty" or not front:
        return best
    if rule == "holdout" and rows >= HOLDOUT_MIN_ROWS:
        train, test = holdout_rows(rows)
        split = [([np.ascontiguousarray(c[i]) for c in columns], np.ascontiguousarray(targets[i])) for i in (train, test)]
        errors = [_held_out_mse(f, split[0], split[1], floor) for f in front]
        least = min(errors)
        bound = least * (1.0 + math.sqrt(2.0 / len(test)))
        return next(f for f, e in zip(front, errors) if e <= bound)
    lengths = [description_length(f, rows, floor, alphabet) for f in front]
    return front[lengths.index(min(lengths))]
