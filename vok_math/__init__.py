"""vok_math: batch numeric kernels, tension-geometry value classes, algebra
kernels and formula discovery, implemented in the C++ extension vok_core."""

from importlib.metadata import version as _version

from . import vok_core
from .vok_core import *  # noqa: F401,F403

__all__ = list(vok_core.__all__)

# The version is written once, in pyproject.toml; the installed metadata carries it.
__version__: str = _version("vok_math")
