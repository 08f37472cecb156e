"""discover's optional operators and its decomposition of the target."""

import struct

import numpy as np
import pytest
import vok_core

import vok_math
from vok_math import _ext
from vok_math.discovery import _structure


def bits(v):
    return struct.unpack("<q", struct.pack("<d", v))[0]


RNG = np.random.default_rng(3)
U = RNG.uniform(-0.9, 0.9, (120, 2))


@pytest.mark.parametrize("name,y", [
    ("arcsin", np.arcsin(U[:, 0])),
    ("arccos", np.arccos(U[:, 0] * U[:, 1])),
    ("tanh", np.tanh(U[:, 0] * U[:, 1])),
])
def test_optional_operator_found_only_when_asked(name, y):
    asked = vok_math.discover(U, y, names=["a", "b"], operators=(name,))
    assert name in str(asked) and asked.rmse <= 1e-12 * np.std(y)
    assert name not in str(vok_math.discover(U, y, names=["a", "b"], decompose=False))


def test_find_formula_never_builds_the_optional_operators():
    y = np.arcsin(U[:, 0])
    r = vok_core.find_formula([U[:, 0].tolist()], y.tolist())
    f = vok_math.discover(U[:, :1], y, constants=False)
    assert (_ext.render(f.tokens, f.names), bits(f.error)) == (r.formula, bits(r.error))
    assert "arcsin" not in r.formula


def test_unknown_operator_is_refused():
    with pytest.raises(ValueError, match="'erf' is none of arcsin, arccos, tanh"):
        vok_math.discover(U, U[:, 0], operators=("erf",))


X3 = np.random.default_rng(4).uniform(1.0, 5.0, (200, 3))


@pytest.mark.parametrize("law,readings", [
    (lambda a, b, c: a + b * c, {"split additively: {a} + {b, c}", "depends on b and c only through b * c"}),
    (lambda a, b, c: a * np.exp(-b) * np.sqrt(c),
     {"split multiplicatively: {a} * {b, c}", "split multiplicatively: {b} * {a, c}",
      "split multiplicatively: {c} * {a, b}"}),
    (lambda a, b, c: (a - b) / c,
     {"depends on a and b only through a - b", "split multiplicatively: {c} * {a, b}"}),
    (lambda a, b, c: np.sqrt(a * b) + c,
     {"depends on a and b only through a * b", "split additively: {c} + {a, b}"}),
    (lambda a, b, c: 1.0 / (np.sqrt(a) + b * c), {"split additively after 1 / y: 1 / y = {a} + {b, c}",
                                                  "depends on b and c only through b * c"}),
    (lambda a, b, c: a * b + b * c + c * a, set()),
])
def test_structure_read_from_the_data(law, readings):
    found = _structure.find_structure(X3, law(*X3.T))
    got = None if found is None else _structure.describe(found[0], ("a", "b", "c"))
    assert got in readings if readings else got is None


@pytest.mark.parametrize("law,step", [
    (lambda a, b, c: a + 3.3 * b * np.exp(-c), "split additively: {a} + {b, c}"),
    (lambda a, b, c: np.sqrt((a - b) ** 2 + c * c), "depends on a and b only through a - b"),
])
def test_decomposition_finds_what_the_plain_search_misses(law, step):
    y = law(*X3.T)
    plain = vok_math.discover(X3, y, names=["a", "b", "c"], decompose=False)
    split = vok_math.discover(X3, y, names=["a", "b", "c"])
    held_out = np.random.default_rng(5).uniform(1.0, 5.0, (100, 3))
    assert plain.rmse > 1e-6 * np.std(y) and not any("split" in s or "through" in s for s in plain.path)
    assert np.allclose(split.predict(held_out), law(*held_out.T), rtol=1e-9, atol=0.0)
    assert split.path[0] == step
