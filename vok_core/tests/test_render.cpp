// Formula text, LaTeX and Python renderings of discovery expressions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "discover/render.hpp"
#include "numfmt.hpp"

namespace {

using vok::discover::Expr;
using vok::discover::OpCode;
using vok::discover::to_latex;
using vok::discover::to_python;
using vok::discover::to_string;
using vok::discover::Token;

Token C(double v) { return Token::constant(v); }
Token V(std::size_t i) { return Token::var(i); }
Token P(std::size_t i, double d) { return Token::param(i, d); }
Token O(OpCode op) { return Token::op_token(op); }
std::string render(std::vector<Token> tokens) { return to_string(Expr{std::move(tokens)}); }

constexpr double kInf = std::numeric_limits<double>::infinity();

// ------------------------------------------------------------ constants

struct ConstCase {
    double value;
    const char* text;
};

class RenderConstant : public ::testing::TestWithParam<ConstCase> {};

TEST_P(RenderConstant, FourDecimalsOrSymbol) { EXPECT_EQ(render({C(GetParam().value)}), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Values, RenderConstant,
    ::testing::Values(
        ConstCase{1.0, "1.0000"}, ConstCase{0.0, "0.0000"}, ConstCase{-0.0, "-0.0000"}, ConstCase{0.5, "0.5000"},
        ConstCase{2.0, "2.0000"}, ConstCase{1234.56789, "1234.5679"}, ConstCase{-1.0, "-1.0000"},
        ConstCase{3.1416, "3.1416"},
        // exact binary ties go to the even digit
        ConstCase{0.03125, "0.0312"}, ConstCase{0.09375, "0.0938"}, ConstCase{-0.03125, "-0.0312"},
        ConstCase{2.00005, "2.0000"},  // binary value lies below the half-way point
        ConstCase{0.00005, "0.0001"},  // binary value lies just above the half-way point
        ConstCase{-0.00001, "-0.0000"}, ConstCase{1e20, "100000000000000000000.0000"}, ConstCase{1e-300, "0.0000"},
        // the two named constants, exactly those binary64 values only
        ConstCase{3.141592653589793, "\u03C0"}, ConstCase{2.718281828459045, "e"},
        ConstCase{std::nextafter(3.141592653589793, 4.0), "3.1416"},
        ConstCase{std::nextafter(2.718281828459045, 0.0), "2.7183"}, ConstCase{-3.141592653589793, "-3.1416"},
        ConstCase{std::numeric_limits<double>::quiet_NaN(), "NaN"}, ConstCase{kInf, "inf"}, ConstCase{-kInf, "-inf"}));

TEST(RenderConstant, LargestFiniteHasAllIntegerDigits) {
    const std::string s = render({C(std::numeric_limits<double>::max())});
    EXPECT_EQ(s.size(), 309u + 5u);
    EXPECT_EQ(s.substr(0, 6), "179769");
    EXPECT_EQ(s.substr(s.size() - 5), ".0000");
    EXPECT_EQ(s.find('e'), std::string::npos);
}

// The error field of a result's printed form: d.dd, "e", the exponent without
// "+" or leading zeros.
TEST(RenderErrorText, TwoDecimalExponentForm) {
    struct Case {
        double v;
        const char* text;
    };
    const Case cases[] = {
        {0.0, "0.00e0"},        {-0.0, "-0.00e0"},
        {0.0012345, "1.23e-3"}, {12345.0, "1.23e4"},
        {1e-10, "1.00e-10"},    {1e300, "1.00e300"},
        {-2.5e-7, "-2.50e-7"},  {9.999, "1.00e1"},
        {1.125, "1.12e0"},  // an exact tie goes to the even digit
        {1.135, "1.14e0"},  // 1.135 is stored just above the half-way point
        {9.995, "9.99e0"},  // 9.995 is stored just below it
        {5e-324, "4.94e-324"},  {kInf, "inf"},
        {-kInf, "-inf"},        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
    };
    for (const Case& c : cases) EXPECT_EQ(vok::format_exp2(c.v), c.text) << c.v;
}

// ------------------------------------------------------------ variables and parameters

struct VarCase {
    std::size_t index;
    std::string text;
};

class RenderVariable : public ::testing::TestWithParam<VarCase> {};

TEST_P(RenderVariable, CodePointInUtf8) { EXPECT_EQ(render({V(GetParam().index)}), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Indices, RenderVariable,
                         ::testing::Values(VarCase{0, "x"}, VarCase{1, "y"}, VarCase{2, "z"}, VarCase{3, "{"},
                                           VarCase{4, "|"}, VarCase{5, "}"}, VarCase{6, "~"}, VarCase{7, "\x7F"},
                                           VarCase{8, "\xC2\x80"},              // U+0080
                                           VarCase{71, "\xC2\xBF"},             // U+00BF
                                           VarCase{72, "\xC3\x80"},             // U+00C0
                                           VarCase{135, "\xC3\xBF"},            // U+00FF
                                           VarCase{136, std::string(1, '\0')},  // wraps to U+0000
                                           VarCase{137, "\x01"}, VarCase{176, "("}, VarCase{177, ")"},
                                           VarCase{256, "x"},
                                           // (120 + SIZE_MAX) mod 256 = 119
                                           VarCase{std::numeric_limits<std::size_t>::max(), "w"}));

TEST(RenderParam, IndexAndDefault) {
    EXPECT_EQ(render({P(0, 2.5)}), "c0(2.5000)");
    // defaults are plain four-decimal numbers, even the two named constants
    EXPECT_EQ(render({P(12, 3.141592653589793)}), "c12(3.1416)");
    EXPECT_EQ(render({P(1, 2.718281828459045)}), "c1(2.7183)");
    EXPECT_EQ(render({P(3, -0.0), V(0), O(OpCode::Mul)}), "(c3(-0.0000) * x)");
}

// ------------------------------------------------------------ templates

struct OpCase {
    OpCode op;
    const char* text;  // applied to x, or to x and y
};

class RenderTemplate : public ::testing::TestWithParam<OpCase> {};

TEST_P(RenderTemplate, BracketsItsOperands) {
    const OpCase& c = GetParam();
    if (vok::discover::is_unary(c.op))
        EXPECT_EQ(render({V(0), O(c.op)}), c.text);
    else
        EXPECT_EQ(render({V(0), V(1), O(c.op)}), c.text);
}

INSTANTIATE_TEST_SUITE_P(Operators, RenderTemplate,
                         ::testing::Values(OpCase{OpCode::Neg, "(-x)"}, OpCase{OpCode::Recip, "(1/x)"},
                                           OpCase{OpCode::Exp, "exp(x)"}, OpCase{OpCode::Ln, "ln(x)"},
                                           OpCase{OpCode::Sqrt, "sqrt(x)"}, OpCase{OpCode::Sin, "sin(x)"},
                                           OpCase{OpCode::Cos, "cos(x)"}, OpCase{OpCode::Abs, "abs(x)"},
                                           OpCase{OpCode::Vok, "vok(x, y)"}, OpCase{OpCode::Add, "(x + y)"},
                                           OpCase{OpCode::Sub, "(x - y)"}, OpCase{OpCode::Mul, "(x * y)"},
                                           OpCase{OpCode::Div, "(x / y)"}));

TEST(RenderExpression, NestedExamples) {
    EXPECT_EQ(render({V(0), C(1.0), O(OpCode::Add)}), "(x + 1.0000)");
    EXPECT_EQ(render({V(0), O(OpCode::Exp), V(1), O(OpCode::Vok)}), "vok(exp(x), y)");
    EXPECT_EQ(render({V(0), V(0), O(OpCode::Mul), O(OpCode::Recip)}), "(1/(x * x))");
    EXPECT_EQ(render({C(0.0), V(0), O(OpCode::Sub)}), "(0.0000 - x)");
    EXPECT_EQ(render({V(0), O(OpCode::Neg), O(OpCode::Sqrt)}), "sqrt((-x))");
    // the deeper operand is the left one
    EXPECT_EQ(render({V(1), V(0), O(OpCode::Sub)}), "(y - x)");
    EXPECT_EQ(render({C(1.0), O(OpCode::Neg), C(1.0), C(1.0), O(OpCode::Add), O(OpCode::Sub)}),
              "((-1.0000) - (1.0000 + 1.0000))");
    EXPECT_EQ(render({C(-1.0), O(OpCode::Neg)}), "(--1.0000)");
}

TEST(RenderExpression, NamesReplaceTheVariableLetters) {
    const Expr e{
        {V(0), O(OpCode::Exp), V(1), O(OpCode::Vok), V(2), C(3.141592653589793), O(OpCode::Mul), O(OpCode::Add)}};
    const std::vector<std::string> names{"mass", "v"};
    // Constants keep their text; a variable beyond the names keeps its letter.
    EXPECT_EQ(to_string(e, names), "(vok(exp(mass), v) + (z * \u03C0))");
    EXPECT_EQ(to_string(e, std::vector<std::string>{}), to_string(e));
}

TEST(RenderExpression, MalformedSequencesStillRender) {
    EXPECT_EQ(render({}), "?");
    EXPECT_EQ(render({O(OpCode::Add)}), "( + )");
    EXPECT_EQ(render({O(OpCode::Neg)}), "(-)");
    EXPECT_EQ(render({V(0), O(OpCode::Div)}), "( / x)");  // the only operand is the right one
    EXPECT_EQ(render({V(0), V(1)}), "y");                 // values below the top are dropped
    EXPECT_EQ(render({V(0), V(1), C(2.0), O(OpCode::Mul)}), "(y * 2.0000)");
    EXPECT_EQ(render({V(0), V(1), O(static_cast<OpCode>(200))}), "?(x, y)");
}

// ------------------------------------------------------------ LaTeX

struct TextCase {
    const char* formula;
    const char* expected;
};

class RenderLatex : public ::testing::TestWithParam<TextCase> {};

TEST_P(RenderLatex, Rewrites) { EXPECT_EQ(to_latex(GetParam().formula), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Balanced, RenderLatex,
    ::testing::Values(TextCase{"vok(exp(x), sqrt((x + 1.0000)))", "\\mathrm{vok}(\\exp(x), \\sqrt{(x + 1.0000)})"},
                      TextCase{"sqrt(sqrt(x))", "\\sqrt{\\sqrt{x}}"}, TextCase{"ln((1/x))", "\\ln((1/x))"},
                      TextCase{"abs(x)", "abs(x)"}, TextCase{"(sin(x) * cos(y))", "(\\sin(x) * \\cos(y))"},
                      TextCase{"(\u03C0 * x)", "(\\pi * x)"}, TextCase{"(-e)", "(-e)"},
                      TextCase{"(sqrt(x) + sqrt((y * sqrt(z))))", "(\\sqrt{x} + \\sqrt{(y * \\sqrt{z})})"},
                      TextCase{"sqrt(exp(ln(x)))", "\\sqrt{\\exp(\\ln(x))}"}, TextCase{"", ""}, TextCase{"x", "x"},
                      TextCase{"(arcsin(x) + arccos(tanh(sin(y))))", "(\\arcsin(x) + \\arccos(\\tanh(\\sin(y))))"}));

INSTANTIATE_TEST_SUITE_P(Unbalanced, RenderLatex,
                         ::testing::Values(TextCase{"sqrt(", "sqrt("}, TextCase{"sqrt(x", "sqrt(x"},
                                           TextCase{"sqrt((x)", "sqrt((x)"}, TextCase{"sqrt(x))", "\\sqrt{x})"},
                                           TextCase{")sqrt(x)", ")\\sqrt{x}"}, TextCase{"))sqrt((", "))sqrt(("},
                                           TextCase{"sqrt(sqrt(x)", "sqrt(\\sqrt{x}"}, TextCase{"sqrt(()", "sqrt(()"},
                                           TextCase{"sqrt(ln(", "sqrt(\\ln("}, TextCase{"sqrt", "sqrt"}));

TEST(RenderLatex, VariableParenthesesArePairedLikeAnyOther) {
    // Var 176 renders as "(", so the text of sqrt(Var 176) has one "(" too many.
    const std::string text = render({V(176), O(OpCode::Sqrt)});
    EXPECT_EQ(text, "sqrt(()");
    EXPECT_EQ(to_latex(text), "sqrt(()");
    // Var 177 renders as ")", which then closes the square root.
    EXPECT_EQ(to_latex(render({V(177), O(OpCode::Sqrt)})), "\\sqrt{})");
}

// ------------------------------------------------------------ Python

class RenderPython : public ::testing::TestWithParam<TextCase> {};

TEST_P(RenderPython, HeaderAndRewrites) {
    EXPECT_EQ(to_python(GetParam().formula), std::string("import math\nf = lambda x: ") + GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RenderPython,
    ::testing::Values(TextCase{"(sin(x) * 2.0000)", "(math.sin(x) * 2.0000)"}, TextCase{"vok(x, y)", "vok(x, y)"},
                      TextCase{"exp(ln(sqrt(sin(cos(x)))))", "math.exp(math.log(math.sqrt(math.sin(math.cos(x)))))"},
                      TextCase{"(abs(x) + (\u03C0 - e))", "(abs(x) + (\u03C0 - e))"},
                      TextCase{"(1/(x * x))", "(1/(x * x))"}, TextCase{"?", "?"}, TextCase{"", ""},
                      TextCase{"arcsin(arccos(tanh(sin(x))))", "math.asin(math.acos(math.tanh(math.sin(x))))"}));

TEST(RenderPython, NoTrailingNewline) {
    const std::string s = to_python("x");
    EXPECT_EQ(s, "import math\nf = lambda x: x");
    EXPECT_EQ(s.back(), 'x');
}

}  // namespace
