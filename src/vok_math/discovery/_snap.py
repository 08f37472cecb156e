"""Snapping fitted constants to simple numbers: small rationals and rational
multiples of pi, 0 for an offset and 1 for a scale, where the rmse grows by
no more than a stated fraction; the constants left free are refitted.

A snapped constant becomes a Const token; an added 0 and a factor 1 leave the
formula together with their operator, so 1.0 * (R * I) + 0.0 becomes R * I.
"""

from __future__ import annotations

import math
import time
from collections.abc import Sequence
from fractions import Fraction

import numpy as np

from .. import _ext
from . import _data
from ._ops import ADD, CONST, DIV, MUL, OP, PARAM, SUB, operator
from ._render import MAX_DENOMINATOR, rational_value

# Candidates tried per constant, the nearest ones within this relative distance.
TRIES = 3
NEAR = 0.01
DENOMINATORS = (1, 2, 3, 4, 6)


def candidates(v: float, scale: bool) -> list[float]:
    """Simple numbers near v, simplest first: 0 (but not for the outer scale),
    then p/q and p/q * pi with small q, within NEAR of v."""
    out = [] if scale else [0.0]
    if not math.isfinite(v) or v == 0.0:
        return out
    near = []
    for q in DENOMINATORS:
        for pi in (False, True):
            p = round(v * q / (math.pi if pi else 1.0))
            if p and abs(p) <= 1000 * q:
                c = rational_value(Fraction(p, q), pi)
                if abs(c - v) <= NEAR * abs(v):
                    near.append((q, pi, c))
    assert max(DENOMINATORS) <= MAX_DENOMINATOR  # the written forms recognise every snapped value
    out += [c for _, _, c in sorted(near, key=lambda t: t[:2]) if c not in out]
    return out[:TRIES]


def _outer(tokens: Sequence[tuple], count: int) -> tuple[int | None, int | None]:
    """The params of a fitted outer scale and offset, ((f * b) + a): (b, a)."""
    if count >= 2 and len(tokens) >= 5:
        (k1, _, i1, _), (k2, o2, _, _), (k3, _, i3, _), (k4, o4, _, _) = tokens[-4:]
        if (k1, k2, o2, k3, k4, o4) == (PARAM, OP, MUL, PARAM, OP, ADD) and (i1, i3) == (count - 2, count - 1):
            return i1, i3
    return None, None


def _drop_identities(tokens: list[tuple]) -> tuple[list[tuple], set[int]]:
    """Removes each x + 0, 0 + x, x - 0, x * 1, 1 * x and x / 1 whose 0 or 1 is
    a Const token; returns the tokens and the positions removed."""
    start: list[int] = []  # first position of the subtree ending at each token
    removed: set[int] = set()
    for i, (kind, code, _, _) in enumerate(tokens):
        if kind != OP:
            start.append(i)
            continue
        if operator(code).arity == 1:
            start.append(start[i - 1])
            continue
        right, left = i - 1, start[i - 1] - 1
        start.append(start[left])
        for leaf, ok in ((right, code in (ADD, SUB, MUL, DIV)), (left, code in (ADD, MUL))):
            kind_leaf, _, _, value = tokens[leaf]
            identity = 0.0 if code in (ADD, SUB) else 1.0
            if ok and kind_leaf == CONST and value == identity:
                removed |= {leaf, i}
                break
    return [t for i, t in enumerate(tokens) if i not in removed], removed


def _renumber(tokens: list[tuple], params: Sequence[float]) -> tuple[tuple[tuple, ...], tuple[float, ...]]:
    """Params numbered 0.. in order of first appearance, values in the tokens."""
    order: dict[int, int] = {}
    out = []
    for kind, code, index, value in tokens:
        if kind == PARAM:
            new = order.setdefault(index, len(order))
            out.append((PARAM, code, new, params[index]))
        else:
            out.append((kind, code, index, value))
    kept = [0.0] * len(order)
    for old, new in order.items():
        kept[new] = params[old]
    return tuple(out), tuple(kept)


def snap(tokens: Sequence[tuple], params: Sequence[float], rmse: float, columns: list[np.ndarray],
         targets: np.ndarray, fraction: float, floor: float, structural: float = 0.0,
         deadline: float | None = None) -> tuple[tuple, tuple[float, ...], int] | None:
    """Snaps what it can of params. Returns (tokens, params, shape tokens
    removed) when anything was snapped, else None. A snap is kept when the
    refitted rmse stays within max(rmse * (1 + fraction), floor); a snap that
    simplifies the shape (an offset to 0, an inner constant to a simple
    number) also within `structural`, while the outer scale and a nonzero
    offset, which carry the target's units, only snap within the first.
    No new snap is tried after `deadline` (time.monotonic())."""
    (tokens,), columns, used = _data.used_columns([tokens], columns)
    limit = max(rmse * (1.0 + fraction), floor)
    loose = max(limit, structural)
    scale, offset = _outer(tokens, len(params))
    order = [i for i in (offset, scale) if i is not None]
    order += [i for i in range(len(params)) if i not in order]
    current = [float(p) for p in params]
    fixed: dict[int, float] = {}
    for i in order:
        if deadline is not None and time.monotonic() >= deadline:
            break
        for c in candidates(current[i], scale=i == scale):
            trial = current.copy()
            trial[i] = c
            free = [j not in fixed and j != i for j in range(len(trial))]
            try:
                if any(free):
                    fitted, error = _ext.fit(tokens, trial, columns, targets, free)
                else:
                    fitted, error = tuple(trial), _ext.rmse(tokens, trial, columns, targets)
            except ValueError:  # some row fails at the snapped value
                continue
            if error <= (loose if i not in (scale, offset) or (i == offset and c == 0.0) else limit):
                current, fixed[i] = [float(p) for p in fitted], c
                current[i] = c
                break
    if not fixed:
        return None
    written = [(CONST, 0, 0, fixed[t[2]]) if t[0] == PARAM and t[2] in fixed else t for t in tokens]
    written = [(k, o, i, current[i] if k == PARAM else v) for k, o, i, v in written]
    kept, removed = _drop_identities(written)
    outer_positions = set(range(len(tokens) - 4, len(tokens))) if scale is not None else set()
    new_tokens, new_params = _renumber(kept, current)
    return _data.restore_columns(new_tokens, used), new_params, len(removed - outer_positions)
