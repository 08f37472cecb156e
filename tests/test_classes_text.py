"""The number texts inside the value classes' reprs, checked against the
interpreter's own correctly rounded conversions on many doubles: fixed
notation (format(x, '.6f') / '.4f', ties to even on the exact binary value)
and the shortest round-trip form (repr(x), with the exponent written
without '+' and leading zeros)."""

import math
import random
import struct

import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from vok_core import VOKKnot, VOKPair, VOKPoint

FULL_TURN = 6.283185307179586


def fixed(x, decimals):
    if math.isnan(x):
        return "NaN"
    return format(x, f".{decimals}f")  # 'inf' / '-inf' as wanted


def shortest(x):
    if math.isnan(x):
        return "NaN"
    text = repr(x)  # 'inf', '-inf', '1e-05', '1.5e+16', '0.0001', '-0.0'
    if "e" in text:
        mantissa, exponent = text.split("e")
        return f"{mantissa}e{int(exponent)}"
    return text


def point_text(x, y):
    return f"VOKPoint(x={fixed(x, 6)}, y={fixed(y, 6)})"


def random_doubles(seed, count):
    """Doubles of every magnitude: raw bit patterns, values near six- and
    four-decimal ties, and plain moderate numbers."""
    rng = random.Random(seed)
    out = []
    for i in range(count):
        kind = i % 4
        if kind == 0:
            out.append(struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0])
        elif kind == 1:
            tie = (rng.randrange(-10**9, 10**9) + 0.5) / 10 ** rng.choice((4, 6))
            out.append(tie + rng.choice((-1, 0, 1)) * math.ulp(tie))
        elif kind == 2:
            out.append(math.ldexp(rng.getrandbits(53), rng.randrange(-1126, 971)))
        else:
            out.append(rng.uniform(-1e6, 1e6))
    return out


SPECIAL = [0.0, -0.0, 5e-324, -5e-324, 1e-300, 0.5e-6, 1.5e-6, 2.5e-6, -0.5e-6, 0.03125, 0.09375, 1e-4,
           9.999999999999999e-5, 1e16, 9999999999999998.0, 1.7976931348623157e308, -1.7976931348623157e308,
           float("inf"), float("-inf"), float("nan")]


@pytest.mark.parametrize("seed", range(4))
def test_fixed_six_decimals_on_random_doubles(seed):
    values = random_doubles(seed, 4000) + SPECIAL
    for x, y in zip(values, reversed(values)):
        assert repr(VOKPoint(x, y)) == point_text(x, y)


@given(st.floats(), st.floats())
@example(-1e-9, 123456789.0)
@example(2.5e-6, -2.5e-6)
def test_fixed_six_decimals_hypothesis(x, y):
    assert repr(VOKPoint(x, y)) == point_text(x, y)
    sign = "-" if (y < 0 or math.isnan(y)) else "+"
    assert repr(VOKPair(x, y)) == f"VOKPair({fixed(x, 6)} {sign} {fixed(abs(y), 6)}i)"


@pytest.mark.parametrize("seed", range(2))
def test_shortest_form_on_random_doubles(seed):
    values = random_doubles(100 + seed, 4000) + SPECIAL
    for x, y in zip(values, reversed(values)):
        text = repr(VOKKnot(VOKPoint(x, y)))
        assert text.endswith(f", point=VOKPoint {{ x: {shortest(x)}, y: {shortest(y)} }})")


@given(st.floats(), st.floats())
@example(1e-5, 1.5e-7)
@example(1e16, 2.5e300)
@example(0.0001, 1000000000000000.0)
def test_shortest_form_hypothesis(x, y):
    assert repr(VOKKnot(VOKPoint(x, y))).endswith(f"point=VOKPoint {{ x: {shortest(x)}, y: {shortest(y)} }})")


@given(st.floats(min_value=-FULL_TURN, max_value=FULL_TURN, exclude_min=True, exclude_max=True), st.integers(-(2**63), 2**63 - 1))
@example(0.03125, 0)
@example(0.09375, -1)
@example(-0.00005, 7)
def test_knot_count_and_four_decimal_phase(theta, n):
    # |theta| < 2*pi, so fmod leaves it unchanged and the text shows theta itself.
    k = VOKKnot(VOKPoint(0.0, 1.0), n, theta)
    assert k.phase == theta
    assert repr(k).startswith(f"VOKKnot(n={n}, rho=1.000000, theta={fixed(theta, 4)}, point=")


def test_knot_rho_text_on_random_points():
    for x, y in zip(random_doubles(7, 2000), random_doubles(8, 2000)):
        k = VOKKnot(VOKPoint(x, y))
        assert f", rho={fixed(k.rho, 6)}, " in repr(k)


@pytest.mark.parametrize(
    "x, text",
    [(0.03125, "0.0312"), (0.09375, "0.0938"), (1.5707963267948966, "1.5708"), (-0.0, "-0.0000"), (-0.00004, "-0.0000")],
)
def test_four_decimal_ties_and_signs(x, text):
    assert f"theta={text}," in repr(VOKKnot(VOKPoint(0.0, 1.0), 0, x))
