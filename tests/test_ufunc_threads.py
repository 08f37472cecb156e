"""Several Python threads calling ufuncs (which run on the worker pool
without the interpreter lock) and list functions at once: every result is
bit for bit the one a single thread computes."""

import threading

import numpy as np

import vok_core
from vok_math import ufunc

N = 60_000  # above every parallel threshold


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def jobs():
    rng = np.random.default_rng(11)
    x, y = rng.normal(0, 30, N), rng.normal(0, 30, N)
    pts = np.stack([x, y], axis=-1)
    octs = rng.normal(size=(N // 8, 8))
    mv = rng.normal(size=(N // 16, 16))
    sig = np.array([1, -1, 1, 0])
    return [
        lambda: ufunc.tension(x, y),
        lambda: ufunc.exp(x),
        lambda: ufunc.boost(pts, y / 100, 1.5),
        lambda: ufunc.octonion_mul(octs, octs[::-1]),
        lambda: ufunc.geometric_product(mv, mv[::-1], sig),
        lambda: ufunc.christoffel(x / 10, 1, 0, 0, 0.5),
        lambda: np.array(vok_core.tension_n(x.tolist(), y.tolist())),
        lambda: np.array(vok_core.boost_n([tuple(p) for p in pts.tolist()], (y / 100).tolist(), 1.5)),
    ]


def test_concurrent_calls_are_bit_identical():
    work = jobs()
    expected = [bits(job()) for job in work]
    failures = []
    start = threading.Barrier(4)

    def run(offset):
        start.wait()
        for round_ in range(6):
            k = (offset + round_) % len(work)
            if not np.array_equal(bits(work[k]()), expected[k]):
                failures.append(k)

    threads = [threading.Thread(target=run, args=(i * 2,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
