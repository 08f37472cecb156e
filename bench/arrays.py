"""vok_math.ufunc against NumPy and the list functions, timed in one process.

Each figure is the median of several runs. A ratio is reference time / ufunc
time, so above 1.0 the ufunc is faster:
  * tension vs the NumPy expression with the same guards (goal >= 2x);
  * exp vs numpy.exp (goal: within 1.5x, i.e. ratio >= 0.67);
  * boost, octonion_mul, geometric_product (d = 4, 6) vs their list functions
    (goal >= 10x) and vs a plain NumPy implementation (goal > 1x);
  * 1 vs 2 workers: time with one worker / time with two (goal >= 1.7 from
    1e6 numbers up).
The worker count is read once per process (RAYON_NUM_THREADS), so the
comparisons run in a child process with 2 workers, and the ufuncs alone in
children with 1 and 2 workers, alternately, three times each (medians): on a
shared machine the scaling is only as good as the idle cores, so the load
average is printed too. Sizes count float64 numbers; record counts are sizes / record
width. Run: .venv/bin/python -P bench/arrays.py [--quick]
"""

import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

SIZES = [10**3, 10**6, 10**7]
QUICK_SIZES = [10**3, 10**5]
LIST_LIMIT = 10**6  # numbers; the list functions are timed up to here


def median_time(fn, budget=1.5, most=15):
    fn()  # warm-up (and the pool's start)
    times = []
    while len(times) < 3 or (sum(times) < budget and len(times) < most):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


# ------------------------------------------------------- NumPy references

def np_tension(x, y):
    with np.errstate(all="ignore"):
        t = np.exp(np.where(x > 709.78, np.log(x), x))
        ly = np.where((y > 0) | np.isnan(y), y, np.maximum(np.abs(y), 1e-300))
        return t - np.log(ly)


def np_boost(p, phi, c):
    with np.errstate(all="ignore"):
        x, y = p[..., 0], p[..., 1]
        t = np.exp(np.where(x > 709.78, np.log(x), x))
        s = np.log(np.where((y > 0) | np.isnan(y), y, np.maximum(np.abs(y), 1e-300)))
        sh, ch = np.sinh(phi), np.cosh(phi)
        t1 = t * ch - (s / c) * sh
        x1 = s * ch - (c * t) * sh
        return np.stack([np.log(np.where(t1 > 1e-300, t1, 1e-300)), np.exp(np.clip(x1, -709.0, 709.0))], axis=-1)


def octonion_terms():
    """(i, j, sign, k) for e_i * e_j = sign * e_k."""
    triples = [(1, 2, 4), (2, 3, 5), (3, 4, 6), (4, 5, 7), (5, 6, 1), (6, 7, 2), (7, 1, 3)]
    table = {(0, k): (1, k) for k in range(8)} | {(k, 0): (1, k) for k in range(8)}
    table |= {(i, i): (-1, 0) for i in range(1, 8)}
    for p, q, r in triples:
        for a, b, c in [(p, q, r), (q, r, p), (r, p, q)]:
            table[a, b], table[b, a] = (1, c), (-1, c)
    return [(i, j, *table[i, j]) for i in range(8) for j in range(8)]


OCTONION_TERMS = octonion_terms()


def np_octonion_mul(a, b):
    c = np.zeros_like(a)
    for i, j, sign, k in OCTONION_TERMS:
        c[:, k] += (sign * a[:, i]) * b[:, j]
    return c


def blade_factors(d, signature):
    n = 2**d
    g = np.ones((n, n))
    for i in range(n):
        for j in range(n):
            for p in range(d):
                if (j >> p) & 1:
                    if bin(i >> (p + 1)).count("1") % 2:
                        g[i, j] = -g[i, j]
                    if (i >> p) & 1:
                        g[i, j] *= signature[p]
    return g


def np_geometric_product(a, b, g):
    """c[:, k] += b[:, j] * (g[i, j] * a[:, i]) with j = i ^ k, one i at a time."""
    n = a.shape[1]
    c = np.zeros_like(a)
    k = np.arange(n)
    for i in range(n):
        c += b[:, i ^ k] * (g[i, i ^ k] * a[:, i : i + 1])
    return c


# ----------------------------------------------------------------- cases

def cases(size, with_references):
    """(name, ufunc call, [(reference name, call, goal)]) for one size."""
    import vok_core
    from vok_math import ufunc

    rng = np.random.default_rng(1)
    x, y = rng.normal(0, 5, size), rng.normal(0, 5, size)
    pts, phi = np.stack([x[: size // 2], y[: size // 2]], axis=-1), y[: size // 2] / 10
    oa, ob = x[: size // 8 * 8].reshape(-1, 8), y[: size // 8 * 8].reshape(-1, 8)
    out = [
        ("tension", lambda: ufunc.tension(x, y), [("NumPy guarded expression", lambda: np_tension(x, y), 2.0)]),
        ("exp", lambda: ufunc.exp(x), [("numpy.exp", lambda: np.exp(x), 1 / 1.5)]),
    ]
    lists = with_references and size <= LIST_LIMIT

    refs = []
    if with_references:
        refs.append(("plain NumPy", lambda: np_boost(pts, phi, 1.5), 1.0))
    if lists:
        lp, lphi = [tuple(p) for p in pts.tolist()], phi.tolist()
        refs.append(("boost_n on lists", lambda lp=lp, lphi=lphi: vok_core.boost_n(lp, lphi, 1.5), 10.0))
    out.append(("boost", lambda: ufunc.boost(pts, phi, 1.5), refs))

    refs = []
    if with_references:
        refs.append(("plain NumPy", lambda: np_octonion_mul(oa, ob), 1.0))
    if lists:
        la, lb = oa.tolist(), ob.tolist()
        refs.append(("octonion_mul_n on lists", lambda la=la, lb=lb: vok_core.octonion_mul_n(la, lb), 10.0))
    out.append(("octonion_mul", lambda: ufunc.octonion_mul(oa, ob), refs))

    for d in (4, 6):
        n = 2**d
        ga, gb = x[: size // n * n].reshape(-1, n), y[: size // n * n].reshape(-1, n)
        if len(ga) == 0:
            continue
        sig = np.array([1, -1, 1, 1, -1, 1][:d])
        refs = []
        if with_references and size <= LIST_LIMIT:  # the NumPy version takes minutes at 1e7
            g = blade_factors(d, sig)
            refs.append(("plain NumPy", lambda ga=ga, gb=gb, g=g: np_geometric_product(ga, gb, g), 1.0))
        if lists:
            la, lb, ls = ga.tolist(), gb.tolist(), sig.tolist()
            refs.append(("geometric_product_n on lists",
                         lambda la=la, lb=lb, ls=ls: vok_core.geometric_product_n(la, lb, ls), 10.0))
        out.append((f"geometric_product d={d}", lambda ga=ga, gb=gb, sig=sig: ufunc.geometric_product(ga, gb, sig), refs))
    return out


def child(sizes, with_references):
    """Times every case; prints {name: {size: {"ufunc": s, ref: s}}} as JSON."""
    result = {}
    budget = 1.5 if with_references else 0.5
    for size in sizes:
        for name, call, refs in cases(size, with_references):
            entry = result.setdefault(name, {}).setdefault(str(size), {})
            entry["ufunc"] = median_time(call, budget)
            for ref_name, ref_call, _ in refs:
                entry[ref_name] = median_time(ref_call, budget)
    print(json.dumps(result))


def run_child(workers, sizes, with_references):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    cmd = [sys.executable, "-P", __file__, "--child", json.dumps(sizes), "1" if with_references else "0"]
    return json.loads(subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout)


def goals():
    return {ref: goal for _, _, refs in cases(1000, True) for ref, _, goal in refs}


def main():
    sizes = QUICK_SIZES if "--quick" in sys.argv else SIZES
    print(f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f} at the start")
    two = run_child(2, sizes, True)
    alone = {1: [], 2: []}
    for _ in range(3):
        for workers in (1, 2):
            alone[workers].append(run_child(workers, sizes, False))
    goal_of = goals()
    print(f"{'case':28} {'size':>9} {'ufunc ms':>10}  {'reference':30} {'ref ms':>10} {'ratio':>7}  goal")
    for name, by_size in two.items():
        for size, entry in by_size.items():
            ours = entry["ufunc"]
            refs = [(k, v) for k, v in entry.items() if k != "ufunc"]
            for ref, t in refs or [("", None)]:
                ratio = f"{t / ours:7.2f}" if t else ""
                goal = f">= {goal_of[ref]:.2f}" if ref else ""
                ref_ms = f"{t * 1e3:10.3f}" if t else ""
                print(f"{name:28} {int(size):>9.0e} {ours * 1e3:10.3f}  {ref:30} {ref_ms:>10} {ratio:>7}  {goal}")
    print()
    print(f"{'1 vs 2 workers':28} {'size':>9} {'1 worker ms':>12} {'2 workers ms':>13} {'ratio':>7}  goal")
    for name, by_size in two.items():
        for size in by_size:
            t1, t2 = (statistics.median(run[name][size]["ufunc"] for run in alone[w]) for w in (1, 2))
            goal = ">= 1.70" if int(size) >= 10**6 else ""
            print(f"{name:28} {int(size):>9.0e} {t1 * 1e3:12.3f} {t2 * 1e3:13.3f} {t1 / t2:7.2f}  {goal}")
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(json.loads(sys.argv[2]), sys.argv[3] == "1")
    else:
        main()
