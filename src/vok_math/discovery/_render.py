"""The text forms of a formula: plain text, LaTeX, Python source and SymPy.

Every form is written from the engine's postfix tokens in one pass over them,
with the operator table of _ops: no recursion (a formula of any depth
renders), and the written pieces are joined once at the end (linear time).
A Param token reads its value from the formula's params.

Plain text and LaTeX are for reading: they leave out brackets that change
nothing in exact arithmetic (a * (b / c) is written a * b / c), write a
constant factor first, a negative added constant as a subtraction, and
exp(c * ln(m)) with a number c (the engine's power) as m**c. The
Python source keeps the engine's order of operations exactly, so that it
computes the values the engine computes.
"""

from __future__ import annotations

import keyword
import math
import re
import unicodedata
from collections.abc import Callable, Sequence
from fractions import Fraction

from .._optional import require

from ._ops import (ADD, ATOM, CONST, DIV, EXP, LN, MUL, OP, PARAM, POWER, POWER_OP, PREFIX, PRODUCT, RECIP, SUB, VAR,
                   VOK, Form, Operator, operator)

Rope = list  # nested lists of strings, joined once by _join

# Largest denominator under which a constant counts as a rational (or a
# rational multiple of pi) in the written forms; the snapping uses no larger.
MAX_DENOMINATOR = 12


def rational(v: float) -> tuple[Fraction, bool] | None:
    """(r, False) when v is the float nearest to the small rational r, (r, True)
    when it is r * pi computed as p * math.pi / q; else None."""
    if v == 0.0:
        return Fraction(0), False
    if not abs(v) < 2**53:
        return None
    for q in range(1, MAX_DENOMINATOR + 1):
        p = round(v * q)
        if p and p / q == v:
            return Fraction(p, q), False
        p = round(v * q / math.pi)
        if p and abs(p) <= 1000 * q and p * math.pi / q == v:
            return Fraction(p, q), True
    return None


def rational_value(r: Fraction, pi: bool) -> float:
    """The float that rational() recognises as r (times pi)."""
    return r.numerator * math.pi / r.denominator if pi else r.numerator / r.denominator


def _join(rope: Rope) -> str:
    out: list[str] = []
    pending = [iter(rope)]
    while pending:
        for piece in pending[-1]:
            if isinstance(piece, str):
                out.append(piece)
            else:
                pending.append(iter(piece))
                break
        else:
            pending.pop()
    return "".join(out)


class _Style:
    """One written form: its numbers, names and brackets, and the operator
    table's column for it."""

    open, close = "(", ")"
    display = True  # drop brackets that only matter in floating point

    def form(self, op: Operator) -> Form:
        return op.text

    def number(self, kind: int, v: float) -> tuple[str, int]:
        raise NotImplementedError

    def name(self, index: int) -> str:
        raise NotImplementedError


def _binding(text: str) -> int:
    return PREFIX if text.startswith("-") else ATOM


class _Text(_Style):
    def __init__(self, names: Sequence[str], digits: int | None):
        self.names, self.digits = names, digits

    def number(self, kind: int, v: float) -> tuple[str, int]:
        r = rational(v) if kind == CONST else None
        if r is not None and (r[1] or r[0].denominator > 1):
            (frac, pi), sign = r, "-" if r[0] < 0 else ""
            p, q = abs(frac.numerator), frac.denominator
            head = ("" if p == 1 else str(p)) + "π" if pi else str(p)
            return sign + head + ("" if q == 1 else f"/{q}"), PRODUCT if q > 1 or p != 1 else _binding(sign)
        if kind == CONST and v == math.e:
            return "e", ATOM
        if kind == CONST and v.is_integer() and abs(v) < 2**53:
            text = str(int(v))
        else:
            text = repr(v) if self.digits is None else re.sub(r"e\+?(-?)0*(?=\d)", r"e\1", f"{v:.{self.digits}g}")
        return text, _binding(text)

    def name(self, index: int) -> str:
        return self.names[index]


_TEX_ESCAPES = {"\\": r"\textbackslash{}", "^": r"\textasciicircum{}", "~": r"\textasciitilde{}",
                **{c: "\\" + c for c in "&%$#_{}"}}


def latex_name(name: str) -> str:
    """A variable's name in LaTeX math: a letter as it is, letters and digits
    upright, anything else as text with every TeX special escaped."""
    if re.fullmatch(r"[A-Za-z]", name):
        return name
    if re.fullmatch(r"[A-Za-z0-9]+", name):
        return rf"\mathrm{{{name}}}"
    text = "".join(_TEX_ESCAPES.get(c, "?" if unicodedata.category(c)[0] == "C" else c) for c in name)
    return rf"\text{{{text}}}"


class _Latex(_Text):
    open, close = r"\left(", r"\right)"

    def form(self, op: Operator) -> Form:
        return op.latex

    def number(self, kind: int, v: float) -> tuple[str, int]:
        r = rational(v) if kind == CONST else None
        if r is not None and (r[1] or r[0].denominator > 1):
            (frac, pi), sign = r, "-" if r[0] < 0 else ""
            p, q = abs(frac.numerator), frac.denominator
            top = ("" if p == 1 else str(p)) + r"\pi" if pi else str(p)
            return sign + (top if q == 1 else rf"\frac{{{top}}}{{{q}}}"), _binding(sign)
        if math.isnan(v):
            return r"\mathrm{NaN}", ATOM
        if math.isinf(v):
            return (r"\infty", ATOM) if v > 0 else (r"-\infty", PREFIX)
        text, binding = super().number(kind, v)
        mantissa, _, exponent = text.partition("e")
        if exponent:
            return rf"{mantissa} \cdot 10^{{{int(exponent)}}}", PRODUCT if binding == ATOM else binding
        return text, binding

    def name(self, index: int) -> str:
        return latex_name(self.names[index])


_VOK_SOURCE = '''def vok(a, b):
    """exp(a) - ln(b) with the library's guards: an exponent above 709.78
    becomes its logarithm, and a non-positive b becomes max(|b|, 1e-300)."""
    if a > 709.78:
        a = math.log(a)
    if not (b > 0 or b != b):
        b = max(abs(b), 1e-300)
    return math.exp(a) - math.log(b)
'''
# Names the generated module defines or reads: a variable may not take them.
_PYTHON_OWN = {"math", "vok", "f", "abs", "max", "float"}


def python_names(names: Sequence[str]) -> list[str]:
    """Distinct Python identifiers for the variables' names: normalised as
    Python normalises identifiers (NFKC), characters an identifier cannot
    hold replaced by _, and renamed (a trailing _ or number) where the name
    is a keyword, one of the generated code's own names, or taken."""
    taken = set(_PYTHON_OWN)
    out = []
    for name in names:
        ident = "".join(c if ("a" + c).isidentifier() else "_" for c in unicodedata.normalize("NFKC", name))
        if not ident or not ident.isidentifier() or unicodedata.normalize("NFKC", ident) != ident:
            ident = "_" + ident
        if not ident.isidentifier() or unicodedata.normalize("NFKC", ident) != ident:
            ident = "_"
        if keyword.iskeyword(ident) or ident in taken:
            ident += "_"
        base, k = ident, 1
        while ident in taken:
            ident, k = f"{base}{k}", k + 1
        taken.add(ident)
        out.append(ident)
    return out


class _Python(_Style):
    display = False

    def __init__(self, names: Sequence[str]):
        self.names = python_names(names)

    def form(self, op: Operator) -> Form:
        return op.python

    def number(self, kind: int, v: float) -> tuple[str, int]:
        if v == math.pi or v == math.e:
            return ("math.pi" if v == math.pi else "math.e"), ATOM
        if not math.isfinite(v):
            return f"float({str(v)!r})", ATOM
        text = repr(v)
        return text, _binding(text)

    def name(self, index: int) -> str:
        return self.names[index]


def _pop_operands(stack: list, code: int) -> tuple[Operator, list]:
    """The operator of code and its operands, taken off the top of stack."""
    op = operator(code)
    if len(stack) < op.arity:
        raise ValueError("malformed expression: an operator lacks operands")
    args = stack[len(stack) - op.arity:]
    del stack[len(stack) - op.arity:]
    return op, args


def _write(tokens: Sequence[tuple], params: Sequence[float], style: _Style) -> str:
    # Each stack entry: (rope, binding, (kind, value) when a number leaf, its
    # shape: (RECIP, a) for 1 / a, (LN, a) for ln(a), (EXP, m, c) for c * ln(m)
    # or ln(m) * c with a number c (whose exp is m ** c), else None).
    stack: list[tuple] = []
    names = getattr(style, "names", ())
    for kind, code, index, value in tokens:
        if kind == OP:
            op, args = _pop_operands(stack, code)
            shape = _shape(op.code, args)
            if style.display:
                op, args = _for_reading(op, args, style)
            rope, binding = _apply(style.form(op), args, style, style.display and op.associative)
            stack.append((rope, binding, None, shape))
        elif kind == VAR:
            if not 0 <= index < len(names):
                raise ValueError(f"variable index {index} out of range for {len(names)} names")
            stack.append(([style.name(index)], ATOM, None, None))
        elif kind in (CONST, PARAM):
            v = params[index] if kind == PARAM and 0 <= index < len(params) else value
            text, binding = style.number(kind, v)
            stack.append(([text], binding, (kind, v), None))
        else:
            raise ValueError(f"no token kind {kind}")
    if len(stack) != 1:
        raise ValueError("malformed expression: " + ("empty" if not stack else "operands left over"))
    return _join(stack[0][0])


def _shape(code: int, args: list) -> tuple | None:
    """The shape of an operator's entry (see _write) from its operands'."""
    if code in (RECIP, LN):
        return code, args[0]
    if code == MUL:
        for number, other in (args, args[::-1]):
            if number[2] is not None and other[3] is not None and other[3][0] == LN:
                return EXP, other[3][1], number
    return None


def _operand_of(entry: tuple, code: int) -> tuple | None:
    """The operand of entry when its shape is code's (RECIP: 1 / a gives a)."""
    shape = entry[3]
    return shape[1] if shape is not None and shape[0] == code else None


def _for_reading(op: Operator, args: list, style: _Style) -> tuple[Operator, list]:
    """The same value written for reading: a * (1 / b) as a / b, a constant
    factor first, an added negative constant as a subtraction, and
    exp(c * ln(m)) as m ** c."""
    if op.code == EXP and _operand_of(args[0], EXP) is not None:
        return POWER_OP, list(args[0][3][1:])
    if op.arity == 1:
        return op, args
    (_, _, left, _), (_, _, right, _) = args
    left_recip, right_recip = _operand_of(args[0], RECIP), _operand_of(args[1], RECIP)
    if op.code == MUL and (left_recip or right_recip):
        return operator(DIV), ([args[0], right_recip] if right_recip else [args[1], left_recip])
    if op.code == MUL and right is not None and left is None:
        return op, [args[1], args[0]]
    if op.code in (ADD, SUB) and right is not None and right[1] < 0:
        text, binding = style.number(right[0], -right[1])
        return operator(SUB if op.code == ADD else ADD), [args[0], ([text], binding, (right[0], -right[1]), None)]
    return op, args


def _apply(form: Form, args: list, style: _Style, associative: bool) -> tuple[Rope, int]:
    last = len(form.template) - 1
    rope: Rope = []
    for pos, piece in enumerate(form.template):
        if isinstance(piece, str):
            rope.append(piece)
            continue
        operand, binding = args[piece][:2]
        if pos == last:  # a leading minus after an infix operator is bracketed too: x - (-y)
            bracket = binding < form.binding or (binding == form.binding and not associative) or (
                binding == PREFIX and form.binding < PREFIX)
        else:  # and a power as the base of a power: (x**2)**3
            bracket = pos == 0 and (binding < form.binding or binding == form.binding == POWER)
        rope.append([style.open, operand, style.close] if bracket else operand)
    return rope, form.binding


def to_text(tokens: Sequence[tuple], names: Sequence[str], params: Sequence[float] = (),
            digits: int | None = 4) -> str:
    """The formula for reading: constants to `digits` significant digits
    (None: in full, as repr writes them)."""
    return _write(tokens, params, _Text(names, digits))


def to_latex(tokens: Sequence[tuple], names: Sequence[str], params: Sequence[float] = (),
             digits: int | None = 4) -> str:
    return _write(tokens, params, _Latex(names, digits))


def to_python(tokens: Sequence[tuple], names: Sequence[str], params: Sequence[float] = ()) -> str:
    style = _Python(names)
    body = _write(tokens, params, style)
    uses_vok = any(t[0] == OP and t[1] == VOK for t in tokens)
    return ("import math\n\n\n" + (_VOK_SOURCE + "\n\n" if uses_vok else "")
            + f"def f({', '.join(style.names)}):\n    return {body}\n")


def to_sympy(tokens: Sequence[tuple], names: Sequence[str], params: Sequence[float] = ()):
    sympy = require("sympy", "Formula.to_sympy()")

    def number(kind: int, v: float):
        r = rational(v) if kind == CONST else None
        if r is not None:
            return sympy.Rational(r[0].numerator, r[0].denominator) * (sympy.pi if r[1] else 1)
        if kind == CONST and v == math.e:
            return sympy.E
        if math.isnan(v):
            return sympy.nan
        return sympy.Float(v) if math.isfinite(v) else (sympy.oo if v > 0 else -sympy.oo)

    functions: dict[str, Callable] = {
        "neg": lambda a: -a, "recip": lambda a: 1 / a, "exp": sympy.exp, "log": sympy.log, "sqrt": sympy.sqrt,
        "sin": sympy.sin, "cos": sympy.cos, "Abs": sympy.Abs, "vok": lambda a, b: sympy.exp(a) - sympy.log(b),
        "add": lambda a, b: a + b, "sub": lambda a, b: a - b, "mul": lambda a, b: a * b,
        "div": lambda a, b: a / b, "asin": sympy.asin, "acos": sympy.acos, "tanh": sympy.tanh,
    }
    symbols = [sympy.Symbol(n) for n in names]
    stack: list = []
    for kind, code, index, value in tokens:
        if kind == OP:
            op, args = _pop_operands(stack, code)
            stack.append(functions[op.sympy](*args))
        elif kind == VAR:
            if not 0 <= index < len(symbols):
                raise ValueError(f"variable index {index} out of range for {len(symbols)} names")
            stack.append(symbols[index])
        else:
            stack.append(number(kind, params[index] if kind == PARAM and 0 <= index < len(params) else value))
    if len(stack) != 1:
        raise ValueError("malformed expression")
    return stack[0]
