// The fitted search: linear scaling with centred sums, keys modulo scale and
// offset at probe points drawn per variable, errors free of units, guards
// that fail, and results that do not depend on the division of the work or
// on candidates stopped early.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "discover/fit.hpp"
#include "discover/scoring.hpp"
#include "discover_reference.hpp"
#include "guards.hpp"

namespace {

using namespace vok::discover;
using namespace discover_test;

// ===========================================================================
// The centred sums

struct Reference {
    long double a, b, sse;
};

// Two passes in long double: means, then centred sums.
Reference two_pass(const std::vector<double>& f, const std::vector<double>& y) {
    long double mf = 0, my = 0;
    for (std::size_t r = 0; r < f.size(); ++r) mf += f[r], my += y[r];
    mf /= f.size(), my /= f.size();
    long double sff = 0, sfy = 0, syy = 0;
    for (std::size_t r = 0; r < f.size(); ++r)
        sff += (f[r] - mf) * (f[r] - mf), sfy += (f[r] - mf) * (y[r] - my), syy += (y[r] - my) * (y[r] - my);
    const long double b = sfy / sff;
    return {my - b * mf, b, syy - sfy * sfy / sff};
}

FitSums one_pass(const std::vector<double>& f, const FitTargets& t) {
    FitSums s;
    s.shift = f[0];
    for (std::size_t r = 0; r < f.size(); ++r) s.add(f[r], t.inv_n[r], t.dy[r]);
    return s;
}

// f sits on a large offset with a small spread, where the textbook sums
// (sum f^2 - n mean^2) lose every digit; y is a line in f plus a wiggle.
TEST(FitSums, MatchTwoPassReferenceOnIllConditionedData) {
    for (double offset : {0.0, 1e6, 1e9, -3e11}) {
        std::vector<double> f, y;
        for (std::size_t r = 0; r < 1000; ++r) {
            const double x = std::sin(0.37 * r);
            f.push_back(offset + x);
            y.push_back(2.5e-3 * x - 7.0 + 1e-4 * std::cos(1.3 * r));
        }
        const FitTargets t(y);
        const FitSums s = one_pass(f, t);
        const Reference want = two_pass(f, y);
        const double n = static_cast<double>(f.size());
        EXPECT_NEAR(s.cfy / s.cff, static_cast<double>(want.b), 1e-10 * std::fabs(static_cast<double>(want.b)))
            << offset;
        EXPECT_NEAR(s.sse(n, t.cyy.back()), static_cast<double>(want.sse), 1e-6 * static_cast<double>(want.sse))
            << offset;
        const Line line = fit_line(f, y);
        EXPECT_NEAR(line.scale, static_cast<double>(want.b), 1e-10 * std::fabs(static_cast<double>(want.b)));
        EXPECT_NEAR(line.offset, static_cast<double>(want.a), 1e-6 * std::fabs(static_cast<double>(want.a)));
    }
}

// A candidate constant over the rows (even to rounding) fits the mean:
// its least sum is the targets' own spread, not a huge b on noise.
TEST(FitSums, ConstantCandidateScoresAsTheMean) {
    std::vector<double> f, y;
    for (std::size_t r = 0; r < 50; ++r) {
        f.push_back(std::pow(std::sin(0.1 * r), 2) + std::pow(std::cos(0.1 * r), 2));  // 1 to rounding
        y.push_back(r % 7);
    }
    ASSERT_NE(std::count(f.begin(), f.end(), 1.0), 50) << "f should vary by rounding";
    const FitTargets t(y);
    const FitSums s = one_pass(f, t);
    EXPECT_TRUE(s.flat(50));
    EXPECT_EQ(s.sse(50, t.cyy.back()), t.cyy.back());
    const Line line = fit_line(f, y);
    EXPECT_EQ(line.scale, 0.0);
    EXPECT_DOUBLE_EQ(line.offset, 2.94);  // the mean of r % 7 over r < 50
}

// Near-exact fits are ranked by their residuals: the one-pass sums alone
// leave about 1e-8 of the targets' spread, above both of these misfits.
TEST(FitScore, RanksNearExactFits) {
    const std::vector<std::vector<double>> cols{linspace(1.0, 2.0, 500)};
    std::vector<double> y, exact, close;
    for (double x : cols[0]) {
        y.push_back(3.0 + 2.0 * x);
        exact.push_back(x);
        close.push_back(x + 1e-9 * x * x);
    }
    const Data data(cols, y);
    const FitTargets t(y);
    const double factor[2] = {1.0, 1.0};
    std::uint8_t state[2];
    double error[2];
    score_lanes_fitted(
        data, t, 2, factor, nullptr,
        [&](std::size_t l, std::size_t first, std::size_t) { return (l == 0 ? exact : close).data() + first; }, state,
        error);
    EXPECT_EQ(state[0], kScored);
    EXPECT_LT(error[0], 1e-12);
    EXPECT_GT(error[1], 1e-12);
    EXPECT_LT(error[1], 1e-9);
}

// A full group of lanes (summed two lanes to a vector) scores each lane
// exactly as that lane scored alone, whatever its values: flat, near-exact,
// huge, subnormal, NaN, infinite, and over a row count no step divides.
// Eight awkward lanes over `rows` rows: a line, a sine, a constant, a
// near-exact fit, huge values, subnormals with a NaN, an infinity, and a
// large offset.
std::array<std::vector<double>, kLanes> awkward_lanes(const std::vector<double>& x, const std::vector<double>& y) {
    std::array<std::vector<double>, kLanes> v;
    for (std::size_t r = 0; r < x.size(); ++r) {
        v[0].push_back(x[r]);
        v[1].push_back(std::sin(3.0 * x[r]));
        v[2].push_back(7.0);
        v[3].push_back(y[r] + 1e-12 * x[r]);
        v[4].push_back(1e300 * x[r]);
        v[5].push_back(r == 150 ? kNaN : 4.9e-324 * static_cast<double>(r));
        v[6].push_back(r == 9 ? kInf : -x[r] * x[r]);
        v[7].push_back(std::exp(x[r]) - 1e6);
    }
    return v;
}

TEST(FitScore, FullGroupsScoreEachLaneAsAlone) {
    const std::size_t rows = 203;
    const std::vector<std::vector<double>> cols{linspace(0.5, 3.0, rows)};
    std::vector<double> y;
    for (double x : cols[0]) y.push_back(std::sin(3.0 * x) + 0.25 * x);
    const auto v = awkward_lanes(cols[0], y);
    const Data data(cols, y);
    const FitTargets t(y);
    auto values = [&](std::size_t l, std::size_t first, std::size_t) { return v[l].data() + first; };
    std::array<double, kLanes> factor, error{}, cutoff;
    std::array<std::uint8_t, kLanes> state{};
    factor.fill(1.25);
    cutoff.fill(kNaN);
    score_lanes_fitted(data, t, kLanes, factor.data(), cutoff.data(), values, state.data(), error.data());
    for (std::size_t l = 0; l < kLanes; ++l) {
        std::uint8_t alone_state;
        double alone = 0.0;
        score_lanes_fitted(
            data, t, 1, factor.data(), cutoff.data(),
            [&](std::size_t, std::size_t first, std::size_t n) { return values(l, first, n); }, &alone_state, &alone);
        EXPECT_EQ(state[l], alone_state) << "lane " << l;
        if (state[l] == kScored) {
            EXPECT_EQ(bits(error[l]), bits(alone)) << "lane " << l;
        }
    }
}

// Every packed level sums a group as FitSums::add sums each lane, over steps
// whose row counts are not multiples of the vectors' widths.
class FitRowsLevel : public ::testing::TestWithParam<SimdLevel> {};

TEST_P(FitRowsLevel, SumsAsAddDoes) {
    const std::size_t rows = 203;
    const std::vector<double> x = linspace(0.5, 3.0, rows);
    std::vector<double> y;
    for (double xi : x) y.push_back(std::cos(2.0 * xi) - xi);
    const auto v = awkward_lanes(x, y);
    const FitTargets t(y);
    std::array<FitSums, kLanes> packed{}, alone{};
    for (std::size_t l = 0; l < kLanes; ++l) packed[l].shift = alone[l].shift = v[l][0];
    for (std::size_t first = 0, step = 61; first < rows; first += step) {
        const std::size_t end = std::min(rows, first + step);
        std::array<const double*, kLanes> at;
        for (std::size_t l = 0; l < kLanes; ++l) at[l] = v[l].data() + first;
        add_fit_rows(packed, at, first, end, t.inv_n.data(), t.dy.data(), GetParam());
        for (std::size_t l = 0; l < kLanes; ++l)
            for (std::size_t r = first; r < end; ++r) alone[l].add(v[l][r], t.inv_n[r], t.dy[r]);
    }
    for (std::size_t l = 0; l < kLanes; ++l) {
        EXPECT_EQ(bits(packed[l].mg), bits(alone[l].mg)) << "lane " << l;
        EXPECT_EQ(bits(packed[l].cff), bits(alone[l].cff)) << "lane " << l;
        EXPECT_EQ(bits(packed[l].cfy), bits(alone[l].cfy)) << "lane " << l;
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, FitRowsLevel, ::testing::Values(SimdLevel::Sse2, SimdLevel::Avx2));

// ===========================================================================
// Keys modulo scale and offset

std::array<double, kProbeCount> at_probes(const Tokens& tokens,
                                          const std::vector<std::array<double, kProbeCount>>& points) {
    std::vector<const double*> cols;
    for (const auto& p : points) cols.push_back(p.data());
    BlockEvaluator ev;
    const double* v = ev.eval(tokens, ColumnView{cols.data(), cols.size(), kProbeCount}, {}, 0, kProbeCount);
    EXPECT_NE(v, nullptr);
    std::array<double, kProbeCount> out{};
    if (v) std::copy_n(v, kProbeCount, out.begin());
    return out;
}

std::vector<std::array<double, kProbeCount>> drawn(std::uint64_t seed) {
    static const std::vector<double> x = linspace(1.0, 5.0, 40), y = linspace(0.5, 2.0, 40);
    const std::vector<const double*> cols{x.data(), y.data()};
    return draw_probe_points(ColumnView{cols.data(), 2, 40}, seed);
}

TEST(AffineKey, ScaledShiftedAndNegatedCopiesMeet) {
    const auto points = drawn(11);
    const Tokens f{V(0), V(1), O(OpCode::Mul), O(OpCode::Sin)};
    auto affine = [&](double b, double a) {
        Tokens t = f;
        t.insert(t.end(), {C(b), O(OpCode::Mul), C(a), O(OpCode::Add)});
        return t;
    };
    const ProbeBits key = affine_key(at_probes(f, points));
    for (auto [b, a] : {std::pair{3.0, 2.0}, {-1.0, 0.0}, {-0.25, 1e3}, {7e-11, -4e-12}})
        EXPECT_EQ(affine_key(at_probes(affine(b, a), points)), key) << b << " " << a;
    EXPECT_NE(affine_key(at_probes({V(0), V(1), O(OpCode::Mul), O(OpCode::Cos)}, points)), key);
    // Values near the top of the range are keyed as well as small ones.
    std::array<double, kProbeCount> huge = at_probes(f, points), tiny = huge;
    for (double& v : huge) v = v * 1e300 + 1e299;
    for (double& v : tiny) v *= 1e-300;
    EXPECT_EQ(affine_key(huge), key);
    EXPECT_EQ(affine_key(tiny), key);
    // Constants share the zero key.
    EXPECT_EQ(affine_key(at_probes({C(1.0)}, points)), ProbeBits{});
    EXPECT_EQ(affine_key(at_probes({C(1.0), O(OpCode::Exp)}, points)), ProbeBits{});
}

// With variable i at (i + 1) * c, x * y is 2 x * x at every probe: one shape
// modulo scale. Points drawn per variable tell them apart.
TEST(AffineKey, IndependentProbePointsSeparateProducts) {
    const Tokens xy{V(0), V(1), O(OpCode::Mul)}, xx{V(0), V(0), O(OpCode::Mul)}, x_plus_y{V(0), V(1), O(OpCode::Add)};
    std::vector<std::array<double, kProbeCount>> contract(2);
    for (std::size_t i = 0; i < 2; ++i)
        for (std::size_t k = 0; k < kProbeCount; ++k) contract[i][k] = (i + 1.0) * kProbes[k];
    EXPECT_EQ(affine_key(at_probes(xy, contract)), affine_key(at_probes(xx, contract)));
    EXPECT_EQ(affine_key(at_probes(x_plus_y, contract)), affine_key(at_probes({V(0)}, contract)));
    for (std::uint64_t seed : {0u, 1u, 99u}) {
        const auto points = drawn(seed);
        EXPECT_NE(affine_key(at_probes(xy, points)), affine_key(at_probes(xx, points)));
        EXPECT_NE(affine_key(at_probes(x_plus_y, points)), affine_key(at_probes({V(0)}, points)));
        // Inside the data's range: ln and sqrt of positive data have probes.
        for (std::size_t k = 0; k < kProbeCount; ++k) EXPECT_TRUE(points[0][k] >= 1.0 && points[0][k] <= 5.0);
    }
    EXPECT_NE(drawn(1)[0], drawn(2)[0]);
    EXPECT_EQ(drawn(1)[1], drawn(1)[1]);
}

// ===========================================================================
// The search

SearchOptions fitted(std::size_t max_complexity, std::size_t beam, std::uint64_t seed = 5) {
    SearchOptions o = opts(max_complexity, true, true, beam);
    o.fit.enabled = true;
    o.fit.seed = seed;
    return o;
}

Tokens shape_of(const SearchResult& r) { return Tokens(r.expr.tokens.begin(), r.expr.tokens.end() - 4); }

struct FitRun {
    SearchOutcome outcome;
    SearchTrace trace;
};

FitRun run_fitted(const std::vector<std::vector<double>>& cols, const std::vector<double>& y, const SearchOptions& o,
                  Executor ex = serial_executor, std::size_t budget = kDefaultCacheBudget, bool early_stop = true) {
    FitRun r;
    r.trace.record_candidates = true;
    SearchInternals in{ex, &r.trace, budget, 0};
    in.early_stop = early_stop;
    r.outcome = search_controlled(cols, y, cols.size(), o, SearchHooks{{}, true}, in);
    return r;
}

void expect_same_run(const FitRun& got, const FitRun& want) {
    ASSERT_EQ(got.trace.levels.size(), want.trace.levels.size());
    for (std::size_t l = 0; l < want.trace.levels.size(); ++l)
        EXPECT_EQ(texts(got.trace.levels[l]), texts(want.trace.levels[l])) << "level " << l + 1;
    ASSERT_EQ(got.outcome.best.has_value(), want.outcome.best.has_value());
    ASSERT_EQ(got.outcome.pareto.size(), want.outcome.pareto.size());
    auto same = [](const SearchResult& a, const SearchResult& b) {
        EXPECT_EQ(a.formula, b.formula);
        EXPECT_EQ(bits(a.error), bits(b.error));
        EXPECT_EQ(a.expr.tokens, b.expr.tokens);
        ASSERT_EQ(a.params.size(), b.params.size());
        for (std::size_t i = 0; i < a.params.size(); ++i) EXPECT_EQ(bits(a.params[i]), bits(b.params[i]));
    };
    if (want.outcome.best) same(*got.outcome.best, *want.outcome.best);
    for (std::size_t i = 0; i < want.outcome.pareto.size(); ++i) same(got.outcome.pareto[i], want.outcome.pareto[i]);
}

struct Law {
    const char* name;
    std::vector<std::vector<double>> cols;
    std::vector<double> y;
};

std::vector<Law> laws() {
    const auto x = linspace(0.5, 4.0, 700), z = linspace(3.0, 1.0, 700);
    std::vector<double> w(700), noisy(700), wave(700);
    for (std::size_t r = 0; r < 700; ++r) {
        w[r] = 1.0 + std::fmod(r * 0.618034, 2.0);
        noisy[r] = 3.0 * x[r] * w[r] / z[r] + 0.05 * std::sin(r * 12.9898);
        wave[r] = 2e4 * std::sqrt(x[r]) * std::cos(w[r]) - 7.0;
    }
    return {{"noisy_product", {x, w, z}, noisy}, {"wave", {x, w}, wave}};
}

// One worker or many, cached or evaluated, early stopping or not: the same
// candidates, best and front, to the bit.
TEST(FittedSearch, SameOutcomeForEveryDivisionCacheAndEarlyStop) {
    for (const Law& law : laws()) {
        SearchOptions o = fitted(5, 120);
        o.precision_goal = -kInf;
        const FitRun want = run_fitted(law.cols, law.y, o);
        ASSERT_TRUE(want.outcome.best) << law.name;
        EXPECT_GT(want.trace.abandoned, 100u) << law.name << ": rows beyond a block let candidates stop early";
        for (Executor ex : {serial_executor, reverse_single_executor, threaded_executor, pool_executor})
            expect_same_run(run_fitted(law.cols, law.y, o, ex), want);
        expect_same_run(run_fitted(law.cols, law.y, o, threaded_executor, 0), want);
        const FitRun all = run_fitted(law.cols, law.y, o, threaded_executor, kDefaultCacheBudget, false);
        EXPECT_EQ(all.trace.abandoned, 0u);
        expect_same_run(all, want);
    }
}

// A target scaled by 1e-10 or 1e10 is searched like the same target of size 1.
TEST(FittedSearch, ScaledTargetsChooseTheSameShapes) {
    for (const Law& law : laws()) {
        const SearchOptions o = fitted(5, 120);
        const FitRun base = run_fitted(law.cols, law.y, o);
        for (double scale : {1e-10, 1e10}) {
            std::vector<double> y = law.y;
            for (double& v : y) v *= scale;
            const FitRun scaled = run_fitted(law.cols, y, o);
            ASSERT_EQ(scaled.outcome.pareto.size(), base.outcome.pareto.size()) << law.name << " " << scale;
            for (std::size_t i = 0; i < base.outcome.pareto.size(); ++i) {
                EXPECT_EQ(shape_of(scaled.outcome.pareto[i]), shape_of(base.outcome.pareto[i]));
                EXPECT_NEAR(scaled.outcome.pareto[i].error, base.outcome.pareto[i].error,
                            1e-9 * base.outcome.pareto[i].error + 1e-14);
            }
            EXPECT_EQ(shape_of(*scaled.outcome.best), shape_of(*base.outcome.best));
        }
    }
}

// The law's shape with its constants as scale and offset; the reported
// parameters are the tokens' own, and a + b * f evaluates to the targets.
TEST(FittedSearch, FindsAScaledLawWithItsConstants) {
    const auto m1 = linspace(1.0, 5.0, 60);
    std::vector<double> m2, r, y;
    for (std::size_t i = 0; i < 60; ++i) {
        m2.push_back(1.0 + std::fmod(i * 0.7548776662, 4.0));
        r.push_back(1.0 + std::fmod(i * 0.5698402910, 4.0));
        y.push_back(6.674e-11 * m1[i] * m2.back() / (r.back() * r.back()));
    }
    const FitRun got = run_fitted({m1, m2, r}, y, fitted(8, 2000));
    ASSERT_TRUE(got.outcome.best);
    const SearchResult& best = *got.outcome.best;
    EXPECT_LE(best.error, 1e-10);
    EXPECT_LE(best.complexity, 7u);
    ASSERT_EQ(best.params.size(), 2u);
    EXPECT_NEAR(best.params[0], 6.674e-11, 1e-22);
    EXPECT_NEAR(best.params[1], 0.0, 1e-24);
    const std::vector<std::vector<double>> data{m1, m2, r};
    EXPECT_EQ(bits(rmse(best.expr, data, y, best.params)), bits(rmse(best.expr, data, y)));
}

// A constant target: the constant, exactly.
TEST(FittedSearch, ConstantTargetGivesTheConstant) {
    const FitRun got = run_fitted({linspace(1, 2, 30)}, std::vector<double>(30, -4.25), fitted(4, 40));
    ASSERT_TRUE(got.outcome.best);
    EXPECT_EQ(shape_of(*got.outcome.best), (Tokens{C(1.0)}));
    EXPECT_EQ(got.outcome.best->error, 0.0);
    EXPECT_EQ(got.outcome.best->params.back(), -4.25);
}

// The tension without its guards fails where one would act, and gives the
// guarded tension's bits elsewhere.
TEST(StrictTension, FailsWhereAGuardActs) {
    const double ok[] = {700.0, 0.5}, clamp[] = {710.0, 0.5}, floor[] = {1.0, 0.0}, neg[] = {1.0, -2.0};
    double out;
    for (const double* p : {clamp, floor, neg}) {
        EXPECT_FALSE(apply_op_column_strict(OpCode::Vok, p, p + 1, &out, 1));
        EXPECT_TRUE(apply_op_column(OpCode::Vok, p, p + 1, &out, 1));
    }
    ASSERT_TRUE(apply_op_column_strict(OpCode::Vok, ok, ok + 1, &out, 1));
    EXPECT_EQ(bits(out), bits(vok::tension(ok[0], ok[1])));
}

// A target that the guarded tension fits exactly: the plain search finds
// it through the log floor; the fitted search returns nothing that depends
// on a guard.
TEST(FittedSearch, GuardsAreNotConstants) {
    const auto x = linspace(2.0, 5.0, 40);  // sin(x) <= 0 beyond pi: the log floor acts there
    std::vector<double> y;
    for (double v : x) y.push_back(vok::tension(v, std::sin(v)));
    const std::vector<std::vector<double>> data{x};
    const auto plain = search(data, y, 1, opts(4, true, true, 400));
    ASSERT_TRUE(plain);
    EXPECT_LT(plain->error, 1e-9) << plain->formula;
    const FitRun got = run_fitted(data, y, fitted(4, 400));
    const ColumnPointers cols(data, "test");
    ASSERT_FALSE(got.outcome.pareto.empty());
    EXPECT_GT(got.outcome.best->error, 1e-6);
    for (const SearchResult& r : got.outcome.pareto) {
        BlockEvaluator strict(true);
        EXPECT_NE(strict.eval(r.expr.tokens, cols.view(), r.params, 0, x.size()), nullptr) << r.formula;
    }
}

// The refinement hook sees each level's best, best first, and its shapes
// compete for best and the front and join the pool, the same for any
// division of the work.
TEST(FittedSearch, RefinedShapesJoinTheSearch) {
    const auto x = linspace(0.0, 3.0, 300);
    std::vector<double> y;
    for (double v : x) y.push_back(3.0 * std::exp(0.7 * v) + 1.0);
    SearchOptions o = fitted(5, 80);
    o.fit.top_k = 3;
    std::vector<std::size_t> seen_levels;
    o.fit.refine = [&](const FitLevel& level) {
        seen_levels.push_back(level.level);
        EXPECT_LE(level.best.size(), 3u);
        for (std::size_t i = 1; i < level.best.size(); ++i) EXPECT_LE(level.best[i - 1].error, level.best[i].error);
        // exp(c * x) with c = 0.7, its parameter numbered anyhow.
        return std::vector<Expr>{E({V(0), Token::param(9, 0.7), O(OpCode::Mul), O(OpCode::Exp)})};
    };
    const FitRun want = run_fitted({x}, y, o);
    EXPECT_EQ(seen_levels, (std::vector<std::size_t>{1}));  // the first shape meets the precision goal
    ASSERT_TRUE(want.outcome.best);
    const SearchResult& best = *want.outcome.best;
    EXPECT_EQ(best.complexity, 4u);
    ASSERT_EQ(best.params.size(), 3u);
    EXPECT_EQ(best.params[0], 0.7);
    EXPECT_NEAR(best.params[1], 3.0, 1e-12);
    EXPECT_NEAR(best.params[2], 1.0, 1e-12);
    EXPECT_EQ(best.expr.tokens[1], Token::param(0, 0.7));
    // Without the goal every level is refined, and the pool takes the shape.
    o.precision_goal = -kInf;
    seen_levels.clear();
    const FitRun all = run_fitted({x}, y, o);
    EXPECT_EQ(seen_levels, (std::vector<std::size_t>{1, 2, 3, 4, 5}));
    bool combined = false;
    for (const auto& level : all.trace.levels)
        for (const Expr& e : level)
            combined = combined ||
                       (e.complexity() > 4 && std::count(e.tokens.begin(), e.tokens.end(), Token::param(9, 0.7)) == 1);
    EXPECT_TRUE(combined);
    for (Executor ex : {threaded_executor, pool_executor}) expect_same_run(run_fitted({x}, y, o, ex), all);
    // A leaf that meets the goal ends the search before any refinement.
    std::vector<double> line;
    for (double v : x) line.push_back(2.0 * v + 1.0);
    o.precision_goal = 1e-10;
    seen_levels.clear();
    EXPECT_EQ(shape_of(*run_fitted({x}, line, o).outcome.best), (Tokens{V(0)}));
    EXPECT_TRUE(seen_levels.empty());
}

}  // namespace
