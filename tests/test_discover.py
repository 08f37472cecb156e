"""vok_math.discover and Formula: the search of find_formula on named data."""

import copy
import dataclasses
import json
import math
import pickle
import struct

import numpy as np
import pytest

import vok_math
from vok_math import Formula, _ext, vok_core


def bits(v):
    return struct.unpack("<q", struct.pack("<d", v))[0]


def problem(seed, n_vars, rows=30):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, (rows, n_vars))
    laws = [lambda X: X[:, 0] * X[:, -1] + 0.3 * rng.normal(size=rows),
            lambda X: np.exp(X[:, 0]) - X[:, -1] ** 2,
            lambda X: rng.normal(size=rows)]
    return X, laws[seed % 3](X)


@pytest.mark.parametrize("seed,n_vars,options", [
    (0, 1, {}), (1, 2, {}), (2, 3, {"max_complexity": 5}), (3, 2, {"use_trig": False, "beam_width": 40}),
    (4, 1, {"use_vok": False, "complexity_penalty": 0.05, "precision_goal": 1e-3}), (5, 2, {"max_complexity": 1}),
])
def test_same_result_as_find_formula(seed, n_vars, options):
    X, y = problem(seed, n_vars)
    f = vok_math.discover(X, y, constants=False, **{"max_complexity": 8, **options})
    r = vok_core.find_formula(X.T.tolist(), y.tolist(), **options)
    assert (_ext.render(f.tokens, f.names), bits(f.error), f.complexity) == (r.formula, bits(r.error), r.complexity)
    penalty = options.get("complexity_penalty", 0.001)
    assert bits(f.rmse * (f.complexity * penalty + 1.0)) == bits(f.error)
    assert f.complete


def test_prediction_is_what_the_search_scored():
    X, y = problem(7, 2, rows=500)
    f = vok_math.discover(X, y)
    predicted = f.predict(X)
    total = -0.0
    for p, t in zip(predicted.tolist(), y.tolist()):
        total += (p - t) * (p - t)
    assert bits(math.sqrt(total / len(y))) == bits(f.rmse)


def formula(tokens, names=("x", "y")):
    return Formula(tuple(tokens), tuple(names), 0.0, len(tokens), 0.0)


X_, Y_ = (2, 0, 0, 0.0), (2, 0, 1, 0.0)


def op(code):
    return (3, code, 0, 0.0)


@pytest.mark.parametrize("tokens,values", [
    ([X_, op(3)], [[-1.0, 0.0], [0.0, 0.0], [math.e, 0.0]]),        # ln fails on 0 and below: NaN
    ([X_, Y_, op(8)], [[710.0, 1.0], [0.0, 0.0], [1.0, -1.0]]),     # vok's guards
    ([X_, Y_, op(12)], [[1.0, 1e-301], [6.0, 3.0], [1.0, 0.0]]),    # division floor
    ([X_], [[float("nan"), 1.0]]),                                   # a lone variable passes NaN
])
def test_predict_follows_the_evaluator_row_by_row(tokens, values):
    got = formula(tokens).predict(np.array(values))
    names = {8: "tension_n"}
    expected = []
    for x, y in values:
        fn = {None: lambda: x, 3: lambda: math.log(x) if x > 0 else math.nan,
              8: lambda: vok_core.tension_n([x], [y])[0],
              12: lambda: x / y if abs(y) >= 1e-300 else math.nan}[tokens[-1][1] if len(tokens) > 1 else None]
        expected.append(fn())
    assert list(map(bits, got)) == list(map(bits, expected)), names


def test_named_data_forms_agree():
    pd = pytest.importorskip("pandas")
    X, y = problem(8, 2)
    frame = pd.DataFrame({"mass": X[:, 0], "speed": X[:, 1], "energy": y})
    results = [
        vok_math.discover(frame, "energy"),
        vok_math.discover(frame[["mass", "speed"]], frame["energy"]),
        vok_math.discover({"mass": X[:, 0].tolist(), "speed": X[:, 1].tolist()}, y.tolist()),
        vok_math.discover(X.tolist(), y, names=["mass", "speed"]),
    ]
    assert [r.target for r in results] == ["energy", "energy", None, None]
    same = [(r.tokens, r.params, bits(r.error), [(g.tokens, g.params) for g in r.front]) for r in results]
    assert all(s == same[0] for s in same)
    assert results[0].names == ("mass", "speed")
    assert str(results[0]).startswith("energy = ") and str(results[2]) == results[0].formula
    assert results[0].predict(frame).tolist() == results[0].predict(X).tolist()


@pytest.mark.parametrize("X,y,options,error,message", [
    ([1.0, 2.0], [1.0, 2.0], {}, ValueError, r"2-D.*shape \(2,\)"),
    ([[1.0], [2.0]], [1.0], {}, ValueError, "y has 1 values but X has 2 rows"),
    ([[1.0], ["a"]], [1.0, 2.0], {}, TypeError, "row 1, column 0 holds 'a'"),
    ([[1.0], [2.0]], [1.0, None], {}, TypeError, "y: row 1 holds None"),
    ([[1.0, 2.0], [math.inf, 3.0]], [1.0, 2.0], {}, ValueError, "X row 1, column 'x' is inf; pass drop_nonfinite"),
    ([[1.0], [2.0]], [1.0, math.nan], {}, ValueError, "y row 1 is nan"),
    ({"a": [1.0, 2.0], "b": [1.0]}, [1.0, 2.0], {}, ValueError, r"differ in length \('a': 2, 'b': 1\)"),
    (np.zeros((2, 0)), [1.0, 2.0], {}, ValueError, "X must hold at least one column"),
    ({"a": [1.0]}, "c", {}, KeyError, "'c', which X does not have"),
    ([[1.0], [2.0]], [1.0, 2.0], {"names": ["a", "b"]}, ValueError, "2 names given for 1 variables"),
    ([[1.0], [2.0]], [1.0, 2.0], {"complexity_penalty": -0.1}, ValueError, "complexity_penalty must be finite and not negative"),
    ([[1.0], [2.0]], [1.0, 2.0], {"beam_width": 0}, ValueError, "beam_width must be at least 1"),
    ([[1.0], [2.0]], [1.0, 2.0], {"max_complexity": 2.5}, TypeError, "max_complexity must be an integer"),
    ([[1.0], [2.0]], [1.0, 2.0], {"use_trig": 1}, TypeError, "use_trig must be True or False"),
    ([[1.0], [2.0]], [1.0, 2.0], {"time_limit": 0}, ValueError, "time_limit must be positive"),
    ([[1.0], [2.0]], [1.0, 2.0], {"constants": 1}, TypeError, "constants must be True or False"),
    ([[1.0], [2.0]], [1.0, 2.0], {"selection": "aic"}, ValueError, "selection must be one of 'mdl', 'holdout'"),
    ([[1.0], [2.0]], [1.0, 2.0], {"snap": -0.1}, ValueError, "snap must be a finite fraction"),
])
def test_bad_input_is_named(X, y, options, error, message):
    with pytest.raises(error, match=message):
        vok_math.discover(X, y, **options)


def test_dropping_nonfinite_rows_is_the_search_on_the_rest():
    X, y = problem(9, 2)
    X[3, 1], y[5] = np.nan, np.inf
    keep = np.isfinite(X).all(axis=1) & np.isfinite(y)
    assert vok_math.discover(X, y, drop_nonfinite=True) == vok_math.discover(X[keep], y[keep])


def test_value_semantics():
    f = vok_math.discover(*problem(10, 2), snap=False)
    nan = Formula(((0, 0, 0, math.nan),), ("x",), math.nan, 1, math.nan)
    assert f.params
    for g in [f, nan, dataclasses.replace(f, path=("reduced by units: y = x * f(π1)", "mapped back"))]:
        for clone in [copy.copy(g), copy.deepcopy(g)] + [pickle.loads(pickle.dumps(g, p))
                                                          for p in range(pickle.HIGHEST_PROTOCOL + 1)]:
            assert clone == g and hash(clone) == hash(g)
    for change in [{"complete": False}, {"params": (*f.params[:-1], f.params[-1] + 1e-9)}, {"target": "y"},
                   {"path": ("step",)}]:
        assert f != dataclasses.replace(f, **change)
    with pytest.raises(AttributeError):
        f.error = 0.0


def test_extension_stub_matches_the_module():
    import ast
    import inspect
    import pathlib
    from vok_math import _ext
    stub = ast.parse(pathlib.Path(_ext.__file__).with_name("_ext.pyi").read_text())
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            params = list(inspect.signature(getattr(_ext, node.name)).parameters)
            assert [a.arg for a in node.args.args] == params, node.name


def test_prediction_names_columns_of_different_lengths():
    with pytest.raises(ValueError, match=r"differ in length \('x': 2, 'y': 1\)"):
        formula([X_, Y_, op(9)]).predict({"x": [1.0, 2.0], "y": [1.0]})


@pytest.mark.parametrize("tokens,names,message", [
    ([[2, 0, 1, 0.0]], ("a",), "variable 1 is out of range for 1 variable"),
    ([[2, 0, -1, 0.0]], ("a",), "index -1 is out of range"),
    ([[2, 0, 2**64, 0.0]], ("a",), "index 18446744073709551616 is out of range"),
    ([[4, 0, 0, 0.0]], ("a",), "kind 4 is out of range"),
    ([[0, 16, 0, 0.0]], ("a",), "operator code 16 is out of range"),
    ([[3, 9, 0, 0.0]], ("a",), "add takes 2 operand"),
    ([[2, 0, 0, 0.0], [2, 0, 0, 0.0]], ("a",), "leave 2 values"),
    ([], ("a",), "leave 0 values"),
    ([[2, 0, 0]], ("a",), r"a token is \(kind, operator, index, value\)"),
    ([[2, 0, 0, 0.0]], ("a", "a"), "names must differ"),
    ([[2, 0, 0, 0.0]], "a", "sequence of strings"),
    ([[2, 0, 0, 0.0]], ("\ud800",), "surrogate"),
    ([[2, 0, 0, 0.0]], ("a",), "front must hold Formulas"),
    ([[2, 0, 0, 0.0]], ("a",), "path must be a sequence of strings, not 'one step'"),
    ([[2, 0, 0, 0.0]], ("a",), r"path must be a sequence of strings, not \(1,\)"),
])
def test_formula_refuses_what_is_no_expression(tokens, names, message):
    front = ("a formula",) if "front" in message else ()
    path = ("one step" if "'one step'" in message else (1,)) if "path" in message else ()

    class Crafted:  # a pickle that rebuilds a Formula from its state, as the dataclass pickles one
        def __reduce__(self):
            return object.__new__, (Formula,), [tokens, names, 0.0, 1, 0.0, True, front, (), math.nan, None, None, path]

    with pytest.raises(ValueError, match=message):
        Formula(tokens, names, 0.0, 1, 0.0, front=front, path=path)
    with pytest.raises(ValueError, match=message):
        pickle.loads(pickle.dumps(Crafted()))


def test_formula_survives_a_json_round_trip():
    f = vok_math.discover(*problem(11, 2))
    fields = json.loads(json.dumps([f.tokens, f.names, f.error, f.complexity, f.rmse, f.complete, [], f.params]))
    g = Formula(*fields, r2=f.r2, target=f.target, path=json.loads(json.dumps(f.path)))
    assert g == dataclasses.replace(f, front=()) and str(g) == str(f)
    assert g.predict(problem(11, 2)[0]).tolist() == f.predict(problem(11, 2)[0]).tolist()


def test_defaults_are_the_engines():
    import ast
    import inspect
    import pathlib
    from vok_math import _ext
    expected = {k: (type(v), v) for k, v in _ext.DEFAULTS.items()}

    def typed(defaults):
        return {k: (type(v), v) for k, v in defaults.items() if k in expected}

    signature = {k: p.default for k, p in inspect.signature(vok_math.discover).parameters.items()}
    assert signature.pop("max_complexity") == "auto"  # discover deepens by default
    for defaults in ({k: p.default for k, p in inspect.signature(vok_core.find_formula).parameters.items()},
                     {**signature, "max_complexity": _ext.DEFAULTS["max_complexity"]}):
        assert typed(defaults) == expected
    stub = ast.parse(pathlib.Path(vok_math.__file__).with_name("vok_core.pyi").read_text())
    (node,) = [n for n in stub.body if isinstance(n, ast.FunctionDef) and n.name == "find_formula"]
    args = node.args.args[len(node.args.args) - len(node.args.defaults):]
    assert typed({a.arg: ast.literal_eval(d) for a, d in zip(args, node.args.defaults)}) == expected
    # The fitted search's defaults are what an empty fit dict gets.
    X, y = problem(1, 2)
    cols = [np.ascontiguousarray(c) for c in X.T]
    runs = [_ext.search(cols, y, 5, 200, 1e-10, 0.001, True, True, None, None, fit)
            for fit in ({}, dict(_ext.FIT_DEFAULTS))]
    assert runs[0] == runs[1]


def gravity(rows=50, G=6.674e-11):
    X = np.random.default_rng(1).uniform(1.0, 5.0, (rows, 3))
    return X, G * X[:, 0] * X[:, 1] / X[:, 2] ** 2


@pytest.mark.parametrize("G", [6.674e-11, 2.5, 6.674e9])
def test_fitted_search_recovers_a_scaled_law(G):
    from vok_math import _ext
    X, y = gravity(G=G)
    f = vok_math.discover(X, y, names=["m1", "m2", "r"], snap=False)
    # ((shape * b) + a): the shape's values are m1 * m2 / r**2, b is G and a is 0.
    shape, (_, _, _, b), (_, _, _, a) = f.tokens[:-4], f.tokens[-4], f.tokens[-2]
    values = np.frombuffer(_ext.evaluate(shape, [np.ascontiguousarray(c) for c in X.T]), dtype=np.float64)
    np.testing.assert_allclose(values, X[:, 0] * X[:, 1] / X[:, 2] ** 2, rtol=1e-13)
    assert b == pytest.approx(G, rel=1e-12) and abs(a) <= 1e-12 * G
    assert f.rmse <= 1e-14 * G


def test_fitted_results_carry_their_parameters():
    from vok_math import _ext
    X, y = problem(0, 2)
    cols = [np.ascontiguousarray(c) for c in X.T]
    best, _, _, front, _ = _ext.search(cols, y, 5, 200, 1e-10, 0.001, True, True, None, None, {"seed": 3})
    for tokens, error, complexity, rmse, params in [best, *front]:
        # Param i is read from params[i], the same number its token carries.
        assert [t[3] for t in tokens if t[0] == 1] == list(params) and len(params) >= 2
        assert bits(_ext.rmse(tokens, params, cols, y)) == bits(rmse)
        moved = [p + 1.0 for p in params]
        assert bits(_ext.rmse(tokens, moved, cols, y)) != bits(rmse)
        assert error == pytest.approx(rmse / np.std(y) * (complexity * 0.001 + 1.0), rel=1e-12)
