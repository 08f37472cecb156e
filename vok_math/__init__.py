"""vok_math: batch numeric kernels, tension-geometry value classes, algebra
kernels and formula discovery, implemented in the C++ extension vok_core."""

from . import vok_core
from .vok_core import *  # noqa: F401,F403

__all__ = list(vok_core.__all__)
