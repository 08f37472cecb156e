"""max_complexity="auto" against the fixed depth 8, on the laws of
bench/law_set.py at noise 0 and 1 % (the samples and the verdict "law
recovered" of bench/laws.py).

Printed: a line per law and noise level (verdict, seconds and formula of
each, the depth auto reached and why it stopped), then the laws recovered by
each and the time of auto over the fixed search's: in all, and on the laws
the fixed search recovers (in all and the largest ratio), and where auto
went deeper, the time of one search at the depth it reached (what a search
that continues to deeper levels could at best cost). Auto's schedule can be
changed (--start, --step, --band, --budget) to compare schedules on the same
data. No assertions on time: the machine may be loaded; read the ratios.

Run: .venv/bin/python bench/deepening.py [--laws 'ideal gas,decay'] [--budget 2]
"""

from __future__ import annotations

import argparse
import os
import sys
import time

os.environ.setdefault("RAYON_NUM_THREADS", "2")

import numpy as np  # noqa: E402

import vok_math  # noqa: E402
from vok_math.discovery import _deepen  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import laws as L  # noqa: E402


def run(X, y, entry, level, law, spread, **options):
    start = time.perf_counter()
    f = vok_math.discover(X, y, **options)
    seconds = time.perf_counter() - start
    ok = f is not None and L.recovered(L.with_assumptions(f.to_sympy(), entry), law, entry, L.RTOL[level], spread)
    return f, seconds, ok == "yes"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--laws", help="names of bench/law_set.py's laws, comma separated")
    parser.add_argument("--budget", type=float, default=None, help="auto's budget in seconds")
    parser.add_argument("--start", type=int, default=_deepen.START)
    parser.add_argument("--step", type=int, default=_deepen.STEP)
    parser.add_argument("--band", type=int, default=_deepen.BAND)
    args = parser.parse_args()
    _deepen.START, _deepen.STEP, _deepen.BAND = args.start, args.step, args.band
    chosen = set(args.laws.split(",")) if args.laws else None
    totals = {}
    for level in L.NOISE:
        print(f"\nnoise {level:.0%}")
        for k, entry in enumerate(L.LAWS):
            if chosen and entry["name"] not in chosen:
                continue
            law, _ = L.law_expr(entry)
            X, y = L.sample(entry, level, seed=1000 + k)
            spread = float(np.std(y))
            f8, t8, ok8 = run(X, y, entry, level, law, spread, max_complexity=8)
            fa, ta, oka = run(X, y, entry, level, law, spread, budget=args.budget)
            for key, ok, t in (("fixed", ok8, t8), ("auto", oka, ta)):
                n, hit, s = totals.get((key, level), (0, 0, 0.0))
                totals[(key, level)] = (n + 1, hit + ok, s + t)
            depth = int(fa.path[-1].split()[3]) if fa else 8
            if depth > 8:
                # What one search at the depth reached costs: the least a
                # search that continued to deeper levels, instead of starting
                # over, could have spent.
                _, tl, _ = run(X, y, entry, level, law, spread, max_complexity=depth)
                n, a, b = totals.get(("deeper", level), (0, 0.0, 0.0))
                totals[("deeper", level)] = (n + 1, a + ta, b + tl)
            if ok8:
                worst = totals.get(("worst", level), 0.0)
                totals[("worst", level)] = max(worst, ta / max(t8, 1e-9))
                n, a, b = totals.get(("found", level), (0, 0.0, 0.0))
                totals[("found", level)] = (n + 1, a + ta, b + t8)
            print(f"{entry['name']:<22} fixed {'yes' if ok8 else 'no':>3} {t8:6.2f}s  auto {'yes' if oka else 'no':>3} "
                  f"{ta:6.2f}s  {fa.formula if fa else '-':<40.40}  {fa.path[-1] if fa else ''}", flush=True)
    print(f"\nauto: start {args.start}, step {args.step}, band {args.band}, "
          f"budget {args.budget or _deepen.BUDGET} s")
    for level in L.NOISE:
        (n, h8, s8), (_, ha, sa) = totals[("fixed", level)], totals[("auto", level)]
        found = totals.get(("found", level), (0, 0.0, 1.0))
        print(f"noise {level:.0%}: recovered fixed {h8}/{n}, auto {ha}/{n}; seconds fixed {s8:.2f}, auto {sa:.2f} "
              f"(x{sa / s8:.2f}); on the laws fixed recovers x{found[1] / max(found[2], 1e-9):.2f} in all, "
              f"x{totals.get(('worst', level), 0.0):.2f} at most")
        n, a, b = totals.get(("deeper", level), (0, 0.0, 0.0))
        print(f"  {n} laws searched deeper than 8: auto {a:.2f} s, one search at the depth reached {b:.2f} s "
              f"(x{b / max(a, 1e-9):.2f})")


if __name__ == "__main__":
    main()
