// The search's cost per row: the exact operators on packed registers, the
// members' values without a cache, the cutoff from the seeds, and the
// status of the level in progress.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "discover/exact_columns.hpp"
#include "discover_reference.hpp"

namespace {

using namespace discover_test;

// Values where rounding, signs and the failure tests are decided: zeros,
// subnormals, the divisor floor and its neighbours, overflow, infinities,
// NaNs with payloads and signs, and ordinary numbers.
std::vector<double> special_values() {
    const double floor = 1e-300, tiny = std::numeric_limits<double>::denorm_min();
    std::vector<double> v{0.0,
                          -0.0,
                          tiny,
                          -tiny,
                          DBL_MIN / 3.0,
                          -DBL_MIN * 0.75,
                          DBL_MIN,
                          floor,
                          -floor,
                          std::nextafter(floor, 0.0),
                          -std::nextafter(floor, 0.0),
                          std::nextafter(floor, 1.0),
                          1.0,
                          -1.0,
                          0.1,
                          -3.7,
                          1e154,
                          -1e155,
                          DBL_MAX,
                          -DBL_MAX,
                          kInf,
                          -kInf,
                          kNaN,
                          -kNaN,
                          std::bit_cast<double>(0x7FF0000000000123ULL),  // signalling NaN with a payload
                          std::bit_cast<double>(0xFFF8000000000456ULL),
                          2.0,
                          1e-160,
                          7e307,
                          -5e-324 * 3.0};
    return v;
}

class ExactColumns : public ::testing::TestWithParam<OpCode> {};

// Every level gives apply_op_column's answer and, on every row, the value of
// the scalar operation: bits where it is finite, NaN where it is NaN. Each
// pair of special values meets, in blocks of every length up to 37 rows (the
// packed loops' tails), and in place.
TEST_P(ExactColumns, EveryLevelGivesTheScalarBits) {
    const OpCode op = GetParam();
    const std::vector<double> s = special_values();
    std::vector<double> a, b;
    for (double x : s)
        for (double y : s) {
            a.push_back(x);
            b.push_back(y);
        }
    for (SimdLevel level : {SimdLevel::Scalar, SimdLevel::Sse2, SimdLevel::Avx2}) {
        for (std::size_t n = 0; n <= 37; ++n) {
            for (std::size_t first = 0; first + n <= a.size(); first += 29) {
                std::vector<double> out(n), in_place(a.begin() + first, a.begin() + first + n);
                bool ok = false, ok_in_place = false;
                ASSERT_TRUE(apply_exact_column(op, &a[first], &b[first], out.data(), n, &ok, level));
                ASSERT_TRUE(
                    apply_exact_column(op, in_place.data(), &b[first], in_place.data(), n, &ok_in_place, level));
                bool want_ok = true;
                for (std::size_t r = 0; r < n; ++r) {
                    const double x = a[first + r], y = b[first + r];
                    const std::optional<double> want = ref_op(op, x, y);
                    want_ok = want_ok && want.has_value();
                    double plain = 0.0;
                    switch (op) {
                        case OpCode::Neg:
                            plain = -x;
                            break;
                        case OpCode::Recip:
                            plain = 1.0 / x;
                            break;
                        case OpCode::Sqrt:
                            plain = std::sqrt(x);
                            break;
                        case OpCode::Add:
                            plain = x + y;
                            break;
                        case OpCode::Sub:
                            plain = x - y;
                            break;
                        case OpCode::Mul:
                            plain = x * y;
                            break;
                        default:
                            plain = x / y;
                            break;
                    }
                    for (double got : {out[r], in_place[r]}) {
                        if (std::isnan(plain))
                            EXPECT_TRUE(std::isnan(got)) << x << " " << y;
                        else
                            EXPECT_EQ(bits(got), bits(plain)) << x << " " << y;
                    }
                }
                EXPECT_EQ(ok, want_ok) << "level " << static_cast<int>(level) << " n " << n << " at " << first;
                EXPECT_EQ(ok_in_place, want_ok);
                // The search's entry point agrees.
                std::vector<double> via(n);
                EXPECT_EQ(apply_op_column(op, &a[first], &b[first], via.data(), n), want_ok);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Operators, ExactColumns,
                         ::testing::Values(OpCode::Neg, OpCode::Recip, OpCode::Sqrt, OpCode::Add, OpCode::Sub,
                                           OpCode::Mul, OpCode::Div),
                         [](const auto& info) { return std::string(kOperatorNames[static_cast<int>(info.param)]); });

TEST(ExactColumns, OtherOperatorsAreLeftToTheEvaluator) {
    double a = 1.0, out = 0.0;
    bool ok = true;
    for (OpCode op : {OpCode::Exp, OpCode::Ln, OpCode::Sin, OpCode::Cos, OpCode::Abs, OpCode::Vok})
        EXPECT_FALSE(apply_exact_column(op, &a, &a, &out, 1, &ok));
}

// A problem on 1500 rows whose levels have thousands of candidates: enough
// for the seeds (a sample of sixteen times the kept results) to be drawn.
struct Big {
    std::vector<std::vector<double>> cols;
    std::vector<double> y;
};

Big big_problem() {
    Big p;
    const auto x = linspace(0.3, 3.0, 1500), z = linspace(2.0, 0.5, 1500);
    p.cols = {x, z};
    for (std::size_t r = 0; r < x.size(); ++r) p.y.push_back(x[r] * z[r] / (1.0 + x[r]) + std::exp(-z[r]));
    return p;
}

// The seeds give early stopping its cutoff before any candidate in order is
// scored: fewer candidates are scored on every row, and the results are the
// plain search's to the bit, for one worker and several.
TEST(SearchRows, SeedsGiveAnEarlierCutoffAndTheSameResults) {
    const Big p = big_problem();
    SearchOptions o = opts(5, true, true, 24);
    o.precision_goal = -kInf;
    const RefSearch want = ref_search(p.cols, p.y, p.cols.size(), o);
    std::size_t scored_plain = 0, scored_seeded = 0;
    for (bool seeds : {false, true})
        for (Executor ex : {serial_executor, threaded_executor, pool_executor}) {
            Outcome r;
            r.trace.record_candidates = true;
            SearchInternals in{ex, &r.trace, kDefaultCacheBudget, 0};
            in.seed_cutoff = seeds;
            r.result = search_with(p.cols, p.y, p.cols.size(), o, in);
            expect_same(r.result, r.trace, want);
            if (ex == serial_executor) (seeds ? scored_seeded : scored_plain) = r.trace.scored;
        }
    EXPECT_LT(scored_seeded, scored_plain);
}

// Without cached members, candidates still in play after their first rows
// are finished together a chunk of rows at a time: the same results to the
// bit, with chunks that divide the rows or not, and the work of those
// candidates really done that way.
TEST(SearchRows, CandidatesFinishedByChunksGiveTheSameResults) {
    const Big p = big_problem();
    SearchOptions o = opts(5, true, true, 24);
    o.precision_goal = -kInf;
    const RefSearch want = ref_search(p.cols, p.y, p.cols.size(), o);
    for (std::size_t chunk : {256, 768, 0})
        for (Executor ex : {serial_executor, pool_executor}) {
            Outcome r;
            r.trace.record_candidates = true;
            SearchInternals in{ex, &r.trace, 0, 0};
            in.defer_rows = 256;
            in.chunk_rows = chunk;
            r.result = search_with(p.cols, p.y, p.cols.size(), o, in);
            expect_same(r.result, r.trace, want);
            EXPECT_GT(r.trace.deferred, 0u) << "chunk " << chunk;
        }
}

// The fitted search too, with its cache spent after a few members or never
// used: the same candidates, front and constants.
TEST(SearchRows, FittedSearchIsTheSameWithSeedsAndWithoutCache) {
    const Big p = big_problem();
    SearchOptions o = opts(5, true, true, 24);
    o.fit.enabled = true;
    o.precision_goal = -kInf;
    auto run_fitted = [&](Executor ex, std::size_t budget, bool seeds, std::size_t memory_limit,
                          std::size_t defer_rows = 0, std::size_t chunk_rows = 0) {
        Outcome r;
        r.trace.record_candidates = true;
        SearchInternals in{ex, &r.trace, budget, 0, memory_limit};
        in.seed_cutoff = seeds;
        in.defer_rows = defer_rows;
        in.chunk_rows = chunk_rows;
        const SearchOutcome out = search_controlled(p.cols, p.y, p.cols.size(), o, SearchHooks{{}, true}, in);
        EXPECT_TRUE(out.complete);
        r.result = out.best;
        return std::pair{r, out.pareto};
    };
    const auto [want, want_front] = run_fitted(serial_executor, kDefaultCacheBudget, false, SIZE_MAX);
    ASSERT_TRUE(want.result);
    const std::size_t rows = p.y.size();
    // The default budget is a share of the memory limit: in the last setup, ten
    // columns.
    // The last two finish candidates by chunks of rows.
    struct Setup {
        Executor ex;
        std::size_t budget, memory_limit, defer_rows = 0, chunk_rows = 0;
    };
    for (const Setup s :
         {Setup{serial_executor, kDefaultCacheBudget, SIZE_MAX}, Setup{threaded_executor, 0, SIZE_MAX},
          Setup{pool_executor, 5 * rows, SIZE_MAX},
          Setup{threaded_executor, kDefaultCacheBudget, 10 * rows * sizeof(double) * kCacheShare},
          Setup{pool_executor, 5 * rows, SIZE_MAX, 256, 512}, Setup{serial_executor, 0, SIZE_MAX, 64}}) {
        const auto [got, front] = run_fitted(s.ex, s.budget, true, s.memory_limit, s.defer_rows, s.chunk_rows);
        EXPECT_EQ(got.trace.deferred > 0, s.defer_rows > 0);
        ASSERT_EQ(got.trace.levels.size(), want.trace.levels.size());
        for (std::size_t l = 0; l < want.trace.levels.size(); ++l)
            EXPECT_EQ(texts(got.trace.levels[l]), texts(want.trace.levels[l])) << "level " << l + 1;
        ASSERT_TRUE(got.result);
        EXPECT_EQ(got.result->formula, want.result->formula);
        EXPECT_EQ(bits(got.result->error), bits(want.result->error));
        ASSERT_EQ(front.size(), want_front.size());
        for (std::size_t i = 0; i < front.size(); ++i) {
            EXPECT_EQ(front[i].formula, want_front[i].formula);
            EXPECT_EQ(bits(front[i].error), bits(want_front[i].error));
        }
    }
}

// The status counts the level's candidates as they are scored: at the end
// of each level all of them, whatever the division of work, and with
// candidates finished by chunks of rows.
TEST(SearchRows, StatusCountsEveryCandidateOfTheLevel) {
    const Big p = big_problem();
    SearchOptions o = opts(5, true, true, 24);
    o.precision_goal = -kInf;
    for (bool chunks : {false, true})
        for (Executor ex : {serial_executor, pool_executor}) {
            LevelStatus status;
            std::size_t levels = 0;
            SearchHooks hooks;
            hooks.status = &status;
            hooks.on_level = [&](const LevelProgress& lp) {
                if (lp.level == 1) return true;
                ++levels;
                EXPECT_EQ(status.level.load(), lp.level);
                EXPECT_EQ(status.candidates.load(), lp.candidates);
                EXPECT_EQ(status.scored.load(), lp.candidates);
                return true;
            };
            SearchInternals in{ex};
            SearchTrace trace;
            if (chunks) {
                in.trace = &trace;
                in.cache_budget = 0;
                in.defer_rows = 256;
            }
            const SearchOutcome out = search_controlled(p.cols, p.y, p.cols.size(), o, hooks, in);
            EXPECT_TRUE(out.complete);
            EXPECT_EQ(levels, 4u);
            EXPECT_EQ(trace.deferred > 0, chunks);
        }
}

}  // namespace
