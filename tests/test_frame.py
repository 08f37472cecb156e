"""The module frame: registration, binding messages, argument kinds,
robustness against hostile sequences, and the worker pool seen from Python."""

import multiprocessing
import os
import subprocess
import sys
import textwrap

import pytest

import vok_core
from vok_math import vok_core as packaged

ALL_NAMES = [
    "VOKPoint", "VOKPair", "VOKKnot", "schrodinger_step_n", "rotate_phase_n", "simulate_pulses_n",
    "boost_n", "exp_n", "ln_n", "add_n", "sub_n", "mul_n", "div_n", "sqrt_n", "sin_n", "cos_n",
    "tension_n", "pow_n", "christoffel_batch_n", "octonion_mul_n", "geometric_product_n",
    "PySearchResult", "find_formula",
]


def run_python(code, env=None):
    """Runs code in a fresh interpreter; returns its stdout."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full_env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# ---------------------------------------------------------------- registration

def test_all_lists_the_names_in_registration_order():
    assert vok_core.__all__ == ALL_NAMES
    assert all(hasattr(vok_core, name) for name in ALL_NAMES)
    assert vok_core.__doc__ == ""
    assert not hasattr(vok_core, "SearchResult")


def test_both_import_paths_give_one_module():
    assert vok_core is packaged
    import vok_math
    assert vok_math.__all__[: len(ALL_NAMES)] == ALL_NAMES and vok_math.exp_n is vok_core.exp_n


def test_reimport_after_removal_returns_the_cached_module():
    out = run_python("""
        import sys, vok_core
        first = sys.modules.pop("vok_math.vok_core"); sys.modules.pop("vok_core")
        import vok_core
        print(vok_core is first, vok_core.__all__ == first.__all__)
    """)
    assert out.split() == ["True", "True"]


def test_second_interpreter_is_refused():
    out = run_python("""
        import _interpreters, vok_core
        iid = _interpreters.create("legacy")
        err = _interpreters.run_string(iid, "import vok_math.vok_core")
        print(err.type.__name__, "sub-interpreters" in err.msg)
        print(vok_core.exp_n([0.0]))
    """)
    assert out.split("\n")[:2] == ["ImportError True", "[1.0]"]


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("exp_n", "(xs)", "Batch exp: [exp(x) for x in xs] \u2014 Rayon parallel."),
        ("ln_n", "(ys)", "Batch ln: [ln(y) for y in ys] \u2014 Rayon parallel, frame-shift guard applied."),
        ("add_n", "(as_, bs)", "Batch add: [a + b for (a, b) in zip(as_, bs)] \u2014 Rayon parallel."),
        ("div_n", "(as_, bs)", "Batch div: [a / b] \u2014 NaN for |b| < 1e-300 \u2014 Rayon parallel."),
        ("pow_n", "(bases, exps)",
         "Batch pow: [|base|^exp for (base, exp) in zip(bases, exps)] \u2014 Rayon parallel."),
        ("tension_n", "(xs, ys)",
         "Batch vok_tension: [vok(x, y) for (x, y) in zip(xs, ys)] \u2014 Rayon parallel."),
        ("boost_n", "(points, phis, c)",
         "Batch Lorentz boost: apply boost(phi_i, c) to each (x_i, y_i) point in parallel.\n"
         "Returns Vec of (x', y') tuples."),
        ("christoffel_batch_n", "(points, lam, mu, nu, rs)",
         "Batch Schwarzschild Christoffel evaluation.\npoints: Vec of (x, _) where r = exp(x).\n"
         "Returns Vec of \u0393^lam_{mu nu} values for each point."),
        ("find_formula",
         "(x_data, y_data, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, "
         "use_vok=True, complexity_penalty=0.001)",
         "Find a formula fitting x_data \u2192 y_data.\nx_data: list of column vectors (one per variable), "
         "or a single 1D list for univariate.\ny_data: target values (1D list)."),
    ],
)
def test_text_signatures_and_docstrings(name, signature, doc):
    fn = getattr(vok_core, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "vok_core"


@pytest.mark.parametrize("name", ["VOKPoint", "VOKPair", "VOKKnot", "PySearchResult"])
def test_classes_are_final_plain_types(name):
    cls = getattr(vok_core, name)
    assert type(cls) is type and cls.__module__ == "vok_core" and cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


# ---------------------------------------------------------------- binding

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vok_core.exp_n(x=[0.0]), "exp_n() got an unexpected keyword argument 'x'"),
        (lambda: vok_core.exp_n(), "exp_n() missing 1 required positional argument: 'xs'"),
        (lambda: vok_core.exp_n([0.0], [1.0]), "exp_n() takes 1 positional arguments but 2 were given"),
        (lambda: vok_core.add_n([1.0], [2.0], [3.0], [4.0]),
         "add_n() takes 2 positional arguments but 4 were given"),
        (lambda: vok_core.add_n(), "add_n() missing 2 required positional arguments: 'as_' and 'bs'"),
        (lambda: vok_core.add_n([1.0], as_=[2.0]), "add_n() got multiple values for argument 'as_'"),
        (lambda: vok_core.boost_n(), "boost_n() missing 3 required positional arguments: 'points', 'phis', and 'c'"),
        (lambda: vok_core.boost_n([], c=1.0), "boost_n() missing 1 required positional argument: 'phis'"),
        (lambda: vok_core.christoffel_batch_n([]),
         "christoffel_batch_n() missing 4 required positional arguments: 'lam', 'mu', 'nu', and 'rs'"),
        (lambda: vok_core.find_formula(), "find_formula() missing 2 required positional arguments: 'x_data' and 'y_data'"),
        (lambda: vok_core.find_formula(*range(9)),
         "find_formula() takes from 2 to 8 positional arguments but 9 were given"),
        (lambda: vok_core.VOKPoint(), "VOKPoint.__new__() missing 2 required positional arguments: 'x' and 'y'"),
        (lambda: vok_core.VOKKnot(1, 2, 3, 4), "VOKKnot.__new__() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: vok_core.VOKPoint(0.0, 1.0).boost(0.0), "VOKPoint.boost() missing 1 required positional argument: 'c'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_by_exact_name():
    assert vok_core.exp_n(xs=[0.0]) == [1.0]
    assert vok_core.sub_n(bs=[1.0], as_=[3.0]) == [2.0]
    assert vok_core.VOKPoint(y=1.0, x=0.0).tension() == 1.0


def test_binding_errors_come_before_conversion():
    # 'xs' is bad, but the unknown keyword is reported first.
    with pytest.raises(TypeError, match="unexpected keyword argument 'zz'"):
        vok_core.exp_n("abc", zz=1)


# ---------------------------------------------------------------- kinds

class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Indexy:
    def __index__(self):
        return 3


@pytest.mark.parametrize(
    "arg, expected",
    [
        ([0], [1.0]), ((0.0, 0), [1.0, 1.0]), (range(2), [1.0, 2.718281828459045]), (bytes(1), [1.0]),
        ([True], [2.718281828459045]), ([Floaty(0.0)], [1.0]), ([Indexy()], [20.085536923187668]),
    ],
)
def test_float_sequence_accepts_any_sequence_of_numbers(arg, expected):
    assert vok_core.exp_n(arg) == expected


@pytest.mark.parametrize(
    "arg, exc, message",
    [
        ("abc", TypeError, "argument 'xs': Can't extract `str` to `Vec`"),
        ({1.0}, TypeError, "argument 'xs': 'set' object cannot be converted to 'Sequence'"),
        ({1.0: 2.0}, TypeError, "argument 'xs': 'dict' object cannot be converted to 'Sequence'"),
        ((x for x in [1.0]), TypeError, "argument 'xs': 'generator' object cannot be converted to 'Sequence'"),
        (3.0, TypeError, "argument 'xs': 'float' object cannot be converted to 'Sequence'"),
        (["a"], TypeError, "argument 'xs': must be real number, not str"),
        ([None], TypeError, "argument 'xs': must be real number, not NoneType"),
        ([10**400], OverflowError, "int too large to convert to float"),
    ],
)
def test_float_sequence_errors(arg, exc, message):
    with pytest.raises(exc) as info:
        vok_core.exp_n(arg)
    assert type(info.value) is exc and str(info.value) == message


def test_type_error_is_renamed_keeping_its_cause():
    class Bad:
        def __float__(self):
            raise TypeError("boom") from KeyError("root")

    with pytest.raises(TypeError) as info:
        vok_core.exp_n([Bad()])
    assert str(info.value) == "argument 'xs': boom"
    assert isinstance(info.value.__cause__, KeyError)


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize("exc", [ValueError, TypeErrorSubclass])  # only an exact TypeError is renamed
def test_other_exceptions_pass_unchanged(exc):
    class Bad:
        def __float__(self):
            raise exc("nope")

    with pytest.raises(exc) as info:
        vok_core.exp_n([Bad()])
    assert type(info.value) is exc and str(info.value) == "nope"


def test_first_bad_argument_in_parameter_order_is_reported():
    with pytest.raises(TypeError, match="argument 'as_'"):
        vok_core.add_n("x", "y")
    with pytest.raises(TypeError, match="argument 'bs'"):
        vok_core.add_n([1.0], "y")


@pytest.mark.parametrize(
    "points, exc, message",
    [
        ([[0.0, 1.0]], TypeError, "argument 'points': 'list' object cannot be converted to 'PyTuple'"),
        ([(0.0, 1.0, 2.0)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([(0.0, "a")], TypeError, "argument 'points': must be real number, not str"),
        ("ab", TypeError, "argument 'points': Can't extract `str` to `Vec`"),
    ],
)
def test_point_sequence_kind(points, exc, message):
    with pytest.raises(exc) as info:
        vok_core.boost_n(points, [0.0], 1.0)
    assert type(info.value) is exc and str(info.value) == message


def test_point_sequence_accepts_tuple_subclasses():
    import collections
    P = collections.namedtuple("P", "x y")
    assert vok_core.boost_n([P(0.0, 1.0)], [0.0], 1.0) == [(0.0, 1.0)]


@pytest.mark.parametrize(
    "item, exc, message",
    [
        ([1.0] * 7, ValueError, "expected a sequence of length 8 (got 7)"),
        (3.0, TypeError, "argument 'a_batch': 'float' object cannot be converted to 'Sequence'"),
        ("abcdefgh", TypeError, "argument 'a_batch': must be real number, not str"),
    ],
)
def test_octet_sequence_kind(item, exc, message):
    with pytest.raises(exc) as info:
        vok_core.octonion_mul_n([item], [[1.0] + [0.0] * 7])
    assert type(info.value) is exc and str(info.value) == message


def test_octet_items_may_be_any_sequence():
    assert vok_core.octonion_mul_n([tuple(range(8))], [range(1, 2)] and [[1] + [0] * 7]) == [
        [float(i) for i in range(8)]]


def test_nested_sequence_kind():
    with pytest.raises(TypeError, match="^argument 'a_batch': Can't extract `str` to `Vec`$"):
        vok_core.geometric_product_n(["ab"], [[1.0]], [])
    assert vok_core.geometric_product_n([(3,)], [range(2, 3)], ()) == [[6.0]]


@pytest.mark.parametrize(
    "signature, exc, message",
    [
        ([128], OverflowError, "out of range integral type conversion attempted"),
        ([-129], OverflowError, "out of range integral type conversion attempted"),
        ([1.0], TypeError, "argument 'signature': 'float' object cannot be interpreted as an integer"),
        ([2**70], OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_small_integer_sequence_kind(signature, exc, message):
    with pytest.raises(exc) as info:
        vok_core.geometric_product_n([[1.0]], [[1.0]], signature)
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize(
    "lam, exc, message",
    [
        (1.0, TypeError, "argument 'lam': 'float' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
    ],
)
def test_count_kind(lam, exc, message):
    with pytest.raises(exc) as info:
        vok_core.christoffel_batch_n([(0.0, 0.0)], lam, 0, 1, 0.5)
    assert type(info.value) is exc and str(info.value) == message


def test_count_kind_accepts_index_objects():
    assert vok_core.christoffel_batch_n([(0.0, 5.0)], Indexy(), 0, 1, 0.5) == [0.0]
    assert vok_core.christoffel_batch_n([(0.0, 5.0)], 2**64 - 1, 0, 1, 0.5) == [0.0]


@pytest.mark.parametrize(
    "n, exc, message",
    [
        (1.5, TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
        (2**63, OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_integer_kind(n, exc, message):
    with pytest.raises(exc) as info:
        vok_core.VOKKnot(vok_core.VOKPoint(0.0, 1.0), n)
    assert type(info.value) is exc and str(info.value) == message


def test_flag_kind():
    p = vok_core.VOKPoint(0.5, 2.0)
    assert p.minkowski_delta(True, 1.0) == p.minkowski_delta(False, 1.0)
    with pytest.raises(TypeError) as info:
        p.minkowski_delta(1, 1.0)
    assert str(info.value) == "argument 'plus_signature': 'int' object cannot be converted to 'PyBool'"
    np = pytest.importorskip("numpy")
    assert p.minkowski_delta(np.bool_(True), 1.0) == p.minkowski_delta(True, 1.0)
    with pytest.raises(TypeError, match="'numpy.ndarray' object|'ndarray' object"):
        p.minkowski_delta(np.array([True]), 1.0)


def test_float_kind_for_scalars():
    assert vok_core.boost_n([(0.0, 1.0)], [0.0], 1) == [(0.0, 1.0)]
    with pytest.raises(TypeError, match="^argument 'c': must be real number, not str$"):
        vok_core.boost_n([(0.0, 1.0)], [0.0], "1")


# ---------------------------------------------------------------- robustness

class LyingLength:
    """A sequence whose __len__ disagrees with what iteration yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("length", [0, 1, 10**6, 2**62, RuntimeError("len failed")])
def test_reported_length_only_presizes(length):
    assert vok_core.exp_n(LyingLength([0.0, 0.0, 0.0], length)) == [1.0, 1.0, 1.0]


def test_length_too_large_for_the_interpreter():
    assert vok_core.exp_n(LyingLength([0.0], 2**70)) == [1.0]


def test_iteration_error_midway_propagates():
    class Breaks:
        def __len__(self):
            return 5

        def __getitem__(self, i):
            if i == 2:
                raise KeyError("midway")
            return 1.0

    with pytest.raises(KeyError, match="midway"):
        vok_core.exp_n(Breaks())


@pytest.mark.parametrize("action", ["clear", "pop", "extend"])
def test_items_that_mutate_the_list_while_converting(action):
    data = []

    class Mutator:
        def __float__(self):
            if action == "clear":
                data.clear()
            elif action == "pop":
                data.pop()
            else:
                data.extend([2.0] * 3)
            return 0.0

    data.extend([1.0, Mutator(), 1.0, 1.0])
    result = vok_core.exp_n(data)
    expected = {"clear": [2.718281828459045, 1.0], "pop": [2.718281828459045, 1.0, 2.718281828459045],
                "extend": None}[action]
    if expected is None:
        assert result[:3] == [2.718281828459045, 1.0, 2.718281828459045] and len(result) == 7
    else:
        assert result == expected


def test_point_items_that_mutate_the_list():
    data = []

    class Mutator:
        def __float__(self):
            data.clear()
            return 0.0

    data.extend([(Mutator(), 1.0), (0.0, 1.0)])
    assert vok_core.boost_n(data, [0.0, 0.0], 1.0) == [(0.0, 1.0)]


def test_results_are_new_lists_and_inputs_untouched():
    xs = [0.0, 1.0]
    snapshot = list(xs)
    out = vok_core.exp_n(xs)
    assert out is not xs and xs == snapshot
    assert vok_core.exp_n(xs) is not out


# ---------------------------------------------------------------- pool

def _child_work(_):
    return vok_core.tension_n([0.0] * 20000, [1.0] * 20000)[-1]


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_forked_child_can_use_the_pool():
    vok_core.exp_n([0.0] * 50000)  # the pool exists in this process now
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as workers:
        assert workers.map(_child_work, range(4)) == [1.0] * 4


@pytest.mark.parametrize("env", [{"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "+3"},
                                 {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"},
                                 {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "5"}])
def test_results_do_not_depend_on_the_worker_count(env):
    # RAYON_NUM_THREADS=0 means the default (one worker per available CPU),
    # not "ask RAYON_RS_NUM_CPUS"; only garbage there hands over to it.
    code = """
        import vok_core, hashlib, struct
        xs = [i * 0.001 - 30.0 for i in range(60000)]
        out = vok_core.tension_n(xs, list(reversed(xs)))
        print(hashlib.sha256(struct.pack(f"{len(out)}d", *out)).hexdigest())
        print(len([t for t in __import__("os").listdir("/proc/self/task")]))
    """
    digest, threads = run_python(code, env).split()
    reference, _ = run_python(code, {"RAYON_NUM_THREADS": "2"}).split()
    assert digest == reference
    if env["RAYON_NUM_THREADS"] == "0":  # the default: what no usable setting gives
        expected_workers = int(run_python(code, {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": ""}).split()[1]) - 1
        assert 1 <= expected_workers <= len(os.sched_getaffinity(0))
    else:
        expected_workers = {"1": 1, "+3": 3, "x": 5}[env["RAYON_NUM_THREADS"]]
    assert int(threads) == expected_workers + 1  # the workers and the main thread


def test_pool_starts_with_the_first_call_past_conversion():
    out = run_python("""
        import os, vok_core
        threads = lambda: len(os.listdir("/proc/self/task"))
        print(threads())  # nothing starts at import
        try:
            vok_core.exp_n("abc")
        except TypeError:
            pass
        print(threads())  # nor on a call that fails its conversion
        vok_core.exp_n([])
        print(threads())  # an empty input still brings the pool up
    """, {"RAYON_NUM_THREADS": "3"})
    assert out.split() == ["1", "1", "4"]


def test_pool_start_failure_is_reported_on_every_call():
    out = run_python("""
        import resource, vok_core
        size = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (4 << 20), resource.RLIM_INFINITY))
        for _ in range(2):
            try:
                vok_core.exp_n([1.0, 2.0])
            except RuntimeError as e:
                print(type(e).__name__, str(e).startswith("The global thread pool has not been initialized."))
    """)
    assert out.split("\n")[:2] == ["InternalError True", "InternalError True"]


def test_type_stub_names_match_the_module():
    """The published stub lists exactly the module's names (it cannot drift silently)."""
    import ast
    import pathlib
    import vok_math
    stub = pathlib.Path(vok_math.__file__).with_name("vok_core.pyi")
    tree = ast.parse(stub.read_text())
    names = [node.name for node in tree.body if isinstance(node, (ast.FunctionDef, ast.ClassDef))]
    assert sorted(names) == sorted(ALL_NAMES)
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            import inspect
            params = [a.arg for a in node.args.args]
            assert params == list(inspect.signature(getattr(vok_core, node.name)).parameters)


def test_flag_kind_judges_numpy_booleans_by_name_and_module():
    p = vok_core.VOKPoint(0.5, 2.0)
    no_truth = type("bool_", (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as info:
        p.minkowski_delta(no_truth(), 1.0)
    assert str(info.value) == ("argument 'plus_signature': object of type '<class 'numpy.bool_'>' "
                               "does not define a '__bool__' conversion")
    with_truth = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: False})
    assert p.minkowski_delta(with_truth(), 1.0) == p.minkowski_delta(False, 1.0)
    odd_module = type("bool_", (), {})
    odd_module.__module__ = 5  # not a string: simply not NumPy's
    with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
        p.minkowski_delta(odd_module(), 1.0)


@pytest.mark.parametrize("enabled", [True, False])
def test_building_large_results_leaves_the_collector_as_it_was(enabled):
    import gc
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        out = vok_core.boost_n([(0.0, 1.0)] * 20000, [0.0] * 20000, 1.0)
        assert gc.isenabled() is enabled
        assert out[-1] == (0.0, 1.0) and len(out) == 20000
    finally:
        (gc.enable if was else gc.disable)()


def test_shared_object_exports_only_the_entry_and_searches_its_libs_dir():
    import shutil
    so = vok_core.__file__
    if shutil.which("nm") is None or shutil.which("readelf") is None:
        pytest.skip("binutils not installed")
    symbols = subprocess.run(["nm", "-D", "--defined-only", so], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in symbols.splitlines() if line.strip()] == ["PyInit_vok_core"]
    dynamic = subprocess.run(["readelf", "-d", so], capture_output=True, text=True, check=True).stdout
    assert "[$ORIGIN/../vok_math.libs]" in dynamic
