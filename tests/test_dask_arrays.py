"""The ufuncs under dask.array on a two-process local cluster: applied block
by block on the workers, they give the in-memory result bit for bit."""

import numpy as np
import pytest

from vok_math import ufunc

# Dask is a test dependency of the development environment, not of every
# environment the wheels are tested in.
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
Client, LocalCluster = distributed.Client, distributed.LocalCluster


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with Client(cluster) as c:
            yield c


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


RNG = np.random.default_rng(5)
X, Y = RNG.normal(0, 300, 40_000), RNG.normal(0, 3, 40_000)
X[::97], Y[::89] = np.nan, 0.0


@pytest.mark.parametrize("name", ["tension", "pow", "div"])
def test_elementwise_on_the_cluster(client, name):
    uf = getattr(ufunc, name)
    lazy = uf(da.from_array(X, chunks=15_000), da.from_array(Y, chunks=15_000))
    assert lazy.npartitions == 3
    np.testing.assert_array_equal(bits(client.compute(lazy).result()), bits(uf(X, Y)))


def test_generalized_ufunc_on_the_cluster(client):
    mv, sig = X.reshape(-1, 16), [1, -1, 1, 1]
    lazy = ufunc.geometric_product(da.from_array(mv, chunks=(1000, 16)), mv[0], sig)
    np.testing.assert_array_equal(bits(client.compute(lazy).result()), bits(ufunc.geometric_product(mv, mv[0], sig)))


@pytest.mark.parametrize("width", [2, 8])
def test_fixed_width_records_through_apply_gufunc(client, width):
    # Dask infers a result dtype by calling the ufunc on one-element blocks,
    # which a fixed record width refuses: such ufuncs go through
    # apply_gufunc with the dtype given.
    records = np.stack([X / 300, Y] * (width // 2), axis=-1)
    uf, args = (ufunc.boost, (Y / 10, 2.0)) if width == 2 else (ufunc.octonion_mul, (records[::-1],))
    chunked = [da.from_array(a, chunks=(15_000,) + a.shape[1:]) if np.ndim(a) else a for a in (records, *args)]
    lazy = da.apply_gufunc(uf, uf.signature, *chunked, output_dtypes=float)
    np.testing.assert_array_equal(bits(client.compute(lazy).result()), bits(uf(records, *args)))
