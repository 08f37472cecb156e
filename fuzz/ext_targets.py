"""The targets of vok_math's second extension module, vok_math._ext, and of
discover()'s input validation: tokens, columns and search options as the
engine's functions take them, unpickling of PySearchResult, and every
element-wise ufunc against its list function. A ufunc value whose bits differ
from the list function's raises Finding, which fails the run like a crash.

Needs NumPy; fuzz_vok_core.py adds these targets when it is installed."""

import pickle

import numpy as np

import hostile
from hostile import Hostile

import vok_core
import vok_math
from vok_math import _ext, _pickle, ufunc


class Finding(BaseException):
    """A wrong value (not an error): fails the run. Not an Exception, so no
    handler of a target swallows it."""


# ------------------------------------------------------------ engine input


def token(gen):
    k = gen.pick(8)
    if k < 5:  # well-formed fields: a constant, a variable or an operator
        kind = gen.choice([0, 2, 2, 3, 3, 1])
        return (kind, gen.pick(14), gen.choice([0, 1, 2, 5]), gen.plain_float())
    if k == 5:
        return (gen.index([0, 1, 2, 3, 4, 255]), gen.index([0, 8, 12, 13, 255]), gen.index([0, 1, 3]), gen.number())
    if k == 6:
        return [gen.pick(4), gen.pick(14), gen.pick(3), gen.plain_float()]  # as after a JSON round trip
    return gen.seq(gen.number, 5)


def tokens(gen):
    return gen.seq(lambda: token(gen), 9)


def column(gen, rows):
    k = gen.pick(8)
    if k < 5:
        return np.array([gen.plain_float() for _ in range(rows)])
    if k == 5:
        return np.array([gen.plain_float() for _ in range(rows * 2)])[::2]  # not contiguous
    if k == 6:
        return np.arange(rows, dtype=gen.choice([np.float32, np.int64, np.int8]))
    return gen.seq(gen.number, rows)


def columns(gen):
    rows = gen.pick(9)
    return gen.seq(lambda: column(gen, rows), 3)


def evaluate(gen):
    return _ext.evaluate(tokens(gen), columns(gen))


def render(gen):
    names = gen.seq(lambda: gen.choice(["x", "", "\udcff", "a\0b", "y_1", 3.0, None]), 4)
    return _ext.render(tokens(gen), names)


def search(gen):
    # Small searches only (a few rows, low complexity): each execution stays
    # in the millisecond range.
    cols = columns(gen)
    targets = column(gen, gen.pick(9))
    args = [cols, targets, gen.index([0, 1, 2, 3], False), gen.index([0, 1, 2, 7], False), gen.number(),
            gen.number(), gen.flag(), gen.flag(), gen.choice([None, 0.0, -1.0, 1e-9, float("nan"), 10.0]),
            gen.choice([None, lambda *_: None, lambda *_: False, _raise, 5])]
    if gen.chance(3):
        args += [gen.choice([None, {}, {"top_k": 2}]), gen.choice([("tanh",), ["arcsin", "arccos"], ("erf",), "tanh",
                                                                    (1,), ("\udcff",), gen.wrong()])]
        if gen.chance(2):
            args.append(gen.choice([None, [], (), "beam"]))
    return _ext.search(*args)


def fit_each(gen):
    formulas = gen.seq(lambda: gen.wrong() if gen.chance(4) else (tokens(gen), gen.seq(gen.number, 3)), 3)
    return _ext.fit_each(formulas, columns(gen), column(gen, gen.pick(9)), gen.index([0, 1, 5], False))


def _raise(*_):
    raise Hostile("progress refused")


# ------------------------------------------------------------ discover's validation


def table(gen):
    rows = gen.pick(9)
    k = gen.pick(4)
    if k == 0:
        return {gen.choice(["x", "y", "", "\udcff", 1]): column(gen, rows) for _ in range(gen.pick(4))}
    if k == 1:
        return np.array([[gen.plain_float() for _ in range(gen.pick(3))] for _ in range(rows)])
    if k == 2:
        return gen.seq(lambda: gen.seq(gen.number, 3), 6)
    return gen.wrong()


def discover(gen):
    X = table(gen)
    y = gen.choice(["y", "x", "missing"]) if gen.chance(3) else column(gen, gen.pick(9))
    options = {"max_complexity": "auto" if gen.chance(4) else gen.index([1, 2, 3], False),
               "beam_width": gen.index([1, 2, 7], False)}
    for name, make in [("precision_goal", gen.number), ("complexity_penalty", gen.number),
                       ("use_trig", gen.flag), ("use_vok", gen.flag), ("drop_nonfinite", gen.flag),
                       ("time_limit", lambda: gen.choice([None, 0.0, -1.0, float("nan"), 5.0, "1"])),
                       ("budget", lambda: gen.choice([None, 0.0, -1.0, float("nan"), 0.05, "1", True])),
                       ("names", lambda: gen.seq(lambda: gen.choice(["a", "b", "", 1, None]), 3)),
                       ("units", lambda: gen.choice([{"x": "m", "y": "s"}, {"x": gen.wrong(), "y": "1"},
                                                     gen.seq(lambda: gen.choice(["m", "kg m^-3", "J/(mol K)", "1",
                                                                                 gen.seq(gen.number, 8)]), 3),
                                                     "m", gen.wrong()])),
                       ("target_units", lambda: gen.choice(["m s", "", "m/s/s", "m^(1/0)", (1, -1), gen.wrong()])),
                       ("operators", lambda: gen.choice([("arcsin", "tanh"), "arccos", ("sin",), gen.wrong()])),
                       ("decompose", gen.flag),
                       ("subsample", lambda: gen.choice([None, "auto", 0, 1, 3, True, 2.0, "x"]))]:
        if gen.chance(3):
            options[name] = make()
    return vok_math.discover(X, y, **options)


# ------------------------------------------------------------ unpickling


class Crafted:
    def __init__(self, constructor, args):
        self.constructor, self.args = constructor, args

    def __reduce__(self):
        return self.constructor, self.args


def bit_pattern(gen):
    return gen.choice([0, 1, -1, 2**63 - 1, -2**63, 2**63, 2**64, 0x7FF8000000000001, 1.5, "0", None])


def unpickle(gen):
    k = gen.pick(4)
    if k == 0:
        text = gen.choice(["x", "", "a\0b", "\udcff", "(x + 1.0)", b"x", None])
        args = (text, bit_pattern(gen), gen.index([0, 1, 3]), gen.seq(lambda: bit_pattern(gen), 3))
        constructor = _pickle._search_result
    elif k == 1:
        constructor, args = _pickle._point, (bit_pattern(gen), bit_pattern(gen))
    elif k == 2:
        constructor, args = _pickle._pair, (bit_pattern(gen), bit_pattern(gen))
    else:
        constructor, args = _ext.search_result, (gen.choice(["x", "", "a\0b"]), gen.number(), gen.index([0, 1, 3]),
                                                 gen.seq(gen.number, 3))
    obj = pickle.loads(pickle.dumps(Crafted(constructor, args)))
    return repr(obj), pickle.loads(pickle.dumps(obj))


# ------------------------------------------------------------ ufuncs against list functions

UNARY = ["exp", "ln", "sqrt", "sin", "cos"]
BINARY = ["add", "sub", "mul", "div", "pow", "tension"]


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


def floats(gen, n):
    return np.array([gen.plain_float() for _ in range(n)])


def ufunc_bits(gen):
    # A long call goes to the workers, a short one stays on this thread.
    n = gen.choice([1, 2, 7, 9000])
    name = gen.choice(UNARY + BINARY)
    args = [floats(gen, n) for _ in range(1 if name in UNARY else 2)]
    if n == 9000:
        args = [np.tile(a[:16], 9000 // 16 + 1)[:n] for a in args]  # few draws, many elements
    got = getattr(ufunc, name)(*args)
    want = getattr(vok_core, name + "_n")(*(a.tolist() for a in args))
    if not np.array_equal(bits(got), bits(want)):
        at = int(np.flatnonzero(bits(got) != bits(want))[0])
        raise Finding(f"ufunc {name} differs from {name}_n at {[a[at] for a in args]}: {got[at]!r} != {want[at]!r}")


def christoffel_bits(gen):
    x = floats(gen, gen.choice([1, 3, 9000]))
    lam, mu, nu = (gen.choice([0, 1, 2, 3, 4, 2**63, 2**64 - 1]) for _ in range(3))
    rs = gen.plain_float()
    try:
        want = vok_core.christoffel_batch_n([(v, 0.0) for v in x.tolist()], lam, mu, nu, rs)
    except OverflowError:
        return
    got = ufunc.christoffel(x, np.uint64(lam), np.uint64(mu), np.uint64(nu), rs)
    if not np.array_equal(bits(got), bits(want)):
        raise Finding(f"ufunc christoffel differs from christoffel_batch_n for {(lam, mu, nu, rs)}")


TARGETS = [evaluate, render, search, fit_each, discover, unpickle, ufunc_bits, ufunc_bits, christoffel_bits]
