"""VOKPoint, VOKPair, VOKKnot and their batch companions boost_n,
rotate_phase_n, schrodinger_step_n and simulate_pulses_n."""

import math
import struct
import tracemalloc
import weakref

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vok_core
from vok_core import VOKKnot, VOKPair, VOKPoint

NAN = float("nan")
INF = float("inf")
LN_FLOOR = -690.7755278982137  # ln(1e-300)


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Exact equality of floats: any NaN matches any NaN (its sign and payload
    are not part of the contract), 0.0 differs from -0.0."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


# Reference formulas, written out in Python with the interpreter's own math
# module (the same C library), for bit-exact comparison on arbitrary inputs.
def ref_e(x):
    return math.log(x) if x > 709.78 else x


def ref_l(y):
    return y if (y > 0 or y != y) else max(abs(y), 1e-300)


def ref_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def ref_log(y):
    if y != y or y == INF:
        return y
    return math.log(y) if y > 0 else -INF


def ref_tension(x, y):
    return ref_exp(ref_e(x)) - ref_log(ref_l(y))


def ref_boost(x, y, phi, c):
    t = ref_exp(ref_e(x))
    s = ref_log(ref_l(y))
    try:
        sh, ch = math.sinh(phi), math.cosh(phi)
    except OverflowError:
        sh, ch = math.copysign(INF, phi), INF
    q = s / c if c != 0 else (NAN if s == 0 or s != s else math.copysign(INF, s) * math.copysign(1, c))
    t1 = t * ch - q * sh
    x1 = s * ch - (c * t) * sh
    new_x = ref_log(t1 if t1 > 1e-300 else 1e-300)
    if x1 < -709.0:
        x1 = -709.0
    if x1 > 709.0:
        x1 = 709.0
    return (new_x, ref_exp(x1) if x1 == x1 else NAN)


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


finite = st.floats(allow_nan=False, allow_infinity=False)
anything = st.floats(allow_nan=True, allow_infinity=True)


# ====================================================================== types

@pytest.mark.parametrize(
    "cls, signature",
    [(VOKPoint, "(x, y)"), (VOKPair, "(real, imag)"), (VOKKnot, "(point, n=0, theta=0.0)")],
)
def test_class_identity_and_docs(cls, signature):
    assert cls.__module__ == "vok_core"
    assert cls.__qualname__ == cls.__name__
    assert type(cls) is type
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == ""


@pytest.mark.parametrize(
    "make",
    [lambda: VOKPoint(1.0, 2.0), lambda: VOKPair(1.0, 2.0), lambda: VOKKnot(VOKPoint(1.0, 2.0))],
    ids=["point", "pair", "knot"],
)
def test_instances_are_sealed(make):
    obj = make()
    cls = type(obj)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(obj)


@pytest.mark.parametrize(
    "obj, attrs",
    [
        (VOKPoint(1.0, 2.0), ["x", "y"]),
        (VOKPair(1.0, 2.0), ["real", "imag", "real_tension", "imag_tension", "modulus", "argument"]),
        (VOKKnot(VOKPoint(1.0, 2.0)), ["point", "flip_count", "phase", "rho"]),
    ],
)
def test_attributes_are_read_only(obj, attrs):
    for name in attrs:
        before = getattr(obj, name)
        with pytest.raises(AttributeError, match="not writable"):
            setattr(obj, name, 3.0)
        with pytest.raises(AttributeError):
            delattr(obj, name)
        assert type(getattr(obj, name)) is type(before)
        assert getattr(type(obj), name).__doc__ is None


def test_method_tables_in_order():
    def methods(cls):
        return [k for k, v in cls.__dict__.items() if not k.startswith("__") and not isinstance(v, type(VOKPoint.x))]

    assert methods(VOKPoint) == [
        "tension", "vok", "mirror_pulse", "pulse", "frame_shift", "is_slipping",
        "conserves_tension", "pair", "euclidean_delta", "minkowski_delta", "boost",
    ]
    assert methods(VOKPair) == ["from_values", "from_polar", "unit_i", "one", "zero", "rotate_phase", "conjugate"]
    assert methods(VOKKnot) == ["mirror_pulse", "pulse", "three_one_flip", "flip", "tread_yield"]
    # Getters follow the methods in the type's dict; those of the method table keep its order.
    getters = [k for k, v in VOKPair.__dict__.items() if isinstance(v, type(VOKPoint.x))]
    assert getters[:4] == ["real_tension", "imag_tension", "modulus", "argument"]
    assert [k for k, v in VOKKnot.__dict__.items() if isinstance(v, type(VOKPoint.x))][0] == "rho"
    assert isinstance(VOKPair.__dict__["one"], staticmethod)
    assert isinstance(VOKPair.__dict__["from_polar"], staticmethod)


DOCS = [
    (VOKPoint.tension, "($self)", None),
    (VOKPoint.vok, "($self)", "Alias for tension() \u2014 vok(x, y) = exp(x) - ln(y)."),
    (VOKPoint.mirror_pulse, "($self)", None),
    (VOKPoint.pulse, "($self)", "Alias for mirror_pulse()."),
    (VOKPoint.frame_shift, "($self)", None),
    (VOKPoint.is_slipping, "($self)", None),
    (VOKPoint.conserves_tension, "($self, next, tol)", None),
    (VOKPoint.pair, "($self)", "Returns (exp(x), ln(|y|)) as an VOKPair \u2014 canonical frame coordinates."),
    (VOKPoint.euclidean_delta, "($self)", "Euclidean delta: sqrt(exp(2x) + (ln y)^2)."),
    (
        VOKPoint.minkowski_delta,
        "($self, plus_signature, c)",
        "Minkowski interval sqrt(|exp(2x) - (c*ln y)^2|).\n"
        "plus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2.",
    ),
    (
        VOKPoint.boost,
        "($self, phi, c)",
        "Lorentz boost by rapidity phi. Returns new VOKPoint with identical \u0394_M.\n"
        "Boost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)\n"
        "where t = exp(x_coord), x = ln(y_coord).",
    ),
    (VOKPair.from_values, "(real, imag)", None),
    (VOKPair.from_polar, "(r, theta)", None),
    (VOKPair.unit_i, "()", None),
    (VOKPair.one, "()", None),
    (VOKPair.zero, "()", None),
    (VOKPair.rotate_phase, "($self, angle)", None),
    (VOKPair.conjugate, "($self)", None),
    (VOKKnot.mirror_pulse, "($self)", None),
    (VOKKnot.pulse, "($self)", "Alias for mirror_pulse()."),
    (VOKKnot.three_one_flip, "($self)", None),
    (VOKKnot.flip, "($self)", "Alias for three_one_flip()."),
    (VOKKnot.tread_yield, "($self)", None),
    (vok_core.boost_n, "(points, phis, c)",
     "Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.\n"
     "Returns Vec of (x', y') tuples."),
    (vok_core.rotate_phase_n, "(pairs, angles)", "Batch rotate_phase for a list of VOKPairs."),
    (vok_core.schrodinger_step_n, "(psi, v, dt, hbar)",
     "Batch Schr\u00f6dinger potential-phase step: \u03c8_n \u2192 e^{-iV_n\u00b7dt/\u0127}\u00b7\u03c8_n for all n.\n"
     "Returns list of (real, imag) tuples."),
    (vok_core.simulate_pulses_n, "(x0, y0, n_pulses)",
     "Simulate n_pulses of mirror_pulse, returning (x, y, tension) per step."),
]


@pytest.mark.parametrize("fn, signature, doc", DOCS, ids=lambda v: getattr(v, "__qualname__", None))
def test_docstrings(fn, signature, doc):
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc


# ================================================================== binding

BINDING = [
    (VOKPoint, (), {}, "VOKPoint.__new__() missing 2 required positional arguments: 'x' and 'y'"),
    (VOKPoint, (1.0,), {}, "VOKPoint.__new__() missing 1 required positional argument: 'y'"),
    (VOKPoint, (1.0, 2.0, 3.0), {}, "VOKPoint.__new__() takes 2 positional arguments but 3 were given"),
    (VOKPoint, (1.0,), {"x": 2.0}, "VOKPoint.__new__() got multiple values for argument 'x'"),
    (VOKPoint, (1.0, 2.0), {"z": 2.0}, "VOKPoint.__new__() got an unexpected keyword argument 'z'"),
    (VOKPair, (), {}, "VOKPair.__new__() missing 2 required positional arguments: 'real' and 'imag'"),
    (VOKPair.from_polar, (1.0,), {}, "VOKPair.from_polar() missing 1 required positional argument: 'theta'"),
    (VOKPair.from_values, (1.0, 2.0, 3.0), {}, "VOKPair.from_values() takes 2 positional arguments but 3 were given"),
    (VOKPair(1.0, 0.0).rotate_phase, (), {}, "VOKPair.rotate_phase() missing 1 required positional argument: 'angle'"),
    (VOKPoint(0.0, 1.0).boost, (1.0,), {}, "VOKPoint.boost() missing 1 required positional argument: 'c'"),
    (VOKPoint(0.0, 1.0).conserves_tension, (), {"tol": 1.0, "nxt": 1},
     "VOKPoint.conserves_tension() got an unexpected keyword argument 'nxt'"),
    (VOKPoint(0.0, 1.0).minkowski_delta, (True, 1.0, 2.0), {},
     "VOKPoint.minkowski_delta() takes 2 positional arguments but 3 were given"),
    (VOKKnot, (), {}, "VOKKnot.__new__() missing 1 required positional argument: 'point'"),
    (VOKKnot, (VOKPoint(0.0, 1.0), 1, 2.0, 3), {}, "VOKKnot.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    (vok_core.simulate_pulses_n, (0.0, 1.0), {}, "simulate_pulses_n() missing 1 required positional argument: 'n_pulses'"),
    (vok_core.rotate_phase_n, ([],), {}, "rotate_phase_n() missing 1 required positional argument: 'angles'"),
    (vok_core.schrodinger_step_n, ([],), {},
     "schrodinger_step_n() missing 3 required positional arguments: 'v', 'dt', and 'hbar'"),
    (vok_core.boost_n, (), {}, "boost_n() missing 3 required positional arguments: 'points', 'phis', and 'c'"),
    (vok_core.boost_n, ([], [], 1.0, 2.0), {}, "boost_n() takes 3 positional arguments but 4 were given"),
    # No-argument methods answer in the interpreter's own words.
    (VOKPoint(0.0, 1.0).tension, (1,), {}, "VOKPoint.tension() takes no arguments (1 given)"),
    (VOKPoint(0.0, 1.0).pair, (), {"a": 1}, "VOKPoint.pair() takes no keyword arguments"),
    (VOKPair.one, (1,), {}, "VOKPair.one() takes no arguments (1 given)"),
    (VOKKnot(VOKPoint(0.0, 1.0)).flip, (1,), {}, "VOKKnot.flip() takes no arguments (1 given)"),
]


@pytest.mark.parametrize("fn, args, kwargs, message", BINDING)
def test_binding_errors(fn, args, kwargs, message):
    raises(TypeError, message, fn, *args, **kwargs)


def test_keywords_bind_by_name():
    p = VOKPoint(y=2.0, x=1.0)
    assert (p.x, p.y) == (1.0, 2.0)
    pr = VOKPair(imag=4.0, real=3.0)
    assert (pr.real, pr.imag) == (3.0, 4.0)
    k = VOKKnot(theta=1.0, point=p)
    assert (k.flip_count, k.phase) == (0, 1.0)
    assert VOKPoint(0.0, 1.0).boost(c=1.0, phi=0.0).x == 0.0
    assert vok_core.simulate_pulses_n(n_pulses=0, y0=1.0, x0=0.0) == [(0.0, 1.0, 1.0)]
    assert vok_core.boost_n(c=1.0, phis=[0.0], points=[(0.0, 1.0)]) == [(0.0, 1.0)]


CONVERSION = [
    (VOKPoint, ("a", 1.0), TypeError, "argument 'x': must be real number, not str"),
    (VOKPoint, (1.0, None), TypeError, "argument 'y': must be real number, not NoneType"),
    (VOKPoint, (2**1024, 1.0), OverflowError, "int too large to convert to float"),
    (VOKPair, (1.0, [1]), TypeError, "argument 'imag': must be real number, not list"),
    (VOKPoint(0.0, 1.0).boost, ("x", "y"), TypeError, "argument 'phi': must be real number, not str"),
    (VOKPoint(0.0, 1.0).minkowski_delta, (1, 1.0), TypeError,
     "argument 'plus_signature': 'int' object cannot be converted to 'PyBool'"),
    (VOKPoint(0.0, 1.0).conserves_tension, ((0.0, 1.0), 0.0), TypeError,
     "argument 'next': 'tuple' object cannot be converted to 'VOKPoint'"),
    (VOKPoint(0.0, 1.0).conserves_tension, (VOKPair(0.0, 1.0), "t"), TypeError,
     "argument 'next': 'VOKPair' object cannot be converted to 'VOKPoint'"),
    (VOKKnot, ((0.0, 1.0),), TypeError, "argument 'point': 'tuple' object cannot be converted to 'VOKPoint'"),
    (VOKKnot, (VOKPoint(0.0, 1.0), 1.5), TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
    (VOKKnot, (VOKPoint(0.0, 1.0), 2**63), OverflowError, "Python int too large to convert to C long"),
    (VOKKnot, (VOKPoint(0.0, 1.0), 0, "t"), TypeError, "argument 'theta': must be real number, not str"),
    (vok_core.simulate_pulses_n, (0.0, 1.0, 2.0), TypeError,
     "argument 'n_pulses': 'float' object cannot be interpreted as an integer"),
    (vok_core.simulate_pulses_n, (0.0, 1.0, -1), OverflowError, None),
    (vok_core.simulate_pulses_n, (0.0, 1.0, 2**64), OverflowError, None),
    (vok_core.rotate_phase_n, ([VOKPair(1.0, 0.0)], [0.0]), TypeError,
     "argument 'pairs': 'VOKPair' object cannot be converted to 'PyTuple'"),
    (vok_core.rotate_phase_n, ("ab", {1.0}), TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
    (vok_core.rotate_phase_n, ([(1.0, 0.0)], {1.0}), TypeError,
     "argument 'angles': 'set' object cannot be converted to 'Sequence'"),
    (vok_core.schrodinger_step_n, ([(1.0, 0.0, 2.0)], "v", None, None), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (vok_core.schrodinger_step_n, ([(1.0, 0.0)], [1.0], 1.0, "h"), TypeError,
     "argument 'hbar': must be real number, not str"),
    (vok_core.boost_n, ([[0.0, 1.0]], "p", "c"), TypeError,
     "argument 'points': 'list' object cannot be converted to 'PyTuple'"),
    (vok_core.boost_n, ([(0.0, 1.0, 2.0)], [0.0], 1.0), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (vok_core.boost_n, ([(0.0, 1.0)], [0.0], "c"), TypeError, "argument 'c': must be real number, not str"),
]


@pytest.mark.parametrize("fn, args, exc, message", CONVERSION)
def test_conversion_errors_name_the_first_bad_argument(fn, args, exc, message):
    with pytest.raises(exc) as info:
        fn(*args)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    "fn, keyword",
    [(VOKKnot, "th\x00eta"), (VOKKnot, "x\udc80"), (VOKPoint(0.0, 1.0).boost, "c\x00"), (VOKPair.from_polar, "\udcff")],
)
def test_unexpected_keyword_is_named_whole(fn, keyword):
    # NULs and lone surrogates are kept in the message, and it stays a TypeError.
    args = (VOKPoint(0.0, 1.0),) if fn is VOKKnot else (1.0, 2.0)
    display = {VOKKnot: "VOKKnot.__new__()"}.get(fn, f"{fn.__qualname__}()")
    raises(TypeError, f"{display} got an unexpected keyword argument '{keyword}'", fn, *args, **{keyword: 1.0})


def _crafted_module_name():
    # An int whose digits, read as str internals, claim a 5-byte UTF-8 buffer
    # at an unmapped address: comparing it as text would dereference that.
    digits = {2: 0x24, 4: 5, 6: 0x1000, 7: 1}
    return sum(value << (30 * i) for i, value in digits.items())


@pytest.mark.parametrize("module", [_crafted_module_name(), b"numpy"])
def test_flag_lookalike_with_non_str_module_is_refused(module):
    class bool_:  # noqa: N801 - the NumPy name is the point
        def __bool__(self):
            return True

    bool_.__module__ = module
    raises(TypeError, f"argument 'plus_signature': '{bool_.__qualname__}' object cannot be converted to 'PyBool'",
           VOKPoint(0.0, 2.0).minkowski_delta, bool_(), 1.0)


@pytest.mark.parametrize("qualname", ["Odd\x00Name", "Odd\udc80"])
def test_refusal_names_the_type_whole(qualname):
    class Odd:
        pass

    Odd.__qualname__ = qualname
    raises(TypeError, f"argument 'point': '{qualname}' object cannot be converted to 'VOKPoint'", VOKKnot, Odd())
    raises(TypeError, f"argument 'next': '{qualname}' object cannot be converted to 'VOKPoint'",
           VOKPoint(0.0, 1.0).conserves_tension, Odd(), 0.0)


def test_flag_lookalike_without_truth_slot_and_odd_name():
    class bool_:  # noqa: N801
        pass

    bool_.__module__ = "numpy"
    bool_.__qualname__ = "bool_\udc80"  # not encodable: the message is built from the str itself
    raises(TypeError, f"argument 'plus_signature': object of type '{bool_}' does not define a '__bool__' conversion",
           VOKPoint(0.0, 2.0).minkowski_delta, bool_(), 1.0)


def test_scalars_accept_ints_index_and_float_objects():
    class Half:
        def __float__(self):
            return 0.5

    class Three:
        def __index__(self):
            return 3

    p = VOKPoint(True, Half())
    assert (p.x, p.y) == (1.0, 0.5)
    assert VOKKnot(VOKPoint(0.0, 1.0), Three()).flip_count == 3
    assert len(vok_core.simulate_pulses_n(0, 1, Three())) == 4
    assert VOKPoint(0.0, 1.0).minkowski_delta(np.True_, 1) == VOKPoint(0.0, 1.0).minkowski_delta(True, 1.0)


# ================================================================== VOKPoint

@pytest.mark.parametrize(
    "x, y, expected",
    [
        (0.0, 1.0, 1.0),
        (0.0, 0.0, 691.7755278982137),
        (0.0, -0.0, 691.7755278982137),
        (709.78, 1.0, 1.7928227943945155e308),
        (1000.0, 1.0, math.exp(math.log(1000.0))),
        (0.0, INF, -INF),
        (0.0, -INF, -INF),
        (-INF, math.e, -1.0),
        (1.0, 1e-310, math.e - math.log(1e-310)),
    ],
)
def test_tension_and_alias(x, y, expected):
    p = VOKPoint(x, y)
    assert p.tension() == expected
    assert p.vok() == expected


@pytest.mark.parametrize("x, y", [(NAN, 1.0), (0.0, NAN), (INF, INF)])
def test_tension_nan(x, y):
    assert math.isnan(VOKPoint(x, y).tension())


@given(st.lists(st.tuples(anything, anything), max_size=40))
def test_tension_agrees_with_tension_n_and_formula(points):
    xs = [x for x, _ in points]
    ys = [y for _, y in points]
    for (x, y), t in zip(points, vok_core.tension_n(xs, ys)):
        assert same(VOKPoint(x, y).tension(), t)
        assert same(t, ref_tension(x, y))


def test_tension_guards_fold_negative_y():
    assert VOKPoint(1.0, -2.0).tension() == VOKPoint(1.0, 2.0).tension()


def test_coordinates_stored_unguarded():
    p = VOKPoint(-0.0, NAN)
    assert same(p.x, -0.0) and math.isnan(p.y)


@pytest.mark.parametrize(
    "x, y, new_x",
    [(1.0, -2.0, 2.0), (1.0, 0.0, 1e-300), (1.0, -0.0, 1e-300), (1.0, 1e-310, 1e-310), (1.0, -INF, INF)],
)
def test_pulse_map(x, y, new_x):
    p = VOKPoint(x, y)
    for q in (p.mirror_pulse(), p.pulse()):
        assert type(q) is VOKPoint
        assert q.x == new_x
        assert same(q.y, p.tension())
    assert (p.x, same(p.y, y)) == (x, True)  # receiver unchanged


@pytest.mark.parametrize(
    "x, y, m",
    [(1.0, 1e-310, 1e-300), (1.0, NAN, 1e-300), (1.0, -3.0, 3.0), (1.0, 0.0, 1e-300), (1000.0, 2.0, 2.0)],
)
def test_frame_shift(x, y, m):
    f = VOKPoint(x, y).frame_shift()
    assert f.x == m
    assert f.y == ref_exp(ref_e(x)) - math.log(m)


@pytest.mark.parametrize("x, slipping", [(1000.0, True), (709.78, False), (709.7800000000001, True), (NAN, False), (INF, True)])
def test_is_slipping(x, slipping):
    assert VOKPoint(x, 1.0).is_slipping() is slipping


def test_pair_holds_frame_coordinates():
    pr = VOKPoint(1.0, -2.0).pair()
    assert type(pr) is VOKPair
    assert (pr.real, pr.imag) == (math.e, math.log(2.0))
    guarded = VOKPoint(1000.0, 0.0).pair()
    assert (guarded.real, guarded.imag) == (math.exp(math.log(1000.0)), LN_FLOOR)


def test_distances():
    p = VOKPoint(1.0, 3.0)
    assert p.euclidean_delta() == math.sqrt(math.log(3.0) ** 2 + math.e**2)
    assert p.minkowski_delta(True, 2.0) == math.sqrt(abs(math.e * math.e - (2.0 * math.log(3.0)) ** 2))
    assert VOKPoint(400.0, 1.0).euclidean_delta() == INF


@given(finite, anything, anything)
def test_minkowski_signature_only_flips_sign(x, y, c):
    p = VOKPoint(x, y)
    assert same(p.minkowski_delta(True, c), p.minkowski_delta(False, c))


@pytest.mark.parametrize(
    "point, phi, c, expected",
    [
        ((0.0, 1.0), 0.0, 1.0, (0.0, 1.0)),
        ((0.0, 1.0), 1.0, 1.0, (0.4337808304830271, 0.3087568535221258)),
        ((0.0, 1.0), -1.0, 1.0, (0.4337808304830271, 3.23879450315858)),
        ((1.0, 2.718281828459045), 0.5, 2.0, (1.0312814344693066, 0.18171026073397908)),
        ((0.0, 1.0), 10.0, 1.0, (ref_boost(0.0, 1.0, 10.0, 1.0)[0], math.exp(-709.0))),
        ((0.0, 1.0), -10.0, 1.0, (ref_boost(0.0, 1.0, -10.0, 1.0)[0], math.exp(709.0))),
        ((-800.0, 1.0), 0.0, 1.0, (LN_FLOOR, 1.0)),
        ((0.0, 2.0), 1.0, 0.0, (LN_FLOOR, ref_boost(0.0, 2.0, 1.0, 0.0)[1])),
    ],
)
def test_boost_known_values(point, phi, c, expected):
    b = VOKPoint(*point).boost(phi, c)
    assert (b.x, b.y) == pytest.approx(expected, rel=1e-15, abs=0)
    assert vok_core.boost_n([point], [phi], c) == [(b.x, b.y)]


def test_boost_nan_rapidity():
    b = VOKPoint(0.0, 1.0).boost(NAN, 1.0)
    assert b.x == LN_FLOOR and math.isnan(b.y)


@given(anything, anything, anything, anything)
def test_boost_matches_formula(x, y, phi, c):
    b = VOKPoint(x, y).boost(phi, c)
    ex, ey = ref_boost(x, y, phi, c)
    assert same(b.x, ex) and same(b.y, ey)
    assert b.x >= LN_FLOOR  # a NaN t1 takes the floor, so x' is never NaN
    if not math.isnan(b.y):
        assert math.exp(-709.0) <= b.y <= math.exp(709.0)


@pytest.mark.parametrize(
    "x, next_y, tol, expected",
    [
        (0.0, 2.0, 0.0, False),
        (0.0, 2.0, 1e-12, True),
        (0.0, NAN, 1e300, False),
        (0.0, INF, INF, False),
        (NAN, 2.0, -1.0, True),
        (INF, NAN, NAN, True),
        (-INF, 2.0, 0.0, False),
        (0.0, 2.0, NAN, False),
    ],
)
def test_conserves_tension(x, next_y, tol, expected):
    # Only the receiver's x and the other point's y are read.
    assert VOKPoint(x, 123.0).conserves_tension(VOKPoint(-55.0, next_y), tol) is expected


def test_conserves_tension_example_from_docs():
    assert VOKPoint(0.0, 5.0).conserves_tension(VOKPoint(3.0, 2.0), 0.0) is False
    assert VOKPoint(0.0, 5.0).conserves_tension(next=VOKPoint(3.0, 2.0), tol=1e-12) is True


def test_points_compare_and_hash_by_identity():
    p = VOKPoint(1.0, 2.0)
    assert p == p
    assert (VOKPoint(1.0, 2.0) == VOKPoint(1.0, 2.0)) is False
    assert hash(p) == hash(p)
    assert {p: 1}[p] == 1


@pytest.mark.parametrize(
    "x, y, text",
    [
        (1.0, -0.5, "VOKPoint(x=1.000000, y=-0.500000)"),
        (NAN, INF, "VOKPoint(x=NaN, y=inf)"),
        (-1e-9, 123456789.0, "VOKPoint(x=-0.000000, y=123456789.000000)"),
        (-0.0, -INF, "VOKPoint(x=-0.000000, y=-inf)"),
        (1e20, 0.0000015, "VOKPoint(x=100000000000000000000.000000, y=0.000002)"),
    ],
)
def test_point_text(x, y, text):
    assert repr(VOKPoint(x, y)) == text
    assert str(VOKPoint(x, y)) == text


# ==================================================================== boost_n

def test_boost_n_shapes():
    assert vok_core.boost_n([(0.0, 1.0), (1.0, 1.0)], [0.0], 1.0) == [(0.0, 1.0)]
    assert vok_core.boost_n([], [0.0], 1.0) == []
    assert vok_core.boost_n([(0.0, 1.0)], [], 1.0) == []
    out = vok_core.boost_n([(0.0, 0.0)], [0.0], 1.0)
    assert out[0][0] == 0.0 and out[0][1] == pytest.approx(1e-300, rel=1e-12)


def test_boost_n_matches_boost_element_for_element():
    # Large enough to be split across the worker pool.
    rng = np.random.default_rng(7)
    n = 20_000
    xs = rng.normal(0.0, 300.0, n).tolist()
    ys = rng.normal(0.0, 1e3, n).tolist()
    phis = rng.normal(0.0, 5.0, n).tolist()
    specials = [NAN, INF, -INF, 0.0, -0.0, 709.78, 800.0, 1e-310, -1e-310]
    for i, s in enumerate(specials):
        xs[i] = s
        ys[len(specials) + i] = s
        phis[2 * len(specials) + i] = s
    points = list(zip(xs, ys))
    for c in (1.0, -2.5, 0.0):
        out = vok_core.boost_n(points, phis, c)
        assert len(out) == n
        for (x, y), phi, (bx, by) in zip(points, phis, out):
            b = VOKPoint(x, y).boost(phi, c)
            assert same(bx, b.x) and same(by, b.y)


def test_boost_n_leaves_inputs_alone():
    points = [(0.0, 1.0), (1.0, 2.0)]
    phis = (0.5, 0.25)
    out = vok_core.boost_n(points, phis, 1.0)
    assert points == [(0.0, 1.0), (1.0, 2.0)] and phis == (0.5, 0.25)
    assert out is not points and all(type(t) is tuple and len(t) == 2 for t in out)


# =================================================================== VOKPair

def parts(p):
    return (p.real, p.imag)


def test_pair_arithmetic():
    a, b = VOKPair(1.0, 2.0), VOKPair(3.0, 4.0)
    assert parts(a + b) == (4.0, 6.0)
    assert parts(a - b) == (-2.0, -2.0)
    assert parts(a * b) == (-5.0, 10.0)
    assert parts(a / b) == (11.0 / 25.0, 2.0 / 25.0)
    assert parts(a / VOKPair.zero()) == (0.0, 0.0)
    assert parts(VOKPair(1.0, 1.0) / VOKPair(1e-200, 0.0)) == pytest.approx((1e100, 1e100), rel=1e-15)
    assert parts(a) == (1.0, 2.0) and parts(b) == (3.0, 4.0)


@given(anything, anything, anything, anything)
def test_pair_arithmetic_matches_formulas(a, b, c, d):
    p, q = VOKPair(a, b), VOKPair(c, d)
    m = p * q
    assert same(m.real, a * c - b * d) and same(m.imag, b * c + a * d)
    den = d * d + c * c
    if den < 1e-300:
        den = 1e-300
    qt = p / q
    assert same(qt.real, (c * a + b * d) / den)
    assert same(qt.imag, (c * b - a * d) / den)


def test_inplace_operator_binds_a_new_pair():
    a = VOKPair(1.0, 2.0)
    b = a
    a += VOKPair(1.0, 1.0)
    assert parts(a) == (2.0, 3.0) and parts(b) == (1.0, 2.0)


@pytest.mark.parametrize(
    "expr",
    [
        lambda p: p + 1.0,
        lambda p: 1.0 + p,
        lambda p: p - (1.0, 2.0),
        lambda p: p * 2,
        lambda p: 2 * p,
        lambda p: p / 1j,
        lambda p: -p,
        lambda p: +p,
        lambda p: p**2,
        lambda p: p < p,
        lambda p: p <= VOKPair(3.0, 4.0),
        lambda p: p > 1,
        lambda p: p >= p,
        lambda p: hash(p),
        lambda p: p + VOKPoint(1.0, 2.0),
    ],
)
def test_pair_refuses_foreign_operands(expr):
    with pytest.raises(TypeError):
        expr(VOKPair(1.0, 2.0))


def test_other_types_may_handle_pair_operands():
    class Takes:
        def __radd__(self, other):
            return "radd"

        def __rtruediv__(self, other):
            return "rtruediv"

    assert VOKPair(1.0, 2.0) + Takes() == "radd"
    assert VOKPair(1.0, 2.0) / Takes() == "rtruediv"


def test_pair_is_unhashable_and_always_true():
    assert VOKPair.__hash__ is None
    assert bool(VOKPair.zero()) is True
    assert bool(VOKPair(NAN, NAN)) is True


@pytest.mark.parametrize(
    "p, q, equal",
    [
        ((1.0, 2.0), (1.0 + 5e-10, 2.0), True),
        ((0.0, 0.0), (1e-9, 0.0), False),
        ((0.0, 0.0), (0.0, -1e-9), False),
        ((1e20, 0.0), (1e20 + 16384.0, 0.0), False),
        ((NAN, 0.0), (NAN, 0.0), False),
        ((INF, 0.0), (INF, 0.0), False),
        ((0.0, -0.0), (-0.0, 0.0), True),
    ],
)
def test_pair_tolerance_equality(p, q, equal):
    a, b = VOKPair(*p), VOKPair(*q)
    assert (a == b) is equal
    assert (a != b) is (not equal)


def test_pair_equality_with_non_pairs():
    p = VOKPair(1.0, 2.0)
    assert (p == (1.0, 2.0)) is False and (p != (1.0, 2.0)) is True
    assert ((1.0, 2.0) == p) is False and ((1.0, 2.0) != p) is True
    assert (p == 1) is False and (p != None) is True  # noqa: E711
    assert p.__eq__((1.0, 2.0)) is NotImplemented
    nan_pair = VOKPair(NAN, 0.0)
    assert (nan_pair == nan_pair) is False and (nan_pair != nan_pair) is True


def test_pair_inequality_negates_the_interpreters_equality():
    class AlwaysEqual:
        def __eq__(self, other):
            return True

    class Fails:
        def __eq__(self, other):
            raise ValueError("no comparison")

    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    class OddEqual:
        def __eq__(self, other):
            return BadTruth()

    p = VOKPair(1.0, 2.0)
    assert (p != AlwaysEqual()) is False
    with pytest.raises(ValueError, match="no comparison"):
        p != Fails()  # noqa: B015
    with pytest.raises(ZeroDivisionError, match="no truth"):
        p != OddEqual()  # noqa: B015


@pytest.mark.parametrize(
    "p, modulus, argument",
    [
        ((3.0, 4.0), 5.0, math.atan2(4.0, 3.0)),
        ((-1.0, 0.0), 1.0, math.pi),
        ((-1.0, -0.0), 1.0, -math.pi),
        ((1e200, 1e200), INF, math.pi / 4),
        ((0.0, -0.0), 0.0, -0.0),
    ],
)
def test_pair_modulus_and_argument(p, modulus, argument):
    pr = VOKPair(*p)
    assert pr.modulus == modulus and abs(pr) == modulus
    assert same(pr.argument, argument)
    assert (pr.real_tension, pr.imag_tension) == p


def test_pair_static_constructors():
    for owner in (VOKPair, VOKPair(9.0, 9.0)):
        assert parts(owner.unit_i()) == (0.0, 1.0)
        assert parts(owner.one()) == (1.0, 0.0)
        assert parts(owner.zero()) == (0.0, 0.0)
        assert parts(owner.from_values(2.0, -3.0)) == (2.0, -3.0)
    polar = VOKPair.from_polar(-2.0, 0.0)
    assert polar.real == -2.0 and same(polar.imag, -0.0)
    assert parts(VOKPair.from_polar(r=2.0, theta=1.0)) == (math.cos(1.0) * 2.0, math.sin(1.0) * 2.0)


def test_pair_rotation_and_conjugate():
    assert parts(VOKPair.one().rotate_phase(math.pi / 2)) == (6.123233995736766e-17, 1.0)
    assert parts(VOKPair(1.0, 2.0).rotate_phase(angle=0.0)) == (1.0, 2.0)
    assert same(VOKPair(1.0, 0.0).conjugate().imag, -0.0)
    assert math.copysign(1.0, VOKPair(1.0, NAN).conjugate().imag) == -math.copysign(1.0, NAN)


@pytest.mark.parametrize(
    "p, text",
    [
        ((1.0, 2.0), "VOKPair(1.000000 + 2.000000i)"),
        ((1.0, -0.0), "VOKPair(1.000000 + 0.000000i)"),
        ((1.0, NAN), "VOKPair(1.000000 - NaNi)"),
        ((1.0, -NAN), "VOKPair(1.000000 - NaNi)"),
        ((-1.5, -2.0), "VOKPair(-1.500000 - 2.000000i)"),
        ((0.0, -1e-9), "VOKPair(0.000000 - 0.000000i)"),
        ((-INF, -INF), "VOKPair(-inf - infi)"),
        ((NAN, INF), "VOKPair(NaN + infi)"),
    ],
)
def test_pair_text(p, text):
    assert repr(VOKPair(*p)) == text
    assert str(VOKPair(*p)) == text


# ============================================== rotate_phase_n, schrodinger_step_n

def test_rotate_phase_n():
    assert vok_core.rotate_phase_n([(1.0, 0.0), (0.0, 1.0)], [0.0]) == [(1.0, 0.0)]
    assert vok_core.rotate_phase_n([], [1.0]) == []
    pairs = [(1.0, 2.0), (-3.0, 0.5), (NAN, 1.0)]
    angles = (0.3, -2.0, 1.0, 99.0)
    out = vok_core.rotate_phase_n(pairs, angles)
    assert len(out) == 3
    for (a, b), angle, (re, im) in zip(pairs, angles, out):
        r = VOKPair(a, b).rotate_phase(angle)
        assert same(re, r.real) and same(im, r.imag)


def test_schrodinger_step_n():
    out = vok_core.schrodinger_step_n([(1.0, 0.0)], [0.0], 1.0, 1.0)
    assert out == [(1.0, 0.0)] and same(out[0][1], 0.0)
    assert vok_core.schrodinger_step_n([(1.0, 0.0)], [math.pi], 1.0, 1.0) == [(-1.0, -1.2246467991473532e-16)]
    nan_out = vok_core.schrodinger_step_n([(1.0, 0.0)], [1.0], 1.0, 0.0)
    assert all(math.isnan(v) for v in nan_out[0])
    assert vok_core.schrodinger_step_n([(1.0, 0.0), (2.0, 2.0)], [], 1.0, 1.0) == []


@given(st.lists(st.tuples(anything, anything, anything), max_size=20), anything, anything)
def test_schrodinger_phase_order(rows, dt, hbar):
    psi = [(a, b) for a, b, _ in rows]
    v = [w for _, _, w in rows]
    out = vok_core.schrodinger_step_n(psi, v, dt, hbar)
    assert len(out) == len(rows)
    if hbar == 0:
        return  # Python refuses x / 0; the zero hbar has its written-out case above
    for (a, b), w, (re, im) in zip(psi, v, out):
        r = VOKPair(a, b).rotate_phase(((-w) * dt) / hbar)
        assert same(re, r.real) and same(im, r.imag)


# =================================================================== VOKKnot

def knot_fields(k):
    return (k.point.x, k.point.y, k.flip_count, k.phase)


def test_knot_defaults_and_text():
    k = VOKKnot(VOKPoint(0.0, 1.0))
    assert (k.flip_count, k.phase, k.rho) == (0, 0.0, 1.0)
    assert repr(k) == "VOKKnot(n=0, rho=1.000000, theta=0.0000, point=VOKPoint { x: 0.0, y: 1.0 })"
    assert str(k) == repr(k)


def test_knot_pulse_sequence():
    k = VOKKnot(VOKPoint(0.0, 1.0))
    k1 = k.mirror_pulse()
    assert knot_fields(k1) == (1.0, 1.0, 1, 1.5707963267948966)
    assert "theta=1.5708" in repr(k1)
    k2 = k1.pulse()
    assert knot_fields(k2) == (1.0, 2.718281828459045, 2, 3.141592653589793)
    k3 = k2.mirror_pulse()
    assert knot_fields(k3) == (2.718281828459045, 1.718281828459045, 3, 4.71238898038469)
    assert knot_fields(k3.mirror_pulse())[3] == 0.0
    assert knot_fields(k) == (0.0, 1.0, 0, 0.0)  # receiver unchanged


@pytest.mark.parametrize(
    "point, n, theta",
    [((0.0, 1.0), 0, 0.0), ((0.3, -2.0), 5, 1.0), ((-1.0, 1e-310), -9, -6.0), ((NAN, 2.0), 0, NAN), ((1.0, 0.0), 2**63 - 3, 6.2)],
)
def test_flip_is_four_pulses(point, n, theta):
    k = VOKKnot(VOKPoint(*point), n, theta)
    four = k.mirror_pulse().mirror_pulse().mirror_pulse().mirror_pulse()
    for f in (k.three_one_flip(), k.flip()):
        assert all(same(float(a), float(b)) for a, b in zip(knot_fields(f), knot_fields(four)))
        assert f.flip_count == four.flip_count


def test_flip_returns_zero_phase_to_zero():
    assert VOKKnot(VOKPoint(0.0, 1.0)).flip().phase == 0.0


@pytest.mark.parametrize(
    "theta, phase",
    [(7.0, 0.7168146928204138), (-1.0, -1.0), (-7.0, -0.7168146928204138), (0.0, 0.0), (-0.0, -0.0), (6.283185307179586, 0.0)],
)
def test_knot_phase_reduction(theta, phase):
    assert same(VOKKnot(VOKPoint(0.0, 1.0), 3, theta).phase, phase)


@pytest.mark.parametrize("theta", [INF, -INF, NAN])
def test_knot_phase_of_non_finite_angle(theta):
    assert math.isnan(VOKKnot(VOKPoint(0.0, 1.0), theta=theta).phase)


@pytest.mark.parametrize(
    "count, yield_", [(0, 0), (3, 0), (4, 2), (7, 2), (8, 4), (-1, 0), (-4, -2), (-5, -2), (-8, -4),
                      (2**63 - 1, 2 * ((2**63 - 1) // 4)), (-(2**63), -(2**62))]
)
def test_tread_yield_truncates(count, yield_):
    assert VOKKnot(VOKPoint(0.0, 1.0), count).tread_yield() == yield_


def test_flip_count_wraps():
    top = VOKKnot(VOKPoint(0.0, 1.0), 2**63 - 1)
    assert top.mirror_pulse().flip_count == -(2**63)
    assert VOKKnot(VOKPoint(0.0, 1.0), 2**63 - 2).flip().flip_count == -(2**63) + 2
    assert VOKKnot(VOKPoint(0.0, 1.0), -(2**63)).flip_count == -(2**63)


def test_knot_point_is_a_fresh_copy():
    source = VOKPoint(0.5, 2.0)
    k = VOKKnot(source)
    assert k.point is not k.point
    assert k.point is not source
    assert (k.point.x, k.point.y) == (0.5, 2.0)


def test_knot_rho():
    assert VOKKnot(VOKPoint(1.0, -2.0)).rho == abs(VOKPoint(1.0, 2.0).tension())
    assert VOKKnot(VOKPoint(0.0, INF)).rho == INF
    assert math.isnan(VOKKnot(VOKPoint(NAN, 1.0)).rho)


def test_knots_compare_by_identity():
    k = VOKKnot(VOKPoint(0.0, 1.0))
    assert k == k and (k == VOKKnot(VOKPoint(0.0, 1.0))) is False
    assert hash(k) == hash(k)


@pytest.mark.parametrize(
    "args, text",
    [
        ((VOKPoint(0.5, 2.0), -5, -7.0),
         "VOKKnot(n=-5, rho=0.955574, theta=-0.7168, point=VOKPoint { x: 0.5, y: 2.0 })"),
        ((VOKPoint(1e-5, 1e16), -(2**63), NAN),
         "VOKKnot(n=-9223372036854775808, rho=35.841351, theta=NaN, point=VOKPoint { x: 1e-5, y: 1e16 })"),
        ((VOKPoint(-0.0, 1.5e-7), 12, 0.00005),
         "VOKKnot(n=12, rho=16.712631, theta=0.0001, point=VOKPoint { x: -0.0, y: 1.5e-7 })"),
        ((VOKPoint(NAN, -INF), 0, -0.00005),
         "VOKKnot(n=0, rho=NaN, theta=-0.0001, point=VOKPoint { x: NaN, y: -inf })"),
    ],
)
def test_knot_text(args, text):
    assert repr(VOKKnot(*args)) == text


# ========================================================= simulate_pulses_n

def test_simulate_pulses_known_values():
    assert vok_core.simulate_pulses_n(0.0, 1.0, 0) == [(0.0, 1.0, 1.0)]
    assert vok_core.simulate_pulses_n(0.0, 1.0, 2) == [
        (0.0, 1.0, 1.0),
        (1.0, 1.0, 2.718281828459045),
        (1.0, 2.718281828459045, 1.718281828459045),
    ]
    raw = vok_core.simulate_pulses_n(1.0, -2.0, 1)
    assert raw[0][1] == -2.0 and raw[1][0] == 2.0


@settings(max_examples=50)
@given(anything, anything, st.integers(0, 60))
def test_simulate_pulses_follows_the_pulse_map(x0, y0, n):
    out = vok_core.simulate_pulses_n(x0, y0, n)
    assert len(out) == n + 1
    assert same(out[0][0], x0) and same(out[0][1], y0) and same(out[0][2], ref_tension(x0, y0))
    p = VOKPoint(x0, y0)
    for rec in out[1:]:
        p = p.mirror_pulse()
        assert same(rec[0], p.x) and same(rec[1], p.y) and same(rec[2], p.tension())
    for prev, nxt in zip(out, out[1:]):
        assert same(prev[2], nxt[1])


def internal_failure(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "InternalError"
    assert not isinstance(info.value, MemoryError)
    return str(info.value)


@pytest.mark.parametrize("n", [2**64 - 1, 2**64 - 2, 384307168202282325, 384307168202282325 + 1])
def test_simulate_pulses_refuses_unaddressable_counts(n):
    # n + 1 records of 24 bytes would exceed 2**63 - 1 bytes (2**64 - 1 even
    # wraps n + 1 to 0): refused before anything is computed.
    assert internal_failure(vok_core.simulate_pulses_n, 0.0, 1.0, n) == "capacity overflow"


@pytest.mark.parametrize("n", [384307168202282324, 2**50, 10**12])
def test_simulate_pulses_out_of_memory_is_a_memory_error(n):
    # Refused before the loop: 10**12 records need ~168 TB of result objects.
    with pytest.raises(MemoryError):
        vok_core.simulate_pulses_n(0.0, 1.0, n)


# ================================================================ robustness

class Boom:
    def __float__(self):
        raise ZeroDivisionError("no float")

    def __index__(self):
        raise ZeroDivisionError("no index")


@pytest.mark.parametrize(
    "call",
    [
        lambda: VOKPoint(Boom(), 1.0),
        lambda: VOKPair(1.0, Boom()),
        lambda: VOKKnot(VOKPoint(0.0, 1.0), Boom()),
        lambda: VOKPoint(0.0, 1.0).boost(0.0, Boom()),
        lambda: vok_core.simulate_pulses_n(0.0, 1.0, Boom()),
        lambda: vok_core.rotate_phase_n([(1.0, Boom())], [0.0]),
    ],
)
def test_foreign_exceptions_pass_through_unchanged(call):
    with pytest.raises(ZeroDivisionError, match="no (float|index)"):
        call()


LEAK_CALLS = [
    lambda: VOKPoint(1.0, 2.0).boost(0.5, 1.0).pair().rotate_phase(1.0).conjugate(),
    lambda: repr(VOKKnot(VOKPoint(1.0, 2.0), 3, 1.0).flip().point),
    lambda: VOKPair(1.0, 2.0) / VOKPair(3.0, 4.0) != VOKPair(0.0, 0.0),
    lambda: VOKPair(1.0, 2.0) + 1.0,
    lambda: VOKKnot(VOKPoint(0.0, 1.0), 1.5),
    lambda: VOKKnot((0.0, 1.0)),
    lambda: VOKPoint(0.0, 1.0).conserves_tension(VOKPoint(0.0, 1.0), "tol"),
    lambda: vok_core.boost_n([(0.0, 1.0)] * 50, [0.1] * 50, 1.0),
    lambda: vok_core.boost_n([(0.0, 1.0)] * 50, [0.1] * 49 + ["x"], 1.0),
    lambda: vok_core.schrodinger_step_n([(1.0, 0.0)] * 20, [0.5] * 20, 0.1, 1.0),
    lambda: vok_core.simulate_pulses_n(0.0, 1.0, 30),
    lambda: vok_core.simulate_pulses_n(0.0, 1.0, 2**64 - 1),
    lambda: vok_core.simulate_pulses_n(0.0, 1.0, 2**50),
]


@pytest.mark.parametrize("call", LEAK_CALLS)
def test_no_leaks_on_success_or_failure(call):
    def run(times):
        for _ in range(times):
            try:
                call()
            except BaseException as e:  # noqa: BLE001 - failures are part of the run
                if isinstance(e, KeyboardInterrupt):
                    raise

    run(200)  # warm caches and free lists
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(2000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # One leaked float per call would already be 48 000 bytes.
    assert grown < 16_000
