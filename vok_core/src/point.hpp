// The geometry of VOKPoint: tension, pulse map, frame shift, distances,
// Lorentz boost and the conservation test. Shared with boost_n (the same
// kernel element by element) and with the knot (which iterates the pulse map).
#pragma once

#include <cmath>

#include "guards.hpp"

namespace vok {

struct PointXY {
    double x;
    double y;
};

// Bounds of the boosted space coordinate before exp: exp(+-709) stays finite
// and normal (8.2e307 and 1.2e-308).
inline constexpr double kBoostClamp = 709.0;

// The pulse map: (x, y) -> (l(y), t(x, y)). The new x is the guarded y.
inline PointXY pulse_map(PointXY p) { return {log_guard(p.y), tension(p.x, p.y)}; }

// (m, exp(e(x)) - ln(m)) with m = max(|y|, 1e-300) taken unconditionally:
// unlike the log guard it also lifts tiny positives and turns NaN into 1e-300.
inline PointXY frame_shift(PointXY p) {
    const double m = std::fmax(std::fabs(p.y), kLogFloor);
    const double t = frame_time(p.x);
    return {m, t - std::log(m)};
}

// True when the exponent guard replaces x by ln(x).
inline bool is_slipping(double x) { return x > kExponentThreshold; }

// sqrt(X*X + T*T), the plain sum (+inf once T*T overflows).
inline double euclidean_delta(PointXY p) {
    const double t = frame_time(p.x);
    const double s = frame_space(p.y);
    return std::sqrt(s * s + t * t);
}

// sqrt(|D|) with S = c * ln(l(y)) and D = T*T - S*S (or its negation for the
// other signature; the absolute value makes both give the same number).
inline double minkowski_delta(PointXY p, bool plus_signature, double c) {
    const double t = frame_time(p.x);
    const double s = c * frame_space(p.y);
    const double d = plus_signature ? t * t - s * s : s * s - t * t;
    return std::sqrt(std::fabs(d));
}

// Lorentz boost of the frame coordinates (T, X) by rapidity phi with scale c,
// mapped back by x' = ln(max(t1, 1e-300)) and y' = exp(clamp(x1, -709, 709)).
// c = 0 is not refused: X / 0 then follows IEEE rules.
inline PointXY boost(PointXY p, double phi, double c) {
    const double y_guarded = log_guard(p.y);
    const double x_guarded = exponent_guard(p.x);
    const double t = std::exp(x_guarded);
    const double s = std::log(y_guarded);
    const double sh = std::sinh(phi);
    const double ch = std::cosh(phi);
    const double t1 = t * ch - (s / c) * sh;
    double x1 = s * ch - (c * t) * sh;
    // A NaN t1 fails the comparison and takes the floor as well.
    const double new_x = std::log(t1 > kLogFloor ? t1 : kLogFloor);
    if (x1 < -kBoostClamp) x1 = -kBoostClamp;
    if (x1 > kBoostClamp) x1 = kBoostClamp;  // NaN passes both tests unchanged
    return {new_x, std::exp(x1)};
}

// Whether the tension of (x, next_y) survives a round trip: with
// E = exp(e(x)) and L = ln(l(next_y)), r = |((E - L) + L) - E| must be
// strictly below tol (a NaN r fails). A non-finite E answers true at once.
inline bool conserves_tension(double x, double next_y, double tol) {
    const double e = frame_time(x);
    if (!std::isfinite(e)) return true;
    const double l = frame_space(next_y);
    const double r = std::fabs(((e - l) + l) - e);
    return tol > r;
}

}  // namespace vok
