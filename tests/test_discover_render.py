"""The written forms of a Formula (str, repr, LaTeX, Python, SymPy): one
renderer from the tokens, computing what predict computes."""

import math
import random
import struct
import time

import numpy as np
import pytest

from vok_math import Formula
from vok_math.discovery._ops import ADD, CONST, EXP, LN, MUL, OP, OPERATORS, PARAM, VAR, VOK

NAMES = ("x", "y", "z")


def bits(v):
    return struct.unpack("<q", struct.pack("<d", v))[0]


def random_formula(rng, names=NAMES, size=12):
    """A random well-formed postfix over every operator, with constants and params."""
    tokens, depth, params = [], 0, []
    for _ in range(size):
        if depth and rng.random() < 0.55:
            op = rng.choice([o for o in OPERATORS if o.arity <= depth])
            tokens.append((OP, op.code, 0, 0.0))
            depth -= op.arity - 1
            continue
        roll = rng.random()
        if roll < 0.5:
            tokens.append((VAR, 0, rng.randrange(len(names)), 0.0))
        elif roll < 0.75:
            params.append(rng.choice([rng.uniform(-3, 3), 1e-5 * rng.random(), 2.0]))
            tokens.append((PARAM, 0, len(params) - 1, params[-1]))
        else:
            tokens.append((CONST, 0, 0, rng.choice([0.0, 1.0, 0.5, -2.5, math.pi, math.pi / 2, math.e, 0.1])))
        depth += 1
    while depth > 1:
        op = rng.choice([o for o in OPERATORS if o.arity == 2])
        tokens.append((OP, op.code, 0, 0.0))
        depth -= 1
    return Formula(tuple(tokens), names, 0.0, len(tokens), 0.0, params=tuple(params))


def well_conditioned(f, row, value):
    """True when inputs moved by 1e-13 move the value by at most 1e-7: there
    another order of the same operations (SymPy's) agrees to about 1e-9."""
    try:
        moved = f(*[v * (1 + 1e-13) for v in row])
    except (ValueError, OverflowError, ZeroDivisionError):
        return False
    return abs(moved - value) <= 1e-7 * (1 + abs(value))


def test_every_export_computes_what_predict_computes():
    sympy = pytest.importorskip("sympy")
    rng = random.Random(5)
    data = np.random.default_rng(5).uniform(-2.0, 3.0, (40, 3))
    checked = 0
    # arcsin and arccos leave their domain on many rows: enough formulas that
    # more than a thousand values are compared.
    for _ in range(250):
        f = random_formula(rng)
        expected = f.predict(data)
        namespace = {}
        exec(f.to_python(), namespace)
        expr = f.to_sympy()
        if expr.has(sympy.zoo, sympy.nan, sympy.oo) or (OP, VOK, 0, 0.0) in f.tokens:
            fn = None  # undefined for SymPy (as x / (y - y)), or vok, whose SymPy form has no guards
        else:
            fn = sympy.lambdify([sympy.Symbol(n) for n in NAMES], expr, modules="mpmath")
        for row, want in zip(data.tolist(), expected.tolist()):
            if not math.isfinite(want):
                continue
            assert bits(namespace["f"](*row)) == bits(want), (f.to_python(), row)
            if fn is None or not well_conditioned(namespace["f"], row, want):
                continue
            try:
                got = complex(fn(*row))
            except (ValueError, OverflowError, ZeroDivisionError, TypeError):
                continue  # SymPy's forms may leave the domain where libm's do not
            if got.imag == 0 and math.isfinite(got.real):
                assert got.real == pytest.approx(want, rel=1e-6, abs=1e-6), (f.to_sympy(), row)
                checked += 1
    assert checked > 1000


@pytest.mark.parametrize("form", ["__str__", "to_latex", "to_python"])
def test_deep_formulas_render_in_linear_time(form):
    def timed(depth):
        f = Formula(((VAR, 0, 0, 0.0),) + ((OP, 2, 0, 0.0),) * depth, ("x",), 0.0, depth + 1, 0.0)
        best = math.inf
        for _ in range(3):
            start = time.perf_counter()
            text = getattr(f, form)()
            best = min(best, time.perf_counter() - start)
        assert text.count("exp") == depth
        return best
    # Linear: ten times the depth takes about ten times as long (quadratic: a hundred).
    assert timed(100_000) < 40 * timed(10_000)


def test_text_constants_and_target():
    tokens = ((VAR, 0, 0, 0.0), (VAR, 0, 1, 0.0), (OP, 11, 0, 0.0), (VAR, 0, 2, 0.0), (OP, 12, 0, 0.0),
              (PARAM, 0, 0, 8.314000000000002), (OP, 11, 0, 0.0), (PARAM, 0, 1, -0.00123456), (OP, 9, 0, 0.0))
    f = Formula(tokens, ("n", "T", "V"), 0.0, 5, 0.0, params=(8.314000000000002, -0.00123456), target="P")
    assert str(f) == "P = 8.314 * n * T / V - 0.001235"
    assert f.formula == "8.314 * n * T / V - 0.001235"
    assert "8.314000000000002 * n * T / V - 0.00123456" in repr(f)
    assert f.to_latex() == r"8.314 \cdot \frac{n \cdot T}{V} - 0.001235"
    assert "return n * T / V * 8.314000000000002 + (-0.00123456)" in f.to_python()


@pytest.mark.parametrize("tokens,text,latex", [
    ([(VAR, 0, 0, 0.0), (VAR, 0, 1, 0.0), (VAR, 0, 1, 0.0), (OP, 10, 0, 0.0), (OP, 10, 0, 0.0)],
     "x - (y - y)", r"x - \left(y - y\right)"),
    ([(VAR, 0, 0, 0.0), (OP, 0, 0, 0.0), (VAR, 0, 1, 0.0), (OP, 9, 0, 0.0), (OP, 1, 0, 0.0)],
     "1 / (-x + y)", r"\frac{1}{-x + y}"),
    ([(CONST, 0, 0, -2.5), (OP, 0, 0, 0.0), (VAR, 0, 0, 0.0), (OP, 4, 0, 0.0), (OP, 8, 0, 0.0)],
     "vok(-(-5/2), sqrt(x))", r"\operatorname{vok}\left(-\left(-\frac{5}{2}\right), \sqrt{x}\right)"),
    ([(VAR, 0, 0, 0.0), (CONST, 0, 0, 3 * math.pi / 4), (OP, 11, 0, 0.0), (OP, 5, 0, 0.0), (OP, 7, 0, 0.0)],
     "abs(sin(3π/4 * x))", r"\left|\sin\left(\frac{3\pi}{4} \cdot x\right)\right|"),
    ([(VAR, 0, 0, 0.0), (VAR, 0, 1, 0.0), (OP, 12, 0, 0.0), (VAR, 0, 1, 0.0), (OP, 12, 0, 0.0)],
     "x / y / y", r"\frac{\frac{x}{y}}{y}"),
    ([(VAR, 0, 1, 0.0), (OP, 1, 0, 0.0), (VAR, 0, 0, 0.0), (OP, 11, 0, 0.0)], "x / y", r"\frac{x}{y}"),
])
def test_brackets_only_where_they_matter(tokens, text, latex):
    f = Formula(tuple(tokens), ("x", "y"), 0.0, len(tokens), 0.0)
    assert (str(f), f.to_latex()) == (text, latex)


X, Y = (VAR, 0, 0, 0.0), (VAR, 0, 1, 0.0)


def op(code):
    return (OP, code, 0, 0.0)


@pytest.mark.parametrize("tokens,params,text,latex", [
    # The engine's power: x, ln, c, mul, exp.
    ([X, op(LN), (CONST, 0, 0, 0.75), op(MUL), op(EXP)], (), "x**(3/4)", r"x^{\frac{3}{4}}"),
    ([(PARAM, 0, 0, 0.7512345), X, Y, op(ADD), op(LN), op(MUL), op(EXP)], (0.7512345,),
     "(x + y)**0.7512", r"\left(x + y\right)^{0.7512}"),
    ([X, op(LN), (CONST, 0, 0, -0.5), op(MUL), op(EXP), (PARAM, 0, 0, 2.5), op(MUL)], (2.5,),
     "2.5 * x**(-1/2)", r"2.5 \cdot x^{-\frac{1}{2}}"),
    ([X, op(LN), op(LN), (CONST, 0, 0, 2.0), op(MUL), op(EXP), op(LN), (CONST, 0, 0, 3.0), op(MUL), op(EXP)], (),
     "(ln(x)**2)**3", r"\left(\ln\left(x\right)^{2}\right)^{3}"),
])
def test_powers_read_as_powers(tokens, params, text, latex):
    f = Formula(tuple(tokens), ("x", "y"), 0.0, len(tokens), 0.0, params=params)
    assert (str(f), f.to_latex()) == (text, latex)
    data = np.random.default_rng(2).uniform(1.5, 3.0, (30, 2))
    namespace = {}
    exec(f.to_python(), namespace)
    assert [bits(namespace["f"](*row)) for row in data.tolist()] == [bits(v) for v in f.predict(data).tolist()]


@pytest.mark.parametrize("name,latex", [
    (r"\immediate\write18{rm -rf ~}",
     r"\text{\textbackslash{}immediate\textbackslash{}write18\{rm -rf \textasciitilde{}\}}"),
    ("a^b_c", r"\text{a\textasciicircum{}b\_c}"),
    ("50%&$#", r"\text{50\%\&\$\#}"),
    ("speed", r"\mathrm{speed}"),
    ("v", "v"),
])
def test_latex_escapes_every_tex_special(name, latex):
    assert Formula(((VAR, 0, 0, 0.0),), (name,), 0.0, 1, 0.0).to_latex() == latex


def test_python_source_runs_for_hostile_names():
    names = ("ｍａｔｈ", "ｖｏｋ", "x²", "ﬁ", "fi", "class", "f", "abs", "2x", "a b", "", "_", "float", "math_")
    tokens = [(VAR, 0, 0, 0.0)]
    for i in range(1, len(names)):
        tokens += [(VAR, 0, i, 0.0), (OP, 9, 0, 0.0)]
    tokens += [(OP, 7, 0, 0.0), (CONST, 0, 0, math.nan), (OP, 8, 0, 0.0)]  # abs, vok and float('nan') in use
    f = Formula(tuple(tokens), names, 0.0, len(tokens), 0.0)
    namespace = {}
    exec(compile(f.to_python(), "<formula>", "exec"), namespace)
    row = [0.25 * (i + 1) for i in range(len(names))]
    assert math.isnan(namespace["f"](*row)) and math.isnan(f.predict(np.array([row]))[0])
    f = Formula(tuple(tokens[:-2]), names, 0.0, len(tokens) - 2, 0.0)
    exec(compile(f.to_python(), "<formula>", "exec"), namespace)
    assert bits(namespace["f"](*row)) == bits(f.predict(np.array([row]))[0])
