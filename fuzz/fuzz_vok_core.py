"""Fuzzes every name of vok_core, and vok_math._ext, with hostile arguments
(atheris/libFuzzer).

    python fuzz/fuzz_vok_core.py [libFuzzer options] [corpus dirs...]

Each input picks one target (fuzz/targets.py: a batch function, find_formula,
a constructor, a method, a property or an operator of the value classes;
with NumPy installed also fuzz/ext_targets.py: tokens, columns and search
options of vok_math._ext, discover()'s input validation, unpickling, and the
ufuncs against their list functions) and draws its arguments from
fuzz/hostile.py. A call may raise any ordinary exception; what fails the run
is a crash or sanitizer report, a hang (libFuzzer's -timeout), a SystemError
(a C-API contract broken: NULL without an exception, a result with one set),
an internal failure other than the documented "capacity overflow", a ufunc
value whose bits differ from its list function's (ext_targets.Finding), or
an object of the call that outlived it (a reference the extension did not
release).

Coverage is that of the Python code of targets.py and hostile.py, which
decides what is called with what. It works only without the ASan runtime
preloaded (that runtime shadows libFuzzer's coverage hooks), so `make
fuzz-corpus` grows fuzz/corpus against the normal build, while `make fuzz`
and the test stage mutate that corpus against the ASan/UBSan build, where a
use-after-free shows up at once.

To replay a crash input, run this file on it with the same environment as
`make fuzz` (the ASan variables of the Makefile): python -P
fuzz/fuzz_vok_core.py build/fuzz/crash-<hash>. Values whose conversion
empties the keyword dict of the running call are among the generated
arguments unless VOK_FUZZ_KWARGS_CLEAR=0.
"""

import os
import shlex
import sys
import warnings

import atheris

try:
    import numpy  # noqa: F401 - imported here so that it is not instrumented below
except ImportError:
    pass

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
with atheris.instrument_imports():
    import hostile
    import targets

    try:
        import ext_targets
    except ImportError:  # no NumPy: vok_core's targets alone
        ext_targets = None
from hostile import HostileBase

TARGETS = targets.TARGETS + (ext_targets.TARGETS if ext_targets else [])

# ------------------------------------------------------------ the test


def is_expected(exc):
    """Whether an exception out of a call is an allowed outcome."""
    if isinstance(exc, SystemError):
        return False  # the extension broke a C-API contract
    if type(exc).__name__ == "InternalError":
        return str(exc) == "capacity overflow"
    return isinstance(exc, (Exception, HostileBase))


def test_one_input(data):
    gen = hostile.Gen(atheris.FuzzedDataProvider(data))
    target = gen.choice(TARGETS)
    try:
        target(gen)
    except BaseException as exc:  # noqa: BLE001 - judged just below
        if not is_expected(exc):
            raise
    leaked = gen.leaked()
    if leaked:
        raise AssertionError(f"{target.__name__}: objects outlived the call: {leaked!r} "
                             f"(refcounts {[sys.getrefcount(o) - 3 for o in leaked]})")


def main():
    warnings.simplefilter("ignore")  # __float__ returning a float subclass is deprecated, and said once per line
    # libFuzzer re-runs argv[0] through the shell for -merge and -fork: make
    # that the interpreter running this file.
    argv = [f"{shlex.quote(sys.executable)} -P {shlex.quote(os.path.abspath(__file__))}"] + sys.argv[1:]
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
