"""find_formula and its result class PySearchResult, seen from Python."""

import math
import os
import subprocess
import sys

import pytest

import vok_core
from vok_core import PySearchResult, find_formula

NAN = float("nan")

X4 = [[1.0, 2.0, 3.0, 4.0]]
SQUARE_PLUS_ONE = [2.0, 5.0, 10.0, 17.0]
XY = [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]


def summary(r):
    return (r.formula, r.error, r.complexity)


# ------------------------------------------------------------ worked searches


@pytest.mark.parametrize(
    "x_data, y_data, options, expected",
    [
        # x * x + 1, found at level 3
        (X4, SQUARE_PLUS_ONE, {}, ("((x * x) + 1.0000)", 0.0, 5)),
        # two variables: the later pool member is the left operand of a commutative operator
        (XY, [4.0, 10.0, 18.0], {}, ("(y * x)", 0.0, 3)),
        # x - y and y - x are never scored (y is 2x at every probe point): a constant wins
        (XY, [-3.0, -3.0, -3.0], {}, ("((-1.0000) - (1.0000 + 1.0000))", 0.0, 6)),
        # the penalised error: rmse 1.0 at complexity 3
        (X4, SQUARE_PLUS_ONE, dict(max_complexity=3, use_trig=False, use_vok=False),
         ("(x * x)", 1.0 * ((3 * 0.001) + 1.0), 3)),
        # early stop after the leaves
        ([[1.0, 2.0, 3.0]], [1.0, 2.0, 3.0], {}, ("x", 0.0, 1)),
        ([[1.0, 2.0]], [1.0, 1.0], {}, ("1.0000", 0.0, 1)),
        (XY, [4.0, 5.0, 6.0], {}, ("y", 0.0, 1)),
        # only the leaves are scored; x has the smallest error, sqrt(57) * 1.001
        (X4, SQUARE_PLUS_ONE, dict(max_complexity=1), ("x", math.sqrt(57.0) * ((1 * 0.001) + 1.0), 1)),
        (X4, SQUARE_PLUS_ONE, dict(max_complexity=0), ("x", math.sqrt(57.0) * ((1 * 0.001) + 1.0), 1)),
        # beam_width 3: nothing joins the pool, so the best of level 2 is returned
        (X4, SQUARE_PLUS_ONE, dict(beam_width=3, use_trig=False, use_vok=False),
         ("(x * x)", 1.003, 3)),
        # a negative penalty lowers the error of longer formulas
        (X4, SQUARE_PLUS_ONE, dict(max_complexity=3, use_trig=False, use_vok=False, complexity_penalty=-0.1),
         ("(x * x)", 1.0 * ((3 * -0.1) + 1.0), 3)),
    ],
)
def test_worked_searches(x_data, y_data, options, expected):
    assert summary(find_formula(x_data, y_data, **options)) == expected


def test_options_by_position_and_keyword_agree():
    by_position = find_formula(X4, SQUARE_PLUS_ONE, 3, 2000, 1e-10, False, False, 0.001)
    by_keyword = find_formula(y_data=SQUARE_PLUS_ONE, x_data=X4, use_vok=False, max_complexity=3, use_trig=False)
    assert summary(by_position) == summary(by_keyword) == ("(x * x)", 1.003, 3)


def test_defaults_equal_the_signature_defaults():
    given = find_formula(X4, SQUARE_PLUS_ONE, 8, 2000, 1e-10, True, True, 0.001)
    assert summary(given) == summary(find_formula(X4, SQUARE_PLUS_ONE))


def test_precision_goal_decides_the_early_stop():
    # rmse 1.0 * 1.003 meets a goal of 1.003 exactly, so level 3 is never built
    r = find_formula(X4, SQUARE_PLUS_ONE, precision_goal=1.003, use_trig=False, use_vok=False)
    assert summary(r) == ("(x * x)", 1.003, 3)


def test_no_rows_gives_negative_zero_error_and_stops_at_the_first_leaf():
    r = find_formula([[]], [1.0])
    assert summary(r) == ("0.0000", 0.0, 1)
    assert math.copysign(1.0, r.error) == -1.0
    assert repr(r) == "SearchResult(formula='0.0000', error=-0.00e0, complexity=1)"


@pytest.mark.parametrize("y_data", [[], [1.0, NAN, 3.0]], ids=["no targets", "NaN target"])
def test_nan_errors_keep_the_first_leaf(y_data):
    r = find_formula([[1.0, 2.0, 3.0]], y_data, max_complexity=2)
    assert (r.formula, r.complexity) == ("0.0000", 1)
    assert math.isnan(r.error)
    assert repr(r) == "SearchResult(formula='0.0000', error=NaN, complexity=1)"


def test_longer_columns_and_targets_are_cut_to_the_first_column():
    # the second column's extra value is ignored; the divisor is the number of targets
    r = find_formula([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0, 7.0]], [4.0, 10.0, 18.0])
    assert summary(r) == ("(y * x)", 0.0, 3)
    r = find_formula([[1.0, 2.0]], [1.0, 2.0, 3.0, 4.0], max_complexity=1)
    # x matches the first two targets; the sum covers two rows and is divided by four
    assert summary(r) == ("x", 0.0 * 1.001, 1)


def test_same_arguments_same_result():
    first = find_formula(X4, SQUARE_PLUS_ONE)
    second = find_formula(X4, SQUARE_PLUS_ONE)
    assert repr(first) == repr(second) == "SearchResult(formula='((x * x) + 1.0000)', error=0.00e0, complexity=5)"


def test_worker_count_does_not_change_the_result():
    code = (
        "import math, vok_core\n"
        "xs = [0.5 + 0.25 * i for i in range(40)]\n"
        "ys = [math.sin(x) * x + 0.01 * i for i, x in enumerate(xs)]\n"
        "print(repr(vok_core.find_formula([xs], ys, max_complexity=5)))\n"
    )
    outputs = []
    for workers in ("1", "2", "3"):
        env = dict(os.environ, RAYON_NUM_THREADS=workers)
        run = subprocess.run([sys.executable, "-P", "-c", code], env=env, capture_output=True, text=True, check=True)
        outputs.append(run.stdout)
    assert outputs[0].startswith("SearchResult(formula='")
    assert outputs[0] == outputs[1] == outputs[2]


# ------------------------------------------------------------ the result class


@pytest.fixture(scope="module")
def square():
    return find_formula(X4, SQUARE_PLUS_ONE)


def test_attributes(square):
    assert square.formula == "((x * x) + 1.0000)"
    assert type(square.formula) is str
    assert square.error == 0.0 and type(square.error) is float
    assert square.complexity == 5 and type(square.complexity) is int
    assert square.params == [] and type(square.params) is list


def test_params_is_a_new_list_each_time(square):
    a, b = square.params, square.params
    assert a == b == [] and a is not b
    a.append(1.0)
    assert square.params == []


@pytest.mark.parametrize("name", ["formula", "error", "complexity", "params"])
def test_attributes_are_read_only(square, name):
    before = getattr(square, name)
    with pytest.raises(AttributeError):
        setattr(square, name, before)
    with pytest.raises(AttributeError):
        delattr(square, name)
    assert getattr(square, name) == before


def test_no_instance_dict_no_subclass(square):
    with pytest.raises(AttributeError):
        square.extra = 1
    assert not hasattr(square, "__dict__")
    with pytest.raises(TypeError):
        type("Sub", (PySearchResult,), {})


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"formula": "x"})])
def test_no_constructor(args, kwargs):
    with pytest.raises(TypeError, match=r"^No constructor defined for PySearchResult$"):
        PySearchResult(*args, **kwargs)


def test_instances_cannot_be_made_around_the_constructor():
    # object.__new__ would give an instance without a formula; the interpreter refuses it
    with pytest.raises(TypeError):
        object.__new__(PySearchResult)
    with pytest.raises(TypeError):
        PySearchResult.__new__(PySearchResult)


def test_class_identity():
    assert PySearchResult.__name__ == "PySearchResult"
    assert PySearchResult.__module__ == "vok_core"
    assert PySearchResult.__doc__ == "Python-facing formula discovery result."
    assert PySearchResult.to_latex.__text_signature__ == "($self)"
    assert PySearchResult.to_python.__text_signature__ == "($self)"
    assert vok_core.__all__[-2:] == ["PySearchResult", "find_formula"]


def test_repr_and_str(square):
    assert repr(square) == "SearchResult(formula='((x * x) + 1.0000)', error=0.00e0, complexity=5)"
    assert str(square) == repr(square)
    r = find_formula([[1.0, 2.0, 3.0]], [1.0, 2.0, 3.0])
    assert repr(r) == "SearchResult(formula='x', error=0.00e0, complexity=1)"
    r = find_formula(X4, SQUARE_PLUS_ONE, max_complexity=3, use_trig=False, use_vok=False)
    assert repr(r) == "SearchResult(formula='(x * x)', error=1.00e0, complexity=3)"
    r = find_formula(X4, SQUARE_PLUS_ONE, max_complexity=1)
    assert repr(r) == "SearchResult(formula='x', error=7.56e0, complexity=1)"


@pytest.mark.parametrize(
    "x_data, y_data, options, text",
    [
        # every leaf's squared error overflows: the first leaf stays best
        ([[1.0]], [1e300], dict(max_complexity=1), "SearchResult(formula='0.0000', error=inf, complexity=1)"),
        # rmse sqrt(17) times (1 - 2): a negative error
        ([[1.0, 2.0]], [3.0, 5.0], dict(max_complexity=1, complexity_penalty=-2.0),
         "SearchResult(formula='0.0000', error=-4.12e0, complexity=1)"),
        # rmse 5e-5 times 1.001 = 5.005e-5, whose stored value lies below the tie
        ([[0.5, 1.0, 2.0, 4.0]], [1.0, 1.0, 1.0, 1.0001], dict(max_complexity=1),
         "SearchResult(formula='1.0000', error=5.00e-5, complexity=1)"),
    ],
)
def test_repr_error_forms(x_data, y_data, options, text):
    assert repr(find_formula(x_data, y_data, **options)) == text


def test_methods_take_no_arguments(square):
    with pytest.raises(TypeError):
        square.to_latex(1)
    with pytest.raises(TypeError):
        square.to_python(x=1)


def exact(fn, xs):
    return [fn(x) for x in xs]


XS = [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize(
    "targets, formula, latex, python",
    [
        (exact(math.sqrt, XS), "sqrt(x)", r"\sqrt{x}", "math.sqrt(x)"),
        (exact(math.exp, XS), "exp(x)", r"\exp(x)", "math.exp(x)"),
        (exact(math.log, XS), "ln(x)", r"\ln(x)", "math.log(x)"),
        (exact(math.sin, XS), "sin(x)", r"\sin(x)", "math.sin(x)"),
        (exact(math.cos, XS), "cos(x)", r"\cos(x)", "math.cos(x)"),
        (exact(lambda x: math.exp(x) - math.log(x), XS), "vok(x, x)", r"\mathrm{vok}(x, x)", "vok(x, x)"),
        (exact(lambda x: 1.0 / x, XS), "(1/x)", "(1/x)", "(1/x)"),
        (exact(lambda x: x * x + 1.0, XS), "((x * x) + 1.0000)", "((x * x) + 1.0000)", "((x * x) + 1.0000)"),
        (exact(lambda x: math.sqrt(x + 1.0), XS), "sqrt((x + 1.0000))", r"\sqrt{(x + 1.0000)}",
         "math.sqrt((x + 1.0000))"),
    ],
)
def test_renderings(targets, formula, latex, python):
    r = find_formula([XS], targets)
    assert (r.formula, r.error) == (formula, 0.0)
    assert r.to_latex() == latex
    assert r.to_python() == "import math\nf = lambda x: " + python


@pytest.mark.parametrize(
    "fn",
    [math.sqrt, math.exp, math.log, math.sin, lambda x: x * x + 1.0, lambda x: math.sqrt(x + 1.0),
     lambda x: 1.0 / x],
)
def test_python_form_reproduces_the_targets(fn):
    targets = exact(fn, XS)
    r = find_formula([XS], targets)
    source = r.to_python()
    assert source.startswith("import math\n")
    namespace = {}
    exec(source, namespace)
    assert [namespace["f"](x) for x in XS] == targets


def test_python_form_of_two_variables_keeps_the_names():
    r = find_formula(XY, [4.0, 10.0, 18.0])
    assert r.to_python() == "import math\nf = lambda x: (y * x)"


# ------------------------------------------------------------ arguments


def test_signature_text():
    assert find_formula.__text_signature__ == (
        "(x_data, y_data, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, "
        "use_vok=True, complexity_penalty=0.001)"
    )
    assert find_formula.__doc__ == (
        "Find a formula fitting x_data \u2192 y_data.\n"
        "x_data: list of column vectors (one per variable), or a single 1D list for univariate.\n"
        "y_data: target values (1D list)."
    )


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((), {}, TypeError, "find_formula() missing 2 required positional arguments: 'x_data' and 'y_data'"),
        ((X4,), {}, TypeError, "find_formula() missing 1 required positional argument: 'y_data'"),
        ((X4, [1.0], 8, 2000, 1e-10, True, True, 0.001, 0), {}, TypeError,
         "find_formula() takes from 2 to 8 positional arguments but 9 were given"),
        ((X4, [1.0]), {"beam": 3}, TypeError, "find_formula() got an unexpected keyword argument 'beam'"),
        ((X4, [1.0], 3), {"max_complexity": 3}, TypeError,
         "find_formula() got multiple values for argument 'max_complexity'"),
        (([1.0, 2.0, 3.0], [1.0, 2.0, 3.0]), {}, TypeError,
         "argument 'x_data': 'float' object cannot be converted to 'Sequence'"),
        (("abc", [1.0]), {}, TypeError, "argument 'x_data': Can't extract `str` to `Vec`"),
        ((["ab"], [1.0]), {}, TypeError, "argument 'x_data': Can't extract `str` to `Vec`"),
        ((X4, {1.0}), {}, TypeError, "argument 'y_data': 'set' object cannot be converted to 'Sequence'"),
        ((X4, [1.0]), {"use_trig": 1}, TypeError,
         "argument 'use_trig': 'int' object cannot be converted to 'PyBool'"),
        ((X4, [1.0]), {"use_vok": None}, TypeError,
         "argument 'use_vok': 'NoneType' object cannot be converted to 'PyBool'"),
        ((X4, [1.0]), {"max_complexity": 2.0}, TypeError,
         "argument 'max_complexity': 'float' object cannot be interpreted as an integer"),
        ((X4, [1.0]), {"beam_width": "5"}, TypeError,
         "argument 'beam_width': 'str' object cannot be interpreted as an integer"),
        ((X4, [1.0]), {"precision_goal": "a"}, TypeError, "argument 'precision_goal': must be real number, not str"),
        ((X4, [1.0]), {"complexity_penalty": None}, TypeError,
         "argument 'complexity_penalty': must be real number, not NoneType"),
        # only TypeErrors get the argument name
        ((X4, [1.0]), {"max_complexity": -1}, OverflowError, "can't convert negative int to unsigned"),
        ((X4, [1.0]), {"beam_width": 2**64}, OverflowError, None),
        # the first failing argument in parameter order is reported
        (("abc", "def"), {"use_trig": 1}, TypeError, "argument 'x_data': Can't extract `str` to `Vec`"),
    ],
)
def test_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        find_formula(*args, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_other_sequences_and_numbers_are_accepted():
    r = find_formula((range(1, 5),), (2, 5, 10, 17), max_complexity=True, beam_width=False, precision_goal=0)
    assert summary(r) == ("x", math.sqrt(57.0) * 1.001, 1)


@pytest.mark.parametrize(
    "x_data, message",
    [
        ([], "x_data must hold at least one column"),
        ((), "x_data must hold at least one column"),
        ([[1.0, 2.0, 3.0], [1.0, 2.0]], "x_data column 1 is shorter than column 0 (2 < 3 rows)"),
        ([[1.0], [1.0], []], "x_data column 2 is shorter than column 0 (0 < 1 rows)"),
    ],
)
def test_bad_shapes_raise_before_the_search(x_data, message):
    with pytest.raises(ValueError) as info:
        find_formula(x_data, [1.0, 2.0, 3.0])
    assert str(info.value) == message


def test_conversion_errors_come_before_shape_errors():
    with pytest.raises(TypeError, match=r"^argument 'y_data'"):
        find_formula([], "abc")


@pytest.mark.parametrize("column, name", [(2, "z"), (3, "{"), (8, "\x80"), (135, "\xff"), (136, "\x00")])
def test_variables_beyond_z_are_named_by_code_point(column, name):
    # column j holds j + 1 + k / 10 in row k, so only Var j reproduces it
    x_data = [[j + 1 + k / 10 for k in range(3)] for j in range(column + 1)]
    r = find_formula(x_data, x_data[column])
    assert summary(r) == (name, 0.0, 1)
    assert repr(r) == f"SearchResult(formula='{name}', error=0.00e0, complexity=1)"
    assert r.to_latex() == name


def test_a_signal_stops_a_search_asked_for_endless_levels():
    import signal

    class Stop(Exception):
        pass

    def handler(*_):
        raise Stop()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(Stop):  # only the signal ends it
            vok_core.find_formula([[1.0, 2.0, 3.0]], [0.3, -7.0, 11.0], max_complexity=2**64 - 1, beam_width=4)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The module is usable afterwards.
    assert vok_core.find_formula([[1.0, 2.0]], [1.0, 2.0]).formula == "x"


def test_a_search_past_its_memory_limit_says_so():
    with pytest.raises(MemoryError, match="memory limit"):
        vok_core.find_formula([[1.0, 2.0, 3.0]], [0.3, -7.0, 11.0], max_complexity=2**64 - 1, beam_width=2**64 - 1)
