"""Algebra products per second, with 1 and 2 workers, against references.

For octonions and for multivectors with d = 3..6 (dense inputs, and sparse
inputs holding only vector coefficients), one call computes 10**4 products
(list conversion and result building included). The worker count is fixed
when the pool starts, so each count runs in its own subprocess
(RAYON_NUM_THREADS=1 / 2), and the two are timed alternately; the references
run in the 1-worker subprocess, timed in the same process as the library:
  - numpy: the same product vectorised over the batch (one pass per row i),
  - python: a pure-Python loop of the same product (timed on fewer products),
  - clifford: the PyPI `clifford` package's geometric product on prebuilt
    MultiVector objects (left out when it is not installed).
Values are checked against the NumPy product (bit for bit: same terms, same
order) and against clifford (same blade orientation, mapped by blade).

Most of a call is the serial conversion of Python floats (reading the lists,
creating the result floats), so a second table gives the 1 -> 2 worker
speed-up of the products alone, from build/cpp/algebra_kernels (built by
`make test-cpp`, source bench/algebra_kernels.cpp).

Run: .venv/bin/python bench/algebra.py [--quick]
"""

import json
import os
import random
import subprocess
import sys
import time

COUNT = 10**4


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


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
#
# A worker process holds one pool size for its life. The parent drives the
# 1-worker and 2-worker processes alternately, one timing at a time, so a
# change of load on the machine hits both alike; each figure is the best of
# its repeats.

class Case:
    def __init__(self, key):
        import numpy as np

        import vok_core

        self.np, self.vok = np, vok_core
        kind, d, sparse = key.split("/")
        self.kind, self.d, self.sparse = kind, int(d), sparse == "1"
        self.a, self.b = make_inputs(kind, self.d, self.sparse, COUNT, seed=self.d * 2 + self.sparse)
        self.zeros = [[0.0] * len(v) for v in self.a]
        self.sig = signature(self.d) if kind == "geometric" else None
        self.call(self.a)  # warm-up: starts the pool

    def call(self, a):
        if self.kind == "octonion":
            return self.vok.octonion_mul_n(a, self.b)
        return self.vok.geometric_product_n(a, self.b, self.sig)

    def timings(self):
        """One timed call, and one of the conversion floor: the same call with
        a zero left factor, so every product is skipped and only conversion
        and result building remain."""
        t0 = time.perf_counter()
        self.call(self.a)
        t1 = time.perf_counter()
        self.call(self.zeros)
        t2 = time.perf_counter()
        return {"call": t1 - t0, "floor": t2 - t1}

    def references(self, repeats):
        np, a, b, d, sig = self.np, self.a, self.b, self.d, self.sig
        got = np.array(self.call(a))
        A, B = np.array(a), np.array(b)
        out = {}
        if self.kind == "octonion":
            np_call = lambda: numpy_octonion(np, np.array(a), np.array(b)).tolist()  # noqa: E731
            want = numpy_octonion(np, A, B)
        else:
            G = np.array(blade_factors(d, sig))
            np_call = lambda: numpy_geometric(np, np.array(a), np.array(b), G).tolist()  # noqa: E731
            want = numpy_geometric(np, A, B, G)
        out["numpy_agrees"] = bool(np.array_equal(got, want))
        out["numpy"] = COUNT / best_time(np_call, repeats)

        few = 100 if d >= 5 else 500
        if self.kind == "octonion":
            py_call = lambda: python_octonion(a[:few], b[:few])  # noqa: E731
        else:
            g = blade_factors(d, sig)
            py_call = lambda: python_geometric(a[:few], b[:few], g)  # noqa: E731
        out["python"] = few / best_time(py_call, 2)

        cl = clifford_setup(d, sig, a, b) if self.kind == "geometric" else None
        if cl is not None:
            X, Y, perm = cl
            X[0] * Y[0]  # warm-up: compiles clifford's product
            cl_call = lambda: [x * y for x, y in zip(X, Y)]  # noqa: E731
            cl_values = np.array([p.value for p in cl_call()])
            back = np.empty_like(cl_values)
            back[:, perm] = cl_values
            out["clifford_max_abs_diff"] = float(np.max(np.abs(back - got)))
            out["clifford"] = COUNT / best_time(cl_call, repeats)
        return out


def worker_main():
    cases_by_key = {}
    for line in sys.stdin:
        command, key, *rest = line.split()
        case = cases_by_key.get(key) or cases_by_key.setdefault(key, Case(key))
        reply = case.timings() if command == "time" else case.references(int(rest[0]))
        print(json.dumps(reply), flush=True)


class Worker:
    def __init__(self, threads):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        self.proc = subprocess.Popen([sys.executable, __file__, "--worker"], env=env, text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def ask(self, *words):
        self.proc.stdin.write(" ".join(map(str, words)) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def cases():
    out = ["octonion/3/0", "octonion/3/1"]
    for d in (3, 4, 5, 6):
        out += [f"geometric/{d}/0", f"geometric/{d}/1"]
    return out


def fmt(x):
    return f"{x:>10.3g}" if x is not None else f"{'-':>10}"


def main():
    if "--worker" in sys.argv:
        worker_main()
        return
    repeats = 3 if "--quick" in sys.argv else 9
    one, two = Worker(1), Worker(2)
    try:
        print(f"products per second, {COUNT} products per call (conversion included), best of {repeats}")
        print("floor = share of the 1-worker call spent converting and building lists (the same call with a")
        print("zero left factor, so that every product is skipped); only the rest can run in parallel")
        print(f"{'case':<22}{'vok 1w':>10}{'vok 2w':>10}{'2w/1w':>7}{'floor':>7}"
              f"{'numpy':>10}{'1w/numpy':>9}{'python':>10}{'1w/py':>7}{'clifford':>10}{'1w/cliff':>9}  agree")
        for key in cases():
            t1 = {"call": [], "floor": []}
            t2 = {"call": [], "floor": []}
            for _ in range(repeats):
                for w, t in ((one, t1), (two, t2)):
                    for part, seconds in w.ask("time", key).items():
                        t[part].append(seconds)
            c1, f1, c2 = min(t1["call"]), min(t1["floor"]), min(t2["call"])
            refs = one.ask("refs", key, repeats)
            kind, d, sparse = key.split("/")
            name = ("octonion" if kind == "octonion" else f"geometric d={d}") + (" sparse" if sparse == "1" else " dense")
            v1, v2 = COUNT / c1, COUNT / c2
            cl = refs.get("clifford")
            agree = "numpy bitwise" if refs["numpy_agrees"] else "numpy DIFFERS"
            if "clifford_max_abs_diff" in refs:
                agree += f", clifford max |diff| {refs['clifford_max_abs_diff']:.1e}"
            print(f"{name:<22}{fmt(v1)}{fmt(v2)}{v2 / v1:>7.2f}{f1 / c1:>7.0%}"
                  f"{fmt(refs['numpy'])}{v1 / refs['numpy']:>9.2f}{fmt(refs['python'])}{v1 / refs['python']:>7.0f}"
                  f"{fmt(cl)}{(v1 / cl if cl else float('nan')):>9.1f}  {agree}", flush=True)
    finally:
        one.close()
        two.close()
    kernels_only(3 if "--quick" in sys.argv else 5)


def kernels_only(rounds):
    exe = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "cpp", "algebra_kernels")
    if not os.path.exists(exe):
        print("\nkernels alone: build/cpp/algebra_kernels not built (make test-cpp); skipped")
        return
    best = {1: {}, 2: {}}
    for _ in range(rounds):  # alternate the worker counts, keep each case's best
        for threads in (1, 2):
            env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
            out = subprocess.run([exe], env=env, check=True, capture_output=True, text=True).stdout
            for line in out.splitlines()[1:]:
                key, rate = line.split()
                best[threads][key] = max(best[threads].get(key, 0.0), float(rate))
    print(f"\nkernels alone (no Python conversion), products per second, best of {rounds} runs")
    print(f"{'case':<22}{'1 worker':>12}{'2 workers':>12}{'2w/1w':>8}")
    for key in cases():
        kind, d, sparse = key.split("/")
        name = ("octonion" if kind == "octonion" else f"geometric d={d}") + (" sparse" if sparse == "1" else " dense")
        r1, r2 = best[1][key], best[2][key]
        print(f"{name:<22}{r1:>12.3g}{r2:>12.3g}{r2 / r1:>8.2f}")


if __name__ == "__main__":
    main()
