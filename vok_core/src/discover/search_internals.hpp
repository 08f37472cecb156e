// The search's working parts, open for tests and benchmarks: how parallel
// steps are run, what a search did, and its limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "discover/search.hpp"
#include "pool.hpp"

namespace vok::discover {

// Runs body(ctx, begin, end) over contiguous pieces that cover 0..n exactly
// once, in any order and on any threads. The search's outcome never depends
// on the division.
using Executor = void (*)(std::size_t n, detail::RangeFn body, void* ctx);

// The process-wide worker pool, the workers taking small chunks in turn.
void pool_executor(std::size_t n, detail::RangeFn body, void* ctx);

// What a search did; filled when passed to search_with.
struct SearchTrace {
    // Accepted candidates of each level in acceptance order; levels[0] holds
    // the leaves. Filled only when record_candidates is set.
    bool record_candidates = false;
    std::vector<std::vector<Expr>> levels;
    // Candidates built, leaves included. Combinations of pool members that
    // were combined at an earlier level are not built again (they could only
    // be dropped as duplicates), so this counts fewer than a plain search.
    std::size_t generated = 0;
    std::size_t fingerprinted = 0;  // of those, with a fingerprint
    std::size_t accepted = 0;       // of those, new to the seen set
    std::size_t scored = 0;         // of those, scored on every row
    // Accepted candidates whose scoring stopped after some rows because
    // their error could no longer make them best or a pool member.
    std::size_t abandoned = 0;
    // Accepted candidates set aside after their first rows and finished a
    // chunk of rows at a time (SearchInternals::defer_rows).
    std::size_t deferred = 0;
    // Wall-clock seconds per phase: building and fingerprinting candidates,
    // inserting them into the seen set, scoring, and choosing best and pool.
    double seconds_generate = 0, seconds_insert = 0, seconds_score = 0, seconds_select = 0;
};

// A cache budget that stands for a share of the search's memory limit: a
// quarter of it (kCacheShare), at most kCacheCap bytes, so that the values
// of every member of a search on up to some tens of thousands of rows are
// computed once. Beyond that the members left out are computed a chunk of
// rows at a time for all the candidates that read them (defer_rows), which
// costs a few percent of the time, not memory in proportion to the rows.
inline constexpr std::size_t kDefaultCacheBudget = SIZE_MAX;
inline constexpr std::size_t kCacheShare = 4;
inline constexpr std::size_t kCacheCap = std::size_t{512} << 20;

// The working state (seen set, pool, cached values, a level's candidates)
// of a search gives up with std::bad_alloc beyond the limit the machine
// affords (vok::search_memory_limit(), read when the search starts).
// Searches with the default options stay far below; without a bound,
// options such as max_complexity 2**64 - 1 with a small beam would grow
// until the system killed the process.

// The cost of one hand-off to the pool, in element operations.
inline constexpr std::size_t kDefaultInlineWork = kHandOffWork;

struct SearchInternals {
    Executor executor = pool_executor;
    SearchTrace* trace = nullptr;
    // Pool members whose values on all rows fit in this many doubles (in pool
    // order) are cached; the others are evaluated from their tokens, a block
    // of rows at a time, each block kept while the candidates that share it
    // read it (RowColumn, MemberMemo).
    std::size_t cache_budget = kDefaultCacheBudget;
    // A parallel step whose estimated work (roughly in element operations)
    // is below this runs on the calling thread: handing it to the workers
    // would cost more. 0 hands every step to the executor.
    std::size_t inline_work = kDefaultInlineWork;
    std::size_t memory_limit = search_memory_limit();
    // Work on the calling thread calls options.checkpoint when at least this
    // many seconds have passed since the last call (0: at every occasion).
    double checkpoint_seconds = 0.02;
    // Scoring stops candidates early once they cannot matter; off, every
    // accepted candidate is scored on every row (the results are the same).
    bool early_stop = true;
    // Early stopping starts from the cutoff of the level's most promising
    // candidates, scored first (score.cpp's pick_seeds); off, the cutoff
    // comes from the candidates in the order they are scored.
    bool seed_cutoff = true;
    // When some members are not cached, a candidate still in play after its
    // first defer_rows rows (0: never) is set aside; those of a level are
    // then finished together a chunk of rows at a time, every such member
    // evaluated once per chunk for all of them rather than once per
    // candidate. chunk_rows fixes the chunk (a multiple of the evaluator's
    // block; 0: from the memory limit). The results are the same.
    std::size_t defer_rows = 4096;
    std::size_t chunk_rows = 0;
};

std::optional<SearchResult> search_with(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                        const SearchOptions& options, const SearchInternals& internals);

SearchOutcome search_controlled(Columns columns, std::span<const double> targets, std::size_t n_vars,
                                const SearchOptions& options, const SearchHooks& hooks,
                                const SearchInternals& internals);

}  // namespace vok::discover
