"""discover_many: one search per problem on an executor, in input order."""

import multiprocessing
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import vok_math

OPTIONS = {"max_complexity": 5, "beam_width": 200, "selection": "holdout", "snap": 0.05}


def problems():
    rng = np.random.default_rng(3)
    out = []
    for law in (lambda X: X[:, 0] * X[:, 1], lambda X: np.sqrt(X[:, 0]) + 1, lambda X: rng.normal(size=len(X))):
        X = rng.uniform(0.5, 2.0, (40, 2))
        out.append((X, law(X)))
    out.insert(1, (np.ones((3, 2)), [1.0, 2.0]))  # bad: length mismatch
    return out


def check(results, expected):
    assert len(results) == len(expected)
    for got, want in zip(results, expected):
        if isinstance(want, Exception):
            assert type(got) is type(want) and str(got) == str(want)
        else:
            assert got == want


@pytest.fixture(scope="module")
def one_by_one():
    out = []
    for X, y in problems():
        try:
            out.append(vok_math.discover(X, y, **OPTIONS))
        except Exception as exc:
            out.append(exc)
    return out


def test_default_and_process_pool(one_by_one):
    check(vok_math.discover_many(problems(), **OPTIONS), one_by_one)
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as executor:
        check(vok_math.discover_many(problems(), executor=executor, **OPTIONS), one_by_one)


def test_dask_cluster(one_by_one):
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        check(vok_math.discover_many(problems(), executor=client.get_executor(), **OPTIONS), one_by_one)


@pytest.mark.parametrize("options,message", [
    ({"beam_width": 0}, "beam_width must be at least 1"),
    ({"progress": True}, "does not take progress"),
    ({"colour": 1}, "unexpected option"),
    ({"selection": "aic"}, "selection must be one of"),
])
def test_bad_options_raise_at_once(options, message):
    with pytest.raises((TypeError, ValueError), match=message):
        vok_math.discover_many(problems(), executor=None, **options)


class KillsItsWorker:
    """Data whose unpickling kills the process that unpickles it (a worker)."""

    def __reduce__(self):
        import signal
        return signal.raise_signal, (signal.SIGKILL,)


def test_a_problem_that_kills_its_worker_fails_alone(one_by_one):
    from concurrent.futures.process import BrokenProcessPool

    killer = (KillsItsWorker(), [1.0])
    good = problems()
    results = vok_math.discover_many(good[:2] + [killer] + good[2:], **OPTIONS)
    assert isinstance(results[2], BrokenProcessPool)
    check(results[:2] + results[3:], one_by_one)
