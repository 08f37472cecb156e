// Kernels of the value classes: complex arithmetic, point geometry, knot
// moves and the pulse trajectory; plus the fixed and shortest float texts
// their reprs are made of.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "knot.hpp"
#include "numfmt.hpp"
#include "pair.hpp"
#include "point.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLnFloor = -690.7755278982137;  // ln(1e-300)

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---------------------------------------------------------------- pairs

TEST(ClassesPair, ProductAndQuotient) {
    vok::Complex p{1.0, 2.0}, q{3.0, 4.0};
    vok::Complex m = vok::complex_mul(p, q);
    EXPECT_EQ(m.re, -5.0);
    EXPECT_EQ(m.im, 10.0);
    vok::Complex d = vok::complex_div(p, q);
    EXPECT_EQ(d.re, 11.0 / 25.0);
    EXPECT_EQ(d.im, 2.0 / 25.0);
}

TEST(ClassesPair, QuotientFloorsSmallDenominators) {
    vok::Complex z = vok::complex_div({1.0, 2.0}, {0.0, 0.0});
    EXPECT_EQ(z.re, 0.0);
    EXPECT_EQ(z.im, 0.0);
    // |q|^2 underflows to 0 and is lifted to 1e-300: (1e-200 / 1e-300) each.
    vok::Complex u = vok::complex_div({1.0, 1.0}, {1e-200, 0.0});
    EXPECT_DOUBLE_EQ(u.re, 1e100);
    EXPECT_DOUBLE_EQ(u.im, 1e100);
    // A NaN denominator is not floored.
    vok::Complex n = vok::complex_div({1.0, 1.0}, {kNaN, 0.0});
    EXPECT_TRUE(std::isnan(n.re));
    EXPECT_TRUE(std::isnan(n.im));
}

TEST(ClassesPair, ToleranceEqualityIsStrictAndAbsolute) {
    EXPECT_TRUE(vok::complex_close({1.0, 2.0}, {1.0 + 5e-10, 2.0}));
    EXPECT_FALSE(vok::complex_close({0.0, 0.0}, {1e-9, 0.0}));
    EXPECT_FALSE(vok::complex_close({0.0, 0.0}, {0.0, -1e-9}));
    EXPECT_FALSE(vok::complex_close({1e20, 0.0}, {1e20 + 16384.0, 0.0}));  // no relative slack
    EXPECT_FALSE(vok::complex_close({kNaN, 0.0}, {kNaN, 0.0}));
    EXPECT_FALSE(vok::complex_close({kInf, 0.0}, {kInf, 0.0}));  // inf - inf is NaN
}

TEST(ClassesPair, RotationAndPolarForm) {
    vok::Complex r = vok::rotate_phase({1.0, 0.0}, M_PI / 2);
    EXPECT_EQ(r.re, 6.123233995736766e-17);
    EXPECT_EQ(r.im, 1.0);
    vok::Complex p = vok::complex_from_polar(-2.0, 0.0);
    EXPECT_EQ(p.re, -2.0);
    EXPECT_TRUE(same_bits(p.im, -0.0));
    EXPECT_TRUE(same_bits(vok::complex_conjugate({1.0, 0.0}).im, -0.0));
    EXPECT_EQ(vok::complex_modulus({3.0, 4.0}), 5.0);
    EXPECT_EQ(vok::complex_modulus({1e200, 1e200}), kInf);  // unscaled sum overflows
    EXPECT_EQ(vok::complex_argument({-1.0, 0.0}), M_PI);
    EXPECT_EQ(vok::complex_argument({-1.0, -0.0}), -M_PI);
}

TEST(ClassesPair, SchrodingerPhaseOrder) {
    EXPECT_TRUE(same_bits(vok::schrodinger_phase(0.0, 1.0, 1.0), -0.0));
    vok::Complex s = vok::schrodinger_step({1.0, 0.0}, M_PI, 1.0, 1.0);
    EXPECT_EQ(s.re, -1.0);
    EXPECT_EQ(s.im, -1.2246467991473532e-16);
    vok::Complex n = vok::schrodinger_step({1.0, 0.0}, 1.0, 1.0, 0.0);
    EXPECT_TRUE(std::isnan(n.re) && std::isnan(n.im));
    // Negate, times dt, then divide: (-v*dt)/hbar differs from -v*(dt/hbar) here.
    EXPECT_EQ(vok::schrodinger_phase(3.0, 0.1, 0.3), ((-3.0) * 0.1) / 0.3);
    EXPECT_NE(vok::schrodinger_phase(3.0, 0.1, 0.3), -3.0 * (0.1 / 0.3));
}

// ---------------------------------------------------------------- points

TEST(ClassesPoint, PulseMapUsesGuardedY) {
    vok::PointXY a = vok::pulse_map({1.0, -2.0});
    EXPECT_EQ(a.x, 2.0);
    EXPECT_EQ(a.y, vok::tension(1.0, 2.0));
    EXPECT_EQ(vok::pulse_map({1.0, 0.0}).x, 1e-300);
    EXPECT_EQ(vok::pulse_map({1.0, 1e-310}).x, 1e-310);
    EXPECT_TRUE(std::isnan(vok::pulse_map({1.0, kNaN}).x));
}

TEST(ClassesPoint, FrameShiftFloorsUnconditionally) {
    vok::PointXY f = vok::frame_shift({1.0, 1e-310});
    EXPECT_EQ(f.x, 1e-300);
    EXPECT_EQ(f.y, std::exp(1.0) - kLnFloor);
    EXPECT_EQ(vok::frame_shift({0.0, kNaN}).x, 1e-300);
    EXPECT_EQ(vok::frame_shift({0.0, -3.0}).x, 3.0);
    EXPECT_EQ(vok::frame_shift({1000.0, 1.0}).y, std::exp(std::log(1000.0)));
}

TEST(ClassesPoint, Distances) {
    EXPECT_DOUBLE_EQ(vok::minkowski_delta({1.0, 3.0}, true, 2.0), 1.6003937814426552);
    EXPECT_DOUBLE_EQ(vok::euclidean_delta({1.0, 3.0}), 2.931894448943077);
    for (double c : {0.0, -1.5, 2.0, kInf})
        for (vok::PointXY p : {vok::PointXY{1.0, 3.0}, {-4.0, 0.0}, {800.0, 1e300}})
            EXPECT_TRUE(same_bits(vok::minkowski_delta(p, true, c), vok::minkowski_delta(p, false, c)));
    EXPECT_EQ(vok::euclidean_delta({400.0, 1.0}), kInf);  // T*T overflows, no scaling
}

TEST(ClassesPoint, BoostKnownValues) {
    vok::PointXY same = vok::boost({0.0, 1.0}, 0.0, 1.0);
    EXPECT_EQ(same.x, 0.0);
    EXPECT_EQ(same.y, 1.0);
    vok::PointXY a = vok::boost({0.0, 1.0}, 1.0, 1.0);
    EXPECT_DOUBLE_EQ(a.x, 0.4337808304830271);
    EXPECT_DOUBLE_EQ(a.y, 0.3087568535221258);
    vok::PointXY b = vok::boost({1.0, 2.718281828459045}, 0.5, 2.0);
    EXPECT_DOUBLE_EQ(b.x, 1.0312814344693066);
    EXPECT_DOUBLE_EQ(b.y, 0.18171026073397908);
}

TEST(ClassesPoint, BoostFloorsAndClamps) {
    // exp(-800) underflows to 0, so t1 = 0 takes the floor.
    EXPECT_EQ(vok::boost({-800.0, 1.0}, 0.0, 1.0).x, kLnFloor);
    // A large rapidity drives x1 below -709: y' = exp(-709), not 0.
    EXPECT_EQ(vok::boost({0.0, 1.0}, 10.0, 1.0).y, std::exp(-709.0));
    // ...and above 709 (negative rapidity): y' = exp(709), not inf.
    EXPECT_EQ(vok::boost({0.0, 1.0}, -10.0, 1.0).y, std::exp(709.0));
    // NaN t1 (0 * inf) takes the floor; NaN x1 stays NaN.
    vok::PointXY n = vok::boost({0.0, 1.0}, kNaN, 1.0);
    EXPECT_EQ(n.x, kLnFloor);
    EXPECT_TRUE(std::isnan(n.y));
    // c = 0 is not guarded: X / 0 with X = ln 2 > 0 and sh > 0 drives t1 to -inf.
    vok::PointXY z = vok::boost({0.0, 2.0}, 1.0, 0.0);
    EXPECT_EQ(z.x, kLnFloor);
}

TEST(ClassesPoint, ConservationTest) {
    EXPECT_FALSE(vok::conserves_tension(0.0, 2.0, 0.0));  // residual 0, strict test
    EXPECT_TRUE(vok::conserves_tension(0.0, 2.0, 1e-12));
    EXPECT_FALSE(vok::conserves_tension(0.0, kNaN, 1e300));
    EXPECT_FALSE(vok::conserves_tension(0.0, kInf, kInf));
    EXPECT_TRUE(vok::conserves_tension(kNaN, 2.0, -1.0));
    EXPECT_TRUE(vok::conserves_tension(kInf, kNaN, kNaN));
    EXPECT_FALSE(vok::conserves_tension(-kInf, 2.0, 0.0));  // E = 0 is finite
    // A finite residual: with L = ln(1e-300) the sum E - L rounds away low bits of E.
    const double e = std::exp(1.0);
    const double r = std::fabs(((e - kLnFloor) + kLnFloor) - e);
    EXPECT_GT(r, 0.0);
    EXPECT_FALSE(vok::conserves_tension(1.0, 0.0, r));
    EXPECT_TRUE(vok::conserves_tension(1.0, 0.0, std::nextafter(r, 1.0)));
    EXPECT_TRUE(vok::is_slipping(1000.0));
    EXPECT_FALSE(vok::is_slipping(709.78));
    EXPECT_FALSE(vok::is_slipping(kNaN));
}

// ---------------------------------------------------------------- knots

TEST(ClassesKnot, PulseSequenceFromOrigin) {
    vok::KnotState k{{0.0, 1.0}, 0, vok::reduce_phase(0.0)};
    k = vok::knot_pulse(k);
    EXPECT_EQ(k.point.x, 1.0);
    EXPECT_EQ(k.point.y, 1.0);
    EXPECT_EQ(k.count, 1);
    EXPECT_EQ(k.phase, 1.5707963267948966);
    k = vok::knot_pulse(k);
    EXPECT_EQ(k.point.y, std::exp(1.0));
    EXPECT_EQ(k.phase, 3.141592653589793);
    k = vok::knot_pulse(k);
    EXPECT_EQ(k.point.x, std::exp(1.0));
    EXPECT_EQ(k.point.y, std::exp(1.0) - 1.0);
    EXPECT_EQ(k.phase, 4.71238898038469);
    EXPECT_EQ(vok::knot_pulse(k).phase, 0.0);
}

TEST(ClassesKnot, FlipEqualsFourPulses) {
    for (vok::KnotState k : {vok::KnotState{{0.3, -2.0}, 5, 1.0}, vok::KnotState{{-1.0, 1e-310}, -9, -6.0},
                             vok::KnotState{{kNaN, 2.0}, 0, kNaN}}) {
        vok::KnotState four = vok::knot_pulse(vok::knot_pulse(vok::knot_pulse(vok::knot_pulse(k))));
        vok::KnotState f = vok::knot_flip(k);
        EXPECT_TRUE(same_bits(f.point.x, four.point.x));
        EXPECT_TRUE(same_bits(f.point.y, four.point.y));
        EXPECT_EQ(f.count, four.count);
        EXPECT_TRUE(same_bits(f.phase, four.phase));
    }
    EXPECT_EQ(vok::knot_flip({{0.0, 1.0}, 0, 0.0}).phase, 0.0);
}

TEST(ClassesKnot, CountWrapsAndYieldTruncates) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(vok::knot_pulse({{0.0, 1.0}, kMax, 0.0}).count, kMin);
    EXPECT_EQ(vok::knot_flip({{0.0, 1.0}, kMax - 1, 0.0}).count, kMin + 2);
    const std::int64_t counts[] = {0, 3, 4, 7, 8, -1, -4, -5, -7, -8, kMax, kMin};
    const std::int64_t yields[] = {0, 0, 2, 2, 4, 0, -2, -2, -2, -4, 2 * (kMax / 4), kMin / 2};
    for (std::size_t i = 0; i < std::size(counts); ++i) EXPECT_EQ(vok::tread_yield(counts[i]), yields[i]) << counts[i];
}

TEST(ClassesKnot, PhaseReductionKeepsSign) {
    EXPECT_EQ(vok::reduce_phase(7.0), 0.7168146928204138);
    EXPECT_EQ(vok::reduce_phase(-7.0), -0.7168146928204138);
    EXPECT_EQ(vok::reduce_phase(-1.0), -1.0);
    EXPECT_TRUE(std::isnan(vok::reduce_phase(kInf)));
    EXPECT_TRUE(same_bits(vok::reduce_phase(-0.0), -0.0));
}

TEST(ClassesKnot, SimulatePulsesTrajectory) {
    auto r = vok::simulate_pulses(0.0, 1.0, 2);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], (vok::PulseRecord{0.0, 1.0, 1.0}));
    EXPECT_EQ(r[1], (vok::PulseRecord{1.0, 1.0, std::exp(1.0)}));
    EXPECT_EQ(r[2], (vok::PulseRecord{1.0, std::exp(1.0), std::exp(1.0) - 1.0}));
    auto raw = vok::simulate_pulses(1.0, -2.0, 1);
    EXPECT_EQ(raw[0][1], -2.0);  // the start is recorded unguarded
    EXPECT_EQ(raw[1][0], 2.0);
    // Every step is the point's pulse map, record by record.
    auto longer = vok::simulate_pulses(-3.0, 0.25, 40);
    vok::PointXY p{-3.0, 0.25};
    for (std::size_t k = 1; k < longer.size(); ++k) {
        p = vok::pulse_map(p);
        EXPECT_TRUE(same_bits(longer[k][0], p.x) && same_bits(longer[k][1], p.y)) << k;
        EXPECT_TRUE(same_bits(longer[k][2], vok::tension(p.x, p.y))) << k;
    }
}

TEST(ClassesKnot, SimulatePulsesRefusesUnaddressableCounts) {
    EXPECT_THROW(vok::simulate_pulses(0.0, 1.0, std::numeric_limits<std::uint64_t>::max()), vok::InternalError);
    EXPECT_THROW(vok::simulate_pulses(0.0, 1.0, vok::kMaxPulseRecords), vok::InternalError);
    try {
        vok::simulate_pulses(0.0, 1.0, vok::kMaxPulseRecords);
    } catch (const vok::InternalError& e) {
        EXPECT_STREQ(e.what(), "capacity overflow");
    }
}

TEST(ClassesKnot, SimulatePulsesRecordBudget) {
    // n_pulses + 1 records must fit the budget; the address limit is checked first.
    EXPECT_EQ(vok::simulate_pulses(0.0, 1.0, 9, 10).size(), 10u);
    EXPECT_THROW(vok::simulate_pulses(0.0, 1.0, 10, 10), std::bad_alloc);
    EXPECT_THROW(vok::simulate_pulses(0.0, 1.0, vok::kMaxPulseRecords, 10), vok::InternalError);
}

// ---------------------------------------------------------------- float text

TEST(ClassesNumfmt, FixedForms) {
    struct Case {
        double v;
        int decimals;
        const char* text;
    } cases[] = {
        {1.0, 6, "1.000000"},
        {-0.5, 6, "-0.500000"},
        {-0.0, 6, "-0.000000"},
        {-1e-9, 6, "-0.000000"},
        {123456789.0, 6, "123456789.000000"},
        {0.0000005, 6, "0.000000"},  // the double is just below the tie
        {0.03125, 4, "0.0312"},
        {0.09375, 4, "0.0938"},
        {1234.56789, 4, "1234.5679"},
        {1.5707963267948966, 4, "1.5708"},
        {1e22, 6, "10000000000000000000000.000000"},
        {kNaN, 6, "NaN"},
        {-kNaN, 4, "NaN"},
        {kInf, 6, "inf"},
        {-kInf, 4, "-inf"},
    };
    for (const Case& c : cases) EXPECT_EQ(vok::format_fixed(c.v, c.decimals), c.text) << c.v;
    EXPECT_EQ(vok::format_fixed(std::numeric_limits<double>::max(), 6).size(), 309u + 7u);
    EXPECT_EQ(vok::format_fixed(-std::numeric_limits<double>::max(), 6).size(), 1u + 309u + 7u);
}

TEST(ClassesNumfmt, ShortestForms) {
    struct Case {
        double v;
        const char* text;
    } cases[] = {
        {0.5, "0.5"},
        {2.0, "2.0"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1e-5, "1e-5"},
        {1.5e-7, "1.5e-7"},
        {1e16, "1e16"},
        {2.5e300, "2.5e300"},
        {0.0001, "0.0001"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {0.1, "0.1"},
        {1e-300, "1e-300"},
        {5e-324, "5e-324"},
        {-2.718281828459045, "-2.718281828459045"},
        {1.7976931348623157e308, "1.7976931348623157e308"},
        {kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const Case& c : cases) EXPECT_EQ(vok::format_shortest(c.v), c.text) << c.v;
}

}  // namespace
