"""Inner constants: laws whose constants an outer scale and offset cannot reach.

Each law samples 1 to 3 variables over 150 rows from a fixed seed. The engine's
search runs at its defaults three ways: the contract search (fit=None), the
fitted search without inner constants (top_k=0), and with them for each
top_k given. A law counts as recovered when the returned formula's rmse is at
most 1e-6 of the targets' spread (at noise 0 only the law, with its
constants, gets there); with noise, when it is within 10 % of the noise
(a weak test: read the formulas). Each search runs REPEATS times and its best time is
reported; the last lines print the total time of each mode and its ratio to
the contract search's.

--full sets precision_goal to 0, so that every search runs all its levels:
the ratios then give the cost of fitting rather than the gain of stopping
early. --max-complexity N changes the last level (8 by default).

Run: .venv/bin/python bench/fit_constants.py [top_k ...] [--noise 0.01] [--full] [--max-complexity N]
"""

import math
import random
import sys
import time

import numpy as np

from vok_math import _ext

REPEATS = 3
ROWS = 150
RECOVERED = 1e-6  # rmse / std(y)

# (name, {variable: (low, high)}, target)
LAWS = [
    ("decay 2 exp(-0.7 x)", {"x": (0.0, 5.0)}, lambda x: 2.0 * math.exp(-0.7 * x)),
    ("wave 3 sin(2.1 t + 0.4)", {"t": (0.0, 6.0)}, lambda t: 3.0 * math.sin(2.1 * t + 0.4)),
    ("x / (3 + y)", {"x": (0.5, 4.0), "y": (1.0, 5.0)}, lambda x, y: x / (3.0 + y)),
    ("1.3 x^1.5 + 0.2", {"x": (0.5, 5.0)}, lambda x: 1.3 * x**1.5 + 0.2),
    ("carbon-14 decay, t in years", {"t": (0.0, 20000.0)}, lambda t: 1000.0 * math.exp(-math.log(2) / 5730 * t)),
    ("damped oscillation", {"t": (0.0, 10.0)}, lambda t: 2.0 * math.exp(-0.3 * t) * math.cos(2.5 * t + 0.2)),
    ("Kepler 0.1995 a^1.5", {"a": (50.0, 5000.0)}, lambda a: 0.1995 * a**1.5),
    ("Michaelis-Menten", {"s": (0.1, 5.0)}, lambda s: 3.4 * s / (0.8 + s)),
    ("capacitor charging", {"t": (0.0, 10.0)}, lambda t: 5.0 * (1.0 - math.exp(-t / 2.2))),
    ("Arrhenius", {"T": (250.0, 400.0)}, lambda T: 1e3 * math.exp(-5000.0 / (8.314 * T))),
    ("projectile range", {"v0": (5.0, 30.0), "theta": (0.1, 1.4)}, lambda v, t: v * v * math.sin(2 * t) / 9.81),
    ("gravitation with G", {"m1": (1.0, 5.0), "m2": (1.0, 5.0), "r": (1.0, 5.0)},
     lambda m1, m2, r: 6.674e-11 * m1 * m2 / (r * r)),
    ("ideal gas, SI", {"n": (1.0, 5.0), "T": (250.0, 400.0), "V": (0.01, 0.1)}, lambda n, T, V: 8.314 * n * T / V),
]


def make_data(ranges, target, noise, seed):
    rng = random.Random(seed)
    columns = [np.array([rng.uniform(lo, hi) for _ in range(ROWS)]) for lo, hi in ranges.values()]
    y = np.array([target(*row) for row in zip(*columns)])
    if noise:
        y = y + np.array([rng.gauss(0.0, noise * float(np.std(y))) for _ in range(ROWS)])
    return columns, y


def run(columns, y, fit, max_complexity, goal):
    best = None
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = _ext.search(columns, y, max_complexity, 2000, goal, 0.001, True, True, None, None, fit)
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return result[0], best


def main():
    args = sys.argv[1:]
    noise = 0.0
    if "--noise" in args:
        i = args.index("--noise")
        noise = float(args[i + 1])
        del args[i:i + 2]
    goal = 1e-10
    if "--full" in args:
        args.remove("--full")
        goal = 0.0
    max_complexity = 8
    if "--max-complexity" in args:
        i = args.index("--max-complexity")
        max_complexity = int(args[i + 1])
        del args[i:i + 2]
    top_ks = [int(a) for a in args] or [4, 8, 16]
    modes = [("contract", None), ("top_k=0", {"top_k": 0})] + [(f"top_k={k}", {"top_k": k}) for k in top_ks]
    totals = {name: 0.0 for name, _ in modes}
    recovered = {name: 0 for name, _ in modes}
    for i, (law, ranges, target) in enumerate(LAWS):
        columns, y = make_data(ranges, target, noise, 1000 + i)
        spread = float(np.std(y))
        print(law)
        for name, fit in modes:
            best, seconds = run(columns, y, fit, max_complexity, goal)
            totals[name] += seconds
            rmse = best[3] if best is not None and fit is not None else None
            if best is not None and fit is None:
                rmse = _ext.rmse(best[0], (), columns, y)
            ok = rmse is not None and rmse <= max(RECOVERED, 1.1 * noise) * spread
            recovered[name] += ok
            text = _ext.render(best[0], list(ranges)) if best is not None else "-"
            print(f"  {name:10s} {seconds * 1e3:8.1f} ms  {'yes' if ok else 'no ':3s} rmse/std "
                  f"{(math.nan if rmse is None else rmse) / spread:9.2e}  {text}")
    base = totals["contract"]
    print("\nmode        recovered   total ms   / contract   / top_k=0")
    for name, _ in modes:
        print(f"{name:10s} {recovered[name]:4d}/{len(LAWS):<4d} {totals[name] * 1e3:10.1f} {totals[name] / base:11.2f} "
              f"{totals[name] / totals['top_k=0']:10.2f}")


if __name__ == "__main__":
    main()
