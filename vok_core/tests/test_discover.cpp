// The discovery engine: evaluator, fingerprints, seen set and beam search.
//
// The search is checked against a deliberately plain implementation kept
// here (tokens copied for every candidate, a row-by-row stack evaluator, an
// ordered std::set of fingerprints, full regeneration at every level, a
// stable sort), and against itself under different divisions of its work.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "discover/expr.hpp"
#include "discover/fingerprint.hpp"
#include "discover/render.hpp"
#include "discover/search.hpp"
#include "guards.hpp"
#include "interrupt.hpp"

namespace {

using namespace vok::discover;
using Tokens = std::vector<Token>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

Token C(double v) { return Token::constant(v); }
Token V(std::size_t i) { return Token::var(i); }
Token O(OpCode op) { return Token::op_token(op); }
Expr E(Tokens t) { return Expr{std::move(t)}; }

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

std::vector<double> linspace(double a, double b, std::size_t n) {
    std::vector<double> v;
    for (std::size_t i = 0; i < n; ++i) v.push_back(a + (b - a) * static_cast<double>(i) / static_cast<double>(n - 1));
    return v;
}

// ---------------------------------------------------------------------------
// The plain reference: a row-by-row stack evaluator written straight from the
// operator table.

std::optional<double> ref_op(OpCode op, double a, double b) {
    double r = 0.0;
    switch (op) {
        case OpCode::Neg: r = -a; break;
        case OpCode::Recip:
            if (std::fabs(a) < 1e-300) return std::nullopt;
            r = 1.0 / a;
            break;
        case OpCode::Exp: r = std::exp(a); break;
        case OpCode::Ln:
            if (a <= 0.0) return std::nullopt;
            r = std::log(a);
            break;
        case OpCode::Sqrt:
            if (a < 0.0) return std::nullopt;
            r = std::sqrt(a);
            break;
        case OpCode::Sin: r = std::sin(a); break;
        case OpCode::Cos: r = std::cos(a); break;
        case OpCode::Abs: r = std::fabs(a); break;
        case OpCode::Vok: {
            const double x = a > 709.78 ? std::log(a) : a;
            const double y = (b > 0.0 || std::isnan(b)) ? b : std::max(std::fabs(b), 1e-300);
            const double t = std::exp(x);
            const double s = std::log(y);
            r = t - s;
            break;
        }
        case OpCode::Add: r = a + b; break;
        case OpCode::Sub: r = a - b; break;
        case OpCode::Mul: r = a * b; break;
        case OpCode::Div:
            if (std::fabs(b) < 1e-300) return std::nullopt;
            r = a / b;
            break;
    }
    if ((bits(r) & 0x7FFFFFFFFFFFFFFFULL) > 0x7FEFFFFFFFFFFFFFULL) return std::nullopt;
    return r;
}

std::optional<double> ref_eval(const Tokens& tokens, const std::vector<double>& vars) {
    if (tokens.empty()) return std::nullopt;
    std::vector<double> stack;
    for (const Token& t : tokens) {
        if (t.kind == TokenKind::Const) {
            stack.push_back(t.value);
        } else if (t.kind == TokenKind::Param) {
            stack.push_back(t.value);
        } else if (t.kind == TokenKind::Var) {
            if (t.index >= vars.size()) return std::nullopt;
            stack.push_back(vars[t.index]);
        } else if (static_cast<int>(t.op) < 8) {
            if (stack.empty()) return std::nullopt;
            auto r = ref_op(t.op, stack.back(), 0.0);
            if (!r) return std::nullopt;
            stack.back() = *r;
        } else {
            if (stack.size() < 2) return std::nullopt;
            const double b = stack.back();
            stack.pop_back();
            auto r = ref_op(t.op, stack.back(), b);
            if (!r) return std::nullopt;
            stack.back() = *r;
        }
    }
    if (stack.size() != 1) return std::nullopt;
    return stack[0];
}

std::optional<std::vector<double>> ref_eval_rows(const Tokens& tokens, const std::vector<std::vector<double>>& cols) {
    std::vector<double> out;
    for (std::size_t r = 0; r < cols[0].size(); ++r) {
        std::vector<double> row;
        for (const auto& c : cols) row.push_back(c[r]);
        auto v = ref_eval(tokens, row);
        if (!v) return std::nullopt;
        out.push_back(*v);
    }
    return out;
}

// ---------------------------------------------------------------------------
// The plain reference search.

struct RefResult {
    std::string formula;
    double error;
    std::size_t complexity;
    Tokens tokens;
};

struct RefSearch {
    std::vector<std::vector<Tokens>> levels;  // accepted candidates per level
    std::optional<RefResult> best;
    std::map<std::size_t, RefResult> front;  // by complexity, the update_best rule
};

// Stops after level last_level (the leaves are level 1) when given.
RefSearch ref_search(const std::vector<std::vector<double>>& cols, const std::vector<double>& targets,
                     std::size_t n_vars, const SearchOptions& opt, std::size_t last_level = SIZE_MAX) {
    RefSearch out;
    std::set<std::vector<std::uint64_t>> seen;
    auto accept = [&](const Tokens& t, std::vector<Tokens>& into) {
        std::vector<std::uint64_t> fp;
        for (double c : kProbes) {
            std::vector<double> vars;
            for (std::size_t i = 0; i < n_vars; ++i) vars.push_back(static_cast<double>(i + 1) * c);
            auto v = ref_eval(t, vars);
            if (!v || !std::isfinite(*v)) return;
            fp.push_back(bits(*v));
        }
        if (seen.insert(fp).second) into.push_back(t);
    };
    auto score = [&](const std::vector<Tokens>& cands) {
        std::vector<RefResult> results;
        for (const Tokens& t : cands) {
            auto pred = ref_eval_rows(t, cols);
            if (!pred) continue;
            double s = -0.0;
            for (std::size_t i = 0; i < std::min(pred->size(), targets.size()); ++i) {
                const double d = (*pred)[i] - targets[i];
                s += d * d;
            }
            const double rmse = std::sqrt(s / static_cast<double>(targets.size()));
            const double err = rmse * ((static_cast<double>(t.size()) * opt.complexity_penalty) + 1.0);
            results.push_back({to_string(E(t)), err, t.size(), t});
        }
        return results;
    };
    auto update = [&](const std::vector<RefResult>& results) {
        for (const RefResult& r : results) {
            if (!out.best || out.best->error > r.error) out.best = r;
            auto [at, fresh] = out.front.try_emplace(r.complexity, r);
            if (!fresh && at->second.error > r.error) at->second = r;
        }
        return out.best && opt.precision_goal >= out.best->error;
    };
    std::vector<Tokens> leaves;
    accept({C(0.0)}, leaves);
    accept({C(1.0)}, leaves);
    for (std::size_t i = 0; i < n_vars; ++i) accept({V(i)}, leaves);
    out.levels.push_back(leaves);
    if (update(score(leaves))) return out;
    std::vector<Tokens> pool = leaves;
    if (opt.max_complexity < 2 || last_level == 1) return out;
    const std::vector<OpCode> un = unary_operators(opt), bin = binary_operators(opt);
    for (std::size_t level = 2; level <= opt.max_complexity; ++level) {
        if (pool.empty()) return out;
        std::vector<Tokens> cands;
        for (const Tokens& e : pool)
            for (OpCode u : un) {
                Tokens t = e;
                t.push_back(O(u));
                accept(t, cands);
            }
        for (std::size_t i = 0; i < pool.size(); ++i)
            for (std::size_t j = 0; j <= i; ++j) {
                if (pool[i].size() + pool[j].size() >= opt.max_complexity) continue;
                for (OpCode b : bin) {
                    Tokens t = pool[i];
                    t.insert(t.end(), pool[j].begin(), pool[j].end());
                    t.push_back(O(b));
                    accept(t, cands);
                    if (b == OpCode::Sub || b == OpCode::Div || b == OpCode::Vok) {
                        Tokens s = pool[j];
                        s.insert(s.end(), pool[i].begin(), pool[i].end());
                        s.push_back(O(b));
                        accept(s, cands);
                    }
                }
            }
        out.levels.push_back(cands);
        if (cands.empty()) return out;
        std::vector<RefResult> results = score(cands);
        if (update(results)) return out;
        // NaN errors last, the rest stably ascending.
        std::stable_partition(results.begin(), results.end(), [](const RefResult& r) { return !std::isnan(r.error); });
        auto firstnan = std::find_if(results.begin(), results.end(), [](const RefResult& r) { return std::isnan(r.error); });
        std::stable_sort(results.begin(), firstnan, [](const RefResult& a, const RefResult& b) { return a.error < b.error; });
        if (results.size() > opt.beam_width) results.resize(opt.beam_width);
        for (std::size_t k = 0; k < std::min(opt.beam_width / 4, results.size()); ++k) pool.push_back(results[k].tokens);
        if (level == last_level) return out;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Executors dividing the work in different ways.

void serial_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) { body(ctx, 0, n); }

// Every index its own piece, last piece first.
void reverse_single_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) {
    for (std::size_t i = n; i-- > 0;) body(ctx, i, i + 1);
}

// Three uneven pieces on three threads at once.
void threaded_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) {
    const std::size_t cut1 = n / 5, cut2 = n / 2;
    std::thread t1([&] { if (cut1 > 0) body(ctx, 0, cut1); });
    std::thread t2([&] { if (cut2 > cut1) body(ctx, cut1, cut2); });
    body(ctx, cut2, n);
    t1.join();
    t2.join();
}

std::vector<std::string> texts(const std::vector<Expr>& exprs) {
    std::vector<std::string> out;
    for (const Expr& e : exprs) out.push_back(to_string(e));
    return out;
}

SearchOptions opts(std::size_t max_complexity, bool trig, bool vok_op, std::size_t beam = 2000) {
    SearchOptions o;
    o.max_complexity = max_complexity;
    o.use_trig = trig;
    o.use_vok = vok_op;
    o.beam_width = beam;
    return o;
}

// ===========================================================================
// Expr: composition and eval

TEST(ExprCompose, CopiesOperandsThenOperator) {
    const Expr x = Expr::leaf(V(0)), one = Expr::leaf(C(1.0));
    const Expr sum = Expr::binary(x, one, OpCode::Add);
    EXPECT_EQ(sum.tokens, (Tokens{V(0), C(1.0), O(OpCode::Add)}));
    const Expr neg = Expr::unary(sum, OpCode::Neg);
    EXPECT_EQ(neg.tokens, (Tokens{V(0), C(1.0), O(OpCode::Add), O(OpCode::Neg)}));
    EXPECT_EQ(Expr::binary(one, neg, OpCode::Sub).complexity(), 6u);
    EXPECT_TRUE(is_unary(OpCode::Abs));
    EXPECT_FALSE(is_unary(OpCode::Vok));
    EXPECT_EQ(arity(OpCode::Div), 2u);
}

struct EvalCase {
    const char* name;
    Tokens tokens;
    std::vector<double> vars;
    std::optional<double> expected;  // compared bitwise
};

class ExprEval : public ::testing::TestWithParam<EvalCase> {};

TEST_P(ExprEval, MatchesOperatorTable) {
    const EvalCase& c = GetParam();
    const auto got = eval(E(c.tokens), c.vars, {});
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
        EXPECT_EQ(bits(*got), bits(*c.expected)) << *got << " vs " << *c.expected;
    }
}

INSTANTIATE_TEST_SUITE_P(
    ExprTable, ExprEval,
    ::testing::Values(
        EvalCase{"add_var", {V(0), C(1.0), O(OpCode::Add)}, {2.0}, 3.0},
        EvalCase{"var_out_of_range", {V(0), C(1.0), O(OpCode::Add)}, {}, std::nullopt},
        EvalCase{"sub_left_minus_right", {C(3.0), C(2.0), O(OpCode::Sub)}, {}, 1.0},
        EvalCase{"div_left_over_right", {C(3.0), C(2.0), O(OpCode::Div)}, {}, 1.5},
        EvalCase{"recip_zero", {C(0.0), O(OpCode::Recip)}, {}, std::nullopt},
        EvalCase{"div_tiny", {C(1.0), C(1e-301), O(OpCode::Div)}, {}, std::nullopt},
        EvalCase{"recip_floor_strict", {C(1e-300), O(OpCode::Recip)}, {}, 9.999999999999999e299},
        EvalCase{"ln_zero", {C(0.0), O(OpCode::Ln)}, {}, std::nullopt},
        EvalCase{"ln_neg_zero", {C(-0.0), O(OpCode::Ln)}, {}, std::nullopt},
        EvalCase{"sqrt_neg_zero", {C(-0.0), O(OpCode::Sqrt)}, {}, -0.0},
        EvalCase{"sqrt_negative", {C(-1.0), O(OpCode::Sqrt)}, {}, std::nullopt},
        EvalCase{"exp_overflow", {C(710.0), O(OpCode::Exp)}, {}, std::nullopt},
        EvalCase{"vok_exponent_guard", {C(710.0), C(1.0), O(OpCode::Vok)}, {}, 710.0000000000002},  // exp(ln 710) - ln 1
        EvalCase{"vok_log_floor", {C(0.0), C(0.0), O(OpCode::Vok)}, {}, 691.7755278982137},
        EvalCase{"vok_log_abs", {C(0.0), C(-1.0), O(OpCode::Vok)}, {}, 1.0},
        EvalCase{"nan_leaf_passes", {C(kNaN)}, {}, kNaN},
        EvalCase{"inf_leaf_passes", {V(0)}, {kInf}, kInf},
        EvalCase{"nan_operand_fails", {C(kNaN), O(OpCode::Neg)}, {}, std::nullopt},
        EvalCase{"nan_skips_domain_but_fails", {C(kNaN), O(OpCode::Ln)}, {}, std::nullopt},
        EvalCase{"recip_of_inf_is_finite", {V(0), O(OpCode::Recip)}, {-kInf}, -0.0},
        EvalCase{"two_values_left", {C(1.0), C(2.0)}, {}, std::nullopt},
        EvalCase{"too_few_operands", {O(OpCode::Add)}, {}, std::nullopt},
        EvalCase{"unary_without_operand", {O(OpCode::Neg)}, {}, std::nullopt},
        EvalCase{"empty", {}, {}, std::nullopt},
        EvalCase{"abs", {C(-2.5), O(OpCode::Abs)}, {}, 2.5},
        EvalCase{"overflowing_product", {C(1e200), C(1e200), O(OpCode::Mul)}, {}, std::nullopt},
        EvalCase{"cos_second_var", {V(1), O(OpCode::Cos)}, {5.0, 0.0}, 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExprEval, ParamsTakeListOrDefault) {
    const Expr p = E({Token::param(0, 2.5)});
    EXPECT_EQ(eval(p, {}, {}), 2.5);
    const std::vector<double> params{7.0};
    EXPECT_EQ(eval(p, {}, params), 7.0);
    const Expr q = E({Token::param(3, -1.0), Token::param(0, 9.0), O(OpCode::Mul)});
    EXPECT_EQ(eval(q, {}, params), -7.0);
}

TEST(ExprEval, LongExpressionUsesHeapStack) {
    // 40 pushes before the operators: more than the inline stack holds.
    Tokens t;
    for (int i = 0; i < 40; ++i) t.push_back(C(1.0));
    for (int i = 0; i < 39; ++i) t.push_back(O(OpCode::Add));
    EXPECT_EQ(eval(E(t), {}, {}), 40.0);
}

// ===========================================================================
// Expr: batch and column evaluation

TEST(ExprBatch, RowsFollowTheFirstColumn) {
    const std::vector<std::vector<double>> a{{1, 2, 3}, {4, 5, 6}}, b{{1, 2, 3}, {4, 5, 6, 7}};
    EXPECT_EQ(eval_batch(E({V(1)}), a, {}), (std::vector<double>{4, 5, 6}));
    EXPECT_EQ(eval_batch(E({V(1)}), b, {}), (std::vector<double>{4, 5, 6}));
    EXPECT_EQ(eval_batch(E({V(0), V(1), O(OpCode::Sub)}), a, {}), (std::vector<double>{-3, -3, -3}));
}

TEST(ExprBatch, AnyFailingRowFailsTheBatch) {
    const std::vector<std::vector<double>> cols{{1.0, 2.0, 0.0, 4.0}};
    EXPECT_FALSE(eval_batch(E({V(0), O(OpCode::Ln)}), cols, {}).has_value());
    EXPECT_FALSE(eval_batch(E({V(1)}), cols, {}).has_value());  // Var out of range
    EXPECT_EQ(eval_batch(E({V(0), O(OpCode::Sqrt)}), cols, {}), (std::vector<double>{1.0, std::sqrt(2.0), 0.0, 2.0}));
}

TEST(ExprBatch, FailureInALaterBlockFailsTheBatch) {
    std::vector<std::vector<double>> cols{linspace(1.0, 2.0, 3 * kBlockRows + 5)};
    const Expr ln = E({V(0), O(OpCode::Ln)});
    ASSERT_TRUE(eval_batch(ln, cols, {}).has_value());
    cols[0][3 * kBlockRows + 2] = -1.0;  // in the last, partial block
    EXPECT_FALSE(eval_batch(ln, cols, {}).has_value());
    const Expr sq = E({V(0), O(OpCode::Sqrt), C(2.0), O(OpCode::Mul)});
    cols[0][3 * kBlockRows + 2] = -0.0;
    const auto v = eval_batch(sq, cols, {});
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(bits((*v)[3 * kBlockRows + 2]), bits(-0.0));
    EXPECT_EQ((*v)[0], 2.0);
}

TEST(ExprBatch, NoRowsYieldAnEmptySequence) {
    const std::vector<std::vector<double>> cols{{}};
    EXPECT_EQ(eval_batch(E({V(0), O(OpCode::Ln)}), cols, {}), std::vector<double>{});
}

TEST(ExprBatch, BadShapesThrow) {
    const std::vector<std::vector<double>> none, ragged{{1, 2, 3}, {4, 5}};
    EXPECT_THROW(eval_batch(E({V(0)}), none, {}), std::out_of_range);
    EXPECT_THROW(eval_batch(E({V(0)}), ragged, {}), std::out_of_range);
}

// Random expressions over data with awkward values: the column evaluator
// agrees with the row-by-row reference on failure and on every value's bits.
TEST(ExprBatch, MatchesRowByRowReference) {
    std::mt19937_64 rng(7);
    std::vector<std::vector<double>> cols(2);
    const double specials[] = {0.0, -0.0, 1e-301, -1e-300, 709.9, 710.0, -3.0, kInf, 1e300};
    for (std::size_t r = 0; r < 700; ++r) {
        cols[0].push_back(std::uniform_real_distribution<double>(-4.0, 4.0)(rng));
        cols[1].push_back(std::uniform_real_distribution<double>(0.1, 3.0)(rng));
    }
    std::vector<std::vector<double>> with_specials = cols;
    for (std::size_t k = 0; k < std::size(specials); ++k) with_specials[0][300 + k] = specials[k];
    int agreed_values = 0, agreed_failures = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        Tokens t;
        int depth = 0;
        const int len = 1 + static_cast<int>(rng() % 9);
        for (int k = 0; k < len; ++k) {
            const unsigned pick = static_cast<unsigned>(rng() % 10);
            if (depth < 1 || pick < 3) {
                t.push_back(pick % 2 ? V(rng() % 2) : C(std::uniform_real_distribution<double>(-2, 2)(rng)));
                ++depth;
            } else if (depth >= 2 && pick < 7) {
                t.push_back(O(static_cast<OpCode>(8 + rng() % 5)));
                --depth;
            } else {
                t.push_back(O(static_cast<OpCode>(rng() % 8)));
            }
        }
        for (const auto* data : {&cols, &with_specials}) {
            const auto want = ref_eval_rows(t, *data);
            const auto got = eval_batch(E(t), *data, {});
            ASSERT_EQ(got.has_value(), want.has_value()) << to_string(E(t));
            if (!got) {
                ++agreed_failures;
                continue;
            }
            for (std::size_t r = 0; r < got->size(); ++r) ASSERT_EQ(bits((*got)[r]), bits((*want)[r])) << r;
            ++agreed_values;
        }
    }
    // Both outcomes were exercised, many times.
    EXPECT_GT(agreed_values, 500);
    EXPECT_GT(agreed_failures, 500);
}

TEST(ExprBatch, ColumnOperatorsFailOnAnyRow) {
    const double a[] = {1.0, 2.0, -1.0}, b[] = {1.0, 0.0, 2.0};
    double out[3];
    EXPECT_FALSE(apply_op_column(OpCode::Div, a, b, out, 3));
    EXPECT_TRUE(apply_op_column(OpCode::Div, b, a, out, 3));
    EXPECT_EQ(out[2], -2.0);
    EXPECT_FALSE(apply_op_column(OpCode::Ln, a, nullptr, out, 3));
    EXPECT_TRUE(apply_op_column(OpCode::Ln, a, nullptr, out, 2));
    EXPECT_FALSE(apply_op_column(OpCode::Sqrt, a, nullptr, out, 3));
    EXPECT_FALSE(apply_op_column(OpCode::Recip, b, nullptr, out, 3));
    EXPECT_TRUE(apply_op_column(OpCode::Vok, b, b, out, 3));
    EXPECT_EQ(out[1], vok::tension(0.0, 0.0));
}

// ===========================================================================
// Fingerprints and the seen set

std::optional<Fingerprint> fp1(Tokens t, std::size_t n = 1) { return fingerprint(E(std::move(t)), n, {}); }

TEST(FingerprintValue, HalvesOfEachProbeValue) {
    const auto fp = fp1({C(-2.0)});
    ASSERT_TRUE(fp);
    // -2.0 is 0xC000000000000000: high half -1073741824 (signed), low half 0.
    for (std::size_t k = 0; k < kProbeCount; ++k) {
        EXPECT_EQ(fp->words[2 * k], -1073741824);
        EXPECT_EQ(fp->words[2 * k + 1], 0);
    }
    const auto x = fp1({V(0)});
    ASSERT_TRUE(x);
    EXPECT_EQ(x->words[0], 0x3FE2788C);
    EXPECT_EQ(x->words[1], 0xFC6FB618);  // unsigned low half of Euler-Mascheroni
    EXPECT_EQ(x->words[9], 0x04F00621);
    EXPECT_EQ(Fingerprint::from_bits(x->bits()), *x);
}

TEST(FingerprintValue, ProbePointsScaleWithVariableIndex) {
    const auto y = probe_values(E({V(1)}), 2, {});
    ASSERT_TRUE(y);
    EXPECT_EQ((*y)[0], 1.1544313298030655);
    EXPECT_EQ(bits(kProbes[0]), 0x3FE2788CFC6FB618u);
    EXPECT_EQ(bits(kProbes[1]), 0x3FF484D24F2FD873u);
    EXPECT_EQ(bits(kProbes[2]), 0x3FF9E3779B97F4A8u);
    EXPECT_EQ(bits(kProbes[3]), 0x3FE62E42FEFA39EFu);
    EXPECT_EQ(bits(kProbes[4]), 0x3FF33BA004F00621u);
}

TEST(FingerprintValue, EqualityIsBitwise) {
    EXPECT_EQ(fp1({V(0)}), fp1({V(0), C(0.0), O(OpCode::Add)}));
    EXPECT_EQ(fp1({V(0), V(0), O(OpCode::Sub)}), fp1({C(0.0)}));
    EXPECT_NE(fp1({C(0.0), O(OpCode::Neg)}), fp1({C(0.0)}));
    // Equal in exact arithmetic, rounded differently at probes 2 and 5.
    const auto a = fp1({V(0), C(1.0), O(OpCode::Add), V(0), O(OpCode::Mul)});
    const auto b = fp1({V(0), V(0), O(OpCode::Mul), V(0), O(OpCode::Add)});
    ASSERT_TRUE(a && b);
    EXPECT_NE(*a, *b);
    EXPECT_EQ(a->words[0], b->words[0]);
    EXPECT_NE(a->words[3], b->words[3]);
    // Two variables: y is 2x at every probe, so x + x looks like y.
    EXPECT_EQ(fp1({V(0), V(0), O(OpCode::Add)}, 2), fp1({V(1)}, 2));
    EXPECT_EQ(fp1({V(0), V(1), O(OpCode::Sub)}, 2), fp1({V(0), O(OpCode::Neg)}, 2));
}

TEST(FingerprintValue, MissingWhenAnyProbeFailsOrIsNotFinite) {
    EXPECT_TRUE(fp1({V(0), O(OpCode::Ln)}));
    EXPECT_FALSE(fp1({V(0), O(OpCode::Neg), O(OpCode::Ln)}));
    EXPECT_FALSE(fp1({V(0), C(1.0), O(OpCode::Sub), O(OpCode::Ln)}));  // ln(x - 1) at x ~ 0.577
    EXPECT_FALSE(fp1({V(0), O(OpCode::Exp), O(OpCode::Exp), O(OpCode::Exp), O(OpCode::Exp)}));
    EXPECT_TRUE(eval(E({V(0), O(OpCode::Exp), O(OpCode::Exp), O(OpCode::Exp), O(OpCode::Exp)}), std::vector{0.5}, {}));
    EXPECT_FALSE(fp1({C(kNaN)}));
    EXPECT_FALSE(fp1({C(kInf)}));
    EXPECT_FALSE(fp1({C(-kInf)}));
    EXPECT_TRUE(fp1({C(3.0)}, 0));
    EXPECT_FALSE(fp1({V(0)}, 0));
}

TEST(FingerprintSetTest, InsertReportsPresence) {
    FingerprintSet set;
    const auto x = *fp1({V(0)}), zero = *fp1({C(0.0)}), negzero = *fp1({C(-0.0)});
    EXPECT_FALSE(set.insert(x));
    EXPECT_FALSE(set.insert(zero));
    EXPECT_FALSE(set.insert(negzero));
    EXPECT_TRUE(set.insert(*fp1({V(0), C(0.0), O(OpCode::Add)})));
    EXPECT_TRUE(set.insert(zero));
    EXPECT_EQ(set.size(), 3u);
}

TEST(FingerprintSetTest, ShardCountIsAPowerOfTwoFromTheCpus) {
    const std::size_t s = FingerprintSet::shard_count();
    EXPECT_GE(s, 4 * vok::available_cpus());
    EXPECT_LT(s, 8 * vok::available_cpus() + 4);
    EXPECT_EQ(s & (s - 1), 0u);
    EXPECT_EQ(FingerprintSet::shard_count(), s);
}

TEST(FingerprintSetTest, GrowsAndKeepsEveryKeyAcrossShards) {
    FingerprintSet set;
    std::vector<std::size_t> per_shard(FingerprintSet::shard_count());
    for (std::uint64_t i = 0; i < 20000; ++i) {
        const ProbeBits b{i, i * 3, 0, 0, i % 7};
        ASSERT_FALSE(set.insert(b, hash_probe_bits(b)));
        ++per_shard[set.shard_of(hash_probe_bits(b))];
    }
    for (std::uint64_t i = 0; i < 20000; i += 7) {
        const ProbeBits b{i, i * 3, 0, 0, i % 7};
        ASSERT_TRUE(set.insert(b, hash_probe_bits(b)));
    }
    EXPECT_EQ(set.size(), 20000u);
    for (std::size_t n : per_shard) EXPECT_GT(n, 20000u / per_shard.size() / 2);  // every shard used
}

TEST(FingerprintSetTest, ConcurrentInsertsFindEachKeyOnce) {
    FingerprintSet set;
    std::vector<int> fresh(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (std::uint64_t i = 0; i < 5000; ++i) {
                const ProbeBits b{i, 1, 2, 3, 4};  // every thread inserts the same keys
                if (!set.insert(b, hash_probe_bits(b))) ++fresh[t];
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(fresh[0] + fresh[1] + fresh[2] + fresh[3], 5000);
}

// ===========================================================================
// Search: generation order, exits and the worked examples

struct Outcome {
    std::optional<SearchResult> result;
    SearchTrace trace;
};

// Every parallel step goes to the executor unless inline_work says otherwise.
Outcome run(const std::vector<std::vector<double>>& cols, const std::vector<double>& y, const SearchOptions& o,
            Executor ex = serial_executor, std::size_t budget = kDefaultCacheBudget, std::size_t inline_work = 0) {
    Outcome r;
    r.trace.record_candidates = true;
    r.result = search_with(cols, y, cols.size(), o, SearchInternals{ex, &r.trace, budget, inline_work});
    return r;
}

TEST(SearchGeneration, LevelTwoWithoutTrigAndVok) {
    const Outcome r = run({{1, 2, 3, 4}}, {100, 50, -3, 7}, opts(3, false, false));
    ASSERT_GE(r.trace.levels.size(), 2u);
    EXPECT_EQ(texts(r.trace.levels[0]), (std::vector<std::string>{"0.0000", "1.0000", "x"}));
    EXPECT_EQ(texts(r.trace.levels[1]),
              (std::vector<std::string>{"(-0.0000)", "(-1.0000)", "exp(1.0000)", "(-x)", "(1/x)", "exp(x)", "ln(x)",
                                        "sqrt(x)", "(1.0000 + 1.0000)", "(x + 1.0000)", "(x - 1.0000)",
                                        "(1.0000 - x)", "(x + x)", "(x * x)"}));
}

TEST(SearchGeneration, LevelTwoWithDefaults) {
    const Outcome r = run({{1, 2, 3, 4}}, {100, 50, -3, 7}, opts(3, true, true));
    ASSERT_GE(r.trace.levels.size(), 2u);
    EXPECT_EQ(texts(r.trace.levels[1]),
              (std::vector<std::string>{"(-0.0000)", "(-1.0000)", "exp(1.0000)", "sin(1.0000)", "cos(1.0000)", "(-x)",
                                        "(1/x)", "exp(x)", "ln(x)", "sqrt(x)", "sin(x)", "cos(x)",
                                        "vok(0.0000, 0.0000)", "vok(1.0000, 0.0000)", "(1.0000 + 1.0000)",
                                        "vok(x, 0.0000)", "vok(0.0000, x)", "(x + 1.0000)", "(x - 1.0000)",
                                        "(1.0000 - x)", "vok(1.0000, x)", "(x + x)", "(x * x)", "vok(x, x)"}));
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
    for (const char* gone : {"(x - y)", "(y - x)", "(x + x)"}) EXPECT_EQ(std::count(l2.begin(), l2.end(), gone), 0) << gone;
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
    const auto r = search_with(cols, y, 2, opts(3, false, false), SearchInternals{serial_executor, &t, kDefaultCacheBudget, 0});
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

void expect_same(const std::optional<SearchResult>& got, const SearchTrace& trace, const RefSearch& want) {
    ASSERT_EQ(trace.levels.size(), want.levels.size());
    for (std::size_t l = 0; l < want.levels.size(); ++l) {
        ASSERT_EQ(trace.levels[l].size(), want.levels[l].size()) << "level " << l + 1;
        for (std::size_t k = 0; k < want.levels[l].size(); ++k)
            ASSERT_EQ(trace.levels[l][k].tokens, want.levels[l][k]) << "level " << l + 1 << " #" << k;
    }
    ASSERT_EQ(got.has_value(), want.best.has_value());
    if (!got) return;
    EXPECT_EQ(got->formula, want.best->formula);
    EXPECT_EQ(bits(got->error), bits(want.best->error));
    EXPECT_EQ(got->complexity, want.best->complexity);
    EXPECT_EQ(got->expr.tokens, want.best->tokens);
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
    for (Setup s : {Setup{serial_executor, kDefaultCacheBudget, 0}, Setup{reverse_single_executor, kDefaultCacheBudget, 0},
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

TEST(SearchExit, CheckpointRunsBeforeEachLevelAndMayAbandon) {
    std::vector<double> x = {1, 2, 3};
    std::vector<std::vector<double>> columns = {x};
    const std::vector<double> targets = {0.3, -7.0, 11.0};  // nothing fits: every level runs
    vok::discover::SearchOptions o;
    o.max_complexity = 5;
    o.beam_width = 40;
    int calls = 0;
    o.checkpoint = [&calls] { ++calls; };
    ASSERT_TRUE(vok::discover::search(columns, targets, 1, o));
    EXPECT_EQ(calls, 4);  // levels 2 to 5
    struct Abandon {};
    o.checkpoint = [&calls] {
        if (++calls == 7) throw Abandon{};
    };
    EXPECT_THROW(vok::discover::search(columns, targets, 1, o), Abandon);
}

namespace {

// A controlled search over data nothing fits, so that every level runs.
struct Controlled {
    std::vector<std::vector<double>> cols{{1, 2, 3, 4, 5}};
    std::vector<double> y{0.3, -7.0, 11.0, 2.0, 5.5};
    SearchOptions o = opts(5, true, true, 40);
    // The plain search's best when it ends after `level`.
    std::optional<RefResult> ended_after(std::size_t level) const { return ref_search(cols, y, 1, o, level).best; }
};

void expect_result(const std::optional<SearchResult>& got, const std::optional<RefResult>& want) {
    ASSERT_EQ(got.has_value(), want.has_value());
    if (!got) return;
    EXPECT_EQ(got->formula, want->formula);
    EXPECT_EQ(bits(got->error), bits(want->error));
}

TEST(SearchControlled, ReportsEveryLevelAndStopsWhenTheCallbackSaysSo) {
    const Controlled c;
    std::vector<LevelProgress> seen;
    std::vector<std::optional<SearchResult>> bests;  // p.best lives only during the call
    SearchHooks hooks;
    hooks.on_level = [&](const LevelProgress& p) {
        seen.push_back(p);
        bests.push_back(p.best ? std::optional<SearchResult>(*p.best) : std::nullopt);
        return true;
    };
    SearchTrace trace;
    const SearchOutcome all = search_controlled(c.cols, c.y, 1, c.o, hooks, SearchInternals{serial_executor, &trace});
    EXPECT_TRUE(all.complete);
    EXPECT_EQ(all.reason, StopReason::Finished);
    expect_result(all.best, c.ended_after(SIZE_MAX));
    ASSERT_EQ(seen.size(), 5u);
    std::size_t total = 0;
    for (std::size_t l = 0; l < seen.size(); ++l) {
        EXPECT_EQ(seen[l].level, l + 1);
        EXPECT_EQ(seen[l].max_level, 5u);
        total += seen[l].candidates;
        EXPECT_EQ(seen[l].candidates_total, total);
        expect_result(bests[l], c.ended_after(l + 1));
    }
    EXPECT_EQ(total, trace.accepted);
    EXPECT_EQ(seen[0].candidates, 3u);  // 0, 1, x

    // Stopped after level 3: the result of a search that ends there.
    hooks.on_level = [](const LevelProgress& p) { return p.level < 3; };
    const SearchOutcome stopped = search_controlled(c.cols, c.y, 1, c.o, hooks);
    EXPECT_FALSE(stopped.complete);
    EXPECT_EQ(stopped.reason, StopReason::Callback);
    expect_result(stopped.best, c.ended_after(3));
}

TEST(SearchControlled, PrecisionGoalIsACompleteEnd) {
    int calls = 0;
    const SearchOutcome r = search_controlled(std::vector<std::vector<double>>{{1, 2, 3, 4}}, std::vector<double>{2, 5, 10, 17}, 1,
                                              SearchOptions{}, SearchHooks{[&](const LevelProgress&) { return ++calls, false; }});
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.reason, StopReason::Callback);  // it asked to stop after the leaves
    EXPECT_EQ(calls, 1);
    const SearchOutcome goal = search_controlled(std::vector<std::vector<double>>{{1, 2, 3, 4}}, std::vector<double>{2, 5, 10, 17}, 1,
                                                 SearchOptions{}, SearchHooks{});
    EXPECT_TRUE(goal.complete);
    EXPECT_EQ(goal.reason, StopReason::PrecisionGoal);
    EXPECT_EQ(goal.best->formula, "((x * x) + 1.0000)");
}

// An executor that throws vok::Interrupted at its n-th call, as the pool does
// when the caller's poll asks to stop in the middle of a parallel step.
std::size_t g_calls_left = 0;
void interrupting_executor(std::size_t n, vok::detail::RangeFn body, void* ctx) {
    if (g_calls_left-- == 0) throw vok::Interrupted();
    threaded_executor(n, body, ctx);
}

TEST(SearchControlled, InterruptsAndTheMemoryLimitKeepTheCompletedLevels) {
    const Controlled c;
    std::size_t last_level = 0;
    SearchHooks hooks;
    hooks.on_level = [&](const LevelProgress& p) { return last_level = p.level, true; };
    // Anywhere in a parallel step: the levels completed before it count.
    for (std::size_t at : {0u, 1u, 4u, 9u, 13u}) {
        SCOPED_TRACE(at);
        g_calls_left = at;
        last_level = 0;
        const SearchOutcome r = search_controlled(c.cols, c.y, 1, c.o, hooks, SearchInternals{interrupting_executor, nullptr, kDefaultCacheBudget, 0});
        EXPECT_FALSE(r.complete);
        EXPECT_EQ(r.reason, StopReason::Interrupted);
        if (last_level == 0) EXPECT_FALSE(r.best);
        else expect_result(r.best, c.ended_after(last_level));
    }
    // From the checkpoint before level 4.
    SearchOptions o = c.o;
    int calls = 0;
    o.checkpoint = [&] { if (++calls == 3) throw vok::Interrupted(); };
    const SearchOutcome r = search_controlled(c.cols, c.y, 1, o, SearchHooks{});
    EXPECT_EQ(r.reason, StopReason::Interrupted);
    expect_result(r.best, c.ended_after(3));
    // The memory limit: the levels that fitted.
    SearchOptions endless = opts(SIZE_MAX, true, true, 4);
    last_level = 0;
    const SearchOutcome m = search_controlled(c.cols, c.y, 1, endless, hooks,
                                              SearchInternals{serial_executor, nullptr, kDefaultCacheBudget, 0, std::size_t{8} << 20});
    EXPECT_FALSE(m.complete);
    EXPECT_EQ(m.reason, StopReason::MemoryLimit);
    ASSERT_GT(last_level, 10u);
    // The same levels ended by the callback (itself checked above).
    const std::size_t stop_after = last_level;
    const SearchOutcome same = search_controlled(c.cols, c.y, 1, endless,
                                                 SearchHooks{[&](const LevelProgress& p) { return p.level < stop_after; }});
    ASSERT_TRUE(m.best && same.best);
    EXPECT_EQ(m.best->formula, same.best->formula);
    EXPECT_EQ(bits(m.best->error), bits(same.best->error));
}

}  // namespace
