"""Top-level alias: ``import vok_core`` gives the extension module
``vok_math.vok_core`` itself."""

import sys

from vok_math import vok_core as _vok_core

sys.modules[__name__] = _vok_core
