"""Verdicts of the Feynman benchmark (bench/feynman.py) on a formula found
for a law of bench/feynman_laws.py, from 200 held-out rows without noise:

- "law recovered": the formula, each of its numbers snapped to a simple
  number near it (p/q * pi^k with q <= 24, k in -3..3, or the square root of
  such a number; within SNAP_RTOL: 1e-6 relative at noise 0, 1e-2 at 1 %),
  equals the law on the held-out rows and SymPy simplifies their difference
  to 0 or their ratio to 1 in the time given. Every combination of the
  simplest candidates is tried, so that a number near the law's own constant
  counts even when a simpler one is near too; a wrong snapping cannot pass,
  since the snapped formula must equal the law. An added constant within
  the tolerance of the target's RMS counts as 0. "N" marks a formula equal
  to the law on the rows that SymPy does not prove in time.
- "exact": the formula as returned predicts the held-out rows with
  |f - y| <= EXACT * max(|y|, RMS of y) on every row.
"""

from __future__ import annotations

import itertools
import math
import signal

import numpy as np
import sympy

SNAP_RTOL = {0.0: 1e-6, 0.01: 1e-2}
EXACT = 1e-10


def _simple_numbers():
    """(value, sympy number) of p/q * pi^k, q <= 24, p <= 24 q, k in -3..3,
    simplest first: by q, then |k|, then p."""
    out = []
    for q in range(1, 25):
        for k in (0, 1, -1, 2, -2, 3, -3):
            for p in range(1, 24 * q + 1):
                if math.gcd(p, q) == 1:
                    out.append((p / q * math.pi ** k, sympy.Rational(p, q) * sympy.pi ** k))
    return out


SIMPLE = _simple_numbers()
SIMPLE_VALUES = np.array([v for v, _ in SIMPLE])
CHOICES = 24  # simple numbers tried per constant, the simplest first
COMBINATIONS = 4096  # snappings tried per formula


def simple_near(v: float, rtol: float) -> list:
    """The simple numbers within rtol of v (or whose square is within rtol of
    v**2, as square roots), simplest first."""
    if v == 0 or not math.isfinite(v):
        return [sympy.Integer(0)] if v == 0 else []
    sign = 1 if v > 0 else -1
    found = []
    for target, root in ((abs(v), False), (v * v, True)):
        gap = np.abs(SIMPLE_VALUES - target) / target
        for i in np.flatnonzero(gap <= rtol):
            number = sympy.sqrt(SIMPLE[i][1]) if root else SIMPLE[i][1]
            found.append(((i, root), sign * number))
    found.sort(key=lambda t: t[0])
    out = []
    for _, number in found:
        if number not in out:
            out.append(number)
    return out[:CHOICES]


def snapped_equal(expr, symbols, hold, y_hold, rtol: float):
    """expr with its numbers snapped to simple ones near them (each within
    rtol) such that it equals the law on the held-out rows (see close()), or
    None. Every combination of the candidates (the simplest CHOICES of each)
    is tried, so that a number near the law's own constant counts even when
    a simpler one is near too."""
    floats = sorted(expr.atoms(sympy.Float), key=float)
    params = sympy.symbols(f"c0:{len(floats)}")
    shape = expr.xreplace(dict(zip(floats, params)))
    choices = [simple_near(float(f), rtol) for f in floats]
    if not all(choices):
        return None
    columns = [hold[s.name] for s in symbols]
    with np.errstate(all="ignore"):
        f = sympy.lambdify(list(symbols) + list(params), shape, "numpy")
        for combo in itertools.islice(itertools.product(*choices), COMBINATIONS):
            if close(f(*columns, *(float(c) for c in combo)), y_hold):
                return shape.xreplace(dict(zip(params, combo)))
    return None


class _Slow(Exception):
    pass


def _alarm(*_):
    raise _Slow


def proven(found, truth, seconds: float) -> bool | None:
    """SymPy proves found == truth (difference 0 or ratio 1): True; cannot
    in `seconds`: None; False when it simplifies to something else."""
    previous = signal.signal(signal.SIGALRM, _alarm)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        if sympy.simplify(found - truth) == 0:
            return True
        return sympy.simplify(found / truth) == 1 or None
    except _Slow:
        return None
    except Exception:  # noqa: BLE001 - SymPy fails on some expressions
        return None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def close(values, y) -> bool:
    values = np.asarray(values, dtype=float) * np.ones_like(y)
    scale = np.maximum(np.abs(y), math.sqrt(float(np.mean(y * y))))
    return bool(np.all(np.abs(values - y) <= EXACT * scale))


def recovered(expr, law, hold, y_hold, level: float, seconds: float) -> str:
    """"R" recovered, "N" numerically equal after snapping but not proven,
    "" otherwise."""
    if expr is None:
        return ""
    truth, symbols = law.sympy()
    expr = expr.xreplace({sympy.Symbol(s.name): s for s in symbols})
    if not expr.free_symbols <= set(symbols):
        return ""
    offset, rest = expr.as_coeff_Add()
    if offset and abs(float(offset)) <= SNAP_RTOL[level] * math.sqrt(float(np.mean(y_hold * y_hold))):
        expr = rest  # an added constant within the snapping tolerance of the target's size
    try:
        snapped = snapped_equal(expr, symbols, hold, y_hold, SNAP_RTOL[level])
    except Exception:  # noqa: BLE001 - a formula NumPy cannot evaluate
        return ""
    if snapped is None:
        return ""
    return {True: "R", None: "N", False: ""}[proven(snapped, truth, seconds)]


def verdict(found, law, hold, y_hold, level, seconds) -> str:
    """"R" / "N" and "E" for a Formula (or None)."""
    if found is None:
        return ""
    mark = recovered(found.to_sympy(), law, hold, y_hold, level, seconds)
    with np.errstate(all="ignore"):
        exact = close(found.predict(hold), y_hold)
    return mark + ("E" if exact else "")
