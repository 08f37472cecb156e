"""discover() with units: the search runs on the dimensionless groups, and
its formula is mapped back to the original variables.

With groups pi_j = prod x_i ** N_ij and the target's own group
y / M, M = prod x_i ** a_i (see _units), the search finds pi_0 = f(pi_1, ...);
substituting each group's product for its variable and multiplying by M
gives y = M * f(...) over the original names, whose constants are then
refitted on all rows, as the target itself and not its group measures them.
"""

from __future__ import annotations

import dataclasses
import math
import time
from collections.abc import Callable, Sequence
from fractions import Fraction
from typing import Any

import numpy as np

from .. import _ext
from . import _render, _snap, _units
from ._formula import Formula
from ._ops import CONST, DIV, EXP, LN, MUL, OP, PARAM, RECIP, SQRT, VAR

Token = tuple[int, int, int, float]


def _op(code: int) -> Token:
    return (OP, code, 0, 0.0)


# Powers up to this are written as products (x * x * x); higher ones as
# exp(k * ln(x)), which the text forms write x**k.
_REPEAT = 4


def _factor(i: int, k: int) -> list[Token]:
    if k <= _REPEAT:
        return [(VAR, 0, i, 0.0)] + [(VAR, 0, i, 0.0), _op(MUL)] * (k - 1)
    return [(VAR, 0, i, 0.0), _op(LN), (CONST, 0, 0, float(k)), _op(MUL), _op(EXP)]


def _product(powers: list[tuple[int, int]]) -> list[Token]:
    tokens: list[Token] = []
    for n, (i, k) in enumerate(powers):
        tokens += _factor(i, k) + ([_op(MUL)] if n else [])
    return tokens


def power_tokens(exponents: Sequence[Fraction]) -> list[Token]:
    """prod x_i ** e_i as engine tokens: integer powers by products and one
    division, a common denominator 2 by sqrt, others by exp(ln(.) / q);
    empty for the product 1."""
    q = math.lcm(*(e.denominator for e in exponents))
    whole = [int(e * q) for e in exponents]
    up = _product([(i, e) for i, e in enumerate(whole) if e > 0])
    down = _product([(i, -e) for i, e in enumerate(whole) if e < 0])
    tokens = up + down + [_op(DIV)] if up and down else up or (down + [_op(RECIP)] if down else [])
    if q == 2:
        tokens += [_op(SQRT)]
    elif q > 2:
        tokens += [_op(LN), (CONST, 0, 0, 1.0 / q), _op(MUL), _op(EXP)]
    return tokens


def _substitute(tokens: Sequence[Token], groups: list[list[Token]], scale: list[Token]) -> list[Token]:
    """The formula over the groups written over the variables, times scale."""
    if scale and tuple(tokens) == ((CONST, 0, 0, 1.0),):
        return list(scale)
    out: list[Token] = list(scale)
    for token in tokens:
        out += groups[token[2]] if token[0] == VAR else [token]
    return out + ([_op(MUL)] if scale else [])


def _finite_rows(values: list[np.ndarray], labels: list[str], drop: bool) -> np.ndarray:
    ok = np.ones(len(values[0]), dtype=bool)
    for v in values:
        ok &= np.isfinite(v)
    if not ok.all() and not drop:
        row = int(np.flatnonzero(~ok)[0])
        label = next(lab for lab, v in zip(labels, values) if not math.isfinite(v[row]))
        raise ValueError(f"{label} is not finite at row {row} (a division by zero, an overflow "
                         f"or a root of a negative number); pass drop_nonfinite=True to leave out such rows")
    return ok


def search(discover: Callable[..., Formula | None], names: Sequence[str], columns: list[np.ndarray],
           targets: np.ndarray, target: str | None, units: Any, target_units: Any,
           options: dict[str, Any]) -> Formula | None:
    """discover(X, y, **options) through the dimensionless groups of the
    units; names, columns and targets as discover read them."""
    deadline = None if options["time_limit"] is None else time.monotonic() + float(options["time_limit"])
    var_units, y_unit = _units.read_units(units, target_units, names, target)
    groups, own = _units.reduce(var_units, y_unit, names)
    group_tokens = [power_tokens(g) for g in groups]
    scale = power_tokens(own)
    texts = [_render.to_text(t, names, ()) for t in group_tokens]
    y_name = target or "y"
    scale_text = _render.to_text(scale, names, ()) if scale else "1"
    if groups:
        step = (f"reduced by units: {y_name} = {'' if not scale else scale_text + ' * '}"
                f"f({', '.join(f'π{j}' for j in range(1, len(groups) + 1))}) with "
                + ", ".join(f"π{j} = {t}" for j, t in enumerate(texts, 1)))
    else:
        step = f"reduced by units: {y_name} = C * {scale_text}, no dimensionless group left"
    if not scale and all(sum(map(abs, g)) == 1 for g in groups):
        step = "units: every variable and the target are dimensionless, nothing to reduce"
        found = discover(dict(zip(names, columns)), targets, **options)
        return None if found is None else dataclasses.replace(found, target=target, path=(step, *found.path))

    values = [np.frombuffer(_ext.evaluate(t, columns), dtype=np.float64) for t in group_tokens]
    size = np.frombuffer(_ext.evaluate(scale, columns), dtype=np.float64) if scale else np.ones(len(targets))
    ratio = targets / np.where(size == 0, np.nan, size)
    labels = [*(f"the group π{j} = {t}" for j, t in enumerate(texts, 1)), f"the target's scale {scale_text}",
              f"the target's group {y_name} / ({scale_text})"]
    ok = _finite_rows([*values, size, ratio], labels, options["drop_nonfinite"])
    if not ok.any():
        raise ValueError("no row has finite dimensionless groups")
    if not ok.all():
        columns, targets = [np.ascontiguousarray(c[ok]) for c in columns], np.ascontiguousarray(targets[ok])
        values, ratio = [v[ok] for v in values], ratio[ok]
    constants = options["constants"]
    time_limit = None if deadline is None else max(deadline - time.monotonic(), 1e-3)

    from ._search import _Problem, pareto  # here: _search imports this module
    problem = _Problem(names, columns, targets, target, bool(constants), float(options["complexity_penalty"]))
    if groups:
        inner = discover({f"π{j}": np.ascontiguousarray(v) for j, v in enumerate(values, 1)}, ratio,
                         **{**options, "time_limit": time_limit, "drop_nonfinite": False})
        if inner is None:
            return None
    else:  # y = C * M: only the constant is left to fit (from the mean ratio)
        fitted = ((PARAM, 0, 0, 0.0),) if constants else ((CONST, 0, 0, 1.0),)
        inner = Formula(fitted, (), 0.0, 0, 0.0, params=(float(np.mean(ratio)),) if constants else ())

    def back(f: Formula) -> Formula:
        tokens = _substitute(f.tokens, group_tokens, scale)
        # Without groups the shape is the scale alone (its constant factor is not counted).
        complexity = f.complexity + len(tokens) - len(f.tokens) if groups else len(scale)
        return problem.rescored(f, tuple(tokens), f.params, complexity)

    front = tuple(back(f) for f in inner.front)
    chosen = back(inner)
    if chosen.params:
        chosen = _refit(problem, chosen, options, deadline)
    path = (step, *inner.path, "mapped back to the variables" + (", constants refitted on all rows"
                                                                 if inner.params else ""))
    return dataclasses.replace(chosen, front=pareto(list(front)), path=path)


def _refit(problem: Any, f: Formula, options: dict[str, Any], deadline: float | None) -> Formula:
    """f with its constants fitted to the target itself (least squares on
    all rows), then snapped to simple numbers as discover snaps them."""
    try:
        params, _ = _ext.fit(f.tokens, f.params, problem.columns, problem.targets)
    except ValueError:  # some row fails on the way: keep the group's fit
        params = f.params
    refitted = problem.rescored(f, f.tokens, tuple(params), f.complexity)
    if not refitted.rmse <= f.rmse:
        refitted = f
    from ._search import _SNAP_FRACTION  # here: _search imports this module
    snap = options["snap"]
    fraction = (_SNAP_FRACTION if snap else None) if isinstance(snap, (bool, np.bool_)) else float(snap)
    if fraction is None or not refitted.params:
        return refitted
    floor = float(options["precision_goal"]) * problem.unit
    snapped = _snap.snap(refitted.tokens, refitted.params, refitted.rmse, problem.columns, problem.targets,
                         fraction, floor, 0.0, deadline)
    if snapped is None:
        return refitted
    tokens, params, removed = snapped
    return problem.rescored(refitted, tokens, params, refitted.complexity - removed)
