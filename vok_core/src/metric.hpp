// Christoffel symbols of the Schwarzschild metric (G = c = 1): the kernel of
// christoffel_batch_n.
//
// Coordinates: index 0 is t, index 1 is r. A point (x, _) stands for the
// radius exp(x), with the exponent guard keeping exp finite. Only the three
// symbols built from t and r alone are non-zero:
//   G^t_tr = G^t_rt = rs / ((r - rs) * (r + r))
//   G^r_tt = ((1 - rs / r) * rs) / ((r + r) * r)
//   G^r_rr = (-rs) / ((r - rs) * (r + r))
// each evaluated in exactly that order.
//
// Horizon clamp: a radius below rs + 1e-9 (or a NaN radius) is evaluated at
// rs + 1e-9 just outside the horizon; then r <= 0 or r <= rs gives 0.0. With
// a NaN rs the comparisons are false and the NaN flows into the value.
#pragma once

#include <cmath>
#include <cstdint>

#include "guards.hpp"

namespace vok {

inline constexpr double kHorizonMargin = 1e-9;

// The radius a point's x is evaluated at.
inline double clamped_radius(double x, double rs) {
    const double r0 = std::exp(exponent_guard(x));
    const double e = kHorizonMargin + rs;
    if (std::isnan(r0)) return e;
    return e > r0 ? e : r0;
}

// Gamma^lam_{mu nu} at the point with first coordinate x.
inline double christoffel(double x, std::uint64_t lam, std::uint64_t mu, std::uint64_t nu, double rs) {
    const double r = clamped_radius(x, rs);
    if (r <= 0.0 || rs >= r) return 0.0;
    if (lam == 0 && ((mu == 0 && nu == 1) || (mu == 1 && nu == 0))) {
        const double f = (r - rs) * (r + r);
        return rs / f;
    }
    if (lam == 1 && mu == 0 && nu == 0) return ((1.0 - rs / r) * rs) / ((r + r) * r);
    if (lam == 1 && mu == 1 && nu == 1) {
        const double f = (r - rs) * (r + r);
        return (-rs) / f;
    }
    return 0.0;
}

}  // namespace vok
