// The element-wise formulas of the batch functions exp_n ... pow_n, one per
// function, shared by the list functions of vok_core and the array layer.
#pragma once

#include <cmath>
#include <limits>

#include "guards.hpp"

namespace vok::elementwise {

// div's answer for a divisor too small to divide by: the quiet NaN 0x7FF8000000000000.
inline constexpr double kDivisorNaN = std::numeric_limits<double>::quiet_NaN();

inline double exp(double x) { return std::exp(exponent_guard(x)); }
inline double ln(double y) { return std::log(log_guard(y)); }
// With two NaN operands the result is the first one, quieted, wherever the
// compiler puts the operands of a commutative operation (the processor keeps
// its first operand's NaN, and the compiler may swap a + b into b + a).
inline double add(double a, double b) { return std::isnan(a) ? a + a : a + b; }
inline double sub(double a, double b) { return a - b; }
inline double mul(double a, double b) { return std::isnan(a) ? a * a : a * b; }
inline double div(double a, double b) { return std::fabs(b) < kLogFloor ? kDivisorNaN : a / b; }
inline double sqrt(double x) { return std::sqrt(std::fabs(x)); }
inline double sin(double x) { return std::sin(x); }
inline double cos(double x) { return std::cos(x); }
inline double pow(double base, double e) { return std::pow(std::fabs(base), e); }
inline double tension(double x, double y) { return vok::tension(x, y); }

}  // namespace vok::elementwise
