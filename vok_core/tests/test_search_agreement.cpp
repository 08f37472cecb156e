// The beam search agrees with the plain reference search of
// discover_reference.hpp, candidate by candidate and on the result's bits,
// whatever the division of its work and its cache; so does its Pareto front.
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
// Search: agreement with the plain reference, whatever the division of work

struct Problem {
    const char* name;
    std::vector<std::vector<double>> cols;
    std::vector<double> y;
    SearchOptions opt;
    bool large = true;  // exercises the search at length
};

std::vector<Problem> problems() {
    std::vector<Problem> ps;
    const auto x = linspace(-2.0, 3.0, 300);  // crosses zero: ln, sqrt, 1/x fail on the data
    std::vector<double> y1;
    for (double v : x) y1.push_back(std::sin(v) * v + 0.5);
    ps.push_back({"sinx_times_x", {x}, y1, opts(6, true, true, 40)});
    const auto xp = linspace(0.1, 4.0, 37);
    std::vector<double> y2;
    for (double v : xp) y2.push_back(std::log(v) + v * v);
    ps.push_back({"log_plus_square", {xp}, y2, opts(6, true, false, 60)});
    const auto a = linspace(0.5, 2.0, 20), b = linspace(3.0, -1.0, 20);
    std::vector<double> y3;
    for (std::size_t i = 0; i < a.size(); ++i) y3.push_back(vok::tension(a[i], b[i]) - a[i]);
    y3[7] = 1e300;  // a wild target
    ps.push_back({"two_vars_vok", {a, b}, y3, opts(6, true, true, 32)});
    std::vector<double> xi = linspace(-1.0, 1.0, 25);
    xi[3] = kInf;  // leaf scores, composites mostly fail
    ps.push_back({"inf_in_data", {xi}, std::vector<double>(25, 0.25), opts(6, false, true, 40)});
    // Four blocks of rows; a negative penalty (the error no longer grows
    // with the sum, so no scoring stops early) with a beam of 16 (four new
    // pool members per level).
    const auto xl = linspace(0.5, 5.0, 1000);
    std::vector<double> y4;
    for (double v : xl) y4.push_back(std::sqrt(v) * std::cos(v) + 1e-3 * v * v);
    SearchOptions o4 = opts(6, true, true, 48);
    ps.push_back({"thousand_rows", {xl}, y4, o4});
    // Targets whose misfit sits almost all in the first rows: the error after
    // one step of rows is already close to the final one, so a cutoff that
    // stopped candidates even slightly too early would lose pool members.
    std::vector<double> y6;
    for (std::size_t r = 0; r < xl.size(); ++r) y6.push_back(xl[r] * xl[r] + (r < 40 ? 3.0 + 0.01 * r : 0.0));
    ps.push_back({"misfit_up_front", {xl}, y6, opts(6, true, true, 200)});
    // Fewer targets than rows: after the first step of rows the error is
    // final, so any cutoff applied too eagerly shows up in the pool.
    std::vector<double> y7(y4.begin(), y4.begin() + 60);
    ps.push_back({"targets_within_first_step", {xl}, y7, opts(6, true, true, 120)});
    // Two variables equal on the data (y is 2x only at the probes): every
    // f(x) ties exactly with f(y), and with a beam of 3 the first minimal
    // error decides best. The targets end within the first step of rows, so
    // errors are final while rows remain to be evaluated.
    std::vector<double> xt, yt;
    for (std::size_t r = 0; r < 300; ++r) xt.push_back(r % 2 ? 2.0 : 1.0);
    for (std::size_t r = 0; r < 50; ++r) yt.push_back(std::exp(xt[r]));  // exp(x) and exp(y) both fit
    ps.push_back({"exact_ties", {xt, xt}, yt, opts(4, true, true, 3), false});
    SearchOptions o5 = opts(7, true, true, 16);
    o5.complexity_penalty = -0.5;
    ps.push_back({"negative_penalty", {xl}, y4, o5});
    ps.push_back({"three_vars_short_targets",
                  {linspace(1, 2, 12), linspace(2, 5, 12), linspace(-1, 1, 12)},
                  linspace(0, 9, 7),
                  opts(6, false, false, 40)});
    return ps;
}

class SearchAgreement : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SearchAgreement, EveryDivisionAndCacheMatchesTheReference) {
    const Problem p = problems()[GetParam()];
    SearchOptions o = p.opt;
    o.precision_goal = -kInf;  // run every level
    const RefSearch want = ref_search(p.cols, p.y, p.cols.size(), o);
    std::size_t total = 0;
    for (const auto& l : want.levels) total += l.size();
    if (p.large) {
        EXPECT_GT(total, 150u) << "the problem should exercise the search";
    }
    const std::size_t rows = p.cols[0].size();
    struct Setup {
        Executor ex;
        std::size_t budget;
        std::size_t inline_work;
    };
    // Cache everything, nothing, or only the first few members.
    for (Setup s :
         {Setup{serial_executor, kDefaultCacheBudget, 0}, Setup{reverse_single_executor, kDefaultCacheBudget, 0},
          Setup{threaded_executor, kDefaultCacheBudget, 0}, Setup{pool_executor, kDefaultCacheBudget, 0},
          Setup{pool_executor, kDefaultCacheBudget, kDefaultInlineWork}, Setup{threaded_executor, 0, 0},
          Setup{reverse_single_executor, 7 * rows, 0}}) {
        Outcome r = run(p.cols, p.y, o, s.ex, s.budget, s.inline_work);
        expect_same(r.result, r.trace, want);
        EXPECT_GE(r.trace.generated, r.trace.fingerprinted);
        EXPECT_GE(r.trace.fingerprinted, r.trace.accepted);
        EXPECT_GE(r.trace.accepted, r.trace.scored + r.trace.abandoned);
        // Data beyond one block of rows let hopeless candidates stop early.
        if (p.large && rows > kBlockRows && o.complexity_penalty > 0 && s.ex == serial_executor) {
            EXPECT_GT(r.trace.abandoned, 100u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SearchProblems, SearchAgreement, ::testing::Range<std::size_t>(0, 10),
                         [](const auto& info) { return std::string(problems()[info.param].name); });

// The Pareto front is the plain search's whatever the division of work,
// although candidates still stop early (only those that cannot be the best
// of their complexity).
TEST_P(SearchAgreement, ParetoFrontMatchesTheReference) {
    const Problem p = problems()[GetParam()];
    SearchOptions o = p.opt;
    o.precision_goal = -kInf;
    const RefSearch want = ref_search(p.cols, p.y, p.cols.size(), o);
    for (Executor ex : {serial_executor, threaded_executor, pool_executor}) {
        SearchTrace trace;
        const SearchOutcome got = search_controlled(p.cols, p.y, p.cols.size(), o, SearchHooks{{}, true},
                                                    SearchInternals{ex, &trace, kDefaultCacheBudget, 0});
        EXPECT_TRUE(got.complete);
        ASSERT_EQ(got.pareto.size(), want.front.size());
        auto it = want.front.begin();
        for (const SearchResult& r : got.pareto) {
            const RefResult& w = (it++)->second;
            EXPECT_EQ(r.complexity, w.complexity);
            EXPECT_EQ(r.formula, w.formula);
            EXPECT_EQ(bits(r.error), bits(w.error));
            EXPECT_EQ(r.expr.tokens, w.tokens);
        }
        ASSERT_TRUE(got.best);
        EXPECT_EQ(got.best->formula, want.best->formula);
        if (p.large && p.cols[0].size() > kBlockRows && o.complexity_penalty > 0 && ex == serial_executor) {
            EXPECT_GT(trace.abandoned, 100u);
        }
    }
}

TEST(SearchAgreementExamples, WorkedExamplesMatchTheReference) {
    const std::vector<Problem> ps{
        {"square_plus_one", {{1, 2, 3, 4}}, {2, 5, 10, 17}, SearchOptions{}},
        {"product", {{1, 2, 3}, {4, 5, 6}}, {4, 10, 18}, SearchOptions{}},
        {"minus_three", {{1, 2, 3}, {4, 5, 6}}, {-3, -3, -3}, SearchOptions{}},
        {"mc3", {{1, 2, 3, 4}}, {2, 5, 10, 17}, opts(3, false, false)},
        {"beam3", {{1, 2, 3, 4}}, {2, 5, 10, 17}, opts(8, true, true, 3)},
    };
    for (const Problem& p : ps) {
        SCOPED_TRACE(p.name);
        const RefSearch want = ref_search(p.cols, p.y, p.cols.size(), p.opt);
        Outcome r = run(p.cols, p.y, p.opt, threaded_executor);
        expect_same(r.result, r.trace, want);
    }
}

}  // namespace
