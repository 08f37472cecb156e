"""The structure of a target, read from a smooth surrogate of the data: a sum
or a product over disjoint groups of variables, a sum of 1 / y, or a pair of
variables that enters only through their difference, sum, product or ratio.

The surrogate is kernel ridge regression on standardised variables (at most
SURROGATE_ROWS rows): a Gaussian kernel of some length scale or a polynomial
kernel of some degree, with a ridge, whichever predicts left-out rows best;
the eigendecomposition of the kernel matrix gives the exact leave-one-out
error for every ridge at once. A target of one sign has a second surrogate,
of log |y| over the logarithms of the positive variables, on which a product
of powers (most laws of physics) is linear. It needs nothing beyond NumPy,
is deterministic, interpolates smooth laws to a small fraction of their
spread from a few hundred rows, and smooths noise; a network or boosted
trees would add a dependency, a training loop and randomness for no better
fit at this size.

The tests compare the surrogate at mixed points (a row's group A with
another row's group B), each relative to how much the surrogate changes
between the points it compares:
- a sum g(A) + h(B): s(a, b) + s(a', b') - s(a, b') - s(a', b) = 0;
- a product: the same for log |y|, or, for a target that changes sign,
  s(a, b) * s(a', b') - s(a, b') * s(a', b) = 0;
- a sum of 1 / y: the first test on 1 / y;
- a symmetry of a pair (a, b): s stays put when (a, b) moves along a - b,
  a + b, a * b or a / b, compared with moving a alone by as much.
A statistic counts when it is below a threshold that grows with the
surrogate's own error; the smallest relative to its threshold wins.
"""

from __future__ import annotations

import copy
import itertools
import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from ._ops import ADD, DIV, MUL, SUB

SURROGATE_ROWS = 400
TEST_POINTS = 400
MIN_ROWS = 20
# A structure holds when its statistic is below THRESHOLD plus twice the
# surrogate's relative error, at most MAX_THRESHOLD.
THRESHOLD = 0.02
MAX_THRESHOLD = 0.25
STRUCTURE_ROWS = 4000  # rows of a big table the tests draw their points and ranges from
SYMMETRIES_UP_TO = 10  # variables: pairs are tested for symmetries (the pairs grow as the square)
ALL_SPLITS_UP_TO = 6  # variables: every split into two groups is tested; beyond, one variable against the rest

_SEED = 20261207


class Surrogate:
    """Kernel ridge regression of y on standardised columns: a Gaussian or a
    polynomial kernel, whichever predicts left-out rows best.

    logs: y is of one sign and the model is of log |y| over the logarithms
    of the columns that are positive, where a product of powers is linear
    (the laws of physics are mostly such products); __call__ gives log |y|
    then, and target() y itself."""

    def __init__(self, X: np.ndarray, y: np.ndarray, logs: bool = False):
        self.is_log, self.inverted = logs, False
        self.sign = float(np.sign(y[0])) if logs else 1.0
        self.logs = (X.min(axis=0) > 0) if logs else np.zeros(X.shape[1], dtype=bool)
        if logs:
            X, y = self._inputs(X), np.log(np.abs(y))
        rows = len(y)
        if rows > SURROGATE_ROWS:
            keep = np.sort(np.random.default_rng(_SEED).choice(rows, SURROGATE_ROWS, replace=False))
            X, y = X[keep], y[keep]
        self.mean, self.scale = X.mean(axis=0), X.std(axis=0)
        self.scale[self.scale == 0] = 1.0
        self.y_mean, self.y_scale = float(y.mean()), float(y.std()) or 1.0
        self.Z = (X - self.mean) / self.scale
        t = (y - self.y_mean) / self.y_scale
        best = (math.inf, None, None)
        dims = X.shape[1]
        kernels = [("gauss", length * math.sqrt(dims)) for length in (1.0, 2.0, 4.0, 8.0)]
        kernels += [("poly", degree) for degree in (2, 3, 4, 5)]
        for kernel in kernels:
            self.kernel = kernel
            w, U = np.linalg.eigh(self._gram(self.Z))
            w = np.clip(w, 0.0, None)
            Ut = U.T @ t
            for ridge in (1e-12, 1e-10, 1e-8, 1e-6, 1e-4, 1e-2):
                shrink = w / (w + ridge * w.max())
                fitted = U @ (shrink * Ut)
                leverage = np.clip((U * U) @ shrink, 0.0, 1.0 - 1e-12)
                loo = float(np.sqrt(np.mean(((t - fitted) / (1.0 - leverage)) ** 2)))
                if loo < best[0]:
                    best = (loo, kernel, U @ (Ut / (w + ridge * w.max())))
        # The leave-one-out rmse relative to the target's spread.
        error, self.kernel, self.alpha = best
        self.error = min(error, 1.0)

    def _gram(self, Z: np.ndarray) -> np.ndarray:
        kind, p = self.kernel
        if kind == "gauss":
            return np.exp(-_square_distances(Z, self.Z) / (2 * p * p))
        return (1.0 + Z @ self.Z.T / Z.shape[1]) ** p

    def _inputs(self, X: np.ndarray) -> np.ndarray:
        if not self.logs.any():
            return X
        X = X.copy()
        X[:, self.logs] = np.log(X[:, self.logs])
        return X

    def __call__(self, X: np.ndarray) -> np.ndarray:
        return (self._gram((self._inputs(X) - self.mean) / self.scale) @ self.alpha) * self.y_scale + self.y_mean

    def reciprocal(self) -> Surrogate:
        """The model of 1 / y from that of log |y| (its negative)."""
        r = copy.copy(self)
        r.alpha, r.y_mean, r.inverted = -self.alpha, -self.y_mean, True
        return r

    def target(self, X: np.ndarray) -> np.ndarray:
        """The model's y at the rows of X."""
        return self.sign * np.exp(self(X)) if self.is_log else self(X)


def _square_distances(A: np.ndarray, B: np.ndarray) -> np.ndarray:
    d = (A * A).sum(1)[:, None] + (B * B).sum(1)[None, :] - 2.0 * A @ B.T
    return np.clip(d, 0.0, None)


@dataclass(frozen=True)
class Split:
    """f = g(group) op h(rest), op "+" or "*", or 1 / f = g(group) + h(rest)
    (kind "1/+"); score: the test's statistic."""
    kind: str
    group: tuple[int, ...]
    rest: tuple[int, ...]
    score: float


@dataclass(frozen=True)
class Symmetry:
    """f depends on a and b only through a op b, op one of - + * /."""
    op: int
    a: int
    b: int
    score: float


SYMBOL = {SUB: "-", ADD: "+", MUL: "*", DIV: "/"}


def _mixed(X: np.ndarray, group: Sequence[int], rows: np.ndarray, other: np.ndarray) -> np.ndarray:
    """Rows `rows` of X with the columns of `group` taken from rows `other`."""
    out = X[rows].copy()
    out[:, group] = X[other][:, group]
    return out


def _interactions(s: Surrogate, X: np.ndarray, group: Sequence[int], rng) -> tuple[float, float]:
    """The additive and multiplicative interactions of group against the
    rest at mixed points, relative to the size of what they compare (of
    log |y| for a surrogate of it, of 1 / y for its reciprocal)."""
    n = len(X)
    i, j = rng.integers(n, size=TEST_POINTS), rng.integers(n, size=TEST_POINTS)
    model = s.target if s.inverted else s
    ab, ab2, a2b, ba2 = (model(P) for P in (X[i], X[j], _mixed(X, group, i, j), _mixed(X, group, j, i)))
    change, size = np.sqrt(np.mean((ab - ab2) ** 2)), np.sqrt(np.mean((ab * ab2) ** 2))
    add = np.sqrt(np.mean((ab + ab2 - a2b - ba2) ** 2)) / change if change > 0 else math.inf
    mul = np.sqrt(np.mean((ab * ab2 - a2b * ba2) ** 2)) / size if size > 0 else math.inf
    return float(add), float(mul)


def _symmetry(s: Surrogate, X: np.ndarray, op: int, a: int, b: int, rng) -> float:
    """How much s moves along the curves of a op b constant, relative to
    moving a alone as far."""
    lo, hi = X.min(axis=0), X.max(axis=0)
    P = X[rng.integers(len(X), size=TEST_POINTS)]
    pa, pb = P[:, a], P[:, b]
    if op in (MUL, DIV):
        if np.any(X[:, [a, b]] <= 0):
            return math.inf
        factor = np.exp(rng.uniform(-0.2, 0.2, TEST_POINTS))
        na, nb = pa * factor, (pb * factor if op == DIV else pb / factor)
    else:
        step = rng.uniform(-0.2, 0.2, TEST_POINTS) * min(hi[a] - lo[a], hi[b] - lo[b])
        na, nb = pa + step, (pb + step if op == SUB else pb - step)
    inside = (na >= lo[a]) & (na <= hi[a]) & (nb >= lo[b]) & (nb <= hi[b])
    if inside.sum() < TEST_POINTS // 8:
        return math.inf
    P, na, nb = P[inside], na[inside], nb[inside]
    moved, alone = P.copy(), P.copy()
    moved[:, a], moved[:, b] = na, nb
    alone[:, a] = na
    base = s(P)
    change = np.sqrt(np.mean((s(alone) - base) ** 2))
    if not change > 0:
        return math.inf
    return float(np.sqrt(np.mean((s(moved) - base) ** 2)) / change)


def _threshold(s: Surrogate) -> float:
    return min(THRESHOLD + 2.0 * s.error, MAX_THRESHOLD)


def _groups(n: int):
    if n <= ALL_SPLITS_UP_TO:
        for size in range(1, n // 2 + 1):
            for group in itertools.combinations(range(n), size):
                if size * 2 < n or 0 in group:  # each split once
                    yield group
    else:
        for v in range(n):
            yield (v,)


def find_structure(X: np.ndarray, y: np.ndarray,
                   explained: float = math.inf) -> tuple[Split | Symmetry, Surrogate] | None:
    """The most certain structure of y over the columns of X, with the
    surrogate that showed it, or None. A target of one sign has a second
    surrogate, of log |y|, on which a product is a sum; a symmetry is read
    from the surrogate with the smaller error (it holds for y as for log |y|).
    explained: the rmse of a formula already found; None as well when it is
    within the better surrogate's own error (the noise, or all a surrogate
    can tell apart)."""
    n = X.shape[1]
    if n < 2 or len(y) < MIN_ROWS or not np.all(np.isfinite(y)) or np.ptp(y) == 0:
        return None
    rng = np.random.default_rng(_SEED)
    if len(y) > STRUCTURE_ROWS:
        keep = np.sort(rng.choice(len(y), STRUCTURE_ROWS, replace=False))
        X, y = X[keep], y[keep]
    s = Surrogate(X, y)
    log_s = Surrogate(X, y, logs=True) if np.all(y > 0) or np.all(y < 0) else None
    # The surrogates' errors as an rmse of y (that of log |y| is relative).
    noise = s.error * s.y_scale
    if log_s is not None:
        noise = min(noise, log_s.error * log_s.y_scale * float(np.sqrt(np.mean(y * y))))
    if explained <= noise:
        return None
    recip = None if log_s is None else log_s.reciprocal()
    found: list = []  # (score relative to its surrogate's threshold, structure, surrogate)
    for group in _groups(n):
        rest = tuple(v for v in range(n) if v not in group)
        add, mul = _interactions(s, X, group, rng)
        found.append((add / _threshold(s), Split("+", group, rest, add), s))
        if log_s is not None:
            mul = _interactions(log_s, X, group, rng)[0]
            found.append((mul / _threshold(log_s), Split("*", group, rest, mul), log_s))
            inverse = _interactions(recip, X, group, rng)[0]
            found.append((inverse / _threshold(log_s), Split("1/+", group, rest, inverse), recip))
        else:
            found.append((mul / _threshold(s), Split("*", group, rest, mul), s))
    best = s if log_s is None or s.error <= log_s.error else log_s
    for a, b in itertools.combinations(range(n) if n <= SYMMETRIES_UP_TO else (), 2):
        for op in (SUB, ADD, MUL, DIV):
            score = _symmetry(best, X, op, a, b, rng)
            found.append((score / _threshold(best), Symmetry(op, a, b, score), best))
    ratio, structure, surrogate = min(found, key=lambda f: f[0])
    return (structure, surrogate) if ratio < 1.0 else None


def describe(structure: Split | Symmetry, names: Sequence[str]) -> str:
    if isinstance(structure, Symmetry):
        return (f"depends on {names[structure.a]} and {names[structure.b]} only through "
                f"{names[structure.a]} {SYMBOL[structure.op]} {names[structure.b]}")
    group = ", ".join(names[v] for v in structure.group)
    rest = ", ".join(names[v] for v in structure.rest)
    if structure.kind == "1/+":
        return f"split additively after 1 / y: 1 / y = {{{group}}} + {{{rest}}}"
    word = "additively" if structure.kind == "+" else "multiplicatively"
    return f"split {word}: {{{group}}} {structure.kind} {{{rest}}}"
