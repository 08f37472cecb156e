// The beam search of formula discovery.
//
// Level by level, from single leaves to composites, candidates are built from
// a growing pool with the unary and binary operators, dropped when their
// fingerprint is invalid or already seen, scored against the data in
// parallel, and the best result kept. After each level the best
// beam_width / 4 results join the pool. The search ends early when the best
// error meets precision_goal, when a level has no new candidate, or after
// level max_complexity.
//
// The outcome (accepted candidates, their order, every result) does not
// depend on the number of workers or how the work is divided among them.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <new>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "discover/columns.hpp"
#include "discover/defaults.hpp"
#include "discover/expr.hpp"

namespace vok::discover {

struct FitLevel;

// Returns shapes (without scale and offset; inner constants as Param tokens
// carrying their values) that the search scores like candidates, in the
// order given, right after the level's own: they compete for best and the
// front, and join the pool when their shape is new. Called on the searching
// thread; it must be deterministic for results to be.
using FitHook = std::function<std::vector<Expr>(const FitLevel&)>;

// The fitted search: every candidate f is scored as the best a + b * f
// (least squares), errors are relative to the targets' spread, candidates
// are told apart modulo scale and offset at probe points drawn per variable,
// and a value that depends on a tension guard fails. Results carry b and a
// as parameters (fit.hpp has the numerics).
// The defaults of seed, top_k and restarts are kFitDefaults' (defaults.hpp).
struct FitOptions {
    bool enabled = false;
    std::uint64_t seed = default_count("seed");        // the probe points
    std::size_t top_k = default_count("top_k");        // results of each level handed to refine
    std::size_t restarts = default_count("restarts");  // for refine's own use
    FitHook refine;                                    // may be empty
};

struct SearchOptions {
    // The defaults are kSearchDefaults' (defaults.hpp).
    // The last level; binary composites have at most this many tokens.
    std::size_t max_complexity = default_count("max_complexity");
    // beam_width / 4 results of each level join the pool.
    std::size_t beam_width = default_count("beam_width");
    // Stop as soon as the best error is at most this.
    double precision_goal = default_real("precision_goal");
    double complexity_penalty = default_real("complexity_penalty");
    bool use_trig = default_flag("use_trig");  // unary Sin and Cos
    bool use_vok = default_flag("use_vok");    // binary Vok
    // The appended unary operators to build as well, one bit per operator,
    // bit (code - kFirstAppendedCode): Arcsin 1, Arccos 2, Tanh 4. None in
    // vok_core.find_formula's search.
    std::uint8_t extra_unary = 0;
    // Called on the searching thread before each level from the second on,
    // and during the work it does itself at least every few hundredths of a
    // second; it may throw to abandon the search (the Python face honours
    // Ctrl-C there, so that a search asked for absurdly many levels can be
    // stopped).
    std::function<void()> checkpoint;
    FitOptions fit;  // off: the plain search
};

// Thrown (as a std::bad_alloc) when a search's working state would pass its
// memory limit, before the level that would need it starts.
struct MemoryLimit : std::bad_alloc {
    const char* what() const noexcept override {
        return "formula search: the working state would pass its memory limit; lower max_complexity or beam_width";
    }
};

struct SearchResult {
    std::string formula;  // to_string(expr)
    // rmse * (complexity * complexity_penalty + 1.0); in the fitted search
    // with the rmse relative to the targets' spread.
    double error = 0.0;
    std::size_t complexity = 0;  // of the shape: the fitted scale and offset not counted
    std::vector<double> params;  // the fitted search's constants (Param i reads params[i]), else empty
    Expr expr;
};

// What the fitted search tells its refinement hook after scoring a level.
struct FitLevel {
    std::size_t level;
    // The level's best results, best first (at most FitOptions::top_k):
    // each a fitted result, its expr ((shape * b) + a) with params holding
    // the shape's own constants, then b, then a.
    std::span<const SearchResult> best;
};

// The best formula for targets from the columns (column j is variable j; the
// row count is the length of the first column), or empty when no candidate
// could be scored. Throws std::out_of_range when there is no column or a
// column is shorter than the first.
std::optional<SearchResult> search(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                   const SearchOptions& options);

// The scored results of the candidates that evaluate on every row, in
// candidate order; runs on the worker pool.
std::vector<SearchResult> score_level(std::span<const Expr> candidates, Columns columns,
                                      std::span<const double> targets, const SearchOptions& options);

// For each result in order: it becomes best when best is empty or
// best.error > result.error (strict: the earliest of equal errors stays, and a
// NaN error neither replaces nor is replaced).
void update_best(std::optional<SearchResult>& best, std::span<const SearchResult> results);

// The unary and binary operators a search generates, in generation order.
std::vector<OpCode> unary_operators(const SearchOptions& options);
std::vector<OpCode> binary_operators(const SearchOptions& options);

// ---- A search that reports its progress and can be stopped ----

// How a controlled search ended.
enum class StopReason {
    Finished,       // ran to its end: last level, or a level without new candidates
    PrecisionGoal,  // the best error met precision_goal
    Callback,       // the progress callback returned false
    Interrupted,    // vok::Interrupted was thrown (by the pool or options.checkpoint)
    MemoryLimit,    // the working state would have passed the memory limit
};

// What the progress callback is told after each completed level.
struct LevelProgress {
    std::size_t level;             // 1 for the leaves, then 2, 3, ...
    std::size_t max_level;         // the last level: max(options.max_complexity, 1)
    std::size_t candidates;        // new candidates this level scored (whether they fit every row or not)
    std::size_t candidates_total;  // the same over all levels so far
    const SearchResult* best;      // the best result so far, or null; valid during the call only
};

// How far the level in progress is, kept up to date by the search while it
// scores, for a display that reads it from another thread or from
// options.checkpoint. Approximate while it changes: each count is exact once
// the level's scoring is over.
struct LevelStatus {
    std::atomic<std::size_t> level{0};       // the level being scored (0 before the first)
    std::atomic<std::size_t> candidates{0};  // its candidates to score
    std::atomic<std::size_t> scored{0};      // of those, done (scored on every row, failed or stopped early)
};

struct SearchHooks {
    // Called on the searching thread after the leaves and after each level
    // (the last one and one that meets precision_goal included); returning
    // false stops the search there. May be empty.
    std::function<bool(const LevelProgress&)> on_level;
    // Also collect the best result of each complexity seen.
    bool pareto = false;
    // Updated while each level is scored when not null.
    LevelStatus* status = nullptr;
};

struct SearchOutcome {
    // The best result of the levels completed (never of a partial level).
    std::optional<SearchResult> best;
    // False when the search was stopped before its end (callback, interrupt,
    // memory limit): best is then that of the levels before the stop.
    bool complete = true;
    StopReason reason = StopReason::Finished;
    // When hooks.pareto is set: for each complexity seen, in ascending
    // order, its best result (lowest error; of equal errors the earliest, and
    // a NaN error that came first stays, as in update_best).
    std::vector<SearchResult> pareto;
};

// search, reporting each level to hooks.on_level. A stop by the callback, by
// vok::Interrupted or by MemoryLimit does not throw: the outcome holds the
// results of the levels completed before it. Anything else thrown
// (std::out_of_range for bad shapes, the callback's own exceptions)
// propagates. (search_internals.hpp has a variant for tests and benchmarks.)
SearchOutcome search_controlled(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                const SearchOptions& options, const SearchHooks& hooks);

}  // namespace vok::discover
