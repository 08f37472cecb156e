// The fitted search's numerics: each candidate f is scored as the best
// a + b * f over the rows (closed-form least squares with centred sums),
// errors are relative to the targets' spread, shapes are keyed modulo scale
// and offset, probe points are drawn per variable, and the tension's guards
// make a value fail instead of changing it.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "discover/expr.hpp"
#include "discover/fingerprint.hpp"
#include "guards.hpp"

namespace vok::discover {

// ---- Linear scaling --------------------------------------------------------

// A candidate counts as constant over the rows when its variance is at most
// this fraction of its mean square: variation at the level of rounding, which
// a scale would only amplify.
inline constexpr double kFlatVariance = 1e-24;

// A least sum below this fraction of the targets' co-moment is recomputed
// from the residuals: Cyy - Cfy^2 / Cff keeps only about half the digits of
// a near-exact fit's sum, too few to rank such fits.
inline constexpr double kResidualPass = 1e-6;

// Centred sums of a candidate's values f against the targets, added row by
// row (Welford): the mean of f and the co-moments C_ff = sum (f - mean f)^2
// and C_fy = sum (f - mean f)(y - mean y). Row r (0-based) adds, with
// g = f - shift,
//     dg = g - mg;  mg += dg * inv_n;  cff += dg * (g - mg);  cfy += dg * dy
// with inv_n = 1 / (r + 1) and dy = y - (mean of the targets of rows 0..r).
// The shift (f's first value) is exact to subtract from values near it, and
// keeps the running mean small: an f on a large offset loses no digits there.
struct FitSums {
    double shift = 0.0, mg = 0.0, cff = 0.0, cfy = 0.0;

    void add(double f, double inv_n, double dy) {
        const double g = f - shift;
        const double dg = g - mg;
        mg += dg * inv_n;
        cff += dg * (g - mg);
        cfy += dg * dy;
    }
    double mean() const { return shift + mg; }
    // Constant over the n rows added, to rounding.
    bool flat(double n) const {
        const double m = mean();
        return !(cff > kFlatVariance * (n * m * m + cff));
    }
    // The least sum of squared residuals of a + b * f, given the targets'
    // co-moment cyy over the same rows (never below 0).
    double sse(double n, double cyy) const {
        if (flat(n)) return cyy;
        const double s = cyy - cfy * (cfy / cff);
        return s > 0.0 ? s : (std::isnan(s) ? s : 0.0);
    }
};

// The targets' side of the sums, shared by all candidates: per row r the
// values after rows 0..r.
struct FitTargets {
    std::vector<double> inv_n;  // 1 / (r + 1)
    std::vector<double> dy;     // y[r] - (the mean of the targets of rows 0..r)
    std::vector<double> cyy;    // their co-moment sum (y - mean)^2
    // The relative error of a sum of squared residuals s over all rows is
    // sqrt(s / norm): norm = n * spread^2.
    double spread = 1.0;
    double norm = 1.0;
    double mean = 0.0;  // of all the targets

    explicit FitTargets(std::span<const double> y);
};

// The spread of targets with n values, mean m and co-moment cyy: their
// standard deviation; for targets constant to rounding, |m| (or 1 for 0),
// so that the constant candidate still scores 0 and the others stay finite.
double target_spread(double n, double m, double cyy);

// a and b of the least-squares line a + b * f from the two-pass centred sums
// (b = 0 and a = the targets' mean for a flat f).
struct Line {
    double offset = 0.0, scale = 0.0;
};
Line fit_line(std::span<const double> f, std::span<const double> y);

// ---- Shapes modulo scale and offset ----------------------------------------

// Units of the quantised normalised probe values: 2^26 per unit length.
inline constexpr double kKeyUnits = 67108864.0;

// The probe values with their mean removed, scaled to unit length and
// quantised, the sign fixed so that the first non-zero value is positive;
// a + b * f (b != 0) and f share the key but for rounding at a quantum's
// edge. Values constant to 1e-10 of their magnitude all get the zero key.
// The key's words are the integers' bit patterns.
ProbeBits affine_key(const std::array<double, kProbeCount>& probe);

// Probe values for the fitted search: point k gives variable i the value
// points[i][k], drawn independently per variable and point from the finite
// range of column i (deterministic in the seed).
std::vector<std::array<double, kProbeCount>> draw_probe_points(const ColumnView& data, std::uint64_t seed);

// ---- Fitted results --------------------------------------------------------

// Renumbers the Param tokens 0, 1, ... in order of appearance and returns
// their values (the tokens' own).
std::vector<double> number_params(Expr& expr);

// The formula a + b * shape as the postfix tokens ((shape * b) + a), its
// parameters (the shape's, numbered, then b, then a).
struct Scaled {
    Expr expr;
    std::vector<double> params;
};
Scaled scale_shape(Expr shape, const ColumnView& data, std::span<const double> targets);

}  // namespace vok::discover
