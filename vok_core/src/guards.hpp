// Guards shared by every kernel that touches exp/ln.
//
// Floating-point rules, stated once: every formula in this library is
// evaluated in IEEE-754 binary64, in the order of operations written in its
// comment, without fused multiply-add (-ffp-contract=off) and without
// fast-math. NaN and infinities are values, never errors: they flow through
// the arithmetic, and the two guards below are the only places where an
// argument is changed before exp or ln sees it.
//
//  * exponent guard: above 709.78 an exponent x is replaced by ln(x), so
//    exp(exponent_guard(x)) stays finite for every finite x. The comparison
//    is strict and ordered: NaN and 709.78 itself pass unchanged.
//  * log guard: a non-positive argument (+0.0, -0.0, -inf included) becomes
//    max(|y|, 1e-300); positives (even subnormal ones) and NaN pass unchanged.
#pragma once

#include <cmath>
#include <limits>

namespace vok {

inline constexpr double kExponentThreshold = 709.78;  // exp(709.78) ~ 1.79e308 < DBL_MAX
inline constexpr double kLogFloor = 1e-300;           // ln(1e-300) = -690.7755278982137

inline double exponent_guard(double x) { return x > kExponentThreshold ? std::log(x) : x; }

inline double log_guard(double y) {
    if (y > 0.0 || std::isnan(y)) return y;
    return std::fmax(std::fabs(y), kLogFloor);
}

// Canonical frame coordinates of a point (x, y): T = exp(e(x)), X = ln(l(y)).
inline double frame_time(double x) { return std::exp(exponent_guard(x)); }
inline double frame_space(double y) { return std::log(log_guard(y)); }

// The frame coordinates without the guards: NaN where a guard would change
// the argument, the same value elsewhere (the fitted search treats a formula
// whose value depends on a guard as failing there).
inline double strict_frame_time(double x) {
    return x > kExponentThreshold ? std::numeric_limits<double>::quiet_NaN() : std::exp(x);
}
inline double strict_frame_space(double y) { return y > 0.0 ? std::log(y) : std::numeric_limits<double>::quiet_NaN(); }

// vok(x, y) = exp(e(x)) - ln(l(y)); the exponential term is evaluated first.
inline double tension(double x, double y) {
    const double t = frame_time(x);
    const double s = frame_space(y);
    return t - s;
}

}  // namespace vok
