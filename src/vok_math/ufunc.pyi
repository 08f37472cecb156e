from typing import Final

import numpy as np

exp: Final[np.ufunc]
ln: Final[np.ufunc]
add: Final[np.ufunc]
sub: Final[np.ufunc]
mul: Final[np.ufunc]
div: Final[np.ufunc]
sqrt: Final[np.ufunc]
sin: Final[np.ufunc]
cos: Final[np.ufunc]
pow: Final[np.ufunc]
tension: Final[np.ufunc]
christoffel: Final[np.ufunc]
boost: Final[np.ufunc]
octonion_mul: Final[np.ufunc]
geometric_product: Final[np.ufunc]

__all__: list[str]
