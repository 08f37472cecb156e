// Shapes with inner constants: their fits on laws, under different
// divisions of the work and an interrupt, the refinement of a level, and the
// fitted search that uses it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "discover/param_shapes.hpp"
#include "discover/refine.hpp"
#include "fit_table.hpp"
#include "interrupt.hpp"
#include "poll_probe.hpp"

namespace {

using namespace fit_test;

// ===========================================================================
// Shapes over the candidates of a level

struct Law {
    const char* name;
    double (*y)(double x, double y, double t);
    Expr base;
    ShapeKind kind;
    std::size_t var;
};

class ShapeFit : public ::testing::TestWithParam<Law> {};

TEST_P(ShapeFit, RecoversTheLaw) {
    const Law& law = GetParam();
    Table t = sample();
    std::vector<double> y;
    for (std::size_t r = 0; r < t.cols[0].size(); ++r) y.push_back(law.y(t.cols[0][r], t.cols[1][r], t.cols[2][r]));
    const Expr bases[] = {law.base};
    const ShapeTask tasks[] = {{0, law.kind, static_cast<std::uint32_t>(law.var)}};
    const auto fits = fit_shapes(bases, tasks, data_of(t, y), {}, serial_executor);
    ASSERT_EQ(fits.size(), 1u);
    double syy = 0.0;
    for (double v : y) syy += v * v;
    EXPECT_LT(fits[0].sse, 1e-20 * syy) << to_string(fits[0].f);
    // The reported form reproduces the targets from its tokens alone.
    const Scaled reported = scale_shape(fits[0].f, t.view(), y);
    const auto pred = eval_batch(reported.expr, t.cols, reported.params);
    ASSERT_TRUE(pred);
    for (std::size_t r = 0; r < y.size(); ++r) EXPECT_NEAR((*pred)[r], y[r], 1e-8 * std::max(1.0, std::fabs(y[r])));
}

INSTANTIATE_TEST_SUITE_P(
    Laws, ShapeFit,
    ::testing::Values(
        Law{"decay", [](double x, double, double) { return 2.0 * std::exp(-0.7 * x); }, E({V(0)}), ShapeKind::Exp, 0},
        Law{"oscillation", [](double, double, double t) { return 3.0 * std::sin(2.1 * t + 0.4); }, E({V(2)}),
            ShapeKind::Sine, 0},
        Law{"ratio", [](double x, double y, double) { return x / (3.0 + y); }, E({V(0)}), ShapeKind::Ratio, 1},
        Law{"power", [](double x, double, double) { return 1.3 * std::pow(x, 1.5) + 0.2; }, E({V(0)}), ShapeKind::Power,
            0},
        Law{"arrhenius", [](double x, double, double) { return 1e3 * std::exp(-5000.0 / (8.314 * (100.0 * x))); },
            E({V(0), C(100.0), O(OpCode::Mul)}), ShapeKind::Boltzmann, 0},
        Law{"projectile", [](double x, double, double t) { return x * x * std::sin(2.0 * (t / 5.0)) / 9.81; },
            E({V(0), V(0), O(OpCode::Mul)}), ShapeKind::Wave, 2},
        Law{"log_shift", [](double x, double, double) { return std::log(x + 0.2); }, E({V(0)}), ShapeKind::Log, 0},
        Law{"pole", [](double, double y, double) { return 4.0 / (y - 0.3) - 1.0; }, E({V(1)}), ShapeKind::Pole, 0},
        Law{"damped_from_fitted_parts",
            [](double, double, double t) { return std::exp(-0.3 * t) * std::sin(2.0 * t + 0.5); },
            E({V(2), P(0, -0.29), O(OpCode::Mul), O(OpCode::Exp), V(2), P(1, 1.98), O(OpCode::Mul), P(2, 0.45),
               O(OpCode::Add), O(OpCode::Sin), O(OpCode::Mul)}),
            ShapeKind::Refit, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShapeFit, SameResultsForAnyDivisionOfTheWork) {
    Table t = sample(200);
    std::vector<double> y;
    for (std::size_t r = 0; r < 200; ++r)
        y.push_back(std::exp(-0.5 * t.cols[0][r]) + 0.3 * t.cols[1][r] + 0.01 * std::sin(37.0 * r));
    const Expr bases[] = {E({V(0)}), E({V(1)}), E({V(0), V(1), O(OpCode::Mul)})};
    ShapeOptions options;
    const auto tasks = shape_tasks(bases, 3, options);
    ASSERT_GT(tasks.size(), 20u);
    const auto serial = fit_shapes(bases, tasks, data_of(t, y), options, serial_executor);
    ASSERT_FALSE(serial.empty());
    for (Executor exec : {reverse_single_executor, threaded_executor, vok::discover::pool_executor}) {
        const auto other = fit_shapes(bases, tasks, data_of(t, y), options, exec);
        ASSERT_EQ(other.size(), serial.size());
        for (std::size_t i = 0; i < serial.size(); ++i) {
            EXPECT_EQ(other[i].f, serial[i].f);
            EXPECT_EQ(other[i].task, serial[i].task);
            EXPECT_EQ(bits(other[i].sse), bits(serial[i].sse));
            EXPECT_EQ(bits(other[i].scale), bits(serial[i].scale));
        }
    }
}

TEST(ShapeTasks, RespectComplexityTrigAndExistingConstants) {
    const Expr bases[] = {E({V(0)}), E({V(0), P(0, 2.0), O(OpCode::Add)})};
    ShapeOptions options;
    options.max_complexity = 5;
    options.use_trig = false;
    std::size_t refits = 0;
    for (const ShapeTask& t : shape_tasks(bases, 2, options)) {
        EXPECT_NE(t.kind, ShapeKind::Sine);
        EXPECT_LE(shape_expr(bases[t.base], t.kind, t.var).complexity(), 5u);
        if (t.kind == ShapeKind::Refit) {
            EXPECT_EQ(t.base, 1u);
        }
        refits += t.kind == ShapeKind::Refit;
    }
    EXPECT_EQ(refits, 1u);
    // The base's constants come first, each shape's own after them.
    const Expr e = shape_expr(bases[1], ShapeKind::Exp, 0);
    EXPECT_EQ(e.tokens[1], P(0, 2.0));
    EXPECT_EQ(e.tokens[3].kind, TokenKind::Param);
    EXPECT_EQ(e.tokens[3].index, 1u);
    // exp(c / m) puts its constant first; the start values follow the tokens.
    Table t = sample();
    const std::vector<double> y(t.cols[0].size(), 1.0), mv = *eval_batch(bases[1], t.cols, {});
    const Expr b = shape_expr(bases[1], ShapeKind::Boltzmann, 0);
    EXPECT_EQ(b.tokens[0].index, 0u);
    EXPECT_EQ(b.tokens[2], P(1, 2.0));
    const auto starts = shape_starts(bases[1], mv, ShapeKind::Boltzmann, 0, data_of(t, y), 3);
    ASSERT_EQ(starts.size(), 3u);
    for (const auto& start : starts) {
        EXPECT_TRUE(std::isfinite(start[0]));
        EXPECT_EQ(start[1], 2.0);
    }
}

TEST(RefineShapes, ReturnsTheBestImprovingShapesOfTheLevel) {
    Table t = sample(150);
    std::vector<double> y;
    for (double x : t.cols[0]) y.push_back(5.0 - 2.0 * std::exp(-0.7 * x));
    // Fitted results as the search reports them: ((shape * b) + a).
    auto result = [](Tokens shape, std::vector<double> params) {
        const std::size_t n = params.size();
        shape.insert(shape.end(), {P(n, 0.0), O(OpCode::Mul), P(n + 1, 0.0), O(OpCode::Add)});
        params.insert(params.end(), {1.0, 0.0});
        SearchResult r;
        r.expr = E(shape);
        r.params = params;
        return r;
    };
    const SearchResult best[] = {result({V(0)}, {}), result({V(0), P(0, 0.0), O(OpCode::Add), O(OpCode::Sqrt)}, {2.0})};
    EXPECT_EQ(shape_of(best[1]).tokens, (Tokens{V(0), P(0, 2.0), O(OpCode::Add), O(OpCode::Sqrt)}));
    ShapeOptions options;
    options.keep = 3;
    const auto shapes = refine_shapes(best, {}, data_of(t, y), 3, options, serial_executor);
    ASSERT_EQ(shapes.size(), 3u);
    EXPECT_EQ(to_string(shapes[0]), "exp((x * c0(-0.7000)))");
    // Each returned shape fits better than its base alone (x: a straight line).
    FitScratch scratch;
    const std::vector<std::vector<double>> none = {{}};
    const double line = fit_scaled(E({V(0)}), data_of(t, y), none, {}, scratch)->sse;
    for (const Expr& s : shapes) {
        Expr fixed = s;
        for (Token& tok : fixed.tokens)
            if (tok.kind == TokenKind::Param) tok = Token::constant(tok.value);
        EXPECT_LT(fit_scaled(fixed, data_of(t, y), none, {}, scratch)->sse, line) << to_string(s);
    }
}

TEST(ShapeFit, OscillationWrittenWithPositiveFrequencyAndScale) {
    Table t = sample(150);
    const double pi = std::numbers::pi;
    for (double sign : {1.0, -1.0}) {
        std::vector<double> y;
        for (double v : t.cols[2]) y.push_back(sign * 3.0 * std::sin(2.1 * v + 0.4));
        const Expr bases[] = {E({V(2)})};
        const ShapeTask tasks[] = {{0, ShapeKind::Sine, 0}};
        const auto fits = fit_shapes(bases, tasks, data_of(t, y), {}, serial_executor);
        ASSERT_EQ(fits.size(), 1u);
        EXPECT_NEAR(fits[0].f.tokens[1].value, 2.1, 1e-9);
        EXPECT_NEAR(fits[0].f.tokens[3].value, sign > 0 ? 0.4 : 0.4 - pi, 1e-9);
        EXPECT_NEAR(fits[0].scale, 3.0, 1e-9);
    }
}

// The fitted search with its refinement: the law's shape, and the same
// result however the levels and the fits are divided among workers.
TEST(SearchFitted, InnerConstantsFoundAlikeForAnyDivisionOfTheWork) {
    Table t = sample(150);
    std::vector<double> y;
    for (double x : t.cols[0]) y.push_back(2.0 * std::exp(-0.7 * x) + 0.5);
    const std::vector<std::vector<double>> cols = {t.cols[0], t.cols[1]};
    SearchOptions o;
    o.max_complexity = 6;
    o.fit.enabled = true;
    o.fit.top_k = 4;
    o.fit.restarts = 2;
    std::optional<SearchResult> first;
    for (Executor exec : {serial_executor, threaded_executor, vok::discover::pool_executor}) {
        o.fit.refine = refine_hook(cols, y, o, exec);
        SearchInternals internals;
        internals.executor = exec;
        const auto r = search_with(cols, y, 2, o, internals);
        ASSERT_TRUE(r);
        if (!first) {
            first = r;
            EXPECT_EQ(to_string(shape_of(*r)), "exp((x * c0(-0.7000)))");
            EXPECT_LT(r->error, 1e-10);
            continue;
        }
        EXPECT_EQ(r->expr, first->expr);
        ASSERT_EQ(r->params.size(), first->params.size());
        for (std::size_t i = 0; i < r->params.size(); ++i) EXPECT_EQ(bits(r->params[i]), bits(first->params[i]));
        EXPECT_EQ(bits(r->error), bits(first->error));
    }
}

// A poll that says stop reaches a fit on the calling thread and on the pool.
TEST(ShapeFit, StopsWhenThePollSaysSo) {
    Table t = sample(20000);
    std::vector<double> y;
    for (double x : t.cols[0]) y.push_back(std::exp(-0.7 * x) + 0.1 * x * x);
    const Expr bases[] = {E({V(0)}), E({V(1)})};
    const auto tasks = shape_tasks(bases, 3, {});
    for (Executor exec : {serial_executor, vok::discover::pool_executor}) {
        Poll poll(true);
        vok::PollScope scope(&Poll::ask, &poll);
        EXPECT_THROW(fit_shapes(bases, tasks, data_of(t, y), {}, exec), vok::Interrupted);
        EXPECT_GT(poll.calls, 0);
    }
}

// A damped oscillation: the sine fitted at one level is carried to the next,
// where its exponential envelope is fitted together with it.
TEST(SearchFitted, DampedOscillationFromACarriedSine) {
    Table t = sample(150);
    std::vector<double> y;
    for (double v : t.cols[2]) y.push_back(2.0 * std::exp(-0.3 * v) * std::cos(2.5 * v + 0.2));
    const std::vector<std::vector<double>> cols = {t.cols[2]};
    SearchOptions o;
    o.max_complexity = 11;
    o.fit.enabled = true;
    o.fit.top_k = 8;
    o.fit.restarts = 2;
    o.fit.refine = refine_hook(cols, y, o, serial_executor);
    SearchInternals internals;
    internals.executor = serial_executor;
    const auto r = search_with(cols, y, 1, o, internals);
    ASSERT_TRUE(r);
    EXPECT_EQ(to_string(shape_of(*r)), "(sin(((x * c0(2.5000)) + c1(1.7708))) * exp((x * c2(-0.3000))))");
    EXPECT_LT(r->error, 1e-10);
}

// On more rows than kFitRows the shapes are fitted on a sample, and those
// kept end with the constants that fit every row.
TEST(RefineShapes, KeptShapesFitEveryRowOfALargeTable) {
    Table t = sample(1000);
    std::vector<double> y;
    for (std::size_t r = 0; r < 1000; ++r) y.push_back(2.0 * std::exp(-0.7 * t.cols[0][r]) + 0.05 * std::sin(37.0 * r));
    SearchResult x;
    x.expr = E({V(0), P(0, 1.0), O(OpCode::Mul), P(1, 0.0), O(OpCode::Add)});
    x.params = {1.0, 0.0};
    ShapeOptions options;
    options.keep = 1;
    const auto shapes = refine_shapes({&x, 1}, {}, data_of(t, y), 3, options, serial_executor);
    ASSERT_EQ(shapes.size(), 1u);
    ASSERT_EQ(to_string(shapes[0]).substr(0, 10), "exp((x * c");
    FitScratch scratch;
    LmOptions tight;
    tight.tolerance = 1e-14;
    const std::vector<std::vector<double>> start = {{-0.5}};
    const auto full =
        fit_scaled(E({V(0), P(0, 0.0), O(OpCode::Mul), O(OpCode::Exp)}), data_of(t, y), start, tight, scratch);
    ASSERT_TRUE(full);
    EXPECT_NEAR(shapes[0].tokens[1].value, full->params[0], 1e-7);
}

// Constants that hardly help go with their operator: (n / V + c) * T for
// n T / V is (n / V) * T, and n / (c + V) for 2 n / V is n / V, while
// x / (3 + y) keeps its shift.
TEST(RefineShapes, ConstantsThatHardlyHelpAreRemoved) {
    Table t = sample(150);
    for (double& T : t.cols[2]) T = 250.0 + 25.0 * T;  // kelvin
    auto refine = [&](Tokens base, double (*law)(double, double, double)) {
        std::vector<double> y;
        for (std::size_t r = 0; r < 150; ++r) y.push_back(law(t.cols[0][r], t.cols[1][r], t.cols[2][r]));
        SearchResult r;
        r.expr = E(base);
        r.expr.tokens.insert(r.expr.tokens.end(), {P(0, 1.0), O(OpCode::Mul), P(1, 0.0), O(OpCode::Add)});
        r.params = {1.0, 0.0};
        std::vector<std::string> out;
        for (const Expr& e : refine_shapes({&r, 1}, {}, data_of(t, y), 3, {}, serial_executor))
            out.push_back(to_string(e));
        return out;
    };
    const auto gas =
        refine({V(0), V(1), O(OpCode::Div)}, [](double n, double v, double T) { return 8.314 * n * T / v; });
    ASSERT_FALSE(gas.empty());
    EXPECT_EQ(gas[0], "((x / y) * z)");
    for (const std::string& s : gas) EXPECT_NE(s.substr(0, 13), "(((x / y) + c") << s;
    const auto ratio = refine({V(0)}, [](double x, double y, double) { return 2.0 * x / y; });
    EXPECT_NE(std::find(ratio.begin(), ratio.end(), "(x / y)"), ratio.end());
    const auto shifted = refine({V(0)}, [](double x, double y, double) { return x / (3.0 + y); });
    ASSERT_FALSE(shifted.empty());
    EXPECT_EQ(shifted[0], "(x / (c0(3.0000) + y))");
}

}  // namespace
