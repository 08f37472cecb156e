// The discovery engine's evaluator, fingerprints and seen set, checked
// against the plain row-by-row evaluator of discover_reference.hpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "discover/columns.hpp"
#include "discover_reference.hpp"
#include "guards.hpp"

namespace {

using namespace vok::discover;
using namespace discover_test;

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
        EvalCase{
            "vok_exponent_guard", {C(710.0), C(1.0), O(OpCode::Vok)}, {}, 710.0000000000002},  // exp(ln 710) - ln 1
        EvalCase{"vok_log_floor", {C(0.0), C(0.0), O(OpCode::Vok)}, {}, 691.7755278982137},
        EvalCase{"vok_log_abs", {C(0.0), C(-1.0), O(OpCode::Vok)}, {}, 1.0},
        EvalCase{"nan_leaf_passes", {C(kNaN)}, {}, kNaN}, EvalCase{"inf_leaf_passes", {V(0)}, {kInf}, kInf},
        EvalCase{"nan_operand_fails", {C(kNaN), O(OpCode::Neg)}, {}, std::nullopt},
        EvalCase{"nan_skips_domain_but_fails", {C(kNaN), O(OpCode::Ln)}, {}, std::nullopt},
        EvalCase{"recip_of_inf_is_finite", {V(0), O(OpCode::Recip)}, {-kInf}, -0.0},
        EvalCase{"two_values_left", {C(1.0), C(2.0)}, {}, std::nullopt},
        EvalCase{"too_few_operands", {O(OpCode::Add)}, {}, std::nullopt},
        EvalCase{"unary_without_operand", {O(OpCode::Neg)}, {}, std::nullopt}, EvalCase{"empty", {}, {}, std::nullopt},
        EvalCase{"abs", {C(-2.5), O(OpCode::Abs)}, {}, 2.5},
        EvalCase{"overflowing_product", {C(1e200), C(1e200), O(OpCode::Mul)}, {}, std::nullopt},
        EvalCase{"cos_second_var", {V(1), O(OpCode::Cos)}, {5.0, 0.0}, 1.0},
        EvalCase{"arcsin_at_one", {C(1.0), O(OpCode::Arcsin)}, {}, 1.5707963267948966},
        EvalCase{"arcsin_past_one", {C(1.0000000000000002), O(OpCode::Arcsin)}, {}, std::nullopt},
        EvalCase{"arccos_at_minus_one", {C(-1.0), O(OpCode::Arccos)}, {}, 3.141592653589793},
        EvalCase{"arccos_past_minus_one", {C(-1.0000000000000002), O(OpCode::Arccos)}, {}, std::nullopt},
        EvalCase{"arccos_nan", {C(kNaN), O(OpCode::Arccos)}, {}, std::nullopt},
        EvalCase{"tanh_saturates", {C(-800.0), O(OpCode::Tanh)}, {}, -1.0},
        EvalCase{"tanh_after_div", {C(1.0), C(2.0), O(OpCode::Div), O(OpCode::Tanh)}, {}, 0.46211715726000974}),
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

TEST(ColumnShape, FaultNamesTheFirstShortColumn) {
    using Cols = std::vector<std::vector<double>>;
    EXPECT_FALSE(column_shape_fault(Cols{{1, 2}, {3, 4, 5}, {6, 7}}));
    const auto none = column_shape_fault(Cols{});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->no_column);
    const auto short_one = column_shape_fault(Cols{{1, 2, 3}, {1, 2, 3}, {1}, {}});
    ASSERT_TRUE(short_one);
    EXPECT_FALSE(short_one->no_column);
    EXPECT_EQ(short_one->column, 2u);
    EXPECT_EQ(short_one->length, 1u);
    EXPECT_EQ(short_one->rows, 3u);
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
                // A unary operator: codes 0 to 7, and the appended 13 to 15.
                const unsigned code = static_cast<unsigned>(rng() % 11);
                t.push_back(O(static_cast<OpCode>(code < 8 ? code : code + 5)));
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
    // The appended operators: 2.0 lies outside asin's and acos's domain.
    EXPECT_FALSE(apply_op_column(OpCode::Arcsin, a, nullptr, out, 3));
    EXPECT_FALSE(apply_op_column(OpCode::Arccos, a, nullptr, out, 3));
    EXPECT_TRUE(apply_op_column(OpCode::Arccos, b, nullptr, out, 2));
    EXPECT_EQ(out[1], std::acos(0.0));
    EXPECT_TRUE(apply_op_column(OpCode::Tanh, a, nullptr, out, 3));
}

// The pair pass against the two single passes, bit for bit, over arguments
// of every size (the large ones take the long argument reduction), and each
// output's failure on its own.
TEST(ExprBatch, SinCosColumnGivesTheBitsOfEachPass) {
    std::mt19937_64 rng(7);
    std::vector<double> a;
    for (int e = -40; e <= 1000; e += 5)
        for (int k = 0; k < 40; ++k) a.push_back(std::ldexp(std::uniform_real_distribution<double>(-1, 1)(rng), e));
    for (int k = 1; k < 2000; ++k) a.push_back(k * std::numbers::pi / 4);  // near the zeros of each
    const std::size_t n = a.size();
    std::vector<double> s(n), c(n), s_ref(n), c_ref(n);
    bool s_ok = false, c_ok = false;
    sin_cos_column(a.data(), s.data(), c.data(), n, &s_ok, &c_ok);
    ASSERT_TRUE(apply_op_column(OpCode::Sin, a.data(), nullptr, s_ref.data(), n));
    ASSERT_TRUE(apply_op_column(OpCode::Cos, a.data(), nullptr, c_ref.data(), n));
    EXPECT_TRUE(s_ok && c_ok);
    for (std::size_t r = 0; r < n; ++r) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(s[r]), std::bit_cast<std::uint64_t>(s_ref[r])) << a[r];
        EXPECT_EQ(std::bit_cast<std::uint64_t>(c[r]), std::bit_cast<std::uint64_t>(c_ref[r])) << a[r];
    }
    for (const double bad : {kInf, -kInf, kNaN}) {
        const double row[] = {0.5, bad};
        double so[2], co[2];
        sin_cos_column(row, so, co, 2, &s_ok, &c_ok);
        EXPECT_FALSE(s_ok || c_ok);
        sin_cos_column(row, so, co, 1, &s_ok, &c_ok);
        EXPECT_TRUE(s_ok && c_ok);
    }
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

}  // namespace
