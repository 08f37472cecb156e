// Least-squares fits of an expression's Param tokens by Levenberg-Marquardt,
// with the exact Jacobian of the forward-mode evaluator (dual.hpp).
//
// Two problems:
//  * fit_scaled: y ~ a + b*f(x; c) over the inner constants c of f. The
//    outer scale b and offset a enter linearly, so they are eliminated
//    (variable projection): for every trial c they are the closed-form least
//    squares line of y on f, computed with centred sums, and the iteration
//    moves c alone on the projected residual, with Kaufman's Jacobian
//    -b (I - P) df/dc (P projects onto the span of 1 and f). The iteration
//    then has only the constants a shape needs, a and b can never start
//    badly, and every trial point is scored as the search scores shapes.
//  * fit_direct: y ~ g(x; p) over the free entries of p, all of them moved
//    by the iteration (a refit from given values, e.g. after some
//    constants were rounded).
//
// The iteration: damped normal equations (A + mu D) delta = -g with A = J'J,
// g = J'r, D the diagonal of A (Marquardt's scaling, so that the step does
// not depend on the units of each constant), solved by Cholesky after a
// symmetric Jacobi scaling; the damping follows Nielsen's rule (the gain
// ratio of each step). A run stops when an accepted step improves the sum of
// squares by less than `tolerance` relative to it, when the fit is exact,
// when the damping runs away, or after max_iterations steps.
//
// Everything is sequential and deterministic: the same inputs give the same
// bits on any thread. Long fits reach vok::interruption_point.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "discover/dual.hpp"
#include "discover/expr.hpp"

namespace vok::discover {

struct LmOptions {
    std::size_t max_iterations = 30;  // steps (accepted or not) of one run
    double tolerance = 1e-6;          // relative improvement that ends a run
};

// The rows a fit uses: the data's rows, as many as there are targets.
struct FitData {
    ColumnView view;
    std::span<const double> targets;
    std::size_t rows() const { return std::min(view.rows, targets.size()); }
};

struct ScaledFit {
    std::vector<double> params;  // c, indexed as f's Param tokens
    double scale = 0.0;          // b
    double offset = 0.0;         // a
    double sse = 0.0;            // sum over the rows of (y - (a + b*f))^2
};

// Scratch of the fits: one per worker. The fits serve the fitted search,
// whose evaluator lets no tension guard act (DualEvaluator(true)).
struct FitScratch {
    DualEvaluator ev{true};
    std::vector<double> values, derivs, residuals;
    std::size_t evaluations = 0;  // points evaluated (with their Jacobian) so far
};

// Fits c from each start in turn (each start gives values for all of f's
// Param tokens, which are all free) and keeps the first of the lowest sums
// of squares. Empty when no start can be fitted: some row fails at the
// start, or f is constant over the rows there (no shape to scale).
std::optional<ScaledFit> fit_scaled(const Expr& f, const FitData& data, std::span<const std::vector<double>> starts,
                                    const LmOptions& options, FitScratch& scratch);

struct DirectFit {
    std::vector<double> params;
    double sse = 0.0;  // sum over the rows of (y - g)^2
};

// Fits the entries of p marked in free (all when free is empty; p.size()
// entries otherwise) starting from p. Empty when some row fails at p.
std::optional<DirectFit> fit_direct(const Expr& g, const FitData& data, std::vector<double> p,
                                    std::span<const bool> free, const LmOptions& options, FitScratch& scratch);

// The Param tokens' value fields set to params (by index).
void store_params(Expr& expr, std::span<const double> params);

}  // namespace vok::discover
