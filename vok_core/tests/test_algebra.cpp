// Algebra kernels: octonion product, geometric product, Schwarzschild
// Christoffel symbols.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "metric.hpp"
#include "multivector.hpp"
#include "octonion.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// Bitwise equality (+0.0 != -0.0), except that every NaN matches every NaN:
// which payload a product of two NaNs carries is the compiler's choice.
::testing::AssertionResult same_bits(const std::vector<double>& got, const std::vector<double>& want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
    for (std::size_t k = 0; k < got.size(); ++k)
        if (!(std::isnan(got[k]) && std::isnan(want[k])) && bits(got[k]) != bits(want[k]))
            return ::testing::AssertionFailure() << "coefficient " << k << ": " << got[k] << " != " << want[k];
    return ::testing::AssertionSuccess();
}

std::vector<double> vec(const vok::Octonion& o) { return {o.begin(), o.end()}; }

vok::Octonion unit(int k, double v = 1.0) {
    vok::Octonion o{};
    o[k] = v;
    return o;
}

// ---------------------------------------------------------------- octonions

// Rebuilds the 64 entries from the rule (e0 is the unit, e_i^2 = -1, the
// seven cyclic triples, reversal flips the sign) and compares the table.
TEST(Octonion, TableFollowsTheTripleRule) {
    int sign[8][8] = {};
    int target[8][8] = {};
    for (int k = 0; k < 8; ++k) {
        sign[0][k] = sign[k][0] = 1;
        target[0][k] = target[k][0] = k;
    }
    for (int i = 1; i < 8; ++i) sign[i][i] = -1, target[i][i] = 0;
    const int triples[7][3] = {{1, 2, 4}, {2, 3, 5}, {3, 4, 6}, {4, 5, 7}, {5, 6, 1}, {6, 7, 2}, {7, 1, 3}};
    for (const auto& t : triples) {
        for (int rot = 0; rot < 3; ++rot) {
            const int p = t[rot], q = t[(rot + 1) % 3], r = t[(rot + 2) % 3];
            sign[p][q] = 1, target[p][q] = r;
            sign[q][p] = -1, target[q][p] = r;
        }
    }
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 8; ++j) {
            ASSERT_NE(sign[i][j], 0) << "rule leaves e" << i << "*e" << j << " open";
            const vok::OctonionUnit u = vok::kOctonionTable[8 * i + j];
            EXPECT_EQ(u.sign, sign[i][j]) << "e" << i << "*e" << j;
            EXPECT_EQ(u.target, target[i][j]) << "e" << i << "*e" << j;
        }
    }
}

TEST(Octonion, IdentityTurnsNegativeZeroIntoPositiveZero) {
    const vok::Octonion b{-0.0, 2.5, -0.0, -1.0, 0.0, -0.0, 7.0, -0.0};
    EXPECT_TRUE(same_bits(vec(vok::octonion_mul(unit(0), b)), {0.0, 2.5, 0.0, -1.0, 0.0, 0.0, 7.0, 0.0}));
    EXPECT_TRUE(same_bits(vec(vok::octonion_mul(b, unit(0))), {0.0, 2.5, 0.0, -1.0, 0.0, 0.0, 7.0, 0.0}));
}

TEST(Octonion, ZeroCoefficientsNeverMeetInfOrNaN) {
    EXPECT_TRUE(same_bits(vec(vok::octonion_mul(unit(0), unit(0, kNaN))), vec(unit(0, kNaN))));
    // 0 * inf would give NaN in every coefficient; the skip keeps the zeros.
    EXPECT_TRUE(same_bits(vec(vok::octonion_mul(unit(2), unit(1, kInf))), vec(unit(4, -kInf))));
    const vok::Octonion inf_b{kInf, kInf, kInf, kInf, kInf, kInf, kInf, kInf};
    const vok::Octonion c = vok::octonion_mul(vok::Octonion{}, inf_b);
    EXPECT_TRUE(same_bits(vec(c), std::vector<double>(8, 0.0)));
}

TEST(Octonion, NaNIsMultipliedIn) {
    const vok::Octonion c = vok::octonion_mul(unit(0, kNaN), unit(5));
    EXPECT_TRUE(std::isnan(c[5]));
    for (int k = 0; k < 8; ++k)
        if (k != 5) {
            EXPECT_EQ(bits(c[k]), bits(0.0)) << k;
        }
}

// c0 = a0 b0 - a1 b1 - a2 b2, added in that order: 1e16 + 1 rounds back to
// 1e16 twice, whereas adding the two ones first would give 1e16 + 2.
TEST(Octonion, TermsAreAddedInRowOrder) {
    const vok::Octonion a{1.0, 1.0, 1.0, 0, 0, 0, 0, 0};
    const vok::Octonion b{1e16, -1.0, -1.0, 0, 0, 0, 0, 0};
    EXPECT_EQ(vok::octonion_mul(a, b)[0], 1e16);
}

// ---------------------------------------------------------- geometric product

using Sig = std::vector<std::int8_t>;

std::vector<double> product(const std::vector<double>& a, const std::vector<double>& b, const Sig& sig) {
    vok::Product p = vok::geometric_product(a, b, sig);
    EXPECT_FALSE(p.fault.has_value());
    return p.c;
}

// (-1)^(pairs p in i, q in j with p > q) times the product of the signature
// over the shared basis vectors, counted pair by pair.
double textbook_factor(std::size_t i, std::size_t j, const Sig& sig) {
    int swaps = 0;
    for (int p = 0; p < 8; ++p)
        for (int q = 0; q < p; ++q)
            if (((i >> p) & 1) && ((j >> q) & 1)) ++swaps;
    double m = 1.0;
    for (int p = 0; p < 8; ++p)
        if ((i >> p) & (j >> p) & 1) m *= sig[p];
    return (swaps % 2 ? -1.0 : 1.0) * m;
}

TEST(Multivector, FactorIsReorderingSignTimesMetric) {
    const Sig sig{1, -1, 2, 0, -3, 1};
    for (std::size_t i = 0; i < 64; ++i)
        for (std::size_t j = 0; j < 64; ++j)
            EXPECT_EQ(vok::blade_factor(i, j, sig), textbook_factor(i, j, sig)) << i << "," << j;
}

TEST(Multivector, FactorNeedsSignatureOnlyForSharedVectors) {
    const Sig sig{1};
    EXPECT_EQ(vok::blade_factor(1, 1, sig), 1.0);
    EXPECT_EQ(vok::blade_factor(2, 1, sig), -1.0);  // e1 e0 = -e0e1: no shared vector
    EXPECT_TRUE(std::isnan(vok::blade_factor(3, 3, sig)));
    EXPECT_EQ(vok::missing_basis_vector(3 & 3, sig.size()), 1u);
    EXPECT_EQ(vok::missing_basis_vector(0b10100, 2), 2u);
}

// The sign of zero: a degenerate square adds the term 0 * 1 * 1 (or -0.0)
// to +0.0, and zero coefficients of b come out as +0.0.
TEST(Multivector, ZerosComeOutPositive) {
    EXPECT_TRUE(same_bits(product({0, -1, 0, 0}, {0, 1, 0, 0}, {0, 1}), {0, 0, 0, 0}));
    EXPECT_TRUE(same_bits(product({2, 0, 0, 0}, {-0.0, 1.5, -0.0, -4}, {1, 1}), {0, 3, 0, -8}));
    EXPECT_TRUE(same_bits(product({1, 0, 0, 0}, {0, kInf, 0, kNaN}, {}), {0, kInf, 0, kNaN}));
}

struct FaultCase {
    const char* name;
    Sig sig;
    std::vector<double> a, b;
    vok::ProductFault::Kind kind;
    std::size_t where;
};

class MultivectorFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(MultivectorFault, Reported) {
    const FaultCase& c = GetParam();
    for (bool with_table : {false, true}) {
        const vok::BladeFactors table(8, c.sig);
        vok::Product p = vok::geometric_product(c.a, c.b, c.sig, with_table ? &table : nullptr);
        ASSERT_TRUE(p.fault.has_value()) << "table " << with_table;
        EXPECT_EQ(p.fault->kind, c.kind);
        EXPECT_EQ(p.fault->where, c.where);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Multivector, MultivectorFault,
    ::testing::Values(FaultCase{"b_too_short", {1, 1}, {0, 1, 0, 0}, {0, 1}, vok::ProductFault::kBTooShort, 2},
                      FaultCase{"b_empty", {1, 1}, {0, 0, 0, 5}, {}, vok::ProductFault::kBTooShort, 0},
                      FaultCase{"no_signature", {1}, {0, 0, 0, 1}, {0, 0, 0, 1}, vok::ProductFault::kNoSignature, 1},
                      FaultCase{"outside_a", {1, 1}, {0, 1, 0}, {0, 0, 1}, vok::ProductFault::kOutsideA, 3},
                      // i = 3 meets j = 3 (no signature for e1) before b runs out at j = 4
                      FaultCase{"first_fault_in_loop_order",
                                {1},
                                {0, 0, 0, 1, 0, 0, 0, 0},
                                {0, 0, 0, 1},
                                vok::ProductFault::kNoSignature,
                                1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Multivector, ZeroCoefficientsNeverReachMissingPieces) {
    // e0 (e0 + 5 e1) needs only signature[0]; the zero blade e0e1 of a, which
    // would need signature[1] against b's e0e1, is skipped.
    EXPECT_TRUE(same_bits(product({0, 1, 0, 0}, {0, 1, 5, 7}, {1}), {1, 0, 7, 5}));
}

std::vector<double> random_multivector(std::mt19937_64& rng, std::size_t n, bool sparse, bool special) {
    std::uniform_real_distribution<double> d(-3.0, 3.0);
    std::uniform_int_distribution<int> pick(0, 9);
    std::vector<double> v(n);
    for (double& x : v) {
        const int r = pick(rng);
        if (sparse && r < 6)
            x = (r % 2) ? 0.0 : -0.0;
        else if (special && r == 7)
            x = kInf;
        else if (special && r == 8)
            x = kNaN;
        else
            x = d(rng);
    }
    return v;
}

// The per-call factor table must not change a single bit of any result.
TEST(Multivector, FactorTableMatchesDirectFactorsBitwise) {
    std::mt19937_64 rng(11);
    const Sig sig{1, -1, 0, 2, -128, 127, 1};
    const vok::BladeFactors table(vok::BladeFactors::kMaxSize, sig);
    for (std::size_t n : {1u, 2u, 4u, 8u, 16u, 32u, 64u}) {
        for (int trial = 0; trial < 20; ++trial) {
            const auto a = random_multivector(rng, n, trial % 2, trial % 3 == 0);
            const auto b = random_multivector(rng, n, trial % 4 < 2, trial % 5 == 0);
            vok::Product direct = vok::geometric_product(a, b, sig);
            vok::Product tabled = vok::geometric_product(a, b, sig, &table);
            ASSERT_FALSE(direct.fault || tabled.fault);
            EXPECT_TRUE(same_bits(tabled.c, direct.c)) << "n=" << n << " trial " << trial;
        }
    }
}

// The table path drops its fault tests only when no fault can occur; one
// signature entry or one coefficient of b short must still be caught.
TEST(Multivector, TablePathStillCatchesFaults) {
    const vok::BladeFactors table(64, Sig{1, 1, 1, 1, 1});
    std::vector<double> e5(64, 0.0);
    e5[32] = 1.0;
    vok::Product p = vok::geometric_product(e5, e5, Sig{1, 1, 1, 1, 1}, &table);
    ASSERT_TRUE(p.fault.has_value());
    EXPECT_EQ(p.fault->kind, vok::ProductFault::kNoSignature);
    EXPECT_EQ(p.fault->where, 5u);
    const Sig full{1, 1, 1, 1, 1, 1};
    const vok::BladeFactors full_table(64, full);
    p = vok::geometric_product(e5, std::vector<double>(63, 1.0), full, &full_table);
    ASSERT_TRUE(p.fault.has_value());
    EXPECT_EQ(p.fault->kind, vok::ProductFault::kBTooShort);
    EXPECT_EQ(p.fault->where, 63u);
    p = vok::geometric_product(e5, e5, full, &full_table);
    EXPECT_FALSE(p.fault.has_value());
    EXPECT_EQ(p.c[0], 1.0);
}

TEST(Multivector, LongerThanTableFallsBackToDirectFactors) {
    std::mt19937_64 rng(5);
    const Sig sig{1, 1, 1, 1, 1, 1, -1};
    const vok::BladeFactors table(16, sig);
    const auto a = random_multivector(rng, 128, true, false);
    const auto b = random_multivector(rng, 128, true, false);
    EXPECT_TRUE(same_bits(vok::geometric_product(a, b, sig, &table).c, vok::geometric_product(a, b, sig).c));
}

// ------------------------------------------------------ Christoffel symbols

// The radius a point is evaluated at: r0, or rs + 1e-9 below it or for NaN.
TEST(Christoffel, HorizonClamp) {
    EXPECT_EQ(vok::clamped_radius(0.0, 0.5), 1.0);
    EXPECT_EQ(vok::clamped_radius(0.0, 2.0), 2.0 + 1e-9);
    EXPECT_EQ(vok::clamped_radius(kNaN, 2.0), 2.0 + 1e-9);
    EXPECT_EQ(vok::clamped_radius(0.0, 1e10), 1e10);  // the margin is absorbed: on the horizon
    EXPECT_EQ(bits(vok::christoffel(0.0, 0, 0, 1, 1e10)), bits(0.0));
    EXPECT_EQ(vok::clamped_radius(-800.0, -1.0), 0.0);  // r0 = 0 above rs + 1e-9 < 0
    EXPECT_EQ(bits(vok::christoffel(-800.0, 0, 0, 1, -1.0)), bits(0.0));
    EXPECT_EQ(vok::clamped_radius(0.0, kNaN), 1.0);  // NaN rs leaves r0
    EXPECT_TRUE(std::isnan(vok::christoffel(0.0, 1, 0, 0, kNaN)));
    EXPECT_EQ(vok::clamped_radius(0.0, kInf), kInf);  // on the horizon: 0.0
    EXPECT_EQ(bits(vok::christoffel(0.0, 0, 0, 1, kInf)), bits(0.0));
    EXPECT_EQ(vok::clamped_radius(710.0, 1.0), std::exp(std::log(710.0)));  // guarded exponent
}

}  // namespace
