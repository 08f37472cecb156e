// Complex arithmetic of VOKPair and its batch companions (rotate_phase_n,
// schrodinger_step_n). Every step is one IEEE operation in the written order;
// nothing here raises: overflow gives +-inf, invalid operations NaN.
#pragma once

#include <cmath>

namespace vok {

struct Complex {
    double re;
    double im;
};

// Denominators below this (zero and underflowed squares included) are raised
// to it, so a quotient never divides by zero.
inline constexpr double kQuotientFloor = 1e-300;
// Absolute tolerance of pair equality (strict bound on each part).
inline constexpr double kPairTolerance = 1e-9;

inline Complex complex_add(Complex p, Complex q) { return {p.re + q.re, p.im + q.im}; }
inline Complex complex_sub(Complex p, Complex q) { return {p.re - q.re, p.im - q.im}; }

// (a + bi)(c + di): both products first, then their sum/difference.
inline Complex complex_mul(Complex p, Complex q) {
    const double a = p.re, b = p.im, c = q.re, d = q.im;
    return {a * c - b * d, b * c + a * d};
}

// (a + bi)/(c + di) with den = d*d + c*c floored at 1e-300 (NaN stays NaN).
inline Complex complex_div(Complex p, Complex q) {
    const double a = p.re, b = p.im, c = q.re, d = q.im;
    double den = d * d + c * c;
    if (den < kQuotientFloor) den = kQuotientFloor;
    return {(c * a + b * d) / den, (c * b - a * d) / den};
}

// sqrt(im*im + re*re): the plain sum, no scaling against overflow.
inline double complex_modulus(Complex p) { return std::sqrt(p.im * p.im + p.re * p.re); }

inline double complex_argument(Complex p) { return std::atan2(p.im, p.re); }

// Flips the sign bit of the imaginary part (0.0 -> -0.0, NaN's sign too).
inline Complex complex_conjugate(Complex p) { return {p.re, -p.im}; }

inline Complex complex_from_polar(double r, double theta) { return {std::cos(theta) * r, std::sin(theta) * r}; }

// p * exp(i*angle), written out: (a*co - b*s, b*co + a*s).
inline Complex rotate_phase(Complex p, double angle) {
    const double s = std::sin(angle);
    const double co = std::cos(angle);
    return {p.re * co - p.im * s, p.im * co + p.re * s};
}

// Potential phase of one Schroedinger step: ((-v) * dt) / hbar, in that order.
// hbar = 0 is not refused; the phase then is +-inf or NaN.
inline double schrodinger_phase(double v, double dt, double hbar) { return ((-v) * dt) / hbar; }

inline Complex schrodinger_step(Complex psi, double v, double dt, double hbar) {
    return rotate_phase(psi, schrodinger_phase(v, dt, hbar));
}

// Tolerance equality: both parts strictly within 1e-9 (absolute); any NaN
// difference makes it false, so a pair holding NaN is unequal to itself.
inline bool complex_close(Complex p, Complex q) {
    return std::fabs(p.re - q.re) < kPairTolerance && std::fabs(p.im - q.im) < kPairTolerance;
}

}  // namespace vok
