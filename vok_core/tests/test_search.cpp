// The beam search: generation order, its exits, the worked examples, and
// score_level and update_best.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "discover_reference.hpp"
#include "guards.hpp"
#include "interrupt.hpp"

namespace {

using namespace vok::discover;
using namespace discover_test;

// ===========================================================================
// Search: generation order, exits and the worked examples

TEST(SearchGeneration, LevelTwoWithoutTrigAndVok) {
    const Outcome r = run({{1, 2, 3, 4}}, {100, 50, -3, 7}, opts(3, false, false));
    ASSERT_GE(r.trace.levels.size(), 2u);
    EXPECT_EQ(texts(r.trace.levels[0]), (std::vector<std::string>{"0.0000", "1.0000", "x"}));
    EXPECT_EQ(texts(r.trace.levels[1]),
              (std::vector<std::string>{"(-0.0000)", "(-1.0000)", "exp(1.0000)", "(-x)", "(1/x)", "exp(x)", "ln(x)",
                                        "sqrt(x)", "(1.0000 + 1.0000)", "(x + 1.0000)", "(x - 1.0000)", "(1.0000 - x)",
                                        "(x + x)", "(x * x)"}));
}

TEST(SearchGeneration, LevelTwoWithDefaults) {
    const Outcome r = run({{1, 2, 3, 4}}, {100, 50, -3, 7}, opts(3, true, true));
    ASSERT_GE(r.trace.levels.size(), 2u);
    EXPECT_EQ(texts(r.trace.levels[1]), (std::vector<std::string>{"(-0.0000)",
                                                                  "(-1.0000)",
                                                                  "exp(1.0000)",
                                                                  "sin(1.0000)",
                                                                  "cos(1.0000)",
                                                                  "(-x)",
                                                                  "(1/x)",
                                                                  "exp(x)",
                                                                  "ln(x)",
                                                                  "sqrt(x)",
                                                                  "sin(x)",
                                                                  "cos(x)",
                                                                  "vok(0.0000, 0.0000)",
                                                                  "vok(1.0000, 0.0000)",
                                                                  "(1.0000 + 1.0000)",
                                                                  "vok(x, 0.0000)",
                                                                  "vok(0.0000, x)",
                                                                  "(x + 1.0000)",
                                                                  "(x - 1.0000)",
                                                                  "(1.0000 - x)",
                                                                  "vok(1.0000, x)",
                                                                  "(x + x)",
                                                                  "(x * x)",
                                                                  "vok(x, x)"}));
}

// The appended operators follow the others in each member's unary phase. At
// the plain search's probes x takes values past 1, so asin(x) and acos(x)
// have no fingerprint; asin(0), asin(1) = acos(0), acos(1) and tanh(0) repeat
// earlier values.
TEST(SearchGeneration, LevelTwoWithTheAppendedOperators) {
    SearchOptions o = opts(3, false, false);
    o.extra_unary = 7;
    const Outcome r = run({{1, 2, 3, 4}}, {100, 50, -3, 7}, o);
    ASSERT_GE(r.trace.levels.size(), 2u);
    EXPECT_EQ(texts(r.trace.levels[1]),
              (std::vector<std::string>{"(-0.0000)", "arccos(0.0000)", "(-1.0000)", "exp(1.0000)", "tanh(1.0000)",
                                        "(-x)", "(1/x)", "exp(x)", "ln(x)", "sqrt(x)", "tanh(x)", "(1.0000 + 1.0000)",
                                        "(x + 1.0000)", "(x - 1.0000)", "(1.0000 - x)", "(x + x)", "(x * x)"}));
}

TEST(SearchGeneration, FirstBuiltFormOfAFunctionSurvives) {
    const Outcome r = run({{1, 2, 3, 4}}, {100, 50, -3, 7}, opts(3, false, false));
    const auto level2 = texts(r.trace.levels[1]);
    // (x - 0) and (x * 1) are x; (0 - x) comes after (-x); (1 / x) after (1/x).
    for (const char* gone : {"(x - 0.0000)", "(x * 1.0000)", "(0.0000 - x)", "(1.0000 / x)", "exp(0.0000)", "(x / x)"})
        EXPECT_EQ(std::count(level2.begin(), level2.end(), gone), 0) << gone;
    EXPECT_EQ(std::count(level2.begin(), level2.end(), "(-x)"), 1);
    // Two variables: x - y looks like (-x) and is never accepted.
    const Outcome two = run({{1, 2, 3}, {4, 5, 6}}, {0, 0, 1}, opts(3, false, false));
    const auto l2 = texts(two.trace.levels[1]);
    for (const char* gone : {"(x - y)", "(y - x)", "(x + x)"})
        EXPECT_EQ(std::count(l2.begin(), l2.end(), gone), 0) << gone;
    EXPECT_EQ(std::count(l2.begin(), l2.end(), "(y * x)"), 1);
    EXPECT_EQ(std::count(l2.begin(), l2.end(), "(x * y)"), 0);
}

TEST(SearchExample, SquarePlusOneAtLevelThree) {
    const Outcome r = run({{1, 2, 3, 4}}, {2, 5, 10, 17}, SearchOptions{});
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->formula, "((x * x) + 1.0000)");
    EXPECT_EQ(bits(r.result->error), bits(0.0));
    EXPECT_EQ(r.result->complexity, 5u);
    EXPECT_EQ(r.result->expr.tokens, (Tokens{V(0), V(0), O(OpCode::Mul), C(1.0), O(OpCode::Add)}));
    EXPECT_TRUE(r.result->params.empty());
    EXPECT_EQ(r.trace.levels.size(), 3u);  // leaves, level 2, level 3: stopped early
}

TEST(SearchExample, MaxComplexityThreeSettlesForTheSquare) {
    SearchOptions o = opts(3, false, false);
    const Outcome r = run({{1, 2, 3, 4}}, {2, 5, 10, 17}, o);
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->formula, "(x * x)");
    EXPECT_EQ(r.result->error, 1.003);
    EXPECT_EQ(r.result->complexity, 3u);
    ASSERT_EQ(r.trace.levels.size(), 3u);
    // Level 3 only extends level-2 members by one operator; (-(x * x)) is among them.
    const auto l3 = texts(r.trace.levels[2]);
    EXPECT_EQ(std::count(l3.begin(), l3.end(), "(-(x * x))"), 1);
    for (const Expr& e : r.trace.levels[2]) {
        EXPECT_EQ(e.tokens.back().kind, TokenKind::Op);
        EXPECT_TRUE(is_unary(e.tokens.back().op)) << to_string(e);
    }
}

TEST(SearchExample, ProductOfTwoVariables) {
    const Outcome r = run({{1, 2, 3}, {4, 5, 6}}, {4, 10, 18}, SearchOptions{});
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->formula, "(y * x)");
    EXPECT_EQ(r.result->error, 0.0);
    EXPECT_EQ(r.result->complexity, 3u);
    EXPECT_EQ(r.trace.levels.size(), 2u);
}

TEST(SearchExample, ConstantMinusThree) {
    const Outcome r = run({{1, 2, 3}, {4, 5, 6}}, {-3, -3, -3}, SearchOptions{});
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->formula, "((-1.0000) - (1.0000 + 1.0000))");
    EXPECT_EQ(r.result->error, 0.0);
    EXPECT_EQ(r.result->complexity, 6u);
    EXPECT_EQ(r.trace.levels.size(), 3u);
}

TEST(SearchExit, EarlyStopAfterTheLeaves) {
    const Outcome var = run({{1, 2, 3}}, {1, 2, 3}, SearchOptions{});
    ASSERT_TRUE(var.result);
    EXPECT_EQ(var.result->formula, "x");
    EXPECT_EQ(var.result->complexity, 1u);
    EXPECT_EQ(var.trace.levels.size(), 1u);  // level 2 never generated
    const Outcome one = run({{1, 2}}, {1, 1}, SearchOptions{});
    ASSERT_TRUE(one.result);
    EXPECT_EQ(one.result->formula, "1.0000");
    EXPECT_EQ(one.trace.levels.size(), 1u);
}

TEST(SearchExit, PenaltyKeepsNearMissFromStopping) {
    // rmse 1e-10 at complexity 3: the error is 1.003e-10, above the goal.
    const std::vector<double> x{1, 2, 3, 4};
    std::vector<double> y;
    for (double v : x) y.push_back(v * v + 1e-10);
    SearchOptions o = opts(3, false, false);
    const Outcome r = run({x}, y, o);
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->formula, "(x * x)");
    EXPECT_GT(r.result->error, 1e-10);
    EXPECT_EQ(r.trace.levels.size(), 3u);  // ran to the last level
    o.precision_goal = 1.01e-10;
    const Outcome stop = run({x}, y, o);
    EXPECT_EQ(stop.trace.levels.size(), 2u);
}

TEST(SearchExit, OnlyLeavesBelowComplexityTwo) {
    for (std::size_t mc : {0u, 1u}) {
        const Outcome r = run({{1, 2, 3}}, {2.1, 2.1, 2.1}, opts(mc, true, true));
        ASSERT_TRUE(r.result);
        EXPECT_EQ(r.result->formula, "x");  // rmse of x is about 1.0, of 1.0 it is 1.1
        EXPECT_EQ(r.trace.levels.size(), 1u);
    }
}

TEST(SearchExit, SmallBeamStopsOnAnEmptyLevel) {
    const Outcome r = run({{1, 2, 3, 4}}, {2, 5, 10, 17}, opts(8, true, true, 3));
    ASSERT_TRUE(r.result);
    ASSERT_EQ(r.trace.levels.size(), 3u);
    EXPECT_TRUE(r.trace.levels[2].empty());
    EXPECT_EQ(r.result->formula, "(x * x)");
}

TEST(SearchExit, UnaryPhaseExceedsMaxComplexity) {
    // Target -(x*x): at max_complexity 3 only the unary phase can reach it.
    const Outcome r = run({{1, 2, 3, 4}}, {-1, -4, -9, -16}, opts(3, false, false));
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->formula, "(-(x * x))");
    EXPECT_EQ(r.result->complexity, 4u);
    EXPECT_EQ(r.result->error, 0.0);
}

TEST(SearchExit, FailingLevelDoesNotEndTheSearch) {
    // Every row of x is 0: ln, 1/x and friends fail on the data while their
    // fingerprints exist. Levels go on while candidates remain.
    const Outcome r = run({{0, 0, 0}}, {5, 5, 5}, opts(4, false, false));
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.trace.levels.size(), 4u);
    EXPECT_LT(r.trace.scored, r.trace.accepted);
}

TEST(SearchExit, EmptyTargetsNeverStop) {
    const Outcome r = run({{1, 2, 3}}, {}, opts(3, false, false));
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->formula, "0.0000");
    EXPECT_TRUE(std::isnan(r.result->error));
    EXPECT_EQ(r.trace.levels.size(), 3u);
}

TEST(SearchExit, NoRowsStopAtTheFirstLeaf) {
    const Outcome r = run({{}}, {1.0, 2.0}, SearchOptions{});
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->formula, "0.0000");
    EXPECT_EQ(bits(r.result->error), bits(-0.0));
    EXPECT_EQ(r.trace.levels.size(), 1u);
    // With no goal to meet, every level, the fitted search's too.
    for (const bool fitted : {false, true}) {
        SearchOptions endless = opts(3, true, true);
        endless.precision_goal = -kInf;
        endless.fit.enabled = fitted;
        EXPECT_EQ(run({{}}, {1.0, 2.0}, endless).trace.levels.size(), 3u) << fitted;
    }
}

TEST(SearchExit, NanTargetNeverReplacesTheFirstBest) {
    const Outcome r = run({{1, 2, 3}}, {1, kNaN, 3}, opts(3, false, false));
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->formula, "0.0000");
    EXPECT_TRUE(std::isnan(r.result->error));
}

TEST(SearchExit, BadShapesThrowBeforeSearching) {
    const std::vector<std::vector<double>> none, ragged{{1, 2, 3}, {1}};
    const std::vector<double> y{1, 2, 3};
    EXPECT_THROW(search(none, y, 0, SearchOptions{}), std::out_of_range);
    EXPECT_THROW(search(ragged, y, 2, SearchOptions{}), std::out_of_range);
}

TEST(SearchExit, MoreVariablesThanColumnsScoreNothingThatReadsThem) {
    // n_vars 2 with one column: y has a fingerprint but no data.
    const std::vector<std::vector<double>> cols{{1, 2, 3}};
    const std::vector<double> y{7, 7, 7};
    SearchTrace t;
    t.record_candidates = true;
    const auto r =
        search_with(cols, y, 2, opts(3, false, false), SearchInternals{serial_executor, &t, kDefaultCacheBudget, 0});
    ASSERT_TRUE(r);
    EXPECT_EQ(texts(t.levels[0]), (std::vector<std::string>{"0.0000", "1.0000", "x", "y"}));
    EXPECT_EQ(r->formula.find('y'), std::string::npos);
}

TEST(SearchExit, ManyVariablesAreCheapLeaves) {
    // 20000 variables of one row each: the leaves are fingerprinted in
    // linear time; level 2 pairs all of them and is refused by the memory
    // limit up front, before anything is allocated for it.
    const std::size_t n = 20000;
    std::vector<std::vector<double>> cols(n, std::vector<double>{2.0});
    const std::vector<double> y{1.5};
    SearchTrace t;
    t.record_candidates = true;
    EXPECT_THROW(search_with(cols, y, n, SearchOptions{}, SearchInternals{serial_executor, &t}), std::bad_alloc);
    ASSERT_EQ(t.levels.size(), 1u);
    EXPECT_EQ(t.levels[0].size(), n + 2);
    EXPECT_EQ(to_string(t.levels[0].back()), to_string(E({V(n - 1)})));
    // With max_complexity 1 the same data end after the leaves.
    SearchOptions leaves_only;
    leaves_only.max_complexity = 1;
    const auto r = search(cols, y, n, leaves_only);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->formula, "1.0000");  // |1.5 - 1| = 0.5 beats every variable's |1.5 - 2| (ties keep the first)
}

TEST(SearchExit, ALevelBeyondThirtyTwoBitIndicesIsRefusedWithoutAMemoryLimit) {
    // 40000 variables pair into some 6.4e9 candidates at level 2: more than
    // the level's 32-bit candidate numbers can tell apart.
    const std::size_t n = 40000;
    const std::vector<std::vector<double>> cols(n, std::vector<double>{2.0});
    const std::vector<double> y{1.5};
    const SearchInternals unlimited{serial_executor, nullptr, kDefaultCacheBudget, 0, SIZE_MAX};
    EXPECT_THROW(search_with(cols, y, n, SearchOptions{}, unlimited), MemoryLimit);
}

TEST(SearchExit, EndlessOptionsRunIntoTheMemoryLimit) {
    // max_complexity 2**64 - 1 with one new member per level never runs out
    // of new candidates; the search gives up at its memory limit instead of
    // growing until the system kills the process.
    SearchOptions o = opts(SIZE_MAX, true, true, 4);
    const std::vector<std::vector<double>> cols{{1.0, 2.0, 3.0}};
    const std::vector<double> y{0.3, -7.0, 11.0};
    SearchTrace t;
    SearchInternals in{serial_executor, &t, kDefaultCacheBudget, 0, std::size_t{8} << 20};
    EXPECT_THROW(search_with(cols, y, 1, o, in), std::bad_alloc);
    EXPECT_GT(t.accepted, 20000u);  // it did search for a while
    // The same search with a bounded level count ends normally.
    o.max_complexity = 30;
    t = SearchTrace{};
    EXPECT_TRUE(search_with(cols, y, 1, o, in).has_value());
}

// ===========================================================================
// Search: score_level and update_best

TEST(SearchScore, ScoreLevelKeepsCandidateOrderAndDropsFailures) {
    const std::vector<std::vector<double>> cols{{1, 2, 3, 4}};
    const std::vector<double> y{2, 5, 10, 17, 99};  // one more target than rows
    const std::vector<Expr> cands{E({V(0), O(OpCode::Ln)}), E({V(0), C(2.0), O(OpCode::Sub), O(OpCode::Recip)}),
                                  E({V(0), V(0), O(OpCode::Mul)}), E({C(1.0)})};
    const auto res = score_level(cands, cols, y, SearchOptions{});
    ASSERT_EQ(res.size(), 3u);
    EXPECT_EQ(res[0].formula, "ln(x)");
    EXPECT_EQ(res[1].formula, "(x * x)");
    EXPECT_EQ(res[2].formula, "1.0000");
    // (x*x): deviations -1 four times over five targets.
    EXPECT_EQ(res[1].error, 0.8971104725729155);  // sqrt(4 / 5) * (3 * 0.001 + 1)
    EXPECT_EQ(res[1].complexity, 3u);
    EXPECT_EQ(res[1].expr, cands[2]);
}

TEST(SearchScore, UpdateBestIsStrictAndFirstWins) {
    auto R = [](double e, const char* f) { return SearchResult{f, e, 1, {}, Expr{}}; };
    std::optional<SearchResult> best;
    const std::vector<SearchResult> a{R(2.0, "a"), R(1.0, "b"), R(1.0, "c"), R(kNaN, "d")};
    update_best(best, a);
    EXPECT_EQ(best->formula, "b");
    std::optional<SearchResult> nan_first;
    const std::vector<SearchResult> b{R(kNaN, "n"), R(0.0, "z")};
    update_best(nan_first, b);
    EXPECT_EQ(nan_first->formula, "n");
    const std::vector<SearchResult> c{R(-0.0, "neg"), R(0.0, "pos")};
    std::optional<SearchResult> zero;
    update_best(zero, c);
    EXPECT_EQ(zero->formula, "neg");
}

}  // namespace
