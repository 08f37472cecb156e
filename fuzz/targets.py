"""The targets of the vok_core fuzzer: every name of the module (batch
functions, find_formula and its result, constructors, methods, properties
and operators of the value classes) with its parameters, and `call`, which
binds arguments drawn from fuzz/hostile.py the way the input chooses."""

import copy
import operator
import pickle

import hostile
from hostile import HostileBase

import vok_core

# ------------------------------------------------------------ signatures

F, FSEQ, PSEQ = "float", "fseq", "pseq"
SMALL_COUNTS = [0, 1, 2, 3, 5, 17]


def param(gen, kind):
    if kind == F:
        return gen.number()
    if kind == FSEQ:
        return gen.seq(gen.number)
    if kind == PSEQ:
        return gen.seq(gen.point)
    return kind(gen)  # a custom maker


def axis(gen):
    return gen.index([0, 1, 2, 3, 4])


def pulses(gen):
    return gen.index(SMALL_COUNTS + [200])


def octets(gen):
    return gen.seq(gen.octet, 5)


def blades(gen):
    return gen.seq(lambda: gen.seq(gen.number, 9), 5)


def signature(gen):
    return gen.seq(lambda: gen.index([1, -1, 0, 127, -128, 128, -129]), 4)


def rows(gen):
    return gen.seq(lambda: gen.seq(gen.number, 8), 4)


BATCH = {
    "exp_n": [("xs", FSEQ)], "ln_n": [("ys", FSEQ)], "sqrt_n": [("xs", FSEQ)],
    "sin_n": [("xs", FSEQ)], "cos_n": [("xs", FSEQ)],
    "add_n": [("as_", FSEQ), ("bs", FSEQ)], "sub_n": [("as_", FSEQ), ("bs", FSEQ)],
    "mul_n": [("as_", FSEQ), ("bs", FSEQ)], "div_n": [("as_", FSEQ), ("bs", FSEQ)],
    "pow_n": [("bases", FSEQ), ("exps", FSEQ)], "tension_n": [("xs", FSEQ), ("ys", FSEQ)],
    "boost_n": [("points", PSEQ), ("phis", FSEQ), ("c", F)],
    "rotate_phase_n": [("pairs", PSEQ), ("angles", FSEQ)],
    "schrodinger_step_n": [("psi", PSEQ), ("v", FSEQ), ("dt", F), ("hbar", F)],
    "simulate_pulses_n": [("x0", F), ("y0", F), ("n_pulses", pulses)],
    "christoffel_batch_n": [("points", PSEQ), ("lam", axis), ("mu", axis), ("nu", axis), ("rs", F)],
    "octonion_mul_n": [("a_batch", octets), ("b_batch", octets)],
    "geometric_product_n": [("a_batch", blades), ("b_batch", blades), ("signature", signature)],
    # Small searches only: each execution must stay in the millisecond range.
    "find_formula": [("x_data", rows), ("y_data", lambda g: g.seq(g.number, 8)),
                     ("max_complexity", lambda g: g.index([0, 1, 2, 3], False)),
                     ("beam_width", lambda g: g.index([0, 1, 2, 7, 40], False)), ("precision_goal", F),
                     ("use_trig", lambda g: g.flag()), ("use_vok", lambda g: g.flag()),
                     ("complexity_penalty", F)],
}
# find_formula always gets small max_complexity and beam_width: its defaults
# (8 and 2000) would make a search of a second.
REQUIRED = {"find_formula": 4}

POINT_METHODS = {
    "tension": [], "vok": [], "mirror_pulse": [], "pulse": [], "frame_shift": [], "is_slipping": [],
    "pair": [], "euclidean_delta": [],
    "conserves_tension": [("next", lambda g: any_value(g)), ("tol", F)],
    "minkowski_delta": [("plus_signature", lambda g: g.flag()), ("c", F)],
    "boost": [("phi", F), ("c", F)],
}
PAIR_METHODS = {"rotate_phase": [("angle", F)], "conjugate": []}
PAIR_STATIC = {"from_values": [("real", F), ("imag", F)], "from_polar": [("r", F), ("theta", F)],
               "unit_i": [], "one": [], "zero": []}
KNOT_METHODS = {"mirror_pulse": [], "pulse": [], "three_one_flip": [], "flip": [], "tread_yield": []}
KNOT_PARAMS = [("point", lambda g: any_value(g)), ("n", lambda g: g.index([0, 1, -1, 3, 2**31])), ("theta", F)]
PROPERTIES = {
    "VOKPoint": ["x", "y"],
    "VOKPair": ["real", "imag", "real_tension", "imag_tension", "modulus", "argument"],
    "VOKKnot": ["point", "flip_count", "phase", "rho"],
    "PySearchResult": ["formula", "error", "complexity", "params"],
}
OPERATORS = [operator.add, operator.sub, operator.mul, operator.truediv, operator.eq, operator.ne,
             operator.lt, operator.ge, operator.floordiv, operator.pow, operator.matmul]

# ------------------------------------------------------------ calling


def call(gen, fn, params, required=None):
    """Calls fn with arguments for `params` ([(name, kind)]), bound in a way
    the input chooses: by position, by keyword, mixed, or wrongly. Nothing
    but the call's own containers keeps the arguments alive, so an action
    that empties a container frees what it held."""
    required = len(params) if required is None else required
    names = [name for name, _ in params]
    # Defaulted parameters are given or left out as the input says.
    given = required + gen.pick(len(params) - required + 1)
    values = [param(gen, kind) for _, kind in params[:given]]
    style = gen.pick(8)
    split = 0 if style == 3 else given if style < 3 else gen.pick(given + 1)
    args, kwargs = values[:split], dict(zip(names[split:], values[split:]))
    if style == 6:  # a binding error of some kind
        k = gen.pick(4)
        if k == 0:
            args, kwargs = values + [1.0], {}
        elif k == 1:
            kwargs["no_such_name"] = 1.0
        elif k == 2 and names:
            kwargs[names[0]] = 1.0
        elif values:
            args, kwargs = values[:-1], {}
    elif style == 7:  # keyword names that may differ from the parameters
        keys = names + ["as", "x", "\udcff", "a\0b"]
        kwargs = {gen.choice(keys): v for v in values[split:]}
    del values
    gen.targets.append(args)
    if hostile.KWARGS_CLEAR:
        # CPython hands an exact dict to a C type's constructor as it is.
        gen.targets.append(kwargs)
    return fn(*args, **kwargs)


def point(gen):
    try:
        return call(gen, vok_core.VOKPoint, [("x", F), ("y", F)])
    except (Exception, HostileBase):
        return vok_core.VOKPoint(gen.plain_float(), gen.plain_float())


def pair(gen):
    try:
        return call(gen, vok_core.VOKPair, [("real", F), ("imag", F)])
    except (Exception, HostileBase):
        return vok_core.VOKPair(gen.plain_float(), gen.plain_float())


def knot(gen):
    try:
        return call(gen, vok_core.VOKKnot, KNOT_PARAMS, required=1)
    except (Exception, HostileBase):
        return vok_core.VOKKnot(point(gen))


def result(gen):
    found = call(gen, vok_core.find_formula, BATCH["find_formula"], REQUIRED["find_formula"])
    return found if found is not None else vok_core.find_formula([[1.0, 2.0]], [1.0, 2.0], 1, 1)


def any_value(gen):
    k = gen.pick(5)
    return [point, pair, knot, lambda g: g.number(), lambda g: g.wrong()][k](gen)


def batch(gen):
    name = gen.choice(sorted(BATCH))
    return call(gen, getattr(vok_core, name), BATCH[name], REQUIRED.get(name))


def method(gen):
    k = gen.pick(4)
    if k == 0:
        obj, table = point(gen), POINT_METHODS
    elif k == 1:
        obj, table = pair(gen), {**PAIR_METHODS, **PAIR_STATIC}
    elif k == 2:
        obj, table = knot(gen), KNOT_METHODS
    else:
        obj, table = result(gen), {"to_latex": [], "to_python": []}
    name = gen.choice(sorted(table))
    return call(gen, getattr(obj, name), table[name])


def attribute(gen):
    obj = [point, pair, knot, result][gen.pick(4)](gen)
    names = PROPERTIES[type(obj).__name__]
    k = gen.pick(6)
    if k < 3:
        return getattr(obj, gen.choice(names))
    if k == 3:
        setattr(obj, gen.choice(names + ["other"]), gen.number())
    elif k == 4:
        delattr(obj, gen.choice(names))
    return repr(obj), str(obj), hash(obj)


def binary(gen):
    # One operand at least is the module's (Python's own int ** int can take
    # minutes).
    a, b = [point, pair, knot][gen.pick(3)](gen), any_value(gen)
    if gen.chance(3):
        return abs(a)
    if gen.chance(2):
        a, b = b, a
    return gen.choice(OPERATORS)(a, b)


def type_level(gen):
    cls = gen.choice([vok_core.VOKPoint, vok_core.VOKPair, vok_core.VOKKnot, vok_core.PySearchResult])
    k = gen.pick(5)
    if k == 0:
        return cls()
    if k == 1:
        return type("Sub", (cls,), {})
    if k == 2:
        return cls.__new__(cls, *[gen.number() for _ in range(gen.pick(4))])
    obj = [point, pair, knot, result][gen.pick(4)](gen)
    return copy.copy(obj) if k == 3 else pickle.dumps(obj)


TARGETS = [batch, batch, batch, batch, method, method, attribute, binary, type_level]
