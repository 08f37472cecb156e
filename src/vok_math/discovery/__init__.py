"""Formula discovery on named data: discover() runs one search and returns a
Formula; discover_many() runs many on an executor; SymbolicRegressor is
discover() as a scikit-learn estimator."""

from .._optional import require

require("numpy", "vok_math.discover")

from ._formula import Formula  # noqa: E402
from ._many import discover_many  # noqa: E402
from ._report import report  # noqa: E402
from ._search import TextProgress, discover  # noqa: E402

# SymbolicRegressor needs scikit-learn, imported on first use. It is not in
# __all__, so that `from vok_math.discovery import *` works without it.
__all__ = ["Formula", "TextProgress", "discover", "discover_many", "report"]


def __getattr__(name):
    if name == "SymbolicRegressor":
        from ._estimator import SymbolicRegressor
        return SymbolicRegressor
    raise AttributeError(f"module 'vok_math.discovery' has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), "SymbolicRegressor"])
