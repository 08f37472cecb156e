"""Binding a call: the module's names, the messages of a call that does not
bind, and the lifetime of the bound arguments."""

import pathlib
import subprocess
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


# ---------------------------------------------------------------- registration

def test_all_lists_the_names_in_registration_order():
    assert vok_core.__all__ == ALL_NAMES
    assert all(hasattr(vok_core, name) for name in ALL_NAMES)
    assert vok_core.__doc__ == ""
    assert all(getattr(vok_core, name).__module__ == "vok_core" for name in ALL_NAMES)
    assert not hasattr(vok_core, "SearchResult")


def test_both_import_paths_give_one_module():
    assert vok_core is packaged
    import vok_math
    assert vok_math.__all__[: len(ALL_NAMES)] == ALL_NAMES and vok_math.exp_n is vok_core.exp_n


def test_reimport_after_removal_returns_the_cached_module(run_python):
    out = run_python("""
        import sys, vok_core
        first = sys.modules.pop("vok_math.vok_core"); sys.modules.pop("vok_core")
        import vok_core
        print(vok_core is first, vok_core.__all__ == first.__all__)
    """)
    assert out.split() == ["True", "True"]


def test_second_interpreter_is_refused(run_python):
    out = run_python("""
        import _interpreters, vok_core
        iid = _interpreters.create("legacy")
        err = _interpreters.run_string(iid, "import vok_math.vok_core")
        print(err.type.__name__, "sub-interpreters" in err.msg)
        print(vok_core.exp_n([0.0]))
    """)
    assert out.split("\n")[:2] == ["ImportError True", "[1.0]"]


@pytest.mark.parametrize("name", ["VOKPoint", "VOKPair", "VOKKnot", "PySearchResult"])
def test_classes_are_final_plain_types(name):
    cls = getattr(vok_core, name)
    assert type(cls) is type and cls.__module__ == "vok_core" and cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_type_stub_names_match_the_module():
    """The published stub lists exactly the module's names (it cannot drift silently)."""
    import ast
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


def _defined_dynamic_symbols(path):
    import shutil
    if shutil.which("nm") is None or shutil.which("readelf") is None:
        pytest.skip("binutils not installed")
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
    return [line.split()[-1] for line in symbols.splitlines() if line.strip()]


@pytest.mark.parametrize("module, entry", [("vok_math.vok_core", "PyInit_vok_core"), ("vok_math._ext", "PyInit__ext")])
def test_shared_object_exports_only_the_entry_and_searches_its_libs_dir(module, entry):
    import importlib
    so = importlib.import_module(module).__file__
    assert _defined_dynamic_symbols(so) == [entry]
    dynamic = subprocess.run(["readelf", "-d", so], capture_output=True, text=True, check=True).stdout
    assert "[$ORIGIN/../vok_math.libs]" in dynamic


def test_one_runtime_library_exports_only_the_module_entries():
    import vok_math._ext  # noqa: F401 - both modules loaded
    maps = pathlib.Path("/proc/self/maps").read_text().split()
    runtimes = {p for p in maps if pathlib.Path(p).name.startswith("libvok_runtime")}
    assert len(runtimes) == 1
    assert sorted(_defined_dynamic_symbols(runtimes.pop())) == ["vok_runtime_init_ext", "vok_runtime_init_vok_core"]


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


# ---------------------------------------------------------------- argument lifetime

# Each scenario drops the caller's last reference to a later argument while an
# earlier one converts, then allocates so the freed memory is reused. The debug
# allocator poisons freed memory, so reading a dropped argument crashes the
# child or shows up as wrong coordinates.
_LIFETIME_PRELUDE = """
    import gc, vok_core
    class Y:
        def __init__(self, v): self.v = v
        def __float__(self): return self.v
    def drop_dicts_holding(obj):
        for r in gc.get_referrers(obj):
            if type(r) is dict:
                r.clear()
    junk = []
"""


@pytest.mark.parametrize(
    "scenario",
    [
        """
        class X:
            def __float__(self):
                drop_dicts_holding(self)
                junk.extend(Y(-1.0) for _ in range(1000))
                return 1.0
        p = vok_core.VOKPoint(**{"x": X(), "y": Y(2.5)})
        print(p.x, p.y)
        """,
        """
        class X:
            def __float__(self):
                drop_dicts_holding(self)
                junk.extend(Y(-1.0) for _ in range(1000))
                return 1.0
        p = vok_core.VOKPair(**{"real": X(), "imag": Y(2.5)})
        print(p.real, p.imag)
        """,
        """
        class N:
            def __index__(self):
                drop_dicts_holding(self)
                junk.extend(vok_core.VOKPoint(-7.0, -7.0) for _ in range(1000))
                return 0
        k = vok_core.VOKKnot(**{"point": vok_core.VOKPoint(1.0, 2.5), "n": N()})
        print(k.point.x, k.point.y)
        """,
        """
        import ctypes
        d = {}
        class X:
            def __float__(self):
                d.clear()
                junk.extend(Y(-1.0) for _ in range(1000))
                return 1.0
        d.update(x=X(), y=Y(2.5))
        call = ctypes.pythonapi.PyObject_Call
        call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object] * 3
        p = call(vok_core.VOKPoint, (), d)
        print(p.x, p.y)
        """,
        """
        import _thread, threading
        d, done, out = {}, threading.Event(), []
        class X:
            def __float__(self):
                d.clear()
                junk.extend(Y(-1.0) for _ in range(1000))
                return 1.0
        class Record:
            def __init__(self, v): self.v = v
            def __float__(self):
                out.append(self.v)
                done.set()
                return self.v
        d.update(x=X(), y=Record(2.5))
        _thread.start_new_thread(vok_core.VOKPoint, (), d)
        done.wait()  # the subprocess's own time-out bounds a hang
        print(1.0, out[0])
        """,
    ],
    ids=["point-merged-kwargs", "pair-merged-kwargs", "knot-point-dropped", "pyobject-call-dict", "thread-dict"],
)
def test_arguments_outlive_a_conversion_that_drops_them(scenario, run_python):
    if "import ctypes" in scenario:
        pytest.importorskip("ctypes")  # an interpreter may be built without it
    code = textwrap.dedent(_LIFETIME_PRELUDE) + textwrap.dedent(scenario)
    assert run_python(code, {"PYTHONMALLOC": "debug"}).split() == ["1.0", "2.5"]
