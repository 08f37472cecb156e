# `import vok_core` binds the extension module vok_math.vok_core itself: the
# same names, the same types.
from vok_math.vok_core import *
from vok_math.vok_core import __all__ as __all__
