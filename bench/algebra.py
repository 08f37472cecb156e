"""Algebra products per second, with 1 and 2 workers, against references.

For octonions and for multivectors with d = 3..6 (dense inputs, and sparse
inputs holding only vector coefficients), one call computes 10**4 products
(list conversion and result building included). The worker count is fixed
when the pool starts, so each count runs in its own subprocess
(RAYON_NUM_THREADS=1 / 2); the references run in the 1-worker subprocess,
timed in the same process as the library:
  - numpy: the same product vectorised over the batch (one pass per row i),
  - python: a pure-Python loop of the same product (timed on fewer products),
  - clifford: the PyPI `clifford` package's geometric product on prebuilt
    MultiVector objects (left out when it is not installed).
Values are checked against the NumPy product (bit for bit: same terms, same
order) and against clifford (same blade orientation, mapped by blade).

Run: .venv/bin/python bench/algebra.py [--quick]
"""

import json
import os
import random
import statistics
import subprocess
import sys
import time

COUNT = 10**4


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


# ------------------------------------------------------------------ inputs

OCT_TRIPLES = [(1, 2, 4), (2, 3, 5), (3, 4, 6), (4, 5, 7), (5, 6, 1), (6, 7, 2), (7, 1, 3)]


def octonion_table():
    sign = [[0] * 8 for _ in range(8)]
    target = [[0] * 8 for _ in range(8)]
    for k in range(8):
        sign[0][k] = sign[k][0] = 1
        target[0][k] = target[k][0] = k
    for i in range(1, 8):
        sign[i][i], target[i][i] = -1, 0
    for p, q, r in OCT_TRIPLES:
        for x, y, z in [(p, q, r), (q, r, p), (r, p, q)]:
            sign[x][y], target[x][y] = 1, z
            sign[y][x], target[y][x] = -1, z
    return sign, target


def blade_factors(d, sig):
    """g[i][j] of e_i * e_j = g e_(i^j): reordering sign times the metric."""
    n = 1 << d
    g = [[0.0] * n for _ in range(n)]
    for i in range(n):
        for j in range(n):
            swaps = sum(1 for p in range(d) for q in range(p) if i >> p & 1 and j >> q & 1)
            m = 1.0
            for p in range(d):
                if i >> p & j >> p & 1:
                    m *= float(sig[p])
            g[i][j] = -m if swaps % 2 else m
    return g


def make_inputs(kind, d, sparse, count, seed):
    rng = random.Random(seed)
    n = 8 if kind == "octonion" else 1 << d

    def one():
        if not sparse:
            return [rng.uniform(-1, 1) for _ in range(n)]
        v = [0.0] * n
        if kind == "octonion":
            v[rng.randrange(8)] = rng.uniform(-1, 1)  # a single basis element
        else:
            for p in range(d):  # a vector: grade-1 blades only
                v[1 << p] = rng.uniform(-1, 1)
        return v

    return [one() for _ in range(count)], [one() for _ in range(count)]


def signature(d):
    return [1] * (d - 1) + [-1]


# -------------------------------------------------------------- references

def numpy_octonion(np, A, B):
    sign, target = octonion_table()
    S = np.array(sign, dtype=float)
    C = np.zeros_like(A)
    for i in range(8):
        C[:, target[i]] += B * (S[i] * A[:, i, None])
    return C


def numpy_geometric(np, A, B, G):
    n = A.shape[1]
    C = np.zeros_like(A)
    idx = np.arange(n)
    for i in range(n):
        # column i ^ j receives b_j * (g_ij * a_i), rows i in ascending order
        C[:, i ^ idx] += B * (G[i] * A[:, i, None])
    return C


def python_octonion(a_batch, b_batch):
    sign, target = octonion_table()
    out = []
    for a, b in zip(a_batch, b_batch):
        c = [0.0] * 8
        for i in range(8):
            if a[i] == 0:
                continue
            si, ti = sign[i], target[i]
            for j in range(8):
                if b[j] != 0:
                    c[ti[j]] += (si[j] * a[i]) * b[j]
        out.append(c)
    return out


def python_geometric(a_batch, b_batch, g):
    out = []
    for a, b in zip(a_batch, b_batch):
        n = len(a)
        c = [0.0] * n
        for i in range(n):
            ai = a[i]
            if ai == 0:
                continue
            gi = g[i]
            for j in range(n):
                if b[j] != 0:
                    c[i ^ j] += b[j] * (gi[j] * ai)
        out.append(c)
    return out


def clifford_setup(d, sig, a_batch, b_batch):
    """MultiVectors in clifford's blade order, and the map back to bitmasks."""
    try:
        import clifford
    except Exception:
        return None
    import numpy as np

    layout, _ = clifford.Cl(sig=sig)
    masks = [sum(1 << (e - 1) for e in blade) for blade in layout.bladeTupList]
    perm = np.array(masks)

    def to_mv(v):
        return layout.MultiVector(value=np.asarray(v)[perm])

    X = [to_mv(v) for v in a_batch]
    Y = [to_mv(v) for v in b_batch]
    return X, Y, perm


# ------------------------------------------------------------------ worker

def run_case(kind, d, sparse, quick, with_refs):
    import numpy as np

    import vok_core

    count = COUNT
    repeats = 3 if quick else 7
    a, b = make_inputs(kind, d, sparse, count, seed=d * 2 + sparse)
    result = {}
    if kind == "octonion":
        call = lambda: vok_core.octonion_mul_n(a, b)  # noqa: E731
    else:
        sig = signature(d)
        call = lambda: vok_core.geometric_product_n(a, b, sig)  # noqa: E731
    call()  # warm-up: starts the pool
    t_call = median_time(call, repeats)
    result["vok"] = count / t_call
    # The conversion floor: the same call with a zero left factor, so every
    # product is skipped and only conversion and result building remain. What
    # lies above it is the parallel part.
    zeros = [[0.0] * len(v) for v in a]
    if kind == "octonion":
        floor = lambda: vok_core.octonion_mul_n(zeros, b)  # noqa: E731
    else:
        floor = lambda: vok_core.geometric_product_n(zeros, b, sig)  # noqa: E731
    t_floor = median_time(floor, repeats)
    result["floor_share"] = t_floor / t_call
    result["compute"] = count / max(t_call - t_floor, 1e-9)
    if not with_refs:
        return result

    got = np.array(call())
    A, B = np.array(a), np.array(b)
    if kind == "octonion":
        np_call = lambda: numpy_octonion(np, np.array(a), np.array(b)).tolist()  # noqa: E731
        want = numpy_octonion(np, A, B)
    else:
        G = np.array(blade_factors(d, sig))
        np_call = lambda: numpy_geometric(np, np.array(a), np.array(b), G).tolist()  # noqa: E731
        want = numpy_geometric(np, A, B, G)
    result["numpy_agrees"] = bool(np.array_equal(got, want))
    result["numpy"] = count / median_time(np_call, repeats)

    few = 100 if d >= 5 else 500
    if kind == "octonion":
        py_call = lambda: python_octonion(a[:few], b[:few])  # noqa: E731
    else:
        g = blade_factors(d, sig)
        py_call = lambda: python_geometric(a[:few], b[:few], g)  # noqa: E731
    result["python"] = few / median_time(py_call, 1 if quick else 3)

    if kind == "geometric":
        cl = clifford_setup(d, sig, a, b)
        if cl is not None:
            X, Y, perm = cl
            X[0] * Y[0]  # warm-up: compiles clifford's product
            cl_call = lambda: [x * y for x, y in zip(X, Y)]  # noqa: E731
            products = cl_call()
            cl_values = np.array([p.value for p in products])
            back = np.empty_like(cl_values)
            back[:, perm] = cl_values
            result["clifford_max_abs_diff"] = float(np.max(np.abs(back - got)))
            result["clifford"] = count / median_time(cl_call, repeats)
    return result


def cases():
    out = [("octonion", 3, False), ("octonion", 3, True)]
    for d in (3, 4, 5, 6):
        out += [("geometric", d, False), ("geometric", d, True)]
    return out


def worker_main(quick, with_refs):
    results = {}
    for kind, d, sparse in cases():
        results[f"{kind}/{d}/{int(sparse)}"] = run_case(kind, d, sparse, quick, with_refs)
    print(json.dumps(results))


def run_subprocess(workers, quick):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    args = [sys.executable, __file__, "--worker"] + (["--refs"] if workers == 1 else []) + (["--quick"] if quick else [])
    out = subprocess.run(args, env=env, check=True, capture_output=True, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def fmt(x):
    return f"{x:>10.3g}" if x is not None else f"{'-':>10}"


def main():
    quick = "--quick" in sys.argv
    if "--worker" in sys.argv:
        worker_main(quick, "--refs" in sys.argv)
        return
    one = run_subprocess(1, quick)
    two = run_subprocess(2, quick)
    print(f"products per second, {COUNT} products per call (conversion included)")
    print("floor = share of the 1-worker call spent converting and building lists (measured with a zero")
    print("left factor); 'above floor 2w/1w' = speed-up of the remaining, parallel part")
    print(f"{'case':<22}{'vok 1w':>10}{'vok 2w':>10}{'2w/1w':>8}{'floor':>7}{'above floor 2w/1w':>19}"
          f"{'numpy':>10}{'1w/numpy':>10}{'python':>10}{'1w/py':>8}{'clifford':>10}{'1w/cliff':>10}  agree")
    for kind, d, sparse in cases():
        key = f"{kind}/{d}/{int(sparse)}"
        r1, r2 = one[key], two[key]
        name = ("octonion" if kind == "octonion" else f"geometric d={d}") + (" sparse" if sparse else " dense")
        cl = r1.get("clifford")
        agree = "numpy bitwise" if r1["numpy_agrees"] else "numpy DIFFERS"
        if "clifford_max_abs_diff" in r1:
            agree += f", clifford max |diff| {r1['clifford_max_abs_diff']:.1e}"
        print(f"{name:<22}{fmt(r1['vok'])}{fmt(r2['vok'])}{r2['vok'] / r1['vok']:>8.2f}"
              f"{r1['floor_share']:>7.0%}{r2['compute'] / r1['compute']:>19.2f}{fmt(r1['numpy'])}"
              f"{r1['vok'] / r1['numpy']:>10.2f}{fmt(r1['python'])}{r1['vok'] / r1['python']:>8.0f}"
              f"{fmt(cl)}{(r1['vok'] / cl if cl else float('nan')):>10.1f}  {agree}")


if __name__ == "__main__":
    main()
