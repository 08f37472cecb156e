"""The Feynman benchmark: vok_math.discover on the 120 laws of the Feynman
Symbolic Regression Database (bench/feynman_laws.py), by step, side by side
with pyoperon.

Each law gets `--rows` rows (200) drawn uniformly from its published ranges
(fixed seed per law), and the target with Gaussian noise of 0 and 1 % of its
RMS added; 200 more rows, drawn apart and without noise, are held out.
Verdicts, for every method alike (bench/feynman_verdicts.py): "law
recovered" (R), the formula with its numbers snapped to simple ones (small
rationals, their products with powers of pi, square roots of these) equal to
the law, proven by SymPy (N: equal on the held-out rows, not proven in
--sympy-seconds); "exact" (E), relative error <= 1e-10 on the held-out rows.

Steps (`--step`, comma separated or "all": the last four), each adding its
options to those of the steps before it from "constants"; a step whose option
discover lacks (units=, decompose=, budget=, read from its signature) is
skipped, and left out of the later steps:
  defaults       discover(X, y)
  constants      constants fitted, nothing else: decompose=False and the
                 engine's fixed max_complexity where discover has those options
  units          + units=, target_units= (the law's units, over m, s, kg, T, V)
  decomposition  + decompose=True, operators=("arcsin", "arccos", "tanh")
  deepening      + max_complexity="auto" (and budget= with --budget)

Printed: a line per law and noise level (verdicts and wall seconds per step,
the last step's formula), then the table by step: laws recovered and exact
at each noise level, seconds in all and the most for one law, wall and CPU.
Time is the call of discover alone (not the data, nor the verdicts); the
machine may be loaded: read CPU seconds and ratios. With --baseline, each
step against an earlier run's defaults (--json): laws kept, lost and gained,
and the CPU time on the laws it recovered. bench/feynman_baseline.json is the
run of the defaults before units, decomposition and deepening.

Run: .venv/bin/python bench/feynman.py [--step all] [--laws 'I.*,test_1']
     [--quick] [--no-operon] [--threads 1] [--json out.json]
     [--baseline bench/feynman_baseline.json]
pyoperon (pip install pyoperon) runs on 1 thread with a fixed budget of
evaluations (--operon-evaluations, 200,000) and seconds (--operon-seconds,
10; 0 for none), selecting by description length (its default).
"""

from __future__ import annotations

import argparse
import fnmatch
import inspect
import json
import math
import os
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
from feynman_verdicts import SNAP_RTOL, close, recovered, verdict  # noqa: E402

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
                              max_time=args.operon_seconds or None,
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

def select(wanted: str | None, quick: bool):
    """The laws of --laws: ids or patterns, or a number n for n laws evenly
    spaced over the table; --quick's list; all."""
    if quick:
        return [BY_ID[i] for i in QUICK]
    if not wanted:
        return list(LAWS)
    if wanted.isdigit():
        return [LAWS[k * len(LAWS) // int(wanted)] for k in range(min(int(wanted), len(LAWS)))]
    patterns = [p.strip() for p in wanted.split(",") if p.strip()]
    chosen = [law for law in LAWS if any(fnmatch.fnmatchcase(law.id, p) for p in patterns)]
    if not chosen:
        raise SystemExit(f"no law matches {wanted!r}; ids look like I.6.2a, II.11.27, test_1")
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
    parser.add_argument("--operon-seconds", type=int, default=10, help="pyoperon's time limit (0: none)")
    parser.add_argument("--json", help="write every law's results to this file")
    parser.add_argument("--baseline", help="a --json file of an earlier run: laws lost and gained against its "
                        "defaults, and the CPU time on the laws it recovered")
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
    if args.baseline:
        with open(args.baseline) as f:
            compare(results, methods, json.load(f))
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=1)


def summary(results, methods, levels):
    print("\nby step: laws recovered (R) and exact (E) of those run; seconds in all and the most for one law,")
    print("wall and CPU (every thread's; less inflated than wall on a loaded machine)")
    print(f"{'method':<14} " + " ".join(f"{f'noise {lv:.0%}':>54}" for lv in levels))
    for method in methods:
        cells = []
        for lv in levels:
            rows = [r for r in results if r["method"] == method and r["noise"] == lv]
            n = len(rows)
            rec = sum("R" in r["mark"] for r in rows)
            num = sum("N" in r["mark"] for r in rows)
            exact = sum("E" in r["mark"] for r in rows)
            timed_rows = [r for r in rows if r["mark"] != "!"] or [dict(seconds=0.0, cpu=0.0)]
            wall, cpu = (sum(r[k] for r in timed_rows) for k in ("seconds", "cpu"))
            most_wall, most_cpu = (max(r[k] for r in timed_rows) for k in ("seconds", "cpu"))
            cells.append(f"R {rec:>3}/{n:<3} (+{num} N) E {exact:>3} {wall:>6.1f}s {cpu:>6.1f}s cpu "
                         f"max {most_wall:>5.2f}s {most_cpu:>5.2f}s")
        print(f"{method:<14} " + " ".join(f"{c:>54}" for c in cells))
    failed = [r for r in results if r["mark"] == "!"]
    for method in dict.fromkeys(r["method"] for r in failed):
        first = next(r for r in failed if r["method"] == method)
        count = sum(r["method"] == method for r in failed)
        print(f"{method}: discover raised on {count} runs, first on {first['law']}: {first['formula']}")


def compare(results, methods, baseline):
    """Each method against the baseline's defaults, law by law: the laws it
    recovered that the method does not, those it gains, and the ratio of CPU
    seconds spent on the laws the baseline recovered."""
    base = {(r["law"], r["noise"]): r for r in baseline if r["method"] == "defaults"}
    print("\nagainst the baseline's defaults (on the laws and noise levels both ran)")
    for method in methods:
        rows = [r for r in results if r["method"] == method and (r["law"], r["noise"]) in base]
        if not rows:
            continue
        was = [r for r in rows if "R" in base[(r["law"], r["noise"])]["mark"]]
        lost = [f"{r['law']}@{r['noise']:.0%}" for r in was if "R" not in r["mark"]]
        gained = [r for r in rows if "R" in r["mark"] and "R" not in base[(r["law"], r["noise"])]["mark"]]
        then = sum(base[(r["law"], r["noise"])].get("cpu", math.nan) for r in was)
        now = sum(r["cpu"] for r in was)
        print(f"{method:<14} kept {len(was) - len(lost)}/{len(was)}, gained {len(gained)}, "
              f"CPU on the kept ones {now / then if then else math.nan:.2f}x the baseline's"
              + (f"; lost: {', '.join(lost)}" if lost else ""))


if __name__ == "__main__":
    main()
