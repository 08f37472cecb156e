// Shapes with constants inside: from a base expression m (a scored
// candidate) the forms that an outer scale and offset a + b*f cannot reach,
// with Param leaves fitted by fit_scaled (lm.hpp).
//
// The set, each inner constant one token of complexity:
//   exp(c*m)        growth and decay at an unknown rate
//   exp(c/m)        a Boltzmann or Arrhenius factor, exp(-E / (k T))
//   exp(c*ln(m))    m^c, an unknown power (m > 0 on every row)
//   ln(m + c), sqrt(m + c), 1 / (m + c)
//                   a shift of the argument of a curved function
//   sin(c*m + d)    an oscillation of unknown frequency and phase (cos is the
//                   same shape with d moved by pi/2); fitted, written with
//                   c > 0, d in [-pi, pi] and a positive scale
//   m / (c + v), (m + c) * v, m * exp(c*v), m * sin(c*v)
//                   for each variable v: a shifted denominator (saturation,
//                   x / (K + x)), a shifted factor, an exponential envelope
//                   (damped oscillation, with m a fitted sine), and a
//                   periodic factor (a projectile's range v^2 sin(2 theta))
//   m itself        when m already holds constants (a fitted member of the
//                   pool composed further): all of them fitted together
// Start values come from the data, so that they do not depend on units: a
// rate as a multiple of 1 / spread(m), a shift placing the singular point
// below or above the range of m, a frequency from a coarse periodogram of
// the targets against m; a few of them per shape (`restarts`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "discover/fit.hpp"
#include "discover/lm.hpp"
#include "discover/search_internals.hpp"

namespace vok::discover {

enum class ShapeKind : std::uint8_t {
    Refit,
    Exp,
    Boltzmann,
    Power,
    Log,
    Sqrt,
    Pole,
    Sine,
    Ratio,
    ShiftProduct,
    Envelope,
    Wave,
};

// One fit to run: a shape over base expression `base` (and variable `var`
// for Ratio, ShiftProduct, Envelope and Wave).
struct ShapeTask {
    std::uint32_t base = 0;
    ShapeKind kind = ShapeKind::Refit;
    std::uint32_t var = 0;
};

struct ShapeOptions {
    std::size_t restarts = 3;        // start points per shape, at most
    std::size_t keep = 8;            // shapes refine_shapes returns, at most
    std::size_t max_complexity = 8;  // shapes with more tokens are not built
    bool use_trig = true;            // the Sine shape
    LmOptions lm;
};

// A fitted shape: f's Param tokens are numbered 0.. in order of appearance
// and hold the fitted values; y ~ offset + scale * f with sum of squares sse.
struct FittedShape {
    Expr f;
    double scale = 0.0, offset = 0.0, sse = 0.0;
    std::size_t task = 0;  // index of the task it came from
};

// The tokens of a shape over m (m's own Param tokens kept, all renumbered).
Expr shape_expr(const Expr& m, ShapeKind kind, std::size_t var);

// The fits to run for bases (in base order; for each base the shapes in the
// order of ShapeKind, then variables in order), within max_complexity.
std::vector<ShapeTask> shape_tasks(std::span<const Expr> bases, std::size_t n_vars, const ShapeOptions& options);

// Start values of a shape over m, given m's values on the rows: each holds
// a value for every Param token of shape_expr(m, kind, var).
std::vector<std::vector<double>> shape_starts(const Expr& m, std::span<const double> m_values, ShapeKind kind,
                                              std::size_t var, const FitData& data, std::size_t restarts);

// Runs the fits of the tasks on the executor; each fit is sequential, so
// the results (in task order, failed fits left out) do not depend on the
// workers.
std::vector<FittedShape> fit_shapes(std::span<const Expr> bases, std::span<const ShapeTask> tasks, const FitData& data,
                                    const ShapeOptions& options, Executor exec);

// f(i, scratch) for i in 0..n on the executor, one scratch per piece.
template <class F>
void for_each_index(Executor exec, std::size_t n, F&& f) {
    auto body = [&](std::size_t begin, std::size_t end) {
        FitScratch scratch;
        for (std::size_t i = begin; i < end; ++i) f(i, scratch);
    };
    using Body = decltype(body);
    if (n > 0) exec(n, [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<Body*>(ctx))(b, e); }, &body);
}

}  // namespace vok::discover
