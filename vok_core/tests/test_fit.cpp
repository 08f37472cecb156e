// Fitted constants: the forward-mode evaluator against the column evaluator
// and finite differences, and Levenberg-Marquardt on laws with inner
// constants.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "discover/dual.hpp"
#include "discover/lm.hpp"
#include "fit_table.hpp"

namespace {

using namespace fit_test;

const Tokens kAllOps = {V(0),           P(0, 0.3),      O(OpCode::Mul), O(OpCode::Exp),  P(1, 1.7),
                        V(1),           O(OpCode::Add), O(OpCode::Div), O(OpCode::Sin),  V(0),
                        O(OpCode::Ln),  P(0, 0.3),      O(OpCode::Mul), O(OpCode::Cos),  O(OpCode::Sub),
                        V(1),           P(1, 1.7),      O(OpCode::Mul), O(OpCode::Sqrt), O(OpCode::Recip),
                        O(OpCode::Neg), O(OpCode::Abs), O(OpCode::Vok), P(2, 0.5),       O(OpCode::Mul)};

// ===========================================================================
// The forward-mode evaluator

struct DualCase {
    const char* name;
    Tokens tokens;
    std::vector<double> params;
};

class DualEval : public ::testing::TestWithParam<DualCase> {};

TEST_P(DualEval, ValuesAreTheColumnEvaluatorsAndDerivativesMatchDifferences) {
    const DualCase& c = GetParam();
    Table t = sample();
    const ColumnView view = t.view();
    const Expr e = E(c.tokens);
    const std::size_t m = c.params.size();
    std::vector<std::size_t> column(m);
    for (std::size_t k = 0; k < m; ++k) column[k] = k;
    std::vector<double> values, derivs;
    // Strict: the tension's guards make a row fail instead of acting.
    for (bool strict : {true, false}) {
        DualEvaluator dual(strict);
        const bool ok = eval_dual_rows(e, view, c.params, Directions{column, m}, dual, values, derivs);
        BlockEvaluator plain(strict);
        bool plain_ok = true;
        for (std::size_t first = 0; first < view.rows; first += kBlockRows) {
            const std::size_t n = std::min(kBlockRows, view.rows - first);
            const double* v = plain.eval(e.tokens, view, c.params, first, n);
            plain_ok = plain_ok && v;
            for (std::size_t r = 0; ok && v && r < n; ++r)
                ASSERT_EQ(bits(values[first + r]), bits(v[r])) << "row " << first + r;
        }
        ASSERT_EQ(ok, plain_ok) << "strict " << strict;
    }
    DualEvaluator dual;
    ASSERT_TRUE(eval_dual_rows(e, view, c.params, Directions{column, m}, dual, values, derivs));
    for (std::size_t k = 0; k < m; ++k) {
        const double h = 1e-6 * std::max(1.0, std::fabs(c.params[k]));
        std::vector<double> up = c.params, down = c.params;
        up[k] += h;
        down[k] -= h;
        const auto vu = eval_batch(e, t.cols, up), vd = eval_batch(e, t.cols, down);
        ASSERT_TRUE(vu && vd);
        for (std::size_t r = 0; r < view.rows; ++r) {
            const double fd = ((*vu)[r] - (*vd)[r]) / (2.0 * h);
            EXPECT_NEAR(derivs[k * view.rows + r], fd, 1e-5 * std::max(1.0, std::fabs(fd))) << "param " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, DualEval,
    ::testing::Values(
        DualCase{"every_operator", kAllOps, {0.3, 1.7, 0.5}},
        DualCase{"shared_param", {V(2), P(0, 2.1), O(OpCode::Mul), P(0, 2.1), O(OpCode::Add), O(OpCode::Sin)}, {2.1}},
        DualCase{"power", {V(0), O(OpCode::Ln), P(0, 1.5), O(OpCode::Mul), O(OpCode::Exp)}, {1.5}},
        DualCase{"vok_left_and_right",
                 {P(0, 0.2), V(0), O(OpCode::Mul), V(1), P(1, -3.0), O(OpCode::Add), O(OpCode::Vok)},
                 {0.2, -3.0}},
        DualCase{"no_params", {V(0), V(1), O(OpCode::Div), O(OpCode::Exp)}, {}},
        // x in [0.5, 4.5] and y in [1, 5] keep asin's and acos's operands inside (-1, 1).
        DualCase{"appended_operators",
                 {V(0), P(0, 0.2), O(OpCode::Mul), O(OpCode::Arcsin), V(1), P(1, 0.15), O(OpCode::Mul),
                  O(OpCode::Arccos), O(OpCode::Add), P(0, 0.2), O(OpCode::Mul), O(OpCode::Tanh)},
                 {0.2, 0.15}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DualEval, FailsWhereThePlainEvaluatorFailsAndOnAnInfiniteSlope) {
    Table t = sample();
    const ColumnView view = t.view();
    const std::size_t column[] = {0};
    const Directions dirs{column, 1};
    DualEvaluator dual;
    std::vector<double> values, derivs;
    // ln(x + c) with x from 0.5: c = -0.5 reaches ln(0) at the first row.
    const Expr log_shift = E({V(0), P(0, 0.0), O(OpCode::Add), O(OpCode::Ln)});
    const double fails[] = {-0.5}, passes[] = {-0.25};
    EXPECT_FALSE(eval_dual_rows(log_shift, view, fails, dirs, dual, values, derivs));
    EXPECT_TRUE(eval_dual_rows(log_shift, view, passes, dirs, dual, values, derivs));
    // sqrt(x + c) has the value 0 there, but no finite slope.
    const Expr sqrt_shift = E({V(0), P(0, 0.0), O(OpCode::Add), O(OpCode::Sqrt)});
    ASSERT_TRUE(eval_batch(sqrt_shift, t.cols, fails));
    EXPECT_FALSE(eval_dual_rows(sqrt_shift, view, fails, dirs, dual, values, derivs));
    // asin(c * x) at c = 1 / 4.5 reaches asin(1) at the last row: a value,
    // no finite slope; a little further it has no value either.
    const Expr arcsin_scale = E({V(0), P(0, 0.0), O(OpCode::Mul), O(OpCode::Arcsin)});
    const double edge[] = {1.0 / 4.5}, beyond[] = {0.25}, inside[] = {0.2};
    ASSERT_TRUE(eval_batch(arcsin_scale, t.cols, edge));
    EXPECT_FALSE(eval_dual_rows(arcsin_scale, view, edge, dirs, dual, values, derivs));
    EXPECT_FALSE(eval_dual_rows(arcsin_scale, view, beyond, dirs, dual, values, derivs));
    EXPECT_TRUE(eval_dual_rows(arcsin_scale, view, inside, dirs, dual, values, derivs));
}

// ===========================================================================
// Levenberg-Marquardt

TEST(FitScaled, ExponentialDecayFromTheWrongSign) {
    Table t = sample();
    std::vector<double> y;
    for (double x : t.cols[0]) y.push_back(2.0 * std::exp(-0.7 * x));
    const Expr f = E({V(0), P(0, 0.0), O(OpCode::Mul), O(OpCode::Exp)});
    FitScratch scratch;
    const std::vector<std::vector<double>> starts = {{1.0}};
    const auto fit = fit_scaled(f, data_of(t, y), starts, {}, scratch);
    ASSERT_TRUE(fit);
    EXPECT_NEAR(fit->params[0], -0.7, 1e-9);
    EXPECT_NEAR(fit->scale, 2.0, 1e-8);
    EXPECT_NEAR(fit->offset, 0.0, 1e-8);
}

TEST(FitScaled, ConstantShapeOrFailingRowsGiveNoFit) {
    Table t = sample();
    std::vector<double> y(t.cols[0].size(), 1.0);
    for (std::size_t r = 0; r < y.size(); ++r) y[r] += t.cols[0][r];
    FitScratch scratch;
    // exp(c * 0): constant for every c.
    const Expr flat = E({C(0.0), P(0, 0.0), O(OpCode::Mul), O(OpCode::Exp)});
    const std::vector<std::vector<double>> starts = {{1.0}, {-1.0}};
    EXPECT_FALSE(fit_scaled(flat, data_of(t, y), starts, {}, scratch));
    // ln(c - x) fails on some row at both starts.
    const Expr log_neg = E({P(0, 0.0), V(0), O(OpCode::Sub), O(OpCode::Ln)});
    EXPECT_FALSE(fit_scaled(log_neg, data_of(t, y), starts, {}, scratch));
    // No rows at all.
    const Expr decay = E({V(0), P(0, 0.0), O(OpCode::Mul), O(OpCode::Exp)});
    EXPECT_FALSE(fit_scaled(decay, FitData{t.view(), {}}, starts, {}, scratch));
}

TEST(FitDirect, RefitsTheFreeConstantsOnly) {
    Table t = sample();
    std::vector<double> y;
    for (double x : t.cols[0]) y.push_back(1.3 * std::pow(x, 1.5) + 0.2);
    // ((exp(ln(x) * p0) * p1) + p2)
    const Expr g = E({V(0), O(OpCode::Ln), P(0, 0), O(OpCode::Mul), O(OpCode::Exp), P(1, 0), O(OpCode::Mul), P(2, 0),
                      O(OpCode::Add)});
    FitScratch scratch;
    const auto all = fit_direct(g, data_of(t, y), {1.4, 1.0, 0.0}, {}, {}, scratch);
    ASSERT_TRUE(all);
    EXPECT_NEAR(all->params[0], 1.5, 1e-9);
    EXPECT_NEAR(all->params[1], 1.3, 1e-9);
    EXPECT_NEAR(all->params[2], 0.2, 1e-8);
    const bool free[] = {true, true, false};
    const auto fixed = fit_direct(g, data_of(t, y), {1.4, 1.0, 0.25}, free, {}, scratch);
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->params[2], 0.25);
    EXPECT_GT(fixed->sse, all->sse);
}

}  // namespace
