"""find_formula against a plain search written in Python.

The engine is checked in C++ against a reference that shares its operator
lists, probe constants and renderer. This one shares nothing with it: the
probe points are given as bit patterns, the operators, the renderer and the
whole level-by-level search are written out here, and every comparison is on
the bits of the error. It is slow, so the problems are small; they still run
several levels, cross blocks of rows and use both operator options.
"""

import math
import random
import struct

import pytest

from vok_core import find_formula


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def bits(v):
    return struct.unpack("<Q", struct.pack("<d", v))[0]


PROBES = [from_bits(b) for b in (0x3FE2788CFC6FB618, 0x3FF484D24F2FD873, 0x3FF9E3779B97F4A8,
                                 0x3FE62E42FEFA39EF, 0x3FF33BA004F00621)]
NEG, RECIP, EXP, LN, SQRT, SIN, COS, ABS, VOK, ADD, SUB, MUL, DIV = range(13)


def finite(v):
    return (bits(v) & 0x7FFFFFFFFFFFFFFF) <= 0x7FEFFFFFFFFFFFFF


def exp_or_inf(v):
    try:
        return math.exp(v)
    except OverflowError:
        return math.inf


def apply(code, a, b=0.0):
    """One operator with its domain and finiteness tests; None on failure."""
    try:
        if code == NEG:
            r = -a
        elif code == RECIP:
            if abs(a) < 1e-300:
                return None
            r = 1.0 / a
        elif code == EXP:
            r = exp_or_inf(a)
        elif code == LN:
            if a <= 0.0:
                return None
            r = math.log(a)
        elif code == SQRT:
            if a < 0.0:
                return None
            r = math.sqrt(a)
        elif code == SIN:
            r = math.sin(a)
        elif code == COS:
            r = math.cos(a)
        elif code == VOK:
            exponent = math.log(a) if a > 709.78 else a
            y = b if (b > 0.0 or math.isnan(b)) else max(abs(b), 1e-300)
            t = exp_or_inf(exponent)
            r = t - math.log(y)
        elif code == ADD:
            r = a + b
        elif code == SUB:
            r = a - b
        elif code == MUL:
            r = a * b
        else:
            if abs(b) < 1e-300:
                return None
            r = a / b
    except ValueError:  # sin/cos of an infinity, log of NaN-free invalid input
        return None
    return r if finite(r) else None


def evaluate(tokens, point):
    """Postfix tokens ('c', value), ('v', index), ('o', code) at one point."""
    stack = []
    for kind, payload in tokens:
        if kind == "c":
            stack.append(payload)
        elif kind == "v":
            if payload >= len(point):
                return None
            stack.append(point[payload])
        elif payload < 8:
            r = apply(payload, stack[-1])
            if r is None:
                return None
            stack[-1] = r
        else:
            b = stack.pop()
            r = apply(payload, stack[-1], b)
            if r is None:
                return None
            stack[-1] = r
    return stack[0]


TEMPLATES = {NEG: "(-{})", RECIP: "(1/{})", EXP: "exp({})", LN: "ln({})", SQRT: "sqrt({})", SIN: "sin({})",
             COS: "cos({})", VOK: "vok({}, {})", ADD: "({} + {})", SUB: "({} - {})", MUL: "({} * {})",
             DIV: "({} / {})"}


def render(tokens):
    stack = []
    for kind, payload in tokens:
        if kind == "c":
            stack.append("%.4f" % payload)
        elif kind == "v":
            stack.append(chr(120 + payload))
        elif payload < 8:
            stack.append(TEMPLATES[payload].format(stack.pop()))
        else:
            b = stack.pop()
            stack.append(TEMPLATES[payload].format(stack.pop(), b))
    return stack[-1]


def plain_search(cols, targets, max_complexity, beam_width, precision_goal, use_trig, use_vok, penalty):
    """(formula, error, complexity) of the best result, or None."""
    unary = [NEG, RECIP, EXP, LN, SQRT] + ([SIN, COS] if use_trig else [])
    binary = [ADD, SUB, MUL, DIV] + ([VOK] if use_vok else [])
    n_vars, rows = len(cols), len(cols[0])
    seen = set()

    def accept(tokens, into):
        key = []
        for c in PROBES:
            v = evaluate(tokens, [(i + 1) * c for i in range(n_vars)])
            if v is None or not finite(v):
                return
            key.append(bits(v))
        if tuple(key) not in seen:
            seen.add(tuple(key))
            into.append(tokens)

    def score(candidates):
        results = []
        for tokens in candidates:
            predictions = [evaluate(tokens, [c[r] for c in cols]) for r in range(rows)]
            if None in predictions:
                continue
            s = -0.0
            for p, t in zip(predictions, targets):
                d = p - t
                s += d * d
            rmse = math.sqrt(s / float(len(targets)))
            results.append((rmse * ((len(tokens) * penalty) + 1.0), tokens))
        return results

    best = None

    def update(results):
        nonlocal best
        for r in results:
            if best is None or best[0] > r[0]:
                best = r
        return best is not None and precision_goal >= best[0]

    def outcome():
        return best and (render(best[1]), best[0], len(best[1]))

    leaves = []
    for tokens in [(("c", 0.0),), (("c", 1.0),)] + [(("v", i),) for i in range(n_vars)]:
        accept(tokens, leaves)
    if update(score(leaves)):
        return outcome()
    pool = list(leaves)
    for _level in range(2, max_complexity + 1):
        candidates = []
        for e in pool:
            for u in unary:
                accept(e + (("o", u),), candidates)
        for i in range(len(pool)):
            for j in range(i + 1):
                if len(pool[i]) + len(pool[j]) >= max_complexity:
                    continue
                for b in binary:
                    accept(pool[i] + pool[j] + (("o", b),), candidates)
                    if b in (SUB, DIV, VOK):
                        accept(pool[j] + pool[i] + (("o", b),), candidates)
        if not candidates:
            break
        results = score(candidates)
        if update(results):
            break
        # Stable, ascending; a NaN error (a 0 penalty factor times an infinite
        # rmse) goes last, where the engine puts it.
        results.sort(key=lambda r: (math.isnan(r[0]), 0.0 if math.isnan(r[0]) else r[0]))
        pool += [tokens for _, tokens in results[:beam_width][: beam_width // 4]]
    return outcome()


def problems():
    rng = random.Random(20261207)
    shapes = [
        # (variables, rows, low, high, max_complexity, beam_width)
        (1, 12, 0.1, 3.0, 6, 40),
        (1, 300, -2.0, 3.0, 6, 40),  # crosses zero; more than one block of rows
        (1, 300, 0.1, 3.0, 5, 60),
        (1, 9, 690.0, 720.0, 5, 24),  # around the exponent guard of vok
        (2, 20, -1.0, 2.0, 5, 24),
        (3, 7, 0.5, 2.0, 5, 16),
        (1, 70, -3.0, 4.0, 6, 3),  # nothing joins the pool
    ]
    out = []
    for case, (n_vars, rows, lo, hi, mc, beam) in enumerate(shapes * 3):
        cols = [[rng.uniform(lo, hi) for _ in range(rows)] for _ in range(n_vars)]
        x = cols[0]
        fit = case % 3
        if fit == 0:
            y = [math.sin(v) * v + 0.5 for v in x]
        elif fit == 1:
            y = [v * v - 2.0 * v + rng.uniform(-0.01, 0.01) for v in x]
        else:
            y = [rng.uniform(-5.0, 5.0) for _ in range(rows)]
        if case % 4 == 3:  # fewer or more targets than rows
            y = y[: rows // 2] if case % 8 == 3 else y + [1.5, -2.0]
        options = dict(max_complexity=mc, beam_width=beam, precision_goal=(1e-10, -1.0)[case % 2],
                       use_trig=case % 5 != 1, use_vok=case % 3 != 2,
                       complexity_penalty=(0.001, 0.0, -0.1, 0.05)[case % 4])
        out.append(pytest.param(cols, y, options, id=f"case{case}-{n_vars}v-{rows}r"))
    return out


def vok(a, b):
    return apply(VOK, a, b)


@pytest.mark.parametrize("cols, targets, options", problems())
def test_find_formula_matches_a_plain_search(cols, targets, options):
    want = plain_search(cols, targets, options["max_complexity"], options["beam_width"],
                        options["precision_goal"], options["use_trig"], options["use_vok"],
                        options["complexity_penalty"])
    got = find_formula(cols, targets, **options)
    assert want is not None and got is not None
    assert (got.formula, bits(got.error), got.complexity) == (want[0], bits(want[1]), want[2])
    # The error again, from the returned text alone: its Python form evaluated
    # on the rows, with the sum, mean, root and penalty taken in that order.
    body = got.to_python().split("\n")[1].removeprefix("f = lambda x: ")
    f = eval("lambda x, y=None, z=None: " + body, {"math": math, "vok": vok})
    s = -0.0
    for r in range(min(len(cols[0]), len(targets))):
        d = f(*[c[r] for c in cols]) - targets[r]
        s += d * d
    error = math.sqrt(s / float(len(targets))) * ((got.complexity * options["complexity_penalty"]) + 1.0)
    assert bits(error) == bits(got.error)
