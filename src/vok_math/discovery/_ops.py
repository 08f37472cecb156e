"""The engine's token and operator numbering, and one table that says how
each operator is written in every text form of a formula.

A token is (kind, operator, index, value). The numbers are the engine's own:
read from its tables (_ext.TOKEN_KINDS, _ext.OPERATORS) where the extension
exports them, else the numbering it documents, written once here.
"""

from __future__ import annotations

from dataclasses import dataclass

from .. import _ext

_KINDS = getattr(_ext, "TOKEN_KINDS", {"const": 0, "param": 1, "var": 2, "op": 3})
_ENGINE_OPERATORS = getattr(_ext, "OPERATORS", tuple(
    (code, name, 1 if code < 8 or code > 12 else 2) for code, name in enumerate(
        ("neg", "recip", "exp", "ln", "sqrt", "sin", "cos", "abs", "vok", "add", "sub", "mul", "div", "arcsin",
         "arccos", "tanh"))))
_CODES = {name: code for code, name, _ in _ENGINE_OPERATORS}

CONST, PARAM, VAR, OP = (_KINDS[k] for k in ("const", "param", "var", "op"))
NEG, RECIP, EXP, LN, SQRT, SIN, COS, ABS, VOK, ADD, SUB, MUL, DIV, ARCSIN, ARCCOS, TANH = (
    _CODES[n] for n in ("neg", "recip", "exp", "ln", "sqrt", "sin", "cos", "abs", "vok", "add", "sub", "mul", "div",
                        "arcsin", "arccos", "tanh"))
# The operators discover builds only when asked (its `operators` option).
OPTIONAL_OPERATORS = ("arcsin", "arccos", "tanh")

# Binding strength of a rendered piece: a sum binds loosest, then a product,
# a prefix minus (and a negative number), a power, and an atom (a name, a
# call, a bracketed or braced form).
SUM, PRODUCT, PREFIX, POWER, ATOM = 1, 2, 3, 4, 5


@dataclass(frozen=True, slots=True)
class Form:
    """How one operator is written in one text form.

    template  the pieces of the written form: strings, and the operand
              numbers 0 and 1 where the operands go
    binding   how tightly the written form holds together (SUM ... ATOM)
    """

    template: tuple[str | int, ...]
    binding: int = ATOM


@dataclass(frozen=True, slots=True)
class Operator:
    code: int
    name: str
    arity: int
    associative: bool   # (a op b) op c equals a op (b op c) in exact arithmetic
    text: Form
    latex: Form
    python: Form
    sympy: str          # the SymPy function, or the arithmetic it stands for


def _call(name: str, arity: int = 1) -> Form:
    return Form((name + "(", 0, ")") if arity == 1 else (name + "(", 0, ", ", 1, ")"))


def _latex_call(name: str) -> Form:
    return Form((name + r"\left(", 0, r"\right)"))


def _infix(symbol: str, binding: int) -> Form:
    return Form((0, symbol, 1), binding)


OPERATORS: tuple[Operator, ...] = (
    Operator(NEG, "neg", 1, False, Form(("-", 0), PREFIX), Form(("-", 0), PREFIX), Form(("-", 0), PREFIX), "neg"),
    Operator(RECIP, "recip", 1, False, Form(("1 / ", 0), PRODUCT), Form((r"\frac{1}{", 0, "}")),
             Form(("1.0 / ", 0), PRODUCT), "recip"),
    Operator(EXP, "exp", 1, False, _call("exp"), _latex_call(r"\exp"), _call("math.exp"), "exp"),
    Operator(LN, "ln", 1, False, _call("ln"), _latex_call(r"\ln"), _call("math.log"), "log"),
    Operator(SQRT, "sqrt", 1, False, _call("sqrt"), Form((r"\sqrt{", 0, "}")), _call("math.sqrt"), "sqrt"),
    Operator(SIN, "sin", 1, False, _call("sin"), _latex_call(r"\sin"), _call("math.sin"), "sin"),
    Operator(COS, "cos", 1, False, _call("cos"), _latex_call(r"\cos"), _call("math.cos"), "cos"),
    Operator(ABS, "abs", 1, False, _call("abs"), Form((r"\left|", 0, r"\right|")), _call("abs"), "Abs"),
    Operator(VOK, "vok", 2, False, _call("vok", 2), Form((r"\operatorname{vok}\left(", 0, ", ", 1, r"\right)")),
             _call("vok", 2), "vok"),
    Operator(ADD, "add", 2, True, _infix(" + ", SUM), _infix(" + ", SUM), _infix(" + ", SUM), "add"),
    Operator(SUB, "sub", 2, False, _infix(" - ", SUM), _infix(" - ", SUM), _infix(" - ", SUM), "sub"),
    Operator(MUL, "mul", 2, True, _infix(" * ", PRODUCT), _infix(r" \cdot ", PRODUCT), _infix(" * ", PRODUCT),
             "mul"),
    Operator(DIV, "div", 2, False, _infix(" / ", PRODUCT), Form((r"\frac{", 0, "}{", 1, "}")),
             _infix(" / ", PRODUCT), "div"),
    Operator(ARCSIN, "arcsin", 1, False, _call("arcsin"), _latex_call(r"\arcsin"), _call("math.asin"), "asin"),
    Operator(ARCCOS, "arccos", 1, False, _call("arccos"), _latex_call(r"\arccos"), _call("math.acos"), "acos"),
    Operator(TANH, "tanh", 1, False, _call("tanh"), _latex_call(r"\tanh"), _call("math.tanh"), "tanh"),
)
OPERATORS = tuple(sorted(OPERATORS, key=lambda op: op.code))

# m ** c, which the reading forms write for exp(c * ln(m)): no engine
# operator (its code is none of theirs); Python source keeps the exp and ln.
POWER_OP = Operator(-1, "power", 2, False, Form((0, "**", 1), POWER), Form((0, "^{", 1, "}"), POWER),
                    Form((0, "**", 1), POWER), "pow")
assert [(op.code, op.name, op.arity) for op in OPERATORS] == [tuple(t) for t in _ENGINE_OPERATORS]


def operator(code: int) -> Operator:
    if not 0 <= code < len(OPERATORS):
        raise ValueError(f"no operator has the code {code}")
    return OPERATORS[code]
