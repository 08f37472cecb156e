"""vok_math.ufunc: every ufunc bit for bit against its list function, and the
ufunc machinery (broadcasting, out=, where=, reductions, casting, pickling)."""

import functools
import itertools
import operator
import pickle

import numpy as np
import pytest

import vok_core
from vok_math import ufunc

INF, NAN = float("inf"), float("nan")


def below_above(x):
    return [np.nextafter(x, -INF), x, np.nextafter(x, INF)]


def nan(sign, payload):
    return np.array([sign << 63 | 0x7FF8 << 48 | payload], dtype=np.uint64).view(np.float64)[0]


# NaN, infinities, signed zeros, the guard thresholds and their neighbours.
SPECIAL = np.array(
    [NAN, INF, -INF, 0.0, -0.0, 1.0, -1.0, 710.0, -800.0, 1e308, 1e-310, -1e-310, 5e-324]
    + below_above(709.78) + below_above(1e-300) + below_above(-1e-300) + below_above(-709.78)
)
# NaNs of both signs and other payloads: which one a two-NaN operation keeps.
NANS = np.array([nan(1, 5), nan(0, 0xBEEF)])


def sample(n, seed):
    """SPECIAL, moderate values and values of every magnitude, shuffled."""
    rng = np.random.default_rng(seed)
    wide = rng.choice([-1.0, 1.0], n) * 10.0 ** rng.uniform(-320, 308, n)
    x = np.concatenate([np.tile(SPECIAL, n // 50), rng.normal(0, 30, n), wide])
    return rng.permutation(x)


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_same(got, want):
    np.testing.assert_array_equal(bits(got), bits(np.asarray(want, dtype=np.float64)))


UNARY = ["exp", "ln", "sqrt", "sin", "cos"]
BINARY = ["add", "sub", "mul", "div", "pow", "tension"]
X = sample(12000, seed=1)  # > 8192 elements: the workers compute it
Y = sample(12000, seed=2)[: len(X)]


@pytest.mark.parametrize("name", UNARY)
def test_unary_is_the_list_function(name):
    assert_same(getattr(ufunc, name)(X), getattr(vok_core, name + "_n")(X.tolist()))


@pytest.mark.parametrize("name", BINARY)
@pytest.mark.parametrize("workers", [False, True])
def test_binary_is_the_list_function(name, workers):
    special = np.concatenate([SPECIAL, NANS])
    a, b = np.repeat(special, len(special)), np.tile(special, len(special))  # every special pair, NaN pairs too
    pairs = getattr(vok_core, name + "_n")(a.tolist(), b.tolist())  # computed on the calling thread
    if workers:
        a, b = np.concatenate([a, X]), np.concatenate([b, Y])
    want = getattr(vok_core, name + "_n")(a.tolist(), b.tolist())
    assert_same(want[: len(pairs)], pairs)  # the same NaN wherever the list function computes it
    assert_same(getattr(ufunc, name)(a, b), want)


@pytest.mark.parametrize("name", ["tension", "div"])
def test_broadcast_strided_operands(name):
    a, b = X[:400:2, None], Y[1:300:3][None, :]
    got = getattr(ufunc, name)(a, b)
    aa, bb = np.broadcast_arrays(a, b)
    assert got.shape == (200, 100)
    assert_same(got.ravel(), getattr(vok_core, name + "_n")(aa.ravel().tolist(), bb.ravel().tolist()))


def test_out_and_where_leave_masked_slots_alone():
    out = np.full(len(X), 7.0)
    mask = np.arange(len(X)) % 3 == 0
    result = ufunc.tension(X, Y, out=out, where=mask)
    assert result is out
    want = np.where(mask, vok_core.tension_n(X.tolist(), Y.tolist()), 7.0)
    assert_same(out, want)


def test_in_place_output():
    a = X.copy()
    ufunc.exp(a, out=a)
    assert_same(a, vok_core.exp_n(X.tolist()))


@pytest.mark.parametrize("values", [np.arange(-5, 20000), np.linspace(-3, 3, 10001, dtype=np.float32), [True, False]])
def test_other_dtypes_are_cast_to_float64(values):
    got = ufunc.ln(values)
    assert got.dtype == np.float64
    assert_same(got, vok_core.ln_n(np.asarray(values, dtype=np.float64).tolist()))


def test_complex_input_is_refused():
    with pytest.raises(TypeError, match="Cannot cast"):
        ufunc.exp(np.array([1j]))


@pytest.mark.parametrize(
    "name, fold, empty",
    [("add", operator.add, 0.0), ("mul", operator.mul, 1.0), ("sub", operator.sub, None)],
)
def test_reductions_fold_in_index_order(name, fold, empty):
    uf = getattr(ufunc, name)
    xs = 1 + np.random.default_rng(9).normal(0, 1e-3, 20000)  # finite: every step counts
    assert_same(uf.reduce(xs), functools.reduce(fold, xs.tolist()))
    assert_same(uf.accumulate(xs), list(itertools.accumulate(xs.tolist(), fold)))
    if empty is None:
        with pytest.raises(ValueError):
            uf.reduce([])
    else:
        assert_same(uf.reduce([]), empty)
        assert_same(uf.reduce([1.5, 2.0, 4.0], where=[True, False, True]), fold(1.5, 4.0))


def test_add_reduce_keeps_negative_zero():
    assert_same(ufunc.add.reduce([-0.0, -0.0]), -0.0)


def test_no_floating_point_warnings():
    with np.errstate(all="raise"):
        ufunc.mul([1e308], [10.0])
        ufunc.div([1e300], [1e-299])
        ufunc.exp([1e308, -1e308])


@pytest.mark.parametrize("name", ufunc.__all__)
def test_ufuncs_pickle_by_reference(name):
    uf = getattr(ufunc, name)
    assert pickle.loads(pickle.dumps(uf)) is uf


# ------------------------------------------------------------------ records

def test_boost_is_boost_n():
    pts = np.stack([sample(3000, seed=3), sample(3000, seed=4)], axis=-1)
    phis = sample(3000, seed=5)[: len(pts)] / 100
    for c in [1.0, -2.5, 0.0, NAN]:
        want = vok_core.boost_n([tuple(p) for p in pts.tolist()], phis.tolist(), c)
        assert_same(ufunc.boost(pts, phis, c), want)


def test_boost_broadcasts_rapidity_and_speed():
    pts = np.array([[0.0, 1.0], [1.0, 2.718281828459045]])
    phis = np.array([-1.0, 0.0, 0.5])[:, None]  # (3, 1) against 2 points
    c = np.array([1.0, 2.0])
    got = ufunc.boost(pts, phis, c)
    assert got.shape == (3, 2, 2)
    for i, j in itertools.product(range(3), range(2)):
        assert_same(got[i, j], vok_core.boost_n([tuple(pts[j])], [phis[i, 0]], c[j])[0])


def octets(n, seed):
    """Random octonions with zero coefficients, NaN and infinities mixed in."""
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(n, 8))
    a[rng.random((n, 8)) < 0.3] = 0.0
    a[rng.random((n, 8)) < 0.01] = NAN
    a[rng.random((n, 8)) < 0.01] = INF
    return a


def test_octonion_mul_is_octonion_mul_n():
    a, b = octets(3000, seed=6), octets(3000, seed=7)
    assert_same(ufunc.octonion_mul(a, b), vok_core.octonion_mul_n(a.tolist(), b.tolist()))
    # Strided records (Fortran order) and a broadcast right factor.
    assert_same(ufunc.octonion_mul(np.asfortranarray(a), b[0]), vok_core.octonion_mul_n(a.tolist(), [b[0].tolist()] * 3000))


def multivectors(n, d, seed):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(n, 2**d))
    a[rng.random(a.shape) < 0.3] = 0.0
    return a


@pytest.mark.parametrize("d", [0, 1, 2, 4, 6])
def test_geometric_product_is_geometric_product_n(d):
    n = 3000 if d < 6 else 40
    a, b = multivectors(n, d, seed=d), multivectors(n, d, seed=d + 10)
    sig = np.array([1, -1, 0, 2, -128, 127][:d], dtype=np.int64)
    want = vok_core.geometric_product_n(a.tolist(), b.tolist(), sig.tolist())
    assert_same(ufunc.geometric_product(a, b, sig), want)
    assert_same(ufunc.geometric_product(np.asfortranarray(a), b, sig.astype(np.int8)), want)
    ufunc.geometric_product(a, b, sig, out=a)  # the output is an input
    assert_same(a, want)


def test_geometric_product_with_a_signature_per_element():
    a, b = multivectors(600, 2, seed=1), multivectors(600, 2, seed=2)
    sigs = np.random.default_rng(3).integers(-3, 4, size=(600, 2))
    got = ufunc.geometric_product(a, b, sigs)
    for i in range(0, 600, 37):
        assert_same(got[i], vok_core.geometric_product_n([a[i].tolist()], [b[i].tolist()], sigs[i].tolist())[0])


@pytest.mark.parametrize(
    "a, b, sig",
    [
        ([[1, 0, 0, 0], [0, 0, 0, 1]], [[1, 0, 0, 0], [0, 0, 0, 1]], [1]),  # e0e1 * e0e1 needs signature[1]
        ([[1, 0, 0], [0, 1, 0], [0, 1, 0]], [[1, 0, 0], [0, 0, 1], [0, 0, 1]], [1, 1]),  # blade 3 outside 3 coefficients
        ([[0, 1]] * 20000, [[0, 1]] * 19999 + [[0, 1]], []),  # on the workers: the first element fails
    ],
)
def test_geometric_product_faults_as_the_list_function(a, b, sig):
    with pytest.raises(IndexError) as listed:
        vok_core.geometric_product_n(a, b, sig)
    with pytest.raises(IndexError) as arrays:
        ufunc.geometric_product(a, b, np.array(sig, dtype=np.int64))
    assert str(arrays.value) == str(listed.value).replace("geometric_product_n", "geometric_product")


@pytest.mark.parametrize("sig", [[1, 128], np.array([[1, 1], [-129, 1]])])
def test_geometric_product_signature_range(sig):
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        ufunc.geometric_product(np.ones((2, 4)), np.ones((2, 4)), sig)


@pytest.mark.parametrize("rs", [0.0, 0.5, 2.0, -1.0, 1e300, NAN])
def test_christoffel_is_christoffel_batch_n(rs):
    x = np.concatenate([SPECIAL, X[:9000] / 100])
    points = [(v, 0.0) for v in x.tolist()]
    for lam, mu, nu in itertools.product(range(3), repeat=3):
        assert_same(ufunc.christoffel(x, lam, mu, nu, rs), vok_core.christoffel_batch_n(points, lam, mu, nu, rs))


@pytest.mark.parametrize("n", [3, 10000])
def test_christoffel_takes_unsigned_indices_of_any_size(n):
    x = X[:n] / 100
    points = [(v, 0.0) for v in x.tolist()]
    for lam, mu, nu in [(2**63, 0, 1), (0, 2**64 - 1, 1), (1, 1, 1)]:
        got = ufunc.christoffel(x, np.uint64(lam), np.full(n, mu, dtype=np.uint64), np.uint32(nu), 0.5)
        assert_same(got, vok_core.christoffel_batch_n(points, lam, mu, nu, 0.5))


def test_christoffel_indices_broadcast_and_must_not_be_negative():
    idx = np.array([0, 1])
    gamma = ufunc.christoffel(0.0, idx[:, None, None], idx[None, :, None], idx[None, None, :], 0.5)
    assert gamma.tolist() == [[[0.0, 0.5], [0.5, 0.0]], [[0.125, 0.0], [0.0, -0.5]]]
    with pytest.raises(OverflowError, match="can't convert negative int to unsigned"):
        ufunc.christoffel(np.zeros(10000), np.arange(10000) - 9000, 0, 1, 0.5)


def test_type_stubs_list_every_ufunc():
    import ast
    import importlib.resources

    tree = ast.parse((importlib.resources.files("vok_math") / "ufunc.pyi").read_text())
    stubbed = {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    assert stubbed - {"__all__"} == set(ufunc.__all__) == set(ufunc._ext.ufuncs())


def test_extension_modules_import_without_numpy_and_its_users_say_what_is_missing():
    import subprocess
    import sys

    code = (
        "import sys; sys.modules['numpy'] = None\n"  # makes `import numpy` fail
        "import vok_core, vok_math._ext as ext\n"
        "try:\n    ext.ufuncs()\nexcept ImportError:\n    print('no numpy')\n"
        "import vok_math\n"
        "for use in (lambda: __import__('vok_math.ufunc'), lambda: vok_math.discover):\n"
        "    try:\n        use()\n    except ImportError as e:\n        print(e)\n"
    )
    run = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, cwd="/")
    assert run.stdout == (
        "no numpy\n"
        "vok_math.ufunc needs numpy, which is not installed: pip install numpy\n"
        "vok_math.discover needs numpy, which is not installed: pip install numpy\n"
    ), run.stderr
