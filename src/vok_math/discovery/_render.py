"""Text forms of a found expression beyond the engine's own formula text:
LaTeX, Python source and SymPy.

An expression is the engine's postfix token sequence, each token
(kind, operator, index, value), numbered as the engine's tables say
(_ext.TOKEN_KINDS, _ext.OPERATORS).
"""

from __future__ import annotations

import keyword
import math
import re
from collections.abc import Sequence

from .. import _ext

CONST, PARAM, VAR, OP = (_ext.TOKEN_KINDS[k] for k in ("const", "param", "var", "op"))
_CODE = {name: code for code, name, _ in _ext.OPERATORS}
NEG, RECIP, EXP, LN, SQRT, SIN, COS, ABS, VOK, ADD, SUB, MUL, DIV = (
    _CODE[n] for n in ("neg", "recip", "exp", "ln", "sqrt", "sin", "cos", "abs", "vok", "add", "sub", "mul", "div"))
_ARITY = {code: arity for code, _, arity in _ext.OPERATORS}

def tree(tokens: Sequence[tuple]) -> tuple:
    """The postfix tokens as a nested tuple: (token, child, ...)."""
    stack: list[tuple] = []
    for token in tokens:
        kind, op = token[0], token[1]
        if kind != OP:
            stack.append((token,))
            continue
        arity = _ARITY[op]
        if len(stack) < arity:
            raise ValueError("malformed expression")
        children = stack[len(stack) - arity:]
        del stack[len(stack) - arity:]
        stack.append((token, *children))
    if len(stack) != 1:
        raise ValueError("malformed expression")
    return stack[0]


# ---- LaTeX --------------------------------------------------------------

def _latex_name(name: str) -> str:
    escaped = re.sub(r"([_&%$#{}])", r"\\\1", name)
    return escaped if len(name) == 1 else rf"\mathrm{{{escaped}}}"


def _latex_constant(v: float) -> str:
    if v == math.pi:
        return r"\pi"
    if v == math.e:
        return "e"
    if math.isnan(v):
        return r"\mathrm{NaN}"
    if math.isinf(v):
        return r"\infty" if v > 0 else r"-\infty"
    return f"{v:g}".replace("e+", "e").replace("inf", r"\infty")


def to_latex(tokens: Sequence[tuple], names: Sequence[str]) -> str:
    # Each case returns (text, binding): 1 for a sum or a leading minus,
    # 2 for a product, 3 for anything that needs no brackets around it.
    def paren(text: str) -> str:
        return rf"\left({text}\right)"

    def walk(node: tuple) -> tuple[str, int]:
        (kind, op, index, value), *children = node
        if kind == CONST:
            text = _latex_constant(value)
            return text, 1 if text.startswith("-") else 3
        if kind == PARAM:
            return f"c_{{{index}}}", 3
        if kind == VAR:
            return _latex_name(names[index]), 3
        args = [walk(c) for c in children]
        a, pa = args[0]
        b, pb = args[1] if len(args) > 1 else ("", 3)
        if op == NEG:
            return "-" + (paren(a) if pa <= 1 else a), 1
        if op == RECIP:
            return rf"\frac{{1}}{{{a}}}", 3
        if op in (EXP, LN, SIN, COS):
            return {EXP: r"\exp", LN: r"\ln", SIN: r"\sin", COS: r"\cos"}[op] + paren(a), 3
        if op == SQRT:
            return rf"\sqrt{{{a}}}", 3
        if op == ABS:
            return rf"\left|{a}\right|", 3
        if op == VOK:
            return rf"\operatorname{{vok}}\left({a}, {b}\right)", 3
        if op == DIV:
            return rf"\frac{{{a}}}{{{b}}}", 3
        if op == ADD:
            return f"{a} + {paren(b) if b.startswith('-') else b}", 1
        if op == SUB:
            return f"{a} - {paren(b) if pb <= 1 else b}", 1
        # MUL
        return rf"{paren(a) if pa <= 1 else a} \cdot {paren(b) if pb <= 1 else b}", 2

    return walk(tree(tokens))[0]


# ---- Python -------------------------------------------------------------

_PY_FUNCTION = {EXP: "math.exp", LN: "math.log", SQRT: "math.sqrt", SIN: "math.sin", COS: "math.cos", ABS: "abs"}
_PY_INFIX = {ADD: "+", SUB: "-", MUL: "*", DIV: "/"}

_VOK_SOURCE = '''def vok(a, b):
    """exp(a) - ln(b) with the library's guards: an exponent above 709.78
    becomes its logarithm, and a non-positive b becomes max(|b|, 1e-300)."""
    if a > 709.78:
        a = math.log(a)
    if not (b > 0 or b != b):
        b = max(abs(b), 1e-300)
    return math.exp(a) - math.log(b)
'''


def python_names(names: Sequence[str]) -> list[str]:
    """Distinct Python identifiers for the variables' names."""
    taken = {"math", "vok", "f"}
    out = []
    for name in names:
        ident = re.sub(r"\W", "_", name) or "_"
        if ident[0].isdigit() or keyword.iskeyword(ident):
            ident = "_" + ident
        base, k = ident, 1
        while ident in taken:
            ident, k = f"{base}_{k}", k + 1
        taken.add(ident)
        out.append(ident)
    return out


def _python_constant(v: float) -> str:
    if v == math.pi:
        return "math.pi"
    if v == math.e:
        return "math.e"
    if math.isnan(v) or math.isinf(v):
        return f"float({str(v)!r})"
    return repr(v)


def to_python(tokens: Sequence[tuple], names: Sequence[str]) -> str:
    params = python_names(names)

    def walk(node: tuple) -> str:
        (kind, op, index, value), *children = node
        if kind in (CONST, PARAM):
            return _python_constant(value)
        if kind == VAR:
            return params[index]
        args = [walk(c) for c in children]
        if op == NEG:
            return f"(-{args[0]})"
        if op == RECIP:
            return f"(1.0 / {args[0]})"
        if op == VOK:
            return f"vok({args[0]}, {args[1]})"
        if op in _PY_INFIX:
            return f"({args[0]} {_PY_INFIX[op]} {args[1]})"
        return f"{_PY_FUNCTION[op]}({args[0]})"

    body = walk(tree(tokens))
    return f"import math\n\n\n{_VOK_SOURCE}\n\ndef f({', '.join(params)}):\n    return {body}\n"


# ---- SymPy --------------------------------------------------------------

def to_sympy(tokens: Sequence[tuple], names: Sequence[str]):
    try:
        import sympy
    except ImportError:
        raise ImportError("Formula.to_sympy() needs SymPy, which is not installed: pip install sympy") from None
    symbols = [sympy.Symbol(n) for n in names]

    def constant(v: float):
        if v == math.pi:
            return sympy.pi
        if v == math.e:
            return sympy.E
        if v.is_integer():
            return sympy.Integer(int(v))
        return sympy.Float(v)

    def walk(node: tuple):
        (kind, op, index, value), *children = node
        if kind in (CONST, PARAM):
            return constant(value)
        if kind == VAR:
            return symbols[index]
        a, *rest = [walk(c) for c in children]
        b = rest[0] if rest else None
        return {
            NEG: lambda: -a, RECIP: lambda: 1 / a, EXP: lambda: sympy.exp(a), LN: lambda: sympy.log(a),
            SQRT: lambda: sympy.sqrt(a), SIN: lambda: sympy.sin(a), COS: lambda: sympy.cos(a),
            ABS: lambda: sympy.Abs(a), VOK: lambda: sympy.exp(a) - sympy.log(b), ADD: lambda: a + b,
            SUB: lambda: a - b, MUL: lambda: a * b, DIV: lambda: a / b,
        }[op]()

    return walk(tree(tokens))
