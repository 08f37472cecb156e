"""The worker pool seen from Python: start, size, failure, fork."""

import multiprocessing
import os

import pytest

import vok_core


def _child_work(_):
    return vok_core.tension_n([0.0] * 20000, [1.0] * 20000)[-1]


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_can_use_the_pool():
    vok_core.exp_n([0.0] * 50000)  # the pool exists in this process now
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as workers:
        assert workers.map(_child_work, range(4)) == [1.0] * 4


@pytest.mark.parametrize("env", [{"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "+3"},
                                 {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"},
                                 {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}])
def test_results_do_not_depend_on_the_worker_count(env, run_python):
    # RAYON_NUM_THREADS=0 means the default (one worker per available CPU),
    # not "ask RAYON_RS_NUM_CPUS"; only garbage there hands over to it.
    code = """
        import vok_core, hashlib, struct
        xs = [i * 0.001 - 30.0 for i in range(60000)]
        out = vok_core.tension_n(xs, list(reversed(xs)))
        print(hashlib.sha256(struct.pack(f"{len(out)}d", *out)).hexdigest())
        print(len([t for t in __import__("os").listdir("/proc/self/task")]))
    """
    digest, threads = run_python(code, env).split()
    reference, _ = run_python(code, {"RAYON_NUM_THREADS": "2"}).split()
    assert digest == reference
    if env["RAYON_NUM_THREADS"] == "0":  # the default: what no usable setting gives
        expected_workers = int(run_python(code, {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": ""}).split()[1]) - 1
        assert 1 <= expected_workers <= len(os.sched_getaffinity(0))
    else:
        expected_workers = {"1": 1, "+3": 3, "x": 5}[env["RAYON_NUM_THREADS"]]
    assert int(threads) == expected_workers + 1  # the workers and the main thread


def test_pool_starts_with_the_first_call_past_conversion(run_python):
    out = run_python("""
        import os, vok_core
        threads = lambda: len(os.listdir("/proc/self/task"))
        print(threads())  # nothing starts at import
        try:
            vok_core.exp_n("abc")
        except TypeError:
            pass
        print(threads())  # nor on a call that fails its conversion
        vok_core.exp_n([])
        print(threads())  # an empty input still brings the pool up
    """, {"RAYON_NUM_THREADS": "3"})
    assert out.split() == ["1", "1", "4"]


def test_pool_start_failure_is_reported_on_every_call(run_python):
    out = run_python("""
        import resource, vok_core
        size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (4 << 20), resource.RLIM_INFINITY))
        for _ in range(2):
            try:
                vok_core.exp_n([1.0, 2.0])
            except RuntimeError as e:
                print(type(e).__name__, str(e).startswith("The global thread pool has not been initialized."))
    """)
    assert out.split("\n")[:2] == ["InternalError True", "InternalError True"]


def test_both_modules_share_one_pool(run_python):
    # vok_core, the ufuncs and discover all run on one pool of
    # RAYON_NUM_THREADS workers: after using all three the process has
    # gained that many threads, not one set per extension module.
    out = run_python("""
        import os
        import numpy as np
        import vok_core
        from vok_math import discover, ufunc
        threads = lambda: len(os.listdir("/proc/self/task"))
        before = threads()  # NumPy's own threads (if any) included
        vok_core.exp_n([0.5] * 20000)
        ufunc.exp(np.full(20000, 0.5))
        x = np.linspace(1.0, 2.0, 50)
        discover({"x": x, "y": x * x}, "y", max_complexity=3)
        print(before, threads())
    """, {"RAYON_NUM_THREADS": "4", "OPENBLAS_NUM_THREADS": "1"})
    before, after = map(int, out.split())
    assert after - before == 4


@pytest.mark.parametrize("value,warned", [("junk", True), ("12Q", True), ("", False), ("3G", False), ("1024", False)])
def test_a_memory_limit_that_is_no_byte_size_is_said_once(value, warned, run_python):
    code = """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import vok_core
            import vok_math, vok_math.ufunc
            vok_core.find_formula([[1.0, 2.0]], [1.0, 2.0], 1, 1)
        print(sum("VOK_MEMORY_LIMIT" in str(w.message) for w in caught))
    """
    assert run_python(code, {"VOK_MEMORY_LIMIT": value}).split() == ["1" if warned else "0"]
