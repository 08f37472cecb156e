"""vok_math: batch numeric kernels, tension-geometry value classes, algebra
kernels and formula discovery, implemented in the C++ extension vok_core;
discover() finds formulas on named data (NumPy arrays, DataFrames)."""

from . import vok_core
from .vok_core import *  # noqa: F401,F403
from . import _pickle
from .discovery import Formula, discover, discover_many

_pickle.register()

__all__ = list(vok_core.__all__) + ["Formula", "discover", "discover_many"]
