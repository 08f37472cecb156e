"""discover(subsample=...): a search on a fixed-seed subsample of the rows, its
results scored, refitted and chosen on every row; the engine reading columns
of a table without copies in Python."""

import math
import pickle
import struct

import numpy as np
import pytest

import vok_math
from vok_math import Formula, _ext
from vok_math.discovery import _subsample
from vok_math.discovery._select import pareto

FAST = {"max_complexity": 5, "beam_width": 200}
PARAM, VAR, OP = 1, 2, 3
EXP, LN, ADD, SUB, MUL = 2, 3, 9, 10, 11


def bits(v):
    return struct.unpack("<q", struct.pack("<d", v))[0]


def table(rows, law, seed=0, noise=0.0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, (rows, 3))
    return X, law(*X.T) + noise * rng.normal(size=rows)


def rmse_of_predict(f, X, y):
    total = -0.0
    for p, t in zip(f.predict(X).tolist(), y.tolist()):
        total += (p - t) * (p - t)
    return math.sqrt(total / len(y))


def test_the_subsample_is_fixed_and_the_result_repeats():
    X, y = table(3000, lambda a, b, c: a * b / c, noise=0.05)
    first, second = (vok_math.discover(X, y, subsample=400, **FAST) for _ in range(2))
    assert first == second and first.subsample == 400
    rows = _subsample.draw(3000, 400)
    assert np.array_equal(rows, np.unique(rows)) and len(rows) == 400 and rows[-1] < 3000


@pytest.mark.parametrize("rows,constants,seen", [
    (_subsample.AUTO_ABOVE, True, None),
    (_subsample.AUTO_ABOVE + 1, True, _subsample.AUTO_ROWS),
    (_subsample.AUTO_ABOVE + 1, False, None),  # the contract's search stays on every row
])
def test_the_default_subsamples_big_tables(rows, constants, seen):
    X, y = table(rows, lambda a, b, c: a + b)
    f = vok_math.discover(X, y, constants=constants, max_complexity=3, beam_width=20)
    assert f.subsample == seen and all(g.subsample == seen for g in f.front)


@pytest.mark.parametrize("law", [
    lambda a, b, c: 2.5 * a * b / c,
    lambda a, b, c: b * np.exp(-1.3 * a),
    lambda a, b, c: a * b / c + np.exp(-a),
])
def test_same_formula_as_the_search_on_every_row(law):
    X, y = table(4000, law)
    full = vok_math.discover(X, y, subsample=None, max_complexity=9)
    part = vok_math.discover(X, y, subsample=500, max_complexity=9)
    assert part.formula == full.formula and part.subsample == 500 and full.subsample is None


def test_errors_and_front_are_those_of_every_row():
    X, y = table(5000, lambda a, b, c: np.sqrt(a) * c, noise=0.1)
    f = vok_math.discover(X, y, subsample=300, snap=False, **FAST)
    assert bits(f.rmse) == bits(rmse_of_predict(f, X, y))
    assert f.r2 == pytest.approx(1 - f.rmse**2 / np.var(y), rel=1e-12)
    for g in f.front:
        assert bits(g.rmse) == bits(rmse_of_predict(g, X, y))
        assert bits(g.error) == bits(g.rmse / np.std(y) * (1 + g.complexity * 0.001))


def test_no_subsample_is_the_search_on_every_row():
    X, y = table(_subsample.AUTO_ABOVE + 1, lambda a, b, c: a * np.sin(b) + 0.1 * c, noise=0.1)
    f = vok_math.discover(X, y, subsample=None, snap=False, selection="penalty", decompose=False, **FAST)
    cols = [np.ascontiguousarray(c) for c in X.T]
    best, _, _, front, _ = _ext.search(cols, y, 5, 200, 1e-10, 0.001, True, True, None, None, {})
    assert (f.tokens, f.params, bits(f.rmse)) == (best[0], best[4], bits(best[3]))
    assert [(g.tokens, bits(g.rmse)) for g in f.front] == [(e[0], bits(e[3])) for e in pareto(
        [_subsample.Entry(*e) for e in front])]
    assert vok_math.discover(X, y, subsample=len(y), **FAST).subsample is None


@pytest.mark.parametrize("value,error", [
    (0, ValueError), (-3, ValueError), ("all", ValueError), (True, TypeError), (2.5, TypeError),
])
def test_bad_subsample_options(value, error):
    X, y = table(50, lambda a, b, c: a)
    with pytest.raises(error, match="subsample"):
        vok_math.discover(X, y, subsample=value)
    with pytest.raises(error, match="subsample"):
        vok_math.discover_many([(X, y)], subsample=value)


def test_discover_many_passes_the_subsample_on():
    X, y = table(2000, lambda a, b, c: a * c)
    [f] = vok_math.discover_many([(X, y)], subsample=100, **FAST)
    assert f == vok_math.discover(X, y, subsample=100, **FAST) and f.subsample == 100


def test_the_field_is_pickled_and_checked():
    x = ((VAR, 0, 0, 0.0),)
    f = Formula(x, ("x",), 0.0, 1, 0.0, subsample=np.int64(7))
    assert f.subsample == 7 and type(f.subsample) is int
    g = pickle.loads(pickle.dumps(f))
    assert g == f and g.subsample == 7 and g != Formula(x, ("x",), 0.0, 1, 0.0)
    for bad in (0, True, 1.5, "7"):
        with pytest.raises(ValueError, match="subsample"):
            Formula(x, ("x",), 0.0, 1, 0.0, subsample=bad)

    class Crafted:  # a pickle that rebuilds a Formula from its state, as the dataclass pickles one
        def __reduce__(self):
            return object.__new__, (Formula,), [x, ("x",), 0.0, 1, 0.0, True, (), (), math.nan, None, -1, ()]

    with pytest.raises(ValueError, match="subsample"):
        pickle.loads(pickle.dumps(Crafted()))


def test_the_engine_reads_strided_columns_as_copies():
    X, y = table(300, lambda a, b, c: a * b)
    tokens = ((VAR, 0, 0, 0.0), (VAR, 0, 2, 0.0), (OP, MUL, 0, 0.0))  # x * z
    strided, copied = [X[:, j] for j in range(3)], [np.ascontiguousarray(c) for c in X.T]
    assert bits(_ext.rmse(tokens, (), strided, y)) == bits(_ext.rmse(tokens, (), copied, y))
    assert bits(_ext.rmse(tokens, (), strided[::-1][::-1], y[::-1][::-1])) == bits(_ext.rmse(tokens, (), copied, y))
    with pytest.raises(TypeError, match="float64 buffer"):
        _ext.rmse(tokens, (), [X[:, :2]] * 3, y)  # two-dimensional and not contiguous


def test_fit_each_is_fit_of_each():
    X, y = table(400, lambda a, b, c: 2.0 * np.exp(-0.7 * a) + 0.5)
    cols = [X[:, j] for j in range(3)]
    decay = ((VAR, 0, 0, 0.0), (PARAM, 0, 0, 0.0), (OP, MUL, 0, 0.0), (OP, EXP, 0, 0.0), (PARAM, 0, 1, 0.0),
             (OP, MUL, 0, 0.0), (PARAM, 0, 2, 0.0), (OP, ADD, 0, 0.0))  # exp(x * c0) * c1 + c2
    failing = ((VAR, 0, 0, 0.0), (PARAM, 0, 0, 0.0), (OP, SUB, 0, 0.0), (OP, LN, 0, 0.0))  # ln(x - c0)
    formulas = [(decay, (-0.3, 1.0, 0.0)), (failing, (5.0,))]
    fitted = _ext.fit_each(formulas, cols, y, 30)
    params, rmse = _ext.fit(decay, (-0.3, 1.0, 0.0), cols, y)
    assert fitted[0] == (params, rmse) and fitted[1] is None
    assert _ext.fit_each(formulas[:1], cols, y, 0) == [((-0.3, 1.0, 0.0), _ext.rmse(decay, (-0.3, 1.0, 0.0), cols, y))]


def test_the_beam_leaves_the_search_unchanged():
    X, y = table(500, lambda a, b, c: a * b / c + np.exp(-a))
    cols = [X[:, j] for j in range(3)]
    args = (cols, y, 6, 300, 1e-10, 0.001, True, True, None, None, {})
    beam = []
    assert _ext.search(*args, (), beam) == _ext.search(*args) and len(beam) > 8
    for tokens, _, _, rmse, params in beam:
        assert bits(rmse) == bits(_ext.rmse(tokens, params, cols, y))


MEMORY = """
import resource, numpy as np, vok_math
X = np.random.default_rng(0).uniform(0.5, 3.0, ({rows}, 20))
y = X[:, 0] * X[:, 1]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
vok_math.discover(X, y, max_complexity=1, subsample={subsample}, decompose=False)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024 / X.nbytes)
"""


@pytest.mark.parametrize("subsample,most", [(None, 1.5), ("'auto'", 0.75)])
def test_the_data_is_copied_at_most_once(run_python, subsample, most):
    # The engine's own copy of the columns is the only one; a subsample's
    # search copies only the subsample.
    grown = float(run_python(MEMORY.format(rows=400_000, subsample=subsample)))
    assert grown < most
