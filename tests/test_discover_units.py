"""discover with units: reading units, the dimensionless groups of a
dimension matrix, and formulas found on the groups written back over the
variables."""

import math
from fractions import Fraction

import numpy as np
import pytest

import vok_math
from vok_math.discovery import _units

rng = np.random.default_rng(7)


def vector(**exponents):
    """An exponent vector over (m, s, kg, K, A, mol, cd), written by hand."""
    return tuple(Fraction(exponents.get(b, 0)) for b in ("m", "s", "kg", "K", "A", "mol", "cd"))


@pytest.mark.parametrize("text,expected", [
    ("kg m s^-2", vector(kg=1, m=1, s=-2)),
    ("m/s", vector(m=1, s=-1)),
    ("kg m / s^2", vector(kg=1, m=1, s=-2)),
    ("J/(mol K)", vector(kg=1, m=2, s=-2, mol=-1, K=-1)),
    ("kg.m2/s2", vector(kg=1, m=2, s=-2)),
    ("m s-2", vector(m=1, s=-2)),
    ("kg**-1 * A", vector(kg=-1, A=1)),
    ("(m/s)^2", vector(m=2, s=-2)),
    ("m^(1/2) s^0.5", vector(m=Fraction(1, 2), s=Fraction(1, 2))),
    ("1", vector()),
    (" ", vector()),
    ("rad", vector()),
    ("1/s", vector(s=-1)),
])
def test_parse(text, expected):
    assert _units.parse(text) == expected


@pytest.mark.parametrize("derived,same", [
    ("N", "kg m s^-2"), ("J", "N m"), ("W", "J/s"), ("Pa", "N/m^2"), ("C", "A s"), ("V", "W/A"),
    ("Ohm", "V/A"), ("Ω", "Ohm"), ("S", "A/V"), ("F", "C/V"), ("Wb", "V s"), ("T", "Wb/m^2"), ("H", "Wb/A"),
    ("Hz", "1/s"), ("Gy", "J/kg"), ("kat", "mol/s"), ("lx", "cd/m^2"),
])
def test_derived_units_agree_with_their_definitions(derived, same):
    assert _units.parse(derived) == _units.parse(same)


@pytest.mark.parametrize("text,message", [
    ("km", "unknown symbol 'km'"),
    ("m/s/s", "second '/' is ambiguous"),
    ("m^", "ends too early"),
    ("(m s", "ends too early"),
    ("2 m", "no numbers other than 1"),
    ("m^(1/0)", "divides by 0"),
    ("m $", r"cannot read '\$'"),
    ("m)", r"unexpected '\)'"),
])
def test_parse_refuses(text, message):
    with pytest.raises(ValueError, match=message):
        _units.parse(text)


def test_unit_as_exponents():
    assert _units.read_unit((1, -2), "u") == _units.read_unit(np.array([1, -2]), "u") == vector(m=1, s=-2)
    assert _units.read_unit([0, 0.5, Fraction(-1, 3)], "u") == vector(s=Fraction(1, 2), kg=Fraction(-1, 3))
    with pytest.raises(ValueError, match="1 to 7 entries"):
        _units.read_unit((0,) * 8, "u")
    with pytest.raises(TypeError, match="must be a number"):
        _units.read_unit((True,), "u")
    with pytest.raises(ValueError, match="not a simple fraction"):
        _units.read_unit((math.pi,), "u")


def test_units_from_a_command_line():
    assert _units.mapping("L=m, g = m s^-2,T=s,") == {"L": "m", "g": "m s^-2", "T": "s"}
    for text, message in [("L=m,g", "'g' is not NAME=UNIT"), ("L=m,L=s", "'L' is given twice"),
                          ("L=mile", "unknown symbol 'mile'")]:
        with pytest.raises(ValueError, match=message):
            _units.mapping(text)


# (units of the variables, the target's unit, how many groups)
CASES = [
    (["m", "m/s^2", "kg"], "s", 0),  # a pendulum's period: the mass has no partner
    (["C", "V/m", "T", "m/s", "1"], "N", 2),  # the Lorentz force
    (["kg/m^3", "m/s", "m", "Pa s", "m^2/s"], "Pa", 2),  # a flow: Reynolds-type groups
    (["J/K", "K", "m^3", "1", "Pa"], "Pa", 2),  # a variable with the target's own unit
    (["m", "m", "m", "s", "s"], "m/s", 3),
]


@pytest.mark.parametrize("units,target,count", CASES)
def test_groups_are_dimensionless_independent_and_the_targets_own(units, target, count):
    parsed = [_units.parse(u) for u in units]
    D = np.array([[float(u[d]) for u in parsed] for d in range(7)])
    b = np.array([float(x) for x in _units.parse(target)])
    groups, own = _units.reduce(parsed, _units.parse(target), [f"x{i}" for i in range(len(units))])
    assert len(groups) == count == len(units) - np.linalg.matrix_rank(D)
    G = np.array([[float(e) for e in g] for g in groups]).reshape(count, len(units))
    assert all(e.denominator == 1 for g in groups for e in g)
    assert np.all(D @ G.T == 0)
    assert np.linalg.matrix_rank(G) == count
    assert np.allclose(D @ np.array([float(e) for e in own]), b)


@pytest.mark.parametrize("units,target,own,groups", [
    # F = q Ef f(B v / Ef, theta): no exponent beyond 1
    (["C", "V/m", "T", "m/s", "1"], "N", (1, 1, 0, 0, 0), {(0, -1, 1, 1, 0), (0, 0, 0, 0, 1)}),
    # heat flow through a wall (kappa, T1, T2, A, d): kappa T1 d rather than kappa T1 sqrt(A)
    (["W/(m K)", "K", "K", "m^2", "m"], "W", (1, 1, 0, 0, 1), {(0, 1, -1, 0, 0), (0, 0, 0, -1, 2)}),
    # kinetic energy (m, v, u, w): m v**2 rather than m v u
    (["kg", "m/s", "m/s", "m/s"], "J", (1, 2, 0, 0), {(0, -1, 1, 0), (0, -1, 0, 1)}),
])
def test_groups_prefer_small_exponents(units, target, own, groups):
    found, found_own = _units.reduce([_units.parse(u) for u in units], _units.parse(target), ["a"] * len(units))
    assert found_own == own
    assert {g if g in groups else tuple(-e for e in g) for g in found} == groups


def test_units_that_do_not_balance():
    n, T, V = rng.uniform(1, 2, (3, 50))
    X = {"n": n, "T": T, "V": V}  # an ideal gas without the gas constant
    with pytest.raises(ValueError, match=r"do not balance: the target's unit \(m\^-1 s\^-2 kg\) is not a product"):
        vok_math.discover(X, 8.314 * n * T / V, units={"n": "mol", "T": "K", "V": "m^3"}, target_units="Pa")


def test_a_pendulum_mapped_back():
    L, g, m = rng.uniform(0.1, 2, 200), rng.uniform(1, 20, 200), rng.uniform(0.1, 5, 200)
    X = np.column_stack([L, g, m])
    f = vok_math.discover(X, 2 * np.pi * np.sqrt(L / g), names=["L", "g", "m"], units=["m", "m s^-2", (0, 0, 1)],
                          target_units="s")
    assert f.names == ("L", "g", "m") and f.formula == "2π * sqrt(L / g)"
    fresh = rng.uniform(0.5, 3, (20, 3))
    np.testing.assert_allclose(f.predict(fresh), 2 * np.pi * np.sqrt(fresh[:, 0] / fresh[:, 1]), rtol=1e-14)
    assert f.path[0] == "reduced by units: y = C * sqrt(L / g), no dimensionless group left"


def test_an_ideal_gas_from_named_columns(capsys):
    N, kb, T, V = rng.uniform(1, 3, 200), rng.uniform(1, 2, 200), rng.uniform(200, 400, 200), rng.uniform(1, 2, 200)
    table = {"N": N, "kb": kb, "T": T, "V": V, "P": N * kb * T / V}
    f = vok_math.discover(table, "P", units={"N": "1", "kb": "J/K", "T": "K", "V": "m^3", "P": "Pa"})
    assert f.target == "P" and f.names == ("N", "kb", "T", "V")
    np.testing.assert_allclose(f.predict(table), table["P"], rtol=1e-13)
    f.explain()
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == str(f) and lines[1].startswith("  1. reduced by units: P = kb * T / V * f(π1) with π1 = N")


def test_constants_are_refitted_to_the_target_itself():
    # y = 1.2345 sqrt(L / g) with noise: the least-squares scale in y itself,
    # not the one of the group y / sqrt(L / g)
    L, g = rng.uniform(0.1, 2, 300), rng.uniform(1, 20, 300)
    M = np.sqrt(L / g)
    y = 1.2345 * M + rng.normal(0, 0.01, 300)
    f = vok_math.discover({"L": L, "g": g}, y, units={"L": "m", "g": "m/s^2"}, target_units="s", snap=False)
    assert f.params == pytest.approx([np.dot(y, M) / np.dot(M, M)], rel=1e-8)  # the group's: 1e-3 away
    assert f.rmse == pytest.approx(math.sqrt(np.mean((f.predict({"L": L, "g": g}) - y) ** 2)), rel=1e-12)


def test_dimensionless_problems_are_searched_as_they_are():
    x, z = rng.uniform(1, 2, (2, 100))
    plain = vok_math.discover({"x": x, "z": z}, x / z + 1)
    f = vok_math.discover({"x": x, "z": z}, x / z + 1, units=["1", "rad"], target_units="")
    assert f.path[0].startswith("units: every variable and the target are dimensionless")
    assert (f.tokens, f.params, f.rmse) == (plain.tokens, plain.params, plain.rmse)


def test_groups_that_are_not_finite():
    x, t = rng.uniform(0, 2, (2, 100))
    x[5] = 0.0
    X, units = {"x": x, "t": t}, {"x": "m", "t": "s"}
    with pytest.raises(ValueError, match=r"the target.s group y / \(x / t\) is not finite at row 5.*drop_nonfinite"):
        vok_math.discover(X, x / t, units=units, target_units="m/s")
    f = vok_math.discover(X, x / t, units=units, target_units="m/s", drop_nonfinite=True)
    assert f.formula == "x / t"


@pytest.mark.parametrize("units,target_units,error,message", [
    ({"a": "m"}, "m", ValueError, r"no unit for the variable\(s\) 'b'"),
    ({"a": "m", "b": "s", "c": "kg"}, "m", ValueError, "'c', which is not a variable"),
    ({"a": "m", "b": "s"}, None, ValueError, "target_units is needed"),
    (None, "m", ValueError, "target_units is given without units"),
    (["m"], "m", ValueError, r"one unit per variable \(2\)"),
    ([1, 0], "m", ValueError, r"one unit per variable"),
    ("m s", "m", TypeError, "must map each variable's name"),
    ({"a": "m", "b": "furlong"}, "m", ValueError, "unknown symbol 'furlong'"),
])
def test_units_refused(units, target_units, error, message):
    with pytest.raises(error, match=message):
        vok_math.discover({"a": [1.0, 2.0], "b": [3.0, 4.0]}, [1.0, 2.0], units=units, target_units=target_units)
