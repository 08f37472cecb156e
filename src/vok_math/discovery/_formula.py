"""Formula: a discovered expression with its variables' names and scores."""

from __future__ import annotations

import math
import struct
import sys
from dataclasses import dataclass, field, fields
from typing import Any, TextIO

import numpy as np

from .. import _ext
from . import _data, _ops, _render


def _bits(v: float) -> int:
    return struct.unpack("<q", struct.pack("<d", v))[0]


@dataclass(frozen=True, slots=True, eq=False)
class Formula:
    """A formula found by vok_math.discover.

    tokens      the engine's expression, postfix (kind, operator, index, value);
                Param token i reads params[i]
    names       the variables' names, in column order
    error       the search's score: the rmse (relative to the target's spread
                when constants are fitted) times 1 + complexity * complexity_penalty
    complexity  the number of tokens of the formula's shape (a fitted outer
                scale and offset not counted)
    rmse        the root-mean-square error on the data the search saw:
                predict() reproduces it bit for bit
    complete    False when a time limit, an interrupt, the progress callback
                or the memory limit ended the search early
    front       the Pareto front of the search: for each complexity seen, the
                best formula, kept when its rmse beats every simpler one
    params      the fitted constants, in full precision
    r2          the coefficient of determination, 1 - rmse^2 / variance(y)
    target      the name of what the formula explains, when the data named it
    path        how the formula was found, one short line per step (a
                reduction by units, ...); explain() prints it
    """

    tokens: tuple[tuple[int, int, int, float], ...]
    names: tuple[str, ...]
    error: float
    complexity: int
    rmse: float
    complete: bool = True
    front: tuple[Formula, ...] = field(default=())
    params: tuple[float, ...] = ()
    r2: float = math.nan
    target: str | None = None
    path: tuple[str, ...] = ()

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
        params = tuple(map(float, self.params))
        tokens = _ext.read_tokens(self.tokens, len(names))
        if any(kind == _ops.PARAM and index >= len(params) for kind, _, index, _ in tokens):
            raise ValueError(f"a constant of the formula has no value among its {len(params)} params")
        object.__setattr__(self, "names", names)
        object.__setattr__(self, "tokens", tokens)
        object.__setattr__(self, "front", front)
        object.__setattr__(self, "params", params)
        path = () if isinstance(self.path, str) else tuple(self.path)
        if isinstance(self.path, str) or not all(isinstance(step, str) for step in path):
            raise ValueError(f"path must be a sequence of strings, not {self.path!r}")
        object.__setattr__(self, "path", path)

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
        return self.formula if self.target is None else f"{self.target} = {self.formula}"

    def __repr__(self) -> str:
        text = _render.to_text(self.tokens, self.names, self.params, digits=None)
        if self.target is not None:
            text = f"{self.target} = {text}"
        return (f"Formula({text!r}, params={self.params!r}, error={self.error!r}, "
                f"complexity={self.complexity}, rmse={self.rmse!r}, r2={self.r2!r}, complete={self.complete})")

    def _key(self) -> tuple:
        # Floats by their bits, so that NaN scores compare equal to themselves.
        tokens = tuple((k, o, i, _bits(v)) for k, o, i, v in self.tokens)
        return (tokens, self.names, _bits(self.error), self.complexity, _bits(self.rmse), self.complete,
                tuple(f._key() for f in self.front), tuple(map(_bits, self.params)), _bits(self.r2), self.target,
                self.path)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Formula):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def explain(self, file: TextIO | None = None) -> None:
        """Prints how the formula was found: the formula, then each step of
        its path (to stdout, or to file)."""
        steps = [f"  {i}. {step}" for i, step in enumerate(self.path, 1)] or ["  found by one search"]
        print("\n".join([str(self), *steps]), file=file or sys.stdout)

    @property
    def formula(self) -> str:
        """The right-hand side, constants to 4 significant digits."""
        return _render.to_text(self.tokens, self.names, self.params)

    def predict(self, X: Any) -> np.ndarray:
        """The formula's values at every row of X (an array of shape
        (rows, variables), a DataFrame or a mapping with the variables'
        names), computed by the search's own evaluator with the constants in
        full precision: the same guards and bit for bit the values it scored.
        Rows where an operator fails its domain or overflows give NaN."""
        columns = _data.predictors(X, self.names)
        if not columns[0].size:
            return np.empty(0)
        return np.frombuffer(_ext.evaluate(self.tokens, columns, self.params), dtype=np.float64).copy()

    def to_latex(self, digits: int | None = 4) -> str:
        """LaTeX for the right-hand side (\\frac, \\sqrt{}, \\exp, \\cdot, ...),
        constants to `digits` significant digits (None: in full)."""
        return _render.to_latex(self.tokens, self.names, self.params, digits)

    def to_python(self) -> str:
        """Python source defining f(<all variables>) (and the vok it may call),
        which computes what predict() computes, constants written exactly;
        names that are not identifiers, or clash, are renamed."""
        return _render.to_python(self.tokens, self.names, self.params)

    def to_sympy(self) -> Any:
        """The formula as a SymPy expression over Symbols named after the
        variables (needs SymPy); fitted constants are Floats in full
        precision, snapped ones Rationals (times pi); vok(a, b) becomes
        exp(a) - log(b)."""
        return _render.to_sympy(self.tokens, self.names, self.params)
