"""vok_core's kernels as NumPy ufuncs.

Every ufunc computes, element for element, the value of its list function in
``vok_core`` (the same compiled formula, bit for bit), with everything a ufunc
offers: broadcasting, ``out=``, ``where=``, ``reduce``/``accumulate`` and
casting of float32, integer and bool inputs to float64. Large calls run on the
worker pool vok_core uses too, with the interpreter lock released, so other
Python threads keep running. Because they are real ufuncs, ``dask.array``
applies them block by block, and they pickle by reference.

Element-wise (``x``, ``a``, ``b`` ... are float64 arrays):
    exp, ln, add, sub, mul, div, sqrt, sin, cos, pow, tension, and
    christoffel(x, lam, mu, nu, rs), where x is the first coordinate of a
    christoffel_batch_n point (the log of the radius): for points p of shape
    (..., 2) pass p[..., 0]. add and mul have identities (0 and 1) for
    reductions; a reduction adds in index order along its axis.

Records (generalized ufuncs):
    boost(points (..., 2), phi, c) -> (..., 2)
    octonion_mul(a (..., 8), b (..., 8)) -> (..., 8)
    geometric_product(a (..., 2**d), b (..., 2**d), signature (..., d) int) -> (..., 2**d)

Requires NumPy (imported here, not by ``vok_core``).
"""

from vok_math import _ext
from vok_math._optional import require

require("numpy", "vok_math.ufunc")

_UFUNCS = _ext.ufuncs()

exp = _UFUNCS["exp"]
ln = _UFUNCS["ln"]
add = _UFUNCS["add"]
sub = _UFUNCS["sub"]
mul = _UFUNCS["mul"]
div = _UFUNCS["div"]
sqrt = _UFUNCS["sqrt"]
sin = _UFUNCS["sin"]
cos = _UFUNCS["cos"]
pow = _UFUNCS["pow"]  # noqa: A001 - the name of the kernel (pow_n)
tension = _UFUNCS["tension"]
christoffel = _UFUNCS["christoffel"]
boost = _UFUNCS["boost"]
octonion_mul = _UFUNCS["octonion_mul"]
geometric_product = _UFUNCS["geometric_product"]

__all__ = [
    "exp", "ln", "add", "sub", "mul", "div", "sqrt", "sin", "cos", "pow", "tension",
    "christoffel", "boost", "octonion_mul", "geometric_product",
]

# Pickle finds a ufunc through its __module__ and name: point it here, so a
# Dask worker (or any process) unpickles the very same object.
for _name in __all__:
    _UFUNCS[_name].__module__ = __name__
    _UFUNCS[_name].__qualname__ = _name
del _name
