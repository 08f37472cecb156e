"""Splitting a search by the structure of its target (_structure): the parts
searched, each found up to scale and offset, and put back together over the
original variables by surgery on their postfix tokens, with every constant
refitted on all rows.

A split's parts are first searched on the surrogate's values with the other
group held at a reference row, then again, and split further in turn, on what
the data leave for each given the other (exact once the other part is). A
symmetry replaces its pair by one variable, whose search is decomposed in
turn. The recombined formula replaces the plain search's only when the
selection rule prefers it.
"""

from __future__ import annotations

import contextvars
import dataclasses
import math
import time
from collections.abc import Callable, Sequence

import numpy as np

from .. import _ext
from . import _render, _select, _structure
from ._ops import ADD, DIV, MUL, OP, PARAM, RECIP, SUB, VAR
from ._structure import SYMBOL, Split, Surrogate, Symmetry, describe, find_structure

Token = tuple[int, int, int, float]


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
    # The surrogate tells no more on many rows than on a few thousand: its
    # parts are searched on those.
    S = X
    if len(X) > _structure.STRUCTURE_ROWS:
        S = X[np.sort(np.random.default_rng(0).choice(len(X), _structure.STRUCTURE_ROWS, replace=False))]
    # A product's parts are read where both are large: at the row of the
    # largest |y| (a sum's anywhere, at the middle row).
    ref = S[_reference_row(S) if split.kind == "+" else int(np.argmax(np.abs(surrogate.target(S))))]
    groups = (split.group, split.rest)
    parts = []
    for k, group in enumerate(groups):
        other = list(groups[1 - k])
        points = S.copy()
        points[:, other] = ref[other]
        values = surrogate.target(points)
        part = _search_part(search, S, group, values, names, _share(deadline, 4 - k), decompose=False)
        if part is None:
            return None
        # The surrogate's values are good to about its error: the simplest
        # formula of the part's front within that of the best.
        spread = surrogate.error * surrogate.y_scale * (np.sqrt(np.mean(values ** 2)) if surrogate.is_log else 1.0)
        parts.append(next((f for f in part.front if f.rmse <= part.rmse + 2.0 * spread), part))
    joined = _join(split.kind, parts, groups, columns, y)
    if joined is None:
        return None
    # The smaller group first: its part (a power of one variable, say) comes
    # out right even from a target the other part's error still blurs, and
    # then gives the larger group an exact target.
    order = sorted(range(2), key=lambda k: len(groups[k]))
    for k in order:
        group = groups[k]
        other = _other_term(split.kind, joined, k, columns)
        if other is None or (split.kind == "*" and np.min(np.abs(other)) <= 1e-12 * np.max(np.abs(other))):
            continue
        part = _search_part(search, X, group, y - other if split.kind == "+" else y / other, names,
                            _share(deadline, 1 + (k == order[0])))
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
    label = f"({names[a]}{SYMBOL[op]}{names[b]})"
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
               deadline: float | None,
               explained: float = math.inf) -> tuple[list[Token], list[float], float, int, list[str]] | None:
    """The formula of a split or reduced search over the original variables
    with its constants refitted on all rows: (tokens, params, rmse,
    complexity, the steps taken), or None when the data show no structure
    (or none that a formula of rmse `explained` leaves to find) or its
    search gives nothing that evaluates."""
    X = np.column_stack(columns)
    found = find_structure(X, targets, explained)
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


# Splits within splits: each nested search holds its part's data, and a
# table of many variables could otherwise be peeled one variable at a time.
MAX_NESTING = 3
_nesting = contextvars.ContextVar("nesting", default=0)


def improve(chosen, problem, search: PartSearch, rule: str, floor: float, alphabet: int, deadline: float | None):
    """chosen, or the formula of a split or reduced search when the
    selection rule prefers it; with the step recorded in its path."""
    if not chosen.complete or chosen.rmse <= floor or len(problem.names) < 2:
        return chosen
    if (deadline is not None and time.monotonic() >= deadline) or _nesting.get() >= MAX_NESTING:
        return chosen
    token = _nesting.set(_nesting.get() + 1)
    try:
        built = recombined(problem.columns, problem.targets, problem.names, search, deadline, chosen.rmse)
    finally:
        _nesting.reset(token)
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
