"""Units: reading them, and reducing a problem to dimensionless groups
(Buckingham pi) before the search.

A unit is a vector of exponents over the base units BASE, read from a string
("kg m s^-2", "m/s", "J/(mol K)", "1") or given as numbers. The dimension
matrix D has one column per variable; its integer null-space gives the
dimensionless groups pi_j = prod x_i ** N_ij, and a solution a of D a = b
(b the target's unit) gives the target's own group y / prod x_i ** a_i.
All arithmetic is exact, on Fractions. A law y = F(x) then reads
y = prod x_i ** a_i * f(pi_1, ..., pi_k), and the search looks for f on k
variables instead of F on n.
"""

from __future__ import annotations

import math
import numbers
import re
from collections.abc import Mapping, Sequence
from fractions import Fraction
from typing import Any

import numpy as np

# The base units, in the order of an exponent vector.
BASE = ("m", "s", "kg", "K", "A", "mol", "cd")
Unit = tuple[Fraction, ...]

# Derived units of the SI with the factor 1 (no prefixes), written in base units.
_DERIVED = {
    "1": "", "rad": "", "sr": "", "Hz": "s^-1", "Bq": "s^-1", "N": "kg m s^-2", "Pa": "kg m^-1 s^-2",
    "J": "kg m^2 s^-2", "W": "kg m^2 s^-3", "C": "A s", "V": "kg m^2 s^-3 A^-1", "F": "kg^-1 m^-2 s^4 A^2",
    "Ohm": "kg m^2 s^-3 A^-2", "Ω": "kg m^2 s^-3 A^-2", "S": "kg^-1 m^-2 s^3 A^2", "Wb": "kg m^2 s^-2 A^-1",
    "T": "kg s^-2 A^-1", "H": "kg m^2 s^-2 A^-2", "lm": "cd", "lx": "cd m^-2", "Gy": "m^2 s^-2",
    "Sv": "m^2 s^-2", "kat": "mol s^-1",
}
_TOKEN = re.compile(r"\s*(?:(\*\*|\^)|([A-Za-zΩ]+)|([+-]?\d+(?:\.\d+)?)|([()*/·.]))")


def _tokens(text: str) -> list[tuple[str, str]]:
    out, pos, text = [], 0, text.strip()
    while pos < len(text):
        match = _TOKEN.match(text, pos)
        if match is None or match.end() == pos:
            raise ValueError(f"unit {text!r}: cannot read {text[pos:].strip()!r}")
        kind = ("power", "symbol", "number", "mark")[[g is not None for g in match.groups()].index(True)]
        out.append((kind, match.group(match.lastindex)))
        pos = match.end()
    return out


class _Parser:
    """unit := product ['/' product]; product := factor+ (joined by space, *, . or ·);
    factor := (symbol | '1' | '(' unit ')') [exponent]; exponent := ('^' | '**') number
    | '^' '(' number ['/' number] ')' | a signed integer right after a symbol (m2, s-2)."""

    def __init__(self, text: str):
        self.text, self.items, self.pos = text, _tokens(text), 0

    def fail(self, why: str) -> ValueError:
        return ValueError(f"unit {self.text!r}: {why}")

    def peek(self) -> tuple[str, str] | None:
        return self.items[self.pos] if self.pos < len(self.items) else None

    def take(self) -> tuple[str, str]:
        item = self.peek()
        if item is None:
            raise self.fail("ends too early")
        self.pos += 1
        return item

    def unit(self) -> Unit:
        result = self.product()
        if self.peek() == ("mark", "/"):
            self.take()
            result = _add(result, self.product(), -1)
            if self.peek() == ("mark", "/"):
                raise self.fail("a second '/' is ambiguous: use parentheses, e.g. J/(mol K)")
        return result

    def product(self) -> Unit:
        result = self.factor()
        while (item := self.peek()) is not None and item[1] not in ("/", ")"):
            if item[0] == "mark" and item[1] in "*·.":
                self.take()
            result = _add(result, self.factor(), 1)
        return result

    def factor(self) -> Unit:
        kind, text = self.take()
        if (kind, text) == ("mark", "("):
            unit = self.unit()
            if self.take() != ("mark", ")"):
                raise self.fail("a '(' is not closed")
        elif kind == "symbol" or (kind, text) == ("number", "1"):
            unit = _symbol(text, self.text)
        else:
            raise self.fail(f"expected a unit symbol at {text!r} (units carry no numbers other than 1)")
        item = self.peek()
        if item is not None and item[0] == "power":
            self.take()
            return _scale(unit, self.exponent())
        if item is not None and item[0] == "number" and kind == "symbol":
            self.take()
            return _scale(unit, self.number(item[1]))
        return unit

    def exponent(self) -> Fraction:
        kind, text = self.take()
        if kind == "number":
            return self.number(text)
        if (kind, text) != ("mark", "("):
            raise self.fail(f"expected an exponent at {text!r}")
        value = self.number(self.take()[1])
        if self.peek() == ("mark", "/"):
            self.take()
            divisor = self.number(self.take()[1])
            if divisor == 0:
                raise self.fail("an exponent divides by 0")
            value /= divisor
        if self.take() != ("mark", ")"):
            raise self.fail("an exponent's '(' is not closed")
        return value

    def number(self, text: str) -> Fraction:
        try:
            return Fraction(text)
        except ValueError:
            raise self.fail(f"expected a number at {text!r}") from None


def _add(a: Unit, b: Unit, sign: int) -> Unit:
    return tuple(x + sign * y for x, y in zip(a, b))


def _scale(a: Unit, k: Fraction) -> Unit:
    return tuple(x * k for x in a)


_NONE: Unit = (Fraction(0),) * len(BASE)


def _symbol(symbol: str, text: str) -> Unit:
    if symbol in BASE:
        return tuple(Fraction(int(symbol == b)) for b in BASE)
    if symbol in _DERIVED:
        return parse(_DERIVED[symbol]) if _DERIVED[symbol] else _NONE
    known = ", ".join((*BASE, *_DERIVED))
    raise ValueError(f"unit {text!r}: unknown symbol {symbol!r} (known, without prefixes: {known})")


def parse(text: str) -> Unit:
    """The exponent vector (over BASE) of a unit written as text: symbols of
    BASE and of the SI's derived units (N, J, W, Pa, C, V, Ohm, T, Hz, ...),
    joined by spaces, * or ., with powers ^2, **-1, ^(1/2) or m2, s-2, and
    one '/' (what follows it is divided, so kg m / s^2 is kg m s^-2).
    "1", "" and rad are dimensionless."""
    if not text.strip():
        return _NONE
    parser = _Parser(text)
    unit = parser.unit()
    if parser.peek() is not None:
        raise parser.fail(f"unexpected {parser.peek()[1]!r}")
    return unit


def read_unit(value: Any, what: str) -> Unit:
    """A unit given as text, or as exponents over BASE (a shorter sequence
    is padded with zeros)."""
    if isinstance(value, str):
        return parse(value)
    if isinstance(value, np.ndarray) and value.ndim == 1:
        value = value.tolist()
    if isinstance(value, Sequence) and not isinstance(value, (bytes, bytearray)):
        if not 0 < len(value) <= len(BASE):
            raise ValueError(f"{what}: an exponent vector has 1 to {len(BASE)} entries ({', '.join(BASE)}); "
                             f"got {len(value)}")
        return tuple(_exponent(v, what) for v in value) + _NONE[len(value):]
    raise TypeError(f"{what}: a unit is a string such as 'kg m s^-2' or exponents of ({', '.join(BASE)}), "
                    f"not {type(value).__name__}")


def _exponent(v: Any, what: str) -> Fraction:
    if isinstance(v, bool) or not isinstance(v, numbers.Real):
        raise TypeError(f"{what}: an exponent must be a number, not {type(v).__name__}")
    if isinstance(v, numbers.Rational):
        return Fraction(int(v.numerator), int(v.denominator))
    if not math.isfinite(v):
        raise ValueError(f"{what}: an exponent must be finite, not {v}")
    exact = Fraction(float(v)).limit_denominator(1000)
    if abs(float(exact) - float(v)) > 1e-9:
        raise ValueError(f"{what}: the exponent {v} is not a simple fraction")
    return exact


def format_unit(unit: Unit) -> str:
    """Text for a unit in base units, e.g. 'm s^-2'; '1' when dimensionless."""
    parts = [b if e == 1 else f"{b}^{e}" if e.denominator == 1 else f"{b}^({e})" for b, e in zip(BASE, unit) if e]
    return " ".join(parts) or "1"


def read_units(units: Any, target_units: Any, names: Sequence[str],
               target: str | None) -> tuple[list[Unit], Unit]:
    """The variables' units and the target's, from a mapping of name to unit
    (which may hold the target's too, when y names a column) or a sequence
    with one unit per variable."""
    if units is None:
        raise ValueError("target_units is given without units: give the variables' units too")
    if isinstance(units, Mapping):
        extra = [k for k in units if k not in names and k != target]
        if extra:
            raise ValueError(f"units names {', '.join(map(repr, extra))}, which is not a variable "
                             f"(variables: {', '.join(names)})")
        missing = [n for n in names if n not in units]
        if missing:
            raise ValueError(f"units gives no unit for the variable(s) {', '.join(map(repr, missing))}")
        found = [read_unit(units[n], f"units[{n!r}]") for n in names]
        if target is not None and target in units:
            own = read_unit(units[target], f"units[{target!r}]")
            if target_units is not None and read_unit(target_units, "target_units") != own:
                raise ValueError(f"target_units and units[{target!r}] differ")
            return found, own
    elif isinstance(units, np.ndarray) and units.ndim in (1, 2):
        return read_units(units.tolist(), target_units, names, target)
    elif isinstance(units, Sequence) and not isinstance(units, (str, bytes, bytearray)):
        if len(units) != len(names) or any(isinstance(u, numbers.Real) for u in units):
            raise ValueError(f"units must give one unit per variable ({len(names)}); got {len(units)} entries")
        found = [read_unit(u, f"units[{i}] ({n})") for i, (n, u) in enumerate(zip(names, units))]
    else:
        raise TypeError("units must map each variable's name to its unit, or list one unit per variable, "
                        f"not {type(units).__name__}")
    if target_units is None:
        raise ValueError("target_units is needed with units: the unit of y")
    return found, read_unit(target_units, "target_units")


def _rref(rows: list[list[Fraction]]) -> tuple[list[list[Fraction]], list[int]]:
    """Reduced row echelon form, exactly: (the nonzero rows, their pivot columns)."""
    rows = [list(r) for r in rows]
    pivots: list[int] = []
    for c in range(len(rows[0]) if rows else 0):
        r = len(pivots)
        p = next((i for i in range(r, len(rows)) if rows[i][c] != 0), None)
        if p is None:
            continue
        rows[r], rows[p] = rows[p], rows[r]
        rows[r] = [x / rows[r][c] for x in rows[r]]
        for i in range(len(rows)):
            if i != r and rows[i][c] != 0:
                rows[i] = [x - rows[i][c] * y for x, y in zip(rows[i], rows[r])]
        pivots.append(c)
    return rows[:len(pivots)], pivots


def _integral(v: list[Fraction]) -> tuple[Fraction, ...]:
    """v scaled to coprime integers, with more weight on positive exponents."""
    scale = math.lcm(*(x.denominator for x in v))
    ints = [int(x * scale) for x in v]
    g = math.gcd(*ints) or 1
    first = next((x for x in ints if x), 0)
    sign = -1 if sum(ints) < 0 or (sum(ints) == 0 and first < 0) else 1
    return tuple(Fraction(sign * x // g) for x in ints)


def _cost(v: Sequence[Fraction]) -> tuple:
    return sum(x.denominator != 1 for x in v), sum(map(abs, v)), sum(x != 0 for x in v)


def _shorten(v: tuple[Fraction, ...], basis: Sequence[tuple[Fraction, ...]],
             steps: Sequence[int] = (1,)) -> tuple[Fraction, ...]:
    """v plus or minus basis vectors divided by one of steps, while that makes
    its exponents simpler: fewer fractions, then a smaller sum of sizes, then
    fewer variables (m v**2 rather than m v u)."""
    improved = True
    while improved:
        improved = False
        for u in basis:
            for step in (Fraction(sign, k) for k in steps for sign in (1, -1)):
                w = tuple(x + step * y for x, y in zip(v, u))
                if _cost(w) < _cost(v):
                    v, improved = w, True
    return v


_SHORTEN_GROUPS = 32


def reduce(units: Sequence[Unit], target: Unit, names: Sequence[str]) -> tuple[list[tuple], tuple]:
    """(groups, own): integer exponent vectors over the variables, one per
    dimensionless group (a basis of the null-space of the dimension matrix,
    shortened pairwise), and the exponents `own` with y / prod x ** own
    dimensionless, as simple as the groups allow. A ValueError when the
    target's unit is no product of powers of the variables' units."""
    n = len(units)
    rows = [[u[d] for u in units] + [target[d]] for d in range(len(BASE))]
    reduced, pivots = _rref(rows)
    if n in pivots:
        given = ", ".join(f"{name}: {format_unit(u)}" for name, u in zip(names, units))
        raise ValueError(f"the units do not balance: the target's unit ({format_unit(target)}) is not a product "
                         f"of powers of the variables' units ({given})")
    groups = []
    for free in (c for c in range(n) if c not in pivots):
        v = [Fraction(0)] * n
        v[free] = Fraction(1)
        for row, p in zip(reduced, pivots):
            v[p] = -row[free]
        groups.append(_integral(v))
    # Pairwise shortening costs groups squared per pass: beyond a few dozen
    # groups the basis stays as the echelon form gives it.
    changed = len(groups) <= _SHORTEN_GROUPS
    while changed:
        changed = False
        for i, g in enumerate(groups):
            shorter = _shorten(g, groups[:i] + groups[i + 1:])
            if shorter != g:
                groups[i], changed = _integral(list(shorter)), True
    own = [Fraction(0)] * n
    for row, p in zip(reduced, pivots):
        own[p] = row[n]
    # Any rational multiple of a group keeps y / prod x ** own dimensionless:
    # a half of one can clear a square root (kappa T sqrt(A) -> kappa T d).
    return groups, _shorten(tuple(own), groups, steps=(1, 2, 3, 4))


def mapping(text: str) -> dict[str, str]:
    """Units given on a command line, "NAME=UNIT,NAME=UNIT,...", as the
    mapping discover takes (each unit read at once, so that a wrong one is
    refused with its name)."""
    out: dict[str, str] = {}
    for item in filter(str.strip, text.split(",")):
        name, sep, unit = item.partition("=")
        if not sep or not name.strip():
            raise ValueError(f"units: {item.strip()!r} is not NAME=UNIT")
        if name.strip() in out:
            raise ValueError(f"units: {name.strip()!r} is given twice")
        parse(unit)
        out[name.strip()] = unit.strip()
    return out
