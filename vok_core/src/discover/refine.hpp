// The fitted search's refinement of a level (SearchOptions::fit.refine):
// the shapes of param_shapes.hpp over the level's best results.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "discover/param_shapes.hpp"
#include "discover/search.hpp"

namespace vok::discover {

// The shape of a fitted result: its expr ((shape * b) + a) without the
// outer scale and offset, its Param tokens holding the result's values (an
// expr of another form is taken whole).
Expr shape_of(const SearchResult& r);

// Rows the shapes are fitted on, at most: a larger data set is sampled
// evenly (every rows / kFitRows-th row), and only the shapes kept are then
// fitted on every row, from the sample's constants.
inline constexpr std::size_t kFitRows = 256;

// The fitted search's refinement of a level: the shapes over the shapes of
// its best results and over `carried` (the shapes this returned for the
// level before, which are not refit again), fitted, and of those that fit
// the targets better than the base they grew from (by more than rounding),
// the `keep` best (lowest sum of squares, the earlier of equal ones), in
// that order. From each, a constant that is a neutral operand (c in x + c,
// x - c, x * c, x / c) goes with its operator when the shape fits nearly as
// well without it: its sum of squares may grow by the factor exp(ln(n) / n)
// that the Bayesian information criterion asks of one more constant on n
// rows, plus the targets' rounding (a relative rmse of 1e-12). What is left
// may be a plain composite (x / (c + y) with c = 0 is x / y).
std::vector<Expr> refine_shapes(std::span<const SearchResult> best, std::span<const Expr> carried, const FitData& data,
                                std::size_t n_vars, const ShapeOptions& options, Executor exec);

// The fitted search's hook (SearchOptions::fit.refine): refine_shapes on the
// executor with restarts and keep = top_k from options.fit, and the
// search's max_complexity and use_trig, each call carrying the shapes of the
// call before. columns and targets must outlive it.
FitHook refine_hook(Columns columns, std::span<const double> targets, const SearchOptions& options,
                    Executor exec = pool_executor);

}  // namespace vok::discover
