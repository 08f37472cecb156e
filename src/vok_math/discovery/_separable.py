"""Splitting a search: separability and symmetries of the target, read from a
smooth surrogate of the data, and the formulas of the parts put back together.

The surrogate is Gaussian kernel ridge regression on standardised variables
(at most SURROGATE_ROWS rows), its length scale and ridge chosen by exact
leave-one-out error, which the eigendecomposition of the kernel matrix gives
for every ridge at once. It needs nothing beyond NumPy, is deterministic,
interpolates smooth laws to a small fraction of their spread from a few
hundred rows, and smooths noise; a network or boosted trees would add a
dependency, a training loop and randomness for no better fit at this size.

The tests compare the surrogate at mixed points, each term normalised by how
much the surrogate changes between the same points without the structure:
- additive in groups A | B: s(a, b) + s(a', b') - s(a, b') - s(a', b) = 0;
- multiplicative: s(a, b) * s(a', b') - s(a, b') * s(a', b) = 0;
- a symmetry of a pair (a, b): s stays put when (a, b) moves along a - b,
  a + b, a * b or a / b, compared with moving a alone by as much.
A structure found gives smaller searches (each part's target read from the
surrogate with the other group held at a reference row; the fitted search
finds each part up to scale and offset), whose results are recombined over
the original variables and refitted on all rows.
"""

from __future__ import annotations

import copy
import dataclasses
import itertools
import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np

from .. import _ext
from . import _render, _select
from ._ops import ADD, DIV, MUL, OP, PARAM, RECIP, SUB, VAR

SURROGATE_ROWS = 400
TEST_POINTS = 400
MIN_ROWS = 20
# A structure holds when its statistic is below this share of the change it
# is compared with (plus twice the surrogate's own relative error), at most MAX_THRESHOLD.
THRESHOLD = 0.02
MAX_THRESHOLD = 0.25
ALL_SPLITS_UP_TO = 6  # variables: every split into two groups is tested; beyond, one variable against the rest

_SEED = 20261207

Token = tuple[int, int, int, float]


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


_SYMBOL = {SUB: "-", ADD: "+", MUL: "*", DIV: "/"}


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


def find_structure(X: np.ndarray, y: np.ndarray) -> tuple[Split | Symmetry, Surrogate] | None:
    """The most certain structure of y over the columns of X, with the
    surrogate that showed it, or None. A target of one sign has a second
    surrogate, of log |y|, on which a product is a sum; a symmetry is read
    from the surrogate with the smaller error (it holds for y as for log |y|)."""
    n = X.shape[1]
    if n < 2 or len(y) < MIN_ROWS or not np.all(np.isfinite(y)) or np.ptp(y) == 0:
        return None
    rng = np.random.default_rng(_SEED)
    s = Surrogate(X, y)
    log_s = Surrogate(X, y, logs=True) if np.all(y > 0) or np.all(y < 0) else None
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
    for a, b in itertools.combinations(range(n), 2):
        for op in (SUB, ADD, MUL, DIV):
            score = _symmetry(best, X, op, a, b, rng)
            found.append((score / _threshold(best), Symmetry(op, a, b, score), best))
    ratio, structure, surrogate = min(found, key=lambda f: f[0])
    return (structure, surrogate) if ratio < 1.0 else None


# ---- token surgery ------------------------------------------------------------------

def _op(code: int) -> Token:
    return (OP, code, 0, 0.0)


def _param(index: int, value: float) -> Token:
    return (PARAM, 0, index, value)


def strip_scale(tokens: Sequence[Token]) -> list[Token]:
    """The shape inside a fitted result's outer offset and scale."""
    t = list(tokens)
    if len(t) > 2 and t[-1] == _op(ADD) and t[-2][0] == PARAM:
        t = t[:-2]
    if len(t) > 2 and t[-1] == _op(MUL) and t[-2][0] == PARAM:
        t = t[:-2]
    return t


def renumber(tokens: Sequence[Token], params: Sequence[float], variables: Sequence[int],
             first_param: int) -> tuple[list[Token], list[float]]:
    """tokens with variable i renamed variables[i] and their constants
    renumbered from first_param (only those used, in order of use)."""
    out, values, new_index = [], [], {}
    for kind, op, index, value in tokens:
        if kind == VAR:
            out.append((kind, op, variables[index], value))
        elif kind == PARAM:
            if index not in new_index:
                new_index[index] = first_param + len(values)
                values.append(params[index] if index < len(params) else value)
            out.append((kind, op, new_index[index], values[new_index[index] - first_param]))
        else:
            out.append((kind, op, index, value))
    return out, values


def substitute(tokens: Sequence[Token], variable: int, replacement: Sequence[Token]) -> list[Token]:
    """tokens with every Var `variable` replaced by the tokens `replacement`."""
    out: list[Token] = []
    for t in tokens:
        out.extend(replacement if t[0] == VAR and t[2] == variable else (t,))
    return out


def combine(kind: str, g: Sequence[Token], h: Sequence[Token], first_param: int) -> list[Token]:
    """g * h * p0 + p1, or g * p0 + h * p1 + p2: the parts with their scales
    and an offset as new constants numbered from first_param (values 0)."""
    p = [_param(first_param + k, 0.0) for k in range(3)]
    if kind == "*":
        return [*g, *h, _op(MUL), p[0], _op(MUL), p[1], _op(ADD)]
    return [*g, p[0], _op(MUL), *h, p[1], _op(MUL), _op(ADD), p[2], _op(ADD)]


def linear_start(tokens: list[Token], params: list[float], n_linear: int, columns, targets) -> list[float] | None:
    """params with the last n_linear (the combination's scales and offset,
    which enter linearly) set by least squares; None when the rest fails."""
    design = []
    for k in range(n_linear):
        unit = [0.0] * n_linear
        unit[k] = 1.0
        v = np.frombuffer(_ext.evaluate(tokens, columns, params[:-n_linear] + unit), dtype=np.float64)
        design.append(v)
    base = np.frombuffer(_ext.evaluate(tokens, columns, params[:-n_linear] + [0.0] * n_linear), dtype=np.float64)
    A = np.column_stack([d - base for d in design])
    if not np.all(np.isfinite(A)) or not np.all(np.isfinite(base)):
        return None
    coef = np.linalg.lstsq(A, targets - base, rcond=None)[0]
    return params[:-n_linear] + [float(c) for c in coef]


def describe(structure: Split | Symmetry, names: Sequence[str]) -> str:
    if isinstance(structure, Symmetry):
        return (f"depends on {names[structure.a]} and {names[structure.b]} only through "
                f"{names[structure.a]} {_SYMBOL[structure.op]} {names[structure.b]}")
    group = ", ".join(names[v] for v in structure.group)
    rest = ", ".join(names[v] for v in structure.rest)
    if structure.kind == "1/+":
        return f"split additively after 1 / y: 1 / y = {{{group}}} + {{{rest}}}"
    word = "additively" if structure.kind == "+" else "multiplicatively"
    return f"split {word}: {{{group}}} {structure.kind} {{{rest}}}"


# ---- split, search, recombine -------------------------------------------------------

# A search of part of the problem: (columns, targets, names, time limit,
# whether to decompose it in turn) -> the part's Formula (its tokens over
# those columns), or None.
PartSearch = Callable[[list[np.ndarray], np.ndarray, tuple[str, ...], "float | None", bool], object]


def _share(deadline: float | None, parts: int) -> float | None:
    if deadline is None:
        return None
    return max(deadline - time.monotonic(), 0.0) / parts


def _reference_row(X: np.ndarray) -> int:
    """The row nearest the middle of the data (standardised)."""
    Z = (X - np.median(X, axis=0)) / (X.std(axis=0) + 1e-300)
    return int(np.argmin((Z * Z).sum(1)))


def _search_part(search: PartSearch, X: np.ndarray, group: Sequence[int], targets: np.ndarray,
                 names: tuple[str, ...], limit: float | None, decompose: bool = True):
    """A part's Formula over the columns of group, or None."""
    if not np.all(np.isfinite(targets)):
        return None
    try:
        return search([np.ascontiguousarray(X[:, v]) for v in group], targets, tuple(names[v] for v in group), limit,
                      decompose)
    except TimeoutError:
        return None


def _fitted(tokens: list[Token], params: list[float], linear: int, columns, targets):
    """(tokens, params, rmse) with every constant refitted on all rows, the
    last `linear` ones (entering linearly) started by least squares; None
    when a row fails."""
    tokens = [tuple(t) for t in _ext.read_tokens(tokens, len(columns))]
    if len(params) > 32:
        return None
    try:
        if linear:
            start = linear_start(tokens, params, linear, columns, targets)
            if start is None:
                return None
            params = start
        if params:
            params, rmse = _ext.fit(tokens, params, columns, targets)
        else:
            rmse = _ext.rmse(tokens, (), columns, targets)
    except ValueError:  # a row fails at the parts' constants
        return None
    return (tokens, list(params), rmse) if math.isfinite(rmse) else None


def _join(kind: str, parts: list, groups: Sequence[Sequence[int]], columns, targets):
    """The parts' shapes (over their groups' columns) combined over all
    columns and refitted: (tokens, params, rmse, the shapes' lengths), or None."""
    shapes, params = [], []
    for part, group in zip(parts, groups):
        tokens, values = renumber(strip_scale(part.tokens), part.params, group, len(params))
        shapes.append(tokens)
        params += values
    linear = 2 if kind == "*" else 3
    fitted = _fitted(combine(kind, shapes[0], shapes[1], len(params)), params + [0.0] * linear, linear, columns,
                     targets)
    return None if fitted is None else (*fitted, (len(shapes[0]), len(shapes[1])))


def _other_term(kind: str, joined, k: int, columns) -> np.ndarray | None:
    """The fitted contribution of the part other than k to a joined formula
    (combine's layout): p * h plus the offset for a sum, h for a product."""
    tokens, params, _, (lg, lh) = joined
    g, h = tokens[:lg], tokens[lg + 2:lg + 2 + lh] if kind == "+" else tokens[lg:lg + lh]
    values = _values(h if k == 0 else g, params, columns)
    if values is None or kind == "*":
        return values
    return values * params[-2 if k == 0 else -3] + params[-1]


def _values(tokens, params, columns) -> np.ndarray | None:
    v = np.frombuffer(_ext.evaluate(tokens, columns, params), dtype=np.float64)
    return v if np.all(np.isfinite(v)) else None


def _split_search(split: Split, surrogate: Surrogate, X: np.ndarray, y: np.ndarray, names: tuple[str, ...],
                  search: PartSearch, deadline: float | None):
    """Each part searched on the surrogate's values with the other group at a
    reference row, the parts joined; then each part searched again, and split
    further, on what the data leave for it given the other (exact when the
    other is), kept when the joined rmse drops. (tokens, params, rmse, the
    parts' steps)."""
    columns = [np.ascontiguousarray(c) for c in X.T]
    # A product's parts are read where both are large: at the row of the
    # largest |y| (a sum's anywhere, at the middle row).
    ref = X[_reference_row(X) if split.kind == "+" else int(np.argmax(np.abs(surrogate.target(X))))]
    groups = (split.group, split.rest)
    parts = []
    for k, group in enumerate(groups):
        other = list(groups[1 - k])
        points = X.copy()
        points[:, other] = ref[other]
        values = surrogate.target(points)
        part = _search_part(search, X, group, values, names, _share(deadline, 4 - k), decompose=False)
        if part is None:
            return None
        # The surrogate's values are good to about its error: the simplest
        # formula of the part's front within that of the best.
        spread = surrogate.error * surrogate.y_scale * (np.sqrt(np.mean(values ** 2)) if surrogate.is_log else 1.0)
        parts.append(next((f for f in part.front if f.rmse <= part.rmse + 2.0 * spread), part))
    joined = _join(split.kind, parts, groups, columns, y)
    if joined is None:
        return None
    for k, group in enumerate(groups):
        other = _other_term(split.kind, joined, k, columns)
        if other is None or (split.kind == "*" and np.min(np.abs(other)) <= 1e-12 * np.max(np.abs(other))):
            continue
        part = _search_part(search, X, group, y - other if split.kind == "+" else y / other, names,
                            _share(deadline, 2 - k))
        if part is None:
            continue
        trial = _join(split.kind, [part if i == k else p for i, p in enumerate(parts)], groups, columns, y)
        if trial is not None and trial[2] < joined[2]:
            parts[k], joined = part, trial
    steps = []
    for part, group in zip(parts, groups):
        label = "{" + ", ".join(names[v] for v in group) + "}"
        shape = _render.to_text(strip_scale(part.tokens), part.names, part.params)
        steps += [f"{label}: {shape} (up to scale and offset)", *("  " + line for line in part.path)]
    return (*joined[:3], steps)


def _symmetry_search(sym: Symmetry, X: np.ndarray, y: np.ndarray, names: tuple[str, ...], search: PartSearch,
                     deadline: float | None):
    """The reduced problem (a op b as one variable in a's place, b dropped)
    searched, and a op b put back: (tokens, params, rmse, the search's steps)."""
    a, b, op = sym.a, sym.b, sym.op
    u = {SUB: np.subtract, ADD: np.add, MUL: np.multiply, DIV: np.divide}[op](X[:, a], X[:, b])
    keep = [v for v in range(X.shape[1]) if v != b]
    label = f"({names[a]}{_SYMBOL[op]}{names[b]})"
    if label in names:
        return None
    Xr = X[:, keep].copy()
    Xr[:, keep.index(a)] = u
    part = _search_part(search, Xr, range(len(keep)), y, tuple(label if v == a else names[v] for v in keep),
                        _share(deadline, 1))
    if part is None:
        return None
    placeholder = X.shape[1]  # a variable index no original column has
    tokens, params = renumber(part.tokens, part.params, [placeholder if v == a else v for v in keep], 0)
    tokens = substitute(tokens, placeholder, [(VAR, 0, a, 0.0), (VAR, 0, b, 0.0), _op(op)])
    fitted = _fitted(tokens, params, 0, [np.ascontiguousarray(c) for c in X.T], y)
    return None if fitted is None else (*fitted, part.path)


def recombined(columns: list[np.ndarray], targets: np.ndarray, names: tuple[str, ...], search: PartSearch,
               deadline: float | None) -> tuple[list[Token], list[float], float, int, list[str]] | None:
    """The formula of a split or reduced search over the original variables
    with its constants refitted on all rows: (tokens, params, rmse,
    complexity, the steps taken), or None when the data show no structure
    or its search gives nothing that evaluates."""
    X = np.column_stack(columns)
    found = find_structure(X, targets)
    if found is None:
        return None
    structure, surrogate = found
    if isinstance(structure, Split) and structure.kind == "1/+":
        # The sum 1 / y searched as a sum, then y = p / (that) + q.
        built = _split_search(dataclasses.replace(structure, kind="+"), surrogate, X, 1.0 / targets, names, search,
                              deadline)
        if built is not None:
            tokens, params, _, substeps = built
            m = len(params)
            fitted = _fitted([*tokens, _op(RECIP), _param(m, 1.0), _op(MUL), _param(m + 1, 0.0), _op(ADD)],
                             [*params, 1.0, 0.0], 2, columns, targets)
            built = None if fitted is None else (*fitted, substeps)
    elif isinstance(structure, Split):
        built = _split_search(structure, surrogate, X, targets, names, search, deadline)
    else:
        built = _symmetry_search(structure, X, targets, names, search, deadline)
    if built is None:
        return None
    tokens, params, rmse, substeps = built
    # The outer scale and offset of a split, as of a fitted result, are not counted.
    complexity = len(tokens) - (4 if isinstance(structure, Split) else 0)
    return tokens, params, rmse, complexity, [describe(structure, names), *("  " + line for line in substeps)]


def improve(chosen, problem, search: PartSearch, rule: str, floor: float, alphabet: int, deadline: float | None):
    """chosen, or the formula of a split or reduced search when the
    selection rule prefers it; with the step recorded in its path."""
    if not chosen.complete or chosen.rmse <= floor or len(problem.names) < 2:
        return chosen
    if deadline is not None and time.monotonic() >= deadline:
        return chosen
    built = recombined(problem.columns, problem.targets, problem.names, search, deadline)
    if built is None:
        return chosen
    tokens, params, rmse, complexity, steps = built
    error = rmse / problem.unit * (1.0 + complexity * problem.penalty)
    candidate = problem.formula((tuple(tokens), error, complexity, rmse, tuple(params)), True, chosen.front)
    pair = sorted((chosen, candidate), key=lambda f: f.complexity)
    best = candidate if candidate.error < chosen.error else chosen
    if _select.choose(rule, best, pair, problem.columns, problem.targets, floor, alphabet) is not candidate:
        return chosen
    return with_path(candidate, steps)


def with_path(f, steps: Sequence[str]):
    return dataclasses.replace(f, path=(*f.path, *steps))
