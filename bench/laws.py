"""Recovering physical laws with their constants: vok_math.discover without
and with fitted constants, side by side with pyoperon's SymbolicRegressor.

Each law of bench/law_set.py is sampled (fixed seeds) at two noise levels:
0 and 1 % of the target's standard deviation (Gaussian, added to the target).
Every method sees the same rows. A law counts as recovered when the returned
formula, after snapping, is the law's shape with its constants: the two
SymPy expressions, simplified, match node by node with numbers equal up to a
relative tolerance (1e-3 at noise 0, 5e-2 at 1 %): "yes" in the tables. A
formula of another form that equals the law within a fifth of that tolerance
on points drawn from twice the sampled ranges is shown as "num" and counted
apart. Before comparing,
numbers within 1e-6 of an integer, a half or a quarter become it, and an
added constant within the tolerance of the target's spread is dropped (for
every method alike).

Printed: a table per noise level (recovered, formula, seconds per method),
the share of laws recovered per method, the time per law, the cost of fitting
(defaults / constants=False), vok_math against pyoperon, and which selection
rule (mdl, holdout, penalty) recovers the law most often at 1 % noise.
No assertions on time: the machine may be loaded; read the ratios.

Run: .venv/bin/python bench/laws.py [--quick] [--no-operon] [--evaluations N]
pyoperon (PyPI) is needed only for its column: pip install pyoperon.
It runs on 1 thread with a fixed budget of evaluations (default 200,000).
"""

from __future__ import annotations

import argparse
import itertools
import math
import os
import signal
import sys
import time

os.environ.setdefault("RAYON_NUM_THREADS", "2")

import numpy as np  # noqa: E402
import sympy  # noqa: E402

import vok_math  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from law_set import LAWS  # noqa: E402

NOISE = (0.0, 0.01)
RTOL = {0.0: 1e-3, 0.01: 5e-2}
SELECTIONS = ("mdl", "holdout", "penalty")


# ---- data -----------------------------------------------------------------

def symbols(entry):
    """The variables as SymPy symbols, positive where their range is, so that
    SymPy may simplify sqrt(x**2) and the like."""
    out = {}
    for n, span in entry["variables"].items():
        lo = span[0] if span else min(entry["table"][n])
        out[n] = sympy.Symbol(n, positive=True) if lo > 0 else sympy.Symbol(n, real=True)
    return out


def law_expr(entry):
    names = symbols(entry)
    return sympy.parse_expr(entry["law"], local_dict=names), list(names.values())


def with_assumptions(expr, entry):
    return expr.xreplace({sympy.Symbol(n): s for n, s in symbols(entry).items()})


def sample(entry, level, seed):
    rng = np.random.default_rng(seed)
    expr, symbols = law_expr(entry)
    if entry["table"]:
        X = {n: np.array(entry["table"][n], dtype=float) for n in entry["variables"]}
        y = np.array(entry["table"]["y"], dtype=float)
    else:
        X = {n: rng.uniform(lo, hi, entry["rows"]) for n, (lo, hi) in entry["variables"].items()}
        y = sympy.lambdify(symbols, expr, "numpy")(*X.values()) * np.ones(entry["rows"])
    spread = float(np.std(y))
    y = y + rng.normal(0.0, entry["noise"] * spread, len(y)) + rng.normal(0.0, level * spread, len(y))
    return X, y


# ---- comparing shapes -----------------------------------------------------

def snap_numbers(expr, tol=1e-6):
    """Numbers within tol of an integer, a half or a quarter (or of 0) become
    it; other rationals become floats, so that simplifying does not clear
    their denominators differently on the two sides."""
    def nice(f):
        v = float(f)
        r = sympy.Rational(round(v * 4), 4)
        return r if abs(float(r) - v) <= tol * abs(v) or abs(v) < 1e-12 else sympy.Float(v)
    numbers = [a for a in expr.atoms(sympy.Number) if isinstance(a, sympy.Float) or not a.is_Integer]
    return expr.xreplace({f: nice(f) for f in numbers})


def _split(expr, kind):
    """(numeric part, the rest) of a product or a sum."""
    identity = 1 if kind is sympy.Mul else 0
    if not isinstance(expr, kind):
        return (expr, identity) if expr.is_number else (identity, expr)
    numeric = [a for a in expr.args if a.is_number]
    return kind(*numeric), kind(*[a for a in expr.args if not a.is_number])


def _close(a, b, rtol):
    x, y = complex(a), complex(b)
    return abs(x - y) <= rtol * max(abs(x), abs(y)) or x == y


def same_shape(a, b, rtol):
    """a and b match node by node, numbers (and numeric subexpressions) equal
    up to rtol; a missing factor counts as 1 and a missing term as 0."""
    if a.is_number and b.is_number:
        return _close(a, b, rtol)
    if a.is_number or b.is_number:
        return False
    for kind, identity in ((sympy.Mul, 1), (sympy.Add, 0)):
        if isinstance(a, kind) or isinstance(b, kind):
            (ca, ra), (cb, rb) = _split(a, kind), _split(b, kind)
            if (ca, cb) != (identity, identity):
                return _close(ca, cb, rtol) and same_shape(ra, rb, rtol)
    if a.func != b.func or len(a.args) != len(b.args):
        return False
    if not a.args:
        return a == b
    if isinstance(a, (sympy.Add, sympy.Mul)) and len(a.args) <= 6:
        return any(all(same_shape(x, y, rtol) for x, y in zip(a.args, perm))
                   for perm in itertools.permutations(b.args))
    return all(same_shape(x, y, rtol) for x, y in zip(a.args, b.args))


def unit_constant_term(expr):
    """A quotient p / q rewritten with q's constant term (else its first
    term's coefficient) made 1: 2.3 S / (S + 0.7) and S / (0.30 + 0.43 S) alike."""
    p, q = sympy.fraction(sympy.together(expr))
    if q == 1:
        return expr
    q = sympy.expand(q)
    c, _ = q.as_coeff_Add()
    if not c:
        c = sympy.Add.make_args(q)[0].as_coeff_Mul()[0]
    return snap_numbers(sympy.expand(p / c)) / snap_numbers(sympy.expand(q / c))


def canonical_forms(expr):
    simple = sympy.simplify(expr)
    return [simple, sympy.powsimp(sympy.expand(simple)), sympy.factor_terms(simple), sympy.cancel(simple),
            unit_constant_term(simple)]


def extrapolates(expr, law, entry, rtol, seed=7):
    """expr equals the law within rtol at points drawn from twice each
    variable's range (the table's range for a table)."""
    rng = np.random.default_rng(seed)
    names = list(entry["variables"])
    variables = list(symbols(entry).values())
    points = []
    for n in names:
        lo, hi = entry["variables"][n] or (min(entry["table"][n]), max(entry["table"][n]))
        width = hi - lo
        lo, hi = (lo / 2, hi * 2) if lo > 0 else (lo - width / 2, hi + width / 2)
        points.append(rng.uniform(lo, hi, 400))
    with np.errstate(all="ignore"):
        want = np.asarray(sympy.lambdify(variables, law, "numpy")(*points), dtype=complex) * np.ones(400)
        got = np.asarray(sympy.lambdify(variables, expr, "numpy")(*points), dtype=complex) * np.ones(400)
    ok = np.isfinite(want) & (want.imag == 0)
    if ok.sum() < 100:
        return False
    scale = np.abs(want[ok]) + 1e-3 * np.std(want[ok].real)
    return bool(np.all(np.abs(got[ok] - want[ok]) <= rtol * scale))


class _Slow(Exception):
    pass


def _time_out(*_):
    raise _Slow


def recovered(expr, law, entry, rtol, spread, seconds=20.0):
    """recovered_shape(), given up after `seconds` (SymPy can take minutes to
    simplify a bloated expression): "" then."""
    previous = signal.signal(signal.SIGALRM, _time_out)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        return recovered_shape(expr, law, entry, rtol, spread)
    except _Slow:
        return ""
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def recovered_shape(expr, law, entry, rtol, spread):
    """"yes" when expr, snapped, is the law's shape with its constants (an
    added constant within rtol of the target's spread counts as 0); "num"
    when the shapes differ in form but expr equals the law within rtol / 5 on
    twice the sampled range; "" otherwise."""
    if expr is None:
        return ""
    try:
        expr = snap_numbers(expr)
        offset, rest = expr.as_coeff_Add()
        if offset and abs(float(offset)) <= rtol * spread:
            expr = rest
        forms = canonical_forms(expr)
        laws = canonical_forms(snap_numbers(law))
        if any(same_shape(f, g, rtol) for f in forms for g in laws):
            return "yes"
        return "num" if extrapolates(expr, law, entry, rtol / 5) else ""
    except Exception:  # SymPy cannot compare them (the time limit included)
        return ""


# ---- the methods ------------------------------------------------------------

def run_discover(X, y, **options):
    start = time.perf_counter()
    f = vok_math.discover(X, y, **options)
    seconds = time.perf_counter() - start
    return f, seconds


def run_operon(X, y, evaluations, seed, entry):
    from pyoperon.sklearn import SymbolicRegressor

    names = list(X)
    model = SymbolicRegressor(n_threads=1, random_state=seed, max_evaluations=evaluations,
                              allowed_symbols="add,sub,mul,div,constant,variable,exp,log,sin,cos,sqrt,square")
    table = np.column_stack(list(X.values()))
    start = time.perf_counter()
    model.fit(table, y)
    seconds = time.perf_counter() - start
    text = model.get_model_string(model.model_, 17, names).replace("^", "**")
    local = symbols(entry) | {"square": lambda t: t**2}
    expr = sympy.parse_expr(text, local_dict=local)
    r2 = float(model.score(table, y))
    return expr, seconds, r2


def short(text, width=46):
    return text if len(text) <= width else text[:width - 3] + "..."


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the first eight laws only")
    parser.add_argument("--no-operon", action="store_true")
    parser.add_argument("--evaluations", type=int, default=200_000, help="pyoperon's budget")
    args = parser.parse_args()
    operon = not args.no_operon
    if operon:
        try:
            import pyoperon  # noqa: F401
        except ImportError:
            print("pyoperon is not installed (pip install pyoperon): its column is left out")
            operon = False
    laws = LAWS[:8] if args.quick else LAWS
    totals = {}

    def tally(key, ok, seconds):
        """ok: "yes", "num" or ""; counts (laws, shapes, numeric matches, seconds)."""
        n, hit, num, t = totals.get(key, (0, 0, 0, 0.0))
        totals[key] = (n + 1, hit + (ok == "yes"), num + (ok == "num"), t + seconds)

    for level in NOISE:
        print(f"\nnoise {level:.0%} of the target's spread (constants compared to {RTOL[level]:g})")
        print(f"{'law':<22} {'0/1 only':>12} {'fitted (defaults)':>20}  {'formula':<46} "
              + (f"{'pyoperon':>14}" if operon else ""))
        for k, entry in enumerate(laws):
            law, _ = law_expr(entry)
            X, y = sample(entry, level, seed=1000 + k)
            spread = float(np.std(y))
            plain, t_plain = run_discover(X, y, constants=False)
            fitted, t_fit = run_discover(X, y)
            ok_plain = plain and recovered(with_assumptions(plain.to_sympy(), entry), law, entry, RTOL[level], spread)
            ok_fit = fitted and recovered(with_assumptions(fitted.to_sympy(), entry), law, entry, RTOL[level], spread)
            tally(("plain", level), ok_plain, t_plain)
            tally(("fitted", level), ok_fit, t_fit)
            line = (f"{entry['name']:<22} {ok_plain or 'no':>3} {t_plain:>7.3f}s "
                    f"{ok_fit or 'no':>3} {t_fit:>7.3f}s R2 {fitted.r2 if fitted else math.nan:>8.5f}  "
                    f"{short(fitted.formula if fitted else '-'):<46}")
            if level:
                for rule in SELECTIONS:
                    g, t = run_discover(X, y, selection=rule)
                    tally((rule, level), g and recovered(with_assumptions(g.to_sympy(), entry), law, entry, RTOL[level], spread), t)
            if operon:
                expr, t_op, r2 = run_operon(X, y, args.evaluations, k + 1, entry)
                ok_op = recovered(expr, law, entry, RTOL[level], spread)
                tally(("pyoperon", level), ok_op, t_op)
                line += f" {ok_op or 'no':>3} {t_op:>7.2f}s R2 {r2:.5f}"
            print(line, flush=True)

    print("\nrecovered laws and time per law")
    print("(shapes recovered of the laws, the share, + numeric matches, mean seconds per law)")
    print(f"{'method':<28} " + "  ".join(f"{f'noise {lv:.0%}':>28}" for lv in NOISE))
    names = {"plain": "discover constants=False", "fitted": "discover (defaults)", "pyoperon": "pyoperon"}
    for key in ("plain", "fitted", "pyoperon"):
        if (key, NOISE[0]) not in totals:
            continue
        cells = []
        for lv in NOISE:
            n, hit, num, t = totals[(key, lv)]
            cells.append(f"{hit:>2}/{n} ({hit / n:>4.0%}) +{num} num {t / n:>7.3f}s")
        print(f"{names[key]:<28} " + "  ".join(f"{c:>28}" for c in cells))
    for lv in NOISE:
        fit_t, plain_t = totals[("fitted", lv)][3], totals[("plain", lv)][3]
        print(f"noise {lv:.0%}: cost of fitting, defaults / constants=False: {fit_t / plain_t:.2f}")
        if operon:
            print(f"noise {lv:.0%}: time of pyoperon / discover (defaults): {totals[('pyoperon', lv)][3] / fit_t:.1f}")
    print(f"\nselection rules at noise 1% (law recovered, of {len(laws)}):")
    for rule in SELECTIONS:
        n, hit, num, _ = totals[(rule, 0.01)]
        print(f"  {rule:<8} {hit:>2}/{n} (+{num} num)")


if __name__ == "__main__":
    main()
