"""What units add to discover on the Feynman laws: each law searched with
fitted constants alone, and with its units (the search on its dimensionless
groups), at 200 rows and noise 0 and 1 % of the target's RMS.

Verdicts, on 1000 held-out rows without noise:
- exact: the formula's rmse is at most 1e-10 of the target's RMS;
- recovered: SymPy finds the formula (its constants snapped by discover)
  equal to the law; tried only when the held-out rmse is within 1e-6.

Prints one line per law where the two modes differ, then the counts and
times of each mode. discover runs with its defaults, one law at a time.

Run: .venv/bin/python bench/feynman_units.py [--noise 0 0.01] [--laws ID ...]
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

import vok_math
from feynman_laws import LAWS, to_si

ROWS, HELD_OUT = 200, 1000
EXACT, NEAR = 1e-10, 1e-6


def recovered(formula, law) -> bool:
    import sympy

    truth, symbols = law.sympy()
    by_name = {s.name: s for s in symbols}
    found = formula.to_sympy()
    found = found.subs({s: by_name[s.name] for s in found.free_symbols if s.name in by_name})
    try:
        return sympy.simplify(found - truth) == 0 or sympy.simplify(found / truth) == 1
    except Exception:  # SymPy gives up on some forms
        return False


def verdicts(formula, law, test: dict, truth: np.ndarray) -> tuple[bool, bool]:
    if formula is None:
        return False, False
    with np.errstate(all="ignore"):
        error = math.sqrt(np.mean((formula.predict(test) - truth) ** 2)) / math.sqrt(np.mean(truth**2))
    if not error <= NEAR:
        return False, False
    return error <= EXACT, recovered(formula, law)


def run(law, noise: float, units: bool, seed: int):
    rng = np.random.default_rng(seed)
    X, test = law.sample(ROWS, rng), law.sample(HELD_OUT, rng)
    y = law.evaluate(X)
    y = y + rng.normal(0.0, noise * math.sqrt(np.mean(y**2)), ROWS) if noise else y
    extra = {}
    if units:
        extra = {"units": {n: to_si(u) for n, u in law.units.items()}, "target_units": to_si(law.target_units)}
    start = time.perf_counter()
    try:
        f = vok_math.discover(X, y, **extra)
    except (ValueError, TimeoutError) as exc:
        return None, time.perf_counter() - start, f"{type(exc).__name__}: {exc}"
    elapsed = time.perf_counter() - start
    return f, elapsed, verdicts(f, law, test, law.evaluate(test))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--noise", type=float, nargs="+", default=[0.0, 0.01])
    parser.add_argument("--laws", nargs="+")
    args = parser.parse_args()
    laws = [law for law in LAWS if not args.laws or law.id in args.laws]
    for noise in args.noise:
        totals = {False: [0, 0, 0.0], True: [0, 0, 0.0]}
        print(f"noise {noise:g}: law, constants alone -> with units (exact/recovered), formula with units")
        for i, law in enumerate(laws):
            results = {}
            for units in (False, True):
                f, elapsed, verdict = run(law, noise, units, seed=i)
                if isinstance(verdict, str):
                    print(f"  {law.id}: {verdict}")
                    verdict = (False, False)
                results[units] = (f, verdict)
                totals[units][0] += verdict[0]
                totals[units][1] += verdict[1]
                totals[units][2] += elapsed
            if results[False][1] != results[True][1]:
                f = results[True][0]
                print(f"  {law.id:10} {results[False][1]} -> {results[True][1]}  {f}")
        for units in (False, True):
            exact, rec, seconds = totals[units]
            print(f"  {'with units' if units else 'constants alone'}: exact {exact}/{len(laws)}, "
                  f"recovered {rec}/{len(laws)}, {seconds:.1f} s")


if __name__ == "__main__":
    main()
