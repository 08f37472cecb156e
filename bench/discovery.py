"""Formula discovery on a fixed set of target formulas, with 1 and 2 workers.

Each problem samples 1 to 3 input variables over 1000 rows (100 with --quick)
from a fixed seed, computes the target formula in Python and runs
find_formula with its default options. A problem counts as solved when the
returned error meets the default precision_goal (1e-10): the search then
found an expression equal to the target up to rounding. Each search runs
REPEATS times and its best time is reported (the least disturbed by other
load on the machine).

The worker count is fixed when the pool starts, so the whole set runs once
per count in its own subprocess (RAYON_NUM_THREADS=1, then 2). The script
prints, per problem and in total, whether the formula was found, the formula
and the time with each worker count, and the speed-up of 2 workers over 1.
Both runs must return identical results; any difference is reported.

Each problem is also solved by vok_math.discover(constants=False) on the
same data as a NumPy array of shape (rows, variables), with the same options; the script checks
that it returns find_formula's formula and error and prints the ratio of
its time to find_formula's (the goal: within 5 %).

Run: .venv/bin/python bench/discovery.py [--quick]
     .venv/bin/python bench/discovery.py --sweep [--rows ...] [--beams ...] [--workers ...] [--limit ...]

With --sweep, a sweep over the rows of one table instead: vok_math.discover
at its defaults on y = a*b/c + exp(-a) (a, b, c uniform on [0.5, 3]) for
each row count and beam width, with subsample=None (every row) and with the
default subsample (only where the default subsamples), each with 1 and 2
workers. Every point runs in its own process (the pool's size is fixed at
its start); the table gives the wall time, the CPU time, the process's
maximum RSS and the formula, and whether the default found the formula of
the search on every row. Searches on every row stop at --limit seconds
(marked "stopped"). The sweep's options:
    --rows 100,1000,...   row counts (default 10^2 .. 10^6)
    --beams 500,2000      beam widths (default the engine's default)
    --workers 1,2         worker counts
    --limit 600           the time limit of each search, in seconds
    --engine              one search of depth 8 without decomposition
                          (max_complexity=8, decompose=False) instead of the
                          defaults: how the engine's own time grows, apart
                          from the time-budgeted depth and decomposition
"""

import json
import math
import os
import random
import subprocess
import sys
import time

PRECISION_GOAL = 1e-10  # find_formula's default
REPEATS = 5


def vok(x, y):
    return math.exp(x) - math.log(y)  # the tension, without guards: inputs stay in range


# (name, number of variables, target, the law it stands for). The grammar has
# the constants 0 and 1 only, so laws appear in natural units.
PROBLEMS = [
    ("cube", 1, lambda x: x * x * x, "x^3"),
    ("quartic", 1, lambda x: x**4, "x^4"),
    ("nguyen-1 short", 1, lambda x: x**3 + x**2, "x^3 + x^2"),
    ("sqrt", 1, lambda x: math.sqrt(x), "Nguyen-8"),
    ("log1p", 1, lambda x: math.log(x + 1.0), "ln(x + 1)"),
    ("sin(x^2) cos(x)", 1, lambda x: math.sin(x * x) * math.cos(x), "Nguyen-5 without the -1"),
    ("sin x + sin x^2", 1, lambda x: math.sin(x) + math.sin(x * x), "Nguyen-6 variant"),
    ("decay", 1, lambda x: math.exp(-x), "radioactive decay N = exp(-t)"),
    ("damped oscillation", 1, lambda x: math.exp(-x) * math.cos(x), "exp(-t) cos(t)"),
    ("gaussian", 1, lambda x: math.exp(-x * x), "exp(-x^2)"),
    ("logistic", 1, lambda x: 1.0 / (1.0 + math.exp(-x)), "1 / (1 + exp(-x))"),
    ("pendulum energy", 1, lambda x: 1.0 - math.cos(x), "1 - cos(theta)"),
    ("saturation", 1, lambda x: x / (1.0 + x), "Michaelis-Menten, K = 1"),
    ("kepler", 1, lambda x: math.sqrt(x**3), "Kepler's third law T = a^(3/2)"),
    ("inverse square", 1, lambda x: 1.0 / (x * x), "field strength 1 / r^2"),
    ("2 sinh", 1, lambda x: math.exp(x) - math.exp(-x), "exp(x) - exp(-x)"),
    ("power x^y", 2, lambda x, y: x**y, "Nguyen-11"),
    ("sin x + sin y^2", 2, lambda x, y: math.sin(x) + math.sin(y * y), "Nguyen-9"),
    ("sin x cos y", 2, lambda x, y: math.sin(x) * math.cos(y), "Nguyen-10 without the 2"),
    ("kinetic energy", 2, lambda m, v: m * v * v, "m v^2"),
    ("boltzmann factor", 2, lambda e, t: math.exp(-e / t), "exp(-E / T)"),
    ("joule heating", 2, lambda v, r: v * v / r, "P = V^2 / R"),
    ("relativistic energy", 2, lambda p, m: math.sqrt(p * p + m * m), "E = sqrt(p^2 + m^2)"),
    ("tension", 2, vok, "vok(x, y) = exp(x) - ln(y)"),
    ("ideal gas", 3, lambda n, t, v: n * t / v, "P = n T / V"),
    ("gravitation", 3, lambda m1, m2, r: m1 * m2 / (r * r), "F = m1 m2 / r^2"),
    ("lever", 3, lambda x, y, z: x * (y + z), "x (y + z)"),
]


def make_data(n_vars, target, rows, seed):
    rng = random.Random(seed)
    columns = [[rng.uniform(0.5, 3.0) for _ in range(rows)] for _ in range(n_vars)]
    targets = [target(*row) for row in zip(*columns)]
    return columns, targets


def run_all(rows):
    """Runs every problem in this process; one JSON line per problem."""
    import numpy as np
    import vok_core
    import vok_math
    from vok_math import _ext

    for k, (name, n_vars, target, _) in enumerate(PROBLEMS):
        columns, targets = make_data(n_vars, target, rows, seed=1000 + k)
        times = []
        for _ in range(REPEATS):
            t0 = time.perf_counter()
            r = vok_core.find_formula(columns, targets)
            times.append(time.perf_counter() - t0)
        seconds = min(times)
        X, y = np.array(columns).T.copy(), np.array(targets)
        times = []
        for _ in range(REPEATS):
            t0 = time.perf_counter()
            f = vok_math.discover(X, y, constants=False)
            times.append(time.perf_counter() - t0)
        same = (_ext.render(f.tokens, f.names), f.error) == (r.formula, r.error)
        print(json.dumps({"name": name, "formula": r.formula, "error": r.error, "seconds": seconds,
                          "discover_seconds": min(times), "discover_same": same}), flush=True)


def run_with_workers(workers, rows):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    cmd = [sys.executable, "-P", __file__, "--child", str(rows)]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True).stdout
    return [json.loads(line) for line in out.splitlines()]


ENGINE = {"max_complexity": 8, "decompose": False}


def sweep_point(rows, beam, subsample, limit, engine):
    """One discover in this process; one JSON line."""
    import resource

    import numpy as np
    import vok_math

    rng = np.random.default_rng(0)
    a, b, c = rng.uniform(0.5, 3.0, (3, rows))
    X, y = np.column_stack([a, b, c]), a * b / c + np.exp(-a)
    # The limit is for the search on every row; the default runs as it is.
    options = {} if subsample == "default" else {"subsample": None, "time_limit": limit}
    if engine:
        options |= ENGINE
    t0, c0 = time.perf_counter(), time.process_time()
    try:
        f = vok_math.discover(X, y, names=["a", "b", "c"], beam_width=beam, **options)
        formula, complete = str(f), f.complete
    except TimeoutError:  # no formula scored within the limit
        formula, complete = "-", False
    seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"seconds": seconds, "cpu": cpu, "rss": rss, "formula": formula, "complete": complete}),
          flush=True)


def option_list(name, default):
    if name in sys.argv:
        return [int(float(v)) for v in sys.argv[sys.argv.index(name) + 1].split(",")]
    return default


def sweep():
    from vok_math import _ext
    from vok_math.discovery import _subsample

    rows_list = option_list("--rows", [10**k for k in range(2, 7)])
    beams = option_list("--beams", [_ext.DEFAULTS["beam_width"]])
    workers_list = option_list("--workers", [1, 2])
    limit = option_list("--limit", [600])[0]
    engine = "--engine" in sys.argv
    print(f"discover on y = a*b/c + exp(-a), {ENGINE if engine else 'default options'};"
          f" every search stops at {limit} s;"
          f" the default subsamples above {_subsample.AUTO_ABOVE:,} rows to {_subsample.AUTO_ROWS:,}")
    print(f"{'rows':>9} {'beam':>5} {'subsample':>9} {'workers':>7} {'time':>8} {'cpu':>8} {'rss MB':>7}"
          f" {'1w/2w':>5}  formula")
    for rows in rows_list:
        for beam in beams:
            exact = {}  # the formula of the search on every row, by workers
            for subsample in ("none", "default") if rows > _subsample.AUTO_ABOVE else ("none",):
                runs = {}
                for workers in workers_list:
                    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
                    cmd = [sys.executable, "-P", __file__, "--point", str(rows), str(beam), subsample, str(limit),
                           str(int(engine))]
                    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True).stdout
                    r = runs[workers] = json.loads(out.splitlines()[-1])
                    ratio = f"{runs[1]['seconds'] / r['seconds']:5.2f}" if workers != 1 and 1 in runs else ""
                    note = "" if r["complete"] else "  (stopped)"
                    if subsample == "none" and r["complete"]:
                        exact[workers] = r["formula"]
                    if subsample == "default" and workers in exact:
                        same = r["formula"] == exact[workers]
                        note += "  (same as every row)" if same else "  (differs from every row)"
                    print(f"{rows:>9,} {beam:>5} {subsample:>9} {workers:>7} {r['seconds']:>7.2f}s {r['cpu']:>7.2f}s"
                          f" {r['rss']:>7.0f} {ratio:>5}  {r['formula']}{note}", flush=True)


def main():
    if sys.argv[1:2] == ["--child"]:
        run_all(int(sys.argv[2]))
        return
    if sys.argv[1:2] == ["--point"]:
        sweep_point(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], float(sys.argv[5]), sys.argv[6] == "1")
        return
    if "--sweep" in sys.argv:
        sweep()
        return
    rows = 100 if "--quick" in sys.argv else 1000
    print(f"{len(PROBLEMS)} problems, {rows} rows each, default options (precision_goal {PRECISION_GOAL:g})")
    one = run_with_workers(1, rows)
    two = run_with_workers(2, rows)

    print(f"{'problem':<22} {'vars':>4} {'found':>5} {'error':>9} {'1 worker':>9} {'2 workers':>9} {'ratio':>6}  formula")
    found = 0
    for (name, n_vars, _, law), a, b in zip(PROBLEMS, one, two):
        ok = a["error"] <= PRECISION_GOAL
        found += ok
        print(f"{name:<22} {n_vars:>4} {'yes' if ok else 'no':>5} {a['error']:>9.2e} {a['seconds']:>8.3f}s"
              f" {b['seconds']:>8.3f}s {a['seconds'] / b['seconds']:>6.2f}  {a['formula']}   [{law}]")
        if (a["formula"], a["error"]) != (b["formula"], b["error"]):
            print(f"  !! 2 workers returned {b['formula']} with error {b['error']!r}")
    t1 = sum(a["seconds"] for a in one)
    t2 = sum(b["seconds"] for b in two)
    print(f"found {found} of {len(PROBLEMS)} exactly; total {t1:.2f}s with 1 worker, {t2:.2f}s with 2 workers"
          f" (best of {REPEATS} runs per problem)")
    print(f"speed-up of 2 workers over 1 (whole benchmark): {t1 / t2:.2f}")
    for workers, runs in ((1, one), (2, two)):
        t = sum(a["seconds"] for a in runs)
        td = sum(a["discover_seconds"] for a in runs)
        differ = [a["name"] for a in runs if not a["discover_same"]]
        print(f"vok_math.discover / find_formula, {workers} worker(s): {td:.2f}s / {t:.2f}s = {td / t:.3f}"
              + (f"  !! different results: {', '.join(differ)}" if differ else "  (same formulas and errors)"))


if __name__ == "__main__":
    main()
