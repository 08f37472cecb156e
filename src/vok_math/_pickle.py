"""Pickling and copying of vok_core's classes, registered with copyreg so
that the classes themselves stay as they are.

Floats travel as their 64-bit patterns, so every field comes back bit for bit
under every pickle protocol (protocol 0 would otherwise write NaN without its
sign and payload).
"""

import copyreg
import struct

from . import vok_core


def _bits(v: float) -> int:
    return struct.unpack("<q", struct.pack("<d", v))[0]


def _float(bits: int) -> float:
    try:
        return struct.unpack("<d", struct.pack("<q", bits))[0]
    except struct.error:  # a crafted pickle: not a signed 64-bit integer
        raise ValueError(f"not the bit pattern of a float: {bits!r:.100}") from None


def _point(x: int, y: int) -> vok_core.VOKPoint:
    return vok_core.VOKPoint(_float(x), _float(y))


def _pair(real: int, imag: int) -> vok_core.VOKPair:
    return vok_core.VOKPair(_float(real), _float(imag))


def _knot(point: vok_core.VOKPoint, n: int, phase: int) -> vok_core.VOKKnot:
    # The phase is stored reduced modulo 2*pi; reducing it again is exact.
    return vok_core.VOKKnot(point, n, _float(phase))


def _search_result(formula: str, error: int, complexity: int, params: list) -> vok_core.PySearchResult:
    from . import _ext  # the second extension module, loaded only when needed

    return _ext.search_result(formula, _float(error), complexity, [_float(p) for p in params])


def register() -> None:
    copyreg.pickle(vok_core.VOKPoint, lambda p: (_point, (_bits(p.x), _bits(p.y))))
    copyreg.pickle(vok_core.VOKPair, lambda p: (_pair, (_bits(p.real), _bits(p.imag))))
    copyreg.pickle(vok_core.VOKKnot, lambda k: (_knot, (k.point, k.flip_count, _bits(k.phase))))
    copyreg.pickle(vok_core.PySearchResult,
                   lambda r: (_search_result, (r.formula, _bits(r.error), r.complexity, list(map(_bits, r.params)))))
