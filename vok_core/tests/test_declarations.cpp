// The engine's declarations and checks that the Python layers rely on: the
// settings' default texts, the well-formedness of token sequences, the
// recogniser of formula texts, and the RMSE of the search.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "discover/defaults.hpp"
#include "discover/render.hpp"
#include "discover/scoring.hpp"
#include "discover_reference.hpp"

namespace {

using namespace vok::discover;
using namespace discover_test;

// ===========================================================================
// Defaults: each literal gives the double Python's float() gives.

TEST(Defaults, LiteralsReadAsTheNearestDouble) {
    for (const char* text :
         {"8", "2000", "1e-10", "0.001", "0.1", "123.456", "1e22", "1e-22", "4.35", "2.5e+3", "9007199254740991"})
        EXPECT_EQ(bits(literal_value(text)), bits(std::strtod(text, nullptr))) << text;
    for (const SettingDefault& d : kSearchDefaults) {
        if (literal_kind(d.text) != LiteralKind::Flag) {
            EXPECT_EQ(bits(literal_value(d.text)), bits(std::strtod(d.text, nullptr))) << d.name;
        }
    }
}

TEST(Defaults, LiteralsOutsideTheExactRangeAreRefused) {
    for (const char* text :
         {"", ".", "1e", "1e+", "1e-23", "abc", "9007199254740993", "1.2.3", "-1", "1e5x", "0.30000000000000004"})
        EXPECT_THROW(literal_value(text), std::invalid_argument) << text;
}

// ===========================================================================
// expr_fault: the first fault of a token sequence, or none.

struct FaultCase {
    const char* name;
    Tokens tokens;
    std::size_t n_vars;
    std::optional<std::string> fault;
};

class ExprFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ExprFault, NamesTheFirstFault) {
    const FaultCase& c = GetParam();
    EXPECT_EQ(expr_fault(c.tokens, c.n_vars), c.fault);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, ExprFault,
    ::testing::Values(
        FaultCase{"product", {V(0), V(1), O(OpCode::Mul)}, 2, std::nullopt},
        FaultCase{"unary_of_constant", {C(1.0), O(OpCode::Ln)}, 0, std::nullopt},
        FaultCase{"variable_past_names",
                  {V(0), V(2), O(OpCode::Add)},
                  2,
                  "token 1: variable 2 is out of range for 2 variable(s)"},
        FaultCase{"operator_code_past_table",
                  {C(1.0), O(static_cast<OpCode>(16))},
                  0,
                  "token 1: operator code 16 is no operator"},
        FaultCase{"unknown_kind",
                  {Token{static_cast<TokenKind>(4), OpCode::Neg, 0, 0.0}},
                  0,
                  "token 0: kind 4 is no token kind"},
        FaultCase{"lone_binary", {O(OpCode::Add)}, 0, "token 0: add takes 2 operand(s), 0 available"},
        FaultCase{"binary_short_of_one", {V(0), O(OpCode::Vok)}, 1, "token 1: vok takes 2 operand(s), 1 available"},
        FaultCase{"two_values_left", {V(0), V(0)}, 1, "the tokens leave 2 values; an expression leaves one"},
        FaultCase{"empty", {}, 3, "the tokens leave 0 values; an expression leaves one"}),
    [](const auto& info) { return std::string(info.param.name); });

// ===========================================================================
// is_formula_text: exactly the texts to_string writes.

// A random well-formed expression of `size` tokens at most.
Expr random_expr(std::mt19937_64& rng, std::size_t size) {
    static const double kConstants[] = {0.0,   1.0,  -2.5, 3.141592653589793, 2.718281828459045, kNaN, kInf,
                                        -kInf, 1e20, -0.0};
    std::uniform_int_distribution<int> pick(0, 99);
    if (size <= 1 || pick(rng) < 25) {
        // Indices past 255 wrap; 136 writes U+0000, 168 a space, 176 "(", 177 ")".
        if (pick(rng) < 50) return Expr::leaf(V(static_cast<std::size_t>(pick(rng)) * 7 % 300));
        return Expr::leaf(C(kConstants[static_cast<std::size_t>(pick(rng)) % std::size(kConstants)]));
    }
    const auto op = static_cast<OpCode>(static_cast<std::size_t>(pick(rng)) % kOpCount);
    if (is_unary(op)) return Expr::unary(random_expr(rng, size - 1), op);
    return Expr::binary(random_expr(rng, size / 2), random_expr(rng, size / 2), op);
}

TEST(FormulaText, EveryRenderedExpressionIsOne) {
    std::mt19937_64 rng(17);
    for (int k = 0; k < 3000; ++k) {
        const std::string text = to_string(random_expr(rng, 1 + static_cast<std::size_t>(k % 24)));
        EXPECT_TRUE(is_formula_text(text)) << text;
    }
    EXPECT_TRUE(is_formula_text(std::string(1, '\0')));  // variable 136's letter
}

TEST(FormulaText, OtherTextsAreNot) {
    for (std::string_view text :
         {"", "x\nimport os", "(x + y", "x)", "(x +  y)", "exp(x", "f(x)", "(x ^ y)", "1.00", "( + )", "??",
          "__import__('os').system('id')", "sqrt(x)) + (1", "c0(1.0000)", "x y", "\xC4\x80"})
        EXPECT_FALSE(is_formula_text(text)) << text;
    EXPECT_FALSE(is_formula_text(std::string(1, '\0') + "import os"));
}

// ===========================================================================
// rmse: the search's own error before the penalty, bit for bit.

TEST(Rmse, TimesThePenaltyIsTheSearchError) {
    const std::vector<std::vector<double>> cols{{1, 2, 3, 4, 5}, {0.5, -1, 2, 7, 3}};
    const std::vector<double> y{2.1, 3.9, 9.7, 30.0};  // fewer targets than rows: the others are not scored
    for (const double penalty : {0.0, 0.001, 0.25}) {
        SearchOptions o = opts(4, true, true, 40);
        o.complexity_penalty = penalty;
        o.precision_goal = 0.0;
        const auto best = search(cols, y, 2, o);
        ASSERT_TRUE(best);
        EXPECT_EQ(bits(rmse(best->expr, cols, y) * penalty_factor(best->complexity, penalty)), bits(best->error));
    }
}

TEST(Rmse, AFailingRowGivesNaN) {
    const std::vector<std::vector<double>> cols{{1, 2, -3}};
    EXPECT_TRUE(std::isnan(rmse(E({V(0), O(OpCode::Ln)}), cols, std::vector<double>{0, 0})));
    EXPECT_EQ(bits(rmse(E({V(0)}), cols, std::vector<double>{1, 2})), bits(0.0));
    EXPECT_THROW(rmse(E({V(0)}), {}, std::vector<double>{1}), std::out_of_range);
}

}  // namespace
