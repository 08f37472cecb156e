"""The engine's inner constants seen from Python: the refit of _ext.fit and
the fitted search's shapes with constants inside."""

import math
import struct

import numpy as np
import pytest

from vok_math import _ext

PARAM, VAR, OP = 1, 2, 3
MUL, ADD, EXP, LN = 11, 9, 2, 3


def bits(v):
    return struct.unpack("<q", struct.pack("<d", v))[0]


def tok(kind, op=0, index=0, value=0.0):
    return (kind, op, index, value)


# ((exp((x * c0)) * c1) + c2), the form of a fitted result
DECAY = (tok(VAR), tok(PARAM, 0, 0), tok(OP, MUL), tok(OP, EXP), tok(PARAM, 0, 1), tok(OP, MUL), tok(PARAM, 0, 2),
         tok(OP, ADD))


@pytest.fixture
def decay():
    x = np.linspace(0.0, 5.0, 120)
    return [x], 2.0 * np.exp(-0.7 * x) + 0.5


def test_fit_recovers_the_constants_and_reports_the_engines_rmse(decay):
    cols, y = decay
    params, rmse = _ext.fit(DECAY, (-0.3, 1.0, 0.0), cols, y)
    assert params == pytest.approx((-0.7, 2.0, 0.5), abs=1e-9)
    assert bits(rmse) == bits(_ext.rmse(DECAY, params, cols, y))


def test_fit_keeps_the_constants_not_marked_free(decay):
    cols, y = decay
    params, _ = _ext.fit(DECAY, (-0.3, 1.0, 0.25), cols, y, (True, True, False))
    assert bits(params[2]) == bits(0.25)
    assert params[0] != -0.3


@pytest.mark.parametrize("tokens,params,free,error", [
    (DECAY, (-0.3, 1.0, 0.0), (True, False), ValueError),  # free of the wrong length
    (DECAY, (-0.3, "a", 0.0), None, TypeError),
    ((tok(VAR), tok(PARAM, 0, 0), tok(OP, ADD), tok(OP, LN)), (-3.0,), None, ValueError),  # ln(x - 3) fails
    ((tok(VAR),) + tuple(t for i in range(40) for t in (tok(PARAM, 0, i), tok(OP, ADD))), (1.0,) * 40, None,
     ValueError),  # too many constants
])
def test_fit_rejects_what_it_cannot_fit(decay, tokens, params, free, error):
    cols, y = decay
    with pytest.raises(error):
        _ext.fit(tokens, params, cols, y, free)


def test_fitted_search_finds_a_rate_inside_exp_only_with_inner_constants(decay):
    cols, y = decay
    found = {}
    for top_k in (0, 8):
        best = _ext.search(cols, y, 8, 2000, 1e-10, 0.001, True, True, None, None, {"top_k": top_k})[0]
        found[top_k] = best
    tokens, _, complexity, rmse, params = found[8]
    assert [t[:2] for t in tokens] == [t[:2] for t in DECAY] and complexity == 4
    assert params[0] == pytest.approx(-0.7, abs=1e-9) and rmse < 1e-10
    assert found[0][3] > 1e-6
