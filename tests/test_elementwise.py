"""The element-wise batch functions: formulas, guards and special values."""

import math
import random
import struct

import pytest

import vok_core


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Bit-for-bit equality of two float lists (NaN payloads and -0.0 included)."""
    return len(a) == len(b) and all(bits(x) == bits(y) for x, y in zip(a, b))


INF, NAN = float("inf"), float("nan")

# Reference formulas in pure Python: the guards written out as the library states them.
def exp_guard(x):
    return math.log(x) if x > 709.78 else x


def log_guard(y):
    if y > 0 or math.isnan(y):
        return y
    return max(abs(y), 1e-300)


def py_log(y):
    if y == INF:
        return INF
    return math.log(y) if not math.isnan(y) else y


def py_exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


REFERENCE = {
    "exp_n": lambda x: py_exp(exp_guard(x)),
    "ln_n": lambda y: py_log(log_guard(y)),
    "sqrt_n": lambda x: math.sqrt(abs(x)),
    "sin_n": lambda x: math.sin(x) if math.isfinite(x) else NAN,
    "cos_n": lambda x: math.cos(x) if math.isfinite(x) else NAN,
}

REFERENCE2 = {
    "add_n": lambda a, b: a + b,
    "sub_n": lambda a, b: a - b,
    "mul_n": lambda a, b: a * b,
    "div_n": lambda a, b: NAN if abs(b) < 1e-300 else (a / b if b != 0 else NAN),
    "tension_n": lambda x, y: py_exp(exp_guard(x)) - py_log(log_guard(y)),
}


def sample_floats(n, seed):
    rng = random.Random(seed)
    pool = [0.0, -0.0, 1.0, -1.0, 709.78, 709.79, 1000.0, -800.0, 1e-300, 1e-310, -1e-310, 5e-324]
    out = []
    for _ in range(n):
        r = rng.random()
        if r < 0.2:
            out.append(rng.choice(pool))
        elif r < 0.6:
            out.append(rng.uniform(-50, 50))
        else:
            out.append(struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0])
    return [x for x in out if math.isfinite(x)]


@pytest.mark.parametrize("name", sorted(REFERENCE))
def test_unary_matches_the_formula(name):
    xs = sample_floats(20000, seed=len(name))  # large enough to run on the workers
    got = getattr(vok_core, name)(xs)
    want = [REFERENCE[name](x) for x in xs]
    assert same(got, want)


@pytest.mark.parametrize("name", sorted(REFERENCE2))
def test_binary_matches_the_formula(name):
    a = sample_floats(20000, seed=1)
    b = sample_floats(20000, seed=2)
    n = min(len(a), len(b))
    got = getattr(vok_core, name)(a, b)
    want = [REFERENCE2[name](x, y) for x, y in zip(a[:n], b[:n])]
    assert len(got) == n
    for g, w in zip(got, want):
        assert bits(g) == bits(w) or (math.isnan(g) and math.isnan(w))


def test_pow_uses_the_magnitude_of_the_base():
    bases = sample_floats(5000, seed=3)
    exps = [random.Random(4).uniform(-4, 4) for _ in bases]
    got = vok_core.pow_n(bases, exps)
    for b, e, g in zip(bases, exps, got):
        try:
            w = math.pow(abs(b), e)
        except (OverflowError, ValueError):
            w = INF if abs(b) > 1 or e < 0 else 0.0
        assert bits(g) == bits(w) or (math.isinf(w) and math.isinf(g))


@pytest.mark.parametrize(
    "fn, args, expected",
    [
        ("exp_n", ([0.0, 709.78],), [1.0, 1.7928227943945155e308]),
        ("exp_n", ([INF, -INF],), [INF, 0.0]),
        ("ln_n", ([0.0, -0.0, -1.0],), [-690.7755278982137, -690.7755278982137, 0.0]),
        ("ln_n", ([-INF, -math.e],), [INF, 1.0]),
        ("div_n", ([1.0, 1.0], [1e-300, -2.0]), [1.0 / 1e-300, -0.5]),
        ("sqrt_n", ([-9.0, -INF],), [3.0, INF]),
        ("pow_n", ([-2.0, -0.0, NAN, 1.0], [3.0, -1.0, 0.0, NAN]), [8.0, INF, 1.0, 1.0]),
        ("pow_n", ([-2.0], [0.5]), [1.4142135623730951]),
        ("tension_n", ([0.0, 0.0], [1.0, 0.0]), [1.0, 691.7755278982137]),
        ("tension_n", ([1.0, 2.0], [1.0]), [math.e]),
        ("add_n", ([1.0, 2.0, 3.0], [10.0]), [11.0]),
        ("mul_n", ([], [1.0]), []),
        ("sin_n", ([0.0, -0.0],), [0.0, -0.0]),
    ],
)
def test_worked_values(fn, args, expected):
    assert same(getattr(vok_core, fn)(*args), expected)


def test_exponent_guard_jumps_instead_of_overflowing():
    above = vok_core.exp_n([709.79, 1000.0, 1e308])
    assert above[0] == pytest.approx(709.79, rel=1e-15)
    assert above[1] == pytest.approx(1000.0, rel=1e-15)
    assert math.isfinite(above[2])


@pytest.mark.parametrize("fn", ["exp_n", "ln_n", "sqrt_n", "sin_n", "cos_n"])
def test_nan_stays_nan(fn):
    assert math.isnan(getattr(vok_core, fn)([NAN])[0])


def test_small_positive_log_arguments_are_not_floored():
    assert vok_core.ln_n([1e-310]) == [math.log(1e-310)]
    assert vok_core.tension_n([0.0], [1e-310]) == [1.0 - math.log(1e-310)]


def test_div_guard_gives_the_quiet_nan_pattern():
    out = vok_core.div_n([1.0, -1.0, 1.0], [0.0, -0.0, 1e-301])
    assert all(bits(x) == struct.pack("<Q", 0x7FF8000000000000) for x in out)
    assert math.isnan(vok_core.div_n([1.0], [NAN])[0])


def test_tension_n_agrees_with_the_point_class_when_present():
    point = getattr(vok_core, "VOKPoint", None)
    if point is None:
        pytest.skip("VOKPoint not built")
    xs = sample_floats(3000, seed=5)
    ys = sample_floats(3000, seed=6)
    got = vok_core.tension_n(xs, ys)
    assert same(got, [point(x, y).tension() for x, y in zip(xs, ys)])


@pytest.mark.parametrize("n", [0, 1, 2, 3, 8191, 8192, 8193, 100_003])
def test_every_size_keeps_input_order(n):
    xs = [float(i) for i in range(n)]
    assert vok_core.add_n(xs, xs) == [2.0 * i for i in range(n)]


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


THRESHOLD = from_bits(0x40862E3D70A3D70A)  # 709.78, the exponent guard's threshold
FLOOR = from_bits(0x01A56E1FC2F8F359)  # 1e-300, the log floor and the divisor threshold


@pytest.mark.parametrize(
    "fn, args, expected",
    [
        # The threshold itself is not guarded (strict comparison); the next float above is.
        ("exp_n", ([THRESHOLD, math.nextafter(THRESHOLD, INF)],),
         [math.exp(THRESHOLD), math.exp(math.log(math.nextafter(THRESHOLD, INF)))]),
        # Non-positive arguments are floored at exactly 1e-300; a magnitude above it is kept.
        ("ln_n", ([-FLOOR, -math.nextafter(FLOOR, 0.0), -math.nextafter(FLOOR, INF)],),
         [math.log(FLOOR), math.log(FLOOR), math.log(math.nextafter(FLOOR, INF))]),
        # A divisor of exactly 1e-300 is divided by; the next smaller magnitude gives NaN.
        ("div_n", ([1.0, 1.0, 1.0], [FLOOR, math.nextafter(FLOOR, 0.0), -math.nextafter(FLOOR, 0.0)]),
         [1.0 / FLOOR, NAN, NAN]),
    ],
)
def test_guard_constants_at_their_exact_bit_patterns(fn, args, expected):
    assert THRESHOLD == 709.78 and FLOOR == 1e-300
    got = getattr(vok_core, fn)(*args)
    assert len(got) == len(expected)
    for g, w in zip(got, expected):
        assert bits(g) == bits(w) or (math.isnan(g) and math.isnan(w))
