"""Tension over more data than one worker may hold, with dask.array.

vok_math.ufunc.tension is a NumPy ufunc, so a chunked dask array applies it
block by block on the workers. Here two worker processes, each allowed
400 MiB, reduce the tension of 2 x 60 million float64 numbers (960 MB of
input): no worker ever holds more than a few blocks. One block is checked bit
for bit against the in-memory ufunc.

Run: .venv/bin/python examples/dask_tension.py [numbers per operand]
Needs dask[distributed] (installed by make setup).
"""

import logging
import sys
import time

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

from vok_math import ufunc

WORKER_MEMORY = "400MiB"
CHUNK = 2_500_000  # numbers per block: 20 MB per operand


def main(size):
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit=WORKER_MEMORY,
                      dashboard_address=":0", silence_logs=logging.ERROR) as cluster, Client(cluster):
        rng = da.random.default_rng(42)
        x = rng.normal(0.0, 3.0, size, chunks=CHUNK)
        y = rng.normal(1.0, 2.0, size, chunks=CHUNK)
        t = ufunc.tension(x, y)  # lazy: one ufunc call per block, on the workers
        print(f"{size:,} points per operand, {x.nbytes * 2 / 2**20:,.0f} MiB of input, "
              f"{x.npartitions} blocks, workers limited to {WORKER_MEMORY} each")

        start = time.perf_counter()
        total, low, high, positive = da.compute(t.sum(), t.min(), t.max(), (t > 0).sum())
        print(f"computed in {time.perf_counter() - start:.2f} s")
        print(f"  mean tension   {total / size:.6f}")
        print(f"  range          [{low:.6f}, {high:.6f}]")
        print(f"  tension > 0    {positive / size:.2%}")

        # The same block, recomputed in this process, matches bit for bit.
        xb, yb, tb = da.compute(x.blocks[1], y.blocks[1], t.blocks[1])
        same = np.array_equal(tb.view(np.uint64), ufunc.tension(xb, yb).view(np.uint64))
        print(f"  block 1 bit-identical to the in-memory ufunc: {same}")
        return same


if __name__ == "__main__":
    sys.exit(0 if main(int(float(sys.argv[1])) if len(sys.argv) > 1 else 60_000_000) else 1)
