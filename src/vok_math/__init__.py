"""vok_math: batch numeric kernels, tension-geometry value classes, algebra
kernels and formula discovery, implemented in the C++ extension vok_core;
discover() finds formulas on named data (NumPy arrays, DataFrames)."""

from importlib.metadata import version as _version

from . import vok_core
from .vok_core import *  # noqa: F401,F403
from . import _pickle

_pickle.register()

_DISCOVERY = ("Formula", "discover", "discover_many")
__all__ = list(vok_core.__all__) + list(_DISCOVERY)
# Loaded on first use too, and left out of __all__: it needs scikit-learn,
# which `from vok_math import *` must not.
_LAZY = (*_DISCOVERY, "SymbolicRegressor")

# The version is written once, in pyproject.toml; the installed metadata carries it.
__version__: str = _version("vok_math")


def __getattr__(name):
    # Discovery needs NumPy: loaded on first use, so that `import vok_core`
    # (which imports this package) stays as light as the extension itself.
    if name in _LAZY:
        from . import discovery
        value = getattr(discovery, name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'vok_math' has no attribute {name!r}")
