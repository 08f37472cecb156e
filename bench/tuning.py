"""What discover's options cost: wall time and peak memory of one search.

Each setting runs in a fresh interpreter (so that its peak resident memory is
its own) on a table of uniform variables in [1, 5] whose target is the ideal
gas law 8.314 x0 x1 / x2 with 1 % noise, so that no setting stops early on
an exact fit; the variables past the third are distractors. The script
prints, per setting, the time, the peak resident memory above that of the
interpreter with the data loaded, and the formula returned. Times are of
one run on a machine that may be shared: read them as orders of magnitude.

Run: .venv/bin/python -P bench/tuning.py
"""

import json
import subprocess
import sys

# What every setting starts from: one search of depth 8 on every row without
# decomposition, so that each option's own cost shows (the guide's table says
# what the budgeted depth, the subsample and decomposition add).
BASE = {"max_complexity": 8, "subsample": None, "decompose": False}

# (rows, variables, options over BASE)
SETTINGS = [
    (1000, 3, {}),
    *[(1000, 3, {"beam_width": b}) for b in (1000, 4000, 8000, 20000)],
    (1000, 3, {"max_complexity": 6}), (1000, 3, {"max_complexity": 10}), (1000, 3, {"max_complexity": 12}),
    (1000, 3, {"use_trig": False, "use_vok": False}),
    (1000, 3, {"constants": False}),
    (1000, 3, {"selection": "holdout"}),
    (1000, 3, {"snap": False}),
    (100, 3, {}), (10000, 3, {}), (100000, 3, {}), (1000000, 3, {}),
    (1000, 5, {}), (1000, 8, {}),
    (10000, 8, {"beam_width": 8000}),
]

CHILD = r"""
import json, resource, sys, time, warnings
import numpy as np
import vok_math
rows, variables, options = int(sys.argv[1]), int(sys.argv[2]), json.loads(sys.argv[3])
rng = np.random.default_rng(0)
X = rng.uniform(1, 5, (rows, variables))
y = 8.314 * X[:, 0] * X[:, 1] / X[:, 2] * (1 + 0.01 * rng.standard_normal(rows))
vok_math.discover(X[:8, :1], y[:8], max_complexity=1)  # loads the engine and starts its pool
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    f = vok_math.discover(X, y, **options)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"seconds": seconds, "mib": (peak - base) / 1024, "formula": str(f),
                  "complete": f.complete, "warnings": [str(w.message)[:60] for w in caught]}))
"""


def main() -> None:
    print(f"{'rows':>7} {'vars':>4}  {'options':32} {'time':>9} {'memory':>9}  result")
    for rows, variables, options in SETTINGS:
        run = subprocess.run([sys.executable, "-P", "-c", CHILD, str(rows), str(variables),
                              json.dumps(BASE | options)],
                             capture_output=True, text=True)
        label = ", ".join(f"{k}={v!r}" for k, v in options.items()) or "defaults"
        head = f"{rows:7} {variables:4}  {label:32}"
        if run.returncode:
            print(f"{head} failed: {run.stderr.strip().splitlines()[-1]}")
            continue
        r = json.loads(run.stdout)
        note = "" if r["complete"] else "  (stopped early: " + "; ".join(r["warnings"]) + ")"
        print(f"{head} {r['seconds']:7.2f} s {r['mib']:5.0f} MiB  {r['formula'][:50]}{note}", flush=True)


if __name__ == "__main__":
    main()
