// Scoring candidates against the data: the one routine that computes the
// penalised error, for the search's levels, its leaves and score_level.
//
// For predictions v and targets t the error is
//     sqrt(S / targets) * ((complexity * penalty) + 1.0),
// S the sum over rows r < min(rows, targets) of d * d with d = v[r] - t[r],
// added one term at a time in row order starting from -0.0 (so no rows and
// at least one target give -0.0, and no target gives NaN).
#pragma once

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>

#include "discover/columns.hpp"
#include "discover/exact_columns.hpp"
#include "discover/fit.hpp"
#include "interrupt.hpp"

namespace vok::discover {

// The data of one search: its columns and targets.
struct Data {
    ColumnPointers cols;
    std::span<const double> targets;
    std::size_t scored_rows;  // min(rows, targets): the rows that enter the sum

    Data(Columns columns, std::span<const double> t)
        : cols(columns, "formula search"), targets(t), scored_rows(std::min(cols.rows(), t.size())) {}
    std::size_t rows() const { return cols.rows(); }
    const ColumnView& view() const { return cols.view(); }
};

// What became of a candidate, in its state byte: generation and the seen set
// decide the first three, scoring the last three (the error is kept only for
// kScored).
enum CandidateState : std::uint8_t {
    kNoFingerprint = 0,
    kDuplicate = 1,
    kAccepted = 2,
    kScored = 3,     // evaluated on every row; its error is final
    kFailed = 4,     // some row failed to evaluate: no result
    kAbandoned = 5,  // stopped early: its error could only exceed its cutoff
};

// Candidates scored together: their sums are independent chains, so the
// additions of several candidates overlap while each keeps its row order.
inline constexpr std::size_t kLanes = 8;

// Rows per step of scoring: after each step a candidate that can no longer
// matter stops.
inline constexpr std::size_t kScoreRows = 64;
static_assert(kScoreRows <= kBlockRows);

inline double penalty_factor(std::size_t complexity, double penalty) {
    return (static_cast<double>(complexity) * penalty) + 1.0;
}

// Fetches the values of rows [first, first + n) for every lane still
// scored (see score_lanes); a lane whose row fails becomes kFailed. A lane
// that is out reads zeros, which it sums into its own sums, later dropped.
// False when no lane is left.
template <class Values>
inline bool fetch_lanes(Values& values, std::size_t lanes, std::size_t first, std::size_t n, std::uint8_t* state,
                        std::array<const double*, kLanes>& v) {
    static constexpr std::array<double, kScoreRows> kZeroRows{};
    bool any = false;
    for (std::size_t l = 0; l < lanes; ++l) {
        if (state[l] == kScored && !(v[l] = values(l, first, n))) state[l] = kFailed;
        if (state[l] != kScored) v[l] = kZeroRows.data();
        any = any || state[l] == kScored;
    }
    return any;
}

// Calls add(count) with count = lanes, a compile-time constant when every
// lane is in use (the common case, whose loops then unroll).
template <class Add>
inline void with_lane_count(std::size_t lanes, Add&& add) {
    if (lanes == kLanes)
        add(std::integral_constant<std::size_t, kLanes>{});
    else
        add(lanes);
}

// The running sums of a lane scored over its first rows, so that its
// scoring can stop after some rows and go on later from there: the plain sum
// of squares, or the fitted search's sums.
struct LaneSums {
    double sum = -0.0;
    FitSums fit{};
};

// The least error a lane can end with, from its sum over its first rows (a
// positive finite factor keeps the bound through the rounding: the sum only
// grows with more rows, each term a square or NaN); -inf when none is known.
inline double plain_bound(double sum, double n_targets, double factor) {
    if (!(factor > 0.0 && factor <= DBL_MAX)) return -std::numeric_limits<double>::infinity();
    return std::sqrt(sum / n_targets) * factor;
}

// Scores lanes (at most kLanes) candidates. values(l, first, n) gives lane
// l's values on rows [first, first + n), n <= kScoreRows, or null when a row
// fails; the pointer is read before the next call for that lane. factor[l]
// is the lane's penalty factor. With cutoff, lane l stops (kAbandoned) as
// soon as its error can only come out above cutoff[l] (never when that is
// NaN). state[l] receives kScored, kFailed or kAbandoned, error[l] the error
// of a kScored lane. With `rows` below the data's rows, only the first rows
// are scored: the error is that of their sum, which the full error cannot
// undercut.
//
// It is advance_lanes over all the rows, then finish_lanes; scoring may also
// advance over rows [from, to) at a time, in order, the lanes' sums carried
// in `sums` (from LaneSums{} and every state kScored at row 0), and finish
// once it reaches `rows`. A lane's sum is the same whatever the steps; the
// sums of lanes not kScored when a step starts are left untouched by it.
template <class Values>
void advance_lanes(const Data& data, std::size_t lanes, const double* factor, const double* cutoff, Values&& values,
                   std::uint8_t* state, LaneSums* sums, std::size_t from, std::size_t to, std::size_t rows) {
    std::array<double, kLanes> sum;
    std::array<const double*, kLanes> v;
    std::array<bool, kLanes> in_play;  // the others' sums are left as they are
    for (std::size_t l = 0; l < lanes; ++l) sum[l] = sums[l].sum, in_play[l] = state[l] == kScored;
    const double n_targets = static_cast<double>(data.targets.size());
    const double* t = data.targets.data();
    for (std::size_t first = from; first < to; first += kScoreRows) {
        const std::size_t n = std::min(kScoreRows, to - first);
        if (!fetch_lanes(values, lanes, first, n, state, v)) break;
        const std::size_t end = std::min(first + n, data.scored_rows);
        auto add = [&](auto count) {
            for (std::size_t r = first; r < end; ++r) {
                const double y = t[r];
                for (std::size_t l = 0; l < count; ++l) {
                    const double d = v[l][r - first] - y;
                    sum[l] += d * d;
                }
            }
        };
        with_lane_count(lanes, add);
        // A cancelled level (time limit, signal) stops here, not at the end
        // of a piece that may hold many candidates over many rows.
        vok::interruption_point(lanes * n);
        if (first + n >= rows || !cutoff) continue;
        // A lane already past its cutoff can only end past it.
        for (std::size_t l = 0; l < lanes; ++l)
            if (state[l] == kScored && plain_bound(sum[l], n_targets, factor[l]) > cutoff[l]) state[l] = kAbandoned;
    }
    for (std::size_t l = 0; l < lanes; ++l)
        if (in_play[l]) sums[l].sum = sum[l];
}

inline void finish_lanes(const Data& data, std::size_t lanes, const double* factor, const std::uint8_t* state,
                         const LaneSums* sums, double* error) {
    const double n_targets = static_cast<double>(data.targets.size());
    for (std::size_t l = 0; l < lanes; ++l)
        if (state[l] == kScored) error[l] = std::sqrt(sums[l].sum / n_targets) * factor[l];
}

template <class Values>
void score_lanes(const Data& data, std::size_t lanes, const double* factor, const double* cutoff, Values&& values,
                 std::uint8_t* state, double* error, std::size_t rows = SIZE_MAX) {
    std::array<LaneSums, kLanes> sums{};
    std::fill_n(state, lanes, kScored);
    rows = std::min(rows, data.rows());
    advance_lanes(data, lanes, factor, cutoff, values, state, sums.data(), 0, rows, rows);
    finish_lanes(data, lanes, factor, state, sums.data(), error);
}

// The root-mean-square error of expr (Param i reading params[i]) against the
// targets exactly as a search forms it before the complexity penalty
// (score_lanes with a factor of 1): the error a contract search scores and
// every fitted result reports. NaN when a row fails to evaluate. The second
// form throws std::out_of_range when the columns' shape is wrong.
double rmse(const Data& data, const Expr& expr, std::span<const double> params = {});
double rmse(const Expr& expr, Columns columns, std::span<const double> targets, std::span<const double> params = {});

// FitSums::add for all kLanes lanes over rows [first, end) (lane l's value
// at row r is v[l][r - first]), the lanes side by side in packed registers:
// two to a vector (SSE2, or the compiler's vectors elsewhere), or four with
// AVX2, where four rows of four lanes are loaded and transposed. Each
// element goes through add's operations in add's order, so every level gives
// add's sums to the bit. The level is clamped to what the machine supports.
void add_fit_rows(std::array<FitSums, kLanes>& sums, const std::array<const double*, kLanes>& v, std::size_t first,
                  std::size_t end, const double* inv, const double* t, SimdLevel level);

inline void add_fit_rows(std::array<FitSums, kLanes>& sums, const std::array<const double*, kLanes>& v,
                         std::size_t first, std::size_t end, const double* inv, const double* t) {
    static const SimdLevel best = simd_level();
    add_fit_rows(sums, v, first, end, inv, t, best);
}

// The least error a fitted lane can end with, from its sums over its first
// `end` rows (end > 0): the least sum of squares of those rows, which more
// rows can only raise, less a relative slack for rounding (relative to all
// rows' spread, which bounds the rounding of the final sum as well as that
// of this one); -inf when none is known (a lane flat so far: its line is not
// yet determined).
inline double fitted_bound(const FitTargets& fit, const FitSums& sums, std::size_t end, double factor) {
    constexpr double kSlack = 1e-9;
    const double count = static_cast<double>(end);
    if (!(factor > 0.0 && factor <= DBL_MAX) || sums.flat(count)) return -std::numeric_limits<double>::infinity();
    const double least = sums.sse(count, fit.cyy[end - 1]) - kSlack * fit.cyy.back();
    return least > 0.0 ? std::sqrt(least / fit.norm) * factor : -std::numeric_limits<double>::infinity();
}

// score_lanes for the fitted search: lane l's error is
//     sqrt(S / fit.norm) * factor[l],
// S the least sum of squared residuals of a + b * v over the rows r <
// scored_rows (FitSums, with the targets' side from fit), i.e. the rmse of
// the best line relative to the targets' spread. The least sum over the
// first rows can only grow with more rows, so a lane stops (kAbandoned) when
// that of the rows so far, less a relative slack for rounding, already gives
// an error above cutoff[l]; a lane flat so far is never stopped (its line
// is not yet determined). A near-exact fit's sum is recomputed from its
// residuals (f * b + a) - y with the line of the sums (kResidualPass), which
// reads its values on every row again. `rows` limits the rows scored, and
// the steps are those of score_lanes.
template <class Values>
void advance_lanes_fitted(const Data& data, const FitTargets& fit, std::size_t lanes, const double* factor,
                          const double* cutoff, Values&& values, std::uint8_t* state, LaneSums* carried,
                          std::size_t from, std::size_t to, std::size_t rows) {
    std::array<FitSums, kLanes> sums;
    std::array<const double*, kLanes> v;
    std::array<bool, kLanes> in_play;  // the others' sums are left as they are
    for (std::size_t l = 0; l < lanes; ++l) sums[l] = carried[l].fit, in_play[l] = state[l] == kScored;
    const double* t = fit.dy.data();
    const double* inv = fit.inv_n.data();
    const std::size_t scored_rows = std::min(rows, data.scored_rows);
    for (std::size_t first = from; first < to; first += kScoreRows) {
        const std::size_t n = std::min(kScoreRows, to - first);
        if (!fetch_lanes(values, lanes, first, n, state, v)) break;
        const std::size_t end = std::min(first + n, scored_rows);
        if (first == 0 && end > 0)
            for (std::size_t l = 0; l < lanes; ++l) sums[l].shift = v[l][0];
        if (lanes == kLanes) {
            add_fit_rows(sums, v, first, end, inv, t);
        } else {
            for (std::size_t r = first; r < end; ++r)
                for (std::size_t l = 0; l < lanes; ++l) sums[l].add(v[l][r - first], inv[r], t[r]);
        }
        vok::interruption_point(lanes * n);
        if (first + n >= rows || !cutoff || end <= first) continue;
        for (std::size_t l = 0; l < lanes; ++l)
            if (state[l] == kScored && fitted_bound(fit, sums[l], end, factor[l]) > cutoff[l]) state[l] = kAbandoned;
    }
    for (std::size_t l = 0; l < lanes; ++l)
        if (in_play[l]) carried[l].fit = sums[l];
}

template <class Values>
void finish_lanes_fitted(const Data& data, const FitTargets& fit, std::size_t lanes, const double* factor,
                         Values&& values, const std::uint8_t* state, const LaneSums* sums, double* error,
                         std::size_t rows) {
    const std::size_t scored_rows = std::min(rows, data.scored_rows);
    const double count = static_cast<double>(scored_rows);
    const double cyy = scored_rows ? fit.cyy[scored_rows - 1] : 0.0;
    for (std::size_t l = 0; l < lanes; ++l) {
        if (state[l] != kScored) continue;
        const FitSums& s = sums[l].fit;
        double sse = s.sse(count, cyy);
        if (sse < kResidualPass * cyy && !s.flat(count)) {
            const double b = s.cfy / s.cff, a = fit.mean - b * s.mean();
            double exact = 0.0;
            for (std::size_t first = 0; first < scored_rows && !std::isnan(exact); first += kScoreRows) {
                const std::size_t n = std::min(kScoreRows, scored_rows - first);
                const double* f = values(l, first, n);  // evaluated before: cannot fail
                if (!f) exact = std::numeric_limits<double>::quiet_NaN();
                for (std::size_t r = 0; f && r < n; ++r) {
                    const double d = (f[r] * b + a) - data.targets[first + r];
                    exact += d * d;
                }
            }
            if (!std::isnan(exact)) sse = exact;
        }
        error[l] = std::sqrt(sse / fit.norm) * factor[l];
    }
}

template <class Values>
void score_lanes_fitted(const Data& data, const FitTargets& fit, std::size_t lanes, const double* factor,
                        const double* cutoff, Values&& values, std::uint8_t* state, double* error,
                        std::size_t rows = SIZE_MAX) {
    std::array<LaneSums, kLanes> sums{};
    std::fill_n(state, lanes, kScored);
    rows = std::min(rows, data.rows());
    advance_lanes_fitted(data, fit, lanes, factor, cutoff, values, state, sums.data(), 0, rows, rows);
    finish_lanes_fitted(data, fit, lanes, factor, values, state, sums.data(), error, rows);
}

}  // namespace vok::discover
