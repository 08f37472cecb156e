"""The Feynman benchmark: vok_math.discover on the 120 laws of the Feynman
Symbolic Regression Database (bench/feynman_laws.py), by step, side by side
with pyoperon.

Each law gets `--rows` rows (200) drawn uniformly from its published ranges
(fixed seed per law), and the target with Gaussian noise of 0 and 1 % of its
RMS added; 200 more rows, drawn apart and without noise, are held out.
Verdicts, for every method alike:
- "law recovered" (R): the returned formula, each of its numbers snapped to a
  simple number near it (p/q * pi^k with q <= 24, k in -3..3, or the square
  root of such a number; within 1e-6 relative at noise 0, 1e-2 at 1 %; the
  24 simplest tried for each number), is the law: equal to it on the held-out
  rows, and SymPy simplifies their difference to 0 or their ratio to 1 within
  `--sympy-seconds`. An added constant within that tolerance of the target's
  RMS counts as 0.
  Numerically equal ones that SymPy does not prove in time are counted apart
  as "num" (N) and not as recovered.
- "exact" (E): the formula as returned predicts the held-out rows with
  |f - y| <= 1e-10 * max(|y|, RMS of y) on every row.

Steps (`--step`, cumulative from "constants"; an option that discover does not
accept skips the step, as read from its signature):
  defaults       discover(X, y)
  constants      constants fitted, nothing else: decompose=False and the
                 engine's fixed max_complexity where discover has those options
  units          + units=, target_units= (the law's units, over m, s, kg, T, V)
  decomposition  + decompose=True, operators=("arcsin", "arccos", "tanh")
  deepening      + max_complexity="auto" (and budget= with --budget)

Printed: a line per law and noise level (verdicts and seconds per step, the
last step's formula), then the table by step: laws recovered and exact at
each noise level, total and largest seconds per law. Time is the call of
discover alone (not the data, nor the verdicts); read it as a ratio, the
machine may be loaded.

Run: .venv/bin/python bench/feynman.py [--step all] [--laws 'I.*,test_1']
     [--quick] [--no-operon] [--threads 1] [--json out.json]
pyoperon (pip install pyoperon) runs on 1 thread with a fixed budget of
evaluations and seconds, selecting by description length (its default).
"""

from __future__ import annotations

import argparse
import fnmatch
import inspect
import itertools
import json
import math
import os
import signal
import sys
import time


def _threads(argv) -> str:
    """--threads, read before vok_math is imported: its pool reads
    RAYON_NUM_THREADS when it starts."""
    for i, a in enumerate(argv):
        if a == "--threads" and i + 1 < len(argv):
            return argv[i + 1]
        if a.startswith("--threads="):
            return a.split("=", 1)[1]
    return "1"


os.environ["RAYON_NUM_THREADS"] = _threads(sys.argv[1:])

import numpy as np  # noqa: E402
import sympy  # noqa: E402

import vok_math  # noqa: E402
from vok_math import _ext  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from feynman_laws import BY_ID, LAWS, to_si, unit_string  # noqa: E402

NOISE = (0.0, 0.01)
SNAP_RTOL = {0.0: 1e-6, 0.01: 1e-2}
EXACT = 1e-10
STEPS = ("defaults", "constants", "units", "decomposition", "deepening")
EXTRA_OPERATORS = ("arcsin", "arccos", "tanh")
QUICK = ("I.6.2a", "I.12.1", "I.14.3", "I.25.13", "I.29.4", "I.34.27", "I.39.1", "I.43.31", "II.3.24", "II.8.31",
         "II.27.18", "II.34.2", "III.12.43", "I.10.7", "I.12.11", "I.37.4", "II.11.27", "III.4.33", "test_5", "test_8")


# ---- the steps --------------------------------------------------------------

def accepted() -> set[str]:
    return set(inspect.signature(vok_math.discover).parameters)


def has_step(step: str) -> bool:
    """Whether this discover has the options a step adds (read from its
    signature: deepening by its budget= option)."""
    have = accepted()
    return {"defaults": True, "constants": True, "units": {"units", "target_units"} <= have,
            "decomposition": "decompose" in have, "deepening": "budget" in have}[step]


def step_options(step: str, law, budget: float | None, units_form: str = "vectors") -> dict:
    """discover's options for a step: those of the steps up to it that this
    discover has (see has_step)."""
    if step == "defaults":
        return {}
    have = accepted()
    options = {}
    if "decompose" in have:
        options["decompose"] = False
    if not isinstance(inspect.signature(vok_math.discover).parameters["max_complexity"].default, int):
        options["max_complexity"] = int(_ext.DEFAULTS["max_complexity"])
    for later in STEPS[2:STEPS.index(step) + 1]:
        if not has_step(later):
            continue
        if later == "units":
            options.update(units={n: unit_form(u, units_form) for n, u in law.units.items()},
                           target_units=unit_form(law.target_units, units_form))
        elif later == "decomposition":
            options["decompose"] = True
            if "operators" in have:
                options["operators"] = EXTRA_OPERATORS
        else:
            options["max_complexity"] = "auto"
            if budget is not None:
                options["budget"] = budget
    return options


def unit_form(units, form: str):
    """A law's units as discover is given them: the exponent vector over
    (m, s, kg, T, V), over SI's (m, s, kg, K, A), or SI text."""
    if form == "vectors":
        return units
    si = to_si(units)
    return si if form == "si" else unit_string(si)


# ---- data -------------------------------------------------------------------

def sample(law, index: int, rows: int, seed: int):
    """(X, y without noise, held-out X, held-out y), fixed per law."""
    rng = np.random.default_rng([seed, index])
    X, hold = law.sample(rows, rng), law.sample(200, rng)
    return X, law.evaluate(X), hold, law.evaluate(hold)


def noisy(y, level: float, index: int, seed: int):
    if not level:
        return y
    rng = np.random.default_rng([seed, index, 1])
    return y + rng.normal(0.0, level * math.sqrt(float(np.mean(y * y))), len(y))


# ---- verdicts ---------------------------------------------------------------

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


def timed(call, *args, **options):
    """(call's result, wall seconds, CPU seconds of the process: every
    thread's, which a loaded machine does not inflate as much)."""
    wall, cpu = time.perf_counter(), time.process_time()
    out = call(*args, **options)
    return out, time.perf_counter() - wall, time.process_time() - cpu


# ---- pyoperon ---------------------------------------------------------------

def run_operon(law, X, y, hold, y_hold, level, args, seed):
    from pyoperon.sklearn import SymbolicRegressor

    model = SymbolicRegressor(n_threads=1, random_state=seed, max_evaluations=args.operon_evaluations,
                              max_time=args.operon_seconds,
                              allowed_symbols="add,sub,mul,div,constant,variable,exp,log,sin,cos,sqrt,square")
    table = np.column_stack([X[n] for n in law.names])
    _, seconds, cpu = timed(model.fit, table, y)
    _, symbols = law.sympy()
    text = model.get_model_string(model.model_, 17, list(law.names)).replace("^", "**")
    scope = {s.name: s for s in symbols} | {"square": lambda t: t**2}
    expr = sympy.parse_expr(text, local_dict=scope)
    mark = recovered(expr, law, hold, y_hold, level, args.sympy_seconds)
    with np.errstate(all="ignore"):
        exact = close(model.predict(np.column_stack([hold[n] for n in law.names])), y_hold)
    return mark + ("E" if exact else ""), seconds, cpu, str(expr)


# ---- the run ----------------------------------------------------------------

def select(spec: str | None, quick: bool):
    """The laws of --laws: ids or patterns, or a number n for n laws evenly
    spaced over the table; --quick's list; all."""
    if quick:
        return [BY_ID[i] for i in QUICK]
    if not spec:
        return list(LAWS)
    if spec.isdigit():
        return [LAWS[k * len(LAWS) // int(spec)] for k in range(min(int(spec), len(LAWS)))]
    patterns = [p.strip() for p in spec.split(",") if p.strip()]
    chosen = [law for law in LAWS if any(fnmatch.fnmatchcase(law.id, p) for p in patterns)]
    if not chosen:
        raise SystemExit(f"no law matches {spec!r}; ids look like I.6.2a, II.11.27, test_1")
    return chosen


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--laws", help="ids or shell patterns, comma separated (I.*, test_*), or a number of laws evenly spaced")
    parser.add_argument("--quick", action="store_true", help=f"{len(QUICK)} laws, short ones and long ones")
    parser.add_argument("--step", default="defaults", help=f"comma separated among {', '.join(STEPS)}, or all")
    parser.add_argument("--noise", default="0,0.01", help="noise levels, fractions of the target's RMS")
    parser.add_argument("--rows", type=int, default=200)
    parser.add_argument("--seed", type=int, default=20)
    parser.add_argument("--threads", default="1", help="threads of vok_math's pool")
    parser.add_argument("--budget", type=float, help="discover's budget= in seconds, for the deepening step")
    parser.add_argument("--units-form", choices=("vectors", "si", "strings"), default="vectors",
                        help="units given to discover: over (m, s, kg, T, V), over SI's (m, s, kg, K, A), or text")
    parser.add_argument("--time-limit", type=float, help="discover's time_limit= for every call")
    parser.add_argument("--sympy-seconds", type=float, default=10.0, help="SymPy's time per comparison")
    parser.add_argument("--no-operon", action="store_true")
    parser.add_argument("--operon-laws", help="pyoperon's laws (same form as --laws), default those of the run")
    parser.add_argument("--operon-evaluations", type=int, default=200_000)
    parser.add_argument("--operon-seconds", type=int, default=10)
    parser.add_argument("--json", help="write every law's results to this file")
    args = parser.parse_args(argv)
    args.steps = list(STEPS[1:]) if args.step == "all" else [s.strip() for s in args.step.split(",")]
    unknown = set(args.steps) - set(STEPS)
    if unknown:
        parser.error(f"unknown step {sorted(unknown)}: choose among {', '.join(STEPS)}")
    args.levels = [float(v) for v in args.noise.split(",")]
    if set(args.levels) - set(SNAP_RTOL):
        parser.error(f"noise levels are among {sorted(SNAP_RTOL)}")
    return args


def main(argv=None):
    args = parse_args(argv)
    laws = select(args.laws, args.quick)
    operon_ids = set()
    if not args.no_operon:
        try:
            import pyoperon  # noqa: F401
            operon_ids = {law.id for law in select(args.operon_laws, False)} if args.operon_laws else \
                {law.id for law in laws}
        except ImportError:
            print("pyoperon is not installed (pip install pyoperon): its column is left out")
    steps = [s for s in args.steps if has_step(s)]
    for s in args.steps:
        if s not in steps:
            print(f"step {s!r} skipped: discover has no {s} options here")
    methods = steps + (["pyoperon"] if operon_ids else [])
    results = []  # dicts: law, noise, method, mark, seconds, formula
    index = {law.id: k for k, law in enumerate(LAWS)}
    for level in args.levels:
        print(f"\nnoise {level:.0%} of the target's RMS; R recovered, N numerically equal only, E exact, ! raised")
        print(f"{'law':<10} " + " ".join(f"{m[:13]:>13} {'s':>6}" for m in methods) + "  formula")
        for law in laws:
            k = index[law.id]
            X, y_clean, hold, y_hold = sample(law, k, args.rows, args.seed)
            y = noisy(y_clean, level, k, args.seed)
            line, formula = f"{law.id:<10} ", ""
            for method in methods:
                if method == "pyoperon":
                    if law.id not in operon_ids:
                        line += f"{'':>13} {'':>6} "
                        continue
                    mark, seconds, cpu, text = run_operon(law, X, y, hold, y_hold, level, args, seed=k + 1)
                else:
                    options = step_options(method, law, args.budget, args.units_form)
                    if args.time_limit is not None:
                        options["time_limit"] = args.time_limit
                    text, seconds, cpu = "-", math.nan, math.nan
                    try:
                        found, seconds, cpu = timed(vok_math.discover, X, y, **options)
                    except Exception as e:  # noqa: BLE001 - reported, the run goes on
                        found, text = None, f"{type(e).__name__}: {e}"
                    mark = verdict(found, law, hold, y_hold, level, args.sympy_seconds) if text == "-" else "!"
                    if found is not None:
                        text = found.formula
                    formula = text
                results.append(dict(law=law.id, noise=level, method=method, mark=mark, seconds=seconds, cpu=cpu,
                                    formula=text))
                line += f"{mark or '-':>13} {seconds:>6.2f} "
            print(line + " " + formula, flush=True)
    summary(results, methods, args.levels)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=1)


def summary(results, methods, levels):
    print("\nby step: laws recovered (R) and exact (E) of those run; seconds (wall, then CPU) in all, and the most")
    print("one law took (wall)")
    print(f"{'method':<14} " + " ".join(f"{f'noise {lv:.0%}':>48}" for lv in levels))
    for method in methods:
        cells = []
        for lv in levels:
            rows = [r for r in results if r["method"] == method and r["noise"] == lv]
            n = len(rows)
            rec = sum("R" in r["mark"] for r in rows)
            num = sum("N" in r["mark"] for r in rows)
            exact = sum("E" in r["mark"] for r in rows)
            timed_rows = [r for r in rows if r["mark"] != "!"]
            total = sum(r["seconds"] for r in timed_rows)
            cpu = sum(r["cpu"] for r in timed_rows)
            worst = max((r["seconds"] for r in timed_rows), default=0.0)
            cells.append(f"R {rec:>3}/{n:<3} (+{num} N) E {exact:>3} {total:>7.1f}s ({cpu:>6.1f}s) max {worst:>5.2f}s")
        print(f"{method:<14} " + " ".join(f"{c:>48}" for c in cells))
    failed = [r for r in results if r["mark"] == "!"]
    for method in dict.fromkeys(r["method"] for r in failed):
        first = next(r for r in failed if r["method"] == method)
        count = sum(r["method"] == method for r in failed)
        print(f"{method}: discover raised on {count} runs, first on {first['law']}: {first['formula']}")


if __name__ == "__main__":
    main()
