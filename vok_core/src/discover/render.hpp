// Text forms of a discovered formula.
//
// `to_string` writes an expression as fully parenthesised infix text: every
// operator template brackets its own operands, so no precedence rules are
// needed and the deeper (left) operand is always written first. The search
// stores that text as the result's formula; `to_latex` and `to_python` are
// rewrites of the stored text, not of the expression, since the result does
// not keep the expression.
//
// Pure functions without shared state: `to_string` runs on the worker threads.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "discover/expr.hpp"

namespace vok::discover {

// Infix text of `expr`. Never fails: missing operands render as empty text
// ("( + )" for a lone Add) and an empty expression renders as "?".
std::string to_string(const Expr& expr);

// The same text with names[i] written for variable i instead of its letter;
// a variable without a name keeps its letter.
std::string to_string(const Expr& expr, std::span<const std::string> names);

// A constant as the formula text shows it: "π" and "e" for exactly those two
// binary64 values, otherwise fixed notation with four decimals, correctly
// rounded (ties to even), never in exponent form; "NaN", "inf", "-inf".
void append_constant(std::string& out, double v);

// A variable name: the character with code point (120 + index) mod 256 in
// UTF-8 ("x", "y", "z", "{", ..., then U+0080..U+00FF, wrapping to U+0000).
void append_variable(std::string& out, std::size_t index);

// True when `text` is to_string(expr) of some well-formed expression of
// constants, variables (by their letters) and operators: every text a
// search's result can have, and nothing else. Decided by a table of the
// places where an expression can end after each position, built from the
// end; a text past 1 MiB, or so ambiguous that this passes a few million
// steps (only possible with operator characters as variable letters),
// counts as not one.
bool is_formula_text(std::string_view text);

// LaTeX fragment of a formula text: \exp, \ln, \sqrt{...}, \sin, \cos,
// \mathrm{vok}, \pi. A "sqrt(" whose parenthesis is never closed keeps its
// text unchanged (only texts with unbalanced parentheses have one).
std::string to_latex(std::string_view formula);

// Python source of a formula text: "import math", a newline, and
// "f = lambda x: " followed by the text with exp/ln/sqrt/sin/cos mapped to
// the math module (no newline at the end).
std::string to_python(std::string_view formula);

}  // namespace vok::discover
