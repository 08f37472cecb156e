"""Formula: a discovered expression with its variables' names and scores."""

from __future__ import annotations

import struct
from dataclasses import dataclass, field, fields
from typing import Any

import numpy as np

from .. import _ext
from . import _data, _render


def _bits(v: float) -> int:
    return struct.unpack("<q", struct.pack("<d", v))[0]


@dataclass(frozen=True, slots=True, eq=False)
class Formula:
    """A formula found by vok_math.discover.

    tokens      the engine's expression, postfix (kind, operator, index, value)
    names       the variables' names, in column order
    error       the search's score: rmse * (1 + complexity * complexity_penalty)
    complexity  the number of tokens
    rmse        the root-mean-square error on the data the search saw
    complete    False when a time limit, an interrupt, the progress callback
                or the memory limit ended the search early
    front       the Pareto front of the search: for each complexity seen, the
                best formula, kept when its rmse beats every simpler one
    """

    tokens: tuple[tuple[int, int, int, float], ...]
    names: tuple[str, ...]
    error: float
    complexity: int
    rmse: float
    complete: bool = True
    front: tuple[Formula, ...] = field(default=())

    def __post_init__(self) -> None:
        # Tokens and names as the engine reads them: a ValueError for anything
        # but one well-formed expression over distinct, named variables (and
        # a front of anything but Formulas).
        names = () if isinstance(self.names, str) else tuple(self.names)
        if isinstance(self.names, str) or not all(isinstance(n, str) for n in names):
            raise ValueError(f"names must be a sequence of strings, not {self.names!r}")
        if len(set(names)) != len(names):
            raise ValueError(f"variable names must differ: {names}")
        for n in names:
            n.encode("utf-8")  # a lone surrogate cannot be rendered (UnicodeEncodeError is a ValueError)
        front = tuple(self.front)
        if not all(isinstance(f, Formula) for f in front):
            raise ValueError("front must hold Formulas")
        object.__setattr__(self, "names", names)
        object.__setattr__(self, "tokens", _ext.read_tokens(self.tokens, len(names)))
        object.__setattr__(self, "front", front)

    def __setstate__(self, state: Any) -> None:
        # Unpickling (state as the dataclass's __getstate__ gives it: the
        # fields' values in order) checks its fields as the constructor does.
        names = [f.name for f in fields(self)]
        if not isinstance(state, (list, tuple)) or len(state) != len(names):
            raise ValueError(f"a Formula's state lists its {len(names)} fields")
        for name, value in zip(names, state):
            object.__setattr__(self, name, value)
        self.__post_init__()

    def __str__(self) -> str:
        return _ext.render(self.tokens, self.names)

    def __repr__(self) -> str:
        return (f"Formula({str(self)!r}, error={self.error!r}, complexity={self.complexity}, "
                f"rmse={self.rmse!r}, complete={self.complete})")

    def _key(self) -> tuple:
        # Floats by their bits, so that NaN scores compare equal to themselves.
        tokens = tuple((k, o, i, _bits(v)) for k, o, i, v in self.tokens)
        return (tokens, self.names, _bits(self.error), self.complexity, _bits(self.rmse), self.complete,
                tuple(f._key() for f in self.front))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Formula):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    @property
    def formula(self) -> str:
        """The formula text, as str() gives it."""
        return str(self)

    def predict(self, X: Any) -> np.ndarray:
        """The formula's values at every row of X (an array of shape
        (rows, variables), a DataFrame or a mapping with the variables'
        names), computed by the search's own evaluator: the same guards and
        bit for bit the values it scored. Rows where an operator fails its
        domain or overflows give NaN."""
        columns = _data.predictors(X, self.names)
        if not columns[0].size:
            return np.empty(0)
        return np.frombuffer(_ext.evaluate(self.tokens, columns), dtype=np.float64).copy()

    def to_latex(self) -> str:
        """LaTeX for the formula (\\frac, \\sqrt{}, \\exp, \\cdot, ...)."""
        return _render.to_latex(self.tokens, self.names)

    def to_python(self) -> str:
        """Python source defining f(<all variables>) and the vok it may call."""
        return _render.to_python(self.tokens, self.names)

    def to_sympy(self) -> Any:
        """The formula as a SymPy expression over Symbols named after the
        variables (needs SymPy); vok(a, b) becomes exp(a) - log(b)."""
        return _render.to_sympy(self.tokens, self.names)
