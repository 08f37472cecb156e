"""How the search's time grows with the rows, and what a second worker gives.

Runs vok_math.discover at its defaults on y = a*b/c + exp(-a) over three
variables drawn from a fixed seed, for each row count in its own subprocess
(so that every run starts with a fresh pool and its own peak RSS), and prints
time, CPU, peak RSS and the formula, then the ratios of the times of
successive row counts (the goal: at most 12 for ten times the rows) and of 1
worker over 2 at 10^4 rows.

Run: .venv/bin/python -P bench/rows.py [ROWS ...] [--workers 1,2] [--repeat N]
The rows default to 100 10000 100000; the 1 against 2 workers comparison runs
at 10^4 rows. A PYTHONPATH set by the caller chooses another build (to compare
against an older one in the same terminal).
"""

import json
import os
import resource
import subprocess
import sys
import time


def one(rows: int, repeat: int) -> dict:
    import numpy as np

    import vok_math

    rng = np.random.default_rng(1)
    a, b, c = (rng.uniform(0.5, 2.0, rows) for _ in range(3))
    X = np.column_stack([a, b, c])
    y = a * b / c + np.exp(-a)
    best = None
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.process_time()
        f = vok_math.discover(X, y, names=["a", "b", "c"])
        t, cpu = time.perf_counter() - t0, time.process_time() - c0
        if best is None or t < best[0]:
            best = (t, cpu)
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {"rows": rows, "time": best[0], "cpu": best[1], "rss_mb": rss, "formula": str(f), "rmse": f.rmse}


def run(rows: int, workers: int, repeat: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, "-P", __file__, "--one", str(rows), str(repeat)], env=env,
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.splitlines()[-1])


def main(argv: list[str]) -> None:
    if argv[:1] == ["--one"]:
        print(json.dumps(one(int(argv[1]), int(argv[2]))))
        return
    workers, repeat, rows = 2, 1, []
    it = iter(argv)
    for arg in it:
        if arg == "--workers":
            workers = int(next(it))
        elif arg == "--repeat":
            repeat = int(next(it))
        else:
            rows.append(int(float(arg)))
    rows = rows or [100, 10_000, 100_000]
    print(f"{'rows':>9} {'workers':>7} {'time s':>8} {'cpu s':>8} {'RSS MB':>7}  formula")
    times = {}
    for n in rows:
        r = run(n, workers, repeat if n <= 10_000 else 1)
        times[n] = r["time"]
        print(f"{n:>9} {workers:>7} {r['time']:>8.3f} {r['cpu']:>8.2f} {r['rss_mb']:>7.0f}  {r['formula']}",
              flush=True)
    for lo, hi in zip(rows, rows[1:]):
        print(f"time({hi}) / time({lo}) = {times[hi] / times[lo]:.2f}")
    if 10_000 in rows:
        r1 = run(10_000, 1, repeat)
        print(f"10000 rows, 1 worker: {r1['time']:.3f} s; 1 / {workers} workers = {r1['time'] / times[10_000]:.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
