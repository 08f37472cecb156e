"""Pickling and copying vok_core's classes through vok_math's reducers."""

import copy
import math
import pickle
import struct

import pytest

import vok_math  # noqa: F401  (registers the reducers)
from vok_math import vok_core

NAN_PAYLOAD = struct.unpack("<d", struct.pack("<q", -0x7_FFF_0000_0000_1234 - 1))[0]  # a negative NaN with payload


def bits(v):
    return struct.unpack("<q", struct.pack("<d", v))[0]


def fields(obj):
    """Every field of the object, floats by their bits."""
    if isinstance(obj, vok_core.VOKPoint):
        return ("point", bits(obj.x), bits(obj.y))
    if isinstance(obj, vok_core.VOKPair):
        return ("pair", bits(obj.real), bits(obj.imag))
    if isinstance(obj, vok_core.VOKKnot):
        return ("knot", fields(obj.point), obj.flip_count, bits(obj.phase))
    return ("result", obj.formula, bits(obj.error), obj.complexity, obj.params)


VALUES = [
    vok_core.VOKPoint(1.5, -0.0),
    vok_core.VOKPoint(NAN_PAYLOAD, math.inf),
    vok_core.VOKPair(-math.inf, 5e-324),
    vok_core.VOKPair(NAN_PAYLOAD, -0.0),
    vok_core.VOKKnot(vok_core.VOKPoint(0.25, -3.0), -(2**63), 100.0),
    vok_core.VOKKnot(vok_core.VOKPoint(NAN_PAYLOAD, 1.0), 2**63 - 1, -7.5),
    vok_core.find_formula([[1.0, 2.0, 3.0, 4.0]], [2.0, 5.0, 10.0, 17.0]),
    vok_core.find_formula([[1.0, 2.0, 3.0]], [0.3, 0.1, 1.7], max_complexity=3),
]


@pytest.mark.parametrize("value", VALUES, ids=lambda v: repr(v)[:30])
@pytest.mark.parametrize("how", [*(f"protocol {p}" for p in range(pickle.HIGHEST_PROTOCOL + 1)), "copy", "deepcopy"])
def test_round_trip_is_bit_identical(value, how):
    if how == "copy":
        clone = copy.copy(value)
    elif how == "deepcopy":
        clone = copy.deepcopy(value)
    else:
        clone = pickle.loads(pickle.dumps(value, int(how.split()[1])))
    assert type(clone) is type(value)
    assert fields(clone) == fields(value)
    assert repr(clone) == repr(value)


def test_classes_keep_their_own_attributes():
    for cls in (vok_core.VOKPoint, vok_core.VOKPair, vok_core.VOKKnot, vok_core.PySearchResult):
        assert "__reduce__" not in vars(cls) and "__reduce_ex__" not in vars(cls)


@pytest.mark.parametrize("formula", ["", "x\0", "(x + y", "x)\nimport os\n(x", "__import__('os').system('id')",
                                     "exp(x) + 1.0000", "(x + y))"])
def test_unpickling_refuses_a_text_that_is_no_formula(formula):
    from vok_math import _pickle
    with pytest.raises(ValueError, match="not a formula text"):
        _pickle._search_result(formula, bits(0.5), 3, [])


def test_any_variable_letter_survives_pickling():
    # Variable 136 is written as U+0000 and variable 176 as "(".
    columns = [[float(i + j) for i in range(4)] for j in range(180)]
    for j in (136, 176):
        result = vok_core.find_formula(columns, columns[j], max_complexity=1)
        assert result.formula == chr((120 + j) % 256)
        assert fields(pickle.loads(pickle.dumps(result))) == fields(result)


class Crafted:
    """Unpickles as a call of one of the reducers' constructors with any arguments."""

    def __init__(self, constructor, *args):
        self.constructor, self.args = constructor, args

    def __reduce__(self):
        return self.constructor, self.args


@pytest.mark.parametrize("pattern", [2**63, -2**63 - 1, 2**64, 1.5, "0", None])
@pytest.mark.parametrize("constructor", ["_point", "_pair", "_search_result"])
def test_a_bad_bit_pattern_is_a_value_error(constructor, pattern):
    from vok_math import _pickle

    args = {"_point": (pattern, 0), "_pair": (0, pattern), "_search_result": ("x", 0, 1, [pattern])}[constructor]
    data = pickle.dumps(Crafted(getattr(_pickle, constructor), *args))
    with pytest.raises(ValueError, match="not the bit pattern of a float"):
        pickle.loads(data)
