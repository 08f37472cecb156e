"""Algebra kernels: octonion_mul_n, geometric_product_n, christoffel_batch_n."""

import math
import random
import struct

import pytest

import vok_core

INF, NAN = float("inf"), float("nan")


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Bit-for-bit equality of two float lists (-0.0 included); every NaN
    matches every NaN, since which operand's payload a product of two NaNs
    carries is the compiler's choice."""
    return len(a) == len(b) and all(
        (math.isnan(x) and math.isnan(y)) or bits(x) == bits(y) for x, y in zip(a, b))


def unit(k, n=8, value=1.0):
    v = [0.0] * n
    v[k] = value
    return v


# --------------------------------------------------------------- octonions

def octonion_table():
    """e_i * e_j as (sign, k), built from the rule: e0 is the unit, e_i^2 = -1,
    the seven cyclic triples, and swapping the factors flips the sign."""
    table = {}
    for k in range(8):
        table[0, k] = table[k, 0] = (1, k)
    for i in range(1, 8):
        table[i, i] = (-1, 0)
    for p, q, r in [(1, 2, 4), (2, 3, 5), (3, 4, 6), (4, 5, 7), (5, 6, 1), (6, 7, 2), (7, 1, 3)]:
        for x, y, z in [(p, q, r), (q, r, p), (r, p, q)]:
            table[x, y] = (1, z)
            table[y, x] = (-1, z)
    return table


OCT = octonion_table()


def py_octonion_mul(a, b):
    """The product in the library's order: i then j, term (s * a_i) * b_j."""
    c = [0.0] * 8
    for i in range(8):
        if a[i] == 0:
            continue
        for j in range(8):
            if b[j] == 0:
                continue
            s, k = OCT[i, j]
            c[k] += (s * a[i]) * b[j]
    return c


def onorm2(o):
    return sum(v * v for v in o)


def random_octonion(rng, sparse=False):
    pick = [0.0, -0.0, 1.5, -2.0, INF, NAN] if sparse else None
    if sparse:
        return [rng.choice(pick) if rng.random() < 0.5 else rng.uniform(-3, 3) for _ in range(8)]
    return [rng.uniform(-2, 2) for _ in range(8)]


@pytest.mark.parametrize(
    "a, b, want",
    [
        (unit(1), unit(2), unit(4)),
        (unit(2), unit(1), unit(4, value=-1.0)),
        (unit(1), unit(1), unit(0, value=-1.0)),
        (unit(5), unit(6), unit(1)),
        (unit(6), unit(5), unit(1, value=-1.0)),
        (unit(0), [-0.0, 1.0, -0.0, 2.0, -3.0, -0.0, 0.5, -0.0], [0.0, 1.0, 0.0, 2.0, -3.0, 0.0, 0.5, 0.0]),
        (unit(0), unit(0, value=NAN), unit(0, value=NAN)),
        (unit(3), unit(7, value=INF), unit(1, value=INF)),
        ([0.0] * 8, [INF] * 8, [0.0] * 8),
    ],
    ids=["e1e2", "e2e1", "e1e1", "e5e6", "e6e5", "identity_minus_zero", "nan_real", "inf_skip", "zero_times_inf"],
)
def test_octonion_products(a, b, want):
    (got,) = vok_core.octonion_mul_n([a], [b])
    assert same(got, want)


def test_octonion_matches_reference_bitwise():
    rng = random.Random(1)
    a = [random_octonion(rng, sparse=n % 2 == 0) for n in range(300)]
    b = [random_octonion(rng, sparse=n % 3 == 0) for n in range(300)]
    got = vok_core.octonion_mul_n(a, b)
    assert len(got) == 300
    for n in range(300):
        assert same(got[n], py_octonion_mul(a[n], b[n])), n


def test_octonion_norm_is_multiplicative_and_product_alternative():
    rng = random.Random(2)
    a = [random_octonion(rng) for _ in range(100)]
    b = [random_octonion(rng) for _ in range(100)]
    ab = vok_core.octonion_mul_n(a, b)
    aa = vok_core.octonion_mul_n(a, a)
    ba = vok_core.octonion_mul_n(b, a)
    left, left2 = vok_core.octonion_mul_n(aa, b), vok_core.octonion_mul_n(a, ab)
    right, right2 = vok_core.octonion_mul_n(ba, a), vok_core.octonion_mul_n(b, aa)
    for n in range(100):
        assert onorm2(ab[n]) == pytest.approx(onorm2(a[n]) * onorm2(b[n]), rel=1e-12)
        assert left[n] == pytest.approx(left2[n], abs=1e-12)
        assert right[n] == pytest.approx(right2[n], abs=1e-12)


def test_octonion_is_not_associative():
    e1e2, e2e3 = vok_core.octonion_mul_n([unit(1), unit(2)], [unit(2), unit(3)])
    assert vok_core.octonion_mul_n([e1e2, unit(1)], [unit(3), e2e3]) == [unit(6, value=-1.0), unit(6)]


def test_octonion_shorter_argument_sets_length():
    got = vok_core.octonion_mul_n([[1, 0, 0, 0, 0, 0, 0, 0]] * 3, [[2, 0, 0, 0, 0, 0, 0, 0]])
    assert got == [[2.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]]
    assert all(type(v) is float for v in got[0])
    assert vok_core.octonion_mul_n([], [unit(1)]) == []


def test_octonion_accepts_any_sequence_of_eight_numbers():
    got = vok_core.octonion_mul_n(a_batch=(range(8),), b_batch=[(1, 0, 0, 0, 0, 0, 0, True)])
    assert same(got[0], py_octonion_mul(list(map(float, range(8))), [1.0, 0, 0, 0, 0, 0, 0, 1.0]))


class Reported:
    """A sequence whose len() is `length` whatever it holds, read by subscription."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def test_octet_items_are_read_by_subscription_at_indices_0_to_7():
    # reports 8, holds 10: only indices 0 to 7 are read
    assert vok_core.octonion_mul_n([Reported(8, list(range(10)))], [unit(0)]) == [[float(i) for i in range(8)]]
    # reports 8, holds 5: the item's own IndexError, unchanged
    with pytest.raises(IndexError):
        vok_core.octonion_mul_n([Reported(8, [1.0] * 5)], [unit(0)])
    # reports 10, holds 8: the reported length decides
    with pytest.raises(ValueError, match=r"^expected a sequence of length 8 \(got 10\)$"):
        vok_core.octonion_mul_n([unit(0)], [Reported(10, unit(1))])


def test_octet_item_shrunk_while_converting():
    inner = []

    class Shrinks:
        def __float__(self):
            inner.clear()
            return 1.0

    inner.extend([Shrinks()] + [0.0] * 7)
    with pytest.raises(IndexError):
        vok_core.octonion_mul_n([inner], [unit(0)])


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (([[0] * 7], [unit(0)]), ValueError, "expected a sequence of length 8 (got 7)"),
        (([unit(0)], [[0] * 9]), ValueError, "expected a sequence of length 8 (got 9)"),
        (("abcdefgh", [unit(0)]), TypeError, "argument 'a_batch': Can't extract `str` to `Vec`"),
        (([unit(0)], "abcdefgh"), TypeError, "argument 'b_batch': Can't extract `str` to `Vec`"),
        (([unit(0)], [{1, 2}]), TypeError, "argument 'b_batch': 'set' object cannot be converted to 'Sequence'"),
        (([unit(0)], [5]), TypeError, "argument 'b_batch': 'int' object cannot be converted to 'Sequence'"),
        (([unit(0)], ["abcdefgh"]), TypeError, "argument 'b_batch': must be real number, not str"),
        (([unit(0)],), TypeError, "octonion_mul_n() missing 1 required positional argument: 'b_batch'"),
        (([unit(0)], [unit(0)], 1), TypeError, "octonion_mul_n() takes 2 positional arguments but 3 were given"),
    ],
)
def test_octonion_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        vok_core.octonion_mul_n(*args)
    assert str(info.value) == message


# --------------------------------------------------------- geometric product

def reorder_sign(i, j):
    """(-1)^(number of pairs p in i, q in j with p > q)."""
    swaps = sum(1 for p in range(16) for q in range(p) if i >> p & 1 and j >> q & 1)
    return -1.0 if swaps % 2 else 1.0


def py_geometric_product(a, b, sig):
    """c_(i^j) += b_j * (g * a_i), i then j, with g = sign * metric; the metric
    is the product over shared basis vectors in ascending order, which is how
    the library accumulates it."""
    c = [0.0] * len(a)
    for i, ai in enumerate(a):
        if ai == 0:
            continue
        for j, bj in enumerate(b[: len(a)]):
            if bj == 0:
                continue
            m = 1.0
            for p in range(16):
                if i >> p & j >> p & 1:
                    m *= float(sig[p])
            g = reorder_sign(i, j) * m
            c[i ^ j] += bj * (g * ai)
    return c


def random_multivector(rng, n, sparse):
    specials = [0.0, -0.0, 0.0, 1.0, INF, NAN]
    return [rng.choice(specials) if sparse and rng.random() < 0.6 else rng.uniform(-3, 3) for _ in range(n)]


@pytest.mark.parametrize(
    "a, b, sig, want",
    [
        ([0, 1, 0, 0], [0, 0, 1, 0], [1, 1], [0, 0, 0, 1]),
        ([0, 0, 1, 0], [0, 1, 0, 0], [1, 1], [0, 0, 0, -1]),
        ([0, 0, 0, 1], [0, 0, 0, 1], [1, 1], [-1, 0, 0, 0]),
        ([0, 1, 0, 0], [0, 1, 0, 0], [1, 1], [1, 0, 0, 0]),
        ([0, 1, 0, 0], [0, 1, 0, 0], [-1, -1], [-1, 0, 0, 0]),
        ([0, 0, 0, 1], [0, 0, 0, 1], [-1, -1], [-1, 0, 0, 0]),
        ([0, 1, 0, 0], [0, 1, 0, 0], [0, 1], [0, 0, 0, 0]),
        ([0, 3, 0, 0], [0, 5, 0, 0], [2], [30, 0, 0, 0]),
        ([0, 1, 0, 0], [0, 1, 0, 0], [-128], [-128, 0, 0, 0]),
        ([2, 0, 0, 0], [-0.0, 1.5, -0.0, -4], [1, 1], [0, 3, 0, -8]),
        ([3], [2], [], [6]),
        ([0, 0, 0, 0], [], [1, 1], [0, 0, 0, 0]),
        ([0, 1, 0, 0], [0, 1, 0, 0], [1], [1, 0, 0, 0]),
        ([0, 1, 0, 0], [0, 0, 1, 0, 9, 9], [1, 1], [0, 0, 0, 1]),
        ([1, 0, 0, 0], [0, INF, 0, NAN], [1, 1], [0, INF, 0, NAN]),
        ([0, 1, 0, 0], [0, 0, NAN, 0], [1, 1], [0, 0, 0, NAN]),
        ([], [1.0], [1], []),
    ],
    ids=[
        "e0e1", "e1e0", "bivector_squared", "e0_squared", "neg_e0_squared", "neg_bivector_squared",
        "degenerate", "square_two", "square_min", "scalar", "length_one", "zero_a_empty_b",
        "short_signature_enough", "longer_b_ignored", "zero_skips_inf_nan", "nan_multiplied_in", "empty_a",
    ],
)
def test_geometric_products(a, b, sig, want):
    (got,) = vok_core.geometric_product_n([a], [b], sig)
    assert same(got, [float(v) for v in want])
    assert all(type(v) is float for v in got)


@pytest.mark.parametrize("d", [0, 1, 2, 3, 4, 5])
def test_geometric_matches_reference_bitwise(d):
    rng = random.Random(d)
    n = 1 << d
    sig = [rng.choice([1, -1, 0, 2, -3]) for _ in range(d)]
    a = [random_multivector(rng, n, sparse=k % 2 == 0) for k in range(40)]
    b = [random_multivector(rng, n, sparse=k % 3 == 0) for k in range(40)]
    got = vok_core.geometric_product_n(a, b, sig)
    for k in range(40):
        assert same(got[k], py_geometric_product(a[k], b[k], sig)), k


def test_geometric_batch_equals_single_calls():
    """Large batches (worker pool, per-call factor table) give the same bits as
    one-element calls."""
    rng = random.Random(9)
    sig = [1, -1, 1, 0]
    a = [random_multivector(rng, 16, sparse=k % 2 == 0) for k in range(2000)]
    b = [random_multivector(rng, 16, sparse=k % 5 == 0) for k in range(2000)]
    batch = vok_core.geometric_product_n(a, b, sig)
    for k in range(0, 2000, 37):
        assert same(batch[k], vok_core.geometric_product_n([a[k]], [b[k]], sig)[0]), k


def test_geometric_product_is_associative():
    rng = random.Random(4)
    sig = [1, 1, -1]
    a, b, c = ([[rng.uniform(-1, 1) for _ in range(8)] for _ in range(50)] for _ in range(3))
    ab = vok_core.geometric_product_n(a, b, sig)
    bc = vok_core.geometric_product_n(b, c, sig)
    left = vok_core.geometric_product_n(ab, c, sig)
    right = vok_core.geometric_product_n(a, bc, sig)
    for n in range(50):
        assert left[n] == pytest.approx(right[n], abs=1e-12)


def test_distinct_basis_vectors_anticommute():
    sig = [1, -1, 1, 1, -1]
    pairs = [(p, q) for p in range(5) for q in range(5) if p != q]
    ep = [unit(1 << p, 32) for p, _ in pairs]
    eq = [unit(1 << q, 32) for _, q in pairs]
    pq = vok_core.geometric_product_n(ep, eq, sig)
    qp = vok_core.geometric_product_n(eq, ep, sig)
    for (p, q), x, y in zip(pairs, pq, qp):
        assert x == [-v for v in y] and x[(1 << p) | (1 << q)] in (1.0, -1.0), (p, q)
    squares = vok_core.geometric_product_n(ep[::4], ep[::4], sig)
    assert [s[0] for s in squares] == [float(sig[p]) for p, _ in pairs[::4]]


def test_negative_signature_plane_is_the_quaternions():
    """With e0^2 = e1^2 = -1: i = e0, j = e1, k = e0e1 and ij = k, jk = i, ki = j."""
    i, j, k = unit(1, 4), unit(2, 4), unit(3, 4)
    got = vok_core.geometric_product_n([i, j, k], [j, k, i], [-1, -1])
    assert got == [k, i, j]


@pytest.mark.parametrize(
    "a, b, sig, message",
    [
        ([0, 1, 0, 0], [0, 1], [1, 1], "element 0: b_batch[0] has 2 coefficients, fewer than the 4 of a_batch[0]"),
        ([0, 1, 0], [0, 0, 1], [1, 1], "element 0: blade 3 is outside the 3 coefficients of a_batch[0] (not a power of two)"),
        ([0, 1, 0], [0, 0, 1], [], "element 0: blade 3 is outside the 3 coefficients of a_batch[0] (not a power of two)"),
        ([0, 0, 0, 1], [0, 0, 0, 1], [1], "element 0: basis vector 1 has no signature entry (signature has 1 entries)"),
        ([0, 1], [0, 1], [], "element 0: basis vector 0 has no signature entry (signature has 0 entries)"),
    ],
    ids=["b_too_short", "outside_a", "outside_a_no_signature", "no_signature", "empty_signature"],
)
def test_geometric_element_failures(a, b, sig, message):
    with pytest.raises(IndexError) as info:
        vok_core.geometric_product_n([a], [b], sig)
    assert str(info.value) == "geometric_product_n: " + message


def test_geometric_failure_names_lowest_element_and_returns_nothing():
    good = [[1, 2, 0, 0]] * 5000
    a = good + [[0, 1, 0, 0], [0, 0, 0, 1]]
    b = good + [[0, 1], [0, 0, 0, 1]]
    with pytest.raises(IndexError, match=r"^geometric_product_n: element 5000: b_batch\[5000\] has 2"):
        vok_core.geometric_product_n(a, b, [1])
    b[5000] = [0, 1, 0, 0]
    with pytest.raises(IndexError, match=r"^geometric_product_n: element 5001: basis vector 1 has no"):
        vok_core.geometric_product_n(a, b, [1])
    assert vok_core.geometric_product_n(a, b, [1, 1])[5000:] == [[1.0, 0, 0, 0], [-1.0, 0, 0, 0]]


def test_geometric_shorter_batch_sets_length():
    got = vok_core.geometric_product_n([[1, 0, 0, 0]] * 2, [[0, 1, 0, 0]], [1, 1])
    assert got == [[0.0, 1.0, 0.0, 0.0]]
    assert vok_core.geometric_product_n([], [[1.0]], []) == []


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (([[1.0]], [[1.0]], [128]), OverflowError, "out of range integral type conversion attempted"),
        (([[1.0]], [[1.0]], [-129]), OverflowError, "out of range integral type conversion attempted"),
        (([[1.0]], [[1.0]], [1.0]), TypeError, "argument 'signature': 'float' object cannot be interpreted as an integer"),
        (([[1.0]], [[1.0]], "11"), TypeError, "argument 'signature': Can't extract `str` to `Vec`"),
        ((["ab"], [[1.0]], []), TypeError, "argument 'a_batch': Can't extract `str` to `Vec`"),
        (([[1.0]], [1.0], []), TypeError, "argument 'b_batch': 'float' object cannot be converted to 'Sequence'"),
        (([[1.0]], [["x"]], []), TypeError, "argument 'b_batch': must be real number, not str"),
        (([[1.0]], [[1.0]]), TypeError, "geometric_product_n() missing 1 required positional argument: 'signature'"),
    ],
)
def test_geometric_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        vok_core.geometric_product_n(*args)
    assert str(info.value) == message


def test_geometric_keywords_and_inputs_untouched():
    a, b = [[0.0, 1.0, 0.0, 0.0]], [[0.0, 0.0, 1.0, 0.0]]
    got = vok_core.geometric_product_n(signature=(1, 1), b_batch=b, a_batch=a)
    assert got == [[0.0, 0.0, 0.0, 1.0]]
    assert a == [[0.0, 1.0, 0.0, 0.0]] and got[0] is not a[0]


# ----------------------------------------------------- Christoffel symbols

@pytest.mark.parametrize(
    "lam, mu, nu, want",
    [(0, 0, 1, 0.5), (0, 1, 0, 0.5), (1, 0, 0, 0.125), (1, 1, 1, -0.5),
     (0, 0, 0, 0.0), (1, 0, 1, 0.0), (2, 2, 2, 0.0), (0, 1, 1, 0.0), (2**64 - 1, 0, 1, 0.0)],
)
def test_christoffel_at_unit_radius(lam, mu, nu, want):
    assert same(vok_core.christoffel_batch_n([(0.0, 5.0)], lam, mu, nu, 0.5), [want])


@pytest.mark.parametrize("rs", [0.01, 0.3, 1.0])
def test_christoffel_closed_forms(rs):
    xs = [-1.0, 0.2, 1.0, 3.0, 8.0]
    pts = [(x, 0.0) for x in xs]
    ttr = vok_core.christoffel_batch_n(pts, 0, 0, 1, rs)
    rtt = vok_core.christoffel_batch_n(pts, 1, 0, 0, rs)
    rrr = vok_core.christoffel_batch_n(pts, 1, 1, 1, rs)
    for x, a, b, c in zip(xs, ttr, rtt, rrr):
        r = math.exp(x)
        if r <= rs:
            continue
        assert a == pytest.approx(rs / (2 * r * (r - rs)), rel=1e-13)
        assert b == pytest.approx(rs * (r - rs) / (2 * r**3), rel=1e-13)
        assert c == pytest.approx(-rs / (2 * r * (r - rs)), rel=1e-13)


def test_christoffel_zero_rs_signs():
    p = [(0.0, 0.0)]
    assert same(vok_core.christoffel_batch_n(p, 0, 0, 1, 0.0), [0.0])
    assert same(vok_core.christoffel_batch_n(p, 1, 0, 0, 0.0), [0.0])
    assert same(vok_core.christoffel_batch_n(p, 1, 1, 1, 0.0), [-0.0])


def test_christoffel_horizon_clamp_and_special_inputs():
    inside = vok_core.christoffel_batch_n([(0.0, 0.0)], 0, 0, 1, 2.0)[0]
    assert inside == pytest.approx(5e8, rel=1e-6)
    # rs + 1e-9 == rs: clamped onto the horizon, so 0.0
    assert same(vok_core.christoffel_batch_n([(0.0, 0.0)], 0, 0, 1, 1e10), [0.0])
    # NaN x is evaluated at rs + 1e-9, like x whose exp underflows
    nan_x, tiny_x = vok_core.christoffel_batch_n([(NAN, 0.0), (-1000.0, 0.0)], 1, 0, 0, 2.0)
    assert same([nan_x], [tiny_x]) and nan_x > 0
    # r0 = 0 with rs < -1e-9: r = 0 gives 0.0
    assert same(vok_core.christoffel_batch_n([(-800.0, 0.0)], 0, 0, 1, -1.0), [0.0])
    # NaN rs flows into the three symbols
    assert all(math.isnan(v) for v in
               [vok_core.christoffel_batch_n([(0.0, 0.0)], lam, mu, nu, NAN)[0] for lam, mu, nu in
                [(0, 0, 1), (1, 0, 0), (1, 1, 1)]])
    # x = 710 is guarded: r = exp(ln 710), not an overflow
    r = math.exp(math.log(710.0))
    assert vok_core.christoffel_batch_n([(710.0, 0.0)], 0, 0, 1, 1.0)[0] == pytest.approx(1 / (2 * r * (r - 1)))
    # the second coordinate is ignored
    assert same(vok_core.christoffel_batch_n([(0.5, NAN), (0.5, -INF)], 1, 0, 0, 0.5),
                vok_core.christoffel_batch_n([(0.5, 1.0)] * 2, 1, 0, 0, 0.5))


def test_christoffel_batch_order_and_empty():
    xs = [0.1 * k for k in range(20000)]
    got = vok_core.christoffel_batch_n([(x, 0.0) for x in xs], 0, 1, 0, 0.25)
    assert len(got) == 20000
    for k in range(0, 20000, 997):
        assert same([got[k]], vok_core.christoffel_batch_n([(xs[k], 0.0)], 0, 1, 0, 0.25))
    assert vok_core.christoffel_batch_n([], 0, 0, 1, 1.0) == []


def test_christoffel_count_kind_accepts_index_objects():
    class Idx:
        def __index__(self):
            return 1

    p = [(0.0, 0.0)]
    assert vok_core.christoffel_batch_n(p, True, Idx(), 1, 0.5) == [-0.5]
    assert vok_core.christoffel_batch_n(points=p, lam=1, mu=0, nu=0, rs=1) == vok_core.christoffel_batch_n(p, 1, 0, 0, 1.0)


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (([(0.0, 0.0)], 1.0, 0, 0, 0.5), TypeError, "argument 'lam': 'float' object cannot be interpreted as an integer"),
        (([(0.0, 0.0)], 0, -1, 0, 0.5), OverflowError, "can't convert negative int to unsigned"),
        (([(0.0, 0.0)], 0, 0, 2**64, 0.5), OverflowError, "int too big to convert"),
        (([(0.0, 0.0)], 0, 0, 1, "x"), TypeError, "argument 'rs': must be real number, not str"),
        (([[0.0, 0.0]], 0, 0, 1, 0.5), TypeError, "argument 'points': 'list' object cannot be converted to 'PyTuple'"),
        (([(0.0,)], 0, 0, 1, 0.5), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (([], 0, 0), TypeError, "christoffel_batch_n() missing 2 required positional arguments: 'nu' and 'rs'"),
    ],
)
def test_christoffel_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        vok_core.christoffel_batch_n(*args)
    assert str(info.value) == message


# --------------------------------------------------------------- surface

@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("christoffel_batch_n", "(points, lam, mu, nu, rs)",
         "Batch Schwarzschild Christoffel evaluation.\npoints: Vec of (x, _) where r = exp(x).\n"
         "Returns Vec of \u0393^lam_{mu nu} values for each point."),
        ("octonion_mul_n", "(a_batch, b_batch)",
         "Batch octonion multiplication (Rayon parallel).\na_batch, b_batch: each is a Vec of 8-element float lists.\n"
         "Returns Vec of 8-element results."),
        ("geometric_product_n", "(a_batch, b_batch, signature)",
         "Batch geometric product (Rayon parallel).\na_batch, b_batch: each is a Vec of flat coefficient arrays.\n"
         "signature: +1/-1 per basis vector (length n, algebra dimension = 2^n).\n"
         "Returns Vec of result coefficient arrays."),
    ],
)
def test_docstrings(name, signature, doc):
    fn = getattr(vok_core, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "vok_core"
